#include "MediaPlayer.h"

#include <QCoreApplication>
#include <QMetaMethod>
#include <QThread>

#include "AudioRenderer.h"
#include "DecryptingInput.h"
#include "MediaDecoder.h"
#include "PlaybackClock.h"

MediaPlayer::MediaPlayer(QObject* parent) : MediaPlayer(nullptr, parent) {}

MediaPlayer::MediaPlayer(PlaybackClock* clock, QObject* parent) : QObject(parent)
{
    qRegisterMetaType<PlayerState>("PlayerState");
    qRegisterMetaType<AVFrame*>("AVFrame*");
    m_audioRenderer = new AudioRenderer(this);
    m_clock = clock ? clock : new PlaybackClock(this);
    m_clock->setParent(this);
}

MediaPlayer::~MediaPlayer()
{
    teardown();
    // Frames the worker posted before it was joined are still in our event
    // queue; deliver them now (they belong to a finished playback and are
    // only freed) rather than let them die unfreed with this object.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void MediaPlayer::setState(PlayerState state)
{
    if (state == m_state) {
        return;
    }
    m_state = state;
    emit stateChanged(state);
}

void MediaPlayer::deliverVideo(AVFrame* frame)
{
    if (isSignalConnected(QMetaMethod::fromSignal(&MediaPlayer::videoFrameReady))) {
        emit videoFrameReady(frame);
    } else {
        av_frame_free(&frame);
    }
}

void MediaPlayer::connectDecoder()
{
    // Every queued signal is checked against the playback it was sent for.
    const quint64 playback = m_playback;
    connect(
        m_decoder, &MediaDecoder::videoFrameReady, this,
        [this, playback](AVFrame* frame) {
            if (playback != m_playback) {
                av_frame_free(&frame);
                return;
            }
            deliverVideo(frame);
        },
        Qt::QueuedConnection);
    connect(
        m_decoder, &MediaDecoder::audioFrameReady, this,
        [this, playback](AVFrame* frame) {
            // Sound decoded before the latest seek was queued while the
            // renderer threw away what it held; played now it would be heard
            // after the jump.
            if (playback != m_playback || frameSeekGeneration(frame) < m_audioGeneration) {
                av_frame_free(&frame);
                return;
            }
            m_audioRenderer->onAudioFrame(frame);
        },
        Qt::QueuedConnection);
    connect(
        m_decoder, &MediaDecoder::positionChanged, this,
        [this, playback](qint64 ms) {
            if (playback == m_playback) {
                emit positionChanged(ms);
            }
        },
        Qt::QueuedConnection);
    connect(
        m_decoder, &MediaDecoder::durationChanged, this,
        [this, playback](qint64 ms) {
            if (playback == m_playback) {
                emit durationChanged(ms);
            }
        },
        Qt::QueuedConnection);
    connect(
        m_decoder, &MediaDecoder::endOfStream, this,
        [this, playback] {
            if (playback == m_playback) {
                onEndOfStream();
            }
        },
        Qt::QueuedConnection);
    connect(
        m_decoder, &MediaDecoder::errorOccurred, this,
        [this, playback](const QString& msg) {
            if (playback == m_playback) {
                onDecoderError(msg);
            }
        },
        Qt::QueuedConnection);
    connect(m_decoderThread, &QThread::started, m_decoder, &MediaDecoder::decodeLoop);
}

void MediaPlayer::open(const QString& path, const QByteArray& key, const QByteArray& iv)
{
    Q_UNUSED(iv);  // the bridge takes the counter block from the header
    teardown();

    QString refusal;
    AVIOContext* input = openDecryptingInput(path, key, &refusal);
    if (!input) {
        // Whatever played before is gone: a caller waiting for this open
        // must see it failed, not a state left over from the last one.
        emit error(refusal);
        setState(PlayerState::Error);
        return;
    }

    m_decoderThread = new QThread(this);
    m_decoder = new MediaDecoder;
    m_decoder->setClock(m_clock);
    m_decoder->moveToThread(m_decoderThread);
    connectDecoder();

    // The queued copy of an open failure is discarded by the teardown below;
    // catch the sentence here and report it once the teardown is done.
    QString openError;
    const QMetaObject::Connection capture = connect(
        m_decoder, &MediaDecoder::errorOccurred, this,
        [&openError](const QString& msg) { openError = msg; }, Qt::DirectConnection);
    const bool opened = m_decoder->open(input);
    disconnect(capture);

    if (opened) {
        m_clock->restart(0);
        m_decoderThread->start(QThread::InheritPriority);
        setState(PlayerState::Playing);
        return;
    }

    teardown();
    const quint64 playback = m_playback;
    QMetaObject::invokeMethod(
        this,
        [this, playback, openError] {
            if (playback == m_playback) {
                onDecoderError(openError);
            }
        },
        Qt::QueuedConnection);
}

void MediaPlayer::teardown()
{
    ++m_playback;
    m_audioGeneration = 0;
    if (m_decoderThread) {
        m_decoder->stop();
        m_decoder->setPaused(false);
        m_decoderThread->quit();
        m_decoderThread->wait();
        // Only now: until the join the worker may still emit, and a frame
        // emitted into a cut connection would never be freed.
        disconnect(m_decoder, nullptr, nullptr, nullptr);
        m_decoder->close();
        delete m_decoder;
        m_decoder = nullptr;
        delete m_decoderThread;
        m_decoderThread = nullptr;
    }
    m_clock->reset();
}

void MediaPlayer::pause()
{
    if (m_state != PlayerState::Playing) {
        return;
    }
    if (m_decoder) {
        m_decoder->setPaused(true);
    }
    m_clock->pause();
    setState(PlayerState::Paused);
}

void MediaPlayer::resume()
{
    if (m_state != PlayerState::Paused) {
        return;
    }
    if (m_decoder) {
        m_decoder->setPaused(false);
    }
    m_clock->resume();
    setState(PlayerState::Playing);
}

void MediaPlayer::seek(qint64 ms)
{
    if (m_decoder) {
        m_audioGeneration = m_decoder->requestSeek(ms);
    }
    m_audioRenderer->reset();
    m_clock->seekTo(ms);
}

void MediaPlayer::setSpeed(double x)
{
    m_clock->setSpeed(x);
}

void MediaPlayer::setVolume(int percent)
{
    m_audioRenderer->setVolume(static_cast<float>(percent / 100.0));
}

void MediaPlayer::stop()
{
    teardown();
    setState(PlayerState::Stopped);
}

qint64 MediaPlayer::position() const
{
    return m_clock->positionMs();
}

qint64 MediaPlayer::duration() const
{
    return m_decoder ? m_decoder->durationMs() : 0;
}

void MediaPlayer::onEndOfStream()
{
    setState(PlayerState::Stopped);
}

void MediaPlayer::onDecoderError(const QString& msg)
{
    emit error(msg);
    setState(PlayerState::Error);
}
