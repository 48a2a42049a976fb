// The table of scan settings: every name a setting is known by leads back to that setting and
// to no other.
#include "scanner/settings_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using scanner::kScanSettings;
using scanner::SettingRow;

TEST(SettingsTable, EveryNameLeadsBackToItsOwnSettingOnly) {
  std::set<std::string> options, flags, keys, labels;
  std::set<TW_UINT16> capabilities;
  for (std::size_t i = 0; i < kScanSettings.size(); ++i) {
    const SettingRow& row = kScanSettings[i];
    EXPECT_EQ(&scanner::RowOf(row.id), &row) << "rows out of the order of their ids";
    EXPECT_FALSE(row.saneOptions.empty() || row.capabilities.empty() || row.flag.empty() ||
                 row.key.empty() || std::string(row.label).empty());
    for (const std::string_view option : row.saneOptions) {
      EXPECT_TRUE(options.emplace(option).second) << option << " names two settings";
      EXPECT_EQ(scanner::RowBySaneOption(option), &row) << option;
    }
    for (const TW_UINT16 capability : row.capabilities) {
      EXPECT_TRUE(capabilities.insert(capability).second) << capability << " sets two settings";
      EXPECT_EQ(scanner::RowByCapability(capability), &row) << capability;
    }
    EXPECT_TRUE(flags.emplace(row.flag).second) << row.flag;
    EXPECT_EQ(scanner::RowByFlag(row.flag), &row) << row.flag;
    EXPECT_EQ(row.flag.substr(0, 2), "--");
    EXPECT_TRUE(keys.emplace(row.key).second) << row.key;
    EXPECT_EQ(scanner::RowByKey(row.key), &row) << row.key;
    EXPECT_TRUE(labels.emplace(row.label).second) << row.label;
  }
  EXPECT_EQ(scanner::RowBySaneOption("depth"), nullptr);
  EXPECT_EQ(scanner::RowByCapability(1), nullptr);  // CAP_XFERCOUNT is no setting
  EXPECT_EQ(scanner::RowByFlag("--all-pages"), nullptr);
  EXPECT_EQ(scanner::RowByKey("device"), nullptr);
}

}  // namespace
