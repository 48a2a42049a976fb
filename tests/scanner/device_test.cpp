// The device and its helper process on a fake SANE: every way a scan can end, including the
// ones where the helper must be given up, and the next scan after each.
#include "scanner/device/device.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "fake_sane_fixture.h"
#include "scanner/contract/conditions.h"
#include "scanner/device/helper_link.h"

namespace scanner {
namespace {

using Outcome = ScanResult::Outcome;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class FakeSane : public FakeSaneTest {
 protected:
  // fake:0 in that mode; a scan without data for 1 s is given up.
  static std::unique_ptr<Device> Open(const char* mode) {
    ::setenv("LUMIVANE_SCANNER_TIMEOUT", "1", 1);
    return FakeSaneTest::Open("fake:0", mode);
  }
  static ScanResult ScanWith(Device& device, bool cancel = false) {
    if (!device.Scanning()) device.StartScan({});
    if (cancel) {
      while (device.BytesReceived() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      device.Cancel();
    }
    return device.TakeResult();
  }
  // Height of a packed bitmap (its info header's height field).
  static std::int32_t Height(const std::vector<std::uint8_t>& dib) {
    std::int32_t height = 0;
    std::memcpy(&height, dib.data() + 8, 4);
    return height;
  }
};

TEST_F(FakeSane, EveryEndOfAScanAndTheScanAfterIt) {
  struct Case {
    const char* mode;
    bool cancel;
    Outcome outcome;
    TW_UINT16 condition;
    int lines;  // of a complete picture
  };
  const Case cases[] = {
      {"ok", false, Outcome::kComplete, TWCC_SUCCESS, 30},
      {"fuzzy", false, Outcome::kComplete, TWCC_SUCCESS, 30},
      {"short", false, Outcome::kComplete, TWCC_SUCCESS, 10},
      {"no-data", false, Outcome::kFailed, kConditionNoImageData, 0},
      {"slow", true, Outcome::kCancelled, TWCC_SUCCESS, 0},
      {"hang-read", false, Outcome::kFailed, kConditionNoResponse, 0},
      {"hang-cancel", false, Outcome::kFailed, TWCC_PAPERJAM, 0},
      {"crash", false, Outcome::kFailed, kConditionNoResponse, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    std::unique_ptr<Device> device = Open(c.mode);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->ParametersFit());  // 0 lines announced are not too many
    const ScanResult result = ScanWith(*device, c.cancel);
    EXPECT_EQ(result.outcome, c.outcome);
    if (c.outcome == Outcome::kFailed) {
      EXPECT_EQ(result.condition, c.condition);
    }
    if (c.outcome == Outcome::kComplete) {
      ASSERT_GT(result.dib.size(), 40u);
      EXPECT_EQ(Height(result.dib), c.lines);
    }
    // Whatever became of the helper, the same device scans again, in a fresh one if need be.
    SetMode("ok");
    const ScanResult next = ScanWith(*device);
    EXPECT_EQ(next.outcome, Outcome::kComplete);
    EXPECT_EQ(device->Number("resolution"), 100.0);
  }
  EXPECT_LE(::waitpid(-1, nullptr, WNOHANG), 0) << "a helper ended and was not reaped";
}

// Each time limit holds whatever the helper does, also when it stops in the middle of a
// message. The data limit is far above the others (30 s), so that waiting the wrong limit shows;
// and each limit is waited in full, so that a shorter one shows too.
TEST_F(FakeSane, EachTimeLimitHoldsWhenTheHelperStopsMidMessage) {
  enum class Wait { kCancel, kScan, kClose, kEnd };
  const struct {
    const char* mode;
    Wait wait;
    double least, most;   // seconds
    TW_UINT16 condition;  // of the scan; TWCC_SUCCESS: cancelled
  } cases[] = {
      {"freeze-read", Wait::kCancel, 5, 7.5, kConditionNoResponse},
      // The device fails a read, and ending the scan hangs: the end within the cancel limit.
      {"hang-cancel", Wait::kScan, 5, 7.5, TWCC_PAPERJAM},
      {"freeze-close", Wait::kClose, 5, 7.5, TWCC_SUCCESS},
      {"freeze-exit", Wait::kEnd, 1, 3, TWCC_SUCCESS},
      // A scan without end, cancelled: the helper ends it at once.
      {"endless", Wait::kCancel, 0, 1.5, TWCC_SUCCESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    std::unique_ptr<Device> device = Open(c.mode);
    ASSERT_NE(device, nullptr);
    ::setenv("LUMIVANE_SCANNER_TIMEOUT", "30", 1);
    if (c.wait == Wait::kCancel) {
      device->StartScan({});
      const auto begun = Clock::now();  // until data flow, or the helper has frozen
      while (device->BytesReceived() == 0 && SecondsSince(begun) < 0.3)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (c.wait == Wait::kEnd) device.reset();
    const auto start = Clock::now();
    ScanResult result;
    result.condition = TWCC_SUCCESS;
    if (c.wait == Wait::kCancel) device->Cancel();
    if (c.wait == Wait::kCancel || c.wait == Wait::kScan) result = ScanWith(*device);
    if (c.wait == Wait::kClose) device.reset();
    if (c.wait == Wait::kEnd) EndScanning();
    const double seconds = SecondsSince(start);
    RecordProperty(std::string(c.mode) + "Seconds", std::to_string(seconds));
    EXPECT_GE(seconds, c.least);
    EXPECT_LT(seconds, c.most);
    EXPECT_EQ(result.outcome == Outcome::kCancelled ? TWCC_SUCCESS : result.condition, c.condition);
  }
  EXPECT_LE(::waitpid(-1, nullptr, WNOHANG), 0) << "a helper ended and was not reaped";
}

// Without LUMIVANE_SCANNER_TIMEOUT a scan waits 30 s for data: data after 3.5 s still come.
TEST_F(FakeSane, DataLateBySecondsArriveWithinTheDefaultLimit) {
  std::unique_ptr<Device> device = Open("late");
  ::unsetenv("LUMIVANE_SCANNER_TIMEOUT");
  EXPECT_EQ(ScanWith(*device).outcome, Outcome::kComplete);
}

TEST_F(FakeSane, ValuesSetAreSetAgainInAFreshHelper) {
  std::unique_ptr<Device> device = Open("hang-read");
  ASSERT_EQ(device->SetNumber("resolution", 300), SANE_STATUS_GOOD);
  EXPECT_EQ(ScanWith(*device).condition, kConditionNoResponse);
  SetMode("ok");
  EXPECT_EQ(ScanWith(*device).outcome, Outcome::kComplete);
  EXPECT_EQ(device->Number("resolution"), 300.0);
}

TEST_F(FakeSane, ClosingDuringAHungScanEndsWithinTheLimits) {
  std::unique_ptr<Device> device = Open("hang-read");
  // Only the cancel's limit ends this wait.
  ::setenv("LUMIVANE_SCANNER_TIMEOUT", "30", 1);
  device->StartScan({});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto start = Clock::now();
  device.reset();  // cancels (unanswered), then gives the helper up
  EXPECT_LT(Clock::now() - start, kCancelLimit + std::chrono::seconds(2));
  SetMode("network");  // a network device is found too: the search is not for local ones only
  const Discovery found = FindDevices(false);
  ASSERT_EQ(found.devices.size(), 2u);
  EXPECT_EQ(found.devices[0].vendor, "Fake");
}

TEST_F(FakeSane, TheProgramsEndWaitsOnAHungHelperNoLongerThanASecond) {
  std::unique_ptr<Device> device = Open("hang-read");
  device->StartScan({});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  device->Cancel();
  const ScanResult result = device->TakeResult();
  EXPECT_EQ(result.outcome, Outcome::kFailed);
  const auto start = Clock::now();
  EndScanning();
  EXPECT_LT(Clock::now() - start, kExitLimit + std::chrono::milliseconds(500));
}

}  // namespace
}  // namespace scanner
