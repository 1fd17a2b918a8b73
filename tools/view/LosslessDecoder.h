#pragma once

#include <cstdint>
#include <vector>

#include "net/FrameClient.h"

// Turns a compressed lossless message back into its 8-bit gray image (width x height
// bytes). False when it cannot: no decoder is built in yet, or the data is bad.
bool DecodeLosslessFrame(const FrameMessage& message, std::vector<uint8_t>& gray);

// True once a decoder is built in.
bool HaveLosslessDecoder();
