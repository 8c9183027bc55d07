// Audio decoding and output: the audio decode task opens the decoder and an SDL audio device;
// the device's pull callback decodes queued blocks, converts them to signed 16-bit at the
// device's format and copies them into the device buffer, never letting a backlog build up.
#pragma once

#include <stdint.h>

#include "quorvex.h"

struct AVFrame;

#define AUDIO_LEFTOVER_SIZE 576000
// Blocks allowed to wait in the audio FIFO when their duration is not known.
#define AUDIO_MAX_BACKLOG 4
// Sound allowed to wait in the audio FIFO behind the block being played, µs.
#define AUDIO_MAX_QUEUED_US 200000

// Task entry; started by the receive task with the audio slot's FIFO and run flag set.
void *audio_task_decode(void *p_sys);

// How the device is asked for: one combination of rate and channel count.
typedef struct {
    int rate;
    int channels;
} audio_try_t;

// Opens the device, calling `open_fn` for each combination until one is accepted, and fills the
// handle's audio_params; -1 when no combination is accepted. `open_fn` returns the obtained
// rate and channels (and 0) on success, -1 when the device refuses. `fmt_ok` reports whether the
// obtained sample format is signed 16-bit.
typedef int (*audio_open_fn)(void *ctx, const audio_try_t *wanted, audio_try_t *obtained,
                             int *fmt_ok);
int sdl_audio_open(playhandle_t *p, int64_t wanted_channel_layout, int wanted_nb_channels,
                   int wanted_sample_rate, audio_open_fn open_fn, void *ctx);

// The combination tried after `cur` was refused, following the fallback tables (channels
// 6 → 4 → 2 → 1, then the next lower rate of {44100, 48000, 96000, 192000} below the wanted
// rate with the wanted channel count). *rate_pos holds the position in the rate table. False
// when no combination is left.
bool audio_next_try(audio_try_t *cur, int wanted_channels, int *rate_pos);
// Start position in the rate table for a wanted rate.
int audio_rate_start(int wanted_rate);
// The device buffer in samples: max(512, 2 << floor(log2(rate / 30))).
int audio_buffer_samples(int rate);

// Converts one decoded frame to the device format into the handle's aud_buff, (re)making the
// resampler when the frame's format, layout or rate or the device differ from what it was made
// for. *out points at aud_buff; the byte count, 0 when the frame has no data or cannot be
// converted.
int convert_audio_samples(playhandle_t *p, AVFrame *frame, unsigned char **out);

// The device callback (SDL's audio thread): fills len bytes at stream.
void audio_callback(void *p_sys, uint8_t *stream, int len);
