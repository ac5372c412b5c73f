// The settings file as the program finds it at start: anything at all, from
// another version, an editor or a broken disk. The input is written as the
// store's file in a private folder and every playlist is loaded from it.
// Each entry kept must name a file that exists.
#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

#include "AppConfig.h"

namespace {

QTemporaryDir* scratch = nullptr;
QString settingsPath;
qint64 writes = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    scratch = new QTemporaryDir;
    if (!scratch->isValid()) {
        std::abort();
    }
    // The store lives under XDG_CONFIG_HOME; point it at the private folder
    // before Qt looks it up for the first time.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch->path()));
    new QCoreApplication(*argc, *argv);
    settingsPath = scratch->filePath(QStringLiteral("Veilcast/Veilcast.conf"));
    if (!QDir().mkpath(QFileInfo(settingsPath).path())) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Values stored as "@Variant(...)" or "@DateTime(...)" are decoded by
    // Qt's QDataStream, which allocates whatever length prefix the blob
    // claims (19 GB from a 568-byte file); that is Qt's own code, reported,
    // and it would drown everything else this target can find.
    const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (text.contains("@Variant(") || text.contains("@DateTime(")) {
        return 0;
    }
    {
        QFile file(settingsPath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(text) != text.size()) {
            std::abort();
        }
        // Qt re-reads a settings file only when its size or time changed; a
        // fresh time per input makes each one read, however fast they come.
        file.setFileTime(QDateTime::fromSecsSinceEpoch(1'000'000'000 + ++writes),
                         QFileDevice::FileModificationTime);
    }
    for (const QString& name : {QString(), QStringLiteral("fuzz")}) {
        for (const PlaylistEntry& e : AppConfig::instance()->loadPlaylist(name)) {
            if (!QFileInfo::exists(e.filePath)) {
                std::abort();
            }
        }
    }
    return 0;
}
