// Reference-counted blocks and the block FIFO.
//
// Lock order: a FIFO's m_lock may be held while block_mutex is taken (block_FifoEmpty releases
// queued blocks under the FIFO lock); block_mutex is never held while taking a FIFO lock.
#include "block.h"

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <deque>
#include <new>

// The FIFO's queue. `count` mirrors the deque's size so that block_FifoCount can read it
// without the FIFO lock; it is written only under the lock.
struct block_queue_t {
    std::deque<block_t *> blocks;
    std::atomic<int> count{0};
};

namespace {

// Bytes added to every block for its descriptor, the allocation size and the alignment gap.
constexpr size_t kBlockOverhead = 288;
constexpr uintptr_t kPayloadAlign = 16;
static_assert(sizeof(block_t) + sizeof(int) + (kPayloadAlign - 1) <= kBlockOverhead,
              "the block descriptor no longer fits the fixed per-block overhead");

// Serialises every block release in the process, so a block may be released from any thread.
pthread_mutex_t block_mutex = PTHREAD_MUTEX_INITIALIZER;

unsigned char *align_up(unsigned char *p) {
    const uintptr_t v = reinterpret_cast<uintptr_t>(p);
    return reinterpret_cast<unsigned char *>((v + kPayloadAlign - 1) & ~(kPayloadAlign - 1));
}

// Drops one reference of a single block and frees it when none is left.
// Called with block_mutex held.
void release_one(block_t *b) {
    if (OS_AtomicAdd(&b->use_count, -1) != 0)
        return;
    if (b->free_buff_flag)
        free(b->p_buffer);
    free(b);
}

// Removes the front block and keeps the byte total and the lock-free count in step.
// Called with the FIFO lock held and a non-empty queue.
block_t *pop_front(block_fifo_t *f) {
    block_t *b = f->p_bq->blocks.front();
    f->p_bq->blocks.pop_front();
    f->p_bq->count.store(static_cast<int>(f->p_bq->blocks.size()), std::memory_order_relaxed);
    OS_AtomicSet(&f->i_size, f->i_size - b->i_buffer); // read without the lock by block_FifoSize
    return b;
}

} // namespace

block_t *block_Alloc(int i_size) {
    if (i_size < 0)
        return nullptr;
    const size_t total = static_cast<size_t>(i_size) + kBlockOverhead;
    unsigned char *mem = static_cast<unsigned char *>(malloc(total));
    if (!mem)
        return nullptr;
    memset(mem, 0, sizeof(block_t));
    block_t *b = reinterpret_cast<block_t *>(mem);
    // The total size sits right behind the descriptor, ahead of the payload.
    const int allocated = static_cast<int>(total);
    memcpy(mem + sizeof(block_t), &allocated, sizeof(allocated));
    block_Init(b, align_up(mem + sizeof(block_t) + sizeof(int)), i_size);
    b->pf_release = BlockRelease;
    b->pf_use_inc = BlockUseInc;
    b->use_count = 1;
    b->alloc_size = static_cast<unsigned int>(i_size);
    return b;
}

void block_Init(block_t *b, void *buf, int size) {
    b->p_next = nullptr;
    b->i_flags = 0;
    b->i_pts = 0;
    b->i_dts = 0;
    b->i_length = 0;
    b->i_rate = 0;
    b->use_count = 0;
    b->p_buffer = static_cast<unsigned char *>(buf);
    b->i_buffer = size;
}

void block_Release(block_t *p_block) {
    if (p_block && p_block->pf_release)
        p_block->pf_release(p_block);
}

void BlockUseInc(block_t *p_block) {
    OS_AtomicAdd(&p_block->use_count, 1);
}

void BlockRelease(block_t *p_block) {
    pthread_mutex_lock(&block_mutex);
    while (p_block) {
        block_t *next = p_block->p_next; // read before the block may be freed
        release_one(p_block);
        p_block = next;
    }
    pthread_mutex_unlock(&block_mutex);
}

block_fifo_t *block_FifoNew(void) {
    block_fifo_t *f = static_cast<block_fifo_t *>(calloc(1, sizeof(block_fifo_t)));
    if (!f)
        return nullptr;
    f->m_sig = OS_AllocSignal();
    f->m_lock = OS_AllocSemaphore();
    f->p_bq = new (std::nothrow) block_queue_t;
    if (!f->m_sig || !f->m_lock || !f->p_bq) {
        OS_DeleteSignal(f->m_sig);
        OS_DeleteSemaphore(f->m_lock);
        delete f->p_bq;
        free(f);
        return nullptr;
    }
    return f;
}

void block_FifoRelease(block_fifo_t *p_fifo) {
    if (!p_fifo)
        return;
    OS_WaitSemaphore(p_fifo->m_lock);
    p_fifo->b_force_wake = 1;
    OS_SetSemaphore(p_fifo->m_lock);
    block_FifoEmpty(p_fifo);
    delete p_fifo->p_bq;
    OS_DeleteSemaphore(p_fifo->m_lock);
    OS_DeleteSignal(p_fifo->m_sig);
    free(p_fifo);
}

void block_FifoEmpty(block_fifo_t *p_fifo) {
    OS_WaitSemaphore(p_fifo->m_lock);
    while (!p_fifo->p_bq->blocks.empty())
        block_Release(pop_front(p_fifo));
    OS_SetSignal(p_fifo->m_sig);
    OS_SetSemaphore(p_fifo->m_lock);
}

int block_FifoPut(block_fifo_t *p_fifo, block_t *p_block) {
    int result = 0;
    OS_WaitSemaphore(p_fifo->m_lock);
    if (p_block) {
        p_fifo->p_bq->blocks.push_back(p_block);
        p_fifo->p_bq->count.store(static_cast<int>(p_fifo->p_bq->blocks.size()),
                                  std::memory_order_relaxed);
        result = p_fifo->i_size + p_block->i_buffer;
        OS_AtomicSet(&p_fifo->i_size, result);
    }
    OS_SetSignal(p_fifo->m_sig);
    OS_SetSemaphore(p_fifo->m_lock);
    return result;
}

int block_FifoDropOldest(block_fifo_t *p_fifo, int keep) {
    int dropped = 0;
    OS_WaitSemaphore(p_fifo->m_lock);
    while ((int)p_fifo->p_bq->blocks.size() > (keep > 0 ? keep : 0)) {
        block_Release(pop_front(p_fifo));
        dropped++;
    }
    OS_SetSemaphore(p_fifo->m_lock);
    return dropped;
}

int block_FifoFirstPts(block_fifo_t *p_fifo, uint64_t *pts) {
    int result = -1;
    OS_WaitSemaphore(p_fifo->m_lock);
    if (!p_fifo->p_bq->blocks.empty()) {
        *pts = p_fifo->p_bq->blocks.front()->i_pts;
        result = 0;
    }
    OS_SetSemaphore(p_fifo->m_lock);
    return result;
}

// Every return of the wait re-checks the queue: the signal counts wake-ups, so one may be
// left over from a put whose block another consumer already took.
block_t *block_FifoGet(block_fifo_t *p_fifo) {
    block_t *b = nullptr;
    OS_WaitSemaphore(p_fifo->m_lock);
    while (p_fifo->p_bq->blocks.empty() && !p_fifo->b_force_wake) {
        if (OS_WaitSignal(p_fifo->m_sig, p_fifo->m_lock, OS_WAIT_FOREVER) != 0)
            break;
    }
    // A wake releases one blocking get only; the next one waits again.
    p_fifo->b_force_wake = 0;
    if (!p_fifo->p_bq->blocks.empty())
        b = pop_front(p_fifo);
    OS_SetSemaphore(p_fifo->m_lock);
    return b;
}

// The wake request stays set here: after a shutdown wake every timed get on an empty FIFO
// returns at once, so consumers reach their run-flag test without delay.
block_t *block_FifoGetTimeout(block_fifo_t *p_fifo, int timeoutms) {
    block_t *b = nullptr;
    OS_WaitSemaphore(p_fifo->m_lock);
    while (p_fifo->p_bq->blocks.empty() && !p_fifo->b_force_wake) {
        if (OS_WaitSignal(p_fifo->m_sig, p_fifo->m_lock, static_cast<U32>(timeoutms)) != 0)
            break;
    }
    if (!p_fifo->p_bq->blocks.empty())
        b = pop_front(p_fifo);
    OS_SetSemaphore(p_fifo->m_lock);
    return b;
}

void block_FifoWake(block_fifo_t *p_fifo) {
    if (!p_fifo) {
        fprintf(stderr, "%s.%d \n\r", "block_FifoWake", 471);
        return;
    }
    OS_WaitSemaphore(p_fifo->m_lock);
    // Only an empty queue needs the request: a consumer of a non-empty one returns anyway.
    if (p_fifo->p_bq->blocks.empty())
        p_fifo->b_force_wake = 1;
    OS_SetSignal(p_fifo->m_sig);
    OS_SetSemaphore(p_fifo->m_lock);
}

int block_FifoCount(const block_fifo_t *p_fifo) {
    return p_fifo->p_bq->count.load(std::memory_order_relaxed);
}

int block_FifoSize(const block_fifo_t *p_fifo) {
    return OS_AtomicGet(&p_fifo->i_size);
}
