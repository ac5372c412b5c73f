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

    // A negative time (a position reported before the clock settled) reads
    // as "00:00" rather than as a minus sign in the middle of the label.
    static QString format(qint64 ms);
};
