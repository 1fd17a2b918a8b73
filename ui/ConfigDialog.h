#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "capture/CaptureBackend.h"
#include "core/HostInterfaces.h"

class CIniFile;
class ILogSink;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;

// "Configuration settings": edits the network, JPEG, ZEFT and capture-device settings and,
// on OK, writes them into the configuration store (section DEFAULT) and the hardware store
// (section GlobalSettings) and saves both. Cancel writes nothing. Each control's object
// name is its control id. Main thread.
class CConfigDialog : public QDialog {
  public:
    // The stores and `log` are borrowed; so are the backends.
    CConfigDialog(CIniFile& config, CIniFile& hardware, ILogSink* log,
                  std::vector<ICaptureBackend*> backends = DefaultBackends(),
                  QWidget* parent = nullptr);

    // Index of the video mode found for the selected device; what OK stores.
    int ChosenVideoMode() const { return chosenMode_; }

    void accept() override;  // OK
    void reject() override;  // Cancel

  private:
    void RefreshDevices();
    void SelectDevice();
    void ChooseVideoMode(const std::string& path, int wantedMode);
    void OnConfigure();
    void OnLossyClicked();
    bool Validate();
    std::string SelectedPath() const;

    CIniFile& config_;
    CIniFile& hardware_;
    ILogSink* const log_;
    const std::vector<ICaptureBackend*> backends_;
    int chosenMode_ = 0;

    QComboBox* devices_;
    QPushButton* configure_;
    QLabel* modeInfo_;
    QCheckBox* limitRate_;
    QLineEdit* rate_;
    QLineEdit* zeftContext_;
    QLineEdit* zeftPort_;
    QLineEdit* zeftControl_;
    QLineEdit* zeftFrame_;
    QLineEdit* port_;
    QLineEdit* maxClients_;
    QCheckBox* lossy_;
    QLineEdit* lossyPort_;
    QLineEdit* lossyMaxClients_;
    QLineEdit* controlHosts_;
    QLineEdit* viewHosts_;
    QSlider* quality_;
    QLineEdit* qualityText_;
    QPushButton* ok_;
};

// The controller's configuration dialog: a CConfigDialog run modally over `owner`.
class CQtConfigDialog : public IConfigDialog {
  public:
    explicit CQtConfigDialog(ILogSink* log) : log_(log) {}
    void SetOwner(QWidget* owner) { owner_ = owner; }
    bool Run(CIniFile& config, CIniFile& hardware) override;

  private:
    ILogSink* const log_;
    QWidget* owner_ = nullptr;
};
