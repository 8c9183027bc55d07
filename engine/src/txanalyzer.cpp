#include "txanalyzer.h"

#include <stdlib.h>
#include <string.h>

#include "oslite.h"

namespace {

constexpr int kEventRingSize = 40;

struct tx_analyzer_imp_t {
    int mode;
    int avr_size;
    int delay_ms;
    unsigned int max_diff, min_diff;
    OS_Task_t hTask;
    int active_task;  // run flag of the bit-rate task
    uint64_t g_txsum; // bytes of the current period (senders add atomically), or interval sum
    uint64_t last_event;
    void *callback_param;
    void (*callback)(void *, int, double, double);
    unsigned int i_cur_avr, i_cur_std; // read by other threads
    double f_cur_avr, f_cur_std;       // read by other threads
    uint64_t *eventar;                 // interval ring, written by the event caller only
    int eventar_count, eventar_index, eventar_size;
    // Bit-rate window, owned by the bit-rate task.
    uint64_t *avr_ring;
    uint64_t avr_sum;
    int avr_count, avr_index;
    uint64_t t0;
};

tx_analyzer_imp_t *imp_of(tx_analyzer_t *a) {
    return static_cast<tx_analyzer_imp_t *>(a->p_sys);
}

void publish(tx_analyzer_imp_t *p, unsigned int i_avr, double f_avr) {
    OS_AtomicSet(&p->i_cur_avr, i_avr);
    OS_AtomicSet(&p->f_cur_avr, f_avr);
}

void *bitrate_task(void *param) {
    tx_analyzer_t *a = static_cast<tx_analyzer_t *>(param);
    tx_analyzer_imp_t *p = imp_of(a);
    p->t0 = OS_GetMHClock();
    while (OS_AtomicGet(&p->active_task)) {
        OS_MSleep((unsigned)p->delay_ms);
        uint64_t t = OS_GetMHClock();
        tx_analyzer_period(a, t, OS_GetMHClock());
    }
    return nullptr;
}

void op_send(tx_analyzer_t *a, int size) {
    if (size > 0)
        OS_AtomicAdd(&imp_of(a)->g_txsum, (uint64_t)size);
}

void op_event(tx_analyzer_t *a) {
    tx_analyzer_event_at(a, OS_GetMHClock());
}

void op_i_get_info(tx_analyzer_t *a, unsigned int *p_count, unsigned int *p_avr,
                   unsigned int *p_std) {
    tx_analyzer_imp_t *p = imp_of(a);
    if (p_count)
        *p_count = (unsigned)p->avr_size;
    if (p_avr)
        *p_avr = OS_AtomicGet(&p->i_cur_avr);
    if (p_std)
        *p_std = OS_AtomicGet(&p->i_cur_std);
}

void op_f_get_info(tx_analyzer_t *a, unsigned int *p_count, double *p_avr, double *p_std) {
    tx_analyzer_imp_t *p = imp_of(a);
    if (p_count)
        *p_count = (unsigned)p->avr_size;
    if (p_avr)
        *p_avr = OS_AtomicGet(&p->f_cur_avr);
    if (p_std)
        *p_std = OS_AtomicGet(&p->f_cur_std);
}

void op_close(tx_analyzer_t *a) {
    tx_analyzer_imp_t *p = imp_of(a);
    if (!p)
        return;
    OS_AtomicSet(&p->active_task, 0);
    OS_TaskDelete(p->hTask);
    free(p->eventar);
    free(p->avr_ring);
    free(p);
    a->p_sys = nullptr;
}

} // namespace

int tx_analyzer_open(tx_analyzer_t *setup) {
    tx_analyzer_imp_t *p = static_cast<tx_analyzer_imp_t *>(calloc(1, sizeof(tx_analyzer_imp_t)));
    if (!p)
        return -1;
    p->mode = setup->mode;
    p->avr_size = setup->avr_size > 0 ? setup->avr_size : 1;
    p->delay_ms = setup->delay_ms > 0 ? setup->delay_ms : 1;
    p->max_diff = setup->max_diff;
    p->min_diff = setup->min_diff;
    p->callback_param = setup->callback_param;
    p->callback = setup->callback;
    p->eventar_size = kEventRingSize;
    p->eventar = static_cast<uint64_t *>(calloc(kEventRingSize + 1, sizeof(uint64_t)));
    p->avr_ring = static_cast<uint64_t *>(calloc((size_t)p->avr_size + 16, sizeof(uint64_t)));
    if (!p->eventar || !p->avr_ring) {
        free(p->eventar);
        free(p->avr_ring);
        free(p);
        return -1;
    }
    setup->p_sys = p;
    setup->close = op_close;
    setup->send = op_send;
    setup->event = op_event;
    setup->i_get_info = op_i_get_info;
    setup->f_get_info = op_f_get_info;
    if (p->mode & (1 << ANALYZER_BPS)) {
        OS_AtomicSet(&p->active_task, 1);
        p->hTask = OS_TaskCreate(4096, "tx_analyzer", bitrate_task, 1, setup);
    }
    return 0;
}

void tx_analyzer_period(tx_analyzer_t *a, uint64_t now_us, uint64_t next_start_us) {
    tx_analyzer_imp_t *p = imp_of(a);
    if (p->t0 == 0) { // the first call only starts the first period
        p->t0 = next_start_us;
        return;
    }
    uint64_t bytes = __atomic_exchange_n(&p->g_txsum, 0, __ATOMIC_ACQ_REL);
    if (now_us > p->t0) {
        uint64_t rate = bytes * 8000 / (now_us - p->t0); // kbit/s
        p->avr_index = (p->avr_index + 1) % p->avr_size;
        p->avr_sum -= p->avr_ring[p->avr_index];
        p->avr_ring[p->avr_index] = rate;
        p->avr_sum += rate;
        if (p->avr_count < p->avr_size)
            p->avr_count++;
        publish(p, (unsigned)(p->avr_sum / (uint64_t)p->avr_count),
                (double)p->avr_sum / p->avr_count);
    }
    p->t0 = next_start_us;
}

void tx_analyzer_event_at(tx_analyzer_t *a, uint64_t now_us) {
    tx_analyzer_imp_t *p = imp_of(a);
    uint64_t previous = p->last_event;
    p->last_event = now_us;
    if (previous == 0)
        return;
    uint64_t interval = (uint32_t)(now_us - previous);
    p->g_txsum -= p->eventar[p->eventar_index];
    p->g_txsum += interval;
    p->eventar[p->eventar_index] = interval;
    p->eventar_index = (p->eventar_index + 1) % p->eventar_size;
    if (p->eventar_count < p->eventar_size)
        p->eventar_count++;
    uint64_t count = (uint64_t)p->eventar_count;
    publish(p, (unsigned)((p->g_txsum + (count + 1) / 2) / count), (double)p->g_txsum / count);
}
