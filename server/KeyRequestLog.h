#pragma once

#include <QList>
#include <QMutex>

#include "Store.h"

// Key requests waiting to be written to the log, shared by every thread that
// answers them. Answering only appends here; one thread writes them out now
// and then, in one transaction, so the key path gains no write of its own
// and the threads serving requests never queue on the database's write lock.
class KeyRequestLog
{
public:
    // Past this many waiting entries (the database gone for a long while)
    // new ones are dropped and counted rather than kept in memory.
    static constexpr int kMaxWaiting = 100000;

    void add(KeyRequestEntry entry)
    {
        QMutexLocker lock(&m_mutex);
        if (m_waiting.size() >= kMaxWaiting) {
            ++m_dropped;
            return;
        }
        m_waiting.append(std::move(entry));
    }

    // Everything waiting, and how many were dropped since the last call.
    QList<KeyRequestEntry> take(int* dropped)
    {
        QMutexLocker lock(&m_mutex);
        *dropped = m_dropped;
        m_dropped = 0;
        return std::exchange(m_waiting, {});
    }

private:
    QMutex m_mutex;
    QList<KeyRequestEntry> m_waiting;
    int m_dropped = 0;
};
