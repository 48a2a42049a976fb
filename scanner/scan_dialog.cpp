#include "scan_dialog.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>

#include "messages.h"
#include "settings.h"

namespace scanner {
namespace {

constexpr int kProgressIntervalMs = 100;
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
  const QString name = QString::fromStdString(source);
  if (name.contains("flatbed", Qt::CaseInsensitive)) return QString::fromUtf8(kSourceFlatbed);
  if (name.contains("ADF", Qt::CaseInsensitive) || name.contains("feeder", Qt::CaseInsensitive))
    return QString::fromUtf8(kSourceFeeder) + (name.contains("duplex", Qt::CaseInsensitive)
                                                   ? QStringLiteral(" (") + name + ")"
                                                   : QString());
  return name;
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

  size_ = new QLabel(this);
  size_->setObjectName("sizeLabel");
  message_ = new QLabel(this);
  message_->setObjectName("messageLabel");
  message_->setWordWrap(true);
  progress_ = new QProgressBar(this);
  progress_->setObjectName("progressBar");
  progress_->setRange(0, 1000);
  progress_->setValue(0);
  scan_ = Button(this, kScanButton, "scanButton");
  scan_->setDefault(true);
  cancel_ = Button(this, kCancelButton, "cancelButton");
  close_ = Button(this, kCloseButton, "closeButton");
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(scan_);
  buttons->addWidget(cancel_);
  buttons->addWidget(close_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(size_);
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
  connect(scan_, &QPushButton::clicked, this, [this] { actions_.scan(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { actions_.cancel(); });
  connect(close_, &QPushButton::clicked, this, [this] { actions_.close(); });
  SetScanning(false);
  Refresh();
}

ScanDialog::~ScanDialog() = default;

void ScanDialog::Apply(const DialogSettings& settings) {
  if (settings.mode) device_.SetMode(*settings.mode);
  if (!settings.source.empty()) device_.SetString("source", settings.source);
  if (settings.resolution > 0) device_.SetNumber("resolution", settings.resolution);
  if (settings.area && device_.HasArea())
    for (std::size_t i = 0; i < kAreaOptions.size(); ++i)
      device_.SetNumber(kAreaOptions[i], (*settings.area)[i]);
  Refresh();
}

DialogSettings ScanDialog::Current() const {
  DialogSettings settings;
  settings.mode = device_.Mode();
  settings.source = device_.String("source").value_or("");
  settings.resolution = device_.Number("resolution").value_or(0);
  if (device_.HasArea()) {
    std::array<double, 4> area{};
    for (std::size_t i = 0; i < kAreaOptions.size(); ++i)
      area[i] = device_.Number(kAreaOptions[i]).value_or(0);
    settings.area = area;
  }
  return settings;
}

void ScanDialog::Refresh() {
  refreshing_ = true;
  if (const std::optional<ColourMode> mode = device_.Mode()) {
    const int index = mode_->findData(static_cast<int>(*mode));
    if (index >= 0) mode_->setCurrentIndex(index);
  }
  if (const std::optional<double> dpi = device_.Number("resolution"))
    resolution_->setValue(static_cast<int>(std::lround(*dpi)));
  for (std::size_t i = 0; i < area_.size(); ++i)
    if (area_[i])
      if (const std::optional<double> value = device_.Number(kAreaOptions[i]))
        area_[i]->setValue(*value);
  if (source_)
    if (const std::optional<std::string> source = device_.String("source")) {
      const int index = source_->findData(QString::fromStdString(*source));
      if (index >= 0) source_->setCurrentIndex(index);
    }
  SANE_Parameters p{};
  if (device_.Parameters(p) == SANE_STATUS_GOOD) {
    const int passes = p.format == SANE_FRAME_GRAY || p.format == SANE_FRAME_RGB ? 1 : 3;
    if (p.lines < 0) {
      size_->setText(QString::fromUtf8(kSizeUnknownHeight).arg(p.pixels_per_line));
    } else {
      const double megabytes =
          static_cast<double>(p.bytes_per_line) * p.lines * passes / (1024.0 * 1024.0);
      size_->setText(QString::fromUtf8(kSizeForm)
                         .arg(p.pixels_per_line)
                         .arg(p.lines)
                         .arg(megabytes, 0, 'f', 1));
    }
  }
  refreshing_ = false;
}

void ScanDialog::SetScanning(bool scanning) {
  for (QWidget* control : {static_cast<QWidget*>(mode_), static_cast<QWidget*>(resolution_),
                           static_cast<QWidget*>(source_), static_cast<QWidget*>(scan_)})
    if (control) control->setEnabled(!scanning);
  for (QDoubleSpinBox* box : area_)
    if (box) box->setEnabled(!scanning);
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
  }
}

void ScanDialog::ShowMessage(const QString& text) {
  message_->setText(text);
}

void ScanDialog::ShowProgress() {
  scanner::ShowProgress(*progress_, device_.BytesReceived(), device_.BytesExpected());
}

void ScanDialog::closeEvent(QCloseEvent* event) {
  // The window goes when the source is disabled; closing asks for that.
  event->ignore();
  actions_.close();
}

void ScanDialog::reject() {
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
