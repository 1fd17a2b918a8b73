#pragma once

// Whether the AVX2 kernels of this library run: the processor has AVX2 and they have not
// been switched off. Every kernel has a fallback with the same results; tests and
// benchmarks switch AVX2 off to check and measure the fallbacks. Any thread.
bool UseAvx2();
void AllowAvx2(bool allowed);
