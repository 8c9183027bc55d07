// Public boundary of the quorvex64 engine library: the records, enumerations and callback types
// that cross it, the 40-entry function table returned by quorvex_get_handle, and the flat "_cs"
// exports. Plain C layout and C linkage: callers may be written in any language.
#ifndef QUORVEXAPI_H
#define QUORVEXAPI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define QUORVEX_EXPORT __declspec(dllexport)
#else
#define QUORVEX_EXPORT __attribute__((visibility("default")))
#endif

// Address of the engine's play handle; 0 means no handle.
typedef size_t quorvex_handle_t;

// Native window the engine renders into: on X11 the Window id carried in a pointer-sized handle.
typedef void *HWND;

#define QUORVEX_DLL_VERSION 260368

typedef enum {
    Protocol_PRIVATE = 0,
    Protocol_UDPTS = 1,
    Protocol_RTPUDP = 2,
    Protocol_RTSPUDP = 3,
    Protocol_RTSPTCP = 4,
    Protocol_RTMP = 5,
    Protocol_Split = 6,
    Protocol_HTTP = 7,
    Protocol_RAW_H265 = 8,
    Protocol_RAW_H264 = 9,
} PROTOCOL;

// Bit positions of an action mask: 1 playback, 2 re-streaming, 4 live streaming, 8 recording.
typedef enum {
    PLAYBACK_BIT = 0,
    PLAYBACK_STREAMING_BIT = 1,
    STREAMING_BIT = 2,
    RECORD_BIT = 3,
} ACTION_BIT;

typedef enum {
    STREAMING_APP = 0,
    PLAYBACK_APP = 1,
    OTHER_APP = 2,
} APP_SRC;

typedef enum {
    MODE_OFF = 0,
    MODE_ON = 1,
} IS_MODE;

typedef enum {
    RTP_P_TYPE_H265 = 0,
    RTP_P_TYPE_H264 = 1,
    RTP_P_TYPE_STAN82 = 2,
} e_rtp_payload_type;

// Window fit mode.
enum { e_win_mode_fit = 0, e_win_mode_full = 1 };

// playback_event_t::event_type
enum { SEEK_EVENT = 0, PLAYBACK_TAG_EVENT = 1, RECORD_TAG_EVENT = 2, UPDATE_EVENT = 3 };

// player_sdx_status::state
enum {
    PLAYRE_STATUS_OFF = 0,
    PLAYRE_STATUS_PLAYING = 1,
    PLAYRE_STATUS_PAUSING = 2,
    PLAYRE_STATUS_EOF = 3,
    PLAYRE_STATUS_SOF = 4,
};

// playback_setup_t::speed
enum {
    PLAYER_SPD_PAUSE = 0,
    PLAYER_SPD_NORMAL = 1,
    PLAYER_SPD_X2 = 2,
    PLAYER_SPD_X3 = 3,
    PLAYER_SPD_X4 = 4,
    PLAYER_SPD_X5 = 5,
    PLAYER_SPD_FAST = 6,
};

// playback_setup_t::direction
enum { PLAYER_DIR_FORWARD = 0, PLAYER_DIR_PREVWARD = 1 };

// playback_setup_t::play_type
enum { DISPLAY = 0, DISPLAY_AND_STREAM = 1, STREAM = 2 };

// Open options (quorvex_setup_t::flags).
#define QUORVEX_FLAG_WINDOW_FOLLOWS_VIDEO 0x1 // set by the player; not tested by the engine
#define QUORVEX_FLAG_FIXED_SIZE 0x2           // picture size is width x height
#define QUORVEX_FLAG_SIZE_FROM_WINDOW 0x4     // picture size follows the window's client area
#define QUORVEX_FLAG_NO_WINDOW_COPY 0x40      // present without copying; overlay still called

typedef struct {
    int flags;
    int self_draw;
    HWND hwnd;
    int width;
    int height;
    int hw_acc;
} quorvex_setup_t;

typedef struct {
    char file_name[200];
    int is_cyclic;
    int is_trick_mode;
    int direction;
    int speed;
    int play_slow_on_end;
    int s_transport;
    int protocol;
    int ip;
    int port;
    int play_type;
    int loop_playback;
} playback_setup_t;

typedef struct {
    int port;
    unsigned int multicast_addr;
    int protocol;
    char *rtsp_url;
    char *rtsp_sdp;
    int rtsp_port;
    char *rtmp_url;
    int rtmp_port;
    char *rtmp_sdp;
    int dst_port;
    unsigned int dst_ip;
    int delay_frame_ms;
    int analize_mode;
    int src_app;
    int hw_acc;
    int reorder_frames;
    int dropseq_mode;
    int fec_mode;
    int rtp_payload_type;
    int deinterlace_flag;
} streaming_setup_t;

typedef struct {
    int is_encryption;
    char key[255];
    int len;
} encryption_setup_t;

typedef struct {
    char directory_path[200];
    char *file_name;
    int time_seconds;
    int is_cyclic;
    int cyclic_time_sec;
    int is_trick_mode;
} record_setup_t;

typedef struct {
    int is_send_by_eth;
    int is_save_by_file;
    unsigned int ip;
    int port;
    char *file_name;
} data_setup_t;

typedef struct {
    int state;
} stabilizer_params_t;

typedef struct {
    int stills_mode;
    char *stills_path;
} ai_enc_stills_info_t;

typedef struct {
    int event_type;
    int sec;
    int dir;
    int speed;
    int loop_playback;
} playback_event_t;

typedef struct {
    int state;
    int second;
    int direction;
    int speed;
    int type;
    int total_second;
    int is_recording;
    int eof;
    int sof;
    char full_file_name[200];
} player_sdx_status;

typedef struct {
    int inp_fps;
    int imp_bitrate;
    int inp_dec_error;
    int inp_dec_frame;
    int inp_disp_frames;
    int protocol;
    int v_codec;
    int a_codec;
    int a_sample_rate;
    int a_bitrate;
    int a_channles;
    int a_bits_per_ch;
    int d_codec;
    int d_bitrate;
    int d_packets;
    int transcode_tx_frames;
    unsigned int src_ip_addr;
} get_stream_info;

typedef struct {
    char *file_name;
    int kb_size;
    int sec_size;
} record_info_t;

typedef struct {
    int protocol;
    int frame_count;
} stream_info_t;

typedef struct {
    int action_bit;
    int inp_width;
    int inp_height;
    int active_app;
    get_stream_info get_strm_info;
    player_sdx_status player_info;
    record_info_t record_info;
    stream_info_t pb_stream_info;
} quorvex_info_t;

typedef void (*quorvex_data_callback_t)(void *param, void *buffer, int size);
typedef void (*quorvex_user_overlay_callback_t)(void *param, int video_ch, unsigned int pixelformat,
                                                int witdh, int height, int pitch, void *bitmap,
                                                void *ext);
typedef void (*stream_callback_t)(void *param, unsigned char *buffer, int size);
typedef void (*video_event_callback_t)(void *param, int w, int h);
typedef void (*save_stills_callback_t)(void *param, int success);

// The function table. The slot order is part of the interface.
typedef struct {
    void (*Quorvex_close)(quorvex_handle_t hVidDisp);                        // 0
    int (*Quorvex_open)(quorvex_setup_t pSetup, quorvex_handle_t *hVidDisp); // 1
    void (*Quorvex_stop)(quorvex_handle_t hVidDisp, int action_bit);         // 2
    int (*Quorvex_start)(quorvex_handle_t hVidDisp, int action_bit);         // 3
    int (*Quorvex_set_playback_param)(quorvex_handle_t hVidDisp,
                                      playback_setup_t playback_param); // 4
    int (*Quorvex_set_streaming_param)(quorvex_handle_t hVidDisp,
                                       streaming_setup_t streaming_param); // 5
    int (*Quorvex_set_encryption_param)(quorvex_handle_t hVidDisp,
                                        encryption_setup_t encryption_params); // 6
    int (*Quorvex_set_record_param)(quorvex_handle_t hVidDisp,
                                    record_setup_t record_param);                      // 7
    int (*Quorvex_switch_dispatch)(quorvex_handle_t hVidDisp, int dispatch_src);       // 8
    int (*Quorvex_set_data_param)(quorvex_handle_t hVidDisp, data_setup_t data_param); // 9
    int (*Quorvex_get_action)(void);                                                   // 10
    void (*Quorvex_register_data_callback)(quorvex_handle_t hVidDisp, quorvex_data_callback_t func,
                                           void *callback_param); // 11
    void (*Quorvex_register_user_overlay)(quorvex_handle_t hVidDisp,
                                          quorvex_user_overlay_callback_t func,
                                          void *callback_param); // 12
    void (*Quorvex_register_stream_callback)(quorvex_handle_t hVidDisp, stream_callback_t func,
                                             void *callback_param);  // 13
    void (*Quorvex_setup_port)(quorvex_handle_t hVidDisp, int port); // 14
    void (*Quorvex_get_info)(quorvex_handle_t hVidDisp, quorvex_info_t *p_info,
                             int reset_info);      // 15
    void (*Quorvex_get_dll_ver)(int *dll_version); // 16
    void (*Quorvex_get_plbck_status)(quorvex_handle_t hVidDisp,
                                     player_sdx_status *p_status);                        // 17
    void (*Quorvex_set_event)(quorvex_handle_t hVidDisp, playback_event_t params);        // 18
    int (*Quorvex_get_tag_by_i)(quorvex_handle_t hVidDisp, int i_tag);                    // 19
    int (*Quorvex_read_data)(quorvex_handle_t hVidDisp, char *p_data, uint64_t *pc_time); // 20
    int (*Quorvex_set_hw_acc)(quorvex_handle_t hVidDisp, int hw_acc);                     // 21
    int (*Quorvex_set_route_stream)(quorvex_handle_t hVidDisp, int enable, unsigned int ip,
                                    int port);                                      // 22
    void (*Quorvex_set_log_bits)(quorvex_handle_t hVidDisp, unsigned int log_bits); // 23
    void (*Quorvex_set_video_event_callback)(quorvex_handle_t hVidDisp,
                                             video_event_callback_t callback,
                                             void *callback_params); // 24
    void (*Quorvex_windows_draw_mode)(quorvex_handle_t hVidDisp, int win_mode,
                                      int aspec_mode);                             // 25
    int (*Quorvex_get_rtp_err)(quorvex_handle_t hVidDisp);                         // 26
    void (*Quorvex_reset_rtp_err)(quorvex_handle_t hVidDisp);                      // 27
    void (*Quorvex_register_vm)(void *vm);                                         // 28
    int (*Quorvex_get_audio_ch_count)(quorvex_handle_t hVidDisp);                  // 29
    void (*Quorvex_set_active_audio_ch)(quorvex_handle_t hVidDisp, int active_ch); // 30
    int (*Quorvex_get_active_audio_ch)(quorvex_handle_t hVidDisp);                 // 31
    void (*Quorvex_set_stabilizer)(quorvex_handle_t hVidDisp,
                                   stabilizer_params_t stab_param); // 32
    int (*Quorvex_get_stabilizer)(quorvex_handle_t hVidDisp,
                                  stabilizer_params_t *stab_param);   // 33
    int (*Quorvex_get_stabilizer_alg_cnt)(quorvex_handle_t hVidDisp); // 34
    int (*Quorvex_play_sound)(char *wav_fname, int timems);           // 35
    int (*Quorvex_draw_blink)(quorvex_handle_t hVidDisp, int period_ms, int draw_hide_ms,
                              unsigned int rgb); // 36
    int (*Quorvex_set_ai_enc_stills_param)(quorvex_handle_t hVidDisp,
                                           save_stills_callback_t callback, void *callback_params,
                                           ai_enc_stills_info_t stills_param);           // 37
    int (*Quorvex_set_fps_to_quorvex_ai_enc)(quorvex_handle_t hVidDisp, int ai_enc_fps); // 38
    int (*Quorvex_set_jitterFlag_to_quorvex_ai_enc)(quorvex_handle_t hVidDisp,
                                                    int jitter); // 39
} quorvex_t;

typedef quorvex_t *(*quorvex_get_handle_t)(void);

// The library's entry point: the static function table, the same address on every call.
QUORVEX_EXPORT quorvex_t *quorvex_get_handle(void);

// Flat exports: thin wrappers over the table's engine functions, records by address.
QUORVEX_EXPORT int quorvex_open_cs(quorvex_setup_t *pSetup, quorvex_handle_t *hVidDisp);
QUORVEX_EXPORT void quorvex_close_cs(quorvex_handle_t hVidDisp);
QUORVEX_EXPORT int quorvex_start_cs(quorvex_handle_t hVidDisp, int action_bit);
QUORVEX_EXPORT void quorvex_stop_cs(quorvex_handle_t hVidDisp, int action_bit);
QUORVEX_EXPORT int quorvex_set_playback_param_cs(quorvex_handle_t hVidDisp,
                                                 playback_setup_t *playback_param);
QUORVEX_EXPORT int quorvex_set_streaming_param_cs(quorvex_handle_t hVidDisp,
                                                  streaming_setup_t *streaming_param);
QUORVEX_EXPORT int quorvex_set_record_param_cs(quorvex_handle_t hVidDisp,
                                               record_setup_t *record_param);
QUORVEX_EXPORT int quorvex_set_data_param_cs(quorvex_handle_t hVidDisp, data_setup_t *data_param);
QUORVEX_EXPORT int quorvex_switch_dispatch_cs(quorvex_handle_t hVidDisp, int dispatch_src);
QUORVEX_EXPORT int quorvex_get_action_cs(void);
QUORVEX_EXPORT void quorvex_get_dll_ver_cs(int *dll_version);
QUORVEX_EXPORT void quorvex_setup_port_cs(quorvex_handle_t hVidDisp, int port);
QUORVEX_EXPORT void quorvex_get_info_cs(quorvex_handle_t hVidDisp, quorvex_info_t *p_info,
                                        int reset_info);
QUORVEX_EXPORT int quorvex_get_tag_by_i_cs(quorvex_handle_t hVidDisp, int i_tag);
QUORVEX_EXPORT void quorvex_set_event_cs(quorvex_handle_t hVidDisp, playback_event_t *params);
QUORVEX_EXPORT void quorvex_get_plbck_status_cs(quorvex_handle_t hVidDisp,
                                                player_sdx_status *p_status);
QUORVEX_EXPORT void quorvex_register_user_overlay_cs(quorvex_handle_t hVidDisp,
                                                     quorvex_user_overlay_callback_t callback,
                                                     void *callback_param);
QUORVEX_EXPORT void quorvex_register_data_callback_cs(quorvex_handle_t hVidDisp,
                                                      quorvex_data_callback_t callback,
                                                      void *callback_param);
QUORVEX_EXPORT int read_data_cs(quorvex_handle_t hVidDisp, char *p_data, uint64_t *pc_time_ms);
QUORVEX_EXPORT void quorvex_read_data_cs(quorvex_handle_t hVidDisp, unsigned char *buffer,
                                         uint64_t *pc_time);
QUORVEX_EXPORT int quorvex_read_frame_cs(quorvex_handle_t hVidDisp, int *w, int *h,
                                         unsigned char *buffer);
QUORVEX_EXPORT void quorvex_set_stabilizer_cs(quorvex_handle_t hVidDisp,
                                              stabilizer_params_t stab_param);
QUORVEX_EXPORT int quorvex_get_stabilizer_cs(quorvex_handle_t hVidDisp,
                                             stabilizer_params_t *stab_param);
QUORVEX_EXPORT int quorvex_get_stabilizer_alg_cnt_cs(quorvex_handle_t hVidDisp);

#ifdef __cplusplus
}
#endif

#endif // QUORVEXAPI_H
