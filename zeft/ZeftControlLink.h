#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/MessagePoster.h"
#include "zeft/ZeftProtocol.h"

// Internal to the layer: the link between a server control and the network thread. The
// server side sees a control only through this header, so it never depends on CSrv.

// What a call finally runs on the main thread: a control's handler behind the refusals.
class IZeftCallTarget {
  public:
    virtual std::vector<uint8_t> Execute(const ZeftWireCall& call) = 0;

  protected:
    ~IZeftCallTarget() = default;
};

// Shared by a control and the network thread. The network thread posts calls through it;
// the posted task finds the target (or none, once it is gone) on the main thread.
struct ZeftSrvCore {
    explicit ZeftSrvCore(IMessagePoster* p) : poster(p) {}
    IMessagePoster* const poster;
    std::atomic<bool> detached{false};
    std::atomic<int> posting{0};        // network threads inside poster->PostTask
    IZeftCallTarget* target = nullptr;  // main thread only

    // Any thread. False once detached or when the poster refuses.
    bool Post(std::function<void()> task);
    // Main thread: no post starts after it returns and none is under way.
    void Detach();
    // Main thread: the target's reply, or a refusal once the control is gone.
    std::vector<uint8_t> Execute(const ZeftWireCall& call) const;
};

// Registers an enabled control with the running server. kZeftOk, kZeftNotRegistered,
// kZeftEquipmentInUse.
int16_t ZeftAddControl(const std::string& equipment, const std::vector<std::string>& devices,
                       const std::shared_ptr<ZeftSrvCore>& core);
void ZeftRemoveControl(const ZeftSrvCore* core);
void ZeftUpdateDevices(const ZeftSrvCore* core, const std::vector<std::string>& devices);
