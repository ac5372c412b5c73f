#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

#include "AppConfig.h"
#include "AuthManager.h"
#include "DeviceIdentity.h"
#include "ScriptedPeer.h"

namespace {

QJsonObject userData(const QString& token, const QString& username = "server-name")
{
    return {{"userId", "u-17"},
            {"username", username},
            {"displayName", "Alice A."},
            {"token", token},
            {"role", "viewer"},
            {"tokenExpiry", "2026-01-31T23:59:59.123456Z"},
            {"accountExpiry", "2027-06-30T00:00:00+08:00"},
            {"merchantId", ""},
            {"merchantName", ""}};
}

}  // namespace

class TestAuthManager : public QObject
{
    Q_OBJECT

private:
    ScriptedPeer m_peer;
    AuthManager* m_auth = nullptr;

    struct Outcome
    {
        int succeeded = 0;
        int failed = 0;
        QString reason;
        UserInfo user;
    };

    Outcome loginAndWait(const QString& name, const QString& password)
    {
        QSignalSpy ok(m_auth, &AuthManager::loginSucceeded);
        QSignalSpy failed(m_auth, &AuthManager::loginFailed);
        m_auth->login(name, password);
        if (!QTest::qWaitFor([&] { return ok.size() + failed.size() > 0; }, 5000)) {
            qWarning("login did not end");
        }
        QTest::qWait(20);  // a second, wrong outcome would show here
        Outcome outcome{int(ok.size()), int(failed.size()), QString(), UserInfo()};
        if (!failed.isEmpty()) {
            outcome.reason = failed.first().first().toString();
        }
        if (!ok.isEmpty()) {
            outcome.user = ok.first().first().value<UserInfo>();
        }
        return outcome;
    }

    // Ends any session so each case starts logged out, with no saved token.
    void logoutQuietly()
    {
        const bool hadSession = !m_auth->token().isEmpty();
        m_auth->logout();
        if (hadSession) {
            QVERIFY(QTest::qWaitFor(
                [&] { return !m_peer.requestsTo("/api/auth/logout").isEmpty(); }, 5000));
        }
        m_peer.reset();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_peer.listen());
        qputenv("VEILCAST_SERVER_URL", m_peer.url().toUtf8());
        m_auth = AuthManager::instance();
        QCOMPARE(AuthManager::instance(), m_auth);
    }

    void init() { logoutQuietly(); }

    void loginSendsCredentialsAndDevice()
    {
        m_peer.enqueue("/api/auth/login", PeerResponse::ok(userData("tok-a")));
        const Outcome outcome = loginAndWait("  alice  ", "p@ss word");
        QCOMPARE(outcome.succeeded, 1);

        QCOMPARE(m_peer.requests().size(), 1);
        const PeerRequest sent = m_peer.requests().first();
        QCOMPARE(sent.method, QByteArray("POST"));
        QCOMPARE(sent.path, QByteArray("/api/auth/login"));
        QCOMPARE(sent.header("Content-Type"), QByteArray("application/json"));
        QVERIFY(!sent.hasHeader("Authorization"));
        const QJsonObject body = sent.json();
        QCOMPARE(body.value("username").toString(), QStringLiteral("alice"));
        QCOMPARE(body.value("password").toString(), QStringLiteral("p@ss word"));
        QCOMPARE(body.value("deviceId").toString(), DeviceIdentity::deviceId());
        QCOMPARE(body.value("deviceId").toString().size(), 32);
        QCOMPARE(body.value("deviceName").toString(), DeviceIdentity::deviceName());
        QCOMPARE(body.size(), 4);
    }

    void loginSuccessSavesSession()
    {
        m_peer.enqueue("/api/auth/login", PeerResponse::ok(userData("tok-b", "ALICE-ON-SERVER")));
        const Outcome outcome = loginAndWait(" alice ", "pw");
        QCOMPARE(outcome.succeeded, 1);
        QCOMPARE(outcome.failed, 0);

        // The name as typed (trimmed) wins over the server's spelling.
        QCOMPARE(outcome.user.username, QStringLiteral("alice"));
        QCOMPARE(outcome.user.userId, QStringLiteral("u-17"));
        QCOMPARE(outcome.user.token, QStringLiteral("tok-b"));
        QCOMPARE(outcome.user.tokenExpiry,
                 QDateTime(QDate(2026, 1, 31), QTime(23, 59, 59, 123), Qt::UTC));
        QCOMPARE(AppConfig::instance()->token(), QStringLiteral("tok-b"));
        QCOMPARE(AppConfig::instance()->lastUsername(), QStringLiteral("alice"));
        QCOMPARE(m_auth->token(), QStringLiteral("tok-b"));
        QCOMPARE(m_auth->currentUser().displayName, QStringLiteral("Alice A."));

        // Later requests of the manager carry the new token.
        logoutQuietly();
    }

    void loginFailures_data()
    {
        QTest::addColumn<PeerResponse>("response");
        QTest::addColumn<QString>("expected");  // "" means: the reply's own error string

        auto t = [](const char* s) { return QString::fromUtf8(s); };
        QTest::newRow("wrong password")
            << PeerResponse::refuse("INVALID_CREDENTIALS", "x", 401) << t("账号或密码错误");
        QTest::newRow("disabled") << PeerResponse::refuse("ACCOUNT_DISABLED", "", 403)
                                  << t("账号已被禁用，请联系管理员");
        QTest::newRow("token expired under 401")
            << PeerResponse::refuse("TOKEN_EXPIRED", "expired", 401) << t("登录已过期，请重新登录");
        QTest::newRow("server error envelope under 500")
            << PeerResponse::refuse("SERVER_ERROR", "", 500) << t("服务器内部错误，请稍后再试");
        QTest::newRow("unknown code uses server message")
            << PeerResponse::refuse("MAINTENANCE", t("维护中")) << t("维护中");
        QTest::newRow("unknown code without message")
            << PeerResponse::refuse("MAINTENANCE") << t("登录失败");
        QTest::newRow("html 502") << PeerResponse::raw(502, "<html><h1>502</h1></html>",
                                                       "text/html")
                                  << t("无法连接服务器，请检查网络");
        QTest::newRow("html 500") << PeerResponse::raw(500, "<html>oops</html>", "text/html")
                                  << t("服务器暂时不可用");
        QTest::newRow("html 503") << PeerResponse::raw(503, "<html>busy</html>", "text/html")
                                  << t("服务器暂时不可用");
        QTest::newRow("404") << PeerResponse::raw(404, "Not Found", "text/plain") << QString();
        QTest::newRow("empty 200") << PeerResponse::raw(200, "") << t("服务器返回了无法识别的响应");
        QTest::newRow("garbage 200")
            << PeerResponse::raw(200, "{\"success\":") << t("服务器返回了无法识别的响应");
        QTest::newRow("success without token")
            << PeerResponse::ok(userData("")) << t("服务器返回的登录数据不完整");
        QTest::newRow("success without data")
            << PeerResponse::json({{"success", true}}) << t("服务器返回的登录数据不完整");
        QTest::newRow("token that is not a string")
            << PeerResponse::ok({{"token", 12345}}) << t("服务器返回的登录数据不完整");
        QTest::newRow("success as text")
            << PeerResponse::json({{"success", "true"}, {"data", userData("tok")}})
            << t("登录失败");
    }

    void loginFailures()
    {
        QFETCH(PeerResponse, response);
        QFETCH(QString, expected);

        AppConfig::instance()->setToken("kept");
        m_peer.enqueue("/api/auth/login", response);
        const Outcome outcome = loginAndWait("bob", "pw");
        QCOMPARE(outcome.succeeded, 0);
        QCOMPARE(outcome.failed, 1);
        if (expected.isEmpty()) {
            QVERIFY(!outcome.reason.isEmpty());
            QVERIFY2(outcome.reason.contains("/api/auth/login"), qPrintable(outcome.reason));
        } else {
            QCOMPARE(outcome.reason, expected);
        }
        // A failed login leaves the saved session of an earlier run alone.
        QCOMPARE(AppConfig::instance()->token(), QStringLiteral("kept"));
        QVERIFY(!outcome.reason.contains("tok"));
    }

    void userRecord_data()
    {
        QTest::addColumn<QJsonValue>("role");
        QTest::addColumn<QJsonValue>("displayName");
        QTest::addColumn<bool>("merchant");
        QTest::addColumn<QString>("shownName");

        const QJsonValue absent(QJsonValue::Undefined);
        QTest::newRow("merchant") << QJsonValue("merchant") << QJsonValue("Shop") << true << "Shop";
        QTest::newRow("admin") << QJsonValue("admin") << QJsonValue("Root") << true << "Root";
        QTest::newRow("capital Merchant")
            << QJsonValue("Merchant") << QJsonValue("M") << false << "M";
        QTest::newRow("ADMIN") << QJsonValue("ADMIN") << QJsonValue("M") << false << "M";
        QTest::newRow("viewer") << QJsonValue("viewer") << QJsonValue("V") << false << "V";
        QTest::newRow("role absent") << absent << QJsonValue("V") << false << "V";
        QTest::newRow("display name empty stays empty")
            << QJsonValue("viewer") << QJsonValue("") << false << "";
        QTest::newRow("display name absent takes username")
            << QJsonValue("viewer") << absent << false << "carol";
        QTest::newRow("display name not a string takes username")
            << QJsonValue("viewer") << QJsonValue(42) << false << "carol";
        QTest::newRow("display name null takes username")
            << QJsonValue("viewer") << QJsonValue(QJsonValue::Null) << false << "carol";
    }

    void userRecord()
    {
        QFETCH(QJsonValue, role);
        QFETCH(QJsonValue, displayName);
        QFETCH(bool, merchant);
        QFETCH(QString, shownName);

        QJsonObject data{
            {"userId", "u-1"}, {"token", "t-1"}, {"merchantId", "m-9"}, {"merchantName", "Nine"}};
        if (!role.isUndefined()) {
            data.insert("role", role);
        }
        if (!displayName.isUndefined()) {
            data.insert("displayName", displayName);
        }
        m_peer.enqueue("/api/auth/login", PeerResponse::ok(data));
        const Outcome outcome = loginAndWait("carol", "pw");
        QCOMPARE(outcome.succeeded, 1);
        QCOMPARE(outcome.user.isMerchant, merchant);
        QCOMPARE(outcome.user.displayName, shownName);
        QCOMPARE(outcome.user.merchantId, QStringLiteral("m-9"));
        QCOMPARE(m_auth->currentUser().isMerchant, merchant);
    }

    void autoLoginWithoutTokenFailsAtOnce()
    {
        QSignalSpy failed(m_auth, &AuthManager::autoLoginFailed);
        m_auth->autoLogin();
        QCOMPARE(failed.size(), 1);
        QTest::qWait(50);
        QCOMPARE(failed.size(), 1);
        QVERIFY(m_peer.requests().isEmpty());
    }

    void autoLoginSucceeds()
    {
        AppConfig::instance()->setToken("saved-token");
        m_peer.enqueue("/api/auth/me", PeerResponse::ok(userData("renewed", "dave")));
        QSignalSpy ok(m_auth, &AuthManager::loginSucceeded);
        QSignalSpy failed(m_auth, &AuthManager::autoLoginFailed);
        m_auth->autoLogin();
        QVERIFY(ok.wait(5000));
        QCOMPARE(failed.size(), 0);

        const PeerRequest sent = m_peer.requests().first();
        QCOMPARE(sent.method, QByteArray("GET"));
        QCOMPARE(sent.path, QByteArray("/api/auth/me"));
        QVERIFY(sent.query.isEmpty());
        QCOMPARE(sent.header("Authorization"), QByteArray("Bearer saved-token"));
        QCOMPARE(sent.header("Content-Type"), QByteArray("application/json"));

        const UserInfo user = ok.first().first().value<UserInfo>();
        QCOMPARE(user.username, QStringLiteral("dave"));
        QCOMPARE(user.token, QStringLiteral("renewed"));
        QCOMPARE(AppConfig::instance()->token(), QStringLiteral("renewed"));

        // The manager's client now carries the renewed token.
        m_peer.reset();
        m_auth->logout();
        QVERIFY(QTest::qWaitFor([&] { return !m_peer.requests().isEmpty(); }, 5000));
        QCOMPARE(m_peer.requests().first().header("Authorization"), QByteArray("Bearer renewed"));
    }

    void autoLoginFailures_data()
    {
        QTest::addColumn<PeerResponse>("response");
        QTest::newRow("token expired") << PeerResponse::refuse("TOKEN_EXPIRED", "", 401);
        QTest::newRow("token invalid") << PeerResponse::refuse("TOKEN_INVALID");
        QTest::newRow("answer without token") << PeerResponse::ok(userData(""));
        QTest::newRow("html 502") << PeerResponse::raw(502, "<html/>", "text/html");
        QTest::newRow("empty 200") << PeerResponse::raw(200, "");
    }

    void autoLoginFailures()
    {
        QFETCH(PeerResponse, response);
        AppConfig::instance()->setToken("stale");
        m_peer.enqueue("/api/auth/me", response);
        QSignalSpy ok(m_auth, &AuthManager::loginSucceeded);
        QSignalSpy failed(m_auth, &AuthManager::autoLoginFailed);
        m_auth->autoLogin();
        QVERIFY(failed.wait(5000));
        QTest::qWait(20);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(ok.size(), 0);
        QCOMPARE(AppConfig::instance()->token(), QString());

        // The discarded token is not sent anywhere afterwards.
        m_peer.reset();
        m_auth->logout();
        QTest::qWait(50);
        QVERIFY(m_peer.requests().isEmpty());
    }

    void logoutWhileLoggedIn()
    {
        m_peer.enqueue("/api/auth/login", PeerResponse::ok(userData("tok-x")));
        QCOMPARE(loginAndWait("erin", "pw").succeeded, 1);
        m_peer.reset();

        QSignalSpy out(m_auth, &AuthManager::loggedOut);
        m_auth->logout();
        QCOMPARE(out.size(), 1);
        QCOMPARE(m_auth->token(), QString());
        QCOMPARE(m_auth->currentUser().userId, QString());
        QVERIFY(!m_auth->currentUser().tokenExpiry.isValid());
        QCOMPARE(AppConfig::instance()->token(), QString());

        QVERIFY(QTest::qWaitFor([&] { return !m_peer.requests().isEmpty(); }, 5000));
        const PeerRequest sent = m_peer.requests().first();
        QCOMPARE(sent.method, QByteArray("POST"));
        QCOMPARE(sent.path, QByteArray("/api/auth/logout"));
        QCOMPARE(sent.header("Authorization"), QByteArray("Bearer tok-x"));
        QCOMPARE(sent.json(), QJsonObject());
    }

    void logoutWithoutUserSendsNothing()
    {
        AppConfig::instance()->setToken("left-over");
        QSignalSpy out(m_auth, &AuthManager::loggedOut);
        m_auth->logout();
        QCOMPARE(out.size(), 1);
        QCOMPARE(AppConfig::instance()->token(), QString());
        QTest::qWait(100);
        QVERIFY(m_peer.requests().isEmpty());
    }

    void twoLoginsGiveTwoOutcomes()
    {
        m_peer.enqueue("/api/auth/login", PeerResponse::refuse("INVALID_CREDENTIALS"));
        m_peer.enqueue("/api/auth/login", PeerResponse::refuse("INVALID_CREDENTIALS"));
        QSignalSpy failed(m_auth, &AuthManager::loginFailed);
        m_auth->login("f", "1");
        m_auth->login("f", "2");
        QVERIFY(QTest::qWaitFor([&] { return failed.size() == 2; }, 5000));
        QCOMPARE(m_peer.requestsTo("/api/auth/login").size(), 2);
    }

    void parseServerTime_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("expected");

        QTest::newRow("micro fraction cut, not rounded")
            << "2026-01-31T23:59:59.123456Z"
            << QDateTime(QDate(2026, 1, 31), QTime(23, 59, 59, 123), Qt::UTC);
        QTest::newRow("fraction .9999 stays in the same second")
            << "2026-01-31T23:59:59.9999Z"
            << QDateTime(QDate(2026, 1, 31), QTime(23, 59, 59, 999), Qt::UTC);
        QTest::newRow("whole seconds Z")
            << "2026-01-31T23:59:59Z" << QDateTime(QDate(2026, 1, 31), QTime(23, 59, 59), Qt::UTC);
        QTest::newRow("milliseconds Z")
            << "2026-01-31T23:59:59.5Z"
            << QDateTime(QDate(2026, 1, 31), QTime(23, 59, 59, 500), Qt::UTC);
        QTest::newRow("offset kept")
            << "2026-01-31T23:59:59+08:00"
            << QDateTime(QDate(2026, 1, 31), QTime(23, 59, 59), Qt::OffsetFromUTC, 8 * 3600);
        QTest::newRow("fraction with offset")
            << "2026-01-31T23:59:59.1234567+08:00"
            << QDateTime(QDate(2026, 1, 31), QTime(23, 59, 59, 123), Qt::OffsetFromUTC, 8 * 3600);
        QTest::newRow("empty") << "" << QDateTime();
        QTest::newRow("not a time") << "tomorrow" << QDateTime();
    }

    void parseServerTime()
    {
        QFETCH(QString, text);
        QFETCH(QDateTime, expected);
        const QDateTime parsed = AuthManager::parseServerTime(text);
        QCOMPARE(parsed.isValid(), expected.isValid());
        if (expected.isValid()) {
            QCOMPARE(parsed, expected);
            QCOMPARE(parsed.offsetFromUtc(), expected.offsetFromUtc());
        }
    }
};

QTEST_GUILESS_MAIN(TestAuthManager)
#include "tst_authmanager.moc"
