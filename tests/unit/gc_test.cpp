// The collector: reachability, compaction, node release and evacuation.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "runtime/externals.h"
#include "runtime/gc.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

using namespace kel;

namespace {

struct GcTest : ::testing::Test {
    void SetUp() override {
        if (!memory_ready()) memory_init();
        if (!stack_ready()) stack_init();
        if (!g_memory.series_frames_head) series_frame_make();
        g_stack.args = g_stack.top = g_stack.data_bottom;
        g_stack.frame_top = g_stack.frame_bottom;
        g_gc_enabled = false;
    }
    void TearDown() override { g_gc_enabled = false; }

    // A block of `n` integer cells 0..n-1.
    static Off make_block(uint32_t n) {
        Off node = alloc_cells(n ? n : 1);
        for (uint32_t i = 0; i < n; i++) cell_set(block_buffer_append_slot(node_buffer(node)), TYPE_INTEGER, i);
        return node;
    }
    static Off make_text(const char* s) {
        uint32_t n = static_cast<uint32_t>(std::strlen(s));
        Off node = alloc_string(n, 1);
        SeriesBuf* buf = node_buffer(node);
        std::memcpy(buf->head_ptr(), s, n);
        buf->tail += n;
        return node;
    }
    static uint32_t free_nodes() {
        uint32_t n = 0;
        for (Off f = g_memory.node_frames_head; f; f = arena_at<NodeFrame>(f)->next) {
            NodeFrame* nf = arena_at<NodeFrame>(f);
            n += nf->capacity - nf->in_use;
        }
        return n;
    }
};

TEST_F(GcTest, ReachableSeriesSurviveAndMoveWithTheirNodes) {
    Off garbage = make_text("dead text that nobody references any more");
    (void)garbage;
    Off text = make_text("kept");
    Cell holder{TYPE_STRING, 0, text, 0};
    GcRootCell root(&holder);
    Off before = node_word(holder.data2);
    gc_collect();
    SeriesBuf* buf = node_buffer(holder.data2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf->head_ptr()), buf->used_bytes()), "kept");
    EXPECT_FALSE(buf->flags & SERIES_MARK);
    EXPECT_LE(node_word(holder.data2), before);  // slid down over the dead buffer, or stayed
}

TEST_F(GcTest, SelfContainingBlockIsMarkedOnceAndSurvives) {
    Off node = make_block(2);
    Cell* self = block_buffer_append_slot(node_buffer(node));
    cell_set(self, TYPE_BLOCK, 0, node);
    Cell holder{TYPE_BLOCK, 0, node, 0};
    GcRootCell root(&holder);
    gc_collect();
    SeriesBuf* buf = node_buffer(holder.data2);
    Cell* cells = arena_at<Cell>(buf->head);
    ASSERT_EQ(buf->used_bytes(), 48u);
    EXPECT_EQ(cells[1].data1, 1u);
    EXPECT_EQ(cells[2].data2, holder.data2);
}

TEST_F(GcTest, AbandonedBufferIsReclaimedWithoutReleasingItsNode) {
    gc_collect();
    Off node = make_block(4);
    Cell holder{TYPE_BLOCK, 0, node, 0};
    GcRootCell root(&holder);
    block_buffer_append_slot(node_buffer(node));  // full: expands, abandons the old buffer
    uint32_t in_use_before = node_frame_of(node)->in_use;
    gc_collect();
    EXPECT_EQ(node_frame_of(holder.data2)->in_use, in_use_before);
    EXPECT_EQ(node_buffer(holder.data2)->used_bytes(), 80u);
}

TEST_F(GcTest, DeadNodesReturnToTheirFrames) {
    gc_collect();
    uint32_t free_before = free_nodes();
    for (int i = 0; i < 100; i++) make_text("short-lived");
    EXPECT_EQ(free_nodes(), free_before - 100);
    gc_collect();
    EXPECT_EQ(free_nodes(), free_before);
}

// Dead nodes spread over several frames, between survivors: each frame's
// free list holds exactly its free nodes, and taking them all again gives
// distinct nodes while the survivors keep theirs.
TEST_F(GcTest, DeadNodesAcrossFramesCanAllBeTakenAgain) {
    auto in_use = [] {
        uint32_t n = 0;
        for (Off f = g_memory.node_frames_head; f; f = arena_at<NodeFrame>(f)->next) {
            const NodeFrame* nf = arena_at<NodeFrame>(f);
            uint32_t listed = 0;
            for (Off node = nf->free_head; node && listed <= nf->capacity; node = node_word(node)) listed++;
            EXPECT_EQ(listed, nf->capacity - nf->in_use);
            n += nf->in_use;
        }
        return n;
    };
    gc_collect();
    uint32_t before = in_use();
    const uint32_t count = 3 * kNodeFrameCapacity;
    std::vector<Cell> kept(count / 1000);
    GcRootCell root(kept.data(), kept.size());
    for (uint32_t i = 0; i < count; i++) {
        Off s = make_text("short-lived");
        if (i % 1000 == 0) kept[i / 1000] = Cell{TYPE_STRING, 0, s, 0};
    }
    gc_collect();
    EXPECT_EQ(in_use(), before + kept.size());
    std::set<Off> taken;
    for (const Cell& c : kept) taken.insert(c.data2);
    for (uint32_t i = 0; i < count - kept.size(); i++) EXPECT_TRUE(taken.insert(alloc_node()).second);
    EXPECT_EQ(in_use(), before + count);
    for (const Cell& c : kept)
        EXPECT_EQ(std::string(reinterpret_cast<char*>(node_buffer(c.data2)->head_ptr()), 11), "short-lived");
}

TEST_F(GcTest, AllocatingFiftyMegabytesKeepsTheArenaSmall) {
    Off node = make_block(3);
    Cell holder{TYPE_BLOCK, 0, node, 0};
    GcRootCell root(&holder);
    g_gc_enabled = true;
    for (int i = 0; i < 50 * 1024; i++) {
        Off s = alloc_string(1000, 1);
        node_buffer(s)->tail += 1000;
    }
    g_gc_enabled = false;
    gc_collect();
    EXPECT_LT(g_memory.total, 16u << 20);
    SeriesBuf* buf = node_buffer(holder.data2);
    Cell* cells = arena_at<Cell>(buf->head);
    for (uint32_t i = 0; i < 3; i++) EXPECT_EQ(cells[i].data1, i);
}

// A collection that finds the frames mostly live makes the allocator take a
// new frame instead of the room left: collections then come after at least
// as much allocation as the live data each of them marks again, and that
// data survives every one of them.
TEST_F(GcTest, CollectionsComeAfterAsMuchAllocationAsTheyKeepLive) {
    gc_collect();
    constexpr uint32_t kLive = 4000;  // 4 MB of kept text
    Cell keep{TYPE_BLOCK, 0, alloc_cells(kLive), 0};
    GcRootCell root(&keep);
    for (uint32_t i = 0; i < kLive; i++) {
        Off s = alloc_string(1000, 1);
        node_buffer(s)->tail += 1000;
        cell_set(block_append_slot(&keep), TYPE_STRING, 0, s);
    }
    uint32_t cycles = g_gc.series_cycles;
    uint32_t stress = g_gc.stress_every;  // counts only the collections a shortage starts
    g_gc.stress_every = 0;
    g_gc_enabled = true;
    for (int i = 0; i < 16 * 1024; i++) alloc_string(1000, 1);  // 16 MB of garbage
    g_gc_enabled = false;
    g_gc.stress_every = stress;
    EXPECT_GE(g_gc.series_cycles, cycles + 1);
    EXPECT_LE(g_gc.series_cycles, cycles + 5);
    gc_collect();
    SeriesBuf* buf = node_buffer(keep.data2);
    ASSERT_EQ(buf->used_bytes(), kLive * sizeof(Cell));
    for (uint32_t i = 0; i < kLive; i += 97)
        EXPECT_EQ(node_buffer(arena_at<Cell>(node_buffer(keep.data2)->head)[i].data2)->used_bytes(), 1000u);
    EXPECT_EQ(gc_check_heap(), "");
}

TEST_F(GcTest, CollectionOffNeverCollectsButRecycleDoes) {
    uint32_t cycles = g_gc.series_cycles;
    for (int i = 0; i < 5000; i++) alloc_string(1000, 1);
    EXPECT_EQ(g_gc.series_cycles, cycles);
    gc_collect();
    EXPECT_EQ(g_gc.series_cycles, cycles + 1);
}

TEST_F(GcTest, PreviousFrameWithExactly52428FreeBytesTakesNothing) {
    // Two neighbouring frames: the lower one with exactly 52,428 bytes free
    // (buffer spans are 8 mod 16, so its end is pulled in to get the exact
    // figure), the upper one with a live buffer behind a dead one.
    gc_collect();
    SeriesFrame* made = series_frame_make();
    SeriesFrame* lower = made->prev ? arena_at<SeriesFrame>(made->prev) : made;
    SeriesFrame* upper = made->prev ? made : arena_at<SeriesFrame>(made->next);
    g_memory.current_series_frame = arena_off(lower);
    Off anchor = make_text("keeps the lower frame alive");
    GcRootNode keep_anchor(&anchor);
    ASSERT_GT(lower->end - lower->top, kCompactRoomMin);
    lower->end = lower->top + kCompactRoomMin;
    g_memory.current_series_frame = arena_off(upper);
    alloc_string(64, 1);  // dead
    Off live = make_text("live");
    GcRootNode keep_live(&live);
    gc_collect();
    Off after = node_word(live);
    EXPECT_GE(after, upper->data_start());  // stayed in its own frame
    EXPECT_LT(after, upper->end);
    EXPECT_EQ(lower->end - lower->top, kCompactRoomMin);
}

TEST_F(GcTest, SparseStableNodeFramesAreEvacuatedAndSlotsRepointed) {
    // A second node frame with few live nodes that stays unchanged for six
    // collections gets evacuated; the root slot follows its node.
    gc_collect();
    NodeFrame* extra = node_frame_make(kNodeFrameCapacity);
    node_frame_make(kNodeFrameCapacity);  // plenty of free nodes elsewhere
    g_memory.current_node_frame = arena_off(extra);
    Off node = make_text("moving");
    ASSERT_EQ(node_frame_of(node), extra);
    GcRootNode keep(&node);
    // Keep the other frames current so the evacuated frame is not the current one.
    uint32_t evacuations = g_gc.nodes_cycles;
    for (int i = 0; i < 10 && g_gc.nodes_cycles == evacuations; i++) {
        g_memory.current_node_frame = g_memory.node_frames_head;
        gc_collect();
    }
    EXPECT_GT(g_gc.nodes_cycles, evacuations);
    EXPECT_NE(node_frame_of(node), nullptr);
    SeriesBuf* buf = node_buffer(node);
    EXPECT_EQ(buf->node, node);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf->head_ptr()), buf->used_bytes()), "moving");
}

// A handle! keeps its external entry; an entry no value reaches is released
// by the collection's sweep.
TEST_F(GcTest, HandlesKeepTheirExternalEntriesAndTheRestIsReleased) {
    static int released;
    released = 0;
    if (!g_externals.entries) externals_init();
    uint32_t kind = externals_register_kind("gc-test", [](void*) { released++; });
    static int a, b;
    int32_t kept = externals_add(&a, kind);
    externals_add(&b, kind);
    Cell handle{TYPE_HANDLE, 0, 0, static_cast<uint32_t>(kept)};
    {
        GcRootCell root(&handle);
        gc_collect();
        EXPECT_EQ(released, 1);
        EXPECT_EQ(g_externals.entries[kept].object, &a);
        EXPECT_FALSE(g_externals.entries[kept].flags & EXTERNAL_MARK);
    }
    gc_collect();
    EXPECT_EQ(released, 2);
}

// A hash! cell keeps its block and every part of its table; evacuation
// repoints the table's own nodes.
TEST_F(GcTest, HashCellsKeepTheirTableThroughEvacuation) {
    Cell block{TYPE_BLOCK, 0, alloc_cells(50), 0};
    GcRootCell keep_block(&block);
    for (uint32_t i = 0; i < 50; i++) cell_set(block_append_slot(&block), TYPE_INTEGER, 0, i);
    Off table = hashtable_make(50, &block, HASH_KIND_BLOCK, 0);
    Cell hash{TYPE_HASH, 0, block.data2, table};
    block.header = TYPE_NONE;  // the hash! cell alone keeps them
    GcRootCell keep_hash(&hash);
    g_gc_enabled = true;
    gc_collect_stress();
    gc_collect_stress();
    g_gc_enabled = false;
    Cell key{TYPE_INTEGER, 0, 37, 0};
    Cell* found = hashtable_get(hash.data3, &key);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found - arena_at<Cell>(node_buffer(hash.data2)->head), 37);
    EXPECT_EQ(gc_check_heap(), "");
}

// Stress collections move every node: a rooted slot follows its node and the
// series it names is intact.
TEST_F(GcTest, StressCollectionsMoveEveryNode) {
    Off text = make_text("follows");
    GcRootNode keep(&text);
    Off before = text;
    uint32_t evacuations = g_gc.nodes_cycles;
    gc_collect_stress();
    EXPECT_NE(text, before);
    EXPECT_GT(g_gc.nodes_cycles, evacuations);
    SeriesBuf* buf = node_buffer(text);
    EXPECT_EQ(buf->node, text);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf->head_ptr()), buf->used_bytes()), "follows");
    EXPECT_EQ(gc_check_heap(), "");
}

// With node evacuation held off (a hash table resizing, code keeping nodes
// it cannot root), even a stress collection moves no node.
TEST_F(GcTest, EvacuationHeldOffMovesNoNode) {
    Off text = make_text("stays");
    Off before = text;
    GcRootNode keep(&text);
    {
        GcNoEvacuation hold;
        gc_collect_stress();
    }
    EXPECT_EQ(text, before);
    EXPECT_TRUE(g_gc.evacuation_enabled);
}

TEST_F(GcTest, RootCallbacksRunUntilRemovedAndFreedEntriesAreReused) {
    static Off held;
    held = make_text("by callback");
    int index = gc_add_root_callback([] { gc_mark_node(&held); });
    ASSERT_GE(index, 0);
    gc_collect();
    SeriesBuf* buf = node_buffer(held);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf->head_ptr()), buf->used_bytes()), "by callback");
    gc_remove_root_callback(index);
    EXPECT_EQ(gc_add_root_callback([] {}), index);
    gc_remove_root_callback(index);
}

TEST_F(GcTest, CountersCountCollectionsAndResetToZero) {
    gc_collect();
    uint32_t cycles = g_gc.series_cycles;
    gc_collect();
    EXPECT_EQ(g_gc.series_cycles, cycles + 1);
    gc_reset_counters();
    EXPECT_EQ(g_gc.series_cycles, 0u);
    EXPECT_EQ(g_gc.nodes_cycles, 0u);
    EXPECT_EQ(g_gc.stability_depth, 5u);
}

// Fixed buffers are never moved or swept, but a collection leaves none of
// them marked; neither does it leave a mark anywhere else.
TEST_F(GcTest, NoMarkSurvivesACollection) {
    Off fixed = alloc_series_fixed(4, 16, 0);
    GcRootNode keep(&fixed);
    gc_collect();
    EXPECT_FALSE(node_buffer(g_stack.data_node)->flags & SERIES_MARK);
    EXPECT_FALSE(node_buffer(fixed)->flags & SERIES_MARK);
    EXPECT_EQ(gc_check_heap(), "");
}

}  // namespace
