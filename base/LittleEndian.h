#pragma once

#include <cstdint>
#include <cstring>

// Little-endian fields of wire formats, independent of the host's byte order and of the
// alignment of the bytes.

inline uint16_t LoadLE16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t LoadLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t LoadLE64(const uint8_t* p) {
    return LoadLE32(p) | (static_cast<uint64_t>(LoadLE32(p + 4)) << 32);
}

inline float LoadLEFloat(const uint8_t* p) {
    uint32_t bits = LoadLE32(p);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline double LoadLEDouble(const uint8_t* p) {
    uint64_t bits = LoadLE64(p);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline void StoreLE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void StoreLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void StoreLE64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void StoreLEFloat(uint8_t* p, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    StoreLE32(p, bits);
}

inline void StoreLEDouble(uint8_t* p, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    StoreLE64(p, bits);
}
