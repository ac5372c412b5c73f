// Real sound through a sound server of the test's own: a PulseAudio daemon
// with a null sink, whose monitor is recorded with parec. Checks what the
// sink is made of, and that a sealed 440 Hz clip played by MediaPlayer comes
// out as a 440 Hz tone of the clip's length, without holes, also when the
// clip has no picture to pace it.
#include <QAudioSink>
#include <QDir>
#include <QMediaDevices>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <cmath>

#include "AudioRenderer.h"
#include "MediaDecoder.h"
#include "MediaPlayer.h"
#include "SoundProbe.h"
#include "TestMedia.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

namespace {

constexpr int kRecordRate = 48000;
// The clip's tone has an amplitude of 1/8 full scale; far above this.
constexpr int kSoundThreshold = 1000;
// The last picture is shown within this of the tone's end: a frame or two
// and the recording's own delay; the sound server's start-up alone delays
// the sound by far more.
constexpr double kPictureToSoundSeconds = 0.2;

QVector<qint16> samplesOf(const QByteArray& raw)
{
    QVector<qint16> s(raw.size() / 2);
    std::memcpy(s.data(), raw.constData(), size_t(s.size()) * 2);
    return s;
}

qint64 firstLoud(const QVector<qint16>& s)
{
    for (qint64 i = 0; i < s.size(); ++i) {
        if (std::abs(int(s[i])) > kSoundThreshold) {
            return i;
        }
    }
    return -1;
}

}  // namespace

class TestAudioOutput : public QObject
{
    Q_OBJECT

    PrivatePulse m_pulse;

    QProcessEnvironment clientEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PULSE_SERVER"), m_pulse.server());
        return env;
    }

private slots:
    void initTestCase()
    {
        if (!PrivatePulse::toolsPresent()) {
            QSKIP("pulseaudio and parec (pulseaudio-utils) are needed for real sound");
        }
        // Before anything in this process asks for an audio device.
        QString why;
        QVERIFY2(m_pulse.start(&why), qPrintable(why));
        QVERIFY2(!QMediaDevices::defaultAudioOutput().isNull(), "no output device seen");
    }

    void cleanupTestCase() { m_pulse.stop(); }

    void sinkFormat_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("sinkChannels");
        QTest::newRow("mono 22050 Hz") << 1 << 22050 << 1;
        QTest::newRow("stereo 44100 Hz") << 2 << 44100 << 2;
        QTest::newRow("5.1 48000 Hz") << 6 << 48000 << 2;
    }
    void sinkFormat()
    {
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, sinkChannels);
        AudioRenderer r;
        r.onAudioFrame(makeSilentAudioFrame(rate, channels).get());
        QPointer<QAudioSink> first = r.sink();
        QVERIFY(first);
        for (int i = 0; i < 10; ++i) {
            r.onAudioFrame(makeSilentAudioFrame(rate, channels).get());
        }
        QCOMPARE(r.sink(), first.data());
        const QAudioFormat f = r.sink()->format();
        QCOMPARE(f.sampleFormat(), QAudioFormat::Int16);
        QCOMPARE(f.channelCount(), sinkChannels);
        QCOMPARE(f.sampleRate(), rate);
        QVERIFY(r.bytesWritten() > 0);  // there is a push device this time
    }

    void volumeReachesEverySink_data()
    {
        QTest::addColumn<float>("volume");
        QTest::newRow("silent from the first frame") << 0.0f;
        QTest::newRow("a quarter") << 0.25f;
    }
    void volumeReachesEverySink()
    {
        QFETCH(float, volume);
        AudioRenderer r;
        QCOMPARE(r.volume(), 1.0f);
        r.setVolume(volume);
        r.onAudioFrame(makeSilentAudioFrame(44100, 2).get());
        QVERIFY(r.sink());
        QCOMPARE(r.sink()->volume(), double(volume));
        QPointer<QAudioSink> first = r.sink();
        r.onAudioFrame(makeSilentAudioFrame(48000, 2).get());  // new rate: new sink
        QVERIFY(!first);
        QCOMPARE(r.sink()->volume(), double(volume));
    }

    void sealedToneComesOutWhole_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("speed");
        QTest::addColumn<double>("clipSeconds");  // heard: the clip's length over the speed
        QTest::newRow("picture and stereo sound") << "av" << 1.0 << 2.0;
        QTest::newRow("mono 22,050 Hz sound alone") << "audio_mono" << 1.0 << 1.0;
        // Faster or slower, the tone stays 440 Hz and whole: time-stretched,
        // neither cut short nor full of holes, nor pitched up or down.
        QTest::newRow("picture and sound at 2x") << "av" << 2.0 << 1.0;
        QTest::newRow("picture and sound at 1.5x") << "av" << 1.5 << 2.0 / 1.5;
        QTest::newRow("sound alone at 0.5x") << "audio_mono" << 0.5 << 2.0;
    }
    void sealedToneComesOutWhole()
    {
        QFETCH(QString, name);
        QFETCH(double, speed);
        QFETCH(double, clipSeconds);
        const SealedClip clip = sealedClip(name);
        QVERIFY(clip.isValid());

        // Before the recorder: it may still deliver while it is destroyed.
        QByteArray recorded;
        QProcess parec;
        parec.setProcessEnvironment(clientEnvironment());
        connect(&parec, &QProcess::readyReadStandardOutput, this,
                [&] { recorded += parec.readAllStandardOutput(); });
        parec.start(QStringLiteral("parec"),
                    {QStringLiteral("--latency-msec=10"), QStringLiteral("-d"),
                     QStringLiteral("nullsink.monitor"), QStringLiteral("--format=s16le"),
                     QStringLiteral("--rate=%1").arg(kRecordRate), QStringLiteral("--channels=1"),
                     QStringLiteral("--raw")});
        QVERIFY(parec.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(recorded.size() > 0, 10000);  // recording runs

        MediaPlayer player;
        // How much of the tone had come out when the end was reported.
        double heardAtEnd = -1;
        connect(&player, &MediaPlayer::stateChanged, this, [&](PlayerState state) {
            if (state == PlayerState::Stopped) {
                const qint64 first = firstLoud(samplesOf(recorded));
                heardAtEnd = first < 0 ? 0.0 : double(recorded.size() / 2 - first) / kRecordRate;
            }
        });
        // How much of the tone had come out when the last picture was
        // shown: a picture waits until the sound of its time is heard, so
        // the last one comes with the end of the tone, not while the sink
        // still holds the rest of it. Pictures after the end are lost ones.
        double heardAtLastPicture = -1;
        int pictures = 0;
        int picturesAfterEnd = 0;
        connect(&player, &MediaPlayer::videoFrameReady, this, [&](const FrameRef& frame) {
            ++pictures;
            picturesAfterEnd += heardAtEnd >= 0 ? 1 : 0;
            const qint64 first = firstLoud(samplesOf(recorded));
            heardAtLastPicture =
                first < 0 ? 0.0 : double(recorded.size() / 2 - first) / kRecordRate;
        });
        // What the sound server holds is what a pause or seek would have to
        // wait for or throw away: sampled all through the play.
        qint64 mostQueuedMs = 0;
        QTimer queueProbe;
        connect(&queueProbe, &QTimer::timeout, this,
                [&] { mostQueuedMs = std::max(mostQueuedMs, player.audioRenderer()->queuedMs()); });
        queueProbe.start(10);
        player.setSpeed(speed);
        player.open(clip.container, clip.key, clip.iv);
        QCOMPARE(player.state(), PlayerState::Playing);
        QTRY_COMPARE_WITH_TIMEOUT(player.state(), PlayerState::Stopped, 15000);
        queueProbe.stop();
        if (name == QLatin1String("av")) {
            QVERIFY(pictures > 0);
            QCOMPARE(picturesAfterEnd, 0);
            QVERIFY2(std::abs(heardAtLastPicture - clipSeconds) < kPictureToSoundSeconds,
                     qPrintable(QString::number(heardAtLastPicture)));
        }
        // The end comes once the last sound is heard: not at the start,
        // with the whole clip still queued in the sound server where pause
        // and seek cannot reach it, nor long before the tone ends.
        QVERIFY2(heardAtEnd >= clipSeconds - 0.15, qPrintable(QString::number(heardAtEnd)));
        QVERIFY2(mostQueuedMs > 0 && mostQueuedMs <= 150,
                 qPrintable(QString::number(mostQueuedMs)));

        // Wait until the sink has played what it accepted, then until the
        // recording shows the tone followed by a quarter second of silence.
        AudioRenderer* audio = player.audioRenderer();
        QVERIFY(audio->sink());
        const qint64 bufferMs = audio->sink()->bufferSize() * 1000LL /
                                (2LL * audio->outputChannels() * audio->sampleRate());
        const qint64 acceptedUs = audio->bytesWritten() * 1'000'000 /
                                  (2LL * audio->outputChannels() * audio->sampleRate());
        QTRY_VERIFY_WITH_TIMEOUT(audio->sink()->processedUSecs() >= acceptedUs, 10000);
        auto toneEnd = [&]() -> qint64 {
            const QVector<qint16> s = samplesOf(recorded);
            for (qint64 i = s.size() - 1; i >= 0; --i) {
                if (std::abs(int(s[i])) > kSoundThreshold) {
                    return i;
                }
            }
            return -1;
        };
        QTRY_VERIFY_WITH_TIMEOUT(
            toneEnd() >= 0 && (recorded.size() / 2 - toneEnd()) > kRecordRate / 4, 10000);
        parec.terminate();
        parec.waitForFinished(3000);

        const QVector<qint16> s = samplesOf(recorded);
        qint64 first = -1;
        qint64 last = -1;
        qint64 longestHole = 0;
        qint64 holeAt = 0;  // where it ends, samples into the tone
        qint64 quietRun = 0;
        for (qint64 i = 0; i < s.size(); ++i) {
            if (std::abs(int(s[i])) > kSoundThreshold) {
                if (first < 0) {
                    first = i;
                } else {
                    if (quietRun > longestHole) {
                        longestHole = quietRun;
                        holeAt = i - first;
                    }
                }
                last = i;
                quietRun = 0;
            } else if (first >= 0) {
                ++quietRun;
            }
        }
        QVERIFY(first >= 0);
        const double seconds = double(last - first) / kRecordRate;
        int upward = 0;
        for (qint64 i = first + 1; i <= last; ++i) {
            if (s[i - 1] < 0 && s[i] >= 0) {
                ++upward;
            }
        }
        const double hz = upward / seconds;
        qInfo(
            "tone: %.3f s, %.1f Hz, longest hole %.1f ms (ending %.3f s in), %.3f s heard at the "
            "end, %.3f s at the "
            "last picture, sink buffer %lld ms, at most %lld ms queued",
            seconds, hz, longestHole * 1000.0 / kRecordRate, double(holeAt) / kRecordRate,
            heardAtEnd, heardAtLastPicture, bufferMs, mostQueuedMs);
        QVERIFY2(std::abs(hz - 440.0) < 5.0, qPrintable(QString::number(hz)));
        QVERIFY2(std::abs(seconds - clipSeconds) < 0.15, qPrintable(QString::number(seconds)));
        // One period of a 440 Hz tone is 109 samples; any longer quiet
        // stretch inside the tone is lost sound.
        QVERIFY2(longestHole < kRecordRate / 100, qPrintable(QString::number(longestHole)));
    }
};

QTEST_GUILESS_MAIN(TestAudioOutput)
#include "tst_audiooutput.moc"
