// The PNG button of the main window, on the offscreen platform with answered dialogs.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/TorvaskUnit1.h"
#include "png_decoders.h"
#include "support/scripted_dialogs.h"

namespace {

class PngButton : public ::testing::Test {
 protected:
  // The save dialog's one answer; an empty name cancels.
  void Answer(const QString& answer) { dialogs->answers = {answer}; }
  // Dialogs and message boxes shown so far.
  std::size_t Shown() { return dialogs->asked.size() + dialogs->errors.size(); }

  ScriptedDialogsScope dialogs;
  ScratchDir dir;
};

TEST_F(PngButton, DoesNothingWithoutAPicture) {
  TForm1 form;
  Answer(QString::fromStdString(dir / "out.png"));
  form.Button11Click(nullptr);  // the picture holds nothing
  EXPECT_EQ(Shown(), 0u);
  form.Button11Click(nullptr);  // now it holds an empty bitmap
  EXPECT_TRUE(form.Image1->Picture().HasGraphic());
  EXPECT_EQ(Shown(), 0u);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(PngButton, ACancelledDialogWritesNothing) {
  TForm1 form;
  form.Image1->Picture().Bitmap().AdoptHandle(MakeFlatPicture(4, 4, {1, 2, 3}));
  Answer(QString());
  form.Button11Click(nullptr);
  EXPECT_EQ(Shown(), 1u);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(PngButton, SavesThePictureUnderTheChosenNameAndKeepsItConverted) {
  TForm1 form;
  auto paletted = std::make_unique<BitmapObject>(11, 7, PixelFormat::pf4bit);
  for (int y = 0; y < 7; ++y) paletted->Row(y)[1] = std::uint8_t(0x12 * y);
  const auto colours = PixelsOf(*paletted);
  form.Image1->Picture().Bitmap().AdoptHandle(HBITMAP(std::move(paletted)));

  const std::string path = dir / "chosen.png";
  WriteBytes(path, {9, 9, 9});  // replaced without a question
  Answer(QString::fromStdString(path));
  form.Button11Click(nullptr);

  EXPECT_EQ(Shown(), 1u);
  EXPECT_EQ(dialogs->asked.back().initialName, "*.png");
  EXPECT_EQ(dialogs->asked.back().filter, "png|*.png");
  EXPECT_EQ(dialogs->asked.back().defaultSuffix, "png");
  TBitmap& picture = form.Image1->Picture().Bitmap();
  EXPECT_EQ(picture.Format(), PixelFormat::pf24bit);
  EXPECT_EQ(PixelsOf(*picture.Object()), colours);
  const auto decoded = DecodeWithLibpng(ReadBytes(path));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 11);
  EXPECT_EQ(decoded->pixels, colours);
}

}  // namespace
