#include "dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QHeaderView>
#include <QImageReader>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QTimer>
#include <QTranslator>
#include <QTreeView>

#include "errors.h"
#include "feedback.h"
#include "picture_files.h"
#include "qimage.h"

namespace {

// "label|pattern|label|pattern" to Qt's "label (globs)" entries. Qt reads the globs from the
// parentheses at the end of an entry and wants them separated by blanks; a label that already
// ends in its pattern in parentheses is shown once, with blanks in place of ";".
QStringList QtFilters(const QString& filter) {
  const QStringList parts = filter.split('|');
  QStringList out;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString label = parts[i];
    const QString& pattern = parts[i + 1];
    QString globs = pattern;
    globs.replace(';', ' ');
    const QString suffix = " (" + pattern + ")";
    if (label.endsWith(suffix)) label.chop(suffix.size());
    out << label + " (" + globs + ")";
  }
  return out;
}

// The size Qt's dialog opens at (636 x 416) cuts the columns of its file list.
constexpr QSize kFileDialogSize(960, 600);

// In the file list, the size, type and date columns take the width of what they show each time
// a folder has been listed, and the name column the rest, at least its own.
void FitColumns(QFileDialog& dialog) {
  auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
  auto* model = dialog.findChild<QFileSystemModel*>();
  if (!view || !model) return;
  const auto fit = [view] {
    int others = 0;
    for (int column = 1; column < view->model()->columnCount(); ++column) {
      view->resizeColumnToContents(column);
      if (!view->isColumnHidden(column)) others += view->columnWidth(column);
    }
    view->resizeColumnToContents(0);
    view->setColumnWidth(0, std::max(view->columnWidth(0), view->viewport()->width() - others));
  };
  // Rows arrive a few at a time after the listing; the widths follow once they are in.
  QObject::connect(model, &QFileSystemModel::directoryLoaded, view,
                   [view, fit] { QTimer::singleShot(0, view, fit); });
  QObject::connect(model, &QAbstractItemModel::rowsInserted, view,
                   [view, fit] { QTimer::singleShot(0, view, fit); });
}

void Configure(QFileDialog& dialog, const FileDialogOptions& options) {
  // Qt draws its dialogs itself: they hold the preview and speak the program's language, where
  // a desktop's own dialog would follow the system's locale.
  dialog.setOption(QFileDialog::DontUseNativeDialog, true);
  dialog.setViewMode(QFileDialog::Detail);
  QSize size = kFileDialogSize;
  if (const QScreen* screen = dialog.screen())
    size = size.boundedTo(screen->availableGeometry().size());
  dialog.resize(size);
  FitColumns(dialog);
  if (!options.title.isEmpty()) dialog.setWindowTitle(options.title);
  const QStringList filters = QtFilters(options.filter);
  dialog.setNameFilters(filters);
  if (options.filterIndex >= 1 && options.filterIndex <= filters.size())
    dialog.selectNameFilter(filters[options.filterIndex - 1]);
  if (!options.defaultSuffix.isEmpty()) dialog.setDefaultSuffix(options.defaultSuffix);
  if (!options.initialName.isEmpty()) dialog.selectFile(options.initialName);
}

// A preview of the selected picture beside the file list of a Qt-drawn dialog.
void AddPreview(QFileDialog& dialog) {
  auto* grid = qobject_cast<QGridLayout*>(dialog.layout());
  if (!grid) return;
  auto* preview = new QLabel(&dialog);  // owned by the dialog
  preview->setFixedSize(200, 200);
  preview->setAlignment(Qt::AlignCenter);
  preview->setFrameShape(QFrame::StyledPanel);
  grid->addWidget(preview, 1, grid->columnCount(), grid->rowCount() - 1, 1);
  QObject::connect(&dialog, &QFileDialog::currentChanged, preview, [preview](const QString& path) {
    QPixmap pixmap;
    try {  // a file that does not open simply shows no preview
      TBitmap picture;
      LoadPictureFile(picture, path.toStdString());
      if (const BitmapObject* object = picture.Object())
        pixmap = QPixmap::fromImage(ToQImage(*object).scaled(preview->size(), Qt::KeepAspectRatio,
                                                             Qt::SmoothTransformation));
    } catch (...) {
    }
    preview->setPixmap(pixmap);
  });
}

class QtDialogs final : public Dialogs {
 public:
  std::optional<QString> OpenFile(QWidget* parent, const FileDialogOptions& options) override {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);  // a typed name need not exist
    Configure(dialog, options);
    if (options.preview) AddPreview(dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().front();
  }

  std::optional<QString> SaveFile(QWidget* parent, const FileDialogOptions& options) override {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // Qt asks before an existing file is replaced (a picked name is easily a wrong one).
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    Configure(dialog, options);
    if (options.preview) AddPreview(dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().front();
  }

  void ShowError(QWidget* parent, const QString& caption, const QString& text) override {
    QMessageBox::critical(parent, caption, text);
  }

  SaveChangesAnswer AskSaveChanges(QWidget* parent, const QString& caption,
                                   const QString& text) override {
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::NoButton, parent);
    QPushButton* save = box.addButton(QString::fromUtf8(msg::kSaveButton), QMessageBox::AcceptRole);
    QPushButton* discard =
        box.addButton(QString::fromUtf8(msg::kDontSaveButton), QMessageBox::DestructiveRole);
    QPushButton* cancel =
        box.addButton(QString::fromUtf8(msg::kCancelButton), QMessageBox::RejectRole);
    box.setDefaultButton(save);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == save) return SaveChangesAnswer::kSave;
    if (box.clickedButton() == discard) return SaveChangesAnswer::kDontSave;
    return SaveChangesAnswer::kCancel;
  }
};

std::unique_ptr<Dialogs>& Installed() {
  static std::unique_ptr<Dialogs> dialogs = std::make_unique<QtDialogs>();
  return dialogs;
}

// The installed dialogs, each asked in the user's turn: inside a busy command the normal cursor
// shows while a dialog is up, and the window is repainted before the work goes on.
class UserTurnDialogs final : public Dialogs {
 public:
  std::optional<QString> OpenFile(QWidget* parent, const FileDialogOptions& options) override {
    const UserTurn turn;
    return Installed()->OpenFile(parent, options);
  }
  std::optional<QString> SaveFile(QWidget* parent, const FileDialogOptions& options) override {
    const UserTurn turn;
    return Installed()->SaveFile(parent, options);
  }
  void ShowError(QWidget* parent, const QString& caption, const QString& text) override {
    const UserTurn turn;
    Installed()->ShowError(parent, caption, text);
  }
  SaveChangesAnswer AskSaveChanges(QWidget* parent, const QString& caption,
                                   const QString& text) override {
    const UserTurn turn;
    return Installed()->AskSaveChanges(parent, caption, text);
  }
};

}  // namespace

Dialogs& CurrentDialogs() {
  static UserTurnDialogs dialogs;
  return dialogs;
}

std::unique_ptr<Dialogs> InstallDialogs(std::unique_ptr<Dialogs> dialogs) {
  if (!dialogs) dialogs = std::make_unique<QtDialogs>();
  std::swap(dialogs, Installed());
  return dialogs;
}

void InstallMessageBoxErrorDisplay() {
  SetErrorDisplay([](const std::string& text) {
    CurrentDialogs().ShowError(QApplication::activeWindow(), QApplication::applicationName(),
                               QString::fromStdString(text));
  });
}

namespace {

// The one text of Qt's file dialogs that Qt's Japanese translation lacks: the type of a folder
// in the file list.
class FileTypeTexts final : public QTranslator {
 public:
  using QTranslator::QTranslator;
  bool isEmpty() const override { return false; }
  QString translate(const char* context, const char* sourceText, const char* disambiguation,
                    int n) const override {
    if (qstrcmp(context, "QAbstractFileIconProvider") == 0 && qstrcmp(sourceText, "Folder") == 0)
      return QString::fromUtf8(msg::kFolderType);
    return QTranslator::translate(context, sourceText, disambiguation, n);
  }
};

}  // namespace

bool InstallJapaneseQtTexts() {
  // Dates and sizes in the file dialogs follow the same language.
  QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load(QStringLiteral("qtbase_ja"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    return false;
  if (!QCoreApplication::installTranslator(translator.get())) return false;
  translator.release()->setParent(QCoreApplication::instance());  // the application owns it
  // Installed last, so asked first; it answers only its own text.
  auto fileTypes = std::make_unique<FileTypeTexts>();
  if (QCoreApplication::installTranslator(fileTypes.get()))
    fileTypes.release()->setParent(QCoreApplication::instance());
  return true;
}
