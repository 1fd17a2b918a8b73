#include "processing/SpotAnalyzer.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "net/BufferPool.h"

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>
#define LX_X86 1
#endif

namespace {

constexpr double kEpsilon = 1e-10;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kWindowFactor = 2.78;
// A 16-bit column accumulator holds this many rows of 255 before it must be emptied.
constexpr uint32_t kRowsPer16Bit = 65535 / 255;

template <typename T>
T* PoolArray(uint64_t count) {
    const uint64_t bytes = count * sizeof(T);
    if (bytes > UINT32_MAX)
        return nullptr;
    return static_cast<T*>(g_BufferPool.Alloc(static_cast<uint32_t>(bytes)));
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

// Sine and cosine tables of the smoothing for one window length and harmonic count. The
// entries are computed with exactly the expressions the series uses, so reading them gives
// the same bits as calling sin and cos in place.
struct TrigTables {
    bool valid = false;
    uint32_t d = 0;
    uint16_t harmonics = 0;
    // [k * (d + 1) + j]: 2·cos and 2·sin of 2π·j·k / Dε (the coefficients), and cos and sin
    // of k·j·w (the evaluation).
    std::vector<double> coefCos, coefSin, evalCos, evalSin;
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
    const size_t size = static_cast<size_t>(harmonics) * n;
    t.coefCos.assign(size, 0.0);
    t.coefSin.assign(size, 0.0);
    t.evalCos.assign(size, 0.0);
    t.evalSin.assign(size, 0.0);
    const double dEps = d + kEpsilon;
    const double w = kTwoPi / dEps;
    for (uint32_t k = 0; k < harmonics; ++k) {
        for (uint32_t j = 0; j < n; ++j) {
            const double arg = kTwoPi * j * k / dEps;
            const size_t at = static_cast<size_t>(k) * n + j;
            t.coefCos[at] = 2 * std::cos(arg);
            t.coefSin[at] = 2 * std::sin(arg);
            t.evalCos[at] = std::cos(static_cast<double>(k) * j * w);
            t.evalSin[at] = std::sin(static_cast<double>(k) * j * w);
        }
    }
    t.d = d;
    t.harmonics = harmonics;
    t.valid = true;
    return t;
}

}  // namespace

SpotProjection::SpotProjection(const uint8_t* image, uint32_t width, uint32_t height)
    : image_(image), width_(width), height_(height) {
    yProjection_ = PoolArray<double>(height);
    xProjection_ = PoolArray<double>(width);
    rowSums_ = PoolArray<uint32_t>(height);
    columnSums_ = PoolArray<uint32_t>(width);
    if (yProjection_ == nullptr || xProjection_ == nullptr || rowSums_ == nullptr ||
        columnSums_ == nullptr || image == nullptr) {
        g_BufferPool.Free(yProjection_);
        g_BufferPool.Free(xProjection_);
        g_BufferPool.Free(rowSums_);
        g_BufferPool.Free(columnSums_);
        yProjection_ = xProjection_ = nullptr;
        rowSums_ = columnSums_ = nullptr;
        return;
    }
    Project();
}

SpotProjection::~SpotProjection() {
    g_BufferPool.Free(yProjection_);
    g_BufferPool.Free(xProjection_);
    g_BufferPool.Free(rowSums_);
    g_BufferPool.Free(columnSums_);
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
    uint16_t* acc = PoolArray<uint16_t>(width_);
    if (acc != nullptr) {
        for (uint32_t y = 0; y < height_;) {
            std::memset(acc, 0, sizeof(uint16_t) * width_);
            const uint32_t end = height_ - y > kRowsPer16Bit ? y + kRowsPer16Bit : height_;
            for (; y < end; ++y)
                rowSums_[y] = AccumulateRow(image_ + static_cast<size_t>(y) * width_, acc, width_);
            for (uint32_t x = 0; x < width_; ++x)
                columnSums_[x] += acc[x];
        }
        g_BufferPool.Free(acc);
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
    double* sx = Smooth(xProjection_, x0_, x1_, width_);
    double* sy = Smooth(yProjection_, y0_, y1_, height_);
    if (sx != nullptr && sy != nullptr) {
        xm_ = FindPeak(sx, x0_, x1_);
        ym_ = FindPeak(sy, y0_, y1_);
        xrms_ = Width(xProjection_, sx, xm_, x0_, x1_);
        yrms_ = Width(yProjection_, sy, ym_, y0_, y1_);
    }
    g_BufferPool.Free(sx);
    g_BufferPool.Free(sy);
}

double* SpotAnalyzer::Smooth(const double* projection, uint32_t a, uint32_t b,
                             uint32_t length) const {
    const uint32_t d = b - a;
    const double dEps = d + kEpsilon;
    const uint32_t k = harmonics_;
    double* out = PoolArray<double>(length);
    double* ca = PoolArray<double>(k);
    double* cb = PoolArray<double>(k);
    if (out == nullptr || ca == nullptr || cb == nullptr) {
        g_BufferPool.Free(out);
        g_BufferPool.Free(ca);
        g_BufferPool.Free(cb);
        return nullptr;
    }
    const TrigTables& t = TablesFor(d, harmonics_);
    const uint32_t n = d + 1;
    const double* p = projection + a;
    for (uint32_t h = 0; h < k; ++h) {
        const double* c = &t.coefCos[static_cast<size_t>(h) * n];
        const double* s = &t.coefSin[static_cast<size_t>(h) * n];
        double sumA = 0.0;
        double sumB = 0.0;
        for (uint32_t j = 0; j < n; ++j) {
            sumA += c[j] * p[j] / dEps;
            sumB += s[j] * p[j] / dEps;
        }
        ca[h] = sumA;
        cb[h] = sumB;
    }
    double total = kEpsilon;
    for (uint32_t j = 0; j < n; ++j) {
        double v = ca[0] * 0.5;
        for (uint32_t h = 1; h < k; ++h) {
            const size_t at = static_cast<size_t>(h) * n + j;
            v += cb[h] * t.evalSin[at] + ca[h] * t.evalCos[at];
        }
        if (!(v > 0))
            v = 0;
        v += kEpsilon;
        out[a + j] = v;
        total += v;
    }
    for (uint32_t x = a; x <= b; ++x)
        out[x] /= total;
    g_BufferPool.Free(ca);
    g_BufferPool.Free(cb);
    return out;
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
