// lumivane-batch: the program's open, effect and save commands without the window, and its
// scanner command without dialogs.
//
//   lumivane-batch INPUT [EFFECT ...] OUTPUT
//   lumivane-batch --scan SOURCE [SETTING ...] [--all-pages] [--find-document] [--straighten]
//                  [--each-document] [EFFECT ...] OUTPUT
//   lumivane-batch --list-sources
//   lumivane-batch --help | --version
#include <QApplication>
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "effects/effect_table.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/picture_files.h"
#include "png/png_writer.h"
#include "scanner/contract/conditions.h"
#include "scanner/contract/device_info.h"
#include "scanner/contract/settings.h"
#include "scanner/documents/documents.h"
#include "twain/TwainUtils.h"

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr std::string_view kPngSuffix = ".png";

// The resolution travels as the whole part of a fixed-point number; the other numbers as
// fixed-point numbers (scanner::ToFix32).
constexpr int kMaxResolution = 32767;

// A condition of the scanner, or of what it scanned, told in the scan dialog's own sentence,
// which is printed as it stands.
class EDeviceCondition : public Exception {
 public:
  using Exception::Exception;
};

// Whether all that was printed reached standard output (not a full disk or a closed pipe).
bool StandardOutputWritten() {
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return true;
  (void)std::fprintf(stderr, "lumivane-batch: %s\n", std::strerror(errno));
  return false;
}

// The usage: its synopsis of --scan takes the settings from the scanner's table, in lines of at
// most kUsageWidth characters.
constexpr std::size_t kUsageWidth = 90;
constexpr std::size_t kUsageIndent = 22;  // under --scan

void PrintUsage(std::FILE* out) {
  std::string usage = msg::kBatchUsage;
  std::size_t column = usage.size() - usage.rfind('\n') - 1;
  const auto add = [&](const std::string& item) {
    const bool wrap = column + 1 + item.size() > kUsageWidth;
    usage += wrap ? "\n" + std::string(kUsageIndent, ' ') : " ";
    column = (wrap ? kUsageIndent : column + 1) + item.size();
    usage += item;
  };
  for (const scanner::Setting& setting : scanner::kSettings)
    add("[--" + std::string(setting.name) + " " + scanner::UsageForm(setting) + "]");
  for (const char* flag :
       {"[--all-pages]", "[--find-document]", "[--straighten]", "[--each-document]"})
    add(flag);
  usage += msg::kBatchUsageAfterScan;
  (void)std::fputs(usage.c_str(), out);
  for (const EffectCommand& command : EffectCommands())
    (void)std::fprintf(out, " %.*s", static_cast<int>(command.name.size()), command.name.data());
  (void)std::fprintf(out, "\n");
}

int UsageError(const std::string& problem) {
  (void)std::fprintf(stderr, "lumivane-batch: %s\n", problem.c_str());
  PrintUsage(stderr);
  return kUsage;
}

// A scan setting asked for on the command line: the value its capability is set to, and the
// value as written, for the message when the source refuses it.
struct Request {
  std::variant<TW_UINT16, TW_FIX32, bool, TW_FRAME> value;
  std::string text;
};

struct Options {
  enum class Action { kFiles, kScan, kListSources } action = Action::kFiles;
  std::string source;
  // By the row of scanner::kSettings; the last of a flag given twice.
  std::array<std::optional<Request>, scanner::kSettings.size()> settings;
  bool allPages = false;
  bool findDocument = false;       // a preview, then the scan of the largest document's area
  bool straighten = false;         // the largest document turned upright and cropped
  bool eachDocument = false;       // every document on the glass a picture of its own
  std::vector<std::string> words;  // INPUT (files only), the effects, OUTPUT
  std::vector<const EffectCommand*> effects;
};

std::size_t RowOf(const scanner::Setting& setting) {
  return static_cast<std::size_t>(&setting - scanner::kSettings.data());
}

std::optional<int> ParseResolution(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < 1 || value > kMaxResolution) return std::nullopt;
  return value;
}

// A number that a fixed-point number holds, to the nearest 1/65536.
std::optional<TW_FIX32> ParseFix32(std::string_view text) {
  const std::optional<double> value = scanner::ParseNumber(text);
  return value ? scanner::ToFix32(*value) : std::nullopt;
}

// LEFT,TOP,RIGHT,BOTTOM, a rectangle of some size.
std::optional<TW_FRAME> ParseArea(std::string_view text) {
  const std::optional<scanner::AreaValue> area = scanner::ParseArea(text);
  if (!area) return std::nullopt;
  std::array<TW_FIX32, 4> edges{};
  for (std::size_t i = 0; i < edges.size(); ++i) {
    const std::optional<TW_FIX32> edge = scanner::ToFix32((*area)[i]);
    if (!edge) return std::nullopt;
    edges[i] = *edge;
  }
  const TW_FRAME frame{edges[0], edges[1], edges[2], edges[3]};
  using scanner::FromFix32;
  if (FromFix32(frame.Left) >= FromFix32(frame.Right) ||
      FromFix32(frame.Top) >= FromFix32(frame.Bottom))
    return std::nullopt;
  return frame;
}

// The capability's value for the setting's flag; on a usage error its description.
std::optional<std::string> ParseSetting(const scanner::Setting& setting, const std::string& value,
                                        Request& request) {
  request.text = value;
  switch (setting.kind) {
    case scanner::SettingKind::kMode:
      if (const std::optional<scanner::ColourMode> mode = scanner::ModeNamed(value)) {
        request.value = scanner::ModeWordOf(*mode).pixelType;
        return std::nullopt;
      }
      return FormatMessage(msg::kUsageUnknownMode, value);
    case scanner::SettingKind::kSource:
      if (value != scanner::kFlatbedWord && value != scanner::kFeederWord)
        return FormatMessage(msg::kUsageUnknownSource, value);
      request.value = value == scanner::kFeederWord;
      return std::nullopt;
    case scanner::SettingKind::kArea:
      if (const std::optional<TW_FRAME> frame = ParseArea(value)) {
        request.value = *frame;
        return std::nullopt;
      }
      return FormatMessage(msg::kUsageBadArea, value);
    case scanner::SettingKind::kResolution:
      if (const std::optional<int> dpi = ParseResolution(value)) {
        request.value = TW_FIX32{static_cast<TW_INT16>(*dpi), 0};
        request.text = std::to_string(*dpi);
        return std::nullopt;
      }
      return FormatMessage(msg::kUsageBadResolution, value);
    case scanner::SettingKind::kNumber:
      if (const std::optional<TW_FIX32> number = ParseFix32(value)) {
        request.value = *number;
        return std::nullopt;
      }
      return FormatMessage(msg::kUsageBadNumber, std::string(setting.name) + " '" + value + "'");
  }
  return FormatMessage(msg::kUsageUnknownOption, "--" + std::string(setting.name));
}

// Fills options from the arguments; on a usage error returns its description.
std::optional<std::string> ParseArguments(const std::vector<std::string>& args, Options& options) {
  bool listSources = false;
  bool scan = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    const scanner::Setting* setting =
        arg.starts_with("--") ? scanner::SettingNamed(std::string_view(arg).substr(2)) : nullptr;
    if (arg == "--list-sources") {
      listSources = true;
    } else if (arg == "--all-pages") {
      options.allPages = true;
    } else if (arg == "--find-document") {
      options.findDocument = true;
    } else if (arg == "--straighten") {
      options.straighten = true;
    } else if (arg == "--each-document") {
      options.eachDocument = true;
    } else if (arg == "--scan" || setting) {
      if (!hasValue) return FormatMessage(msg::kUsageNeedsValue, arg);
      const std::string& value = args[++i];
      if (setting) {
        Request request;
        if (std::optional<std::string> problem = ParseSetting(*setting, value, request))
          return problem;
        options.settings[RowOf(*setting)] = std::move(request);
      } else {
        if (scan) return msg::kUsageScanTwice;
        scan = true;
        options.source = value;
      }
    } else if (arg.starts_with("--")) {
      return FormatMessage(msg::kUsageUnknownOption, arg);
    } else {
      options.words.push_back(arg);
    }
  }
  const bool settings = options.allPages || options.findDocument || options.straighten ||
                        options.eachDocument ||
                        std::ranges::any_of(options.settings, [](const auto& s) { return !!s; });
  if (listSources) {
    if (scan || settings || !options.words.empty()) return msg::kUsageListSourcesAlone;
    options.action = Options::Action::kListSources;
    return std::nullopt;
  }
  if (scan) {
    if (options.words.empty()) return msg::kUsageScanNeedsOutput;
    options.action = Options::Action::kScan;
  } else {
    if (settings) return msg::kUsageSettingsWithoutScan;
    if (options.words.size() < 2) return msg::kUsageNeedsFiles;
  }
  // Every sheet is the feeder's: a flatbed would give the same page for ever.
  if (options.allPages) {
    std::optional<Request>& source = options.settings[RowOf(*scanner::SettingNamed("source"))];
    if (!source) source = Request{true, scanner::kFeederWord};
    if (!std::get<bool>(source->value)) return msg::kUsageAllPagesFromFlatbed;
    if (options.findDocument) return msg::kUsageFindDocumentFromFeeder;
  }
  if (options.eachDocument && (options.allPages || options.findDocument))
    return msg::kUsageEachDocumentAlone;
  const std::size_t firstEffect = scan ? 0 : 1;
  for (std::size_t i = firstEffect; i + 1 < options.words.size(); ++i) {
    const EffectCommand* command = FindEffectCommand(options.words[i]);
    if (!command) return FormatMessage(msg::kUnknownEffect, options.words[i]);
    options.effects.push_back(command);
  }
  return std::nullopt;
}

void ApplyAndWrite(TBitmap& picture, const Options& options, const std::string& output) {
  for (const EffectCommand* command : options.effects) RunEffectCommand(*command, picture);
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
      (void)std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
  });
  int argc = 1;
  char* argv[] = {const_cast<char*>(program), nullptr};
  QApplication application(argc, argv);
  bool deviceFailed = false;
  const bool ok = RunGuarded([&] {
    try {
      command(GlobalTwain());
    } catch (const EDeviceCondition& condition) {
      (void)std::fprintf(stderr, "%s\n", condition.what());
      deviceFailed = true;
    }
  });
  const bool printed = StandardOutputWritten();
  FreeGlobalTwain();
  return ok && !deviceFailed && printed ? 0 : kFailed;
}

// One sheet into picture; false when the feeder is empty and emptyFeederEnds. A transfer that
// failed is told by the device's condition, as the scan dialog tells it, where it has one.
bool AcquireSheet(TTwain& twain, TBitmap& picture, bool emptyFeederEnds) {
  try {
    if (!twain.Acquire(picture, false, nullptr)) throw Exception(msg::kScanNoImage);
    return true;
  } catch (const ETwainTransferFailed&) {
    // Asked once: asking clears it.
    const std::optional<TW_UINT16> code = twain.ConditionCode(&twain.SourceIdentity);
    if (code == TWCC_NOMEDIA && emptyFeederEnds) return false;
    if (const char* text = code ? scanner::DeviceConditionText(*code) : nullptr)
      throw EDeviceCondition(text);
    throw;
  }
}

// Runs step, which lists the manager's sources. A manager that cannot list them (SANE missing,
// its helper not answering) is told as the window's selection dialog tells it; one that does
// not open, as the binding does.
template <typename Step>
void Listing(TTwain& twain, const Step& step) {
  try {
    step();
  } catch (const ETwainError& error) {
    if (!twain.DSMOpen) throw;
    throw EDeviceCondition(scanner::ConditionMessage(error.Condition()));
  }
}

// Sets the setting's capabilities; one the source refuses is reported with what was asked for.
void Set(TTwain& twain, const scanner::Setting& setting, const Request& request) {
  try {
    for (const TW_UINT16 capability : {setting.capability, setting.alsoCapability})
      if (capability != 0)
        std::visit([&](const auto& value) { twain.SetCapability(capability, value); },
                   request.value);
  } catch (const Exception& error) {
    const std::string refused = setting.refused
                                    ? std::string(setting.refused)
                                    : FormatMessage(scanner::kSettingRefused, setting.label);
    throw Exception(FormatMessage(refused, request.text) + error.Message());
  }
}

// OUTPUT for the page-th sheet: -page before the extension.
std::string PageFile(const std::string& output, int page) {
  const std::filesystem::path path(output);
  std::filesystem::path name = path.stem();
  name += '-';
  name += std::to_string(page);
  name += path.extension();
  return (path.parent_path() / name).string();
}

// The picture's bytes as the documents' functions read them: 8-bit gray or 24-bit colour. Any
// other picture is read from a 24-bit copy, made in copy.
documents::PictureView ViewOf(const TBitmap& picture, TBitmap& copy) {
  const BitmapObject* object = picture.Object();
  if (!object) throw Exception(msg::kScanNoImage);
  const std::vector<RgbQuad>& palette = object->Palette();
  bool gray = object->Format() == PixelFormat::pf8bit;
  for (std::size_t i = 0; gray && i < palette.size(); ++i)
    gray = palette[i] == RgbQuad{std::uint8_t(i), std::uint8_t(i), std::uint8_t(i), 0};
  if (!gray && object->Format() != PixelFormat::pf24bit) {
    copy.Assign(picture);
    copy.ConvertTo24Bit();
    object = copy.Object();
  }
  return {object->Width(),
          object->Height(),
          static_cast<int>(object->Stride()),
          gray ? 1 : 3,
          {object->Bits(), object->SizeBytes()},
          false};
}

// The part of picture under document into taken: turned upright and cropped to it when
// straighten, otherwise its upright box (documents::BoxAround) as it lies; the box too where the
// document does not lie on the picture whole.
void TakeDocument(const TBitmap& picture, const documents::RotatedRect& document, bool straighten,
                  TBitmap& into) {
  TBitmap copy;
  const documents::PictureView view = ViewOf(picture, copy);
  const auto [left, top, right, bottom] = documents::BoxAround(document, view.width, view.height);
  const documents::RotatedRect box{(left + right) / 2.0, (top + bottom) / 2.0, double(right - left),
                                   double(bottom - top), 0};
  // Rows padded to 4 bytes, as a bitmap object's.
  documents::Straightened result;
  if (straighten) result = documents::Straighten(view, document, {4, false});
  if (result.picture.pixels.empty()) result = documents::Straighten(view, box, {4, false});
  const documents::Picture& taken = result.picture;
  if (taken.pixels.empty()) throw Exception(msg::kScanNoImage);
  // As the scanner's helper traces SANE's calls: where nothing else tells it.
  if (result.takenAsUpright && std::getenv("LUMIVANE_SCANNER_TRACE"))
    (void)std::fprintf(stderr, "straighten: %.1f degrees, taken as upright\n", document.degrees);
  const PixelFormat format = view.channels == 1 ? PixelFormat::pf8bit : PixelFormat::pf24bit;
  auto object =
      std::make_unique<BitmapObject>(taken.width, taken.height, format, BitmapObject::Fill::kNone);
  if (object->SizeBytes() != taken.pixels.size()) throw Exception(msg::kScanNoImage);
  std::copy(taken.pixels.begin(), taken.pixels.end(), object->Bits());
  if (format == PixelFormat::pf8bit) object->Palette() = picture.Object()->Palette();
  into.AdoptHandle(HBITMAP(std::move(object)));
}

// The documents on the scanned picture, largest first.
std::vector<documents::RotatedRect> DocumentsOn(const TBitmap& picture) {
  TBitmap copy;
  return documents::FindDocuments(ViewOf(picture, copy));
}

// Sets every setting asked for, the source first: what the others may take can depend on it.
void ApplySettings(TTwain& twain, const Options& options) {
  const scanner::Setting& source = *scanner::SettingNamed("source");
  if (const std::optional<Request>& request = options.settings[RowOf(source)])
    Set(twain, source, *request);
  for (const scanner::Setting& setting : scanner::kSettings)
    if (const std::optional<Request>& request = options.settings[RowOf(setting)];
        request && &setting != &source)
      Set(twain, setting, *request);
}

// A preview scans the glass at the lowest of these resolutions that the device takes.
constexpr std::array<TW_INT16, 5> kPreviewDpi{50, 75, 100, 150, 200};

// A preview of the area asked for (the whole glass by default); the area of its largest document
// in millimetres, none when it shows no document. The source is opened afresh afterwards, with
// the settings asked for.
std::optional<TW_FRAME> PreviewArea(TTwain& twain, const Options& options) {
  std::optional<TW_INT16> dpi;
  for (std::size_t i = 0; !dpi; ++i) {
    try {
      for (const TW_UINT16 capability : {ICAP_XRESOLUTION, ICAP_YRESOLUTION})
        twain.SetCapability(capability, TW_FIX32{kPreviewDpi[i], 0});
      dpi = kPreviewDpi[i];
    } catch (const ETwainError&) {
      if (i + 1 == kPreviewDpi.size()) throw;
    }
  }
  TBitmap preview;
  AcquireSheet(twain, preview, false);
  twain.CloseDS();
  twain.OpenDS();
  ApplySettings(twain, options);
  const std::vector<documents::RotatedRect> found = DocumentsOn(preview);
  if (found.empty()) return std::nullopt;
  const auto [left, top, right, bottom] =
      documents::BoxAround(found.front(), preview.Width(), preview.Height());
  const std::array<int, 4> box{left, top, right, bottom};
  std::array<double, 2> origin{};
  if (const std::optional<Request>& area = options.settings[RowOf(*scanner::SettingNamed("area"))])
    origin = {scanner::FromFix32(std::get<TW_FRAME>(area->value).Left),
              scanner::FromFix32(std::get<TW_FRAME>(area->value).Top)};
  std::array<TW_FIX32, 4> edges{};
  for (std::size_t i = 0; i < edges.size(); ++i) {
    const std::optional<TW_FIX32> edge = scanner::ToFix32(origin[i % 2] + box[i] * 25.4 / *dpi);
    if (!edge) return std::nullopt;
    edges[i] = *edge;
  }
  return TW_FRAME{edges[0], edges[1], edges[2], edges[3]};
}

// Sets the area of the document found on the preview; false when the device has no area
// options (some feeders), whose scans are cropped instead.
bool SetDocumentArea(TTwain& twain, const TW_FRAME& frame) {
  try {
    twain.SetCapability(ICAP_FRAMES, frame);
    return true;
  } catch (const ETwainError& error) {
    if (error.Condition() == TWCC_CAPUNSUPPORTED) return false;
    char text[64];
    using scanner::FromFix32;
    (void)std::snprintf(text, sizeof text, "%g,%g,%g,%g", FromFix32(frame.Left),
                        FromFix32(frame.Top), FromFix32(frame.Right), FromFix32(frame.Bottom));
    throw Exception(FormatMessage(scanner::kScanAreaRefused, text) + error.Message());
  }
}

// What a scanned sheet becomes, through the effects, in output: its largest document's box
// where cropLargest, the document straightened where asked for; every document a file of its
// own with --each-document, which finding none is an error.
void Finish(TBitmap& picture, const Options& options, bool cropLargest, const std::string& output) {
  if (options.eachDocument) {
    const std::vector<documents::RotatedRect> found = DocumentsOn(picture);
    if (found.empty()) throw EDeviceCondition(scanner::kNoDocumentFound);
    for (std::size_t i = 0; i < found.size(); ++i) {
      TBitmap document;
      TakeDocument(picture, found[i], options.straighten, document);
      ApplyAndWrite(document, options, PageFile(output, static_cast<int>(i) + 1));
    }
    return;
  }
  if (cropLargest || options.straighten) {
    const std::vector<documents::RotatedRect> found = DocumentsOn(picture);
    // Nothing found: the sheet as scanned (a page that fills the feeder's whole picture).
    if (!found.empty()) {
      TBitmap document;
      try {
        TakeDocument(picture, found.front(), options.straighten, document);
      } catch (const std::bad_alloc&) {
        // The scan is not lost: it is written as it came, and the run fails with the reason.
        ApplyAndWrite(picture, options, output);
        throw EDeviceCondition(scanner::kCropFailed);
      }
      ApplyAndWrite(document, options, output);
      return;
    }
  }
  ApplyAndWrite(picture, options, output);
}

void Scan(TTwain& twain, const Options& options) {
  // A scan takes a while and a device's turn: it is not started for a file that cannot be
  // written afterwards.
  const bool numbered = options.allPages || options.eachDocument;
  CheckFileCreatable(numbered ? PageFile(options.words.back(), 1) : options.words.back());
  // An unknown or ambiguous name is said as it is.
  Listing(twain, [&] { twain.SelectSourceByName(nullptr, options.source); });
  if (!twain.DSOpen) twain.OpenDS();
  ApplySettings(twain, options);
  bool cropLargest = false;
  if (options.findDocument)
    if (const std::optional<TW_FRAME> area = PreviewArea(twain, options))
      cropLargest = !SetDocumentArea(twain, *area);
  if (!options.allPages) {
    TBitmap picture;
    AcquireSheet(twain, picture, false);
    Finish(picture, options, cropLargest, options.words.back());
    return;
  }
  // The source stays open between the sheets, and a feeder keeps its place; the empty feeder
  // ends the run once a page is written.
  for (int page = 1;; ++page) {
    TBitmap picture;
    if (!AcquireSheet(twain, picture, page > 1)) return;
    Finish(picture, options, cropLargest, PageFile(options.words.back(), page));
  }
}

void ListSources(TTwain& twain) {
  std::vector<TW_IDENTITY> sources;
  Listing(twain, [&] { sources = twain.ListSources(nullptr); });
  for (const TW_IDENTITY& identity : sources) {
    const scanner::DeviceInfo source = scanner::DeviceOf(identity);
    std::printf("%s\t%s\n", source.name.c_str(), scanner::MakerAndModel(source).c_str());
  }
  if (sources.empty()) (void)std::fprintf(stderr, "%s\n", msg::kNoScanners);
}

int Run(int argc, char* argv[]) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    PrintUsage(stdout);
    return StandardOutputWritten() ? 0 : kFailed;
  }
  if (args.size() == 1 && args[0] == "--version") {
    std::printf("lumivane-batch %s\n", LUMIVANE_VERSION);
    return StandardOutputWritten() ? 0 : kFailed;
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
    ApplyAndWrite(picture, options, options.words.back());
  });
  return ok ? 0 : kFailed;
}
}  // namespace

int main(int argc, char* argv[]) {
  // Nothing escapes: running out of memory before the guarded work is a failure like any other.
  try {
    return Run(argc, argv);
  } catch (const std::exception& error) {
    ShowException(error);
    return kFailed;
  }
}
