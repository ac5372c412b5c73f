#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include "DeviceIdentity.h"

namespace {

const QRegularExpression kIdForm(QStringLiteral("^[0-9a-f]{32}$"));

QString storedFallback()
{
    return QSettings("Veilcast", "Veilcast").value("device/fallbackId").toString();
}

void clearFallback()
{
    QSettings("Veilcast", "Veilcast").remove("device/fallbackId");
}

// Text as wmic writes it into a pipe under Wine (and into a file anywhere):
// UTF-16LE after a byte order mark.
QByteArray utf16le(const QString& text)
{
    QByteArray bytes("\xff\xfe");
    for (const QChar c : text) {
        bytes.append(char(c.unicode() & 0xff));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

}  // namespace

class TestDeviceIdentity : public QObject
{
    Q_OBJECT

private slots:
    void init() { clearFallback(); }

    // Expected ids were computed outside the program with sha256sum.
    void computeId_data()
    {
        QTest::addColumn<QString>("cpu");
        QTest::addColumn<QString>("board");
        QTest::addColumn<QString>("disk");
        QTest::addColumn<QString>("guid");
        QTest::addColumn<QString>("expected");  // "fallback": the stored random id

        QTest::newRow("all three") << "CPU-ABC"
                                   << "BOARD-UUID"
                                   << "DISK-1"
                                   << "ignored"
                                   << "3338defe554040c7d1d2c7d81156bd1e";
        QTest::newRow("disk serial only") << ""
                                          << ""
                                          << "SN-DISK-42"
                                          << "ignored"
                                          << "4813c5dcc39414c2f44b6d4ac34aa831";
        QTest::newRow("cpu only") << "BFEBFBFF000906EA"
                                  << ""
                                  << ""
                                  << ""
                                  << "996bc68b2daec76776295495f9f4d523";
        QTest::newRow("board only") << ""
                                    << "03000200-0400-0500-0006-000700080009"
                                    << ""
                                    << ""
                                    << "b1dff155447ef4e1523d2e6eaf320f1f";
        QTest::newRow("no hardware: machine guid") << ""
                                                   << ""
                                                   << ""
                                                   << "4c4c4544-0042-3510-8051-b4c04f564433"
                                                   << "2e8b6043b12464fa98604950d2342b06";
        QTest::newRow("nothing: stored fallback") << ""
                                                  << ""
                                                  << ""
                                                  << ""
                                                  << "fallback";
    }

    void computeId()
    {
        QFETCH(QString, cpu);
        QFETCH(QString, board);
        QFETCH(QString, disk);
        QFETCH(QString, guid);
        QFETCH(QString, expected);

        QStringList asked;
        DeviceIdentity::Sources sources;
        sources.wmic = [&](const QString& className, const QString& property) {
            asked << className + "." + property;
            if (className == "cpu" && property == "ProcessorId") {
                return cpu;
            }
            if (className == "csproduct" && property == "UUID") {
                return board;
            }
            if (className == "diskdrive" && property == "SerialNumber") {
                return disk;
            }
            return QString("unexpected query");
        };
        sources.machineGuid = [&] { return guid; };

        const QString id = DeviceIdentity::computeId(sources);
        QVERIFY(kIdForm.match(id).hasMatch());
        QCOMPARE(asked,
                 QStringList({"cpu.ProcessorId", "csproduct.UUID", "diskdrive.SerialNumber"}));
        if (expected == "fallback") {
            QCOMPARE(id, storedFallback());
        } else {
            QCOMPARE(id, expected);
            // Only the last resort touches the settings store.
            QVERIFY(storedFallback().isEmpty());
        }
    }

    void wmicOutput_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QString>("expected");

        QTest::newRow("windows line ends and padding")
            << QByteArray("ProcessorId       \r\r\nBFEBFBFF000906EA  \r\r\n\r\r\n")
            << "BFEBFBFF000906EA";
        QTest::newRow("header only") << QByteArray("SerialNumber  \r\r\n\r\r\n") << "";
        QTest::newRow("header in other case") << QByteArray("UUID\r\nuuid\r\nABC-1\r\n") << "ABC-1";
        QTest::newRow("bios serial header") << QByteArray("BIOS SerialNumber\r\nX9\r\n") << "X9";
        QTest::newRow("several disks: first serial")
            << QByteArray("SerialNumber\r\r\nWD-111 \r\r\nST-222\r\r\n") << "WD-111";
        QTest::newRow("blank lines before value") << QByteArray("\n\n  \r\nVAL\n") << "VAL";
        QTest::newRow("empty") << QByteArray() << "";
        QTest::newRow("value equal to another header is skipped")
            << QByteArray("SerialNumber\r\nprocessorid\r\nREAL\r\n") << "REAL";
        QTest::newRow("utf-16le with byte order mark")
            << utf16le("ProcessorId       \r\n1F8BFBFF000A0671  \r\n") << "1F8BFBFF000A0671";
        QTest::newRow("utf-16le, header only") << utf16le("SerialNumber  \r\n\r\n") << "";
        QTest::newRow("utf-16le, several disks")
            << utf16le("SerialNumber\r\nWINEHDISK  \r\nWINEHDISK  \r\n") << "WINEHDISK";
        QTest::newRow("utf-16le beyond latin-1")
            << utf16le(QString::fromUtf8("SerialNumber\r\n序列-7\r\n"))
            << QString::fromUtf8("序列-7");
    }

    void wmicOutput()
    {
        QFETCH(QByteArray, output);
        QFETCH(QString, expected);
        QCOMPARE(DeviceIdentity::parseWmicOutput(output), expected);
    }

    void fallbackCreatedOnceAndStable()
    {
        QVERIFY(storedFallback().isEmpty());
        const QString first = DeviceIdentity::fallbackId();
        QVERIFY(kIdForm.match(first).hasMatch());
        QCOMPARE(storedFallback(), first);
        QCOMPARE(DeviceIdentity::fallbackId(), first);
        QCOMPARE(DeviceIdentity::fallbackId(), first);

        // A fresh profile gets a different value.
        clearFallback();
        QVERIFY(DeviceIdentity::fallbackId() != first);
    }

    void storedFallbackFromEarlierRunWins()
    {
        QSettings("Veilcast", "Veilcast")
            .setValue("device/fallbackId", "0123456789abcdef0123456789abcdef");
        QCOMPARE(DeviceIdentity::fallbackId(), QStringLiteral("0123456789abcdef0123456789abcdef"));
    }

    void deviceName_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("product");
        QTest::addColumn<QString>("expected");
        QTest::newRow("host and product")
            << "studio-pc"
            << "Windows 11 Version 23H2"
            << QString::fromUtf8("studio-pc · Windows 11 Version 23H2");
        QTest::newRow("no host") << ""
                                 << "Windows 10" << QString::fromUtf8("未知主机 · Windows 10");
    }

    void deviceName()
    {
        QFETCH(QString, host);
        QFETCH(QString, product);
        QFETCH(QString, expected);
        QCOMPARE(DeviceIdentity::deviceNameFor(host, product), expected);
    }

    void systemIdentityOnThisMachine()
    {
        const QString id = DeviceIdentity::deviceId();
        QVERIFY(kIdForm.match(id).hasMatch());
        QCOMPARE(DeviceIdentity::deviceId(), id);
        QVERIFY(DeviceIdentity::deviceName().contains(QString::fromUtf8(" · ")));
#ifdef Q_OS_LINUX
        // No wmic here; the installation's machine id comes next.
        QFile machineId("/etc/machine-id");
        if (machineId.open(QIODevice::ReadOnly) && !machineId.readAll().trimmed().isEmpty()) {
            machineId.seek(0);
            const QByteArray text = machineId.readAll().trimmed();
            QCOMPARE(
                id,
                QString::fromLatin1(
                    QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex().left(32)));
        } else {
            QCOMPARE(id, storedFallback());
        }
        QCOMPARE(DeviceIdentity::queryWmic("cpu", "ProcessorId"), QString());
#endif
    }

#ifdef Q_OS_WIN
    // The real wmic of this Windows (or Wine): each answer is a clean value
    // or nothing, never a header, an error text or undecoded bytes.
    void wmicOnThisSystem()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("wmic")).isEmpty()) {
            QSKIP("no wmic on this Windows (left out of Windows 11 from 24H2 on)");
        }
        const QString cpu = DeviceIdentity::queryWmic("cpu", "ProcessorId");
        QVERIFY2(cpu.isEmpty() || QRegularExpression("^[0-9A-F]{16}$").match(cpu).hasMatch(),
                 qPrintable(cpu));
        // Wine has no csproduct class: wmic fails with a complaint instead.
        const QString board = DeviceIdentity::queryWmic("csproduct", "UUID");
        QVERIFY2(board.isEmpty() ||
                     QRegularExpression("^[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}$")
                         .match(board)
                         .hasMatch(),
                 qPrintable(board));
        const QString disk = DeviceIdentity::queryWmic("diskdrive", "SerialNumber");
        for (const QChar c : disk) {
            QVERIFY2(c.isPrint(), qPrintable(disk));
        }
        QVERIFY(disk.compare("SerialNumber", Qt::CaseInsensitive) != 0);
        QVERIFY(!disk.contains(':'));
        qInfo("wmic: cpu %s, board %s, disk %s", qPrintable(cpu),
              qPrintable(board.isEmpty() ? "(none)" : board),
              qPrintable(disk.isEmpty() ? "(none)" : disk));
    }
#endif
};

QTEST_GUILESS_MAIN(TestDeviceIdentity)
#include "tst_deviceidentity.moc"
