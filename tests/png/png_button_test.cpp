// The PNG button of the main window, on the offscreen platform with answered dialogs.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <set>
#include <utility>

#include "app/TorvaskUnit1.h"
#include "platform/feedback.h"
#include "png/png_writer.h"
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

// Once the save's progress dialog has appeared, runs a check from the events it lets through.
class WhileProgressShows : public QObject {
 public:
  explicit WhileProgressShows(std::function<void(QProgressDialog&)> check)
      : check_(std::move(check)) {
    qApp->installEventFilter(this);
  }
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* dialog = qobject_cast<QProgressDialog*>(watched);
    if (dialog && event->type() == QEvent::Show)
      QTimer::singleShot(0, dialog, [this, dialog] { check_(*dialog); });
    return false;
  }

 private:
  std::function<void(QProgressDialog&)> check_;
};

// Whether values rise (or stay) one after the other and end at last.
bool RiseTo(const std::vector<std::uint64_t>& values, std::uint64_t last) {
  return !values.empty() && std::is_sorted(values.begin(), values.end()) && values.back() == last;
}

// The save of a large picture shows its progress: the dialog is window-modal, the wait cursor
// shows, the window takes no other command meanwhile, the progress rises to its end, and the
// file is the same as without it.
TEST_F(PngButton, ShowsProgressTakesNoOtherCommandAndKeepsTheBytes) {
  const auto delay = std::exchange(ProgressDelay(), std::chrono::milliseconds(0));
  TForm1 form;
  form.show();
  // Colours that hardly compress, so that the compressor reports progress many times.
  form.Image1->Picture().Bitmap().AdoptHandle(MakePicture(600, 400, [](int x, int y) {
    const auto h = static_cast<std::uint32_t>(x * 2654435761u ^ y * 40503u);
    return Bgr{std::uint8_t(h), std::uint8_t(h >> 8), std::uint8_t(h >> 16)};
  }));
  // The encoder's own reports: of one total, the picture's bytes with their filter bytes.
  std::vector<std::uint64_t> done;
  std::set<std::uint64_t> totals;
  const auto expected = EncodePng(form.Image1->Picture().Bitmap(), ZlibDeflate(),
                                  [&](std::uint64_t d, std::uint64_t total) {
                                    done.push_back(d);
                                    totals.insert(total);
                                  });
  EXPECT_GT(done.size(), 2u);
  EXPECT_EQ(totals, std::set<std::uint64_t>{400u * (1 + 600 * 3)});
  EXPECT_TRUE(RiseTo(done, 400u * (1 + 600 * 3)));
  const std::string path = dir / "large.png";
  Answer(QString::fromStdString(path));

  std::vector<std::string> seen;
  std::vector<std::uint64_t> shownValues;
  int maximum = -1;
  WhileProgressShows check([&](QProgressDialog& progress) {
    maximum = progress.maximum();
    shownValues.push_back(static_cast<std::uint64_t>(progress.value()));
    // The bar's values from now on, up to the dialog's reset at the end (to -1).
    QObject::connect(progress.findChild<QProgressBar*>(), &QProgressBar::valueChanged, &progress,
                     [&](int value) {
                       if (value >= 0) shownValues.push_back(static_cast<std::uint64_t>(value));
                     });
    seen.push_back(progress.isVisible() ? "shown" : "hidden");
    seen.push_back(progress.windowModality() == Qt::WindowModal ? "window-modal" : "not modal");
    seen.push_back(QApplication::overrideCursor() &&
                           QApplication::overrideCursor()->shape() == Qt::WaitCursor
                       ? "wait cursor"
                       : "other cursor");
    form.Button10->click();  // the mirror
    form.Open1->trigger();
    form.Button11->click();
  });
  form.Button11->click();
  ProgressDelay() = delay;

  EXPECT_EQ(seen, (std::vector<std::string>{"shown", "window-modal", "wait cursor"}));
  EXPECT_GT(shownValues.size(), 2u);
  EXPECT_TRUE(RiseTo(shownValues, static_cast<std::uint64_t>(maximum)))
      << testing::PrintToString(shownValues) << " to " << maximum;
  EXPECT_EQ(Shown(), 1u);                // neither the open nor a second save asked for a file
  EXPECT_EQ(ReadBytes(path), expected);  // saved whole, and not mirrored on the way
  EXPECT_EQ(form.findChild<QProgressDialog*>(), nullptr);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

}  // namespace
