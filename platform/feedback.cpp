#include "feedback.h"

#include <QApplication>
#include <QPointer>
#include <QProgressDialog>
#include <QWidget>

namespace {

// The busy command: how deep its scopes nest, and its window.
struct BusyState {
  int depth = 0;
  QPointer<QWidget> window;
};

BusyState& Busy() {
  static BusyState state;
  return state;
}

// Paints window now and hands that and the cursor to the window system before the work blocks
// the event loop. Input stays queued: no command can start from here.
void Repaint(QWidget* window) {
  if (window && window->isVisible()) window->repaint();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

constexpr int kProgressSteps = 1000;

}  // namespace

BusyCursor::BusyCursor(QWidget* window) {
  if (Busy().depth++ > 0) return;
  Busy().window = window ? window->window() : nullptr;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  Repaint(Busy().window);
}

BusyCursor::~BusyCursor() {
  if (--Busy().depth > 0) return;
  Busy().window = nullptr;
  QApplication::restoreOverrideCursor();
}

UserTurn::UserTurn() : active_(Busy().depth > 0) {
  if (active_) QApplication::setOverrideCursor(Qt::ArrowCursor);
}

UserTurn::~UserTurn() {
  if (!active_) return;
  QApplication::restoreOverrideCursor();
  Repaint(Busy().window);
}

std::chrono::milliseconds& ProgressDelay() {
  static std::chrono::milliseconds delay{500};
  return delay;
}

WorkProgress::WorkProgress(QWidget* window, const QString& label)
    // No cancel button: the work has no safe point to stop at.
    : dialog_(std::make_unique<QProgressDialog>(label, QString(), 0, kProgressSteps, window)) {
  dialog_->setWindowTitle(QApplication::applicationName());
  dialog_->setWindowModality(Qt::WindowModal);
  dialog_->setAutoClose(false);
  dialog_->setAutoReset(false);
  dialog_->setMinimumDuration(static_cast<int>(ProgressDelay().count()));
  dialog_->setValue(0);  // starts the clock
}

WorkProgress::~WorkProgress() = default;

void WorkProgress::Report(std::uint64_t done, std::uint64_t total) {
  if (total == 0) return;
  const auto step = static_cast<int>(std::min<std::uint64_t>(done, total) * kProgressSteps / total);
  const bool shown = dialog_->isVisible();
  // Once the dialog shows, setValue lets events through itself; the first time it is only shown.
  dialog_->setValue(step);
  if (!shown && dialog_->isVisible()) QCoreApplication::processEvents();
}
