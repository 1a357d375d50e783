// The main window against the archive core it drives: opening a 100,000-entry
// archive with lengths in the window (progress bar, block chooser, first block
// of rows, header lines) against building the same index alone, and filling
// one block of 1,000 rows. Runs without a display (offscreen) unless one is
// asked for through QT_QPA_PLATFORM.

#include "app/application.h"
#include "app/lgpviewer.h"
#include "core/lgpstruct.h"
#include "platform/ui.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QComboBox>
#include <QTreeWidget>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

namespace
{
    namespace fs = std::filesystem;

    void put32(std::string& out, std::int32_t value)
    {
        for (int shift = 0; shift < 32; shift += 8)
            out += char((std::uint32_t(value) >> shift) & 0xff);
    }

    // count entries of 16 bytes each, written field by field.
    std::string archiveBytes(int count)
    {
        std::string bytes = std::string(2, '\0') + "SQUARESOFT";
        put32(bytes, count);
        const std::int32_t dataStart = 16 + 27 * count;
        for (int i = 0; i < count; ++i)
        {
            std::string name = "e" + std::to_string(i) + ".tex";
            name.resize(20, '\0');
            bytes += name;
            put32(bytes, dataStart + i * (24 + 16));
            bytes += char(14);
            bytes += std::string(2, '\0');
        }
        for (int i = 0; i < count; ++i)
        {
            std::string name = "e" + std::to_string(i) + ".tex";
            name.resize(20, '\0');
            bytes += name;
            put32(bytes, 16);
            bytes += std::string(16, char('a' + i % 26));
        }
        bytes += "FINAL FANTASY7";
        return bytes;
    }

    const fs::path& bigArchive()
    {
        static const fs::path path = [] {
            const fs::path p = fs::temp_directory_path() / "tarrowin-bench-gui-100k.lgp";
            std::ofstream(p, std::ios::binary) << archiveBytes(100000);
            return p;
        }();
        return path;
    }

    struct Fixture
    {
        Platform::Ui::ScriptedPrompter prompter;
        Platform::Ui::ScopedPrompter scope{prompter};
        std::unique_ptr<TfrmLGPEditor> window = std::make_unique<TfrmLGPEditor>();

        Fixture()
        {
            window->show();
            QApplication::processEvents();
        }

        void open()
        {
            prompter.fileAnswers.push_back(QString::fromStdString(bigArchive().string()));
            window->mnuOpenLGP->trigger();
        }
    };

    Fixture& fixture()
    {
        static Fixture f;
        return f;
    }

    // Baseline: the index the window builds, on its own.
    void BM_IndexOpen100k(benchmark::State& state)
    {
        for (auto _ : state)
        {
            TLGPFile archive(bigArchive().string(), true);
            benchmark::DoNotOptimize(archive.FileCount());
        }
    }
    BENCHMARK(BM_IndexOpen100k)->Unit(benchmark::kMillisecond)->UseRealTime();

    // The Open command with no archive open, as the program starts: the same
    // index with the progress bar drawn while it is read, the chooser of 100
    // blocks, block 0's rows, the header lines and the paint that follows.
    void BM_WindowOpen100k(benchmark::State& state)
    {
        Fixture& f = fixture();
        for (auto _ : state)
        {
            state.PauseTiming();
            f.window->CloseArchive();
            QApplication::processEvents();
            state.ResumeTiming();
            f.open();
            QApplication::processEvents(); // what the event loop paints after the command
        }
        if (!f.prompter.texts(Platform::Ui::ScriptedPrompter::Kind::Error).isEmpty()
            || f.window->lstFiles->topLevelItemCount() != 1000)
            state.SkipWithError("the window did not open the archive");
    }
    BENCHMARK(BM_WindowOpen100k)->Unit(benchmark::kMillisecond)->UseRealTime();

    // The paint alone: the window drawn after an Open, as the event loop does.
    void BM_PaintAfterOpen(benchmark::State& state)
    {
        Fixture& f = fixture();
        for (auto _ : state)
        {
            state.PauseTiming();
            f.window->CloseArchive();
            QApplication::processEvents();
            f.open();
            state.ResumeTiming();
            QApplication::processEvents();
        }
    }
    BENCHMARK(BM_PaintAfterOpen)->Unit(benchmark::kMillisecond)->UseRealTime();

    // Open over an open archive: the old index is released only once the new
    // one is built, so two indexes live side by side for a moment.
    void BM_WindowReopen100k(benchmark::State& state)
    {
        Fixture& f = fixture();
        for (auto _ : state)
        {
            f.open();
            QApplication::processEvents();
        }
    }
    BENCHMARK(BM_WindowReopen100k)->Unit(benchmark::kMillisecond)->UseRealTime();

    double cpuSeconds()
    {
        timespec t{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
    }

    // The two opens alternated within one run, so a machine busy with other
    // work slows both alike; the counters are the window's time over the
    // index's, in processor time and in wall time.
    void BM_OpenRatioPaired(benchmark::State& state)
    {
        Fixture& f = fixture();
        double indexCpu = 0, windowCpu = 0, indexWall = 0, windowWall = 0;
        using Clock = std::chrono::steady_clock;
        for (auto _ : state)
        {
            double c0 = cpuSeconds();
            auto w0 = Clock::now();
            {
                TLGPFile archive(bigArchive().string(), true);
                benchmark::DoNotOptimize(archive.FileCount());
            }
            indexCpu += cpuSeconds() - c0;
            indexWall += std::chrono::duration<double>(Clock::now() - w0).count();

            f.window->CloseArchive();
            QApplication::processEvents();
            c0 = cpuSeconds();
            w0 = Clock::now();
            f.open();
            QApplication::processEvents();
            windowCpu += cpuSeconds() - c0;
            windowWall += std::chrono::duration<double>(Clock::now() - w0).count();
        }
        state.counters["cpu_ratio"] = windowCpu / indexCpu;
        state.counters["wall_ratio"] = windowWall / indexWall;
        state.counters["index_cpu_ms"] = 1000 * indexCpu / double(state.iterations());
        state.counters["window_cpu_ms"] = 1000 * windowCpu / double(state.iterations());
    }
    BENCHMARK(BM_OpenRatioPaired)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

    // Baseline for a block: reading its 1,000 entries from the index.
    void BM_ReadBlockEntries(benchmark::State& state)
    {
        Fixture& f = fixture();
        if (!f.window->CurrentArchive)
            f.open();
        int block = 0;
        for (auto _ : state)
        {
            for (int i = block * 1000; i < block * 1000 + 1000; ++i)
                benchmark::DoNotOptimize(f.window->CurrentArchive->GetEntry(i));
            block = (block + 1) % 100;
        }
    }
    BENCHMARK(BM_ReadBlockEntries)->Unit(benchmark::kMillisecond)->UseRealTime();

    // Choosing another block: the list refilled with 1,000 rows and painted.
    void BM_FillBlock1000(benchmark::State& state)
    {
        Fixture& f = fixture();
        if (!f.window->CurrentArchive)
            f.open();
        int block = 1;
        for (auto _ : state)
        {
            f.window->cmbList->setCurrentIndex(block);
            f.window->cmbListChange();
            f.window->lstFiles->repaint();
            block = block % 99 + 1;
        }
        if (f.window->lstFiles->topLevelItemCount() != 1000)
            state.SkipWithError("the block was not filled");
    }
    BENCHMARK(BM_FillBlock1000)->Unit(benchmark::kMillisecond)->UseRealTime();
}

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Settings go to a folder of this run, not the user's.
    const fs::path config = fs::temp_directory_path() / "tarrowin-bench-gui-config";
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    QApplication app(argc, argv);
    Tarrowin::InitApplication();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fixture().window.reset();
    std::error_code ec;
    fs::remove(bigArchive(), ec);
    fs::remove_all(config, ec);
    return 0;
}
