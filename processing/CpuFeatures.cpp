#include "processing/CpuFeatures.h"

#include <atomic>

namespace {

std::atomic<KernelSet> g_widest{KernelSet::kAvx512};

KernelSet CpuKernels() {
#if defined(__x86_64__) || defined(__i386__)
    static const KernelSet has =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                __builtin_cpu_supports("avx512bw")
            ? KernelSet::kAvx512
            : (__builtin_cpu_supports("avx2") ? KernelSet::kAvx2 : KernelSet::kBaseline);
    return has;
#else
    return KernelSet::kBaseline;
#endif
}

bool Use(KernelSet set) {
    return CpuKernels() >= set && g_widest.load(std::memory_order_relaxed) >= set;
}

}  // namespace

bool UseAvx2() {
    return Use(KernelSet::kAvx2);
}

bool UseAvx512() {
    return Use(KernelSet::kAvx512);
}

void LimitKernels(KernelSet widest) {
    g_widest.store(widest, std::memory_order_relaxed);
}
