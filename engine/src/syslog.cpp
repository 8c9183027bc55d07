#include "syslog.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <mutex>

#include "block.h"
#include "oslite.h"

namespace {

unsigned int g_log_bits; // channel mask; written by the caller, read by every task
block_fifo_t *g_q;       // the log FIFO; null while the task is stopped (guarded by g_q_mutex)
int g_task_active;       // run flag of the log task
int g_task_status;       // 1 while the log task has not finished
std::mutex g_q_mutex;    // keeps a producer from putting into a FIFO the task is releasing
time_t (*g_now)(time_t *) = time;

// Creates the log file named from the current local time; null when it cannot be created.
FILE *open_log_file() {
    time_t t = OS_AtomicGet(&g_now)(nullptr);
    struct tm local;
    localtime_r(&t, &local);
    char name[64];
    syslog_file_name(&local, name, sizeof(name));
    return fopen(name, "w");
}

// Fills the 12-byte prefix with the entry's relative time as eight digits and blanks.
void stamp_prefix(block_t *b, uint64_t base) {
    char digits[SYSLOG_PREFIX_SIZE + 1];
    snprintf(digits, sizeof(digits), "%08d", (int)(b->i_pts - base));
    memcpy(b->p_buffer, digits, strlen(digits));
    for (int i = SYSLOG_PREFIX_SIZE - 1; i >= 0 && b->p_buffer[i] == 0; i--)
        b->p_buffer[i] = ' ';
}

void write_entry(FILE *f, block_t *b) {
    const char *line = (const char *)b->p_buffer;
    int n = b->i_buffer;
    fprintf(stderr, "[%.*s]\n", n, line);
    fwrite(line, 1, (size_t)n, f);
    if (n >= 2 && (unsigned char)line[n - 1] > 0x20 && (unsigned char)line[n - 2] > 0x20)
        fputc('\n', f);
    fflush(f);
}

// Writes one entry, creating the file at the first entry after a start; releases the entry.
void log_entry(block_t *b, FILE **f, uint64_t *base) {
    if (!*f) {
        *f = open_log_file();
        *base = b->i_pts;
    }
    if (*f) {
        stamp_prefix(b, *base);
        write_entry(*f, b);
    }
    block_Release(b);
}

void *syslog_task(void *) {
    FILE *f = nullptr;
    uint64_t base = 0;
    block_fifo_t *q;
    {
        std::lock_guard<std::mutex> lock(g_q_mutex);
        q = g_q;
    }
    while (OS_AtomicGet(&g_task_active)) {
        block_t *b = block_FifoGetTimeout(q, 100);
        if (b)
            log_entry(b, &f, &base);
    }
    {
        std::lock_guard<std::mutex> lock(g_q_mutex);
        g_q = nullptr;
    }
    // Lines queued before the stop are still written, not dropped with the FIFO.
    while (block_t *b = block_FifoGetTimeout(q, 0))
        log_entry(b, &f, &base);
    if (f)
        fclose(f);
    block_FifoRelease(q);
    OS_AtomicSet(&g_task_status, 0);
    return nullptr;
}

} // namespace

void syslog_file_name(const struct tm *t, char *buf, int size) {
    snprintf(buf, (size_t)size, "%02d-%02d-%02d_%02d-%02d-%02d.log", t->tm_mday, t->tm_mon + 1,
             (t->tm_year + 1900 - 2000) % 100, t->tm_hour, t->tm_min, t->tm_sec);
}

void syslog_set_time_source(time_t (*now)(time_t *)) {
    OS_AtomicSet(&g_now, now ? now : time);
}

int syslog_init(void) {
    std::lock_guard<std::mutex> lock(g_q_mutex);
    if (g_q)
        return 0;
    block_fifo_t *q = block_FifoNew();
    if (!q)
        return 0;
    OS_AtomicSet(&g_task_status, 1);
    OS_AtomicSet(&g_task_active, 1);
    g_q = q;
    if (OS_TaskCreate2(4096, "syslog", syslog_task, 1, nullptr) != 0) {
        g_q = nullptr;
        OS_AtomicSet(&g_task_status, 0);
        block_FifoRelease(q);
    }
    return 0;
}

int syslog_term(void) {
    {
        std::lock_guard<std::mutex> lock(g_q_mutex);
        if (!g_q)
            return 0;
    }
    OS_AtomicSet(&g_task_active, 0);
    while (OS_AtomicGet(&g_task_status))
        OS_MSleep(10);
    return 0;
}

void syslog_set_bits(unsigned int bits) {
    OS_AtomicSet(&g_log_bits, bits);
}

unsigned int syslog_get_bit(void) {
    return OS_AtomicGet(&g_log_bits);
}

int syslog_enable(int id) {
    __atomic_fetch_or(&g_log_bits, 1u << ((unsigned)id % 32), __ATOMIC_ACQ_REL);
    return 0;
}

int syslog_disable(int id) {
    __atomic_fetch_and(&g_log_bits, ~(1u << ((unsigned)id % 32)), __ATOMIC_ACQ_REL);
    return 0;
}

void syslog_message(int log_id, const char *fmt, ...) {
    if (!(OS_AtomicGet(&g_log_bits) & (1u << ((unsigned)log_id % 32))))
        return;
    std::lock_guard<std::mutex> lock(g_q_mutex);
    if (!g_q)
        return;
    block_t *b = block_Alloc(SYSLOG_ENTRY_SIZE);
    if (!b)
        return;
    b->i_pts = OS_GetKHClock();
    memset(b->p_buffer, 0, SYSLOG_PREFIX_SIZE);
    va_list ap;
    va_start(ap, fmt);
    // vsnprintf cuts a long text at SYSLOG_MAX_TEXT characters and never writes past the entry.
    int n = vsnprintf((char *)b->p_buffer + SYSLOG_PREFIX_SIZE, SYSLOG_MAX_TEXT + 1, fmt, ap);
    va_end(ap);
    if (n < 0)
        n = 0;
    if (n > SYSLOG_MAX_TEXT)
        n = SYSLOG_MAX_TEXT;
    b->i_buffer = SYSLOG_PREFIX_SIZE + n;
    block_FifoPut(g_q, b);
}

void qv_debug(const char *func, int line, const char *fmt, ...) {
    char text[1024];
    int off = snprintf(text, sizeof(text), "%s.%d ", func, line);
    if (off < 0 || off >= (int)sizeof(text))
        off = 0;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text + off, sizeof(text) - (size_t)off, fmt, ap);
    va_end(ap);
    fprintf(stderr, "%s\n", text);
}
