// PARSE matching: literals at the input head, datatype tests, the fast
// repetition and search paths, and the captures and edits of the input
// (copy, set, keep, collect, remove, insert, change).
//
// Text input is read unit by unit (1, 2 or 4 bytes a code point) straight
// from its buffer; nothing here allocates while it holds a buffer pointer.
// Case-insensitive comparison folds both code points to upper case, as
// string comparison does.
#include <algorithm>
#include <cstring>

#include "runtime/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/parse_internal.h"
#include "runtime/typecheck.h"

namespace kel::parse {

namespace {

// A text input's units from its first unit; valid until the next allocation.
struct Text {
    const uint8_t* p;
    uint32_t unit;
    uint32_t at(uint32_t i) const { return string_unit_at(p, unit, i); }
};
Text text_of(const Cell* s) {
    SeriesBuf* b = node_buffer(s->data2);
    return {b->head_ptr(), b->unit()};
}

// A bitset's bits: most significant first in each byte; a code point past
// the bits answers with the complement flag.
struct Bits {
    const uint8_t* p;
    uint64_t count;
    bool complement;
    bool has(uint32_t cp) const { return cp < count ? (p[cp >> 3] & (0x80u >> (cp & 7))) != 0 : complement; }
};
Bits bits_of(const Cell* bitset) {
    SeriesBuf* b = node_buffer(bitset->data2);
    return {b->head_ptr(), uint64_t(b->used_bytes()) * 8, (b->flags & SERIES_COMPLEMENT) != 0};
}

inline bool text_literal(uint32_t t) { return type_string_family(t); }

// Characters of a text literal from its head.
uint32_t literal_length(const Cell* lit) { return string_length(lit); }

// Bytes of unit-1 text that fold to the same character as `c` (a Latin-1
// character): the character, its other case, and any other Latin-1
// character whose upper case is one of them (sharp s folds to S, so s, S
// and sharp s make one class).
struct ByteSet {
    uint64_t w[4] = {};
    void add(uint8_t x) { w[x >> 6] |= uint64_t(1) << (x & 63); }
    bool has(uint8_t x) const { return (w[x >> 6] >> (x & 63)) & 1; }
};
ByteSet fold_bytes(uint32_t c) {
    // The classes of all 256 bytes, made once the case maps are ready.
    static ByteSet classes[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t x = 0; x < 256; x++) {
            uint32_t f = string_fold_char(x);
            for (uint32_t y = 0; y < 256; y++)
                if (string_fold_char(y) == f) classes[x].add(static_cast<uint8_t>(y));
        }
        ready = true;
    }
    return classes[c & 0xFF];
}

}  // namespace

// ---- input ---------------------------------------------------------------------------------

bool Run::in_block() const { return type_block_family(input.type()); }

uint32_t Run::in_total() const {
    SeriesBuf* b = node_buffer(input.data2);
    return b->used_bytes() >> unit_shift(b->unit());
}

uint32_t Run::in_end() const {
    uint32_t total = in_total();
    if (has_limit && limit < int64_t(total)) return limit < 0 ? 0 : static_cast<uint32_t>(limit);
    return total;
}

void Run::clamp_input() {
    uint32_t total = in_total();
    if (input.data1 > total) input.data1 = total;
}

// ---- single matches ------------------------------------------------------------------------

int32_t Run::match_literal(const Cell* lit) {
    uint32_t h = head(), end = in_end();
    uint32_t t = lit->type();
    if (in_block()) {
        if (h >= end) return -1;
        Cell el = arena_at<Cell>(node_buffer(input.data2)->head)[h];
        int32_t op = mode;
        if (t == TYPE_LIT_WORD || t == TYPE_LIT_PATH) op = mode == COMP_STRICT_EQUAL ? COMP_FIND_WORD : COMP_FIND_WORD_CASE;
        return actions_compare_values(lit, &el, op) == 0 ? 1 : -1;
    }
    if (h >= end) {
        bool empty_text = (t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL) && literal_length(lit) == 0;
        return empty_text ? 0 : -1;
    }
    Text text = text_of(&input);
    switch (t) {
    case TYPE_CHAR: {
        uint32_t c = text.at(h), want = lit->data2;
        if (c == want) return 1;
        return mode != COMP_STRICT_EQUAL && string_fold_char(c) == string_fold_char(want) ? 1 : -1;
    }
    case TYPE_BITSET: return bits_of(lit).has(text.at(h)) ? 1 : -1;
    default:
        if (!text_literal(t)) return -1;
        uint32_t need = literal_length(lit) + (t == TYPE_TAG ? 2 : 0);
        if (need > end - h) return -1;
        return string_match_at_head(&input, lit, mode) ? static_cast<int32_t>(need) : -1;
    }
}

bool Run::match_type(const Cell* type) {
    if (!in_block()) error_raise(ErrCat::Script, "parse-unsupported");
    if (at_end()) return false;
    uint32_t t = arena_at<Cell>(node_buffer(input.data2)->head)[head()].type();
    bool ok = type->is(TYPE_DATATYPE) ? type->data1 == t : typeset_has(type, t);
    if (ok) input.data1++;
    return ok;
}

// ---- fast paths ----------------------------------------------------------------------------

void Run::repeat_skip(int32_t min, int32_t max) {
    uint32_t h = head(), end = in_end();
    uint32_t n = end > h ? end - h : 0;
    if (max >= 0 && n > uint32_t(max)) n = uint32_t(max);
    match = n >= uint32_t(min);
    if (match) input.data1 = h + n;
}

void Run::repeat_literal(const Cell* lit, int32_t min, int32_t max) {
    uint32_t h = head(), end = in_end();
    uint32_t room = end > h ? end - h : 0;
    uint32_t most = max < 0 ? room : std::min<uint32_t>(room, uint32_t(max));
    uint32_t count = 0, advance = 0;
    uint32_t t = lit->type();
    if (in_block()) {
        int32_t op = mode;
        if (t == TYPE_LIT_WORD || t == TYPE_LIT_PATH) op = mode == COMP_STRICT_EQUAL ? COMP_FIND_WORD : COMP_FIND_WORD_CASE;
        for (; count < most; count++) {
            Cell el = arena_at<Cell>(node_buffer(input.data2)->head)[h + count];
            if (actions_compare_values(lit, &el, op) != 0) break;
        }
        advance = count;
    } else if (t == TYPE_CHAR) {
        Text text = text_of(&input);
        uint32_t c = lit->data2;
        if (text.unit == 1 && c <= 0xFF) {
            const uint8_t* p = text.p + h;
            if (mode == COMP_STRICT_EQUAL) {
                while (count < most && p[count] == c) count++;
            } else {
                ByteSet bytes = fold_bytes(c);
                while (count < most && bytes.has(p[count])) count++;
            }
        } else {
            uint32_t f = string_fold_char(c);
            for (; count < most; count++) {
                uint32_t x = text.at(h + count);
                if (x != c && (mode == COMP_STRICT_EQUAL || string_fold_char(x) != f)) break;
            }
        }
        advance = count;
    } else if (t == TYPE_BITSET) {
        Text text = text_of(&input);
        Bits bits = bits_of(lit);
        if (text.unit == 1) {
            const uint8_t* p = text.p + h;
            while (count < most && bits.has(p[count])) count++;
        } else {
            while (count < most && bits.has(text.at(h + count))) count++;
        }
        advance = count;
    } else if (text_literal(t)) {
        uint32_t need = literal_length(lit) + (t == TYPE_TAG ? 2 : 0);
        if (need == 0) {
            // An empty literal matches without moving: as often as wanted.
            match = true;
            return;
        }
        uint32_t limit_count = max < 0 ? UINT32_MAX : uint32_t(max);
        uint32_t saved = input.data1;
        while (count < limit_count && advance + need <= room) {
            input.data1 = h + advance;
            if (!string_match_at_head(&input, lit, mode)) break;
            advance += need;
            count++;
        }
        input.data1 = saved;
    }
    match = count >= uint32_t(min);
    if (match) input.data1 = h + advance;
}

void Run::search_literal(const Cell* lit, bool thru) {
    uint32_t h = head(), end = in_end();
    uint32_t t = lit->type();
    uint32_t found = UINT32_MAX, len = 1;
    if (in_block()) {
        int32_t op = mode;
        if (t == TYPE_LIT_WORD || t == TYPE_LIT_PATH) op = mode == COMP_STRICT_EQUAL ? COMP_FIND_WORD : COMP_FIND_WORD_CASE;
        for (uint32_t i = h; i < end; i++) {
            Cell el = arena_at<Cell>(node_buffer(input.data2)->head)[i];
            if (actions_compare_values(lit, &el, op) == 0) {
                found = i;
                break;
            }
        }
    } else if (t == TYPE_CHAR) {
        Text text = text_of(&input);
        uint32_t c = lit->data2;
        if (text.unit == 1 && c <= 0xFF) {
            const uint8_t* p = text.p;
            if (mode == COMP_STRICT_EQUAL) {
                if (end > h) {
                    const void* at = std::memchr(p + h, int(c), end - h);
                    if (at) found = static_cast<uint32_t>(static_cast<const uint8_t*>(at) - p);
                }
            } else {
                ByteSet bytes = fold_bytes(c);
                for (uint32_t i = h; i < end; i++)
                    if (bytes.has(p[i])) {
                        found = i;
                        break;
                    }
            }
        } else {
            uint32_t f = string_fold_char(c);
            for (uint32_t i = h; i < end; i++) {
                uint32_t x = text.at(i);
                if (x == c || (mode != COMP_STRICT_EQUAL && string_fold_char(x) == f)) {
                    found = i;
                    break;
                }
            }
        }
    } else if (t == TYPE_BITSET) {
        Text text = text_of(&input);
        Bits bits = bits_of(lit);
        for (uint32_t i = h; i < end; i++)
            if (bits.has(text.at(i))) {
                found = i;
                break;
            }
    } else if (text_literal(t)) {
        len = literal_length(lit) + (t == TYPE_TAG ? 2 : 0);
        if (len == 0) {
            found = h;
        } else if (t == TYPE_TAG) {
            uint32_t saved = input.data1;
            for (uint32_t i = h; i + len <= end; i++) {
                input.data1 = i;
                if (string_match_at_head(&input, lit, mode)) {
                    found = i;
                    break;
                }
            }
            input.data1 = saved;
        } else if (end > h) {
            temp = input;
            Cell part{TYPE_INTEGER, 0, end - h, 0};
            FindArgs args;
            args.part = &part;
            args.case_ = mode == COMP_STRICT_EQUAL;
            string_find(&temp, const_cast<Cell*>(lit), args);
            if (type_string_family(temp.type())) found = temp.data1;
        }
    } else {
        error_raise(ErrCat::Script, "parse-rule", lit);
    }
    match = found != UINT32_MAX;
    if (match) input.data1 = thru ? found + len : found;
}

// ---- captures -----------------------------------------------------------------------------

void Run::copy_part(uint32_t start, uint32_t end, Cell* out) {
    uint32_t total = in_total();
    start = std::min(start, total);
    end = std::min(std::max(end, start), total);
    series_copy_range(&input, static_cast<int32_t>(start), static_cast<int32_t>(end - start), out, input.type());
}

void Run::first_element(uint32_t start, uint32_t end, Cell* out) {
    if (end <= start || start >= in_total()) {
        cell_set(out, TYPE_NONE);
        return;
    }
    series_element_get(&input, static_cast<int32_t>(start), out);
    cell_clear_newline(out);
}

int32_t Run::innermost_collect(uint32_t below) const {
    for (uint32_t i = below; i-- > base;)
        if (g_rule_stack[i].kind == K_COLLECT) return static_cast<int32_t>(i);
    return -1;
}

void Run::keep_part(uint32_t start, uint32_t end, bool pick) {
    int32_t into = innermost_collect(static_cast<uint32_t>(g_rule_stack.size()));
    if (into < 0) return;
    uint32_t total = in_total();
    end = std::min(end, total);
    if (end <= start) {
        if (pick) return;
        cell_set(&value, TYPE_NONE);
        collect_add(uint32_t(into), &value, false);
        return;
    }
    if (end - start == 1 || pick) {
        for (uint32_t i = start; i < end && i < in_total(); i++) {
            first_element(i, i + 1, &value);
            collect_add(uint32_t(into), &value, false);
        }
        return;
    }
    copy_part(start, end, &value);
    collect_add(uint32_t(into), &value, false);
}

void Run::collect_add(uint32_t index, Cell* v, bool splice) {
    uint32_t mode_bits = g_rule_stack[index].flags & F_COLLECT_MASK;
    temp2 = g_rule_stack[index].aux;
    if (mode_bits == F_COLLECT_PLAIN || mode_bits == F_COLLECT_SET) {
        if (splice) block_append_all(&temp2, v);
        else block_append_value(&temp2, v);
        return;
    }
    // into / after: insert at the target's insertion point, which moves on.
    action_fn<ACT_INSERT>(temp2.type())(&temp2, v, -1, !splice, 1, false);
    if (index < g_rule_stack.size()) g_rule_stack[index].aux = temp2;
}

void Run::collect_target(const Cell* word, Cell* out) {
    Cell w = *word;
    const Cell* v = word_get_any(&w);
    uint32_t t = v->type();
    bool fits = type_block_family(t) || (type_string_family(t) && !in_block()) ||
                (t == TYPE_BINARY && input.is(TYPE_BINARY));
    if (!fits) error_raise(ErrCat::Script, "parse-into-type");
    // Any input this run is inside counts: `into` returns to it later.
    bool is_input = v->data2 == input.data2;
    for (uint32_t i = input_base; i < g_input_stack.size() && !is_input; i++)
        is_input = g_input_stack[i].input.data2 == v->data2;
    if (is_input) error_raise(ErrCat::Script, "parse-into-bad");
    *out = *v;
    uint32_t total;
    {
        SeriesBuf* b = node_buffer(out->data2);
        total = b->used_bytes() >> unit_shift(b->unit());
    }
    if (out->data1 > total) out->data1 = total;
}

// ---- edits --------------------------------------------------------------------------------

void Run::remove_part(uint32_t start, uint32_t end) {
    uint32_t total = in_total();
    start = std::min(start, total);
    end = std::min(end, total);
    if (end <= start) return;
    temp = input;
    temp.data1 = start;
    Cell part{TYPE_INTEGER, 0, end - start, 0};
    action_fn<ACT_REMOVE>(temp.type())(&temp, &part, nullptr);
    edited(start, end, 0);
}

uint32_t Run::insert_at(uint32_t at, Cell* v, bool only) {
    uint32_t before = in_total();
    temp = input;
    temp.data1 = std::min(at, before);
    action_fn<ACT_INSERT>(temp.type())(&temp, v, -1, only, 1, false);
    uint32_t after = in_total();
    uint32_t n = after > before ? after - before : 0;
    edited(std::min(at, before), std::min(at, before), n);
    return n;
}

uint32_t Run::change_part(uint32_t start, uint32_t end, Cell* v, bool only) {
    uint32_t total = in_total();
    start = std::min(start, total);
    end = std::min(std::max(end, start), total);
    temp = input;
    temp.data1 = start;
    action_fn<ACT_CHANGE>(temp.type())(&temp, v, static_cast<int32_t>(end - start), only, 1);
    uint32_t after = std::min(temp.data1, in_total());
    edited(start, end, after > start ? after - start : 0);
    return after;
}

// The limit of /part counts units of the input as it was given: an edit
// before it moves it by what the edit added or took away, so the part the
// limit covers stays the same stretch of the input. A limit inside the
// replaced span ends with what replaced it.
void Run::edited(uint32_t start, uint32_t end, uint32_t inserted) {
    if (!has_limit || limit <= int64_t(start)) return;
    if (limit >= int64_t(end)) limit += int64_t(inserted) - int64_t(end - start);
    else limit = int64_t(start) + std::min<int64_t>(limit - start, inserted);
}

}  // namespace kel::parse
