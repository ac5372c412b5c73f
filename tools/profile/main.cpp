// Prepares a settings profile for demonstrations and end-to-end runs: the
// login card prefilled with an account (the remembered-password feature) and
// that account's playlist holding given containers. It writes through the
// program's own settings store, so XDG_CONFIG_HOME picks the profile.
//
//   veilcast-profile [--username NAME --password PASS]
//                    [--user-id ID --video PATH [--video PATH...]] [--notice-shown]
#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>
#include <cstdio>

#include "AppConfig.h"

namespace {

int usage()
{
    std::fputs(
        "usage: veilcast-profile [--username NAME --password PASS] "
        "[--user-id ID --video PATH...] [--notice-shown]\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QString username;
    QString password;
    QString userId;
    QStringList videos;
    bool noticeShown = false;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        const bool hasValue = i + 1 < args.size();
        if (arg == QLatin1String("--username") && hasValue) {
            username = args.at(++i);
        } else if (arg == QLatin1String("--password") && hasValue) {
            password = args.at(++i);
        } else if (arg == QLatin1String("--user-id") && hasValue) {
            userId = args.at(++i);
        } else if (arg == QLatin1String("--video") && hasValue) {
            videos << args.at(++i);
        } else if (arg == QLatin1String("--notice-shown")) {
            noticeShown = true;
        } else {
            return usage();
        }
    }
    if (!videos.isEmpty() && userId.isEmpty()) {
        return usage();
    }

    AppConfig* config = AppConfig::instance();
    if (!username.isEmpty()) {
        config->setLastUsername(username);
        config->setRememberPassword(!password.isEmpty());
        config->setSavedPassword(password);
    }

    QList<PlaylistEntry> entries;
    for (const QString& video : std::as_const(videos)) {
        const QFileInfo info(video);
        if (!info.isFile()) {
            std::fprintf(stderr, "veilcast-profile: not a file: %s\n", qPrintable(video));
            return 1;
        }
        PlaylistEntry entry;
        entry.fileId = info.absoluteFilePath();
        entry.filePath = info.absoluteFilePath();
        entry.title = info.completeBaseName();
        entries << entry;
    }
    if (!userId.isEmpty()) {
        config->savePlaylist(userId, entries);
    }
    if (noticeShown) {
        config->setProtectionNoticeShown(true);
    }
    std::printf("%s\n", qPrintable(AppConfig::storeLocation()));
    return 0;
}
