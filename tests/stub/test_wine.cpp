// The Windows self-extracting program, run for real under Wine: a prefix made
// once per run in the build folder, the game registered with "wine reg add",
// a patch made by tarrowin-cli from two archives written here and wrapped to
// FIX.exe, and the program answered through TARROWIN_UI_SCRIPT or, in one
// case, through its real dialog with keystrokes (xdotool). The whole program
// runs under Xvfb (xvfb-run). Without Wine these tests fail.

#include "platform/paths.h"

#include "stubscene.h"
#include "support/gamearchives.h"
#include "support/tempfolder.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QThread>

#include <filesystem>

namespace fs = std::filesystem;
using testlgp::Bytes;

namespace
{
    const char* const GameKey = "HKLM\\Software\\Square Soft, Inc.\\Final Fantasy VII";
    const std::string AskLine =
        "message|Mossvane|This is a self-extracting LGP patch. Please select the LGP file to patch:";
    const std::string DoneLine = "message|Mossvane|Process completed!";

    std::string prefix() { return qEnvironmentVariable("WINEPREFIX").toStdString(); }
    std::string dataFolder() { return prefix() + "/drive_c/FF7/data"; }
    std::string bin(const std::string& name) { return Platform::Paths::programDir() + name; }

    // The Windows name of a Linux path, through Wine's Z: drive.
    std::string windowsPath(const std::string& path)
    {
        std::string out = "Z:" + path;
        std::replace(out.begin(), out.end(), '/', '\\');
        return out;
    }

    struct Result
    {
        int exitCode = -1;
        std::string output;
    };

    Result run(const std::string& program, const QStringList& args, const std::string& workDir = {},
               const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(), int timeoutMs = 120000)
    {
        QProcess process;
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        if (!workDir.empty())
            process.setWorkingDirectory(QString::fromStdString(workDir));
        process.start(QString::fromStdString(program), args);
        Result result;
        if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit)
        {
            process.kill();
            process.waitForFinished();
            result.output = "did not end: " + process.readAll().toStdString();
            return result;
        }
        result.exitCode = process.exitCode();
        result.output = process.readAll().toStdString();
        return result;
    }

    QProcessEnvironment wineEnvironment()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("WINEDEBUG", "-all");
        env.remove("TARROWIN_UI_SCRIPT");
        env.remove("TARROWIN_UI_LOG");
        return env;
    }

    Result wine(const QStringList& args, const std::string& workDir = {},
                const QProcessEnvironment& env = wineEnvironment())
    {
        return run("wine", args, workDir, env);
    }

    void registerGame(bool on)
    {
        const Result r = on ? wine({"reg", "add", GameKey, "/v", "AppPath", "/d", "C:\\FF7\\", "/reg:32", "/f"})
                            : wine({"reg", "delete", GameKey, "/v", "AppPath", "/reg:32", "/f"});
        // Deleting what isn't there fails, which is what was wanted.
        if (on)
        {
            ASSERT_EQ(r.exitCode, 0) << r.output;
        }
    }

    // One prefix for the whole run, made fresh, with a server that stays up
    // between the programs so each start is quick.
    class WinePrefix : public ::testing::Environment
    {
    public:
        void SetUp() override
        {
            const Result version = run("wine", {"--version"});
            ASSERT_EQ(version.exitCode, 0) << "Wine is needed for these tests: " << version.output;
            std::error_code ec;
            fs::remove_all(prefix(), ec);
            QProcessEnvironment env = wineEnvironment();
            // No Mono or Gecko installer prompts while the prefix is made.
            env.insert("WINEDLLOVERRIDES", "mscoree,mshtml=");
            const Result boot = run("wineboot", {"-i"}, {}, env, 300000);
            ASSERT_EQ(boot.exitCode, 0) << boot.output;
            mServer.setProcessEnvironment(wineEnvironment());
            mServer.start("wineserver", {"-f", "-p"});
            ASSERT_TRUE(mServer.waitForStarted());
            fs::create_directories(dataFolder());
        }

        void TearDown() override
        {
            run("wineserver", {"-k"}, {}, wineEnvironment());
            mServer.waitForFinished(10000);
        }

    private:
        QProcess mServer;
    };

    // Source archive and its modified version: b.bin changes at the same
    // length, c.bin becomes 16 bytes shorter; a.bin stays.
    struct Versions
    {
        testlgp::Archive source;
        testlgp::Archive modified;
    };

    Versions makeVersions()
    {
        Versions v;
        const Bytes a = testlgp::Letters(200, 1);
        const Bytes b = testlgp::Letters(3000, 2);
        const Bytes c = testlgp::Letters(900, 3);
        Bytes b2 = b;
        b2[7] = '#';
        b2[2999] = '!';
        Bytes c2(c.begin(), c.end() - 16);
        c2[100] = '*';
        v.source.Files = {{"a.bin", a}, {"b.bin", b}, {"c.bin", c}};
        v.modified.Files = {{"a.bin", a}, {"b.bin", b2}, {"c.bin", c2}};
        return v;
    }

    std::vector<std::string> readLines(const std::string& path)
    {
        std::vector<std::string> lines;
        if (!fs::exists(path))
            return lines;
        const Bytes bytes = testlgp::Load(path);
        std::string line;
        for (const std::uint8_t b : bytes)
        {
            if (b == '\n')
            {
                lines.push_back(line);
                line.clear();
            }
            else
                line += char(b);
        }
        return lines;
    }

    class WineStub : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
            std::string name = std::string("WineStub.") + info->name();
            std::replace(name.begin(), name.end(), '/', '.');
            mDir = std::make_unique<TempFolder>(name);
        }
        void TearDown() override { mDir->keep(HasFailure()); }

        std::string path(const std::string& name) const { return *mDir / name; }

        // FIX.exe, made by tarrowin-cli from the two archives, for target.
        void makeProgram(const Versions& v, bool allowOverwrite, const std::string& target)
        {
            testlgp::Save(path("source.lgp"), testlgp::Write(v.source));
            testlgp::Save(path("modified.lgp"), testlgp::Write(v.modified));
            const Result made = run(bin("tarrowin-cli"), {"make-patch", QString::fromStdString(path("source.lgp")),
                                                          QString::fromStdString(path("modified.lgp")),
                                                          QString::fromStdString(path("patch.lgp"))});
            ASSERT_EQ(made.exitCode, 0) << made.output;
            QStringList args{"make-sfx", "--target", QString::fromStdString(target)};
            if (allowOverwrite)
                args << "--allow-overwrite";
            args << QString::fromStdString(path("patch.lgp")) << QString::fromStdString(path("FIX.exe"));
            const Result wrapped = run(bin("tarrowin-cli"), args);
            ASSERT_EQ(wrapped.exitCode, 0) << wrapped.output;
        }

        // Runs FIX.exe under Wine from the test's folder with scripted answers.
        Result runScripted(const std::vector<std::string>& answers, const QStringList& command = {})
        {
            Bytes script;
            for (const std::string& a : answers)
            {
                script.insert(script.end(), a.begin(), a.end());
                script.push_back('\n');
            }
            testlgp::Save(path("answers.txt"), script);
            std::error_code ec;
            fs::remove(path("log.txt"), ec);
            QProcessEnvironment env = wineEnvironment();
            env.insert("TARROWIN_UI_SCRIPT", QString::fromStdString(windowsPath(path("answers.txt"))));
            env.insert("TARROWIN_UI_LOG", QString::fromStdString(windowsPath(path("log.txt"))));
            return wine(command.isEmpty() ? QStringList{"FIX.exe"} : command, mDir->path().string(), env);
        }

        std::unique_ptr<TempFolder> mDir;
    };
} // namespace

class WineStubApply : public WineStub, public ::testing::WithParamInterface<int>
{};

TEST_P(WineStubApply, patchesTheArchiveFoundThroughTheRegistry)
{
    const bool inPlace = GetParam() == 1;
    const Versions v = makeVersions();
    ASSERT_NO_FATAL_FAILURE(makeProgram(v, inPlace, "C:\\FF7\\data\\magic.lgp"));
    const Bytes program = testlgp::Load(path("FIX.exe"));
    const Bytes stub = testlgp::Load(bin("STUBWIN.LGP"));
    ASSERT_GT(program.size(), stub.size());
    EXPECT_TRUE(std::equal(stub.begin(), stub.end(), program.begin())) << "make-sfx takes the Windows stub for .exe";
    EXPECT_EQ(fs::status(path("FIX.exe")).permissions() & fs::perms::owner_exec, fs::perms::none);

    ASSERT_NO_FATAL_FAILURE(registerGame(true));
    const std::string target = dataFolder() + "/magic.lgp";
    const Bytes original = testlgp::Write(v.source);
    testlgp::Save(target, original);

    // A bare name: the dialog's folder is the registered game's data folder.
    const Result r = runScripted({"magic.lgp"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(readLines(path("log.txt")), (std::vector<std::string>{AskLine, "open||magic.lgp|magic.lgp", DoneLine}));
    EXPECT_FALSE(fs::exists(path("FIX.TMP")));
    EXPECT_TRUE(fs::exists(path("FIX.exe")));

    const Bytes patched = testlgp::Load(target);
    EXPECT_EQ(testlgp::Entries(patched), v.modified.Files);
    ExpectPatchedPlaces(patched, original, inPlace);

    // The Linux program, wrapped from the same patch, writes the same bytes.
    QStringList args{"make-sfx", "--target", "magic.lgp"};
    if (inPlace)
        args << "--allow-overwrite";
    args << QString::fromStdString(path("patch.lgp")) << QString::fromStdString(path("fix"));
    const Result wrapped = run(bin("tarrowin-cli"), args);
    ASSERT_EQ(wrapped.exitCode, 0) << wrapped.output;
    fs::create_directories(path("linux"));
    testlgp::Save(path("linux/magic.lgp"), original);
    const std::string answer = path("linux/magic.lgp") + "\n";
    testlgp::Save(path("linux-answers.txt"), Bytes(answer.begin(), answer.end()));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("WINEPREFIX", QString::fromStdString(path("no-prefix")));
    env.insert("TARROWIN_UI_SCRIPT", QString::fromStdString(path("linux-answers.txt")));
    const Result linux = run(path("fix"), {}, mDir->path().string(), env);
    ASSERT_EQ(linux.exitCode, 0) << linux.output;
    EXPECT_EQ(testlgp::Load(path("linux/magic.lgp")), patched);
}

INSTANTIATE_TEST_SUITE_P(Flags, WineStubApply, ::testing::Values(0, 1));

TEST_F(WineStub, cancelLeavesNoTemporaryFile)
{
    const Versions v = makeVersions();
    ASSERT_NO_FATAL_FAILURE(makeProgram(v, true, "magic.lgp"));
    ASSERT_NO_FATAL_FAILURE(registerGame(true));
    const Bytes original = testlgp::Write(v.source);
    testlgp::Save(dataFolder() + "/magic.lgp", original);

    const Result r = runScripted({"cancel"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(readLines(path("log.txt")), (std::vector<std::string>{AskLine, "open||magic.lgp|magic.lgp"}));
    EXPECT_FALSE(fs::exists(path("FIX.TMP")));
    EXPECT_EQ(testlgp::Load(dataFolder() + "/magic.lgp"), original);
}

TEST_F(WineStub, archiveHeldByAnotherWriterIsRefusedAndUnchanged)
{
    const Versions v = makeVersions();
    ASSERT_NO_FATAL_FAILURE(makeProgram(v, true, "magic.lgp"));
    ASSERT_NO_FATAL_FAILURE(registerGame(true));
    const Bytes original = testlgp::Write(v.source);
    testlgp::Save(dataFolder() + "/magic.lgp", original);
    fs::copy_file(qEnvironmentVariable("TARROWIN_WINHOLD").toStdString(), path("winhold.exe"));

    // winhold.exe keeps the archive open for writing, letting others only
    // read, while FIX.exe runs.
    const Result r = runScripted({"magic.lgp"}, {"winhold.exe", "C:\\FF7\\data\\magic.lgp", "FIX.exe"});
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_EQ(readLines(path("log.txt")), (std::vector<std::string>{AskLine, "open||magic.lgp|magic.lgp",
                                                                    "error|Mossvane|Cannot open file magic.lgp."}));
    EXPECT_EQ(testlgp::Load(dataFolder() + "/magic.lgp"), original);
    EXPECT_FALSE(fs::exists(path("FIX.TMP")));
}

TEST_F(WineStub, withoutRegistryValueTheDialogOpensInTheStartFolder)
{
    const Versions v = makeVersions();
    ASSERT_NO_FATAL_FAILURE(makeProgram(v, true, "magic.lgp"));
    registerGame(false);
    const Bytes original = testlgp::Write(v.source);
    testlgp::Save(dataFolder() + "/magic.lgp", original);
    testlgp::Save(path("magic.lgp"), original);

    const Result r = runScripted({"magic.lgp"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(readLines(path("log.txt")), (std::vector<std::string>{AskLine, "open||magic.lgp|magic.lgp", DoneLine}));
    EXPECT_EQ(testlgp::Entries(testlgp::Load(path("magic.lgp"))), v.modified.Files);
    EXPECT_EQ(testlgp::Load(dataFolder() + "/magic.lgp"), original);
    EXPECT_FALSE(fs::exists(path("FIX.TMP")));
}

namespace
{
    // The first window whose title is exactly title, or "" after timeoutMs.
    std::string waitForWindow(const QString& title, int timeoutMs = 60000)
    {
        for (int waited = 0; waited < timeoutMs; waited += 250)
        {
            const Result found = run("xdotool", {"search", "--name", "^" + title + "$"});
            if (found.exitCode == 0 && !found.output.empty())
                return found.output.substr(0, found.output.find('\n'));
            QThread::msleep(250);
        }
        return {};
    }

    void press(const std::string& window, const QStringList& keys)
    {
        const QString id = QString::fromStdString(window);
        run("xdotool", {"windowfocus", "--sync", id});
        run("xdotool", QStringList{"key", "--window", id} + keys);
    }
} // namespace

// The real message boxes and file dialog, answered with keystrokes.
TEST_F(WineStub, realDialogAnsweredWithKeystrokes)
{
    const Versions v = makeVersions();
    ASSERT_NO_FATAL_FAILURE(makeProgram(v, true, "my archive.lgp"));
    ASSERT_NO_FATAL_FAILURE(registerGame(true));
    const Bytes original = testlgp::Write(v.source);
    for (const char* name : {"my archive.lgp", "my.lgp", "archive.lgp", "other.lgp"})
        testlgp::Save(dataFolder() + "/" + name, original);

    QProcess program;
    program.setProcessEnvironment(wineEnvironment());
    program.setWorkingDirectory(QString::fromStdString(mDir->path().string()));
    program.start("wine", {"FIX.exe"});
    ASSERT_TRUE(program.waitForStarted());

    const std::string ask = waitForWindow("Mossvane");
    ASSERT_FALSE(ask.empty()) << "no message box";
    press(ask, {"Return"});
    const std::string dialog = waitForWindow("Open");
    ASSERT_FALSE(dialog.empty()) << "no file dialog";
    QThread::msleep(1500); // let it list the folder
    const QByteArray shots = qgetenv("TARROWIN_SCREENSHOT_DIR");
    if (!shots.isEmpty() && QGuiApplication::primaryScreen())
    {
        QThread::msleep(5000); // painted in full
        const QPixmap picture = QGuiApplication::primaryScreen()->grabWindow(std::stoull(dialog));
        EXPECT_TRUE(picture.save(QString::fromUtf8(shots) + "/stub-windows-dialog.png"));
    }
    const QString id = QString::fromStdString(dialog);
    run("xdotool", {"windowfocus", "--sync", id});
    run("xdotool", {"type", "--window", id, "my archive.lgp"});
    press(dialog, {"Return"});
    const std::string done = waitForWindow("Mossvane");
    ASSERT_FALSE(done.empty()) << "no completion box";
    press(done, {"Return"});
    ASSERT_TRUE(program.waitForFinished(60000));
    EXPECT_EQ(program.exitCode(), 0);

    EXPECT_EQ(testlgp::Entries(testlgp::Load(dataFolder() + "/my archive.lgp")), v.modified.Files);
    for (const char* name : {"my.lgp", "archive.lgp", "other.lgp"})
        EXPECT_EQ(testlgp::Load(dataFolder() + "/" + name), original) << name;
    EXPECT_FALSE(fs::exists(path("FIX.TMP")));
}

TEST_F(WineStub, patchesOneCopyOfARepeatedNameAlone)
{
    auto entries = testlgp::MagicStyleEntries();
    const Bytes original = testlgp::MagicBytes(entries);
    entries[3].Data = testlgp::B("FIRE one in mag_a");
    const Bytes modified = testlgp::MagicBytes(entries);
    testlgp::Save(path("source.lgp"), original);
    testlgp::Save(path("modified.lgp"), modified);
    const auto q = [&](const char* name) { return QString::fromStdString(path(name)); };
    ASSERT_EQ(run(bin("tarrowin-cli"), {"make-patch", q("source.lgp"), q("modified.lgp"), q("patch.lgp")}).exitCode, 0);
    ASSERT_EQ(run(bin("tarrowin-cli"), {"make-sfx", "--target", "magic.lgp", q("patch.lgp"), q("FIX.exe")}).exitCode,
              0);
    ASSERT_NO_FATAL_FAILURE(registerGame(true));
    testlgp::Save(dataFolder() + "/magic.lgp", original);

    const Result r = runScripted({"magic.lgp"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(testlgp::Entries(testlgp::Load(dataFolder() + "/magic.lgp")), testlgp::Entries(modified));
}

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new WinePrefix);
    return RUN_ALL_TESTS();
}
