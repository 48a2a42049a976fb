#include "progress_window.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "scanner/contract/messages.h"

namespace scanner {

void ShowProgress(QProgressBar& bar, std::int64_t received, std::int64_t expected) {
  if (expected <= 0) {
    bar.setRange(0, 0);
    return;
  }
  bar.setRange(0, 1000);
  bar.setValue(static_cast<int>(std::min<std::int64_t>(1000, received * 1000 / expected)));
}

ProgressWindow::ProgressWindow(QWidget* parent, const Device& device)
    : QWidget(parent, Qt::Dialog), device_(device) {
  setObjectName("ScanProgressWindow");
  setWindowTitle(QString::fromUtf8(kProgressTitle));
  auto* label = new QLabel(QString::fromUtf8(kScanning), this);  // the window owns its children
  progress_ = new QProgressBar(this);
  progress_->setObjectName("progressBar");
  auto* cancelButton = new QPushButton(QString::fromUtf8(kCancelButton), this);
  cancelButton->setObjectName("cancelButton");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(label);
  layout->addWidget(progress_);
  layout->addWidget(cancelButton, 0, Qt::AlignRight);
  connect(cancelButton, &QPushButton::clicked, this, &ProgressWindow::cancelRequested);
  auto* timer = new QTimer(this);
  connect(timer, &QTimer::timeout, this,
          [this] { ShowProgress(*progress_, device_.BytesReceived(), device_.BytesExpected()); });
  timer->start(kProgressIntervalMs);
  ShowProgress(*progress_, 0, 0);
}

void ProgressWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  emit cancelRequested();
}

}  // namespace scanner
