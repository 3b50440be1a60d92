// string! searching, comparison, sorting and set operations, and the
// matching primitives PARSE uses on strings. The same routines serve the
// other text types and, for find, select and sort, binary! and vector!.
//
// Case-insensitive work folds code points to upper case through the case
// maps (string_fold_char), the fold the hash of strings uses, so two strings
// equal for comparison always hash alike. Text of unit 1 folds through a
// 256-entry table.
//
// Forward search in unit-1 text filters 16 candidate positions at a time by
// their first and last characters (SSE2), then checks the candidates whole;
// every other search steps one candidate at a time. Nothing here allocates
// while it holds a pointer into a buffer, except sort/compare with a
// function, which sorts a copy.
#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_impl.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/error.h"
#include "runtime/sort.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"
#include "runtime/unicode.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kel {

using namespace strimpl;

// ---- comparison -----------------------------------------------------------------------------------

namespace {

bool equality_op(int32_t op) {
    return op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND_WORD ||
           op == COMP_FIND_WORD_CASE || op == COMP_FIND;
}
bool case_sensitive_op(int32_t op) { return op == COMP_STRICT_EQUAL || op == COMP_CASE_SORT || op == COMP_FIND_WORD; }

// The characters of a comparison operand from its head; a symbol! reads
// through its name string, or its UTF-8 name decoded into `store`.
Run operand_run(const Cell* v, std::vector<uint32_t>& store) {
    if (!v->is(TYPE_SYMBOL)) return run_of(v);
    if (v->data2) {
        SeriesBuf* b = node_buffer(v->data2);
        return {b->head_ptr(), b->unit(), text_units(b)};
    }
    if (v->data3) {
        SeriesBuf* b = node_buffer(v->data3);
        const uint8_t* p = b->head_ptr();
        const uint8_t* end = b->tail_ptr();
        while (p < end) {
            int32_t cp;
            p = unicode_fast_decode_utf8_char(p, end, &cp);
            store.push_back(cp < 0 ? 0xFFFD : uint32_t(cp));
        }
    }
    return {reinterpret_cast<const uint8_t*>(store.data()), 4, uint32_t(store.size())};
}

inline int32_t order(uint32_t x, uint32_t y) { return x < y ? -1 : x > y ? 1 : 0; }

// Order of the first n characters of two runs.
int32_t compare_runs(const Run& a, const Run& b, uint32_t n, bool fold) {
    if (a.unit == 1 && b.unit == 1) {
        if (!fold) {
            int r = std::memcmp(a.p, b.p, n);
            return (r > 0) - (r < 0);
        }
        for (uint32_t i = 0; i < n; i++) {
            uint8_t x = a.p[i], y = b.p[i];
            if (x != y && g_fold_latin1[x] != g_fold_latin1[y]) return order(g_fold_latin1[x], g_fold_latin1[y]);
        }
        return 0;
    }
    for (uint32_t i = 0; i < n; i++) {
        uint32_t x = a.at(i), y = b.at(i);
        if (x == y) continue;
        if (fold) {
            x = fold_char_any(x);
            y = fold_char_any(y);
            if (x == y) continue;
        }
        return order(x, y);
    }
    return 0;
}

}  // namespace

int32_t string_compare_core(const Cell* a, const Cell* b, int32_t op, bool match) {
    bool symbols = a->is(TYPE_SYMBOL) || b->is(TYPE_SYMBOL);
    bool same = !symbols && a->data2 == b->data2 && a->data1 == b->data1;
    if (op == COMP_SAME) return same ? 0 : -1;
    if (same && (op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND)) return 0;
    std::vector<uint32_t> store_a, store_b;
    Run x = operand_run(a, store_a), y = operand_run(b, store_b);
    uint32_t n;
    if (match) {
        if (y.len == 0) return op == COMP_FIND ? 1 : 0;
        if (x.len < y.len) return 1;
        n = y.len;
    } else {
        if (x.len != y.len) {
            if (equality_op(op) || y.len == 0) return 1;
        }
        n = std::min(x.len, y.len);
    }
    int32_t r = compare_runs(x, y, n, !case_sensitive_op(op));
    if (r || match) return r;
    return order(x.len, y.len);
}

int32_t string_compare(const Cell* value1, const Cell* value2, int32_t op) {
    if (value1->type() != value2->type()) {
        bool mixed_text = type_string_family(value2->type()) && (op == COMP_EQUAL || op == COMP_NOT_EQUAL);
        if (!mixed_text) return kCompareIncomparable;
    }
    return string_compare_core(value1, value2, op, false);
}

// ---- bitsets -------------------------------------------------------------------------------------------

bool string_bitset_has(const Cell* bitset, uint32_t cp) {
    SeriesBuf* b = node_buffer(bitset->data2);
    uint64_t bits = uint64_t(b->used_bytes()) * 8;
    if (cp >= bits) return (b->flags & SERIES_COMPLEMENT) != 0;
    return (b->head_ptr()[cp >> 3] & (0x80 >> (cp & 7))) != 0;
}

// ---- find and select -------------------------------------------------------------------------------

namespace {

enum class NeedleKind { Char, Bitset, Sequence, Element, Nothing };

// What is looked for. Code points of a sequence are folded already when the
// search folds.
struct Needle {
    NeedleKind kind = NeedleKind::Nothing;
    uint32_t cp = 0;
    const Cell* value = nullptr;  // the bitset, or the scalar compared with vector elements
    std::vector<uint32_t> seq;
    uint32_t length() const { return kind == NeedleKind::Sequence ? uint32_t(seq.size()) : 1; }
};

void push_run(Needle& nd, const Run& r, bool fold) {
    nd.kind = NeedleKind::Sequence;
    nd.seq.resize(r.len);
    for (uint32_t i = 0; i < r.len; i++) nd.seq[i] = fold ? fold_char_any(r.at(i)) : r.at(i);
}

void push_bytes(Needle& nd, const uint8_t* p, uint32_t n) { push_run(nd, Run{p, 1, n}, false); }

// The UTF-8 bytes of a text run.
std::vector<uint8_t> utf8_of(const Run& r) {
    std::vector<uint8_t> out;
    out.reserve(r.len);
    for (uint32_t i = 0; i < r.len; i++) {
        uint8_t seq[4];
        int n = unicode_encode_utf8(std::min<uint32_t>(r.at(i), 0x10FFFF), seq);
        out.insert(out.end(), seq, seq + n);
    }
    return out;
}

// The text of a value that has no characters of its own, formed.
void formed(const Cell* value, Temp& temp) {
    string_make(temp.get(), 16, 1, TYPE_STRING);
    Temp v;
    *v.get() = *value;
    actions_form_call(v.get(), temp.get(), nullptr, kNoPartLimit);
}

Needle make_needle(const Cell* series, const Cell* value, bool fold) {
    Needle nd;
    uint32_t s = series->type(), t = value->type();
    if (s == TYPE_VECTOR) {
        if (t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_CHAR || t == TYPE_PERCENT) {
            nd.kind = NeedleKind::Element;
            nd.value = value;
        }
        return nd;
    }
    if (t == TYPE_BITSET) {
        nd.kind = NeedleKind::Bitset;
        nd.value = value;
        return nd;
    }
    if (t == TYPE_CHAR) {
        nd.kind = NeedleKind::Char;
        nd.cp = fold ? fold_char_any(value->data2) : value->data2;
        return nd;
    }
    bool binary = s == TYPE_BINARY;
    if (binary && t == TYPE_INTEGER) {
        nd.kind = NeedleKind::Char;
        nd.cp = value->data2;
        return nd;
    }
    if (t == TYPE_BINARY) {
        if (!binary) error_raise(ErrCat::Script, "invalid-arg", value);
        Run r = run_of(value);
        push_bytes(nd, r.p, r.len);
        return nd;
    }
    Temp temp;
    const Cell* text = value;
    if (t == TYPE_WORD) {
        Off name = symbol_get_cell(value->data2)->data2;  // the name as a string!, made on first use
        cell_set(temp.get(), TYPE_STRING, 0, name, 0);
        text = temp.get();
    } else if (!type_string_family(t) || t == TYPE_TAG) {
        formed(value, temp);
        text = temp.get();
    }
    Run r = run_of(text);
    if (binary) {
        // Text in a binary! is looked for as its UTF-8 bytes.
        std::vector<uint8_t> bytes = utf8_of(r);
        push_bytes(nd, bytes.data(), uint32_t(bytes.size()));
    } else {
        push_run(nd, r, fold);
    }
    return nd;
}

// Candidate starts: from `first` to `last` inclusive, stepping by `step`
// (downwards when first > last is meant: `backward`).
struct Range {
    int64_t first;
    int64_t last;
    uint32_t step;
    bool backward;
    bool only_first;
};

template <uint32_t U> struct Hay {
    const uint8_t* p;
    uint32_t at(int64_t i) const { return string_unit_at(p, U, uint32_t(i)); }
};

template <uint32_t U> bool match_at(const Hay<U>& h, int64_t i, const Needle& nd, bool fold, const Cell* series) {
    switch (nd.kind) {
    case NeedleKind::Char: {
        uint32_t c = h.at(i);
        return (fold ? fold_char_any(c) : c) == nd.cp;
    }
    case NeedleKind::Bitset: return string_bitset_has(nd.value, h.at(i));
    case NeedleKind::Sequence: {
        const uint32_t* s = nd.seq.data();
        size_t k = nd.seq.size();
        for (size_t j = 0; j < k; j++) {
            uint32_t c = h.at(i + int64_t(j));
            if ((fold ? fold_char_any(c) : c) != s[j]) return false;
        }
        return true;
    }
    case NeedleKind::Element: {
        if (!g_vector.get) error_raise(ErrCat::Internal, "not-done");
        Cell element;
        SeriesBuf* b = node_buffer(series->data2);
        g_vector.get(&element, b->head_ptr() + i * b->unit(), series->data3, b->unit());
        return actions_compare_values(&element, nd.value, COMP_FIND) == 0;
    }
    case NeedleKind::Nothing: return false;
    }
    return false;
}

template <uint32_t U> int64_t scan(const uint8_t* p, const Range& r, const Needle& nd, bool fold, const Cell* series) {
    Hay<U> h{p};
    if (r.backward) {
        for (int64_t i = r.first; i >= r.last; i -= r.step) {
            if (match_at(h, i, nd, fold, series)) return i;
            if (r.only_first) break;
        }
    } else {
        for (int64_t i = r.first; i <= r.last; i += r.step) {
            if (match_at(h, i, nd, fold, series)) return i;
            if (r.only_first) break;
        }
    }
    return -1;
}

// Every code point that matches `c` (c is folded already when `fold`).
std::vector<uint32_t> variants_of(uint32_t c, bool fold) {
    if (!fold) return {c};
    std::vector<uint32_t> out;
    if (string_fold_char(c) == c) out.push_back(c);
    string_fold_preimages(c, out);
    return out;
}

#if defined(__SSE2__)
template <uint32_t U> inline __m128i splat(uint32_t v) {
    if constexpr (U == 1) return _mm_set1_epi8(static_cast<char>(v));
    else if constexpr (U == 2) return _mm_set1_epi16(static_cast<short>(v));
    else return _mm_set1_epi32(static_cast<int>(v));
}
template <uint32_t U> inline __m128i equal_lanes(__m128i a, __m128i b) {
    if constexpr (U == 1) return _mm_cmpeq_epi8(a, b);
    else if constexpr (U == 2) return _mm_cmpeq_epi16(a, b);
    else return _mm_cmpeq_epi32(a, b);
}
#endif

// Forward search of characters, every candidate start from `from` to
// `last`: candidates whose first and last characters match the needle's
// (16 bytes of starts at a time) are checked whole.
template <uint32_t U>
int64_t scan_forward(const uint8_t* h, int64_t from, int64_t last, const std::vector<uint32_t>& seq, bool fold) {
    const size_t k = seq.size();
    const int64_t tail_offset = int64_t(k) - 1;
    std::vector<uint32_t> firsts = variants_of(seq[0], fold), lasts = variants_of(seq[k - 1], fold);
    auto fits = [](uint32_t c) { return c <= unit_max(U); };
    firsts.erase(std::remove_if(firsts.begin(), firsts.end(), [&](uint32_t c) { return !fits(c); }), firsts.end());
    lasts.erase(std::remove_if(lasts.begin(), lasts.end(), [&](uint32_t c) { return !fits(c); }), lasts.end());
    if (firsts.empty() || lasts.empty()) return -1;  // text of this unit holds no such character
    auto at = [h](int64_t i) { return string_unit_at(h, U, uint32_t(i)); };
    auto whole = [&](int64_t i) {
        for (size_t j = 1; j + 1 < k; j++) {
            uint32_t c = at(i + int64_t(j));
            if ((fold ? fold_char_any(c) : c) != seq[j]) return false;
        }
        return true;
    };
    auto is_in = [](const std::vector<uint32_t>& set, uint32_t c) {
        return std::find(set.begin(), set.end(), c) != set.end();
    };
    int64_t i = from;
#if defined(__SSE2__)
    constexpr int64_t kLanes = 16 / U;
    const size_t nf = firsts.size(), nl = lasts.size();
    if (nf <= 4 && nl <= 4) {
        __m128i fv[4], lv[4];
        for (size_t j = 0; j < 4; j++) {
            fv[j] = splat<U>(firsts[j < nf ? j : 0]);
            lv[j] = splat<U>(lasts[j < nl ? j : 0]);
        }
        // Both loads of a step end at or before the last character of the range.
        for (; i + kLanes - 1 <= last; i += kLanes) {
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i * U));
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + (i + tail_offset) * U));
            __m128i mf = equal_lanes<U>(a, fv[0]);
            __m128i ml = equal_lanes<U>(b, lv[0]);
            for (size_t j = 1; j < nf; j++) mf = _mm_or_si128(mf, equal_lanes<U>(a, fv[j]));
            for (size_t j = 1; j < nl; j++) ml = _mm_or_si128(ml, equal_lanes<U>(b, lv[j]));
            auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(mf, ml)));
            while (mask) {
                int64_t lane = __builtin_ctz(mask) / int(U);
                if (whole(i + lane)) return i + lane;
                mask &= ~((1u << ((lane + 1) * U)) - 1);
            }
        }
    }
#endif
    for (; i <= last; i++)
        if (is_in(firsts, at(i)) && is_in(lasts, at(i + tail_offset)) && whole(i)) return i;
    return -1;
}

int64_t run_search(const Cell* series, const Range& r, const Needle& nd, bool fold) {
    if (r.backward ? r.first < r.last : r.first > r.last) return -1;
    SeriesBuf* b = node_buffer(series->data2);
    const uint8_t* p = b->head_ptr();
    uint32_t unit = b->unit();
    if (series->is(TYPE_VECTOR)) {
        Hay<1> h{p};  // elements are read through the vector hooks, whatever their size
        for (int64_t i = r.first; r.backward ? i >= r.last : i <= r.last; i += r.backward ? -int64_t(r.step) : r.step) {
            if (match_at(h, i, nd, fold, series)) return i;
            if (r.only_first) break;
        }
        return -1;
    }
    check_unit(unit);
    bool simple = !r.backward && r.step == 1 && !r.only_first;
    if (simple && (nd.kind == NeedleKind::Sequence || nd.kind == NeedleKind::Char)) {
        std::vector<uint32_t> one;
        const std::vector<uint32_t>& seq = nd.kind == NeedleKind::Char ? (one = {nd.cp}) : nd.seq;
        if (unit == 1) return scan_forward<1>(p, r.first, r.last, seq, fold);
        if (unit == 2) return scan_forward<2>(p, r.first, r.last, seq, fold);
        return scan_forward<4>(p, r.first, r.last, seq, fold);
    }
    if (unit == 1) return scan<1>(p, r, nd, fold, series);
    if (unit == 2) return scan<2>(p, r, nd, fold, series);
    return scan<4>(p, r, nd, fold, series);
}

// Count of a /part argument: an integer!, or a position in the same series.
int64_t part_count(const Cell* series, const Cell* part) {
    if (part->is(TYPE_INTEGER)) return static_cast<int32_t>(part->data2);
    if (part->type() != series->type() || part->data2 != series->data2) raise_invalid_refine(g_refinements.part, part);
    return int64_t(std::min(part->data1, text_units(node_buffer(part->data2)))) - series->data1;
}

struct Found {
    int64_t at = -1;
    uint32_t length = 1;
};

// The search of find and select; `allow_match` honours /match and /tail.
Found search(Cell* series, const Cell* value, const FindArgs& a, bool allow_match) {
    Pin pin_series(series), pin_value(value);
    Found found;
    uint32_t total = text_units(node_buffer(series->data2));
    if (series->data1 > total) series->data1 = total;
    int64_t head = series->data1;
    bool match = allow_match && a.match;
    if (total == 0 || (head >= total && !a.reverse)) return found;
    if (a.any || a.with) error_raise(ErrCat::Internal, "not-done");
    uint32_t step = 1;
    if (a.skip) {
        if (!a.skip->is(TYPE_INTEGER)) raise_invalid_refine(g_refinements.skip, a.skip);
        int32_t n = static_cast<int32_t>(a.skip->data2);
        if (n < 1) error_raise(ErrCat::Script, "out-of-range", a.skip);
        step = uint32_t(n);
    }
    int64_t count = a.reverse ? head : total - head;
    if (a.part) {
        int64_t n = part_count(series, a.part);
        if (n < 1) return found;
        count = std::min(count, n);
    }
    if (a.reverse && (match || head == 0)) return found;

    bool text = type_string_family(series->type());
    bool fold = text && !a.case_ && !a.same;
    Needle nd = make_needle(series, value, fold);
    int64_t k = nd.length();
    if (nd.kind == NeedleKind::Nothing || k == 0) return found;
    found.length = uint32_t(k);

    Range r{0, 0, step, false, match};
    if (a.reverse) {
        r = {head - k, head - count, step, true, false};
    } else if (a.last) {
        r = {head + count - k, head, step, true, match};
    } else {
        r = {head, head + count - k, step, false, match};
    }
    if (r.backward) {
        // Records start at the head and every step characters from it,
        // before it as after it.
        int64_t misaligned = (r.first - head) % int64_t(step);
        r.first -= misaligned < 0 ? misaligned + step : misaligned;
    }
    found.at = run_search(series, r, nd, fold);
    return found;
}

// The element at `pos` of a text, binary or vector series, as a value.
void element_at(const Cell* series, int64_t pos, Cell* out) {
    SeriesBuf* b = node_buffer(series->data2);
    if (series->is(TYPE_VECTOR)) {
        if (!g_vector.get) error_raise(ErrCat::Internal, "not-done");
        g_vector.get(out, b->head_ptr() + pos * b->unit(), series->data3, b->unit());
        return;
    }
    uint32_t c = string_get_char_at(b, uint32_t(pos));
    cell_set(out, series->is(TYPE_BINARY) ? TYPE_INTEGER : TYPE_CHAR, 0, c, 0);
}

}  // namespace

Cell* string_find(Cell* series, Cell* value, const FindArgs& args) {
    Found f = search(series, value, args, true);
    if (f.at < 0) {
        cell_set(series, TYPE_NONE);
        return series;
    }
    series->data1 = uint32_t(f.at + (args.tail ? f.length : 0));
    return series;
}

Cell* string_select(Cell* series, Cell* value, const FindArgs& args) {
    Found f = search(series, value, args, false);
    int64_t after = f.at + f.length;
    if (f.at < 0 || after >= text_units(node_buffer(series->data2))) {
        cell_set(series, TYPE_NONE);
        return series;
    }
    Cell element;
    element_at(series, after, &element);
    return copy_cell(&element, series);
}

// ---- sort -----------------------------------------------------------------------------------------------

namespace {

// The comparison of the sort callback; its address is the first flag word.
struct SortSpec {
    uint32_t unit = 1;      // bytes of one unit
    uint32_t size = 1;      // units a record
    uint32_t offset = 0;    // the unit of a record compared
    bool all = false;       // compare every unit of a record in turn
    bool reverse = false;
    bool fold = false;
    bool vector = false;    // elements compared as numbers through the vector hooks
    uint32_t element_type = 0;
    const Cell* fn = nullptr;
};

int32_t compare_units(const SortSpec& s, const uint8_t* x, const uint8_t* y) {
    if (s.vector) {
        Cell a, b;
        g_vector.get(&a, x, s.element_type, s.unit);
        g_vector.get(&b, y, s.element_type, s.unit);
        int32_t r = actions_compare_values(&a, &b, COMP_SORT);
        return r == kCompareIncomparable ? 0 : r;
    }
    uint32_t a = string_get_char(x, s.unit), b = string_get_char(y, s.unit);
    if (s.fold) {
        a = fold_char_any(a);
        b = fold_char_any(b);
    }
    return order(a, b);
}

int32_t compare_records(const void* x, const void* y, uintptr_t flags, uintptr_t) {
    const auto& s = *reinterpret_cast<const SortSpec*>(flags);
    auto* a = static_cast<const uint8_t*>(x);
    auto* b = static_cast<const uint8_t*>(y);
    if (s.reverse) std::swap(a, b);
    if (!s.all) return compare_units(s, a + s.offset * s.unit, b + s.offset * s.unit);
    for (uint32_t i = 0; i < s.size; i++)
        if (int32_t r = compare_units(s, a + i * s.unit, b + i * s.unit)) return r;
    return 0;
}

// The comparator function, given two char! values or, for whole records,
// two strings holding them; true or a negative number puts the first first.
int32_t compare_with_function(const void* x, const void* y, uintptr_t flags, uintptr_t type) {
    const auto& s = *reinterpret_cast<const SortSpec*>(flags);
    auto* a = static_cast<const uint8_t*>(x);
    auto* b = static_cast<const uint8_t*>(y);
    if (s.reverse) std::swap(a, b);
    Temp first, second, result;
    if (s.all && !s.vector) {
        string_make(first.get(), s.size, s.unit, uint32_t(type));
        string_make(second.get(), s.size, s.unit, uint32_t(type));
        for (uint32_t i = 0; i < s.size; i++) {
            string_append_char(first.get(), string_get_char(a + i * s.unit, s.unit));
            string_append_char(second.get(), string_get_char(b + i * s.unit, s.unit));
        }
    } else if (s.vector) {
        g_vector.get(first.get(), a + s.offset * s.unit, s.element_type, s.unit);
        g_vector.get(second.get(), b + s.offset * s.unit, s.element_type, s.unit);
    } else {
        uint32_t kind = type == TYPE_BINARY ? TYPE_INTEGER : TYPE_CHAR;
        cell_set(first.get(), kind, 0, string_get_char(a + s.offset * s.unit, s.unit), 0);
        cell_set(second.get(), kind, 0, string_get_char(b + s.offset * s.unit, s.unit), 0);
    }
    g_sort_comparator_call(s.fn, first.get(), second.get(), result.get());
    return sort_comparator_order(result.get());
}

// Unit-1 single characters without a function: counting by fold key.
// Characters of one key come out in byte order, so only an exact (case)
// sort is also stable.
void counting_sort(uint8_t* p, uint32_t n, bool fold, bool reverse) {
    uint32_t counts[256] = {};
    for (uint32_t i = 0; i < n; i++) counts[p[i]]++;
    uint8_t bytes[256];
    for (uint32_t b = 0; b < 256; b++) bytes[b] = uint8_t(b);
    if (fold)
        std::stable_sort(bytes, bytes + 256, [](uint8_t a, uint8_t b) { return g_fold_latin1[a] < g_fold_latin1[b]; });
    if (reverse) std::reverse(bytes, bytes + 256);
    uint32_t o = 0;
    for (uint8_t b : bytes) {
        std::memset(p + o, b, counts[b]);
        o += counts[b];
    }
}

void sort_range(uint8_t* base, uint32_t records, const SortSpec& spec, bool stable, uint32_t type) {
    uint32_t bytes = spec.size * spec.unit;
    auto flags = reinterpret_cast<uintptr_t>(&spec);
    SortCompare fn = spec.fn ? compare_with_function : compare_records;
    if (stable) sort_stable(base, records, bytes, flags, type, fn);
    else sort_quick(base, records, bytes, flags, type, fn);
}

// A comparator function may run any code: the characters are sorted in a
// copy and written back into whatever the series still holds there.
void sort_through_function(Cell* series, uint32_t start, uint32_t n, const SortSpec& spec, bool stable) {
    Pin pin(series);
    if (!g_sort_comparator_call) error_raise(ErrCat::Internal, "not-done");
    SeriesBuf* b = node_buffer(series->data2);
    std::vector<uint8_t> copy(unit_ptr(b, start), unit_ptr(b, start) + size_t(n) * spec.unit);
    sort_range(copy.data(), n / spec.size, spec, stable, series->type());
    b = node_buffer(series->data2);
    uint32_t total = text_units(b);
    if (start >= total) return;
    uint32_t room = std::min(n, total - start);
    if (b->unit() < spec.unit) b = string_widen(series->data2, spec.unit);
    copy_units(unit_ptr(b, start), b->unit(), copy.data(), spec.unit, room);
}

bool function_type(uint32_t t) {
    return t == TYPE_FUNCTION || t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP || t == TYPE_ROUTINE;
}

}  // namespace

Cell* string_sort(Cell* series, const SortArgs& args) {
    uint32_t total = text_units(node_buffer(series->data2));
    if (series->data1 > total) series->data1 = total;
    int64_t start = series->data1;
    int64_t n = total - start;
    if (args.part) {
        int64_t count;
        if (args.part->is(TYPE_INTEGER)) count = static_cast<int32_t>(args.part->data2);
        else if (args.part->type() == series->type() && args.part->data2 == series->data2)
            count = int64_t(std::min(args.part->data1, total)) - start;
        else raise_invalid_refine(g_refinements.part, args.part);
        if (count < 0) {
            if (start + count < 0) {
                series->data1 = 0;  // nothing before the first character to sort
                return series;
            }
            start += count;
            n = -count;
        } else {
            n = std::min(n, count);
        }
    }
    series->data1 = uint32_t(start);
    if (n == 0) return series;

    SortSpec spec;
    spec.unit = node_buffer(series->data2)->unit();
    spec.reverse = args.reverse;
    spec.all = args.all;
    spec.vector = series->is(TYPE_VECTOR);
    spec.element_type = series->data3;
    spec.fold = !args.case_ && type_string_family(series->type());
    if (args.skip) {
        int32_t size = args.skip->is(TYPE_INTEGER) ? static_cast<int32_t>(args.skip->data2) : 0;
        if (size < 1 || n < size || n % size != 0) raise_invalid_refine(g_refinements.skip, args.skip);
        spec.size = uint32_t(size);
    } else if (args.all) {
        error_raise(ErrCat::Script, "bad-refines");
    }
    if (args.compare) {
        uint32_t t = args.compare->type();
        if (t == TYPE_INTEGER) {
            if (!args.skip || args.all) error_raise(ErrCat::Script, "bad-refines");
            int32_t i = static_cast<int32_t>(args.compare->data2);
            if (i < 1 || uint32_t(i) > spec.size) error_raise(ErrCat::Script, "out-of-range", args.compare);
            spec.offset = uint32_t(i - 1);
        } else if (function_type(t)) {
            spec.fn = args.compare;
        } else {
            raise_invalid_refine(g_refinements.compare, args.compare);
        }
    }
    if (spec.vector && !g_vector.get) error_raise(ErrCat::Internal, "not-done");
    if (n < 2 || n == spec.size) return series;

    bool owned = owner_before(series, OwnerEvent::Sort, nullptr, int32_t(start), int32_t(n));
    total = text_units(node_buffer(series->data2));
    if (start >= total) return series;  // the owner emptied it meanwhile
    n = std::min<int64_t>(n, total - start);
    n -= n % spec.size;
    spec.unit = node_buffer(series->data2)->unit();
    if (spec.fn) {
        sort_through_function(series, uint32_t(start), uint32_t(n), spec, args.stable);
    } else {
        uint8_t* base = unit_ptr(node_buffer(series->data2), uint64_t(start));
        if (spec.unit == 1 && spec.size == 1 && !spec.vector && (!spec.fold || !args.stable))
            counting_sort(base, uint32_t(n), spec.fold, spec.reverse);
        else sort_range(base, uint32_t(n / spec.size), spec, args.stable, series->type());
    }
    if (owned) owner_after(series, OwnerEvent::Sorted, nullptr, int32_t(start), int32_t(n));
    return series;
}

// ---- set operations -----------------------------------------------------------------------------------

namespace {

// A set of code points: a bitmap below 0x10000, a hash set above.
class CodeSet {
public:
    CodeSet() : bmp_(1024, 0) {}
    void add(uint32_t c) {
        if (c < 0x10000) bmp_[c >> 6] |= uint64_t(1) << (c & 63);
        else high_.insert(c);
    }
    bool has(uint32_t c) const {
        if (c < 0x10000) return (bmp_[c >> 6] >> (c & 63)) & 1;
        return high_.count(c) != 0;
    }

private:
    std::vector<uint64_t> bmp_;
    std::unordered_set<uint32_t> high_;
};

// The first characters of the records of `s` (folded unless `exact`).
CodeSet record_starts(const Cell* s, uint32_t size, bool exact) {
    CodeSet set;
    Run r = run_of(s);
    for (uint32_t i = 0; i < r.len; i += size) set.add(exact ? r.at(i) : fold_char_any(r.at(i)));
    return set;
}

// Appends to `out` the records of `from` that pass the filter against
// `other` (kept when present with `keep_present`, when absent otherwise; no
// filter without it) and whose first character is not yet a record start
// of the result.
void collect(std::vector<uint32_t>& out, CodeSet& taken, const Cell* from, const CodeSet* other, bool keep_present,
             uint32_t size, bool exact) {
    Run r = run_of(from);
    for (uint32_t i = 0; i < r.len; i += size) {
        uint32_t key = exact ? r.at(i) : fold_char_any(r.at(i));
        if (other && other->has(key) != keep_present) continue;
        if (taken.has(key)) continue;
        taken.add(key);
        for (uint32_t j = i; j < i + size && j < r.len; j++) out.push_back(r.at(j));
    }
}

}  // namespace

Cell* string_set_op(const Cell* string1, const Cell* string2, bool case_, const Cell* skip, int32_t op) {
    uint32_t size = 1;
    if (skip) {
        int32_t n = skip->is(TYPE_INTEGER) ? static_cast<int32_t>(skip->data2) : 0;
        if (n < 1) raise_invalid_refine(g_refinements.skip, skip);
        size = uint32_t(n);
    }
    std::vector<uint32_t> out;
    CodeSet taken;
    switch (op) {
    case OP_UNIQUE: collect(out, taken, string1, nullptr, false, size, case_); break;
    case OP_UNION:
        collect(out, taken, string1, nullptr, false, size, case_);
        if (string2) collect(out, taken, string2, nullptr, false, size, case_);
        break;
    case OP_INTERSECT:
    case OP_EXCLUDE: {
        CodeSet other = record_starts(string2, size, case_);
        collect(out, taken, string1, &other, op == OP_INTERSECT, size, case_);
        break;
    }
    case OP_DIFFERENCE: {
        CodeSet in1 = record_starts(string1, size, case_), in2 = record_starts(string2, size, case_);
        collect(out, taken, string1, &in2, false, size, case_);
        collect(out, taken, string2, &in1, false, size, case_);
        break;
    }
    default: fatal_runtime_error(101);
    }
    if (out.size() > kMaxStringBytes / 4) raise_no_memory();
    Cell* result = stack_push_cell();
    string_make(result, uint32_t(out.size()), 1, string1->type());
    string_append_codepoints(result, out.data(), uint32_t(out.size()));
    return result;
}

// ---- PARSE matching -------------------------------------------------------------------------------------

bool string_char_in_bitset_q(const Cell* str, const Cell* bitset) {
    Run r = run_of(str);
    return r.len > 0 && string_bitset_has(bitset, r.at(0));
}

bool string_match_tag_brackets(const Cell* str, const Cell* tag, int32_t op) {
    Run s = run_of(str), t = run_of(tag);
    if (s.len < t.len + 2 || s.at(0) != '<' || s.at(t.len + 1) != '>') return false;
    Run inner{s.p + s.unit, s.unit, t.len};
    return compare_runs(inner, t, t.len, op != COMP_STRICT_EQUAL) == 0;
}

bool string_match_at_head(const Cell* str, const Cell* value, int32_t op) {
    uint32_t t = value->type();
    if (t == TYPE_CHAR) {
        Run r = run_of(str);
        if (r.len == 0) return false;
        uint32_t c = r.at(0), v = value->data2;
        return op == COMP_STRICT_EQUAL ? c == v : fold_char_any(c) == fold_char_any(v);
    }
    if (t == TYPE_TAG) return string_match_tag_brackets(str, value, op);
    if (type_string_family(t)) return string_compare_core(str, value, op, true) == 0;
    return false;
}

bool string_char_in_q(const Cell* str, uint32_t cp, uint32_t skip, bool case_) {
    Run r = run_of(str);
    if (skip == 0) skip = 1;
    uint32_t want = case_ ? cp : fold_char_any(cp);
    for (uint32_t i = 0; i < r.len; i += skip) {
        uint32_t c = r.at(i);
        if ((case_ ? c : fold_char_any(c)) == want) return true;
    }
    return false;
}

}  // namespace kel
