#include "MediaPlayer.h"

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

constexpr qint64 kNsPerMs = 1'000'000;

}  // namespace

MediaPlayer::MediaPlayer(QObject* parent) : MediaPlayer(nullptr, parent) {}

MediaPlayer::MediaPlayer(PlaybackClock* clock, QObject* parent) : QObject(parent)
{
    qRegisterMetaType<PlayerState>("PlayerState");
    qRegisterMetaType<MediaInfo>("MediaInfo");
    qRegisterMetaType<SubtitlePicture>("SubtitlePicture");
    m_audioRenderer = new AudioRenderer(this);
    m_clock = clock ? clock : new PlaybackClock(this);
    m_clock->setParent(this);
    m_syncTimer = new QTimer(this);
    m_syncTimer->setTimerType(Qt::PreciseTimer);
    m_syncTimer->setInterval(kSyncIntervalMs);
    connect(m_syncTimer, &QTimer::timeout, this, &MediaPlayer::syncToSound);
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
    if (state == PlayerState::Playing) {
        m_syncTimer->start();
    } else {
        m_syncTimer->stop();
    }
    emit stateChanged(state);
}

void MediaPlayer::onVideoFrame(const FrameRef& frame)
{
    if (frameSeekGeneration(frame.get()) < m_seekGeneration) {
        return;  // of the position a seek has left
    }
    if (m_waitPicture) {
        endPictureWait();
    }
    emit videoFrameReady(frame);
}

void MediaPlayer::connectDecoder()
{
    // Every queued signal is checked against the playback it was sent for.
    const quint64 playback = m_playback;
    connect(
        m_decoder, &MediaDecoder::videoFrameReady, this,
        [this, playback](const FrameRef& frame) {
            if (playback == m_playback) {
                onVideoFrame(frame);
            }
        },
        Qt::QueuedConnection);
    connect(
        m_decoder, &MediaDecoder::audioFrameReady, this,
        [this, playback](const FrameRef& frame, qint64 ms, double speed) {
            // Sound decoded before the latest seek was queued while the
            // renderer threw away what it held; played now it would be heard
            // after the jump.
            if (playback != m_playback || frameSeekGeneration(frame.get()) < m_seekGeneration) {
                return;
            }
            m_audioRenderer->onAudioFrame(frame.get(), ms, speed);
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
    connectSubtitles(playback);
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

void MediaPlayer::connectSubtitles(quint64 playback)
{
    connect(
        m_decoder, &MediaDecoder::subtitleEvent, this,
        [this, playback](const QByteArray& line, qint64 startMs, qint64 durationMs) {
            if (playback == m_playback) {
                m_subtitles.addEvent(line, startMs, durationMs);
                emit subtitlesChanged();
            }
        },
        Qt::QueuedConnection);
    connect(
        m_decoder, &MediaDecoder::subtitlePicture, this,
        [this, playback](const SubtitlePicture& picture) {
            if (playback == m_playback) {
                m_bitmapSubtitles.add(picture);
                emit subtitlesChanged();
            }
        },
        Qt::QueuedConnection);
    connect(
        m_decoder, &MediaDecoder::subtitleTrackChanged, this,
        [this, playback](int stream, const QByteArray& header) {
            if (playback != m_playback) {
                return;
            }
            m_bitmapSubtitles.clear();
            if (stream >= 0) {
                m_subtitles.startTrack(header);
            } else {
                m_subtitles.clear();
            }
            emit subtitlesChanged();
        },
        Qt::QueuedConnection);
}

void MediaPlayer::open(const QString& path, const QByteArray& key, const QByteArray& iv)
{
    Q_UNUSED(iv);  // the bridge takes the counter block from the header
    const bool hadInfo = !m_info.chapters.isEmpty() || !m_info.audioTracks.isEmpty() ||
                         !m_info.subtitleTracks.isEmpty();
    teardown();
    if (hadInfo) {
        // The last file's chapters and tracks are not this one's, even if
        // this one does not open.
        emit mediaInfoChanged(m_info);
    }

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
        m_audioRenderer->reset();
        m_clock->reset();  // held at 0 until the start is seen and heard
        m_info = m_decoder->mediaInfo();
        for (const MediaDecoder::AttachedFont& font : m_decoder->attachedFonts()) {
            m_subtitles.addFont(font.name, font.data);
        }
        if (m_decoder->subtitleStreamIndex() >= 0) {
            m_subtitles.startTrack(m_decoder->subtitleHeader());
        }
        setState(PlayerState::Playing);
        emit mediaInfoChanged(m_info);
        holdForStart();
        m_decoderThread->start(QThread::InheritPriority);
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

void MediaPlayer::holdForStart()
{
    const qint64 now = PlaybackClock::monotonicNs();
    m_waitPicture = m_decoder && m_decoder->hasVideoDecoder();
    m_waitPictureSinceNs = now;
    // Only sound that can be heard is waited for; without a device the
    // wall clock is the master from the first picture on.
    m_waitSound = m_decoder && m_decoder->hasAudioDecoder() && m_audioRenderer->canPlay();
    m_waitSoundSinceNs = now;
    m_audioRenderer->setHeld(m_waitPicture);
    updateClock();
}

void MediaPlayer::endPictureWait()
{
    m_waitPicture = false;
    m_waitSoundSinceNs = PlaybackClock::monotonicNs();
    m_audioRenderer->setHeld(false);
    updateClock();
}

void MediaPlayer::updateClock()
{
    if (m_state == PlayerState::Playing && !m_waitPicture && !m_waitSound) {
        m_clock->resume();
    } else {
        m_clock->pause();
    }
}

void MediaPlayer::syncToSound()
{
    if (m_state != PlayerState::Playing) {
        return;
    }
    const qint64 now = PlaybackClock::monotonicNs();
    if (m_waitPicture && now - m_waitPictureSinceNs > kPictureWaitMs * kNsPerMs) {
        endPictureWait();
    }
    const bool sounding = m_audioRenderer->isSounding();
    const qint64 heard = sounding ? m_audioRenderer->heardMs() : -1;
    if (m_waitSound && !m_waitPicture) {
        if (heard >= 0) {
            m_waitSound = false;
            m_clock->seekTo(heard);
        } else if (now - m_waitSoundSinceNs > kSoundStartWaitMs * kNsPerMs) {
            m_waitSound = false;  // the wall clock goes on alone
        }
        updateClock();
    } else if (!m_waitSound && !m_waitPicture && heard >= 0 &&
               MediaDecoder::stretchesTo(m_clock->speed())) {
        m_clock->seekTo(heard);
    }
    if (m_endPending && (m_audioRenderer->isDrained() || now > m_endDeadlineNs)) {
        finishEnd();
    }
}

void MediaPlayer::teardown()
{
    ++m_playback;
    m_seekGeneration = 0;
    m_waitPicture = false;
    m_waitSound = false;
    m_endPending = false;
    m_info = MediaInfo();
    m_subtitles.clear();
    m_subtitles.clearFonts();
    m_bitmapSubtitles.clear();
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
    // Not one more sound of this playback.
    m_audioRenderer->reset();
    m_audioRenderer->resume();
    m_audioRenderer->setHeld(false);
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
    // The clock stops where the sound stops.
    const qint64 heard = m_audioRenderer->isSounding() && !m_waitSound && !m_waitPicture
                             ? m_audioRenderer->heardMs()
                             : -1;
    if (heard >= 0) {
        m_clock->seekTo(heard);
    }
    m_audioRenderer->pause();
    setState(PlayerState::Paused);
    updateClock();
}

void MediaPlayer::resume()
{
    if (m_state != PlayerState::Paused) {
        return;
    }
    if (m_decoder) {
        m_decoder->setPaused(false);
    }
    setState(PlayerState::Playing);
    // The sink was emptied by the pause: its sound starts afresh, and the
    // clock waits for it as at any start.
    if (!m_waitPicture) {
        m_waitSound = m_decoder && m_decoder->hasAudioDecoder() && m_audioRenderer->canPlay() &&
                      !m_endPending;
        m_waitSoundSinceNs = PlaybackClock::monotonicNs();
    }
    m_audioRenderer->resume();
    updateClock();
}

void MediaPlayer::seek(qint64 ms, SeekMode mode)
{
    // The clock is held at the target before the decoder hears of the seek:
    // its first picture from there is handed out at once only while the
    // clock waits, and judged against a running clock it would be late.
    if (m_decoder) {
        m_clock->pause();
    }
    m_clock->seekTo(ms);
    if (m_decoder) {
        m_seekGeneration = m_decoder->requestSeek(ms, mode);
    }
    m_endPending = false;
    m_audioRenderer->reset();
    if (m_decoder) {
        holdForStart();
    }
}

bool MediaPlayer::setAudioTrack(int streamIndex)
{
    if (!m_decoder || !m_decoder->selectAudioStream(streamIndex)) {
        return false;
    }
    // The switch rides on a seek to where the viewer is: the queued sound
    // of the old track goes, and the new one starts in step with the picture.
    seek(position(), SeekMode::Exact);
    return true;
}

bool MediaPlayer::setSubtitleTrack(int streamIndex)
{
    if (!m_decoder || !m_decoder->selectSubtitleStream(streamIndex)) {
        return false;
    }
    // As for sound: the seek brings the events around the position.
    seek(position(), SeekMode::Exact);
    return true;
}

int MediaPlayer::subtitleTrack() const
{
    return m_decoder ? m_decoder->subtitleStreamIndex() : -1;
}

QImage MediaPlayer::subtitleImage(const QSize& size)
{
    // A track is text or bitmaps; what the other holds is empty.
    const qint64 now = position();
    return m_bitmapSubtitles.isEmpty() ? m_subtitles.render(now, size)
                                       : m_bitmapSubtitles.render(now, size);
}

int MediaPlayer::audioTrack() const
{
    return m_decoder ? m_decoder->audioStreamIndex() : -1;
}

void MediaPlayer::setSpeed(double x)
{
    // The sound still queued was stretched for the old speed; the clock
    // follows it there until the new speed's sound is heard.
    m_clock->setSpeed(x);
}

void MediaPlayer::setVolume(int percent)
{
    m_audioRenderer->setVolume(static_cast<float>(percent / 100.0));
}

void MediaPlayer::setMuted(bool muted)
{
    m_audioRenderer->setMuted(muted);
}

bool MediaPlayer::isMuted() const
{
    return m_audioRenderer->isMuted();
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
    if (m_state == PlayerState::Playing && !m_audioRenderer->isDrained()) {
        // The last sound is still to be heard: the end is when it ends.
        m_audioRenderer->finish();
        m_endPending = true;
        const qint64 left = m_audioRenderer->queuedMs() + m_audioRenderer->pendingMs();
        m_endDeadlineNs = PlaybackClock::monotonicNs() + (left + kEndWaitMs) * kNsPerMs;
        return;
    }
    finishEnd();
}

void MediaPlayer::finishEnd()
{
    m_endPending = false;
    m_waitPicture = false;
    m_waitSound = false;
    setState(PlayerState::Stopped);
    updateClock();
    // The last picture starts one frame before the end; what the user reads
    // at the end is the whole length.
    if (duration() > 0) {
        emit positionChanged(duration());
    }
}

void MediaPlayer::onDecoderError(const QString& msg)
{
    emit error(msg);
    setState(PlayerState::Error);
    updateClock();
}
