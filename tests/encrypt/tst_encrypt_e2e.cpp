// A merchant encrypts a video on the encryption page against the reference
// server; a viewer granted the video then gets its key and plays it.
#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

extern "C" {
#include <libavutil/frame.h>
}

#include "AuthManager.h"
#include "CryptoUtils.h"
#include "EncryptorWidget.h"
#include "Ffmpeg.h"
#include "KeyManager.h"
#include "MediaPlayer.h"
#include "ServerProcess.h"

class TestEncryptE2e : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ServerProcess m_srv{m_dir.filePath("data")};

    bool admin(const QStringList& args, const QByteArray& input = {})
    {
        const ServerProcess::Run r = m_srv.admin(args, input);
        if (r.exitCode != 0) {
            qWarning() << "admin" << args << "failed:" << r.err;
        }
        return r.exitCode == 0;
    }

    bool login(const QString& name, const QString& password)
    {
        QSignalSpy ok(AuthManager::instance(), &AuthManager::loginSucceeded);
        QSignalSpy failed(AuthManager::instance(), &AuthManager::loginFailed);
        AuthManager::instance()->login(name, password);
        return QTest::qWaitFor([&] { return ok.size() + failed.size() > 0; }, 10000) &&
               !ok.isEmpty();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(ServerProcess::binary()).isExecutable(),
                 "VEILCAST_SERVER_BIN names no program");
        QVERIFY(admin({"merchant", "add", "甲商家"}));
        QVERIFY(admin({"user", "add", "shop", "--role", "merchant", "--merchant", "甲商家"},
                      "shop-password-1\n"));
        QVERIFY(admin({"user", "add", "viewer", "--role", "viewer"}, "viewer-password-1\n"));
        const QString failure = m_srv.start({});
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        qputenv("VEILCAST_SERVER_URL", "http://127.0.0.1:" + QByteArray::number(m_srv.port()));
    }

    void cleanupTestCase() { m_srv.stop(); }

    void encryptedOnThePageAndPlayedByAViewer()
    {
        const QString source = m_dir.filePath("第一课.mp4");
        QVERIFY(
            runFfmpeg({"-f",      "lavfi",     "-i",        "testsrc2=size=320x240:rate=25",
                       "-f",      "lavfi",     "-i",        "sine=frequency=440:sample_rate=48000",
                       "-t",      "2",         "-c:v",      "libx264",
                       "-preset", "ultrafast", "-pix_fmt",  "yuv420p",
                       "-c:a",    "aac",       "-shortest", "file:" + source}));

        QVERIFY(login("shop", "shop-password-1"));
        const QString out = m_dir.filePath("out");
        QString container;
        {
            EncryptorWidget page;
            page.setOutputDir(out);
            page.addFiles({source});
            page.findChild<QPushButton*>("startBtn")->click();
            QVERIFY(QTest::qWaitFor([&] { return !page.isBusy(); }, 60000));
            QCOMPARE(page.errorText(source), QString());
            QCOMPARE(page.status(source), EncryptorWidget::Status::Done);
            container = page.outputPath(source);
        }
        QCOMPARE(container, QDir(out).filePath("第一课.vcz"));
        AuthManager::instance()->logout();

        QByteArray keyId, iv;
        QVERIFY(CryptoUtils::readContainerHeader(container, keyId, iv));
        const QString dashed = KeyManager::normalizeKeyId(QString::fromLatin1(keyId));
        QVERIFY(admin({"grant", "add", "viewer", "--key", dashed}));

        QVERIFY(login("viewer", "viewer-password-1"));
        KeyManager keys;
        QSignalSpy ready(&keys, &KeyManager::keyReady);
        QSignalSpy failed(&keys, &KeyManager::keyError);
        keys.requestKey(QString::fromLatin1(keyId), "lesson");
        QVERIFY(QTest::qWaitFor([&] { return ready.size() + failed.size() > 0; }, 10000));
        QVERIFY2(failed.isEmpty(),
                 failed.isEmpty() ? "" : qPrintable(failed.first().at(1).toString()));
        const QByteArray key = ready.first().at(1).toByteArray();
        QCOMPARE(ready.first().at(2).toByteArray(), iv);

        MediaPlayer player;
        int frames = 0;
        QSize size;
        connect(&player, &MediaPlayer::videoFrameReady, this, [&](const FrameRef& frame) {
            ++frames;
            size = QSize(frame->width, frame->height);
        });
        player.open(container, key, iv);
        QVERIFY(QTest::qWaitFor([&] { return frames > 0; }, 10000));
        QCOMPARE(size, QSize(320, 240));
        player.stop();
        AuthManager::instance()->logout();
    }
};

QTEST_MAIN(TestEncryptE2e)
#include "tst_encrypt_e2e.moc"
