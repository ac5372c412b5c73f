#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

// One playlist row, copied by value. All fields but playing are persisted by
// AppConfig; playing is true only while the row is the one being played.
struct PlaylistEntry
{
    QString fileId;
    QString filePath;
    QString title;
    qint64 durationMs = 0;
    qint64 lastPositionMs = 0;
    QDateTime lastPlayedAt;
    bool hasPermission = true;
    // The sound track the viewer chose for this file (its stream number);
    // -1: the file's own default.
    int audioStream = -1;
    // The subtitle track chosen for this file: kFileSubtitles for what the
    // file marks as default, -1 for none, else its stream number.
    static constexpr int kFileSubtitles = -2;
    int subtitleStream = kFileSubtitles;
    bool playing = false;
};

Q_DECLARE_METATYPE(PlaylistEntry)
