/*
 * libtwoband: the twoband two-band dynamic range compressor, for programs that link it.
 *
 * A handle compresses one stream of interleaved or planar audio, channel pairs 1+2,
 * 3+4 ... each as a stereo signal, an odd last channel as mono (the frame (s, s), its
 * left output kept). The samples are exactly those the twoband program writes for the
 * same 16-bit samples, on every machine, however the stream is split into calls.
 *
 *   twoband_settings settings = TWOBAND_SETTINGS_DEFAULT;
 *   int error = 0;
 *   twoband *tb = twoband_new(&settings, 2, &error);
 *   if (!tb) fprintf(stderr, "%s\n", twoband_strerror(error));
 *   while (frames = read_some(buffer))       // interleaved int16_t, any count
 *       twoband_process_s16(tb, buffer, frames);
 *   twoband_free(tb);
 *
 * Every call that can fail returns 0 (TWOBAND_OK) or one of the error codes below.
 * A handle holds no global state and does no I/O; after twoband_new nothing allocates.
 * Handles are independent: one per thread needs no lock. One handle must not be used
 * by two threads at once.
 *
 * The results are exact to the bit in the floating-point environment a C program
 * starts with (binary32 and binary64 arithmetic rounding to nearest); flush-to-zero
 * and denormals-are-zero, which audio hosts often set, change nothing. A host that
 * sets another rounding direction must restore it around the calls.
 */
#ifndef TWOBAND_TWOBAND_H
#define TWOBAND_TWOBAND_H

#include <stddef.h>
#include <stdint.h>

/* TWOBAND_STATIC is defined where the static library is built and used (its CMake
 * target does it): no DLL import on Windows, and the API stays hidden in any shared
 * object the static library is linked into. */
#if defined(_WIN32) && !defined(TWOBAND_STATIC)
#ifdef TWOBAND_BUILDING
#define TWOBAND_API __declspec(dllexport)
#else
#define TWOBAND_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) && !defined(TWOBAND_STATIC)
#define TWOBAND_API __attribute__((visibility("default")))
#else
#define TWOBAND_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version; twoband_version() gives the same as text, "1.0.0". */
#define TWOBAND_VERSION_MAJOR 1
#define TWOBAND_VERSION_MINOR 0
#define TWOBAND_VERSION_PATCH 0

typedef struct twoband twoband; /* opaque */

/* The three settings, with the command line's ranges (bounds included). */
typedef struct twoband_settings {
    float max_gain;      /* highest gain a band recovers to: 4 to 100 */
    float recover_speed; /* how fast gains recover: 1 to 9 */
    int feedback_speed;  /* how hard peaks pull the high bands down: 1 to 4 */
} twoband_settings;

#define TWOBAND_SETTINGS_DEFAULT { 20.0f, 8.0f, 2 }

/* Error codes. */
enum {
    TWOBAND_OK = 0,
    TWOBAND_ERROR_NULL = 1,           /* a NULL handle, settings or buffer */
    TWOBAND_ERROR_MAX_GAIN = 2,       /* max_gain outside 4 to 100, or not a number */
    TWOBAND_ERROR_RECOVER_SPEED = 3,  /* recover_speed outside 1 to 9, or not a number */
    TWOBAND_ERROR_FEEDBACK_SPEED = 4, /* feedback_speed outside 1 to 4 */
    TWOBAND_ERROR_CHANNELS = 5,       /* 0 channels, or more than 65535 */
    TWOBAND_ERROR_NO_MEMORY = 6,
    TWOBAND_ERROR_PAIR = 7,           /* a channel pair the handle does not have */
    TWOBAND_ERROR_DITHER = 8          /* a dither that is none of the TWOBAND_DITHER_ values */
};

/* How twoband_process_f32 brings a float that is not on the 16-bit grid to 16 bits. */
enum {
    TWOBAND_DITHER_NONE = 0,      /* rounded, a tie to the even value: a new handle's way */
    TWOBAND_DITHER_TRIANGULAR = 1 /* TPDF dither of +-1 step, then rounded (as twoband(1)) */
};

/* A handle for `channels` channels (1 to 65535) with `settings` (NULL: the defaults),
 * in the fresh state of a new pass. NULL on failure, with the code in *error when
 * error is not NULL. */
TWOBAND_API twoband *twoband_new(const twoband_settings *settings, unsigned channels, int *error);

/* New settings from the next frame processed; on an error the handle keeps its own.
 * Allocates nothing; may be called between any two process calls. */
TWOBAND_API int twoband_set_settings(twoband *tb, const twoband_settings *settings);

/* Back to the fresh state of a new pass, keeping the settings: the same as a new
 * handle. Does nothing for NULL. */
TWOBAND_API void twoband_reset(twoband *tb);

/* Compresses `frames` frames of interleaved 16-bit samples in place (`frames` times
 * the channel count samples). Any count, 0 included; with 0 the buffer may be NULL.
 * However a stream is split into calls, the samples are those of one call. */
TWOBAND_API int twoband_process_s16(twoband *tb, int16_t *interleaved, size_t frames);

/* Compresses `frames` frames of planar float samples: in[c] and out[c] are channel
 * c's `frames` samples; out[c] may be in[c] (no other overlap is allowed). A sample x
 * enters as the 16-bit value round-to-nearest(x * 32768), a tie to the even value,
 * saturated to -32768..32767 (NaN as 0), and leaves as y / 32768; so a float that came
 * from a 16-bit sample gives the 16-bit result. With 0 frames in and out may be NULL. */
TWOBAND_API int twoband_process_f32(twoband *tb, const float *const *in, float *const *out, size_t frames);

/* How twoband_process_f32 brings floats to 16 bits from the next call on. A float on
 * the 16-bit grid (k / 32768) enters as k either way. With TWOBAND_DITHER_TRIANGULAR
 * every other one gets TPDF dither of +-1 step first, from a generator per channel
 * that starts from a fixed seed on twoband_new and twoband_reset and advances only on
 * that channel's samples off the grid: the same stream gives the same samples on
 * every machine, however it is split into calls. */
TWOBAND_API int twoband_set_dither(twoband *tb, int dither);

/* The gains in force after the last frame processed, for a display: the master gain
 * (which scales both high bands) and the four band gains of channel pair `pair`
 * (0 for channels 1+2; an odd last channel, run as the frame (s, s), has equal left and
 * right gains). */
typedef struct twoband_gains {
    float master;
    float high_left;
    float high_right;
    float low_left;
    float low_right;
} twoband_gains;

TWOBAND_API int twoband_get_gains(const twoband *tb, unsigned pair, twoband_gains *gains);

/* Frees the handle; does nothing for NULL. */
TWOBAND_API void twoband_free(twoband *tb);

/* What an error code means, in English; never NULL. */
TWOBAND_API const char *twoband_strerror(int error);

/* The library's version, "MAJOR.MINOR.PATCH". */
TWOBAND_API const char *twoband_version(void);

#ifdef __cplusplus
}
#endif

#endif /* TWOBAND_TWOBAND_H */
