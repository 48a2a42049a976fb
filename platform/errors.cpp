#include "errors.h"

#include <cstdio>
#include <new>

namespace {

ErrorDisplay& Display() {
  static ErrorDisplay display;
  return display;
}

std::string Replace(std::string_view format, std::string_view argument) {
  std::string out(format);
  for (const char* placeholder : {"%s", "%d"}) {
    if (auto pos = out.find(placeholder); pos != std::string::npos) {
      out.replace(pos, 2, argument);
      break;
    }
  }
  return out;
}

// The last character of a UTF-8 text, decoded; 0 for an empty text.
char32_t LastCharacter(std::string_view text) {
  if (text.empty()) return 0;
  std::size_t start = text.size() - 1;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  auto lead = static_cast<unsigned char>(text[start]);
  char32_t c = lead;
  std::size_t extra = 0;
  if (lead >= 0xF0)
    c = lead & 0x07, extra = 3;
  else if (lead >= 0xE0)
    c = lead & 0x0F, extra = 2;
  else if (lead >= 0xC0)
    c = lead & 0x1F, extra = 1;
  for (std::size_t i = 1; i <= extra && start + i < text.size(); ++i)
    c = (c << 6) | (static_cast<unsigned char>(text[start + i]) & 0x3F);
  return c;
}

}  // namespace

std::string FormatMessage(std::string_view format, std::string_view argument) {
  return Replace(format, argument);
}

std::string FormatMessage(std::string_view format, long long argument) {
  return Replace(format, std::to_string(argument));
}

std::string DisplayText(std::string_view message) {
  std::string text(message);
  // A Japanese sentence that ends in its own full stop needs no second one.
  const char32_t last = LastCharacter(text);
  if (last > U'.' && last != U'\u3002') text += '.';
  return text;
}

std::string ExceptionMessage(const std::exception& error) {
  if (dynamic_cast<const std::bad_alloc*>(&error)) return msg::kOutOfMemory;
  return error.what();
}

void SetErrorDisplay(ErrorDisplay display) {
  Display() = std::move(display);
}

void ShowException(const std::exception& error) noexcept {
  try {
    const std::string text = DisplayText(ExceptionMessage(error));
    if (Display()) {
      Display()(text);
    } else {
      (void)std::fprintf(stderr, "%s\n", text.c_str());
    }
  } catch (...) {
    (void)std::fprintf(stderr, "%s\n", msg::kUnknownError);
  }
}

bool RunGuarded(const std::function<void()>& command) noexcept {
  try {
    command();
    return true;
  } catch (const std::exception& error) {
    ShowException(error);
  } catch (...) {
    ShowException(Exception(msg::kUnknownError));
  }
  return false;
}
