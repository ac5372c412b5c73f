#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "CryptoUtils.h"
#include "TestFiles.h"

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run vcz(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral(VCZ_PATH), args);
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
    void info();
    void usageErrors_data();
    void usageErrors();
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
    QCOMPARE(info["sourceSize"].toInteger(), 1000);
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

QTEST_GUILESS_MAIN(TestVcz)
#include "tst_vcz.moc"
