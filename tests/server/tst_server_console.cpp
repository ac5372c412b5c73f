// The merchant console's JSON calls (/console/api/…) over real HTTP, as a
// browser would send them: its login, cookie and session end, its refusal of
// requests that did not come from its own page, and the walls between
// merchants that the shop API's rules put up, reached through a session.
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlQuery>
#include <QtTest>

#include "ServerHarness.h"

using namespace TestIds;

namespace {

using Headers = QList<QPair<QByteArray, QByteArray>>;

QString outcome(const HttpAnswer& a)
{
    return a.ok() ? QStringLiteral("OK") : a.code();
}

QStringList column(const HttpAnswer& a, const char* name)
{
    QStringList out;
    for (const QJsonValue& row : a.data().value("items").toArray()) {
        out << row.toObject().value(name).toString();
    }
    return out;
}

// A logged-in browser tab: its cookie and the token its page holds.
struct Tab
{
    QByteArray cookie;
    QByteArray csrf;
    HttpAnswer login;
};

}  // namespace

class ServerConsoleTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ServerHarness> h;
    QString m1, m2, merchant1, merchant2, admin, viewer1, viewer2;
    const QByteArray origin = "http://127.0.0.1";

    QByteArray ownOrigin() const { return origin + ':' + QByteArray::number(h->port()); }

    bool startHarness(bool secure = false, int maxFailures = 10)
    {
        h = std::make_unique<ServerHarness>();
        h->http.secureCookies = secure;
        h->options.maxLoginFailures = maxFailures;
        QString error;
        if (!h->start(&error)) {
            qWarning("%s", qPrintable(error));
            return false;
        }
        m1 = h->addMerchant("甲商家");
        m2 = h->addMerchant("乙商家");
        merchant1 = h->addUser("m1", "merchant-one-pw", Role::Merchant, m1);
        merchant2 = h->addUser("m2", "merchant-two-pw", Role::Merchant, m2);
        admin = h->addUser("root", "admin-admin-pw", Role::Admin);
        viewer1 = h->addUser("v1", "viewer-one-pw", Role::Viewer, m1, 1);
        viewer2 = h->addUser("v2", "viewer-two-pw", Role::Viewer, m2);
        h->addKey(kK1, m1, QByteArray(32, 'a'), QByteArray(16, 'b'));
        h->addKey(kK2, m2, QByteArray(32, 'c'), QByteArray(16, 'd'));
        return true;
    }

    HttpAnswer consoleLogin(const QString& user, const QString& password, const Headers& extra = {})
    {
        Headers headers{{"Content-Type", "application/json"}};
        headers += extra;
        return h->sendRaw(
            "POST", "/console/api/login",
            QJsonDocument(QJsonObject{{"username", user}, {"password", password}}).toJson(),
            headers);
    }

    Tab open(const QString& user, const QString& password)
    {
        Tab tab;
        tab.login = consoleLogin(user, password);
        const QByteArray setCookie = tab.login.header("Set-Cookie");
        tab.cookie = setCookie.split(';').first();
        tab.csrf = tab.login.data().value("csrfToken").toString().toLatin1();
        return tab;
    }

    HttpAnswer get(const Tab& tab, const QString& path)
    {
        return h->sendRaw("GET", path, {}, {{"Cookie", tab.cookie}});
    }

    // A change as the console's page sends it, unless `headers` says otherwise.
    HttpAnswer change(const Tab& tab, const QString& path, const QJsonObject& body = {},
                      std::optional<Headers> headers = std::nullopt)
    {
        const Headers normal{{"Cookie", tab.cookie},
                             {"Content-Type", "application/json"},
                             {"Origin", ownOrigin()},
                             {"Sec-Fetch-Site", "same-origin"},
                             {"X-Veilcast-Csrf", tab.csrf}};
        return h->sendRaw("POST", path, QJsonDocument(body).toJson(), headers.value_or(normal));
    }

private slots:
    void cleanup() { h.reset(); }

    void loginGivesARandomHashedSessionCookieWithItsFlags()
    {
        QVERIFY(startHarness());
        const Tab tab = open("m1", "merchant-one-pw");
        QCOMPARE(outcome(tab.login), QStringLiteral("OK"));
        const QByteArray setCookie = tab.login.header("Set-Cookie");
        QVERIFY(setCookie.startsWith("vc_console="));
        QVERIFY(setCookie.contains("; HttpOnly"));
        QVERIFY(setCookie.contains("; SameSite=Strict"));
        QVERIFY(setCookie.contains("; Path=/console"));
        QVERIFY(setCookie.contains("; Max-Age=28800"));
        QVERIFY(!setCookie.contains("Secure"));  // plain HTTP on loopback
        QCOMPARE(tab.login.data().value("role").toString(), QStringLiteral("merchant"));
        QCOMPARE(tab.login.data().value("merchantId").toString(), m1);
        // The cookie never reaches the body, and the database keeps only its hash.
        const QByteArray secret = tab.cookie.mid(int(strlen("vc_console=")));
        QCOMPARE(secret.size(), 64);
        QVERIFY(!tab.login.raw.contains(secret));
        QSqlQuery q(h->db->handle());
        QVERIFY(q.exec("SELECT session_hash FROM console_sessions"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(),
                 QString::fromLatin1(
                     QCryptographicHash::hash(secret, QCryptographicHash::Sha256).toHex()));
        // A second login is a second, different session.
        const Tab again = open("m1", "merchant-one-pw");
        QVERIFY(again.cookie != tab.cookie);
        QVERIFY(again.csrf != tab.csrf);
        QCOMPARE(h->count("console_sessions"), 2);
    }

    void cookieIsSecureWhenServedOverTls()
    {
        QVERIFY(startHarness(true));
        // Origin checks then expect https; a client without one still logs in.
        const HttpAnswer a = consoleLogin("m1", "merchant-one-pw");
        QCOMPARE(outcome(a), QStringLiteral("OK"));
        QVERIFY(a.header("Set-Cookie").contains("; Secure"));
    }

    void onlyMerchantsAndAdminsGetASession_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("expected");
        QTest::newRow("merchant") << "m1"
                                  << "merchant-one-pw"
                                  << "OK";
        QTest::newRow("admin") << "root"
                               << "admin-admin-pw"
                               << "OK";
        QTest::newRow("viewer") << "v1"
                                << "viewer-one-pw"
                                << "PERMISSION_DENIED";
        QTest::newRow("wrong password") << "m1"
                                        << "merchant-one-px"
                                        << "INVALID_CREDENTIALS";
        QTest::newRow("unknown") << "nobody"
                                 << "merchant-one-pw"
                                 << "INVALID_CREDENTIALS";
    }

    void onlyMerchantsAndAdminsGetASession()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, expected);
        QVERIFY(startHarness());
        const HttpAnswer a = consoleLogin(user, password);
        QCOMPARE(outcome(a), expected);
        QCOMPARE(a.header("Set-Cookie").isEmpty(), expected != "OK");
        QCOMPARE(h->count("console_sessions"), expected == "OK" ? 1 : 0);
    }

    void loginSharesThePlayersThrottle()
    {
        QVERIFY(startHarness(false, 3));
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(outcome(consoleLogin("m1", "wrong-password")),
                     QStringLiteral("INVALID_CREDENTIALS"));
        }
        // The player's login counts against the same name.
        QCOMPARE(outcome(h->login("m1", "wrong-password")), QStringLiteral("INVALID_CREDENTIALS"));
        QCOMPARE(outcome(consoleLogin("m1", "merchant-one-pw")),
                 QStringLiteral("TOO_MANY_ATTEMPTS"));
        h->clock.advance(h->options.failureWindowMs + 1);
        QCOMPARE(outcome(consoleLogin("m1", "merchant-one-pw")), QStringLiteral("OK"));
    }

    void loggedOutOrExpiredSessionsCannotAct()
    {
        QVERIFY(startHarness());
        const Tab tab = open("m1", "merchant-one-pw");
        QCOMPARE(outcome(get(tab, "/console/api/viewers")), QStringLiteral("OK"));
        const HttpAnswer out = change(tab, "/console/api/logout");
        QCOMPARE(outcome(out), QStringLiteral("OK"));
        QVERIFY(out.header("Set-Cookie").contains("Max-Age=0"));
        QCOMPARE(h->count("console_sessions"), 0);
        // The old cookie, replayed, reads nothing and changes nothing.
        QCOMPARE(outcome(get(tab, "/console/api/viewers")), QStringLiteral("SESSION_INVALID"));
        QCOMPARE(outcome(change(tab, "/console/api/viewers",
                                {{"username", "late"}, {"password", "late-late-pw"}})),
                 QStringLiteral("SESSION_INVALID"));
        QCOMPARE(outcome(change(tab, "/console/api/keys/" + kK1 + "/revoke")),
                 QStringLiteral("SESSION_INVALID"));

        // Left alone, a session ends after the idle time...
        const Tab idle = open("m1", "merchant-one-pw");
        h->clock.advance(h->options.consoleIdleMs - 1);
        QCOMPARE(outcome(get(idle, "/console/api/session")), QStringLiteral("OK"));
        h->clock.advance(h->options.consoleIdleMs);
        QCOMPARE(outcome(get(idle, "/console/api/session")), QStringLiteral("SESSION_INVALID"));
        // ...in use it goes on, but not past its whole span from the login.
        const Tab other = open("m1", "merchant-one-pw");
        const qint64 loggedIn = h->clock.nowMs();
        const qint64 step = h->options.consoleIdleMs - 60 * 1000;
        while (h->clock.nowMs() + step < loggedIn + h->options.consoleSessionMs) {
            h->clock.advance(step);
            QCOMPARE(outcome(get(other, "/console/api/session")), QStringLiteral("OK"));
        }
        h->clock.set(loggedIn + h->options.consoleSessionMs - 1);
        QCOMPARE(outcome(get(other, "/console/api/session")), QStringLiteral("OK"));
        h->clock.advance(1);
        QCOMPARE(outcome(get(other, "/console/api/session")), QStringLiteral("SESSION_INVALID"));
        QCOMPARE(outcome(change(other, "/console/api/api-keys", {{"label", "x"}})),
                 QStringLiteral("SESSION_INVALID"));
        bool failed = false;
        QVERIFY(!h->store->userByName("late", &failed));
        QVERIFY(!h->store->keyById(kK1, &failed)->revoked);

        // Switching the account off ends its console at once.
        const Tab third = open("m1", "merchant-one-pw");
        QVERIFY(h->store->setUserDisabled(merchant1, true));
        QCOMPARE(outcome(get(third, "/console/api/viewers")), QStringLiteral("ACCOUNT_DISABLED"));
    }

    void changesFromElsewhereAreRefused_data()
    {
        QTest::addColumn<QString>("drop");  // the header left out
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QByteArray>("value");  // that header's value instead
        QTest::addColumn<QString>("expected");
        QTest::newRow("as the page sends it") << "" << QByteArray() << QByteArray() << "OK";
        QTest::newRow("no token") << "X-Veilcast-Csrf" << QByteArray() << QByteArray()
                                  << "CSRF_REJECTED";
        QTest::newRow("wrong token")
            << "" << QByteArray("X-Veilcast-Csrf") << QByteArray(64, 'f') << "CSRF_REJECTED";
        QTest::newRow("other origin")
            << "" << QByteArray("Origin") << QByteArray("http://evil.example") << "CSRF_REJECTED";
        QTest::newRow("other port")
            << "" << QByteArray("Origin") << QByteArray("http://127.0.0.1:1") << "CSRF_REJECTED";
        QTest::newRow("cross-site fetch")
            << "" << QByteArray("Sec-Fetch-Site") << QByteArray("cross-site") << "CSRF_REJECTED";
        QTest::newRow("same-site fetch")
            << "" << QByteArray("Sec-Fetch-Site") << QByteArray("same-site") << "CSRF_REJECTED";
        QTest::newRow("form post")
            << "" << QByteArray("Content-Type") << QByteArray("application/x-www-form-urlencoded")
            << "CSRF_REJECTED";
        QTest::newRow("no cookie") << "Cookie" << QByteArray() << QByteArray() << "SESSION_INVALID";
    }

    void changesFromElsewhereAreRefused()
    {
        QFETCH(QString, drop);
        QFETCH(QByteArray, header);
        QFETCH(QByteArray, value);
        QFETCH(QString, expected);
        QVERIFY(startHarness());
        const Tab tab = open("m1", "merchant-one-pw");
        Headers headers{{"Cookie", tab.cookie},
                        {"Content-Type", "application/json"},
                        {"Origin", ownOrigin()},
                        {"Sec-Fetch-Site", "same-origin"},
                        {"X-Veilcast-Csrf", tab.csrf}};
        for (auto& [name, v] : headers) {
            if (name == header) {
                v = value;
            }
        }
        headers.removeIf([&](const auto& pair) { return pair.first == drop.toLatin1(); });
        const int before = h->count("users");
        const HttpAnswer a =
            change(tab, "/console/api/viewers",
                   {{"username", "new-viewer"}, {"password", "new-viewer-pw"}}, headers);
        QCOMPARE(outcome(a), expected);
        QCOMPARE(h->count("users"), before + (expected == "OK" ? 1 : 0));
        // Logging out is a change too.
        const HttpAnswer out = change(tab, "/console/api/logout", {}, headers);
        QCOMPARE(outcome(out), expected);
        QCOMPARE(h->count("console_sessions"), expected == "OK" ? 0 : 1);
    }

    void aMerchantReachesOnlyTheirOwnShop()
    {
        QVERIFY(startHarness());
        h->addGrant(viewer2, m2, kK2, std::nullopt);
        const Tab one = open("m1", "merchant-one-pw");
        const Tab two = open("m2", "merchant-two-pw");
        const QString grant2 = column(get(two, "/console/api/grants"), "id").value(0);
        QVERIFY(!grant2.isEmpty());
        const QString apiKey2 =
            change(two, "/console/api/api-keys", {{"label", "shop"}}).data().value("id").toString();
        QVERIFY(!apiKey2.isEmpty());

        // Naming the other merchant changes nothing for a merchant.
        for (const QString& suffix : {QString(), "?merchant=" + m2}) {
            QCOMPARE(column(get(one, "/console/api/keys" + suffix), "keyId"), QStringList{kK1});
            QCOMPARE(column(get(one, "/console/api/viewers" + suffix), "username"),
                     QStringList{"v1"});
            QCOMPARE(column(get(one, "/console/api/grants" + suffix), "id"), QStringList());
            QCOMPARE(column(get(one, "/console/api/api-keys" + suffix), "id"), QStringList());
        }
        QCOMPARE(outcome(change(one, "/console/api/keys/" + kK2 + "/revoke?merchant=" + m2)),
                 QStringLiteral("KEY_NOT_FOUND"));
        QCOMPARE(outcome(change(one, "/console/api/viewers/" + viewer2 + "/devices/reset")),
                 QStringLiteral("VIEWER_NOT_FOUND"));
        QCOMPARE(outcome(change(one, "/console/api/viewers/" + viewer2 + "/disable")),
                 QStringLiteral("VIEWER_NOT_FOUND"));
        QCOMPARE(outcome(change(one, "/console/api/grants/" + grant2 + "/revoke")),
                 QStringLiteral("GRANT_NOT_FOUND"));
        QCOMPARE(outcome(change(one, "/console/api/api-keys/" + apiKey2 + "/revoke")),
                 QStringLiteral("API_KEY_NOT_FOUND"));
        QCOMPARE(outcome(change(one, "/console/api/grants",
                                {{"viewerId", viewer1}, {"keyIds", QJsonArray{kK2}}})),
                 QStringLiteral("KEY_NOT_FOUND"));
        // The other shop is as it was.
        bool failed = false;
        QVERIFY(!h->store->keyById(kK2, &failed)->revoked);
        QVERIFY(!h->store->userById(viewer2, &failed)->disabled);
        QCOMPARE(column(get(two, "/console/api/grants"), "id"), QStringList{grant2});
        QCOMPARE(column(get(two, "/console/api/api-keys"), "revokedAt"), QStringList{QString()});
    }

    void anAdminChoosesAnyMerchant()
    {
        QVERIFY(startHarness());
        const Tab tab = open("root", "admin-admin-pw");
        QStringList names;
        for (const QJsonValue& m : tab.login.data().value("merchants").toArray()) {
            names << m.toObject().value("name").toString();
        }
        names.sort();
        QCOMPARE(names, (QStringList{"乙商家", "甲商家"}));
        // Without a choice nothing is listed, rather than some default shop.
        QCOMPARE(outcome(get(tab, "/console/api/keys")), QStringLiteral("INVALID_REQUEST"));
        QCOMPARE(outcome(get(tab, "/console/api/keys?merchant=no-such")),
                 QStringLiteral("INVALID_REQUEST"));
        QCOMPARE(column(get(tab, "/console/api/keys?merchant=" + m1), "keyId"), QStringList{kK1});
        QCOMPARE(column(get(tab, "/console/api/keys?merchant=" + m2), "keyId"), QStringList{kK2});
        QCOMPARE(outcome(change(tab, "/console/api/keys/" + kK2 + "/revoke?merchant=" + m2)),
                 QStringLiteral("OK"));
        // The choice still keeps merchants apart: m1 cannot touch m2's key.
        QCOMPARE(outcome(change(tab, "/console/api/keys/" + kK1 + "/revoke?merchant=" + m2)),
                 QStringLiteral("KEY_NOT_FOUND"));
        bool failed = false;
        QVERIFY(h->store->keyById(kK2, &failed)->revoked);
        QVERIFY(!h->store->keyById(kK1, &failed)->revoked);

        // A switched-off merchant's own staff are shut out; the admin is not.
        const Tab staff = open("m2", "merchant-two-pw");
        QVERIFY(h->store->setMerchantDisabled(m2, true) == 1);
        QCOMPARE(outcome(get(staff, "/console/api/viewers")), QStringLiteral("MERCHANT_DISABLED"));
        QCOMPARE(outcome(get(tab, "/console/api/viewers?merchant=" + m2)), QStringLiteral("OK"));
    }

    void revokedVideosAndApiKeysStopWorkingAtOnce()
    {
        QVERIFY(startHarness());
        h->addGrant(viewer1, m1, kK1, std::nullopt);
        const Tab tab = open("m1", "merchant-one-pw");
        const HttpAnswer made = change(tab, "/console/api/api-keys", {{"label", "网店"}});
        const QString secret = made.data().value("secret").toString();
        QVERIFY(secret.startsWith("vck_"));
        // The secret is shown once: the listing has none.
        QVERIFY(!get(tab, "/console/api/api-keys").raw.contains(secret.toLatin1()));
        QCOMPARE(outcome(h->get("/api/merchant/viewers", secret)), QStringLiteral("OK"));
        QCOMPARE(outcome(change(tab, "/console/api/api-keys/" + made.data().value("id").toString() +
                                         "/revoke")),
                 QStringLiteral("OK"));
        QCOMPARE(outcome(h->get("/api/merchant/viewers", secret)),
                 QStringLiteral("API_KEY_INVALID"));
        // A key already revoked is not revoked again as if it were news.
        QCOMPARE(outcome(change(tab, "/console/api/api-keys/" + made.data().value("id").toString() +
                                         "/revoke")),
                 QStringLiteral("API_KEY_NOT_FOUND"));

        const QString token = h->loginToken("v1", "viewer-one-pw", kDevA);
        QCOMPARE(outcome(h->videoKey(token, kK1, kDevA)), QStringLiteral("OK"));
        QCOMPARE(outcome(change(tab, "/console/api/keys/" + kK1 + "/revoke")),
                 QStringLiteral("OK"));
        QCOMPARE(outcome(h->videoKey(token, kK1, kDevA)), QStringLiteral("KEY_REVOKED"));
    }

    void sharedAccountsAreFlagged()
    {
        QVERIFY(startHarness());
        h->addGrant(viewer1, m1, kK1, std::nullopt);
        const QString second = h->addUser("v3", "viewer-three-pw", Role::Viewer, m1, 2);
        h->addGrant(second, m1, kK1, std::nullopt);
        const Tab tab = open("m1", "merchant-one-pw");
        // v1 may use one device; a second one asks for the key too.
        const QString token = h->loginToken("v1", "viewer-one-pw", kDevA);
        QCOMPARE(outcome(h->videoKey(token, kK1, kDevA)), QStringLiteral("OK"));
        h->clock.advance(1000);  // the log lists the newest first
        QCOMPARE(outcome(h->videoKey(h->loginToken("v1", "viewer-one-pw", kDevB), kK1, kDevB)),
                 QStringLiteral("DEVICE_LIMIT_EXCEEDED"));
        // v3 stays within two devices.
        for (const QString& dev : {kDevA, kDevB}) {
            QCOMPARE(outcome(h->videoKey(h->loginToken("v3", "viewer-three-pw", dev), kK1, dev)),
                     QStringLiteral("OK"));
        }
        // A busy day of v3's on its two devices, all newer than v1's second
        // device, must not push v1 out of the count.
        h->clock.advance(1000);
        KeyRequestBatch busy;
        QByteArray packed;
        for (int i = 0; i < 6000; ++i) {
            KeyRequestEntry e;
            e.id = Store::keyRequestIdPrefix(h->clock.nowMs()) + QString::number(100000 + i);
            e.at = h->clock.nowMs();
            e.userId = second;
            e.deviceId = i % 2 ? kDevA : kDevB;
            e.deviceName = QStringLiteral("pc");
            e.clientAddress = QStringLiteral("127.0.0.1");
            e.keyId = kK1;
            e.merchantId = m1;
            e.result = QStringLiteral("OK");
            KeyRequestBatch::pack(e, &packed);
            busy.append(packed);
        }
        QVERIFY(h->store->addKeyRequests(busy));
        const HttpAnswer shared = get(tab, "/console/api/shared-viewers");
        QCOMPARE(column(shared, "username"), QStringList{"v1"});
        const QJsonObject flagged = shared.data().value("items").toArray().at(0).toObject();
        QCOMPARE(flagged.value("devices").toInt(), 2);
        QCOMPARE(flagged.value("deviceLimit").toInt(), 1);
        // Another merchant sees none of it.
        QCOMPARE(
            column(get(open("m2", "merchant-two-pw"), "/console/api/shared-viewers"), "username"),
            QStringList());
        // A day later the old requests no longer count.
        h->clock.advance(kDay + 1);
        const Tab later = open("m1", "merchant-one-pw");
        QCOMPARE(column(get(later, "/console/api/shared-viewers"), "username"), QStringList());

        // The log itself, filtered by viewer, through the same session.
        const HttpAnswer log = get(later, "/console/api/key-requests?viewerId=" + viewer1);
        QCOMPARE(column(log, "result"), (QStringList{"DEVICE_LIMIT_EXCEEDED", "OK"}));
        QCOMPARE(outcome(get(later, "/console/api/key-requests?nonsense=1")),
                 QStringLiteral("INVALID_REQUEST"));
    }

    void aDatabaseFromBeforeTheConsoleIsUpgraded()
    {
        QVERIFY(startHarness());
        QSqlQuery q(h->db->handle());
        for (const char* sql :
             {"DROP TABLE console_sessions", "DELETE FROM schema_migrations WHERE version = 4"}) {
            QVERIFY2(q.exec(QString::fromLatin1(sql)), sql);
        }
        QCOMPARE(h->db->schemaVersion(), 3);
        QString error;
        QVERIFY2(h->db->migrate(&error), qPrintable(error));
        QCOMPARE(h->db->schemaVersion(), Database::latestSchemaVersion());
        const Tab tab = open("m1", "merchant-one-pw");
        QCOMPARE(outcome(tab.login), QStringLiteral("OK"));
        QCOMPARE(column(get(tab, "/console/api/keys"), "keyId"), QStringList{kK1});
    }

    void pagesAreServedWithTheirPolicy()
    {
        QVERIFY(startHarness());
        const QStringList paths{QStringLiteral("/console"), QStringLiteral("/console/")};
        for (const QString& path : paths) {
            const HttpAnswer page = h->sendRaw("GET", path, {}, {});
            QCOMPARE(page.status, 200);
            QVERIFY(page.header("Content-Type").startsWith("text/html"));
            QVERIFY(page.header("Content-Security-Policy").contains("script-src 'self'"));
            QVERIFY(page.raw.contains("/console/app.js"));
        }
        const HttpAnswer script = h->sendRaw("GET", "/console/app.js", {}, {});
        QVERIFY(script.header("Content-Type").startsWith("text/javascript"));
        QCOMPARE(script.header("X-Content-Type-Options"), QByteArray("nosniff"));
        // The page's script never writes markup from data.
        QVERIFY(!script.raw.contains("innerHTML"));
        QCOMPARE(h->sendRaw("GET", "/console/nothing.js", {}, {}).status, 404);
        QCOMPARE(h->sendRaw("GET", "/console/api/login", {}, {}).status, 405);
    }
};

QTEST_GUILESS_MAIN(ServerConsoleTest)
#include "tst_server_console.moc"
