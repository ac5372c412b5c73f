#pragma once

#include <QAbstractListModel>
#include <QDateTime>
#include <QList>

#include "PlaylistEntry.h"

// The per-user playlist: at most kCapacity entries in insertion order and one
// "current" row, the row being played. Removing a row above the current one
// moves the current row with its entry, so the mark never slides onto a
// neighbour; removing the current row clears it. GUI thread only.
class PlaylistModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Role
    {
        TitleRole = Qt::UserRole + 1,
        DurationTextRole = Qt::UserRole + 2,
        PermissionRole = Qt::UserRole + 4,
        FilePathRole = Qt::UserRole + 5,
        FileIdRole = Qt::UserRole + 6,
        PlayingRole = Qt::UserRole + 7,
    };

    // The sidebar shows "n / 100"; the settings store holds as many.
    static constexpr int kCapacity = 100;

    explicit PlaylistModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // Appends one entry; see addEntries. Returns its row, or -1 if no room
    // could be made.
    int addEntry(const PlaylistEntry& entry);
    // Appends entries chosen together (one drop, one dialog). On a full list
    // each addition first evicts one row: the oldest never-played row, else
    // the earliest-played one; never the current row and never a row of this
    // same batch. An entry for which nothing can be evicted is not added.
    // Returns the row of the first entry added, or -1.
    int addEntries(const QList<PlaylistEntry>& entries);
    void clear();
    // A default entry for a row out of range.
    PlaylistEntry entryAt(int row) const;
    const QList<PlaylistEntry>& entries() const { return m_entries; }
    // The first row whose filePath equals path exactly, or -1.
    int rowOfPath(const QString& path) const;
    void removeEntry(int row);

    int currentIndex() const { return m_current; }
    void setCurrentIndex(int row);
    void setEntryDuration(int row, qint64 ms);
    void setLastPlayed(int row, const QDateTime& time);
    void setLastPosition(int row, qint64 ms);
    void setEntryPlaying(int row, bool playing);
    void setAudioStream(int row, int stream);
    void setSubtitleStream(int row, int stream);

    // "%1:%2" of whole minutes and seconds, minutes not folded into hours;
    // "--:--" while the length is unknown (0: the file was never opened).
    static QString formatDuration(qint64 ms);

private:
    bool inRange(int row) const { return row >= 0 && row < m_entries.size(); }
    // The row to evict for an addition, skipping the current row and rows at
    // or after firstProtected; -1 when none may go.
    int evictionCandidate(int firstProtected) const;

    // GUI thread only.
    QList<PlaylistEntry> m_entries;
    int m_current = -1;
};
