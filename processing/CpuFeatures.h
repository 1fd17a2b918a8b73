#pragma once

// The instruction sets this library's kernels may use, narrowest first. AVX-512 stands for
// its F, VL and BW parts.
enum class KernelSet { kBaseline, kAvx2, kAvx512 };

// Whether the AVX2 (AVX-512) kernels run: the processor has the instructions and the kernels
// have not been limited below them. Every kernel has a baseline version with the same
// results; tests and benchmarks limit the kernels to check and measure each version. Any
// thread.
bool UseAvx2();
bool UseAvx512();
void LimitKernels(KernelSet widest);
