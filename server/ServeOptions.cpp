#include "ServeOptions.h"

#include <QThread>
#include <algorithm>
#include <chrono>

ServeSettings::ServeSettings() : serviceThreads(std::max(1, QThread::idealThreadCount()))
{
    // Network threads answer key requests themselves: one per core.
    http.front.threads = serviceThreads;
}

namespace {

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
    return {name, nullptr, QString::fromUtf8(help), [field](const QString&) {
                *field = true;
                return QString();
            }};
}

ServeOption path(const char* name, const char* help, std::optional<QString>* field)
{
    return {name, "file", QString::fromUtf8(help), [field](const QString& value) {
                *field = value;
                return QString();
            }};
}

ServeOption address(const char* name, const char* help, QHostAddress* field)
{
    return {name, "addr", helpWith(help, field->toString()), [name, field](const QString& value) {
                if (value == QStringLiteral("localhost")) {
                    *field = QHostAddress(QHostAddress::LocalHost);
                    return QString();
                }
                return field->setAddress(value)
                           ? QString()
                           : QStringLiteral("--%1 wants an IP address, not %2").arg(name, value);
            }};
}

ServeOption port(const char* name, const char* help, int* field)
{
    return {name, "port", helpWith(help, *field), [name, field](const QString& value) {
                bool ok = false;
                *field = value.toInt(&ok);
                return ok && *field >= 0 && *field <= 65535 ? QString()
                                                            : QStringLiteral("bad --%1").arg(name);
            }};
}

// Whole seconds on the command line, milliseconds in the field.
ServeOption seconds(const char* name, const char* help, qint64* fieldMs)
{
    return {name, "s", helpWith(help, *fieldMs / 1000), [name, fieldMs](const QString& value) {
                bool ok = false;
                const qint64 s = value.toLongLong(&ok);
                if (!ok || s <= 0) {
                    return QStringLiteral("--%1 wants a positive number of seconds").arg(name);
                }
                *fieldMs = s * 1000;
                return QString();
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
    return {name, "s", helpWith(help, double(field->count()) / 1000),
            [name, field](const QString& value) {
                bool ok = false;
                const double s = value.toDouble(&ok);
                if (!ok || s <= 0 || s > 86400) {
                    return QStringLiteral("--%1 wants a positive number of seconds").arg(name);
                }
                *field = std::chrono::milliseconds(qint64(s * 1000));
                return QString();
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
                    return QStringLiteral("--%1 wants a number of at least %2").arg(name).arg(min);
                }
                *field = Field(n * unit);
                return QString();
            }};
}

// A nice value: below 0 needs privileges, above 19 does not exist.
ServeOption niceValue(const char* name, const char* help, int* field)
{
    ServeOption option = count(name, "n", help, 0, field);
    option.read = [name, field, atLeastZero = option.read](const QString& value) {
        QString why = atLeastZero(value);
        if (why.isEmpty() && *field > 19) {
            why = QStringLiteral("--%1 wants a value from 0 to 19").arg(name);
        }
        return why;
    };
    return option;
}

// Taken as it reads: 0, or anything that is not a number, leaves the choice to
// the server (cores - 1).
ServeOption threadsOrAuto(const char* name, const char* help, int* field)
{
    return {name, "n", QString::fromUtf8(help), [field](const QString& value) {
                *field = value.toInt();
                return QString();
            }};
}

}  // namespace

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
        count("http-threads", "n",
              "Network threads of the HTTP front, each also answering key requests (default: "
              "cores).",
              1, &front.threads),
    };
}
