// The effect table and its commands through the window's buttons and through the batch tool.
#include <QPushButton>
#include <cstdlib>

#include "app/TorvaskUnit1.h"
#include "effect_test_support.h"
#include "effects/effect_table.h"
#include "platform/picture_files.h"

namespace {

// The command's effect function (and second pass) called directly, without the hand-over.
HBITMAP ApplyDirectly(const EffectCommand& command, HBITMAP h) {
  h = command.effect(std::move(h));
  if (command.secondPass) h = command.secondPass(std::move(h), *command.firstPassResult);
  return h;
}

std::vector<Bgr> ApplyAll(const BitmapObject& picture,
                          const std::vector<const EffectCommand*>& commands) {
  HBITMAP h(picture.Clone());
  for (const EffectCommand* command : commands) h = ApplyDirectly(*command, std::move(h));
  return PixelsOf(*h.get());
}

const EffectCommand& Command(std::string_view name) {
  const EffectCommand* command = FindEffectCommand(name);
  EXPECT_NE(command, nullptr) << name;
  return *command;
}

}  // namespace

// Written out here independently of the table, so that a row that names the wrong function or
// button fails.
TEST(EffectTable, NamesButtonsCaptionsAndFunctionsInButtonOrder) {
  struct Row {
    const char* name;
    const char* button;
    const char* caption;
    HBITMAP (*effect)(HBITMAP);
  };
  const Row rows[] = {
      {"grayscale", "Button1", "グレースケール化", Grayscale},
      {"binarize", "Button2", "２値化", MeanThreshold},
      {"blur", "Button3", "ぼかし", Blur},
      {"sharpen", "Button4", "シャープ", Sharpen},
      {"unsharp-mask", "Button5", "アンシャープマスク", UnsharpMask},
      {"negative", "Button6", "ネガ", Negative},
      {"sepia", "Button7", "セピア", Sepia},
      {"jagged-mosaic", "Button8", "ギザギザモザイク", JaggedMosaic},
      {"color-emboss", "Button9", "カラーエンボス", ColorEmboss},
      {"mirror", "Button10", "ミラー", Mirror},
  };
  ASSERT_EQ(EffectCommands().size(), std::size(rows));
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const EffectCommand& command = EffectCommands()[i];
    EXPECT_EQ(command.name, rows[i].name);
    EXPECT_EQ(command.button, rows[i].button);
    EXPECT_EQ(command.caption, rows[i].caption);
    EXPECT_EQ(command.effect, rows[i].effect) << rows[i].name;
    EXPECT_EQ(command.secondPass != nullptr, command.name == "binarize") << rows[i].name;
    EXPECT_EQ(FindEffectCommand(rows[i].name), &command);
    EXPECT_EQ(FindEffectButton(rows[i].button), &command);
  }
  EXPECT_EQ(Command("binarize").secondPass, &Binarize);
  EXPECT_EQ(Command("binarize").firstPassResult, &BinarizeThreshold);
  EXPECT_EQ(FindEffectCommand("emboss"), nullptr);
  EXPECT_EQ(FindEffectButton("Button11"), nullptr);
}

TEST(EffectTable, AnEmptyPictureStaysEmptyUnderEveryCommand) {
  for (const EffectCommand& command : EffectCommands()) {
    TBitmap picture;
    RunEffectCommand(command, picture);
    EXPECT_TRUE(picture.Empty()) << command.name;
  }
}

// Each button, clicked as a user clicks it, gives the effect of its own row: the same pixels as
// its effect function called directly, and pixels no other button gives.
TEST(EffectButtons, EachButtonClickedGivesItsOwnEffect) {
  const HBITMAP original = NoisePicture(23, 17, 42);
  std::vector<std::vector<Bgr>> results;
  for (const EffectCommand& command : EffectCommands()) {
    TForm1 form;
    auto* button = form.findChild<QPushButton*>(QString::fromUtf8(command.button));
    ASSERT_NE(button, nullptr) << command.button;
    EXPECT_EQ(button->text().toStdString(), command.caption);
    form.Image1->Picture().Bitmap().AdoptHandle(HBITMAP(original->Clone()));
    button->click();
    const TBitmap& shown = form.Image1->Picture().Bitmap();
    ASSERT_FALSE(shown.Empty()) << command.name;
    EXPECT_EQ(shown.Format(), PixelFormat::pf24bit);
    EXPECT_EQ(form.Image1->width(), 23);
    EXPECT_EQ(form.Image1->height(), 17);
    results.push_back(PixelsOf(*shown.Object()));
    EXPECT_EQ(results.back(), ApplyAll(*original.get(), {&command})) << command.name;
  }
  for (std::size_t i = 0; i < results.size(); ++i)
    for (std::size_t j = i + 1; j < results.size(); ++j)
      EXPECT_NE(results[i], results[j])
          << EffectCommands()[i].name << " and " << EffectCommands()[j].name;
}

// The handlers of the stored layout by their names, chained on one picture.
TEST(EffectButtons, HandlersChainEffectsThroughTheView) {
  TForm1 form;
  HBITMAP original = NoisePicture(23, 17, 42);
  form.Image1->Picture().Bitmap().AdoptHandle(HBITMAP(original->Clone()));

  using Click = void (TForm1::*)(QObject*);
  const std::pair<Click, const char*> clicks[] = {
      {&TForm1::Button3Click, "blur"},         {&TForm1::Button7Click, "sepia"},
      {&TForm1::Button10Click, "mirror"},      {&TForm1::Button8Click, "jagged-mosaic"},
      {&TForm1::Button4Click, "sharpen"},      {&TForm1::Button5Click, "unsharp-mask"},
      {&TForm1::Button9Click, "color-emboss"}, {&TForm1::Button6Click, "negative"},
      {&TForm1::Button1Click, "grayscale"},    {&TForm1::Button2Click, "binarize"}};
  std::vector<const EffectCommand*> commands;
  for (auto [click, name] : clicks) {
    (form.*click)(nullptr);
    commands.push_back(&Command(name));
  }
  TBitmap& shown = form.Image1->Picture().Bitmap();
  ASSERT_FALSE(shown.Empty());
  EXPECT_EQ(PixelsOf(*shown.Object()), ApplyAll(*original.get(), commands));
}

TEST(EffectButtons, ButtonsOnAnEmptyViewLeaveItEmpty) {
  TForm1 form;
  for (const EffectCommand& command : EffectCommands()) {
    auto* button = form.findChild<QPushButton*>(QString::fromUtf8(command.button));
    ASSERT_NE(button, nullptr) << command.button;
    button->click();
    EXPECT_TRUE(form.Image1->Picture().Bitmap().Empty()) << command.name;
  }
}

// Every command of the table by its name, two to a run.
TEST(BatchTool, EffectNamesGiveTheSamePixelsAsTheFunctions) {
  const std::string batch = BatchToolPath();
  ScratchDir dir;
  HBITMAP original = NoisePicture(31, 12, 5);
  {
    TBitmap picture;
    picture.AdoptHandle(HBITMAP(original->Clone()));
    SaveBitmapFile(picture, dir / "in.bmp");
  }
  const auto commands = EffectCommands();
  for (std::size_t i = 0; i < commands.size(); i += 2) {
    std::vector<const EffectCommand*> run = {&commands[i]};
    if (i + 1 < commands.size()) run.push_back(&commands[i + 1]);
    std::string line = ShellQuote(batch) + " " + ShellQuote(dir / "in.bmp");
    for (const EffectCommand* command : run) line += " " + std::string(command->name);
    line += " " + ShellQuote(dir / "out.bmp");
    ASSERT_EQ(RunShell(line), 0) << line;
    TBitmap result;
    LoadPictureFile(result, dir / "out.bmp");
    ASSERT_FALSE(result.Empty());
    EXPECT_EQ(PixelsOf(*result.Object()), ApplyAll(*original.get(), run)) << line;
  }
  EXPECT_NE(RunShell(ShellQuote(batch) + " " + ShellQuote(dir / "in.bmp") + " emboss " +
                     ShellQuote(dir / "x.bmp") + " 2>/dev/null"),
            0);
}
