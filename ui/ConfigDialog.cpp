#include "ui/ConfigDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>
#include <climits>
#include <cstdlib>

#include "base/LogSink.h"
#include "capture/DeviceList.h"
#include "config/IniFile.h"
#include "config/Settings.h"
#include "ui/MessageBox.h"
#include "ui/PreviewDialog.h"

namespace {

constexpr int kMaxZeftText = 16;

// Leading-digits reading as the stored settings are read: "80abc" is 80, "abc" is 0.
long LeadingNumber(const QLineEdit* edit) {
    const std::string text = edit->text().toStdString();
    long value = std::strtol(text.c_str(), nullptr, 10);
    return value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : value;
}

double LeadingReal(const QLineEdit* edit) {
    return std::strtod(edit->text().toStdString().c_str(), nullptr);
}

template <typename W>
W* Named(W* widget, int id) {
    widget->setObjectName(QString::number(id));
    return widget;
}

QLineEdit* Edit(QWidget* parent, int id) {
    return Named(new QLineEdit(parent), id);
}

}  // namespace

CConfigDialog::CConfigDialog(CIniFile& config, CIniFile& hardware, ILogSink* log,
                             std::vector<ICaptureBackend*> backends, QWidget* parent)
    : QDialog(parent),
      config_(config),
      hardware_(hardware),
      log_(log),
      backends_(std::move(backends)) {
    setWindowTitle("Configuration settings");
    auto* layout = new QVBoxLayout(this);

    auto* device = new QGroupBox("Directshow", this);
    auto* deviceLayout = new QGridLayout(device);
    devices_ = Named(new QComboBox(device), 1011);
    devices_->setMinimumWidth(260);
    auto* refresh = Named(new QPushButton("Refresh", device), 1040);
    configure_ = Named(new QPushButton("Configure...", device), 1022);
    modeInfo_ = Named(new QLabel("...", device), 1102);
    modeInfo_->setWordWrap(true);
    modeInfo_->setMinimumHeight(modeInfo_->fontMetrics().lineSpacing() * 6);
    modeInfo_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    limitRate_ = Named(new QCheckBox("Limit Framerate to approx.", device), 1093);
    rate_ = Edit(device, 1103);
    deviceLayout->addWidget(new QLabel("Capture Device", device), 0, 0);
    deviceLayout->addWidget(devices_, 0, 1);
    deviceLayout->addWidget(refresh, 0, 2);
    deviceLayout->addWidget(configure_, 0, 3);
    deviceLayout->addWidget(modeInfo_, 1, 0, 1, 4);
    auto* rateRow = new QHBoxLayout();
    rateRow->addWidget(limitRate_);
    rateRow->addWidget(rate_);
    rateRow->addWidget(new QLabel("Hz", device));
    rateRow->addStretch();
    deviceLayout->addLayout(rateRow, 2, 0, 1, 4);
    deviceLayout->setColumnStretch(1, 1);
    layout->addWidget(device);

    auto* zeft = new QGroupBox("ZEFT Access settings (needs full restart of server !)", this);
    auto* zeftLayout = new QFormLayout(zeft);
    zeftContext_ = Edit(zeft, 1089);
    zeftPort_ = Edit(zeft, 1090);
    zeftControl_ = Edit(zeft, 1091);
    zeftFrame_ = Edit(zeft, 1092);
    zeftLayout->addRow("Context", zeftContext_);
    zeftLayout->addRow("Local port number", zeftPort_);
    zeftLayout->addRow("Control Device Server", zeftControl_);
    zeftLayout->addRow("Frame Device Server", zeftFrame_);
    layout->addWidget(zeft);

    auto* network = new QHBoxLayout();
    auto* lossless = new QGroupBox("Lossless network settings", this);
    auto* losslessLayout = new QFormLayout(lossless);
    port_ = Edit(lossless, 1003);
    maxClients_ = Edit(lossless, 1012);
    losslessLayout->addRow("Listenport", port_);
    losslessLayout->addRow("max. Socket Clients", maxClients_);
    network->addWidget(lossless, 1, Qt::AlignTop);

    auto* lossyGroup = new QGroupBox("Lossy network", this);
    auto* lossyLayout = new QFormLayout(lossyGroup);
    lossy_ = Named(new QCheckBox("Enabled", lossyGroup), 1058);
    lossyPort_ = Edit(lossyGroup, 1013);
    lossyMaxClients_ = Edit(lossyGroup, 1057);
    quality_ = Named(new QSlider(Qt::Horizontal, lossyGroup), 1065);
    quality_->setRange(10, 90);
    quality_->setTickPosition(QSlider::TicksBelow);
    quality_->setTickInterval(1);
    qualityText_ = Edit(lossyGroup, 1021);
    qualityText_->setReadOnly(true);
    qualityText_->setMaximumWidth(qualityText_->fontMetrics().averageCharWidth() * 8);
    auto* qualityRow = new QHBoxLayout();
    qualityRow->addWidget(quality_, 1);
    qualityRow->addWidget(qualityText_);
    lossyLayout->addRow(lossy_);
    lossyLayout->addRow("Listenport", lossyPort_);
    lossyLayout->addRow("max. Socket Clients", lossyMaxClients_);
    lossyLayout->addRow(new QLabel("JPEG Quality (1-100)", lossyGroup));
    lossyLayout->addRow(qualityRow);
    network->addWidget(lossyGroup, 1, Qt::AlignTop);
    layout->addLayout(network);

    auto* access = new QGroupBox("Access (addresses and networks; empty: every host)", this);
    auto* accessLayout = new QFormLayout(access);
    controlHosts_ = Edit(access, 1110);
    viewHosts_ = Edit(access, 1111);
    controlHosts_->setPlaceholderText("e.g. 127.0.0.1 10.1.20.0/24");
    accessLayout->addRow("Control hosts (may write)", controlHosts_);
    accessLayout->addRow("View hosts (may connect)", viewHosts_);
    layout->addWidget(access);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    ok_ = Named(buttons->button(QDialogButtonBox::Ok), 1);
    Named(buttons->button(QDialogButtonBox::Cancel), 2);
    connect(buttons, &QDialogButtonBox::accepted, this, &CConfigDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CConfigDialog::reject);
    layout->addWidget(buttons);

    connect(refresh, &QPushButton::clicked, this, [this] { RefreshDevices(); });
    connect(configure_, &QPushButton::clicked, this, [this] { OnConfigure(); });
    connect(devices_, &QComboBox::activated, this, [this] { SelectDevice(); });
    connect(lossy_, &QCheckBox::clicked, this, [this] { OnLossyClicked(); });
    connect(limitRate_, &QCheckBox::clicked, this, [this](bool on) { rate_->setEnabled(on); });
    connect(quality_, &QSlider::valueChanged, this,
            [this](int value) { qualityText_->setText(QString::asprintf("%d %%", value)); });

    // Initialisation: devices first, then the stored values with their fallbacks.
    RefreshDevices();
    if (devices_->count() == 0)
        ShowMessageBox(this,
                       "No Directshow capture devices found. Directshow properties will be "
                       "disabled.",
                       MessageIcon::kExclamation);

    const int listenPort = ReadInt(config_, kListenPortKey);
    const int maxClients = ReadInt(config_, kMaxClientsKey);
    const int listenPortLossy = ReadInt(config_, kListenPortLossyKey);
    const int maxClientsLossy = ReadInt(config_, kMaxClientsLossyKey);
    const int lossyEnabled = ReadInt(config_, kLossyEnabledKey);
    const std::string context = ReadText(config_, kZeftContextKey);
    const std::string controlEqp = ReadText(config_, kZeftControlEqpNameKey);
    const std::string frameEqp = ReadText(config_, kZeftFrameEqpNameKey);
    const int zeftPort = ReadInt(config_, kZeftPortNumberKey);
    // The dialog offers the written default where the server would fall back to its own.
    const int quality =
        config_.GetInt(kSectionDefault, kKeyJpegQuality, std::atoi(kJpegQualityKey.written));
    const double limit = ReadReal(hardware_, kLimitFramerateKey);

    limitRate_->setChecked(limit > 0);
    rate_->setText(limit > 0 ? QString::asprintf("%.2f", limit) : QString("5.0"));
    rate_->setEnabled(limit > 0);
    quality_->setValue(quality);
    qualityText_->setText(QString::asprintf("%d %%", quality_->value()));
    zeftPort_->setText(QString::number(zeftPort));
    zeftContext_->setText(QString::fromStdString(context));
    zeftControl_->setText(QString::fromStdString(controlEqp));
    zeftFrame_->setText(QString::fromStdString(frameEqp));
    port_->setText(QString::number(listenPort));
    maxClients_->setText(QString::number(maxClients));
    lossyPort_->setText(QString::number(listenPortLossy));
    lossyMaxClients_->setText(QString::number(maxClientsLossy));
    lossy_->setChecked(lossyEnabled != 0);
    const AccessSettings hosts = ReadAccessSettings(config_);
    controlHosts_->setText(QString::fromStdString(hosts.controlHosts));
    viewHosts_->setText(QString::fromStdString(hosts.viewHosts));
    lossyPort_->setEnabled(lossyEnabled != 0);
    lossyMaxClients_->setEnabled(lossyEnabled != 0);
}

std::string CConfigDialog::SelectedPath() const {
    return devices_->currentIndex() < 0 ? std::string()
                                        : devices_->currentData().toString().toStdString();
}

void CConfigDialog::RefreshDevices() {
    DeviceList list;
    const int found = RefreshDeviceList(ReadText(hardware_, kDevicePathKey), &list, backends_);
    devices_->clear();
    for (const DeviceListEntry& entry : list.entries)
        devices_->addItem(QString::fromStdString(entry.friendlyName),
                          QString::fromStdString(entry.identity));
    devices_->setEnabled(found != 0);
    configure_->setEnabled(found != 0);
    ok_->setEnabled(found != 0);
    if (found == 0)
        return;
    devices_->setCurrentIndex(list.selected);
    SelectDevice();
}

void CConfigDialog::SelectDevice() {
    const std::string path = SelectedPath();
    if (path.empty())
        return;
    const bool configured = ReadText(hardware_, kDevicePathKey) == path;
    ChooseVideoMode(path, configured ? ReadInt(hardware_, kDeviceVideoModeKey) : -1);
}

void CConfigDialog::ChooseVideoMode(const std::string& path, int wantedMode) {
    std::string info;
    const bool found =
        ShowVideoModeInfo(log_, path, wantedMode, &chosenMode_, &info, backends_).Ok();
    modeInfo_->setText(QString::fromStdString(found ? info : kNoCompatibleVideoMode));
    ok_->setEnabled(found);
}

void CConfigDialog::OnConfigure() {
    if (devices_->currentIndex() < 0) {
        ShowMessageBox(this, "Please select a capture device before configuring.",
                       MessageIcon::kNone);
        return;
    }
    const std::string path = SelectedPath();
    if (path.empty()) {
        ShowMessageBox(this,
                       "Capture device configure cannot be shown.\n\nPath to device coult not be "
                       "obtained.",
                       MessageIcon::kNone);
        return;
    }
    CPreviewDialog preview(path, chosenMode_, log_, backends_, this);
    preview.exec();
    ChooseVideoMode(path, preview.GetModeIndex());
}

void CConfigDialog::OnLossyClicked() {
    const bool on = lossy_->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(lossyPort_), static_cast<QWidget*>(lossyMaxClients_),
                       static_cast<QWidget*>(qualityText_), static_cast<QWidget*>(quality_)})
        w->setEnabled(on);
}

bool CConfigDialog::Validate() {
    auto inRange = [](const QLineEdit* edit, long low, long high) {
        const long v = LeadingNumber(edit);
        return v >= low && v <= high;
    };
    const struct {
        bool ok;
        const char* message;
    } checks[] = {
        {!limitRate_->isChecked() || LeadingReal(rate_) > 0,
         "The maximum framerate must be greater than 0 Hz and not contain illegal characters!"},
        {inRange(zeftPort_, 0, 30), "The zeft port offset is not in the desired range (0-30) !"},
        {zeftContext_->text().size() <= kMaxZeftText,
         "The zeft context string is too long. It must be less than 17 characters."},
        {zeftControl_->text().size() <= kMaxZeftText,
         "The zeft control server string is too long.\nIt must be less than 17 characters."},
        {zeftFrame_->text().size() <= kMaxZeftText,
         "The zeft frame server string is too long.\nIt must be less than 17 characters."},
        {inRange(port_, 0, 65535),
         "The listen port number is not in the desired range (0-65535) !"},
        {inRange(maxClients_, 0, 255),
         "The maximum number of Socket clients is not in the desired range (0-255) !"},
        {inRange(lossyPort_, 0, 65535),
         "The listen port number for lossy operation is not in the desired range (0-65535) !"},
        {inRange(lossyMaxClients_, 0, 255),
         "The maximum number of Socket clients for lossy operation is not in the desired range "
         "(0-255) !"},
    };
    for (const auto& check : checks) {
        if (!check.ok) {
            ShowMessageBox(this, check.message, MessageIcon::kExclamation);
            return false;
        }
    }
    return true;
}

void CConfigDialog::accept() {
    if (!Validate())
        return;
    const std::string_view d = kSectionDefault;
    const std::pair<const char*, QLineEdit*> typed[] = {
        {kKeyZeftPortNumber, zeftPort_},
        {kKeyZeftContext, zeftContext_},
        {kKeyZeftControlEqpName, zeftControl_},
        {kKeyZeftFrameEqpName, zeftFrame_},
        {kKeyListenPort, port_},
        {kKeyMaxClients, maxClients_},
        {kKeyListenPortLossy, lossyPort_},
        {kKeyMaxClientsLossy, lossyMaxClients_},
    };
    for (const auto& [key, edit] : typed)
        config_.SetValue(d, key, edit->text().toStdString());
    config_.SetInt(d, kKeyLossyEnabled, lossy_->isChecked() ? 1 : 0);
    config_.SetInt(d, kKeyJpegQuality, quality_->value());
    config_.SetValue(kSectionAccess, kKeyControlHosts,
                     controlHosts_->text().trimmed().toStdString());
    config_.SetValue(kSectionAccess, kKeyViewHosts, viewHosts_->text().trimmed().toStdString());

    if (devices_->currentIndex() >= 0) {
        hardware_.SetValue(kHardwareSection, kKeyDevicePath, SelectedPath());
        hardware_.SetInt(kHardwareSection, kKeyDeviceVideoMode, chosenMode_);
    }
    hardware_.SetDouble(kHardwareSection, kKeyLimitFramerate,
                        limitRate_->isChecked() ? LeadingReal(rate_) : -1.0);

    if (!config_.Save())
        LogMessage(log_, "ConfigDialog: Error on saving settings to config file.");
    if (!hardware_.Save())
        LogMessage(log_, "ConfigDialog: Error on saving settings to hardware config file.");
    devices_->clear();
    QDialog::accept();
}

void CConfigDialog::reject() {
    devices_->clear();
    QDialog::reject();
}

bool CQtConfigDialog::Run(CIniFile& config, CIniFile& hardware) {
    CConfigDialog dialog(config, hardware, log_, DefaultBackends(), owner_);
    dialog.exec();
    return true;
}
