// Dialogs that answer from a script and remember what they were asked and shown.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dialogs.h"

class ScriptedDialogs final : public Dialogs {
 public:
  std::deque<QString> answers;  // one per file dialog; an empty name means cancel
  std::vector<FileDialogOptions> asked;
  std::vector<std::pair<QString, QString>> errors;  // caption, text
  std::function<void()> whileAsked;                 // runs while a file dialog is up
  // One per question whether to save a changed picture; with none left the answer is 保存しない.
  // The questions asked, as caption and text.
  std::deque<SaveChangesAnswer> saveAnswers;
  std::vector<std::pair<QString, QString>> questions;

  std::optional<QString> OpenFile(QWidget*, const FileDialogOptions& options) override {
    return Answer(options);
  }
  std::optional<QString> SaveFile(QWidget*, const FileDialogOptions& options) override {
    return Answer(options);
  }
  void ShowError(QWidget*, const QString& caption, const QString& text) override {
    errors.emplace_back(caption, text);
  }
  SaveChangesAnswer AskSaveChanges(QWidget*, const QString& caption, const QString& text) override {
    questions.emplace_back(caption, text);
    if (saveAnswers.empty()) return SaveChangesAnswer::kDontSave;
    const SaveChangesAnswer answer = saveAnswers.front();
    saveAnswers.pop_front();
    return answer;
  }
  // The texts of the error boxes shown so far.
  std::vector<std::string> ErrorTexts() const {
    std::vector<std::string> texts;
    for (const auto& error : errors) texts.push_back(error.second.toStdString());
    return texts;
  }

 private:
  std::optional<QString> Answer(const FileDialogOptions& options) {
    asked.push_back(options);
    if (whileAsked) whileAsked();
    if (answers.empty()) return std::nullopt;
    const QString answer = answers.front();
    answers.pop_front();
    if (answer.isEmpty()) return std::nullopt;
    return answer;
  }
};

// Installs scripted dialogs for one test and puts the previous ones back afterwards.
class ScriptedDialogsScope {
 public:
  ScriptedDialogsScope() {
    auto owned = std::make_unique<ScriptedDialogs>();
    dialogs_ = owned.get();
    previous_ = InstallDialogs(std::move(owned));
  }
  ~ScriptedDialogsScope() { InstallDialogs(std::move(previous_)); }
  ScriptedDialogs& operator*() { return *dialogs_; }
  ScriptedDialogs* operator->() { return dialogs_; }

 private:
  ScriptedDialogs* dialogs_;
  std::unique_ptr<Dialogs> previous_;
};
