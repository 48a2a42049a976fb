// File dialogs and message boxes, behind a seam that tests can answer.
#pragma once

#include <QString>
#include <memory>
#include <optional>

class QWidget;

struct FileDialogOptions {
  QString title;
  QString filter;       // "label|pattern|label|pattern..."
  int filterIndex = 1;  // 1-based entry selected when the dialog opens
  QString defaultSuffix;
  QString initialName;
  bool preview = false;  // show the selected picture beside the file list
};

// The answers to the question whether a changed picture is saved first.
enum class SaveChangesAnswer { kSave, kDontSave, kCancel };

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // The chosen file name, or nothing when the user cancelled.
  virtual std::optional<QString> OpenFile(QWidget* parent, const FileDialogOptions& options) = 0;
  virtual std::optional<QString> SaveFile(QWidget* parent, const FileDialogOptions& options) = 0;
  // A modal message box with the error icon.
  virtual void ShowError(QWidget* parent, const QString& caption, const QString& text) = 0;
  // A modal question with the buttons 保存, 保存しない and キャンセル; closing it cancels.
  virtual SaveChangesAnswer AskSaveChanges(QWidget* parent, const QString& caption,
                                           const QString& text) = 0;
};

// The dialogs in use: Qt's own unless a test installed others. Inside a busy command (see
// feedback.h) each is asked in the user's turn.
Dialogs& CurrentDialogs();
// Installs dialogs (null puts Qt's back) and returns the previous ones.
std::unique_ptr<Dialogs> InstallDialogs(std::unique_ptr<Dialogs> dialogs);

// Makes the default error display a message box with the application's name as caption.
void InstallMessageBoxErrorDisplay();

// Makes Qt's own texts (file dialogs, message-box buttons, context menus) Japanese like the
// rest of the program, whatever the system's locale: loads qtbase_ja from Qt's translations
// folder. Without that file Qt's texts stay English; returns whether it was loaded.
bool InstallJapaneseQtTexts();
