#include "session.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <span>

#include "scanner/contract/conditions.h"
#include "scanner/contract/messages.h"
#include "scanner/device/preview_settings.h"
#include "scanner/device/setting_values.h"
#include "scanner/documents/documents.h"
#include "twain/identity_text.h"

namespace scanner {
namespace {

bool HaveWidgets() {
  return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

// The scan dialog's 傾き補正, remembered with the device's settings under this key.
constexpr const char* kStraightenKey = "straighten";
constexpr const char* kOn = "on";

SettingValues WithStraightening(SettingValues values, const ScanDialog& dialog) {
  values[kStraightenKey] = dialog.Straightening() ? kOn : "off";
  return values;
}

// The packed bitmap of a scan with its document turned upright and cropped to it: of the
// documents found on the scan, the one nearest to where the preview showed the chosen one
// (hint), or the largest without a hint. Nothing where there is nothing to straighten (line
// art, no document).
std::optional<std::vector<std::uint8_t>> Straightened(
    const std::vector<std::uint8_t>& dib,
    const std::function<std::optional<documents::RotatedRect>(int, int)>& hintFor) {
  if (dib.size() < kInfoHeaderSize) return std::nullopt;
  const auto width = static_cast<int>(GetLittleEndian(dib.data() + 4, 4));
  const auto height = static_cast<int>(GetLittleEndian(dib.data() + 8, 4));
  const auto bits = static_cast<int>(GetLittleEndian(dib.data() + 14, 2));
  if ((bits != 8 && bits != 24) || width <= 0 || height <= 0) return std::nullopt;
  const std::uint32_t used = GetLittleEndian(dib.data() + 32, 4);
  const std::size_t colours = bits == 8 ? (used ? used : 256) : 0;
  const std::size_t start = kInfoHeaderSize + 4 * colours;
  const auto stride = static_cast<int>(RowStride(width, bits));
  if (dib.size() < start + static_cast<std::size_t>(stride) * static_cast<std::size_t>(height))
    return std::nullopt;
  const documents::PictureView view{width, height, stride, bits / 8, std::span(dib).subspan(start),
                                    true};
  const std::vector<documents::RotatedRect> found = documents::FindDocuments(view);
  std::optional<documents::RotatedRect> chosen = hintFor(width, height);
  if (!chosen && found.empty()) return std::nullopt;
  if (!chosen) {
    chosen = found.front();
  } else {
    // Found again on the scan, more exactly than on the preview.
    const documents::RotatedRect hint = *chosen;
    for (const documents::RotatedRect& d : found)
      if (std::hypot(d.centerX - hint.centerX, d.centerY - hint.centerY) <
          std::min(hint.width, hint.height) / 4)
        chosen = d;
  }
  const documents::Straightened straightened = documents::Straighten(view, *chosen, {4, true});
  const documents::Picture& upright = straightened.picture;
  if (upright.pixels.empty()) return std::nullopt;
  // As the helper traces SANE's calls: where nothing else tells it.
  if (straightened.takenAsUpright && std::getenv("LUMIVANE_SCANNER_TRACE"))
    (void)std::fprintf(stderr, "straighten: %.1f degrees, taken as upright\n", chosen->degrees);
  std::vector<std::uint8_t> result(dib.begin(), dib.begin() + static_cast<std::ptrdiff_t>(start));
  PutLittleEndian(result.data() + 4, static_cast<std::uint32_t>(upright.width), 4);
  PutLittleEndian(result.data() + 8, static_cast<std::uint32_t>(upright.height), 4);
  PutLittleEndian(result.data() + 20, static_cast<std::uint32_t>(upright.pixels.size()), 4);
  result.insert(result.end(), upright.pixels.begin(), upright.pixels.end());
  return result;
}

}  // namespace

class Session::NoticeEvent final : public QEvent {
 public:
  explicit NoticeEvent(Notice notice) : QEvent(NoticeType()), notice_(notice) {}
  Notice Which() const { return notice_; }

 private:
  Notice notice_;
};

QEvent::Type Session::NoticeType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
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

Session::Session(DeviceInfo known, std::unique_ptr<Device> device, const TW_IDENTITY& identity)
    : identity_(identity), known_(std::move(known)), device_(std::move(device)) {}

// The user's settings, on the device and in the dialog, again after a preview.
void Session::RestoreAfterPreview() {
  if (!beforePreview_) return;
  scanner::EndPreview(*device_, *beforePreview_);
  dialog_->Refresh();
  beforePreview_.reset();
}

void Session::Close() {
  progress_.reset();
  // Cancels and joins a scan (before the receiver its end posts to goes), and frees the device
  // for other programs; a feeder stays open for the next sheet, which a device opened again
  // would start from the first one.
  if (device_ && device_->Scanning()) {
    device_->Cancel();
    device_->TakeResult();
  }
  const bool keep = device_ && ValueOf(*device_, TableRow("source")) == kFeederWord;
  // However the dialog closes, its settings are the device's for the next time: during a
  // preview, the user's, not the preview's.
  if (dialog_) {
    RememberValues(known_,
                   WithStraightening(beforePreview_.value_or(ValuesOf(*device_)), *dialog_));
    if (keep) RestoreAfterPreview();
  }
  beforePreview_.reset();
  dialog_.reset();
  if (!keep) device_.reset();
  receiver_.reset();
  image_.reset();
  failure_.reset();
  enabled_ = false;
}

void Session::Post(Notice notice) {
  QCoreApplication::postEvent(receiver_.get(), new NoticeEvent(notice));  // Qt takes it
}

void Session::StartScan(bool live) {
  QObject* receiver = receiver_.get();
  device_->StartScan(
      [receiver] { QCoreApplication::postEvent(receiver, new NoticeEvent(Notice::kScanEnded)); },
      live);
}

void Session::PreviewFromDialog() {
  if (device_->Scanning()) return;
  beforePreview_ = ValuesOf(*device_);
  SetForPreview(*device_);
  dialog_->BeginPreview();
  StartScan(true);
}

void Session::CloseFromDialog() {
  device_->Cancel();
  Post(Notice::kCloseRequested);
}

// The end of a preview: the settings are the user's again, the pane has the picture.
void Session::EndPreview(const ScanResult& result) {
  RestoreAfterPreview();
  dialog_->EndPreview(result.outcome == ScanResult::Outcome::kComplete);
}

void Session::ScanFromDialog() {
  if (device_->Scanning()) return;
  if (!device_->ParametersFit()) {
    dialog_->ShowMessage(QString::fromUtf8(kPictureTooLarge));
    return;
  }
  RememberValues(known_, WithStraightening(ValuesOf(*device_), *dialog_));
  dialog_->SetScanning(true);
  StartScan();
}

void Session::ApplyRequested(Device& device) const {
  for (const auto& [setting, value] : requested_) Apply(device, *setting, value);
}

TW_UINT16 Session::Enable(const DeviceInfo& chosen, const TW_USERINTERFACE& ui, QWidget* parent) {
  if (enabled_) return Fail(condition_, TWCC_SEQERROR);
  // The binding keeps a source open across selections: a different choice is opened here.
  if (!chosen.name.empty() && chosen.name != known_.name) {
    TW_UINT16 condition = TWCC_SUCCESS;
    std::unique_ptr<Device> device = OpenDevice(chosen.name, condition);
    if (!device) return Fail(condition_, condition);
    device_ = std::move(device);
    known_ = chosen;
    requested_.clear();
  }
  if (!device_) {
    TW_UINT16 condition = TWCC_SUCCESS;
    device_ = OpenDevice(known_.name, condition);
    if (!device_) return Fail(condition_, condition);
  }
  receiver_ = std::make_unique<QObject>();
  if (ui.ShowUI != 0) {
    if (!HaveWidgets()) return Fail(condition_, TWCC_BUMMER);
    // The device's settings of the last time (a value it no longer takes is dropped), then
    // those the program asked for.
    ApplyValues(*device_, ValuesFor(known_));
    ApplyRequested(*device_);
    dialog_ = std::make_unique<ScanDialog>(parent, *device_, known_, ui.ModalUI != 0);
    dialog_->SetStraightening(ValuesFor(known_)[kStraightenKey] == kOn);
    QObject* receiver = receiver_.get();
    QObject::connect(dialog_.get(), &ScanDialog::scanRequested, receiver,
                     [this] { ScanFromDialog(); });
    QObject::connect(dialog_.get(), &ScanDialog::previewRequested, receiver,
                     [this] { PreviewFromDialog(); });
    QObject::connect(dialog_.get(), &ScanDialog::cancelRequested, receiver,
                     [this] { device_->Cancel(); });
    QObject::connect(dialog_.get(), &ScanDialog::closeRequested, receiver,
                     [this] { CloseFromDialog(); });
    dialog_->show();
  } else {
    // A picture beyond the size limit is refused at its first frame, through the transfer.
    ApplyRequested(*device_);
    StartScan();
    if (HaveWidgets()) {
      progress_ = std::make_unique<ProgressWindow>(parent, *device_);
      QObject::connect(progress_.get(), &ProgressWindow::cancelRequested, receiver_.get(),
                       [this] { device_->Cancel(); });
      progress_->show();
    }
  }
  enabled_ = true;
  return TWRC_SUCCESS;
}

TW_UINT16 Session::Disable() {
  if (!enabled_) return Fail(condition_, TWCC_SEQERROR);
  Close();
  return TWRC_SUCCESS;
}

TW_UINT16 Session::ProcessEvent(TW_EVENT& event) {
  event.TWMessage = MSG_NULL;
  const auto* message = static_cast<const MSG*>(event.pEvent);
  if (!enabled_ || !receiver_ || !message || !message->event ||
      message->receiver != receiver_.get() || message->event->type() != NoticeType())
    return TWRC_NOTDSEVENT;
  if (static_cast<const NoticeEvent*>(message->event)->Which() == Notice::kCloseRequested) {
    event.TWMessage = MSG_CLOSEDSREQ;
    return TWRC_DSEVENT;
  }
  ScanResult result = device_->TakeResult();
  const bool complete = result.outcome == ScanResult::Outcome::kComplete;
  const bool preview = beforePreview_.has_value() && dialog_;
  if (preview) EndPreview(result);
  if (preview && complete) return TWRC_DSEVENT;
  if (complete) {
    image_ = std::move(result.dib);
    if (dialog_) dialog_->SetScanning(false);
    if (dialog_ && dialog_->Straightening()) {
      // Should straightening fail, the scan goes to the program as it came, and the dialog says so.
      try {
        const ScanDialog& dialog = *dialog_;
        if (auto upright =
                Straightened(*image_, [&](int w, int h) { return dialog.ChosenOnScan(w, h); }))
          image_ = std::move(upright);
      } catch (const std::bad_alloc&) {
        dialog_->ShowMessage(QString::fromUtf8(kStraightenFailed));
      }
    }
    event.TWMessage = MSG_XFERREADY;
    return TWRC_DSEVENT;
  }
  if (dialog_) {
    // The dialog stays; it says what happened and is ready for the next scan.
    dialog_->SetScanning(false);
    dialog_->ShowMessage(QString::fromUtf8(result.outcome == ScanResult::Outcome::kCancelled
                                               ? kScanCancelled
                                               : ConditionMessage(result.condition)));
    return TWRC_DSEVENT;
  }
  progress_.reset();
  if (result.outcome == ScanResult::Outcome::kCancelled) {
    event.TWMessage = MSG_CLOSEDSREQ;
    return TWRC_DSEVENT;
  }
  // Without a dialog a failure reaches the program through the transfer.
  failure_ = result.condition;
  event.TWMessage = MSG_XFERREADY;
  return TWRC_DSEVENT;
}

TW_UINT16 Session::NativeTransfer(HGLOBAL& handle) {
  if (failure_) {
    const TW_UINT16 condition = *failure_;
    failure_.reset();
    return Fail(condition_, condition);
  }
  if (!image_) return Fail(condition_, TWCC_SEQERROR);
  const HGLOBAL block = GlobalAlloc(0, image_->size());
  void* bytes = block ? GlobalLock(block) : nullptr;
  if (!bytes) {
    if (block) GlobalFree(block);
    return Fail(condition_, TWCC_LOWMEMORY);
  }
  std::memcpy(bytes, image_->data(), image_->size());
  GlobalUnlock(block);
  image_.reset();
  handle = block;
  return TWRC_XFERDONE;
}

TW_UINT16 Session::EndTransfer(TW_PENDINGXFERS& pending) {
  pending.Count = 0;
  image_.reset();
  return TWRC_SUCCESS;
}

TW_UINT16 Session::Capability(TW_UINT16 msg, const TW_CAPABILITY& capability) {
  if (msg != MSG_SET) return Fail(condition_, TWCC_CAPBADOPERATION);
  if (enabled_) return Fail(condition_, TWCC_SEQERROR);
  return SetCapability(capability);
}

TW_UINT16 Session::SetCapability(const TW_CAPABILITY& capability) {
  const Setting* setting = SettingFor(capability.Cap);
  if (!setting) return Fail(condition_, TWCC_CAPUNSUPPORTED);
  if (capability.ConType != TWON_ONEVALUE) return Fail(condition_, TWCC_BADVALUE);
  std::optional<std::string> value;
  if (const auto block = static_cast<HGLOBAL>(capability.hContainer)) {
    if (const void* bytes = GlobalLock(block)) {
      value = FromContainer(*setting, bytes, GlobalSize(block));
      GlobalUnlock(block);
    }
  }
  if (!value) return Fail(condition_, TWCC_BADVALUE);
  // The value is checked against the device, open or opened for it, with the settings asked
  // for so far in place (the resolutions a device takes may depend on its mode).
  std::unique_ptr<Device> opened;
  Device* device = device_.get();
  if (!device) {
    TW_UINT16 condition = TWCC_SUCCESS;
    opened = OpenDevice(known_.name, condition);
    if (!opened) return Fail(condition_, condition);
    device = opened.get();
  }
  ApplyRequested(*device);
  // A device without the setting at all says so, rather than that the value is out of range.
  if (!Takes(*device, *setting, *value))
    return Fail(condition_, Offers(*device, *setting) ? TWCC_BADVALUE : TWCC_CAPUNSUPPORTED);
  std::erase_if(requested_, [&](const auto& r) { return r.first == setting; });
  requested_.emplace_back(setting, *value);
  return TWRC_SUCCESS;
}

}  // namespace scanner
