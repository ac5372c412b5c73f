// Text subtitles drawn with libass: timed, in their style's colour, in the
// lower part of the picture, and with real glyphs for Chinese even where the
// style names a font the machine lacks.
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
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
    "100,100,0,0,1,0,0,2,10,10,10,1\n"
    "Style: Carried,DejaVu Sans,28,&H000000FF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,"
    "0,0,1,0,0,2,10,10,10,1\n\n"
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
        // Only the part drawn on, placed on the frame by its offset.
        QVERIFY(QRect(QPoint(0, 0), kFrame).contains(QRect(on.offset(), on.size())));
        QVERIFY(on.width() * on.height() < kFrame.width() * kFrame.height() / 4);
        int top = 0;
        const int red = countNear(on, qRgb(255, 0, 0), &top);
        QVERIFY2(red > 200, qPrintable(QString::number(red)));
        top += on.offset().y();
        QVERIFY2(top > kFrame.height() * 2 / 3, qPrintable(QString::number(top)));
        QCOMPARE(r.render(1600, kFrame), on);  // the same line, the same picture
        QCOMPARE(countNear(on, qRgb(255, 255, 255)), 0);
        QVERIFY(r.render(2000, kFrame).isNull());  // its end is exclusive

        // Drawn for the size the picture is shown at.
        const QImage big = r.render(1500, QSize(1280, 720));
        QVERIFY(countNear(big, qRgb(255, 0, 0)) > red * 3);

        r.clear();
        QVERIFY(r.render(1500, kFrame).isNull());
    }

    // After a seek FFmpeg's text decoders number events from 0 again: a
    // new line with an old number is still shown, an old line is not
    // doubled, and a line arriving for the time on screen replaces what
    // was drawn for it.
    void eventsKnownByTimeAndText()
    {
        SubtitleRenderer r;
        r.startTrack(kHeader);
        r.addEvent("0,0,Red,,0,0,0,,first line", 0, 1000);
        const int alone = countNear(r.render(2500, kFrame), qRgb(255, 0, 0));
        QCOMPARE(alone, 0);
        r.addEvent("0,0,Red,,0,0,0,,later line", 2000, 1000);  // numbered 0 again
        const QImage later = r.render(2500, kFrame);
        const int once = countNear(later, qRgb(255, 0, 0));
        QVERIFY(once > 100);
        r.addEvent("0,0,Red,,0,0,0,,later line", 2000, 1000);  // a seek back over it
        r.addEvent("0,0,Red,,0,0,0,,first line", 0, 1000);
        QCOMPARE(r.render(2500, kFrame), later);
        QVERIFY(!r.render(500, kFrame).isNull());
    }

    // Fonts a file carries are what its styles are drawn with: with a
    // fontconfig that knows no font at all, nothing is drawn until the
    // file's font is added, and nothing after the fonts are cleared.
    void attachedFontsAreUsed()
    {
#ifdef Q_OS_WIN
        QSKIP("fonts come from DirectWrite on Windows, not from fontconfig");
#endif
        const QString fontFile = QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
        QFile font(fontFile);
        if (!font.open(QIODevice::ReadOnly)) {
            QSKIP("DejaVu Sans is not installed");
        }
        const QByteArray data = font.readAll();
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString conf = dir.filePath(QStringLiteral("fonts.conf"));
        QFile confFile(conf);
        QVERIFY(confFile.open(QIODevice::WriteOnly));
        confFile.write(QByteArray("<?xml version=\"1.0\"?>\n<fontconfig><cachedir>") +
                       QFile::encodeName(dir.path()) + "</cachedir></fontconfig>\n");
        confFile.close();
        // libass reads the configuration each time its fonts are set up.
        const QByteArray saved = qgetenv("FONTCONFIG_FILE");
        qputenv("FONTCONFIG_FILE", QFile::encodeName(conf));
        const auto restore = qScopeGuard([&] {
            if (saved.isEmpty()) {
                qunsetenv("FONTCONFIG_FILE");
            } else {
                qputenv("FONTCONFIG_FILE", saved);
            }
        });
        SubtitleRenderer r;
        r.startTrack(kHeader);
        r.addEvent("0,0,Carried,,0,0,0,,Attached", 0, 1000);
        QVERIFY(countNear(r.render(500, kFrame), qRgb(255, 0, 0)) == 0);
        r.addFont(QStringLiteral("DejaVuSans.ttf"), data);
        QVERIFY(countNear(r.render(500, kFrame), qRgb(255, 0, 0)) > 100);
        r.clearFonts();
        QVERIFY(countNear(r.render(500, kFrame), qRgb(255, 0, 0)) == 0);
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
