#pragma once

// Decoded frames cross from the decoder's worker thread to the renderers as
// raw AVFrame pointers in queued signals. The pointer is the whole message:
// whoever receives it owns the frame and must release it with av_frame_free.
#include <QMetaType>

extern "C" {
#include <libavutil/frame.h>
}

Q_DECLARE_METATYPE(AVFrame*)
