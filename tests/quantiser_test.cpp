#include "engine/quantiser.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

namespace twoband {
namespace {

struct ExactRow {
    const char* what;
    double value;
    std::int16_t expected;
};

// Values every mode gives alike: on the grid, beyond the range, NaN.
TEST(Quantiser, OnTheGridAndOutOfRangeAreExact) {
    const ExactRow rows[] = {
        {"silence", 0.0, 0},
        {"negative zero", -0.0, 0},
        {"a whole step", 1234.0, 1234},
        {"the lowest", -32768.0, -32768},
        {"the highest", 32767.0, 32767},
        {"above full scale", 32767.5, 32767},
        {"far above", 1e9, 32767},
        {"below", -32768.25, -32768},
        {"minus infinity", -std::numeric_limits<double>::infinity(), -32768},
        {"plus infinity", std::numeric_limits<double>::infinity(), 32767},
        {"NaN", std::nan(""), 0},
    };
    for (const Dither dither : {Dither::triangular, Dither::none}) {
        Quantiser quantiser(dither);
        for (const ExactRow& row : rows) {
            EXPECT_EQ(quantiser.quantise(row.value), row.expected) << row.what;
        }
    }
    Quantiser quantiser;
    EXPECT_EQ(quantiser.fromInt24(-300 * 256), -300);
    EXPECT_EQ(quantiser.fromInt32(77 * 65536), 77);
    EXPECT_EQ(quantiser.fromFloat(-5.0f / 32768.0f), -5);
}

TEST(Quantiser, WithoutDitherRoundsTiesToEven) {
    Quantiser quantiser(Dither::none);
    const std::pair<double, std::int16_t> rows[] = {
        {0.5, 0}, {1.5, 2}, {-0.5, 0}, {-1.5, -2}, {2.4999, 2}, {-7.51, -8}, {32766.5, 32766}};
    for (const auto& [value, expected] : rows) EXPECT_EQ(quantiser.quantise(value), expected) << value;
}

// The dither stays within one step either side, averages out, is the same on every
// run, and starts afresh on reset.
TEST(Quantiser, DitherIsBoundedUnbiasedAndRepeatable) {
    std::vector<std::int16_t> first;
    Quantiser quantiser;
    double sum = 0;
    std::set<int> seen;
    for (int i = 0; i < 20000; ++i) {
        const double value = 100.25 + (i % 7) * 0.125;
        const std::int16_t result = quantiser.quantise(value);
        EXPECT_LE(std::fabs(result - value), 1.5) << i;
        sum += result - value;
        seen.insert(result);
        first.push_back(result);
    }
    EXPECT_LT(std::fabs(sum / 20000), 0.02);
    EXPECT_GE(seen.size(), 3u);  // noise, not rounding
    quantiser.reset();
    for (int i = 0; i < 20000; ++i) {
        ASSERT_EQ(quantiser.quantise(100.25 + (i % 7) * 0.125), first[i]) << i;
    }
}

}  // namespace
}  // namespace twoband
