// The resize bands of the frameless main window: where a press resizes, and
// which Windows hit-test code answers it.
#include <QtTest>

#include "EdgeBands.h"

class TestEdgeBands : public QObject
{
    Q_OBJECT

private slots:
    void bandsOfAWindow_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<long>("code");
        // A 1200 x 720 window; 0 means the default handling decides.
        QTest::newRow("left band's last pixel") << 5 << 360 << 10L;
        QTest::newRow("just inside the left band") << 6 << 360 << 0L;
        QTest::newRow("just inside the right band") << 1194 << 360 << 0L;
        QTest::newRow("right band's first pixel") << 1195 << 360 << 11L;
        QTest::newRow("top right corner") << 1199 << 2 << 14L;
        QTest::newRow("top left corner") << 0 << 0 << 13L;
        QTest::newRow("bottom left corner") << 3 << 716 << 16L;
        QTest::newRow("bottom right corner") << 1199 << 719 << 17L;
        QTest::newRow("top band") << 600 << 5 << 12L;
        QTest::newRow("below the top band") << 600 << 6 << 0L;
        QTest::newRow("bottom band") << 600 << 715 << 15L;
        QTest::newRow("above the bottom band") << 600 << 714 << 0L;
        QTest::newRow("centre") << 600 << 360 << 0L;
        // Left of or above the window, as a captured pointer reports.
        QTest::newRow("left of the window") << -3 << 360 << 10L;
    }

    void bandsOfAWindow()
    {
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(long, code);
        QCOMPARE(EdgeBands::hitTestCode(EdgeBands::bandsAt(x, y, 1200, 720)), code);
    }

    // A window that fills its screen, maximised or full screen, answers
    // "client" everywhere: no band may offer a resize there.
    void fillingTheScreenIsClientEverywhere_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<long>("normal");
        // A 1920 x 1080 screen filled by the window.
        QTest::newRow("top left corner") << 0 << 0 << 13L;
        QTest::newRow("bottom right corner") << 1919 << 1079 << 17L;
        QTest::newRow("left band") << 2 << 540 << 10L;
        QTest::newRow("right band") << 1918 << 540 << 11L;
        QTest::newRow("top band, over the title bar") << 900 << 1 << 12L;
        QTest::newRow("bottom band") << 900 << 1078 << 15L;
        QTest::newRow("centre") << 960 << 540 << 0L;
    }

    void fillingTheScreenIsClientEverywhere()
    {
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(long, normal);
        QCOMPARE(EdgeBands::hitTest(x, y, 1920, 1080, false), normal);
        QCOMPARE(EdgeBands::hitTest(x, y, 1920, 1080, true), EdgeBands::kClient);
    }

    void cornersAreBothEdges()
    {
        QCOMPARE(EdgeBands::bandsAt(1199, 2, 1200, 720),
                 unsigned(EdgeBands::Top | EdgeBands::Right));
        QCOMPARE(EdgeBands::bandsAt(2, 718, 1200, 720),
                 unsigned(EdgeBands::Bottom | EdgeBands::Left));
    }
};

QTEST_APPLESS_MAIN(TestEdgeBands)
#include "tst_edgebands.moc"
