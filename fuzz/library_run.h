/* The library's side of fuzz_library, through its C API only (library_run.c). */
#ifndef TWOBAND_FUZZ_LIBRARY_RUN_H
#define TWOBAND_FUZZ_LIBRARY_RUN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct fuzz_settings {
    float max_gain;
    float recover_speed;
    int feedback_speed;
} fuzz_settings;

/* What a run did: twoband_new's code, twoband_set_settings's, and the first failing
 * process call's (0 for none). */
typedef struct fuzz_outcome {
    int made;
    int changed;
    int processed;
} fuzz_outcome;

/* Compresses `frames` interleaved frames of `channels` channels in place through a
 * new handle with `first`, in calls whose sizes the bytes of `plan` give in turn (the
 * rest in one call when they run out), with `then` set before frame `change_at`; as
 * floats (s / 32768 in, y × 32768 back) when `floats` is set. */
fuzz_outcome library_run(fuzz_settings first, fuzz_settings then, size_t change_at, unsigned channels,
                         int16_t *samples, size_t frames, const uint8_t *plan, size_t plan_size, int floats);

#ifdef __cplusplus
}
#endif

#endif
