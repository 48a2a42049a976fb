// The PNG button of the main window, on the offscreen platform with answered dialogs.
#include <gtest/gtest.h>

#include <QApplication>
#include <filesystem>

#include "app/TorvaskUnit1.h"
#include "png_decoders.h"

namespace {

// Answers the save dialog with a fixed name (or a cancel) and remembers what was asked.
class FakeDialogs final : public Dialogs {
 public:
  explicit FakeDialogs(std::optional<QString> answer) : answer_(std::move(answer)) {}
  std::optional<QString> OpenFile(QWidget*, const FileDialogOptions&) override {
    ++asked;
    return std::nullopt;
  }
  std::optional<QString> SaveFile(QWidget*, const FileDialogOptions& options) override {
    ++asked;
    lastOptions = options;
    return answer_;
  }
  void ShowError(QWidget*, const QString&, const QString&) override { ++asked; }

  static inline int asked = 0;
  static inline FileDialogOptions lastOptions;

 private:
  std::optional<QString> answer_;
};

class PngButton : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "png_button_tests";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
  }
  void Answer(std::optional<QString> answer) {
    FakeDialogs::asked = 0;
    InstallDialogs(std::make_unique<FakeDialogs>(std::move(answer)));
  }
  void TearDown() override { InstallDialogs(nullptr); }

  ScratchDir dir;
};

TEST_F(PngButton, DoesNothingWithoutAPicture) {
  TForm1 form;
  Answer(QString::fromStdString(dir / "out.png"));
  form.Button11Click(nullptr);  // the picture holds nothing
  EXPECT_EQ(FakeDialogs::asked, 0);
  form.Button11Click(nullptr);  // now it holds an empty bitmap
  EXPECT_TRUE(form.Image1->Picture().HasGraphic());
  EXPECT_EQ(FakeDialogs::asked, 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(PngButton, ACancelledDialogWritesNothing) {
  TForm1 form;
  form.Image1->Picture().Bitmap().AdoptHandle(MakeFlatPicture(4, 4, {1, 2, 3}));
  Answer(std::nullopt);
  form.Button11Click(nullptr);
  EXPECT_EQ(FakeDialogs::asked, 1);
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

  EXPECT_EQ(FakeDialogs::asked, 1);
  EXPECT_EQ(FakeDialogs::lastOptions.initialName, "*.png");
  EXPECT_EQ(FakeDialogs::lastOptions.filter, "png|*.png");
  EXPECT_EQ(FakeDialogs::lastOptions.defaultSuffix, "png");
  TBitmap& picture = form.Image1->Picture().Bitmap();
  EXPECT_EQ(picture.Format(), PixelFormat::pf24bit);
  EXPECT_EQ(PixelsOf(*picture.Object()), colours);
  const auto decoded = DecodeWithLibpng(ReadBytes(path));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 11);
  EXPECT_EQ(decoded->pixels, colours);
}

}  // namespace
