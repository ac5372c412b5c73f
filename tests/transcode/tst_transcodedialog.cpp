// The transcode dialog with the real encoder: its checks before starting, the
// question before an existing file is replaced, the result, and closing it
// during a conversion.
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "Ffmpeg.h"
#include "ModalDriver.h"
#include "TestFiles.h"
#include "TranscodeDialog.h"
#include "TranscodeService.h"

namespace {

bool makeClip(const QString& path, int seconds)
{
    return runFfmpeg({"-f", "lavfi", "-i",
                      QString("testsrc=size=640x360:rate=25:duration=%1").arg(seconds), "-c:v",
                      "mpeg4", "-q:v", "3", "file:" + path});
}

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// What the next message card said ("title|message|icon"), after pressing
// the named button on it.
struct CardReader
{
    QString seen = "<no card>";
    void expect(const char* button, int limitMs = 5000)
    {
        const QString name = QString::fromLatin1(button);
        ModalDriver::whenModal(
            [this, name](QWidget* card) {
                if (!card) {
                    return;
                }
                seen = card->findChild<QLabel*>("confirmTitle")->text() + "|" +
                       card->findChild<QLabel*>("confirmMsg")->text() + "|" +
                       card->findChild<QLabel*>("confirmIcon")->text();
                card->findChild<QPushButton*>(name)->click();
            },
            limitMs);
    }
};

}  // namespace

class TestTranscodeDialog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_clip;

private slots:
    void initTestCase()
    {
        QVERIFY(TranscodeService::ffmpegAvailable());
        m_clip = m_dir.filePath("clip.mkv");
        QVERIFY(makeClip(m_clip, 60));
        QVERIFY(QDir(m_dir.path()).mkdir("sub"));
    }

    void checksBeforeStarting_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("message");
        QTest::newRow("no input") << ""
                                  << "x.mp4" << QString::fromUtf8("请先选择要压缩的视频文件。");
        QTest::newRow("no output") << "clip.mkv"
                                   << "  " << QString::fromUtf8("请选择转换后的保存位置。");
        QTest::newRow("output is the input by another path")
            << "clip.mkv"
            << "sub/../clip.mkv" << QString::fromUtf8("保存位置不能和源文件相同。");
    }

    void checksBeforeStarting()
    {
        QFETCH(QString, input);
        QFETCH(QString, output);
        QFETCH(QString, message);
        TranscodeDialog dialog;
        dialog.findChild<QLineEdit*>("tcInput")->setText(input.isEmpty() ? input
                                                                         : m_dir.filePath(input));
        dialog.findChild<QLineEdit*>("tcOutput")
            ->setText(output.trimmed().isEmpty() ? output : m_dir.filePath(output));
        CardReader card;
        card.expect("confirmOk");
        dialog.onStartClicked();
        QCOMPARE(card.seen, QString::fromUtf8("提示|") + message + QString::fromUtf8("|⚠"));
        QVERIFY(!dialog.isBusy());
        QVERIFY(!dialog.service()->isRunning());
    }

    void existingTargetIsReplacedOnlyWhenConfirmed()
    {
        QTemporaryDir out;
        const QString target = out.filePath("clip_compressed.mp4");
        QVERIFY(writeFile(target, "an earlier file"));
        TranscodeDialog dialog;
        dialog.findChild<QLineEdit*>("tcInput")->setText(m_clip);
        dialog.findChild<QLineEdit*>("tcOutput")->setText(target);
        dialog.findChild<QComboBox*>("tcQuality")->setCurrentIndex(2);  // fastest to finish

        CardReader question;
        question.expect("confirmCancel");
        dialog.onStartClicked();
        QVERIFY(question.seen.startsWith(QString::fromUtf8("文件已存在|")));
        QVERIFY(!dialog.isBusy());
        QCOMPARE(readFile(target), QByteArray("an earlier file"));

        question.expect("confirmOk");
        CardReader done;
        dialog.onStartClicked();
        QVERIFY(dialog.isBusy());
        QVERIFY(!dialog.findChild<QPushButton*>("tcStartBtn")->isEnabled());
        done.expect("confirmOk", 300000);
        QVERIFY(QTest::qWaitFor([&] { return !dialog.isBusy(); }, 300000));
        QTRY_COMPARE_WITH_TIMEOUT(done.seen, QString::fromUtf8("完成|视频已压缩转换完成。|ⓘ"),
                                  5000);
        QCOMPARE(dialog.findChild<QLabel*>("tcStatus")->text(),
                 QString::fromUtf8("转换完成：clip_compressed.mp4"));
        QVERIFY(readFile(target).size() > 1000);
        QCOMPARE(entries(out.path()), QStringList{"clip_compressed.mp4"});
    }

    void closingDuringAConversionLeavesNothing()
    {
        QTemporaryDir out;
        const QString target = out.filePath("clip.mp4");
        TranscodeDialog dialog;
        dialog.findChild<QLineEdit*>("tcInput")->setText(m_clip);
        dialog.findChild<QLineEdit*>("tcOutput")->setText(target);
        dialog.findChild<QComboBox*>("tcQuality")->setCurrentIndex(0);
        dialog.onStartClicked();
        QVERIFY(dialog.service()->isRunning());
        QVERIFY(QTest::qWaitFor([&] { return !entries(out.path()).isEmpty(); }, 10000));

        dialog.reject();
        QVERIFY(!dialog.service()->isRunning());
        QVERIFY(!dialog.isBusy());
        QCOMPARE(dialog.findChild<QLabel*>("tcStatus")->text(), QString::fromUtf8("已取消转码。"));
        QTest::qWait(200);
        QCOMPARE(entries(out.path()), QStringList());
    }
};

QTEST_MAIN(TestTranscodeDialog)
#include "tst_transcodedialog.moc"
