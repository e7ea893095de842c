#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "network/sha256.h"

// A million bytes in ten-byte pieces: far longer than the comparison below.
TEST(Sha256, PublishedMillionAs) {
    Sha256 sha;
    for (int i = 0; i < 100000; ++i) sha.update(std::string(10, 'a'));
    EXPECT_EQ(Sha256::toHex(sha.finish()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Every length from 0 to 10,000 bytes crosses each padding case; fed whole
// and in uneven pieces, so the partial-block path is covered too.
TEST(Sha256, AgreesWithOpenSslOnRandomLengths) {
    std::mt19937 gen(20240611);
    std::string data(10000, '\0');
    for (char& c : data) c = static_cast<char>(gen());
    for (std::size_t n = 0; n <= data.size(); n += (n < 300 ? 1 : 1 + gen() % 97)) {
        unsigned char expected[SHA256_DIGEST_LENGTH];
        SHA256(reinterpret_cast<const unsigned char*>(data.data()), n, expected);
        Sha256::Digest whole = Sha256::digest(std::string_view(data).substr(0, n));
        ASSERT_EQ(0, std::memcmp(whole.data(), expected, sizeof expected)) << n;

        Sha256 pieces;
        for (std::size_t at = 0; at < n;) {
            std::size_t take = std::min<std::size_t>(n - at, 1 + gen() % 130);
            pieces.update(data.data() + at, take);
            at += take;
        }
        ASSERT_EQ(pieces.finish(), whole) << n;
    }
}
