#include "PlaybackService.h"

#include <QDateTime>
#include <algorithm>

#include "CryptoUtils.h"
#include "KeyManager.h"
#include "MediaPlayer.h"
#include "PlaylistModel.h"

PlaybackService::PlaybackService(MediaPlayer* player, KeyManager* keyManager, QObject* parent)
    : QObject(parent), m_player(player), m_keyManager(keyManager)
{
    connect(m_keyManager, &KeyManager::keyReady, this, &PlaybackService::onKeyReady);
    connect(m_keyManager, &KeyManager::keyError, this, &PlaybackService::onKeyError);
    connect(m_player, &MediaPlayer::stateChanged, this, &PlaybackService::onPlayerStateChanged);
}

PlaybackService::~PlaybackService()
{
    forgetKey();
}

void PlaybackService::setPlaylistModel(PlaylistModel* model)
{
    if (m_playlist) {
        disconnect(m_playlist, nullptr, this, nullptr);
    }
    m_playlist = model;
    m_current = QPersistentModelIndex();
    clearPending();
    if (model) {
        connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this,
                &PlaybackService::onRowsAboutToBeRemoved);
        connect(model, &QAbstractItemModel::modelReset, this, &PlaybackService::onModelReset);
    }
}

int PlaybackService::currentIndex() const
{
    return m_current.isValid() ? m_current.row() : -1;
}

int PlaybackService::pendingIndex() const
{
    return m_pending.isValid() ? m_pending.row() : -1;
}

qint64 PlaybackService::resumePosition(qint64 lastPositionMs)
{
    if (lastPositionMs <= 0) {
        return -1;
    }
    return std::max<qint64>(lastPositionMs - kResumeLeadMs, 0);
}

qint64 PlaybackService::seekByTarget(qint64 positionMs, qint64 deltaMs, qint64 durationMs)
{
    qint64 target = std::max<qint64>(positionMs + deltaMs, 0);
    if (durationMs > 0) {
        target = std::min(target, std::max<qint64>(durationMs - kSeekEndMarginMs, 0));
    }
    return target;
}

void PlaybackService::playIndex(int row)
{
    if (!m_playlist) {
        return;
    }
    const PlaylistEntry entry = m_playlist->entryAt(row);
    if (entry.filePath.isEmpty()) {
        return;
    }
    // A new choice supersedes any request still out.
    clearPending();

    QByteArray keyId;
    QByteArray iv;
    if (!CryptoUtils::readContainerHeader(entry.filePath, keyId, iv)) {
        failStart(row);
        emit fileInvalid(QStringLiteral("无法读取该加密视频的文件头，可能已损坏。"));
        return;
    }
    m_pending = QPersistentModelIndex(m_playlist->index(row));
    m_pendingFileId = entry.fileId;
    m_pendingIv = iv;
    // Cache and key-store hits answer before requestKey returns.
    m_keyManager->requestKey(QString::fromLatin1(keyId), entry.fileId);
}

void PlaybackService::onKeyReady(QString fileId, QByteArray key, QByteArray iv)
{
    if (!m_playlist || !m_pending.isValid() || fileId != m_pendingFileId) {
        return;
    }
    const int row = m_pending.row();
    const QByteArray headerIv = m_pendingIv;
    clearPending();

    const int previous = currentIndex();
    const PlayerState state = m_player->state();
    if (previous >= 0 && (state == PlayerState::Playing || state == PlayerState::Paused)) {
        m_playlist->setLastPosition(previous, m_player->position());
    }
    if (previous >= 0 && previous != row) {
        m_playlist->setEntryPlaying(previous, false);
    }

    const PlaylistEntry entry = m_playlist->entryAt(row);
    m_current = QPersistentModelIndex(m_playlist->index(row));
    m_playlist->setCurrentIndex(row);
    m_playlist->setEntryPlaying(row, true);
    m_playlist->setLastPlayed(row, QDateTime::currentDateTime());

    forgetKey();
    m_currentPath = entry.filePath;
    m_currentKey = key;
    // Cache and key-store answers carry no counter block; the header has it.
    m_currentIv = iv.isEmpty() ? headerIv : iv;

    emit playbackStarted(m_currentPath, row);
    m_player->open(m_currentPath, m_currentKey, m_currentIv);
    if (entry.audioStream >= 0 && !m_player->setAudioTrack(entry.audioStream)) {
        // The file was replaced by one without that track: its default plays.
        m_playlist->setAudioStream(row, -1);
    }
    if (entry.subtitleStream != PlaylistEntry::kFileSubtitles &&
        !m_player->setSubtitleTrack(entry.subtitleStream)) {
        m_playlist->setSubtitleStream(row, PlaylistEntry::kFileSubtitles);
    }

    const qint64 resumeAt = resumePosition(entry.lastPositionMs);
    if (resumeAt >= 0) {
        m_player->seek(resumeAt);
    }
}

bool PlaybackService::setAudioTrack(int stream)
{
    if (!m_player->setAudioTrack(stream)) {
        return false;
    }
    if (m_playlist && m_current.isValid()) {
        m_playlist->setAudioStream(m_current.row(), stream);
    }
    return true;
}

bool PlaybackService::setSubtitleTrack(int stream)
{
    if (!m_player->setSubtitleTrack(stream)) {
        return false;
    }
    if (m_playlist && m_current.isValid()) {
        m_playlist->setSubtitleStream(m_current.row(), stream);
    }
    return true;
}

void PlaybackService::onKeyError(QString fileId, QString reason)
{
    if (!m_pending.isValid() || fileId != m_pendingFileId) {
        return;
    }
    const int row = m_pending.row();
    clearPending();
    failStart(row);
    emit keyFetchFailed(reason);
}

void PlaybackService::playNext()
{
    if (m_playlist && currentIndex() + 1 < m_playlist->rowCount()) {
        playIndex(currentIndex() + 1);
    }
}

void PlaybackService::playPrevious()
{
    if (currentIndex() > 0) {
        playIndex(currentIndex() - 1);
    }
}

void PlaybackService::togglePlayPause()
{
    switch (m_player->state()) {
        case PlayerState::Playing:
            m_player->pause();
            break;
        case PlayerState::Paused:
            m_player->resume();
            break;
        default:
            replay();
            break;
    }
}

void PlaybackService::replay()
{
    if (m_currentPath.isEmpty()) {
        return;
    }
    m_player->open(m_currentPath, m_currentKey, m_currentIv);
    // A reopen of the file that is already Playing emits no state change.
    if (m_playlist && m_player->state() == PlayerState::Playing && currentIndex() >= 0) {
        m_playlist->setEntryPlaying(currentIndex(), true);
    }
}

void PlaybackService::savePosition()
{
    const PlayerState state = m_player->state();
    if (m_playlist && currentIndex() >= 0 &&
        (state == PlayerState::Playing || state == PlayerState::Paused)) {
        m_playlist->setLastPosition(currentIndex(), m_player->position());
    }
}

void PlaybackService::seek(qint64 ms)
{
    m_player->seek(ms);
}

void PlaybackService::previewSeek(qint64 ms)
{
    m_player->seek(ms, SeekMode::Fast);
}

void PlaybackService::seekBy(qint64 deltaMs)
{
    const PlayerState state = m_player->state();
    if (state != PlayerState::Playing && state != PlayerState::Paused) {
        return;
    }
    m_player->seek(seekByTarget(m_player->position(), deltaMs, m_player->duration()));
}

void PlaybackService::setSpeed(double x)
{
    m_player->setSpeed(x);
}

void PlaybackService::setVolume(int percent)
{
    m_player->setVolume(percent);
}

void PlaybackService::setMuted(bool muted)
{
    m_player->setMuted(muted);
}

void PlaybackService::onItemRemoved(int row)
{
    if (row >= 0 && row == currentIndex()) {
        stopCurrent();
    }
}

void PlaybackService::onRowsAboutToBeRemoved(const QModelIndex& parent, int first, int last)
{
    if (parent.isValid()) {
        return;
    }
    const int pending = pendingIndex();
    if (pending >= first && pending <= last) {
        clearPending();
    }
    const int current = currentIndex();
    if (current >= first && current <= last) {
        stopCurrent();
    }
    // Rows above the current one need nothing: the persistent index moves.
}

void PlaybackService::onModelReset()
{
    // The reset has already invalidated both persistent indexes.
    clearPending();
    if (!m_currentPath.isEmpty()) {
        stopCurrent();
    }
}

void PlaybackService::stopCurrent()
{
    // Forget the row first, so the Stopped state that follows writes nothing.
    m_current = QPersistentModelIndex();
    forgetKey();
    m_player->stop();
}

void PlaybackService::failStart(int row)
{
    const PlayerState state = m_player->state();
    if (!m_currentPath.isEmpty() && state != PlayerState::Playing && state != PlayerState::Paused) {
        // Its replay button and last picture would stand under the failed
        // row's highlight, and Space would bring it back.
        const int previous = currentIndex();
        stopCurrent();
        if (m_playlist) {
            m_playlist->setEntryPlaying(previous, false);
            m_playlist->setCurrentIndex(-1);
        }
    }
    emit startFailed(row);
}

void PlaybackService::clearPending()
{
    m_pending = QPersistentModelIndex();
    m_pendingFileId.clear();
    CryptoUtils::secureWipe(m_pendingIv);
}

void PlaybackService::forgetKey()
{
    m_currentPath.clear();
    CryptoUtils::secureWipe(m_currentKey);
    CryptoUtils::secureWipe(m_currentIv);
}

void PlaybackService::onPlayerStateChanged(PlayerState state)
{
    const int row = currentIndex();
    if (!m_playlist || row < 0) {
        return;
    }
    switch (state) {
        case PlayerState::Playing:
            m_playlist->setEntryPlaying(row, true);
            break;
        case PlayerState::Paused:
            m_playlist->setEntryPlaying(row, false);
            m_playlist->setLastPosition(row, m_player->position());
            break;
        case PlayerState::Stopped:
            // A finished file starts from the beginning next time.
            m_playlist->setEntryPlaying(row, false);
            m_playlist->setLastPosition(row, 0);
            break;
        case PlayerState::Idle:
        case PlayerState::Error:
            break;
    }
}
