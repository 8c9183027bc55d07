// Block FIFOs: ordering, timed and blocking gets, wake-ups, shared blocks, many threads.
#include "block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

block_t *BlockOf(int size) {
    block_t *b = block_Alloc(size);
    if (b)
        b->i_buffer = size;
    return b;
}

// Records the reference count each release finds, so a test sees which release frees the block
// (the one that finds 1) without touching freed memory.
std::mutex g_release_mutex;
std::vector<int> g_release_counts;

void TrackedRelease(block_t *b) {
    std::lock_guard<std::mutex> guard(g_release_mutex);
    g_release_counts.push_back(b->use_count);
    BlockRelease(b);
}

std::vector<int> ReleaseCounts() {
    std::lock_guard<std::mutex> guard(g_release_mutex);
    std::vector<int> counts = g_release_counts;
    std::sort(counts.begin(), counts.end());
    return counts;
}

// A consumer task running one get: timeout_ms < 0 means the blocking get.
struct Getter {
    block_fifo_t *fifo;
    int timeout_ms;
    block_t *got = nullptr;
    long long elapsed_ms = -1;
    OS_Task_t task = nullptr;
};

void *RunGet(void *p) {
    Getter *g = static_cast<Getter *>(p);
    const auto t0 = Clock::now();
    g->got =
        g->timeout_ms < 0 ? block_FifoGet(g->fifo) : block_FifoGetTimeout(g->fifo, g->timeout_ms);
    g->elapsed_ms = ElapsedMs(t0);
    return nullptr;
}

void StartGet(Getter *g) {
    g->task = OS_TaskCreate(4096, "get", RunGet, 0, g);
}

// Joins a getter; if it is still blocked, a block is put to release it so the test never hangs.
// Returns whether it had ended within the bound.
bool FinishGet(Getter *g, U32 bound_ms) {
    const bool ended = OS_TaskWait(g->task, bound_ms) == 0;
    if (!ended)
        block_FifoPut(g->fifo, BlockOf(0));
    OS_TaskDelete(g->task);
    g->task = nullptr;
    return ended;
}

class FifoTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(fifo, nullptr); }
    void TearDown() override { block_FifoRelease(fifo); }
    block_fifo_t *fifo = block_FifoNew();
};

TEST_F(FifoTest, KeepsOrderCountAndByteTotal) {
    block_t *a = BlockOf(10);
    block_t *b = BlockOf(20);
    EXPECT_EQ(block_FifoPut(fifo, a), 10);
    EXPECT_EQ(block_FifoPut(fifo, b), 30);
    EXPECT_EQ(block_FifoPut(fifo, nullptr), 0);
    EXPECT_EQ(block_FifoCount(fifo), 2);

    block_t *first = block_FifoGetTimeout(fifo, 1000);
    EXPECT_EQ(first, a);
    EXPECT_EQ(fifo->i_size, 20);
    block_t *second = block_FifoGet(fifo);
    EXPECT_EQ(second, b);
    EXPECT_EQ(fifo->i_size, 0);
    EXPECT_EQ(block_FifoCount(fifo), 0);
    block_Release(first);
    block_Release(second);
}

TEST_F(FifoTest, TimedGetOnEmptyFifoTimesOut) {
    const auto t0 = Clock::now();
    EXPECT_EQ(block_FifoGetTimeout(fifo, 100), nullptr);
    EXPECT_GE(ElapsedMs(t0), 99);
}

TEST_F(FifoTest, TimedGetReturnsABlockPutDuringTheWait) {
    Getter g{fifo, 20000};
    StartGet(&g);
    ASSERT_NE(g.task, nullptr);
    // Only makes it likely that the consumer is already waiting; the result is the same if not.
    OS_MSleep(20);
    block_t *b = BlockOf(4);
    block_FifoPut(fifo, b);
    ASSERT_TRUE(FinishGet(&g, 10000));
    EXPECT_EQ(g.got, b);
    EXPECT_LT(g.elapsed_ms, 10000);
    block_Release(g.got);
}

TEST_F(FifoTest, WakeOnEmptyFifoMakesEveryTimedGetReturnAtOnce) {
    block_FifoWake(fifo);
    const auto t0 = Clock::now();
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(block_FifoGetTimeout(fifo, 20000), nullptr);
    EXPECT_LT(ElapsedMs(t0), 10000);
    EXPECT_EQ(fifo->b_force_wake, 1);
}

TEST_F(FifoTest, WakeOnEmptyFifoReleasesOneBlockingGetOnly) {
    block_FifoWake(fifo);
    Getter first{fifo, -1};
    StartGet(&first);
    ASSERT_TRUE(FinishGet(&first, 10000));
    EXPECT_EQ(first.got, nullptr);
    EXPECT_EQ(fifo->b_force_wake, 0);

    // The wake request is spent: the next blocking get waits until a block arrives.
    Getter second{fifo, -1};
    StartGet(&second);
    EXPECT_EQ(OS_TaskWait(second.task, 50), -1);
    block_t *b = BlockOf(1);
    block_FifoPut(fifo, b);
    ASSERT_TRUE(FinishGet(&second, 10000));
    EXPECT_EQ(second.got, b);
    block_Release(second.got);
}

TEST_F(FifoTest, WakeOnNonEmptyFifoSetsNoRequest) {
    block_t *b = BlockOf(8);
    block_FifoPut(fifo, b);
    block_FifoWake(fifo);
    EXPECT_EQ(fifo->b_force_wake, 0);
    block_t *got = block_FifoGetTimeout(fifo, 1000);
    EXPECT_EQ(got, b);
    block_Release(got);
    // Left-over wake-ups are consumed and the get waits its full time.
    const auto t0 = Clock::now();
    EXPECT_EQ(block_FifoGetTimeout(fifo, 50), nullptr);
    EXPECT_GE(ElapsedMs(t0), 49);
}

TEST_F(FifoTest, NullPutWakesConsumersThatFindNothingAndWaitAgain) {
    Getter blocking{fifo, -1};
    StartGet(&blocking);
    EXPECT_EQ(block_FifoPut(fifo, nullptr), 0);
    EXPECT_EQ(OS_TaskWait(blocking.task, 50), -1) << "a null put must not end a blocking get";
    block_t *b = BlockOf(2);
    block_FifoPut(fifo, b);
    ASSERT_TRUE(FinishGet(&blocking, 10000));
    EXPECT_EQ(blocking.got, b);
    block_Release(blocking.got);

    block_FifoPut(fifo, nullptr);
    const auto t0 = Clock::now();
    EXPECT_EQ(block_FifoGetTimeout(fifo, 60), nullptr);
    EXPECT_GE(ElapsedMs(t0), 59) << "the timed get waits again after the empty wake-up";
}

TEST(BlockFifo, BlockInTwoFifosIsFreedOnceAfterBothConsumersRelease) {
    g_release_counts.clear();
    block_fifo_t *f1 = block_FifoNew();
    block_fifo_t *f2 = block_FifoNew();
    block_t *b = BlockOf(64);
    b->pf_release = TrackedRelease;
    b->pf_use_inc(b);
    block_FifoPut(f1, b);
    block_FifoPut(f2, b);

    Getter g1{f1, 10000};
    Getter g2{f2, 10000};
    StartGet(&g1);
    StartGet(&g2);
    ASSERT_TRUE(FinishGet(&g1, 20000));
    ASSERT_TRUE(FinishGet(&g2, 20000));
    EXPECT_EQ(g1.got, b);
    EXPECT_EQ(g2.got, b);
    EXPECT_TRUE(ReleaseCounts().empty());

    block_Release(g1.got);
    EXPECT_EQ(ReleaseCounts(), std::vector<int>({2}));
    block_Release(g2.got);
    EXPECT_EQ(ReleaseCounts(), std::vector<int>({1, 2}));
    block_FifoRelease(f1);
    block_FifoRelease(f2);
}

TEST(BlockFifo, ReleaseFreesQueuedBlocks) {
    g_release_counts.clear();
    block_fifo_t *f = block_FifoNew();
    for (int i = 0; i < 3; i++) {
        block_t *b = BlockOf(16);
        b->pf_release = TrackedRelease;
        block_FifoPut(f, b);
    }
    block_FifoEmpty(f);
    EXPECT_EQ(block_FifoCount(f), 0);
    EXPECT_EQ(f->i_size, 0);
    EXPECT_EQ(ReleaseCounts(), std::vector<int>({1, 1, 1}));

    block_FifoPut(f, BlockOf(5)); // left for block_FifoRelease; a leak would fail the run
    block_FifoRelease(f);
    block_FifoRelease(nullptr);
}

TEST(BlockFifo, WakeOfNullFifoReportsIt) {
    testing::internal::CaptureStderr();
    block_FifoWake(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "block_FifoWake.471 \n\r");
}

// Producers and consumers on one FIFO, shut down the way the engine does it: clear the run
// flag, wake, join, release.
constexpr int kProducers = 2;
constexpr int kPerProducer = 2000;

struct Shared {
    block_fifo_t *fifo;
    int run = 1; // cleared by the test thread, read by consumers (atomically)
    std::atomic<int> received{0};
    std::atomic<int> seen[kProducers][kPerProducer] = {};
    std::atomic<int> out_of_order{0};
};

struct Producer {
    Shared *shared;
    int id;
};

void *Produce(void *p) {
    Producer *pr = static_cast<Producer *>(p);
    for (int seq = 0; seq < kPerProducer; seq++) {
        block_t *b = BlockOf(8);
        b->i_stream = static_cast<unsigned int>(pr->id);
        b->frame_no = static_cast<unsigned int>(seq);
        block_FifoPut(pr->shared->fifo, b);
    }
    return nullptr;
}

void *Consume(void *p) {
    Shared *s = static_cast<Shared *>(p);
    int last[kProducers] = {-1, -1};
    while (OS_AtomicGet(&s->run)) {
        block_t *b = block_FifoGetTimeout(s->fifo, 100);
        if (!b)
            continue;
        const int id = static_cast<int>(b->i_stream);
        const int seq = static_cast<int>(b->frame_no);
        if (seq <= last[id])
            s->out_of_order.fetch_add(1);
        last[id] = seq;
        s->seen[id][seq].fetch_add(1);
        s->received.fetch_add(1);
        block_Release(b);
    }
    return nullptr;
}

TEST(BlockFifo, ManyProducersAndConsumersDeliverEachBlockOnceInOrder) {
    Shared s;
    s.fifo = block_FifoNew();
    Producer producers[kProducers] = {{&s, 0}, {&s, 1}};
    OS_Task_t tasks[kProducers + 2];
    for (int i = 0; i < kProducers; i++)
        tasks[i] = OS_TaskCreate(4096, "producer", Produce, 0, &producers[i]);
    tasks[kProducers] = OS_TaskCreate(4096, "consumer", Consume, 0, &s);
    tasks[kProducers + 1] = OS_TaskCreate(4096, "consumer", Consume, 0, &s);

    const int total = kProducers * kPerProducer;
    for (int i = 0; i < 60000 && s.received.load() < total; i++)
        OS_MSleep(1);
    OS_AtomicSet(&s.run, 0);
    block_FifoWake(s.fifo);
    for (OS_Task_t t : tasks)
        OS_TaskDelete(t);

    EXPECT_EQ(s.received.load(), total);
    EXPECT_EQ(s.out_of_order.load(), 0);
    int missing_or_doubled = 0;
    for (auto &row : s.seen)
        for (auto &n : row)
            missing_or_doubled += (n.load() != 1);
    EXPECT_EQ(missing_or_doubled, 0);
    block_FifoRelease(s.fifo);
}

} // namespace
