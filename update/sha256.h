// SHA-256 (FIPS 180-4), for the check of the embedded firmware image against
// the digest recorded when it was built.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest Sha256(const std::uint8_t* data, std::size_t size);
