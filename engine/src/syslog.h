// Channel-filtered engine log: entries are queued by any task and written by one background task
// to a file named from the local time at the first entry after each start.
#pragma once

#include <stdint.h>
#include <time.h>

enum {
    syslog_id_decode_info = 0,
    syslog_id_decode_error = 1,
    syslog_id_parser_info = 2,
    syslog_id_display_info = 3,
    syslog_id_rtp_inp_info = 4,
    syslog_id_rtp_pkt_missing = 5,
    syslog_id_rtp_worng_order = 6,
    syslog_id_fec_pkt_info = 7,
    syslog_id_fec_fixL = 8,
    syslog_id_fec_fixD = 9,
    syslog_id_fec_missing = 10,
    syslog_id_fec_worng_order = 11,
    syslog_id_fec_worng_fec = 12,
    syslog_id_log_count = 13,
};

// Size of one log entry block, its time prefix, and the longest text it holds.
#define SYSLOG_ENTRY_SIZE 1024
#define SYSLOG_PREFIX_SIZE 12
#define SYSLOG_MAX_TEXT (SYSLOG_ENTRY_SIZE - SYSLOG_PREFIX_SIZE - 1)

// Starts the log task when it is not running; 0.
int syslog_init(void);
// Stops the log task and waits until it has closed its file; 0.
int syslog_term(void);
void syslog_set_bits(unsigned int bits);
unsigned int syslog_get_bit(void);
// Set / clear one channel bit (id taken modulo 32); 0.
int syslog_enable(int id);
int syslog_disable(int id);
// Queues a formatted line on channel log_id when that channel is on and the task runs. A text
// longer than SYSLOG_MAX_TEXT is cut.
void syslog_message(int log_id, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The log file name for a local time: "DD-MM-YY_hh-mm-ss.log". buf holds at least 32 bytes.
void syslog_file_name(const struct tm *local, char *buf, int size);
// Replaces the wall clock used to name log files (tests); null restores time().
void syslog_set_time_source(time_t (*now)(time_t *));

// Writes "%s.%d " with the function and line, then the formatted text, to the debug output.
void qv_debug(const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
#define QV_DEBUG(...) qv_debug(__func__, __LINE__, __VA_ARGS__)
