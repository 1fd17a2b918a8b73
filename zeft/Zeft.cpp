#include "zeft/Zeft.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "zeft/ZeftControlLink.h"
#include "zeft/ZeftServer.h"
#include "zeft/ZeftTuning.h"

std::atomic<int16_t> MinPollingRate{8};

namespace {

// Longest text taken from a caller's C string.
constexpr size_t kMaxArgumentText = 1024;

std::mutex g_mutex;  // guards g_server, g_basePort, g_limits and g_access
std::shared_ptr<CZeftServer> g_server;
std::shared_ptr<const ZeftAccess> g_access = std::make_shared<const ZeftAccess>();
uint16_t g_basePort = kZeftBasePort;
ZeftServerLimits g_limits;

std::shared_ptr<CZeftServer> CurrentServer() {
    std::lock_guard lock(g_mutex);
    return g_server;
}

bool SameRegistration(const ZeftRegistration& a, const ZeftRegistration& b) {
    return a.name == b.name && a.subsystem == b.subsystem && a.context == b.context &&
           a.description == b.description && a.location == b.location && a.hardware == b.hardware &&
           a.responsible == b.responsible && a.portOffset == b.portOffset;
}

std::string Text(const char* s) {
    return s ? std::string(s, strnlen(s, kMaxArgumentText)) : std::string();
}

}  // namespace

int16_t RegisterFecInformation(const char* name, const char* subsystem, const char* context,
                               const char* description, const char* location, const char* hardware,
                               const char* responsible, int16_t portOffset) {
    ZeftRegistration reg{Text(name),        Text(subsystem), Text(context),
                         Text(description), Text(location),  Text(hardware),
                         Text(responsible), portOffset,      0};
    if (!ZeftNameValid(reg.name) || !ZeftNameValid(reg.context) || portOffset < 0 ||
        portOffset > kZeftMaxPortOffset)
        return kZeftInvalidArgument;
    uint16_t basePort;
    ZeftServerLimits limits;
    std::shared_ptr<CZeftServer> old;
    {
        std::lock_guard lock(g_mutex);
        if (g_server && SameRegistration(g_server->Registration(), reg))
            return kZeftOk;
        old = g_server;
        basePort = g_basePort;
        limits = g_limits;
    }
    // A reconfiguration registers again: the new server replaces the old one and takes
    // over its enabled controls, which clients then reach under the new values.
    auto server = std::make_shared<CZeftServer>(reg, limits);
    uint16_t port = basePort == 0 ? 0 : static_cast<uint16_t>(basePort + portOffset);
    int16_t rc;
    if (old && (port == 0 ? old->Registration().portOffset == portOffset
                          : port == old->Registration().port)) {
        // Same port: the socket passes on, so connecting clients wait in its backlog
        // instead of being refused.
        old->Stop();
        rc = server->Adopt(old->ReleaseListener(), old->Registration().port);
    } else {
        rc = server->Listen(port);  // a failure leaves the old registration serving
    }
    if (rc != kZeftOk)
        return rc;
    if (old)
        server->Registry().CopyFrom(old->Registry());
    {
        std::lock_guard lock(g_mutex);
        if (g_server != old)  // another thread registered meanwhile
            return SameRegistration(g_server->Registration(), reg) ? kZeftOk
                                                                   : kZeftRegistrationConflict;
        g_server = server;
    }
    if (old)
        old->Stop();
    server->StartThread();
    return kZeftOk;
}

int16_t SetBurstLimit(int16_t limit) {
    return g_zeftBurstLimit.exchange(std::max<int16_t>(limit, 1));
}

int16_t SetCycleDelay(int16_t delayMs) {
    return g_zeftCycleDelayMs.exchange(std::clamp<int16_t>(delayMs, 0, kZeftMaxCycleDelayMs));
}

int16_t setWorkAreaSize(int32_t bytes) {
    if (bytes < kZeftMinWorkArea || bytes > kZeftMaxWorkArea)
        return kZeftInvalidArgument;
    g_zeftWorkAreaSize.store(bytes);
    return kZeftOk;
}

int16_t _SystemScheduleProperty(const char* exportName, const char* property) {
    if (!exportName || !property)
        return kZeftInvalidArgument;
    std::shared_ptr<CZeftServer> server = CurrentServer();
    if (!server)
        return kZeftNotRegistered;
    server->Schedule(Text(exportName), Text(property));
    return kZeftOk;
}

ZeftRegistration ZeftGetRegistration() {
    std::shared_ptr<CZeftServer> server = CurrentServer();
    return server ? server->Registration() : ZeftRegistration{};
}

void ZeftSetBasePort(uint16_t port) {
    std::lock_guard lock(g_mutex);
    g_basePort = port;
}

void ZeftSetServerLimits(const ZeftServerLimits& limits) {
    std::lock_guard lock(g_mutex);
    g_limits = limits;
}

void ZeftSetAccess(ZeftAccess access) {
    auto shared = std::make_shared<const ZeftAccess>(std::move(access));
    std::lock_guard lock(g_mutex);
    g_access.swap(shared);
}

std::shared_ptr<const ZeftAccess> ZeftCurrentAccess() {
    std::lock_guard lock(g_mutex);
    return g_access;
}

ZeftServerLimits ZeftGetServerLimits() {
    std::lock_guard lock(g_mutex);
    return g_limits;
}

void ZeftShutdown() {
    std::shared_ptr<CZeftServer> server;
    {
        std::lock_guard lock(g_mutex);
        server.swap(g_server);
    }
    if (server)
        server->Stop();
}

ZeftServerStats ZeftGetServerStats() {
    std::shared_ptr<CZeftServer> server = CurrentServer();
    return server ? server->Stats() : ZeftServerStats{};
}

int16_t ZeftAddControl(const std::string& equipment, const std::vector<std::string>& devices,
                       const std::shared_ptr<ZeftSrvCore>& core) {
    std::shared_ptr<CZeftServer> server = CurrentServer();
    return server ? server->Registry().Add(equipment, devices, core) : kZeftNotRegistered;
}

void ZeftRemoveControl(const ZeftSrvCore* core) {
    if (std::shared_ptr<CZeftServer> server = CurrentServer())
        server->Registry().Remove(core);
}

void ZeftUpdateDevices(const ZeftSrvCore* core, const std::vector<std::string>& devices) {
    if (std::shared_ptr<CZeftServer> server = CurrentServer())
        server->Registry().UpdateDevices(core, devices);
}
