#include "analysis/BeamKernels.h"

#include <algorithm>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

static_assert(kDarkScale == 8, "the AVX2 subtraction shifts by 3");

// Sums of one row chunk fit the accumulator type: ≤ chunk · 255 · chunk for Σ x·v.
template <typename T, int kChunk>
[[gnu::always_inline]] inline void ProjectBody(const T* src, size_t stride, uint32_t width,
                                               uint32_t height, int32_t* colAcc, double* row,
                                               double* rowX, double* sumSq) {
    std::fill(colAcc, colAcc + width, 0);
    double q = 0;
    for (uint32_t j = 0; j < height; ++j) {
        const T* p = src + j * stride;
        double s = 0, sx = 0;
        for (uint32_t c = 0; c < width; c += kChunk) {
            const uint32_t n = std::min<uint32_t>(kChunk, width - c);
            int32_t cs = 0, cx = 0, cq = 0;
            int32_t* acc = colAcc + c;
            const T* pc = p + c;
            for (uint32_t i = 0; i < n; ++i) {
                const int32_t v = pc[i];
                acc[i] += v;
                cs += v;
                cx += static_cast<int32_t>(i) * v;
                cq += v * v;
            }
            s += cs;
            sx += cx + static_cast<double>(c) * cs;
            q += cq;
        }
        row[j] = s;
        rowX[j] = sx;
    }
    *sumSq = q;
}

template <typename T, int kChunk>
void ProjectBase(const T* src, size_t stride, uint32_t width, uint32_t height, int32_t* colAcc,
                 double* row, double* rowX, double* sumSq) {
    ProjectBody<T, kChunk>(src, stride, width, height, colAcc, row, rowX, sumSq);
}

#if defined(__x86_64__)
template <typename T, int kChunk>
__attribute__((target("avx2"))) void ProjectAvx2(const T* src, size_t stride, uint32_t width,
                                                 uint32_t height, int32_t* colAcc, double* row,
                                                 double* rowX, double* sumSq) {
    ProjectBody<T, kChunk>(src, stride, width, height, colAcc, row, rowX, sumSq);
}
bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

template <typename T, int kChunk>
void ProjectAny(const T* src, size_t stride, uint32_t width, uint32_t height, int32_t* colAcc,
                double* row, double* rowX, double* sumSq) {
#if defined(__x86_64__)
    if (HasAvx2())
        return ProjectAvx2<T, kChunk>(src, stride, width, height, colAcc, row, rowX, sumSq);
#endif
    ProjectBase<T, kChunk>(src, stride, width, height, colAcc, row, rowX, sumSq);
}

// The row's highest value, and how many of its pixels are 255.
[[gnu::always_inline]] inline uint8_t RowPeakBody(const uint8_t* p, size_t n, uint32_t* full) {
    uint8_t m = 0;
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i) {
        m = std::max(m, p[i]);
        s += p[i] == 255;
    }
    *full = s;
    return m;
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) uint8_t RowPeakAvx2(const uint8_t* p, size_t n, uint32_t* full) {
    return RowPeakBody(p, n, full);
}
#endif

uint8_t RowPeakAny(const uint8_t* p, size_t n, uint32_t* full) {
#if defined(__x86_64__)
    if (HasAvx2())
        return RowPeakAvx2(p, n, full);
#endif
    return RowPeakBody(p, n, full);
}

// out = 8·pixel − round(8·dark), the dark clamped to 0..255; returns Σ round(8·dark).
[[gnu::always_inline]] inline int32_t SubtractBody(const uint8_t* p, const float* d, int16_t* out,
                                                   size_t n) {
    int32_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
        // Selects, not std::clamp: they vectorise, and a NaN becomes 0.
        float v = d[i] * kDarkScale + 0.5f;
        v = v > 0.0f ? v : 0.0f;
        v = v < 255.0f * kDarkScale ? v : 255.0f * kDarkScale;
        const auto d8 = static_cast<int32_t>(v);
        sum += d8;
        out[i] = static_cast<int16_t>(p[i] * kDarkScale - d8);
    }
    return sum;
}

int32_t SubtractBase(const uint8_t* p, const float* d, int16_t* out, size_t n) {
    return SubtractBody(p, d, out, n);
}

#if defined(__x86_64__)
// The same, eight pixels a step (max/min of floats send a NaN to 0 as the selects do).
__attribute__((target("avx2"))) int32_t SubtractAvx2(const uint8_t* p, const float* d, int16_t* out,
                                                     size_t n) {
    const __m256 scale = _mm256_set1_ps(kDarkScale), half = _mm256_set1_ps(0.5f);
    const __m256 top = _mm256_set1_ps(255.0f * kDarkScale), zero = _mm256_setzero_ps();
    __m256i sum = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 v = _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(d + i), scale), half);
        v = _mm256_min_ps(_mm256_max_ps(v, zero), top);
        const __m256i d8 = _mm256_cvttps_epi32(v);
        sum = _mm256_add_epi32(sum, d8);
        const __m256i px = _mm256_slli_epi32(
            _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + i))), 3);
        const __m256i diff = _mm256_sub_epi32(px, d8);
        const __m128i packed =
            _mm_packs_epi32(_mm256_castsi256_si128(diff), _mm256_extracti128_si256(diff, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packed);
    }
    alignas(32) int32_t parts[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(parts), sum);
    int32_t total = 0;
    for (int32_t part : parts)
        total += part;
    return total + SubtractBody(p + i, d + i, out + i, n - i);
}
#endif

int32_t SubtractAny(const uint8_t* p, const float* d, int16_t* out, size_t n) {
#if defined(__x86_64__)
    if (HasAvx2())
        return SubtractAvx2(p, d, out, n);
#endif
    return SubtractBase(p, d, out, n);
}

}  // namespace

void ProjectRegion(const uint8_t* src, size_t stride, uint32_t width, uint32_t height,
                   int32_t* colAcc, double* row, double* rowX, double* sumSq) {
    ProjectAny<uint8_t, 2048>(src, stride, width, height, colAcc, row, rowX, sumSq);
}

void ProjectRegion(const int16_t* src, size_t stride, uint32_t width, uint32_t height,
                   int32_t* colAcc, double* row, double* rowX, double* sumSq) {
    ProjectAny<int16_t, 256>(src, stride, width, height, colAcc, row, rowX, sumSq);
}

uint8_t RowPeak(const uint8_t* p, size_t n, uint32_t* full) {
    return RowPeakAny(p, n, full);
}

int32_t SubtractDark(const uint8_t* p, const float* d, int16_t* out, size_t n) {
    return SubtractAny(p, d, out, n);
}
