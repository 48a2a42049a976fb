#include "dispatch.h"

#include <QApplication>
#include <QCoreApplication>
#include <QPointer>
#include <QWidget>
#include <map>
#include <memory>
#include <new>

#include "scanner/contract/conditions.h"
#include "scanner/protocol/session.h"
#include "scanner/ui/remembered.h"
#include "scanner/ui/select_dialog.h"
#include "twain/identity_text.h"

namespace scanner {
namespace {

constexpr TW_UINT32 kFirstSourceId = 100;

struct Manager {
  int openCount = 0;
  TW_UINT32 nextAppId = 1;
  QPointer<QWidget> parent;
  TW_UINT16 condition = TWCC_SUCCESS;
  std::unique_ptr<Session> source;
  std::vector<DeviceInfo> listed;
  std::size_t nextListed = 0;
  std::map<std::string, TW_UINT32> ids;
};

Manager& State() {
  static Manager manager;
  return manager;
}

TW_UINT16 ManagerFails(TW_UINT16 condition) {
  return Fail(State().condition, condition);
}

void Describe(TW_IDENTITY& identity, const DeviceInfo& device) {
  Manager& m = State();
  auto [it, added] = m.ids.try_emplace(device.name, kFirstSourceId + m.ids.size());
  identity = TW_IDENTITY{};
  identity.Id = it->second;
  identity.Version.MajorNum = 1;
  identity.Version.Language = TWLG_USERLOCALE;
  identity.Version.Country = TWCY_JAPAN;
  SetStr32Text(identity.Version.Info, "SANE");
  identity.ProtocolMajor = TWON_PROTOCOLMAJOR;
  identity.ProtocolMinor = TWON_PROTOCOLMINOR;
  identity.SupportedGroups = DG_CONTROL | DG_IMAGE;
  SetStr32Text(identity.Manufacturer, device.vendor);
  SetStr32Text(identity.ProductFamily, device.model);
  SetStr32Text(identity.ProductName, device.name);
}

// The device an identity stands for: the full name behind an identity handed out here (its
// product name may be cut), otherwise the product name itself.
std::string DeviceNameOf(const TW_IDENTITY& identity) {
  std::string product = Str32Text(identity.ProductName);
  for (const auto& [name, id] : State().ids) {
    TW_STR32 cut{};
    SetStr32Text(cut, name);
    if (id == identity.Id && Str32Text(cut) == product) return name;
  }
  return product;
}

QWidget* ParentWidget(TW_HANDLE handle) {
  if (handle) return static_cast<QWidget*>(handle);
  return State().parent.data();
}

bool HaveWidgets() {
  return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

// ---- Manager triplets -----------------------------------------------------------------------

TW_UINT16 OpenManager(pTW_IDENTITY origin, TW_MEMREF data) {
  Manager& m = State();
  if (!QCoreApplication::instance()) return ManagerFails(TWCC_BUMMER);
  if (origin) origin->Id = m.nextAppId++;
  if (data && HaveWidgets()) m.parent = static_cast<QWidget*>(*static_cast<TW_HANDLE*>(data));
  ++m.openCount;
  return TWRC_SUCCESS;
}

void CloseSource() {
  Manager& m = State();
  if (!m.source) return;
  m.source->Close();
  m.source.reset();
}

TW_UINT16 CloseManager() {
  Manager& m = State();
  if (m.openCount == 0) return ManagerFails(TWCC_SEQERROR);
  if (--m.openCount > 0) return TWRC_SUCCESS;
  CloseSource();
  m.parent = nullptr;
  m.listed.clear();
  EndScanning();
  return TWRC_SUCCESS;
}

TW_UINT16 ListDevices(TW_UINT16 msg, TW_IDENTITY& identity) {
  Manager& m = State();
  if (msg == MSG_GETFIRST) {
    Discovery found = FindDevices(false);
    m.listed = std::move(found.devices);
    m.nextListed = 0;
    // Finding nothing because SANE is missing or does not answer is not an empty list.
    if (found.libraryMissing) return ManagerFails(kConditionNoSaneLibrary);
    if (found.status == kNoResponse) return ManagerFails(kConditionNoResponse);
  }
  if (m.nextListed >= m.listed.size()) return TWRC_ENDOFLIST;
  Describe(identity, m.listed[m.nextListed++]);
  return TWRC_SUCCESS;
}

TW_UINT16 UserSelect(TW_IDENTITY& identity) {
  Manager& m = State();
  if (!HaveWidgets()) return ManagerFails(TWCC_BUMMER);
  const bool deviceOpen = m.source && m.source->HasDevice();
  const std::optional<DeviceInfo> chosen =
      ChooseDevice(m.parent.data(), DeviceNameOf(identity), !deviceOpen);
  if (!chosen) return TWRC_CANCEL;
  RememberLastDevice(*chosen);
  Describe(identity, *chosen);
  return TWRC_SUCCESS;
}

TW_UINT16 OpenSource(TW_IDENTITY& identity) {
  Manager& m = State();
  const std::string name = DeviceNameOf(identity);
  TW_UINT16 condition = TWCC_SUCCESS;
  std::unique_ptr<Device> device = OpenDevice(name, condition);
  if (!device) return ManagerFails(condition);
  CloseSource();
  DeviceInfo info = DeviceOf(identity);
  info.name = name;
  Describe(identity, info);
  m.source = std::make_unique<Session>(info, std::move(device), identity);
  return TWRC_SUCCESS;
}

TW_UINT16 CloseSourceTriplet() {
  if (!State().source) return ManagerFails(TWCC_SEQERROR);
  CloseSource();
  return TWRC_SUCCESS;
}

TW_UINT16 GetStatus(TW_UINT16& condition, TW_MEMREF data) {
  static_cast<TW_STATUS*>(data)->ConditionCode = condition;
  condition = TWCC_SUCCESS;
  return TWRC_SUCCESS;
}

// ---- Routes ---------------------------------------------------------------------------------

// What the open source answers: (group, data, message) -> handler; MSG_NULL stands for every
// message of that data.
struct SourceRoute {
  TW_UINT32 dg;
  TW_UINT16 dat, msg;
  TW_UINT16 (*handle)(Session&, const TW_IDENTITY& destination, TW_UINT16 msg, TW_MEMREF data);
};

constexpr SourceRoute kSourceRoutes[] = {
    {DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT,
     [](Session& s, const TW_IDENTITY&, TW_UINT16, TW_MEMREF data) {
       return s.ProcessEvent(*static_cast<TW_EVENT*>(data));
     }},
    {DG_CONTROL, DAT_STATUS, MSG_GET,
     [](Session& s, const TW_IDENTITY&, TW_UINT16, TW_MEMREF data) {
       return GetStatus(s.Condition(), data);
     }},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS,
     [](Session& s, const TW_IDENTITY& destination, TW_UINT16, TW_MEMREF data) {
       const auto& ui = *static_cast<TW_USERINTERFACE*>(data);
       DeviceInfo chosen = DeviceOf(destination);
       chosen.name = DeviceNameOf(destination);
       return s.Enable(chosen, ui, ParentWidget(ui.hParent));
     }},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS,
     [](Session& s, const TW_IDENTITY&, TW_UINT16, TW_MEMREF) { return s.Disable(); }},
    {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET,
     [](Session& s, const TW_IDENTITY&, TW_UINT16, TW_MEMREF data) {
       return s.NativeTransfer(*static_cast<HGLOBAL*>(data));
     }},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER,
     [](Session& s, const TW_IDENTITY&, TW_UINT16, TW_MEMREF data) {
       return s.EndTransfer(*static_cast<TW_PENDINGXFERS*>(data));
     }},
    {DG_CONTROL, DAT_CAPABILITY, MSG_NULL,
     [](Session& s, const TW_IDENTITY&, TW_UINT16 msg, TW_MEMREF data) {
       return s.Capability(msg, *static_cast<TW_CAPABILITY*>(data));
     }},
};

TW_UINT16 SourceTriplet(Session& source, const TW_IDENTITY& destination, TW_UINT32 dg,
                        TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  for (const SourceRoute& route : kSourceRoutes)
    if (route.dg == dg && route.dat == dat && (route.msg == MSG_NULL || route.msg == msg))
      return route.handle(source, destination, msg, data);
  return Fail(source.Condition(), TWCC_BADPROTOCOL);
}

// What the manager answers (all in DG_CONTROL): data, message -> handler. Only opening the
// manager and its status are answered before it is open.
struct ManagerRoute {
  TW_UINT16 dat, msg;
  bool beforeOpen;
  TW_UINT16 (*handle)(pTW_IDENTITY origin, TW_UINT16 msg, TW_MEMREF data);
};

constexpr ManagerRoute kManagerRoutes[] = {
    {DAT_PARENT, MSG_OPENDSM, true,
     [](pTW_IDENTITY origin, TW_UINT16, TW_MEMREF data) { return OpenManager(origin, data); }},
    {DAT_STATUS, MSG_GET, true,
     [](pTW_IDENTITY, TW_UINT16, TW_MEMREF data) { return GetStatus(State().condition, data); }},
    {DAT_PARENT, MSG_CLOSEDSM, false,
     [](pTW_IDENTITY, TW_UINT16, TW_MEMREF) { return CloseManager(); }},
    {DAT_IDENTITY, MSG_GETFIRST, false,
     [](pTW_IDENTITY, TW_UINT16 msg, TW_MEMREF data) {
       return ListDevices(msg, *static_cast<TW_IDENTITY*>(data));
     }},
    {DAT_IDENTITY, MSG_GETNEXT, false,
     [](pTW_IDENTITY, TW_UINT16 msg, TW_MEMREF data) {
       return ListDevices(msg, *static_cast<TW_IDENTITY*>(data));
     }},
    {DAT_IDENTITY, MSG_USERSELECT, false,
     [](pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
       return UserSelect(*static_cast<TW_IDENTITY*>(data));
     }},
    {DAT_IDENTITY, MSG_OPENDS, false,
     [](pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
       return OpenSource(*static_cast<TW_IDENTITY*>(data));
     }},
    {DAT_IDENTITY, MSG_CLOSEDS, false,
     [](pTW_IDENTITY, TW_UINT16, TW_MEMREF) { return CloseSourceTriplet(); }},
};

TW_UINT16 ManagerTriplet(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                         TW_MEMREF data) {
  if (dg != DG_CONTROL) return ManagerFails(TWCC_BADPROTOCOL);
  for (const ManagerRoute& route : kManagerRoutes) {
    if (route.dat != dat || route.msg != msg) continue;
    if (!route.beforeOpen && State().openCount == 0) return ManagerFails(TWCC_SEQERROR);
    return route.handle(origin, msg, data);
  }
  if (State().openCount == 0) return ManagerFails(TWCC_SEQERROR);
  return ManagerFails(TWCC_BADPROTOCOL);
}

}  // namespace

TW_UINT16 Dispatch(pTW_IDENTITY origin, pTW_IDENTITY destination, TW_UINT32 dg, TW_UINT16 dat,
                   TW_UINT16 msg, TW_MEMREF data) {
  try {
    if (!data && !(dat == DAT_PARENT)) return ManagerFails(TWCC_BADVALUE);
    if (!destination) return ManagerTriplet(origin, dg, dat, msg, data);
    Manager& m = State();
    if (!m.source) return ManagerFails(TWCC_BADDEST);
    return SourceTriplet(*m.source, *destination, dg, dat, msg, data);
  } catch (const std::bad_alloc&) {
    return ManagerFails(TWCC_LOWMEMORY);
  } catch (...) {
    return ManagerFails(TWCC_BUMMER);
  }
}

}  // namespace scanner
