/*
 * library_host: a small host of libtwoband for comparing builds (Linux against the
 * Windows DLL under Wine). Compresses raw interleaved 16-bit samples from standard
 * input to standard output, in calls of pseudo-random sizes (0, 1, odd, large) drawn
 * from SEED (0: one call), as 16-bit samples in place or as planar floats (in place
 * for an odd SEED), with the settings changed before the frames given.
 *
 * Usage: library_host CHANNELS s16|f32 SEED [FRAME MAXGAIN RECOVERSPEED FEEDBACKSPEED]...
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <twoband/twoband.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

static size_t call_size(unsigned *state, size_t left) {
    *state = *state * 1103515245u + 12345u;
    const unsigned r = *state >> 8;
    const size_t sizes[4] = {0, 1, 2 * (r / 4 % 500) + 3, 20000 + r / 4 % 50000};
    const size_t frames = sizes[r % 4];
    return frames < left ? frames : left;
}

static int fail(const char *what) {
    fprintf(stderr, "library_host: %s\n", what);
    return 1;
}

int main(int argc, char **argv) {
    if (argc < 4 || (argc - 4) % 4 != 0) {
        return fail("usage: library_host CHANNELS s16|f32 SEED [FRAME MAXGAIN RECOVERSPEED FEEDBACKSPEED]...");
    }
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const unsigned channels = (unsigned)strtoul(argv[1], NULL, 10);
    const int floats = strcmp(argv[2], "f32") == 0;
    const unsigned seed = (unsigned)strtoul(argv[3], NULL, 10);
    int error = 0;
    twoband *tb = twoband_new(NULL, channels, &error);
    if (tb == NULL) return fail(twoband_strerror(error));

    /* The whole stream in memory. */
    size_t length = 0, capacity = 1 << 20;
    char *bytes = malloc(capacity);
    for (size_t got; bytes != NULL && (got = fread(bytes + length, 1, capacity - length, stdin)) > 0;) {
        length += got;
        if (length == capacity) bytes = realloc(bytes, capacity *= 2);
    }
    if (bytes == NULL) return fail("out of memory");
    const size_t frames = length / (channels * sizeof(int16_t));
    int16_t *samples = (int16_t *)bytes;
    float **in = calloc(channels, sizeof *in), **out = calloc(channels, sizeof *out);
    float **in_at = calloc(channels, sizeof *in_at), **out_at = calloc(channels, sizeof *out_at);
    for (unsigned c = 0; floats && c < channels; ++c) {
        in[c] = malloc((frames + 1) * sizeof(float));
        out[c] = seed % 2 == 1 ? in[c] : malloc((frames + 1) * sizeof(float));
        if (in[c] == NULL || out[c] == NULL) return fail("out of memory");
        for (size_t f = 0; f < frames; ++f) in[c][f] = samples[f * channels + c] / 32768.0f;
    }

    unsigned state = seed;
    int next_change = 4;
    for (size_t done = 0; done < frames || done == 0;) {
        while (next_change < argc && strtoull(argv[next_change], NULL, 10) <= done) {
            const twoband_settings settings = {strtof(argv[next_change + 1], NULL), strtof(argv[next_change + 2], NULL),
                                               atoi(argv[next_change + 3])};
            const int code = twoband_set_settings(tb, &settings);
            if (code != TWOBAND_OK) fprintf(stderr, "library_host: at frame %zu: %s\n", done, twoband_strerror(code));
            next_change += 4;
        }
        const size_t until = next_change < argc ? (size_t)strtoull(argv[next_change], NULL, 10) : frames;
        const size_t left = (until < frames ? until : frames) - done;
        const size_t count = seed == 0 ? left : call_size(&state, left);
        for (unsigned c = 0; floats && c < channels; ++c) {
            in_at[c] = in[c] + done;
            out_at[c] = out[c] + done;
        }
        const int code = floats ? twoband_process_f32(tb, (const float *const *)in_at, out_at, count)
                                : twoband_process_s16(tb, samples + done * channels, count);
        if (code != TWOBAND_OK) return fail(twoband_strerror(code));
        done += count;
        if (frames == 0) break;
    }
    for (size_t f = 0; floats && f < frames; ++f) {
        for (unsigned c = 0; c < channels; ++c) samples[f * channels + c] = (int16_t)(out[c][f] * 32768.0f);
    }
    if (fwrite(bytes, 1, length, stdout) != length || fflush(stdout) != 0) return fail("cannot write");
    return 0;
}
