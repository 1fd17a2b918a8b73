#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "base/HostList.h"
#include "zeft/ZeftTypes.h"

// The control-system library: registration of this process as a server, the limits of
// its serving, the wake-up of monitors, and the client call ExecLinkEx. Results are
// signed 16-bit status codes (ZeftTypes.h), 0 for success.
//
// A registered process serves every enabled server control (CSrv) on one TCP port,
// kZeftBasePort + port offset. Its network thread reads requests and hands each call to
// the main thread of the control it addresses; ExecLinkEx may be called from any thread
// and blocks the caller up to its time-out.

// Port of offset 0. Offsets run from 0 to kZeftMaxPortOffset.
constexpr uint16_t kZeftBasePort = 32100;
constexpr int kZeftMaxPortOffset = 30;

// Announces this process as a server and starts serving on kZeftBasePort + `portOffset`.
// The other seven values describe the server (name, subsystem, context, description,
// location, hardware, responsible person); the context is also what calls must name.
// A second call with the same values succeeds without effect; one with other values
// replaces the registration: the enabled controls go on under the new context, on the
// new port when the offset changed (connections and monitors of the old one close). Call
// it from one thread; a racing registration with other values fails with
// kZeftRegistrationConflict. Fails with kZeftInvalidArgument for an empty or
// unusable name or context or an offset outside 0..kZeftMaxPortOffset, and with
// kZeftListenFailed when the port cannot be bound (a registration in force stays).
int16_t RegisterFecInformation(const char* name, const char* subsystem, const char* context,
                               const char* description, const char* location, const char* hardware,
                               const char* responsible, int16_t portOffset);

// Floor for monitor intervals in milliseconds: a monitor asking for a shorter interval
// runs at this one. Any thread may set it; it applies from the next run of each monitor.
extern std::atomic<int16_t> MinPollingRate;

// Most calls and monitor runs that may wait for the main thread at once (default 500,
// at least 1); calls beyond it are refused with kZeftServerBusy, so a stalled main
// thread never makes the server hoard requests. Returns the previous value.
int16_t SetBurstLimit(int16_t limit);

// Pause in milliseconds (0 to 1000, default 0) of the network thread after each cycle
// that handled traffic; trades latency for fewer wake-ups. Returns the previous value.
int16_t SetCycleDelay(int16_t delayMs);

// Largest request data in bytes a call may carry (1024 to 64 MiB, default 1 MiB); larger
// requests are refused with kZeftRequestTooLarge before they are read into memory.
// Returns kZeftOk or kZeftInvalidArgument.
int16_t setWorkAreaSize(int32_t bytes);

// Runs at once every monitor contract on `property` of the control exported as
// `exportName` (CSrv::ExportName), whatever its interval; a contract that is running is
// run once more when it ends. kZeftOk, or kZeftNotRegistered when this process serves
// nothing.
int16_t _SystemScheduleProperty(const char* exportName, const char* property);

// Data handed to or filled by a call. For a request `count` elements of `format` are
// read from `data`. For a reply `data` has room for `capacity` elements of `format`
// (for kZeftFormatText: `capacity` bytes, the text is NUL-terminated) and `count`
// receives the number of elements stored.
struct ZeftData {
    void* data = nullptr;
    uint16_t format = kZeftFormatNone;
    uint32_t capacity = 0;
    uint32_t count = 0;
};

// Calls `property` at `address` ("/CONTEXT/SERVER/DEVICE"; SERVER is looked up in the
// names file or given as HOST:PORT) with `access` (0 to 3: bits 1 read, 2 write), waiting at
// most `timeoutMs` for the whole call. `request` may be null for a read. Returns 0 and
// sets reply->count, the status the server's handler set, the server's refusal code, or
// a negative code of the layer (kZeftUnknownName, kZeftConnectFailed, kZeftTimeout ...).
// The reply is converted into reply->format where the formats allow (docs).
int16_t ExecLinkEx(const char* address, const char* property, ZeftData* reply,
                   const ZeftData* request, int16_t access, int32_t timeoutMs);

// --- Set-up and inspection for the program, its tools and tests. ---

// The registration in force (empty name when the process is not registered).
struct ZeftRegistration {
    std::string name, subsystem, context, description, location, hardware, responsible;
    int16_t portOffset = 0;
    uint16_t port = 0;  // the port actually listened on
};
ZeftRegistration ZeftGetRegistration();

// Base port used by the next RegisterFecInformation; 0 lets the system choose a free
// port (tests, side-by-side runs), read back with ZeftGetRegistration().port.
void ZeftSetBasePort(uint16_t port);

// Limits of the network thread; the defaults suit the program, tests shorten them.
struct ZeftServerLimits {
    // At the total, the connection idle longest (no call waiting, no monitor) is closed to
    // admit a new one; without such, and beyond the share of one peer address, a new
    // connection is closed at once.
    int maxConnections = 64;
    int maxConnectionsPerPeer = 16;
    int partialMessageTimeoutMs = 5000;  // a message must arrive whole within this
    int idleTimeoutMs = 60000;           // a connection without calls or monitors
    int writeTimeoutMs = 30000;          // replies waiting without the peer taking a byte
    // Replies waiting per connection: beyond it monitor replies are dropped and no more
    // requests are read until the peer takes some.
    size_t maxQueuedBytes = 8u * 1024 * 1024;
    int maxMonitorsPerConnection = 32;
    int maxCallsPerConnection = 16;  // waiting for the main thread
};
void ZeftSetServerLimits(const ZeftServerLimits& limits);
ZeftServerLimits ZeftGetServerLimits();

// A call with write access as the server answered it.
struct ZeftWriteNote {
    uint32_t peer = 0;  // IPv4, host byte order
    std::string device;
    std::string property;
    std::string value;   // the request data as text, cut soon after 64 characters
    int16_t status = 0;  // the handler's status, or the layer's refusal
};

// Who may use the server. A peer outside `view` has every call and monitor answered with
// kZeftAccessDenied; one outside `control` has every call with write access so answered
// (its reads in the same call included); neither reaches a handler. `onWrite` hears of
// every call with write access and its outcome, on the network thread: it must not block.
// Applies to the calls read after it is set; the default lets everyone do everything.
struct ZeftAccess {
    CHostList view;
    CHostList control;
    std::function<void(const ZeftWriteNote&)> onWrite;
};
void ZeftSetAccess(ZeftAccess access);

// Stops serving and forgets the registration, so a later RegisterFecInformation starts
// afresh. Joins the network thread. Controls stay enabled in name but answer nothing.
void ZeftShutdown();

// Counters of the running server, for tests and benchmarks.
struct ZeftServerStats {
    uint64_t connectionsAccepted = 0;
    uint64_t connectionsClosedBad = 0;  // malformed, oversized, timed out
    uint64_t connectionsRefused = 0;    // over maxConnections
    uint64_t monitorRepliesDropped = 0;
    uint64_t contractRuns = 0;
    uint64_t calls = 0;         // calls and monitor requests received
    uint64_t callsRefused = 0;  // answered by the layer with a refusal, never reaching a handler
    int openConnections = 0;
    int contracts = 0;
    size_t queuedBytesPeak = 0;  // most reply bytes one connection had waiting
};
ZeftServerStats ZeftGetServerStats();
