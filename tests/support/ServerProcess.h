#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// The veilcast-server program run as a child over a throw-away data
// directory, the way an operator runs it: admin commands on its database and
// "serve" on a loopback port. The program is named by VEILCAST_SERVER_BIN.
// Password hashing runs at its cheapest so tests stay fast.
class ServerProcess
{
public:
    struct Run
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };

    explicit ServerProcess(const QString& dataDir);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    static QString binary();

    QProcessEnvironment environment() const;
    Run admin(const QStringList& args, const QByteArray& input = {}) const;

    // Starts "serve" on port (0: any free one) and waits for its listening
    // line. Returns an empty text once it listens, else what it said.
    QString start(const QStringList& extra, int port = 0);
    // Stops the server; its exit code, or -1 if none was running or it crashed.
    int stop();

    QProcess* process() const { return m_server; }
    QString scheme() const { return m_scheme; }
    int port() const { return m_port; }
    QByteArray log() const { return m_log; }

private:
    QString m_dataDir;
    QProcess* m_server = nullptr;
    QByteArray m_log;
    QString m_scheme = QStringLiteral("http");
    int m_port = 0;
};
