#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/MessagePoster.h"
#include "control/zeft/Zeft.h"

// Internal to the layer: the link between a server control and the network thread, and
// the process-wide server. Not for users of the layer.

class CSrv;

// Shared by a CSrv and the network thread. The network thread posts calls through it; the
// posted task finds the control (or none, once it is gone) on the main thread.
struct ZeftSrvCore {
    explicit ZeftSrvCore(IMessagePoster* p) : poster(p) {}
    IMessagePoster* const poster;
    std::atomic<bool> detached{false};
    std::atomic<int> posting{0};  // network threads inside poster->PostTask
    CSrv* srv = nullptr;          // main thread only

    // Any thread. False once detached or when the poster refuses.
    bool Post(std::function<void()> task);
    // Main thread: no post starts after it returns and none is under way.
    void Detach();
};

// Registers an enabled control with the running server. kZeftOk, kZeftNotRegistered,
// kZeftEquipmentInUse.
int16_t ZeftAddControl(const std::string& equipment, const std::vector<std::string>& devices,
                       const std::shared_ptr<ZeftSrvCore>& core);
void ZeftRemoveControl(const ZeftSrvCore* core);
void ZeftUpdateDevices(const ZeftSrvCore* core, const std::vector<std::string>& devices);

// Body of a reply the layer gives itself (a refusal).
std::vector<uint8_t> ZeftRefusalBody(int16_t status);
