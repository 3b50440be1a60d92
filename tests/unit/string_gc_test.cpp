// string! actions with a collection at every allocation, node evacuation
// included: a cell or node held across an allocation without a root would
// read freed or moved memory. The work runs in a child process, where a
// collection cannot reclaim runtime structures that later tests of this
// binary rely on. Only words-free values are used.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/gc.h"
#include "tests/unit/string_support.h"

using namespace kel;
using namespace kel::strtest;

namespace {

// Orders characters descending, allocating a string on every call.
void allocating_comparator(const Cell*, const Cell* a, const Cell* b, Cell* result) {
    RootedCell junk;
    string_make(junk.get(), 64);
    string_append_ascii(junk.get(), "garbage");
    cell_set(result, TYPE_LOGIC, a->data2 > b->data2 ? 1 : 0);
}

bool check(const char* what, const std::string& got, const std::string& want) {
    if (got == want) return true;
    std::fprintf(stderr, "%s: got %s, want %s\n", what, got.c_str(), want.c_str());
    return false;
}


[[noreturn]] void stress_run() {
    bool ok = true;
    // Series spread over several node frames, one in fifty kept alive: the
    // frames become sparse and then stable, and the collector evacuates them.
    RootedCell keep;
    block_make_at(keep.get(), 1000);
    for (int i = 0; i < 30000; i++) {
        Cell s;
        string_make(&s, 1);
        if (i % 50 == 0) block_append_value(keep.get(), &s);
    }
    RootedCell s, piece, wide, block, found, number, out, sorted, set1, set2, converted, trimmed;
    *s.get() = S("start");
    *piece.get() = S("-piece");
    *wide.get() = S("Ω");
    block_make_at(block.get(), 2);
    Cell one = I(1);
    block_append_value(block.get(), &one);
    block_append_value(block.get(), piece.get());
    *sorted.get() = S("dacbfe");
    *set1.get() = S("abcdefabc");
    *set2.get() = S("cxa");
    *trimmed.get() = S("  a \n  b  \n");

    uint32_t collections = g_gc.series_cycles, evacuations = g_gc.nodes_cycles;
    g_gc.stress_every = 1;
    g_gc_enabled = true;
    // The same edits on a model of the text.
    std::u32string model = U"start";
    for (int i = 0; i < 10; i++) {
        string_append(s.get(), piece.get(), -1, false, 2, true);
        model += U"-piece-piece";
        s.get()->data1 = 3;
        string_insert(s.get(), wide.get(), -1, false, 1, false);
        model.insert(model.begin() + 3, U'Ω');
        string_append(s.get(), block.get(), -1, false, 1, true);
        model += U"1-piece";
        s.get()->data1 = 1;
        string_change(s.get(), piece.get(), 2, false, 1);
        model.replace(1, 2, U"-piece");
        s.get()->data1 = 0;
    }
    RootedCell self(s.get());
    self.get()->data1 = 7;
    string_insert(s.get(), self.get(), 3, false, 2, false);  // three characters of itself, twice
    model.insert(0, model.substr(7, 3) + model.substr(7, 3));
    s.get()->data1 = 0;
    *found.get() = *s.get();
    *number.get() = I(1);
    string_find(found.get(), number.get(), FindArgs{});
    string_make(out.get(), 4);
    string_mold(s.get(), out.get(), false, false, false, nullptr, kNoPartLimit, 0);
    Cell fn{TYPE_FUNCTION, 0, 0, 0};
    g_sort_comparator_call = allocating_comparator;
    SortArgs by_fn;
    by_fn.compare = &fn;
    string_sort(sorted.get(), by_fn);
    g_sort_comparator_call = nullptr;
    Cell* united = string_set_op(set1.get(), set2.get(), false, nullptr, OP_UNION);
    RootedCell union_result(united);
    Cell proto = test::datatype_cell(TYPE_STRING);
    *converted.get() = *block.get();
    string_to(&proto, converted.get(), TYPE_STRING);
    *converted.get() = proto;
    string_trim(trimmed.get(), TrimArgs{});
    g_gc_enabled = false;
    g_gc.stress_every = 0;

    if (g_gc.series_cycles - collections < 20 || g_gc.nodes_cycles == evacuations) {
        std::fprintf(stderr, "only %u collections, %u evacuating\n", g_gc.series_cycles - collections,
                     g_gc.nodes_cycles - evacuations);
        ok = false;
    }
    std::u32string got;
    for (uint32_t i = 0; i < string_length_total(s.get()); i++) got += char32_t(string_get_char_at(node_buffer(s.get()->data2), i));
    if (got != model) {
        std::fprintf(stderr, "edits differ from the model\n");
        ok = false;
    }
    std::string text_s = whole(*s.get());
    ok &= check("found", std::to_string(found.get()->data1), std::to_string(model.find(U'1')));
    std::string braced(1, '{');
    braced.append(text_s).push_back('}');
    ok &= check("mold", whole(*out.get()), braced);
    ok &= check("sort", whole(*sorted.get()), "fedcba");
    ok &= check("union", whole(*union_result.get()), "abcdefx");
    ok &= check("to", whole(*converted.get()), "1-piece");
    ok &= check("trim", whole(*trimmed.get()), "a\nb\n");
    std::exit(ok ? 0 : 1);
}

TEST_F(StringTest, ActionsSurviveACollectionAtEveryAllocation) {
    EXPECT_EXIT(stress_run(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
