// The main window's title bar and status bar. Runs with TZ set to UTC+8 (see
// CMakeLists.txt), so a date that is still the 31st in UTC is the 1st here;
// the status bar's texts come from a real login at the reference server.
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QtTest>

#include "AuthManager.h"
#include "ServerProcess.h"
#include "StatusBar.h"
#include "TitleBar.h"

namespace {

constexpr int kUtcPlus8 = 8 * 3600;

// A frameless top-level window with the bar across its top, as the main
// window holds it.
struct Frame
{
    QWidget window;
    TitleBar* bar = nullptr;

    Frame()
    {
        window.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
        auto* layout = new QVBoxLayout(&window);
        layout->setContentsMargins(0, 0, 0, 0);
        bar = new TitleBar(&window);
        layout->addWidget(bar);
        layout->addStretch();
        window.setGeometry(200, 150, 800, 500);
        window.show();
    }

    // Mouse events at screen positions, as the desktop sends them; the
    // window may move under the pointer in between.
    void send(QEvent::Type type, const QPoint& screen, Qt::MouseButton button,
              Qt::MouseButtons held, QWidget* target = nullptr)
    {
        QWidget* to = target ? target : bar;
        QMouseEvent event(type, QPointF(to->mapFromGlobal(screen)), QPointF(screen), button, held,
                          Qt::NoModifier);
        QApplication::sendEvent(to, &event);
    }
    void press(const QPoint& screen)
    {
        send(QEvent::MouseButtonPress, screen, Qt::LeftButton, Qt::LeftButton);
    }
    void moveTo(const QPoint& screen)
    {
        send(QEvent::MouseMove, screen, Qt::NoButton, Qt::LeftButton);
    }
    void release(const QPoint& screen)
    {
        send(QEvent::MouseButtonRelease, screen, Qt::LeftButton, Qt::NoButton);
    }
    QPoint onBar(int x, int y) const { return bar->mapToGlobal(QPoint(x, y)); }
};

}  // namespace

class TestChromeBars : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ServerProcess m_srv{m_dir.filePath("data")};

private slots:
    void initTestCase()
    {
        const QDateTime probe(QDate(2027, 1, 31), QTime(20, 0), Qt::UTC);
        QVERIFY2(probe.toLocalTime().offsetFromUtc() == kUtcPlus8,
                 "the test must run with TZ at UTC+8");
    }

    void cleanupTestCase() { m_srv.stop(); }

    void buttonsReport_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QByteArray>("signal");
        QTest::newRow("settings") << "winSettings" << QByteArray(SIGNAL(settingsClicked()));
        QTest::newRow("minimise") << "winMin" << QByteArray(SIGNAL(minimizeClicked()));
        QTest::newRow("maximise") << "winMax" << QByteArray(SIGNAL(maximizeClicked()));
        QTest::newRow("close") << "winClose" << QByteArray(SIGNAL(closeClicked()));
    }

    void buttonsReport()
    {
        QFETCH(QString, button);
        QFETCH(QByteArray, signal);
        Frame frame;
        QList<QSignalSpy*> spies;
        for (const char* s : {SIGNAL(settingsClicked()), SIGNAL(minimizeClicked()),
                              SIGNAL(maximizeClicked()), SIGNAL(closeClicked())}) {
            spies << new QSignalSpy(frame.bar, s);
        }
        auto* target = frame.bar->findChild<QPushButton*>(button);
        QVERIFY(target);
        QTest::mouseClick(target, Qt::LeftButton);
        for (QSignalSpy* spy : spies) {
            QCOMPARE(spy->size(), spy->signal() == signal.mid(1) ? 1 : 0);
        }
        qDeleteAll(spies);
        // Clicking a button never moves the window.
        QCOMPARE(frame.window.pos(), QPoint(200, 150));
    }

    void iconsAreDrawn()
    {
        // Both come from SVG at run time: a missing resource or renderer
        // leaves the bar without its logo and the settings button blank.
        Frame frame;
        auto* logo = frame.bar->findChild<QLabel*>("logoIcon");
        QVERIFY(logo && !logo->pixmap().isNull());
        auto* settings = frame.bar->findChild<QPushButton*>("winSettings");
        QVERIFY(settings && !settings->icon().isNull());
    }

    void dragMovesWindow()
    {
        Frame frame;
        const QPoint start = frame.window.pos();
        const QPoint grab = frame.onBar(300, 20);
        frame.press(grab);
        // A jitter within the drag distance is still a click.
        frame.moveTo(grab + QPoint(1, 0));
        QCOMPARE(frame.window.pos(), start);
        frame.moveTo(grab + QPoint(80, 40));
        frame.moveTo(grab + QPoint(100, 50));
        QCOMPARE(frame.window.pos(), start + QPoint(100, 50));
        frame.release(grab + QPoint(100, 50));
        // After the release, moves go nowhere.
        frame.moveTo(grab + QPoint(200, 50));
        QCOMPARE(frame.window.pos(), start + QPoint(100, 50));

        // Other buttons never drag.
        const QPoint again = frame.onBar(300, 20);
        frame.send(QEvent::MouseButtonPress, again, Qt::RightButton, Qt::RightButton);
        frame.send(QEvent::MouseMove, again + QPoint(60, 40), Qt::NoButton, Qt::RightButton);
        QCOMPARE(frame.window.pos(), start + QPoint(100, 50));
    }

    void maximisedWindowRestoresOnDragNotOnClick()
    {
        Frame frame;
        frame.window.showMaximized();
        QVERIFY(QTest::qWaitFor([&] { return frame.window.isMaximized(); }, 5000));
        const QPoint grab = frame.onBar(frame.window.width() * 3 / 4, 20);

        // A click (the first half of a double-click) leaves it maximised.
        frame.press(grab);
        frame.release(grab);
        QVERIFY(frame.window.isMaximized());

        frame.press(grab);
        const QPoint pointer = grab + QPoint(40, 30);
        frame.moveTo(pointer);
        QVERIFY(!frame.window.isMaximized());
        QVERIFY(QTest::qWaitFor([&] { return frame.window.width() == 800; }, 5000));
        // The restored window is still in the hand: the pointer is over its
        // bar, at about the same share of its width.
        const QRect bar(frame.onBar(0, 0), frame.bar->size());
        QVERIFY2(bar.contains(pointer), qPrintable(QStringLiteral("bar %1,%2 %3x%4, pointer %5,%6")
                                                       .arg(bar.x())
                                                       .arg(bar.y())
                                                       .arg(bar.width())
                                                       .arg(bar.height())
                                                       .arg(pointer.x())
                                                       .arg(pointer.y())));
        QVERIFY(qAbs(pointer.x() - bar.x() - 600) <= 60);
        frame.release(pointer);
    }

    void doubleClickAsksForMaximise()
    {
        Frame frame;
        QSignalSpy maximise(frame.bar, &TitleBar::maximizeClicked);
        QTest::mouseDClick(frame.bar, Qt::LeftButton, Qt::NoModifier, QPoint(300, 20));
        QCOMPARE(maximise.size(), 1);
        QCOMPARE(frame.window.pos(), QPoint(200, 150));

        // On a button the double-click belongs to the button.
        auto* close = frame.bar->findChild<QPushButton*>("winClose");
        QTest::mouseDClick(close, Qt::LeftButton);
        QCOMPARE(maximise.size(), 1);
        // The right button does not maximise.
        QTest::mouseDClick(frame.bar, Qt::RightButton, Qt::NoModifier, QPoint(300, 20));
        QCOMPARE(maximise.size(), 1);
    }

    void expiryIsTheLocalDate_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("shown");
        const QString until = QStringLiteral("账号有效期至：");
        QTest::newRow("evening UTC is next day") << "2027-01-31T20:00:00Z" << until + "2027-02-01";
        QTest::newRow("last second of the local day")
            << "2027-01-31T15:59:59Z" << until + "2027-01-31";
        QTest::newRow("local midnight") << "2027-01-31T16:00:00.000000Z" << until + "2027-02-01";
        QTest::newRow("server offset behind UTC")
            << "2027-01-31T23:30:00-05:00" << until + "2027-02-01";
        QTest::newRow("server offset ahead of local")
            << "2027-02-01T00:30:00+09:00" << until + "2027-01-31";
        QTest::newRow("no end") << "" << QStringLiteral("账号有效期：永久有效");
        QTest::newRow("unreadable") << "soon" << QStringLiteral("账号有效期：永久有效");
    }

    void expiryIsTheLocalDate()
    {
        QFETCH(QString, server);
        QFETCH(QString, shown);
        UserInfo user;
        user.displayName = QStringLiteral("观众");
        user.accountExpiry = AuthManager::parseServerTime(server);
        StatusBar bar;
        bar.setUser(user);
        auto* label = bar.findChild<QLabel*>("statusExpire");
        QVERIFY(label);
        QCOMPARE(label->text(), shown);
    }

    void userTextFromRealLogin_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("userText");
        QTest::addColumn<QString>("expiryText");
        QTest::newRow("viewer without merchant") << "plain" << QStringLiteral("用户：<i>观众</i>")
                                                 << QStringLiteral("账号有效期：永久有效");
        QTest::newRow("merchant account with expiry")
            << "shop" << QStringLiteral("用户：shop（所属商家：甲<b>商家</b>）")
            << QStringLiteral("账号有效期至：2027-02-01");
    }

    void userTextFromRealLogin()
    {
        QFETCH(QString, user);
        QFETCH(QString, userText);
        QFETCH(QString, expiryText);
        if (m_srv.process() == nullptr) {
            QVERIFY2(QFileInfo(ServerProcess::binary()).isExecutable(),
                     "VEILCAST_SERVER_BIN names no program");
            QVERIFY(m_dir.isValid());
            // Names with markup in them: the bar must show them as typed.
            QCOMPARE(m_srv.admin({"merchant", "add", "甲<b>商家</b>"}).exitCode, 0);
            QCOMPARE(m_srv
                         .admin({"user", "add", "shop", "--role", "merchant", "--merchant",
                                 "甲<b>商家</b>", "--expires", "2027-01-31T20:00:00Z"},
                                "pw-shop-1\n")
                         .exitCode,
                     0);
            QCOMPARE(m_srv
                         .admin({"user", "add", "plain", "--role", "viewer", "--display-name",
                                 "<i>观众</i>"},
                                "pw-plain-1\n")
                         .exitCode,
                     0);
            const QString failure = m_srv.start({});
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
            qputenv("VEILCAST_SERVER_URL", "http://127.0.0.1:" + QByteArray::number(m_srv.port()));
        }

        AuthManager* auth = AuthManager::instance();
        QSignalSpy ok(auth, &AuthManager::loginSucceeded);
        QSignalSpy failed(auth, &AuthManager::loginFailed);
        auth->login(user, user == "shop" ? "pw-shop-1" : "pw-plain-1");
        QVERIFY(QTest::qWaitFor([&] { return ok.size() + failed.size() > 0; }, 15000));
        QVERIFY2(failed.isEmpty(),
                 failed.isEmpty() ? "" : qPrintable(failed.first().first().toString()));

        StatusBar bar;
        bar.setUser(ok.first().first().value<UserInfo>());
        auto* userLabel = bar.findChild<QLabel*>("statusUser");
        auto* expiryLabel = bar.findChild<QLabel*>("statusExpire");
        QVERIFY(userLabel && expiryLabel);
        QCOMPARE(userLabel->text(), userText);
        QCOMPARE(userLabel->textFormat(), Qt::PlainText);
        QCOMPARE(expiryLabel->text(), expiryText);
        auth->logout();
    }
};

QTEST_MAIN(TestChromeBars)
#include "tst_chromebars.moc"
