#pragma once
// Little-endian fields in byte buffers: every integer of the archive layout,
// the LZS length, the self-extractor's trailer, the texture and model headers
// and the program headers the stub measures is read and written here.
//
// Each access names the buffer and the field's offset in it and is checked
// against the buffer's end before a byte is touched: a field that doesn't lie
// wholly inside fails with "Stream read error" (reading) or "Stream write
// error" (writing), never reaching past the buffer. Offsets are 64-bit, so an
// offset computed from damaged data can't wrap into the buffer.
//
// Standard library and the core's failure texts only.

#include "errors/errors.h"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

namespace lgp
{
    // Whether count bytes at offset lie inside a buffer of size bytes.
    constexpr bool FieldFits(std::size_t size, std::uint64_t offset, std::uint64_t count)
    {
        return offset <= size && count <= size - offset;
    }

    // The value of the sizeof(T) bytes at offset, lowest byte first; a signed
    // T takes them as two's complement.
    template <std::integral T> T GetLE(std::span<const std::uint8_t> bytes, std::uint64_t offset)
    {
        if (!FieldFits(bytes.size(), offset, sizeof(T)))
            FailRead();
        using U = std::make_unsigned_t<T>;
        const std::uint8_t* p = bytes.data() + offset;
        U value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            value = static_cast<U>(value | static_cast<U>(static_cast<U>(p[i]) << (8 * i)));
        return static_cast<T>(value);
    }

    // Writes value into the sizeof(T) bytes at offset, lowest byte first.
    template <std::integral T> void PutLE(std::span<std::uint8_t> bytes, std::uint64_t offset, T value)
    {
        if (!FieldFits(bytes.size(), offset, sizeof(T)))
            FailWrite();
        const auto v = static_cast<std::make_unsigned_t<T>>(value);
        std::uint8_t* p = bytes.data() + offset;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }

    // Adds value's sizeof(T) bytes at the end of out, lowest byte first.
    template <std::integral T> void AppendLE(std::vector<std::uint8_t>& out, T value)
    {
        out.resize(out.size() + sizeof(T));
        PutLE(std::span<std::uint8_t>(out), out.size() - sizeof(T), value);
    }
} // namespace lgp
