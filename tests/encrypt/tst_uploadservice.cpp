// The key upload against scripted server answers: what each answer means for
// the container (registered, refused for good, or fate unknown), the request
// it sends, the one token renewal and the check of a conflict on a resend.
#include <QBuffer>
#include <QElapsedTimer>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include "ApiClient.h"
#include "AppConfig.h"
#include "AuthManager.h"
#include "ScriptedPeer.h"
#include "TestFiles.h"
#include "UploadService.h"

namespace {

const QString kKeyId = "6f1c2a3b-4d5e-4f60-8a9b-0c1d2e3f4a5b";
const QByteArray kPath = "/api/merchant/keys";

enum Outcome
{
    Succeeded,
    Failed,
    Uncertain
};

}  // namespace

class TestUploadService : public QObject
{
    Q_OBJECT

private:
    ScriptedPeer m_peer;

    struct Run
    {
        Outcome outcome = Uncertain;
        QString file;
        QString text;
        qint64 elapsedMs = 0;
    };

    // One upload through a fresh client; waits for its one outcome.
    Run upload(bool resend = false, int limitMs = 10000, const QString& token = "tok-1")
    {
        ApiClient client;
        client.setToken(token);
        UploadService service(&client);
        QSignalSpy ok(&service, &UploadService::uploadSucceeded);
        QSignalSpy failed(&service, &UploadService::uploadFailed);
        QSignalSpy uncertain(&service, &UploadService::uploadUncertain);
        QElapsedTimer timer;
        timer.start();
        service.uploadKey("/videos/第一课.mp4", kKeyId, testBytes(32, 'K'), testBytes(16, 'V'),
                          "第一课", "第一课.mp4", 5000000000LL, resend);
        Run run;
        if (!QTest::qWaitFor([&] { return ok.size() + failed.size() + uncertain.size() > 0; },
                             limitMs)) {
            run.text = "<no outcome>";
            return run;
        }
        run.elapsedMs = timer.elapsed();
        QTest::qWait(50);  // a second outcome would be a fault
        if (ok.size() + failed.size() + uncertain.size() != 1) {
            run.text = "<more than one outcome>";
            return run;
        }
        const QList<QVariant> args =
            !ok.isEmpty() ? ok.first() : (!failed.isEmpty() ? failed.first() : uncertain.first());
        run.outcome = !ok.isEmpty() ? Succeeded : (!failed.isEmpty() ? Failed : Uncertain);
        run.file = args.at(0).toString();
        run.text = args.size() > 1 ? args.at(1).toString() : QString();
        return run;
    }

    static PeerResponse keyAnswer(const QByteArray& key, const QByteArray& iv)
    {
        return PeerResponse::ok({{"key", QString::fromLatin1(key.toBase64())},
                                 {"iv", QString::fromLatin1(iv.toBase64())}});
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_peer.listen());
        qputenv("VEILCAST_SERVER_URL", m_peer.url().toUtf8());
    }

    void init() { m_peer.reset(); }

    void answers_data()
    {
        QTest::addColumn<PeerResponse>("answer");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("text");

        QTest::newRow("accepted") << PeerResponse::ok({}) << int(Succeeded) << QString();
        QTest::newRow("accepted under an error status")
            << PeerResponse::json({{"success", true}}, 500) << int(Succeeded) << QString();
        QTest::newRow("conflict has its own sentence")
            << PeerResponse::refuse("KEY_CONFLICT", "x", 409) << int(Failed)
            << QString::fromUtf8("视频 ID 冲突，请重试");
        QTest::newRow("refusal with the server's sentence")
            << PeerResponse::refuse("INVALID_KEY", "密钥格式不对", 400) << int(Failed)
            << QString::fromUtf8("密钥格式不对");
        QTest::newRow("bare refusal") << PeerResponse::json({{"success", false}}) << int(Failed)
                                      << QString::fromUtf8("服务器拒绝上传密钥");
        QTest::newRow("empty body: fate unknown")
            << PeerResponse::raw(200, "") << int(Uncertain)
            << QString::fromUtf8("服务器返回了无法识别的响应");
        QTest::newRow("gateway error page: fate unknown")
            << PeerResponse::raw(502, "<html>bad gateway</html>", "text/html") << int(Uncertain)
            << QString::fromUtf8("无法连接服务器，请检查网络");
    }

    void answers()
    {
        QFETCH(PeerResponse, answer);
        QFETCH(int, outcome);
        QFETCH(QString, text);
        m_peer.enqueue(kPath, answer);
        const Run run = upload();
        QCOMPARE(run.text, text);
        QCOMPARE(int(run.outcome), outcome);
        QCOMPARE(run.file, QString::fromUtf8("/videos/第一课.mp4"));
        QCOMPARE(m_peer.requestsTo(kPath).size(), 1);
    }

    void requestCarriesTheRegistration()
    {
        m_peer.enqueue(kPath, PeerResponse::ok({}));
        QCOMPARE(upload().outcome, Succeeded);
        const PeerRequest request = m_peer.requestsTo(kPath).first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.header("Authorization"), QByteArray("Bearer tok-1"));
        const QJsonObject body = request.json();
        QCOMPARE(body.value("keyId").toString(), kKeyId);
        const QString key = body.value("key").toString();
        QCOMPARE(key.size(), 44);
        QVERIFY(key.endsWith("=") && !key.endsWith("=="));
        QCOMPARE(QByteArray::fromBase64(key.toLatin1()), testBytes(32, 'K'));
        const QString iv = body.value("iv").toString();
        QCOMPARE(iv.size(), 24);
        QVERIFY(iv.endsWith("=="));
        QCOMPARE(body.value("title").toString(), QString::fromUtf8("第一课"));
        QCOMPARE(body.value("sourceFileName").toString(), QString::fromUtf8("第一课.mp4"));
        QCOMPARE(body.value("fileSize").toInteger(), 5000000000LL);
    }

    void bodyIsWipedOnceTheUploadEnds_data()
    {
        QTest::addColumn<PeerResponse>("answer");
        QTest::newRow("accepted") << PeerResponse::ok({});
        QTest::newRow("refused") << PeerResponse::refuse("INVALID_KEY", "", 400);
        QTest::newRow("fate unknown") << PeerResponse::raw(200, "");
    }

    // The network layer reads the request body from one buffer; when the
    // reply is gone, that buffer must no longer hold the key or the iv.
    void bodyIsWipedOnceTheUploadEnds()
    {
        QFETCH(PeerResponse, answer);
        m_peer.enqueue(kPath, answer);
        const QByteArray key = testBytes(32, 'W').toBase64();
        const QByteArray iv = testBytes(16, 'Z').toBase64();

        ApiClient client;
        client.setToken("tok-1");
        UploadService service(&client);
        QSignalSpy ok(&service, &UploadService::uploadSucceeded);
        QSignalSpy failed(&service, &UploadService::uploadFailed);
        QSignalSpy uncertain(&service, &UploadService::uploadUncertain);
        service.uploadKey("file", kKeyId, testBytes(32, 'W'), testBytes(16, 'Z'), "t", "t.mp4", 1);

        QPointer<QBuffer> body;
        for (QBuffer* b : client.findChildren<QBuffer*>()) {
            if (b->data().contains(key) && b->data().contains(iv)) {
                body = b;
            }
        }
        QVERIFY2(body && body->parent(), "no request body holding the secrets");
        bool looked = false;
        bool secretsLeft = true;
        // Connected after the client's own handlers, so this looks last.
        connect(body->parent(), &QObject::destroyed, this, [&] {
            looked = true;
            secretsLeft = body->data().contains(key) || body->data().contains(iv);
        });
        QVERIFY(QTest::qWaitFor([&] { return ok.size() + failed.size() + uncertain.size() > 0; },
                                10000));
        QVERIFY(QTest::qWaitFor([&] { return looked; }, 5000));
        QVERIFY(!secretsLeft);
        QVERIFY(body.isNull());
    }

    void expiredTokenIsRenewedOnce()
    {
        m_peer.enqueue(kPath, PeerResponse::refuse("TOKEN_EXPIRED", "", 401));
        m_peer.enqueue("/api/auth/me", PeerResponse::ok({{"token", "tok-2"}}));
        m_peer.enqueue(kPath, PeerResponse::ok({}));
        QCOMPARE(upload().outcome, Succeeded);
        const QList<PeerRequest> uploads = m_peer.requestsTo(kPath);
        QCOMPARE(uploads.size(), 2);
        QCOMPARE(uploads.at(1).header("Authorization"), QByteArray("Bearer tok-2"));
        QCOMPARE(uploads.at(1).json(), uploads.at(0).json());
        QCOMPARE(AppConfig::instance()->token(), QStringLiteral("tok-2"));

        // A token refused again after the renewal is not renewed twice.
        m_peer.reset();
        m_peer.enqueue(kPath, PeerResponse::refuse("TOKEN_EXPIRED", "", 401));
        m_peer.enqueue("/api/auth/me", PeerResponse::ok({{"token", "tok-3"}}));
        m_peer.enqueue(kPath, PeerResponse::refuse("TOKEN_INVALID", "", 401));
        const Run run = upload();
        QCOMPARE(run.outcome, Failed);
        QCOMPARE(m_peer.requestsTo("/api/auth/me").size(), 1);
        QCOMPARE(m_peer.requestsTo(kPath).size(), 2);

        // A renewal that is itself refused ends the upload as refused.
        m_peer.reset();
        m_peer.enqueue(kPath, PeerResponse::refuse("TOKEN_EXPIRED", "", 401));
        m_peer.enqueue("/api/auth/me", PeerResponse::refuse("TOKEN_INVALID", "", 401));
        const Run refused = upload();
        QCOMPARE(refused.outcome, Failed);
        QCOMPARE(refused.text, QString::fromUtf8("登录已过期，请重新登录"));
    }

    void conflictOnAResendIsCheckedWithTheServer_data()
    {
        QTest::addColumn<PeerResponse>("keyAnswer");
        QTest::addColumn<int>("outcome");
        QTest::newRow("the server holds our key")
            << keyAnswer(testBytes(32, 'K'), testBytes(16, 'V')) << int(Succeeded);
        QTest::newRow("the server holds another key")
            << keyAnswer(testBytes(32, 'X'), testBytes(16, 'V')) << int(Failed);
        QTest::newRow("the check gets no answer")
            << PeerResponse::raw(503, "", "text/plain") << int(Uncertain);
    }

    void conflictOnAResendIsCheckedWithTheServer()
    {
        QFETCH(PeerResponse, keyAnswer);
        QFETCH(int, outcome);
        m_peer.enqueue(kPath, PeerResponse::refuse("KEY_CONFLICT", "", 409));
        m_peer.enqueue("/api/video/key", keyAnswer);
        const Run run = upload(true);
        QCOMPARE(int(run.outcome), outcome);
        const QList<PeerRequest> checks = m_peer.requestsTo("/api/video/key");
        QCOMPARE(checks.size(), 1);
        QCOMPARE(checks.first().json().value("keyId").toString(), kKeyId);
        QVERIFY(!checks.first().json().value("deviceId").toString().isEmpty());
    }

    void twoUploadsReportSeparately()
    {
        m_peer.enqueue(kPath, PeerResponse::refuse("INVALID_IV", "iv 不对").after(300));
        m_peer.enqueue(kPath, PeerResponse::ok({}));
        ApiClient client;
        client.setToken("tok-1");
        UploadService service(&client);
        QSignalSpy ok(&service, &UploadService::uploadSucceeded);
        QSignalSpy failed(&service, &UploadService::uploadFailed);
        service.uploadKey("first", kKeyId, testBytes(32, 'A'), testBytes(16, 'B'), "a", "a.mp4", 1);
        QVERIFY(QTest::qWaitFor([&] { return m_peer.requestsTo(kPath).size() == 1; }, 5000));
        service.uploadKey("second", kKeyId, testBytes(32, 'C'), testBytes(16, 'D'), "b", "b.mp4",
                          2);
        QVERIFY(QTest::qWaitFor([&] { return ok.size() + failed.size() == 2; }, 10000));
        QCOMPARE(ok.first().at(0).toString(), QStringLiteral("second"));
        QCOMPARE(failed.first().at(0).toString(), QStringLiteral("first"));
        QCOMPARE(failed.first().at(1).toString(), QString::fromUtf8("iv 不对"));
    }

    // Waits for the real time-out (15 s).
    void noAnswerIsATimeOutWithTheFateUnknown()
    {
        m_peer.enqueue(kPath, PeerResponse::noAnswer());
        const Run run = upload(false, 25000);
        QCOMPARE(run.outcome, Uncertain);
        QCOMPARE(run.text, QString::fromUtf8("服务器响应超时"));
        QVERIFY2(run.elapsedMs >= UploadService::kUploadTimeoutMs,
                 qPrintable(QString::number(run.elapsedMs)));
    }

    // The service gives each upload the logged-in merchant's token itself,
    // whatever its client carried before. Last: it leaves someone logged in.
    void uploadCarriesTheLoggedInToken()
    {
        m_peer.enqueue("/api/auth/login",
                       PeerResponse::ok({{"token", "tok-merchant"}, {"userId", "m"}}));
        QSignalSpy in(AuthManager::instance(), &AuthManager::loginSucceeded);
        AuthManager::instance()->login("merchant", "pw");
        QVERIFY(in.wait(5000));

        m_peer.enqueue(kPath, PeerResponse::ok({}));
        QCOMPARE(upload(false, 10000, "tok-stale").outcome, Succeeded);
        QCOMPARE(m_peer.requestsTo(kPath).first().header("Authorization"),
                 QByteArray("Bearer tok-merchant"));
    }
};

QTEST_GUILESS_MAIN(TestUploadService)
#include "tst_uploadservice.moc"
