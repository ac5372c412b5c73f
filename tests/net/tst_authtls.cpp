// A server whose certificate the system does not trust: the login must fail
// with the TLS text, never fall back to anything readable.
#include <QProcess>
#include <QSignalSpy>
#include <QSslKey>
#include <QTemporaryDir>
#include <QtTest>

#include "AppConfig.h"
#include "AuthManager.h"
#include "ScriptedPeer.h"

class TestAuthTls : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ScriptedPeer m_peer;

private slots:
    void initTestCase()
    {
        QVERIFY(QSslSocket::supportsSsl());
        QVERIFY(m_dir.isValid());
        const QString cert = m_dir.filePath("cert.pem");
        const QString key = m_dir.filePath("key.pem");
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                                  "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1"});
        QVERIFY2(openssl.waitForFinished(30000), "openssl did not finish");
        QVERIFY2(openssl.exitCode() == 0, openssl.readAll().constData());

        QFile certFile(cert);
        QFile keyFile(key);
        QVERIFY(certFile.open(QIODevice::ReadOnly));
        QVERIFY(keyFile.open(QIODevice::ReadOnly));
        const QSslCertificate certificate(&certFile, QSsl::Pem);
        const QSslKey privateKey(&keyFile, QSsl::Rsa, QSsl::Pem);
        QVERIFY(!certificate.isNull());
        QVERIFY(!privateKey.isNull());

        QVERIFY(m_peer.listenTls(certificate, privateKey));
        QVERIFY(m_peer.url().startsWith("https://"));
        qputenv("VEILCAST_SERVER_URL", m_peer.url().toUtf8());
        m_peer.setHandler([](const PeerRequest&) { return PeerResponse::ok({{"token", "t"}}); });
    }

    void loginFailsWithTlsText()
    {
        QSignalSpy ok(AuthManager::instance(), &AuthManager::loginSucceeded);
        QSignalSpy failed(AuthManager::instance(), &AuthManager::loginFailed);
        AuthManager::instance()->login("alice", "secret");
        QVERIFY(failed.wait(10000));
        QCOMPARE(failed.first().first().toString(), QString::fromUtf8("安全连接失败"));
        QCOMPARE(ok.size(), 0);
        // The credentials never reached the untrusted peer.
        QVERIFY(m_peer.requests().isEmpty());
    }

    void silentLoginDiscardsToken()
    {
        AppConfig::instance()->setToken("saved");
        QSignalSpy failed(AuthManager::instance(), &AuthManager::autoLoginFailed);
        AuthManager::instance()->autoLogin();
        QVERIFY(failed.wait(10000));
        QCOMPARE(AppConfig::instance()->token(), QString());
        QVERIFY(m_peer.requests().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAuthTls)
#include "tst_authtls.moc"
