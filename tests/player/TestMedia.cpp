#include "TestMedia.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtGlobal>

#include "CryptoUtils.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

QString dashedKeyId(const QString& container)
{
    QByteArray keyId;
    QByteArray iv;
    if (!CryptoUtils::readContainerHeader(container, keyId, iv)) {
        return {};
    }
    return CryptoUtils::formatVideoId(QByteArray::fromHex(keyId));
}

SealedClip sealedClip(const QString& name)
{
    const QString dir = qEnvironmentVariable("VEILCAST_PLAYER_MEDIA");
    QFile keys(dir + QStringLiteral("/keys.jsonl"));
    if (dir.isEmpty() || !keys.open(QIODevice::ReadOnly)) {
        return {};
    }
    while (!keys.atEnd()) {
        const QJsonObject o = QJsonDocument::fromJson(keys.readLine()).object();
        const QString source = o.value(QStringLiteral("source")).toString();
        if (QFileInfo(source).completeBaseName() != name) {
            continue;
        }
        SealedClip clip;
        clip.container = o.value(QStringLiteral("container")).toString();
        clip.plain = source;
        clip.key = QByteArray::fromBase64(o.value(QStringLiteral("key")).toString().toLatin1());
        clip.iv = QByteArray::fromBase64(o.value(QStringLiteral("iv")).toString().toLatin1());
        return clip;
    }
    return {};
}

FramePtr makeSilentAudioFrame(int rate, int channels, AVSampleFormat format, int samples)
{
    FramePtr f = allocFrame();
    if (!f) {
        return {};
    }
    f->format = format;
    f->sample_rate = rate;
    av_channel_layout_default(&f->ch_layout, channels);
    f->nb_samples = samples;
    if (av_frame_get_buffer(f.get(), 0) < 0) {
        return {};
    }
    av_samples_set_silence(f->extended_data, 0, samples, channels, format);
    return f;
}
