#include "device.h"

#include <sane/saneopts.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <span>

#include "helper_link.h"
#include "platform/narrow.h"
#include "scanner/contract/conditions.h"
#include "scanner/contract/messages.h"
#include "scanner/contract/settings.h"

namespace scanner {
namespace {

using wire::Kind;
using wire::Option;
using wire::Packer;

bool IsNumber(const Option& d) {
  return (d.type == SANE_TYPE_INT || d.type == SANE_TYPE_FIXED) && d.size == sizeof(SANE_Word);
}

double FromWord(const Option& d, SANE_Word word) {
  return d.type == SANE_TYPE_FIXED ? SANE_UNFIX(word) : static_cast<double>(word);
}

SANE_Word ToWord(const Option& d, double value) {
  return d.type == SANE_TYPE_FIXED ? SANE_FIX(value) : static_cast<SANE_Word>(std::lround(value));
}

FrameKind KindOf(SANE_Frame format) {
  switch (format) {
    case SANE_FRAME_RGB:
      return FrameKind::kRgb;
    case SANE_FRAME_RED:
      return FrameKind::kRed;
    case SANE_FRAME_GREEN:
      return FrameKind::kGreen;
    case SANE_FRAME_BLUE:
      return FrameKind::kBlue;
    default:
      return FrameKind::kGray;
  }
}

HelperLink& Link() {
  return HelperLink::Instance();
}

ScanResult Failed(TW_UINT16 condition) {
  ScanResult result;
  result.outcome = ScanResult::Outcome::kFailed;
  result.condition = condition;
  return result;
}

// The picture the frames of a finished scan give.
ScanResult Assemble(const std::vector<FrameData>& frames, double dpi) {
  const TW_UINT16 refusal = RefusalOf(frames);
  // A scan that ended before its first line has nothing to show: never a blank picture.
  if (frames.empty() || (refusal == TWCC_SUCCESS && LinesOf(frames) == 0))
    return Failed(kConditionNoImageData);
  if (refusal != TWCC_SUCCESS) return Failed(refusal);
  std::optional<std::vector<std::uint8_t>> dib = ToPackedDib(frames, dpi);
  if (!dib) return Failed(kConditionPictureTooLarge);
  ScanResult result;
  result.outcome = ScanResult::Outcome::kComplete;
  result.dib = std::move(*dib);
  return result;
}

// A status from the helper; one that SANE does not define is an I/O error.
SANE_Status StatusOf(std::int64_t value) {
  return wire::StatusOf(value).value_or(SANE_STATUS_IO_ERROR);
}

// A frame's bytes as they arrive, in pieces that grow to 64 MiB, put together once at the end of
// the frame, each piece freed once copied: n bytes take n bytes and a piece (a buffer that
// doubles takes up to three times as much while it is copied).
class FrameBytes {
 public:
  std::int64_t Size() const { return size_; }
  void Append(std::span<const std::uint8_t> bytes) {
    size_ += static_cast<std::int64_t>(bytes.size());
    while (!bytes.empty()) {
      if (pieces_.empty() || pieces_.back().size() == pieces_.back().capacity()) {
        const std::size_t next =
            pieces_.empty() ? kFirstPiece : std::min(2 * pieces_.back().capacity(), kLargestPiece);
        pieces_.emplace_back().reserve(next);
      }
      std::vector<std::uint8_t>& piece = pieces_.back();
      const std::size_t n = std::min(bytes.size(), piece.capacity() - piece.size());
      piece.insert(piece.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
      bytes = bytes.subspan(n);
    }
  }
  std::vector<std::uint8_t> Take() {
    std::vector<std::uint8_t> all;
    if (pieces_.size() == 1) {
      all = std::move(pieces_.front());
    } else {
      all.reserve(CheckedCast<std::size_t>(size_));
      for (std::vector<std::uint8_t>& piece : pieces_) {
        all.insert(all.end(), piece.begin(), piece.end());
        std::vector<std::uint8_t>().swap(piece);
      }
    }
    pieces_.clear();
    size_ = 0;
    return all;
  }

 private:
  static constexpr std::size_t kFirstPiece = 64 << 10, kLargestPiece = 64 << 20;
  std::vector<std::vector<std::uint8_t>> pieces_;
  std::int64_t size_ = 0;
};

// The lines of the largest picture of width pixels that the program takes (0: not even one).
std::int64_t LinesWithin(std::int64_t width) {
  const std::int64_t line = Picture24Bytes(width, 1);
  return line > 0 ? kMaxBitmapBytes / line : 0;
}

}  // namespace

TW_UINT16 ConditionOf(SANE_Status status) {
  if (status == kNoResponse) return kConditionNoResponse;
  switch (status) {
    case SANE_STATUS_GOOD:
      return TWCC_SUCCESS;
    case SANE_STATUS_DEVICE_BUSY:
      return TWCC_MAXCONNECTIONS;
    case SANE_STATUS_JAMMED:
      return TWCC_PAPERJAM;
    case SANE_STATUS_NO_DOCS:
      return TWCC_NOMEDIA;
    case SANE_STATUS_COVER_OPEN:
      return TWCC_INTERLOCK;
    case SANE_STATUS_IO_ERROR:
      return TWCC_CHECKDEVICEONLINE;
    case SANE_STATUS_NO_MEM:
      return TWCC_LOWMEMORY;
    case SANE_STATUS_ACCESS_DENIED:
      return TWCC_DENIED;
    case SANE_STATUS_INVAL:
      return kConditionInvalidValue;
    case SANE_STATUS_UNSUPPORTED:
      return kConditionUnsupported;
    default:
      return TWCC_BUMMER;
  }
}

Discovery FindDevices(bool restart) {
  // Called on a worker thread: nothing may leave it but the result.
  Discovery found;
  try {
    Packer request(Kind::kFind);
    request.Int(restart ? 1 : 0);
    std::optional<wire::Unpacker> reply = Link().Call(request, Kind::kFound, DataLimit());
    if (!reply) {
      found.status = kNoResponse;
      return found;
    }
    found.libraryMissing = reply->Int() != 0;
    found.status = StatusOf(reply->Int());
    const std::size_t count = reply->Count(4 * sizeof(std::uint32_t));  // four texts each
    for (std::size_t i = 0; i < count && !reply->failed(); ++i) {
      DeviceInfo device;
      device.name = reply->Text();
      device.vendor = reply->Text();
      device.model = reply->Text();
      reply->Text();  // its type, which nothing shows
      if (!reply->failed()) found.devices.push_back(std::move(device));
    }
  } catch (const std::bad_alloc&) {
    found = Discovery{};
    found.status = SANE_STATUS_NO_MEM;
  }
  return found;
}

void EndScanning() {
  Link().Shutdown();
}

double NumberChoice::Clamp(double value) const {
  if (!list.empty()) {
    double best = list.front();
    for (double v : list)
      if (std::abs(v - value) < std::abs(best - value)) best = v;
    return best;
  }
  value = std::clamp(value, min, max);
  if (step > 0) value = std::min(max, min + std::round((value - min) / step) * step);
  return value;
}

bool NumberChoice::Takes(double value) const {
  return std::abs(Clamp(value) - value) < 1e-6;
}

namespace {

// Opens name in the current helper: the handle and the options, or the status.
SANE_Status OpenIn(const std::string& name, std::int64_t& id, std::vector<Option>& options) {
  Packer request(Kind::kOpen);
  request.Text(name);
  std::optional<wire::Unpacker> reply = Link().Call(request, Kind::kOpened, DataLimit());
  if (!reply) return kNoResponse;
  const SANE_Status status = StatusOf(reply->Int());
  id = reply->Int();
  options = wire::UnpackOptions(*reply);
  if (reply->failed()) return kNoResponse;
  return status;
}

}  // namespace

Device::Device(std::string name, std::int64_t id, std::vector<Option> options)
    : name_(std::move(name)),
      id_(id),
      generation_(Link().Generation()),
      options_(std::move(options)) {}

std::unique_ptr<Device> Device::Open(const std::string& name, SANE_Status& status) {
  std::int64_t id = 0;
  std::vector<Option> options;
  status = OpenIn(name, id, options);
  if (status != SANE_STATUS_GOOD) return nullptr;
  return std::unique_ptr<Device>(new Device(name, id, std::move(options)));
}

Device::~Device() {
  if (worker_.joinable()) {
    Cancel();
    worker_.join();
  }
  if (generation_ != Link().Generation()) return;
  Packer request(Kind::kClose);
  request.Int(id_);
  Link().Call(request, Kind::kDone, kCloseLimit);
}

SANE_Status Device::Current() {
  if (generation_ == Link().Generation()) return SANE_STATUS_GOOD;
  std::int64_t id = 0;
  std::vector<Option> options;
  if (const SANE_Status status = OpenIn(name_, id, options); status != SANE_STATUS_GOOD)
    return status;
  id_ = id;
  options_ = std::move(options);
  generation_ = Link().Generation();
  for (const Setting& s : settings_) Set(s.option.c_str(), s.isText, s.word, s.text, false);
  return SANE_STATUS_GOOD;
}

const Option* Device::Find(const char* option) const {
  for (std::size_t i = 1; i < options_.size(); ++i)
    if (options_[i].name == option && SANE_OPTION_IS_ACTIVE(options_[i].cap)) return &options_[i];
  return nullptr;
}

SANE_Status Device::Set(const char* option, bool isText, SANE_Word word, const std::string& text,
                        bool remember) {
  if (const SANE_Status status = Current(); status != SANE_STATUS_GOOD) return status;
  const Option* d = Find(option);
  if (!d) return SANE_STATUS_UNSUPPORTED;
  Packer request(Kind::kSet);
  request.Int(id_).Int(d - options_.data()).Int(isText ? 1 : 0).Int(word).Text(text);
  std::optional<wire::Unpacker> reply = Link().Call(request, Kind::kOptions, DataLimit());
  if (!reply) return kNoResponse;
  const SANE_Status status = StatusOf(reply->Int());
  reply->Int();  // SANE's info bits: the options come back in full anyway
  std::vector<Option> options = wire::UnpackOptions(*reply);
  if (reply->failed()) return kNoResponse;
  options_ = std::move(options);
  if (remember && status == SANE_STATUS_GOOD) {
    std::erase_if(settings_, [&](const Setting& s) { return s.option == option; });
    settings_.push_back({option, isText, word, text});
  }
  return status;
}

std::vector<std::string> Device::Strings(const char* option) const {
  const Option* d = Find(option);
  if (!d || d->type != SANE_TYPE_STRING || d->constraint != SANE_CONSTRAINT_STRING_LIST) return {};
  return d->strings;
}

std::optional<std::string> Device::String(const char* option) const {
  const Option* d = Find(option);
  if (!d || d->type != SANE_TYPE_STRING) return std::nullopt;
  return d->text;
}

SANE_Status Device::SetString(const char* option, const std::string& value) {
  const Option* d = Find(option);
  if (!d || d->type != SANE_TYPE_STRING || !SANE_OPTION_IS_SETTABLE(d->cap))
    return SANE_STATUS_UNSUPPORTED;
  const std::vector<std::string> offered = Strings(option);
  if (std::find(offered.begin(), offered.end(), value) == offered.end()) return SANE_STATUS_INVAL;
  return Set(option, true, 0, value, true);
}

std::optional<NumberChoice> Device::Choice(const char* option) const {
  const Option* d = Find(option);
  if (!d || !IsNumber(*d)) return std::nullopt;
  NumberChoice choice;
  if (d->constraint == SANE_CONSTRAINT_RANGE) {
    choice.min = FromWord(*d, d->min);
    choice.max = FromWord(*d, d->max);
    choice.step = FromWord(*d, d->quant);
  } else if (d->constraint == SANE_CONSTRAINT_WORD_LIST && !d->words.empty()) {
    for (SANE_Word w : d->words) choice.list.push_back(FromWord(*d, w));
    choice.min = *std::min_element(choice.list.begin(), choice.list.end());
    choice.max = *std::max_element(choice.list.begin(), choice.list.end());
  } else {
    return std::nullopt;
  }
  return choice;
}

std::optional<double> Device::Number(const char* option) const {
  const Option* d = Find(option);
  if (!d || !IsNumber(*d) || !d->word) return std::nullopt;
  return FromWord(*d, *d->word);
}

std::string Device::UnitSuffix(const char* option) const {
  const Option* d = Find(option);
  if (!d) return {};
  switch (d->unit) {
    case SANE_UNIT_MM:
      return kUnitMillimetre;
    case SANE_UNIT_PIXEL:
      return kUnitPixel;
    case SANE_UNIT_DPI:
      return kUnitDpi;
    case SANE_UNIT_PERCENT:
      return kUnitPercent;
    default:
      return {};
  }
}

SANE_Status Device::SetNumber(const char* option, double value) {
  const Option* d = Find(option);
  if (!d || !IsNumber(*d) || !SANE_OPTION_IS_SETTABLE(d->cap)) return SANE_STATUS_UNSUPPORTED;
  if (const std::optional<NumberChoice> choice = Choice(option)) value = choice->Clamp(value);
  return Set(option, false, ToWord(*d, value), {}, true);
}

bool Device::HasFlag(const char* option) const {
  const Option* d = Find(option);
  return d && d->type == SANE_TYPE_BOOL && SANE_OPTION_IS_SETTABLE(d->cap);
}

SANE_Status Device::SetFlag(const char* option, bool value) {
  if (!HasFlag(option)) return SANE_STATUS_UNSUPPORTED;
  return Set(option, false, value ? SANE_TRUE : SANE_FALSE, {}, true);
}

bool Device::HasArea() const {
  for (const char* option : kAreaOptions)
    if (!Choice(option)) return false;
  return true;
}

namespace {

bool Has(const std::vector<std::string>& list, const char* value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

constexpr const char* kColorMode = SANE_VALUE_SCAN_MODE_COLOR;
constexpr const char* kGrayMode = SANE_VALUE_SCAN_MODE_GRAY;
// Line art: SANE's name for it, and one that some backends use.
constexpr const char* kLineartModes[] = {SANE_VALUE_SCAN_MODE_LINEART, "Binary"};

// The SANE mode that stands for line art, if the device has one.
const char* LineartMode(const std::vector<std::string>& modes) {
  for (const char* name : kLineartModes)
    if (Has(modes, name)) return name;
  return nullptr;
}

}  // namespace

std::vector<ColourMode> Device::Modes() const {
  const std::vector<std::string> modes = Strings(SANE_NAME_SCAN_MODE);
  std::vector<ColourMode> offered;
  if (Has(modes, kColorMode)) offered.push_back(ColourMode::kColor);
  if (Has(modes, kGrayMode)) offered.push_back(ColourMode::kGray);
  const std::optional<NumberChoice> depth = Choice(SANE_NAME_BIT_DEPTH);
  if (LineartMode(modes) || (Has(modes, kGrayMode) && depth && depth->Takes(1)))
    offered.push_back(ColourMode::kLineart);
  return offered;
}

std::optional<ColourMode> Device::Mode() const {
  const std::optional<std::string> mode = String(SANE_NAME_SCAN_MODE);
  if (!mode) return std::nullopt;
  if (*mode == kColorMode) return ColourMode::kColor;
  if (LineartMode({*mode})) return ColourMode::kLineart;
  if (*mode == kGrayMode)
    return Number(SANE_NAME_BIT_DEPTH) == 1.0 ? ColourMode::kLineart : ColourMode::kGray;
  return std::nullopt;
}

SANE_Status Device::SetMode(ColourMode mode) {
  const std::vector<std::string> modes = Strings(SANE_NAME_SCAN_MODE);
  const std::optional<NumberChoice> depth = Choice(SANE_NAME_BIT_DEPTH);
  if (mode == ColourMode::kLineart) {
    if (const char* lineart = LineartMode(modes)) return SetString(SANE_NAME_SCAN_MODE, lineart);
    if (!depth || !depth->Takes(1)) return SANE_STATUS_INVAL;
    const SANE_Status status = SetString(SANE_NAME_SCAN_MODE, kGrayMode);
    return status != SANE_STATUS_GOOD ? status : SetNumber(SANE_NAME_BIT_DEPTH, 1);
  }
  const SANE_Status status =
      SetString(SANE_NAME_SCAN_MODE, mode == ColourMode::kColor ? kColorMode : kGrayMode);
  if (status != SANE_STATUS_GOOD) return status;
  // Gray at 1 bit is line art: leave it for 8 bits.
  if (Number(SANE_NAME_BIT_DEPTH) == 1.0 && depth && depth->Takes(8))
    return SetNumber(SANE_NAME_BIT_DEPTH, 8);
  return SANE_STATUS_GOOD;
}

SANE_Status Device::Parameters(SANE_Parameters& parameters) const {
  parameters = SANE_Parameters{};
  if (generation_ != Link().Generation()) return kNoResponse;
  Packer request(Kind::kGetParameters);
  request.Int(id_);
  std::optional<wire::Unpacker> reply = Link().Call(request, Kind::kParameters, DataLimit());
  if (!reply) return kNoResponse;
  const SANE_Status status = StatusOf(reply->Int());
  const std::optional<SANE_Parameters> p = wire::UnpackParameters(*reply);
  if (reply->failed()) return kNoResponse;
  // A format of the backend's own: no picture the program makes.
  if (!p) return status == SANE_STATUS_GOOD ? SANE_STATUS_UNSUPPORTED : status;
  parameters = *p;
  return status;
}

bool Device::ParametersFit() const {
  SANE_Parameters p{};
  // Before the scan starts the height may be unknown (-1) or an estimate of 0: the scan decides.
  if (Parameters(p) != SANE_STATUS_GOOD || p.lines <= 0) return true;
  return FitsProgram(p.pixels_per_line, p.lines);
}

void Device::StartScan(std::function<void()> finished, bool live) {
  live_ = live;
  {
    const std::lock_guard lock(liveMutex_);
    liveParameters_.reset();
    liveBytes_.clear();
  }
  cancelled_ = false;
  received_ = 0;
  expected_ = 0;
  result_ = ScanResult{};
  finished_ = std::move(finished);
  worker_ = std::thread([this] { Scan(); });
}

void Device::Cancel() {
  // Our flag decides; the status a read returns after the cancel does not (a backend may end
  // the frame as if it were complete).
  if (!worker_.joinable() || cancelled_.exchange(true)) return;
  Link().SendCancel();
}

bool Device::LiveBytes(std::size_t from, SANE_Parameters& parameters,
                       std::vector<std::uint8_t>& bytes) const {
  const std::lock_guard lock(liveMutex_);
  if (!liveParameters_) return false;
  parameters = *liveParameters_;
  if (from < liveBytes_.size())
    bytes.insert(bytes.end(), liveBytes_.begin() + static_cast<std::ptrdiff_t>(from),
                 liveBytes_.end());
  return true;
}

ScanResult Device::TakeResult() {
  if (worker_.joinable()) worker_.join();
  return std::move(result_);
}

void Device::Scan() {
  try {
    result_ = ReadFrames();
  } catch (const std::bad_alloc&) {
    result_ = Failed(TWCC_LOWMEMORY);
  } catch (const EOutOfResources&) {
    result_ = Failed(kConditionPictureTooLarge);
  } catch (...) {
    result_ = Failed(TWCC_BUMMER);
  }
  // A cancel the helper did not answer is reported as such; any other ends as cancelled.
  if (cancelled_ && result_.condition != kConditionNoResponse) {
    result_ = ScanResult{};
    result_.outcome = ScanResult::Outcome::kCancelled;
  }
  try {
    if (finished_) finished_();
  } catch (...) {  // NOLINT(bugprone-empty-catch): nothing is left to tell, and no one to tell it
  }
}

ScanResult Device::ReadFrames() {
  if (const SANE_Status status = Current(); status != SANE_STATUS_GOOD)
    return Failed(ConditionOf(status));
  const double dpi = Number(SANE_NAME_SCAN_RESOLUTION).value_or(0);
  Packer request(Kind::kStart);
  request.Int(id_);
  HelperLink::Stream stream = Link().Open(request);

  // The scan ends with the helper's kScanEnd. Until then: a whole message at least every
  // DataLimit(); once the scan is cancelled, stopped here, or the device reported a failure, the
  // end within kCancelLimit.
  std::vector<FrameData> frames;
  std::optional<FrameData> frame;  // under way, its bytes arriving
  FrameBytes arriving;
  std::int64_t frameLimit = 0;       // the bytes that the frame under way may bring
  std::int64_t scanBytes = 0;        // of every frame
  std::optional<TW_UINT16> stopped;  // why the scan is being ended here
  std::optional<SANE_Status> failure;
  bool cancelSent = false;
  auto stop = [&](TW_UINT16 condition) {
    if (!stopped) stopped = condition;
    if (!cancelSent) Link().SendCancel();
    cancelSent = true;
  };
  Clock::time_point lastMessage = Clock::now();
  std::optional<Clock::time_point> endBy;
  for (;;) {
    if ((cancelled_ || failure || stopped) && !endBy) endBy = Clock::now() + kCancelLimit;
    Clock::time_point deadline = lastMessage + DataLimit();
    if (endBy) deadline = std::min(deadline, *endBy);
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
    std::optional<wire::Unpacker> message;
    if (left.count() > 0) message = stream.Next(std::min(left, Millis(100)));
    if (!message) {
      if (!stream.Gone() && left.count() > 0) continue;
      // No whole message in time (the helper is killed) or the helper died.
      stream.Abandon();
      if (failure) return Failed(ConditionOf(*failure));
      if (stopped) return Failed(*stopped);
      return Failed(kConditionNoResponse);
    }
    lastMessage = Clock::now();
    // After a stop or a cancel nothing more is taken; the messages are read until the end.
    const bool taking = !stopped && !cancelled_;
    switch (message->kind()) {
      case Kind::kFrame: {
        if (!taking) break;
        const std::optional<SANE_Parameters> p = wire::UnpackParameters(*message);
        if (frame || message->failed()) {
          stop(kConditionBadImageData);  // a frame before the last one ended
          break;
        }
        if (!p) {
          stop(kConditionBadFrameLayout);
          break;
        }
        FrameData next;
        next.kind = KindOf(p->format);
        next.depth = p->depth;
        next.pixelsPerLine = p->pixels_per_line;
        next.bytesPerLine = p->bytes_per_line;
        next.lines = p->lines > 0 ? p->lines : -1;
        if (const TW_UINT16 refusal = RefusalOfNext(frames, next); refusal != TWCC_SUCCESS) {
          stop(refusal);
          break;
        }
        // The frame may bring its lines; of unknown height, those of the largest picture of its
        // width. The whole scan may bring no more than the size limit.
        const bool alone = next.kind == FrameKind::kGray || next.kind == FrameKind::kRgb;
        const std::int64_t framesLeft = alone ? 1 : 3 - static_cast<std::int64_t>(frames.size());
        const std::int64_t lines = next.lines > 0 ? next.lines : LinesWithin(next.pixelsPerLine);
        const std::int64_t frameBytes = std::int64_t{next.bytesPerLine} * lines;
        if (!FitsProgram(next.pixelsPerLine, lines) ||
            (next.lines > 0 && scanBytes + frameBytes * framesLeft > kMaxBitmapBytes)) {
          stop(kConditionPictureTooLarge);
          break;
        }
        frameLimit = frameBytes;
        expected_ = next.lines > 0 ? frameBytes * (alone ? 1 : 3) : 0;
        frame = std::move(next);
        if (live_) {
          const std::lock_guard lock(liveMutex_);
          liveParameters_ = *p;
          liveBytes_.clear();
        }
        break;
      }
      case Kind::kData: {
        std::vector<std::uint8_t> bytes = message->Bytes();
        if (!taking) break;
        const auto n = static_cast<std::int64_t>(bytes.size());
        if (!frame || message->failed()) {
          stop(kConditionBadImageData);
        } else if (arriving.Size() + n > frameLimit) {
          // More than the frame announced; of unknown height, more than a picture may hold.
          stop(frame->lines > 0 ? kConditionBadImageData : kConditionPictureTooLarge);
        } else if (scanBytes + n > kMaxBitmapBytes) {
          stop(kConditionPictureTooLarge);
        }
        if (stopped) break;
        arriving.Append(bytes);
        scanBytes += n;
        received_ += n;
        if (live_) {
          const std::lock_guard lock(liveMutex_);
          liveBytes_.insert(liveBytes_.end(), bytes.begin(), bytes.end());
        }
        break;
      }
      case Kind::kFrameEnd:
        if (!taking) break;
        if (!frame) {
          stop(kConditionBadImageData);
          break;
        }
        frame->bytes = arriving.Take();
        frames.push_back(std::move(*frame));
        frame.reset();
        break;
      case Kind::kReadFailed:
        failure = StatusOf(message->Int());
        break;
      case Kind::kScanEnd: {
        stream.Ended();
        const SANE_Status status = StatusOf(message->Int());
        if (stopped) return Failed(*stopped);
        if (cancelled_) return Failed(TWCC_BUMMER);  // Scan() tells it as cancelled
        if (failure) return Failed(ConditionOf(*failure));
        if (status != SANE_STATUS_GOOD) return Failed(ConditionOf(status));
        return Assemble(frames, dpi);
      }
      default:
        break;
    }
  }
}

}  // namespace scanner
