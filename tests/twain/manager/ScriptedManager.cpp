#include "ScriptedManager.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
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

// The script that the environment gives, for a program that cannot reach the control function.
struct EnvironmentScript {
  bool read = false;
  std::optional<TW_UINT16> refusedCapability;
  bool everyEnable = false;  // the image is offered on every MSG_ENABLEDS, not the first only
  std::string log;
};

EnvironmentScript& FromEnvironment() {
  static EnvironmentScript script;
  return script;
}

const char* Environment(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

void SetText(TW_STR32& field, const std::string& text) {
  std::memset(field.text, 0, sizeof field.text);
  std::strncpy(field.text, text.c_str(), sizeof field.text - 1);
}

std::string Str32(const TW_STR32& field) {
  return std::string(field.text, ::strnlen(field.text, sizeof field.text));
}

void ReadEnvironmentScript() {
  EnvironmentScript& script = FromEnvironment();
  if (script.read) return;
  script.read = true;
  const char* sources = Environment("LUMIVANE_SCRIPTED_SOURCES");
  const char* log = Environment("LUMIVANE_SCRIPTED_LOG");
  if (!sources && !log) return;  // reached through the control function instead
  ScriptedManager& manager = Manager();
  manager.Reset();
  if (log) script.log = log;
  std::istringstream list(sources ? sources : "");
  std::string entry;
  while (std::getline(list, entry, ';')) {
    std::istringstream fields(entry);
    std::string name, maker, model;
    std::getline(fields, name, ',');
    std::getline(fields, maker, ',');
    std::getline(fields, model, ',');
    TW_IDENTITY identity{};
    identity.Id = static_cast<TW_UINT32>(100 + manager.sources.size());
    SetText(identity.ProductName, name);
    SetText(identity.Manufacturer, maker);
    SetText(identity.ProductFamily, model);
    manager.sources.push_back(identity);
  }
  if (const char* image = Environment("LUMIVANE_SCRIPTED_IMAGE")) {
    std::ifstream in(image, std::ios::binary);
    manager.images.emplace_back(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {}));
  }
  manager.eventsOnEnable = {MSG_XFERREADY};
  // "COUNT,CONDITION": a feeder of COUNT sheets of the image, whose next transfer fails with
  // CONDITION.
  if (const char* pages = Environment("LUMIVANE_SCRIPTED_PAGES");
      pages && !manager.images.empty()) {
    char* end = nullptr;
    const unsigned long count = std::strtoul(pages, &end, 0);
    const auto condition = static_cast<TW_UINT16>(std::strtoul(end + (*end == ','), nullptr, 0));
    script.everyEnable = true;
    manager.images.resize(count, manager.images.front());
    for (unsigned long i = 0; i < count; ++i)
      manager.Answer(DAT_IMAGENATIVEXFER, MSG_GET, TWRC_XFERDONE);
    manager.Answer(DAT_IMAGENATIVEXFER, MSG_GET, TWRC_FAILURE);
    manager.statuses.push_back({TWRC_SUCCESS, condition});
  }
  if (const char* refuse = Environment("LUMIVANE_SCRIPTED_REFUSE"))
    script.refusedCapability = static_cast<TW_UINT16>(std::strtoul(refuse, nullptr, 0));
}

void Log(const RecordedCall& call) {
  const std::string& path = FromEnvironment().log;
  if (path.empty() || call.dat == DAT_EVENT) return;
  char text[64];
  std::snprintf(text, sizeof text, "%04x %04x %u", call.dat, call.msg, call.result);
  std::string line = text;
  // The identity as the manager left it: the one handed out by MSG_GETFIRST and MSG_GETNEXT.
  if (call.dat == DAT_IDENTITY)
    line += " " + Str32(static_cast<const TW_IDENTITY*>(call.data)->ProductName);
  if (call.dat == DAT_CAPABILITY) {
    std::snprintf(text, sizeof text, " %04x %u %08x", call.capability.Cap, call.oneValue.ItemType,
                  call.oneValue.Item);
    line += text;
    // A rectangle's other three corners follow its left edge.
    if (call.oneValue.ItemType == TWTY_FRAME) {
      for (const TW_FIX32& edge : {call.frame.Top, call.frame.Right, call.frame.Bottom}) {
        TW_UINT32 item = 0;
        std::memcpy(&item, &edge, sizeof edge);
        std::snprintf(text, sizeof text, " %08x", item);
        line += text;
      }
    }
  }
  if (call.dat == DAT_USERINTERFACE) line += " show " + std::to_string(call.ui.ShowUI);
  std::ofstream(path, std::ios::app) << line << '\n';
}

TW_UINT16 NextSource(TW_UINT16 msg, TW_IDENTITY& identity) {
  ScriptedManager& manager = Manager();
  if (msg == MSG_GETFIRST) manager.nextSource = 0;
  if (manager.nextSource >= manager.sources.size()) return TWRC_ENDOFLIST;
  identity = manager.sources[manager.nextSource++];
  return TWRC_SUCCESS;
}

// Reads the one-value container that a capability request carries; the caller owns the block.
void ReadCapability(const TW_CAPABILITY& capability, RecordedCall& call) {
  call.capability = capability;
  auto handle = static_cast<HGLOBAL>(capability.hContainer);
  if (const void* address = GlobalLock(handle)) {
    if (GlobalSize(handle) >= sizeof call.oneValue)
      std::memcpy(&call.oneValue, address, sizeof call.oneValue);
    TW_ONEVALUE_FRAME frame{};
    if (call.oneValue.ItemType == TWTY_FRAME && GlobalSize(handle) >= sizeof frame) {
      std::memcpy(&frame, address, sizeof frame);
      call.frame = frame.Item;
    }
    GlobalUnlock(handle);
  }
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
  if (dat == DAT_PARENT && msg == MSG_OPENDSM) ReadEnvironmentScript();
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
  if (dat == DAT_CAPABILITY) ReadCapability(*static_cast<TW_CAPABILITY*>(data), call);

  TW_UINT16 result = TWRC_SUCCESS;
  if (dat == DAT_STATUS) {
    result = Status(*static_cast<TW_STATUS*>(data));
  } else if (dat == DAT_EVENT) {
    result = ProcessEvent(*static_cast<TW_EVENT*>(data), call);
  } else if (dat == DAT_IMAGENATIVEXFER) {
    result = NativeTransfer(*static_cast<HGLOBAL*>(data));
  } else if (dat == DAT_IDENTITY && (msg == MSG_GETFIRST || msg == MSG_GETNEXT)) {
    const std::optional<TW_UINT16> scripted = Scripted(dat, msg);
    result = scripted ? *scripted : NextSource(msg, *static_cast<TW_IDENTITY*>(data));
  } else if (dat == DAT_CAPABILITY && call.capability.Cap == FromEnvironment().refusedCapability) {
    result = TWRC_FAILURE;
    manager.statuses.push_back({TWRC_SUCCESS, TWCC_BADVALUE});
  } else {
    if (dat == DAT_PARENT && msg == MSG_CLOSEDSM && Environment("LUMIVANE_SCRIPTED_HANG_ON_CLOSE"))
      for (;;) ::pause();
    result = Scripted(dat, msg).value_or(TWRC_SUCCESS);
    if (result == TWRC_SUCCESS) {
      if (msg == MSG_OPENDSM) origin->Id = manager.assignedId;
      if (msg == MSG_USERSELECT) *static_cast<TW_IDENTITY*>(data) = manager.chosen;
      if (msg == MSG_ENABLEDS) {
        for (TW_UINT16 event : manager.eventsOnEnable) manager.PostSourceEvent(event);
        if (!FromEnvironment().everyEnable) manager.eventsOnEnable.clear();
      }
      if (msg == MSG_ENDXFER) static_cast<TW_PENDINGXFERS*>(data)->Count = 0;
    }
  }
  call.result = result;
  Log(call);
  manager.calls.push_back(call);
  return result;
}
