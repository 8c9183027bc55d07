// Tasks, locks, signals, clocks and sleeps: the thin OS layer used by the engine and the player.
#pragma once

#include <stdint.h>

typedef unsigned int U32;

// A started task; null when creation failed or when there is no task.
typedef struct OS_Task_s *OS_Task_t;
// A counting semaphore (ceiling 100) used either as a lock or as a signal.
typedef struct OS_Semaphore_s *OS_Semaphore_t;
// A task's entry; its parameter is the Param given at creation.
typedef void *(*OS_TaskFunc_t)(void *);

// Time-out value meaning "wait without limit".
#define OS_WAIT_FOREVER 0xFFFFFFFFu

// Creates and starts a task. StackSize is a hint: a task never gets less than the platform
// default. Priority 0 is normal, 1 above normal (best effort). TaskName is not used.
// Returns null when the task could not be created.
OS_Task_t OS_TaskCreate(U32 StackSize, const char *TaskName, OS_TaskFunc_t TaskFunc, int Priority,
                        void *Param);
// As OS_TaskCreate, but the task is detached at once: it cleans up after itself. Returns 0, or
// -1 when the task could not be started.
int OS_TaskCreate2(U32 StackSize, const char *TaskName, OS_TaskFunc_t TaskFunc, int Priority,
                   void *Param);
// Waits without limit until the task has ended, then frees the handle. A null handle is ignored.
// It does not stop the task: the owner clears the task's run flag first.
void OS_TaskDelete(OS_Task_t Task);
// Polls once per millisecond whether the task has ended: 0 as soon as it has, -1 after TimeOut
// polls (OS_WAIT_FOREVER waits without limit, 0 polls once) or for a null handle.
int OS_TaskWait(OS_Task_t Task, U32 TimeOut);
// The process is never made real-time here; returns non-zero (success) as the caller expects.
int OS_SetPriortyClass(int preiorty);

// A lock: count 1, ceiling 100. Wait acquires, set releases.
OS_Semaphore_t OS_AllocSemaphore(void);
// Waits without limit; 0 when acquired, -1 otherwise (null handle).
int OS_WaitSemaphore(OS_Semaphore_t Semaphore);
// Releases one count; -1 when the count would pass 100 or for a null handle, else 0.
int OS_SetSemaphore(OS_Semaphore_t Semaphore);
// -1 for a null handle, else frees it and returns 0.
int OS_DeleteSemaphore(OS_Semaphore_t Semaphore);

// A signal: count 0, ceiling 100. Set posts one wake-up, wait consumes one.
OS_Semaphore_t OS_AllocSignal(void);
// Posts one wake-up; always 0, also when the ceiling refuses the post.
int OS_SetSignal(OS_Semaphore_t Semaphore);
// Condition wait. The caller holds lock. Releases lock, waits on cond for Time ms
// (OS_WAIT_FOREVER = without limit), re-acquires lock. 0 when a wake-up was consumed, -1 on
// time-out or error. A null cond returns -1 at once, with the lock released.
int OS_WaitSignal(OS_Semaphore_t cond, OS_Semaphore_t lock, U32 Time);
// Frees the signal; 0.
int OS_DeleteSignal(OS_Semaphore_t Semaphore);

// Milliseconds since the process started (monotonic); wraps at 2^32.
unsigned int OS_GetKHClock(void);
// Microseconds since 1970-01-01 00:00 UTC.
uint64_t OS_GetMHClock(void);
// Sleeps ms milliseconds; 0 yields.
void OS_MSleep(unsigned int ms);
// Sleeps us microseconds (the kernel's timer slack, some tens of µs, comes on top); 0 yields.
void OS_SleepUs(unsigned int us);
// Sleeps micro / 1000 whole milliseconds (truncated toward zero); below 1000 it yields.
void OS_MicroSleep(int64_t micro);

// Fields that several tasks touch (run flags, request flags, counters) are plain integers in the
// engine's records; every cross-thread access goes through these two helpers.
template <typename T> inline T OS_AtomicGet(const T *p) {
    T r;
    __atomic_load(p, &r, __ATOMIC_ACQUIRE);
    return r;
}
template <typename T, typename V> inline void OS_AtomicSet(T *p, V v) {
    T t = static_cast<T>(v);
    __atomic_store(p, &t, __ATOMIC_RELEASE);
}
template <typename T, typename V> inline T OS_AtomicAdd(T *p, V v) {
    return __atomic_add_fetch(p, static_cast<T>(v), __ATOMIC_ACQ_REL);
}
