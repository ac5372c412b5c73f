#include "Service.h"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sodium.h>

#include <QDateTime>
#include <QJsonValue>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Clock.h"
#include "JsonBody.h"
#include "KeyVault.h"
#include "PasswordHasher.h"
#include "SecretBytes.h"
#include "ServiceSupport.h"

using namespace support;

namespace {

constexpr int kMaxUsernameLength = 128;
constexpr int kMaxPasswordBytes = 1024;
constexpr int kMaxDeviceNameLength = 200;
constexpr int kMaxTextLength = 1024;
// Writing last_seen on every key request would turn reads into writes.
constexpr qint64 kDeviceTouchIntervalMs = 60 * 1000;
constexpr int kMaxAddressLength = 64;
constexpr int kMaxLoggedIdLength = 64;
constexpr qint64 kMaxSafeInteger = 9007199254740991LL;  // 2^53 - 1

// Admins play everything and merchants their own catalogue; anyone else
// needs a grant still in force.
std::optional<ApiError> playRefusal(const User& user, const ContentKey& key,
                                    KeyRequestView::GrantState grants)
{
    const bool ownCatalogue =
        user.role == Role::Admin || (user.role == Role::Merchant && !user.merchantId.isEmpty() &&
                                     user.merchantId == key.merchantId);
    if (ownCatalogue) {
        return std::nullopt;
    }
    switch (grants) {
        case KeyRequestView::GrantState::Current:
            break;
        case KeyRequestView::GrantState::None:
            return apiError(ErrorCode::PermissionDenied, QStringLiteral("您没有该视频的观看权限"));
        case KeyRequestView::GrantState::Expired:
            return apiError(ErrorCode::PermissionExpired);
    }
    return std::nullopt;
}

// A key request's body, read before anything else is known.
struct KeyRequestBody
{
    QString keyId;  // normalised; empty when malformed
    QString fileId;
    QString deviceId;  // normalised; empty when malformed
    QString deviceName;
    QString rawKeyId;  // as sent (cut short), for the log
    QString rawDeviceId;
    std::optional<ApiError> fault;
};

KeyRequestBody readKeyRequest(const KeyRequestText& body)
{
    KeyRequestBody r;
    r.fault = body.fault;
    r.fileId = body.fileId;
    r.rawDeviceId = body.deviceId;
    r.deviceId = Service::normalizeDeviceId(r.rawDeviceId);
    r.rawDeviceId = r.rawDeviceId.left(kMaxLoggedIdLength);
    r.keyId = Service::normalizeKeyId(body.keyId, false);
    r.rawKeyId = body.keyId.left(kMaxLoggedIdLength);
    r.deviceName = body.deviceName.left(kMaxDeviceNameLength);
    return r;
}

// Base64 text of exactly `size` bytes; empty when absent or anything else.
QByteArray base64Field(const QJsonObject& body, const QString& name, int size)
{
    const QJsonValue v = body.value(name);
    if (!v.isString()) {
        return {};
    }
    auto decoded = QByteArray::fromBase64Encoding(v.toString().toLatin1(),
                                                  QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == size ? decoded.decoded : QByteArray();
}

// A new key's title and source file name: both required, text, and short.
std::optional<ApiError> readKeyTexts(const QJsonObject& body, ContentKey* record)
{
    for (const auto& [name, target] :
         {std::pair{QStringLiteral("title"), &record->title},
          std::pair{QStringLiteral("sourceFileName"), &record->sourceFileName}}) {
        if (!body.contains(name)) {
            return missing(name);
        }
        if (!stringField(body, name, target)) {
            return wrongType(name);
        }
        if (target->size() > kMaxTextLength) {
            return tooLong(name);
        }
    }
    return std::nullopt;
}

}  // namespace

Service::Service(Store& store, const KeyVault& vault, const PasswordHasher& hasher,
                 const Clock& clock, ServiceOptions options)
    : m_store(store), m_vault(vault), m_hasher(hasher), m_clock(clock), m_options(options)
{
    // Unknown user names are checked against this, so they cost as much as a
    // wrong password and the answer time does not tell which one it was.
    QByteArray random(24, '\0');
    randombytes_buf(random.data(), random.size());
    m_dummyHash = m_hasher.hash(random.toBase64());
}

Service::~Service()
{
    flushKeyLog();
}

QString Service::hashToken(const QString& token)
{
    // OpenSSL's SHA-256 uses the processor's SHA instructions; libsodium's
    // is plain code, a noticeable part of a key request. Fetched once: its
    // one-call SHA256() looks the algorithm up anew, under a lock, each time.
    static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    const QByteArray text = token.toLatin1();
    unsigned char digest[SHA256_DIGEST_LENGTH];
    if (!sha256 ||
        EVP_Digest(text.constData(), size_t(text.size()), digest, nullptr, sha256, nullptr) != 1) {
        crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(text.constData()),
                           text.size());
    }
    char hex[2 * SHA256_DIGEST_LENGTH + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return QString::fromLatin1(hex, 2 * SHA256_DIGEST_LENGTH);
}

namespace {

// Whether `text` is hex digits in groups of the given lengths joined by '-',
// the whole string and nothing else (no trailing newline either). Checked by
// hand: a regular expression here cost the key path more than its lookup.
bool isHexDigit(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

bool isHexGroups(QStringView text, std::initializer_list<int> groups)
{
    qsizetype at = 0;
    for (const int length : groups) {
        if (at > 0) {
            if (at >= text.size() || text.at(at) != u'-') {
                return false;
            }
            ++at;
        }
        for (int i = 0; i < length; ++i, ++at) {
            if (at >= text.size() || !isHexDigit(text.at(at).unicode())) {
                return false;
            }
        }
    }
    return at == text.size();
}

}  // namespace

QString Service::normalizeDeviceId(const QString& raw)
{
    return isHexGroups(raw, {32}) ? raw.toLower() : QString();
}

QString Service::normalizeKeyId(const QString& raw, bool requireDashes)
{
    if (isHexGroups(raw, {8, 4, 4, 4, 12})) {
        return raw.toLower();
    }
    if (!requireDashes && isHexGroups(raw, {32})) {
        const QString h = raw.toLower();
        return h.mid(0, 8) + u'-' + h.mid(8, 4) + u'-' + h.mid(12, 4) + u'-' + h.mid(16, 4) + u'-' +
               h.mid(20);
    }
    return {};
}

QString Service::isoTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QString Service::newApiKeySecret()
{
    QByteArray raw(32, '\0');
    randombytes_buf(raw.data(), raw.size());
    const QString secret = QStringLiteral("vck_") + QString::fromLatin1(raw.toHex());
    sodium_memzero(raw.data(), raw.size());
    return secret;
}

std::optional<ApiError> Service::accountState(const User& user) const
{
    if (user.disabled) {
        return apiError(ErrorCode::AccountDisabled);
    }
    if (user.accountExpiresAt && *user.accountExpiresAt <= m_clock.nowMs()) {
        return apiError(ErrorCode::AccountExpired);
    }
    return std::nullopt;
}

std::optional<ApiError> Service::authenticate(const QByteArray& authorization, bool forRenewal,
                                              Session* out)
{
    const QString token = bearerToken(authorization);
    if (token.isEmpty()) {
        return apiError(ErrorCode::TokenInvalid);
    }
    bool failed = false;
    auto record = m_store.tokenByHash(hashToken(token), &failed);
    if (failed) {
        return apiError(ErrorCode::ServerError);
    }
    if (!record) {
        return apiError(ErrorCode::TokenInvalid);
    }
    if (auto refused = tokenState(*record, forRenewal)) {
        return refused;
    }
    auto user = m_store.userById(record->userId, &failed);
    if (failed) {
        return apiError(ErrorCode::ServerError);
    }
    if (!user) {
        return apiError(ErrorCode::TokenInvalid);
    }
    if (auto refused = accountState(*user)) {
        return refused;
    }
    out->user = *user;
    out->token = *record;
    return std::nullopt;
}

std::optional<ApiError> Service::tokenState(const TokenRecord& token, bool forRenewal) const
{
    const qint64 now = m_clock.nowMs();
    if (now >= token.renewUntil || (!forRenewal && now >= token.accessExpiresAt)) {
        return apiError(ErrorCode::TokenExpired);
    }
    return std::nullopt;
}

std::optional<QString> Service::issueToken(const User& user, const QString& deviceId,
                                           qint64 sessionStartedAt, TokenRecord* record)
{
    QByteArray raw(32, '\0');
    randombytes_buf(raw.data(), raw.size());
    const QString token = QString::fromLatin1(raw.toHex());
    sodium_memzero(raw.data(), raw.size());
    const qint64 now = m_clock.nowMs();
    record->tokenHash = hashToken(token);
    record->userId = user.id;
    record->deviceId = deviceId;
    record->issuedAt = now;
    record->sessionStartedAt = sessionStartedAt > 0 ? sessionStartedAt : now;
    // Renewal moves the windows along, never past the session's end.
    const qint64 sessionEnd = record->sessionStartedAt + m_options.sessionLifetimeMs;
    record->renewUntil =
        std::min(sessionEnd, now + std::max(m_options.renewalWindowMs, m_options.accessLifetimeMs));
    record->accessExpiresAt = std::min(record->renewUntil, now + m_options.accessLifetimeMs);
    if (!m_store.addToken(*record)) {
        return std::nullopt;
    }
    return token;
}

QJsonObject Service::userData(const User& user, const QString& token,
                              const TokenRecord& record) const
{
    return {
        {QStringLiteral("userId"), user.id},
        {QStringLiteral("username"), user.username},
        {QStringLiteral("displayName"), user.displayName},
        {QStringLiteral("token"), token},
        {QStringLiteral("role"), roleName(user.role)},
        {QStringLiteral("tokenExpiry"), isoTime(record.accessExpiresAt)},
        {QStringLiteral("accountExpiry"),
         user.accountExpiresAt ? isoTime(*user.accountExpiresAt) : QString()},
        {QStringLiteral("merchantId"), user.merchantId},
        {QStringLiteral("merchantName"), user.merchantName},
    };
}

Service::LoginPlan Service::beginLogin(const QJsonObject& body, const QString& clientAddress)
{
    LoginPlan plan;
    plan.clientAddress = clientAddress;
    QString password;
    QString deviceId;
    if (!body.contains(QStringLiteral("username"))) {
        plan.immediate = Reply::failure(missing(QStringLiteral("username")));
        return plan;
    }
    if (!body.contains(QStringLiteral("password"))) {
        plan.immediate = Reply::failure(missing(QStringLiteral("password")));
        return plan;
    }
    for (const auto& [name, target] : {std::pair{QStringLiteral("username"), &plan.username},
                                       std::pair{QStringLiteral("password"), &password},
                                       std::pair{QStringLiteral("deviceId"), &deviceId},
                                       std::pair{QStringLiteral("deviceName"), &plan.deviceName}}) {
        if (!stringField(body, name, target)) {
            plan.immediate = Reply::failure(wrongType(name));
            return plan;
        }
    }
    plan.username = plan.username.trimmed();
    plan.password = password.toUtf8();
    plan.deviceId = normalizeDeviceId(deviceId);
    plan.deviceName = plan.deviceName.left(kMaxDeviceNameLength);
    const bool wellFormed = !plan.username.isEmpty() &&
                            plan.username.size() <= kMaxUsernameLength &&
                            !plan.password.isEmpty() && plan.password.size() <= kMaxPasswordBytes;

    // Every attempt is counted before any hashing, malformed ones included,
    // and counted first and read second: of many concurrent guesses at most
    // the limit get their password checked.
    QByteArray attempt(16, '\0');
    randombytes_buf(attempt.data(), attempt.size());
    plan.attempt = QString::fromLatin1(attempt.toHex());
    const qint64 now = m_clock.nowMs();
    const qint64 since = now - m_options.failureWindowMs;
    QStringList subjects{QStringLiteral("addr:") + clientAddress};
    if (!plan.username.isEmpty() && plan.username.size() <= kMaxUsernameLength) {
        subjects.prepend(QStringLiteral("user:") + plan.username.toLower());
    }
    for (const QString& subject : subjects) {
        const auto count = m_store.reserveLoginAttempt(subject, plan.attempt, now, since);
        if (!count) {
            m_store.releaseLoginAttempt(plan.attempt);
            plan.immediate = serverError("login throttle");
            return plan;
        }
        if (*count > m_options.maxLoginFailures) {
            // A refused attempt is not checked, so it does not count either.
            m_store.releaseLoginAttempt(plan.attempt);
            plan.immediate = Reply::failure(apiError(ErrorCode::TooManyAttempts));
            return plan;
        }
    }
    if (!wellFormed) {
        // Malformed credentials are still wrong credentials, and cost as much.
        plan.hashToCheck = m_dummyHash;
        return plan;
    }

    bool failed = false;
    plan.user = m_store.userByName(plan.username, &failed);
    if (failed) {
        m_store.releaseLoginAttempt(plan.attempt);
        plan.immediate = serverError("login lookup");
        return plan;
    }
    plan.hashToCheck = plan.user ? plan.user->passwordHash : m_dummyHash;
    return plan;
}

std::optional<Reply> Service::settleLogin(const LoginPlan& plan, bool passwordMatches,
                                          const QByteArray& newHash)
{
    if (!plan.user || !passwordMatches) {
        // The attempt's records, made before the check, stay as failures.
        return Reply::failure(apiError(ErrorCode::InvalidCredentials));
    }
    const User& user = *plan.user;
    m_store.clearLoginFailures(QStringLiteral("user:") + plan.username.toLower());
    m_store.releaseLoginAttempt(plan.attempt);
    // Every known hash is brought to the current cost at its first right
    // password, disabled accounts too: until then a wrong password costs
    // what the old hash costs, not what an unknown name costs.
    if (!newHash.isEmpty()) {
        m_store.setPasswordHash(user.id, newHash);
    }
    // Account state is told only to someone who knows the password.
    if (auto refused = accountState(user)) {
        return Reply::failure(*refused);
    }
    return std::nullopt;
}

Reply Service::finishLogin(const LoginPlan& plan, bool passwordMatches, const QByteArray& newHash)
{
    if (auto refused = settleLogin(plan, passwordMatches, newHash)) {
        return *refused;
    }
    const User& user = *plan.user;
    recordLoginDevice(user, plan.deviceId, plan.deviceName);
    TokenRecord record;
    const auto token = issueToken(user, plan.deviceId, 0, &record);
    if (!token) {
        return serverError("login token");
    }
    return Reply::success(userData(user, *token, record));
}

Reply Service::login(const QJsonObject& body, const QString& clientAddress)
{
    LoginPlan plan = beginLogin(body, clientAddress);
    if (plan.immediate) {
        return *plan.immediate;
    }
    const bool ok = m_hasher.verify(plan.hashToCheck, plan.password);
    const QByteArray rehash =
        ok && m_hasher.needsRehash(plan.hashToCheck) ? m_hasher.hash(plan.password) : QByteArray();
    sodium_memzero(plan.password.data(), plan.password.size());
    return finishLogin(plan, ok, rehash);
}

void Service::recordLoginDevice(const User& user, const QString& deviceId,
                                const QString& deviceName)
{
    // A login never fails for device reasons: the key request is where the
    // limit and rejection are enforced and explained. Here a known device is
    // refreshed and a new one is taken on while there is room.
    if (deviceId.isEmpty()) {
        return;
    }
    bool failed = false;
    const auto known = m_store.device(user.id, deviceId, &failed);
    const qint64 now = m_clock.nowMs();
    if (failed) {
        return;
    }
    if (known) {
        m_store.touchDevice(user.id, deviceId, deviceName, now);
        return;
    }
    m_store.addDeviceWithinLimit({user.id, deviceId, deviceName, now, now, false},
                                 user.deviceLimit);
}

std::optional<ApiError> Service::admitDevice(const User& user, const QString& deviceId,
                                             const QString& deviceName,
                                             const std::optional<std::optional<Device>>& prefetched)
{
    const qint64 now = m_clock.nowMs();
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool failed = false;
        const auto known =
            attempt == 0 && prefetched ? *prefetched : m_store.device(user.id, deviceId, &failed);
        if (failed) {
            return apiError(ErrorCode::ServerError);
        }
        if (known) {
            if (known->rejected) {
                return apiError(ErrorCode::DeviceRejected);
            }
            if (now - known->lastSeen >= kDeviceTouchIntervalMs ||
                (!deviceName.isEmpty() && deviceName != known->name)) {
                m_store.touchDevice(user.id, deviceId,
                                    deviceName.isEmpty() ? known->name : deviceName, now);
            }
            return std::nullopt;
        }
        switch (m_store.addDeviceWithinLimit({user.id, deviceId, deviceName, now, now, false},
                                             user.deviceLimit)) {
            case Store::DeviceAdmission::Added:
                return std::nullopt;
            case Store::DeviceAdmission::Full:
                return deviceLimitError(user.deviceLimit);
            case Store::DeviceAdmission::Failed:
                return apiError(ErrorCode::ServerError);
            case Store::DeviceAdmission::Exists:
                break;  // another request added it just now: look again
        }
    }
    return apiError(ErrorCode::ServerError);
}

std::optional<ApiError> Service::checkTokenDevice(const Session& session, const QString& deviceId)
{
    // A token copied to another machine must not fetch keys there. A token
    // from a login without a device belongs to the first device it is used on.
    QString owner = session.token.deviceId;
    if (owner.isEmpty()) {
        const int bound = m_store.bindTokenDevice(session.token.tokenHash, deviceId);
        if (bound < 0) {
            return apiError(ErrorCode::ServerError);
        }
        if (bound == 1) {
            return std::nullopt;
        }
        bool failed = false;
        const auto now = m_store.tokenByHash(session.token.tokenHash, &failed);
        if (failed) {
            return apiError(ErrorCode::ServerError);
        }
        owner = now ? now->deviceId : QString();
    }
    if (owner != deviceId) {
        return apiError(ErrorCode::TokenInvalid,
                        QStringLiteral("该登录属于另一台设备，请在本机重新登录"));
    }
    return std::nullopt;
}

Reply Service::me(const QByteArray& authorization)
{
    Session session;
    if (auto refused = authenticate(authorization, true, &session)) {
        return Reply::failure(*refused);
    }
    // Renewal hands out a fresh token and retires the presented one. Deleting
    // first makes a token renewable once, even with several instances racing.
    if (!m_store.db().begin()) {
        return serverError("renew begin");
    }
    const int removed = m_store.deleteToken(session.token.tokenHash);
    if (removed < 0) {
        m_store.db().rollback();
        return serverError("renew retire");
    }
    if (removed == 0) {
        m_store.db().rollback();
        return Reply::failure(apiError(ErrorCode::TokenInvalid));
    }
    TokenRecord record;
    const auto token =
        issueToken(session.user, session.token.deviceId, session.token.sessionStartedAt, &record);
    if (!token || !m_store.db().commit()) {
        m_store.db().rollback();
        return serverError("renew issue");
    }
    return Reply::success(userData(session.user, *token, record));
}

Reply Service::logout(const QByteArray& authorization)
{
    const QString token = bearerToken(authorization);
    if (token.isEmpty()) {
        return Reply::failure(apiError(ErrorCode::TokenInvalid));
    }
    // Expired or disabled, a token can always be given back.
    const int removed = m_store.deleteToken(hashToken(token));
    if (removed < 0) {
        return serverError("logout");
    }
    if (removed == 0) {
        return Reply::failure(apiError(ErrorCode::TokenInvalid));
    }
    return Reply::success({});
}

KeyRequestText KeyRequestText::fromJson(const QJsonObject& body)
{
    KeyRequestText r;
    for (const auto& [name, target] : {std::pair{QStringLiteral("keyId"), &r.keyId},
                                       std::pair{QStringLiteral("fileId"), &r.fileId},
                                       std::pair{QStringLiteral("deviceName"), &r.deviceName}}) {
        if (!r.fault && !stringField(body, name, target)) {
            r.fault = wrongType(name);
        }
    }
    const QJsonValue device = body.value(QStringLiteral("deviceId"));
    r.deviceId = device.isString() ? device.toString() : QString();
    return r;
}

std::optional<KeyRequestText> KeyRequestText::fromFlatJson(QByteArrayView body)
{
    JsonBody::Members members;
    if (!JsonBody::readFlatStrings(body, &members)) {
        return std::nullopt;
    }
    KeyRequestText r;
    for (const JsonBody::Member& m : std::as_const(members)) {
        QString* target = m.key == "keyId"        ? &r.keyId
                          : m.key == "fileId"     ? &r.fileId
                          : m.key == "deviceId"   ? &r.deviceId
                          : m.key == "deviceName" ? &r.deviceName
                                                  : nullptr;
        if (target) {
            *target = QString::fromUtf8(m.value);
        }
    }
    return r;
}

Reply Service::videoKey(const QByteArray& authorization, const QJsonObject& body,
                        const QString& clientAddress)
{
    return videoKey(authorization, KeyRequestText::fromJson(body), clientAddress);
}

Reply Service::videoKey(const QByteArray& authorization, const KeyRequestText& body,
                        const QString& clientAddress)
{
    KeyRequestEntry entry;
    entry.clientAddress = clientAddress.left(kMaxAddressLength);
    const Reply reply = judgeKeyRequest(authorization, body, &entry);
    entry.result = reply.ok() ? QStringLiteral("OK") : reply.code();
    logKeyRequest(std::move(entry));
    return reply;
}

Reply Service::judgeKeyRequest(const QByteArray& authorization, const KeyRequestText& body,
                               KeyRequestEntry* entry)
{
    // The body is read before the database so that one statement can fetch
    // everything; its faults are still told after the token's.
    const KeyRequestBody request = readKeyRequest(body);
    entry->deviceId = request.deviceId.isEmpty() ? request.rawDeviceId : request.deviceId;
    entry->deviceName = request.deviceName;
    entry->keyId = request.keyId.isEmpty() ? request.rawKeyId : request.keyId;
    const QString token = bearerToken(authorization);
    if (token.isEmpty()) {
        return Reply::failure(apiError(ErrorCode::TokenInvalid));
    }
    const auto view =
        m_store.keyRequestView(hashToken(token), request.deviceId, request.keyId, m_clock.nowMs());
    if (!view) {
        return Reply::failure(apiError(ErrorCode::ServerError));
    }
    entry->userId = view->user ? view->user->id : QString();
    entry->merchantId = view->key ? view->key->merchantId : QString();
    if (!view->token || !view->user) {
        return Reply::failure(apiError(ErrorCode::TokenInvalid));
    }
    if (auto refused = tokenState(*view->token, false)) {
        return Reply::failure(*refused);
    }
    if (auto refused = accountState(*view->user)) {
        return Reply::failure(*refused);
    }
    const Session session{*view->user, *view->token};
    if (request.fault) {
        return Reply::failure(*request.fault);
    }
    if (request.deviceId.isEmpty()) {
        return Reply::failure(apiError(ErrorCode::DeviceRequired));
    }
    if (auto refused = checkTokenDevice(session, request.deviceId)) {
        return Reply::failure(*refused);
    }
    if (auto refused =
            admitDevice(session.user, request.deviceId, request.deviceName, view->device)) {
        return Reply::failure(*refused);
    }
    if (request.keyId.isEmpty() || !view->key) {
        return Reply::failure(apiError(ErrorCode::KeyNotFound));
    }
    const ContentKey& key = *view->key;
    if (key.revoked) {
        return Reply::failure(apiError(ErrorCode::KeyRevoked));
    }
    if (auto refused = playRefusal(session.user, key, view->grants)) {
        return Reply::failure(*refused);
    }
    auto plain = m_vault.open(key.sealedKey, key.keyId);
    if (!plain) {
        serverLog(QStringLiteral("error: stored key %1 does not open with this master key")
                      .arg(key.keyId));
        return Reply::failure(apiError(ErrorCode::ServerError));
    }
    const QString keyText = QString::fromLatin1(plain->toBase64());
    sodium_memzero(plain->data(), plain->size());
    return Reply::successText({{QLatin1String("keyId"), request.keyId},
                               {QLatin1String("fileId"), request.fileId},
                               {QLatin1String("key"), keyText},
                               {QLatin1String("iv"), key.iv}});
}

void Service::logKeyRequest(KeyRequestEntry entry)
{
    // The id only has to be unique, not secret: a random start per thread,
    // then a counter, spares every key request a call into the kernel.
    thread_local quint64 sequence = [] {
        quint64 start = 0;
        randombytes_buf(&start, sizeof start);
        return start;
    }();
    entry.at = m_clock.nowMs();
    entry.id = Store::keyRequestId(entry.at, ++sequence);
    m_keyLog->add(entry);
}

void Service::flushKeyLog()
{
    int dropped = 0;
    const KeyRequestBatch entries = m_keyLog->take(&dropped);
    if (dropped > 0) {
        serverLog(QStringLiteral("error: %1 key-request log entries dropped").arg(dropped));
    }
    // A batch that cannot be written is given up rather than kept growing;
    // the key requests themselves were answered either way.
    if (!entries.isEmpty() && !m_store.addKeyRequests(entries)) {
        serverLog(QStringLiteral("error: %1 key-request log entries lost").arg(entries.size()));
    }
}

// An admin names the merchant a key is for, or has one of their own; either
// way it must exist.
std::optional<Reply> Service::chooseKeyMerchant(const QJsonObject& body, QString* merchantId)
{
    QString requested;
    if (!stringField(body, QStringLiteral("merchantId"), &requested)) {
        return Reply::failure(wrongType(QStringLiteral("merchantId")));
    }
    if (!requested.isEmpty()) {
        *merchantId = requested;
    }
    bool failed = false;
    const auto merchant =
        merchantId->isEmpty() ? std::nullopt : m_store.merchantById(*merchantId, &failed);
    if (failed) {
        return serverError("merchant lookup");
    }
    if (!merchant) {
        return Reply::failure(apiError(ErrorCode::InvalidRequest,
                                       QStringLiteral("请用 merchantId 指明密钥所属的商家")));
    }
    return std::nullopt;
}

Reply Service::registerKey(const QByteArray& authorization, const QJsonObject& body)
{
    Session session;
    if (auto refused = authenticate(authorization, false, &session)) {
        return Reply::failure(*refused);
    }
    const User& user = session.user;
    const bool isAdmin = user.role == Role::Admin;
    if (!isAdmin && (user.role != Role::Merchant || user.merchantId.isEmpty())) {
        return Reply::failure(apiError(ErrorCode::PermissionDenied));
    }

    const QJsonValue keyIdValue = body.value(QStringLiteral("keyId"));
    const QString keyId =
        keyIdValue.isString() ? normalizeKeyId(keyIdValue.toString(), true) : QString();
    if (keyId.isEmpty()) {
        return Reply::failure(apiError(ErrorCode::InvalidKeyId));
    }
    const SecretBytes key(base64Field(body, QStringLiteral("key"), 32));
    if (key.isEmpty()) {
        return Reply::failure(apiError(ErrorCode::InvalidKey));
    }
    const QByteArray iv = base64Field(body, QStringLiteral("iv"), 16);
    if (iv.isEmpty()) {
        return Reply::failure(apiError(ErrorCode::InvalidIv));
    }
    const QJsonValue size = body.value(QStringLiteral("fileSize"));
    const double sizeValue = size.toDouble(-1);
    if (!size.isDouble() || sizeValue < 0 || sizeValue > double(kMaxSafeInteger) ||
        std::floor(sizeValue) != sizeValue) {
        return Reply::failure(apiError(ErrorCode::InvalidFileSize));
    }
    ContentKey record;
    if (auto problem = readKeyTexts(body, &record)) {
        return Reply::failure(*problem);
    }
    QString merchantId = user.merchantId;
    if (isAdmin) {
        if (auto refused = chooseKeyMerchant(body, &merchantId)) {
            return *refused;
        }
    }

    record.keyId = keyId;
    record.merchantId = merchantId;
    record.sealedKey = m_vault.seal(key.bytes(), keyId);
    record.iv = QString::fromLatin1(iv.toBase64());
    record.fileSize = qint64(sizeValue);
    record.createdBy = user.id;
    record.createdAt = m_clock.nowMs();
    if (record.sealedKey.isEmpty()) {
        return serverError("key seal");
    }
    switch (m_store.addKey(record)) {
        case Store::Insert::Done:
            return Reply::success({{QStringLiteral("keyId"), keyId}});
        case Store::Insert::Conflict:
            return Reply::failure(apiError(ErrorCode::KeyConflict));
        case Store::Insert::Failed:
            break;
    }
    return serverError("key insert");
}

void Service::housekeeping()
{
    const qint64 now = m_clock.nowMs();
    m_store.purgeTokens(now);
    m_store.purgeConsoleSessions(now);
    m_store.purgeLoginFailures(now - m_options.failureWindowMs);
    flushKeyLog();
    m_store.purgeKeyRequests(now - m_options.keyLogRetentionMs);
}
