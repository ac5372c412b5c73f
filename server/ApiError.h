#pragma once

#include <QJsonObject>
#include <QString>
#include <initializer_list>
#include <string>
#include <utility>

// Every refusal the server can give. The client shows `message` for codes it
// does not know, so each one is a complete Chinese sentence.
enum class ErrorCode
{
    InvalidRequest,
    PayloadTooLarge,
    NotFound,
    MethodNotAllowed,
    InvalidCredentials,
    AccountDisabled,
    AccountExpired,
    TooManyAttempts,
    TokenInvalid,
    TokenExpired,
    PermissionDenied,
    PermissionExpired,
    KeyNotFound,
    KeyRevoked,
    DeviceRequired,
    DeviceRejected,
    DeviceLimitExceeded,
    KeyConflict,
    InvalidKeyId,
    InvalidKey,
    InvalidIv,
    InvalidFileSize,
    ApiKeyInvalid,
    MerchantDisabled,
    ViewerNotFound,
    GrantNotFound,
    UsernameTaken,
    ApiKeyNotFound,
    SessionInvalid,
    CsrfRejected,
    ServerBusy,
    ServerError,
};

struct ApiError
{
    int httpStatus = 500;
    QString code;
    QString message;
};

ApiError apiError(ErrorCode code);
// Same code, but with a sentence that says more than the default one.
ApiError apiError(ErrorCode code, const QString& message);
ApiError deviceLimitError(int limit);

// What a handler answers: the HTTP status and the envelope.
struct Reply
{
    int httpStatus = 200;
    QJsonObject body;
    // The envelope already written out, for answers on the hot path that
    // skip building `body`; empty otherwise.
    std::string wire;

    static Reply success(const QJsonObject& data);
    // A success whose data is these text fields only, written straight out.
    static Reply successText(std::initializer_list<std::pair<QLatin1String, QString>> fields);
    static Reply failure(const ApiError& error);
    bool ok() const { return httpStatus == 200; }
    QString code() const { return body.value(QStringLiteral("code")).toString(); }
};
