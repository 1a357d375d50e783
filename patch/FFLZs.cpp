#include "FFLZs.h"

#include "DebugLog.h"
#include "core/lebytes.h"
#include "errors/errors.h"

#include <algorithm>
#include <cstring>

namespace
{
    // A reference names a slot of the 4,096-byte window; the slot of output
    // byte p is (p + 4078) mod 4096, hence the 18 in the distance.
    constexpr std::int64_t WindowSize = 4096;
    constexpr std::int64_t WindowBias = 18;
    // The longest reference, and the most one group can produce.
    constexpr std::size_t MaxReference = 18;
    constexpr std::size_t MaxGroupOutput = 8 * MaxReference;

    // The whole stream as bytes, from its first byte; the position is restored.
    std::vector<std::uint8_t> wholeStream(TStream& stream)
    {
        const std::int64_t saved = stream.Position();
        const std::int64_t size = stream.Size();
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
        stream.SetPosition(0);
        if (size > 0)
            stream.ReadBuffer(bytes.data(), bytes.size());
        stream.SetPosition(saved);
        return bytes;
    }

    // Bytes in memory are decoded in place; anything else is read first.
    template <typename Fn> auto withBytes(TStream& stream, Fn&& fn)
    {
        const TByteSource& source = stream.Source();
        if (const std::uint8_t* memory = source.Memory())
            return fn(std::span<const std::uint8_t>(memory, static_cast<std::size_t>(source.Size())));
        const std::vector<std::uint8_t> bytes = wholeStream(stream);
        return fn(std::span<const std::uint8_t>(bytes));
    }
}

bool LooksLikeLzs(std::span<const std::uint8_t> data)
{
    // Too short to hold the length field: plain data, not a read failure.
    if (data.size() < 4)
        return false;
    return static_cast<std::int64_t>(lgp::GetLE<std::int32_t>(data, 0)) == static_cast<std::int64_t>(data.size()) - 4;
}

bool LooksLikeLzs(TStream& data)
{
    const std::int64_t size = data.Size();
    if (size < 4)
        return false;
    const std::int64_t saved = data.Position();
    std::uint8_t head[4];
    data.SetPosition(0);
    data.ReadBuffer(head, sizeof head);
    data.SetPosition(saved);
    return static_cast<std::int64_t>(lgp::GetLE<std::int32_t>(head, 0)) == size - 4;
}

std::vector<std::uint8_t> LzsDecode(std::span<const std::uint8_t> lzs)
{
    DebugLog("Setup to decompress");
    const std::uint8_t* src = lzs.data();
    const std::size_t end = lzs.size();
    std::size_t in = 4; // the payload length field is not consulted

    // Output is written through a raw index into a buffer kept at least one
    // group's worth larger than what has been produced, then cut to size.
    // Reserving 8x the input lets most files decode without the output being
    // moved; the reservation is capped so that large inputs (mostly stored,
    // literal-only data that doesn't expand) don't map fresh memory that is
    // never used. The buffer is sized, and so zero-filled, a slice at a time
    // just ahead of the writes.
    constexpr std::size_t Slice = 64 * 1024;
    constexpr std::size_t MaxReservation = 24u << 20;
    std::vector<std::uint8_t> out;
    out.reserve(std::min(end * 8, std::max(MaxReservation, end + end / 4)));
    std::size_t n = 0;

    while (in < end)
    {
        if (out.size() - n < MaxGroupOutput)
            out.resize(out.size() + Slice);
        std::uint8_t* o = out.data();
        unsigned control = src[in++];
        // A control byte must be followed by at least one item.
        if (in == end)
            lgp::FailRead();

        // Eight literals in a row, all present: the common case of stored data.
        if (control == 0xFF && end - in >= 8)
        {
            std::memcpy(o + n, src + in, 8);
            n += 8;
            in += 8;
            continue;
        }

        for (int bit = 0; bit < 8 && in < end; ++bit, control >>= 1)
        {
            if (control & 1)
            {
                o[n++] = src[in++];
                continue;
            }
            if (end - in < 2)
                lgp::FailRead();
            const unsigned b1 = src[in];
            const unsigned b2 = src[in + 1];
            in += 2;
            const std::int64_t offset = static_cast<std::int64_t>(b1 | (b2 & 0xF0u) << 4);
            const std::size_t length = (b2 & 0x0Fu) + 3;
            // Distance 0 names the slot about to be written, which still holds
            // the byte 4,096 back (or the window's initial zero).
            std::int64_t d = (static_cast<std::int64_t>(n) - offset - WindowBias) & (WindowSize - 1);
            if (d == 0)
                d = WindowSize;
            const auto distance = static_cast<std::size_t>(d);
            // Each branch may write up to 18 bytes whatever the length: the
            // buffer has a group's worth of room, and bytes past the item are
            // overwritten by the next items or cut off at the end. Fixed-size
            // copies compile to a few moves.
            if (distance > n)
            {
                // Starts before the first output byte, in window slots that
                // still hold their zero fill; the copy reads zeros until it
                // reaches the first output byte and output bytes from there on
                // (possibly ones this reference has just produced). Only the
                // first 4,095 bytes of output can get here.
                std::memset(o + n, 0, MaxReference);
                for (std::size_t k = distance - n; k < length; ++k)
                    o[n + k] = o[n + k - distance];
            }
            else if (distance >= MaxReference)
            {
                std::memcpy(o + n, o + n - distance, MaxReference);
            }
            else
            {
                // Possibly overlapping: repeats the last `distance` bytes.
                const std::uint8_t* from = o + n - distance;
                for (std::size_t k = 0; k < length; ++k)
                    o[n + k] = from[k];
            }
            n += length;
        }
    }
    out.resize(n);
    DebugLog("Done!");
    return out;
}

std::unique_ptr<TMemoryStream> LzsDecompress(TStream& source)
{
    return std::make_unique<TMemoryStream>(
        withBytes(source, [](std::span<const std::uint8_t> bytes) { return LzsDecode(bytes); }));
}

std::vector<std::uint8_t> LzsEncodeLiterals(std::span<const std::uint8_t> data)
{
    const std::size_t n = data.size();
    const std::size_t payload = n + (n + 7) / 8;
    if (payload > 0x7FFFFFFFu)
        lgp::Fail("The data is too large to store as LZS.");
    std::vector<std::uint8_t> out(4 + payload);
    lgp::PutLE(out, 0, static_cast<std::int32_t>(payload));
    std::uint8_t* o = out.data() + 4;
    for (std::size_t i = 0; i < n; i += 8)
    {
        const std::size_t block = std::min<std::size_t>(8, n - i);
        *o++ = 0xFF;
        std::memcpy(o, data.data() + i, block);
        o += block;
    }
    return out;
}

std::unique_ptr<TMemoryStream> LzsStore(TStream& source)
{
    return std::make_unique<TMemoryStream>(
        withBytes(source, [](std::span<const std::uint8_t> bytes) { return LzsEncodeLiterals(bytes); }));
}
