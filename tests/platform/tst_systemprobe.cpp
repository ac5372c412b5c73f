#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include "DataProtection.h"
#include "SystemProbe.h"
#include "WinProtect.h"

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
        QTest::addColumn<int>("exitCode");

#ifdef Q_OS_WIN
        const QString shell = QStringLiteral("cmd.exe");
        QTest::newRow("output and errors in one channel")
            << shell << QStringList{"/c", "echo out& echo err>&2"} << true
            << QByteArray("out\r\nerr\r\n") << 0;
        QTest::newRow("failing program still reports its output")
            << shell << QStringList{"/c", "echo partial& exit 3"} << true
            << QByteArray("partial\r\n") << 3;
        QTest::newRow("missing program")
            << "C:\\nonexistent\\wmic.exe" << QStringList{} << false << QByteArray() << -1;
        // ping waits a second between its echoes: about ten seconds.
        QTest::newRow("program that hangs")
            << shell << QStringList{"/c", "ping -n 11 127.0.0.1 >nul"} << false << QByteArray()
            << -1;
#else
        QTest::newRow("output and errors in one channel")
            << "/bin/sh" << QStringList{"-c", "echo out; echo err >&2"} << true
            << QByteArray("out\nerr\n") << 0;
        QTest::newRow("failing program still reports its output")
            << "/bin/sh" << QStringList{"-c", "echo partial; exit 3"} << true
            << QByteArray("partial\n") << 3;
        QTest::newRow("missing program")
            << "/nonexistent/wmic" << QStringList{} << false << QByteArray() << -1;
        QTest::newRow("program that hangs")
            << "/bin/sh" << QStringList{"-c", "exec sleep 10"} << false << QByteArray() << -1;
#endif
    }

    void runCommand()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(bool, hasOutput);
        QFETCH(QByteArray, output);
        QFETCH(int, exitCode);

        QElapsedTimer clock;
        clock.start();
        int status = -1;
        const auto result = SystemProbe::runCommand(program, args, 1000, 500, &status);
        QVERIFY2(clock.elapsed() < 3000, "a hanging program must be given up on");
        QCOMPARE(result.has_value(), hasOutput);
        if (hasOutput) {
            QCOMPARE(*result, output);
            QCOMPARE(status, exitCode);
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

#ifdef Q_OS_WIN
    // Real DPAPI: what is protected for this user comes back; what was
    // protected with other entropy, or is no blob at all, does not.
    void protectionServiceOfThisUser()
    {
        QVERIFY(DataProtection::available());
        QByteArray secret(32, Qt::Uninitialized);
        for (int i = 0; i < secret.size(); ++i) {
            secret[i] = char(i * 37 + 11);
        }
        const QByteArray blob = protectForCurrentUser(secret);
        QVERIFY(!blob.isEmpty());
        QVERIFY(blob != secret);
        QCOMPARE(DataProtection::unprotect(blob), secret);
        QCOMPARE(DataProtection::unprotect(protectForCurrentUser(QByteArray("x"))),
                 QByteArray("x"));

        QVERIFY(DataProtection::unprotect(protectForCurrentUser(secret, "other reader")).isEmpty());
        QVERIFY(DataProtection::unprotect(secret).isEmpty());
        QVERIFY(DataProtection::unprotect(QByteArray()).isEmpty());
        QByteArray damaged = blob;
        damaged[damaged.size() - 1] = char(damaged[damaged.size() - 1] ^ 0x5a);
        QVERIFY(DataProtection::unprotect(damaged).isEmpty());
    }

    // The installation's GUID as the registry holds it, the same that the
    // system's own reg.exe reads.
    void machineGuidFromTheRegistry()
    {
        QVERIFY(SystemProbe::hasWmic());
        const QString guid = SystemProbe::machineGuid();
        QVERIFY2(QRegularExpression("^[0-9a-fA-F]{8}(-[0-9a-fA-F]{4}){3}-[0-9a-fA-F]{12}$")
                     .match(guid)
                     .hasMatch(),
                 qPrintable(guid));
        QProcess reg;
        reg.start("reg.exe",
                  {"query", "HKLM\\SOFTWARE\\Microsoft\\Cryptography", "/v", "MachineGuid"});
        QVERIFY(reg.waitForFinished(10000));
        QCOMPARE(reg.exitCode(), 0);
        const QString listing = QString::fromLocal8Bit(reg.readAllStandardOutput());
        QVERIFY2(listing.contains(QRegularExpression("MachineGuid\\s+REG_SZ\\s+" + guid + "\\s")),
                 qPrintable(listing));
    }
#endif
};

QTEST_GUILESS_MAIN(TestSystemProbe)
#include "tst_systemprobe.moc"
