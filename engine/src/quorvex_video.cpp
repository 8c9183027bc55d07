#include "quorvex_video.h"

#include <stdio.h>
#include <string.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavfilter/avfilter.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
}

#include "quorvex_display.h"
#include "syslog.h"

namespace {

constexpr int kDispatchWaitMs = 100;
constexpr uint64_t kMaxSpinUs = 199999;
constexpr uint64_t kReanchorUs = 999999;
constexpr int kReceiveTries = 201;
constexpr int kFailuresBeforeReset = 5;

// Hands a block to the decode FIFO of its kind, or drops it when that decoder does not exist.
void forward(playhandle_t *p, block_t *b) {
    int kind = b->i_codec_type;
    if (kind < 0 || kind >= DECODE_STREAM_COUNT) {
        block_Release(b);
        return;
    }
    OS_WaitSemaphore(p->slot_lock);
    block_fifo_t *q = p->task_decode[kind].p_qdecode;
    if (q)
        block_FifoPut(q, b);
    OS_SetSemaphore(p->slot_lock);
    if (!q)
        block_Release(b);
}

bool dispatcher_active(playhandle_t *p) {
    return OS_AtomicGet(&p->active_task_dispacher) != 0;
}

// Holds blocks back until the reserve is filled, then releases them at the spacing of their
// time stamps, nudged 2 ms per block the reserve is above or below its depth.
void paced_mode(playhandle_t *p) {
    int state = 0;
    dispatch_clock_t clock = {};
    while (dispatcher_active(p)) {
        int reserve = OS_AtomicGet(&p->delay_frame_count);
        if (state == 0) {
            if (block_FifoCount(p->q_dispacher) < reserve)
                OS_MSleep(1);
            else
                state = 1;
            continue;
        }
        block_t *b = block_FifoGetTimeout(p->q_dispacher, kDispatchWaitMs);
        if (!b)
            continue;
        uint64_t block_us = dispatch_time_us(b->i_pts);
        if (state == 1) {
            dispatch_anchor(&clock, block_us, (uint64_t)av_gettime());
            forward(p, b);
            state = 2;
            continue;
        }
        int deficit = reserve - block_FifoCount(p->q_dispacher);
        uint64_t target = dispatch_target(&clock, block_us, deficit, (uint64_t)av_gettime());
        if (target - (uint64_t)av_gettime() <= kMaxSpinUs) {
            while ((uint64_t)av_gettime() < target && dispatcher_active(p))
                OS_MSleep(0);
        }
        if (dispatcher_active(p))
            forward(p, b);
        else
            block_Release(b);
    }
}

// --- hardware decoding ---

enum AVPixelFormat get_hw_format(AVCodecContext *ctx, const enum AVPixelFormat *list) {
    playhandle_t *p = static_cast<playhandle_t *>(ctx->opaque);
    for (const enum AVPixelFormat *f = list; *f != AV_PIX_FMT_NONE; f++)
        if (*f == p->hw_pix_fmt)
            return *f;
    fprintf(stderr, "Failed to get HW surface format.\n");
    // A device that opened but cannot decode this stream must not leave the picture dark:
    // decode in software instead.
    for (const enum AVPixelFormat *f = list; *f != AV_PIX_FMT_NONE; f++) {
        const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(*f);
        if (d && !(d->flags & AV_PIX_FMT_FLAG_HWACCEL))
            return *f;
    }
    return AV_PIX_FMT_NONE;
}

int hw_decoder_init(playhandle_t *p, AVCodecContext *ctx, enum AVHWDeviceType type) {
    av_buffer_unref(&p->hw_device_ctx);
    int err = av_hwdevice_ctx_create(&p->hw_device_ctx, type, nullptr, nullptr, 0);
    if (err < 0) {
        fprintf(stderr, "Failed to create specified HW device.\n");
        return err;
    }
    ctx->hw_device_ctx = av_buffer_ref(p->hw_device_ctx);
    return err;
}

// Looks for a hardware configuration of the decoder whose device can be created; the decoder
// stays a software one when none can.
void select_hw_decoder(playhandle_t *p, AVCodecContext *ctx, const AVCodec *codec) {
    enum AVHWDeviceType type = AV_HWDEVICE_TYPE_NONE;
    while ((type = av_hwdevice_iterate_types(type)) != AV_HWDEVICE_TYPE_NONE) {
        for (int i = 0;; i++) {
            const AVCodecHWConfig *cfg = avcodec_get_hw_config(codec, i);
            if (!cfg)
                break;
            if (!(cfg->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) ||
                cfg->device_type != type)
                continue;
            p->hw_pix_fmt = cfg->pix_fmt;
            ctx->get_format = get_hw_format;
            int r = hw_decoder_init(p, ctx, type);
            QV_DEBUG("%d select Decoder(%s) type(%s) ", r, codec->name,
                     av_hwdevice_get_type_name(type));
            if (r == 0)
                return;
        }
    }
}

const AVCodec *find_video_decoder(int codec_id) {
    const AVCodec *codec = nullptr;
    if (codec_id == AV_CODEC_ID_H264)
        codec = avcodec_find_decoder_by_name("h264_mediacodec");
    else if (codec_id == AV_CODEC_ID_HEVC)
        codec = avcodec_find_decoder_by_name("hevc_mediacodec");
    return codec ? codec : avcodec_find_decoder((enum AVCodecID)codec_id);
}

// Replaces a hardware surface by a copy in system memory.
void copy_frame(playhandle_t *p, AVFrame **frame) {
    if ((*frame)->format != p->hw_pix_fmt || !(*frame)->hw_frames_ctx)
        return;
    AVFrame *sw = av_frame_alloc();
    if (!sw)
        return;
    if (av_hwframe_transfer_data(sw, *frame, 0) < 0) {
        av_frame_free(&sw);
        return;
    }
    av_frame_copy_props(sw, *frame);
    av_frame_free(frame);
    *frame = sw;
}

// --- deinterlacing ---

struct deinterlacer_t {
    AVFilterGraph *graph;
    AVFilterContext *src, *sink;
};

int create_filter_graph(const AVFrame *frame, deinterlacer_t *d) {
    d->graph = avfilter_graph_alloc();
    const AVFilter *buffersrc = avfilter_get_by_name("buffer");
    const AVFilter *buffersink = avfilter_get_by_name("buffersink");
    AVFilterInOut *outputs = avfilter_inout_alloc();
    AVFilterInOut *inputs = avfilter_inout_alloc();
    int result = -1;
    char args[256];
    snprintf(args, sizeof(args), "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d", frame->width,
             frame->height, frame->format, 1, 50);
    if (!d->graph || !buffersrc || !buffersink || !outputs || !inputs)
        goto done;
    // One picture at a time on the decoder's own thread, like the decoder itself: no pool of
    // filter threads beside the engine's tasks.
    d->graph->nb_threads = 1;
    if (avfilter_graph_create_filter(&d->src, buffersrc, "in", args, nullptr, d->graph) < 0 ||
        avfilter_graph_create_filter(&d->sink, buffersink, "out", nullptr, nullptr, d->graph) < 0)
        goto done;
    outputs->name = av_strdup("in");
    outputs->filter_ctx = d->src;
    outputs->pad_idx = 0;
    outputs->next = nullptr;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = d->sink;
    inputs->pad_idx = 0;
    inputs->next = nullptr;
    if (avfilter_graph_parse_ptr(d->graph, "yadif", &inputs, &outputs, nullptr) < 0 ||
        avfilter_graph_config(d->graph, nullptr) < 0)
        goto done;
    result = 0;
done:
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (result != 0) {
        avfilter_graph_free(&d->graph);
        d->src = d->sink = nullptr;
    }
    return result;
}

// Runs the picture through yadif. Returns the picture to show (the last one the filter gave),
// or null when there is none yet or feeding failed. *fatal is set when the sink broke.
AVFrame *deinterlace(deinterlacer_t *d, AVFrame *frame, bool *fatal) {
    if (!av_frame_is_writable(frame))
        QV_DEBUG("frame not writable");
    if (av_buffersrc_add_frame_flags(d->src, frame, AV_BUFFERSRC_FLAG_KEEP_REF) != 0)
        return nullptr;
    AVFrame *out = av_frame_alloc();
    AVFrame *last = nullptr;
    for (;;) {
        int r = av_buffersink_get_frame(d->sink, out);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            break;
        if (r < 0) {
            *fatal = true;
            break;
        }
        av_frame_free(&last);
        last = out;
        out = av_frame_alloc();
        OS_MSleep(0);
    }
    av_frame_free(&out);
    return last;
}

// --- the decode task ---

struct decoder_state_t {
    bool open;
    int errors;
    bool display_started;
    bool deinterlace_tried;
    deinterlacer_t filter;
    AVFrame *frame;
};

task_decode_t *video_slot(playhandle_t *p) {
    return &p->task_decode[DECODE_STREAM_VIDEO];
}

// Sends the block's packet and waits briefly for a picture. The picture, or null.
AVFrame *decode_block(AVCodecContext *ctx, block_t *b) {
    AVPacket *pkt = av_packet_alloc();
    if (!pkt)
        return nullptr;
    pkt->data = b->p_buffer;
    pkt->size = b->i_buffer;
    pkt->pts = pkt->dts = (int64_t)b->i_pts;
    int sent = avcodec_send_packet(ctx, pkt);
    av_packet_free(&pkt);
    if (sent != 0) {
        QV_DEBUG("error send packet");
        return nullptr;
    }
    AVFrame *frame = av_frame_alloc();
    for (int i = 0; frame && i < kReceiveTries; i++) {
        if (avcodec_receive_frame(ctx, frame) == 0)
            return frame;
        OS_MSleep(0);
    }
    av_frame_free(&frame);
    return nullptr;
}

// Reports a size change to the caller before the handle takes the new size.
void note_picture_size(playhandle_t *p, const AVFrame *f) {
    if (f->width != OS_AtomicGet(&p->pict_width) || f->height != OS_AtomicGet(&p->pict_height)) {
        video_event_callback_t cb = OS_AtomicGet(&p->vid_event_callback);
        if (cb)
            cb(OS_AtomicGet(&p->vid_evant_callback_param), f->width, f->height);
        OS_AtomicSet(&p->pict_width, f->width);
        OS_AtomicSet(&p->pict_height, f->height);
    }
    OS_AtomicAdd(&p->cur_info.get_strm_info.inp_dec_frame, 1);
    OS_AtomicSet(&p->cur_info.inp_width, f->width);
    OS_AtomicSet(&p->cur_info.inp_height, f->height);
}

void start_display(playhandle_t *p) {
    OS_AtomicSet(&p->active_task_display, 1);
    p->h_task_display =
        OS_TaskCreate(4096, "display", p->hWnd ? task_display : task_fack_disp, 0, p);
}

// Queues the picture for display unless one already waits; the frame passes to the block.
void queue_picture(playhandle_t *p, AVFrame *frame, uint64_t pts) {
    if (block_FifoCount(p->m_display_q) >= p->max_display_q) {
        av_frame_free(&frame);
        return;
    }
    block_t *b = block_Alloc(0);
    if (!b) {
        av_frame_free(&frame);
        return;
    }
    b->p_buffer = reinterpret_cast<unsigned char *>(frame);
    b->pf_release = display_block_release;
    b->i_pts = pts;
    b->width = (unsigned)frame->width;
    b->height = (unsigned)frame->height;
    b->fmt = (unsigned)frame->format;
    b->i_flags = frame->pict_type == AV_PICTURE_TYPE_I ? 2 : 0;
    block_FifoPut(p->m_display_q, b);
}

// Counts a failed block; the fifth failure in a row closes the decoder for a fresh open.
void decode_failed(playhandle_t *p, decoder_state_t *st) {
    if (++st->errors < kFailuresBeforeReset)
        return;
    Term_vcodec(p);
    st->open = false;
    st->errors = 0;
}

// Decodes one block and hands the picture on. False when the task must end.
bool decode_one(playhandle_t *p, decoder_state_t *st, block_t *b) {
    task_decode_t *slot = video_slot(p);
    if (!st->open) {
        unsigned codec_id = 0;
        if (init_vcodec(p, codec_id) != 0)
            return true; // no decoder for this stream (yet): try again with the next block
        st->open = true;
    }
    if (!p->m_display_q)
        p->m_display_q = block_FifoNew();
    AVFrame *frame = decode_block(slot->p_context, b);
    if (!frame) {
        decode_failed(p, st);
        return true;
    }
    st->errors = 0;
    note_picture_size(p, frame);
    if (!st->display_started) {
        start_display(p);
        st->display_started = true;
    }
    copy_frame(p, &frame);
    if (OS_AtomicGet(&p->deinterlace_flag)) {
        if (!st->deinterlace_tried) {
            st->deinterlace_tried = true;
            create_filter_graph(frame, &st->filter);
            QV_DEBUG("deinterlace_flag(%d)", OS_AtomicGet(&p->deinterlace_flag));
        }
        if (st->filter.graph) {
            bool fatal = false;
            AVFrame *out = deinterlace(&st->filter, frame, &fatal);
            av_frame_free(&frame);
            if (fatal) {
                av_frame_free(&out);
                return false;
            }
            frame = out;
        }
    }
    if (frame) // the filter holds the first picture back: nothing to show for it
        queue_picture(p, frame, b->i_pts);
    return true;
}

// Frees the pictures still queued for display with their blocks, then the FIFO.
void stop_display(playhandle_t *p) {
    OS_AtomicSet(&p->active_task_display, 0);
    if (p->m_display_q)
        block_FifoWake(p->m_display_q);
    OS_TaskDelete(p->h_task_display);
    p->h_task_display = nullptr;
    block_FifoRelease(p->m_display_q);
    p->m_display_q = nullptr;
}

void log_hw_types() {
    enum AVHWDeviceType type = AV_HWDEVICE_TYPE_NONE;
    while ((type = av_hwdevice_iterate_types(type)) != AV_HWDEVICE_TYPE_NONE)
        fprintf(stderr, " %s", av_hwdevice_get_type_name(type));
    fprintf(stderr, "\n");
}

} // namespace

void display_block_release(block_t *b) {
    if (OS_AtomicAdd(&b->use_count, -1) != 0)
        return;
    AVFrame *frame = reinterpret_cast<AVFrame *>(b->p_buffer);
    av_frame_free(&frame);
    b->p_buffer = nullptr;
    b->use_count = 1; // hand the last reference to the ordinary release, which frees the block
    BlockRelease(b);
}

void dispatch_anchor(dispatch_clock_t *c, uint64_t block_us, uint64_t now) {
    c->previous = block_us;
    c->anchor = c->next = now;
}

uint64_t dispatch_target(dispatch_clock_t *c, uint64_t block_us, int deficit, uint64_t now) {
    uint64_t step = block_us - c->previous;
    c->previous = block_us;
    c->next += step;
    uint64_t target = c->next + (uint64_t)((int64_t)deficit * 2000);
    if (c->next - c->anchor > kReanchorUs)
        c->anchor = c->next = now;
    return target;
}

void *task_dispacher(void *p_sys) {
    playhandle_t *p = static_cast<playhandle_t *>(p_sys);
    OS_AtomicSet(&p->active_task_dispacher, 1);
    while (dispatcher_active(p)) {
        if (OS_AtomicGet(&p->delay_frame_count) > 0) {
            paced_mode(p); // for the rest of the task's life
            break;
        }
        block_t *b = block_FifoGetTimeout(p->q_dispacher, kDispatchWaitMs);
        if (b)
            forward(p, b);
    }
    return nullptr;
}

int init_vcodec(playhandle_t *p, unsigned int &codec_id) {
    task_decode_t *slot = video_slot(p);
    if (!slot->p_par)
        return -1;
    int id = slot->p_par->codec_id;
    OS_AtomicSet(&p->vcodec, id);
    const AVCodec *codec = find_video_decoder(id);
    if (!codec)
        return -1;
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    if (!ctx)
        return -1;
    avcodec_parameters_to_context(ctx, slot->p_par);
    codec_id = (unsigned)codec->id;
    if (p->codec_sem)
        OS_WaitSemaphore(p->codec_sem);
    if (OS_AtomicGet(&p->hw_acc))
        select_hw_decoder(p, ctx, codec);
    ctx->opaque = p;
    int r = avcodec_open2(ctx, codec, nullptr);
    if (p->codec_sem)
        OS_SetSemaphore(p->codec_sem);
    if (r < 0) {
        avcodec_free_context(&ctx);
        slot->p_context = nullptr;
        return -1;
    }
    slot->p_context = ctx;
    slot->p_codec = codec;
    return 0;
}

int Term_vcodec(playhandle_t *p) {
    if (p->codec_sem)
        OS_WaitSemaphore(p->codec_sem);
    task_decode_t *slot = video_slot(p);
    if (slot->p_context)
        avcodec_free_context(&slot->p_context);
    av_buffer_unref(&p->hw_device_ctx);
    if (p->codec_sem)
        OS_SetSemaphore(p->codec_sem);
    return 0;
}

void *video_task_decode(void *p_sys) {
    playhandle_t *p = static_cast<playhandle_t *>(p_sys);
    task_decode_t *slot = video_slot(p);
    log_hw_types();
    p->display_count = 0;
    decoder_state_t st = {};
    bool ok = true;
    while (ok && OS_AtomicGet(&slot->active_task_decode)) {
        block_t *b = block_FifoGetTimeout(slot->p_qdecode, kDispatchWaitMs);
        if (!b)
            continue;
        ok = decode_one(p, &st, b);
        block_Release(b);
    }
    Term_vcodec(p);
    stop_display(p);
    avfilter_graph_free(&st.filter.graph);
    return nullptr;
}
