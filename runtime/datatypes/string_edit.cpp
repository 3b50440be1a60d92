// string! editing actions: append, insert, change, swap and trim.
//
// Every edit goes through string_splice (string.cpp). A value that has to be
// formed first (a block, a tag, a number, ...) is formed into a rooted
// temporary string that then serves as the source. Each action checks its
// arguments and the size of the result before it tells the owner of the
// series (if any) and before it changes anything, and re-reads the series
// after the owner hook, which may have run script code.
#include <algorithm>
#include <cstring>
#include <vector>

#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_impl.h"
#include "runtime/error.h"

namespace kel {

using namespace strimpl;

namespace {

bool type_block_like(uint32_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH; }

// Forms the elements of a block from its head into `temp`: `count`
// elements (-1: all), or, with `char_limit` >= 0, elements until that many
// characters stand.
void form_elements(const Cell* block, Cell* temp, int32_t count, int32_t char_limit) {
    Temp element;
    for (int64_t i = 0;; i++) {
        SeriesBuf* b = node_buffer(block->data2);  // re-read: forming allocates
        int64_t at = int64_t(std::max<int32_t>(static_cast<int32_t>(block->data1), 0)) + i;
        if (at >= int64_t(b->used_bytes() >> 4)) break;
        if (count >= 0 && i >= count) break;
        if (char_limit >= 0 && string_length_total(temp) >= uint32_t(char_limit)) break;
        *element.get() = *(arena_at<Cell>(b->head) + at);
        if (char_limit < 0) {
            actions_form_call(element.get(), temp, nullptr, kNoPartLimit);
            continue;
        }
        int32_t limit = char_limit - int32_t(string_length_total(temp));
        Cell part{TYPE_INTEGER, 0, uint32_t(limit), 0};
        actions_form_call(element.get(), temp, &part, limit);
    }
}

// The characters `value` contributes to an edit, at most `part` of a text
// (-1: all; elements of a block without `only`). `temp` receives the text
// of a value that is not a string already.
StringSource value_source(const Cell* value, int32_t part, bool only, Cell* temp) {
    uint32_t t = value->type();
    if (t == TYPE_CHAR) return StringSource::of_char(value->data2);
    if (type_string_family(t) && t != TYPE_TAG) return string_source_of(value, part);
    if (t == TYPE_SYMBOL) return string_source_of(value, part);
    string_make(temp, 16, 1, TYPE_STRING);
    if (t == TYPE_TAG) {
        string_append_char(temp, '<');
        string_splice(temp, string_length_total(temp), 0, string_source_of(value), 1);
        string_append_char(temp, '>');
        return string_source_of(temp, part);
    }
    if (type_block_like(t)) {
        if (only) {
            form_elements(value, temp, -1, part);
            return string_source_of(temp, part);
        }
        form_elements(value, temp, part, -1);
        return string_source_of(temp);
    }
    actions_form_call(value, temp, nullptr, kNoPartLimit);
    return string_source_of(temp, only ? part : -1);
}

// The source's count cut to what its buffer still holds (an owner hook may
// have shortened it).
void clamp_source(StringSource& src) {
    if (!src.text || src.text->is(TYPE_SYMBOL)) return;
    uint32_t total = text_units(node_buffer(src.text->data2));
    src.start = std::min(src.start, total);
    src.count = std::min(src.count, total - src.start);
}

// Internal no-memory when `total` units plus `written` would not fit.
void check_size(const Cell* series, uint64_t total, uint64_t written) {
    uint32_t unit = node_buffer(series->data2)->unit();
    if ((total + written) * unit > kMaxStringBytes) raise_no_memory();
}

int32_t shown(uint64_t n) { return static_cast<int32_t>(std::min<uint64_t>(n, INT32_MAX)); }

}  // namespace

// ---- append, insert, change ----------------------------------------------------------------------

Cell* string_append(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool is_append) {
    Pin pin_series(series), pin_value(value);
    uint32_t total = string_length_total(series);
    if (series->data1 > total) series->data1 = total;
    if (dup < 1) {
        if (is_append) series->data1 = 0;
        return series;
    }
    Temp temp;
    StringSource src = value_source(value, part, only, temp.get());
    uint64_t written = uint64_t(src.count) * uint32_t(dup);
    total = string_length_total(series);
    check_size(series, total, written);
    uint32_t pos = is_append ? total : std::min(series->data1, total);
    OwnerEvent before = is_append ? OwnerEvent::Append : OwnerEvent::Insert;
    bool owned = owner_before(series, before, value, int32_t(pos), shown(written));
    clamp_source(src);
    total = string_length_total(series);
    pos = is_append ? total : std::min(pos, total);
    uint32_t n = string_splice(series, pos, 0, src, uint32_t(dup));
    if (owned) owner_after(series, is_append ? OwnerEvent::Appended : OwnerEvent::Inserted, value, int32_t(pos), int32_t(n));
    series->data1 = is_append ? 0 : std::min<uint32_t>(pos + n, string_length_total(series));
    return series;
}

Cell* string_insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool) {
    return string_append(series, value, part, only, dup, false);
}

Cell* string_change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
    Pin pin_series(series), pin_value(value);
    uint32_t total = string_length_total(series);
    uint32_t idx = std::min(series->data1, total);
    series->data1 = idx;
    if (dup < 1) return series;
    if (idx >= total) {
        string_append(series, value, -1, only, dup, false);  // at the tail: the result is the new tail
        return series;
    }
    Temp temp;
    StringSource src = value_source(value, -1, only, temp.get());
    uint64_t written = uint64_t(src.count) * uint32_t(dup);
    uint32_t remaining = total - idx;
    uint32_t replaced = part >= 0 ? std::min<uint32_t>(uint32_t(part), remaining)
                                  : uint32_t(std::min<uint64_t>(written, remaining));
    check_size(series, total, written);
    bool owned = owner_before(series, OwnerEvent::Change, value, int32_t(idx), int32_t(replaced));
    clamp_source(src);
    total = string_length_total(series);
    idx = std::min(idx, total);
    replaced = std::min(replaced, total - idx);
    uint32_t n = string_splice(series, idx, replaced, src, uint32_t(dup));
    if (owned) owner_after(series, OwnerEvent::Changed, value, int32_t(idx), int32_t(n));
    series->data1 = std::min<uint32_t>(idx + n, string_length_total(series));
    return series;
}

// ---- swap ----------------------------------------------------------------------------------------

namespace {

bool swappable(uint32_t t) { return type_string_family(t) || t == TYPE_BINARY; }

// Writes a character at the head of a string, or its low byte into a binary!.
void put_at_head(Cell* s, uint32_t cp) {
    if (s->is(TYPE_BINARY)) {
        SeriesBuf* b = node_buffer(s->data2);
        *unit_ptr(b, s->data1) = static_cast<uint8_t>(cp);
        return;
    }
    string_poke_char(s, s->data1, cp);
}

}  // namespace

Cell* string_swap(Cell* series1, Cell* series2) {
    if (!swappable(series2->type())) error_raise(ErrCat::Script, "invalid-arg", series2);
    if (string_at_tail_q(series1) || string_at_tail_q(series2)) return series1;
    Pin pin1(series1), pin2(series2);
    int32_t i1 = int32_t(series1->data1), i2 = int32_t(series2->data1);
    bool owned1 = owner_before(series1, OwnerEvent::Swap, series2, i1, 1);
    bool owned2 = owner_before(series2, OwnerEvent::Swap, series1, i2, 1);
    if (!string_at_tail_q(series1) && !string_at_tail_q(series2)) {
        uint32_t c1 = string_get_char_at(node_buffer(series1->data2), series1->data1);
        uint32_t c2 = string_get_char_at(node_buffer(series2->data2), series2->data1);
        put_at_head(series1, c2);
        put_at_head(series2, c1);
    }
    if (owned1) owner_after(series1, OwnerEvent::Swaped, series2, i1, 1);
    if (owned2) owner_after(series2, OwnerEvent::Swaped, series1, i2, 1);
    return series1;
}

// ---- trim ----------------------------------------------------------------------------------------

namespace {

// Blanks of trim/lines, /head and /tail: 1-32 and the Unicode spaces.
bool unicode_space(uint32_t c) {
    switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x180E: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
        return true;
    default: return c >= 0x2000 && c <= 0x200A;
    }
}
bool blank(uint32_t c) { return (c >= 1 && c <= 32) || unicode_space(c); }
// Blanks inside lines: space, tab and the Unicode spaces.
bool line_blank(uint32_t c) { return c == ' ' || c == '\t' || unicode_space(c); }

// A character set for trim/all and trim/with.
struct CharSet {
    uint64_t low[4] = {};           // code points below 256
    std::vector<uint32_t> high;     // the others, sorted
    void add(uint32_t c) {
        if (c < 256) low[c >> 6] |= uint64_t(1) << (c & 63);
        else high.push_back(c);
    }
    bool has(uint32_t c) const {
        if (c < 256) return (low[c >> 6] >> (c & 63)) & 1;
        return std::binary_search(high.begin(), high.end(), c);
    }
};

CharSet trim_set(const Cell* with) {
    CharSet set;
    if (!with) {
        for (uint32_t c : {9u, 10u, 13u, 32u}) set.add(c);
        return set;
    }
    uint32_t t = with->type();
    if (t == TYPE_CHAR || t == TYPE_INTEGER) {
        set.add(with->data2);
    } else if (type_string_family(t) || t == TYPE_BINARY) {
        Run r = run_of(with);
        for (uint32_t i = 0; i < r.len; i++) set.add(r.at(i));
    } else {
        error_raise(ErrCat::Script, "invalid-arg", with);
    }
    std::sort(set.high.begin(), set.high.end());
    return set;
}

// The units from `start` to the tail, edited in place by `edit`, which
// reads n code points through `get` and writes through `put`, returning
// the new count.
template <class Edit> void edit_units(Cell* series, uint32_t start, Edit edit) {
    SeriesBuf* b = node_buffer(series->data2);
    uint32_t unit = b->unit();
    check_unit(unit);
    uint32_t total = text_units(b);
    uint8_t* p = unit_ptr(b, start);
    auto get = [p, unit](uint32_t i) { return string_unit_at(p, unit, i); };
    auto put = [p, unit](uint32_t i, uint32_t c) { string_put_char(p + size_t(i) * unit, unit, c); };
    uint32_t n = edit(total - start, get, put);
    set_buf_units(b, uint64_t(start) + n);
}

template <class Get, class Put> uint32_t trim_all_units(uint32_t n, Get get, Put put, const CharSet& set) {
    uint32_t o = 0;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t c = get(i);
        if (!set.has(c)) put(o++, c);
    }
    return o;
}

template <class Get, class Put> uint32_t trim_lines_units(uint32_t n, Get get, Put put) {
    uint32_t o = 0;
    bool space = false;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t c = get(i);
        if (blank(c)) {
            space = o > 0;
            continue;
        }
        if (space) put(o++, ' ');
        space = false;
        put(o++, c);
    }
    return o;
}

// /head, /tail, both, or neither (both ends, then inside every line its
// leading blanks and the blanks before its line feed; a line feed removed
// from the end comes back as one).
template <class Get, class Put> uint32_t trim_ends_units(uint32_t n, Get get, Put put, bool head, bool tail) {
    bool both = head == tail;
    uint32_t s = 0, e = n;
    if (head || both)
        while (s < n && blank(get(s))) s++;
    if (tail || both)
        while (e > s && blank(get(e - 1))) e--;
    bool lf_removed = false;
    if (!head && !tail)
        for (uint32_t i = e; i < n && !lf_removed; i++) lf_removed = get(i) == '\n';
    uint32_t o = 0;
    if (head || tail) {
        for (uint32_t i = s; i < e; i++) put(o++, get(i));
        return o;
    }
    // The writer never passes the reader, so the copy runs in place.
    for (uint32_t i = s; i < e;) {
        uint32_t c = get(i);
        if (c != '\n') {
            put(o++, c);
            i++;
            continue;
        }
        while (o > 0 && line_blank(get(o - 1))) o--;
        put(o++, '\n');
        for (i++; i < e && line_blank(get(i)); i++) {}
    }
    if (lf_removed && o > 0) put(o++, '\n');
    return o;
}

}  // namespace

Cell* string_trim(Cell* series, const TrimArgs& args) {
    if (!args.all && !args.with && args.auto_) error_raise(ErrCat::Internal, "not-done");
    CharSet set;
    if (args.all || args.with) set = trim_set(args.with);
    uint32_t total = string_length_total(series);
    uint32_t idx = std::min(series->data1, total);
    series->data1 = idx;
    if (idx >= total) return series;
    bool owned = owner_before(series, OwnerEvent::Trim, nullptr, int32_t(idx), int32_t(total - idx));
    idx = std::min(idx, string_length_total(series));
    if (args.all || args.with) {
        edit_units(series, idx, [&](uint32_t n, auto get, auto put) { return trim_all_units(n, get, put, set); });
    } else if (args.lines) {
        edit_units(series, idx, [](uint32_t n, auto get, auto put) { return trim_lines_units(n, get, put); });
    } else {
        bool head = args.head, tail = args.tail;
        edit_units(series, idx, [=](uint32_t n, auto get, auto put) { return trim_ends_units(n, get, put, head, tail); });
    }
    if (owned) owner_after(series, OwnerEvent::Trimmed, nullptr, int32_t(idx), int32_t(string_length(series)));
    return series;
}

}  // namespace kel
