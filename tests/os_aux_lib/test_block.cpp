// Block allocation layout, initialisation and release by reference count.
// Freed and leaked blocks are caught by the address sanitizer build.
#include "block.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr int kOverhead = 288;

class BlockAllocTest : public ::testing::TestWithParam<int> {};

TEST_P(BlockAllocTest, OneAllocationWithAlignedPayloadAndFreshDescriptor) {
    const int size = GetParam();
    block_t *b = block_Alloc(size);
    ASSERT_NE(b, nullptr);
    unsigned char *base = reinterpret_cast<unsigned char *>(b);

    int allocated = 0;
    memcpy(&allocated, base + sizeof(block_t), sizeof(int));
    EXPECT_EQ(allocated, size + kOverhead);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b->p_buffer) % 16, 0u);
    EXPECT_GE(b->p_buffer, base + sizeof(block_t) + sizeof(int));
    EXPECT_LT(b->p_buffer, base + sizeof(block_t) + sizeof(int) + 16);
    EXPECT_LE(b->p_buffer + size, base + size + kOverhead);

    EXPECT_EQ(b->i_buffer, size);
    EXPECT_EQ(b->alloc_size, static_cast<unsigned int>(size));
    EXPECT_EQ(b->use_count, 1);
    EXPECT_EQ(b->pf_release, BlockRelease);
    EXPECT_EQ(b->pf_use_inc, BlockUseInc);
    EXPECT_EQ(b->p_next, nullptr);
    EXPECT_EQ(b->free_buff_flag, 0);
    EXPECT_EQ(b->i_pts, 0u);
    EXPECT_EQ(b->p_stream, nullptr);

    memset(b->p_buffer, 0xA5, static_cast<size_t>(size)); // the whole payload is writable
    block_Release(b);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockAllocTest, ::testing::Values(0, 1, 15, 16, 17, 1000, 65536));

TEST(Block, NegativeSizeIsRefused) {
    EXPECT_EQ(block_Alloc(-1), nullptr);
}

TEST(Block, InitResetsChainTimesAndCount) {
    block_t b;
    memset(&b, 0x5A, sizeof(b));
    unsigned char payload[4];
    block_Init(&b, payload, 4);
    EXPECT_EQ(b.p_next, nullptr);
    EXPECT_EQ(b.i_flags, 0u);
    EXPECT_EQ(b.i_pts, 0u);
    EXPECT_EQ(b.i_dts, 0u);
    EXPECT_EQ(b.i_length, 0);
    EXPECT_EQ(b.i_rate, 0);
    EXPECT_EQ(b.use_count, 0);
    EXPECT_EQ(b.p_buffer, payload);
    EXPECT_EQ(b.i_buffer, 4);
}

// Each block of a chain loses one reference; only the one still referenced elsewhere survives.
TEST(Block, ChainReleaseDropsOneReferencePerBlock) {
    block_t *head = block_Alloc(8);
    block_t *middle = block_Alloc(8);
    block_t *tail = block_Alloc(8);
    head->p_next = middle;
    middle->p_next = tail;
    middle->pf_use_inc(middle);

    block_Release(head); // frees head and tail
    EXPECT_EQ(middle->use_count, 1);
    middle->p_next = nullptr; // tail is gone
    block_Release(middle);
}

TEST(Block, ReleaseFreesAReplacementBuffer) {
    block_t *b = block_Alloc(0);
    b->p_buffer = static_cast<unsigned char *>(malloc(100));
    b->free_buff_flag = 1;
    block_Release(b); // a leak of either allocation fails the sanitizer run
}

TEST(Block, ReleaseOfNullIsIgnored) {
    block_Release(nullptr);
}

} // namespace
