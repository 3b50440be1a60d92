// object!: making, copying, fields, change notification, reflection, text
// forms and comparison. The cell layout and invariants are in object.h.
#include "runtime/datatypes/object.h"

#include <algorithm>

#include "runtime/cycles.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/exits.h"
#include "runtime/gc.h"
#include "runtime/interpreter.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"

namespace kel {

namespace {

uint32_t g_class_counter = 1000;  // ids up to here are left to built-in shapes (error! is 1)
// A handler's field index is kept in 16 bits: one at or past this mark is
// stored as the mark and looked up by name when the handler is called.
constexpr uint32_t kObjectFarField = kObjectNoField - 1;
const Cell kNoneCell{TYPE_NONE, 0, 0, 0};

inline bool object_type_q(uint32_t t) { return t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_PORT; }
inline uint32_t field_count(Off ctx) { return context_words_count(ctx); }
inline Cell* value_at(Off ctx, uint32_t i) { return context_value_at(ctx, i); }
inline uint32_t canon(uint32_t symbol) { return symbol_resolve(symbol); }
inline Cell* owner_cell(Off ctx) { return context_owner_cell(ctx); }
// The change information as the context's owner cell holds it: the copy of
// an object cell in a variable may predate it.
inline Off info_of(Off ctx) { return owner_cell(ctx)->data3; }
inline Cell* info_cells(Off info) { return arena_at<Cell>(node_buffer(info)->head); }

uint32_t words_count_of(const Cell* object) { return field_count(object->data1); }

// Copies an object cell held since before a collection into its owner cell.
// Only the owner cell keeps the change information's node alive and current,
// so the cell first takes that node from there.
void store_in_owner_cell(Cell* object) {
    object->data3 = info_of(object->data1);
    copy_cell(object, owner_cell(object->data1));
}

// Pops what a callee left above `top` when the scope ends.
struct StackTop {
    Cell* saved = g_stack.top;
    ~StackTop() { g_stack.top = saved; }
};

bool copied_by_deep(uint32_t t) {
    switch (t) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_PATH:
    case TYPE_LIT_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
        return true;
    default:
        return false;
    }
}

bool copied_by_rebind(uint32_t t) {
    return copied_by_deep(t) || t == TYPE_HASH || t == TYPE_VECTOR || t == TYPE_BINARY || t == TYPE_IMAGE;
}

bool rebound_block(uint32_t t) { return type_block_family(t); }

// Replaces field i of the object (a rooted cell) by a copy of its value.
// The value sits on the stack while it is copied: the copy may collect.
void copy_field(const Cell* object, uint32_t i, bool deep, const Cell* types) {
    StackTop scope;
    Cell* v = stack_push(value_at(object->data1, i));
    Cell* dest = stack_push_cell();
    Cell* copy = action_fn<ACT_COPY>(v->type())(v, dest, nullptr, deep, types);
    Cell result = *copy;
    *value_at(object->data1, i) = result;
}

// Replaces field i, a function!, by one rebuilt for the object.
void rebuild_field_function(const Cell* object, uint32_t i) {
    StackTop scope;
    Cell* f = stack_push(value_at(object->data1, i));
    object_rebind_function(f, object->data1);
    *value_at(object->data1, i) = *f;
}

// ---- handler calls ------------------------------------------------------------

bool arg_word_q(uint32_t t) { return t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD; }

// Cells a call of `function` needs after its first `nargs` arguments: one
// per refinement and per word after the first refinement.
uint32_t local_cells(const Cell* function) {
    Off spec = function->data2;
    const SeriesBuf* buf = node_buffer(spec);
    uint32_t n = buf->used_bytes() / sizeof(Cell), count = 0;
    bool after_refinement = false;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t t = (arena_at<Cell>(buf->head) + i)->type();
        if (t == TYPE_REFINEMENT) after_refinement = true;
        if (after_refinement && (t == TYPE_REFINEMENT || arg_word_q(t))) count++;
    }
    return count;
}

uint32_t argument_count(const Cell* function) {
    const SeriesBuf* buf = node_buffer(function->data2);
    uint32_t n = buf->used_bytes() / sizeof(Cell), count = 0;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t t = (arena_at<Cell>(buf->head) + i)->type();
        if (t == TYPE_REFINEMENT) break;
        if (arg_word_q(t)) count++;
    }
    return count;
}

// Pushes the refinement and local cells of a call: false for a refinement,
// none! for each word after it.
void push_locals(const Cell* function) {
    const SeriesBuf* buf = node_buffer(function->data2);
    uint32_t n = buf->used_bytes() / sizeof(Cell);
    bool after_refinement = false;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t t = (arena_at<Cell>(node_buffer(function->data2)->head) + i)->type();
        if (t == TYPE_REFINEMENT) {
            after_refinement = true;
            cell_set(stack_push_cell(), TYPE_LOGIC, 0);
        } else if (after_refinement && arg_word_q(t)) {
            cell_set(stack_push_cell(), TYPE_NONE);
        }
    }
}

// Calls a handler with `nargs` arguments in a frame named `name`; its result
// is dropped and the stacks are left as they were, errors included.
void call_handler(const Cell* function, const Cell* name, const Cell* args, uint32_t nargs, Off owner_ctx) {
    Cell fn = *function, label = *name;
    GcRootCell keep_fn(&fn), keep_label(&label);
    GcRootNode keep_owner(&owner_ctx);
    StackGuard guard;
    stack_mark_interp_func_ctx(label.data2, label.data1, fn.data1);
    uint32_t wanted = argument_count(&fn);
    for (uint32_t i = 0; i < wanted; i++) {
        if (i < nargs) stack_push(&args[i]);
        else cell_set(stack_push_cell(), TYPE_NONE);
    }
    push_locals(&fn);
    interp_call_function(&fn, owner_ctx, &label, 0);
    if (exit_pending()) exits_throw_pending();
}

// The handler info cell of `which` (0 on-change*, 1 on-deep-change*): the
// handler's field index, or -1; refreshes the cached local count when the
// handler's interface block changed.
int32_t handler_index(Off ctx, int which) {
    Off info = info_of(ctx);
    if (!info) return -1;
    uint32_t index = info_cells(info)[which].data2 >> 16;
    if (index == kObjectNoField) return -1;
    if (index == kObjectFarField) {
        const Cell& word = which == 0 ? g_words.on_change : g_words.on_deep_change;
        return context_find_word(ctx, word.data2, true);
    }
    return static_cast<int32_t>(index);
}

void refresh_handler_cache(Off ctx, int which, const Cell* function) {
    Cell* cell = info_cells(info_of(ctx)) + which;
    if (cell->data3 == function->data2) return;
    cell->data2 = (cell->data2 & 0xFFFF0000u) | (local_cells(function) & 0xFFFF);
    cell->data3 = function->data2;
}

// A copy of `word` as a word! bound to the object's context.
Cell bound_word(const Cell* word, Off ctx) {
    Cell w = *word;
    cell_set_type(&w, TYPE_WORD);
    w.header &= ~(WORD_FIELD_CHANGED | CELL_NEW_LINE);
    if (w.data1 != ctx) {
        int32_t index = context_find_word(ctx, w.data2, true);
        w.data1 = ctx;
        w.data3 = index < 0 ? kWordUnresolved : static_cast<uint32_t>(index);
    }
    return w;
}

// ---- the on-change information ----------------------------------------------------

int32_t find_field_symbol(Off ctx, uint32_t symbol) { return context_find_word(ctx, symbol, true); }

// The information block for the object's handler fields, or 0 without any.
Off scan_events(const Cell* object) {
    Off ctx = object->data1;
    GcRootNode keep_ctx(&ctx);
    int32_t index[2] = {find_field_symbol(ctx, g_words.on_change.data2),
                        find_field_symbol(ctx, g_words.on_deep_change.data2)};
    if (index[0] < 0 && index[1] < 0) return 0;
    Cell handlers[2] = {kNoneCell, kNoneCell};
    GcRootCell keep_handlers(handlers, 2);
    for (int k = 0; k < 2; k++) {
        if (index[k] < 0) continue;
        handlers[k] = *value_at(ctx, static_cast<uint32_t>(index[k]));
        if (!handlers[k].is(TYPE_FUNCTION) && !handlers[k].is(TYPE_ROUTINE)) {
            Cell dt, word;
            datatype_set(&dt, handlers[k].type());
            object_get_word(ctx, static_cast<uint32_t>(index[k]), &word);
            error_raise(ErrCat::Script, "bad-field-set", &dt, &word);
        }
    }
    StackTop scope;
    Cell* block = block_push_only(2);
    for (int k = 0; k < 2; k++) {
        uint32_t field = index[k] < 0 ? kObjectNoField : std::min(static_cast<uint32_t>(index[k]), kObjectFarField);
        uint32_t packed = field << 16;
        uint32_t spec = 0;
        if (index[k] >= 0 && handlers[k].is(TYPE_FUNCTION)) {
            packed |= local_cells(&handlers[k]) & 0xFFFF;
            spec = handlers[k].data2;
        }
        Cell pair{TYPE_PAIR, 0, packed, spec};
        block_append_value(block, &pair);
    }
    return block->data2;
}

}  // namespace

// ---- making ---------------------------------------------------------------------------

uint32_t object_new_id() { return ++g_class_counter; }

Cell* object_make_at(Cell* cell, Off ctx, uint32_t class_id, Off info, uint32_t type) {
    cell_set(cell, type, ctx, class_id, info);
    copy_cell(cell, owner_cell(ctx));
    return cell;
}

Cell* object_push(Off ctx, uint32_t class_id) {
    context_values_ensure(ctx, field_count(ctx));
    return object_make_at(stack_push_cell(), ctx, class_id, 0);
}

Cell* object_make_from_context(Cell* cell, uint32_t n) {
    Off ctx = context_make(n, false, true, 0, CTX_OBJECT);
    return object_make_at(cell, ctx, 0, 0);
}

void object_init_events(Cell* object) {
    Off info = scan_events(object);
    object->data3 = info;
    copy_cell(object, owner_cell(object->data1));
    if (handler_index(object->data1, 1) >= 0) {
        Cell self = *object, word = g_words.on_deep_change;
        symctx_owner_set_flagged(&self, &self, &word);
        store_in_owner_cell(object);
    }
}

Cell* object_duplicate(const Cell* source_in, Cell* dest, bool deep, const Cell* types_in, bool reset_events) {
    Cell source = *source_in;
    Cell types = types_in ? *types_in : kNoneCell;
    GcRootCell keep_types(&types);
    Off sctx = source.data1;
    uint32_t n = field_count(sctx);
    Off ctx = context_make(n, false, true, sctx, CTX_OBJECT);
    GcRootNode keep_ctx(&ctx);
    for (uint32_t i = 0; i < field_count(ctx); i++) context_word_cell_at(ctx, i)->data1 = ctx;
    sctx = source_in->data1;
    // The values as raw cells; the few that need it are fixed up below.
    context_values_ensure(ctx, n);
    for (uint32_t i = 0; i < n; i++) {
        const Cell* v = value_at(sctx, i);
        if (v) *value_at(ctx, i) = *v;
    }
    object_make_at(dest, ctx, source.data2, reset_events ? 0 : info_of(sctx), source.type());
    if (deep && !types_in) {
        for (uint32_t i = 0; i < n; i++) {
            uint32_t t = value_at(dest->data1, i)->type();
            if (copied_by_deep(t)) copy_field(dest, i, true, nullptr);
            else if (t == TYPE_FUNCTION) rebuild_field_function(dest, i);
        }
    } else {
        for (uint32_t i = 0; i < n; i++)
            if (value_at(dest->data1, i)->is(TYPE_FUNCTION)) rebuild_field_function(dest, i);
        if (types_in) {
            CycleDepthGuard depth;
            if (deep) {
                if (cycles_find(source_in->data1)) {
                    cycles_reset();
                    error_raise(ErrCat::Internal, "no-cycle");
                }
                cycles_push(source_in->data1);
            }
            Cell values{TYPE_BLOCK, 0, context_cell(dest->data1)->data2, 0};
            GcRootCell root(&values);
            block_copy_typed_values(&values, 0, n, 1, deep, &types);
        }
    }
    if (reset_events) object_init_events(dest);
    return dest;
}

void object_rebind_function(Cell* function, Off ctx) {
    GcRootNode keep_ctx(&ctx);
    Cell fn = *function;
    Cell body = function_more_cells(&fn)[0];
    if (!body.is(TYPE_BLOCK)) error_raise(ErrCat::Script, "bad-func-def", &fn);
    StackTop scope;
    Cell spec{TYPE_BLOCK, 0, fn.data2, 0};
    Cell* made = g_stack.top;
    Off fctx = function_push(&spec, &body, 0, ctx, fn.header & ~CELL_TYPE_MASK);
    GcRootNode keep_fctx(&fctx);
    Cell result = *made;
    // Object words first, then the function's own words, which take
    // precedence over fields of the same name.
    Cell copy = function_more_cells(&result)[0];
    context_bind_block(&copy, ctx, true);
    context_bind_block(&copy, fctx, false);
    *function = result;
}

void object_rebind_values(const Cell* source, const Cell* dest) {
    uint32_t n = words_count_of(source);
    for (uint32_t i = 0; i < n; i++) {
        Cell word = *context_word_cell_at(source->data1, i);
        int32_t at = context_find_word(dest->data1, word.data2, true);
        if (at < 0) continue;
        Cell v = *value_at(source->data1, i);
        *value_at(dest->data1, static_cast<uint32_t>(at)) = v;
        if (copied_by_rebind(v.type())) copy_field(dest, static_cast<uint32_t>(at), true, nullptr);
    }
}

void object_rebind_copied_values(const Cell* source, const Cell* dest, bool deep) {
    (void)source;
    uint32_t n = words_count_of(dest);
    for (uint32_t i = 0; i < n; i++) {
        uint32_t t = value_at(dest->data1, i)->type();
        if (copied_by_rebind(t)) {
            copy_field(dest, i, deep, nullptr);
            if (rebound_block(t)) {
                Cell block = *value_at(dest->data1, i);
                context_bind_block(&block, dest->data1, true);
            }
        } else if (t == TYPE_FUNCTION) {
            rebuild_field_function(dest, i);
        }
    }
}

bool object_merge_fields(Off ctx, const Cell* source_in) {
    StackTop scope;
    Cell* source = stack_push(source_in);
    // A rooted object cell for the destination, so copies can be stored.
    Cell* dest = stack_push(owner_cell(ctx));
    uint32_t before = field_count(ctx);
    for (uint32_t i = 0; i < words_count_of(source); i++) {
        Cell word = *context_word_cell_at(source->data1, i);
        Cell v = *value_at(source->data1, i);
        context_set_or_append(dest->data1, &word, &v);
        uint32_t at = static_cast<uint32_t>(context_find_word(dest->data1, word.data2, true));
        if (copied_by_deep(v.type())) copy_field(dest, at, true, nullptr);
        else if (v.is(TYPE_FUNCTION)) rebuild_field_function(dest, at);
    }
    return field_count(dest->data1) > before;
}

Cell* object_make(Cell* proto, Cell* spec_in, int32_t type) {
    (void)type;
    Cell* result = stack_push_cell();
    Cell* spec = stack_push(spec_in);
    bool has_proto = object_type_q(proto->type());
    if (has_proto) object_duplicate(proto, result, true, nullptr, false);
    else object_make_from_context(result, 4);
    uint32_t proto_class = has_proto ? proto->data2 : 0;
    bool added = false;
    if (object_type_q(spec->type())) {
        added = object_merge_fields(result->data1, spec);
    } else if (!spec->is(TYPE_BLOCK)) {
        error_raise(ErrCat::Syntax, "malconstruct", spec);
    } else {
        added = context_collect_set_words(result->data1, spec);
        context_values_ensure(result->data1, field_count(result->data1));
        context_bind_block(spec, result->data1, true);
        if (has_proto) object_rebind_copied_values(proto, result, false);
        Cell* value = stack_push_cell();
        interp_do_block(spec, value);
        object_clear_changed(result->data1);
        object_clear_cell_bit30(result->data1);
    }
    result->data2 = added || !has_proto ? object_new_id() : proto_class;
    store_in_owner_cell(result);
    object_init_events(result);
    g_stack.top = result + 1;
    return result;
}

Cell* object_copy(Cell* value, Cell* dest, const Cell* part, bool deep, const Cell* types) {
    if (part) {
        Cell refinement;
        refinement_from_cstring(&refinement, "part");
        error_raise(ErrCat::Script, "invalid-refine-arg", &refinement, part);
    }
    return object_duplicate(value, dest, deep, types, true);
}

Cell* object_construct(const Cell* spec_in, const Cell* proto, bool only) {
    Cell* result = stack_push_cell();
    Cell* spec = stack_push(spec_in);
    if (proto && object_type_q(proto->type())) {
        object_duplicate(proto, result, true, nullptr, true);
    } else {
        object_make_from_context(result, 4);
        result->data2 = object_new_id();
        copy_cell(result, owner_cell(result->data1));
    }
    object_construct_values(result, spec, only);
    g_stack.top = result + 1;
    return result;
}

bool object_construct_values(Cell* object, const Cell* spec_in, bool only) {
    StackTop scope;
    const Cell* spec = stack_push(spec_in);
    uint32_t before = words_count_of(object);
    auto cells = [&] { return arena_at<Cell>(node_buffer(spec->data2)->head); };
    auto length = [&] { return node_buffer(spec->data2)->used_bytes() / sizeof(Cell); };
    for (uint32_t i = spec->data1; i < length(); i++) {
        Cell word = cells()[i];
        if (!word.is(TYPE_SET_WORD)) continue;
        uint32_t j = i;
        while (j < length() && cells()[j].is(TYPE_SET_WORD)) j++;
        Cell value = j < length() ? cells()[j] : kNoneCell;
        if (!only && value.is(TYPE_WORD)) {
            uint32_t c = canon(value.data2);
            if (c == canon(g_sym.true_) || c == canon(g_sym.yes) || c == canon(g_sym.on))
                cell_set(&value, TYPE_LOGIC, 1);
            else if (c == canon(g_sym.false_) || c == canon(g_sym.no) || c == canon(g_sym.off))
                cell_set(&value, TYPE_LOGIC, 0);
            else if (c == canon(g_sym.none))
                cell_set(&value, TYPE_NONE);
        }
        value.header &= ~CELL_NEW_LINE;
        context_set_or_append(object->data1, &word, &value);
    }
    return words_count_of(object) > before;
}

// ---- fields ---------------------------------------------------------------------------

const Cell* object_get_field(const Cell* object, const Cell* word) {
    int32_t i = object_find_field(object, word);
    if (i < 0) return &kNoneCell;
    const Cell* v = value_at(object->data1, static_cast<uint32_t>(i));
    return v ? v : &kNoneCell;
}

int32_t object_find_field(const Cell* object, const Cell* word) {
    return context_find_word(object->data1, word->data2, true);
}

Cell* object_get_word(Off ctx, uint32_t i, Cell* out) { return copy_cell(context_word_cell_at(ctx, i), out); }

Cell* object_first_word(const Cell* object, Cell* out) {
    if (words_count_of(object) == 0) return copy_cell(&kNoneCell, out);
    return object_get_word(object->data1, 0, out);
}

uint32_t object_get_words_count(const Cell* object) { return words_count_of(object); }

Cell* object_get_values(const Cell* object) { return value_at(object->data1, 0); }

void object_clear_changed(Off ctx) {
    for (uint32_t i = 0; i < field_count(ctx); i++) context_word_cell_at(ctx, i)->header &= ~WORD_FIELD_CHANGED;
}

void object_clear_cell_bit30(Off ctx) {
    for (uint32_t i = 0; i < context_values_count(ctx); i++) value_at(ctx, i)->header &= ~CELL_NEW_LINE;
}

bool object_word_is_class_q(const Cell* word, uint32_t class_id) {
    const Cell* v = word_get_any(word);
    return v->is(TYPE_OBJECT) && v->data2 == class_id;
}

bool object_field_is_class_q(Off ctx, uint32_t i, uint32_t class_id) {
    const Cell* v = value_at(ctx, i);
    return v && v->is(TYPE_OBJECT) && v->data2 == class_id;
}

void object_set_field(const Cell* object_in, uint32_t index, const Cell* value_in) {
    Cell object = *object_in, value = *value_in;
    Off ctx = object.data1;
    GcRootCell keep_object(&object), keep_value(&value);
    GcRootNode keep_ctx(&ctx);
    context_values_ensure(ctx, index + 1);
    Cell old = *value_at(ctx, index);
    context_word_cell_at(ctx, index)->header |= WORD_FIELD_CHANGED;
    *value_at(ctx, index) = value;
    if (info_of(ctx)) {
        Cell word = *context_word_cell_at(ctx, index);
        object_fire_on_change(owner_cell(ctx), &word, &old, &value);
    }
}

void object_set_all(const Cell* object_in, const Cell* value_in, bool any, bool some, bool only) {
    StackTop scope;
    Cell* object = stack_push(object_in);
    Cell* value = stack_push(value_in);
    uint32_t n = words_count_of(object);
    bool from_block = !only && value->is(TYPE_BLOCK);
    bool from_object = !only && object_type_q(value->type());
    uint32_t skip_a = 0xFFFFFFFF, skip_b = 0xFFFFFFFF;
    if (info_of(object->data1)) {
        skip_a = static_cast<uint32_t>(find_field_symbol(object->data1, g_words.on_change.data2));
        skip_b = static_cast<uint32_t>(find_field_symbol(object->data1, g_words.on_deep_change.data2));
    }
    // The value for field i, or false when the field is left alone.
    auto source = [&](uint32_t i, Cell* out) -> bool {
        if (from_block) {
            int32_t len = series_length(value);
            if (static_cast<int32_t>(i) < len) *out = *block_cell_at(value, value->data1 + i);
            else cell_set(out, TYPE_NONE);
            return true;
        }
        if (from_object) {
            Cell word = *context_word_cell_at(object->data1, i);
            int32_t at = context_find_word(value->data1, word.data2, true);
            if (at < 0) return false;
            *out = *value_at(value->data1, static_cast<uint32_t>(at));
            return true;
        }
        *out = *value;
        return true;
    };
    if ((from_block || from_object) && !any && !some) {
        uint32_t last = from_block ? std::min<uint32_t>(n, static_cast<uint32_t>(series_length(value))) : n;
        for (uint32_t i = 0; i < last; i++) {
            Cell v;
            if (source(i, &v) && v.is(TYPE_UNSET)) {
                Cell word = *context_word_cell_at(object->data1, i);
                error_raise(ErrCat::Script, "need-value", &word);
            }
        }
    }
    for (uint32_t i = 0; i < n; i++) {
        if (i == skip_a || i == skip_b) continue;
        Cell v;
        if (!source(i, &v)) continue;
        if (some && v.is(TYPE_NONE)) continue;
        v.header &= ~CELL_NEW_LINE;
        object_set_field(object, i, &v);
    }
}

// ---- change notification ------------------------------------------------------------------

void object_fire_on_change(const Cell* object, const Cell* word, const Cell* old_value, const Cell* new_value) {
    Off ctx = object->data1;
    int32_t index = handler_index(ctx, 0);
    if (index < 0) return;
    Cell fn = *value_at(ctx, static_cast<uint32_t>(index));
    if (!fn.is(TYPE_FUNCTION)) error_raise(ErrCat::Script, "invalid-obj-evt", &fn);
    refresh_handler_cache(ctx, 0, &fn);
    Cell args[3] = {bound_word(word, ctx), *old_value, *new_value};
    call_handler(&fn, &g_words.on_change, args, 3, ctx);
}

void object_fire_on_deep_change(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                                const Cell* value, int32_t index, int32_t part) {
    Off ctx = owner->data1;
    if (!info_of(ctx)) error_raise(ErrCat::Script, "invalid-obj-evt", owner);
    int32_t at = handler_index(ctx, 1);
    if (at < 0) return;
    Cell fn = *value_at(ctx, static_cast<uint32_t>(at));
    if (!fn.is(TYPE_FUNCTION)) return;
    refresh_handler_cache(ctx, 1, &fn);
    Cell args[7] = {*owner_cell(ctx), *word, *target, *action, *value,
                    {TYPE_INTEGER, 0, static_cast<uint32_t>(index), 0},
                    {TYPE_INTEGER, 0, static_cast<uint32_t>(part), 0}};
    if (args[4].type() == 0) cell_set_unset(&args[4]);
    call_handler(&fn, &g_words.on_deep_change, args, 7, ctx);
}

// ---- paths, select, put, modify --------------------------------------------------------------

namespace {

bool field_key_q(uint32_t t) {
    return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD;
}

// The field index of a path element, rebinding the element to the object
// when it names a field; -1 when absent.
int32_t element_index(Cell* element, Off ctx) {
    if (element->data1 == ctx && element->data3 != kWordUnresolved && element->data3 < field_count(ctx))
        return static_cast<int32_t>(element->data3);
    int32_t index = context_find_word(ctx, element->data2, true);
    if (index >= 0) {
        element->data1 = ctx;
        element->data3 = static_cast<uint32_t>(index);
    }
    return index;
}

// Shared by paths and put: get (value null) or set a field.
Cell* field_access(Cell* parent, Cell* element, Cell* value, const EvalPathArgs& args) {
    const Cell* path = args.path ? args.path : element;
    if (!field_key_q(element->type())) error_raise(ErrCat::Script, "invalid-path", path, element);
    Off ctx = parent->data1;
    int32_t index = element_index(element, ctx);
    bool absent = index < 0 || (!value && value_at(ctx, static_cast<uint32_t>(index))->is(TYPE_UNSET));
    if (absent) {
        if (!args.tail) error_raise(ErrCat::Script, "unset-path", path, element);
        if (args.get && !value) return stack_push_cell();
        error_raise(ErrCat::Script, "invalid-path", path, element);
    }
    if (!value) return value_at(ctx, static_cast<uint32_t>(index));
    object_set_field(parent, static_cast<uint32_t>(index), value);
    return value;
}

}  // namespace

Cell* object_eval_path(Cell* parent, Cell* element, Cell* value, const EvalPathArgs& args) {
    return field_access(parent, element, value, args);
}

Cell* object_select(Cell* object, Cell* key, const FindArgs& args) {
    (void)args;
    if (!field_key_q(key->type())) {
        Cell dt;
        datatype_set(&dt, key->type());
        error_raise(ErrCat::Script, "invalid-type", &dt);
    }
    return const_cast<Cell*>(object_get_field(object, key));
}

Cell* object_put(Cell* object, Cell* key, Cell* value, bool case_) {
    (void)case_;
    if (!key->is(TYPE_WORD)) {
        Cell dt;
        datatype_set(&dt, key->type());
        error_raise(ErrCat::Script, "invalid-key-type", &dt);
    }
    EvalPathArgs args;
    args.tail = true;
    Cell element = *key;
    field_access(object, &element, value, args);
    return value;
}

Cell* object_modify(Cell* object, Cell* field, Cell* value, bool case_) {
    (void)case_;
    uint32_t c = field_key_q(field->type()) ? canon(field->data2) : 0;
    if (c == canon(g_words.changed.data2)) {
        if (!value->is(TYPE_NONE)) error_raise(ErrCat::Script, "invalid-arg", value);
        object_clear_changed(object->data1);
    } else if (c == canon(g_sym.owner)) {
        Cell self = *object, word = g_words.on_deep_change;
        symctx_owner_set_flagged(&self, &self, &word);
    } else if (c == canon(g_sym.owned)) {
        if (value->is(TYPE_NONE)) {
            symctx_owner_clear(object);
        } else if (value->is(TYPE_BLOCK) && series_length(value) >= 2) {
            Cell owner = *block_cell_at(value, value->data1), word = *block_cell_at(value, value->data1 + 1);
            symctx_owner_set(object, &owner, &word);
        }
    }
    return value;
}

// ---- reflection ---------------------------------------------------------------------

namespace {

// Pushes a copy of a block node's cells.
Cell* clone_node(Off node) {
    Cell block{TYPE_BLOCK, 0, node, 0};
    return block_clone(&block, false, false);
}

Cell* reflect_body(const Cell* object) {
    uint32_t n = words_count_of(object);
    Cell* out = block_push_only(static_cast<int32_t>(2 * n));
    for (uint32_t i = 0; i < n; i++) {
        Cell word = *context_word_cell_at(object->data1, i);
        cell_set_type(&word, TYPE_SET_WORD);
        word.header = (word.header & ~WORD_FIELD_CHANGED) | CELL_NEW_LINE;
        Cell v = *value_at(object->data1, i);
        if (v.is(TYPE_WORD)) cell_set_type(&v, TYPE_LIT_WORD);
        else if (v.is(TYPE_PATH)) cell_set_type(&v, TYPE_LIT_PATH);
        v.header &= ~CELL_NEW_LINE;
        GcRootCell keep(&v);  // the first append may collect
        block_append_value(out, &word);
        block_append_value(out, &v);
    }
    return out;
}

}  // namespace

Cell* object_reflect(Cell* object, int32_t field_symbol) {
    uint32_t c = canon(static_cast<uint32_t>(field_symbol));
    Off ctx = object->data1;
    if (c == canon(g_words.changed.data2)) {
        Cell* out = block_push_only(static_cast<int32_t>(field_count(ctx)));
        for (uint32_t i = 0; i < field_count(object->data1); i++) {
            Cell word = *context_word_cell_at(object->data1, i);
            if (!(word.header & WORD_FIELD_CHANGED)) continue;
            word.header &= ~WORD_FIELD_CHANGED;
            block_append_value(out, &word);
        }
        return out;
    }
    if (c == canon(g_sym.class_)) {
        Cell* out = stack_push_cell();
        cell_set(out, TYPE_INTEGER, 0, object->data2);
        return out;
    }
    if (c == canon(g_sym.words)) {
        Cell* out = clone_node(context_words_node(ctx));
        for (uint32_t i = 0; i < field_count(object->data1); i++) {
            Cell* w = block_cell_at(out, i);
            w->header &= ~WORD_FIELD_CHANGED;
        }
        return out;
    }
    if (c == canon(g_sym.values)) return clone_node(context_cell(ctx)->data2);
    if (c == canon(g_sym.body)) return reflect_body(object);
    if (c == canon(g_sym.owner) || c == canon(g_sym.events_q)) {
        bool flag = c == canon(g_sym.owner) ? (context_cell(ctx)->header & CONTEXT_TRACKED) != 0 : info_of(ctx) != 0;
        Cell* out = stack_push_cell();
        cell_set(out, TYPE_LOGIC, flag ? 1u : 0u);
        return out;
    }
    error_raise(ErrCat::Internal, "not-done");
}

// ---- text forms ----------------------------------------------------------------------

int32_t object_mold_fields(const Cell* object_in, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                           int32_t limit, bool indent, int32_t level, bool leading_newline) {
    StackTop scope;
    const Cell* object = stack_push(object_in);
    uint32_t n = field_count(object->data1);
    if (n == 0) return limit;
    uint32_t on_change = canon(g_words.on_change.data2), on_deep = canon(g_words.on_deep_change.data2);
    auto shown = [&](uint32_t i) {
        uint32_t c = canon(context_word_cell_at(object->data1, i)->data2);
        return all || (c != on_change && c != on_deep);
    };
    char separator = flat ? ' ' : '\n';
    if (flat) indent = false;
    if (!flat && leading_newline) {
        if (only) {
            indent = false;
        } else {
            string_append_char(buffer, '\n');
            limit--;
        }
    }
    CycleGuard guard(object->data1);
    for (uint32_t i = 0; i < n; i++) {
        if (limit < 1) break;
        if (!shown(i)) continue;
        if (indent) limit = mold_indent(buffer, level, limit);
        Cell* word = stack_push(context_word_cell_at(object->data1, i));
        word->header &= ~(WORD_FIELD_CHANGED | CELL_NEW_LINE);
        limit = actions_mold_call(word, buffer, false, all, flat, part, limit, level);
        string_append_ascii(buffer, ": ", 2);
        limit -= 2;
        const Cell* slot = value_at(object->data1, i);
        Cell* v = stack_push(slot ? slot : word);
        if (!slot || v->type() == 0) cell_set_unset(v);
        v->header &= ~CELL_NEW_LINE;
        // The text of an object is evaluated to remake it: a word or a path
        // value is quoted so that it reads back as itself, not as a lookup.
        if (v->is(TYPE_WORD) || v->is(TYPE_PATH)) {
            string_append_char(buffer, '\'');
            limit--;
        }
        limit = actions_mold_call(v, buffer, false, all, flat, part, limit, level);
        stack_pop(2);
        bool more = false;
        for (uint32_t k = i + 1; k < n && !more; k++) more = shown(k);
        if (indent || more) {
            string_append_char(buffer, static_cast<uint32_t>(separator));
            limit--;
        }
    }
    return limit;
}

int32_t object_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                    int32_t indent) {
    if (cycles_mold_marker(value, buffer, limit, true)) return limit;
    if (!only) {
        string_append_ascii(buffer, "make object! [", 14);
        limit -= 14;
    }
    limit = object_mold_fields(value, buffer, only, all, flat, part, limit, true, indent + 1, true);
    if (!flat && indent >= 1 && !only) limit = mold_indent(buffer, indent, limit);
    if (!only) {
        string_append_char(buffer, ']');
        limit--;
    }
    return limit;
}

int32_t object_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit) {
    if (cycles_mold_marker(value, buffer, limit, false)) return limit;
    return object_mold_fields(value, buffer, false, false, false, part, limit, false, 0, false);
}

// ---- comparison ------------------------------------------------------------------------

int32_t object_compare(const Cell* value1, const Cell* value2, int32_t op) {
    if (value2->type() != value1->type()) return kCompareIncomparable;
    Off a = value1->data1, b = value2->data1;
    if (a == b) return 0;
    if (op == COMP_SAME) return -1;
    if (int32_t order = cycles_compare_order(a, b); order != 2) return order;  // as for blocks
    uint32_t na = field_count(a), nb = field_count(b);
    if (na != nb) return na > nb ? 1 : -1;
    // Ordering two field values may allocate (words compare their
    // spellings as strings); a collection then may move both contexts.
    GcRootNode keep(&a, &b);
    CycleDepthGuard depth;
    cycles_push(a);
    cycles_push(b);
    for (uint32_t i = 0; i < na; i++) {
        uint32_t sa = canon(context_word_cell_at(a, i)->data2), sb = canon(context_word_cell_at(b, i)->data2);
        if (sa != sb) return sa < sb ? -1 : 1;
        Cell va = *value_at(a, i), vb = *value_at(b, i);
        uint32_t ta = va.type(), tb = vb.type();
        auto number = [](uint32_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; };
        int32_t r;
        if (ta == tb || (word_type_q(ta) && word_type_q(tb)) || (number(ta) && number(tb)))
            r = actions_compare_values(&va, &vb, op);
        else
            r = static_cast<int32_t>(ta) - static_cast<int32_t>(tb);
        if (r != 0) return r;
    }
    return 0;
}

// ---- change hooks and registration -------------------------------------------------------

namespace {

void context_changed(const Cell* owner, const Cell* word, const Cell* old_value, const Cell* new_value) {
    object_fire_on_change(owner, word, old_value, new_value);
}

void owner_deep_changed(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                        const Cell* value, int32_t index, int32_t part) {
    object_fire_on_deep_change(owner, word, target, action, value, index, part);
}

}  // namespace

void object_gc_mark(Cell* c) {
    if (!c->data1) return;
    if (g_gc_mark_context) g_gc_mark_context(&c->data1);
    else gc_mark_node_cells(&c->data1);
    // The change information is read through the owner cell only, so that
    // slot alone holds its node (copies keep a stale but non-zero word).
    if (c->data3 && c == owner_cell(c->data1)) gc_mark_node(&c->data3);
}

void object_init() {
    TypeRow(TYPE_OBJECT)
        .set<ACT_MAKE>(object_make)
        .set<ACT_REFLECT>(object_reflect)
        .set<ACT_FORM>(object_form)
        .set<ACT_MOLD>(object_mold)
        .set<ACT_EVAL_PATH>(object_eval_path)
        .set<ACT_COMPARE>(object_compare)
        .set<ACT_COPY>(object_copy)
        .set<ACT_PUT>(object_put)
        .set<ACT_SELECT>(object_select)
        .set<ACT_MODIFY>(object_modify)
        .commit();
    gc_set_type_marker(TYPE_OBJECT, object_gc_mark);
    g_context_on_change = context_changed;
    g_owner_fire_deep_change = owner_deep_changed;
}

}  // namespace kel
