#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

class ApiClient;
class AuthManager;

// Registers the key of a new container with the content server, one call per
// file, and says what became of it. Three outcomes, because a container is
// worth keeping exactly when the server may hold its key:
// - uploadSucceeded: the server holds this key;
// - uploadFailed: the server refused it (an error code in its answer), so the
//   container can never be played;
// - uploadUncertain: no usable answer (time-out, network failure, an answer
//   that is not the server's envelope). The server may hold the key; sending
//   the same registration again with resend set settles it.
class UploadService : public QObject
{
    Q_OBJECT

public:
    // The server's answer to a key upload is awaited this long.
    static constexpr int kUploadTimeoutMs = 15000;

    // client is not owned; each upload gives it auth's token (null for the
    // process-wide manager) when someone is logged in, and auth learns a
    // token renewed here.
    explicit UploadService(ApiClient* client, AuthManager* auth = nullptr,
                           QObject* parent = nullptr);

    // srcFile comes back unchanged in the outcome. resend marks a repeat of a
    // registration whose first answer was lost: a KEY_CONFLICT may then be
    // the first attempt's own key, which is checked with the server before it
    // counts as a refusal.
    void uploadKey(const QString& srcFile, const QString& keyId, const QByteArray& key,
                   const QByteArray& iv, const QString& title, const QString& sourceFileName,
                   qint64 fileSize, bool resend = false);

signals:
    void uploadSucceeded(QString srcFile);
    void uploadFailed(QString srcFile, QString errorMsg);
    void uploadUncertain(QString srcFile, QString errorMsg);

private:
    struct Registration;
    using RegistrationPtr = std::shared_ptr<Registration>;

    // The request body of a registration.
    static QByteArray body(const Registration& reg);
    void send(const RegistrationPtr& reg);
    void refreshAndResend(const RegistrationPtr& reg);
    void verifyConflict(const RegistrationPtr& reg);

    ApiClient* m_client;  // GUI thread, like everything here
    AuthManager* m_auth;
};
