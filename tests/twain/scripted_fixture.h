// Tests against the scripted manager: the fixture holds the manager library loaded, resets its
// script, and records what the default error display shows.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <string>
#include <vector>

#include "manager/ScriptedManager.h"
#include "platform/errors.h"
#include "support/manager_loader.h"
#include "twain/TwainUtils.h"

struct Triplet {
  TW_UINT32 dg;
  TW_UINT16 dat;
  TW_UINT16 msg;
  bool toSource;
  friend bool operator==(const Triplet&, const Triplet&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Triplet& t) {
    return out << "{" << t.dg << ", 0x" << std::hex << t.dat << ", 0x" << t.msg << std::dec
               << (t.toSource ? ", source}" : ", manager}");
  }
};

inline constexpr Triplet kOpenDSM{DG_CONTROL, DAT_PARENT, MSG_OPENDSM, false};
inline constexpr Triplet kCloseDSM{DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, false};
inline constexpr Triplet kOpenDS{DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, false};
inline constexpr Triplet kCloseDS{DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, false};
inline constexpr Triplet kUserSelect{DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, false};
inline constexpr Triplet kEnableDS{DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, true};
inline constexpr Triplet kDisableDS{DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, true};
inline constexpr Triplet kManagerStatus{DG_CONTROL, DAT_STATUS, MSG_GET, false};
inline constexpr Triplet kSourceStatus{DG_CONTROL, DAT_STATUS, MSG_GET, true};
inline constexpr Triplet kClaimedEvent{DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, true};
inline constexpr Triplet kNativeGet{DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, true};
inline constexpr Triplet kEndXfer{DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, true};
inline constexpr Triplet kGetFirst{DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, false};
inline constexpr Triplet kGetNext{DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, false};
inline constexpr Triplet kSetCapability{DG_CONTROL, DAT_CAPABILITY, MSG_SET, true};

class ScriptedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = LoadTestManager(TWAIN_MANAGER_PATH);
    ASSERT_NE(library_, nullptr) << ::dlerror();
    auto control =
        reinterpret_cast<ScriptedManager* (*)()>(::dlsym(library_, "ScriptedManagerControl"));
    ASSERT_NE(control, nullptr);
    manager_ = control();
    manager_->Reset();
    SetErrorDisplay([this](const std::string& text) { shown_.push_back(text); });
  }
  void TearDown() override {
    FreeGlobalTwain();
    QCoreApplication::processEvents();  // leftover source events go before the window does
    if (manager_) {
      manager_->Reset();
      manager_->window.reset();
    }
    SetErrorDisplay(nullptr);
    if (library_) ::dlclose(library_);
  }

  ScriptedManager& Manager() { return *manager_; }
  const std::vector<RecordedCall>& Calls() { return manager_->calls; }

  // The triplets sent, leaving out the events that the source did not claim.
  std::vector<Triplet> Triplets() const {
    std::vector<Triplet> out;
    for (const RecordedCall& c : manager_->calls) {
      if (c.dat == DAT_EVENT && c.result != TWRC_DSEVENT) continue;
      out.push_back({c.dg, c.dat, c.msg, c.destination != nullptr});
    }
    return out;
  }
  int Count(const Triplet& triplet) const {
    int n = 0;
    for (const Triplet& t : Triplets()) n += t == triplet;
    return n;
  }
  const RecordedCall* Find(TW_UINT16 dat, TW_UINT16 msg) const {
    for (const RecordedCall& c : manager_->calls)
      if (c.dat == dat && c.msg == msg) return &c;
    return nullptr;
  }

  std::vector<std::string> shown_;

 private:
  void* library_ = nullptr;
  ScriptedManager* manager_ = nullptr;
};

// The message of the exception that action raises; empty when it raises none.
template <typename Action>
std::string MessageOf(Action&& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return {};
}
