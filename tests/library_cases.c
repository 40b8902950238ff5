/* Checks of libtwoband through its C API only; see library_cases.h. */
#include "library_cases.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <twoband/twoband.h>

#if defined(__SSE__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

enum { kMostChannels = 8 };

static char failure[512];

/* What broke, as a check returns it. */
static const char *failed(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(failure, sizeof failure, format, arguments);
    va_end(arguments);
    return failure;
}

static unsigned next_random(unsigned *state) {
    *state = *state * 1103515245u + 12345u;
    return *state >> 8;
}

/* The size of the next call, at most `left`: 0, 1, odd or large, at random. */
static size_t call_size(unsigned *state, size_t left) {
    size_t frames;
    switch (next_random(state) % 4) {
    case 0: frames = 0; break;
    case 1: frames = 1; break;
    case 2: frames = 2 * (next_random(state) % 500) + 3; break;
    default: frames = 20000 + next_random(state) % 50000; break;
    }
    return frames < left ? frames : left;
}

static twoband_settings settings_of(library_settings settings) {
    twoband_settings converted = {settings.max_gain, settings.recover_speed, settings.feedback_speed};
    return converted;
}

/* A way of calling the library on a stream. */
typedef struct way {
    const char *name;
    int floats;      /* planar floats, else interleaved 16-bit samples in place */
    int in_place;    /* floats written over their input */
    int random;      /* calls of random sizes, else one call up to the next change */
    int after_reset; /* the handle has compressed the stream once and been reset */
    int dither;      /* twoband_set_dither's argument */
} way;

static const way ways[] = {
    {"16-bit in one call", 0, 1, 0, 0, 0},
    {"floats in their own buffers in one call", 1, 0, 0, 0, 0},
    {"16-bit after a reset, in calls of random sizes", 0, 1, 1, 1, 0},
    {"floats in place after a reset, in calls of random sizes", 1, 1, 1, 1, 0},
    {"floats on the grid, dithered, after a reset, in calls of random sizes", 1, 0, 1, 1, TWOBAND_DITHER_TRIANGULAR},
};
enum { kWays = sizeof ways / sizeof ways[0] };

/* A way's handle, its samples (16-bit, or floats channel after channel with their
 * output after them) and the frames it has done. */
typedef struct runner {
    const way *way;
    twoband *tb;
    int16_t *shorts;
    float *floats;
    unsigned random;
    size_t done;
} runner;

static float *float_output(const runner *r, const library_stream *s) {
    return r->floats + (r->way->in_place ? 0 : s->frames * s->channels);
}

/* Interleaved sample i of the runner's output, in 16-bit units: a float times 32768. */
static double sample_at(const runner *r, const library_stream *s, size_t i) {
    if (!r->way->floats) return r->shorts[i];
    return float_output(r, s)[i % s->channels * s->frames + i / s->channels] * 32768.0;
}

static void fill(runner *r, const library_stream *s) {
    const size_t samples = s->frames * s->channels;
    if (!r->way->floats) memcpy(r->shorts, s->input, samples * sizeof *r->shorts);
    for (size_t i = 0; r->way->floats && i < samples; ++i) {
        r->floats[i % s->channels * s->frames + i / s->channels] = s->input[i] / 32768.0f;
    }
    r->done = 0;
}

/* The runner's next `count` frames in one call. */
static int call(runner *r, const library_stream *s, size_t count) {
    if (!r->way->floats) return twoband_process_s16(r->tb, r->shorts + r->done * s->channels, count);
    const float *in[kMostChannels];
    float *out[kMostChannels];
    for (unsigned c = 0; c < s->channels; ++c) {
        in[c] = r->floats + c * s->frames + r->done;
        out[c] = float_output(r, s) + c * s->frames + r->done;
    }
    return twoband_process_f32(r->tb, in, out, count);
}

static const char *gains_differ(const runner *r, const library_stream *s) {
    for (unsigned pair = 0; 2 * pair < s->channels; ++pair) {
        const library_gains *want = &s->gains[pair];
        twoband_gains got;
        const int code = twoband_get_gains(r->tb, pair, &got);
        if (code != TWOBAND_OK) {
            return failed("%s: twoband_get_gains(%u): %s", r->way->name, pair, twoband_strerror(code));
        }
        if (got.master != want->master || got.high_left != want->high_left || got.high_right != want->high_right ||
            got.low_left != want->low_left || got.low_right != want->low_right) {
            return failed("%s: pair %u has gains %.9g %.9g %.9g %.9g %.9g, not %.9g %.9g %.9g %.9g %.9g", r->way->name,
                          pair, got.master, got.high_left, got.high_right, got.low_left, got.low_right, want->master,
                          want->high_left, want->high_right, want->low_left, want->low_right);
        }
    }
    return "";
}

const char *check_stream(const library_stream *s) {
    const size_t samples = s->frames * s->channels;
    const twoband_settings chosen = settings_of(s->settings);
    runner runners[kWays] = {0};
    const char *broken = "";
    if (s->channels > kMostChannels) return failed("%u channels, more than these checks take", s->channels);
    for (unsigned w = 0; w < kWays; ++w) {
        runner *r = &runners[w];
        int error = -1;
        r->way = &ways[w];
        r->tb = twoband_new(&chosen, s->channels, &error);
        if (r->tb && r->way->dither) error = twoband_set_dither(r->tb, r->way->dither);
        r->random = s->seed * 7 * (w + 1) + 1;
        if (r->way->floats) r->floats = malloc((2 * samples + 1) * sizeof *r->floats);
        else r->shorts = malloc((samples + 1) * sizeof *r->shorts);
        if (!r->tb || (!r->floats && !r->shorts)) {
            broken = failed("%s: no handle or buffer: %s", r->way->name, twoband_strerror(error));
            goto done;
        }
        if (r->way->after_reset) {
            fill(r, s);
            const int code = call(r, s, s->frames);
            twoband_reset(r->tb);
            if (code != TWOBAND_OK) {
                broken = failed("%s: the call before the reset: %s", r->way->name, twoband_strerror(code));
                goto done;
            }
        }
        fill(r, s);
    }
    /* Every handle's calls up to each change in turn, interleaved. */
    for (size_t change = 0; change <= s->count; ++change) {
        const size_t until = change < s->count ? s->changes[change].from : s->frames;
        unsigned going;
        do {
            going = 0;
            for (unsigned w = 0; w < kWays; ++w) {
                runner *r = &runners[w];
                if (r->done == until) continue;
                const size_t count = r->way->random ? call_size(&r->random, until - r->done) : until - r->done;
                const int code = call(r, s, count);
                if (code != TWOBAND_OK) {
                    broken = failed("%s: a call before frame %zu: %s", r->way->name, until, twoband_strerror(code));
                    goto done;
                }
                r->done += count;
                going += r->done < until;
            }
        } while (going);
        if (change == s->count) break;
        const twoband_settings next = settings_of(s->changes[change].settings);
        for (unsigned w = 0; w < kWays; ++w) {
            const int code = twoband_set_settings(runners[w].tb, &next);
            if (code != s->changes[change].code) {
                broken = failed("%s: change %zu gave %d (%s), not %d", ways[w].name, change, code,
                                twoband_strerror(code), s->changes[change].code);
                goto done;
            }
        }
    }
    for (unsigned w = 0; w < kWays && !*broken; ++w) {
        for (size_t i = 0; i < samples && !*broken; ++i) {
            if (sample_at(&runners[w], s, i) != s->expected[i]) {
                broken = failed("%s: sample %zu is %.9g, not %d", ways[w].name, i, sample_at(&runners[w], s, i),
                                s->expected[i]);
            }
        }
        if (!*broken) broken = gains_differ(&runners[w], s);
    }
done:
    for (unsigned w = 0; w < kWays; ++w) {
        twoband_free(runners[w].tb);
        free(runners[w].shorts);
        free(runners[w].floats);
    }
    return broken;
}

/* Flush-to-zero and denormals-are-zero, as audio hosts set them, on or back off;
 * returns whether this machine has them. */
static int flush_denormals(int on) {
#if defined(__SSE__) || defined(_M_X64)
    const unsigned modes = 0x8040; /* FTZ | DAZ */
    _mm_setcsr(on ? _mm_getcsr() | modes : _mm_getcsr() & ~modes);
    return 1;
#elif defined(__aarch64__)
    uint64_t control;
    __asm__ volatile("mrs %0, fpcr" : "=r"(control));
    control = on ? control | (UINT64_C(1) << 24) : control & ~(UINT64_C(1) << 24); /* FZ */
    __asm__ volatile("msr fpcr, %0" : : "r"(control));
    return 1;
#else
    (void)on;
    return 0;
#endif
}

/* A float and the 16-bit sample it enters as. */
typedef struct float_edge {
    float value;
    int16_t sample;
} float_edge;

static const char *float_edges(void) {
    const float ulp = 1.0f / 32768.0f;
    const float_edge edges[] = {
        {-1.0f, -32768},
        {32767.0f / 32768.0f, 32767},
        {1.0f, 32767},
        {1.5f, 32767},
        {-1.5f, -32768},
        {1e30f, 32767},
        {-1e30f, -32768},
        {INFINITY, 32767},
        {-INFINITY, -32768},
        {NAN, 0},
        {-NAN, 0},
        {0.0f, 0},
        {-0.0f, 0},
        {1e-40f, 0},          /* subnormal */
        {0.5f * ulp, 0},      /* ties to the even neighbour */
        {1.5f * ulp, 2},
        {2.5f * ulp, 2},
        {-0.5f * ulp, 0},
        {-1.5f * ulp, -2},
        {-2.5f * ulp, -2},
        {32766.5f * ulp, 32766},
        {32767.5f * ulp, 32767},  /* rounds to 32768, saturated */
        {-32767.5f * ulp, -32768},
        {-32768.5f * ulp, -32768},
        {0.49f * ulp, 0},
        {0.51f * ulp, 1},
        {-0.51f * ulp, -1},
        {100.7f * ulp, 101},
        {-100.3f * ulp, -100},
        {0.25f, 8192},
        {-0.123456789f, -4045},
    };
    enum { kRounds = 40 };
    const size_t count = sizeof edges / sizeof edges[0];
    /* Each edge is the left sample of a frame of a running stream, a quiet right
     * sample beside it: the float stream must give the 16-bit stream's output. */
    float left[sizeof edges / sizeof edges[0] * kRounds], right[sizeof left / sizeof left[0]];
    int16_t interleaved[2 * sizeof left / sizeof left[0]];
    const size_t frames = sizeof left / sizeof left[0];
    for (size_t f = 0; f < frames; ++f) {
        left[f] = edges[f % count].value;
        interleaved[2 * f] = edges[f % count].sample;
        interleaved[2 * f + 1] = (int16_t)((int)(f * 37 % 2001) - 1000);
        right[f] = interleaved[2 * f + 1] / 32768.0f;
    }
    const float *in[2] = {left, right};
    float *out[2] = {left, right};
    twoband *floats = twoband_new(NULL, 2, NULL), *shorts = twoband_new(NULL, 2, NULL);
    const int float_code = twoband_process_f32(floats, in, out, frames);
    const int short_code = twoband_process_s16(shorts, interleaved, frames);
    twoband_free(floats);
    twoband_free(shorts);
    if (float_code != TWOBAND_OK || short_code != TWOBAND_OK) {
        return failed("the calls gave %d and %d", float_code, short_code);
    }
    for (size_t f = 0; f < frames; ++f) {
        for (int side = 0; side < 2; ++side) {
            const float got = side == 0 ? left[f] : right[f];
            const float wanted = interleaved[2 * f + side] / 32768.0f;
            if (!(got == wanted) || signbit(got) != signbit(wanted)) {
                return failed("edge %zu (%.9g) in frame %zu: %s output %.9g, not %.9g", f % count,
                              edges[f % count].value, f, side == 0 ? "left" : "right", got, wanted);
            }
        }
    }
    return "";
}

const char *check_float_edges(void) {
    const char *broken = float_edges();
    if (*broken || !flush_denormals(1)) return broken;
    broken = float_edges(); /* the same under flush-to-zero and denormals-are-zero */
    flush_denormals(0);
    if (*broken) strncat(failure, " (flushing denormals)", sizeof failure - strlen(failure) - 1);
    return broken;
}

/* The code twoband_new gives, or -1 where the handle and *error disagree. */
static int new_code(const twoband_settings *settings, unsigned channels) {
    int error = -1;
    twoband *tb = twoband_new(settings, channels, &error);
    twoband_free(tb);
    return (tb != NULL) == (error == TWOBAND_OK) ? error : -1;
}

const char *check_dither_splits(void) {
    /* Floats off the grid, three channels (a pair and a mono one): dithered, the same
     * in one call and in calls of any size, and after a reset; rounded, otherwise. */
    enum { kFrames = 6000, kChannels = 3 };
    static float input[kChannels][kFrames], whole[kChannels][kFrames], split[kChannels][kFrames],
        rounded[kChannels][kFrames];
    for (int c = 0; c < kChannels; ++c) {
        for (int i = 0; i < kFrames; ++i) input[c][i] = (float)((i * (c + 3) % 4001 - 2000) + 0.3) / 32768.0f;
    }
    twoband *one = twoband_new(NULL, kChannels, NULL), *many = twoband_new(NULL, kChannels, NULL);
    twoband *plain = twoband_new(NULL, kChannels, NULL);
    if (!one || !many || !plain) return failed("no handle");
    twoband_set_dither(one, TWOBAND_DITHER_TRIANGULAR);
    twoband_set_dither(many, TWOBAND_DITHER_TRIANGULAR);
    const float *in[kChannels];
    float *out[kChannels];
    for (int round = 0; round < 2; ++round) {
        for (int c = 0; c < kChannels; ++c) in[c] = input[c], out[c] = whole[c];
        twoband_process_f32(one, in, out, kFrames);
        unsigned random = 12345u + (unsigned)round;
        for (size_t done = 0, count; done < kFrames; done += count) {
            count = call_size(&random, kFrames - done);
            for (int c = 0; c < kChannels; ++c) in[c] = input[c] + done, out[c] = split[c] + done;
            twoband_process_f32(many, in, out, count);
        }
        twoband_reset(one);
        twoband_reset(many);
        if (memcmp(whole, split, sizeof whole) != 0) return failed("round %d: the calls' sizes changed the samples", round);
    }
    for (int c = 0; c < kChannels; ++c) in[c] = input[c], out[c] = rounded[c];
    twoband_process_f32(plain, in, out, kFrames);
    twoband_free(one);
    twoband_free(many);
    twoband_free(plain);
    if (memcmp(whole, rounded, sizeof whole) == 0) return failed("dithered samples are the rounded ones");
    return "";
}

const char *check_errors(void) {
    const struct {
        twoband_settings settings;
        int code;
    } cases[] = {
        {{4.0f, 1.0f, 1}, TWOBAND_OK},
        {{100.0f, 9.0f, 4}, TWOBAND_OK},
        {{3.9999998f, 8.0f, 2}, TWOBAND_ERROR_MAX_GAIN},
        {{100.00001f, 8.0f, 2}, TWOBAND_ERROR_MAX_GAIN},
        {{NAN, 8.0f, 2}, TWOBAND_ERROR_MAX_GAIN},
        {{INFINITY, 8.0f, 2}, TWOBAND_ERROR_MAX_GAIN},
        {{20.0f, 0.9999999f, 2}, TWOBAND_ERROR_RECOVER_SPEED},
        {{20.0f, 9.000001f, 2}, TWOBAND_ERROR_RECOVER_SPEED},
        {{20.0f, -NAN, 2}, TWOBAND_ERROR_RECOVER_SPEED},
        {{20.0f, 8.0f, 0}, TWOBAND_ERROR_FEEDBACK_SPEED},
        {{20.0f, 8.0f, 5}, TWOBAND_ERROR_FEEDBACK_SPEED},
        {{20.0f, 8.0f, -2147483647 - 1}, TWOBAND_ERROR_FEEDBACK_SPEED},
        /* checked in the command line's order: the first that fails */
        {{3.0f, 0.0f, 9}, TWOBAND_ERROR_MAX_GAIN},
        {{20.0f, 10.0f, 9}, TWOBAND_ERROR_RECOVER_SPEED},
    };
    twoband *changed = twoband_new(NULL, 2, NULL);
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const int made = new_code(&cases[i].settings, 2), set = twoband_set_settings(changed, &cases[i].settings);
        if (made != cases[i].code || set != cases[i].code) {
            twoband_free(changed);
            return failed("settings case %zu: twoband_new gave %d, twoband_set_settings %d; not %d", i, made, set,
                          cases[i].code);
        }
    }
    twoband_free(changed);
    /* No error pointer: still NULL for a failure. */
    if (twoband_new(NULL, 0, NULL) != NULL) return failed("0 channels made a handle");

    /* Channel counts; NULL handles and buffers, where a count of 0 needs no buffer. */
    twoband *tb = twoband_new(NULL, 3, NULL);
    int16_t samples[6] = {0};
    float plane[2] = {0};
    const float *in[3] = {plane, plane, plane};
    float *out[3] = {plane, plane, plane};
    const float *in_gap[3] = {plane, NULL, plane};
    float *out_gap[3] = {plane, plane, NULL};
    const twoband_settings defaults = TWOBAND_SETTINGS_DEFAULT;
    twoband_gains gains;
    const int calls[][2] = {
        {new_code(NULL, 0), TWOBAND_ERROR_CHANNELS},
        {new_code(NULL, 65536), TWOBAND_ERROR_CHANNELS},
        {new_code(NULL, 4294967295u), TWOBAND_ERROR_CHANNELS},
        {new_code(NULL, 1), TWOBAND_OK},
        {new_code(NULL, 65535), TWOBAND_OK},
        {twoband_set_settings(NULL, &defaults), TWOBAND_ERROR_NULL},
        {twoband_set_settings(tb, NULL), TWOBAND_ERROR_NULL},
        {twoband_process_s16(NULL, samples, 1), TWOBAND_ERROR_NULL},
        {twoband_process_s16(NULL, samples, 0), TWOBAND_ERROR_NULL},
        {twoband_process_s16(tb, NULL, 1), TWOBAND_ERROR_NULL},
        {twoband_process_s16(tb, NULL, 0), TWOBAND_OK},
        {twoband_process_f32(NULL, in, out, 1), TWOBAND_ERROR_NULL},
        {twoband_process_f32(tb, NULL, out, 1), TWOBAND_ERROR_NULL},
        {twoband_process_f32(tb, in, NULL, 1), TWOBAND_ERROR_NULL},
        {twoband_process_f32(tb, in_gap, out, 1), TWOBAND_ERROR_NULL},
        {twoband_process_f32(tb, in, out_gap, 1), TWOBAND_ERROR_NULL},
        {twoband_process_f32(tb, NULL, NULL, 0), TWOBAND_OK},
        {twoband_set_dither(NULL, TWOBAND_DITHER_NONE), TWOBAND_ERROR_NULL},
        {twoband_set_dither(tb, 2), TWOBAND_ERROR_DITHER},
        {twoband_set_dither(tb, -1), TWOBAND_ERROR_DITHER},
        {twoband_set_dither(tb, TWOBAND_DITHER_TRIANGULAR), TWOBAND_OK},
        {twoband_set_dither(tb, TWOBAND_DITHER_NONE), TWOBAND_OK},
        {twoband_get_gains(NULL, 0, &gains), TWOBAND_ERROR_NULL},
        {twoband_get_gains(tb, 0, NULL), TWOBAND_ERROR_NULL},
        {twoband_get_gains(tb, 1, &gains), TWOBAND_OK},
        {twoband_get_gains(tb, 2, &gains), TWOBAND_ERROR_PAIR},
        {twoband_get_gains(tb, 4294967295u, &gains), TWOBAND_ERROR_PAIR},
    };
    /* The refused calls touched nothing: the handle is still fresh. */
    twoband *fresh = twoband_new(NULL, 3, NULL);
    int16_t a[3 * 400], b[3 * 400];
    for (int i = 0; i < 3 * 400; ++i) a[i] = b[i] = (int16_t)(i * 997 % 20001 - 10000);
    twoband_process_s16(tb, a, 400);
    twoband_process_s16(fresh, b, 400);
    twoband_free(fresh);
    twoband_reset(NULL);
    twoband_free(NULL);
    twoband_free(tb);
    for (size_t i = 0; i < sizeof calls / sizeof calls[0]; ++i) {
        if (calls[i][0] != calls[i][1]) return failed("call %zu gave %d, not %d", i, calls[i][0], calls[i][1]);
    }
    if (memcmp(a, b, sizeof a) != 0) return failed("a refused call changed the handle");

    /* Every code has its own text; unknown codes share one of their own. */
    const int codes[] = {TWOBAND_OK, TWOBAND_ERROR_NULL, TWOBAND_ERROR_MAX_GAIN, TWOBAND_ERROR_RECOVER_SPEED,
                         TWOBAND_ERROR_FEEDBACK_SPEED, TWOBAND_ERROR_CHANNELS, TWOBAND_ERROR_NO_MEMORY,
                         TWOBAND_ERROR_PAIR, TWOBAND_ERROR_DITHER, 9};
    const size_t count = sizeof codes / sizeof codes[0];
    for (size_t i = 0; i < count; ++i) {
        const char *message = twoband_strerror(codes[i]);
        if (message == NULL || message[0] == '\0') return failed("no text for code %d", codes[i]);
        for (size_t j = 0; j < i; ++j) {
            if (strcmp(message, twoband_strerror(codes[j])) == 0) {
                return failed("codes %d and %d share the text \"%s\"", codes[i], codes[j], message);
            }
        }
    }
    if (strcmp(twoband_strerror(-1), twoband_strerror(9)) != 0) return failed("unknown codes differ");
    return "";
}

const char *check_version(const char *expected) {
    char macros[32];
    snprintf(macros, sizeof macros, "%d.%d.%d", TWOBAND_VERSION_MAJOR, TWOBAND_VERSION_MINOR, TWOBAND_VERSION_PATCH);
    if (strcmp(twoband_version(), macros) != 0 || strcmp(macros, expected) != 0) {
        return failed("version \"%s\", macros %s, build %s", twoband_version(), macros, expected);
    }
    return "";
}
