// One SANE device: discovery, its options in the terms the dialogs and capabilities need, and a
// scan on a worker thread whose end is reported through a callback.
#pragma once

#include <sane/sane.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "packed_dib.h"
#include "scanner/contract/device_info.h"
#include "scanner/contract/setting_text.h"
#include "scanner/wire/wire.h"
#include "twain/twain.h"

namespace scanner {

// The helper process that talks to SANE did not answer in time, or died: not one of SANE's
// statuses (its enumeration leaves this value free), shown as such to the user.
inline constexpr SANE_Status kNoResponse = static_cast<SANE_Status>(15);

// The condition code a status is reported with (kNoResponse included); its text is
// ConditionMessage's.
TW_UINT16 ConditionOf(SANE_Status status);

// The devices SANE sees, found in the helper process.
struct Discovery {
  bool libraryMissing = false;
  SANE_Status status = SANE_STATUS_GOOD;
  std::vector<DeviceInfo> devices;
};

// The devices SANE sees. restart re-reads SANE's configuration (ends and starts SANE again),
// which the helper does only while no device is open.
Discovery FindDevices(bool restart);

// Ends the helper process and SANE with it, waiting on it no more than a second.
void EndScanning();

// The ways a value can be offered: a range (step 0 for any value) or a list.
struct NumberChoice {
  double min = 0, max = 0, step = 0;
  std::vector<double> list;
  // value moved to the nearest one the device takes.
  double Clamp(double value) const;
  bool Takes(double value) const;
};

struct ScanResult {
  enum class Outcome { kComplete, kCancelled, kFailed };
  Outcome outcome = Outcome::kFailed;
  // kFailed: why, as the condition that the transfer fails with; its text (DeviceConditionText)
  // is what the dialog says.
  TW_UINT16 condition = TWCC_BUMMER;
  std::vector<std::uint8_t> dib;  // kComplete: the packed bitmap
};

class Device {
 public:
  // The open device, or the status SANE refused it with.
  static std::unique_ptr<Device> Open(const std::string& name, SANE_Status& status);
  // Cancels and joins a running scan (bounded: a helper that does not end it is killed), then
  // closes the device.
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  const std::string& Name() const { return name_; }

  // A string option (SANE_NAME_SCAN_MODE, ...): the values offered, the current one, setting one.
  std::vector<std::string> Strings(const char* option) const;
  std::optional<std::string> String(const char* option) const;
  SANE_Status SetString(const char* option, const std::string& value);
  // A number option ("resolution", "tl-x", ...): what it takes, its value, setting one (clamped
  // to what it takes first).
  std::optional<NumberChoice> Choice(const char* option) const;
  std::optional<double> Number(const char* option) const;
  // The unit of a number option as shown after its value (" mm", " dpi", ...; empty for none).
  std::string UnitSuffix(const char* option) const;
  SANE_Status SetNumber(const char* option, double value);
  // A flag option ("preview"): whether the device has it, setting it.
  bool HasFlag(const char* option) const;
  SANE_Status SetFlag(const char* option, bool value);
  bool HasArea() const;
  // The colour modes offered, in the order colour, gray, line art; the current one; choosing.
  std::vector<ColourMode> Modes() const;
  std::optional<ColourMode> Mode() const;
  SANE_Status SetMode(ColourMode mode);

  // The picture the current options give (lines -1 when not known before the scan).
  SANE_Status Parameters(SANE_Parameters& parameters) const;
  // Whether a picture of these parameters would fit the program; true while the height is
  // unknown.
  bool ParametersFit() const;

  // Starts a scan on a worker thread; finished runs on that thread at its end. Only one at a
  // time; TakeResult joins it. A live scan keeps its frame's bytes for LiveBytes as they come.
  // Everything the helper sends is checked before it is used (see ReadFrames); nothing it
  // sends, and no exception, ends the thread other than with a result.
  void StartScan(std::function<void()> finished, bool live = false);
  // Of a live scan's current frame: its parameters and the bytes received from offset from on
  // (appended to bytes); false before its first frame began.
  bool LiveBytes(std::size_t from, SANE_Parameters& parameters,
                 std::vector<std::uint8_t>& bytes) const;
  bool Scanning() const { return worker_.joinable(); }
  void Cancel();
  ScanResult TakeResult();
  // Progress of the running scan: bytes received and expected (0 when not known).
  std::int64_t BytesReceived() const { return received_.load(); }
  std::int64_t BytesExpected() const { return expected_.load(); }

 private:
  Device(std::string name, std::int64_t id, std::vector<wire::Option> options);
  // The open handle in the current helper: after a helper was lost, the device is opened again
  // in the next one and the values set so far are set again.
  SANE_Status Current();
  const wire::Option* Find(const char* option) const;
  SANE_Status Set(const char* option, bool isText, SANE_Word word, const std::string& text,
                  bool remember);
  void Scan();
  // The scan's messages until its end. A frame's parameters are checked against each other and
  // the program's size limit before anything of it is kept, its bytes against what it
  // announced (or, of unknown height, the limit), the number of frames against what makes one
  // picture; on the first violation the helper is told to stop and the scan fails with its
  // condition.
  ScanResult ReadFrames();

  std::string name_;
  std::int64_t id_;
  std::uint64_t generation_;
  std::vector<wire::Option> options_;
  struct Setting {
    std::string option;
    bool isText;
    SANE_Word word;
    std::string text;
  };
  std::vector<Setting> settings_;
  std::thread worker_;
  bool live_ = false;
  mutable std::mutex liveMutex_;
  std::optional<SANE_Parameters> liveParameters_;
  std::vector<std::uint8_t> liveBytes_;
  std::atomic<bool> cancelled_{false};
  std::atomic<std::int64_t> received_{0}, expected_{0};
  std::function<void()> finished_;
  ScanResult result_;
};

}  // namespace scanner
