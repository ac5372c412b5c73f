// The bridge must hand FFmpeg exactly the plain bytes at every payload
// offset, refuse seeks outside the payload without moving, and refuse
// anything that is not a container with a 32-byte key.
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include "ContainerWriter.h"
#include "DecryptingInput.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

class TestDecryptingInput : public QObject
{
    Q_OBJECT

    struct Sealed
    {
        QString path;
        QByteArray plain;
        QByteArray key;
    };

    QTemporaryDir m_dir;
    int m_serial = 0;

    Sealed seal(qint64 size)
    {
        Sealed s;
        s.plain.resize(size);
        QRandomGenerator gen(static_cast<quint32>(size) + 7);
        for (qint64 i = 0; i < size; ++i) {
            s.plain[i] = static_cast<char>(gen.generate() & 0xFF);
        }
        const QString src = m_dir.filePath(QStringLiteral("src%1.bin").arg(++m_serial));
        QFile f(src);
        if (!f.open(QIODevice::WriteOnly) || f.write(s.plain) != size) {
            return {};
        }
        f.close();
        const ContainerWriter::Result r =
            ContainerWriter::write(src, m_dir.filePath(QStringLiteral("c%1.vcz").arg(m_serial)));
        if (!r.ok) {
            return {};
        }
        s.path = r.outPath;
        s.key = r.key;
        return s;
    }

    // Calls the callbacks the way FFmpeg does, without its buffering.
    static int read(AVIOContext* io, QByteArray& into, int size)
    {
        into.resize(size);
        const int n = io->read_packet(io->opaque, reinterpret_cast<uint8_t*>(into.data()), size);
        into.resize(qMax(n, 0));
        return n;
    }
    static qint64 seek(AVIOContext* io, qint64 offset, int whence)
    {
        return io->seek(io->opaque, offset, whence);
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void wholePayloadThroughFfmpeg_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("piece");
        QTest::newRow("one byte") << qint64(1) << 4096;
        QTest::newRow("one block minus one") << qint64(15) << 7;
        QTest::newRow("exactly one buffer") << qint64(0x10000) << 0x10000;
        QTest::newRow("buffer plus one, odd pieces") << qint64(0x10001) << 1000;
        QTest::newRow("several buffers, large pieces") << qint64(300'007) << 100'000;
    }
    void wholePayloadThroughFfmpeg()
    {
        QFETCH(qint64, size);
        QFETCH(int, piece);
        const Sealed s = seal(size);
        QVERIFY(!s.path.isEmpty());
        AVIOContext* io = openDecryptingInput(s.path, s.key);
        QVERIFY(io);
        QByteArray got;
        QByteArray buf(piece, '\0');
        for (;;) {
            const int n = avio_read(io, reinterpret_cast<unsigned char*>(buf.data()), piece);
            if (n <= 0) {
                QCOMPARE(n, AVERROR_EOF);
                break;
            }
            got.append(buf.constData(), n);
        }
        closeDecryptingInput(io);
        QCOMPARE(got.size(), s.plain.size());
        QVERIFY(got == s.plain);
    }

    void unalignedReadAfterSeek_data()
    {
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<int>("length");
        QTest::newRow("1") << qint64(1) << 100;
        QTest::newRow("15, across a block") << qint64(15) << 17;
        QTest::newRow("16") << qint64(16) << 16;
        QTest::newRow("17") << qint64(17) << 1000;
        QTest::newRow("just before a buffer edge") << qint64(0xFFFF) << 70'000;
        QTest::newRow("last three bytes") << qint64(100'000 - 3) << 3;
    }
    void unalignedReadAfterSeek()
    {
        QFETCH(qint64, offset);
        QFETCH(int, length);
        const Sealed s = seal(100'000);
        AVIOContext* io = openDecryptingInput(s.path, s.key);
        QVERIFY(io);
        // Read something first so the cipher has moved on before the seek.
        QByteArray chunk;
        QCOMPARE(read(io, chunk, 4099), 4099);
        QCOMPARE(seek(io, offset, SEEK_SET), offset);
        const int want = static_cast<int>(qMin<qint64>(length, s.plain.size() - offset));
        QCOMPARE(read(io, chunk, length), want);
        QVERIFY(chunk == s.plain.mid(offset, want));
        // And the stream carries on correctly from there.
        if (offset + want < s.plain.size()) {
            QCOMPARE(read(io, chunk, 5), 5);
            QVERIFY(chunk == s.plain.mid(offset + want, 5));
        }
        closeDecryptingInput(io);
    }

    void seekReportsPayloadSizeNotFileSize()
    {
        const Sealed s = seal(12'345);
        AVIOContext* io = openDecryptingInput(s.path, s.key);
        QVERIFY(io);
        QCOMPARE(seek(io, 0, AVSEEK_SIZE), qint64(12'345));
        QCOMPARE(QFileInfo(s.path).size(), qint64(12'345 + 52));
        closeDecryptingInput(io);
    }

    void seekBounds_data()
    {
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<int>("whence");
        QTest::addColumn<qint64>("expected");  // -1: refused
        const qint64 size = 1000;              // payload of every row
        QTest::newRow("set to payload size") << size << int(SEEK_SET) << size;
        QTest::newRow("set past the end") << size + 1 << int(SEEK_SET) << qint64(-1);
        QTest::newRow("set before 0") << qint64(-1) << int(SEEK_SET) << qint64(-1);
        QTest::newRow("cur forward") << qint64(10) << int(SEEK_CUR) << qint64(110);
        QTest::newRow("cur before 0") << qint64(-101) << int(SEEK_CUR) << qint64(-1);
        QTest::newRow("end") << qint64(0) << int(SEEK_END) << size;
        QTest::newRow("end minus 7") << qint64(-7) << int(SEEK_END) << size - 7;
        QTest::newRow("end plus 1") << qint64(1) << int(SEEK_END) << qint64(-1);
        QTest::newRow("forced") << qint64(5) << int(SEEK_SET | AVSEEK_FORCE) << qint64(-1);
        QTest::newRow("unknown whence") << qint64(5) << 7 << qint64(-1);
    }
    void seekBounds()
    {
        QFETCH(qint64, offset);
        QFETCH(int, whence);
        QFETCH(qint64, expected);
        const Sealed s = seal(1000);
        AVIOContext* io = openDecryptingInput(s.path, s.key);
        QVERIFY(io);
        QCOMPARE(seek(io, 100, SEEK_SET), qint64(100));
        QCOMPARE(seek(io, offset, whence), expected);

        const qint64 now = expected < 0 ? 100 : expected;
        QByteArray chunk;
        const int n = read(io, chunk, 16);
        if (now == 1000) {
            QCOMPARE(n, AVERROR_EOF);
        } else {
            // A refused seek leaves both the position and the cipher alone.
            QVERIFY(n > 0);
            QVERIFY(chunk == s.plain.mid(now, n));
        }
        closeDecryptingInput(io);
    }

    void emptyPayload()
    {
        const Sealed s = seal(0);
        QVERIFY(!s.path.isEmpty());
        AVIOContext* io = openDecryptingInput(s.path, s.key);
        QVERIFY(io);
        QCOMPARE(seek(io, 0, AVSEEK_SIZE), qint64(0));
        QByteArray chunk;
        QCOMPARE(read(io, chunk, 100), AVERROR_EOF);
        QCOMPARE(seek(io, 0, SEEK_SET), qint64(0));
        QCOMPARE(seek(io, 1, SEEK_SET), qint64(-1));
        closeDecryptingInput(io);
    }

    void refusesBadKeysAndFiles_data()
    {
        QTest::addColumn<int>("keySize");
        QTest::addColumn<QByteArray>("fileBytes");  // empty: a good container
        QTest::addColumn<bool>("opens");
        QTest::newRow("32-byte key") << 32 << QByteArray() << true;
        QTest::newRow("31-byte key") << 31 << QByteArray() << false;
        QTest::newRow("33-byte key") << 33 << QByteArray() << false;
        QTest::newRow("no key") << 0 << QByteArray() << false;
        QTest::newRow("file shorter than a header") << 32 << QByteArray("VCZ1abc") << false;
        QTest::newRow("wrong magic") << 32 << QByteArray(60, 'x') << false;
        QTest::newRow("lower-case magic") << 32 << QByteArray("vcz1").append(56, '\0') << false;
    }
    void refusesBadKeysAndFiles()
    {
        QFETCH(int, keySize);
        QFETCH(QByteArray, fileBytes);
        QFETCH(bool, opens);
        Sealed s = seal(500);
        if (!fileBytes.isEmpty()) {
            QFile f(s.path);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(fileBytes);
        }
        QByteArray key = s.key.leftJustified(keySize, 'k', true);
        AVIOContext* io = openDecryptingInput(s.path, key);
        QCOMPARE(io != nullptr, opens);
        closeDecryptingInput(io);
    }

    // Only a file is read: a folder or a device is named as such, at once.
    void refusesWhatIsNotAFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("folder") << m_dir.path();
#ifdef Q_OS_WIN
        QTest::newRow("null device") << "NUL";
#else
        QTest::newRow("null device") << "/dev/null";
        QTest::newRow("endless device") << "/dev/zero";
#endif
    }
    void refusesWhatIsNotAFile()
    {
        QFETCH(QString, path);
        QString reason;
        AVIOContext* io = openDecryptingInput(path, QByteArray(32, 'k'), &reason);
        QVERIFY(!io);
        QCOMPARE(reason, QStringLiteral("不是普通文件，无法作为加密视频打开"));
    }

    // Names beyond the system's 8-bit code page, with either separator.
    void opensAContainerUnderAnyName()
    {
        const Sealed s = seal(1000);
        QVERIFY(!s.path.isEmpty());
        const QString named = m_dir.filePath(QStringLiteral("课程 第1讲 – ünïcode.vcz"));
        QVERIFY(QFile::copy(s.path, named));
        for (const QString& path : {named, QDir::toNativeSeparators(named)}) {
            QString reason;
            AVIOContext* io = openDecryptingInput(path, s.key, &reason);
            QVERIFY2(io, qPrintable(path + ": " + reason));
            QByteArray chunk;
            QCOMPARE(read(io, chunk, 1000), 1000);
            QVERIFY(chunk == s.plain);
            closeDecryptingInput(io);
        }
    }

    void missingFileAndNullClose()
    {
        QVERIFY(!openDecryptingInput(m_dir.filePath(QStringLiteral("absent.vcz")),
                                     QByteArray(32, 'k')));
        closeDecryptingInput(nullptr);
    }
};

QTEST_GUILESS_MAIN(TestDecryptingInput)
#include "tst_decryptinginput.moc"
