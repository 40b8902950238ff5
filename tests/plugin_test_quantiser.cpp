#include "plugin_test_quantiser.hpp"

#include "engine/quantiser.hpp"

std::vector<std::int16_t> quantisedFrames(const std::vector<std::vector<float>>& planes) {
    twoband::Quantiser quantiser;
    std::vector<std::int16_t> samples;
    for (std::size_t frame = 0; frame < planes[0].size(); ++frame)
        for (const std::vector<float>& plane : planes) samples.push_back(quantiser.fromFloat(plane[frame]));
    return samples;
}
