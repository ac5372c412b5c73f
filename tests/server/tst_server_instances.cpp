// Two veilcast-server processes on one PostgreSQL database (the one
// with-postgres.sh provides), as behind a load balancer: tokens, renewals,
// the login throttle and the device limit must hold across both.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QtTest>

#include "ServerProcess.h"

namespace {

const QString kKeyId = QStringLiteral("7a1b2c3d-4e5f-4a6b-8c7d-8e9fa0b1c2d3");
const QString kDevA = QStringLiteral("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");

}  // namespace

class ServerInstancesTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_database;
    // One data directory: both instances read the same master key from it.
    ServerProcess m_a{m_dir.filePath(QStringLiteral("data"))};
    ServerProcess m_b{m_dir.filePath(QStringLiteral("data"))};
    QNetworkAccessManager m_net;

    ServerProcess::Run admin(const QStringList& args, const QByteArray& input = {})
    {
        return m_a.admin(QStringList{"--database", m_database} + args, input);
    }

    QNetworkReply* send(const ServerProcess& to, const QString& path, const QJsonObject& body,
                        const QString& token = {}, bool get = false)
    {
        return sendVerb(to, get ? "GET" : "POST", path, body, token);
    }

    QNetworkReply* sendVerb(const ServerProcess& to, const QByteArray& verb, const QString& path,
                            const QJsonObject& body = {}, const QString& token = {})
    {
        QNetworkRequest r(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(to.port()).arg(path)));
        r.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        if (!token.isEmpty()) {
            r.setRawHeader("Authorization", "Bearer " + token.toLatin1());
        }
        const QByteArray payload = verb == "POST" ? QJsonDocument(body).toJson() : QByteArray();
        return m_net.sendCustomRequest(r, verb, payload);
    }

    static QJsonObject answer(QNetworkReply* reply)
    {
        if (!reply->isFinished()) {
            QSignalSpy done(reply, &QNetworkReply::finished);
            done.wait(20000);
        }
        const QJsonObject a = QJsonDocument::fromJson(reply->readAll()).object();
        reply->deleteLater();
        return a;
    }

    static QString outcome(const QJsonObject& a)
    {
        return a.value("success").toBool() ? QStringLiteral("OK") : a.value("code").toString();
    }

    QJsonObject call(const ServerProcess& to, const QString& path, const QJsonObject& body,
                     const QString& token = {}, bool get = false)
    {
        return answer(send(to, path, body, token, get));
    }

    QString login(const ServerProcess& to, const QString& user, const QString& password,
                  const QString& device = kDevA)
    {
        QJsonObject body{{"username", user}, {"password", password}};
        if (!device.isEmpty()) {
            body.insert("deviceId", device);
        }
        return call(to, "/api/auth/login", body).value("data").toObject().value("token").toString();
    }

    QString key(const ServerProcess& at, const QString& token, const QString& device = kDevA)
    {
        return outcome(
            call(at, "/api/video/key", {{"keyId", kKeyId}, {"deviceId", device}}, token));
    }

    QString startAndCheck(ServerProcess& p) { return p.start({"--database", m_database}); }

private slots:
    void initTestCase()
    {
        m_database = qEnvironmentVariable("VEILCAST_TEST_DATABASE");
        if (m_database.isEmpty()) {
            QSKIP("needs VEILCAST_TEST_DATABASE (run through with-postgres.sh)");
        }
        QVERIFY2(QFileInfo(ServerProcess::binary()).isExecutable(),
                 "VEILCAST_SERVER_BIN must name veilcast-server");
        QCOMPARE(admin({"merchant", "add", "m"}).exitCode, 0);
        QCOMPARE(admin({"user", "add", "shop", "--role", "merchant", "--merchant", "m"},
                       "shop-password\n")
                     .exitCode,
                 0);
        QCOMPARE(admin({"user", "add", "viewer", "--role", "viewer"}, "viewer-password\n").exitCode,
                 0);
        QCOMPARE(startAndCheck(m_a), QString());
        QCOMPARE(startAndCheck(m_b), QString());
        const QString shop = login(m_a, "shop", "shop-password");
        const QJsonObject upload{{"keyId", kKeyId},
                                 {"key", QString::fromLatin1(QByteArray(32, 'k').toBase64())},
                                 {"iv", QString::fromLatin1(QByteArray(16, 'i').toBase64())},
                                 {"title", "t"},
                                 {"sourceFileName", "t.mp4"},
                                 {"fileSize", 1}};
        QCOMPARE(outcome(call(m_a, "/api/merchant/keys", upload, shop)), QStringLiteral("OK"));
        QCOMPARE(admin({"grant", "add", "viewer", "--merchant", "m"}).exitCode, 0);
    }

    void tokensAndRenewalsHoldOnBoth()
    {
        const QString first = login(m_a, "viewer", "viewer-password");
        QVERIFY(!first.isEmpty());
        QCOMPARE(key(m_b, first), QStringLiteral("OK"));  // sealed on A, opened on B
        const QJsonObject renewed = call(m_a, "/api/auth/me", {}, first, true);
        QCOMPARE(outcome(renewed), QStringLiteral("OK"));
        const QString second = renewed.value("data").toObject().value("token").toString();
        QCOMPARE(key(m_b, first), QStringLiteral("TOKEN_INVALID"));
        QCOMPARE(outcome(call(m_b, "/api/auth/me", {}, first, true)),
                 QStringLiteral("TOKEN_INVALID"));
        QCOMPARE(key(m_b, second), QStringLiteral("OK"));
        // Renewing the same token on both at once: exactly one wins.
        QNetworkReply* onA = send(m_a, "/api/auth/me", {}, second, true);
        QNetworkReply* onB = send(m_b, "/api/auth/me", {}, second, true);
        QStringList both{outcome(answer(onA)), outcome(answer(onB))};
        both.sort();
        QCOMPARE(both, (QStringList{"OK", "TOKEN_INVALID"}));
    }

    void deviceLimitHoldsForRequestsAtTheSameInstant()
    {
        // Users with a limit of one; two new devices ask at once, one per
        // instance. Logins without a device leave the first key request to
        // record it.
        for (int round = 0; round < 6; ++round) {
            const QString user = QStringLiteral("dev%1").arg(round);
            QCOMPARE(admin({"user", "add", user, "--role", "viewer", "--device-limit", "1"},
                           "device-password\n")
                         .exitCode,
                     0);
            QCOMPARE(admin({"grant", "add", user, "--merchant", "m"}).exitCode, 0);
            const QString t1 = login(m_a, user, "device-password", QString());
            const QString t2 = login(m_b, user, "device-password", QString());
            QVERIFY(!t1.isEmpty() && !t2.isEmpty());
            const QString dev1 = QString(32, QChar(u'1' + round));
            const QString dev2 = QString(32, QChar(u'a' + round));
            QNetworkReply* r1 =
                send(m_a, "/api/video/key", {{"keyId", kKeyId}, {"deviceId", dev1}}, t1);
            QNetworkReply* r2 =
                send(m_b, "/api/video/key", {{"keyId", kKeyId}, {"deviceId", dev2}}, t2);
            QStringList outcomes{outcome(answer(r1)), outcome(answer(r2))};
            outcomes.sort();
            QCOMPARE(outcomes, (QStringList{"DEVICE_LIMIT_EXCEEDED", "OK"}));
            const auto devices =
                QJsonDocument::fromJson(admin({"--json", "device", "list", user}).out).array();
            QCOMPARE(devices.size(), 1);
        }
    }

    void shopCallsHoldOnBoth()
    {
        const QJsonObject made =
            QJsonDocument::fromJson(admin({"--json", "apikey", "add", "m"}).out).object();
        const QString shop = made.value("secret").toString();
        QVERIFY(!shop.isEmpty());
        auto shopCall = [&](const ServerProcess& at, const QByteArray& verb, const QString& path,
                            const QJsonObject& body = {}) {
            return answer(sendVerb(at, verb, path, body, shop));
        };
        const QJsonObject viewer =
            shopCall(m_a, "POST", "/api/merchant/viewers",
                     {{"username", "shopper"}, {"password", "shopper-password"}});
        const QString viewerId = viewer.value("data").toObject().value("id").toString();
        QVERIFY2(!viewerId.isEmpty(), qPrintable(outcome(viewer)));

        // The same grant on both at once is still one grant (rounds on fresh
        // viewers, as the two must meet on a grant neither has made yet).
        for (int round = 0; round < 8; ++round) {
            const QString name =
                round == 0 ? QStringLiteral("shopper") : QStringLiteral("shopper%1").arg(round);
            const QString id =
                round == 0 ? viewerId
                           : shopCall(m_a, "POST", "/api/merchant/viewers",
                                      {{"username", name}, {"password", "shopper-password"}})
                                 .value("data")
                                 .toObject()
                                 .value("id")
                                 .toString();
            const QJsonObject grant{{"viewerId", id}, {"keyIds", QJsonArray{kKeyId}}};
            QNetworkReply* onA = sendVerb(m_a, "POST", "/api/merchant/grants", grant, shop);
            QNetworkReply* onB = sendVerb(m_b, "POST", "/api/merchant/grants", grant, shop);
            const QJsonObject fromA = answer(onA);
            const QJsonObject fromB = answer(onB);
            QCOMPARE(outcome(fromA), QStringLiteral("OK"));
            QCOMPARE(fromA.value("data"), fromB.value("data"));
            const QJsonObject listed = shopCall(m_b, "GET", "/api/merchant/grants?viewerId=" + id);
            QCOMPARE(listed.value("data").toObject().value("items").toArray().size(), 1);
        }
        const QJsonArray grants = shopCall(m_b, "GET", "/api/merchant/grants?viewerId=" + viewerId)
                                      .value("data")
                                      .toObject()
                                      .value("items")
                                      .toArray();
        const QString token = login(m_a, "shopper", "shopper-password");
        QCOMPARE(key(m_b, token), QStringLiteral("OK"));
        const QString grantId = grants.at(0).toObject().value("id").toString();
        QCOMPARE(outcome(shopCall(m_b, "DELETE", "/api/merchant/grants/" + grantId)),
                 QStringLiteral("OK"));
        QCOMPARE(key(m_a, token), QStringLiteral("PERMISSION_DENIED"));

        // What one instance logged, the other lists (written within a second).
        auto results = [&] {
            QStringList out;
            const QJsonObject log =
                shopCall(m_a, "GET", "/api/merchant/key-requests?viewerId=" + viewerId);
            for (const QJsonValue& e : log.value("data").toObject().value("items").toArray()) {
                out << e.toObject().value("result").toString();
            }
            return out;
        };
        QTRY_COMPARE_WITH_TIMEOUT(results(), (QStringList{"PERMISSION_DENIED", "OK"}), 5000);

        // Switching the merchant off and a revoke, both on the command line,
        // hold on both instances at the next call.
        QCOMPARE(admin({"merchant", "disable", "m"}).exitCode, 0);
        QCOMPARE(outcome(shopCall(m_a, "GET", "/api/merchant/keys")),
                 QStringLiteral("MERCHANT_DISABLED"));
        QCOMPARE(outcome(shopCall(m_b, "GET", "/api/merchant/keys")),
                 QStringLiteral("MERCHANT_DISABLED"));
        QCOMPARE(admin({"merchant", "enable", "m"}).exitCode, 0);
        QCOMPARE(outcome(shopCall(m_b, "GET", "/api/merchant/keys")), QStringLiteral("OK"));
        QCOMPARE(admin({"apikey", "revoke", made.value("id").toString()}).exitCode, 0);
        QCOMPARE(outcome(shopCall(m_a, "GET", "/api/merchant/keys")),
                 QStringLiteral("API_KEY_INVALID"));
        QCOMPARE(outcome(shopCall(m_b, "GET", "/api/merchant/keys")),
                 QStringLiteral("API_KEY_INVALID"));
    }

    void loginThrottleCountsBothInstances()
    {
        QCOMPARE(admin({"user", "add", "target", "--role", "viewer"}, "target-password\n").exitCode,
                 0);
        // Twenty wrong guesses at once, half on each instance.
        QList<QNetworkReply*> replies;
        for (int i = 0; i < 20; ++i) {
            replies << send(i % 2 ? m_a : m_b, "/api/auth/login",
                            {{"username", "target"}, {"password", QString("guess-%1").arg(i)}});
        }
        QMap<QString, int> outcomes;
        for (QNetworkReply* r : replies) {
            outcomes[outcome(answer(r))]++;
        }
        // Two attempts counting at the same instant may both see the other
        // and both step back, so the burst may check fewer than the limit,
        // never more. One at a time then fills it up exactly.
        int checked = outcomes.value("INVALID_CREDENTIALS");
        QVERIFY2(checked <= 10, qPrintable(QString::number(checked)));
        QCOMPARE(checked + outcomes.value("TOO_MANY_ATTEMPTS"), 20);
        for (int i = 0; i < 12; ++i) {
            const QString o = outcome(call(i % 2 ? m_a : m_b, "/api/auth/login",
                                           {{"username", "target"}, {"password", "again"}}));
            if (o == QStringLiteral("TOO_MANY_ATTEMPTS")) {
                break;
            }
            QCOMPARE(o, QStringLiteral("INVALID_CREDENTIALS"));
            ++checked;
        }
        QCOMPARE(checked, 10);
        // Even the right password waits for the window, on either instance.
        QVERIFY(login(m_a, "target", "target-password").isEmpty());
        QVERIFY(login(m_b, "target", "target-password").isEmpty());
    }

    void cleanupTestCase()
    {
        m_a.stop();
        m_b.stop();
    }
};

QTEST_GUILESS_MAIN(ServerInstancesTest)
#include "tst_server_instances.moc"
