#include "user_stream.h"

#include <stdlib.h>
#include <string.h>

extern "C" {
#include <libavformat/avformat.h>
}

// One input stream as seen at open: the demuxer may change its own copy while the task runs.
struct mux_input_t {
    AVCodecParameters *par;
    AVRational time_base;
    AVRational sample_aspect_ratio;
    int out_index; // output stream index, -1 when not carried
};

namespace {

// Every packet is written with this time-stamp step (90 kHz units).
constexpr int64_t kPtsStep = 3000;
// A callback slower than the stream must not make the queue grow without end: past this many
// payload bytes (over a second at 40 Mbit/s) new packets are dropped until it catches up.
constexpr int kMaxQueuedBytes = STREAM_OUT_MAX_QUEUED;

int write_packet(void *opaque, uint8_t *buff, int size) {
    mux_t *m = static_cast<mux_t *>(opaque);
    if (m->callback)
        m->callback(m->p_params, buff, size);
    return size;
}

bool wanted_stream(const AVCodecParameters *par) {
    switch (par->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
        return par->width > 0;
    case AVMEDIA_TYPE_AUDIO:
        return par->sample_rate > 0;
    case AVMEDIA_TYPE_DATA:
        return par->format >= 0;
    default:
        return false;
    }
}

// Builds the MPEG-TS muxer writing through write_packet and writes its header. Null on failure.
AVFormatContext *open_muxer(mux_t *m) {
    AVFormatContext *out = nullptr;
    if (avformat_alloc_output_context2(&out, nullptr, "mpegts", nullptr) < 0 || !out)
        return nullptr;
    unsigned char *buf = static_cast<unsigned char *>(av_malloc(STREAM_OUT_CHUNK));
    AVIOContext *io =
        buf ? avio_alloc_context(buf, STREAM_OUT_CHUNK, 1, m, nullptr, write_packet, nullptr)
            : nullptr;
    if (!io) {
        av_free(buf);
        avformat_free_context(out);
        return nullptr;
    }
    out->pb = io;
    out->flags |= AVFMT_FLAG_CUSTOM_IO;
    out->flush_packets = 0; // whole 1316-byte chunks only: the buffer is handed on when full
    for (int i = 0; i < m->nb_inputs; i++) {
        mux_input_t *in = &m->inputs[i];
        if (!in->par || !wanted_stream(in->par))
            continue;
        in->out_index = (int)out->nb_streams;
        AVStream *os = avformat_new_stream(out, nullptr);
        if (!os || avcodec_parameters_copy(os->codecpar, in->par) < 0)
            goto fail;
        os->codecpar->codec_tag = 0;
        os->time_base = in->time_base;
        os->sample_aspect_ratio = in->sample_aspect_ratio;
    }
    if (out->nb_streams == 0 || avformat_write_header(out, nullptr) < 0)
        goto fail;
    return out;
fail:
    av_freep(&io->buffer);
    avio_context_free(&out->pb);
    avformat_free_context(out);
    return nullptr;
}

void close_muxer(AVFormatContext *out) {
    av_write_trailer(out);
    avio_flush(out->pb);
    av_freep(&out->pb->buffer);
    avio_context_free(&out->pb);
    avformat_free_context(out);
}

// Writes one queued packet under the output index of its input stream; packets of streams that
// are not carried are skipped.
void write_block(const mux_t *m, AVFormatContext *out, block_t *b, int64_t *ts) {
    if (b->i_stream >= (unsigned)m->nb_inputs || m->inputs[b->i_stream].out_index < 0)
        return;
    AVPacket *pkt = av_packet_alloc();
    if (!pkt)
        return;
    pkt->data = b->p_buffer;
    pkt->size = b->i_buffer;
    pkt->stream_index = m->inputs[b->i_stream].out_index;
    pkt->flags = (int)b->i_flags;
    *ts += kPtsStep;
    pkt->pts = pkt->dts =
        av_rescale_q(*ts, AVRational{1, 90000}, out->streams[pkt->stream_index]->time_base);
    av_write_frame(out, pkt);
    av_packet_free(&pkt);
}

void *stream_task(void *param) {
    mux_t *m = static_cast<mux_t *>(param);
    AVFormatContext *out = open_muxer(m);
    if (!out) {
        OS_AtomicSet(&m->failed, 1);
        block_FifoEmpty(m->q);
        return nullptr;
    }
    int64_t ts = 0;
    while (OS_AtomicGet(&m->active)) {
        block_t *b = block_FifoGetTimeout(m->q, 100);
        if (!b)
            continue;
        write_block(m, out, b, &ts);
        block_Release(b);
    }
    close_muxer(out);
    return nullptr;
}

// Copies the input's stream list; false when an allocation fails.
bool copy_inputs(mux_t *m) {
    const AVFormatContext *in = m->p_fctx;
    m->nb_inputs = in ? (int)in->nb_streams : 0;
    m->inputs = static_cast<mux_input_t *>(calloc((size_t)m->nb_inputs + 1, sizeof(mux_input_t)));
    if (!m->inputs)
        return false;
    for (int i = 0; i < m->nb_inputs; i++) {
        const AVStream *is = in->streams[i];
        mux_input_t *c = &m->inputs[i];
        c->out_index = -1;
        c->time_base = is->time_base;
        c->sample_aspect_ratio = is->sample_aspect_ratio;
        c->par = avcodec_parameters_alloc();
        if (!c->par || avcodec_parameters_copy(c->par, is->codecpar) < 0)
            return false;
    }
    return true;
}

void free_inputs(mux_t *m) {
    for (int i = 0; m->inputs && i < m->nb_inputs; i++)
        avcodec_parameters_free(&m->inputs[i].par);
    free(m->inputs);
    m->inputs = nullptr;
}

} // namespace

stream_h_t stream_open(void *pFormatCtx, stream_callback_t callback, void *p_params) {
    mux_t *m = static_cast<mux_t *>(calloc(1, sizeof(mux_t)));
    if (!m)
        return nullptr;
    m->q = block_FifoNew();
    if (!m->q) {
        free(m);
        return nullptr;
    }
    m->p_fctx = static_cast<AVFormatContext *>(pFormatCtx);
    if (!copy_inputs(m)) {
        free_inputs(m);
        block_FifoRelease(m->q);
        free(m);
        return nullptr;
    }
    m->callback = callback;
    m->p_params = p_params;
    OS_AtomicSet(&m->active, 1);
    m->h_task = OS_TaskCreate(4096, "stream_out", stream_task, 0, m);
    return m;
}

// True when the packet is not to be queued: the muxer failed, or the callback is behind.
static bool refuse(stream_h_t h) {
    return OS_AtomicGet(&h->failed) || block_FifoSize(h->q) > kMaxQueuedBytes;
}

int stream_puts(stream_h_t h, const AVPacket *pkt) {
    if (refuse(h))
        return 0;
    block_t *b = block_Alloc(pkt->size);
    if (!b)
        return -1;
    memcpy(b->p_buffer, pkt->data, (size_t)pkt->size);
    b->i_stream = (unsigned)pkt->stream_index;
    b->i_pts = (uint64_t)pkt->pts;
    b->i_flags = (unsigned)pkt->flags;
    block_FifoPut(h->q, b);
    return 0;
}

int stream_puts(stream_h_t h, const unsigned char *data, int size) {
    if (refuse(h))
        return 0;
    block_t *b = block_Alloc(size);
    if (!b)
        return -1;
    memcpy(b->p_buffer, data, (size_t)size);
    block_FifoPut(h->q, b);
    return 0;
}

void stream_close(stream_h_t &h) {
    if (!h)
        return;
    OS_AtomicSet(&h->active, 0);
    OS_TaskDelete(h->h_task);
    block_FifoRelease(h->q);
    free_inputs(h);
    free(h);
    h = nullptr;
}
