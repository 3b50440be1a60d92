// Differential fuzz target for sorting and the set operations on text: the
// input builds a string!, file! or url! of unit 1, 2 or 4 (never narrower
// than its widest character) from letters whose case partners differ in
// width or have several preimages, NUL, controls and characters above
// U+FFFF, from any index (past the tail too), then runs a few steps through
// the interpreter, with the argument cells put in place as globals, and the
// same steps on a plain model here (the characters and the index).
//
// Sorting: sort with /case, /skip (sizes that do not divide the length too),
// /compare (an offset in the record, a block, functions: consistent ones,
// ones that answer every pair alike, inconsistent ones, ones that raise on
// some or all pairs, ones that change the text being sorted), /part (a
// count, a position of the same text, past the tail too, or a value /part
// refuses), /all, /reverse, /stable. The comparison folds through the case
// maps (upper case) unless /case, whatever the unit. Without a function the
// order is a total preorder: /stable must give exactly the stable order, any
// sort an ordered permutation of the records. With a function the model
// asks it about every pair: a total preorder fixes a stable sort's result, a
// strict weak order asks for an ordered result, anything else a
// permutation. A comparator that raises leaves the text as it was.
//
// Set operations: unique, union, intersect, exclude, difference with /case
// and /skip, against text of another unit, the text itself at another index
// or as another type: records in order of first occurrence, keyed by their
// first character, the result a new series of the first one's type at its
// head, in the narrowest unit for its characters. Only string! is sorted, and
// the set natives take only string!: file! and url! must be refused there,
// and go to the set engine directly as well.
#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <vector>

#include "runtime/case_fold.h"
#include "runtime/cell.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/memory.h"
#include "runtime/platform/console.h"
#include "runtime/stack.h"
#include "runtime/startup.h"
#include "tests/fuzz/fuzz_gen.h"
#include "tests/fuzz/fuzz_run.h"
#include "tests/fuzz/fuzz_sort.h"
#include "tests/fuzz/fuzz_text.h"

using namespace kel;

namespace {

using fuzz::case_partner;
using fuzz::Comparator;
using fuzz::fold;
using fuzz::Gen;
using fuzz::kErr;
using fuzz::sign;
using Text = std::u32string;

const uint32_t kLetters[] = {
    'a', 'A', 'b', 'k', 'K', 0x212A, 's', 'S', 0x17F, 0xDF, 0x1E9E, 'i', 'I', 0x130, 0x131, 0x3A3, 0x3C3, 0x3C2,
    0xB5, 0x39C, 0x3BC, 0xFF, 0x178, 0xE9, 0xC9, 0x345, 0x3B9, 0x399, 0x1FBE, 0x390, 0x1C4, 0x1C5, 0x1C6, 'f',
    'F', 0xFB00, 0x10428, 0x10400, 0x1E922, 0x1E900, '1', '2', '-', '_', 'n', ' ', 0, 1, 0x1F, 0x7F, 0xFFFF,
    0x1F600, 0x10FFFF,
};
constexpr uint32_t kLetterCount = sizeof kLetters / sizeof kLetters[0];

const int32_t kCounts[] = {0, 1, 2, 3, -1, -2, -3, 5, 2147483647, -2147483647 - 1, 2147483646, 100};

uint32_t code_point(Gen& g) {
    uint32_t k = g.pick(10);
    if (k == 8) return (g.byte() << 16 | g.byte() << 8 | g.byte()) % 0x110000;
    if (k == 9) return 'a' + g.pick(4);
    return kLetters[g.pick(kLetterCount)];
}

uint32_t text_type(Gen& g) {
    uint32_t k = g.pick(8);
    return k == 6 ? TYPE_FILE : k == 7 ? TYPE_URL : TYPE_STRING;
}

uint32_t narrowest_unit(const Text& t) {
    uint32_t widest = 0;
    for (char32_t c : t) widest = std::max<uint32_t>(widest, c);
    return widest <= 0xFF ? 1 : widest <= 0xFFFF ? 2 : 4;
}

uint32_t pick_unit(Gen& g, const Text& t) {
    static const uint32_t kUnits[] = {1, 2, 4};
    return std::max(narrowest_unit(t), kUnits[g.pick(3)]);
}

void make_text(Cell* out, const Text& cps, uint32_t unit, uint32_t type) {
    string_make(out, uint32_t(cps.size()) + 1, unit, type);
    for (char32_t c : cps) string_append_char(out, c);
}

// Every character of a text buffer from its first unit.
Text whole_text(const Cell* v) {
    SeriesBuf* b = node_buffer(v->data2);
    Text out;
    for (uint32_t i = 0; i < b->used_bytes() / b->unit(); i++) out += char32_t(string_get_char_at(b, i));
    return out;
}

std::string hex(const Text& t, int64_t head = -1) {
    std::string s;
    char buf[16];
    for (size_t i = 0; i < t.size(); i++) {
        std::snprintf(buf, sizeof buf, "%s%s%X", i > 0 ? " " : "", int64_t(i) == head ? "|" : "", uint32_t(t[i]));
        s += buf;
    }
    if (head >= int64_t(t.size())) s += "|";
    return s;
}

std::string type_name(uint32_t t) { return t == TYPE_FILE ? "file!" : t == TYPE_URL ? "url!" : "string!"; }

// ---- running Kel code -----------------------------------------------------------------------------

struct Outcome {
    bool error = false;
    std::string id;
};

std::string g_log;  // the steps so far, for the report

[[noreturn]] void fail(const std::string& what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_strsort: %s\n--- steps:\n%s--- %s\n", what.c_str(), g_log.c_str(), detail.c_str());
    std::abort();
}

// Loads and runs `code` (on the interpreter's big stack, where the whole
// run takes place).
Outcome run_code(const std::string& code) {
    static const bool trace = std::getenv("KEL_FUZZ_TRACE") != nullptr;
    if (trace) std::fprintf(stderr, "%s\n", code.c_str());
    Outcome o;
    Cell* top = g_stack.top;
    CallFrame* frame = g_stack.frame_top;
    Cell block{TYPE_NONE, 0, 0, 0}, out{TYPE_NONE, 0, 0, 0};
    GcRootCell root(&block), keep(&out);
    try {
        fuzz::load_and_do(code, &block, &out);
    } catch (const KelThrow& t) {
        o.error = true;
        o.id = t.id;
    }
    if (g_stack.top != top || g_stack.frame_top != frame) fail("cells or frames left on the stacks", code);
    return o;
}

// The value cell of a global word (defined at start). Valid until the next
// allocation.
Cell* global(const char* name) {
    Cell word;
    word_from_cstring(&word, name);
    return const_cast<Cell*>(word_get_any(&word));
}

// ---- the model ------------------------------------------------------------------------------------

// The text `fz-s` holds: its characters, index and type.
struct Model {
    Text cps;
    int64_t head = 0;
    uint32_t type = TYPE_STRING;
};

Model read_series(const char* name) {
    Cell* c = global(name);
    Model m;
    m.type = c->type();
    if (m.type != TYPE_STRING && m.type != TYPE_FILE && m.type != TYPE_URL) fail(std::string(name) + " is no longer text", "");
    m.head = c->data1;
    m.cps = whole_text(c);
    return m;
}

// ---- sort -----------------------------------------------------------------------------------------

// The comparators of this target beside the plain ones: they raise on some
// pairs, count, or edit the text being sorted.
const Comparator kOwnComparators[] = {
    {"func [x y] [if x > y [1 / 0] true]", Comparator::RaiseAbove},
    {"func [x y] [fz-n: fz-n + 1 either odd? fz-n [1] [-1]]", Comparator::Flip},
    {"func [x y] [clear fz-s x < y]", Comparator::Edit},
    {"func [x y] [append fz-s x true]", Comparator::Edit},
    {"func [x y] [insert head fz-s #\"^(1F600)\" none]", Comparator::Edit},
    {"func [x y] [uppercase fz-s false]", Comparator::Edit},
    {"func [x y] [sort fz-s 1]", Comparator::Edit},
    {"func [x y] [sort/compare fz-s func [p q] [remove fz-s 1] 0]", Comparator::Edit},
    {"func [x y] [remove/part head fz-s 3 true]", Comparator::Edit},
};

// `<` on two texts of one type: folded, then by length.
int compare_texts(const Text& a, const Text& b) {
    for (size_t k = 0; k < std::min(a.size(), b.size()); k++) {
        uint32_t x = fold(a[k]), y = fold(b[k]);
        if (x != y) return x < y ? -1 : 1;
    }
    return sign(int64_t(a.size()) - int64_t(b.size()));
}

struct SortStep {
    bool case_ = false, all = false, reverse = false, stable = false;
    bool has_skip = false, has_compare = false, has_part = false;
    int64_t skip = 1;
    int64_t offset = 0;  // /compare with an integer
    const Comparator* fn = nullptr;
    bool block_compare = false;  // /compare with a block (refused)
    enum PartKind { Count, At, SameOtherType, Float, Other } part_kind = Count;
    int64_t part = 0;
};

// The order the sort asks for between records a and b (-1 a first, 1 b
// first, 0 tie), or kErr.
int order_of(const SortStep& s, const Text& a, const Text& b) {
    if (s.reverse) {
        SortStep t = s;
        t.reverse = false;
        return order_of(t, b, a);
    }
    size_t offset = s.fn ? 0 : size_t(s.offset ? s.offset - 1 : 0);
    if (!s.fn) {
        auto one = [&](uint32_t x, uint32_t y) {
            if (!s.case_) x = fold(x), y = fold(y);
            return sign(int64_t(x) - int64_t(y));
        };
        if (!s.all) return one(a[offset], b[offset]);
        for (size_t k = 0; k < a.size(); k++)
            if (int r = one(a[k], b[k])) return r;
        return 0;
    }
    // A function gets two chars, or with /all two texts of the records.
    int r = s.all ? compare_texts(a, b) : sign(int64_t(a[offset]) - int64_t(b[offset]));
    switch (s.fn->kind) {
    case Comparator::Less: return r < 0 ? -1 : 1;
    case Comparator::Greater: return r > 0 ? -1 : 1;
    case Comparator::LessEqual: return r <= 0 ? -1 : 1;
    case Comparator::Const: return s.fn->constant;
    case Comparator::Raise: return kErr;
    case Comparator::RaiseAbove: return r > 0 ? kErr : -1;
    default: return 0;
    }
}

std::string sort_code(const SortStep& s) {
    std::string path = "sort", args = " fz-s";
    if (s.case_) path += "/case";
    if (s.has_skip) path += "/skip", args += " " + std::to_string(s.skip);
    if (s.has_compare) {
        path += "/compare";
        args += s.fn ? " " + std::string(s.fn->text) : s.block_compare ? " [a]" : " " + std::to_string(s.offset);
    }
    if (s.has_part) {
        path += "/part";
        args += s.part_kind == SortStep::Count ? " " + std::to_string(s.part) : s.part_kind == SortStep::Float ? " 2.0" : " fz-p";
    }
    if (s.all) path += "/all";
    if (s.reverse) path += "/reverse";
    if (s.stable) path += "/stable";
    return "fz-n: 0 fz-r: " + path + args;
}

void check_sort(Gen& g, Model& m) {
    SortStep s;
    uint32_t flags = g.byte(), more = g.byte();
    s.reverse = flags & 1;
    s.stable = flags & 2;
    s.case_ = flags & 4;
    s.has_skip = flags & 8;
    s.all = s.has_skip ? (more & 1) : (more & 7) == 7;
    s.has_part = (flags & 48) == 48;
    s.has_compare = flags & 64 || flags & 128;
    int64_t total = int64_t(m.cps.size());
    if (s.has_skip) {
        uint32_t k = g.pick(16);
        s.skip = k == 14 ? int64_t(kCounts[g.pick(sizeof kCounts / sizeof kCounts[0])]) : k == 15 ? int64_t(2147483648) : 1 + g.pick(5);
    }
    if (s.has_compare) {
        uint32_t k = g.pick(4);
        if (k == 0) s.offset = g.pick(8) == 0 ? int64_t(kCounts[g.pick(sizeof kCounts / sizeof kCounts[0])]) : int64_t(1 + g.pick(4));
        else if (k == 1 && g.pick(8) == 0) s.block_compare = true;
        else s.fn = fuzz::pick_comparator(g, kOwnComparators);
    }
    if (s.has_part) {
        uint32_t k = g.pick(16);
        if (k <= 5) s.part_kind = SortStep::Count, s.part = k == 0 ? kCounts[g.pick(sizeof kCounts / sizeof kCounts[0])] : int64_t(g.pick(9)) - 4;
        else if (k <= 12) s.part_kind = SortStep::At, s.part = g.pick(uint32_t(total) + 3);
        else if (k == 13) s.part_kind = SortStep::SameOtherType;
        else if (k == 14) s.part_kind = SortStep::Float;
        else s.part_kind = SortStep::Other;
    }
    // The /part position: a cell of the same buffer, or another text.
    if (s.has_part && s.part_kind != SortStep::Count && s.part_kind != SortStep::Float) {
        RootedCell p;
        if (s.part_kind == SortStep::Other) {
            make_text(p.get(), U"ab", 1, m.type);
        } else {
            *p = *global("fz-s");
            if (s.part_kind == SortStep::At) p->data1 = uint32_t(s.part);
            else cell_set_type(p.get(), m.type == TYPE_STRING ? TYPE_FILE : TYPE_STRING);
        }
        *global("fz-p") = *p;
    }
    std::string code = sort_code(s);
    g_log += code + (s.has_part && s.part_kind == SortStep::At ? "    ; fz-p at " + std::to_string(s.part) : "") + "\n";

    // The expected outcome, in the order the action checks its arguments.
    std::string error;
    int64_t start = std::min(m.head, total), n = total - start, size = 1;
    bool sorts = true;
    // Files and URLs have no sort; a float is no record size.
    if (m.type != TYPE_STRING || (s.has_skip && s.skip > INT32_MAX)) error = "expect-arg";
    if (error.empty() && s.has_part) {
        int64_t count = 0;
        if (s.part_kind == SortStep::Count) count = s.part;
        else if (s.part_kind == SortStep::At) count = std::min(s.part, total) - start;
        else error = "invalid-refine-arg";
        if (error.empty()) {
            if (count < 0) {
                if (start + count < 0) start = 0, n = 0;
                else start += count, n = -count;
            } else n = std::min(n, count);
        }
    }
    if (error.empty() && n == 0) sorts = false;
    if (error.empty() && sorts) {
        if (s.has_skip) {
            size = s.skip;
            if (size < 1 || n < size || n % size != 0) error = "invalid-refine-arg";
        } else if (s.all) error = "bad-refines";
    }
    if (error.empty() && sorts && s.has_compare && !s.fn) {
        if (s.block_compare) error = "invalid-refine-arg";
        else if (!s.has_skip || s.all) error = "bad-refines";
        else if (s.offset < 1 || s.offset > size) error = "out-of-range";
    }
    if (error.empty() && sorts && (n < 2 || n == size)) sorts = false;
    bool edits = s.fn && s.fn->kind == Comparator::Edit;

    Model before = m;
    Outcome o = run_code(code);
    m = read_series("fz-s");
    std::string detail = hex(before.cps, before.head) + "\n    -> " + hex(m.cps, m.head);
    if (m.head != before.head || m.type != before.type) fail("sort moved fz-s", detail);
    if (!error.empty()) {
        if (!o.error || o.id != error) fail("sort gave another outcome", "expected " + error + ", got " + (o.error ? o.id : "no error"));
        if (m.cps != before.cps) fail("a refused sort changed the text", detail);
        return;
    }
    if (edits) {
        // The comparator changed the text under the sort: only no crash,
        // and what it may raise.
        if (o.error && o.id != "zero-divide" && o.id != "no-memory") fail("sort raised " + o.id, detail);
        return;
    }
    if (o.error) {
        bool may_raise = s.fn && sorts && (s.fn->kind == Comparator::Raise || s.fn->kind == Comparator::RaiseAbove);
        if (!may_raise || o.id != "zero-divide") fail("sort raised " + o.id, detail);
        if (m.cps != before.cps) fail("a sort that raised changed the text", detail);
        return;
    }
    Cell* r = global("fz-r");
    if (r->type() != m.type || r->data2 != global("fz-s")->data2 || int64_t(r->data1) != start)
        fail("sort gave another position", "expected index " + std::to_string(start) + ", got type " +
                                                std::to_string(r->type()) + " index " + std::to_string(r->data1));
    if (node_buffer(global("fz-s")->data2)->unit() < narrowest_unit(m.cps)) fail("the unit is too narrow", detail);
    int64_t records = sorts ? n / size : 0;
    for (int64_t k = 0; k < total; k++)
        if ((k < start || k >= start + records * size) && m.cps[k] != before.cps[k])
            fail("sort changed a character outside its range", detail);
    if (records < 2) {
        if (m.cps != before.cps) fail("a sort of one record changed it", detail);
        return;
    }
    std::vector<Text> in(records), out(records);
    for (int64_t k = 0; k < records; k++) {
        in[k] = before.cps.substr(start + k * size, size);
        out[k] = m.cps.substr(start + k * size, size);
    }
    {
        std::vector<Text> a = in, b = out;
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        if (a != b) fail("sort lost or made a record", detail);
    }
    if (!s.fn) {
        // A total preorder: exactly the stable order, or ordered.
        if (s.stable) {
            std::vector<Text> expect = in;
            std::stable_sort(expect.begin(), expect.end(), [&](const Text& a, const Text& b) { return order_of(s, a, b) < 0; });
            if (expect != out) {
                Text want = before.cps.substr(0, start);
                for (const Text& t : expect) want += t;
                want += before.cps.substr(start + records * size);
                fail("stable sort gave another order", detail + "\n    expected " + hex(want, start));
            }
        } else {
            for (int64_t k = 0; k + 1 < records; k++)
                if (order_of(s, out[k], out[k + 1]) > 0) fail("sort left two records out of order", detail);
        }
        return;
    }
    if (s.fn->kind == Comparator::Flip || records > 48) return;  // any permutation; the model grows with the cube
    std::vector<std::vector<int>> order(records, std::vector<int>(records));
    for (int64_t i = 0; i < records; i++)
        for (int64_t j = 0; j < records; j++)
            if (i != j) {
                order[i][j] = order_of(s, in[i], in[j]);
                if (order[i][j] == kErr) return;  // it did not raise: any permutation
            }
    // Map each output record to an input record with the same text (any
    // one: equal texts answer alike).
    std::vector<int64_t> which(records);
    std::vector<bool> used(records);
    for (int64_t k = 0; k < records; k++) {
        int64_t j = 0;
        while (used[j] || in[j] != out[k]) j++;
        used[j] = true;
        which[k] = j;
    }
    if (const char* fault = fuzz::sort_order_fault(order, in, out, which, s.stable)) fail(fault, detail);
}

// ---- set operations -------------------------------------------------------------------------------

const char* const kOps[] = {"unique", "union", "intersect", "exclude", "difference"};
const int32_t kOpCodes[] = {OP_UNIQUE, OP_UNION, OP_INTERSECT, OP_EXCLUDE, OP_DIFFERENCE};

Text set_op_model(uint32_t op, const Text& a, const Text& b, bool case_, size_t size) {
    auto key = [&](uint32_t c) { return case_ ? c : fold(c); };
    auto starts = [&](const Text& t) {
        std::unordered_set<uint32_t> set;
        for (size_t i = 0; i < t.size(); i += size) set.insert(key(t[i]));
        return set;
    };
    Text out;
    std::unordered_set<uint32_t> taken;
    auto collect = [&](const Text& from, const std::unordered_set<uint32_t>* filter, bool keep_present) {
        for (size_t i = 0; i < from.size(); i += size) {
            uint32_t k = key(from[i]);
            if (filter && (filter->count(k) != 0) != keep_present) continue;
            if (!taken.insert(k).second) continue;
            out += from.substr(i, size);
        }
    };
    std::unordered_set<uint32_t> in_a = starts(a), in_b = starts(b);
    switch (op) {
    case 0: collect(a, nullptr, false); break;
    case 1: collect(a, nullptr, false), collect(b, nullptr, false); break;
    case 2: collect(a, &in_b, true); break;
    case 3: collect(a, &in_b, false); break;
    default: collect(a, &in_b, false), collect(b, &in_a, false); break;
    }
    return out;
}

void check_result_text(const Cell* r, uint32_t type, const Text& want, const std::string& detail) {
    if (r->type() != type || r->data1 != 0) fail("set operation gave no new text at its head", detail);
    Text got = whole_text(r);
    if (got != want) fail("set operation gave other characters", detail + "\n    expected " + hex(want) + "\n    got      " + hex(got));
    uint32_t unit = node_buffer(r->data2)->unit();
    if (unit != narrowest_unit(got)) fail("set operation result of unit " + std::to_string(unit), detail);
}

void check_set_op(Gen& g, Model& m) {
    uint32_t op = (g.pick(5) + 1) % 5;
    bool case_ = g.pick(2), has_skip = g.pick(3) == 1;
    int64_t skip = 1;
    if (has_skip) {
        uint32_t k = g.pick(12);
        skip = k == 10 ? int64_t(kCounts[g.pick(sizeof kCounts / sizeof kCounts[0])]) : k == 11 ? int64_t(2147483648) : 1 + g.pick(4);
    }
    // The second set: new text (often the first's letters in other cases),
    // or the first's buffer at another index, as its type or another.
    Model other;
    {
        RootedCell t;
        uint32_t k = g.pick(4);
        if (k == 3) {
            *t = *global("fz-s");
            t->data1 = g.pick(uint32_t(m.cps.size()) + 3);
            if (g.pick(3) == 0) cell_set_type(t.get(), text_type(g));
        } else {
            Text cps;
            for (uint32_t len = g.pick(12); len > 0; len--)
                cps += char32_t(!m.cps.empty() && g.pick(2) ? case_partner(g, kLetters, m.cps[g.pick(uint32_t(m.cps.size()))]) : code_point(g));
            make_text(t.get(), cps, pick_unit(g, cps), g.pick(4) ? TYPE_STRING : text_type(g));
            t->data1 = g.pick(uint32_t(cps.size()) + 2);
        }
        *global("fz-t") = *t;
    }
    other = read_series("fz-t");
    std::string code = std::string("fz-r: ") + kOps[op] + (case_ ? "/case" : "") + (has_skip ? "/skip" : "") + " fz-s" +
                       (op ? " fz-t" : "") + (has_skip ? " " + std::to_string(skip) : "");
    g_log += code + "    ; fz-t: " + type_name(other.type) + " of unit " +
             std::to_string(node_buffer(global("fz-t")->data2)->unit()) + " [" + hex(other.cps, other.head) + "]\n";

    Text a = m.cps.substr(std::min<size_t>(m.head, m.cps.size()));
    Text b = other.cps.substr(std::min<size_t>(other.head, other.cps.size()));
    std::string error;
    if (m.type != TYPE_STRING || (op && other.type != TYPE_STRING) || skip > INT32_MAX) error = "expect-arg";
    else if (skip < 1) error = "invalid-refine-arg";
    Text want = error.empty() ? set_op_model(op, a, b, case_, size_t(skip)) : Text();

    Model before = m;
    Outcome o = run_code(code);
    m = read_series("fz-s");
    Model other_after = read_series("fz-t");
    std::string detail = hex(before.cps, before.head);
    if (m.cps != before.cps || m.head != before.head || m.type != before.type) fail("a set operation changed its first argument", detail);
    if (other_after.cps != other.cps || other_after.head != other.head) fail("a set operation changed its second argument", detail);
    if (!error.empty()) {
        if (!o.error || o.id != error) fail("set operation gave another outcome", "expected " + error + ", got " + (o.error ? o.id : "a result"));
    } else {
        if (o.error) fail("set operation raised " + o.id, detail);
        check_result_text(global("fz-r"), TYPE_STRING, want, detail);
    }

    // The engine itself takes file! and url! too: the result keeps the
    // first argument's type.
    if (error == "expect-arg" && skip <= INT32_MAX && skip >= 1) {
        want = set_op_model(op, a, b, case_, size_t(skip));
        RootedCell first, second, result;
        *first = *global("fz-s");
        *second = *global("fz-t");
        Cell skip_cell;
        cell_set(&skip_cell, TYPE_INTEGER, 0, uint32_t(skip), 0);
        Cell* top = g_stack.top;
        try {
            *result = *string_set_op(first.get(), op ? second.get() : nullptr, case_, has_skip ? &skip_cell : nullptr, kOpCodes[op]);
        } catch (const KelThrow& t) {
            fail("the set engine raised " + t.id, detail);
        }
        g_stack.top = top;
        check_result_text(result.get(), m.type, want, detail + "\n    (engine called directly)");
    }
}

// ---- the run --------------------------------------------------------------------------------------

void run_input(const uint8_t* data, size_t size) {
    // The steps read the input from its start, the text from its end: a
    // short input still makes a text and runs steps on it.
    Gen g{data, size};
    std::vector<uint8_t> backwards(data, data + size);
    std::reverse(backwards.begin(), backwards.end());
    Gen v{backwards.data(), size};
    std::vector<uint32_t> piece(1 + v.pick(12));
    for (uint32_t& x : piece) x = code_point(v);
    Text cps;
    uint32_t repeats = v.pick(3) == 0 ? 1 + v.pick(30) : 1;
    for (uint32_t r = 0; r < repeats; r++) cps.insert(cps.end(), piece.begin(), piece.end());
    if (v.pick(8) == 0) cps.clear();
    for (uint32_t k = v.pick(6); k > 0 && !cps.empty(); k--) {
        uint32_t at = v.pick_wide(uint32_t(cps.size()));
        cps[at] = v.pick(2) ? case_partner(v, kLetters, cps[at]) : code_point(v);
    }
    Model m;
    m.cps = cps;
    m.type = text_type(v);
    uint32_t unit = pick_unit(v, cps);
    uint32_t k = v.pick(4);
    m.head = k <= 1 ? 0 : k == 2 ? int64_t(cps.size()) : v.pick(uint32_t(cps.size()) + 3);
    {
        RootedCell s;
        make_text(s.get(), cps, unit, m.type);
        s->data1 = uint32_t(m.head);
        *global("fz-s") = *s;
    }
    g_log = "fz-s: " + type_name(m.type) + " of unit " + std::to_string(unit) + " [" + hex(m.cps, m.head) + "]\n";
    for (uint32_t steps = 1 + g.pick(4); steps > 0; steps--) {
        if (g.pick(2)) check_sort(g, m);
        else check_set_op(g, m);
    }
    for (const char* name : {"fz-s", "fz-p", "fz-t", "fz-r"}) cell_set(global(name), TYPE_NONE);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        runtime_boot();
        fuzz::quiet_output();
        interp_run_on_big_stack([] {
            if (run_code("fz-s: fz-p: fz-t: fz-r: none fz-n: 0").error) fail("the globals did not load", "");
        });
        return true;
    }();
    (void)ready;
    if (size == 0 || size > 2048) return 0;
    interp_run_on_big_stack([&] { run_input(data, size); });
    static const bool show_steps = std::getenv("KEL_FUZZ_SHOW") != nullptr;
    if (show_steps) std::fprintf(stderr, "%s----\n", g_log.c_str());
    static uint32_t runs = 0;
    if (++runs % 64 == 0) gc_collect();
    return 0;
}
