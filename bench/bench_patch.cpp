// Patch engine speed: the LZS decoder against a plain memory copy of the same
// output size, and MakeDifference against memcmp of the same buffers. Compare
// the bytes_per_second of each pair; both sides are timed in the same run.

#include "patch/FFLZs.h"
#include "patch/lgppatch.h"
#include "support/testdata.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace
{
    using testdata::Bytes;

    constexpr std::size_t DecodedSize = 4 << 20;     // a large field or texture file
    constexpr std::size_t DifferenceSize = 16 << 20; // a whole archive's worth

    const Bytes& plainData()
    {
        static const Bytes data = testdata::generate(DecodedSize, 42);
        return data;
    }

    // Game-like LZS: literals and back references mixed.
    const Bytes& compressedData()
    {
        static const Bytes data = testdata::lzsCompress(plainData());
        return data;
    }

    const Bytes& storedData()
    {
        static const Bytes data = LzsEncodeLiterals(plainData());
        return data;
    }

    // Two versions that differ in one byte per 64 KiB.
    const std::pair<Bytes, Bytes>& mostlyEqual()
    {
        static const std::pair<Bytes, Bytes> pair = [] {
            Bytes oldData = testdata::generate(DifferenceSize, 7);
            Bytes newData = oldData;
            for (std::size_t i = 12345; i < newData.size(); i += 65536)
                newData[i] ^= 0x5A;
            return std::make_pair(std::move(oldData), std::move(newData));
        }();
        return pair;
    }

    void BM_MemcpyBaseline(benchmark::State& state)
    {
        const Bytes& source = plainData();
        Bytes target(source.size());
        for (auto _ : state)
        {
            std::memcpy(target.data(), source.data(), source.size());
            benchmark::DoNotOptimize(target.data());
            benchmark::ClobberMemory();
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
    }

    // The decoder returns a new buffer each time, so its pages are fresh; this
    // baseline copies into a new buffer of the same size for the same cost.
    void BM_MemcpyFreshBaseline(benchmark::State& state)
    {
        const Bytes& source = plainData();
        for (auto _ : state)
        {
            Bytes target;
            target.reserve(source.size());
            target.insert(target.end(), source.begin(), source.end());
            benchmark::DoNotOptimize(target.data());
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
    }

    void BM_LzsDecodeCompressed(benchmark::State& state)
    {
        const Bytes& lzs = compressedData();
        std::size_t produced = 0;
        for (auto _ : state)
        {
            const Bytes out = LzsDecode(lzs);
            produced = out.size();
            benchmark::DoNotOptimize(out.data());
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * produced));
        state.counters["ratio"] = static_cast<double>(lzs.size()) / static_cast<double>(produced);
    }

    void BM_LzsDecodeLiteralOnly(benchmark::State& state)
    {
        const Bytes& lzs = storedData();
        std::size_t produced = 0;
        for (auto _ : state)
        {
            const Bytes out = LzsDecode(lzs);
            produced = out.size();
            benchmark::DoNotOptimize(out.data());
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * produced));
    }

    void BM_MemcmpBaseline(benchmark::State& state)
    {
        const auto& [a, b] = mostlyEqual();
        for (auto _ : state)
        {
            // Compared in the same 256-byte steps a copy run covers, so the
            // baseline walks the whole buffers as MakeDifference does.
            int sum = 0;
            for (std::size_t i = 0; i < a.size(); i += 256)
                sum += std::memcmp(a.data() + i, b.data() + i, std::min<std::size_t>(256, a.size() - i)) != 0;
            benchmark::DoNotOptimize(sum);
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * a.size()));
    }

    void BM_MakeDifferenceMostlyEqual(benchmark::State& state)
    {
        const auto& [a, b] = mostlyEqual();
        for (auto _ : state)
        {
            auto difference = MakeDifference(a, b);
            benchmark::DoNotOptimize(difference);
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * a.size()));
    }

    void BM_ApplyDifferenceMostlyEqual(benchmark::State& state)
    {
        const auto& [a, b] = mostlyEqual();
        const Bytes difference = *MakeDifference(a, b);
        for (auto _ : state)
        {
            const Bytes out = ApplyDifference(a, difference);
            benchmark::DoNotOptimize(out.data());
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * a.size()));
    }
}

BENCHMARK(BM_MemcpyBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyFreshBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LzsDecodeCompressed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LzsDecodeLiteralOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcmpBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MakeDifferenceMostlyEqual)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyDifferenceMostlyEqual)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
