// The merchant console's own calls: its login and session, and the few
// things it does that the shop API leaves to the operator (revoking a video,
// managing API keys, spotting shared accounts). Everything it shares with
// the shop API goes through the shop API's rules, with the session as caller.
#include <sodium.h>

#include <QHash>
#include <QJsonArray>
#include <QSet>
#include <QUuid>
#include <algorithm>

#include "Clock.h"
#include "Service.h"
#include "ServiceSupport.h"

using namespace support;

namespace {

constexpr int kMaxLabelLength = 200;
// The shared-account check looks at the last day, as its page says.
constexpr qint64 kSharedWindowMs = 24LL * 3600 * 1000;

QString randomHex(int bytes)
{
    QByteArray raw(bytes, '\0');
    randombytes_buf(raw.data(), raw.size());
    const QString text = QString::fromLatin1(raw.toHex());
    sodium_memzero(raw.data(), raw.size());
    return text;
}

bool sameSecret(const QString& a, const QString& b)
{
    const QByteArray x = a.toLatin1();
    const QByteArray y = b.toLatin1();
    return !x.isEmpty() && x.size() == y.size() &&
           sodium_memcmp(x.constData(), y.constData(), size_t(x.size())) == 0;
}

QJsonObject apiKeyJson(const ApiKey& k)
{
    return {{"id", k.id},
            {"label", k.label},
            {"createdAt", Service::isoTime(k.createdAt)},
            {"revokedAt", k.revokedAt ? QJsonValue(Service::isoTime(*k.revokedAt)) : QJsonValue()}};
}

}  // namespace

Reply Service::finishConsoleLogin(const LoginPlan& plan, bool passwordMatches,
                                  const QByteArray& newHash, QString* cookie)
{
    if (auto refused = settleLogin(plan, passwordMatches, newHash)) {
        return *refused;
    }
    const User& user = *plan.user;
    if (user.role != Role::Merchant && user.role != Role::Admin) {
        return Reply::failure(
            apiError(ErrorCode::PermissionDenied, QStringLiteral("控制台仅供商家和管理员使用")));
    }
    ConsoleSession session;
    const QString secret = randomHex(32);
    session.sessionHash = hashToken(secret);
    session.userId = user.id;
    session.csrfToken = randomHex(32);
    session.createdAt = m_clock.nowMs();
    session.expiresAt =
        session.createdAt + std::min(m_options.consoleIdleMs, m_options.consoleSessionMs);
    if (!m_store.addConsoleSession(session)) {
        return serverError("console session");
    }
    *cookie = secret;
    return consoleSession(secret);
}

namespace {
constexpr qint64 kConsoleTouchMs = 60 * 1000;
}  // namespace

std::optional<ApiError> Service::consoleUser(const QString& cookie, User* user,
                                             ConsoleSession* session)
{
    if (cookie.isEmpty()) {
        return apiError(ErrorCode::SessionInvalid);
    }
    bool failed = false;
    const auto found = m_store.consoleSessionByHash(hashToken(cookie), &failed);
    if (failed) {
        return apiError(ErrorCode::ServerError);
    }
    const qint64 now = m_clock.nowMs();
    if (!found || found->expiresAt <= now) {
        return apiError(ErrorCode::SessionInvalid);
    }
    const auto account = m_store.userById(found->userId, &failed);
    if (failed) {
        return apiError(ErrorCode::ServerError);
    }
    // A role taken away since the login ends the session's power at once.
    if (!account || (account->role != Role::Merchant && account->role != Role::Admin)) {
        return apiError(ErrorCode::SessionInvalid);
    }
    if (auto refused = accountState(*account)) {
        return refused;
    }
    *user = *account;
    *session = *found;
    // Used now: the idle end moves on. Written once a minute at most, not on
    // every call a page makes.
    const qint64 end =
        std::min(now + m_options.consoleIdleMs, found->createdAt + m_options.consoleSessionMs);
    if (end - found->expiresAt >= kConsoleTouchMs &&
        m_store.setConsoleSessionEnd(found->sessionHash, end)) {
        session->expiresAt = end;
    }
    return std::nullopt;
}

std::optional<ApiError> Service::consoleMerchant(const MerchantCaller& caller, QString* merchantId)
{
    User user;
    ConsoleSession session;
    if (auto refused = consoleUser(caller.cookie, &user, &session)) {
        return refused;
    }
    if (caller.changes && !sameSecret(caller.csrfToken, session.csrfToken)) {
        return apiError(ErrorCode::CsrfRejected);
    }
    // A merchant acts for their own shop whatever the page asks for.
    const QString wanted = user.role == Role::Admin ? caller.merchantId : user.merchantId;
    if (wanted.isEmpty()) {
        return user.role == Role::Admin
                   ? apiError(ErrorCode::InvalidRequest, QStringLiteral("请先选择商户"))
                   : apiError(ErrorCode::PermissionDenied, QStringLiteral("该账号未关联商户"));
    }
    bool failed = false;
    const auto merchant = m_store.merchantById(wanted, &failed);
    if (failed) {
        return apiError(ErrorCode::ServerError);
    }
    if (!merchant) {
        return apiError(ErrorCode::InvalidRequest, QStringLiteral("找不到该商户"));
    }
    // An admin may still look after a switched-off merchant; its own staff may not.
    if (merchant->disabled && user.role != Role::Admin) {
        return apiError(ErrorCode::MerchantDisabled);
    }
    *merchantId = merchant->id;
    return std::nullopt;
}

Reply Service::consoleSession(const QString& cookie)
{
    User user;
    ConsoleSession session;
    if (auto refused = consoleUser(cookie, &user, &session)) {
        return Reply::failure(*refused);
    }
    QJsonArray merchants;
    if (user.role == Role::Admin) {
        QList<Merchant> all;
        if (!m_store.listMerchants(&all)) {
            return serverError("console merchants");
        }
        for (const Merchant& m : std::as_const(all)) {
            merchants.append(QJsonObject{{"id", m.id}, {"name", m.name}, {"disabled", m.disabled}});
        }
    }
    return Reply::success({{"username", user.username},
                           {"displayName", user.displayName},
                           {"role", roleName(user.role)},
                           {"merchantId", user.merchantId},
                           {"merchantName", user.merchantName},
                           {"csrfToken", session.csrfToken},
                           {"expiresAt", isoTime(session.expiresAt)},
                           {"merchants", merchants}});
}

Reply Service::consoleLogout(const MerchantCaller& caller)
{
    User user;
    ConsoleSession session;
    if (auto refused = consoleUser(caller.cookie, &user, &session)) {
        return Reply::failure(*refused);
    }
    if (!sameSecret(caller.csrfToken, session.csrfToken)) {
        return Reply::failure(apiError(ErrorCode::CsrfRejected));
    }
    if (m_store.deleteConsoleSession(session.sessionHash) < 0) {
        return serverError("console logout");
    }
    return Reply::success({});
}

Reply Service::consoleRevokeKey(const MerchantCaller& caller, const QString& keyId)
{
    QString merchantId;
    if (auto refused = authenticateMerchant(caller, &merchantId)) {
        return Reply::failure(*refused);
    }
    const QString id = normalizeKeyId(keyId, false);
    bool failed = false;
    const auto key = id.isEmpty() ? std::nullopt : m_store.keyById(id, &failed);
    if (failed) {
        return serverError("console key lookup");
    }
    // Another merchant's key is as unknown here as one never registered.
    if (!key || key->merchantId != merchantId) {
        return Reply::failure(apiError(ErrorCode::KeyNotFound));
    }
    if (m_store.setKeyRevoked(key->keyId, true) < 0) {
        return serverError("console key revoke");
    }
    return Reply::success({{"keyId", key->keyId}, {"revoked", true}});
}

Reply Service::consoleApiKeys(const MerchantCaller& caller)
{
    QString merchantId;
    if (auto refused = authenticateMerchant(caller, &merchantId)) {
        return Reply::failure(*refused);
    }
    QList<ApiKey> keys;
    if (!m_store.listApiKeys(merchantId, &keys)) {
        return serverError("console api keys");
    }
    QJsonArray items;
    for (const ApiKey& k : std::as_const(keys)) {
        items.append(apiKeyJson(k));
    }
    return Reply::success({{"items", items}});
}

Reply Service::consoleAddApiKey(const MerchantCaller& caller, const QJsonObject& body)
{
    QString merchantId;
    if (auto refused = authenticateMerchant(caller, &merchantId)) {
        return Reply::failure(*refused);
    }
    QString label;
    if (!stringField(body, QStringLiteral("label"), &label)) {
        return Reply::failure(wrongType(QStringLiteral("label")));
    }
    if (label.size() > kMaxLabelLength) {
        return Reply::failure(tooLong(QStringLiteral("label")));
    }
    const QString secret = newApiKeySecret();
    ApiKey k;
    k.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    k.merchantId = merchantId;
    k.secretHash = hashToken(secret);
    k.label = label.trimmed();
    k.createdAt = m_clock.nowMs();
    if (m_store.addApiKey(k) != Store::Insert::Done) {
        return serverError("console api key");
    }
    // The only time the secret leaves the server.
    QJsonObject data = apiKeyJson(k);
    data.insert(QStringLiteral("secret"), secret);
    return Reply::success(data);
}

Reply Service::consoleRevokeApiKey(const MerchantCaller& caller, const QString& apiKeyId)
{
    QString merchantId;
    if (auto refused = authenticateMerchant(caller, &merchantId)) {
        return Reply::failure(*refused);
    }
    const int revoked = m_store.revokeApiKey(apiKeyId, m_clock.nowMs(), merchantId);
    if (revoked < 0) {
        return serverError("console api key revoke");
    }
    // Another merchant's key and one already revoked look the same: not found.
    if (revoked == 0) {
        return Reply::failure(apiError(ErrorCode::ApiKeyNotFound));
    }
    return Reply::success({{"id", apiKeyId}});
}

Reply Service::consoleSharedViewers(const MerchantCaller& caller)
{
    QString merchantId;
    if (auto refused = authenticateMerchant(caller, &merchantId)) {
        return Reply::failure(*refused);
    }
    flushKeyLog();
    QList<SharedViewer> shared;
    if (!m_store.listSharedViewers(merchantId, m_clock.nowMs() - kSharedWindowMs, &shared)) {
        return serverError("console shared viewers");
    }
    QJsonArray items;
    for (const SharedViewer& v : std::as_const(shared)) {
        items.append(QJsonObject{{"viewerId", v.userId},
                                 {"username", v.username},
                                 {"devices", v.devices},
                                 {"addresses", v.addresses},
                                 {"deviceLimit", v.deviceLimit}});
    }
    return Reply::success({{"items", items}});
}
