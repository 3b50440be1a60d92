// The external-resource table and the value slots.
#include <gtest/gtest.h>

#include <vector>

#include "runtime/externals.h"
#include "runtime_fixture.h"

using namespace kel;

namespace {

std::vector<void*> g_released;
void release(void* object) { g_released.push_back(object); }

struct ExternalsTest : ::testing::Test {
    void SetUp() override {
        test::runtime_core_init();
        externals_init();
        g_released.clear();
        kind = externals_register_kind("thing", release);
    }
    uint32_t kind = 0;
    static void* obj(uintptr_t n) { return reinterpret_cast<void*>(n); }
};

TEST_F(ExternalsTest, ReleaseNeedsAKind) {
    externals_release(0, obj(1));
    externals_release(kind + 1, obj(2));  // not registered
    EXPECT_TRUE(g_released.empty());
    externals_release(kind, obj(3));
    EXPECT_EQ(g_released, std::vector<void*>{obj(3)});
}

TEST_F(ExternalsTest, SettingAnObjectReleasesOnlyADifferentOne) {
    int32_t e = externals_add(obj(10), kind);
    externals_set_object(e, obj(10));
    EXPECT_TRUE(g_released.empty());
    externals_set_object(e, obj(11));
    EXPECT_EQ(g_released, std::vector<void*>{obj(10)});
}

TEST_F(ExternalsTest, FullTableDoublesAndAllocatesFromTheNewHalf) {
    for (uint32_t i = 0; i < kExternalInitialEntries; i++) ASSERT_EQ(externals_add(obj(i + 1), kind), int32_t(i));
    int32_t e = externals_add(obj(5000), kind);
    EXPECT_EQ(g_externals.capacity, 2 * kExternalInitialEntries);
    EXPECT_GE(e, int32_t(kExternalInitialEntries));
    EXPECT_EQ(g_externals.entries[0].object, obj(1));  // the old half kept its entries
}

TEST_F(ExternalsTest, SweepReleasesWhatWasNotMarked) {
    int32_t a = externals_add(obj(1), kind);
    int32_t b = externals_add(obj(2), kind);
    int32_t c = externals_add(obj(3), kind);
    EXPECT_TRUE(externals_mark(b, nullptr));
    EXPECT_FALSE(externals_mark(b, obj(22)));  // already marked; the pointer still moves
    externals_sweep();
    EXPECT_EQ(g_released, (std::vector<void*>{obj(3), obj(1)}));  // newest first
    EXPECT_EQ(g_externals.in_use_head, b);
    EXPECT_EQ(g_externals.entries[b].object, obj(22));
    EXPECT_FALSE(g_externals.entries[b].flags & EXTERNAL_MARK);
    EXPECT_TRUE(g_externals.entries[a].flags & EXTERNAL_FREE);
    EXPECT_EQ(externals_add(obj(4), kind), a);  // freed entries are reused, last freed first
    (void)c;
    externals_sweep();  // b is no longer marked
    EXPECT_EQ(g_released.size(), 4u);
}

TEST_F(ExternalsTest, RemoveUnlinksWithOrWithoutRelease) {
    int32_t a = externals_add(obj(1), kind);
    int32_t b = externals_add(obj(2), kind);
    externals_remove(a, false);
    externals_remove(b, true);
    externals_remove(b, true);    // already free: nothing
    externals_remove(-3, true);   // not an entry: nothing
    EXPECT_EQ(externals_mark(99999, nullptr), false);
    EXPECT_EQ(g_released, std::vector<void*>{obj(2)});
    EXPECT_EQ(g_externals.in_use_head, -1);
}

TEST_F(ExternalsTest, ValueSlotsReuseFreedSlotsAndGrow) {
    valslots_init();
    EXPECT_EQ(valslots_capacity(), kValslotsInitial);
    for (int32_t i = 1; i <= 100; i++) {
        Cell v = test::integer(i);
        ASSERT_EQ(valslots_store(&v), uint32_t(i));
    }
    valslots_free(0);
    valslots_free(5000);
    valslots_free(5);
    Cell v = test::integer(-5);
    EXPECT_EQ(valslots_store(&v), 5u);
    EXPECT_EQ(valslots_at(5)->data1, uint32_t(-5));
    Cell w = test::integer(101);
    EXPECT_EQ(valslots_store(&w), 101u);  // the block doubled
    EXPECT_EQ(valslots_capacity(), 2 * kValslotsInitial);
    EXPECT_EQ(valslots_at(100)->data1, 100u);
    EXPECT_EQ(valslots_at(0), nullptr);
    EXPECT_EQ(node_buffer(g_valslots.data2)->used_bytes(), 200 * sizeof(Cell));
}

TEST_F(ExternalsTest, FreeingAValueSlotTwiceFreesItOnce) {
    valslots_init();
    Cell a = test::integer(1), b = test::integer(2), c = test::integer(3);
    uint32_t first = valslots_store(&a);
    valslots_store(&b);
    valslots_free(first);
    valslots_free(first);
    valslots_free(kValslotsInitial);  // never stored: already free
    uint32_t again = valslots_store(&b);
    uint32_t next = valslots_store(&c);
    EXPECT_EQ(again, first);
    EXPECT_NE(next, first);  // a second free would have handed the slot out twice
    EXPECT_EQ(valslots_at(first)->data1, b.data1);
    EXPECT_EQ(valslots_at(next)->data1, c.data1);
}

}  // namespace
