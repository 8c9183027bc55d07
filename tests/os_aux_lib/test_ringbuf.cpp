// Byte ring buffer: sizes, wrap-around and the offsets' arithmetic.
#include "ringbuf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

struct RingDeleter {
    void operator()(ringb_imp_t *h) const { ringb_free(h); }
};
using Ring = std::unique_ptr<ringb_imp_t, RingDeleter>;

TEST(Ringbuf, NewBufferIsEmptyAndHoldsItsFullLength) {
    Ring r(ringb_alloc(10));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->flags, 1u);
    EXPECT_EQ(r->length, 10u);
    EXPECT_EQ(r->buff, r->data);
    EXPECT_EQ(ringb_freespace(r.get()), 10);
    EXPECT_EQ(ringb_dsize(r.get()), 0);

    const unsigned char full[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(ringb_put(r.get(), full, 10), 0); // the sanitizer checks the area's bounds
    EXPECT_EQ(ringb_dsize(r.get()), 10);
    EXPECT_EQ(ringb_freespace(r.get()), 0);
}

TEST(Ringbuf, PutAndGetWrapAroundTheEnd) {
    Ring r(ringb_alloc(10));
    r->wp = r->rp = 8;
    const unsigned char in[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(ringb_put(r.get(), in, 5), 0);
    EXPECT_EQ(r->buff[8], 1);
    EXPECT_EQ(r->buff[9], 2);
    EXPECT_EQ(r->buff[0], 3);
    EXPECT_EQ(r->buff[1], 4);
    EXPECT_EQ(r->buff[2], 5);
    EXPECT_EQ(r->wp, 3u);
    EXPECT_EQ(ringb_dsize(r.get()), 5);
    EXPECT_EQ(ringb_freespace(r.get()), 5);

    unsigned char out[5] = {};
    ASSERT_EQ(ringb_get(r.get(), out, 5), 0);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 5), std::vector<unsigned char>(in, in + 5));
    EXPECT_EQ(r->rp, 3u);
    EXPECT_EQ(ringb_dsize(r.get()), 0);
}

TEST(Ringbuf, FreeSpaceAndStoredBytesFromOffsets) {
    struct Case {
        unsigned int wp, rp;
        int free, stored;
    };
    const Case cases[] = {
        {0, 0, 10, 0}, {3, 8, 5, 5}, {8, 3, 5, 5}, {10, 0, 0, 10}, {10, 10, 10, 0}, {0, 10, 10, 0},
    };
    Ring r(ringb_alloc(10));
    for (const Case &c : cases) {
        r->wp = c.wp;
        r->rp = c.rp;
        EXPECT_EQ(ringb_freespace(r.get()), c.free) << "wp " << c.wp << " rp " << c.rp;
        EXPECT_EQ(ringb_dsize(r.get()), c.stored) << "wp " << c.wp << " rp " << c.rp;
    }
}

// A byte stream through a small buffer in uneven pieces comes out unchanged. The writer keeps
// one byte spare: filling the gap exactly would bring wp onto rp, which reads as empty.
TEST(Ringbuf, StreamSurvivesManyWraps) {
    Ring r(ringb_alloc(13));
    unsigned char next_in = 0;
    unsigned char next_out = 0;
    int mismatches = 0;
    int total_out = 0;
    for (int i = 0; i < 500; i++) {
        const int put = 1 + i % 7;
        if (ringb_freespace(r.get()) > put) {
            unsigned char chunk[7];
            for (int k = 0; k < put; k++)
                chunk[k] = next_in++;
            ringb_put(r.get(), chunk, put);
        }
        const int get = std::min(ringb_dsize(r.get()), 1 + i % 5);
        unsigned char out[5];
        ringb_get(r.get(), out, get);
        for (int k = 0; k < get; k++)
            mismatches += (out[k] != next_out++);
        total_out += get;
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_GT(total_out, 1000);
}

TEST(Ringbuf, PutOnNullHandleReportsIt) {
    const unsigned char byte = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ringb_put(nullptr, &byte, 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ringb_put.53 not initialize\n\r");
}

} // namespace
