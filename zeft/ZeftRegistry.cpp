#include "zeft/ZeftRegistry.h"

#include <algorithm>

std::string ZeftNameKey(std::string s) {
    for (char& c : s)
        c = static_cast<char>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
    return s;
}

int16_t CZeftRegistry::Add(const std::string& equipment, const std::vector<std::string>& devices,
                           const std::shared_ptr<ZeftSrvCore>& core) {
    std::string key = ZeftNameKey(equipment);
    std::lock_guard lock(mutex_);
    for (const Control& c : controls_) {
        if (c.equipmentKey == key)
            return c.core == core ? kZeftOk : kZeftEquipmentInUse;
    }
    controls_.push_back(Control{key, devices, core});
    return kZeftOk;
}

void CZeftRegistry::Remove(const ZeftSrvCore* core) {
    std::lock_guard lock(mutex_);
    std::erase_if(controls_, [&](const Control& c) { return c.core.get() == core; });
}

void CZeftRegistry::UpdateDevices(const ZeftSrvCore* core,
                                  const std::vector<std::string>& devices) {
    std::lock_guard lock(mutex_);
    for (Control& c : controls_) {
        if (c.core.get() == core)
            c.devices = devices;
    }
}

void CZeftRegistry::CopyFrom(const CZeftRegistry& other) {
    std::vector<Control> controls;
    {
        std::lock_guard lock(other.mutex_);
        controls = other.controls_;
    }
    std::lock_guard lock(mutex_);
    controls_ = std::move(controls);
}

std::shared_ptr<ZeftSrvCore> CZeftRegistry::Find(const std::string& context,
                                                 const ZeftWireCall& call,
                                                 std::string* foundKey) const {
    if (!call.context.empty() && ZeftNameKey(call.context) != ZeftNameKey(context))
        return nullptr;
    std::string key = ZeftNameKey(call.equipment);
    std::lock_guard lock(mutex_);
    for (const Control& c : controls_) {
        if (key.empty()
                ? std::find(c.devices.begin(), c.devices.end(), call.device) != c.devices.end()
                : c.equipmentKey == key) {
            if (foundKey)
                *foundKey = c.equipmentKey;
            return c.core;
        }
    }
    return nullptr;
}
