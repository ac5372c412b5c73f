#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

// What a file holds besides its picture and sound stream: its chapters and
// the tracks a viewer may choose between. Read once when the file opens.

struct Chapter
{
    qint64 startMs = 0;
    qint64 endMs = 0;
    QString title;  // may be empty

    bool operator==(const Chapter& o) const
    {
        return startMs == o.startMs && endMs == o.endMs && title == o.title;
    }
};

struct MediaTrack
{
    enum class Kind
    {
        Audio,
        Subtitle,
    };
    Kind kind = Kind::Audio;
    int streamIndex = -1;  // the stream's number in the file
    QString language;      // as tagged (ISO 639, e.g. "chi", "eng"); may be empty
    QString title;         // as tagged; may be empty
    QString codec;         // decoder name, e.g. "aac", "subrip"
    bool isDefault = false;
};

struct MediaInfo
{
    QList<Chapter> chapters;  // by start time
    qint64 frameMs = 0;       // one picture's time at the nominal rate; 0 without pictures
    QList<MediaTrack> audioTracks;
    QList<MediaTrack> subtitleTracks;
};
Q_DECLARE_METATYPE(MediaInfo)

namespace Chapters {

// Within this much of a chapter's start, "previous" means the one before
// rather than the start of this one (the key pressed twice walks back).
constexpr qint64 kBackThresholdMs = 3000;

// Index of the chapter playing at `ms`; -1 before the first or with none.
int indexAt(const QList<Chapter>& chapters, qint64 ms);
// Start of the next chapter after `ms`; -1 when there is none.
qint64 nextStart(const QList<Chapter>& chapters, qint64 ms);
// The current chapter's start, or the previous one's when `ms` is close to
// the current start; -1 when there is none.
qint64 previousStart(const QList<Chapter>& chapters, qint64 ms);

}  // namespace Chapters
