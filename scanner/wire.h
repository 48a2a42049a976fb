// What the manager and its SANE helper process say to each other over their socket. A message
// is a 32-bit length, a kind byte and a payload of fields; the same code packs and unpacks it on
// both sides, so the two can never disagree on a layout.
#pragma once

#include <sane/sane.h>

#include <cstdint>
#include <optional>
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

void PackParameters(Packer& packer, const SANE_Parameters& p);
SANE_Parameters UnpackParameters(Unpacker& unpacker);

}  // namespace scanner::wire
