#pragma once
// The pixel loops of a beam measurement, with AVX2 versions chosen at run time.

#include <cstddef>
#include <cstdint>

// Dark-subtracted values are kept in eighths of a gray level, so all sums are integers.
constexpr int kDarkScale = 8;

// Projects a width × height rectangle (rows `stride` apart): column sums into colAcc, row
// sums into row, Σ x·v of each row into rowX, and Σ v² into sumSq.
void ProjectRegion(const uint8_t* src, size_t stride, uint32_t width, uint32_t height,
                   int32_t* colAcc, double* row, double* rowX, double* sumSq);
// The same over dark-subtracted values (kDarkScale units).
void ProjectRegion(const int16_t* src, size_t stride, uint32_t width, uint32_t height,
                   int32_t* colAcc, double* row, double* rowX, double* sumSq);

// The row's highest value, and how many of its pixels are 255.
uint8_t RowPeak(const uint8_t* p, size_t n, uint32_t* full);

// out = 8·pixel − round(8·dark), the dark clamped to 0..255; returns Σ round(8·dark).
int32_t SubtractDark(const uint8_t* p, const float* d, int16_t* out, size_t n);
