// The dispatcher, which paces compressed blocks into the per-kind decode FIFOs, and the video
// decode task, which turns video blocks into pictures for the display task.
#pragma once

#include <stdint.h>

#include "quorvex.h"

// Dispatcher task entry; sets the handle's active_task_dispacher itself and runs until close
// clears it.
void *task_dispacher(void *p_sys);
// Video decode task entry; runs until the receive task clears the video slot's run flag.
void *video_task_decode(void *p_sys);

// Opens the video decoder of the handle's video slot: 0, or -1 when there is no decoder or the
// open fails. *codec_id receives the decoder's codec id.
int init_vcodec(playhandle_t *p_sys, unsigned int &codec_id);
// Closes the video decoder and the handle's hardware device; 0.
int Term_vcodec(playhandle_t *p_sys);

// A block's time stamp, read as 90 kHz, in microseconds.
inline uint64_t dispatch_time_us(uint64_t pts) {
    return pts * 100 / 9;
}

// Video and audio blocks carry their stream's time base: i_pts and i_length count units of
// i_mux / i_rate seconds. A block without one (i_rate 0) is read as 90 kHz.
void media_block_set_time_base(block_t *b, int num, int den);
// The block's i_pts in microseconds.
uint64_t block_time_us(const block_t *b);
// The block's i_length in microseconds; 0 when it is not known.
int64_t block_duration_us(const block_t *b);
// The key-frame bit of a media block's i_flags (the demuxer's packet flag).
#define MEDIA_BLOCK_KEY 0x1u
// The first picture after a seek of the file player: the decoder starts afresh.
#define MEDIA_BLOCK_SEEK 0x100u

// Paced release: the moment (µs) a block may leave, given the running schedule. Exposed for
// tests; see task_dispacher.
struct dispatch_clock_t {
    uint64_t anchor, next, previous;
};
// Start of the schedule at the first block: its time is remembered, anchor = next = now.
void dispatch_anchor(dispatch_clock_t *c, uint64_t block_us, uint64_t now);
// Target release time of the next block, given how many blocks the reserve is short (positive)
// or over (negative). Re-anchors when the schedule ran more than a second ahead of its anchor.
uint64_t dispatch_target(dispatch_clock_t *c, uint64_t block_us, int deficit, uint64_t now);

// Frees a display block's picture with the block (its release operation).
void display_block_release(block_t *b);
// What a display task calls when it is done with a picture taken from m_display_q: the
// picture's producer knows how its planes were made, and frees them with the block.
void display_picture_release(playhandle_t *p, block_t *b);
