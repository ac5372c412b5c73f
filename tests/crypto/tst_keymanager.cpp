#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include "AppConfig.h"
#include "AuthManager.h"
#include "DeviceIdentity.h"
#include "KeyManager.h"
#include "KeyStore.h"
#include "ScriptedPeer.h"
#include "TestFiles.h"

namespace {

const QString kHexId = "6F1C2A3B4D5E4F608A9B0C1D2E3F4A5B";
const QString kDashedId = "6f1c2a3b-4d5e-4f60-8a9b-0c1d2e3f4a5b";
const QString kStoredId = "11111111-2222-4333-8444-555555555555";

PeerResponse keyAnswer(const QByteArray& key, const QByteArray& iv)
{
    return PeerResponse::ok(
        {{"key", QString::fromLatin1(key.toBase64())}, {"iv", QString::fromLatin1(iv.toBase64())}});
}

}  // namespace

class TestKeyManager : public QObject
{
    Q_OBJECT

private:
    ScriptedPeer m_peer;
    AuthManager* m_auth = nullptr;

private slots:
    void initTestCase()
    {
        QSettings("Veilcast", "Veilcast")
            .setValue("keystore/" + kStoredId, testBytes(32, 'S').toBase64());

        QVERIFY(m_peer.listen());
        qputenv("VEILCAST_SERVER_URL", m_peer.url().toUtf8());
        m_auth = AuthManager::instance();
        m_peer.enqueue("/api/auth/login", PeerResponse::ok({{"token", "tok-1"}, {"userId", "u"}}));
        QSignalSpy ok(m_auth, &AuthManager::loginSucceeded);
        m_auth->login("viewer", "pw");
        QVERIFY(ok.wait(5000));
        QCOMPARE(m_auth->token(), QStringLiteral("tok-1"));
    }

    void init()
    {
        m_peer.reset();
        AppConfig::instance()->setToken("tok-1");
        m_auth->adoptRenewedToken("tok-1", {});
    }

    void normalizeKeyId_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("upper-case hex") << kHexId << kDashedId;
        QTest::newRow("lower-case hex") << kHexId.toLower() << kDashedId;
        QTest::newRow("dashed unchanged") << kDashedId << kDashedId;
        QTest::newRow("upper dashed unchanged") << kDashedId.toUpper() << kDashedId.toUpper();
        QTest::newRow("32 chars, not all hex") << "zz1c2a3b4d5e4f608a9b0c1d2e3f4a5b"
                                               << "";
        QTest::newRow("32 chars, one stray letter") << "g61c2a3b4d5e4f608a9b0c1d2e3f4a5b"
                                                    << "";
        QTest::newRow("31 hex digits unchanged") << kHexId.left(31) << kHexId.left(31);
        QTest::newRow("empty") << ""
                               << "";
    }

    void normalizeKeyId()
    {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(KeyManager::normalizeKeyId(input), expected);
    }

    void serverKeyThenCacheHits()
    {
        KeyManager manager;
        const QByteArray key = testBytes(32, 'k');
        const QByteArray iv = testBytes(16, 'i');
        m_peer.enqueue("/api/video/key", keyAnswer(key, iv));

        QSignalSpy ready(&manager, &KeyManager::keyReady);
        QSignalSpy failed(&manager, &KeyManager::keyError);
        manager.requestKey(kHexId, "file-1");
        QCOMPARE(ready.size(), 0);  // the server is asked asynchronously
        QVERIFY(ready.wait(5000));
        QCOMPARE(ready.first().at(0).toString(), QStringLiteral("file-1"));
        QCOMPARE(ready.first().at(1).toByteArray(), key);
        QCOMPARE(ready.first().at(2).toByteArray(), iv);

        QCOMPARE(m_peer.requests().size(), 1);
        const PeerRequest sent = m_peer.requests().first();
        QCOMPARE(sent.method, QByteArray("POST"));
        QCOMPARE(sent.path, QByteArray("/api/video/key"));
        QCOMPARE(sent.header("Authorization"), QByteArray("Bearer tok-1"));
        QCOMPARE(sent.header("Content-Type"), QByteArray("application/json"));
        const QJsonObject body = sent.json();
        QCOMPARE(body.value("keyId").toString(), kDashedId);
        QCOMPARE(body.value("fileId").toString(), QStringLiteral("file-1"));
        QCOMPARE(body.value("deviceId").toString(), DeviceIdentity::deviceId());
        QCOMPARE(body.value("deviceName").toString(), DeviceIdentity::deviceName());
        QCOMPARE(body.size(), 4);

        // Both spellings of the id now answer at once, without an iv.
        for (const QString& id : {kHexId, kDashedId, kHexId.toLower()}) {
            ready.clear();
            manager.requestKey(id, "file-2");
            QCOMPARE(ready.size(), 1);
            QCOMPARE(ready.first().at(0).toString(), QStringLiteral("file-2"));
            QCOMPARE(ready.first().at(1).toByteArray(), key);
            QVERIFY(ready.first().at(2).toByteArray().isEmpty());
        }
        QTest::qWait(50);
        QCOMPARE(m_peer.requests().size(), 1);
        QCOMPARE(failed.size(), 0);
    }

    void storeEntryNeedsNoNetwork()
    {
        KeyManager manager;
        QSignalSpy ready(&manager, &KeyManager::keyReady);
        manager.requestKey(QString(kStoredId).remove('-'), "stored-file");
        QCOMPARE(ready.size(), 1);
        QCOMPARE(ready.first().at(1).toByteArray(), testBytes(32, 'S'));
        QVERIFY(ready.first().at(2).toByteArray().isEmpty());

        manager.requestKey(kStoredId, "again");
        QCOMPARE(ready.size(), 2);
        QTest::qWait(100);
        QVERIFY(m_peer.requests().isEmpty());
    }

    void malformedIdStillAsksServer()
    {
        KeyManager manager;
        m_peer.enqueue("/api/video/key", PeerResponse::refuse("KEY_NOT_FOUND"));
        QSignalSpy failed(&manager, &KeyManager::keyError);
        manager.requestKey("zz1c2a3b4d5e4f608a9b0c1d2e3f4a5b", "f");
        QVERIFY(failed.wait(5000));
        QCOMPARE(m_peer.requests().first().json().value("keyId").toString(), QString());
        QCOMPARE(failed.first().at(1).toString(), QString::fromUtf8("服务器找不到该视频的密钥"));
    }

    void failures_data()
    {
        QTest::addColumn<PeerResponse>("response");
        QTest::addColumn<QString>("expected");

        auto t = [](const char* s) { return QString::fromUtf8(s); };
        QTest::newRow("not found")
            << PeerResponse::refuse("KEY_NOT_FOUND", "x", 404) << t("服务器找不到该视频的密钥");
        QTest::newRow("revoked") << PeerResponse::refuse("KEY_REVOKED", "", 410)
                                 << t("该视频已被商家吊销");
        QTest::newRow("permission denied")
            << PeerResponse::refuse("PERMISSION_DENIED", "", 403) << t("您没有该视频的观看权限");
        QTest::newRow("permission expired")
            << PeerResponse::refuse("PERMISSION_EXPIRED") << t("该视频的观看权限已过期");
        QTest::newRow("device required") << PeerResponse::refuse("DEVICE_REQUIRED", "", 400)
                                         << t("客户端未提供设备信息，无法验证");
        QTest::newRow("device limit, server text")
            << PeerResponse::refuse("DEVICE_LIMIT_EXCEEDED", t("最多 3 台设备"), 403)
            << t("最多 3 台设备");
        QTest::newRow("device limit, no text")
            << PeerResponse::refuse("DEVICE_LIMIT_EXCEEDED")
            << t("已达设备数上限，请联系商家在后台解绑不再使用的设备");
        QTest::newRow("device rejected")
            << PeerResponse::refuse("DEVICE_REJECTED") << t("当前设备已被禁用，请联系商家");
        QTest::newRow("other code, server text")
            << PeerResponse::refuse("QUOTA", t("配额用尽")) << t("配额用尽");
        QTest::newRow("other code, no text") << PeerResponse::refuse("QUOTA") << t("密钥获取失败");
        QTest::newRow("html 502") << PeerResponse::raw(502, "<html/>", "text/html")
                                  << t("网络请求失败");
        QTest::newRow("html 503") << PeerResponse::raw(503, "<html/>", "text/html")
                                  << t("网络请求失败");
        QTest::newRow("empty 200") << PeerResponse::raw(200, "") << t("服务器返回了无法识别的响应");
        QTest::newRow("success without key")
            << PeerResponse::ok({{"iv", QString::fromLatin1(testBytes(16, 'i').toBase64())}})
            << t("服务器返回了无法识别的响应");
        QTest::newRow("success with a short key")
            << keyAnswer(testBytes(16, 'k'), testBytes(16, 'i')) << t("服务器返回了无法识别的响应");
    }

    void failures()
    {
        QFETCH(PeerResponse, response);
        QFETCH(QString, expected);

        KeyManager manager;
        m_peer.enqueue("/api/video/key", response);
        QSignalSpy ready(&manager, &KeyManager::keyReady);
        QSignalSpy failed(&manager, &KeyManager::keyError);
        manager.requestKey(kHexId, "file-9");
        QVERIFY(failed.wait(5000));
        QCOMPARE(failed.first().at(0).toString(), QStringLiteral("file-9"));
        QCOMPARE(failed.first().at(1).toString(), expected);
        QCOMPARE(ready.size(), 0);

        // Nothing was cached: the next request goes to the server again.
        m_peer.enqueue("/api/video/key", keyAnswer(testBytes(32, 'k'), testBytes(16, 'i')));
        manager.requestKey(kHexId, "file-9");
        QCOMPARE(ready.size(), 0);
        QVERIFY(ready.wait(5000));
        QCOMPARE(m_peer.requestsTo("/api/video/key").size(), 2);
        QVERIFY(m_peer.requestsTo("/api/auth/me").isEmpty());
    }

    void noConnection()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 closedPort = probe.serverPort();
        probe.close();
        qputenv("VEILCAST_SERVER_URL", "http://127.0.0.1:" + QByteArray::number(closedPort));
        KeyManager manager;
        qputenv("VEILCAST_SERVER_URL", m_peer.url().toUtf8());

        QSignalSpy failed(&manager, &KeyManager::keyError);
        manager.requestKey(kHexId, "f");
        QVERIFY(failed.wait(5000));
        QCOMPARE(failed.first().at(1).toString(), QString::fromUtf8("无法连接服务器，请检查网络"));
    }

    void refreshedTokenIsUsedForRetry()
    {
        KeyManager manager;
        const QByteArray key = testBytes(32, 'r');
        m_peer.enqueue("/api/video/key", PeerResponse::refuse("TOKEN_EXPIRED", "", 401));
        m_peer.enqueue("/api/auth/me", PeerResponse::ok({{"token", "tok-2"}, {"userId", "u"}}));
        m_peer.enqueue("/api/video/key", keyAnswer(key, testBytes(16, 'i')));

        QSignalSpy ready(&manager, &KeyManager::keyReady);
        QSignalSpy failed(&manager, &KeyManager::keyError);
        manager.requestKey(kHexId, "file-r");
        QVERIFY(ready.wait(5000));
        QCOMPARE(ready.first().at(1).toByteArray(), key);
        QCOMPARE(failed.size(), 0);

        const QList<PeerRequest> keys = m_peer.requestsTo("/api/video/key");
        const QList<PeerRequest> me = m_peer.requestsTo("/api/auth/me");
        QCOMPARE(keys.size(), 2);
        QCOMPARE(me.size(), 1);
        QCOMPARE(m_peer.requests().size(), 3);
        QCOMPARE(keys.at(0).header("Authorization"), QByteArray("Bearer tok-1"));
        QCOMPARE(me.at(0).method, QByteArray("GET"));
        QCOMPARE(me.at(0).header("Authorization"), QByteArray("Bearer tok-1"));
        QCOMPARE(keys.at(1).header("Authorization"), QByteArray("Bearer tok-2"));
        QCOMPARE(keys.at(1).json(), keys.at(0).json());
        QCOMPARE(AppConfig::instance()->token(), QStringLiteral("tok-2"));
    }

    // The server retires a token when it renews it: every request after a
    // refresh, from any key manager, must carry the renewed token.
    void laterRequestsUseTheRenewedToken()
    {
        KeyManager first;
        m_peer.enqueue("/api/video/key", PeerResponse::refuse("TOKEN_EXPIRED", "", 401));
        m_peer.enqueue("/api/auth/me", PeerResponse::ok({{"token", "tok-3"},
                                                         {"userId", "u"},
                                                         {"tokenExpiry", "2031-01-02T03:04:05Z"}}));
        m_peer.enqueue("/api/video/key", keyAnswer(testBytes(32, 'a'), testBytes(16, 'i')));
        QSignalSpy firstReady(&first, &KeyManager::keyReady);
        first.requestKey(kHexId, "a");
        QVERIFY(firstReady.wait(5000));
        QCOMPARE(m_auth->token(), QStringLiteral("tok-3"));
        QCOMPARE(m_auth->currentUser().tokenExpiry,
                 QDateTime(QDate(2031, 1, 2), QTime(3, 4, 5), Qt::UTC));

        KeyManager second;
        m_peer.enqueue("/api/video/key", keyAnswer(testBytes(32, 'b'), testBytes(16, 'i')));
        QSignalSpy secondReady(&second, &KeyManager::keyReady);
        second.requestKey("22222222-2222-4222-8222-222222222222", "b");
        QVERIFY(secondReady.wait(5000));
        const QList<PeerRequest> keys = m_peer.requestsTo("/api/video/key");
        QCOMPARE(keys.size(), 3);
        QCOMPARE(keys.at(2).header("Authorization"), QByteArray("Bearer tok-3"));
        QCOMPARE(m_peer.requestsTo("/api/auth/me").size(), 1);
    }

    void refreshWithoutNewTokenRetriesWithCurrent()
    {
        KeyManager manager;
        m_peer.enqueue("/api/video/key", PeerResponse::refuse("TOKEN_INVALID"));
        m_peer.enqueue("/api/auth/me", PeerResponse::ok({{"userId", "u"}}));
        m_peer.enqueue("/api/video/key", keyAnswer(testBytes(32, 'q'), testBytes(16, 'i')));

        QSignalSpy ready(&manager, &KeyManager::keyReady);
        manager.requestKey(kHexId, "f");
        QVERIFY(ready.wait(5000));
        const QList<PeerRequest> keys = m_peer.requestsTo("/api/video/key");
        QCOMPARE(keys.size(), 2);
        QCOMPARE(keys.at(1).header("Authorization"), QByteArray("Bearer tok-1"));
        QCOMPARE(AppConfig::instance()->token(), QStringLiteral("tok-1"));
    }

    void tokenRefusedTwice()
    {
        KeyManager manager;
        m_peer.enqueue("/api/video/key", PeerResponse::refuse("TOKEN_EXPIRED", "", 401));
        m_peer.enqueue("/api/auth/me", PeerResponse::ok({{"token", "tok-3"}}));
        m_peer.enqueue("/api/video/key", PeerResponse::refuse("TOKEN_EXPIRED", "", 401));
        // A third key request would be answered, and must not be made.
        m_peer.enqueue("/api/video/key", keyAnswer(testBytes(32, 'z'), testBytes(16, 'i')));

        QSignalSpy ready(&manager, &KeyManager::keyReady);
        QSignalSpy failed(&manager, &KeyManager::keyError);
        manager.requestKey(kHexId, "file-t");
        QVERIFY(failed.wait(5000));
        QTest::qWait(100);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().at(1).toString(), QString::fromUtf8("登录已失效，请重新登录"));
        QCOMPARE(ready.size(), 0);
        QCOMPARE(m_peer.requestsTo("/api/video/key").size(), 2);
        QCOMPARE(m_peer.requestsTo("/api/auth/me").size(), 1);
    }

    void refreshFails_data()
    {
        QTest::addColumn<PeerResponse>("meAnswer");
        QTest::newRow("refused") << PeerResponse::refuse("TOKEN_EXPIRED", "", 401);
        QTest::newRow("html 502") << PeerResponse::raw(502, "<html/>", "text/html");
        QTest::newRow("empty 200") << PeerResponse::raw(200, "");
    }

    void refreshFails()
    {
        QFETCH(PeerResponse, meAnswer);
        KeyManager manager;
        m_peer.enqueue("/api/video/key", PeerResponse::refuse("TOKEN_INVALID", "", 401));
        m_peer.enqueue("/api/auth/me", meAnswer);

        QSignalSpy failed(&manager, &KeyManager::keyError);
        manager.requestKey(kHexId, "file-e");
        QVERIFY(failed.wait(5000));
        QTest::qWait(50);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().at(1).toString(), QString::fromUtf8("登录已过期，请重新登录"));
        QCOMPARE(m_peer.requestsTo("/api/video/key").size(), 1);
        QCOMPARE(AppConfig::instance()->token(), QStringLiteral("tok-1"));
    }

    void concurrentRequestsAreNotMerged()
    {
        KeyManager manager;
        m_peer.setHandler(
            [](const PeerRequest&) { return keyAnswer(testBytes(32, 'c'), testBytes(16, 'i')); });
        QSignalSpy ready(&manager, &KeyManager::keyReady);
        manager.requestKey(kHexId, "a");
        manager.requestKey(kHexId, "b");
        QVERIFY(QTest::qWaitFor([&] { return ready.size() == 2; }, 5000));
        QCOMPARE(m_peer.requestsTo("/api/video/key").size(), 2);
        QStringList files{ready.at(0).at(0).toString(), ready.at(1).at(0).toString()};
        files.sort();
        QCOMPARE(files, QStringList({"a", "b"}));
    }
};

QTEST_GUILESS_MAIN(TestKeyManager)
#include "tst_keymanager.moc"
