#include "quorvex_data.h"

#include <stdlib.h>
#include <string.h>

namespace {

constexpr int kWindowMs = 1000;

task_decode_t *data_slot(playhandle_t *p) {
    return &p->task_decode[DECODE_STREAM_DATA];
}

// Stores one unit as the latest under the data lock and updates the counters. A unit longer
// than the buffer keeps its first DATA_UNIT_MAX bytes.
void keep_unit(playhandle_t *p, const block_t *b, unsigned *byte_sum, unsigned *window_start) {
    int size = b->i_buffer < DATA_UNIT_MAX ? b->i_buffer : DATA_UNIT_MAX;
    OS_WaitSemaphore(p->data_sem);
    if (!p->p_data)
        p->p_data = static_cast<unsigned char *>(calloc(1, DATA_UNIT_MAX));
    if (p->p_data) {
        memcpy(p->p_data, b->p_buffer, (size_t)size);
        *byte_sum += (unsigned)b->i_buffer;
        quorvex_info_set(&p->cur_info.get_strm_info.d_bitrate, (int)*byte_sum);
        unsigned now = OS_GetKHClock();
        if (now - *window_start > (unsigned)kWindowMs) {
            *byte_sum = 0;
            *window_start = now;
        }
        quorvex_info_set(&p->cur_info.get_strm_info.d_codec, 0);
        quorvex_info_add(&p->cur_info.get_strm_info.d_packets, 1);
        p->data_size = size;
        p->pc_time_ms = OS_GetKHClock();
    }
    OS_SetSemaphore(p->data_sem);
}

} // namespace

void *data_task_decode(void *pParam) {
    playhandle_t *p = static_cast<playhandle_t *>(pParam);
    task_decode_t *slot = data_slot(p);
    unsigned byte_sum = 0, window_start = OS_GetKHClock();
    while (OS_AtomicGet(&slot->active_task_decode)) {
        block_t *b = slot->p_qdecode ? block_FifoGetTimeout(slot->p_qdecode, 100) : nullptr;
        if (!b)
            continue;
        keep_unit(p, b, &byte_sum, &window_start);
        block_Release(b);
    }
    // The lock lives with the handle, so a reader inside data_read_latest is never left
    // holding a freed lock; the unit itself goes with the task.
    OS_WaitSemaphore(p->data_sem);
    free(p->p_data);
    p->p_data = nullptr;
    p->data_size = 0;
    OS_SetSemaphore(p->data_sem);
    return nullptr;
}

int data_read_latest(playhandle_t *p, char *p_data, uint64_t *pc_time) {
    if (!p->data_sem)
        return 0;
    OS_WaitSemaphore(p->data_sem);
    int size = p->p_data ? p->data_size : 0;
    if (size > 0) {
        if (p_data)
            memcpy(p_data, p->p_data, (size_t)size);
        if (pc_time)
            *pc_time = p->pc_time_ms;
    }
    OS_SetSemaphore(p->data_sem);
    return size;
}
