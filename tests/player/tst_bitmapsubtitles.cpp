// Bitmap subtitles (DVD, DVB, PGS): when each is on screen, where on the
// shown picture and in its palette's colours, and how many are kept.
#include <QTest>

#include "BitmapSubtitles.h"

namespace {

const QSize kCanvas(720, 576);

// One picture: a block of one palette colour with a transparent border, at
// `rect` on the canvas. No colour: a clear.
SubtitlePicture picture(qint64 startMs, qint64 endMs, QRgb colour = 0,
                        QRect rect = QRect(200, 480, 320, 60))
{
    SubtitlePicture p;
    p.startMs = startMs;
    p.endMs = endMs;
    p.canvas = kCanvas;
    if (colour != 0) {
        QImage image(rect.size(), QImage::Format_Indexed8);
        image.setColorTable({qRgba(0, 0, 0, 0), colour});
        image.fill(0);
        for (int y = 2; y < image.height() - 2; ++y) {
            for (int x = 2; x < image.width() - 2; ++x) {
                image.setPixel(x, y, 1);
            }
        }
        p.parts.append({rect, image});
    }
    return p;
}

QRgb centreColour(const QImage& img)
{
    if (img.isNull()) {
        return 0;
    }
    const QColor c = img.pixelColor(img.width() / 2, img.height() / 2);
    return c.alpha() < 128 ? 0 : qRgb(c.red(), c.green(), c.blue());
}

const QRgb kRed = qRgb(255, 0, 0);
const QRgb kGreen = qRgb(0, 255, 0);
const QRgb kBlue = qRgb(0, 0, 255);

}  // namespace

class TestBitmapSubtitles : public QObject
{
    Q_OBJECT

private slots:
    // Red has no end and gives way to green; green ends at 4 s; blue has
    // no end and a clear at 6 s ends it; a red with a far end is replaced
    // by a green and does not come back after it.
    void shownFromStartToEnd_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QRgb>("colour");
        QTest::newRow("before the first") << qint64(999) << QRgb(0);
        QTest::newRow("open-ended, from its start") << qint64(1000) << kRed;
        QTest::newRow("open-ended, up to the next") << qint64(2999) << kRed;
        QTest::newRow("the next") << qint64(3000) << kGreen;
        QTest::newRow("named end, exclusive") << qint64(4000) << QRgb(0);
        QTest::newRow("before a clear") << qint64(5999) << kBlue;
        QTest::newRow("cleared") << qint64(6000) << QRgb(0);
        QTest::newRow("long after") << qint64(60000) << QRgb(0);
        QTest::newRow("replaced before its end") << qint64(9500) << kGreen;
        QTest::newRow("not back after the next") << qint64(10500) << QRgb(0);
    }
    void shownFromStartToEnd()
    {
        QFETCH(qint64, ms);
        QFETCH(QRgb, colour);
        BitmapSubtitles subs;
        // In decoding order, the clear and a repeat of green (a seek back)
        // among them.
        subs.add(picture(1000, -1, kRed));
        subs.add(picture(3000, 4000, kGreen));
        subs.add(picture(5000, -1, kBlue));
        subs.add(picture(6000, -1));
        subs.add(picture(3000, 4000, kGreen));
        // A broadcast page with a long time-out, and the page after it.
        subs.add(picture(8000, 30000, kRed));
        subs.add(picture(9000, 10000, kGreen));
        QCOMPARE(centreColour(subs.render(ms, kCanvas)), colour);
        // Asked again (the next frame) and after another time: the same.
        subs.render(500, kCanvas);
        QCOMPARE(centreColour(subs.render(ms, kCanvas)), colour);
    }

    // Placed on the shown picture in proportion to the canvas, and only
    // as large as what is drawn.
    void scaledToTheShownPicture()
    {
        BitmapSubtitles subs;
        subs.add(picture(0, 1000, kRed, QRect(360, 288, 72, 58)));
        const QImage twice = subs.render(500, kCanvas * 2);
        QCOMPARE(twice.offset(), QPoint(720, 576));
        QCOMPARE(twice.size(), QSize(144, 116));
        const QImage half = subs.render(500, kCanvas / 2);
        QCOMPARE(half.offset(), QPoint(180, 144));
        QCOMPARE(half.size(), QSize(36, 29));
        QCOMPARE(centreColour(half), kRed);
        // The palette's transparent index stays transparent.
        QCOMPARE(twice.pixelColor(0, 0).alpha(), 0);
    }

    // A picture for a start already known replaces it; a track switch
    // clears all.
    void replacedAndCleared()
    {
        BitmapSubtitles subs;
        subs.add(picture(0, 1000, kRed));
        QCOMPARE(centreColour(subs.render(500, kCanvas)), kRed);
        subs.add(picture(0, 1000, kBlue));
        QCOMPARE(centreColour(subs.render(500, kCanvas)), kBlue);
        subs.clear();
        QVERIFY(subs.isEmpty());
        QVERIFY(subs.render(500, kCanvas).isNull());
    }

    // Memory is bounded; what is kept is around where the viewer is.
    void keepsTheNearest()
    {
        BitmapSubtitles subs;
        const int n = BitmapSubtitles::kMaxPictures + 50;
        for (int i = 0; i < n; ++i) {
            subs.add(picture(i * 1000, i * 1000 + 500, kRed));
        }
        QVERIFY(subs.render(200, kCanvas).isNull());  // the oldest went
        QCOMPARE(centreColour(subs.render((n - 1) * 1000 + 200, kCanvas)), kRed);
        // A seek back: the pictures come again, and the far end goes.
        for (int i = 0; i < 10; ++i) {
            subs.add(picture(i * 1000, i * 1000 + 500, kGreen));
        }
        QCOMPARE(centreColour(subs.render(200, kCanvas)), kGreen);
        QVERIFY(subs.render((n - 1) * 1000 + 200, kCanvas).isNull());
    }
};

QTEST_MAIN(TestBitmapSubtitles)
#include "tst_bitmapsubtitles.moc"
