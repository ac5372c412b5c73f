#include "DeviceIdentity.h"

#include <QCryptographicHash>
#include <QStringDecoder>
#include <QStringList>
#include <QSysInfo>
#include <QUuid>

#include "AppConfig.h"
#include "SystemProbe.h"

namespace {

constexpr int kWmicStartMs = 1000;
constexpr int kWmicFinishMs = 3000;

}  // namespace

QString DeviceIdentity::deviceId()
{
    // A thread-safe one-time computation; the id never changes during a run.
    static const QString id = computeId(systemSources());
    return id;
}

QString DeviceIdentity::deviceName()
{
    return deviceNameFor(QSysInfo::machineHostName(), QSysInfo::prettyProductName());
}

QString DeviceIdentity::deviceNameFor(const QString& host, const QString& product)
{
    const QString shownHost = host.isEmpty() ? QStringLiteral("未知主机") : host;
    return shownHost + QStringLiteral(" · ") + product;
}

DeviceIdentity::Sources DeviceIdentity::systemSources()
{
    return Sources{&DeviceIdentity::queryWmic, &SystemProbe::machineGuid};
}

QString DeviceIdentity::computeId(const Sources& sources)
{
    QString id = hardwareId(sources);
    if (id.isEmpty()) {
        id = machineGuidId(sources);
    }
    if (id.isEmpty()) {
        id = fallbackId();
    }
    return id;
}

QString DeviceIdentity::hardwareId(const Sources& sources)
{
    if (!sources.wmic) {
        return {};
    }
    const QString cpu = sources.wmic(QStringLiteral("cpu"), QStringLiteral("ProcessorId"));
    const QString board = sources.wmic(QStringLiteral("csproduct"), QStringLiteral("UUID"));
    const QString disk = sources.wmic(QStringLiteral("diskdrive"), QStringLiteral("SerialNumber"));
    if (cpu.isEmpty() && board.isEmpty() && disk.isEmpty()) {
        return {};
    }
    // Empty parts keep their separators so that the position of each value
    // stays part of the identity.
    return hashId(cpu.toUtf8() + '|' + board.toUtf8() + '|' + disk.toUtf8());
}

QString DeviceIdentity::machineGuidId(const Sources& sources)
{
    const QString guid = sources.machineGuid ? sources.machineGuid() : QString();
    return guid.isEmpty() ? QString() : hashId(guid.toUtf8());
}

QString DeviceIdentity::fallbackId()
{
    AppConfig* config = AppConfig::instance();
    QString id = config->deviceFallbackId();
    if (id.isEmpty()) {
        id = hashId(QUuid::createUuid().toString(QUuid::WithoutBraces).toUtf8());
        config->setDeviceFallbackId(id);
    }
    return id;
}

QString DeviceIdentity::queryWmic(const QString& className, const QString& property)
{
    if (!SystemProbe::hasWmic()) {
        return {};
    }
    int exitCode = -1;
    const auto output = SystemProbe::runCommand(QStringLiteral("wmic"),
                                                {className, QStringLiteral("get"), property},
                                                kWmicStartMs, kWmicFinishMs, &exitCode);
    // A failed query prints its complaint ("Error: Alias not found", a
    // description of the failure) where the value would be; that text must
    // never become part of the id.
    if (!output || exitCode != 0) {
        return {};
    }
    return parseWmicOutput(*output);
}

QString DeviceIdentity::parseWmicOutput(const QByteArray& output)
{
    static const QStringList headers = {QStringLiteral("processorid"), QStringLiteral("uuid"),
                                        QStringLiteral("serialnumber"),
                                        QStringLiteral("bios serialnumber")};
    // wmic writes UTF-16LE with a byte order mark into a pipe or file on some
    // systems (Wine's always does), and the console code page on others.
    QString text;
    if (output.startsWith("\xff\xfe")) {
        QStringDecoder fromUtf16(QStringConverter::Utf16LE);
        text = fromUtf16(QByteArrayView(output).sliced(2));
    } else {
        text = QString::fromLocal8Bit(output);
    }
    for (const QString& rawLine : text.split(QLatin1Char('\n'))) {
        // Trimming also drops the "\r" of Windows line ends.
        const QString line = rawLine.trimmed();
        if (line.isEmpty() || headers.contains(line.toLower())) {
            continue;
        }
        return line;
    }
    return {};
}

QString DeviceIdentity::hashId(const QByteArray& bytes)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().left(32));
}
