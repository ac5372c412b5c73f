// The client's session and key path against the real reference server,
// started here on loopback over a throw-away data directory.
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "ApiClient.h"
#include "ApiMessages.h"
#include "AppConfig.h"
#include "AuthManager.h"
#include "KeyManager.h"
#include "ServerProcess.h"
#include "TestFiles.h"

namespace {

const QString kKeyId = "0f9e8d7c-6b5a-4493-8271-605f4e3d2c1b";

}  // namespace

class TestE2eServer : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ServerProcess m_srv{m_dir.filePath("data")};
    int m_port = 0;

    bool admin(const QStringList& args, const QByteArray& input = {})
    {
        const ServerProcess::Run r = m_srv.admin(args, input);
        if (r.exitCode != 0) {
            qWarning() << "admin" << args << "failed:" << r.err;
        }
        return r.exitCode == 0;
    }

    // Restarts keep the port, so the client's server address stays valid.
    bool startServer(const QStringList& extra)
    {
        const QString failure = m_srv.start(extra, m_port);
        if (!failure.isEmpty()) {
            qWarning() << "server did not come up:" << failure;
            return false;
        }
        m_port = m_srv.port();
        return true;
    }

    UserInfo login(const QString& name, const QString& password, QString* failure = nullptr)
    {
        QSignalSpy ok(AuthManager::instance(), &AuthManager::loginSucceeded);
        QSignalSpy failed(AuthManager::instance(), &AuthManager::loginFailed);
        AuthManager::instance()->login(name, password);
        if (!QTest::qWaitFor([&] { return ok.size() + failed.size() > 0; }, 10000)) {
            return {};
        }
        if (failure && !failed.isEmpty()) {
            *failure = failed.first().first().toString();
        }
        return ok.isEmpty() ? UserInfo() : ok.first().first().value<UserInfo>();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(ServerProcess::binary()).isExecutable(),
                 "VEILCAST_SERVER_BIN names no program");
        QVERIFY(m_dir.isValid());
        QVERIFY(admin({"merchant", "add", "甲商家"}));
        QVERIFY(admin({"user", "add", "shop", "--role", "merchant", "--merchant", "甲商家"},
                      "shop-password-1\n"));
        QVERIFY(admin({"user", "add", "viewer", "--role", "viewer", "--display-name", "观众"},
                      "viewer-password-1\n"));
        QVERIFY(startServer({}));
        qputenv("VEILCAST_SERVER_URL", "http://127.0.0.1:" + QByteArray::number(m_port));
    }

    void cleanupTestCase() { m_srv.stop(); }

    void merchantRegistersKey()
    {
        const UserInfo merchant = login("shop", "shop-password-1");
        QVERIFY(!merchant.token.isEmpty());
        QVERIFY(merchant.isMerchant);

        ApiClient client;
        client.setToken(merchant.token);
        QNetworkReply* reply = client.post(
            "/api/merchant/keys", {{"keyId", kKeyId},
                                   {"key", QString::fromLatin1(testBytes(32, 'K').toBase64())},
                                   {"iv", QString::fromLatin1(testBytes(16, 'V').toBase64())},
                                   {"title", "第一课"},
                                   {"sourceFileName", "lesson1.mp4"},
                                   {"fileSize", 1234}});
        QSignalSpy done(reply, &QNetworkReply::finished);
        QVERIFY(done.wait(10000));
        const ApiResult result = ApiClient::readResult(reply);
        QVERIFY2(result.succeeded(),
                 qPrintable(result.failureText(uploadErrorMessage, networkErrorMessage)));
        QVERIFY(admin({"grant", "add", "viewer", "--key", kKeyId}));
        AuthManager::instance()->logout();
    }

    void wrongPassword()
    {
        QString failure;
        QVERIFY(login("viewer", "not-the-password", &failure).token.isEmpty());
        QCOMPARE(failure, QString::fromUtf8("账号或密码错误"));
    }

    void viewerGetsKeyAndSilentLoginWorks()
    {
        const UserInfo viewer = login("  viewer ", "viewer-password-1");
        QVERIFY(!viewer.token.isEmpty());
        QVERIFY(!viewer.isMerchant);
        QCOMPARE(viewer.username, QStringLiteral("viewer"));
        QCOMPARE(viewer.displayName, QString::fromUtf8("观众"));
        QCOMPARE(AppConfig::instance()->token(), viewer.token);

        KeyManager keys;
        QSignalSpy ready(&keys, &KeyManager::keyReady);
        QSignalSpy failed(&keys, &KeyManager::keyError);
        keys.requestKey(QString(kKeyId).remove('-').toUpper(), "lesson-1");
        QVERIFY(ready.wait(10000));
        QCOMPARE(ready.first().at(1).toByteArray(), testBytes(32, 'K'));
        QCOMPARE(ready.first().at(2).toByteArray(), testBytes(16, 'V'));

        keys.requestKey("00000000-0000-4000-8000-000000000000", "unknown");
        QVERIFY(failed.wait(10000));
        QVERIFY(!failed.first().at(1).toString().isEmpty());
        QCOMPARE(ready.size(), 1);

        QSignalSpy silent(AuthManager::instance(), &AuthManager::loginSucceeded);
        AuthManager::instance()->autoLogin();
        QVERIFY(silent.wait(10000));
        QCOMPARE(silent.first().first().value<UserInfo>().username, QStringLiteral("viewer"));
    }

    void expiredTokenIsRenewedForKeyRequest()
    {
        AuthManager::instance()->logout();
        QVERIFY(startServer({"--access-lifetime", "1"}));
        const UserInfo viewer = login("viewer", "viewer-password-1");
        QVERIFY(!viewer.token.isEmpty());
        QTest::qWait(2200);

        KeyManager keys;
        QSignalSpy ready(&keys, &KeyManager::keyReady);
        QSignalSpy failed(&keys, &KeyManager::keyError);
        keys.requestKey(kKeyId, "lesson-1");
        QVERIFY(QTest::qWaitFor([&] { return ready.size() + failed.size() > 0; }, 10000));
        QVERIFY2(failed.isEmpty(),
                 failed.isEmpty() ? "" : qPrintable(failed.first().at(1).toString()));
        QCOMPARE(ready.first().at(1).toByteArray(), testBytes(32, 'K'));
        const QString renewed = AppConfig::instance()->token();
        QVERIFY(!renewed.isEmpty());
        QVERIFY(renewed != viewer.token);
        QCOMPARE(AuthManager::instance()->token(), renewed);

        // The server retired the old token when it renewed it; the session
        // must go on working for the next file, not fall back to a dead token.
        KeyManager later;
        QSignalSpy laterReady(&later, &KeyManager::keyReady);
        QSignalSpy laterFailed(&later, &KeyManager::keyError);
        later.requestKey(kKeyId, "lesson-2");
        QVERIFY(QTest::qWaitFor([&] { return laterReady.size() + laterFailed.size() > 0; }, 10000));
        QVERIFY2(laterFailed.isEmpty(),
                 laterFailed.isEmpty() ? "" : qPrintable(laterFailed.first().at(1).toString()));
        QCOMPARE(laterReady.first().at(1).toByteArray(), testBytes(32, 'K'));
    }
};

QTEST_GUILESS_MAIN(TestE2eServer)
#include "tst_e2e_server.moc"
