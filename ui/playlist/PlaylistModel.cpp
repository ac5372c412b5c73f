#include "PlaylistModel.h"

#include "TimeText.h"

PlaylistModel::PlaylistModel(QObject* parent) : QAbstractListModel(parent) {}

int PlaylistModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

QVariant PlaylistModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.column() != 0 || !inRange(index.row())) {
        return {};
    }
    const PlaylistEntry& e = m_entries.at(index.row());
    switch (role) {
        case Qt::DisplayRole:
        case TitleRole:
            return e.title;
        case DurationTextRole:
            return formatDuration(e.durationMs);
        case PermissionRole:
            return e.hasPermission;
        case FilePathRole:
            return e.filePath;
        case FileIdRole:
            return e.fileId;
        case PlayingRole:
            return e.playing;
        default:
            return {};
    }
}

QString PlaylistModel::formatDuration(qint64 ms)
{
    return TimeText::formatLength(ms);
}

int PlaylistModel::evictionCandidate(int firstProtected) const
{
    int neverPlayed = -1;
    int earliest = -1;
    for (int row = 0; row < firstProtected && row < m_entries.size(); ++row) {
        if (row == m_current) {
            continue;
        }
        const QDateTime& played = m_entries.at(row).lastPlayedAt;
        if (!played.isValid()) {
            // Rows keep insertion order, so the first one found is the oldest.
            neverPlayed = row;
            break;
        }
        if (earliest < 0 || played < m_entries.at(earliest).lastPlayedAt) {
            earliest = row;
        }
    }
    return neverPlayed >= 0 ? neverPlayed : earliest;
}

int PlaylistModel::addEntry(const PlaylistEntry& entry)
{
    return addEntries({entry});
}

int PlaylistModel::addEntries(const QList<PlaylistEntry>& entries)
{
    int first = -1;
    // Rows from here on belong to this batch; evictions below it shift it up.
    int batchStart = int(m_entries.size());
    for (const PlaylistEntry& entry : entries) {
        if (m_entries.size() >= kCapacity) {
            const int victim = evictionCandidate(batchStart);
            if (victim < 0) {
                continue;
            }
            removeEntry(victim);
            --batchStart;
            if (first >= 0) {
                --first;
            }
        }
        const int row = int(m_entries.size());
        beginInsertRows(QModelIndex(), row, row);
        m_entries.append(entry);
        endInsertRows();
        if (first < 0) {
            first = row;
        }
    }
    return first;
}

void PlaylistModel::clear()
{
    beginResetModel();
    m_entries.clear();
    m_current = -1;
    endResetModel();
}

PlaylistEntry PlaylistModel::entryAt(int row) const
{
    return inRange(row) ? m_entries.at(row) : PlaylistEntry();
}

int PlaylistModel::rowOfPath(const QString& path) const
{
    for (int row = 0; row < m_entries.size(); ++row) {
        if (m_entries.at(row).filePath == path) {
            return row;
        }
    }
    return -1;
}

void PlaylistModel::removeEntry(int row)
{
    if (!inRange(row)) {
        return;
    }
    beginRemoveRows(QModelIndex(), row, row);
    m_entries.removeAt(row);
    if (row == m_current) {
        m_current = -1;
    } else if (row < m_current) {
        --m_current;
    }
    endRemoveRows();
}

void PlaylistModel::setCurrentIndex(int row)
{
    const int previous = m_current;
    m_current = row;
    if (inRange(previous)) {
        emit dataChanged(index(previous), index(previous), {});
    }
    if (inRange(row) && row != previous) {
        emit dataChanged(index(row), index(row), {});
    }
}

void PlaylistModel::setEntryDuration(int row, qint64 ms)
{
    if (!inRange(row) || m_entries.at(row).durationMs == ms) {
        return;
    }
    m_entries[row].durationMs = ms;
    emit dataChanged(index(row), index(row), {DurationTextRole});
}

void PlaylistModel::setAudioStream(int row, int stream)
{
    if (inRange(row) && m_entries.at(row).audioStream != stream) {
        m_entries[row].audioStream = stream;
        // Nothing shows it, but the store listens here to keep the choice.
        emit dataChanged(index(row), index(row));
    }
}

void PlaylistModel::setSubtitleStream(int row, int stream)
{
    if (inRange(row) && m_entries.at(row).subtitleStream != stream) {
        m_entries[row].subtitleStream = stream;
        emit dataChanged(index(row), index(row));  // for the store, as above
    }
}

void PlaylistModel::setLastPlayed(int row, const QDateTime& time)
{
    if (inRange(row)) {
        m_entries[row].lastPlayedAt = time;
    }
}

void PlaylistModel::setLastPosition(int row, qint64 ms)
{
    if (inRange(row)) {
        m_entries[row].lastPositionMs = ms;
    }
}

void PlaylistModel::setEntryPlaying(int row, bool playing)
{
    if (!inRange(row)) {
        return;
    }
    m_entries[row].playing = playing;
    emit dataChanged(index(row), index(row), {PlayingRole});
}
