#include "message_pump.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <exception>

#include "errors.h"

namespace {

class Pump;
// Only the innermost pump offers events, so that an event is never offered twice.
Pump* innermost = nullptr;

class Pump final : public QObject {
 public:
  explicit Pump(const std::function<MessageVerdict(MSG&)>& offer)
      : offer_(offer), outer_(innermost) {
    innermost = this;
  }
  ~Pump() override { innermost = outer_; }

  PumpEnd Run() {
    QCoreApplication* application = QCoreApplication::instance();
    if (!application) throw Exception(msg::kNoApplication);
    application->installEventFilter(this);
    loop_.exec();
    application->removeEventFilter(this);
    if (error_) std::rethrow_exception(error_);
    if (quitRequested_) {
      // The request was held back from the loops in between; hand it on (Qt takes the event).
      QCoreApplication::postEvent(application, new QEvent(QEvent::Quit));
      return PumpEnd::kQuitRequested;
    }
    // Ended from outside: QCoreApplication::exit has told every loop of the thread to end.
    return ended_ ? PumpEnd::kEnded : PumpEnd::kQuitRequested;
  }

 protected:
  bool eventFilter(QObject* receiver, QEvent* event) override {
    if (innermost != this || ended_ || offering_) return false;
    if (receiver == QCoreApplication::instance() && event->type() == QEvent::Quit) {
      quitRequested_ = true;
      End();
      return true;
    }
    MSG message{receiver, event};
    MessageVerdict verdict = MessageVerdict::kDeliver;
    offering_ = true;
    try {
      verdict = offer_(message);
    } catch (...) {
      error_ = std::current_exception();
      verdict = MessageVerdict::kClaimAndEnd;
    }
    offering_ = false;
    if (verdict == MessageVerdict::kClaimAndEnd) End();
    return verdict != MessageVerdict::kDeliver;
  }

 private:
  void End() {
    ended_ = true;
    loop_.exit(0);
  }

  const std::function<MessageVerdict(MSG&)>& offer_;
  Pump* const outer_;
  QEventLoop loop_;
  bool ended_ = false;
  bool offering_ = false;
  bool quitRequested_ = false;
  std::exception_ptr error_;
};

}  // namespace

PumpEnd PumpMessages(const std::function<MessageVerdict(MSG& message)>& offer) {
  Pump pump(offer);
  return pump.Run();
}
