// Tasks, semaphores, signals, clocks and sleeps.
#include "oslite.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

long long ElapsedUs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - since).count();
}

// Current count of a semaphore: releases up to the ceiling, then takes the same number back.
int CountOf(OS_Semaphore_t s) {
    int added = 0;
    while (added <= 100 && OS_SetSemaphore(s) == 0)
        added++;
    for (int i = 0; i < added; i++)
        OS_WaitSemaphore(s);
    return 100 - added;
}

// A lock and a signal, released at the end of each test.
class SignalTest : public ::testing::Test {
  protected:
    void TearDown() override {
        OS_DeleteSignal(sig);
        OS_DeleteSemaphore(lock);
    }
    OS_Semaphore_t sig = OS_AllocSignal();
    OS_Semaphore_t lock = OS_AllocSemaphore();
};

TEST_F(SignalTest, PendingWakeUpIsConsumedByTheNextWait) {
    ASSERT_EQ(OS_SetSignal(sig), 0);
    OS_WaitSemaphore(lock);
    EXPECT_EQ(OS_WaitSignal(sig, lock, 100), 0);
    // The one wake-up is gone: the next wait times out.
    EXPECT_EQ(OS_WaitSignal(sig, lock, 20), -1);
    EXPECT_EQ(CountOf(lock), 0) << "the lock is held again after each wait";
    OS_SetSemaphore(lock);
}

TEST_F(SignalTest, PostsBeyondTheCeilingAreDroppedSilently) {
    for (int i = 0; i < 101; i++)
        ASSERT_EQ(OS_SetSignal(sig), 0) << "post " << i + 1;
    OS_WaitSemaphore(lock);
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(OS_WaitSignal(sig, lock, 0), 0) << "wait " << i + 1;
    EXPECT_EQ(OS_WaitSignal(sig, lock, 0), -1) << "the 101st post must not have counted";
    OS_SetSemaphore(lock);
}

TEST_F(SignalTest, TimedOutWaitReacquiresTheLock) {
    OS_WaitSemaphore(lock);
    const auto t0 = Clock::now();
    EXPECT_EQ(OS_WaitSignal(sig, lock, 50), -1);
    EXPECT_GE(ElapsedUs(t0), 49000);
    EXPECT_EQ(CountOf(lock), 0);
    OS_SetSemaphore(lock);
}

TEST_F(SignalTest, NullSignalReturnsWithTheLockReleased) {
    OS_WaitSemaphore(lock);
    EXPECT_EQ(OS_WaitSignal(nullptr, lock, 100), -1);
    EXPECT_EQ(CountOf(lock), 1);
}

TEST_F(SignalTest, LockReleaseFailsAboveTheCeiling) {
    for (int i = 0; i < 99; i++)
        ASSERT_EQ(OS_SetSemaphore(lock), 0);
    EXPECT_EQ(OS_SetSemaphore(lock), -1);
}

TEST(OsSemaphore, NullHandles) {
    EXPECT_EQ(OS_WaitSemaphore(nullptr), -1);
    EXPECT_EQ(OS_SetSemaphore(nullptr), -1);
    EXPECT_EQ(OS_DeleteSemaphore(nullptr), -1);
    EXPECT_EQ(OS_SetSignal(nullptr), 0);
    EXPECT_EQ(OS_DeleteSignal(nullptr), 0);
}

struct WaiterArgs {
    OS_Semaphore_t sig;
    OS_Semaphore_t lock;
    int result = 1;
};

void *WaitForSignal(void *p) {
    WaiterArgs *a = static_cast<WaiterArgs *>(p);
    OS_WaitSemaphore(a->lock);
    a->result = OS_WaitSignal(a->sig, a->lock, OS_WAIT_FOREVER);
    OS_SetSemaphore(a->lock);
    return nullptr;
}

TEST_F(SignalTest, PostWakesATaskWaitingWithoutLimit) {
    WaiterArgs args{sig, lock};
    OS_Task_t t = OS_TaskCreate(4096, "waiter", WaitForSignal, 0, &args);
    ASSERT_NE(t, nullptr);
    OS_SetSignal(sig);
    EXPECT_EQ(OS_TaskWait(t, 10000), 0);
    OS_TaskDelete(t);
    EXPECT_EQ(args.result, 0);
}

// Blocks on the gate semaphore given as parameter, then ends.
void *WaitAtGate(void *gate) {
    OS_WaitSemaphore(static_cast<OS_Semaphore_t>(gate));
    return nullptr;
}

TEST(OsTask, WaitTimesOutWhileRunningAndSucceedsOnceEnded) {
    OS_Semaphore_t gate = OS_AllocSignal();
    OS_Task_t t = OS_TaskCreate(4096, "gate", WaitAtGate, 0, gate);
    ASSERT_NE(t, nullptr);

    const auto t0 = Clock::now();
    EXPECT_EQ(OS_TaskWait(t, 5), -1);
    EXPECT_GE(ElapsedUs(t0), 4000) << "five polls one millisecond apart";
    EXPECT_EQ(OS_TaskWait(t, 0), -1);

    OS_SetSignal(gate);
    EXPECT_EQ(OS_TaskWait(t, 10000), 0);
    EXPECT_EQ(OS_TaskWait(t, 0), 0);
    OS_TaskDelete(t);
    OS_DeleteSignal(gate);

    EXPECT_EQ(OS_TaskWait(nullptr, 0), -1);
    OS_TaskDelete(nullptr);
}

struct StackProbe {
    size_t stack_size = 0;
    void *param_seen = nullptr;
};

void *MeasureStack(void *p) {
    StackProbe *probe = static_cast<StackProbe *>(p);
    probe->param_seen = p;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &probe->stack_size);
        pthread_attr_destroy(&attr);
    }
    return nullptr;
}

// Callers ask for 4096 bytes, far below what media libraries need: the request is a hint.
TEST(OsTask, SmallStackRequestGetsAtLeastTheDefaultStack) {
    pthread_attr_t attr;
    size_t default_size = 0;
    pthread_attr_init(&attr);
    pthread_attr_getstacksize(&attr, &default_size);
    pthread_attr_destroy(&attr);

    StackProbe probe;
    OS_Task_t t = OS_TaskCreate(4096, "stack", MeasureStack, 1, &probe);
    ASSERT_NE(t, nullptr);
    OS_TaskDelete(t);
    EXPECT_EQ(probe.param_seen, &probe);
    EXPECT_GE(probe.stack_size, default_size);
}

std::atomic<int> g_detached_ran{0};

void *MarkDetachedRan(void *) {
    g_detached_ran.store(1);
    return nullptr;
}

TEST(OsTask, DetachedTaskRuns) {
    EXPECT_EQ(OS_TaskCreate2(4096, "detached", MarkDetachedRan, 0, nullptr), 0);
    for (int i = 0; i < 10000 && !g_detached_ran.load(); i++)
        OS_MSleep(1);
    EXPECT_EQ(g_detached_ran.load(), 1);
}

TEST(OsTask, ProcessPriorityClassReportsSuccess) {
    EXPECT_NE(OS_SetPriortyClass(0x100), 0);
}

TEST(OsClock, MHClockIsRealtimeInMicroseconds) {
    auto realtime_us = [] {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
    };
    const uint64_t before = realtime_us();
    const uint64_t value = OS_GetMHClock();
    const uint64_t after = realtime_us();
    EXPECT_LE(before, value);
    EXPECT_LE(value, after);
}

// Wall time since process start, not CPU time: it advances across a sleep and starts near 0.
TEST(OsClock, KHClockCountsMillisecondsSinceProcessStart) {
    const unsigned int k0 = OS_GetKHClock();
    EXPECT_LT(k0, 600000u);
    OS_MSleep(50);
    const unsigned int k1 = OS_GetKHClock();
    EXPECT_GE(k1 - k0, 50u);
    EXPECT_LT(k1 - k0, 10000u);
}

// The shortest of several runs: a sleep never ends early, and a yield is short in at least one.
long long ShortestMicroSleepUs(int64_t micro) {
    long long best = -1;
    for (int i = 0; i < 10; i++) {
        const auto t0 = Clock::now();
        OS_MicroSleep(micro);
        const long long us = ElapsedUs(t0);
        best = (best < 0) ? us : std::min(best, us);
    }
    return best;
}

TEST(OsSleep, MicroSleepTruncatesToWholeMilliseconds) {
    struct Case {
        int64_t micro;
        long long at_least_us;
        long long below_us;
    };
    const Case cases[] = {
        {0, 0, 1000},
        {999, 0, 1000},     // 0 ms: a yield
        {2500, 2000, 3000}, // 2 ms, not 3
        {-2500, 0, 1000},   // a time already past: no sleep
    };
    for (const Case &c : cases) {
        const long long us = ShortestMicroSleepUs(c.micro);
        EXPECT_GE(us, c.at_least_us) << "micro " << c.micro;
        EXPECT_LT(us, c.below_us) << "micro " << c.micro;
    }
}

} // namespace
