#pragma once

// Decoded frames cross from the decoder's worker thread to the player and the
// renderers in queued signals. The type says who frees a frame: a FramePtr is
// its one owner inside a thread; a FrameRef is the handle a signal carries,
// and the last copy of it frees the frame. So a signal with no receiver, with
// several, or with a receiver deleted before the delivery neither leaks the
// frame nor frees it twice, and no receiver has to remember av_frame_free.
#include <QMetaType>
#include <memory>

extern "C" {
#include <libavutil/frame.h>
}

struct FrameDeleter
{
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using FrameRef = std::shared_ptr<AVFrame>;

inline FramePtr allocFrame()
{
    return FramePtr(av_frame_alloc());
}

// A new reference to the same data (FFmpeg's buffers are counted), or null.
inline FramePtr cloneFrame(const AVFrame* frame)
{
    return FramePtr(av_frame_clone(frame));
}

Q_DECLARE_METATYPE(FrameRef)

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
