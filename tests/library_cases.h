/*
 * Checks of libtwoband through its C API only, written in C (library_cases.c) and run
 * by the GoogleTest wrapper (library_test.cpp), which supplies the inputs and the
 * expected samples. Every check returns 0 when it passes; otherwise nonzero, with what
 * broke in `failure` (a text of at most `size` bytes).
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
    float master;
    float high_left;
    float high_right;
    float low_left;
    float low_right;
} library_gains;

/* `frames` interleaved frames of `channels` channels in `input` compress to `expected`
 * with `settings`: in one call and in calls of random sizes (0, 1, odd, large; from
 * `seed`), as 16-bit samples in place and as planar floats in their own buffers and in
 * place, two handles interleaved; again after twoband_reset; and the gains after the
 * last frame are `gains` (one per pair). */
int check_stream(const int16_t *input, const int16_t *expected, size_t frames, unsigned channels,
                 library_settings settings, const library_gains *gains, unsigned seed, char *failure,
                 size_t size);

/* A settings change before frame `from` of a stream, and the code twoband_set_settings
 * is to return for it. */
typedef struct library_change {
    size_t from;
    library_settings settings;
    int code;
} library_change;

/* A handle made with `first`, given the `count` changes at their frames (in calls of
 * random sizes between them), compresses `input` to `expected`. */
int check_settings_changes(const int16_t *input, const int16_t *expected, size_t frames, unsigned channels,
                           library_settings first, const library_change *changes, size_t count,
                           unsigned seed, char *failure, size_t size);

/* Floats enter as their nearest 16-bit sample and leave as exact sixteenths of a
 * 32768th: the edges of the range, beyond it, NaN, infinities and ties. */
int check_float_edges(char *failure, size_t size);

/* Every error code, from every call that can give it; a refused call changes nothing. */
int check_errors(char *failure, size_t size);

/* twoband_new while no memory can be had: NULL and TWOBAND_ERROR_NO_MEMORY. */
int check_no_memory(char *failure, size_t size);

/* The version text and macros. */
int check_version(const char *expected, char *failure, size_t size);

#ifdef __cplusplus
}
#endif

#endif
