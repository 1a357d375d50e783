#pragma once
// The LZS codec of the game's compressed files.
//
// LZS data: int32 payload length, then groups of one control byte (bit k set:
// item k is a literal byte; clear: a 2-byte reference) and up to eight items.
// Reference b1 b2: offset = b1 | (b2 >> 4) << 8 (a slot of a 4,096-byte window),
// length = (b2 & 0x0F) + 3. With n bytes produced, the back distance is
// d = (n - offset - 18) mod 4096. A copy that starts before the first output
// byte reads the window's zero fill there and the bytes produced from the first
// output byte on.

#include "core/streams.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// The LZS probe: the first 4 bytes, as int32, equal the length minus 4. Data
// of 0 to 3 bytes is plain data (false). Reads from the stream's start; the
// position is restored.
bool LooksLikeLzs(TStream& data);
bool LooksLikeLzs(std::span<const std::uint8_t> data);

// Decodes the whole stream from offset 4 to its end (the length field is not
// consulted). "Stream read error" when the data end inside an item.
std::unique_ptr<TMemoryStream> LzsDecompress(TStream& source);
std::vector<std::uint8_t> LzsDecode(std::span<const std::uint8_t> lzs);

// The whole source compressed with back references into the 4,096-byte window
// (lengths 3 to 18), the window's zero fill included. Matches are found
// through hash chains of 3-byte prefixes and the items chosen by the cheapest
// parse (a literal costs 9 bits, a reference 17) over blocks of 64 KiB.
std::unique_ptr<TMemoryStream> LzsCompress(TStream& source);
std::vector<std::uint8_t> LzsEncode(std::span<const std::uint8_t> data);

// The whole source as literal-only LZS: 4 + n + ceil(n / 8) bytes.
std::unique_ptr<TMemoryStream> LzsStore(TStream& source);
std::vector<std::uint8_t> LzsEncodeLiterals(std::span<const std::uint8_t> data);
