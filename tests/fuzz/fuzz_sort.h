// What the sort fuzz targets share: the comparators they pass to
// sort/compare, and the check of a sort's output against the answers a
// comparator gives every pair of records.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tests/fuzz/fuzz_gen.h"

namespace kel::fuzz {

inline int sign(int64_t d) { return (d > 0) - (d < 0); }

struct Comparator {
    const char* text;
    enum Kind { Less, Greater, LessEqual, Const, Raise, RaiseAbove, Flip, Edit } kind;
    int constant = 0;  // the order a Const comparator gives every pair
};

// The comparators that look only at their two arguments.
inline const Comparator kPlainComparators[] = {
    {"func [x y] [x < y]", Comparator::Less},
    {":lesser?", Comparator::Less},
    {"func [x y] [x > y]", Comparator::Greater},
    {":greater?", Comparator::Greater},
    {"func [x y] [x <= y]", Comparator::LessEqual},
    {"func [x y] [0]", Comparator::Const, 0},
    {"func [x y] [none]", Comparator::Const, 1},
    {"func [x y] [\"s\"]", Comparator::Const, -1},
    {"func [x y] [-1.5]", Comparator::Const, -1},
    {"func [x y] [2]", Comparator::Const, 1},
    {"func [x y] [#(false)]", Comparator::Const, 1},
    {"func [x y] [1 / 0]", Comparator::Raise},
};

// One of the plain comparators or of a target's own (those that count,
// raise on some pairs or edit the series being sorted), all equally likely.
template <size_t N>
const Comparator* pick_comparator(Gen& g, const Comparator (&own)[N]) {
    constexpr size_t plain = sizeof kPlainComparators / sizeof kPlainComparators[0];
    uint32_t k = g.pick(plain + N);
    return k < plain ? &kPlainComparators[k] : &own[k - plain];
}

constexpr int kErr = 99;  // a comparison that raises

enum class Order { Exact, Weak, Any };

// How far the answers over every pair of records can be trusted.
inline Order classify(const std::vector<std::vector<int>>& m) {
    size_t n = m.size();
    bool total = true;
    for (size_t i = 0; i < n && total; i++)
        for (size_t j = 0; j < n && total; j++)
            if (i != j && m[i][j] != -m[j][i]) total = false;
    auto before = [&](size_t i, size_t j) { return m[i][j] <= 0 && m[j][i] > 0; };
    bool weak = true;
    for (size_t i = 0; i < n && weak; i++)
        for (size_t j = 0; j < n && weak; j++)
            for (size_t k = 0; k < n && weak; k++) {
                if (total && m[i][j] <= 0 && m[j][k] <= 0 && m[i][k] > 0) total = false;
                if (before(i, j) && before(j, k) && !before(i, k)) weak = false;
                bool eij = !before(i, j) && !before(j, i), ejk = !before(j, k) && !before(k, j);
                if (eij && ejk && (before(i, k) || before(k, i))) weak = false;
            }
    return total && weak ? Order::Exact : weak ? Order::Weak : Order::Any;
}

// Checks the records a sort gave (`out`, where output record k is input
// record which[k]) against `order`, the comparator's answer for every pair
// of input records (-1 the first first, 1 the second first, 0 a tie):
// exactly the stable order where the answers form a total preorder and the
// sort was stable, else no two neighbours the wrong way round where they
// form a weak order; anything where they form neither. The fault found, or
// nullptr.
template <class Record>
const char* sort_order_fault(const std::vector<std::vector<int>>& order, const std::vector<Record>& in,
                             const std::vector<Record>& out, const std::vector<int64_t>& which, bool stable) {
    Order kind = classify(order);
    if (kind == Order::Any) return nullptr;
    int64_t records = int64_t(in.size());
    if (kind == Order::Exact && stable) {
        std::vector<int64_t> expect(records);
        for (int64_t k = 0; k < records; k++) expect[k] = k;
        std::stable_sort(expect.begin(), expect.end(), [&](int64_t a, int64_t b) { return order[a][b] < 0; });
        for (int64_t k = 0; k < records; k++)
            if (!(in[expect[k]] == out[k])) return "stable sort gave another order";
        return nullptr;
    }
    for (int64_t k = 0; k + 1 < records; k++) {
        int64_t a = which[k], b = which[k + 1];
        if (order[b][a] <= 0 && order[a][b] > 0) return "sort left two records out of order";
    }
    return nullptr;
}

}  // namespace kel::fuzz
