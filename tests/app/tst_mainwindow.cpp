// The main window's commands, driven headless through its menu items with a
// scripted prompter answering every dialog.

#include "apptestsupport.h"

#include "app/aboutlgp.h"
#include "app/application.h"
#include "app/filelist.h"
#include "app/folderdialog.h"
#include "app/lgpviewer.h"
#include "core/lgplookup.h"
#include "core/lgpstruct.h"
#include "patch/lgpmakepatch.h"
#include "patch/lgpselfextract.h"
#include "platform/paths.h"
#include "platform/ui.h"
#include "preview/lgpdispatch.h"
#include "preview/lgppreview.h"
#include "preview/lgpviewas.h"

#include <QAction>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QListWidget>
#include <QMimeData>
#include <QProgressBar>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QWindow>

#include "windowfixture.h"

#include <memory>

using namespace AppTest;
using Kind = Platform::Ui::ScriptedPrompter::Kind;

class MainWindowTest : public QObject, AppTest::WindowFixture
{
    Q_OBJECT

    QStringList chooserLabels()
    {
        QStringList labels;
        for (int i = 0; i < window().cmbList->count(); ++i)
            labels << window().cmbList->itemText(i);
        return labels;
    }

    QStringList infoLines()
    {
        QStringList lines;
        for (int i = 0; i < window().lstInfo->count(); ++i)
            lines << window().lstInfo->item(i)->text();
        return lines;
    }

    QStringList errors() { return prompter().texts(Kind::Error); }
    QStringList messages() { return prompter().texts(Kind::Message); }

    void chooseBlock(int block)
    {
        window().cmbList->setCurrentIndex(block);
        emit window().cmbList->activated(block);
    }

    void selectRow(int row) { window().lstFiles->SelectRow(row); }

    QString extractSelected(const fs::path& target)
    {
        prompter().fileAnswers.push_back(q(target));
        window().mnuExtract->trigger();
        return QString::fromStdString(readFile(target));
    }

private slots:
    void initTestCase() { Tarrowin::InitApplication(); }

    void init() { mSession = std::make_unique<Session>(); }

    void cleanup()
    {
        mWindow.reset();
        mSession.reset();
    }

    void startsWithTheDesignedWindow()
    {
        TfrmLGPEditor& w = window();
        QCOMPARE(w.windowTitle(), QString("Quenwick Tarrowin v1.27"));
        QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(w.lstFiles->model()->headerData(0, Qt::Horizontal).toString(), QString("Filename"));
        QCOMPARE(w.lstFiles->model()->headerData(1, Qt::Horizontal).toString(), QString("Table Start"));
        QCOMPARE(w.lstFiles->model()->headerData(2, Qt::Horizontal).toString(), QString("File Length"));
        QCOMPARE(w.lstFiles->columnWidth(0), 125);
        QCOMPARE(w.lstFiles->toolTip(), QString("Doubleclick to preview"));
        QCOMPARE(w.lstInfo->count(), 0);
        QCOMPARE(w.cmbList->count(), 0);
        QCOMPARE(w.Status->maximum(), 100);
        QCOMPARE(w.mnuOpenLGP->text(), QString("&Open LGP"));
        QCOMPARE(w.mnuOpenLGP->shortcut(), QKeySequence("Ctrl+O"));
        QCOMPARE(w.mnuExtractAll->shortcut(), QKeySequence("Ctrl+A"));
        QCOMPARE(w.btnExtractAll->text(), QString("Extr. All"));
        QCOMPARE(w.btnConvert->toolTip(), QString("Convert an LGP patch to/from a self-extractor"));
        QVERIFY(w.mnuReadLengths->isChecked());
        QVERIFY(w.mnuApplyPatch->isEnabled());
        QVERIFY(!w.CurrentArchive);
    }

    void docksAreThirtySixPixelsDeepAndTheProgressBarFits()
    {
        TfrmLGPEditor& w = window();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.tbLGPFiles->height(), 36);
        QCOMPARE(w.tbLGPAdvanced->height(), 36);
        QCOMPARE(w.Status->height(), 13);
        QVERIFY(w.Status->parentWidget()->rect().contains(w.Status->geometry()));
        QVERIFY(w.rect().contains(QRect(w.Status->mapTo(&w, QPoint(0, 0)), w.Status->size())));
        // "Patches" floats as a tool window of the main window, kept above it.
        QVERIFY(w.tbLGPPatch->isWindow());
        QCOMPARE(w.tbLGPPatch->windowType(), Qt::Tool);
        QVERIFY(w.tbLGPPatch->windowHandle());
        QCOMPARE(w.tbLGPPatch->windowHandle()->transientParent(), w.windowHandle());
    }

    void theOtherWindowsOpenCentredOnTheScreen()
    {
        TfrmLGPEditor& w = window();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.move(0, 0);
        const QPoint centre = w.screen()->availableGeometry().center();
        for (QDialog* dialog :
             std::initializer_list<QDialog*>{w.frmLGPPatch, w.frmSelfExtract, w.frmAboutLGP, &w.Previewer->ViewAs()})
        {
            dialog->show();
            QVERIFY(QTest::qWaitForWindowExposed(dialog));
            const QPoint off = dialog->frameGeometry().center() - centre;
            QVERIFY2(off.manhattanLength() <= 4, qPrintable(dialog->objectName()));
            dialog->hide();
        }
    }

    void openShowsBlocksOfAThousand_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QList<int>>("rowsPerBlock");
        QTest::newRow("empty") << 0 << QStringList{"1-0"} << QList<int>{0};
        QTest::newRow("1000") << 1000 << QStringList{"1-1000", "1001-1000"} << QList<int>{1000, 0};
        QTest::newRow("1500") << 1500 << QStringList{"1-1000", "1001-1500"} << QList<int>{1000, 500};
        QTest::newRow("2345") << 2345 << QStringList{"1-1000", "1001-2000", "2001-2345"} << QList<int>{1000, 1000, 345};
    }

    void openShowsBlocksOfAThousand()
    {
        QFETCH(int, count);
        QFETCH(QStringList, labels);
        QFETCH(QList<int>, rowsPerBlock);
        const Written written = saveArchive(path("a.lgp"), numbered(count));
        open(path("a.lgp"));
        QCOMPARE(errors(), QStringList());
        QCOMPARE(chooserLabels(), labels);
        QCOMPARE(window().ShownBlock(), 0);
        QCOMPARE(infoLines(),
                 (QStringList{"File: a.lgp", "# of files in archive: " + QString::number(count), "Creator: SQUARESOFT",
                              // The trailing text is found behind the last entry's data; no entry, no text.
                              count ? QString("Description: FINAL FANTASY7") : QString("Description: ")}));
        for (int block = 0; block < rowsPerBlock.size(); ++block)
        {
            chooseBlock(block);
            QCOMPARE(window().lstFiles->topLevelItemCount(), rowsPerBlock[block]);
            if (rowsPerBlock[block] == 0)
                continue;
            const int first = block * 1000;
            const int last = first + rowsPerBlock[block] - 1;
            const TFileListView& list = *window().lstFiles;
            QCOMPARE(list.CellText(0, 0), QString::asprintf("f%05d.bin", first + 1));
            QCOMPARE(list.CellText(0, 1), QString::number(written.Positions[std::size_t(first)]));
            // What the view shows is what the cells say.
            QCOMPARE(list.model()->index(0, 1).data().toString(), list.CellText(0, 1));
            const int bottom = rowsPerBlock[block] - 1;
            QCOMPARE(list.CellText(bottom, 0), QString::asprintf("f%05d.bin", last + 1));
            QCOMPARE(list.CellText(bottom, 2),
                     QString::number(std::string("data of file " + std::to_string(last + 1)).size()));
        }
        // The progress bar ends where the reader's last report put it: table
        // and data headers, two steps per file.
        if (count > 0)
        {
            QCOMPARE(window().Status->maximum(), 2 * count);
            QCOMPARE(window().Status->value(), 2 * count - 1);
        }
    }

    void extractFromTheSecondBlockWritesThatFile()
    {
        saveArchive(path("a.lgp"), numbered(1500));
        open(path("a.lgp"));
        chooseBlock(1);
        selectRow(499);
        QCOMPARE(window().SelectedTableIndex(), 1499);
        QCOMPARE(extractSelected(path("out.bin")), QString("data of file 1500"));
        const auto& saves = prompter().shown;
        QCOMPARE(saves.back().kind, Kind::SaveFile);
        QCOMPARE(saves.back().options.fileName, QString("f01500.bin"));
        QCOMPARE(errors(), QStringList());
    }

    void choosingTheShownBlockLeavesTheListAlone()
    {
        saveArchive(path("a.lgp"), numbered(2345));
        open(path("a.lgp"));
        selectRow(5);
        window().lstFiles->scrollTo(window().lstFiles->model()->index(900, 0), QAbstractItemView::PositionAtTop);
        const int scrolled = window().lstFiles->verticalScrollBar()->value();
        QVERIFY(scrolled > 0);
        chooseBlock(0);
        QCOMPARE(window().lstFiles->SelectedRow(), 5);
        QCOMPARE(window().lstFiles->currentIndex().row(), 5);
        QCOMPARE(window().lstFiles->verticalScrollBar()->value(), scrolled);
        chooseBlock(2);
        QCOMPARE(window().lstFiles->topLevelItemCount(), 345);
        QCOMPARE(window().lstFiles->SelectedRow(), -1);
    }

    void readLengthsSwitchesTheLengthColumn()
    {
        saveArchive(path("a.lgp"), numbered(3));
        window().mnuReadLengths->trigger();
        QVERIFY(!window().mnuReadLengths->isChecked());
        open(path("a.lgp"));
        for (int row = 0; row < 3; ++row)
            QCOMPARE(window().lstFiles->CellText(row, 2), QString("-1"));
        QCOMPARE(infoLines().last(), QString("Description: "));
        QCOMPARE(window().Status->maximum(), 3);
        selectRow(2);
        QCOMPARE(extractSelected(path("third.bin")), QString("data of file 3"));

        window().mnuReadLengths->trigger();
        open(path("a.lgp"));
        QCOMPARE(window().lstFiles->CellText(0, 2), QString("14"));
        QCOMPARE(infoLines().last(), QString("Description: FINAL FANTASY7"));
        QCOMPARE(errors(), QStringList());
    }

    void aBadOffsetShowsErrorAndCannotBeExtracted()
    {
        Archive a = numbered(3);
        const std::int32_t size = std::int32_t(testlgp::Write(a).size());
        a.Files[1].Offset = size - 20;
        saveArchive(path("bad.lgp"), a);
        open(path("bad.lgp"));
        QCOMPARE(window().lstFiles->CellText(1, 1), QString::number(size - 20));
        QCOMPARE(window().lstFiles->CellText(1, 2), QString("Error"));
        QCOMPARE(window().lstFiles->CellText(2, 2), QString("14"));
        selectRow(1);
        prompter().fileAnswers.push_back(q(path("never.bin")));
        window().mnuExtract->trigger();
        QCOMPARE(errors(), QStringList{"LGP TOC has invalid offset!"});
        QCOMPARE(prompter().shown.back().caption, QString("Quenwick's Tarrowin"));
        QVERIFY(!fs::exists(path("never.bin")));
    }

    void aFailedOpenKeepsThePreviousArchive()
    {
        saveArchive(path("good.lgp"), numbered(1200));
        const Bytes whole = testlgp::Write(numbered(5));
        testlgp::Save(path("cut.lgp"), Bytes(whole.begin(), whole.begin() + 16 + 27 * 2 + 5));
        open(path("good.lgp"));
        chooseBlock(1);
        const QStringList info = infoLines();
        open(path("cut.lgp"));
        QCOMPARE(errors(), QStringList{"Stream read error."});
        QCOMPARE(infoLines(), info);
        QCOMPARE(chooserLabels(), (QStringList{"1-1000", "1001-1200"}));
        QCOMPARE(window().lstFiles->topLevelItemCount(), 200);
        QCOMPARE(QString::fromStdString(window().CurrentArchive->FileName()), q(path("good.lgp")));

        open(path("missing.lgp"));
        QCOMPARE(errors().last(), "Cannot open file " + q(path("missing.lgp")) + ".");
    }

    void anArchiveNamedAtStartUpDroppedOrOpenedShowsTheSame()
    {
        saveArchive(path("named.lgp"), numbered(3));
        saveArchive(path("dropped.lgp"), numbered(1200));
        window().OpenFromArguments({"tarrowin"});
        QVERIFY(!window().CurrentArchive);
        window().OpenFromArguments({"tarrowin", q(path("named.lgp"))});
        QCOMPARE(infoLines(), (QStringList{"File: named.lgp", "# of files in archive: 3", "Creator: SQUARESOFT",
                                           "Description: FINAL FANTASY7"}));
        QCOMPARE(window().lstFiles->topLevelItemCount(), 3);

        window().OpenFromArguments({"tarrowin", q(path("missing.lgp"))});
        QCOMPARE(errors(), QStringList{"Cannot open file " + q(path("missing.lgp")) + "."});
        QCOMPARE(infoLines().first(), QString("File: named.lgp"));

        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(q(path("dropped.lgp")))});
        QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(50, 50), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window(), &drop);
        QCOMPARE(chooserLabels(), (QStringList{"1-1000", "1001-1200"}));
        QCOMPARE(infoLines().first(), QString("File: dropped.lgp"));
        QCOMPARE(errors().size(), 1);
    }

    void aSecondOpenReplacesEverything()
    {
        saveArchive(path("one.lgp"), numbered(2345));
        Archive b{.Creator = "OTHER", .Files = {{"only.txt", B("x")}}, .Trailing = B("SECOND")};
        saveArchive(path("two.lgp"), b);
        open(path("one.lgp"));
        chooseBlock(2);
        open(path("two.lgp"));
        QCOMPARE(chooserLabels(), QStringList{"1-1"});
        QCOMPARE(window().ShownBlock(), 0);
        QCOMPARE(window().lstFiles->topLevelItemCount(), 1);
        QCOMPARE(infoLines(),
                 (QStringList{"File: two.lgp", "# of files in archive: 1", "Creator: OTHER", "Description: SECOND"}));
    }

    void extractWithoutASelectedRowAsksForOne()
    {
        window().mnuExtract->trigger();
        saveArchive(path("a.lgp"), numbered(2));
        open(path("a.lgp"));
        window().mnuExtract->trigger();
        QCOMPARE(messages(), (QStringList{"Select a file to extract first!", "Select a file to extract first!"}));
        QCOMPARE(prompter().shown.front().caption, QString("Quenwick's Tarrowin"));
        window().mnuExtractAll->trigger(); // archive open, but the folder chooser is cancelled
        QCOMPARE(messages().size(), 2);
    }

    // File > Replace from picture: the picture goes into the selected TEX
    // entry, the archive is read again and the preview shows the new texture.
    void replaceFromPictureRewritesTheSelectedTexture()
    {
        window().mnuReplaceFromPicture->trigger();
        QCOMPARE(messages(), QStringList{"Select a texture to replace first!"});
        // 2 x 1, 2 colours (red, green), pixels 0 1; then a second entry right behind.
        testlgp::Bytes tex(236, 0);
        testlgp::PutI32(tex, 60, 2);
        testlgp::PutI32(tex, 64, 1);
        testlgp::PutI32(tex, 88, 2);
        tex.insert(tex.end(), {0, 0, 255, 0, 0, 255, 0, 0, 0, 1});
        saveArchive(path("t.lgp"), testlgp::ArchiveOf({{"a.tex", tex}, {"b.bin", testlgp::B("b")}}));
        open(path("t.lgp"));
        selectRow(0);
        // Red and green swapped: both are palette colours, so only the two indices change.
        QImage picture(2, 1, QImage::Format_RGB32);
        picture.setPixel(0, 0, qRgb(0, 255, 0));
        picture.setPixel(1, 0, qRgb(255, 0, 0));
        QVERIFY(picture.save(q(path("swap.png")), "PNG"));
        prompter().fileAnswers.push_back(q(path("swap.png")));
        window().mnuReplaceFromPicture->trigger();
        QCOMPARE(errors(), QStringList());
        testlgp::Bytes expected = tex;
        expected[236 + 8] = 1;
        expected[236 + 9] = 0;
        QCOMPARE(testlgp::Entries(testlgp::Load(path("t.lgp")))[0].Data, expected);
        TfrmTexView& view = window().Previewer->TexView();
        QVERIFY(view.isVisible());
        QCOMPARE(view.Image->pixmap().toImage().pixel(0, 0), qRgb(0, 255, 0));
        QCOMPARE(window().lstFiles->model()->rowCount(), 2);
    }

    void extractAllWritesEveryFileAndStopsAtAnUnsafeName()
    {
        Archive a{
            .Files = {{"a.txt", B("first")}, {"b.txt", B("")}, {"../evil.txt", B("outside")}, {"d.txt", B("fourth")}}};
        saveArchive(path("a.lgp"), a);
        window().mnuExtractAll->trigger();
        QCOMPARE(messages(), QStringList{"Open an archive before choosing Extract All!"});

        // Every name is checked before anything is written.
        open(path("a.lgp"));
        const int openedMaximum = window().Status->maximum();
        const int openedValue = window().Status->value();
        fs::create_directories(path("out/inner"));
        prompter().folderAnswers.push_back(q(path("out/inner")));
        window().mnuExtractAll->trigger();
        QCOMPARE(window().selFolder->Path, q(path("out/inner")) + "/");
        QVERIFY(fs::is_empty(path("out/inner")));
        QVERIFY(!fs::exists(path("out/evil.txt")));
        QCOMPARE(
            errors(),
            QStringList{"The entry name \"../evil.txt\" is not a plain file name; it cannot be written to a folder."});
        QCOMPARE(window().Status->maximum(), openedMaximum);
        QCOMPARE(window().Status->value(), openedValue);

        a.Files.erase(a.Files.begin() + 2);
        saveArchive(path("b.lgp"), a);
        open(path("b.lgp"));
        prompter().folderAnswers.push_back(q(path("out/inner")));
        window().mnuExtractAll->trigger();
        QCOMPARE(QString::fromStdString(readFile(path("out/inner/a.txt"))), QString("first"));
        QVERIFY(fs::exists(path("out/inner/b.txt")));
        QCOMPARE(fs::file_size(path("out/inner/b.txt")), 0u);
        QCOMPARE(QString::fromStdString(readFile(path("out/inner/d.txt"))), QString("fourth"));
        QCOMPARE(window().Status->maximum(), 3);
        QCOMPARE(window().Status->value(), 3);
        QCOMPARE(errors().size(), 1);
    }

    void extractAllRefusesSharedNamesWithoutFolders()
    {
        Archive a{.Files = {{"wind_1.p", B("one")}, {"other.p", B("x")}, {"WIND_1.P", B("two")}}};
        saveArchive(path("a.lgp"), a);
        open(path("a.lgp"));
        prompter().folderAnswers.push_back(q(path("out")));
        fs::create_directories(path("out"));
        window().mnuExtractAll->trigger();
        QVERIFY(fs::is_empty(path("out")));
        QCOMPARE(errors(), QStringList{"Several entries of the archive share the names \"WIND_1.P\", and its conflict "
                                       "table gives them no folders of their own; extracting them all would write "
                                       "them to one file. Nothing was written."});
    }

    void createWithoutATemplateComputesTheLookupTable()
    {
        // 29 files need "LGP.29" beside the program, which no test provides.
        const fs::path templ = fs::path(Platform::Paths::programDir()) / "LGP.29";
        QVERIFY(!fs::exists(templ));
        for (int i = 0; i < 29; ++i)
            writeFile(path("src/file" + std::to_string(i) + ".txt"), "x");
        prompter().folderAnswers.push_back(q(path("src")));
        prompter().fileAnswers.push_back(q(path("new.lgp")));
        window().mnuCreatenew->trigger();
        const QStringList shown = messages();
        QCOMPARE(shown.size(), 1);
        QVERIFY(shown[0].startsWith("WARNING! The \"Create LGP\" function will only create LGP's"));
        QVERIFY(
            shown[0].endsWith("Don't save your new LGP in the same folder as the source files or it will mess up!"));
        QCOMPARE(errors(), QStringList());
        const LookupCheck check = CheckLookup(ReadArchiveLookupView(path("new.lgp").string()));
        QCOMPARE(check.Names, 29);
        QCOMPARE(check.Lost, 0);
    }

    void createWithATemplateThatLosesNamesSaysSoAndComputesTheTable()
    {
        const fs::path templ = fs::path(Platform::Paths::programDir()) / "LGP.3";
        writeFile(templ, std::string(3602, '\x5a'));
        for (const char* name : {"aa.p", "bb.p", "cc.p"})
            writeFile(path(std::string("src/") + name), name);
        writeFile(path("src/.hidden"), "h");
        prompter().folderAnswers.push_back(q(path("src")));
        prompter().fileAnswers.push_back(q(path("new.lgp")));
        window().mnuCreatenew->trigger();
        fs::remove(templ);
        const QStringList shown = messages();
        QCOMPARE(shown.size(), 2);
        QCOMPARE(shown[1], QString::fromStdString("The template " + templ.string()
                                                  + " would leave 3 of 3 names lost to the game, so the lookup table "
                                                    "was computed instead.\n\nHidden files and folders were left "
                                                    "out: \".hidden\"."));
        QCOMPARE(errors(), QStringList());
        QCOMPARE(CheckLookup(ReadArchiveLookupView(path("new.lgp").string())).Lost, 0);
    }

    void createRefusesNamesDifferingOnlyInCase()
    {
        writeFile(path("src/smab"), "1");
        writeFile(path("src/SMAB"), "2");
        prompter().folderAnswers.push_back(q(path("src")));
        prompter().fileAnswers.push_back(q(path("new.lgp")));
        window().mnuCreatenew->trigger();
        QCOMPARE(errors(), QStringList{"Names in an archive compare without case, so these files of the folder can't "
                                       "both be stored: \"SMAB\" and \"smab\". Rename or remove one of each."});
        QVERIFY(!fs::exists(path("new.lgp")));
    }

    void createWithItsTemplateBuildsTheArchive()
    {
        // A template whose table indexes these names: all 31 in the slot of
        // "n1", from TOC entry 1.
        const fs::path templ = fs::path(Platform::Paths::programDir()) / "LGP.31";
        std::string table(3602, '\0');
        const std::size_t slot = std::size_t(13 * 30 + 1 + 1) * 4;
        table[slot] = 1;
        table[slot + 2] = 31;
        writeFile(templ, table);
        for (int i = 30; i >= 0; --i)
            writeFile(path("src/n" + std::to_string(100 + i) + ".txt"), "content " + std::to_string(i));
        prompter().folderAnswers.push_back(q(path("src")));
        prompter().fileAnswers.push_back(q(path("built.lgp")));
        window().mnuCreatenew->trigger();
        fs::remove(templ);
        QCOMPARE(messages().size(), 1);
        QCOMPARE(errors(), QStringList());
        QVERIFY(!window().CurrentArchive); // Create doesn't open what it built

        open(path("built.lgp"));
        QCOMPARE(window().lstFiles->topLevelItemCount(), 31);
        QCOMPARE(window().lstFiles->CellText(0, 0), QString("n100.txt"));
        QCOMPARE(window().lstFiles->CellText(0, 1), QString::number(16 + 27 * 31 + 3602));
        selectRow(30);
        QCOMPARE(extractSelected(path("last.txt")), QString("content 30"));
    }

    void analyseReportsTheStructure()
    {
        window().mnuAnalyze->trigger();
        QCOMPARE(messages(), QStringList{"Open an archive before choosing Analyse!"});

        Archive a = numbered(10);
        a.Validation = Bytes(3602);
        saveArchive(path("ten.lgp"), a);
        open(path("ten.lgp"));
        window().mnuAnalyze->trigger();
        QCOMPARE(errors(), QStringList());
        const QStringList report = infoLines();
        QCOMPARE(report.value(0), QString("File: ten.lgp"));
        QVERIFY2(report.contains("Section 1: Header: 286 bytes."), qPrintable(report.join('|')));
        QVERIFY(report.contains("Section 2: Error check: 3602 bytes."));
        QVERIFY(report.contains("0 files have mismatched filenames."));
        QVERIFY(report.contains("There are no data gaps in the file (OK)."));
        QCOMPARE(window().lstFiles->topLevelItemCount(), 10);
    }

    void repairPointsEveryEntryAtItsData()
    {
        Archive a = numbered(3);
        const Written right = testlgp::Lay(a);
        a.Files[0].Offset = right.Positions[2];
        a.Files[2].Offset = right.Positions[0];
        saveArchive(path("r.lgp"), a);
        prompter().fileAnswers.push_back(q(path("r.lgp")));
        window().mnuRepairarchive->trigger();
        QCOMPARE(errors(), QStringList());
        QCOMPARE(prompter().shown.back().options.filter, QString("LGP Archives|*.LGP|All files|*.*"));
        QCOMPARE(testlgp::Load(path("r.lgp")), right.Content);
    }

    void packDropsUnreferencedDataAndClosesTheArchive()
    {
        Archive a = numbered(3);
        a.Files.insert(a.Files.begin() + 1, File{"old.bin", B(std::string(100, 'o')), false});
        const std::size_t before = saveArchive(path("p.lgp"), a).Content.size();
        open(path("p.lgp"));
        prompter().fileAnswers.push_back(q(path("p.lgp")));
        window().mnuPackArchive->trigger();
        QCOMPARE(errors(), QStringList());
        QCOMPARE(fs::file_size(path("p.lgp")), before - 124);
        QVERIFY(!window().CurrentArchive);
        QCOMPARE(infoLines(), QStringList{"No file open."});
        QCOMPARE(window().lstFiles->topLevelItemCount(), 0);
        window().mnuExtract->trigger();
        QCOMPARE(messages(), QStringList{"Select a file to extract first!"});

        open(path("p.lgp"));
        selectRow(1);
        QCOMPARE(extractSelected(path("second.bin")), QString("data of file 2"));
    }

    void applyPatchRewritesTheArchive()
    {
        Archive target{.Files = {{"aaab.rsd", B("ABCDEFGH")}, {"other.txt", B("same")}}};
        saveArchive(path("game.lgp"), target);
        saveArchive(path("fix.lgp"), testlgp::PatchArchive({{"AAAB.RSD", B(std::string("\x02\x03X\x02", 4))}}));

        prompter().fileAnswers.push_back(q(path("game.lgp")));
        prompter().fileAnswers.push_back(q(path("fix.lgp")));
        window().mnuApplyPatch->trigger();
        QCOMPARE(errors(), QStringList());
        QStringList titles;
        for (const auto& s : prompter().shown)
            if (s.kind == Kind::OpenFile)
                titles << s.caption;
        QCOMPARE(titles, (QStringList{"Select ORIGINAL file:", "Select PATCH file:"}));

        open(path("game.lgp"));
        selectRow(0);
        QCOMPARE(extractSelected(path("patched.rsd")), QString("ABCDXFGH"));

        // Cancelling the second dialog leaves the archive as it was.
        const std::string now = readFile(path("game.lgp"));
        prompter().fileAnswers.push_back(q(path("game.lgp")));
        prompter().fileAnswers.push_back(std::nullopt);
        window().mnuApplyPatch->trigger();
        QCOMPARE(readFile(path("game.lgp")), now);

        // The wrong archive: an error naming it, and nothing changed.
        Archive other{.Files = {{"zz.bin", B("ABCDEFGH")}}};
        saveArchive(path("other.lgp"), other);
        const std::string untouched = readFile(path("other.lgp"));
        prompter().fileAnswers.push_back(q(path("other.lgp")));
        prompter().fileAnswers.push_back(q(path("fix.lgp")));
        window().mnuApplyPatch->trigger();
        QCOMPARE(errors(),
                 QStringList{q(path("other.lgp")) + " holds none of this patch's files; nothing was changed."});
        QCOMPARE(readFile(path("other.lgp")), untouched);
    }

    void errorBoxesEndInAFullStopWhenTheTextNeedsOne_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        const char* rows[][3] = {{"letter", "Stream read error", "Stream read error."},
                                 {"exclamation", "LGP TOC has invalid offset!", "LGP TOC has invalid offset!"},
                                 {"stop", "Done.", "Done."},
                                 {"digit", "I/O error 5", "I/O error 5."},
                                 {"bracket", "List index out of bounds (3)", "List index out of bounds (3)"},
                                 {"dash", "a -", "a -"},
                                 {"slash", "folder/", "folder/."},
                                 {"empty", "", ""}};
        for (const auto& row : rows)
            QTest::newRow(row[0]) << row[1] << row[2];
    }

    void errorBoxesEndInAFullStopWhenTheTextNeedsOne()
    {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        window().Guarded([&] { throw ELGPError(message.toStdString()); });
        QCOMPARE(errors(), QStringList{shown});
        QCOMPARE(prompter().shown.back().caption, QString("Quenwick's Tarrowin"));
    }

    void aPreviewFailureIsShownInAnErrorBox()
    {
        Archive a{.Files = {{"a.tex", B("too short")}}};
        saveArchive(path("t.lgp"), a);
        open(path("t.lgp"));
        selectRow(0);
        emit window().lstFiles->doubleClicked(window().lstFiles->model()->index(0, 0));
        QCOMPARE(errors().size(), 1);
    }

    void aDoubleClickPreviewsTheRowOfTheShownBlock()
    {
        Archive a = numbered(1500);
        a.Files[1200].Name = "notes.txt";
        a.Files[1200].Data = B("line one\r\nline two");
        saveArchive(path("a.lgp"), a);
        open(path("a.lgp"));
        chooseBlock(1);
        selectRow(200);
        emit window().lstFiles->doubleClicked(window().lstFiles->model()->index(200, 0));
        QCOMPARE(errors(), QStringList());
        QCOMPARE(window().Previewer->TexView().MemoLines(), (std::vector<std::string>{"line one", "line two"}));

        // Enter on a row previews it as a double-click does.
        a.Files[1201].Name = "other.txt";
        a.Files[1201].Data = B("three");
        saveArchive(path("a.lgp"), a);
        open(path("a.lgp"));
        chooseBlock(1);
        selectRow(201);
        QTest::keyClick(window().lstFiles, Qt::Key_Return);
        QCOMPARE(errors(), QStringList());
        QCOMPARE(window().Previewer->TexView().MemoLines(), std::vector<std::string>{"three"});
    }

    void aboutLinksLeadToTheProjectsOwnDocuments()
    {
        TfrmAboutLGP& about = *window().frmAboutLGP;
        QCOMPARE(about.windowTitle(), QString("About Tarrowin"));
        QCOMPARE(about.size(), QSize(417, 250));
        QCOMPARE(about.Label11->text(), QString("Quenwick"));
        QCOMPARE(about.Label12->text(), QString("Quenwick's website"));
        QVERIFY(about.AuthorUrl().isLocalFile());
        QVERIFY(about.WebsiteUrl().isLocalFile());
        QVERIFY(about.AuthorUrl().toLocalFile().endsWith("/README.md"));
    }

    void theGameFolderBecomesTheCurrentDirectory()
    {
        writeFile(path("wine/system.reg"),
                  "WINE REGISTRY Version 2\n\n[Software\\\\Square Soft, Inc.\\\\Final Fantasy VII] 1600000000\n"
                  "\"AppPath\"=\"C:\\\\FF7\\\\\"\n");
        fs::create_directories(path("wine/drive_c/FF7/data"));
        window();
        QCOMPARE(errors(), QStringList());
        QVERIFY(fs::equivalent(fs::current_path(), path("wine/drive_c/FF7/data")));
    }

    void aGameFolderThatCannotBeEnteredIsReportedAndStartUpGoesOn()
    {
        writeFile(path("wine/system.reg"),
                  "WINE REGISTRY Version 2\n\n[Software\\\\Square Soft, Inc.\\\\Final Fantasy VII] 1600000000\n"
                  "\"AppPath\"=\"C:\\\\FF7\\\\\"\n");
        writeFile(path("config/QUENWICK.INI"), "[Tarrowin]\nFlatBtn=1\n");
        const fs::path before = fs::current_path();
        window();
        QCOMPARE(errors(), QStringList{"File not found."});
        QCOMPARE(fs::current_path(), before);
        QVERIFY(window().mnuFlatbuttons->isChecked());
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
