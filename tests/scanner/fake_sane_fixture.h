// Tests of a device on the fake SANE library (fake_sane.cpp): the helper process and the library
// by their paths, the file whose first word picks what the fake does, and a device opened.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "scanner/device/device.h"

namespace scanner {

class FakeSaneTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::setenv("LUMIVANE_SANE_HELPER", LUMIVANE_SANE_HELPER_PATH, 1);
    ::setenv("LUMIVANE_SANE_LIBRARY", FAKE_SANE_PATH, 1);
    ::setenv("FAKE_SANE_MODE", ModeFile().c_str(), 1);
    SetMode("ok");
  }
  static void TearDownTestSuite() { std::filesystem::remove(ModeFile()); }
  static std::string ModeFile() {
    return (std::filesystem::temp_directory_path() /
            ("lumivane-fake-sane-" + std::to_string(::getpid())))
        .string();
  }
  static void SetMode(const char* mode) { std::ofstream(ModeFile()) << mode << '\n'; }
  // The fake's device of that name, opened with the fake in that mode.
  static std::unique_ptr<Device> Open(const std::string& name, const char* mode = "ok") {
    SetMode(mode);
    SANE_Status status = SANE_STATUS_GOOD;
    std::unique_ptr<Device> device = Device::Open(name, status);
    EXPECT_EQ(status, SANE_STATUS_GOOD) << name;
    return device;
  }
};

}  // namespace scanner
