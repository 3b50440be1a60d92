// The stable merge sort and the quicksort over raw elements.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "runtime/cell.h"
#include "runtime/error.h"
#include "runtime/sort.h"

using namespace kel;

namespace {

using Sorter = void (*)(void*, uint32_t, uint32_t, uintptr_t, uintptr_t, SortCompare);

struct NamedSorter {
    const char* name;
    Sorter sort;
};
const NamedSorter kSorters[] = {{"stable", sort_stable}, {"quick", sort_quick}};

// Counts the callback's calls and can throw at a chosen one; passed as flags2.
struct Probe {
    uint64_t calls = 0;
    uint64_t throw_at = 0;  // 0: never
    void hit() {
        if (++calls == throw_at) error_raise(ErrCat::Script, "test-throw");
    }
};

// Cells ordered by data1 as a signed integer; data2 carries the input position.
int32_t compare_cells(const void* x, const void* y, uintptr_t, uintptr_t probe) {
    if (probe) reinterpret_cast<Probe*>(probe)->hit();
    int32_t a, b;
    std::memcpy(&a, &static_cast<const Cell*>(x)->data1, 4);
    std::memcpy(&b, &static_cast<const Cell*>(y)->data1, 4);
    return (a > b) - (a < b);
}

std::vector<Cell> cells_of(const std::vector<int32_t>& keys) {
    std::vector<Cell> cells(keys.size());
    for (size_t i = 0; i < keys.size(); i++)
        cell_set(&cells[i], TYPE_INTEGER, static_cast<uint32_t>(keys[i]), static_cast<uint32_t>(i), 0);
    return cells;
}

bool cell_less(const Cell& a, const Cell& b) {
    return static_cast<int32_t>(a.data1) < static_cast<int32_t>(b.data1);
}

// The exact result a stable sort must give.
std::vector<Cell> stable_reference(std::vector<Cell> cells) {
    std::stable_sort(cells.begin(), cells.end(), cell_less);
    return cells;
}

bool same_cells(const std::vector<Cell>& a, const std::vector<Cell>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Cell)) == 0);
}

// Same cells in any order (data2 identifies each cell).
bool is_permutation_of(std::vector<Cell> a, std::vector<Cell> b) {
    auto by_id = [](const Cell& x, const Cell& y) { return x.data2 < y.data2; };
    std::sort(a.begin(), a.end(), by_id);
    std::sort(b.begin(), b.end(), by_id);
    return same_cells(a, b);
}

enum class Pattern { Random, FewKeys, Sorted, Reversed, Noisy, OrganPipe, Sawtooth, DescendingTies, SortedHead };

std::vector<int32_t> make_keys(Pattern p, size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<int32_t> k(n);
    for (size_t i = 0; i < n; i++) {
        int32_t v = static_cast<int32_t>(i);
        switch (p) {
        case Pattern::Random: v = static_cast<int32_t>(rng()); break;
        case Pattern::FewKeys: v = static_cast<int32_t>(rng() % 4); break;
        case Pattern::Sorted: break;
        case Pattern::Reversed: v = static_cast<int32_t>(n - i); break;
        case Pattern::Noisy: v = rng() % 50 == 0 ? static_cast<int32_t>(rng() % (n + 1)) : v; break;
        case Pattern::OrganPipe: v = static_cast<int32_t>(i < n / 2 ? i : n - i); break;
        case Pattern::Sawtooth: v = static_cast<int32_t>(i % 97); break;
        case Pattern::DescendingTies: v = static_cast<int32_t>((n - i) / 3); break;
        case Pattern::SortedHead: v = i < n / 2 ? v : static_cast<int32_t>(rng() % (n + 1)); break;
        }
        k[i] = v;
    }
    return k;
}

TEST(Sort, OrderedInputCostsOneComparisonPerPair) {
    for (const auto& s : kSorters) {
        for (size_t n : {0, 1, 2, 3, 23, 24, 25, 100, 5000}) {
            for (bool reversed : {false, true}) {
                std::vector<int32_t> keys(n);
                for (size_t i = 0; i < n; i++) keys[i] = static_cast<int32_t>(reversed ? n - i : i);
                auto cells = cells_of(keys);
                auto expect = stable_reference(cells);
                Probe probe;
                s.sort(cells.data(), static_cast<uint32_t>(n), 16, 0, reinterpret_cast<uintptr_t>(&probe),
                       compare_cells);
                EXPECT_EQ(probe.calls, n ? n - 1 : 0) << s.name << " n=" << n << " reversed=" << reversed;
                EXPECT_TRUE(same_cells(cells, expect)) << s.name << " n=" << n;
            }
        }
    }
}

// Ties keep input order, also inside descending stretches (only strictly
// descending runs are reversed) and across every merge shape.
TEST(Sort, StableMatchesReferenceOnManyShapes) {
    const Pattern patterns[] = {Pattern::Random,    Pattern::FewKeys,  Pattern::Noisy,
                                Pattern::OrganPipe, Pattern::Sawtooth, Pattern::DescendingTies,
                                Pattern::SortedHead};
    std::vector<size_t> sizes;
    for (size_t n = 0; n <= 130; n++) sizes.push_back(n);
    for (size_t n : {255, 256, 257, 1000, 4097, 30000, 100003}) sizes.push_back(n);
    for (Pattern p : patterns) {
        for (size_t n : sizes) {
            auto cells = cells_of(make_keys(p, n, static_cast<uint32_t>(n)));
            auto expect = stable_reference(cells);
            sort_stable(cells.data(), static_cast<uint32_t>(n), 16, 0, 0, compare_cells);
            ASSERT_TRUE(same_cells(cells, expect)) << "pattern " << int(p) << " n=" << n;
        }
    }
}

TEST(Sort, QuickSortsManyShapesInLogLinearComparisons) {
    const Pattern patterns[] = {Pattern::Random,   Pattern::FewKeys,   Pattern::Sorted,
                                Pattern::Reversed, Pattern::Noisy,     Pattern::OrganPipe,
                                Pattern::Sawtooth, Pattern::DescendingTies, Pattern::SortedHead};
    std::vector<size_t> sizes;
    for (size_t n = 0; n <= 130; n++) sizes.push_back(n);
    for (size_t n : {511, 512, 513, 1000, 4097, 30000, 100003}) sizes.push_back(n);
    for (Pattern p : patterns) {
        for (size_t n : sizes) {
            auto input = cells_of(make_keys(p, n, static_cast<uint32_t>(n) + 7));
            auto cells = input;
            Probe probe;
            sort_quick(cells.data(), static_cast<uint32_t>(n), 16, 0, reinterpret_cast<uintptr_t>(&probe),
                       compare_cells);
            ASSERT_TRUE(std::is_sorted(cells.begin(), cells.end(), cell_less)) << "pattern " << int(p) << " n=" << n;
            ASSERT_TRUE(is_permutation_of(cells, input)) << "pattern " << int(p) << " n=" << n;
            if (n >= 1000) {
                double bound = 3.0 * n * std::log2(double(n));
                EXPECT_LT(double(probe.calls), bound) << "pattern " << int(p) << " n=" << n;
            }
        }
    }
}

// Elements of any size: the key is the first one or two bytes, the remaining
// bytes carry the input position, so the exact stable result is known.
uint32_t elem_key(const uint8_t* p, uintptr_t size) {
    if (size == 1) return p[0];
    uint16_t k;
    std::memcpy(&k, p, 2);
    return k;
}

int32_t compare_bytes(const void* x, const void* y, uintptr_t size, uintptr_t) {
    uint32_t a = elem_key(static_cast<const uint8_t*>(x), size), b = elem_key(static_cast<const uint8_t*>(y), size);
    return (a > b) - (a < b);
}

TEST(Sort, ElementsOfEverySize) {
    std::mt19937 rng(3);
    for (uint32_t size : {1u, 2u, 3u, 4u, 6u, 8u, 12u, 16u, 32u, 48u}) {
        for (size_t n : {2, 7, 8, 9, 50, 777, 6000}) {
            std::vector<std::string> elems(n, std::string(size, '\0'));
            for (size_t i = 0; i < n; i++) {
                for (uint32_t b = 0; b < size; b++) elems[i][b] = static_cast<char>(b < 2 ? rng() % 40 : i >> (8 * (b % 4)));
            }
            std::string flat;
            for (auto& e : elems) flat += e;

            auto by_key = [size](const std::string& a, const std::string& b) {
                return compare_bytes(a.data(), b.data(), size, 0) < 0;
            };
            auto expect = elems;
            std::stable_sort(expect.begin(), expect.end(), by_key);
            std::string expect_flat;
            for (auto& e : expect) expect_flat += e;

            std::string got = flat;
            sort_stable(got.data(), static_cast<uint32_t>(n), size, size, 0, compare_bytes);
            EXPECT_EQ(got, expect_flat) << "stable size=" << size << " n=" << n;

            got = flat;
            sort_quick(got.data(), static_cast<uint32_t>(n), size, size, 0, compare_bytes);
            std::vector<std::string> quick(n);
            for (size_t i = 0; i < n; i++) quick[i] = got.substr(i * size, size);
            EXPECT_TRUE(std::is_sorted(quick.begin(), quick.end(), by_key)) << "quick size=" << size << " n=" << n;
            std::sort(quick.begin(), quick.end());
            std::sort(expect.begin(), expect.end());
            EXPECT_EQ(quick, expect) << "quick size=" << size << " n=" << n;
        }
    }
}

TEST(Sort, SwapByBytesOrWords) {
    uint8_t a[16], b[16];
    for (uint32_t size : {6u, 16u}) {
        for (int i = 0; i < 16; i++) a[i] = uint8_t(i), b[i] = uint8_t(100 + i);
        sort_swap(a, b, size, size % 4 != 0);
        for (int i = 0; i < 16; i++) {
            EXPECT_EQ(a[i], uint32_t(i) < size ? 100 + i : i) << size;
            EXPECT_EQ(b[i], uint32_t(i) < size ? i : 100 + i) << size;
        }
    }
}

TEST(Sort, FindRunReversesOnlyStrictDescent) {
    struct Case {
        std::vector<int32_t> keys;
        size_t run;
        std::vector<uint32_t> order;  // input positions of the run's cells afterwards
    } cases[] = {
        {{7}, 1, {0}},
        {{1, 2, 2, 3, 1}, 4, {0, 1, 2, 3}},
        {{5, 4, 3, 3, 2}, 3, {2, 1, 0}},
        {{2, 2, 1, 0}, 2, {0, 1}},
        {{9, 8, 7, 6}, 4, {3, 2, 1, 0}},
    };
    for (auto& c : cases) {
        auto cells = cells_of(c.keys);
        auto* start = reinterpret_cast<uint8_t*>(cells.data());
        uint8_t* end = sort_find_run(start, start + 16 * cells.size(), 16, 0, 0, compare_cells);
        ASSERT_EQ(size_t(end - start) / 16, c.run);
        for (size_t i = 0; i < c.run; i++) EXPECT_EQ(cells[i].data2, c.order[i]);
    }
}

TEST(Sort, MergeRunsKeepsLeftTiesFirstInBothDirections) {
    // Left shorter merges forwards, right shorter backwards.
    for (auto [left, right] : {std::pair{std::vector<int32_t>{1, 3}, std::vector<int32_t>{1, 2, 3, 3}},
                               std::pair{std::vector<int32_t>{1, 1, 3, 5}, std::vector<int32_t>{1, 3}}}) {
        std::vector<int32_t> keys = left;
        keys.insert(keys.end(), right.begin(), right.end());
        auto cells = cells_of(keys);
        auto expect = stable_reference(cells);
        auto* lo = reinterpret_cast<uint8_t*>(cells.data());
        std::vector<uint8_t> temp(16 * std::min(left.size(), right.size()));
        sort_merge_runs(lo, lo + 16 * left.size(), lo + 16 * cells.size(), temp.data(),
                        SortContext{16, 0, 0, compare_cells});
        EXPECT_TRUE(same_cells(cells, expect));
    }
}

// An inconsistent callback must never lead outside the array (the sanitizer
// build checks every access) nor loop forever; the cells stay a permutation.
int32_t compare_random(const void*, const void*, uintptr_t rng, uintptr_t) {
    return static_cast<int32_t>((*reinterpret_cast<std::mt19937*>(rng))() % 3) - 1;
}
int32_t compare_always_after(const void*, const void*, uintptr_t, uintptr_t) { return 1; }
int32_t compare_always_before(const void*, const void*, uintptr_t, uintptr_t) { return -1; }

TEST(Sort, InconsistentCallbackStaysInBounds) {
    std::mt19937 rng(11);
    for (const auto& s : kSorters) {
        for (SortCompare cmp : {compare_random, compare_always_after, compare_always_before}) {
            for (size_t n : {2, 3, 7, 8, 9, 25, 63, 64, 100, 511, 600, 3000, 20000}) {
                for (int round = 0; round < 4; round++) {
                    auto input = cells_of(make_keys(Pattern::Random, n, uint32_t(round)));
                    // An exact-size heap block so that any stray access is caught.
                    std::unique_ptr<Cell[]> block(new Cell[n]);
                    std::copy(input.begin(), input.end(), block.get());
                    s.sort(block.get(), static_cast<uint32_t>(n), 16, reinterpret_cast<uintptr_t>(&rng), 0, cmp);
                    std::vector<Cell> out(block.get(), block.get() + n);
                    ASSERT_TRUE(is_permutation_of(out, input)) << s.name << " n=" << n;
                }
            }
        }
    }
}

// A callback that throws midway leaves every cell in the array once.
TEST(Sort, ThrowingCallbackLeavesPermutation) {
    for (const auto& s : kSorters) {
        for (Pattern p : {Pattern::Random, Pattern::Noisy, Pattern::FewKeys}) {
            auto input = cells_of(make_keys(p, 3000, 5));
            for (uint64_t at : {1, 2, 30, 500, 3100, 9000, 20000, 30000}) {
                auto cells = input;
                Probe probe;
                probe.throw_at = at;
                bool thrown = false;
                try {
                    s.sort(cells.data(), static_cast<uint32_t>(cells.size()), 16, 0,
                           reinterpret_cast<uintptr_t>(&probe), compare_cells);
                } catch (const KelThrow& t) {
                    thrown = true;
                    EXPECT_EQ(t.id, "test-throw");
                }
                EXPECT_EQ(thrown, probe.calls >= at) << s.name;
                ASSERT_TRUE(is_permutation_of(cells, input)) << s.name << " pattern " << int(p) << " at " << at;
            }
        }
    }
}

TEST(Sort, StableBufferBeyond31BitsIsTooLong) {
    // The size check comes before any access, so no array is needed.
    alignas(16) static uint8_t dummy[16];
    struct Case {
        uint32_t count, size;
    } cases[] = {{0x10000000u, 16}, {0x08000000u, 32}, {0xFFFFFFFFu, 1u << 20}};
    for (auto c : cases) {
        try {
            sort_stable(dummy, c.count, c.size, 0, 0, compare_cells);
            ADD_FAILURE() << c.count << " x " << c.size;
        } catch (const KelThrow& t) {
            EXPECT_EQ(t.category, ErrCat::Script);
            EXPECT_EQ(t.id, "too-long");
        }
    }
}

}  // namespace
