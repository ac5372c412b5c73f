#pragma once

#include <QByteArray>
#include <QString>

// A clip made by make_media.sh: the plain source, its container and the key
// material the sealing printed.
struct SealedClip
{
    QString container;
    QString plain;
    QByteArray key;
    QByteArray iv;

    bool isValid() const { return !container.isEmpty() && key.size() == 32; }
};

// By the source's base name ("av", "bframes", ...); invalid when missing.
SealedClip sealedClip(const QString& name);
