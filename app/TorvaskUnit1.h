// The main window: the picture view, the effect buttons, the PNG button and the file menu.
#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <vector>

#include "app/TImage.h"
#include "app/window_layout.h"
#include "platform/dialogs.h"

class QAction;
class QIcon;
class QMenu;
class QMenuBar;
class QPushButton;
class QScrollArea;
namespace Ui {
class TForm1;
}

class TForm1 : public QMainWindow {
  Q_OBJECT

 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // The components of the stored layout.
  FileDialogOptions OpenPictureDialog1;
  FileDialogOptions SavePictureDialog1;
  QMenuBar* MainMenu1 = nullptr;
  QScrollArea* ScrollBox1 = nullptr;
  QPushButton* Button1 = nullptr;
  TImage* Image1 = nullptr;
  QPushButton* Button2 = nullptr;
  QPushButton* Button3 = nullptr;
  QPushButton* Button4 = nullptr;
  QPushButton* Button5 = nullptr;
  QPushButton* Button6 = nullptr;
  QPushButton* Button7 = nullptr;
  QPushButton* Button8 = nullptr;
  QPushButton* Button9 = nullptr;
  QPushButton* Button10 = nullptr;
  QPushButton* Button11 = nullptr;
  FileDialogOptions SaveDialog1;
  QMenu* File1 = nullptr;
  QAction* Open1 = nullptr;
  QAction* Save1 = nullptr;
  QAction* N1 = nullptr;
  // Ctrl+Q: closes the window (through the question for a changed picture).
  QAction* CloseWindow1 = nullptr;

  // Command handlers. Each runs through RunCommand, which shows any error it raises.
  void Open1Click(QObject* sender);
  void Button1Click(QObject* sender);
  void Button2Click(QObject* sender);
  void Button3Click(QObject* sender);
  void Button4Click(QObject* sender);
  void Button5Click(QObject* sender);
  void Save1Click(QObject* sender);
  void Button6Click(QObject* sender);
  void Button7Click(QObject* sender);
  void Button8Click(QObject* sender);
  void Button9Click(QObject* sender);
  void Button10Click(QObject* sender);
  void Button11Click(QObject* sender);
  void N1Click(QObject* sender);
  // Runs the effect command of the button sender (by its object name, see
  // effects/effect_table.h); every effect button is wired to it. Button1Click .. Button10Click
  // run that of their own button.
  void EffectButtonClick(QObject* sender);
  void FormCreate(QObject* sender);
  void FormDestroy(QObject* sender);

  // Opens a file named outside the open dialog (on the command line, by a drop) as 開く opens
  // the chosen one, through the same command wrapper.
  void OpenNamedFile(const QString& fileName);

  // Whether the picture holds what no file holds: it was scanned, or changed by an effect, since
  // it was opened or last saved.
  bool PictureChanged() const { return pictureChanged_; }

 protected:
  // A file dropped on the window is opened like a chosen one.
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  // The stored size is that of the outer frame: once the window system reports the frame, the
  // client area becomes what remains inside it. On a screen too small for it the window opens
  // inside the screen's available area.
  void setVisible(bool visible) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  // The picture's box takes what the window gains or loses; the buttons keep to the right edge.
  void resizeEvent(QResizeEvent* event) override;
  // A changed picture is offered for saving first; the window stays when the user cancels.
  void closeEvent(QCloseEvent* event) override;

 private:
  using Handler = void (TForm1::*)(QObject*);
  // What a command shows while it runs: the wait cursor (kBusy), or nothing of its own (kNone:
  // the scanner command, whose own dialogs wait for the user, and creation and destruction).
  enum class Feedback { kBusy, kNone };
  void Connect(QPushButton* button, Handler handler, Feedback feedback = Feedback::kBusy);
  void Connect(QAction* action, Handler handler, Feedback feedback = Feedback::kBusy);
  void RunCommand(Handler handler, QObject* sender, Feedback feedback = Feedback::kBusy);
  void RunCommand(const std::function<void()>& command, Feedback feedback);
  // The open command's work once a name is chosen.
  void LoadPicture(const QString& fileName);
  // Before the picture is replaced or the window closes: for a changed picture asks whether to
  // save it and does what the user answers. Returns whether to go on: not after キャンセル, nor
  // when the save was cancelled (a failed save throws).
  bool MayDiscardPicture();
  // Whether the view holds a picture of at least one pixel.
  bool HasPicture();
  // The save of 保存: asks for a name and writes the picture as a bitmap file. Returns whether
  // it was written. An empty picture writes nothing and asks for no name, so that no file is
  // ever replaced by an empty one.
  bool SavePictureAs();
  // The PNG writer: saves the picture of Image1 as a PNG file, nothing for an empty picture.
  void SaveAsPng(const QString& fileName);
  // The frame's size as the window system reports it (nothing until it does).
  QSize FrameSize() const;
  // Sizes the window (and places it, with `position`) from its stored frame rectangle, inside
  // the screen's available area.
  void PlaceOnScreen(bool position);
  void ArrangeControls();

  std::unique_ptr<Ui::TForm1> ui_;
  std::unique_ptr<TBitmap> ScanBitmap;
  bool commandRunning_ = false;
  bool pictureChanged_ = false;
  QSize storedOuterSize_;
  ControlPlaces storedPlaces_;
  std::vector<QPushButton*> effectButtons_;  // from the top down
  bool placed_ = false;                      // placed on the screen at the first show
  bool framePending_ = true;                 // the frame has not been accounted for yet
};

// Application-wide set-up shared by the program and its tests: name, the menu entry it belongs
// to, window icon, Qt's Japanese texts, error display.
void SetUpApplication();
// The program's icon at the sizes of the installed one.
QIcon ApplicationIcon();

// Opens the file named by the program's first argument, if there is one (arguments as
// QCoreApplication::arguments() gives them), once the event loop runs: a failure shows its
// message over the shown window, which stays empty.
void OpenCommandLineFile(TForm1& form, const QStringList& arguments);
