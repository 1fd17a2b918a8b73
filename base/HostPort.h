#pragma once

#include <cstdint>
#include <string>

// Splits "HOST:PORT" at its last colon. False unless the host is non-empty and the port is
// 1 to 65535 written in decimal digits only.
bool ParseHostPort(const std::string& text, std::string& host, uint16_t& port);
