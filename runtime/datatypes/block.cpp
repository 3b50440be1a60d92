// block!: construction, editing, searching, comparison, sorting, mold and
// form, path access and the set operations. paren!, the path types and
// hash! inherit most of these entries.
//
// Any allocation may collect, and a collection may move buffers and
// evacuate nodes. So every routine that allocates or calls into another type
// (mold, copy, owner hooks, comparator functions) re-reads buffers through a
// rooted cell's node afterwards, and a cell it holds across such a call is a
// RootedCell. Block arguments are the callers' cells, which they keep
// rooted. Comparisons do not allocate, so search and sort loops over the
// default comparison read cells in place.
#include "runtime/datatypes/block.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "runtime/cycles.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/hashtable.h"
#include "runtime/sort.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"

namespace kel {

Cell g_root_block = {TYPE_UNSET, 0, 0, 0};
SortComparatorCall g_sort_comparator_call = nullptr;

namespace {

constexpr Cell kNoneCell = {TYPE_NONE, 0, 0, 0};
Cell g_none_result = kNoneCell;

// A none! for routines that answer with a cell address; rewritten on every
// use, so a caller that wrote into it cannot spoil the next answer.
Cell* none_result() {
    g_none_result = kNoneCell;
    return &g_none_result;
}
constexpr uint32_t kRootCells = 64;
constexpr uint64_t kMaxBlockBytes = 0x7FFFFFF0;

BlockConverter g_converters[kTypeCount + 1] = {};

// Cells of a buffer from its first cell; stale after any allocation.
inline Cell* cells_of(SeriesBuf* b) { return arena_at<Cell>(b->head); }
inline int32_t cell_count(const SeriesBuf* b) { return static_cast<int32_t>(b->used_bytes() >> 4); }
inline int32_t cell_count(Off node) { return cell_count(node_buffer(node)); }
inline Cell* cell_ptr(Off node, int64_t i) { return cells_of(node_buffer(node)) + i; }
inline void set_cell_count(SeriesBuf* b, int64_t n) { b->tail = b->head + static_cast<uint32_t>(n << 4); }

inline int32_t int_value(const Cell* c) { return static_cast<int32_t>(c->data2); }
void set_none(Cell* c) { cell_set(c, TYPE_NONE); }

// Head index clamped to [0, total].
int32_t head_of(const Cell* b) {
    int32_t total = cell_count(b->data2);
    int32_t i = series_index(b);
    return i < 0 ? 0 : i > total ? total : i;
}

bool type_any_word(uint32_t t) { return t >= TYPE_WORD && t <= TYPE_ISSUE; }
bool type_number(uint32_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }

inline uint32_t canonical(uint32_t symbol) { return symbols_ready() ? symbol_resolve(symbol) : symbol; }

// The raw comparison of two cells under an operator; a type without a
// compare entry only equals an identical cell.
int32_t compare_cells(const Cell* a, const Cell* b, int32_t op) {
    if (!action_entry(a->type(), ACT_COMPARE)) return std::memcmp(a, b, sizeof(Cell)) == 0 ? 0 : kCompareIncomparable;
    return actions_compare_values(a, b, op);
}

// ---- buffer growth ------------------------------------------------------------

// Room for `extra` more cells after the tail: grown to the needed size, or
// twice that with `doubling`. Returns the buffer to use. A fixed block keeps
// the capacity it was made with.
SeriesBuf* block_room(Off node, uint64_t extra, bool doubling) {
    SeriesBuf* b = node_buffer(node);
    uint64_t need = uint64_t(b->used_bytes()) + extra * 16;
    if (uint64_t(b->head) + need <= b->data_end()) return b;
    if (need > kMaxBlockBytes || (b->flags & SERIES_FIXED)) error_raise(ErrCat::Internal, "no-memory");
    uint64_t size = doubling ? std::min(need * 2, kMaxBlockBytes) : need;
    return series_expand(b, static_cast<int64_t>(size));
}

// Replaces `replaced` cells at `pos` of `target` by `count` source cells
// written `dup` times. The source is `count` cells of the block `source`
// from its head, or the single cell `single`; both rooted. A source in the
// same buffer is read before anything moves.
void splice_cells(const Cell* target, int32_t pos, int32_t replaced, const Cell* source, const Cell* single,
                  int64_t count, int64_t dup) {
    int64_t written = count * dup;
    int32_t total = cell_count(target->data2);
    if (written > replaced) {
        if ((uint64_t(total) + uint64_t(written - replaced)) * 16 > kMaxBlockBytes)
            error_raise(ErrCat::Internal, "no-memory");
        block_room(target->data2, uint64_t(written - replaced), dup < 5);
    }
    Off node = target->data2;
    SeriesBuf* b = node_buffer(node);
    Cell* cells = cells_of(b);
    std::vector<Cell> same;  // the source when it shares the buffer
    const Cell* src = single;
    if (!single && count > 0) {
        int32_t from = head_of(source);
        if (source->data2 == node) {
            same.assign(cells + from, cells + from + count);
            src = same.data();
        } else {
            src = cells_of(node_buffer(source->data2)) + from;
        }
    }
    std::memmove(cells + pos + written, cells + pos + replaced, size_t(total - pos - replaced) * sizeof(Cell));
    if (count > 0) {
        std::memcpy(cells + pos, src, size_t(count) * sizeof(Cell));
        if (dup > 1) memory_fill_pattern(reinterpret_cast<uint8_t*>(cells + pos), uint32_t(count) * 16, uint32_t(dup));
    }
    set_cell_count(b, int64_t(total) - replaced + written);
}

// A new block of `type` holding `count` cells of the rooted block `src` from
// `start`, in `out`.
Cell* copy_cells(const Cell* src, int32_t start, int32_t count, Cell* out, uint32_t type) {
    return series_copy_range(src, start, count, out, type);
}

// Writes the deep copy of a series value into `out` through its copy action.
void deep_copy_value(const Cell* value, Cell* out) {
    RootedCell v(value);
    action_fn<ACT_COPY>(v->type())(v.get(), out, nullptr, true, nullptr);
}

// Replaces each series cell of `block` by its deep copy.
void deep_copy_cells(const Cell* block) {
    for (int32_t i = 0; i < cell_count(block->data2); i++) {
        if (!type_series(cell_ptr(block->data2, i)->type())) continue;
        RootedCell copy;
        deep_copy_value(cell_ptr(block->data2, i), copy.get());
        if (i < cell_count(block->data2)) *cell_ptr(block->data2, i) = *copy;
    }
}

}  // namespace

const Cell* block_none_cell() { return none_result(); }

void block_set_converter(TypeId type, BlockConverter fn) { g_converters[type] = fn; }
BlockConverter block_converter(uint32_t type) { return type <= uint32_t(kTypeCount) ? g_converters[type] : nullptr; }

// ---- the root block and making blocks ------------------------------------------------

// The root block is an ordinary, growable block: the collector marks it
// first of its roots (and repoints its node), and nothing keeps a pointer
// into its buffer, so it may move like any other.

// Hash tables that a set operation holds while it runs: a table is several
// series (record, flags, keys, ...), so rooting its node alone is not enough.
static std::vector<Off*> g_live_tables;
static void mark_live_tables() {
    for (Off* slot : g_live_tables)
        if (*slot) hashtable_mark(slot);
}

void block_root_init() {
    if (g_root_block.is(TYPE_BLOCK)) return;
    if (!memory_ready()) memory_init();
    Off node = alloc_cells_unset(kRootCells);
    cell_set(&g_root_block, TYPE_BLOCK, 0, node, 0);
    gc_add_root_callback(mark_live_tables);
}

namespace {

// Keeps the table named in *slot marked for the life of the scope.
class TableRoot {
public:
    explicit TableRoot(Off* slot) { g_live_tables.push_back(slot); }
    ~TableRoot() { g_live_tables.pop_back(); }
    TableRoot(const TableRoot&) = delete;
    TableRoot& operator=(const TableRoot&) = delete;
};

}  // namespace

Cell* block_make_at_ex(Cell* cell, int32_t n, bool fixed) {
    cell_set_unset(cell);
    uint32_t count = n < 1 ? 1 : static_cast<uint32_t>(n);
    if (uint64_t(count) * 16 > kMaxBlockBytes) error_raise(ErrCat::Internal, "no-memory");
    Off node;
    if (fixed) {
        node = alloc_series_fixed(count, 16, 0);
        SeriesBuf* b = node_buffer(node);
        for (uint32_t i = 0; i < b->size / 16; i++) cell_set_unset(arena_at<Cell>(b->data_start()) + i);
    } else {
        node = alloc_cells_unset(count);
    }
    cell_set(cell, TYPE_BLOCK, 0, node, 0);
    return cell;
}

Cell* block_make_at(Cell* cell, int32_t n) { return block_make_at_ex(cell, n, false); }

static Cell* append_new(Cell* parent, int32_t n, bool fixed) {
    if (!parent) {
        block_root_init();
        parent = &g_root_block;
    }
    RootedCell made;
    block_make_at_ex(made.get(), n, fixed);
    return block_append_value(parent, made.get());
}

Cell* block_append_new(Cell* parent, int32_t n) { return append_new(parent, n, false); }
Cell* block_append_new_fixed(Cell* parent, int32_t n) { return append_new(parent, n, true); }

Cell* block_push(const Cell* block) { return stack_push(block); }

Cell* block_push_only(int32_t n) { return block_make_at(stack_push_cell(), n); }

// ---- low-level access -------------------------------------------------------------------

int32_t block_length_from_head(const Cell* block) { return series_length(block); }

bool block_step_next(Cell* block) { return series_advance(block, 1); }

Cell* block_head(Cell* block) {
    int32_t total = cell_count(block->data2);
    if (series_index(block) > total) series_set_index(block, total);
    return cell_ptr(block->data2, std::max(series_index(block), 0));
}

Cell* block_tail_cell(const Cell* block) { return arena_at<Cell>(series_buf(block)->tail); }

bool block_tail_q(const Cell* block) { return series_index(block) == cell_count(block->data2); }

Cell* block_cell_at(const Cell* block, uint32_t i) { return cell_ptr(block->data2, i); }

void block_set_tail(const Cell* block, uint32_t n) { set_cell_count(series_buf(block), n); }

void block_clear_from_head(Cell* block) {
    SeriesBuf* b = series_buf(block);
    int32_t idx = std::max(series_index(block), 0);
    if (idx < cell_count(b)) set_cell_count(b, idx);
}

void block_drop_last(Cell* block) {
    SeriesBuf* b = series_buf(block);
    int32_t n = cell_count(b);
    if (n == 0) return;
    set_cell_count(b, n - 1);
    if (series_index(block) > n - 1) series_set_index(block, n - 1);
}

static Cell* put_at_tail(SeriesBuf* b, const Cell* value) {
    Cell* c = arena_at<Cell>(b->tail);
    copy_cell(value, c);
    b->tail += sizeof(Cell);
    return c;
}

Cell* block_append_value(const Cell* block, const Cell* value) {
    SeriesBuf* b = series_buf(block);
    if (uint64_t(b->tail) + sizeof(Cell) <= b->data_end()) return put_at_tail(b, value);
    RootedCell v(value);  // the value may lie in the buffer that moves
    return put_at_tail(block_room(block->data2, 1, true), v.get());
}

Cell* block_append_all(Cell* target, const Cell* source) {
    RootedCell src(source);
    int32_t count = series_length(src.get());
    int32_t at = cell_count(target->data2);
    splice_cells(target, at, 0, src.get(), nullptr, count, 1);
    series_hash_appended(target, uint32_t(at), uint32_t(count));
    return target;
}

Cell* block_insert_value(Cell* block, const Cell* value, bool advance, bool at_start) {
    RootedCell v(value);
    int32_t idx = head_of(block);
    int32_t pos = at_start ? 0 : idx;
    splice_cells(block, pos, 0, nullptr, v.get(), 1, 1);
    series_hash_changed(block);
    if (advance) series_set_index(block, idx + 1);
    return block;
}

void block_insert_all(Cell* target, const Cell* source) {
    RootedCell src(source);
    int32_t count = series_length(src.get());
    int32_t idx = head_of(target);
    splice_cells(target, idx, 0, src.get(), nullptr, count, 1);
    series_hash_changed(target);
    series_set_index(target, idx + count);
}

void block_insert_result() { block_insert_value(stack_arguments() - 1, stack_arguments(), true, false); }

Cell* block_append_arg() {
    Cell* block = stack_arg(0);
    uint32_t at = uint32_t(cell_count(block->data2));
    block_append_value(block, stack_arg(1));
    series_hash_appended(block, at, 1);
    return block;
}

void block_append_result() {
    Cell* block = stack_arguments() - 1;
    uint32_t at = uint32_t(cell_count(block->data2));
    block_append_value(block, stack_arguments());
    series_hash_appended(block, at, 1);
}

// ---- clone and typed copies ---------------------------------------------------------------

// `out` is rooted by the caller.
static void clone_into(const Cell* source, Cell* out, bool deep, bool all_types) {
    RootedCell src(source);
    if (deep && cycles_find(src->data2)) {
        cycles_reset();
        error_raise(ErrCat::Internal, "no-cycle");
    }
    int32_t idx = head_of(src.get());
    int32_t len = cell_count(src->data2) - idx;
    copy_cells(src.get(), idx, len, out, src->type());
    if (!deep) return;
    CycleGuard guard(src->data2);
    for (int32_t i = 0; i < len && i < cell_count(out->data2); i++) {
        const Cell* c = cell_ptr(out->data2, i);
        uint32_t t = c->type();
        if (!(t == TYPE_BLOCK || (all_types && (t == TYPE_PAREN || type_path_family(t))))) continue;
        uint32_t new_line = c->header & CELL_NEW_LINE;
        RootedCell nested;
        clone_into(c, nested.get(), deep, all_types);
        nested->header |= new_line;
        *cell_ptr(out->data2, i) = *nested;
    }
}

Cell* block_clone(const Cell* block, bool deep, bool all_types) {
    Cell* out = stack_push_cell();
    clone_into(block, out, deep, all_types);
    return out;
}

static bool type_in(uint32_t type, const Cell* types) {
    return types->is(TYPE_DATATYPE) ? types->data1 == type : typeset_has(types, type);
}

void block_copy_typed_values(const Cell* block, uint32_t from, uint32_t end, uint32_t step, bool deep,
                             const Cell* types) {
    Cell kinds = *types;  // a datatype! or typeset!: no node
    if (step < 1) step = 1;
    for (uint32_t i = from; i < end && i < uint32_t(cell_count(block->data2)); i += step) {
        uint32_t t = cell_ptr(block->data2, i)->type();
        bool copyable = type_series(t) || t == TYPE_BITSET || t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_MAP;
        if (!copyable || !type_in(t, &kinds)) continue;
        RootedCell c(cell_ptr(block->data2, i)), copy;
        action_fn<ACT_COPY>(t)(c.get(), copy.get(), nullptr, deep, deep ? &kinds : nullptr);
        if (i < uint32_t(cell_count(block->data2))) *cell_ptr(block->data2, i) = *copy;
    }
}

// ---- select and remove helpers ----------------------------------------------------------------

const Cell* block_select_value(const Cell* block, const Cell* key) {
    Off node = block->data2;
    int32_t total = cell_count(node);
    for (int32_t i = head_of(block); i < total; i++) {
        if (compare_cells(key, cell_ptr(node, i), COMP_FIND) != 0) continue;
        return i + 1 < total ? cell_ptr(node, i + 1) : none_result();
    }
    return none_result();
}

bool block_remove_value(Cell* block, const Cell* key, bool from_start) {
    Off node = block->data2;
    int32_t total = cell_count(node);
    for (int32_t i = from_start ? 0 : head_of(block); i < total; i++) {
        if (compare_cells(key, cell_ptr(node, i), COMP_FIND) != 0) continue;
        splice_cells(block, i, 1, nullptr, nullptr, 0, 1);
        series_hash_changed(block);
        return i <= series_index(block);
    }
    return false;
}

const Cell* block_select_word(const Cell* block, uint32_t symbol, bool case_) {
    Off node = block->data2;
    int32_t total = cell_count(node);
    uint32_t want = case_ ? symbol : canonical(symbol);
    for (int32_t i = head_of(block); i < total; i++) {
        const Cell* c = cell_ptr(node, i);
        uint32_t t = c->type();
        if (t < TYPE_WORD || t > TYPE_GET_WORD) continue;
        if ((case_ ? c->data2 : canonical(c->data2)) != want) continue;
        return i + 1 < total ? cell_ptr(node, i + 1) : none_result();
    }
    return none_result();
}

// ---- make and to ----------------------------------------------------------------------------

static int32_t checked_count(const Cell* spec) {
    if (spec->is(TYPE_INTEGER)) return int_value(spec);
    double d = cell_get_float(spec);
    if (!(d > -2147483649.0 && d < 2147483648.0)) error_raise(ErrCat::Script, "out-of-range", spec);
    return static_cast<int32_t>(d);
}

// What the block given to make an object!, map!, typeset!, vector! or (for
// `to`) string! stands for: the body of an object or map, the datatypes of a typeset, the
// elements of a vector, the values loaded from a text.
static Cell* convert_with(uint32_t from, const Cell* spec, Cell* out) {
    if (from == TYPE_OBJECT || from == TYPE_MAP) {
        RootedCell v(spec);
        return copy_cell(action_fn<ACT_REFLECT>(from)(v.get(), int32_t(g_sym.body)), out);
    }
    if (from == TYPE_TYPESET) return typeset_to_block(spec, out);
    BlockConverter fn = block_converter(from);
    if (!fn) error_raise(ErrCat::Internal, "not-done");
    return fn(spec, out);
}

Cell* block_make(Cell* proto, Cell* spec, int32_t type) {
    uint32_t from = spec->type();
    if (from == TYPE_INTEGER) {
        // The common case. The prototype is the result's place and nothing
        // reads it again, so the new block goes straight there.
        block_make_at(proto, int_value(spec));
        cell_set_type(proto, uint32_t(type));
        return proto;
    }
    Cell out;  // holds nothing allocated until the last allocation is done
    if (type_block_family(from)) {
        copy_cells(spec, head_of(spec), series_length(spec), &out, uint32_t(type));
    } else if (from == TYPE_INTEGER || from == TYPE_FLOAT) {
        block_make_at(&out, checked_count(spec));
    } else if (from == TYPE_OBJECT || from == TYPE_MAP || from == TYPE_VECTOR) {
        convert_with(from, spec, &out);
    } else {
        Cell dt;
        datatype_set(&dt, type);
        error_raise(ErrCat::Script, "bad-make-arg", &dt, spec);
    }
    cell_set_type(&out, uint32_t(type));
    out.header &= ~CELL_NEW_LINE;
    return copy_cell(&out, proto);
}

Cell* block_to(Cell* proto, Cell* spec, int32_t type) {
    uint32_t from = spec->type();
    Cell out;  // holds nothing allocated until the last allocation is done
    if (type_block_family(from)) {
        copy_cells(spec, head_of(spec), series_length(spec), &out, uint32_t(type));
    } else if (from == TYPE_OBJECT || from == TYPE_MAP || from == TYPE_VECTOR || from == TYPE_TYPESET ||
               from == TYPE_STRING) {
        convert_with(from, spec, &out);
    } else {
        block_make_at(&out, 1);
        block_append_value(&out, spec);  // room for one: nothing allocates
    }
    cell_set_type(&out, uint32_t(type));
    out.header &= ~CELL_NEW_LINE;
    return copy_cell(&out, proto);
}

// ---- append, insert, change ------------------------------------------------------------------

// block_append beyond its common case (below): splices, /part, /dup,
// inserts, owned buffers, a buffer without room.
static __attribute__((noinline)) Cell* block_append_general(Cell* series, Cell* value, int32_t part, bool only,
                                                            int32_t dup, bool is_append) {
    RootedCell held(value);
    Cell& v = *held;
    bool splice = type_block_family(v.type()) && !only;
    int64_t count = splice ? series_length(&v) : 1;
    if (part >= 0 && part < count) count = part;
    int32_t total = cell_count(series->data2);
    if (series_index(series) > total) series_set_index(series, total);
    int32_t idx = head_of(series);
    if (count < 1 || dup < 1) {
        if (is_append) series_set_index(series, 0);
        return series;
    }
    int64_t written = count * dup;
    if ((uint64_t(total) + uint64_t(written)) * 16 > kMaxBlockBytes) error_raise(ErrCat::Internal, "no-memory");
    int32_t pos = is_append ? total : idx;
    auto shown = static_cast<int32_t>(written);
    bool owned = owner_before(series, is_append ? OwnerEvent::Append : OwnerEvent::Insert, &v, pos, shown);
    total = cell_count(series->data2);
    pos = is_append ? total : std::min(pos, total);
    if (splice) {
        count = std::min<int64_t>(count, series_length(&v));  // the owner may have changed the source
        splice_cells(series, pos, 0, &v, nullptr, count, dup);
    } else {
        splice_cells(series, pos, 0, nullptr, &v, 1, dup);
    }
    if (is_append) series_hash_appended(series, uint32_t(pos), uint32_t(written));
    else series_hash_changed(series);
    if (owned) owner_after(series, is_append ? OwnerEvent::Appended : OwnerEvent::Inserted, &v, pos, shown);
    if (is_append) series_set_index(series, 0);
    else series_set_index(series, std::min<int64_t>(int64_t(pos) + written, cell_count(series->data2)));
    return series;
}

Cell* block_append(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool is_append) {
    if (is_append && dup == 1 && part != 0 && (only || !type_block_family(value->type()))) {
        // One value onto a block with room and no owner: nothing allocates,
        // so the cell is copied straight to the tail.
        SeriesBuf* b = node_buffer(series->data2);
        if (!(b->flags & SERIES_OWNED) && uint64_t(b->tail) + sizeof(Cell) <= b->data_end()) {
            uint32_t pos = static_cast<uint32_t>(cell_count(b));
            std::memcpy(b->tail_ptr(), value, sizeof(Cell));
            b->tail += sizeof(Cell);
            if (series->is(TYPE_HASH)) series_hash_appended(series, pos, 1);
            series_set_index(series, 0);
            return series;
        }
    }
    return block_append_general(series, value, part, only, dup, is_append);
}

Cell* block_change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
    RootedCell held(value);
    Cell& v = *held;
    int32_t total = cell_count(series->data2);
    int32_t idx = head_of(series);
    series_set_index(series, idx);
    if (dup < 1) return series;
    int32_t remaining = total - idx;
    bool splice = type_block_family(v.type()) && !only;
    int64_t count = splice ? series_length(&v) : 1;
    int64_t written = count * dup;
    int64_t replaced = part >= 0 ? std::min<int64_t>(remaining, part) : std::min<int64_t>(remaining, written);
    if ((uint64_t(total) + uint64_t(written)) * 16 > kMaxBlockBytes) error_raise(ErrCat::Internal, "no-memory");
    bool owned = owner_before(series, OwnerEvent::Change, &v, idx, static_cast<int32_t>(replaced));
    total = cell_count(series->data2);
    idx = std::min(idx, total);
    replaced = std::min<int64_t>(replaced, total - idx);
    if (splice) {
        count = std::min<int64_t>(count, series_length(&v));
        splice_cells(series, idx, int32_t(replaced), &v, nullptr, count, dup);
    } else {
        splice_cells(series, idx, int32_t(replaced), nullptr, &v, 1, dup);
    }
    written = count * dup;
    series_hash_changed(series);
    if (owned) owner_after(series, OwnerEvent::Changed, &v, idx, static_cast<int32_t>(written));
    series_set_index(series, std::min<int64_t>(int64_t(idx) + written, cell_count(series->data2)));
    return series;
}

// ---- take, swap, trim, copy ------------------------------------------------------------------

// The deep copies of take/deep are made before the cells leave the block,
// so that a copy that fails (a value that contains itself) loses nothing.
static void take_deep_cells(Cell* taken) {
    if (type_block_family(taken->type())) deep_copy_cells(taken);
}

static void take_deep_value(Cell* taken) {
    if (!type_series(taken->type())) return;
    RootedCell copy;
    deep_copy_value(taken, copy.get());
    copy_cell(copy.get(), taken);
}

Cell* block_take(Cell* series, const Cell* part, bool deep, bool last) {
    if (!deep) return series_take(series, part, deep, last);
    return series_take_finished(series, part, last, part ? take_deep_cells : take_deep_value);
}

Cell* block_swap(Cell* series1, Cell* series2) {
    if (!type_block_family(series2->type())) error_raise(ErrCat::Script, "invalid-arg", series2);
    if (series_at_tail_q(series1) || series_at_tail_q(series2) || series_index(series1) < 0 ||
        series_index(series2) < 0)
        return series1;
    int32_t i1 = series_index(series1), i2 = series_index(series2);
    bool owned1 = owner_before(series1, OwnerEvent::Swap, series2, i1, 1);
    bool owned2 = owner_before(series2, OwnerEvent::Swap, series1, i2, 1);
    if (i1 < cell_count(series1->data2) && i2 < cell_count(series2->data2)) {
        Cell* a = cell_ptr(series1->data2, i1);
        Cell* b = cell_ptr(series2->data2, i2);
        std::swap(*a, *b);
    }
    series_hash_changed(series1);
    if (series2->data2 != series1->data2) series_hash_changed(series2);
    if (owned1) owner_after(series1, OwnerEvent::Swaped, series2, i1, 1);
    if (owned2) owner_after(series2, OwnerEvent::Swaped, series1, i2, 1);
    return series1;
}

Cell* block_trim(Cell* series, const TrimArgs&) {
    int32_t idx = head_of(series);
    int32_t len = cell_count(series->data2) - idx;
    if (len < 1) return series;
    bool owned = owner_before(series, OwnerEvent::Trim, nullptr, idx, len);
    SeriesBuf* b = series_buf(series);
    Cell* cells = cells_of(b);
    int32_t total = cell_count(b);
    // The owner's handler may have shortened the block below the head: the
    // tail must not move out over cells that are no longer the block's.
    idx = std::min(idx, total);
    int32_t out = idx;
    for (int32_t i = idx; i < total; i++)
        if (!cells[i].is(TYPE_NONE)) cells[out++] = cells[i];
    set_cell_count(b, out);
    series_hash_changed(series);
    if (owned) owner_after(series, OwnerEvent::Trimmed, nullptr, idx, out - idx);
    return series;
}

Cell* block_copy(Cell* series, Cell* dest, const Cell* part, bool deep, const Cell* types) {
    RootedCell held(series);
    Cell& src = *held;
    series_copy(&src, dest, part, deep, types);
    if ((deep || types) && src.is(TYPE_HASH)) cell_set_type(dest, TYPE_BLOCK);
    if (!deep && !types) return dest;
    uint32_t len = uint32_t(cell_count(dest->data2));
    if (!deep) {
        block_copy_typed_values(dest, 0, len, 1, false, types);
        return dest;
    }
    if (cycles_find(src.data2)) {
        cycles_reset();
        error_raise(ErrCat::Internal, "no-cycle");
    }
    CycleGuard guard(src.data2);
    if (types) {
        block_copy_typed_values(dest, 0, len, 1, true, types);
        return dest;
    }
    deep_copy_cells(dest);
    return dest;
}

// ---- find, select, put ---------------------------------------------------------------------------

namespace {

enum class MatchKind { Single, Type, Typeset, Sequence };

struct Search {
    int32_t at = -1;     // cell index of the match, -1 when none
    int32_t length = 1;  // cells the match covers
    int32_t step = 1;    // record size
};

// Searches `series` for `value` under the find refinements.
Search block_search(const Cell* series, const Cell* value, const FindArgs& a, bool allow_match) {
    Search found;
    Off node = series->data2;
    int32_t total = cell_count(node);
    int32_t idx = std::max(series_index(series), 0);
    // Nothing to search answers none before the refinements are looked at.
    if (total == 0 || (!a.reverse && idx >= total)) return found;
    if (a.skip) {
        if (!a.skip->is(TYPE_INTEGER)) raise_invalid_refine(g_refinements.skip, a.skip);
        if (int_value(a.skip) < 1) error_raise(ErrCat::Script, "out-of-range", a.skip);
        found.step = int_value(a.skip);
    }
    int32_t last_cell = total - 1;
    if (a.part) {
        if (a.part->is(TYPE_INTEGER)) {
            if (int_value(a.part) < 1) return found;
            last_cell = static_cast<int32_t>(std::min<int64_t>(int64_t(idx) + int_value(a.part) - 1, total - 1));
        } else {
            last_cell = series_part_position(series, a.part) - 1;
        }
    }

    MatchKind kind = MatchKind::Single;
    Cell v = *value;
    int32_t k = 1;
    if (!a.only && v.is(TYPE_DATATYPE)) kind = MatchKind::Type;
    else if (!a.only && v.is(TYPE_TYPESET)) kind = MatchKind::Typeset;
    else if (!a.only && type_block_family(v.type())) {
        kind = MatchKind::Sequence;
        k = series_length(&v);
    }
    found.length = k;
    int32_t op = a.same ? COMP_SAME : a.case_ ? COMP_STRICT_EQUAL : COMP_FIND;

    auto matches = [&](int32_t i) {
        const Cell* c = cell_ptr(node, i);
        switch (kind) {
        case MatchKind::Type: return c->type() == v.data1;
        case MatchKind::Typeset: return typeset_has(&v, c->type());
        case MatchKind::Single: return compare_cells(&v, c, op) == 0;
        case MatchKind::Sequence: {
            int32_t from = head_of(&v);
            for (int32_t j = 0; j < k; j++) {
                Cell want = *cell_ptr(v.data2, from + j);
                if (compare_cells(&want, cell_ptr(node, i + j), op) != 0) return false;
            }
            return true;
        }
        }
        return false;
    };

    bool only_first = a.match && allow_match;
    bool hashed = series->is(TYPE_HASH) && series->data3 && kind == MatchKind::Single && !only_first &&
                  (a.same || !v.is(TYPE_OBJECT));
    if (hashed) {
        uint32_t mode = a.same ? HASH_SAME : a.case_ ? HASH_STRICT : HASH_EQUAL;
        const Cell* hit = hashtable_get(series->data3, &v, idx, found.step, mode, a.last, a.reverse);
        int32_t at = hit ? int32_t(hit - cell_ptr(node, 0)) : -1;
        if (at >= 0 && at <= last_cell) found.at = at;
        return found;
    }
    if (a.last || a.reverse) {
        int64_t start = a.part ? int64_t(last_cell) - k + 1 : a.last ? int64_t(total) - k : int64_t(idx) - k;
        start = std::min<int64_t>(start, int64_t(total) - k);
        // Records start at the head and every step cells from it, before it
        // as after it (as a hash! lookup counts them).
        int64_t misaligned = (start - idx) % found.step;
        start -= misaligned < 0 ? misaligned + found.step : misaligned;
        for (int64_t i = start; i >= 0; i -= found.step) {
            if (matches(static_cast<int32_t>(i))) {
                found.at = static_cast<int32_t>(i);
                return found;
            }
            if (only_first) break;
        }
        return found;
    }
    for (int64_t i = idx; i + k - 1 <= last_cell; i += found.step) {
        if (matches(static_cast<int32_t>(i))) {
            found.at = static_cast<int32_t>(i);
            return found;
        }
        if (only_first) break;
    }
    return found;
}

}  // namespace

Cell* block_find(Cell* series, Cell* value, const FindArgs& args) {
    Search s = block_search(series, value, args, true);
    if (s.at < 0) {
        set_none(series);
        return series;
    }
    int32_t at = s.at;
    if (args.tail) at += (s.length == 1 && !args.last && !args.reverse) ? s.step : s.length;
    series_set_index(series, std::min(at, cell_count(series->data2)));
    return series;
}

Cell* block_select(Cell* series, Cell* value, const FindArgs& args) {
    FindArgs a = args;
    a.tail = a.match = false;
    Search s = block_search(series, value, a, false);
    int64_t after = int64_t(s.at) + s.length;
    if (s.at < 0 || after >= cell_count(series->data2)) {
        set_none(series);
        return series;
    }
    return copy_cell(cell_ptr(series->data2, after), series);
}

Cell* block_put(Cell* series, Cell* key, Cell* value, bool case_) {
    FindArgs a;
    a.case_ = case_;
    a.only = true;
    RootedCell k(key), v(value);
    Search s = block_search(series, k.get(), a, false);
    int32_t total = cell_count(series->data2);
    if (s.at < 0) {
        bool owned = owner_before(series, OwnerEvent::Put, v.get(), total, 2);
        uint32_t at = uint32_t(cell_count(series->data2));
        block_append_value(series, k.get());
        block_append_value(series, v.get());
        series_hash_appended(series, at, 2);
        if (owned) owner_after(series, OwnerEvent::PutEd, v.get(), int32_t(at), 2);
        return value;
    }
    int32_t pos = s.at + 1;
    if (pos < total && compare_cells(v.get(), cell_ptr(series->data2, pos), COMP_FIND) == 0) return value;
    bool owned = owner_before(series, OwnerEvent::Put, v.get(), pos, 1);
    if (pos < cell_count(series->data2)) {
        *cell_ptr(series->data2, pos) = *v;
        series_hash_changed(series);
    } else {
        block_append_value(series, v.get());
        series_hash_appended(series, uint32_t(pos), 1);
    }
    if (owned) owner_after(series, OwnerEvent::PutEd, v.get(), pos, 1);
    return value;
}

Cell* block_eval_path(Cell* parent, Cell* element, Cell* value, const EvalPathArgs& args) {
    Off node = parent->data2;
    if (element->is(TYPE_INTEGER)) {
        int32_t n = int_value(element);
        if (value) {
            RootedCell target(parent);
            return series_poke(target.get(), n, value, element);
        }
        int64_t p = int64_t(series_index(parent)) + (n < 0 ? n : int64_t(n) - 1);
        if (n == 0 || p < 0 || p >= cell_count(node)) return none_result();
        return cell_ptr(node, p);
    }
    if (!value) {
        if (element->is(TYPE_WORD) && !parent->is(TYPE_HASH))
            return const_cast<Cell*>(block_select_word(parent, element->data2, args.case_));
        FindArgs a;
        a.only = true;
        a.case_ = args.case_;
        Search s = block_search(parent, element, a, false);
        int64_t after = int64_t(s.at) + s.length;
        if (s.at < 0 || after >= cell_count(node)) return none_result();
        return cell_ptr(node, after);
    }
    FindArgs a;
    a.case_ = args.case_;
    Search s = block_search(parent, element, a, false);
    if (s.at < 0) {
        Cell path = args.path ? *args.path : kNoneCell;
        error_raise(ErrCat::Script, "bad-path-set", &path, element);
    }
    RootedCell target(parent);
    series_set_index(target.get(), s.at);
    return series_poke(target.get(), 2, value, nullptr);
}

// ---- compare -------------------------------------------------------------------------------------

static bool is_equality_op(int32_t op) {
    return op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND_WORD ||
           op == COMP_FIND_WORD_CASE || op == COMP_FIND;
}

int32_t block_compare(const Cell* value1, const Cell* value2, int32_t op) {
    uint32_t t1 = value1->type(), t2 = value2->type();
    if (t1 != t2) {
        bool paths = (t1 == TYPE_PATH || t1 == TYPE_LIT_PATH) && (t2 == TYPE_PATH || t2 == TYPE_LIT_PATH);
        if (!paths || (op != COMP_FIND_WORD && op != COMP_FIND_WORD_CASE)) return kCompareIncomparable;
    }
    Off n1 = value1->data2, n2 = value2->data2;
    if (n1 == n2 && series_index(value1) == series_index(value2)) return 0;
    if (op == COMP_SAME) return -1;
    // A series met again inside its own comparison ends the walk there. Both
    // sides are looked up: deciding from the first alone made equal? and the
    // order depend on which argument came first.
    if (int32_t order = cycles_compare_order(n1, n2); order != 2) return order;
    int32_t len1 = series_length(value1), len2 = series_length(value2);
    if (len1 != len2 && is_equality_op(op)) return 1;
    int32_t h1 = head_of(value1), h2 = head_of(value2);
    // Comparing two elements may allocate (words order by their spellings
    // as strings), and a collection then may move both nodes.
    GcRootNode keep(&n1, &n2);
    CycleDepthGuard depth;
    cycles_push(n1);
    cycles_push(n2);
    for (int32_t i = 0, n = std::min(len1, len2); i < n; i++) {
        Cell a = *cell_ptr(n1, h1 + i);
        Cell b = *cell_ptr(n2, h2 + i);
        uint32_t ta = a.type(), tb = b.type();
        bool comparable = ta == tb || (type_any_word(ta) && type_any_word(tb)) || (type_number(ta) && type_number(tb));
        if (!comparable) return ta < tb ? -1 : 1;
        int32_t r = compare_cells(&a, &b, op);
        if (r != 0) return r;
    }
    return len1 < len2 ? -1 : len1 > len2 ? 1 : 0;
}

// ---- sort ----------------------------------------------------------------------------------------

int32_t sort_comparator_order(const Cell* result) {
    switch (result->type()) {
    case TYPE_LOGIC: return result->data1 ? -1 : 1;
    case TYPE_NONE: return 1;
    case TYPE_INTEGER: {
        int32_t n = int_value(result);
        return n < 0 ? -1 : n > 0 ? 1 : 0;
    }
    case TYPE_FLOAT: {
        double d = cell_get_float(result);
        return d < 0.0 ? -1 : d > 0.0 ? 1 : 0;
    }
    default: return -1;
    }
}

namespace {

// What the comparison callback needs; passed as the sorter's first flag word.
struct SortSpec {
    int32_t op = COMP_SORT;
    uint32_t size = 1;     // cells per record
    uint32_t offset = 0;   // the cell of a record that is compared
    bool all = false;      // compare every cell of the record in turn
    bool reverse = false;
    const Cell* fn = nullptr;  // comparator function (a rooted cell)
    Cell* scratch = nullptr;   // the rooted scratch blocks of a comparator sort
};

// The sort order of two cells: -2 from a type counts as the difference of
// the two type ids.
inline int32_t sort_order(const Cell* a, const Cell* b, int32_t op) {
    if (a->is(TYPE_INTEGER) && b->is(TYPE_INTEGER)) {
        int32_t x = int_value(a), y = int_value(b);
        return (x > y) - (x < y);
    }
    int32_t r = action_entry(a->type(), ACT_COMPARE) ? actions_compare_values(a, b, op) : kCompareIncomparable;
    return r == kCompareIncomparable ? int32_t(a->type()) - int32_t(b->type()) : r;
}

int32_t compare_records(const void* x, const void* y, uintptr_t flags, uintptr_t) {
    const auto* spec = reinterpret_cast<const SortSpec*>(flags);
    const Cell* a = static_cast<const Cell*>(x);
    const Cell* b = static_cast<const Cell*>(y);
    if (spec->reverse) std::swap(a, b);
    if (!spec->all) return sort_order(a + spec->offset, b + spec->offset, spec->op);
    for (uint32_t i = 0; i < spec->size; i++)
        if (int32_t r = sort_order(a + i, b + i, spec->op)) return r;
    return 0;
}

// Integer cells only, one cell a record: the common case, without dispatch.
int32_t compare_integers(const void* x, const void* y, uintptr_t, uintptr_t) {
    int32_t a, b;
    std::memcpy(&a, static_cast<const uint8_t*>(x) + 8, 4);
    std::memcpy(&b, static_cast<const uint8_t*>(y) + 8, 4);
    return (a > b) - (a < b);
}
int32_t compare_integers_reverse(const void* x, const void* y, uintptr_t f1, uintptr_t f2) {
    return compare_integers(y, x, f1, f2);
}

// ---- sorting with a comparator function ----
//
// A comparator function runs script code, which may collect: buffers move
// and nodes are evacuated, and only cells the collector reaches are
// repointed. So the records are copied into a scratch block held in a root
// scope (its cells are marked), the sorter orders record numbers (plain
// integers, outside any buffer), each comparison reads its two records
// through that block, and the records are copied back in that order at the
// end. An error in the comparator leaves the block unchanged. Every sort
// has scratch blocks of its own: a comparator may sort with a comparator
// in turn, and shared blocks would hand the outer sort the inner one's
// records.

// The scratch of one sort: the copied records, then the two record blocks
// handed to the comparator with /all.
struct SortScratch {
    Cell blocks[3] = {{TYPE_UNSET, 0, 0, 0}, {TYPE_UNSET, 0, 0, 0}, {TYPE_UNSET, 0, 0, 0}};
    GcRootCell root{blocks, 3};
};

const Cell* scratch_record(const Cell* scratch, uint32_t record, uint32_t size) {
    return cell_ptr(scratch->data2, uint64_t(record) * size);
}

// The record block `block` of the scratch, filled with record `record`.
void fill_record_block(Cell* block, const Cell* scratch, uint32_t record, uint32_t size, Cell* out) {
    block_set_tail(block, 0);
    for (uint32_t j = 0; j < size; j++) block_append_value(block, scratch_record(scratch, record, size) + j);
    copy_cell(block, out);
}

int32_t compare_with_function(const void* x, const void* y, uintptr_t flags, uintptr_t) {
    const auto* spec = reinterpret_cast<const SortSpec*>(flags);
    uint32_t rx, ry;
    std::memcpy(&rx, x, 4);
    std::memcpy(&ry, y, 4);
    if (spec->reverse) std::swap(rx, ry);
    RootedCell first, second, result;
    Cell* scratch = spec->scratch;
    if (spec->all) {
        fill_record_block(scratch + 1, scratch, rx, spec->size, first.get());
        fill_record_block(scratch + 2, scratch, ry, spec->size, second.get());
    } else {
        *first = scratch_record(scratch, rx, spec->size)[spec->offset];
        *second = scratch_record(scratch, ry, spec->size)[spec->offset];
    }
    g_sort_comparator_call(spec->fn, first.get(), second.get(), result.get());
    return sort_comparator_order(result.get());
}

void sort_through_function(Cell* series, int32_t start, int32_t n, SortSpec& spec, bool stable) {
    if (!g_sort_comparator_call) error_raise(ErrCat::Internal, "not-done");
    SortScratch scratch;
    block_make_at(&scratch.blocks[0], n);
    if (spec.all) {
        block_make_at(&scratch.blocks[1], int32_t(spec.size));
        block_make_at(&scratch.blocks[2], int32_t(spec.size));
    }
    spec.scratch = scratch.blocks;
    SeriesBuf* sb = node_buffer(scratch.blocks[0].data2);  // read after the allocations
    std::memcpy(sb->head_ptr(), cell_ptr(series->data2, start), size_t(n) * sizeof(Cell));
    sb->tail = sb->head + uint32_t(n) * 16;

    uint32_t records = uint32_t(n) / spec.size;
    std::vector<uint32_t> order(records);
    for (uint32_t i = 0; i < records; i++) order[i] = i;
    auto flags = reinterpret_cast<uintptr_t>(&spec);
    if (stable) sort_stable(order.data(), records, 4, flags, 0, compare_with_function);
    else sort_quick(order.data(), records, 4, flags, 0, compare_with_function);

    // The comparator may have shortened the block: write back what still fits.
    int32_t room = std::max(0, std::min(n, cell_count(series->data2) - start)) / int32_t(spec.size);
    Cell* dst = cell_ptr(series->data2, start);
    for (int32_t i = 0; i < room; i++)
        std::memcpy(dst + size_t(i) * spec.size, scratch_record(scratch.blocks, order[i], spec.size),
                    spec.size * sizeof(Cell));
}

bool all_integers(const Cell* cells, int32_t n) {
    for (int32_t i = 0; i < n; i++)
        if (!cells[i].is(TYPE_INTEGER)) return false;
    return true;
}

}  // namespace

Cell* block_sort(Cell* series, const SortArgs& args) {
    int32_t total = cell_count(series->data2);
    int32_t start = head_of(series);
    int32_t n = total - start;
    // Nothing follows the head; a negative /part still reaches the cells
    // before it, at the tail as anywhere else.
    if (n == 0 && (!args.part || total == 0)) return series;
    if (args.part) {
        int64_t count;
        if (args.part->is(TYPE_INTEGER)) count = int_value(args.part);
        else if (args.part->type() == series->type() && args.part->data2 == series->data2)
            count = int64_t(head_of(args.part)) - start;
        else raise_invalid_refine(g_refinements.part, args.part);
        if (count < 0) {
            int32_t from = static_cast<int32_t>(std::max<int64_t>(0, start + count));
            n = start - from;
            start = from;
        } else if (n == 0) {
            return series;
        } else if (count < n) {
            n = static_cast<int32_t>(count);
        }
    }
    SortSpec spec;
    spec.op = args.case_ ? COMP_CASE_SORT : COMP_SORT;
    spec.reverse = args.reverse;
    spec.all = args.all;
    if (args.skip) {
        int32_t size = args.skip->is(TYPE_INTEGER) ? int_value(args.skip) : 0;
        if (size < 1 || n % size != 0 || n < size) raise_invalid_refine(g_refinements.skip, args.skip);
        spec.size = uint32_t(size);
    } else if (args.all) {
        error_raise(ErrCat::Script, "bad-refines");
    }
    if (args.compare) {
        uint32_t t = args.compare->type();
        if (t == TYPE_INTEGER) {
            if (!args.skip || args.all) error_raise(ErrCat::Script, "bad-refines");
            int32_t i = int_value(args.compare);
            if (i < 1 || uint32_t(i) > spec.size) error_raise(ErrCat::Script, "out-of-range", args.compare);
            spec.offset = uint32_t(i - 1);
        } else if (t == TYPE_FUNCTION || t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP || t == TYPE_ROUTINE) {
            spec.fn = args.compare;
        } else {
            raise_invalid_refine(g_refinements.compare, args.compare);
        }
    }
    if (n < 2) {
        if (start != series_index(series)) series_set_index(series, start);
        return series;
    }
    bool owned = owner_before(series, OwnerEvent::Sort, nullptr, start, n);
    // The change handler may have shortened the block, even to before `start`.
    n = std::max(0, std::min(n, cell_count(series->data2) - start));
    n -= n % int32_t(spec.size);
    if (spec.fn) {
        sort_through_function(series, start, n, spec, args.stable);
    } else {
        Cell* cells = cell_ptr(series->data2, start);
        uint32_t records = uint32_t(n) / spec.size;
        auto* base = reinterpret_cast<uint8_t*>(cells);
        bool integers = spec.size == 1 && all_integers(cells, n);
        SortCompare compare = !integers ? compare_records : spec.reverse ? compare_integers_reverse : compare_integers;
        auto flags = reinterpret_cast<uintptr_t>(&spec);
        // The sort works on the buffer in place while comparisons may
        // allocate (comparing words compares their names through a scratch
        // text): no collection may move the buffer under it. Nor may any
        // script run: the trace callback of an error a comparison raises
        // (a nesting too deep to compare) could change the block, so it
        // runs once the sort has put every record back.
        KelThrow failed;
        bool raised = false;
        {
            GcEnabledScope no_collection(false);
            struct HoldErrorTrace {
                void (*saved)(const KelThrow&) = g_error_trace_hook;
                HoldErrorTrace() { g_error_trace_hook = nullptr; }
                ~HoldErrorTrace() { g_error_trace_hook = saved; }
            } hold;
            try {
                if (args.stable) sort_stable(base, records, spec.size * 16, flags, 0, compare);
                else sort_quick(base, records, spec.size * 16, flags, 0, compare);
            } catch (const KelThrow& t) {
                failed = t;
                raised = true;
            }
        }
        if (raised) {
            // The callback may collect: what the exception carries stays rooted.
            GcRootCell keep_args(failed.args, 3), keep_where(&failed.where), keep_value(&failed.value);
            if (g_error_trace_hook) g_error_trace_hook(failed);
            throw failed;
        }
    }
    series_hash_changed(series);
    if (owned) owner_after(series, OwnerEvent::Sorted, nullptr, start, n);
    series_set_index(series, start);
    return series;
}

// ---- form and mold --------------------------------------------------------------------------------

// Appends ASCII text to a mold buffer: copied in place while the buffer is
// of bytes and has room, else through the string module.
static void append_ascii(Cell* buffer, const char* text, uint32_t n) {
    SeriesBuf* b = node_buffer(buffer->data2);
    if (b->unit() == 1 && uint64_t(b->tail) + n <= b->data_end()) {
        std::memcpy(b->tail_ptr(), text, n);
        b->tail += n;
        return;
    }
    string_append_ascii(buffer, text, n);
}

static bool ends_with_break(const Cell* buffer) {
    SeriesBuf* b = series_buf(buffer);
    uint32_t unit = b->unit();
    uint32_t units = b->used_bytes() / unit;
    if (units == 0) return false;
    uint32_t last = string_unit_at(b->head_ptr(), unit, units - 1);
    return last == '\t' || last == '\n' || last == '\r';
}

int32_t block_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit) {
    if (cycles_mold_marker(value, buffer, limit, false)) return limit;
    CycleGuard guard(value->data2);
    for (int32_t i = head_of(value); i < cell_count(value->data2); i++) {
        if (part && limit <= 0) break;
        RootedCell c(cell_ptr(value->data2, i));
        limit = actions_form_call(c.get(), buffer, part, limit);
        if (i + 1 < cell_count(value->data2) && !ends_with_break(buffer)) {
            string_append_char(buffer, ' ');
            limit--;
        }
    }
    return limit;
}

int32_t block_mold_cells(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                         int32_t limit, int32_t indent) {
    int32_t first = head_of(value);
    int32_t level = indent;
    bool opened = false;
    for (int32_t i = first; i < cell_count(value->data2); i++) {
        if (part && limit <= 0) break;
        const Cell* at = cell_ptr(value->data2, i);
        if (at->is(TYPE_INTEGER) && (flat || !(at->header & CELL_NEW_LINE))) {
            // An integer on the same line: its text (as integer! molds it)
            // after a space, written straight into the buffer.
            SeriesBuf* b = node_buffer(buffer->data2);
            bool in_place = b->unit() == 1 && uint64_t(b->tail) + 12 <= b->data_end();
            char text[12];
            char* out = in_place ? reinterpret_cast<char*>(b->tail_ptr()) : text;
            size_t n = 0;
            if (i != first) out[n++] = ' ';
            n += integer_form_to(out + n, integer_get(at));
            if (in_place) b->tail += static_cast<uint32_t>(n);
            else append_ascii(buffer, out, static_cast<uint32_t>(n));
            limit -= static_cast<int32_t>(n);
            continue;
        }
        RootedCell c(at);
        if (!flat && (c->header & CELL_NEW_LINE)) {
            if (i == first && !only) {
                level++;
                opened = true;
            }
            if (i != first || !only) {
                string_append_char(buffer, '\n');
                limit--;
            }
            limit = mold_indent(buffer, level, limit);
        } else if (i != first) {
            string_append_char(buffer, ' ');
            limit--;
        }
        limit = actions_mold_call(c.get(), buffer, false, all, flat, part, limit, level);
    }
    if (opened) {
        string_append_char(buffer, '\n');
        limit = mold_indent(buffer, indent, limit - 1);
    }
    return limit;
}

int32_t block_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                   int32_t limit, int32_t indent) {
    if (cycles_depth() && cycles_mold_marker(value, buffer, limit, true)) return limit;
    CycleGuard guard(value->data2);
    if (!only) {
        append_ascii(buffer, "[", 1);
        limit--;
    }
    limit = block_mold_cells(value, buffer, only, all, flat, part, limit, indent);
    if (!only) {
        append_ascii(buffer, "]", 1);
        limit--;
    }
    return limit;
}

bool block_mold_integers(Cell* slot, bool only, bool flat) {
    constexpr int32_t kMaxCells = 64;
    if (cycles_depth()) return false;  // the general path looks for the block among those being molded
    const SeriesBuf* b = node_buffer(slot->data2);
    const Cell* cells = arena_at<Cell>(b->head);
    int32_t total = cell_count(b);
    int32_t first = series_index(slot);
    first = first < 0 ? 0 : first > total ? total : first;
    if (total - first > kMaxCells) return false;
    uint32_t reject = CELL_TYPE_MASK | (flat ? 0 : CELL_NEW_LINE);
    char text[2 + 12 * kMaxCells];
    std::memset(text, 0, 16);  // the fixed copy below reads 16 bytes
    size_t n = 0;
    if (!only) text[n++] = '[';
    for (int32_t i = first; i < total; i++) {
        if ((cells[i].header & reject) != TYPE_INTEGER) return false;
        if (i != first) text[n++] = ' ';
        n += integer_form_to(text + n, integer_get(cells + i));
    }
    if (!only) text[n++] = ']';
    // The block is read: its slot may now hold the string being made (a
    // string! of bytes with room for 16 at least, as string_make makes it).
    cell_set_unset(slot);
    Off node = alloc_series(n < 16 ? 16 : static_cast<uint32_t>(n), 1, 0);
    cell_set(slot, TYPE_STRING, 0, node, 0);
    SeriesBuf* s = node_buffer(node);
    if (n <= 16) std::memcpy(s->tail_ptr(), text, 16);  // one fixed copy; the bytes past n are room
    else std::memcpy(s->tail_ptr(), text, n);
    s->tail += static_cast<uint32_t>(n);
    return true;
}

// ---- set operations ---------------------------------------------------------------------------------

namespace {

// Whether `cell` equals the first cell of a record of `block` (records of
// `size` cells from its head), by scanning.
bool record_member(const Cell* block, const Cell* cell, int32_t size, int32_t op) {
    Off node = block->data2;
    int32_t total = cell_count(node);
    // 64-bit steps: a record size near 2^31 must not wrap past the tail.
    for (int64_t i = head_of(block); i < total; i += size)
        if (compare_cells(cell, cell_ptr(node, i), op) == 0) return true;
    return false;
}

// A block whose records' first cells are looked up: through a hash table
// for keys that hash by value, by scanning for block-family keys (those
// compare by content). The table is rooted for the life of the object.
class Members {
public:
    // The table is made over `block` (rooted) before the object roots both.
    Members(const Cell* block, Off table, int32_t size, bool case_)
        : block_(*block), table_(table), size_(size), case_(case_), keep_block_(&block_), keep_table_(&table_) {}
    bool contains(const Cell* key) const {
        if (!table_ || type_block_family(key->type()))
            return record_member(&block_, key, size_, case_ ? COMP_STRICT_EQUAL : COMP_FIND);
        return hashtable_get(table_, key, head_of(&block_), size_, case_ ? HASH_STRICT : HASH_EQUAL) != nullptr;
    }
    // Appends a key (the block grows as records join the result).
    void add(const Cell* key) {
        int32_t at = cell_count(block_.data2);
        block_append_value(&block_, key);
        if (table_) hashtable_put(table_, cell_ptr(block_.data2, at));
    }
    Cell& block() { return block_; }

private:
    Cell block_;
    Off table_;
    int32_t size_;
    bool case_;
    GcRootCell keep_block_;
    TableRoot keep_table_;
};

// A table over the rooted `block` with room for `keys` keys (at least its
// length): a block-kind table does not grow as keys are put.
Off table_over(const Cell* block, int64_t keys = 0) {
    if (block->is(TYPE_HASH) && block->data3) return block->data3;
    int64_t size = std::max<int64_t>({keys, series_length(block), 1});
    return hashtable_make(uint32_t(std::min<int64_t>(size, INT32_MAX / 16)), block, HASH_KIND_BLOCK, 0);
}

// Appends to `out` the records of `from` that pass the membership test
// against `other` (kept when present with `keep_present`, when absent
// otherwise; no test without `other`) and whose first cell is not yet among
// the `taken` keys. The keys are a block of their own: the last record of a
// block may be short, so the records of the result need not start at
// multiples of the record size. `from` and `out` are rooted.
void collect_records(Members& taken, Cell* out, const Cell* from, const Members* other, bool keep_present,
                     int32_t size) {
    for (int64_t i = head_of(from); i < cell_count(from->data2); i += size) {
        RootedCell first(cell_ptr(from->data2, i));
        if (other && other->contains(first.get()) != keep_present) continue;
        if (taken.contains(first.get())) continue;
        taken.add(first.get());
        for (int64_t j = 0; j < size && i + j < cell_count(from->data2); j++)
            block_append_value(out, cell_ptr(from->data2, i + j));
    }
}

}  // namespace

Cell* block_set_op(const Cell* block1, const Cell* block2, bool case_, const Cell* skip, int32_t op) {
    int32_t size = 1;
    if (skip) {
        size = skip->is(TYPE_INTEGER) ? int_value(skip) : 0;
        if (size < 1) raise_invalid_refine(g_refinements.skip, skip);
    }
    RootedCell held1(block1), held2(block2 ? block2 : &kNoneCell);
    Cell &b1 = *held1, &b2 = *held2;
    int64_t room = series_length(&b1);
    if (op == OP_UNION && block2) room += series_length(&b2);
    room = std::min<int64_t>(std::max<int64_t>(room, 1), INT32_MAX / 16);
    Cell* out = block_push_only(static_cast<int32_t>(room));
    Cell* keys = block_push_only(static_cast<int32_t>(room / size + 1));
    Members taken(keys, table_over(keys, room / size + 1), 1, case_);
    switch (op) {
    case OP_UNIQUE: collect_records(taken, out, &b1, nullptr, false, size); break;
    case OP_UNION:
        collect_records(taken, out, &b1, nullptr, false, size);
        if (block2) collect_records(taken, out, &b2, nullptr, false, size);
        break;
    case OP_INTERSECT:
    case OP_EXCLUDE: {
        Members other(&b2, table_over(&b2), size, case_);
        collect_records(taken, out, &b1, &other, op == OP_INTERSECT, size);
        break;
    }
    case OP_DIFFERENCE: {
        Members second(&b2, table_over(&b2), size, case_);
        collect_records(taken, out, &b1, &second, false, size);
        Members first(&b1, table_over(&b1), size, case_);
        collect_records(taken, out, &b2, &first, false, size);
        break;
    }
    default: fatal_runtime_error(101);
    }
    stack_pop(1);  // the keys
    return out;
}

// ---- registration ------------------------------------------------------------------------------------

void block_init() {
    block_root_init();
    TypeRow(TYPE_BLOCK)
        .set<ACT_MAKE>(block_make)
        .set<ACT_TO>(block_to)
        .set<ACT_FORM>(block_form)
        .set<ACT_MOLD>(block_mold)
        .set<ACT_EVAL_PATH>(block_eval_path)
        .set<ACT_COMPARE>(block_compare)
        .set<ACT_APPEND>(block_append)
        .set<ACT_CHANGE>(block_change)
        .set<ACT_COPY>(block_copy)
        .set<ACT_FIND>(block_find)
        .set<ACT_INSERT>(block_append)
        .set<ACT_PUT>(block_put)
        .set<ACT_SELECT>(block_select)
        .set<ACT_SORT>(block_sort)
        .set<ACT_SWAP>(block_swap)
        .set<ACT_TAKE>(block_take)
        .set<ACT_TRIM>(block_trim)
        .inherit({ACT_RANDOM, ACT_REFLECT, ACT_AT, ACT_BACK, ACT_CLEAR, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q,
                  ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE, ACT_REVERSE, ACT_SKIP, ACT_TAIL,
                  ACT_TAIL_Q, ACT_MODIFY})
        .commit();
}

}  // namespace kel
