// The scanner command of the main window against the scripted manager.
#include <QAction>
#include <QApplication>
#include <QPushButton>

#include "app/TorvaskUnit1.h"
#include "effects/effect_functions.h"
#include "platform/bmp.h"
#include "png/png_writer.h"
#include "scripted_fixture.h"
#include "support/dib_builder.h"
#include "support/scripted_dialogs.h"
#include "support/test_support.h"

namespace {

class ScannerCommandTest : public ScriptedTest {
 protected:
  void SetUp() override {
    ScriptedTest::SetUp();
    SetUpApplication();  // the message box display, through the fake dialogs
    form_ = std::make_unique<TForm1>();
    form_->show();
  }
  void TearDown() override {
    FreeGlobalTwain();  // as the program does: before the window
    form_.reset();
    ScriptedTest::TearDown();
  }

  // One scan in which the source hands over image.
  void ScanReturns(std::vector<std::uint8_t> image) {
    Manager().eventsOnEnable = {MSG_XFERREADY};
    Manager().images.push_back(std::move(image));
  }
  TPicture& View() { return form_->Image1->Picture(); }

  std::unique_ptr<TForm1> form_;
  std::vector<std::string> Errors() { return dialogs_->ErrorTexts(); }

  ScriptedDialogsScope dialogs_;
};

std::vector<Bgr> Expected24(int width, int height, std::uint8_t tag) {
  std::vector<Bgr> out;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      out.push_back({static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), tag});
  return out;
}

TEST_F(ScannerCommandTest, AScanPutsACopyOfTheImageIntoTheView) {
  Manager().chosen.Id = 5;
  ScanReturns(Dib24(6, 4, 99));
  form_->N1->trigger();
  EXPECT_TRUE(Errors().empty());
  ASSERT_TRUE(View().HasGraphic());
  TBitmap& picture = View().Bitmap();
  ASSERT_EQ(picture.Width(), 6);
  ASSERT_EQ(picture.Height(), 4);
  EXPECT_EQ(PixelsOf(*picture.Object()), Expected24(6, 4, 99));
  EXPECT_EQ(form_->Image1->width(), 6);
  EXPECT_EQ(form_->Image1->height(), 4);
  EXPECT_EQ(Triplets(), (std::vector<Triplet>{kOpenDSM, kUserSelect, kOpenDS, kEnableDS,
                                              kClaimedEvent, kNativeGet, kEndXfer, kDisableDS}));
  QWidget* const window = form_.get();
  EXPECT_EQ(Find(DAT_PARENT, MSG_OPENDSM)->parent, window);
  EXPECT_EQ(static_cast<void*>(Find(DAT_USERINTERFACE, MSG_ENABLEDS)->ui.hParent), window);
  EXPECT_EQ(Find(DAT_USERINTERFACE, MSG_ENABLEDS)->ui.ShowUI, 1);
  EXPECT_EQ(Find(DAT_USERINTERFACE, MSG_ENABLEDS)->ui.ModalUI, 1);
  EXPECT_EQ(TwainRefCount(), 1);

  // The view's picture is its own: changing it leaves the scan alone, and a scan that brings
  // nothing leaves the view alone.
  picture.RowAt(0)[0] = 250;
  Manager().eventsOnEnable = {MSG_CLOSEDSREQ};
  form_->N1->trigger();
  EXPECT_EQ(View().Bitmap().RowAt(0)[0], 250);
}

TEST_F(ScannerCommandTest, ASecondScanOfAnotherSizeReplacesTheFirst) {
  ScanReturns(Dib24(6, 4, 1));
  form_->N1->trigger();
  Manager().calls.clear();
  ScanReturns(Dib24(3, 9, 2));
  form_->N1->trigger();
  EXPECT_TRUE(Errors().empty());
  ASSERT_EQ(View().Bitmap().Width(), 3);
  ASSERT_EQ(View().Bitmap().Height(), 9);
  EXPECT_EQ(PixelsOf(*View().Bitmap().Object()), Expected24(3, 9, 2));
  EXPECT_EQ(form_->Image1->width(), 3);
  EXPECT_EQ(form_->Image1->height(), 9);
  EXPECT_EQ(Triplets(), (std::vector<Triplet>{kUserSelect, kEnableDS, kClaimedEvent, kNativeGet,
                                              kEndXfer, kDisableDS}))
      << "no second load, no second opening of manager or source";
  EXPECT_EQ(TwainRefCount(), 1);
}

TEST_F(ScannerCommandTest, CancellingTheSelectionEndsTheCommandQuietly) {
  View().Bitmap().AdoptHandle(MakeFlatPicture(2, 2, {4, 5, 6}));
  Manager().Answer(DAT_IDENTITY, MSG_USERSELECT, TWRC_CANCEL);
  form_->N1->trigger();
  EXPECT_EQ(Triplets(), (std::vector<Triplet>{kOpenDSM, kUserSelect}));
  EXPECT_TRUE(Errors().empty());
  EXPECT_EQ(PixelsOf(*View().Bitmap().Object()), std::vector<Bgr>(4, Bgr{4, 5, 6}));
}

TEST_F(ScannerCommandTest, AFailedTransferIsShownAndTheViewKeepsItsPicture) {
  View().Bitmap().AdoptHandle(MakeFlatPicture(2, 2, {4, 5, 6}));
  Manager().eventsOnEnable = {MSG_XFERREADY};
  Manager().Answer(DAT_IMAGENATIVEXFER, MSG_GET, TWRC_FAILURE);
  form_->N1->trigger();
  EXPECT_EQ(Errors(), std::vector<std::string>{"転送中にエラー発生."});
  EXPECT_EQ(PixelsOf(*View().Bitmap().Object()), std::vector<Bgr>(4, Bgr{4, 5, 6}));
  EXPECT_EQ(Count(kDisableDS), 1);
}

TEST_F(ScannerCommandTest, AScannedPictureIsEditedAndSavedLikeAnOpenedOne) {
  ScanReturns(Dib24(5, 3, 42));
  form_->N1->trigger();
  ScratchDir dir;
  dialogs_->answers = {QString::fromStdString(dir / "scan.bmp")};
  form_->Save1->trigger();
  EXPECT_TRUE(Errors().empty());
  const HBITMAP saved = DecodeBitmapFile(ReadBytes(dir / "scan.bmp"));
  ASSERT_TRUE(saved);
  EXPECT_EQ(PixelsOf(*saved.get()), Expected24(5, 3, 42));

  // The effects work on it: mirror, then grayscale, as the functions give them.
  TBitmap expected;
  expected.AdoptHandle(Grayscale(Mirror(DecodeBitmapFile(ReadBytes(dir / "scan.bmp")))));
  form_->Button10->click();
  form_->Button1->click();
  EXPECT_TRUE(Errors().empty());
  EXPECT_EQ(PixelsOf(*View().Bitmap().Object()), PixelsOf(*expected.Object()));

  // And the PNG save.
  ASSERT_TRUE(HaveProgram("pngcheck"));
  dialogs_->answers = {QString::fromStdString(dir / "scan.png")};
  form_->Button11->click();
  EXPECT_TRUE(Errors().empty());
  EXPECT_EQ(RunShell("pngcheck -q " + ShellQuote(dir / "scan.png")), 0);
  EXPECT_EQ(ReadBytes(dir / "scan.png"), EncodePng(View().Bitmap()));
}

// A scanned picture is unsaved, and is offered for saving before the next scan starts; after
// キャンセル the manager is not even asked, after 保存しない the scan replaces it.
TEST_F(ScannerCommandTest, AChangedPictureIsOfferedForSavingBeforeTheNextScan) {
  const struct {
    SaveChangesAnswer answer;
    bool scans;
  } cases[] = {{SaveChangesAnswer::kCancel, false}, {SaveChangesAnswer::kDontSave, true}};
  for (const auto& c : cases) {
    FreeGlobalTwain();  // a fresh window for each case, as in TearDown
    form_ = std::make_unique<TForm1>();
    form_->show();
    ScanReturns(Dib24(4, 2, 7));
    form_->N1->trigger();
    dialogs_->questions.clear();
    ASSERT_TRUE(form_->PictureChanged());
    const auto changed = PixelsOf(*View().Bitmap().Object());
    Manager().calls.clear();
    ScanReturns(Dib24(3, 3, 8));
    dialogs_->saveAnswers = {c.answer};
    form_->N1->trigger();
    EXPECT_EQ(dialogs_->questions.size(), 1u);
    EXPECT_EQ(Count(kUserSelect), c.scans ? 1 : 0);
    EXPECT_EQ(PixelsOf(*View().Bitmap().Object()), c.scans ? Expected24(3, 3, 8) : changed);
    EXPECT_TRUE(form_->PictureChanged());
    EXPECT_TRUE(Errors().empty());
    Manager().images.clear();
    Manager().eventsOnEnable.clear();
  }
}

TEST_F(ScannerCommandTest, ProgramEndClosesInOrderWhileTheWindowCanShowAFailure) {
  // An acquisition whose disabling failed leaves the source enabled.
  ScanReturns(Dib24(2, 2, 1));
  Manager().Answer(DAT_USERINTERFACE, MSG_DISABLEDS, TWRC_FAILURE);
  Manager().statuses.push_back({TWRC_SUCCESS, TWCC_BUMMER});
  form_->N1->trigger();
  ASSERT_EQ(Errors(), std::vector<std::string>{"TWAIN: Failure due to unknown causes."});
  ASSERT_TRUE(GlobalTwain().DSEnabled);

  Manager().calls.clear();
  FreeGlobalTwain();
  EXPECT_EQ(Triplets(), (std::vector<Triplet>{kDisableDS, kCloseDS, kCloseDSM}));
  EXPECT_EQ(TwainRefCount(), 0);
  EXPECT_FALSE(TwainLoaded());

  // A failure while closing reaches the message box; the window is still there.
  ScanReturns(Dib24(2, 2, 1));
  form_->N1->trigger();
  Manager().calls.clear();
  Manager().Answer(DAT_PARENT, MSG_CLOSEDSM, TWRC_FAILURE);
  Manager().statuses.push_back({TWRC_SUCCESS, TWCC_SEQERROR});
  FreeGlobalTwain();
  EXPECT_EQ(Triplets(), (std::vector<Triplet>{kCloseDS, kCloseDSM, kManagerStatus}));
  EXPECT_EQ(Errors().back(), "TWAIN: DG DAT MSG out of expected sequence.");
  EXPECT_FALSE(TwainLoaded());
}

}  // namespace
