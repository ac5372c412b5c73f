// The reference server's five endpoints behind the HTTP front: an arbitrary
// body read as the front reads it, an arbitrary Authorization header, handed
// to the rules over a real SQLite store. Input layout: the first byte picks
// the endpoint, the bytes up to the first line feed are the Authorization
// header, the rest is the body. The store is put back to the same accounts,
// keys and tokens after every input (the rules run transactions of their
// own, so one around them cannot be rolled back).
#include <QByteArray>
#include <QCoreApplication>
#include <QJsonObject>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "Clock.h"
#include "Database.h"
#include "JsonBody.h"
#include "KeyVault.h"
#include "PasswordHasher.h"
#include "Service.h"
#include "Store.h"

namespace {

// Fixed moments, so an input means the same on every run.
constexpr qint64 kNow = 1'800'000'000'000;
constexpr qint64 kDayMs = 24LL * 3600 * 1000;

class FixedClock final : public Clock
{
public:
    qint64 nowMs() const override { return kNow; }
};

struct World
{
    QTemporaryDir dir;
    FixedClock clock;
    Database db;
    std::unique_ptr<Store> store;
    std::unique_ptr<PasswordHasher> hasher;
    std::unique_ptr<KeyVault> vault;
    std::unique_ptr<Service> service;
    QByteArray passwordHash;  // hashed once: the hash is not what is fuzzed
    bool trace = qEnvironmentVariableIsSet("VEILCAST_FUZZ_TRACE");
};

World* world = nullptr;

// The seeds name these; a token's text is what a client holds.
const QString kViewerToken = QStringLiteral("viewer-token-0123456789");
const QString kMerchantToken = QStringLiteral("merchant-token-0123456789");
const QString kDevice = QStringLiteral("00112233445566778899aabbccddeeff");
const QString kKeyId = QStringLiteral("11111111-2222-3333-4444-555555555555");

void seed(World& w)
{
    Store& s = *w.store;
    const Merchant merchant{QStringLiteral("m-1"), QStringLiteral("Shop"), kNow - kDayMs};
    User viewer;
    viewer.id = QStringLiteral("u-viewer");
    viewer.username = QStringLiteral("viewer");
    viewer.passwordHash = w.passwordHash;
    viewer.role = Role::Viewer;
    viewer.createdAt = kNow - kDayMs;
    User seller = viewer;
    seller.id = QStringLiteral("u-merchant");
    seller.username = QStringLiteral("merchant");
    seller.role = Role::Merchant;
    seller.merchantId = merchant.id;
    ContentKey key;
    key.keyId = kKeyId;
    key.merchantId = merchant.id;
    key.sealedKey = w.vault->seal(QByteArray(32, '\x11'), kKeyId);
    key.iv = QString::fromLatin1(QByteArray(16, '\x22').toBase64());
    key.title = QStringLiteral("Clip");
    key.createdAt = kNow - kDayMs;
    Grant grant;
    grant.id = QStringLiteral("g-1");
    grant.userId = viewer.id;
    grant.merchantId = merchant.id;
    grant.createdAt = kNow - kDayMs;
    bool ok = s.addMerchant(merchant) == Store::Insert::Done &&
              s.addUser(viewer) == Store::Insert::Done &&
              s.addUser(seller) == Store::Insert::Done && s.addKey(key) == Store::Insert::Done &&
              s.addGrant(grant);
    for (const User* u : {&viewer, &seller}) {
        const Device device{u->id,         kDevice,       QStringLiteral("PC"),
                            kNow - kDayMs, kNow - kDayMs, false};
        TokenRecord token;
        token.tokenHash = Service::hashToken(u == &viewer ? kViewerToken : kMerchantToken);
        token.userId = u->id;
        token.deviceId = kDevice;
        token.issuedAt = kNow - 3600 * 1000;
        token.accessExpiresAt = kNow + kDayMs;
        token.renewUntil = kNow + 30 * kDayMs;
        token.sessionStartedAt = token.issuedAt;
        ok = ok && s.addDevice(device) == Store::Insert::Done && s.addToken(token);
    }
    if (!ok) {
        std::abort();
    }
}

// Children first, so no foreign key is left dangling on the way.
const char* const kTables[] = {"login_failures", "tokens", "grants",   "devices",
                               "content_keys",   "users",  "merchants"};

void reset(World& w)
{
    if (!w.db.begin()) {
        std::abort();
    }
    QSqlQuery q(w.db.handle());
    for (const char* table : kTables) {
        if (!q.exec(QStringLiteral("DELETE FROM ") + QLatin1String(table))) {
            std::abort();
        }
    }
    seed(w);
    if (!w.db.commit()) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    new QCoreApplication(*argc, *argv);
    if (!PasswordHasher::initLibrary()) {
        std::abort();
    }
    world = new World;
    QString error;
    const auto config = parseDatabaseUrl(
        QStringLiteral("sqlite:") + world->dir.filePath(QStringLiteral("fuzz.db")), &error);
    if (!world->dir.isValid() || !config || !world->db.open(*config, &error) ||
        !world->db.migrate(&error)) {
        qFatal("fuzz_server_request: no database: %s", qPrintable(error));
    }
    world->store = std::make_unique<Store>(world->db);
    // The cheapest hash libsodium allows: logins are fuzzed, not the hash.
    world->hasher = std::make_unique<PasswordHasher>(PwHashCost{1, 8 * 1024});
    world->vault = std::make_unique<KeyVault>(QByteArray(KeyVault::kMasterKeySize, '\x5a'));
    world->service = std::make_unique<Service>(*world->store, *world->vault, *world->hasher,
                                               world->clock, ServiceOptions{});
    world->passwordHash = world->hasher->hash("secret-1");
    // The file is scratch: losing it in a crash costs nothing, and without
    // a sync per commit the reset after each input stays cheap.
    QSqlQuery(world->db.handle()).exec(QStringLiteral("PRAGMA synchronous = OFF"));
    reset(*world);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const QByteArray rest(reinterpret_cast<const char*>(data + 1),
                          static_cast<qsizetype>(size - 1));
    const qsizetype eol = rest.indexOf('\n');
    const QByteArray authorization = eol < 0 ? rest : rest.left(eol);
    const QByteArray text = eol < 0 ? QByteArray() : rest.mid(eol + 1);

    const int route = data[0] % 5;
    // As the front: /me and /logout read no body; for the others a body
    // that is no single JSON object is answered by the front itself.
    Service& service = *world->service;
    // The front reads plain key requests without the parser: whatever that
    // read takes, the parser must read alike and the rules answer alike.
    if (route == 3) {
        if (const auto flat = KeyRequestText::fromFlatJson(text)) {
            QJsonObject parsed;
            if (JsonBody::parse(text, &parsed) != JsonBody::Problem::None) {
                std::abort();
            }
            const KeyRequestText full = KeyRequestText::fromJson(parsed);
            if (full.fault || full.keyId != flat->keyId || full.fileId != flat->fileId ||
                full.deviceId != flat->deviceId || full.deviceName != flat->deviceName) {
                std::abort();
            }
            const Reply fast = service.videoKey(authorization, *flat);
            reset(*world);
            const Reply slow = service.videoKey(authorization, full);
            reset(*world);
            if (fast.httpStatus != slow.httpStatus || fast.code() != slow.code()) {
                std::abort();
            }
        }
    }
    QJsonObject body;
    const bool wantsBody = route == 0 || route == 3 || route == 4;
    if (wantsBody && JsonBody::parse(text, &body) != JsonBody::Problem::None) {
        return 0;
    }
    Reply reply;
    switch (route) {
        case 0:
            reply = service.login(body, QStringLiteral("127.0.0.1"));
            break;
        case 1:
            reply = service.me(authorization);
            break;
        case 2:
            reply = service.logout(authorization);
            break;
        case 3:
            reply = service.videoKey(authorization, body);
            break;
        default:
            reply = service.registerKey(authorization, body);
            break;
    }
    reset(*world);
    // To see what the seeds reach: VEILCAST_FUZZ_TRACE=1 fuzz_server_request FILES
    if (world->trace) {
        fprintf(stderr, "route %d: %d %s\n", route, reply.httpStatus, qPrintable(reply.code()));
    }
    // Every answer is a status the front knows how to send, and a refusal
    // always says why.
    if (reply.httpStatus < 200 || reply.httpStatus > 599 ||
        (!reply.ok() && reply.code().isEmpty())) {
        std::abort();
    }
    return 0;
}
