// Loaded ahead of the C library into a run of twoband (LD_PRELOAD): every fsync fails,
// as on a disk that cannot keep what was written.

#include <cerrno>

extern "C" int fsync(int) {
    errno = EIO;
    return -1;
}
