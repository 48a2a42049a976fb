// The effect commands through the window's buttons and through the batch tool.
#include <QApplication>
#include <QPushButton>
#include <cstdlib>

#include "app/TorvaskUnit1.h"
#include "effect_test_support.h"
#include "effects/effects.h"
#include "platform/picture_files.h"

namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "effects_command_tests";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

std::vector<Bgr> Apply(const BitmapObject& picture,
                       const std::vector<std::function<HBITMAP(HBITMAP)>>& effects) {
  HBITMAP h(picture.Clone());
  for (const auto& effect : effects) h = effect(std::move(h));
  return PixelsOf(*h.get());
}

HBITMAP BinarizeBoth(HBITMAP h) {
  HBITMAP copy = MeanThreshold(std::move(h));
  return Binarize(std::move(copy), BinarizeThreshold);
}

}  // namespace

TEST(EffectButtons, ChainEffectsThroughTheView) {
  App();
  TForm1 form;
  HBITMAP original = NoisePicture(23, 17, 42);
  form.Image1->Picture().Bitmap().AdoptHandle(HBITMAP(original->Clone()));
  EXPECT_EQ(form.Image1->width(), 23);  // the view took the picture's size

  using Click = void (TForm1::*)(QObject*);
  const Click clicks[] = {&TForm1::Button3Click, &TForm1::Button7Click, &TForm1::Button10Click,
                          &TForm1::Button8Click, &TForm1::Button4Click, &TForm1::Button5Click,
                          &TForm1::Button9Click, &TForm1::Button6Click, &TForm1::Button1Click,
                          &TForm1::Button2Click};
  for (Click click : clicks) (form.*click)(nullptr);

  const std::vector<Bgr> expected =
      Apply(*original.get(), {Blur, Sepia, Mirror, JaggedMosaic, Sharpen, UnsharpMask, ColorEmboss,
                              Negative, Grayscale, BinarizeBoth});
  TBitmap& shown = form.Image1->Picture().Bitmap();
  ASSERT_FALSE(shown.Empty());
  EXPECT_EQ(shown.Format(), PixelFormat::pf24bit);
  EXPECT_EQ(PixelsOf(*shown.Object()), expected);
  EXPECT_EQ(form.Image1->width(), 23);
  EXPECT_EQ(form.Image1->height(), 17);
}

TEST(EffectButtons, ButtonsOnAnEmptyViewLeaveItEmpty) {
  App();
  TForm1 form;
  form.Button1->click();
  form.Button2->click();
  form.Button10->click();
  EXPECT_TRUE(form.Image1->Picture().Bitmap().Empty());
}

TEST(EffectButtons, ClickingAButtonRunsItsEffect) {
  App();
  TForm1 form;
  HBITMAP original = NoisePicture(9, 8, 7);
  form.Image1->Picture().Bitmap().AdoptHandle(HBITMAP(original->Clone()));
  form.Button10->click();
  form.Button6->click();
  EXPECT_EQ(PixelsOf(*form.Image1->Picture().Bitmap().Object()),
            Apply(*original.get(), {Mirror, Negative}));
}

TEST(BatchTool, EffectNamesGiveTheSamePixelsAsTheFunctions) {
  const std::string batch = BatchToolPath();
  ScratchDir dir;
  HBITMAP original = NoisePicture(31, 12, 5);
  {
    TBitmap picture;
    picture.AdoptHandle(HBITMAP(original->Clone()));
    SaveBitmapFile(picture, dir / "in.bmp");
  }
  struct Case {
    std::vector<std::string> names;
    std::vector<std::function<HBITMAP(HBITMAP)>> effects;
  };
  const Case cases[] = {
      {{"grayscale"}, {Grayscale}},
      {{"binarize"}, {BinarizeBoth}},
      {{"blur", "sharpen"}, {Blur, Sharpen}},
      {{"unsharp-mask", "negative"}, {UnsharpMask, Negative}},
      {{"sepia", "jagged-mosaic"}, {Sepia, JaggedMosaic}},
      {{"color-emboss", "mirror"}, {ColorEmboss, Mirror}},
  };
  for (const Case& c : cases) {
    std::string command = ShellQuote(batch) + " " + ShellQuote(dir / "in.bmp");
    for (const std::string& name : c.names) command += " " + name;
    command += " " + ShellQuote(dir / "out.bmp");
    ASSERT_EQ(RunShell(command), 0) << command;
    TBitmap result;
    LoadPictureFile(result, dir / "out.bmp");
    ASSERT_FALSE(result.Empty());
    EXPECT_EQ(PixelsOf(*result.Object()), Apply(*original.get(), c.effects)) << command;
  }
  EXPECT_NE(RunShell(ShellQuote(batch) + " " + ShellQuote(dir / "in.bmp") + " emboss " +
                     ShellQuote(dir / "x.bmp") + " 2>/dev/null"),
            0);
}
