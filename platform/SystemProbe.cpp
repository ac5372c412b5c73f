#include "SystemProbe.h"

#include <QFile>
#include <QProcess>
#include <QSettings>

bool SystemProbe::hasWmic()
{
#ifdef Q_OS_WIN
    return true;
#else
    return false;
#endif
}

std::optional<QByteArray> SystemProbe::runCommand(const QString& program, const QStringList& args,
                                                  int startMs, int finishMs, int* exitCode)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args, QIODevice::ReadOnly);
    if (!process.waitForStarted(startMs)) {
        return std::nullopt;
    }
    if (!process.waitForFinished(finishMs)) {
        process.kill();
        process.waitForFinished(1000);
        return std::nullopt;
    }
    if (exitCode) {
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    return process.readAll();
}

QString SystemProbe::machineGuid()
{
#ifdef Q_OS_WIN
    const QSettings registry(
        QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography"),
        QSettings::NativeFormat);
    return registry.value(QStringLiteral("MachineGuid")).toString();
#elif defined(Q_OS_LINUX)
    QFile file(QStringLiteral("/etc/machine-id"));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    // The file ends with a newline that is not part of the id.
    return QString::fromUtf8(file.read(4096)).trimmed();
#else
    return {};
#endif
}
