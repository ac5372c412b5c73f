#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <memory>

#include "PlaylistEntry.h"

// Typed access to the per-user settings store (organisation and application
// "Veilcast"). Holds no state: every call opens its own QSettings, touches
// one key or one playlist group and lets it go, so it is safe from any thread.
class QSettings;

class AppConfig : public QObject
{
    Q_OBJECT

public:
    static AppConfig* instance();

    // The store itself, for a caller that keeps a table of its own in it
    // (the key store). Everything else goes through the typed calls below.
    static std::unique_ptr<QSettings> store();
    // Where the store lives (a file, or a registry key on Windows).
    static QString storeLocation();

    // The device id made up once on a machine that offers none; empty until
    // then.
    QString deviceFallbackId() const;
    void setDeviceFallbackId(const QString& id);

    // Whether the viewer has acknowledged the protection notice.
    bool protectionNoticeShown() const;
    void setProtectionNoticeShown(bool shown);

    // The merchant's finished encryptions, newest state replacing the old.
    struct EncryptRecord
    {
        QString srcPath;
        QString outPath;
        QString videoId;
        QDateTime finishedAt;
    };
    void saveEncryptHistory(const QList<EncryptRecord>& records);

    QString token() const;
    void setToken(const QString& token);

    QString lastUsername() const;
    void setLastUsername(const QString& name);

    bool rememberPassword() const;
    void setRememberPassword(bool on);

    // Scrambled at rest against casual reading; this is not encryption.
    QString savedPassword() const;
    void setSavedPassword(const QString& password);

    // Empty until the user picks a folder in the settings dialog.
    QString screenshotDir() const;
    void setScreenshotDir(const QString& dir);
    // Where screenshots go while the user has picked no folder: "Veilcast"
    // in the user's pictures folder, a place the user can always write to
    // and find again (the program's own folder may be read-only).
    static QString defaultScreenshotDir();

    QString lastImportDir() const;
    void setLastImportDir(const QString& dir);

    // The player's sound and speed as the user last left them. A stored value
    // out of range (a hand-edited file) reads as the default.
    static constexpr int kDefaultVolume = 80;
    int volume() const;
    void setVolume(int percent);
    bool muted() const;
    void setMuted(bool muted);
    double speed() const;
    void setSpeed(double speed);

    // Entries whose file no longer exists are dropped on load and on save.
    QList<PlaylistEntry> loadPlaylist(const QString& name) const;
    void savePlaylist(const QString& name, const QList<PlaylistEntry>& entries);

    // The reversible byte scrambling used for the saved password, exposed so
    // its stored form can be checked.
    static QByteArray scramble(const QByteArray& bytes);

private:
    AppConfig() = default;
};
