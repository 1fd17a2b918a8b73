#include "zeft/ZeftMonitors.h"

#include <algorithm>

#include "base/LittleEndian.h"
#include "zeft/Zeft.h"
#include "zeft/ZeftRegistry.h"

namespace {

// Refusals that end a monitor: its request can never succeed as it stands.
bool IsFinalRefusal(int16_t status) {
    return status == kZeftIllegalProperty || status == kZeftIllegalDevice ||
           status == kZeftAccessDenied || status == kZeftRequestTooLarge ||
           status == kZeftIllegalFormat;
}

bool SameRequest(const ZeftWireCall& a, const ZeftWireCall& b) {
    return ZeftNameKey(a.context) == ZeftNameKey(b.context) && a.device == b.device &&
           a.property == b.property && a.access == b.access && a.requestFormat == b.requestFormat &&
           a.requestCount == b.requestCount && a.intervalMs == b.intervalMs && a.data == b.data;
}

}  // namespace

int16_t CZeftMonitors::Subscribe(uint64_t conn, uint32_t monitor, ZeftWireCall call,
                                 const std::string& equipmentKey, int64_t now,
                                 uint64_t* contractId) {
    call.intervalMs = std::min(call.intervalMs, kZeftMaxMonitorIntervalMs);
    call.replyFormat = kZeftFormatNone;  // the server sends its own format to everyone
    call.replyCapacity = 0;

    for (auto& [kid, k] : contracts_) {
        if (k.equipmentKey == equipmentKey && SameRequest(k.call, call)) {
            k.subs.emplace_back(conn, monitor);
            *contractId = k.id;
            if (k.lastBody)
                host_.SendToSubscriber(conn, monitor, 0, k.lastBody, true);
            return kZeftOk;
        }
    }
    if (contracts_.size() >= kZeftMaxContracts)
        return kZeftServerBusy;
    uint64_t kid = nextId_++;
    Contract& k = contracts_[kid];
    k.id = kid;
    k.call = std::move(call);
    k.equipmentKey = equipmentKey;
    k.nextDue = now;
    k.subs.emplace_back(conn, monitor);
    *contractId = kid;
    Run(k, now, true);  // the subscriber learns the value at once
    return kZeftOk;
}

void CZeftMonitors::Unsubscribe(uint64_t conn, uint32_t monitor, uint64_t contractId) {
    auto k = contracts_.find(contractId);
    if (k == contracts_.end())
        return;
    std::erase(k->second.subs, std::make_pair(conn, monitor));
    if (k->second.subs.empty())
        contracts_.erase(k);
}

void CZeftMonitors::Schedule(const std::string& equipmentKey, const std::string& property,
                             int64_t now) {
    for (auto& [id, k] : contracts_) {
        if (k.equipmentKey != equipmentKey || k.call.property != property)
            continue;
        if (k.running)
            k.rerun = true;
        else
            Run(k, now, false);
    }
}

void CZeftMonitors::RunDue(int64_t now) {
    for (auto& [id, k] : contracts_) {
        if (k.call.intervalMs > 0 && !k.running && now >= k.nextDue)
            Run(k, now, true);
    }
}

int CZeftMonitors::PollTimeout(int64_t now, int timeout) const {
    for (const auto& [id, k] : contracts_) {
        if (k.call.intervalMs > 0 && !k.running)
            timeout = static_cast<int>(std::clamp<int64_t>(k.nextDue - now, 0, timeout));
    }
    return timeout;
}

void CZeftMonitors::Run(Contract& k, int64_t now, bool timed) {
    if (timed && k.call.intervalMs > 0) {
        int64_t interval = std::max<int64_t>(k.call.intervalMs, MinPollingRate.load());
        k.nextDue += interval;
        if (k.nextDue <= now)
            k.nextDue = now + interval;
    }
    switch (host_.StartRun(k.call, k.id)) {
        case IZeftMonitorHost::RunStart::Started:
            k.running = true;
            return;
        case IZeftMonitorHost::RunStart::NoControl: {
            // The control is away (disabled for a reconfiguration): say so and keep the
            // contract, so the subscribers are served again when it is back.
            auto body = std::make_shared<const std::vector<uint8_t>>(
                ZeftRefusalBody(kZeftIllegalEquipment));
            for (auto& [conn, monitor] : k.subs)
                host_.SendToSubscriber(conn, monitor, 0, body, true);
            return;
        }
        case IZeftMonitorHost::RunStart::Busy:  // tried again at its next turn
        case IZeftMonitorHost::RunStart::NotPosted:
            return;
    }
}

void CZeftMonitors::FinishRun(uint64_t contractId, std::vector<uint8_t> body, int64_t now) {
    auto it = contracts_.find(contractId);
    if (it == contracts_.end())
        return;  // every subscriber left meanwhile
    Contract& k = it->second;
    k.running = false;
    stats_.runs.fetch_add(1);
    int16_t status =
        body.size() >= 2 ? static_cast<int16_t>(LoadLE16(body.data())) : kZeftProtocolError;
    bool final = IsFinalRefusal(status);
    auto shared = std::make_shared<const std::vector<uint8_t>>(std::move(body));
    for (auto& [conn, monitor] : k.subs) {
        host_.SendToSubscriber(conn, monitor, final ? kZeftFlagFinal : 0, shared, !final);
        if (final)
            host_.EndSubscription(conn, monitor);
    }
    if (final) {
        contracts_.erase(it);
        return;
    }
    k.lastBody = shared;
    if (k.rerun) {
        k.rerun = false;
        Run(k, now, false);
    }
}
