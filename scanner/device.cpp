#include "device.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "messages.h"
#include "platform/fpu_control.h"
#include "sane_api.h"

namespace scanner {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

bool IsNumber(const SANE_Option_Descriptor& d) {
  return (d.type == SANE_TYPE_INT || d.type == SANE_TYPE_FIXED) && d.size == sizeof(SANE_Word);
}

double FromWord(const SANE_Option_Descriptor& d, SANE_Word word) {
  return d.type == SANE_TYPE_FIXED ? SANE_UNFIX(word) : static_cast<double>(word);
}

SANE_Word ToWord(const SANE_Option_Descriptor& d, double value) {
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

}  // namespace

Discovery FindDevices(bool restart) {
  Discovery found;
  const SaneApi* api = Sane();
  if (!api) {
    found.libraryMissing = true;
    return found;
  }
  if (restart) EndSane();
  if (!StartSane()) {
    found.status = SANE_STATUS_IO_ERROR;
    return found;
  }
  const SANE_Device** list = nullptr;
  found.status = api->get_devices(&list, SANE_FALSE);
  if (found.status != SANE_STATUS_GOOD || !list) return found;
  auto text = [](const char* s) { return std::string(s ? s : ""); };
  for (; *list; ++list)
    found.devices.push_back(
        {text((*list)->name), text((*list)->vendor), text((*list)->model), text((*list)->type)});
  return found;
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

std::unique_ptr<Device> Device::Open(const std::string& name, SANE_Status& status) {
  const SaneApi* api = Sane();
  if (!api || !StartSane()) {
    status = SANE_STATUS_INVAL;
    return nullptr;
  }
  SANE_Handle handle = nullptr;
  status = api->open(name.c_str(), &handle);
  if (status != SANE_STATUS_GOOD) return nullptr;
  return std::unique_ptr<Device>(new Device(name, handle));
}

Device::~Device() {
  if (worker_.joinable()) {
    Cancel();
    worker_.join();
  }
  Sane()->close(handle_);
}

int Device::Find(const char* option) const {
  const SaneApi* api = Sane();
  for (SANE_Int i = 1;; ++i) {
    const SANE_Option_Descriptor* d = api->get_option_descriptor(handle_, i);
    if (!d) return -1;
    if (d->name && std::strcmp(d->name, option) == 0 && SANE_OPTION_IS_ACTIVE(d->cap)) return i;
  }
}

std::vector<std::string> Device::Strings(const char* option) const {
  std::vector<std::string> values;
  const int i = Find(option);
  if (i < 0) return values;
  const SANE_Option_Descriptor* d = Sane()->get_option_descriptor(handle_, i);
  if (d->type != SANE_TYPE_STRING || d->constraint_type != SANE_CONSTRAINT_STRING_LIST)
    return values;
  for (const SANE_String_Const* s = d->constraint.string_list; s && *s; ++s)
    values.emplace_back(*s);
  return values;
}

std::optional<std::string> Device::String(const char* option) const {
  const int i = Find(option);
  if (i < 0) return std::nullopt;
  const SANE_Option_Descriptor* d = Sane()->get_option_descriptor(handle_, i);
  if (d->type != SANE_TYPE_STRING || d->size <= 0) return std::nullopt;
  std::vector<char> value(static_cast<std::size_t>(d->size) + 1, '\0');
  if (Sane()->control_option(handle_, i, SANE_ACTION_GET_VALUE, value.data(), nullptr) !=
      SANE_STATUS_GOOD)
    return std::nullopt;
  return std::string(value.data());
}

SANE_Status Device::SetString(const char* option, const std::string& value) {
  const int i = Find(option);
  if (i < 0) return SANE_STATUS_UNSUPPORTED;
  const SANE_Option_Descriptor* d = Sane()->get_option_descriptor(handle_, i);
  if (d->type != SANE_TYPE_STRING || !SANE_OPTION_IS_SETTABLE(d->cap))
    return SANE_STATUS_UNSUPPORTED;
  const std::vector<std::string> offered = Strings(option);
  if (std::find(offered.begin(), offered.end(), value) == offered.end()) return SANE_STATUS_INVAL;
  std::vector<char> buffer(std::max<std::size_t>(d->size, value.size() + 1), '\0');
  std::memcpy(buffer.data(), value.data(), value.size());
  return Sane()->control_option(handle_, i, SANE_ACTION_SET_VALUE, buffer.data(), nullptr);
}

std::optional<NumberChoice> Device::Choice(const char* option) const {
  const int i = Find(option);
  if (i < 0) return std::nullopt;
  const SANE_Option_Descriptor* d = Sane()->get_option_descriptor(handle_, i);
  if (!IsNumber(*d)) return std::nullopt;
  NumberChoice choice;
  if (d->constraint_type == SANE_CONSTRAINT_RANGE && d->constraint.range) {
    choice.min = FromWord(*d, d->constraint.range->min);
    choice.max = FromWord(*d, d->constraint.range->max);
    choice.step = FromWord(*d, d->constraint.range->quant);
  } else if (d->constraint_type == SANE_CONSTRAINT_WORD_LIST && d->constraint.word_list) {
    for (SANE_Int k = 1; k <= d->constraint.word_list[0]; ++k)
      choice.list.push_back(FromWord(*d, d->constraint.word_list[k]));
    if (choice.list.empty()) return std::nullopt;
    choice.min = *std::min_element(choice.list.begin(), choice.list.end());
    choice.max = *std::max_element(choice.list.begin(), choice.list.end());
  } else {
    return std::nullopt;
  }
  return choice;
}

std::optional<double> Device::Number(const char* option) const {
  const int i = Find(option);
  if (i < 0) return std::nullopt;
  const SANE_Option_Descriptor* d = Sane()->get_option_descriptor(handle_, i);
  if (!IsNumber(*d)) return std::nullopt;
  SANE_Word word = 0;
  if (Sane()->control_option(handle_, i, SANE_ACTION_GET_VALUE, &word, nullptr) != SANE_STATUS_GOOD)
    return std::nullopt;
  return FromWord(*d, word);
}

std::string Device::UnitSuffix(const char* option) const {
  const int i = Find(option);
  if (i < 0) return {};
  switch (Sane()->get_option_descriptor(handle_, i)->unit) {
    case SANE_UNIT_MM:
      return " mm";
    case SANE_UNIT_PIXEL:
      return " px";
    default:
      return {};
  }
}

SANE_Status Device::SetNumber(const char* option, double value) {
  const int i = Find(option);
  if (i < 0) return SANE_STATUS_UNSUPPORTED;
  const SANE_Option_Descriptor* d = Sane()->get_option_descriptor(handle_, i);
  if (!IsNumber(*d) || !SANE_OPTION_IS_SETTABLE(d->cap)) return SANE_STATUS_UNSUPPORTED;
  if (const std::optional<NumberChoice> choice = Choice(option)) value = choice->Clamp(value);
  SANE_Word word = ToWord(*d, value);
  return Sane()->control_option(handle_, i, SANE_ACTION_SET_VALUE, &word, nullptr);
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
  return Sane()->get_parameters(handle_, &parameters);
}

bool Device::ParametersFit() const {
  SANE_Parameters p{};
  if (Parameters(p) != SANE_STATUS_GOOD || p.lines < 0) return true;
  return FitsProgram(p.pixels_per_line, p.lines);
}

void Device::StartScan(std::function<void()> finished) {
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
  cancelled_ = true;
  if (worker_.joinable()) Sane()->cancel(handle_);
}

ScanResult Device::TakeResult() {
  if (worker_.joinable()) worker_.join();
  return std::move(result_);
}

void Device::Scan() {
  // Backends are not written for unmasked floating-point exceptions.
  SetFpuControl(WithAllExceptionsMasked(CurrentFpuControl()));
  result_ = ReadFrames();
  Sane()->cancel(handle_);  // ends the scan in every case, as SANE asks
  if (cancelled_) {
    result_ = ScanResult{};
    result_.outcome = ScanResult::Outcome::kCancelled;
  }
  if (finished_) finished_();
}

ScanResult Device::ReadFrames() {
  const SaneApi* api = Sane();
  ScanResult result;
  auto failed = [&](SANE_Status status) {
    result.outcome = ScanResult::Outcome::kFailed;
    result.status = status;
    return result;
  };
  std::vector<FrameData> frames;
  double dpi = Number("resolution").value_or(0);
  for (;;) {
    if (cancelled_) return result;
    if (const SANE_Status status = api->start(handle_); status != SANE_STATUS_GOOD)
      return failed(status);
    SANE_Parameters p{};
    if (const SANE_Status status = api->get_parameters(handle_, &p); status != SANE_STATUS_GOOD)
      return failed(status);
    const std::optional<FrameKind> kind = KindOf(p.format);
    FrameData frame;
    frame.kind = kind.value_or(FrameKind::kGray);
    frame.depth = p.depth;
    frame.pixelsPerLine = p.pixels_per_line;
    frame.bytesPerLine = p.bytes_per_line;
    frame.lines = p.lines;
    std::string refusal;
    if (!kind)
      refusal = kBadFrameLayout;
    else if (frame.kind == FrameKind::kGray || frame.kind == FrameKind::kRgb)
      refusal = RefusalOf(std::span(&frame, 1));
    else if (frame.depth != 8 && frame.depth != 16)
      refusal = kUnsupportedDepth;
    if (!refusal.empty()) {
      result.outcome = ScanResult::Outcome::kRefused;
      result.refusal = refusal;
      return result;
    }
    if (p.lines >= 0 && !FitsProgram(p.pixels_per_line, p.lines)) {
      result.outcome = ScanResult::Outcome::kTooLarge;
      return result;
    }
    const std::int64_t frameBytes =
        p.lines >= 0 ? static_cast<std::int64_t>(p.bytes_per_line) * p.lines : 0;
    const int passes = p.format == SANE_FRAME_GRAY || p.format == SANE_FRAME_RGB ? 1 : 3;
    expected_ = frameBytes * passes;
    if (frameBytes > 0) frame.bytes.reserve(static_cast<std::size_t>(frameBytes));
    std::vector<SANE_Byte> chunk(kReadChunk);
    for (;;) {
      SANE_Int length = 0;
      const SANE_Status status =
          api->read(handle_, chunk.data(), static_cast<SANE_Int>(chunk.size()), &length);
      if (cancelled_) return result;
      if (status == SANE_STATUS_EOF) break;
      if (status != SANE_STATUS_GOOD) return failed(status);
      frame.bytes.insert(frame.bytes.end(), chunk.begin(), chunk.begin() + length);
      received_ += length;
      if (p.lines < 0 && p.bytes_per_line > 0 &&
          !FitsProgram(p.pixels_per_line,
                       static_cast<std::int64_t>(frame.bytes.size()) / p.bytes_per_line + 1)) {
        result.outcome = ScanResult::Outcome::kTooLarge;
        return result;
      }
    }
    frames.push_back(std::move(frame));
    if (p.last_frame) break;
  }
  if (const std::string refusal = RefusalOf(frames); !refusal.empty()) {
    result.outcome = ScanResult::Outcome::kRefused;
    result.refusal = refusal;
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

}  // namespace scanner
