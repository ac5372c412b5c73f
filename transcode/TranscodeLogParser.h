#pragma once

#include <QByteArray>
#include <QtGlobal>

// Follows the external encoder's log and turns it into a percentage. The log
// arrives in reads of arbitrary size, so a line cut by a read boundary is
// carried over and examined once it is complete; otherwise a "Duration:" line
// split in two would be missed and the whole conversion show no progress.
class TranscodeLogParser
{
public:
    // A log line is never this long; a longer unterminated run is dropped
    // rather than kept growing.
    static constexpr int kMaxCarry = 64 * 1024;
    // No encoding runs this long; larger numbers in a log are read as this
    // many hours (or minutes, seconds of it) rather than overflowing.
    static constexpr qint64 kMaxHours = 1'000'000;

    // Takes the next read. Returns the percent (0..99) for the last position
    // in the lines this read completed, or -1 when there is none or the
    // duration is not known yet. 100 is the caller's, once the encoder ended
    // well.
    int feed(const QByteArray& chunk);

    qint64 durationMs() const { return m_durationMs; }
    void reset();

    // "hh:mm:ss.ff" groups as milliseconds; the fraction is read as a
    // decimal fraction whatever its number of digits. Each group is clamped
    // to kMaxHours' worth.
    static qint64 toMs(qint64 h, qint64 m, qint64 s, const QString& fraction);

private:
    QByteArray m_carry;
    qint64 m_durationMs = 0;
};
