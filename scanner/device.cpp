#include "device.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "device_conditions.h"
#include "helper_link.h"
#include "messages.h"

namespace scanner {
namespace {

using wire::Kind;
using wire::Option;
using wire::Packer;
using Clock = std::chrono::steady_clock;

bool IsNumber(const Option& d) {
  return (d.type == SANE_TYPE_INT || d.type == SANE_TYPE_FIXED) && d.size == sizeof(SANE_Word);
}

double FromWord(const Option& d, SANE_Word word) {
  return d.type == SANE_TYPE_FIXED ? SANE_UNFIX(word) : static_cast<double>(word);
}

SANE_Word ToWord(const Option& d, double value) {
  return d.type == SANE_TYPE_FIXED ? SANE_FIX(value) : static_cast<SANE_Word>(std::lround(value));
}

std::optional<FrameKind> KindOf(SANE_Frame format) {
  switch (format) {
    case SANE_FRAME_GRAY:
      return FrameKind::kGray;
    case SANE_FRAME_RGB:
      return FrameKind::kRgb;
    case SANE_FRAME_RED:
      return FrameKind::kRed;
    case SANE_FRAME_GREEN:
      return FrameKind::kGreen;
    case SANE_FRAME_BLUE:
      return FrameKind::kBlue;
  }
  return std::nullopt;
}

HelperLink& Link() {
  return HelperLink::Instance();
}

// The picture the frames of a finished scan give.
ScanResult Assemble(const std::vector<FrameData>& frames, double dpi) {
  ScanResult result;
  // A scan that ended before its first line has nothing to show: never a blank picture.
  if (frames.empty() || (RefusalOf(frames).empty() && LinesOf(frames) == 0)) {
    result.outcome = ScanResult::Outcome::kNoData;
    return result;
  }
  if (std::string refusal = RefusalOf(frames); !refusal.empty()) {
    result.outcome = ScanResult::Outcome::kRefused;
    result.refusal = std::move(refusal);
    return result;
  }
  std::optional<std::vector<std::uint8_t>> dib = ToPackedDib(frames, dpi);
  if (!dib) {
    result.outcome = ScanResult::Outcome::kTooLarge;
    return result;
  }
  result.outcome = ScanResult::Outcome::kComplete;
  result.dib = std::move(*dib);
  return result;
}

SANE_Status StatusOf(std::int64_t value) {
  return value >= 0 && value <= SANE_STATUS_ACCESS_DENIED ? static_cast<SANE_Status>(value)
                                                          : SANE_STATUS_IO_ERROR;
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

const char* StatusMessage(SANE_Status status) {
  const char* text = DeviceConditionText(ConditionOf(status));
  return text ? text : kDeviceError;
}

Discovery FindDevices(bool restart) {
  Discovery found;
  Packer request(Kind::kFind);
  request.Int(restart ? 1 : 0);
  std::optional<wire::Unpacker> reply = Link().Call(request, Kind::kFound, DataLimit());
  if (!reply) {
    found.status = kNoResponse;
    return found;
  }
  found.libraryMissing = reply->Int() != 0;
  found.status = StatusOf(reply->Int());
  const std::int64_t count = reply->Int();
  for (std::int64_t i = 0; i < count && !reply->failed(); ++i) {
    DeviceInfo device;
    device.name = reply->Text();
    device.vendor = reply->Text();
    device.model = reply->Text();
    device.type = reply->Text();
    if (!reply->failed()) found.devices.push_back(std::move(device));
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
      return " mm";
    case SANE_UNIT_PIXEL:
      return " px";
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
  for (const char* option : {"tl-x", "tl-y", "br-x", "br-y"})
    if (!Choice(option)) return false;
  return true;
}

namespace {

bool Has(const std::vector<std::string>& list, const char* value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// The SANE mode that stands for line art, if the device has one.
const char* LineartMode(const std::vector<std::string>& modes) {
  for (const char* name : {"Lineart", "Binary"})
    if (Has(modes, name)) return name;
  return nullptr;
}

}  // namespace

std::vector<ColourMode> Device::Modes() const {
  const std::vector<std::string> modes = Strings("mode");
  std::vector<ColourMode> offered;
  if (Has(modes, "Color")) offered.push_back(ColourMode::kColor);
  if (Has(modes, "Gray")) offered.push_back(ColourMode::kGray);
  const std::optional<NumberChoice> depth = Choice("depth");
  if (LineartMode(modes) || (Has(modes, "Gray") && depth && depth->Takes(1)))
    offered.push_back(ColourMode::kLineart);
  return offered;
}

std::optional<ColourMode> Device::Mode() const {
  const std::optional<std::string> mode = String("mode");
  if (!mode) return std::nullopt;
  if (*mode == "Color") return ColourMode::kColor;
  if (*mode == "Lineart" || *mode == "Binary") return ColourMode::kLineart;
  if (*mode == "Gray") return Number("depth") == 1.0 ? ColourMode::kLineart : ColourMode::kGray;
  return std::nullopt;
}

SANE_Status Device::SetMode(ColourMode mode) {
  const std::vector<std::string> modes = Strings("mode");
  const std::optional<NumberChoice> depth = Choice("depth");
  if (mode == ColourMode::kLineart) {
    if (const char* lineart = LineartMode(modes)) return SetString("mode", lineart);
    if (!depth || !depth->Takes(1)) return SANE_STATUS_INVAL;
    const SANE_Status status = SetString("mode", "Gray");
    return status != SANE_STATUS_GOOD ? status : SetNumber("depth", 1);
  }
  const SANE_Status status = SetString("mode", mode == ColourMode::kColor ? "Color" : "Gray");
  if (status != SANE_STATUS_GOOD) return status;
  // Gray at 1 bit is line art: leave it for 8 bits.
  if (Number("depth") == 1.0 && depth && depth->Takes(8)) return SetNumber("depth", 8);
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
  parameters = wire::UnpackParameters(*reply);
  return reply->failed() ? kNoResponse : status;
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
  result_ = ReadFrames();
  // A cancel the helper did not answer is reported as such; any other ends as cancelled.
  const bool lost =
      result_.outcome == ScanResult::Outcome::kFailed && result_.status == kNoResponse;
  if (cancelled_ && !lost) {
    result_ = ScanResult{};
    result_.outcome = ScanResult::Outcome::kCancelled;
  }
  if (finished_) finished_();
}

ScanResult Device::ReadFrames() {
  ScanResult result;
  auto failed = [&](SANE_Status status) {
    result = ScanResult{};
    result.outcome = ScanResult::Outcome::kFailed;
    result.status = status;
    return result;
  };
  if (const SANE_Status status = Current(); status != SANE_STATUS_GOOD) return failed(status);
  const double dpi = Number("resolution").value_or(0);
  Packer request(Kind::kStart);
  request.Int(id_);
  HelperLink::Stream stream = Link().Open(request);

  // The scan ends with the helper's kScanEnd. Until then: data at least every DataLimit(); once
  // the scan is cancelled, or the device reported a failure, the end within kCancelLimit.
  std::vector<FrameData> frames;
  std::optional<FrameData> frame;
  std::optional<ScanResult> stopped;  // why the scan is being ended here
  std::optional<SANE_Status> failure;
  bool cancelSent = false;
  auto stop = [&](ScanResult why) {
    if (!stopped) stopped = std::move(why);
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
      // No answer in time (the helper is killed) or the helper died.
      stream.Abandon();
      if (failure) return failed(*failure);
      if (stopped) return *stopped;
      return failed(kNoResponse);
    }
    lastMessage = Clock::now();
    switch (message->kind()) {
      case Kind::kFrame: {
        const SANE_Parameters p = wire::UnpackParameters(*message);
        if (live_) {
          const std::lock_guard lock(liveMutex_);
          liveParameters_ = p;
          liveBytes_.clear();
        }
        frame.emplace();
        const std::optional<FrameKind> kind = KindOf(p.format);
        frame->kind = kind.value_or(FrameKind::kGray);
        frame->depth = p.depth;
        frame->pixelsPerLine = p.pixels_per_line;
        frame->bytesPerLine = p.bytes_per_line;
        frame->lines = p.lines;
        std::string refusal;
        if (!kind)
          refusal = kBadFrameLayout;
        else if (frame->kind == FrameKind::kGray || frame->kind == FrameKind::kRgb)
          refusal = RefusalOf(std::span(&*frame, 1));
        else if (frame->depth != 8 && frame->depth != 16)
          refusal = kUnsupportedDepth;
        if (!refusal.empty()) {
          ScanResult why;
          why.outcome = ScanResult::Outcome::kRefused;
          why.refusal = refusal;
          stop(std::move(why));
        } else if (p.lines > 0 && !FitsProgram(p.pixels_per_line, p.lines)) {
          ScanResult why;
          why.outcome = ScanResult::Outcome::kTooLarge;
          stop(std::move(why));
        }
        const std::int64_t frameBytes =
            p.lines > 0 ? static_cast<std::int64_t>(p.bytes_per_line) * p.lines : 0;
        const int passes = p.format == SANE_FRAME_GRAY || p.format == SANE_FRAME_RGB ? 1 : 3;
        expected_ = frameBytes * passes;
        if (!stopped && frameBytes > 0) frame->bytes.reserve(static_cast<std::size_t>(frameBytes));
        break;
      }
      case Kind::kData: {
        std::vector<std::uint8_t> bytes = message->Bytes();
        if (stopped || cancelled_ || !frame) break;
        frame->bytes.insert(frame->bytes.end(), bytes.begin(), bytes.end());
        if (live_) {
          const std::lock_guard lock(liveMutex_);
          liveBytes_.insert(liveBytes_.end(), bytes.begin(), bytes.end());
        }
        received_ += static_cast<std::int64_t>(bytes.size());
        if (frame->bytesPerLine > 0 &&
            !FitsProgram(
                frame->pixelsPerLine,
                static_cast<std::int64_t>(frame->bytes.size()) / frame->bytesPerLine + 1)) {
          ScanResult why;
          why.outcome = ScanResult::Outcome::kTooLarge;
          stop(std::move(why));
        }
        break;
      }
      case Kind::kFrameEnd:
        if (frame) frames.push_back(std::move(*frame));
        frame.reset();
        break;
      case Kind::kReadFailed:
        failure = StatusOf(message->Int());
        break;
      case Kind::kScanEnd: {
        stream.Ended();
        const SANE_Status status = StatusOf(message->Int());
        if (stopped) return *stopped;
        if (cancelled_) return result;
        if (failure) return failed(*failure);
        if (status != SANE_STATUS_GOOD) return failed(status);
        return Assemble(frames, dpi);
      }
      default:
        break;
    }
  }
}

}  // namespace scanner
