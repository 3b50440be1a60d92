// path!, lit-path!, set-path!, get-path!: their text forms, make/to and
// registration; everything else is block!'s.
#include "runtime/datatypes/path.h"

#include "runtime/cycles.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/string.h"
#include "runtime/error.h"
#include "runtime/stack.h"

namespace kel {

namespace {

Cell* push_retyped(Cell* cell, uint32_t type) {
    cell->header = type;
    return stack_push(cell);
}

// The elements from the head with "/" between them, molded or formed.
int32_t path_text(const Cell* value, Cell* buffer, bool mold, bool only, bool all, bool flat, const Cell* part,
                  int32_t limit, int32_t indent) {
    if (cycles_mold_marker(value, buffer, limit, mold)) return limit;
    CycleGuard guard(value->data2);
    int32_t first = series_index(value) < 0 ? 0 : series_index(value);
    for (int32_t i = first; i < series_length_total(value); i++) {
        if (part && limit <= 0) break;
        if (i != first) {
            string_append_char(buffer, '/');
            limit--;
        }
        RootedCell element(block_cell_at(value, uint32_t(i)));
        // A string item in braces would end the path: it keeps its quotes.
        if (mold && element.get()->is(TYPE_STRING)) limit = string_mold_quoted(element.get(), buffer, all, part, limit);
        else if (mold) limit = actions_mold_call(element.get(), buffer, only, all, flat, part, limit, indent);
        else limit = actions_form_call(element.get(), buffer, part, limit);
    }
    return limit;
}

int32_t mark(Cell* buffer, char c, int32_t limit) {
    string_append_char(buffer, static_cast<uint8_t>(c));
    return limit - 1;
}

int32_t path_count(const Cell* spec) {
    if (spec->is(TYPE_INTEGER)) return static_cast<int32_t>(spec->data2);
    double d = cell_get_float(spec);
    if (!(d > -2147483649.0 && d < 2147483648.0)) error_raise(ErrCat::Script, "out-of-range", spec);
    return static_cast<int32_t>(d);
}

constexpr std::initializer_list<int> kPathInherited = {
    ACT_REFLECT, ACT_EVAL_PATH, ACT_COMPARE, ACT_APPEND, ACT_AT, ACT_BACK, ACT_CHANGE, ACT_CLEAR, ACT_FIND,
    ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_PUT,
    ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP, ACT_SWAP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY};

void variant_init(TypeId type, MoldFn mold) {
    TypeRow(type)
        .set<ACT_MOLD>(mold)
        .inherit(kPathInherited)
        .inherit({ACT_MAKE, ACT_TO, ACT_FORM, ACT_COPY})
        .commit();
}

}  // namespace

Cell* path_push_from_cell(Cell* cell) { return push_retyped(cell, TYPE_PATH); }
Cell* lit_path_push_from_cell(Cell* cell) { return push_retyped(cell, TYPE_LIT_PATH); }
Cell* set_path_push_from_cell(Cell* cell) { return push_retyped(cell, TYPE_SET_PATH); }
Cell* get_path_push_from_cell(Cell* cell) { return push_retyped(cell, TYPE_GET_PATH); }

Cell* path_make_at(Cell* cell, int32_t n) {
    block_make_at(cell, n);
    cell_set_type(cell, TYPE_PATH);
    return cell;
}

int32_t path_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                  int32_t indent) {
    return path_text(value, buffer, true, only, all, flat, part, limit, indent);
}

int32_t lit_path_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                      int32_t limit, int32_t indent) {
    limit = mark(buffer, '\'', limit);
    return path_text(value, buffer, true, only, all, flat, part, limit, indent);
}

int32_t get_path_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                      int32_t limit, int32_t indent) {
    limit = mark(buffer, ':', limit);
    return path_text(value, buffer, true, only, all, flat, part, limit, indent);
}

int32_t set_path_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                      int32_t limit, int32_t indent) {
    limit = path_text(value, buffer, true, only, all, flat, part, limit, indent);
    return mark(buffer, ':', limit);
}

int32_t path_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit) {
    return path_text(value, buffer, false, false, false, false, part, limit, 0);
}

Cell* path_make(Cell* proto, Cell* spec, int32_t type) {
    uint32_t from = spec->type();
    if (type_block_family(from)) return block_make(proto, spec, type);
    if (from != TYPE_INTEGER && from != TYPE_FLOAT && from != TYPE_PERCENT) {
        Cell dt;
        datatype_set(&dt, type);
        error_raise(ErrCat::Script, "bad-make-arg", &dt, spec);
    }
    Cell out;
    block_make_at(&out, path_count(spec));
    cell_set_type(&out, uint32_t(type));
    return copy_cell(&out, proto);
}

Cell* path_to(Cell* proto, Cell* spec, int32_t type) {
    uint32_t from = spec->type();
    if (from != TYPE_OBJECT && from != TYPE_TYPESET && from != TYPE_MAP) return block_to(proto, spec, type);
    Cell out;  // holds nothing allocated until the last allocation is done
    block_make_at(&out, 1);
    block_append_value(&out, spec);  // room for one: nothing allocates
    cell_set_type(&out, uint32_t(type));
    return copy_cell(&out, proto);
}

Cell* path_copy(Cell* value, Cell* dest, const Cell* part, bool deep, const Cell* types) {
    return block_copy(value, dest, part, deep, types);
}

void path_init() {
    TypeRow(TYPE_PATH)
        .set<ACT_MAKE>(path_make)
        .set<ACT_TO>(path_to)
        .set<ACT_FORM>(path_form)
        .set<ACT_MOLD>(path_mold)
        .set<ACT_COPY>(path_copy)
        .inherit(kPathInherited)
        .commit();
}

void lit_path_init() { variant_init(TYPE_LIT_PATH, lit_path_mold); }
void set_path_init() { variant_init(TYPE_SET_PATH, set_path_mold); }
void get_path_init() { variant_init(TYPE_GET_PATH, get_path_mold); }

}  // namespace kel
