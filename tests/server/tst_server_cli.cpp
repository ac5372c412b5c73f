// The veilcast-server program as an operator meets it: admin commands on the
// database of a running server, the listen policy, TLS, restarts, and the log.
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "ServerProcess.h"

namespace {

const QString kKeyId = QStringLiteral("0a1b2c3d-4e5f-4a6b-8c7d-8e9fa0b1c2d3");
const QString kDevice = QStringLiteral("0123456789abcdef0123456789abcdef");

using Run = ServerProcess::Run;

}  // namespace

class ServerCliTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ServerProcess m_srv{m_dir.filePath(QStringLiteral("data"))};
    QNetworkAccessManager m_net;

    Run admin(const QStringList& args, const QByteArray& input = {})
    {
        return m_srv.admin(args, input);
    }

    QJsonArray adminJson(const QStringList& args)
    {
        const Run r = admin(args + QStringList{"--json"});
        return QJsonDocument::fromJson(r.out).array();
    }

    QString startServer(const QStringList& extra) { return m_srv.start(extra); }
    int stopServer() { return m_srv.stop(); }

    QJsonObject call(const QString& path, const QJsonObject& body, const QString& token = {},
                     bool get = false)
    {
        QNetworkRequest r(QUrl(
            QStringLiteral("%1://127.0.0.1:%2%3").arg(m_srv.scheme()).arg(m_srv.port()).arg(path)));
        r.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        if (!token.isEmpty()) {
            r.setRawHeader("Authorization", "Bearer " + token.toLatin1());
        }
        QNetworkReply* reply = get ? m_net.get(r) : m_net.post(r, QJsonDocument(body).toJson());
        reply->ignoreSslErrors();  // the TLS test uses a self-signed certificate
        QSignalSpy done(reply, &QNetworkReply::finished);
        done.wait(10000);
        const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
        reply->deleteLater();
        return answer;
    }

    QString login(const QString& user, const QString& password)
    {
        return call("/api/auth/login", {{"username", user},
                                        {"password", password},
                                        {"deviceId", kDevice},
                                        {"deviceName", "cli test"}})
            .value("data")
            .toObject()
            .value("token")
            .toString();
    }

    QString keyCode(const QString& token)
    {
        const QJsonObject a =
            call("/api/video/key", {{"keyId", kKeyId}, {"deviceId", kDevice}}, token);
        return a.value("success").toBool() ? QStringLiteral("OK") : a.value("code").toString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(ServerProcess::binary()).isExecutable(),
                 "VEILCAST_SERVER_BIN must name veilcast-server");
    }

    void cleanup() { stopServer(); }

    void operatorRunsTheServer()
    {
        QCOMPARE(admin({"merchant", "add", "甲商家"}).exitCode, 0);
        QCOMPARE(admin({"merchant", "add", "甲商家"}).exitCode, 1);  // names are unique
        QCOMPARE(admin({"user", "add", "shop", "--role", "merchant", "--merchant", "甲商家"},
                       "shop-password\n")
                     .exitCode,
                 0);
        QCOMPARE(admin({"user", "add", "viewer", "--role", "viewer", "--display-name", "观众"},
                       "viewer-password\n")
                     .exitCode,
                 0);
        const Run shortPassword = admin({"user", "add", "x", "--role", "viewer"}, "short\n");
        QCOMPARE(shortPassword.exitCode, 1);
        QCOMPARE(admin({"user", "add", "y", "--role", "merchant"}, "long-enough-1\n").exitCode, 1);
        QCOMPARE(admin({"user", "add", "viewer", "--role", "viewer"}, "another-pass\n").exitCode,
                 1);
        const QJsonArray users = adminJson({"user", "list"});
        QCOMPARE(users.size(), 2);
        QCOMPARE(users.at(1).toObject().value("displayName").toString(), QStringLiteral("观众"));
        QCOMPARE(users.at(0).toObject().value("merchant").toString(), QStringLiteral("甲商家"));

        QCOMPARE(startServer({}), QString());
        const QString shop = login("shop", "shop-password");
        QVERIFY(!shop.isEmpty());
        const QByteArray key(32, '\x33');
        const QJsonObject upload{{"keyId", kKeyId},
                                 {"key", QString::fromLatin1(key.toBase64())},
                                 {"iv", QString::fromLatin1(QByteArray(16, '\x44').toBase64())},
                                 {"title", "片名"},
                                 {"sourceFileName", "片名.mp4"},
                                 {"fileSize", 42}};
        QVERIFY(call("/api/merchant/keys", upload, shop).value("success").toBool());
        QString viewer = login("viewer", "viewer-password");
        QVERIFY(!viewer.isEmpty());
        QCOMPARE(keyCode(viewer), QStringLiteral("PERMISSION_DENIED"));

        // grants
        QCOMPARE(admin({"grant", "add", "viewer", "--key", kKeyId}).exitCode, 0);
        QCOMPARE(keyCode(viewer), QStringLiteral("OK"));
        const QJsonArray grants = adminJson({"grant", "list", "viewer"});
        QCOMPARE(grants.size(), 1);
        QCOMPARE(
            admin({"grant", "revoke", grants.at(0).toObject().value("id").toString()}).exitCode, 0);
        QCOMPARE(keyCode(viewer), QStringLiteral("PERMISSION_DENIED"));
        QCOMPARE(admin({"grant", "add", "viewer", "--merchant", "甲商家", "--until", "2001-01-01"})
                     .exitCode,
                 0);
        QCOMPARE(keyCode(viewer), QStringLiteral("PERMISSION_EXPIRED"));
        QCOMPARE(admin({"grant", "add", "viewer", "--merchant", "甲商家"}).exitCode, 0);
        QCOMPARE(keyCode(viewer), QStringLiteral("OK"));
        // Granted again: the same grant, now without an end, not a second one.
        const QJsonArray regranted = adminJson({"grant", "list", "viewer"});
        QCOMPARE(regranted.size(), 1);
        QVERIFY(regranted.at(0).toObject().value("until").isNull());

        // devices
        const QJsonArray devices = adminJson({"device", "list", "viewer"});
        QCOMPARE(devices.size(), 1);
        QCOMPARE(devices.at(0).toObject().value("deviceId").toString(), kDevice);
        QCOMPARE(admin({"device", "reject", "viewer", kDevice}).exitCode, 0);
        QCOMPARE(keyCode(viewer), QStringLiteral("DEVICE_REJECTED"));
        QCOMPARE(admin({"device", "allow", "viewer", kDevice}).exitCode, 0);
        QCOMPARE(keyCode(viewer), QStringLiteral("OK"));
        QCOMPARE(admin({"device", "unbind", "viewer", kDevice}).exitCode, 0);
        QCOMPARE(adminJson({"device", "list", "viewer"}).size(), 0);
        QCOMPARE(admin({"user", "device-limit", "viewer", "0"}).exitCode, 0);
        QCOMPARE(admin({"device", "unbind", "viewer", kDevice}).exitCode, 1);

        // keys
        QCOMPARE(admin({"key", "revoke", kKeyId}).exitCode, 0);
        QCOMPARE(keyCode(viewer), QStringLiteral("KEY_REVOKED"));
        const QJsonArray keys = adminJson({"key", "list", "--merchant", "甲商家"});
        QCOMPARE(keys.size(), 1);
        QCOMPARE(keys.at(0).toObject().value("revoked").toBool(), true);
        QVERIFY(!keys.at(0).toObject().contains("key"));
        QCOMPARE(admin({"key", "restore", kKeyId}).exitCode, 0);
        QCOMPARE(keyCode(viewer), QStringLiteral("OK"));

        // accounts
        // Disabling ends the sessions; enabling again does not bring them back.
        QCOMPARE(admin({"user", "disable", "viewer"}).exitCode, 0);
        QCOMPARE(keyCode(viewer), QStringLiteral("TOKEN_INVALID"));
        QCOMPARE(admin({"user", "enable", "viewer"}).exitCode, 0);
        QCOMPARE(keyCode(viewer), QStringLiteral("TOKEN_INVALID"));
        viewer = login("viewer", "viewer-password");
        QCOMPARE(keyCode(viewer), QStringLiteral("OK"));
        QCOMPARE(admin({"user", "passwd", "viewer"}, "new-viewer-pass\n").exitCode, 0);
        QCOMPARE(keyCode(viewer), QStringLiteral("TOKEN_INVALID"));
        QVERIFY(login("viewer", "viewer-password").isEmpty());
        viewer = login("viewer", "new-viewer-pass");
        QCOMPARE(keyCode(viewer), QStringLiteral("OK"));
        QCOMPARE(admin({"user", "expires", "viewer", "2001-01-01"}).exitCode, 0);
        QCOMPARE(keyCode(viewer), QStringLiteral("ACCOUNT_EXPIRED"));
        QCOMPARE(admin({"user", "expires", "viewer", "never"}).exitCode, 0);

        // A restart keeps the master key, so stored keys still open.
        QCOMPARE(stopServer(), 0);
        const QByteArray firstLog = m_srv.log();
        QCOMPARE(startServer({}), QString());
        const QJsonObject again =
            call("/api/video/key", {{"keyId", kKeyId}, {"deviceId", kDevice}}, viewer);
        QCOMPARE(QByteArray::fromBase64(
                     again.value("data").toObject().value("key").toString().toLatin1()),
                 key);
        QCOMPARE(stopServer(), 0);
        // The access log is written in batches: a stop still writes the
        // request made just before it.
        QVERIFY(m_srv.log().contains("POST /api/video/key 200"));

        // The log names requests, never their secrets.
        const QByteArray log = firstLog + m_srv.log();
        QVERIFY(log.contains("POST /api/video/key 200"));
        for (const QByteArray& secret :
             {QByteArray("shop-password"), QByteArray("viewer-password"),
              QByteArray("new-viewer-pass"), shop.toLatin1(), viewer.toLatin1(), key.toBase64()}) {
            QVERIFY2(!log.contains(secret), secret.constData());
        }
        QVERIFY(!admin({"user", "list"}).out.contains("$argon2id$"));
    }

    void privateFilesAreForTheOwnerOnly()
    {
        QCOMPARE(startServer({}), QString());
        QCOMPARE(admin({"user", "add", "p", "--role", "viewer"}, "p-password\n").exitCode, 0);
        QVERIFY(!login("p", "p-password").isEmpty());
        const QString data = m_dir.filePath("data");
        const auto owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
        const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                            QFileDevice::ExeGroup | QFileDevice::ReadOther |
                            QFileDevice::WriteOther | QFileDevice::ExeOther;
        QCOMPARE(QFileInfo(data).permissions() & owner, owner);
        QCOMPARE(QFileInfo(data).permissions() & others, QFileDevice::Permissions());
        for (const char* name :
             {"veilcast.db", "veilcast.db-wal", "veilcast.db-shm", "master.key"}) {
            const QFileInfo f(QDir(data).filePath(name));
            QVERIFY2(f.exists(), name);
            QVERIFY2((f.permissions() & (QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                         QFileDevice::ReadOther | QFileDevice::WriteOther)) == 0,
                     name);
        }
    }

    void apiKeysFromTheCommandLine()
    {
        QCOMPARE(admin({"merchant", "add", "key-shop"}).exitCode, 0);
        const Run made = admin({"apikey", "add", "key-shop", "--label", "web shop"});
        QCOMPARE(made.exitCode, 0);
        const QRegularExpression secretForm(QStringLiteral("vck_[0-9a-f]{64}"));
        const QString secret = secretForm.match(QString::fromUtf8(made.out)).captured();
        QVERIFY2(!secret.isEmpty(), made.out.constData());
        // On a line of its own, to be copied whole.
        QVERIFY2(made.out.split('\n').contains(secret.toLatin1()), made.out.constData());
        QCOMPARE(admin({"apikey", "add", "no-such-shop"}).exitCode, 1);
        const QJsonArray keys = adminJson({"apikey", "list", "key-shop"});
        QCOMPARE(keys.size(), 1);
        QCOMPARE(keys.at(0).toObject().value("label").toString(), QStringLiteral("web shop"));
        const QString id = keys.at(0).toObject().value("id").toString();
        // Shown once: neither the secret nor its hash is listed again.
        const Run listed = admin({"apikey", "list", "key-shop"});
        QVERIFY(listed.out.contains(id.toUtf8()) && !listed.out.contains("vck_"));
        QVERIFY(!listed.out.contains(QByteArray::fromStdString(
            QCryptographicHash::hash(secret.toLatin1(), QCryptographicHash::Sha256)
                .toHex()
                .toStdString())));

        QCOMPARE(startServer({}), QString());
        auto outcome = [&](const QString& key) {
            const QJsonObject a = call("/api/merchant/keys", {}, key, true);
            return a.value("success").toBool() ? QStringLiteral("OK") : a.value("code").toString();
        };
        QCOMPARE(outcome(secret), QStringLiteral("OK"));
        QCOMPARE(admin({"merchant", "disable", "key-shop"}).exitCode, 0);
        QVERIFY(admin({"merchant", "list"}).out.contains("key-shop  DISABLED"));
        QCOMPARE(outcome(secret), QStringLiteral("MERCHANT_DISABLED"));
        QCOMPARE(admin({"merchant", "enable", "key-shop"}).exitCode, 0);
        QCOMPARE(outcome(secret), QStringLiteral("OK"));
        QCOMPARE(admin({"apikey", "revoke", id}).exitCode, 0);
        QCOMPARE(outcome(secret), QStringLiteral("API_KEY_INVALID"));
        QCOMPARE(admin({"apikey", "revoke", id}).exitCode, 1);  // no longer in force
        QCOMPARE(admin({"apikey", "revoke", "no-such-id"}).exitCode, 1);
        QVERIFY(!adminJson({"apikey", "list", "key-shop"})
                     .at(0)
                     .toObject()
                     .value("revokedAt")
                     .isNull());
    }

    void adminListingsShowControlCharactersEscaped()
    {
        // The data directory is shared with the other tests: lines are
        // counted against the JSON listing of the same records.
        QCOMPARE(admin({"merchant", "add", "evil-m"}).exitCode, 0);
        const QString evil = QString::fromUtf8(
            "eve\n"
            "root  role=admin\x1b[2J\xe2\x80\xae%1");
        QCOMPARE(admin({"user", "add", "eve", "--role", "merchant", "--merchant", "evil-m",
                        "--display-name", evil},
                       "eve-password\n")
                     .exitCode,
                 0);
        QCOMPARE(startServer({}), QString());
        const QString token = login("eve", "eve-password");
        const QJsonObject upload{{"keyId", "5a1b2c3d-4e5f-4a6b-8c7d-8e9fa0b1c2d3"},
                                 {"key", QString::fromLatin1(QByteArray(32, 'k').toBase64())},
                                 {"iv", QString::fromLatin1(QByteArray(16, 'i').toBase64())},
                                 {"title", "t%5\r\x07"},
                                 {"sourceFileName", "s\x1b]0;x\x07"},
                                 {"fileSize", 7}};
        QVERIFY(call("/api/merchant/keys", upload, token).value("success").toBool());
        const Run users = admin({"user", "list"});
        QCOMPARE(users.exitCode, 0);
        QCOMPARE(users.out.count('\n'), adminJson({"user", "list"}).size());
        QVERIFY2(users.out.contains("eve\\x0aroot  role=admin\\x1b[2J\\u202e%1"),
                 users.out.constData());
        const Run keys = admin({"key", "list"});
        QCOMPARE(keys.out.count('\n'), adminJson({"key", "list"}).size());
        QVERIFY2(keys.out.contains("t%5\\x0d\\x07  s\\x1b]0;x\\x07  7 bytes"),
                 keys.out.constData());
        for (const Run& r : {users, keys}) {
            for (char c : r.out) {
                QVERIFY(c == '\n' || uchar(c) >= 0x20);
            }
        }
        // Scripts get the exact text through JSON.
        const QJsonArray all = adminJson({"user", "list"});
        const auto eve = std::find_if(all.begin(), all.end(), [](const QJsonValue& v) {
            return v.toObject().value("username").toString() == "eve";
        });
        QVERIFY(eve != all.end());
        QCOMPARE(eve->toObject().value("displayName").toString(), evil);
    }

    // The packaged service points operators at the bare program's help for the
    // admin commands: asking for it must succeed on standard output and name
    // them, while a missing or unknown command stays a usage error.
    void commandLineOverview_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("onStdout");
        QTest::newRow("--help") << QStringList{"--help"} << 0 << true;
        QTest::newRow("-h") << QStringList{"-h"} << 0 << true;
        QTest::newRow("help") << QStringList{"help"} << 0 << true;
        QTest::newRow("no command") << QStringList{} << 2 << false;
        QTest::newRow("unknown command") << QStringList{"server"} << 2 << false;
    }

    void commandLineOverview()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(bool, onStdout);
        QProcess p;
        p.start(ServerProcess::binary(), args);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), exitCode);
        const QByteArray out = p.readAllStandardOutput();
        const QByteArray err = p.readAllStandardError();
        const QByteArray& text = onStdout ? out : err;
        QVERIFY2((onStdout ? err : out).isEmpty(), (onStdout ? err : out).constData());
        QVERIFY2(text.contains("veilcast-server serve") && text.contains("veilcast-server admin"),
                 text.constData());
        // Only an asked-for overview lists the admin commands in full.
        QCOMPARE(text.contains("user add USERNAME --role"), onStdout);
        QCOMPARE(text.contains("device reject USERNAME DEVICEID"), onStdout);
    }

    // serve's help is written from its table of options and the defaults in
    // force: each option must be listed with its default, word for word.
    void serveHelpListsEachDefault_data()
    {
        QTest::addColumn<QString>("entry");
        const auto row = [](const char* name, const char* entry) {
            QTest::newRow(name) << QString::fromUtf8(entry);
        };
        row("listen", "--listen <addr> Address to listen on (default 127.0.0.1).");
        row("port", "--port <port> Port (default 8787; 0 picks a free one).");
        row("tls-cert", "--tls-cert <file> PEM certificate (chain).");
        row("tls-key", "--tls-key <file> PEM private key.");
        row("behind-tls-proxy",
            "--behind-tls-proxy Serve plain HTTP on a non-loopback address because a TLS proxy "
            "stands in front; trusts its X-Forwarded-For.");
        row("access-lifetime",
            "--access-lifetime <s> Seconds a token is good for every endpoint (default 86400).");
        row("renewal-window",
            "--renewal-window <s> Seconds after issue a token can still be renewed through "
            "/api/auth/me (default 2592000).");
        row("hash-threads", "--hash-threads <n> Threads for password checks (default: cores - 1).");
        row("hash-nice",
            "--hash-nice <n> Nice value of the password-check threads, 0-19 (default 10), so that "
            "logins yield to key requests.");
        row("session-lifetime",
            "--session-lifetime <s> Seconds after a login beyond which no renewal reaches "
            "(default 7776000, 90 days).");
        row("header-timeout",
            "--header-timeout <s> Seconds a request's header may take (default 10).");
        row("body-timeout",
            "--body-timeout <s> Seconds a request's body may take after its header (default 30).");
        row("idle-timeout",
            "--idle-timeout <s> Seconds an idle keep-alive connection is kept (default 60).");
        row("max-connections", "--max-connections <n> Open connections in total (default 1000).");
        row("max-connections-per-address",
            "--max-connections-per-address <n> Open connections from one address (default 64; 0: "
            "no cap).");
        row("max-buffered-kib",
            "--max-buffered-kib <kib> KiB that unfinished requests may hold together (default "
            "65536).");
        row("service-threads",
            "--service-threads <n> Threads that run requests, each with its own database "
            "connection (default: cores; 0: the main thread).");
        row("http-threads",
            "--http-threads <n> Network threads of the HTTP front, each also answering key "
            "requests (default: cores).");
    }

    void serveHelpListsEachDefault()
    {
        QFETCH(QString, entry);
        QProcess p;
        p.start(ServerProcess::binary(), {"serve", "--help"});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        // The help is wrapped to the terminal; the words are what count.
        const QString help = QString::fromUtf8(p.readAllStandardOutput()).simplified();
        QVERIFY2(help.contains(entry), qPrintable(help));
    }

    // The packages are made with CMake's project version: the program must
    // say the same.
    void printsTheProjectVersion()
    {
        QProcess p;
        p.start(ServerProcess::binary(), {"--version"});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(p.readAllStandardOutput(),
                 QByteArray("veilcast-server " VEILCAST_PROJECT_VERSION "\n"));
    }

    void listenPolicy_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("starts");
        QTest::newRow("loopback") << QStringList{"--listen", "127.0.0.1"} << true;
        QTest::newRow("loopback v6") << QStringList{"--listen", "::1"} << true;
        QTest::newRow("all interfaces, plain") << QStringList{"--listen", "0.0.0.0"} << false;
        QTest::newRow("all v6, plain") << QStringList{"--listen", "::"} << false;
        QTest::newRow("behind a TLS proxy")
            << QStringList{"--listen", "0.0.0.0", "--behind-tls-proxy"} << true;
        QTest::newRow("cert without key")
            << QStringList{"--listen", "0.0.0.0", "--tls-cert", "x.pem"} << false;
        QTest::newRow("bad database url") << QStringList{"--database", "mysql://x/y"} << false;
    }

    void listenPolicy()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, starts);
        const QString failure = startServer(args);
        if (starts) {
            QCOMPARE(failure, QString());
        } else {
            QVERIFY(!failure.isEmpty());
            m_srv.process()->waitForFinished(5000);
            QCOMPARE(m_srv.process()->state(), QProcess::NotRunning);
            QCOMPARE(m_srv.process()->exitCode(), 2);
            QVERIFY2(failure.contains("error:"), qPrintable(failure));
        }
    }

    void servesTls()
    {
        QProcess openssl;
        const QString cert = m_dir.filePath("cert.pem");
        const QString key = m_dir.filePath("key.pem");
        openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                                  "-out", cert, "-days", "1", "-subj", "/CN=localhost"});
        QVERIFY(openssl.waitForFinished(30000));
        QCOMPARE(openssl.exitCode(), 0);
        QCOMPARE(admin({"user", "add", "tls", "--role", "viewer"}, "tls-password\n").exitCode, 0);
        // TLS may listen anywhere.
        QCOMPARE(startServer({"--listen", "0.0.0.0", "--tls-cert", cert, "--tls-key", key}),
                 QString());
        QCOMPARE(m_srv.scheme(), QStringLiteral("https"));
        QVERIFY(!login("tls", "tls-password").isEmpty());
    }
};

QTEST_GUILESS_MAIN(ServerCliTest)
#include "tst_server_cli.moc"
