#include "ui/PreviewDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <cmath>
#include <cstdlib>
#include <new>

#include "capture/Grabber.h"
#include "capture/VideoMode.h"
#include "processing/PixelConversion.h"
#include "ui/DeviceControlsDialog.h"
#include "ui/MessageBox.h"

namespace {

constexpr char kNonFunctional[] = "\n\nThe Dialog will be non-functional.";

}  // namespace

QImage PreviewImage(const PreviewFrame& frame) {
    const int width = frame.header.biWidth;
    const int height = std::abs(frame.header.biHeight);
    const uint32_t bytesPerPixel = SourceBytesPerPixel(frame.conversion);
    if (frame.sample == nullptr || frame.sample->data == nullptr || width <= 0 || height <= 0 ||
        bytesPerPixel == 0)
        return {};
    const size_t stride = frame.stride != 0 ? frame.stride : size_t(width) * bytesPerPixel;
    QImage image(width, height, QImage::Format_RGB888);
    if (image.isNull())
        return {};
    const bool rgb = frame.conversion == kConversionRgb24 || frame.conversion == kConversionRgb32;
    // Y sits first in a YUY2 pair and second in a UYVY pair; a GREY pixel is its own Y.
    const int yOffset = frame.conversion == kConversionUyvy ? 1 : 0;
    for (int row = 0; row < height; ++row) {
        const uint8_t* src = frame.sample->data + size_t(row) * stride;
        // Writing through scanLine keeps each row at its padded start, whatever the width.
        uint8_t* dst = image.scanLine(frame.header.biHeight > 0 ? height - 1 - row : row);
        for (int x = 0; x < width; ++x, dst += 3) {
            if (!rgb) {
                dst[0] = dst[1] = dst[2] = src[size_t(x) * bytesPerPixel + yOffset];
                continue;
            }
            const uint8_t* p = src + size_t(x) * bytesPerPixel;
            if (frame.grayscale) {
                dst[0] = dst[1] = dst[2] =
                    static_cast<uint8_t>(p[1] * 0.587 + p[2] * 0.299 + p[0] * 0.114);
            } else {
                dst[0] = p[2];
                dst[1] = p[1];
                dst[2] = p[0];
            }
        }
    }
    return image;
}

QSize FitSize(int width, int height, QSize area) {
    if (width <= 0 || height == 0)
        return {0, 0};
    const double ratio = double(width) / std::abs(height);
    int w = area.width();
    int d = static_cast<int>(w / ratio);
    while (d > area.height() && w > 0)
        d = static_cast<int>(--w / ratio);
    return {w, d};
}

bool CFrameMailbox::Put(PreviewPicture picture) {
    std::lock_guard lock(mutex_);
    const bool wasEmpty = !slot_.has_value();
    slot_ = std::move(picture);
    return wasEmpty;
}

std::optional<PreviewPicture> CFrameMailbox::Take() {
    std::lock_guard lock(mutex_);
    std::optional<PreviewPicture> picture = std::move(slot_);
    slot_.reset();
    return picture;
}

CPreviewArea::CPreviewArea(QWidget* parent) : QWidget(parent) {
    setMinimumSize(160, 120);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void CPreviewArea::SetImage(QImage image) {
    image_ = std::move(image);
    update();
}

void CPreviewArea::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (image_.isNull()) {
        painter.drawText(rect(), Qt::AlignCenter, "Video Preview");
        return;
    }
    const QSize size = FitSize(image_.width(), image_.height(), this->size());
    if (!size.isEmpty())
        painter.drawImage(QPoint(0, 0),
                          image_.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
}

CPreviewDialog::CPreviewDialog(std::string devicePath, int modeIndex, ILogSink* log,
                               std::vector<ICaptureBackend*> backends, QWidget* parent)
    : QDialog(parent),
      devicePath_(std::move(devicePath)),
      modeIndex_(modeIndex),
      log_(log),
      backends_(std::move(backends)) {
    setWindowTitle("Directshow Preview");
    auto* layout = new QVBoxLayout(this);

    auto* top = new QGridLayout();
    deviceName_ = new QLineEdit(this);
    deviceName_->setObjectName("1105");
    deviceName_->setReadOnly(true);
    modes_ = new QComboBox(this);
    modes_->setObjectName("1011");
    modes_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    top->addWidget(new QLabel("Device", this), 0, 0);
    top->addWidget(deviceName_, 0, 1);
    top->addWidget(new QLabel("Video Mode", this), 1, 0);
    top->addWidget(modes_, 1, 1);
    top->setColumnStretch(1, 1);
    layout->addLayout(top);

    area_ = new CPreviewArea(this);
    area_->setObjectName("1104");
    layout->addWidget(area_, 1);

    auto* bottom = new QHBoxLayout();
    grayscale_ = new QCheckBox("Grayscale Preview", this);
    grayscale_->setObjectName("1107");
    rate_ = new QLineEdit(this);
    rate_->setObjectName("1106");
    rate_->setReadOnly(true);
    rate_->setMaximumWidth(rate_->fontMetrics().averageCharWidth() * 9);
    properties_ = new QPushButton("Properties...", this);
    properties_->setObjectName("1022");
    properties_->setAutoDefault(false);
    auto* close = new QPushButton("Close", this);
    close->setObjectName("2");
    close->setAutoDefault(false);
    bottom->addWidget(grayscale_);
    bottom->addWidget(rate_);
    bottom->addWidget(new QLabel("Hz", this));
    bottom->addStretch();
    bottom->addWidget(properties_);
    bottom->addWidget(close);
    layout->addLayout(bottom);

    connect(modes_, &QComboBox::currentIndexChanged, this,
            [this](int index) { OnSelChangeMode(index); });
    connect(grayscale_, &QCheckBox::clicked, this, [this] { OnGrayscale(); });
    connect(properties_, &QPushButton::clicked, this, [this] { OnProperties(); });
    connect(close, &QPushButton::clicked, this, &CPreviewDialog::reject);

    ConnectPreview(modeIndex_, true);
}

CPreviewDialog::~CPreviewDialog() {
    Disconnect();
}

void CPreviewDialog::Disconnect() {
    if (grabber_) {
        grabber_->Deinit();  // stops it first
        grabber_.reset();
    }
    mailbox_.Take();  // a picture of the old graph is not shown
}

int CPreviewDialog::ConnectPreview(int modeIndex, bool fillList) {
    grabber_.reset();
    properties_->setEnabled(false);
    if (fillList)
        modes_->setEnabled(false);
    deviceName_->setText("<no device>");

    grabber_.reset(new (std::nothrow) CGrabber(log_, nullptr, backends_));
    if (!grabber_) {
        ShowMessageBox(this, QString("Could not create grabbing subsystem!") + kNonFunctional,
                       MessageIcon::kExclamation);
        return 0;
    }
    // Streaming thread: it draws into the mailbox and only posts a wake-up to this dialog.
    auto renderer = [this](const PreviewFrame& frame) {
        if (mailbox_.Put({PreviewImage(frame), frame.frameRate}))
            QMetaObject::invokeMethod(
                this, [this] { ShowNewestFrame(); }, Qt::QueuedConnection);
    };
    if (!grabber_->InitPreview(devicePath_, modeIndex, renderer)) {
        grabber_.reset();
        ShowMessageBox(this,
                       QString("Could not enable preview on grabbing subsystem!") + kNonFunctional,
                       MessageIcon::kExclamation);
        return 0;
    }
    if (!grabber_->Start()) {
        grabber_->Deinit();
        grabber_.reset();
        ShowMessageBox(
            this, QString("Could not start up preview on grabbing subsystem!") + kNonFunctional,
            MessageIcon::kExclamation);
        return 0;
    }
    deviceName_->setText(QString::fromStdString(grabber_->FriendlyName()));

    if (fillList) {
        const QSignalBlocker blocker(modes_);
        modes_->clear();
        const int count = grabber_->ModeCount();
        for (int i = 0; i < count; ++i)
            modes_->addItem(
                QString::fromStdString(FormatModeListLine(i, grabber_->ModeInfo(i).Value())));
        modes_->setEnabled(true);
        modes_->setCurrentIndex(modeIndex >= 0 && modeIndex < count ? modeIndex : -1);
    }
    grabber_->SetPropertyPagesHandler([this](CGrabber& grabber) {
        CDeviceControlsDialog controls(grabber, this);
        controls.exec();
    });
    if (grabber_->HasPropertyPages())
        properties_->setEnabled(true);
    return 1;
}

void CPreviewDialog::OnSelChangeMode(int index) {
    if (index < 0) {
        const QSignalBlocker blocker(modes_);
        modes_->setCurrentIndex(modeIndex_);
        return;
    }
    modeIndex_ = index;
    Disconnect();
    area_->SetImage({});
    ConnectPreview(modeIndex_, false);
    if (grabber_)
        grabber_->SetGrayscalePreview(grayscale_->isChecked());
}

void CPreviewDialog::OnGrayscale() {
    if (!grabber_ || !grabber_->SetGrayscalePreview(grayscale_->isChecked()))
        ShowMessageBox(this, "Switching color mode did not succeed!", MessageIcon::kNone);
}

void CPreviewDialog::OnProperties() {
    if (grabber_ && !grabber_->ShowPropertyPages())
        ShowMessageBox(this, "Could not show properties window of capture filter.",
                       MessageIcon::kExclamation);
}

void CPreviewDialog::ShowNewestFrame() {
    std::optional<PreviewPicture> picture = mailbox_.Take();
    if (!picture)
        return;
    if (!picture->image.isNull())
        area_->SetImage(std::move(picture->image));
    rate_->setText(QString::asprintf("%2.2f", picture->frameRate));
}

void CPreviewDialog::reject() {
    Disconnect();
    QDialog::reject();
}
