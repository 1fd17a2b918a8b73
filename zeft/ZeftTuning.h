#pragma once

#include <atomic>
#include <cstdint>

// Internal to the layer: the settings of Zeft.h's setters, read by the network thread at
// each use so a change applies at once.

constexpr int16_t kZeftDefaultBurstLimit = 500;
constexpr int16_t kZeftMaxCycleDelayMs = 1000;
constexpr int32_t kZeftMinWorkArea = 1024;
constexpr int32_t kZeftDefaultWorkArea = 1024 * 1024;
constexpr int32_t kZeftMaxWorkArea = 64 * 1024 * 1024;

inline std::atomic<int16_t> g_zeftBurstLimit{kZeftDefaultBurstLimit};
inline std::atomic<int16_t> g_zeftCycleDelayMs{0};
inline std::atomic<int32_t> g_zeftWorkAreaSize{kZeftDefaultWorkArea};
