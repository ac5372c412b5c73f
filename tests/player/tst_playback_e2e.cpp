// One playlist row played end to end: container header, key, player, first
// picture. The key comes once from the key store and once from the reference
// server, run here on loopback.
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "ApiClient.h"
#include "ApiMessages.h"
#include "AuthManager.h"
#include "CryptoUtils.h"
#include "KeyManager.h"
#include "MediaPlayer.h"
#include "PlaybackService.h"
#include "PlaylistModel.h"
#include "ServerProcess.h"
#include "TestMedia.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace {}  // namespace

class TestPlaybackE2e : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    ServerProcess m_srv{m_dir.filePath("data")};
    bool m_serverUp = false;

    // Plays row 0 and waits for its first picture; returns the pictures seen.
    int playRowToFirstPicture(const QString& path, bool keyAtOnce)
    {
        MediaPlayer player;
        KeyManager keys;
        PlaybackService service(&player, &keys);
        PlaylistModel model;
        service.setPlaylistModel(&model);
        PlaylistEntry e;
        e.fileId = e.filePath = path;
        e.title = QFileInfo(path).completeBaseName();
        model.addEntry(e);

        int pictures = 0;
        connect(&player, &MediaPlayer::videoFrameReady, this,
                [&pictures](const FrameRef& f) { ++pictures; });
        QSignalSpy started(&service, &PlaybackService::playbackStarted);
        QSignalSpy refused(&service, &PlaybackService::keyFetchFailed);
        QSignalSpy failed(&player, &MediaPlayer::error);

        service.playIndex(0);
        // A key from the store answers inside playIndex, without the network.
        if (keyAtOnce != (started.size() == 1)) {
            qWarning() << "key answered" << (keyAtOnce ? "late" : "at once");
            return -1;
        }
        if (!QTest::qWaitFor([&] { return pictures > 0 || !refused.isEmpty(); }, 10000)) {
            qWarning() << "no picture within 10 s";
        }
        if (!refused.isEmpty()) {
            qWarning() << "key refused:" << refused.first().first().toString();
        }
        if (!failed.isEmpty()) {
            qWarning() << "player error:" << failed.first().first().toString();
        }
        const bool sound = started.size() == 1 && started.first().at(0).toString() == path &&
                           model.entryAt(0).playing && model.currentIndex() == 0 &&
                           player.state() == PlayerState::Playing;
        return sound ? pictures : -1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const SealedClip stored = sealedClip("av");
        QVERIFY(stored.isValid());
        QSettings("Veilcast", "Veilcast")
            .setValue("keystore/" + dashedKeyId(stored.container), stored.key.toBase64());

        if (ServerProcess::binary().isEmpty()) {
            return;  // a build without the reference server
        }
        QVERIFY(m_srv.admin({"merchant", "add", "甲商家"}).exitCode == 0);
        QVERIFY(m_srv
                    .admin({"user", "add", "shop", "--role", "merchant", "--merchant", "甲商家"},
                           "shop-password-1\n")
                    .exitCode == 0);
        const QString failure = m_srv.start({});
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        m_serverUp = true;
        // Set before the first client of the run is made.
        qputenv("VEILCAST_SERVER_URL", "http://127.0.0.1:" + QByteArray::number(m_srv.port()));
    }

    void cleanupTestCase() { m_srv.stop(); }

    void keyFromKeyStore() { QVERIFY(playRowToFirstPicture(sealedClip("av").container, true) > 0); }

    void keyFromServer()
    {
        if (!m_serverUp) {
            QSKIP("the reference server is not part of this build");
        }
        const SealedClip served = sealedClip("bframes");
        QVERIFY(served.isValid());

        QSignalSpy ok(AuthManager::instance(), &AuthManager::loginSucceeded);
        AuthManager::instance()->login("shop", "shop-password-1");
        QVERIFY(ok.wait(10000));

        // A merchant may play its own merchant's keys.
        ApiClient client;
        client.setToken(AuthManager::instance()->token());
        QNetworkReply* reply =
            client.post("/api/merchant/keys", {{"keyId", dashedKeyId(served.container)},
                                               {"key", QString::fromLatin1(served.key.toBase64())},
                                               {"iv", QString::fromLatin1(served.iv.toBase64())},
                                               {"title", "bframes"},
                                               {"sourceFileName", "bframes.mp4"},
                                               {"fileSize", QFileInfo(served.plain).size()}});
        QSignalSpy done(reply, &QNetworkReply::finished);
        QVERIFY(done.wait(10000));
        const ApiResult result = ApiClient::readResult(reply);
        QVERIFY2(result.succeeded(),
                 qPrintable(result.failureText(uploadErrorMessage, networkErrorMessage)));

        QVERIFY(playRowToFirstPicture(served.container, false) > 0);
    }
};

QTEST_MAIN(TestPlaybackE2e)
#include "tst_playback_e2e.moc"
