// Bytes from the operating system's cryptographic random source.
#pragma once

#include <cstddef>
#include <cstdint>

// False when the source failed; the buffer is then unspecified.
bool secureRandomBytes(std::uint8_t* out, std::size_t size);
