// The table of scan settings: every name a setting is known by leads back to that setting and
// to no other.
#include "scanner/settings.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using scanner::kSettings;
using scanner::Setting;

TEST(SettingsTable, EveryNameLeadsBackToItsOwnSettingOnly) {
  std::set<std::string> names, options, labels;
  std::set<TW_UINT16> capabilities;
  for (const Setting& row : kSettings) {
    EXPECT_FALSE(std::string(row.name).empty() || std::string(row.option).empty() ||
                 std::string(row.label).empty());
    EXPECT_TRUE(names.emplace(row.name).second) << row.name << " names two settings";
    EXPECT_EQ(scanner::SettingNamed(row.name), &row) << row.name;
    EXPECT_TRUE(options.emplace(row.option).second) << row.option;
    EXPECT_TRUE(labels.emplace(row.label).second) << row.label;
    for (const TW_UINT16 capability : {row.capability, row.alsoCapability}) {
      if (capability == 0) continue;
      EXPECT_TRUE(capabilities.insert(capability).second) << capability << " sets two settings";
      EXPECT_EQ(scanner::SettingFor(capability), &row) << capability;
    }
  }
  EXPECT_EQ(scanner::SettingFor(1), nullptr);  // CAP_XFERCOUNT is no setting
  EXPECT_EQ(scanner::SettingFor(0), nullptr);
  EXPECT_EQ(scanner::SettingNamed("all-pages"), nullptr);
  EXPECT_EQ(scanner::SettingNamed("device"), nullptr);
}

}  // namespace
