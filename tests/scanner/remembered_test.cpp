// The remembered settings through the real file in a temporary configuration folder: what one
// session writes the next one reads, a renamed device is found again, and a file of anything
// else is ignored and replaced.
#include "scanner/ui/remembered.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

namespace {

using scanner::DeviceInfo;
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

const DeviceInfo kFlatbed{"test:0", "Noname", "frontend-tester"};
const DeviceInfo kNetwork{"airscan:e1:オフィス 複合機", "Maker", "MFP 7000"};
const DeviceInfo kNetworkRenamed{"airscan:e4:オフィス 複合機", "Maker", "MFP 7000"};
const DeviceInfo kTwin{"airscan:e2:二台目", "Maker", "MFP 7000"};
const DeviceInfo kOther{"pixma:04A9", "Other", "Model"};
const RememberedValues kFlatbedValues{
    {"mode", "Color"}, {"resolution", "300"},     {"tl-x", "0"},
    {"br-x", "215.9"}, {"area", "0,0,215.9,297"}, {"source", "Flatbed, glass"}};
const RememberedValues kNetworkValues{{"mode", "Gray"}, {"brightness", "-12"}};
const RememberedValues kTwinValues{{"mode", "Lineart"}};

struct Session {
  const char* name;
  const char* fileBefore;  // what the file holds before (nullptr: no file)
  std::vector<std::pair<DeviceInfo, RememberedValues>> written;  // in this order
  DeviceInfo lookedUp;
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

// Root reads every file: while this lives, the thread reads by the permissions, as anyone.
class ReadingByPermissions {
 public:
  ReadingByPermissions() {
    ::syscall(SYS_capget, &header_, saved_);
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    ::syscall(SYS_capset, &header_, reduced);
  }
  ~ReadingByPermissions() { ::syscall(SYS_capset, &header_, saved_); }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
};

// Anything in the file's place but a small regular file: a named pipe, a folder, a file that
// cannot be read, one far larger than this program writes, one whose list claims 2^31 - 1
// entries. None holds the caller more than a moment; each is ignored, and replaced by the next
// write (a folder cannot be: nothing is remembered then, silently).
TEST_F(RememberedTest, NoOtherFileHoldsTheCallerAndEachIsReplaced) {
  const std::string file = ConfigFolder::File().toStdString();
  const std::string last = "[General]\nversion=1\n[last]\nname=a\nvendor=b\nmodel=c\n";
  const struct {
    const char* name;
    std::function<void()> make;
    bool replaced;
  } cases[] = {
      {"named pipe", [&] { ::mkfifo(file.c_str(), 0600); }, true},
      {"folder", [&] { std::filesystem::create_directory(file); }, false},
      {"unreadable", [&] { std::ofstream(file) << last, ::chmod(file.c_str(), 0); }, true},
      {"huge", [&] { std::ofstream(file) << last << std::string(2 << 20, ' '); }, true},
      {"huge list", [&] { std::ofstream(file) << last << "[devices]\nsize=2147483647\n"; }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(file);
    c.make();
    const ReadingByPermissions asAnyone;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(scanner::ValuesFor(kFlatbed), RememberedValues{});
    EXPECT_EQ(scanner::LastDevice().has_value(), std::string(c.name) == "huge list");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    scanner::RememberValues(kFlatbed, kFlatbedValues);
    EXPECT_EQ(scanner::ValuesFor(kFlatbed), c.replaced ? kFlatbedValues : RememberedValues{});
  }
  std::filesystem::remove_all(file);
}

TEST(RememberedMatch, ThePresentDeviceByNameThenByVendorAndModel) {
  // A device that says neither maker nor model is found by its name only.
  const std::vector<DeviceInfo> present{
      kFlatbed, kTwin, kNetworkRenamed, {"usb:1", "", ""}, {"usb:2", "", ""}};
  EXPECT_EQ(scanner::FindRemembered(present, kNetworkRenamed), 2u);
  EXPECT_EQ(scanner::FindRemembered(present, kNetwork), 1u);  // the first of its vendor and model
  EXPECT_EQ(scanner::FindRemembered(present, kOther), std::nullopt);
  EXPECT_EQ(scanner::FindRemembered(present, DeviceInfo{"gone", "", ""}), std::nullopt);
  EXPECT_EQ(scanner::FindRemembered(present, DeviceInfo{"usb:2", "", ""}), 4u);
}

}  // namespace
