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
#include <iostream>
#include <memory>
#include <sstream>

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
            std::string report;
            for (int attempt = 1; attempt <= 2; ++attempt)
            {
                const std::string failure = makePrefix();
                if (failure.empty())
                {
                    mServer.setProcessEnvironment(wineEnvironment());
                    mServer.start("wineserver", {"-f", "-p"});
                    ASSERT_TRUE(mServer.waitForStarted());
                    fs::create_directories(dataFolder());
                    return;
                }
                report += "attempt " + std::to_string(attempt) + ": " + failure + "\n";
            }
            FAIL() << "Could not make the Wine prefix " << prefix() << ":\n" << report;
        }

        void TearDown() override
        {
            run("wineserver", {"-k"}, {}, wineEnvironment());
            mServer.waitForFinished(10000);
        }

    private:
        // Makes the prefix from nothing; what failed, or "" when it is ready.
        // A server still running on the folder (from a run that was killed)
        // would serve the new prefix from the deleted one, whose programs then
        // find no kernel32.dll: it is ended first. The prefix counts as made
        // once every process wineboot started has ended (wineserver -w) and a
        // first program runs in it.
        static std::string makePrefix()
        {
            QProcessEnvironment env = wineEnvironment();
            // No Mono or Gecko installer prompts while the prefix is made.
            env.insert("WINEDLLOVERRIDES", "mscoree,mshtml=");
            run("wineserver", {"-k"}, {}, env, 30000);
            run("wineserver", {"-w"}, {}, env, 60000);
            std::error_code ec;
            fs::remove_all(prefix(), ec);
            if (fs::exists(prefix()))
                return "the old prefix could not be removed: " + ec.message();
            const auto failed = [](const std::string& step, const Result& r) {
                return step
                       + (r.exitCode < 0 ? std::string(" did not end") : " exited with " + std::to_string(r.exitCode))
                       + ":\n" + r.output;
            };
            const Result boot = run("wineboot", {"-i"}, {}, env, 300000);
            if (boot.exitCode != 0)
                return failed("wineboot -i", boot);
            const Result settled = run("wineserver", {"-w"}, {}, env, 300000);
            if (settled.exitCode != 0)
                return failed("wineserver -w after wineboot", settled);
            if (!fs::exists(prefix() + "/drive_c/windows/system32/kernel32.dll"))
                return "wineboot -i ended without writing drive_c/windows/system32/kernel32.dll";
            const Result first = run("wine", {"reg", "query", "HKLM\\Software"}, {}, env, 120000);
            if (first.exitCode != 0)
                return failed("the first program in the new prefix (wine reg query)", first);
            return {};
        }

        QProcess mServer;
    };

    using Versions = StubVersions;
    Versions makeVersions() { return MakeStubVersions(); }

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

        // FIX.exe, made by tarrowin-cli from the two archives of v, for target,
        // from the tests' build of the Windows program (scripted answers) or,
        // with shipped, from STUBWIN.LGP as make-sfx picks it.
        void makeProgram(bool allowOverwrite, const std::string& target, bool shipped = false)
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
            if (!shipped)
                args << "--stub" << qEnvironmentVariable("TARROWIN_WINSTUB_TEST");
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
            QProcessEnvironment env = wineEnvironment();
            env.insert("TARROWIN_UI_SCRIPT", QString::fromStdString(windowsPath(path("answers.txt"))));
            env.insert("TARROWIN_UI_LOG", QString::fromStdString(windowsPath(path("log.txt"))));
            const QStringList args = command.isEmpty() ? QStringList{"FIX.exe"} : command;
            // The program writes its log before it writes any file, and
            // writes it before it ends with a failure. A run that failed
            // with no log and no temporary patch never got as far as the
            // program's first line; Wine, under load, now and then fails to
            // start a program. Such a run changed nothing and is made once
            // more, its output kept in the test's log.
            for (int attempt = 1;; ++attempt)
            {
                std::error_code ec;
                fs::remove(path("log.txt"), ec);
                const Result r = wine(args, mDir->path().string(), env);
                if (r.exitCode == 0 || attempt == 2 || fs::exists(path("log.txt")) || fs::exists(path("FIX.TMP")))
                    return r;
                std::cerr << "Wine ended " << args.join(' ').toStdString() << " with " << r.exitCode
                          << " before the program's first line; once more. Its output:\n"
                          << r.output << "\n";
            }
        }

        // FIX.exe for magic.lgp (see makeProgram), the game registered, and the
        // source archive at its place in the game's data folder.
        void installGame(bool allowOverwrite)
        {
            ASSERT_NO_FATAL_FAILURE(makeProgram(allowOverwrite, "magic.lgp"));
            ASSERT_NO_FATAL_FAILURE(registerGame(true));
            testlgp::Save(gameArchive, original);
        }

        std::unique_ptr<TempFolder> mDir;
        const Versions v = makeVersions();
        const Bytes original = testlgp::Write(v.source);
        const std::string gameArchive = dataFolder() + "/magic.lgp";
    };
} // namespace

class WineStubApply : public WineStub, public ::testing::WithParamInterface<int>
{};

TEST_P(WineStubApply, patchesTheArchiveFoundThroughTheRegistry)
{
    const bool inPlace = GetParam() == 1;
    ASSERT_NO_FATAL_FAILURE(makeProgram(inPlace, "C:\\FF7\\data\\magic.lgp"));
    EXPECT_EQ(fs::status(path("FIX.exe")).permissions() & fs::perms::owner_exec, fs::perms::none);

    ASSERT_NO_FATAL_FAILURE(registerGame(true));
    const std::string& target = gameArchive;
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
    ASSERT_NO_FATAL_FAILURE(installGame(true));

    const Result r = runScripted({"cancel"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(readLines(path("log.txt")), (std::vector<std::string>{AskLine, "open||magic.lgp|magic.lgp"}));
    EXPECT_FALSE(fs::exists(path("FIX.TMP")));
    EXPECT_EQ(testlgp::Load(gameArchive), original);
}

TEST_F(WineStub, archiveHeldByAnotherWriterIsRefusedAndUnchanged)
{
    ASSERT_NO_FATAL_FAILURE(installGame(true));
    fs::copy_file(qEnvironmentVariable("TARROWIN_WINHOLD").toStdString(), path("winhold.exe"));

    // winhold.exe keeps the archive open for writing, letting others only
    // read, while FIX.exe runs.
    // With "reader", it only reads but lets nobody replace the file: the
    // patched copy can't take its place, which is the same refusal, not a
    // write error.
    for (const QString& mode : {QString(), QStringLiteral("reader")})
    {
        QStringList command{"winhold.exe", "C:\\FF7\\data\\magic.lgp", "FIX.exe"};
        if (!mode.isEmpty())
            command << mode;
        const Result r = runScripted({"magic.lgp"}, command);
        EXPECT_EQ(r.exitCode, 1) << r.output;
        // A reader holding the file lets the patched copy be made, then
        // keeps it from taking the archive's place: the box says so.
        const std::string why = mode.isEmpty() ? ""
                                               : " The new version of C:\\FF7\\data\\magic.lgp could not take its "
                                                 "place: Permission denied. Nothing was changed.";
        EXPECT_EQ(readLines(path("log.txt")),
                  (std::vector<std::string>{AskLine, "open||magic.lgp|magic.lgp",
                                            "error|Mossvane|Cannot open file C:\\FF7\\data\\magic.lgp." + why}))
            << mode.toStdString() << "\n"
            << r.output;
        EXPECT_EQ(testlgp::Load(gameArchive), original);
        EXPECT_FALSE(fs::exists(path("FIX.TMP")));
    }
}

// Temporary files a stopped run left beside the archive are deleted before
// the patch is applied; one that a running program holds open is not, nor
// is a file that only looks like one.
TEST_F(WineStub, leftoverTemporaryFilesAreRemovedUnlessHeld)
{
    ASSERT_NO_FATAL_FAILURE(installGame(true));
    fs::copy_file(qEnvironmentVariable("TARROWIN_WINHOLD").toStdString(), path("winhold.exe"));
    const Bytes junk = testlgp::B("a partial copy of the archive");
    const std::string left = dataFolder() + "/.magic.lgp.123456.tmp";
    const std::string held = dataFolder() + "/.magic.lgp.654321.tmp";
    const std::string other = dataFolder() + "/.magic.lgp.notours.tmp";
    for (const std::string& file : {left, held, other})
        testlgp::Save(file, junk);

    const Result r = runScripted({"magic.lgp"}, {"winhold.exe", "C:\\FF7\\data\\.magic.lgp.654321.tmp", "FIX.exe"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(readLines(path("log.txt")),
              (std::vector<std::string>{AskLine, "open||magic.lgp|magic.lgp",
                                        "message|Mossvane|Removed 1 temporary file that stopped runs had left beside "
                                        "C:\\FF7\\data\\magic.lgp: .magic.lgp.123456.tmp.",
                                        DoneLine}));
    EXPECT_EQ(testlgp::Entries(testlgp::Load(gameArchive)), v.modified.Files);
    EXPECT_FALSE(fs::exists(left));
    EXPECT_EQ(testlgp::Load(held), junk);
    EXPECT_EQ(testlgp::Load(other), junk);
    fs::remove(held);
    fs::remove(other);
}

TEST_F(WineStub, withoutRegistryValueTheDialogOpensInTheStartFolder)
{
    ASSERT_NO_FATAL_FAILURE(makeProgram(true, "magic.lgp"));
    registerGame(false);
    testlgp::Save(gameArchive, original);
    testlgp::Save(path("magic.lgp"), original);

    const Result r = runScripted({"magic.lgp"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(readLines(path("log.txt")), (std::vector<std::string>{AskLine, "open||magic.lgp|magic.lgp", DoneLine}));
    EXPECT_EQ(testlgp::Entries(testlgp::Load(path("magic.lgp"))), v.modified.Files);
    EXPECT_EQ(testlgp::Load(gameArchive), original);
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

// The program that ships, made by make-sfx from STUBWIN.LGP: the real message
// boxes and file dialog, answered with keystrokes. The target lies one folder
// below the game's data folder (data\field), where the dialog opens, so the
// name typed alone picks it. The tests' answer and log variables are set and
// ignored: the shipped program has no such hook.
TEST_F(WineStub, realDialogAnsweredWithKeystrokes)
{
    ASSERT_NO_FATAL_FAILURE(makeProgram(true, "my archive.lgp", true));
    const Bytes stub = testlgp::Load(bin("STUBWIN.LGP"));
    const Bytes made = testlgp::Load(path("FIX.exe"));
    ASSERT_GT(made.size(), stub.size());
    EXPECT_TRUE(std::equal(stub.begin(), stub.end(), made.begin())) << "make-sfx takes the Windows stub for .exe";
    ASSERT_NO_FATAL_FAILURE(registerGame(true));
    const std::string field = dataFolder() + "/field";
    fs::create_directories(field);
    fs::create_directories(dataFolder() + "/battle");
    for (const char* name : {"my archive.lgp", "my.lgp", "archive.lgp", "other.lgp"})
        testlgp::Save(field + "/" + name, original);
    testlgp::Save(path("answers.txt"), testlgp::B("cancel\n"));

    QProcess program;
    QProcessEnvironment env = wineEnvironment();
    env.insert("TARROWIN_UI_SCRIPT", QString::fromStdString(windowsPath(path("answers.txt"))));
    env.insert("TARROWIN_UI_LOG", QString::fromStdString(windowsPath(path("log.txt"))));
    program.setProcessEnvironment(env);
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

    EXPECT_EQ(testlgp::Entries(testlgp::Load(field + "/my archive.lgp")), v.modified.Files);
    for (const char* name : {"my.lgp", "archive.lgp", "other.lgp"})
        EXPECT_EQ(testlgp::Load(field + "/" + name), original) << name;
    EXPECT_FALSE(fs::exists(path("FIX.TMP")));
    EXPECT_FALSE(fs::exists(path("log.txt"))) << "the shipped program wrote the tests' log";
}

// Signed after wrapping with a throwaway certificate: the signature verifies,
// the program patches, and the patch unwraps.
TEST_F(WineStub, programSignedAfterWrappingVerifiesPatchesAndUnwraps)
{
    ASSERT_NO_FATAL_FAILURE(installGame(false));

    const Result key = run("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                                       "/CN=Tarrowin test signer", "-keyout", QString::fromStdString(path("key.pem")),
                                       "-out", QString::fromStdString(path("cert.pem"))});
    ASSERT_EQ(key.exitCode, 0) << key.output;
    const Result sign =
        run("osslsigncode", {"sign", "-certs", QString::fromStdString(path("cert.pem")), "-key",
                             QString::fromStdString(path("key.pem")), "-n", "Tarrowin patch", "-in",
                             QString::fromStdString(path("FIX.exe")), "-out", QString::fromStdString(path("S.exe"))});
    ASSERT_EQ(sign.exitCode, 0) << sign.output;
    const Result verify = run("osslsigncode", {"verify", "-CAfile", QString::fromStdString(path("cert.pem")), "-in",
                                               QString::fromStdString(path("S.exe"))});
    EXPECT_EQ(verify.exitCode, 0) << verify.output;
    EXPECT_NE(verify.output.find("Signature verification: ok"), std::string::npos) << verify.output;
    fs::remove(path("FIX.exe"));
    fs::rename(path("S.exe"), path("FIX.exe"));

    const Result r = runScripted({"magic.lgp"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(readLines(path("log.txt")), (std::vector<std::string>{AskLine, "open||magic.lgp|magic.lgp", DoneLine}));
    EXPECT_EQ(testlgp::Entries(testlgp::Load(gameArchive)), v.modified.Files);

    const Result unwrapped = run(bin("tarrowin-cli"), {"unwrap-sfx", QString::fromStdString(path("FIX.exe")),
                                                       QString::fromStdString(path("back.lgp"))});
    ASSERT_EQ(unwrapped.exitCode, 0) << unwrapped.output;
    EXPECT_EQ(testlgp::Load(path("back.lgp")), testlgp::Load(path("patch.lgp")));
}

// One flipped bit, or a download cut short, is refused before anything is
// asked; the archive stays as it was.
TEST_F(WineStub, damagedDownloadIsRefusedAndTheArchiveUnchanged)
{
    ASSERT_NO_FATAL_FAILURE(installGame(true));
    const Bytes program = testlgp::Load(path("FIX.exe"));
    const std::size_t patchSize = testlgp::Load(path("patch.lgp")).size();

    Bytes flipped = program;
    flipped[program.size() - 40 - patchSize / 2] ^= 0x04;
    const Bytes cut(program.begin(), program.end() - std::ptrdiff_t(patchSize / 3));
    for (const Bytes& damaged : {flipped, cut})
    {
        testlgp::Save(path("FIX.exe"), damaged);
        const Result r = runScripted({"magic.lgp"});
        EXPECT_EQ(r.exitCode, 1) << r.output;
        EXPECT_EQ(readLines(path("log.txt")),
                  (std::vector<std::string>{"error|Mossvane|This patch is damaged; download it again."}));
        EXPECT_EQ(testlgp::Load(gameArchive), original);
        EXPECT_FALSE(fs::exists(path("FIX.TMP")));
    }
}

// The wrong archive chosen: refused by name, unchanged, no false success.
TEST_F(WineStub, archiveWithNoneOfThePatchsFilesIsRefusedUnchanged)
{
    ASSERT_NO_FATAL_FAILURE(makeProgram(true, "magic.lgp"));
    ASSERT_NO_FATAL_FAILURE(registerGame(true));
    const Bytes other = testlgp::Write(testlgp::Archive{.Files = {{"x.bin", testlgp::Letters(300, 4)}}});
    testlgp::Save(gameArchive, other);

    const Result r = runScripted({"magic.lgp"});
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_EQ(readLines(path("log.txt")),
              (std::vector<std::string>{
                  AskLine, "open||magic.lgp|magic.lgp",
                  "error|Mossvane|C:\\FF7\\data\\magic.lgp holds none of this patch's files; nothing was changed."}));
    EXPECT_EQ(testlgp::Load(gameArchive), other);
}

// Two copies started at once (a double click too many), appending: each has a
// temporary patch of its own; the archive ends patched once, and a copy that
// doesn't patch it refuses with the held archive's message.
TEST_F(WineStub, twoCopiesStartedAtOnceEndWithTheArchivePatchedOnce)
{
    ASSERT_NO_FATAL_FAILURE(installGame(false));
    const std::string& target = gameArchive;
    testlgp::Save(path("answers.txt"), testlgp::B("magic.lgp\n"));

    // Patched once, alone, for the expected bytes.
    const Result alone = runScripted({"magic.lgp"});
    ASSERT_EQ(alone.exitCode, 0) << alone.output;
    const Bytes once = testlgp::Load(target);
    testlgp::Save(target, original);

    QProcessEnvironment env = wineEnvironment();
    env.insert("TARROWIN_UI_SCRIPT", QString::fromStdString(windowsPath(path("answers.txt"))));
    std::vector<std::unique_ptr<QProcess>> copies;
    for (int i = 0; i < 2; ++i)
    {
        auto copy = std::make_unique<QProcess>();
        env.insert("TARROWIN_UI_LOG", QString::fromStdString(windowsPath(path("log" + std::to_string(i) + ".txt"))));
        copy->setProcessEnvironment(env);
        copy->setWorkingDirectory(QString::fromStdString(mDir->path().string()));
        copy->setProcessChannelMode(QProcess::MergedChannels);
        copy->start("wine", {"FIX.exe"});
        copies.push_back(std::move(copy));
    }
    for (int i = 0; i < 2; ++i)
    {
        ASSERT_TRUE(copies[std::size_t(i)]->waitForFinished(120000));
        const std::vector<std::string> log = readLines(path("log" + std::to_string(i) + ".txt"));
        ASSERT_EQ(log.size(), 3u) << copies[std::size_t(i)]->readAll().toStdString();
        EXPECT_TRUE(log[2] == DoneLine || log[2] == "error|Mossvane|Cannot open file C:\\FF7\\data\\magic.lgp.")
            << log[2];
        EXPECT_EQ(copies[std::size_t(i)]->exitCode(), log[2] == DoneLine ? 0 : 1);
    }
    EXPECT_EQ(testlgp::Load(target), once);
    EXPECT_FALSE(fs::exists(path("FIX.TMP")));
    EXPECT_FALSE(fs::exists(path("FIX~2.TMP")));
}

// The program carries its icon, version information and manifest.
TEST(WindowsProgram, carriesIconVersionInformationAndManifest)
{
    const Result dump = run("x86_64-w64-mingw32-objdump", {"-p", QString::fromStdString(bin("STUBWIN.LGP"))});
    ASSERT_EQ(dump.exitCode, 0) << dump.output;
    // The resource types of the top level ("%03x   Entry: ID: 0x0000NN" in the
    // dump): 3 icon, 14 icon group, 16 version, 24 manifest.
    std::vector<std::string> types;
    std::istringstream lines(dump.output);
    for (std::string line; std::getline(lines, line);)
        if (line.size() > 20 && line.compare(3, 17, "   Entry: ID: 0x0") == 0)
            types.push_back(line.substr(17, 8));
    EXPECT_EQ(types, (std::vector<std::string>{"0x000003", "0x00000e", "0x000010", "0x000018"})) << dump.output;
    const Bytes image = testlgp::Load(bin("STUBWIN.LGP"));
    const std::string bytes(image.begin(), image.end());
    for (const char* setting : {"requestedExecutionLevel level=\"asInvoker\"", "<longPathAware", "PerMonitorV2",
                                "Microsoft.Windows.Common-Controls", "supportedOS"})
        EXPECT_NE(bytes.find(setting), std::string::npos) << setting;
    // Version strings are UTF-16.
    const auto utf16 = [](const std::string& text) {
        std::string out;
        for (const char c : text)
            out += std::string{c, '\0'};
        return out;
    };
    for (const char* field : {"ProductName", "Tarrowin", "FileDescription", "ProductVersion"})
        EXPECT_NE(bytes.find(utf16(field)), std::string::npos) << field;
}

TEST_F(WineStub, patchesOneCopyOfARepeatedNameAlone)
{
    auto entries = testlgp::MagicStyleEntries();
    const Bytes magic = testlgp::MagicBytes(entries);
    entries[3].Data = testlgp::B("FIRE one in mag_a");
    const Bytes modified = testlgp::MagicBytes(entries);
    testlgp::Save(path("source.lgp"), magic);
    testlgp::Save(path("modified.lgp"), modified);
    const auto q = [&](const char* name) { return QString::fromStdString(path(name)); };
    ASSERT_EQ(run(bin("tarrowin-cli"), {"make-patch", q("source.lgp"), q("modified.lgp"), q("patch.lgp")}).exitCode, 0);
    ASSERT_EQ(run(bin("tarrowin-cli"), {"make-sfx", "--target", "magic.lgp", "--stub",
                                        qEnvironmentVariable("TARROWIN_WINSTUB_TEST"), q("patch.lgp"), q("FIX.exe")})
                  .exitCode,
              0);
    ASSERT_NO_FATAL_FAILURE(registerGame(true));
    testlgp::Save(gameArchive, magic);

    const Result r = runScripted({"magic.lgp"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(testlgp::Entries(testlgp::Load(gameArchive)), testlgp::Entries(modified));
}

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new WinePrefix);
    return RUN_ALL_TESTS();
}
