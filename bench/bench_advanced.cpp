// The advanced editor's table fill: the "Data" column of one block of 1,000
// table rows, found by the editor's search of its data entries in Position
// order (LinkedDataIndexes), against the baseline of searching every data entry for
// each row, timed in the same run on the same archive. Compare the times of
// each pair for the same data count.

#include "app/lgpadvlinks.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

namespace
{
    constexpr std::int32_t BlockRows = 1000;

    void put32(std::string& out, std::int32_t value)
    {
        for (int shift = 0; shift < 32; shift += 8)
            out += char((std::uint32_t(value) >> shift) & 0xFF);
    }

    void putName(std::string& out, const std::string& name)
    {
        std::string field = name.substr(0, 19);
        field.resize(20, '\0');
        out += field;
    }

    // dataCount data entries of 8 bytes; the table has as many entries, and
    // its entry t points at data entry dataCount - 1 - t, so every lookup of
    // the baseline walks far.
    std::string writeArchive(std::int32_t dataCount)
    {
        const std::string path =
            (std::filesystem::temp_directory_path() / ("bench_advanced." + std::to_string(dataCount) + ".lgp"))
                .string();
        std::string bytes(12, '\0');
        put32(bytes, dataCount);
        const std::int32_t dataStart = 16 + 27 * dataCount;
        for (std::int32_t t = 0; t < dataCount; ++t)
        {
            putName(bytes, "t" + std::to_string(t));
            put32(bytes, dataStart + (dataCount - 1 - t) * 32);
            bytes += char(14);
            bytes += std::string(2, '\0');
        }
        for (std::int32_t d = 0; d < dataCount; ++d)
        {
            putName(bytes, "d" + std::to_string(d));
            put32(bytes, 8);
            bytes += "12345678";
        }
        bytes += "FINAL FANTASY7";
        std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
        return path;
    }

    TRawLGPFile& archive(std::int32_t dataCount)
    {
        static std::map<std::int32_t, std::unique_ptr<TRawLGPFile>> open;
        auto& slot = open[dataCount];
        if (!slot)
        {
            const std::string path = writeArchive(dataCount);
            slot = std::make_unique<TRawLGPFile>(path);
            std::filesystem::remove(path); // the open editor keeps what it read
        }
        return *slot;
    }

    // Baseline: every data entry is searched, from the first, for each row.
    void BM_SearchPerRowBaseline(benchmark::State& state)
    {
        TRawLGPFile& raw = archive(std::int32_t(state.range(0)));
        for (auto _ : state)
        {
            std::int64_t found = 0;
            for (std::int32_t t = 0; t < BlockRows; ++t)
            {
                const std::int32_t offset = raw.GetTableEntry(t).Offset;
                for (std::int32_t d = 0; d < raw.DataCount(); ++d)
                    if (raw.GetDataEntry(d).Position == offset)
                    {
                        found += d;
                        break;
                    }
            }
            benchmark::DoNotOptimize(found);
        }
        state.SetItemsProcessed(state.iterations() * BlockRows);
    }

    void BM_LinkedDataIndexes(benchmark::State& state)
    {
        TRawLGPFile& raw = archive(std::int32_t(state.range(0)));
        for (auto _ : state)
        {
            const std::vector<std::int32_t> linked = LinkedDataIndexes(raw, 0, BlockRows - 1);
            benchmark::DoNotOptimize(linked.data());
        }
        state.SetItemsProcessed(state.iterations() * BlockRows);
    }
}

BENCHMARK(BM_SearchPerRowBaseline)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LinkedDataIndexes)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
