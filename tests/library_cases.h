/*
 * Checks of libtwoband through its C API only, written in C (library_cases.c) and run
 * by the GoogleTest wrapper (library_test.cpp), which supplies the inputs and the
 * expected samples. Every check returns "" when it passes, else what broke.
 */
#ifndef TWOBAND_TESTS_LIBRARY_CASES_H
#define TWOBAND_TESTS_LIBRARY_CASES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The three settings, as twoband_settings holds them. */
typedef struct library_settings {
    float max_gain;
    float recover_speed;
    int feedback_speed;
} library_settings;

/* The gains twoband_get_gains gives for a pair. */
typedef struct library_gains {
    float master, high_left, high_right, low_left, low_right;
} library_gains;

/* A settings change before frame `from`, and the code twoband_set_settings returns. */
typedef struct library_change {
    size_t from;
    library_settings settings;
    int code;
} library_change;

/* `frames` interleaved frames of `channels` channels (at most 8) that compress to
 * `expected`, on a handle made with `settings` and given the `count` changes at their
 * frames, and the gains of each pair after the last frame. */
typedef struct library_stream {
    const int16_t *input;
    const int16_t *expected;
    size_t frames;
    unsigned channels;
    library_settings settings;
    const library_change *changes;
    size_t count;
    const library_gains *gains;
    unsigned seed; /* of the calls' random sizes */
} library_stream;

/* The stream gives its samples and gains in every way of calling the library, each on
 * a handle of its own, their calls interleaved: 16-bit in place and planar floats, in
 * their own buffers and in place, in one call and in calls of random sizes (0, 1, odd,
 * large), on a new handle and after twoband_reset. */
const char *check_stream(const library_stream *stream);

/* Dithered floats: the same samples however a stream is split into calls. */
const char *check_dither_splits(void);

/* Floats enter as their nearest 16-bit sample and leave as exact 32768ths: the edges
 * of the range, beyond it, NaN, infinities and ties, also flushing denormals. */
const char *check_float_edges(void);

/* Every error code, from every call that can give it; a refused call changes nothing. */
const char *check_errors(void);

/* The version text and macros are the build's `expected`. */
const char *check_version(const char *expected);

#ifdef __cplusplus
}
#endif

#endif
