#include "ServerProcess.h"

#include <QElapsedTimer>
#include <QRegularExpression>

namespace {

constexpr int kAdminTimeoutMs = 20000;
constexpr int kStartTimeoutMs = 15000;
constexpr int kStopTimeoutMs = 10000;

}  // namespace

ServerProcess::ServerProcess(const QString& dataDir) : m_dataDir(dataDir) {}

ServerProcess::~ServerProcess()
{
    stop();
}

QString ServerProcess::binary()
{
    return qEnvironmentVariable("VEILCAST_SERVER_BIN");
}

QProcessEnvironment ServerProcess::environment() const
{
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert(QStringLiteral("VEILCAST_DATA_DIR"), m_dataDir);
    e.insert(QStringLiteral("VEILCAST_PWHASH_OPS"), QStringLiteral("1"));
    e.insert(QStringLiteral("VEILCAST_PWHASH_MEM_KIB"), QStringLiteral("8"));
    e.remove(QStringLiteral("VEILCAST_MASTER_KEY"));
    e.remove(QStringLiteral("VEILCAST_DATABASE"));
    return e;
}

ServerProcess::Run ServerProcess::admin(const QStringList& args, const QByteArray& input) const
{
    QProcess p;
    p.setProcessEnvironment(environment());
    p.start(binary(), QStringList{QStringLiteral("admin")} + args);
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(kAdminTimeoutMs)) {
        p.kill();
        p.waitForFinished();
        return {-1, p.readAllStandardOutput(), p.readAllStandardError()};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

QString ServerProcess::start(const QStringList& extra, int port)
{
    stop();
    m_server = new QProcess;
    m_server->setProcessEnvironment(environment());
    m_log.clear();
    m_server->start(binary(), QStringList{QStringLiteral("serve"), QStringLiteral("--port"),
                                          QString::number(port)} +
                                  extra);
    static const QRegularExpression listening(
        QStringLiteral("listening on (https?)://\\S+:(\\d+) "));
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < kStartTimeoutMs) {
        m_server->waitForReadyRead(200);
        m_log += m_server->readAllStandardError();
        const auto m = listening.match(QString::fromUtf8(m_log));
        if (m.hasMatch()) {
            m_scheme = m.captured(1);
            m_port = m.captured(2).toInt();
            return {};
        }
        if (m_server->state() == QProcess::NotRunning) {
            break;
        }
    }
    return m_log.isEmpty() ? QStringLiteral("no output") : QString::fromUtf8(m_log);
}

int ServerProcess::stop()
{
    if (!m_server) {
        return -1;
    }
    m_server->terminate();
    if (!m_server->waitForFinished(kStopTimeoutMs)) {
        m_server->kill();
        m_server->waitForFinished();
    }
    m_log += m_server->readAllStandardError();
    const int code = m_server->exitStatus() == QProcess::NormalExit ? m_server->exitCode() : -1;
    delete m_server;
    m_server = nullptr;
    return code;
}
