#include "processing/SpotAnalyzer.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "frame/PoolBlock.h"
#include "processing/CpuFeatures.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define LX_X86 1
#endif

namespace {

constexpr double kEpsilon = 1e-10;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kWindowFactor = 2.78;
// Rows a 16-bit column accumulator takes before it is emptied (257 would just fit; an even
// number suits the two-row kernel).
constexpr uint32_t kRowsPer16Bit = 256;
static_assert(kRowsPer16Bit * 255 <= 65535);

template <typename T>
CPoolBlock PoolArray(uint64_t count) {
    const uint64_t bytes = count * sizeof(T);
    if (bytes > UINT32_MAX)
        return {};
    return CPoolBlock::Alloc(static_cast<uint32_t>(bytes));
}

// Adds one row into 16-bit column accumulators and returns the row's sum.
uint32_t AccumulateRow(const uint8_t* row, uint16_t* acc, uint32_t width) {
    uint32_t x = 0;
    uint32_t sum = 0;
#ifdef LX_X86
    const __m128i zero = _mm_setzero_si128();
    __m128i sums = zero;
    for (; x + 16 <= width; x += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
        __m128i* a = reinterpret_cast<__m128i*>(acc + x);
        _mm_storeu_si128(a, _mm_add_epi16(_mm_loadu_si128(a), _mm_unpacklo_epi8(v, zero)));
        _mm_storeu_si128(a + 1, _mm_add_epi16(_mm_loadu_si128(a + 1), _mm_unpackhi_epi8(v, zero)));
        sums = _mm_add_epi64(sums, _mm_sad_epu8(v, zero));
    }
    sum = static_cast<uint32_t>(_mm_cvtsi128_si32(sums)) +
          static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
#endif
    for (; x < width; ++x) {
        acc[x] = static_cast<uint16_t>(acc[x] + row[x]);
        sum += row[x];
    }
    return sum;
}

#ifdef LX_X86
// Two rows at once: their sum is added to the accumulators, so the accumulators are read
// and written once per two rows.
__attribute__((target("avx2"))) void AccumulateRowPairAvx2(const uint8_t* row0, const uint8_t* row1,
                                                           uint16_t* acc, uint32_t width,
                                                           uint32_t* sums) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i sad0 = zero;
    __m256i sad1 = zero;
    uint32_t x = 0;
    for (; x + 32 <= width; x += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row0 + x));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row1 + x));
        const __m256i lo = _mm256_add_epi16(_mm256_cvtepu8_epi16(_mm256_castsi256_si128(a)),
                                            _mm256_cvtepu8_epi16(_mm256_castsi256_si128(b)));
        const __m256i hi = _mm256_add_epi16(_mm256_cvtepu8_epi16(_mm256_extracti128_si256(a, 1)),
                                            _mm256_cvtepu8_epi16(_mm256_extracti128_si256(b, 1)));
        __m256i* p = reinterpret_cast<__m256i*>(acc + x);
        _mm256_storeu_si256(p, _mm256_add_epi16(_mm256_loadu_si256(p), lo));
        _mm256_storeu_si256(p + 1, _mm256_add_epi16(_mm256_loadu_si256(p + 1), hi));
        sad0 = _mm256_add_epi64(sad0, _mm256_sad_epu8(a, zero));
        sad1 = _mm256_add_epi64(sad1, _mm256_sad_epu8(b, zero));
    }
    alignas(32) uint64_t parts0[4];
    alignas(32) uint64_t parts1[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(parts0), sad0);
    _mm256_store_si256(reinterpret_cast<__m256i*>(parts1), sad1);
    uint32_t sum0 = static_cast<uint32_t>(parts0[0] + parts0[1] + parts0[2] + parts0[3]);
    uint32_t sum1 = static_cast<uint32_t>(parts1[0] + parts1[1] + parts1[2] + parts1[3]);
    for (; x < width; ++x) {
        acc[x] = static_cast<uint16_t>(acc[x] + row0[x] + row1[x]);
        sum0 += row0[x];
        sum1 += row1[x];
    }
    sums[0] = sum0;
    sums[1] = sum1;
}

#endif

// Sine and cosine tables of the smoothing for one window length and harmonic count. The
// entries are computed with exactly the expressions the series uses, so reading them gives
// the same bits as calling sin and cos in place.
struct TrigTables {
    bool valid = false;
    uint32_t d = 0;
    uint16_t harmonics = 0;
    uint32_t kPad = 0;  // harmonics rounded up to whole vectors of 4
    // [j * kPad + k]: 2·cos and 2·sin of 2π·j·k / Dε, the coefficients' factors; zero in
    // the padding.
    std::vector<double> coefCos, coefSin;
    // [k * (d + 1) + j]: cos and sin of k·j·w, the evaluation's factors.
    std::vector<double> evalCos, evalSin;
};

const TrigTables& TablesFor(uint32_t d, uint16_t harmonics) {
    // X and Y of a frame, and both again after a quarter turn.
    constexpr int kEntries = 4;
    thread_local TrigTables cache[kEntries];
    thread_local int next = 0;
    for (const TrigTables& t : cache) {
        if (t.valid && t.d == d && t.harmonics == harmonics)
            return t;
    }
    TrigTables& t = cache[next];
    next = (next + 1) % kEntries;
    const uint32_t n = d + 1;
    t.kPad = (harmonics + 3u) / 4 * 4;
    t.coefCos.assign(static_cast<size_t>(t.kPad) * n, 0.0);
    t.coefSin.assign(static_cast<size_t>(t.kPad) * n, 0.0);
    t.evalCos.assign(static_cast<size_t>(harmonics) * n, 0.0);
    t.evalSin.assign(static_cast<size_t>(harmonics) * n, 0.0);
    const double dEps = d + kEpsilon;
    const double w = kTwoPi / dEps;
    for (uint32_t k = 0; k < harmonics; ++k) {
        for (uint32_t j = 0; j < n; ++j) {
            const double arg = kTwoPi * j * k / dEps;
            const size_t coef = static_cast<size_t>(j) * t.kPad + k;
            t.coefCos[coef] = 2 * std::cos(arg);
            t.coefSin[coef] = 2 * std::sin(arg);
            const size_t eval = static_cast<size_t>(k) * n + j;
            t.evalCos[eval] = std::cos(static_cast<double>(k) * j * w);
            t.evalSin[eval] = std::sin(static_cast<double>(k) * j * w);
        }
    }
    t.d = d;
    t.harmonics = harmonics;
    t.valid = true;
    return t;
}

// The series over one window. Every sum is accumulated in the order of its formula (j
// upwards); only independent sums run side by side, so the results are the same to the bit
// whichever of the two versions runs.
struct Series {
    const TrigTables& t;
    const double* p;  // the projection from the window's start
    uint32_t n;       // samples in the window
    double dEps;
    double* a;    // coefficients, harmonics values
    double* b;    //
    double* out;  // the smoothed profile from the window's start
};

// Returns the profile's total.
double SmoothScalar(const Series& s) {
    const uint32_t harmonics = s.t.harmonics;
    const uint32_t kPad = s.t.kPad;
    for (uint32_t k = 0; k < harmonics; ++k) {
        double sumA = 0.0;
        double sumB = 0.0;
        for (uint32_t j = 0; j < s.n; ++j) {
            const size_t at = static_cast<size_t>(j) * kPad + k;
            sumA += s.t.coefCos[at] * s.p[j] / s.dEps;
            sumB += s.t.coefSin[at] * s.p[j] / s.dEps;
        }
        s.a[k] = sumA;
        s.b[k] = sumB;
    }
    double total = kEpsilon;
    for (uint32_t j = 0; j < s.n; ++j) {
        double v = s.a[0] * 0.5;
        for (uint32_t k = 1; k < harmonics; ++k) {
            const size_t at = static_cast<size_t>(k) * s.n + j;
            v += s.b[k] * s.t.evalSin[at] + s.a[k] * s.t.evalCos[at];
        }
        if (!(v > 0))
            v = 0;
        v += kEpsilon;
        s.out[j] = v;
        total += v;
    }
    return total;
}

#ifdef LX_X86
// Four harmonics per vector for the coefficients, four samples per vector for the
// evaluation. The divisions dominate, and these run four at a time.
__attribute__((target("avx2"))) double SmoothAvx2(const Series& s) {
    const uint32_t harmonics = s.t.harmonics;
    const uint32_t kPad = s.t.kPad;
    const __m256d dEps = _mm256_set1_pd(s.dEps);
    for (uint32_t k0 = 0; k0 < kPad; k0 += 4) {
        __m256d sumA = _mm256_setzero_pd();
        __m256d sumB = _mm256_setzero_pd();
        const double* c = s.t.coefCos.data() + k0;
        const double* sn = s.t.coefSin.data() + k0;
        for (uint32_t j = 0; j < s.n; ++j) {
            const __m256d pj = _mm256_set1_pd(s.p[j]);
            const size_t at = static_cast<size_t>(j) * kPad;
            sumA = _mm256_add_pd(sumA,
                                 _mm256_div_pd(_mm256_mul_pd(_mm256_loadu_pd(c + at), pj), dEps));
            sumB = _mm256_add_pd(sumB,
                                 _mm256_div_pd(_mm256_mul_pd(_mm256_loadu_pd(sn + at), pj), dEps));
        }
        alignas(32) double partA[4];
        alignas(32) double partB[4];
        _mm256_store_pd(partA, sumA);
        _mm256_store_pd(partB, sumB);
        for (uint32_t k = k0; k < k0 + 4 && k < harmonics; ++k) {
            s.a[k] = partA[k - k0];
            s.b[k] = partB[k - k0];
        }
    }
    const __m256d zero = _mm256_setzero_pd();
    const __m256d eps = _mm256_set1_pd(kEpsilon);
    const __m256d base = _mm256_set1_pd(s.a[0] * 0.5);
    uint32_t j = 0;
    for (; j + 4 <= s.n; j += 4) {
        __m256d v = base;
        for (uint32_t k = 1; k < harmonics; ++k) {
            const size_t at = static_cast<size_t>(k) * s.n + j;
            v = _mm256_add_pd(
                v, _mm256_add_pd(
                       _mm256_mul_pd(_mm256_set1_pd(s.b[k]), _mm256_loadu_pd(&s.t.evalSin[at])),
                       _mm256_mul_pd(_mm256_set1_pd(s.a[k]), _mm256_loadu_pd(&s.t.evalCos[at]))));
        }
        // Not above zero (NaN included) becomes zero, as in the scalar version.
        v = _mm256_and_pd(v, _mm256_cmp_pd(v, zero, _CMP_GT_OQ));
        _mm256_storeu_pd(s.out + j, _mm256_add_pd(v, eps));
    }
    for (; j < s.n; ++j) {
        double v = s.a[0] * 0.5;
        for (uint32_t k = 1; k < harmonics; ++k) {
            const size_t at = static_cast<size_t>(k) * s.n + j;
            v += s.b[k] * s.t.evalSin[at] + s.a[k] * s.t.evalCos[at];
        }
        if (!(v > 0))
            v = 0;
        s.out[j] = v + kEpsilon;
    }
    double total = kEpsilon;
    for (j = 0; j < s.n; ++j)
        total += s.out[j];
    return total;
}
#endif

}  // namespace

SpotProjection::SpotProjection(const uint8_t* image, uint32_t width, uint32_t height)
    : image_(image), width_(width), height_(height) {
    blocks_[0] = PoolArray<double>(height);
    blocks_[1] = PoolArray<double>(width);
    blocks_[2] = PoolArray<uint32_t>(height);
    blocks_[3] = PoolArray<uint32_t>(width);
    for (CPoolBlock& b : blocks_) {
        if (!b || image == nullptr) {
            for (CPoolBlock& c : blocks_)
                c.Reset();
            return;
        }
    }
    yProjection_ = blocks_[0].As<double>();
    xProjection_ = blocks_[1].As<double>();
    rowSums_ = blocks_[2].As<uint32_t>();
    columnSums_ = blocks_[3].As<uint32_t>();
    Project();
}

void SpotProjection::Project() {
    x0_ = 0;
    x1_ = width_ - 1;
    y0_ = 0;
    y1_ = height_ - 1;
    std::memset(columnSums_, 0, sizeof(uint32_t) * width_);
    std::memset(rowSums_, 0, sizeof(uint32_t) * height_);

    // One pass over the image. Columns are summed in 16-bit lanes (twice as many per
    // instruction) and emptied into the 32-bit sums before they can overflow.
    CPoolBlock accBlock = PoolArray<uint16_t>(width_);
    if (uint16_t* acc = accBlock.As<uint16_t>()) {
        for (uint32_t y = 0; y < height_;) {
            std::memset(acc, 0, sizeof(uint16_t) * width_);
            const uint32_t end = height_ - y > kRowsPer16Bit ? y + kRowsPer16Bit : height_;
#ifdef LX_X86
            if (UseAvx2()) {
                for (; y + 2 <= end; y += 2) {
                    const uint8_t* row = image_ + static_cast<size_t>(y) * width_;
                    AccumulateRowPairAvx2(row, row + width_, acc, width_, rowSums_ + y);
                }
            }
#endif
            for (; y < end; ++y)
                rowSums_[y] = AccumulateRow(image_ + static_cast<size_t>(y) * width_, acc, width_);
            for (uint32_t x = 0; x < width_; ++x)
                columnSums_[x] += acc[x];
        }
    } else {
        for (uint32_t y = 0; y < height_; ++y) {
            const uint8_t* row = image_ + static_cast<size_t>(y) * width_;
            for (uint32_t x = 0; x < width_; ++x) {
                columnSums_[x] += row[x];
                rowSums_[y] += row[x];
            }
        }
    }

    // 64 bits: a large bright frame can pass 2^32.
    uint64_t total = 0;
    for (uint32_t x = x0_; x <= x1_; ++x)
        total += columnSums_[x];
    if (total == 0)
        total = 1;
    const double f = total == 1 ? 1.0 : 0.0;
    const double nx = static_cast<double>(x1_ - x0_) + 1;
    const double ny = static_cast<double>(y1_ - y0_) + 1;
    const double t = static_cast<double>(total);
    for (uint32_t x = x0_; x <= x1_; ++x)
        xProjection_[x] = (columnSums_[x] + f / nx) / t;
    for (uint32_t y = y0_; y <= y1_; ++y)
        yProjection_[y] = (rowSums_[y] + f / ny) / t;
}

SpotAnalyzer::SpotAnalyzer(const uint8_t* image, uint16_t harmonics, uint16_t iterations,
                           uint32_t width, uint32_t height)
    : SpotProjection(image, width, height),
      harmonics_(harmonics),
      iterations_(iterations == 0 ? 1 : iterations) {}

void SpotAnalyzer::Compute() {
    if (!HasProjections())
        return;
    CPoolBlock xBlock = Smooth(xProjection_, x0_, x1_, width_);
    CPoolBlock yBlock = Smooth(yProjection_, y0_, y1_, height_);
    const double* sx = xBlock.As<double>();
    const double* sy = yBlock.As<double>();
    if (sx != nullptr && sy != nullptr) {
        xm_ = FindPeak(sx, x0_, x1_);
        ym_ = FindPeak(sy, y0_, y1_);
        xrms_ = Width(xProjection_, sx, xm_, x0_, x1_);
        yrms_ = Width(yProjection_, sy, ym_, y0_, y1_);
    }
}

CPoolBlock SpotAnalyzer::Smooth(const double* projection, uint32_t a, uint32_t b,
                                uint32_t length) const {
    const uint32_t d = b - a;
    const double dEps = d + kEpsilon;
    const uint32_t k = harmonics_;
    CPoolBlock outBlock = PoolArray<double>(length);
    CPoolBlock caBlock = PoolArray<double>(k);
    CPoolBlock cbBlock = PoolArray<double>(k);
    double* out = outBlock.As<double>();
    double* ca = caBlock.As<double>();
    double* cb = cbBlock.As<double>();
    if (out == nullptr || ca == nullptr || cb == nullptr)
        return {};
    const Series series{TablesFor(d, harmonics_), projection + a, d + 1, dEps, ca, cb, out + a};
#ifdef LX_X86
    const double total = UseAvx2() ? SmoothAvx2(series) : SmoothScalar(series);
#else
    const double total = SmoothScalar(series);
#endif
    for (uint32_t x = a; x <= b; ++x)
        out[x] /= total;
    return outBlock;
}

double SpotAnalyzer::FindPeak(const double* smooth, uint32_t lo, uint32_t hi) const {
    for (uint32_t n = iterations_;; --n) {
        uint32_t peak = lo;
        for (uint32_t i = lo; i <= hi; ++i) {
            if (smooth[i] > smooth[peak])
                peak = i;
        }
        const double p = peak;
        if (n == 1)
            return p;
        double sum = kEpsilon;
        for (uint32_t i = lo; i <= hi; ++i)
            sum += smooth[i];
        double var = 0.0;
        for (uint32_t i = lo; i <= hi; ++i) {
            const double d = i - p;
            var += d * d * smooth[i] / sum;
        }
        const double sigma = std::sqrt(var);
        const double lower = p - sigma > lo ? p - sigma : lo;
        const double upper = p + sigma < hi ? p + sigma : hi;
        const auto newLo = static_cast<uint32_t>(lower);
        const auto newHi = static_cast<uint32_t>(upper);
        if (newHi - newLo >= 2) {
            lo = newLo;
            hi = newHi;
        }
    }
}

double SpotAnalyzer::Width(const double* projection, const double* smooth, double c, uint32_t& lo,
                           uint32_t& hi) const {
    double r0 = 0.0;
    for (uint32_t i = lo; i <= hi; ++i) {
        const double d = i - c;
        r0 += d * d * projection[i];
    }
    r0 = std::sqrt(r0);
    const auto k = static_cast<int64_t>(kWindowFactor * r0);
    const auto lower = static_cast<int64_t>(c - k > lo ? c - k : lo);
    const auto upper = static_cast<int64_t>(c + k < hi ? c + k : hi);
    const auto ci = static_cast<int64_t>(c);
    int64_t left = ci;
    for (int64_t i = ci; i >= lower; --i) {
        if (smooth[i] < smooth[left])
            left = i;
    }
    int64_t right = ci;
    for (int64_t i = ci; i <= upper; ++i) {
        if (smooth[i] < smooth[right])
            right = i;
    }
    lo = static_cast<uint32_t>(left);
    hi = static_cast<uint32_t>(right);
    double sum = kEpsilon;
    for (int64_t i = left; i <= right; ++i)
        sum += projection[i];
    double var = 0.0;
    for (int64_t i = left; i <= right; ++i) {
        const double d = static_cast<double>(i) - c;
        var += d * d * projection[i] / sum;
    }
    return std::sqrt(var);
}
