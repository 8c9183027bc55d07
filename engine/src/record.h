// Stream recording: the receive task hands every video and audio packet to the recorder, whose
// writer task re-multiplexes them unchanged into an MPEG-TS file ("DIR/NAME.ts") and, when asked,
// builds its ".sdx" index (one entry per key frame, tags on the next key frame).
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "block.h"

struct AVPacket;

typedef void *record_handle_t;

struct rec_input_t; // the input streams, copied at open

// A recorder; owned by the recorder module from record_open to record_close.
typedef struct {
    OS_Task_t h_task;
    block_fifo_t *q; // packets waiting for the writer
    int active;      // the writer runs while set; atomic
    void *p_fctx;    // not kept: the input's stream list is copied at open (inputs)
    FILE *fp;
    void *sdx_handle; // the index, or null
    int tag_event;    // unused: the pending tag is process-wide (record_tag_event_1)
    // --- this implementation's ---
    struct rec_input_t *inputs;
    int nb_inputs;
    int failed;         // the writer could not set up or write: recording has stopped; atomic
    char *ts_file_name; // the recording's path
} recmux_t;

// Opens "DIR/NAME.ts" (NAME: file_name, or the date and time when it is empty; a name already
// taken gets "_1", "_2", … so no recording is overwritten) and, with is_sdx, its index
// "DIR/NAME.sdx"; without is_sdx the caller's sdx_handle (may be null) is used. Starts the writer.
// fctx is the input's AVFormatContext; its stream list is copied. Null when the directory is
// empty or the file cannot be created (the reason is logged).
record_handle_t record_open(const char *file_path, const char *file_name, const char *fmt,
                            void *fctx, int is_sdx, void *sdx_handle);
// Queues a copy of the packet (its flags as given: the caller passes 0 for audio, so that only
// key frames of video make index entries). Never blocks. 0, or -1 when no block can be had.
int record_puts(record_handle_t h, const AVPacket *pkt);
// Writes what is still queued, the trailer and the index, and frees the recorder; h becomes
// null. Null is ignored.
void record_close(record_handle_t &h);
// 1 once the writer has stopped on an error (set-up or a failed write); the caller closes it.
int record_failed(record_handle_t h);
// The next key frame written by any recorder gets a tag.
void record_tag_event_1(void);
// *name = a new "DYYYY_MM_DDThh_mm_ss" of the local time; the caller frees it.
void create_record_file_name(char **name);
// The path "DIR/NAME.EXT" without a doubled "/"; the caller frees it.
char *record_path_join(const char *dir, const char *name, const char *ext);
