// The audio renderer with no sound server at all, as on a build machine: it
// must still build its converter and sink once per format and never crash,
// hang or keep a frame. (What the sink is made of is checked against a real
// sound server in tst_audiooutput.)
#include <QAudioSink>
#include <QPointer>
#include <QtTest>

#include "AudioRenderer.h"
#include "TestMedia.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

namespace {}  // namespace

class TestAudioRenderer : public QObject
{
    Q_OBJECT

private slots:
    void sinkMatchesTheStreamAndIsMadeOnce_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("outChannels");
        QTest::newRow("mono 22050 stays mono") << 1 << 22050 << int(AV_SAMPLE_FMT_FLTP) << 1;
        QTest::newRow("stereo 44100") << 2 << 44100 << int(AV_SAMPLE_FMT_FLTP) << 2;
        QTest::newRow("5.1 48000 becomes stereo") << 6 << 48000 << int(AV_SAMPLE_FMT_FLTP) << 2;
        QTest::newRow("interleaved 16-bit stereo") << 2 << 48000 << int(AV_SAMPLE_FMT_S16) << 2;
        QTest::newRow("quad 32000 becomes stereo") << 4 << 32000 << int(AV_SAMPLE_FMT_S32P) << 2;
    }
    void sinkMatchesTheStreamAndIsMadeOnce()
    {
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, format);
        QFETCH(int, outChannels);
        AudioRenderer r;
        QVERIFY(!r.sink());  // nothing before the first frame
        r.onAudioFrame(makeSilentAudioFrame(rate, channels, AVSampleFormat(format)).get());
        QPointer<QAudioSink> first = r.sink();
        QVERIFY(first);
        for (int i = 0; i < 20; ++i) {
            r.onAudioFrame(makeSilentAudioFrame(rate, channels, AVSampleFormat(format)).get());
        }
        QVERIFY(first);  // not deleted and remade
        QCOMPARE(r.sink(), first.data());
        QCOMPARE(r.sampleRate(), rate);
        QCOMPARE(r.inputChannels(), channels);
        QCOMPARE(r.outputChannels(), outChannels);
    }

    void rateChangeRebuildsSinkAndKeepsVolume()
    {
        AudioRenderer r;
        r.setVolume(0.25f);
        r.onAudioFrame(makeSilentAudioFrame(44100, 2, AV_SAMPLE_FMT_FLTP).get());
        QPointer<QAudioSink> first = r.sink();
        QVERIFY(first);
        r.onAudioFrame(makeSilentAudioFrame(48000, 2, AV_SAMPLE_FMT_FLTP).get());
        QVERIFY(!first);  // the old sink is gone
        QVERIFY(r.sink());
        QCOMPARE(r.sampleRate(), 48000);
        QCOMPARE(r.volume(), 0.25f);
    }

    void sampleFormatChangeKeepsTheSink()
    {
        AudioRenderer r;
        r.onAudioFrame(makeSilentAudioFrame(48000, 2, AV_SAMPLE_FMT_FLTP).get());
        QPointer<QAudioSink> first = r.sink();
        r.onAudioFrame(makeSilentAudioFrame(48000, 2, AV_SAMPLE_FMT_S16).get());
        r.onAudioFrame(makeSilentAudioFrame(48000, 2, AV_SAMPLE_FMT_DBL).get());
        QVERIFY(first);
        QCOMPARE(r.sink(), first.data());
    }

    void manyFramesWithoutServerNeitherHangNorCrash()
    {
        AudioRenderer r;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 500; ++i) {
            r.onAudioFrame(makeSilentAudioFrame(48000, 2, AV_SAMPLE_FMT_FLTP).get());
            if (i == 250) {
                r.reset();
            }
        }
        r.onAudioFrame(nullptr);
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(r.bytesWritten(), qint64(0));  // no device: nothing goes anywhere
    }

    void resetBeforeAnySinkIsHarmless()
    {
        AudioRenderer r;
        r.reset();
        QVERIFY(!r.sink());
        r.onAudioFrame(makeSilentAudioFrame(22050, 1, AV_SAMPLE_FMT_FLTP).get());
        QPointer<QAudioSink> first = r.sink();
        r.reset();
        QCOMPARE(r.sink(), first.data());  // reset keeps the sink
    }
};

int main(int argc, char** argv)
{
    // No sound server, whatever the machine has: the unreachable socket makes
    // the default output null, as on a build machine.
    qputenv("PULSE_SERVER", "unix:/nonexistent/veilcast/pulse.sock");
    QCoreApplication app(argc, argv);
    TestAudioRenderer test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_audiorenderer.moc"
