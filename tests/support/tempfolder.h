#pragma once
// One folder per test under the system's temporary folder, "tarrowin-NAME",
// emptied when made and removed at the end unless kept (by keep(), or
// because the test failed, so it stays for a look); and a file put beside a
// program for one scope.

#include "support/lgpwriter.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class TempFolder
{
public:
    explicit TempFolder(const std::string& name, std::function<bool()> keepIf = {})
        : mPath(std::filesystem::temp_directory_path() / ("tarrowin-" + name))
        , mKeepIf(std::move(keepIf))
    {
        std::filesystem::remove_all(mPath);
        std::filesystem::create_directories(mPath);
    }
    // Named after the running GoogleTest test, kept when it failed: see
    // support/gtestfolder.h.
    TempFolder();
    ~TempFolder()
    {
        if (mKeep || (mKeepIf && mKeepIf()))
            return;
        std::error_code ec;
        std::filesystem::permissions(mPath, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(mPath, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return mPath; }
    // The folder's path ending in "/".
    std::string dir() const { return mPath.string() + "/"; }
    // A path inside the folder.
    std::string file(const std::string& name) const { return (mPath / name).string(); }
    std::filesystem::path operator/(const std::string& name) const { return mPath / name; }
    // A new folder inside, its path ending in "/".
    std::string folder(const std::string& name) const
    {
        std::filesystem::create_directories(mPath / name);
        return (mPath / name).string() + "/";
    }
    // Writes a file inside; its path.
    std::string save(const std::string& name, const testlgp::Bytes& bytes) const
    {
        testlgp::Save(mPath / name, bytes);
        return file(name);
    }
    // Writes the files into a new folder inside; its path.
    std::string fill(const std::string& name, const std::vector<testlgp::File>& files) const
    {
        std::filesystem::create_directories(mPath / name);
        for (const testlgp::File& f : files)
            testlgp::Save(mPath / name / f.Name, f.Data);
        return file(name);
    }
    void keep(bool value = true) { mKeep = value; }

private:
    std::filesystem::path mPath;
    std::function<bool()> mKeepIf;
    bool mKeep = false;
};

namespace testlgp
{
    // Puts a file beside a program (a validation template) for one scope, or
    // takes it away when bytes is empty; whatever was there before comes back.
    class ScopedProgramFile
    {
    public:
        ScopedProgramFile(std::string path, std::optional<Bytes> bytes)
            : mPath(std::move(path))
            , mKept(mPath + ".kept-by-test")
        {
            std::error_code ec;
            if (std::filesystem::exists(mPath, ec))
                std::filesystem::rename(mPath, mKept, ec);
            if (bytes)
                Save(mPath, *bytes);
        }
        ~ScopedProgramFile()
        {
            std::error_code ec;
            std::filesystem::remove(mPath, ec);
            if (std::filesystem::exists(mKept, ec))
                std::filesystem::rename(mKept, mPath, ec);
        }
        ScopedProgramFile(const ScopedProgramFile&) = delete;
        ScopedProgramFile& operator=(const ScopedProgramFile&) = delete;

    private:
        std::string mPath;
        std::string mKept;
    };
} // namespace testlgp
