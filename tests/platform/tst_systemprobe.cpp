#include <QElapsedTimer>
#include <QtTest>

#include "DataProtection.h"
#include "SystemProbe.h"

class TestSystemProbe : public QObject
{
    Q_OBJECT

private slots:
    void runCommand_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("hasOutput");
        QTest::addColumn<QByteArray>("output");

        QTest::newRow("output and errors in one channel")
            << "/bin/sh" << QStringList{"-c", "echo out; echo err >&2"} << true
            << QByteArray("out\nerr\n");
        QTest::newRow("failing program still reports its output")
            << "/bin/sh" << QStringList{"-c", "echo partial; exit 3"} << true
            << QByteArray("partial\n");
        QTest::newRow("missing program")
            << "/nonexistent/wmic" << QStringList{} << false << QByteArray();
        QTest::newRow("program that hangs")
            << "/bin/sh" << QStringList{"-c", "exec sleep 10"} << false << QByteArray();
    }

    void runCommand()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(bool, hasOutput);
        QFETCH(QByteArray, output);

        QElapsedTimer clock;
        clock.start();
        const auto result = SystemProbe::runCommand(program, args, 1000, 500);
        QVERIFY2(clock.elapsed() < 3000, "a hanging program must be given up on");
        QCOMPARE(result.has_value(), hasOutput);
        if (hasOutput) {
            QCOMPARE(*result, output);
        }
    }

    void noProtectionServiceHere()
    {
#ifndef Q_OS_WIN
        QVERIFY(!DataProtection::available());
        QVERIFY(DataProtection::unprotect(QByteArray(32, 'k')).isEmpty());
        QVERIFY(!SystemProbe::hasWmic());
#endif
    }
};

QTEST_GUILESS_MAIN(TestSystemProbe)
#include "tst_systemprobe.moc"
