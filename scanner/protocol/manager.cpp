#include "manager.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "scanner/device/device.h"
#include "scanner/contract/conditions.h"
#include "identity_text.h"
#include "scanner/contract/messages.h"
#include "scanner/ui/remembered.h"
#include "scanner/ui/scan_dialog.h"
#include "scanner/ui/select_dialog.h"
#include "scanner/device/setting_values.h"
#include "scanner/contract/settings.h"

namespace scanner {
namespace {

constexpr TW_UINT32 kFirstSourceId = 100;

// What a source posts to its own receiver; the binding's loop offers it back through
// MSG_PROCESSEVENT.
enum class Notice { kScanEnded, kCloseRequested };

QEvent::Type NoticeType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

class NoticeEvent final : public QEvent {
 public:
  explicit NoticeEvent(Notice notice) : QEvent(NoticeType()), notice_(notice) {}
  Notice Which() const { return notice_; }

 private:
  Notice notice_;
};

// The open source. Its members end in reverse order, which is the order of teardown: the
// windows, which show the device, first; then the device, which ends and joins its scan; then
// the receiver that scan posts to; the protocol state last.
struct Session {
  TW_IDENTITY identity{};
  std::string name;
  // Settings the program asked for through capabilities, in the order asked, for the next scan.
  std::vector<std::pair<const Setting*, std::string>> requested;
  TW_UINT16 condition = TWCC_SUCCESS;
  bool enabled = false;
  bool showUI = false;
  std::optional<std::vector<std::uint8_t>> image;  // ready for the native transfer
  std::optional<TW_UINT16> failure;                // the transfer fails with this condition
  // While a preview runs: the dialog's settings to give back after it.
  std::optional<SettingValues> beforePreview;
  std::unique_ptr<QObject> receiver;
  std::unique_ptr<Device> device;
  std::unique_ptr<ScanDialog> dialog;
  std::unique_ptr<ProgressWindow> progress;
};

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

TW_UINT16 Fail(TW_UINT16& slot, TW_UINT16 condition) {
  slot = condition;
  return TWRC_FAILURE;
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
  SetText(identity.Version.Info, "SANE");
  identity.ProtocolMajor = TWON_PROTOCOLMAJOR;
  identity.ProtocolMinor = TWON_PROTOCOLMINOR;
  identity.SupportedGroups = DG_CONTROL | DG_IMAGE;
  SetText(identity.Manufacturer, device.vendor);
  SetText(identity.ProductFamily, device.model);
  SetText(identity.ProductName, device.name);
}

// The device an identity stands for: the full name behind an identity handed out here (its
// product name may be cut), otherwise the product name itself.
std::string DeviceNameOf(const TW_IDENTITY& identity) {
  std::string product = TextOf(identity.ProductName);
  for (const auto& [name, id] : State().ids) {
    TW_STR32 cut{};
    SetText(cut, name);
    if (id == identity.Id && TextOf(cut) == product) return name;
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

void CloseSource();

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
  const bool deviceOpen = m.source && m.source->device;
  const std::optional<DeviceInfo> chosen =
      ChooseDevice(m.parent.data(), DeviceNameOf(identity), !deviceOpen);
  if (!chosen) return TWRC_CANCEL;
  RememberLastDevice({chosen->name, chosen->vendor, chosen->model});
  Describe(identity, *chosen);
  return TWRC_SUCCESS;
}

std::unique_ptr<Device> OpenDevice(const std::string& name, TW_UINT16& condition) {
  if (name.empty()) {
    condition = TWCC_NODS;
    return nullptr;
  }
  SANE_Status status = SANE_STATUS_GOOD;
  std::unique_ptr<Device> device = Device::Open(name, status);
  if (!device)
    // An unknown name is refused as an invalid argument.
    condition = status == SANE_STATUS_INVAL ? TWCC_NODS : ConditionOf(status);
  return device;
}

TW_UINT16 OpenSource(TW_IDENTITY& identity) {
  Manager& m = State();
  const std::string name = DeviceNameOf(identity);
  TW_UINT16 condition = TWCC_SUCCESS;
  std::unique_ptr<Device> device = OpenDevice(name, condition);
  if (!device) return ManagerFails(condition);
  CloseSource();
  auto source = std::make_unique<Session>();
  source->name = name;
  source->device = std::move(device);
  DeviceInfo info{name, TextOf(identity.Manufacturer), TextOf(identity.ProductFamily), {}};
  Describe(identity, info);
  source->identity = identity;
  m.source = std::move(source);
  return TWRC_SUCCESS;
}

// ---- The source -----------------------------------------------------------------------------

RememberedDevice RememberedOf(const Session& source) {
  return {source.name, TextOf(source.identity.Manufacturer), TextOf(source.identity.ProductFamily)};
}

// The user's settings, on the device and in the dialog, again after a preview.
void RestoreAfterPreview(Session& source) {
  if (!source.beforePreview) return;
  if (source.device->HasFlag("preview")) source.device->SetFlag("preview", false);
  source.dialog->Apply(*source.beforePreview);
  source.beforePreview.reset();
}

void Disable(Session& source) {
  source.progress.reset();
  // Cancels and joins a scan (before the receiver its end posts to goes), and frees the device
  // for other programs; a feeder stays open for the next sheet, which a device opened again
  // would start from the first one.
  if (source.device && source.device->Scanning()) {
    source.device->Cancel();
    source.device->TakeResult();
  }
  const bool keep = source.device && ValueOf(*source.device, *SettingNamed("source")) == "feeder";
  // However the dialog closes, its settings are the device's for the next time: during a
  // preview, the user's, not the preview's.
  if (source.dialog) {
    RememberValues(RememberedOf(source), source.beforePreview.value_or(source.dialog->Current()));
    if (keep) RestoreAfterPreview(source);
  }
  source.beforePreview.reset();
  source.dialog.reset();
  if (!keep) source.device.reset();
  source.receiver.reset();
  source.image.reset();
  source.failure.reset();
  source.enabled = false;
}

void CloseSource() {
  Manager& m = State();
  if (!m.source) return;
  Disable(*m.source);
  m.source.reset();
}

void Post(Session& source, Notice notice) {
  QCoreApplication::postEvent(source.receiver.get(), new NoticeEvent(notice));  // Qt takes it
}

void StartScan(Session& source, bool live = false) {
  QObject* receiver = source.receiver.get();
  source.device->StartScan(
      [receiver] { QCoreApplication::postEvent(receiver, new NoticeEvent(Notice::kScanEnded)); },
      live);
}

// A preview is a quick scan of the whole glass: the device's own preview where it has one,
// otherwise its lowest resolution of at least kPreviewDpi; 8 bits, colour where offered.
constexpr double kPreviewDpi = 50;

void PreviewFromDialog(Session& source) {
  Device& device = *source.device;
  if (device.Scanning()) return;
  source.beforePreview = source.dialog->Current();
  const std::vector<ColourMode> modes = device.Modes();
  if (std::find(modes.begin(), modes.end(), ColourMode::kColor) != modes.end())
    device.SetMode(ColourMode::kColor);
  else if (std::find(modes.begin(), modes.end(), ColourMode::kGray) != modes.end())
    device.SetMode(ColourMode::kGray);
  if (const std::optional<NumberChoice> depth = device.Choice("depth"); depth && depth->Takes(8))
    device.SetNumber("depth", 8);
  if (device.HasFlag("preview")) {
    device.SetFlag("preview", true);
  } else if (const std::optional<NumberChoice> dpi = device.Choice("resolution")) {
    double lowest = dpi->Clamp(kPreviewDpi);
    for (double v : dpi->list)
      if (v >= kPreviewDpi && (lowest < kPreviewDpi || v < lowest)) lowest = v;
    device.SetNumber("resolution", lowest);
  }
  if (device.HasArea())
    for (std::size_t i = 0; i < kAreaOptions.size(); ++i) {
      const NumberChoice range = *device.Choice(kAreaOptions[i]);
      device.SetNumber(kAreaOptions[i], i < 2 ? range.min : range.max);
    }
  source.dialog->BeginPreview();
  StartScan(source, true);
}

// The end of a preview: the settings are the user's again, the pane has the picture.
void EndPreview(Session& source, const ScanResult& result) {
  RestoreAfterPreview(source);
  source.dialog->EndPreview(result.outcome == ScanResult::Outcome::kComplete);
}

void ScanFromDialog(Session& source) {
  if (source.device->Scanning()) return;
  if (!source.device->ParametersFit()) {
    source.dialog->ShowMessage(QString::fromUtf8(kPictureTooLarge));
    return;
  }
  RememberValues(RememberedOf(source), source.dialog->Current());
  source.dialog->SetScanning(true);
  StartScan(source);
}

void ApplyRequested(const Session& source, Device& device) {
  for (const auto& [setting, value] : source.requested) Apply(device, *setting, value);
}

TW_UINT16 Enable(Session& source, const TW_IDENTITY& destination, const TW_USERINTERFACE& ui) {
  if (source.enabled) return Fail(source.condition, TWCC_SEQERROR);
  // The binding keeps a source open across selections: a different choice is opened here.
  const std::string name = DeviceNameOf(destination);
  if (!name.empty() && name != source.name) {
    TW_UINT16 condition = TWCC_SUCCESS;
    std::unique_ptr<Device> device = OpenDevice(name, condition);
    if (!device) return Fail(source.condition, condition);
    source.device = std::move(device);
    source.name = name;
    source.requested.clear();
  }
  if (!source.device) {
    TW_UINT16 condition = TWCC_SUCCESS;
    source.device = OpenDevice(source.name, condition);
    if (!source.device) return Fail(source.condition, condition);
  }
  Session* const self = &source;
  source.showUI = ui.ShowUI != 0;
  source.receiver = std::make_unique<QObject>();
  QWidget* const parent = ParentWidget(ui.hParent);
  if (source.showUI) {
    if (!HaveWidgets()) return Fail(source.condition, TWCC_BUMMER);
    ScanActions actions;
    actions.scan = [self] { ScanFromDialog(*self); };
    actions.preview = [self] { PreviewFromDialog(*self); };
    actions.cancel = [self] { self->device->Cancel(); };
    actions.close = [self] {
      self->device->Cancel();
      Post(*self, Notice::kCloseRequested);
    };
    source.dialog =
        std::make_unique<ScanDialog>(parent, *source.device, ui.ModalUI != 0, std::move(actions));
    // The device's settings of the last time; a value it no longer takes is dropped.
    source.dialog->Apply(ValuesFor(RememberedOf(source)));
    const RememberedDevice known = RememberedOf(source);
    const std::string product = known.vendor + (known.vendor.empty() ? "" : " ") + known.model;
    source.dialog->SetDeviceText(
        QString::fromStdString(product.empty() ? known.name : product + " (" + known.name + ")"));
    ApplyRequested(source, *source.device);
    source.dialog->Apply({});
    source.dialog->show();
  } else {
    // A picture beyond the size limit is refused at its first frame, through the transfer.
    ApplyRequested(source, *source.device);
    StartScan(source);
    if (HaveWidgets()) {
      source.progress = std::make_unique<ProgressWindow>(parent, *source.device,
                                                         [self] { self->device->Cancel(); });
      source.progress->show();
    }
  }
  source.enabled = true;
  return TWRC_SUCCESS;
}

// The source's answer to one event of the binding's loop.
TW_UINT16 ProcessEvent(Session& source, TW_EVENT& event) {
  event.TWMessage = MSG_NULL;
  const auto* message = static_cast<const MSG*>(event.pEvent);
  if (!source.enabled || !source.receiver || !message || !message->event ||
      message->receiver != source.receiver.get() || message->event->type() != NoticeType())
    return TWRC_NOTDSEVENT;
  if (static_cast<const NoticeEvent*>(message->event)->Which() == Notice::kCloseRequested) {
    event.TWMessage = MSG_CLOSEDSREQ;
    return TWRC_DSEVENT;
  }
  ScanResult result = source.device->TakeResult();
  const bool complete = result.outcome == ScanResult::Outcome::kComplete;
  const bool preview = source.beforePreview.has_value() && source.dialog;
  if (preview) EndPreview(source, result);
  if (preview && complete) return TWRC_DSEVENT;
  if (complete) {
    source.image = std::move(result.dib);
    if (source.dialog) source.dialog->SetScanning(false);
    event.TWMessage = MSG_XFERREADY;
    return TWRC_DSEVENT;
  }
  if (source.dialog) {
    // The dialog stays; it says what happened and is ready for the next scan.
    source.dialog->SetScanning(false);
    const char* text = result.outcome == ScanResult::Outcome::kCancelled
                           ? kCancelled
                           : DeviceConditionText(result.condition);
    source.dialog->ShowMessage(QString::fromUtf8(text ? text : kDeviceError));
    return TWRC_DSEVENT;
  }
  source.progress.reset();
  if (result.outcome == ScanResult::Outcome::kCancelled) {
    event.TWMessage = MSG_CLOSEDSREQ;
    return TWRC_DSEVENT;
  }
  // Without a dialog a failure reaches the program through the transfer.
  source.failure = result.condition;
  event.TWMessage = MSG_XFERREADY;
  return TWRC_DSEVENT;
}

TW_UINT16 NativeTransfer(Session& source, HGLOBAL& handle) {
  if (source.failure) {
    const TW_UINT16 condition = *source.failure;
    source.failure.reset();
    return Fail(source.condition, condition);
  }
  if (!source.image) return Fail(source.condition, TWCC_SEQERROR);
  const HGLOBAL block = GlobalAlloc(0, source.image->size());
  void* bytes = block ? GlobalLock(block) : nullptr;
  if (!bytes) {
    if (block) GlobalFree(block);
    return Fail(source.condition, TWCC_LOWMEMORY);
  }
  std::memcpy(bytes, source.image->data(), source.image->size());
  GlobalUnlock(block);
  source.image.reset();
  handle = block;
  return TWRC_XFERDONE;
}

TW_UINT16 SetCapability(Session& source, const TW_CAPABILITY& capability) {
  const Setting* setting = SettingFor(capability.Cap);
  if (!setting) return Fail(source.condition, TWCC_CAPUNSUPPORTED);
  if (capability.ConType != TWON_ONEVALUE) return Fail(source.condition, TWCC_BADVALUE);
  std::optional<std::string> value;
  if (const auto block = static_cast<HGLOBAL>(capability.hContainer)) {
    if (const void* bytes = GlobalLock(block)) {
      value = FromContainer(*setting, bytes, GlobalSize(block));
      GlobalUnlock(block);
    }
  }
  if (!value) return Fail(source.condition, TWCC_BADVALUE);
  // The value is checked against the device, open or opened for it, with the settings asked
  // for so far in place (the resolutions a device takes may depend on its mode).
  std::unique_ptr<Device> opened;
  Device* device = source.device.get();
  if (!device) {
    TW_UINT16 condition = TWCC_SUCCESS;
    opened = OpenDevice(source.name, condition);
    if (!opened) return Fail(source.condition, condition);
    device = opened.get();
  }
  ApplyRequested(source, *device);
  // A device without the setting at all says so, rather than that the value is out of range.
  if (!Takes(*device, *setting, *value))
    return Fail(source.condition, Offers(*device, *setting) ? TWCC_BADVALUE : TWCC_CAPUNSUPPORTED);
  std::erase_if(source.requested, [&](const auto& r) { return r.first == setting; });
  source.requested.emplace_back(setting, *value);
  return TWRC_SUCCESS;
}

// ---- Dispatch ------------------------------------------------------------------------------

TW_UINT16 GetStatus(TW_UINT16& condition, TW_MEMREF data) {
  static_cast<TW_STATUS*>(data)->ConditionCode = condition;
  condition = TWCC_SUCCESS;
  return TWRC_SUCCESS;
}

TW_UINT16 DisableSource(Session& source) {
  if (!source.enabled) return Fail(source.condition, TWCC_SEQERROR);
  Disable(source);
  return TWRC_SUCCESS;
}

TW_UINT16 EndTransfer(Session& source, TW_MEMREF data) {
  static_cast<TW_PENDINGXFERS*>(data)->Count = 0;
  source.image.reset();
  return TWRC_SUCCESS;
}

TW_UINT16 CapabilityTriplet(Session& source, TW_UINT16 msg, TW_MEMREF data) {
  if (msg != MSG_SET) return Fail(source.condition, TWCC_CAPBADOPERATION);
  if (source.enabled) return Fail(source.condition, TWCC_SEQERROR);
  return SetCapability(source, *static_cast<TW_CAPABILITY*>(data));
}

// What the open source answers: (group, data, message) -> handler; MSG_NULL stands for every
// message of that data.
struct SourceRoute {
  TW_UINT32 dg;
  TW_UINT16 dat, msg;
  TW_UINT16 (*handle)(Session&, const TW_IDENTITY&, TW_UINT16 msg, TW_MEMREF data);
};

constexpr SourceRoute kSourceRoutes[] = {
    {DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT,
     [](Session& s, const TW_IDENTITY&, TW_UINT16, TW_MEMREF data) {
       return ProcessEvent(s, *static_cast<TW_EVENT*>(data));
     }},
    {DG_CONTROL, DAT_STATUS, MSG_GET,
     [](Session& s, const TW_IDENTITY&, TW_UINT16, TW_MEMREF data) {
       return GetStatus(s.condition, data);
     }},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS,
     [](Session& s, const TW_IDENTITY& destination, TW_UINT16, TW_MEMREF data) {
       return Enable(s, destination, *static_cast<TW_USERINTERFACE*>(data));
     }},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS,
     [](Session& s, const TW_IDENTITY&, TW_UINT16, TW_MEMREF) { return DisableSource(s); }},
    {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET,
     [](Session& s, const TW_IDENTITY&, TW_UINT16, TW_MEMREF data) {
       return NativeTransfer(s, *static_cast<HGLOBAL*>(data));
     }},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER,
     [](Session& s, const TW_IDENTITY&, TW_UINT16, TW_MEMREF data) {
       return EndTransfer(s, data);
     }},
    {DG_CONTROL, DAT_CAPABILITY, MSG_NULL,
     [](Session& s, const TW_IDENTITY&, TW_UINT16 msg, TW_MEMREF data) {
       return CapabilityTriplet(s, msg, data);
     }},
};

TW_UINT16 SourceTriplet(Session& source, const TW_IDENTITY& destination, TW_UINT32 dg,
                        TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  for (const SourceRoute& route : kSourceRoutes)
    if (route.dg == dg && route.dat == dat && (route.msg == MSG_NULL || route.msg == msg))
      return route.handle(source, destination, msg, data);
  return Fail(source.condition, TWCC_BADPROTOCOL);
}

TW_UINT16 CloseSourceTriplet() {
  if (!State().source) return ManagerFails(TWCC_SEQERROR);
  CloseSource();
  return TWRC_SUCCESS;
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
