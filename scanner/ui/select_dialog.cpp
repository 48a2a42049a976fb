#include "select_dialog.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <thread>

#include "platform/fpu_control.h"
#include "remembered.h"
#include "scanner/contract/conditions.h"
#include "scanner/contract/messages.h"

namespace scanner {
namespace {

class SelectDialog final : public QDialog {
 public:
  SelectDialog(QWidget* parent, std::string previous, bool mayRestart)
      : QDialog(parent), previous_(std::move(previous)), mayRestart_(mayRestart) {
    setObjectName("ScannerSelectDialog");
    setWindowTitle(QString::fromUtf8(kSelectTitle));
    setModal(true);
    list_ = new QTreeWidget(this);  // children belong to the dialog
    list_->setObjectName("deviceList");
    list_->setHeaderLabels({QString::fromUtf8(kDeviceHeaderVendor),
                            QString::fromUtf8(kDeviceHeaderModel),
                            QString::fromUtf8(kDeviceHeaderName)});
    list_->setRootIsDecorated(false);
    list_->header()->setStretchLastSection(true);
    status_ = new QLabel(this);
    status_->setObjectName("statusLabel");
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    busy_ = new QProgressBar(this);
    busy_->setObjectName("busyIndicator");
    busy_->setRange(0, 0);
    select_ = new QPushButton(QString::fromUtf8(kSelectButton), this);
    select_->setObjectName("selectButton");
    select_->setDefault(true);
    auto* cancel = new QPushButton(QString::fromUtf8(kCancelButton), this);
    cancel->setObjectName("cancelButton");
    rescan_ = new QPushButton(QString::fromUtf8(kRescanButton), this);
    rescan_->setObjectName("rescanButton");

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(rescan_);
    buttons->addStretch();
    buttons->addWidget(select_);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addWidget(status_);
    layout->addWidget(busy_);
    layout->addLayout(buttons);
    resize(560, 320);

    connect(select_, &QPushButton::clicked, this, &SelectDialog::Choose);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(rescan_, &QPushButton::clicked, this, [this] { Search(mayRestart_); });
    connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { Choose(); });
    Search(false);
  }

  ~SelectDialog() override {
    if (worker_.joinable()) worker_.join();
  }

  std::optional<DeviceInfo> Chosen() const { return chosen_; }

 private:
  void Search(bool restart) {
    if (worker_.joinable()) return;
    list_->clear();
    devices_.clear();
    status_->setText(QString::fromUtf8(kSearching));
    busy_->show();
    searching_ = true;
    UpdateButtons();
    worker_ = std::thread([this, restart] {
      SetFpuControl(WithAllExceptionsMasked(CurrentFpuControl()));
      found_ = FindDevices(restart);
      QMetaObject::invokeMethod(
          this, [this] { Found(); }, Qt::QueuedConnection);
    });
  }

  void Found() {
    worker_.join();
    searching_ = false;
    busy_->hide();
    devices_ = found_.devices;
    // The device chosen before in this program, else the one chosen last time, found by its
    // name or else by its maker and model; else the first.
    const std::optional<DeviceInfo> last =
        previous_.empty() ? LastDevice() : DeviceInfo{previous_, {}, {}};
    const std::optional<std::size_t> known = last ? FindRemembered(devices_, *last) : std::nullopt;
    QTreeWidgetItem* selected = nullptr;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
      const DeviceInfo& device = devices_[i];
      auto* item = new QTreeWidgetItem(
          list_, {QString::fromStdString(device.vendor), QString::fromStdString(device.model),
                  QString::fromStdString(device.name)});
      if (i == known.value_or(0)) selected = item;
    }
    if (found_.libraryMissing)
      status_->setText(QString::fromUtf8(kNoSaneLibrary));
    else if (found_.status != SANE_STATUS_GOOD)
      status_->setText(QString::fromUtf8(kSearchFailed) +
                       QString::fromUtf8(ConditionMessage(ConditionOf(found_.status))));
    else if (devices_.empty())
      status_->setText(QString::fromUtf8(kNoDevices));
    else
      status_->clear();
    if (selected) list_->setCurrentItem(selected);
    UpdateButtons();
  }

  void UpdateButtons() {
    select_->setEnabled(!searching_ && list_->currentItem() != nullptr);
    rescan_->setEnabled(!searching_);
  }

  void Choose() {
    const int row = list_->currentItem() ? list_->indexOfTopLevelItem(list_->currentItem()) : -1;
    if (searching_ || row < 0 || row >= static_cast<int>(devices_.size())) return;
    chosen_ = devices_[static_cast<std::size_t>(row)];
    accept();
  }

  const std::string previous_;
  const bool mayRestart_;
  QTreeWidget* list_;
  QLabel* status_;
  QProgressBar* busy_;
  QPushButton* select_;
  QPushButton* rescan_;
  std::thread worker_;
  Discovery found_;  // written by the worker, read after it is joined
  bool searching_ = false;
  std::vector<DeviceInfo> devices_;
  std::optional<DeviceInfo> chosen_;
};

}  // namespace

std::optional<DeviceInfo> ChooseDevice(QWidget* parent, const std::string& previous,
                                       bool mayRestart) {
  SelectDialog dialog(parent, previous, mayRestart);
  dialog.exec();
  return dialog.Chosen();
}

}  // namespace scanner
