// One real playback through the whole page: a sealed clip whose key the
// reference server serves (started here on loopback), double-clicked in the
// sidebar, and its picture found in a grab of the page under the watermark.
#include <QListView>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "ApiClient.h"
#include "ApiMessages.h"
#include "AuthManager.h"
#include "ControlBar.h"
#include "MediaPlayer.h"
#include "PageMedia.h"
#include "PlaybackService.h"
#include "PlayerWidget.h"
#include "PlaylistModel.h"
#include "ServerProcess.h"
#include "SidebarWidget.h"
#include "VideoRenderer.h"
#include "Watermark.h"

namespace {

constexpr int kWaitMs = 20000;
// Coding the picture as 4:2:0 and the watermark's faint strokes over it move
// a colour by far less than this; the quadrants differ by 255 somewhere.
constexpr int kColourTolerance = 90;

bool near(QRgb seen, QColor want)
{
    return qAbs(qRed(seen) - want.red()) <= kColourTolerance &&
           qAbs(qGreen(seen) - want.green()) <= kColourTolerance &&
           qAbs(qBlue(seen) - want.blue()) <= kColourTolerance;
}

QString describe(QRgb c)
{
    return QStringLiteral("(%1,%2,%3)").arg(qRed(c)).arg(qGreen(c)).arg(qBlue(c));
}

}  // namespace

class TestPlayerPageE2e : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    ServerProcess m_srv{m_dir.filePath("data")};

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(QFileInfo(ServerProcess::binary()).isExecutable(), "no reference server");
        QVERIFY(m_srv.admin({"merchant", "add", "甲商家"}).exitCode == 0);
        QVERIFY(m_srv
                    .admin({"user", "add", "shop", "--role", "merchant", "--merchant", "甲商家",
                            "--display-name", "小店"},
                           "shop-password-1\n")
                    .exitCode == 0);
        const QString failure = m_srv.start({});
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        qputenv("VEILCAST_SERVER_URL", "http://127.0.0.1:" + QByteArray::number(m_srv.port()));
    }

    void cleanupTestCase() { m_srv.stop(); }

    void doubleClickedRowIsPaintedUnderTheWatermark()
    {
        // Four quadrants: red, green / blue, white.
        const QString plain = m_dir.filePath("quadrants.mp4");
        QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "color=c=red:s=160x120:r=25", "-vf",
                           "drawbox=x=80:y=0:w=80:h=60:color=lime:t=fill,"
                           "drawbox=x=0:y=60:w=80:h=60:color=blue:t=fill,"
                           "drawbox=x=80:y=60:w=80:h=60:color=white:t=fill",
                           "-t", "4", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt",
                           "yuv420p", plain}));
        const PageClip clip = sealFile(plain, m_dir.filePath("quadrants.vcz"));
        QVERIFY(clip.isValid());

        QSignalSpy ok(AuthManager::instance(), &AuthManager::loginSucceeded);
        AuthManager::instance()->login("shop", "shop-password-1");
        QVERIFY(ok.wait(kWaitMs));

        // A merchant may play its own merchant's keys.
        ApiClient client;
        client.setToken(AuthManager::instance()->token());
        QNetworkReply* reply =
            client.post("/api/merchant/keys", {{"keyId", clip.keyId},
                                               {"key", QString::fromLatin1(clip.key.toBase64())},
                                               {"iv", QString::fromLatin1(clip.iv.toBase64())},
                                               {"title", "quadrants"},
                                               {"sourceFileName", "quadrants.mp4"},
                                               {"fileSize", QFileInfo(plain).size()}});
        QSignalSpy done(reply, &QNetworkReply::finished);
        QVERIFY(done.wait(kWaitMs));
        const ApiResult result = ApiClient::readResult(reply);
        reply->deleteLater();
        QVERIFY2(result.succeeded(),
                 qPrintable(result.failureText(uploadErrorMessage, networkErrorMessage)));

        PlayerWidget page;
        page.resize(800, 500);
        page.loadPlaylist(AuthManager::instance()->currentUser().userId);
        // As the main window hands it in after the login.
        page.setViewer(
            {AuthManager::instance()->currentUser().username, QStringLiteral("dev-4321")});
        PlaylistEntry entry;
        entry.fileId = entry.filePath = clip.path;
        entry.title = QStringLiteral("quadrants");
        page.sidebar()->model()->addEntry(entry);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));

        QListView* list = page.sidebar()->listView();
        const QRect row = list->visualRect(page.sidebar()->model()->index(0));
        QVERIFY(row.isValid());
        QSignalSpy started(page.service(), &PlaybackService::playbackStarted);
        // A double click is a click, then the second press arriving as a double click.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row.center());
        QVERIFY(started.wait(kWaitMs));
        QVERIFY(QTest::qWaitFor([&] { return !page.videoRenderer()->currentImage().isNull(); },
                                kWaitMs));
        QCOMPARE(page.player()->state(), PlayerState::Playing);
        QVERIFY(page.watermark()->isVisible());
        QVERIFY(page.emptyState()->isHidden());

        // Where the renderer letterboxes the 4:3 picture inside the page.
        VideoRenderer* video = page.videoRenderer();
        const QSize shown = QSize(160, 120).scaled(video->size(), Qt::KeepAspectRatio);
        const QPoint origin = video->mapTo(&page, QPoint((video->width() - shown.width()) / 2,
                                                         (video->height() - shown.height()) / 2));
        const QImage grab = page.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(grab.size(), page.size());
        const struct
        {
            double fx, fy;
            QColor colour;
        } samples[] = {{0.25, 0.25, Qt::red},
                       {0.75, 0.25, QColor(0, 255, 0)},
                       {0.25, 0.75, Qt::blue},
                       {0.75, 0.75, Qt::white}};
        for (const auto& s : samples) {
            const QPoint at =
                origin + QPoint(int(shown.width() * s.fx), int(shown.height() * s.fy));
            const QRgb seen = grab.pixel(at);
            QVERIFY2(near(seen, s.colour),
                     qPrintable(QStringLiteral("at %1,%2: %3, want %4")
                                    .arg(at.x())
                                    .arg(at.y())
                                    .arg(describe(seen), describe(s.colour.rgb()))));
        }

        // The watermark is painted over that picture: the page differs from
        // the bare picture in the video area above the control bar.
        const QImage bare = video->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QPoint videoAt = video->mapTo(&page, QPoint(0, 0));
        const int barTop =
            page.controlBar()->isVisible() ? page.controlBar()->y() : video->height();
        int marked = 0;
        for (int y = 0; y < std::min(barTop, bare.height()); ++y) {
            for (int x = 0; x < bare.width(); ++x) {
                const QRgb a = bare.pixel(x, y);
                const QRgb b = grab.pixel(videoAt + QPoint(x, y));
                if (qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) +
                        qAbs(qBlue(a) - qBlue(b)) >
                    12) {
                    ++marked;
                }
            }
        }
        QVERIFY2(marked > 100, qPrintable(QString::number(marked)));
        page.player()->stop();
    }
};

QTEST_MAIN(TestPlayerPageE2e)
#include "tst_playerpage_e2e.moc"
