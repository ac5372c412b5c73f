// The identity overlay, read back from its pixels: nothing on a strip too
// thin for text, the name and the time in opposite corners that move on
// clockwise every 3 s, the centre line hopping with them, the opacity pulse,
// and "Guest" for a missing name. Time comes from the test, never from sleeping.
#include <QDateTime>
#include <QtTest>
#include <memory>

#include "Watermark.h"

using AntiPiracy::Watermark;

namespace {

// Pixels with any ink in a region of a grab, and the box they span.
struct Ink
{
    int count = 0;
    int maxAlpha = 0;
    QRect box;
};

Ink inkIn(const QImage& img, const QRect& region)
{
    Ink ink;
    const QRect r = region.intersected(img.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            const int a = qAlpha(img.pixel(x, y));
            if (a > 0) {
                ++ink.count;
                ink.maxAlpha = qMax(ink.maxAlpha, a);
                ink.box |= QRect(x, y, 1, 1);
            }
        }
    }
    return ink;
}

// An overlay on its own clock, in a shown area of the given size.
struct Overlay
{
    std::shared_ptr<qint64> clock = std::make_shared<qint64>(
        QDateTime(QDate(2026, 3, 14), QTime(9, 26, 53)).toMSecsSinceEpoch());
    QWidget area;
    Watermark* mark;

    explicit Overlay(QSize size)
    {
        area.resize(size);
        auto c = clock;
        mark = new Watermark(&area, [c] { return *c; });
        mark->setGeometry(area.rect());
        area.show();
        (void)QTest::qWaitForWindowExposed(&area);
    }
    QImage grab() const { return mark->grab().toImage().convertToFormat(QImage::Format_ARGB32); }
    void advance(qint64 ms)
    {
        *clock += ms;
        mark->tick();
    }
};

}  // namespace

class TstWatermark : public QObject
{
    Q_OBJECT

private slots:
    void tooSmallDrawsNothing_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("drawn");
        QTest::newRow("20 high") << QSize(600, 20) << false;
        QTest::newRow("20 wide") << QSize(20, 300) << false;
        QTest::newRow("21 high") << QSize(600, 21) << true;
    }
    void tooSmallDrawsNothing()
    {
        QFETCH(QSize, size);
        QFETCH(bool, drawn);
        Overlay o(size);
        o.mark->setInfo("Alice", "beef");
        QCOMPARE(inkIn(o.grab(), QRect(QPoint(0, 0), size)).count > 0, drawn);
    }

    // Phase 0: the short name top-left, the long time bottom-right, the
    // centre line a third below the middle; three seconds later everything
    // has moved one corner clockwise and the centre line above the middle.
    void cornersMoveClockwise()
    {
        const int w = 600;
        const int h = 300;
        Overlay o(QSize(w, h));
        o.mark->setInfo("Alice", "beef");
        const QRect topLeft(0, 0, 250, 60);
        const QRect topRight(w - 250, 0, 250, 60);
        const QRect bottomRight(w - 250, h - 60, 250, 60);
        const QRect bottomLeft(0, h - 60, 250, 60);
        const QRect lowerBand(0, h / 2 + h / 6 - 25, w, 32);  // around the baseline 200
        const QRect upperBand(0, h / 2 - h / 6 - 25, w, 32);  // around the baseline 100
        // "Alice" at 10 px is far narrower than "2026-03-14 09:26:53".
        auto isName = [](const Ink& ink) { return ink.count > 0 && ink.box.width() < 60; };
        auto isTime = [](const Ink& ink) { return ink.box.width() > 90; };

        o.advance(0);  // the first tick only starts the schedule
        QImage img = o.grab();
        QCOMPARE(o.mark->cornerPhase(), 0);
        QVERIFY(isName(inkIn(img, topLeft)));
        QVERIFY(isTime(inkIn(img, bottomRight)));
        QCOMPARE(inkIn(img, topRight).count, 0);
        QCOMPARE(inkIn(img, bottomLeft).count, 0);
        QVERIFY(inkIn(img, lowerBand).box.width() > 200);
        QCOMPARE(inkIn(img, upperBand).count, 0);
        // The name starts at the 16 px margin.
        QVERIFY(qAbs(inkIn(img, topLeft).box.left() - 16) <= 2);

        o.advance(2999);
        QCOMPARE(o.mark->cornerPhase(), 0);
        o.advance(1);
        QCOMPARE(o.mark->cornerPhase(), 1);
        img = o.grab();
        QVERIFY(isName(inkIn(img, topRight)));
        QVERIFY(isTime(inkIn(img, bottomLeft)));
        QCOMPARE(inkIn(img, topLeft).count, 0);
        QCOMPARE(inkIn(img, bottomRight).count, 0);
        QVERIFY(inkIn(img, upperBand).box.width() > 200);
        QCOMPARE(inkIn(img, lowerBand).count, 0);
        QVERIFY(qAbs(inkIn(img, topRight).box.right() - (w - 1 - 16)) <= 2);

        // Each hold restarts from the switch, not from the first tick.
        o.advance(2000);
        o.advance(999);
        QCOMPARE(o.mark->cornerPhase(), 1);
        for (int i = 0; i < 3; ++i) {
            o.advance(3000);
        }
        QCOMPARE(o.mark->cornerPhase(), 0);
        QVERIFY(isName(inkIn(o.grab(), topLeft)));
    }

    // The drawn time is the clock's time, to the second.
    void timeFollowsClock()
    {
        Overlay o(QSize(600, 300));
        const QImage before = o.grab();
        *o.clock += 3000;  // a whole pulse cycle later, no tick: only the time differs
        const QImage later = o.grab();
        QVERIFY(before != later);
        *o.clock -= 3000;
        QCOMPARE(o.grab(), before);
    }

    // 0.12 right after construction, 0.28 half a cycle later, and back.
    void pulse_data()
    {
        QTest::addColumn<qint64>("elapsed");
        QTest::addColumn<double>("opacity");
        QTest::newRow("start") << qint64(0) << 0.12;
        QTest::newRow("quarter") << qint64(750) << 0.20;
        QTest::newRow("peak") << qint64(1500) << 0.28;
        QTest::newRow("next cycle") << qint64(3000) << 0.12;
        QTest::newRow("clock stepped back") << qint64(-1500) << 0.28;
    }
    void pulse()
    {
        QFETCH(qint64, elapsed);
        QFETCH(double, opacity);
        QVERIFY(qAbs(Watermark::opacityAt(elapsed) - opacity) < 1e-9);
    }

    // The pulse reaches the pixels: the peak is clearly denser than the start.
    void pulseInPixels()
    {
        Overlay o(QSize(2000, 600));
        o.mark->setInfo("Alice", "beef");
        const Ink low = inkIn(o.grab(), o.area.rect());
        *o.clock += 1500;
        const Ink high = inkIn(o.grab(), o.area.rect());
        QVERIFY2(high.maxAlpha > low.maxAlpha + 20,
                 qPrintable(QString("%1 vs %2").arg(high.maxAlpha).arg(low.maxAlpha)));
        // Even at its peak the mark stays faint.
        QVERIFY(high.maxAlpha < 140);
    }

    // No name draws "Guest"; the device tag is never drawn.
    void guestAndTag()
    {
        Overlay o(QSize(600, 300));
        o.mark->setInfo(QString(), "1234");
        const QImage empty = o.grab();
        o.mark->setInfo("Guest", "9999");
        QCOMPARE(o.grab(), empty);
        o.mark->setInfo("Alice", "1234");
        QVERIFY(o.grab() != empty);
    }
};

QTEST_MAIN(TstWatermark)
#include "tst_watermark.moc"
