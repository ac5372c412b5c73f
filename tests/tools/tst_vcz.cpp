#include <QtGlobal>

#ifndef Q_OS_WIN
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>

#include "CryptoUtils.h"
#include "TestFiles.h"

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run vcz(const QStringList& args, std::function<void()> inChild = {})
{
    QProcess p;
#ifdef Q_OS_WIN
    Q_UNUSED(inChild);
    // Built beside the test; the path the build machine knows it by is not
    // one Windows can follow.
    p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/vcz.exe"), args);
#else
    if (inChild) {
        p.setChildProcessModifier(inChild);
    }
    p.start(QStringLiteral(VCZ_PATH), args);
#endif
    Run r;
    if (!p.waitForFinished(60000)) {
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QList<QJsonObject> jsonLines(const QByteArray& out)
{
    QList<QJsonObject> objects;
    for (const QByteArray& line : out.split('\n')) {
        if (!line.isEmpty()) {
            objects << QJsonDocument::fromJson(line).object();
        }
    }
    return objects;
}

}  // namespace

class TestVcz : public QObject
{
    Q_OBJECT

private slots:
    void sealPrintsWhatTheServerNeeds();
    void sealFailuresLeaveNothingAndExitNonZero();
    void sealRefusesToOverwriteItsOwnOutput();
    void sealNeverReplacesAnExistingContainer_data();
    void sealNeverReplacesAnExistingContainer();
    void sealRefusesWhatIsNotAFile_data();
    void sealRefusesWhatIsNotAFile();
    void sealRecordsTheBytesActuallySealed();
    void fullDiskGivesTheSystemsReason();
    void info();
    void usageErrors_data();
    void usageErrors();
    void printsTheProjectVersion();
};

void TestVcz::sealPrintsWhatTheServerNeeds()
{
    QTemporaryDir dir;
    const QByteArray a = QByteArray(300'000, 'a') + "tail";
    QVERIFY(writeFile(dir.filePath("lesson.one.mp4"), a));
    QVERIFY(writeFile(dir.filePath("empty.mov"), QByteArray()));
    const QString out = dir.filePath("sealed/nested");  // created on demand

    const Run r =
        vcz({"seal", dir.filePath("lesson.one.mp4"), dir.filePath("empty.mov"), "-o", out});
    QCOMPARE(r.exitCode, 0);
    const QList<QJsonObject> lines = jsonLines(r.out);
    QCOMPARE(lines.size(), 2);

    const QJsonObject first = lines[0];
    QCOMPARE(first["source"].toString(), dir.filePath("lesson.one.mp4"));
    QCOMPARE(first["container"].toString(), QDir(out).filePath("lesson.one.vcz"));
    QCOMPARE(first["sourceSize"].toInteger(), a.size());
    const QByteArray key = QByteArray::fromBase64(first["key"].toString().toLatin1());
    const QByteArray iv = QByteArray::fromBase64(first["iv"].toString().toLatin1());
    QCOMPARE(key.size(), 32);
    QCOMPARE(iv.size(), 16);

    // The printed id is the one in the header, in its dashed form.
    QByteArray keyId;
    QByteArray headerIv;
    QVERIFY(CryptoUtils::readContainerHeader(first["container"].toString(), keyId, headerIv));
    QCOMPARE(first["videoId"].toString().remove('-'), QString::fromLatin1(keyId));
    QCOMPARE(first["videoId"].toString().size(), 36);
    QCOMPARE(headerIv, iv);
    QVERIFY(CryptoUtils::decryptBytes(readFile(first["container"].toString()).mid(52), key, iv) ==
            a);

    QCOMPARE(lines[1]["sourceSize"].toInteger(), 0);
    QCOMPARE(QFileInfo(lines[1]["container"].toString()).size(), 52);
    QVERIFY(lines[0]["key"] != lines[1]["key"]);
}

void TestVcz::sealFailuresLeaveNothingAndExitNonZero()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("good.mp4"), "good"));
    const QString out = dir.filePath("out");
    const Run r = vcz({"seal", dir.filePath("missing.mp4"), dir.filePath("good.mp4"), "-o", out});
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.err.contains("missing.mp4"));
    // The good file is still done; the failed one leaves no output.
    QCOMPARE(jsonLines(r.out).size(), 1);
    QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden), QStringList{"good.vcz"});
}

void TestVcz::sealRefusesToOverwriteItsOwnOutput()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("x"));
    QVERIFY(writeFile(dir.filePath("a.mp4"), "first source"));
    QVERIFY(writeFile(dir.filePath("x/a.mkv"), "second source"));
    const QString out = dir.filePath("out");
    const Run r = vcz({"seal", dir.filePath("a.mp4"), dir.filePath("x/a.mkv"), "-o", out});
    QCOMPARE(r.exitCode, 1);
    const QList<QJsonObject> lines = jsonLines(r.out);
    QCOMPARE(lines.size(), 1);
    // The container on disk still belongs to the key that was printed.
    const QByteArray key = QByteArray::fromBase64(lines[0]["key"].toString().toLatin1());
    const QByteArray iv = QByteArray::fromBase64(lines[0]["iv"].toString().toLatin1());
    QCOMPARE(CryptoUtils::decryptBytes(readFile(QDir(out).filePath("a.vcz")).mid(52), key, iv),
             QByteArray("first source"));
}

void TestVcz::sealNeverReplacesAnExistingContainer_data()
{
    QTest::addColumn<QString>("source");  // relative to the temporary folder
    QTest::addColumn<QString>("outDir");
    QTest::newRow("container of an earlier run") << "a.mp4"
                                                 << "out";
    QTest::newRow("the source is that container") << "out/a.vcz"
                                                  << "out";
}

void TestVcz::sealNeverReplacesAnExistingContainer()
{
    QFETCH(QString, source);
    QFETCH(QString, outDir);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("out"));
    QVERIFY(writeFile(dir.filePath("a.mp4"), "the first source"));
    const Run first = vcz({"seal", dir.filePath("a.mp4"), "-o", dir.filePath("out")});
    QCOMPARE(first.exitCode, 0);
    const QString container = dir.filePath("out/a.vcz");
    const QByteArray sealed = readFile(container);

    const Run again = vcz({"seal", dir.filePath(source), "-o", dir.filePath(outDir)});
    QCOMPARE(again.exitCode, 1);
    QVERIFY(again.out.isEmpty());  // no key printed for a container not written
    QVERIFY2(again.err.contains("already exists") && again.err.contains("--force"), again.err);
    // The container and the key registered for it still go together.
    QCOMPARE(readFile(container), sealed);
    QCOMPARE(QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden), QStringList{"a.vcz"});

    const Run forced = vcz({"seal", "--force", dir.filePath(source), "-o", dir.filePath(outDir)});
    QCOMPARE(forced.exitCode, 0);
    const QJsonObject made = jsonLines(forced.out).value(0);
    const QByteArray key = QByteArray::fromBase64(made["key"].toString().toLatin1());
    const QByteArray iv = QByteArray::fromBase64(made["iv"].toString().toLatin1());
    const QByteArray expected = source == "a.mp4" ? QByteArray("the first source") : sealed;
    QCOMPARE(CryptoUtils::decryptBytes(readFile(container).mid(52), key, iv), expected);
    QCOMPARE(QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden), QStringList{"a.vcz"});
}

void TestVcz::sealRefusesWhatIsNotAFile_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QByteArray>("reason");
#ifdef Q_OS_WIN
    QTest::newRow("null device") << "NUL" << QByteArray("not a regular file");
    QTest::newRow("folder") << QDir::tempPath() << QByteArray("is a directory");
#else
    // Opened for reading, a FIFO without a writer blocks for ever, and
    // /dev/zero fills the disk.
    QTest::newRow("FIFO") << "fifo" << QByteArray("not a regular file");
    QTest::newRow("endless device") << "/dev/zero" << QByteArray("not a regular file");
    QTest::newRow("empty device") << "/dev/null" << QByteArray("not a regular file");
    QTest::newRow("folder") << "/tmp" << QByteArray("is a directory");
#endif
}

void TestVcz::sealRefusesWhatIsNotAFile()
{
    QFETCH(QString, source);
    QFETCH(QByteArray, reason);
    QTemporaryDir dir;
#ifndef Q_OS_WIN
    if (source == "fifo") {
        source = dir.filePath("pipe.mp4");
        QVERIFY(::mkfifo(QFile::encodeName(source).constData(), 0600) == 0);
    }
#endif
    QVERIFY(writeFile(dir.filePath("good.mp4"), "good"));
    QElapsedTimer timer;
    timer.start();
    const Run r = vcz({"seal", source, dir.filePath("good.mp4"), "-o", dir.filePath("out")});
    QVERIFY(timer.elapsed() < 20000);  // refused at once, not after reading
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(reason), r.err);
    QCOMPARE(jsonLines(r.out).size(), 1);  // the file beside it is still sealed
    QCOMPARE(QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden),
             QStringList{"good.vcz"});
}

void TestVcz::sealRecordsTheBytesActuallySealed()
{
    // A regular file whose size says 0 while it reads as text: what the
    // size claims is not what is sealed.
    const QString source = QStringLiteral("/proc/self/mountinfo");
    if (!QFileInfo::exists(source) || QFileInfo(source).size() != 0) {
        QSKIP("needs a /proc file that reports size 0");
    }
    QTemporaryDir dir;
    const Run r = vcz({"seal", source, "-o", dir.path()});
    QCOMPARE(r.exitCode, 0);
    const QJsonObject made = jsonLines(r.out).value(0);
    const qint64 payload = QFileInfo(made["container"].toString()).size() - 52;
    QVERIFY(payload > 0);
    QCOMPARE(made["sourceSize"].toInteger(), payload);
    const Run info = vcz({"info", "--json", made["container"].toString()});
    QCOMPARE(jsonLines(info.out).value(0)["sourceSizeLow32"].toInteger(), payload);
}

void TestVcz::fullDiskGivesTheSystemsReason()
{
#ifdef Q_OS_WIN
    QSKIP("Windows has no per-process file size limit to make a write fail part-way");
#else
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("big.mp4"), QByteArray(3'000'000, 'b')));
    // The child may write 1 MB per file; past that the system refuses, as it
    // would on a full disk, but with its own reason.
    const Run r = vcz({"seal", dir.filePath("big.mp4"), "-o", dir.filePath("out")}, [] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1'000'000, 1'000'000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(std::strerror(EFBIG)), r.err);
    QVERIFY2(!r.err.contains("Unknown error"), r.err);
    QVERIFY(r.out.isEmpty());
    QCOMPARE(QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden), QStringList{});
#endif
}

void TestVcz::info()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("clip.mp4"), QByteArray(1000, 'c')));
    const Run sealed = vcz({"seal", dir.filePath("clip.mp4"), "-o", dir.path()});
    QCOMPARE(sealed.exitCode, 0);
    const QJsonObject made = jsonLines(sealed.out).value(0);

    const Run ok = vcz({"info", "--json", dir.filePath("clip.vcz")});
    QCOMPARE(ok.exitCode, 0);
    const QJsonObject info = jsonLines(ok.out).value(0);
    QCOMPARE(info["videoId"].toString(), made["videoId"].toString());
    QCOMPARE(info["keyId"].toString(), made["videoId"].toString().remove('-'));
    QCOMPARE(info["iv"].toString(),
             QString::fromLatin1(QByteArray::fromBase64(made["iv"].toString().toLatin1()).toHex()));
    QCOMPARE(info["payloadSize"].toInteger(), 1000);
    QCOMPARE(info["sourceSizeLow32"].toInteger(), 1000);
    QVERIFY(!info.contains("sourceSize"));  // not to be taken for seal's full size
    QVERIFY(!ok.out.contains(made["key"].toString().toLatin1()));

    const Run text = vcz({"info", dir.filePath("clip.vcz")});
    QCOMPARE(text.exitCode, 0);
    QVERIFY(text.out.contains(made["videoId"].toString().toLatin1()));

    // A non-container among containers: reported, the rest still shown, exit 1.
    const Run mixed =
        vcz({"info", dir.filePath("clip.mp4"), dir.filePath("clip.vcz"), dir.filePath("nope")});
    QCOMPARE(mixed.exitCode, 1);
    QVERIFY(mixed.err.contains("clip.mp4"));
    QVERIFY(mixed.err.contains("nope"));
    QVERIFY(mixed.out.contains("valid container"));
}

void TestVcz::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no command") << QStringList{};
    QTest::newRow("unknown command") << QStringList{"decrypt", "x.vcz"};
    QTest::newRow("seal without -o") << QStringList{"seal", "a.mp4"};
    QTest::newRow("seal -o without dir") << QStringList{"seal", "a.mp4", "-o"};
    QTest::newRow("seal without sources") << QStringList{"seal", "-o", "/tmp"};
    QTest::newRow("seal with a key option")
        << QStringList{"seal", "a.mp4", "--key", "x", "-o", "/tmp"};
    QTest::newRow("info without files") << QStringList{"info"};
}

void TestVcz::usageErrors()
{
    QFETCH(QStringList, args);
    const Run r = vcz(args);
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.contains("usage:"));
    QVERIFY(r.out.isEmpty());
}

// The packages are made with CMake's project version: the tool must say the
// same, and its usage must offer the option.
void TestVcz::printsTheProjectVersion()
{
    const Run r = vcz({"--version"});
    QCOMPARE(r.exitCode, 0);
    // One line, ended as the platform ends lines on a console.
    QCOMPARE(r.out.trimmed(), QByteArray("vcz " VEILCAST_PROJECT_VERSION));
    QVERIFY(r.out.endsWith("\n"));
    QVERIFY(vcz({"--help"}).out.contains("vcz --version"));
}

QTEST_GUILESS_MAIN(TestVcz)
#include "tst_vcz.moc"
