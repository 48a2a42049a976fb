// Without any manager library on the loader's path.
#include <QAction>

#include <gtest/gtest.h>
#include "app/TorvaskUnit1.h"
#include "platform/errors.h"
#include "support/scripted_dialogs.h"
#include "support/test_support.h"
#include "twain/TwainUtils.h"

namespace {

TEST(MissingManager, EveryAttemptRaisesAndLeavesNothingBehind) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      GlobalTwain();
      ADD_FAILURE() << "constructed without a library";
    } catch (const Exception& error) {
      EXPECT_STREQ(error.what(), "TWAIN_32.DLLが見つかりません");
    }
    EXPECT_EQ(TwainRefCount(), 0);
    EXPECT_FALSE(TwainLoaded());
  }
}

TEST(MissingManager, TheScannerCommandShowsTheMessageAndTheProgramGoesOn) {
  ScriptedDialogsScope dialogs;
  SetUpApplication();
  {
    TForm1 form;
    form.show();
    form.Image1->Picture().Bitmap().AdoptHandle(MakeFlatPicture(2, 1, {1, 2, 3}));
    form.N1->trigger();
    form.N1->trigger();
    EXPECT_EQ(dialogs->ErrorTexts(), (std::vector<std::string>{"TWAIN_32.DLLが見つかりません.",
                                                               "TWAIN_32.DLLが見つかりません."}));
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(PixelsOf(*form.Image1->Picture().Bitmap().Object()),
              (std::vector<Bgr>{{1, 2, 3}, {1, 2, 3}}));
    // Other commands still work.
    ScratchDir dir;
    dialogs->answers = {QString::fromStdString(dir / "kept.bmp")};
    form.Save1->trigger();
    EXPECT_EQ(dialogs->errors.size(), 2u);
    EXPECT_FALSE(ReadBytes(dir / "kept.bmp").empty());
    FreeGlobalTwain();
  }
  SetErrorDisplay(nullptr);
}

}  // namespace
