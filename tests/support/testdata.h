#pragma once
// Seeded generated data for the patch engine's tests, and a reference LZS
// compressor (greedy, with real back references) independent of the codec
// under test, so that decoding is checked on data the literal-only encoder
// never produces.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace testdata
{
    using Bytes = std::vector<std::uint8_t>;

    inline Bytes bytes(const char* text)
    {
        Bytes out;
        while (*text)
            out.push_back(static_cast<std::uint8_t>(*text++));
        return out;
    }

    // Text-like data with repeats, as game files tend to be.
    inline Bytes generate(std::size_t size, std::uint32_t seed)
    {
        std::mt19937 rng(seed);
        Bytes out;
        out.reserve(size);
        while (out.size() < size)
        {
            if (out.size() > 32 && rng() % 3 == 0)
            {
                const std::size_t back = 1 + rng() % std::min<std::size_t>(out.size(), 4000);
                const std::size_t length = 3 + rng() % 40;
                const std::size_t from = out.size() - back;
                for (std::size_t k = 0; k < length && out.size() < size; ++k)
                    out.push_back(out[from + k]);
            }
            else
            {
                out.push_back(static_cast<std::uint8_t>(rng() % 16 ? 'a' + rng() % 26 : rng() % 256));
            }
        }
        return out;
    }

    // Model-like data: a header, vertices as float triples on a coarse grid,
    // colours, then triangles as 16-bit index triples, as a game model's
    // sections are laid out.
    inline Bytes generateModel(std::size_t size, std::uint32_t seed)
    {
        std::mt19937 rng(seed);
        Bytes out(128, 0);
        out[0] = 1;
        out[4] = 0x30;
        const auto put = [&](const void* p, std::size_t n) {
            const auto* b = static_cast<const std::uint8_t*>(p);
            out.insert(out.end(), b, b + n);
        };
        const std::size_t vertices = size / 40 + 1;
        for (std::size_t v = 0; v < vertices && out.size() < size; ++v)
        {
            const float xyz[3] = {static_cast<float>(int(rng() % 64) - 32) * 4.0f,
                                  static_cast<float>(int(rng() % 64) - 32) * 4.0f,
                                  static_cast<float>(rng() % 16) * 8.0f};
            put(xyz, sizeof xyz);
        }
        for (std::size_t v = 0; v < vertices / 2 && out.size() < size; ++v)
        {
            const std::uint8_t colour[4] = {static_cast<std::uint8_t>(0x80 + rng() % 4 * 16),
                                            static_cast<std::uint8_t>(0x80 + rng() % 4 * 16), 0x80, 0xFF};
            put(colour, sizeof colour);
        }
        while (out.size() < size)
        {
            const std::uint16_t base = static_cast<std::uint16_t>(rng() % vertices);
            const std::uint16_t triangle[4] = {base, static_cast<std::uint16_t>(base + 1),
                                               static_cast<std::uint16_t>(base + 2), 0};
            put(triangle, sizeof triangle);
        }
        out.resize(size);
        return out;
    }

    // The same data with a few bytes changed.
    inline Bytes mutate(Bytes data, std::size_t changes, std::uint32_t seed)
    {
        std::mt19937 rng(seed);
        for (std::size_t k = 0; k < changes && !data.empty(); ++k)
            data[rng() % data.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        return data;
    }

    // LZS data: the payload behind its int32 length field.
    inline Bytes withLength(const Bytes& payload)
    {
        Bytes out;
        out.reserve(payload.size() + 4);
        const auto n = static_cast<std::uint32_t>(payload.size());
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
        for (const std::uint8_t b : payload)
            out.push_back(b);
        return out;
    }

    // Greedy LZS compressor writing references with the window's slot
    // numbering: output byte p sits in slot (p + 4078) mod 4096.
    inline Bytes lzsCompress(const Bytes& data)
    {
        constexpr std::size_t npos = static_cast<std::size_t>(-1);
        std::vector<std::size_t> head(1 << 14, npos);
        std::vector<std::size_t> previous(data.size(), npos);
        const auto hash3 = [](const Bytes& d, std::size_t p) {
            return ((std::size_t(d[p]) << 6) ^ (std::size_t(d[p + 1]) << 3) ^ std::size_t(d[p + 2]) * 2654435761u)
                   & ((1u << 14) - 1);
        };
        Bytes payload;
        std::size_t pos = 0;
        while (pos < data.size())
        {
            const std::size_t controlAt = payload.size();
            payload.push_back(0);
            std::uint8_t control = 0;
            for (int item = 0; item < 8 && pos < data.size(); ++item)
            {
                std::size_t bestLength = 0, bestDistance = 0;
                if (pos + 3 <= data.size())
                {
                    // Candidates from a hash chain of 3-byte prefixes.
                    std::size_t candidate = head[hash3(data, pos)];
                    for (int tries = 0; tries < 32 && candidate != npos && pos - candidate <= 4095; ++tries)
                    {
                        std::size_t l = 0;
                        while (l < 18 && pos + l < data.size() && data[pos + l] == data[candidate + l])
                            ++l;
                        if (l > bestLength)
                        {
                            bestLength = l;
                            bestDistance = pos - candidate;
                        }
                        candidate = previous[candidate];
                    }
                }
                const std::size_t advance = bestLength >= 3 ? bestLength : 1;
                for (std::size_t k = 0; k < advance; ++k)
                {
                    if (pos + k + 3 <= data.size())
                    {
                        const std::size_t h = hash3(data, pos + k);
                        previous[pos + k] = head[h];
                        head[h] = pos + k;
                    }
                }
                if (bestLength >= 3)
                {
                    const std::size_t slot = (pos - bestDistance + 4078) % 4096;
                    payload.push_back(static_cast<std::uint8_t>(slot & 0xFF));
                    payload.push_back(static_cast<std::uint8_t>(((slot >> 8) << 4) | (bestLength - 3)));
                    pos += bestLength;
                }
                else
                {
                    control = static_cast<std::uint8_t>(control | (1u << item));
                    payload.push_back(data[pos++]);
                }
            }
            payload[controlAt] = control;
        }
        return withLength(payload);
    }
    // The reference greedy LZS encoder: at each position the longest match
    // (3 to 18 bytes, the first distance found on a tie) over every distance
    // from 1 to 4,096, bytes before the start reading as the window's zeros;
    // a literal where none reaches 3 bytes. Slow, and plainly right.
    inline Bytes lzsGreedy(const Bytes& data)
    {
        const auto at = [&](std::ptrdiff_t i) -> std::uint8_t { return i < 0 ? 0 : data[std::size_t(i)]; };
        const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(data.size());
        Bytes payload;
        std::size_t controlAt = 0;
        int item = 8;
        for (std::ptrdiff_t pos = 0; pos < n;)
        {
            if (item == 8)
            {
                controlAt = payload.size();
                payload.push_back(0);
                item = 0;
            }
            const std::ptrdiff_t most = std::min<std::ptrdiff_t>(18, n - pos);
            std::ptrdiff_t bestLength = 0, bestDistance = 0;
            for (std::ptrdiff_t d = 1; d <= 4096 && bestLength < most; ++d)
            {
                std::ptrdiff_t l = 0;
                while (l < most && data[std::size_t(pos + l)] == at(pos - d + l))
                    ++l;
                if (l > bestLength)
                {
                    bestLength = l;
                    bestDistance = d;
                }
            }
            if (bestLength >= 3)
            {
                const auto slot = static_cast<std::size_t>((pos - bestDistance + 4078) & 4095);
                payload.push_back(static_cast<std::uint8_t>(slot & 0xFF));
                payload.push_back(static_cast<std::uint8_t>(((slot >> 8) << 4) | std::size_t(bestLength - 3)));
                pos += bestLength;
            }
            else
            {
                payload[controlAt] = static_cast<std::uint8_t>(payload[controlAt] | (1u << item));
                payload.push_back(data[std::size_t(pos++)]);
            }
            ++item;
        }
        return withLength(payload);
    }
    // A fuzz target's seed file: bytes written to folder/name.
    inline void writeSeed(const std::string& folder, const std::string& name, const Bytes& bytes)
    {
        std::ofstream out(folder + "/" + name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
} // namespace testdata
