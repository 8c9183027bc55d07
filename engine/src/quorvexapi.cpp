// The exported boundary: the static function table and the flat "_cs" wrappers.
#include "quorvexapi.h"

#include "quorvex.h"

namespace {

const quorvex_t g_table = {
    quorvex_close,                     // 0
    quorvex_open,                      // 1
    quorvex_stop,                      // 2
    quorvex_start,                     // 3
    quorvex_set_playback_param,        // 4
    quorvex_set_streaming_param,       // 5
    quorvex_set_encryption_param,      // 6
    quorvex_set_record_param,          // 7
    quorvex_switch_dispatch,           // 8
    quorvex_set_data_param,            // 9
    quorvex_get_action,                // 10
    quorvex_register_data_callback,    // 11
    quorvex_register_user_overlay,     // 12
    quorvex_register_stream_callback,  // 13
    quorvex_setup_port,                // 14
    quorvex_get_info,                  // 15
    quorvex_get_dll_ver,               // 16
    quorvex_get_plbck_status,          // 17
    quorvex_set_event,                 // 18
    quorvex_get_tag_by_i,              // 19
    quorvex_read_data,                 // 20
    quorvex_set_hw_acc,                // 21
    quorvex_set_route_stream,          // 22
    quorvex_set_log_bits,              // 23
    quorvex_set_video_event_callback,  // 24
    quorvex_windows_draw_mode,         // 25
    quorvex_get_rtp_err,               // 26
    quorvex_reset_rtp_err,             // 27
    quorvex_register_vm,               // 28
    quorvex_get_audio_ch_count,        // 29
    quorvex_set_active_audio_ch,       // 30
    quorvex_get_active_audio_ch,       // 31
    quorvex_set_stabilizer,            // 32
    quorvex_get_stabilizer,            // 33
    quorvex_get_stabilizer_alg_cnt,    // 34
    quorvex_play_sound,                // 35
    quorvex_draw_blink,                // 36
    quorvex_set_ai_enc_stills_param,   // 37
    quorvex_set_fps_to_ai_enc,         // 38
    quorvex_set_jitter_flag_to_ai_enc, // 39
};

static_assert(sizeof(quorvex_t) == 40 * sizeof(void *), "the table has 40 slots");

} // namespace

extern "C" {

// Callers never modify the table; the C boundary has no const, so the cast is ours alone.
quorvex_t *quorvex_get_handle(void) {
    return const_cast<quorvex_t *>(&g_table);
}

int quorvex_open_cs(quorvex_setup_t *pSetup, quorvex_handle_t *hVidDisp) {
    quorvex_setup_t setup = {};
    if (pSetup)
        setup = *pSetup;
    // 0 as for every open that gives a handle; a handle that could not be made is no success.
    return quorvex_open(setup, hVidDisp);
}

void quorvex_close_cs(quorvex_handle_t h) {
    quorvex_close(h);
}

int quorvex_start_cs(quorvex_handle_t h, int action_bit) {
    quorvex_start(h, action_bit);
    return 0;
}

void quorvex_stop_cs(quorvex_handle_t h, int action_bit) {
    quorvex_stop(h, action_bit);
}

int quorvex_set_playback_param_cs(quorvex_handle_t h, playback_setup_t *p) {
    return p ? quorvex_set_playback_param(h, *p) : -1;
}

int quorvex_set_streaming_param_cs(quorvex_handle_t h, streaming_setup_t *p) {
    return p ? quorvex_set_streaming_param(h, *p) : -1;
}

int quorvex_set_record_param_cs(quorvex_handle_t h, record_setup_t *p) {
    return p ? quorvex_set_record_param(h, *p) : -1;
}

int quorvex_set_data_param_cs(quorvex_handle_t h, data_setup_t *p) {
    return p ? quorvex_set_data_param(h, *p) : -1;
}

int quorvex_switch_dispatch_cs(quorvex_handle_t h, int dispatch_src) {
    return quorvex_switch_dispatch(h, dispatch_src);
}

int quorvex_get_action_cs(void) {
    return quorvex_get_action();
}

void quorvex_get_dll_ver_cs(int *dll_version) {
    quorvex_get_dll_ver(dll_version);
}

void quorvex_setup_port_cs(quorvex_handle_t h, int port) {
    quorvex_setup_port(h, port);
}

void quorvex_get_info_cs(quorvex_handle_t h, quorvex_info_t *p_info, int reset_info) {
    quorvex_get_info(h, p_info, reset_info);
}

int quorvex_get_tag_by_i_cs(quorvex_handle_t h, int i_tag) {
    return quorvex_get_tag_by_i(h, i_tag);
}

void quorvex_set_event_cs(quorvex_handle_t h, playback_event_t *params) {
    if (params)
        quorvex_set_event(h, *params);
}

void quorvex_get_plbck_status_cs(quorvex_handle_t h, player_sdx_status *p_status) {
    quorvex_get_plbck_status(h, p_status);
}

void quorvex_register_user_overlay_cs(quorvex_handle_t h, quorvex_user_overlay_callback_t cb,
                                      void *param) {
    quorvex_register_user_overlay(h, cb, param);
}

void quorvex_register_data_callback_cs(quorvex_handle_t h, quorvex_data_callback_t cb,
                                       void *param) {
    quorvex_register_data_callback(h, cb, param);
}

int read_data_cs(quorvex_handle_t h, char *p_data, uint64_t *pc_time_ms) {
    return quorvex_read_data(h, p_data, pc_time_ms);
}

void quorvex_read_data_cs(quorvex_handle_t h, unsigned char *buffer, uint64_t *pc_time) {
    quorvex_read_data(h, reinterpret_cast<char *>(buffer), pc_time);
}

// The engine keeps no captured frame: nothing is written.
int quorvex_read_frame_cs(quorvex_handle_t, int *, int *, unsigned char *) {
    return 0;
}

void quorvex_set_stabilizer_cs(quorvex_handle_t h, stabilizer_params_t p) {
    quorvex_set_stabilizer(h, p);
}

int quorvex_get_stabilizer_cs(quorvex_handle_t h, stabilizer_params_t *p) {
    return quorvex_get_stabilizer(h, p);
}

int quorvex_get_stabilizer_alg_cnt_cs(quorvex_handle_t h) {
    return quorvex_get_stabilizer_alg_cnt(h);
}

} // extern "C"
