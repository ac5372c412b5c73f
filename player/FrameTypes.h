#pragma once

// Decoded frames cross from the decoder's worker thread to the renderers as
// raw AVFrame pointers in queued signals. The pointer is the whole message:
// whoever receives it owns the frame and must release it with av_frame_free.
#include <QMetaType>

extern "C" {
#include <libavutil/frame.h>
}

Q_DECLARE_METATYPE(AVFrame*)

// Each frame also carries the number of the seek it was decoded after, in
// its opaque field (FFmpeg leaves that field to its user and copies it with
// the frame), so that sound decoded before a seek can be told from sound
// decoded after it once both wait in the same queue.
inline quint64 frameSeekGeneration(const AVFrame* frame)
{
    return static_cast<quint64>(reinterpret_cast<quintptr>(frame->opaque));
}

inline void setFrameSeekGeneration(AVFrame* frame, quint64 generation)
{
    frame->opaque = reinterpret_cast<void*>(static_cast<quintptr>(generation));
}
