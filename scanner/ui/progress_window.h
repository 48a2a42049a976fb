// The source's window during a scan without the dialog: progress and a cancel button.
#pragma once

#include <QWidget>
#include <cstdint>

#include "scanner/device/device.h"

class QProgressBar;

namespace scanner {

inline constexpr int kProgressIntervalMs = 100;

class ProgressWindow final : public QWidget {
  Q_OBJECT

 public:
  ProgressWindow(QWidget* parent, const Device& device);

 signals:
  // The cancel button, or the window closed.
  void cancelRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  const Device& device_;
  QProgressBar* progress_;
};

// The progress bar shows received of expected bytes, or is busy when the size is not known.
void ShowProgress(QProgressBar& bar, std::int64_t received, std::int64_t expected);

}  // namespace scanner
