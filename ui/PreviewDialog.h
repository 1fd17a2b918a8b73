#pragma once

#include <QDialog>
#include <QImage>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/CaptureBackend.h"
#include "capture/SamplerFilter.h"

class CGrabber;
class ILogSink;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

// The drawing of one sample: blue, green, red per pixel turned into an RGB image with the
// top row first; RGB sources in colour or gray, YUV and GREY sources always gray. Null for
// a sample it cannot draw. Any thread.
QImage PreviewImage(const PreviewFrame& frame);

// The size a width × height image is drawn in `area` at the top-left corner, keeping its
// aspect ratio: the full width unless that is too tall, then narrowed until it fits.
QSize FitSize(int width, int height, QSize area);

// One drawn frame waiting for the GUI thread.
struct PreviewPicture {
    QImage image;
    double frameRate = 0;
};

// A single slot between the streaming thread and the GUI thread: the newest picture wins,
// so a GUI slower than the camera skips frames instead of queueing them.
class CFrameMailbox {
  public:
    // True when the slot was empty, i.e. the reader must be woken.
    bool Put(PreviewPicture picture);
    std::optional<PreviewPicture> Take();

  private:
    std::mutex mutex_;
    std::optional<PreviewPicture> slot_;
};

// The picture area: draws the newest image fitted at its top-left corner, smoothly scaled.
class CPreviewArea : public QWidget {
  public:
    explicit CPreviewArea(QWidget* parent);
    void SetImage(QImage image);
    const QImage& Image() const { return image_; }
    QSize sizeHint() const override { return {400, 300}; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QImage image_;
};

// "Directshow Preview": the live picture of one capture device through a grabber of its
// own in preview mode, the choice of its video mode, its device controls and colour or
// gray display. Samples are drawn on the streaming thread into the mailbox and shown by
// the GUI thread. Each control's object name is its control id.
class CPreviewDialog : public QDialog {
  public:
    CPreviewDialog(std::string devicePath, int modeIndex, ILogSink* log,
                   std::vector<ICaptureBackend*> backends = DefaultBackends(),
                   QWidget* parent = nullptr);
    ~CPreviewDialog() override;

    int GetModeIndex() const { return modeIndex_; }
    const QImage& LastImage() const { return area_->Image(); }

    void reject() override;  // "Close"

  private:
    int ConnectPreview(int modeIndex, bool fillList);
    void Disconnect();
    void OnSelChangeMode(int index);
    void OnGrayscale();
    void OnProperties();
    void ShowNewestFrame();

    const std::string devicePath_;
    int modeIndex_;
    ILogSink* const log_;
    const std::vector<ICaptureBackend*> backends_;

    CFrameMailbox mailbox_;
    // Declared after the mailbox: its streaming thread, ended in the destructor, writes there.
    std::unique_ptr<CGrabber> grabber_;

    QCheckBox* grayscale_;
    QLineEdit* rate_;
    CPreviewArea* area_;
    QLineEdit* deviceName_;
    QComboBox* modes_;
    QPushButton* properties_;
};
