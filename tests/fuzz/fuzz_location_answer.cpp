// The location service's answers, in both forms: they come over the network
// and are as untrusted as anything from the remote host. No answer may throw;
// a record keeps the expiry it was given.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "network/location_lookup.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tvxfuzz::startLogging();
    const std::string answer(reinterpret_cast<const char*>(data), size);
    for (bool byAddress : {false, true}) {
        auto record = parseLocationAnswer(answer, byAddress, 1700000000);
        if (record && record->expires != 1700000000 + 86400) tvxfuzz::broken("expiry");
    }
    return 0;
}
