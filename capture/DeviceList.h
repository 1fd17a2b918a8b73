#pragma once

#include <string>
#include <vector>

#include "base/LogSink.h"
#include "capture/CaptureBackend.h"

// A device as enumeration found it, with the backend that opens it.
struct EnumeratedDevice {
    DeviceInfo info;
    ICaptureBackend* backend = nullptr;
};

// Every device of every backend, in backend order.
void EnumerateAllDevices(const std::vector<ICaptureBackend*>& backends,
                         std::vector<EnumeratedDevice>* devices);

// Appends the device `devicePath` names when no listed device is it and a backend opens
// it unlisted.
void AddUnlistedDevice(const std::vector<ICaptureBackend*>& backends, const std::string& devicePath,
                       std::vector<EnumeratedDevice>* devices);

// What the configuration dialog's device list shows: one entry per device (friendly name,
// identity to store) and the entry to select.
struct DeviceListEntry {
    std::string friendlyName;
    std::string identity;
};
struct DeviceList {
    std::vector<DeviceListEntry> entries;
    int selected = -1;  // -1 while there is no entry
};

// Fills `list` with the present devices, and the configured one when a backend opens it
// unlisted, and selects the one `configuredPath` names (the first when none does; its
// identity then keeps the configured parameters). True when at least one device was
// listed. Main thread.
bool RefreshDeviceList(const std::string& configuredPath, DeviceList* list,
                       const std::vector<ICaptureBackend*>& backends = DefaultBackends());

// Builds a temporary graph for the device and mode: the chosen mode's 0-based index and
// its description text, or the grabber's failure (already in the message log; the
// outputs are then untouched). Main thread.
CResult<> ShowVideoModeInfo(ILogSink* log, const std::string& devicePath, int modeIndex,
                            int* chosenIndex, std::string* infoText,
                            const std::vector<ICaptureBackend*>& backends = DefaultBackends());

// The description field's text for a device without a usable mode.
constexpr const char* kNoCompatibleVideoMode = "No compatible Video Mode found.";
