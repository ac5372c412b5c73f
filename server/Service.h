#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>

#include "ApiError.h"
#include "Store.h"

class Clock;
class KeyVault;
class PasswordHasher;

struct ServiceOptions
{
    qint64 accessLifetimeMs = 24LL * 3600 * 1000;
    qint64 renewalWindowMs = 30LL * 24 * 3600 * 1000;
    // However often a token is renewed, the login behind it ends after this.
    qint64 sessionLifetimeMs = 90LL * 24 * 3600 * 1000;
    int maxLoginFailures = 10;
    qint64 failureWindowMs = 10LL * 60 * 1000;
};

// The rules behind the five endpoints, free of HTTP. Runs on one thread (the
// one that owns the store); only password hashing may leave it, which is why
// a login comes in two halves around the hash check.
class Service
{
public:
    Service(Store& store, const KeyVault& vault, const PasswordHasher& hasher, const Clock& clock,
            ServiceOptions options);

    struct LoginPlan
    {
        std::optional<Reply> immediate;  // set when the answer is known without hashing
        QString username;
        QByteArray password;
        QByteArray hashToCheck;
        std::optional<User> user;
        QString deviceId;  // normalised, or empty when the client sent none usable
        QString deviceName;
        QString clientAddress;
        QString attempt;  // the id its throttle records carry
    };
    LoginPlan beginLogin(const QJsonObject& body, const QString& clientAddress);
    Reply finishLogin(const LoginPlan& plan, bool passwordMatches, const QByteArray& newHash);
    // Both halves in one call, for callers that may block.
    Reply login(const QJsonObject& body, const QString& clientAddress);

    Reply me(const QByteArray& authorization);
    Reply logout(const QByteArray& authorization);
    Reply videoKey(const QByteArray& authorization, const QJsonObject& body);
    Reply registerKey(const QByteArray& authorization, const QJsonObject& body);

    // Drops expired tokens and old throttling records.
    void housekeeping();

    static QString hashToken(const QString& token);
    // 32 hex digits, any case, to lower case; empty when malformed.
    static QString normalizeDeviceId(const QString& raw);
    // Dashed or undashed UUID text to the lower-case dashed form; empty when malformed.
    static QString normalizeKeyId(const QString& raw, bool requireDashes);
    static QString isoTime(qint64 ms);

private:
    struct Session
    {
        User user;
        TokenRecord token;
    };
    std::optional<ApiError> authenticate(const QByteArray& authorization, bool forRenewal,
                                         Session* out);
    std::optional<ApiError> accountState(const User& user) const;
    // `known`: the device as already read for this request (empty: not found
    // then); without it the device is looked up here.
    std::optional<ApiError> admitDevice(const User& user, const QString& deviceId,
                                        const QString& deviceName,
                                        const std::optional<std::optional<Device>>& known = {});
    std::optional<ApiError> tokenState(const TokenRecord& token, bool forRenewal) const;
    void recordLoginDevice(const User& user, const QString& deviceId, const QString& deviceName);
    // sessionStartedAt 0: a new login, starting now.
    std::optional<QString> issueToken(const User& user, const QString& deviceId,
                                      qint64 sessionStartedAt, TokenRecord* record);
    std::optional<ApiError> checkTokenDevice(const Session& session, const QString& deviceId);
    QJsonObject userData(const User& user, const QString& token, const TokenRecord& record) const;
    // The merchant a key registered by an admin belongs to, into *merchantId
    // (which starts as the admin's own); a refusal when there is none.
    std::optional<Reply> chooseKeyMerchant(const QJsonObject& body, QString* merchantId);

    Store& m_store;
    const KeyVault& m_vault;
    const PasswordHasher& m_hasher;
    const Clock& m_clock;
    ServiceOptions m_options;
    QByteArray m_dummyHash;
};
