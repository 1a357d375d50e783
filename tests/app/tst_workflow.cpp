// The main window's everyday conveniences, headless: the name filter, several
// rows extracted at once, the context menu and the commands that take one
// row, drag out and drop in, recent archives and the window's place kept,
// Verify, the notes after successes, the floating toolbar's first place, dark
// themes, the preview window's size and place, the folder dialog making a
// new folder, and the notes of the archive core (leftovers removed) in every
// window.

#include "apptestsupport.h"

#include "app/application.h"
#include "app/filelist.h"
#include "app/folderdialog.h"
#include "app/lgpadv.h"
#include "app/lgpviewer.h"
#include "core/lgpstruct.h"
#include "core/streams.h"
#include "patch/lgpmakepatch.h"
#include "preview/lgpdispatch.h"
#include "preview/lgppreview.h"
#include "preview/lgpviewas.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QUrl>

#include "windowfixture.h"

#include <memory>

using namespace AppTest;
using Kind = Platform::Ui::ScriptedPrompter::Kind;

class WorkflowTest : public QObject, AppTest::WindowFixture
{
    Q_OBJECT

    QStringList shownNames()
    {
        QStringList names;
        TFileListView& list = *window().lstFiles;
        for (int row = 0; row < list.topLevelItemCount(); ++row)
            if (!list.isRowHidden(row, QModelIndex()))
                names << list.CellText(row, 0);
        return names;
    }

    void selectRows(const std::vector<int>& rows)
    {
        TFileListView& list = *window().lstFiles;
        list.clearSelection();
        for (const int row : rows)
            list.selectionModel()->select(list.Rows().index(row, 0),
                                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
        if (!rows.empty())
            list.selectionModel()->setCurrentIndex(list.Rows().index(rows.front(), 0), QItemSelectionModel::NoUpdate);
    }

    static std::vector<int> SelectedRowsOf(const TFileListView& list)
    {
        std::vector<int> rows;
        for (const QModelIndex& index : list.selectionModel()->selectedRows())
            rows.push_back(index.row());
        return rows;
    }

    std::string entryData(const fs::path& archive, const std::string& name)
    {
        const TLGPFile lgp(archive.string(), true);
        for (std::int32_t i = 0; i < lgp.FileCount(); ++i)
            if (lgp.GetEntry(i).Name == name)
            {
                TMemoryStream stream;
                lgp.ReadEntryData(i, stream);
                const auto bytes = stream.Bytes();
                return std::string(bytes.begin(), bytes.end());
            }
        return "(none)";
    }

    Archive sample()
    {
        Archive a{.Files = {{"field.tex", B("texture")},
                            {"FIELD.TXT", B("text")},
                            {"battle.p", B("model")},
                            {"Music.mid", B("tune")},
                            {"readme.txt", B("hello")}}};
        return a;
    }

private slots:
    void initTestCase() { Tarrowin::InitApplication(); }
    void init() { mSession = std::make_unique<Session>(); }
    void cleanup()
    {
        mWindow.reset();
        mSession.reset();
    }

    void theFilterShowsMatchingNamesInAnyCase()
    {
        saveArchive(path("a.lgp"), sample());
        open(path("a.lgp"));
        QLineEdit& filter = *window().edtFilter;
        QCOMPARE(shownNames().size(), 5);
        filter.setText("*.TXT");
        QCOMPARE(shownNames(), (QStringList{"FIELD.TXT", "readme.txt"}));
        filter.setText("field.*");
        QCOMPARE(shownNames(), (QStringList{"field.tex", "FIELD.TXT"}));
        // Without wildcards: the names holding the text.
        filter.setText("EAD");
        QCOMPARE(shownNames(), QStringList{"readme.txt"});
        filter.setText("?????.p");
        QCOMPARE(shownNames(), (QStringList{}));
        filter.setText("b?ttle.p");
        QCOMPARE(shownNames(), QStringList{"battle.p"});

        // A selected row the filter hides leaves the selection, so Extract
        // can't reach a row not on show.
        filter.clear();
        selectRows({0, 4});
        filter.setText("*.txt");
        QCOMPARE(window().SelectedTableIndexes(), std::vector<int>{4});
        // A new archive is filtered as it is filled.
        saveArchive(path("b.lgp"), numbered(12));
        filter.setText("f0000?.bin");
        open(path("b.lgp"));
        QCOMPARE(shownNames().size(), 9);
        // The filter never moves the block chooser from the middle of its panel.
        window().show();
        QVERIFY(QTest::qWaitForWindowExposed(&window()));
        QTRY_VERIFY(window().edtFilter->isVisible());
        const QRect chooser = window().cmbList->geometry();
        QVERIFY(qAbs(chooser.center().x() - window().Panel2->width() / 2) <= 1);
        QVERIFY(!window().edtFilter->geometry().intersects(chooser));
    }

    void extractWritesEverySelectedRowAndSaysSo()
    {
        saveArchive(path("a.lgp"), sample());
        open(path("a.lgp"));
        selectRows({1, 3, 4});
        fs::create_directories(path("out"));
        prompter().folderAnswers.push_back(q(path("out")));
        window().mnuExtract->trigger();
        QCOMPARE(readFile(path("out/FIELD.TXT")), std::string("text"));
        QCOMPARE(readFile(path("out/Music.mid")), std::string("tune"));
        QCOMPARE(readFile(path("out/readme.txt")), std::string("hello"));
        QVERIFY(!fs::exists(path("out/field.tex")));
        QCOMPARE(window().DoneText(), "Extracted 3 files to " + q(path("out")) + "/");
        QVERIFY(prompter().texts(Kind::SaveFile).isEmpty()); // no save dialog for several rows

        // One row: the classic save dialog, then a note.
        selectRows({2});
        prompter().fileAnswers.push_back(q(path("one.p")));
        window().mnuExtract->trigger();
        QCOMPARE(readFile(path("one.p")), std::string("model"));
        QCOMPARE(window().DoneText(), "Extracted battle.p to " + q(path("one.p")));

        // Extract All says how many it wrote; a cancelled folder leaves the note alone.
        fs::create_directories(path("all"));
        prompter().folderAnswers.push_back(q(path("all")));
        window().mnuExtractAll->trigger();
        QCOMPARE(window().DoneText(), "Extracted 5 files to " + q(path("all")) + "/");
        QVERIFY(prompter().texts(Kind::Message).isEmpty());
    }

    void createNotesTheArchiveAndOffersItAmongTheRecentOnes()
    {
        fs::create_directories(path("src"));
        writeFile(path("src/ab.txt"), "one");
        writeFile(path("src/cd.txt"), "two");
        prompter().folderAnswers.push_back(q(path("src")));
        prompter().fileAnswers.push_back(q(path("new.lgp")));
        window().mnuCreatenew->trigger();
        QVERIFY(fs::exists(path("new.lgp")));
        QCOMPARE(window().DoneText(), QString("Created new.lgp (File > Recent archives opens it)"));
        // Only the warning box: the open archive and lists are unchanged.
        QCOMPARE(prompter().texts(Kind::Message).size(), 1);
        QVERIFY(!window().CurrentArchive);
        QCOMPARE(window().RecentFiles(), QStringList{q(path("new.lgp"))});
        QCOMPARE(window().mnuRecent->actions().size(), 1);
        window().mnuRecent->actions().front()->trigger();
        QVERIFY(window().CurrentArchive);
        QCOMPARE(window().CurrentArchive->FileCount(), 2);
    }

    void theContextMenuOffersTheRowCommands()
    {
        saveArchive(path("a.lgp"), sample());
        open(path("a.lgp"));
        QStringList captions;
        for (QAction* action : window().popFiles->actions())
            if (!action->isSeparator())
                captions << action->text();
        QCOMPARE(captions, (QStringList{"&Extract...", "&Preview", "View &As...", "&Replace...",
                                        "Replace from &picture...", "&Copy name"}));

        selectRows({0, 4});
        window().popCopyName->trigger();
        QCOMPARE(QApplication::clipboard()->text(), QString("field.tex\nreadme.txt"));

        // Replace... puts the chosen file's bytes into the selected entry.
        selectRows({4});
        writeFile(path("new.txt"), "a longer text than before");
        prompter().fileAnswers.push_back(q(path("new.txt")));
        window().popReplace->trigger();
        QVERIFY(prompter().texts(Kind::Error).isEmpty());
        QCOMPARE(entryData(path("a.lgp"), "readme.txt"), std::string("a longer text than before"));
        QCOMPARE(entryData(path("a.lgp"), "field.tex"), std::string("texture"));
        QCOMPARE(window().DoneText(), QString("Replaced 1 entry"));
        // The list shows the archive as it is now.
        QCOMPARE(window().lstFiles->CellText(4, 2), QString::number(25));

        // View As... asks for the viewer whatever the extension.
        selectRows({1});
        window().Previewer->ViewAs().lstTypes->setCurrentItem(window().Previewer->ViewAs().lstTypes->topLevelItem(3));
        QTimer::singleShot(0, [this] { window().Previewer->ViewAs().reject(); });
        window().popViewAs->trigger();
        QVERIFY(!window().Previewer->TexView().isVisible());
    }

    // The commands that take one row are offered for one row only (Replace
    // from picture for a texture only); reached another way (Enter, the File
    // menu) they refuse several rows, naming the count, and change nothing.
    void oneRowCommandsAreForOneRowOnly()
    {
        saveArchive(path("a.lgp"), sample());
        window().show();
        QVERIFY(QTest::qWaitForWindowExposed(&window()));
        open(path("a.lgp"));
        TFileListView& list = *window().lstFiles;
        // The enabled items of the menu for a right click on row with rows selected.
        auto offered = [&](int row, const std::vector<int>& rows) {
            selectRows(rows);
            emit list.customContextMenuRequested(list.visualRect(list.Rows().index(row, 0)).center());
            window().popFiles->hide();
            QStringList names;
            for (QAction* action : window().popFiles->actions())
                if (!action->isSeparator() && action->isEnabled())
                    names << action->objectName();
            return names;
        };
        const QStringList all = {"popExtract", "popPreview", "popViewAs", "popReplace", "popReplaceFromPicture",
                                 "popCopyName"};
        QCOMPARE(offered(0, {0}), all);
        QCOMPARE(offered(1, {1}), (QStringList{"popExtract", "popPreview", "popViewAs", "popReplace", "popCopyName"}));
        QCOMPARE(offered(2, {0, 2}), (QStringList{"popExtract", "popCopyName"}));
        // A click outside the selection selects that row alone.
        QCOMPARE(offered(0, {2, 3}), all);
        QCOMPARE(SelectedRowsOf(list), (std::vector<int>{0}));

        // The picture is asked for the texture of the clicked row.
        prompter().shown.clear();
        window().popReplaceFromPicture->trigger();
        QCOMPARE(prompter().shown.size(), std::size_t(1));
        QCOMPARE(prompter().shown.back().kind, Kind::OpenFile);

        prompter().shown.clear();
        const std::string before = readFile(path("a.lgp"));
        selectRows({0, 2});
        window().lstFilesDblClick();
        window().lstFilesViewAs();
        window().popReplaceClick();
        window().mnuReplaceFromPicture->trigger();
        QCOMPARE(prompter().texts(Kind::Message),
                 (QStringList{"Preview works on one file at a time; 2 files are selected.",
                              "View As works on one file at a time; 2 files are selected.",
                              "Replace works on one file at a time; 2 files are selected.",
                              "Replace from picture works on one file at a time; 2 files are selected."}));
        QCOMPARE(prompter().shown.size(), std::size_t(4)); // no dialog asked for a file
        QVERIFY(!window().Previewer->TexView().isVisible());
        QVERIFY(!window().Previewer->ViewAs().isVisible());
        QCOMPARE(readFile(path("a.lgp")), before);
    }

    void draggedRowsAreExtractedForTheFileManager()
    {
        saveArchive(path("a.lgp"), sample());
        open(path("a.lgp"));
        selectRows({0, 2});
        std::unique_ptr<QMimeData> data(window().DragRows());
        QVERIFY(data);
        const QList<QUrl> urls = data->urls();
        QCOMPARE(urls.size(), 2);
        QCOMPARE(QFileInfo(urls[0].toLocalFile()).fileName(), QString("field.tex"));
        QCOMPARE(readFile(urls[0].toLocalFile().toStdString()), std::string("texture"));
        QCOMPARE(readFile(urls[1].toLocalFile().toStdString()), std::string("model"));
        const fs::path folder = fs::path(urls[0].toLocalFile().toStdString()).parent_path();
        // The extracted copies go when the program ends.
        window().FormDestroy();
        QVERIFY(!fs::exists(folder));
        selectRows({});
    }

    void droppedFilesReplaceEntriesOfTheirNamesAfterAsking()
    {
        saveArchive(path("a.lgp"), sample());
        open(path("a.lgp"));
        fs::create_directories(path("mods"));
        writeFile(path("mods/MUSIC.MID"), "new tune");
        writeFile(path("mods/other.bin"), "not in the archive");
        const QStringList dropped{q(path("mods/MUSIC.MID")), q(path("mods/other.bin"))};

        prompter().questionAnswers.push_back(false);
        window().ReplaceFromFiles(dropped);
        QCOMPARE(prompter().texts(Kind::Question),
                 QStringList{"Replace 1 entry of a.lgp with the dropped files (MUSIC.MID)? The archive holds no entry "
                             "named other.bin; those are left out."});
        QCOMPARE(entryData(path("a.lgp"), "Music.mid"), std::string("tune"));

        prompter().questionAnswers.push_back(true);
        window().ReplaceFromFiles(dropped);
        QCOMPARE(entryData(path("a.lgp"), "Music.mid"), std::string("new tune"));

        // Nothing of those names: said so, nothing asked.
        window().ReplaceFromFiles({q(path("mods/other.bin"))});
        QCOMPARE(prompter().texts(Kind::Question).size(), 2);
        QCOMPARE(prompter().texts(Kind::Message), QStringList{"The archive holds no entry named other.bin."});

        // Through a real drop onto the list.
        writeFile(path("mods/field.tex"), "dropped");
        prompter().questionAnswers.push_back(true);
        auto* mime = new QMimeData;
        mime->setUrls({QUrl::fromLocalFile(q(path("mods/field.tex")))});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window().lstFiles->viewport(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window().lstFiles->viewport(), &drop);
        QVERIFY(drop.isAccepted());
        delete mime;
        QCOMPARE(entryData(path("a.lgp"), "field.tex"), std::string("dropped"));
    }

    void replaceFromFolderAsksThenReplacesInOneRewriteAndListsTheRest()
    {
        saveArchive(path("a.lgp"), sample());
        open(path("a.lgp"));
        QCOMPARE(window().mnuReplaceFromFolder->text(), QString("Replace from fol&der..."));
        fs::create_directories(path("mods"));
        writeFile(path("mods/MUSIC.MID"), "new tune");
        writeFile(path("mods/battle.p"), "a longer model than before");
        writeFile(path("mods/notes.txt"), "not in the archive");

        // Cancelled folder dialog, then No: nothing changes.
        prompter().folderAnswers.push_back(std::nullopt);
        window().mnuReplaceFromFolder->trigger();
        prompter().folderAnswers.push_back(q(path("mods")));
        prompter().questionAnswers.push_back(false);
        window().mnuReplaceFromFolder->trigger();
        QCOMPARE(prompter().texts(Kind::Question),
                 QStringList{"Replace 2 entries of a.lgp with the files of " + q(path("mods"))
                             + "? The archive is rewritten and packed. 1 file matches no entry and will be left "
                               "out: notes.txt."});
        QCOMPARE(entryData(path("a.lgp"), "Music.mid"), std::string("tune"));

        prompter().folderAnswers.push_back(q(path("mods")));
        prompter().questionAnswers.push_back(true);
        window().mnuReplaceFromFolder->trigger();
        QCOMPARE(prompter().texts(Kind::Error), QStringList{});
        QCOMPARE(window().DoneText(), "Replaced 2 entries from " + q(path("mods")));
        QCOMPARE(prompter().texts(Kind::Message),
                 QStringList{"1 file of " + q(path("mods")) + " matched no entry and was left out: notes.txt."});
        // Packed: exactly the archive the writer lays out with the new data.
        Archive replaced = sample();
        replaced.Files[2].Data = B("a longer model than before");
        replaced.Files[3].Data = B("new tune");
        QVERIFY(testlgp::Load(path("a.lgp")) == Write(replaced));
        // The list was read again: the new length shows.
        QCOMPARE(window().lstFiles->CellText(2, 0), QString("battle.p"));
        QVERIFY(window().CurrentArchive->GetEntry(2).Length == 26);

        // A folder naming nothing: said so, nothing asked.
        fs::create_directories(path("empty"));
        prompter().folderAnswers.push_back(q(path("empty")));
        window().mnuReplaceFromFolder->trigger();
        QCOMPARE(prompter().texts(Kind::Question).size(), 2);
        QCOMPARE(prompter().texts(Kind::Message).last(),
                 "No file in " + q(path("empty")) + " is named after an entry of a.lgp; nothing was changed.");
    }

    void recentArchivesAndThePlaceAreKeptInTheSettings()
    {
        for (int i = 0; i < 12; ++i)
            saveArchive(path("r" + std::to_string(i) + ".lgp"), numbered(1));
        for (int i = 0; i < 12; ++i)
            open(path("r" + std::to_string(i) + ".lgp"));
        open(path("r5.lgp")); // again: moves to the top, not twice in the list
        QStringList expected{q(path("r5.lgp"))};
        for (int i = 11; expected.size() < 10; --i)
            if (i != 5)
                expected << q(path("r" + std::to_string(i) + ".lgp"));
        QCOMPARE(window().RecentFiles(), expected);
        QCOMPARE(window().mnuRecent->actions().size(), 10);

        window().SetOuterPosition(QPoint(37, 45));
        window().show();
        QVERIFY(QTest::qWaitForWindowExposed(&window()));
        QCOMPARE(window().frameGeometry().topLeft(), QPoint(37, 45));
        window().move(61, 52);
        QTRY_COMPARE(window().frameGeometry().topLeft(), QPoint(61, 52));
        mWindow.reset();

        const std::string settings = readFile(mSession->folder.settingsFile());
        QVERIFY(settings.find("[TarrowinWindow]\nLeft=61\nTop=52\n") != std::string::npos);
        QVERIFY(settings.find("File1=" + path("r5.lgp").string() + "\n") != std::string::npos);
        // The classic section keeps exactly its five keys.
        QVERIFY(settings.find("[Tarrowin]\nFlatBtn=0\nTextBtn=1\nWidth=519\nHeight=464\nReadLengths=1\n\n")
                != std::string::npos);

        window().show();
        QVERIFY(QTest::qWaitForWindowExposed(&window()));
        QCOMPARE(window().frameGeometry().topLeft(), QPoint(61, 52));
        QCOMPARE(window().RecentFiles(), expected);
    }

    void aPlaceOffEveryScreenIsNotUsed()
    {
        writeFile(mSession->folder.settingsFile(), "[TarrowinWindow]\nLeft=90000\nTop=-5000\n");
        window().show();
        QVERIFY(QTest::qWaitForWindowExposed(&window()));
        QVERIFY(window().screen()->availableGeometry().contains(window().frameGeometry().topLeft()));
    }

    void verifyShowsTheLookupCheckInAResizableWindow()
    {
        window().mnuVerify->trigger();
        QCOMPARE(prompter().texts(Kind::Message), QStringList{"Open an archive before choosing Verify!"});
        saveArchive(path("a.lgp"), sample());
        open(path("a.lgp"));
        window().mnuVerify->trigger();
        auto* box = window().findChild<QDialog*>("frmVerify");
        QVERIFY(box);
        QVERIFY(box->isVisible());
        QCOMPARE(box->windowTitle(), QString("Verify a.lgp"));
        QVERIFY(box->isSizeGripEnabled());
        QVERIFY(box->maximumSize().width() > 2000);
        const QString report = box->findChild<QPlainTextEdit*>("memVerify")->toPlainText();
        QVERIFY2(report.contains("lost") || report.contains("find"), qPrintable(report));
        QVERIFY(window().DoneText().startsWith("Verify: "));
        box->close();
    }

    void thePatchesToolbarFirstFloatsOverTheExplanation()
    {
        window().show();
        QVERIFY(QTest::qWaitForWindowExposed(&window()));
        QToolBar& patches = *window().tbLGPPatch;
        QVERIFY(patches.isFloating());
        QTRY_VERIFY(patches.isVisible());
        auto global = [](const QWidget& w) { return QRect(w.mapToGlobal(QPoint(0, 0)), w.size()); };
        auto overTheExplanationOnly = [&] {
            const QRect bar = global(patches), list = global(*window().lstFiles);
            return !bar.intersects(list) && !bar.intersects(global(*window().lstInfo))
                   && !bar.intersects(global(*window().tbLGPAdvanced))
                   && global(*window().Label5).contains(bar.center());
        };
        QVERIFY2(overTheExplanationOnly(), qPrintable(QString("bar %1,%2 list %3")
                                                          .arg(global(patches).y())
                                                          .arg(global(patches).bottom())
                                                          .arg(global(*window().lstFiles).bottom())));
        // A window manager that puts the window under its title bar a moment
        // after it appears, its frame taken off the client size: the toolbar
        // follows.
        window().move(window().pos() + QPoint(0, 30));
        QTRY_VERIFY(overTheExplanationOnly());
        window().resize(window().size() - QSize(0, 22));
        QTRY_VERIFY(overTheExplanationOnly());
    }

    void silverBoxesKeepBlackTextInADarkTheme()
    {
        const QPalette before = QApplication::palette();
        QPalette dark;
        dark.setColor(QPalette::Window, QColor(30, 30, 30));
        dark.setColor(QPalette::WindowText, Qt::white);
        dark.setColor(QPalette::Base, QColor(20, 20, 20));
        dark.setColor(QPalette::Text, Qt::white);
        QApplication::setPalette(dark);
        saveArchive(path("a.lgp"), sample());
        open(path("a.lgp"));
        QListWidget& info = *window().lstInfo;
        QCOMPARE(info.palette().color(QPalette::Base), QColor(0xC0, 0xC0, 0xC0));
        QCOMPARE(info.palette().color(QPalette::Text), QColor(Qt::black));
        // As drawn: the first line's text is dark on the silver.
        info.resize(300, 57);
        const QImage shot = info.grab().toImage();
        const QRect line = info.visualItemRect(info.item(0));
        int darkest = 255;
        for (int y = line.top(); y <= line.bottom(); ++y)
            for (int x = line.left(); x < std::min(line.right(), shot.width()); ++x)
                darkest = std::min(darkest, qGray(shot.pixel(x, y)));
        QApplication::setPalette(before);
        QVERIFY2(darkest < 80, qPrintable(QString::number(darkest)));
    }

    void previewsOpenBesideTheWindowAndTextAtItsOwnSize()
    {
        Archive a{.Files = {{"a.txt", B("col1    col2\r\n")}}};
        // A 64 x 48 texture in direct colour: width, height and palette
        // count in the 236-byte header, then the pixels.
        Bytes tex(236 + 64 * 48 * 2, 0);
        auto put = [&tex](std::size_t at, std::uint32_t v) {
            for (int i = 0; i < 4; ++i)
                tex[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
        };
        put(60, 64);
        put(64, 48);
        a.Files.push_back({"pic.tex", tex});
        saveArchive(path("a.lgp"), a);
        window().show();
        QVERIFY(QTest::qWaitForWindowExposed(&window()));
        window().resize(300, 400);
        window().move(0, 0); // room on its right
        QTRY_COMPARE(window().frameGeometry().topLeft(), QPoint(0, 0));
        open(path("a.lgp"));
        TfrmTexView& view = window().Previewer->TexView();

        window().lstFiles->SelectRow(0);
        window().lstFilesDblClick();
        QVERIFY(view.isVisible());
        QVERIFY(view.Memo->font().fixedPitch() || QFontInfo(view.Memo->font()).fixedPitch());
        const QRect main = window().frameGeometry();
        QTRY_COMPARE(view.frameGeometry().topLeft(), QPoint(main.right() + 1 + 8, main.top()));

        view.resize(400, 300); // the user's size for text
        window().lstFiles->SelectRow(1);
        window().lstFilesDblClick();
        QVERIFY(view.Image->isVisible());
        QCOMPARE(view.size(), QSize(64, 48));
        window().lstFiles->SelectRow(0);
        window().lstFilesDblClick();
        QCOMPARE(view.size(), QSize(400, 300));
    }

    void leftoversOfStoppedRunsAreNotedOnceTheCommandHasEnded()
    {
        // A hidden temporary file of a stopped run beside an archive (nobody
        // holds it); the next writer of that archive removes it and says so.
        const auto plant = [&](const std::string& archive) {
            writeFile(path("." + archive + ".abc123.tmp"), "what a stopped run had copied");
            return path("." + archive + ".abc123.tmp");
        };
        const auto note = [&](const std::string& archive) {
            return QString::fromStdString("Removed 1 temporary file that stopped runs had left beside "
                                          + path(archive).string() + ": ." + archive + ".abc123.tmp.");
        };

        // The main window: a replace by dropped files.
        saveArchive(path("a.lgp"), sample());
        open(path("a.lgp"));
        fs::create_directories(path("mods"));
        writeFile(path("mods/MUSIC.MID"), "new tune");
        fs::path leftover = plant("a.lgp");
        prompter().questionAnswers.push_back(true);
        window().ReplaceFromFiles({q(path("mods/MUSIC.MID"))});
        QVERIFY(!fs::exists(leftover));
        QCOMPARE(entryData(path("a.lgp"), "Music.mid"), std::string("new tune"));
        // Not in the middle of the command: once it has ended.
        QVERIFY(prompter().texts(Kind::Message).isEmpty());
        QTRY_COMPARE(prompter().texts(Kind::Message), QStringList{note("a.lgp")});

        // The advanced editor, which holds the archive as its writer.
        leftover = plant("a.lgp");
        {
            TfrmAdvanced editor;
            QVERIFY(editor.OpenArchive(q(path("a.lgp"))));
        }
        QVERIFY(!fs::exists(leftover));
        QTRY_COMPARE(prompter().texts(Kind::Message).size(), 2);
        QCOMPARE(prompter().texts(Kind::Message).last(), note("a.lgp"));

        // The patch creator, writing its patch over an older one.
        Archive modified = sample();
        modified.Files[4].Data = B("HELLO");
        saveArchive(path("m.lgp"), modified);
        writeFile(path("p.lgp"), "an older patch");
        leftover = plant("p.lgp");
        TfrmLGPPatch creator;
        creator.edtSrc->setText(q(path("a.lgp")));
        creator.edtPatLGP->setText(q(path("m.lgp")));
        prompter().fileAnswers.push_back(q(path("p.lgp")));
        creator.btnBeginClick();
        QCOMPARE(creator.lblStatus->text(), QString("Done!"));
        QVERIFY(!fs::exists(leftover));
        QTRY_COMPARE(prompter().texts(Kind::Message).size(), 3);
        QCOMPARE(prompter().texts(Kind::Message).last(), note("p.lgp"));
        QVERIFY(prompter().texts(Kind::Error).isEmpty());
    }

    void theFolderDialogMakesATypedNewFolder()
    {
        // The real dialog, not the script.
        Platform::Ui::setPrompter(nullptr);
        const fs::path wanted = path("made/here");
        fs::create_directories(path("made"));
        QTimer::singleShot(0, [&wanted] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->setDirectory(q(wanted.parent_path()));
            dialog->selectFile("here");
            QMetaObject::invokeMethod(dialog, "accept");
        });
        TFolderDialog chooser(&window());
        QVERIFY(chooser.Execute());
        QVERIFY(fs::is_directory(wanted));
        QCOMPARE(chooser.Path, q(wanted) + "/");
    }
};

QTEST_MAIN(WorkflowTest)
#include "tst_workflow.moc"
