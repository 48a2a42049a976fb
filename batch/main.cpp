// lumivane-batch: the program's open, effect and save commands without the window, and its
// scanner command without dialogs.
//
//   lumivane-batch INPUT [EFFECT ...] OUTPUT
//   lumivane-batch --scan SOURCE [--mode MODE] [--resolution DPI] [EFFECT ...] OUTPUT
//   lumivane-batch --list-sources
//   lumivane-batch --help | --version
#include <QApplication>
#include <charconv>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "effects/effect_table.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/picture_files.h"
#include "png/png_writer.h"
#include "scanner/device_conditions.h"
#include "twain/TwainUtils.h"

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr std::string_view kPngSuffix = ".png";

// The resolution travels as the whole part of a fixed-point number.
constexpr int kMaxResolution = 32767;

// A condition of the scanner, told in the scan dialog's own sentence, which is printed as it
// stands.
class EDeviceCondition : public Exception {
 public:
  using Exception::Exception;
};

struct ScanMode {
  std::string_view name;
  TW_UINT16 pixelType;
};
constexpr ScanMode kScanModes[] = {{"color", TWPT_RGB}, {"gray", TWPT_GRAY}, {"lineart", TWPT_BW}};

void PrintUsage(std::FILE* out) {
  std::fprintf(
      out,
      "usage: lumivane-batch INPUT [EFFECT ...] OUTPUT\n"
      "       lumivane-batch --scan SOURCE [--mode color|gray|lineart] [--resolution DPI]\n"
      "                      [EFFECT ...] OUTPUT\n"
      "       lumivane-batch --list-sources\n"
      "       lumivane-batch --help | --version\n"
      "\n"
      "Reads INPUT as the open command does (JPEG when the name ends in \".jpg\", a bitmap\n"
      "file otherwise; a file that begins as the other format is read as that one), applies\n"
      "each EFFECT in order and writes OUTPUT: as a PNG file\n"
      "(8-bit RGB) when its name ends in \".png\", as a bitmap file otherwise.\n"
      "\n"
      "--scan takes the picture from the scanner source named SOURCE instead, without any\n"
      "dialog, with the device's own settings unless --mode or --resolution (dots per inch,\n"
      "both directions) set them; a setting the device refuses is an error. OUTPUT is checked\n"
      "before the scan starts; the picture is written before the scanner is released.\n"
      "--list-sources prints the scanner sources, one a line: the name that --scan takes,\n"
      "a tab, then the maker and the model.\n"
      "\n"
      "effects:");
  for (const EffectCommand& command : EffectCommands())
    std::fprintf(out, " %.*s", static_cast<int>(command.name.size()), command.name.data());
  std::fprintf(out, "\n");
}

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "lumivane-batch: %s\n", problem.c_str());
  PrintUsage(stderr);
  return kUsage;
}

struct Options {
  enum class Action { kFiles, kScan, kListSources } action = Action::kFiles;
  std::string source;
  const ScanMode* mode = nullptr;
  std::optional<int> resolution;
  std::vector<std::string> words;  // INPUT (files only), the effects, OUTPUT
  std::vector<const EffectCommand*> effects;
};

std::optional<int> ParseResolution(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < 1 || value > kMaxResolution) return std::nullopt;
  return value;
}

// Fills options from the arguments; on a usage error returns its description.
std::optional<std::string> ParseArguments(const std::vector<std::string>& args, Options& options) {
  bool listSources = false;
  bool scan = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--list-sources") {
      listSources = true;
    } else if (arg == "--scan" || arg == "--mode" || arg == "--resolution") {
      if (!hasValue) return arg + " needs a value";
      const std::string& value = args[++i];
      if (arg == "--scan") {
        if (scan) return "--scan given twice";
        scan = true;
        options.source = value;
      } else if (arg == "--mode") {
        options.mode = nullptr;
        for (const ScanMode& mode : kScanModes)
          if (mode.name == value) options.mode = &mode;
        if (!options.mode) return "unknown mode '" + value + "' (color, gray or lineart)";
      } else {
        options.resolution = ParseResolution(value);
        if (!options.resolution)
          return "resolution '" + value + "' is not a whole number from 1 to " +
                 std::to_string(kMaxResolution);
      }
    } else if (arg.starts_with("--")) {
      return "unknown option '" + arg + "'";
    } else {
      options.words.push_back(arg);
    }
  }
  const bool settings = options.mode || options.resolution;
  if (listSources) {
    if (scan || settings || !options.words.empty()) return "--list-sources takes nothing else";
    options.action = Options::Action::kListSources;
    return std::nullopt;
  }
  if (scan) {
    if (options.words.empty()) return "--scan needs an OUTPUT";
    options.action = Options::Action::kScan;
  } else {
    if (settings) return "--mode and --resolution go with --scan";
    if (options.words.size() < 2) return "INPUT and OUTPUT are needed";
  }
  const std::size_t firstEffect = scan ? 0 : 1;
  for (std::size_t i = firstEffect; i + 1 < options.words.size(); ++i) {
    const EffectCommand* command = FindEffectCommand(options.words[i]);
    if (!command) return FormatMessage(msg::kUnknownEffect, options.words[i]);
    options.effects.push_back(command);
  }
  return std::nullopt;
}

void ApplyAndWrite(TBitmap& picture, const Options& options) {
  for (const EffectCommand* command : options.effects) RunEffectCommand(*command, picture);
  const std::string& output = options.words.back();
  if (output.ends_with(kPngSuffix)) {
    SavePngFile(picture, output);
  } else {
    SaveBitmapFile(picture, output);
  }
}

// Runs command against the scanner manager inside an application object, which the manager
// works in; without a display, on Qt's offscreen platform. The manager is closed only after
// command has finished, and what was printed is flushed first: should the scanner layer hang
// while it shuts down, every result is already out.
int WithScanner(const char* program, const std::function<void(TTwain&)>& command) {
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  // What the tool prints is its results and the messages the window would show; the framework's
  // own notes (such as a missing runtime folder on a machine without a session) are left out.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
      std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
  });
  int argc = 1;
  char* argv[] = {const_cast<char*>(program), nullptr};
  QApplication application(argc, argv);
  bool deviceFailed = false;
  const bool ok = RunGuarded([&] {
    try {
      command(GlobalTwain());
    } catch (const EDeviceCondition& condition) {
      std::fprintf(stderr, "%s\n", condition.what());
      deviceFailed = true;
    }
  });
  std::fflush(stdout);
  FreeGlobalTwain();
  return ok && !deviceFailed ? 0 : kFailed;
}

// A setting the source refuses is reported with what was asked for.
void Set(TTwain& twain, TW_UINT16 capability, auto value, const std::string& refused) {
  try {
    twain.SetCapability(capability, value);
  } catch (const Exception& error) {
    throw Exception(refused + error.Message());
  }
}

// The picture of a source whose transfer failed: what the device's condition is, as the scan
// dialog says it.
bool AcquireTellingTheCondition(TTwain& twain, TBitmap& picture) {
  try {
    return twain.Acquire(picture, false, nullptr);
  } catch (const ETwainTransferFailed&) {
    const std::optional<TW_UINT16> code = twain.ConditionCode(&twain.SourceIdentity);
    const char* text = code ? scanner::DeviceConditionText(*code) : nullptr;
    if (!text) throw;
    throw EDeviceCondition(text);
  }
}

// The sources the manager lists; when it cannot list them, what it says about it (SANE missing,
// its helper not answering) as the window's selection dialog says it.
std::vector<TW_IDENTITY> ListedSources(TTwain& twain) {
  if (!twain.DSMOpen) twain.OpenDSM(nullptr);
  std::vector<TW_IDENTITY> sources;
  for (TW_UINT16 msg = MSG_GETFIRST;; msg = MSG_GETNEXT) {
    TW_IDENTITY identity{};
    const TW_UINT16 result = twain.Send(nullptr, DG_CONTROL, DAT_IDENTITY, msg, &identity);
    if (result == TWRC_ENDOFLIST) return sources;
    if (result != TWRC_SUCCESS) {
      const std::optional<TW_UINT16> code = twain.ConditionCode(nullptr);
      const char* text = code ? scanner::DeviceConditionText(*code) : nullptr;
      throw EDeviceCondition(text ? text : scanner::kDeviceError);
    }
    sources.push_back(identity);
  }
}

void Scan(TTwain& twain, const Options& options) {
  // A scan takes a while and a device's turn: it is not started for a file that cannot be
  // written afterwards.
  CheckFileCreatable(options.words.back());
  try {
    twain.SelectSourceByName(nullptr, options.source);
  } catch (const Exception& error) {
    // A manager that could not list its sources (the binding's error) says why when asked
    // again; an unknown or ambiguous name is said as it is.
    if (error.Message().rfind(msg::kTwainErrorPrefix, 0) == 0) ListedSources(twain);
    throw;
  }
  if (!twain.DSOpen) twain.OpenDS();
  if (options.mode)
    Set(twain, ICAP_PIXELTYPE, options.mode->pixelType,
        FormatMessage(msg::kScanModeRefused, options.mode->name));
  if (options.resolution) {
    const TW_FIX32 dpi{static_cast<TW_INT16>(*options.resolution), 0};
    const std::string refused = FormatMessage(msg::kScanResolutionRefused, *options.resolution);
    Set(twain, ICAP_XRESOLUTION, dpi, refused);
    Set(twain, ICAP_YRESOLUTION, dpi, refused);
  }
  TBitmap picture;
  if (!AcquireTellingTheCondition(twain, picture)) throw Exception(msg::kScanNoImage);
  ApplyAndWrite(picture, options);
}

void ListSources(TTwain& twain) {
  const std::vector<TW_IDENTITY> sources = ListedSources(twain);
  for (const TW_IDENTITY& source : sources) {
    std::string maker = Str32Text(source.Manufacturer);
    const std::string model = Str32Text(source.ProductFamily);
    if (!maker.empty() && !model.empty()) maker += ' ';
    std::printf("%s\t%s\n", Str32Text(source.ProductName).c_str(), (maker + model).c_str());
  }
  if (sources.empty()) std::fprintf(stderr, "%s\n", msg::kNoScanners);
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    PrintUsage(stdout);
    return 0;
  }
  if (args.size() == 1 && args[0] == "--version") {
    std::printf("lumivane-batch %s\n", LUMIVANE_VERSION);
    return 0;
  }
  Options options;
  if (const std::optional<std::string> problem = ParseArguments(args, options))
    return UsageError(*problem);

  switch (options.action) {
    case Options::Action::kListSources:
      return WithScanner(argv[0], [](TTwain& twain) { ListSources(twain); });
    case Options::Action::kScan:
      return WithScanner(argv[0], [&](TTwain& twain) { Scan(twain, options); });
    case Options::Action::kFiles:
      break;
  }
  const bool ok = RunGuarded([&] {
    TBitmap picture;
    LoadPictureFile(picture, options.words.front());
    ApplyAndWrite(picture, options);
  });
  return ok ? 0 : kFailed;
}
