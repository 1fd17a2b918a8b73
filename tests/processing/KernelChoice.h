#pragma once

#include <gtest/gtest.h>

#include <string>

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

// Computes with the baseline kernels, then with each wider set, and expects every result to
// equal the baseline's; `what` names the case in a failure.
template <typename F>
void ExpectKernelsAgree(const F& compute, const std::string& what) {
    decltype(compute()) baseline;
    {
        KernelChoice choice(KernelSet::kBaseline);
        baseline = compute();
    }
    for (KernelSet set : {KernelSet::kAvx2, KernelSet::kAvx512}) {
        KernelChoice choice(set);
        EXPECT_EQ(compute(), baseline) << KernelName(set) << " " << what;
    }
}
