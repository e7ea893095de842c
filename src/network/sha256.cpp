#include "sha256.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline std::uint32_t loadBigEndian(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

// Compresses whole 64-byte blocks. The message schedule is kept as a rolling
// window of 16 words, and the eight working variables rotate by renaming
// through the macro rather than by moving values, which is what lets the
// compiler keep everything in registers.
void compress(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks) {
    while (blocks--) {
        std::uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = loadBigEndian(data + 4 * i);
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        // b ^ c of the next round is a ^ b of this one, so majority costs two
        // operations instead of four.
        std::uint32_t bc = b ^ c;

#define TVX_SHA_ROUND(a, b, c, d, e, f, g, h, k, x)                                     \
    do {                                                                               \
        std::uint32_t t1 = (h + (k) + (x)) + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + (g ^ (e & (f ^ g))); \
        std::uint32_t ab = a ^ b;                                                      \
        std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + (b ^ (ab & bc));  \
        bc = ab;                                                                       \
        d += t1;                                                                       \
        h = t1 + t2;                                                                   \
    } while (0)
#define TVX_SHA_EXPAND(i)                                                               \
    (w[(i) & 15] += (rotr(w[((i) + 14) & 15], 17) ^ rotr(w[((i) + 14) & 15], 19) ^ (w[((i) + 14) & 15] >> 10)) + \
                    w[((i) + 9) & 15] +                                                \
                    (rotr(w[((i) + 1) & 15], 7) ^ rotr(w[((i) + 1) & 15], 18) ^ (w[((i) + 1) & 15] >> 3)))
#define TVX_SHA_EIGHT(i, X)                                                             \
    TVX_SHA_ROUND(a, b, c, d, e, f, g, h, kRound[(i) + 0], X((i) + 0));                \
    TVX_SHA_ROUND(h, a, b, c, d, e, f, g, kRound[(i) + 1], X((i) + 1));                \
    TVX_SHA_ROUND(g, h, a, b, c, d, e, f, kRound[(i) + 2], X((i) + 2));                \
    TVX_SHA_ROUND(f, g, h, a, b, c, d, e, kRound[(i) + 3], X((i) + 3));                \
    TVX_SHA_ROUND(e, f, g, h, a, b, c, d, kRound[(i) + 4], X((i) + 4));                \
    TVX_SHA_ROUND(d, e, f, g, h, a, b, c, kRound[(i) + 5], X((i) + 5));                \
    TVX_SHA_ROUND(c, d, e, f, g, h, a, b, kRound[(i) + 6], X((i) + 6));                \
    TVX_SHA_ROUND(b, c, d, e, f, g, h, a, kRound[(i) + 7], X((i) + 7))
#define TVX_SHA_PLAIN(i) w[(i)&15]

        TVX_SHA_EIGHT(0, TVX_SHA_PLAIN);
        TVX_SHA_EIGHT(8, TVX_SHA_PLAIN);
        TVX_SHA_EIGHT(16, TVX_SHA_EXPAND);
        TVX_SHA_EIGHT(24, TVX_SHA_EXPAND);
        TVX_SHA_EIGHT(32, TVX_SHA_EXPAND);
        TVX_SHA_EIGHT(40, TVX_SHA_EXPAND);
        TVX_SHA_EIGHT(48, TVX_SHA_EXPAND);
        TVX_SHA_EIGHT(56, TVX_SHA_EXPAND);
#undef TVX_SHA_PLAIN
#undef TVX_SHA_EIGHT
#undef TVX_SHA_EXPAND
#undef TVX_SHA_ROUND

        state[0] += a; state[1] += b; state[2] += c; state[3] += d;
        state[4] += e; state[5] += f; state[6] += g; state[7] += h;
        data += 64;
    }
}

}  // namespace

void Sha256::reset() {
    state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    blockUsed_ = 0;
    totalBytes_ = 0;
}

void Sha256::update(const void* data, std::size_t size) {
    auto p = static_cast<const std::uint8_t*>(data);
    totalBytes_ += size;
    if (blockUsed_ != 0) {
        std::size_t take = std::min(size, block_.size() - blockUsed_);
        std::memcpy(block_.data() + blockUsed_, p, take);
        blockUsed_ += take;
        p += take;
        size -= take;
        if (blockUsed_ < block_.size()) return;
        compress(state_.data(), block_.data(), 1);
        blockUsed_ = 0;
    }
    if (size >= 64) {
        compress(state_.data(), p, size / 64);
        p += size & ~std::size_t(63);
        size &= 63;
    }
    if (size != 0) {
        std::memcpy(block_.data(), p, size);
        blockUsed_ = size;
    }
}

Sha256::Digest Sha256::finish() {
    std::uint64_t bits = totalBytes_ * 8;
    std::uint8_t pad[72] = {0x80};
    // Pad to 56 mod 64, then the message length in bits, big-endian.
    std::size_t padSize = (blockUsed_ < 56 ? 56 : 120) - blockUsed_;
    for (int i = 0; i < 8; ++i) pad[padSize + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    update(pad, padSize + 8);
    Digest out;
    for (int i = 0; i < 8; ++i) {
        out[4 * i] = static_cast<std::uint8_t>(state_[i] >> 24);
        out[4 * i + 1] = static_cast<std::uint8_t>(state_[i] >> 16);
        out[4 * i + 2] = static_cast<std::uint8_t>(state_[i] >> 8);
        out[4 * i + 3] = static_cast<std::uint8_t>(state_[i]);
    }
    return out;
}

Sha256::Digest Sha256::digest(std::string_view data) {
    Sha256 sha;
    sha.update(data);
    return sha.finish();
}

std::string Sha256::toHex(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

std::string Sha256::hex(std::string_view data) { return toHex(digest(data)); }
