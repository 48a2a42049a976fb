// The remembered settings through the real file in a temporary configuration folder: what one
// session writes the next one reads, a renamed device is found again, and a file of anything
// else is ignored and replaced.
#include "scanner/remembered.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using scanner::RememberedDevice;
using scanner::RememberedValues;

// The configuration folder is read once per process, so it is set before any test runs.
class ConfigFolder : public ::testing::Environment {
 public:
  void SetUp() override {
    folder_ = std::make_unique<QTemporaryDir>();
    ASSERT_TRUE(folder_->isValid());
    setenv("XDG_CONFIG_HOME", folder_->path().toLocal8Bit().constData(), 1);
  }
  static QString File() { return folder_->path() + "/lumivane/scanner.conf"; }

 private:
  static inline std::unique_ptr<QTemporaryDir> folder_;
};

[[maybe_unused]] ::testing::Environment* const configFolder =
    ::testing::AddGlobalTestEnvironment(new ConfigFolder);  // gtest takes it

const RememberedDevice kFlatbed{"test:0", "Noname", "frontend-tester"};
const RememberedDevice kNetwork{"airscan:e1:オフィス 複合機", "Maker", "MFP 7000"};
const RememberedDevice kNetworkRenamed{"airscan:e4:オフィス 複合機", "Maker", "MFP 7000"};
const RememberedDevice kTwin{"airscan:e2:二台目", "Maker", "MFP 7000"};
const RememberedDevice kOther{"pixma:04A9", "Other", "Model"};
const RememberedValues kFlatbedValues{
    {"mode", "Color"}, {"resolution", "300"},     {"tl-x", "0"},
    {"br-x", "215.9"}, {"area", "0,0,215.9,297"}, {"source", "Flatbed, glass"}};
const RememberedValues kNetworkValues{{"mode", "Gray"}, {"brightness", "-12"}};
const RememberedValues kTwinValues{{"mode", "Lineart"}};

struct Session {
  const char* name;
  const char* fileBefore;  // what the file holds before (nullptr: no file)
  std::vector<std::pair<RememberedDevice, RememberedValues>> written;  // in this order
  RememberedDevice lookedUp;
  RememberedValues expected;
};

const Session kSessions[] = {
    // The later values of a device replace its earlier ones.
    {"ReadsBackWhatWasWritten",
     nullptr,
     {{kFlatbed, kNetworkValues}, {kFlatbed, kFlatbedValues}, {kNetwork, kNetworkValues}},
     kFlatbed,
     kFlatbedValues},
    {"RenamedDeviceFoundByVendorAndModel",
     nullptr,
     {{kNetwork, kNetworkValues}, {kFlatbed, kFlatbedValues}},
     kNetworkRenamed,
     kNetworkValues},
    {"NameBeforeVendorAndModel",
     nullptr,
     {{kNetwork, kNetworkValues}, {kTwin, kTwinValues}},
     kNetwork,
     kNetworkValues},
    {"UnknownDeviceHasNothing", nullptr, {{kFlatbed, kFlatbedValues}}, kOther, {}},
    {"GarbageReplaced",
     "\x01\xff[[[\n=]=\nversion\n\xe3\x81",
     {{kFlatbed, kFlatbedValues}},
     kFlatbed,
     kFlatbedValues},
    {"ForeignFileIgnored",
     "[General]\nversion=7\n[devices]\nsize=1\n1\\name=test:0\n1\\vendor=Noname\n"
     "1\\model=frontend-tester\n1\\values\\mode=Color\n",
     {},
     kFlatbed,
     {}},
    // A list where a text belongs: that value alone is dropped.
    {"WrongTypesIgnored",
     "[General]\nversion=1\n[last]\nname=a, b\nvendor=x\nmodel=y\n[devices]\nsize=1\n"
     "1\\name=test:0\n1\\vendor=Noname\n1\\model=frontend-tester\n"
     "1\\values\\mode=a, b\n1\\values\\resolution=300\n",
     {},
     kFlatbed,
     {{"resolution", "300"}}},
};

void PrintTo(const Session& s, std::ostream* out) {
  *out << s.name;
}

class RememberedTest : public ::testing::TestWithParam<Session> {
 protected:
  void SetUp() override {
    QFile::remove(ConfigFolder::File());
    ASSERT_TRUE(QDir().mkpath(QFileInfo(ConfigFolder::File()).path()));
  }
};

TEST_P(RememberedTest, NextSessionReadsWhatThisOneWrote) {
  const Session& s = GetParam();
  if (s.fileBefore) {
    QFile file(ConfigFolder::File());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(s.fileBefore);
  }
  for (const auto& [device, values] : s.written) {
    scanner::RememberValues(device, values);
    scanner::RememberLastDevice(device);
  }
  EXPECT_EQ(scanner::ValuesFor(s.lookedUp), s.expected);
  const auto last = scanner::LastDevice();
  if (s.written.empty()) {
    EXPECT_FALSE(last.has_value());
    return;
  }
  EXPECT_EQ(last, s.written.back().first);
  // The file is in the configuration folder, and nothing of what was there before is left.
  QFile file(ConfigFolder::File());
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray text = file.readAll();
  EXPECT_TRUE(text.contains("frontend-tester") || text.contains("MFP 7000")) << text.data();
  if (s.fileBefore) {
    EXPECT_FALSE(text.contains("[[[")) << text.data();
  }
}

INSTANTIATE_TEST_SUITE_P(Sessions, RememberedTest, ::testing::ValuesIn(kSessions),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RememberedTest, RepeatedUseOfOneDeviceForgetsNoOther) {
  scanner::RememberValues(kNetwork, kNetworkValues);
  for (int i = 0; i < 30; ++i) scanner::RememberValues(kFlatbed, kFlatbedValues);
  EXPECT_EQ(scanner::ValuesFor(kNetwork), kNetworkValues);
}

TEST(RememberedMatch, ThePresentDeviceByNameThenByVendorAndModel) {
  const std::vector<RememberedDevice> present{kFlatbed, kTwin, kNetworkRenamed};
  EXPECT_EQ(scanner::FindRemembered(present, kNetworkRenamed), 2u);
  EXPECT_EQ(scanner::FindRemembered(present, kNetwork), 1u);  // the first of its vendor and model
  EXPECT_EQ(scanner::FindRemembered(present, kOther), std::nullopt);
  EXPECT_EQ(scanner::FindRemembered(present, RememberedDevice{"gone", "", ""}), std::nullopt);
}

}  // namespace
