#include "Admin.h"

#include <sodium.h>
#include <termios.h>
#include <unistd.h>

#include <QDateTime>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>
#include <optional>

#include "Clock.h"
#include "PasswordHasher.h"
#include "Service.h"
#include "Store.h"

namespace {

constexpr int kMinPasswordLength = 8;

QString newId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QString timeText(std::optional<qint64> ms)
{
    return ms ? Service::isoTime(*ms) : QString();
}

QJsonValue timeJson(std::optional<qint64> ms)
{
    return ms ? QJsonValue(Service::isoTime(*ms)) : QJsonValue();
}

QJsonValue textOrNull(const QString& s)
{
    return s.isEmpty() ? QJsonValue() : QJsonValue(s);
}

QString databaseError()
{
    return QStringLiteral("database error");
}

// Pulls "--name value" out of the list; returns the value or empty.
QString takeOption(QStringList& a, const QString& name, bool* present = nullptr)
{
    const int i = a.indexOf(name);
    if (present) {
        *present = i >= 0;
    }
    if (i < 0 || i + 1 >= a.size()) {
        if (i >= 0) {
            a.removeAt(i);
        }
        return {};
    }
    const QString v = a.at(i + 1);
    a.remove(i, 2);
    return v;
}

// Names, titles and device names come from merchants and clients. On an
// operator's terminal a control character could move the cursor, rewrite a
// line or fake a second record, so every one is shown as an escape.
QString printable(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool control = u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029 ||
                             (u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069);
        if (control) {
            out += u < 0x100 ? QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'))
                             : QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out;
}

// Each listed record has a JSON form for scripts and a line form for people;
// both must carry the same facts, so they stand side by side.

QJsonObject merchantJson(const Merchant& m)
{
    return {{"id", m.id}, {"name", m.name}, {"disabled", m.disabled}};
}

QString merchantLine(const Merchant& m)
{
    return QStringLiteral("%1  %2%3")
        .arg(m.id, m.name, m.disabled ? QStringLiteral("  DISABLED") : QString());
}

QJsonObject apiKeyJson(const ApiKey& k)
{
    return {{"id", k.id},
            {"merchant", k.merchantName},
            {"label", k.label},
            {"createdAt", Service::isoTime(k.createdAt)},
            {"revokedAt", timeJson(k.revokedAt)}};
}

QString apiKeyLine(const ApiKey& k)
{
    return QStringLiteral("%1  %2  %3  created %4%5")
        .arg(k.id, k.merchantName, k.label.isEmpty() ? QStringLiteral("-") : k.label,
             Service::isoTime(k.createdAt),
             k.revokedAt ? QStringLiteral("  REVOKED ") + timeText(k.revokedAt) : QString());
}

QJsonObject userJson(const User& u)
{
    return {{"id", u.id},
            {"username", u.username},
            {"displayName", u.displayName},
            {"role", roleName(u.role)},
            {"merchant", u.merchantName},
            {"accountExpiry", timeJson(u.accountExpiresAt)},
            {"disabled", u.disabled},
            {"deviceLimit", u.deviceLimit}};
}

QString userLine(const User& u)
{
    return QStringLiteral("%1  %2  role=%3  merchant=%4  expires=%5  devices<=%6%7")
        .arg(u.username, u.displayName, roleName(u.role),
             u.merchantName.isEmpty() ? QStringLiteral("-") : u.merchantName,
             u.accountExpiresAt ? timeText(u.accountExpiresAt) : QStringLiteral("never"),
             u.deviceLimit > 0 ? QString::number(u.deviceLimit) : QStringLiteral("unlimited"),
             u.disabled ? QStringLiteral("  DISABLED") : QString());
}

QJsonObject grantJson(const Grant& g)
{
    return {{"id", g.id},
            {"username", g.username},
            {"merchant", g.merchantName},
            {"keyId", textOrNull(g.keyId)},
            {"until", timeJson(g.endsAt)}};
}

QString grantLine(const Grant& g)
{
    return QStringLiteral("%1  %2  %3  until %4")
        .arg(g.id, g.username,
             g.keyId.isEmpty() ? QStringLiteral("all of ") + g.merchantName
                               : QStringLiteral("key ") + g.keyId,
             g.endsAt ? timeText(g.endsAt) : QStringLiteral("-"));
}

QJsonObject keyJson(const ContentKey& k)
{
    return {{"keyId", k.keyId},
            {"merchant", k.merchantName},
            {"title", k.title},
            {"sourceFileName", k.sourceFileName},
            {"fileSize", double(k.fileSize)},
            {"revoked", k.revoked},
            {"createdAt", Service::isoTime(k.createdAt)}};
}

QString keyLine(const ContentKey& k)
{
    // One arg() call: a title holding "%5" must stay text.
    return QStringLiteral("%1  %2  %3  %4  %5 bytes%6")
        .arg(k.keyId, k.merchantName, k.title, k.sourceFileName, QString::number(k.fileSize),
             k.revoked ? QStringLiteral("  REVOKED") : QString());
}

QJsonObject deviceJson(const Device& d)
{
    return {{"deviceId", d.deviceId},
            {"name", d.name},
            {"firstSeen", Service::isoTime(d.firstSeen)},
            {"lastSeen", Service::isoTime(d.lastSeen)},
            {"status", d.rejected ? "rejected" : "active"}};
}

QString deviceLine(const Device& d)
{
    return QStringLiteral("%1  %2  first %3  last %4  %5")
        .arg(d.deviceId, d.name, Service::isoTime(d.firstSeen), Service::isoTime(d.lastSeen),
             d.rejected ? QStringLiteral("REJECTED") : QStringLiteral("active"));
}

}  // namespace

std::optional<qint64> parseAdminTime(const QString& text, bool* ok)
{
    *ok = true;
    if (text.isEmpty() || text == QStringLiteral("never")) {
        return std::nullopt;
    }
    const QDate date = QDate::fromString(text, Qt::ISODate);
    if (date.isValid() && text.size() == 10) {
        return QDateTime(date.addDays(1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    }
    QDateTime dt = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!dt.isValid()) {
        dt = QDateTime::fromString(text, Qt::ISODate);
    }
    if (!dt.isValid()) {
        *ok = false;
        return std::nullopt;
    }
    if (dt.timeSpec() == Qt::LocalTime && !text.endsWith(u'Z') && !text.contains(u'+')) {
        dt.setTimeSpec(Qt::UTC);  // a time without zone is read as UTC
    }
    return dt.toMSecsSinceEpoch();
}

Admin::Admin(Store& store, const PasswordHasher& hasher, const Clock& clock, QTextStream& out,
             QTextStream& err, QIODevice& input, bool json)
    : m_store(store),
      m_hasher(hasher),
      m_clock(clock),
      m_out(out),
      m_err(err),
      m_input(input),
      m_json(json)
{}

QString Admin::usage()
{
    return QStringLiteral(
        "admin commands:\n"
        "  merchant add NAME\n"
        "  merchant list\n"
        "  merchant disable NAME | merchant enable NAME   (its API keys stop working)\n"
        "  user add USERNAME --role viewer|merchant|admin [--merchant NAME]\n"
        "           [--display-name TEXT] [--expires DATE|never] [--device-limit N]\n"
        "           (password on standard input)\n"
        "  user list\n"
        "  user disable USERNAME | user enable USERNAME\n"
        "  user passwd USERNAME            (password on standard input; ends all sessions)\n"
        "  user device-limit USERNAME N    (0: no limit)\n"
        "  user expires USERNAME DATE|never\n"
        "  grant add USERNAME (--key KEYID | --merchant NAME) [--until DATE]\n"
        "  grant list [USERNAME]\n"
        "  grant revoke GRANTID\n"
        "  key list [--merchant NAME]\n"
        "  key revoke KEYID | key restore KEYID\n"
        "  device list USERNAME\n"
        "  device unbind USERNAME DEVICEID\n"
        "  device reject USERNAME DEVICEID | device allow USERNAME DEVICEID\n"
        "  apikey add MERCHANT [--label TEXT]   (prints the secret, once)\n"
        "  apikey list MERCHANT\n"
        "  apikey revoke ID\n"
        "DATE: 2025-12-31 (through the end of that day, UTC) or an ISO date-time.\n");
}

int Admin::showUsage()
{
    m_err << usage();
    return 2;
}

int Admin::fail(const QString& message)
{
    m_err << "error: " << printable(message) << Qt::endl;
    return 1;
}

int Admin::done(const QString& text, const QJsonObject& json)
{
    if (m_json) {
        m_out << QJsonDocument(json).toJson(QJsonDocument::Compact) << Qt::endl;
    } else {
        m_out << printable(text) << Qt::endl;
    }
    return 0;
}

// The store reports "no such row" and "the query broke" through the same empty
// optional; the operator must be told which.
int Admin::lookupFailed(bool failed, const QString& missing)
{
    return fail(failed ? databaseError() : missing);
}

std::optional<User> Admin::findUser(const QString& username)
{
    bool failed = false;
    auto u = m_store.userByName(username, &failed);
    if (!u) {
        lookupFailed(failed, QStringLiteral("no user named %1").arg(username));
    }
    return u;
}

std::optional<Merchant> Admin::findMerchant(const QString& name)
{
    bool failed = false;
    auto m = m_store.merchantByName(name, &failed);
    if (!m) {
        lookupFailed(failed, QStringLiteral("no merchant named %1").arg(name));
    }
    return m;
}

int Admin::stored(bool ok, const QString& text, const QJsonObject& json)
{
    return ok ? done(text, json) : fail(databaseError());
}

int Admin::inserted(Store::Insert result, const QString& conflict, const QString& text,
                    const QJsonObject& json)
{
    switch (result) {
        case Store::Insert::Done:
            return done(text, json);
        case Store::Insert::Conflict:
            return fail(conflict);
        case Store::Insert::Failed:
            break;
    }
    return fail(databaseError());
}

// For changes by id: a negative count is a broken query, zero an unknown id.
int Admin::changed(int rows, const QString& missing, const QString& text, const QJsonObject& json)
{
    if (rows < 0) {
        return fail(databaseError());
    }
    if (rows == 0) {
        return fail(missing);
    }
    return done(text, json);
}

template <typename T, typename ToJson, typename ToLine>
int Admin::printList(bool read, const QList<T>& items, ToJson toJson, ToLine toLine,
                     const QString& none)
{
    if (!read) {
        return fail(databaseError());
    }
    if (m_json) {
        QJsonArray json;
        for (const T& item : items) {
            json.append(toJson(item));
        }
        m_out << QJsonDocument(json).toJson(QJsonDocument::Compact) << Qt::endl;
    } else {
        QStringList lines;
        for (const T& item : items) {
            lines << printable(toLine(item));
        }
        m_out << (lines.isEmpty() ? none : lines.join(u'\n')) << Qt::endl;
    }
    return 0;
}

// Hashes at once so the plain password is wiped before anything else can fail.
bool Admin::readPasswordHash(QByteArray* hash)
{
    const bool tty = ::isatty(STDIN_FILENO);
    termios saved{};
    if (tty && tcgetattr(STDIN_FILENO, &saved) == 0) {
        m_err << "password: " << Qt::flush;
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    QByteArray line = m_input.readLine(4096);
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        m_err << Qt::endl;
    }
    while (line.endsWith('\n') || line.endsWith('\r')) {
        line.chop(1);
    }
    QByteArray password = line;
    sodium_memzero(line.data(), line.size());
    if (QString::fromUtf8(password).size() < kMinPasswordLength) {
        sodium_memzero(password.data(), password.size());
        fail(QStringLiteral("the password must have at least %1 characters")
                 .arg(kMinPasswordLength));
        return false;
    }
    *hash = m_hasher.hash(password);
    sodium_memzero(password.data(), password.size());
    return true;
}

int Admin::run(const QStringList& args)
{
    if (args.isEmpty()) {
        return showUsage();
    }
    const QString group = args.first();
    const QStringList rest = args.mid(1);
    if (group == QStringLiteral("merchant")) {
        return merchant(rest);
    }
    if (group == QStringLiteral("user")) {
        return user(rest);
    }
    if (group == QStringLiteral("grant")) {
        return grant(rest);
    }
    if (group == QStringLiteral("key")) {
        return key(rest);
    }
    if (group == QStringLiteral("device")) {
        return device(rest);
    }
    if (group == QStringLiteral("apikey")) {
        return apikey(rest);
    }
    return showUsage();
}

int Admin::merchant(const QStringList& a)
{
    const QString action = a.value(0);
    if (action == QStringLiteral("add") && a.size() == 2 && !a.at(1).trimmed().isEmpty()) {
        const Merchant m{newId(), a.at(1).trimmed(), m_clock.nowMs()};
        return inserted(m_store.addMerchant(m),
                        QStringLiteral("a merchant named %1 exists already").arg(m.name),
                        QStringLiteral("merchant %1 added (id %2)").arg(m.name, m.id),
                        {{"id", m.id}, {"name", m.name}});
    }
    if (action == QStringLiteral("list") && a.size() == 1) {
        QList<Merchant> list;
        const bool read = m_store.listMerchants(&list);
        return printList(read, list, merchantJson, merchantLine, QStringLiteral("(no merchants)"));
    }
    if ((action == QStringLiteral("disable") || action == QStringLiteral("enable")) &&
        a.size() == 2) {
        const auto m = findMerchant(a.at(1));
        if (!m) {
            return 1;
        }
        const bool disable = action == QStringLiteral("disable");
        return changed(
            m_store.setMerchantDisabled(m->id, disable),
            QStringLiteral("no merchant named %1").arg(m->name),
            QStringLiteral("merchant %1 %2").arg(m->name, disable ? "disabled" : "enabled"),
            {{"name", m->name}, {"disabled", disable}});
    }
    return showUsage();
}

int Admin::user(const QStringList& args)
{
    struct Command
    {
        const char* action;
        int words;       // after the action; -1: any, the command checks them
        bool onAccount;  // the first word names the account, which must exist
        int (Admin::*run)(const QStringList& words, const User* account);
    };
    static constexpr Command kCommands[] = {
        {"list", 0, false, &Admin::userList},
        {"add", -1, false, &Admin::userAdd},
        {"disable", 1, true, &Admin::userDisable},
        {"enable", 1, true, &Admin::userEnable},
        {"passwd", 1, true, &Admin::userPasswd},
        {"device-limit", 2, true, &Admin::userDeviceLimit},
        {"expires", 2, true, &Admin::userExpires},
    };
    const QString action = args.value(0);
    const QStringList words = args.mid(1);
    for (const Command& c : kCommands) {
        if (action != QLatin1String(c.action)) {
            continue;
        }
        if (c.words >= 0 && words.size() != c.words) {
            break;
        }
        if (!c.onAccount) {
            return (this->*c.run)(words, nullptr);
        }
        const auto account = findUser(words.at(0));
        return account ? (this->*c.run)(words, &*account) : 1;
    }
    return showUsage();
}

int Admin::userList(const QStringList&, const User*)
{
    QList<User> list;
    const bool read = m_store.listUsers(&list);
    return printList(read, list, userJson, userLine, QStringLiteral("(no users)"));
}

int Admin::userAdd(const QStringList& words, const User*)
{
    QStringList a = words;
    const QString roleText = takeOption(a, QStringLiteral("--role"));
    const QString merchantName = takeOption(a, QStringLiteral("--merchant"));
    bool hasDisplay = false;
    const QString display = takeOption(a, QStringLiteral("--display-name"), &hasDisplay);
    const QString expires = takeOption(a, QStringLiteral("--expires"));
    bool hasLimit = false;
    const QString limitText = takeOption(a, QStringLiteral("--device-limit"), &hasLimit);
    if (a.size() != 1 || a.at(0).trimmed().isEmpty()) {
        return showUsage();
    }
    const auto role = roleFromName(roleText);
    if (!role) {
        return fail(QStringLiteral("--role must be viewer, merchant or admin"));
    }
    User u;
    u.id = newId();
    u.username = a.at(0).trimmed();
    u.role = *role;
    u.displayName = hasDisplay ? display : u.username;
    u.createdAt = m_clock.nowMs();
    bool ok = true;
    u.accountExpiresAt = parseAdminTime(expires, &ok);
    if (!ok) {
        return fail(QStringLiteral("cannot read the date %1").arg(expires));
    }
    if (hasLimit) {
        u.deviceLimit = limitText.toInt(&ok);
        if (!ok || u.deviceLimit < 0) {
            return fail(QStringLiteral("--device-limit must be a number >= 0"));
        }
    }
    if (!merchantName.isEmpty()) {
        const auto m = findMerchant(merchantName);
        if (!m) {
            return 1;
        }
        u.merchantId = m->id;
        u.merchantName = m->name;
    } else if (*role == Role::Merchant) {
        return fail(QStringLiteral("a merchant account needs --merchant NAME"));
    }
    if (!readPasswordHash(&u.passwordHash)) {
        return 1;
    }
    if (u.passwordHash.isEmpty()) {
        return fail(QStringLiteral("password hashing failed (not enough memory?)"));
    }
    return inserted(
        m_store.addUser(u), QStringLiteral("the user name %1 is taken").arg(u.username),
        QStringLiteral("user %1 added (id %2, role %3)").arg(u.username, u.id, roleName(u.role)),
        {{"id", u.id}, {"username", u.username}, {"role", roleName(u.role)}});
}

int Admin::userDisable(const QStringList&, const User* u)
{
    return stored(m_store.setUserDisabled(u->id, true),
                  QStringLiteral("user %1 disabled").arg(u->username), {{"username", u->username}});
}

int Admin::userEnable(const QStringList&, const User* u)
{
    return stored(m_store.setUserDisabled(u->id, false),
                  QStringLiteral("user %1 enabled").arg(u->username), {{"username", u->username}});
}

int Admin::userPasswd(const QStringList&, const User* u)
{
    QByteArray hash;
    if (!readPasswordHash(&hash)) {
        return 1;
    }
    if (hash.isEmpty() || !m_store.setPasswordHash(u->id, hash) ||
        !m_store.deleteTokensOfUser(u->id)) {
        return fail(QStringLiteral("could not store the new password"));
    }
    return done(QStringLiteral("password of %1 reset; every session ended").arg(u->username),
                {{"username", u->username}});
}

int Admin::userDeviceLimit(const QStringList& words, const User* u)
{
    bool ok = false;
    const int limit = words.at(1).toInt(&ok);
    if (!ok || limit < 0) {
        return fail(QStringLiteral("the device limit must be a number >= 0"));
    }
    return stored(m_store.setDeviceLimit(u->id, limit),
                  QStringLiteral("device limit of %1 is now %2").arg(u->username).arg(limit),
                  {{"username", u->username}, {"deviceLimit", limit}});
}

int Admin::userExpires(const QStringList& words, const User* u)
{
    bool ok = true;
    const auto expiry = parseAdminTime(words.at(1), &ok);
    if (!ok) {
        return fail(QStringLiteral("cannot read the date %1").arg(words.at(1)));
    }
    return stored(m_store.setAccountExpiry(u->id, expiry),
                  QStringLiteral("account %1 expires %2")
                      .arg(u->username, expiry ? timeText(expiry) : QStringLiteral("never")),
                  {{"username", u->username}, {"accountExpiry", timeJson(expiry)}});
}

int Admin::grant(const QStringList& args)
{
    QStringList a = args;
    const QString action = a.value(0);
    if (action == QStringLiteral("add")) {
        const QString keyText = takeOption(a, QStringLiteral("--key"));
        const QString merchantName = takeOption(a, QStringLiteral("--merchant"));
        const QString until = takeOption(a, QStringLiteral("--until"));
        if (a.size() != 2 || keyText.isEmpty() == merchantName.isEmpty()) {
            return showUsage();
        }
        const auto u = findUser(a.at(1));
        if (!u) {
            return 1;
        }
        Grant g;
        g.id = newId();
        g.userId = u->id;
        g.createdAt = m_clock.nowMs();
        bool ok = true;
        g.endsAt = parseAdminTime(until, &ok);
        if (!ok) {
            return fail(QStringLiteral("cannot read the date %1").arg(until));
        }
        QString what;
        if (!keyText.isEmpty()) {
            bool failed = false;
            const QString keyId = Service::normalizeKeyId(keyText, false);
            const auto k = keyId.isEmpty() ? std::nullopt : m_store.keyById(keyId, &failed);
            if (!k) {
                return lookupFailed(failed, QStringLiteral("no key %1").arg(keyText));
            }
            g.keyId = k->keyId;
            g.merchantId = k->merchantId;
            what = QStringLiteral("key %1").arg(k->keyId);
        } else {
            const auto m = findMerchant(merchantName);
            if (!m) {
                return 1;
            }
            g.merchantId = m->id;
            what = QStringLiteral("every key of %1").arg(m->name);
        }
        // Granting again is not a second grant: the one there takes the new
        // end (or none), as when a shop grants twice.
        QList<Grant> now;
        const bool saved = m_store.setGrants({g}, &now) && !now.isEmpty();
        if (saved) {
            g = now.first();
        }
        return stored(saved,
                      QStringLiteral("grant %1: %2 may play %3 %4")
                          .arg(g.id, u->username, what,
                               g.endsAt ? QStringLiteral("until ") + timeText(g.endsAt)
                                        : QStringLiteral("without end")),
                      {{"id", g.id},
                       {"username", u->username},
                       {"keyId", textOrNull(g.keyId)},
                       {"merchantId", g.merchantId},
                       {"until", timeJson(g.endsAt)}});
    }
    if (action == QStringLiteral("list") && a.size() <= 2) {
        QString userId;
        if (a.size() == 2) {
            const auto u = findUser(a.at(1));
            if (!u) {
                return 1;
            }
            userId = u->id;
        }
        QList<Grant> list;
        const bool read = m_store.listGrants(userId, &list);
        return printList(read, list, grantJson, grantLine, QStringLiteral("(no grants)"));
    }
    if (action == QStringLiteral("revoke") && a.size() == 2) {
        return changed(m_store.deleteGrant(a.at(1)), QStringLiteral("no grant %1").arg(a.at(1)),
                       QStringLiteral("grant %1 revoked").arg(a.at(1)), {{"id", a.at(1)}});
    }
    return showUsage();
}

int Admin::key(const QStringList& args)
{
    QStringList a = args;
    const QString action = a.value(0);
    if (action == QStringLiteral("list")) {
        bool hasMerchant = false;
        const QString merchantName = takeOption(a, QStringLiteral("--merchant"), &hasMerchant);
        if (a.size() != 1) {
            return showUsage();
        }
        QString merchantId;
        if (hasMerchant) {
            const auto m = findMerchant(merchantName);
            if (!m) {
                return 1;
            }
            merchantId = m->id;
        }
        QList<ContentKey> list;
        const bool read = m_store.listKeys(merchantId, &list);
        return printList(read, list, keyJson, keyLine, QStringLiteral("(no keys)"));
    }
    if ((action == QStringLiteral("revoke") || action == QStringLiteral("restore")) &&
        a.size() == 2) {
        const QString keyId = Service::normalizeKeyId(a.at(1), false);
        const bool revoke = action == QStringLiteral("revoke");
        return changed(keyId.isEmpty() ? 0 : m_store.setKeyRevoked(keyId, revoke),
                       QStringLiteral("no key %1").arg(a.at(1)),
                       QStringLiteral("key %1 %2").arg(keyId, revoke ? "revoked" : "restored"),
                       {{"keyId", keyId}, {"revoked", revoke}});
    }
    return showUsage();
}

int Admin::device(const QStringList& a)
{
    const QString action = a.value(0);
    const bool listing = action == QStringLiteral("list") && a.size() == 2;
    const bool changing =
        (action == QStringLiteral("unbind") || action == QStringLiteral("reject") ||
         action == QStringLiteral("allow")) &&
        a.size() == 3;
    if (!listing && !changing) {
        return showUsage();
    }
    const auto u = findUser(a.at(1));
    if (!u) {
        return 1;
    }
    if (listing) {
        QList<Device> list;
        const bool read = m_store.listDevices(u->id, &list);
        return printList(read, list, deviceJson, deviceLine, QStringLiteral("(no devices)"));
    }
    const QString deviceId = Service::normalizeDeviceId(a.at(2));
    int n = 0;
    if (!deviceId.isEmpty()) {
        n = action == QStringLiteral("unbind")
                ? m_store.deleteDevice(u->id, deviceId)
                : m_store.setDeviceRejected(u->id, deviceId, action == QStringLiteral("reject"));
    }
    const QString verb = action == QStringLiteral("unbind")   ? QStringLiteral("unbound")
                         : action == QStringLiteral("reject") ? QStringLiteral("rejected")
                                                              : QStringLiteral("allowed");
    return changed(n, QStringLiteral("%1 has no device %2").arg(u->username, a.at(2)),
                   QStringLiteral("device %1 of %2 %3").arg(deviceId, u->username, verb),
                   {{"username", u->username}, {"deviceId", deviceId}, {"status", verb}});
}

int Admin::apikey(const QStringList& args)
{
    QStringList a = args;
    const QString action = a.value(0);
    bool hasLabel = false;
    const QString label = takeOption(a, QStringLiteral("--label"), &hasLabel);
    if (hasLabel && action != QStringLiteral("add")) {
        return showUsage();
    }
    if ((action == QStringLiteral("add") || action == QStringLiteral("list")) && a.size() == 2) {
        const auto m = findMerchant(a.at(1));
        if (!m) {
            return 1;
        }
        if (action == QStringLiteral("list")) {
            QList<ApiKey> list;
            const bool read = m_store.listApiKeys(m->id, &list);
            return printList(read, list, apiKeyJson, apiKeyLine, QStringLiteral("(no API keys)"));
        }
        const QString secret = Service::newApiKeySecret();
        ApiKey k;
        k.id = newId();
        k.merchantId = m->id;
        k.secretHash = Service::hashToken(secret);
        k.label = label;
        k.createdAt = m_clock.nowMs();
        // The secret is shown here and never again: only its hash is kept.
        // It goes on a line of its own, to be copied whole.
        const int code = inserted(
            m_store.addApiKey(k), QStringLiteral("API key id clash, try again"),
            QStringLiteral("API key %1 for %2 (shown once, keep it safe):").arg(k.id, m->name),
            {{"id", k.id}, {"merchant", m->name}, {"label", label}, {"secret", secret}});
        if (code == 0 && !m_json) {
            m_out << secret << Qt::endl;
        }
        return code;
    }
    if (action == QStringLiteral("revoke") && a.size() == 2) {
        return changed(m_store.revokeApiKey(a.at(1), m_clock.nowMs()),
                       QStringLiteral("no API key %1 in force").arg(a.at(1)),
                       QStringLiteral("API key %1 revoked").arg(a.at(1)), {{"id", a.at(1)}});
    }
    return showUsage();
}
