// The pane arithmetic: readings in their order, the figures at the creation
// size, non-finite results and a free height too small for the layout.

#include "shell/pane_layout.h"

#include <QtTest>
#include <cmath>
#include <limits>

namespace {

// A window surface whose information pane keeps whole pixels of 15 twips, as
// a pane does at 96 dots per inch.
class FakeSurface final : public PaneSurface {
public:
    float w = 7770.0f, s = 315.0f, h = 4725.0f;
    QStringList log;
    QList<QList<float>> infoMoves, spyMoves;
    float infoHeight = 0.0f;

    float clientWidth() override
    {
        log << "W";
        return w;
    }
    float statusHeight() override
    {
        log << "S";
        return s;
    }
    float clientHeight() override
    {
        log << "H";
        return h;
    }
    float infoPaneHeight() override
    {
        log << "T";
        return infoHeight;
    }
    void moveInfoPane(float l, float t, float wd, float ht) override
    {
        log << "moveInfo";
        infoMoves << QList<float>{l, t, wd, ht};
        infoHeight = std::round(ht / 15.0f) * 15.0f;
    }
    void moveSpyPane(float l, float t, float wd, float ht) override
    {
        log << "moveSpy";
        spyMoves << QList<float>{l, t, wd, ht};
    }
};

}  // namespace

class TestPaneLayout : public QObject {
    Q_OBJECT

private slots:
    void readsInTheWrittenOrder()
    {
        FakeSurface surface;
        QCOMPARE(layOutPanes(surface), LayoutOutcome::Done);
        const QStringList expected{"W", "S", "H", "moveInfo", "T", "W", "S", "T", "H", "moveSpy"};
        QCOMPARE(surface.log, expected);
    }

    void figuresAtTheCreationSize()
    {
        FakeSurface surface;
        layOutPanes(surface);
        QCOMPARE(surface.infoMoves.size(), 1);
        QCOMPARE(surface.infoMoves[0], (QList<float>{0.0f, 0.0f, 7770.0f, 1102.5f}));
        const float t = surface.infoHeight;  // what the pane reports after its own rounding
        QCOMPARE(surface.spyMoves.size(), 1);
        QCOMPARE(surface.spyMoves[0], (QList<float>{0.0f, t + 300.0f, 7770.0f, 4410.0f - t - 300.0f}));
    }

    void nonFiniteResultsMoveNothing_data()
    {
        QTest::addColumn<float>("width");
        QTest::addColumn<float>("height");
        QTest::addColumn<int>("infoMoves");
        const float inf = std::numeric_limits<float>::infinity();
        const float nan = std::numeric_limits<float>::quiet_NaN();
        QTest::newRow("infinite height") << 7770.0f << inf << 0;
        QTest::newRow("NaN height") << 7770.0f << nan << 0;
        QTest::newRow("infinite width") << inf << 4725.0f << 0;
    }
    void nonFiniteResultsMoveNothing()
    {
        QFETCH(float, width);
        QFETCH(float, height);
        QFETCH(int, infoMoves);
        FakeSurface surface;
        surface.w = width;
        surface.h = height;
        QCOMPARE(layOutPanes(surface), LayoutOutcome::NotFinite);
        QCOMPARE(surface.infoMoves.size(), infoMoves);
        QCOMPARE(surface.spyMoves.size(), 0);
    }

    void tooLittleFreeHeightGivesNoNegativeHeight()
    {
        FakeSurface surface;
        surface.h = 600.0f;  // free height 285 twips: less than the 300-twip gap
        QCOMPARE(layOutPanes(surface), LayoutOutcome::Done);
        QVERIFY(surface.infoMoves[0][3] >= 0.0f);
        QCOMPARE(surface.spyMoves[0][3], 0.0f);

        surface.h = 100.0f;  // status bar taller than the client area
        surface.infoMoves.clear();
        surface.spyMoves.clear();
        layOutPanes(surface);
        QCOMPARE(surface.infoMoves[0][3], 0.0f);
        QCOMPARE(surface.spyMoves[0][3], 0.0f);
    }

    void minimumOuterSize_data()
    {
        QTest::addColumn<float>("outerHeight");
        QTest::addColumn<float>("outerWidth");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("creation size") << 5700.0f << 7890.0f << true;
        QTest::newRow("exactly 3000 high") << 3000.0f << 7890.0f << false;
        QTest::newRow("exactly 3000 wide") << 5700.0f << 3000.0f << false;
        QTest::newRow("both 3000") << 3000.0f << 3000.0f << false;
        QTest::newRow("just above") << 3000.5f << 3015.0f << true;
        QTest::newRow("dragged to 2500 high") << 2500.0f << 8000.0f << false;
        QTest::newRow("not a number") << std::numeric_limits<float>::quiet_NaN() << 8000.0f << false;
    }
    void minimumOuterSize()
    {
        QFETCH(float, outerHeight);
        QFETCH(float, outerWidth);
        QFETCH(bool, allowed);
        QCOMPARE(outerSizeAllowsLayout(outerHeight, outerWidth), allowed);
    }
};

QTEST_APPLESS_MAIN(TestPaneLayout)
#include "tst_pane_layout.moc"
