// The look into a source before its key is made: what counts as media, what
// does not, and that neither a FIFO nor a large file holds it up.
#include <sys/stat.h>

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "MediaProbe.h"
#include "TestFiles.h"

using Verdict = MediaProbe::Verdict;
Q_DECLARE_METATYPE(MediaProbe::Verdict)

namespace {

bool makeClip(const QString& path, const QStringList& extra = {})
{
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg",
                 QStringList{"-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "lavfi",
                             "-i", "testsrc=size=64x48:rate=10", "-t", "0.5", "-c:v", "mpeg4"} +
                     extra + QStringList{"file:" + path});
    return ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0;
}

}  // namespace

class TestMediaProbe : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private slots:
    void verdicts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<Verdict>("expected");

        QTest::newRow("a clip") << "clip.mp4"
                                << "clip" << Verdict::Media;
        QTest::newRow("a clip under another suffix") << "clip.mkv"
                                                     << "clip" << Verdict::Media;
        QTest::newRow("sound only") << "sound.mp4"
                                    << "wav" << Verdict::Media;
        // The clip's index sits at its end: cut short, it plays nowhere.
        QTest::newRow("a clip cut short") << "cut.mp4"
                                          << "cut" << Verdict::NotMedia;
        QTest::newRow("zeros") << "zeros.mp4"
                               << "zeros" << Verdict::NotMedia;
        QTest::newRow("4 GiB of zeros") << "huge.mp4"
                                        << "huge" << Verdict::NotMedia;
        QTest::newRow("text") << "notes.mov"
                              << "text" << Verdict::NotMedia;
        QTest::newRow("empty") << "empty.ts"
                               << "empty" << Verdict::NotMedia;
        QTest::newRow("missing") << "missing.mp4"
                                 << "missing" << Verdict::Unreadable;
        QTest::newRow("a folder") << "folder.mp4"
                                  << "folder" << Verdict::Unreadable;
        QTest::newRow("a FIFO") << "pipe.mp4"
                                << "fifo" << Verdict::Unreadable;
    }

    void verdicts()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(Verdict, expected);
        const QString path = m_dir.filePath(name);
        if (kind == "clip") {
            QVERIFY(makeClip(path, {"-f", "mp4"}));
        } else if (kind == "cut") {
            const QString whole = m_dir.filePath("whole.mp4");
            QVERIFY(makeClip(whole));
            QVERIFY(writeFile(path, readFile(whole).left(2048)));
        } else if (kind == "wav") {
            QVERIFY(writeSilentWav(path, 64 * 1024));
        } else if (kind == "zeros") {
            QVERIFY(writeFile(path, QByteArray(300000, '\0')));
        } else if (kind == "huge") {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(qint64(4) << 30));
        } else if (kind == "text") {
            QVERIFY(writeFile(path, QByteArray("这不是视频，只是一段说明文字。\n").repeated(2000)));
        } else if (kind == "empty") {
            QVERIFY(writeFile(path, {}));
        } else if (kind == "folder") {
            QVERIFY(QDir(m_dir.path()).mkdir(name));
        } else if (kind == "fifo") {
            QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        }

        QElapsedTimer timer;
        timer.start();
        QCOMPARE(MediaProbe::check(path), expected);
        // A look, not a read: generous for a busy machine, far below what
        // reading 4 GiB would take.
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));

        QFuture<Verdict> later = MediaProbe::checkLater(path);
        QVERIFY(QTest::qWaitFor([&] { return later.isFinished(); }, 10000));
        QCOMPARE(later.result(), expected);
        QCOMPARE(MediaProbe::messageFor(expected).isEmpty(), expected == Verdict::Media);
    }
};

QTEST_MAIN(TestMediaProbe)
#include "tst_mediaprobe.moc"
