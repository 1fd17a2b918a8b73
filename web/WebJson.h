#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// Reads `text` as one JSON object whose members are exactly `names`, each once, in any
// order, each a whole number within 32 bits (no fraction, exponent or leading zero);
// `values` receives them in the order of `names`. Nothing else is accepted: no other
// member, no escapes in names, nothing after the object but blanks.
bool ParseIntObject(std::string_view text, std::span<const char* const> names,
                    std::span<int32_t> values);
