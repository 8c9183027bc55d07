// The engine's play handle: one record per open, holding the caller's settings, the tasks that
// work for it, the FIFOs between them and the statistics reported back.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "block.h"
#include "oslite.h"
#include "quorvexapi.h"
#include "txanalyzer.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVCodecParameters;
struct AVCodec;
struct AVFrame;
struct AVBufferRef;
struct SwrContext;

enum {
    DECODE_STREAM_VIDEO = 0,
    DECODE_STREAM_AUDIO = 1,
    DECODE_STREAM_DATA = 2,
    DECODE_STREAM_DATA2 = 3,
    DECODE_STREAM_COUNT = 4,
};

enum { DISPLAY_RGB_BITMAP = 0, DISPLAY_YUV_BITMAP = 1 };

// One decode slot per stream kind.
typedef struct {
    int decode_type;
    int active_task_decode; // run flag: set by the receive task, read by the decoder
    OS_Task_t h_task_decode;
    block_fifo_t *p_qdecode; // the slot's input FIFO
    AVCodecContext *p_context;
    const AVCodec *p_codec;
    AVFrame *p_frame_dest;
    int i_stream;             // demuxer stream index served
    AVCodecParameters *p_par; // the stream's parameters, copied by the slot's creator
    int creator;              // APP_SRC of the producer that holds the slot (under slot_lock)
} task_decode_t;

typedef struct {
    unsigned int ip;
    int port;
    int socket;
} playback_stream_params_t;

typedef void *playback_handle_t;

// Device-side audio format: signed 16-bit samples at the device's rate and channel count.
typedef struct {
    int freq;
    int channels;
    int64_t channel_layout; // FFmpeg channel mask
    int fmt;                // AVSampleFormat, always signed 16-bit (1)
    int frame_size;         // bytes of one sample for all channels
    int bytes_per_sec;
} audio_params_t;

// Action masks (ACTION_BIT positions as masks).
enum {
    ACTION_PLAYBACK = 1 << PLAYBACK_BIT,
    ACTION_RESTREAM = 1 << PLAYBACK_STREAMING_BIT,
    ACTION_LIVE = 1 << STREAMING_BIT,
    ACTION_RECORD = 1 << RECORD_BIT,
    ACTION_ALL = 255,
};

// What the receive task reads of the caller's settings. Start copies them before it creates the
// task and frees them after the task has been joined, so a setter called while a stream runs
// never changes or frees what the task reads.
typedef struct {
    int protocol;
    char *url;
    char *data_file_name;
    int is_encryption;
    unsigned char key[255];
    int key_len;
} rx_settings_t;

// The recording settings the receive task opens a recorder with: copied from the record setter's
// fields by start (mask 8) under rec_lock, read by the receive task under it.
typedef struct {
    char path[200];
    char *file_name;
    int is_sdx;
} record_settings_t;

// The engine instance. Every field says who writes it (W), who reads it (R) and what guards it.
// Modules: api = quorvex.cpp (the caller's thread: open, close, start, stop, setters, info),
// rx = quorvex_rx.cpp (receive task; rtp = quorvex_rtp.cpp runs it for RTP), disp =
// quorvex_video.cpp's dispatcher task, vdec = its video decode task, show = quorvex_display.cpp
// (display task), aud = quorvex_audio.cpp (audio task and SDL's callback thread), data =
// quorvex_data.cpp (data task). "atomic" means every cross-thread access goes through
// OS_AtomicGet/OS_AtomicSet/OS_AtomicAdd; "join" means the writer's task has been joined before
// the other side touches it; "unused" fields are kept for their place in the record.
// Modules that do not own a field call the owner's function (named in the note).
typedef struct playhandle_t {
    int active_task_video_rx;  // W api (start/stop) and rx, R rx/rtp: run flag; atomic
    OS_Task_t h_task_video_rx; // W/R api only
    // Decode slots. W rx (open_slot/stop_slot: decode_type, i_stream, p_par, h_task_decode,
    // active_task_decode atomic; p_qdecode under slot_lock); p_context/p_codec W the slot's
    // decoder task only, R its decoder (and aud's callback for slot 1 while the device runs).
    task_decode_t task_decode[DECODE_STREAM_COUNT];
    AVFormatContext *avformat;   // W rx (atomic), R nobody else: the current demuxer, published
    int active_task_display;     // W vdec (start/stop of the display), R show; atomic
    OS_Task_t h_task_display;    // W/R vdec
    int display_count;           // W show and vdec; atomic
    int reset_decoder;           // unused
    unsigned int src_ip_addr;    // unused (reported as 0)
    int rx_port;                 // W api setters, R rx/rtp at set-up; atomic
    int m_display_pool_size;     // W api at open; R nobody
    int m_display_pool_next;     // W api at open; R nobody
    block_fifo_t *m_display_q;   // W vdec (made at its first picture, freed after show is joined)
    int sws_flags;               // W api at open, R show
    int pict_width, pict_height; // W api at open, then vdec; R api; atomic
    int pict_fmt;                // W api at open, R show
    int display_mode;            // W api at open; R nobody
    quorvex_data_callback_t data_callback;            // W api (atomic); stored, never called
    void *data_callback_param;                        // W api (atomic)
    quorvex_user_overlay_callback_t overlay_callback; // W api, R show; atomic
    void *overlay_callback_param;                     // W api, R show; atomic
    stream_callback_t stream_callback;                // W api, R rx; atomic
    void *stream_callback_param;                      // W api, R rx; atomic
    HWND hWnd;                                        // W api at open; R vdec, show
    unsigned int flags;                               // W api at open; R show
    int display_time;                                 // W api at open; R nobody
    unsigned int multicast_addr;                      // W api setters, R rx at set-up; atomic
    int max_display_q;                                // W api at open; R vdec
    // Counters and state reported by get_info. W by the tasks through quorvex_info_add and
    // quorvex_info_set only (atomic), snapshotted and reset by api (quorvex_get_info).
    quorvex_info_t cur_info;
    int active_network_rx; // W rx; atomic
    void *PrevWndProc;     // nothing to save on X11: stays null
    int read_sdp_flag;     // W rx (before the SDP open) and rtp's read_sdp, both on rx's thread
    int protocol;          // W api setters, R api; rx reads its copy rx.protocol
    unsigned int monitor_start_timeout_ms, monitor_time_out_ms; // W/R rx; atomic
    // The audio leftover buffer. W aud: the task sets it up before its device runs and frees it
    // after the device is closed; the callback owns it in between.
    unsigned char *audio_input_buff_p;
    unsigned int audio_input_buff_size, audio_input_buff_count;
    unsigned int audio_reset_state;      // W aud task (atomic), R aud callback
    OS_Semaphore_t codec_sem;            // W rx (made at start, deleted at exit after its children)
    int active_app;                      // W api, R api; atomic
    int active_task_dispacher;           // W disp (sets it) and api (clears it at close); atomic
    OS_Task_t h_dispacher_task;          // W/R api
    block_fifo_t *q_dispacher;           // W api (open/close); producers put, disp gets
    tx_analyzer_t *video_analyzer;       // W api (open/close); rx sends, api queries (own lock)
    tx_analyzer_t *vframe_analyzer;      // W api (open/close); rx sends, api queries (own lock)
    int active_audio_ch, audio_ch_count; // W api (set, checked against the count) and rx; atomic
    int vcodec;                          // W vdec, R api; atomic
    int is_transcode, dst_ip, dst_port;  // W api; for the split module
    char *url;                           // W/R api; rx reads its copy rx.url
    char *stills_path;                   // W/R api
    int stills_mode;                     // W api
    save_stills_callback_t stills_callback; // W api
    void *stills_event_callback_param;      // W api
    char tm_playback_fn[200];               // W api (playback setter); R api
    // File playback settings (W api setters, atomic) and state (file player, not built yet).
    int tm_mode, tm_dir, tm_spd, tm_is_cyclic, tm_play_slow_on_end, tm_current_sec, tm_total_sec,
        loop_playback, tm_is_recording, tm_state, tm_play_type;
    playback_stream_params_t playback_stream_params; // W api setter
    char record_path[200];                           // W api setter
    char *record_filename;                           // W api setter
    int is_record_sdx;                               // W api setter; atomic
    int cyclic_time_sec;                             // W api setter; atomic
    unsigned int *sdx_handle;                        // unused until recording lands
    playback_handle_t tm_handle;                     // W api; atomic
    int setting_record;                              // W api; atomic
    int stream_playback_flag;                        // W api; atomic
    int active_action;            // W api (start/stop) and rx (quorvex_live_ended); atomic
    unsigned char *p_keep_buffer; // W rx (made at start, freed at exit); scratch for decoders
    int keep_buffer_ofs;          // W rx
    int is_send_data_by_eth, is_save_data_by_file, data_port; // W api setter, R rx; atomic
    unsigned int data_ip;                                     // W api setter, R rx; atomic
    char *data_file_name;        // W/R api; rx reads its copy rx.data_file_name
    FILE *data_file;             // W rx (one run); closed by rx_close_data_outputs
    int data_socket;             // W rx (one run); closed by rx_close_data_outputs
    audio_params_t audio_params; // W aud task before its device runs, R aud callback
    uint32_t aud_device;         // W aud task; atomic
    SwrContext *swr;         // W aud callback (remade for each new format); freed by api at close
    unsigned char *aud_buff; // W api (open/close); the aud callback converts into it
    int a_codec, a_sample_rate, a_bitrate, a_channles, a_bits_per_ch; // W aud task, R api; atomic
    OS_Semaphore_t data_sem;    // W api (open/close); guards p_data, data_size and pc_time_ms
    int data_size;              // W data under data_sem
    unsigned char *p_data;      // W data under data_sem
    uint64_t pc_time_ms;        // W data under data_sem
    int is_encryption;          // W api setter; rx reads its copy rx.is_encryption
    unsigned char enc_key[255]; // W api setter; rx reads its copy rx.key
    int key_len;                // W api setter; rx reads its copy rx.key_len
    int hw_acc;                 // W api, R vdec at each decoder opening; atomic
    int h265_rtp_flag, rtp_pt;  // W rtp before the SDP open, R its read_sdp on the same thread
    int delay_frame_count;      // W api setter, R disp; atomic
    int reorder_frames, dropseq_mode;              // W api setter; stored, not used
    int route_enable;                              // W api; for the split module
    unsigned int route_ip;                         // W api
    int route_port;                                // W api
    unsigned int log_bits;                         // W api
    int win_fit_mode, win_aspect_mode;             // W api, R show; atomic
    video_event_callback_t vid_event_callback;     // W api, R vdec; atomic
    void *vid_evant_callback_param;                // W api, R vdec; atomic
    int stub_algo_mode;                            // W api, R show at its start; atomic
    int blink_period_ms, blink_cycle_ms, blink_on; // W api (request), show clears blink_on; atomic
    unsigned int blink_rgb;                        // W api, R show; atomic
    int deinterlace_flag;                          // W api setter, R vdec; atomic
    int rtp_payload_type;                          // W api setter, R rtp; atomic
    char *sdp_string; // W rtp before the SDP open, R its read_sdp; freed by api at close
    // --- fields of this implementation, after the specified ones ---
    // Guards the decode slots' FIFO pointers between rx, which creates and releases them, and
    // disp, which puts into them.
    OS_Semaphore_t slot_lock;
    rx_settings_t rx;           // W api at start (task not running), R rx
    record_settings_t rec;      // W api at start (mask 8), R rx; under rec_lock
    OS_Semaphore_t rec_lock;    // W api (open/close)
    AVBufferRef *hw_device_ctx; // W/R vdec: hardware device of this handle's video decoder
    int hw_pix_fmt;             // W/R vdec: surface format of the chosen hardware configuration
} playhandle_t;

// Adds n to a counter of the handle's cur_info (a field of it, e.g.
// &p->cur_info.get_strm_info.inp_dec_frame) from any task.
void quorvex_info_add(int *counter, int n);
// Sets a value of the handle's cur_info from any task.
void quorvex_info_set(int *field, int value);
// Called by the receive task when it ends by itself (not by a stop): live reception, and the
// recording that goes with it, are no longer running.
void quorvex_live_ended(playhandle_t *p);
// Called by the receive task when a recording cannot start or stopped on an error: recording is
// no longer running.
void quorvex_record_ended(playhandle_t *p);

#define AUD_BUFF_SIZE 768000

// The engine functions behind the table. A null handle is accepted by every one of them: it does
// nothing, and those returning int return -1 (0 for the read entries).
void quorvex_close(quorvex_handle_t h);
int quorvex_open(quorvex_setup_t setup, quorvex_handle_t *h);
void quorvex_stop(quorvex_handle_t h, int action_bit);
int quorvex_start(quorvex_handle_t h, int action_bit);
int quorvex_set_playback_param(quorvex_handle_t h, playback_setup_t p);
int quorvex_set_streaming_param(quorvex_handle_t h, streaming_setup_t p);
int quorvex_set_encryption_param(quorvex_handle_t h, encryption_setup_t p);
int quorvex_set_record_param(quorvex_handle_t h, record_setup_t p);
int quorvex_switch_dispatch(quorvex_handle_t h, int dispatch_src);
int quorvex_set_data_param(quorvex_handle_t h, data_setup_t p);
int quorvex_get_action(void);
void quorvex_register_data_callback(quorvex_handle_t h, quorvex_data_callback_t f, void *param);
void quorvex_register_user_overlay(quorvex_handle_t h, quorvex_user_overlay_callback_t f,
                                   void *param);
void quorvex_register_stream_callback(quorvex_handle_t h, stream_callback_t f, void *param);
void quorvex_setup_port(quorvex_handle_t h, int port);
void quorvex_get_info(quorvex_handle_t h, quorvex_info_t *p_info, int reset_info);
void quorvex_get_dll_ver(int *dll_version);
void quorvex_get_plbck_status(quorvex_handle_t h, player_sdx_status *p_status);
void quorvex_set_event(quorvex_handle_t h, playback_event_t params);
int quorvex_get_tag_by_i(quorvex_handle_t h, int i_tag);
int quorvex_read_data(quorvex_handle_t h, char *p_data, uint64_t *pc_time);
int quorvex_set_hw_acc(quorvex_handle_t h, int hw_acc);
int quorvex_set_route_stream(quorvex_handle_t h, int enable, unsigned int ip, int port);
void quorvex_set_log_bits(quorvex_handle_t h, unsigned int log_bits);
void quorvex_set_video_event_callback(quorvex_handle_t h, video_event_callback_t cb, void *param);
void quorvex_windows_draw_mode(quorvex_handle_t h, int win_mode, int aspec_mode);
int quorvex_get_rtp_err(quorvex_handle_t h);
void quorvex_reset_rtp_err(quorvex_handle_t h);
void quorvex_register_vm(void *vm);
int quorvex_get_audio_ch_count(quorvex_handle_t h);
void quorvex_set_active_audio_ch(quorvex_handle_t h, int active_ch);
int quorvex_get_active_audio_ch(quorvex_handle_t h);
void quorvex_set_stabilizer(quorvex_handle_t h, stabilizer_params_t p);
int quorvex_get_stabilizer(quorvex_handle_t h, stabilizer_params_t *p);
int quorvex_get_stabilizer_alg_cnt(quorvex_handle_t h);
int quorvex_play_sound(char *wav_fname, int timems);
int quorvex_draw_blink(quorvex_handle_t h, int period_ms, int draw_hide_ms, unsigned int rgb);
int quorvex_set_ai_enc_stills_param(quorvex_handle_t h, save_stills_callback_t cb, void *param,
                                    ai_enc_stills_info_t p);
int quorvex_set_fps_to_ai_enc(quorvex_handle_t h, int ai_enc_fps);
int quorvex_set_jitter_flag_to_ai_enc(quorvex_handle_t h, int jitter);

// The URL the streaming setter builds for a protocol, or null when it builds none. The caller
// frees it.
char *quorvex_build_url(const streaming_setup_t *p);
