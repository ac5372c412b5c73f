#pragma once

#include <QByteArray>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>

class ApiClient;
struct ApiResult;
class AuthManager;
class KeyStore;

// Delivers a container's content key: from the memory cache, the local key
// store, or the server, in that order. An expired or invalid token is
// refreshed once through /api/auth/me before the server request is repeated.
class KeyManager : public QObject
{
    Q_OBJECT

public:
    // Null arguments mean the process-wide manager and store.
    explicit KeyManager(AuthManager* auth = nullptr, KeyStore* store = nullptr,
                        QObject* parent = nullptr);
    ~KeyManager() override;

    // keyId: 32 hex digits (as in the container header) or the dashed form.
    // fileId: echoed in the answer so the caller can match it. Cache and store
    // hits answer before this returns.
    void requestKey(const QString& keyId, const QString& fileId);

    // The dashed lower-case form of a 32-hex-digit id; empty for 32
    // characters that are not all hex digits; any other id unchanged.
    static QString normalizeKeyId(const QString& keyId);

    // What one finished /api/video/key answer means. The secrets are wiped
    // when the holder goes.
    struct KeyAnswer
    {
        enum class Outcome
        {
            Key,            // key (32 bytes) and iv as the server sent them
            RenewAndRetry,  // the token was refused: renew it, ask once more
            Refused,        // reason holds the sentence for the user
        };
        KeyAnswer() = default;
        KeyAnswer(const KeyAnswer&) = delete;
        KeyAnswer& operator=(const KeyAnswer&) = delete;
        KeyAnswer(KeyAnswer&&) = default;
        KeyAnswer& operator=(KeyAnswer&&) = default;
        ~KeyAnswer();

        Outcome outcome = Outcome::Refused;
        QByteArray key;
        QByteArray iv;
        QString reason;
    };
    // retried: this answer is already the one asked for after a renewal.
    static KeyAnswer readKeyAnswer(const ApiResult& result, bool retried);

signals:
    // iv is empty for cache and store hits: the container header has it.
    void keyReady(QString fileId, QByteArray key, QByteArray iv);
    void keyError(QString fileId, QString reason);

private:
    void fetchKey(const QString& keyId, const QString& fileId, bool retried,
                  const QString& refreshedToken = QString());
    void refreshAndRetry(const QString& keyId, const QString& fileId);

    ApiClient* m_client;
    AuthManager* m_auth;
    KeyStore* m_store;
    mutable QMutex m_mutex;
    QMap<QString, QByteArray> m_cache;
};
