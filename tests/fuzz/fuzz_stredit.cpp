// Differential fuzz target for editing text: the input builds a string!,
// file! or url! of unit 1, 2 or 4 and a run of editing steps. Each step is a
// small block (`append/part/dup s v p d`, `take/last s`, `trim/with s w` ...)
// whose argument cells are put in place after loading, evaluated as a script
// would, so the interface checks, the /part and /dup normalisation of the
// dispatchers and the actions themselves all run. The same step is applied
// to a plain model of the series (its characters and its index) written
// here, and the result (value, type, index), the whole text of the series and
// the text of every other value involved are compared after every step.
//
// Steps: append, insert and change (/part as a count, a float, a position in
// the value's own series, a position in another series, or a value of a type
// /part refuses; /dup with counts around 0, negative and near 2^31, floats up
// to 2^63 for change; /only with blocks); remove and remove/part; take with
// /part and /last; clear; reverse with /part and /skip; copy/part; poke;
// pick; at; skip; head; tail; next; back; uppercase and lowercase with
// /part; trim and its refinements. Inserted values: char! (NUL, controls,
// surrogates, up to U+10FFFF), integer!, none!, blocks of integers, chars and
// strings, strings of every unit and text type, and the series itself at
// another index and as another text type (so the source aliases the
// destination). The series keeps positions taken earlier, which later steps
// may leave past the tail.
//
// Steps that would need more than 2^31 bytes must fail with no-memory and
// change nothing; no step may crash. The collector runs during the steps
// (KEL_GC_STRESS=N collects at every N-th allocation), so every cell the
// target holds is rooted.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "runtime/case_fold.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/string.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/startup.h"
#include "tests/fuzz/fuzz_gen.h"

using namespace kel;

namespace {

using fuzz::Gen;
using Text = std::u32string;

constexpr uint64_t kMaxBytes = 0x7FFFFFF0;  // largest used part of a string buffer
// Growth past this many characters in one step is not run: repeated
// self-appends would otherwise double the series up to the memory limit.
constexpr uint64_t kMaxGrowth = 1 << 14;

// Rooted cells: the series, positions kept on its buffer, the arguments of
// a step, the loaded block, the result and a scratch element.
enum Slot : int { SERIES = 0, SAVED = 1, kSaved = 3, ARG = SAVED + kSaved, kArgs = 4, BLOCK = ARG + kArgs, OUT, ELEM, kSlots };
Cell g_cells[kSlots];

const uint32_t kLetters[] = {
    'a', 'b', 'c', 'X', 'Y', 'k', 'K', 's', 'i', 0xDF, 0xFF, 0xE9, 0xB5, 0x17F, 0x130, 0x131, 0x212A, 0x3C3, 0x3A3,
    0x1C5, 0x10428, 0x10400, 0x1E922, 0x1E943, 0x1F600, ' ', ' ', '\t', '\n', '\n', '\r', 0x85, 0xA0, 0x1680, 0x180E,
    0x2000, 0x200A, 0x2028, 0x202F, 0x3000, 0, 1, 0x1F, 0x7F, 0x80, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFFFF, 0xFFFE,
    0x10FFFF, '0', '9', '-',
};
constexpr uint32_t kLetterCount = sizeof kLetters / sizeof kLetters[0];

const int32_t kCounts[] = {0, 1, 2, 3, 5, -1, -2, -3, 2147483647, 2147483646, -2147483647 - 1, -2147483647, 1073741824};
const int32_t kDups[] = {0, 1, 2, 3, 7, -1, -2147483647 - 1, 2147483647, 2147483646};
const double kFloats[] = {0.0, -0.0, 1.0, 2.5, -1.5, 3.99, 2147483647.0, 2147483647.5, 2147483648.0, -2147483648.0,
                          -2147483648.5, -2147483649.0, 9223372036854775807.0, -9223372036854775808.0, 1e300,
                          std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()};

uint32_t code_point(Gen& g) {
    uint32_t k = g.pick(8);
    if (k == 6) return (g.byte() << 16 | g.byte() << 8 | g.byte()) % 0x110000;
    if (k == 7) return 'a' + g.pick(26);
    return kLetters[g.pick(kLetterCount)];
}

uint32_t text_type(Gen& g) {
    uint32_t k = g.pick(6);
    return k == 0 ? TYPE_FILE : k == 1 ? TYPE_URL : TYPE_STRING;
}

uint32_t widest(const Text& t) {
    uint32_t u = 1;
    for (char32_t c : t) u = std::max(u, unit_for_codepoint(c));
    return u;
}

// A unit for the text: never narrower than its widest character.
uint32_t unit_for(Gen& g, const Text& t) {
    static const uint32_t kUnits[] = {1, 2, 4};
    return std::max(kUnits[g.pick(3)], widest(t));
}

void make_text(Cell* out, const Text& cps, uint32_t unit, uint32_t type) {
    string_make(out, uint32_t(cps.size()) + 1, unit, type);
    for (char32_t c : cps) string_set_char_at(out, string_length_total(out), c);
}

// Every code point of a text buffer from its first unit.
Text units_of(const Cell* v) {
    SeriesBuf* b = node_buffer(v->data2);
    Text out;
    uint32_t n = b->used_bytes() / b->unit();
    for (uint32_t i = 0; i < n; i++) out.push_back(string_get_char_at(b, i));
    return out;
}

std::string hex(const Text& t, size_t limit = 64) {
    std::string s;
    char buf[16];
    for (size_t i = 0; i < t.size() && i < limit; i++) {
        std::snprintf(buf, sizeof buf, "%s%X", i > 0 ? " " : "", unsigned(t[i]));
        s += buf;
    }
    if (t.size() > limit) s += " ... (" + std::to_string(t.size()) + ")";
    return s;
}

Text ascii(const std::string& s) { return Text(s.begin(), s.end()); }

// ---- arguments ---------------------------------------------------------------------------------

enum class K { Int, Float, Char, None, Text, Self, Block, SameAsValue };

struct Elem {
    K k;  // Int, Char or Text
    int32_t i = 0;
    uint32_t cp = 0, unit = 1;
    Text text;
    Text form() const { return k == K::Int ? ascii(std::to_string(i)) : k == K::Char ? Text(1, cp) : text; }
};

struct Arg {
    K k = K::None;
    int32_t i = 0;
    double f = 0;
    uint32_t cp = 0;
    uint32_t type = TYPE_STRING;  // Text, Self, SameAsValue
    uint32_t unit = 1;            // Text
    Text text;                    // Text: the whole buffer
    uint32_t index = 0;           // Text, Self, Block, SameAsValue
    std::vector<Elem> elems;      // Block
};

std::string show(const Arg& a) {
    switch (a.k) {
    case K::Int: return "integer " + std::to_string(a.i);
    case K::Float: return "float " + std::to_string(a.f);
    case K::Char: return "char " + hex(Text(1, a.cp));
    case K::None: return "none";
    case K::Text:
        return "text type " + std::to_string(a.type) + " unit " + std::to_string(a.unit) + " index " +
               std::to_string(a.index) + " [" + hex(a.text) + "]";
    case K::Self: return "the series as type " + std::to_string(a.type) + " at index " + std::to_string(a.index);
    case K::SameAsValue: return "the value's series as type " + std::to_string(a.type) + " at " + std::to_string(a.index);
    case K::Block: {
        std::string s = "block at " + std::to_string(a.index) + " [";
        for (const Elem& e : a.elems) s += " (" + hex(e.form()) + ")";
        return s + " ]";
    }
    }
    return "?";
}

// Writes the argument's cell; `value` is the cell a SameAsValue position shares.
void materialise(const Arg& a, Cell* out, const Cell* value) {
    switch (a.k) {
    case K::Int: cell_set(out, TYPE_INTEGER, 0, uint32_t(a.i)); break;
    case K::Float:
        cell_set(out, TYPE_FLOAT);
        cell_put_float(out, a.f);
        break;
    case K::Char: cell_set(out, TYPE_CHAR, 0, a.cp); break;
    case K::None: cell_set(out, TYPE_NONE); break;
    case K::Text:
        make_text(out, a.text, a.unit, a.type);
        out->data1 = a.index;
        break;
    case K::Self:
        *out = g_cells[SERIES];
        cell_set_type(out, a.type);
        out->data1 = a.index;
        break;
    case K::SameAsValue:
        *out = *value;
        cell_set_type(out, a.type);
        out->data1 = a.index;
        break;
    case K::Block:
        block_make_at(out, int32_t(a.elems.size()));
        for (const Elem& e : a.elems) {
            Cell* el = &g_cells[ELEM];
            if (e.k == K::Int) cell_set(el, TYPE_INTEGER, 0, uint32_t(e.i));
            else if (e.k == K::Char) cell_set(el, TYPE_CHAR, 0, e.cp);
            else make_text(el, e.text, e.unit, TYPE_STRING);
            block_append_value(out, el);
        }
        out->data1 = a.index;
        break;
    }
}

Text random_text(Gen& g, uint32_t max_len) {
    Text t;
    for (uint32_t n = g.pick(max_len + 1); n > 0; n--) t.push_back(code_point(g));
    return t;
}

int32_t count_arg(Gen& g, uint32_t n) {
    if (g.pick(3) == 0) return kCounts[g.pick(sizeof kCounts / sizeof kCounts[0])];
    return int32_t(g.pick(2 * n + 5)) - int32_t(n + 2);
}

// A value to insert: every kind editing accepts.
Arg value_arg(Gen& g, uint32_t n) {
    Arg a;
    switch (g.pick(12)) {
    case 0: case 1: a.k = K::Char; a.cp = code_point(g); break;
    case 2: a.k = K::Int; a.i = g.pick(2) ? int32_t(g.pick(200)) - 100 : kCounts[g.pick(sizeof kCounts / sizeof kCounts[0])]; break;
    case 3: a.k = K::None; break;
    case 4: case 5: {
        a.k = K::Block;
        for (uint32_t m = g.pick(5); m > 0; m--) {
            Elem e;
            uint32_t k = g.pick(3);
            e.k = k == 0 ? K::Int : k == 1 ? K::Char : K::Text;
            e.i = int32_t(g.pick(30)) - 10;
            e.cp = code_point(g);
            e.text = random_text(g, 4);
            e.unit = unit_for(g, e.text);
            a.elems.push_back(e);
        }
        a.index = g.pick(uint32_t(a.elems.size()) + 2);
        break;
    }
    case 6: case 7: case 8: {
        a.k = K::Text;
        a.text = random_text(g, 8);
        a.unit = unit_for(g, a.text);
        a.type = text_type(g);
        a.index = g.pick(4) == 0 ? g.pick(uint32_t(a.text.size()) + 3) : 0;
        break;
    }
    default:
        a.k = K::Self;  // the destination itself: the source aliases it
        a.type = g.pick(4) == 0 ? text_type(g) : g_cells[SERIES].type();
        a.index = g.pick(n + 3);
        break;
    }
    return a;
}

// A /part limit: counts, floats, positions in the value's series, the
// destination's or another series, or a type /part refuses.
Arg limit_arg(Gen& g, uint32_t n, const Arg& value, bool value_series_ok) {
    Arg a;
    uint32_t k = g.pick(16);
    if (k <= 6) {
        a.k = K::Int;
        a.i = count_arg(g, n);
    } else if (k <= 8) {
        a.k = K::Float;
        a.f = kFloats[g.pick(sizeof kFloats / sizeof kFloats[0])];
    } else if (k <= 11 && value_series_ok) {
        a.k = K::SameAsValue;
        a.type = g.pick(5) == 0 ? text_type(g) : value.k == K::Block ? TYPE_BLOCK : value.type;
        if (value.k == K::Block) a.type = TYPE_BLOCK;
        uint32_t len = value.k == K::Block ? uint32_t(value.elems.size()) : value.k == K::Text ? uint32_t(value.text.size()) : n;
        a.index = g.pick(len + 3);
    } else if (k <= 13) {
        a.k = K::Self;
        a.type = g.pick(5) == 0 ? text_type(g) : g_cells[SERIES].type();
        a.index = g.pick(n + 3);
    } else if (k == 14) {
        a.k = K::Text;  // another series
        a.text = ascii("xyz");
        a.type = g_cells[SERIES].type();
        a.index = g.pick(4);
    } else {
        a.k = g.pick(2) ? K::None : K::Char;
        a.cp = 'a';
    }
    return a;
}

// ---- outcomes ----------------------------------------------------------------------------------

struct Out {
    enum Kind { OnSeries, Fresh, Char, None, Error, Other, Skip } kind = None;
    uint32_t type = 0;
    int64_t n = 0;  // index (OnSeries, Fresh), code point (Char), type (Other)
    Text text;      // Fresh
    std::string id; // Error
    bool operator==(const Out& o) const {
        return kind == o.kind && type == o.type && n == o.n && text == o.text && id == o.id;
    }
};

Out on_series(uint32_t type, int64_t index) { return {Out::OnSeries, type, index, {}, {}}; }
Out fresh(uint32_t type, const Text& t) { return {Out::Fresh, type, 0, t, {}}; }
Out char_out(uint32_t cp) { return {Out::Char, 0, int64_t(cp), {}, {}}; }
Out none_out() { return {}; }
Out error(const char* id) { return {Out::Error, 0, 0, {}, id}; }

std::string show(const Out& o) {
    switch (o.kind) {
    case Out::OnSeries: return "the series as type " + std::to_string(o.type) + " at index " + std::to_string(o.n);
    case Out::Fresh: return "a new series of type " + std::to_string(o.type) + " at " + std::to_string(o.n) + " [" + hex(o.text) + "]";
    case Out::Char: return "char " + hex(Text(1, char32_t(o.n)));
    case Out::None: return "none";
    case Out::Error: return "error " + o.id;
    case Out::Other: return "a value of type " + std::to_string(o.n);
    case Out::Skip: return "(not run)";
    }
    return "?";
}

// ---- the model -----------------------------------------------------------------------------------

struct Step {
    std::string path;         // the word or path called
    std::vector<Arg> args;    // after the series
    bool part = false, only = false, dup = false, last = false, skip = false;
    bool head = false, tail = false, lines = false, all = false, with = false, auto_ = false;
    int op = 0;
};

enum Op {
    APPEND, INSERT, CHANGE, REMOVE, TAKE, CLEAR, REVERSE, COPY, POKE, PICK, AT, SKIP, HEAD, TAIL, NEXT, BACK, UPPER,
    LOWER, TRIM, kOps
};

struct State {
    Text m;             // the series' buffer
    uint32_t type = 0;  // the series' type
    int64_t index = 0;  // the series' head index (may lie past the tail)
};

bool is_text_type(uint32_t t) { return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL; }

int64_t clamp(int64_t v, int64_t lo, int64_t hi) { return std::max(lo, std::min(v, hi)); }

// The characters of a value from position `from` (its head for a text, its
// element for a block), the current series text standing for Self.
Text chars_from(const Arg& a, const Text& m, int64_t from) {
    if (a.k == K::Text) return a.text.substr(size_t(clamp(from, 0, int64_t(a.text.size()))));
    if (a.k == K::Self) return m.substr(size_t(clamp(from, 0, int64_t(m.size()))));
    return {};
}

// Total units (elements) of a series value.
int64_t value_total(const Arg& a, const Text& m) {
    return a.k == K::Text ? int64_t(a.text.size()) : a.k == K::Self ? int64_t(m.size()) : int64_t(a.elems.size());
}

bool is_series_arg(const Arg& a) { return a.k == K::Text || a.k == K::Self || a.k == K::Block || a.k == K::SameAsValue; }

// The type a /part or /with argument has, for the interface checks.
uint32_t arg_type(const Arg& a) {
    switch (a.k) {
    case K::Int: return TYPE_INTEGER;
    case K::Float: return TYPE_FLOAT;
    case K::Char: return TYPE_CHAR;
    case K::None: return TYPE_NONE;
    case K::Block: return TYPE_BLOCK;
    default: return a.type;
    }
}

// What append (insert when !is_append) must give, and the new text.
Out ref_insert(const Step& st, State& s, bool is_append) {
    const Arg& v = st.args[0];
    int64_t n = int64_t(s.m.size());
    int64_t sidx = s.index;
    if (!is_append) sidx = std::min(sidx, n);
    // Interface checks: /part takes a number or a series, /dup an integer.
    if (st.part) {
        uint32_t t = arg_type(st.args[1]);
        if (t == TYPE_NONE || t == TYPE_CHAR) return error("expect-arg");
    }
    if (st.dup && st.args[2].k != K::Int) return error("expect-arg");
    int64_t part = -1;
    int64_t vidx = v.index;
    if (st.part) {
        const Arg& l = st.args[1];
        if (!(v.k == K::Text || v.k == K::Self || v.k == K::Block)) return error("invalid-part");
        int64_t vtotal = value_total(v, s.m);
        vidx = std::min(vidx, vtotal);
        int64_t count;
        if (l.k == K::Int) {
            count = l.i;
        } else {
            uint32_t vtype = v.k == K::Block ? uint32_t(TYPE_BLOCK) : v.type;
            bool same_buffer = l.k == K::SameAsValue || (l.k == K::Self && v.k == K::Self);
            if (!same_buffer || arg_type(l) != vtype) return error("invalid-refine-arg");
            count = std::min<int64_t>(l.index, vtotal) - vidx;
        }
        if (count == 0 || (count < 0 && vidx == 0)) return on_series(s.type, sidx);
        if (count < 0) {
            int64_t start = std::max<int64_t>(0, vidx + count);
            count = vidx - start;
            vidx = start;
        }
        part = count;
    }
    int64_t dup = 1;
    if (st.dup) {
        dup = st.args[2].i;
        if (dup <= 0) return on_series(s.type, sidx);
    }
    // The characters the value gives.
    Text chars;
    if (v.k == K::Char) {
        chars = Text(1, v.cp);
    } else if (v.k == K::Int) {
        chars = ascii(std::to_string(v.i));
    } else if (v.k == K::None) {
        chars = ascii("none");
    } else if (v.k == K::Block) {
        // Without /only /part counts elements; with it, characters.
        int64_t elems = int64_t(v.elems.size());
        for (int64_t e = std::min(vidx, elems); e < elems; e++) {
            if (!st.only && part >= 0 && e - vidx >= part) break;
            chars += v.elems[size_t(e)].form();
        }
        if (st.only && part >= 0 && int64_t(chars.size()) > part) chars.resize(size_t(part));
    } else {
        chars = chars_from(v, s.m, vidx);
        if (part >= 0 && int64_t(chars.size()) > part) chars.resize(size_t(part));
    }
    uint64_t written = uint64_t(chars.size()) * uint64_t(dup);
    if (written + uint64_t(n) > kMaxBytes) return error("no-memory");
    if (written > kMaxGrowth) return {Out::Skip, 0, 0, {}, {}};
    Text add;
    for (int64_t k = 0; k < dup && !chars.empty(); k++) add += chars;
    int64_t pos = is_append ? n : std::min(sidx, n);
    s.m.insert(size_t(pos), add);
    return on_series(s.type, is_append ? 0 : pos + int64_t(add.size()));
}

bool float_fits(double d) { return d >= -2147483648.0 && d <= 2147483647.0; }

Out ref_change(const Step& st, State& s) {
    const Arg& v = st.args[0];
    int64_t n = int64_t(s.m.size());
    if (st.part) {
        uint32_t t = arg_type(st.args[1]);
        if (t == TYPE_NONE || t == TYPE_CHAR) return error("expect-arg");
    }
    if (st.dup && st.args[2].k != K::Int && st.args[2].k != K::Float) return error("expect-arg");
    int64_t sidx = s.index;
    int64_t part = -1;
    if (st.part) {
        const Arg& l = st.args[1];
        int64_t count;
        if (l.k == K::Int) {
            count = l.i;
        } else if (l.k == K::Float) {
            if (!float_fits(l.f)) return error("type-limit");
            count = int64_t(std::trunc(l.f));
        } else {
            // A position on the series' own buffer, whatever its text type.
            bool own = l.k == K::Self || (l.k == K::SameAsValue && v.k == K::Self);
            if (!own) return error("invalid-refine-arg");
            sidx = std::min(sidx, n);
            count = std::min<int64_t>(l.index, n) - sidx;
        }
        sidx = std::min(sidx, n);
        if (count < 0) {
            int64_t start = std::max<int64_t>(0, sidx + count);
            count = sidx - start;
            sidx = start;
        }
        part = count;
    }
    int64_t dup = 1;
    if (st.dup) {
        const Arg& d = st.args[2];
        if (d.k == K::Float) {
            if (!float_fits(d.f)) return error("type-limit");
            dup = int64_t(std::trunc(d.f));
        } else {
            dup = d.i;
        }
        if (dup <= 0) return on_series(s.type, sidx);
    }
    sidx = std::min(sidx, n);
    Text chars;
    if (v.k == K::Char) chars = Text(1, v.cp);
    else if (v.k == K::Int) chars = ascii(std::to_string(v.i));
    else if (v.k == K::None) chars = ascii("none");
    else if (v.k == K::Block)
        for (size_t e = std::min<size_t>(v.index, v.elems.size()); e < v.elems.size(); e++) chars += v.elems[e].form();
    else chars = chars_from(v, s.m, v.index);
    uint64_t written = uint64_t(chars.size()) * uint64_t(dup);
    if (written + uint64_t(n) > kMaxBytes) return error("no-memory");
    if (written > kMaxGrowth) return {Out::Skip, 0, 0, {}, {}};
    Text add;
    for (int64_t k = 0; k < dup && !chars.empty(); k++) add += chars;
    int64_t remaining = n - sidx;
    int64_t replaced = part >= 0 ? std::min(part, remaining) : std::min<int64_t>(int64_t(add.size()), remaining);
    s.m.replace(size_t(sidx), size_t(replaced), add);
    return on_series(s.type, sidx + int64_t(add.size()));
}

// The count of a /part that must be an integer! or a position on the
// series' own buffer and type (remove, take, reverse, copy); false for a
// value it refuses.
bool same_series_position(const Arg& l, const State& s, const Arg* value, int64_t* pos) {
    bool own = l.k == K::Self || (l.k == K::SameAsValue && value && value->k == K::Self);
    if (!own || l.type != s.type) return false;
    *pos = std::min<int64_t>(l.index, int64_t(s.m.size()));
    return true;
}

Out ref_remove(const Step& st, State& s) {
    int64_t n = int64_t(s.m.size());
    int64_t count = 1;
    if (st.part) {
        const Arg& l = st.args[0];
        if (l.k == K::None) return error("expect-arg");
        if (l.k == K::Int) {
            count = l.i;
        } else {
            int64_t q;
            if (!same_series_position(l, s, nullptr, &q)) return error("invalid-refine-arg");
            count = q - s.index;
        }
    }
    if (count < 1 || s.index >= n) return on_series(s.type, s.index);
    s.m.erase(size_t(s.index), size_t(std::min(count, n - s.index)));
    return on_series(s.type, s.index);
}

Out ref_take(const Step& st, State& s) {
    int64_t n = int64_t(s.m.size());
    if (st.part && (st.args[0].k == K::None || st.args[0].k == K::Char)) return error("expect-arg");
    int64_t idx = s.index;
    int64_t len = idx >= n ? 0 : n - idx;
    if (len < 1) return none_out();
    int64_t count = 1;
    if (st.part) {
        const Arg& l = st.args[0];
        if (l.k == K::Int) {
            count = l.i;
        } else {
            int64_t q;
            if (!same_series_position(l, s, nullptr, &q)) return error("invalid-refine-arg");
            count = q < idx ? 0 : st.last ? idx + len - q : q - idx;
        }
    }
    int64_t available = len;
    bool before = count < 0;
    if (before) {
        available = idx;
        count = st.last ? 1 : -count;
    }
    count = std::min(count, available);
    int64_t start = st.last ? n - count : before ? idx - count : idx;
    Text taken = s.m.substr(size_t(start), size_t(count));
    s.m.erase(size_t(start), size_t(count));
    if (st.part) return fresh(s.type, taken);
    return count > 0 ? char_out(taken[0]) : none_out();
}

Out ref_clear(State& s) {
    int64_t n = int64_t(s.m.size());
    if (s.index >= n) return on_series(s.type, n);
    s.m.resize(size_t(s.index));
    return on_series(s.type, s.index);
}

Out ref_reverse(const Step& st, State& s) {
    int64_t n = int64_t(s.m.size());
    if (st.part && (st.args[0].k == K::None || st.args[0].k == K::Char)) return error("expect-arg");
    int64_t len = s.index >= n ? 0 : n - s.index;
    int64_t range = len;
    if (st.part) {
        const Arg& l = st.args[0];
        if (l.k == K::Int) {
            range = l.i;
        } else {
            int64_t q;
            if (!same_series_position(l, s, nullptr, &q)) return error("invalid-refine-arg");
            range = q - s.index;
        }
    }
    Out same = on_series(s.type, s.index);
    if (range < 1) return same;
    range = std::min(range, len);
    int64_t size = 1;
    if (st.skip) {
        size = st.args[1].i;
        if (size < 1) return error("out-of-range");
        if (size == range) return same;
        if (range < size || range % size != 0) return error("invalid-refine-arg");
    }
    if (range < 2) return same;
    int64_t records = range / size;
    Text part = s.m.substr(size_t(s.index), size_t(range)), out;
    for (int64_t r = records - 1; r >= 0; r--) out += part.substr(size_t(r * size), size_t(size));
    s.m.replace(size_t(s.index), size_t(range), out);
    return same;
}

Out ref_copy(const Step& st, const State& s) {
    int64_t n = int64_t(s.m.size());
    if (st.part && (st.args[0].k == K::None || st.args[0].k == K::Char)) return error("expect-arg");
    int64_t idx = s.index;
    int64_t start = idx, count = idx >= n ? 0 : n - idx;
    if (st.part) {
        const Arg& l = st.args[0];
        if (l.k == K::Int) {
            count = l.i;
        } else {
            int64_t q;
            if (!same_series_position(l, s, nullptr, &q)) return error("invalid-refine-arg");
            count = q - idx;
        }
    }
    if (count < 0) {
        if (start + count < 0) {
            count = start;
            start = 0;
        } else {
            start += count;
            count = -count;
        }
    }
    start = clamp(start, 0, n);
    count = clamp(count, 0, n - start);
    return fresh(s.type, s.m.substr(size_t(start), size_t(count)));
}

Out ref_pick_poke(const Step& st, State& s, bool poke) {
    int64_t n = int64_t(s.m.size());
    int32_t index = st.args[0].i;
    int64_t p = s.index + (index < 0 ? index : int64_t(index) - 1);
    bool out = index == 0 || p < 0 || p >= n;
    if (!poke) return out ? none_out() : char_out(s.m[size_t(p)]);
    if (out) return error("out-of-range");
    const Arg& v = st.args[1];
    if (v.k != K::Char) return error("invalid-arg");
    s.m[size_t(p)] = v.cp;
    return char_out(v.cp);
}

Out ref_move(const Step& st, const State& s) {
    int64_t n = int64_t(s.m.size()), i = s.index;
    switch (st.op) {
    case AT: case SKIP: {
        int64_t v = st.args[0].i;
        return on_series(s.type, clamp(i + (st.op == AT && v >= 1 ? v - 1 : v), 0, n));
    }
    case HEAD: return on_series(s.type, 0);
    case TAIL: return on_series(s.type, n);
    case NEXT: return on_series(s.type, i + 1 <= n ? i + 1 : i);
    default: return on_series(s.type, i > 0 ? i - 1 : i);
    }
}

Out ref_case(const Step& st, State& s, int mode) {
    int64_t n = int64_t(s.m.size());
    int64_t head = std::min(s.index, n), left = n - head, count = left;
    if (st.part) {
        const Arg& l = st.args[0];
        if (l.k == K::None || l.k == K::Char) return error("expect-arg");
        if (l.k == K::Float || l.k == K::Int) {
            int64_t c = l.i;
            if (l.k == K::Float) {
                double d = std::trunc(l.f);
                if (std::isnan(d) || d > 2147483647.0 || d < -2147483648.0) return error("out-of-range");
                c = int64_t(d);
            }
            count = c < 0 ? 0 : std::min(c, left);
        } else {
            int64_t q;
            bool own = l.k == K::Self && l.type == s.type;
            if (!own) return error("invalid-refine-arg");
            q = l.index;
            count = q <= head ? 0 : std::min(q - head, left);
        }
    }
    for (int64_t k = head; k < head + count; k++) s.m[size_t(k)] = case_change_char(s.m[size_t(k)], mode);
    return on_series(s.type, head);
}

bool space_char(uint32_t c) {
    switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x180E: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
        return true;
    default: return c >= 0x2000 && c <= 0x200A;
    }
}
bool blank(uint32_t c) { return (c >= 1 && c <= 32) || space_char(c); }
bool line_blank(uint32_t c) { return c == ' ' || c == '\t' || space_char(c); }

Text trim_ends(const Text& t, bool head, bool tail) {
    size_t s = 0, e = t.size();
    bool both = !head && !tail;
    if (head || both) while (s < e && blank(t[s])) s++;
    if (tail || both) while (e > s && blank(t[e - 1])) e--;
    Text mid = t.substr(s, e - s);
    if (!both) return mid;
    bool lf_removed = t.find(U'\n', e) != Text::npos;
    Text out;
    size_t from = 0;
    for (;;) {
        size_t nl = mid.find(U'\n', from);
        Text line = mid.substr(from, nl == Text::npos ? Text::npos : nl - from);
        size_t a = 0, b = line.size();
        while (a < b && line_blank(line[a])) a++;
        while (b > a && line_blank(line[b - 1])) b--;
        out += line.substr(a, b - a);
        if (nl == Text::npos) break;
        out += U'\n';
        from = nl + 1;
    }
    if (lf_removed) out += U'\n';
    return out;
}

Text trim_lines(const Text& t) {
    Text out;
    bool gap = false;
    for (char32_t c : t) {
        if (blank(c)) {
            gap = !out.empty();
            continue;
        }
        if (gap) out += U' ';
        gap = false;
        out += c;
    }
    return out;
}

Out ref_trim(const Step& st, State& s) {
    int64_t n = int64_t(s.m.size());
    Text set = {'\t', '\n', '\r', ' '};
    if (st.with) {
        const Arg& w = st.args[0];
        if (w.k == K::None || w.k == K::Float || w.k == K::Block) return error("expect-arg");
        if ((w.k == K::Text || w.k == K::Self) && w.type != TYPE_STRING) return error("expect-arg");
        if (w.k == K::Char) set = Text(1, w.cp);
        else if (w.k == K::Int) set = Text(1, char32_t(uint32_t(w.i)));
        else set = chars_from(w, s.m, w.index);
    }
    if (s.type != TYPE_STRING) return error("expect-arg");  // file! and url! have no trim
    if (!st.all && !st.with && st.auto_) return error("not-done");
    int64_t idx = std::min(s.index, n);
    if (idx >= n) return on_series(s.type, idx);
    Text rest = s.m.substr(size_t(idx)), out;
    if (st.all || st.with) {
        for (char32_t c : rest)
            if (set.find(c) == Text::npos) out += c;
    } else if (st.lines) {
        out = trim_lines(rest);
    } else {
        out = trim_ends(rest, st.head, st.tail);
    }
    s.m = s.m.substr(0, size_t(idx)) + out;
    return on_series(s.type, idx);
}

Out reference(const Step& st, State& s) {
    switch (st.op) {
    case APPEND: return ref_insert(st, s, true);
    case INSERT: return ref_insert(st, s, false);
    case CHANGE: return ref_change(st, s);
    case REMOVE: return ref_remove(st, s);
    case TAKE: return ref_take(st, s);
    case CLEAR: return ref_clear(s);
    case REVERSE: return ref_reverse(st, s);
    case COPY: return ref_copy(st, s);
    case POKE: return ref_pick_poke(st, s, true);
    case PICK: return ref_pick_poke(st, s, false);
    case UPPER: return ref_case(st, s, CASE_UPPER);
    case LOWER: return ref_case(st, s, CASE_LOWER);
    case TRIM: return ref_trim(st, s);
    default: return ref_move(st, s);
    }
}

// ---- building a step -------------------------------------------------------------------------------

Step make_step(Gen& g, uint32_t n) {
    Step st;
    st.op = int(g.pick(kOps));
    auto refine = [&](const char* r) { st.path += r; };
    switch (st.op) {
    case APPEND: case INSERT: case CHANGE: {
        st.path = st.op == APPEND ? "append" : st.op == INSERT ? "insert" : "change";
        Arg v = value_arg(g, n);
        st.args.push_back(v);
        uint32_t flags = g.byte();
        st.part = flags & 1;
        st.only = (flags & 2) && v.k == K::Block;
        st.dup = flags & 4;
        Arg limit = st.part ? limit_arg(g, n, v, is_series_arg(v)) : Arg{};
        if (limit.k == K::SameAsValue && !is_series_arg(v)) limit.k = K::Int;
        st.args.push_back(limit);
        Arg dup;
        dup.k = K::Int;
        dup.i = kDups[g.pick(sizeof kDups / sizeof kDups[0])];
        if (st.op == CHANGE && g.pick(4) == 0) {
            dup.k = K::Float;
            dup.f = kFloats[g.pick(sizeof kFloats / sizeof kFloats[0])];
        } else if (g.pick(16) == 0) {
            dup.k = K::Float;  // refused by append and insert
            dup.f = 2.0;
        }
        st.args.push_back(dup);
        if (st.part) refine("/part");
        if (st.only) refine("/only");
        if (st.dup) refine("/dup");
        break;
    }
    case REMOVE: case TAKE: case REVERSE: case COPY: case UPPER: case LOWER: {
        static const char* const kNames[] = {"remove", "take", "clear", "reverse", "copy"};
        st.path = st.op == UPPER ? "uppercase" : st.op == LOWER ? "lowercase" : kNames[st.op - REMOVE];
        st.part = g.pick(3) != 0;
        Arg none;
        Arg limit = st.part ? limit_arg(g, n, none, false) : Arg{};
        if (st.part) st.args.push_back(limit);
        if (st.part) refine("/part");
        if (st.op == TAKE && g.pick(2)) {
            st.last = true;
            refine("/last");
        }
        if (st.op == REVERSE && g.pick(3) == 0) {
            st.skip = true;
            Arg skip;
            skip.k = K::Int;
            skip.i = g.pick(4) == 0 ? count_arg(g, n) : int32_t(1 + g.pick(4));
            if (!st.part) st.args.push_back(Arg{});  // keeps the skip size second
            st.args.push_back(skip);
            refine("/skip");
        }
        break;
    }
    case CLEAR: st.path = "clear"; break;
    case POKE: case PICK: {
        st.path = st.op == POKE ? "poke" : "pick";
        Arg index;
        index.k = K::Int;
        index.i = count_arg(g, n);
        st.args.push_back(index);
        if (st.op == POKE) {
            Arg v = value_arg(g, n);
            if (g.pick(4)) {
                v.k = K::Char;
                v.cp = code_point(g);
            }
            st.args.push_back(v);
        }
        break;
    }
    case AT: case SKIP: {
        st.path = st.op == AT ? "at" : "skip";
        Arg k;
        k.k = K::Int;
        k.i = count_arg(g, n);
        st.args.push_back(k);
        break;
    }
    case HEAD: st.path = "head"; break;
    case TAIL: st.path = "tail"; break;
    case NEXT: st.path = "next"; break;
    case BACK: st.path = "back"; break;
    case TRIM: {
        st.path = "trim";
        uint32_t flags = g.byte();
        st.head = flags & 1;
        st.tail = flags & 2;
        st.lines = flags & 4;
        st.all = (flags & 24) == 8;
        st.with = (flags & 24) == 16;
        st.auto_ = (flags & 224) == 32;
        if (st.head) refine("/head");
        if (st.tail) refine("/tail");
        if (st.auto_) refine("/auto");
        if (st.lines) refine("/lines");
        if (st.all) refine("/all");
        if (st.with) {
            refine("/with");
            Arg w;
            uint32_t k = g.pick(8);
            if (k <= 2) {
                w.k = K::Char;
                w.cp = code_point(g);
            } else if (k == 3) {
                w.k = K::Int;
                w.i = g.pick(2) ? int32_t(code_point(g)) : kCounts[g.pick(sizeof kCounts / sizeof kCounts[0])];
            } else if (k <= 5) {
                w.k = K::Text;
                w.text = random_text(g, 4);
                w.unit = unit_for(g, w.text);
                w.type = text_type(g);
            } else if (k == 6) {
                w.k = K::Self;
                w.type = g_cells[SERIES].type();
                w.index = g.pick(n + 2);
            } else {
                w.k = K::None;
            }
            st.args.push_back(w);
        }
        break;
    }
    }
    return st;
}

// ---- running a step ----------------------------------------------------------------------------------

std::string describe(const Step& st, const State& before) {
    std::string s = st.path + " on type " + std::to_string(before.type) + " at index " + std::to_string(before.index) +
                    " [" + hex(before.m) + "]";
    for (size_t k = 0; k < st.args.size(); k++) s += "\n    arg " + std::to_string(k + 1) + ": " + show(st.args[k]);
    return s;
}

[[noreturn]] void fail(const Step& st, const State& before, const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_stredit: %s\n  step: %s\n  %s\n", what, describe(st, before).c_str(), detail.c_str());
    std::abort();
}

// The arguments the call writes after the series, in the order of its
// refinements.
std::vector<const Arg*> call_args(const Step& st) {
    std::vector<const Arg*> out;
    switch (st.op) {
    case APPEND: case INSERT: case CHANGE:
        out.push_back(&st.args[0]);
        if (st.part) out.push_back(&st.args[1]);
        if (st.dup) out.push_back(&st.args[2]);
        break;
    case REVERSE:
        if (st.part) out.push_back(&st.args[0]);
        if (st.skip) out.push_back(&st.args[1]);
        break;
    default:
        for (const Arg& a : st.args) out.push_back(&a);
    }
    return out;
}

Out run_step(const Step& st) {
    std::vector<const Arg*> args = call_args(st);
    // Argument cells: the series, then the others (a SameAsValue position
    // shares the cell of the first argument after the series).
    g_cells[ARG] = g_cells[SERIES];
    for (size_t k = 0; k < args.size(); k++) materialise(*args[k], &g_cells[ARG + 1 + k], &g_cells[ARG + 1]);
    std::string text = st.path;
    for (size_t k = 0; k <= args.size(); k++) text += " 0";
    Out out;
    [&] {
        Cell* block = &g_cells[BLOCK];
        Cell* result = &g_cells[OUT];
        cell_set(block, TYPE_NONE);
        cell_set(result, TYPE_NONE);
        try {
            lexer_scan_utf8(block, reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), false, true,
                            true, false, nullptr, nullptr, nullptr, nullptr);
            // The placeholders become the argument cells; nothing allocates meanwhile.
            for (size_t k = 0; k <= args.size(); k++) *block_cell_at(block, uint32_t(k + 1)) = g_cells[ARG + k];
            interp_do_block(block, result);
        } catch (const KelThrow& t) {
            out = error(t.id.c_str());
            return;
        }
        uint32_t type = result->type();
        if (type == TYPE_CHAR) out = char_out(result->data2);
        else if (type == TYPE_NONE) out = none_out();
        else if (is_text_type(type) && result->data2 == g_cells[SERIES].data2) out = on_series(type, result->data1);
        else if (is_text_type(type)) out = {Out::Fresh, type, int64_t(result->data1), units_of(result), {}};
        else out = {Out::Other, 0, int64_t(type), {}, {}};
    }();
    return out;
}

void check_step(const Step& st, State& s) {
    State before = s;
    uint32_t unit_before = node_buffer(g_cells[SERIES].data2)->unit();
    Out want = reference(st, s);
    if (want.kind == Out::Skip) {
        s = before;
        return;
    }
    if (want.kind == Out::Error) s = before;  // an error changes nothing
    Out got = run_step(st);
    if (!(got == want)) fail(st, before, "result differs from the model", "expected " + show(want) + ", got " + show(got));
    Text now = units_of(&g_cells[SERIES]);
    if (now != s.m) fail(st, before, "text differs from the model", "expected [" + hex(s.m) + "]\n  got      [" + hex(now) + "]");
    uint32_t unit = node_buffer(g_cells[SERIES].data2)->unit();
    if (unit < unit_before) fail(st, before, "the buffer narrowed", std::to_string(unit_before) + " to " + std::to_string(unit));
    std::vector<const Arg*> args = call_args(st);
    for (size_t k = 0; k < args.size(); k++) {
        if (args[k]->k != K::Text) continue;
        if (units_of(&g_cells[ARG + 1 + k]) != args[k]->text) fail(st, before, "another value's text changed", show(*args[k]));
    }
    // The result may become the series for the next steps.
    if (got.kind == Out::OnSeries && got.type == s.type) {
        g_cells[SERIES].data1 = uint32_t(got.n);
        s.index = got.n;
    }
}

void run(Gen& g) {
    Text cps = random_text(g, 12);
    uint32_t repeats = g.pick(4) == 0 ? 1 + g.pick(20) : 1;
    Text all;
    for (uint32_t r = 0; r < repeats; r++) all += cps;
    State s;
    s.m = all;
    s.type = text_type(g);
    make_text(&g_cells[SERIES], all, unit_for(g, all), s.type);
    uint32_t k = g.pick(4);
    s.index = k == 0 ? 0 : k == 1 ? int64_t(all.size()) : int64_t(g.pick(uint32_t(all.size()) + 3));
    g_cells[SERIES].data1 = uint32_t(s.index);
    int64_t saved[kSaved];
    for (int i = 0; i < kSaved; i++) {
        g_cells[SAVED + i] = g_cells[SERIES];
        saved[i] = s.index;
    }
    for (uint32_t steps = 0; steps < 24 && g.more(); steps++) {
        uint32_t kind = g.pick(16);
        if (kind == 0) {
            // Keep this position, or go back to one kept earlier (it may
            // now lie past the tail).
            int i = int(g.pick(kSaved));
            if (g.pick(2)) {
                g_cells[SAVED + i] = g_cells[SERIES];
                saved[i] = s.index;
            } else {
                g_cells[SERIES].data1 = uint32_t(saved[i]);
                s.index = saved[i];
            }
            continue;
        }
        Step st = make_step(g, uint32_t(s.m.size()));
        check_step(st, s);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static GcRootCell* root = [] {
        runtime_boot();
        for (Cell& c : g_cells) cell_set(&c, TYPE_NONE);
        return new GcRootCell(g_cells, kSlots);
    }();
    (void)root;
    if (size == 0 || size > 4096) return 0;
    Gen g{data, size};
    run(g);
    for (Cell& c : g_cells) cell_set(&c, TYPE_NONE);
    static uint32_t runs = 0;
    if (++runs % 64 == 0) gc_collect();
    return 0;
}
