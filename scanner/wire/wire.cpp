#include "wire.h"

#include <cstring>
#include <limits>
#include <utility>

namespace scanner::wire {

Packer::Packer(Kind kind) : bytes_(kHeaderSize, 0) {
  bytes_[4] = static_cast<std::uint8_t>(kind);
}

Packer& Packer::Int(std::int64_t value) {
  return Bytes(&value, sizeof value), *this;
}

Packer& Packer::Real(double value) {
  const std::size_t at = bytes_.size();
  bytes_.resize(at + sizeof value);
  std::memcpy(bytes_.data() + at, &value, sizeof value);
  return *this;
}

Packer& Packer::Text(const std::string& value) {
  return Bytes(value.data(), value.size());
}

Packer& Packer::Bytes(const void* data, std::size_t size) {
  const auto length = static_cast<std::uint32_t>(size);
  const std::size_t at = bytes_.size();
  bytes_.resize(at + sizeof length + size);
  std::memcpy(bytes_.data() + at, &length, sizeof length);
  if (size > 0) std::memcpy(bytes_.data() + at + sizeof length, data, size);
  return *this;
}

const std::vector<std::uint8_t>& Packer::Message() {
  const auto payload = static_cast<std::uint32_t>(bytes_.size() - kHeaderSize);
  std::memcpy(bytes_.data(), &payload, sizeof payload);
  return bytes_;
}

bool Unpacker::Take(void* out, std::size_t size) {
  if (failed_ || payload_.size() - at_ < size) {
    failed_ = true;
    std::memset(out, 0, size);
    return false;
  }
  std::memcpy(out, payload_.data() + at_, size);
  at_ += size;
  return true;
}

std::int64_t Unpacker::Int() {
  std::uint32_t length = 0;
  std::int64_t value = 0;
  if (!Take(&length, sizeof length)) return 0;
  if (length != sizeof value) {
    failed_ = true;
    return 0;
  }
  Take(&value, sizeof value);
  return value;
}

std::int32_t Unpacker::Word() {
  const std::int64_t value = Int();
  if (!std::in_range<std::int32_t>(value)) {
    Fail();
    return 0;
  }
  return static_cast<std::int32_t>(value);
}

double Unpacker::Real() {
  double value = 0;
  Take(&value, sizeof value);
  return value;
}

std::vector<std::uint8_t> Unpacker::Bytes() {
  std::uint32_t length = 0;
  if (!Take(&length, sizeof length) || payload_.size() - at_ < length) {
    failed_ = true;
    return {};
  }
  std::vector<std::uint8_t> bytes(payload_.begin() + static_cast<std::ptrdiff_t>(at_),
                                  payload_.begin() + static_cast<std::ptrdiff_t>(at_ + length));
  at_ += length;
  return bytes;
}

std::string Unpacker::Text() {
  const std::vector<std::uint8_t> bytes = Bytes();
  return std::string(bytes.begin(), bytes.end());
}

std::size_t Unpacker::Count(std::size_t itemBytes) {
  const std::int64_t n = Int();
  if (n < 0 || static_cast<std::uint64_t>(n) > Left() / itemBytes) {
    Fail();
    return 0;
  }
  return static_cast<std::size_t>(n);
}

std::optional<Header> ReadHeader(const std::uint8_t (&bytes)[kHeaderSize]) {
  Header header;
  std::memcpy(&header.payloadSize, bytes, sizeof header.payloadSize);
  header.kind = static_cast<Kind>(bytes[4]);
  if (header.payloadSize > kMaxMessage) return std::nullopt;
  return header;
}

std::span<std::uint8_t> MessageReader::Space() {
  if (!header_) return std::span(head_).subspan(have_);
  return std::span(payload_).subspan(have_);
}

bool MessageReader::Received(std::size_t n) {
  have_ += n;
  if (!header_ && have_ == kHeaderSize) {
    header_ = ReadHeader(head_);
    if (!header_) return false;
    payload_.assign(header_->payloadSize, 0);
    have_ = 0;
  }
  complete_ = header_ && have_ == payload_.size();
  return true;
}

std::optional<Unpacker> MessageReader::Take() {
  if (!complete_) return std::nullopt;
  Unpacker message(header_->kind, std::move(payload_));
  header_.reset();
  payload_ = {};
  have_ = 0;
  complete_ = false;
  return message;
}

namespace {

// The least that one item of a list takes on the wire: a number is its length and 8 bytes, a
// text its length and its bytes.
constexpr std::size_t kIntBytes = 12, kTextBytes = 4;
constexpr std::size_t kOptionBytes = 2 * kTextBytes + 12 * kIntBytes;

constexpr std::int64_t kAbsent = std::numeric_limits<std::int64_t>::min();

// An enumeration's number from the other side: one it does not have fails the message.
template <typename Enumeration>
Enumeration Checked(Unpacker& u, Enumeration last) {
  const std::optional<Enumeration> value = EnumOf(u.Int(), last);
  if (!value) u.Fail();
  return value.value_or(Enumeration{});
}

}  // namespace

void PackOptions(Packer& packer, const std::vector<Option>& options) {
  packer.Int(static_cast<std::int64_t>(options.size()));
  for (const Option& o : options) {
    packer.Text(o.name).Int(o.type).Int(o.unit).Int(o.size).Int(o.cap).Int(o.constraint);
    packer.Int(o.min).Int(o.max).Int(o.quant);
    packer.Int(static_cast<std::int64_t>(o.words.size()));
    for (SANE_Word w : o.words) packer.Int(w);
    packer.Int(static_cast<std::int64_t>(o.strings.size()));
    for (const std::string& s : o.strings) packer.Text(s);
    packer.Int(o.word ? *o.word : kAbsent);
    packer.Int(o.text ? 1 : 0).Text(o.text.value_or(std::string()));
  }
}

std::vector<Option> UnpackOptions(Unpacker& u) {
  std::vector<Option> options(u.Count(kOptionBytes));
  for (Option& o : options) {
    o.name = u.Text();
    o.type = Checked(u, SANE_TYPE_GROUP);
    o.unit = Checked(u, SANE_UNIT_MICROSECOND);
    o.size = u.Word();
    o.cap = u.Word();
    o.constraint = Checked(u, SANE_CONSTRAINT_STRING_LIST);
    o.min = u.Word();
    o.max = u.Word();
    o.quant = u.Word();
    o.words.resize(u.Count(kIntBytes));
    for (SANE_Word& w : o.words) w = u.Word();
    o.strings.resize(u.Count(kTextBytes));
    for (std::string& s : o.strings) s = u.Text();
    if (const std::int64_t word = u.Int(); word != kAbsent) {
      if (!std::in_range<SANE_Word>(word)) u.Fail();  // no SANE word is that large
      o.word = static_cast<SANE_Word>(word);
    }
    const bool hasText = u.Int() != 0;
    std::string text = u.Text();
    if (hasText) o.text = std::move(text);
    if (u.failed()) return {};
  }
  return options;
}

void PackParameters(Packer& packer, const SANE_Parameters& p) {
  packer.Int(NumberIn(p.format)).Int(p.last_frame).Int(p.bytes_per_line).Int(p.pixels_per_line);
  packer.Int(p.lines).Int(p.depth);
}

std::optional<SANE_Parameters> UnpackParameters(Unpacker& u) {
  const std::int32_t format = u.Word();
  SANE_Parameters p{};
  p.last_frame = u.Word();
  p.bytes_per_line = u.Word();
  p.pixels_per_line = u.Word();
  p.lines = u.Word();
  p.depth = u.Word();
  const std::optional<SANE_Frame> known = FrameOf(format);
  if (!known || u.failed()) return std::nullopt;
  p.format = *known;
  return p;
}

}  // namespace scanner::wire
