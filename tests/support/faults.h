#pragma once
// Crash-safety harness: runs a write command with the file layer's fault seam
// at every mutating call in turn, failing it in this process or ending a
// forked child there, and hands each outcome to a check of the files.

#include "platform/file.h"
#include "support/lgpwriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace faults
{
    using Platform::File::Fault::Action;

    enum class Outcome
    {
        Failed,    // the k-th call failed and the command reported it
        Killed,    // the process ended before the k-th call
        Completed, // the command ran to its end before reaching call k
    };

    // Runs command in a forked child; the child's exit status (-1 when killed by a signal).
    inline int InChild(const std::function<void()>& command, const std::function<void()>& inChildFirst = {})
    {
        const pid_t pid = ::fork();
        if (pid == 0)
        {
            if (inChildFirst)
                inChildFirst();
            try
            {
                command();
            }
            catch (...)
            {
                std::_Exit(1);
            }
            std::_Exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // For k = 1, 2, ...: prepare() lays out the files, command() runs with the
    // k-th mutating file call (of the kind the action strikes) given action,
    // and check(outcome) judges the files.
    // Ends with the first run that completes; returns how many calls it made.
    inline int AtEveryCall(Action action, const std::function<void()>& prepare, const std::function<void()>& command,
                           const std::function<void(Outcome)>& check)
    {
        using namespace Platform::File;
        for (int k = 1; k < 100000; ++k)
        {
            prepare();
            Outcome outcome = Outcome::Completed;
            if (action != Action::Exit)
            {
                Fault::arm(k, action);
                std::string failure;
                try
                {
                    command();
                }
                catch (const std::exception& e)
                {
                    failure = e.what();
                }
                const bool fired = Fault::fired();
                Fault::disarm();
                if (fired && failure.empty())
                    ADD_FAILURE() << "call " << k << " failed but the command reported success";
                if (!fired && !failure.empty())
                    ADD_FAILURE() << "failed without a fault: " << failure;
                outcome = fired ? Outcome::Failed : Outcome::Completed;
            }
            else
            {
                const int status = InChild(command, [k] { Fault::arm(k, Action::Exit); });
                if (status != Fault::ExitStatus && status != 0)
                {
                    ADD_FAILURE() << "child at call " << k << " ended with status " << status;
                    return k;
                }
                outcome = status == 0 ? Outcome::Completed : Outcome::Killed;
            }
            SCOPED_TRACE("mutating call " + std::to_string(k));
            check(outcome);
            if (outcome == Outcome::Completed || ::testing::Test::HasFatalFailure())
                return k - 1;
        }
        ADD_FAILURE() << "the command never completed";
        return 0;
    }

    // Kills a forked child running command after a random delay, rounds times,
    // with prepare() before and check() after each round. The delays spread
    // over the time one undisturbed run takes.
    inline void KilledAtRandom(int rounds, unsigned seed, const std::function<void()>& prepare,
                               const std::function<void()>& command, const std::function<void()>& check)
    {
        prepare();
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(InChild(command), 0);
        const auto took =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
        std::mt19937 random(seed);
        std::uniform_int_distribution<long long> delay(0, took.count() + took.count() / 4 + 1);
        for (int round = 0; round < rounds && !::testing::Test::HasFatalFailure(); ++round)
        {
            prepare();
            const pid_t pid = ::fork();
            if (pid == 0)
            {
                try
                {
                    command();
                }
                catch (...)
                {
                    std::_Exit(1);
                }
                std::_Exit(0);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
            ::kill(pid, SIGKILL);
            int status = 0;
            ::waitpid(pid, &status, 0);
            ASSERT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << status;
            SCOPED_TRACE("round " + std::to_string(round));
            check();
        }
    }

    // Runs command on the file at path holding before, to learn its result
    // (returned), then KilledAtRandom with before put back each round: the
    // file must be before or that result after every kill; leftovers are
    // removed.
    inline std::vector<std::uint8_t> OldOrResultAfterKills(int rounds, unsigned seed, const std::string& path,
                                                           const std::vector<std::uint8_t>& before,
                                                           const std::function<void()>& command);

    using Platform::File::Fault::Call;
    using Platform::File::Fault::Record;

    // The mutating file calls command makes, in order.
    inline std::vector<Record> Recorded(const std::function<void()>& command)
    {
        Platform::File::Fault::startRecording();
        try
        {
            command();
        }
        catch (...)
        {
            Platform::File::Fault::stopRecording();
            throw;
        }
        return Platform::File::Fault::stopRecording();
    }

    // The order a power cut needs. A file renamed into place was synced after
    // its last change and before the rename, and its folder is synced after
    // the rename. In the file changed in place at path, each write at one of
    // the positions reaching lies (the header or TOC bytes that make new data
    // reachable) comes after a sync of every write before it, and the last
    // write is synced. Returns how many files were renamed into place.
    inline int ExpectDurableOrder(const std::vector<Record>& calls, const std::string& path = {},
                                  const std::vector<std::int64_t>& reaching = {})
    {
        const auto changes = [](const Record& r) {
            return r.call == Call::WriteAt || r.call == Call::CopyRange || r.call == Call::SetSize;
        };
        int renames = 0;
        for (std::size_t i = 0; i < calls.size(); ++i)
        {
            if (calls[i].call != Call::Replace)
                continue;
            ++renames;
            std::ptrdiff_t changed = -1;
            std::ptrdiff_t synced = -1;
            for (std::size_t j = 0; j < i; ++j)
            {
                if (calls[j].file != calls[i].file)
                    continue;
                if (calls[j].call == Call::Sync)
                    synced = std::ptrdiff_t(j);
                else if (changes(calls[j]))
                    changed = std::ptrdiff_t(j);
            }
            EXPECT_GT(synced, changed) << calls[i].file << " is renamed without a sync after its last change";
            const std::string folder = std::filesystem::path(calls[i].target).parent_path().string();
            EXPECT_TRUE(std::any_of(calls.begin() + std::ptrdiff_t(i) + 1, calls.end(),
                                    [&](const Record& r) { return r.call == Call::FolderSync && r.file == folder; }))
                << folder << " is not synced after " << calls[i].target << " took its new file";
        }
        if (path.empty())
            return renames;
        const std::string file = std::filesystem::canonical(path).string();
        bool unsynced = false;
        for (const Record& r : calls)
        {
            if (r.file != file)
                continue;
            if (r.call == Call::Sync)
                unsynced = false;
            else if (changes(r))
            {
                EXPECT_FALSE(unsynced && std::find(reaching.begin(), reaching.end(), r.at) != reaching.end())
                    << "the write at " << r.at << " makes data reachable before it is synced";
                unsynced = true;
            }
        }
        EXPECT_FALSE(unsynced) << "the last write to " << file << " is not synced";
        return renames;
    }

    // The hidden files of a folder: what an interrupted rewrite may leave.
    inline std::vector<std::string> HiddenFiles(const std::string& folder)
    {
        std::vector<std::string> names;
        for (const auto& item : std::filesystem::directory_iterator(folder))
        {
            const std::string name = item.path().filename().string();
            if (!name.empty() && name[0] == '.')
                names.push_back(name);
        }
        return names;
    }

    // Deletes them, so the next run starts clean; each must look like a
    // temporary file (".NAME.XXXXXX.tmp"), never like an archive.
    inline void RemoveLeftovers(const std::string& folder)
    {
        for (const std::string& name : HiddenFiles(folder))
        {
            EXPECT_EQ(name.substr(name.size() - 4), ".tmp") << name;
            std::filesystem::remove(std::filesystem::path(folder) / name);
        }
    }

    inline std::vector<std::uint8_t> OldOrResultAfterKills(int rounds, unsigned seed, const std::string& path,
                                                           const std::vector<std::uint8_t>& before,
                                                           const std::function<void()>& command)
    {
        testlgp::Save(path, before);
        command();
        const std::vector<std::uint8_t> after = testlgp::Load(path);
        KilledAtRandom(
            rounds, seed, [&] { testlgp::Save(path, before); }, command,
            [&] {
                const std::vector<std::uint8_t> now = testlgp::Load(path);
                EXPECT_TRUE(now == before || now == after);
                RemoveLeftovers(std::filesystem::path(path).parent_path().string() + "/");
            });
        return after;
    }
} // namespace faults
