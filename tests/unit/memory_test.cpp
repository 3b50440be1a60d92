// Memory frames, nodes and series buffers.
#include <gtest/gtest.h>

#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"

using namespace kel;

namespace {

struct MemoryTest : ::testing::Test {
    void SetUp() override {
        if (!memory_ready()) memory_init();
        if (!g_memory.node_frames_head) node_frame_make(kNodeFrameCapacity);
        if (!g_memory.series_frames_head) series_frame_make();
    }
};

TEST_F(MemoryTest, MiddleHeadRoundsSizeAndSetsBit28) {
    SeriesBuf* buf = alloc_series_buffer(100, 1, -1);
    EXPECT_EQ(buf->size, 112u);
    EXPECT_EQ(buf->head, buf->data_start() + 56);
    EXPECT_EQ(buf->tail, buf->head);
    EXPECT_TRUE(buf->flags & SERIES_MIDDLE);
    EXPECT_EQ(buf->flags & ~SERIES_MIDDLE, 1u | SERIES_IN_USE | SERIES_MADE);
}

TEST_F(MemoryTest, BigBufferThreshold) {
    struct Case { uint32_t bytes; bool big; } cases[] = {
        {2097136, true},   // 2,097,160 with header and slack
        {2097120, false},  // 2,097,144: fits only an empty 2 MB frame
        {0, false},
    };
    for (auto c : cases) {
        Off node = alloc_series(c.bytes, 1, 0);
        SeriesBuf* buf = node_buffer(node);
        EXPECT_EQ(bool(buf->flags & SERIES_BIG), c.big) << c.bytes;
        EXPECT_EQ(buf->node, node);
        if (!c.big && c.bytes) {
            SeriesFrame* frame = series_frame_find(0);
            (void)frame;
            bool inside = false;
            for (Off f = g_memory.series_frames_head; f; f = arena_at<SeriesFrame>(f)->next) {
                SeriesFrame* sf = arena_at<SeriesFrame>(f);
                if (arena_off(buf) >= sf->data_start() && buf->data_end() + 4 <= sf->end) inside = true;
            }
            EXPECT_TRUE(inside);
        }
    }
}

TEST_F(MemoryTest, FrameSizesDoubleToTheMaximum) {
    // The first series frame has 1 MB of data and every later one 2 MB.
    g_memory.next_frame_size = kInitialFrameSize;
    SeriesFrame* first = series_frame_make();
    EXPECT_EQ(first->size, kInitialFrameSize + 20);
    EXPECT_EQ(first->end - first->top, kInitialFrameSize);
    EXPECT_EQ(g_memory.next_frame_size, kMaxFrameSize);
    SeriesFrame* next = series_frame_make();
    EXPECT_EQ(next->size, kMaxFrameSize + 20);
    EXPECT_EQ(g_memory.next_frame_size, kMaxFrameSize);
}

TEST_F(MemoryTest, VmRequestIsPageRoundedInTheTotal) {
    uint32_t before = g_memory.total;
    Off block = memory_vm_alloc(1048596);
    EXPECT_EQ(g_memory.total - before, 1052672u);
    memory_vm_free(block);
    EXPECT_EQ(g_memory.total, before);
}

TEST_F(MemoryTest, SmallAllocationsHaveTheirMinimumCapacity) {
    EXPECT_EQ(node_buffer(alloc_bytes(0))->size, 16u);
    SeriesBuf* wide = node_buffer(alloc_string(0, 4));
    EXPECT_EQ(wide->size, 16u);
    EXPECT_EQ(wide->unit(), 4u);
    EXPECT_EQ(node_buffer(alloc_string(0, 2))->size, 16u);
}

TEST_F(MemoryTest, ExpansionMovesHeadToStartAndAbandonsOldBuffer) {
    Off node = alloc_series(64, 1, -1);
    SeriesBuf* old = node_buffer(node);
    std::memcpy(old->head_ptr(), "abcdef", 6);
    old->tail = old->head + 6;
    Off old_off = arena_off(old);
    SeriesBuf* fresh = series_expand(old, 0);
    EXPECT_EQ(fresh->size, 128u);
    EXPECT_EQ(fresh->unit(), 1u);
    EXPECT_EQ(fresh->head, fresh->data_start());
    EXPECT_EQ(fresh->tail - fresh->head, 6u);
    EXPECT_EQ(std::memcmp(fresh->head_ptr(), "abcdef", 6), 0);
    EXPECT_EQ(node_buffer(node), fresh);
    SeriesBuf* abandoned = arena_at<SeriesBuf>(old_off);
    EXPECT_EQ(abandoned->node, 0u);
    EXPECT_FALSE(abandoned->flags & SERIES_IN_USE);
}

TEST_F(MemoryTest, ExpansionOfBigBufferIntoFrameClearsBigFlag) {
    Off node = alloc_series(2097136, 1, 0);
    SeriesBuf* big = node_buffer(node);
    ASSERT_TRUE(big->flags & SERIES_BIG);
    SeriesBuf* bigger = series_expand(big, 2 * 2097152);
    EXPECT_TRUE(bigger->flags & SERIES_BIG);
}

TEST_F(MemoryTest, ExpansionToNonPositiveSizeIsNoMemory) {
    SeriesBuf* buf = node_buffer(alloc_bytes(16));
    try {
        series_expand(buf, -5);
        FAIL();
    } catch (const KelThrow& t) {
        EXPECT_EQ(t.category, ErrCat::Internal);
        EXPECT_EQ(t.id, "no-memory");
    }
}

TEST_F(MemoryTest, FixedBufferFlagsAndNode) {
    Off node = alloc_series_fixed(10, 16, 0);
    SeriesBuf* buf = node_buffer(node);
    EXPECT_EQ(buf->flags, 16u | 0xA0100000u);
    EXPECT_EQ(buf->size, 160u);
    EXPECT_EQ(buf->node, node);
}

TEST_F(MemoryTest, NodesComeFromTheFreeListAndReturnToIt) {
    Off a = alloc_node();
    NodeFrame* frame = node_frame_of(a);
    ASSERT_NE(frame, nullptr);
    uint32_t in_use = frame->in_use;
    EXPECT_EQ(node_word(a), 0u);
    node_free(frame, a);
    EXPECT_EQ(frame->in_use, in_use - 1);
    EXPECT_EQ(frame->free_head, a);
    EXPECT_EQ(alloc_node(), a);
}

TEST_F(MemoryTest, CopyBufferKeepsUnitDataAndLength) {
    Off node = alloc_series(8, 4, 0);
    SeriesBuf* buf = node_buffer(node);
    uint32_t values[3] = {7, 8, 9};
    std::memcpy(buf->head_ptr(), values, 12);
    buf->tail = buf->head + 12;
    Off copy = series_copy_buffer(buf);
    SeriesBuf* c = node_buffer(copy);
    EXPECT_EQ(c->unit(), 4u);
    EXPECT_EQ(c->tail - c->head, 12u);
    EXPECT_EQ(std::memcmp(c->head_ptr(), values, 12), 0);
}

// A released frame leaves the total at once, and its block serves the next
// frame of the same size; a refused request gives the spare blocks back
// before it fails.
TEST_F(MemoryTest, ReleasedFramesAreReusedAndLeaveTheTotal) {
    uint32_t stress = g_gc.stress_every;  // stress mode keeps no spares
    g_gc.stress_every = 0;
    g_memory.next_frame_size = kMaxFrameSize;
    uint32_t before = g_memory.total;
    SeriesFrame* frame = series_frame_make();
    Off at = arena_off(frame);
    EXPECT_EQ(g_memory.total - before, 2101248u);
    series_frame_free(frame);
    EXPECT_EQ(g_memory.total, before);
    uint64_t committed = platform_vm_committed();
    SeriesFrame* again = series_frame_make();
    EXPECT_EQ(arena_off(again), at);
    EXPECT_EQ(platform_vm_committed(), committed);
    EXPECT_EQ(again->top, again->data_start());
    EXPECT_EQ(again->end - again->top, kMaxFrameSize);
    series_frame_free(again);
    // Only spares are left to give: a request they cannot serve still gets
    // the memory they held.
    platform_vm_set_limit(platform_vm_committed());
    Off block = 0;
    EXPECT_NO_THROW(block = memory_vm_alloc(1u << 20));
    platform_vm_set_limit(0);
    memory_vm_free(block);
    EXPECT_EQ(g_memory.total, before);
    g_gc.stress_every = stress;
}

TEST_F(MemoryTest, ExhaustingTheArenaRaisesNoMemory) {
    uint32_t before = g_memory.total;
    platform_vm_set_limit(platform_vm_committed() + (64u << 20));
    int raised = 0;
    try {
        for (int i = 0; i < 100; i++) alloc_series(3u << 20, 1, 0);
    } catch (const KelThrow& t) {
        EXPECT_EQ(t.id, "no-memory");
        raised = 1;
    }
    platform_vm_set_limit(0);
    EXPECT_EQ(raised, 1);
    EXPECT_GE(g_memory.total, before);
    // The allocator still works afterwards.
    EXPECT_NE(alloc_bytes(100), 0u);
}

}  // namespace
