// Fuzz target for the text form as a save format: a molded value, loaded
// back through the lexer, is the value again.
//
// Values come from the input in one of two ways (its first byte chooses):
//  - the rest of the input loaded as Kel text (nothing more is done when it
//    does not load): the loaded block and each of its values;
//  - values built directly from the bytes: strings, files and URLs of any
//    code points (controls, quotes, braces, carets, NUL, surrogates,
//    non-ASCII) at unit widths 1, 2 and 4 and from any index, the six word
//    types of names that `to word!` accepts, integers at the edges, floats of
//    any bit pattern, chars of any code point, blocks and parens with
//    new-line marks, the four path types, none, logic, unset and datatype
//    values.
//
// Each value is molded, and molded with /all; the text is loaded back (as
// a string! through lexer_load_string, or as its UTF-8 bytes through
// lexer_scan_utf8) and must give exactly one value, whose mold is the same
// text. Where the text form is exact, the loaded value must also equal the
// original under strict equality (floats bit for bit; a NaN only as some
// NaN: its sign and payload are not written).
//
// Left out, or given only the same-text check, are the forms that are not
// exact by design: none, logic, unset and datatype values without /all
// (they mold as their words); a path of fewer than two items (it molds as
// its item, or as nothing); path items the lexer does not read inside a
// path (blocks, refinements, files, URLs, words such as "<" or "/", an
// issue before another item); names that a word type cannot be written
// with (a refinement of "/" or holding "," or "@", a set-word of "=" or
// "%%", an issue of "<" or holding "/", ":" or "@", a name starting with
// DEL, which only a lit-word or get-word can have, a name holding ","
// (which "(" would read as a point), any word from text
// that loads as an issue or a refinement); URLs without a scheme and a
// character after it, or whose scheme is not a plain name; types that do not mold yet (tag!, email!, ref!) and
// those whose mold is a `make` expression (object!, typeset!, error!,
// functions).
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/actions.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/lexer.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/startup.h"
#include "runtime/symbols.h"
#include "tests/fuzz/fuzz_gen.h"

using namespace kel;

namespace {

using fuzz::Gen;

[[noreturn]] void fail(const char* what, const std::string& text, const std::string& again = "") {
    std::fprintf(stderr, "fuzz_mold: %s\n  mold: %s\n", what, text.c_str());
    if (!again.empty()) std::fprintf(stderr, "  back: %s\n", again.c_str());
    std::abort();
}

std::string mold_text(const Cell* v, bool all, Cell* buffer) {
    string_make(buffer, 64, 1);
    actions_mold_call(v, buffer, false, all, false, nullptr, kNoPartLimit, 0);
    return string_to_utf8(buffer);
}

bool is_path_type(uint32_t t) { return t >= TYPE_PATH && t <= TYPE_GET_PATH; }
bool is_block_like(uint32_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || is_path_type(t); }

// The loaded value equals the original, floats bit for bit.
bool same_value(const Cell* a, const Cell* b) {
    if (a->type() != b->type()) return false;
    if (a->is(TYPE_FLOAT)) {
        double x = cell_get_float(a), y = cell_get_float(b);
        if (std::isnan(x)) return std::isnan(y);
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    if (is_block_like(a->type())) {
        int32_t n = series_length(a);
        if (n != series_length(b)) return false;
        for (int32_t i = 0; i < n; i++) {
            Cell x = *block_cell_at(a, static_cast<uint32_t>(series_index(a) + i));
            Cell y = *block_cell_at(b, static_cast<uint32_t>(series_index(b) + i));
            if (!same_value(&x, &y)) return false;
        }
        return true;
    }
    return actions_compare_values(a, b, COMP_STRICT_EQUAL) == 0;
}

// Whether the text form of [v] is exact (see the file's opening comment).
bool exact(const Cell* v, bool all) {
    switch (v->type()) {
    case TYPE_NONE: case TYPE_LOGIC: case TYPE_UNSET: case TYPE_DATATYPE:
        return all;
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_CHAR: case TYPE_INTEGER: case TYPE_FLOAT:
    case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
    case TYPE_ISSUE:
        return true;
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH: {
        int32_t n = series_length(v);
        if (is_path_type(v->type()) && n < 2) return false;  // one element molds as that element
        for (int32_t i = 0; i < n; i++) {
            Cell x = *block_cell_at(v, static_cast<uint32_t>(series_index(v) + i));
            if (!exact(&x, all)) return false;
        }
        return true;
    }
    default:
        return false;
    }
}

// Whether [v] is or holds a URL whose scheme is not a plain name (letters,
// digits, "+", "-", "."). The lexer reads some such tokens as URLs ("//:`"),
// but their escaped form ("//:%60") reads as an invalid word: the URL syntax
// cannot write them.
bool holds_odd_scheme(const Cell* v) {
    if (v->is(TYPE_URL)) {
        const SeriesBuf* buf = node_buffer(v->data2);
        uint32_t n = buf->used_bytes() / buf->unit();
        for (uint32_t i = 0; i < n; i++) {
            uint32_t c = string_get_char_at(buf, i);
            if (c == ':') return i == 0;
            if (c > 0x7F || !(std::isalnum(static_cast<int>(c)) || c == '+' || c == '-' || c == '.')) return true;
        }
        return true;
    }
    if (!is_block_like(v->type())) return false;
    for (int32_t i = 0, n = series_length(v); i < n; i++) {
        Cell x = *block_cell_at(v, static_cast<uint32_t>(series_index(v) + i));
        if (holds_odd_scheme(&x)) return true;
    }
    return false;
}

void round_trip(const Cell* v, bool all) {
    if (holds_odd_scheme(v)) return;
    if (is_path_type(v->type()) && series_length(v) == 0) return;  // molds as nothing (or ":")
    Cell buffer, loaded{TYPE_NONE, 0, 0, 0};
    std::string text;
    try {
        text = mold_text(v, all, &buffer);
    } catch (const KelThrow& t) {
        // tag!, email! and ref! literals load, but those types have no
        // actions yet.
        if (t.id == "expect-arg") return;
        throw;
    }
    try {
        if (all) {
            lexer_load_string(&loaded, &buffer, -1, false, true, true, false, nullptr, nullptr, nullptr);
        } else {
            std::vector<uint8_t> bytes(text.begin(), text.end());
            lexer_scan_utf8(&loaded, bytes.data(), static_cast<uint32_t>(bytes.size()), false, true, true, false,
                            nullptr, nullptr, nullptr, nullptr);
        }
    } catch (const KelThrow& t) {
        fail(("does not load: " + t.id).c_str(), text);
    }
    if (!loaded.is(TYPE_BLOCK) || series_length(&loaded) != 1) {
        Cell again;
        fail("does not load as one value", text, mold_text(&loaded, all, &again));
    }
    Cell back = *block_cell_at(&loaded, static_cast<uint32_t>(series_index(&loaded)));
    Cell again;
    std::string text2;
    try {
        text2 = mold_text(&back, all, &again);
    } catch (const KelThrow& t) {
        fail(("loads as a value that does not mold: " + t.id).c_str(), text);
    }
    if (text2 != text) fail("molds differently once loaded", text, text2);
    if (exact(v, all) && !same_value(v, &back)) fail("loads as another value", text, text2);
}

// ---- values built from the bytes -------------------------------------------------------------------

const uint32_t kCodePoints[] = {
    0, 1, 9, 10, 13, 0x1B, 0x1E, 0x1F, ' ', '"', '{', '}', '^', '%', '(', ')', '[', ']', ';', '/', ':', '@',
    '#', '$', '<', '>', '\\', '\'', ',', '.', '~', '`', '|', '!', '=', '+', '-', '*', '?', '&', '_', 'a', 'Z',
    '0', 0x7F, 0x80, 0x85, 0x9F, 0xA0, 0xE9, 0xFF, 0x100, 0x3A9, 0x2028, 0x3000, 0x200B, 0xD800, 0xDFFF, 0xFEFF,
    0xFFFD, 0xFFFE, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF,
};

uint32_t code_point(Gen& g) {
    uint32_t k = g.pick(4);
    if (k == 0) return (g.byte() << 16 | g.byte() << 8 | g.byte()) % 0x110000;
    if (k == 1) return 0x20 + g.pick(0x5F);
    return kCodePoints[g.pick(sizeof kCodePoints / sizeof kCodePoints[0])];
}

void text_value(Gen& g, Cell* out, uint32_t type, const char* prefix) {
    static const uint32_t kUnits[] = {1, 2, 4};
    uint32_t n = g.pick(4) == 0 ? 40 + g.pick(30) : g.pick(12);  // 50 and more mold in braces
    if (*prefix && n == 0) n = 1;  // "scheme:" alone reads as a set-word
    string_make(out, n + 8, kUnits[g.pick(3)], type);
    string_append_ascii(out, prefix);
    bool runs = g.pick(2);  // repeats make the long forms likelier
    uint32_t cp = code_point(g);
    for (uint32_t i = 0; i < n; i++) {
        if (!runs || !g.pick(4)) cp = code_point(g);
        string_append_char(out, cp);
    }
    // A value from an index past its first character molds from there.
    uint32_t len = string_length(out);
    if (len > 1 && g.pick(4) == 0) series_set_index(out, 1 + g.pick(len - 1));
}

const char* const kSchemes[] = {"http:", "ftp://", "a:", "x-y.z+w:", "mailto:", "file:///", "urn:x:"};

const char* const kNames[] = {
    "a", "ab", "A", "x1", "+", "-", "++", "--", "<", ">", "<=", ">=", "<>", "=", "==", "=?", "?", "!", "*",
    "**", "/", "//", "///", "...", ".", "|", "~", "&", "_", "a.b", "a'b", "a^b", "a<b", "a>b", "é", "Ω",
    "😀", "a\u00A0", "\u3000b", "a,b", "a%b", "a#b", "a$b", "a@b", "-a", "+a", ".a", "'a", ":a",
    "a:", "#a", "/a", "a/b", "1a", "a1", "FFh", "1.#INF", "none", "self", "x:y",
};

// A name from the list or made of a few characters.
std::string word_name(Gen& g) {
    if (g.pick(3)) return g.from(kNames);
    std::string s;
    for (uint32_t n = 1 + g.pick(4); n > 0; n--) {
        Cell one;
        string_make(&one, 2, 4);
        string_append_char(&one, code_point(g));
        s += string_to_utf8(&one);
    }
    return s;
}

// Whether a word of [name] can stand in a path: the lexer reads "<" or "/"
// there as the start of another token.
bool path_word_q(std::string_view name) {
    unsigned char first = static_cast<unsigned char>(name[0]);
    if (!std::isalpha(first) && first < 0x80) return false;
    return name.find_first_of("/:%,#\\<@$;\"()[]{}^'") == name.npos;
}

// Whether the word [w] has a text form of its own type: the names some word
// types cannot be written with ("/" + "//" reads as a word, "=:" as the
// word = and a lone colon, "%%:" as a file, "#" + "<" and "/" + "-," as
// errors; a sign lets "," and "@" into a word), and the names the lexer
// reads apart after a word type's mark (":.<x" as ":." and a tag).
bool writable_word(const Cell* w, bool in_path) {
    uint32_t type = w->type();
    std::string_view made = symbol_name(w->data2);
    if (made.empty() || (in_path && !path_word_q(made))) return false;
    // A "," gets into a word only after a sign ("-,a"); in a paren the
    // lexer then reads "(-," as the start of a point.
    if (made.find(',') != made.npos) return false;
    // Only after "'" or ":" may a word start with DEL.
    if (made.front() == 0x7F && type != TYPE_LIT_WORD && type != TYPE_GET_WORD) return false;
    if (type == TYPE_REFINEMENT && (made.front() == '/' || made.find_first_of(",@") != made.npos)) return false;
    if (type == TYPE_SET_WORD && (made == "=" || made.starts_with("%%"))) return false;
    bool issue_breaks = made.find_first_of("/:@;") != made.npos || std::string_view("<>,").find(made[0]) != made.npos;
    if (type == TYPE_ISSUE && issue_breaks) return false;
    // Alone, its mold must load back as this word.
    Cell buffer, loaded{TYPE_NONE, 0, 0, 0};
    std::string text = mold_text(w, false, &buffer);
    try {
        std::vector<uint8_t> bytes(text.begin(), text.end());
        lexer_scan_utf8(&loaded, bytes.data(), static_cast<uint32_t>(bytes.size()), false, true, true, false,
                        nullptr, nullptr, nullptr, nullptr);
    } catch (const KelThrow&) {
        return false;
    }
    if (series_length(&loaded) != 1) return false;
    const Cell* back = block_cell_at(&loaded, static_cast<uint32_t>(series_index(&loaded)));
    return back->type() == type && back->data2 == w->data2;
}

// Whether every word in [v], at any depth, is writable (see above).
bool writable_words(const Cell* v, bool in_path = false) {
    if (v->type() >= TYPE_WORD && v->type() <= TYPE_ISSUE) return writable_word(v, in_path);
    if (!is_block_like(v->type())) return true;  // loaded values hold no cycles
    bool path = is_path_type(v->type());
    int32_t n = series_length(v);
    for (int32_t i = 0; i < n; i++) {
        Cell x = *block_cell_at(v, static_cast<uint32_t>(series_index(v) + i));
        if (!writable_words(&x, path && i > 0)) return false;
    }
    return true;
}

// A word of [type] made as `to <type> "name"` makes it; false when the name
// is refused (or, for a path item, cannot stand in a path).
bool word_value(Gen& g, Cell* out, uint32_t type, bool in_path = false) {
    std::string name = word_name(g);
    if (name.empty()) return false;
    Cell text;
    string_make(&text, static_cast<uint32_t>(name.size() + 1), 1);
    string_append_utf8(&text, name.data(), name.size());
    // Text that loads as an issue or a refinement gives the name after its
    // "#" or "/", which may be no word's name ("##a" gives "#a"): that text
    // form is another type's, so only words, set-, get- and lit-words count.
    Cell first{TYPE_NONE, 0, 0, 0};
    try {
        if (!g_word_load_text(name.data(), static_cast<uint32_t>(name.size()), &first)) return false;
    } catch (const KelThrow&) {
        return false;
    }
    if (first.type() < TYPE_WORD || first.type() > TYPE_GET_WORD) return false;
    try {
        uint32_t via = type == TYPE_ISSUE ? TYPE_WORD : type;
        action_fn<ACT_TO>(via)(out, &text, static_cast<int32_t>(via));
        if (type == TYPE_ISSUE) action_fn<ACT_TO>(TYPE_ISSUE)(out, out, TYPE_ISSUE);
    } catch (const KelThrow&) {
        return false;
    }
    return writable_word(out, in_path);  // leading blanks are skipped: judge the name made
}

const int32_t kIntegers[] = {0, 1, -1, 9, 10, -10, 99, 2147483647, -2147483647 - 1, 2147483646, -2147483647,
                             1000000000, 65535, 255, 256};

double float_from(Gen& g) {
    static const double kFloats[] = {0.0, -0.0, 0.1, 1.0 / 3, 100.0, 1e17, 1e-7, 1e-8, 5e-324, 2.2250738585072014e-308,
                                     1.7976931348623157e308, 2147483648.0, 1e21, 123456789012345680.0,
                                     INFINITY, -INFINITY, NAN, -NAN};
    if (g.pick(2)) return kFloats[g.pick(sizeof kFloats / sizeof kFloats[0])];
    uint64_t bits = 0;
    for (int i = 0; i < 8; i++) bits = bits << 8 | g.byte();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

void value(Gen& g, Cell* out, int depth);
void series_of(Gen& g, Cell* out, uint32_t type, int depth);

// Items a path can hold in text: words, get- and lit-words, integers,
// strings, chars, parens, and an issue as the last item (not before the
// ":" of a set-path).
void path_item(Gen& g, Cell* out, int depth, bool last) {
    for (int tries = 0; tries < 4; tries++) {
        switch (g.pick(8)) {
        case 0: if (word_value(g, out, TYPE_GET_WORD, true)) return; break;
        case 1: if (word_value(g, out, TYPE_LIT_WORD, true)) return; break;
        case 2: cell_set(out, TYPE_INTEGER, 0, static_cast<uint32_t>(kIntegers[g.pick(15)])); return;
        case 3: text_value(g, out, TYPE_STRING, ""); series_set_index(out, 0); return;
        case 4: cell_set(out, TYPE_CHAR, 0, code_point(g)); return;
        case 5: if (last && word_value(g, out, TYPE_ISSUE, true)) return; break;  // the lexer ends an issue at "/"
        case 6:
            if (depth < 4) {
                series_of(g, out, TYPE_PAREN, depth + 1);
                return;
            }
            break;
        default: if (word_value(g, out, TYPE_WORD, true)) return; break;
        }
    }
    cell_set(out, TYPE_INTEGER, 0, 1);
}

void series_of(Gen& g, Cell* out, uint32_t type, int depth) {
    // A path of fewer than two items molds as its item or as nothing.
    uint32_t n = is_path_type(type) ? 2 + g.pick(3) : g.pick(5);
    block_make_at(out, static_cast<int32_t>(n));
    for (uint32_t i = 0; i < n; i++) {
        Cell item{TYPE_NONE, 0, 0, 0};
        if (is_path_type(type)) {
            if (i == 0) {
                if (!word_value(g, &item, TYPE_WORD, true)) word_from_cstring(&item, "a");
            } else {
                path_item(g, &item, depth, i + 1 == n && type != TYPE_SET_PATH);
            }
        } else {
            value(g, &item, depth + 1);
            if (g.pick(4) == 0) item.header |= CELL_NEW_LINE;
        }
        block_append_value(out, &item);
    }
    cell_set_type(out, type);
    if (!is_path_type(type) && n > 1 && g.pick(8) == 0) series_set_index(out, 1);
}

void value(Gen& g, Cell* out, int depth) {
    uint32_t k = g.pick(depth >= 4 ? 11 : 16);
    switch (k) {
    case 0: text_value(g, out, TYPE_STRING, ""); return;
    case 1: text_value(g, out, TYPE_FILE, ""); return;
    case 2: text_value(g, out, TYPE_URL, g.from(kSchemes)); series_set_index(out, 0); return;
    case 3: case 4:
        if (!word_value(g, out, TYPE_WORD + g.pick(6))) word_from_cstring(out, "a");
        return;
    case 5: cell_set(out, TYPE_INTEGER, 0, g.pick(3) ? static_cast<uint32_t>(kIntegers[g.pick(15)])
                                                  : (g.byte() << 24 | g.byte() << 16 | g.byte() << 8 | g.byte()));
        return;
    case 6: case 7: float_set_cell(out, float_from(g)); return;
    case 8: cell_set(out, TYPE_CHAR, 0, code_point(g)); return;
    case 9:
        switch (g.pick(5)) {
        case 0: cell_set(out, TYPE_NONE); return;
        case 1: cell_set(out, TYPE_UNSET); return;
        case 2: cell_set(out, TYPE_LOGIC, g.pick(2)); return;
        default: {
            // Only the types built so far have a value (and a name the lexer knows).
            uint32_t t = 1 + g.pick(kTypeCount);
            if (g_type_names[t].name) cell_set(out, TYPE_DATATYPE, t);
            else cell_set(out, TYPE_NONE);
            return;
        }
        }
    case 10: text_value(g, out, TYPE_STRING, ""); return;
    case 11: case 12: series_of(g, out, TYPE_BLOCK, depth); return;
    case 13: series_of(g, out, TYPE_PAREN, depth); return;
    default: series_of(g, out, TYPE_PATH + g.pick(4), depth); return;
    }
}

void check_value(const Cell* v) {
    round_trip(v, false);
    round_trip(v, true);
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
        uint32_t mode = g.byte();
        if (mode & 1) {
            std::vector<uint8_t> text(data + 1, data + size);
            Cell block{TYPE_NONE, 0, 0, 0};
            try {
                lexer_scan_utf8(&block, text.data(), static_cast<uint32_t>(text.size()), false, true, true, false,
                                nullptr, nullptr, nullptr, nullptr);
            } catch (const KelThrow&) {
                return 0;
            }
            // Text may load as words that have no text form of their own:
            // "(\t+,)" reads as a paren holding the word "+,", whose mold
            // "(+,)" begins a point.
            if (!writable_words(&block)) return 0;
            check_value(&block);
            int32_t n = series_length(&block);
            for (int32_t i = 0; i < n; i++) {
                Cell v = *block_cell_at(&block, static_cast<uint32_t>(i));
                check_value(&v);
            }
        } else {
            for (uint32_t n = 1 + (mode >> 1) % 4; n > 0 && g.more(); n--) {
                Cell v{TYPE_NONE, 0, 0, 0};
                value(g, &v, 0);
                check_value(&v);
            }
        }
    }
    static uint32_t runs = 0;
    if (++runs % 64 == 0) gc_collect();
    return 0;
}
