#include "record.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <string>

#include "syslog.h"
#include "tm_api.h"

// One input stream as seen at open: the demuxer's own copy goes with a reconnect.
struct rec_input_t {
    AVCodecParameters *par;
    AVRational time_base;
    AVRational sample_aspect_ratio;
};

namespace {

int g_tag_event; // a tag is wanted on the next key frame; process-wide

constexpr int kWaitMs = 100;
constexpr unsigned kIndexFlushMs = 10000; // a killed recorder leaves an index at most this old
constexpr int kMaxNameTries = 1000;

void log_error(const char *what, const char *name) {
    syslog_message(syslog_id_decode_error, "record: %s %s\n", what, name ? name : "");
    QV_DEBUG("record: %s %s", what, name ? name : "");
}

// Creates NAME.ts (exclusively), or NAME_1.ts, NAME_2.ts … when the name is taken by a recording
// or its index. The file, with *base set to the name used; null when none can be created.
FILE *create_unique(const char *dir, const std::string &name, std::string *base) {
    for (int i = 0; i < kMaxNameTries; i++) {
        std::string candidate = i == 0 ? name : name + "_" + std::to_string(i);
        char *ts = record_path_join(dir, candidate.c_str(), ".ts");
        char *sdx = record_path_join(dir, candidate.c_str(), ".sdx");
        bool index_taken = sdx && access(sdx, F_OK) == 0;
        FILE *f = !index_taken && ts ? fopen(ts, "wbx") : nullptr;
        int err = errno;
        free(ts);
        free(sdx);
        if (f) {
            *base = candidate;
            return f;
        }
        if (!index_taken && err != EEXIST)
            return nullptr; // not a name clash: the directory is the trouble
    }
    return nullptr;
}

bool copy_inputs(recmux_t *r, const AVFormatContext *in) {
    r->nb_inputs = in ? (int)in->nb_streams : 0;
    r->inputs = static_cast<rec_input_t *>(calloc((size_t)r->nb_inputs + 1, sizeof(rec_input_t)));
    if (!r->inputs)
        return false;
    for (int i = 0; i < r->nb_inputs; i++) {
        const AVStream *st = in->streams[i];
        rec_input_t *c = &r->inputs[i];
        c->time_base = st->time_base;
        c->sample_aspect_ratio = st->sample_aspect_ratio;
        c->par = avcodec_parameters_alloc();
        if (!c->par || avcodec_parameters_copy(c->par, st->codecpar) < 0)
            return false;
    }
    return true;
}

void free_recorder(recmux_t *r) {
    for (int i = 0; r->inputs && i < r->nb_inputs; i++)
        avcodec_parameters_free(&r->inputs[i].par);
    free(r->inputs);
    block_FifoRelease(r->q);
    if (r->fp)
        fclose(r->fp);
    free(r->ts_file_name);
    free(r);
}

// --- the writer task ---

struct writer_t {
    recmux_t *r;
    AVFormatContext *out;
    bool started;
    unsigned start_time;  // ms clock at the first packet
    unsigned last_flush;  // ms clock of the last index write
    int64_t index_offset; // payload bytes handed to the recorder so far
};

// Appends bytes to the file; a short write stops the recording.
bool append(writer_t *w, const uint8_t *data, int size) {
    recmux_t *r = w->r;
    if (size <= 0 || OS_AtomicGet(&r->failed))
        return !OS_AtomicGet(&r->failed);
    if (fwrite(data, 1, (size_t)size, r->fp) != (size_t)size || fflush(r->fp) != 0) {
        OS_AtomicSet(&r->failed, 1);
        log_error("write failed, recording stopped:", r->ts_file_name);
        return false;
    }
    return true;
}

// Runs one muxer call into a memory buffer and appends what it produced with one write.
template <typename F> bool mux_to_file(writer_t *w, F call) {
    if (avio_open_dyn_buf(&w->out->pb) < 0)
        return false;
    call();
    uint8_t *buf = nullptr;
    int size = avio_close_dyn_buf(w->out->pb, &buf);
    w->out->pb = nullptr;
    bool ok = append(w, buf, size);
    av_free(buf);
    return ok;
}

bool open_muxer(writer_t *w) {
    recmux_t *r = w->r;
    if (avformat_alloc_output_context2(&w->out, nullptr, "mpegts", nullptr) < 0 || !w->out)
        return false;
    for (int i = 0; i < r->nb_inputs; i++) {
        AVStream *os = avformat_new_stream(w->out, nullptr);
        if (!os || avcodec_parameters_copy(os->codecpar, r->inputs[i].par) < 0)
            return false;
        os->codecpar->codec_tag = 0;
        os->time_base = r->inputs[i].time_base;
        os->sample_aspect_ratio = r->inputs[i].sample_aspect_ratio;
    }
    int header = -1;
    bool ok = mux_to_file(w, [&] { header = avformat_write_header(w->out, nullptr); });
    return ok && header >= 0;
}

// The entry and the pending tag of a key frame just written.
void index_key_frame(writer_t *w, unsigned now) {
    recmux_t *r = w->r;
    if (!r->sdx_handle)
        return;
    int second = (int)((now - w->start_time) / 1000);
    if (SdxWriteIndex(r->sdx_handle, w->index_offset, second, 0) != 0)
        return; // full: recording goes on without entries
    if (__atomic_exchange_n(&g_tag_event, 0, __ATOMIC_ACQ_REL) == 1)
        SdxSetTag(r->sdx_handle, (unsigned)second);
}

// A time stamp in the muxer's time base; a missing one stays missing.
int64_t rescale(int64_t ts, AVRational from, AVRational to) {
    return ts == AV_NOPTS_VALUE ? ts : av_rescale_q(ts, from, to);
}

void write_block(writer_t *w, block_t *b) {
    recmux_t *r = w->r;
    unsigned now = OS_GetKHClock();
    if (!w->started) {
        w->started = true;
        w->start_time = now;
    }
    if (b->i_stream < (unsigned)r->nb_inputs && !OS_AtomicGet(&r->failed)) {
        AVPacket *pkt = av_packet_alloc();
        if (pkt) {
            AVRational in_tb = r->inputs[b->i_stream].time_base;
            AVRational out_tb = w->out->streams[b->i_stream]->time_base;
            pkt->data = b->p_buffer;
            pkt->size = b->i_buffer;
            pkt->stream_index = (int)b->i_stream;
            pkt->flags = (int)b->i_flags;
            pkt->pts = rescale((int64_t)b->i_pts, in_tb, out_tb);
            pkt->dts = rescale((int64_t)b->i_dts, in_tb, out_tb);
            int written = -1;
            mux_to_file(w, [&] { written = av_write_frame(w->out, pkt); });
            if (written >= 0 && (b->i_flags & AV_PKT_FLAG_KEY))
                index_key_frame(w, now);
            av_packet_free(&pkt);
        }
    }
    w->index_offset += b->i_buffer;
    if (r->sdx_handle && now - w->last_flush >= kIndexFlushMs) {
        SdxFlush(r->sdx_handle);
        w->last_flush = now;
    }
}

void *task_record(void *param) {
    recmux_t *r = static_cast<recmux_t *>(param);
    writer_t w = {};
    w.r = r;
    __atomic_store_n(&g_tag_event, 0, __ATOMIC_RELEASE);
    if (!open_muxer(&w)) {
        OS_AtomicSet(&r->failed, 1);
        log_error("cannot start the muxer for", r->ts_file_name);
    }
    if (r->sdx_handle) {
        SdxFlush(r->sdx_handle); // an index exists from the start
        w.last_flush = OS_GetKHClock();
    }
    for (;;) {
        // After the stop, what is still queued is written before the trailer.
        bool stopping = !OS_AtomicGet(&r->active);
        block_t *b = block_FifoGetTimeout(r->q, stopping ? 0 : kWaitMs);
        if (!b) {
            if (stopping)
                break;
            continue;
        }
        if (w.out && !OS_AtomicGet(&r->failed))
            write_block(&w, b);
        block_Release(b);
    }
    if (w.out) {
        if (!OS_AtomicGet(&r->failed) && avio_open_dyn_buf(&w.out->pb) >= 0) {
            av_write_trailer(w.out);
            uint8_t *buf = nullptr;
            int size = avio_close_dyn_buf(w.out->pb, &buf);
            w.out->pb = nullptr;
            append(&w, buf, size);
            av_free(buf);
        }
        avformat_free_context(w.out);
    }
    return nullptr;
}

} // namespace

char *record_path_join(const char *dir, const char *name, const char *ext) {
    size_t len = strlen(dir);
    bool slash = len > 0 && (dir[len - 1] == '/' || dir[len - 1] == '\\');
    std::string path = std::string(dir) + (slash ? "" : "/") + name + ext;
    return strdup(path.c_str());
}

void create_record_file_name(char **name) {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char text[64];
    snprintf(text, sizeof(text), "D%04d_%02d_%02dT%02d_%02d_%02d", t.tm_year + 1900, t.tm_mon + 1,
             t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    *name = strdup(text);
}

record_handle_t record_open(const char *file_path, const char *file_name, const char *, void *fctx,
                            int is_sdx, void *sdx_handle) {
    if (!file_path || !file_path[0])
        return nullptr;
    std::string name;
    if (file_name && file_name[0]) {
        name = file_name;
    } else {
        char *made = nullptr;
        create_record_file_name(&made);
        name = made ? made : "record";
        free(made);
    }
    std::string base;
    FILE *fp = create_unique(file_path, name, &base);
    if (!fp) {
        log_error("cannot create a recording in", file_path);
        return nullptr;
    }
    recmux_t *r = static_cast<recmux_t *>(calloc(1, sizeof(recmux_t)));
    if (r) {
        r->fp = fp;
        r->ts_file_name = record_path_join(file_path, base.c_str(), ".ts");
        r->q = block_FifoNew();
    }
    if (!r || !r->q || !r->ts_file_name ||
        !copy_inputs(r, static_cast<const AVFormatContext *>(fctx))) {
        if (r)
            free_recorder(r);
        else
            fclose(fp);
        return nullptr;
    }
    if (is_sdx) {
        char *sdx = record_path_join(file_path, base.c_str(), ".sdx");
        sdx_param p = {};
        p.type = RECORDING_OPEN;
        snprintf(p.sdx_file_name, sizeof(p.sdx_file_name), "%s", sdx ? sdx : "");
        p.index_count = SDX_RECORD_CAPACITY;
        r->sdx_handle = sdx ? SdxOpen(p) : nullptr;
        if (!r->sdx_handle)
            log_error("no index for", sdx);
        free(sdx);
    } else {
        r->sdx_handle = sdx_handle;
    }
    OS_AtomicSet(&r->active, 1);
    r->h_task = OS_TaskCreate(4096, "record", task_record, 0, r);
    if (!r->h_task) {
        if (is_sdx && r->sdx_handle)
            SdxClose(r->sdx_handle, RECORDING_OPEN);
        free_recorder(r);
        return nullptr;
    }
    return r;
}

int record_puts(record_handle_t h, const AVPacket *pkt) {
    recmux_t *r = static_cast<recmux_t *>(h);
    if (!r || OS_AtomicGet(&r->failed))
        return 0;
    block_t *b = block_Alloc(pkt->size);
    if (!b)
        return -1;
    memcpy(b->p_buffer, pkt->data, (size_t)pkt->size);
    b->i_stream = (unsigned)pkt->stream_index;
    b->i_pts = (uint64_t)pkt->pts;
    b->i_dts = (uint64_t)pkt->dts;
    b->i_flags = (unsigned)pkt->flags;
    block_FifoPut(r->q, b);
    return 0;
}

void record_close(record_handle_t &h) {
    recmux_t *r = static_cast<recmux_t *>(h);
    if (!r)
        return;
    OS_AtomicSet(&r->active, 0);
    block_FifoWake(r->q);
    OS_TaskDelete(r->h_task);
    if (r->sdx_handle)
        SdxClose(r->sdx_handle, RECORDING_OPEN);
    free_recorder(r);
    h = nullptr;
}

int record_failed(record_handle_t h) {
    recmux_t *r = static_cast<recmux_t *>(h);
    return r && OS_AtomicGet(&r->failed) ? 1 : 0;
}

void record_tag_event_1(void) {
    __atomic_store_n(&g_tag_event, 1, __ATOMIC_RELEASE);
}
