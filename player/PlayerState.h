#pragma once

#include <QMetaType>

// Travels in queued signals, hence the meta-type.
enum class PlayerState
{
    Idle = 0,
    Playing = 1,
    Paused = 2,
    Stopped = 3,
    Error = 4,
};

Q_DECLARE_METATYPE(PlayerState)

// Exact: the picture at the target itself (a click, a key). Fast: the key
// frame at or before it, shown at once (a drag of the seek bar).
enum class SeekMode
{
    Exact,
    Fast,
};
