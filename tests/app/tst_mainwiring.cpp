// How the main window reaches the patch creator, the patch converter and the
// advanced editor: the commands are enabled, the windows exist in their
// start-up order, and the Advanced Editor command leaves the main window in
// its closed state once the editor has closed.

#include "app/aboutlgp.h"
#include "app/lgpadv.h"
#include "app/lgpviewer.h"
#include "patch/lgpmakepatch.h"
#include "patch/lgpselfextract.h"

#include "core/lgpstruct.h"
#include "platform/qtext.h"
#include "platform/ui.h"

#include "apptestsupport.h"

#include <QAction>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;
using AppTest::listItems;
using Kind = Platform::Ui::ScriptedPrompter::Kind;

namespace
{
    // Closes the modal window the next command opens, once its loop runs.
    template <typename Window> void closeWhenShown(Window* window, bool* seen)
    {
        QTimer::singleShot(0, window, [window, seen] {
            *seen = window->isVisible();
            window->reject();
        });
    }
}

class TestMainWiring : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<AppTest::Session> mSession;

    std::string openArchive(TfrmLGPEditor& window)
    {
        testlgp::Archive archive{.Files = {{"one.bin", testlgp::Letters(30, 1)}, {"two.bin", testlgp::Letters(20, 2)}}};
        const std::string file = mSession->folder / "small.lgp";
        testlgp::Save(file, testlgp::Write(archive));
        mSession->prompter.fileAnswers.push_back(QString::fromStdString(file));
        window.mnuOpenClick();
        return file;
    }

private slots:
    void init()
    {
        // Settings, Wine prefix and home of this test only.
        mSession = std::make_unique<AppTest::Session>();
    }

    void cleanup() { mSession.reset(); }

    void windowsExistInStartUpOrderAndTheirCommandsAreEnabled()
    {
        TfrmLGPEditor window;
        QVERIFY(window.frmAdvanced && window.frmLGPPatch && window.frmSelfExtract);
        const QObjectList children = window.children();
        const auto at = [&](QObject* o) { return children.indexOf(o); };
        QVERIFY(at(window.frmAdvanced) < at(window.frmLGPPatch));
        QVERIFY(at(window.frmLGPPatch) < at(window.frmAboutLGP));
        QVERIFY(at(window.frmAboutLGP) < at(window.frmSelfExtract));
        for (QAction* item : {window.mnuCreatePatch, window.mnuPatchConverter, window.mnuAdvancedEditor})
            QVERIFY2(item->isEnabled(), qPrintable(item->objectName()));
        for (QToolButton* button : {window.btnCreatePatch, window.btnConvert, window.btnAdvanced})
            QVERIFY2(button->isEnabled(), qPrintable(button->objectName()));
    }

    void patchWindowsOpenFromMenuAndToolbar()
    {
        TfrmLGPEditor window;
        bool seen = false;
        closeWhenShown(window.frmLGPPatch, &seen);
        window.mnuCreatePatch->trigger();
        QVERIFY(seen);
        seen = false;
        closeWhenShown(window.frmLGPPatch, &seen);
        window.btnCreatePatch->click();
        QVERIFY(seen);
        seen = false;
        closeWhenShown(window.frmSelfExtract, &seen);
        window.mnuPatchConverter->trigger();
        QVERIFY(seen);
        seen = false;
        closeWhenShown(window.frmSelfExtract, &seen);
        window.btnConvert->click();
        QVERIFY(seen);
        QVERIFY(mSession->prompter.texts(Kind::Error).isEmpty());
    }

    void advancedEditorNeedsAnOpenArchive()
    {
        TfrmLGPEditor window;
        window.btnAdvanced->click();
        QCOMPARE(mSession->prompter.texts(Kind::Message), QStringList{"Open an LGP file first!"});
        QVERIFY(!window.frmAdvanced->isVisible());
    }

    void advancedEditorClosesTheMainWindowsArchive()
    {
        TfrmLGPEditor window;
        const std::string file = openArchive(window);
        QVERIFY(window.CurrentArchive);
        bool seen = false;
        TfrmAdvanced* editor = window.frmAdvanced;
        QTimer::singleShot(0, editor, [editor, &seen] {
            seen = editor->isVisible() && editor->RawArchive() != nullptr;
            editor->btnQuit->click();
        });
        window.mnuAdvancedEditor->trigger();
        QVERIFY(seen);
        QVERIFY(mSession->prompter.texts(Kind::Message)
                    .contains("Warning! Edits to the LGP file in this mode are IMMEDIATE and CANNOT be undone. I "
                              "recommend you keep a "
                              "backup copy of any files to be edited!"));
        QVERIFY(!window.CurrentArchive);
        QVERIFY(editor->RawArchive() == nullptr);
        QCOMPARE(listItems(window.lstInfo), QStringList{"No file open."});
        QCOMPARE(window.lstFiles->topLevelItemCount(), 0);
        // The editor let go of the file.
        TRawLGPFile after(file);
        QCOMPARE(after.FileCount(), 2);
    }

    void keepingAReadOnlyArchiveLeavesItOpen()
    {
        TfrmLGPEditor window;
        const std::string file = openArchive(window);
        const QStringList info = listItems(window.lstInfo);
        fs::permissions(file, fs::perms::owner_read | fs::perms::group_read);
        mSession->prompter.questionAnswers = {false};
        window.btnAdvanced->click();
        QCOMPARE(mSession->prompter.texts(Kind::Question).size(), 1);
        QVERIFY(window.CurrentArchive);
        QCOMPARE(listItems(window.lstInfo), info);
        QVERIFY(!window.frmAdvanced->isVisible());
    }

    void aNameShowsAlikeInTheMainListAndTheAdvancedEditor()
    {
        // One byte that is no UTF-8, then the same word in UTF-8: each byte is
        // one character, so both show, differently, and turn back into their bytes.
        const std::vector<std::string> names = {"caf\xE9.txt", "caf\xC3\xA9.txt", "\x80\x81\x9F\xA0\xFF"};
        const QStringList shown = {QStringLiteral("caf\u00E9.txt"), QStringLiteral("caf\u00C3\u00A9.txt"),
                                   QStringLiteral("\u20AC\u0081\u0178\u00A0\u00FF")};
        testlgp::Archive archive;
        for (std::size_t i = 0; i < names.size(); ++i)
            archive.Files.push_back({names[i], testlgp::Letters(10 + i, std::uint8_t(i))});
        const std::string file = mSession->folder / "names.lgp";
        testlgp::Save(file, testlgp::Write(archive));

        TfrmLGPEditor window;
        mSession->prompter.fileAnswers.push_back(QString::fromStdString(file));
        window.mnuOpenClick();
        QVERIFY(window.frmAdvanced->OpenArchive(QString::fromStdString(file)));
        const TfrmAdvanced& editor = *window.frmAdvanced;
        QCOMPARE(window.lstFiles->topLevelItemCount(), int(names.size()));
        QCOMPARE(editor.lstTable->topLevelItemCount(), int(names.size()));
        for (int i = 0; i < int(names.size()); ++i)
        {
            const QString text = window.lstFiles->CellText(i, 0);
            QCOMPARE(text, shown[i]);
            QCOMPARE(editor.lstTable->topLevelItem(i)->text(0), text);
            QCOMPARE(editor.lstHeader->topLevelItem(i)->text(1), text);
            QCOMPARE(editor.lstTable->topLevelItem(i)->text(1), QString::number(i + 1) + ") " + text);
            const std::optional<std::string> bytes = Platform::Text::toArchiveText(text);
            QVERIFY(bytes && *bytes == names[std::size_t(i)]);
            QCOMPARE(window.CurrentArchive->FindEntry(*bytes), i);
        }

        // Every byte is a character of its own; a character without a byte is no name.
        for (int b = 0; b < 256; ++b)
        {
            const std::string byte(1, char(b));
            QVERIFY(Platform::Text::toArchiveText(Platform::Text::fromArchiveText(byte)) == byte);
        }
        QVERIFY(!Platform::Text::toArchiveText(QStringLiteral("\u0080")));
        QVERIFY(!Platform::Text::toArchiveText(QStringLiteral("\u0100")));
    }

    void packButtonRunsThePackCommand()
    {
        TfrmLGPEditor window;
        mSession->prompter.fileAnswers = {std::nullopt};
        window.btnPack->click();
        QCOMPARE(mSession->prompter.shown.size(), std::size_t(1));
        QCOMPARE(mSession->prompter.shown[0].kind, Kind::OpenFile);
    }
};

QTEST_MAIN(TestMainWiring)
#include "tst_mainwiring.moc"
