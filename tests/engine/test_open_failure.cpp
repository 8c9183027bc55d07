// Open and start when the engine's tasks cannot be made: thread creation is refused on demand by
// a pthread_create of this test program, which every caller in the process reaches first.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>

#include <atomic>

#include "quorvex.h"

namespace {

std::atomic<bool> g_refuse_threads{false};

} // namespace

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                              void *arg) {
    using create_t = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static create_t real = reinterpret_cast<create_t>(dlsym(RTLD_NEXT, "pthread_create"));
    if (g_refuse_threads.load())
        return EAGAIN;
    return real(thread, attr, start, arg);
}

namespace {

TEST(OpenFailure, OpenWithoutTasksFailsAndLeavesNoHandle) {
    quorvex_setup_t setup = {};
    quorvex_handle_t h = 12345;
    g_refuse_threads = true;
    int r = quorvex_open(setup, &h);
    g_refuse_threads = false;
    EXPECT_EQ(r, -1);
    EXPECT_EQ(h, 0u);
    quorvex_open_cs(&setup, &h); // the flat export says so too
    EXPECT_NE(h, 0u);
    quorvex_close_cs(h);
    g_refuse_threads = true;
    h = 777;
    EXPECT_EQ(quorvex_open_cs(&setup, &h), -1);
    g_refuse_threads = false;
    EXPECT_EQ(h, 0u);
}

TEST(OpenFailure, StartWithoutATaskFailsWithTheLiveBitClear) {
    quorvex_handle_t h = 0;
    ASSERT_EQ(quorvex_open(quorvex_setup_t{}, &h), 0);
    streaming_setup_t s = {};
    s.protocol = Protocol_UDPTS;
    s.port = 1; // never opened: the task is refused first
    quorvex_set_streaming_param(h, s);
    g_refuse_threads = true;
    int r = quorvex_start(h, ACTION_LIVE | ACTION_RECORD);
    g_refuse_threads = false;
    EXPECT_EQ(r, -1);
    quorvex_info_t info = {};
    quorvex_get_info(h, &info, 0);
    EXPECT_EQ(info.action_bit & ACTION_LIVE, 0);
    quorvex_stop(h, ACTION_ALL);
    quorvex_close(h);
}

} // namespace
