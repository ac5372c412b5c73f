// The shop API (/api/merchant/…) over real HTTP, with API keys, against
// SQLite or (with VEILCAST_TEST_DATABASE) PostgreSQL: each endpoint's answers
// and refusals, one merchant walled off from another, and grants as the key
// endpoint sees them.
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlQuery>
#include <QUrlQuery>
#include <QtTest>

#include "ServerHarness.h"

using namespace TestIds;

namespace {

QString outcome(const HttpAnswer& a)
{
    return a.ok() ? QStringLiteral("OK") : a.code();
}

QJsonArray items(const HttpAnswer& a)
{
    return a.data().value("items").toArray();
}

QStringList column(const QJsonArray& rows, const char* name)
{
    QStringList out;
    for (const QJsonValue& row : rows) {
        out << row.toObject().value(name).toString();
    }
    return out;
}

}  // namespace

class ServerShopTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ServerHarness> h;
    QString m1, m2, s1, s2, alice, bob, bobGrant;

    HttpAnswer call(const QByteArray& verb, const QString& path, const QString& secret,
                    const QJsonObject& body = {})
    {
        return h->send(verb, path, body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson(),
                       secret);
    }

    // Ids in a path or body written as {alice}, {bob}, {bobGrant}, {k1}, {k3}.
    QString fill(QString text) const
    {
        return text.replace("{alice}", alice)
            .replace("{bobGrant}", bobGrant)
            .replace("{bob}", bob)
            .replace("{k1}", kK1)
            .replace("{k3}", kK3);
    }

    HttpAnswer grant(const QString& secret, const QString& viewer, const QJsonObject& what)
    {
        QJsonObject body = what;
        body.insert("viewerId", viewer);
        return call("POST", "/api/merchant/grants", secret, body);
    }

    QString grantIdOf(const HttpAnswer& a)
    {
        return a.data().value("grants").toArray().at(0).toObject().value("id").toString();
    }

    bool disabled(const QString& userId)
    {
        bool failed = false;
        const auto u = h->store->userById(userId, &failed);
        return u && u->disabled;
    }

private slots:
    void init()
    {
        h = std::make_unique<ServerHarness>();
        QString error;
        QVERIFY2(h->start(&error), qPrintable(error));
        m1 = h->addMerchant("甲商家");
        m2 = h->addMerchant("乙商家");
        s1 = h->addApiKey(m1);
        s2 = h->addApiKey(m2);
        alice = h->addUser("alice", "alice-pass-1", Role::Viewer, m1);
        bob = h->addUser("bob", "bob-pass-12", Role::Viewer, m2);
        h->addUser("shop1", "shop1-pass", Role::Merchant, m1);
        QVERIFY(!s1.isEmpty() && !s2.isEmpty() && !alice.isEmpty() && !bob.isEmpty());
        h->addKey(kK1, m1, QByteArray(32, '1'), QByteArray(16, 'a'));
        h->addKey(kK2, m1, QByteArray(32, '2'), QByteArray(16, 'b'));
        h->addKey(kK3, m2, QByteArray(32, '3'), QByteArray(16, 'c'));
        const HttpAnswer g = grant(s2, bob, {{"keyIds", QJsonArray{kK3}}});
        QCOMPARE(outcome(g), QStringLiteral("OK"));
        bobGrant = grantIdOf(g);
        QCOMPARE(outcome(h->videoKey(h->loginToken("bob", "bob-pass-12", kDevB), kK3, kDevB)),
                 QStringLiteral("OK"));
    }

    void cleanup() { h.reset(); }

    void everyEndpointWantsAValidKey_data()
    {
        QTest::addColumn<QString>("credential");
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("status");
        QTest::newRow("none") << "none"
                              << "API_KEY_INVALID" << 401;
        QTest::newRow("unknown key") << "unknown"
                                     << "API_KEY_INVALID" << 401;
        QTest::newRow("a merchant's login token") << "login"
                                                  << "API_KEY_INVALID" << 401;
        QTest::newRow("revoked key") << "revoked"
                                     << "API_KEY_INVALID" << 401;
        QTest::newRow("disabled merchant") << "disabled"
                                           << "MERCHANT_DISABLED" << 403;
    }

    void everyEndpointWantsAValidKey()
    {
        QFETCH(QString, credential);
        QFETCH(QString, code);
        QFETCH(int, status);
        QString secret = credential == "unknown" ? "vck_" + QString(64, 'f') : s1;
        if (credential == "login") {
            secret = h->loginToken("shop1", "shop1-pass");
        } else if (credential == "none") {
            secret.clear();
        }
        // Refused on the very next call after the change, with no cache between.
        QCOMPARE(outcome(call("GET", "/api/merchant/keys", s1)), QStringLiteral("OK"));
        if (credential == "revoked") {
            QList<ApiKey> keys;
            QVERIFY(h->store->listApiKeys(m1, &keys) && keys.size() == 1);
            QCOMPARE(h->store->revokeApiKey(keys.at(0).id, h->clock.nowMs()), 1);
        } else if (credential == "disabled") {
            QCOMPARE(h->store->setMerchantDisabled(m1, true), 1);
        }
        const QJsonObject newViewer{{"username", "carol"}, {"password", "carol-pass-1"}};
        const QJsonObject grantBody{{"viewerId", alice}, {"allKeys", true}};
        const QList<std::tuple<QByteArray, QString, QJsonObject>> endpoints = {
            {"POST", "/api/merchant/viewers", newViewer},
            {"GET", "/api/merchant/viewers", {}},
            {"POST", "/api/merchant/viewers/{alice}/disable", {}},
            {"POST", "/api/merchant/viewers/{alice}/enable", {}},
            {"DELETE", "/api/merchant/viewers/{alice}/devices", {}},
            {"POST", "/api/merchant/grants", grantBody},
            {"GET", "/api/merchant/grants", {}},
            {"DELETE", "/api/merchant/grants/{bobGrant}", {}},
            {"GET", "/api/merchant/keys", {}},
            {"GET", "/api/merchant/key-requests", {}},
        };
        for (const auto& [verb, path, body] : endpoints) {
            const HttpAnswer a = call(verb, fill(path), secret, body);
            QVERIFY2(a.envelope && !a.ok(), qPrintable(path));
            QCOMPARE(a.code(), code);
            QCOMPARE(a.status, status);
        }
        QCOMPARE(h->count("users"), 3);
        QCOMPARE(h->count("grants"), 1);
        QVERIFY(!disabled(alice));
    }

    void viewerIsMadeOnceThenFoundAndSet()
    {
        const QJsonObject body{{"username", "carol"},
                               {"password", "carol-pass-1"},
                               {"displayName", "卡罗尔"},
                               {"deviceLimit", 3},
                               {"accountExpiry", "2099-12-31"}};
        const HttpAnswer made = call("POST", "/api/merchant/viewers", s1, body);
        QCOMPARE(outcome(made), QStringLiteral("OK"));
        QCOMPARE(made.data().value("created").toBool(), true);
        QCOMPARE(made.data().value("displayName").toString(), QStringLiteral("卡罗尔"));
        QCOMPARE(made.data().value("deviceLimit").toInt(), 3);
        QCOMPARE(made.data().value("accountExpiry").toString(),
                 QStringLiteral("2100-01-01T00:00:00.000Z"));
        const QString id = made.data().value("id").toString();
        QVERIFY(!h->loginToken("carol", "carol-pass-1").isEmpty());

        // A retry finds the same account and leaves its password alone.
        QJsonObject again = body;
        again["password"] = "another-password";
        const HttpAnswer found = call("POST", "/api/merchant/viewers", s1, again);
        QCOMPARE(found.data().value("created").toBool(), false);
        QCOMPARE(found.data().value("id").toString(), id);
        QVERIFY(!h->loginToken("carol", "carol-pass-1").isEmpty());

        // Settings given are applied; those left out stay.
        const HttpAnswer set = call("POST", "/api/merchant/viewers", s1,
                                    {{"username", "carol"}, {"accountExpiry", QJsonValue()}});
        QCOMPARE(set.data().value("accountExpiry"), QJsonValue());
        QCOMPARE(set.data().value("deviceLimit").toInt(), 3);
        bool failed = false;
        const auto stored = h->store->userById(id, &failed);
        QVERIFY(stored && !stored->accountExpiresAt && stored->deviceLimit == 3);
        QCOMPARE(stored->merchantId, m1);
        QCOMPARE(h->count("users"), 4);
    }

    void viewerRefusals_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("status");
        QTest::newRow("no name") << QByteArray(R"({"password":"long-enough"})") << "INVALID_REQUEST"
                                 << 400;
        QTest::newRow("blank name") << QByteArray(R"({"username":"  ","password":"long-enough"})")
                                    << "INVALID_REQUEST" << 400;
        QTest::newRow("new, no password")
            << QByteArray(R"({"username":"dave"})") << "INVALID_REQUEST" << 400;
        QTest::newRow("new, short password")
            << QByteArray(R"({"username":"dave","password":"short"})") << "INVALID_REQUEST" << 400;
        QTest::newRow("limit below 0")
            << QByteArray(R"({"username":"dave","password":"long-enough","deviceLimit":-1})")
            << "INVALID_REQUEST" << 400;
        QTest::newRow("limit a fraction")
            << QByteArray(R"({"username":"dave","password":"long-enough","deviceLimit":1.5})")
            << "INVALID_REQUEST" << 400;
        QTest::newRow("limit as text")
            << QByteArray(R"({"username":"dave","password":"long-enough","deviceLimit":"2"})")
            << "INVALID_REQUEST" << 400;
        QTest::newRow("unreadable expiry")
            << QByteArray(R"({"username":"dave","password":"long-enough","accountExpiry":"soon"})")
            << "INVALID_REQUEST" << 400;
        QTest::newRow("name as number")
            << QByteArray(R"({"username":7,"password":"long-enough"})") << "INVALID_REQUEST" << 400;
        // Names of accounts that are not this merchant's are taken, whoever has them.
        QTest::newRow("another merchant's viewer")
            << QByteArray(R"({"username":"bob","deviceLimit":9,"accountExpiry":"2001-01-01"})")
            << "USERNAME_TAKEN" << 409;
        QTest::newRow("a merchant account")
            << QByteArray(R"({"username":"shop1","deviceLimit":9})") << "USERNAME_TAKEN" << 409;
    }

    void viewerRefusals()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, code);
        QFETCH(int, status);
        const HttpAnswer a = h->send("POST", "/api/merchant/viewers", body, s1);
        QCOMPARE(outcome(a), code);
        QCOMPARE(a.status, status);
        QCOMPARE(h->count("users"), 3);
        bool failed = false;
        const auto b = h->store->userById(bob, &failed);
        QVERIFY(b && b->deviceLimit == 2 && !b->accountExpiresAt);
    }

    void merchantsCannotReachEachOther_data()
    {
        QTest::addColumn<QByteArray>("verb");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("code");
        QTest::newRow("disable") << QByteArray("POST") << "/api/merchant/viewers/{bob}/disable"
                                 << ""
                                 << "VIEWER_NOT_FOUND";
        QTest::newRow("enable") << QByteArray("POST") << "/api/merchant/viewers/{bob}/enable"
                                << ""
                                << "VIEWER_NOT_FOUND";
        QTest::newRow("reset devices")
            << QByteArray("DELETE") << "/api/merchant/viewers/{bob}/devices"
            << ""
            << "VIEWER_NOT_FOUND";
        QTest::newRow("grant to their viewer") << QByteArray("POST") << "/api/merchant/grants"
                                               << R"({"viewerId":"{bob}","allKeys":true})"
                                               << "VIEWER_NOT_FOUND";
        QTest::newRow("grant their key") << QByteArray("POST") << "/api/merchant/grants"
                                         << R"({"viewerId":"{alice}","keyIds":["{k3}"]})"
                                         << "KEY_NOT_FOUND";
        QTest::newRow("revoke their grant")
            << QByteArray("DELETE") << "/api/merchant/grants/{bobGrant}"
            << ""
            << "GRANT_NOT_FOUND";
        QTest::newRow("set their viewer") << QByteArray("POST") << "/api/merchant/viewers"
                                          << R"({"username":"bob","deviceLimit":0})"
                                          << "USERNAME_TAKEN";
    }

    void merchantsCannotReachEachOther()
    {
        QFETCH(QByteArray, verb);
        QFETCH(QString, path);
        QFETCH(QString, body);
        QFETCH(QString, code);
        const HttpAnswer a = h->send(verb, fill(path), fill(body).toUtf8(), s1);
        QCOMPARE(outcome(a), code);
        // Bob, his grant and his device are as merchant 2 left them.
        QVERIFY(!disabled(bob));
        QList<Grant> grants;
        QVERIFY(h->store->listGrants(bob, &grants));
        QCOMPARE(grants.size(), 1);
        QCOMPARE(grants.at(0).id, bobGrant);
        QList<Device> devices;
        QVERIFY(h->store->listDevices(bob, &devices));
        QCOMPARE(devices.size(), 1);
        QCOMPARE(h->count("grants"), 1);
        // The same call with the owner's key is what changes things.
        if (path.contains("{bob")) {
            QCOMPARE(outcome(h->send(verb, fill(path), fill(body).toUtf8(), s2)),
                     QStringLiteral("OK"));
        }
    }

    void listingsShowOnlyOwnRows()
    {
        h->clock.advance(1000);  // after bob's request, so the log's order is known
        grant(s1, alice, {{"allKeys", true}});
        const QString token = h->loginToken("alice", "alice-pass-1", kDevA);
        h->videoKey(token, kK1, kDevA);
        h->videoKey(token, kK3, kDevA);  // merchant 2's key: its log, not merchant 1's
        QCOMPARE(column(items(call("GET", "/api/merchant/viewers", s1)), "username"),
                 QStringList{"alice"});
        QCOMPARE(column(items(call("GET", "/api/merchant/keys", s1)), "keyId"),
                 (QStringList{kK1, kK2}));
        QCOMPARE(column(items(call("GET", "/api/merchant/grants", s1)), "viewerId"),
                 QStringList{alice});
        QCOMPARE(items(call("GET", "/api/merchant/grants?viewerId=" + bob, s1)).size(), 0);
        QCOMPARE(column(items(call("GET", "/api/merchant/key-requests", s1)), "keyId"),
                 QStringList{kK1});
        QCOMPARE(items(call("GET", "/api/merchant/key-requests?keyId=" + kK3, s1)).size(), 0);
        const QJsonArray theirs = items(call("GET", "/api/merchant/key-requests", s2));
        QCOMPARE(column(theirs, "keyId"), (QStringList{kK3, kK3}));
        QCOMPARE(column(theirs, "result"), (QStringList{"PERMISSION_DENIED", "OK"}));
        QCOMPARE(column(items(call("GET", "/api/merchant/viewers", s2)), "username"),
                 QStringList{"bob"});
    }

    void grantedViewerPlaysUntilRevokedOrEnded()
    {
        const QString token = h->loginToken("alice", "alice-pass-1", kDevA);
        QCOMPARE(outcome(h->videoKey(token, kK1, kDevA)), QStringLiteral("PERMISSION_DENIED"));
        const HttpAnswer one = grant(s1, alice, {{"keyIds", QJsonArray{kK1}}});
        QCOMPARE(outcome(one), QStringLiteral("OK"));
        const HttpAnswer key = h->videoKey(token, kK1, kDevA);
        QCOMPARE(outcome(key), QStringLiteral("OK"));
        QCOMPARE(key.data().value("key").toString(),
                 QString::fromLatin1(QByteArray(32, '1').toBase64()));
        QCOMPARE(outcome(h->videoKey(token, kK2, kDevA)), QStringLiteral("PERMISSION_DENIED"));

        const QString id = grantIdOf(one);
        QCOMPARE(outcome(call("DELETE", "/api/merchant/grants/" + id, s1)), QStringLiteral("OK"));
        QCOMPARE(outcome(h->videoKey(token, kK1, kDevA)), QStringLiteral("PERMISSION_DENIED"));
        QCOMPARE(outcome(call("DELETE", "/api/merchant/grants/" + id, s1)),
                 QStringLiteral("GRANT_NOT_FOUND"));

        // Every key, those registered later too, until the end date.
        const QString end = Service::isoTime(h->clock.nowMs() + kHour);
        QCOMPARE(outcome(grant(s1, alice, {{"allKeys", true}, {"endsAt", end}})),
                 QStringLiteral("OK"));
        const QString later = QStringLiteral("44444444-4444-4444-8444-444444444444");
        h->addKey(later, m1, QByteArray(32, '4'), QByteArray(16, 'd'));
        QCOMPARE(outcome(h->videoKey(token, later, kDevA)), QStringLiteral("OK"));
        QCOMPARE(outcome(h->videoKey(token, kK3, kDevA)), QStringLiteral("PERMISSION_DENIED"));
        h->clock.advance(kHour);
        QCOMPARE(outcome(h->videoKey(token, kK2, kDevA)), QStringLiteral("PERMISSION_EXPIRED"));
    }

    void grantingAgainIsTheSameGrant()
    {
        const QJsonObject body{{"keyIds", QJsonArray{kK1, kK2, kK1.toUpper()}}};
        const HttpAnswer first = grant(s1, alice, body);
        QCOMPARE(first.data().value("grants").toArray().size(), 2);
        const HttpAnswer retry = grant(s1, alice, body);
        QCOMPARE(retry.data().value("grants"), first.data().value("grants"));
        QCOMPARE(h->count("grants"), 3);  // bob's and alice's two

        // A new end date moves the existing grant's end.
        const QString end = Service::isoTime(h->clock.nowMs() + kDay);
        const HttpAnswer moved = grant(s1, alice, {{"keyIds", QJsonArray{kK1}}, {"endsAt", end}});
        const QJsonObject g = moved.data().value("grants").toArray().at(0).toObject();
        QCOMPARE(g.value("id").toString(), grantIdOf(first));
        QCOMPARE(g.value("endsAt").toString(), end);
        QCOMPARE(h->count("grants"), 3);
        QCOMPARE(outcome(grant(s1, alice, {{"allKeys", true}})), QStringLiteral("OK"));
        QCOMPARE(outcome(grant(s1, alice, {{"allKeys", true}})), QStringLiteral("OK"));
        QCOMPARE(h->count("grants"), 4);
    }

    void grantRefusals_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("code");
        QTest::newRow("neither keys nor all") << R"({"viewerId":"{alice}"})"
                                              << "INVALID_REQUEST";
        QTest::newRow("both") << R"({"viewerId":"{alice}","allKeys":true,"keyIds":["{k1}"]})"
                              << "INVALID_REQUEST";
        QTest::newRow("empty list") << R"({"viewerId":"{alice}","keyIds":[]})"
                                    << "INVALID_REQUEST";
        QTest::newRow("malformed key id") << R"({"viewerId":"{alice}","keyIds":["nope"]})"
                                          << "INVALID_KEY_ID";
        QTest::newRow("one unknown key spoils all")
            << R"({"viewerId":"{alice}","keyIds":["{k1}","55555555-5555-4555-8555-555555555555"]})"
            << "KEY_NOT_FOUND";
        QTest::newRow("unreadable end") << R"({"viewerId":"{alice}","allKeys":true,"endsAt":"x"})"
                                        << "INVALID_REQUEST";
        QTest::newRow("unknown viewer") << R"({"viewerId":"nobody","allKeys":true})"
                                        << "VIEWER_NOT_FOUND";
        QTest::newRow("all as text") << R"({"viewerId":"{alice}","allKeys":"yes"})"
                                     << "INVALID_REQUEST";
    }

    void grantRefusals()
    {
        QFETCH(QString, body);
        QFETCH(QString, code);
        QCOMPARE(outcome(h->send("POST", "/api/merchant/grants", fill(body).toUtf8(), s1)), code);
        QCOMPARE(h->count("grants"), 1);
    }

    void disableEnableAndResetDevices()
    {
        grant(s1, alice, {{"allKeys", true}});
        QVERIFY(h->store->setDeviceLimit(alice, 1));
        const QString onA = h->loginToken("alice", "alice-pass-1", kDevA);
        QCOMPARE(outcome(h->videoKey(onA, kK1, kDevA)), QStringLiteral("OK"));
        const QString onB = h->loginToken("alice", "alice-pass-1", kDevB);
        QCOMPARE(outcome(h->videoKey(onB, kK1, kDevB)), QStringLiteral("DEVICE_LIMIT_EXCEEDED"));

        const HttpAnswer reset = call("DELETE", "/api/merchant/viewers/" + alice + "/devices", s1);
        QCOMPARE(reset.data().value("devicesRemoved").toInt(), 1);
        // Every session ended with it, so the old machine cannot take the place back.
        QCOMPARE(outcome(h->videoKey(onA, kK1, kDevA)), QStringLiteral("TOKEN_INVALID"));
        const QString again = h->loginToken("alice", "alice-pass-1", kDevB);
        QCOMPARE(outcome(h->videoKey(again, kK1, kDevB)), QStringLiteral("OK"));

        const HttpAnswer off = call("POST", "/api/merchant/viewers/" + alice + "/disable", s1);
        QCOMPARE(off.data().value("disabled").toBool(), true);
        QCOMPARE(outcome(h->videoKey(again, kK1, kDevB)), QStringLiteral("TOKEN_INVALID"));
        QCOMPARE(outcome(h->login("alice", "alice-pass-1", kDevB)),
                 QStringLiteral("ACCOUNT_DISABLED"));
        QCOMPARE(outcome(call("POST", "/api/merchant/viewers/" + alice + "/enable", s1)),
                 QStringLiteral("OK"));
        QCOMPARE(outcome(h->videoKey(h->loginToken("alice", "alice-pass-1", kDevB), kK1, kDevB)),
                 QStringLiteral("OK"));
    }

    void resetKeepsRejectedDevices()
    {
        QCOMPARE(h->store->setDeviceRejected(bob, kDevB, true), 1);
        const HttpAnswer reset = call("DELETE", "/api/merchant/viewers/" + bob + "/devices", s2);
        QCOMPARE(reset.data().value("devicesRemoved").toInt(), 0);
        const QString token = h->loginToken("bob", "bob-pass-12", kDevB);
        QCOMPARE(outcome(h->videoKey(token, kK3, kDevB)), QStringLiteral("DEVICE_REJECTED"));
    }

    void listingsPage()
    {
        for (int i = 0; i < 3; ++i) {
            h->clock.advance(1000);
            h->addKey(QStringLiteral("5555555%1-5555-4555-8555-555555555555").arg(i), m1,
                      QByteArray(32, 'x'), QByteArray(16, 'y'));
        }
        const HttpAnswer first = call("GET", "/api/merchant/keys?limit=2", s1);
        QCOMPARE(items(first).size(), 2);
        QCOMPARE(first.data().value("hasMore").toBool(), true);
        const HttpAnswer last = call("GET", "/api/merchant/keys?limit=2&offset=4", s1);
        QCOMPARE(items(last).size(), 1);
        QCOMPARE(last.data().value("hasMore").toBool(), false);
        const QJsonObject k = items(last).at(0).toObject();
        QCOMPARE(k.value("keyId").toString(),
                 QStringLiteral("55555552-5555-4555-8555-555555555555"));
        QCOMPARE(k.value("sourceFileName").toString(), QStringLiteral("clip.mp4"));
        QCOMPARE(k.value("fileSize").toInt(), 1000);
        QCOMPARE(k.value("revoked").toBool(), false);
        QCOMPARE(k.value("createdAt").toString(), Service::isoTime(h->clock.nowMs()));
    }

    void listingQueryRefusals_data()
    {
        QTest::addColumn<QString>("query");
        QTest::newRow("limit 0") << "limit=0";
        QTest::newRow("limit too big") << "limit=1001";
        QTest::newRow("limit text") << "limit=ten";
        QTest::newRow("offset below 0") << "offset=-1";
        QTest::newRow("unknown filter") << "viewer=x";
        QTest::newRow("repeated") << "keyId=" + kK1 + "&keyId=" + kK2;
        QTest::newRow("bad key id") << "keyId=12";
        QTest::newRow("bad time") << "from=yesterday";
    }

    void listingQueryRefusals()
    {
        QFETCH(QString, query);
        const HttpAnswer a = call("GET", "/api/merchant/key-requests?" + query, s1);
        QCOMPARE(outcome(a), QStringLiteral("INVALID_REQUEST"));
        QCOMPARE(a.status, 400);
    }

    void keyRequestLog()
    {
        grant(s1, alice, {{"keyIds", QJsonArray{kK1}}});
        const QString token = h->loginToken("alice", "alice-pass-1", kDevA);
        const qint64 start = h->clock.nowMs();
        h->videoKey(token, kK1, kDevA);
        h->clock.advance(1000);
        h->videoKey(token, kK2, kDevA);
        h->clock.advance(1000);
        h->videoKey(token, kK2, "not-a-device");
        h->videoKey("unknown-token", kK1, kDevA);  // names nobody: in no merchant's log

        const QJsonArray all = items(call("GET", "/api/merchant/key-requests", s1));
        QCOMPARE(column(all, "result"),
                 (QStringList{"DEVICE_REQUIRED", "PERMISSION_DENIED", "OK"}));  // newest first
        const QJsonObject ok = all.at(2).toObject();
        QCOMPARE(ok.value("at").toString(), Service::isoTime(start));
        QCOMPARE(ok.value("viewerId").toString(), alice);
        QCOMPARE(ok.value("username").toString(), QStringLiteral("alice"));
        QCOMPARE(ok.value("deviceId").toString(), kDevA);
        QCOMPARE(ok.value("deviceName").toString(), QStringLiteral("测试机"));
        QCOMPARE(ok.value("clientAddress").toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(all.at(0).toObject().value("deviceId").toString(), QStringLiteral("not-a-device"));

        QUrlQuery range;
        range.addQueryItem("from", Service::isoTime(start + 1000));
        range.addQueryItem("to", Service::isoTime(start + 2000));
        range.addQueryItem("viewerId", alice);
        QString path = "/api/merchant/key-requests?" + range.toString(QUrl::FullyEncoded);
        QCOMPARE(column(items(call("GET", path.replace("+", "%2B"), s1)), "result"),
                 QStringList{"PERMISSION_DENIED"});
        QCOMPARE(items(call("GET", "/api/merchant/key-requests?keyId=" + kK1, s1)).size(), 1);
        QCOMPARE(items(call("GET", "/api/merchant/key-requests?viewerId=" + bob, s1)).size(), 0);
    }

    void keyLogIsWrittenOffTheKeyPathAndNothingIsLost()
    {
        grant(s1, alice, {{"keyIds", QJsonArray{kK1}}});
        const QString token = h->loginToken("alice", "alice-pass-1", kDevA);
        const QJsonObject body{{"keyId", kK1}, {"deviceId", kDevA}};
        auto logged = [this](const QString& address) {
            QSqlQuery q(h->db->handle());
            q.prepare("SELECT COUNT(*) FROM key_requests WHERE client_address = ? AND user_id = ?");
            q.addBindValue(address);
            q.addBindValue(alice);
            return q.exec() && q.next() ? q.value(0).toInt() : -1;
        };
        {
            Service service(*h->store, *h->vault, *h->hasher, h->clock, h->options);
            for (int i = 0; i < 70; ++i) {
                QVERIFY(service.videoKey("Bearer " + token.toLatin1(), body, "10.0.0.9").ok());
            }
            QCOMPARE(logged("10.0.0.9"), 0);
        }
        // Going away writes what was left.
        QCOMPARE(logged("10.0.0.9"), 70);
        // The server's own queue is written soon, with no request to prompt it.
        QCOMPARE(logged("127.0.0.1"), 0);
        h->videoKey(token, kK1, kDevA);
        QTRY_COMPARE_WITH_TIMEOUT(logged("127.0.0.1"), 1, 3000);
    }

    void oldLogEntriesArePurged()
    {
        const QString token = h->loginToken("alice", "alice-pass-1", kDevA);
        const QJsonObject body{{"keyId", kK1}, {"deviceId", kDevA}};
        Service service(*h->store, *h->vault, *h->hasher, h->clock, h->options);
        service.videoKey("Bearer " + token.toLatin1(), body, "10.0.0.1");
        h->clock.advance(h->options.keyLogRetentionMs - 1000);
        service.videoKey("Bearer " + token.toLatin1(), body, "10.0.0.2");
        h->clock.advance(2000);
        service.housekeeping();
        QSqlQuery q(h->db->handle());
        QVERIFY(q.exec("SELECT client_address FROM key_requests WHERE client_address LIKE '10.%'"));
        QStringList kept;
        while (q.next()) {
            kept << q.value(0).toString();
        }
        QCOMPARE(kept, QStringList{"10.0.0.2"});
    }

    void olderDatabaseIsUpgraded()
    {
        // Back to the schema before API keys and the log (and what came after
        // them: the console's sessions), with rows in it.
        QSqlQuery q(h->db->handle());
        for (const char* sql :
             {"DROP TABLE console_sessions", "DROP TABLE api_keys", "DROP TABLE key_requests",
              "DROP INDEX grants_merchant", "ALTER TABLE merchants DROP COLUMN disabled",
              "DELETE FROM schema_migrations WHERE version >= 3"}) {
            QVERIFY2(q.exec(QString::fromLatin1(sql)), sql);
        }
        QCOMPARE(h->db->schemaVersion(), 2);
        QString error;
        QVERIFY2(h->db->migrate(&error), qPrintable(error));
        QCOMPARE(h->db->schemaVersion(), Database::latestSchemaVersion());
        bool failed = false;
        const auto m = h->store->merchantById(m2, &failed);
        QVERIFY(m && !m->disabled);
        QCOMPARE(h->count("grants"), 1);
        QCOMPARE(outcome(h->videoKey(h->loginToken("bob", "bob-pass-12", kDevB), kK3, kDevB)),
                 QStringLiteral("OK"));
    }
};

QTEST_GUILESS_MAIN(ServerShopTest)
#include "tst_server_shop.moc"
