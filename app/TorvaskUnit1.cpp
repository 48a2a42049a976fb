#include "TorvaskUnit1.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFont>
#include <QIcon>
#include <QMimeData>
#include <QScopedValueRollback>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <optional>

#include "effects/effect_table.h"
#include "platform/errors.h"
#include "platform/feedback.h"
#include "platform/picture_files.h"
#include "png/png_writer.h"
#include "twain/TwainUtils.h"
#include "ui_TorvaskUnit1.h"

namespace {

constexpr const char* kApplicationName = "Lumivane";
// The menu entry's name (without ".desktop"), by which desktops match the window to it.
constexpr const char* kDesktopFileName = "org.lumivane.Lumivane";
// The layout names a Japanese gothic face that Linux desktops rarely have.
constexpr const char* kFallbackFont = "Noto Sans CJK JP";
constexpr int kFontPixelSize = 12;
constexpr int kWindowLeft = 350;
constexpr int kWindowTop = 122;

}  // namespace

QIcon ApplicationIcon() {
  // The renderings of the installed icon, built into the program (app/CMakeLists.txt).
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
    icon.addFile(QString(":/icons/%1x%1/apps/%2.png").arg(size).arg(kDesktopFileName),
                 QSize(size, size));
  return icon;
}

void SetUpApplication() {
  QApplication::setApplicationName(kApplicationName);
  QGuiApplication::setDesktopFileName(kDesktopFileName);
  QApplication::setWindowIcon(ApplicationIcon());
  InstallJapaneseQtTexts();  // without the file Qt's texts stay English: not an error
  InstallMessageBoxErrorDisplay();
}

TForm1::TForm1(QWidget* parent) : QMainWindow(parent), ui_(std::make_unique<Ui::TForm1>()) {
  ui_->setupUi(this);
  // The form's stored position; the layout file keeps only a top-level form's size.
  move(kWindowLeft, kWindowTop);
  storedOuterSize_ = size();
  setAcceptDrops(true);
  MainMenu1 = ui_->MainMenu1;
  ScrollBox1 = ui_->ScrollBox1;
  Image1 = ui_->Image1;
  File1 = ui_->File1;
  Open1 = ui_->Open1;
  Save1 = ui_->Save1;
  N1 = ui_->N1;
  QPushButton** buttons[] = {&Button1, &Button2, &Button3, &Button4,  &Button5, &Button6,
                             &Button7, &Button8, &Button9, &Button10, &Button11};
  QPushButton* const uiButtons[] = {ui_->Button1, ui_->Button2,  ui_->Button3, ui_->Button4,
                                    ui_->Button5, ui_->Button6,  ui_->Button7, ui_->Button8,
                                    ui_->Button9, ui_->Button10, ui_->Button11};
  for (std::size_t i = 0; i < std::size(buttons); ++i) *buttons[i] = uiButtons[i];

  QFont face = font();
  face.setFamilies({face.family(), kFallbackFont});
  face.setPixelSize(kFontPixelSize);
  setFont(face);

  OpenPictureDialog1.filter = QString::fromStdString(PictureDialogFilter(PictureDialog::kOpen));
  OpenPictureDialog1.preview = true;
  SavePictureDialog1.filter = QString::fromStdString(PictureDialogFilter(PictureDialog::kSave));
  SavePictureDialog1.defaultSuffix = "bmp";
  SavePictureDialog1.preview = true;
  SaveDialog1.filter = "png|*.png";
  SaveDialog1.defaultSuffix = "png";
  SaveDialog1.initialName = "*.png";

  CloseWindow1 = new QAction(this);  // owned by the window, like the layout's actions
  CloseWindow1->setObjectName("CloseWindow1");
  CloseWindow1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  addAction(CloseWindow1);
  connect(CloseWindow1, &QAction::triggered, this, &QWidget::close);

  Connect(Open1, &TForm1::Open1Click);
  Connect(Save1, &TForm1::Save1Click);
  Connect(N1, &TForm1::N1Click, Feedback::kNone);
  Connect(Button11, &TForm1::Button11Click);
  for (const EffectCommand& command : EffectCommands()) {
    auto* button = findChild<QPushButton*>(QString::fromUtf8(command.button));
    if (!button) continue;
    Connect(button, &TForm1::EffectButtonClick);
    effectButtons_.push_back(button);
  }
  storedPlaces_.view = ScrollBox1->geometry();
  for (const QPushButton* button : effectButtons_)
    storedPlaces_.effects.push_back(button->geometry());
  storedPlaces_.png = Button11->geometry();
  setMinimumSize(storedOuterSize_ + SmallestGrowth(storedPlaces_));

  RunCommand(&TForm1::FormCreate, this, Feedback::kNone);
}

TForm1::~TForm1() {
  RunCommand(&TForm1::FormDestroy, this, Feedback::kNone);
}

void TForm1::Connect(QPushButton* button, Handler handler, Feedback feedback) {
  connect(button, &QPushButton::clicked, this,
          [this, button, handler, feedback] { RunCommand(handler, button, feedback); });
}

void TForm1::Connect(QAction* action, Handler handler, Feedback feedback) {
  connect(action, &QAction::triggered, this,
          [this, action, handler, feedback] { RunCommand(handler, action, feedback); });
}

void TForm1::RunCommand(Handler handler, QObject* sender, Feedback feedback) {
  RunCommand([&] { (this->*handler)(sender); }, feedback);
}

void TForm1::RunCommand(const std::function<void()>& command, Feedback feedback) {
  // One command at a time: a command that arrives while another one lets events through (its
  // progress dialog, the scanner's event loop) is dropped, so nothing re-enters the picture.
  if (commandRunning_) return;
  const QScopedValueRollback running(commandRunning_, true);
  RunGuarded([&] {
    std::optional<BusyCursor> busy;
    if (feedback == Feedback::kBusy) busy.emplace(this);
    command();
  });
}

void TForm1::FormCreate(QObject*) {
  ScanBitmap = std::make_unique<TBitmap>();
}

void TForm1::FormDestroy(QObject*) {
  ScanBitmap.reset();
}

bool TForm1::MayDiscardPicture() {
  if (!pictureChanged_) return true;
  switch (CurrentDialogs().AskSaveChanges(this, QApplication::applicationName(),
                                          QString::fromUtf8(msg::kSaveChanges))) {
    case SaveChangesAnswer::kSave:
      return SavePictureAs();
    case SaveChangesAnswer::kDontSave:
      return true;
    case SaveChangesAnswer::kCancel:
      break;
  }
  return false;
}

void TForm1::closeEvent(QCloseEvent* event) {
  // While another command runs (a scan's own event loop) the window stays.
  bool mayClose = false;
  RunCommand([&] { mayClose = MayDiscardPicture(); }, Feedback::kBusy);
  if (mayClose)
    event->accept();
  else
    event->ignore();
}

void TForm1::Open1Click(QObject*) {
  if (!MayDiscardPicture()) return;
  const auto name = CurrentDialogs().OpenFile(this, OpenPictureDialog1);
  if (!name) return;
  LoadPicture(*name);
}

void TForm1::LoadPicture(const QString& fileName) {
  LoadPictureFile(Image1->Picture().Bitmap(), fileName.toStdString());
  pictureChanged_ = false;
}

void TForm1::OpenNamedFile(const QString& fileName) {
  RunCommand(
      [&] {
        if (MayDiscardPicture()) LoadPicture(fileName);
      },
      Feedback::kBusy);
}

namespace {

// The local file that a drag carries; empty when it carries anything else or several files.
QString DraggedFile(const QMimeData* data) {
  if (!data || !data->hasUrls() || data->urls().size() != 1) return {};
  const QUrl& url = data->urls().front();
  return url.isLocalFile() ? url.toLocalFile() : QString();
}

}  // namespace

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
  if (!DraggedFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event) {
  const QString name = DraggedFile(event->mimeData());
  if (name.isEmpty()) return;
  event->acceptProposedAction();
  // Opened once the drop has finished, so that the program the file came from is not kept
  // waiting while the picture loads or its message is shown.
  QTimer::singleShot(0, this, [this, name] { OpenNamedFile(name); });
}

namespace {

// Margins that make a frame: while the window system maps the window they may read as nothing,
// or for a moment as minus the window's size.
bool IsFrame(const QMargins& margins) {
  return !margins.isNull() && margins.left() >= 0 && margins.top() >= 0 && margins.right() >= 0 &&
         margins.bottom() >= 0;
}

}  // namespace

void TForm1::setVisible(bool visible) {
  // Placed before the window is first created, while a position given to it is its frame's.
  if (visible && !placed_) {
    placed_ = true;
    PlaceOnScreen(true);
  }
  QMainWindow::setVisible(visible);
}

void TForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (framePending_ && windowHandle()) windowHandle()->installEventFilter(this);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  // The frame is known once the window system has mapped the window. Without a window manager
  // there is none, and the stored size stays that of the inside.
  const auto type = event->type();
  if (watched == windowHandle() && framePending_ &&
      (type == QEvent::Expose || type == QEvent::Move || type == QEvent::Resize) &&
      IsFrame(windowHandle()->frameMargins())) {
    framePending_ = false;
    windowHandle()->removeEventFilter(this);
    PlaceOnScreen(false);  // where it is: only the size changes
  }
  return QMainWindow::eventFilter(watched, event);
}

QSize TForm1::FrameSize() const {
  const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
  return {frame.left() + frame.right(), frame.top() + frame.bottom()};
}

void TForm1::PlaceOnScreen(bool position) {
  const QSize frame = FrameSize();
  const QSize smallest = storedOuterSize_ + SmallestGrowth(storedPlaces_);
  setMinimumSize(smallest - frame);
  QRect outer(QPoint(kWindowLeft, kWindowTop), storedOuterSize_);
  if (const QScreen* shownOn = screen())
    outer = FitIntoArea(outer, shownOn->availableGeometry(), smallest);
  resize(outer.size() - frame);
  if (position) move(outer.topLeft());
  ArrangeControls();
}

void TForm1::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  ArrangeControls();
}

void TForm1::ArrangeControls() {
  // Measured on the outer size, which the stored one is, so that the frame's own size (which
  // differs from one desktop to another) moves nothing.
  const QSize growth =
      (size() + FrameSize() - storedOuterSize_).expandedTo(SmallestGrowth(storedPlaces_));
  const ControlPlaces placed = PlaceControls(storedPlaces_, growth);
  ScrollBox1->setGeometry(placed.view);
  for (std::size_t i = 0; i < effectButtons_.size(); ++i)
    effectButtons_[i]->setGeometry(placed.effects[i]);
  Button11->setGeometry(placed.png);
}

void OpenCommandLineFile(TForm1& form, const QStringList& arguments) {
  if (arguments.size() < 2) return;
  const QString& name = arguments[1];  // copied into the deferred call
  QTimer::singleShot(0, &form, [&form, name] { form.OpenNamedFile(name); });
}

void TForm1::Save1Click(QObject*) {
  SavePictureAs();
}

bool TForm1::HasPicture() {
  return Image1->Picture().HasGraphic() && !Image1->Picture().Bitmap().Empty();
}

bool TForm1::SavePictureAs() {
  if (!HasPicture()) return false;
  const auto name = CurrentDialogs().SaveFile(this, SavePictureDialog1);
  if (!name) return false;
  SaveBitmapFile(Image1->Picture().Bitmap(), name->toStdString());
  pictureChanged_ = false;
  return true;
}

// ---- Effect commands ----------------------------------------------------------------------
// The effect buttons are wired from the effect table (effects/effect_table.h) by their object
// names; each hands the view's picture to its command and takes the result back.

void TForm1::EffectButtonClick(QObject* sender) {
  const EffectCommand* command = FindEffectButton(sender->objectName().toStdString());
  if (!command) return;
  // Marked before it runs: an effect that fails half-way may have changed the picture.
  if (HasPicture()) pictureChanged_ = true;
  RunEffectCommand(*command, Image1->Picture().Bitmap());
}

void TForm1::Button1Click(QObject*) {
  EffectButtonClick(Button1);
}
void TForm1::Button2Click(QObject*) {
  EffectButtonClick(Button2);
}
void TForm1::Button3Click(QObject*) {
  EffectButtonClick(Button3);
}
void TForm1::Button4Click(QObject*) {
  EffectButtonClick(Button4);
}
void TForm1::Button5Click(QObject*) {
  EffectButtonClick(Button5);
}
void TForm1::Button6Click(QObject*) {
  EffectButtonClick(Button6);
}
void TForm1::Button7Click(QObject*) {
  EffectButtonClick(Button7);
}
void TForm1::Button8Click(QObject*) {
  EffectButtonClick(Button8);
}
void TForm1::Button9Click(QObject*) {
  EffectButtonClick(Button9);
}
void TForm1::Button10Click(QObject*) {
  EffectButtonClick(Button10);
}

// ---- PNG command ----------------------------------------------------------------------------

void TForm1::Button11Click(QObject*) {
  if (Image1->Picture().Bitmap().Empty()) return;
  const auto name = CurrentDialogs().SaveFile(this, SaveDialog1);
  if (!name) return;
  SaveAsPng(*name);
}

void TForm1::SaveAsPng(const QString& fileName) {
  WorkProgress progress(this, QString::fromUtf8(msg::kPngProgress));
  SavePngFile(
      Image1->Picture().Bitmap(), fileName.toStdString(), ZlibDeflate(),
      [&progress](std::uint64_t done, std::uint64_t total) { progress.Report(done, total); });
  pictureChanged_ = false;
}

// ---- Scanner command ------------------------------------------------------------------------

void TForm1::N1Click(QObject*) {
  // The manager and the source know the main window by its QWidget*.
  TW_HANDLE const window = static_cast<QWidget*>(this);
  if (!MayDiscardPicture()) return;
  if (!GlobalTwain().SelectSource(window)) return;
  if (!GlobalTwain().Acquire(*ScanBitmap, true, window)) return;
  Image1->Picture().Clear();
  Image1->Picture().Bitmap().Assign(*ScanBitmap);
  // Until it is saved the scan is nowhere else: a feeder's sheet has already gone through.
  pictureChanged_ = true;
}
