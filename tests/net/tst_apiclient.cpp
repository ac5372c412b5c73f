#include <QJsonDocument>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include "ApiClient.h"
#include "ApiMessages.h"
#include "ScriptedPeer.h"

Q_DECLARE_METATYPE(ApiResult::Kind)

class TestApiClient : public QObject
{
    Q_OBJECT

private:
    ScriptedPeer m_peer;

    // Waits until the reply has finished and reads it the way every caller does.
    static ApiResult finish(QNetworkReply* reply)
    {
        if (reply->isRunning()) {
            QSignalSpy finished(reply, &QNetworkReply::finished);
            if (!finished.wait(5000)) {
                qWarning("reply did not finish");
            }
        }
        return ApiClient::readResult(reply);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_peer.listen());
        qputenv("VEILCAST_SERVER_URL", m_peer.url().toUtf8());
    }

    void init() { m_peer.reset(); }

    void baseUrl_data()
    {
        QTest::addColumn<QByteArray>("env");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain origin")
            << QByteArray("http://127.0.0.1:8080") << "http://127.0.0.1:8080";
        QTest::newRow("trailing slash")
            << QByteArray("https://media.example/") << "https://media.example";
        QTest::newRow("surrounding spaces")
            << QByteArray("  https://media.example  ") << "https://media.example";
    }

    void baseUrl()
    {
        QFETCH(QByteArray, env);
        QFETCH(QString, expected);
        const QByteArray saved = qgetenv("VEILCAST_SERVER_URL");
        qputenv("VEILCAST_SERVER_URL", env);
        ApiClient client;
        qputenv("VEILCAST_SERVER_URL", saved);
        QCOMPARE(client.baseUrl(), expected);
    }

    void compiledOriginWhenEnvironmentUnset()
    {
        const QByteArray saved = qgetenv("VEILCAST_SERVER_URL");
        qunsetenv("VEILCAST_SERVER_URL");
        const QString url = ApiClient::defaultBaseUrl();
        qputenv("VEILCAST_SERVER_URL", saved);
        QVERIFY2(url.startsWith(QLatin1String("https://")), qPrintable(url));
    }

    void outgoing_data()
    {
        QTest::addColumn<bool>("isPost");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QByteArray>("expectedAuthorization");

        QTest::newRow("get without token") << false << "/api/auth/me"
                                           << ""
                                           << "" << QByteArray();
        QTest::newRow("get with token") << false << "/api/auth/me"
                                        << "abc.def"
                                        << "" << QByteArray("Bearer abc.def");
        QTest::newRow("get with query") << false << "/api/auth/me"
                                        << "t"
                                        << "a=1&b=x" << QByteArray("Bearer t");
        QTest::newRow("post without token") << true << "/api/auth/login"
                                            << ""
                                            << "" << QByteArray();
        QTest::newRow("post with token") << true << "/api/video/key"
                                         << "tok"
                                         << "" << QByteArray("Bearer tok");
        QTest::newRow("non-ascii token travels as utf-8")
            << true << "/api/video/key" << QString::fromUtf8("令牌") << ""
            << QByteArray("Bearer ") + QString::fromUtf8("令牌").toUtf8();
    }

    void outgoing()
    {
        QFETCH(bool, isPost);
        QFETCH(QString, path);
        QFETCH(QString, token);
        QFETCH(QString, query);
        QFETCH(QByteArray, expectedAuthorization);

        ApiClient client;
        client.setToken(token);
        const QJsonObject body{{"keyId", "k"}, {"fileSize", 12}};
        QNetworkReply* reply =
            isPost ? client.post(path, body) : client.get(path, QUrlQuery(query));
        finish(reply);

        QCOMPARE(m_peer.requests().size(), 1);
        const PeerRequest sent = m_peer.requests().first();
        QCOMPARE(sent.method, isPost ? QByteArray("POST") : QByteArray("GET"));
        QCOMPARE(sent.path, path.toUtf8());
        QCOMPARE(sent.query, query.toUtf8());
        QCOMPARE(sent.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(sent.hasHeader("Authorization"), !expectedAuthorization.isEmpty());
        QCOMPARE(sent.header("Authorization"), expectedAuthorization);
        if (isPost) {
            QCOMPARE(sent.json(), body);
        } else {
            QVERIFY(sent.body.isEmpty());
        }
    }

    void clearedTokenSendsNoHeader()
    {
        ApiClient client;
        client.setToken("first");
        finish(client.get("/api/auth/me"));
        client.setToken(QString());
        finish(client.get("/api/auth/me"));

        QCOMPARE(m_peer.requests().size(), 2);
        QCOMPARE(m_peer.requests().at(0).header("Authorization"), QByteArray("Bearer first"));
        QVERIFY(!m_peer.requests().at(1).hasHeader("Authorization"));
    }

    void readResult_data()
    {
        QTest::addColumn<PeerResponse>("response");
        QTest::addColumn<ApiResult::Kind>("kind");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("dataField");

        using K = ApiResult::Kind;
        QTest::newRow("success with data") << PeerResponse::ok({{"field", "v"}}) << K::Success << ""
                                           << ""
                                           << "v";
        QTest::newRow("success without data")
            << PeerResponse::json({{"success", true}}) << K::Success << ""
            << ""
            << "";
        QTest::newRow("refusal") << PeerResponse::refuse("KEY_REVOKED", "gone") << K::Refused
                                 << "KEY_REVOKED"
                                 << "gone"
                                 << "";
        QTest::newRow("refusal under 401")
            << PeerResponse::refuse("TOKEN_EXPIRED", "old", 401) << K::Refused << "TOKEN_EXPIRED"
            << "old"
            << "";
        QTest::newRow("refusal under 500")
            << PeerResponse::refuse("SERVER_ERROR", "", 500) << K::Refused << "SERVER_ERROR"
            << ""
            << "";
        QTest::newRow("refusal without code or message")
            << PeerResponse::json({{"success", false}}) << K::Refused << ""
            << ""
            << "";
        QTest::newRow("numeric code reads as empty")
            << PeerResponse::json({{"success", false}, {"code", 7}, {"message", 8}}) << K::Refused
            << ""
            << ""
            << "";
        QTest::newRow("success as text is not true")
            << PeerResponse::json({{"success", "true"}, {"data", QJsonObject{{"field", "v"}}}})
            << K::Refused << ""
            << ""
            << "";
        QTest::newRow("success as number is not true")
            << PeerResponse::json({{"success", 1}}) << K::Refused << ""
            << ""
            << "";
        QTest::newRow("object without success")
            << PeerResponse::json({{"data", QJsonObject{}}}) << K::Unreadable << ""
            << ""
            << "";
        QTest::newRow("json array") << PeerResponse::raw(200, "[true]") << K::Unreadable << ""
                                    << ""
                                    << "";
        QTest::newRow("empty body") << PeerResponse::raw(200, "") << K::Unreadable << ""
                                    << ""
                                    << "";
        QTest::newRow("html page")
            << PeerResponse::raw(502, "<html>Bad Gateway</html>", "text/html") << K::Unreadable
            << ""
            << ""
            << "";
    }

    void readResult()
    {
        QFETCH(PeerResponse, response);
        QFETCH(ApiResult::Kind, kind);
        QFETCH(QString, code);
        QFETCH(QString, message);
        QFETCH(QString, dataField);

        m_peer.enqueue("/api/x", response);
        ApiClient client;
        const ApiResult result = finish(client.post("/api/x", {}));
        QCOMPARE(result.kind, kind);
        QCOMPARE(result.code, code);
        QCOMPARE(result.message, message);
        QCOMPARE(result.data.value("field").toString(), dataField);
    }

    // The text a login shows for each kind of answer, through the one shared
    // reading of replies.
    void failureText_data()
    {
        QTest::addColumn<PeerResponse>("response");
        QTest::addColumn<QString>("expected");  // "" means: the reply's own error string

        QTest::newRow("envelope under 401 wins over the status")
            << PeerResponse::refuse("TOKEN_EXPIRED", "", 401)
            << QString::fromUtf8("登录已过期，请重新登录");
        QTest::newRow("html 502") << PeerResponse::raw(502, "<html>502</html>", "text/html")
                                  << QString::fromUtf8("无法连接服务器，请检查网络");
        QTest::newRow("html 500") << PeerResponse::raw(500, "<html>500</html>", "text/html")
                                  << QString::fromUtf8("服务器暂时不可用");
        QTest::newRow("html 503") << PeerResponse::raw(503, "<html>503</html>", "text/html")
                                  << QString::fromUtf8("服务器暂时不可用");
        QTest::newRow("404 without body") << PeerResponse::raw(404, "", "") << QString();
        QTest::newRow("empty 200")
            << PeerResponse::raw(200, "") << QString::fromUtf8("服务器返回了无法识别的响应");
        QTest::newRow("text 200") << PeerResponse::raw(200, "OK", "text/plain")
                                  << QString::fromUtf8("服务器返回了无法识别的响应");
    }

    void failureText()
    {
        QFETCH(PeerResponse, response);
        QFETCH(QString, expected);

        m_peer.enqueue("/api/auth/login", response);
        ApiClient client;
        const ApiResult result = finish(client.post("/api/auth/login", {}));
        const QString text = result.failureText(authErrorMessage, networkErrorMessage);
        if (expected.isEmpty()) {
            QCOMPARE(result.networkError, QNetworkReply::ContentNotFoundError);
            QVERIFY(!result.networkErrorString.isEmpty());
            QCOMPARE(text, result.networkErrorString);
        } else {
            QCOMPARE(text, expected);
        }
    }

    void connectionRefused()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 closedPort = probe.serverPort();
        probe.close();

        const QByteArray saved = qgetenv("VEILCAST_SERVER_URL");
        qputenv("VEILCAST_SERVER_URL", "http://127.0.0.1:" + QByteArray::number(closedPort));
        ApiClient client;
        qputenv("VEILCAST_SERVER_URL", saved);

        const ApiResult result = finish(client.post("/api/auth/login", {}));
        QCOMPARE(result.networkError, QNetworkReply::ConnectionRefusedError);
        QCOMPARE(result.failureText(authErrorMessage, networkErrorMessage),
                 QString::fromUtf8("无法连接服务器，请检查网络"));
    }

    void abortAfterReadsAsTimeout()
    {
        m_peer.enqueue("/api/auth/me", PeerResponse::noAnswer());
        ApiClient client;
        QElapsedTimer clock;
        clock.start();
        QNetworkReply* reply = client.get("/api/auth/me");
        ApiClient::abortAfter(reply, 200);
        const ApiResult result = finish(reply);
        QVERIFY(clock.elapsed() >= 190);
        QCOMPARE(result.networkError, QNetworkReply::OperationCanceledError);
        QCOMPARE(result.failureText(authErrorMessage, networkErrorMessage),
                 QString::fromUtf8("服务器响应超时"));
    }

    void abortAfterLeavesFinishedRepliesAlone()
    {
        m_peer.enqueue("/api/auth/me", PeerResponse::ok({{"token", "t"}}).after(50));
        ApiClient client;
        QNetworkReply* reply = client.get("/api/auth/me");
        ApiClient::abortAfter(reply, 400);
        const ApiResult result = finish(reply);
        QVERIFY(result.succeeded());
        // The timer died with the reply; nothing may fire into freed memory.
        QTest::qWait(600);
        QCOMPARE(result.data.value("token").toString(), QStringLiteral("t"));
    }

    void messageTables_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("serverMessage");
        QTest::addColumn<QString>("expected");

        const QString srv = QString::fromUtf8("服务器说明");
        auto row = [](const char* name, const char* table, const char* code, const QString& msg,
                      const char* expected) {
            QTest::newRow(name) << QString(table) << QString(code) << msg
                                << QString::fromUtf8(expected);
        };
        row("auth INVALID_CREDENTIALS", "auth", "INVALID_CREDENTIALS", srv, "账号或密码错误");
        row("auth ACCOUNT_DISABLED", "auth", "ACCOUNT_DISABLED", srv, "账号已被禁用，请联系管理员");
        row("auth ACCOUNT_EXPIRED", "auth", "ACCOUNT_EXPIRED", srv, "账号已过期");
        row("auth PERMISSION_DENIED", "auth", "PERMISSION_DENIED", srv, "无访问权限");
        row("auth TOKEN_INVALID", "auth", "TOKEN_INVALID", srv, "登录已失效，请重新登录");
        row("auth TOKEN_EXPIRED", "auth", "TOKEN_EXPIRED", srv, "登录已过期，请重新登录");
        row("auth SERVER_ERROR", "auth", "SERVER_ERROR", srv, "服务器内部错误，请稍后再试");
        row("auth other with message", "auth", "RATE_LIMITED", srv, "服务器说明");
        row("auth other without message", "auth", "RATE_LIMITED", "", "登录失败");
        row("auth code is case-sensitive", "auth", "invalid_credentials", "", "登录失败");
        row("auth key code has no auth text", "auth", "KEY_NOT_FOUND", "", "登录失败");

        row("key KEY_NOT_FOUND", "key", "KEY_NOT_FOUND", srv, "服务器找不到该视频的密钥");
        row("key KEY_REVOKED", "key", "KEY_REVOKED", srv, "该视频已被商家吊销");
        row("key PERMISSION_DENIED", "key", "PERMISSION_DENIED", srv, "您没有该视频的观看权限");
        row("key PERMISSION_EXPIRED", "key", "PERMISSION_EXPIRED", srv, "该视频的观看权限已过期");
        row("key DEVICE_REQUIRED", "key", "DEVICE_REQUIRED", srv, "客户端未提供设备信息，无法验证");
        row("key DEVICE_LIMIT_EXCEEDED with message", "key", "DEVICE_LIMIT_EXCEEDED", srv,
            "服务器说明");
        row("key DEVICE_LIMIT_EXCEEDED without message", "key", "DEVICE_LIMIT_EXCEEDED", "",
            "已达设备数上限，请联系商家在后台解绑不再使用的设备");
        row("key DEVICE_REJECTED", "key", "DEVICE_REJECTED", srv, "当前设备已被禁用，请联系商家");
        row("key TOKEN_INVALID", "key", "TOKEN_INVALID", srv, "登录已失效，请重新登录");
        row("key TOKEN_EXPIRED", "key", "TOKEN_EXPIRED", srv, "登录已失效，请重新登录");
        row("key other with message", "key", "WHATEVER", srv, "服务器说明");
        row("key other without message", "key", "WHATEVER", "", "密钥获取失败");
        row("key auth code has no key text", "key", "INVALID_CREDENTIALS", "", "密钥获取失败");

        row("upload KEY_CONFLICT", "upload", "KEY_CONFLICT", srv, "视频 ID 冲突，请重试");
        row("upload other with message", "upload", "PERMISSION_DENIED", srv, "服务器说明");
        row("upload other without message", "upload", "PERMISSION_DENIED", "",
            "服务器拒绝上传密钥");
        row("upload empty code", "upload", "", "", "服务器拒绝上传密钥");
    }

    void messageTables()
    {
        QFETCH(QString, table);
        QFETCH(QString, code);
        QFETCH(QString, serverMessage);
        QFETCH(QString, expected);

        QString text;
        if (table == "auth") {
            text = authErrorMessage(code, serverMessage);
        } else if (table == "key") {
            text = keyErrorMessage(code, serverMessage);
        } else {
            text = uploadErrorMessage(code, serverMessage);
        }
        QCOMPARE(text, expected);
    }

    void networkMessages_data()
    {
        QTest::addColumn<QNetworkReply::NetworkError>("error");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("expected");

        const QString noConnection = QString::fromUtf8("无法连接服务器，请检查网络");
        const QString timeout = QString::fromUtf8("服务器响应超时");
        const QString unavailable = QString::fromUtf8("服务器暂时不可用");
        using E = QNetworkReply::NetworkError;
        QTest::newRow("refused") << E::ConnectionRefusedError << "d" << noConnection;
        QTest::newRow("closed") << E::RemoteHostClosedError << "d" << noConnection;
        QTest::newRow("host not found") << E::HostNotFoundError << "d" << noConnection;
        QTest::newRow("session failed") << E::NetworkSessionFailedError << "d" << noConnection;
        QTest::newRow("unknown server") << E::UnknownServerError << "d" << noConnection;
        QTest::newRow("timeout") << E::TimeoutError << "d" << timeout;
        QTest::newRow("cancelled") << E::OperationCanceledError << "d" << timeout;
        QTest::newRow("tls") << E::SslHandshakeFailedError << "d"
                             << QString::fromUtf8("安全连接失败");
        QTest::newRow("internal server") << E::InternalServerError << "d" << unavailable;
        QTest::newRow("unavailable") << E::ServiceUnavailableError << "d" << unavailable;
        QTest::newRow("other with detail") << E::ContentNotFoundError << "page gone"
                                           << "page gone";
        QTest::newRow("other without detail")
            << E::ProxyConnectionRefusedError << "" << QString::fromUtf8("网络请求失败");
    }

    void networkMessages()
    {
        QFETCH(QNetworkReply::NetworkError, error);
        QFETCH(QString, detail);
        QFETCH(QString, expected);
        QCOMPARE(networkErrorMessage(error, detail), expected);
    }
};

QTEST_GUILESS_MAIN(TestApiClient)
#include "tst_apiclient.moc"
