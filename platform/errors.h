// Error kinds of the program and the one place that reports an error to the user.
#pragma once

#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "messages.h"

// The general exception: carries only its message (UTF-8).
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

// The arguments are class names, which cannot be put in parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define LUMIVANE_EXCEPTION(Name, Base)                           \
  class Name : public Base {                                     \
   public:                                                       \
    explicit Name(const std::string& message) : Base(message) {} \
  };
// NOLINTEND(bugprone-macro-parentheses)

LUMIVANE_EXCEPTION(EStreamError, Exception)
LUMIVANE_EXCEPTION(EFOpenError, EStreamError)
LUMIVANE_EXCEPTION(EFCreateError, EStreamError)
LUMIVANE_EXCEPTION(EReadError, EStreamError)
LUMIVANE_EXCEPTION(EWriteError, EStreamError)
LUMIVANE_EXCEPTION(EInvalidGraphic, Exception)
LUMIVANE_EXCEPTION(EInvalidOperation, Exception)
LUMIVANE_EXCEPTION(EOutOfResources, Exception)
LUMIVANE_EXCEPTION(EJPEG, Exception)
LUMIVANE_EXCEPTION(EZlibError, Exception)
LUMIVANE_EXCEPTION(ECompressionError, EZlibError)
LUMIVANE_EXCEPTION(EAssertionFailed, Exception)
#undef LUMIVANE_EXCEPTION

// Replaces the first %s or %d of format by argument.
std::string FormatMessage(std::string_view format, std::string_view argument);
std::string FormatMessage(std::string_view format, long long argument);

// The text shown for an error message: a full stop is appended when the message's last
// character sorts after "." and is not the ideographic full stop "。".
std::string DisplayText(std::string_view message);

// The message of any exception, with a text of our own for running out of memory.
std::string ExceptionMessage(const std::exception& error);

// The application's default error display. The program installs a message box; until then,
// and in the command-line tool, the text goes to standard error.
using ErrorDisplay = std::function<void(const std::string& text)>;
void SetErrorDisplay(ErrorDisplay display);
// Shows DisplayText(ExceptionMessage(error)) through the installed display. Never throws.
void ShowException(const std::exception& error) noexcept;

// Runs command and hands any exception to ShowException, so that none escapes into the event
// loop. Returns false when the command failed.
bool RunGuarded(const std::function<void()>& command) noexcept;
