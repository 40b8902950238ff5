/*
 * compress_stream: compresses raw interleaved 16-bit samples (the machine's byte
 * order) from standard input to standard output with libtwoband.
 *
 *   cc compress_stream.c $(pkg-config --cflags --libs twoband) -o compress_stream
 *   ffmpeg -i in.wav -f s16le - | ./compress_stream 2 | ffplay -f s16le -ac 2 -ar 44100 -
 *
 * Usage: compress_stream [CHANNELS [MAXGAIN RECOVERSPEED FEEDBACKSPEED]]
 * (CHANNELS defaults to 2, the settings to the library's defaults). A partial frame
 * at the end of the stream is written as it came.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <twoband/twoband.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char **argv) {
    twoband_settings settings = TWOBAND_SETTINGS_DEFAULT;
    const unsigned channels = argc > 1 ? (unsigned)strtoul(argv[1], NULL, 10) : 2;
    if (argc == 5) {
        settings.max_gain = strtof(argv[2], NULL);
        settings.recover_speed = strtof(argv[3], NULL);
        settings.feedback_speed = atoi(argv[4]);
    } else if (argc > 2) {
        fprintf(stderr, "usage: %s [CHANNELS [MAXGAIN RECOVERSPEED FEEDBACKSPEED]]\n", argv[0]);
        return 2;
    }
    int error = 0;
    twoband *tb = twoband_new(&settings, channels, &error);
    if (tb == NULL) {
        fprintf(stderr, "%s: %s\n", argv[0], twoband_strerror(error));
        return 1;
    }
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif

    enum { kFrames = 4096 };
    const size_t frame_bytes = channels * sizeof(int16_t);
    char *buffer = malloc(kFrames * frame_bytes);
    int ok = buffer != NULL;
    size_t held = 0; /* bytes read and not yet written: at most a partial frame */
    size_t got;
    while (ok && (got = fread(buffer + held, 1, kFrames * frame_bytes - held, stdin)) > 0) {
        held += got;
        const size_t frames = held / frame_bytes;
        twoband_process_s16(tb, (int16_t *)buffer, frames);
        ok = fwrite(buffer, frame_bytes, frames, stdout) == frames;
        held -= frames * frame_bytes;
        memmove(buffer, buffer + frames * frame_bytes, held);
    }
    ok = ok && !ferror(stdin) && fwrite(buffer, 1, held, stdout) == held && fflush(stdout) == 0;
    if (!ok) fprintf(stderr, "%s: %s\n", argv[0], buffer == NULL ? "out of memory" : "cannot read or write");
    free(buffer);
    twoband_free(tb);
    return ok ? 0 : 1;
}
