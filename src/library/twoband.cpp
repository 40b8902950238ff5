// libtwoband: the C API over the engine's ChannelEngine. Arguments are checked here;
// everything else is the engine's.

#include <stddef.h>  // before the public header, which is read inside a namespace below
#include <stdint.h>

#include <new>
#include <vector>

#include "engine/channel_engine.hpp"
#include "engine/fast_path.hpp"
#include "engine/quantiser.hpp"
#include "library/float_samples.hpp"
#include "settings.hpp"

// The engine's namespace and the C API's handle type share the name twoband, which
// C++ does not allow in one scope: the header is read inside a namespace of its own.
// Its functions keep their C names and linkage there.
namespace twoband_library {
#include "twoband/twoband.h"
}

namespace engine = ::twoband;

namespace twoband_library {

struct twoband {
    engine::ChannelEngine channels;
    // One per channel with TWOBAND_DITHER_TRIANGULAR; none for rounding.
    std::vector<engine::Quantiser> quantisers = {};
};

namespace {

// Stereo frames converted or gathered at a time: a few pages, in the cache.
constexpr std::size_t kGatherFrames = 4096;
constexpr unsigned kMostChannels = 65535;

static_assert(sizeof(int) == sizeof(std::int32_t), "feedback_speed is the engine's 32-bit integer");

// The command line's checks, in its order.
int settingsError(const twoband_settings& settings) {
    if (!engine::inRange(settings.max_gain, engine::kMaxGainLowest, engine::kMaxGainHighest)) {
        return TWOBAND_ERROR_MAX_GAIN;
    }
    if (!engine::inRange(settings.recover_speed, engine::kRecoverSpeedLowest, engine::kRecoverSpeedHighest)) {
        return TWOBAND_ERROR_RECOVER_SPEED;
    }
    if (settings.feedback_speed < engine::kFeedbackSpeedLowest ||
        settings.feedback_speed > engine::kFeedbackSpeedHighest) {
        return TWOBAND_ERROR_FEEDBACK_SPEED;
    }
    return TWOBAND_OK;
}

engine::Settings engineSettings(const twoband_settings& settings) {
    return {settings.max_gain, settings.recover_speed, settings.feedback_speed};
}

twoband* failed(int* error, int code) {
    if (error != nullptr) *error = code;
    return nullptr;
}

}  // namespace

twoband* twoband_new(const twoband_settings* settings, unsigned channels, int* error) {
    const twoband_settings chosen = settings != nullptr ? *settings : twoband_settings TWOBAND_SETTINGS_DEFAULT;
    if (const int code = settingsError(chosen); code != TWOBAND_OK) return failed(error, code);
    if (channels == 0 || channels > kMostChannels) return failed(error, TWOBAND_ERROR_CHANNELS);
    try {
        twoband* const tb = new twoband{engine::ChannelEngine(engineSettings(chosen), static_cast<std::uint16_t>(channels),
                                                              engine::bestFrameKernel(), kGatherFrames)};
        if (error != nullptr) *error = TWOBAND_OK;
        return tb;
    } catch (const std::bad_alloc&) {
        return failed(error, TWOBAND_ERROR_NO_MEMORY);
    }
}

int twoband_set_settings(twoband* tb, const twoband_settings* settings) {
    if (tb == nullptr || settings == nullptr) return TWOBAND_ERROR_NULL;
    if (const int code = settingsError(*settings); code != TWOBAND_OK) return code;
    tb->channels.setSettings(engineSettings(*settings));
    return TWOBAND_OK;
}

void twoband_reset(twoband* tb) {
    if (tb == nullptr) return;
    tb->channels.reset();
    for (engine::Quantiser& quantiser : tb->quantisers) quantiser.reset();
}

int twoband_set_dither(twoband* tb, int dither) {
    if (tb == nullptr) return TWOBAND_ERROR_NULL;
    if (dither != TWOBAND_DITHER_NONE && dither != TWOBAND_DITHER_TRIANGULAR) return TWOBAND_ERROR_DITHER;
    if (dither == TWOBAND_DITHER_NONE) {
        tb->quantisers.clear();
        return TWOBAND_OK;
    }
    if (!tb->quantisers.empty()) return TWOBAND_OK;
    try {
        tb->quantisers.assign(tb->channels.channels(), engine::Quantiser(engine::Dither::triangular));
    } catch (const std::bad_alloc&) {
        return TWOBAND_ERROR_NO_MEMORY;
    }
    return TWOBAND_OK;
}

int twoband_process_s16(twoband* tb, int16_t* interleaved, size_t frames) {
    if (tb == nullptr) return TWOBAND_ERROR_NULL;
    if (frames == 0) return TWOBAND_OK;
    if (interleaved == nullptr) return TWOBAND_ERROR_NULL;
    tb->channels.process({reinterpret_cast<std::uint8_t*>(interleaved), frames * tb->channels.frameBytes()});
    return TWOBAND_OK;
}

int twoband_process_f32(twoband* tb, const float* const* in, float* const* out, size_t frames) {
    if (tb == nullptr) return TWOBAND_ERROR_NULL;
    if (frames == 0) return TWOBAND_OK;
    if (in == nullptr || out == nullptr) return TWOBAND_ERROR_NULL;
    for (unsigned channel = 0; channel < tb->channels.channels(); ++channel) {
        if (in[channel] == nullptr || out[channel] == nullptr) return TWOBAND_ERROR_NULL;
    }
    PlanarFloats layout{in, out, tb->quantisers.empty() ? nullptr : tb->quantisers.data()};
    tb->channels.process(layout, frames);
    return TWOBAND_OK;
}

int twoband_get_gains(const twoband* tb, unsigned pair, twoband_gains* gains) {
    if (tb == nullptr || gains == nullptr) return TWOBAND_ERROR_NULL;
    if (pair >= tb->channels.pairs()) return TWOBAND_ERROR_PAIR;
    const engine::EngineState& state = tb->channels.pairState(pair);
    *gains = {state.masterGain, state.gainHL, state.gainHR, state.gainLL, state.gainLR};
    return TWOBAND_OK;
}

void twoband_free(twoband* tb) { delete tb; }

const char* twoband_strerror(int error) {
    switch (error) {
        case TWOBAND_OK: return "no error";
        case TWOBAND_ERROR_NULL: return "a handle, settings or buffer that is needed is NULL";
        case TWOBAND_ERROR_MAX_GAIN: return "max_gain is outside 4 to 100, or not a number";
        case TWOBAND_ERROR_RECOVER_SPEED: return "recover_speed is outside 1 to 9, or not a number";
        case TWOBAND_ERROR_FEEDBACK_SPEED: return "feedback_speed is outside 1 to 4";
        case TWOBAND_ERROR_CHANNELS: return "the channel count is outside 1 to 65535";
        case TWOBAND_ERROR_NO_MEMORY: return "not enough memory for a handle";
        case TWOBAND_ERROR_PAIR: return "the handle has no such channel pair";
        case TWOBAND_ERROR_DITHER: return "the dither is none of TWOBAND_DITHER_NONE and TWOBAND_DITHER_TRIANGULAR";
        default: return "unknown error code";
    }
}

#define TWOBAND_TEXT(x) #x
#define TWOBAND_VERSION_TEXT(major, minor, patch) TWOBAND_TEXT(major) "." TWOBAND_TEXT(minor) "." TWOBAND_TEXT(patch)

const char* twoband_version(void) {
    return TWOBAND_VERSION_TEXT(TWOBAND_VERSION_MAJOR, TWOBAND_VERSION_MINOR, TWOBAND_VERSION_PATCH);
}

}  // namespace twoband_library
