#include "playback_tm.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/time.h>
}

#include <string>

#include "quorvex_audio.h"
#include "quorvex_rx.h"
#include "quorvex_video.h"
#include "socket.h"
#include "syslog.h"
#include "tm_api.h"
#include "user_stream.h"

struct player_t {
    playhandle_t *new_player_sys;
    int active_task; // atomic
    // Settings: written by SdxUpdate (API thread), read by the task once a pass; atomic.
    int dir, spd, loop_playback, play_slow_on_end, tm_mode, play_type;
    int event; // pending bits, under semaphor
    int eof_flag, sof_flag, timer_flag;
    void *sdx_handle;
    char record_file_name[200];
    int64_t seek_pos;
    int seek_sec; // under semaphor while a seek is posted
    OS_Task_t h_task_player;
    OS_Semaphore_t semaphor;
    playback_stream_params_t *playback_stream_params;
    bool ai; // an ".ai" replay: h_task_player is the replay task
};

namespace {

constexpr unsigned kParkedSleepMs = 100;
constexpr unsigned kTrickStepSleepMs = 80;
constexpr unsigned kLiveEndWaitMs = 1000;
constexpr int64_t kKeySearchBytes = 4 * 1024 * 1024;
constexpr int64_t kMaxPaceSleepUs = 999999;

player_t *as_player(playback_handle_t h) {
    return static_cast<player_t *>(h);
}

int64_t file_size(const char *name) {
    struct stat st;
    return stat(name, &st) == 0 ? (int64_t)st.st_size : -1;
}

// The extension of a name (after the last "." behind the last "/"), or "".
const char *extension(const char *name) {
    const char *slash = strrchr(name, '/');
    const char *dot = strrchr(slash ? slash : name, '.');
    return dot && dot != name && dot[-1] != '/' ? dot : "";
}

// Posts a seek (the caller holds semaphor).
void post_seek(player_t *pl, int sec) {
    pl->seek_sec = sec;
    pl->event |= PLAYER_EVENT_SEEK;
}

bool seek_pending(player_t *pl) {
    OS_WaitSemaphore(pl->semaphor);
    bool pending = (pl->event & PLAYER_EVENT_SEEK) != 0;
    OS_SetSemaphore(pl->semaphor);
    return pending;
}

// What one run of the player task keeps.
struct file_player_t {
    player_t *pl;
    playhandle_t *p;
    AVFormatContext *in;
    AVPacket *pkt;
    stream_h_t restream;
    int pace_stream;   // the stream whose time stamps pace playback: video, else audio
    int64_t start_pts; // of the pace stream, AV_NOPTS_VALUE until known
    int64_t last_pts;
    int64_t last_timer; // µs
    int64_t last_sleep; // µs
    bool audio;         // audio packets are passed on (normal speed only)
    bool set_packet_again;
    int second;
    int total_sec;
    int is_rec;
};

// Sends one muxed chunk of the re-stream to the target, when it is set.
void send_chunk(void *param, unsigned char *buffer, int size) {
    playback_stream_params_t *t = static_cast<playback_stream_params_t *>(param);
    unsigned ip = OS_AtomicGet(&t->ip);
    int port = OS_AtomicGet(&t->port);
    int sock = OS_AtomicGet(&t->socket);
    if (sock > 0 && ip && port > 0)
        Socket_SendTo((unsigned)sock, buffer, size, ip, (unsigned short)port);
}

// The re-stream muxer follows the target's socket: made when it is open, dropped when closed.
void sync_restream(file_player_t *f) {
    playback_stream_params_t *t = f->pl->playback_stream_params;
    bool open = t && OS_AtomicGet(&t->socket) > 0;
    if (open && !f->restream)
        f->restream = stream_open(f->in, send_chunk, t);
    else if (!open && f->restream)
        stream_close(f->restream);
}

int pace_stream_of(const AVFormatContext *in) {
    int audio = -1;
    for (unsigned i = 0; i < in->nb_streams; i++) {
        AVMediaType t = in->streams[i]->codecpar->codec_type;
        if (t == AVMEDIA_TYPE_VIDEO)
            return (int)i;
        if (t == AVMEDIA_TYPE_AUDIO && audio < 0)
            audio = (int)i;
    }
    return audio;
}

bool open_file(file_player_t *f) {
    AVFormatContext *in = nullptr;
    int r = avformat_open_input(&in, f->pl->record_file_name, nullptr, nullptr);
    if (r == 0 && (r = avformat_find_stream_info(in, nullptr)) < 0)
        avformat_close_input(&in);
    if (r < 0 || !in) {
        QV_DEBUG("%d = Open input fail %s ", r, f->pl->record_file_name);
        syslog_message(syslog_id_decode_error, "playback: cannot open %s\n",
                       f->pl->record_file_name);
        return false;
    }
    f->in = in;
    f->pace_stream = pace_stream_of(in);
    // The first time stamp of the pace stream counts as second 0.
    while (f->pace_stream >= 0 && av_read_frame(in, f->pkt) == 0) {
        bool found = f->pkt->stream_index == f->pace_stream && f->pkt->pts != AV_NOPTS_VALUE;
        if (found)
            f->start_pts = f->pkt->pts;
        av_packet_unref(f->pkt);
        if (found)
            break;
    }
    avformat_seek_file(in, -1, 0, 0, 0, AVSEEK_FLAG_BYTE);
    return true;
}

// Seconds since the first time stamp; the 33-bit MPEG clock may wrap within a recording.
int second_of(file_player_t *f, int64_t pts) {
    const AVStream *st = f->in->streams[f->pace_stream];
    int64_t d = pts - f->start_pts;
    if (st->pts_wrap_bits > 0 && st->pts_wrap_bits < 64) {
        const int64_t wrap = 1ll << st->pts_wrap_bits;
        d = ((d % wrap) + wrap) % wrap;
    }
    return (int)av_rescale_q(d, st->time_base, AVRational{1, 1});
}

int state_of(file_player_t *f) {
    player_t *pl = f->pl;
    if (OS_AtomicGet(&pl->spd) == PLAYER_SPD_PAUSE)
        return PLAYRE_STATUS_PAUSING;
    if (pl->eof_flag) {
        f->second = f->total_sec;
        return PLAYRE_STATUS_EOF;
    }
    if (pl->sof_flag) {
        f->second = 0;
        return PLAYRE_STATUS_SOF;
    }
    return PLAYRE_STATUS_PLAYING;
}

// The one-second step of reverse play and fast forward.
void trick_step(file_player_t *f, bool first_pass) {
    player_t *pl = f->pl;
    int dir = OS_AtomicGet(&pl->dir), spd = OS_AtomicGet(&pl->spd);
    OS_WaitSemaphore(pl->semaphor);
    if (dir == PLAYER_DIR_PREV) {
        if (pl->seek_sec > 0) {
            post_seek(pl, first_pass ? pl->seek_sec : pl->seek_sec - 1);
        } else {
            pl->sof_flag = 1;
            f->second = 0;
        }
    } else if (spd != PLAYER_SPD_NORMAL && spd != PLAYER_SPD_PAUSE) {
        if (pl->seek_sec < f->total_sec) {
            post_seek(pl, first_pass ? pl->seek_sec : pl->seek_sec + 1);
        } else if (OS_AtomicGet(&pl->play_slow_on_end)) {
            OS_AtomicSet(&pl->spd, PLAYER_SPD_NORMAL);
        } else {
            pl->eof_flag = 1;
            post_seek(pl, 0);
        }
    }
    OS_SetSemaphore(pl->semaphor);
}

// Seeks by byte, in proportion to the second asked for.
void do_seek(file_player_t *f) {
    player_t *pl = f->pl;
    OS_WaitSemaphore(pl->semaphor);
    int sec = pl->seek_sec;
    pl->event &= ~PLAYER_EVENT_SEEK;
    OS_SetSemaphore(pl->semaphor);
    if (sec < 0)
        sec = 0;
    if (sec > f->total_sec)
        sec = f->total_sec;
    int64_t size = file_size(pl->record_file_name);
    pl->seek_pos = f->total_sec > 0 && size > 0 ? size * sec / f->total_sec : 0;
    pl->timer_flag = 0;
    f->second = sec;
    av_seek_frame(f->in, -1, pl->seek_pos, AVSEEK_FLAG_BYTE);
    f->set_packet_again = true;
}

// After a seek: the first whole key frame of video within 4 MiB. False when none came (nothing is
// handed on for this step).
bool read_key_frame(file_player_t *f) {
    int64_t read = 0;
    while (read < kKeySearchBytes && av_read_frame(f->in, f->pkt) == 0) {
        read += f->pkt->size;
        const AVStream *st = f->in->streams[f->pkt->stream_index];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            (f->pkt->flags & (AV_PKT_FLAG_KEY | AV_PKT_FLAG_CORRUPT)) == AV_PKT_FLAG_KEY) {
            f->audio = false;
            return true;
        }
        av_packet_unref(f->pkt);
    }
    return false;
}

// The end of the file (or a read error): loop, wait for a recording still being written, or
// park at the end and start again at second 0.
void at_end(file_player_t *f) {
    player_t *pl = f->pl;
    Flash_Vid_Decoder(f->p);
    if (OS_AtomicGet(&pl->loop_playback)) {
        avformat_seek_file(f->in, -1, 0, 0, 0, AVSEEK_FLAG_BYTE);
        OS_WaitSemaphore(pl->semaphor);
        pl->seek_sec = 0;
        OS_SetSemaphore(pl->semaphor);
        return;
    }
    if (OS_AtomicGet(&pl->dir) != PLAYER_DIR_FOR)
        return;
    if (pl->sdx_handle && f->is_rec) {
        // A recording still being written: wait for more and read on from here.
        OS_MSleep(kLiveEndWaitMs);
        if (f->in->pb)
            f->in->pb->eof_reached = 0;
        return;
    }
    pl->eof_flag = 1;
    OS_MSleep(kParkedSleepMs);
    if (f->in->pb)
        f->in->pb->eof_reached = 0; // without an index the file is read again
    OS_WaitSemaphore(pl->semaphor);
    post_seek(pl, 0);
    OS_SetSemaphore(pl->semaphor);
}

// Normal-speed pacing on the pace stream's time stamps: each packet waits for its time since the
// previous one, never more than a second; a jump of a second or more repeats the last wait.
void pace(file_player_t *f) {
    f->audio = true;
    const AVPacket *pkt = f->pkt;
    int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    if (pkt->stream_index != f->pace_stream || ts == AV_NOPTS_VALUE)
        return;
    const AVStream *st = f->in->streams[f->pace_stream];
    int64_t now = av_gettime();
    if (f->last_pts != AV_NOPTS_VALUE) {
        int64_t diff_us = av_rescale_q(ts - f->last_pts, st->time_base, AVRational{1, 1000000});
        if (diff_us < 0 || diff_us > kMaxPaceSleepUs) {
            OS_SleepUs((unsigned)f->last_sleep);
        } else {
            int64_t wait = diff_us - (now - f->last_timer);
            if (wait > 10 && wait <= kMaxPaceSleepUs) {
                OS_SleepUs((unsigned)wait);
                f->last_sleep = wait;
            }
        }
    }
    f->last_pts = ts;
    f->last_timer = av_gettime();
}

// One packet read: paced, counted, re-streamed, decoded.
void hand_on(file_player_t *f, int seek_bit) {
    player_t *pl = f->pl;
    AVPacket *pkt = f->pkt;
    if (OS_AtomicGet(&pl->dir) == PLAYER_DIR_FOR && OS_AtomicGet(&pl->spd) == PLAYER_SPD_NORMAL)
        pace(f);
    if (pkt->stream_index == f->pace_stream && pkt->pts != AV_NOPTS_VALUE &&
        f->start_pts != AV_NOPTS_VALUE)
        f->second = second_of(f, pkt->pts);
    int type = OS_AtomicGet(&pl->play_type);
    if (f->restream && (type == DISPLAY_AND_STREAM || type == STREAM))
        stream_puts(f->restream, pkt);
    if (type != STREAM)
        set_new_packet(f->p, f->in, pkt, f->audio ? 1 : 0, 0, seek_bit);
}

// One pass of the player; false when the task ends.
bool pass(file_player_t *f, bool first_pass) {
    player_t *pl = f->pl;
    int seek_bit = 0;
    if (pl->sdx_handle) {
        SdxGetTotalSec(pl->sdx_handle, &f->total_sec);
        f->is_rec = SdxIsRecording(pl->sdx_handle);
    }
    if (first_pass) {
        if (!open_file(f))
            return false;
        f->second = 0;
        OS_WaitSemaphore(pl->semaphor);
        pl->seek_sec = 0;
        if (pl->sdx_handle && OS_AtomicGet(&pl->dir) == PLAYER_DIR_PREV)
            pl->seek_sec = f->second = f->total_sec;
        OS_SetSemaphore(pl->semaphor);
    }
    sync_restream(f);
    int state = state_of(f);
    OS_WaitSemaphore(pl->semaphor);
    bool pending = (pl->event & PLAYER_EVENT_SEEK) != 0;
    if (pending)
        f->second = pl->seek_sec;
    bool tag = (pl->event & PLAYER_EVENT_TAG) != 0;
    pl->event &= ~PLAYER_EVENT_TAG;
    OS_SetSemaphore(pl->semaphor);
    set_status(f->p, state, f->second, OS_AtomicGet(&pl->dir), OS_AtomicGet(&pl->spd), f->total_sec,
               f->is_rec);
    if (tag && pl->sdx_handle)
        SdxSetTag(pl->sdx_handle, (unsigned)f->second);
    if (state == PLAYRE_STATUS_PAUSING && !pending) {
        OS_MSleep(kParkedSleepMs);
        return true;
    }
    if (pl->sdx_handle)
        trick_step(f, first_pass);
    if (OS_AtomicGet(&pl->dir) == PLAYER_DIR_FOR)
        pl->sof_flag = 0;
    else
        pl->eof_flag = 0;
    if (seek_pending(pl)) {
        pl->sof_flag = pl->eof_flag = 0;
        seek_bit = PLAYBACK_SEEK_FLAG;
    }
    if (pl->sof_flag || pl->eof_flag) {
        OS_MSleep(kParkedSleepMs);
        return true;
    }
    bool sought = false;
    if (pl->sdx_handle && seek_pending(pl)) {
        do_seek(f);
        sought = true;
    } else if (!seek_pending(pl)) {
        OS_WaitSemaphore(pl->semaphor);
        pl->seek_sec = f->second;
        OS_SetSemaphore(pl->semaphor);
    }
    bool got = sought ? read_key_frame(f) : av_read_frame(f->in, f->pkt) == 0;
    if (!got) {
        if (!sought)
            at_end(f);
        f->set_packet_again = false;
        return true;
    }
    hand_on(f, sought ? seek_bit : 0);
    av_packet_unref(f->pkt);
    if (f->set_packet_again) {
        OS_MSleep(kTrickStepSleepMs);
        f->set_packet_again = false;
    }
    return true;
}

void *task_file_player(void *param) {
    player_t *pl = static_cast<player_t *>(param);
    file_player_t f = {};
    f.pl = pl;
    f.p = pl->new_player_sys;
    f.pkt = av_packet_alloc();
    f.start_pts = f.last_pts = AV_NOPTS_VALUE;
    f.pace_stream = -1;
    bool first = true;
    while (f.pkt && OS_AtomicGet(&pl->active_task)) {
        if (!pass(&f, first))
            break;
        first = false;
    }
    av_packet_free(&f.pkt);
    if (f.in)
        Flash_Vid_Decoder(f.p);
    term_player_sys(f.p);
    stream_close(f.restream);
    avformat_close_input(&f.in);
    return nullptr;
}

// Opens the index of a recording for trick modes; null when there is none or it is not valid.
void *open_index(const char *ts_name) {
    sdx_param sp = {};
    sp.type = PLAYBACK_OPEN;
    if (!playback_index_name(ts_name, sp.sdx_file_name, sizeof(sp.sdx_file_name)))
        return nullptr;
    void *h = SdxOpen(sp);
    if (!h)
        syslog_message(syslog_id_decode_error, "playback: no valid index %s\n", sp.sdx_file_name);
    return h;
}

// --- ".ai" replay ---

constexpr int kAiHeaderSize = 21;
constexpr int kAiMaxPacket = 65507; // one UDP datagram

uint32_t le32_at(const uint8_t *b) {
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
}

// Sleeps ms in pieces, ending early when the player is stopped. False when stopped.
bool sleep_while_active(player_t *pl, uint32_t ms) {
    while (ms > 0 && OS_AtomicGet(&pl->active_task)) {
        uint32_t piece = ms < 10 ? ms : 10;
        OS_MSleep(piece);
        ms -= piece;
    }
    return OS_AtomicGet(&pl->active_task) != 0;
}

// Replays an ".ai" recording: each AI stream packet goes as one datagram to 127.0.0.1 on the
// handle's receive port, spaced as its time stamps say (a stamp that goes back waits nothing).
void *task_ai_replay(void *param) {
    player_t *pl = static_cast<player_t *>(param);
    FILE *file = fopen(pl->record_file_name, "rb");
    if (!file) {
        fprintf(stderr, "Error: Could not open file.\n");
        return nullptr;
    }
    unsigned sock = Socket_UDPSocket();
    std::string packet;
    bool have_prev = false;
    uint32_t prev_ts = 0;
    while (OS_AtomicGet(&pl->active_task)) {
        uint8_t header[kAiHeaderSize];
        size_t got = fread(header, 1, sizeof(header), file);
        if (got != sizeof(header)) {
            if (got != 0) // a whole file ends between packets
                fprintf(stderr, "Error: Failed to read packet header.\n");
            break;
        }
        uint32_t length = le32_at(header + 5), ts = le32_at(header + 17);
        if (length <= (uint32_t)kAiHeaderSize || length > (uint32_t)kAiMaxPacket) {
            fprintf(stderr, "Error: Invalid packet length.\n");
            break;
        }
        packet.assign(reinterpret_cast<const char *>(header), sizeof(header));
        packet.resize(length);
        if (fread(&packet[kAiHeaderSize], 1, length - kAiHeaderSize, file) !=
            length - kAiHeaderSize) {
            fprintf(stderr, "Error: Failed to read packet data.\n");
            break;
        }
        if (have_prev && !sleep_while_active(pl, ts > prev_ts ? ts - prev_ts : 0))
            break;
        have_prev = true;
        prev_ts = ts;
        int port = OS_AtomicGet(&pl->new_player_sys->rx_port);
        if (sock && port > 0)
            Socket_SendTo(sock, reinterpret_cast<const unsigned char *>(packet.data()),
                          (int)packet.size(), 0x7F000001, (unsigned short)port);
    }
    if (sock)
        Socket_Close(sock);
    fclose(file);
    return nullptr;
}

} // namespace

bool playback_index_name(const char *ts_name, char *sdx_name, int size) {
    const char *ext = extension(ts_name);
    if (strcmp(ext, ".ts") != 0)
        return false;
    std::string name(ts_name, (size_t)(ext - ts_name));
    name += ".sdx";
    if ((int)name.size() >= size)
        return false;
    memcpy(sdx_name, name.c_str(), name.size() + 1);
    return true;
}

int playback_start(playhandle_t *p, play_file_setup_t setup, playback_handle_t *handle,
                   playback_stream_params_t *stream_params, int play_type) {
    *handle = nullptr;
    size_t len = strnlen(setup.record_file_name, sizeof(setup.record_file_name));
    const char *ext = len < sizeof(setup.record_file_name) ? extension(setup.record_file_name) : "";
    bool ai = strcmp(ext, ".ai") == 0;
    if (len == 0 || (!ai && strcmp(ext, ".ts") != 0) || file_size(setup.record_file_name) < 0) {
        syslog_message(syslog_id_decode_error, "playback: not a recording %s\n",
                       setup.record_file_name);
        return -1;
    }
    player_t *pl = static_cast<player_t *>(calloc(1, sizeof(player_t)));
    if (!pl)
        return -1;
    pl->new_player_sys = p;
    memcpy(pl->record_file_name, setup.record_file_name, len + 1);
    pl->dir = setup.dir;
    pl->spd = setup.spd;
    pl->loop_playback = setup.loop_playback;
    pl->play_slow_on_end = setup.play_slow_on_end;
    pl->tm_mode = setup.tm_mode;
    pl->play_type = play_type;
    pl->playback_stream_params = stream_params;
    pl->ai = ai;
    if (ai) {
        pl->tm_mode = TRICK_MODE_OFF; // no index, no events
        OS_AtomicSet(&pl->active_task, 1);
        pl->h_task_player = OS_TaskCreate(4096, "ai_replay", task_ai_replay, 1, pl);
        if (!pl->h_task_player) {
            free(pl);
            return -1;
        }
        *handle = pl;
        return 0;
    }
    if (pl->tm_mode == TRICK_MODE_ON)
        pl->sdx_handle = open_index(pl->record_file_name);
    if (!pl->sdx_handle) {
        pl->tm_mode = TRICK_MODE_OFF;
        pl->dir = PLAYER_DIR_FOR;
        pl->spd = PLAYER_SPD_NORMAL;
    }
    pl->semaphor = OS_AllocSemaphore();
    OS_AtomicSet(&pl->active_task, 1);
    pl->h_task_player =
        pl->semaphor ? OS_TaskCreate(4096, "file_player", task_file_player, 1, pl) : nullptr;
    if (!pl->h_task_player) {
        if (pl->sdx_handle)
            SdxClose(pl->sdx_handle, PLAYBACK_OPEN);
        OS_DeleteSemaphore(pl->semaphor);
        free(pl);
        return -1;
    }
    *handle = pl;
    return 0;
}

int playback_stop(playback_handle_t handle) {
    player_t *pl = as_player(handle);
    if (!pl)
        return -1;
    OS_AtomicSet(&pl->active_task, 0);
    OS_TaskDelete(pl->h_task_player);
    if (pl->ai) {
        free(pl);
        return 0;
    }
    if (pl->sdx_handle)
        SdxClose(pl->sdx_handle, PLAYBACK_OPEN); // writes the tags added, at its last user
    OS_DeleteSemaphore(pl->semaphor);
    free(pl);
    return 0;
}

int SdxSeekEvent(playback_handle_t handle, int seek_sec) {
    player_t *pl = as_player(handle);
    if (!pl)
        return -1;
    if (pl->tm_mode != TRICK_MODE_ON)
        return 0;
    OS_WaitSemaphore(pl->semaphor);
    post_seek(pl, seek_sec < 0 ? 0 : seek_sec);
    OS_SetSemaphore(pl->semaphor);
    return 0;
}

int SdxTagEvent(playback_handle_t handle) {
    player_t *pl = as_player(handle);
    if (!pl)
        return -1;
    if (pl->tm_mode != TRICK_MODE_ON)
        return 0;
    OS_WaitSemaphore(pl->semaphor);
    pl->event |= PLAYER_EVENT_TAG;
    OS_SetSemaphore(pl->semaphor);
    return 0;
}

int SdxUpdate(playback_handle_t handle, player_sdx_update u) {
    player_t *pl = as_player(handle);
    if (!pl)
        return -1;
    if (pl->tm_mode != TRICK_MODE_ON) {
        OS_AtomicSet(&pl->dir, PLAYER_DIR_FOR);
        OS_AtomicSet(&pl->spd, PLAYER_SPD_NORMAL);
        return 0;
    }
    if (u.spd > PLAYER_SPD_NORMAL)
        u.dir = PLAYER_DIR_FOR;
    OS_AtomicSet(&pl->dir, u.dir);
    OS_AtomicSet(&pl->spd, u.spd);
    OS_AtomicSet(&pl->loop_playback, u.loop_playback);
    return 0;
}

int SdxGetTagByI(playback_handle_t handle, int tag_i) {
    player_t *pl = as_player(handle);
    return pl && pl->sdx_handle ? SdxGetTag(pl->sdx_handle, tag_i) : -1;
}

int playback_stream_start(playback_stream_params_t *params) {
    if (!params)
        return -1;
    unsigned sock = Socket_UDPSocket();
    if (sock == 0)
        return -1;
    if ((OS_AtomicGet(&params->ip) >> 24) > 223)
        Socket_SetMulticast((int)sock, 4, 0, 0, nullptr);
    OS_AtomicSet(&params->socket, (int)sock);
    return 0;
}

int playback_stream_stop(playback_stream_params_t *params) {
    if (!params)
        return -1;
    int sock = __atomic_exchange_n(&params->socket, 0, __ATOMIC_ACQ_REL);
    if (sock > 0) {
        OS_MSleep(100); // a chunk being sent finishes first
        Socket_Close((unsigned)sock);
    }
    return 0;
}

void set_new_packet(playhandle_t *p, AVFormatContext *ctx, const AVPacket *pkt, int audio, int,
                    int seek_bit) {
    if (pkt->stream_index < 0 || (unsigned)pkt->stream_index >= ctx->nb_streams)
        return;
    const AVStream *st = ctx->streams[pkt->stream_index];
    int kind;
    OS_TaskFunc_t task;
    int priority;
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        kind = DECODE_STREAM_VIDEO;
        task = video_task_decode;
        priority = 0;
    } else if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && audio) {
        kind = DECODE_STREAM_AUDIO;
        task = audio_task_decode;
        priority = 1;
    } else {
        return;
    }
    int owner = decode_slot_owner(p, kind);
    if (owner < 0 &&
        !decode_slot_open(p, kind, st->codecpar, st->index, task, priority, PLAYBACK_APP))
        return;
    if (owner >= 0 && owner != PLAYBACK_APP)
        return; // live reception holds that decoder
    if (p->task_decode[kind].i_stream != st->index)
        return; // another track of the file
    block_t *b = block_Alloc(pkt->size);
    if (!b)
        return;
    memcpy(b->p_buffer, pkt->data, (size_t)pkt->size);
    b->i_stream = (unsigned)pkt->stream_index;
    b->i_codec_type = kind == DECODE_STREAM_VIDEO ? CODEC_TYPE_VIDEO : CODEC_TYPE_AUDIO;
    b->i_flags = ((pkt->flags & AV_PKT_FLAG_KEY) ? MEDIA_BLOCK_KEY : 0) | (unsigned)seek_bit;
    b->src_app = PLAYBACK_APP;
    if (kind == DECODE_STREAM_VIDEO) {
        if (p->video_analyzer)
            p->video_analyzer->send(p->video_analyzer, pkt->size);
        if (p->vframe_analyzer)
            p->vframe_analyzer->event(p->vframe_analyzer);
    }
    block_FifoPut(p->q_dispacher, b);
}

void set_status(playhandle_t *p, int state, int second, int direction, int speed, int total_sec,
                int is_rec) {
    player_sdx_status *s = &p->cur_info.player_info;
    quorvex_info_set(&s->state, state);
    quorvex_info_set(&s->second, second);
    quorvex_info_set(&s->direction, direction);
    quorvex_info_set(&s->speed, speed);
    quorvex_info_set(&s->total_second, total_sec);
    quorvex_info_set(&s->is_recording, is_rec);
    quorvex_info_set(&s->eof, state == PLAYRE_STATUS_EOF ? 1 : 0);
    quorvex_info_set(&s->sof, state == PLAYRE_STATUS_SOF ? 1 : 0);
    // What the playback status entry reads.
    OS_AtomicSet(&p->tm_current_sec, second);
    OS_AtomicSet(&p->tm_total_sec, total_sec);
    OS_AtomicSet(&p->tm_is_recording, is_rec);
    OS_AtomicSet(&p->tm_dir, direction);
    OS_AtomicSet(&p->tm_spd, speed);
    OS_AtomicSet(&p->tm_state, state);
}

void Flash_Vid_Decoder(playhandle_t *p) {
    // Bounded: a decoder that cannot keep up must not hold the player for ever.
    for (int i = 0; i < 2000; i++) {
        OS_WaitSemaphore(p->slot_lock);
        block_fifo_t *q = p->task_decode[DECODE_STREAM_VIDEO].p_qdecode;
        bool waiting = q && p->task_decode[DECODE_STREAM_VIDEO].creator == PLAYBACK_APP &&
                       (block_FifoCount(q) > 0 || block_FifoCount(p->q_dispacher) > 0);
        OS_SetSemaphore(p->slot_lock);
        if (!waiting)
            break;
        OS_MSleep(1);
    }
    OS_MSleep(30);
}

void term_player_sys(playhandle_t *p) {
    decode_slots_stop(p, PLAYBACK_APP);
}
