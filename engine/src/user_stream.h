// Stream-out: re-multiplexes received packets into MPEG-TS and hands the bytes to the caller's
// stream callback in chunks of 1316 bytes (seven transport packets), from a task of its own.
#pragma once

#include "block.h"
#include "quorvexapi.h"

struct AVFormatContext;
struct AVPacket;

typedef struct mux_t {
    OS_Task_t h_task;
    block_fifo_t *q;
    int active;              // run flag of the stream task
    AVFormatContext *p_fctx; // the input's demuxer context: its stream list is copied
    stream_callback_t callback;
    void *p_params;
    struct mux_input_t *inputs; // the input streams, copied at open on the caller's thread
    int nb_inputs;
    int failed; // the muxer could not be set up: puts are dropped at once
} mux_t;

typedef mux_t *stream_h_t;

#define STREAM_OUT_CHUNK 1316
// Payload bytes the stream-out queue may hold; beyond, new packets are dropped.
#define STREAM_OUT_MAX_QUEUED (8 * 1024 * 1024)

// Starts the stream task over the input context. Null when an allocation fails.
stream_h_t stream_open(void *pFormatCtx, stream_callback_t callback, void *p_params);
// Queues a copy of the packet (dropped while the queue is full or the muxer failed); -1 when no
// block can be allocated, else 0.
int stream_puts(stream_h_t h, const AVPacket *pkt);
// Queues raw bytes; -1 when no block can be allocated, else 0.
int stream_puts(stream_h_t h, const unsigned char *data, int size);
// Stops the task, releases what is queued and frees the record; *h becomes null.
void stream_close(stream_h_t &h);
