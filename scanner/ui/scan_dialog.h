// The source's own windows: the scan dialog and the small progress window of a scan without it.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QWidget>
#include <array>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "scanner/device/device.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSlider;
class QSpinBox;
class QTimer;

namespace scanner {

class PreviewPane;

// The table's settings by name, each in its text form: what the dialog shows, and what is
// remembered per device for the next time.
using SettingValues = std::map<std::string, std::string>;

// The device's values of every setting of the table it offers.
SettingValues ValuesOf(const Device& device);
// Sets the values the device takes, in the table's order; the others are dropped.
void ApplyValues(Device& device, const SettingValues& values);

struct ScanActions {
  std::function<void()> scan, preview, cancel, close;
};

class ScanDialog final : public QDialog {
 public:
  // The controls show what device offers; changes go to device at once (it is idle whenever the
  // controls are enabled).
  ScanDialog(QWidget* parent, Device& device, bool modal, ScanActions actions);
  ~ScanDialog() override;

  void Apply(const SettingValues& values);
  SettingValues Current() const;
  // The device as the user knows it (maker, model, name), on a line of the dialog.
  void SetDeviceText(const QString& text);
  void SetScanning(bool scanning);
  // A preview runs like a scan; its lines go to the pane as they come. At its end, complete
  // says whether it gave a picture; the area is then set to the document found on it, when
  // that is asked for.
  void BeginPreview();
  void EndPreview(bool complete);
  void ShowMessage(const QString& text);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void reject() override;

 private:
  // A number typed into a box and not yet applied (Return or leaving the box applies it) is
  // applied before anything the buttons start.
  void ApplyTyped();
  void Refresh();
  void ShowProgress();
  void TakePreviewLines();
  QRectF Glass() const;
  void SetArea(const QRectF& area);

  Device& device_;
  ScanActions actions_;
  QComboBox* mode_ = nullptr;
  QSpinBox* resolution_ = nullptr;
  std::array<QDoubleSpinBox*, 4> area_{};
  QComboBox* source_ = nullptr;
  std::array<QSlider*, 2> sliders_{};  // brightness, contrast
  PreviewPane* pane_ = nullptr;
  QCheckBox* detect_ = nullptr;
  QPushButton* preview_ = nullptr;
  QPushButton* whole_ = nullptr;
  QLabel* device_label_ = nullptr;
  QLabel* size_ = nullptr;
  QLabel* message_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* scan_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QPushButton* close_ = nullptr;
  QTimer* timer_ = nullptr;
  QPointer<QWidget> focusBefore_;  // where the keys went before a scan disabled it
  bool refreshing_ = false;
  bool previewing_ = false;
  SANE_Parameters previewParameters_{};
  std::vector<std::uint8_t> previewBytes_;
};

// A scan without the dialog: progress and a cancel button.
class ProgressWindow final : public QWidget {
 public:
  ProgressWindow(QWidget* parent, const Device& device, std::function<void()> cancel);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  const Device& device_;
  std::function<void()> cancel_;
  QProgressBar* progress_;
};

// The progress bar shows received of expected bytes, or is busy when the size is not known.
void ShowProgress(QProgressBar& bar, std::int64_t received, std::int64_t expected);

}  // namespace scanner
