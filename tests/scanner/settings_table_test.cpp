// The table of scan settings: every name a setting is known by leads back to that setting and
// to no other. The texts of the device's conditions, by their codes.
#include "scanner/contract/settings.h"

#include <gtest/gtest.h>

#include "scanner/contract/conditions.h"

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
    // The batch tool's sentence for a refused value takes the value once; the shared one takes
    // the label first.
    const std::string refused = row.refused ? row.refused : scanner::kSettingRefused;
    const std::size_t first = refused.find("%s"), last = refused.rfind("%s");
    EXPECT_NE(first, std::string::npos) << refused;
    EXPECT_EQ(first == last, row.refused != nullptr) << refused;
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

// Every condition the manager reports has a text of its own; a code that is no condition of the
// device (success, the protocol's own faults) has none, so that its caller says what it says.
TEST(DeviceConditions, EachConditionHasATextOfItsOwn) {
  std::set<std::string> texts;
  for (const scanner::DeviceCondition& c : scanner::kDeviceConditions) {
    EXPECT_STREQ(scanner::DeviceConditionText(c.code), c.text) << c.code;
    EXPECT_TRUE(texts.emplace(c.text).second) << c.code << " shares its text: " << c.text;
  }
  for (const TW_UINT16 code : {TW_UINT16{TWCC_SUCCESS}, TW_UINT16{TWCC_BADCAP},
                               TW_UINT16{TWCC_SEQERROR}, TW_UINT16{TWCC_NODS}})
    EXPECT_EQ(scanner::DeviceConditionText(code), nullptr) << code;
}

}  // namespace
