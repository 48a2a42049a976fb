// A scanner manager library for tests, built as a shared object named TWAIN_32.DLL. It records
// every triplet it receives and answers from a script. Its state is reached through the exported
// function ScriptedManagerControl(); a program that cannot reach it (lumivane-batch) is scripted
// through the environment instead, read when the manager is opened:
//   LUMIVANE_SCRIPTED_SOURCES  sources as "name,maker,model;name,maker,model..."; the source,
//                              once enabled, asks for a transfer at once
//   LUMIVANE_SCRIPTED_IMAGE    a file holding the packed bitmap of that transfer
//   LUMIVANE_SCRIPTED_REFUSE   a capability number whose MSG_SET fails with TWCC_BADVALUE
//   LUMIVANE_SCRIPTED_LOG      a file that gets one line per triplet but events:
//                              "DAT MSG result" in hex, then the source name (DAT_IDENTITY),
//                              "cap type item" (DAT_CAPABILITY) or "show N" (DAT_USERINTERFACE)
//   LUMIVANE_SCRIPTED_HANG_ON_CLOSE  when set, MSG_CLOSEDSM never returns
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/fpu_control.h"
#include "twain/twain.h"

// One triplet as it came in, with its data record copied before the manager answered.
struct RecordedCall {
  const TW_IDENTITY* origin = nullptr;
  const TW_IDENTITY* destination = nullptr;
  TW_UINT32 dg = 0;
  TW_UINT16 dat = 0;
  TW_UINT16 msg = 0;
  void* data = nullptr;
  TW_UINT16 result = 0;
  TW_IDENTITY originIdentity{};
  TW_IDENTITY identity{};      // DAT_IDENTITY
  TW_HANDLE parent = nullptr;  // DAT_PARENT: the handle the data points to
  TW_USERINTERFACE ui{};       // DAT_USERINTERFACE
  MSG message{};               // DAT_EVENT: the record pEvent points to
  TW_UINT16 twMessage = 0;     // DAT_EVENT: what the manager answered
  TW_CAPABILITY capability{};  // DAT_CAPABILITY
  TW_ONEVALUE oneValue{};      // DAT_CAPABILITY: the container's contents
  TW_FRAME frame{};            // DAT_CAPABILITY: the rectangle of a TWTY_FRAME container
  FpuControl fpu;              // the floating-point control state the manager ran with
};

// What a source posts to an object of its own to make a message of the thread.
inline constexpr QEvent::Type kSourceEventType = static_cast<QEvent::Type>(QEvent::User + 731);

class SourceEvent : public QEvent {
 public:
  explicit SourceEvent(TW_UINT16 twMessage) : QEvent(kSourceEventType), twMessage_(twMessage) {}
  TW_UINT16 TwMessage() const { return twMessage_; }

 private:
  TW_UINT16 twMessage_;
};

// The source's own window: counts the events that reach it, which a claimed one never does.
class SourceWindow : public QObject {
 public:
  int delivered = 0;

 protected:
  bool event(QEvent* event) override {
    if (event->type() == kSourceEventType) ++delivered;
    return QObject::event(event);
  }
};

struct ScriptedManager {
  std::vector<RecordedCall> calls;
  // Result codes by (DAT, MSG), used up front to back; when none is left the default answer
  // holds (success; for MSG_PROCESSEVENT whether the event is the source's own; for the native
  // transfer TWRC_XFERDONE).
  std::map<std::pair<TW_UINT16, TW_UINT16>, std::deque<TW_UINT16>> answers;
  // (result, condition code) of status requests; when none is left: success, TWCC_BUMMER.
  std::deque<std::pair<TW_UINT16, TW_UINT16>> statuses;
  TW_UINT32 assignedId = 4711;
  TW_IDENTITY chosen{};  // written into the data of a successful MSG_USERSELECT
  // What MSG_GETFIRST and MSG_GETNEXT hand out, then TWRC_ENDOFLIST.
  std::vector<TW_IDENTITY> sources;
  std::size_t nextSource = 0;
  // Messages the source posts for itself when it is enabled.
  std::deque<TW_UINT16> eventsOnEnable;
  // Native images, one per transfer; nothing stands for a handle that cannot be locked.
  std::deque<std::optional<std::vector<std::uint8_t>>> images;
  std::unique_ptr<SourceWindow> window;

  void Reset() {
    calls.clear();
    answers.clear();
    statuses.clear();
    chosen = TW_IDENTITY{};
    sources.clear();
    nextSource = 0;
    eventsOnEnable.clear();
    images.clear();
    window = std::make_unique<SourceWindow>();
  }
  void Answer(TW_UINT16 dat, TW_UINT16 msg, TW_UINT16 result) {
    answers[{dat, msg}].push_back(result);
  }
  void PostSourceEvent(TW_UINT16 twMessage) {
    QCoreApplication::postEvent(window.get(), new SourceEvent(twMessage));  // Qt takes it
  }
};

extern "C" ScriptedManager* ScriptedManagerControl();
