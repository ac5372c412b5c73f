#pragma once

#include <QFuture>
#include <QString>

// Tells whether a source opens as audio or video at all, before a key is made
// and registered for it: a file of zeros or a document renamed to .mp4 would
// otherwise become a container nobody can ever play. The look is shallow on
// purpose (a small probe of the first part of the file), so it takes
// milliseconds on a local disk; whether every frame decodes is not its
// business.
class MediaProbe
{
public:
    MediaProbe() = delete;

    enum class Verdict
    {
        Media,       // a demuxer took it and found an audio or video stream
        NotMedia,    // read, but nothing playable in it
        Unreadable,  // missing, not a regular file, or not readable
    };

    // At most this much of the file is examined for the streams.
    static constexpr int kProbeBytes = 1 << 20;
    // A file that still has not told its streams after this long (a stalled
    // network share, a pathological header) counts as not playable.
    static constexpr int kTimeLimitMs = 10000;

    // Blocks for the file's first reads; call it off the GUI thread.
    static Verdict check(const QString& path);
    // check() on the process-wide pool; the future ends with the verdict.
    static QFuture<Verdict> checkLater(const QString& path);

    // The user's sentence for a verdict other than Media.
    static QString messageFor(Verdict verdict);
};
