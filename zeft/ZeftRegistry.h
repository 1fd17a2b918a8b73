#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zeft/ZeftControlLink.h"

// Internal to the layer: the enabled controls of the process and how a call finds one.
// Controls change on the main thread while the network thread looks them up.

// Names of equipment and context compare ignoring letter case; this is their key.
std::string ZeftNameKey(std::string name);

class CZeftRegistry {
  public:
    // kZeftOk (also for the same control again) or kZeftEquipmentInUse.
    int16_t Add(const std::string& equipment, const std::vector<std::string>& devices,
                const std::shared_ptr<ZeftSrvCore>& core);
    void Remove(const ZeftSrvCore* core);
    void UpdateDevices(const ZeftSrvCore* core, const std::vector<std::string>& devices);
    // Takes over the controls of `other` (the registry of a replaced registration).
    void CopyFrom(const CZeftRegistry& other);

    // The control a call of `context` addresses: by equipment name, or when that is
    // empty, the first that serves the device. Sets `key` to its equipment key.
    std::shared_ptr<ZeftSrvCore> Find(const std::string& context, const ZeftWireCall& call,
                                      std::string* key = nullptr) const;

  private:
    struct Control {
        std::string equipmentKey;
        std::vector<std::string> devices;
        std::shared_ptr<ZeftSrvCore> core;
    };
    mutable std::mutex mutex_;  // guards controls_
    std::vector<Control> controls_;
};
