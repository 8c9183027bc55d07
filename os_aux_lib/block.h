// Reference-counted data blocks and the unbounded block FIFO that joins engine tasks.
#pragma once

#include <stdint.h>

#include "oslite.h"

typedef enum {
    CODEC_TYPE_VIDEO = 0,
    CODEC_TYPE_AUDIO = 1,
    CODEC_TYPE_DATA = 2,
} codec_type_t;

typedef struct block_t block_t;

// One unit of data handed between tasks. The descriptor and its payload are one allocation; the
// meaning of the media fields is fixed by each producer.
struct block_t {
    block_t *p_next; // next block of a chain; null for a single block
    unsigned int i_stream;
    int i_mux;
    unsigned int i_flags;
    float m_qp_zp;
    float m_qp_scale;
    unsigned int fmt;
    unsigned int frame_no;
    unsigned int src_app;
    unsigned int width;
    unsigned int height;
    unsigned int field;
    int is_interlaced;
    int fcount;
    int user;
    int real_time;
    int is_flush;
    int map_type;
    int data_src;
    int codec_id;
    int port;
    uint64_t i_pts;
    uint64_t i_dts;
    int64_t i_length;
    int i_bit_rate;
    int i_samples;
    int i_rate;
    int i_channels;
    int i_sample_size;
    int i_buffer; // valid payload bytes at p_buffer
    int src_ip;
    void *p_stream;
    void *phys_addr;
    unsigned char *p_buffer;
    unsigned int index;
    int i_codec_type; // codec_type_t
    int i_codec;
    int i_data_type;
    int vprocess_type;
    unsigned int alloc_size; // payload size requested at allocation
    unsigned int sample_size;
    int i_frame_size;
    int use_count;      // reference count
    int free_buff_flag; // p_buffer was replaced by a separate allocation that release frees too
    void *p_alloc;
    void (*pf_release)(block_t *);
    void (*pf_use_inc)(block_t *);
};

struct block_queue_t; // the FIFO's queue of block pointers (private to block.cpp)

typedef struct block_fifo_t {
    int i_size;                 // sum of i_buffer of the queued blocks
    int b_force_wake;           // wake request: waiting consumers return without a block
    OS_Semaphore_t m_sig;       // posted on every put and wake
    OS_Semaphore_t m_lock;      // lock of the FIFO
    struct block_queue_t *p_bq; // first-in first-out queue
} block_fifo_t;

// Allocates a block with a 16-byte-aligned payload of at least i_size bytes, use_count 1.
// Null when the allocation fails. The caller owns the one reference.
block_t *block_Alloc(int i_size);
// Resets the descriptor's chain, flags, times, rate and use_count, and points it at buf.
void block_Init(block_t *b, void *buf, int size);
// Drops one reference through the block's own release operation; null is ignored.
void block_Release(block_t *p_block);
// Adds one reference.
void BlockUseInc(block_t *p_block);
// Drops one reference of every block of the chain; a block whose count reaches 0 is freed.
void BlockRelease(block_t *p_block);

// New empty FIFO; null when an allocation fails.
block_fifo_t *block_FifoNew(void);
// Wakes consumers, releases every queued block and frees the FIFO. Null is ignored.
// The consumer task must have been joined first.
void block_FifoRelease(block_fifo_t *p_fifo);
// Releases every queued block.
void block_FifoEmpty(block_fifo_t *p_fifo);
// Appends p_block (the FIFO takes over the caller's reference) and posts the signal; a null
// block only posts. Returns the new byte total, or 0 for a null block.
int block_FifoPut(block_fifo_t *p_fifo, block_t *p_block);
// Waits without limit for a block; clears the wake request after waiting. Null only after a
// wake on an empty queue. The caller owns the returned reference.
block_t *block_FifoGet(block_fifo_t *p_fifo);
// Waits at most about timeoutms per wake-up; null on time-out and, after a wake, at once on
// every call while the queue is empty. The caller owns the returned reference.
block_t *block_FifoGetTimeout(block_fifo_t *p_fifo, int timeoutms);
// Sets the wake request when the queue is empty and posts the signal.
void block_FifoWake(block_fifo_t *p_fifo);
// Number of queued blocks, read without the lock.
int block_FifoCount(const block_fifo_t *p_fifo);
// Sum of i_buffer of the queued blocks, read without the lock.
int block_FifoSize(const block_fifo_t *p_fifo);
// Releases the oldest blocks until at most `keep` remain; the number released.
int block_FifoDropOldest(block_fifo_t *p_fifo, int keep);
// The i_pts of the oldest queued block: 0, or -1 when the queue is empty.
int block_FifoFirstPts(block_fifo_t *p_fifo, uint64_t *pts);
