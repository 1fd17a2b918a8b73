#pragma once

#include <QDialog>
#include <functional>
#include <vector>

#include "capture/CaptureBackend.h"

class CGrabber;

// The device's own settings, standing in for a capture filter's property pages: a slider
// per integer control, a check box per boolean and a list per menu, each starting at the
// device's current value. A change goes to the device at once (the running preview shows
// it); "Default" puts every control back. Each control's object name is its id in decimal.
class CDeviceControlsDialog : public QDialog {
  public:
    CDeviceControlsDialog(CGrabber& grabber, QWidget* parent = nullptr);

  private:
    CGrabber& grabber_;
    std::vector<std::function<void()>> resetters_;
};
