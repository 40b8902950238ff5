/* The library's side of the benchmark; see library_calls.h. */
#include "library_calls.h"

#include <twoband/twoband.h>

int library_stereo_s16(int16_t *samples, size_t frames, size_t block) {
    int error = 0;
    twoband *tb = twoband_new(NULL, 2, &error);
    for (size_t done = 0; tb != NULL && error == TWOBAND_OK && done < frames; done += block) {
        const size_t count = frames - done < block ? frames - done : block;
        error = twoband_process_s16(tb, samples + 2 * done, count);
    }
    twoband_free(tb);
    return error;
}

int library_stereo_f32(const float *const *in, float *const *out, size_t frames, size_t block) {
    int error = 0;
    twoband *tb = twoband_new(NULL, 2, &error);
    for (size_t done = 0; tb != NULL && error == TWOBAND_OK && done < frames; done += block) {
        const size_t count = frames - done < block ? frames - done : block;
        const float *const from[2] = {in[0] + done, in[1] + done};
        float *const to[2] = {out[0] + done, out[1] + done};
        error = twoband_process_f32(tb, from, to, count);
    }
    twoband_free(tb);
    return error;
}
