#include "processing/CpuFeatures.h"

#include <atomic>

namespace {

std::atomic<bool> g_avx2Allowed{true};

bool CpuHasAvx2() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
#else
    return false;
#endif
}

}  // namespace

bool UseAvx2() {
    return CpuHasAvx2() && g_avx2Allowed.load(std::memory_order_relaxed);
}

void AllowAvx2(bool allowed) {
    g_avx2Allowed.store(allowed, std::memory_order_relaxed);
}
