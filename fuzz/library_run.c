/* The library's side of fuzz_library; see library_run.h. */
#include "library_run.h"

#include <stdlib.h>

#include <twoband/twoband.h>

static int process(twoband *tb, int16_t *samples, float **planes, float **at, size_t from, size_t count,
                   unsigned channels, int floats) {
    if (!floats) return twoband_process_s16(tb, samples + from * channels, count);
    for (unsigned c = 0; c < channels; ++c) at[c] = planes[c] + from;
    return twoband_process_f32(tb, (const float *const *)at, at, count);
}

fuzz_outcome library_run(fuzz_settings first, fuzz_settings then, size_t change_at, unsigned channels,
                         int16_t *samples, size_t frames, const uint8_t *plan, size_t plan_size, int floats) {
    fuzz_outcome outcome = {-1, -1, 0};
    const twoband_settings made = {first.max_gain, first.recover_speed, first.feedback_speed};
    const twoband_settings changed = {then.max_gain, then.recover_speed, then.feedback_speed};
    twoband *tb = twoband_new(&made, channels, &outcome.made);
    if (tb == NULL) return outcome;
    float **planes = calloc(channels, sizeof *planes), **at = calloc(channels, sizeof *at);
    for (unsigned c = 0; floats && c < channels; ++c) {
        planes[c] = malloc((frames + 1) * sizeof(float));
        for (size_t f = 0; f < frames; ++f) planes[c][f] = samples[f * channels + c] / 32768.0f;
    }
    size_t done = 0, step = 0;
    while (outcome.processed == 0 && done < frames) {
        size_t count = step < plan_size ? plan[step++] : frames - done;
        if (done < change_at && done + count > change_at) count = change_at - done;
        if (done + count > frames) count = frames - done;
        if (done == change_at) outcome.changed = twoband_set_settings(tb, &changed);
        outcome.processed = process(tb, samples, planes, at, done, count, channels, floats);
        done += count;
    }
    if (outcome.changed == -1) outcome.changed = twoband_set_settings(tb, &changed);
    for (unsigned c = 0; floats && c < channels; ++c) {
        for (size_t f = 0; f < frames; ++f) samples[f * channels + c] = (int16_t)(planes[c][f] * 32768.0f);
        free(planes[c]);
    }
    free(planes);
    free(at);
    twoband_free(tb);
    return outcome;
}
