#include "quorvex.h"

#include <stdlib.h>
#include <string.h>

#include <SDL2/SDL.h>
#include <SFML/Audio.hpp>

extern "C" {
#include <libswresample/swresample.h>
#include <libavcodec/jni.h>
#include <libavutil/log.h>
}

#include "platform_x11.h"
#include "quorvex_data.h"
#include "quorvex_rtp.h"
#include "quorvex_rx.h"
#include "quorvex_video.h"
#include "playback_tm.h"
#include "record.h"
#include "socket.h"
#include "syslog.h"

namespace {

playhandle_t *p_codecdb; // the most recently opened play handle
int g_win_fit_mode;      // last fit mode set on any handle
int g_rtp_err;           // process-wide RTP error count; no receive path counts into it

playhandle_t *ph(quorvex_handle_t h) {
    return reinterpret_cast<playhandle_t *>(h);
}

// FFmpeg's own log output is discarded: engine status goes through the log channels.
void silent_av_log(void *, int, const char *, va_list) {}

// Copies a caller's text; null stays null.
char *dup_text(const char *s) {
    return s ? strdup(s) : nullptr;
}

// Replaces *slot by a copy of s, freeing the previous copy.
void replace_text(char **slot, const char *s) {
    char *copy = dup_text(s);
    free(*slot);
    *slot = copy;
}

// Copies at most n characters of src into dst (n + 1 bytes) and terminates it.
void copy_bounded(char *dst, const char *src, size_t n) {
    size_t len = strnlen(src, n);
    memcpy(dst, src, len);
    dst[len] = 0;
}

tx_analyzer_t *open_analyzer(int mode, int avr_size, int delay_ms, unsigned max_diff,
                             unsigned min_diff) {
    tx_analyzer_t *a = static_cast<tx_analyzer_t *>(calloc(1, sizeof(tx_analyzer_t)));
    if (!a)
        return nullptr;
    a->mode = mode;
    a->avr_size = avr_size;
    a->delay_ms = delay_ms;
    a->max_diff = max_diff;
    a->min_diff = min_diff;
    if (tx_analyzer_open(a) != 0) {
        free(a);
        return nullptr;
    }
    return a;
}

void close_analyzer(tx_analyzer_t **a) {
    if (!*a)
        return;
    (*a)->close(*a);
    free(*a);
    *a = nullptr;
}

// Forgets p as the most recently opened handle if it still is. The compare-and-swap writes
// the current value into its expected argument when it fails, so it gets a copy: the caller's
// pointer must keep naming the handle being closed.
void forget_latest_handle(playhandle_t *p) {
    playhandle_t *expected = p;
    __atomic_compare_exchange_n(&p_codecdb, &expected, nullptr, false, __ATOMIC_ACQ_REL,
                                __ATOMIC_ACQUIRE);
}

// Clears the file player's part of the reported state after playback stops.
void reset_player_info(playhandle_t *p) {
    player_sdx_status *s = &p->cur_info.player_info;
    quorvex_info_set(&s->state, 0);
    quorvex_info_set(&s->second, 0);
    quorvex_info_set(&s->direction, 0);
    quorvex_info_set(&s->total_second, 0);
    quorvex_info_set(&s->is_recording, 0);
    quorvex_info_set(&s->speed, 1);
}

// Hands the record setter's values to the receive task, which opens the next recorder with them.
void copy_record_settings(playhandle_t *p) {
    char *name = dup_text(p->record_filename);
    OS_WaitSemaphore(p->rec_lock);
    memcpy(p->rec.path, p->record_path, sizeof(p->rec.path));
    free(p->rec.file_name);
    p->rec.file_name = name;
    p->rec.is_sdx = OS_AtomicGet(&p->is_record_sdx);
    OS_SetSemaphore(p->rec_lock);
}

// Stops the file player, if one plays, and clears what it reported.
void stop_playback(playhandle_t *p) {
    playback_handle_t h = OS_AtomicGet(&p->tm_handle);
    if (h)
        playback_stop(h);
    OS_AtomicSet(&p->tm_handle, (playback_handle_t) nullptr);
    reset_player_info(p);
    OS_AtomicSet(&p->tm_state, 0);
    OS_AtomicSet(&p->tm_current_sec, 0);
    OS_AtomicSet(&p->tm_total_sec, 0);
    OS_AtomicSet(&p->tm_is_recording, 0);
}

// Starts the file player with the stored playback settings; a player already playing is
// stopped first. -1, with the playback bit clear, when the file cannot be played.
int start_playback(playhandle_t *p) {
    stop_playback(p);
    play_file_setup_t setup = {};
    setup.tm_mode = OS_AtomicGet(&p->tm_mode);
    setup.dir = OS_AtomicGet(&p->tm_dir);
    setup.spd = OS_AtomicGet(&p->tm_spd);
    setup.loop_playback = OS_AtomicGet(&p->loop_playback);
    setup.play_slow_on_end = OS_AtomicGet(&p->tm_play_slow_on_end);
    memcpy(setup.record_file_name, p->tm_playback_fn, sizeof(setup.record_file_name));
    OS_AtomicSet(&p->active_app, PLAYBACK_APP);
    playback_handle_t h = nullptr;
    if (playback_start(p, setup, &h, &p->playback_stream_params, OS_AtomicGet(&p->tm_play_type)) !=
        0) {
        __atomic_fetch_and(&p->active_action, ~ACTION_PLAYBACK, __ATOMIC_ACQ_REL);
        return -1;
    }
    OS_AtomicSet(&p->tm_handle, h);
    __atomic_fetch_or(&p->active_action, ACTION_PLAYBACK, __ATOMIC_ACQ_REL);
    return 0;
}

// Frees the receive task's copies of the settings; the task has been joined.
void free_rx_settings(playhandle_t *p) {
    free(p->rx.url);
    free(p->rx.data_file_name);
    memset(&p->rx, 0, sizeof(p->rx));
}

// Copies what the receive task reads of the settings, before the task exists.
void copy_rx_settings(playhandle_t *p) {
    free_rx_settings(p);
    p->rx.protocol = p->protocol;
    p->rx.url = dup_text(p->url);
    p->rx.data_file_name = dup_text(p->data_file_name);
    p->rx.is_encryption = p->is_encryption;
    p->rx.key_len = p->key_len;
    memcpy(p->rx.key, p->enc_key, sizeof(p->rx.key));
}

// Joins the live receive task, if one exists (running, or ended by itself).
void stop_receive_task(playhandle_t *p) {
    if (!p->h_task_video_rx)
        return;
    OS_AtomicSet(&p->active_task_video_rx, 0);
    OS_TaskDelete(p->h_task_video_rx);
    p->h_task_video_rx = nullptr;
    free_rx_settings(p);
}

// A receive task that ended by itself (an RTP input whose SDP could not be opened) is joined,
// so that a new start makes a new one.
void reap_ended_receive_task(playhandle_t *p) {
    if (p->h_task_video_rx && OS_TaskWait(p->h_task_video_rx, 0) == 0)
        stop_receive_task(p);
}

// The receive task of a protocol; null for protocols that cannot be received (yet).
OS_TaskFunc_t receive_task_of(int protocol, int *priority) {
    *priority = 1;
    switch (protocol) {
    case Protocol_UDPTS:
    case Protocol_RTSPUDP:
    case Protocol_RTSPTCP:
    case Protocol_RTMP:
    case Protocol_HTTP:
    case Protocol_RAW_H264:
        return task_gen_rx;
    case Protocol_RTPUDP:
        *priority = 0;
        return rtp_task;
    default:
        // Split and AI-stream reception come with their own modules; until then, and for
        // unknown protocols, nothing can be started.
        return nullptr;
    }
}

// Starts live reception for the stored protocol. -1, with the live bit left clear, for a
// protocol that cannot start or a task that cannot be made.
int start_live(playhandle_t *p) {
    reap_ended_receive_task(p);
    if (p->h_task_video_rx) {
        __atomic_fetch_or(&p->active_action, ACTION_LIVE, __ATOMIC_ACQ_REL);
        return 0; // already receiving: only the bit is set
    }
    int priority = 0;
    OS_TaskFunc_t task = receive_task_of(p->protocol, &priority);
    if (!task)
        return -1;
    copy_rx_settings(p);
    OS_AtomicSet(&p->active_task_video_rx, 1);
    __atomic_fetch_or(&p->active_action, ACTION_LIVE, __ATOMIC_ACQ_REL);
    p->h_task_video_rx = OS_TaskCreate(4096, "video_rx", task, priority, p);
    if (!p->h_task_video_rx) {
        OS_AtomicSet(&p->active_task_video_rx, 0);
        __atomic_fetch_and(&p->active_action, ~ACTION_LIVE, __ATOMIC_ACQ_REL);
        free_rx_settings(p);
        return -1;
    }
    return 0;
}

// Timer, audio and video are started one by one, so that a machine without a display still
// gets audio, and one without sound still gets pictures.
// SDL stays up for the life of the process once started: shutting its video down unloads the
// GL driver, which the next handle would load again.
void init_sdl() {
    SDL_InitSubSystem(SDL_INIT_TIMER);
    SDL_InitSubSystem(SDL_INIT_AUDIO);
    SDL_InitSubSystem(SDL_INIT_VIDEO);
}

// Creates the dispatcher FIFO and task and waits until the task runs. False when either cannot
// be made (nothing is left running then).
bool start_dispatcher(playhandle_t *p) {
    p->q_dispacher = block_FifoNew();
    if (!p->q_dispacher)
        return false;
    p->h_dispacher_task = OS_TaskCreate(4096, "dispatcher", task_dispacher, 1, p);
    if (!p->h_dispacher_task)
        return false;
    while (!OS_AtomicGet(&p->active_task_dispacher))
        OS_MSleep(1);
    return true;
}

// Frees what open made, in the reverse order; for a handle whose tasks have all been joined.
void free_handle(playhandle_t *p) {
    block_FifoRelease(p->q_dispacher);
    OS_DeleteSemaphore(p->slot_lock);
    OS_DeleteSemaphore(p->data_sem);
    OS_DeleteSemaphore(p->rec_lock);
    OS_DeleteSemaphore(p->codec_sem);
    free(p->rec.file_name);
    swr_free(&p->swr);
    close_analyzer(&p->video_analyzer);
    close_analyzer(&p->vframe_analyzer);
    free(p->url);
    rx_close_data_outputs(p);
    free(p->data_file_name);
    free(p->aud_buff);
    free(p->record_filename);
    free(p->stills_path);
    free(p->sdp_string);
    free_rx_settings(p);
    free(p);
}

// The picture size from a window's client size: each side rounded as (d + 8) with the low three
// bits cleared.
int pict_from_client(int d) {
    return (d + 8) & ~7;
}

// Sizes picture and window as the open options ask: 0x4 takes the picture size from the
// window, 0x2 gives it; either way the window's client area becomes one pixel smaller.
void size_window(playhandle_t *p, const quorvex_setup_t &setup) {
    if (!p->hWnd)
        return;
    if (setup.flags & QUORVEX_FLAG_SIZE_FROM_WINDOW) {
        int w = 0, h = 0;
        if (GetWindowClientSize(p->hWnd, &w, &h) != 0)
            return;
        p->pict_width = pict_from_client(w);
        p->pict_height = pict_from_client(h);
        SetWindowsClientSize(p->hWnd, p->pict_width - 1, p->pict_height - 1);
    } else if (setup.flags & QUORVEX_FLAG_FIXED_SIZE) {
        SetWindowsClientSize(p->hWnd, setup.width - 1, setup.height - 1);
    }
}

} // namespace

int quorvex_open(quorvex_setup_t setup, quorvex_handle_t *h) {
    if (h)
        *h = 0;
    playhandle_t *p = static_cast<playhandle_t *>(calloc(1, sizeof(playhandle_t)));
    if (!p)
        return -1;
    OS_SetPriortyClass(0x100);
    av_log_set_callback(silent_av_log);
    p->sws_flags = 4;
    p->display_time = 33;
    p->flags = (unsigned)setup.flags;
    p->is_transcode = 0;
    p->active_app = OTHER_APP;
    p->aud_buff = static_cast<unsigned char *>(malloc(AUD_BUFF_SIZE));
    if (setup.flags & QUORVEX_FLAG_FIXED_SIZE) {
        p->pict_width = setup.width;
        p->pict_height = setup.height;
    }
    p->slot_lock = OS_AllocSemaphore();
    p->data_sem = OS_AllocSemaphore();
    p->rec_lock = OS_AllocSemaphore();
    p->codec_sem = OS_AllocSemaphore();
    p->hw_pix_fmt = -1;
    p->video_analyzer = open_analyzer(1, 50, 40, 0, 0);
    p->vframe_analyzer = open_analyzer(4, 25, 40, 300000, 5000);
    if (!p->aud_buff || !p->slot_lock || !p->data_sem || !p->rec_lock || !p->codec_sem ||
        !p->video_analyzer || !p->vframe_analyzer || !start_dispatcher(p)) {
        free_handle(p); // no task runs: the dispatcher, if made, is the last thing made
        return -1;
    }
    p->hw_acc = setup.hw_acc;
    init_sdl();
    p->hWnd = setup.hwnd;
    size_window(p, setup);
    p->m_display_pool_size = 10;
    p->m_display_pool_next = 0;
    p->display_mode = DISPLAY_RGB_BITMAP;
    p->max_display_q = 1;
    p->pict_fmt = 26; // RGBA
    OS_AtomicSet(&p_codecdb, p);
    if (h)
        *h = reinterpret_cast<quorvex_handle_t>(p);
    return 0;
}

void quorvex_close(quorvex_handle_t h) {
    playhandle_t *p = ph(h);
    if (!p)
        return;
    quorvex_stop(h, ACTION_ALL);
    OS_AtomicSet(&p->active_task_dispacher, 0);
    OS_TaskDelete(p->h_dispacher_task);
    forget_latest_handle(p);
    free_handle(p);
    syslog_term();
}

int quorvex_start(quorvex_handle_t h, int action_bit) {
    playhandle_t *p = ph(h);
    if (!p)
        return -1;
    syslog_term();
    syslog_init();
    int result = 0;
    if (action_bit & ACTION_RECORD) {
        copy_record_settings(p);
        __atomic_fetch_or(&p->active_action, ACTION_RECORD, __ATOMIC_ACQ_REL);
    }
    if (action_bit & ACTION_PLAYBACK)
        result = start_playback(p);
    if (action_bit & ACTION_RESTREAM) {
        OS_AtomicSet(&p->stream_playback_flag, 1);
        __atomic_fetch_or(&p->active_action, ACTION_RESTREAM, __ATOMIC_ACQ_REL);
        playback_stream_stop(&p->playback_stream_params); // a second start opens a new socket
        playback_stream_start(&p->playback_stream_params);
    }
    if (action_bit & ACTION_LIVE)
        result = start_live(p);
    return result;
}

void quorvex_stop(quorvex_handle_t h, int action_bit) {
    playhandle_t *p = ph(h);
    if (!p)
        return;
    if (action_bit & ACTION_PLAYBACK) {
        stop_playback(p);
        if (action_bit & ACTION_RESTREAM)
            OS_AtomicSet(&p->active_app, STREAMING_APP);
        __atomic_fetch_and(&p->active_action, ~ACTION_PLAYBACK, __ATOMIC_ACQ_REL);
        OS_AtomicSet(&p->stream_playback_flag, 0);
        playback_stream_stop(&p->playback_stream_params);
    }
    if (action_bit & ACTION_RESTREAM) {
        OS_AtomicSet(&p->stream_playback_flag, 0);
        __atomic_fetch_and(&p->active_action, ~ACTION_RESTREAM, __ATOMIC_ACQ_REL);
        playback_stream_stop(&p->playback_stream_params);
    }
    if (action_bit & ACTION_LIVE) {
        if (action_bit & ACTION_PLAYBACK)
            OS_AtomicSet(&p->active_app, PLAYBACK_APP);
        stop_receive_task(p);
        __atomic_fetch_and(&p->active_action, ~ACTION_LIVE, __ATOMIC_ACQ_REL);
        action_bit |= ACTION_RECORD; // recording ends with reception
    }
    if (action_bit & ACTION_RECORD)
        __atomic_fetch_and(&p->active_action, ~ACTION_RECORD, __ATOMIC_ACQ_REL);
    syslog_term();
}

int quorvex_set_playback_param(quorvex_handle_t h, playback_setup_t s) {
    playhandle_t *p = ph(h);
    if (!p)
        return -1;
    copy_bounded(p->tm_playback_fn, s.file_name, sizeof(p->tm_playback_fn) - 1);
    OS_AtomicSet(&p->tm_mode, s.is_trick_mode);
    OS_AtomicSet(&p->tm_dir, s.direction);
    OS_AtomicSet(&p->tm_spd, s.speed);
    OS_AtomicSet(&p->tm_play_slow_on_end, s.play_slow_on_end);
    OS_AtomicSet(&p->tm_is_cyclic, s.is_cyclic);
    OS_AtomicSet(&p->loop_playback, s.loop_playback);
    OS_AtomicSet(&p->playback_stream_params.ip, (unsigned)s.ip);
    OS_AtomicSet(&p->playback_stream_params.port, s.port);
    OS_AtomicSet(&p->tm_play_type, s.play_type);
    return 0;
}

char *quorvex_build_url(const streaming_setup_t *s) {
    const char *a = nullptr, *b = nullptr;
    int port = 0;
    const char *fmt = nullptr;
    switch (s->protocol) {
    case Protocol_RTSPUDP:
    case Protocol_RTSPTCP:
        a = s->rtsp_url, b = s->rtsp_sdp, port = s->rtsp_port, fmt = "rtsp://%s:%d/%s";
        break;
    case Protocol_RTMP:
        a = s->rtmp_url, b = s->rtmp_sdp, port = s->rtmp_port, fmt = "rtmp://%s:%d/live/%s";
        break;
    case Protocol_HTTP:
        return dup_text(s->rtsp_url);
    default:
        return nullptr;
    }
    if (!a || !b)
        return nullptr;
    size_t size = strlen(a) + strlen(b) + 100;
    char *url = static_cast<char *>(malloc(size));
    if (url)
        snprintf(url, size, fmt, a, port, b);
    return url;
}

int quorvex_set_streaming_param(quorvex_handle_t h, streaming_setup_t s) {
    playhandle_t *p = ph(h);
    if (!p)
        return -1;
    OS_AtomicSet(&p->rx_port, s.port);
    OS_AtomicSet(&p->protocol, s.protocol);
    OS_AtomicSet(&p->multicast_addr, s.multicast_addr);
    OS_AtomicSet(&p->dst_ip, (int)s.dst_ip);
    OS_AtomicSet(&p->dst_port, s.dst_port);
    OS_AtomicSet(&p->delay_frame_count, s.delay_frame_ms / 30);
    OS_AtomicSet(&p->active_app, s.src_app);
    OS_AtomicSet(&p->reorder_frames, s.reorder_frames);
    OS_AtomicSet(&p->dropseq_mode, s.dropseq_mode);
    OS_AtomicSet(&p->rtp_payload_type, s.rtp_payload_type);
    OS_AtomicSet(&p->deinterlace_flag, s.deinterlace_flag);
    char *url = quorvex_build_url(&s);
    if (url) {
        free(p->url);
        p->url = url;
    }
    return 0;
}

int quorvex_set_encryption_param(quorvex_handle_t h, encryption_setup_t s) {
    playhandle_t *p = ph(h);
    if (!p)
        return -1;
    int len = s.len < 0 ? 0 : (s.len > (int)sizeof(p->enc_key) ? (int)sizeof(p->enc_key) : s.len);
    OS_AtomicSet(&p->is_encryption, s.is_encryption);
    OS_AtomicSet(&p->key_len, len);
    memcpy(p->enc_key, s.key, (size_t)len);
    return 0;
}

int quorvex_set_record_param(quorvex_handle_t h, record_setup_t s) {
    playhandle_t *p = ph(h);
    if (!p)
        return -1;
    OS_AtomicSet(&p->setting_record, 1);
    OS_AtomicSet(&p->is_record_sdx, s.is_trick_mode);
    OS_AtomicSet(&p->cyclic_time_sec, s.is_cyclic ? s.cyclic_time_sec : 0);
    copy_bounded(p->record_path, s.directory_path, sizeof(p->record_path) - 1);
    replace_text(&p->record_filename, s.file_name);
    return 0;
}

int quorvex_switch_dispatch(quorvex_handle_t h, int dispatch_src) {
    playhandle_t *p = ph(h);
    if (!p)
        return -1;
    OS_AtomicSet(&p->active_app, dispatch_src);
    return 0;
}

int quorvex_set_data_param(quorvex_handle_t h, data_setup_t s) {
    playhandle_t *p = ph(h);
    if (!p)
        return -1;
    OS_AtomicSet(&p->is_send_data_by_eth, s.is_send_by_eth);
    OS_AtomicSet(&p->is_save_data_by_file, s.is_save_by_file);
    OS_AtomicSet(&p->data_port, s.port);
    OS_AtomicSet(&p->data_ip, s.ip);
    replace_text(&p->data_file_name, s.file_name);
    return 0;
}

int quorvex_get_action(void) {
    return 0;
}

void quorvex_register_data_callback(quorvex_handle_t h, quorvex_data_callback_t f, void *param) {
    playhandle_t *p = ph(h);
    if (!p)
        return;
    OS_AtomicSet(&p->data_callback, f);
    OS_AtomicSet(&p->data_callback_param, param);
}

void quorvex_register_user_overlay(quorvex_handle_t h, quorvex_user_overlay_callback_t f,
                                   void *param) {
    playhandle_t *p = ph(h);
    if (!p)
        return;
    OS_AtomicSet(&p->overlay_callback, f);
    OS_AtomicSet(&p->overlay_callback_param, param);
}

void quorvex_register_stream_callback(quorvex_handle_t h, stream_callback_t f, void *param) {
    playhandle_t *p = ph(h);
    if (!p)
        return;
    OS_AtomicSet(&p->stream_callback, f);
    OS_AtomicSet(&p->stream_callback_param, param);
}

void quorvex_setup_port(quorvex_handle_t h, int port) {
    playhandle_t *p = ph(h);
    if (p)
        OS_AtomicSet(&p->rx_port, port);
}

// Frame rate from the mean packet interval in µs, rounded; 0 before two packets.
static int fps_from_interval(unsigned int t) {
    return t ? (int)(1000000.0 / t + 0.5) : 0;
}

void quorvex_info_add(int *counter, int n) {
    OS_AtomicAdd(counter, n);
}

void quorvex_info_set(int *field, int value) {
    OS_AtomicSet(field, value);
}

void quorvex_record_ended(playhandle_t *p) {
    __atomic_fetch_and(&p->active_action, ~ACTION_RECORD, __ATOMIC_ACQ_REL);
}

void quorvex_live_ended(playhandle_t *p) {
    __atomic_fetch_and(&p->active_action, ~(ACTION_LIVE | ACTION_RECORD), __ATOMIC_ACQ_REL);
}

// Copies cur_info word by word with atomic loads, or with atomic exchanges against 0 when it is
// reset, so that a count a task adds meanwhile is either in the copy or in the next one.
static void snapshot_info(quorvex_info_t *rec, quorvex_info_t *out, bool reset) {
    static_assert(sizeof(quorvex_info_t) % sizeof(uint32_t) == 0, "whole words");
    constexpr size_t kWords = sizeof(quorvex_info_t) / sizeof(uint32_t);
    uint32_t *src = reinterpret_cast<uint32_t *>(rec);
    uint32_t words[kWords];
    for (size_t i = 0; i < kWords; i++)
        words[i] = reset ? __atomic_exchange_n(&src[i], 0u, __ATOMIC_ACQ_REL)
                         : __atomic_load_n(&src[i], __ATOMIC_ACQUIRE);
    memcpy(out, words, sizeof(words));
}

void quorvex_get_info(quorvex_handle_t h, quorvex_info_t *info, int reset_info) {
    playhandle_t *p = ph(h);
    if (!p || !info)
        return;
    quorvex_info_t c;
    snapshot_info(&p->cur_info, &c, reset_info != 0);
    get_stream_info *s = &info->get_strm_info;
    info->active_app = OS_AtomicGet(&p->active_app);
    info->action_bit = OS_AtomicGet(&p->active_action);
    info->inp_width = c.inp_width;
    info->inp_height = c.inp_height;
    s->a_bitrate = c.get_strm_info.a_bitrate;
    s->inp_dec_error = c.get_strm_info.inp_dec_error;
    s->inp_dec_frame = c.get_strm_info.inp_dec_frame;
    s->inp_disp_frames = c.get_strm_info.inp_disp_frames;
    s->d_codec = c.get_strm_info.d_codec;
    s->d_bitrate = c.get_strm_info.d_bitrate;
    s->d_packets = c.get_strm_info.d_packets;
    s->a_codec = OS_AtomicGet(&p->a_codec);
    s->a_sample_rate = OS_AtomicGet(&p->a_sample_rate);
    s->a_channles = OS_AtomicGet(&p->a_channles);
    s->a_bits_per_ch = OS_AtomicGet(&p->a_bits_per_ch);
    s->protocol = OS_AtomicGet(&p->protocol);
    s->src_ip_addr = p->src_ip_addr;
    s->v_codec = OS_AtomicGet(&p->vcodec);
    player_sdx_status *ps = &info->player_info;
    ps->state = c.player_info.state;
    ps->second = c.player_info.second;
    ps->direction = c.player_info.direction;
    ps->speed = c.player_info.speed;
    ps->total_second = c.player_info.total_second;
    ps->is_recording = c.player_info.is_recording;
    ps->eof = c.player_info.eof;
    ps->sof = c.player_info.sof;
    unsigned int avr = 0;
    if (p->video_analyzer)
        p->video_analyzer->i_get_info(p->video_analyzer, nullptr, &avr, nullptr);
    s->imp_bitrate = (int)avr;
    avr = 0;
    if (p->vframe_analyzer)
        p->vframe_analyzer->i_get_info(p->vframe_analyzer, nullptr, &avr, nullptr);
    s->inp_fps = fps_from_interval(avr);
}

void quorvex_get_dll_ver(int *dll_version) {
    if (dll_version)
        *dll_version = QUORVEX_DLL_VERSION;
}

void quorvex_get_plbck_status(quorvex_handle_t h, player_sdx_status *st) {
    playhandle_t *p = ph(h);
    if (!p || !st)
        return;
    int state = OS_AtomicGet(&p->tm_state);
    if (state == 0) {
        st->state = 0;
        return;
    }
    st->state = state;
    st->second = OS_AtomicGet(&p->tm_current_sec);
    st->direction = OS_AtomicGet(&p->tm_dir);
    st->speed = OS_AtomicGet(&p->tm_spd);
    st->type = 0;
    st->total_second = OS_AtomicGet(&p->tm_total_sec);
    st->is_recording = OS_AtomicGet(&p->tm_is_recording);
    copy_bounded(st->full_file_name, p->tm_playback_fn, sizeof(st->full_file_name) - 1);
}

void quorvex_set_event(quorvex_handle_t h, playback_event_t e) {
    playhandle_t *p = ph(h);
    if (!p)
        return;
    playback_handle_t player = OS_AtomicGet(&p->tm_handle);
    switch (e.event_type) {
    case SEEK_EVENT:
        SdxSeekEvent(player, e.sec);
        break;
    case PLAYBACK_TAG_EVENT:
        SdxTagEvent(player);
        break;
    case RECORD_TAG_EVENT:
        record_tag_event_1();
        break;
    case UPDATE_EVENT:
        SdxUpdate(player, player_sdx_update{e.dir, e.speed, e.loop_playback});
        break;
    default:
        break;
    }
}

int quorvex_get_tag_by_i(quorvex_handle_t h, int i_tag) {
    playhandle_t *p = ph(h);
    return p ? SdxGetTagByI(OS_AtomicGet(&p->tm_handle), i_tag) : -1;
}

int quorvex_read_data(quorvex_handle_t h, char *p_data, uint64_t *pc_time) {
    playhandle_t *p = ph(h);
    return p ? data_read_latest(p, p_data, pc_time) : 0;
}

int quorvex_set_hw_acc(quorvex_handle_t h, int hw_acc) {
    playhandle_t *p = ph(h);
    if (!p)
        return -1;
    OS_AtomicSet(&p->hw_acc, hw_acc);
    return 0;
}

int quorvex_set_route_stream(quorvex_handle_t h, int enable, unsigned int ip, int port) {
    playhandle_t *p = ph(h);
    if (!p)
        return -1;
    p->route_enable = enable;
    p->route_ip = ip;
    p->route_port = port;
    return 0;
}

void quorvex_set_log_bits(quorvex_handle_t h, unsigned int log_bits) {
    playhandle_t *p = ph(h);
    if (!p)
        return;
    syslog_set_bits(log_bits);
    p->log_bits = log_bits;
}

void quorvex_set_video_event_callback(quorvex_handle_t h, video_event_callback_t cb, void *param) {
    playhandle_t *p = ph(h);
    if (!p)
        return;
    OS_AtomicSet(&p->vid_event_callback, cb);
    OS_AtomicSet(&p->vid_evant_callback_param, param);
}

void quorvex_windows_draw_mode(quorvex_handle_t h, int win_mode, int aspec_mode) {
    playhandle_t *p = ph(h);
    if (!p)
        return;
    OS_AtomicSet(&p->win_fit_mode, win_mode);
    OS_AtomicSet(&g_win_fit_mode, win_mode);
    p->win_aspect_mode = aspec_mode;
}

int quorvex_get_rtp_err(quorvex_handle_t) {
    return OS_AtomicGet(&g_rtp_err);
}

void quorvex_reset_rtp_err(quorvex_handle_t) {
    OS_AtomicSet(&g_rtp_err, 0);
}

void quorvex_register_vm(void *vm) {
    av_jni_set_java_vm(vm, nullptr);
}

int quorvex_get_audio_ch_count(quorvex_handle_t h) {
    playhandle_t *p = ph(h);
    return p ? OS_AtomicGet(&p->audio_ch_count) : -1;
}

void quorvex_set_active_audio_ch(quorvex_handle_t h, int active_ch) {
    playhandle_t *p = ph(h);
    if (p && active_ch >= 0 && active_ch < OS_AtomicGet(&p->audio_ch_count))
        OS_AtomicSet(&p->active_audio_ch, active_ch);
}

int quorvex_get_active_audio_ch(quorvex_handle_t h) {
    playhandle_t *p = ph(h);
    return p ? OS_AtomicGet(&p->active_audio_ch) : -1;
}

void quorvex_set_stabilizer(quorvex_handle_t h, stabilizer_params_t s) {
    playhandle_t *p = ph(h);
    if (p)
        OS_AtomicSet(&p->stub_algo_mode, s.state);
}

int quorvex_get_stabilizer(quorvex_handle_t h, stabilizer_params_t *s) {
    playhandle_t *p = ph(h);
    if (!p || !s)
        return -1;
    s->state = OS_AtomicGet(&p->stub_algo_mode);
    return 0;
}

int quorvex_get_stabilizer_alg_cnt(quorvex_handle_t h) {
    return h ? 2 : -1;
}

int quorvex_play_sound(char *wav_fname, int timems) {
    if (!wav_fname)
        return -1;
    sf::SoundBuffer buffer;
    if (!buffer.loadFromFile(wav_fname))
        return -1;
    sf::Sound sound(buffer);
    sound.play();
    OS_MSleep(timems > 0 ? (unsigned)timems : 0);
    sound.stop();
    return 0;
}

int quorvex_draw_blink(quorvex_handle_t h, int period_ms, int draw_hide_ms, unsigned int rgb) {
    playhandle_t *p = ph(h);
    if (!p)
        return -1;
    OS_AtomicSet(&p->blink_period_ms, period_ms);
    OS_AtomicSet(&p->blink_cycle_ms, draw_hide_ms);
    OS_AtomicSet(&p->blink_rgb, rgb);
    OS_AtomicSet(&p->blink_on, 1);
    return 0;
}

int quorvex_set_ai_enc_stills_param(quorvex_handle_t h, save_stills_callback_t cb, void *param,
                                    ai_enc_stills_info_t s) {
    playhandle_t *p = ph(h);
    if (!p)
        return -1;
    p->stills_mode = s.stills_mode;
    p->stills_callback = cb;
    p->stills_event_callback_param = param;
    replace_text(&p->stills_path, s.stills_path);
    return 0;
}

// The AI stream's rate and jitter switch are process-wide settings of the AI decoder.
int quorvex_set_fps_to_ai_enc(quorvex_handle_t, int) {
    return 0;
}

int quorvex_set_jitter_flag_to_ai_enc(quorvex_handle_t, int) {
    return 0;
}
