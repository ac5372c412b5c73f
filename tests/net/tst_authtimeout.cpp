// The real time-outs, not shortened ones: a silent login gives up after five
// seconds and a login after ten. The cases run side by side so the whole
// test waits about ten seconds.
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include "AppConfig.h"
#include "AuthManager.h"
#include "ScriptedPeer.h"

class TestAuthTimeout : public QObject
{
    Q_OBJECT

private slots:
    void timeouts()
    {
        ScriptedPeer peer;
        QVERIFY(peer.listen());
        qputenv("VEILCAST_SERVER_URL", peer.url().toUtf8());
        AuthManager* auth = AuthManager::instance();

        // "slow" is answered after seven seconds, longer than a silent login
        // may take but well within a login's allowance; "mute" never is.
        peer.setHandler([](const PeerRequest& request) {
            if (request.path == "/api/auth/login" &&
                request.json().value("username").toString() == "slow") {
                return PeerResponse::ok({{"token", "slow-token"}, {"userId", "u"}}).after(7000);
            }
            return PeerResponse::noAnswer();
        });

        AppConfig::instance()->setToken("saved-token");
        QElapsedTimer clock;
        qint64 silentFailedAt = -1;
        qint64 succeededAt = -1;
        qint64 failedAt = -1;
        QString failure;
        QString tokenWhenSilentFailed = "untouched";
        connect(auth, &AuthManager::autoLoginFailed, this, [&] {
            silentFailedAt = clock.elapsed();
            tokenWhenSilentFailed = AppConfig::instance()->token();
        });
        connect(auth, &AuthManager::loginSucceeded, this, [&] { succeededAt = clock.elapsed(); });
        connect(auth, &AuthManager::loginFailed, this, [&](const QString& reason) {
            failedAt = clock.elapsed();
            failure = reason;
        });

        clock.start();
        auth->autoLogin();
        auth->login("slow", "pw");
        auth->login("mute", "pw");
        QVERIFY(QTest::qWaitFor([&] { return failedAt >= 0; }, 13000));

        // Qt's default timers may fire up to 5 % early.
        QVERIFY2(silentFailedAt >= 4740 && silentFailedAt < 6500,
                 qPrintable(QString::number(silentFailedAt)));
        QCOMPARE(tokenWhenSilentFailed, QString());

        QVERIFY2(succeededAt >= 6500 && succeededAt < 9000,
                 qPrintable(QString::number(succeededAt)));

        QVERIFY2(failedAt >= 9490 && failedAt < 11500, qPrintable(QString::number(failedAt)));
        QCOMPARE(failure, QString::fromUtf8("服务器响应超时"));
        // A login that times out does not discard the session another one
        // just saved.
        QCOMPARE(AppConfig::instance()->token(), QStringLiteral("slow-token"));
        QCOMPARE(peer.requests().size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestAuthTimeout)
#include "tst_authtimeout.moc"
