#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/FrameClient.h"

// Turns a lossless message (raw or compressed) back into its 8-bit gray image (width ×
// height bytes). False, with the reason in `error`, when the message is not decodable.
bool DecodeLosslessFrame(const FrameMessage& message, std::vector<uint8_t>& gray,
                         std::string& error);
