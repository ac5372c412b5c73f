#pragma once

#include <QByteArray>
#include <QString>

#include "FrameTypes.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

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

// The dashed id the server knows a container's key by; empty when its
// header does not read.
QString dashedKeyId(const QString& container);

// A frame of silence in the given format, as a decoder would hand it out;
// null if FFmpeg cannot allocate it. The receiver frees it.
FramePtr makeSilentAudioFrame(int rate, int channels, AVSampleFormat format = AV_SAMPLE_FMT_FLTP,
                              int samples = 1024);
