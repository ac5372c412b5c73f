#include "MediaPlayer.h"

#include <QAudioSink>
#include <QCoreApplication>
#include <QMetaMethod>
#include <QThread>
#include <QTimer>
#include <algorithm>

#include "AudioRenderer.h"
#include "DecryptingInput.h"
#include "MediaDecoder.h"
#include "PlaybackClock.h"

namespace {

// Longest the pictures are held back for the sound; a sink reporting more
// than this is taken to be stuck, and the pictures go on by the clock.
constexpr qint64 kMaxSoundLagMs = 1500;
// Below this the picture is shown at once: a frame's worth of difference
// is not seen.
constexpr qint64 kMinSoundLagMs = 10;
constexpr qint64 kNsPerMs = 1'000'000;
// At most this many pictures are held (about a second of 60 fps, some
// 200 MB at 1080p); a sink lagging further costs lip sync, not memory.
constexpr size_t kMaxHeldPictures = 64;
// While pictures are held the sink's lag is looked at this often.
constexpr qint64 kLagRecheckMs = 10;

}  // namespace

MediaPlayer::MediaPlayer(QObject* parent) : MediaPlayer(nullptr, parent) {}

MediaPlayer::MediaPlayer(PlaybackClock* clock, QObject* parent) : QObject(parent)
{
    qRegisterMetaType<PlayerState>("PlayerState");
    qRegisterMetaType<AVFrame*>("AVFrame*");
    m_audioRenderer = new AudioRenderer(this);
    m_clock = clock ? clock : new PlaybackClock(this);
    m_clock->setParent(this);
    m_videoTimer = new QTimer(this);
    m_videoTimer->setSingleShot(true);
    m_videoTimer->setTimerType(Qt::PreciseTimer);
    connect(m_videoTimer, &QTimer::timeout, this, &MediaPlayer::onVideoDue);
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
            if (m_holdForSeek && frameSeekGeneration(frame) >= m_holdForSeek) {
                releaseSeekHold();
            }
            queueVideo(frame);
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
            if (m_soundAnchorUs < 0) {
                // The first sound since the open or seek starts where the
                // clock was started; the sink counts from before it.
                const QAudioSink* sink = m_audioRenderer->sink();
                m_soundAnchorMs = m_soundStartMs;
                m_soundAnchorUs = sink ? sink->processedUSecs() : 0;
                m_soundSpeed = m_clock->speed();
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
        // The sink's played count starts over with this playback's sound.
        m_audioRenderer->reset();
        m_soundAnchorUs = -1;
        m_soundStartMs = 0;
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

void MediaPlayer::releaseSeekHold()
{
    m_holdForSeek = 0;
    if (m_state == PlayerState::Playing) {
        m_clock->resume();
    }
}

void MediaPlayer::anchorSound(qint64 heardMs)
{
    const QAudioSink* sink = m_audioRenderer->sink();
    m_soundAnchorMs = heardMs;
    m_soundAnchorUs = sink ? sink->processedUSecs() : 0;
    m_soundSpeed = m_clock->speed();
}

double MediaPlayer::heardMs() const
{
    const QAudioSink* sink = m_audioRenderer->sink();
    const qint64 played = sink ? sink->processedUSecs() - m_soundAnchorUs : 0;
    return double(m_soundAnchorMs) + double(played) / 1000.0 * m_soundSpeed;
}

qint64 MediaPlayer::soundLagMs() const
{
    const QAudioSink* sink = m_audioRenderer->sink();
    // Only a sink that is playing tells where the sound is; once it has
    // run dry (the sound ended, or none came yet) the clock alone counts.
    if (!sink || m_soundAnchorUs < 0 || sink->state() != QAudio::ActiveState ||
        m_clock->isPaused()) {
        return 0;
    }
    const double lagMs = (double(m_clock->positionMs()) - heardMs()) / m_clock->speed();
    return lagMs > double(kMaxSoundLagMs) ? 0 : static_cast<qint64>(lagMs);
}

void MediaPlayer::queueVideo(AVFrame* frame)
{
    if (m_heldVideo.empty() && soundLagMs() < kMinSoundLagMs) {
        deliverVideo(frame);
        return;
    }
    m_heldVideo.emplace_back(PlaybackClock::monotonicNs(), frame);
    if (m_heldVideo.size() > kMaxHeldPictures) {
        // Memory wins over lip sync: the oldest goes out now.
        AVFrame* oldest = m_heldVideo.front().second;
        m_heldVideo.pop_front();
        deliverVideo(oldest);
    }
    if (!m_videoTimer->isActive()) {
        onVideoDue();
    }
}

void MediaPlayer::onVideoDue()
{
    // The lag is taken anew each time: while the sink starts up it grows,
    // and pictures held meanwhile must wait for it too.
    const qint64 lagNs = soundLagMs() * kNsPerMs;
    const qint64 now = PlaybackClock::monotonicNs();
    while (!m_heldVideo.empty() && m_heldVideo.front().first + lagNs <= now) {
        AVFrame* frame = m_heldVideo.front().second;
        m_heldVideo.pop_front();
        deliverVideo(frame);
    }
    if (!m_heldVideo.empty()) {
        const qint64 waitMs = (m_heldVideo.front().first + lagNs - now + kNsPerMs - 1) / kNsPerMs;
        m_videoTimer->start(static_cast<int>(std::min(waitMs, kLagRecheckMs)));
    } else if (m_endAfterHeldVideo) {
        m_endAfterHeldVideo = false;
        onEndOfStream();
    }
}

void MediaPlayer::dropQueuedVideo()
{
    m_videoTimer->stop();
    m_endAfterHeldVideo = false;
    for (auto& held : m_heldVideo) {
        av_frame_free(&held.second);
    }
    m_heldVideo.clear();
}

void MediaPlayer::teardown()
{
    ++m_playback;
    dropQueuedVideo();
    m_audioGeneration = 0;
    m_holdForSeek = 0;
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
    if (!m_holdForSeek) {
        m_clock->resume();
    }
    setState(PlayerState::Playing);
}

void MediaPlayer::seek(qint64 ms)
{
    if (m_decoder) {
        m_audioGeneration = m_decoder->requestSeek(ms);
        if (m_decoder->hasVideoDecoder()) {
            m_holdForSeek = m_audioGeneration;
            m_clock->pause();
        }
    }
    dropQueuedVideo();
    m_audioRenderer->reset();
    m_soundAnchorUs = -1;
    m_soundStartMs = ms;
    m_clock->seekTo(ms);
}

void MediaPlayer::setSpeed(double x)
{
    // The sound from here on is stretched for the new speed.
    const bool anchored = m_soundAnchorUs >= 0;
    const qint64 heard = anchored ? static_cast<qint64>(heardMs()) : 0;
    m_clock->setSpeed(x);
    if (anchored) {
        anchorSound(heard);
    }
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
    if (!m_heldVideo.empty()) {
        m_endAfterHeldVideo = true;  // the last pictures are still to be shown
        return;
    }
    m_holdForSeek = 0;
    setState(PlayerState::Stopped);
}

void MediaPlayer::onDecoderError(const QString& msg)
{
    emit error(msg);
    setState(PlayerState::Error);
}
