#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <deque>
#include <utility>

#include "FrameTypes.h"
#include "PlayerState.h"

class AudioRenderer;
class MediaDecoder;
class PlaybackClock;
class QThread;
class QTimer;

// Facade and state machine of the playback engine. Given a container and its
// content key it runs a MediaDecoder on a fresh worker thread, feeds the
// audio renderer, hands pictures out through videoFrameReady, and exposes
// play/pause/seek/speed/volume/stop with a few states.
//
// Synchronisation: the clock is the master; video waits for it (or is dropped
// when too late), audio next to it is played as soon as it is decoded, and
// audio alone goes out a little ahead of the clock (see MediaDecoder). The
// sink then plays its sound later than the clock by its start-up and buffer
// (half a second or more with PulseAudio), so pictures are held here for as
// long as the sink's played count trails the clock: picture and sound meet.
//
// Everything here runs on the thread the player lives on. The worker talks
// back only through queued signals, which arrive here first: each carries the
// number of the playback it belongs to, so nothing of a torn-down playback
// (a late end-of-stream, a position, a frame) ever reaches the new one, and
// every frame is freed on every path. Sound carries the number of the seek it
// was decoded after too, so what was queued before a seek is not heard after
// it. A failed open leaves the player in Error with the reason reported.
// After a seek the clock waits at the target until the first picture from
// there is delivered: the decoder may need a while to get from the key frame
// to the target, and a clock running on meanwhile would make it drop the
// very pictures it is decoding towards.
class MediaPlayer : public QObject
{
    Q_OBJECT

public:
    explicit MediaPlayer(QObject* parent = nullptr);
    // The clock may be replaced (tests drive time themselves); it becomes a
    // child of the player.
    explicit MediaPlayer(PlaybackClock* clock, QObject* parent = nullptr);
    ~MediaPlayer() override;

    void open(const QString& path, const QByteArray& key, const QByteArray& iv);
    void pause();
    void resume();
    void seek(qint64 ms);
    void setSpeed(double x);
    void setVolume(int percent);
    void stop();

    qint64 position() const;
    qint64 duration() const;
    PlayerState state() const { return m_state; }

    AudioRenderer* audioRenderer() const { return m_audioRenderer; }
    PlaybackClock* clock() const { return m_clock; }

signals:
    void stateChanged(PlayerState state);
    void positionChanged(qint64 ms);
    void durationChanged(qint64 ms);
    void error(const QString& msg);
    // A picture that is due. The single connected receiver (the video
    // renderer) owns the frame and must av_frame_free it; with no receiver
    // connected the player frees it.
    void videoFrameReady(AVFrame* frame);

public slots:
    void onEndOfStream();
    void onDecoderError(const QString& msg);

private:
    void setState(PlayerState state);
    void teardown();
    void connectDecoder();
    void deliverVideo(AVFrame* frame);
    void releaseSeekHold();
    void queueVideo(AVFrame* frame);
    void onVideoDue();
    void dropQueuedVideo();
    void anchorSound(qint64 heardMs);
    double heardMs() const;
    qint64 soundLagMs() const;

    // All fields: the player's thread only.
    MediaDecoder* m_decoder = nullptr;         // current decoder, deleted by teardown
    AudioRenderer* m_audioRenderer = nullptr;  // child
    PlaybackClock* m_clock = nullptr;          // child
    QThread* m_decoderThread = nullptr;        // child, null when no playback
    PlayerState m_state = PlayerState::Idle;
    // Number of the current playback; bumped by every teardown, so queued
    // signals of an earlier playback can be told apart and discarded.
    quint64 m_playback = 0;
    // Number of the latest seek of the current playback: sound decoded
    // before it is dropped on arrival.
    quint64 m_audioGeneration = 0;
    // The clock waits for the first picture of this seek; 0 when not.
    quint64 m_holdForSeek = 0;
    // Pictures held back until the sound of their time is heard: the sink
    // plays what it is given only after its own start-up and buffer, which
    // the clock pacing the decoder does not see. Each with its monotonic
    // arrival time in ns (it is due that plus the sink's lag), in arrival
    // order; all owned here.
    std::deque<std::pair<qint64, AVFrame*>> m_heldVideo;
    QTimer* m_videoTimer = nullptr;    // child; fires when the first held picture is due
    bool m_endAfterHeldVideo = false;  // the end came while pictures were still held
    // Where the sink's played count meets the media: at m_soundAnchorUs of
    // processedUSecs() the sound heard was at m_soundAnchorMs, played at
    // m_soundSpeed since.
    qint64 m_soundAnchorMs = 0;
    qint64 m_soundAnchorUs = -1;  // -1: no sound since the open or seek
    qint64 m_soundStartMs = 0;    // where the clock started at the open or seek
    double m_soundSpeed = 1.0;
};
