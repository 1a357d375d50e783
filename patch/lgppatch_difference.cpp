// Difference data: the compact description of a new byte sequence in terms of
// an old one, read position by position in step.

#include "lgppatch.h"

#include "errors/errors.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace
{
    // Copy runs cover at most 256 equal bytes: the item holds run length - 1.
    constexpr std::size_t MaxRun = 256;

    // Number of leading bytes that agree, at most count. Compares a machine
    // word at a time: patches are made from mostly-equal files, so nearly all
    // the time goes here.
    std::size_t equalPrefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t count)
    {
        std::size_t i = 0;
        while (count - i >= 8)
        {
            std::uint64_t x, y;
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            if (const std::uint64_t diff = x ^ y)
            {
                if constexpr (std::endian::native == std::endian::little)
                    return i + static_cast<std::size_t>(std::countr_zero(diff)) / 8;
                else
                    return i + static_cast<std::size_t>(std::countl_zero(diff)) / 8;
            }
            i += 8;
        }
        while (i < count && a[i] == b[i])
            ++i;
        return i;
    }
}

std::optional<std::vector<std::uint8_t>> MakeDifference(std::span<const std::uint8_t> oldData,
                                                        std::span<const std::uint8_t> newData)
{
    const std::size_t common = std::min(oldData.size(), newData.size());
    const std::uint8_t* a = oldData.data();
    const std::uint8_t* b = newData.data();

    std::vector<std::uint8_t> out;
    out.reserve(common / 64 + 16);
    std::size_t controlAt = 0; // index of the current group's control byte
    unsigned items = 0;        // items in the current group
    unsigned control = 0;
    bool literalSeen = false;

    std::size_t pos = 0;
    while (pos < common)
    {
        if (items == 0)
        {
            controlAt = out.size();
            out.push_back(0);
        }
        const std::size_t m = std::min(MaxRun, common - pos);
        const std::size_t equal = equalPrefix(a + pos, b + pos, m);
        if (equal == 0)
        {
            out.push_back(b[pos]);
            control |= 1u << items;
            literalSeen = true;
            ++pos;
        }
        else
        {
            out.push_back(static_cast<std::uint8_t>(equal - 1));
            pos += equal;
        }
        if (++items == 8)
        {
            out[controlAt] = static_cast<std::uint8_t>(control);
            items = 0;
            control = 0;
        }
    }
    if (items > 0)
        out[controlAt] = static_cast<std::uint8_t>(control);
    if (!literalSeen)
        return std::nullopt;
    return out;
}

std::unique_ptr<TMemoryStream> MakeDifference(TMemoryStream& oldData, TMemoryStream& newData)
{
    auto difference = MakeDifference(oldData.Bytes(), newData.Bytes());
    if (!difference)
        return nullptr;
    return std::make_unique<TMemoryStream>(std::move(*difference));
}

std::vector<std::uint8_t> ApplyDifference(std::span<const std::uint8_t> oldData,
                                          std::span<const std::uint8_t> difference)
{
    std::vector<std::uint8_t> out;
    out.reserve(oldData.size());
    const std::size_t oldSize = oldData.size();
    const std::size_t end = difference.size();
    std::size_t oldPos = 0;
    std::size_t in = 0;
    unsigned control = 0;
    int bitsLeft = 0;

    while (in < end)
    {
        if (bitsLeft == 0)
        {
            control = difference[in++];
            bitsLeft = 8;
            // A control byte is always followed by at least one item.
            if (in == end)
                lgp::FailRead();
        }
        const std::uint8_t item = difference[in++];
        if (control & 1)
        {
            out.push_back(item);
            ++oldPos; // passes over one old byte, even past the old data's end
        }
        else
        {
            const std::size_t run = std::size_t(item) + 1;
            // A run past the old data's end means the patch was made for other data.
            if (oldPos > oldSize || run > oldSize - oldPos)
                lgp::FailRead();
            out.insert(out.end(), oldData.begin() + static_cast<std::ptrdiff_t>(oldPos),
                       oldData.begin() + static_cast<std::ptrdiff_t>(oldPos + run));
            oldPos += run;
        }
        control >>= 1;
        --bitsLeft;
    }
    return out;
}

std::unique_ptr<TMemoryStream> ApplyDifference(TMemoryStream& oldData, TMemoryStream& difference)
{
    return std::make_unique<TMemoryStream>(ApplyDifference(oldData.Bytes(), difference.Bytes()));
}
