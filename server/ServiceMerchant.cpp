// The shop API's rules: what a merchant's own server may do with its viewers,
// grants, keys and key-request log. Each call carries one of the merchant's
// API keys and reaches only that merchant's rows.
#include <sodium.h>

#include <QJsonArray>
#include <QJsonValue>
#include <QSet>
#include <QUuid>
#include <cmath>

#include "Admin.h"
#include "Clock.h"
#include "PasswordHasher.h"
#include "Service.h"
#include "ServiceSupport.h"

using namespace support;

namespace {

constexpr int kMaxUsernameLength = 128;
constexpr int kMaxDisplayNameLength = 200;
constexpr int kMinPasswordLength = 8;
constexpr int kMaxPasswordBytes = 1024;
constexpr int kMaxDeviceLimit = 1000;
constexpr int kDefaultPageSize = 100;
constexpr int kMaxPageSize = 1000;
constexpr int kMaxKeysPerGrant = 1000;

QString newId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QJsonValue timeOrNull(const std::optional<qint64>& ms)
{
    return ms ? QJsonValue(Service::isoTime(*ms)) : QJsonValue();
}

QJsonValue textOrNull(const QString& s)
{
    return s.isEmpty() ? QJsonValue() : QJsonValue(s);
}

QJsonObject viewerJson(const User& u)
{
    return {{"id", u.id},
            {"username", u.username},
            {"displayName", u.displayName},
            {"accountExpiry", timeOrNull(u.accountExpiresAt)},
            {"deviceLimit", u.deviceLimit},
            {"disabled", u.disabled},
            {"createdAt", Service::isoTime(u.createdAt)}};
}

QJsonObject grantJson(const Grant& g)
{
    return {{"id", g.id},
            {"viewerId", g.userId},
            {"username", g.username},
            {"keyId", textOrNull(g.keyId)},  // null: every key of the merchant
            {"endsAt", timeOrNull(g.endsAt)},
            {"createdAt", Service::isoTime(g.createdAt)}};
}

QJsonObject keyJson(const ContentKey& k)
{
    return {{"keyId", k.keyId},
            {"title", k.title},
            {"sourceFileName", k.sourceFileName},
            {"fileSize", double(k.fileSize)},
            {"createdAt", Service::isoTime(k.createdAt)},
            {"revoked", k.revoked}};
}

QJsonObject keyRequestJson(const KeyRequestEntry& e)
{
    return {{"at", Service::isoTime(e.at)},
            {"viewerId", textOrNull(e.userId)},
            {"username", textOrNull(e.username)},
            {"deviceId", e.deviceId},
            {"deviceName", e.deviceName},
            {"clientAddress", e.clientAddress},
            {"keyId", e.keyId},
            {"result", e.result}};
}

ApiError badParameter(const QString& name)
{
    return apiError(ErrorCode::InvalidRequest, QStringLiteral("参数 %1 无效").arg(name));
}

// A time from a request: an ISO 8601 date (through the end of that day, UTC)
// or date-time. *ok false when unreadable.
std::optional<qint64> readTime(const QString& text, bool* ok)
{
    const auto at = parseAdminTime(text, ok);
    *ok = *ok && at.has_value();
    return at;
}

// A listing's query: a page and the filters `allowed` names. A parameter the
// endpoint does not know is refused: a misspelt filter would otherwise widen
// the answer without a word.
std::optional<ApiError> readListQuery(const QJsonObject& query, const QStringList& allowed,
                                      ListFilter* out)
{
    for (auto it = query.begin(); it != query.end(); ++it) {
        if (!allowed.contains(it.key()) && it.key() != QStringLiteral("limit") &&
            it.key() != QStringLiteral("offset")) {
            return badParameter(it.key());
        }
    }
    bool ok = true;
    const QString limit = query.value(QStringLiteral("limit")).toString();
    out->limit = limit.isEmpty() ? kDefaultPageSize : limit.toInt(&ok);
    if (!ok || out->limit < 1 || out->limit > kMaxPageSize) {
        return badParameter(QStringLiteral("limit"));
    }
    const QString offset = query.value(QStringLiteral("offset")).toString();
    out->offset = offset.isEmpty() ? 0 : offset.toInt(&ok);
    if (!ok || out->offset < 0) {
        return badParameter(QStringLiteral("offset"));
    }
    out->userId = query.value(QStringLiteral("viewerId")).toString();
    const QString keyText = query.value(QStringLiteral("keyId")).toString();
    out->keyId = keyText.isEmpty() ? QString() : Service::normalizeKeyId(keyText, false);
    if (!keyText.isEmpty() && out->keyId.isEmpty()) {
        return badParameter(QStringLiteral("keyId"));
    }
    for (const auto& [name, target] : {std::pair{QStringLiteral("from"), &out->from},
                                       std::pair{QStringLiteral("to"), &out->to}}) {
        const QString text = query.value(name).toString();
        if (!text.isEmpty()) {
            *target = readTime(text, &ok);
            if (!ok) {
                return badParameter(name);
            }
        }
    }
    return std::nullopt;
}

// One page of a listing. The store was asked for one row more than the page
// holds, which tells whether another page follows without counting them all.
template <typename T, typename ToJson>
Reply page(bool fetched, const QList<T>& rows, const ListFilter& filter, ToJson toJson,
           const char* what)
{
    if (!fetched) {
        return serverError(what);
    }
    QJsonArray items;
    for (int i = 0; i < rows.size() && i < filter.limit; ++i) {
        items.append(toJson(rows.at(i)));
    }
    return Reply::success({{"items", items},
                           {"limit", filter.limit},
                           {"offset", filter.offset},
                           {"hasMore", rows.size() > filter.limit}});
}

ListFilter oneMore(ListFilter filter)
{
    ++filter.limit;
    return filter;
}

// The optional settings of a viewer: an expiry (null: never) and a device
// limit. Absent ones stay as they are.
struct ViewerSettings
{
    bool setExpiry = false;
    std::optional<qint64> expiry;
    bool setLimit = false;
    int deviceLimit = 2;
};

std::optional<ApiError> readViewerSettings(const QJsonObject& body, ViewerSettings* out)
{
    const QJsonValue expiry = body.value(QStringLiteral("accountExpiry"));
    if (!expiry.isUndefined()) {
        out->setExpiry = true;
        bool ok = expiry.isNull();
        if (expiry.isString()) {
            out->expiry = readTime(expiry.toString(), &ok);
        }
        if (!ok) {
            return badParameter(QStringLiteral("accountExpiry"));
        }
    }
    const QJsonValue limit = body.value(QStringLiteral("deviceLimit"));
    if (!limit.isUndefined()) {
        const double v = limit.toDouble(-1);
        if (!limit.isDouble() || v < 0 || v > kMaxDeviceLimit || std::floor(v) != v) {
            return badParameter(QStringLiteral("deviceLimit"));
        }
        out->setLimit = true;
        out->deviceLimit = int(v);
    }
    return std::nullopt;
}

// The key ids a grant names: "keyIds", a list of this merchant's keys, or
// "allKeys": true for every key, present and future (an empty id).
std::optional<ApiError> readGrantKeys(const QJsonObject& body, QStringList* out)
{
    const QJsonValue all = body.value(QStringLiteral("allKeys"));
    const QJsonValue list = body.value(QStringLiteral("keyIds"));
    if (!all.isUndefined() && !all.isBool()) {
        return wrongType(QStringLiteral("allKeys"));
    }
    if (all.toBool() == !list.isUndefined()) {
        return apiError(ErrorCode::InvalidRequest,
                        QStringLiteral("请用 keyIds 或 allKeys 二者之一指明授权的视频"));
    }
    if (all.toBool()) {
        *out = QStringList{QString()};
        return std::nullopt;
    }
    if (!list.isArray() || list.toArray().isEmpty() || list.toArray().size() > kMaxKeysPerGrant) {
        return wrongType(QStringLiteral("keyIds"));
    }
    QSet<QString> seen;
    for (const QJsonValue& v : list.toArray()) {
        const QString keyId = Service::normalizeKeyId(v.toString(), false);
        if (keyId.isEmpty()) {
            return apiError(ErrorCode::InvalidKeyId);
        }
        if (!seen.contains(keyId)) {
            seen.insert(keyId);
            out->append(keyId);
        }
    }
    return std::nullopt;
}

ApiError viewerNotFound()
{
    return apiError(ErrorCode::ViewerNotFound);
}

}  // namespace

std::optional<ApiError> Service::authenticateMerchant(const MerchantCaller& caller,
                                                      QString* merchantId)
{
    if (caller.viaConsole) {
        return consoleMerchant(caller, merchantId);
    }
    const QString secret = bearerToken(caller.authorization);
    if (secret.isEmpty()) {
        return apiError(ErrorCode::ApiKeyInvalid);
    }
    bool failed = false;
    const auto key = m_store.apiKeyByHash(hashToken(secret), &failed);
    if (failed) {
        return apiError(ErrorCode::ServerError);
    }
    if (!key || key->revokedAt) {
        return apiError(ErrorCode::ApiKeyInvalid);
    }
    // Told only to a caller holding a real key, like an account's state.
    if (key->merchantDisabled) {
        return apiError(ErrorCode::MerchantDisabled);
    }
    *merchantId = key->merchantId;
    return std::nullopt;
}

Service::ViewerPlan Service::beginViewerUpsert(const MerchantCaller& caller,
                                               const QJsonObject& body)
{
    ViewerPlan plan;
    plan.body = body;
    QString merchantId;
    if (auto refused = authenticateMerchant(caller, &merchantId)) {
        plan.immediate = Reply::failure(*refused);
        return plan;
    }
    QString username;
    QString password;
    QString displayName;
    for (const auto& [name, target] : {std::pair{QStringLiteral("username"), &username},
                                       std::pair{QStringLiteral("password"), &password},
                                       std::pair{QStringLiteral("displayName"), &displayName}}) {
        if (!stringField(body, name, target)) {
            plan.immediate = Reply::failure(wrongType(name));
            return plan;
        }
    }
    username = username.trimmed();
    if (username.isEmpty()) {
        plan.immediate = Reply::failure(missing(QStringLiteral("username")));
        return plan;
    }
    if (username.size() > kMaxUsernameLength || displayName.size() > kMaxDisplayNameLength) {
        plan.immediate = Reply::failure(tooLong(username.size() > kMaxUsernameLength
                                                    ? QStringLiteral("username")
                                                    : QStringLiteral("displayName")));
        return plan;
    }
    ViewerSettings settings;
    if (auto problem = readViewerSettings(body, &settings)) {
        plan.immediate = Reply::failure(*problem);
        return plan;
    }
    bool failed = false;
    const auto existing = m_store.userByName(username, &failed);
    if (failed) {
        plan.immediate = serverError("viewer lookup");
        return plan;
    }
    if (existing) {
        // A retry of a creation lands here too; the password it carries is
        // not applied: an existing account keeps its own.
        plan.immediate = updateViewer(merchantId, *existing, body);
        return plan;
    }
    plan.password = password.toUtf8();
    if (password.size() < kMinPasswordLength || plan.password.size() > kMaxPasswordBytes) {
        sodium_memzero(plan.password.data(), plan.password.size());
        plan.immediate = Reply::failure(
            apiError(ErrorCode::InvalidRequest,
                     QStringLiteral("新账号需要至少 %1 个字符的密码").arg(kMinPasswordLength)));
    }
    return plan;
}

Reply Service::finishViewerUpsert(const MerchantCaller& caller, const ViewerPlan& plan,
                                  const QByteArray& passwordHash)
{
    // Checked again: the key may have been revoked while the password was hashed.
    QString merchantId;
    if (auto refused = authenticateMerchant(caller, &merchantId)) {
        return Reply::failure(*refused);
    }
    if (passwordHash.isEmpty()) {
        return serverError("viewer password hash");
    }
    ViewerSettings settings;
    readViewerSettings(plan.body, &settings);
    User u;
    u.id = newId();
    u.username = plan.body.value(QStringLiteral("username")).toString().trimmed();
    u.passwordHash = passwordHash;
    u.role = Role::Viewer;
    u.displayName = plan.body.value(QStringLiteral("displayName")).toString(u.username);
    u.merchantId = merchantId;
    u.accountExpiresAt = settings.expiry;
    u.deviceLimit = settings.setLimit ? settings.deviceLimit : u.deviceLimit;
    u.createdAt = m_clock.nowMs();
    switch (m_store.addUser(u)) {
        case Store::Insert::Done: {
            QJsonObject data = viewerJson(u);
            data.insert(QStringLiteral("created"), true);
            return Reply::success(data);
        }
        case Store::Insert::Conflict: {
            // Made meanwhile, maybe by this very request sent twice.
            bool failed = false;
            const auto existing = m_store.userByName(u.username, &failed);
            return existing ? updateViewer(merchantId, *existing, plan.body)
                            : serverError("viewer insert");
        }
        case Store::Insert::Failed:
            break;
    }
    return serverError("viewer insert");
}

Reply Service::upsertViewer(const MerchantCaller& caller, const QJsonObject& body)
{
    ViewerPlan plan = beginViewerUpsert(caller, body);
    if (plan.immediate) {
        return *plan.immediate;
    }
    const QByteArray hash = m_hasher.hash(plan.password);
    sodium_memzero(plan.password.data(), plan.password.size());
    return finishViewerUpsert(caller, plan, hash);
}

Reply Service::updateViewer(const QString& merchantId, const User& user, const QJsonObject& body)
{
    bool failed = false;
    const auto own = m_store.merchantViewer(merchantId, user.id, &failed);
    if (failed) {
        return serverError("viewer ownership");
    }
    if (!own) {
        // Another merchant's viewer, or not a viewer at all: the name is
        // taken, and nothing more is told about the account.
        return Reply::failure(apiError(ErrorCode::UsernameTaken));
    }
    ViewerSettings settings;
    if (auto problem = readViewerSettings(body, &settings)) {
        return Reply::failure(*problem);
    }
    User updated = *own;
    if (settings.setExpiry) {
        updated.accountExpiresAt = settings.expiry;
        if (!m_store.setAccountExpiry(user.id, settings.expiry)) {
            return serverError("viewer expiry");
        }
    }
    if (settings.setLimit) {
        updated.deviceLimit = settings.deviceLimit;
        if (!m_store.setDeviceLimit(user.id, settings.deviceLimit)) {
            return serverError("viewer device limit");
        }
    }
    QJsonObject data = viewerJson(updated);
    data.insert(QStringLiteral("created"), false);
    return Reply::success(data);
}

std::optional<Reply> Service::openListing(const MerchantCaller& caller, const QJsonObject& query,
                                          const QStringList& filters, QString* merchantId,
                                          ListFilter* filter)
{
    if (auto refused = authenticateMerchant(caller, merchantId)) {
        return Reply::failure(*refused);
    }
    if (auto problem = readListQuery(query, filters, filter)) {
        return Reply::failure(*problem);
    }
    return std::nullopt;
}

Reply Service::listViewers(const MerchantCaller& caller, const QJsonObject& query)
{
    QString merchantId;
    ListFilter filter;
    if (auto refused = openListing(caller, query, {}, &merchantId, &filter)) {
        return *refused;
    }
    QList<User> rows;
    const bool fetched = m_store.listMerchantViewers(merchantId, oneMore(filter), &rows);
    return page(fetched, rows, filter, viewerJson, "viewer list");
}

Reply Service::setViewerDisabled(const MerchantCaller& caller, const QString& viewerId,
                                 bool disabled)
{
    QString merchantId;
    if (auto refused = authenticateMerchant(caller, &merchantId)) {
        return Reply::failure(*refused);
    }
    bool failed = false;
    auto viewer = m_store.merchantViewer(merchantId, viewerId, &failed);
    if (failed) {
        return serverError("viewer ownership");
    }
    if (!viewer) {
        return Reply::failure(viewerNotFound());
    }
    // Disabling also ends the viewer's sessions (the store sees to that).
    if (!m_store.setUserDisabled(viewer->id, disabled)) {
        return serverError("viewer state");
    }
    viewer->disabled = disabled;
    return Reply::success(viewerJson(*viewer));
}

Reply Service::resetViewerDevices(const MerchantCaller& caller, const QString& viewerId)
{
    QString merchantId;
    if (auto refused = authenticateMerchant(caller, &merchantId)) {
        return Reply::failure(*refused);
    }
    bool failed = false;
    const auto viewer = m_store.merchantViewer(merchantId, viewerId, &failed);
    if (failed) {
        return serverError("viewer ownership");
    }
    if (!viewer) {
        return Reply::failure(viewerNotFound());
    }
    const int removed = m_store.resetDevices(viewer->id);
    if (removed < 0) {
        return serverError("device reset");
    }
    return Reply::success({{"viewerId", viewer->id}, {"devicesRemoved", removed}});
}

Reply Service::grantKeys(const MerchantCaller& caller, const QJsonObject& body)
{
    QString merchantId;
    if (auto refused = authenticateMerchant(caller, &merchantId)) {
        return Reply::failure(*refused);
    }
    QString viewerId;
    if (!stringField(body, QStringLiteral("viewerId"), &viewerId)) {
        return Reply::failure(wrongType(QStringLiteral("viewerId")));
    }
    QStringList keyIds;
    if (auto problem = readGrantKeys(body, &keyIds)) {
        return Reply::failure(*problem);
    }
    std::optional<qint64> endsAt;  // none: without end
    const QJsonValue ends = body.value(QStringLiteral("endsAt"));
    bool ok = ends.isUndefined() || ends.isNull();
    if (ends.isString()) {
        endsAt = readTime(ends.toString(), &ok);
    }
    if (!ok) {
        return Reply::failure(badParameter(QStringLiteral("endsAt")));
    }
    bool failed = false;
    const auto viewer = m_store.merchantViewer(merchantId, viewerId, &failed);
    if (failed) {
        return serverError("viewer ownership");
    }
    if (!viewer) {
        return Reply::failure(viewerNotFound());
    }
    QList<Grant> wanted;
    for (const QString& keyId : std::as_const(keyIds)) {
        if (!keyId.isEmpty()) {
            // Another merchant's key is as unknown here as one never registered.
            const auto key = m_store.keyById(keyId, &failed);
            if (failed) {
                return serverError("grant key lookup");
            }
            if (!key || key->merchantId != merchantId) {
                return Reply::failure(apiError(ErrorCode::KeyNotFound,
                                               QStringLiteral("找不到视频密钥 %1").arg(keyId)));
            }
        }
        wanted.append({newId(), viewer->id, {}, merchantId, {}, keyId, endsAt, m_clock.nowMs()});
    }
    QList<Grant> grants;
    if (!m_store.setGrants(wanted, &grants)) {
        return serverError("grant");
    }
    QJsonArray items;
    for (const Grant& g : std::as_const(grants)) {
        items.append(grantJson(g));
    }
    return Reply::success({{"grants", items}});
}

Reply Service::revokeGrant(const MerchantCaller& caller, const QString& grantId)
{
    QString merchantId;
    if (auto refused = authenticateMerchant(caller, &merchantId)) {
        return Reply::failure(*refused);
    }
    const int removed = m_store.deleteMerchantGrant(merchantId, grantId);
    if (removed < 0) {
        return serverError("grant revoke");
    }
    if (removed == 0) {
        return Reply::failure(apiError(ErrorCode::GrantNotFound));
    }
    return Reply::success({{"id", grantId}});
}

Reply Service::listGrants(const MerchantCaller& caller, const QJsonObject& query)
{
    QString merchantId;
    ListFilter filter;
    if (auto refused =
            openListing(caller, query, {QStringLiteral("viewerId"), QStringLiteral("keyId")},
                        &merchantId, &filter)) {
        return *refused;
    }
    QList<Grant> rows;
    const bool fetched = m_store.listMerchantGrants(merchantId, oneMore(filter), &rows);
    return page(fetched, rows, filter, grantJson, "grant list");
}

Reply Service::listKeys(const MerchantCaller& caller, const QJsonObject& query)
{
    QString merchantId;
    ListFilter filter;
    if (auto refused = openListing(caller, query, {}, &merchantId, &filter)) {
        return *refused;
    }
    QList<ContentKey> rows;
    const bool fetched = m_store.listKeysPage(merchantId, oneMore(filter), &rows);
    return page(fetched, rows, filter, keyJson, "key list");
}

Reply Service::listKeyRequests(const MerchantCaller& caller, const QJsonObject& query)
{
    QString merchantId;
    ListFilter filter;
    if (auto refused = openListing(caller, query,
                                   {QStringLiteral("viewerId"), QStringLiteral("keyId"),
                                    QStringLiteral("from"), QStringLiteral("to")},
                                   &merchantId, &filter)) {
        return *refused;
    }
    // What this thread still holds is written first; other threads and
    // instances write theirs within a second.
    flushKeyLog();
    QList<KeyRequestEntry> rows;
    const bool fetched = m_store.listKeyRequests(merchantId, oneMore(filter), &rows);
    return page(fetched, rows, filter, keyRequestJson, "key request list");
}
