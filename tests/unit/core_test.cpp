// Cell primitives, growable arrays and the cycle stack.
#include <gtest/gtest.h>

#include "runtime/array.h"
#include "runtime/cell.h"
#include "runtime/cycles.h"
#include "runtime/error.h"
#include "runtime/memory.h"

using namespace kel;

namespace {

struct CoreTest : ::testing::Test {
    void SetUp() override {
        if (!memory_ready()) memory_init();
    }
};

TEST_F(CoreTest, SetTypeKeepsFlagsAndCopyToSelfIsANoOp) {
    Cell c{0x40000007, 1, 2, 3};
    cell_set_type(&c, 5);
    EXPECT_EQ(c.header, 0x40000005u);
    Cell before = c;
    copy_cell(&c, &c);
    EXPECT_EQ(std::memcmp(&before, &c, sizeof c), 0);
}

TEST_F(CoreTest, AppendingToAFullFourCellBlockDoublesIt) {
    Off node = alloc_cells(4);
    for (uint32_t i = 0; i < 4; i++) {
        Cell* c = block_buffer_append_slot(node_buffer(node));
        cell_set(c, TYPE_INTEGER, i);
    }
    EXPECT_EQ(node_buffer(node)->size, 64u);
    Cell* fifth = block_buffer_append_slot(node_buffer(node));
    SeriesBuf* buf = node_buffer(node);
    EXPECT_EQ(buf->size, 128u);
    EXPECT_EQ(fifth->header, uint32_t(TYPE_UNSET));
    Cell* cells = arena_at<Cell>(buf->head);
    for (uint32_t i = 0; i < 4; i++) EXPECT_EQ(cells[i].data1, i);
    EXPECT_EQ(buf->used_bytes(), 80u);
}

TEST_F(CoreTest, ReserveBytesGrowsToTwiceTheRequest) {
    Off node = alloc_bytes(64);
    SeriesBuf* buf = node_buffer(node);
    std::memset(buf->head_ptr(), 'x', 10);
    buf->tail += 10;
    uint8_t* at = series_reserve_bytes(buf, 100);
    buf = node_buffer(node);
    EXPECT_EQ(buf->size, 208u);
    EXPECT_EQ(at, buf->head_ptr() + 10);
    EXPECT_EQ(buf->used_bytes(), 110u);
    EXPECT_EQ(buf->head_ptr()[9], 'x');
    uint8_t* tail = buf->tail_ptr();
    EXPECT_EQ(series_reserve_bytes(buf, 0), tail);
}

TEST_F(CoreTest, CopyPartTakesUnitsFromIndex) {
    Off node = alloc_string(8, 2);
    SeriesBuf* buf = node_buffer(node);
    uint16_t text[5] = {'a', 'b', 0x3A9, 'd', 'e'};
    std::memcpy(buf->head_ptr(), text, sizeof text);
    buf->tail += sizeof text;
    series_set_flags(node, SERIES_OWNED);
    Off part = series_copy_part(node, 1, 3);
    SeriesBuf* p = node_buffer(part);
    EXPECT_EQ(p->unit(), 2u);
    EXPECT_FALSE(p->flags & SERIES_OWNED);
    ASSERT_EQ(p->used_bytes(), 6u);
    EXPECT_EQ(std::memcmp(p->head_ptr(), text + 1, 6), 0);
}

TEST_F(CoreTest, ArraysGrowFindAndRemove) {
    Off a = array_make(0, 4);
    EXPECT_EQ(node_buffer(a)->size, 16u);
    EXPECT_EQ(array_length(a), 0u);
    for (int i = 1; i <= 5; i++) array_append_int(a, i * 10);
    EXPECT_EQ(node_buffer(a)->size, 32u);
    EXPECT_EQ(array_length(a), 5u);
    EXPECT_EQ(array_pick_int(a, 4), 40);
    EXPECT_EQ(array_find_int(a, 30), 8);
    EXPECT_EQ(array_find_int(a, 99), -1);
    array_remove_ptr(a, 99);
    EXPECT_EQ(array_length(a), 5u);
    array_remove_ptr(a, 20);
    EXPECT_EQ(array_pick_int(a, 2), 30);
    array_insert_int(a, 7, 0);
    EXPECT_EQ(array_pick_int(a, 1), 7);
    EXPECT_EQ(array_length(a), 5u);
    array_set_tail(a, 1);
    EXPECT_EQ(array_length(a), 0u);
}

TEST_F(CoreTest, CycleStackHolds999AndResetsOnOverflow) {
    cycles_reset();
    for (uint32_t i = 1; i <= 999; i++) cycles_push(i);
    EXPECT_TRUE(cycles_find(500));
    EXPECT_THROW(cycles_push(1000), KelThrow);
    EXPECT_EQ(cycles_depth(), 0u);
    cycles_pop();  // popping an empty stack does nothing
    EXPECT_EQ(cycles_depth(), 0u);
}

TEST_F(CoreTest, CycleGuardRestoresDepthOnException) {
    cycles_reset();
    cycles_push(7);
    try {
        CycleGuard outer(8);
        CycleGuard inner(9);
        throw 1;
    } catch (int) {
    }
    EXPECT_EQ(cycles_depth(), 1u);
    EXPECT_FALSE(cycles_find(8));
    cycles_reset();
}

TEST_F(CoreTest, PatternFillReplicates) {
    struct Case { const char* unit; uint32_t count; const char* want; } cases[] = {
        {"ab", 3, "ababab"}, {"x", 1, "x"}, {"abc", 5, "abcabcabcabcabc"}, {"ab", 0, ""},
    };
    for (auto c : cases) {
        char buf[64] = {};
        uint32_t unit = static_cast<uint32_t>(std::strlen(c.unit));
        std::memcpy(buf, c.unit, unit);
        uint8_t* end = memory_fill_pattern(reinterpret_cast<uint8_t*>(buf), unit, c.count);
        EXPECT_EQ(std::string(buf, end - reinterpret_cast<uint8_t*>(buf)), c.want);
    }
}

}  // namespace
