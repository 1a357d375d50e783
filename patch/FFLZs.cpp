#include "FFLZs.h"

#include "DebugLog.h"
#include "core/lebytes.h"
#include "errors/errors.h"

#include <algorithm>
#include <bit>
#include <cstdint>
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

namespace
{
    // The encoder works on the data preceded by the window's 4,096 zero
    // bytes, so that references into the zero fill need no special case.
    constexpr std::size_t MinReference = 3;
    constexpr std::size_t Hash3Bits = 14;
    constexpr std::size_t Hash4Bits = 15;
    constexpr std::size_t PreviousMask = 2 * WindowSize - 1;
    // Nodes a tree search visits at most, and 3-byte candidates tried when
    // the tree holds no match of 4 bytes or more.
    constexpr int MaxDepth = 16;
    constexpr int MaxShortTries = 8;
    constexpr std::size_t Block = 64 * 1024;
    constexpr std::uint32_t LiteralCost = 9;
    constexpr std::uint32_t ReferenceCost = 17;

    std::size_t hash3(const std::uint8_t* p)
    {
        const std::uint32_t v = std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
        return (v * 2654435761u) >> (32 - Hash3Bits);
    }

    std::size_t hash4(const std::uint8_t* p)
    {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        return (v * 2654435761u) >> (32 - Hash4Bits);
    }

    // Bytes the encoder's buffer holds past the data, so that matches are
    // measured eight bytes at a time without a bounds check.
    constexpr std::size_t Padding = 24;

    // How many of the first `limit` bytes (at most 18) at a and b agree.
    std::size_t matchLength(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit)
    {
        if constexpr (std::endian::native == std::endian::little)
        {
            for (std::size_t l = 0; l < limit; l += 8)
            {
                std::uint64_t x;
                std::uint64_t y;
                std::memcpy(&x, a + l, 8);
                std::memcpy(&y, b + l, 8);
                if (const std::uint64_t diff = x ^ y)
                    return std::min(limit, l + static_cast<std::size_t>(std::countr_zero(diff) / 8));
            }
            return limit;
        }
        std::size_t l = 0;
        while (l < limit && a[l] == b[l])
            ++l;
        return l;
    }

    // Finds matches through binary trees of the positions in the window
    // (one tree per hash of the first 4 bytes), ordered by the bytes from
    // each position on; a search walks down from the newest position and
    // puts the position it searches for at the root. The longest match of 4
    // bytes or more in the window is found unless the walk is cut at
    // MaxDepth. Matches of 3 bytes come from chains of positions by the hash
    // of their first 3 bytes.
    class MatchFinder
    {
    public:
        // buffer: the window's zero fill, the data, then Padding bytes.
        MatchFinder(std::span<const std::uint8_t> buffer, std::size_t end)
            : m_buffer(buffer.data())
            , m_end(end)
            , m_head(std::size_t(1) << Hash4Bits, -1)
            , m_tree(2 * (PreviousMask + 1), -1)
            , m_head3(std::size_t(1) << Hash3Bits, -1)
            , m_previous3(PreviousMask + 1, -1)
        {
        }

        // The longest match for position p (at least 3, or 0), then p joins
        // the trees. Every position before p must have been visited.
        std::size_t Find(std::int32_t p, std::size_t& distance)
        {
            const std::size_t left = m_end - static_cast<std::size_t>(p);
            if (left < MinReference)
                return 0;
            const std::uint8_t* here = m_buffer + p;
            const std::size_t limit = std::min(left, MaxReference);
            // The oldest position in the window (-1 marks no position).
            const std::int32_t lowest = std::max(p - static_cast<std::int32_t>(WindowSize), 0);
            const std::size_t h = hash4(here);
            std::int32_t candidate = m_head[h];
            m_head[h] = p;
            std::size_t best = 0;
            // Where the next smaller and the next greater position go.
            std::int32_t* smaller = &m_tree[2 * (static_cast<std::size_t>(p) & PreviousMask)];
            std::int32_t* greater = smaller + 1;
            std::size_t smallerLength = 0;
            std::size_t greaterLength = 0;
            for (int depth = MaxDepth;; --depth)
            {
                if (candidate < lowest || depth == 0)
                {
                    *smaller = -1;
                    *greater = -1;
                    break;
                }
                std::int32_t* pair = &m_tree[2 * (static_cast<std::size_t>(candidate) & PreviousMask)];
                const std::uint8_t* c = m_buffer + candidate;
                std::size_t length = std::min(smallerLength, greaterLength);
                length += matchLength(c + length, here + length, limit - length);
                if (length > best)
                {
                    best = length;
                    distance = static_cast<std::size_t>(p - candidate);
                }
                if (length == limit)
                {
                    // The same bytes as far as they are compared: p takes
                    // the candidate's place.
                    *smaller = pair[0];
                    *greater = pair[1];
                    break;
                }
                if (c[length] < here[length])
                {
                    *smaller = candidate;
                    smaller = pair + 1;
                    candidate = *smaller;
                    smallerLength = length;
                }
                else
                {
                    *greater = candidate;
                    greater = pair;
                    candidate = *greater;
                    greaterLength = length;
                }
            }
            const std::size_t h3 = hash3(here);
            if (best < MinReference + 1)
            {
                std::int32_t near = m_head3[h3];
                for (int tries = MaxShortTries; near >= lowest && tries > 0; --tries)
                {
                    if (matchLength(m_buffer + near, here, MinReference) == MinReference)
                    {
                        best = MinReference;
                        distance = static_cast<std::size_t>(p - near);
                        break;
                    }
                    near = m_previous3[static_cast<std::size_t>(near) & PreviousMask];
                }
            }
            m_previous3[static_cast<std::size_t>(p) & PreviousMask] = m_head3[h3];
            m_head3[h3] = p;
            return best >= MinReference ? best : 0;
        }

        void Insert(std::int32_t p)
        {
            std::size_t unused = 0;
            Find(p, unused);
        }

    private:
        const std::uint8_t* m_buffer;
        std::size_t m_end;
        std::vector<std::int32_t> m_head;
        // Two children per position, the smaller then the greater.
        std::vector<std::int32_t> m_tree;
        std::vector<std::int32_t> m_head3;
        std::vector<std::int32_t> m_previous3;
    };

    class ItemWriter
    {
    public:
        explicit ItemWriter(std::vector<std::uint8_t>& out)
            : m_out(out)
        {
        }

        void Literal(std::uint8_t byte)
        {
            Open();
            m_out[m_control] |= static_cast<std::uint8_t>(1u << m_items++);
            m_out.push_back(byte);
        }

        // A reference at output position n (bytes produced so far).
        void Reference(std::size_t n, std::size_t distance, std::size_t length)
        {
            Open();
            ++m_items;
            const auto offset = static_cast<unsigned>(
                (static_cast<std::int64_t>(n) - WindowBias - static_cast<std::int64_t>(distance)) & (WindowSize - 1));
            m_out.push_back(static_cast<std::uint8_t>(offset & 0xFF));
            m_out.push_back(static_cast<std::uint8_t>((offset >> 8) << 4 | (length - MinReference)));
        }

    private:
        void Open()
        {
            if (m_items < 8)
                return;
            m_control = m_out.size();
            m_out.push_back(0);
            m_items = 0;
        }

        std::vector<std::uint8_t>& m_out;
        std::size_t m_control = 0;
        unsigned m_items = 8;
    };
}

std::vector<std::uint8_t> LzsEncode(std::span<const std::uint8_t> data)
{
    const std::size_t n = data.size();
    if (n + (n + 7) / 8 > 0x7FFFFFFFu)
        lgp::Fail("The data is too large to store as LZS.");
    const std::size_t start = static_cast<std::size_t>(WindowSize);
    std::vector<std::uint8_t> buffer(start + n + Padding);
    if (n > 0)
        std::memcpy(buffer.data() + start, data.data(), n);
    MatchFinder finder(buffer, start + n);
    // The last 18 slots of the zero fill stand for all of it: a match from
    // any earlier slot is no longer than one from these.
    for (std::size_t p = start - MaxReference; p < start && p + MinReference <= start + n; ++p)
        finder.Insert(static_cast<std::int32_t>(p));

    std::vector<std::uint8_t> out(4);
    out.reserve(4 + n / 2 + 64);
    ItemWriter writer(out);
    const std::size_t blockSize = std::min(Block, n);
    std::vector<std::uint8_t> lengths(blockSize);
    std::vector<std::uint16_t> distances(blockSize);
    std::vector<std::uint32_t> cost(blockSize + 1);
    std::vector<std::uint8_t> choice(blockSize);
    for (std::size_t blockStart = 0; blockStart < n; blockStart += Block)
    {
        const std::size_t count = std::min(Block, n - blockStart);
        for (std::size_t i = 0; i < count; ++i)
        {
            std::size_t distance = 0;
            lengths[i] =
                static_cast<std::uint8_t>(finder.Find(static_cast<std::int32_t>(start + blockStart + i), distance));
            distances[i] = static_cast<std::uint16_t>(distance);
        }
        // The cheapest items from each position to the block's end; a match
        // of length L offers every length from 3 to L at the same distance.
        cost[count] = 0;
        for (std::size_t i = count; i-- > 0;)
        {
            std::uint32_t best = cost[i + 1] + LiteralCost;
            std::uint8_t chosen = 0;
            const std::size_t longest = std::min<std::size_t>(lengths[i], count - i);
            // The cheapest rest after any of the lengths first (a loop the
            // compiler vectorises), then the longest length reaching it.
            std::uint32_t cheapest = UINT32_MAX;
            for (std::size_t l = MinReference; l <= longest; ++l)
                cheapest = std::min(cheapest, cost[i + l]);
            if (longest >= MinReference && cheapest + ReferenceCost < best)
            {
                best = cheapest + ReferenceCost;
                std::size_t l = longest;
                while (cost[i + l] != cheapest)
                    --l;
                chosen = static_cast<std::uint8_t>(l);
            }
            cost[i] = best;
            choice[i] = chosen;
        }
        for (std::size_t i = 0; i < count;)
        {
            if (choice[i] == 0)
            {
                writer.Literal(data[blockStart + i]);
                ++i;
                continue;
            }
            writer.Reference(blockStart + i, distances[i], choice[i]);
            i += choice[i];
        }
    }
    lgp::PutLE(out, 0, static_cast<std::int32_t>(out.size() - 4));
    return out;
}

std::unique_ptr<TMemoryStream> LzsCompress(TStream& source)
{
    return std::make_unique<TMemoryStream>(
        withBytes(source, [](std::span<const std::uint8_t> bytes) { return LzsEncode(bytes); }));
}
