#pragma once

#include <cstdint>

#include "base/Result.h"
#include "base/UniqueFd.h"

// A listening TCP socket of one of the servers (frame channels, control system, web).
struct ListeningSocket {
    UniqueFd fd;
    uint16_t port = 0;  // the port bound, also when any free one was asked for
};

// Listens on `port` (0: any free port) of the dotted IPv4 `address`, or of every local
// address for null or "". The socket is non-blocking and close-on-exec, and binds while
// connections of an earlier run of the port linger in TIME_WAIT. The error's code is the
// errno of the step that failed (EINVAL for an address that is not dotted IPv4).
CResult<ListeningSocket> OpenListener(const char* address, uint16_t port, int backlog);
