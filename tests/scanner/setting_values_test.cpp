// The settings of the table (scanner/contract/settings.h) on devices of the fake SANE whose
// options come as ranges, word lists of integers and of fixed-point numbers, string lists and
// inactive options: whether each is offered, its value, the values it takes and refuses, and
// setting one; the device's source for a kind; a setting's value from the container the program
// sends.
#include "scanner/device/setting_values.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "fake_sane_fixture.h"

namespace scanner {
namespace {

using SettingValues = FakeSaneTest;

// Rows in order per device: each applies its value (when it has one) to the device as the
// rows before it left it.
struct Row {
  const char* device;
  const char* setting;
  bool offers;
  const char* value;  // ValueOf; null for none
  std::vector<const char*> takes, refuses;
  const char* apply = nullptr;  // null: nothing applied
  SANE_Status applied = SANE_STATUS_GOOD;
  const char* after = nullptr;  // ValueOf after applying
};

const Row kRows[] = {
    // Gray only, resolution a range of whole dots, nothing else.
    {"fake:0", "mode", true, "gray", {"gray"}, {"color", "lineart", "Gray", ""}, nullptr},
    {"fake:0",
     "resolution",
     true,
     "100",
     {"50", "75", "600"},
     {"49", "601", "75.5", "x"},
     "75",
     SANE_STATUS_GOOD,
     "75"},
    {"fake:0", "resolution", true, "75", {}, {}, "601", SANE_STATUS_INVAL, "75"},
    {"fake:0", "area", false, nullptr, {}, {"0,0,10,10"}, "0,0,10,10", SANE_STATUS_INVAL, nullptr},
    {"fake:0", "source", false, nullptr, {}, {"flatbed", "feeder"}, nullptr},
    {"fake:0", "brightness", false, nullptr, {}, {"0"}, nullptr},
    // Modes with line art of its own, resolutions as a word list, sources, an area, a
    // brightness, and a contrast that is inactive.
    {"fake:1",
     "mode",
     true,
     "color",
     {"color", "gray", "lineart"},
     {"bw", "Color"},
     "lineart",
     SANE_STATUS_GOOD,
     "lineart"},
    {"fake:1", "mode", true, "lineart", {}, {}, "gray", SANE_STATUS_GOOD, "gray"},
    {"fake:1",
     "resolution",
     true,
     "150",
     {"75", "150", "300", "600", "300.0"},
     {"200", "0", "-75", "1200", "150dpi", ""},
     "300",
     SANE_STATUS_GOOD,
     "300"},
    {"fake:1", "resolution", true, "300", {}, {}, "301", SANE_STATUS_INVAL, "300"},
    {"fake:1",
     "area",
     true,
     "0,0,215,297",
     {"10,20,100,200.5", "0,0,215,297"},
     {"10,20,5,200", "10,20,100,20", "0,0,216,297", "-1,0,10,10", "1,2,3", "1,2,3,4,5", "a,b,c,d"},
     "10,20,100,200.5",
     SANE_STATUS_GOOD,
     "10,20,100,200.5"},
    {"fake:1",
     "source",
     true,
     "flatbed",
     {"flatbed", "feeder"},
     {"duplex", "ADF", ""},
     "feeder",
     SANE_STATUS_GOOD,
     "feeder"},
    {"fake:1", "source", true, "feeder", {}, {}, "flatbed", SANE_STATUS_GOOD, "flatbed"},
    {"fake:1",
     "brightness",
     true,
     "0",
     {"-100", "100", "5"},
     {"101", "0.5"},
     "25",
     SANE_STATUS_GOOD,
     "25"},
    {"fake:1", "contrast", false, nullptr, {}, {"0"}, "0", SANE_STATUS_INVAL, nullptr},
    // Gray at 1 bit for line art, resolutions as fixed-point numbers, sources none of which is
    // called a flatbed.
    {"fake:2",
     "mode",
     true,
     "gray",
     {"gray", "lineart"},
     {"color"},
     "lineart",
     SANE_STATUS_GOOD,
     "lineart"},
    {"fake:2", "mode", true, "lineart", {}, {}, "gray", SANE_STATUS_GOOD, "gray"},
    {"fake:2", "mode", true, "gray", {}, {}, "color", SANE_STATUS_INVAL, "gray"},
    {"fake:2",
     "resolution",
     true,
     "100",
     {"100", "200.5"},
     {"200", "150"},
     "200.5",
     SANE_STATUS_GOOD,
     "200.5"},
    {"fake:2", "area", false, nullptr, {}, {"0,0,1,1"}, nullptr},
    {"fake:2",
     "source",
     true,
     "flatbed",
     {"flatbed", "feeder"},
     {},
     "feeder",
     SANE_STATUS_GOOD,
     "feeder"},
};

TEST_F(SettingValues, OfferedValuesTakenAndApplied) {
  std::map<std::string, std::unique_ptr<Device>> devices;
  for (const Row& row : kRows) {
    SCOPED_TRACE(std::string(row.device) + " " + row.setting);
    std::unique_ptr<Device>& device = devices[row.device];
    if (!device) device = Open(row.device);
    ASSERT_TRUE(device);
    const Setting& setting = *SettingNamed(row.setting);
    EXPECT_EQ(Offers(*device, setting), row.offers);
    const auto text = [](const char* v) {
      return v ? std::optional<std::string>(v) : std::nullopt;
    };
    EXPECT_EQ(ValueOf(*device, setting), text(row.value));
    for (const char* v : row.takes) EXPECT_TRUE(Takes(*device, setting, v)) << v;
    for (const char* v : row.refuses) EXPECT_FALSE(Takes(*device, setting, v)) << v;
    if (!row.apply) continue;
    EXPECT_EQ(Apply(*device, setting, row.apply), row.applied) << row.apply;
    EXPECT_EQ(ValueOf(*device, setting), text(row.after));
  }
  // The line art of fake:2 is gray at 1 bit, and gray at 8 again; fake:1 went to the ADF and
  // back.
  EXPECT_EQ(devices["fake:2"]->Number("depth"), 8.0);
  EXPECT_EQ(devices["fake:2"]->String("source"), "Automatic Document Feeder");
  EXPECT_EQ(devices["fake:1"]->String("source"), "Flatbed");
}

TEST_F(SettingValues, TheSourceOfAKind) {
  const struct {
    const char* device;
    const char* kind;
    const char* source;
  } rows[] = {
      {"fake:0", "flatbed", ""},
      {"fake:0", "feeder", ""},
      {"fake:1", "flatbed", "Flatbed"},
      {"fake:1", "feeder", "ADF"},  // simplex before the duplex one listed first
      {"fake:1", "duplex", ""},
      {"fake:1", "", ""},
      {"fake:2", "flatbed", "Glass"},  // the first that is no feeder
      {"fake:2", "feeder", "Automatic Document Feeder"},
  };
  for (const auto& row : rows) {
    std::unique_ptr<Device> device = Open(row.device);
    ASSERT_TRUE(device);
    EXPECT_EQ(SourceNamed(*device, row.kind), row.source) << row.device << " " << row.kind;
  }
}

// A one-value container as the program sends it: item type and item, size bytes in all.
template <class Container>
std::optional<std::string> From(const char* setting, const Container& container,
                                std::size_t size = sizeof(Container)) {
  return FromContainer(*SettingNamed(setting), &container, size);
}

TW_FIX32 Fix32(double value) {
  const auto whole = static_cast<TW_INT16>(std::floor(value));
  return {whole, static_cast<TW_UINT16>((value - whole) * 65536)};
}

TW_UINT32 Item(TW_FIX32 fix) {
  TW_UINT32 item = 0;
  std::memcpy(&item, &fix, sizeof fix);
  return item;
}

TEST(SettingContainers, TheValueOfEachKindOfContainer) {
  using Text = std::optional<std::string>;
  const TW_FRAME frame{Fix32(1.5), Fix32(2), Fix32(100), Fix32(200.25)};
  const struct {
    const char* what;
    Text got, want;
  } rows[] = {
      {"colour", From("mode", TW_ONEVALUE{TWTY_UINT16, TWPT_RGB}), "color"},
      {"gray", From("mode", TW_ONEVALUE{TWTY_UINT16, TWPT_GRAY}), "gray"},
      {"black and white", From("mode", TW_ONEVALUE{TWTY_UINT16, TWPT_BW}), "lineart"},
      {"palette", From("mode", TW_ONEVALUE{TWTY_UINT16, 3}), std::nullopt},
      {"mode as a number", From("mode", TW_ONEVALUE{TWTY_FIX32, TWPT_RGB}), std::nullopt},
      {"mode cut short", From("mode", TW_ONEVALUE{TWTY_UINT16, TWPT_RGB}, 4), std::nullopt},
      {"150.5 dpi", From("resolution", TW_ONEVALUE{TWTY_FIX32, Item(Fix32(150.5))}), "150.5"},
      {"brightness -10", From("brightness", TW_ONEVALUE{TWTY_FIX32, Item(Fix32(-10))}), "-10"},
      {"resolution as an integer", From("resolution", TW_ONEVALUE{TWTY_UINT16, 150}), std::nullopt},
      {"frame", From("area", TW_ONEVALUE_FRAME{TWTY_FRAME, frame}), "1.5,2,100,200.25"},
      {"frame of another type", From("area", TW_ONEVALUE_FRAME{TWTY_FIX32, frame}), std::nullopt},
      {"frame in a one-value container", From("area", TW_ONEVALUE{TWTY_FRAME, 0}), std::nullopt},
      {"feeder", From("source", TW_ONEVALUE{TWTY_BOOL, 1}), "feeder"},
      {"flatbed", From("source", TW_ONEVALUE{TWTY_BOOL, 0}), "flatbed"},
      {"source as a number", From("source", TW_ONEVALUE{TWTY_UINT16, 1}), std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(row.got, row.want) << row.what;
}

}  // namespace
}  // namespace scanner
