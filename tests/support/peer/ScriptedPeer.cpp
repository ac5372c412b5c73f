#include "ScriptedPeer.h"

#include <QJsonDocument>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

QJsonObject PeerRequest::json() const
{
    return QJsonDocument::fromJson(body).object();
}

PeerResponse PeerResponse::raw(int status, const QByteArray& body, const QByteArray& contentType)
{
    PeerResponse response;
    response.status = status;
    response.body = body;
    if (!contentType.isEmpty()) {
        response.headers.append({"Content-Type", contentType});
    }
    return response;
}

PeerResponse PeerResponse::json(const QJsonObject& object, int status)
{
    return raw(status, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

PeerResponse PeerResponse::ok(const QJsonObject& data)
{
    return json(QJsonObject{{"success", true}, {"data", data}});
}

PeerResponse PeerResponse::refuse(const QString& code, const QString& message, int status)
{
    return json(QJsonObject{{"success", false}, {"code", code}, {"message", message}}, status);
}

PeerResponse PeerResponse::noAnswer()
{
    PeerResponse response;
    response.silent = true;
    return response;
}

PeerResponse PeerResponse::after(int ms) const
{
    PeerResponse copy = *this;
    copy.delayMs = ms;
    return copy;
}

ScriptedPeer::ScriptedPeer(QObject* parent) : QObject(parent) {}

ScriptedPeer::~ScriptedPeer() = default;

bool ScriptedPeer::listen()
{
    m_server = new QTcpServer(this);
    connect(m_server, &QTcpServer::newConnection, this, &ScriptedPeer::onNewConnection);
    return m_server->listen(QHostAddress::LocalHost);
}

bool ScriptedPeer::listenTls(const QSslCertificate& certificate, const QSslKey& key)
{
    auto* server = new QSslServer(this);
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(certificate);
    config.setPrivateKey(key);
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    server->setSslConfiguration(config);
    m_server = server;
    m_tls = true;
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this,
            &ScriptedPeer::onNewConnection);
    return m_server->listen(QHostAddress::LocalHost);
}

quint16 ScriptedPeer::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

QString ScriptedPeer::url() const
{
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(port());
}

void ScriptedPeer::enqueue(const QByteArray& path, const PeerResponse& response)
{
    m_script[path].enqueue(response);
}

void ScriptedPeer::setHandler(Handler handler)
{
    m_handler = std::move(handler);
}

QList<PeerRequest> ScriptedPeer::requestsTo(const QByteArray& path) const
{
    QList<PeerRequest> matching;
    for (const PeerRequest& request : m_requests) {
        if (request.path == path) {
            matching.append(request);
        }
    }
    return matching;
}

void ScriptedPeer::reset()
{
    m_script.clear();
    m_handler = nullptr;
    m_requests.clear();
}

void ScriptedPeer::onNewConnection()
{
    while (m_server->hasPendingConnections()) {
        QTcpSocket* socket = m_server->nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
        if (socket->bytesAvailable() > 0) {
            onReadyRead(socket);
        }
    }
}

void ScriptedPeer::onReadyRead(QTcpSocket* socket)
{
    QByteArray& buffer = m_buffers[socket];
    buffer += socket->readAll();

    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        return;
    }
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    PeerRequest request;
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    const QByteArray target = requestLine.value(1);
    const qsizetype question = target.indexOf('?');
    request.path = question < 0 ? target : target.left(question);
    request.query = question < 0 ? QByteArray() : target.mid(question + 1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0) {
            request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                   lines[i].mid(colon + 1).trimmed());
        }
    }
    const qsizetype length = request.headers.value("content-length", "0").toLongLong();
    if (buffer.size() < headerEnd + 4 + length) {
        return;
    }
    request.body = buffer.mid(headerEnd + 4, length);
    buffer.remove(0, headerEnd + 4 + length);

    m_requests.append(request);
    emit requestReceived(request);

    PeerResponse response;
    auto queued = m_script.find(request.path);
    if (queued != m_script.end() && !queued->isEmpty()) {
        response = queued->dequeue();
    } else if (m_handler) {
        response = m_handler(request);
    } else {
        response = PeerResponse::raw(404, QByteArray(), QByteArray());
    }

    if (response.silent) {
        return;
    }
    if (response.delayMs > 0) {
        QPointer<QTcpSocket> guarded(socket);
        QTimer::singleShot(response.delayMs, this, [this, guarded, response] {
            if (guarded && guarded->state() == QAbstractSocket::ConnectedState) {
                respond(guarded, response);
            }
        });
        return;
    }
    respond(socket, response);
}

void ScriptedPeer::respond(QTcpSocket* socket, const PeerResponse& response)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + " Scripted\r\n";
    for (const auto& header : response.headers) {
        out += header.first + ": " + header.second + "\r\n";
    }
    out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    out += "Connection: close\r\n\r\n";
    out += response.body;
    socket->write(out);
    socket->disconnectFromHost();
}
