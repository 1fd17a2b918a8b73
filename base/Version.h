#pragma once

// The build's version, from the one project() line of the top CMakeLists.txt; the programs,
// the package and the recorder all report this text.
inline constexpr const char kLumerixVersion[] = LUMERIX2_VERSION;
