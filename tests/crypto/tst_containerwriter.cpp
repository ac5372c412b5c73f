#include <QtGlobal>

#ifndef Q_OS_WIN
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

#include "ContainerFormat.h"
#include "ContainerWriter.h"
#include "CryptoUtils.h"
#include "TestFiles.h"

namespace {

QByteArray pseudoRandom(qint64 size, quint32 seed)
{
    QByteArray data(size, '\0');
    QRandomGenerator gen(seed);
    for (qint64 i = 0; i < size; ++i) {
        data[i] = static_cast<char>(gen.generate() & 0xFF);
    }
    return data;
}

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

}  // namespace

class TestContainerWriter : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void decryptsWithOpenSslCli_data();
    void decryptsWithOpenSslCli();
    void progress_data();
    void progress();
    void outputPath_data();
    void outputPath();
    void replacesExistingContainerOnlyOnSuccess();
    void unopenableSourceOrTarget();
    void readErrorIsNotEndOfFile();
    void fullDiskLeavesNothing();
    void stopLeavesNothing();
    void concurrentWritersAreIndependent();
    void givenKeyMaterial_data();
    void givenKeyMaterial();
    void permissionsFollowTheUmask_data();
    void permissionsFollowTheUmask();
};

void TestContainerWriter::roundTrip_data()
{
    QTest::addColumn<qint64>("size");
    for (qint64 size : {0, 1, 15, 16, 17, 262143, 262144, 262145, 3 * 1024 * 1024 + 7}) {
        QTest::addRow("%lld", size) << size;
    }
}

void TestContainerWriter::roundTrip()
{
    QFETCH(qint64, size);
    QTemporaryDir dir;
    const QByteArray plain = pseudoRandom(size, quint32(size));
    const QString src = dir.filePath(QStringLiteral("clip.mp4"));
    QVERIFY(writeFile(src, plain));

    const QString out = dir.filePath(QStringLiteral("clip.vcz"));
    const ContainerWriter::Result r = ContainerWriter::write(src, out);
    QVERIFY2(r.ok, qPrintable(r.message));
    QCOMPARE(r.error, ContainerWriter::Error::None);
    QCOMPARE(r.outPath, out);
    QCOMPARE(r.key.size(), 32);
    QCOMPARE(r.iv.size(), 16);
    QCOMPARE(r.videoId.size(), 16);
    QCOMPARE(r.sourceSize, size);

    const QByteArray container = readFile(out);
    QCOMPARE(container.size(), size + 52);
    ContainerFormat::Header h;
    QVERIFY(ContainerFormat::parseHeader(container, &h));
    QCOMPARE(h.iv, r.iv);
    QCOMPARE(h.videoId, r.videoId);
    QCOMPARE(h.sourceSize, quint32(size));
    QCOMPARE(container.mid(40, 12), QByteArray(12, '\0'));

    const QByteArray payload = container.mid(52);
    if (size > 0) {
        QVERIFY(payload != plain);
    }
    QVERIFY(CryptoUtils::decryptBytes(payload, r.key, r.iv) == plain);
    QCOMPARE(entries(dir.path()).size(), 2);  // no temporary file left behind
}

void TestContainerWriter::decryptsWithOpenSslCli_data()
{
    roundTrip_data();
}

// The payload must be plain AES-256-CTR as another implementation knows it.
void TestContainerWriter::decryptsWithOpenSslCli()
{
    QFETCH(qint64, size);
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
#ifdef Q_OS_WIN
    if (openssl.isEmpty()) {
        QSKIP("no openssl command on this Windows; the payload is checked against it on Linux");
    }
#endif
    QVERIFY2(!openssl.isEmpty(), "the openssl command is needed (scripts/bootstrap installs it)");

    QTemporaryDir dir;
    const QByteArray plain = pseudoRandom(size, quint32(size) ^ 0x5a5a);
    const QString src = dir.filePath(QStringLiteral("a.bin"));
    QVERIFY(writeFile(src, plain));
    const ContainerWriter::Result r =
        ContainerWriter::write(src, ContainerWriter::outputPathFor(src, dir.path()));
    QVERIFY(r.ok);
    const QString payload = dir.filePath(QStringLiteral("payload.enc"));
    QVERIFY(writeFile(payload, readFile(r.outPath).mid(52)));

    QProcess p;
    p.start(openssl,
            {QStringLiteral("enc"), QStringLiteral("-d"), QStringLiteral("-aes-256-ctr"),
             QStringLiteral("-K"), QString::fromLatin1(r.key.toHex()), QStringLiteral("-iv"),
             QString::fromLatin1(r.iv.toHex()), QStringLiteral("-in"), payload});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 0);
    const QByteArray decrypted = p.readAllStandardOutput();
    QCOMPARE(decrypted.size(), plain.size());
    QVERIFY(decrypted == plain);
}

void TestContainerWriter::progress_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QList<int>>("expected");
    QTest::newRow("empty: nothing") << qint64(0) << QList<int>{};
    QTest::newRow("one byte") << qint64(1) << QList<int>{100};
    QTest::newRow("exactly one chunk") << qint64(262144) << QList<int>{100};
    QTest::newRow("one chunk and a byte") << qint64(262145) << QList<int>{99, 100};
    QTest::newRow("1 MiB: four chunks") << qint64(1 << 20) << QList<int>{25, 50, 75, 100};
}

void TestContainerWriter::progress()
{
    QFETCH(qint64, size);
    QFETCH(QList<int>, expected);
    QTemporaryDir dir;
    const QString src = dir.filePath(QStringLiteral("p.bin"));
    QVERIFY(writeFile(src, QByteArray(size, 'x')));
    QList<int> seen;
    const auto r = ContainerWriter::write(src, dir.filePath(QStringLiteral("p.vcz")),
                                          [&](int percent) { seen << percent; });
    QVERIFY(r.ok);
    QCOMPARE(seen, expected);
}

void TestContainerWriter::outputPath_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("expected");
    QTest::newRow("simple") << "/videos/a.mp4"
                            << "/out/a.vcz";
    QTest::newRow("only the last suffix goes") << "/v/clip.final.mp4"
                                               << "/out/clip.final.vcz";
    QTest::newRow("no suffix") << "/v/clip"
                               << "/out/clip.vcz";
    QTest::newRow("other folder, same name") << "/elsewhere/a.mkv"
                                             << "/out/a.vcz";
    QTest::newRow("chinese name") << "/v/课程 第1讲.mov"
                                  << "/out/课程 第1讲.vcz";
}

void TestContainerWriter::outputPath()
{
    QFETCH(QString, source);
    QFETCH(QString, expected);
    QCOMPARE(ContainerWriter::outputPathFor(source, QStringLiteral("/out")), expected);
}

void TestContainerWriter::replacesExistingContainerOnlyOnSuccess()
{
    QTemporaryDir dir;
    const QString src = dir.filePath(QStringLiteral("a.mp4"));
    const QString out = dir.filePath(QStringLiteral("a.vcz"));
    QVERIFY(writeFile(src, pseudoRandom(600'000, 1)));
    QVERIFY(writeFile(out, "an earlier container"));

    // A stopped write must keep the file that was there.
    std::atomic_bool stop{false};
    const auto stopped = ContainerWriter::write(
        src, out, [&](int) { stop = true; }, &stop);
    QVERIFY(!stopped.ok);
    QCOMPARE(readFile(out), QByteArray("an earlier container"));

    const auto done = ContainerWriter::write(src, out);
    QVERIFY(done.ok);
    QCOMPARE(QFileInfo(out).size(), 600'052);
}

void TestContainerWriter::unopenableSourceOrTarget()
{
    QTemporaryDir dir;
    const QString src = dir.filePath(QStringLiteral("a.mp4"));
    QVERIFY(writeFile(src, "data"));

    auto r = ContainerWriter::write(dir.filePath(QStringLiteral("missing.mp4")),
                                    dir.filePath(QStringLiteral("missing.vcz")));
    QCOMPARE(r.error, ContainerWriter::Error::OpenSource);
    QCOMPARE(r.message, QStringLiteral("无法打开源文件"));
    QVERIFY(r.key.isEmpty() && r.iv.isEmpty() && r.videoId.isEmpty() && r.outPath.isEmpty());

    r = ContainerWriter::write(dir.path(), dir.filePath(QStringLiteral("dir.vcz")));
    QCOMPARE(r.error, ContainerWriter::Error::OpenSource);

    r = ContainerWriter::write(src, dir.filePath(QStringLiteral("no/such/folder/a.vcz")));
    QCOMPARE(r.error, ContainerWriter::Error::CreateOutput);
    QCOMPARE(r.message, QStringLiteral("无法创建输出文件"));
    QVERIFY(r.key.isEmpty());

    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("taken.vcz")));
    r = ContainerWriter::write(src, dir.filePath(QStringLiteral("taken.vcz")));
    QVERIFY(!r.ok);
    QCOMPARE(entries(dir.path()), QStringList{QStringLiteral("a.mp4")});
}

// A read that fails is an error, not the end of the file: no container that
// silently holds only part of the source may be reported as done.
void TestContainerWriter::readErrorIsNotEndOfFile()
{
#ifdef Q_OS_WIN
    QSKIP("Windows has no file whose reading fails part-way like /proc/self/mem");
#endif
    QTemporaryDir dir;
    // Reading a process's own memory at offset 0 fails with EIO.
    const auto r = ContainerWriter::write(QStringLiteral("/proc/self/mem"),
                                          dir.filePath(QStringLiteral("mem.vcz")));
    QVERIFY(!r.ok);
    QCOMPARE(r.error, ContainerWriter::Error::ReadSource);
    QVERIFY(!r.message.isEmpty());
    QVERIFY(r.key.isEmpty());
    QVERIFY(entries(dir.path()).isEmpty());
}

// A short or failed write (a full disk) fails the file and leaves no partial
// container. The file size limit makes write() fail part-way like ENOSPC does.
void TestContainerWriter::fullDiskLeavesNothing()
{
#ifdef Q_OS_WIN
    QSKIP("Windows has no per-process file size limit to make a write fail part-way");
#else
    QTemporaryDir dir;
    const QString src = dir.filePath(QStringLiteral("big.mp4"));
    QVERIFY(writeFile(src, pseudoRandom(2 * 1024 * 1024, 9)));
    const QString outDir = dir.filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(outDir));

    rlimit old{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 700'000;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto r = ContainerWriter::write(src, ContainerWriter::outputPathFor(src, outDir));
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(!r.ok);
    QCOMPARE(r.error, ContainerWriter::Error::WriteOutput);
    QVERIFY(r.key.isEmpty());
    QVERIFY(entries(outDir).isEmpty());
#endif
}

void TestContainerWriter::stopLeavesNothing()
{
    QTemporaryDir dir;
    const QString src = dir.filePath(QStringLiteral("a.mp4"));
    QVERIFY(writeFile(src, pseudoRandom(1 << 20, 3)));
    const QString outDir = dir.filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(outDir));

    std::atomic_bool stop{false};
    QList<int> seen;
    const auto r = ContainerWriter::write(
        src, ContainerWriter::outputPathFor(src, outDir),
        [&](int percent) {
            seen << percent;
            if (percent >= 50) {
                stop = true;
            }
        },
        &stop);
    QVERIFY(!r.ok);
    QCOMPARE(r.error, ContainerWriter::Error::Stopped);
    QCOMPARE(seen, (QList<int>{25, 50}));
    QVERIFY(entries(outDir).isEmpty());
}

void TestContainerWriter::concurrentWritersAreIndependent()
{
    QTemporaryDir dir;
    constexpr int kWriters = 4;
    QList<QByteArray> plains;
    for (int i = 0; i < kWriters; ++i) {
        plains << pseudoRandom(700'000 + i, 100 + i);
        QVERIFY(writeFile(dir.filePath(QStringLiteral("s%1.bin").arg(i)), plains.last()));
    }
    std::vector<ContainerWriter::Result> results(kWriters);
    std::vector<std::thread> threads;
    for (int i = 0; i < kWriters; ++i) {
        threads.emplace_back([&, i] {
            const QString src = dir.filePath(QStringLiteral("s%1.bin").arg(i));
            results[i] =
                ContainerWriter::write(src, ContainerWriter::outputPathFor(src, dir.path()));
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    QSet<QByteArray> keys;
    for (int i = 0; i < kWriters; ++i) {
        QVERIFY(results[i].ok);
        keys.insert(results[i].key);
        QVERIFY(CryptoUtils::decryptBytes(readFile(results[i].outPath).mid(52), results[i].key,
                                          results[i].iv) == plains[i]);
    }
    QCOMPARE(keys.size(), kWriters);
}

QTEST_GUILESS_MAIN(TestContainerWriter)
#include "tst_containerwriter.moc"

void TestContainerWriter::givenKeyMaterial_data()
{
    QTest::addColumn<int>("keySize");
    QTest::addColumn<int>("ivSize");
    QTest::addColumn<int>("idSize");
    QTest::addColumn<bool>("written");
    QTest::newRow("complete") << 32 << 16 << 16 << true;
    QTest::newRow("short key") << 31 << 16 << 16 << false;
    QTest::newRow("no iv") << 32 << 0 << 16 << false;
    QTest::newRow("long video id") << 32 << 16 << 17 << false;
}

// The key registered before the container exists is the one it is sealed
// under; anything short of complete secrets writes nothing.
void TestContainerWriter::givenKeyMaterial()
{
    QFETCH(int, keySize);
    QFETCH(int, ivSize);
    QFETCH(int, idSize);
    QFETCH(bool, written);
    QTemporaryDir dir;
    const QString src = dir.filePath(QStringLiteral("a.mp4"));
    const QByteArray plain = pseudoRandom(300000, 7);
    QVERIFY(writeFile(src, plain));
    ContainerWriter::KeyMaterial material;
    material.key = pseudoRandom(keySize, 1);
    material.iv = pseudoRandom(ivSize, 2);
    material.videoId = pseudoRandom(idSize, 3);

    const QString out = dir.filePath(QStringLiteral("a.vcz"));
    const ContainerWriter::Result r = ContainerWriter::write(src, out, material);
    QCOMPARE(r.ok, written);
    QCOMPARE(QFileInfo::exists(out), written);
    if (!written) {
        QCOMPARE(r.error, ContainerWriter::Error::CipherInit);
        QCOMPARE(entries(dir.path()), QStringList{QStringLiteral("a.mp4")});
        return;
    }
    QByteArray keyId, iv;
    QVERIFY(CryptoUtils::readContainerHeader(out, keyId, iv));
    QCOMPARE(QByteArray::fromHex(keyId), material.videoId);
    QCOMPARE(iv, material.iv);
    QCOMPARE(CryptoUtils::decryptBytes(readFile(out).mid(52), material.key, material.iv), plain);
}

void TestContainerWriter::permissionsFollowTheUmask_data()
{
    QTest::addColumn<int>("mask");
    QTest::addColumn<int>("mode");
    QTest::newRow("umask 022") << 022 << 0644;
    QTest::newRow("umask 002") << 002 << 0664;
    QTest::newRow("umask 077") << 077 << 0600;
}

// A container is the merchant's product, shared like any file of theirs.
void TestContainerWriter::permissionsFollowTheUmask()
{
    QFETCH(int, mask);
    QFETCH(int, mode);
#ifdef Q_OS_WIN
    Q_UNUSED(mask);
    Q_UNUSED(mode);
    QSKIP("Windows files have no umask; their access follows the folder's");
#else
    QTemporaryDir dir;
    const QString src = dir.filePath(QStringLiteral("a.mp4"));
    QVERIFY(writeFile(src, pseudoRandom(1000, 9)));
    const QString out = dir.filePath(QStringLiteral("a.vcz"));
    const mode_t before = umask(mode_t(mask));
    const bool ok = ContainerWriter::write(src, out).ok;
    umask(before);
    QVERIFY(ok);
    struct stat info
    {
    };
    QCOMPARE(stat(QFile::encodeName(out).constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 0777), mode);
#endif
}
