// veilcast-server: the content server (serve) and its operator commands (admin).
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTextStream>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "Admin.h"
#include "Clock.h"
#include "ContentServer.h"
#include "Database.h"
#include "KeyVault.h"
#include "PasswordHasher.h"
#include "Service.h"
#include "ServiceWorker.h"
#include "Store.h"

namespace {

constexpr quint16 kDefaultPort = 8787;

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] auto n = ::write(g_signalPipe[1], &c, 1);
}

QTextStream& err()
{
    static QTextStream s(stderr);
    return s;
}

QString envOr(const char* name, const QString& fallback)
{
    const QString v = qEnvironmentVariable(name);
    return v.isEmpty() ? fallback : v;
}

// A flag on the command line overrides the environment and the built-in default.
QString optionOr(const QCommandLineParser& p, const QString& name, const QString& fallback)
{
    return p.isSet(name) ? p.value(name) : fallback;
}

void addCommonOptions(QCommandLineParser& p)
{
    p.addOption({QStringLiteral("data-dir"),
                 QStringLiteral("Data directory (database, master key). Env VEILCAST_DATA_DIR."),
                 QStringLiteral("dir")});
    p.addOption({QStringLiteral("database"),
                 QStringLiteral("sqlite:PATH or postgresql://user@host:port/db. "
                                "Env VEILCAST_DATABASE. Default: sqlite in the data directory."),
                 QStringLiteral("url")});
    p.addOption({QStringLiteral("pwhash-ops"),
                 QStringLiteral("argon2id passes (env VEILCAST_PWHASH_OPS; default libsodium "
                                "interactive)"),
                 QStringLiteral("n")});
    p.addOption({QStringLiteral("pwhash-mem"),
                 QStringLiteral("argon2id memory in KiB (env VEILCAST_PWHASH_MEM_KIB)"),
                 QStringLiteral("kib")});
    p.addHelpOption();
}

struct Common
{
    QString dataDir;
    DbConfig db;
    PwHashCost cost;
};

std::optional<Common> readCommon(const QCommandLineParser& p)
{
    Common c;
    c.dataDir =
        optionOr(p, QStringLiteral("data-dir"),
                 envOr("VEILCAST_DATA_DIR",
                       QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
                           .filePath(QStringLiteral("veilcast-server"))));
    const QString url = optionOr(
        p, QStringLiteral("database"),
        envOr("VEILCAST_DATABASE",
              QStringLiteral("sqlite:") + QDir(c.dataDir).filePath(QStringLiteral("veilcast.db"))));
    QString error;
    const auto db = parseDatabaseUrl(url, &error);
    if (!db) {
        err() << "error: " << error << Qt::endl;
        return std::nullopt;
    }
    c.db = *db;
    const QString ops =
        optionOr(p, QStringLiteral("pwhash-ops"), qEnvironmentVariable("VEILCAST_PWHASH_OPS"));
    const QString mem =
        optionOr(p, QStringLiteral("pwhash-mem"), qEnvironmentVariable("VEILCAST_PWHASH_MEM_KIB"));
    c.cost.opsLimit = ops.toULongLong();
    c.cost.memLimit = std::size_t(mem.toULongLong()) * 1024;
    return c;
}

bool openDatabase(const Common& c, Database& db)
{
    QString error;
    if (!db.open(c.db, &error)) {
        err() << "error: cannot open the database: " << error << Qt::endl;
        return false;
    }
    if (!db.migrate(&error)) {
        err() << "error: cannot bring the schema up to date: " << error << Qt::endl;
        return false;
    }
    return true;
}

int serve(QCoreApplication& app, const QStringList& args)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Runs the content server."));
    addCommonOptions(p);
    p.addOption({QStringLiteral("listen"),
                 QStringLiteral("Address to listen on (default 127.0.0.1)."),
                 QStringLiteral("addr")});
    p.addOption({QStringLiteral("port"),
                 QStringLiteral("Port (default %1; 0 picks a free one).").arg(kDefaultPort),
                 QStringLiteral("port")});
    p.addOption({QStringLiteral("tls-cert"), QStringLiteral("PEM certificate (chain)."),
                 QStringLiteral("file")});
    p.addOption(
        {QStringLiteral("tls-key"), QStringLiteral("PEM private key."), QStringLiteral("file")});
    p.addOption({QStringLiteral("behind-tls-proxy"),
                 QStringLiteral("Serve plain HTTP on a non-loopback address because a TLS proxy "
                                "stands in front; trusts its X-Forwarded-For.")});
    p.addOption({QStringLiteral("access-lifetime"),
                 QStringLiteral("Seconds a token is good for every endpoint (default 86400)."),
                 QStringLiteral("s")});
    p.addOption({QStringLiteral("renewal-window"),
                 QStringLiteral("Seconds after issue a token can still be renewed through "
                                "/api/auth/me (default 2592000)."),
                 QStringLiteral("s")});
    p.addOption({QStringLiteral("hash-threads"),
                 QStringLiteral("Threads for password checks (default: cores - 1)."),
                 QStringLiteral("n")});
    p.addOption({QStringLiteral("hash-nice"),
                 QStringLiteral("Nice value of the password-check threads, 0-19 (default 10), "
                                "so that logins yield to key requests."),
                 QStringLiteral("n")});
    p.addOption({QStringLiteral("session-lifetime"),
                 QStringLiteral("Seconds after a login beyond which no renewal reaches "
                                "(default 7776000, 90 days)."),
                 QStringLiteral("s")});
    p.addOption({QStringLiteral("header-timeout"),
                 QStringLiteral("Seconds a request's header may take (default 10)."),
                 QStringLiteral("s")});
    p.addOption({QStringLiteral("body-timeout"),
                 QStringLiteral("Seconds a request's body may take after its header (default "
                                "30)."),
                 QStringLiteral("s")});
    p.addOption({QStringLiteral("idle-timeout"),
                 QStringLiteral("Seconds an idle keep-alive connection is kept (default 60)."),
                 QStringLiteral("s")});
    p.addOption({QStringLiteral("max-connections"),
                 QStringLiteral("Open connections in total (default 1000)."), QStringLiteral("n")});
    p.addOption({QStringLiteral("max-connections-per-address"),
                 QStringLiteral("Open connections from one address (default 64; 0: no cap)."),
                 QStringLiteral("n")});
    p.addOption({QStringLiteral("max-buffered-kib"),
                 QStringLiteral("KiB that unfinished requests may hold together (default "
                                "65536)."),
                 QStringLiteral("kib")});
    p.addOption({QStringLiteral("service-threads"),
                 QStringLiteral("Threads that run requests, each with its own database "
                                "connection (default: cores; 0: the main thread)."),
                 QStringLiteral("n")});
    p.addOption({QStringLiteral("http-threads"),
                 QStringLiteral("Network threads of the HTTP front (default 1)."),
                 QStringLiteral("n")});
    p.process(args);

    auto common = readCommon(p);
    if (!common) {
        return 2;
    }
    const QString listenText = optionOr(p, QStringLiteral("listen"), QStringLiteral("127.0.0.1"));
    QHostAddress address;
    if (listenText == QStringLiteral("localhost")) {
        address = QHostAddress(QHostAddress::LocalHost);
    } else if (!address.setAddress(listenText)) {
        err() << "error: --listen wants an IP address, not " << listenText << Qt::endl;
        return 2;
    }
    bool ok = true;
    const int port =
        p.isSet(QStringLiteral("port")) ? p.value(QStringLiteral("port")).toInt(&ok) : kDefaultPort;
    if (!ok || port < 0 || port > 65535) {
        err() << "error: bad --port" << Qt::endl;
        return 2;
    }
    const bool tls = p.isSet(QStringLiteral("tls-cert")) || p.isSet(QStringLiteral("tls-key"));
    if (tls && !(p.isSet(QStringLiteral("tls-cert")) && p.isSet(QStringLiteral("tls-key")))) {
        err() << "error: TLS needs both --tls-cert and --tls-key" << Qt::endl;
        return 2;
    }
    const bool behindProxy = p.isSet(QStringLiteral("behind-tls-proxy"));
    if (!ContentServer::plainHttpAllowed(address, tls, behindProxy)) {
        err() << "error: refusing plain HTTP on " << address.toString()
              << ": give --tls-cert and --tls-key, or --behind-tls-proxy when a TLS proxy "
                 "terminates the connections"
              << Qt::endl;
        return 2;
    }

    ServiceOptions options;
    auto seconds = [&](const char* name, qint64* target) {
        if (!p.isSet(QString::fromLatin1(name))) {
            return true;
        }
        bool good = false;
        const qint64 s = p.value(QString::fromLatin1(name)).toLongLong(&good);
        if (!good || s <= 0) {
            err() << "error: --" << name << " wants a positive number of seconds" << Qt::endl;
            return false;
        }
        *target = s * 1000;
        return true;
    };
    if (!seconds("access-lifetime", &options.accessLifetimeMs) ||
        !seconds("renewal-window", &options.renewalWindowMs) ||
        !seconds("session-lifetime", &options.sessionLifetimeMs)) {
        return 2;
    }
    HttpOptions http;
    // Fractions allowed, so tests can use short time-outs.
    auto timeout = [&](const char* name, std::chrono::milliseconds* target) {
        if (!p.isSet(QString::fromLatin1(name))) {
            return true;
        }
        bool good = false;
        const double s = p.value(QString::fromLatin1(name)).toDouble(&good);
        if (!good || s <= 0 || s > 86400) {
            err() << "error: --" << name << " wants a positive number of seconds" << Qt::endl;
            return false;
        }
        *target = std::chrono::milliseconds(qint64(s * 1000));
        return true;
    };
    auto count = [&](const char* name, long long min, auto* target) {
        if (!p.isSet(QString::fromLatin1(name))) {
            return true;
        }
        bool good = false;
        const long long n = p.value(QString::fromLatin1(name)).toLongLong(&good);
        if (!good || n < min || n > (1LL << 40)) {
            err() << "error: --" << name << " wants a number of at least " << min << Qt::endl;
            return false;
        }
        *target = static_cast<std::remove_pointer_t<decltype(target)>>(n);
        return true;
    };
    long long bufferedKib = -1;
    // One per core: each request is mostly database reads and a little
    // crypto, so the rules scale with the cores like the database does.
    int serviceThreads = std::max(1, QThread::idealThreadCount());
    if (!timeout("header-timeout", &http.front.headerTimeout) ||
        !timeout("body-timeout", &http.front.bodyTimeout) ||
        !timeout("idle-timeout", &http.front.idleTimeout) ||
        !count("max-connections", 1, &http.front.maxConnections) ||
        !count("max-connections-per-address", 0, &http.front.maxConnectionsPerAddress) ||
        !count("max-buffered-kib", 1, &bufferedKib) ||
        !count("http-threads", 1, &http.front.threads) ||
        !count("service-threads", 0, &serviceThreads) || !count("hash-nice", 0, &http.hashNice)) {
        return 2;
    }
    if (http.hashNice > 19) {
        err() << "error: --hash-nice wants a value from 0 to 19" << Qt::endl;
        return 2;
    }
    if (bufferedKib > 0) {
        http.front.maxBufferedBytes = std::size_t(bufferedKib) * 1024;
    }

    if (!PasswordHasher::initLibrary()) {
        err() << "error: libsodium failed to initialise" << Qt::endl;
        return 1;
    }
    QString error;
    const QByteArray masterKey =
        KeyVault::loadMasterKey(common->dataDir, qgetenv("VEILCAST_MASTER_KEY"), &error);
    if (masterKey.isEmpty()) {
        err() << "error: master key: " << error << Qt::endl;
        return 1;
    }
    KeyVault vault(masterKey);
    Database db;
    if (!openDatabase(*common, db)) {
        return 1;
    }
    Store store(db);
    SystemClock clock;
    PasswordHasher hasher(common->cost);
    Service service(store, vault, hasher, clock, options);
    // Declared before the server, so they outlive it.
    std::vector<std::unique_ptr<ServiceWorker>> workers;
    std::vector<ServiceWorker*> lanes;
    for (int i = 0; i < serviceThreads; ++i) {
        workers.push_back(
            std::make_unique<ServiceWorker>(common->db, vault, hasher, clock, options));
        if (!workers.back()->start(&error)) {
            err() << "error: cannot open the database: " << error << Qt::endl;
            return 1;
        }
        lanes.push_back(workers.back().get());
    }
    http.trustForwardedFor = behindProxy;
    http.hashThreads = p.value(QStringLiteral("hash-threads")).toInt();
    ContentServer server(service, hasher, http);
    server.setWorkers(lanes);
    if (tls && !server.setupTls(p.value(QStringLiteral("tls-cert")),
                                p.value(QStringLiteral("tls-key")), &error)) {
        err() << "error: " << error << Qt::endl;
        return 1;
    }
    const quint16 bound = server.listen(address, quint16(port));
    if (bound == 0) {
        err() << "error: cannot listen on " << address.toString() << ":" << port << Qt::endl;
        return 1;
    }
    // Scripts and tests wait for this line (and read the port from it).
    err() << "veilcast-server listening on " << (tls ? "https" : "http") << "://"
          << (address.protocol() == QAbstractSocket::IPv6Protocol ? "[" + address.toString() + "]"
                                                                  : address.toString())
          << ":" << bound << " database "
          << (common->db.kind == DbConfig::Kind::Sqlite ? "sqlite" : "postgresql") << Qt::endl;

    if (::pipe(g_signalPipe) == 0) {
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
            err() << "veilcast-server stopping" << Qt::endl;
            app.quit();
        });
    }
    return app.exec();
}

int admin(const QStringList& args)
{
    QCommandLineParser p;
    p.setApplicationDescription(Admin::usage());
    addCommonOptions(p);
    p.addOption({QStringLiteral("json"), QStringLiteral("Machine-readable output.")});
    p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("See below."));
    // Everything after the command group belongs to the command itself.
    p.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    p.process(args);
    QStringList command = p.positionalArguments();
    const bool json =
        p.isSet(QStringLiteral("json")) || command.removeAll(QStringLiteral("--json")) > 0;
    auto common = readCommon(p);
    if (!common) {
        return 2;
    }
    if (!PasswordHasher::initLibrary()) {
        err() << "error: libsodium failed to initialise" << Qt::endl;
        return 1;
    }
    Database db;
    if (!openDatabase(*common, db)) {
        return 1;
    }
    Store store(db);
    SystemClock clock;
    PasswordHasher hasher(common->cost);
    QTextStream out(stdout);
    QFile in;
    in.open(stdin, QIODevice::ReadOnly);
    Admin cmd(store, hasher, clock, out, err(), in, json);
    return cmd.run(command);
}

QString overview()
{
    return QStringLiteral(
        "usage: veilcast-server serve [options]              runs the content server\n"
        "       veilcast-server admin [options] COMMAND...   manages accounts, keys, devices\n"
        "       veilcast-server --help | serve --help | admin --help\n"
        "\n"
        "Both read the data directory (--data-dir, env VEILCAST_DATA_DIR) holding the\n"
        "SQLite database and master.key, or the database named by --database (env\n"
        "VEILCAST_DATABASE). Run admin as the user the server runs as, against the same\n"
        "data directory, e.g. for the packaged service:\n"
        "  runuser -u veilcast -- veilcast-server admin --data-dir /var/lib/veilcast user list\n"
        "Passwords are read from standard input, never from the command line:\n"
        "  printf '%s\\n' \"$PASSWORD\" | veilcast-server admin user add alice --role viewer\n");
}

}  // namespace

int main(int argc, char** argv)
{
    // The database, its journal files and the master key hold secrets: made
    // by this program, they are for its own user only.
    ::umask(077);
    // Every request crosses threads twice through the event queues. Qt's own
    // event loop wakes a thread once per batch of posted events; the GLib one
    // signals its wake-up descriptor on every post, a system call per
    // request, and the server uses nothing of GLib.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veilcast-server"));
    const QStringList args = app.arguments();
    const QString command = args.value(1);
    // QCommandLineParser wants the program name first.
    QStringList rest = args.mid(2);
    rest.prepend(args.first() + u' ' + command);
    if (command == QStringLiteral("serve")) {
        return serve(app, rest);
    }
    if (command == QStringLiteral("admin")) {
        return admin(rest);
    }
    // Asked for, the overview goes to standard output and is not a failure;
    // anything else unknown is a usage error.
    const bool asked = command == QStringLiteral("--help") || command == QStringLiteral("-h") ||
                       command == QStringLiteral("help");
    QTextStream to(asked ? stdout : stderr);
    to << overview();
    if (asked) {
        to << '\n' << Admin::usage();
    }
    return asked ? 0 : 2;
}
