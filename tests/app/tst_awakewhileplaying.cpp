// The main window holds the desktop's screen saver off while a video plays,
// and only then: checked against a screen-saver service of the test's own
// on a private session bus, which the window's session bus is pointed at.
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "ContainerWriter.h"
#include "Ffmpeg.h"
#include "MainWindow.h"
#include "MediaPlayer.h"
#include "PlayerWidget.h"
#include "SessionBus.h"

class TestAwakeWhilePlaying : public QObject
{
    Q_OBJECT

    PrivateSessionBus m_bus;
    QTemporaryDir m_dir;
    ContainerWriter::Result m_clip;

private slots:
    void initTestCase()
    {
        QString why;
        QVERIFY2(m_bus.start(&why), qPrintable(why));
        // Read when the window first asks for the session bus.
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.address().toUtf8());
        QVERIFY(m_dir.isValid());
        const QString plain = m_dir.filePath(QStringLiteral("clip.mp4"));
        QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25", "-t", "10", "-c:v",
                           "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", plain}));
        m_clip = ContainerWriter::write(plain, m_dir.filePath(QStringLiteral("clip.vcz")));
        QVERIFY(m_clip.ok);
    }

    void heldWhilePlayingOnly()
    {
        QDBusConnection desktop = m_bus.connect(QStringLiteral("desktop"));
        FakeScreenSaver saver;
        QVERIFY(saver.serveOn(desktop));
        const auto holds = [&] { return saver.active.size(); };
        {
            MainWindow window;
            MediaPlayer* player = window.playerPage()->player();
            QTest::qWait(200);
            QCOMPARE(saver.calls.size(), 0);  // nothing plays yet

            player->open(m_clip.outPath, m_clip.key, m_clip.iv);
            QCOMPARE(player->state(), PlayerState::Playing);
            QTRY_COMPARE(holds(), 1);

            player->pause();
            QTRY_COMPARE(holds(), 0);
            player->resume();
            QTRY_COMPARE(holds(), 1);
            player->stop();
            QTRY_COMPARE(holds(), 0);
            player->open(m_clip.outPath, m_clip.key, m_clip.iv);
            QTRY_COMPARE(holds(), 1);
            // One hold at a time: every Inhibit was followed by its release
            // before the next.
            QCOMPARE(saver.calls.filter(QRegularExpression(QStringLiteral("^Inhibit "))).size(), 3);
        }
        // Closing the window while playing gives the hold back.
        QTRY_COMPARE(holds(), 0);
        QCOMPARE(saver.calls.filter(QRegularExpression(QStringLiteral("^UnInhibit "))).size(), 3);
        saver.withdraw(desktop);
    }
};

QTEST_MAIN(TestAwakeWhilePlaying)
#include "tst_awakewhileplaying.moc"
