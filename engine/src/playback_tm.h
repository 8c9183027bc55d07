// File playback: a player task reads a recorded ".ts" with FFmpeg, paces it in real time and
// hands its packets to the play handle's decoders through the dispatcher (as the playback
// source). With a valid ".sdx" index it offers pause, seeking by second, reverse and fast
// forward in one-second steps, tags, and follows a recording still being written. The packets
// can also be re-streamed over UDP as MPEG-TS.
#pragma once

#include <stdint.h>

#include "quorvex.h"
#include "quorvex_video.h"

struct AVFormatContext;
struct AVPacket;

enum { PLAYER_DIR_FOR = 0, PLAYER_DIR_PREV = 1 };
enum { TRICK_MODE_OFF = 0, TRICK_MODE_ON = 1 };
enum { PLAY_EVENT_SEEK = 0, PLAY_EVENT_SPEED = 1, PLAY_EVENT_TAG = 2 };

// Pending event bits of a player.
#define PLAYER_EVENT_SEEK 0x1
#define PLAYER_EVENT_TAG 0x4
// A block's i_flags bit: the first picture after a seek (the decoder starts afresh).
#define PLAYBACK_SEEK_FLAG MEDIA_BLOCK_SEEK

typedef struct {
    int tm_mode; // trick mode wanted
    char record_file_name[200];
    int dir;
    int spd;
    int play_slow_on_end;
    int loop_playback;
} play_file_setup_t;

typedef struct {
    int dir;
    int spd;
    int loop_playback;
} player_sdx_update;

typedef struct player_t player_t;

// Starts playing setup.record_file_name on the handle: 0 with *handle set, -1 when the file is
// missing, is neither a ".ts" nor an ".ai" (by its extension) or the task cannot be made. An
// ".ai" recording is replayed to 127.0.0.1 on the handle's receive port, packet by packet.
// stream_params is the handle's re-stream target (read while playing); play_type DISPLAY,
// DISPLAY_AND_STREAM or STREAM.
int playback_start(playhandle_t *p, play_file_setup_t setup, playback_handle_t *handle,
                   playback_stream_params_t *stream_params, int play_type);
// Stops the player, waits for it (it stops the decoders it made and closes the index) and frees
// it; 0, or -1 for none.
int playback_stop(playback_handle_t handle);
// Requests a seek to a second (clamped to the recording); -1 without a player.
int SdxSeekEvent(playback_handle_t handle, int seek_sec);
// Requests a tag at the current second; -1 without a player.
int SdxTagEvent(playback_handle_t handle);
// Changes direction, speed and looping (forward and normal speed without an index).
int SdxUpdate(playback_handle_t handle, player_sdx_update u);
// The index's tag i, -1 without an index.
int SdxGetTagByI(playback_handle_t handle, int tag_i);

// Opens the UDP socket of the re-stream target; closes it and clears the target.
int playback_stream_start(playback_stream_params_t *params);
int playback_stream_stop(playback_stream_params_t *params);

// Queues one packet of the file for decoding (video always; audio only when `audio`), on decode
// slots the player claims for itself. seek_bit marks the first picture after a seek.
void set_new_packet(playhandle_t *p, AVFormatContext *ctx, const AVPacket *pkt, int audio,
                    int is_flush, int seek_bit);
// Reports the player's position where get_info and the playback status read it.
void set_status(playhandle_t *p, int state, int second, int direction, int speed, int total_sec,
                int is_rec);
// Waits (bounded) until the video decoder's queue has drained.
void Flash_Vid_Decoder(playhandle_t *p);
// Stops the decoders the player made.
void term_player_sys(playhandle_t *p);

// The index name of a recording: its name with the extension replaced by ".sdx"; false when the
// name has no ".ts" extension. For tests.
bool playback_index_name(const char *ts_name, char *sdx_name, int size);
