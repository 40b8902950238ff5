#pragma once

// The 16-bit samples the program's quantiser makes of planar float samples, taken in
// frame order (a fresh quantiser): what the plugins must compress. Apart from the
// plugin tests, whose file reads the library's header, which cannot share a scope
// with the engine's namespace.

#include <cstdint>
#include <vector>

std::vector<std::int16_t> quantisedFrames(const std::vector<std::vector<float>>& planes);
