// The source's own window: the scan dialog. Its settings are the table's rows that the device
// offers; a change goes to the device at once (it is idle whenever the settings are enabled).
// What the user asks for beyond that (a scan, a preview, to cancel, to close) it reports by its
// signals, and the source answers through its functions.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QSize>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "scanner/contract/device_info.h"
#include "scanner/device/device.h"
#include "scanner/device/setting_values.h"
#include "scanner/documents/documents.h"

class QCheckBox;
class QDoubleSpinBox;
class QFormLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace scanner {

class PreviewPane;

class ScanDialog final : public QDialog {
  Q_OBJECT

 public:
  // known: the device as the user knows it (maker, model, name), on a line of the dialog.
  ScanDialog(QWidget* parent, Device& device, const DeviceInfo& known, bool modal);
  ~ScanDialog() override;

  // The device's values again, or after they were changed elsewhere (after a preview).
  void Refresh();
  void SetScanning(bool scanning);
  // A preview runs like a scan; its lines go to the pane as they come. At its end, complete
  // says whether it gave a picture; the area is then set to the document found on it, when
  // that is asked for.
  void BeginPreview();
  void EndPreview(bool complete);
  void ShowMessage(const QString& text);

  // Whether the scan is to reach the program straightened: the chosen document turned upright
  // and cropped to it.
  bool Straightening() const;
  void SetStraightening(bool on);
  // The document chosen on the preview (the largest, or the one clicked), in the pixels of a
  // scan of the device's area as it is now, of width x height pixels; none without a preview
  // that found one.
  std::optional<documents::RotatedRect> ChosenOnScan(int width, int height) const;

 signals:
  // What was typed and not yet applied has been applied first.
  void scanRequested();
  void previewRequested();
  void cancelRequested();
  // However the user closes the dialog (the close button, the window's, Escape); the source
  // closes it.
  void closeRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void reject() override;

 private:
  // One row of the table: its field, what shows the device's value (and range) in it, and what
  // applies a number typed into it and not yet applied (Return or leaving the box applies it).
  struct Row {
    const Setting* setting;
    QWidget* field;
    std::function<void()> show;
    std::function<void()> typed;
  };
  Row ChoiceRow(const Setting& setting);
  Row NumberRow(const Setting& setting);
  Row AreaRow(const Setting& setting);
  Row SliderRow(const Setting& setting);
  // apply, then what the device's values are now, unless the dialog itself is showing them.
  template <typename Apply>
  auto Changed(Apply apply);

  void ApplyTyped();
  void ShowProgress();
  void TakePreviewLines();
  QRectF Glass() const;
  void SetArea(const QRectF& area);
  void FindDocuments(std::span<const std::uint8_t> bytes, int width, int height, int channels);
  void Choose(int document);
  QPointF PreviewToGlass(double x, double y) const;

  Device& device_;
  QFormLayout* form_ = nullptr;
  std::vector<Row> rows_;
  std::array<QDoubleSpinBox*, 4> area_{};
  PreviewPane* pane_ = nullptr;
  QCheckBox* detect_ = nullptr;
  QCheckBox* straighten_ = nullptr;
  QPushButton* preview_ = nullptr;
  QPushButton* whole_ = nullptr;
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
  // The documents found on the last preview (of previewSize_ pixels), in its pixels, and the
  // one chosen.
  std::vector<documents::RotatedRect> found_;
  QSize previewSize_;
  std::size_t chosen_ = 0;
};

}  // namespace scanner
