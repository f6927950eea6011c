#include "support/random.h"

#include <errno.h>
#include <sys/random.h>

bool fillRandom(uint8_t* out, size_t n) {
    if (n > 256) return false;
    ssize_t got;
    // Requests of up to 256 bytes are served whole once the source is initialised; before
    // that the call blocks rather than hand out weak bytes. A signal may interrupt it.
    do got = getrandom(out, n, 0);
    while (got < 0 && errno == EINTR);
    return got == ssize_t(n);
}
