// Loaded ahead of the C library into a run of twoband (LD_PRELOAD): the file system
// keeps no extended attributes, as FAT and some network shares do not.

#include <sys/types.h>

#include <cerrno>
#include <cstddef>

extern "C" int fsetxattr(int, const char*, const void*, std::size_t, int) {
    errno = ENOTSUP;
    return -1;
}

extern "C" ssize_t fgetxattr(int, const char*, void*, std::size_t) {
    errno = ENOTSUP;
    return -1;
}
