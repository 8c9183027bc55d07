// Rate analyser: the average bit rate of counted bytes over a window of periods (measured by its
// own task), or the mean interval between marked events over the last 40 events.
#pragma once

#include <stdint.h>

enum { ANALYZER_BPS = 0, ANALYZER_PRINT = 1, ANALYZER_EVENT_TIME = 2 };

typedef struct tx_analyzer tx_analyzer_t;

struct tx_analyzer {
    int mode;                        // bit mask: 1 = bit rate, 4 = event intervals
    int avr_size;                    // bit-rate averaging window, in periods
    int delay_ms;                    // bit-rate period
    unsigned int max_diff, min_diff; // interval limits in µs (kept, not applied)
    void *callback_param;
    void (*callback)(void *, int, double, double); // kept, not called
    void (*close)(tx_analyzer_t *);                // stops the task and frees the private state
    void (*send)(tx_analyzer_t *, int size);       // counts bytes
    void (*event)(tx_analyzer_t *);                // marks an event now
    void (*i_get_info)(tx_analyzer_t *, unsigned int *p_count, unsigned int *p_avr,
                       unsigned int *p_std);
    void (*f_get_info)(tx_analyzer_t *, unsigned int *p_count, double *p_avr, double *p_std);
    void *p_sys;
};

// Fills the operations of the caller's record and starts measuring (the bit-rate task when
// mode has bit value 1). The record stays the caller's; its close operation frees what this
// allocated. 0, or -1 when the private state cannot be allocated.
int tx_analyzer_open(tx_analyzer_t *setup);

// One bit-rate period ending at now_us; the next period starts at next_start_us. The task calls
// this every delay_ms; tests call it with chosen times.
void tx_analyzer_period(tx_analyzer_t *a, uint64_t now_us, uint64_t next_start_us);
// Marks an event at now_us (µs since 1970).
void tx_analyzer_event_at(tx_analyzer_t *a, uint64_t now_us);
