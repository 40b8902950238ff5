/* The library's side of the benchmark, through its C API only (library_calls.c): a
 * fresh stereo handle with the default settings over a whole stream, in calls of
 * `block` frames. Both return 0, or the first error code. */
#ifndef TWOBAND_BENCH_LIBRARY_CALLS_H
#define TWOBAND_BENCH_LIBRARY_CALLS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Interleaved 16-bit stereo samples, in place. */
int library_stereo_s16(int16_t *samples, size_t frames, size_t block);

/* Planar float stereo, from in[0], in[1] to out[0], out[1]. */
int library_stereo_f32(const float *const *in, float *const *out, size_t frames, size_t block);

#ifdef __cplusplus
}
#endif

#endif
