#include "processing/Orientation.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "processing/CpuFeatures.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define LX_X86 1
#endif

namespace {

constexpr const char* kNames[kOrientationCount] = {
    "NORM", "ROT90CW", "ROT180CW", "ROT270CW", "MIRRORVERT", "MIRRORHORIZ", "ROT90CWMIRRHORIZ",
};

enum Transform { kNone, kRot90, kRot180, kRot270, kMirrorVert, kMirrorHoriz, kRot90MirrorHoriz };

#ifdef LX_X86
// One 16-byte register of elements of type T, and the operations the kernels need.
template <typename T>
struct Lanes;

template <>
struct Lanes<uint8_t> {
    static __m128i Lo(__m128i a, __m128i b) { return _mm_unpacklo_epi8(a, b); }
    static __m128i Hi(__m128i a, __m128i b) { return _mm_unpackhi_epi8(a, b); }
    __attribute__((target("avx2"))) static __m256i Lo(__m256i a, __m256i b) {
        return _mm256_unpacklo_epi8(a, b);
    }
    __attribute__((target("avx2"))) static __m256i Hi(__m256i a, __m256i b) {
        return _mm256_unpackhi_epi8(a, b);
    }
    static __m128i Reverse(__m128i v) {
        v = _mm_shuffle_epi32(v, 0x1B);
        v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
        return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
    }
    __attribute__((target("avx2"))) static __m256i Reverse(__m256i v) {
        const __m256i bytes =
            _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12,
                             11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
        return _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, bytes), 0x4E);
    }
};

template <>
struct Lanes<uint16_t> {
    static __m128i Lo(__m128i a, __m128i b) { return _mm_unpacklo_epi16(a, b); }
    static __m128i Hi(__m128i a, __m128i b) { return _mm_unpackhi_epi16(a, b); }
    __attribute__((target("avx2"))) static __m256i Lo(__m256i a, __m256i b) {
        return _mm256_unpacklo_epi16(a, b);
    }
    __attribute__((target("avx2"))) static __m256i Hi(__m256i a, __m256i b) {
        return _mm256_unpackhi_epi16(a, b);
    }
    static __m128i Reverse(__m128i v) {
        v = _mm_shuffle_epi32(v, 0x1B);
        return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
    }
    __attribute__((target("avx2"))) static __m256i Reverse(__m256i v) {
        const __m256i words =
            _mm256_setr_epi8(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1, 14, 15, 12, 13,
                             10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
        return _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, words), 0x4E);
    }
};

template <>
struct Lanes<uint32_t> {
    static __m128i Lo(__m128i a, __m128i b) { return _mm_unpacklo_epi32(a, b); }
    static __m128i Hi(__m128i a, __m128i b) { return _mm_unpackhi_epi32(a, b); }
    __attribute__((target("avx2"))) static __m256i Lo(__m256i a, __m256i b) {
        return _mm256_unpacklo_epi32(a, b);
    }
    __attribute__((target("avx2"))) static __m256i Hi(__m256i a, __m256i b) {
        return _mm256_unpackhi_epi32(a, b);
    }
    static __m128i Reverse(__m128i v) { return _mm_shuffle_epi32(v, 0x1B); }
    __attribute__((target("avx2"))) static __m256i Reverse(__m256i v) {
        return _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
    }
};

// Transposes an N × N tile held as N registers (row i in x[i]); in 256-bit registers, two
// tiles side by side, one per 128-bit half. Each round interleaves register i with register
// i + N/2, which rotates the bits of (row, column) by one; after log2(N) rounds rows and
// columns have changed places.
template <typename T>
inline void TransposeTile(__m128i* x) {
    constexpr int n = 16 / sizeof(T);
    for (int bit = 1; bit < n; bit <<= 1) {
        __m128i y[n];
#pragma GCC unroll 16
        for (int i = 0; i < n / 2; ++i) {
            y[2 * i] = Lanes<T>::Lo(x[i], x[i + n / 2]);
            y[2 * i + 1] = Lanes<T>::Hi(x[i], x[i + n / 2]);
        }
#pragma GCC unroll 16
        for (int i = 0; i < n; ++i)
            x[i] = y[i];
    }
}

template <typename T>
__attribute__((target("avx2"))) inline void TransposeTile(__m256i* x) {
    constexpr int n = 16 / sizeof(T);
    for (int bit = 1; bit < n; bit <<= 1) {
        __m256i y[n];
#pragma GCC unroll 16
        for (int i = 0; i < n / 2; ++i) {
            y[2 * i] = Lanes<T>::Lo(x[i], x[i + n / 2]);
            y[2 * i + 1] = Lanes<T>::Hi(x[i], x[i + n / 2]);
        }
#pragma GCC unroll 16
        for (int i = 0; i < n; ++i)
            x[i] = y[i];
    }
}

// One tile: source rows rows[0..n) from column x on, into output rows d, d + step, ...
// from column c on.
template <typename T>
void TileSse2(const T* const* rows, size_t x, T* d, ptrdiff_t step, size_t c) {
    constexpr size_t n = 16 / sizeof(T);
    __m128i v[n];
#pragma GCC unroll 16
    for (size_t i = 0; i < n; ++i)
        v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[i] + x));
    TransposeTile<T>(v);
#pragma GCC unroll 16
    for (size_t j = 0; j < n; ++j)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + static_cast<ptrdiff_t>(j) * step + c),
                         v[j]);
}

// Two tiles side by side (2n source columns) with one 256-bit load per row.
template <typename T>
__attribute__((target("avx2"))) void TilePairAvx2(const T* const* rows, size_t x, T* d,
                                                  ptrdiff_t step, size_t c) {
    constexpr size_t n = 16 / sizeof(T);
    __m256i v[n];
#pragma GCC unroll 16
    for (size_t i = 0; i < n; ++i)
        v[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[i] + x));
    TransposeTile<T>(v);
    T* second = d + static_cast<ptrdiff_t>(n) * step;
#pragma GCC unroll 16
    for (size_t j = 0; j < n; ++j) {
        const ptrdiff_t at = static_cast<ptrdiff_t>(j) * step + static_cast<ptrdiff_t>(c);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + at), _mm256_castsi256_si128(v[j]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(second + at),
                         _mm256_extracti128_si256(v[j], 1));
    }
}

// The row reversed, 32 bytes a step, with a last step flush with the end (the row holds at
// least 32 bytes), overlapping the one before.
template <typename T>
__attribute__((target("avx2"))) void ReverseRowAvx2(T* dst, const T* src, size_t n) {
    constexpr size_t kLanes = 32 / sizeof(T);
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        const __m256i v =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + (n - kLanes - i)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), Lanes<T>::Reverse(v));
    }
    if (i < n) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + (n - kLanes)), Lanes<T>::Reverse(v));
    }
}
#endif

template <typename T>
void ReverseRow(T* dst, const T* src, size_t n, bool avx2) {
    size_t i = 0;
#ifdef LX_X86
    if (avx2 && n >= 32 / sizeof(T))
        return ReverseRowAvx2(dst, src, n);
    constexpr size_t kLanes = 16 / sizeof(T);
    if (n >= kLanes) {
        for (; i + kLanes <= n; i += kLanes) {
            const __m128i v =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + (n - kLanes - i)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), Lanes<T>::Reverse(v));
        }
        // The rest as one vector flush with the end, overlapping the last one.
        if (i < n) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + (n - kLanes)), Lanes<T>::Reverse(v));
        }
        return;
    }
#else
    (void)avx2;
#endif
    for (; i < n; ++i)
        dst[i] = src[n - 1 - i];
}

// The three quarter turns are one transpose with optional flips: output row r is source
// column r (or W−1−r with reverseColumns), read from row 0 down (or from row H−1 up with
// flipRows); the flips only choose row pointers. The frame is transposed in n × n tiles,
// walked in bands one source cache line wide, and down each band in blocks of 64 rows;
// inside a block each group of output rows is finished before the next, so its lines are
// complete while they are in cache. (Measured against wider bands, whole-column blocks and a
// block buffer copied out by lines: this order was fastest at every size tried, powers of
// two included.)
template <typename T>
void QuarterTurn(T* dst, const T* src, size_t w, size_t h, bool flipRows, bool reverseColumns) {
    auto srcRow = [&](size_t c) { return src + (flipRows ? h - 1 - c : c) * w; };
    auto dstRow = [&](size_t x) { return dst + (reverseColumns ? w - 1 - x : x) * h; };
#ifdef LX_X86
    constexpr size_t n = 16 / sizeof(T);
    if (w >= n && h >= n) {
        constexpr size_t kBand = 64 / sizeof(T);
        constexpr size_t kBlockRows = 64;
        const ptrdiff_t step =
            reverseColumns ? -static_cast<ptrdiff_t>(h) : static_cast<ptrdiff_t>(h);
        const bool avx2 = UseAvx2();
        const size_t wTiles = w / n * n;
        const size_t hTiles = h / n * n;
        const T* rows[kBlockRows];
        for (size_t xb = 0; xb < wTiles; xb += kBand) {
            const size_t xe = std::min(xb + kBand, wTiles);
            for (size_t cb = 0; cb < hTiles; cb += kBlockRows) {
                const size_t ce = std::min(cb + kBlockRows, hTiles);
                for (size_t c = cb; c < ce; ++c)
                    rows[c - cb] = srcRow(c);
                size_t x = xb;
                if (avx2) {
                    for (; x + 2 * n <= xe; x += 2 * n) {
                        for (size_t c = cb; c < ce; c += n)
                            TilePairAvx2(rows + (c - cb), x, dstRow(x), step, c);
                    }
                }
                for (; x < xe; x += n) {
                    for (size_t c = cb; c < ce; c += n)
                        TileSse2(rows + (c - cb), x, dstRow(x), step, c);
                }
            }
        }
        // Sizes that are not a multiple of n end in one more row and column of tiles flush
        // with the edge, overlapping their neighbours (which they rewrite with equal values).
        if (hTiles < h) {
            for (size_t k = 0; k < n; ++k)
                rows[k] = srcRow(h - n + k);
            for (size_t x = 0; x < wTiles; x += n)
                TileSse2(rows, x, dstRow(x), step, h - n);
        }
        if (wTiles < w) {
            for (size_t c = 0; c < h; c += n) {
                c = std::min(c, h - n);
                for (size_t k = 0; k < n; ++k)
                    rows[k] = srcRow(c + k);
                TileSse2(rows, w - n, dstRow(w - n), step, c);
            }
        }
        return;
    }
#endif
    for (size_t x = 0; x < w; ++x) {
        T* d = dstRow(x);
        for (size_t c = 0; c < h; ++c)
            d[c] = srcRow(c)[x];
    }
}

template <typename T>
void Apply(Transform t, void* dstBytes, const void* srcBytes, size_t w, size_t h) {
    T* dst = static_cast<T*>(dstBytes);
    const T* src = static_cast<const T*>(srcBytes);
    const bool avx2 = UseAvx2();
    switch (t) {
        case kRot90:
            return QuarterTurn(dst, src, w, h, true, false);
        case kRot270:
            return QuarterTurn(dst, src, w, h, false, true);
        case kRot90MirrorHoriz:
            return QuarterTurn(dst, src, w, h, true, true);
        case kRot180:
            for (size_t y = 0; y < h; ++y)
                ReverseRow(dst + y * w, src + (h - 1 - y) * w, w, avx2);
            return;
        case kMirrorVert:
            for (size_t y = 0; y < h; ++y)
                ReverseRow(dst + y * w, src + y * w, w, avx2);
            return;
        case kMirrorHoriz:
            for (size_t y = 0; y < h; ++y)
                std::memcpy(dst + y * w, src + (h - 1 - y) * w, w * sizeof(T));
            return;
        case kNone:
            return;
    }
}

Transform TransformOf(std::string_view name) {
    switch (OrientationIndexFromName(name)) {
        case 1:
            return kRot90;
        case 2:
            return kRot180;
        case 3:
            return kRot270;
        case 4:
            return kMirrorVert;
        case 5:
            return kMirrorHoriz;
        case 6:
            return kRot90MirrorHoriz;
        default:
            return kNone;
    }
}

}  // namespace

const char* OrientationNameFromIndex(int index) {
    return index >= 0 && index < kOrientationCount ? kNames[index] : kNames[0];
}

int OrientationIndexFromName(std::string_view name) {
    for (int i = 1; i < kOrientationCount; ++i) {
        if (name == kNames[i])
            return i;
    }
    return 0;
}

bool OrientationSwapsWidthHeight(std::string_view name) {
    const Transform t = TransformOf(name);
    return t == kRot90 || t == kRot270 || t == kRot90MirrorHoriz;
}

bool Orient(void* dst, const void* src, std::string_view name, int32_t width, int32_t height,
            int32_t bitsPerPixel) {
    const Transform t = TransformOf(name);
    if (t == kNone || width <= 0 || height <= 0 || dst == nullptr || src == nullptr)
        return false;
    const size_t w = static_cast<size_t>(width);
    const size_t h = static_cast<size_t>(height);
    if (bitsPerPixel <= 8)
        Apply<uint8_t>(t, dst, src, w, h);
    else if (bitsPerPixel <= 16)
        Apply<uint16_t>(t, dst, src, w, h);
    else
        Apply<uint32_t>(t, dst, src, w, h);
    return true;
}
