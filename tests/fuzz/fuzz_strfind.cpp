// Differential fuzz target for find and select on text: the input builds a
// haystack and a value to look for, runs the real action, and compares the
// result with a plain search written here over code points.
//
// Haystacks are string!, file! or url! values of unit 1, 2 or 4 (never
// narrower than their widest character), short or long (a short piece
// repeated, then a few characters changed), from any index, past the tail
// too. Their letters are chosen so that case partners differ in width or
// have several preimages (K, k and the Kelvin sign, s, long s and sharp s,
// the Turkish i forms, the three sigmas, micro and mu, y with diaeresis,
// iota forms, the dz digraphs, ligatures, letters above U+FFFF).
//
// Values: text of any unit and text type (often a piece of the haystack
// with letters swapped for other letters of the same fold), from any index;
// the haystack itself from another index; a char!; an integer!, none! or
// logic! (looked for as their formed text); a word! (its name); a bitset!
// with or without its complement flag; a binary! (refused in text).
// Refinements: /part (a count, a position in the same series, or a value
// that is neither), /skip, /case, /same, /only, /last, /reverse, /tail,
// /match, and rarely /any or /with, which are not built and must say so.
//
// The reference folds case character by character through the case maps
// (upper case), the fold comparison uses. Record starts for /skip lie at
// the head and every skip characters from it, before it as after it. With
// both /reverse and /last, /reverse decides the direction.
//
// Both the haystack's and the value's characters must come out unchanged.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/actions.h"
#include "runtime/case_fold.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/startup.h"
#include "runtime/symbols.h"
#include "tests/fuzz/fuzz_gen.h"
#include "tests/fuzz/fuzz_text.h"

using namespace kel;

namespace {

using fuzz::case_partner;
using fuzz::fold;
using fuzz::Gen;

const uint32_t kLetters[] = {
    'a', 'A', 'b', 'k', 'K', 0x212A, 's', 'S', 0x17F, 0xDF, 0x1E9E, 'i', 'I', 0x130, 0x131, 0x3A3, 0x3C3, 0x3C2,
    0xB5, 0x39C, 0x3BC, 0xFF, 0x178, 0xE9, 0xC9, 0x345, 0x3B9, 0x399, 0x1FBE, 0x390, 0x1C4, 0x1C5, 0x1C6, 'f',
    'F', 0xFB00, 0x10428, 0x10400, 0x1E922, 0x1E900, '1', '2', '-', 'n', 'o', 'e', 't', ' ', 0, 0xFFFF, 0x1F600,
};
constexpr uint32_t kLetterCount = sizeof kLetters / sizeof kLetters[0];

const char* const kNames[] = {"k", "ss", "stra\xC3\x9F\x65", "\xCF\x83\xCF\x82", "\xC7\x85", "\xC5\xBF", "i", "Ab"};
const int32_t kIntegers[] = {1, 12, -1, 21, 0, 2147483647, -2147483647 - 1, -12};

uint32_t code_point(Gen& g) {
    uint32_t k = g.pick(8);
    if (k == 6) return (g.byte() << 16 | g.byte() << 8 | g.byte()) % 0x110000;
    if (k == 7) return g.byte();
    return kLetters[g.pick(kLetterCount)];
}

uint32_t text_type(Gen& g) {
    uint32_t k = g.pick(8);
    return k == 0 ? TYPE_FILE : k == 1 ? TYPE_URL : TYPE_STRING;
}

void make_text(Cell* out, const std::vector<uint32_t>& cps, uint32_t unit, uint32_t type) {
    string_make(out, uint32_t(cps.size()) + 1, unit, type);
    for (uint32_t c : cps) string_append_char(out, c);
}

// Every code point of a text buffer from its first unit.
std::vector<uint32_t> units_of(const Cell* v) {
    SeriesBuf* b = node_buffer(v->data2);
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < b->used_bytes() / b->unit(); i++) out.push_back(string_get_char_at(b, i));
    return out;
}

enum class Kind { Text, Char, Bitset, Binary };

struct Case {
    bool select = false;
    Cell hay{TYPE_NONE, 0, 0, 0};
    Cell value{TYPE_NONE, 0, 0, 0};
    Cell part{TYPE_NONE, 0, 0, 0};
    Cell skip{TYPE_NONE, 0, 0, 0};
    FindArgs args;
    Kind kind = Kind::Text;
    std::vector<uint32_t> needle;  // the characters looked for (Text, Char)
    std::string shown;             // the value as the report shows it
};

std::string hex_list(const std::vector<uint32_t>& cps) {
    std::string s;
    char buf[16];
    for (size_t i = 0; i < cps.size(); i++) {
        std::snprintf(buf, sizeof buf, "%s%X", i > 0 ? " " : "", cps[i]);
        s += buf;
    }
    return s;
}

void build_hay(Gen& g, Case& c) {
    static const uint32_t kUnits[] = {1, 2, 4};
    std::vector<uint32_t> piece(1 + g.pick(12));
    for (uint32_t& x : piece) x = code_point(g);
    std::vector<uint32_t> cps;
    uint32_t repeats = g.pick(3) == 0 ? 1 + g.pick(40) : 1;
    for (uint32_t r = 0; r < repeats; r++) cps.insert(cps.end(), piece.begin(), piece.end());
    if (g.pick(6) == 0) cps.clear();
    for (uint32_t m = g.pick(6); m > 0 && !cps.empty(); m--) cps[g.pick_wide(uint32_t(cps.size()))] = code_point(g);
    make_text(&c.hay, cps, kUnits[g.pick(3)], text_type(g));
    uint32_t n = uint32_t(cps.size());
    uint32_t k = g.pick(4);
    c.hay.data1 = k == 0 ? 0 : k == 1 ? n : g.pick(n + 2);
}

void build_value(Gen& g, Case& c) {
    static const uint32_t kUnits[] = {1, 2, 4};
    std::vector<uint32_t> hay = units_of(&c.hay);
    uint32_t n = uint32_t(hay.size());
    uint32_t k = g.pick(16);
    if (k <= 6) {
        std::vector<uint32_t> cps;
        if (n > 0 && g.pick(8) != 7) {
            uint32_t from = g.pick(n), len = g.pick(8) == 7 ? 0 : 1 + g.pick(8);
            for (uint32_t i = from; i < n && i < from + len; i++)
                cps.push_back(g.pick(3) ? hay[i] : case_partner(g, kLetters, hay[i]));
        } else {
            for (uint32_t len = g.pick(5); len > 0; len--) cps.push_back(code_point(g));
        }
        // Characters before the value's index are not looked for.
        uint32_t skipped = g.pick(4) == 0 ? 1 + g.pick(3) : 0;
        std::vector<uint32_t> all(skipped, 'S');
        all.insert(all.end(), cps.begin(), cps.end());
        make_text(&c.value, all, kUnits[g.pick(3)], text_type(g));
        c.value.data1 = skipped;
        c.needle = cps;
        c.shown = "text of unit " + std::to_string(node_buffer(c.value.data2)->unit()) + " [" + hex_list(cps) + "]";
    } else if (k <= 9) {
        uint32_t cp = n > 0 && g.pick(2) ? case_partner(g, kLetters, hay[g.pick(n)]) : code_point(g);
        cell_set(&c.value, TYPE_CHAR, 0, cp, 0);
        c.kind = Kind::Char;
        c.needle = {cp};
        c.shown = "char " + hex_list(c.needle);
    } else if (k == 10) {
        int32_t i = kIntegers[g.pick(sizeof kIntegers / sizeof kIntegers[0])];
        cell_set(&c.value, TYPE_INTEGER, 0, uint32_t(i), 0);
        std::string text = std::to_string(i);
        c.needle.assign(text.begin(), text.end());
        c.shown = "integer " + text;
    } else if (k == 11) {
        const char* name = g.from(kNames);
        word_from_cstring(&c.value, name);
        Cell text;
        string_make(&text, 8, 1);
        string_append_utf8(&text, name, std::char_traits<char>::length(name));
        c.needle = units_of(&text);
        c.shown = std::string("word ") + name;
    } else if (k == 12) {
        std::vector<uint8_t> bits(g.pick(40));
        for (uint8_t& b : bits) b = uint8_t(g.byte());
        string_make(&c.value, uint32_t(bits.size()) + 1, 1, TYPE_BITSET);
        string_append_bytes_n(&c.value, bits.data(), uint32_t(bits.size()));
        bool complement = g.pick(2);
        if (complement) series_set_flags(c.value.data2, SERIES_COMPLEMENT);
        c.kind = Kind::Bitset;
        c.shown = std::string("bitset ") + (complement ? "(complement) " : "") + std::to_string(bits.size()) + " bytes";
    } else if (k == 13) {
        string_make(&c.value, 4, 1, TYPE_BINARY);
        string_append_ascii(&c.value, "ab");
        c.kind = Kind::Binary;
        c.shown = "binary #{6162}";
    } else if (k == 14) {
        uint32_t which = g.pick(3);
        if (which == 0) cell_set(&c.value, TYPE_NONE);
        else cell_set(&c.value, TYPE_LOGIC, which == 1);
        std::string text = which == 0 ? "none" : which == 1 ? "true" : "false";
        c.needle.assign(text.begin(), text.end());
        c.shown = text;
    } else {
        c.value = c.hay;
        c.value.data1 = g.pick(n + 2);
        if (c.value.data1 < n) c.needle.assign(hay.begin() + c.value.data1, hay.end());
        c.shown = "the haystack at index " + std::to_string(c.value.data1);
    }
}

void build_args(Gen& g, Case& c) {
    static const int32_t kCounts[] = {-2, -1, 0, 1, 2, 3, 5, 8, 100, 2147483647, -2147483647 - 1};
    uint32_t n = uint32_t(units_of(&c.hay).size());
    uint32_t flags = g.byte();
    FindArgs& a = c.args;
    a.case_ = flags & 1;
    a.last = flags & 2;
    a.reverse = flags & 4;
    a.tail = !c.select && (flags & 8);
    a.match = !c.select && (flags & 16);
    a.same = flags & 32;
    a.only = flags & 64;
    if (flags & 128) {
        uint32_t k = g.pick(16);
        if (k == 0) a.any = true;
        if (k == 1) a.with = &c.skip;  // refused before the wildcard is read
    }
    // Past the end of the input every pick is 0: that gives no refinement,
    // or a valid one.
    if (g.pick(3) == 1) {
        int32_t step = g.pick(8) < 7 ? int32_t(1 + g.pick(4)) : kCounts[g.pick(sizeof kCounts / sizeof kCounts[0])];
        cell_set(&c.skip, TYPE_INTEGER, 0, uint32_t(step), 0);
        a.skip = &c.skip;
    }
    if (g.pick(3) == 1) {
        uint32_t k = g.pick(16);
        if (k <= 4) {
            cell_set(&c.part, TYPE_INTEGER, 0, uint32_t(kCounts[g.pick(sizeof kCounts / sizeof kCounts[0])]), 0);
        } else if (k <= 9) {
            cell_set(&c.part, TYPE_INTEGER, 0, g.pick(n + 4) - 1, 0);
        } else if (k <= 13) {
            c.part = c.hay;
            c.part.data1 = g.pick(n + 3);
        } else if (k == 14) {
            c.part = c.hay;  // the same buffer as another type
            cell_set_type(&c.part, c.hay.is(TYPE_STRING) ? TYPE_FILE : TYPE_STRING);
        } else {
            make_text(&c.part, {'x'}, 1, c.hay.type());
        }
        a.part = &c.part;
    }
}

struct Outcome {
    enum Kind { None, At, Char, Error } kind = None;
    int64_t n = 0;
    std::string id;
    bool operator==(const Outcome& o) const { return kind == o.kind && n == o.n && id == o.id; }
};

std::string show(const Outcome& o) {
    switch (o.kind) {
    case Outcome::None: return "none";
    case Outcome::At: return "index " + std::to_string(o.n);
    case Outcome::Char: return "char " + hex_list({uint32_t(o.n)});
    case Outcome::Error: return "error " + o.id;
    }
    return "?";
}

bool bitset_has(const Cell* set, uint32_t cp) {
    std::vector<uint32_t> bytes = units_of(set);
    if (uint64_t(cp) >= uint64_t(bytes.size()) * 8) return (node_buffer(set->data2)->flags & SERIES_COMPLEMENT) != 0;
    return (bytes[cp / 8] >> (7 - cp % 8)) & 1;
}

Outcome error(const char* id) { return {Outcome::Error, 0, id}; }

// What find or select must give, by plain loops over code points.
Outcome reference(const Case& c) {
    const FindArgs& a = c.args;
    std::vector<uint32_t> hay = units_of(&c.hay);
    int64_t total = int64_t(hay.size());
    int64_t head = std::min<int64_t>(c.hay.data1, total);
    if (total == 0 || (head >= total && !a.reverse)) return {};
    if (a.any || a.with) return error("not-done");
    int64_t step = 1;
    if (a.skip) {
        step = int32_t(a.skip->data2);
        if (step < 1) return error("out-of-range");
    }
    int64_t count = a.reverse ? head : total - head;
    if (a.part) {
        int64_t n;
        if (a.part->is(TYPE_INTEGER)) n = int32_t(a.part->data2);
        else if (a.part->type() == c.hay.type() && a.part->data2 == c.hay.data2)
            n = std::min<int64_t>(a.part->data1, total) - head;
        else return error("invalid-refine-arg");
        if (n < 1) return {};
        count = std::min(count, n);
    }
    if (a.reverse && (a.match || head == 0)) return {};
    if (c.kind == Kind::Binary) return error("invalid-arg");
    bool fold_case = !a.case_ && !a.same;
    int64_t k = c.kind == Kind::Bitset ? 1 : int64_t(c.needle.size());
    if (k == 0) return {};

    auto matches_at = [&](int64_t s) {
        if (c.kind == Kind::Bitset) return bitset_has(&c.value, hay[s]);
        for (int64_t j = 0; j < k; j++) {
            uint32_t x = hay[s + j], y = c.needle[j];
            if (fold_case ? fold(x) != fold(y) : x != y) return false;
        }
        return true;
    };
    // Candidates are record starts (head + m * step) whose match lies in
    // [lo, hi); backwards from the last one, or forwards from the head.
    int64_t lo = a.reverse ? head - count : head, hi = a.reverse ? head : head + count;
    std::vector<int64_t> starts;
    if (a.reverse) {
        for (int64_t s = head - step; s >= lo; s -= step)
            if (s + k <= hi) starts.push_back(s);
    } else {
        for (int64_t s = head; s + k <= hi; s += step) starts.push_back(s);
        if (a.last) std::reverse(starts.begin(), starts.end());
    }
    if (a.match && starts.size() > 1) starts.resize(1);
    for (int64_t s : starts) {
        if (!matches_at(s)) continue;
        if (!c.select) return {Outcome::At, s + (a.tail ? k : 0), ""};
        if (s + k >= total) return {};
        return {Outcome::Char, int64_t(hay[s + k]), ""};
    }
    return {};
}

[[noreturn]] void fail(const Case& c, const Outcome& want, const Outcome& got, const char* what) {
    std::vector<uint32_t> hay = units_of(&c.hay);
    const FindArgs& a = c.args;
    std::fprintf(stderr, "fuzz_strfind: %s\n", what);
    std::fprintf(stderr, "  %s in type %u unit %u, index %u: [%s]\n", c.select ? "select" : "find", c.hay.type(),
                 node_buffer(c.hay.data2)->unit(), c.hay.data1, hex_list(hay).c_str());
    std::fprintf(stderr, "  value: %s\n", c.shown.c_str());
    std::fprintf(stderr, "  refinements:%s%s%s%s%s%s%s%s%s\n", a.case_ ? " /case" : "", a.same ? " /same" : "",
                 a.only ? " /only" : "", a.last ? " /last" : "", a.reverse ? " /reverse" : "", a.tail ? " /tail" : "",
                 a.match ? " /match" : "", a.any ? " /any" : "", a.with ? " /with" : "");
    if (a.skip) std::fprintf(stderr, "  /skip %d\n", int32_t(a.skip->data2));
    if (a.part) {
        if (a.part->is(TYPE_INTEGER)) std::fprintf(stderr, "  /part %d\n", int32_t(a.part->data2));
        else std::fprintf(stderr, "  /part series of type %u, index %u, %s buffer\n", a.part->type(), a.part->data1,
                          a.part->data2 == c.hay.data2 ? "same" : "another");
    }
    std::fprintf(stderr, "  expected %s, got %s\n", show(want).c_str(), show(got).c_str());
    std::abort();
}

void run(Case& c) {
    std::vector<uint32_t> hay_before = units_of(&c.hay);
    std::vector<uint32_t> value_before;
    bool text_value = c.value.type() == TYPE_STRING || c.value.type() == TYPE_FILE || c.value.type() == TYPE_URL ||
                      c.value.type() == TYPE_BITSET || c.value.type() == TYPE_BINARY;
    if (text_value) value_before = units_of(&c.value);
    Outcome want = reference(c);

    Cell series = c.hay, value = c.value;
    Outcome got;
    try {
        Cell* r = c.select ? action_fn<ACT_SELECT>(series.type())(&series, &value, c.args)
                           : action_fn<ACT_FIND>(series.type())(&series, &value, c.args);
        if (r->is(TYPE_NONE)) {
            got = {};
        } else if (c.select) {
            if (!r->is(TYPE_CHAR)) fail(c, want, got, "select gave neither none nor a char!");
            got = {Outcome::Char, int64_t(r->data2), ""};
        } else {
            if (r->type() != c.hay.type() || r->data2 != c.hay.data2)
                fail(c, want, got, "find gave another series");
            got = {Outcome::At, int64_t(r->data1), ""};
        }
    } catch (const KelThrow& t) {
        got = error(t.id.c_str());
    }
    if (!(got == want)) fail(c, want, got, "result differs from the plain search");
    if (units_of(&c.hay) != hay_before) fail(c, want, got, "the haystack changed");
    if (text_value && units_of(&c.value) != value_before) fail(c, want, got, "the value changed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (runtime_boot(), true);
    (void)ready;
    if (size == 0 || size > 4096) return 0;
    {
        // Nothing here is rooted: the collector waits until the run is over.
        GcEnabledScope off(false);
        Gen g{data, size};
        Case c;
        c.select = g.pick(4) == 0;
        build_hay(g, c);
        build_value(g, c);
        build_args(g, c);
        run(c);
    }
    static uint32_t runs = 0;
    if (++runs % 64 == 0) gc_collect();
    return 0;
}
