#include "ContentServer.h"

#include <sodium.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFuture>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QJsonDocument>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QTcpSocket>
#include <QThread>
#include <cstdio>
#include <memory>

#include "PasswordHasher.h"
#include "Service.h"

namespace {

using Method = QHttpServerRequest::Method;
using Status = QHttpServerResponder::StatusCode;

QString methodName(Method m)
{
    switch (m) {
        case Method::Get:
            return QStringLiteral("GET");
        case Method::Post:
            return QStringLiteral("POST");
        case Method::Put:
            return QStringLiteral("PUT");
        case Method::Delete:
            return QStringLiteral("DELETE");
        case Method::Head:
            return QStringLiteral("HEAD");
        case Method::Options:
            return QStringLiteral("OPTIONS");
        case Method::Patch:
            return QStringLiteral("PATCH");
        default:
            return QStringLiteral("OTHER");
    }
}

// The path as sent, without the query, cut short and stripped of anything
// that could forge a second log line.
QString loggablePath(const QHttpServerRequest& request)
{
    QString path = QString::fromLatin1(request.url().path(QUrl::FullyEncoded).toLatin1()).left(200);
    for (QChar& c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            c = u'?';
        }
    }
    return path.isEmpty() ? QStringLiteral("/") : path;
}

QHttpServerResponse toResponse(const Reply& reply)
{
    QHttpServerResponse response(reply.body, Status(reply.httpStatus));
    // Answers may carry content keys and tokens: never to be cached anywhere.
    response.setHeader("Cache-Control", "no-store");
    return response;
}

struct HashOutcome
{
    bool matches = false;
    QByteArray newHash;
};

}  // namespace

ContentServer::ContentServer(Service& service, const PasswordHasher& hasher, HttpOptions options,
                             QObject* parent)
    : QObject(parent), m_service(service), m_hasher(hasher), m_options(std::move(options))
{
    int threads = m_options.hashThreads;
    if (threads <= 0) {
        threads = std::max(1, QThread::idealThreadCount() - 1);
    }
    m_hashPool.setMaxThreadCount(threads);

    // Shared steps of every route: method, size, JSON; then the handler, then
    // the log line.
    auto route = [this](
                     const char* path, Method method, bool wantsBody,
                     std::function<Reply(const QHttpServerRequest&, const QJsonObject&)> handler) {
        m_http.route(QString::fromLatin1(path),
                     [this, method, wantsBody, handler](const QHttpServerRequest& request) {
                         QElapsedTimer timer;
                         timer.start();
                         Reply reply;
                         QJsonObject body;
                         if (request.method() != method) {
                             reply = Reply::failure(apiError(ErrorCode::MethodNotAllowed));
                         } else if (request.body().size() > m_options.maxBodyBytes) {
                             reply = Reply::failure(apiError(ErrorCode::PayloadTooLarge));
                         } else {
                             bool parsed = true;
                             if (wantsBody) {
                                 QJsonParseError error;
                                 const auto doc = QJsonDocument::fromJson(request.body(), &error);
                                 parsed = error.error == QJsonParseError::NoError && doc.isObject();
                                 body = doc.object();
                             }
                             reply = parsed ? handler(request, body)
                                            : Reply::failure(apiError(
                                                  ErrorCode::InvalidRequest,
                                                  QStringLiteral("请求内容不是有效的 JSON 对象")));
                         }
                         writeLog(methodName(request.method()), loggablePath(request),
                                  reply.httpStatus, timer.elapsed());
                         return toResponse(reply);
                     });
    };

    route("/api/auth/me", Method::Get, false,
          [this](const QHttpServerRequest& r, const QJsonObject&) {
              return m_service.me(r.value("Authorization"));
          });
    route("/api/auth/logout", Method::Post, false,
          [this](const QHttpServerRequest& r, const QJsonObject&) {
              return m_service.logout(r.value("Authorization"));
          });
    route("/api/video/key", Method::Post, true,
          [this](const QHttpServerRequest& r, const QJsonObject& body) {
              return m_service.videoKey(r.value("Authorization"), body);
          });
    route("/api/merchant/keys", Method::Post, true,
          [this](const QHttpServerRequest& r, const QJsonObject& body) {
              return m_service.registerKey(r.value("Authorization"), body);
          });

    // The login is the one route whose answer comes later: the password check
    // runs on the hash pool and the rest resumes on this thread. The answer
    // goes through the responder, kept until then; QFuture-returning routes
    // crash in Qt 6.4 once a continuation has to run on another thread.
    m_http.route(QStringLiteral("/api/auth/login"), [this](const QHttpServerRequest& request,
                                                           QHttpServerResponder&& responder) {
        auto timer = std::make_shared<QElapsedTimer>();
        timer->start();
        const QString method = methodName(request.method());
        const QString path = loggablePath(request);
        auto answerNow = [&](const Reply& reply) {
            writeLog(method, path, reply.httpStatus, timer->elapsed());
            toResponse(reply).write(std::move(responder));
        };
        if (request.method() != Method::Post) {
            return answerNow(Reply::failure(apiError(ErrorCode::MethodNotAllowed)));
        }
        if (request.body().size() > m_options.maxBodyBytes) {
            return answerNow(Reply::failure(apiError(ErrorCode::PayloadTooLarge)));
        }
        QJsonParseError error;
        const auto doc = QJsonDocument::fromJson(request.body(), &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            return answerNow(Reply::failure(apiError(
                ErrorCode::InvalidRequest, QStringLiteral("请求内容不是有效的 JSON 对象"))));
        }
        auto plan = std::make_shared<Service::LoginPlan>(
            m_service.beginLogin(doc.object(), clientAddress(request)));
        if (plan->immediate) {
            return answerNow(*plan->immediate);
        }
        if (m_pendingLogins.loadRelaxed() >= m_options.maxPendingLogins) {
            return answerNow(Reply::failure(apiError(ErrorCode::ServerBusy)));
        }
        m_pendingLogins.ref();
        // The socket goes away if the client hangs up meanwhile; the pointer
        // tells whether anybody is still waiting for the answer.
        QPointer<QTcpSocket> socket(responder.socket());
        auto pending = std::make_shared<QHttpServerResponder>(std::move(responder));
        QPointer<ContentServer> self(this);
        const PasswordHasher* hasher = &m_hasher;
        m_hashPool.start([self, hasher, plan, pending, socket, timer, method, path]() {
            auto outcome = std::make_shared<HashOutcome>();
            outcome->matches = hasher->verify(plan->hashToCheck, plan->password);
            if (outcome->matches && hasher->needsRehash(plan->hashToCheck)) {
                outcome->newHash = hasher->hash(plan->password);
            }
            sodium_memzero(plan->password.data(), plan->password.size());
            QMetaObject::invokeMethod(
                self.data(),
                [self, plan, pending, socket, outcome, timer, method, path]() {
                    self->m_pendingLogins.deref();
                    const Reply reply =
                        self->m_service.finishLogin(*plan, outcome->matches, outcome->newHash);
                    self->writeLog(method, path, reply.httpStatus, timer->elapsed());
                    if (socket && socket->state() == QAbstractSocket::ConnectedState) {
                        toResponse(reply).write(std::move(*pending));
                    }
                },
                Qt::QueuedConnection);
        });
    });

    m_http.setMissingHandler(
        [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
            const Reply reply = Reply::failure(apiError(ErrorCode::NotFound));
            writeLog(methodName(request.method()), loggablePath(request), reply.httpStatus, 0);
            toResponse(reply).write(std::move(responder));
        });

    connect(&m_housekeeping, &QTimer::timeout, this, [this] { m_service.housekeeping(); });
    m_housekeeping.start(10 * 60 * 1000);
    m_service.housekeeping();
}

ContentServer::~ContentServer()
{
    m_hashPool.waitForDone();
}

bool ContentServer::setupTls(const QString& certPath, const QString& keyPath, QString* error)
{
    const auto certs = QSslCertificate::fromPath(certPath, QSsl::Pem);
    if (certs.isEmpty()) {
        *error = QStringLiteral("no PEM certificate in %1").arg(certPath);
        return false;
    }
    QFile keyFile(keyPath);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1").arg(keyPath);
        return false;
    }
    const QByteArray pem = keyFile.readAll();
    QSslKey key;
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Opaque}) {
        key = QSslKey(pem, algorithm, QSsl::Pem);
        if (!key.isNull()) {
            break;
        }
    }
    if (key.isNull()) {
        *error = QStringLiteral("no usable private key in %1").arg(keyPath);
        return false;
    }
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(certs.first());
    if (certs.size() > 1) {
        config.setLocalCertificateChain(certs);
    }
    config.setPrivateKey(key);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    m_tls = config;
    return true;
}

quint16 ContentServer::listen(const QHostAddress& address, quint16 port)
{
    QTcpServer* server = nullptr;
    if (m_tls) {
        auto* tls = new QSslServer(this);
        tls->setSslConfiguration(*m_tls);
        server = tls;
    } else {
        server = new QTcpServer(this);
    }
    if (!server->listen(address, port)) {
        delete server;
        return 0;
    }
    // Connected before bind(), so this runs before the HTTP server takes the
    // socket (it listens to the same signal) and the guard reads first.
    connect(server, &QTcpServer::pendingConnectionAvailable, this,
            [this, server] { guardNewSockets(server); });
    m_http.bind(server);
    return server->serverPort();
}

void ContentServer::guardNewSockets(QTcpServer* server)
{
    // Sockets stay children of the TCP server that accepted them.
    const auto sockets = server->findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly);
    for (QTcpSocket* socket : sockets) {
        if (socket->property("veilcastGuarded").isValid()) {
            continue;
        }
        socket->setProperty("veilcastGuarded", true);
        auto unanswered = std::make_shared<qint64>(0);
        // Runs before the HTTP server reads, so bytesAvailable() is what just arrived.
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, unanswered] {
            *unanswered += socket->bytesAvailable();
            if (*unanswered <= m_options.maxUnansweredBytes ||
                socket->state() != QAbstractSocket::ConnectedState) {
                return;
            }
            const Reply reply = Reply::failure(apiError(ErrorCode::PayloadTooLarge));
            const QByteArray body = QJsonDocument(reply.body).toJson(QJsonDocument::Compact);
            socket->write(
                "HTTP/1.1 413 Payload Too Large\r\n"
                "Content-Type: application/json\r\nConnection: close\r\n"
                "Content-Length: " +
                QByteArray::number(body.size()) + "\r\n\r\n" + body);
            socket->disconnectFromHost();
            writeLog(QStringLiteral("-"), QStringLiteral("-"), reply.httpStatus, 0);
        });
        connect(socket, &QTcpSocket::bytesWritten, this, [unanswered] { *unanswered = 0; });
    }
}

bool ContentServer::plainHttpAllowed(const QHostAddress& address, bool tls, bool behindTlsProxy)
{
    return tls || behindTlsProxy || address.isLoopback();
}

QString ContentServer::clientAddress(const QHttpServerRequest& request) const
{
    if (m_options.trustForwardedFor) {
        const QByteArray forwarded = request.value("X-Forwarded-For");
        if (!forwarded.isEmpty()) {
            const QHostAddress last(QString::fromLatin1(forwarded.split(',').last().trimmed()));
            if (!last.isNull()) {
                return last.toString();
            }
        }
    }
    QHostAddress address = request.remoteAddress();
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

void ContentServer::writeLog(const QString& method, const QString& path, int status,
                             qint64 elapsedMs)
{
    const QString line =
        QStringLiteral("%1 %2 %3 %4 %5ms")
            .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs), method, path)
            .arg(status)
            .arg(elapsedMs);
    if (m_options.log) {
        m_options.log(line);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(line));
    }
}
