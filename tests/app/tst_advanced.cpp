// The advanced editor: opening (info lines, block choosers, the read-only
// question), link, append, truncate and block choice, checked in the window
// and in the archive file.

#include "app/lgpadv.h"
#include "support/failure.h"

#include "core/lgpstruct.h"
#include "platform/ui.h"

#include "apptestsupport.h"

#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>

namespace fs = std::filesystem;
using AppTest::listItems;
using testlgp::Bytes;
using Kind = Platform::Ui::ScriptedPrompter::Kind;

namespace
{
    QStringList comboItems(const QComboBox* combo)
    {
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items << combo->itemText(i);
        return items;
    }

    QString cell(const QTreeWidget* list, int row, int column)
    {
        const QTreeWidgetItem* item = list->topLevelItem(row);
        return item ? item->text(column) : QStringLiteral("<no row>");
    }

    void selectRow(QTreeWidget* list, int row) { list->setCurrentItem(list->topLevelItem(row)); }

    void chooseBlock(QComboBox* combo, int block)
    {
        combo->setCurrentIndex(block);
        emit combo->activated(block);
    }

    // n table entries over m data entries (n >= m): entry t points at data
    // entry t for t < m; later entries point nowhere.
    Bytes wideArchive(int tableCount, int dataCount)
    {
        testlgp::Archive archive;
        for (int d = 0; d < dataCount; ++d)
            archive.Files.push_back({"f" + std::to_string(d) + ".bin", {std::uint8_t(d), std::uint8_t(d >> 8), 1, 2}});
        Bytes bytes = testlgp::Write(archive);
        if (tableCount == dataCount)
            return bytes;
        // Rebuild with extra TOC entries: every offset moves by 27 per entry.
        const int extra = tableCount - dataCount;
        testlgp::Writer out;
        out.raw(Bytes(bytes.begin(), bytes.begin() + 12)).i32(tableCount);
        for (int t = 0; t < tableCount; ++t)
        {
            if (t < dataCount)
                out.toc(testlgp::TocName(bytes, std::size_t(t)),
                        testlgp::TocOffset(bytes, std::size_t(t)) + 27 * extra);
            else
                out.toc("none" + std::to_string(t), 12345678);
        }
        out.raw(Bytes(bytes.begin() + 16 + 27 * dataCount, bytes.end()));
        return out.out;
    }
}

class TestAdvanced : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<AppTest::Session> mSession;

    std::string path(const std::string& name) const { return mSession->folder / name; }

    std::string writeArchive(const std::string& name, const Bytes& bytes)
    {
        testlgp::Save(path(name), bytes);
        return path(name);
    }

    testlgp::Archive smallArchive() const
    {
        testlgp::Archive archive{.Files = {{"alpha.tex", testlgp::Letters(40, 1)},
                                           {"beta.p", testlgp::Letters(30, 2)},
                                           {"gamma.hrc", testlgp::Letters(20, 3)}}};
        return archive;
    }

private slots:
    void init() { mSession = std::make_unique<AppTest::Session>(); }

    void cleanup() { mSession.reset(); }

    void opensWithInfoLinesAndBlockChoosers()
    {
        const std::string file = writeArchive("wide.lgp", wideArchive(1500, 1499));
        TfrmAdvanced editor;
        QVERIFY(editor.OpenArchive(QString::fromStdString(file)));
        QCOMPARE(listItems(editor.lstInfo),
                 (QStringList{"File: wide.lgp", QString("Creator: SQUARESOFT"), "Description: FINAL FANTASY7",
                              "File has 1500 active files.", "File has 1499 data files in it."}));
        QCOMPARE(comboItems(editor.cmbTable), (QStringList{"1-1000", "1001-1500"}));
        QCOMPARE(comboItems(editor.cmbHeader), (QStringList{"1-1000", "1001-1499"}));
        QCOMPARE(editor.lstTable->topLevelItemCount(), 1000);
        QCOMPARE(editor.lstHeader->topLevelItemCount(), 1000);
        QCOMPARE(cell(editor.lstTable, 0, 0), QString("f0.bin"));
        QCOMPARE(cell(editor.lstTable, 0, 1), QString("1) f0.bin"));
        QCOMPARE(cell(editor.lstHeader, 999, 0), QString("1000"));
        QCOMPARE(cell(editor.lstHeader, 999, 1), QString("f999.bin"));
        QCOMPARE(cell(editor.lstHeader, 999, 2), QString("4"));

        chooseBlock(editor.cmbTable, 1);
        QCOMPARE(editor.lstTable->topLevelItemCount(), 500);
        QCOMPARE(cell(editor.lstTable, 498, 1), QString("1499) f1498.bin"));
        // An Offset at no data entry leaves the cell empty.
        QCOMPARE(cell(editor.lstTable, 499, 0), QString("none1499"));
        QCOMPARE(cell(editor.lstTable, 499, 1), QString());
        chooseBlock(editor.cmbHeader, 1);
        QCOMPARE(editor.lstHeader->topLevelItemCount(), 499);
        QCOMPARE(cell(editor.lstHeader, 498, 0), QString("1499"));

        // Choosing the block already shown keeps the list as it is.
        selectRow(editor.lstHeader, 7);
        chooseBlock(editor.cmbHeader, 1);
        QCOMPARE(editor.lstHeader->selectedItems().value(0), editor.lstHeader->topLevelItem(7));
    }

    void sharedOffsetsShowTheLowestDataEntry()
    {
        // Two data entries at one position can't exist, but two table entries
        // at one data entry can: both show it.
        testlgp::Archive archive = smallArchive();
        Bytes bytes = testlgp::Write(archive);
        const Bytes first(bytes.begin() + 16 + 20, bytes.begin() + 16 + 24);
        std::copy(first.begin(), first.end(), bytes.begin() + 16 + 27 * 2 + 20);
        const std::string file = writeArchive("shared.lgp", bytes);
        TfrmAdvanced editor;
        QVERIFY(editor.OpenArchive(QString::fromStdString(file)));
        QCOMPARE(cell(editor.lstTable, 0, 1), QString("1) alpha.tex"));
        QCOMPARE(cell(editor.lstTable, 2, 1), QString("1) alpha.tex"));
    }

    void warnsOnEveryShowing()
    {
        const std::string file = writeArchive("small.lgp", testlgp::Write(smallArchive()));
        TfrmAdvanced editor;
        QVERIFY(editor.OpenArchive(QString::fromStdString(file)));
        editor.show();
        editor.reject();
        QVERIFY(editor.RawArchive() == nullptr);
        QVERIFY(editor.OpenArchive(QString::fromStdString(file)));
        editor.show();
        const QString warning = "Warning! Edits to the LGP file in this mode are IMMEDIATE and CANNOT be undone. "
                                "I recommend you keep a backup copy of any files to be edited!";
        QCOMPARE(mSession->prompter.texts(Kind::Message), (QStringList{warning, warning}));
        QCOMPARE(mSession->prompter.shown.front().caption, QString("Quenwick's Tarrowin"));
        editor.btnQuit->click();
        QVERIFY(editor.isHidden());
        QVERIFY(editor.RawArchive() == nullptr);
    }

    void holdsTheArchiveAgainstOtherWritersUntilClosed()
    {
        const std::string file = writeArchive("small.lgp", testlgp::Write(smallArchive()));
        TfrmAdvanced editor;
        QVERIFY(editor.OpenArchive(QString::fromStdString(file)));
        QVERIFY_THROWS_EXCEPTION(ELGPError, TRawLGPFile{file});
        editor.reject();
        TRawLGPFile after(file);
        QCOMPARE(after.DataCount(), 3);
    }

    void missingFileCantBeExamined()
    {
        TfrmAdvanced editor;
        const std::string failure =
            testlgp::FailureText<ELGPError>([&] { editor.OpenArchive(QString::fromStdString(path("missing.lgp"))); });
        QCOMPARE(QString::fromStdString(failure), QString("Couldn't retrieve file properties!"));
    }

    void readOnlyQuestionBothWays()
    {
        const std::string file = writeArchive("ro.lgp", testlgp::Write(smallArchive()));
        fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        TfrmAdvanced editor;
        mSession->prompter.questionAnswers = {false};
        QVERIFY(!editor.OpenArchive(QString::fromStdString(file)));
        QVERIFY(editor.RawArchive() == nullptr);
        QCOMPARE(fs::status(file).permissions() & fs::perms::owner_write, fs::perms::none);
        QCOMPARE(mSession->prompter.shown.size(), std::size_t(1));
        QCOMPARE(mSession->prompter.shown[0].kind, Kind::Question);
        QCOMPARE(mSession->prompter.shown[0].caption, QString("Error!"));
        QCOMPARE(mSession->prompter.shown[0].text,
                 QString("This file is read-only. You can only use advanced edit on files that are writeable. Do you "
                         "want to remove the read-only property of this file?"));

        mSession->prompter.questionAnswers = {true};
        QVERIFY(editor.OpenArchive(QString::fromStdString(file)));
        QVERIFY(editor.RawArchive() != nullptr);
        const fs::perms after = fs::status(file).permissions();
        QVERIFY((after & fs::perms::owner_write) != fs::perms::none);
        // Only the write permission was added.
        QCOMPARE(after & ~fs::perms::owner_write,
                 fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        QCOMPARE(listItems(editor.lstInfo).value(4), QString("File has 3 data files in it."));
    }

    void linkWritesTheOffsetAtOnce()
    {
        const Bytes original = testlgp::Write(smallArchive());
        const std::string file = writeArchive("small.lgp", original);
        TfrmAdvanced editor;
        QVERIFY(editor.OpenArchive(QString::fromStdString(file)));

        editor.btnLink->click();
        selectRow(editor.lstTable, 0);
        editor.btnLink->click();
        QCOMPARE(mSession->prompter.texts(Kind::Message),
                 (QStringList(2, "Select an item in BOTH lists before trying to link them!")));
        QCOMPARE(testlgp::Load(file), original);

        // Table entry 2 (gamma.hrc) to data entry 1 (alpha.tex). The first
        // data entry stays referenced, so the data region still starts there.
        selectRow(editor.lstTable, 2);
        selectRow(editor.lstHeader, 0);
        editor.btnLink->click();
        QCOMPARE(cell(editor.lstTable, 2, 1), QString("1) alpha.tex"));
        // On disk already, while the editor still holds the file.
        const Bytes linked = testlgp::Load(file);
        QCOMPARE(testlgp::TocOffset(linked, 2), testlgp::TocOffset(original, 0));
        QCOMPARE(testlgp::Entries(linked)[2].Data, smallArchive().Files[0].Data);
        QCOMPARE(testlgp::Entries(linked)[2].Name, std::string("gamma.hrc"));

        // Reopening shows the link.
        editor.reject();
        QVERIFY(editor.OpenArchive(QString::fromStdString(file)));
        QCOMPARE(cell(editor.lstTable, 2, 1), QString("1) alpha.tex"));
        QCOMPARE(cell(editor.lstTable, 1, 1), QString("2) beta.p"));
    }

    void clickingATableRowSelectsItsDataInTheShownBlockOnly()
    {
        const std::string file = writeArchive("wide.lgp", wideArchive(1500, 1499));
        TfrmAdvanced editor;
        QVERIFY(editor.OpenArchive(QString::fromStdString(file)));
        selectRow(editor.lstTable, 5);
        editor.lstTableClick();
        QCOMPARE(editor.lstHeader->selectedItems().value(0), editor.lstHeader->topLevelItem(5));

        // Table block 1 row 0 is entry 1001, whose data (number 1001) lies in
        // data block 1 while block 0 is shown: the selection stays.
        chooseBlock(editor.cmbTable, 1);
        selectRow(editor.lstTable, 0);
        editor.lstTableClick();
        QCOMPARE(editor.lstHeader->selectedItems().value(0), editor.lstHeader->topLevelItem(5));
        chooseBlock(editor.cmbHeader, 1);
        editor.lstTableClick();
        QCOMPARE(editor.lstHeader->selectedItems().value(0), editor.lstHeader->topLevelItem(0));
    }

    void appendInTheLastBlockAddsARow()
    {
        const testlgp::Archive archive = smallArchive();
        const Bytes original = testlgp::Write(archive);
        const std::string file = writeArchive("small.lgp", original);
        const Bytes content = testlgp::Letters(77, 11);
        testlgp::Save(path("new.bin"), content);
        TfrmAdvanced editor;
        QVERIFY(editor.OpenArchive(QString::fromStdString(file)));

        mSession->prompter.fileAnswers = {QString::fromStdString(path("new.bin"))};
        editor.btnAppend->click();
        QVERIFY(mSession->prompter.texts(Kind::Error).isEmpty());
        QCOMPARE(mSession->prompter.shown.back().options.filter, QString("All files|*.*"));
        QCOMPARE(editor.lstHeader->topLevelItemCount(), 4);
        QCOMPARE(cell(editor.lstHeader, 3, 0), QString("4"));
        QCOMPARE(cell(editor.lstHeader, 3, 1), QString("new.bin"));
        QCOMPARE(cell(editor.lstHeader, 3, 2), QString("77"));
        QCOMPARE(comboItems(editor.cmbHeader), QStringList{"1-4"});
        QCOMPARE(listItems(editor.lstInfo).mid(3),
                 (QStringList{"File has 3 active files.", "File has 4 data files in it."}));

        // The new data entry follows the old last one; its name field is
        // NUL-padded; the trailing text ends the file again; the TOC is as it was.
        const Bytes after = testlgp::Load(file);
        const std::size_t at = original.size() - 14;
        QCOMPARE(after.size(), original.size() + 24 + 77);
        Bytes expectedName(20, 0);
        std::copy_n("new.bin", 7, expectedName.begin());
        QCOMPARE(Bytes(after.begin() + std::ptrdiff_t(at), after.begin() + std::ptrdiff_t(at) + 20), expectedName);
        QCOMPARE(testlgp::Get32(after, at + 20), 77u);
        QCOMPARE(Bytes(after.begin() + std::ptrdiff_t(at) + 24, after.end() - 14), content);
        QCOMPARE(std::string(after.end() - 14, after.end()), std::string("FINAL FANTASY7"));
        QCOMPARE(testlgp::Entries(after), testlgp::Entries(original));
    }

    void appendWhileAnotherBlockIsShownAddsNoRowButCounts()
    {
        const std::string file = writeArchive("wide.lgp", wideArchive(1500, 1499));
        testlgp::Save(path("extra.dat"), testlgp::Letters(9, 4));
        TfrmAdvanced editor;
        QVERIFY(editor.OpenArchive(QString::fromStdString(file)));
        mSession->prompter.fileAnswers = {QString::fromStdString(path("extra.dat"))};
        editor.btnAppendClick();
        QCOMPARE(editor.lstHeader->topLevelItemCount(), 1000);
        QCOMPARE(listItems(editor.lstInfo).value(4), QString("File has 1500 data files in it."));
        // The chooser follows the new count and keeps block 0 shown.
        QCOMPARE(comboItems(editor.cmbHeader), (QStringList{"1-1000", "1001-1500"}));
        QCOMPARE(editor.cmbHeader->currentIndex(), 0);
        QCOMPARE(TfrmAdvanced::ShownBlock(editor.cmbHeader), 0);
        chooseBlock(editor.cmbHeader, 1);
        QCOMPARE(editor.lstHeader->topLevelItemCount(), 500);
        QCOMPARE(cell(editor.lstHeader, 499, 1), QString("extra.dat"));
    }

    void appendIntoANewBlockGrowsTheChooser()
    {
        const std::string file = writeArchive("k.lgp", wideArchive(1000, 1000));
        testlgp::Save(path("one.dat"), testlgp::Letters(3, 4));
        TfrmAdvanced editor;
        QVERIFY(editor.OpenArchive(QString::fromStdString(file)));
        QCOMPARE(comboItems(editor.cmbHeader), (QStringList{"1-1000", "1001-1000"}));
        chooseBlock(editor.cmbHeader, 1);
        QCOMPARE(editor.lstHeader->topLevelItemCount(), 0);
        mSession->prompter.fileAnswers = {QString::fromStdString(path("one.dat"))};
        editor.btnAppendClick();
        QCOMPARE(comboItems(editor.cmbHeader), (QStringList{"1-1000", "1001-1001"}));
        QCOMPARE(editor.lstHeader->topLevelItemCount(), 1);
        QCOMPARE(cell(editor.lstHeader, 0, 0), QString("1001"));
    }

    void appendRefusesNamesTooLongAndArchivesWithoutData()
    {
        const Bytes original = testlgp::Write(smallArchive());
        const std::string file = writeArchive("small.lgp", original);
        const std::string longName = path("twenty-one-characters"); // 21 characters
        testlgp::Save(longName, testlgp::Letters(5, 1));
        TfrmAdvanced editor;
        QVERIFY(editor.OpenArchive(QString::fromStdString(file)));
        mSession->prompter.fileAnswers = {QString::fromStdString(longName)};
        editor.btnAppendClick();
        QCOMPARE(mSession->prompter.texts(Kind::Error),
                 QStringList{
                     "The name \"twenty-one-characters\" is too long for an archive entry (at most 20 characters)."});
        QCOMPARE(testlgp::Load(file), original);
        QCOMPARE(editor.lstHeader->topLevelItemCount(), 3);
        QCOMPARE(listItems(editor.lstInfo).value(4), QString("File has 3 data files in it."));
        editor.reject();

        // No data entries: the editor's list-index failure, nothing changed.
        testlgp::Archive empty;
        const Bytes emptyBytes = testlgp::Write(empty);
        const std::string emptyFile = writeArchive("empty.lgp", emptyBytes);
        testlgp::Save(path("x.bin"), testlgp::Letters(5, 1));
        QVERIFY(editor.OpenArchive(QString::fromStdString(emptyFile)));
        QCOMPARE(comboItems(editor.cmbHeader), QStringList{"1-0"});
        mSession->prompter.fileAnswers = {QString::fromStdString(path("x.bin"))};
        editor.btnAppendClick();
        QCOMPARE(mSession->prompter.texts(Kind::Error).value(1), QString("List index out of bounds (-1)"));
        QCOMPARE(testlgp::Load(emptyFile), emptyBytes);
        QCOMPARE(listItems(editor.lstInfo).value(4), QString("File has 0 data files in it."));
        QCOMPARE(editor.lstHeader->topLevelItemCount(), 0);
    }

    void truncateAsksAndRebuildsBothChoosers()
    {
        const std::string file = writeArchive("wide.lgp", wideArchive(1500, 1499));
        const Bytes original = testlgp::Load(file);
        TfrmAdvanced editor;
        QVERIFY(editor.OpenArchive(QString::fromStdString(file)));

        editor.btnTruncateClick();
        QCOMPARE(mSession->prompter.texts(Kind::Message), QStringList{"Select an item to start deletion from!"});

        chooseBlock(editor.cmbTable, 1);
        chooseBlock(editor.cmbHeader, 1);
        selectRow(editor.lstHeader, 0);
        mSession->prompter.questionAnswers = {false};
        editor.btnTruncateClick();
        const QString question = "This will delete item 1001 (f1000.bin) and all 498 of the items following it "
                                 "from the file. YOU WILL NOT BE ABLE TO RESTORE THE DATA AT ALL, IT WILL BE LOST. "
                                 "Continue?";
        QCOMPARE(mSession->prompter.shown.back().caption, QString("Warning!"));
        QCOMPARE(mSession->prompter.shown.back().text, question);
        QCOMPARE(testlgp::Load(file), original);
        QCOMPARE(editor.RawArchive()->DataCount(), 1499);

        mSession->prompter.questionAnswers = {true};
        editor.btnTruncateClick();
        QCOMPARE(editor.RawArchive()->DataCount(), 1000);
        QCOMPARE(comboItems(editor.cmbTable), (QStringList{"1-1000", "1001-1500"}));
        QCOMPARE(comboItems(editor.cmbHeader), (QStringList{"1-1000", "1001-1000"}));
        QCOMPARE(editor.cmbTable->currentIndex(), 0);
        QCOMPARE(editor.cmbHeader->currentIndex(), 0);
        QCOMPARE(TfrmAdvanced::ShownBlock(editor.cmbTable), 0);
        QCOMPARE(TfrmAdvanced::ShownBlock(editor.cmbHeader), 0);
        QCOMPARE(editor.lstTable->topLevelItemCount(), 1000);
        QCOMPARE(editor.lstHeader->topLevelItemCount(), 1000);
        QCOMPARE(listItems(editor.lstInfo).mid(3),
                 (QStringList{"File has 1500 active files.", "File has 1000 data files in it."}));
        // The file ends with the trailing text where data entry 1001 began.
        const Bytes after = testlgp::Load(file);
        const std::int32_t cut = testlgp::TocOffset(original, 1000);
        QCOMPARE(after.size(), std::size_t(cut) + 14);
        QCOMPARE(std::string(after.end() - 14, after.end()), std::string("FINAL FANTASY7"));
    }

    // A picture of the window for a look at its layout, when asked for (run
    // under a real X server, e.g. Xvfb, with TARROWIN_SCREENSHOT_DIR set).
    void screenshot()
    {
        const QByteArray folder = qgetenv("TARROWIN_SCREENSHOT_DIR");
        if (folder.isEmpty())
            QSKIP("TARROWIN_SCREENSHOT_DIR not set");
        const std::string file = writeArchive("wide.lgp", wideArchive(1500, 1499));
        TfrmAdvanced editor;
        QVERIFY(editor.OpenArchive(QString::fromStdString(file)));
        selectRow(editor.lstTable, 3);
        editor.lstTableClick();
        editor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&editor));
        QVERIFY(editor.grab().save(QString::fromUtf8(folder) + "/advanced-editor.png"));
        editor.reject();
    }

    void truncateAtTheLastEntryCountsNoFollowers()
    {
        const std::string file = writeArchive("small.lgp", testlgp::Write(smallArchive()));
        TfrmAdvanced editor;
        QVERIFY(editor.OpenArchive(QString::fromStdString(file)));
        selectRow(editor.lstHeader, 2);
        mSession->prompter.questionAnswers = {true};
        editor.btnTruncateClick();
        QCOMPARE(mSession->prompter.shown.back().text,
                 QString("This will delete item 3 (gamma.hrc) and all 0 of the items following it from the file. YOU "
                         "WILL NOT BE ABLE TO RESTORE THE DATA AT ALL, IT WILL BE LOST. Continue?"));
        QCOMPARE(listItems(editor.lstInfo).value(4), QString("File has 2 data files in it."));
        QCOMPARE(comboItems(editor.cmbHeader), QStringList{"1-2"});
        QCOMPARE(editor.lstHeader->topLevelItemCount(), 2);
        // The table still names gamma.hrc, whose data is gone.
        QCOMPARE(cell(editor.lstTable, 2, 1), QString());
    }
};

QTEST_MAIN(TestAdvanced)
#include "tst_advanced.moc"
