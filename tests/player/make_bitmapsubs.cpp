// Writes a file holding only a bitmap subtitle track: DVD in Matroska, as a
// disc's subtitles come out of a ripper, or DVB in MPEG-TS, as a broadcast
// is recorded. The ffmpeg CLI cannot draw text into bitmaps, so the
// pictures are made here and encoded with FFmpeg's own encoders.
// Usage: make_bitmapsubs OUT dvd|dvb
// On a 720x576 canvas: a red box from 0.6 to 2.0 s and a green box from 3.0
// to 4.0 s, both across the lower middle.
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

// One picture from startMs: a box of that colour, or a clear (colour 0)
// that ends what is shown, as broadcasts end their pages.
bool writePicture(AVCodecContext* enc, AVFormatContext* out, int startMs, int endMs,
                  uint32_t colour)
{
    AVSubtitleRect rect{};
    rect.type = SUBTITLE_BITMAP;
    rect.x = 200;
    rect.y = 440;
    rect.w = 320;
    rect.h = 80;
    rect.nb_colors = 4;
    uint8_t indices[320 * 80];
    std::memset(indices, 1, sizeof indices);
    uint32_t palette[4] = {0x00000000, colour, 0xff000000, 0xffffffff};
    rect.data[0] = indices;
    rect.linesize[0] = rect.w;
    rect.data[1] = reinterpret_cast<uint8_t*>(palette);
    AVSubtitleRect* rects[1] = {&rect};
    AVSubtitle sub{};
    sub.end_display_time = uint32_t(endMs - startMs);
    sub.num_rects = colour != 0 ? 1 : 0;
    sub.rects = colour != 0 ? rects : nullptr;
    sub.pts = int64_t(startMs) * 1000;
    uint8_t buf[1 << 16];
    const int size = avcodec_encode_subtitle(enc, buf, sizeof buf, &sub);
    if (size <= 0) {
        return false;
    }
    AVPacket* packet = av_packet_alloc();
    if (!packet || av_new_packet(packet, size) < 0) {
        av_packet_free(&packet);
        return false;
    }
    std::memcpy(packet->data, buf, size_t(size));
    const AVRational tb = out->streams[0]->time_base;
    packet->pts = packet->dts = av_rescale_q(startMs, AVRational{1, 1000}, tb);
    packet->duration = av_rescale_q(endMs - startMs, AVRational{1, 1000}, tb);
    packet->stream_index = 0;
    const bool ok = av_interleaved_write_frame(out, packet) >= 0;
    av_packet_free(&packet);
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool dvb = argc == 3 && std::strcmp(argv[2], "dvb") == 0;
    if (argc != 3 || (!dvb && std::strcmp(argv[2], "dvd") != 0)) {
        std::fprintf(stderr, "usage: make_bitmapsubs OUT dvd|dvb\n");
        return 2;
    }
    const AVCodec* codec =
        avcodec_find_encoder(dvb ? AV_CODEC_ID_DVB_SUBTITLE : AV_CODEC_ID_DVD_SUBTITLE);
    AVCodecContext* enc = codec ? avcodec_alloc_context3(codec) : nullptr;
    AVFormatContext* out = nullptr;
    if (!enc) {
        std::fprintf(stderr, "make_bitmapsubs: no %s subtitle encoder\n", argv[2]);
        return 1;
    }
    enc->width = 720;
    enc->height = 576;
    enc->time_base = AVRational{1, 1000};
    bool ok =
        avcodec_open2(enc, codec, nullptr) >= 0 &&
        avformat_alloc_output_context2(&out, nullptr, dvb ? "mpegts" : "matroska", argv[1]) >= 0;
    AVStream* stream = ok ? avformat_new_stream(out, nullptr) : nullptr;
    ok = stream && avcodec_parameters_from_context(stream->codecpar, enc) >= 0 &&
         avio_open(&out->pb, argv[1], AVIO_FLAG_WRITE) >= 0;
    if (ok) {
        stream->time_base = AVRational{1, 1000};
        // A broadcast's pages carry a time-out, not an end: each is ended by
        // the next, an empty one for a gap. A disc's carry their end.
        // The broadcast's starts empty at 0, so a remux keeps its times.
        ok = avformat_write_header(out, nullptr) >= 0 &&
             (!dvb || writePicture(enc, out, 0, 600, 0)) &&
             writePicture(enc, out, 600, 2000, 0xffff0000) &&
             (!dvb || writePicture(enc, out, 2000, 3000, 0)) &&
             writePicture(enc, out, 3000, 4000, 0xff00ff00) &&
             (!dvb || writePicture(enc, out, 4000, 5000, 0)) && av_write_trailer(out) >= 0;
    }
    if (out && out->pb) {
        avio_closep(&out->pb);
    }
    avformat_free_context(out);
    avcodec_free_context(&enc);
    if (!ok) {
        std::fprintf(stderr, "make_bitmapsubs: could not write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
