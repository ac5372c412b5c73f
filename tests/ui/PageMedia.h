#pragma once

// Clips for the player page tests: made with the ffmpeg CLI at test time and
// sealed with our own container writer.
#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

#include "ContainerWriter.h"
#include "CryptoUtils.h"
#include "Ffmpeg.h"

struct PageClip
{
    QString path;   // the container
    QString keyId;  // dashed, as the server knows it
    QByteArray key;
    QByteArray iv;

    bool isValid() const { return !path.isEmpty() && key.size() == 32; }
};

inline PageClip sealFile(const QString& source, const QString& container)
{
    const ContainerWriter::Result r = ContainerWriter::write(source, container);
    if (!r.ok) {
        return {};
    }
    return {r.outPath, CryptoUtils::formatVideoId(r.videoId), r.key, r.iv};
}
