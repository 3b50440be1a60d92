// Differential fuzz target for sorting, the set operations and the editing
// actions on blocks: the input builds a block of mixed values (integers at
// the 32-bit edges, floats with -0.0, NaN and the infinities, chars, strings
// and files of different case and width, words of every word type, none,
// logic, nested blocks), as a block!, paren! or path! from any index, then
// runs a few operations on it through the interpreter (so the natives, the
// dispatchers' /part rules and the comparator calls are the real ones) and
// the same operations on a plain model here: a vector of value descriptions
// and a head index. Results, indexes, errors and the block's contents must
// agree.
//
// Sorting: sort with /skip (sizes that do not divide the length too),
// /compare (an offset, natives, and functions: consistent ones, ones that
// answer every pair alike, inconsistent ones, ones that answer with integers,
// floats, none or text, ones that raise, and ones that change or sort the
// block being sorted), /part, /all, /reverse, /case and /stable. The model
// asks the comparator about every pair of records: when the answers form a
// total preorder a stable sort must give exactly the stable order and any
// sort an ordered permutation; when they form a strict weak order the result
// must be ordered; otherwise it must be a permutation. A comparator that may
// raise leaves the block as it was when it does. A comparator that edits the
// block only must not crash.
//
// Set operations: unique, union, intersect, exclude and difference with
// /skip and /case, against another block, the block itself or another
// position of it: records in order of first occurrence, equality as find's.
//
// Editing: append, insert and change with /part (counts, positions, bad
// counts at the 32-bit edges), /dup and /only, the value often another
// position of the same block; remove, take (/last), reverse (/skip) and copy
// with /part.
#include <fcntl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/case_fold.h"
#include "runtime/cell.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/exits.h"
#include "runtime/gc.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/memory.h"
#include "runtime/platform/console.h"
#include "runtime/stack.h"
#include "runtime/startup.h"
#include "runtime/symbols.h"
#include "tests/fuzz/fuzz_gen.h"
#include "tests/fuzz/fuzz_run.h"
#include "tests/fuzz/fuzz_sort.h"
#include "tests/fuzz/fuzz_text.h"

using namespace kel;

namespace {

using fuzz::Comparator;
using fuzz::fold;
using fuzz::Gen;
using fuzz::kErr;
using fuzz::sign;

// ---- values -------------------------------------------------------------------------------------

struct Val {
    uint32_t type = TYPE_NONE;
    int64_t i = 0;        // integer, code point, logic flag
    double f = 0;         // float
    std::u32string s;     // text, or a word's name
    std::vector<Val> kids;  // a nested block
    // A block read back from the engine: its series and index, so that two
    // appearances of one series compare as the engine compares them (equal
    // by identity, before any element, so even a NaN inside matches). Zero
    // for a block the model made. Not part of the value's equality.
    uint64_t id = 0;
    bool operator==(const Val& o) const {
        if (type != o.type || i != o.i || s != o.s || kids != o.kids) return false;
        return std::memcmp(&f, &o.f, sizeof f) == 0 || (std::isnan(f) && std::isnan(o.f));
    }
};
using Vals = std::vector<Val>;

bool is_word(uint32_t t) { return t >= TYPE_WORD && t <= TYPE_ISSUE; }
bool is_text(uint32_t t) { return t == TYPE_STRING || t == TYPE_FILE; }
bool is_block(uint32_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || (t >= TYPE_PATH && t <= TYPE_GET_PATH); }

std::string hex(uint32_t c) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", c);
    return buf;
}

std::string utf8(const std::u32string& s) {
    std::string out;
    for (char32_t c : s) {
        if (c < 0x80) out += char(c);
        else if (c < 0x800) out += char(0xC0 | c >> 6), out += char(0x80 | (c & 63));
        else if (c < 0x10000) out += char(0xE0 | c >> 12), out += char(0x80 | (c >> 6 & 63)), out += char(0x80 | (c & 63));
        else
            out += char(0xF0 | c >> 18), out += char(0x80 | (c >> 12 & 63)), out += char(0x80 | (c >> 6 & 63)),
                out += char(0x80 | (c & 63));
    }
    return out;
}

std::u32string from_utf8(std::string_view v) {
    std::u32string out;
    for (size_t i = 0; i < v.size();) {
        uint8_t c = uint8_t(v[i]);
        int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        uint32_t cp = n == 1 ? c : n == 2 ? c & 31 : n == 3 ? c & 15 : c & 7;
        for (int k = 1; k < n && i + k < v.size(); k++) cp = cp << 6 | (uint8_t(v[i + k]) & 63);
        out += char32_t(cp);
        i += n;
    }
    return out;
}

// The source text of a value, as the loader reads it back.
std::string text_of(const Val& v) {
    switch (v.type) {
    case TYPE_INTEGER: return std::to_string(v.i);
    case TYPE_FLOAT: {
        if (std::isnan(v.f)) return "1.#NaN";
        if (std::isinf(v.f)) return v.f > 0 ? "1.#INF" : "-1.#INF";
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", v.f);
        std::string s = buf;
        if (s.find_first_of(".e") == std::string::npos) s += ".0";
        return s;
    }
    case TYPE_CHAR: return "#\"^(" + hex(uint32_t(v.i)) + ")\"";
    case TYPE_STRING: {
        std::string s = "\"";
        for (char32_t c : v.s) s += c >= 'a' && c <= 'z' ? std::string(1, char(c)) : "^(" + hex(c) + ")";
        return s + "\"";
    }
    case TYPE_FILE: return "%" + utf8(v.s);
    case TYPE_WORD: return utf8(v.s);
    case TYPE_SET_WORD: return utf8(v.s) + ":";
    case TYPE_LIT_WORD: return "'" + utf8(v.s);
    case TYPE_GET_WORD: return ":" + utf8(v.s);
    case TYPE_REFINEMENT: return "/" + utf8(v.s);
    case TYPE_ISSUE: return "#" + utf8(v.s);
    case TYPE_NONE: return "#(none)";
    case TYPE_LOGIC: return v.i ? "#(true)" : "#(false)";
    case TYPE_BLOCK: {
        std::string s = "[";
        for (size_t k = 0; k < v.kids.size(); k++) s += (k ? " " : "") + text_of(v.kids[k]);
        return s + "]";
    }
    }
    return "?";
}

std::string show(const Vals& vs, int64_t head = -1) {
    std::string s = "[";
    for (size_t k = 0; k < vs.size(); k++) s += (k ? " " : "") + std::string(int64_t(k) == head ? "|" : "") + text_of(vs[k]);
    if (head >= int64_t(vs.size())) s += "|";
    return s + "]";
}

// The value a cell holds, read back.
Val val_of(const Cell* c, int depth = 0) {
    Val v;
    v.type = c->type();
    if (v.type == TYPE_INTEGER) v.i = int32_t(c->data2);
    else if (v.type == TYPE_CHAR) v.i = c->data2;
    else if (v.type == TYPE_FLOAT) v.f = cell_get_float(c);
    else if (v.type == TYPE_LOGIC) v.i = c->data1 != 0;
    else if (is_word(v.type)) v.s = from_utf8(symbol_name(c->data2));
    else if (is_text(v.type)) {
        SeriesBuf* b = node_buffer(c->data2);
        for (uint32_t k = c->data1; k < b->used_bytes() / b->unit(); k++) v.s += char32_t(string_get_char_at(b, k));
    } else if (is_block(v.type) && depth < 8) {
        v.id = uint64_t(c->data2) << 32 | c->data1;
        SeriesBuf* b = node_buffer(c->data2);
        const Cell* cells = arena_at<Cell>(b->head);
        for (uint32_t k = c->data1; k < b->used_bytes() / 16; k++) v.kids.push_back(val_of(cells + k, depth + 1));
    }
    return v;
}

// ---- comparison as the value types define it ------------------------------------------------------

uint32_t ascii_lower(uint32_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

int compare_floats(double a, double b, int op) {
    if (op == COMP_STRICT_EQUAL) return a == b ? 0 : 1;
    bool na = std::isnan(a), nb = std::isnan(b);
    if (na || nb) {
        if (op == COMP_LESSER || op == COMP_LESSER_EQUAL) return 1;
        if (op == COMP_GREATER || op == COMP_GREATER_EQUAL) return -1;
        if (op == COMP_SORT || op == COMP_CASE_SORT) return na == nb ? 0 : na ? 1 : -1;
        return na && nb ? 0 : 1;  // NaN matches only NaN
    }
    return (a > b) - (a < b);
}

int compare_texts(const std::u32string& a, const std::u32string& b, int op) {
    bool folding = op != COMP_STRICT_EQUAL && op != COMP_CASE_SORT;
    if (a.size() != b.size() && (op == COMP_STRICT_EQUAL || op == COMP_FIND)) return 1;
    for (size_t k = 0; k < std::min(a.size(), b.size()); k++) {
        uint32_t x = a[k], y = b[k];
        if (folding) x = fold(x), y = fold(y);
        if (x != y) return x < y ? -1 : 1;
    }
    return sign(int64_t(a.size()) - int64_t(b.size()));
}

bool equality_op(int op) { return op == COMP_STRICT_EQUAL || op == COMP_FIND; }
bool plain_op(int op) { return op <= COMP_STRICT_EQUAL || op == COMP_SORT || op == COMP_CASE_SORT || op == COMP_FIND; }

// The compare slot of a's type: -1, 0, 1, or -2 when the two cannot be
// compared. `raw` is the entry the block comparison and sort use, where two
// logic values compare by their flags under every operator.
int compare(const Val& a, const Val& b, int op, bool raw = false) {
    switch (a.type) {
    case TYPE_INTEGER:
        if (equality_op(op) && b.type != TYPE_INTEGER) return 1;
        if (b.type == TYPE_INTEGER || b.type == TYPE_CHAR) return sign(a.i - b.i);
        if (b.type == TYPE_FLOAT) return compare_floats(double(a.i), b.f, op);
        return -2;
    case TYPE_CHAR:
        if (equality_op(op) && b.type != TYPE_CHAR) return 1;
        if (b.type == TYPE_INTEGER || b.type == TYPE_CHAR) return sign(a.i - b.i);
        return -2;
    case TYPE_FLOAT:
        if (equality_op(op) && b.type != TYPE_FLOAT) return 1;
        if (b.type == TYPE_INTEGER) return compare_floats(a.f, double(b.i), op);
        if (b.type == TYPE_FLOAT) return compare_floats(a.f, b.f, op);
        return -2;
    case TYPE_STRING:
    case TYPE_FILE:
        if (b.type != a.type) return -2;
        return compare_texts(a.s, b.s, op);
    case TYPE_NONE: return b.type == TYPE_NONE && plain_op(op) ? 0 : -2;
    case TYPE_LOGIC:
        if (b.type != TYPE_LOGIC) return -2;
        return raw || plain_op(op) ? int(a.i - b.i) : -2;
    case TYPE_BLOCK: {
        if (b.type != TYPE_BLOCK) return -2;
        if (a.id && a.id == b.id) return 0;
        if (a.kids.size() != b.kids.size() && equality_op(op)) return 1;
        for (size_t k = 0; k < std::min(a.kids.size(), b.kids.size()); k++) {
            const Val &x = a.kids[k], &y = b.kids[k];
            bool num = (x.type == TYPE_INTEGER || x.type == TYPE_FLOAT) && (y.type == TYPE_INTEGER || y.type == TYPE_FLOAT);
            if (x.type != y.type && !(is_word(x.type) && is_word(y.type)) && !num) return x.type < y.type ? -1 : 1;
            if (int r = compare(x, y, op, true)) return r;
        }
        return sign(int64_t(a.kids.size()) - int64_t(b.kids.size()));
    }
    default:
        if (!is_word(a.type)) return -2;
        if (!is_word(b.type) || (b.type == TYPE_ISSUE) != (a.type == TYPE_ISSUE)) return -2;
        if (op == COMP_FIND) {
            if (a.s.size() != b.s.size()) return 1;
            for (size_t k = 0; k < a.s.size(); k++)
                if (ascii_lower(a.s[k]) != ascii_lower(b.s[k])) return 1;
            return 0;
        }
        if (op == COMP_STRICT_EQUAL) return a.type == b.type && a.s == b.s ? 0 : 1;
        return compare_texts(a.s, b.s, op);
    }
}

// ---- the generator ------------------------------------------------------------------------------

const int32_t kInts[] = {0, 1, -1, 2, 3, 7, 65, 97, 100, 2147483647, -2147483647 - 1, 2147483646};
const double kFloats[] = {0.0, -0.0, 1.0, 1.5, -2.5, 97.0, 100.0, 2147483648.0, 1e-300, NAN, INFINITY, -INFINITY};
const uint32_t kLetters[] = {'a', 'A', 'b', 'B', 'k', 'K', 0x212A, 's', 'S', 0x17F, 0xDF, 0xE9, 0xC9,
                             0x3C3, 0x3A3, 0x3C2, 'z', '0', 0x1F600, 0x10428, 0x10400};
const char* const kNames[] = {"a", "A", "b", "B", "ab", "Ab", "aB", "k", "\xC3\xA9", "\xC3\x89", "z"};
const uint32_t kWordTypes[] = {TYPE_WORD, TYPE_WORD, TYPE_SET_WORD, TYPE_LIT_WORD, TYPE_GET_WORD, TYPE_REFINEMENT,
                               TYPE_ISSUE};

template <class T, size_t N> T from(Gen& g, const T (&list)[N]) { return list[g.pick(N)]; }

Val make_value(Gen& g, int depth, uint32_t palette) {
    Val v;
    uint32_t k = g.pick(16);
    // A palette keeps some blocks to a few types, so that comparisons agree.
    if (palette == 1) k = k % 2 ? 0 : 3;        // integers and floats
    else if (palette == 2) k = 6 + k % 2;       // text
    else if (palette == 3) k = 8 + k % 2;       // words
    if (k <= 2) {
        v.type = TYPE_INTEGER;
        v.i = k == 2 ? int32_t(g.pick(5)) : from(g, kInts);
    } else if (k <= 4) {
        v.type = TYPE_FLOAT;
        v.f = k == 4 ? double(g.pick(5)) : from(g, kFloats);
    } else if (k == 5) {
        v.type = TYPE_CHAR;
        v.i = g.pick(2) ? from(g, kLetters) : 'a' + g.pick(4);
    } else if (k <= 7) {
        v.type = k == 7 && g.pick(4) == 0 ? TYPE_FILE : TYPE_STRING;
        for (uint32_t n = g.pick(4); n > 0; n--) v.s += char32_t(v.type == TYPE_FILE ? 'a' + g.pick(3) : from(g, kLetters));
        if (v.type == TYPE_FILE && v.s.empty()) v.s = U"a";
    } else if (k <= 10) {
        v.type = k == 10 ? from(g, kWordTypes) : TYPE_WORD;
        v.s = from_utf8(from(g, kNames));
    } else if (k == 11) {
        v.type = TYPE_NONE;
    } else if (k == 12) {
        v.type = TYPE_LOGIC;
        v.i = g.pick(2);
    } else if (k == 13 && depth < 2) {
        v.type = TYPE_BLOCK;
        for (uint32_t n = g.pick(4); n > 0; n--) v.kids.push_back(make_value(g, depth + 1, palette));
    } else {
        v.type = TYPE_INTEGER;
        v.i = g.pick(4);
    }
    return v;
}

Vals make_values(Gen& g, uint32_t n, uint32_t palette) {
    Vals vs;
    for (uint32_t k = 0; k < n; k++) vs.push_back(make_value(g, 0, palette));
    return vs;
}

// A value written out as source text loads as new series: the copy has no
// identity of its own.
Val literal_copy(Val v) {
    v.id = 0;
    for (Val& kid : v.kids) kid = literal_copy(kid);
    return v;
}

std::string literal(const Vals& vs) {
    Val b;
    b.type = TYPE_BLOCK;
    b.kids = vs;
    return text_of(b);
}

// ---- running Kel code -------------------------------------------------------------------------

struct Outcome {
    bool error = false;
    std::string id;
};

[[noreturn]] void fail(const std::string& what, const std::string& detail);

// Loads and runs `code` (on the interpreter's big stack, where the whole
// run takes place).
Outcome run_code(const std::string& code) {
    static const bool trace = std::getenv("KEL_FUZZ_TRACE") != nullptr;  // each statement as it runs
    if (trace) std::fprintf(stderr, "%s\n", code.c_str());
    Outcome o;
    Cell* top = g_stack.top;
    CallFrame* frame = g_stack.frame_top;
    static Cell* first_top = top;
    static CallFrame* first_frame = frame;
    if (top != first_top || frame != first_frame)
        fail("the stacks grew between runs", std::to_string(top - first_top) + " cells, " +
                                                 std::to_string(frame - first_frame) + " frames");
    Cell block{TYPE_NONE, 0, 0, 0}, out{TYPE_NONE, 0, 0, 0};
    GcRootCell root(&block), keep(&out);
    try {
        fuzz::load_and_do(code, &block, &out);
    } catch (const KelThrow& t) {
        o.error = true;
        o.id = t.id;
    }
    if (g_stack.top != top || g_stack.frame_top != frame)
        fail("cells or frames left on the stacks", code);
    return o;
}

Cell* global(const char* name) {
    static Cell word;
    word_from_cstring(&word, name);
    return const_cast<Cell*>(word_get_any(&word));
}

// ---- the model ----------------------------------------------------------------------------------

// The block as the model sees it: its cells and the index of `blk`.
struct Model {
    uint32_t type = TYPE_BLOCK;
    Vals cells;
    int64_t head = 0;
};

std::string g_log;  // the program so far, for the report

[[noreturn]] void fail(const std::string& what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_blocksort: %s\n--- program:\n%s--- %s\n", what.c_str(), g_log.c_str(), detail.c_str());
    std::abort();
}

// Reads the block back from `blk` into the model. `node` is its node, which
// a collection may have moved (a series keeps its buffer, not its node).
void read_block(Model& m, uint32_t& node) {
    Cell* b = global("blk");
    if (b->type() != m.type) fail("blk is no longer the block", "");
    node = b->data2;
    Cell head = *b;
    head.data1 = 0;
    m.cells = val_of(&head).kids;
    m.head = int32_t(b->data1);
}

// What an operation gives: an error id, a series position of `blk`, a new
// block, a single value, or none.
struct Result {
    enum Kind { Error, Position, Block, Value, Unchecked } kind = Unchecked;
    std::string id;
    int64_t index = 0;
    Vals cells;
    Val value;
};

std::string show(const Result& r) {
    switch (r.kind) {
    case Result::Error: return "error " + r.id;
    case Result::Position: return "blk at " + std::to_string(r.index);
    case Result::Block: return "new block " + show(r.cells);
    case Result::Value: return "value " + text_of(r.value);
    case Result::Unchecked: return "anything";
    }
    return "?";
}

Result error(const char* id) {
    Result r;
    r.kind = Result::Error;
    r.id = id;
    return r;
}
Result position(int64_t i) {
    Result r;
    r.kind = Result::Position;
    r.index = i;
    return r;
}

// A /part argument: an integer count, a position of the same block (an
// absolute index), or a float.
struct Part {
    enum Kind { Count, At, Float } kind = Count;
    int64_t n = 0;
    double f = 0;
};

const int32_t kCounts[] = {0, 1, 2, 3, -1, -2, -3, 5, 2147483647, -2147483647 - 1, 2147483646, 100};

// A record size: usually `good`, sometimes a bad count, rarely one that
// loads as a float (2^31, 2^63 - 1), which the interface refuses.
int64_t bad_or(Gen& g, int64_t good) {
    uint32_t k = g.pick(12);
    if (k == 0) return from(g, kCounts);
    if (k == 1) return g.pick(2) ? int64_t(2147483648) : INT64_MAX;
    return good;
}

Part make_part(Gen& g, int64_t total) {
    Part p;
    uint32_t k = g.pick(8);
    if (k <= 3) p.n = k == 0 ? from(g, kCounts) : int64_t(g.pick(7)) - 3;
    else if (k <= 6) p.kind = Part::At, p.n = g.pick(uint32_t(total) + 2);
    else p.kind = Part::Float, p.f = g.pick(2) ? 2.0 : g.pick(2) ? 9.2e18 : -1e300;
    return p;
}

std::string part_text(const Part& p) {
    if (p.kind == Part::Count) return std::to_string(p.n);
    if (p.kind == Part::At) return "(skip head blk " + std::to_string(p.n) + ")";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", p.f);
    std::string s = buf;
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

// ---- sort ---------------------------------------------------------------------------------------

// The comparators of this target beside the plain ones: they count, or
// edit the block being sorted.
const Comparator kOwnComparators[] = {
    {"func [x y] [fz-n: fz-n + 1 either odd? fz-n [1] [-1]]", Comparator::Flip},
    {"func [x y] [clear blk x < y]", Comparator::Edit},
    {"func [x y] [append blk x true]", Comparator::Edit},
    {"func [x y] [sort blk false]", Comparator::Edit},
    {"func [x y] [sort/compare blk func [p q] [remove blk 1] 0]", Comparator::Edit},
    {"func [x y] [insert head blk 1 none]", Comparator::Edit},
};

// The order the comparator gives two records (-1 a first, 1 b first, 0 tie)
// or kErr.
int order_of(const Comparator* c, const Vals& a, const Vals& b, uint32_t offset, bool all, bool reverse,
             bool case_) {
    if (reverse) return order_of(c, b, a, offset, all, false, case_);
    if (!c) {
        int op = case_ ? COMP_CASE_SORT : COMP_SORT;
        auto one = [&](const Val& x, const Val& y) {
            int r = compare(x, y, op, true);
            return r == -2 ? sign(int64_t(x.type) - int64_t(y.type)) : sign(r);
        };
        if (!all) return one(a[offset], b[offset]);
        for (size_t k = 0; k < a.size(); k++)
            if (int r = one(a[k], b[k])) return r;
        return 0;
    }
    Val x, y;
    if (all) {
        x.type = y.type = TYPE_BLOCK;
        x.kids = a;
        y.kids = b;
    } else {
        x = a[offset];
        y = b[offset];
    }
    switch (c->kind) {
    case Comparator::Less:
    case Comparator::Greater:
    case Comparator::LessEqual: {
        int op = c->kind == Comparator::Less ? COMP_LESSER : c->kind == Comparator::Greater ? COMP_GREATER : COMP_LESSER_EQUAL;
        int r = compare(x, y, op);
        if (r == -2) return kErr;
        bool truth = op == COMP_LESSER ? r < 0 : op == COMP_GREATER ? r > 0 : r <= 0;
        return truth ? -1 : 1;
    }
    case Comparator::Const: return c->constant;
    case Comparator::Raise: return kErr;
    default: return 0;
    }
}

struct SortStep {
    bool case_ = false, all = false, reverse = false, stable = false;
    bool has_skip = false, has_compare = false, has_part = false;
    int64_t skip = 1;
    int64_t offset = 0;        // /compare with an integer
    const Comparator* fn = nullptr;
    bool block_compare = false;  // /compare with a block (refused)
    Part part;
};

std::string sort_code(const SortStep& s) {
    std::string path = "sort";
    std::string args = " blk";
    if (s.case_) path += "/case";
    if (s.has_skip) path += "/skip", args += " " + std::to_string(s.skip);
    if (s.has_compare) {
        path += "/compare";
        args += s.fn ? " " + std::string(s.fn->text) : s.block_compare ? " [a]" : " " + std::to_string(s.offset);
    }
    if (s.has_part) path += "/part", args += " " + part_text(s.part);
    if (s.all) path += "/all";
    if (s.reverse) path += "/reverse";
    if (s.stable) path += "/stable";
    return "fz-n: 0 fz-r: " + path + args;
}

void check_sort(Gen& g, Model& m, uint32_t& node) {
    SortStep s;
    // Refinements that often refuse the call are rarer than the others.
    uint32_t flags = g.byte(), more = g.byte();
    s.reverse = flags & 1;
    s.stable = flags & 2;
    s.case_ = flags & 4;
    s.has_skip = (flags & 24) == 24;
    s.all = s.has_skip && (more & 1);
    s.has_part = (flags & 96) == 96;
    s.has_compare = flags & 128;
    int64_t total = int64_t(m.cells.size());
    if (s.has_skip) s.skip = bad_or(g, 1 + g.pick(4));
    if (s.has_compare) {
        uint32_t k = g.pick(4);
        if (k == 0) s.offset = g.pick(8) == 0 ? int64_t(from(g, kCounts)) : int64_t(1 + g.pick(3));
        else if (k == 1 && g.pick(8) == 0) s.block_compare = true;
        else s.fn = fuzz::pick_comparator(g, kOwnComparators);
    }
    if (s.has_part) s.part = make_part(g, total);
    std::string code = sort_code(s);
    g_log += code + "\n";

    // The expected outcome.
    Result want = position(m.head);
    bool done = false;
    if (m.type == TYPE_PATH || (s.has_skip && s.skip > INT32_MAX))
        want = error("expect-arg"), done = true;  // paths have no sort; a float is no record size
    int64_t start = std::min(m.head, total), n = total - start;
    if (n == 0 && (!s.has_part || total == 0)) done = true;
    if (!done && s.has_part) {
        int64_t count;
        if (s.part.kind == Part::Count) count = s.part.n;
        else if (s.part.kind == Part::At) count = std::min(s.part.n, total) - start;
        else count = INT64_MIN;
        if (count == INT64_MIN) want = error("invalid-refine-arg"), done = true;
        else if (count < 0) {
            int64_t from = std::max<int64_t>(0, start + count);
            n = start - from;
            start = from;
        } else if (n == 0) done = true;
        else n = std::min(n, count);
    }
    int64_t size = 1;
    if (!done && s.has_skip) {
        size = s.skip;
        if (size < 1 || n % size != 0 || n < size) want = error("invalid-refine-arg"), done = true;
    } else if (!done && s.all) want = error("bad-refines"), done = true;
    if (!done && s.has_compare && !s.fn) {
        if (s.block_compare) want = error("invalid-refine-arg"), done = true;
        else if (!s.has_skip || s.all) want = error("bad-refines"), done = true;
        else if (s.offset < 1 || s.offset > size) want = error("out-of-range"), done = true;
    }
    if (!done) want = position(start);
    if (m.type == TYPE_PATH) done = true;
    bool edits = s.fn && s.fn->kind == Comparator::Edit;

    Outcome o = run_code(code);
    Model before = m;
    if (o.error && want.kind != Result::Error && !edits) {
        // Only a comparator may raise, and then the block stays as it was.
        bool may_raise = s.fn && n >= 2 * size && !done;
        if (!may_raise || (o.id != "zero-divide" && o.id != "invalid-compare"))
            fail("sort raised " + o.id, "expected " + show(want));
        read_block(m, node);
        if (m.cells != before.cells) fail("a sort that raised changed the block", show(m.cells));
        return;
    }
    if (want.kind == Result::Error) {
        if (!o.error || o.id != want.id) fail("sort gave another outcome", "expected " + show(want) + ", got " + (o.error ? o.id : "no error"));
        read_block(m, node);
        if (m.cells != before.cells) fail("a refused sort changed the block", show(m.cells));
        return;
    }
    read_block(m, node);
    if (edits) return;  // the comparator changed the block under the sort: only no crash
    Cell* r = global("fz-r");
    if (r->type() != m.type || r->data2 != node || int64_t(int32_t(r->data1)) != want.index)
        fail("sort gave another position", "expected " + std::to_string(want.index) + ", got index " +
                                               std::to_string(int32_t(r->data1)));
    // Only the records sorted may move.
    int64_t records = n / size;
    for (int64_t k = 0; k < total; k++)
        if ((k < start || k >= start + records * size) && !(m.cells[k] == before.cells[k]))
            fail("sort changed a cell outside its range", show(before.cells, before.head) + " -> " + show(m.cells));
    if (records < 2) {
        if (m.cells != before.cells) fail("sort of one record changed it", show(m.cells));
        return;
    }
    std::vector<Vals> in(records), out(records);
    for (int64_t k = 0; k < records; k++) {
        in[k].assign(before.cells.begin() + start + k * size, before.cells.begin() + start + (k + 1) * size);
        out[k].assign(m.cells.begin() + start + k * size, m.cells.begin() + start + (k + 1) * size);
    }
    // A permutation of the records.
    std::vector<bool> used(records);
    std::vector<int64_t> which(records);
    for (int64_t k = 0; k < records; k++) {
        int64_t j = 0;
        while (j < records && (used[j] || !(in[j] == out[k]))) j++;
        if (j == records) fail("sort lost or made a record", show(before.cells, before.head) + " -> " + show(m.cells));
        used[j] = true;
        which[k] = j;
    }
    if (records > 64) return;  // the pairwise model below grows with the cube of the count
    std::vector<std::vector<int>> order(records, std::vector<int>(records));
    bool raises = false;
    for (int64_t i = 0; i < records; i++)
        for (int64_t j = 0; j < records; j++)
            if (i != j) {
                order[i][j] = order_of(s.fn, in[i], in[j], uint32_t(s.offset ? s.offset - 1 : 0), s.all, s.reverse, s.case_);
                if (order[i][j] == kErr) raises = true;
            }
    if (raises || (s.fn && s.fn->kind == Comparator::Flip)) return;  // it did not raise: any permutation
    if (const char* fault = fuzz::sort_order_fault(order, in, out, which, s.stable))
        fail(fault, show(before.cells, before.head) + " -> " + show(m.cells));
}

// ---- set operations -----------------------------------------------------------------------------

void check_set_op(Gen& g, Model& m, uint32_t& node) {
    static const char* const kOps[] = {"unique", "union", "intersect", "exclude", "difference"};
    uint32_t op = g.pick(5);
    bool case_ = g.pick(2), has_skip = g.pick(3) == 0;
    int64_t skip = 1;
    if (has_skip) skip = bad_or(g, 1 + g.pick(3));
    // The second set: a new block, the block itself, or another position of it.
    Vals other;
    std::string other_text;
    uint32_t k = g.pick(4);
    int64_t total = int64_t(m.cells.size());
    if (k == 0) {
        int64_t at = g.pick(uint32_t(total) + 2);
        other_text = "skip head blk " + std::to_string(at);
        other.assign(m.cells.begin() + std::min(at, total), m.cells.end());
    } else {
        other = make_values(g, g.pick(8), 0);
        if (g.pick(2))
            for (Val& v : other)
                if (!m.cells.empty() && g.pick(2)) v = literal_copy(m.cells[g.pick(uint32_t(total))]);
        other_text = literal(other);
    }
    std::string code = std::string("fz-r: ") + kOps[op] + (case_ ? "/case" : "") + (has_skip ? "/skip" : "") + " blk" +
                       (op ? " " + other_text : "") + (has_skip ? " " + std::to_string(skip) : "");
    if (m.type != TYPE_BLOCK) code = std::string("fz-r: ") + kOps[op] + " blk []";
    g_log += code + "\n";

    Result want;
    Vals first(m.cells.begin() + std::min(m.head, total), m.cells.end());
    if (m.type != TYPE_BLOCK) {
        want = error("expect-arg");  // the interface takes no paren! or path!
    } else if (skip > INT32_MAX) {
        want = error("expect-arg");
    } else if (skip < 1) {
        want = error("invalid-refine-arg");
    } else {
        int cmp = case_ ? COMP_STRICT_EQUAL : COMP_FIND;
        auto contains = [&](const Vals& set, const Val& key) {
            for (size_t j = 0; j < set.size(); j += size_t(skip))
                if (compare(key, set[j], cmp, true) == 0) return true;
            return false;
        };
        Vals out, firsts;  // the result, and the first cell of each of its records
        auto collect = [&](const Vals& from, const Vals* test, bool keep_present) {
            for (size_t j = 0; j < from.size(); j += size_t(skip)) {
                if (test && contains(*test, from[j]) != keep_present) continue;
                if (std::any_of(firsts.begin(), firsts.end(),
                                [&](const Val& f) { return compare(from[j], f, cmp, true) == 0; }))
                    continue;
                firsts.push_back(from[j]);
                for (size_t q = j; q < from.size() && q < j + size_t(skip); q++) out.push_back(from[q]);
            }
        };
        switch (op) {
        case 0: collect(first, nullptr, false); break;
        case 1: collect(first, nullptr, false), collect(other, nullptr, false); break;
        case 2: collect(first, &other, true); break;
        case 3: collect(first, &other, false); break;
        case 4: collect(first, &other, false), collect(other, &first, false); break;
        }
        want.kind = Result::Block;
        want.cells = out;
    }
    Model before = m;
    Outcome o = run_code(code);
    read_block(m, node);
    if (m.cells != before.cells || m.head != before.head) fail("a set operation changed its argument", show(m.cells));
    if (want.kind == Result::Unchecked) return;
    if (want.kind == Result::Error) {
        if (!o.error || o.id != want.id) fail("set operation gave another outcome", "expected " + show(want) + ", got " + (o.error ? o.id : "a result"));
        return;
    }
    if (o.error) fail("set operation raised " + o.id, "expected " + show(want));
    Cell* r = global("fz-r");
    if (r->type() != TYPE_BLOCK || r->data1 != 0) fail("set operation gave no new block", "");
    Vals got = val_of(r).kids;
    if (got != want.cells)
        fail("set operation gave other records",
             "blk " + show(m.cells, m.head) + "\nexpected " + show(want.cells) + "\ngot      " + show(got));
}

// ---- editing ------------------------------------------------------------------------------------

// The series /part count of the model: from an integer, a position (an
// absolute index, taken back to the tail), or a float (truncated when it
// fits, else an error).
bool part_count(const Part& p, int64_t total, int64_t head, int64_t* count) {
    if (p.kind == Part::Count) *count = p.n;
    else if (p.kind == Part::At) *count = std::min(p.n, total) - head;
    else {
        if (!(std::fabs(p.f) < 2147483648.0)) return false;
        *count = int64_t(p.f);
    }
    return true;
}

void check_edit(Gen& g, Model& m, uint32_t& node) {
    int64_t total = int64_t(m.cells.size());
    int64_t head = std::min(m.head, total);
    uint32_t what = g.pick(8);
    bool has_part = g.pick(2), only = g.pick(4) == 0, last = g.pick(2);
    Part part = make_part(g, total);
    std::string code;
    Result want;
    Vals cells = m.cells;
    bool may_float_error = has_part && part.kind == Part::Float;

    if (what <= 2) {
        // append, insert, change; the value is another position of the block or a new value.
        const char* name = what == 0 ? "append" : what == 1 ? "insert" : "change";
        bool alias = g.pick(2);
        int64_t at = alias ? g.pick(uint32_t(total) + 2) : 0;
        Val single;
        Vals spliced;
        bool splice;
        std::string value_text;
        if (alias) {
            value_text = "(skip head blk " + std::to_string(at) + ")";
            only = false;  // the block never holds itself: the model is a tree
            splice = true;
            spliced.assign(m.cells.begin() + std::min(at, total), m.cells.end());
        } else {
            single = make_value(g, 0, 0);
            value_text = "(pick [" + text_of(single) + "] 1)";
            splice = single.type == TYPE_BLOCK && !only;
            if (splice) spliced = single.kids;
        }
        bool has_dup = g.pick(3) == 0;
        int64_t dup = has_dup ? (g.pick(3) == 0 ? int64_t(from(g, kCounts)) : int64_t(g.pick(4))) : 1;
        // Huge counts only where the size check refuses them before any fill.
        // Other large counts would only make blocks too big to sort through
        // a comparator under collector stress.
        if (has_dup && dup != INT32_MAX && (dup > 8 || dup < -1000)) dup = g.pick(2) ? -5 : 3;
        bool float_dup = has_dup && g.pick(16) == 0;  // 2^31, which no integer! holds
        if (float_dup) dup = INT32_MAX;
        if (has_part && part.kind == Part::At && !alias) part.kind = Part::Count;
        code = std::string("fz-r: ") + name + (has_part ? "/part" : "") + (only ? "/only" : "") + (has_dup ? "/dup" : "") +
               " blk " + value_text + (has_part ? " " + part_text(part) : "") + (has_dup ? " " + (float_dup ? std::string("2147483648.0") : std::to_string(dup)) : "");
        Vals src = splice ? spliced : Vals{single};
        int64_t count = int64_t(src.size());
        bool nothing = false;
        if (what <= 1) {
            if (has_part) {
                if (!alias && !is_block(single.type) && !is_text(single.type)) want = error("invalid-part"), nothing = true;
                else if (part.kind == Part::Float) want = error("invalid-refine-arg"), nothing = true;
                else {
                    int64_t c = part.kind == Part::At ? std::min(part.n, total) - std::min(at, total) : part.n;
                    int64_t vindex = alias ? std::min(at, total) : 0;
                    if (c == 0 || (c < 0 && vindex == 0)) nothing = true;
                    else if (c < 0) {
                        // The elements before the value's position.
                        int64_t s0 = std::max<int64_t>(0, vindex + c);
                        if (alias) {
                            src.assign(m.cells.begin() + s0, m.cells.end());
                            if (!splice) src = {};
                        }
                        count = vindex - s0;
                    } else count = std::min(count, c);
                }
            }
            if (!nothing && dup <= 0) nothing = true;
            if (float_dup) want = error("expect-arg");
            if (want.kind != Result::Error) {
                if (!nothing && count > 0 && dup == INT32_MAX) {
                    want = error("no-memory");
                } else if (nothing || count == 0) {
                    want = position(what == 1 ? head : m.head);  // insert stands at the tail first
                    if (!nothing && what == 0) want = position(0);
                } else {
                    Vals ins;
                    for (int64_t d = 0; d < dup; d++) ins.insert(ins.end(), src.begin(), src.begin() + count);
                    int64_t pos = what == 0 ? total : head;
                    cells.insert(cells.begin() + pos, ins.begin(), ins.end());
                    want = position(what == 0 ? 0 : pos + int64_t(ins.size()));
                }
            }
        } else {
            // change: /part is the range replaced.
            int64_t h = head, replaced_limit = -1;
            if (has_part) {
                int64_t c;
                if (!part_count(part, total, h, &c)) want = error("type-limit"), nothing = true;
                else {
                    if (c < 0) {
                        int64_t s0 = std::max<int64_t>(0, h + c);
                        c = h - s0;
                        h = s0;
                    }
                    replaced_limit = c;
                }
            }
            if (float_dup) want = error("type-limit");
            if (want.kind != Result::Error) {
                if (count > 0 && dup == INT32_MAX) {
                    want = error("no-memory");
                } else if (dup <= 0) {
                    want = position(h);
                } else {
                    int64_t remaining = total - h;
                    int64_t written = count * dup;
                    int64_t replaced = replaced_limit >= 0 ? std::min(remaining, replaced_limit) : std::min(remaining, written);
                    Vals ins;
                    for (int64_t d = 0; count > 0 && d < dup; d++) ins.insert(ins.end(), src.begin(), src.begin() + count);
                    cells.erase(cells.begin() + h, cells.begin() + h + replaced);
                    cells.insert(cells.begin() + h, ins.begin(), ins.end());
                    want = position(std::min<int64_t>(h + written, int64_t(cells.size())));
                }
            }
        }
    } else if (what == 3) {
        code = std::string("fz-r: remove") + (has_part ? "/part" : "") + " blk" + (has_part ? " " + part_text(part) : "");
        int64_t count = 1;
        if (has_part && !part_count(part, total, head, &count)) want = error("type-limit");
        else {
            if (count >= 1 && head < total) cells.erase(cells.begin() + head, cells.begin() + std::min(total, head + count));
            want = position(m.head);  // a head past the tail stays there
        }
    } else if (what == 4) {
        code = std::string("fz-r: take") + (has_part ? "/part" : "") + (last ? "/last" : "") + " blk" +
               (has_part ? " " + part_text(part) : "");
        int64_t length = total - head;
        int64_t count = 1;
        if (length < 1) {
            want.kind = Result::Value;
            want.value.type = TYPE_NONE;
        } else if (has_part && part.kind == Part::Float && !part_count(part, total, head, &count)) {
            want = error("type-limit");
        } else {
            if (has_part) {
                if (part.kind == Part::At) {
                    int64_t q = std::min(part.n, total);
                    count = q < head ? 0 : last ? head + length - q : q - head;
                } else part_count(part, total, head, &count);
            }
            int64_t from_ = head, avail = length;
            bool before = count < 0;
            if (before) {
                avail = head;
                count = last ? 1 : -count;
            }
            count = std::min(count, avail);
            if (last) from_ = total - count;
            else if (before) from_ = head - count;
            Vals taken(cells.begin() + from_, cells.begin() + from_ + count);
            cells.erase(cells.begin() + from_, cells.begin() + from_ + count);
            if (has_part) {
                want.kind = Result::Block;
                want.cells = taken;
            } else {
                want.kind = Result::Value;
                if (!taken.empty()) want.value = taken[0];
                else want.kind = Result::Unchecked;
            }
            if (has_part && count == 0 && !last && head > 0) want.kind = Result::Unchecked;  // left open
        }
    } else if (what == 5) {
        bool has_skip = g.pick(3) == 0;
        int64_t skip = has_skip ? bad_or(g, 1 + g.pick(3)) : 1;
        code = std::string("fz-r: reverse") + (has_part ? "/part" : "") + (has_skip ? "/skip" : "") + " blk" +
               (has_part ? " " + part_text(part) : "") + (has_skip ? " " + std::to_string(skip) : "");
        int64_t count = total - head;
        want = position(m.head);
        if (has_skip && skip > INT32_MAX) want = error("expect-arg");
        else if (has_part && !part_count(part, total, head, &count)) want = error("type-limit");
        else if (count >= 1) {
            count = std::min(count, total - head);
            if (has_skip && skip < 1) want = error("out-of-range");
            else if (has_skip && count != skip && (count < skip || count % skip != 0)) want = error("invalid-refine-arg");
            else if (count != skip) {
                int64_t recs = count / skip;
                for (int64_t a = 0, b = recs - 1; a < b; a++, b--)
                    for (int64_t q = 0; q < skip; q++) std::swap(cells[head + a * skip + q], cells[head + b * skip + q]);
            }
        }
    } else {
        code = std::string("fz-r: copy") + (has_part ? "/part" : "") + " blk" + (has_part ? " " + part_text(part) : "");
        // A /part counts from the block's own index, also when that lies past
        // the tail: a count back from index 3 of a two-cell block reaches
        // only its last cell.
        int64_t start = m.head, count = total - head;
        if (has_part && !part_count(part, total, m.head, &count)) want = error("type-limit");
        else {
            if (count < 0) {
                if (start + count < 0) count = start, start = 0;
                else start += count, count = -count;
            }
            start = std::min(start, total);
            count = std::min(count, total - start);
            want.kind = Result::Block;
            want.cells.assign(cells.begin() + start, cells.begin() + start + count);
        }
    }
    g_log += code + "\n";
    Model before = m;
    Outcome o = run_code(code);
    read_block(m, node);
    std::string detail = show(before.cells, before.head) + " -> " + show(m.cells, m.head);
    if (want.kind == Result::Error || (o.error && may_float_error)) {
        if (!o.error) fail("edit did not raise", "expected " + show(want) + "; " + detail);
        if (!may_float_error && o.id != want.id) fail("edit raised " + o.id, "expected " + show(want));
        if (m.cells != before.cells) fail("a refused edit changed the block", detail);
        return;
    }
    if (o.error) fail("edit raised " + o.id, "expected " + show(want) + "; " + detail);
    if (m.cells != cells) fail("edit left other contents", "expected " + show(cells) + "; " + detail);
    Cell* r = global("fz-r");
    switch (want.kind) {
    case Result::Position:
        if (r->type() != m.type || r->data2 != node || int32_t(r->data1) != want.index)
            fail("edit gave another position", "expected " + show(want) + ", got index " + std::to_string(int32_t(r->data1)) + "; " + detail);
        if (m.head != before.head) fail("edit moved blk", detail);
        break;
    case Result::Block: {
        if (r->type() != m.type || r->data1 != 0 || r->data2 == node) fail("edit gave no new series", detail);
        Vals got = val_of(r).kids;
        if (got != want.cells) fail("edit gave other cells", "expected " + show(want.cells) + ", got " + show(got) + "; " + detail);
        break;
    }
    case Result::Value:
        if (!(val_of(r) == want.value)) fail("edit gave another value", "expected " + show(want) + ", got " + text_of(val_of(r)));
        break;
    default: break;
    }
}

void run_input(const uint8_t* data, size_t size) {
    // The operations read the input from its start, the block's values from
    // its end: a short input still makes a block and runs operations on it.
    Gen g{data, size};
    std::vector<uint8_t> backwards(data, data + size);
    std::reverse(backwards.begin(), backwards.end());
    Gen values{backwards.data(), size};
    Model m;
    uint32_t k = values.pick(8);
    uint32_t n = k == 0 ? values.pick(3) : k == 1 ? 12 + values.pick(30) : 2 + values.pick(10);
    uint32_t palette = values.pick(5);
    m.cells = make_values(values, n, palette < 4 ? palette : 0);
    uint32_t kind = g.pick(8);
    m.type = kind == 6 ? TYPE_PAREN : kind == 7 ? TYPE_PATH : TYPE_BLOCK;
    k = g.pick(4);
    m.head = k <= 1 ? 0 : k == 2 ? n : g.pick(n + 1);
    g_log = "blk: skip " + std::string(m.type == TYPE_PAREN ? "to paren! " : m.type == TYPE_PATH ? "to path! " : "") +
            literal(m.cells) + " " + std::to_string(m.head) + "\n";
    Outcome made = run_code(g_log);
    if (made.error) fail("the block did not load: " + made.id, "");
    uint32_t node = global("blk")->data2;
    {
        Model loaded = m;
        read_block(loaded, node);
        if (loaded.cells != m.cells) fail("the block loaded as something else", show(loaded.cells));
    }
    for (uint32_t steps = 1 + g.pick(4); steps > 0; steps--) {
        uint32_t which = g.pick(3);
        if (which == 0) check_sort(g, m, node);
        else if (which == 1) check_set_op(g, m, node);
        else check_edit(g, m, node);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::boot_quiet_once();
    if (size == 0 || size > 2048) return 0;
    interp_run_on_big_stack([&] { run_input(data, size); });
    static const bool show_programs = std::getenv("KEL_FUZZ_SHOW") != nullptr;  // for minimising
    if (show_programs) std::fprintf(stderr, "%s----\n", g_log.c_str());
    static uint32_t runs = 0;
    if (++runs % 64 == 0) gc_collect();
    return 0;
}
