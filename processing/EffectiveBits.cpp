#include "processing/EffectiveBits.h"

#include <cstring>

namespace {

// A word whose every `bits`-wide lane holds `lane`.
uint64_t Replicate(uint64_t lane, int bits) {
    uint64_t word = 0;
    for (int shift = 0; shift < 64; shift += bits)
        word |= lane << shift;
    return word;
}

}  // namespace

bool CheckEffectiveBits(const void* pixels, int bitsPerPixel, int effectiveBits,
                        size_t pixelCount) {
    if (bitsPerPixel != 8 && bitsPerPixel != 16 && bitsPerPixel != 32)
        return false;
    const int bits =
        effectiveBits < 0 ? 0 : (effectiveBits < bitsPerPixel ? effectiveBits : bitsPerPixel);
    if (bits == bitsPerPixel || pixelCount == 0)
        return true;  // every value fits
    // A value is above the mask exactly when it has a bit outside it, so OR whole 64-bit
    // words of pixels together and look for such bits once per chunk.
    const uint64_t laneMask = (uint64_t{1} << bitsPerPixel) - 1;
    const uint64_t outside = Replicate(laneMask & ~((uint64_t{1} << bits) - 1), bitsPerPixel);
    const uint8_t* p = static_cast<const uint8_t*>(pixels);
    const size_t bytes = pixelCount * static_cast<size_t>(bitsPerPixel / 8);
    constexpr size_t kChunk = 4096;
    size_t i = 0;
    while (i + 8 <= bytes) {
        const size_t end = (bytes - i) / 8 > kChunk / 8 ? i + kChunk : i + (bytes - i) / 8 * 8;
        uint64_t any[4] = {0, 0, 0, 0};
        for (; i + 32 <= end; i += 32) {
            for (int k = 0; k < 4; ++k) {
                uint64_t word;
                std::memcpy(&word, p + i + 8 * k, 8);
                any[k] |= word;
            }
        }
        for (; i + 8 <= end; i += 8) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            any[0] |= word;
        }
        if (((any[0] | any[1] | any[2] | any[3]) & outside) != 0)
            return false;
    }
    // Fewer than 8 bytes remain: whole pixels, since 8 is a multiple of every pixel size.
    uint64_t tail = 0;
    std::memcpy(&tail, p + i, bytes - i);
    return (tail & outside) == 0;
}
