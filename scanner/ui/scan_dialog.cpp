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
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <numbers>
#include <utility>

#include "scanner/contract/messages.h"
#include "scanner/ui/preview_pane.h"
#include "scanner/ui/progress_window.h"

namespace scanner {
namespace {

constexpr std::array<const char*, 4> kAreaNames{"areaLeft", "areaTop", "areaRight", "areaBottom"};
constexpr std::array<const char*, 4> kAreaLabels{kAreaLeft, kAreaTop, kAreaRight, kAreaBottom};

// A choice as the dialog lists it: a mode by its caption, a source by its kind (a duplex feeder
// with its own name after it), another as the device names it.
QString ChoiceText(const Setting& setting, const std::string& choice) {
  if (setting.kind == SettingKind::kMode) {
    switch (ModeNamed(choice).value_or(ColourMode::kColor)) {
      case ColourMode::kColor:
        return QString::fromUtf8(kModeColor);
      case ColourMode::kGray:
        return QString::fromUtf8(kModeGray);
      case ColourMode::kLineart:
        return QString::fromUtf8(kModeLineart);
    }
  }
  QString name = QString::fromStdString(choice);
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

// A number option's whole range, as the spin boxes and sliders take it.
void SetRange(auto& field, const NumberChoice& choice) {
  field.setRange(static_cast<int>(std::ceil(choice.min)), static_cast<int>(std::floor(choice.max)));
}

}  // namespace

template <typename Apply>
auto ScanDialog::Changed(Apply apply) {
  return [this, apply](auto...) {
    if (refreshing_) return;
    message_->clear();
    apply();
    Refresh();
  };
}

ScanDialog::Row ScanDialog::ChoiceRow(const Setting& setting) {
  auto* combo = new QComboBox(this);
  combo->setObjectName(QString::fromUtf8(setting.name) + "Combo");
  connect(combo, &QComboBox::currentIndexChanged, this, Changed([this, combo, &setting] {
            SetChoice(device_, setting, combo->currentData().toString().toStdString());
          }));
  auto show = [this, combo, &setting] {
    const std::vector<std::string> choices = ChoicesOf(device_, setting);
    QStringList listed;
    for (int i = 0; i < combo->count(); ++i) listed << combo->itemData(i).toString();
    if (listed.size() != static_cast<qsizetype>(choices.size()) ||
        !std::equal(choices.begin(), choices.end(), listed.begin(),
                    [](const std::string& a, const QString& b) { return b.toStdString() == a; })) {
      combo->clear();
      for (const std::string& choice : choices)
        combo->addItem(ChoiceText(setting, choice), QString::fromStdString(choice));
    }
    if (const std::optional<std::string> current = ChoiceOf(device_, setting))
      if (const int index = combo->findData(QString::fromStdString(*current)); index >= 0)
        combo->setCurrentIndex(index);
  };
  return {&setting, combo, show, {}};
}

ScanDialog::Row ScanDialog::NumberRow(const Setting& setting) {
  auto* box = new QSpinBox(this);
  box->setObjectName(QString::fromUtf8(setting.name) + "Spin");
  box->setKeyboardTracking(false);
  connect(box, &QSpinBox::valueChanged, this,
          Changed([this, box, &setting] { device_.SetNumber(setting.option, box->value()); }));
  auto show = [this, box, &setting] {
    box->setSuffix(QString::fromStdString(device_.UnitSuffix(setting.option)));
    if (const std::optional<NumberChoice> choice = device_.Choice(setting.option))
      SetRange(*box, *choice);
    if (const std::optional<double> value = device_.Number(setting.option))
      box->setValue(static_cast<int>(std::lround(*value)));
  };
  return {&setting, box, show, [box] { box->interpretText(); }};
}

ScanDialog::Row ScanDialog::AreaRow(const Setting& setting) {
  auto* corners = new QWidget(this);
  auto* grid = new QGridLayout(corners);
  grid->setContentsMargins(0, 0, 0, 0);
  for (std::size_t i = 0; i < kAreaOptions.size(); ++i) {
    auto* box = new QDoubleSpinBox(corners);
    box->setObjectName(kAreaNames[i]);
    box->setDecimals(1);
    box->setKeyboardTracking(false);
    connect(box, &QDoubleSpinBox::valueChanged, this,
            Changed([this, box, i] { device_.SetNumber(kAreaOptions[i], box->value()); }));
    area_[i] = box;
    const auto row = static_cast<int>(i / 2), column = static_cast<int>(i % 2) * 2;
    grid->addWidget(new QLabel(QString::fromUtf8(kAreaLabels[i]), corners), row, column);
    grid->addWidget(box, row, column + 1);
  }
  auto show = [this] {
    std::array<double, 4> area{};
    for (std::size_t i = 0; i < area_.size(); ++i) {
      const std::optional<NumberChoice> choice = device_.Choice(kAreaOptions[i]);
      const std::optional<double> value = device_.Number(kAreaOptions[i]);
      if (!choice || !value) return;
      area_[i]->setRange(choice->min, choice->max);
      area_[i]->setSuffix(QString::fromStdString(device_.UnitSuffix(kAreaOptions[i])));
      area_[i]->setValue(*value);
      area[i] = *value;
    }
    pane_->setArea(QRectF(QPointF(area[0], area[1]), QPointF(area[2], area[3])));
  };
  auto typed = [this] {
    for (QDoubleSpinBox* box : area_) box->interpretText();
  };
  return {&setting, corners, show, typed};
}

ScanDialog::Row ScanDialog::SliderRow(const Setting& setting) {
  auto* slider = new QSlider(Qt::Horizontal, this);
  slider->setObjectName(QString::fromUtf8(setting.name) + "Slider");
  connect(slider, &QSlider::valueChanged, this, Changed([this, slider, &setting] {
            device_.SetNumber(setting.option, slider->value());
          }));
  auto show = [this, slider, &setting] {
    if (const std::optional<NumberChoice> choice = device_.Choice(setting.option))
      SetRange(*slider, *choice);
    if (const std::optional<double> value = device_.Number(setting.option))
      slider->setValue(static_cast<int>(std::lround(*value)));
  };
  return {&setting, slider, show, {}};
}

ScanDialog::ScanDialog(QWidget* parent, Device& device, const DeviceInfo& known, bool modal)
    : QDialog(parent), device_(device) {
  setObjectName("ScanDialog");
  setWindowTitle(QString::fromUtf8(kScanTitle));
  setWindowModality(modal ? Qt::ApplicationModal : Qt::NonModal);
  message_ = new QLabel(this);
  message_->setObjectName("messageLabel");
  message_->setWordWrap(true);
  // Room for two lines whether a message is shown or not, so that nothing moves when one comes
  // or goes.
  message_->setMinimumHeight(message_->fontMetrics().lineSpacing() * 2);
  // The glass beside the settings; it shows the area, which the area's row sets.
  pane_ = new PreviewPane(this);
  pane_->setGlass(Glass());
  pane_->setAreaEnabled(device_.HasArea());

  // Every row of the table, in its order; those the device does not offer now are hidden.
  form_ = new QFormLayout;
  for (const Setting& setting : kSettings) {
    switch (setting.control) {
      case Control::kChoice:
        rows_.push_back(ChoiceRow(setting));
        break;
      case Control::kNumber:
        rows_.push_back(NumberRow(setting));
        break;
      case Control::kArea:
        rows_.push_back(AreaRow(setting));
        break;
      case Control::kSlider:
        rows_.push_back(SliderRow(setting));
        break;
    }
    form_->addRow(QString::fromUtf8(setting.label), rows_.back().field);
  }

  auto* deviceLine = new QLabel(this);
  deviceLine->setObjectName("deviceLabel");
  const std::string product = MakerAndModel(known);
  deviceLine->setText(QString::fromUtf8(kDeviceLine)
                          .arg(QString::fromStdString(
                              product.empty() ? known.name : product + " (" + known.name + ")")));
  size_ = new QLabel(this);
  size_->setObjectName("sizeLabel");
  progress_ = new QProgressBar(this);
  progress_->setObjectName("progressBar");
  progress_->setRange(0, 1000);
  progress_->setValue(0);
  preview_ = Button(this, kPreviewButton, "previewButton");
  whole_ = Button(this, kWholeGlassButton, "wholeButton");
  detect_ = new QCheckBox(QString::fromUtf8(kDetectCheck), this);
  detect_->setObjectName("detectCheck");
  detect_->setChecked(true);
  straighten_ = new QCheckBox(QString::fromUtf8(kStraightenCheck), this);
  straighten_->setObjectName("straightenCheck");
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

  // From the area's boxes Tab goes on to the area on the glass, which the arrow keys move.
  setTabOrder(area_[3], pane_);
  whole_->setVisible(device_.HasArea());
  detect_->setVisible(device_.HasArea());
  auto* previewButtons = new QHBoxLayout;
  previewButtons->addWidget(preview_);
  previewButtons->addWidget(whole_);
  previewButtons->addWidget(detect_);
  previewButtons->addWidget(straighten_);
  previewButtons->addStretch();
  auto* glass = new QVBoxLayout;
  glass->addWidget(pane_, 1);
  glass->addLayout(previewButtons);

  auto* settings = new QVBoxLayout;
  settings->addWidget(deviceLine);
  settings->addLayout(form_);
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
  connect(pane_, &PreviewPane::areaChanged, this, [this](const QRectF& area) {
    if (refreshing_) return;
    message_->clear();
    SetArea(area);
  });
  connect(pane_, &PreviewPane::markClicked, this, [this](int mark) {
    message_->clear();
    Choose(mark);
  });
  connect(whole_, &QPushButton::clicked, this, [this] {
    message_->clear();
    SetArea(Glass());
  });
  connect(preview_, &QPushButton::clicked, this, [this] {
    ApplyTyped();
    emit previewRequested();
  });
  connect(scan_, &QPushButton::clicked, this, [this] {
    ApplyTyped();
    emit scanRequested();
  });
  connect(cancel_, &QPushButton::clicked, this, &ScanDialog::cancelRequested);
  connect(close_, &QPushButton::clicked, this, [this] { reject(); });
  SetScanning(false);
  Refresh();
}

ScanDialog::~ScanDialog() = default;

QRectF ScanDialog::Glass() const {
  if (!device_.HasArea()) return {};
  const NumberChoice left = *device_.Choice(kAreaOptions[0]),
                     top = *device_.Choice(kAreaOptions[1]);
  const NumberChoice right = *device_.Choice(kAreaOptions[2]);
  const NumberChoice bottom = *device_.Choice(kAreaOptions[3]);
  return QRectF(QPointF(left.min, top.min), QPointF(right.max, bottom.max));
}

void ScanDialog::ApplyTyped() {
  for (const Row& row : rows_)
    if (row.typed && !row.field->isHidden()) row.typed();
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

void ScanDialog::Refresh() {
  refreshing_ = true;
  for (const Row& row : rows_) {
    const bool offered = Offers(device_, *row.setting);
    form_->setRowVisible(row.field, offered);
    if (offered) row.show();
  }
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
  pane_->setMarks({});
  found_.clear();
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
  if (!complete || !device_.HasArea() || p.bytes_per_line <= 0 || p.depth != 8 ||
      (p.format != SANE_FRAME_RGB && p.format != SANE_FRAME_GRAY))
    return;
  const int lines =
      static_cast<int>(previewBytes_.size() / static_cast<std::size_t>(p.bytes_per_line));
  FindDocuments(previewBytes_, p.pixels_per_line, lines, p.format == SANE_FRAME_RGB ? 3 : 1);
  // The area is the largest document's, or the whole glass when there is none.
  if (!detect_->isChecked()) return;
  if (found_.empty()) return SetArea(Glass());
  Choose(0);
}

void ScanDialog::FindDocuments(std::span<const std::uint8_t> bytes, int width, int height,
                               int channels) {
  const int bytesPerLine = previewParameters_.bytes_per_line;
  found_ = documents::FindDocuments(
      {width, height, bytesPerLine, channels,
       bytes.first(static_cast<std::size_t>(height) * static_cast<std::size_t>(bytesPerLine))});
  previewSize_ = QSize(width, height);
  chosen_ = 0;
  std::vector<QPolygonF> marks;
  for (const documents::RotatedRect& d : found_) {
    const double angle = d.degrees * std::numbers::pi / 180;
    const double c = std::cos(angle), s = std::sin(angle);
    QPolygonF mark;
    for (const auto& [u, v] : {std::pair{-1, -1}, {1, -1}, {1, 1}, {-1, 1}}) {
      const double du = u * d.width / 2, dv = v * d.height / 2;
      mark << PreviewToGlass(d.centerX + du * c - dv * s, d.centerY + du * s + dv * c);
    }
    marks.push_back(mark);
  }
  pane_->setMarks(std::move(marks));
}

QPointF ScanDialog::PreviewToGlass(double x, double y) const {
  const QRectF glass = Glass();
  return {glass.left() + x * glass.width() / previewSize_.width(),
          glass.top() + y * glass.height() / previewSize_.height()};
}

void ScanDialog::Choose(int document) {
  if (document < 0 || static_cast<std::size_t>(document) >= found_.size()) return;
  chosen_ = static_cast<std::size_t>(document);
  const documents::Box box =
      documents::BoxAround(found_[chosen_], previewSize_.width(), previewSize_.height());
  SetArea(ImageToGlass(QRect(box.left, box.top, box.right - box.left, box.bottom - box.top),
                       previewSize_, Glass()));
}

bool ScanDialog::Straightening() const {
  return straighten_->isChecked();
}

void ScanDialog::SetStraightening(bool on) {
  straighten_->setChecked(on);
}

std::optional<documents::RotatedRect> ScanDialog::ChosenOnScan(int width, int height) const {
  if (chosen_ >= found_.size() || !device_.HasArea() || width <= 0 || height <= 0) return {};
  // Preview pixels to glass millimetres to the scan's pixels, which cover the area.
  QRectF area(QPointF(device_.Number(kAreaOptions[0]).value_or(0),
                      device_.Number(kAreaOptions[1]).value_or(0)),
              QPointF(device_.Number(kAreaOptions[2]).value_or(0),
                      device_.Number(kAreaOptions[3]).value_or(0)));
  if (area.isEmpty()) return {};
  const documents::RotatedRect& d = found_[chosen_];
  const QPointF centre = PreviewToGlass(d.centerX, d.centerY);
  const QRectF glass = Glass();
  const double sx = glass.width() / previewSize_.width() * width / area.width(),
               sy = glass.height() / previewSize_.height() * height / area.height();
  return documents::RotatedRect{(centre.x() - area.left()) * width / area.width(),
                                (centre.y() - area.top()) * height / area.height(),
                                d.width * std::sqrt(sx * sy), d.height * std::sqrt(sx * sy),
                                d.degrees};
}

void ScanDialog::SetScanning(bool scanning) {
  if (scanning && !focusBefore_) focusBefore_ = focusWidget();
  for (const Row& row : rows_) row.field->setEnabled(!scanning);
  for (QWidget* control :
       std::initializer_list<QWidget*>{scan_, preview_, whole_, detect_, straighten_, pane_})
    control->setEnabled(!scanning);
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
  emit closeRequested();
}

}  // namespace scanner
