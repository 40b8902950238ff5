#include "engine/fast_path.hpp"

#include <bit>
#include <cstring>
#include <limits>

#include "engine/gain_control.hpp"
#include "engine/limiter.hpp"
#include "engine/meters.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TWOBAND_HAS_FAST_PATH 1
#endif

namespace twoband {

// Why a predicted slow attack may replace the exact step.
//
// The exact slow attack of a gain g (binary32) with meter P and reference K is
//   T = fl32(fl32(g·K) / P),  d = fl32(g − T),  E = fl64(g − fl64(fl64(d·r)·M)),
//   g' = fl32(E),
// with r the binary64 0.001 and M the attack multiplier; write c = r·M. The
// prediction is Q = fl64(g·A) with A = fl64(1 − c·(1 − K/P)), and g·A = g − c·(g − gK/P).
// - T is within 2^-23·T of gK/P (two binary32 roundings), and d within 2^-24·d of
//   g − T, so c·d is within c·2^-23·(T + d/2) ≤ c·g·2^-23 of c·(g − gK/P).
// - The binary64 roundings in E and in Q add at most a few units in the last place.
// So |E − Q| ≤ c·g·2^-23 + 8 ulp. Measured in ulps of Q (Q ≥ 0.996·g, at most one
// binade below g), that is at most c·2^30·1.004 + 16 ulps: predictionBound's
// c·2^30·1.1 + 64 covers it.
// fl32 rounds a binary64 by its low 29 fraction bits; the rounding flips only where
// they equal 2^28 (the midpoint). If Q's low 29 bits are more than the bound away from
// 2^28, E lies on the same side of the same midpoint, and fl32(E) = fl32(Q).
// The prediction is used only where the exact step must be a slow attack: T between
// 0.7·g and g with margin (the meter ranges in fast_path.hpp) and T above the 0.2
// floor (g ≥ kPredictedGainLowest), and never on a frame where gains may recover.

namespace {

constexpr std::uint64_t kLow29 = (std::uint64_t{1} << 29) - 1;
constexpr std::uint64_t kMidpoint = std::uint64_t{1} << 28;

}  // namespace

double slowAttackFactor(double c, float reference, std::int32_t peak) {
    return 1.0 - c * (1.0 - static_cast<double>(reference) / static_cast<double>(peak));
}

std::int64_t predictionBound(double c) {
    return static_cast<std::int64_t>(c * 1073741824.0 * 1.1) + 64;
}

std::optional<float> predictSlowAttack(float gain, double factor, std::int64_t bound) {
    const double predicted = static_cast<double>(gain) * factor;
    const auto ubound = static_cast<std::uint64_t>(bound);
    const std::uint64_t fromEdge =
        (std::bit_cast<std::uint64_t>(predicted) - (kMidpoint - ubound)) & kLow29;
    if (fromEdge <= 2 * ubound) {
        return std::nullopt;  // too close to a rounding midpoint to be sure
    }
    return static_cast<float>(predicted);
}

#ifdef TWOBAND_HAS_FAST_PATH

namespace {

constexpr int kLanes = 4;  // high-left, high-right, low-left, low-right

// The per-lane constants of a pass.
struct Lanes {
    float reference[kLanes];
    double slowRate[kLanes];
    double attackRate[kLanes];  // c = slowRate × multiplier
    std::int32_t idleHighest[kLanes];
    std::int32_t slowLowest[kLanes];
    std::int32_t slowHighest[kLanes];
    float maxGain;
};

Lanes makeLanes(const GainRules& rules) {
    Lanes lanes{};
    for (int i = 0; i < kLanes; ++i) {
        const bool high = i < 2;
        const BandRule& rule = high ? rules.high : rules.low;
        lanes.reference[i] = rule.reference;
        lanes.slowRate[i] = rule.slowRate;
        lanes.attackRate[i] = rule.slowRate * rule.attackMultiplier;
        lanes.idleHighest[i] = high ? kHighIdlePeakHighest : kLowIdlePeakHighest;
        lanes.slowLowest[i] = high ? kHighSlowPeakLowest : kLowSlowPeakLowest;
        lanes.slowHighest[i] = high ? kHighSlowPeakHighest : kLowSlowPeakHighest;
    }
    lanes.maxGain = rules.high.maxGain;
    return lanes;
}

// Where each lane's gain step can be predicted, and how: a lane whose gain lies in
// [gainLowest, gainHighest] steps to fl32(g × factor), subject to the rounding test
// (a factor of 1 means no step, and always passes the test).
struct PredictionTable {
    alignas(16) float gainLowest[kLanes];
    alignas(16) float gainHighest[kLanes];
    alignas(32) double factor[kLanes];
    alignas(32) std::int64_t edgeLow[kLanes];    // 2^28 − bound
    alignas(32) std::int64_t edgeWidth[kLanes];  // 2·bound + 1
    int attacking = 0;  // lanes predicted to attack, which therefore cannot recover
};

// The prediction of lane `i` for meter `peak`.
void setLane(PredictionTable& table, const Lanes& lanes, int i, std::int32_t peak) {
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    std::int64_t bound = 0;
    table.factor[i] = 1.0;
    table.attacking &= ~(1 << i);
    if (peak == 0) {
        // Target maxGain: nothing happens to a gain at or below it but recovery.
        table.gainLowest[i] = -kInfinity;
        table.gainHighest[i] = lanes.maxGain;
    } else if (peak <= lanes.idleHighest[i]) {
        table.gainLowest[i] = -kInfinity;
        table.gainHighest[i] = kInfinity;
    } else if (peak >= lanes.slowLowest[i] && peak <= lanes.slowHighest[i]) {
        table.gainLowest[i] = kPredictedGainLowest;
        table.gainHighest[i] = kInfinity;
        table.factor[i] = slowAttackFactor(lanes.attackRate[i], lanes.reference[i], peak);
        table.attacking |= 1 << i;
        bound = predictionBound(lanes.attackRate[i]);
    } else {
        table.gainLowest[i] = kInfinity;  // never predicted
        table.gainHighest[i] = -kInfinity;
    }
    table.edgeLow[i] = static_cast<std::int64_t>(kMidpoint) - bound;
    table.edgeWidth[i] = 2 * bound + 1;
}

// Marks lane `i` as a fixed point: the exact step just left its gain and meter as they
// were on a frame without recovery, so it will again while neither changes.
void markStable(PredictionTable& table, int i, float gain) {
    table.gainLowest[i] = gain;
    table.gainHighest[i] = gain;
    table.factor[i] = 1.0;
    table.attacking &= ~(1 << i);
    table.edgeLow[i] = static_cast<std::int64_t>(kMidpoint);
    table.edgeWidth[i] = 1;
}

// The table in registers, as the frame loop reads it.
struct Predictions {
    __m128 gainLowest;
    __m128 gainHighest;
    __m256d factor;
    __m256i edgeLow;
    __m256i edgeWidth;
};

__attribute__((target("avx2"))) Predictions load(const PredictionTable& table) {
    return {_mm_load_ps(table.gainLowest), _mm_load_ps(table.gainHighest),
            _mm256_load_pd(table.factor),
            _mm256_load_si256(reinterpret_cast<const __m256i*>(table.edgeLow)),
            _mm256_load_si256(reinterpret_cast<const __m256i*>(table.edgeWidth))};
}

// Lowers the meters of the pair starting at lane `first` by one step.
void decayPair(std::int32_t peaks[kLanes], int first, PredictionTable& table, const Lanes& lanes) {
    for (int i = first; i < first + 2; ++i) {
        if (peaks[i] > 0) {
            setLane(table, lanes, i, --peaks[i]);
        }
    }
}

// All-ones in the lanes whose bit is set in `bits`, zero elsewhere.
__attribute__((target("avx2"))) __m128 laneMask(int bits) {
    const __m128i laneBits = _mm_setr_epi32(1, 2, 4, 8);
    return _mm_castsi128_ps(
        _mm_cmpeq_epi32(_mm_and_si128(_mm_set1_epi32(bits), laneBits), laneBits));
}

std::int32_t lane(__m128i vector, int index) {
    alignas(16) std::int32_t values[kLanes];
    _mm_store_si128(reinterpret_cast<__m128i*>(values), vector);
    return values[index];
}

}  // namespace

bool fastPathSupported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

__attribute__((target("avx2"))) void processFramesFast(EngineState& state,
                                                       const GainRules& rules,
                                                       std::span<std::uint8_t> frames) {
    const Lanes lanes = makeLanes(rules);
    const __m128 reference = _mm_loadu_ps(lanes.reference);
    const __m128 maxGain = _mm_set1_ps(lanes.maxGain);
    const __m128 recoveryFactor =
        _mm_setr_ps(rules.high.recoveryFactor, rules.high.recoveryFactor,
                    rules.low.recoveryFactor, rules.low.recoveryFactor);
    const __m256d fastRate =
        _mm256_setr_pd(rules.high.fastRate, rules.high.fastRate, rules.low.fastRate, rules.low.fastRate);
    const __m256d slowRate = _mm256_loadu_pd(lanes.slowRate);
    const __m256d multiplier =
        _mm256_setr_pd(rules.high.attackMultiplier, rules.high.attackMultiplier,
                       rules.low.attackMultiplier, rules.low.attackMultiplier);
    const __m128 targetFloor = _mm_set1_ps(kMinTarget);
    const __m256d fastAttackRatio = _mm256_set1_pd(kFastAttackRatio);
    const __m256i low29 = _mm256_set1_epi64x(static_cast<std::int64_t>(kLow29));
    const __m128i overloadFree = _mm_set1_epi32(32767);

    // The state, in registers for the whole run.
    std::int32_t lowL = state.lowL;
    std::int32_t lowR = state.lowR;
    __m128 gains = _mm_setr_ps(state.gainHL, state.gainHR, state.gainLL, state.gainLR);
    float masterGain = state.masterGain;
    __m128 masterLanes = _mm_setr_ps(masterGain, masterGain, 1.0f, 1.0f);
    alignas(16) std::int32_t peaks[kLanes] = {state.peakHL, state.peakHR, state.peakLL,
                                              state.peakLR};
    __m128i peakLanes = _mm_load_si128(reinterpret_cast<const __m128i*>(peaks));
    std::uint32_t holdHigh = state.holdHigh;
    std::uint32_t holdLow = state.holdLow;
    std::uint32_t frameCount = state.frameCount8;
    PredictionTable table;
    for (int i = 0; i < kLanes; ++i) setLane(table, lanes, i, peaks[i]);
    Predictions predictions = load(table);

    for (std::size_t offset = 0; offset + kFrameBytes <= frames.size(); offset += kFrameBytes) {
        std::uint8_t* frame = frames.data() + offset;
        std::uint32_t word;
        std::memcpy(&word, frame, sizeof word);  // x86-64 is little-endian, like the file

        // Band split. The low band moves toward the input, so it stays in 16 bits.
        const std::int32_t inL = static_cast<std::int16_t>(word & 0xFFFF);
        const std::int32_t inR = static_cast<std::int16_t>(word >> 16);
        lowL += lowPassStep(inL - lowL);
        lowR += lowPassStep(inR - lowR);
        const std::int32_t highL = wrap16(inL - lowL);
        const std::int32_t highR = wrap16(inR - lowR);

        // Band products, truncated, and as stored in 16 bits.
        const __m128 signal = _mm_cvtepi32_ps(_mm_setr_epi32(highL, highR, lowL, lowR));
        const __m128i exact =
            _mm_cvttps_epi32(_mm_mul_ps(signal, _mm_mul_ps(gains, masterLanes)));
        const __m128i bands = _mm_srai_epi32(_mm_slli_epi32(exact, 16), 16);

        // Meters: the 8-bit level, where a high byte of −128 stays −128.
        __m128i levels = _mm_abs_epi32(_mm_srai_epi32(bands, 8));
        levels = _mm_srai_epi32(_mm_slli_epi32(levels, 24), 24);
        const int raised = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(levels, peakLanes)));
        bool metersMoved = raised != 0;
        if (raised != 0) [[unlikely]] {
            for (int i = 0; i < kLanes; ++i) {
                if (raised & (1 << i)) setLane(table, lanes, i, peaks[i] = lane(levels, i));
            }
            if (raised & 0x3) holdHigh = 0;
            if (raised & 0xC) holdLow = 0;
        }
        if (++holdHigh >= kHoldFrames) [[unlikely]] {
            decayPair(peaks, 0, table, lanes);
            holdHigh = 0;
            metersMoved = true;
        }
        if (++holdLow >= kHoldFrames) [[unlikely]] {
            decayPair(peaks, 2, table, lanes);
            holdLow = 0;
            metersMoved = true;
        }
        if (metersMoved) [[unlikely]] {
            peakLanes = _mm_load_si128(reinterpret_cast<const __m128i*>(peaks));
            predictions = load(table);
        }

        // Band gains: the predicted step where it is proven, the exact step otherwise.
        // On a pair's decay frame its gains may recover, unless they are sure to attack.
        const int recovering = (holdHigh == 0 ? 0x3 : 0) | (holdLow == 0 ? 0xC : 0);
        const __m128 predictable = _mm_and_ps(_mm_cmpge_ps(gains, predictions.gainLowest),
                                              _mm_cmple_ps(gains, predictions.gainHighest));
        bool predicted = false;
        if (_mm_movemask_ps(predictable) == 0xF && (recovering & ~table.attacking) == 0) [[likely]] {
            const __m256d next = _mm256_mul_pd(_mm256_cvtps_pd(gains), predictions.factor);
            const __m256i fromEdge =
                _mm256_and_si256(_mm256_sub_epi64(_mm256_castpd_si256(next), predictions.edgeLow), low29);
            const __m256i unsure = _mm256_cmpgt_epi64(predictions.edgeWidth, fromEdge);
            if (_mm256_testz_si256(unsure, unsure)) [[likely]] {
                gains = _mm256_cvtpd_ps(next);
                predicted = true;
            }
        }
        if (!predicted) {
            const __m128 peaksFloat = _mm_cvtepi32_ps(peakLanes);
            __m128 target = _mm_max_ps(_mm_div_ps(_mm_mul_ps(gains, reference), peaksFloat), targetFloor);
            const __m128 silentMeter = _mm_castsi128_ps(_mm_cmpeq_epi32(peakLanes, _mm_setzero_si128()));
            target = _mm_blendv_ps(target, maxGain, silentMeter);
            const __m128 attack = _mm_cmpgt_ps(gains, target);
            const __m256d wide = _mm256_cvtps_pd(gains);
            const __m256d excess = _mm256_cvtps_pd(_mm_sub_ps(gains, target));
            const __m256d fast =
                _mm256_cmp_pd(_mm256_mul_pd(wide, fastAttackRatio), _mm256_cvtps_pd(target), _CMP_GT_OQ);
            const __m256d rate = _mm256_blendv_pd(slowRate, fastRate, fast);
            const __m128 attacked =
                _mm256_cvtpd_ps(_mm256_sub_pd(wide, _mm256_mul_pd(_mm256_mul_pd(excess, rate), multiplier)));
            const __m128 recover = _mm_andnot_ps(
                attack, _mm_and_ps(laneMask(recovering), _mm_cmplt_ps(gains, maxGain)));
            __m128 next = _mm_blendv_ps(gains, _mm_mul_ps(gains, recoveryFactor), recover);
            next = _mm_blendv_ps(next, attacked, attack);

            const int fastLanes = _mm256_movemask_pd(fast) & _mm_movemask_ps(attack);
            // A fast attack sets the band's own meter.
            for (int i = 0; i < kLanes; ++i) {
                if (fastLanes & (1 << i)) setLane(table, lanes, i, peaks[i] = kMeterAfterFastAttack);
            }
            if (recovering == 0) {
                const int stable = _mm_movemask_ps(_mm_cmpeq_ps(next, gains)) & ~fastLanes;
                alignas(16) float values[kLanes];
                _mm_store_ps(values, next);
                for (int i = 0; i < kLanes; ++i) {
                    if (stable & (1 << i)) markStable(table, i, values[i]);
                }
            }
            peakLanes = _mm_load_si128(reinterpret_cast<const __m128i*>(peaks));
            predictions = load(table);
            gains = next;
        }

        // Master gain recovery on every eighth frame of the pass.
        if ((++frameCount & (kMasterRecoveryFrames - 1)) == 0 && masterGain < 1.0f) [[unlikely]] {
            masterGain = static_cast<float>(static_cast<double>(masterGain) * kMasterRecoveryFactor);
            masterLanes = _mm_setr_ps(masterGain, masterGain, 1.0f, 1.0f);
        }

        // Limiter: with |high| + |low| ≤ 32767 in both channels (as stored in 16 bits) no
        // overload is possible, and the output is the true sum, saturated by the pack.
        const __m128i magnitudes = _mm_abs_epi32(bands);
        const __m128i pairSums =
            _mm_add_epi32(magnitudes, _mm_shuffle_epi32(magnitudes, _MM_SHUFFLE(1, 0, 3, 2)));
        if ((_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(pairSums, overloadFree))) & 0x3) == 0)
            [[likely]] {
            const __m128i sums = _mm_add_epi32(exact, _mm_shuffle_epi32(exact, _MM_SHUFFLE(1, 0, 3, 2)));
            word = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packs_epi32(sums, sums)));
        } else {
            const std::int16_t outL = limitChannel(masterGain, lane(exact, 0), lane(exact, 2));
            const std::int16_t outR = limitChannel(masterGain, lane(exact, 1), lane(exact, 3));
            masterLanes = _mm_setr_ps(masterGain, masterGain, 1.0f, 1.0f);
            word = static_cast<std::uint16_t>(outL) |
                   static_cast<std::uint32_t>(static_cast<std::uint16_t>(outR)) << 16;
        }
        std::memcpy(frame, &word, sizeof word);
    }

    state.lowL = wrap16(lowL);
    state.lowR = wrap16(lowR);
    alignas(16) float gainValues[kLanes];
    _mm_store_ps(gainValues, gains);
    state.gainHL = gainValues[0];
    state.gainHR = gainValues[1];
    state.gainLL = gainValues[2];
    state.gainLR = gainValues[3];
    state.masterGain = masterGain;
    state.peakHL = static_cast<std::int8_t>(peaks[0]);
    state.peakHR = static_cast<std::int8_t>(peaks[1]);
    state.peakLL = static_cast<std::int8_t>(peaks[2]);
    state.peakLR = static_cast<std::int8_t>(peaks[3]);
    state.holdHigh = static_cast<std::uint8_t>(holdHigh);
    state.holdLow = static_cast<std::uint8_t>(holdLow);
    state.frameCount8 = static_cast<std::uint8_t>(frameCount);
}

#else

bool fastPathSupported() { return false; }

void processFramesFast(EngineState& state, const GainRules& rules, std::span<std::uint8_t> frames) {
    processFrames(state, rules, frames);
}

#endif

FrameKernel bestFrameKernel() { return fastPathSupported() ? processFramesFast : processFrames; }

}  // namespace twoband
