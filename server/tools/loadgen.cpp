// Load generator for the content server: keeps N keep-alive HTTP/1.1
// connections busy with key requests and/or logins, and reports throughput
// and latency percentiles. One thread, non-blocking sockets.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

QElapsedTimer g_clock;

struct Workload
{
    QString name;
    QByteArray request;    // the complete HTTP request, sent again and again
    qint64 remaining = 0;  // requests still to start; negative: until told to stop
    bool stopping = false;
    int active = 0;  // connections still working
    std::vector<double> latenciesMs;
    qint64 ok = 0;
    qint64 failed = 0;
    qint64 startNs = 0;
    qint64 endNs = 0;
    std::function<void()> onDone;
};

class Connection : public QObject
{
public:
    Connection(Workload& w, const QString& host, quint16 port)
        : m_work(w), m_host(host), m_port(port)
    {
        connect(&m_socket, &QTcpSocket::connected, this, [this] { sendNext(); });
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] { onReadyRead(); });
        connect(&m_socket, &QTcpSocket::disconnected, this, [this] {
            if (m_inFlight) {  // the server closed on us: count and reconnect
                m_inFlight = false;
                ++m_work.failed;
                QTimer::singleShot(0, this, [this] { m_socket.connectToHost(m_host, m_port); });
            }
        });
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        ++m_work.active;
        m_socket.connectToHost(m_host, m_port);
    }

private:
    bool takeOne()
    {
        if (m_work.stopping) {
            return false;
        }
        if (m_work.remaining < 0) {
            return true;
        }
        if (m_work.remaining == 0) {
            return false;
        }
        --m_work.remaining;
        return true;
    }

    void sendNext()
    {
        if (!takeOne()) {
            m_socket.disconnectFromHost();
            if (--m_work.active == 0) {
                m_work.endNs = g_clock.nsecsElapsed();
                if (m_work.onDone) {
                    m_work.onDone();
                }
            }
            return;
        }
        m_inFlight = true;
        m_sentNs = g_clock.nsecsElapsed();
        m_socket.write(m_work.request);
    }

    void onReadyRead()
    {
        m_buffer += m_socket.readAll();
        while (true) {
            const int headerEnd = m_buffer.indexOf("\r\n\r\n");
            if (headerEnd < 0) {
                return;
            }
            qint64 length = 0;
            const QList<QByteArray> lines = m_buffer.left(headerEnd).split('\n');
            for (const QByteArray& line : lines) {
                if (line.toLower().startsWith("content-length:")) {
                    length = line.mid(15).trimmed().toLongLong();
                }
            }
            if (m_buffer.size() < headerEnd + 4 + length) {
                return;
            }
            const bool ok = lines.first().startsWith("HTTP/1.1 200");
            m_buffer.remove(0, headerEnd + 4 + length);
            m_inFlight = false;
            m_work.latenciesMs.push_back((g_clock.nsecsElapsed() - m_sentNs) / 1e6);
            ok ? ++m_work.ok : ++m_work.failed;
            sendNext();
        }
    }

    Workload& m_work;
    QString m_host;
    quint16 m_port;
    QTcpSocket m_socket;
    QByteArray m_buffer;
    qint64 m_sentNs = 0;
    bool m_inFlight = false;
};

QByteArray httpPost(const QString& host, quint16 port, const QByteArray& path,
                    const QJsonObject& body, const QByteArray& token = {})
{
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    QByteArray r =
        "POST " + path + " HTTP/1.1\r\nHost: " + host.toLatin1() + ":" + QByteArray::number(port) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(json.size()) +
        "\r\n";
    if (!token.isEmpty()) {
        r += "Authorization: Bearer " + token + "\r\n";
    }
    return r + "\r\n" + json;
}

// One blocking request, for the setup login.
QJsonObject once(const QString& host, quint16 port, const QByteArray& request)
{
    QTcpSocket s;
    s.connectToHost(host, port);
    if (!s.waitForConnected(5000)) {
        return {};
    }
    s.write(request);
    QByteArray buffer;
    while (s.waitForReadyRead(30000)) {
        buffer += s.readAll();
        const int end = buffer.indexOf("\r\n\r\n");
        if (end >= 0) {
            const auto doc = QJsonDocument::fromJson(buffer.mid(end + 4));
            if (doc.isObject()) {
                return doc.object();
            }
        }
    }
    return {};
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(p / 100.0 * double(v.size())));
    return v[i];
}

void report(const Workload& w)
{
    const double seconds = (w.endNs - w.startNs) / 1e9;
    std::printf(
        "%-14s %7lld ok %5lld failed  %7.2f s  %9.1f req/s  p50 %7.2f ms  p99 %7.2f ms  max %7.2f "
        "ms\n",
        qPrintable(w.name), (long long)w.ok, (long long)w.failed, seconds,
        seconds > 0 ? w.ok / seconds : 0.0, percentile(w.latenciesMs, 50),
        percentile(w.latenciesMs, 99),
        w.latenciesMs.empty() ? 0.0
                              : *std::max_element(w.latenciesMs.begin(), w.latenciesMs.end()));
    std::fflush(stdout);
}

}  // namespace

void addOptions(QCommandLineParser& p)
{
    p.setApplicationDescription(QStringLiteral("Load generator for veilcast-server."));
    p.addHelpOption();
    const auto opt = [&](const char* name, const char* help, const char* def) {
        p.addOption({QString::fromLatin1(name), QString::fromLatin1(help), QStringLiteral("v"),
                     QString::fromLatin1(def)});
    };
    opt("host", "server address", "127.0.0.1");
    opt("port", "server port", "8787");
    opt("mode",
        "key, login, mixed (key load while logins run) or static (GET --path, no login; for a "
        "peer web server)",
        "key");
    opt("path", "path to GET in static mode", "/key.json");
    opt("connections", "connections for key requests", "50");
    opt("requests", "key requests in total", "10000");
    opt("login-connections", "connections sending logins", "4");
    opt("logins", "logins in total (login mode)", "40");
    opt("user", "viewer name", "bench-viewer");
    opt("password", "viewer password", "");
    opt("key-id", "key id to ask for", "");
    opt("device", "device id", "0123456789abcdef0123456789abcdef");
}

// The same connections and pacing against any web server.
int runStatic(QCoreApplication& app, const QCommandLineParser& p, const QString& host, quint16 port)
{
    g_clock.start();
    Workload files;
    files.name = QStringLiteral("static file");
    files.request = "GET " + p.value("path").toLatin1() + " HTTP/1.1\r\nHost: " + host.toLatin1() +
                    ":" + QByteArray::number(port) + "\r\n\r\n";
    files.remaining = p.value("requests").toLongLong();
    std::vector<std::unique_ptr<Connection>> connections;
    files.onDone = [&] {
        report(files);
        app.quit();
    };
    files.startNs = g_clock.nsecsElapsed();
    for (int i = 0; i < p.value("connections").toInt(); ++i) {
        connections.push_back(std::make_unique<Connection>(files, host, port));
    }
    return app.exec();
}

// Key requests, logins or both at once, as one viewer on one device.
int runAgainstServer(QCoreApplication& app, const QCommandLineParser& p, const QString& host,
                     quint16 port)
{
    const QString mode = p.value("mode");
    const QJsonObject loginBody{{"username", p.value("user")},
                                {"password", p.value("password")},
                                {"deviceId", p.value("device")},
                                {"deviceName", "loadgen"}};
    const QByteArray loginRequest = httpPost(host, port, "/api/auth/login", loginBody);
    const QJsonObject setup = once(host, port, loginRequest);
    const QByteArray token = setup.value("data").toObject().value("token").toString().toLatin1();
    if (token.isEmpty()) {
        std::fprintf(stderr, "loadgen: setup login failed: %s\n",
                     QJsonDocument(setup).toJson(QJsonDocument::Compact).constData());
        return 1;
    }
    const QByteArray keyRequest = httpPost(host, port, "/api/video/key",
                                           {{"keyId", p.value("key-id")},
                                            {"fileId", "bench"},
                                            {"deviceId", p.value("device")},
                                            {"deviceName", "loadgen"}},
                                           token);

    g_clock.start();
    Workload keys;
    keys.name = QStringLiteral("key requests");
    keys.request = keyRequest;
    keys.remaining = p.value("requests").toLongLong();
    Workload logins;
    logins.name = QStringLiteral("logins");
    logins.request = loginRequest;
    logins.remaining = p.value("logins").toLongLong();
    std::vector<std::unique_ptr<Connection>> connections;
    auto startWork = [&](Workload& w, int n) {
        w.startNs = g_clock.nsecsElapsed();
        for (int i = 0; i < n; ++i) {
            connections.push_back(std::make_unique<Connection>(w, host, port));
        }
    };

    if (mode == "key") {
        keys.onDone = [&] {
            report(keys);
            app.quit();
        };
        startWork(keys, p.value("connections").toInt());
    } else if (mode == "login") {
        logins.onDone = [&] {
            report(logins);
            app.quit();
        };
        startWork(logins, p.value("login-connections").toInt());
    } else if (mode == "mixed") {
        keys.name = QStringLiteral("keys+logins");
        logins.name = QStringLiteral("logins+keys");
        logins.remaining = -1;
        keys.onDone = [&] {
            report(keys);
            logins.stopping = true;
        };
        logins.onDone = [&] {
            report(logins);
            app.quit();
        };
        startWork(logins, p.value("login-connections").toInt());
        // Let the logins saturate the hash pool before the key load starts.
        QTimer::singleShot(300, [&] { startWork(keys, p.value("connections").toInt()); });
    } else {
        std::fprintf(stderr, "loadgen: unknown mode\n");
        return 2;
    }
    return app.exec();
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    addOptions(p);
    p.process(app);
    const QString host = p.value("host");
    const quint16 port = quint16(p.value("port").toUInt());
    if (p.value("mode") == "static") {
        return runStatic(app, p, host, port);
    }
    return runAgainstServer(app, p, host, port);
}
