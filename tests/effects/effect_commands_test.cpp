// The effect table and its commands through the window's buttons and through the batch tool.
#include <QPushButton>
#include <cstdlib>
#include <set>
#include <string_view>

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

}  // namespace

// The table against the window it serves: every row names a button of the layout that carries
// the row's caption, no name or button is used twice, every effect button of the layout has its
// row, and each row is found by its name and by its button. What each row does is checked by
// clicking (below), so a row that names the wrong function fails there.
TEST(EffectTable, RowsMatchTheWindowsButtonsOneToOne) {
  TForm1 form;
  const auto commands = EffectCommands();
  ASSERT_FALSE(commands.empty());
  std::set<std::string_view> names, buttons;
  for (const EffectCommand& command : commands) {
    EXPECT_TRUE(names.insert(command.name).second) << "name used twice: " << command.name;
    EXPECT_TRUE(buttons.insert(command.button).second) << "button used twice: " << command.button;
    EXPECT_FALSE(command.caption.empty()) << command.name;
    EXPECT_NE(command.effect, nullptr) << command.name;
    EXPECT_EQ(command.secondPass == nullptr, command.firstPassResult == nullptr) << command.name;
    EXPECT_EQ(FindEffectCommand(command.name), &command);
    EXPECT_EQ(FindEffectButton(command.button), &command);
    const auto* button = form.findChild<QPushButton*>(QString::fromUtf8(command.button));
    ASSERT_NE(button, nullptr) << command.button;
    EXPECT_EQ(button->text().toStdString(), command.caption) << command.button;
    EXPECT_TRUE(button->isEnabled()) << command.button;
  }
  // The other way round: a push button of the layout is an effect's, or the PNG button.
  for (const QPushButton* button : form.findChildren<QPushButton*>()) {
    if (button == form.Button11) continue;
    EXPECT_NE(FindEffectButton(button->objectName().toStdString()), nullptr)
        << button->objectName().toStdString() << " has no row";
  }
  EXPECT_EQ(FindEffectCommand("emboss"), nullptr);
  EXPECT_EQ(FindEffectCommand(""), nullptr);
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

  // Each handler is named after its button; in a mixed order, so that a handler that ran
  // another button's command shows in the pixels.
  using Click = void (TForm1::*)(QObject*);
  const std::pair<Click, const char*> clicks[] = {
      {&TForm1::Button3Click, "Button3"},   {&TForm1::Button7Click, "Button7"},
      {&TForm1::Button10Click, "Button10"}, {&TForm1::Button8Click, "Button8"},
      {&TForm1::Button4Click, "Button4"},   {&TForm1::Button5Click, "Button5"},
      {&TForm1::Button9Click, "Button9"},   {&TForm1::Button6Click, "Button6"},
      {&TForm1::Button1Click, "Button1"},   {&TForm1::Button2Click, "Button2"}};
  ASSERT_EQ(std::size(clicks), EffectCommands().size());
  std::vector<const EffectCommand*> commands;
  for (auto [click, button] : clicks) {
    (form.*click)(nullptr);
    const EffectCommand* command = FindEffectButton(button);
    ASSERT_NE(command, nullptr) << button;
    commands.push_back(command);
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
