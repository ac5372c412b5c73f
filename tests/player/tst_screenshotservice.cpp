// Screenshots: the mark really lands in the saved file (and not on screen),
// names are safe and timed, the folder is the configured one or the user's
// pictures, and every failure ends in its sentence.
#include <sys/stat.h>

#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "AppConfig.h"
#include "ScreenshotService.h"
#include "TestFiles.h"
#include "VideoRenderer.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace {

// A picture as the decoder would hand it over: BGRA in one colour with a
// darker left half, so both halves are checked.
FramePtr makeFrame(int width, int height)
{
    FramePtr f = allocFrame();
    f->format = AV_PIX_FMT_BGRA;
    f->width = width;
    f->height = height;
    if (av_frame_get_buffer(f.get(), 0) < 0) {
        return {};
    }
    for (int y = 0; y < height; ++y) {
        uchar* line = f->data[0] + y * f->linesize[0];
        for (int x = 0; x < width; ++x) {
            const uchar level = x < width / 2 ? 60 : 140;
            line[4 * x + 0] = level;
            line[4 * x + 1] = uchar(level / 2);
            line[4 * x + 2] = 30;
            line[4 * x + 3] = 255;
        }
    }
    return f;
}

// Share of differing pixels in each quadrant of two same-sized pictures.
QList<double> differingShares(const QImage& a, const QImage& b)
{
    QList<double> shares;
    const int hw = a.width() / 2;
    const int hh = a.height() / 2;
    for (const QPoint& origin : {QPoint(0, 0), QPoint(hw, 0), QPoint(0, hh), QPoint(hw, hh)}) {
        int differing = 0;
        for (int y = origin.y(); y < origin.y() + hh; ++y) {
            for (int x = origin.x(); x < origin.x() + hw; ++x) {
                differing += a.pixel(x, y) != b.pixel(x, y);
            }
        }
        shares << double(differing) / (hw * hh);
    }
    return shares;
}

}  // namespace

class TestScreenshotService : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // Captures what the renderer shows; the saved path, or the failure text
    // prefixed with "failed:".
    static QString captureOnce(VideoRenderer* renderer, const QString& title,
                               QImage* thumbnail = nullptr)
    {
        ScreenshotService service;
        service.setViewer({QStringLiteral("viewer"), QStringLiteral("device-4321")});
        QSignalSpy captured(&service, &ScreenshotService::captured);
        QSignalSpy failed(&service, &ScreenshotService::failed);
        service.capture(renderer, title);
        if (captured.size() + failed.size() != 1) {
            return QStringLiteral("failed: not exactly one signal");
        }
        if (!failed.isEmpty()) {
            return QStringLiteral("failed:") + failed.first().first().toString();
        }
        if (thumbnail) {
            *thumbnail = captured.first().at(1).value<QImage>();
        }
        return captured.first().first().toString();
    }

private slots:
    void init() { AppConfig::instance()->setScreenshotDir(m_dir.path()); }

    void markPixelSize_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("size");
        QTest::newRow("1920 capped") << 1920 << 22;
        QTest::newRow("640 raised") << 640 << 14;
        QTest::newRow("1000") << 1000 << 20;
    }

    void markPixelSize()
    {
        QFETCH(int, width);
        QFETCH(int, size);
        QCOMPARE(ScreenshotService::markPixelSize(width), size);
    }

    void fileNames_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("name");
        const QString stamp = "_20240101_093015_123.png";
        QTest::newRow("unchanged, spaces and CJK") << "第 1 课"
                                                   << "第 1 课" + stamp;
        QTest::newRow("empty") << ""
                               << "截图" + stamp;
        QTest::newRow("separators and drive") << "a/b:c\\d"
                                              << "abcd" + stamp;
        QTest::newRow("refused by Windows") << "x*?\"<>|y"
                                            << "xy" + stamp;
        QTest::newRow("control characters") << QString("a\nb\tc") + QChar(0x7f) << "abc" + stamp;
        QTest::newRow("only dots and separators") << "../.."
                                                  << "截图" + stamp;
        QTest::newRow("trailing dot") << "end."
                                      << "end" + stamp;
        QTest::newRow("long") << QString(300, 'x') << QString(120, 'x') + stamp;
        // The cut never leaves half a surrogate pair.
        QTest::newRow("long, pair at the cut")
            << QString(119, 'x') + "😀😀" << QString(119, 'x') + stamp;
    }

    void fileNames()
    {
        QFETCH(QString, title);
        QFETCH(QString, name);
        const QDateTime t(QDate(2024, 1, 1), QTime(9, 30, 15, 123));
        QCOMPARE(ScreenshotService::fileName(title, t), name);
    }

    // The mark is in the saved file, tiled over the whole picture, while the
    // renderer's own picture stays as it was.
    void markIsInTheFileOnly_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QSize>("thumbnail");
        QTest::newRow("landscape") << QSize(1920, 1080) << QSize(96, 54);
        QTest::newRow("portrait") << QSize(1080, 1920) << QSize(30, 54);
    }

    void markIsInTheFileOnly()
    {
        QFETCH(QSize, size);
        QFETCH(QSize, thumbnail);
        VideoRenderer renderer;
        renderer.onVideoFrame(makeFrame(size.width(), size.height()));
        const QImage shown = renderer.currentImage();
        QCOMPARE(shown.size(), size);

        QImage thumb;
        const QString path = captureOnce(&renderer, "a/b:c", &thumb);
        QVERIFY2(!path.startsWith("failed:"), qPrintable(path));
        QCOMPARE(QFileInfo(path).absolutePath(), QDir(m_dir.path()).absolutePath());
        QVERIFY(QFileInfo(path).fileName().startsWith("abc_"));
        QCOMPARE(thumb.size(), thumbnail);

        const QImage saved(path);
        QCOMPARE(saved.size(), size);
        QCOMPARE(renderer.currentImage(), shown);
        const QImage plain = shown.convertToFormat(QImage::Format_RGB32);
        for (double share : differingShares(saved.convertToFormat(QImage::Format_RGB32), plain)) {
            QVERIFY2(share > 0.01, qPrintable(QString::number(share)));
        }
    }

    void permissionsFollowTheUmask_data()
    {
        QTest::addColumn<int>("mask");
        QTest::addColumn<int>("mode");
        QTest::newRow("umask 022") << 022 << 0644;
        QTest::newRow("umask 077") << 077 << 0600;
    }

    // A screenshot is the user's file, readable as their umask says.
    void permissionsFollowTheUmask()
    {
        QFETCH(int, mask);
        QFETCH(int, mode);
        VideoRenderer renderer;
        renderer.onVideoFrame(makeFrame(64, 36));
        const mode_t before = umask(mode_t(mask));
        const QString path = captureOnce(&renderer, "mode", nullptr);
        umask(before);
        QVERIFY2(!path.startsWith("failed:"), qPrintable(path));
        struct stat info
        {
        };
        QCOMPARE(stat(QFile::encodeName(path).constData(), &info), 0);
        QCOMPARE(int(info.st_mode & 0777), mode);
    }

    void folders()
    {
        VideoRenderer renderer;
        renderer.onVideoFrame(makeFrame(64, 36));

        AppConfig::instance()->setScreenshotDir(QString());
        const QString pictures =
            QStandardPaths::writableLocation(QStandardPaths::PicturesLocation) + "/Veilcast";
        QVERIFY(!QFileInfo::exists(pictures));
        QString path = captureOnce(&renderer, "t");
        QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(pictures).absoluteFilePath());

        // A configured folder wins, and missing parents are made.
        const QString configured = m_dir.filePath("deep/er/shots");
        AppConfig::instance()->setScreenshotDir(configured);
        path = captureOnce(&renderer, "t");
        QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(configured).absoluteFilePath());
    }

    void failures()
    {
        QCOMPARE(captureOnce(nullptr, "t"), QStringLiteral("failed:内部错误"));

        VideoRenderer renderer;
        QCOMPARE(captureOnce(&renderer, "t"), QStringLiteral("failed:当前没有可截取的画面。"));

        // A folder that cannot be made or written (a file stands in its
        // way; permissions would not stop a root test run).
        renderer.onVideoFrame(makeFrame(64, 36));
        const QString blocker = m_dir.filePath("blocker");
        QVERIFY(writeFile(blocker, "x"));
        AppConfig::instance()->setScreenshotDir(blocker + "/shots");
        QCOMPARE(captureOnce(&renderer, "t"), QStringLiteral("failed:保存失败，请检查磁盘空间。"));
        AppConfig::instance()->setScreenshotDir(blocker);
        QCOMPARE(captureOnce(&renderer, "t"), QStringLiteral("failed:保存失败，请检查磁盘空间。"));
        QCOMPARE(readFile(blocker), QByteArray("x"));
    }
};

QTEST_MAIN(TestScreenshotService)
#include "tst_screenshotservice.moc"
