#include "processing/PixelConversion.h"

#include <cstdlib>
#include <cstring>

#include "processing/CpuFeatures.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define LX_X86 1
#endif

namespace {

// Row layout of one sample: where the top output row starts and the step to the next.
struct SourceRows {
    const uint8_t* first;
    ptrdiff_t step;
    uint32_t height;
};

// Stride in bytes, or 0 when the stride cannot hold a row.
size_t Stride(int conversion, uint32_t width, uint32_t srcStride) {
    const size_t row = static_cast<size_t>(SourceBytesPerPixel(conversion)) * width;
    if (srcStride == 0)
        return row;
    return srcStride >= row ? srcStride : 0;
}

SourceRows Rows(const uint8_t* src, size_t stride, int32_t biHeight) {
    // |INT32_MIN| does not fit an int32_t; take it in 64 bits.
    const uint32_t height = static_cast<uint32_t>(std::llabs(static_cast<long long>(biHeight)));
    if (biHeight > 0)
        return {src + static_cast<size_t>(height - 1) * stride, -static_cast<ptrdiff_t>(stride),
                height};
    return {src, static_cast<ptrdiff_t>(stride), height};
}

// The reference formula; everything faster must give exactly its bytes.
inline uint8_t GrayOf(const uint8_t* p) {
    return static_cast<uint8_t>(p[1] * 0.587 + p[2] * 0.299 + p[0] * 0.114);
}

void RgbRowScalar(const uint8_t* p, uint8_t* dst, uint32_t count, uint32_t bpp) {
    for (uint32_t x = 0; x < count; ++x, p += bpp)
        dst[x] = GrayOf(p);
}

#ifdef LX_X86
// Four gray values from four B, G, R triples: the formula, lane by lane.
__attribute__((target("avx2"))) inline __m128i Gray4(__m128i b, __m128i g, __m128i r) {
    const __m256d sum =
        _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(g), _mm256_set1_pd(0.587)),
                                    _mm256_mul_pd(_mm256_cvtepi32_pd(r), _mm256_set1_pd(0.299))),
                      _mm256_mul_pd(_mm256_cvtepi32_pd(b), _mm256_set1_pd(0.114)));
    return _mm256_cvttpd_epi32(sum);
}

// Eight pixels as 32-bit B, G, R, 0 values.
__attribute__((target("avx2"))) inline __m256i LoadPixels8(const uint8_t* p, uint32_t bpp) {
    if (bpp == 4)
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    // Spreads four 3-byte pixels of each 128-bit lane into 4-byte B, G, R, 0 pixels.
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0,
                                            1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12));
    return _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1), spread);
}

// A step of eight 3-byte pixels reads 4 bytes beyond them: the vector loop stops early enough
// to stay inside the row.
inline uint32_t VectorSlack(uint32_t bpp) {
    return bpp == 3 ? 2 : 0;
}

// Eight pixels at a time in double precision: the same three products, the same two sums
// in the same order and the same truncation as GrayOf, so the bytes are identical. A fused
// multiply-add would round differently: FMA is not enabled for the AVX2 version, and
// contraction is switched off for this library (AVX-512 includes FMA).
__attribute__((target("avx2"))) void RgbRowAvx2(const uint8_t* p, uint8_t* dst, uint32_t count,
                                                uint32_t bpp) {
    const __m256i low = _mm256_set1_epi32(0xFF);
    uint32_t x = 0;
    for (; x + 8 + VectorSlack(bpp) <= count; x += 8, p += 8 * bpp, dst += 8) {
        const __m256i v = LoadPixels8(p, bpp);
        const __m256i b = _mm256_and_si256(v, low);
        const __m256i g = _mm256_and_si256(_mm256_srli_epi32(v, 8), low);
        const __m256i r = _mm256_and_si256(_mm256_srli_epi32(v, 16), low);
        const __m128i lo =
            Gray4(_mm256_castsi256_si128(b), _mm256_castsi256_si128(g), _mm256_castsi256_si128(r));
        const __m128i hi = Gray4(_mm256_extracti128_si256(b, 1), _mm256_extracti128_si256(g, 1),
                                 _mm256_extracti128_si256(r, 1));
        const __m128i words = _mm_packs_epi32(lo, hi);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_packus_epi16(words, words));
    }
    RgbRowScalar(p, dst, count - x, bpp);
}

// The same with eight doubles per register: half the instructions.
__attribute__((target("avx2,avx512f,avx512vl,avx512bw"))) void RgbRowAvx512(const uint8_t* p,
                                                                            uint8_t* dst,
                                                                            uint32_t count,
                                                                            uint32_t bpp) {
    const __m256i low = _mm256_set1_epi32(0xFF);
    const __m512d wg = _mm512_set1_pd(0.587);
    const __m512d wr = _mm512_set1_pd(0.299);
    const __m512d wb = _mm512_set1_pd(0.114);
    // The zero-masked forms with every lane selected: GCC 12 warns about the undefined
    // first operand of the plain ones.
    const __mmask8 kAll8 = 0xFF;
    uint32_t x = 0;
    for (; x + 8 + VectorSlack(bpp) <= count; x += 8, p += 8 * bpp, dst += 8) {
        const __m256i v = LoadPixels8(p, bpp);
        const __m512d b = _mm512_maskz_cvtepi32_pd(kAll8, _mm256_and_si256(v, low));
        const __m512d g =
            _mm512_maskz_cvtepi32_pd(kAll8, _mm256_and_si256(_mm256_srli_epi32(v, 8), low));
        const __m512d r =
            _mm512_maskz_cvtepi32_pd(kAll8, _mm256_and_si256(_mm256_srli_epi32(v, 16), low));
        const __m512d sum = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(g, wg), _mm512_mul_pd(r, wr)),
                                          _mm512_mul_pd(b, wb));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst),
                         _mm256_maskz_cvtepi32_epi8(kAll8, _mm512_maskz_cvttpd_epi32(kAll8, sum)));
    }
    RgbRowScalar(p, dst, count - x, bpp);
}

// The Y bytes of 32 pairs at a time.
__attribute__((target("avx2"))) void YuvRowAvx2(const uint8_t* p, uint8_t* dst, uint32_t count,
                                                bool yFirst) {
    uint32_t x = 0;
    const __m256i lowByte = _mm256_set1_epi16(0x00FF);
    for (; x + 32 <= count; x += 32) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2 * x));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2 * x + 32));
        if (yFirst) {
            a = _mm256_and_si256(a, lowByte);
            b = _mm256_and_si256(b, lowByte);
        } else {
            a = _mm256_srli_epi16(a, 8);
            b = _mm256_srli_epi16(b, 8);
        }
        // The pack works within 128-bit halves; the permute puts the quarters in order.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + x),
                            _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8));
    }
    const uint8_t* y = p + (yFirst ? 0 : 1);
    for (; x < count; ++x)
        dst[x] = y[2 * x];
}

// 32 pairs at a time with one narrowing move.
__attribute__((target("avx2,avx512f,avx512vl,avx512bw"))) void YuvRowAvx512(const uint8_t* p,
                                                                            uint8_t* dst,
                                                                            uint32_t count,
                                                                            bool yFirst) {
    uint32_t x = 0;
    for (; x + 32 <= count; x += 32) {
        __m512i v = _mm512_loadu_si512(p + 2 * x);
        if (!yFirst)
            v = _mm512_srli_epi16(v, 8);
        // Zero-masked with every lane selected: GCC 12 warns about the plain form.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + x),
                            _mm512_maskz_cvtepi16_epi8(~__mmask32{0}, v));
    }
    const uint8_t* y = p + (yFirst ? 0 : 1);
    for (; x < count; ++x)
        dst[x] = y[2 * x];
}

// The Y bytes of 16 pairs at a time; a strided copy at memory speed.
void YuvRowSse2(const uint8_t* p, uint8_t* dst, uint32_t count, bool yFirst) {
    uint32_t x = 0;
    const __m128i lowByte = _mm_set1_epi16(0x00FF);
    for (; x + 16 <= count; x += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * x));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * x + 16));
        if (yFirst) {
            a = _mm_and_si128(a, lowByte);
            b = _mm_and_si128(b, lowByte);
        } else {
            a = _mm_srli_epi16(a, 8);
            b = _mm_srli_epi16(b, 8);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), _mm_packus_epi16(a, b));
    }
    const uint8_t* y = p + (yFirst ? 0 : 1);
    for (; x < count; ++x)
        dst[x] = y[2 * x];
}
#endif

void RgbRow(const uint8_t* p, uint8_t* dst, uint32_t count, uint32_t bpp) {
#ifdef LX_X86
    if (UseAvx512())
        return RgbRowAvx512(p, dst, count, bpp);
    if (UseAvx2())
        return RgbRowAvx2(p, dst, count, bpp);
#endif
    RgbRowScalar(p, dst, count, bpp);
}

void YuvRow(const uint8_t* p, uint8_t* dst, uint32_t count, bool yFirst) {
#ifdef LX_X86
    if (UseAvx512())
        return YuvRowAvx512(p, dst, count, yFirst);
    if (UseAvx2())
        return YuvRowAvx2(p, dst, count, yFirst);
    YuvRowSse2(p, dst, count, yFirst);
#else
    const uint8_t* y = p + (yFirst ? 0 : 1);
    for (uint32_t x = 0; x < count; ++x)
        dst[x] = y[2 * x];
#endif
}

}  // namespace

uint32_t SourceBytesPerPixel(int conversion) {
    switch (conversion) {
        case kConversionRgb24:
            return 3;
        case kConversionRgb32:
            return 4;
        case kConversionUyvy:
        case kConversionYuy2:
            return 2;
        case kConversionGrey:
            return 1;
        default:
            return 0;
    }
}

size_t SourceFrameBytes(int conversion, uint32_t width, int32_t biHeight, uint32_t srcStride) {
    if (SourceBytesPerPixel(conversion) == 0)
        return 0;
    return Stride(conversion, width, srcStride) *
           static_cast<size_t>(std::llabs(static_cast<long long>(biHeight)));
}

void ConvertRgbToGray(const uint8_t* src, uint8_t* dst, int conversion, uint32_t width,
                      int32_t biHeight, uint32_t srcStride) {
    if (conversion != kConversionRgb24 && conversion != kConversionRgb32)
        return;
    const size_t stride = Stride(conversion, width, srcStride);
    if (stride == 0)
        return;
    const uint32_t bpp = SourceBytesPerPixel(conversion);
    const SourceRows rows = Rows(src, stride, biHeight);
    const uint8_t* row = rows.first;
    for (uint32_t r = 0; r < rows.height; ++r, row += rows.step, dst += width)
        RgbRow(row, dst, width, bpp);
}

void ConvertYuvToGray(const uint8_t* src, uint8_t* dst, int conversion, uint32_t width,
                      int32_t biHeight, uint32_t srcStride) {
    if (conversion != kConversionUyvy && conversion != kConversionYuy2)
        return;
    const size_t stride = Stride(conversion, width, srcStride);
    if (stride == 0)
        return;
    const SourceRows rows = Rows(src, stride, biHeight);
    const uint8_t* row = rows.first;
    for (uint32_t r = 0; r < rows.height; ++r, row += rows.step, dst += width)
        YuvRow(row, dst, width, conversion == kConversionYuy2);
}

bool ConvertToGray(const uint8_t* src, uint8_t* dst, int conversion, uint32_t width,
                   int32_t biHeight, uint32_t srcStride) {
    if (SourceBytesPerPixel(conversion) == 0)
        return false;
    const size_t stride = Stride(conversion, width, srcStride);
    if (stride == 0 && width != 0)
        return false;
    switch (conversion) {
        case kConversionRgb24:
        case kConversionRgb32:
            ConvertRgbToGray(src, dst, conversion, width, biHeight, srcStride);
            return true;
        case kConversionUyvy:
        case kConversionYuy2:
            ConvertYuvToGray(src, dst, conversion, width, biHeight, srcStride);
            return true;
        default: {
            const SourceRows rows = Rows(src, stride, biHeight);
            const uint8_t* row = rows.first;
            for (uint32_t r = 0; r < rows.height; ++r, row += rows.step, dst += width)
                std::memcpy(dst, row, width);
            return true;
        }
    }
}
