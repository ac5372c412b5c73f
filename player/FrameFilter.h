#pragma once

#include <QByteArray>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

struct AVFilterGraph;
struct AVFilterContext;

// One libavfilter chain "source -> filters -> sink" for frames of one shape
// (picture size and pixel format, or sample rate, format and layout). The
// decoder runs a deinterlacer and a time-stretcher through it on its worker
// thread; the graph is owned here and freed with it.
//
// Not thread-safe: one thread at a time, the decoder's worker.
class FrameFilter
{
public:
    FrameFilter() = default;
    ~FrameFilter();
    FrameFilter(const FrameFilter&) = delete;
    FrameFilter& operator=(const FrameFilter&) = delete;

    // Builds the chain for frames shaped like `like`, timed in timeBase. A
    // chain built earlier is dropped with what it held. False on failure,
    // and then nothing is set up.
    bool setUp(const AVFrame* like, AVRational timeBase, const QByteArray& filters);
    void reset();

    bool isSetUp() const { return m_graph != nullptr; }
    // True when a frame has the shape the chain was built for.
    bool fits(const AVFrame* frame) const;

    // Hands a frame in (its buffers are referenced, the frame stays the
    // caller's); null marks the end, after which the chain gives out what it
    // still holds.
    bool push(AVFrame* frame);
    // The next filtered frame into out; false when none is ready.
    bool pull(AVFrame* out);
    AVRational outputTimeBase() const;

private:
    AVFilterGraph* m_graph = nullptr;     // owns both contexts below
    AVFilterContext* m_source = nullptr;  // buffer / abuffer
    AVFilterContext* m_sink = nullptr;    // buffersink / abuffersink
    bool m_audio = false;
    int m_width = 0;
    int m_height = 0;
    int m_format = -1;
    int m_sampleRate = 0;
    int m_channels = 0;
};
