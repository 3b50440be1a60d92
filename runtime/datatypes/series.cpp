// series!: position actions, element access and in-place edits shared by
// every series type, whatever its unit. The concrete types (block!, string!,
// binary!, vector! ...) take these entries by inheritance at registration.
#include "runtime/datatypes/series.h"

#include <algorithm>
#include <cstring>

#include "runtime/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/hashtable.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"

namespace kel {

namespace {

// The owner's word of each event; insert and remove have no fixed word of
// their own and are made from their symbols.
using EventWord = Cell FixedWords::*;
constexpr EventWord kEventWords[] = {
    &FixedWords::append, &FixedWords::appended, nullptr, &FixedWords::inserted, &FixedWords::change,
    &FixedWords::changed, &FixedWords::clear, &FixedWords::cleared, &FixedWords::poke, &FixedWords::poked,
    &FixedWords::put, &FixedWords::put_ed, nullptr, &FixedWords::removed, &FixedWords::random,
    &FixedWords::randomized, &FixedWords::reverse, &FixedWords::reversed, &FixedWords::sort, &FixedWords::sorted,
    &FixedWords::swap, &FixedWords::swaped, &FixedWords::take, &FixedWords::taken, &FixedWords::trim,
    &FixedWords::trimmed, &FixedWords::move, &FixedWords::moved,
};
static_assert(sizeof kEventWords / sizeof kEventWords[0] == size_t(OwnerEvent::Moved) + 1);

bool notify_owner(Cell* s, OwnerEvent e, const Cell* value, int32_t index, int32_t part) {
    Cell word;
    if (e == OwnerEvent::Insert) word_from_symbol(&word, g_sym.insert);
    else if (e == OwnerEvent::Remove) word_from_symbol(&word, g_sym.remove);
    else word = g_words.*kEventWords[static_cast<int>(e)];
    Cell none{TYPE_NONE, 0, 0, 0};
    return symctx_owner_get(s, &word, value ? value : &none, index, part);
}

int32_t int_value(const Cell* c) { return static_cast<int32_t>(c->data2); }

void set_none(Cell* c) { cell_set(c, TYPE_NONE); }
void set_integer(Cell* c, int32_t v) { cell_set(c, TYPE_INTEGER, 0, static_cast<uint32_t>(v)); }
void set_logic(Cell* c, bool v) { cell_set(c, TYPE_LOGIC, v ? 1 : 0); }

int32_t clamp_position(int64_t pos, int32_t total) {
    if (pos < 0) return 0;
    if (pos > total) return total;
    return static_cast<int32_t>(pos);
}

// Sets the used length of a series' buffer to `units` from its first unit.
void set_units(SeriesBuf* b, int64_t units) { b->tail = b->head + static_cast<uint32_t>(units << unit_shift(b->unit())); }

uint8_t* unit_ptr(SeriesBuf* b, int64_t pos) { return b->head_ptr() + (pos << unit_shift(b->unit())); }

void write_unit(uint8_t* at, uint32_t unit, uint32_t cp) {
    switch (unit) {
    case 1: *at = static_cast<uint8_t>(cp); break;
    case 2: {
        uint16_t v = static_cast<uint16_t>(cp);
        std::memcpy(at, &v, 2);
        break;
    }
    default: std::memcpy(at, &cp, 4); break;
    }
}

void swap_bytes(uint8_t* a, uint8_t* b, uint32_t n) { std::swap_ranges(a, a + n, b); }

// Count of a /part argument: an integer!, or the distance to a position of
// the same series.
int64_t part_count(const Cell* s, const Cell* part) {
    if (part->is(TYPE_INTEGER)) return int_value(part);
    return int64_t(series_part_position(s, part)) - series_index(s);
}

}  // namespace

VectorHooks g_vector;

bool owner_before(Cell* s, OwnerEvent e, const Cell* value, int32_t index, int32_t part) {
    if (!(series_buf(s)->flags & SERIES_OWNED)) return false;
    return notify_owner(s, e, value, index, part);
}

void owner_after(Cell* s, OwnerEvent e, const Cell* value, int32_t index, int32_t part) {
    notify_owner(s, e, value, index, part);
}

void raise_invalid_refine(const Cell& refinement, const Cell* value) {
    error_raise(ErrCat::Script, "invalid-refine-arg", &refinement, value);
}

void series_hash_changed(Cell* s) {
    if (s->is(TYPE_HASH) && s->data3) hashtable_reset(s->data3, 0);
}

void series_hash_appended(Cell* s, uint32_t from, uint32_t count) {
    if (!s->is(TYPE_HASH) || !s->data3) return;
    for (uint32_t i = from; i < from + count; i++) {
        SeriesBuf* b = series_buf(s);
        if (i >= uint32_t(buf_units(b))) break;
        hashtable_put(s->data3, arena_at<Cell>(b->head) + i);
    }
}

// ---- positions ----------------------------------------------------------------

int32_t series_length_total(const Cell* s) { return buf_units(series_buf(s)); }

bool series_at_tail_q(const Cell* s) { return series_index(s) >= series_length_total(s); }

bool series_advance(Cell* s, int32_t n) {
    int32_t total = series_length_total(s);
    int64_t pos = int64_t(series_index(s)) + n;
    if (pos <= total && pos >= 0) series_set_index(s, pos);
    return series_index(s) >= total;
}

int32_t series_get_length(Cell* s, bool from_start) {
    int32_t total = series_length_total(s);
    int32_t i = series_index(s);
    if (i > total) {
        series_set_index(s, total);
        return 0;
    }
    if (from_start || i < 0) i = 0;
    return total - i;
}

int32_t series_part_position(const Cell* s, const Cell* part) {
    if (part->type() != s->type() || part->data2 != s->data2) raise_invalid_refine(g_refinements.part, part);
    return clamp_position(series_index(part), series_length_total(part));
}

Cell* series_element_get(const Cell* s, int32_t pos, Cell* out) {
    SeriesBuf* b = series_buf(s);
    uint32_t unit = b->unit();
    uint32_t type = s->type();
    uint32_t element_type = s->data3;
    const uint8_t* at = unit_ptr(b, pos);
    if (type_block_family(type)) {
        std::memcpy(out, at, sizeof(Cell));
    } else if (type == TYPE_BINARY) {
        set_integer(out, *at);
    } else if (type == TYPE_VECTOR) {
        if (!g_vector.get) error_raise(ErrCat::Internal, "not-done");
        g_vector.get(out, at, element_type, unit);
    } else {
        cell_set(out, TYPE_CHAR, 0, string_unit_at(at, unit, 0));
    }
    return out;
}

// ---- frame actions: arguments on the stack, result in the result slot ----------

void series_head() { series_set_index(stack_arg(0), 0); }

void series_tail() {
    Cell* s = stack_arg(0);
    series_set_index(s, series_length_total(s));
}

void series_next() {
    Cell* s = stack_arg(0);
    if (int64_t(series_index(s)) + 1 <= series_length_total(s)) series_set_index(s, int64_t(series_index(s)) + 1);
}

void series_back() {
    Cell* s = stack_arg(0);
    if (series_index(s) > 0) series_set_index(s, series_index(s) - 1);
}

static void move_to(bool at) {
    Cell* s = stack_arg(0);
    const Cell* n = stack_arg(1);
    if (!n->is(TYPE_INTEGER)) error_raise(ErrCat::Script, "invalid-arg", n);
    int64_t v = int_value(n);
    int64_t pos = int64_t(series_index(s)) + (at && v >= 1 ? v - 1 : v);
    series_set_index(s, clamp_position(pos, series_length_total(s)));
}

void series_at() { move_to(true); }
void series_skip() { move_to(false); }

void series_head_q() {
    Cell* s = stack_arg(0);
    set_logic(s, series_index(s) == 0);
}

void series_tail_q() {
    Cell* s = stack_arg(0);
    set_logic(s, series_at_tail_q(s));
}

void series_index_q() {
    Cell* s = stack_arg(0);
    set_integer(s, series_index(s) + 1);
}

int32_t series_length_q(const Cell* s) { return series_length(s); }

// ---- element access ---------------------------------------------------------------

// The unit position of a 1-based pick/poke index: -1 is just before the head.
static int64_t pick_position(const Cell* s, int32_t index) {
    return int64_t(series_index(s)) + (index < 0 ? index : int64_t(index) - 1);
}

Cell* series_pick(Cell* s, int32_t index, const Cell*) {
    int64_t p = pick_position(s, index);
    if (index == 0 || p < 0 || p >= series_length_total(s)) {
        set_none(s);
        return s;
    }
    Cell element;
    series_element_get(s, static_cast<int32_t>(p), &element);
    return copy_cell(&element, s);
}

// series_poke at an index in range, beyond the common case (below): other
// series types, owned buffers.
static __attribute__((noinline)) Cell* series_poke_general(Cell* s, int64_t p, Cell* value) {
    uint32_t type = s->type();
    // Check the value's kind before anything is told or changed.
    if (type == TYPE_VECTOR) {
        if (value->type() != s->data3 || !g_vector.set) error_raise(ErrCat::Script, "invalid-arg", value);
    } else if (type == TYPE_BINARY) {
        if (!value->is(TYPE_CHAR) && !value->is(TYPE_INTEGER)) error_raise(ErrCat::Script, "invalid-arg", value);
    } else if (!type_block_family(type)) {
        if (!value->is(TYPE_CHAR)) error_raise(ErrCat::Script, "invalid-arg", value);
    }
    RootedCell held(value);
    Cell& v = *held;
    auto pos = static_cast<int32_t>(p);
    bool owned = owner_before(s, OwnerEvent::Poke, &v, pos, 1);
    if (pos >= series_length_total(s)) return value;  // the owner shortened it meanwhile
    if (type_block_family(type)) {
        std::memcpy(unit_ptr(series_buf(s), pos), &v, sizeof(Cell));
        series_hash_changed(s);
    } else if (type == TYPE_VECTOR) {
        SeriesBuf* b = series_buf(s);
        g_vector.set(unit_ptr(b, pos), &v, b->unit());
    } else if (type == TYPE_BINARY) {
        *unit_ptr(series_buf(s), pos) = static_cast<uint8_t>(v.data2);
    } else {
        uint32_t cp = v.data2;
        if (series_buf(s)->unit() < unit_for_codepoint(cp)) string_widen(s->data2, unit_for_codepoint(cp));
        SeriesBuf* b = series_buf(s);
        write_unit(unit_ptr(b, pos), b->unit(), cp);
    }
    if (owned) owner_after(s, OwnerEvent::Poked, &v, pos, 1);
    return value;
}

Cell* series_poke(Cell* s, int32_t index, Cell* value, const Cell*) {
    int64_t p = pick_position(s, index);
    if (index == 0 || p < 0 || p >= series_length_total(s)) {
        Cell n;
        set_integer(&n, index);
        error_raise(ErrCat::Script, "out-of-range", &n);
    }
    SeriesBuf* b = series_buf(s);
    if (type_block_family(s->type()) && !(b->flags & SERIES_OWNED)) {
        // No owner to tell: nothing runs or allocates before the cell is written.
        Cell v = *value;
        std::memcpy(unit_ptr(b, p), &v, sizeof(Cell));
        if (s->is(TYPE_HASH)) series_hash_changed(s);
        return value;
    }
    return series_poke_general(s, p, value);
}

// ---- edits ----------------------------------------------------------------------

Cell* series_clear(Cell* s) {
    int32_t len = series_get_length(s, false);
    if (len < 1) return s;
    int32_t idx = std::max(series_index(s), 0);
    bool owned = owner_before(s, OwnerEvent::Clear, nullptr, idx, len);
    SeriesBuf* b = series_buf(s);
    if (idx < buf_units(b)) set_units(b, idx);
    series_hash_changed(s);
    if (owned) owner_after(s, OwnerEvent::Cleared, nullptr, idx, 0);
    return s;
}

// Removes `count` units at `pos` (clamped to the tail), closing the gap.
static void remove_units(Cell* s, int32_t pos, int64_t count) {
    SeriesBuf* b = series_buf(s);
    int32_t total = buf_units(b);
    if (pos >= total || count <= 0) return;
    if (pos + count >= total) {
        set_units(b, pos);
        return;
    }
    uint32_t shift = unit_shift(b->unit());
    uint8_t* at = unit_ptr(b, pos);
    std::memmove(at, at + (count << shift), size_t(total - pos - count) << shift);
    set_units(b, total - count);
}

Cell* series_remove(Cell* s, const Cell* part, const Cell* key) {
    int64_t count = part ? part_count(s, part) : 1;
    if (count < 1) return s;
    if (key) {
        RootedCell probe(s), k(key);
        FindArgs args;
        args.case_ = true;
        Cell* found = action_fn<ACT_FIND>(s->type())(probe.get(), k.get(), args);
        if (!type_series(found->type())) {
            set_none(s);
            return s;
        }
        series_set_index(s, series_index(found));
        count += 1;
    }
    int32_t idx = series_index(s);
    if (idx < 0 || idx >= series_length_total(s)) return s;
    int32_t shown = static_cast<int32_t>(std::min<int64_t>(count, INT32_MAX));
    bool owned = owner_before(s, OwnerEvent::Remove, nullptr, idx, shown);
    remove_units(s, idx, count);
    series_hash_changed(s);
    if (owned) owner_after(s, OwnerEvent::Removed, nullptr, idx, 0);
    return s;
}

Cell* series_reverse(Cell* s, const Cell* part, const Cell* skip) {
    int32_t len = series_length(s);
    int64_t range = part ? part_count(s, part) : len;
    if (range < 1) return s;
    if (range > len) range = len;
    int64_t size = 1;
    if (skip) {
        if (!skip->is(TYPE_INTEGER) || int_value(skip) < 1) error_raise(ErrCat::Script, "out-of-range", skip);
        size = int_value(skip);
        if (size == range) return s;
        if (range < size || range % size != 0) raise_invalid_refine(g_refinements.skip, skip);
    }
    if (range < 2) return s;
    int32_t idx = series_index(s);
    bool owned = owner_before(s, OwnerEvent::Reverse, nullptr, idx, static_cast<int32_t>(range));
    SeriesBuf* b = series_buf(s);
    range = std::min<int64_t>(range, std::max(buf_units(b) - idx, 0));  // the owner may have shortened it
    range -= range % size;
    uint32_t record = static_cast<uint32_t>(size << unit_shift(b->unit()));
    for (int64_t lo = idx, hi = idx + range - size; lo < hi; lo += size, hi -= size)
        swap_bytes(unit_ptr(b, lo), unit_ptr(b, hi), record);
    series_hash_changed(s);
    if (owned) owner_after(s, OwnerEvent::Reversed, nullptr, idx, static_cast<int32_t>(range));
    return s;
}

Cell* series_copy_range(const Cell* s, int32_t start, int32_t count, Cell* out, uint32_t header) {
    uint32_t unit = series_buf(s)->unit();
    uint32_t shift = unit_shift(unit);
    if ((uint64_t(count) << shift) > 0x7FFFFFF0) error_raise(ErrCat::Internal, "no-memory");
    // A copy is an ordinary collected buffer whatever its source was; it keeps
    // the unit and the bitset complement flag, not the owner flag.
    Off node = alloc_series(count > 0 ? uint32_t(count) : 1, unit, 0);
    SeriesBuf* from = series_buf(s);
    SeriesBuf* to = node_buffer(node);
    to->flags |= from->flags & SERIES_COMPLEMENT;
    std::memcpy(to->data(), unit_ptr(from, start), size_t(count) << shift);
    to->tail = to->head + (uint32_t(count) << shift);
    cell_set(out, header, 0, node, s->is(TYPE_VECTOR) ? s->data3 : 0);
    return out;
}

// A new series of `s`'s type holding `count` units from `start`, in `out`.
static Cell* copy_units(const Cell* s, int32_t start, int32_t count, Cell* out) {
    return series_copy_range(s, start, count, out, s->type() | (s->header & CELL_NEW_LINE));
}

Cell* series_take(Cell* s, const Cell* part, bool, bool last) { return series_take_finished(s, part, last, nullptr); }

Cell* series_take_finished(Cell* s, const Cell* part, bool last, TakeFinish finish) {
    RootedCell held(s);
    Cell& src = *held;
    int32_t len = series_get_length(&src, false);
    if (len < 1) {
        set_none(s);
        return s;
    }
    int32_t idx = series_index(&src);
    int64_t count = 1;
    if (part) {
        if (part->is(TYPE_INTEGER)) {
            count = int_value(part);
        } else {
            int32_t q = series_part_position(&src, part);
            count = q < idx ? 0 : last ? int64_t(idx) + len - q : int64_t(q) - idx;
        }
    }
    int64_t available = len;
    bool before_head = count < 0;
    if (before_head) {
        available = idx;
        count = last ? 1 : -count;
    }
    count = std::min(count, available);
    int32_t total = idx + len;
    int64_t start = last ? total - count : before_head ? idx - count : idx;

    bool owned = owner_before(&src, OwnerEvent::Take, nullptr, static_cast<int32_t>(start), static_cast<int32_t>(count));
    total = series_length_total(&src);  // the owner may have changed it
    start = std::min<int64_t>(start, total);
    count = std::min<int64_t>(count, total - start);

    RootedCell result;
    if (part) copy_units(&src, static_cast<int32_t>(start), static_cast<int32_t>(count), result.get());
    else if (count > 0) series_element_get(&src, static_cast<int32_t>(start), result.get());
    else set_none(result.get());
    if (finish && count > 0) finish(result.get());
    remove_units(&src, static_cast<int32_t>(start), count);
    series_hash_changed(&src);
    if (part && result->is(TYPE_HASH)) {
        Off table = hashtable_make(uint32_t(count), result.get(), HASH_KIND_BLOCK, 0);
        result->data3 = table;
    }
    if (owned) owner_after(&src, OwnerEvent::Taken, nullptr, static_cast<int32_t>(start), 0);
    return copy_cell(result.get(), s);
}

Cell* series_copy(Cell* s, Cell* dest, const Cell* part, bool, const Cell*) {
    int32_t total = series_length_total(s);
    int32_t idx = series_index(s);
    int64_t start = idx;
    int64_t count = idx >= total ? 0 : total - std::max(idx, 0);
    if (part) {
        if (part->is(TYPE_INTEGER)) {
            count = int_value(part);
        } else if (part->is(TYPE_PAIR)) {
            int64_t x = static_cast<int32_t>(part->data2), y = static_cast<int32_t>(part->data3);
            start = std::max<int64_t>(0, idx + (x < 0 ? x : x - 1));
            count = y >= x ? y - x : 0;
        } else {
            count = int64_t(series_part_position(s, part)) - idx;
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
    start = std::clamp<int64_t>(start, 0, total);
    count = std::clamp<int64_t>(count, 0, total - start);
    return copy_units(s, static_cast<int32_t>(start), static_cast<int32_t>(count), dest);
}

// ---- move ---------------------------------------------------------------------------

static bool move_compatible(const Cell* origin, const Cell* target) {
    uint32_t o = origin->type(), t = target->type();
    if (type_block_family(o) != type_block_family(t)) return false;
    if (type_block_family(o)) return true;
    uint32_t uo = series_buf(origin)->unit(), ut = series_buf(target)->unit();
    if (uo == ut) return true;
    bool raw = o == TYPE_BINARY || o == TYPE_VECTOR || t == TYPE_BINARY || t == TYPE_VECTOR || o == TYPE_IMAGE ||
               t == TYPE_IMAGE;
    return !raw;  // strings of different widths convert code points
}

// Moves `count` units from origin's head to target's head, between buffers.
static void move_between(Cell* origin, Cell* target, int32_t count) {
    int32_t o_idx = series_index(origin);
    int32_t t_idx = clamp_position(series_index(target), series_length_total(target));
    uint32_t o_unit = series_buf(origin)->unit();
    if (series_buf(target)->unit() < o_unit) string_widen(target->data2, o_unit);
    SeriesBuf* tb = series_buf(target);
    uint32_t t_unit = tb->unit();
    int32_t t_total = buf_units(tb);
    uint64_t need = (uint64_t(t_total) + count) * t_unit;
    if (need > 0x7FFFFFFF) error_raise(ErrCat::Internal, "no-memory");
    if (tb->head + need > tb->data_end()) tb = series_expand(tb, int64_t(need) * 2);
    uint32_t t_shift = unit_shift(t_unit);
    uint8_t* at = unit_ptr(tb, t_idx);
    std::memmove(at + (size_t(count) << t_shift), at, size_t(t_total - t_idx) << t_shift);
    set_units(tb, int64_t(t_total) + count);
    SeriesBuf* ob = series_buf(origin);  // re-read: the expansion may have collected
    const uint8_t* from = unit_ptr(ob, o_idx);
    if (o_unit == t_unit) {
        std::memcpy(at, from, size_t(count) << t_shift);
    } else {
        for (int32_t i = 0; i < count; i++) write_unit(at + (size_t(i) << t_shift), t_unit, string_unit_at(from, o_unit, i));
    }
    remove_units(origin, o_idx, count);
}

// Moves `count` units inside one buffer so that they start at `to` in the
// final series (rotation of the span between the two places).
static void move_within(Cell* s, int32_t from, int32_t count, int32_t to) {
    SeriesBuf* b = series_buf(s);
    uint32_t shift = unit_shift(b->unit());
    uint8_t* base = b->head_ptr();
    auto bytes = [&](int64_t units) { return base + (units << shift); };
    if (to < from) std::rotate(bytes(to), bytes(from), bytes(int64_t(from) + count));
    else std::rotate(bytes(from), bytes(int64_t(from) + count), bytes(int64_t(to) + count));
}

Cell* series_move(Cell* origin, Cell* target, const Cell* part) {
    if (!type_series(target->type())) {
        Cell none, dt;
        set_none(&none);
        datatype_set(&dt, target->type());
        error_raise(ErrCat::Script, "expect-arg", &none, &dt, &none);
    }
    int32_t len = series_length(origin);
    if (len < 1) return target;
    int64_t count = 1;
    if (part) {
        if (!part->is(TYPE_INTEGER)) raise_invalid_refine(g_refinements.part, part);
        count = int_value(part);
        if (count < 1) return target;
    }
    auto n = static_cast<int32_t>(std::min<int64_t>(count, len));
    int32_t o_idx = series_index(origin);
    if (origin->data2 != target->data2) {
        if (!move_compatible(origin, target)) {
            Cell dt_target, dt_origin;
            datatype_set(&dt_target, target->type());
            datatype_set(&dt_origin, origin->type());
            error_raise(ErrCat::Script, "move-bad", &dt_target, &dt_origin);
        }
        int32_t t_idx = clamp_position(series_index(target), series_length_total(target));
        bool owned_o = owner_before(origin, OwnerEvent::Move, nullptr, o_idx, n);
        bool owned_t = owner_before(target, OwnerEvent::Move, nullptr, t_idx, n);
        n = std::min(n, series_length(origin));
        move_between(origin, target, n);
        series_hash_changed(origin);
        series_hash_changed(target);
        if (owned_o) owner_after(origin, OwnerEvent::Moved, nullptr, o_idx, n);
        if (owned_t) owner_after(target, OwnerEvent::Moved, nullptr, t_idx, n);
        return target;
    }
    int32_t total = series_length_total(origin);
    int32_t to = std::min(series_index(target), total);
    if (to == o_idx) return target;
    if (to > o_idx && to < total && total - to < n) return origin;
    int32_t final_start = to == total ? total - n : to;
    if (to > o_idx && to < o_idx + n && to != total) final_start = to;
    bool owned = owner_before(origin, OwnerEvent::Move, nullptr, o_idx, n);
    total = series_length_total(origin);
    if (int64_t(o_idx) + n > total || int64_t(final_start) + n > total) return target;  // changed by the owner
    move_within(origin, o_idx, n, final_start);
    series_hash_changed(origin);
    if (owned) owner_after(origin, OwnerEvent::Moved, nullptr, final_start, n);
    return target;
}

// ---- random, reflect, modify ------------------------------------------------------------

Cell* series_random(Cell* s, bool seed, bool secure, bool only) {
    if (seed) {
        SeriesBuf* b = series_buf(s);
        int32_t len = series_length(s);
        uint32_t shift = unit_shift(b->unit());
        random_seed(static_cast<int32_t>(hashtable_hash_bytes(unit_ptr(b, std::max(series_index(s), 0)), uint32_t(len) << shift)));
        cell_set_unset(s);
        return s;
    }
    int32_t len = series_length(s);
    if (only) {
        if (len < 1) {
            set_none(s);
            return s;
        }
        int32_t pos = series_index(s) + random_int(secure, len) - 1;
        Cell element;
        series_element_get(s, pos, &element);
        return copy_cell(&element, s);
    }
    if (len < 2) return s;
    int32_t idx = series_index(s);
    bool owned = owner_before(s, OwnerEvent::Random, nullptr, idx, len);
    SeriesBuf* b = series_buf(s);
    int32_t total = buf_units(b);
    uint32_t unit = b->unit();
    for (int32_t i = idx; i + 1 < total; i++) {
        int32_t j = i + random_int(secure, total - i) - 1;
        if (j != i) swap_bytes(unit_ptr(b, i), unit_ptr(b, j), unit);
    }
    series_hash_changed(s);
    if (owned) owner_after(s, OwnerEvent::Randomized, nullptr, idx, len);
    return s;
}

static bool is_owned_field(uint32_t symbol) {
    return symbol != 0 && symbols_ready() && symbol_resolve(symbol) == symbol_resolve(g_sym.owned);
}

Cell* series_reflect(Cell* s, int32_t field_symbol) {
    if (!is_owned_field(uint32_t(field_symbol))) error_raise(ErrCat::Internal, "not-done");
    const Cell* owner = symctx_owner_find(s->data2);
    if (owner) return copy_cell(owner, s);
    set_none(s);
    return s;
}

Cell* series_modify(Cell* s, Cell* field, Cell* value, bool) {
    if (!is_owned_field(field->data2)) return value;
    if (value->is(TYPE_NONE)) {
        symctx_owner_clear(s);
    } else if (value->is(TYPE_BLOCK) && series_length(value) >= 2) {
        Cell owner = *arena_at<Cell>(series_buf(value)->head + uint32_t(series_index(value)) * 16);
        Cell word = *arena_at<Cell>(series_buf(value)->head + uint32_t(series_index(value) + 1) * 16);
        symctx_owner_set(s, &owner, &word);
    }
    return value;
}

// ---- registration ----------------------------------------------------------------------

void series_init() {
    TypeRow(TYPE_SERIES)
        .set<ACT_RANDOM>(series_random)
        .set<ACT_REFLECT>(series_reflect)
        .set<ACT_AT>(series_at)
        .set<ACT_BACK>(series_back)
        .set<ACT_CLEAR>(series_clear)
        .set<ACT_COPY>(series_copy)
        .set<ACT_HEAD>(series_head)
        .set<ACT_HEAD_Q>(series_head_q)
        .set<ACT_INDEX_Q>(series_index_q)
        .set<ACT_LENGTH_Q>(series_length_q)
        .set<ACT_MOVE>(series_move)
        .set<ACT_NEXT>(series_next)
        .set<ACT_PICK>(series_pick)
        .set<ACT_POKE>(series_poke)
        .set<ACT_REMOVE>(series_remove)
        .set<ACT_REVERSE>(series_reverse)
        .set<ACT_SKIP>(series_skip)
        .set<ACT_TAIL>(series_tail)
        .set<ACT_TAIL_Q>(series_tail_q)
        .set<ACT_TAKE>(series_take)
        .set<ACT_MODIFY>(series_modify)
        .commit();
}

}  // namespace kel
