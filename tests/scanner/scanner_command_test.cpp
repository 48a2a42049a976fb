// The scanner command of the window against the real manager on SANE's test backend: pixels as
// scanimage gives them, the dialogs, the lifecycle, cancelling and the device's errors.
#include <dlfcn.h>

#include <QCheckBox>
#include <QSlider>
#include <QTest>

#include <cstring>

#include "platform/fpu_control.h"
#include "scanner/contract/conditions.h"
#include "scanner/contract/messages.h"
#include "scanner/contract/settings.h"
#include "scanner/ui/remembered.h"
#include "scanner_fixture.h"

namespace {

// One picture: the backend's options (test.conf), what the dialog changes, and the same for
// scanimage.
struct PixelCase {
  const char* name;
  const char* testConf;
  std::vector<Step> dialog;
  const char* scanimageOptions;
};

class ScannerPixels : public ScannerTest, public ::testing::WithParamInterface<PixelCase> {};

Step PickMode(const char* text) {
  return [=] {
    auto* combo = DialogDriver::Find<QComboBox>("ScanDialog", "modeCombo");
    const int index = combo ? combo->findText(QString::fromUtf8(text)) : -1;
    if (index < 0) return false;
    combo->setCurrentIndex(index);
    return true;
  };
}
Step SetResolution(int dpi) {
  return [=] {
    auto* spin = DialogDriver::Find<QSpinBox>("ScanDialog", "resolutionSpin");
    if (!spin) return false;
    spin->setValue(dpi);
    return true;
  };
}
Step SetArea(double left, double top, double right, double bottom) {
  return [=] {
    const std::array<std::pair<const char*, double>, 4> values{
        {{"areaLeft", left}, {"areaTop", top}, {"areaRight", right}, {"areaBottom", bottom}}};
    for (auto [name, value] : values) {
      auto* spin = DialogDriver::Find<QDoubleSpinBox>("ScanDialog", name);
      if (!spin) return false;
      spin->setValue(value);
    }
    return true;
  };
}

TEST_P(ScannerPixels, TheViewGetsScanimagesPixels) {
  const PixelCase& c = GetParam();
  Configure(c.testConf);
  std::deque<Step> steps{Choose("test:0"), ScanReady()};
  steps.insert(steps.end(), c.dialog.begin(), c.dialog.end());
  steps.push_back(Click("ScanDialog", "scanButton"));
  RunCommand(std::move(steps));
  EXPECT_TRUE(Errors().empty()) << Errors().front();
  ExpectSamePicture(View(), Scanimage("test:0", c.scanimageOptions));
}

INSTANTIATE_TEST_SUITE_P(
    TestBackend, ScannerPixels,
    ::testing::Values(
        PixelCase{"Gray8Grid", "test-picture Grid\n", {}, ""},
        PixelCase{"Gray16", "depth 16\ntest-picture Color pattern\n", {}, ""},
        PixelCase{"LineartFromTheDialog",
                  "test-picture Color pattern\n",
                  {PickMode(scanner::kModeLineart)},
                  "--depth 1"},
        // 200 pixels: whole bytes of line art; 204: half a byte left over.
        PixelCase{"LineartWholeBytes",
                  "test-picture Color pattern\n",
                  {PickMode(scanner::kModeLineart), SetArea(0, 0, 51, 100)},
                  "--depth 1 -l 0 -t 0 -x 51 -y 100"},
        PixelCase{"LineartHalfByteLeft",
                  "test-picture Color pattern\n",
                  {PickMode(scanner::kModeLineart), SetArea(0, 0, 52, 100)},
                  "--depth 1 -l 0 -t 0 -x 52 -y 100"},
        PixelCase{"Color8FromTheDialogAt75Dpi",
                  "test-picture Color pattern\n",
                  {PickMode(scanner::kModeColor), SetResolution(75)},
                  "--mode Color --resolution 75"},
        PixelCase{"Color16", "mode Color\ndepth 16\ntest-picture Color pattern\n", {}, ""},
        PixelCase{"ThreePassRgb",
                  "mode Color\nthree-pass true\nthree-pass-order RGB\ntest-picture Color pattern\n",
                  {},
                  ""},
        PixelCase{"ThreePassGbr",
                  "mode Color\nthree-pass true\nthree-pass-order GBR\ntest-picture Color pattern\n",
                  {},
                  ""},
        PixelCase{"HandScanner", "hand-scanner true\ntest-picture Grid\n", {}, ""},
        PixelCase{"ScanArea",
                  "test-picture Grid\n",
                  {SetArea(10, 20, 50, 45)},
                  "-l 10 -t 20 -x 40 -y 25"}),
    [](const auto& info) { return std::string(info.param.name); });

// SANE runs in the manager's helper process: the program's own process never loads it, so a
// backend that hangs or crashes cannot take the program with it.
bool SaneOutsideTheProgram() {
  void* sane = ::dlopen("libsane.so.1", RTLD_NOW | RTLD_NOLOAD);
  if (sane) ::dlclose(sane);
  return sane == nullptr;
}

Step Listed(int count) {
  return [=] {
    auto* list = DialogDriver::Find<QTreeWidget>("ScannerSelectDialog", "deviceList");
    auto* rescan = DialogDriver::Find<QAbstractButton>("ScannerSelectDialog", "rescanButton");
    return list && rescan && rescan->isEnabled() && list->topLevelItemCount() == count;
  };
}
Step Selected(const char* device) {
  return [=] {
    auto* list = DialogDriver::Find<QTreeWidget>("ScannerSelectDialog", "deviceList");
    return list && list->currentItem() && list->currentItem()->text(2) == device;
  };
}
std::string Text(const TW_STR32& field) {
  return field.text;
}

TEST_F(ScannerTest, CancelSwitchDevicesScanAgainAndTheDeviceIsFreeBetweenScans) {
  Configure("test-picture Grid\n");
  RunCommand({Listed(2), Click("ScannerSelectDialog", "cancelButton")});
  EXPECT_FALSE(form_->Image1->Picture().HasGraphic());
  EXPECT_TRUE(Errors().empty());

  RunCommand({Choose("test:0"), ScanReady(), Click("ScanDialog", "scanButton")});
  ExpectSamePicture(View(), Scanimage("test:0", ""));
  EXPECT_TRUE(SaneOutsideTheProgram());
  EXPECT_EQ(Text(GlobalTwain().SourceIdentity.ProductName), "test:0");
  EXPECT_EQ(Text(GlobalTwain().SourceIdentity.Manufacturer), "Noname");
  EXPECT_EQ(Text(GlobalTwain().SourceIdentity.ProductFamily), "frontend-tester");

  // The earlier choice comes selected; another device, in colour this time.
  RunCommand({Listed(2), Selected("test:0"), Choose("test:1"), ScanReady(),
              PickMode(scanner::kModeColor), Click("ScanDialog", "scanButton")});
  EXPECT_EQ(Text(GlobalTwain().SourceIdentity.ProductName), "test:1");
  ExpectSamePicture(View(), Scanimage("test:1", "--mode Color"));
  EXPECT_TRUE(SaneOutsideTheProgram());

  // Closing the dialog without scanning leaves the view as it was. The choice of this run comes
  // selected though nothing is remembered on the disk, and although it is not the first device.
  std::filesystem::remove(scratch_.path() / "lumivane" / "scanner.conf");
  const Picture before = View();
  RunCommand({Listed(2), Selected("test:1"), Click("ScannerSelectDialog", "selectButton"),
              ScanReady(), Click("ScanDialog", "closeButton")});
  EXPECT_EQ(Text(GlobalTwain().SourceIdentity.ProductName), "test:1");
  ExpectSamePicture(View(), before);
  EXPECT_TRUE(Errors().empty());
}

TEST_F(ScannerTest, NoDevicesSaysWhatToInstallThenANewSearchFindsThem) {
  Configure("test-picture Grid\n", "");
  QString shown;
  RunCommand({Listed(0), Do([&] {
                shown = DialogDriver::Find<QLabel>("ScannerSelectDialog", "statusLabel")->text();
                WriteText("dll.conf", "test\n");
              }),
              Click("ScannerSelectDialog", "rescanButton"), Listed(2), Choose("test:1"),
              ScanReady(), Click("ScanDialog", "scanButton")});
  for (const char* hint :
       {"libsane1", "sane-utils", "sane-airscan", "ipp-usb", "scanimage -L", "scanner"})
    EXPECT_TRUE(shown.contains(hint)) << hint << " missing from: " << shown.toStdString();
  ExpectSamePicture(View(), Scanimage("test:1", ""));
}

// A search SANE fails is told as a failure with SANE's reason, not as a search that found
// nothing; the next search finds the device.
TEST_F(ScannerTest, AFailedSearchSaysSoAndANewSearchFindsTheDevice) {
  const std::filesystem::path mode =
      std::filesystem::temp_directory_path() / ("lumivane-fake-mode-" + std::to_string(::getpid()));
  ::setenv("LUMIVANE_SANE_LIBRARY", FAKE_SANE_PATH, 1);
  ::setenv("FAKE_SANE_MODE", mode.c_str(), 1);
  std::ofstream(mode) << "list-fails\n";
  QString shown;
  RunCommand({Listed(0), Do([&] {
                shown = DialogDriver::Find<QLabel>("ScannerSelectDialog", "statusLabel")->text();
                std::ofstream(mode) << "ok\n";
              }),
              Click("ScannerSelectDialog", "rescanButton"), Listed(1), Choose("fake:0"),
              ScanReady(), Click("ScanDialog", "scanButton")});
  EXPECT_EQ(shown.toStdString(), std::string(scanner::kSearchFailed) + scanner::kIoError);
  EXPECT_EQ(View().width, 40);
  ::unsetenv("LUMIVANE_SANE_LIBRARY");
  std::filesystem::remove(mode);
}

TEST_F(ScannerTest, ABusyDeviceAndAMissingOneGiveTheBindingsTexts) {
  Configure("");
  GlobalTwain();  // loads the manager; another connection through it holds test:0
  void* library = ::dlopen("TWAIN_32.DLL", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr);
  auto entry = reinterpret_cast<DSMENTRYPROC>(::dlsym(library, "DSM_Entry"));
  TW_IDENTITY other{};
  TW_HANDLE noWindow = nullptr;
  TW_IDENTITY held{};
  std::strcpy(held.ProductName.text, "test:0");
  ASSERT_EQ(entry(&other, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &noWindow), TWRC_SUCCESS);
  ASSERT_EQ(entry(&other, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &held), TWRC_SUCCESS);

  RunCommand({Choose("test:0")});
  EXPECT_EQ(Errors(),
            std::vector<std::string>{"TWAIN: DS is connected to max possible applications."});
  EXPECT_EQ(entry(&other, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &held), TWRC_SUCCESS);
  EXPECT_EQ(entry(&other, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &noWindow), TWRC_SUCCESS);
  ::dlclose(library);

  GlobalTwain().SourceIdentity = TW_IDENTITY{};
  std::strcpy(GlobalTwain().SourceIdentity.ProductName.text, "test:7");
  TBitmap bitmap;
  std::string message;
  try {
    GlobalTwain().Acquire(bitmap, false, form_.get());
  } catch (const std::exception& error) {
    message = error.what();
  }
  EXPECT_EQ(message, "TWAIN: No Data Source");
}

// The scan dialog's controls that are shown and enabled, by name.
QStringList EnabledControls() {
  QStringList names;
  for (QWidget* w : DialogDriver::Shown("ScanDialog")->findChildren<QWidget*>())
    if ((qobject_cast<QAbstractButton*>(w) || qobject_cast<QAbstractSpinBox*>(w) ||
         qobject_cast<QComboBox*>(w) || qobject_cast<QAbstractSlider*>(w) ||
         w->objectName() == "previewPane") &&
        w->isVisible() && w->isEnabled())
      names << w->objectName();
  names.sort();
  return names;
}

TEST_F(ScannerTest, CancellingASlowScanLeavesTheDialogReadyAndTheViewAsItWas) {
  Configure("test-picture Grid\nread-delay true\nread-delay-duration 200000\n");
  form_->Image1->Picture().Bitmap().AdoptHandle(MakeFlatPicture(2, 2, {1, 2, 3}));
  QElapsedTimer clock;
  qint64 readyAfter = -1;
  QString message;
  QStringList enabledWhileScanning;
  RunCommand({Choose("test:0"), ScanReady(), Click("ScanDialog", "scanButton"),
              Do([&] { clock.start(); }), WaitFor([&] { return clock.elapsed() > 300; }),
              Do([&] { enabledWhileScanning = EnabledControls(); }), Do([&] { clock.restart(); }),
              Click("ScanDialog", "cancelButton"), ScanReady(), Do([&] {
                readyAfter = clock.elapsed();
                message = ScanMessage();
              }),
              Click("ScanDialog", "closeButton")});
  EXPECT_EQ(enabledWhileScanning.join(' ').toStdString(), "cancelButton closeButton");
  RecordProperty("dialogReadyAfterCancelMs", static_cast<int>(readyAfter));
  EXPECT_GE(readyAfter, 0);
  EXPECT_LT(readyAfter, 1000);
  EXPECT_EQ(message.toStdString(), scanner::kScanCancelled);
  EXPECT_EQ(View().pixels, std::vector<Bgr>(4, Bgr{1, 2, 3}));
  EXPECT_TRUE(Errors().empty());

  // Closed during a preview: the next scan is a scan, at the settings of before the preview.
  RunCommand({Choose("test:0"), ScanReady(), Click("ScanDialog", "previewButton"),
              Click("ScanDialog", "closeButton")});
  RunCommand({Choose("test:0"), ScanReady(), Click("ScanDialog", "scanButton")});
  ExpectSamePicture(View(), Scanimage("test:0", ""));

  // Without the dialog: the progress window's cancel asks the program to close the source.
  TBitmap bitmap;
  DialogDriver driver({WaitFor([] { return DialogDriver::Shown("ScanProgressWindow"); }),
                       WaitFor([&] { return clock.elapsed() > 300; }),
                       Click("ScanProgressWindow", "cancelButton")});
  clock.restart();
  EXPECT_FALSE(GlobalTwain().Acquire(bitmap, false, form_.get())) << "no picture after a cancel";
  EXPECT_TRUE(driver.Done()) << driver.failure;
  EXPECT_TRUE(SaneOutsideTheProgram());
}

// Jams ended with a cancel were where the test backend's reader died holding the allocator's
// lock, freezing the whole program: that now happens, if at all, in the helper process. There,
// under load, the backend's next sane_start may still hang on that lock; the scan then ends in
// the data limit with the helper's "not responding", and the scan after it, in a fresh helper,
// jams again as it should.
TEST_F(ScannerTest, FiftyPaperJamsInARowLeaveTheProgramResponsive) {
  Configure("read-status-code SANE_STATUS_JAMMED\n");
  ::setenv("LUMIVANE_SCANNER_TIMEOUT", "5", 1);
  form_->Image1->Picture().Bitmap().AdoptHandle(MakeFlatPicture(2, 2, {1, 2, 3}));
  std::vector<std::string> messages;
  std::deque<Step> steps{Choose("test:0")};
  for (int i = 0; i < 50; ++i) {
    steps.push_back(ScanReady());
    steps.push_back(Click("ScanDialog", "scanButton"));
    steps.push_back(WaitFor([] { return ScanReady()() && ScanMessage() != scanner::kScanning; }));
    steps.push_back(Do([&] { messages.push_back(ScanMessage().toStdString()); }));
  }
  steps.push_back(Click("ScanDialog", "closeButton"));
  RunCommand(std::move(steps));
  ::unsetenv("LUMIVANE_SCANNER_TIMEOUT");
  ASSERT_EQ(messages.size(), 50u);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (messages[i] != scanner::kNotResponding) {
      EXPECT_EQ(messages[i], scanner::kPaperJam) << "scan " << i + 1;
    } else if (i + 1 < messages.size()) {
      EXPECT_EQ(messages[i + 1], scanner::kPaperJam) << "scan " << i + 2 << " after a hang";
    }
  }
  EXPECT_EQ(View().pixels, std::vector<Bgr>(4, Bgr{1, 2, 3}));
  EXPECT_TRUE(Errors().empty());
}

// A backend that hangs or crashes: the dialog says so, the view keeps its picture, and the next
// scan runs in a fresh helper. The fake SANE library stands in for the backend.
TEST_F(ScannerTest, AHungOrCrashedBackendIsReportedAndTheNextScanWorks) {
  const std::filesystem::path mode =
      std::filesystem::temp_directory_path() / ("lumivane-fake-mode-" + std::to_string(::getpid()));
  ::setenv("LUMIVANE_SANE_LIBRARY", FAKE_SANE_PATH, 1);
  ::setenv("FAKE_SANE_MODE", mode.c_str(), 1);
  ::setenv("LUMIVANE_SCANNER_TIMEOUT", "1", 1);
  form_->Image1->Picture().Bitmap().AdoptHandle(MakeFlatPicture(2, 2, {1, 2, 3}));
  const struct {
    const char* mode;
    const char* message;
  } rows[] = {{"hang-read", scanner::kNotResponding},
              {"crash", scanner::kNotResponding},
              {"no-data", scanner::kNoImageData},
              {"frame 0 8 1 2147483647 -1 1 -1", scanner::kBadFrameLayout}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.mode);
    std::ofstream(mode) << row.mode << '\n';
    QString message;
    RunCommand({Choose("fake:0"), ScanReady(), Click("ScanDialog", "scanButton"),
                WaitFor([] { return ScanReady()() && ScanMessage() != scanner::kScanning; }),
                Do([&] {
                  message = ScanMessage();
                  std::ofstream(mode) << "ok\n";
                }),
                Click("ScanDialog", "scanButton")});
    EXPECT_EQ(message.toStdString(), row.message);
    // The second scan, in the same dialog, brought the fake's 40 x 30 picture.
    EXPECT_EQ(View().width, 40);
    form_->Image1->Picture().Bitmap().AdoptHandle(MakeFlatPicture(2, 2, {1, 2, 3}));
  }
  EXPECT_TRUE(Errors().empty());
  EXPECT_TRUE(SaneOutsideTheProgram());
  ::unsetenv("LUMIVANE_SANE_LIBRARY");
  ::unsetenv("LUMIVANE_SCANNER_TIMEOUT");
  std::filesystem::remove(mode);
}

// A point of the glass (millimetres) where the pane draws it.
QPoint OnPane(const QWidget& pane, QPointF mm) {
  const QRectF frame = pane.property("glassFrame").toRectF();
  const QRectF glass = pane.property("glass").toRectF();
  return QPointF(frame.left() + (mm.x() - glass.left()) / glass.width() * frame.width(),
                 frame.top() + (mm.y() - glass.top()) / glass.height() * frame.height())
      .toPoint();
}

std::array<double, 4> AreaBoxes() {
  std::array<double, 4> boxes{};
  const char* names[] = {"areaLeft", "areaTop", "areaRight", "areaBottom"};
  for (std::size_t i = 0; i < boxes.size(); ++i)
    boxes[i] = DialogDriver::Find<QDoubleSpinBox>("ScanDialog", names[i])->value();
  return boxes;
}

// The user previews the glass, draws the area on it, checks the boxes, and scans exactly that.
TEST_F(ScannerTest, PreviewThenTheAreaDrawnOnItIsScannedExactly) {
  Configure("test-picture Grid\n");
  QSize preview;
  std::array<double, 4> drawn{}, typed{};
  QRectF paneAfterTyping;
  QString device;
  RunCommand({Choose("test:0"), ScanReady(), Click("ScanDialog", "previewButton"), ScanReady(),
              Do([&] {
                auto* pane = DialogDriver::Find<QWidget>("ScanDialog", "previewPane");
                EXPECT_EQ(ScanMessage(), scanner::kPreviewed);
                QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
                const QRect paneWithMessage = pane->geometry();
                preview = pane->property("imageSize").toSize();
                device = DialogDriver::Find<QLabel>("ScanDialog", "deviceLabel")->text();
                QTest::mousePress(pane, Qt::LeftButton, {}, OnPane(*pane, {20, 30}));
                QTest::mouseMove(pane, OnPane(*pane, {40, 50}));
                QTest::mouseMove(pane, OnPane(*pane, {70, 90}));
                QTest::mouseRelease(pane, Qt::LeftButton, {}, OnPane(*pane, {70, 90}));
                drawn = AreaBoxes();
                // The other way: a box moves the rectangle.
                DialogDriver::Find<QDoubleSpinBox>("ScanDialog", "areaLeft")->setValue(10);
                typed = AreaBoxes();
                paneAfterTyping = pane->property("area").toRectF();
                QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
                EXPECT_EQ(pane->geometry(), paneWithMessage);  // the message has gone
              }),
              Click("ScanDialog", "scanButton")});
  const Picture glass = Scanimage("test:0", "--mode Color --resolution 50 -l 0 -t 0 -x 200 -y 200");
  EXPECT_EQ(preview, QSize(glass.width, glass.height));
  EXPECT_TRUE(device.contains("test:0")) << device.toStdString();
  // The drawn corners, to the device's 1 mm steps (the pane's pixels are a little coarser).
  const double want[] = {20, 30, 70, 90};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(drawn[i], want[i], 1.01) << i;
  EXPECT_EQ(typed[0], 10);
  EXPECT_EQ(paneAfterTyping, QRectF(QPointF(typed[0], typed[1]), QPointF(typed[2], typed[3])));
  const auto mm = [](double v) { return std::to_string(static_cast<int>(std::lround(v))); };
  ExpectSamePicture(
      View(), Scanimage("test:0", "-l " + mm(typed[0]) + " -t " + mm(typed[1]) + " -x " +
                                      mm(typed[2] - typed[0]) + " -y " + mm(typed[3] - typed[1])));
}

// Three photos on the fake device's glass (drawn at its 100 dpi): the preview marks each and the
// area is the largest's; a click inside another mark makes that one the area, and with 傾き補正
// the view gets it upright and cropped: its size at the scan's 150 dpi, every pixel its colour.
TEST_F(ScannerTest, EveryDocumentIsMarkedAndAClickedOneComesOutStraight) {
  const std::string glass = scratch_ / "glass.ppm";
  ASSERT_EQ(RunShell(DrawPhotos({{192, 128, 64, 220, 300, 150, 300, -4},
                                 {64, 128, 192, 180, 240, 410, 300, 3},
                                 {96, 192, 96, 140, 200, 640, 300, 8}},
                                glass)),
            0);
  ::setenv("LUMIVANE_SANE_LIBRARY", FAKE_SANE_PATH, 1);
  ::setenv("FAKE_SANE_PICTURE", glass.c_str(), 1);
  int marks = 0;
  std::array<double, 4> largest{}, clicked{};
  RunCommand({Choose("fake:1"), ScanReady(), Click("ScanDialog", "previewButton"), ScanReady(),
              Do([&] {
                auto* pane = DialogDriver::Find<QWidget>("ScanDialog", "previewPane");
                marks = pane->property("markCount").toInt();
                largest = AreaBoxes();
                QTest::mouseClick(pane, Qt::LeftButton, {}, OnPane(*pane, {104, 76}));
                clicked = AreaBoxes();
                DialogDriver::Find<QCheckBox>("ScanDialog", "straightenCheck")->setChecked(true);
                // The picture of the dialog under docs/ comes from here.
                if (const char* shot = std::getenv("LUMIVANE_DIALOG_SHOT"))
                  pane->window()->grab().save(shot);
              }),
              Click("ScanDialog", "scanButton")});
  ::unsetenv("FAKE_SANE_PICTURE");
  ::unsetenv("LUMIVANE_SANE_LIBRARY");
  EXPECT_EQ(marks, 3);
  // Across, the largest photo's box spans 7.6 to 68.6 mm, the clicked one's 79.7 to 128.6 mm,
  // each with a margin of 3 mm (1% of the preview's height at 75 dpi).
  const std::array<double, 4> boxes[] = {largest, clicked}, want[] = {{4.6, 71.6}, {76.7, 131.6}};
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_NEAR(boxes[i][0], want[i][0], 2) << i;
    EXPECT_NEAR(boxes[i][2], want[i][1], 2) << i;
  }
  const Picture view = View();
  EXPECT_NEAR(view.width, 270, 3);
  EXPECT_NEAR(view.height, 360, 3);
  EXPECT_LE(Farthest(view.pixels, {192, 128, 64}), 24);
}

// A preview sets the area to the document found on it only with 自動検出 checked.
TEST_F(ScannerTest, APreviewSetsTheAreaOnlyWhenDetectionIsChecked) {
  Configure("test-picture Grid\n");
  const std::array<double, 4> set{10, 20, 60, 80};
  for (const bool detect : {false, true}) {
    std::array<double, 4> after{};
    RunCommand({Choose("test:0"), ScanReady(), SetArea(set[0], set[1], set[2], set[3]), Do([&] {
                  DialogDriver::Find<QCheckBox>("ScanDialog", "detectCheck")->setChecked(detect);
                }),
                Click("ScanDialog", "previewButton"),
                WaitFor([] { return ScanReady()() && ScanMessage() == scanner::kPreviewed; }),
                Do([&] { after = AreaBoxes(); }), Click("ScanDialog", "closeButton")});
    EXPECT_EQ(after == set, !detect) << detect;
  }
}

// The next day: the same device preselected and its settings back; a value the device no
// longer takes is dropped, and a device found again under another name keeps its settings.
TEST_F(ScannerTest, TheDeviceAndItsSettingsAreRememberedAcrossRuns) {
  Configure("test-picture Grid\n");
  bool straightenAtFirst = true, straighten = false;
  RunCommand({Choose("test:1"), ScanReady(), Do([&] {
                DialogDriver::Find<QSpinBox>("ScanDialog", "resolutionSpin")->setValue(150);
                DialogDriver::Find<QDoubleSpinBox>("ScanDialog", "areaRight")->setValue(60);
                auto* check = DialogDriver::Find<QCheckBox>("ScanDialog", "straightenCheck");
                straightenAtFirst = check->isChecked();
                check->setChecked(true);
              }),
              Click("ScanDialog", "scanButton")});
  const std::filesystem::path file = scratch_.path() / "lumivane" / "scanner.conf";
  ASSERT_TRUE(std::filesystem::exists(file));
  GlobalTwain().SourceIdentity = TW_IDENTITY{};  // a new run of the program knows nothing
  QString preselected;
  int resolution = 0;
  double right = 0;
  RunCommand({WaitFor([&] {
                auto* list = DialogDriver::Find<QTreeWidget>("ScannerSelectDialog", "deviceList");
                return list && list->currentItem() &&
                       !(preselected = list->currentItem()->text(2)).isEmpty();
              }),
              Click("ScannerSelectDialog", "selectButton"), ScanReady(), Do([&] {
                resolution = DialogDriver::Find<QSpinBox>("ScanDialog", "resolutionSpin")->value();
                right = DialogDriver::Find<QDoubleSpinBox>("ScanDialog", "areaRight")->value();
                straighten =
                    DialogDriver::Find<QCheckBox>("ScanDialog", "straightenCheck")->isChecked();
              }),
              Click("ScanDialog", "closeButton")});
  EXPECT_EQ(preselected, "test:1");
  EXPECT_EQ(resolution, 150);
  EXPECT_EQ(right, 60);
  EXPECT_FALSE(straightenAtFirst);
  EXPECT_TRUE(straighten);

  // Renamed (by vendor and model the first of them matches) and a resolution beyond the device.
  std::string text;
  {
    std::ifstream in(file);
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  for (auto [from, to] : {std::pair{"test:1", "net:9"}, std::pair{"150", "9999"}})
    for (std::size_t at; (at = text.find(from)) != std::string::npos;)
      text.replace(at, std::strlen(from), to);
  std::ofstream(file) << text;
  GlobalTwain().SourceIdentity = TW_IDENTITY{};
  RunCommand({Choose("test:0"), ScanReady(), Do([&] {
                resolution = DialogDriver::Find<QSpinBox>("ScanDialog", "resolutionSpin")->value();
                right = DialogDriver::Find<QDoubleSpinBox>("ScanDialog", "areaRight")->value();
              }),
              Click("ScanDialog", "closeButton")});
  EXPECT_EQ(resolution, 100);  // the test device's own, the remembered one dropped
  EXPECT_EQ(right, 60);
}

TEST_F(ScannerTest, ReturnInABoxStartsNothingAndClosingAnyWayRemembersTheSettings) {
  Configure("test-picture Grid\n");
  for (int typed = 100;
       const Step& close :
       {Click("ScanDialog", "closeButton"), Do([] { DialogDriver::Shown("ScanDialog")->close(); }),
        Do([] { QTest::keyClick(DialogDriver::Shown("ScanDialog"), Qt::Key_Escape); })}) {
    typed += 10;
    RunCommand({Choose("test:0"), ScanReady(), Do([&] {
                  auto* size = DialogDriver::Find<QLabel>("ScanDialog", "sizeLabel");
                  const QString before = size->text();
                  auto* box = DialogDriver::Find<QAbstractSpinBox>("ScanDialog", "resolutionSpin");
                  box->selectAll();
                  QTest::keyClicks(box, QString::number(typed));
                  QTest::keyClick(box, Qt::Key_Return);
                  EXPECT_NE(size->text(), before);
                  EXPECT_TRUE(ScanReady()() && ScanMessage().isEmpty()) << typed;
                }),
                close});
    EXPECT_EQ(scanner::ValuesFor({"test:0", "", ""})["resolution"], std::to_string(typed));
  }
}

// Every status a device's read can end with that has a text of its own in the dialog (the
// test backend ends a read with any of them):
// the dialog shows the text; without the dialog the transfer fails and the source's condition
// code is one whose text, which the command-line tool shows, is the dialog's (the manager's own
// codes where the protocol has none of that meaning).
struct DeviceError {
  const char* status;
  const char* dialogText;
  TW_UINT16 condition;
};

class ScannerErrors : public ScannerTest,
                      public ::testing::WithParamInterface<std::tuple<DeviceError, bool>> {};

TEST_P(ScannerErrors, ShowInTheDialogOrWithoutItFailTheTransfer) {
  const auto& [e, withDialog] = GetParam();
  Configure(std::string("read-status-code ") + e.status + "\n");
  if (withDialog) {
    QString message;
    RunCommand({Choose("test:0"), ScanReady(), Click("ScanDialog", "scanButton"),
                WaitFor([&] { return !ScanMessage().isEmpty() && ScanReady()(); }),
                Do([&] { message = ScanMessage(); }), Click("ScanDialog", "closeButton")});
    EXPECT_EQ(message.toStdString(), e.dialogText);
    EXPECT_FALSE(form_->Image1->Picture().HasGraphic());
    EXPECT_TRUE(Errors().empty());
    return;
  }
  GlobalTwain().OpenDSM(form_.get());
  std::strcpy(GlobalTwain().SourceIdentity.ProductName.text, "test:0");
  TBitmap bitmap;
  std::string failure;
  try {
    GlobalTwain().Acquire(bitmap, false, form_.get());
  } catch (const std::exception& error) {
    failure = error.what();
  }
  EXPECT_EQ(failure, "転送中にエラー発生");
  EXPECT_EQ(GlobalTwain().ConditionCode(&GlobalTwain().SourceIdentity), e.condition);
  const char* text = scanner::DeviceConditionText(e.condition);
  EXPECT_EQ(std::string(text ? text : "none"), e.dialogText);
}

INSTANTIATE_TEST_SUITE_P(
    TestBackend, ScannerErrors,
    ::testing::Combine(
        ::testing::Values(
            DeviceError{"SANE_STATUS_JAMMED", scanner::kPaperJam, TWCC_PAPERJAM},
            DeviceError{"SANE_STATUS_IO_ERROR", scanner::kIoError, TWCC_CHECKDEVICEONLINE},
            DeviceError{"SANE_STATUS_NO_MEM", scanner::kOutOfMemory, TWCC_LOWMEMORY},
            DeviceError{"SANE_STATUS_ACCESS_DENIED", scanner::kAccessDenied, TWCC_DENIED},
            DeviceError{"SANE_STATUS_DEVICE_BUSY", scanner::kDeviceBusy, TWCC_MAXCONNECTIONS},
            DeviceError{"SANE_STATUS_NO_DOCS", scanner::kNoDocuments, TWCC_NOMEDIA},
            DeviceError{"SANE_STATUS_COVER_OPEN", scanner::kCoverOpen, TWCC_INTERLOCK},
            DeviceError{"SANE_STATUS_INVAL", scanner::kInvalidValue,
                        scanner::kConditionInvalidValue},
            DeviceError{"SANE_STATUS_UNSUPPORTED", scanner::kUnsupported,
                        scanner::kConditionUnsupported}),
        ::testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).status) +
             (std::get<1>(info.param) ? "_Dialog" : "_NoDialog");
    });

// One capability set through the binding: a one-value container in a global block.
TW_UINT16 SetCapability(TW_UINT16 cap, TW_UINT16 type, TW_UINT32 item) {
  const HGLOBAL block = GlobalAlloc(0, sizeof(TW_ONEVALUE));
  TW_ONEVALUE value{type, item};
  std::memcpy(GlobalLock(block), &value, sizeof value);
  GlobalUnlock(block);
  TW_CAPABILITY capability{cap, TWON_ONEVALUE, block};
  TTwain& twain = GlobalTwain();
  const TW_UINT16 result =
      twain.Send(&twain.SourceIdentity, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
  GlobalFree(block);
  return result;
}

TW_UINT32 Fix32(double value) {
  TW_FIX32 fix{static_cast<TW_INT16>(value), static_cast<TW_UINT16>((value - int(value)) * 65536)};
  TW_UINT32 item = 0;
  std::memcpy(&item, &fix, sizeof fix);
  return item;
}

TEST_F(ScannerTest, SourcesListedWithoutADialogAndCapabilitiesSetBeforeTheScan) {
  Configure("test-picture Color pattern\n");
  TTwain& twain = GlobalTwain();
  twain.OpenDSM(form_.get());
  std::vector<std::string> names;
  TW_IDENTITY identity{};
  TW_UINT16 result = twain.Send(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &identity);
  for (; result == TWRC_SUCCESS;
       result = twain.Send(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &identity)) {
    names.push_back(Text(identity.ProductName));
    if (names.size() == 1) twain.SourceIdentity = identity;
  }
  EXPECT_EQ(result, TWRC_ENDOFLIST);
  EXPECT_EQ(names, (std::vector<std::string>{"test:0", "test:1"}));
  EXPECT_EQ(DialogDriver::Shown("ScannerSelectDialog"), nullptr);
  twain.OpenDS();

  const struct {
    TW_UINT16 cap, type;
    TW_UINT32 item;
    TW_UINT16 result;
    const char* condition;  // the source's condition text after a failure
  } rows[] = {
      {ICAP_PIXELTYPE, TWTY_UINT16, TWPT_BW, TWRC_SUCCESS, ""},
      {ICAP_PIXELTYPE, TWTY_UINT16, 9, TWRC_FAILURE, "Data parameter out of range"},
      {ICAP_PIXELTYPE, TWTY_FIX32, TWPT_RGB, TWRC_FAILURE, "Data parameter out of range"},
      {ICAP_XRESOLUTION, TWTY_FIX32, Fix32(5000), TWRC_FAILURE, "Data parameter out of range"},
      {ICAP_XRESOLUTION, TWTY_FIX32, Fix32(75.5), TWRC_FAILURE, "Data parameter out of range"},
      {0x1234, TWTY_UINT16, 1, TWRC_FAILURE, "Capability not supported by source"},
      // The test device has no brightness.
      {ICAP_BRIGHTNESS, TWTY_FIX32, Fix32(10), TWRC_FAILURE, "Capability not supported by source"},
      {ICAP_PIXELTYPE, TWTY_UINT16, TWPT_RGB, TWRC_SUCCESS, ""},
      {ICAP_XRESOLUTION, TWTY_FIX32, Fix32(75), TWRC_SUCCESS, ""},
      {ICAP_YRESOLUTION, TWTY_FIX32, Fix32(75), TWRC_SUCCESS, ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(SetCapability(row.cap, row.type, row.item), row.result) << std::hex << row.cap;
    if (row.result != TWRC_SUCCESS) {
      EXPECT_EQ(twain.ConditionText(&twain.SourceIdentity), row.condition);
    }
  }
  TBitmap bitmap;
  ASSERT_TRUE(twain.Acquire(bitmap, false, form_.get()));
  Picture scanned{bitmap.Width(), bitmap.Height(), PixelsOf(*bitmap.Object())};
  ExpectSamePicture(scanned, Scanimage("test:0", "--mode Color --resolution 75"));
  EXPECT_TRUE(SaneOutsideTheProgram());
}

// A device whose resolutions are a word list, with modes, sources and an inactive contrast
// (the fake SANE's fake:1): the capabilities take the listed values only.
TEST_F(ScannerTest, CapabilitiesOfADeviceOfListedValues) {
  ::setenv("LUMIVANE_SANE_LIBRARY", FAKE_SANE_PATH, 1);
  TTwain& twain = GlobalTwain();
  twain.OpenDSM(form_.get());
  std::strcpy(twain.SourceIdentity.ProductName.text, "fake:1");
  twain.OpenDS();
  const struct {
    TW_UINT16 cap, type;
    TW_UINT32 item;
    TW_UINT16 result;
    const char* condition;
  } rows[] = {
      {ICAP_XRESOLUTION, TWTY_FIX32, Fix32(200), TWRC_FAILURE, "Data parameter out of range"},
      {ICAP_XRESOLUTION, TWTY_FIX32, Fix32(300), TWRC_SUCCESS, ""},
      {ICAP_YRESOLUTION, TWTY_FIX32, Fix32(600), TWRC_SUCCESS, ""},
      {ICAP_YRESOLUTION, TWTY_FIX32, Fix32(1200), TWRC_FAILURE, "Data parameter out of range"},
      {ICAP_PIXELTYPE, TWTY_UINT16, TWPT_BW, TWRC_SUCCESS, ""},
      {CAP_FEEDERENABLED, TWTY_BOOL, 1, TWRC_SUCCESS, ""},
      {ICAP_CONTRAST, TWTY_FIX32, Fix32(10), TWRC_FAILURE, "Capability not supported by source"},
      {ICAP_BRIGHTNESS, TWTY_FIX32, Fix32(101), TWRC_FAILURE, "Data parameter out of range"},
      {ICAP_BRIGHTNESS, TWTY_FIX32, Fix32(-20), TWRC_SUCCESS, ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(SetCapability(row.cap, row.type, row.item), row.result)
        << std::hex << row.cap << std::dec << " " << row.item;
    if (row.result != TWRC_SUCCESS) {
      EXPECT_EQ(twain.ConditionText(&twain.SourceIdentity), row.condition);
    }
  }
  TBitmap bitmap;
  ASSERT_TRUE(twain.Acquire(bitmap, false, form_.get()));
  EXPECT_EQ(bitmap.Width(), 40);
  EXPECT_EQ(bitmap.Height(), 30);
  EXPECT_TRUE(Errors().empty());
  ::unsetenv("LUMIVANE_SANE_LIBRARY");
}

// The scan dialog's slider whose label is the text, if its row is shown.
QSlider* SliderLabelled(const char* text) {
  QWidget* dialog = DialogDriver::Shown("ScanDialog");
  for (QLabel* label : dialog ? dialog->findChildren<QLabel*>() : QList<QLabel*>{})
    if (label->text() == QString::fromUtf8(text) && label->isVisible())
      return qobject_cast<QSlider*>(label->buddy());
  return nullptr;
}

// Each slider on a device that has its option (the fake SANE's fake:1), found by its label from
// the catalogue, moved and scanned: the device has the value when the scan starts. A slider of
// one mode is shown in that mode only.
TEST_F(ScannerTest, ASliderFoundByItsLabelSetsItsOptionAndShowsInItsModeOnly) {
  using scanner::ColourMode;
  ::setenv("LUMIVANE_SANE_LIBRARY", FAKE_SANE_PATH, 1);
  const std::filesystem::path record = scratch_.path() / "started-with";
  ::setenv("FAKE_SANE_RECORD", record.c_str(), 1);
  const std::pair<ColourMode, const char*> modes[] = {
      {ColourMode::kColor, scanner::kModeColor},
      {ColourMode::kGray, scanner::kModeGray},
      {ColourMode::kLineart, scanner::kModeLineart}};
  const struct {
    const char* label;
    const char* option;
    int value;
    std::optional<ColourMode> onlyIn;
  } rows[] = {{scanner::kBrightnessLabel, SANE_NAME_BRIGHTNESS, -37, std::nullopt},
              {scanner::kThresholdLabel, SANE_NAME_THRESHOLD, 99, ColourMode::kLineart}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.option);
    std::vector<bool> shown, wanted;
    std::deque<Step> steps{ScanReady()};
    for (const auto& [mode, caption] : modes) {
      steps.push_back(PickMode(caption));
      steps.push_back([&] {
        shown.push_back(SliderLabelled(row.label) != nullptr);
        return true;
      });
      wanted.push_back(!row.onlyIn || row.onlyIn == mode);
    }
    steps.push_back(PickMode(row.onlyIn ? scanner::kModeLineart : scanner::kModeColor));
    steps.push_back([&] {
      QSlider* slider = SliderLabelled(row.label);
      if (slider) slider->setValue(row.value);
      return slider != nullptr;
    });
    steps.push_back(Click("ScanDialog", "scanButton"));
    DialogDriver driver(std::move(steps));
    GlobalTwain().OpenDSM(form_.get());
    std::strcpy(GlobalTwain().SourceIdentity.ProductName.text, "fake:1");
    TBitmap bitmap;
    EXPECT_TRUE(GlobalTwain().Acquire(bitmap, true, form_.get()));
    EXPECT_TRUE(driver.Done()) << driver.failure;
    EXPECT_EQ(shown, wanted);
    std::ifstream in(record);
    const std::string started(std::istreambuf_iterator<char>(in), {});
    EXPECT_NE(started.find(std::string(row.option) + " " + std::to_string(row.value) + "\n"),
              std::string::npos)
        << started;
  }
  EXPECT_TRUE(Errors().empty());
  ::unsetenv("FAKE_SANE_RECORD");
  ::unsetenv("LUMIVANE_SANE_LIBRARY");
}

TEST_F(ScannerTest, AScanWithoutTheDialogKeepsTheProgramsFloatingPointControl) {
  Configure("test-picture Color pattern\nmode Color\n");
  const FpuControl before = CurrentFpuControl();
  FpuControl program = before;
  program.x87 = 0x1332;                     // invalid, zero divide and overflow unmasked
  program.mxcsr = before.mxcsr & ~0x0280u;  // invalid and zero divide unmasked
  SetFpuControl(program);
  program = CurrentFpuControl();  // as the processor keeps it (reserved bits read as set)
  GlobalTwain().OpenDSM(form_.get());
  std::strcpy(GlobalTwain().SourceIdentity.ProductName.text, "test:0");
  TBitmap bitmap;
  const bool acquired = GlobalTwain().Acquire(bitmap, false, form_.get());
  const FpuControl after = CurrentFpuControl();
  SetFpuControl(before);
  EXPECT_TRUE(acquired);
  EXPECT_EQ(after.x87, program.x87);
  EXPECT_EQ(after.mxcsr, program.mxcsr);
  Picture scanned{bitmap.Width(), bitmap.Height(), PixelsOf(*bitmap.Object())};
  ExpectSamePicture(scanned, Scanimage("test:0", ""));
}

}  // namespace
