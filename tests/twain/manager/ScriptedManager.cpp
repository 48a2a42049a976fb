#include "ScriptedManager.h"

#include <cstring>
#include <tuple>

namespace {

ScriptedManager& Manager() {
  static ScriptedManager manager;
  return manager;
}

std::optional<TW_UINT16> Scripted(TW_UINT16 dat, TW_UINT16 msg) {
  auto& queue = Manager().answers[{dat, msg}];
  if (queue.empty()) return std::nullopt;
  const TW_UINT16 result = queue.front();
  queue.pop_front();
  return result;
}

TW_UINT16 Status(TW_STATUS& status) {
  auto& statuses = Manager().statuses;
  TW_UINT16 result = TWRC_SUCCESS;
  TW_UINT16 code = TWCC_BUMMER;
  if (!statuses.empty()) {
    std::tie(result, code) = statuses.front();
    statuses.pop_front();
  }
  status.ConditionCode = code;
  return result;
}

TW_UINT16 ProcessEvent(TW_EVENT& event, RecordedCall& call) {
  const auto* message = static_cast<const MSG*>(event.pEvent);
  call.message = *message;
  const std::optional<TW_UINT16> scripted = Scripted(DAT_EVENT, MSG_PROCESSEVENT);
  if (message->receiver == Manager().window.get() && message->event->type() == kSourceEventType) {
    event.TWMessage = static_cast<const SourceEvent*>(message->event)->TwMessage();
    call.twMessage = event.TWMessage;
    return scripted.value_or(TWRC_DSEVENT);
  }
  event.TWMessage = MSG_NULL;
  return scripted.value_or(TWRC_NOTDSEVENT);
}

TW_UINT16 NativeTransfer(HGLOBAL& handle) {
  const TW_UINT16 result = Scripted(DAT_IMAGENATIVEXFER, MSG_GET).value_or(TWRC_XFERDONE);
  if (result != TWRC_XFERDONE) return result;
  auto& images = Manager().images;
  handle = nullptr;
  if (images.empty()) return result;
  const std::optional<std::vector<std::uint8_t>> image = std::move(images.front());
  images.pop_front();
  if (!image) return result;
  handle = GlobalAlloc(0, image->size());
  std::memcpy(GlobalLock(handle), image->data(), image->size());
  GlobalUnlock(handle);
  return result;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) ScriptedManager* ScriptedManagerControl() {
  return &Manager();
}

extern "C" __attribute__((visibility("default"))) TW_UINT16 DSM_Entry(pTW_IDENTITY origin,
                                                                      pTW_IDENTITY destination,
                                                                      TW_UINT32 dg, TW_UINT16 dat,
                                                                      TW_UINT16 msg,
                                                                      TW_MEMREF data) {
  ScriptedManager& manager = Manager();
  RecordedCall call;
  call.origin = origin;
  call.destination = destination;
  call.dg = dg;
  call.dat = dat;
  call.msg = msg;
  call.data = data;
  call.fpu = CurrentFpuControl();
  if (origin) call.originIdentity = *origin;
  if (dat == DAT_IDENTITY) call.identity = *static_cast<TW_IDENTITY*>(data);
  if (dat == DAT_PARENT) call.parent = *static_cast<TW_HANDLE*>(data);
  if (dat == DAT_USERINTERFACE) call.ui = *static_cast<TW_USERINTERFACE*>(data);

  TW_UINT16 result = TWRC_SUCCESS;
  if (dat == DAT_STATUS) {
    result = Status(*static_cast<TW_STATUS*>(data));
  } else if (dat == DAT_EVENT) {
    result = ProcessEvent(*static_cast<TW_EVENT*>(data), call);
  } else if (dat == DAT_IMAGENATIVEXFER) {
    result = NativeTransfer(*static_cast<HGLOBAL*>(data));
  } else {
    result = Scripted(dat, msg).value_or(TWRC_SUCCESS);
    if (result == TWRC_SUCCESS) {
      if (msg == MSG_OPENDSM) origin->Id = manager.assignedId;
      if (msg == MSG_USERSELECT) *static_cast<TW_IDENTITY*>(data) = manager.chosen;
      if (msg == MSG_ENABLEDS) {
        for (TW_UINT16 event : manager.eventsOnEnable) manager.PostSourceEvent(event);
        manager.eventsOnEnable.clear();
      }
      if (msg == MSG_ENDXFER) static_cast<TW_PENDINGXFERS*>(data)->Count = 0;
    }
  }
  call.result = result;
  manager.calls.push_back(call);
  return result;
}
