#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QQueue>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <functional>

class QTcpServer;
class QTcpSocket;

// One request as the peer received it.
struct PeerRequest
{
    QByteArray method;
    QByteArray path;                        // without the query
    QByteArray query;                       // without the "?"
    QHash<QByteArray, QByteArray> headers;  // names lower-cased
    QByteArray body;

    bool hasHeader(const QByteArray& name) const { return headers.contains(name.toLower()); }
    QByteArray header(const QByteArray& name) const { return headers.value(name.toLower()); }
    QJsonObject json() const;
};

// What the peer does with one request.
struct PeerResponse
{
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    int delayMs = 0;      // answer this much later
    bool silent = false;  // never answer; keep the connection open

    static PeerResponse raw(int status, const QByteArray& body,
                            const QByteArray& contentType = "application/json");
    static PeerResponse json(const QJsonObject& object, int status = 200);
    static PeerResponse ok(const QJsonObject& data);
    static PeerResponse refuse(const QString& code, const QString& message = QString(),
                               int status = 200);
    static PeerResponse noAnswer();
    PeerResponse after(int ms) const;
};

Q_DECLARE_METATYPE(PeerResponse)

class ScriptedPeer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<PeerResponse(const PeerRequest&)>;

    explicit ScriptedPeer(QObject* parent = nullptr);
    ~ScriptedPeer() override;

    // Plain HTTP on 127.0.0.1, any free port.
    bool listen();
    // HTTPS with the given certificate and key.
    bool listenTls(const QSslCertificate& certificate, const QSslKey& key);

    quint16 port() const;
    QString url() const;  // origin, without trailing slash

    // Answers for a path, used in order; a path without a queued answer gets
    // the handler's answer, or 404 with an empty body.
    void enqueue(const QByteArray& path, const PeerResponse& response);
    void setHandler(Handler handler);

    QList<PeerRequest> requests() const { return m_requests; }
    QList<PeerRequest> requestsTo(const QByteArray& path) const;
    void reset();

signals:
    void requestReceived(const PeerRequest& request);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void respond(QTcpSocket* socket, const PeerResponse& response);

    QTcpServer* m_server = nullptr;
    bool m_tls = false;
    QHash<QByteArray, QQueue<PeerResponse>> m_script;
    Handler m_handler;
    QList<PeerRequest> m_requests;
    QHash<QTcpSocket*, QByteArray> m_buffers;
};
