#pragma once
// Runs the built tarrowin-cli as a user would: its exit code, stdout and stderr.

#include "support/gtestfolder.h"
#include "support/lgpwriter.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

extern char** environ;

namespace testcli
{
    using namespace testlgp;

    struct Result
    {
        int code = -1;
        std::string out;
        std::string err;
    };

    // Runs program (tarrowin-cli unless named) with args, and with environment's
    // NAME=value settings added to the environment.
    inline Result Cli(const TempFolder& tmp, std::vector<std::string> args,
                      const std::vector<std::string>& environment = {}, const std::string& program = TARROWIN_CLI)
    {
        // No command may hang a test run (a FIFO given as a file, say).
        args.insert(args.begin(), program);
        args.insert(args.begin(), environment.begin(), environment.end());
        args.insert(args.begin(), {"timeout", "-s", "KILL", "20", "env"});
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string outPath = tmp.file(".stdout");
        const std::string errPath = tmp.file(".stderr");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        Result r;
        if (spawned != 0)
            return r;
        int status = 0;
        ::waitpid(pid, &status, 0);
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        const Bytes out = Load(outPath);
        const Bytes err = Load(errPath);
        r.out.assign(out.begin(), out.end());
        r.err.assign(err.begin(), err.end());
        std::filesystem::remove(outPath);
        std::filesystem::remove(errPath);
        return r;
    }

    // The run failed (exit status 1) with exactly err on stderr.
    inline ::testing::AssertionResult FailsWith(const Result& r, const std::string& err)
    {
        if (r.code == 1 && r.err == err)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "exit status " << r.code << ", stderr:\n"
                                             << r.err << "\nexpected exit status 1, stderr:\n"
                                             << err;
    }
} // namespace testcli
