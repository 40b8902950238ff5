#include "engine/fast_path.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
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

#if defined(__x86_64__) && defined(__GNUC__)

namespace {

constexpr int kPairs = 2;  // high, low: lanes 2·pair and 2·pair + 1 of the four bands
constexpr std::uint32_t kNever = std::numeric_limits<std::uint32_t>::max();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// Bands of at most this size cannot overload: their sixteenths add up to 2046 at most.
constexpr std::int32_t kQuietBand = 16383;
static_assert(2 * (kQuietBand / 16) <= kOverloadAbove && -2 * (kQuietBand / 16) >= kOverloadBelow);
// A meter reading P holds every band whose level is at most P: bands from −256·P to
// 256·P + 255.
constexpr int kLevelShift = 8;
constexpr std::int32_t kNoLevel = -128;  // the level of a high byte of −128

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

// Every per-lane constant of a pass (lanes high-left, high-right, low-left, low-right),
// built here and only here from the GainRules.
struct LaneRules {
    __m128 reference;
    __m256d referenceWide;
    __m256d fastRate;
    __m256d slowRate;
    __m256d multiplier;
    __m256d attackRate;       // c = slowRate × multiplier
    __m256d floorPerPeak;     // gainFloorPerPeak
    __m256i slowEdgeLow;      // 2^28 − predictionBound(c)
    __m256i slowEdgeWidth;    // 2·predictionBound(c) + 1
    __m128i idleHighest;
    __m128i slowLowest;
    __m128i slowHighest;
    __m128 maxGain;
    __m128 recoveryFactor;
};

[[gnu::target("avx2")]] LaneRules makeLaneRules(const GainRules& rules) {
    const BandRule& high = rules.high;
    const BandRule& low = rules.low;
    const double highRate = high.slowRate * high.attackMultiplier;
    const double lowRate = low.slowRate * low.attackMultiplier;
    const std::int64_t highBound = predictionBound(highRate);
    const std::int64_t lowBound = predictionBound(lowRate);
    const auto midpoint = static_cast<std::int64_t>(kMidpoint);
    const double highFloor = gainFloorPerPeak(high.reference);
    const double lowFloor = gainFloorPerPeak(low.reference);
    return {
        _mm_setr_ps(high.reference, high.reference, low.reference, low.reference),
        _mm256_setr_pd(high.reference, high.reference, low.reference, low.reference),
        _mm256_setr_pd(high.fastRate, high.fastRate, low.fastRate, low.fastRate),
        _mm256_setr_pd(high.slowRate, high.slowRate, low.slowRate, low.slowRate),
        _mm256_setr_pd(high.attackMultiplier, high.attackMultiplier, low.attackMultiplier,
                       low.attackMultiplier),
        _mm256_setr_pd(highRate, highRate, lowRate, lowRate),
        _mm256_setr_pd(highFloor, highFloor, lowFloor, lowFloor),
        _mm256_setr_epi64x(midpoint - highBound, midpoint - highBound, midpoint - lowBound,
                           midpoint - lowBound),
        _mm256_setr_epi64x(2 * highBound + 1, 2 * highBound + 1, 2 * lowBound + 1, 2 * lowBound + 1),
        _mm_setr_epi32(kHighPeaks.idleHighest, kHighPeaks.idleHighest, kLowPeaks.idleHighest,
                       kLowPeaks.idleHighest),
        _mm_setr_epi32(kHighPeaks.slowLowest, kHighPeaks.slowLowest, kLowPeaks.slowLowest,
                       kLowPeaks.slowLowest),
        _mm_setr_epi32(kHighPeaks.slowHighest, kHighPeaks.slowHighest, kLowPeaks.slowHighest,
                       kLowPeaks.slowHighest),
        _mm_set1_ps(high.maxGain),
        _mm_setr_ps(high.recoveryFactor, high.recoveryFactor, low.recoveryFactor, low.recoveryFactor),
    };
}

// The lanes of the pairs in `pairs` (bit 0 the high pair, bit 1 the low).
constexpr int pairLanes(int pairs) { return (pairs & 1) * 0x3 | (pairs & 2) * 0x6; }

[[gnu::target("avx2"), gnu::always_inline]] inline __m128i laneMask(int lanes) {
    const __m128i bits = _mm_setr_epi32(1, 2, 4, 8);
    return _mm_cmpeq_epi32(_mm_and_si128(_mm_set1_epi32(lanes), bits), bits);
}

// The gains as two pairs, each in the low two lanes of its own register, so that each
// pair's step is a short chain of 128-bit operations.
struct Gains {
    __m128 high;
    __m128 low;

    [[gnu::target("avx2"), gnu::always_inline]] __m128 all() const { return _mm_movelh_ps(high, low); }
    [[gnu::target("avx2"), gnu::always_inline]] static Gains of(__m128 all) {
        return {all, _mm_movehl_ps(all, all)};
    }
};

// The predicted gain step of a frame: the new gains, and the lanes it cannot vouch for.
struct GainStep {
    Gains gains;
    int unsure;
};

// The engine state as the kernel keeps it. The frame loop holds the three chains it
// carries from frame to frame (low-pass, high gains, low gains) in registers and only
// reads the rest; a rare frame changes the rest here. Hold expiries and master-gain
// steps are scheduled by frame number within one call (frame 0 is the call's first).
// Each lane's meter also sets the bands that leave it as it is, and how its gain step
// is predicted: a gain in [gainLowest, gainHighest] steps to fl32(g × factor),
// provided the rounding test passes (a factor of 1 is no step, and always passes).
struct FastState {
    __m128i low;  // lowL, lowR, 0, 0
    Gains gains;
    __m128 laneMaster;  // masterGain, masterGain, 1, 1
    float masterGain;
    __m128i peaks;
    __m128i bandLowest;
    __m128i bandHighest;
    __m128 gainLowest;
    __m128 gainHighest;
    __m128d factor[kPairs];     // per pair, two lanes each
    __m128i edgeLow[kPairs];    // 2^28 − bound
    __m128i edgeWidth[kPairs];  // 2·bound + 1
    int stable;                 // lanes held as fixed points
    std::uint32_t frame;
    std::uint32_t firstCount;       // frameCount8 before frame 0
    std::uint32_t decayAt[kPairs];  // when each pair's hold runs out
    std::uint32_t masterStepAt;     // the next eighth frame while the master gain is below 1
    std::uint32_t nextEvent;
    std::uint32_t word;             // the output of the last rare frame

    [[gnu::target("avx2")]] void load(const EngineState& state, const LaneRules& lanes);
    [[gnu::target("avx2")]] void store(EngineState& state) const;

    // A frame off the common path; returns its new gains.
    [[gnu::target("avx2")]] Gains rareFrame(__m128i products, int outside, Gains current,
                                           GainStep step, const LaneRules& lanes);

private:
    [[gnu::target("avx2")]] __m128i meters(__m128i levels, __m128i rises, const LaneRules& lanes);
    [[gnu::target("avx2")]] __m128 stepGains(__m128 current, __m128i decaying, const LaneRules& lanes);
    [[gnu::target("avx2")]] __m128 stepGainsExactly(__m128 current, __m128i decaying,
                                                   const LaneRules& lanes);
    [[gnu::target("avx2")]] std::uint32_t limiter(__m128i products, int outside);
    [[gnu::target("avx2")]] void readMeters(__m128i changed, const LaneRules& lanes);
    [[gnu::target("avx2")]] void holdStill(int still, __m128 fixedGains);
    [[gnu::target("avx2")]] void setPairs(__m256i lanes, __m256d newFactor, __m256i newEdgeLow,
                                          __m256i newEdgeWidth);
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
    std::int32_t word;
    std::memcpy(&word, frame, sizeof word);  // x86-64 is little-endian, like the file
    return _mm_cvtepi16_epi32(_mm_cvtsi32_si128(word));
}

// Split: the integer low-pass of both channels, and the high bands, wrapped to 16 bits.
// The low band moves toward the input, so it stays in 16 bits.
[[gnu::target("avx2"), gnu::always_inline]] inline __m128i split(__m128i& low, __m128i in) {
    constexpr std::int32_t kScale = 27263;
    constexpr std::int32_t kRoundTowardZero = (1 << 21) - 1;
    static_assert(lowPassStep(-65535) == (-65535 * kScale + kRoundTowardZero) >> 21);
    const __m128i difference = _mm_sub_epi32(in, low);
    const __m128i rounding = _mm_and_si128(_mm_srai_epi32(difference, 31), _mm_set1_epi32(kRoundTowardZero));
    const __m128i scaled = _mm_add_epi32(_mm_mullo_epi32(difference, _mm_set1_epi32(kScale)), rounding);
    low = _mm_add_epi32(low, _mm_srai_epi32(scaled, 21));
    const __m128i high = _mm_srai_epi32(_mm_slli_epi32(_mm_sub_epi32(in, low), 16), 16);
    return _mm_unpacklo_epi64(high, low);  // highL, highR, lowL, lowR
}

// Band products with the gains the previous frame left, truncated.
[[gnu::target("avx2"), gnu::always_inline]] inline __m128i bandProducts(__m128i signal, __m128 gains,
                                                                        const FastState& fast) {
    return _mm_cvttps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(signal), _mm_mul_ps(gains, fast.laneMaster)));
}

// Meters and limiter in one test: the lanes whose band could raise its meter, or
// overload its channel (or wrap).
[[gnu::target("avx2"), gnu::always_inline]] inline int bandsOutside(__m128i products, const FastState& fast) {
    const __m128i outside = _mm_or_si128(_mm_cmpgt_epi32(products, fast.bandHighest),
                                         _mm_cmpgt_epi32(fast.bandLowest, products));
    return _mm_movemask_ps(_mm_castsi128_ps(outside));
}

// Gains: every lane's predicted step, and the lanes where it is not proven.
[[gnu::target("avx2"), gnu::always_inline]] inline GainStep predictGains(const Gains& gains,
                                                                         const FastState& fast) {
    const __m128i low29 = _mm_set1_epi64x(static_cast<std::int64_t>(kLow29));
    const __m128d high = _mm_mul_pd(_mm_cvtps_pd(gains.high), fast.factor[0]);
    const __m128d low = _mm_mul_pd(_mm_cvtps_pd(gains.low), fast.factor[1]);
    const __m128i highEdge = _mm_and_si128(_mm_sub_epi64(_mm_castpd_si128(high), fast.edgeLow[0]), low29);
    const __m128i lowEdge = _mm_and_si128(_mm_sub_epi64(_mm_castpd_si128(low), fast.edgeLow[1]), low29);
    const int nearMidpoint =
        _mm_movemask_pd(_mm_castsi128_pd(_mm_cmpgt_epi64(fast.edgeWidth[0], highEdge))) |
        _mm_movemask_pd(_mm_castsi128_pd(_mm_cmpgt_epi64(fast.edgeWidth[1], lowEdge))) << 2;
    const __m128 current = gains.all();
    const int outside = _mm_movemask_ps(
        _mm_or_ps(_mm_cmplt_ps(current, fast.gainLowest), _mm_cmpgt_ps(current, fast.gainHighest)));
    return {{_mm_cvtpd_ps(high), _mm_cvtpd_ps(low)}, nearMidpoint | outside};
}

// Limiter, where no band can overload: the true sums of each channel's bands,
// saturated by the pack.
[[gnu::target("avx2"), gnu::always_inline]] inline std::uint32_t limit(__m128i products) {
    const __m128i sums = _mm_add_epi32(products, _mm_shuffle_epi32(products, _MM_SHUFFLE(1, 0, 3, 2)));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packs_epi32(sums, sums)));
}

inline void encode(std::uint8_t* frame, std::uint32_t word) { std::memcpy(frame, &word, sizeof word); }

void FastState::load(const EngineState& state, const LaneRules& lanes) {
    low = _mm_setr_epi32(state.lowL, state.lowR, 0, 0);
    gains = Gains::of(_mm_setr_ps(state.gainHL, state.gainHR, state.gainLL, state.gainLR));
    masterGain = state.masterGain;
    laneMaster = _mm_setr_ps(masterGain, masterGain, 1.0f, 1.0f);
    peaks = _mm_setr_epi32(state.peakHL, state.peakHR, state.peakLL, state.peakLR);
    bandLowest = bandHighest = _mm_setzero_si128();
    gainLowest = gainHighest = _mm_setzero_ps();
    factor[0] = factor[1] = _mm_setzero_pd();
    edgeLow[0] = edgeLow[1] = edgeWidth[0] = edgeWidth[1] = _mm_setzero_si128();
    stable = 0;
    readMeters(_mm_set1_epi32(-1), lanes);
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
    _mm_store_ps(gain, gains.all());
    state.lowL = wrap16(_mm_cvtsi128_si32(low));
    state.lowR = wrap16(_mm_extract_epi32(low, 1));
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
Gains FastState::rareFrame(__m128i products, int outside, Gains current, GainStep step,
                           const LaneRules& lanes) {
    const __m128i levels = bandLevels(products);
    const __m128i rises = _mm_and_si128(_mm_cmpgt_epi32(levels, peaks),
                                        _mm_cmpgt_epi32(_mm_set1_epi32(-kNoLevel), levels));
    __m128 next;
    if (_mm_testz_si128(rises, rises) && frame != decayAt[0] && frame != decayAt[1]) {
        // No meter moves: the predicted step stands where it is proven.
        next = step.unsure == 0 ? step.gains.all()
                                : stepGainsExactly(current.all(), _mm_setzero_si128(), lanes);
    } else {
        next = stepGains(current.all(), meters(levels, rises, lanes), lanes);
    }
    word = limiter(products, outside);
    laneMaster = _mm_setr_ps(masterGain, masterGain, 1.0f, 1.0f);
    schedule();
    return Gains::of(next);
}

// Meters: rises to the bands' levels, which restart their pair's hold, and the decay
// of a pair whose hold runs out. Reads the lanes whose meter moved again; returns the
// decaying lanes.
__m128i FastState::meters(__m128i levels, __m128i rises, const LaneRules& lanes) {
    const __m128i pairRises = _mm_or_si128(rises, _mm_shuffle_epi32(rises, _MM_SHUFFLE(2, 3, 0, 1)));
    const int due = (decayAt[0] == frame ? 1 : 0) | (decayAt[1] == frame ? 2 : 0);
    const __m128i decaying = _mm_andnot_si128(pairRises, laneMask(pairLanes(due)));
    const __m128i raised = _mm_blendv_epi8(peaks, levels, rises);
    const __m128i lowered = _mm_and_si128(decaying, _mm_cmpgt_epi32(raised, _mm_setzero_si128()));
    peaks = _mm_add_epi32(raised, lowered);  // lowered lanes are −1
    readMeters(_mm_or_si128(rises, lowered), lanes);

    // The schedule: a rise restarts the hold, a decay starts the next one.
    const int rose = _mm_movemask_ps(_mm_castsi128_ps(pairRises));
    for (int pair = 0; pair < kPairs; ++pair) {
        const bool restart = (rose >> (2 * pair) & 1) != 0;
        decayAt[pair] = restart                     ? frame + kHoldFrames - 1
                        : (due >> pair & 1) != 0 ? frame + kHoldFrames
                                                 : decayAt[pair];
    }
    return decaying;
}

// Gains on a frame whose meters may have moved: the predicted step where it is proven.
// On a decaying pair's frame a band in its idle range recovers by one binary32 multiply
// where its exact target shows no attack and it is below maxGain; otherwise it keeps
// its gain (an attack there moves nothing). Anything else takes the exact step.
__m128 FastState::stepGains(__m128 current, __m128i decaying, const LaneRules& lanes) {
    const GainStep step = predictGains(Gains::of(current), *this);  // with the meters as they are now
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
    const int unproven = (step.unsure & ~_mm_movemask_ps(recovering)) |
                         _mm_movemask_ps(_mm_castsi128_ps(_mm_andnot_si128(
                             _mm_or_si128(_mm_castps_si128(recovering), slow), decaying)));
    if (unproven != 0) [[unlikely]] {
        return stepGainsExactly(current, decaying, lanes);
    }
    const __m128 next = _mm_blendv_ps(step.gains.all(), recovered, recovering);
    const int moved = _mm_movemask_ps(_mm_cmpneq_ps(next, current)) & stable;
    if (moved != 0) readMeters(laneMask(moved), lanes);  // fixed points no longer
    return next;
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
    if (changed != 0) readMeters(laneMask(changed), lanes);
    if ((still & ~stable) != 0) holdStill(still & ~stable, next);
    return next;
}

// Limiter: the master gain's scheduled step, then the saturated sums; a loud band's
// frame goes through the literal limiter, which may set the master gain.
std::uint32_t FastState::limiter(__m128i products, int outside) {
    if (frame == masterStepAt) {
        masterGain = recoveredMasterGain(masterGain);
        masterStepAt = masterGain < 1.0f ? frame + kMasterRecoveryFrames : kNever;
    }
    const __m128i loud = _mm_cmpgt_epi32(_mm_abs_epi32(products), _mm_set1_epi32(kQuietBand));
    if (outside == 0 || _mm_testz_si128(loud, loud)) {
        return limit(products);
    }
    alignas(16) std::int32_t exact[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(exact), products);
    float master = masterGain;
    const std::int16_t left = limitChannel(master, exact[0], exact[2]);
    const std::int16_t right = limitChannel(master, exact[1], exact[3]);
    masterGain = master;
    if (masterGain < 1.0f && masterStepAt == kNever) masterStepAt = nextEighthAfter(frame);
    return static_cast<std::uint16_t>(left) |
           static_cast<std::uint32_t>(static_cast<std::uint16_t>(right)) << 16;
}

// Reads the lanes in `changed` (all ones per lane) again from their meters.
void FastState::readMeters(__m128i changed, const LaneRules& lanes) {
    const __m128i p = peaks;
    const __m128i one = _mm_set1_epi32(1);
    bandLowest = _mm_blendv_epi8(
        bandLowest,
        _mm_max_epi32(_mm_set1_epi32(-kQuietBand), _mm_sub_epi32(_mm_setzero_si128(), _mm_slli_epi32(p, kLevelShift))),
        changed);
    bandHighest = _mm_blendv_epi8(
        bandHighest,
        _mm_min_epi32(_mm_set1_epi32(kQuietBand),
                      _mm_add_epi32(_mm_slli_epi32(p, kLevelShift), _mm_set1_epi32((1 << kLevelShift) - 1))),
        changed);

    const __m128i zero = _mm_cmpeq_epi32(p, _mm_setzero_si128());
    const __m128i idle = _mm_andnot_si128(zero, _mm_cmpgt_epi32(_mm_add_epi32(lanes.idleHighest, one), p));
    const __m128i slow = _mm_andnot_si128(_mm_cmpgt_epi32(lanes.slowLowest, p),
                                          _mm_cmpgt_epi32(_mm_add_epi32(lanes.slowHighest, one), p));
    const __m128 other = _mm_castsi128_ps(_mm_xor_si128(_mm_or_si128(_mm_or_si128(zero, idle), slow), _mm_set1_epi32(-1)));
    const __m256i slowWide = _mm256_cvtepi32_epi64(slow);

    // Slow lanes: the attack factor, and the gain floor rounded up to binary32.
    const __m256d peak = _mm256_cvtepi32_pd(p);
    const __m256d one64 = _mm256_set1_pd(1.0);
    const __m256d slowFactor = _mm256_sub_pd(
        one64, _mm256_mul_pd(lanes.attackRate, _mm256_sub_pd(one64, _mm256_div_pd(lanes.referenceWide, peak))));
    const __m256d floorWide = _mm256_mul_pd(peak, lanes.floorPerPeak);
    __m128 floor = _mm256_cvtpd_ps(floorWide);
    const __m256d roundedDown = _mm256_cmp_pd(_mm256_cvtps_pd(floor), floorWide, _CMP_LT_OQ);
    const __m128i bump = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(
        _mm256_castpd_si256(roundedDown), _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
    floor = _mm_castsi128_ps(_mm_sub_epi32(_mm_castps_si128(floor), bump));  // bump is −1

    const __m128 infinity = _mm_set1_ps(kInfinity);
    const __m128 minusInfinity = _mm_set1_ps(-kInfinity);
    const __m128 lowest = _mm_blendv_ps(_mm_blendv_ps(minusInfinity, infinity, other), floor, _mm_castsi128_ps(slow));
    const __m128 highest = _mm_blendv_ps(_mm_blendv_ps(infinity, minusInfinity, other), lanes.maxGain, _mm_castsi128_ps(zero));
    const __m128 changedMask = _mm_castsi128_ps(changed);
    gainLowest = _mm_blendv_ps(gainLowest, lowest, changedMask);
    gainHighest = _mm_blendv_ps(gainHighest, highest, changedMask);
    const __m256d newFactor = _mm256_blendv_pd(one64, slowFactor, _mm256_castsi256_pd(slowWide));
    const __m256i midpoint = _mm256_set1_epi64x(static_cast<std::int64_t>(kMidpoint));
    const __m256i newEdgeLow = _mm256_blendv_epi8(midpoint, lanes.slowEdgeLow, slowWide);
    const __m256i newEdgeWidth = _mm256_blendv_epi8(_mm256_set1_epi64x(1), lanes.slowEdgeWidth, slowWide);
    setPairs(_mm256_cvtepi32_epi64(changed), newFactor, newEdgeLow, newEdgeWidth);
    stable &= ~_mm_movemask_ps(changedMask);
}

// Sets the prediction of the lanes in `mask` (all ones per lane, 64 bits each).
void FastState::setPairs(__m256i mask, __m256d newFactor, __m256i newEdgeLow, __m256i newEdgeWidth) {
    const __m128i masks[kPairs] = {_mm256_castsi256_si128(mask), _mm256_extracti128_si256(mask, 1)};
    const __m128d factors[kPairs] = {_mm256_castpd256_pd128(newFactor), _mm256_extractf128_pd(newFactor, 1)};
    const __m128i lows[kPairs] = {_mm256_castsi256_si128(newEdgeLow), _mm256_extracti128_si256(newEdgeLow, 1)};
    const __m128i widths[kPairs] = {_mm256_castsi256_si128(newEdgeWidth),
                                    _mm256_extracti128_si256(newEdgeWidth, 1)};
    for (int pair = 0; pair < kPairs; ++pair) {
        factor[pair] = _mm_blendv_pd(factor[pair], factors[pair], _mm_castsi128_pd(masks[pair]));
        edgeLow[pair] = _mm_blendv_epi8(edgeLow[pair], lows[pair], masks[pair]);
        edgeWidth[pair] = _mm_blendv_epi8(edgeWidth[pair], widths[pair], masks[pair]);
    }
}

// The step just left these lanes' gains and meters as they were on a frame without
// recovery, so it will again while neither changes: fixed points.
void FastState::holdStill(int still, __m128 fixedGains) {
    const __m128i mask = laneMask(still);
    gainLowest = _mm_blendv_ps(gainLowest, fixedGains, _mm_castsi128_ps(mask));
    gainHighest = _mm_blendv_ps(gainHighest, fixedGains, _mm_castsi128_ps(mask));
    setPairs(_mm256_cvtepi32_epi64(mask), _mm256_set1_pd(1.0),
             _mm256_set1_epi64x(static_cast<std::int64_t>(kMidpoint)), _mm256_set1_epi64x(1));
    stable |= still;
}

}  // namespace

bool fastPathSupported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

[[gnu::target("avx2")]] void processFramesFast(EngineState& state, const GainRules& rules,
                                               std::span<std::uint8_t> frames) {
    const LaneRules lanes = makeLaneRules(rules);
    FastState fast;
    fast.load(state, lanes);
    // The chains carried from frame to frame, in registers.
    __m128i low = fast.low;
    Gains gains = fast.gains;
    std::uint32_t frame = 0;
    for (std::size_t offset = 0; offset + kFrameBytes <= frames.size(); offset += kFrameBytes, ++frame) {
        std::uint8_t* bytes = frames.data() + offset;
        const __m128i signal = split(low, decode(bytes));
        const __m128i products = bandProducts(signal, gains.all(), fast);
        const int outside = bandsOutside(products, fast);
        const GainStep step = predictGains(gains, fast);
        if ((outside | step.unsure) != 0 || frame == fast.nextEvent) [[unlikely]] {
            fast.frame = frame;
            gains = fast.rareFrame(products, outside, gains, step, lanes);
            encode(bytes, fast.word);
        } else {
            gains = step.gains;
            encode(bytes, limit(products));
        }
    }
    fast.frame = frame;
    fast.low = low;
    fast.gains = gains;
    fast.store(state);
}

#else

bool fastPathSupported() { return false; }

void processFramesFast(EngineState& state, const GainRules& rules, std::span<std::uint8_t> frames) {
    processFrames(state, rules, frames);
}

#endif

FrameKernel bestFrameKernel() { return fastPathSupported() ? processFramesFast : processFrames; }

}  // namespace twoband
