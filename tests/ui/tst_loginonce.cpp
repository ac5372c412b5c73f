// One gesture, one login: the card against a scripted peer that holds its
// answer, so every trigger made while the request is in flight can be
// counted where it would arrive.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include "ApiClient.h"
#include "AuthManager.h"
#include "LoginDialog.h"
#include "ScriptedPeer.h"

namespace {

// Long enough that triggers made meanwhile surely find the request in flight.
constexpr int kAnswerDelayMs = 600;

QLineEdit* field(QWidget* dialog, bool password)
{
    for (QLineEdit* f : dialog->findChildren<QLineEdit*>(QStringLiteral("loginInput"))) {
        if ((f->echoMode() == QLineEdit::Password) == password) {
            return f;
        }
    }
    return nullptr;
}

QJsonObject userData()
{
    return {{"userId", "u-1"}, {"username", "alice"}, {"token", "tok-1"}, {"role", "viewer"}};
}

}  // namespace

class TestLoginOnce : public QObject
{
    Q_OBJECT

private:
    ScriptedPeer m_peer;

    // A request sent after everything else has reached the peer, so a
    // doubled login sent earlier has reached it too.
    bool flushPeer()
    {
        ApiClient client;
        const qsizetype before = m_peer.requestsTo("/flush").size();
        QNetworkReply* reply = client.get("/flush");
        const bool arrived =
            QTest::qWaitFor([&] { return m_peer.requestsTo("/flush").size() > before; }, 10000);
        reply->abort();
        reply->deleteLater();
        return arrived;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_peer.listen());
        qputenv("VEILCAST_SERVER_URL", m_peer.url().toUtf8());
    }

    void cleanup()
    {
        AuthManager::instance()->logout();
        m_peer.reset();
    }

    void oneGestureSendsOneRequest_data()
    {
        QTest::addColumn<int>("gesture");
        QTest::newRow("Return in the password field") << 0;
        QTest::newRow("Enter in the user name field") << 1;
        QTest::newRow("login button") << 2;
    }

    void oneGestureSendsOneRequest()
    {
        QFETCH(int, gesture);
        // Every login is answered alike, so a doubled request shows in the
        // count rather than as a refusal.
        m_peer.setHandler([](const PeerRequest& request) {
            return request.path == "/api/auth/login"
                       ? PeerResponse::ok(userData()).after(kAnswerDelayMs)
                       : PeerResponse::raw(404, {});
        });
        LoginDialog dialog;
        dialog.show();
        QLineEdit* user = field(&dialog, false);
        QLineEdit* password = field(&dialog, true);
        auto* button = dialog.findChild<QPushButton*>(QStringLiteral("loginBtn"));
        QVERIFY(user && password && button);
        user->setText(QStringLiteral("alice"));
        password->setText(QStringLiteral("secret"));

        if (gesture == 0) {
            QTest::keyClick(password, Qt::Key_Return);
        } else if (gesture == 1) {
            QTest::keyClick(user, Qt::Key_Enter);
        } else {
            QTest::mouseClick(button, Qt::LeftButton);
        }
        QVERIFY(dialog.isBusy());

        // Every further trigger while the answer is pending is ignored.
        QTest::keyClick(password, Qt::Key_Return);
        QTest::keyClick(user, Qt::Key_Return);
        QTest::keyClick(&dialog, Qt::Key_Return);
        QMetaObject::invokeMethod(&dialog, "onLoginClicked");
        QTest::mouseClick(button, Qt::LeftButton);

        QVERIFY(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 10000));
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(flushPeer());
        QCOMPARE(m_peer.requestsTo("/api/auth/login").size(), 1);
    }

    void failureTextIsPlainAndCardIsReusable()
    {
        // An error code the client has no text for: the server's own
        // sentence is shown, and it must not be read as markup.
        const QString sentence = QStringLiteral("<b>账号</b>已被<a href='x'>冻结</a>");
        m_peer.enqueue("/api/auth/login", PeerResponse::refuse("FROZEN_BY_OPERATOR", sentence));
        m_peer.enqueue("/api/auth/login", PeerResponse::ok(userData()));
        LoginDialog dialog;
        dialog.show();
        field(&dialog, false)->setText(QStringLiteral("alice"));
        field(&dialog, true)->setText(QStringLiteral("secret"));
        auto* error = dialog.findChild<QLabel*>(QStringLiteral("errorLabel"));
        QVERIFY(error);

        QTest::keyClick(field(&dialog, true), Qt::Key_Return);
        QVERIFY(QTest::qWaitFor([&] { return error->isVisible(); }, 10000));
        QCOMPARE(error->text(), sentence);
        QCOMPARE(error->textFormat(), Qt::PlainText);
        QVERIFY(!dialog.isBusy());

        // After a failure the next gesture sends the next request.
        QTest::keyClick(field(&dialog, true), Qt::Key_Return);
        QVERIFY(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 10000));
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(flushPeer());
        QCOMPARE(m_peer.requestsTo("/api/auth/login").size(), 2);
    }

    void answerToAnotherLoginIsNotTaken()
    {
        // A login this card did not start must neither close it nor store the
        // password typed into it.
        m_peer.enqueue("/api/auth/login", PeerResponse::ok(userData()));
        LoginDialog dialog;
        dialog.show();
        field(&dialog, true)->setText(QStringLiteral("typed-here"));
        QSignalSpy done(AuthManager::instance(), &AuthManager::loginSucceeded);
        AuthManager::instance()->login(QStringLiteral("alice"), QStringLiteral("elsewhere"));
        QVERIFY(done.wait(10000));
        QVERIFY(dialog.isVisible());
        QVERIFY(!dialog.isBusy());
    }
};

QTEST_MAIN(TestLoginOnce)
#include "tst_loginonce.moc"
