#pragma once

#include "processing/CpuFeatures.h"

// Runs the enclosed code on kernels no wider than `widest`; all kernels are allowed again at
// the end of the scope. Sets the processor lacks fall back to narrower ones.
class KernelChoice {
  public:
    explicit KernelChoice(KernelSet widest) { LimitKernels(widest); }
    ~KernelChoice() { LimitKernels(KernelSet::kAvx512); }
    KernelChoice(const KernelChoice&) = delete;
    KernelChoice& operator=(const KernelChoice&) = delete;
};

inline constexpr KernelSet kAllKernels[] = {KernelSet::kAvx512, KernelSet::kAvx2,
                                            KernelSet::kBaseline};

inline const char* KernelName(KernelSet set) {
    return set == KernelSet::kAvx512 ? "AVX-512" : set == KernelSet::kAvx2 ? "AVX2" : "baseline";
}
