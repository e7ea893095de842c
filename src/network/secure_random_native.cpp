#include "secure_random.h"

#include <sys/random.h>

#include <cerrno>

bool secureRandomBytes(std::uint8_t* out, std::size_t size) {
    while (size > 0) {
        ssize_t n = getrandom(out, size, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}
