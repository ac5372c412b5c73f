// Text subtitles drawn with libass: timed, in their style's colour, in the
// lower part of the picture, and with real glyphs for Chinese even where the
// style names a font the machine lacks.
#include <QTest>

#include "SubtitleRenderer.h"

namespace {

const QByteArray kHeader =
    "[Script Info]\nScriptType: v4.00+\nPlayResX: 384\nPlayResY: 288\n\n"
    "[V4+ Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, "
    "OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, "
    "Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\n"
    // ASS colours are &HAABBGGRR: pure red, and white; no outline or shadow,
    // so every drawn pixel is the style's colour.
    "Style: Red,sans-serif,28,&H000000FF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,"
    "1,0,0,2,10,10,10,1\n"
    "Style: Missing,No Such Font Pro,28,&H00FFFFFF,&H00FFFFFF,&H00000000,&H00000000,0,0,0,0,"
    "100,100,0,0,1,0,0,2,10,10,10,1\n\n"
    "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";

const QSize kFrame(640, 360);

// Pixels of (mostly) that colour, and where the highest of them is.
int countNear(const QImage& img, QRgb colour, int* topRow = nullptr)
{
    int n = 0;
    int top = img.height();
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const QColor c = QColor::fromRgba(img.pixel(x, y)).toRgb();
            if (c.alpha() > 200 && std::abs(c.red() - qRed(colour)) < 40 &&
                std::abs(c.green() - qGreen(colour)) < 40 &&
                std::abs(c.blue() - qBlue(colour)) < 40) {
                ++n;
                top = std::min(top, y);
            }
        }
    }
    if (topRow) {
        *topRow = top;
    }
    return n;
}

}  // namespace

class TestSubtitleRenderer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SubtitleRenderer r;
        QVERIFY2(r.isValid(), "libass did not start");
    }

    void shownInItsTimeStyleAndPlace()
    {
        SubtitleRenderer r;
        QVERIFY(r.render(1500, kFrame).isNull());  // no track yet
        r.startTrack(kHeader);
        r.addEvent("1,0,Red,,0,0,0,,Hello subtitles", 1000, 1000);
        // The same event again, as a seek back hands it over: kept once.
        r.addEvent("1,0,Red,,0,0,0,,Hello subtitles", 1000, 1000);

        QVERIFY(r.render(999, kFrame).isNull());
        const QImage on = r.render(1500, kFrame);
        QVERIFY(!on.isNull());
        QCOMPARE(on.size(), kFrame);
        int top = 0;
        const int red = countNear(on, qRgb(255, 0, 0), &top);
        QVERIFY2(red > 200, qPrintable(QString::number(red)));
        QVERIFY2(top > kFrame.height() * 2 / 3, qPrintable(QString::number(top)));
        QCOMPARE(countNear(on, qRgb(255, 255, 255)), 0);
        QVERIFY(r.render(2000, kFrame).isNull());  // its end is exclusive

        // Drawn for the size the picture is shown at.
        const QImage big = r.render(1500, QSize(1280, 720));
        QVERIFY(countNear(big, qRgb(255, 0, 0)) > red * 3);

        r.clear();
        QVERIFY(r.render(1500, kFrame).isNull());
    }

    // A style naming a font this machine lacks still draws its text as
    // glyphs, Chinese and Latin alike: two different characters never come
    // out as the same box. (On Windows the fallback is not fontconfig's.)
    void missingFontFallsBackWithGlyphs_data()
    {
        QTest::addColumn<QByteArray>("one");
        QTest::addColumn<QByteArray>("other");
        QTest::newRow("Chinese") << QByteArray("你") << QByteArray("好");
        QTest::newRow("Latin") << QByteArray("A") << QByteArray("W");
    }

    void missingFontFallsBackWithGlyphs()
    {
        QFETCH(QByteArray, one);
        QFETCH(QByteArray, other);
        SubtitleRenderer r;
        r.startTrack(kHeader);
        r.addEvent("1,0,Missing,,0,0,0,," + one, 0, 1000);
        r.addEvent("2,0,Missing,,0,0,0,," + other, 1000, 1000);
        const QImage first = r.render(500, kFrame);
        const QImage second = r.render(1500, kFrame);
        QVERIFY(!first.isNull() && !second.isNull());
        QVERIFY(countNear(first, qRgb(255, 255, 255)) > 50);
        QVERIFY(first != second);
    }
};

QTEST_APPLESS_MAIN(TestSubtitleRenderer)
#include "tst_subtitlerenderer.moc"
