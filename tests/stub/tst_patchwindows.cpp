// The patch creator and patch converter windows, and the whole road of a
// self-extracting patch: two archives built here, a patch made through the
// creator (from an archive and from a folder), wrapped by the converter, run
// as a real process with its dialog answered, and unwrapped again.

#include "patch/lgpmakepatch.h"
#include "patch/lgpselfextract.h"

#include "core/lgpstruct.h"
#include "patch/lgppatch.h"
#include "platform/paths.h"
#include "platform/ui.h"

#include "support/gamearchives.h"
#include "support/tempfolder.h"

#include <QAbstractProxyModel>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <optional>

namespace fs = std::filesystem;
using testlgp::Bytes;
using Kind = Platform::Ui::ScriptedPrompter::Kind;

namespace
{
    QString qs(const std::string& text) { return QString::fromStdString(text); }

    struct ProcessResult
    {
        int exitCode = -1;
        QStringList log;
    };

    // Runs a self-extracting patch with its boxes answered from script lines.
    ProcessResult runProgram(const std::string& program, const QStringList& script, const std::string& workDir)
    {
        const QString scriptPath = qs(workDir + "/ui-script.txt");
        const QString logPath = qs(workDir + "/ui-log.txt");
        QFile::remove(logPath);
        {
            QFile file(scriptPath);
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                return {};
            for (const QString& line : script)
                file.write(line.toUtf8() + '\n');
        }
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TARROWIN_UI_SCRIPT", scriptPath);
        env.insert("TARROWIN_UI_LOG", logPath);
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(qs(workDir));
        process.start(qs(program), {});
        ProcessResult result;
        if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        {
            qWarning() << "self-extracting program did not end normally:" << process.readAllStandardError();
            return result;
        }
        result.exitCode = process.exitCode();
        QFile log(logPath);
        if (log.open(QIODevice::ReadOnly | QIODevice::Text))
            result.log = QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
        return result;
    }

    // Source and modified versions covering what a patch can and can't carry.
    struct Versions
    {
        testlgp::Archive source;
        testlgp::Archive modified;
        std::vector<testlgp::File> expected; // the source archive once patched
    };

    Versions makeVersions()
    {
        Versions v;
        const Bytes same = testlgp::Letters(700, 1);
        const Bytes b = testlgp::Letters(900, 2);
        const Bytes c = testlgp::Letters(500, 3);
        const Bytes d = testlgp::Letters(600, 4);
        const Bytes e = testlgp::Letters(80, 5);
        Bytes b2 = b; // same length, a few bytes changed
        b2[0] = '#', b2[450] = '#', b2[899] = '#';
        Bytes c2 = c; // longer, one byte changed within the old length
        c2[100] = '$';
        c2.insert(c2.end(), 64, 'z');
        Bytes d2(d.begin(), d.begin() + 500); // shorter, changed
        d2[10] = '%';
        v.source.Files = {{"same.bin", same}, {"b.bin", b}, {"c.bin", c}, {"d.bin", d}, {"only-src.bin", e}};
        v.modified.Files = {
            {"d.bin", d2}, {"c.bin", c2}, {"extra.bin", testlgp::Letters(40, 6)}, {"same.bin", same}, {"b.bin", b2}};
        // c.bin grew: a patch can't carry it whole, so it is left as it was.
        v.expected = {{"same.bin", same}, {"b.bin", b2}, {"c.bin", c}, {"d.bin", d2}, {"only-src.bin", e}};
        return v;
    }
}

class TestPatchWindows : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TempFolder> mDir;
    QByteArray mOldTmp;
    Platform::Ui::ScriptedPrompter mUi;
    std::unique_ptr<Platform::Ui::ScopedPrompter> mScope;

    std::string path(const std::string& name) const { return *mDir / name; }

    // Makes a patch through the creator window: from the modified archive, or
    // from a folder of the modified files.
    Bytes createPatch(TfrmLGPPatch& creator, const Versions& v, bool fromFolder, const std::string& output)
    {
        testlgp::Save(path("source.lgp"), testlgp::Write(v.source));
        mUi.fileAnswers.push_back(qs(path("source.lgp")));
        creator.btnSelSrc->click();
        if (fromFolder)
        {
            fs::create_directories(path("modified"));
            for (const testlgp::File& f : v.modified.Files)
                testlgp::Save(path("modified/" + f.Name), f.Data);
            mUi.folderAnswers.push_back(qs(path("modified"))); // no trailing "/"
            creator.btnSelPatFolder->click();
        }
        else
        {
            testlgp::Save(path("modified.lgp"), testlgp::Write(v.modified));
            mUi.fileAnswers.push_back(qs(path("modified.lgp")));
            creator.btnSelPatLGP->click();
        }
        mUi.fileAnswers.push_back(qs(output));
        creator.btnBegin->click();
        return fs::exists(output) ? testlgp::Load(output) : Bytes{};
    }

private slots:
    void init()
    {
        mDir = std::make_unique<TempFolder>(std::string("TestPatchWindows.") + QTest::currentTestFunction());
        // The creator's work folder lives in the temporary folder; give this
        // test one of its own.
        mOldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", QByteArray::fromStdString(mDir->path().string()));
        mUi = {};
        mScope = std::make_unique<Platform::Ui::ScopedPrompter>(mUi);
    }

    void cleanup()
    {
        mScope.reset();
        if (mOldTmp.isEmpty())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", mOldTmp);
        mDir->keep(QTest::currentTestFailed());
        mDir.reset();
    }

    void creatorStartsAsLaidOut()
    {
        TfrmLGPPatch creator;
        QCOMPARE(creator.windowTitle(), QString("LGP Patch Creator"));
        QCOMPARE(creator.grpSource->title(), QString("Source (Original) LGP File:"));
        QCOMPARE(creator.grpModified->title(), QString("Modified file source:"));
        QCOMPARE(creator.radLGP->text(), QString("Another LGP file"));
        QCOMPARE(creator.radFolder->text(), QString("A folder"));
        QVERIFY(creator.radLGP->isChecked());
        QCOMPARE(creator.chkSkip->text(), QString("&Skip files if they have the same length"));
        QVERIFY(!creator.chkSkip->isChecked());
        QCOMPARE(creator.btnBegin->text(), QString("&Begin"));
        QCOMPARE(creator.btnClose->text(), QString("&Close"));
        QVERIFY(creator.lblStatus->text().isEmpty());
        QCOMPARE(creator.Status->minimum(), 0);
        QCOMPARE(creator.Status->maximum(), 100);
        for (QLineEdit* edit : {creator.edtSrc, creator.edtPatLGP, creator.edtPatFolder})
            QVERIFY(edit->isReadOnly());
    }

    void creatorChoosersFillTheirBoxes()
    {
        TfrmLGPPatch creator;
        mUi.folderAnswers = {QString("/some/folder")};
        creator.btnSelPatFolder->click();
        QCOMPARE(creator.edtPatFolder->text(), QString("/some/folder/"));
        QVERIFY(creator.radFolder->isChecked());

        mUi.fileAnswers = {QString("/a/source.lgp"), QString("/a/modified.lgp"), std::nullopt, std::nullopt};
        creator.btnSelSrc->click();
        creator.btnSelPatLGP->click();
        QCOMPARE(creator.edtSrc->text(), QString("/a/source.lgp"));
        QCOMPARE(creator.edtPatLGP->text(), QString("/a/modified.lgp"));
        QVERIFY(creator.radLGP->isChecked());
        for (int i : {0, 1})
        {
            QCOMPARE(mUi.shown[std::size_t(1 + i)].options.filter, QString("LGP Files|*.*|All files|*.*"));
            QVERIFY(mUi.shown[std::size_t(1 + i)].options.mustExist);
        }
        // Cancelled choosers change nothing.
        creator.btnSelSrc->click();
        creator.btnSelPatLGP->click();
        creator.btnSelPatFolder->click();
        QCOMPARE(creator.edtSrc->text(), QString("/a/source.lgp"));
        QCOMPARE(creator.edtPatLGP->text(), QString("/a/modified.lgp"));
        QCOMPARE(creator.edtPatFolder->text(), QString("/some/folder/"));
        QVERIFY(creator.radLGP->isChecked());
    }

    void creatorCancelledOrFailingLeavesNoPatch()
    {
        TfrmLGPPatch creator;
        // Nothing chosen: the missing archives are named, one at a time,
        // before anything is asked.
        creator.btnBeginClick();
        QCOMPARE(mUi.shown.size(), std::size_t(1));
        QCOMPARE(mUi.shown.back().kind, Kind::Error);
        QCOMPARE(mUi.shown.back().text, QString("Choose the source (original) LGP file first."));
        creator.edtSrc->setText(qs(path("missing-source.lgp")));
        creator.btnBeginClick();
        QCOMPARE(mUi.shown.size(), std::size_t(2));
        QCOMPARE(mUi.shown.back().text, QString("Choose the modified LGP file first."));
        QVERIFY(!ProgressHook);

        creator.edtPatLGP->setText(qs(path("missing-modified.lgp")));
        mUi.fileAnswers = {std::nullopt};
        creator.btnBeginClick();
        QCOMPARE(mUi.shown.back().kind, Kind::SaveFile);
        QCOMPARE(mUi.shown.back().options.filter, QString("LGP Archives|*.LGP|All files|*.*"));
        QVERIFY(creator.lblStatus->text().isEmpty());
        QVERIFY(!ProgressHook);

        // A chosen archive that can't be opened: the open failure, and the
        // label keeps the step that failed.
        mUi.fileAnswers = {qs(path("out.lgp"))};
        creator.btnBeginClick();
        QCOMPARE(mUi.texts(Kind::Error).last(), "Cannot open file " + qs(path("missing-modified.lgp")) + ".");
        QCOMPARE(creator.lblStatus->text(), QString("Opening patch file..."));
        QVERIFY(!fs::exists(path("out.lgp")));

        // "A folder" without a folder would compare against whatever the
        // current directory holds: refused before anything is asked.
        creator.radFolder->setChecked(true);
        const std::size_t before = mUi.shown.size();
        creator.btnBeginClick();
        QCOMPARE(mUi.shown.size(), before + 1);
        QCOMPARE(mUi.shown.back().kind, Kind::Error);
        QCOMPARE(mUi.shown.back().text, QString("Choose the folder that holds the modified files first."));
    }

    void creatorReportsProgressToItsBarAndLeavesTheHookAsItWas()
    {
        const Versions v = makeVersions();
        TfrmLGPPatch creator;
        // Files the patch can't carry whole: the window asks, No writes nothing.
        mUi.questionAnswers = {false};
        QVERIFY(createPatch(creator, v, false, path("p.lgp")).empty());
        QVERIFY(!fs::exists(path("p.lgp")));
        QCOMPARE(mUi.shown.back().kind, Kind::Question);
        QCOMPARE(mUi.shown.back().caption, QString("Warning!"));
        QCOMPARE(mUi.shown.back().text,
                 QString("A patch can't add files or make a file longer, so it can't carry these files whole:\n"
                         "  c.bin: 564 bytes in the modified version, 500 in the source\n"
                         "  extra.bin: only in the modified version\n\nMake the patch without them?"));
        QCOMPARE(creator.lblStatus->text(), QString("Comparing versions..."));
        QVERIFY(std::none_of(
            fs::directory_iterator(mDir->path()), fs::directory_iterator(),
            [](const fs::directory_entry& e) { return e.path().filename().string().starts_with("LGPMK.TMP"); }));

        mUi.questionAnswers = {true};
        mUi.fileAnswers = {qs(path("p.lgp"))};
        std::vector<std::pair<std::int32_t, std::int32_t>> hookCalls;
        std::optional<ScopedProgressHook> recorder;
        recorder.emplace([&hookCalls](std::int32_t p, std::int32_t m) { hookCalls.emplace_back(p, m); });
        creator.btnBeginClick();
        const Bytes patch = testlgp::Load(path("p.lgp"));
        QVERIFY(!patch.empty());
        QVERIFY(mUi.texts(Kind::Error).isEmpty());
        QCOMPARE(creator.lblStatus->text(), QString("Done!"));
        QCOMPARE(creator.Status->maximum(), 5);
        QCOMPARE(creator.Status->value(), 5);
        // Changed files it can carry whole, by name: b, d (never same.bin,
        // only-src.bin, extra.bin, nor c.bin, which grew).
        const auto entries = testlgp::Entries(patch);
        QCOMPARE(entries.size(), std::size_t(2));
        QCOMPARE(entries[0].Name, std::string("b.bin"));
        QCOMPARE(entries[1].Name, std::string("d.bin"));
        QCOMPARE(std::string(patch.end() - 14, patch.end()), std::string("LGP PATCH FILE"));

        // The run's progress went to its bar alone; the hook is as it was.
        QVERIFY(hookCalls.empty());
        ProgressHook(1, 77);
        QCOMPARE(hookCalls.size(), std::size_t(1));
        QCOMPARE(creator.Status->maximum(), 5);
        QCOMPARE(creator.Status->value(), 5);
        recorder.reset();
        QVERIFY(!ProgressHook);

        // Skipping same-length files leaves b.bin out.
        creator.chkSkip->setChecked(true);
        mUi.fileAnswers = {qs(path("skip.lgp"))};
        mUi.questionAnswers = {true};
        creator.btnBeginClick();
        const auto skipped = testlgp::Entries(testlgp::Load(path("skip.lgp")));
        QCOMPARE(skipped.size(), std::size_t(1));
        QCOMPARE(skipped[0].Name, std::string("d.bin"));
    }

    void converterStartsAsLaidOut()
    {
        TfrmSelfExtract converter;
        QCOMPARE(converter.windowTitle(), QString("Patch Converter"));
        QCOMPARE(converter.Pages->currentWidget(), converter.tabEXELGP);
        QCOMPARE(converter.Pages->tabText(0), QString("LGP to Self Extractor"));
        QCOMPARE(converter.Pages->tabText(1), QString("Self Extractor to LGP"));
        QCOMPARE(converter.chkDestroy->text(), QString("&Allow old data to be overwritten"));
        QVERIFY(!converter.chkDestroy->isChecked());
        QCOMPARE(converter.BitBtn1->text(), QString("&Convert"));
        QCOMPARE(converter.BitBtn2->text(), QString("&Close"));
        QCOMPARE(converter.edtSrc->parentWidget(), converter.tabEXELGP);

        // The boxes are shared and keep their text across pages.
        converter.edtSrc->setText("src");
        converter.edtTgt->setText("tgt");
        converter.Pages->setCurrentWidget(converter.tabLGPEXE);
        QCOMPARE(converter.edtSrc->parentWidget(), converter.tabLGPEXE);
        QCOMPARE(converter.edtTgt->parentWidget(), converter.tabLGPEXE);
        QCOMPARE(converter.edtSrc->text(), QString("src"));
        QCOMPARE(converter.edtTgt->text(), QString("tgt"));
    }

    void converterDialogsFollowThePage()
    {
        TfrmSelfExtract converter;
        mUi.fileAnswers = {QString("/p.lgp"), QString("/x.exe"), QString("/y.exe"), QString("/z.lgp"), std::nullopt};
        converter.btnSelSrc->click();
        converter.btnSelTgt->click();
        QCOMPARE(converter.edtSrc->text(), QString("/p.lgp"));
        QCOMPARE(converter.edtTgt->text(), QString("/x.exe"));
        converter.Pages->setCurrentWidget(converter.tabLGPEXE);
        converter.btnSelSrc->click();
        converter.btnSelTgt->click();
        QCOMPARE(converter.edtSrc->text(), QString("/y.exe"));
        QCOMPARE(converter.edtTgt->text(), QString("/z.lgp"));
        converter.btnSelSrc->click(); // cancelled
        QCOMPARE(converter.edtSrc->text(), QString("/y.exe"));

        const auto& s = mUi.shown;
        QCOMPARE(s[0].kind, Kind::OpenFile);
        QCOMPARE(s[0].options.filter, QString("LGP Archives|*.LGP|All files|*.*"));
        QVERIFY(s[0].options.mustExist);
        QCOMPARE(s[1].kind, Kind::SaveFile);
        QCOMPARE(s[1].options.filter, QString("Executables|*.EXE|All files|*.*"));
        QCOMPARE(s[1].options.defaultExt, QString("EXE"));
        QCOMPARE(s[2].kind, Kind::OpenFile);
        QCOMPARE(s[2].options.filter, QString("Executables|*.EXE|All files|*.*"));
        QCOMPARE(s[2].options.defaultExt, QString("EXE"));
        QVERIFY(s[2].options.mustExist);
        QCOMPARE(s[3].kind, Kind::SaveFile);
        QCOMPARE(s[3].options.filter, QString("LGP Archives|*.LGP|All files|*.*"));
        QCOMPARE(s[3].options.defaultExt, QString("LGP"));
    }

    void everyFilePatternListsNamesWithoutADot()
    {
        QCOMPARE(Platform::Ui::qtFilter("LGP Files|*.*|All files|*.*"), QString("LGP Files (*);;All files (*)"));
        QCOMPARE(Platform::Ui::qtFilter("Executables|*.EXE|Both|*.a;*.*"),
                 QString("Executables (*.EXE);;Both (*.a *)"));
        testlgp::Save(path("sfx"), Bytes{1});
        testlgp::Save(path("a.lgp"), Bytes{2});
        const QString filter = Platform::Ui::qtFilter("All files|*.*");
        const QStringList patterns = filter.mid(filter.indexOf('(') + 1).chopped(1).split(' ');
        QCOMPARE(QDir(qs(mDir->path().string())).entryList(patterns, QDir::Files), (QStringList{"a.lgp", "sfx"}));
    }

    void converterSourceTakesASelfExtractorWithoutExtension()
    {
        // The Qt dialog itself, answered by a timer: the file exists as typed,
        // so no extension is added to it.
        mScope.reset();
        testlgp::Save(path("sfx"), Bytes{1, 2, 3});
        TfrmSelfExtract converter;
        converter.Pages->setCurrentWidget(converter.tabLGPEXE);
        bool answered = false;
        QTimer::singleShot(0, this, [&] {
            if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget()))
            {
                answered = true;
                dialog->selectFile(qs(path("sfx")));
                static_cast<QDialog*>(dialog)->accept();
            }
        });
        // Whatever is still open then (a "not found" box, the dialog) is closed.
        QTimer::singleShot(5000, this, [] {
            while (auto* open = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                open->reject();
        });
        converter.btnSelSrc->click();
        QVERIFY(answered);
        QCOMPARE(converter.edtSrc->text(), qs(path("sfx")));
        mScope = std::make_unique<Platform::Ui::ScopedPrompter>(mUi);
    }

    void converterFailuresWriteNothing()
    {
        TfrmSelfExtract converter;
        converter.edtSrc->setText(qs(path("missing.lgp")));
        converter.edtTgt->setText(qs(path("out.exe")));
        converter.BitBtn1->click();
        QCOMPARE(mUi.texts(Kind::Error), QStringList{qs("Cannot open file " + path("missing.lgp") + ".")});
        QVERIFY(!fs::exists(path("out.exe")));

        // Unwrapping a file that is no self-extracting patch.
        testlgp::Save(path("plain.exe"), Bytes(10, 1));
        converter.Pages->setCurrentWidget(converter.tabLGPEXE);
        converter.edtSrc->setText(qs(path("plain.exe")));
        converter.edtTgt->setText(qs(path("out.lgp")));
        converter.BitBtn1->click();
        QCOMPARE(mUi.texts(Kind::Error).value(1), qs(path("plain.exe") + " is not a self-extracting patch."));
        QVERIFY(!fs::exists(path("out.lgp")));

        // A self-extracting program around a file that is no patch.
        testlgp::Save(path("notes.txt"), Bytes(100, 'n'));
        MakeSelfExtractor(TfrmSelfExtract::StubPath(qs(path("junk.exe"))).toStdString(), path("notes.txt"), "", false,
                          path("junk.exe"));
        converter.edtSrc->setText(qs(path("junk.exe")));
        converter.BitBtn1->click();
        QCOMPARE(mUi.texts(Kind::Error).value(2),
                 qs("The payload of " + path("junk.exe")
                    + " is not a patch made by Tarrowin (its creator is not \"QUENWICK-LGP\")."));
        QVERIFY(!fs::exists(path("out.lgp")));
    }

    // A name ending in ".exe" (any case) gets the Windows program, written
    // without an execute bit; the second page reads it back like any other.
    void converterPicksTheWindowsStubForAnExeName()
    {
        Bytes patch = testlgp::Write(
            testlgp::Archive{.Files = {{"a.bin", testlgp::Letters(30, 4)}}, .Trailing = testlgp::B("LGP PATCH FILE")});
        const std::string creator = "QUENWICK-LGP"; // a patch's creator, so the second page takes it back
        std::copy(creator.begin(), creator.end(), patch.begin());
        testlgp::Save(path("p.lgp"), patch);
        const Bytes stub = testlgp::Load(Platform::Paths::programDir() + "STUBWIN.LGP");
        QCOMPARE(std::string(stub.begin(), stub.begin() + 2), std::string("MZ"));
        TfrmSelfExtract converter;
        converter.edtSrc->setText(qs(path("p.lgp")));
        converter.edtTgt->setText(qs(path("FIX.Exe")));
        converter.edtPatch->setText("magic.lgp");
        converter.BitBtn1->click();
        QVERIFY2(mUi.texts(Kind::Error).isEmpty(), qPrintable(mUi.texts(Kind::Error).join(" / ")));
        const Bytes program = testlgp::Load(path("FIX.Exe"));
        // The stub, up to 7 zero bytes and the 56-byte digest record, the
        // patch and the trailer, whose StubLength names the patch.
        const std::size_t start = program.size() - patch.size() - 40;
        QVERIFY(start >= stub.size() + 56 && start < stub.size() + 56 + 8);
        QVERIFY(std::equal(stub.begin(), stub.end(), program.begin()));
        QCOMPARE(testlgp::Get32(program, program.size() - 40), std::uint32_t(start));
        const fs::perms exec = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
        QCOMPARE(fs::status(path("FIX.Exe")).permissions() & exec, fs::perms::none);

        converter.Pages->setCurrentWidget(converter.tabLGPEXE);
        converter.edtSrc->setText(qs(path("FIX.Exe")));
        converter.edtTgt->setText(qs(path("back.lgp")));
        converter.BitBtn1->click();
        QVERIFY(mUi.texts(Kind::Error).isEmpty());
        QCOMPARE(testlgp::Load(path("back.lgp")), patch);
    }

    // The stub's dialog lists exactly the target's name, blanks and wildcard
    // characters included, in any case, and folders to move through.
    void stubDialogListsExactlyTheTargetName()
    {
        fs::create_directories(path("game/sub folder"));
        for (const char* name :
             {"my archive.lgp", "my.lgp", "archive.lgp", "myXarchive.lgp", "MY ARCHIVE.LGP.bak", "other.lgp"})
            testlgp::Save(path(std::string("game/") + name), Bytes{1});
        testlgp::Save(path("game/MY ARCHIVE.LGP"), Bytes{1});
        Platform::Ui::FileDialogOptions options;
        options.filter = "my archive.lgp|my archive.lgp";
        options.exactName = true;
        options.directory = qs(path("game"));
        QFileDialog dialog;
        Platform::Ui::configureFileDialog(dialog, options);
        auto* files = dialog.findChild<QFileSystemModel*>();
        QVERIFY(files);
        const QModelIndex root = files->index(qs(path("game")));
        QTRY_VERIFY(!files->canFetchMore(root) && files->rowCount(root) > 0);
        auto* shown = qobject_cast<QAbstractProxyModel*>(dialog.proxyModel());
        QVERIFY(shown);
        QStringList listed;
        QTRY_VERIFY([&] {
            listed.clear();
            const QModelIndex at = shown->mapFromSource(root);
            for (int row = 0; row < shown->rowCount(at); ++row)
                listed << shown->index(row, 0, at).data().toString();
            listed.sort();
            return listed.size() == 3;
        }());
        QCOMPARE(listed, (QStringList{"MY ARCHIVE.LGP", "my archive.lgp", "sub folder"}));
    }

    void selfExtractingPatchEndToEnd_data()
    {
        QTest::addColumn<bool>("fromFolder");
        QTest::addColumn<bool>("overwrite");
        QTest::newRow("archive, Flags 0") << false << false;
        QTest::newRow("archive, Flags 1") << false << true;
        QTest::newRow("folder, Flags 0") << true << false;
        QTest::newRow("folder, Flags 1") << true << true;
    }

    void selfExtractingPatchEndToEnd()
    {
        QFETCH(bool, fromFolder);
        QFETCH(bool, overwrite);
        const Versions v = makeVersions();

        // 1. The patch, from the creator window.
        TfrmLGPPatch creator;
        mUi.questionAnswers = {true}; // without the files it can't carry whole
        const Bytes patch = createPatch(creator, v, fromFolder, path("made.lgp"));
        QVERIFY2(mUi.texts(Kind::Error).isEmpty(), qPrintable(mUi.texts(Kind::Error).join(" / ")));
        QCOMPARE(creator.lblStatus->text(), QString("Done!"));
        QCOMPARE(testlgp::Entries(patch).size(), std::size_t(2));
        if (fromFolder)
            QCOMPARE(creator.edtPatFolder->text(), qs(path("modified") + "/"));

        // 2. The self-extracting program, from the converter window: a name
        // without ".exe" gets the Linux program.
        TfrmSelfExtract converter;
        const std::string exe = path("mypatch");
        mUi.fileAnswers = {qs(path("made.lgp")), qs(exe)};
        converter.btnSelSrc->click();
        converter.btnSelTgt->click();
        converter.edtPatch->setText("C:\\FF7\\data\\field\\target.lgp");
        converter.chkDestroy->setChecked(overwrite);
        converter.BitBtn1->click();
        QVERIFY2(mUi.texts(Kind::Error).isEmpty(), qPrintable(mUi.texts(Kind::Error).join(" / ")));
        const Bytes stub = testlgp::Load(Platform::Paths::programDir() + "STUB.LGP");
        QCOMPARE(TfrmSelfExtract::StubPath(qs(exe)).toStdString(), Platform::Paths::programDir() + "STUB.LGP");
        const Bytes program = testlgp::Load(exe);
        // The stub, up to 7 zero bytes and the 56-byte digest record, the
        // patch and the trailer, whose StubLength names the patch.
        const std::size_t start = program.size() - patch.size() - 40;
        QVERIFY(start >= stub.size() + 56 && start < stub.size() + 56 + 8);
        QVERIFY(std::equal(stub.begin(), stub.end(), program.begin()));
        QCOMPARE(testlgp::Get32(program, program.size() - 40), std::uint32_t(start));
        QCOMPARE(testlgp::Get32(program, program.size() - 36), overwrite ? 1u : 0u);
        QCOMPARE(testlgp::GetName(program, program.size() - 32), std::string("target.lgp"));
        QVERIFY((fs::status(exe).permissions() & fs::perms::owner_exec) != fs::perms::none);

        // 3. Run it: the player picks target.lgp, a copy of the source archive.
        fs::create_directories(path("game"));
        const std::string target = path("game/target.lgp");
        const Bytes original = testlgp::Write(v.source);
        testlgp::Save(target, original);
        const ProcessResult run = runProgram(exe, {qs(target)}, mDir->path().string());
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(
            run.log,
            (QStringList{"message|Mossvane|This is a self-extracting LGP patch. Please select the LGP file to patch:",
                         "open||target.lgp|target.lgp", "message|Mossvane|Process completed!"}));
        QVERIFY(!fs::exists(path("mypatch.TMP")));

        const Bytes patched = testlgp::Load(target);
        QCOMPARE(testlgp::Entries(patched), v.expected);
        // Where the data went: in place with Flags 1 (every new version fits
        // the stub's rule: same length or 8+ bytes shorter), appended with 0.
        for (int i : {1, 3})
        {
            if (overwrite)
                QCOMPARE(testlgp::TocOffset(patched, i), testlgp::TocOffset(original, i));
            else
                QVERIFY(testlgp::TocOffset(patched, i) >= std::int32_t(original.size()) - 14);
        }
        QCOMPARE(testlgp::TocOffset(patched, 0), testlgp::TocOffset(original, 0));
        QCOMPARE(testlgp::TocOffset(patched, 2), testlgp::TocOffset(original, 2));
        QCOMPARE(std::string(patched.end() - 14, patched.end()), std::string("FINAL FANTASY7"));

        // 4. Back to the identical patch.
        converter.Pages->setCurrentWidget(converter.tabLGPEXE);
        QCOMPARE(converter.edtSrc->text(), qs(path("made.lgp")));
        mUi.fileAnswers = {qs(exe), qs(path("back.lgp"))};
        converter.btnSelSrc->click();
        converter.btnSelTgt->click();
        converter.BitBtn1->click();
        QVERIFY(mUi.texts(Kind::Error).isEmpty());
        QCOMPARE(testlgp::Load(path("back.lgp")), patch);
    }

    // The creator pairs the copies of a name that repeats in several folders
    // by folder: an identical copy gives an empty patch, a changed copy a
    // patch that changes that copy alone.
    void creatorPatchesCopiesOfRepeatedNamesOneByOne()
    {
        const auto entries = testlgp::MagicStyleEntries();
        const Bytes source = testlgp::MagicBytes(entries);
        auto changed = entries;
        changed[3].Data = testlgp::B("FIRE one in mag_a");
        const Bytes modified = testlgp::MagicBytes(changed);
        for (const Bytes& version : {source, modified})
        {
            testlgp::Save(path("source.lgp"), source);
            testlgp::Save(path("modified.lgp"), version);
            TfrmLGPPatch creator;
            mUi.fileAnswers = {qs(path("source.lgp")), qs(path("modified.lgp")), qs(path("made.lgp"))};
            creator.btnSelSrc->click();
            creator.btnSelPatLGP->click();
            creator.btnBegin->click();
            QVERIFY2(mUi.texts(Kind::Error).isEmpty(), qPrintable(mUi.texts(Kind::Error).join(" / ")));
            QVERIFY(mUi.texts(Kind::Question).isEmpty());
            QCOMPARE(creator.lblStatus->text(), QString("Done!"));

            testlgp::Save(path("target.lgp"), source);
            try
            {
                TRawLGPFile archive(path("target.lgp"));
                const TLGPFile patch(path("made.lgp"), true);
                ApplyPatch(archive, patch, true);
                QVERIFY(version != source);
            }
            catch (const ELGPError& e)
            {
                QCOMPARE(std::string(e.what()), std::string("This patch holds no files; nothing was changed."));
                QVERIFY(version == source);
            }
            const Bytes after = testlgp::Load(path("target.lgp"));
            if (version == source)
            {
                QCOMPARE(testlgp::FileCount(testlgp::Load(path("made.lgp"))), 0u);
                QVERIFY(after == source);
            }
            else
                QCOMPARE(testlgp::Entries(after), testlgp::Entries(modified));
        }
    }

    // Pictures of both windows for a look at their layout, when asked for
    // (run under a real X server, e.g. Xvfb, with TARROWIN_SCREENSHOT_DIR set).
    void screenshots()
    {
        const QByteArray folder = qgetenv("TARROWIN_SCREENSHOT_DIR");
        if (folder.isEmpty())
            QSKIP("TARROWIN_SCREENSHOT_DIR not set");
        TfrmLGPPatch creator;
        creator.edtSrc->setText("/games/ff7/data/field/flevel.lgp");
        creator.lblStatus->setText("Comparing versions...");
        creator.Status->setValue(40);
        creator.show();
        QVERIFY(QTest::qWaitForWindowExposed(&creator));
        QVERIFY(creator.grab().save(QString::fromUtf8(folder) + "/patch-creator.png"));
        TfrmSelfExtract converter;
        converter.edtSrc->setText("/mods/flevel-fix.lgp");
        converter.edtTgt->setText("/mods/flevel-fix.exe");
        converter.edtPatch->setText("flevel.lgp");
        converter.show();
        QVERIFY(QTest::qWaitForWindowExposed(&converter));
        QVERIFY(converter.grab().save(QString::fromUtf8(folder) + "/patch-converter-1.png"));
        converter.Pages->setCurrentWidget(converter.tabLGPEXE);
        QVERIFY(converter.grab().save(QString::fromUtf8(folder) + "/patch-converter-2.png"));
    }

    void bareStubSaysItHoldsNoPatch()
    {
        const std::string bare = path("STUB.EXE");
        fs::copy_file(Platform::Paths::programDir() + "STUB.LGP", bare);
        const ProcessResult run = runProgram(bare, {}, mDir->path().string());
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(
            run.log,
            QStringList{"error|Mossvane|This program holds no patch: run a self-extracting patch made by Tarrowin's "
                        "Patch Converter."});
    }
};

QTEST_MAIN(TestPatchWindows)
#include "tst_patchwindows.moc"
