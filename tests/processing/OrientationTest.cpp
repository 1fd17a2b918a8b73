#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "processing/Orientation.h"
#include "tests/processing/KernelChoice.h"

namespace {

const char* const kTransforms[] = {"ROT90CW",    "ROT180CW",    "ROT270CW",
                                   "MIRRORVERT", "MIRRORHORIZ", "ROT90CWMIRRHORIZ"};

template <typename T>
std::vector<T> Oriented(const std::vector<T>& src, const char* name, int w, int h, int bits) {
    std::vector<T> dst(src.size(), T(0xEE));
    EXPECT_TRUE(Orient(dst.data(), src.data(), name, w, h, bits)) << name;
    return dst;
}

// Values with every byte set show that whole elements move.
template <typename T>
void CheckSmallTable(int bits) {
    const struct {
        const char* name;
        int from[6];
    } cases[] = {
        {"ROT90CW", {3, 0, 4, 1, 5, 2}},          {"ROT270CW", {2, 5, 1, 4, 0, 3}},
        {"ROT90CWMIRRHORIZ", {5, 2, 4, 1, 3, 0}}, {"ROT180CW", {5, 4, 3, 2, 1, 0}},
        {"MIRRORVERT", {2, 1, 0, 5, 4, 3}},       {"MIRRORHORIZ", {3, 4, 5, 0, 1, 2}},
    };
    const T high = static_cast<T>(~T(0) - 0xFF);
    std::vector<T> src;
    for (int i = 0; i < 6; ++i)
        src.push_back(static_cast<T>(i | high));
    for (const auto& c : cases) {
        std::vector<T> expected;
        for (int i : c.from)
            expected.push_back(src[i]);
        EXPECT_EQ(Oriented(src, c.name, 3, 2, bits), expected) << c.name << " at " << bits;
    }
}

// The vector kernels against the baseline, around the tile edges: whole tiles, one short,
// one over, thin strips, 1 × 1.
template <typename T>
void CheckKernelsAgree(int bits) {
    std::mt19937 rng(11);
    const int sizes[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 64, 65, 100};
    for (int w : sizes) {
        for (int h : sizes) {
            std::vector<T> src(w * h);
            for (T& v : src)
                v = static_cast<T>(rng());
            for (const char* name : kTransforms)
                ExpectKernelsAgree([&] { return Oriented(src, name, w, h, bits); },
                                   std::string(name) + " " + std::to_string(w) + "x" +
                                       std::to_string(h) + " " + std::to_string(bits));
        }
    }
}

}  // namespace

TEST(Orientation, ThreeByTwoTableForEveryElementSize) {
    CheckSmallTable<uint8_t>(8);
    CheckSmallTable<uint8_t>(1);
    CheckSmallTable<uint16_t>(12);
    CheckSmallTable<uint16_t>(16);
    CheckSmallTable<uint32_t>(17);
    CheckSmallTable<uint32_t>(32);
}

TEST(Orientation, KernelsAgreeAtEverySize) {
    CheckKernelsAgree<uint8_t>(8);
    CheckKernelsAgree<uint16_t>(16);
    CheckKernelsAgree<uint32_t>(32);
}

TEST(Orientation, WritesNothingWhenItHasNothingToDo) {
    const std::vector<uint8_t> src = {0, 1, 2, 3, 4, 5};
    const struct {
        const char* name;
        int w, h;
    } cases[] = {
        {"NORM", 3, 2},    {"rot90cw", 3, 2},  {"ROT90CW ", 3, 2},   {"", 3, 2},
        {"ROT90CW", 0, 2}, {"ROT90CW", 3, -1}, {"ROT180CW", -3, -2},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> dst(6, 0xEE);
        EXPECT_FALSE(Orient(dst.data(), src.data(), c.name, c.w, c.h, 8)) << c.name;
        EXPECT_EQ(dst, std::vector<uint8_t>(6, 0xEE)) << c.name;
    }
    EXPECT_FALSE(Orient(nullptr, src.data(), "ROT90CW", 3, 2, 8));
}

TEST(Orientation, NameTable) {
    const char* names[] = {"NORM",       "ROT90CW",     "ROT180CW",        "ROT270CW",
                           "MIRRORVERT", "MIRRORHORIZ", "ROT90CWMIRRHORIZ"};
    for (int i = 0; i < 7; ++i) {
        EXPECT_STREQ(OrientationNameFromIndex(i), names[i]);
        EXPECT_EQ(OrientationIndexFromName(names[i]), i);
        EXPECT_EQ(OrientationSwapsWidthHeight(names[i]), i == 1 || i == 3 || i == 6);
    }
    for (int i : {-1, 7, 1000})
        EXPECT_STREQ(OrientationNameFromIndex(i), "NORM") << i;
    for (const char* name : {"rot90cw", "", "ROT90CWX"})
        EXPECT_EQ(OrientationIndexFromName(name), 0) << name;
}
