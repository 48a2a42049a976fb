// Dialogs that answer from the test and record the error boxes.
#pragma once

#include <QString>
#include <optional>
#include <vector>

#include "platform/dialogs.h"

class FakeDialogs final : public Dialogs {
 public:
  std::optional<QString> OpenFile(QWidget*, const FileDialogOptions&) override { return answer; }
  std::optional<QString> SaveFile(QWidget*, const FileDialogOptions&) override { return answer; }
  void ShowError(QWidget*, const QString&, const QString& text) override {
    errors->push_back(text.toStdString());
  }

  std::optional<QString> answer;
  std::vector<std::string>* errors = nullptr;
};
