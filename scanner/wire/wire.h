// What the manager and its SANE helper process say to each other over their socket. A message
// is a 32-bit length, a kind byte and a payload of fields; the same code packs and unpacks it on
// both sides, so the two can never disagree on a layout.
#pragma once

#include <sane/sane.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace scanner::wire {

enum class Kind : std::uint8_t {
  // Requests, manager to helper.
  kFind = 1,       // restart flag -> kFound
  kOpen,           // device name -> kOpened
  kClose,          // handle -> kDone
  kSet,            // handle, option index, value -> kOptions
  kGetParameters,  // handle -> kParameters
  kStart,          // handle -> kFrame / kData / kFrameEnd ... kReadFailed? kScanEnd
  kCancel,         // during a scan: end it -> ... kScanEnd
  kExit,           // ends SANE and the helper
  // Replies, helper to manager.
  kFound = 64,  // library missing, status, devices
  kOpened,      // status, handle, options
  kOptions,     // status, info, options
  kParameters,  // status, parameters
  kFrame,       // parameters of the frame that starts
  kData,        // bytes of the current frame
  kFrameEnd,    // the current frame is complete
  kReadFailed,  // the device ended the scan with a status; the helper now ends it (kScanEnd)
  kScanEnd,     // status: the scan is over and the handle idle again
  kDone,
};

// Largest message either side accepts: a data chunk, or an option list.
inline constexpr std::uint32_t kMaxMessage = 8u << 20;

class Packer {
 public:
  explicit Packer(Kind kind);
  Packer& Int(std::int64_t value);
  Packer& Real(double value);
  Packer& Text(const std::string& value);
  Packer& Bytes(const void* data, std::size_t size);
  // The whole message, length first.
  const std::vector<std::uint8_t>& Message();

 private:
  std::vector<std::uint8_t> bytes_;
};

// Reads the fields of one payload in order; a field that is not there reads as failed() and
// zero, so a short or garbled message can never read out of bounds.
class Unpacker {
 public:
  Unpacker(Kind kind, std::vector<std::uint8_t> payload)
      : kind_(kind), payload_(std::move(payload)) {}
  Kind kind() const { return kind_; }
  std::int64_t Int();
  // An Int that SANE's word (and SANE_Int) must hold; any other value fails the message.
  std::int32_t Word();
  double Real();
  std::string Text();
  std::vector<std::uint8_t> Bytes();
  bool failed() const { return failed_; }
  // Bytes of the payload not read yet.
  std::size_t Left() const { return payload_.size() - at_; }
  // A count of items that follow, each of at least itemBytes on the wire: one the rest of the
  // payload cannot hold fails the message (so that a garbled count cannot ask for memory).
  std::size_t Count(std::size_t itemBytes);
  // Marks the message as garbled: a value that was read does not make sense.
  void Fail() { failed_ = true; }

 private:
  bool Take(void* out, std::size_t size);
  Kind kind_;
  std::vector<std::uint8_t> payload_;
  std::size_t at_ = 0;
  bool failed_ = false;
};

// The length and kind at the start of a message; nothing for a length beyond kMaxMessage.
struct Header {
  std::uint32_t payloadSize = 0;
  Kind kind{};
};
inline constexpr std::size_t kHeaderSize = 5;
std::optional<Header> ReadHeader(const std::uint8_t (&bytes)[kHeaderSize]);

// Puts messages together from bytes as they arrive, however the other side cuts them: the bytes
// received go to Space(), which never reaches beyond the message under way, so a reader can stop
// at any byte and go on later without waiting for the rest in one piece.
class MessageReader {
 public:
  // Where the next bytes go: the rest of the header or of the payload (never empty).
  std::span<std::uint8_t> Space();
  // n bytes were received into Space(); false when they make a length beyond kMaxMessage, after
  // which nothing more can be read.
  bool Received(std::size_t n);
  // The message completed by the bytes received, once; the reader is then at the next one.
  std::optional<Unpacker> Take();
  // A message is complete and waits to be taken.
  bool Complete() const { return complete_; }

 private:
  std::uint8_t head_[kHeaderSize] = {};
  std::optional<Header> header_;
  std::vector<std::uint8_t> payload_;
  std::size_t have_ = 0;  // of the header, then of the payload
  bool complete_ = false;
};

// SANE's enumerations from a number of the other side, or of a backend: nothing for a value that
// the enumeration does not have (taking such a number as the enumeration would be undefined).
template <typename Enumeration>
std::optional<Enumeration> EnumOf(std::int64_t value, Enumeration last) {
  if (value < 0 || value > static_cast<std::int64_t>(last)) return std::nullopt;
  return static_cast<Enumeration>(value);
}
inline std::optional<SANE_Status> StatusOf(std::int64_t value) {
  return EnumOf(value, SANE_STATUS_ACCESS_DENIED);
}
inline std::optional<SANE_Frame> FrameOf(std::int64_t value) {
  return EnumOf(value, SANE_FRAME_BLUE);
}

// One device option as the helper describes it: what the manager needs to show and set it.
struct Option {
  std::string name;
  SANE_Value_Type type = SANE_TYPE_BOOL;
  SANE_Unit unit = SANE_UNIT_NONE;
  SANE_Int size = 0;
  SANE_Int cap = 0;
  SANE_Constraint_Type constraint = SANE_CONSTRAINT_NONE;
  SANE_Word min = 0, max = 0, quant = 0;  // a range
  std::vector<SANE_Word> words;           // a word list
  std::vector<std::string> strings;       // a string list
  std::optional<SANE_Word> word;          // the value of a one-word number or flag
  std::optional<std::string> text;        // the value of a string
};

void PackOptions(Packer& packer, const std::vector<Option>& options);
std::vector<Option> UnpackOptions(Unpacker& unpacker);

// The parameters of a frame. The format goes as the number the backend gave: a format SANE does
// not define unpacks to nothing, without failing the message (it is the backend's, and no picture
// this program makes); a number beyond a SANE word fails the message.
void PackParameters(Packer& packer, const SANE_Parameters& p);
std::optional<SANE_Parameters> UnpackParameters(Unpacker& unpacker);

// A SANE enumeration's field as a backend filled it in, read as the number it holds: loading it
// as the enumeration first would be undefined for a value the enumeration does not have.
template <typename Enumeration>
std::int32_t NumberIn(const Enumeration& field) {
  static_assert(sizeof(Enumeration) == sizeof(std::int32_t));
  std::int32_t value = 0;
  std::memcpy(&value, &field, sizeof value);
  return value;
}

}  // namespace scanner::wire
