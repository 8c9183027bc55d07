// The metadata channel: the data decode task keeps the latest data unit of a live stream with
// its arrival time, and counts units and bytes for the information record.
#pragma once

#include "quorvex.h"

#define DATA_UNIT_MAX 10240

// Task entry; started by the receive task with the data slot's FIFO and run flag set.
void *data_task_decode(void *pParam);
// Copies the latest unit (at most DATA_UNIT_MAX bytes) and its arrival time; its size, or 0
// while there is none (nothing is written then).
int data_read_latest(playhandle_t *p, char *p_data, uint64_t *pc_time);
