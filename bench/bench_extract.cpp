// Extract All and Create against tar, in the folders named on the command line
// (for example one on a real disk and one on tmpfs):
//
//   bench_extract [--quick] FOLDER...
//
// For 10,000 and 20,000 files of 200 B to 30 KB (2,000 with --quick), in each
// folder: Create (what `tarrowin-cli create` does) against `tar -cf` of the same files, and Extract All
// (index kept open, plan, writer: what `tarrowin-cli extract-all` does) against
// `tar -xf` of a tar of the same files, each into a fresh folder. The two of a
// pair alternate (each going first in turn), every run starts after a sync,
// nothing is deleted before the last fresh run, a disk rests first (see
// Settle), and each figure is the median of seven runs. tar's times are the
// child's.
#include "core/lgplookup.h"
#include "core/lgpstruct.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <linux/magic.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace
{
    using Clock = std::chrono::steady_clock;

    struct Time
    {
        double wall = 0;
        double cpu = 0;
    };

    double SelfCpu()
    {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
               + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    }

    double ChildrenCpu()
    {
        rusage usage{};
        ::getrusage(RUSAGE_CHILDREN, &usage);
        return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
               + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    }

    Time Once(const std::function<void()>& run)
    {
        const auto start = Clock::now();
        const double cpu = SelfCpu();
        run();
        return {std::chrono::duration<double>(Clock::now() - start).count(), SelfCpu() - cpu};
    }

    Time Tar(std::vector<std::string> args)
    {
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const double cpu = ChildrenCpu();
        const auto start = Clock::now();
        pid_t pid = 0;
        if (::posix_spawnp(&pid, "tar", nullptr, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("tar could not be started");
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            throw std::runtime_error("tar failed");
        return {std::chrono::duration<double>(Clock::now() - start).count(), ChildrenCpu() - cpu};
    }

    // ext4 without a journal (the disk here) passes over inodes deleted in
    // the last 60 seconds when it makes a file, and in the last 6 minutes
    // while their part of the inode table has changes not yet written (as it
    // has as soon as new files are made beside them). After many deletions new
    // files came several times slower, on whichever side of a pair ran
    // first. Nothing is deleted until every fresh run is measured, and on a
    // disk the runs start 6 minutes after a sync, past any earlier deletion.
    void Settle(const fs::path& place)
    {
        ::sync();
        struct statfs info
        {};
        if (::statfs(place.c_str(), &info) == 0 && info.f_type == TMPFS_MAGIC)
            return;
        std::printf("(waiting 361 s: see Settle)\n");
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(361));
    }

    Time Median(std::vector<Time> runs)
    {
        std::vector<double> wall;
        std::vector<double> cpu;
        for (const Time& t : runs)
        {
            wall.push_back(t.wall);
            cpu.push_back(t.cpu);
        }
        std::sort(wall.begin(), wall.end());
        std::sort(cpu.begin(), cpu.end());
        return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
    }

    void MakeFolder(const fs::path& folder, int files)
    {
        fs::create_directories(folder);
        std::vector<std::uint8_t> pool(30 * 1024 + 4096);
        std::uint32_t x = 7;
        for (auto& b : pool)
        {
            x = x * 1103515245u + 12345u;
            b = std::uint8_t(x >> 24);
        }
        for (int i = 0; i < files; ++i)
        {
            const std::size_t size = 200 + (std::size_t(i) * 7919u) % (30 * 1024 - 200 + 1);
            char name[20];
            std::snprintf(name, sizeof name, "f%06d.bin", i);
            WriteWholeFile((folder / name).string(), std::span<const std::uint8_t>(pool.data() + (i % 4096), size));
        }
    }

    void Build(const fs::path& folder, const fs::path& output)
    {
        CreateArchiveOptions options;
        options.Folder = folder.string();
        options.Output = output.string();
        CreateArchive(options);
    }

    void ExtractAll(const fs::path& archivePath, const fs::path& to)
    {
        const TLGPFile archive = TLGPFile::Held(archivePath.string(), false);
        const std::vector<ExtractTarget> plan = PlanExtractAll(archive, {});
        fs::create_directories(to);
        ExtractAllEntries(archive, to.string(), plan);
    }

    // Runs a and b repeats times, alternating which goes first, after a sync each.
    void Alternate(int repeats, const std::function<Time(int)>& a, const std::function<Time(int)>& b,
                   std::vector<Time>& aRuns, std::vector<Time>& bRuns)
    {
        for (int r = 0; r < repeats; ++r)
        {
            for (int turn = 0; turn < 2; ++turn)
            {
                ::sync();
                if ((r + turn) % 2 == 0)
                    aRuns.push_back(a(r));
                else
                    bRuns.push_back(b(r));
            }
        }
    }

    void Print(const std::string& what, const Time& t, const Time& base, const char* target)
    {
        std::printf("%-52s cpu %7.3f s / %7.3f s = %5.2f   wall %7.3f s / %7.3f s = %5.2f  (%s)\n", what.c_str(), t.cpu,
                    base.cpu, t.cpu / base.cpu, t.wall, base.wall, t.wall / base.wall, target);
        std::fflush(stdout);
    }
} // namespace

int main(int argc, char** argv)
{
    bool quick = false;
    std::vector<fs::path> places;
    for (int i = 1; i < argc; ++i)
    {
        if (std::string(argv[i]) == "--quick")
            quick = true;
        else
            places.emplace_back(argv[i]);
    }
    if (places.empty())
        places.push_back(fs::temp_directory_path());
    const std::vector<int> counts = quick ? std::vector<int>{2000} : std::vector<int>{10000, 20000};
    // Single runs here vary by a quarter either way.
    const int repeats = 7;

    for (const fs::path& place : places)
    {
        const fs::path work = place / ("tarrowin-bench-extract-" + std::to_string(::getpid()));
        fs::create_directories(work);
        std::printf("In %s:\n", place.c_str());
        const auto folder = [&](int count) { return work / std::to_string(count); };
        const auto label = [](int count) { return std::to_string(count) + " files of 200 B-30 KB"; };
        for (const int count : counts)
            MakeFolder(folder(count) / "source", count);
        Settle(place);
        for (const int count : counts)
        {
            const fs::path at = folder(count);
            std::vector<Time> create;
            std::vector<Time> tarCreate;
            Alternate(
                repeats,
                [&](int r) { return Once([&] { Build(at / "source", at / ("c" + std::to_string(r) + ".lgp")); }); },
                [&](int r) {
                    return Tar({"tar", "-cf", (at / ("c" + std::to_string(r) + ".tar")).string(), "-C",
                                (at / "source").string(), "."});
                },
                create, tarCreate);
            Print("create " + label(count) + " vs tar -cf", Median(create), Median(tarCreate), "target <= 0.8");
            // A few large files deleted cost the next files nothing.
            for (int r = 1; r < repeats; ++r)
            {
                fs::remove(at / ("c" + std::to_string(r) + ".lgp"));
                fs::remove(at / ("c" + std::to_string(r) + ".tar"));
            }

            std::vector<Time> extract;
            std::vector<Time> tarExtract;
            Alternate(
                repeats,
                [&](int r) { return Once([&] { ExtractAll(at / "c0.lgp", at / ("x" + std::to_string(r))); }); },
                [&](int r) {
                    const fs::path to = at / ("t" + std::to_string(r));
                    fs::create_directories(to);
                    return Tar({"tar", "-xf", (at / "c0.tar").string(), "-C", to.string()});
                },
                extract, tarExtract);
            Print("extract-all " + label(count) + " vs tar -xf", Median(extract), Median(tarExtract), "target <= 0.8");
        }
        // Last, as they delete: over the files of the first run, every file
        // replaces one.
        for (const int count : counts)
        {
            const fs::path at = folder(count);
            std::vector<Time> again;
            std::vector<Time> tarAgain;
            Alternate(
                repeats, [&](int) { return Once([&] { ExtractAll(at / "c0.lgp", at / "x0"); }); },
                [&](int) {
                    return Tar({"tar", "-xf", (at / "c0.tar").string(), "-C", (at / "t0").string()});
                },
                again, tarAgain);
            Print("extract-all over the same " + std::to_string(count) + " files vs tar -xf", Median(again),
                  Median(tarAgain), "none");
        }
        fs::remove_all(work);
    }
    return 0;
}
