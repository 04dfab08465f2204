// net_random_posix.cpp - net_random_bytes for native builds: the kernel's random source. (A file
// of its own so the frame fuzzer can link a reproducible source in its place.)
#include <sys/random.h>

#include <cerrno>

#include "net_crypto.h"

int32_t net_random_bytes(void* out, size_t size) {
    uint8_t* p = (uint8_t*)out;
    while (size > 0) {
        ssize_t n = getrandom(p, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        p += n;
        size -= (size_t)n;
    }
    return 0;
}
