// The screen-saver hold against a desktop service of our own on a private
// session bus: which calls reach it, when, and with which cookie.
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include "ScreenAwake.h"
#include "SessionBus.h"

class TestScreenAwake : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void holdFollowsTheWish();
    void releaseBeforeTheAnswerIsCarriedOut();
    void destructionGivesTheHoldBack();
    void noServiceMeansNoHold();

private:
    QDBusConnection clientBus(const QString& name) { return m_bus.connect(name); }

    PrivateSessionBus m_bus;
    FakeScreenSaver* m_saver = nullptr;
    int m_connections = 0;
};

void TestScreenAwake::initTestCase()
{
    QString why;
    QVERIFY2(m_bus.start(&why), qPrintable(why));
}

void TestScreenAwake::init()
{
    const QString name = QStringLiteral("saver-%1").arg(++m_connections);
    QDBusConnection bus = clientBus(name);
    QVERIFY(bus.isConnected());
    m_saver = new FakeScreenSaver;
    QVERIFY(m_saver->serveOn(bus));
}

void TestScreenAwake::cleanup()
{
    const QString name = QStringLiteral("saver-%1").arg(m_connections);
    m_saver->withdraw(QDBusConnection(name));
    QDBusConnection::disconnectFromBus(name);
    delete m_saver;
    m_saver = nullptr;
}

void TestScreenAwake::holdFollowsTheWish()
{
    const QString clientName = QStringLiteral("client-%1").arg(m_connections);
    {
        ScreenAwake awake(clientBus(clientName));
        QSignalSpy held(&awake, &ScreenAwake::heldChanged);

        awake.setWanted(true, QStringLiteral("正在播放视频"));
        awake.setWanted(true);  // asked twice while playing: one hold
        QTRY_VERIFY(awake.isHeld());
        QCOMPARE(m_saver->calls.size(), 1);
        QVERIFY(m_saver->calls.first().startsWith(QStringLiteral("Inhibit ")));
        QVERIFY(m_saver->calls.first().endsWith(QStringLiteral(" 正在播放视频")));
        QCOMPARE(m_saver->active, QSet<uint>{41});

        // Pause: the hold named by its cookie is given back.
        awake.setWanted(false);
        QVERIFY(!awake.isHeld());
        QTRY_COMPARE(m_saver->calls.size(), 2);
        QCOMPARE(m_saver->calls.at(1), QStringLiteral("UnInhibit 41"));
        QVERIFY(m_saver->active.isEmpty());

        // Play again: a new hold, and a new cookie released with it.
        awake.setWanted(true);
        QTRY_VERIFY(awake.isHeld());
        awake.setWanted(false);
        QTRY_COMPARE(m_saver->calls.size(), 4);
        QCOMPARE(m_saver->calls.at(3), QStringLiteral("UnInhibit 42"));
        QVERIFY(m_saver->active.isEmpty());
        QCOMPARE(held.size(), 4);
    }
    QDBusConnection::disconnectFromBus(clientName);
}

void TestScreenAwake::releaseBeforeTheAnswerIsCarriedOut()
{
    const QString clientName = QStringLiteral("client-%1").arg(m_connections);
    const QString saverName = QStringLiteral("saver-%1").arg(m_connections);
    {
        ScreenAwake awake(clientBus(clientName));
        m_saver->holdAnswers = true;
        awake.setWanted(true);
        QTRY_COMPARE(m_saver->calls.size(), 1);
        // Paused before the desktop answered: nothing to give back yet.
        awake.setWanted(false);
        QVERIFY(!awake.isHeld());
        m_saver->answerHeldBack(QDBusConnection(saverName));
        // The cookie that arrives late is released at once, or the screen
        // would stay awake through the pause.
        QTRY_COMPARE(m_saver->calls.size(), 2);
        QCOMPARE(m_saver->calls.at(1), QStringLiteral("UnInhibit 41"));
        QVERIFY(m_saver->active.isEmpty());
        QVERIFY(!awake.isHeld());
    }
    QDBusConnection::disconnectFromBus(clientName);
}

void TestScreenAwake::destructionGivesTheHoldBack()
{
    const QString clientName = QStringLiteral("client-%1").arg(m_connections);
    {
        auto awake = std::make_unique<ScreenAwake>(clientBus(clientName));
        awake->setWanted(true);
        QTRY_VERIFY(awake->isHeld());
        awake.reset();  // the page closes while playing
        // The client's connection stays up, so only an explicit release
        // ends the hold.
        QTRY_COMPARE(m_saver->calls.size(), 2);
        QCOMPARE(m_saver->calls.at(1), QStringLiteral("UnInhibit 41"));
    }
    QDBusConnection::disconnectFromBus(clientName);
}

void TestScreenAwake::noServiceMeansNoHold()
{
    // A desktop without the service: the wish stays, no hold is claimed,
    // and nothing waits.
    cleanup();
    const QString clientName = QStringLiteral("client-none");
    {
        ScreenAwake awake(clientBus(clientName));
        QSignalSpy held(&awake, &ScreenAwake::heldChanged);
        QElapsedTimer timer;
        timer.start();
        awake.setWanted(true);
        QVERIFY(timer.elapsed() < 1000);
        QTest::qWait(300);
        QVERIFY(awake.isWanted());
        QVERIFY(!awake.isHeld());
        awake.setWanted(false);
        QVERIFY(!awake.isHeld());
        for (const QList<QVariant>& change : std::as_const(held)) {
            QVERIFY(!change.first().toBool());
        }
    }
    QDBusConnection::disconnectFromBus(clientName);
    // Unconnected bus (no session bus at all): nothing happens either.
    ScreenAwake offline(QDBusConnection(QStringLiteral("never-connected")));
    offline.setWanted(true);
    QVERIFY(!offline.isHeld());
    init();  // cleanup() runs after this function
}

QTEST_GUILESS_MAIN(TestScreenAwake)
#include "tst_screenawake.moc"
