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
    AVCodecParameters *p_par; // the stream's parameters, copied by the receive task
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

// Run flags and counters shared between tasks are read and written with OS_AtomicGet/Set.
typedef struct playhandle_t {
    int active_task_video_rx; // run flag of the receive task (owner: start/stop)
    OS_Task_t h_task_video_rx;
    task_decode_t task_decode[DECODE_STREAM_COUNT];
    AVFormatContext *avformat; // the receive task's current demuxer
    int active_task_display;
    OS_Task_t h_task_display;
    int display_count;
    int reset_decoder;
    unsigned int src_ip_addr;
    int rx_port;
    int m_display_pool_size;
    int m_display_pool_next;
    block_fifo_t *m_display_q;
    int sws_flags;
    int pict_width, pict_height;
    int pict_fmt;
    int display_mode;
    quorvex_data_callback_t data_callback;
    void *data_callback_param;
    quorvex_user_overlay_callback_t overlay_callback;
    void *overlay_callback_param;
    stream_callback_t stream_callback;
    void *stream_callback_param;
    HWND hWnd;
    unsigned int flags;
    int display_time;
    unsigned int multicast_addr;
    int max_display_q;
    quorvex_info_t cur_info; // counters written by the tasks
    int active_network_rx;
    void *PrevWndProc; // nothing to save on X11: stays null
    int read_sdp_flag;
    int protocol;
    unsigned int monitor_start_timeout_ms, monitor_time_out_ms;
    unsigned char *audio_input_buff_p;
    unsigned int audio_input_buff_size, audio_input_buff_count, audio_reset_state;
    OS_Semaphore_t codec_sem;
    int active_app;
    int active_task_dispacher; // set by the dispatcher itself
    OS_Task_t h_dispacher_task;
    block_fifo_t *q_dispacher;
    tx_analyzer_t *video_analyzer;
    tx_analyzer_t *vframe_analyzer;
    int active_audio_ch, audio_ch_count;
    int vcodec;
    int is_transcode, dst_ip, dst_port;
    char *url;
    char *stills_path;
    int stills_mode;
    save_stills_callback_t stills_callback;
    void *stills_event_callback_param;
    char tm_playback_fn[200];
    int tm_mode, tm_dir, tm_spd, tm_is_cyclic, tm_play_slow_on_end, tm_current_sec, tm_total_sec,
        loop_playback, tm_is_recording, tm_state, tm_play_type;
    playback_stream_params_t playback_stream_params;
    char record_path[200];
    char *record_filename;
    int is_record_sdx;
    int cyclic_time_sec;
    unsigned int *sdx_handle;
    playback_handle_t tm_handle;
    int setting_record;
    int stream_playback_flag;
    int active_action; // current action mask
    unsigned char *p_keep_buffer;
    int keep_buffer_ofs;
    int is_send_data_by_eth, is_save_data_by_file, data_port;
    unsigned int data_ip;
    char *data_file_name;
    FILE *data_file;
    int data_socket;
    audio_params_t audio_params;
    uint32_t aud_device;
    SwrContext *swr;
    unsigned char *aud_buff;
    int a_codec, a_sample_rate, a_bitrate, a_channles, a_bits_per_ch;
    OS_Semaphore_t data_sem; // guards p_data, data_size and pc_time_ms; lives with the handle
    int data_size;
    unsigned char *p_data;
    uint64_t pc_time_ms;
    int is_encryption;
    unsigned char enc_key[255];
    int key_len;
    int hw_acc;
    int h265_rtp_flag, rtp_pt;
    int delay_frame_count;
    int reorder_frames, dropseq_mode;
    int route_enable;
    unsigned int route_ip;
    int route_port;
    unsigned int log_bits;
    int win_fit_mode, win_aspect_mode;
    video_event_callback_t vid_event_callback;
    void *vid_evant_callback_param;
    int stub_algo_mode;
    int blink_period_ms, blink_cycle_ms, blink_on;
    unsigned int blink_rgb;
    int deinterlace_flag;
    int rtp_payload_type;
    char *sdp_string;
    // Guards the decode slots' FIFO pointers between the receive task, which creates and
    // releases them, and the dispatcher, which puts into them.
    OS_Semaphore_t slot_lock;
    // Copies of the caller's texts for the receive task, made at start and freed after it has
    // been joined, so that setters called while it runs never free what it reads.
    char *rx_url;
    char *rx_data_file_name;
    AVBufferRef *hw_device_ctx; // hardware device of this handle's video decoder
    int hw_pix_fmt;             // surface format of the chosen hardware configuration
} playhandle_t;

#define AUD_BUFF_SIZE 768000
#define PLAYBACK_FN_MAX 79

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
