#include "MediaInfo.h"

namespace Chapters {

int indexAt(const QList<Chapter>& chapters, qint64 ms)
{
    int found = -1;
    for (int i = 0; i < chapters.size(); ++i) {
        if (chapters[i].startMs <= ms) {
            found = i;
        } else {
            break;
        }
    }
    return found;
}

qint64 nextStart(const QList<Chapter>& chapters, qint64 ms)
{
    for (const Chapter& c : chapters) {
        if (c.startMs > ms) {
            return c.startMs;
        }
    }
    return -1;
}

qint64 previousStart(const QList<Chapter>& chapters, qint64 ms)
{
    const int current = indexAt(chapters, ms);
    if (current < 0) {
        return -1;
    }
    if (ms - chapters[current].startMs >= kBackThresholdMs || current == 0) {
        return chapters[current].startMs;
    }
    return chapters[current - 1].startMs;
}

}  // namespace Chapters
