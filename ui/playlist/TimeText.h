#pragma once

#include <QString>
#include <QtGlobal>

// Playback times as the viewer reads them: total minutes and seconds, two
// digits each with '0' fill. Minutes never fold into hours, so a lecture of
// 100 minutes reads "100:00".
class TimeText
{
public:
    TimeText() = delete;

    // What a length reads while the player has not told it: "00:00" would
    // claim an empty file.
    static constexpr const char* kUnknown = "--:--";

    // A negative time (a position reported before the clock settled) reads
    // as "00:00" rather than as a minus sign in the middle of the label.
    static QString format(qint64 ms);
    // A file's length: 0 and below are what the playlist holds before the
    // file was ever opened, and read as kUnknown.
    static QString formatLength(qint64 ms);
};
