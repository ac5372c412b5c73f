// The transcode service with the real encoder on clips generated here, and
// its log reader fed the way the encoder's output arrives: in pieces.
#include <QtGlobal>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "Ffmpeg.h"
#include "TestFiles.h"
#include "TranscodeLogParser.h"
#include "TranscodeService.h"

namespace {

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

bool makeClip(const QString& path, int seconds, const QString& size)
{
    return runFfmpeg({"-f", "lavfi", "-i",
                      QString("testsrc=size=%1:rate=25:duration=%2").arg(size).arg(seconds), "-f",
                      "lavfi", "-i", QString("sine=frequency=440:duration=%1").arg(seconds), "-c:v",
                      "mpeg4", "-q:v", "3", "-c:a", "mp2", "-shortest", "file:" + path});
}

// "video:h264 audio:aac" for a playable MP4.
QString probe(const QString& path)
{
#ifdef Q_OS_WIN
    // No ffprobe in the Windows folder: the encoder's own description of
    // its input, "Stream #0:0(und): Video: h264 (High) ...".
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-hide_banner", "-nostdin", "-i", "file:" + path});
    if (!ffmpeg.waitForFinished(30000)) {
        return "<ffmpeg failed>";
    }
    QStringList streams;
    const QRegularExpression stream(QStringLiteral(R"(Stream #\d+:\d+.*?: (Video|Audio): (\w+))"));
    auto it = stream.globalMatch(QString::fromLocal8Bit(ffmpeg.readAllStandardError()));
    while (it.hasNext()) {
        const auto m = it.next();
        streams << m.captured(1).toLower() + ":" + m.captured(2);
    }
    streams.sort();
    return streams.join(' ');
#else
    QProcess ffprobe;
    ffprobe.start("ffprobe", {"-v", "error", "-show_entries", "stream=codec_type,codec_name", "-of",
                              "csv=p=0", "file:" + path});
    if (!ffprobe.waitForFinished(30000) || ffprobe.exitCode() != 0) {
        return "<ffprobe failed>";
    }
    QStringList streams;
    for (const QByteArray& line : ffprobe.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> f = line.trimmed().split(',');
        if (f.size() == 2) {
            streams << QString::fromLatin1(f[1] + ":" + f[0]);
        }
    }
    streams.sort();
    return streams.join(' ');
#endif
}

}  // namespace

class TestTranscodeService : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_media;
    QString m_short;  // 2 s
    QString m_long;   // long enough to be cancelled while it runs

private slots:
    void initTestCase()
    {
        QVERIFY2(!QStandardPaths::findExecutable("ffmpeg").isEmpty(), "ffmpeg is not installed");
        QVERIFY(TranscodeService::ffmpegAvailable());
        m_short = m_media.filePath("short.mkv");
        m_long = m_media.filePath("long.mkv");
        QVERIFY(makeClip(m_short, 2, "320x240"));
        QVERIFY(makeClip(m_long, 120, "640x360"));
    }

    void logReader_data()
    {
        QTest::addColumn<QByteArrayList>("reads");
        QTest::addColumn<QList<int>>("expected");
        QTest::addColumn<qint64>("durationMs");

        QTest::newRow("duration, then a position")
            << QByteArrayList{"  Duration: 00:01:40.00, start: 0.000000, bitrate: 1 kb/s\n",
                              "frame=  1 fps=0 q=0 size=0kB time=00:00:50.00 bitrate=1\r"}
            << QList<int>{50} << qint64(100000);
        QTest::newRow("duration split mid-pattern across two reads")
            << QByteArrayList{"Input #0, matroska\n  Dura", "tion: 00:01:40.00, start: 0.0\n",
                              "frame=  1 time=00:00:25.00 bitrate=1\r"}
            << QList<int>{25} << qint64(100000);
        QTest::newRow("duration split inside its digits")
            << QByteArrayList{"  Duration: 00:0", "0:10.00, start: 0.0\ntime=00:00:01.00\r"}
            << QList<int>{10} << qint64(10000);
        QTest::newRow("position split across reads is read once complete")
            << QByteArrayList{"  Duration: 00:00:10.00, x\nframe=1 time=00:0",
                              "0:05.00 bitrate=1\r"}
            << QList<int>{50} << qint64(10000);
        QTest::newRow("the last of several positions in one read")
            << QByteArrayList{"  Duration: 00:01:40.00,\n",
                              "time=00:00:10.00 x\rtime=00:00:20.00 x\r"}
            << QList<int>{20} << qint64(100000);
        QTest::newRow("beyond the duration stays at 99")
            << QByteArrayList{"  Duration: 00:00:10.00,\n", "time=00:00:12.00 x\r"}
            << QList<int>{99} << qint64(10000);
        QTest::newRow("no duration, no progress")
            << QByteArrayList{"  Duration: N/A, start: 0\n", "time=00:00:12.00 x\r"} << QList<int>{}
            << qint64(0);
        QTest::newRow("fraction with three digits")
            << QByteArrayList{"  Duration: 00:00:02.500,\n", "time=00:00:01.250 x\r"}
            << QList<int>{50} << qint64(2500);
        // Digits enough to overflow 64 bits once turned into milliseconds.
        QTest::newRow("absurd hours in a position read as far beyond the end")
            << QByteArrayList{"  Duration: 01:00:00.00\r\n", "time=0999999999999999990:59:59.99\n"}
            << QList<int>{99} << qint64(3600000);
        QTest::newRow("absurd duration: a real position is near its start")
            << QByteArrayList{"  Duration: 9223372036854775807:9223372036854775807:"
                              "9223372036854775807.999\n",
                              "time=01:00:00.00\r"}
            << QList<int>{0}
            << qint64(3 * TranscodeLogParser::kMaxHours * 3600 * 1000 + 999);
    }

    void logReader()
    {
        QFETCH(QByteArrayList, reads);
        QFETCH(QList<int>, expected);
        QFETCH(qint64, durationMs);
        TranscodeLogParser parser;
        QList<int> seen;
        for (const QByteArray& read : reads) {
            const int percent = parser.feed(read);
            if (percent >= 0) {
                seen << percent;
            }
        }
        QCOMPARE(seen, expected);
        QCOMPARE(parser.durationMs(), durationMs);
    }

    void presets_data()
    {
        QTest::addColumn<int>("quality");
        QTest::addColumn<QString>("crf");
        QTest::newRow("near original") << 0 << "22";
        QTest::newRow("balanced") << 1 << "26";
        QTest::newRow("smallest") << 2 << "30";
        QTest::newRow("unknown is balanced") << 7 << "26";
    }

    void presets()
    {
        QFETCH(int, quality);
        QFETCH(QString, crf);
        const QStringList args = TranscodeService::arguments("-i.mkv", "http:x.mp4", quality);
        QCOMPARE(args.at(args.indexOf("-crf") + 1), crf);
        // Names that look like options or URLs stay file names.
        QCOMPARE(args.at(args.indexOf("-i") + 1),
                 "file:" + QDir::current().absoluteFilePath("-i.mkv"));
        QCOMPARE(args.last(), "file:" + QDir::current().absoluteFilePath("http:x.mp4"));
        QVERIFY(args.contains("-nostdin"));
    }

    void convertsAClipEndToEnd()
    {
        QTemporaryDir out;
        // Names that would be options or URLs if passed bare.
        const QString input = out.filePath("-x.mkv");
        QVERIFY(QFile::copy(m_short, input));
#ifdef Q_OS_WIN
        // No file name on Windows holds a colon; an option's look will do.
        const QString output = out.filePath("-clip.mp4");
#else
        const QString output = out.filePath("http:clip.mp4");
#endif

        TranscodeService service;
        QList<int> seen;
        connect(&service, &TranscodeService::progress, this, [&](int p) { seen << p; });
        QSignalSpy done(&service, &TranscodeService::finished);
        service.transcode(input, output, Balanced);
        QVERIFY(service.isRunning());
        service.transcode(m_long, out.filePath("second.mp4"), Balanced);  // ignored
        QVERIFY(done.wait(120000));
        QTest::qWait(100);

        QCOMPARE(done.size(), 1);
        QVERIFY2(done.first().at(0).toBool(), qPrintable(done.first().at(1).toString()));
        QCOMPARE(done.first().at(1).toString(), output);
        QVERIFY(!service.isRunning());
        QVERIFY(!seen.isEmpty());
        QCOMPARE(seen.last(), 100);
        QCOMPARE(seen.count(100), 1);
        QVERIFY(std::is_sorted(seen.cbegin(), seen.cend()));
        QVERIFY2(seen.size() > 1, "no progress came from the log");
        QCOMPARE(probe(output), QStringLiteral("audio:aac video:h264"));
        QStringList expected{"-x.mkv", QFileInfo(output).fileName()};
        expected.sort();
        QStringList left = entries(out.path());
        left.sort();
        QCOMPARE(left, expected);
    }

    void outputHasTheUsersUsualPermissions_data()
    {
        QTest::addColumn<int>("mask");
        QTest::addColumn<int>("mode");
        QTest::newRow("umask 022") << 022 << 0644;
        QTest::newRow("umask 002") << 002 << 0664;
        QTest::newRow("umask 077") << 077 << 0600;
    }

    // The video is the user's, to share like any other file of theirs.
    void outputHasTheUsersUsualPermissions()
    {
        QFETCH(int, mask);
        QFETCH(int, mode);
#ifdef Q_OS_WIN
        Q_UNUSED(mask);
        Q_UNUSED(mode);
        QSKIP("Windows files have no umask; their access follows the folder's");
#else
        QTemporaryDir out;
        const QString output = out.filePath("shared.mp4");
        const mode_t before = umask(mode_t(mask));
        TranscodeService service;
        QSignalSpy done(&service, &TranscodeService::finished);
        service.transcode(m_short, output, Balanced);
        const bool ended = done.wait(120000);
        umask(before);
        QVERIFY(ended);
        QVERIFY2(done.first().at(0).toBool(), qPrintable(done.first().at(1).toString()));
        struct stat info
        {
        };
        QCOMPARE(stat(QFile::encodeName(output).constData(), &info), 0);
        QCOMPARE(int(info.st_mode & 0777), mode);
#endif
    }

    void cancelLeavesTheEarlierFileAndNoPartialOne()
    {
        QTemporaryDir out;
        const QString output = out.filePath("long.mp4");
        QVERIFY(writeFile(output, "an earlier file"));

        TranscodeService service;
        QSignalSpy progress(&service, &TranscodeService::progress);
        QSignalSpy done(&service, &TranscodeService::finished);
        service.transcode(m_long, output, Smallest, true);
        QVERIFY(progress.wait(60000));
        QVERIFY(done.isEmpty());
        QCOMPARE(entries(out.path()).size(), 2);  // the encoder's file exists

        service.cancel();
        QCOMPARE(done.size(), 1);
        QCOMPARE(done.first().at(0).toBool(), false);
        QCOMPARE(done.first().at(1).toString(), QString::fromUtf8("已取消转码。"));
        QVERIFY(!service.isRunning());
        QTest::qWait(200);
        QCOMPARE(done.size(), 1);
        QCOMPARE(entries(out.path()), QStringList{"long.mp4"});
        QCOMPARE(readFile(output), QByteArray("an earlier file"));
    }

    void failedRunLeavesTheEarlierFile()
    {
        QTemporaryDir out;
        const QString input = out.filePath("broken.mkv");
        QVERIFY(writeFile(input, QByteArray(4096, 'z')));
        const QString output = out.filePath("broken.mp4");
        QVERIFY(writeFile(output, "an earlier file"));

        TranscodeService service;
        QSignalSpy done(&service, &TranscodeService::finished);
        service.transcode(input, output, Balanced, true);
        QVERIFY(done.wait(60000));
        QCOMPARE(done.first().at(0).toBool(), false);
        QCOMPARE(done.first().at(1).toString(),
                 QString::fromUtf8("转码失败，可能是源文件格式不受支持或已损坏。"));
        QCOMPARE(readFile(output), QByteArray("an earlier file"));
        QCOMPARE(entries(out.path()), (QStringList{"broken.mkv", "broken.mp4"}));
    }

    void refusedBeforeAnythingStarts_data()
    {
        QTest::addColumn<QString>("case_");
        QTest::addColumn<QString>("message");
        QTest::newRow("target is the source by another path")
            << "same" << QString::fromUtf8("保存位置不能和源文件相同。");
#ifdef Q_OS_WIN
        QTest::newRow("target is the source in other letter case")
            << "case" << QString::fromUtf8("保存位置不能和源文件相同。");
#else
        QTest::newRow("target is the source through a link")
            << "link" << QString::fromUtf8("保存位置不能和源文件相同。");
#endif
        QTest::newRow("existing target not confirmed")
            << "exists" << QString::fromUtf8("保存位置已有同名文件。");
#ifdef Q_OS_WIN
        QTest::newRow("source is a device")
            << "device" << QString::fromUtf8("源文件不存在或不是普通文件。");
#else
        QTest::newRow("source is a FIFO")
            << "fifo" << QString::fromUtf8("源文件不存在或不是普通文件。");
#endif
#ifdef Q_OS_WIN
        QTest::newRow("no encoder")
            << "noencoder" << QString::fromUtf8("未找到转码组件 ffmpeg.exe，请确认安装完整。");
#else
        QTest::newRow("no encoder")
            << "noencoder" << QString::fromUtf8("未找到转码组件 ffmpeg，请确认安装完整。");
#endif
        QTest::newRow("encoder that cannot start")
            << "nostart" << QString::fromUtf8("无法启动转码进程。");
    }

    void refusedBeforeAnythingStarts()
    {
        QFETCH(QString, case_);
        QFETCH(QString, message);
        QTemporaryDir out;
        QVERIFY(QDir(out.path()).mkdir("sub"));
        QString input = out.filePath("a.mkv");
        QVERIFY(QFile::copy(m_short, input));
        const QByteArray original = readFile(input);
        QString output = out.filePath("b.mp4");
        TranscodeService service;
        if (case_ == "same") {
            output = out.filePath("sub/../a.mkv");
        } else if (case_ == "link") {
            QVERIFY(QFile::link(out.path(), out.filePath("sub/alias")));
            output = out.filePath("sub/alias/a.mkv");
        } else if (case_ == "exists") {
            QVERIFY(writeFile(output, "keep me"));
#ifdef Q_OS_WIN
        } else if (case_ == "case") {
            output = out.filePath("A.MKV");
        } else if (case_ == "device") {
            input = QStringLiteral("NUL");
#else
        } else if (case_ == "fifo") {
            input = out.filePath("pipe.mkv");
            QCOMPARE(mkfifo(QFile::encodeName(input).constData(), 0600), 0);
#endif
        } else if (case_ == "noencoder") {
            service.setEncoderPath(out.filePath("nowhere/ffmpeg"));
        } else if (case_ == "nostart") {
            const QString notAProgram = out.filePath("sub/ffmpeg");
            QVERIFY(writeFile(notAProgram, "not a program"));
            service.setEncoderPath(notAProgram);
        }
        QStringList before = entries(out.path());

        QSignalSpy done(&service, &TranscodeService::finished);
        service.transcode(input, output, Balanced,
                          case_ == "same" || case_ == "link" || case_ == "case");
        QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, 10000);
        QTest::qWait(100);
        QCOMPARE(done.size(), 1);
        QCOMPARE(done.first().at(0).toBool(), false);
        QCOMPARE(done.first().at(1).toString(), message);
        QVERIFY(!service.isRunning());
        QVERIFY2(entries(out.path()) == before, qPrintable(entries(out.path()).join(", ")));
        QCOMPARE(readFile(out.filePath("a.mkv")), original);
        if (case_ == "exists") {
            QCOMPARE(readFile(output), QByteArray("keep me"));
        }
    }
};

QTEST_GUILESS_MAIN(TestTranscodeService)
#include "tst_transcodeservice.moc"
