#pragma once

#include <QMutex>
#include <atomic>

#include "KeyRequestBatch.h"

struct KeyRequestEntry;

// Key requests waiting to be written to the log, shared by every thread that
// answers them. Answering only appends here; one thread writes them out now
// and then, in one transaction, so the key path gains no write of its own
// and the threads serving requests never queue on the database's write lock.
// Entries wait packed (KeyRequestBatch says why).
class KeyRequestLog
{
public:
    // Past this many waiting entries (the database gone for a long while)
    // new ones are dropped and counted rather than kept in memory.
    static constexpr int kMaxWaiting = 100000;

    void add(const KeyRequestEntry& entry);
    // Everything waiting, and how many were dropped since the last call.
    KeyRequestBatch take(int* dropped);

private:
    QMutex m_mutex;
    KeyRequestBatch m_waiting;
    int m_dropped = 0;
    // The last batch's size, to make room for the next.
    std::atomic<qsizetype> m_lastBytes{0};
};
