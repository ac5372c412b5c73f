// The probes the lip-sync and latency benchmarks read their figures from:
// beeps found and told by pitch and timed on a recording fed with late and
// lost chunks, flashes read from pictures, pairs formed within a window;
// then a beep played into a private PulseAudio daemon and heard at its
// monitor no earlier than it was sent.
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>
#include <cmath>

#include "PlaybackClock.h"
#include "SoundProbe.h"

namespace {

constexpr int kRate = MonitorRecorder::kRate;
constexpr qint64 kNsPerSecond = 1'000'000'000;
constexpr qint64 kChunk = 240;  // 5 ms, as parec is asked for
// Where the synthetic recording starts on the monotonic clock.
constexpr qint64 kStartNs = 1'000 * kNsPerSecond;

double hzOf(int second)
{
    return ProbeMarks::kBaseHz + second * ProbeMarks::kStepHz;
}

void addTone(QVector<qint16>& s, double atSeconds, double hz, double seconds)
{
    const qint64 first = qint64(std::llround(atSeconds * kRate));
    const qint64 count = qint64(std::llround(seconds * kRate));
    for (qint64 i = 0; i < count && first + i < s.size(); ++i) {
        s[first + i] = qint16(16384 * std::sin(2 * M_PI * hz * double(i) / kRate));
    }
}

// Feeds the samples in parec-sized chunks, each arriving a varying few
// milliseconds after its last sample was played (sometimes at once, as the
// fastest chunks do). lostAt: that many seconds of recording go missing at
// this sample, as when the reader falls behind and the server drops them.
void feed(MonitorRecorder& rec, const QVector<qint16>& s, qint64 lostAt = -1,
          double lostSeconds = 0)
{
    qint64 shiftNs = 0;
    int chunk = 0;
    for (qint64 i = 0; i < s.size(); i += kChunk, ++chunk) {
        if (lostAt >= 0 && i >= lostAt && shiftNs == 0) {
            shiftNs = qint64(lostSeconds * kNsPerSecond);
        }
        const qint64 n = std::min<qint64>(kChunk, s.size() - i);
        const qint64 jitterNs = (chunk * 7919 % 40) * 100'000;  // 0 .. 3.9 ms
        const qint64 playedNs = kStartNs + shiftNs + (i + n) * kNsPerSecond / kRate;
        rec.addChunk(QByteArray(reinterpret_cast<const char*>(s.constData() + i), int(n * 2)),
                     playedNs + jitterNs);
    }
}

qint64 atNs(double seconds)
{
    return kStartNs + qint64(seconds * kNsPerSecond);
}

QImage markedPicture(int whitePixels, int edgeBlur)
{
    QImage image(640, 360, QImage::Format_RGB32);
    image.fill(qRgb(128, 128, 128));
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < whitePixels + edgeBlur; ++x) {
            // The coder softens the edge: a few pixels on either side of it
            // are in between.
            const int v = x < whitePixels - edgeBlur ? 255 : x < whitePixels ? 210 : 180;
            image.setPixel(x, y, qRgb(v, v, v));
        }
    }
    return image;
}

}  // namespace

class TestSoundProbe : public QObject
{
    Q_OBJECT

private slots:
    void beepsAreFoundToldAndTimed()
    {
        QVector<qint16> s(3 * kRate, 0);
        addTone(s, 0.5, hzOf(3), 0.040);
        addTone(s, 1.5, hzOf(12), 0.040);
        // A jump: the next beep of the new position 300 ms after the last
        // one of the old.
        addTone(s, 1.8, hzOf(0), 0.027);
        addTone(s, 2.5, hzOf(20), 0.002);  // a click, not a beep
        MonitorRecorder rec;
        feed(rec, s);
        QCOMPARE(rec.sampleCount(), s.size());

        const QList<Beep> beeps = rec.beeps();
        QCOMPARE(beeps.size(), 3);
        const int seconds[] = {3, 12, 0};
        const double at[] = {0.5, 1.5, 1.8};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(beeps[i].second, seconds[i]);
            QVERIFY2(std::abs(beeps[i].ns - atNs(at[i])) < 1'000'000,
                     qPrintable(QString::number((beeps[i].ns - atNs(at[i])) / 1e6)));
        }
        // Only the beeps whose onset lies in the window.
        const QList<Beep> later = rec.beeps(atNs(1.0), atNs(1.7));
        QCOMPARE(later.size(), 1);
        QCOMPARE(later[0].second, 12);

        QVERIFY(std::abs(rec.firstLoudAfterNs(atNs(0.6)) - atNs(1.5)) < 1'000'000);
        QVERIFY(std::abs(rec.lastLoudNs() - atNs(2.502)) < 1'000'000);
        QCOMPARE(rec.firstLoudAfterNs(atNs(2.6)), -1);
        QVERIFY(std::abs(rec.timeOfSampleNs(kRate) - atNs(1.0)) < 1'000'000);
        QCOMPARE(rec.sampleAtNs(atNs(1.0)), qint64(kRate));
    }

    void aLostStretchMisplacesNothingAfterIt()
    {
        QVector<qint16> s(5 * kRate, 0);
        addTone(s, 0.5, hzOf(1), 0.040);
        addTone(s, 3.0, hzOf(2), 0.040);  // recorded 3.0 s in, played 3.1 s in
        MonitorRecorder rec;
        feed(rec, s, qint64(2.2 * kRate), 0.1);
        const QList<Beep> beeps = rec.beeps();
        QCOMPARE(beeps.size(), 2);
        QVERIFY2(std::abs(beeps[0].ns - atNs(0.5)) < 1'000'000,
                 qPrintable(QString::number((beeps[0].ns - atNs(0.5)) / 1e6)));
        QVERIFY2(std::abs(beeps[1].ns - atNs(3.1)) < 1'000'000,
                 qPrintable(QString::number((beeps[1].ns - atNs(3.1)) / 1e6)));
        const MonitorRecorder::Mapping m = rec.mapping();
        QVERIFY2(std::abs(m.originMovedMs - 100) < 1, qPrintable(QString::number(m.originMovedMs)));
        QVERIFY(m.medianChunkDelayMs >= 0 && m.medianChunkDelayMs < 4);
    }

    void flashesAreReadFromTheirWidth()
    {
        for (int second : {0, 7, 24}) {
            const int white = 640 * (second + 1) / ProbeMarks::kMarkParts;
            QCOMPARE(FlashRenderer::secondOf(markedPicture(white, 0)), second);
            QCOMPARE(FlashRenderer::secondOf(markedPicture(white, 3)), second);
        }
        QImage dark(640, 360, QImage::Format_RGB32);
        dark.fill(qRgb(16, 16, 16));
        QCOMPARE(FlashRenderer::secondOf(dark), -1);
        QCOMPARE(FlashRenderer::secondOf(markedPicture(0, 0)), -1);  // grey only
        QCOMPARE(FlashRenderer::secondOf(QImage()), -1);
        QCOMPARE(FlashRenderer::brightnessOf(dark), 16.0);
        QCOMPARE(FlashRenderer::brightnessOf(QImage()), -1.0);
    }

    void pairsAreFormedWithinTheWindow()
    {
        const qint64 ms = 1'000'000;
        const QList<Flash> flashes = {
            {300 * ms, 2, -1},   // before the window
            {1000 * ms, 3, -1},  // two beeps of its second: the nearer counts
            {2000 * ms, 4, -1},  // sound early
            {3000 * ms, 5, -1},  // no beep
            {5000 * ms, 9, -1},  // after the window
        };
        const QList<Beep> beeps = {
            {310 * ms, 2, 0},  {1300 * ms, 3, 0}, {1020 * ms, 3, 0},
            {1950 * ms, 4, 0}, {5010 * ms, 9, 0},
        };
        const SyncReport r = pairFlashesWithBeeps(flashes, beeps, 500 * ms, 4500 * ms);
        QCOMPARE(r.flashes, 3);
        QCOMPARE(r.beeps, 3);
        QCOMPARE(r.pairs.size(), 2);
        QCOMPARE(r.pairs[0].second, 3);
        QCOMPARE(r.pairs[0].offsetMs, 20.0);
        QCOMPARE(r.pairs[1].second, 4);
        QCOMPARE(r.pairs[1].offsetMs, -50.0);
        QCOMPARE(r.meanMs, -15.0);
        QCOMPARE(r.minMs, -50.0);
        QCOMPARE(r.maxMs, 20.0);
        QVERIFY(pairFlashesWithBeeps(flashes, beeps, 3500 * ms, 4500 * ms).empty());
    }

    void aBeepSentIsHeardAtTheMonitor()
    {
        PrivatePulse pulse;
        QString why;
        if (!pulse.start(&why)) {
            if (why.contains(QLatin1String("missing"))) {
                QSKIP(qPrintable(why));
            }
            QFAIL(qPrintable(why));
        }
        QCOMPARE(qgetenv("PULSE_SERVER"), pulse.server().toLocal8Bit());
        MonitorRecorder rec;
        QVERIFY2(rec.start(&why), qPrintable(why));

        // 200 ms of silence, then the beep of second 7: it cannot be heard
        // before the silence has played. The null sink hands its monitor
        // what it plays up to one block (the 5 ms parec asks for) ahead, so
        // a beep may be timed that much early, never more.
        QVector<qint16> s(kRate / 2, 0);
        addTone(s, 0.2, hzOf(7), 0.040);
        QProcess pacat;
        const qint64 sentNs = PlaybackClock::monotonicNs();
        pacat.start(QStringLiteral("pacat"),
                    {QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
                     QStringLiteral("--rate=%1").arg(kRate), QStringLiteral("--channels=1"),
                     QStringLiteral("-d"), QStringLiteral("nullsink")});
        QVERIFY(pacat.waitForStarted(5000));
        pacat.write(reinterpret_cast<const char*>(s.constData()), s.size() * 2);
        pacat.closeWriteChannel();
        QVERIFY(pacat.waitForFinished(10000));
        QTRY_VERIFY_WITH_TIMEOUT(!rec.beeps(sentNs).isEmpty(), 5000);
        const QList<Beep> beeps = rec.beeps(sentNs);
        QCOMPARE(beeps.size(), 1);
        QCOMPARE(beeps[0].second, 7);
        const double afterSendMs = (beeps[0].ns - sentNs) / 1e6;
        QVERIFY2(afterSendMs > 190 && afterSendMs < 2000, qPrintable(QString::number(afterSendMs)));
        qInfo("beep heard %.1f ms after it was sent (200 ms of it silence); chunks %.2f ms late",
              afterSendMs, rec.mapping().medianChunkDelayMs);

        rec.stop();
        pulse.stop();
        QVERIFY(!pulse.isRunning());
        QVERIFY(qgetenv("PULSE_SERVER") != pulse.server().toLocal8Bit());
    }
};

QTEST_MAIN(TestSoundProbe)
#include "tst_soundprobe.moc"
