// The modal message loop: what it offers, what a verdict does, how it ends.
#include "platform/message_pump.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "platform/message.h"

namespace {

// Events of our own, told apart by their type.
const QEvent::Type kFirst = static_cast<QEvent::Type>(QEvent::User + 1);
const QEvent::Type kSecond = static_cast<QEvent::Type>(QEvent::User + 2);
const QEvent::Type kEnd = static_cast<QEvent::Type>(QEvent::User + 3);
const QEvent::Type kLater = static_cast<QEvent::Type>(QEvent::User + 4);

// Notes the types of the events that reach it.
class Receiver final : public QObject {
 public:
  std::vector<int> received;
  bool event(QEvent* e) override {
    if (e->type() > QEvent::User) received.push_back(e->type());
    return QObject::event(e);
  }
};

void Post(QObject* receiver, std::initializer_list<QEvent::Type> types) {
  for (QEvent::Type type : types) QCoreApplication::postEvent(receiver, new QEvent(type));
}

// Takes the events still waiting for receiver; the ones of the other tests are not theirs.
void Drain() {
  QCoreApplication::sendPostedEvents();
}

}  // namespace

// Each verdict for the first event: delivered or not, and whether the loop goes on to offer the
// next. Events after the end are delivered without being offered.
TEST(MessagePump, VerdictsDecideDeliveryAndTheEnd) {
  const struct {
    MessageVerdict first;
    std::vector<int> offered, delivered;
  } cases[] = {
      {MessageVerdict::kDeliver, {kFirst, kSecond, kEnd}, {kFirst, kSecond, kLater}},
      {MessageVerdict::kClaim, {kFirst, kSecond, kEnd}, {kSecond, kLater}},
      {MessageVerdict::kClaimAndEnd, {kFirst}, {kSecond, kEnd, kLater}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.first));
    Receiver receiver;
    Post(&receiver, {kFirst, kSecond, kEnd, kLater});
    std::vector<int> offered;
    const PumpEnd end = PumpMessages([&](MSG& message) {
      if (message.receiver != &receiver) return MessageVerdict::kDeliver;
      const int type = message.event->type();
      offered.push_back(type);
      if (type == kFirst) return c.first;
      return type == kEnd ? MessageVerdict::kClaimAndEnd : MessageVerdict::kDeliver;
    });
    Drain();
    EXPECT_EQ(end, PumpEnd::kEnded);
    EXPECT_EQ(offered, c.offered);
    EXPECT_EQ(receiver.received, c.delivered);
  }
}

// An exception from the handler ends the loop and comes out of it; the event is not delivered.
TEST(MessagePump, AnExceptionFromTheHandlerEndsTheLoopAndIsThrown) {
  Receiver receiver;
  Post(&receiver, {kFirst, kSecond});
  int offered = 0;
  EXPECT_THROW(PumpMessages([&](MSG& message) -> MessageVerdict {
                 if (message.receiver != &receiver) return MessageVerdict::kDeliver;
                 ++offered;
                 throw std::runtime_error("handler");
               }),
               std::runtime_error);
  Drain();
  EXPECT_EQ(offered, 1);
  EXPECT_EQ(receiver.received, std::vector<int>{kSecond});
}

// A request to quit made while the loop runs ends it without being offered, and is posted again
// for the application's own loop.
TEST(MessagePump, AQuitRequestEndsTheLoopAndStands) {
  Receiver receiver;
  Post(&receiver, {kFirst});
  std::vector<int> offered;
  const PumpEnd end = PumpMessages([&](MSG& message) {
    offered.push_back(message.event->type());
    // What quit() posts while the application's loop runs (the test runs none).
    if (message.receiver == &receiver)
      QCoreApplication::postEvent(QCoreApplication::instance(), new QEvent(QEvent::Quit));
    return MessageVerdict::kDeliver;
  });
  EXPECT_EQ(end, PumpEnd::kQuitRequested);
  EXPECT_EQ(std::count(offered.begin(), offered.end(), int(QEvent::Quit)), 0);
  EXPECT_EQ(receiver.received, std::vector<int>{kFirst});

  // The request waits for the application: a filter sees it when the posted events go out.
  class QuitWatch final : public QObject {
   public:
    int quits = 0;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Quit) ++quits;
      return e->type() == QEvent::Quit;  // taken here, so that the test goes on
    }
  } watch;
  QCoreApplication::instance()->installEventFilter(&watch);
  QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::Quit);
  QCoreApplication::instance()->removeEventFilter(&watch);
  EXPECT_EQ(watch.quits, 1);
}

// A loop started by the handler offers the events to its own handler only; the outer one goes
// on once the inner one has ended.
TEST(MessagePump, OnlyTheInnermostLoopOffers) {
  Receiver receiver;
  Post(&receiver, {kFirst});
  std::vector<int> outer, inner;
  int timer = 0;
  const PumpEnd end = PumpMessages([&](MSG& message) {
    if (message.receiver != &receiver) return MessageVerdict::kDeliver;
    const int type = message.event->type();
    outer.push_back(type);
    if (type == kFirst) {
      timer = receiver.startTimer(0);
      EXPECT_EQ(PumpMessages([&](MSG& m) {
                  if (m.receiver != &receiver) return MessageVerdict::kDeliver;
                  inner.push_back(m.event->type());
                  if (m.event->type() != QEvent::Timer) return MessageVerdict::kDeliver;
                  receiver.killTimer(timer);
                  Post(&receiver, {kEnd});
                  return MessageVerdict::kClaimAndEnd;
                }),
                PumpEnd::kEnded);
      return MessageVerdict::kClaim;
    }
    return type == kEnd ? MessageVerdict::kClaimAndEnd : MessageVerdict::kDeliver;
  });
  EXPECT_EQ(end, PumpEnd::kEnded);
  EXPECT_EQ(inner, std::vector<int>{QEvent::Timer});
  EXPECT_EQ(outer, (std::vector<int>{kFirst, kEnd}));
  EXPECT_TRUE(receiver.received.empty());
}
