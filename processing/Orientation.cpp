#include "processing/Orientation.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>
#define LX_X86 1
#endif

namespace {

constexpr const char* kNames[kOrientationCount] = {
    "NORM", "ROT90CW", "ROT180CW", "ROT270CW", "MIRRORVERT", "MIRRORHORIZ", "ROT90CWMIRRHORIZ",
};

enum Transform { kNone, kRot90, kRot180, kRot270, kMirrorVert, kMirrorHoriz, kRot90MirrorHoriz };

#ifdef LX_X86
// One 16-byte register of elements of type T, and the two operations the kernels need.
template <typename T>
struct Lanes;

template <>
struct Lanes<uint8_t> {
    static __m128i Lo(__m128i a, __m128i b) { return _mm_unpacklo_epi8(a, b); }
    static __m128i Hi(__m128i a, __m128i b) { return _mm_unpackhi_epi8(a, b); }
    static __m128i Reverse(__m128i v) {
        v = _mm_shuffle_epi32(v, 0x1B);
        v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
        return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
    }
};

template <>
struct Lanes<uint16_t> {
    static __m128i Lo(__m128i a, __m128i b) { return _mm_unpacklo_epi16(a, b); }
    static __m128i Hi(__m128i a, __m128i b) { return _mm_unpackhi_epi16(a, b); }
    static __m128i Reverse(__m128i v) {
        v = _mm_shuffle_epi32(v, 0x1B);
        return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
    }
};

template <>
struct Lanes<uint32_t> {
    static __m128i Lo(__m128i a, __m128i b) { return _mm_unpacklo_epi32(a, b); }
    static __m128i Hi(__m128i a, __m128i b) { return _mm_unpackhi_epi32(a, b); }
    static __m128i Reverse(__m128i v) { return _mm_shuffle_epi32(v, 0x1B); }
};

// Transposes an N × N tile held as N registers (row i in x[i]). Each round interleaves
// register i with register i + N/2, which rotates the bits of (row, column) by one; after
// log2(N) rounds rows and columns have changed places.
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
#endif

template <typename T>
void ReverseRow(T* dst, const T* src, size_t n) {
    size_t i = 0;
#ifdef LX_X86
    constexpr size_t kLanes = 16 / sizeof(T);
    for (; i + kLanes <= n; i += kLanes) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + (n - kLanes - i)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), Lanes<T>::Reverse(v));
    }
#endif
    for (; i < n; ++i)
        dst[i] = src[n - 1 - i];
}

// The three quarter turns are one transpose with optional flips: output row r is source
// column r (or W−1−r with reverseColumns), read from row 0 down (or from row H−1 up with
// flipRows). The frame is walked in tiles so that each source cache line is read once and
// the output rows are written in runs; the flips only choose row pointers.
template <typename T>
void QuarterTurn(T* dst, const T* src, size_t w, size_t h, bool flipRows, bool reverseColumns) {
    auto srcRow = [&](size_t c) { return src + (flipRows ? h - 1 - c : c) * w; };
    auto dstRow = [&](size_t x) { return dst + (reverseColumns ? w - 1 - x : x) * h; };
    size_t wTiles = 0;
    size_t hTiles = 0;
#ifdef LX_X86
    constexpr size_t n = 16 / sizeof(T);
    constexpr size_t kBand = 64 / sizeof(T);  // source columns in one cache line
    wTiles = w / n * n;
    hTiles = h / n * n;
    for (size_t band = 0; band < wTiles; band += kBand) {
        const size_t bandEnd = std::min(band + kBand, wTiles);
        for (size_t c0 = 0; c0 < hTiles; c0 += n) {
            const T* rows[n];
            for (size_t i = 0; i < n; ++i)
                rows[i] = srcRow(c0 + i);
            for (size_t x0 = band; x0 < bandEnd; x0 += n) {
                __m128i v[n];
#pragma GCC unroll 16
                for (size_t i = 0; i < n; ++i)
                    v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[i] + x0));
                TransposeTile<T>(v);
#pragma GCC unroll 16
                for (size_t j = 0; j < n; ++j)
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(dstRow(x0 + j) + c0), v[j]);
            }
        }
    }
#endif
    // What the tiles left: the last w % n source columns whole, and the last h % n source
    // rows of the other columns.
    for (size_t x = wTiles; x < w; ++x) {
        T* d = dstRow(x);
        for (size_t c = 0; c < h; ++c)
            d[c] = srcRow(c)[x];
    }
    for (size_t x = 0; x < wTiles; ++x) {
        T* d = dstRow(x);
        for (size_t c = hTiles; c < h; ++c)
            d[c] = srcRow(c)[x];
    }
}

template <typename T>
void Apply(Transform t, void* dstBytes, const void* srcBytes, size_t w, size_t h) {
    T* dst = static_cast<T*>(dstBytes);
    const T* src = static_cast<const T*>(srcBytes);
    switch (t) {
        case kRot90:
            return QuarterTurn(dst, src, w, h, true, false);
        case kRot270:
            return QuarterTurn(dst, src, w, h, false, true);
        case kRot90MirrorHoriz:
            return QuarterTurn(dst, src, w, h, true, true);
        case kRot180:
            for (size_t y = 0; y < h; ++y)
                ReverseRow(dst + y * w, src + (h - 1 - y) * w, w);
            return;
        case kMirrorVert:
            for (size_t y = 0; y < h; ++y)
                ReverseRow(dst + y * w, src + y * w, w);
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
