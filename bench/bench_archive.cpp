// Archive core timings. Every figure is a ratio against a baseline timed in the
// same run on the same data, so the numbers carry over between machines:
//
//   create / extract-all   vs copying the same files with std::filesystem::copy_file
//   create vs tar          10,000 files of 200 B to 30 KB: the builder against
//                          `tar -cf` of the same folder, alternated in one run
//   open with lengths      absolute (warm) and vs reading the archive file once
//   replace vs pack        500 entries of a 10,000-entry archive replaced in one
//                          rewrite against one pack of the same archive
//   unsorted TOC           open, repair and pack at 10,000 vs 100,000 entries
//                          (10x the entries; n log n growth allows about 13x)
//
// Folders of 1,000 and 10,000 small files and one of about 200 MB, and archives
// of 10,000 and 100,000 entries written directly, are generated in a temporary
// folder and removed at the end. Each timing is the median of 3 to 5 runs,
// after one warm-up run that fills the page cache. "--quick" runs a smaller set,
// "--replace" only the replace row.
#include "core/lgplookup.h"
#include "core/lgpstruct.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace
{
    using Clock = std::chrono::steady_clock;

    double CpuNow()
    {
        timespec ts{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
    }

    // Wall-clock and CPU time (user + system of this process) of one run. On a
    // shared machine the wall clock also counts time spent waiting for a core;
    // the CPU time does not, and the page-cache copies are CPU work.
    struct Time
    {
        double wall = 1e30;
        double cpu = 1e30;
    };

    Time Once(const std::function<void()>& run)
    {
        const auto start = Clock::now();
        const double cpuStart = CpuNow();
        run();
        return {std::chrono::duration<double>(Clock::now() - start).count(), CpuNow() - cpuStart};
    }

    // The median of the runs, wall-clock and CPU time taken separately.
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

    Time Seconds(const std::function<void()>& run, const std::function<void()>& reset, int repeats)
    {
        std::vector<Time> runs;
        for (int i = 0; i < repeats; ++i)
        {
            if (reset)
                reset();
            runs.push_back(Once(run));
        }
        return Median(runs);
    }

    std::vector<std::uint8_t> Bytes(std::size_t n, std::uint32_t seed)
    {
        std::vector<std::uint8_t> b(n);
        std::uint32_t x = seed * 2654435761u + 1;
        for (auto& c : b)
        {
            x = x * 1103515245u + 12345u;
            c = static_cast<std::uint8_t>(x >> 16);
        }
        return b;
    }

    void MakeFolder(const fs::path& folder, int files, std::size_t minSize, std::size_t maxSize)
    {
        fs::create_directories(folder);
        const std::vector<std::uint8_t> pool = Bytes(maxSize + 4096, 7);
        for (int i = 0; i < files; ++i)
        {
            const std::size_t size = minSize + (std::size_t(i) * 7919u) % (maxSize - minSize + 1);
            char name[20];
            std::snprintf(name, sizeof name, "f%06d.bin", i);
            std::span<const std::uint8_t> bytes(pool.data() + (i % 4096), size);
            WriteWholeFile((folder / name).string(), bytes);
        }
    }

    void CopyFolder(const fs::path& from, const fs::path& to)
    {
        fs::create_directories(to);
        for (const auto& item : fs::directory_iterator(from))
            fs::copy_file(item.path(), to / item.path().filename());
    }

    void ExtractAll(const std::string& archivePath, const fs::path& to)
    {
        const TLGPFile archive = TLGPFile::Held(archivePath, true);
        fs::create_directories(to);
        ExtractAllEntries(archive, to.string(), PlanExtractAll(archive, {}));
    }

    void Build(const fs::path& folder, const fs::path& output)
    {
        ArchiveBuildOptions options;
        options.Folder = folder.string();
        options.Output = output.string();
        BuildArchive(options);
    }

    double ChildrenCpu()
    {
        rusage usage{};
        ::getrusage(RUSAGE_CHILDREN, &usage);
        return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
               + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    }

    // `tar -cf output -C folder .`; its CPU time is the child's.
    Time Tar(const fs::path& folder, const fs::path& output)
    {
        std::vector<std::string> args = {"tar", "-cf", output.string(), "-C", folder.string(), "."};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const double cpuStart = ChildrenCpu();
        const auto start = Clock::now();
        pid_t pid = 0;
        if (::posix_spawnp(&pid, "tar", nullptr, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("tar could not be started");
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            throw std::runtime_error("tar failed");
        return {std::chrono::duration<double>(Clock::now() - start).count(), ChildrenCpu() - cpuStart};
    }

    void PutText(std::vector<std::uint8_t>& out, std::size_t at, const char* text, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i)
            out.at(at + i) = static_cast<std::uint8_t>(text[i]);
    }

    void Put32(std::vector<std::uint8_t>& out, std::size_t at, std::int32_t v)
    {
        const auto u = static_cast<std::uint32_t>(v);
        out[at] = std::uint8_t(u);
        out[at + 1] = std::uint8_t(u >> 8);
        out[at + 2] = std::uint8_t(u >> 16);
        out[at + 3] = std::uint8_t(u >> 24);
    }

    // n TOC entries in reverse order of their data; every referenced data entry
    // is preceded by an unreferenced one of the same name (superseded data), so
    // repair relinks every entry and pack moves every entry.
    void WriteUnsorted(const fs::path& path, int n)
    {
        const std::size_t dataSize = 100;
        const std::size_t tocEnd = 16 + 27 * std::size_t(n);
        std::vector<std::uint8_t> out(tocEnd + 2 * std::size_t(n) * (24 + dataSize) + 14, 0);
        PutText(out, 2, "SQUARESOFT", 10);
        Put32(out, 12, n);
        std::size_t at = tocEnd;
        for (int i = 0; i < n; ++i)
        {
            char name[20] = {};
            std::snprintf(name, sizeof name, "e%07d.dat", i);
            for (int copy = 0; copy < 2; ++copy)
            {
                PutText(out, at, name, 20);
                Put32(out, at + 20, static_cast<std::int32_t>(dataSize));
                if (copy == 1)
                {
                    const std::size_t toc = 16 + 27 * std::size_t(n - 1 - i);
                    PutText(out, toc, name, 20);
                    Put32(out, toc + 20, static_cast<std::int32_t>(at));
                    out[toc + 24] = 14;
                }
                at += 24 + dataSize;
            }
        }
        PutText(out, at, "FINAL FANTASY7", 14);
        WriteWholeFile(path.string(), out);
    }

    // n contiguous entries in TOC order, as the builder writes them.
    void WriteSorted(const fs::path& path, int n)
    {
        const std::size_t dataSize = 64;
        const std::size_t tocEnd = 16 + 27 * std::size_t(n);
        std::vector<std::uint8_t> out(tocEnd + std::size_t(n) * (24 + dataSize) + 14, 0);
        PutText(out, 2, "SQUARESOFT", 10);
        Put32(out, 12, n);
        std::size_t at = tocEnd;
        for (int i = 0; i < n; ++i)
        {
            char name[20] = {};
            std::snprintf(name, sizeof name, "s%07d.dat", i);
            const std::size_t toc = 16 + 27 * std::size_t(i);
            PutText(out, toc, name, 20);
            Put32(out, toc + 20, static_cast<std::int32_t>(at));
            out[toc + 24] = 14;
            PutText(out, at, name, 20);
            Put32(out, at + 20, static_cast<std::int32_t>(dataSize));
            at += 24 + dataSize;
        }
        PutText(out, at, "FINAL FANTASY7", 14);
        WriteWholeFile(path.string(), out);
    }

    struct Row
    {
        std::string what;
        Time time;
        Time baseline;
        std::string target;
    };

    void Print(const Row& r)
    {
        std::printf("%-40s cpu %8.4f s / %8.4f s = %6.2f   wall %8.4f s / %8.4f s = %6.2f  (%s)\n", r.what.c_str(),
                    r.time.cpu, r.baseline.cpu, r.time.cpu / r.baseline.cpu, r.time.wall, r.baseline.wall,
                    r.time.wall / r.baseline.wall, r.target.c_str());
        std::fflush(stdout);
    }
    // Replacing 500 entries of a 10,000-entry archive (files of 200 B-30 KB)
    // in one rewrite, the folder's listing and matching included, against
    // one pack of the same archive; two entries were shrunk in place first,
    // so that pack rewrites it too. Both start from the same file,
    // put back (and synced) before each run, and alternate.
    void ReplaceAgainstPack(const fs::path& work, bool quick)
    {
        const int n = quick ? 2000 : 10000;
        const int count = quick ? 100 : 500;
        const fs::path source = work / "source";
        MakeFolder(source, n, 200, 30 * 1024);
        const fs::path pristine = work / "replace-pristine.lgp";
        Build(source, pristine);
        fs::remove_all(source);
        {
            // Two entries shrunk in place leave a gap marker behind at least
            // one of them (the other may be the last data entry).
            TRawLGPFile raw(pristine.string());
            ReplaceEntryData(raw, "f005000.bin", Bytes(10, 3));
            ReplaceEntryData(raw, "f005001.bin", Bytes(10, 3));
        }
        const fs::path folder = work / "new";
        fs::create_directories(folder);
        const std::vector<std::uint8_t> pool = Bytes(40 * 1024, 5);
        for (int i = 0; i < count; ++i)
        {
            char name[20];
            std::snprintf(name, sizeof name, "f%06d.bin", i * (n / count) + 1);
            const std::size_t size = 100 + (std::size_t(i) * 4099u) % (36 * 1024);
            WriteWholeFile((folder / name).string(), std::span<const std::uint8_t>(pool.data(), size));
        }
        const fs::path path = work / "replace-work.lgp";
        const auto reset = [&] {
            fs::copy_file(pristine, path, fs::copy_options::overwrite_existing);
            ::sync();
        };
        reset();
        PackArchive(path.string());
        if (fs::file_size(path) >= fs::file_size(pristine))
            throw std::runtime_error("the archive to pack is packed already");
        std::vector<Time> packRuns;
        std::vector<Time> replaceRuns;
        const int repeats = quick ? 3 : 5;
        for (int r = 0; r < repeats; ++r)
        {
            const auto timePack = [&] {
                reset();
                packRuns.push_back(Once([&] { PackArchive(path.string()); }));
            };
            const auto timeReplace = [&] {
                reset();
                replaceRuns.push_back(Once([&] {
                    TRawLGPFile raw(path.string());
                    const ReplacePlan plan = PlanReplaceFromFolder(LookupViewOf(raw), folder.string());
                    if (plan.Replacements.size() != std::size_t(count) || !plan.Unmatched.empty())
                        throw std::runtime_error("the replacement folder does not match the archive");
                    ReplaceEntries(raw, plan.Replacements);
                }));
            };
            if (r % 2 == 0)
            {
                timePack();
                timeReplace();
            }
            else
            {
                timeReplace();
                timePack();
            }
        }
        Print({"replace " + std::to_string(count) + " of " + std::to_string(n) + " entries vs pack",
               Median(replaceRuns), Median(packRuns), "target <= 1.5"});
        fs::remove(path);
        fs::remove(pristine);
        fs::remove_all(folder);
        ::sync();
    }
}

int main(int argc, char** argv)
{
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    const fs::path work = fs::temp_directory_path() / ("tarrowin-bench-" + std::to_string(::getpid()));
    fs::remove_all(work);
    fs::create_directories(work);
    const auto startAll = Clock::now();
    // "--replace": only the replace row.
    if (argc > 1 && std::string(argv[1]) == "--replace")
    {
        ReplaceAgainstPack(work, false);
        fs::remove_all(work);
        return 0;
    }

    struct Set
    {
        std::string label;
        int files;
        std::size_t minSize;
        std::size_t maxSize;
        int repeats;
    };
    std::vector<Set> sets = {{"1,000 files", 1000, 16, 2048, 5},
                             {"10,000 files", 10000, 16, 2048, 3},
                             {"200 MB (50 files of 4 MB)", 50, 4 << 20, 4 << 20, 5}};
    if (quick)
        sets.resize(1);

    std::printf("Archive core benchmark (median of the runs; each figure: time / baseline = ratio)\n\n");
    for (const auto& set : sets)
    {
        const fs::path source = work / "source";
        const fs::path archive = work / "archive.lgp";
        MakeFolder(source, set.files, set.minSize, set.maxSize);
        Build(source, archive); // warm-up: page cache holds the sources

        // Copy and extract alternate (each going first in turn) into fresh
        // folders, so both meet the same disk conditions; nothing is deleted
        // while they run.
        std::vector<Time> copyRuns;
        std::vector<Time> extractRuns;
        for (int r = 0; r < set.repeats; ++r)
        {
            const fs::path copyTo = work / ("copy" + std::to_string(r));
            const fs::path extractTo = work / ("extracted" + std::to_string(r));
            const auto timeCopy = [&] {
                ::sync();
                copyRuns.push_back(Once([&] { CopyFolder(source, copyTo); }));
            };
            const auto timeExtract = [&] {
                ::sync();
                extractRuns.push_back(Once([&] { ExtractAll(archive.string(), extractTo); }));
            };
            if (r % 2 == 0)
            {
                timeCopy();
                timeExtract();
            }
            else
            {
                timeExtract();
                timeCopy();
            }
        }
        const Time copyTime = Median(copyRuns);
        const Time extractTime = Median(extractRuns);
        // Into a fresh file, as the copy goes into fresh folders: replacing the
        // old archive would add the release of its pages to the timing.
        const fs::path created = work / "created.lgp";
        const Time createTime = Seconds([&] { Build(source, created); },
                                        [&] {
                                            fs::remove(created);
                                            ::sync();
                                        },
                                        set.repeats);
        fs::remove(created);
        Print({"create " + set.label, createTime, copyTime, "target <= 1.3"});
        Print({"extract-all " + set.label, extractTime, copyTime, "target <= 1.3"});
        fs::remove_all(source);
        for (int r = 0; r < set.repeats; ++r)
        {
            fs::remove_all(work / ("copy" + std::to_string(r)));
            fs::remove_all(work / ("extracted" + std::to_string(r)));
        }
        fs::remove(archive);
        ::sync();
    }

    {
        // The builder against tar on the same folder, alternating which goes
        // first; both write fresh files after a sync.
        const fs::path source = work / "source";
        MakeFolder(source, quick ? 2000 : 10000, 200, 30 * 1024);
        Build(source, work / "warm.lgp");
        fs::remove(work / "warm.lgp");
        std::vector<Time> createRuns;
        std::vector<Time> tarRuns;
        const int repeats = quick ? 3 : 5;
        for (int r = 0; r < repeats; ++r)
        {
            const fs::path lgp = work / ("created" + std::to_string(r) + ".lgp");
            const fs::path tar = work / ("created" + std::to_string(r) + ".tar");
            const auto timeCreate = [&] {
                ::sync();
                createRuns.push_back(Once([&] { Build(source, lgp); }));
            };
            const auto timeTar = [&] {
                ::sync();
                tarRuns.push_back(Tar(source, tar));
            };
            if (r % 2 == 0)
            {
                timeCreate();
                timeTar();
            }
            else
            {
                timeTar();
                timeCreate();
            }
            fs::remove(lgp);
            fs::remove(tar);
        }
        Print({std::string("create ") + (quick ? "2,000" : "10,000") + " files of 200 B-30 KB vs tar -cf",
               Median(createRuns), Median(tarRuns), "target <= 0.8"});
        fs::remove_all(source);
        ::sync();
    }

    ReplaceAgainstPack(work, quick);

    {
        const int n = quick ? 10000 : 100000;
        const fs::path archive = work / "sorted.lgp";
        WriteSorted(archive, n);
        const Time readOnce = Seconds([&] { ReadWholeFile(archive.string()); }, nullptr, 5);
        const Time open = Seconds([&] { TLGPFile f(archive.string(), true); }, nullptr, 5);
        Print({"open with lengths " + std::to_string(n) + " entries (warm)", open, readOnce,
               "target: absolute <= 0.2 s"});
        fs::remove(archive);
    }

    std::printf("\nUnsorted TOC (reverse offsets, superseded data before each entry)\n");
    std::vector<int> sizes = {10000, 100000};
    if (quick)
        sizes = {1000, 10000};
    Time times[2][3] = {};
    for (std::size_t s = 0; s < sizes.size(); ++s)
    {
        const fs::path pristine = work / "unsorted.lgp";
        const fs::path path = work / "unsorted-work.lgp";
        WriteUnsorted(pristine, sizes[s]);
        const auto reset = [&] { fs::copy_file(pristine, path, fs::copy_options::overwrite_existing); };
        reset();
        times[s][0] = Seconds([&] { TLGPFile f(path.string(), true); }, nullptr, 5);
        times[s][1] = Seconds([&] { RepairArchive(path.string()); }, reset, 5);
        times[s][2] = Seconds([&] { PackArchive(path.string()); }, reset, 5);
        std::printf("  %7d entries (cpu): open %.4f s, repair %.4f s, pack %.4f s\n", sizes[s], times[s][0].cpu,
                    times[s][1].cpu, times[s][2].cpu);
        fs::remove(path);
        fs::remove(pristine);
    }
    const char* names[3] = {"open with lengths", "repair", "pack"};
    for (int k = 0; k < 3; ++k)
        Print({std::string(names[k]) + " unsorted, 10x entries", times[1][k], times[0][k], "target <= 15"});

    fs::remove_all(work);
    std::printf("\nTotal run time %.1f s\n", std::chrono::duration<double>(Clock::now() - startAll).count());
    return 0;
}
