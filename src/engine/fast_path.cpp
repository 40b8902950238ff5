#include "engine/fast_path.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "engine/limiter.hpp"
#include "engine/meters.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
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
// The prediction is used only where the exact step must be a slow attack: P in the
// slow range (fast_path.hpp), T above the 0.2 floor (g at or above
// slowAttackGainFloor), and never on a frame where gains may recover.

namespace {

constexpr std::uint64_t kLow29 = (std::uint64_t{1} << 29) - 1;
constexpr std::uint64_t kMidpoint = std::uint64_t{1} << 28;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Bands of at most this size cannot overload: their sixteenths add up to 2046 at most.
constexpr std::int32_t kQuietBand = 16383;
static_assert(2 * (kQuietBand / 16) <= kOverloadAbove && -2 * (kQuietBand / 16) >= kOverloadBelow);
// A meter reading P holds every band whose level is at most P: bands from −256·P to
// 256·P + 255.
constexpr int kLevelShift = 8;

// The meter ranges of each kind of band, derived at compile time.
struct PeakRanges {
    std::int32_t idleHighest;
    std::int32_t slowLowest;
    std::int32_t slowHighest;
};
constexpr PeakRanges peakRanges(const BandCharacter& band) {
    return {highestIdlePeak(band), lowestSlowPeak(band), highestSlowPeak(band)};
}
constexpr PeakRanges kHighPeaks = peakRanges(kHighBand);
constexpr PeakRanges kLowPeaks = peakRanges(kLowBand);

MeterReading readMeter(const BandRule& band, const PeakRanges& ranges, std::int32_t peak) {
    const std::int32_t level = peak << kLevelShift;
    const double to = std::max(-kQuietBand, -level) - 1;
    const double from = std::min(kQuietBand, level + (1 << kLevelShift) - 1) + 1;
    const auto midpoint = static_cast<std::int64_t>(kMidpoint);
    if (peak == 0) {
        return {1.0, midpoint, 1, -kInfinity, band.maxGain, to, from};  // target maxGain
    }
    if (peak <= ranges.idleHighest) {
        return {1.0, midpoint, 1, -kInfinity, kInfinity, to, from};
    }
    if (peak >= ranges.slowLowest && peak <= ranges.slowHighest) {
        const double rate = band.slowRate * band.attackMultiplier;
        const std::int64_t bound = predictionBound(rate);
        return {slowAttackFactor(rate, band.reference, peak), midpoint + bound, 2 * bound + 1,
                slowAttackGainFloor(band.reference, peak), kInfinity, to, from};
    }
    return {1.0, midpoint, 1, kInfinity, -kInfinity, to, from};  // no gain is predicted
}

}  // namespace

double gainFloorPerPeak(float reference) {
    return static_cast<double>(kMinTarget) * (1.0 + kTargetMargin) / static_cast<double>(reference);
}

float slowAttackGainFloor(float reference, std::int32_t peak) {
    const double lowest = static_cast<double>(peak) * gainFloorPerPeak(reference);
    const auto floor = static_cast<float>(lowest);
    // Rounded down: the next binary32 up (a positive one's bits plus one).
    return static_cast<double>(floor) < lowest
               ? std::bit_cast<float>(std::bit_cast<std::uint32_t>(floor) + 1)
               : floor;
}

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

void prepareKernelRules(KernelRules& rules, const Settings& settings) {
    rules.gains = makeGainRules(settings);
    for (std::int32_t peak = 0; peak < kMeterReadings; ++peak) {
        rules.readings[0][peak] = readMeter(rules.gains.high, kHighPeaks, peak);
        rules.readings[1][peak] = readMeter(rules.gains.low, kLowPeaks, peak);
    }
}

KernelRules makeKernelRules(const Settings& settings) {
    KernelRules rules;
    prepareKernelRules(rules, settings);
    return rules;
}

#if defined(__x86_64__) && defined(__GNUC__)

namespace {

constexpr std::uint32_t kNever = std::numeric_limits<std::uint32_t>::max();

constexpr std::int32_t kNoLevel = -128;  // the level of a high byte of −128



// Every per-lane constant of a call (lanes high-left, high-right, low-left, low-right),
// built here and only here from the prepared rules, and their table of meter readings.
struct LaneRules {
    __m128 reference;
    __m256d fastRate;
    __m256d slowRate;
    __m256d multiplier;
    __m128i idleHighest;
    __m128i slowLowest;
    __m128i slowHighest;
    __m128 maxGain;
    __m128 recoveryFactor;
    // Constants of the common frame, read from memory: built from immediates, they
    // would take vector instructions of their own in every frame.
    __m128i lowPassScale;
    __m128i roundTowardZero;
    __m256i low29;
    const MeterReading* readings;  // the prepared table, by pair (high, low) and meter
};

// The low-pass step as lowPassStep forms it.
constexpr std::int32_t kLowPassScale = 27263;
constexpr std::int32_t kLowPassRoundTowardZero = (1 << 21) - 1;
static_assert(lowPassStep(-65535) == (-65535 * kLowPassScale + kLowPassRoundTowardZero) >> 21);

[[gnu::target("avx2"), gnu::noinline]] LaneRules makeLaneRules(const KernelRules& rules) {
    const BandRule& high = rules.gains.high;
    const BandRule& low = rules.gains.low;
    LaneRules lanes{
        _mm_setr_ps(high.reference, high.reference, low.reference, low.reference),
        _mm256_setr_pd(high.fastRate, high.fastRate, low.fastRate, low.fastRate),
        _mm256_setr_pd(high.slowRate, high.slowRate, low.slowRate, low.slowRate),
        _mm256_setr_pd(high.attackMultiplier, high.attackMultiplier, low.attackMultiplier,
                       low.attackMultiplier),
        _mm_setr_epi32(kHighPeaks.idleHighest, kHighPeaks.idleHighest, kLowPeaks.idleHighest,
                       kLowPeaks.idleHighest),
        _mm_setr_epi32(kHighPeaks.slowLowest, kHighPeaks.slowLowest, kLowPeaks.slowLowest,
                       kLowPeaks.slowLowest),
        _mm_setr_epi32(kHighPeaks.slowHighest, kHighPeaks.slowHighest, kLowPeaks.slowHighest,
                       kLowPeaks.slowHighest),
        _mm_set1_ps(high.maxGain),
        _mm_setr_ps(high.recoveryFactor, high.recoveryFactor, low.recoveryFactor, low.recoveryFactor),
        _mm_set1_epi32(kLowPassScale),
        _mm_set1_epi32(kLowPassRoundTowardZero),
        _mm256_set1_epi64x(static_cast<std::int64_t>(kLow29)),
        &rules.readings[0][0],
    };
    return lanes;
}

// The lanes of the pairs in `pairs` (bit 0 the high pair, bit 1 the low).
constexpr int pairLanes(int pairs) { return (pairs & 1) * 0x3 | (pairs & 2) * 0x6; }

[[gnu::target("avx2"), gnu::always_inline]] inline __m128i laneMask(int lanes) {
    const __m128i bits = _mm_setr_epi32(1, 2, 4, 8);
    return _mm_cmpeq_epi32(_mm_and_si128(_mm_set1_epi32(lanes), bits), bits);
}

// The predicted gain step of a frame: the new gains, and the lanes it cannot vouch for.
struct GainStep {
    __m256d gains;   // binary32 values, held as binary64
    __m128 nearest;  // the same gains, rounded by the conversion rather than the bits
    __m256d unsure;  // all ones in a lane it cannot vouch for

    [[gnu::target("avx2")]] int unsureLanes() const { return _mm256_movemask_pd(unsure); }
};

// The engine state as the kernel keeps it. The frame loop holds the two chains it
// carries from frame to frame (low-pass, gains) in registers and only reads the rest;
// a rare frame changes the rest here. Hold expiries and master-gain steps are
// scheduled by frame number within one call (frame 0 is the call's first).
// Each lane's meter also sets the bands that leave it as it is, and how its gain step
// is predicted (its MeterReading).
struct FastState {
    __m128i low;        // lowL, ·, lowR, ·
    __m256d gains;      // binary32 values, held as binary64
    __m128 laneMaster;  // masterGain, masterGain, 1, 1
    float masterGain;
    __m128i peaks;
    __m128 outsideTo;    // one below the lowest band that leaves the meter as it is
    __m128 outsideFrom;  // one above the highest
    __m256d gainLowest;
    __m256d gainHighest;
    __m256d factor;
    __m256i edgeOffset;             // 2^28 + bound
    __m256i edgeWidth;              // 2·bound + 1
    int stable;                     // lanes held as fixed points
    std::uint32_t frame;
    std::uint32_t firstCount;       // frameCount8 before frame 0
    std::uint32_t decayAt[kBandPairs];  // when each pair's hold runs out
    std::uint32_t masterStepAt;     // the next eighth frame while the master gain is below 1
    std::uint32_t nextEvent;
    __m128i word;                   // the output of the last rare frame

    [[gnu::target("avx2")]] void load(const EngineState& state, const LaneRules& lanes);
    [[gnu::target("avx2")]] void store(EngineState& state) const;

    // A frame off the common path; returns its new gains.
    [[gnu::target("avx2")]] __m128 rareFrame(__m128i products, __m128 current,
                                            GainStep step, const LaneRules& lanes);

private:
    [[gnu::target("avx2")]] void rise(__m128i levels, __m128i rises, int rose, const LaneRules& lanes);
    [[gnu::target("avx2")]] __m128i decay(int decaying, const LaneRules& lanes);
    [[gnu::target("avx2")]] __m128 stepGains(__m128 current, __m128i decaying, const LaneRules& lanes);
    [[gnu::target("avx2")]] __m128 stepWithoutRecovery(__m128 current, const GainStep& step,
                                                      const LaneRules& lanes);
    [[gnu::target("avx2")]] __m128 stepGainsExactly(__m128 current, __m128i decaying,
                                                   const LaneRules& lanes);
    [[gnu::target("avx2")]] __m128i limiter(__m128i products);
    [[gnu::target("avx2")]] void readMeters(int changed, const LaneRules& lanes);
    [[gnu::target("avx2")]] void holdStill(int still, __m128 fixedGains);
    void schedule() { nextEvent = std::min({decayAt[0], decayAt[1], masterStepAt}); }
    // The first eighth frame of the pass after `frameNumber`; kNever stands for the
    // frame before frame 0.
    std::uint32_t nextEighthAfter(std::uint32_t frameNumber) const {
        const std::uint32_t next = frameNumber + 1;
        const std::uint32_t countAfterNext = (firstCount + next + 1) % kMasterRecoveryFrames;
        return next + (kMasterRecoveryFrames - countAfterNext) % kMasterRecoveryFrames;
    }
    std::uint32_t holdBefore(int pair) const { return kHoldFrames - 1 - (decayAt[pair] - frame); }
};

// The stages of a common frame, on the registers the loop keeps and the state it reads.

[[gnu::target("avx2"), gnu::always_inline]] inline __m128i decode(const std::uint8_t* frame) {
    // x86-64 is little-endian, like the file.
    return _mm_cvtepi16_epi64(_mm_loadu_si32(frame));  // inL, ·, inR, ·
}

// Split: the integer low-pass of both channels, and the high bands, wrapped to 16 bits.
// The low band moves toward the input, so it stays in 16 bits.
[[gnu::target("avx2"), gnu::always_inline]] inline __m128i split(__m128i& low, __m128i in,
                                                                 const LaneRules& lanes) {
    // Channels in lanes 0 and 2, so that one signed 32×32→64 multiply (shorter than a
    // 32-bit multiply) forms both products; they fit in the low 32 bits.
    const __m128i difference = _mm_sub_epi32(in, low);
    const __m128i rounding = _mm_and_si128(_mm_srai_epi32(difference, 31), lanes.roundTowardZero);
    const __m128i scaled = _mm_add_epi32(_mm_mul_epi32(difference, lanes.lowPassScale), rounding);
    low = _mm_add_epi32(low, _mm_srai_epi32(scaled, 21));
    const __m128i high = _mm_srai_epi32(_mm_slli_epi32(_mm_sub_epi32(in, low), 16), 16);
    return _mm_castps_si128(
        _mm_shuffle_ps(_mm_castsi128_ps(high), _mm_castsi128_ps(low), _MM_SHUFFLE(2, 0, 2, 0)));
}

// Band products with the gains the previous frame left, before truncation.
[[gnu::target("avx2"), gnu::always_inline]] inline __m128 bandProducts(__m128i signal, __m128 gains,
                                                                       const FastState& fast) {
    return _mm_mul_ps(_mm_cvtepi32_ps(signal), _mm_mul_ps(gains, fast.laneMaster));
}

// Meters and limiter in one test: the lanes whose band could raise its meter, or
// overload its channel (or wrap). Tested before truncation, which the branch on it
// need not wait for: a product truncates above a whole H exactly when it is at least
// H + 1, and below a whole L ≤ 0 exactly when it is at most L − 1.
[[gnu::target("avx2"), gnu::always_inline]] inline int bandsOutside(__m128 products, const FastState& fast) {
    return _mm_movemask_ps(_mm_or_ps(_mm_cmpge_ps(products, fast.outsideFrom),
                                     _mm_cmple_ps(products, fast.outsideTo)));
}

// Gains: every lane's predicted step, and the lanes where it is not proven. A proven
// step is no rounding tie, so rounding half up by the bits is the binary32 rounding.
[[gnu::target("avx2"), gnu::always_inline]] inline GainStep predictGains(__m256d gains, const FastState& fast,
                                                                         const LaneRules& lanes) {
    // Adding 2^28 + bound rounds up exactly the steps whose low 29 bits reach
    // 2^28 − bound; past the midpoint by at most the bound, they are left unproven.
    const __m256i predicted = _mm256_castpd_si256(_mm256_mul_pd(gains, fast.factor));
    const __m256i shifted = _mm256_add_epi64(predicted, fast.edgeOffset);
    const __m256i fromEdge = _mm256_and_si256(shifted, lanes.low29);
    const __m256d nearMidpoint = _mm256_castsi256_pd(_mm256_cmpgt_epi64(fast.edgeWidth, fromEdge));
    const __m256d outside = _mm256_or_pd(_mm256_cmp_pd(gains, fast.gainLowest, _CMP_LT_OQ),
                                         _mm256_cmp_pd(gains, fast.gainHighest, _CMP_GT_OQ));
    const __m256i rounded = _mm256_andnot_si256(lanes.low29, shifted);
    return {_mm256_castsi256_pd(rounded), _mm256_cvtpd_ps(_mm256_castsi256_pd(predicted)),
            _mm256_or_pd(nearMidpoint, outside)};
}

// Limiter, where no band can overload: the true sums of each channel's bands,
// saturated by the pack.
// The frame's two samples are the low 32 bits of the result.
[[gnu::target("avx2"), gnu::always_inline]] inline __m128i limit(__m128i products) {
    const __m128i sums = _mm_add_epi32(products, _mm_shuffle_epi32(products, _MM_SHUFFLE(1, 0, 3, 2)));
    return _mm_packs_epi32(sums, sums);
}

[[gnu::target("avx2"), gnu::always_inline]] inline void encode(std::uint8_t* frame, __m128i samples) {
    _mm_storeu_si32(frame, samples);
}

void FastState::load(const EngineState& state, const LaneRules& lanes) {
    low = _mm_setr_epi32(state.lowL, 0, state.lowR, 0);
    gains = _mm256_setr_pd(state.gainHL, state.gainHR, state.gainLL, state.gainLR);
    masterGain = state.masterGain;
    laneMaster = _mm_setr_ps(masterGain, masterGain, 1.0f, 1.0f);
    peaks = _mm_setr_epi32(state.peakHL, state.peakHR, state.peakLL, state.peakLR);
    outsideTo = outsideFrom = _mm_setzero_ps();
    gainLowest = gainHighest = _mm256_setzero_pd();
    factor = _mm256_setzero_pd();
    edgeOffset = edgeWidth = _mm256_setzero_si256();
    stable = 0;
    readMeters(0xf, lanes);
    frame = 0;
    firstCount = state.frameCount8;
    decayAt[0] = kHoldFrames - 1 - state.holdHigh;
    decayAt[1] = kHoldFrames - 1 - state.holdLow;
    masterStepAt = masterGain < 1.0f ? nextEighthAfter(kNever) : kNever;
    schedule();
}

void FastState::store(EngineState& state) const {
    alignas(16) std::int32_t meter[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(meter), peaks);
    alignas(16) float gain[4];
    _mm_store_ps(gain, _mm256_cvtpd_ps(gains));
    state.lowL = wrap16(_mm_cvtsi128_si32(low));
    state.lowR = wrap16(_mm_extract_epi32(low, 2));
    state.gainHL = gain[0];
    state.gainHR = gain[1];
    state.gainLL = gain[2];
    state.gainLR = gain[3];
    state.masterGain = masterGain;
    state.peakHL = static_cast<std::int8_t>(meter[0]);
    state.peakHR = static_cast<std::int8_t>(meter[1]);
    state.peakLL = static_cast<std::int8_t>(meter[2]);
    state.peakLR = static_cast<std::int8_t>(meter[3]);
    state.holdHigh = static_cast<std::uint8_t>(holdBefore(0));
    state.holdLow = static_cast<std::uint8_t>(holdBefore(1));
    state.frameCount8 = static_cast<std::uint8_t>(firstCount + frame);
}

// The 8-bit level of each band: the magnitude of its high byte as stored in 16 bits.
// A high byte of −128 gives 128 here, the 8-bit −128 that raises no meter.
[[gnu::target("avx2"), gnu::always_inline]] inline __m128i bandLevels(__m128i products) {
    return _mm_abs_epi32(_mm_srai_epi32(_mm_slli_epi32(products, 16), 16 + kLevelShift));
}

// A frame with a band outside its window, an unproven gain step, or a scheduled hold
// expiry or master-gain step: meters, gains and limiter as processFrame forms them.
__m128 FastState::rareFrame(__m128i products, __m128 current, GainStep step,
                            const LaneRules& lanes) {
    const __m128i levels = bandLevels(products);
    const __m128i rises = _mm_and_si128(_mm_cmpgt_epi32(levels, peaks),
                                        _mm_cmpgt_epi32(_mm_set1_epi32(-kNoLevel), levels));
    __m128 next;
    const int rose = _mm_movemask_ps(_mm_castsi128_ps(rises));
    if (rose != 0) rise(levels, rises, rose, lanes);
    // A pair that rose has restarted its hold, so it does not decay.
    const int decaying = pairLanes((decayAt[0] == frame ? 1 : 0) | (decayAt[1] == frame ? 2 : 0));
    if (decaying != 0) {
        next = stepGains(current, decay(decaying, lanes), lanes);
    } else if (rose != 0) {
        next = stepWithoutRecovery(current, predictGains(_mm256_cvtps_pd(current), *this, lanes), lanes);
    } else {
        next = stepWithoutRecovery(current, step, lanes);  // no meter moves
    }
    word = limiter(products);
    laneMaster = _mm_setr_ps(masterGain, masterGain, 1.0f, 1.0f);
    schedule();
    return next;
}

// Meters, in two steps kept apart so that the most common rare frame, a rise alone,
// does only its own work.
// A rise sets the meters of the lanes in `rose` to their bands' levels and restarts
// their pairs' holds.
void FastState::rise(__m128i levels, __m128i rises, int rose, const LaneRules& lanes) {
    peaks = _mm_blendv_epi8(peaks, levels, rises);
    readMeters(rose, lanes);
    static_assert(kHoldFrames > 1);  // a restarted hold never runs out on this frame
    const std::uint32_t restart = frame + kHoldFrames - 1;
    decayAt[0] = (rose & 0x3) != 0 ? restart : decayAt[0];
    decayAt[1] = (rose & 0xc) != 0 ? restart : decayAt[1];
}

// A pair whose hold runs out lowers its meters above 0 by one and starts its next
// hold. Returns the decaying lanes.
__m128i FastState::decay(int decaying, const LaneRules& lanes) {
    const __m128i mask = laneMask(decaying);
    const __m128i lowered = _mm_and_si128(mask, _mm_cmpgt_epi32(peaks, _mm_setzero_si128()));
    peaks = _mm_add_epi32(peaks, lowered);  // lowered lanes are −1
    const int changed = _mm_movemask_ps(_mm_castsi128_ps(lowered));
    if (changed != 0) readMeters(changed, lanes);
    const std::uint32_t next = frame + kHoldFrames;
    decayAt[0] = (decaying & 0x3) != 0 ? next : decayAt[0];
    decayAt[1] = (decaying & 0xc) != 0 ? next : decayAt[1];
    return mask;
}

// Gains on a frame whose meters may have moved: the predicted step where it is proven.
// On a decaying pair's frame a band in its idle range recovers by one binary32 multiply
// where its exact target shows no attack and it is below maxGain; otherwise it keeps
// its gain (an attack there moves nothing). Anything else takes the exact step.
__m128 FastState::stepGains(__m128 current, __m128i decaying, const LaneRules& lanes) {
    const GainStep step = predictGains(_mm256_cvtps_pd(current), *this, lanes);  // with the meters as they are now
    if (_mm_testz_si128(decaying, decaying)) {
        return stepWithoutRecovery(current, step, lanes);  // a fixed point keeps its meter and gain
    }
    const __m128 silent = _mm_castsi128_ps(_mm_cmpeq_epi32(peaks, _mm_setzero_si128()));
    const __m128 aboveMax = _mm_cmpgt_ps(current, lanes.maxGain);
    const __m128 target = _mm_blendv_ps(
        _mm_max_ps(_mm_div_ps(_mm_mul_ps(current, lanes.reference), _mm_cvtepi32_ps(peaks)),
                   _mm_set1_ps(kMinTarget)),
        lanes.maxGain, silent);
    const __m128i notIdle = _mm_or_si128(_mm_cmpgt_epi32(peaks, lanes.idleHighest),
                                         _mm_castps_si128(_mm_and_ps(silent, aboveMax)));
    const __m128 recovering = _mm_castsi128_ps(_mm_andnot_si128(notIdle, decaying));
    const __m128 recover = _mm_andnot_ps(aboveMax, _mm_and_ps(_mm_cmple_ps(current, target),
                                                               _mm_cmpneq_ps(current, lanes.maxGain)));
    const __m128 recovered = _mm_blendv_ps(current, _mm_mul_ps(current, lanes.recoveryFactor), recover);
    const __m128i slow = _mm_andnot_si128(_mm_cmpgt_epi32(lanes.slowLowest, peaks),
                                          _mm_cmpgt_epi32(_mm_add_epi32(lanes.slowHighest, _mm_set1_epi32(1)), peaks));
    // A band above maxGain with its meter at 0 attacks toward maxGain, decay or not:
    // its step is the predicted one (a fixed point held still) or unproven.
    const __m128i held = _mm_castps_si128(_mm_and_ps(silent, aboveMax));
    const int unproven = (step.unsureLanes() & ~_mm_movemask_ps(recovering)) |
                         _mm_movemask_ps(_mm_castsi128_ps(_mm_andnot_si128(
                             _mm_or_si128(_mm_or_si128(_mm_castps_si128(recovering), slow), held), decaying)));
    if (unproven != 0) [[unlikely]] {
        return stepGainsExactly(current, decaying, lanes);
    }
    const __m128 next = _mm_blendv_ps(_mm256_cvtpd_ps(step.gains), recovered, recovering);
    const int moved = _mm_movemask_ps(_mm_cmpneq_ps(next, current)) & stable;
    if (moved != 0) readMeters(moved, lanes);  // fixed points no longer
    return next;
}

// Gains on a frame on which no band recovers: the predicted step where it is proven,
// else the literal step.
__m128 FastState::stepWithoutRecovery(__m128 current, const GainStep& step, const LaneRules& lanes) {
    return step.unsureLanes() == 0 ? _mm256_cvtpd_ps(step.gains)
                                   : stepGainsExactly(current, _mm_setzero_si128(), lanes);
}

// The literal gain step of every band, four lanes wide, operation for operation. A
// fast attack sets its band's meter; a band the step left as it was (on a frame
// without recovery) is held as a fixed point.
__m128 FastState::stepGainsExactly(__m128 current, __m128i decaying, const LaneRules& lanes) {
    const __m128 silent = _mm_castsi128_ps(_mm_cmpeq_epi32(peaks, _mm_setzero_si128()));
    // Target: the gain that would put the metered peak at the reference level.
    __m128 target = _mm_div_ps(_mm_mul_ps(current, lanes.reference), _mm_cvtepi32_ps(peaks));
    target = _mm_blendv_ps(_mm_max_ps(target, _mm_set1_ps(kMinTarget)), lanes.maxGain, silent);
    // Attack: a fraction of the excess, fast or slow.
    const __m128 attack = _mm_cmpgt_ps(current, target);
    const __m256d wide = _mm256_cvtps_pd(current);
    const __m256d excess = _mm256_cvtps_pd(_mm_sub_ps(current, target));
    const __m256d fast = _mm256_cmp_pd(_mm256_mul_pd(wide, _mm256_set1_pd(kFastAttackRatio)),
                                       _mm256_cvtps_pd(target), _CMP_GT_OQ);
    const __m256d rate = _mm256_blendv_pd(lanes.slowRate, lanes.fastRate, fast);
    const __m128 attacked =
        _mm256_cvtpd_ps(_mm256_sub_pd(wide, _mm256_mul_pd(_mm256_mul_pd(excess, rate), lanes.multiplier)));
    // Recovery, only on a decaying pair's frame.
    const __m128 decayLanes = _mm_castsi128_ps(decaying);
    const __m128 recover = _mm_andnot_ps(attack, _mm_and_ps(decayLanes, _mm_cmplt_ps(current, lanes.maxGain)));
    __m128 next = _mm_blendv_ps(current, _mm_mul_ps(current, lanes.recoveryFactor), recover);
    next = _mm_blendv_ps(next, attacked, attack);

    const int fastLanes = _mm256_movemask_pd(fast) & _mm_movemask_ps(attack);
    const int still = _mm_movemask_ps(_mm_cmpeq_ps(next, current)) & ~_mm_movemask_ps(decayLanes) & ~fastLanes;
    const int moved = _mm_movemask_ps(_mm_cmpneq_ps(next, current));
    if (fastLanes != 0) {
        peaks = _mm_blendv_epi8(peaks, _mm_set1_epi32(kMeterAfterFastAttack), laneMask(fastLanes));
    }
    // Lanes to read again: a new meter, or a fixed point that moved.
    const int changed = fastLanes | (stable & moved);
    if (changed != 0) readMeters(changed, lanes);
    // A lane that stood still is held there, unless its meter reading already
    // predicts that it stays (no step, and its gain within the reading's bounds).
    const __m256d wideNext = _mm256_cvtps_pd(next);
    const __m256d unvouched = _mm256_or_pd(
        _mm256_or_pd(_mm256_cmp_pd(wideNext, gainLowest, _CMP_LT_OQ), _mm256_cmp_pd(wideNext, gainHighest, _CMP_GT_OQ)),
        _mm256_cmp_pd(factor, _mm256_set1_pd(1.0), _CMP_NEQ_OQ));
    const int hold = still & ~stable & _mm256_movemask_pd(unvouched);
    if (hold != 0) holdStill(hold, next);
    return next;
}

// Limiter: the master gain's scheduled step, then the saturated sums; a loud band's
// frame goes through the literal limiter, which may set the master gain.
__m128i FastState::limiter(__m128i products) {
    if (frame == masterStepAt) {
        masterGain = recoveredMasterGain(masterGain);
        masterStepAt = masterGain < 1.0f ? frame + kMasterRecoveryFrames : kNever;
    }
    const __m128i loud = _mm_cmpgt_epi32(_mm_abs_epi32(products), _mm_set1_epi32(kQuietBand));
    if (_mm_testz_si128(loud, loud)) {
        return limit(products);
    }
    alignas(16) std::int32_t exact[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(exact), products);
    float master = masterGain;
    const std::int16_t left = limitChannel(master, exact[0], exact[2]);
    const std::int16_t right = limitChannel(master, exact[1], exact[3]);
    masterGain = master;
    if (masterGain < 1.0f && masterStepAt == kNever) masterStepAt = nextEighthAfter(frame);
    return _mm_setr_epi16(left, right, 0, 0, 0, 0, 0, 0);
}

// One field of the four lanes' meter readings, a broadcast and a blend per lane:
// cheaper than inserting the values one by one.
using LaneReadings = std::array<const MeterReading*, 4>;

[[gnu::target("avx2"), gnu::always_inline]] inline __m256d laneDoubles(const LaneReadings& reading,
                                                                       double MeterReading::*field) {
    __m256d v = _mm256_broadcast_sd(&(reading[0]->*field));
    v = _mm256_blend_pd(v, _mm256_broadcast_sd(&(reading[1]->*field)), 0b0010);
    v = _mm256_blend_pd(v, _mm256_broadcast_sd(&(reading[2]->*field)), 0b0100);
    return _mm256_blend_pd(v, _mm256_broadcast_sd(&(reading[3]->*field)), 0b1000);
}

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i laneIntegers(const LaneReadings& reading,
                                                                        std::int64_t MeterReading::*field) {
    __m256i v = _mm256_set1_epi64x(reading[0]->*field);
    v = _mm256_blend_epi32(v, _mm256_set1_epi64x(reading[1]->*field), 0b00001100);
    v = _mm256_blend_epi32(v, _mm256_set1_epi64x(reading[2]->*field), 0b00110000);
    return _mm256_blend_epi32(v, _mm256_set1_epi64x(reading[3]->*field), 0b11000000);
}

// Reads the lanes in `changed` again from their meters.
void FastState::readMeters(int changed, const LaneRules& lanes) {
    alignas(16) std::uint32_t entry[4];  // pair · kMeterReadings + meter
    _mm_store_si128(reinterpret_cast<__m128i*>(entry),
                    _mm_add_epi32(peaks, _mm_setr_epi32(0, 0, kMeterReadings, kMeterReadings)));
    const MeterReading* const table = lanes.readings;
    const LaneReadings reading{&table[entry[0]], &table[entry[1]], &table[entry[2]], &table[entry[3]]};
    const __m128i changedMask = laneMask(changed);
    const __m256i mask = _mm256_cvtepi32_epi64(changedMask);
    const __m256d maskPd = _mm256_castsi256_pd(mask);
    const __m128 maskPs = _mm_castsi128_ps(changedMask);
    factor = _mm256_blendv_pd(factor, laneDoubles(reading, &MeterReading::factor), maskPd);
    edgeOffset = _mm256_blendv_epi8(edgeOffset, laneIntegers(reading, &MeterReading::edgeOffset), mask);
    edgeWidth = _mm256_blendv_epi8(edgeWidth, laneIntegers(reading, &MeterReading::edgeWidth), mask);
    gainLowest = _mm256_blendv_pd(gainLowest, laneDoubles(reading, &MeterReading::gainLowest), maskPd);
    gainHighest = _mm256_blendv_pd(gainHighest, laneDoubles(reading, &MeterReading::gainHighest), maskPd);
    // Whole numbers, exact in binary32.
    outsideTo = _mm_blendv_ps(outsideTo, _mm256_cvtpd_ps(laneDoubles(reading, &MeterReading::outsideTo)), maskPs);
    outsideFrom =
        _mm_blendv_ps(outsideFrom, _mm256_cvtpd_ps(laneDoubles(reading, &MeterReading::outsideFrom)), maskPs);
    stable &= ~changed;
}

// The step just left these lanes' gains and meters as they were on a frame without
// recovery, so it will again while neither changes: fixed points.
void FastState::holdStill(int still, __m128 fixedGains) {
    const __m256i mask = _mm256_cvtepi32_epi64(laneMask(still));
    const __m256d fixed = _mm256_cvtps_pd(fixedGains);
    gainLowest = _mm256_blendv_pd(gainLowest, fixed, _mm256_castsi256_pd(mask));
    gainHighest = _mm256_blendv_pd(gainHighest, fixed, _mm256_castsi256_pd(mask));
    factor = _mm256_blendv_pd(factor, _mm256_set1_pd(1.0), _mm256_castsi256_pd(mask));
    edgeOffset = _mm256_blendv_epi8(edgeOffset, _mm256_set1_epi64x(static_cast<std::int64_t>(kMidpoint)), mask);
    edgeWidth = _mm256_blendv_epi8(edgeWidth, _mm256_set1_epi64x(1), mask);
    stable |= still;
}

}  // namespace

bool fastPathSupported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

[[gnu::target("avx2")]] void processFramesFast(EngineState& state, const KernelRules& rules,
                                               std::span<std::uint8_t> frames) {
    if (std::min({state.peakHL, state.peakHR, state.peakLL, state.peakLR}) < 0) {
        processFrames(state, rules, frames);  // no frame leaves a meter below 0
        return;
    }
    const LaneRules lanes = makeLaneRules(rules);
    FastState fast;
    fast.load(state, lanes);
    // The chains carried from frame to frame, in registers.
    __m128i low = fast.low;
    __m256d gains = fast.gains;
    __m128 current = _mm256_cvtpd_ps(gains);  // the same gains in binary32
    std::size_t nextEvent = fast.nextEvent;
    const std::size_t count = frames.size() / kFrameBytes;
    std::size_t frame = 0;
    for (; frame < count; ++frame) {
        std::uint8_t* bytes = frames.data() + frame * kFrameBytes;
        const __m128i signal = split(low, decode(bytes), lanes);
        const __m128 unTruncated = bandProducts(signal, current, fast);
        const __m128i products = _mm_cvttps_epi32(unTruncated);
        const GainStep step = predictGains(gains, fast, lanes);
        // The branch is mispredicted on every rare frame; each cycle sooner that its
        // test is known is a cycle less lost.
        const int rare = step.unsureLanes() | bandsOutside(unTruncated, fast);
        if (rare != 0 || frame == nextEvent) [[unlikely]] {
            fast.frame = static_cast<std::uint32_t>(frame);
            current = fast.rareFrame(products, current, step, lanes);
            gains = _mm256_cvtps_pd(current);
            encode(bytes, fast.word);
            nextEvent = fast.nextEvent;
        } else {
            gains = step.gains;
            current = step.nearest;
            encode(bytes, limit(products));
        }
    }
    fast.frame = static_cast<std::uint32_t>(frame);
    fast.low = low;
    fast.gains = gains;
    fast.store(state);
}

#else

bool fastPathSupported() { return false; }

void processFramesFast(EngineState& state, const KernelRules& rules, std::span<std::uint8_t> frames) {
    processFrames(state, rules, frames);
}

#endif

FrameKernel bestFrameKernel() {
#ifdef TWOBAND_LITERAL_KERNEL
    return processFrames;  // a build for comparing the kernels end to end
#else
    return fastPathSupported() ? processFramesFast : processFrames;
#endif
}

}  // namespace twoband
