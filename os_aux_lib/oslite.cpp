// Tasks, counting semaphores, clocks and sleeps on POSIX threads.
#include "oslite.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>

namespace {

// Ceiling of every semaphore: a release beyond it fails, as the original semaphores did.
constexpr int kSemaphoreMax = 100;

uint64_t monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Absolute CLOCK_MONOTONIC deadline ms milliseconds from now, for pthread_cond_timedwait.
struct timespec deadline_after(U32 ms) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

// The first call pins the start; the initialiser below makes that happen while the process
// loads, so the clock counts from process start even for callers that come later.
uint64_t process_start_ms() {
    static const uint64_t start = monotonic_ms();
    return start;
}
[[maybe_unused]] const uint64_t g_start_pin = process_start_ms();

} // namespace

// A counting semaphore: the count is guarded by mu; waiters sleep on cv, which runs on the
// monotonic clock so that wall-clock steps do not stretch or cut time-outs.
struct OS_Semaphore_s {
    pthread_mutex_t mu;
    pthread_cond_t cv;
    int count; // guarded by mu
};

// The wrapper around a started thread. The thread sets `finished` when the entry returns;
// OS_TaskWait polls it from other threads.
struct OS_Task_s {
    pthread_t thread;
    OS_TaskFunc_t func;
    void *param;
    int priority;
    bool detached; // set before the thread starts, read only by the thread afterwards
    std::atomic<int> finished;
};

namespace {

OS_Semaphore_t semaphore_new(int initial) {
    OS_Semaphore_t s = new (std::nothrow) OS_Semaphore_s;
    if (!s)
        return nullptr;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int err = pthread_cond_init(&s->cv, &attr);
    pthread_condattr_destroy(&attr);
    if (err != 0) {
        delete s;
        return nullptr;
    }
    pthread_mutex_init(&s->mu, nullptr);
    s->count = initial;
    return s;
}

void semaphore_free(OS_Semaphore_t s) {
    pthread_cond_destroy(&s->cv);
    pthread_mutex_destroy(&s->mu);
    delete s;
}

// Takes one count, waiting at most ms milliseconds (OS_WAIT_FOREVER: without limit).
// 0 when a count was taken, -1 on time-out.
int semaphore_take(OS_Semaphore_t s, U32 ms) {
    const bool forever = (ms == OS_WAIT_FOREVER);
    const struct timespec deadline = forever ? timespec{} : deadline_after(ms);
    pthread_mutex_lock(&s->mu);
    int err = 0;
    while (s->count == 0 && err != ETIMEDOUT) {
        if (forever)
            pthread_cond_wait(&s->cv, &s->mu);
        else
            err = pthread_cond_timedwait(&s->cv, &s->mu, &deadline);
    }
    const int result = (s->count > 0) ? 0 : -1;
    if (result == 0)
        s->count--;
    pthread_mutex_unlock(&s->mu);
    return result;
}

// Adds one count unless that would pass the ceiling. 0 on success, -1 when refused.
int semaphore_give(OS_Semaphore_t s) {
    pthread_mutex_lock(&s->mu);
    int result = -1;
    if (s->count < kSemaphoreMax) {
        s->count++;
        result = 0;
        pthread_cond_signal(&s->cv);
    }
    pthread_mutex_unlock(&s->mu);
    return result;
}

// Linux applies a nice value to a single thread when given its thread id. Priority 1 ("above
// normal") becomes nice -1; without the privilege the call fails and the task runs at normal.
void apply_priority(int priority) {
    if (priority == 0)
        return;
    int nice_value = -priority;
    if (nice_value < -2)
        nice_value = -2;
    if (nice_value > 2)
        nice_value = 2;
    pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice_value);
}

void *task_main(void *arg) {
    OS_Task_t task = static_cast<OS_Task_t>(arg);
    apply_priority(task->priority);
    task->func(task->param);
    if (task->detached) {
        // Nobody holds the handle of a detached task: it frees its own wrapper.
        delete task;
        return nullptr;
    }
    task->finished.store(1, std::memory_order_release);
    return nullptr;
}

// The system's default stack size: a task never gets less, whatever its caller asked for.
size_t default_stack_size() {
    pthread_attr_t attr;
    size_t size = 0;
    pthread_attr_init(&attr);
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
    return size;
}

// Starts a task; *started tells whether the thread runs (a detached task returns no handle).
OS_Task_t task_start(U32 StackSize, OS_TaskFunc_t TaskFunc, int Priority, void *Param,
                     bool detached, bool *started) {
    *started = false;
    if (!TaskFunc)
        return nullptr;
    OS_Task_t task = new (std::nothrow) OS_Task_s;
    if (!task)
        return nullptr;
    task->func = TaskFunc;
    task->param = Param;
    task->priority = Priority;
    task->detached = detached;
    task->finished.store(0, std::memory_order_relaxed);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    size_t stack = default_stack_size();
    if (StackSize > stack)
        stack = StackSize;
    pthread_attr_setstacksize(&attr, stack);
    if (detached)
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int err = pthread_create(&thread, &attr, task_main, task);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        delete task;
        return nullptr;
    }
    *started = true;
    if (detached)
        return nullptr; // the wrapper may already be gone
    task->thread = thread;
    return task;
}

} // namespace

OS_Task_t OS_TaskCreate(U32 StackSize, const char *TaskName, OS_TaskFunc_t TaskFunc, int Priority,
                        void *Param) {
    (void)TaskName;
    bool started;
    return task_start(StackSize, TaskFunc, Priority, Param, false, &started);
}

int OS_TaskCreate2(U32 StackSize, const char *TaskName, OS_TaskFunc_t TaskFunc, int Priority,
                   void *Param) {
    (void)TaskName;
    bool started;
    task_start(StackSize, TaskFunc, Priority, Param, true, &started);
    // A task that could not be started is reported: its owner would otherwise wait for it.
    return started ? 0 : -1;
}

void OS_TaskDelete(OS_Task_t Task) {
    if (!Task)
        return;
    OS_TaskWait(Task, OS_WAIT_FOREVER);
    pthread_join(Task->thread, nullptr);
    delete Task;
}

int OS_TaskWait(OS_Task_t Task, U32 TimeOut) {
    if (!Task)
        return -1;
    U32 remaining = TimeOut;
    for (;;) {
        if (Task->finished.load(std::memory_order_acquire))
            return 0;
        if (TimeOut != OS_WAIT_FOREVER) {
            if (remaining <= 1)
                return -1;
            remaining--;
        }
        OS_MSleep(1);
    }
}

int OS_SetPriortyClass(int preiorty) {
    // A real-time process class would starve the rest of the machine; callers only need success.
    (void)preiorty;
    return 1;
}

OS_Semaphore_t OS_AllocSemaphore(void) {
    return semaphore_new(1);
}

int OS_WaitSemaphore(OS_Semaphore_t Semaphore) {
    if (!Semaphore)
        return -1;
    return semaphore_take(Semaphore, OS_WAIT_FOREVER);
}

int OS_SetSemaphore(OS_Semaphore_t Semaphore) {
    if (!Semaphore)
        return -1;
    return semaphore_give(Semaphore);
}

int OS_DeleteSemaphore(OS_Semaphore_t Semaphore) {
    if (!Semaphore)
        return -1;
    semaphore_free(Semaphore);
    return 0;
}

OS_Semaphore_t OS_AllocSignal(void) {
    return semaphore_new(0);
}

int OS_SetSignal(OS_Semaphore_t Semaphore) {
    // A post refused at the ceiling is dropped: waiters already have wake-ups pending.
    if (Semaphore)
        (void)semaphore_give(Semaphore);
    return 0;
}

int OS_WaitSignal(OS_Semaphore_t cond, OS_Semaphore_t lock, U32 Time) {
    OS_SetSemaphore(lock);
    if (!cond)
        return -1;
    const int result = semaphore_take(cond, Time);
    OS_WaitSemaphore(lock);
    return result;
}

int OS_DeleteSignal(OS_Semaphore_t Semaphore) {
    if (Semaphore)
        semaphore_free(Semaphore);
    return 0;
}

unsigned int OS_GetKHClock(void) {
    return static_cast<unsigned int>(monotonic_ms() - process_start_ms());
}

uint64_t OS_GetMHClock(void) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void OS_MSleep(unsigned int ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    struct timespec req;
    req.tv_sec = ms / 1000;
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    struct timespec rem;
    // A signal handler may cut the sleep short; sleep the rest.
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

void OS_SleepUs(unsigned int us) {
    if (us == 0) {
        sched_yield();
        return;
    }
    struct timespec req;
    req.tv_sec = us / 1000000;
    req.tv_nsec = static_cast<long>(us % 1000000) * 1000L;
    struct timespec rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

void OS_MicroSleep(int64_t micro) {
    // Whole milliseconds, truncated; a negative time is treated as no time at all.
    const int64_t ms = micro / 1000;
    OS_MSleep(ms > 0 ? static_cast<unsigned int>(ms) : 0u);
}
