#pragma once
// Starting and ending programs from the tests, the benchmarks and the soak, and finding
// ports nobody listens on.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct SpawnOptions {
    std::string output;          // file for the child's stdout and stderr; empty: ours
    int cpu = -1;                // the one core the child runs on; -1: any
    bool dieWithParent = false;  // SIGTERM when this process ends, however it ends
};

// Starts `path` (searched in PATH when it has no '/') with argv[0] = `path`, without the
// session's display, so the program runs as it does on a rack server. -1 on failure.
pid_t Spawn(const std::string& path, std::vector<std::string> args = {},
            const SpawnOptions& options = {});

// Polls `pred` every 20 ms until it holds or `limit` has passed; the last answer.
bool WaitFor(const std::function<bool()>& pred,
             std::chrono::milliseconds limit = std::chrono::seconds(60));

// Exit status of `pid` (128 + signal when killed), waiting up to `limit`; -1 when it did
// not end (it is killed then).
int WaitExit(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(60));
// SIGTERM, then WaitExit with `grace`.
int Terminate(pid_t pid, std::chrono::milliseconds grace);
bool Alive(pid_t pid);

// A TCP port that nobody listens on right now.
uint16_t FreePort();
// Whether `port` can be bound on every address right now.
bool PortFree(uint16_t port);
