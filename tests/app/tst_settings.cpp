// Options, toolbars and the settings file: what start-up makes of
// "QUENWICK.INI" and what shut-down writes back.

#include "apptestsupport.h"

#include "app/application.h"
#include "app/lgpviewer.h"
#include "platform/ui.h"

#include <QAction>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include <memory>

using namespace AppTest;
using Kind = Platform::Ui::ScriptedPrompter::Kind;

namespace
{
    QList<QToolButton*> buttons(TfrmLGPEditor& w)
    {
        return {w.btnCreate, w.btnOpen,     w.btnExtract,     w.btnExtractAll, w.btnAnalyse, w.btnRepair,
                w.btnPack,   w.btnAdvanced, w.btnCreatePatch, w.btnConvert,    w.btnApply};
    }

    // The keys of one section, in file order.
    QStringList keysOf(const std::string& content, const QString& section)
    {
        QStringList keys;
        bool inside = false;
        for (const QString& line : QString::fromStdString(content).split('\n'))
        {
            if (line.startsWith('['))
            {
                inside = line == "[" + section + "]";
                continue;
            }
            if (inside && line.contains('='))
                keys << line.section('=', 0, 0);
        }
        return keys;
    }

    const std::string RoundTrip = "[tbLGPFiles]\n"
                                  "Rev=3\nVisible=1\nDockedTo=dockBottom\nLastDock=dockBottom\nDockRow=0\nDockPos=0\n"
                                  "FloatLeft=30\nFloatTop=40\n"
                                  "\n[tbLGPAdvanced]\n"
                                  "Rev=3\nVisible=0\nDockedTo=dockLeft\nLastDock=dockLeft\nDockRow=0\nDockPos=0\n"
                                  "FloatLeft=0\nFloatTop=0\n"
                                  "\n[tbLGPPatch]\n"
                                  "Rev=3\nVisible=1\nDockedTo=+\nLastDock=dockTop\nDockRow=0\nDockPos=0\n"
                                  "FloatLeft=100\nFloatTop=120\n"
                                  "\n[Tarrowin]\n"
                                  "FlatBtn=1\nTextBtn=0\nWidth=600\nHeight=500\nReadLengths=0\n";
}

class SettingsTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<Session> mSession;

    std::unique_ptr<TfrmLGPEditor> start(const std::string& settings = {})
    {
        if (!settings.empty())
            writeFile(mSession->folder.settingsFile(), settings);
        return std::make_unique<TfrmLGPEditor>();
    }

    std::string written() { return readFile(mSession->folder.settingsFile()); }

private slots:
    void initTestCase() { Tarrowin::InitApplication(); }

    void init() { mSession = std::make_unique<Session>(); }

    void cleanup() { mSession.reset(); }

    void withoutASettingsFileTheDesignedLayoutApplies()
    {
        auto w = start();
        for (QToolButton* b : buttons(*w))
        {
            QCOMPARE(b->width(), 75);
            QCOMPARE(b->height(), 32);
            QCOMPARE(b->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
            QVERIFY(!b->autoRaise());
        }
        QVERIFY(w->mnuText->isChecked());
        QVERIFY(!w->mnuFlatbuttons->isChecked());
        QVERIFY(w->mnuReadLengths->isChecked());
        QCOMPARE(w->OuterSize(), QSize(519, 464));
        QCOMPARE(w->toolBarArea(w->tbLGPFiles), Qt::TopToolBarArea);
        QCOMPARE(w->toolBarArea(w->tbLGPAdvanced), Qt::BottomToolBarArea);
        QVERIFY(w->tbLGPPatch->isWindow());
        QVERIFY(w->mnuFiletoolbar->isChecked() && w->mnuAdvancedtoolbar->isChecked()
                && w->mnuPatchtoolbar->isChecked());
        const TToolbarPlace patches = Tarrowin::ToolbarLayout::read(*w, *w->tbLGPPatch, {});
        QCOMPARE(patches.DockedTo, QString("+"));
        QCOMPARE(patches.LastDock, QString("dockBottom"));

        w.reset();
        const std::string file = written();
        QCOMPARE(keysOf(file, "Tarrowin"), (QStringList{"FlatBtn", "TextBtn", "Width", "Height", "ReadLengths"}));
        const QStringList layoutKeys{"Rev",     "Visible", "DockedTo",  "LastDock",
                                     "DockRow", "DockPos", "FloatLeft", "FloatTop"};
        for (const char* section : {"tbLGPFiles", "tbLGPAdvanced", "tbLGPPatch"})
            QCOMPARE(keysOf(file, section), layoutKeys);
        QVERIFY(file.find("[Tarrowin]\nFlatBtn=0\nTextBtn=1\nWidth=519\nHeight=464\nReadLengths=1\n")
                != std::string::npos);
        QVERIFY(file.find("[tbLGPFiles]\nRev=3\nVisible=1\nDockedTo=dockTop\nLastDock=dockTop\nDockRow=0\n")
                != std::string::npos);
        QVERIFY(file.find("[tbLGPPatch]\nRev=3\nVisible=1\nDockedTo=+\nLastDock=dockBottom\n") != std::string::npos);
    }

    void theEmptyLeftDockKeepsItsNinePixels()
    {
        auto w = start();
        w->show();
        QWidget* strip = w->findChild<QWidget*>("dockLeft");
        QVERIFY(strip);
        QCOMPARE(strip->width(), 9);
        QVERIFY(!strip->isHidden());

        // A toolbar docked on the left takes the dock's place; leaving it
        // empties the dock again.
        w->addToolBar(Qt::LeftToolBarArea, w->tbLGPFiles);
        QTRY_VERIFY(strip->isHidden());
        w->tbLGPFiles->hide();
        QTRY_VERIFY(!strip->isHidden());
        w->tbLGPFiles->show();
        QTRY_VERIFY(strip->isHidden());
        w->addToolBar(Qt::TopToolBarArea, w->tbLGPFiles);
        QTRY_VERIFY(!strip->isHidden());
    }

    void theFileWrittenAtShutDownIsTheFileReadAtStartUp()
    {
        auto w = start(RoundTrip);
        QCOMPARE(w->toolBarArea(w->tbLGPFiles), Qt::BottomToolBarArea);
        QCOMPARE(w->toolBarArea(w->tbLGPAdvanced), Qt::LeftToolBarArea);
        QVERIFY(w->tbLGPAdvanced->isHidden());
        QVERIFY(!w->mnuAdvancedtoolbar->isChecked());
        QVERIFY(w->tbLGPPatch->isWindow());
        QCOMPARE(w->tbLGPPatch->pos(), QPoint(100, 120));
        QVERIFY(!w->mnuReadLengths->isChecked());
        QCOMPARE(w->OuterSize(), QSize(600, 500));
        w.reset();
        QCOMPARE(written(), RoundTrip);
    }

    void flatAndGlyphOnlyButtons()
    {
        auto w = start("[Tarrowin]\nFlatBtn=1\nTextBtn=0\n");
        QVERIFY(w->mnuFlatbuttons->isChecked());
        QVERIFY(!w->mnuText->isChecked());
        for (QToolButton* b : buttons(*w))
        {
            QCOMPARE(b->size(), QSize(32, 32));
            QCOMPARE(b->toolButtonStyle(), Qt::ToolButtonIconOnly);
            QVERIFY(b->autoRaise());
        }
        w->mnuText->trigger();
        w->mnuFlatbuttons->trigger();
        for (QToolButton* b : buttons(*w))
        {
            QCOMPARE(b->width(), 75);
            QVERIFY(!b->autoRaise());
        }
    }

    void aRevisionOneSectionIsIgnoredEntirely()
    {
        auto w = start("[tbLGPPatch]\nRev=1\nVisible=0\nDockedTo=dockTop\n");
        QVERIFY(w->tbLGPPatch->isWindow());
        QVERIFY(!w->tbLGPPatch->isHidden());
        QVERIFY(w->mnuPatchtoolbar->isChecked());
    }

    void anUnknownDockKeepsThePlaceButVisibleApplies()
    {
        auto w = start("[tbLGPAdvanced]\nRev=3\nVisible=0\nDockedTo=dockRight\nDockRow=4\n");
        QCOMPARE(w->toolBarArea(w->tbLGPAdvanced), Qt::BottomToolBarArea);
        QVERIFY(w->tbLGPAdvanced->isHidden());
        QVERIFY(!w->mnuAdvancedtoolbar->isChecked());
    }

    void aHiddenPatchesToolbarStartsUnchecked()
    {
        auto w = start("[tbLGPPatch]\nRev=2\nVisible=0\n");
        QVERIFY(w->tbLGPPatch->isHidden());
        QVERIFY(!w->mnuPatchtoolbar->isChecked());
        QVERIFY(w->mnuFiletoolbar->isChecked());
        w->mnuPatchtoolbar->trigger();
        QVERIFY(!w->tbLGPPatch->isHidden());
    }

    void aRevisionTwoFloatKeepsTheToolbarsOwnLastDock()
    {
        auto w = start("[tbLGPFiles]\nRev=2\nDockedTo=+\nLastDock=dockLeft\nFloatLeft=50\nFloatTop=60\n");
        QVERIFY(w->tbLGPFiles->isWindow());
        QCOMPARE(w->tbLGPFiles->pos(), QPoint(50, 60));
        QCOMPARE(Tarrowin::ToolbarLayout::read(*w, *w->tbLGPFiles, {}).LastDock, QString("dockTop"));
    }

    void aFloatingToolbarWhoseLastDockIsTheLeftOneComesBackHorizontal()
    {
        auto w = start("[tbLGPPatch]\nRev=3\nVisible=1\nDockedTo=+\nLastDock=dockLeft\nDockRow=0\nDockPos=0\n"
                       "FloatLeft=70\nFloatTop=80\n");
        QVERIFY(w->tbLGPPatch->isWindow());
        QCOMPARE(w->tbLGPPatch->orientation(), Qt::Horizontal);
        QVERIFY(w->tbLGPPatch->width() > w->tbLGPPatch->height());
        QCOMPARE(Tarrowin::ToolbarLayout::read(*w, *w->tbLGPPatch, {}).LastDock, QString("dockLeft"));
        // Docked back, it is vertical in the left dock; floated again, horizontal.
        w->addToolBar(Qt::LeftToolBarArea, w->tbLGPPatch);
        QCOMPARE(w->tbLGPPatch->orientation(), Qt::Vertical);
        w->tbLGPPatch->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
        emit w->tbLGPPatch->topLevelChanged(true);
        QCOMPARE(w->tbLGPPatch->orientation(), Qt::Horizontal);
    }

    void windowSizes_data()
    {
        QTest::addColumn<QString>("width");
        QTest::addColumn<int>("expected");
        QTest::newRow("hex") << "0x200" << 512;
        QTest::newRow("decimal") << "640" << 640;
        QTest::newRow("word") << "wide" << 519;
        QTest::newRow("zero") << "0" << 519;
        QTest::newRow("negative") << "-300" << 519;
        QTest::newRow("huge") << "99999" << 519;
        QTest::newRow("tiny") << "20" << 200;
        QTest::newRow("overflow") << "0x1FFFFFFFF" << 519;
    }

    void windowSizes()
    {
        QFETCH(QString, width);
        QFETCH(int, expected);
        auto w = start("[Tarrowin]\nWidth=" + width.toStdString() + "\n");
        QCOMPARE(w->OuterSize(), QSize(expected, 464));
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QCOMPARE(w->frameGeometry().size(), QSize(expected, 464));
        QVERIFY(w->screen()->availableGeometry().contains(w->frameGeometry()));
    }

    void aFloatingPositionOffEveryScreenIsBroughtBack()
    {
        auto w = start("[tbLGPPatch]\nRev=3\nDockedTo=+\nLastDock=dockBottom\nFloatLeft=-5000\nFloatTop=90000\n");
        QVERIFY(w->tbLGPPatch->isWindow());
        QVERIFY(w->screen()->availableGeometry().contains(w->tbLGPPatch->pos()));
    }

    void theCloseBoxOfAFloatingToolbarUnchecksItsMenuItem()
    {
        auto w = start();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        auto* close = w->tbLGPPatch->findChild<QToolButton*>("tbLGPPatchClose");
        QVERIFY(close);
        QVERIFY(close->isVisible());
        QVERIFY(!w->tbLGPFiles->findChild<QToolButton*>("tbLGPFilesClose")->isVisible());
        QTest::mouseClick(close, Qt::LeftButton);
        QVERIFY(w->tbLGPPatch->isHidden());
        QVERIFY(!w->mnuPatchtoolbar->isChecked());
        w.reset();
        QVERIFY(written().find("[tbLGPPatch]\nRev=3\nVisible=0\n") != std::string::npos);
    }

    void aSettingsFileThatCannotBeWrittenIsReportedAndShutDownGoesOn()
    {
        // A plain file where the settings folder should be.
        writeFile(mSession->folder / "config", "not a folder");
        auto w = start();
        const std::string archive = (mSession->folder / "a.lgp").string();
        saveArchive(archive, numbered(2));
        mSession->prompter.fileAnswers.push_back(QString::fromStdString(archive));
        w->mnuOpenLGP->trigger();
        QVERIFY(w->CurrentArchive);
        w->FormDestroy();
        QCOMPARE(mSession->prompter.texts(Kind::Error),
                 QStringList{"Unable to write to " + q(mSession->folder.settingsFile()) + "."});
        QVERIFY(!w->CurrentArchive);
    }
};

QTEST_MAIN(SettingsTest)
#include "tst_settings.moc"
