// The HTTP front over raw sockets: framing that could hide a second request,
// pipelining, time-outs and caps. The harness's server answers on this
// thread, so every wait here spins the event loop.
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QtTest>

#include "HttpFront.h"
#include "ServerHarness.h"

namespace {

const QString kKey = QStringLiteral("11111111-1111-4111-8111-111111111111");
const QByteArray kDevice = "0123456789abcdef0123456789abcdef";
// Generous on a loaded machine; a connection the front forgot stays open for ever.
constexpr int kPatienceMs = 8000;

// What a request smuggled inside another one would look like: if the server
// ever answers it, the framing was read two ways.
const QByteArray kSmuggled = "GET /api/auth/me HTTP/1.1\r\nHost: x\r\n\r\n";

struct Raw
{
    QTcpSocket socket;
    QByteArray received;

    bool open(quint16 port, const QHostAddress& from = {})
    {
        if (!from.isNull()) {
            socket.bind(from);
        }
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(5000);
    }
    void send(const QByteArray& bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
    // Reads until the peer closes or `ms` pass; true when it closed.
    bool readUntilClosed(int ms)
    {
        QElapsedTimer t;
        t.start();
        while (!closed() && t.elapsed() < ms) {
            QTest::qWait(10);
            received += socket.readAll();
        }
        received += socket.readAll();
        return closed();
    }
    // Reads until `n` complete answers arrived or `ms` pass.
    void readAnswers(int n, int ms)
    {
        QElapsedTimer t;
        t.start();
        while (statuses().size() < n && t.elapsed() < ms && !closed()) {
            QTest::qWait(10);
            received += socket.readAll();
        }
        received += socket.readAll();
    }
    QList<int> statuses() const
    {
        static const QRegularExpression status(QStringLiteral("HTTP/1\\.1 (\\d{3}) "));
        QList<int> out;
        auto it = status.globalMatch(QString::fromLatin1(received));
        while (it.hasNext()) {
            out << it.next().captured(1).toInt();
        }
        return out;
    }
};

QByteArray post(const QByteArray& path, const QByteArray& body, const QByteArray& extra = {})
{
    return "POST " + path + " HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n" + extra +
           "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

class ServerFrontTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ServerHarness> h;

    void startWith(const FrontOptions& front)
    {
        h = std::make_unique<ServerHarness>();
        h->http.front = front;
        QString error;
        QVERIFY2(h->start(&error), qPrintable(error));
        const QString m = h->addMerchant(QStringLiteral("m"));
        QVERIFY(!h->addUser(QStringLiteral("shop"), QStringLiteral("shop-pass"), Role::Merchant, m)
                     .isEmpty());
        h->addKey(kKey, m, QByteArray(32, 'k'), QByteArray(16, 'i'));
    }

private slots:
    void cleanup() { h.reset(); }

    // The front writes answers itself: the status line, the fields, the
    // length, the body; a line break inside a field cannot start another
    // field; an answer that ends the connection says so; no length, nor
    // body, where none may follow.
    void answersAreWrittenWhole_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("close");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray fields =
            "Content-Type: application/json\r\nCache-Control: no-store\r\n"
            "X-Note: one  X-Injected: two\r\n";
        QTest::newRow("ok") << 200 << false
                            << "HTTP/1.1 200 OK\r\n" + fields +
                                   "Content-Length: 7\r\n\r\n{\"a\":1}";
        QTest::newRow("refused, closing")
            << 403 << true
            << "HTTP/1.1 403 Forbidden\r\n" + fields +
                   "Content-Length: 7\r\nConnection: close\r\n\r\n{\"a\":1}";
        QTest::newRow("no content")
            << 204 << false << "HTTP/1.1 204 No Content\r\n" + fields + "\r\n";
    }

    void answersAreWrittenWhole()
    {
        QFETCH(int, status);
        QFETCH(bool, close);
        QFETCH(QByteArray, expected);
        HttpFront front(FrontOptions{}, FrontRefusals{"{}", "{}", "{}"},
                        [status, close](FrontRequest, HttpFront::Respond respond, int) {
                            FrontResponse r;
                            r.status = status;
                            r.close = close;
                            r.body = "{\"a\":1}";
                            r.headers.emplace_back("X-Note", "one\r\nX-Injected: two");
                            respond(std::move(r));
                        },
                        {});
        std::string error;
        const quint16 port = front.listen("127.0.0.1", 0, &error);
        QVERIFY2(port != 0, error.c_str());
        Raw raw;
        QVERIFY(raw.open(port));
        raw.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        if (close) {
            QVERIFY(raw.readUntilClosed(kPatienceMs));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(
                (raw.received += raw.socket.readAll()).size() >= expected.size(), kPatienceMs);
            QTest::qWait(100);  // anything more, such as a body where none belongs
            raw.received += raw.socket.readAll();
        }
        QCOMPARE(raw.received, expected);
    }

    void ambiguousFramingGetsOneAnswerAndTheConnectionEnds_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        const QByteArray head = "POST /api/auth/logout HTTP/1.1\r\nHost: x\r\n";
        const QByteArray body = kSmuggled;
        const QByteArray length = "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        QTest::newRow("header line without a colon")
            << head + "Authorization Bearer x\r\n" + length + "\r\n" + body << 400;
        QTest::newRow("space before the colon")
            << head + "Content-Length : " + QByteArray::number(body.size()) + "\r\n\r\n" + body
            << 400;
        QTest::newRow("negative length") << head + "Content-Length: -5\r\n\r\n" + body << 400;
        QTest::newRow("length not a number") << head + "Content-Length: 1e3\r\n\r\n" + body << 400;
        QTest::newRow("two different lengths")
            << head + "Content-Length: 0\r\n" + length + "\r\n" + body << 400;
        QTest::newRow("the same length twice") << head + length + length + "\r\n" + body << 400;
        QTest::newRow("a list of lengths") << head + "Content-Length: 0, 0\r\n\r\n" + body << 400;
        QTest::newRow("length beyond 64 bits")
            << head + "Content-Length: 99999999999999999999999\r\n\r\n" + body << 400;
        QTest::newRow("length and chunked")
            << head + length + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + body << 400;
        QTest::newRow("chunked and length")
            << head + "Transfer-Encoding: chunked\r\n" + length + "\r\n0\r\n\r\n" + body << 400;
        QTest::newRow("coding other than chunked")
            << head + "Transfer-Encoding: gzip\r\n\r\n" + body << 400;
        QTest::newRow("chunked twice") << head +
                                              "Transfer-Encoding: chunked\r\nTransfer-Encoding: "
                                              "chunked\r\n\r\n0\r\n\r\n" +
                                              body
                                       << 400;
        QTest::newRow("bad chunk size")
            << head + "Transfer-Encoding: chunked\r\n\r\nzz\r\n" + body << 400;
        QTest::newRow("bare line feeds")
            << QByteArray("POST /api/auth/logout HTTP/1.1\nHost: x\nContent-Length: 0\n\n") + body
            << 400;
        QTest::newRow("header block over the limit")
            << head + "X-Filler: " + QByteArray(20 * 1024, 'a') + "\r\n" + length + "\r\n" + body
            << 400;
        QTest::newRow("announced body over 64 KiB")
            << head + "Content-Length: 50000000\r\n\r\n" + body << 413;
        QTest::newRow("chunked body over 64 KiB")
            << head + "Transfer-Encoding: chunked\r\n\r\n10001\r\n" + QByteArray(0x10001, 'a') +
                   "\r\n0\r\n\r\n" + body
            << 413;
    }

    void ambiguousFramingGetsOneAnswerAndTheConnectionEnds()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        startWith({});
        Raw raw;
        QVERIFY(raw.open(h->port()));
        raw.send(request);
        QVERIFY2(raw.readUntilClosed(kPatienceMs), raw.received.left(300).constData());
        QCOMPARE(raw.statuses(), QList<int>{status});
        QVERIFY2(raw.received.contains(status == 413 ? "PAYLOAD_TOO_LARGE" : "INVALID_REQUEST"),
                 raw.received.constData());
        QVERIFY(raw.received.contains("Connection: close"));
        // The server carries on for everyone else.
        QVERIFY(h->login("shop", "shop-pass").ok());
    }

    void pipelinedRequestsAreAnsweredInOrder()
    {
        startWith({});
        Raw raw;
        QVERIFY(raw.open(h->port()));
        // The login is answered late (its hash runs elsewhere); the requests
        // behind it must still come back after it, each one once.
        const QByteArray login = post(
            "/api/auth/login",
            "{\"username\":\"shop\",\"password\":\"shop-pass\",\"deviceId\":\"" + kDevice + "\"}");
        raw.send(login + "GET /api/nothing HTTP/1.1\r\nHost: x\r\n\r\n" +
                 "POST /api/auth/me HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n" +
                 post("/api/auth/logout", "{}", "Authorization: Bearer nothing\r\n") +
                 "GET /api/auth/me HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        QVERIFY(raw.readUntilClosed(kPatienceMs));
        QCOMPARE(raw.statuses(), (QList<int>{200, 404, 405, 401, 401}));
        QVERIFY(raw.received.indexOf("\"token\"") < raw.received.indexOf("NOT_FOUND"));
    }

    void keepAliveServesManyRequestsOnOneConnection()
    {
        startWith({});
        Raw raw;
        QVERIFY(raw.open(h->port()));
        for (int i = 1; i <= 5; ++i) {
            raw.send("GET /api/nothing HTTP/1.1\r\nHost: x\r\n\r\n");
            raw.readAnswers(i, kPatienceMs);
            QCOMPARE(raw.statuses().size(), i);
        }
        QVERIFY(!raw.closed());
    }

    void frontAnswersWhileTheApplicationThreadIsBusy()
    {
        // Framing is judged on the network threads: a malformed request gets
        // its 400 even while the thread that runs the rules is blocked.
        startWith({});
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, h->port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write("POST /api/auth/me HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n");
        QVERIFY(socket.waitForReadyRead(kPatienceMs));  // blocks this (the application) thread
        QVERIFY(socket.readAll().startsWith("HTTP/1.1 400"));
    }

    void slowClientsAreCutOff_data()
    {
        QTest::addColumn<QByteArray>("start");
        QTest::addColumn<QByteArray>("trickle");  // sent every 100 ms
        QTest::newRow("header sent a line at a time")
            << QByteArray("GET /api/auth/me HTTP/1.1\r\nHost: x\r\n") << QByteArray("X-A: b\r\n");
        QTest::newRow("body sent a byte at a time")
            << post("/api/auth/logout", {}).replace("Content-Length: 0", "Content-Length: 100000")
            << QByteArray("a");
        QTest::newRow("silent after connecting") << QByteArray() << QByteArray();
    }

    void slowClientsAreCutOff()
    {
        QFETCH(QByteArray, start);
        QFETCH(QByteArray, trickle);
        FrontOptions front;
        front.headerTimeout = std::chrono::milliseconds(500);
        front.bodyTimeout = std::chrono::milliseconds(500);
        front.idleTimeout = std::chrono::milliseconds(60000);
        front.maxBodyBytes = 200000;
        startWith(front);
        Raw raw;
        QVERIFY(raw.open(h->port()));
        raw.send(start);
        // Activity does not buy time: each phase has a deadline of its own.
        QElapsedTimer t;
        t.start();
        while (!raw.closed() && t.elapsed() < kPatienceMs) {
            raw.send(trickle);
            QTest::qWait(100);
        }
        QVERIFY2(raw.closed(), "still connected");
        QVERIFY(raw.statuses().isEmpty());
    }

    void idleKeepAliveIsClosed()
    {
        FrontOptions front;
        front.idleTimeout = std::chrono::milliseconds(500);
        startWith(front);
        Raw raw;
        QVERIFY(raw.open(h->port()));
        raw.send("GET /api/nothing HTTP/1.1\r\nHost: x\r\n\r\n");
        QVERIFY(raw.readUntilClosed(kPatienceMs));
        QCOMPARE(raw.statuses(), QList<int>{404});
    }

    void connectionCaps_data()
    {
        QTest::addColumn<int>("total");
        QTest::addColumn<int>("perAddress");
        QTest::addColumn<QString>("refusedFrom");  // the fourth connection's source
        QTest::addColumn<QString>("acceptedFrom");
        QTest::newRow("per address") << 100 << 3 << "127.0.0.1"
                                     << "127.0.0.2";
        QTest::newRow("in total") << 3 << 0 << "127.0.0.2"
                                  << "";
    }

    void connectionCaps()
    {
        QFETCH(int, total);
        QFETCH(int, perAddress);
        QFETCH(QString, refusedFrom);
        QFETCH(QString, acceptedFrom);
        FrontOptions front;
        front.maxConnections = total;
        front.maxConnectionsPerAddress = perAddress;
        startWith(front);
        std::vector<std::unique_ptr<Raw>> held;
        for (int i = 0; i < 3; ++i) {
            held.push_back(std::make_unique<Raw>());
            QVERIFY(held.back()->open(h->port(), QHostAddress::LocalHost));
        }
        QTest::qWait(200);
        Raw refused;
        QVERIFY(refused.open(h->port(), QHostAddress(refusedFrom)));
        QVERIFY2(refused.readUntilClosed(kPatienceMs), "a connection past the cap was kept");
        QVERIFY(refused.statuses().isEmpty() || refused.statuses() == QList<int>{503});
        if (!acceptedFrom.isEmpty()) {
            Raw other;
            QVERIFY(other.open(h->port(), QHostAddress(acceptedFrom)));
            other.send("GET /api/nothing HTTP/1.1\r\nHost: x\r\n\r\n");
            other.readAnswers(1, kPatienceMs);
            QCOMPARE(other.statuses(), QList<int>{404});
        }
        // Those already in are served as before.
        held.front()->send("GET /api/nothing HTTP/1.1\r\nHost: x\r\n\r\n");
        held.front()->readAnswers(1, kPatienceMs);
        QCOMPARE(held.front()->statuses(), QList<int>{404});
        // A place that comes free is given again (once the server has seen
        // the hang-up).
        held.pop_back();
        QElapsedTimer t;
        t.start();
        QList<int> answered;
        while (answered != QList<int>{404} && t.elapsed() < kPatienceMs) {
            Raw later;
            QVERIFY(later.open(h->port(), QHostAddress(refusedFrom)));
            later.send("GET /api/nothing HTTP/1.1\r\nHost: x\r\n\r\n");
            later.readAnswers(1, 1000);
            answered = later.statuses();
        }
        QCOMPARE(answered, QList<int>{404});
    }

    void unfinishedBodiesShareOneMemoryCap()
    {
        // Each connection holds 24 KiB of header room; two unfinished 60 kB
        // bodies fit under 200 KiB, a third does not.
        FrontOptions front;
        front.maxHeaderBytes = 16 * 1024;
        front.maxBufferedBytes = 200 * 1024;
        startWith(front);
        const QByteArray body = "{\"pad\":\"" + QByteArray(60000 - 10, 'x') + "\"}";
        QCOMPARE(body.size(), 60000);
        const QByteArray request = post("/api/auth/logout", body);
        const QByteArray firstPart = request.left(request.size() - 1000);
        std::vector<std::unique_ptr<Raw>> clients;
        for (int i = 0; i < 3; ++i) {
            clients.push_back(std::make_unique<Raw>());
            QVERIFY(clients.back()->open(h->port()));
            clients.back()->send(firstPart);
        }
        // Whichever header the server reads third is the one refused.
        QElapsedTimer t;
        t.start();
        auto refused = clients.end();
        while (refused == clients.end() && t.elapsed() < kPatienceMs) {
            QTest::qWait(20);
            for (auto it = clients.begin(); it != clients.end(); ++it) {
                (*it)->received += (*it)->socket.readAll();
                if ((*it)->closed() || !(*it)->received.isEmpty()) {
                    refused = it;
                }
            }
        }
        QVERIFY(refused != clients.end());
        QVERIFY((*refused)->readUntilClosed(kPatienceMs));
        QCOMPARE((*refused)->statuses(), QList<int>{503});
        QVERIFY((*refused)->received.contains("SERVER_BUSY"));
        clients.erase(refused);
        // The other two finish and are answered; then there is room again.
        for (auto& client : clients) {
            QVERIFY(!client->closed());
            client->send(request.right(1000));
            client->readAnswers(1, kPatienceMs);
            QCOMPARE(client->statuses(), QList<int>{401});
        }
        Raw again;
        QVERIFY(again.open(h->port()));
        again.send(request);
        again.readAnswers(1, kPatienceMs);
        QCOMPARE(again.statuses(), QList<int>{401});
    }

    void logLinesCannotBeForged()
    {
        startWith({});
        Raw raw;
        QVERIFY(raw.open(h->port()));
        h->log.clear();
        raw.send("GET /x%01y%1%2%3\xc3\xa9 HTTP/1.1\r\nHost: x\r\n\r\n");
        raw.readAnswers(1, kPatienceMs);
        QCOMPARE(raw.statuses(), QList<int>{404});
        QCOMPARE(h->log.size(), 1);
        static const QRegularExpression line(
            QStringLiteral("^\\S+Z GET /x%01y%1%2%3\\?\\? 404 \\d+ms$"));
        QVERIFY2(line.match(h->log.first()).hasMatch(), qPrintable(h->log.first()));
    }

    void clientAddressBehindAProxy_data()
    {
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<QString>("subject");
        QTest::newRow("not behind a proxy: the peer")
            << false << QByteArray("X-Forwarded-For: 9.9.9.9\r\n") << "addr:127.0.0.1";
        QTest::newRow("the proxy's entry is the last one")
            << true << QByteArray("X-Forwarded-For: 9.9.9.9, 5.6.7.8\r\n") << "addr:5.6.7.8";
        QTest::newRow("of the last header")
            << true
            << QByteArray("X-Forwarded-For: 9.9.9.9\r\nX-Forwarded-For: 1.2.3.4, 5.6.7.8\r\n")
            << "addr:5.6.7.8";
        QTest::newRow("no header: the peer") << true << QByteArray() << "addr:127.0.0.1";
        QTest::newRow("garbage: the peer")
            << true << QByteArray("X-Forwarded-For: 1.2.3.4, not-an-address\r\n")
            << "addr:127.0.0.1";
    }

    void clientAddressBehindAProxy()
    {
        QFETCH(bool, trusted);
        QFETCH(QByteArray, headers);
        QFETCH(QString, subject);
        h = std::make_unique<ServerHarness>();
        h->http.trustForwardedFor = trusted;
        QString error;
        QVERIFY2(h->start(&error), qPrintable(error));
        Raw raw;
        QVERIFY(raw.open(h->port()));
        raw.send(post("/api/auth/login", "{\"username\":\"nobody\",\"password\":\"wrong-pass\"}",
                      headers));
        raw.readAnswers(1, kPatienceMs);
        QCOMPARE(raw.statuses(), QList<int>{401});
        QSqlQuery q(h->db->handle());
        QVERIFY(q.exec("SELECT subject FROM login_failures WHERE subject LIKE 'addr:%'"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), subject);
        QVERIFY(!q.next());
    }
};

QTEST_GUILESS_MAIN(ServerFrontTest)
#include "tst_server_front.moc"
