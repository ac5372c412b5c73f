#include "AppConfig.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <algorithm>
#include <set>

namespace {

// Obfuscation constant for the remembered password; stored values depend on
// it, so it must never change.
const QByteArray kPasswordScrambleKey = QByteArrayLiteral("R7v!Kq2#Lm9xT");

const QString kOrganisation = QStringLiteral("Veilcast");
const QString kApplication = QStringLiteral("Veilcast");

QString playlistGroup(const QString& name)
{
    return QStringLiteral("playlist/") + (name.isEmpty() ? QStringLiteral("default") : name);
}

bool fileStillThere(const QString& path)
{
    return !path.isEmpty() && QFileInfo::exists(path);
}

QString readString(const char* key)
{
    return QSettings(kOrganisation, kApplication).value(QLatin1String(key)).toString();
}

bool readBool(const char* key)
{
    return QSettings(kOrganisation, kApplication).value(QLatin1String(key), false).toBool();
}

void writeValue(const char* key, const QVariant& value)
{
    QSettings(kOrganisation, kApplication).setValue(QLatin1String(key), value);
}

}  // namespace

std::unique_ptr<QSettings> AppConfig::store()
{
    return std::make_unique<QSettings>(kOrganisation, kApplication);
}

QString AppConfig::storeLocation()
{
    return QSettings(kOrganisation, kApplication).fileName();
}

QString AppConfig::deviceFallbackId() const
{
    return readString("device/fallbackId");
}

void AppConfig::setDeviceFallbackId(const QString& id)
{
    writeValue("device/fallbackId", id);
}

bool AppConfig::protectionNoticeShown() const
{
    return readBool("antipiracy/noticeShown");
}

void AppConfig::setProtectionNoticeShown(bool shown)
{
    writeValue("antipiracy/noticeShown", shown);
}

void AppConfig::saveEncryptHistory(const QList<EncryptRecord>& records)
{
    QSettings settings(kOrganisation, kApplication);
    settings.beginGroup(QStringLiteral("encryptHistory"));
    settings.remove(QString());
    settings.beginWriteArray(QStringLiteral("items"), int(records.size()));
    for (int i = 0; i < records.size(); ++i) {
        const EncryptRecord& r = records.at(i);
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("srcPath"), r.srcPath);
        settings.setValue(QStringLiteral("outPath"), r.outPath);
        settings.setValue(QStringLiteral("videoId"), r.videoId);
        settings.setValue(QStringLiteral("finishedAt"), r.finishedAt);
    }
    settings.endArray();
    settings.endGroup();
}

AppConfig* AppConfig::instance()
{
    // Created once, on first use, thread-safely; never destroyed.
    static AppConfig* const config = new AppConfig;
    return config;
}

QString AppConfig::token() const
{
    return readString("auth/token");
}

void AppConfig::setToken(const QString& token)
{
    writeValue("auth/token", token);
}

QString AppConfig::lastUsername() const
{
    return readString("auth/lastUsername");
}

void AppConfig::setLastUsername(const QString& name)
{
    writeValue("auth/lastUsername", name);
}

bool AppConfig::rememberPassword() const
{
    return QSettings(kOrganisation, kApplication).value("auth/rememberPassword", false).toBool();
}

void AppConfig::setRememberPassword(bool on)
{
    writeValue("auth/rememberPassword", on);
}

QByteArray AppConfig::scramble(const QByteArray& bytes)
{
    QByteArray out = bytes;
    for (qsizetype i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char>(out[i] ^ kPasswordScrambleKey[i % kPasswordScrambleKey.size()]);
    }
    return out;
}

QString AppConfig::savedPassword() const
{
    const QString stored = readString("auth/savedPassword");
    if (stored.isEmpty()) {
        return {};
    }
    return QString::fromUtf8(scramble(QByteArray::fromBase64(stored.toLatin1())));
}

void AppConfig::setSavedPassword(const QString& password)
{
    if (password.isEmpty()) {
        writeValue("auth/savedPassword", QString());
        return;
    }
    writeValue("auth/savedPassword", QString::fromLatin1(scramble(password.toUtf8()).toBase64()));
}

QString AppConfig::screenshotDir() const
{
    return readString("ui/screenshotDir");
}

void AppConfig::setScreenshotDir(const QString& dir)
{
    writeValue("ui/screenshotDir", dir);
}

QString AppConfig::defaultScreenshotDir()
{
    QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (pictures.isEmpty()) {
        pictures = QDir::homePath();
    }
    return QDir(pictures).filePath(QStringLiteral("Veilcast"));
}

QString AppConfig::lastImportDir() const
{
    return readString("ui/lastImportDir");
}

void AppConfig::setLastImportDir(const QString& dir)
{
    writeValue("ui/lastImportDir", dir);
}

int AppConfig::volume() const
{
    bool ok = false;
    const int percent = QSettings(kOrganisation, kApplication)
                            .value(QStringLiteral("player/volume"), kDefaultVolume)
                            .toInt(&ok);
    return ok && percent >= 0 && percent <= 100 ? percent : kDefaultVolume;
}

void AppConfig::setVolume(int percent)
{
    writeValue("player/volume", qBound(0, percent, 100));
}

bool AppConfig::muted() const
{
    return readBool("player/muted");
}

void AppConfig::setMuted(bool muted)
{
    writeValue("player/muted", muted);
}

double AppConfig::speed() const
{
    // The control bar offers 0.5x to 2x; anything else was not stored by it.
    constexpr double kSlowest = 0.5;
    constexpr double kFastest = 2.0;
    bool ok = false;
    const double speed = QSettings(kOrganisation, kApplication)
                             .value(QStringLiteral("player/speed"), 1.0)
                             .toDouble(&ok);
    return ok && speed >= kSlowest && speed <= kFastest ? speed : 1.0;
}

void AppConfig::setSpeed(double speed)
{
    writeValue("player/speed", speed);
}

QList<PlaylistEntry> AppConfig::loadPlaylist(const QString& name) const
{
    QSettings settings(kOrganisation, kApplication);
    settings.beginGroup(playlistGroup(name));
    QList<PlaylistEntry> entries;
    const int count = settings.beginReadArray(QStringLiteral("items"));
    // The size is only a number in the file: a damaged or hand-edited one may
    // say two billion, and counting up to it would hang the start. Only the
    // indices the file really holds can give an entry, so only those are read.
    std::set<int> present;
    for (const QString& group : settings.childGroups()) {
        bool ok = false;
        const int n = group.toInt(&ok);
        if (ok && n >= 1 && n <= count) {
            present.insert(n);
        }
    }
    for (const int n : present) {
        settings.setArrayIndex(n - 1);
        const QString path = settings.value(QStringLiteral("filePath")).toString();
        if (!fileStillThere(path)) {
            continue;
        }
        PlaylistEntry e;
        e.fileId = settings.value(QStringLiteral("fileId")).toString();
        e.filePath = path;
        e.title = settings.value(QStringLiteral("title")).toString();
        e.durationMs = settings.value(QStringLiteral("durationMs"), 0).toLongLong();
        e.lastPositionMs = settings.value(QStringLiteral("lastPositionMs"), 0).toLongLong();
        e.lastPlayedAt = settings.value(QStringLiteral("lastPlayedAt")).toDateTime();
        e.hasPermission = settings.value(QStringLiteral("hasPermission"), true).toBool();
        e.audioStream = settings.value(QStringLiteral("audioStream"), -1).toInt();
        e.subtitleStream = std::max(
            settings.value(QStringLiteral("subtitleStream"), PlaylistEntry::kFileSubtitles).toInt(),
            int(PlaylistEntry::kFileSubtitles));
        entries.append(e);
    }
    settings.endArray();
    settings.endGroup();
    return entries;
}

void AppConfig::savePlaylist(const QString& name, const QList<PlaylistEntry>& entries)
{
    QSettings settings(kOrganisation, kApplication);
    settings.beginGroup(playlistGroup(name));
    settings.remove(QString());  // drop elements beyond the new count
    settings.beginWriteArray(QStringLiteral("items"));
    int index = 0;
    for (const PlaylistEntry& e : entries) {
        if (!fileStillThere(e.filePath)) {
            continue;
        }
        settings.setArrayIndex(index++);
        settings.setValue(QStringLiteral("fileId"), e.fileId);
        settings.setValue(QStringLiteral("filePath"), e.filePath);
        settings.setValue(QStringLiteral("title"), e.title);
        settings.setValue(QStringLiteral("durationMs"), e.durationMs);
        settings.setValue(QStringLiteral("lastPositionMs"), e.lastPositionMs);
        settings.setValue(QStringLiteral("lastPlayedAt"), e.lastPlayedAt);
        settings.setValue(QStringLiteral("hasPermission"), e.hasPermission);
        if (e.audioStream >= 0) {
            settings.setValue(QStringLiteral("audioStream"), e.audioStream);
        }
        if (e.subtitleStream != PlaylistEntry::kFileSubtitles) {
            settings.setValue(QStringLiteral("subtitleStream"), e.subtitleStream);
        }
    }
    settings.endArray();
    settings.endGroup();
}
