// The open source: its device, the settings the program asked for through capabilities, its
// windows, the scan under way and its picture; its answer to each triplet the manager routes to it.
#pragma once

#include <QEvent>
#include <QObject>
#include <QWidget>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "scanner/contract/settings.h"
#include "scanner/device/device.h"
#include "scanner/ui/progress_window.h"
#include "scanner/ui/remembered.h"
#include "scanner/ui/scan_dialog.h"
#include "twain/twain.h"

namespace scanner {

// Records condition in slot (a source's or the manager's) and fails the triplet.
inline TW_UINT16 Fail(TW_UINT16& slot, TW_UINT16 condition) {
  slot = condition;
  return TWRC_FAILURE;
}

// The device of that name opened; nothing, with the condition to report, when it cannot be.
std::unique_ptr<Device> OpenDevice(const std::string& name, TW_UINT16& condition);

class Session {
 public:
  // The source of the device opened; identity is how the manager hands it out.
  Session(DeviceInfo known, std::unique_ptr<Device> device, const TW_IDENTITY& identity);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const TW_IDENTITY& Identity() const { return identity_; }
  bool HasDevice() const { return device_ != nullptr; }
  // The condition of the last triplet that failed, told by DAT_STATUS (and then cleared).
  TW_UINT16& Condition() { return condition_; }

  // MSG_ENABLEDS: chosen is the device the program chose since the source was opened (the
  // binding keeps a source open across selections; empty: none); parent the window for the
  // source's own (the manager's parent when the program gives none).
  TW_UINT16 Enable(const DeviceInfo& chosen, const TW_USERINTERFACE& ui, QWidget* parent);
  TW_UINT16 Disable();
  TW_UINT16 ProcessEvent(TW_EVENT& event);
  TW_UINT16 NativeTransfer(HGLOBAL& handle);
  TW_UINT16 EndTransfer(TW_PENDINGXFERS& pending);
  TW_UINT16 Capability(TW_UINT16 msg, const TW_CAPABILITY& capability);
  // The source is closed: its windows and its scan end, and the device is let go (a feeder's is
  // kept for the next sheet); the dialog's settings are remembered.
  void Close();

 private:
  // What the source posts to its own receiver; the binding's loop offers it back through
  // MSG_PROCESSEVENT.
  enum class Notice { kScanEnded, kCloseRequested };
  class NoticeEvent;
  static QEvent::Type NoticeType();

  void Post(Notice notice);
  void StartScan(bool live = false);
  // What the dialog asks for.
  void ScanFromDialog();
  void PreviewFromDialog();
  void CloseFromDialog();
  void EndPreview(const ScanResult& result);
  void RestoreAfterPreview();
  void ApplyRequested(Device& device) const;
  TW_UINT16 SetCapability(const TW_CAPABILITY& capability);

  // Members end in reverse order, which is the order of teardown: the windows, which show the
  // device, first; then the device, which ends and joins its scan; then the receiver that scan
  // posts to; the protocol's state last.
  TW_IDENTITY identity_{};
  DeviceInfo known_;  // the device as the user knows it: shown, and what its settings go under
  // Settings the program asked for through capabilities, in the order asked, for the next scan.
  std::vector<std::pair<const Setting*, std::string>> requested_;
  TW_UINT16 condition_ = TWCC_SUCCESS;
  bool enabled_ = false;
  std::optional<std::vector<std::uint8_t>> image_;  // ready for the native transfer
  std::optional<TW_UINT16> failure_;                // the transfer fails with this condition
  // While a preview runs: the user's settings to give back after it.
  std::optional<SettingValues> beforePreview_;
  std::unique_ptr<QObject> receiver_;
  std::unique_ptr<Device> device_;
  std::unique_ptr<ScanDialog> dialog_;
  std::unique_ptr<ProgressWindow> progress_;
};

}  // namespace scanner
