// The clock is driven by a time source the test owns, so every case is exact:
// each row is a little script of operations, waits and expectations.
#include <QtTest>
#include <atomic>

#include "PlaybackClock.h"

class TestPlaybackClock : public QObject
{
    Q_OBJECT

private slots:
    void script_data()
    {
        QTest::addColumn<QString>("script");
        QTest::newRow("new clock is paused at 0") << "expect:0 until:500=500 paused:1";
        QTest::newRow("speed 2 then 0.5 is continuous")
            << "restart:0 speed:2 wait:1000 expect:2000 speed:0.5 wait:1000 expect:2500";
        QTest::newRow("pause freezes, resume continues")
            << "restart:0 wait:5000 pause wait:3000 expect:5000 resume wait:1000 expect:6000";
        QTest::newRow("pausing twice is one pause")
            << "restart:0 wait:100 pause wait:50 pause wait:50 expect:100 resume wait:30 "
               "expect:130";
        QTest::newRow("resume while running changes nothing")
            << "restart:0 wait:100 resume wait:100 expect:200";
        QTest::newRow("seek while paused stays put until resume")
            << "restart:0 wait:10 pause seek:30000 wait:1000 expect:30000 paused:1 resume "
               "wait:10 expect:30010";
        QTest::newRow("seek while running re-bases")
            << "restart:0 wait:500 seek:100 wait:50 expect:150 paused:0";
        QTest::newRow("reset is paused at 0")
            << "restart:0 wait:500 reset wait:100 expect:0 paused:1";
        QTest::newRow("fraction of elapsed x speed is dropped")
            << "speed:1.5 restart:0 wait:1 expect:1 wait:2 expect:4";
        QTest::newRow("speed while paused applies from resume")
            << "restart:0 wait:100 pause speed:2 wait:100 expect:100 resume wait:100 expect:300";
        QTest::newRow("restart at a position") << "restart:7000 wait:250 expect:7250";
        QTest::newRow("whole milliseconds only") << "restart:0 waitns:1999999 expect:1";
        QTest::newRow("msUntil is positive ahead, negative behind")
            << "restart:0 wait:100 until:150=50 until:0=-100";
        QTest::newRow("speed change keeps the position")
            << "restart:0 wait:333 speed:2 expect:333 wait:1 expect:335";
    }
    void script()
    {
        QFETCH(QString, script);
        std::atomic<qint64> nowNs{123'456'789};
        PlaybackClock clock([&nowNs] { return nowNs.load(); });
        for (const QString& step : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const QString op = step.section(QLatin1Char(':'), 0, 0);
            const QString arg = step.section(QLatin1Char(':'), 1);
            if (op == QLatin1String("restart")) {
                clock.restart(arg.toLongLong());
            } else if (op == QLatin1String("wait")) {
                nowNs += arg.toLongLong() * 1'000'000;
            } else if (op == QLatin1String("waitns")) {
                nowNs += arg.toLongLong();
            } else if (op == QLatin1String("pause")) {
                clock.pause();
            } else if (op == QLatin1String("resume")) {
                clock.resume();
            } else if (op == QLatin1String("speed")) {
                clock.setSpeed(arg.toDouble());
            } else if (op == QLatin1String("seek")) {
                clock.seekTo(arg.toLongLong());
            } else if (op == QLatin1String("reset")) {
                clock.reset();
            } else if (op == QLatin1String("expect")) {
                QVERIFY2(
                    clock.positionMs() == arg.toLongLong(),
                    qPrintable(
                        QStringLiteral("at '%1': position %2").arg(step).arg(clock.positionMs())));
            } else if (op == QLatin1String("paused")) {
                QCOMPARE(clock.isPaused(), arg == QLatin1String("1"));
            } else if (op == QLatin1String("until")) {
                QCOMPARE(clock.msUntil(arg.section(QLatin1Char('='), 0, 0).toLongLong()),
                         arg.section(QLatin1Char('='), 1).toLongLong());
            } else {
                QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
            }
        }
    }

    // A reader on another thread must never combine the base of one update
    // with the start instant of another. Every update here keeps the
    // position at exactly 0 or exactly 1,000,000 while the time source
    // jumps ahead, so any mixed reading shows up as a third value.
    void readerNeverSeesAHalfUpdate()
    {
        std::atomic<qint64> nowNs{0};
        PlaybackClock clock([&nowNs] { return nowNs.load(); });
        clock.restart(0);
        std::atomic<bool> done{false};
        std::atomic<qint64> bad{0};
        QThread* reader = QThread::create([&] {
            while (!done.load()) {
                const qint64 p = clock.positionMs();
                const qint64 t = nowNs.load();
                Q_UNUSED(t);
                if (p != 0 && p != 1'000'000) {
                    bad.store(p);
                }
            }
        });
        reader->start();
        QElapsedTimer spent;
        spent.start();
        for (qint64 i = 1; spent.elapsed() < 300; ++i) {
            // The time jumps only while the clock is paused, so a consistent
            // reading never contains any elapsed time.
            clock.pause();
            nowNs.store(i * 1'000'000'000'000);
            clock.seekTo((i & 1) ? 1'000'000 : 0);
            clock.resume();
        }
        done.store(true);
        reader->wait();
        delete reader;
        QCOMPARE(bad.load(), qint64(0));
    }
};

QTEST_GUILESS_MAIN(TestPlaybackClock)
#include "tst_playbackclock.moc"
