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
#include "ServeOptions.h"
#include "Service.h"
#include "ServiceWorker.h"
#include "Store.h"
#include "VeilcastVersion.h"

namespace {

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
        if (!p.isSet(name)) {
            continue;
        }
        if (const QString why = o.read(p.value(name)); !why.isEmpty()) {
            err() << "error: " << why << Qt::endl;
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
    settings->http.secureCookies = tls || settings->behindTlsProxy;
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
    server.setNetworkServices([&](QString* problem) {
        return ServiceStack::open(common.db, vault, hasher, clock, settings.service, problem);
    });
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
        "       veilcast-server --help | serve --help | admin --help | --version\n"
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
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kVeilcastVersion));
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
    if (command == QStringLiteral("--version")) {
        QTextStream(stdout) << QCoreApplication::applicationName() << ' '
                            << QCoreApplication::applicationVersion() << '\n';
        return 0;
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
