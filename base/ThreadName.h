#pragma once

#include <pthread.h>

// Names the calling thread as `top -H`, `ps -L` and debuggers show it (at most 15
// characters), so an operator can tell which stage of the server spends the CPU.
inline void NameThisThread(const char* name) {
    pthread_setname_np(pthread_self(), name);
}
