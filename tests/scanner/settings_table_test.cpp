// The table of scan settings: every name a setting is known by leads back to that setting and
// to no other.
#include "scanner/settings_table.h"

#include <gtest/gtest.h>

#include <charconv>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using scanner::kScanSettings;
using scanner::ScanSetting;
using scanner::SettingRow;

static_assert(scanner::RowBySaneOption("br-y")->id == ScanSetting::kArea);
static_assert(scanner::RowByCapability(ICAP_YRESOLUTION)->id == ScanSetting::kResolution);

// One way of naming a setting: its names in a row, and the lookup from a name to a row.
struct Naming {
  const char* what;
  std::function<std::vector<std::string>(const SettingRow&)> names;
  std::function<const SettingRow*(const std::string&)> lookup;
};

const Naming kNamings[] = {
    {"SANE option",
     [](const SettingRow& row) {
       return std::vector<std::string>(row.saneOptions.begin(), row.saneOptions.end());
     },
     [](const std::string& name) { return scanner::RowBySaneOption(name); }},
    {"capability",
     [](const SettingRow& row) {
       std::vector<std::string> names;
       for (const TW_UINT16 c : row.capabilities) names.push_back(std::to_string(c));
       return names;
     },
     [](const std::string& name) -> const SettingRow* {
       unsigned value = 0;
       const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), value);
       if (error != std::errc() || end != name.data() + name.size()) return nullptr;
       return scanner::RowByCapability(static_cast<TW_UINT16>(value));
     }},
    {"flag", [](const SettingRow& row) { return std::vector<std::string>{std::string(row.flag)}; },
     [](const std::string& name) { return scanner::RowByFlag(name); }},
    {"remembered key",
     [](const SettingRow& row) { return std::vector<std::string>{std::string(row.key)}; },
     [](const std::string& name) { return scanner::RowByKey(name); }},
    {"label", [](const SettingRow& row) { return std::vector<std::string>{row.label}; },
     [](const std::string& name) -> const SettingRow* {
       for (const SettingRow& row : kScanSettings)
         if (name == row.label) return &row;
       return nullptr;
     }},
};

TEST(SettingsTable, EveryNameLeadsBackToItsOwnSettingOnly) {
  for (const Naming& naming : kNamings) {
    SCOPED_TRACE(naming.what);
    std::map<std::string, int> uses;
    for (const SettingRow& row : kScanSettings) {
      const auto names = naming.names(row);
      EXPECT_FALSE(names.empty());
      for (const std::string& name : names) {
        EXPECT_FALSE(name.empty() || name == "0");
        EXPECT_EQ(++uses[name], 1) << name << " names two settings";
        EXPECT_EQ(naming.lookup(name), &row) << name;
      }
    }
    EXPECT_EQ(naming.lookup("nothing-such"), nullptr);
    EXPECT_EQ(naming.lookup("1"), nullptr);  // CAP_XFERCOUNT is no setting
  }
}

TEST(SettingsTable, RowsAreInTheOrderOfTheirIds) {
  for (std::size_t i = 0; i < kScanSettings.size(); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(kScanSettings[i].id), i);
    EXPECT_EQ(&scanner::RowOf(kScanSettings[i].id), &kScanSettings[i]);
    EXPECT_EQ(kScanSettings[i].flag.substr(0, 2), "--");
  }
  EXPECT_EQ(scanner::RowOf(ScanSetting::kArea).saneOptions.size(), 4u);
}

}  // namespace
