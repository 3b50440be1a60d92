// The 62 action dispatchers, the /part normalisation of append, insert and
// change, and the comparison entry.
#include "runtime/dispatch.h"

#include <cstring>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/error.h"
#include "runtime/eval_deps.h"
#include "runtime/memory.h"
#include "runtime/number_convert.h"
#include "runtime/natives/value_natives.h"
#include "runtime/stack.h"

namespace kel {

DispatchFn g_actions_table[kActionCount] = {};
AnyAction (*g_port_action_lookup)(const Cell*, int32_t) = nullptr;

namespace {

constexpr const char* kActionSpecs[kActionCount + 1] = {
    "",
#define X(slot, text) text,
#include "runtime/action_specs.def"
#undef X
};

inline Cell* arg(uint32_t i) { return stack_arguments() + i; }
// The argument cell of a refinement, null when it is absent.
inline Cell* ref_cell(const int32_t* refs, int i) { return refs[i] >= 0 ? arg(static_cast<uint32_t>(refs[i])) : nullptr; }
inline bool ref_on(const int32_t* refs, int i) { return refs[i] >= 0; }

// The implementation of `slot` for `type` (of `value`): the registry's entry
// read in place; ports, unknown types and empty entries go the long way.
inline AnyAction entry_for(int32_t type, const Cell* value, int32_t slot) {
    AnyAction entry = nullptr;
    if (type > 0 && type <= kTypeCount && type != TYPE_PORT) entry = action_entry(type, slot);
    return __builtin_expect(entry != nullptr, 1) ? entry : actions_get_action_ptr_from(type, value, slot);
}

template <int Slot> typename ActionSig<Slot>::Fn impl_for(const Cell* value) {
    return reinterpret_cast<typename ActionSig<Slot>::Fn>(entry_for(value->type(), value, Slot));
}

void set_result(const Cell* result) {
    if (result) copy_cell(result, stack_arguments());
}

void set_logic_result(bool b) { cell_set(stack_arguments(), TYPE_LOGIC, b ? 1u : 0u); }

bool is_series_type(uint32_t t) {
    switch (t) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
    case TYPE_GET_PATH: case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL:
    case TYPE_REF: case TYPE_BINARY: case TYPE_VECTOR: case TYPE_IMAGE:
        return true;
    default:
        return false;
    }
}

// Length of a series value's buffer in units from the buffer head.
int32_t series_units(const Cell* s) {
    SeriesBuf* buf = node_buffer(s->data2);
    uint32_t unit = buf->unit() ? buf->unit() : 1;
    return static_cast<int32_t>((buf->tail - buf->head) / unit);
}

void clamp_to_tail(Cell* s) {
    int32_t len = series_units(s);
    if (static_cast<int32_t>(s->data1) > len) s->data1 = static_cast<uint32_t>(len);
}

Cell part_refinement() {
    Cell r{TYPE_WORD, 0, 0, 0};
    word_make_global_at(symbol_make("part"), &r);
    cell_set_type(&r, TYPE_REFINEMENT);
    return r;
}

// Frame actions read the frame themselves.
template <int Slot> void frame_action(const int32_t*) {
    reinterpret_cast<FrameActionFn>(entry_for(arg(0)->type(), arg(0), Slot))();
}

// remainder of two integers, as integer! computes it, without the frame
// action's calls; the errors and every other pair go the general way.
void dispatch_remainder(const int32_t* refs) {
    Cell* a = arg(0);
    const Cell* b = arg(1);
    if (a->is(TYPE_INTEGER) && b->is(TYPE_INTEGER) &&
        action_entry(TYPE_INTEGER, ACT_REMAINDER) == reinterpret_cast<AnyAction>(integer_remainder)) {
        int32_t r;
        if (integer_remainder_defined(integer_get(a), integer_get(b), &r)) {
            integer_put(a, r);
            return;
        }
    }
    frame_action<ACT_REMAINDER>(refs);
}

template <int Slot> void unary_action(const int32_t*) { set_result(impl_for<Slot>(arg(0))(arg(0))); }

void dispatch_make_to(int slot) {
    Cell* proto = arg(0);
    int32_t type = proto->is(TYPE_DATATYPE) ? static_cast<int32_t>(proto->data1) : proto->type();
    if (type <= 0 || type > kTypeCount) action_unsupported(type, slot);
    AnyAction entry = entry_for(type, proto, slot);
    set_result(reinterpret_cast<MakeFn>(entry)(proto, arg(1), type));
}
void dispatch_make(const int32_t*) { dispatch_make_to(ACT_MAKE); }
void dispatch_to(const int32_t*) { dispatch_make_to(ACT_TO); }

void dispatch_random(const int32_t* refs) {
    set_result(impl_for<ACT_RANDOM>(arg(0))(arg(0), ref_on(refs, 0), ref_on(refs, 1), ref_on(refs, 2)));
}

void dispatch_reflect(const int32_t*) {
    set_result(impl_for<ACT_REFLECT>(arg(0))(arg(0), static_cast<int32_t>(arg(1)->data2)));
}

// A /part limit of 0 or less makes form and mold give an empty string
// without asking the value's type at all; true when that is the result.
bool empty_text_result(const int32_t* part_ref) {
    if (*part_ref < 0 || static_cast<int32_t>(arg(static_cast<uint32_t>(*part_ref))->data2) > 0) return false;
    string_make(arg(0), 16);
    stack_keep();
    return true;
}

// form and mold write into a fresh string buffer that becomes the result;
// a /part limit here is above 0.
template <class Call> void text_action(const int32_t* part_ref, Call call) {
    Cell part_copy{TYPE_NONE, 0, 0, 0};
    const Cell* part = nullptr;
    int32_t limit = kNoPartLimit;
    if (*part_ref >= 0) {
        part_copy = *arg(static_cast<uint32_t>(*part_ref));
        part = &part_copy;
        limit = static_cast<int32_t>(part_copy.data2);
    }
    stack_keep();
    Cell* buffer = stack_push_cell();
    string_make(buffer, 16);
    call(arg(0), buffer, part, limit);
    buffer = arg(1);
    if (part) {
        SeriesBuf* buf = node_buffer(buffer->data2);
        uint32_t unit = buf->unit();
        if (string_length(buffer) > static_cast<uint32_t>(limit)) buf->tail = buf->head + static_cast<uint32_t>(limit) * unit;
    }
    copy_cell(buffer, arg(0));
    stack_keep();
}

void dispatch_form(const int32_t* refs) {
    if (empty_text_result(&refs[0])) return;
    FormFn fn = impl_for<ACT_FORM>(arg(0));
    text_action(&refs[0], [fn](const Cell* v, Cell* buf, const Cell* part, int32_t limit) { fn(v, buf, part, limit); });
}

void dispatch_mold(const int32_t* refs) {
    if (empty_text_result(&refs[3])) return;
    MoldFn fn = impl_for<ACT_MOLD>(arg(0));
    bool only = ref_on(refs, 0), all = ref_on(refs, 1), flat = ref_on(refs, 2);
    if (fn == block_mold && !ref_on(refs, 3) && arg(0)->is(TYPE_BLOCK) && block_mold_integers(arg(0), only, flat)) {
        stack_keep();
        return;
    }
    text_action(&refs[3], [=](const Cell* v, Cell* buf, const Cell* part, int32_t limit) {
        fn(v, buf, only, all, flat, part, limit, 0);
    });
}

// eval-path: refs[0] non-zero when a value to set is the third argument.
void dispatch_eval_path(const int32_t* refs) {
    Cell* parent = arg(0);
    AnyAction entry = action_entry(parent->type(), ACT_EVAL_PATH);
    if (!entry) {
        Cell dt;
        datatype_set(&dt, parent->type());
        error_raise(ErrCat::Script, "bad-path-type2", arg(1), &dt);
    }
    EvalPathArgs args;
    args.tail = true;
    Cell* value = refs[0] > 0 ? arg(2) : nullptr;
    set_result(reinterpret_cast<EvalPathFn>(entry)(parent, arg(1), value, args));
}

void dispatch_round(const int32_t* refs) {
    RoundArgs a;
    a.to = ref_cell(refs, 0);
    a.even = ref_on(refs, 1);
    a.down = ref_on(refs, 2);
    a.half_down = ref_on(refs, 3);
    a.floor = ref_on(refs, 4);
    a.ceiling = ref_on(refs, 5);
    a.half_ceiling = ref_on(refs, 6);
    set_result(impl_for<ACT_ROUND>(arg(0))(arg(0), a));
}

template <int Slot> void predicate_action(const int32_t*) { set_logic_result(impl_for<Slot>(arg(0))(arg(0))); }

// Applies the /part and /dup rules of append and insert; returns false when
// nothing is to be inserted (the series argument is then the result).
bool normalise_insert(const int32_t* refs, bool is_insert, int32_t* part, int32_t* dup) {
    Cell* series = arg(0);
    Cell* value = arg(1);
    if (is_insert && is_series_type(series->type())) clamp_to_tail(series);
    *part = -1;
    if (ref_on(refs, 0)) {
        Cell* limit = ref_cell(refs, 0);
        if (!(is_series_type(value->type()) || value->is(TYPE_MAP)) || !value->data2)
            error_raise(ErrCat::Script, "invalid-part", limit);
        clamp_to_tail(value);
        int32_t count;
        if (limit->is(TYPE_INTEGER)) {
            count = static_cast<int32_t>(limit->data2);
        } else {
            if (limit->type() != value->type() || limit->data2 != value->data2 || value->is(TYPE_PORT)) {
                Cell r = part_refinement();
                error_raise(ErrCat::Script, "invalid-refine-arg", &r, limit);
            }
            clamp_to_tail(limit);
            count = static_cast<int32_t>(limit->data1) - static_cast<int32_t>(value->data1);
        }
        int32_t index = static_cast<int32_t>(value->data1);
        if (count == 0 || (count < 0 && index == 0)) return false;
        if (count < 0) {
            int32_t start = index + count < 0 ? 0 : index + count;
            count = index - start;
            value->data1 = static_cast<uint32_t>(start);
        }
        *part = count;
    }
    *dup = 1;
    if (ref_on(refs, 2)) {
        Cell* d = ref_cell(refs, 2);
        *dup = d->is(TYPE_INTEGER) ? static_cast<int32_t>(d->data2) : 1;
        if (*dup <= 0) return false;
    }
    return true;
}

void dispatch_insert_like(const int32_t* refs, bool is_append) {
    int32_t part, dup;
    if (!normalise_insert(refs, !is_append, &part, &dup)) {
        stack_keep();
        return;
    }
    InsertFn fn = is_append ? impl_for<ACT_APPEND>(arg(0)) : impl_for<ACT_INSERT>(arg(0));
    set_result(fn(arg(0), arg(1), part, ref_on(refs, 1), dup, is_append));
}
void dispatch_append(const int32_t* refs) {
    if (!ref_on(refs, 0) && !ref_on(refs, 2)) {
        // No /part, no /dup: nothing to normalise.
        set_result(impl_for<ACT_APPEND>(arg(0))(arg(0), arg(1), -1, ref_on(refs, 1), 1, true));
        return;
    }
    dispatch_insert_like(refs, true);
}
void dispatch_insert(const int32_t* refs) { dispatch_insert_like(refs, false); }

void dispatch_change(const int32_t* refs) {
    Cell* series = arg(0);
    int32_t part = -1;
    if (ref_on(refs, 0)) {
        Cell* limit = ref_cell(refs, 0);
        bool raw = series->is(TYPE_PORT) || series->is(TYPE_IMAGE);
        // A series left past its tail stands at the tail before a limit
        // position is measured from it, as the limit itself does.
        if (!raw) clamp_to_tail(series);
        int32_t count;
        if (limit->is(TYPE_INTEGER)) {
            count = static_cast<int32_t>(limit->data2);
        } else if (limit->is(TYPE_FLOAT)) {
            count = float_to_int32_limit(cell_get_float(limit), TYPE_INTEGER);
        } else {
            if (limit->data2 != series->data2 || !is_series_type(limit->type())) {
                Cell r = part_refinement();
                error_raise(ErrCat::Script, "invalid-refine-arg", &r, limit);
            }
            if (!raw) clamp_to_tail(limit);
            count = static_cast<int32_t>(limit->data1) - static_cast<int32_t>(series->data1);
        }
        if (raw) {
            if (count < 0) count = 0;
        } else {
            int32_t index = static_cast<int32_t>(series->data1);
            if (count < 0) {
                int32_t start = index + count < 0 ? 0 : index + count;
                count = index - start;
                series->data1 = static_cast<uint32_t>(start);
            }
        }
        part = count;
    }
    int32_t dup = 1;
    if (ref_on(refs, 2)) {
        Cell* d = ref_cell(refs, 2);
        dup = d->is(TYPE_FLOAT) ? float_to_int32_limit(cell_get_float(d), TYPE_INTEGER) : static_cast<int32_t>(d->data2);
        if (dup <= 0) {
            stack_keep();
            return;
        }
    }
    set_result(impl_for<ACT_CHANGE>(arg(0))(arg(0), arg(1), part, ref_on(refs, 1), dup));
}

void dispatch_copy(const int32_t* refs) {
    Cell* types = ref_cell(refs, 2);
    if (types && !types->is(TYPE_DATATYPE) && !types->is(TYPE_TYPESET)) {
        Cell where = stack_get_call();
        Cell dt;
        datatype_set(&dt, types->type());
        Cell kind{TYPE_WORD, 0, 0, 0};
        word_make_global_at(symbol_make("kind"), &kind);
        error_raise(ErrCat::Script, "expect-arg", &where, &dt, &kind);
    }
    CopyFn fn = impl_for<ACT_COPY>(arg(0));
    // The destination lies above every argument, so none is overwritten.
    Cell* dest = stack_push_cell();
    Cell* result = fn(arg(0), dest, ref_cell(refs, 0), ref_on(refs, 1), ref_cell(refs, 2));
    set_result(result);
    stack_keep();
}

FindArgs find_args(const int32_t* refs, bool with_tail) {
    FindArgs a;
    a.part = ref_cell(refs, 0);
    a.only = ref_on(refs, 1);
    a.case_ = ref_on(refs, 2);
    a.same = ref_on(refs, 3);
    a.any = ref_on(refs, 4);
    a.with = ref_cell(refs, 5);
    a.skip = ref_cell(refs, 6);
    a.last = ref_on(refs, 7);
    a.reverse = ref_on(refs, 8);
    if (with_tail) {
        a.tail = ref_on(refs, 9);
        a.match = ref_on(refs, 10);
    }
    return a;
}
void dispatch_find(const int32_t* refs) { set_result(impl_for<ACT_FIND>(arg(0))(arg(0), arg(1), find_args(refs, true))); }
void dispatch_select(const int32_t* refs) {
    set_result(impl_for<ACT_SELECT>(arg(0))(arg(0), arg(1), find_args(refs, false)));
}

void dispatch_length(const int32_t*) {
    int32_t n = impl_for<ACT_LENGTH_Q>(arg(0))(arg(0));
    if (n < 0) cell_set(arg(0), TYPE_NONE);
    else cell_set(arg(0), TYPE_INTEGER, 0, static_cast<uint32_t>(n));
}

void dispatch_move(const int32_t* refs) { set_result(impl_for<ACT_MOVE>(arg(0))(arg(0), arg(1), ref_cell(refs, 0))); }

void dispatch_pick(const int32_t*) {
    set_result(impl_for<ACT_PICK>(arg(0))(arg(0), actions_index_argument(arg(1)), arg(1)));
}

void dispatch_poke(const int32_t*) {
    impl_for<ACT_POKE>(arg(0))(arg(0), actions_index_argument(arg(1)), arg(2), arg(1));
    copy_cell(arg(2), arg(0));
}

void dispatch_put(const int32_t* refs) {
    set_result(impl_for<ACT_PUT>(arg(0))(arg(0), arg(1), arg(2), ref_on(refs, 0)));
}

void dispatch_remove(const int32_t* refs) {
    set_result(impl_for<ACT_REMOVE>(arg(0))(arg(0), ref_cell(refs, 0), ref_cell(refs, 1)));
}

void dispatch_reverse(const int32_t* refs) {
    set_result(impl_for<ACT_REVERSE>(arg(0))(arg(0), ref_cell(refs, 0), ref_cell(refs, 1)));
}

void dispatch_sort(const int32_t* refs) {
    SortArgs a;
    a.case_ = ref_on(refs, 0);
    a.skip = ref_cell(refs, 1);
    a.compare = ref_cell(refs, 2);
    a.part = ref_cell(refs, 3);
    a.all = ref_on(refs, 4);
    a.reverse = ref_on(refs, 5);
    a.stable = ref_on(refs, 6);
    set_result(impl_for<ACT_SORT>(arg(0))(arg(0), a));
}

template <int Slot> void binary_swap_action(const int32_t*) { set_result(impl_for<Slot>(arg(0))(arg(0), arg(1))); }

void dispatch_take(const int32_t* refs) {
    set_result(impl_for<ACT_TAKE>(arg(0))(arg(0), ref_cell(refs, 0), ref_on(refs, 1), ref_on(refs, 2)));
}

void dispatch_trim(const int32_t* refs) {
    TrimArgs a;
    a.head = ref_on(refs, 0);
    a.tail = ref_on(refs, 1);
    a.auto_ = ref_on(refs, 2);
    a.lines = ref_on(refs, 3);
    a.all = ref_on(refs, 4);
    a.with = ref_cell(refs, 5);
    set_result(impl_for<ACT_TRIM>(arg(0))(arg(0), a));
}

void dispatch_modify(const int32_t* refs) {
    set_result(impl_for<ACT_MODIFY>(arg(0))(arg(0), arg(1), arg(2), ref_on(refs, 0)));
}

void dispatch_open(const int32_t* refs) {
    OpenArgs a;
    a.new_ = ref_on(refs, 0);
    a.read = ref_on(refs, 1);
    a.write = ref_on(refs, 2);
    a.seek = ref_on(refs, 3);
    a.allow = ref_cell(refs, 4);
    set_result(impl_for<ACT_OPEN>(arg(0))(arg(0), a));
}

void dispatch_read(const int32_t* refs) {
    ReadArgs a;
    a.part = ref_cell(refs, 0);
    a.seek = ref_cell(refs, 1);
    a.binary = ref_on(refs, 2);
    a.lines = ref_on(refs, 3);
    a.info = ref_on(refs, 4);
    a.as = ref_cell(refs, 5);
    set_result(impl_for<ACT_READ>(arg(0))(arg(0), a));
}

void dispatch_write(const int32_t* refs) {
    WriteArgs a;
    a.binary = ref_on(refs, 0);
    a.lines = ref_on(refs, 1);
    a.info = ref_on(refs, 2);
    a.append = ref_on(refs, 3);
    a.part = ref_cell(refs, 4);
    a.seek = ref_cell(refs, 5);
    a.allow = ref_cell(refs, 6);
    a.as = ref_cell(refs, 7);
    set_result(impl_for<ACT_WRITE>(arg(0))(arg(0), arg(1), a));
}

}  // namespace

const char* action_spec_text(int slot) { return slot >= 1 && slot <= kActionCount ? kActionSpecs[slot] : ""; }

AnyAction actions_get_action_ptr_from(int32_t type, const Cell* value, int32_t slot) {
    if (type == TYPE_PORT && slot >= ACT_APPEND && g_port_action_lookup) {
        AnyAction own = g_port_action_lookup(value, slot);
        if (own) return own;
    }
    AnyAction entry = type > 0 && type <= kTypeCount ? action_entry(type, slot) : nullptr;
    if (!entry) action_unsupported(type, slot);
    return entry;
}

Cell* actions_compare_dispatch(int32_t op) {
    bool r = actions_compare_call(arg(0), arg(1), op);
    set_logic_result(r);
    return arg(0);
}

Cell* ops_math(int32_t op, const Cell* word, const Cell* value1, const Cell* value2) {
    if (value1->is(TYPE_INTEGER) && value2->is(TYPE_INTEGER)) {
        int32_t a = static_cast<int32_t>(value1->data2), b = static_cast<int32_t>(value2->data2), r = 0;
        bool overflow = false;
        switch (op) {
        case OP_ADD: overflow = __builtin_add_overflow(a, b, &r); break;
        case OP_SUB: overflow = __builtin_sub_overflow(a, b, &r); break;
        case OP_MUL: overflow = __builtin_mul_overflow(a, b, &r); break;
        case OP_OR: r = a | b; break;
        case OP_AND: r = a & b; break;
        case OP_XOR: r = a ^ b; break;
        default: fatal_runtime_error(101);
        }
        Cell* out = stack_push_cell();
        if (overflow) {
            double d = op == OP_ADD ? double(a) + b : op == OP_SUB ? double(a) - b : double(a) * b;
            cell_set(out, TYPE_FLOAT);
            cell_put_float(out, d);
        } else {
            cell_set(out, TYPE_INTEGER, 0, static_cast<uint32_t>(r));
        }
        return out;
    }
    static constexpr int kSlots[] = {ACT_ADD, ACT_SUBTRACT, ACT_MULTIPLY, 0, 0, ACT_OR_T, ACT_AND_T, ACT_XOR_T};
    if (op < 0 || op > OP_XOR || kSlots[op] == 0) fatal_runtime_error(101);
    stack_mark_native(word->data2, word->data1);
    stack_push(value1);
    stack_push(value2);
    int32_t none[1] = {-1};
    action_dispatcher(static_cast<uint32_t>(kSlots[op]))(none);
    stack_unwind();
    return stack_top();
}

bool ops_compare(int32_t op, const Cell* word, const Cell* value1, const Cell* value2) {
    if (op == COMP_SAME) return natives_same_values(value1, value2);
    if (value1->is(TYPE_INTEGER) && value2->is(TYPE_INTEGER)) {
        int32_t a = static_cast<int32_t>(value1->data2), b = static_cast<int32_t>(value2->data2);
        switch (op) {
        case COMP_EQUAL: case COMP_STRICT_EQUAL: return a == b;
        case COMP_NOT_EQUAL: return a != b;
        case COMP_LESSER: return a < b;
        case COMP_LESSER_EQUAL: return a <= b;
        case COMP_GREATER: return a > b;
        case COMP_GREATER_EQUAL: return a >= b;
        default: fatal_runtime_error(101);
        }
    }
    Cell* top = g_stack.top;  // the caller's cells above its arguments stay
    stack_mark_native(word->data2, word->data1);
    stack_push(value1);
    stack_push(value2);
    bool r = actions_compare_call(arg(0), arg(1), op);
    stack_unwind_drop();
    g_stack.top = top;
    return r;
}

void actions_init() {
    DispatchFn* t = g_actions_table;
    t[ACT_MAKE - 1] = dispatch_make;
    t[ACT_RANDOM - 1] = dispatch_random;
    t[ACT_REFLECT - 1] = dispatch_reflect;
    t[ACT_TO - 1] = dispatch_to;
    t[ACT_FORM - 1] = dispatch_form;
    t[ACT_MOLD - 1] = dispatch_mold;
    t[ACT_EVAL_PATH - 1] = dispatch_eval_path;
    t[ACT_RESERVED - 1] = nullptr;
    t[ACT_COMPARE - 1] = nullptr;
    t[ACT_ABSOLUTE - 1] = frame_action<ACT_ABSOLUTE>;
    t[ACT_ADD - 1] = frame_action<ACT_ADD>;
    t[ACT_DIVIDE - 1] = frame_action<ACT_DIVIDE>;
    t[ACT_MULTIPLY - 1] = frame_action<ACT_MULTIPLY>;
    t[ACT_NEGATE - 1] = unary_action<ACT_NEGATE>;
    t[ACT_POWER - 1] = frame_action<ACT_POWER>;
    t[ACT_REMAINDER - 1] = dispatch_remainder;
    t[ACT_ROUND - 1] = dispatch_round;
    t[ACT_SUBTRACT - 1] = frame_action<ACT_SUBTRACT>;
    t[ACT_EVEN_Q - 1] = predicate_action<ACT_EVEN_Q>;
    t[ACT_ODD_Q - 1] = predicate_action<ACT_ODD_Q>;
    t[ACT_AND_T - 1] = frame_action<ACT_AND_T>;
    t[ACT_COMPLEMENT - 1] = unary_action<ACT_COMPLEMENT>;
    t[ACT_OR_T - 1] = frame_action<ACT_OR_T>;
    t[ACT_XOR_T - 1] = frame_action<ACT_XOR_T>;
    t[ACT_APPEND - 1] = dispatch_append;
    t[ACT_AT - 1] = frame_action<ACT_AT>;
    t[ACT_BACK - 1] = frame_action<ACT_BACK>;
    t[ACT_CHANGE - 1] = dispatch_change;
    t[ACT_CLEAR - 1] = unary_action<ACT_CLEAR>;
    t[ACT_COPY - 1] = dispatch_copy;
    t[ACT_FIND - 1] = dispatch_find;
    t[ACT_HEAD - 1] = frame_action<ACT_HEAD>;
    t[ACT_HEAD_Q - 1] = frame_action<ACT_HEAD_Q>;
    t[ACT_INDEX_Q - 1] = frame_action<ACT_INDEX_Q>;
    t[ACT_INSERT - 1] = dispatch_insert;
    t[ACT_LENGTH_Q - 1] = dispatch_length;
    t[ACT_MOVE - 1] = dispatch_move;
    t[ACT_NEXT - 1] = frame_action<ACT_NEXT>;
    t[ACT_PICK - 1] = dispatch_pick;
    t[ACT_POKE - 1] = dispatch_poke;
    t[ACT_PUT - 1] = dispatch_put;
    t[ACT_REMOVE - 1] = dispatch_remove;
    t[ACT_REVERSE - 1] = dispatch_reverse;
    t[ACT_SELECT - 1] = dispatch_select;
    t[ACT_SORT - 1] = dispatch_sort;
    t[ACT_SKIP - 1] = frame_action<ACT_SKIP>;
    t[ACT_SWAP - 1] = binary_swap_action<ACT_SWAP>;
    t[ACT_TAIL - 1] = frame_action<ACT_TAIL>;
    t[ACT_TAIL_Q - 1] = frame_action<ACT_TAIL_Q>;
    t[ACT_TAKE - 1] = dispatch_take;
    t[ACT_TRIM - 1] = dispatch_trim;
    t[ACT_CREATE - 1] = unary_action<ACT_CREATE>;
    t[ACT_CLOSE - 1] = unary_action<ACT_CLOSE>;
    t[ACT_DELETE - 1] = unary_action<ACT_DELETE>;
    t[ACT_MODIFY - 1] = dispatch_modify;
    t[ACT_OPEN - 1] = dispatch_open;
    t[ACT_OPEN_Q - 1] = unary_action<ACT_OPEN_Q>;
    t[ACT_QUERY - 1] = unary_action<ACT_QUERY>;
    t[ACT_READ - 1] = dispatch_read;
    t[ACT_RENAME - 1] = binary_swap_action<ACT_RENAME>;
    t[ACT_UPDATE - 1] = unary_action<ACT_UPDATE>;
    t[ACT_WRITE - 1] = dispatch_write;
}

}  // namespace kel
