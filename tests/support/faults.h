#pragma once
// Crash-safety harness: runs a write command with the file layer's fault seam
// at every mutating call in turn, failing it in this process or ending a
// forked child there, and hands each outcome to a check of the files.

#include "platform/file.h"
#include "support/lgpwriter.h"

#include <gtest/gtest.h>

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
    // k-th mutating file call given action, and check(outcome) judges the files.
    // Ends with the first run that completes; returns how many calls it made.
    inline int AtEveryCall(Action action, const std::function<void()>& prepare, const std::function<void()>& command,
                           const std::function<void(Outcome)>& check)
    {
        using namespace Platform::File;
        for (int k = 1; k < 100000; ++k)
        {
            prepare();
            Outcome outcome = Outcome::Completed;
            if (action == Action::Fail)
            {
                Fault::arm(k, Action::Fail);
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
