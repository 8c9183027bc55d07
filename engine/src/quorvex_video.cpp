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
#include <libavutil/mathematics.h>
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
// A decoder slower than the stream (4K on two cores) must not let its queue grow: past about a
// second of stream time the queue is dropped and decoding goes on at the next key frame.
constexpr int64_t kMaxVideoQueueUs = 1000000;
constexpr int kMaxVideoBlocks = 120; // the same without time stamps: 2 s at 60 pictures a second
// A wider span between the oldest queued picture and a new one is a time stamp jump.
constexpr int64_t kTimeJumpUs = 60000000;
constexpr uint64_t kNoPts = 0x8000000000000000ull; // FFmpeg's AV_NOPTS_VALUE as stored in i_pts
// Waits for a release time are slept in pieces, so a stop is seen within this time.
constexpr unsigned kSleepPieceUs = 10000;

// The dispatcher task's own state.
struct dispatcher_t {
    playhandle_t *p;
    bool video_wait_key; // the video queue was dropped: only a key frame restarts it
};

// Stream time from the oldest queued block to b, in µs, in b's time base.
int64_t queue_span_us(const block_t *b, uint64_t first_pts) {
    int64_t ticks = (int64_t)(b->i_pts - first_pts);
    if (b->i_rate <= 0 || b->i_mux <= 0)
        return ticks * 100 / 9;
    return av_rescale(ticks, (int64_t)b->i_mux * 1000000, b->i_rate);
}

// True when the video queue holds more than the decoder can still catch up with.
bool video_backlog(block_fifo_t *q, const block_t *b) {
    if (block_FifoCount(q) > kMaxVideoBlocks)
        return true;
    uint64_t first = 0;
    if (b->i_pts == kNoPts || block_FifoFirstPts(q, &first) != 0 || first == kNoPts)
        return false;
    int64_t span = queue_span_us(b, first);
    return span > kMaxVideoQueueUs && span < kTimeJumpUs;
}

// Admits a video block to the decoder's queue, dropping the queue when the decoder has fallen
// behind. False when the block is to be dropped.
bool admit_video(dispatcher_t *d, block_fifo_t *q, const block_t *b) {
    bool key = (b->i_flags & MEDIA_BLOCK_KEY) != 0;
    if (d->video_wait_key) {
        if (!key)
            return false;
        d->video_wait_key = false;
        return true;
    }
    if (!video_backlog(q, b))
        return true;
    int dropped = block_FifoDropOldest(q, 0);
    quorvex_info_add(&d->p->cur_info.get_strm_info.inp_dec_error, dropped);
    syslog_message(syslog_id_decode_info, "video decoder behind: %d blocks dropped\n", dropped);
    d->video_wait_key = !key;
    return key;
}

// Hands a block to the decode FIFO of its kind, or drops it when that decoder does not exist or
// its source is not the one shown.
void forward(dispatcher_t *d, block_t *b) {
    playhandle_t *p = d->p;
    int kind = b->i_codec_type;
    // One source on the screen: live and playback share the dispatcher, and only the source the
    // caller chose (switch dispatch) is decoded.
    if (kind < 0 || kind >= DECODE_STREAM_COUNT ||
        (int)b->src_app != OS_AtomicGet(&p->active_app)) {
        block_Release(b);
        return;
    }
    OS_WaitSemaphore(p->slot_lock);
    block_fifo_t *q = p->task_decode[kind].p_qdecode;
    bool put = q && (kind != DECODE_STREAM_VIDEO || admit_video(d, q, b));
    if (put)
        block_FifoPut(q, b);
    OS_SetSemaphore(p->slot_lock);
    if (!put)
        block_Release(b);
}

bool dispatcher_active(playhandle_t *p) {
    return OS_AtomicGet(&p->active_task_dispacher) != 0;
}

// Sleeps until the wall clock reaches target (µs of av_gettime) or the dispatcher is stopped.
void sleep_until(playhandle_t *p, uint64_t target) {
    for (;;) {
        uint64_t now = (uint64_t)av_gettime();
        if (now >= target || !dispatcher_active(p))
            return;
        uint64_t left = target - now;
        OS_SleepUs(left < kSleepPieceUs ? (unsigned)left : kSleepPieceUs);
    }
}

// Holds blocks back until the reserve is filled, then releases them at the spacing of their
// time stamps, nudged 2 ms per block the reserve is above or below its depth.
void paced_mode(dispatcher_t *d) {
    playhandle_t *p = d->p;
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
        uint64_t block_us = block_time_us(b);
        if (state == 1) {
            dispatch_anchor(&clock, block_us, (uint64_t)av_gettime());
            forward(d, b);
            state = 2;
            continue;
        }
        int deficit = reserve - block_FifoCount(p->q_dispacher);
        uint64_t target = dispatch_target(&clock, block_us, deficit, (uint64_t)av_gettime());
        if (target - (uint64_t)av_gettime() <= kMaxSpinUs)
            sleep_until(p, target);
        if (dispatcher_active(p))
            forward(d, b);
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
    int width, height, format; // what the graph was built for
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
    d->width = frame->width;
    d->height = frame->height;
    d->format = frame->format;
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

// Sends the block's packet. False when the decoder refused it.
bool send_block(AVCodecContext *ctx, block_t *b) {
    AVPacket *pkt = av_packet_alloc();
    if (!pkt)
        return false;
    pkt->data = b->p_buffer;
    pkt->size = b->i_buffer;
    pkt->pts = pkt->dts = (int64_t)b->i_pts;
    int sent = avcodec_send_packet(ctx, pkt);
    av_packet_free(&pkt);
    if (sent != 0) {
        QV_DEBUG("error send packet");
        return false;
    }
    return true;
}

// The next picture of the packet just sent. For the first one the decoder is given a few
// tries (a threaded decoder may still be working); later ones are there at once or not at all.
AVFrame *receive_picture(AVCodecContext *ctx, bool first) {
    AVFrame *frame = av_frame_alloc();
    for (int i = 0; frame && i < (first ? kReceiveTries : 1); i++) {
        if (avcodec_receive_frame(ctx, frame) == 0)
            return frame;
        if (first)
            OS_MSleep(0);
    }
    av_frame_free(&frame);
    return nullptr;
}

struct decoder_state_t {
    bool open;
    int errors;
    bool display_started;
    deinterlacer_t filter;
};

task_decode_t *video_slot(playhandle_t *p) {
    return &p->task_decode[DECODE_STREAM_VIDEO];
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
    quorvex_info_add(&p->cur_info.get_strm_info.inp_dec_frame, 1);
    quorvex_info_set(&p->cur_info.inp_width, f->width);
    quorvex_info_set(&p->cur_info.inp_height, f->height);
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

// Deinterlaces a picture, (re)building the filter for its size and format. Returns the picture
// to show, null when the filter holds it back or feeding failed, or the picture itself when no
// filter can be built for it. *fatal is set when the sink broke.
AVFrame *deinterlace_picture(playhandle_t *p, decoder_state_t *st, AVFrame *frame, bool *fatal) {
    deinterlacer_t *d = &st->filter;
    if (d->graph &&
        (d->width != frame->width || d->height != frame->height || d->format != frame->format)) {
        avfilter_graph_free(&d->graph);
        d->src = d->sink = nullptr;
    }
    if (!d->graph) {
        create_filter_graph(frame, d);
        QV_DEBUG("deinterlace_flag(%d)", OS_AtomicGet(&p->deinterlace_flag));
    }
    if (!d->graph)
        return frame;
    AVFrame *out = deinterlace(d, frame, fatal);
    av_frame_free(&frame);
    return out;
}

// Makes one decoded picture ready and queues it for display. False when the task must end.
bool present_picture(playhandle_t *p, decoder_state_t *st, AVFrame *frame, uint64_t pts) {
    note_picture_size(p, frame);
    if (!st->display_started) {
        start_display(p);
        st->display_started = true;
    }
    copy_frame(p, &frame);
    if (OS_AtomicGet(&p->deinterlace_flag)) {
        bool fatal = false;
        frame = deinterlace_picture(p, st, frame, &fatal);
        if (fatal) {
            av_frame_free(&frame);
            return false;
        }
    }
    if (frame) // the filter holds the first picture back: nothing to show for it
        queue_picture(p, frame, pts);
    return true;
}

// Decodes one block and hands on every picture it gives. False when the task must end.
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
    if (b->i_flags & MEDIA_BLOCK_SEEK) // a seek: nothing before it belongs to this picture
        avcodec_flush_buffers(slot->p_context);
    AVFrame *frame =
        send_block(slot->p_context, b) ? receive_picture(slot->p_context, true) : nullptr;
    if (!frame) {
        decode_failed(p, st);
        return true;
    }
    st->errors = 0;
    while (frame) {
        if (!present_picture(p, st, frame, b->i_pts))
            return false;
        frame = receive_picture(slot->p_context, false);
    }
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

void display_picture_release(playhandle_t *p, block_t *b) {
    AVFrame *f = reinterpret_cast<AVFrame *>(b->p_buffer);
    if (f && OS_AtomicGet(&p->protocol) == Protocol_RAW_H265 && f->data[0]) {
        av_free(f->data[0]); // the AI stream decoder allocates its planes itself
        f->data[0] = nullptr;
    }
    block_Release(b);
}

void media_block_set_time_base(block_t *b, int num, int den) {
    b->i_mux = num;
    b->i_rate = den;
}

uint64_t block_time_us(const block_t *b) {
    if (b->i_rate <= 0 || b->i_mux <= 0)
        return dispatch_time_us(b->i_pts);
    // Unsigned like the 90 kHz reading, so a time stamp that jumps back gives a huge step.
    return (uint64_t)av_rescale((int64_t)b->i_pts, (int64_t)b->i_mux * 1000000, b->i_rate);
}

int64_t block_duration_us(const block_t *b) {
    if (b->i_length <= 0)
        return 0;
    if (b->i_rate <= 0 || b->i_mux <= 0)
        return b->i_length * 100 / 9;
    return av_rescale(b->i_length, (int64_t)b->i_mux * 1000000, b->i_rate);
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
    dispatcher_t d = {p, false};
    OS_AtomicSet(&p->active_task_dispacher, 1);
    while (dispatcher_active(p)) {
        if (OS_AtomicGet(&p->delay_frame_count) > 0) {
            paced_mode(&d); // for the rest of the task's life
            break;
        }
        block_t *b = block_FifoGetTimeout(p->q_dispacher, kDispatchWaitMs);
        if (b)
            forward(&d, b);
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
    // Slices of one picture are decoded side by side: faster pictures, no added delay (frame
    // threads would hold pictures back).
    ctx->thread_type = FF_THREAD_SLICE;
    ctx->thread_count = 0;
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
