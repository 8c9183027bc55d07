// The live receive-and-demultiplex task of a play handle: opens the input through FFmpeg,
// decrypts, splits packets by kind and feeds the dispatcher, the data outputs and stream-out.
#pragma once

#include <stdint.h>

#include <vector>

#include "quorvex.h"

struct AVAES;
struct AVCodecParameters;

// Task entry; pParam is the play handle. Runs until the handle's active_task_video_rx is cleared.
void *task_gen_rx(void *pParam);

// Runs the receive path over a transport stream held in memory as if it had arrived over UDP,
// up to its end: demuxing, decryption (the handle's rx settings), routing, decoder tasks and
// the data outputs, then the same exit as a stopped task once what was handed on is taken.
// For fuzzing; -1 when the handle is receiving, else 0.
int rx_run_memory(playhandle_t *p, const uint8_t *data, size_t size);

// Decode slots are shared by the producers of a handle (the receive task and the file player):
// a producer claims a free slot, starts its decoder, and alone stops it.
// Claims the slot of `kind` for `creator` (an APP_SRC), with a copy of the stream's
// parameters, and starts `task` on it. False when the slot is held or memory is short.
bool decode_slot_open(playhandle_t *p, int kind, const AVCodecParameters *par, int stream_index,
                      OS_TaskFunc_t task, int priority, int creator);
// The creator holding the slot of `kind`, or -1 when it is free.
int decode_slot_owner(playhandle_t *p, int kind);
// Stops the slot's decoder (its creator calls it) and frees the slot.
void decode_slot_stop(playhandle_t *p, task_decode_t *slot);
// Stops every slot `creator` holds.
void decode_slots_stop(playhandle_t *p, int creator);

// Closes the data file and socket of the last run; the receive task has ended (or is the
// caller).
void rx_close_data_outputs(playhandle_t *p);

// avformat_find_stream_info with no options; the protocol is not used.
int find_stream_info(AVFormatContext *ctx, int protocol);
// Numbers the audio streams in stream order: map[stream index] = ordinal, -1 for other streams.
// Returns the number of audio streams.
int map_audio_stream(AVFormatContext *ctx, std::vector<int> &map);

// Interrupt callbacks given to FFmpeg; the argument is the play handle. Non-zero aborts.
int rtp_monitor(void *param);
int mpegts_monitor(void *param);

// The URL the receive task opens for MPEG-TS over UDP.
void rx_udp_url(unsigned int multicast_addr, int port, char *buf, int size);

// Stream decryption: AES-128-CBC with the MD5 digest of the key as key and the reversed digest
// as IV, over the whole 16-byte blocks from byte 70 of every packet longer than 70 bytes.
typedef struct {
    AVAES *aes;
    uint8_t iv[16];
} rx_crypt_t;

#define RX_CRYPT_CLEAR_BYTES 70

// 0, or -1 when the cipher cannot be allocated.
int rx_crypt_init(rx_crypt_t *c, const unsigned char *key, int key_len);
void rx_crypt_packet(rx_crypt_t *c, uint8_t *data, int size);
void rx_crypt_free(rx_crypt_t *c);
