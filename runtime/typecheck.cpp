// Argument descriptors and the argument checks.
#include "runtime/typecheck.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

#include "runtime/datatype.h"
#include "runtime/error.h"
#include "runtime/eval_deps.h"
#include "runtime/gc.h"
#include "runtime/stack.h"

namespace kel {

namespace {

struct NamedTypeset {
    const char* name;
    std::initializer_list<int> members;  // type ids, or -n for the n-th entry of this table
};

// The standard typesets, for interface blocks read before the library defines them.
const NamedTypeset kTypesets[] = {
    {"number!", {TYPE_INTEGER, TYPE_FLOAT, TYPE_PERCENT}},
    {"planar!", {TYPE_PAIR, TYPE_POINT2D}},
    {"any-point!", {TYPE_POINT2D, TYPE_POINT3D}},
    {"scalar!", {-1, -3, TYPE_MONEY, TYPE_CHAR, TYPE_PAIR, TYPE_TUPLE, TYPE_TIME, TYPE_DATE}},
    {"any-word!", {TYPE_WORD, TYPE_SET_WORD, TYPE_LIT_WORD, TYPE_GET_WORD}},
    {"all-word!", {-5, TYPE_REFINEMENT, TYPE_ISSUE}},
    {"any-list!", {TYPE_BLOCK, TYPE_PAREN, TYPE_HASH}},
    {"any-path!", {TYPE_PATH, TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH}},
    {"any-block!", {-8, -7}},
    {"any-function!", {TYPE_NATIVE, TYPE_ACTION, TYPE_OP, TYPE_FUNCTION, TYPE_ROUTINE}},
    {"any-object!", {TYPE_OBJECT, TYPE_ERROR, TYPE_PORT}},
    {"any-string!", {TYPE_STRING, TYPE_FILE, TYPE_URL, TYPE_TAG, TYPE_EMAIL, TYPE_REF}},
    {"series!", {-9, -12, TYPE_BINARY, TYPE_IMAGE, TYPE_VECTOR}},
    {"immediate!", {-4, -6, TYPE_NONE, TYPE_LOGIC, TYPE_DATATYPE, TYPE_TYPESET, TYPE_HANDLE, TYPE_DATE}},
    {"internal!", {TYPE_UNSET}},
    {"external!", {TYPE_EVENT}},
};

void add_named(Cell* ts, int index) {
    for (int m : kTypesets[index].members) {
        if (m < 0) add_named(ts, -m - 1);
        else typeset_set_bit(ts, static_cast<uint32_t>(m));
    }
}

// Adds the types a name stands for when no value says it; false when the
// name is unknown.
bool add_by_name(Cell* ts, const char* name) {
    if (std::strcmp(name, "any-type!") == 0 || std::strcmp(name, "default!") == 0) {
        for (uint32_t t = 1; t <= kTypeCount; t++)
            if (type_has_values(t)) typeset_set_bit(ts, t);
        if (name[0] == 'd') reinterpret_cast<uint8_t*>(&ts->data1)[0] &= static_cast<uint8_t>(~(0x80u >> TYPE_UNSET));
        return true;
    }
    for (int i = 0; i < static_cast<int>(sizeof kTypesets / sizeof kTypesets[0]); i++) {
        if (std::strcmp(name, kTypesets[i].name) == 0) {
            add_named(ts, i);
            return true;
        }
    }
    for (int32_t t = 1; t <= kTypeCount; t++) {
        if (std::strcmp(name, datatype_name(t)) == 0) {
            typeset_set_bit(ts, static_cast<uint32_t>(t));
            return true;
        }
    }
    return false;
}

inline Cell* cells_of(Off node) { return arena_at<Cell>(node_buffer(node)->head); }
inline uint32_t cell_count(Off node) {
    SeriesBuf* b = node_buffer(node);
    return (b->tail - b->head) >> 4;
}

bool is_local_refinement(const Cell* c) {
    static uint32_t local = 0;
    if (!local) local = symbol_resolve(symbol_make("local"));
    return c->is(TYPE_REFINEMENT) && symbol_resolve(c->data2) == local;
}

bool is_return_word(const Cell* c) {
    static uint32_t ret = 0;
    if (!ret) ret = symbol_resolve(symbol_make("return"));
    return c->is(TYPE_SET_WORD) && symbol_resolve(c->data2) == ret;
}

// The typeset of the interface block word at cell `i`: from its type block when one
// follows and is not empty, else every type but unset!.
Cell argument_typeset(Off spec, uint32_t i, uint32_t mode) {
    Cell ts{TYPE_TYPESET | (mode << ARG_MODE_SHIFT), 0, 0, 0};
    uint32_t n = cell_count(spec);
    Cell* next = i + 1 < n ? cells_of(spec) + i + 1 : nullptr;
    if (next && next->is(TYPE_BLOCK) && next->data1 < cell_count(next->data2)) {
        Off types = next->data2;
        GcRootNode keep(&types);  // a type named by its spelling may make a symbol
        for (uint32_t k = next->data1; k < cell_count(types); k++) {
            Cell element = cells_of(types)[k];
            typeset_add_spec_element(&ts, &element);
        }
    } else {
        typeset_set_default(&ts);
    }
    return ts;
}

// Walks an interface block the way the descriptor is built, calling `entry` for each
// descriptor entry with the interface block cell index behind it.
template <class F> void walk_spec(Off spec, F entry) {
    GcRootNode keep(&spec);  // `entry` may allocate
    bool locals = false;
    for (uint32_t i = 0; i < cell_count(spec); i++) {
        Cell c = cells_of(spec)[i];
        switch (c.type()) {
        case TYPE_WORD:
        case TYPE_GET_WORD:
        case TYPE_LIT_WORD:
            if (!locals) entry(i, c);
            break;
        case TYPE_REFINEMENT:
            if (is_local_refinement(&c)) locals = true;
            else if (!locals) entry(i, c);
            break;
        case TYPE_SET_WORD:
            if (!is_return_word(&c)) error_raise(ErrCat::Script, "bad-func-def", &c);
            entry(i, c);
            break;
        default:
            break;
        }
    }
}

}  // namespace

void typeset_set_default(Cell* ts) {
    ts->data1 = ts->data2 = ts->data3 = 0xFFFFFFFFu;
    reinterpret_cast<uint8_t*>(&ts->data1)[0] &= static_cast<uint8_t>(~(0x80u >> TYPE_UNSET));
}

void typeset_add_spec_element(Cell* ts, const Cell* element) {
    const Cell* v = element;
    if (element->is(TYPE_WORD)) {
        const Cell* bound = word_peek(element);
        if (bound && (bound->is(TYPE_DATATYPE) || bound->is(TYPE_TYPESET) || bound->is(TYPE_WORD))) {
            v = bound;
        } else {
            if (add_by_name(ts, symbol_get_utf8(element->data2))) return;
            error_raise(ErrCat::Script, "invalid-type-spec", element);
        }
        if (v->is(TYPE_WORD)) {
            typeset_set_bit(ts, TYPE_OBJECT);
            return;
        }
    }
    switch (v->type()) {
    case TYPE_DATATYPE: typeset_set_bit(ts, v->data1); break;
    case TYPE_TYPESET:
        ts->data1 |= v->data1;
        ts->data2 |= v->data2;
        ts->data3 |= v->data3;
        break;
    case TYPE_BLOCK: break;
    default: error_raise(ErrCat::Script, "invalid-type-spec", element);
    }
}

Off spec_cache_build(Off spec, bool builtin) {
    GcRootNode keep_spec(&spec);
    Off out = alloc_cells(cell_count(spec) + 2);
    GcRootNode keep_out(&out);
    uint32_t refinements = 0;
    walk_spec(spec, [&](uint32_t i, const Cell& c) {
        Cell e;
        switch (c.type()) {
        case TYPE_WORD: e = argument_typeset(spec, i, ARG_EVAL); break;
        case TYPE_GET_WORD: e = argument_typeset(spec, i, ARG_AS_IS); break;
        case TYPE_LIT_WORD: e = argument_typeset(spec, i, ARG_QUOTED); break;
        case TYPE_SET_WORD: e = argument_typeset(spec, i, ARG_RETURN); break;
        default:
            e = c;
            e.data3 = ++refinements;
            break;
        }
        copy_cell(&e, block_buffer_append_slot(node_buffer(out)));
    });
    // Local cells: /local itself and each word after it.
    int32_t locals = -1;
    for (uint32_t i = 0; i < cell_count(spec); i++) {
        const Cell* c = cells_of(spec) + i;
        if (locals < 0) {
            if (is_local_refinement(c)) locals = 1;
        } else if (c->is(TYPE_WORD)) {
            locals++;
        } else if (c->is(TYPE_SET_WORD)) {
            break;
        }
    }
    if (locals > 0) cell_set(block_buffer_append_slot(node_buffer(out)), TYPE_INTEGER, 0, static_cast<uint32_t>(locals));
    if (builtin && refinements)
        cell_set(block_buffer_append_slot(node_buffer(out)), TYPE_INTEGER, 0, refinements);
    return out;
}

Cell spec_cache_entry_word(Off spec, uint32_t entry) {
    Cell found{TYPE_NONE, 0, 0, 0};
    uint32_t n = 0;
    walk_spec(spec, [&](uint32_t, const Cell& c) {
        if (n++ == entry) found = c;
    });
    if (!found.is(TYPE_NONE)) cell_set_type(&found, TYPE_WORD);
    return found;
}

const Cell* error_typecheck(const Cell* typeset, const Cell* callable, const Cell* value, uint32_t entry) {
    if (typeset_has(typeset, value->type())) return value;
    Cell where = stack_get_call();
    Cell dt;
    datatype_set(&dt, value->type());
    Cell word = callable ? spec_cache_entry_word(callable->data2, entry) : Cell{TYPE_NONE, 0, 0, 0};
    error_raise(ErrCat::Script, "expect-arg", &where, &dt, &word);
}

const Cell* value_check_set(const Cell* callable, uint32_t entry, const Cell* value) {
    if (!value->is(TYPE_UNSET)) return value;
    Cell where = stack_get_call();
    Cell dt;
    datatype_set(&dt, TYPE_UNSET);
    Cell word = callable ? spec_cache_entry_word(callable->data2, entry) : Cell{TYPE_NONE, 0, 0, 0};
    error_raise(ErrCat::Script, "expect-arg", &where, &dt, &word);
}

const Cell* word_value_checked(const Cell* word) {
    const Cell* v = word_get_any(word);
    if (v->is(TYPE_UNSET)) error_raise(ErrCat::Script, "no-value", word);
    return v;
}

void word_set_from_top(Cell* word) {
    Cell value = *stack_top();
    if (value.is(TYPE_UNSET)) error_raise(ErrCat::Script, "need-value", word);
    word_set(word, &value);
}

int32_t value_get_int32(const Cell* value) {
    if (value->is(TYPE_INTEGER)) return static_cast<int32_t>(value->data2);
    double d = std::trunc(cell_get_float(value));
    if (std::isnan(d) || d > 2147483647.0 || d < -2147483648.0) error_raise(ErrCat::Script, "out-of-range", value);
    return static_cast<int32_t>(d);
}

}  // namespace kel
