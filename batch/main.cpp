// lumivane-batch INPUT [EFFECT ...] OUTPUT: the program's open, effect and save commands
// without the window.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "effects/effect_table.h"
#include "platform/errors.h"
#include "platform/picture_files.h"
#include "png/png_writer.h"

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr std::string_view kPngSuffix = ".png";

void PrintUsage(std::FILE* out) {
  std::fprintf(
      out,
      "usage: lumivane-batch INPUT [EFFECT ...] OUTPUT\n"
      "\n"
      "Reads INPUT as the open command does (JPEG when the name ends in \".jpg\", a bitmap\n"
      "file otherwise), applies each EFFECT in order and writes OUTPUT: as a PNG file\n"
      "(8-bit RGB) when its name ends in \".png\", as a bitmap file otherwise.\n"
      "\n"
      "effects:");
  for (const EffectCommand& command : EffectCommands())
    std::fprintf(out, " %.*s", static_cast<int>(command.name.size()), command.name.data());
  std::fprintf(out, "\n");
}

}  // namespace

int main(int argc, char* argv[]) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    PrintUsage(stdout);
    return 0;
  }
  if (args.size() < 2) {
    PrintUsage(stderr);
    return kUsage;
  }
  std::vector<const EffectCommand*> effects;
  for (std::size_t i = 1; i + 1 < args.size(); ++i) {
    const EffectCommand* command = FindEffectCommand(args[i]);
    if (!command) {
      std::fprintf(stderr, "%s\n", FormatMessage(msg::kUnknownEffect, args[i]).c_str());
      PrintUsage(stderr);
      return kUsage;
    }
    effects.push_back(command);
  }

  const bool ok = RunGuarded([&] {
    TBitmap picture;
    LoadPictureFile(picture, args.front());
    for (const EffectCommand* command : effects) RunEffectCommand(*command, picture);
    const std::string& output = args.back();
    if (output.ends_with(kPngSuffix)) {
      SavePngFile(picture, output);
    } else {
      SaveBitmapFile(picture, output);
    }
  });
  return ok ? 0 : kFailed;
}
