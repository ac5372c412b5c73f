#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include "FrameTypes.h"
#include "PlayerState.h"

class AudioRenderer;
class MediaDecoder;
class PlaybackClock;
class QThread;

// Facade and state machine of the playback engine. Given a container and its
// content key it runs a MediaDecoder on a fresh worker thread, feeds the
// audio renderer, hands pictures out through videoFrameReady, and exposes
// play/pause/seek/speed/volume/stop with a few states.
//
// Synchronisation: the clock is the master; video waits for it (or is dropped
// when too late), audio next to it is played as soon as it is decoded, and
// audio alone goes out a little ahead of the clock (see MediaDecoder).
//
// Everything here runs on the thread the player lives on. The worker talks
// back only through queued signals, which arrive here first: each carries the
// number of the playback it belongs to, so nothing of a torn-down playback
// (a late end-of-stream, a position, a frame) ever reaches the new one, and
// every frame is freed on every path. Sound carries the number of the seek it
// was decoded after too, so what was queued before a seek is not heard after
// it. A failed open leaves the player in Error with the reason reported.
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
};
