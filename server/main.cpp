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
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
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

// Everything `serve` can be told on its command line, at the built-in
// defaults until an option says otherwise.
struct ServeSettings
{
    QHostAddress address{QHostAddress::LocalHost};
    int port = kDefaultPort;
    // Given at all, even empty: then TLS was asked for.
    std::optional<QString> tlsCert;
    std::optional<QString> tlsKey;
    bool behindTlsProxy = false;
    // One per core: each request is mostly database reads and a little
    // crypto, so the rules scale with the cores like the database does.
    int serviceThreads = std::max(1, QThread::idealThreadCount());
    ServiceOptions service;
    HttpOptions http;
};

// One option of `serve`. The table is made over settings that still hold
// their defaults, and each help text is finished from the very field the
// option sets, so the default it names is the one in force.
struct ServeOption
{
    const char* name;
    const char* valueName;  // nullptr: a flag
    QString help;
    // Takes the option's value into its field, or says why not.
    std::function<bool(const QString& value)> read;
};

bool refuse(const QString& why)
{
    err() << "error: " << why << Qt::endl;
    return false;
}

// A default that is a rule, such as one thread per core, is told in words in
// the help itself; a value is filled in for %1.
template <typename Value>
QString helpWith(const char* help, Value shownDefault)
{
    const QString text = QString::fromUtf8(help);
    return text.contains(QStringLiteral("%1")) ? text.arg(shownDefault) : text;
}

ServeOption flag(const char* name, const char* help, bool* field)
{
    return {name, nullptr, QString::fromUtf8(help),
            [field](const QString&) { return *field = true; }};
}

ServeOption path(const char* name, const char* help, std::optional<QString>* field)
{
    return {name, "file", QString::fromUtf8(help), [field](const QString& value) {
                *field = value;
                return true;
            }};
}

ServeOption address(const char* name, const char* help, QHostAddress* field)
{
    return {name, "addr", helpWith(help, field->toString()), [name, field](const QString& value) {
                if (value == QStringLiteral("localhost")) {
                    *field = QHostAddress(QHostAddress::LocalHost);
                    return true;
                }
                return field->setAddress(value) ||
                       refuse(QStringLiteral("--%1 wants an IP address, not %2").arg(name, value));
            }};
}

ServeOption port(const char* name, const char* help, int* field)
{
    return {name, "port", helpWith(help, *field), [name, field](const QString& value) {
                bool ok = false;
                *field = value.toInt(&ok);
                return (ok && *field >= 0 && *field <= 65535) ||
                       refuse(QStringLiteral("bad --%1").arg(name));
            }};
}

// Whole seconds on the command line, milliseconds in the field.
ServeOption seconds(const char* name, const char* help, qint64* fieldMs)
{
    return {
        name, "s", helpWith(help, *fieldMs / 1000), [name, fieldMs](const QString& value) {
            bool ok = false;
            const qint64 s = value.toLongLong(&ok);
            if (!ok || s <= 0) {
                return refuse(QStringLiteral("--%1 wants a positive number of seconds").arg(name));
            }
            *fieldMs = s * 1000;
            return true;
        }};
}

// The help's %2 tells the default in days too.
ServeOption inDays(ServeOption option, qint64 defaultMs)
{
    option.help = option.help.arg(defaultMs / (24LL * 3600 * 1000));
    return option;
}

// Fractions allowed, so tests can use short time-outs.
ServeOption timeout(const char* name, const char* help, std::chrono::milliseconds* field)
{
    return {
        name, "s", helpWith(help, double(field->count()) / 1000),
        [name, field](const QString& value) {
            bool ok = false;
            const double s = value.toDouble(&ok);
            if (!ok || s <= 0 || s > 86400) {
                return refuse(QStringLiteral("--%1 wants a positive number of seconds").arg(name));
            }
            *field = std::chrono::milliseconds(qint64(s * 1000));
            return true;
        }};
}

// A whole number of at least `min`, counted in `unit`s of the field (KiB of a
// size in bytes, say); the ceiling only keeps the arithmetic sane.
template <typename Field>
ServeOption count(const char* name, const char* valueName, const char* help, long long min,
                  Field* field, long long unit = 1)
{
    return {name, valueName, helpWith(help, qint64(*field) / unit),
            [name, min, field, unit](const QString& value) {
                bool ok = false;
                const long long n = value.toLongLong(&ok);
                if (!ok || n < min || n > (1LL << 40)) {
                    return refuse(
                        QStringLiteral("--%1 wants a number of at least %2").arg(name).arg(min));
                }
                *field = Field(n * unit);
                return true;
            }};
}

// A nice value: below 0 needs privileges, above 19 does not exist.
ServeOption niceValue(const char* name, const char* help, int* field)
{
    ServeOption option = count(name, "n", help, 0, field);
    option.read = [name, field, atLeastZero = option.read](const QString& value) {
        return atLeastZero(value) &&
               (*field <= 19 ||
                refuse(QStringLiteral("--%1 wants a value from 0 to 19").arg(name)));
    };
    return option;
}

// Taken as it reads: 0, or anything that is not a number, leaves the choice to
// the server (cores - 1).
ServeOption threadsOrAuto(const char* name, const char* help, int* field)
{
    return {name, "n", QString::fromUtf8(help), [field](const QString& value) {
                *field = value.toInt();
                return true;
            }};
}

std::vector<ServeOption> serveOptions(ServeSettings& s)
{
    FrontOptions& front = s.http.front;
    return {
        address("listen", "Address to listen on (default %1).", &s.address),
        port("port", "Port (default %1; 0 picks a free one).", &s.port),
        path("tls-cert", "PEM certificate (chain).", &s.tlsCert),
        path("tls-key", "PEM private key.", &s.tlsKey),
        flag("behind-tls-proxy",
             "Serve plain HTTP on a non-loopback address because a TLS proxy stands in front; "
             "trusts its X-Forwarded-For.",
             &s.behindTlsProxy),
        seconds("access-lifetime", "Seconds a token is good for every endpoint (default %1).",
                &s.service.accessLifetimeMs),
        seconds("renewal-window",
                "Seconds after issue a token can still be renewed through /api/auth/me "
                "(default %1).",
                &s.service.renewalWindowMs),
        threadsOrAuto("hash-threads", "Threads for password checks (default: cores - 1).",
                      &s.http.hashThreads),
        niceValue("hash-nice",
                  "Nice value of the password-check threads, 0-19 (default %1), so that logins "
                  "yield to key requests.",
                  &s.http.hashNice),
        inDays(seconds("session-lifetime",
                       "Seconds after a login beyond which no renewal reaches (default %1, %2 "
                       "days).",
                       &s.service.sessionLifetimeMs),
               s.service.sessionLifetimeMs),
        timeout("header-timeout", "Seconds a request's header may take (default %1).",
                &front.headerTimeout),
        timeout("body-timeout", "Seconds a request's body may take after its header (default %1).",
                &front.bodyTimeout),
        timeout("idle-timeout", "Seconds an idle keep-alive connection is kept (default %1).",
                &front.idleTimeout),
        count("max-connections", "n", "Open connections in total (default %1).", 1,
              &front.maxConnections),
        count("max-connections-per-address", "n",
              "Open connections from one address (default %1; 0: no cap).", 0,
              &front.maxConnectionsPerAddress),
        count("max-buffered-kib", "kib",
              "KiB that unfinished requests may hold together (default %1).", 1,
              &front.maxBufferedBytes, 1024),
        count("service-threads", "n",
              "Threads that run requests, each with its own database connection (default: cores; "
              "0: the main thread).",
              0, &s.serviceThreads),
        count("http-threads", "n", "Network threads of the HTTP front (default %1).", 1,
              &front.threads),
    };
}

// Reads the command line into *settings; 0 when it is good, else the exit code.
int readServeCommandLine(const QStringList& args, Common* common, ServeSettings* settings)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Runs the content server."));
    addCommonOptions(p);
    const std::vector<ServeOption> options = serveOptions(*settings);
    for (const ServeOption& o : options) {
        const QString name = QString::fromLatin1(o.name);
        p.addOption(o.valueName ? QCommandLineOption(name, o.help, QString::fromLatin1(o.valueName))
                                : QCommandLineOption(name, o.help));
    }
    p.process(args);

    auto read = readCommon(p);
    if (!read) {
        return 2;
    }
    *common = *read;
    for (const ServeOption& o : options) {
        const QString name = QString::fromLatin1(o.name);
        if (p.isSet(name) && !o.read(p.value(name))) {
            return 2;
        }
    }
    const bool tls = settings->tlsCert || settings->tlsKey;
    if (tls && !(settings->tlsCert && settings->tlsKey)) {
        err() << "error: TLS needs both --tls-cert and --tls-key" << Qt::endl;
        return 2;
    }
    if (!ContentServer::plainHttpAllowed(settings->address, tls, settings->behindTlsProxy)) {
        err() << "error: refusing plain HTTP on " << settings->address.toString()
              << ": give --tls-cert and --tls-key, or --behind-tls-proxy when a TLS proxy "
                 "terminates the connections"
              << Qt::endl;
        return 2;
    }
    settings->http.trustForwardedFor = settings->behindTlsProxy;
    return 0;
}

// SIGINT and SIGTERM end the event loop, through a pipe: a handler may do
// no more than write to it.
void quitOnSignals(QCoreApplication& app)
{
    if (::pipe(g_signalPipe) != 0) {
        return;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        err() << "veilcast-server stopping" << Qt::endl;
        app.quit();
    });
}

int runServer(QCoreApplication& app, const Common& common, const ServeSettings& settings)
{
    if (!PasswordHasher::initLibrary()) {
        err() << "error: libsodium failed to initialise" << Qt::endl;
        return 1;
    }
    QString error;
    const QByteArray masterKey =
        KeyVault::loadMasterKey(common.dataDir, qgetenv("VEILCAST_MASTER_KEY"), &error);
    if (masterKey.isEmpty()) {
        err() << "error: master key: " << error << Qt::endl;
        return 1;
    }
    KeyVault vault(masterKey);
    Database db;
    if (!openDatabase(common, db)) {
        return 1;
    }
    Store store(db);
    SystemClock clock;
    PasswordHasher hasher(common.cost);
    Service service(store, vault, hasher, clock, settings.service);
    // Declared before the server, so they outlive it.
    std::vector<std::unique_ptr<ServiceWorker>> workers;
    std::vector<ServiceWorker*> lanes;
    for (int i = 0; i < settings.serviceThreads; ++i) {
        workers.push_back(
            std::make_unique<ServiceWorker>(common.db, vault, hasher, clock, settings.service));
        if (!workers.back()->start(&error)) {
            err() << "error: cannot open the database: " << error << Qt::endl;
            return 1;
        }
        lanes.push_back(workers.back().get());
    }
    ContentServer server(service, hasher, settings.http);
    server.setWorkers(lanes);
    const bool tls = settings.tlsCert.has_value();
    if (tls && !server.setupTls(*settings.tlsCert, *settings.tlsKey, &error)) {
        err() << "error: " << error << Qt::endl;
        return 1;
    }
    const QHostAddress& address = settings.address;
    const quint16 bound = server.listen(address, quint16(settings.port));
    if (bound == 0) {
        err() << "error: cannot listen on " << address.toString() << ":" << settings.port
              << Qt::endl;
        return 1;
    }
    // Scripts and tests wait for this line (and read the port from it).
    err() << "veilcast-server listening on " << (tls ? "https" : "http") << "://"
          << (address.protocol() == QAbstractSocket::IPv6Protocol ? "[" + address.toString() + "]"
                                                                  : address.toString())
          << ":" << bound << " database "
          << (common.db.kind == DbConfig::Kind::Sqlite ? "sqlite" : "postgresql") << Qt::endl;
    quitOnSignals(app);
    return app.exec();
}

int serve(QCoreApplication& app, const QStringList& args)
{
    Common common;
    ServeSettings settings;
    if (const int usageError = readServeCommandLine(args, &common, &settings)) {
        return usageError;
    }
    return runServer(app, common, settings);
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
