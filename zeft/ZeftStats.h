#pragma once

#include <atomic>
#include <cstdint>

#include "zeft/Zeft.h"

// Internal to the layer: the server's counters. Written by the network thread, read by
// any thread through ZeftGetServerStats.
struct ZeftStatsCounters {
    std::atomic<uint64_t> accepted{0}, closedBad{0}, refused{0}, dropped{0}, runs{0}, calls{0},
        callsRefused{0};
    std::atomic<int> openConnections{0}, contracts{0};
    std::atomic<size_t> queuedPeak{0};

    ZeftServerStats Snapshot() const {
        ZeftServerStats s;
        s.connectionsAccepted = accepted.load();
        s.connectionsClosedBad = closedBad.load();
        s.connectionsRefused = refused.load();
        s.monitorRepliesDropped = dropped.load();
        s.contractRuns = runs.load();
        s.calls = calls.load();
        s.callsRefused = callsRefused.load();
        s.openConnections = openConnections.load();
        s.contracts = contracts.load();
        s.queuedBytesPeak = queuedPeak.load();
        return s;
    }
};
