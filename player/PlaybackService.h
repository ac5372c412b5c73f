#pragma once

#include <QByteArray>
#include <QObject>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QString>

#include "PlayerState.h"

class KeyManager;
class MediaPlayer;
#include "PlaylistModel.h"

// Turns a playlist row into playback: checks the container header, asks the
// key manager for the content key, and once the key is there opens the file
// in the media player, resuming five seconds before the stored position.
// Keeps the rows' playing flag, resume position and last-played time in step
// with the player, and remembers the current file's key for replays.
//
// A chosen row becomes the current row only when its key arrives: until then
// the file already playing goes on and keeps its row, so a row that cannot
// play (damaged header, refused key) never receives that file's pause,
// position or end. Only the answer to the last request counts; an earlier
// request's answer, or one for a row removed meanwhile, is dropped. A file
// that has ended (or failed) is different: it has nothing left to show but a
// last picture, so a choice that fails after it lets it go, and the page
// speaks of the failed row alone.
//
// Rows are tracked as persistent indexes, so removals (the user's, or the
// model's eviction on a full list) never leave the current row naming a
// neighbour. GUI thread only.
class PlaybackService : public QObject
{
    Q_OBJECT

public:
    // Resuming a little early lets the viewer pick the thread up again.
    static constexpr qint64 kResumeLeadMs = 5000;
    // seekBy never lands in the last second, where the file would just end.
    static constexpr qint64 kSeekEndMarginMs = 1000;

    PlaybackService(MediaPlayer* player, KeyManager* keyManager, QObject* parent = nullptr);
    ~PlaybackService() override;

    void setPlaylistModel(PlaylistModel* model);
    PlaylistModel* playlistModel() const { return m_playlist; }

    // The row being played, -1 for none.
    int currentIndex() const;
    // The row whose key is awaited, -1 for none.
    int pendingIndex() const;
    QString currentPath() const { return m_currentPath; }

    void playIndex(int row);
    void playNext();
    void playPrevious();
    void togglePlayPause();
    void replay();
    void savePosition();
    void seek(qint64 ms);
    // A key frame near ms at once: for a dragged seek bar.
    void previewSeek(qint64 ms);
    void seekBy(qint64 deltaMs);
    void setSpeed(double x);
    void setVolume(int percent);
    // Silence apart from the volume, so unmuting gives back the same level.
    void setMuted(bool muted);
    // Another sound track of the file playing, kept with its row for the
    // next time it plays. False when the file has no such track.
    bool setAudioTrack(int stream);
    // The same for subtitles (-1: none), kept with the row as well.
    bool setSubtitleTrack(int stream);

    // Where a stored position resumes; -1 means from the start, no seek.
    static qint64 resumePosition(qint64 lastPositionMs);
    // The target of a relative seek; a duration <= 0 means unknown.
    static qint64 seekByTarget(qint64 positionMs, qint64 deltaMs, qint64 durationMs);

public slots:
    // The sidebar's removal, announced before the model drops the row. The
    // model's own removal signal does the bookkeeping; this only stops the
    // current file at once.
    void onItemRemoved(int row);
    void onKeyReady(QString fileId, QByteArray key, QByteArray iv);
    void onKeyError(QString fileId, QString reason);

signals:
    void playbackStarted(QString filePath, int index);
    // A chosen row did not start: its header or its key was refused. Comes
    // before the reason (fileInvalid or keyFetchFailed), once an ended file
    // has been let go; one still playing or paused stays current.
    void startFailed(int row);
    void keyFetchFailed(QString reason);
    void fileInvalid(QString reason);

private:
    void onPlayerStateChanged(PlayerState state);
    void onRowsAboutToBeRemoved(const QModelIndex& parent, int first, int last);
    void onModelReset();
    void stopCurrent();
    // Lets an ended or failed current file go, then announces the failure.
    void failStart(int row);
    void clearPending();
    void forgetKey();

    // All fields: GUI thread only.
    MediaPlayer* m_player;               // not owned
    KeyManager* m_keyManager;            // not owned
    QPointer<PlaylistModel> m_playlist;  // not owned
    QPersistentModelIndex m_current;     // row being played; invalid for none
    QString m_currentPath;               // file handed to the player, empty for none
    QByteArray m_currentKey;             // its content key, wiped when replaced
    QByteArray m_currentIv;              // its counter block
    QPersistentModelIndex m_pending;     // row whose key is awaited
    QString m_pendingFileId;             // the fileId that request was made with
    QByteArray m_pendingIv;              // counter block from that row's header
};
