// The playback service over the real player and key manager: keys come from
// the key store (answered at once) or from a scripted server (answered when
// the test says), and the player's clock only moves when the test moves it.
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>

#include "CryptoUtils.h"
#include "KeyManager.h"
#include "MediaPlayer.h"
#include "PlaybackClock.h"
#include "PlaybackService.h"
#include "PlaylistModel.h"
#include "ScriptedPeer.h"
#include "TestFiles.h"
#include "TestMedia.h"

namespace {

PlaylistEntry entryFor(const QString& path, qint64 lastPositionMs = 0)
{
    PlaylistEntry e;
    e.fileId = e.filePath = path;
    e.title = QFileInfo(path).completeBaseName();
    e.lastPositionMs = lastPositionMs;
    return e;
}

PeerResponse keyAnswer(const SealedClip& clip)
{
    return PeerResponse::ok({{"key", QString::fromLatin1(clip.key.toBase64())},
                             {"iv", QString::fromLatin1(clip.iv.toBase64())}});
}

}  // namespace

class TestPlaybackService : public QObject
{
    Q_OBJECT

    std::atomic<qint64> m_nowNs{1'000'000'000};
    QTemporaryDir m_dir;
    ScriptedPeer m_peer;
    SealedClip m_stored;  // its key is in the key store
    SealedClip m_served;  // its key comes from the scripted server
    SealedClip m_course;  // two sound tracks; its key is in the key store
    SealedClip m_shown;   // subtitles on by the file's default; key stored

    MediaPlayer* m_player = nullptr;
    KeyManager* m_keys = nullptr;
    PlaybackService* m_service = nullptr;
    PlaylistModel* m_model = nullptr;
    QSignalSpy* m_answers = nullptr;  // every key answer, ready or failed
    QSignalSpy* m_refusals = nullptr;

    void advance(qint64 ms) { m_nowNs += ms * 1'000'000; }

    // A copy of the stored clip under its own name, so rows differ by path.
    QString storedCopy(const QString& name)
    {
        const QString path = m_dir.filePath(name + ".vcz");
        QFile::remove(path);
        return QFile::copy(m_stored.container, path) ? path : QString();
    }

    int requests() const { return int(m_answers->size() + m_refusals->size()); }

    PlaylistEntry entryOfPath(const QString& path) const
    {
        return m_model->entryAt(m_model->rowOfPath(path));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_stored = sealedClip("av");
        m_served = sealedClip("video_only");
        QVERIFY(m_stored.isValid() && m_served.isValid());
        const QString storedId = dashedKeyId(m_stored.container);
        QVERIFY(!storedId.isEmpty());
        QSettings("Veilcast", "Veilcast").setValue("keystore/" + storedId, m_stored.key.toBase64());
        m_course = sealedClip("course");
        QVERIFY(m_course.isValid());
        QSettings("Veilcast", "Veilcast")
            .setValue("keystore/" + dashedKeyId(m_course.container), m_course.key.toBase64());
        m_shown = sealedClip("subs_mov_text");
        QVERIFY(m_shown.isValid());
        QSettings("Veilcast", "Veilcast")
            .setValue("keystore/" + dashedKeyId(m_shown.container), m_shown.key.toBase64());
        QVERIFY(m_peer.listen());
        qputenv("VEILCAST_SERVER_URL", m_peer.url().toUtf8());
    }

    void init()
    {
        m_peer.reset();
        m_player = new MediaPlayer(new PlaybackClock([this] { return m_nowNs.load(); }));
        m_keys = new KeyManager;
        m_service = new PlaybackService(m_player, m_keys);
        m_model = new PlaylistModel;
        m_service->setPlaylistModel(m_model);
        m_answers = new QSignalSpy(m_keys, &KeyManager::keyReady);
        m_refusals = new QSignalSpy(m_keys, &KeyManager::keyError);
    }

    void cleanup()
    {
        delete m_answers;
        delete m_refusals;
        delete m_service;
        delete m_player;
        delete m_keys;
        delete m_model;
    }

    void resumesFiveSecondsEarly_data()
    {
        QTest::addColumn<qint64>("stored");
        QTest::addColumn<qint64>("resumeAt");
        QTest::newRow("never played") << qint64(0) << qint64(-1);
        QTest::newRow("within the lead") << qint64(3000) << qint64(0);
        QTest::newRow("just past the lead") << qint64(5001) << qint64(1);
        QTest::newRow("a minute in") << qint64(65000) << qint64(60000);
    }

    void resumesFiveSecondsEarly()
    {
        QFETCH(qint64, stored);
        QFETCH(qint64, resumeAt);
        QCOMPARE(PlaybackService::resumePosition(stored), resumeAt);

        m_model->addEntry(entryFor(storedCopy("resume"), stored));
        QSignalSpy started(m_service, &PlaybackService::playbackStarted);
        m_service->playIndex(0);
        QCOMPARE(started.size(), 1);
        QCOMPARE(m_player->state(), PlayerState::Playing);
        QCOMPARE(m_player->position(), std::max<qint64>(resumeAt, 0));
    }

    // The sound and subtitle tracks chosen for a file are its row's, and
    // they play again the next time the row does; a choice the file cannot
    // take is refused.
    void tracksStayWithTheirRow()
    {
        PlaylistEntry course = entryFor(m_course.container, 0);
        m_model->addEntry(course);
        m_model->addEntry(entryFor(storedCopy("other"), 0));
        m_service->playIndex(0);
        QCOMPARE(m_player->state(), PlayerState::Playing);
        const MediaInfo info = m_player->mediaInfo();
        QCOMPARE(info.audioTracks.size(), 2);
        const int first = info.audioTracks[0].streamIndex;
        QVERIFY(m_player->audioTrack() != first);  // the default-flagged second plays

        QVERIFY(!m_service->setAudioTrack(info.subtitleTracks.first().streamIndex));
        QCOMPARE(m_model->entryAt(0).audioStream, -1);
        QVERIFY(m_service->setAudioTrack(first));
        QCOMPARE(m_model->entryAt(0).audioStream, first);
        QTRY_COMPARE_WITH_TIMEOUT(m_player->audioTrack(), first, 5000);

        // Subtitles: none by default in this file; turned on for it.
        const int subs = info.subtitleTracks.first().streamIndex;
        QCOMPARE(m_player->subtitleTrack(), -1);
        QVERIFY(!m_service->setSubtitleTrack(first));
        QCOMPARE(m_model->entryAt(0).subtitleStream, PlaylistEntry::kFileSubtitles);
        QVERIFY(m_service->setSubtitleTrack(subs));
        QCOMPARE(m_model->entryAt(0).subtitleStream, subs);
        QTRY_COMPARE_WITH_TIMEOUT(m_player->subtitleTrack(), subs, 5000);

        m_service->playIndex(1);
        QCOMPARE(m_model->entryAt(1).audioStream, -1);
        QCOMPARE(m_model->entryAt(1).subtitleStream, PlaylistEntry::kFileSubtitles);
        QCOMPARE(m_player->subtitleTrack(), -1);  // not carried to another file
        m_service->playIndex(0);
        QCOMPARE(m_player->state(), PlayerState::Playing);
        QTRY_COMPARE_WITH_TIMEOUT(m_player->audioTrack(), first, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(m_player->subtitleTrack(), subs, 5000);

        // Turned off where the file shows subtitles by default: remembered
        // as off, not taken for "the file's default".
        m_model->addEntry(entryFor(m_shown.container, 0));
        m_service->playIndex(2);
        QCOMPARE(m_player->state(), PlayerState::Playing);
        const int shown = m_player->subtitleTrack();
        QVERIFY(shown >= 0);
        QVERIFY(m_service->setSubtitleTrack(-1));
        QCOMPARE(m_model->entryAt(2).subtitleStream, -1);
        m_service->playIndex(0);
        m_service->playIndex(2);
        QCOMPARE(m_player->state(), PlayerState::Playing);
        QTRY_COMPARE_WITH_TIMEOUT(m_player->subtitleTrack(), -1, 5000);
    }

    void seekByBounds_data()
    {
        QTest::addColumn<qint64>("position");
        QTest::addColumn<qint64>("delta");
        QTest::addColumn<qint64>("duration");
        QTest::addColumn<qint64>("target");
        QTest::newRow("near the end")
            << qint64(95000) << qint64(10000) << qint64(100000) << qint64(99000);
        QTest::newRow("before the start")
            << qint64(4000) << qint64(-10000) << qint64(100000) << qint64(0);
        QTest::newRow("unknown duration")
            << qint64(95000) << qint64(10000) << qint64(0) << qint64(105000);
        QTest::newRow("negative duration, below 0")
            << qint64(500) << qint64(-1000) << qint64(-1) << qint64(0);
        QTest::newRow("file shorter than the margin")
            << qint64(200) << qint64(100) << qint64(600) << qint64(0);
    }

    void seekByBounds()
    {
        QFETCH(qint64, position);
        QFETCH(qint64, delta);
        QFETCH(qint64, duration);
        QFETCH(qint64, target);
        QCOMPARE(PlaybackService::seekByTarget(position, delta, duration), target);
    }

    // Through the player: the real clip's duration bounds the jump, and
    // nothing moves once playback has stopped.
    void seekByOnThePlayer()
    {
        m_model->addEntry(entryFor(storedCopy("seek")));
        m_service->playIndex(0);
        m_player->pause();
        const qint64 duration = m_player->duration();
        QVERIFY(duration > 1000);
        m_service->seekBy(10000);
        QCOMPARE(m_player->position(), duration - 1000);
        m_service->seekBy(-60000);
        QCOMPARE(m_player->position(), 0);
        m_player->stop();
        m_service->seekBy(500);
        QCOMPARE(m_player->position(), 0);
    }

    // The issue this guards: a full list evicts a row above the one being
    // played, and the played file's figures must stay with its own entry.
    void evictionAboveKeepsPositionOnPlayedEntry()
    {
        const QString played = storedCopy("row50");
        for (int i = 0; i < 100; ++i) {
            m_model->addEntry(i == 50 ? entryFor(played)
                                      : entryFor(m_dir.filePath(QString("absent%1.vcz").arg(i))));
        }
        m_service->playIndex(50);
        QCOMPARE(m_service->currentIndex(), 50);
        m_player->pause();
        m_service->seek(30000);

        m_model->addEntry(entryFor(m_dir.filePath("new.vcz")));
        QCOMPARE(m_model->rowCount(), 100);
        QCOMPARE(m_model->rowOfPath(played), 49);
        QCOMPARE(m_service->currentIndex(), 49);
        QCOMPARE(m_model->currentIndex(), 49);

        m_service->savePosition();
        QCOMPARE(entryOfPath(played).lastPositionMs, 30000);
        QCOMPARE(m_model->entryAt(48).lastPositionMs, 0);
        QCOMPARE(m_model->entryAt(50).lastPositionMs, 0);

        m_player->resume();
        QVERIFY(entryOfPath(played).playing);
        QVERIFY(!m_model->entryAt(50).playing);
    }

    void removalAboveAndAtCurrent()
    {
        for (int i = 0; i < 4; ++i) {
            m_model->addEntry(entryFor(storedCopy(QString("rm%1").arg(i))));
        }
        m_service->playIndex(2);
        m_model->removeEntry(0);
        QCOMPARE(m_service->currentIndex(), 1);
        QCOMPARE(m_model->currentIndex(), 1);
        QCOMPARE(m_player->state(), PlayerState::Playing);

        // The sidebar announces the removal, then the model performs it.
        m_service->onItemRemoved(1);
        m_model->removeEntry(1);
        QCOMPARE(m_player->state(), PlayerState::Stopped);
        QCOMPARE(m_service->currentIndex(), -1);
        QCOMPARE(m_model->currentIndex(), -1);
        QVERIFY(m_service->currentPath().isEmpty());
        // Nothing is left to replay.
        m_service->togglePlayPause();
        QCOMPARE(m_player->state(), PlayerState::Stopped);
    }

    void nextAndPreviousAtTheEnds()
    {
        m_model->addEntry(entryFor(storedCopy("first")));
        m_model->addEntry(entryFor(storedCopy("last")));
        m_service->playIndex(0);
        m_service->playPrevious();
        QCOMPARE(requests(), 1);
        m_service->playNext();
        QCOMPARE(requests(), 2);
        QCOMPARE(m_service->currentIndex(), 1);
        m_service->playNext();
        QCOMPARE(requests(), 2);
        QCOMPARE(m_service->currentIndex(), 1);
    }

    void replayAfterTheEndWithoutKeyRequest()
    {
        const QString path = storedCopy("end");
        m_model->addEntry(entryFor(path, 0));
        m_service->playIndex(0);
        QCOMPARE(requests(), 1);
        m_player->pause();
        m_service->seek(1500);
        QCOMPARE(entryOfPath(path).lastPositionMs, 0);
        m_service->savePosition();
        QCOMPARE(entryOfPath(path).lastPositionMs, 1500);
        m_player->resume();
        // After a seek the clock waits for the first picture at the target,
        // so time is handed out in steps until the end is reached.
        QDeadlineTimer deadline(10000);
        while (m_player->state() != PlayerState::Stopped && !deadline.hasExpired()) {
            advance(1000);
            QTest::qWait(20);
        }
        QCOMPARE(m_player->state(), PlayerState::Stopped);
        QCOMPARE(entryOfPath(path).lastPositionMs, 0);
        QVERIFY(!entryOfPath(path).playing);

        m_service->togglePlayPause();
        QCOMPARE(m_player->state(), PlayerState::Playing);
        QCOMPARE(requests(), 1);
        QVERIFY(entryOfPath(path).playing);
    }

    // A slow answer for A arrives after B was chosen and started.
    void lateAnswerDoesNotTakeOver()
    {
        const QString slow = m_served.container;
        const QString fast = storedCopy("fast");
        m_model->addEntry(entryFor(slow));
        m_model->addEntry(entryFor(fast));
        m_peer.enqueue("/api/video/key", keyAnswer(m_served).after(300));
        QSignalSpy started(m_service, &PlaybackService::playbackStarted);

        m_service->playIndex(0);
        QCOMPARE(m_service->pendingIndex(), 0);
        QCOMPARE(m_service->currentIndex(), -1);
        m_service->playIndex(1);
        QCOMPARE(started.size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_answers->size(), 2, 10000);
        QCOMPARE(m_answers->at(1).at(0).toString(), slow);

        QCOMPARE(started.size(), 1);
        QCOMPARE(started.first().at(0).toString(), fast);
        QCOMPARE(m_service->currentIndex(), 1);
        QCOMPARE(m_model->currentIndex(), 1);
        QCOMPARE(m_service->currentPath(), fast);
        QCOMPARE(m_player->state(), PlayerState::Playing);
        QVERIFY(!m_model->entryAt(0).playing);
    }

    void answerForRemovedRowIsDropped()
    {
        m_model->addEntry(entryFor(m_served.container));
        m_peer.enqueue("/api/video/key", keyAnswer(m_served).after(200));
        QSignalSpy started(m_service, &PlaybackService::playbackStarted);
        m_service->playIndex(0);
        m_model->removeEntry(0);
        QTRY_COMPARE_WITH_TIMEOUT(m_answers->size(), 1, 10000);
        QCOMPARE(started.size(), 0);
        QCOMPARE(m_player->state(), PlayerState::Idle);
        QCOMPARE(m_service->currentIndex(), -1);
    }

    // File A plays; row B cannot (damaged header, refused key). A keeps its
    // row, and none of A's figures land in B.
    void failedChoiceLeavesOldFileOnItsRow_data()
    {
        QTest::addColumn<bool>("damagedHeader");
        QTest::newRow("damaged header") << true;
        QTest::newRow("key refused") << false;
    }

    void failedChoiceLeavesOldFileOnItsRow()
    {
        QFETCH(bool, damagedHeader);
        const QString a = storedCopy("a");
        QString b = m_served.container;
        if (damagedHeader) {
            b = m_dir.filePath("damaged.vcz");
            QVERIFY(writeFile(b, QByteArray("VCZ0") + QByteArray(100, '\0')));
        } else {
            m_peer.enqueue("/api/video/key", PeerResponse::refuse("PERMISSION_DENIED"));
        }
        m_model->addEntry(entryFor(a));
        m_model->addEntry(entryFor(b, 12345));
        QSignalSpy invalid(m_service, &PlaybackService::fileInvalid);
        QSignalSpy refused(m_service, &PlaybackService::keyFetchFailed);

        m_service->playIndex(0);
        m_player->pause();
        m_service->seek(30000);
        m_player->resume();
        m_service->playIndex(1);
        if (damagedHeader) {
            QCOMPARE(invalid.size(), 1);
        } else {
            QVERIFY(refused.wait(10000));
            QVERIFY(!refused.first().at(0).toString().isEmpty());
        }

        QCOMPARE(m_service->currentIndex(), 0);
        QCOMPARE(m_model->currentIndex(), 0);
        m_player->pause();
        QCOMPARE(m_model->entryAt(0).lastPositionMs, 30000);
        QCOMPARE(m_model->entryAt(1).lastPositionMs, 12345);
        m_player->stop();
        QCOMPARE(m_model->entryAt(1).lastPositionMs, 12345);
        QVERIFY(!m_model->entryAt(1).playing);
    }
};

QTEST_GUILESS_MAIN(TestPlaybackService)
#include "tst_playbackservice.moc"
