#pragma once

#include <cstdint>
#include <string>

// An 8-bit gray image as a PNG file, quickly compressed (it is encoded per request).
// Empty on failure.
std::string EncodeGrayPng(const uint8_t* pixels, uint32_t width, uint32_t height);
