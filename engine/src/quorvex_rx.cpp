#include "quorvex_rx.h"

#include <stdlib.h>
#include <string.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/aes.h>
#include <libavutil/md5.h>
}

#include "quorvex_audio.h"
#include "quorvex_data.h"
#include "quorvex_rtp.h"
#include "quorvex_video.h"
#include "record.h"
#include "socket.h"
#include "syslog.h"
#include "user_stream.h"

namespace {

constexpr int kKeepBufferSize = 4194304;
constexpr int kResetAfterErrors = 19; // a reset follows the 20th failed read in a row
constexpr unsigned kOpenRetryMs = 200;
constexpr unsigned kStalledStreamMs = 10000;
constexpr unsigned kRtpStalledMs = 1000;
constexpr int kSdpBufferSize = 8192;
// FFmpeg's UDP reader keeps going while we are busy: its buffer holds 5 s at 40 Mbit/s (in
// 188-byte packets), and an overrun loses data instead of ending the input.
constexpr const char *kUdpFifoPackets = "133000";
// The MPEG-TS demuxer hands on a PES longer than its packet limit in pieces (200 KiB by
// default). Key frames of high-rate streams are longer: the limit is raised well above them.
constexpr int kMaxPesPacket = 8 * 1024 * 1024;
// Bytes per transport packet payload at most: a piece cut at the limit is within this of it.
constexpr int kTsPayload = 184;
constexpr unsigned kFailedReadPauseMs = 10;

// What one run of the task keeps besides the play handle.
struct rx_state_t {
    int protocol;
    AVFormatContext *ctx;
    AVDictionary *options;
    int error_count;
    bool encrypted;
    rx_crypt_t crypt;
    std::vector<int> audio_map;
    int saved_flags;
    stream_h_t stream_out;
    record_handle_t recorder;
    // After a reconnect each decode slot checks, at its stream's first packet, whether the new
    // connection's stream is the one its decoder was made for.
    bool refresh[DECODE_STREAM_COUNT];
    // A transport stream held in memory instead of the network (rx_run_memory): it ends at its
    // end instead of being opened again.
    const uint8_t *mem;
    size_t mem_size, mem_pos;
};

bool rx_active(playhandle_t *p) {
    return OS_AtomicGet(&p->active_task_video_rx) != 0;
}

void kick_watchdog(playhandle_t *p) {
    OS_AtomicSet(&p->monitor_start_timeout_ms, OS_GetKHClock());
}

// UDP and HTTP have no watchdog: a failed read returns at once, so they pause between tries.
bool has_watchdog(int protocol) {
    return protocol >= Protocol_RTPUDP && protocol <= Protocol_RTMP;
}

// Input format, URL, options, watchdog limit and interrupt callback of one protocol.
struct input_choice_t {
    const AVInputFormat *format;
    const char *url;
    int (*monitor)(void *);
};

input_choice_t choose_input(playhandle_t *p, rx_state_t *s, char *udp_url, int udp_url_size) {
    input_choice_t c = {nullptr, p->rx.url, mpegts_monitor};
    const char *url = p->rx.url ? p->rx.url : "";
    av_dict_set_int(&s->options, "max_packet_size", kMaxPesPacket, 0);
    switch (s->protocol) {
    case Protocol_UDPTS:
        rx_udp_url(OS_AtomicGet(&p->multicast_addr), OS_AtomicGet(&p->rx_port), udp_url,
                   udp_url_size);
        c.format = av_find_input_format("mpegts");
        c.url = udp_url;
        av_dict_set(&s->options, "overrun_nonfatal", "1", 0);
        av_dict_set(&s->options, "fifo_size", kUdpFifoPackets, 0);
        syslog_message(syslog_id_parser_info, "udp protocol\n");
        break;
    case Protocol_RTSPUDP:
    case Protocol_RTSPTCP: {
        bool tcp = s->protocol == Protocol_RTSPTCP;
        av_dict_set(&s->options, "rtsp_transport", tcp ? "tcp" : "udp", 0);
        OS_AtomicSet(&p->monitor_time_out_ms, kStalledStreamMs);
        c.monitor = rtp_monitor;
        syslog_message(syslog_id_parser_info, tcp ? "rtsp tcp(%s)\n" : "rtsp udp(%s)\n", url);
        break;
    }
    case Protocol_RTMP:
        OS_AtomicSet(&p->monitor_time_out_ms, kStalledStreamMs);
        c.monitor = rtp_monitor;
        syslog_message(syslog_id_parser_info, "rtmp(%s)\n", url);
        break;
    case Protocol_HTTP:
        syslog_message(syslog_id_parser_info, "http(%s)\n", url);
        break;
    case Protocol_RAW_H264:
        // How a raw H.264 stream reaches us is not settled: the open fails and is retried.
        c.format = av_find_input_format("h264");
        c.url = nullptr;
        break;
    default:
        break;
    }
    return c;
}

// Live encoders put one whole picture in each transport-stream packet of elementary stream, so
// the video parser may hand each on as it is complete instead of holding it until the next one
// begins, which would delay every picture by a frame period. The demuxer cuts only PES longer
// than kMaxPesPacket; see note_cut_piece for those.
void trust_whole_frames(AVFormatContext *ctx) {
    if (!ctx->iformat || strcmp(ctx->iformat->name, "mpegts") != 0)
        return;
    for (unsigned i = 0; i < ctx->nb_streams; i++) {
        AVStream *st = ctx->streams[i];
        AVCodecParserContext *parser = av_stream_get_parser(st);
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && parser)
            parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    }
}

// Opens the input, retrying every 200 ms until it succeeds or the task is stopped.
// Null when stopped.
AVFormatContext *open_input_loop(playhandle_t *p, rx_state_t *s) {
    char udp_url[64];
    input_choice_t c = choose_input(p, s, udp_url, sizeof(udp_url));
    OS_AtomicSet(&p->active_network_rx, 1);
    while (rx_active(p)) {
        AVFormatContext *ctx = avformat_alloc_context();
        if (!ctx) {
            OS_MSleep(kOpenRetryMs);
            continue;
        }
        ctx->opaque = p;
        ctx->interrupt_callback.callback = c.monitor;
        ctx->interrupt_callback.opaque = p;
        kick_watchdog(p);
        AVDictionary *opts = nullptr;
        av_dict_copy(&opts, s->options, 0);
        int r = avformat_open_input(&ctx, c.url ? c.url : "", c.format, &opts);
        av_dict_free(&opts);
        if (r == 0) {
            OS_AtomicSet(&p->avformat, ctx); // p->avformat: written by this task only
            find_stream_info(ctx, s->protocol);
            trust_whole_frames(ctx);
            return ctx;
        }
        OS_MSleep(kOpenRetryMs); // avformat_open_input freed the context
    }
    return nullptr;
}

// A demuxer context reading through our own function instead of a URL: an I/O buffer of
// `size` bytes (plus `slack`) with `read` and its `opaque`, the play handle as the context's
// opaque value and `monitor` as its interrupt callback. Null when an allocation fails.
AVFormatContext *alloc_custom_input(playhandle_t *p, int size, int slack, void *opaque,
                                    int (*read)(void *, uint8_t *, int), int (*monitor)(void *)) {
    AVFormatContext *ctx = avformat_alloc_context();
    unsigned char *buf = static_cast<unsigned char *>(av_malloc((size_t)(size + slack)));
    AVIOContext *io =
        buf ? avio_alloc_context(buf, size, 0, opaque, read, nullptr, nullptr) : nullptr;
    if (!ctx || !io) {
        if (io)
            av_freep(&io->buffer);
        else
            av_free(buf);
        avio_context_free(&io);
        avformat_free_context(ctx);
        return nullptr;
    }
    ctx->opaque = p;
    ctx->interrupt_callback.callback = monitor;
    ctx->interrupt_callback.opaque = p;
    ctx->pb = io;
    ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
    return ctx;
}

// Opens FFmpeg's "sdp" demuxer on the text that read_sdp serves. Null when the open fails.
AVFormatContext *open_sdp_input(playhandle_t *p) {
    const AVInputFormat *fmt = av_find_input_format("sdp");
    AVFormatContext *ctx =
        fmt ? alloc_custom_input(p, kSdpBufferSize, 256, p, read_sdp, rtp_monitor) : nullptr;
    if (!ctx)
        return nullptr;
    AVIOContext *io = ctx->pb;
    kick_watchdog(p);
    p->read_sdp_flag = 1;
    if (avformat_open_input(&ctx, nullptr, fmt, nullptr) != 0) {
        av_freep(&io->buffer); // the failed open freed the context but not our I/O
        avio_context_free(&io);
        return nullptr;
    }
    OS_AtomicSet(&p->avformat, ctx);
    kick_watchdog(p);
    find_stream_info(ctx, Protocol_RTPUDP);
    kick_watchdog(p);
    return ctx;
}

// FFmpeg read function over the memory input.
int read_memory(void *opaque, uint8_t *buf, int size) {
    rx_state_t *s = static_cast<rx_state_t *>(opaque);
    size_t left = s->mem_size - s->mem_pos;
    if (left == 0)
        return AVERROR_EOF;
    size_t n = left < (size_t)size ? left : (size_t)size;
    memcpy(buf, s->mem + s->mem_pos, n);
    s->mem_pos += n;
    return (int)n;
}

// The MPEG-TS demuxer over the memory input, opened as for UDP. Null when it cannot be opened.
AVFormatContext *open_memory_input(playhandle_t *p, rx_state_t *s) {
    constexpr int kIoSize = 4096;
    AVFormatContext *ctx = alloc_custom_input(p, kIoSize, 0, s, read_memory, mpegts_monitor);
    if (!ctx)
        return nullptr;
    AVIOContext *io = ctx->pb;
    av_dict_set_int(&s->options, "max_packet_size", kMaxPesPacket, 0);
    AVDictionary *opts = nullptr;
    av_dict_copy(&opts, s->options, 0);
    int r = avformat_open_input(&ctx, nullptr, av_find_input_format("mpegts"), &opts);
    av_dict_free(&opts);
    if (r != 0) {
        av_freep(&io->buffer); // the failed open freed the context but not our I/O
        avio_context_free(&io);
        return nullptr;
    }
    OS_AtomicSet(&p->avformat, ctx);
    find_stream_info(ctx, Protocol_UDPTS);
    trust_whole_frames(ctx);
    return ctx;
}

AVFormatContext *open_input(playhandle_t *p, rx_state_t *s) {
    if (s->mem) {
        OS_AtomicSet(&p->active_network_rx, 1);
        return open_memory_input(p, s);
    }
    if (s->protocol == Protocol_RTPUDP) {
        OS_AtomicSet(&p->active_network_rx, 1);
        return open_sdp_input(p);
    }
    return open_input_loop(p, s);
}

void close_input(playhandle_t *p, rx_state_t *s) {
    OS_AtomicSet(&p->avformat, (AVFormatContext *)nullptr);
    if (!s->ctx)
        return;
    AVIOContext *custom = (s->ctx->flags & AVFMT_FLAG_CUSTOM_IO) ? s->ctx->pb : nullptr;
    avformat_close_input(&s->ctx);
    if (custom) {
        av_freep(&custom->buffer);
        avio_context_free(&custom);
    }
}

bool open_slot(playhandle_t *p, int kind, const AVStream *st, OS_TaskFunc_t task, int priority) {
    return decode_slot_open(p, kind, st->codecpar, st->index, task, priority, STREAMING_APP);
}

void stop_slot(playhandle_t *p, task_decode_t *slot) {
    decode_slot_stop(p, slot);
}

// The slot of a kind is this task's (true), free (true, *free set), or another producer's.
bool slot_is_ours(playhandle_t *p, int kind, bool *free) {
    int owner = decode_slot_owner(p, kind);
    *free = owner < 0;
    return owner < 0 || owner == STREAMING_APP;
}

// True when a decoder made for `a` can go on decoding a stream described by `b`.
bool same_config(const AVCodecParameters *a, const AVCodecParameters *b) {
    if (!a || a->codec_type != b->codec_type || a->codec_id != b->codec_id ||
        a->extradata_size != b->extradata_size ||
        (a->extradata_size > 0 &&
         memcmp(a->extradata, b->extradata, (size_t)a->extradata_size) != 0))
        return false;
    if (a->codec_type == AVMEDIA_TYPE_VIDEO)
        return a->width == b->width && a->height == b->height;
    if (a->codec_type == AVMEDIA_TYPE_AUDIO)
        return a->sample_rate == b->sample_rate &&
               av_channel_layout_compare(&a->ch_layout, &b->ch_layout) == 0;
    return true;
}

// True when the slot's decoder was made for another stream than `st`: another track, or after
// a reconnect a stream with another configuration. The refresh request is used up.
bool slot_is_stale(rx_state_t *s, int kind, const task_decode_t *slot, const AVStream *st) {
    bool refresh = s->refresh[kind];
    s->refresh[kind] = false;
    if (slot->i_stream != st->index)
        return true;
    return refresh && !same_config(slot->p_par, st->codecpar);
}

// Packets of one video stream reach the video decoder: the first one seen, or after a
// reconnect the first one of the new connection. False to leave the packet out.
bool route_video(playhandle_t *p, rx_state_t *s, const AVStream *st) {
    task_decode_t *slot = &p->task_decode[DECODE_STREAM_VIDEO];
    bool free = false;
    if (!slot_is_ours(p, DECODE_STREAM_VIDEO, &free))
        return false; // the file player's decoder
    if (free) {
        s->refresh[DECODE_STREAM_VIDEO] = false;
        return open_slot(p, DECODE_STREAM_VIDEO, st, video_task_decode, 0);
    }
    if (s->refresh[DECODE_STREAM_VIDEO] && slot_is_stale(s, DECODE_STREAM_VIDEO, slot, st)) {
        stop_slot(p, slot);
        return open_slot(p, DECODE_STREAM_VIDEO, st, video_task_decode, 0);
    }
    return slot->i_stream == st->index; // another program's video
}

// Audio packets of the selected track go to the audio decoder, which is (re)created for the
// track. False to drop the packet.
bool route_audio(playhandle_t *p, rx_state_t *s, const AVStream *st) {
    if (st->codecpar->codec_id == AV_CODEC_ID_NONE)
        return false; // nothing to decode it with yet
    int count = map_audio_stream(s->ctx, s->audio_map);
    OS_AtomicSet(&p->audio_ch_count, count);
    if (count <= 1)
        OS_AtomicSet(&p->active_audio_ch, 0);
    if (count == 0 || s->audio_map[st->index] != OS_AtomicGet(&p->active_audio_ch))
        return false;
    task_decode_t *slot = &p->task_decode[DECODE_STREAM_AUDIO];
    bool free = false;
    if (!slot_is_ours(p, DECODE_STREAM_AUDIO, &free))
        return false;
    if (free) {
        s->refresh[DECODE_STREAM_AUDIO] = false;
        return open_slot(p, DECODE_STREAM_AUDIO, st, audio_task_decode, 1);
    }
    if (slot_is_stale(s, DECODE_STREAM_AUDIO, slot, st)) {
        stop_slot(p, slot); // the next packet starts a decoder for the new track
        return false;
    }
    return true;
}

// Hands a data packet to the data task unless one still waits there.
void route_data(playhandle_t *p, const AVStream *st, const AVPacket *pkt) {
    task_decode_t *slot = &p->task_decode[DECODE_STREAM_DATA];
    bool free = false;
    if (!slot_is_ours(p, DECODE_STREAM_DATA, &free) ||
        (free && !open_slot(p, DECODE_STREAM_DATA, st, data_task_decode, 1)))
        return;
    if (block_FifoCount(slot->p_qdecode) > 0)
        return;
    block_t *b = block_Alloc(pkt->size);
    if (!b)
        return;
    memcpy(b->p_buffer, pkt->data, (size_t)pkt->size);
    block_FifoPut(slot->p_qdecode, b);
}

// Writes a data packet to the file and UDP outputs that are switched on.
void output_data(playhandle_t *p, const AVPacket *pkt) {
    if (OS_AtomicGet(&p->is_save_data_by_file) == 1 && p->rx.data_file_name) {
        if (!p->data_file)
            p->data_file = fopen(p->rx.data_file_name, "wb");
        if (p->data_file) {
            fwrite(pkt->data, 1, (size_t)pkt->size, p->data_file);
            fflush(p->data_file);
        }
    }
    if (OS_AtomicGet(&p->is_send_data_by_eth)) {
        unsigned ip = OS_AtomicGet(&p->data_ip);
        if (p->data_socket <= 0) {
            p->data_socket = (int)Socket_UDPSocket();
            unsigned top = ip >> 24;
            if (top >= 224 && top <= 239)
                Socket_SetMulticast(p->data_socket, 10, 0, 0, nullptr);
        }
        if (p->data_socket > 0)
            Socket_SendTo((unsigned)p->data_socket, pkt->data, pkt->size, ip,
                          (unsigned short)OS_AtomicGet(&p->data_port));
    }
}

// Stream-out follows the callback registration packet by packet; a callback registered anew
// (another function or parameter) gets a stream-out of its own, starting with a new header.
void feed_stream_out(playhandle_t *p, rx_state_t *s, AVPacket *pkt) {
    stream_callback_t cb = OS_AtomicGet(&p->stream_callback);
    void *param = OS_AtomicGet(&p->stream_callback_param);
    if (s->stream_out && (s->stream_out->callback != cb || s->stream_out->p_params != param))
        stream_close(s->stream_out);
    if (cb) {
        if (!s->stream_out)
            s->stream_out = stream_open(s->ctx, cb, param);
        if (s->stream_out) {
            int flags = pkt->flags;
            pkt->flags = s->saved_flags;
            stream_puts(s->stream_out, pkt);
            pkt->flags = flags;
        }
    } else if (s->stream_out) {
        stream_close(s->stream_out);
    }
}

// A video or audio block for the dispatcher. It carries the key-frame flag, the duration and
// the stream's time base besides the time stamp: the dispatcher paces by time, the video queue
// restarts at key frames and the audio queue is bounded by time.
// Opens a recorder with the settings start copied last. A recorder that cannot start ends the
// recording (the record bit leaves the mask; record_open logged why): no retry per packet.
void open_recorder(playhandle_t *p, rx_state_t *s) {
    OS_WaitSemaphore(p->rec_lock);
    s->recorder =
        record_open(p->rec.path, p->rec.file_name, nullptr, s->ctx, p->rec.is_sdx, p->sdx_handle);
    OS_SetSemaphore(p->rec_lock);
    if (!s->recorder)
        quorvex_record_ended(p);
}

// The recorder follows the record bit packet by packet; it gets video and audio packets, the
// audio ones with their flags cleared so that only video key frames make index entries.
void feed_recorder(playhandle_t *p, rx_state_t *s, AVPacket *pkt) {
    bool wanted = (OS_AtomicGet(&p->active_action) & ACTION_RECORD) != 0;
    if (s->recorder && (!wanted || record_failed(s->recorder))) {
        bool failed = record_failed(s->recorder) != 0;
        record_close(s->recorder);
        if (failed)
            quorvex_record_ended(p);
        return;
    }
    if (!wanted)
        return;
    if (!s->recorder)
        open_recorder(p, s);
    if (!s->recorder)
        return;
    int flags = pkt->flags;
    pkt->flags = s->saved_flags;
    record_puts(s->recorder, pkt);
    pkt->flags = flags;
}

block_t *make_media_block(const AVPacket *pkt, const AVStream *st, int codec_type) {
    block_t *b = block_Alloc(pkt->size);
    if (!b)
        return nullptr;
    memcpy(b->p_buffer, pkt->data, (size_t)pkt->size);
    b->i_stream = (unsigned)pkt->stream_index;
    b->i_codec_type = codec_type;
    b->i_pts = (uint64_t)pkt->pts;
    b->i_length = pkt->duration > 0 ? pkt->duration : 0;
    b->i_flags = (pkt->flags & AV_PKT_FLAG_KEY) ? MEDIA_BLOCK_KEY : 0;
    media_block_set_time_base(b, st->time_base.num, st->time_base.den);
    b->src_app = STREAMING_APP;
    return b;
}

// A PES longer than the demuxer's packet limit still arrives in pieces; the parser must then
// join them again, as it does without the whole-frame hint.
void note_cut_piece(AVStream *st, const AVPacket *pkt) {
    AVCodecParserContext *parser = av_stream_get_parser(st);
    if (!parser || !(parser->flags & PARSER_FLAG_COMPLETE_FRAMES) ||
        pkt->size < kMaxPesPacket - kTsPayload)
        return;
    parser->flags &= ~PARSER_FLAG_COMPLETE_FRAMES;
    syslog_message(syslog_id_parser_info, "picture cut by the demuxer, parser joins pieces\n");
}

// Routes one packet that was read; the packet stays the caller's.
void handle_packet(playhandle_t *p, rx_state_t *s, AVPacket *pkt) {
    if (s->encrypted && pkt->size > RX_CRYPT_CLEAR_BYTES)
        rx_crypt_packet(&s->crypt, pkt->data, pkt->size);
    if (pkt->stream_index < 0 || (unsigned)pkt->stream_index >= s->ctx->nb_streams)
        return;
    kick_watchdog(p);
    s->error_count = 0;
    AVStream *st = s->ctx->streams[pkt->stream_index];
    block_t *b = nullptr;
    switch (st->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
        s->saved_flags = pkt->flags;
        note_cut_piece(st, pkt);
        if (!route_video(p, s, st))
            break;
        b = make_media_block(pkt, st, CODEC_TYPE_VIDEO);
        if (p->video_analyzer)
            p->video_analyzer->send(p->video_analyzer, pkt->size);
        if (p->vframe_analyzer)
            p->vframe_analyzer->event(p->vframe_analyzer);
        break;
    case AVMEDIA_TYPE_AUDIO:
        s->saved_flags = 0;
        if (route_audio(p, s, st))
            b = make_media_block(pkt, st, CODEC_TYPE_AUDIO);
        break;
    case AVMEDIA_TYPE_DATA:
        output_data(p, pkt);
        route_data(p, st, pkt);
        return; // data is neither recorded nor streamed out
    default:
        return;
    }
    feed_recorder(p, s, pkt);
    feed_stream_out(p, s, pkt);
    if (b)
        block_FifoPut(p->q_dispacher, b);
}

// Closes the input and opens it again; the decoders stay and check their streams at the first
// packet of the new connection. False when the task ends (stopped, or no SDP).
bool reconnect(playhandle_t *p, rx_state_t *s) {
    if (s->mem)
        return false;            // a stream in memory has ended at its end
    stream_close(s->stream_out); // its stream list was the old connection's
    close_input(p, s);
    for (bool &r : s->refresh)
        r = true;
    s->ctx = open_input(p, s);
    if (!s->ctx)
        return false;
    kick_watchdog(p);
    return true;
}

// What a failed read leads to. An input that ended (HTTP, a finished sender) is opened again at
// once; any input is opened again after a run of failures.
bool read_failed(playhandle_t *p, rx_state_t *s, int r) {
    syslog_message(syslog_id_parser_info, "read bad packet \n");
    bool ended = r == AVERROR_EOF && !has_watchdog(s->protocol);
    if (!ended && ++s->error_count <= kResetAfterErrors) {
        if (!has_watchdog(s->protocol) && !s->mem)
            OS_MSleep(kFailedReadPauseMs);
        return true;
    }
    return reconnect(p, s);
}

// Reads until the task is stopped, reconnecting after a run of failed reads.
void read_loop(playhandle_t *p, rx_state_t *s) {
    AVPacket *pkt = av_packet_alloc();
    if (!pkt)
        return;
    while (rx_active(p)) {
        int r = av_read_frame(s->ctx, pkt);
        if (r < 0) {
            if (!rx_active(p) || !read_failed(p, s, r))
                break;
            continue;
        }
        handle_packet(p, s, pkt);
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
}

void task_exit(playhandle_t *p, rx_state_t *s) {
    OS_AtomicSet(&p->active_network_rx, 0);
    record_close(s->recorder);
    stream_close(s->stream_out);
    decode_slots_stop(p, STREAMING_APP); // the file player's stay
    close_input(p, s);
    rx_close_data_outputs(p);
    av_dict_free(&s->options);
    if (s->encrypted)
        rx_crypt_free(&s->crypt);
    free(p->p_keep_buffer);
    p->p_keep_buffer = nullptr;
}

} // namespace

bool decode_slot_open(playhandle_t *p, int kind, const AVCodecParameters *par, int stream_index,
                      OS_TaskFunc_t task, int priority, int creator) {
    task_decode_t *slot = &p->task_decode[kind];
    block_fifo_t *q = block_FifoNew();
    AVCodecParameters *copy = avcodec_parameters_alloc();
    if (!q || !copy || avcodec_parameters_copy(copy, par) < 0) {
        block_FifoRelease(q);
        avcodec_parameters_free(&copy);
        return false;
    }
    OS_WaitSemaphore(p->slot_lock);
    bool taken = slot->p_qdecode != nullptr;
    if (!taken) {
        slot->p_qdecode = q;
        slot->creator = creator;
    }
    OS_SetSemaphore(p->slot_lock);
    if (taken) {
        block_FifoRelease(q);
        avcodec_parameters_free(&copy);
        return false;
    }
    slot->decode_type = kind;
    slot->i_stream = stream_index;
    slot->p_par = copy;
    OS_AtomicSet(&slot->active_task_decode, 1);
    slot->h_task_decode = OS_TaskCreate(4096, "decode", task, priority, p);
    return true;
}

int decode_slot_owner(playhandle_t *p, int kind) {
    OS_WaitSemaphore(p->slot_lock);
    const task_decode_t *slot = &p->task_decode[kind];
    int owner = slot->p_qdecode ? slot->creator : -1;
    OS_SetSemaphore(p->slot_lock);
    return owner;
}

void decode_slot_stop(playhandle_t *p, task_decode_t *slot) {
    OS_AtomicSet(&slot->active_task_decode, 0);
    OS_WaitSemaphore(p->slot_lock);
    block_fifo_t *q = slot->p_qdecode;
    OS_SetSemaphore(p->slot_lock);
    if (q)
        block_FifoWake(q); // a decoder waiting for a block sees the stop at once
    OS_TaskDelete(slot->h_task_decode);
    slot->h_task_decode = nullptr;
    OS_WaitSemaphore(p->slot_lock);
    slot->p_qdecode = nullptr;
    OS_SetSemaphore(p->slot_lock);
    block_FifoRelease(q);
    avcodec_parameters_free(&slot->p_par);
}

void decode_slots_stop(playhandle_t *p, int creator) {
    for (int i = 0; i < DECODE_STREAM_COUNT; i++)
        if (decode_slot_owner(p, i) == creator)
            decode_slot_stop(p, &p->task_decode[i]);
}

void rx_close_data_outputs(playhandle_t *p) {
    if (p->data_file)
        fclose(p->data_file);
    p->data_file = nullptr;
    if (p->data_socket > 0)
        Socket_Close((unsigned)p->data_socket);
    p->data_socket = 0;
}

int rx_crypt_init(rx_crypt_t *c, const unsigned char *key, int key_len) {
    uint8_t digest[16];
    av_md5_sum(digest, key, key_len > 0 ? key_len : 0);
    for (int i = 0; i < 16; i++)
        c->iv[i] = digest[15 - i];
    c->aes = av_aes_alloc();
    if (!c->aes)
        return -1;
    av_aes_init(c->aes, digest, 128, 1);
    return 0;
}

void rx_crypt_packet(rx_crypt_t *c, uint8_t *data, int size) {
    if (size <= RX_CRYPT_CLEAR_BYTES)
        return;
    uint8_t iv[16];
    memcpy(iv, c->iv, sizeof(iv)); // every packet starts from the initial IV
    int blocks = (size - RX_CRYPT_CLEAR_BYTES) / 16;
    uint8_t *start = data + RX_CRYPT_CLEAR_BYTES;
    av_aes_crypt(c->aes, start, start, blocks, iv, 1);
}

void rx_crypt_free(rx_crypt_t *c) {
    av_freep(&c->aes);
}

void rx_udp_url(unsigned int multicast_addr, int port, char *buf, int size) {
    if ((multicast_addr >> 24) > 0xDF) {
        char group[16];
        Socket_Addr2Str(group, multicast_addr);
        snprintf(buf, (size_t)size, "udp://@%s:%d", group, port);
    } else {
        snprintf(buf, (size_t)size, "udp://@127.0.0.1:%d", port);
    }
}

int find_stream_info(AVFormatContext *ctx, int) {
    return avformat_find_stream_info(ctx, nullptr);
}

int map_audio_stream(AVFormatContext *ctx, std::vector<int> &map) {
    map.assign(ctx->nb_streams, -1);
    int count = 0;
    for (unsigned i = 0; i < ctx->nb_streams; i++)
        if (ctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            map[i] = count++;
    return count;
}

int rtp_monitor(void *param) {
    playhandle_t *p = static_cast<playhandle_t *>(param);
    if (!rx_active(p))
        return 1;
    unsigned elapsed = OS_GetKHClock() - OS_AtomicGet(&p->monitor_start_timeout_ms);
    return elapsed > OS_AtomicGet(&p->monitor_time_out_ms) ? 1 : 0;
}

int mpegts_monitor(void *param) {
    return rx_active(static_cast<playhandle_t *>(param)) ? 0 : 1;
}

namespace {

// The start of one run: the handle's per-run resources and the run's decryption.
void task_begin(playhandle_t *p, rx_state_t *s) {
    p->p_keep_buffer = static_cast<unsigned char *>(malloc(kKeepBufferSize));
    p->keep_buffer_ofs = 0;
    OS_AtomicSet(&p->active_audio_ch, 0);
    OS_AtomicSet(&p->audio_ch_count, 0);
    s->protocol = p->rx.protocol;
    s->encrypted =
        p->rx.is_encryption == 1 && rx_crypt_init(&s->crypt, p->rx.key, p->rx.key_len) == 0;
    OS_AtomicSet(&p->monitor_time_out_ms, kRtpStalledMs);
}

// Waits (bounded) until the dispatcher and the decoders have taken what was handed on.
void wait_handed_on(playhandle_t *p) {
    for (int i = 0; i < 200; i++) {
        bool empty = block_FifoCount(p->q_dispacher) == 0;
        OS_WaitSemaphore(p->slot_lock);
        for (const task_decode_t &slot : p->task_decode)
            empty = empty && (!slot.p_qdecode || block_FifoCount(slot.p_qdecode) == 0);
        OS_SetSemaphore(p->slot_lock);
        if (empty)
            return;
        OS_MSleep(1);
    }
}

} // namespace

int rx_run_memory(playhandle_t *p, const uint8_t *data, size_t size) {
    if (p->h_task_video_rx || OS_AtomicGet(&p->active_task_video_rx))
        return -1;
    rx_state_t s = {};
    s.mem = data;
    s.mem_size = size;
    OS_AtomicSet(&p->active_task_video_rx, 1);
    task_begin(p, &s);
    s.protocol = Protocol_UDPTS;
    s.ctx = open_input(p, &s);
    if (s.ctx)
        read_loop(p, &s);
    wait_handed_on(p);
    task_exit(p, &s);
    OS_AtomicSet(&p->active_task_video_rx, 0);
    return 0;
}

void *task_gen_rx(void *pParam) {
    playhandle_t *p = static_cast<playhandle_t *>(pParam);
    rx_state_t s = {};
    task_begin(p, &s);
    s.ctx = open_input(p, &s);
    if (s.ctx) {
        kick_watchdog(p);
        read_loop(p, &s);
    }
    task_exit(p, &s);
    if (rx_active(p))
        quorvex_live_ended(p); // ended by itself (the SDP input could not be opened)
    return nullptr;
}
