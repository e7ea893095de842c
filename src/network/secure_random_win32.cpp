#include "secure_random.h"

#include <windows.h>
#include <bcrypt.h>

#include <climits>

bool secureRandomBytes(std::uint8_t* out, std::size_t size) {
    while (size > 0) {
        ULONG chunk = size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(size);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
        out += chunk;
        size -= chunk;
    }
    return true;
}
