#pragma once

#include "processing/CpuFeatures.h"

// Runs the enclosed code on the AVX2 kernels or on their fallbacks; AVX2 is allowed again at
// the end of the scope. On a processor without AVX2 both choices run the fallbacks.
class KernelChoice {
  public:
    explicit KernelChoice(bool avx2) { AllowAvx2(avx2); }
    ~KernelChoice() { AllowAvx2(true); }
    KernelChoice(const KernelChoice&) = delete;
    KernelChoice& operator=(const KernelChoice&) = delete;
};

inline constexpr bool kBothKernels[] = {true, false};
