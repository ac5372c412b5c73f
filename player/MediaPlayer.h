#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include "BitmapSubtitles.h"
#include "FrameTypes.h"
#include "MediaInfo.h"
#include "PlayerState.h"
#include "SubtitleRenderer.h"

class AudioRenderer;
class MediaDecoder;
class PlaybackClock;
class QThread;
class QTimer;

// Facade and state machine of the playback engine. Given a container and its
// content key it runs a MediaDecoder on a fresh worker thread, feeds the
// audio renderer, hands pictures out through videoFrameReady, and exposes
// play/pause/seek/speed/volume/mute/stop with a few states.
//
// Synchronisation: while sound plays, the sound is the master. The renderer
// knows which moment of the media is leaving the sink; every kSyncIntervalMs
// the clock is set to it, and the decoder paces pictures (and the sound it
// sends ahead) against that clock. Where there is no sound (no audio stream,
// no sound device, the sound ran dry, a speed the sound cannot follow) the
// clock runs on the wall clock alone. position() is that clock: what is seen
// and heard.
//
// Every start (open, seek, resume) begins with the clock held: first until
// the first picture of that start is shown (the decoder may need a while to
// get from a key frame to the target), with the sound held back meanwhile;
// then until that sound is heard, since a sound server starts a stream only
// some tens of milliseconds after it is fed. Each wait is bounded, so a
// picture or sound that never comes costs a moment, never the playback.
//
// Everything here runs on the thread the player lives on. The worker talks
// back only through queued signals, which arrive here first: each carries the
// number of the playback it belongs to, so nothing of a torn-down playback
// (a late end-of-stream, a position, a frame) ever reaches the new one, and
// every frame is freed on every path. Frames carry the number of the seek
// they were decoded after too, so nothing queued before a seek is seen or
// heard after it. A failed open leaves the player in Error with the reason
// reported. The end is reported once the last sound has been heard.
class MediaPlayer : public QObject
{
    Q_OBJECT

public:
    // The clock is set to the sound this often: a tenth of a 25 fps frame
    // period would be finer than anyone sees; this is a quarter of it.
    static constexpr int kSyncIntervalMs = 10;
    // A first picture taking longer than this is not waited for: the clock
    // and sound go on and the late pictures catch up (a damaged stream, or
    // a build many times slower than a release).
    static constexpr qint64 kPictureWaitMs = 1500;
    // A sound server normally starts a fed stream within 30-60 ms; one that
    // has not after this is not waited for, and the wall clock runs.
    static constexpr qint64 kSoundStartWaitMs = 300;
    // After the decoder's end the last sound is heard within what is queued;
    // past that and this much more the end is reported all the same.
    static constexpr qint64 kEndWaitMs = 1000;

    explicit MediaPlayer(QObject* parent = nullptr);
    // The clock may be replaced (tests drive time themselves); it becomes a
    // child of the player.
    explicit MediaPlayer(PlaybackClock* clock, QObject* parent = nullptr);
    ~MediaPlayer() override;

    void open(const QString& path, const QByteArray& key, const QByteArray& iv);
    void pause();
    void resume();
    void seek(qint64 ms, SeekMode mode = SeekMode::Exact);
    void setSpeed(double x);
    // Another sound track of the open file, from the current position; the
    // picture stays where it is. False when there is no such sound track.
    bool setAudioTrack(int streamIndex);
    // The subtitle track (-1: none) from the current position; false when
    // there is no such track.
    bool setSubtitleTrack(int streamIndex);
    int subtitleTrack() const;
    // The subtitles on screen now, drawn for a picture shown at `size`;
    // null when none are.
    QImage subtitleImage(const QSize& size);
    // The stream whose sound plays; -1 with none.
    int audioTrack() const;
    void setVolume(int percent);
    // The sink keeps running in silence, so the sound stays the clock.
    void setMuted(bool muted);
    bool isMuted() const;
    void stop();

    qint64 position() const;
    qint64 duration() const;
    PlayerState state() const { return m_state; }
    // Chapters and tracks of the open file; empty before it opened.
    const MediaInfo& mediaInfo() const { return m_info; }

    AudioRenderer* audioRenderer() const { return m_audioRenderer; }
    PlaybackClock* clock() const { return m_clock; }

signals:
    void stateChanged(PlayerState state);
    void positionChanged(qint64 ms);
    void durationChanged(qint64 ms);
    void mediaInfoChanged(const MediaInfo& info);
    // What subtitleImage gives may have changed without a new picture (an
    // event arrived, the track changed): a paused picture is drawn again.
    void subtitlesChanged();
    void error(const QString& msg);
    // A picture that is due, of the current playback and position.
    void videoFrameReady(FrameRef frame);

public slots:
    void onEndOfStream();
    void onDecoderError(const QString& msg);

private:
    void setState(PlayerState state);
    void teardown();
    void connectDecoder();
    void connectSubtitles(quint64 playback);
    void onVideoFrame(const FrameRef& frame);
    // Holds the clock and the sound for the first picture and sound of a
    // start at the clock's current position.
    void holdForStart();
    void endPictureWait();
    // The clock follows the sound; the holds end; a reported end is
    // completed once the sound has played out.
    void syncToSound();
    void updateClock();
    void finishEnd();

    // All fields: the player's thread only.
    MediaDecoder* m_decoder = nullptr;         // current decoder, deleted by teardown
    AudioRenderer* m_audioRenderer = nullptr;  // child
    PlaybackClock* m_clock = nullptr;          // child
    QThread* m_decoderThread = nullptr;        // child, null when no playback
    QTimer* m_syncTimer = nullptr;             // child; runs while playing
    PlayerState m_state = PlayerState::Idle;
    MediaInfo m_info;
    SubtitleRenderer m_subtitles;       // the current file's text subtitles
    BitmapSubtitles m_bitmapSubtitles;  // or its bitmap subtitles
    // Number of the current playback; bumped by every teardown, so queued
    // signals of an earlier playback can be told apart and discarded.
    quint64 m_playback = 0;
    // Number of the latest seek of the current playback: pictures and sound
    // decoded before it are dropped on arrival.
    quint64 m_seekGeneration = 0;
    // The clock waits for the first picture of the latest start; the sound
    // waits with it. Since m_waitPictureSinceNs (monotonic).
    bool m_waitPicture = false;
    qint64 m_waitPictureSinceNs = 0;
    // Then the clock waits until that start's sound is heard. Since
    // m_waitSoundSinceNs, counted from the end of the picture wait.
    bool m_waitSound = false;
    qint64 m_waitSoundSinceNs = 0;
    // The decoder has reported the end; it is passed on once the sound has
    // played out, or at m_endDeadlineNs.
    bool m_endPending = false;
    qint64 m_endDeadlineNs = 0;
};
