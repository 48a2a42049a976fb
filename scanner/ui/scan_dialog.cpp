#include "scan_dialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>

#include "document_area.h"
#include "preview_pane.h"
#include "scanner/contract/messages.h"
#include "scanner/contract/settings.h"
#include "scanner/device/setting_values.h"

namespace scanner {
namespace {

constexpr int kProgressIntervalMs = 100;
// The table's entry of that name; a name missing from the table does not compile.
consteval const Setting* TableEntry(std::string_view name) {
  const Setting* setting = SettingNamed(name);
  if (setting == nullptr) throw "not a setting";
  return setting;
}
constexpr std::array<const Setting*, 2> kSliderSettings{TableEntry("brightness"),
                                                        TableEntry("contrast")};
constexpr std::array<const char*, 4> kAreaNames{"areaLeft", "areaTop", "areaRight", "areaBottom"};
constexpr std::array<const char*, 4> kAreaLabels{kAreaLeft, kAreaTop, kAreaRight, kAreaBottom};

const char* ModeText(ColourMode mode) {
  switch (mode) {
    case ColourMode::kColor:
      return kModeColor;
    case ColourMode::kGray:
      return kModeGray;
    case ColourMode::kLineart:
      return kModeLineart;
  }
  return "";
}

QString SourceText(const std::string& source) {
  QString name = QString::fromStdString(source);
  if (name.contains("flatbed", Qt::CaseInsensitive)) return QString::fromUtf8(kSourceFlatbed);
  if (name.contains("ADF", Qt::CaseInsensitive) || name.contains("feeder", Qt::CaseInsensitive))
    return QString::fromUtf8(kSourceFeeder) + (name.contains("duplex", Qt::CaseInsensitive)
                                                   ? QStringLiteral(" (") + name + ")"
                                                   : QString());
  return name;
}

// Bytes as the size label shows them: kilobytes below a megabyte.
QString SizeText(double bytes) {
  constexpr double kMegabyte = 1024.0 * 1024.0;
  if (bytes < kMegabyte)
    return QString::fromUtf8(kKilobytes).arg(std::max(1.0, std::ceil(bytes / 1024.0)), 0, 'f', 0);
  return QString::fromUtf8(kMegabytes).arg(bytes / kMegabyte, 0, 'f', 1);
}

QPushButton* Button(QWidget* parent, const char* text, const char* name) {
  auto* button = new QPushButton(QString::fromUtf8(text), parent);  // the parent owns it
  button->setObjectName(name);
  return button;
}

}  // namespace

void ShowProgress(QProgressBar& bar, std::int64_t received, std::int64_t expected) {
  if (expected <= 0) {
    bar.setRange(0, 0);
    return;
  }
  bar.setRange(0, 1000);
  bar.setValue(static_cast<int>(std::min<std::int64_t>(1000, received * 1000 / expected)));
}

SettingValues ValuesOf(const Device& device) {
  SettingValues values;
  for (const Setting& setting : kSettings)
    if (Offers(device, setting))
      if (std::optional<std::string> value = ValueOf(device, setting))
        values[setting.name] = std::move(*value);
  return values;
}

void ApplyValues(Device& device, const SettingValues& values) {
  for (const Setting& setting : kSettings)
    if (const auto it = values.find(setting.name); it != values.end())
      if (Offers(device, setting) && Takes(device, setting, it->second))
        Apply(device, setting, it->second);
}

ScanDialog::ScanDialog(QWidget* parent, Device& device, bool modal, ScanActions actions)
    : QDialog(parent), device_(device), actions_(std::move(actions)) {
  setObjectName("ScanDialog");
  setWindowTitle(QString::fromUtf8(kScanTitle));
  setWindowModality(modal ? Qt::ApplicationModal : Qt::NonModal);
  auto* form = new QFormLayout;

  mode_ = new QComboBox(this);
  mode_->setObjectName("modeCombo");
  for (ColourMode mode : device_.Modes())
    mode_->addItem(QString::fromUtf8(ModeText(mode)), static_cast<int>(mode));
  form->addRow(QString::fromUtf8(kModeLabel), mode_);
  mode_->setVisible(mode_->count() > 0);

  resolution_ = new QSpinBox(this);
  resolution_->setObjectName("resolutionSpin");
  resolution_->setSuffix(QString::fromUtf8(kResolutionUnit));
  resolution_->setKeyboardTracking(false);
  if (const std::optional<NumberChoice> choice = device_.Choice("resolution")) {
    resolution_->setRange(static_cast<int>(std::ceil(choice->min)),
                          static_cast<int>(std::floor(choice->max)));
    form->addRow(QString::fromUtf8(kResolutionLabel), resolution_);
  } else {
    resolution_->hide();
  }

  if (device_.HasArea()) {
    auto* grid = new QGridLayout;
    for (std::size_t i = 0; i < kAreaOptions.size(); ++i) {
      auto* box = new QDoubleSpinBox(this);
      box->setObjectName(kAreaNames[i]);
      const NumberChoice choice = *device_.Choice(kAreaOptions[i]);
      box->setRange(choice.min, choice.max);
      box->setDecimals(1);
      box->setKeyboardTracking(false);
      box->setSuffix(QString::fromStdString(device_.UnitSuffix(kAreaOptions[i])));
      area_[i] = box;
      grid->addWidget(new QLabel(QString::fromUtf8(kAreaLabels[i]), this), static_cast<int>(i / 2),
                      static_cast<int>(i % 2) * 2);
      grid->addWidget(box, static_cast<int>(i / 2), static_cast<int>(i % 2) * 2 + 1);
    }
    form->addRow(QString::fromUtf8(kAreaLabel), grid);
  }

  const std::vector<std::string> sources = device_.Strings("source");
  if (sources.size() > 1) {
    source_ = new QComboBox(this);
    source_->setObjectName("sourceCombo");
    for (const std::string& source : sources)
      source_->addItem(SourceText(source), QString::fromStdString(source));
    form->addRow(QString::fromUtf8(kSourceLabel), source_);
  }

  // Brightness and contrast, only where the device has them.
  for (std::size_t i = 0; i < kSliderSettings.size(); ++i) {
    const Setting& setting = *kSliderSettings[i];
    const std::optional<NumberChoice> choice = device_.Choice(setting.option);
    if (!choice) continue;
    auto* slider = new QSlider(Qt::Horizontal, this);
    slider->setObjectName(QString::fromUtf8(setting.name) + "Slider");
    slider->setRange(static_cast<int>(std::ceil(choice->min)),
                     static_cast<int>(std::floor(choice->max)));
    sliders_[i] = slider;
    form->addRow(QString::fromUtf8(setting.label), slider);
  }

  device_label_ = new QLabel(this);
  device_label_->setObjectName("deviceLabel");
  device_label_->setText(
      QString::fromUtf8(kDeviceLine).arg(QString::fromStdString(device_.Name())));
  size_ = new QLabel(this);
  size_->setObjectName("sizeLabel");
  message_ = new QLabel(this);
  message_->setObjectName("messageLabel");
  message_->setWordWrap(true);
  // Room for two lines whether a message is shown or not, so that nothing moves when one comes
  // or goes.
  message_->setMinimumHeight(message_->fontMetrics().lineSpacing() * 2);
  progress_ = new QProgressBar(this);
  progress_->setObjectName("progressBar");
  progress_->setRange(0, 1000);
  progress_->setValue(0);
  preview_ = Button(this, kPreviewButton, "previewButton");
  whole_ = Button(this, kWholeGlassButton, "wholeButton");
  detect_ = new QCheckBox(QString::fromUtf8(kDetectCheck), this);
  detect_->setObjectName("detectCheck");
  detect_->setChecked(true);
  scan_ = Button(this, kScanButton, "scanButton");
  cancel_ = Button(this, kCancelButton, "cancelButton");
  close_ = Button(this, kCloseButton, "closeButton");
  // No button is the dialog's default: Return in a box applies the box and starts nothing.
  for (QPushButton* button : {preview_, whole_, scan_, cancel_, close_})
    button->setAutoDefault(false);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(scan_);
  buttons->addWidget(cancel_);
  buttons->addWidget(close_);

  // The glass beside the settings.
  pane_ = new PreviewPane(this);
  pane_->setGlass(Glass());
  pane_->setAreaEnabled(device_.HasArea());
  // From the area's boxes Tab goes on to the area on the glass, which the arrow keys move.
  if (area_[3]) setTabOrder(area_[3], pane_);
  whole_->setVisible(device_.HasArea());
  detect_->setVisible(device_.HasArea());
  auto* previewButtons = new QHBoxLayout;
  previewButtons->addWidget(preview_);
  previewButtons->addWidget(whole_);
  previewButtons->addWidget(detect_);
  previewButtons->addStretch();
  auto* glass = new QVBoxLayout;
  glass->addWidget(pane_, 1);
  glass->addLayout(previewButtons);

  auto* settings = new QVBoxLayout;
  settings->addWidget(device_label_);
  settings->addLayout(form);
  settings->addWidget(size_);
  settings->addStretch();
  auto* columns = new QHBoxLayout;
  columns->addLayout(settings);
  columns->addLayout(glass, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(columns, 1);
  layout->addWidget(progress_);
  layout->addWidget(message_);
  layout->addLayout(buttons);

  timer_ = new QTimer(this);
  timer_->setInterval(kProgressIntervalMs);
  connect(timer_, &QTimer::timeout, this, [this] { ShowProgress(); });
  auto changed = [this](auto apply) {
    return [this, apply](auto...) {
      if (refreshing_) return;
      message_->clear();
      apply();
      Refresh();
    };
  };
  connect(mode_, &QComboBox::currentIndexChanged, this, changed([this] {
            device_.SetMode(static_cast<ColourMode>(mode_->currentData().toInt()));
          }));
  connect(resolution_, &QSpinBox::valueChanged, this,
          changed([this] { device_.SetNumber("resolution", resolution_->value()); }));
  for (std::size_t i = 0; i < area_.size(); ++i)
    if (area_[i])
      connect(area_[i], &QDoubleSpinBox::valueChanged, this,
              changed([this, i] { device_.SetNumber(kAreaOptions[i], area_[i]->value()); }));
  if (source_)
    connect(source_, &QComboBox::currentIndexChanged, this, changed([this] {
              device_.SetString("source", source_->currentData().toString().toStdString());
            }));
  for (std::size_t i = 0; i < sliders_.size(); ++i)
    if (QSlider* slider = sliders_[i])
      connect(slider, &QSlider::valueChanged, this, changed([this, i, slider] {
                device_.SetNumber(kSliderSettings[i]->option, slider->value());
              }));
  connect(pane_, &PreviewPane::areaChanged, this, [this](const QRectF& area) {
    if (refreshing_) return;
    message_->clear();
    SetArea(area);
  });
  connect(whole_, &QPushButton::clicked, this, [this] {
    message_->clear();
    SetArea(Glass());
  });
  connect(preview_, &QPushButton::clicked, this, [this] {
    ApplyTyped();
    actions_.preview();
  });
  connect(scan_, &QPushButton::clicked, this, [this] {
    ApplyTyped();
    actions_.scan();
  });
  connect(cancel_, &QPushButton::clicked, this, [this] { actions_.cancel(); });
  connect(close_, &QPushButton::clicked, this, [this] { reject(); });
  SetScanning(false);
  Refresh();
}

ScanDialog::~ScanDialog() = default;

QRectF ScanDialog::Glass() const {
  if (!device_.HasArea()) return {};
  const NumberChoice left = *device_.Choice("tl-x"), top = *device_.Choice("tl-y");
  const NumberChoice right = *device_.Choice("br-x"), bottom = *device_.Choice("br-y");
  return QRectF(QPointF(left.min, top.min), QPointF(right.max, bottom.max));
}

void ScanDialog::ApplyTyped() {
  if (!resolution_->isHidden()) resolution_->interpretText();
  for (QDoubleSpinBox* box : area_)
    if (box) box->interpretText();
}

void ScanDialog::SetArea(const QRectF& area) {
  if (!device_.HasArea() || area.isNull()) return;
  const std::array<double, 4> values{area.left(), area.top(), area.right(), area.bottom()};
  // The corners in an order the device takes at every step: a new top-left beyond the old
  // bottom-right would be refused or moved.
  for (std::size_t i : {2u, 3u, 0u, 1u}) device_.SetNumber(kAreaOptions[i], values[i]);
  for (std::size_t i : {0u, 1u, 2u, 3u}) device_.SetNumber(kAreaOptions[i], values[i]);
  Refresh();
}

void ScanDialog::SetDeviceText(const QString& text) {
  device_label_->setText(QString::fromUtf8(kDeviceLine).arg(text));
}

void ScanDialog::Apply(const SettingValues& values) {
  ApplyValues(device_, values);
  Refresh();
}

SettingValues ScanDialog::Current() const {
  return ValuesOf(device_);
}

void ScanDialog::Refresh() {
  refreshing_ = true;
  if (const std::optional<ColourMode> mode = device_.Mode()) {
    const int index = mode_->findData(static_cast<int>(*mode));
    if (index >= 0) mode_->setCurrentIndex(index);
  }
  if (const std::optional<double> dpi = device_.Number("resolution"))
    resolution_->setValue(static_cast<int>(std::lround(*dpi)));
  std::array<double, 4> area{};
  bool haveArea = device_.HasArea();
  for (std::size_t i = 0; i < area_.size(); ++i)
    if (area_[i]) {
      if (const std::optional<double> value = device_.Number(kAreaOptions[i])) {
        area_[i]->setValue(*value);
        area[i] = *value;
      } else {
        haveArea = false;
      }
    }
  if (haveArea) pane_->setArea(QRectF(QPointF(area[0], area[1]), QPointF(area[2], area[3])));
  if (source_)
    if (const std::optional<std::string> source = device_.String("source")) {
      const int index = source_->findData(QString::fromStdString(*source));
      if (index >= 0) source_->setCurrentIndex(index);
    }
  for (std::size_t i = 0; i < sliders_.size(); ++i)
    if (sliders_[i])
      if (const std::optional<double> value = device_.Number(kSliderSettings[i]->option))
        sliders_[i]->setValue(static_cast<int>(std::lround(*value)));
  SANE_Parameters p{};
  if (device_.Parameters(p) == SANE_STATUS_GOOD) {
    const int passes = p.format == SANE_FRAME_GRAY || p.format == SANE_FRAME_RGB ? 1 : 3;
    if (p.lines <= 0) {
      size_->setText(QString::fromUtf8(kSizeUnknownHeight).arg(p.pixels_per_line));
    } else {
      size_->setText(QString::fromUtf8(kSizeForm)
                         .arg(p.pixels_per_line)
                         .arg(p.lines)
                         .arg(SizeText(static_cast<double>(p.bytes_per_line) * p.lines * passes)));
    }
  }
  refreshing_ = false;
}

void ScanDialog::BeginPreview() {
  previewing_ = true;
  previewParameters_ = SANE_Parameters{};
  previewBytes_.clear();
  pane_->clearImage();
  SetScanning(true);
}

void ScanDialog::TakePreviewLines() {
  SANE_Parameters p{};
  const std::size_t had = previewBytes_.size();
  if (!device_.LiveBytes(had, p, previewBytes_)) return;
  if (had == 0 && previewParameters_.pixels_per_line == 0) {
    previewParameters_ = p;
    const int channels = p.format == SANE_FRAME_RGB ? 3 : 1;
    if (p.depth != 8 || (p.format != SANE_FRAME_RGB && p.format != SANE_FRAME_GRAY) ||
        !pane_->beginImage(p.pixels_per_line, p.lines, channels, p.bytes_per_line))
      return;
  }
  pane_->appendBytes(std::span(previewBytes_).subspan(had));
}

void ScanDialog::EndPreview(bool complete) {
  TakePreviewLines();
  previewing_ = false;
  SetScanning(false);
  message_->setText(complete ? QString::fromUtf8(kPreviewed) : QString());
  const SANE_Parameters& p = previewParameters_;
  if (!complete || !detect_->isChecked() || !device_.HasArea() || p.bytes_per_line <= 0 ||
      p.depth != 8 || (p.format != SANE_FRAME_RGB && p.format != SANE_FRAME_GRAY))
    return;
  PreviewBytes image;
  image.width = p.pixels_per_line;
  image.bytesPerLine = p.bytes_per_line;
  image.height =
      static_cast<int>(previewBytes_.size() / static_cast<std::size_t>(p.bytes_per_line));
  image.channels = p.format == SANE_FRAME_RGB ? 3 : 1;
  image.pixels = std::span(previewBytes_)
                     .first(static_cast<std::size_t>(image.height) *
                            static_cast<std::size_t>(p.bytes_per_line));
  const DocumentArea found = FindDocumentArea(image);
  const PixelRect& r = found.rect;
  SetArea(found.found ? ImageToGlass(QRect(r.left, r.top, r.right - r.left, r.bottom - r.top),
                                     QSize(image.width, image.height), Glass())
                      : Glass());
}

void ScanDialog::SetScanning(bool scanning) {
  if (scanning && !focusBefore_) focusBefore_ = focusWidget();
  for (QWidget* control : {static_cast<QWidget*>(mode_), static_cast<QWidget*>(resolution_),
                           static_cast<QWidget*>(source_), static_cast<QWidget*>(scan_),
                           static_cast<QWidget*>(preview_), static_cast<QWidget*>(whole_),
                           static_cast<QWidget*>(pane_)})
    if (control) control->setEnabled(!scanning);
  for (QDoubleSpinBox* box : area_)
    if (box) box->setEnabled(!scanning);
  for (QSlider* slider : sliders_)
    if (slider) slider->setEnabled(!scanning);
  cancel_->setEnabled(scanning);
  if (scanning) {
    message_->setText(QString::fromUtf8(kScanning));
    progress_->setValue(0);
    timer_->start();
  } else {
    timer_->stop();
    progress_->setRange(0, 1000);
    progress_->setValue(0);
    Refresh();
    // The controls were disabled, which took the focus from them: it goes back (to the pane,
    // say, whose keys then go on moving the area).
    if (focusBefore_) focusBefore_->setFocus();
    focusBefore_ = nullptr;
  }
}

void ScanDialog::ShowMessage(const QString& text) {
  message_->setText(text);
}

void ScanDialog::ShowProgress() {
  scanner::ShowProgress(*progress_, device_.BytesReceived(), device_.BytesExpected());
  if (previewing_) TakePreviewLines();
}

void ScanDialog::closeEvent(QCloseEvent* event) {
  // The window goes when the source is disabled; closing asks for that.
  event->ignore();
  reject();
}

void ScanDialog::keyPressEvent(QKeyEvent* event) {
  // Return has applied the box it was pressed in and goes no further: it presses no button (the
  // buttons have their own keys, and Space presses the one with the focus).
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return event->accept();
  QDialog::keyPressEvent(event);
}

void ScanDialog::reject() {
  // Closing by any way (the close button, the window's, Escape): what was typed counts, and
  // the source remembers the settings as it closes.
  ApplyTyped();
  actions_.close();
}

ProgressWindow::ProgressWindow(QWidget* parent, const Device& device, std::function<void()> cancel)
    : QWidget(parent, Qt::Dialog), device_(device), cancel_(std::move(cancel)) {
  setObjectName("ScanProgressWindow");
  setWindowTitle(QString::fromUtf8(kProgressTitle));
  auto* label = new QLabel(QString::fromUtf8(kScanning), this);  // the window owns its children
  progress_ = new QProgressBar(this);
  progress_->setObjectName("progressBar");
  auto* cancelButton = Button(this, kCancelButton, "cancelButton");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(label);
  layout->addWidget(progress_);
  layout->addWidget(cancelButton, 0, Qt::AlignRight);
  connect(cancelButton, &QPushButton::clicked, this, [this] { cancel_(); });
  auto* timer = new QTimer(this);
  connect(timer, &QTimer::timeout, this,
          [this] { ShowProgress(*progress_, device_.BytesReceived(), device_.BytesExpected()); });
  timer->start(kProgressIntervalMs);
  ShowProgress(*progress_, 0, 0);
}

void ProgressWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  cancel_();
}

}  // namespace scanner
