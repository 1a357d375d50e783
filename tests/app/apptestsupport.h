#pragma once
// What the main-window tests share: archives written by the tests' own writer
// (support/lgpwriter.h), one temporary folder per test function, and an
// environment that keeps the real user's settings, Wine prefix and Steam
// libraries out of the way.

#include "platform/ui.h"
#include "support/lgpwriter.h"
#include "support/tempfolder.h"

#include <QByteArray>
#include <QListWidget>
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

    inline QStringList listItems(const QListWidget* list)
    {
        QStringList items;
        for (int i = 0; i < list->count(); ++i)
            items << list->item(i)->text();
        return items;
    }

    // The folder of the running test function, emptied at its start and kept
    // when it failed; the settings and data folders, Wine prefix and home
    // folder point into it.
    class TestFolder
    {
    public:
        TestFolder()
            : mFolder(Name(), [] { return QTest::currentTestFailed(); })
            , mCwd(fs::current_path())
        {
            fs::create_directories(root() / "home");
            ::setenv("XDG_CONFIG_HOME", (root() / "config").c_str(), 1);
            ::setenv("XDG_DATA_HOME", (root() / "data").c_str(), 1);
            ::setenv("WINEPREFIX", (root() / "wine").c_str(), 1);
            ::setenv("HOME", (root() / "home").c_str(), 1);
        }
        ~TestFolder()
        {
            std::error_code ec;
            fs::current_path(mCwd, ec);
        }
        TestFolder(const TestFolder&) = delete;
        TestFolder& operator=(const TestFolder&) = delete;

        const fs::path& root() const { return mFolder.path(); }
        fs::path operator/(const std::string& name) const { return root() / name; }
        fs::path settingsFile() const { return root() / "config" / "QUENWICK.INI"; }

    private:
        static std::string Name()
        {
            std::string name =
                fs::path(QTest::currentAppName()).filename().string() + "." + QTest::currentTestFunction();
            if (QTest::currentDataTag() && *QTest::currentDataTag())
                name += std::string(".") + QTest::currentDataTag();
            return name;
        }

        TempFolder mFolder;
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
