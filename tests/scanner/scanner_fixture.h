// The real scanner manager on SANE's test backend: a configuration folder of the test's own, the
// window, a driver that works the manager's dialogs by object name, and scanimage's pictures.
#pragma once

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QSpinBox>
#include <QTimer>
#include <QTreeWidget>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "app/TorvaskUnit1.h"
#include "support/scripted_dialogs.h"
#include "support/test_support.h"
#include "twain/TwainUtils.h"

using Picture = Rgb24Image;

class DialogDriver;
inline bool ClickNow(const char* window, const char* button);

// A driver that works the windows of a running command from timer ticks: one step after the
// other, each retried on every tick until it reports done. A step that does not get done in
// time fails the test, and the driver then closes the manager's windows so the command ends.
class DialogDriver {
 public:
  using Step = std::function<bool()>;
  explicit DialogDriver(std::deque<Step> steps) : steps_(std::move(steps)) {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
    timer_.start();
    clock_.start();
  }
  bool Done() const { return steps_.empty() && !failed_; }
  std::string failure;

 private:
  void Tick() {
    if (failed_) {
      // Unwind: the scan dialog closes with its close button, the others with cancel.
      for (auto [window, button] : {std::pair{"ScannerSelectDialog", "cancelButton"},
                                    std::pair{"ScanDialog", "closeButton"},
                                    std::pair{"ScanProgressWindow", "cancelButton"}})
        ClickNow(window, button);
      return;
    }
    if (steps_.empty()) return;
    if (steps_.front()()) {
      steps_.pop_front();
      ++index_;
      clock_.restart();
    } else if (clock_.elapsed() > 30000) {
      failed_ = true;
      failure = "step " + std::to_string(index_) + " not done in time";
      ADD_FAILURE() << failure;
    }
  }

 public:
  static QWidget* Shown(const char* name) {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == name && w->isVisible()) return w;
    return nullptr;
  }
  template <typename W>
  static W* Find(const char* window, const char* name) {
    QWidget* w = Shown(window);
    return w ? w->findChild<W*>(name) : nullptr;
  }

 private:
  std::deque<Step> steps_;
  QTimer timer_;
  QElapsedTimer clock_;
  int index_ = 0;
  bool failed_ = false;
};

using Step = DialogDriver::Step;

inline bool ClickNow(const char* window, const char* button) {
  auto* b = DialogDriver::Find<QAbstractButton>(window, button);
  if (!b || !b->isEnabled()) return false;
  b->click();
  return true;
}
inline Step Click(const char* window, const char* button) {
  return [=] { return ClickNow(window, button); };
}
inline Step Choose(const std::string& device) {
  return [=] {
    auto* list = DialogDriver::Find<QTreeWidget>("ScannerSelectDialog", "deviceList");
    if (!list) return false;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
      if (list->topLevelItem(i)->text(2).toStdString() == device) {
        list->setCurrentItem(list->topLevelItem(i));
        return Click("ScannerSelectDialog", "selectButton")();
      }
    return false;
  };
}
// A step done at its first tick. A condition to wait on is a WaitFor: an action that returns
// a value does not compile here, where its value would be dropped and the step never wait.
template <typename Action>
requires std::is_void_v<std::invoke_result_t<Action>> Step Do(Action action) {
  return [action] {
    action();
    return true;
  };
}
inline Step WaitFor(std::function<bool()> condition) {
  return condition;
}
inline Step ScanReady() {
  return [] {
    auto* b = DialogDriver::Find<QAbstractButton>("ScanDialog", "scanButton");
    return b && b->isEnabled();
  };
}
inline QString ScanMessage() {
  auto* label = DialogDriver::Find<QLabel>("ScanDialog", "messageLabel");
  return label ? label->text() : QString();
}

inline std::string ThreadNames() {
  std::string names;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') {
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        names += name + "|";
      }
    ::closedir(dir);
  }
  return names;
}

// Threads of the process but Qt's pooled workers (idle ones linger for a while).
inline int ThreadCount() {
  int count = 0;
  std::istringstream names(ThreadNames());
  for (std::string name; std::getline(names, name, '|');)
    count += name != "Thread (pooled)" && !name.empty();
  return count;
}

// Every test process has a SANE configuration of its own (SANE reads the folder's name once per
// process): the test backend with the options of testConf; the resolution is always set (the
// backend's own default gives a 1 x 1 picture).
class ScannerTest : public ::testing::Test {
 protected:
  void Configure(const std::string& testConf, const std::string& backends = "test\n") {
    WriteText("dll.conf", backends);
    WriteText("test.conf", "resolution 100\n" + testConf);
    ::setenv("SANE_CONFIG_DIR", config_.path().c_str(), 1);
  }
  void WriteText(const std::string& name, const std::string& text) {
    std::ofstream(config_ / name) << text;
  }
  void SetUp() override {
    // What the manager remembers goes to the test's own folder.
    ::setenv("XDG_CONFIG_HOME", scratch_.path().c_str(), 1);
    // The program finds the manager through its run path; under the sanitizers dlopen hides
    // the caller's run path, so the manager is then loaded by its full path first.
    manager_ = ::dlopen("TWAIN_32.DLL", RTLD_NOW | RTLD_LOCAL);
    if (!manager_) manager_ = ::dlopen(TWAIN_MANAGER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(manager_, nullptr) << ::dlerror();
    Dl_info info{};
    ASSERT_NE(::dladdr(::dlsym(manager_, "DSM_Entry"), &info), 0);
    ASSERT_EQ(std::filesystem::canonical(info.dli_fname),
              std::filesystem::canonical(TWAIN_MANAGER_PATH));
    threadsBefore_ = ThreadCount();
    blocksBefore_ = GlobalBlockCount();
    SetUpApplication();  // errors go to the message box, which the scripted dialogs record
    form_ = std::make_unique<TForm1>();
    form_->show();
  }
  void TearDown() override {
    FreeGlobalTwain();  // the last CLOSEDSM ends SANE
    QCoreApplication::processEvents();
    for (const char* window : {"ScannerSelectDialog", "ScanDialog", "ScanProgressWindow"})
      EXPECT_EQ(DialogDriver::Shown(window), nullptr) << window << " left behind";
    for (QWidget* w : QApplication::topLevelWidgets())
      EXPECT_FALSE(w->objectName().startsWith("Scan"))
          << "widget left: " << w->objectName().toStdString();
    EXPECT_EQ(GlobalBlockCount(), blocksBefore_);
    EXPECT_EQ(ThreadCount(), threadsBefore_)
        << "threads left after the manager closed: " << ThreadNames();
    form_.reset();
    if (manager_) ::dlclose(manager_);
  }

  // Runs the scanner command while driver works its dialogs.
  void RunCommand(std::deque<Step> steps) {
    DialogDriver driver(std::move(steps));
    form_->N1->trigger();
    EXPECT_TRUE(driver.Done()) << driver.failure;
  }
  Picture View() {
    Picture picture;
    TPicture& view = form_->Image1->Picture();
    if (!view.HasGraphic()) return picture;
    picture.width = view.Bitmap().Width();
    picture.height = view.Bitmap().Height();
    picture.pixels = PixelsOf(*view.Bitmap().Object());
    return picture;
  }
  // What scanimage gives for the device with the same configuration and these options.
  Picture Scanimage(const std::string& device, const std::string& options) {
    const std::string out = scratch_ / "scanimage.pnm";
    EXPECT_EQ(
        RunShell("scanimage -d " + device + " --format=pnm " + options + " > " + ShellQuote(out)),
        0);
    return ReadPnm(out);
  }
  std::vector<std::string> Errors() { return dialogs_->ErrorTexts(); }

  ScratchDir config_, scratch_;
  ScriptedDialogsScope dialogs_;
  std::unique_ptr<TForm1> form_;
  void* manager_ = nullptr;
  int threadsBefore_ = 0;
  std::size_t blocksBefore_ = 0;
};

inline void ExpectSamePicture(const Picture& got, const Picture& want) {
  ASSERT_EQ(got.width, want.width);
  ASSERT_EQ(got.height, want.height);
  ASSERT_GT(got.width * got.height, 0);
  std::size_t differing = 0;
  for (std::size_t i = 0; i < want.pixels.size(); ++i) differing += got.pixels[i] != want.pixels[i];
  EXPECT_EQ(differing, 0u) << "pixels differing from scanimage's";
}
