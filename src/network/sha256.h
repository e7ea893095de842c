// SHA-256 (FIPS 180-4): signs the location service's requests. Our own so the
// plug-in needs no crypto library beside the system's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256() { reset(); }
    void reset();
    void update(const void* data, std::size_t size);
    void update(std::string_view text) { update(text.data(), text.size()); }
    // Finishes the message; the object must be reset before it is used again.
    Digest finish();

    static Digest digest(std::string_view data);
    // 64 lower-case hexadecimal digits.
    static std::string hex(std::string_view data);
    static std::string toHex(const Digest& digest);

private:
    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> block_;
    std::size_t blockUsed_;
    std::uint64_t totalBytes_;
};
