#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <atomic>

#include "Store.h"

// Key requests waiting to be written to the log, shared by every thread that
// answers them. Answering only appends here; one thread writes them out now
// and then, in one transaction, so the key path gains no write of its own
// and the threads serving requests never queue on the database's write lock.
//
// Entries wait as bytes in one buffer rather than as strings of their own:
// strings made on an answering thread and freed by the writing one would
// have the writer take the answering threads' allocator locks thousands of
// times a flush, and keep those threads waiting.
class KeyRequestLog
{
public:
    // Past this many waiting entries (the database gone for a long while)
    // new ones are dropped and counted rather than kept in memory.
    static constexpr int kMaxWaiting = 100000;

    void add(const KeyRequestEntry& entry);
    // Everything waiting, and how many were dropped since the last call.
    QList<KeyRequestEntry> take(int* dropped);

private:
    QMutex m_mutex;
    QByteArray m_waiting;  // packed entries, one after another
    int m_count = 0;
    int m_dropped = 0;
    // The last batch's size, to make room for the next.
    std::atomic<qsizetype> m_lastBytes{0};
};
