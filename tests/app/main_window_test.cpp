// The main window on the offscreen platform: layout, captions, and the file commands driven
// through scripted dialogs.
#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLibraryInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QTreeView>
#include <QtTest>
#include <cmath>
#include <filesystem>

#include "app/TorvaskUnit1.h"
#include "effects/effect_table.h"
#include "platform/bmp.h"
#include "platform/feedback.h"
#include "platform/picture_files.h"
#include "support/scripted_dialogs.h"
#include "support/test_support.h"

// Notes the events that show a command's feedback: paints of the window, and the moment the
// view takes a new picture's size (the work), with the cursor at that moment.
class FeedbackLog : public QObject {
 public:
  FeedbackLog(QWidget* window, QWidget* view) : window_(window), view_(view) {
    window->installEventFilter(this);
    view->installEventFilter(this);
  }
  QStringList entries;
  static QString Cursor() {
    const QCursor* cursor = QApplication::overrideCursor();
    return !cursor                             ? "no cursor"
           : cursor->shape() == Qt::WaitCursor ? "wait cursor"
                                               : "normal cursor";
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == window_ && event->type() == QEvent::Paint && entries.value(-1) != "paint")
      entries << "paint";
    if (watched == view_ && event->type() == QEvent::Resize) entries << "work, " + Cursor();
    return false;
  }

 private:
  QWidget* window_;
  QWidget* view_;
};

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  ScratchDir dir_;

  // The view's size for a picture on this display: smaller in logical pixels on a scaled one,
  // so that one device pixel still shows one image pixel.
  static QSize Logical(const TForm1& form, int w, int h) {
    const qreal ratio = form.Image1->devicePixelRatioF();
    return QSize(int(std::ceil(w / ratio)), int(std::ceil(h / ratio)));
  }

  QString WritePicture(const std::string& name, int width, int height) {
    HBITMAP h = MakePicture(width, height, [](int x, int y) {
      return Bgr{uint8_t(x), uint8_t(y), 77};
    });
    WriteBytes(dir_ / name, EncodeBitmapFile(*h.get()));
    return QString::fromStdString(dir_ / name);
  }

 private slots:
  void initTestCase() {
    SetUpApplication();
    // The windows of the tests close and open again; the application goes on.
    QApplication::setQuitOnLastWindowClosed(false);
  }

  void layoutMatchesTheStoredForm() {
    TForm1 form;
    QCOMPARE(form.windowTitle(), QString("Lumivane"));
    QCOMPARE(form.geometry(), QRect(350, 122, 795, 636));
    QCOMPARE(form.font().pixelSize(), 12);
    QVERIFY(form.font().families().contains("Noto Sans CJK JP"));

    // The rectangles users see first: the picture's box and the PNG button at its foot.
    QCOMPARE(form.ScrollBox1->geometry(), QRect(8, 8, 617, 561));
    QCOMPARE(form.ScrollBox1->widget(), form.Image1);
    QCOMPARE(form.Image1->geometry(), QRect(0, 0, 265, 145));
    QCOMPARE(form.Button11->geometry(), QRect(648, 528, 105, 33));
    QCOMPARE(form.Button11->text(), QString("PNG形式で保存"));

    // The layout's rule for the effect buttons: one column right of the picture's box, in the
    // table's order from the top, each of one size and a fixed pitch, above the PNG button and
    // inside the window. The captions come from the table (effect_commands_test checks them).
    const QWidget* client = form.ScrollBox1->parentWidget();
    const auto commands = EffectCommands();
    QList<QPushButton*> effectButtons;
    for (const EffectCommand& command : commands) {
      auto* button = client->findChild<QPushButton*>(QString::fromUtf8(command.button));
      QVERIFY2(button, command.button.data());
      QCOMPARE(button->parentWidget(), client);
      effectButtons << button;
    }
    // The window's area below its menu (the central widget takes it once the window is shown).
    const QRect inside(QPoint(0, 0), form.size() - QSize(0, form.MainMenu1->sizeHint().height()));
    const QRect first = effectButtons[0]->geometry();
    QCOMPARE(first, QRect(648, 0, 113, 25));
    const int pitch = 40;
    for (int i = 0; i < effectButtons.size(); ++i) {
      const QRect r = effectButtons[i]->geometry();
      QCOMPARE(r, first.translated(0, i * pitch));
      QVERIFY(r.left() > form.ScrollBox1->geometry().right());
      QVERIFY(inside.contains(r));
    }
    QVERIFY(effectButtons.back()->geometry().bottom() < form.Button11->geometry().top());
    QCOMPARE(form.Button11->x(), first.x());
    QVERIFY(inside.contains(form.Button11->geometry()));

    // Tab order: the picture's box, the effect buttons from the top down, then the PNG button.
    QList<QWidget*> order;
    QWidget* w = form.ScrollBox1;
    do {
      if (w == form.ScrollBox1 || qobject_cast<QPushButton*>(w)) order << w;
      w = w->nextInFocusChain();
    } while (w != form.ScrollBox1);
    QList<QWidget*> expected{form.ScrollBox1};
    for (QPushButton* button : effectButtons) expected << button;
    expected << form.Button11;
    QCOMPARE(order, expected);

    // One menu, three items, no separators; Ctrl+Q on the window closes it.
    const auto menus = form.MainMenu1->actions();
    QCOMPARE(menus.size(), 1);
    QCOMPARE(menus[0]->text(), QString("ファイル"));
    const auto items = form.File1->actions();
    QCOMPARE(items.size(), 3);
    const char* captions[] = {"開く", "保存", "スキャナー"};
    const char* shortcuts[] = {"Ctrl+O", "Ctrl+S", ""};
    for (int i = 0; i < 3; ++i) {
      QCOMPARE(items[i]->text(), QString(captions[i]));
      QCOMPARE(items[i]->shortcut(), QKeySequence(shortcuts[i]));
    }
    QVERIFY(form.actions().contains(form.CloseWindow1));
    QCOMPARE(form.CloseWindow1->shortcut(), QKeySequence("Ctrl+Q"));
    QCOMPARE(items[0], form.Open1);
    QCOMPARE(items[2], form.N1);

    QCOMPARE(form.OpenPictureDialog1.filter.toStdString(),
             PictureDialogFilter(PictureDialog::kOpen));
    QCOMPARE(form.SavePictureDialog1.filter.toStdString(),
             PictureDialogFilter(PictureDialog::kSave));
    QCOMPARE(form.OpenPictureDialog1.filterIndex, 1);
    QCOMPARE(form.SavePictureDialog1.defaultSuffix, QString("bmp"));
    QCOMPARE(form.SaveDialog1.filter, QString("png|*.png"));
    QCOMPARE(form.SaveDialog1.initialName, QString("*.png"));
    QCOMPARE(form.SaveDialog1.defaultSuffix, QString("png"));
  }

  // On the test's 1600 x 1000 screen the window opens at its stored place, at 200 % inside the
  // screen. The view takes what the window gains or loses, the buttons keep to the right edge
  // (the PNG button also to the bottom), all whole and apart even at the smallest size.
  void theViewTakesWhatTheWindowGains() {
    TForm1 form;
    const QRect stored = form.frameGeometry();
    const auto controls = form.centralWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    QList<QRect> places;
    for (const QWidget* control : controls) places << control->geometry();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));  // the frame is known
    QVERIFY(form.screen()->availableGeometry().contains(form.frameGeometry()));
    if (form.screen()->availableGeometry().contains(stored)) QCOMPARE(form.frameGeometry(), stored);
    for (const QSize growth :
         {QSize(0, 0), QSize(705, 264), QSize(-150, -120), QSize(-900, -900)}) {
      form.resize(form.size() + stored.size() + growth - form.frameGeometry().size());
      const QSize grown = form.frameGeometry().size() - stored.size();
      const bool smallest = growth.width() == -900;
      QCOMPARE(smallest ? form.size() : grown, smallest ? form.minimumSize() : growth);
      for (int i = 0; i < controls.size(); ++i) {
        const QRect r = controls[i]->geometry(), was = places[i];
        const bool view = controls[i] == form.ScrollBox1, png = controls[i] == form.Button11;
        QCOMPARE(r.size(), view ? was.size() + grown : was.size());
        QCOMPARE(r.x(), view ? was.x() : was.x() + grown.width());
        if (!smallest || view || png) QCOMPARE(r.y(), was.y() + (png ? grown.height() : 0));
        QVERIFY(form.centralWidget()->rect().contains(r));
        for (int j = 0; j < i; ++j) QVERIFY(!r.intersects(controls[j]->geometry()));
      }
    }
  }

  // The window names its menu entry and carries the entry's icon, at every installed size and
  // as the SVG renders.
  void theWindowBelongsToItsMenuEntry() {
    QCOMPARE(QGuiApplication::desktopFileName(), QString("org.lumivane.Lumivane"));
    TForm1 form;
    const QIcon icon = form.windowIcon();
    QVERIFY(!icon.isNull());
    QList<QSize> sizes;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) sizes << QSize(size, size);
    QCOMPARE(icon.availableSizes(), sizes);
    ScratchDir scratch;
    const std::string rendered = scratch / "48.png";
    QCOMPARE(RunShell("rsvg-convert -w 48 -h 48 -o " + ShellQuote(rendered) + " " +
                      ShellQuote(LUMIVANE_ICON_SVG)),
             0);
    const QImage expected = QImage(QString::fromStdString(rendered));
    QVERIFY(!expected.isNull());
    QCOMPARE(icon.pixmap(QSize(48, 48), 1.0)
                 .toImage()
                 .convertToFormat(QImage::Format_ARGB32_Premultiplied),
             expected.convertToFormat(QImage::Format_ARGB32_Premultiplied));
  }

  void openShowsThePictureAtItsSize() {
    ScriptedDialogsScope dialogs;
    TForm1 form;
    form.show();
    dialogs->answers = {WritePicture("small.bmp", 300, 200)};
    form.Open1->trigger();
    QCOMPARE(form.Image1->size(), Logical(form, 300, 200));
    QVERIFY(dialogs->errors.empty());
    QCOMPARE(dialogs->asked.size(), size_t(1));
    QVERIFY(dialogs->asked[0].preview);

    // Larger than the scroll box: scroll bars appear.
    dialogs->answers = {WritePicture("large.bmp", 1400, 1200)};
    form.Open1->trigger();
    QCOMPARE(form.Image1->size(), Logical(form, 1400, 1200));
    QVERIFY(form.ScrollBox1->horizontalScrollBar()->maximum() > 0);
    QVERIFY(form.ScrollBox1->verticalScrollBar()->maximum() > 0);

    // Drawn at one device pixel per image pixel.
    const QImage shown = form.Image1->grab().toImage();
    QCOMPARE(shown.size(), QSize(1400, 1200));
    for (const QPoint p : {QPoint(3, 2), QPoint(1399, 1199), QPoint(500, 1)})
      QCOMPARE(QColor(shown.pixel(p)), QColor(77, p.y() & 0xFF, p.x() & 0xFF));
  }

  void failedOpenKeepsThePictureAndShowsTheMessage() {
    ScriptedDialogsScope dialogs;
    TForm1 form;
    dialogs->answers = {WritePicture("keep.bmp", 40, 30)};
    form.Open1->trigger();
    const std::string missing = dir_ / "missing.bmp";
    dialogs->answers = {QString::fromStdString(missing)};
    form.Open1->trigger();
    QCOMPARE(dialogs->errors.size(), size_t(1));
    QCOMPARE(dialogs->errors[0].first, QString("Lumivane"));
    QCOMPARE(dialogs->errors[0].second.toStdString(), "ファイル " + missing + " は開けません.");
    QCOMPARE(form.Image1->Picture().Bitmap().Width(), 40);
    QCOMPARE(form.Image1->size(), Logical(form, 40, 30));

    dialogs->answers = {QString()};  // cancelled
    form.Open1->trigger();
    QCOMPARE(form.Image1->Picture().Bitmap().Width(), 40);
  }

  // Open stands for every command: the normal cursor while its dialog waits, then the window
  // repainted and the wait cursor during the work; other commands are refused meanwhile.
  void aCommandShowsItIsBusyAndTakesNoOtherCommand() {
    ScriptedDialogsScope dialogs;
    TForm1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    dialogs->answers = {WritePicture("first.bmp", 30, 20)};
    form.Open1->trigger();

    FeedbackLog log(&form, form.Image1);
    dialogs->answers = {WritePicture("second.bmp", 40, 25)};
    bool inside = false;
    dialogs->whileAsked = [&] {
      if (std::exchange(inside, true)) return;  // a nested open would ask again
      log.entries << "dialog, " + FeedbackLog::Cursor();
      form.Button10->click();  // the mirror
      form.Open1->trigger();
      form.Save1->trigger();
      const bool refused =
          form.Image1->Picture().Bitmap().RowAt(0)[0] == 0 && dialogs->asked.size() == 2;
      log.entries << (refused ? "other commands refused" : "other commands ran");
    };
    form.Open1->trigger();
    QCOMPARE(log.entries, QStringList({"paint", "dialog, normal cursor", "other commands refused",
                                       "paint", "work, wait cursor"}));
    QCOMPARE(FeedbackLog::Cursor(), QString("no cursor"));

    // The next command runs as usual.
    form.Button10->click();
    QCOMPARE(form.Image1->Picture().Bitmap().RowAt(0)[0], uint8_t(39));
  }

  // The progress dialog of long work appears only once the work has lasted about half a second.
  void progressAppearsOnlyForLongWork() {
    QCOMPARE(ProgressDelay(), std::chrono::milliseconds(500));
    const struct {
      unsigned long pauseMs;
      bool shown;
    } cases[] = {{0, false}, {600, true}};
    for (const auto& c : cases) {
      QWidget window;
      window.show();
      WorkProgress progress(&window, "label");
      for (int done = 1; done <= 10; ++done) {
        if (done == 5) QThread::msleep(c.pauseMs);
        progress.Report(done, 10);
      }
      auto* dialog = window.findChild<QProgressDialog*>();
      QVERIFY(dialog);
      QCOMPARE(dialog->isVisible(), c.shown);
      QCOMPARE(dialog->windowModality(), Qt::WindowModal);
      QCOMPARE(dialog->value(), 1000);
    }
  }

  // A file named on the command line or dropped on the window opens as a chosen one does, with
  // the same name rule and messages; a failure leaves the window as it was.
  void filesNamedOutsideTheDialogOpenLikeAChosenOne() {
    const QString good = WritePicture("named.bmp", 30, 20);
    WriteBytes(dir_ / "text.jpg", {'t', 'e', 'x', 't'});
    const std::string missing = dir_ / "missing.bmp";
    const struct {
      const char* how;
      QString file;
      int width;  // of the picture afterwards; 0: empty
      std::string error;
    } cases[] = {
        {"command line", good, 30, ""},
        {"command line", QString::fromStdString(missing), 0,
         "ファイル " + missing + " は開けません."},
        {"drop", good, 30, ""},
        {"drop", QString::fromStdString(dir_ / "text.jpg"), 0, "JPEG エラー #"},
    };
    for (const auto& c : cases) {
      ScriptedDialogsScope dialogs;
      TForm1 form;
      form.show();
      if (c.how == std::string("command line")) {
        OpenCommandLineFile(form, {"lumivane", c.file});
      } else {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(c.file)});
        QDragEnterEvent enter(QPoint(300, 300), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(&form, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(300, 300), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&form, &drop);
        QVERIFY(drop.isAccepted());
      }
      QVERIFY(!form.Image1->Picture().HasGraphic());  // opened once the event loop runs
      QCoreApplication::processEvents();
      QCOMPARE(form.Image1->Picture().Bitmap().Width(), c.width);
      const auto errors = dialogs->ErrorTexts();
      QCOMPARE(errors.size(), size_t(c.error.empty() ? 0 : 1));
      if (!c.error.empty()) QVERIFY2(errors[0].starts_with(c.error), errors[0].c_str());
      QVERIFY(dialogs->asked.empty());
    }

    // Nothing else is taken: no argument, text, several files.
    TForm1 form;
    OpenCommandLineFile(form, {"lumivane"});
    QMimeData text, two;
    text.setText(good);
    two.setUrls({QUrl::fromLocalFile(good), QUrl::fromLocalFile(good)});
    for (QMimeData* data : {&text, &two}) {
      QDragEnterEvent enter(QPoint(300, 300), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(&form, &enter);
      QVERIFY(!enter.isAccepted());
    }
    QCoreApplication::processEvents();
    QVERIFY(!form.Image1->Picture().HasGraphic());
  }

  // A picture changed since it was opened or saved is offered for saving before anything
  // replaces it or the window closes; 保存 is the bitmap save, and when that is cancelled
  // nothing goes on. A picture that did not change goes without a question.
  // So does an empty one, which 保存 writes nowhere (not over an existing file either).
  void aChangedPictureIsOfferedForSavingFirst() {
    const QString first = WritePicture("first.bmp", 30, 20);
    const QString second = WritePicture("second.bmp", 40, 25);
    const std::string saved = dir_ / "changed.bmp";
    using A = SaveChangesAnswer;
    const struct {
      const char* state;
      std::optional<A> answer;  // none: no question expected
      QString saveName;         // the save dialog's answer after 保存; empty cancels it
      bool goesOn;
    } answers[] = {
        {"opened", std::nullopt, {}, true},
        {"changed and saved", std::nullopt, {}, true},
        {"changed and saved as PNG", std::nullopt, {}, true},
        {"empty", std::nullopt, {}, true},
        {"changed", A::kSave, QString::fromStdString(saved), true},
        {"changed", A::kSave, {}, false},
        {"changed", A::kDontSave, {}, true},
        {"changed", A::kCancel, {}, false},
    };
    // 開く by its key (the layout test checks the keys of the menu's items).
    const char* const triggers[] = {"close", "Ctrl+Q", "Ctrl+O", "command line", "drop"};
    for (const char* trigger : triggers) {
      for (const auto& a : answers) {
        const QString what = QString("%1, %2, answer %3 %4")
                                 .arg(trigger, a.state)
                                 .arg(a.answer ? int(*a.answer) : -1)
                                 .arg(a.saveName);
        ScriptedDialogsScope dialogs;
        std::filesystem::remove(saved);
        TForm1 form;
        form.show();
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        const std::string state = a.state, before = dir_ / "saved-before";
        WriteBytes(before, {'o', 'l', 'd'});
        dialogs->answers = {first};
        if (state != "empty") form.Open1->trigger();
        if (state != "opened") form.Button10->click();  // the mirror; on nothing it leaves nothing
        dialogs->answers = {QString::fromStdString(before)};
        if (state == "changed and saved" || state == "empty") form.Save1->trigger();
        if (state == "changed and saved as PNG") form.Button11->click();
        QCOMPARE(ReadBytes(before).size() == 3, !state.starts_with("changed and saved"));
        QCOMPARE(form.PictureChanged(), state == "changed");
        const BitmapObject* shown = form.Image1->Picture().Bitmap().Object();
        const auto shownBefore = shown ? PixelsOf(*shown) : std::vector<Bgr>();
        dialogs->asked.clear();
        if (a.answer) dialogs->saveAnswers = {*a.answer};
        dialogs->answers.clear();
        if (a.answer == A::kSave) dialogs->answers.push_back(a.saveName);
        if (std::string(trigger) == "Ctrl+O") dialogs->answers.push_back(second);

        if (std::string(trigger) == "close") {
          form.close();
        } else if (std::string(trigger) == "Ctrl+Q") {
          QTest::keyClick(&form, Qt::Key_Q, Qt::ControlModifier);
        } else if (std::string(trigger) == "Ctrl+O") {
          QTest::keyClick(&form, Qt::Key_O, Qt::ControlModifier);
        } else if (std::string(trigger) == "command line") {
          OpenCommandLineFile(form, {"lumivane", second});
        } else {
          QMimeData data;
          data.setUrls({QUrl::fromLocalFile(second)});
          QDragEnterEvent enter(QPoint(300, 300), Qt::CopyAction, &data, Qt::LeftButton,
                                Qt::NoModifier);
          QApplication::sendEvent(&form, &enter);
          QDropEvent drop(QPointF(300, 300), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
          QApplication::sendEvent(&form, &drop);
        }
        QCoreApplication::processEvents();

        QCOMPARE(dialogs->questions.size(), size_t(a.answer ? 1 : 0));
        if (a.answer) {
          QCOMPARE(dialogs->questions[0].first, QString("Lumivane"));
          QCOMPARE(dialogs->questions[0].second, QString("変更を保存しますか?"));
        }
        QVERIFY2(dialogs->errors.empty(), qPrintable(what));
        const bool closes = std::string(trigger) == "close" || std::string(trigger) == "Ctrl+Q";
        if (closes) {
          QVERIFY2(form.isVisible() != a.goesOn, qPrintable(what));
        } else {
          QVERIFY2(form.Image1->Picture().Bitmap().Width() == (a.goesOn ? 40 : 30),
                   qPrintable(what));
          QCOMPARE(form.PictureChanged(), !a.goesOn);
        }
        const bool savedNow = a.answer == A::kSave && !a.saveName.isEmpty();
        QVERIFY2(std::filesystem::exists(saved) == savedNow, qPrintable(what));
        if (savedNow) {
          QVERIFY2(PixelsOf(*DecodeBitmapFile(ReadBytes(saved)).get()) == shownBefore,
                   qPrintable(what));
          QCOMPARE(dialogs->asked.front().defaultSuffix, QString("bmp"));
        }
      }
    }
  }

  // Qt's question box: its three buttons give their answers, Escape cancels.
  void theQuestionBoxAnswersByItsButtons() {
    using A = SaveChangesAnswer;
    const struct {
      const char* button;  // "" presses Escape
      A answer;
    } cases[] = {{"保存", A::kSave},
                 {"保存しない", A::kDontSave},
                 {"キャンセル", A::kCancel},
                 {"", A::kCancel}};
    for (const auto& c : cases) {
      QStringList buttons;
      QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        QCOMPARE(box->text(), QString("変更を保存しますか?"));
        QCOMPARE(box->icon(), QMessageBox::Question);
        for (auto* button : box->buttons()) buttons << button->text();
        if (*c.button == '\0') {
          QTest::keyClick(box, Qt::Key_Escape);
          return;
        }
        for (auto* button : box->buttons())
          if (button->text() == c.button) button->click();
      });
      QCOMPARE(CurrentDialogs().AskSaveChanges(nullptr, "Lumivane", "変更を保存しますか?"),
               c.answer);
      buttons.sort();
      QCOMPARE(buttons, QStringList({"キャンセル", "保存", "保存しない"}));
    }
  }

  void saveWritesABitmapOnlyWhenThereIsAPicture() {
    ScriptedDialogsScope dialogs;
    TForm1 form;
    const std::string target = dir_ / "saved.jpg";
    dialogs->answers = {QString::fromStdString(target)};
    form.Save1->trigger();  // nothing loaded yet: no file
    QVERIFY(!std::filesystem::exists(target));
    QVERIFY(dialogs->asked.empty());

    dialogs->answers = {WritePicture("in.bmp", 7, 5), QString()};
    form.Open1->trigger();
    form.Save1->trigger();  // cancelled
    QVERIFY(!std::filesystem::exists(target));

    dialogs->answers = {QString::fromStdString(target)};
    form.Save1->trigger();
    QCOMPARE(ReadBytes(target), ReadBytes(dir_ / "in.bmp"));
    QVERIFY(dialogs->errors.empty());
  }

  // Qt's own dialogs as the window sets them up: filter entries, the preview, the default
  // suffix, and Qt's question before an existing file is replaced.
  void qtDialogsFollowTheOptions() {
    TForm1 form;
    const QString picture = WritePicture("preview.bmp", 64, 48);
    QStringList filters;
    bool previewShown = false;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      QVERIFY(dialog);
      filters = dialog->nameFilters();
      QCOMPARE(dialog->selectedNameFilter(), filters.value(0));
      emit dialog->currentChanged(picture);
      for (auto* label : dialog->findChildren<QLabel*>())
        if (!label->pixmap().isNull()) previewShown = true;
      dialog->reject();
    });
    QVERIFY(!CurrentDialogs().OpenFile(&form, form.OpenPictureDialog1));
    // The entries and their order, also with Qt's Japanese texts loaded.
    QCOMPARE(filters, QStringList({"すべてのファイル (*.png *.jpg *.jpeg *.bmp *.ico *.emf *.wmf)",
                                   "PNG イメージファイル (*.png)", "JPEG イメージファイル (*.jpg)",
                                   "JPEG イメージファイル (*.jpeg)", "ビットマップ (*.bmp)",
                                   "アイコン (*.ico)", "エンハンス メタファイル (*.emf)",
                                   "メタファイル (*.wmf)"}));
    QVERIFY(previewShown);

    const QString typed = QString::fromStdString(dir_ / "result");
    WriteBytes(dir_ / "result.bmp", {'o', 'l', 'd'});
    const struct {
      QMessageBox::StandardButton answer;
      bool chosen;
    } cases[] = {{QMessageBox::No, false}, {QMessageBox::Yes, true}};
    for (const auto& c : cases) {
      QString question;
      QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        QVERIFY(!dialog->testOption(QFileDialog::DontConfirmOverwrite));
        dialog->selectFile(typed);
        QTimer::singleShot(0, [&] {
          auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
          QVERIFY(box);
          question = box->text();
          box->button(c.answer)->click();
        });
        QMetaObject::invokeMethod(dialog, "accept");
        if (dialog->isVisible()) dialog->reject();  // "no" leaves the dialog open
      });
      const auto chosen = CurrentDialogs().SaveFile(&form, form.SavePictureDialog1);
      QVERIFY2(question.contains("result.bmp"), qPrintable(question));
      QCOMPARE(chosen.has_value(), c.chosen);
      if (c.chosen) QCOMPARE(*chosen, typed + ".bmp");
    }
    QCOMPARE(ReadBytes(dir_ / "result.bmp"), std::vector<std::uint8_t>({'o', 'l', 'd'}));
  }

  // Qt's file dialog shows the name, size, type and date of every entry in full, and the type of
  // a folder in Japanese like the rest (where the system has Qt's Japanese translations).
  void fileDialogColumnsShowInFull() {
    ScratchDir folder;
    std::filesystem::create_directory(folder.path() / "サブフォルダ");
    WriteBytes(folder / "a-picture-with-a-rather-long-name-for-the-column.bmp", {'B', 'M'});
    WriteBytes(folder / "b.jpg", {0xFF, 0xD8, 0xFF});
    FileDialogOptions options;
    options.filter = "all|*";
    options.initialName = QString::fromStdString(folder / "b.jpg");
    const bool japanese =
        QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_ja.qm");
    bool checked = false;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      QVERIFY(dialog);
      const auto close = qScopeGuard([dialog] { dialog->reject(); });  // also after a failure
      auto* view = dialog->findChild<QTreeView*>("treeView");
      QVERIFY(view && view->isVisible());
      QTRY_COMPARE(view->model()->rowCount(view->rootIndex()), 3);
      QTest::qWait(50);  // the widths follow the rows
      const QAbstractItemView* asView = view;
      for (int column = 0; column < 4; ++column) {
        const int needed =
            std::max(asView->sizeHintForColumn(column), view->header()->sectionSizeHint(column));
        QVERIFY2(view->columnWidth(column) >= needed, qPrintable(QString("column %1: %2 < %3")
                                                                     .arg(column)
                                                                     .arg(view->columnWidth(column))
                                                                     .arg(needed)));
      }
      // The dialog takes at most the screen (the test's is 1600 x 1000, half that at
      // 200 %). 800 pixels hold these columns without scrolling; 400 do not.
      const QSize screen = dialog->screen()->availableGeometry().size();
      QCOMPARE(dialog->size(), QSize(960, 600).boundedTo(screen));
      if (screen.width() >= 800) QCOMPARE(view->horizontalScrollBar()->maximum(), 0);
      if (japanese) {
        const QModelIndex sub = view->model()->index(0, 2, view->rootIndex());
        QCOMPARE(view->model()->index(0, 0, view->rootIndex()).data().toString(),
                 QString("サブフォルダ"));
        QCOMPARE(sub.data().toString(), QString("フォルダ"));
      }
      checked = true;
    });
    CurrentDialogs().OpenFile(nullptr, options);
    QVERIFY(checked);
  }

  // Qt's own texts are Japanese whatever the locale the test runs in, where the system has
  // Qt's Japanese translations.
  void qtTextsAreJapanese() {
    const QString translations = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!QFile::exists(translations + "/qtbase_ja.qm"))
      QSKIP("Qt's Japanese translations (qt6-translations-l10n) are not installed");
    QMessageBox box(QMessageBox::Critical, "Lumivane", "text",
                    QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(box.button(QMessageBox::Cancel)->text(), QString("キャンセル"));

    TForm1 form;
    QString lookIn;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      QVERIFY(dialog);
      lookIn = dialog->labelText(QFileDialog::LookIn);
      for (auto* button : dialog->findChildren<QPushButton*>())
        QVERIFY2(button->text() != "Cancel" && button->text() != "&Open",
                 qPrintable(button->text()));
      dialog->reject();
    });
    CurrentDialogs().OpenFile(&form, form.OpenPictureDialog1);
    QCOMPARE(lookIn, QCoreApplication::translate("QFileDialog", "Look in:"));
    QVERIFY(lookIn != "Look in:");
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
