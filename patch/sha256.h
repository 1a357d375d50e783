#pragma once
// SHA-256 (FIPS 180-4), for the digest a self-extracting patch carries of its
// payload. Small and dependency-free so that the Windows stub, linked
// statically, carries it too.

#include <array>
#include <cstdint>
#include <span>

namespace Sha256
{
    using Digest = std::array<std::uint8_t, 32>;

    // Hashes any number of byte runs one after the other.
    class Hasher
    {
    public:
        Hasher();
        void update(std::span<const std::uint8_t> bytes);
        // The digest of everything given; the hasher is spent afterwards.
        Digest finish();

    private:
        void block(const std::uint8_t* data);

        std::array<std::uint32_t, 8> mState;
        std::array<std::uint8_t, 64> mBuffer{};
        std::uint64_t mLength = 0; // bytes given so far
    };

    Digest of(std::span<const std::uint8_t> bytes);
} // namespace Sha256
