#include "decode_timing.h"

#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace bench {

namespace {

double ms(int64_t ns) {
    return (double)ns / 1e6;
}

struct Decoder {
    AVFormatContext *in = nullptr;
    AVCodecContext *ctx = nullptr;
    int stream = -1;

    bool open(const std::string &path) {
        if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0 ||
            avformat_find_stream_info(in, nullptr) < 0)
            return false;
        stream = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (stream < 0)
            return false;
        const AVCodecParameters *par = in->streams[stream]->codecpar;
        const AVCodec *codec = avcodec_find_decoder(par->codec_id);
        ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
        if (!ctx || avcodec_parameters_to_context(ctx, par) < 0)
            return false;
        ctx->thread_count = 1; // the engine leaves libavcodec's default of one thread
        return avcodec_open2(ctx, codec, nullptr) == 0;
    }
    ~Decoder() {
        avcodec_free_context(&ctx);
        avformat_close_input(&in);
    }
};

// Converts the picture to RGBA with the engine's scaler flags; the time taken in ms.
double time_convert(const AVFrame *f, SwsContext **sws, std::vector<uint8_t> *rgba) {
    int64_t t0 = monotonic_ns();
    *sws = sws_getCachedContext(*sws, f->width, f->height, (AVPixelFormat)f->format, f->width,
                                f->height, AV_PIX_FMT_RGBA, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!*sws)
        return -1;
    rgba->resize((size_t)f->width * f->height * 4);
    uint8_t *dst[4] = {rgba->data(), nullptr, nullptr, nullptr};
    int stride[4] = {f->width * 4, 0, 0, 0};
    sws_scale(*sws, f->data, f->linesize, 0, f->height, dst, stride);
    return ms(monotonic_ns() - t0);
}

} // namespace

DecodeTiming time_decoding(const std::string &ts_path, int max_pictures) {
    DecodeTiming t;
    Decoder d;
    if (!d.open(ts_path))
        return t;
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    SwsContext *sws = nullptr;
    std::vector<uint8_t> rgba;
    std::vector<double> decode, convert;
    while (pkt && frame && (int)decode.size() < max_pictures && av_read_frame(d.in, pkt) == 0) {
        if (pkt->stream_index != d.stream) {
            av_packet_unref(pkt);
            continue;
        }
        int64_t t0 = monotonic_ns();
        int sent = avcodec_send_packet(d.ctx, pkt);
        av_packet_unref(pkt);
        if (sent < 0 || avcodec_receive_frame(d.ctx, frame) < 0)
            continue;
        decode.push_back(ms(monotonic_ns() - t0));
        convert.push_back(time_convert(frame, &sws, &rgba));
        av_frame_unref(frame);
    }
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    t.decode_ms = summarize(decode);
    t.convert_ms = summarize(convert);
    t.ok = !decode.empty();
    return t;
}

} // namespace bench
