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

static int fail(char *failure, size_t size, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(failure, size, format, arguments);
    va_end(arguments);
    return 1;
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

/* The first sample where `got` is not `expected`, or `count` where none is. */
static size_t first_difference(const int16_t *got, const int16_t *expected, size_t count) {
    size_t i = 0;
    while (i < count && got[i] == expected[i]) ++i;
    return i;
}

/* Planar float channels of a stream, with pointers `offset` frames in for each call. */
typedef struct planes {
    unsigned channels;
    float **channel;
    float **at;
} planes;

static int planes_new(planes *p, unsigned channels, size_t frames) {
    p->channels = channels;
    p->channel = calloc(channels, sizeof *p->channel);
    p->at = calloc(channels, sizeof *p->at);
    if (!p->channel || !p->at) return 0;
    for (unsigned c = 0; c < channels; ++c) {
        p->channel[c] = malloc((frames ? frames : 1) * sizeof(float));
        if (!p->channel[c]) return 0;
    }
    return 1;
}

static void planes_free(planes *p) {
    for (unsigned c = 0; p->channel && c < p->channels; ++c) free(p->channel[c]);
    free(p->channel);
    free(p->at);
}

static float **planes_at(planes *p, size_t offset) {
    for (unsigned c = 0; c < p->channels; ++c) p->at[c] = p->channel[c] + offset;
    return p->at;
}

/* The floats of 16-bit samples: s / 32768, exact. */
static void planes_fill(planes *p, const int16_t *interleaved, size_t frames) {
    for (size_t f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < p->channels; ++c) p->channel[c][f] = interleaved[f * p->channels + c] / 32768.0f;
    }
}

/* The first float sample that is not the expected 16-bit one over 32768, as an
 * interleaved index, or frames × channels. */
static size_t planes_difference(const planes *p, const int16_t *expected, size_t frames) {
    for (size_t f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < p->channels; ++c) {
            if (p->channel[c][f] != expected[f * p->channels + c] / 32768.0f) return f * p->channels + c;
        }
    }
    return frames * p->channels;
}

/* One stream in calls of random sizes from `seed` (one call for seed 0): 16-bit in
 * place when `out` is NULL, else floats from `in` to `out`. Returns the first error. */
static int run(twoband *tb, int16_t *samples, planes *in, planes *out, size_t frames, unsigned channels,
               unsigned seed) {
    unsigned state = seed;
    size_t done = 0;
    do {
        const size_t count = seed == 0 ? frames : call_size(&state, frames - done);
        const int code = out == NULL
                             ? twoband_process_s16(tb, samples + done * channels, count)
                             : twoband_process_f32(tb, (const float *const *)planes_at(in, done),
                                                   planes_at(out, done), count);
        if (code != TWOBAND_OK) return code;
        done += count;
    } while (done < frames);
    return TWOBAND_OK;
}

static int gains_equal(const twoband_gains *got, const library_gains *expected) {
    return got->master == expected->master && got->high_left == expected->high_left &&
           got->high_right == expected->high_right && got->low_left == expected->low_left &&
           got->low_right == expected->low_right;
}

static int check_gains(const twoband *tb, unsigned channels, const library_gains *gains, const char *when,
                       char *failure, size_t size) {
    for (unsigned pair = 0; 2 * pair < channels; ++pair) {
        twoband_gains got;
        const int code = twoband_get_gains(tb, pair, &got);
        if (code != TWOBAND_OK) return fail(failure, size, "%s: twoband_get_gains(%u): %s", when, pair, twoband_strerror(code));
        if (!gains_equal(&got, &gains[pair])) {
            return fail(failure, size, "%s: pair %u has gains %.9g %.9g %.9g %.9g %.9g, not %.9g %.9g %.9g %.9g %.9g", when,
                        pair, got.master, got.high_left, got.high_right, got.low_left, got.low_right,
                        gains[pair].master, gains[pair].high_left, gains[pair].high_right, gains[pair].low_left,
                        gains[pair].low_right);
        }
    }
    return 0;
}

int check_stream(const int16_t *input, const int16_t *expected, size_t frames, unsigned channels,
                 library_settings settings, const library_gains *gains, unsigned seed, char *failure,
                 size_t size) {
    const size_t samples = frames * channels;
    const twoband_settings chosen = settings_of(settings);
    int error = -1;
    twoband *s16 = twoband_new(&chosen, channels, &error);
    twoband *f32 = twoband_new(&chosen, channels, &error);
    int16_t *work = malloc((samples ? samples : 1) * sizeof *work);
    planes in = {0}, out = {0};
    int broken = 0;
    if (!s16 || !f32 || !work || !planes_new(&in, channels, frames) || !planes_new(&out, channels, frames)) {
        broken = fail(failure, size, "no handle or buffers: %s", twoband_strerror(error));
        goto done;
    }
    /* In one call, 16-bit in place, then floats in their own buffers. */
    memcpy(work, input, samples * sizeof *work);
    planes_fill(&in, input, frames);
    int code = run(s16, work, NULL, NULL, frames, channels, 0);
    if (code == TWOBAND_OK) code = run(f32, NULL, &in, &out, frames, channels, 0);
    if (code != TWOBAND_OK) {
        broken = fail(failure, size, "one call: %s", twoband_strerror(code));
        goto done;
    }
    size_t at = first_difference(work, expected, samples);
    if (at < samples) {
        broken = fail(failure, size, "one call: sample %zu is %d, not %d", at, work[at], expected[at]);
        goto done;
    }
    if ((at = planes_difference(&out, expected, frames)) < samples) {
        broken = fail(failure, size, "one call of floats: sample %zu is %.9g, not %d/32768", at,
                      out.channel[at % channels][at / channels], expected[at]);
        goto done;
    }
    if ((broken = check_gains(s16, channels, gains, "after one call", failure, size)) != 0) goto done;
    if ((broken = check_gains(f32, channels, gains, "after one call of floats", failure, size)) != 0) goto done;

    /* Back to a new handle's state, then in calls of random sizes: 16-bit in place and
     * floats in place, the two handles' calls interleaved. */
    twoband_reset(s16);
    twoband_reset(f32);
    memcpy(work, input, samples * sizeof *work);
    planes_fill(&in, input, frames);
    unsigned s16_state = seed, f32_state = seed * 7 + 1;
    size_t s16_done = 0, f32_done = 0;
    while (s16_done < frames || f32_done < frames) {
        const size_t s16_count = call_size(&s16_state, frames - s16_done);
        const size_t f32_count = call_size(&f32_state, frames - f32_done);
        code = run(s16, work + s16_done * channels, NULL, NULL, s16_count, channels, 0);
        if (code == TWOBAND_OK) {
            code = twoband_process_f32(f32, (const float *const *)planes_at(&in, f32_done), planes_at(&in, f32_done),
                                       f32_count);
        }
        if (code != TWOBAND_OK) {
            broken = fail(failure, size, "calls of random sizes: %s", twoband_strerror(code));
            goto done;
        }
        s16_done += s16_count;
        f32_done += f32_count;
    }
    if ((at = first_difference(work, expected, samples)) < samples) {
        broken = fail(failure, size, "after a reset, in calls of random sizes: sample %zu is %d, not %d", at, work[at],
                      expected[at]);
        goto done;
    }
    if ((at = planes_difference(&in, expected, frames)) < samples) {
        broken = fail(failure, size, "after a reset, floats in place in calls of random sizes: sample %zu is %.9g, not %d/32768",
                      at, in.channel[at % channels][at / channels], expected[at]);
        goto done;
    }
    broken = check_gains(s16, channels, gains, "after calls of random sizes", failure, size);
done:
    planes_free(&in);
    planes_free(&out);
    free(work);
    twoband_free(s16);
    twoband_free(f32);
    return broken;
}

int check_settings_changes(const int16_t *input, const int16_t *expected, size_t frames, unsigned channels,
                           library_settings first, const library_change *changes, size_t count,
                           unsigned seed, char *failure, size_t size) {
    const size_t samples = frames * channels;
    const twoband_settings chosen = settings_of(first);
    twoband *tb = twoband_new(&chosen, channels, NULL);
    int16_t *work = malloc((samples ? samples : 1) * sizeof *work);
    int broken = 0;
    if (!tb || !work) {
        broken = fail(failure, size, "no handle or buffer");
        goto done;
    }
    memcpy(work, input, samples * sizeof *work);
    size_t done = 0;
    for (size_t change = 0; change <= count; ++change) {
        const size_t until = change < count ? changes[change].from : frames;
        const int code = run(tb, work + done * channels, NULL, NULL, until - done, channels, seed + (unsigned)change);
        if (code != TWOBAND_OK) {
            broken = fail(failure, size, "before change %zu: %s", change, twoband_strerror(code));
            goto done;
        }
        done = until;
        if (change == count) break;
        const twoband_settings next = settings_of(changes[change].settings);
        const int set = twoband_set_settings(tb, &next);
        if (set != changes[change].code) {
            broken = fail(failure, size, "change %zu gave %d (%s), not %d", change, set, twoband_strerror(set),
                          changes[change].code);
            goto done;
        }
    }
    const size_t at = first_difference(work, expected, samples);
    if (at < samples) broken = fail(failure, size, "sample %zu is %d, not %d", at, work[at], expected[at]);
done:
    free(work);
    twoband_free(tb);
    return broken;
}

/* A float and the 16-bit sample it enters as. */
typedef struct float_edge {
    float value;
    int16_t sample;
} float_edge;

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

static int float_edges(char *failure, size_t size);

int check_float_edges(char *failure, size_t size) {
    if (float_edges(failure, size) != 0) return 1;
    /* The same under flush-to-zero and denormals-are-zero. */
    if (!flush_denormals(1)) return 0;
    const int broken = float_edges(failure, size);
    flush_denormals(0);
    if (broken) {
        const size_t length = strlen(failure);
        snprintf(failure + length, size - length, " (flushing denormals)");
    }
    return broken;
}

static int float_edges(char *failure, size_t size) {
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
    const size_t count = sizeof edges / sizeof edges[0];
    /* Each edge is the left sample of a frame of a running stream, a quiet right
     * sample beside it: the float stream must give the 16-bit stream's output. */
    enum { kRounds = 40 };
    const size_t frames = count * kRounds;
    float *left = malloc(frames * sizeof *left), *right = malloc(frames * sizeof *right);
    int16_t *interleaved = malloc(2 * frames * sizeof *interleaved);
    twoband *floats = twoband_new(NULL, 2, NULL), *shorts = twoband_new(NULL, 2, NULL);
    int broken = 0;
    if (!left || !right || !interleaved || !floats || !shorts) {
        broken = fail(failure, size, "no handle or buffers");
        goto done;
    }
    for (size_t f = 0; f < frames; ++f) {
        left[f] = edges[f % count].value;
        interleaved[2 * f] = edges[f % count].sample;
        interleaved[2 * f + 1] = (int16_t)((int)(f * 37 % 2001) - 1000);
        right[f] = interleaved[2 * f + 1] / 32768.0f;
    }
    const float *in[2] = {left, right};
    float *out[2] = {left, right};
    if (twoband_process_f32(floats, in, out, frames) != TWOBAND_OK ||
        twoband_process_s16(shorts, interleaved, frames) != TWOBAND_OK) {
        broken = fail(failure, size, "a call failed");
        goto done;
    }
    for (size_t f = 0; f < frames; ++f) {
        for (int side = 0; side < 2; ++side) {
            const float got = side == 0 ? left[f] : right[f];
            const float wanted = interleaved[2 * f + side] / 32768.0f;
            if (!(got == wanted) || signbit(got) != signbit(wanted)) {
                broken = fail(failure, size, "edge %zu (%.9g) in frame %zu: %s output %.9g, not %.9g", f % count,
                              edges[f % count].value, f, side == 0 ? "left" : "right", got, wanted);
                goto done;
            }
        }
    }
done:
    free(left);
    free(right);
    free(interleaved);
    twoband_free(floats);
    twoband_free(shorts);
    return broken;
}

/* A settings record and the code it gives. */
typedef struct settings_case {
    twoband_settings settings;
    int code;
} settings_case;

int check_errors(char *failure, size_t size) {
    const settings_case cases[] = {
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
    int error = -1;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        twoband *tb = twoband_new(&cases[i].settings, 2, &error);
        const int made = tb != NULL ? TWOBAND_OK : error;
        const int set_code = tb != NULL ? twoband_set_settings(tb, &cases[i].settings) : -1;
        twoband_free(tb);
        if (made != cases[i].code || error != cases[i].code || (tb != NULL && set_code != cases[i].code)) {
            return fail(failure, size, "settings case %zu: twoband_new gave %d (error %d), set %d; not %d", i, made,
                        error, set_code, cases[i].code);
        }
        twoband *fresh = twoband_new(NULL, 2, NULL);
        const int set = twoband_set_settings(fresh, &cases[i].settings);
        twoband_free(fresh);
        if (set != cases[i].code) return fail(failure, size, "settings case %zu: twoband_set_settings gave %d", i, set);
    }
    const unsigned channel_counts[][2] = {{0, TWOBAND_ERROR_CHANNELS}, {65536, TWOBAND_ERROR_CHANNELS},
                                          {4294967295u, TWOBAND_ERROR_CHANNELS}, {1, TWOBAND_OK},
                                          {65535, TWOBAND_OK}};
    for (size_t i = 0; i < sizeof channel_counts / sizeof channel_counts[0]; ++i) {
        error = -1;
        twoband *tb = twoband_new(NULL, channel_counts[i][0], &error);
        twoband_free(tb);
        if ((tb == NULL ? error : TWOBAND_OK) != (int)channel_counts[i][1] || error != (int)channel_counts[i][1]) {
            return fail(failure, size, "%u channels gave %d", channel_counts[i][0], error);
        }
    }
    /* No error pointer: still NULL for a failure. */
    if (twoband_new(NULL, 0, NULL) != NULL) return fail(failure, size, "0 channels made a handle");

    /* NULL handles and buffers. A count of 0 needs no buffer. */
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
        {twoband_get_gains(NULL, 0, &gains), TWOBAND_ERROR_NULL},
        {twoband_get_gains(tb, 0, NULL), TWOBAND_ERROR_NULL},
        {twoband_get_gains(tb, 1, &gains), TWOBAND_OK},
        {twoband_get_gains(tb, 2, &gains), TWOBAND_ERROR_PAIR},
        {twoband_get_gains(tb, 4294967295u, &gains), TWOBAND_ERROR_PAIR},
    };
    for (size_t i = 0; i < sizeof calls / sizeof calls[0]; ++i) {
        if (calls[i][0] != calls[i][1]) {
            twoband_free(tb);
            return fail(failure, size, "call %zu gave %d, not %d", i, calls[i][0], calls[i][1]);
        }
    }
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
    if (memcmp(a, b, sizeof a) != 0) return fail(failure, size, "a refused call changed the handle");

    /* Every code has its own text; unknown codes share one of their own. */
    const int codes[] = {TWOBAND_OK, TWOBAND_ERROR_NULL, TWOBAND_ERROR_MAX_GAIN, TWOBAND_ERROR_RECOVER_SPEED,
                         TWOBAND_ERROR_FEEDBACK_SPEED, TWOBAND_ERROR_CHANNELS, TWOBAND_ERROR_NO_MEMORY,
                         TWOBAND_ERROR_PAIR, 8};
    const size_t count = sizeof codes / sizeof codes[0];
    for (size_t i = 0; i < count; ++i) {
        const char *message = twoband_strerror(codes[i]);
        if (message == NULL || message[0] == '\0') return fail(failure, size, "no text for code %d", codes[i]);
        for (size_t j = 0; j < i; ++j) {
            if (strcmp(message, twoband_strerror(codes[j])) == 0) {
                return fail(failure, size, "codes %d and %d share the text \"%s\"", codes[i], codes[j], message);
            }
        }
    }
    if (strcmp(twoband_strerror(-1), twoband_strerror(8)) != 0) return fail(failure, size, "unknown codes differ");
    return 0;
}

int check_no_memory(char *failure, size_t size) {
    int error = -1;
    twoband *tb = twoband_new(NULL, 2, &error);
    if (tb != NULL || error != TWOBAND_ERROR_NO_MEMORY) {
        twoband_free(tb);
        return fail(failure, size, "twoband_new gave %p and %d", (void *)tb, error);
    }
    return 0;
}

int check_version(const char *expected, char *failure, size_t size) {
    char macros[32];
    snprintf(macros, sizeof macros, "%d.%d.%d", TWOBAND_VERSION_MAJOR, TWOBAND_VERSION_MINOR, TWOBAND_VERSION_PATCH);
    if (strcmp(twoband_version(), macros) != 0 || strcmp(macros, expected) != 0) {
        return fail(failure, size, "version \"%s\", macros %s, build %s", twoband_version(), macros, expected);
    }
    return 0;
}
