// The source's own windows: the scan dialog and the small progress window of a scan without it.
#pragma once

#include <QDialog>
#include <QWidget>
#include <array>
#include <functional>
#include <optional>
#include <string>

#include "device.h"

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTimer;

namespace scanner {

// What the user chose in the dialog, remembered per device for the next time it is shown.
struct DialogSettings {
  std::optional<ColourMode> mode;
  std::string source;
  double resolution = 0;
  std::optional<std::array<double, 4>> area;  // tl-x, tl-y, br-x, br-y
};

struct ScanActions {
  std::function<void()> scan, cancel, close;
};

class ScanDialog final : public QDialog {
 public:
  // The controls show what device offers; changes go to device at once (it is idle whenever the
  // controls are enabled).
  ScanDialog(QWidget* parent, Device& device, bool modal, ScanActions actions);
  ~ScanDialog() override;

  void Apply(const DialogSettings& settings);
  DialogSettings Current() const;
  void SetScanning(bool scanning);
  void ShowMessage(const QString& text);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  void Refresh();
  void ShowProgress();

  Device& device_;
  ScanActions actions_;
  QComboBox* mode_ = nullptr;
  QSpinBox* resolution_ = nullptr;
  std::array<QDoubleSpinBox*, 4> area_{};
  QComboBox* source_ = nullptr;
  QLabel* size_ = nullptr;
  QLabel* message_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* scan_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QPushButton* close_ = nullptr;
  QTimer* timer_ = nullptr;
  bool refreshing_ = false;
};

// A scan without the dialog: progress and a cancel button.
class ProgressWindow final : public QWidget {
 public:
  ProgressWindow(QWidget* parent, const Device& device, std::function<void()> cancel);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  const Device& device_;
  std::function<void()> cancel_;
  QProgressBar* progress_;
};

// The progress bar shows received of expected bytes, or is busy when the size is not known.
void ShowProgress(QProgressBar& bar, std::int64_t received, std::int64_t expected);

}  // namespace scanner
