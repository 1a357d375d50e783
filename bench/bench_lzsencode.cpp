// LZS encoding speed and size: the compressing encoder on text-like and
// model-like data against a fresh-buffer copy of the same bytes, timed in the
// same run. Counters: ratio (encoded / plain size) of the encoder and of the
// greedy longest-match reference with the same window and lengths, and
// greedy_over_ours (greedy size / our size; 1 or more means we are no larger).

#include "patch/FFLZs.h"
#include "support/testdata.h"

#include <benchmark/benchmark.h>

namespace
{
    using testdata::Bytes;

    constexpr std::size_t PlainSize = 512 << 10; // a large field or model file

    const Bytes& textData()
    {
        static const Bytes data = testdata::generate(PlainSize, 42);
        return data;
    }

    const Bytes& modelData()
    {
        static const Bytes data = testdata::generateModel(PlainSize, 42);
        return data;
    }

    void copyBaseline(benchmark::State& state, const Bytes& source)
    {
        for (auto _ : state)
        {
            Bytes target;
            target.reserve(source.size());
            target.insert(target.end(), source.begin(), source.end());
            benchmark::DoNotOptimize(target.data());
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
    }

    void encode(benchmark::State& state, const Bytes& source)
    {
        std::size_t encodedSize = 0;
        for (auto _ : state)
        {
            const Bytes out = LzsEncode(source);
            encodedSize = out.size();
            benchmark::DoNotOptimize(out.data());
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
        const std::size_t greedySize = testdata::lzsGreedy(source).size();
        const auto plain = static_cast<double>(source.size());
        state.counters["ratio"] = static_cast<double>(encodedSize) / plain;
        state.counters["greedy_ratio"] = static_cast<double>(greedySize) / plain;
        state.counters["greedy_over_ours"] = static_cast<double>(greedySize) / static_cast<double>(encodedSize);
    }

    void BM_CopyText(benchmark::State& state) { copyBaseline(state, textData()); }
    void BM_CopyModel(benchmark::State& state) { copyBaseline(state, modelData()); }
    void BM_LzsEncodeText(benchmark::State& state) { encode(state, textData()); }
    void BM_LzsEncodeModel(benchmark::State& state) { encode(state, modelData()); }
}

BENCHMARK(BM_CopyText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LzsEncodeText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyModel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LzsEncodeModel)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
