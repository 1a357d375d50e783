#pragma once
// What the main-window tests share: archives written by the tests' own writer
// (support/lgpwriter.h), one temporary folder per test function, and an
// environment that keeps the real user's settings, Wine prefix and Steam
// libraries out of the way.

#include "platform/ui.h"
#include "support/lgpwriter.h"

#include <QByteArray>
#include <QString>
#include <QTest>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace AppTest
{
    namespace fs = std::filesystem;

    using testlgp::Archive;
    using testlgp::B;
    using testlgp::Bytes;
    using testlgp::File;
    using testlgp::Written;

    inline void writeFile(const fs::path& path, std::string_view bytes) { testlgp::Save(path, bytes); }
    inline std::string readFile(const fs::path& path) { return testlgp::LoadText(path); }

    inline Written saveArchive(const fs::path& path, const Archive& a)
    {
        Written w = testlgp::Lay(a);
        testlgp::Save(path, w.Content);
        return w;
    }

    // count files named "f00000.bin"... whose data is their number in text.
    inline Archive numbered(int count)
    {
        Archive a;
        for (int i = 0; i < count; ++i)
        {
            char name[20];
            std::snprintf(name, sizeof name, "f%05d.bin", i + 1);
            a.Files.push_back({name, B("data of file " + std::to_string(i + 1))});
        }
        return a;
    }

    inline QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

    // The folder of the running test function, emptied at its start; the
    // settings folder, Wine prefix and home folder point into it.
    class TestFolder
    {
    public:
        TestFolder()
            : mCwd(fs::current_path())
        {
            mRoot = fs::temp_directory_path()
                    / (std::string("tarrowin.") + QTest::currentAppName() + "." + QTest::currentTestFunction());
            if (QTest::currentDataTag() && *QTest::currentDataTag())
                mRoot += std::string(".") + QTest::currentDataTag();
            fs::remove_all(mRoot);
            fs::create_directories(mRoot / "home");
            ::setenv("XDG_CONFIG_HOME", (mRoot / "config").c_str(), 1);
            ::setenv("WINEPREFIX", (mRoot / "wine").c_str(), 1);
            ::setenv("HOME", (mRoot / "home").c_str(), 1);
        }
        ~TestFolder()
        {
            std::error_code ec;
            fs::current_path(mCwd, ec);
            if (!QTest::currentTestFailed())
                fs::remove_all(mRoot, ec);
        }
        TestFolder(const TestFolder&) = delete;
        TestFolder& operator=(const TestFolder&) = delete;

        const fs::path& root() const { return mRoot; }
        fs::path operator/(const std::string& name) const { return mRoot / name; }
        fs::path settingsFile() const { return mRoot / "config" / "QUENWICK.INI"; }

    private:
        fs::path mRoot;
        fs::path mCwd;
    };

    // What every test function of the main window runs in: its folder, and a
    // scripted prompter answering every box and dialog.
    struct Session
    {
        TestFolder folder;
        Platform::Ui::ScriptedPrompter prompter;
        Platform::Ui::ScopedPrompter scope{prompter};
    };
} // namespace AppTest
