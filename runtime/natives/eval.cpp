// The natives that evaluate values, reach words and print: do, get, set,
// print, prin, reduce, compose, bind, in.
//
// Invariants:
//  - every value these natives hold while script code runs sits in a cell of
//    the evaluation stack (their own frame's arguments or cells pushed above
//    them), and series are re-read through those cells after each
//    evaluation;
//  - an evaluation that leaves a fast-path exit pending makes the native
//    return at once without touching the stacks (the lander sets them right);
//  - the shared print buffer is cut back to where a print found it on every
//    way out, so nested and failing prints leave it intact.
#include <string>

#include "runtime/actions.h"
#include "runtime/cycles.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/error.h"
#include "runtime/error_catalog.h"
#include "runtime/eval_deps.h"
#include "runtime/exits.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/natives.h"
#include "runtime/natives/natives_impl.h"
#include "runtime/natives/value_natives.h"
#include "runtime/output.h"
#include "runtime/spec_text.h"
#include "runtime/stack.h"
#include "runtime/typecheck.h"

namespace kel {

bool g_print_newline_flag = false;

namespace {

inline Cell* cells_of(Off node) { return arena_at<Cell>(node_buffer(node)->head); }
inline uint32_t cell_count(Off node) {
    SeriesBuf* b = node_buffer(node);
    return (b->tail - b->head) >> 4;
}

bool callable_type(uint32_t t) {
    return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP || t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}

bool object_type(uint32_t t) { return t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_PORT; }

void result_none() {
    cell_set(stack_arguments(), TYPE_NONE);
    stack_keep();
}

// A frame that error reports skip, for natives that evaluate on their own.
void mark_hidden(uint32_t symbol) { stack_mark_native(symbol); }

// Pops the innermost frame and puts the data top back at `top`.
void unwind_to(Cell* top) {
    stack_unwind();
    g_stack.top = top;
}

// Evaluates `value` as one expression into the current frame's result slot
// (a word gives its value, a function is called, a path is evaluated ...).
// False when an exit is left pending.
bool eval_single(const Cell* value) {
    Cell* held = stack_push(value);
    Cell* code = stack_push_cell();
    cell_set(code, TYPE_BLOCK, 0, alloc_cells(1), 0);
    copy_cell(held, block_buffer_append_slot(node_buffer(code->data2)));
    interp_eval_next(code->data2, 0, 1, false);
    if (exit_pending()) return false;
    stack_pop(2);
    return true;
}

// ---- adding values to a destination block ------------------------------------------------

// A destination: a block cell on the stack that values are appended to (its
// head stays) or inserted into (its head moves past each insertion).
struct Dest {
    Cell* cell;
    bool append;
};

void dest_add(const Dest& d, Cell* value, bool splice) {
    if (d.append) {
        uint32_t from = cell_count(d.cell->data2);
        if (splice) block_append_all(d.cell, value);
        else block_append_value(d.cell, value);
        series_hash_appended(d.cell, from, cell_count(d.cell->data2) - from);
        return;
    }
    Cell* r = action_fn<ACT_INSERT>(d.cell->type())(d.cell, value, -1, !splice, 1, false);
    copy_cell(r, d.cell);
}

// Appends at the tail when the block is at its tail, inserts at its head
// otherwise.
Dest dest_for(Cell* out) { return Dest{out, series_at_tail_q(out)}; }

// Adds the values of the block `made` to `d` at once, reporting an append to
// the owner of the block as adding them one by one does.
void dest_add_all(const Dest& d, Cell* made) {
    uint32_t added = static_cast<uint32_t>(series_length(made));
    if (added == 0) return;
    uint32_t old_len = static_cast<uint32_t>(series_length_total(d.cell));
    dest_add(d, made, true);
    if (d.append) owner_before(d.cell, OwnerEvent::Insert, nullptr, static_cast<int32_t>(old_len),
                               static_cast<int32_t>(added));
}

// Fills `d` (made for `out`, or a new block when `out` is null) from the
// block `src` through `fill`, the walk of reduce or compose. Into a block of
// the source's own buffer the values are gathered first and added at once:
// added one by one, the walk would read back what it added and never reach
// the end.
template <typename Fill>
bool fill_dest(Cell* src, const Cell* out, const Dest& d, Fill fill) {
    if (!out || out->data2 != src->data2) return fill(d);
    Cell* made = stack_push_cell();
    block_make_at(made, series_length(src));
    if (!fill(Dest{made, true})) return false;
    dest_add_all(d, made);
    return true;
}

// ---- reduce -----------------------------------------------------------------------------------

// Evaluates the expressions of the block in `src` one by one into `d`.
bool reduce_block_into(Cell* src, const Dest& d) {
    uint32_t old_len = static_cast<uint32_t>(series_length_total(d.cell));
    Cell* top = g_stack.top;
    mark_hidden(g_stack.body_symbol);
    uint32_t pos = src->data1;
    uint32_t added = 0;
    while (pos < cell_count(src->data2)) {
        stack_reset();
        pos = interp_eval_next(src->data2, pos, cell_count(src->data2), false);
        if (exit_pending()) return false;
        Cell* v = stack_arguments();
        cell_clear_newline(v);
        dest_add(d, v, false);
        added++;
    }
    unwind_to(top);
    // Appending reports the change to the owner of the block, as insert does.
    if (d.append && added) owner_before(d.cell, OwnerEvent::Insert, nullptr, static_cast<int32_t>(old_len),
                                        static_cast<int32_t>(added));
    return true;
}

// ---- compose ------------------------------------------------------------------------------------

// Inserting into the middle of a block moves every cell after the insertion
// point, so inserting a long composition one value at a time costs its
// length times that tail. Cells that need no evaluation are gathered into a
// run and inserted at once; the run is put in before anything is evaluated,
// so evaluated code sees the destination as one-at-a-time insertion leaves
// it. A block with an owner keeps one insert (and one owner report) a value.
struct ComposeRun {
    const Dest& d;
    Cell* run = nullptr;  // on the stack below every value's scratch cells

    explicit ComposeRun(const Dest& dest) : d(dest) {
        if (d.append) return;
        run = stack_push_cell();
        block_make_at(run, 8);
    }
    void add(Cell* value) {
        if (!run || (node_buffer(d.cell->data2)->flags & SERIES_OWNED)) {
            flush();
            dest_add(d, value, false);
            return;
        }
        block_append_value(run, value);
    }
    void flush() {
        if (!run || cell_count(run->data2) == 0) return;
        dest_add(d, run, true);
        block_make_at(run, 8);
    }
    // Puts the last run in and drops the run's cell from the stack.
    void finish() {
        flush();
        if (run) g_stack.top = run;
    }
};

// The blocks a compose/deep is inside, innermost first. Each entry names a
// stack cell holding the block, so it stays right when a collection moves
// nodes. The walk keeps this list of its own rather than the shared cycle
// stack: parens run script code whose mold, copy/deep or compose must not see
// this walk's blocks as cycles of theirs.
struct ComposePath {
    const Cell* block;
    const ComposePath* up;
    uint32_t depth;

    bool holds(Off node) const {
        for (const ComposePath* p = this; p; p = p->up)
            if (p->block->data2 == node) return true;
        return false;
    }
};

// With /deep a block already on the way down is a cycle and goes in as it is.
bool compose_block(Cell* src, const Dest& d, bool deep, bool only, const ComposePath* up) {
    ComposePath here{src, up, up ? up->depth + 1 : 1};
    if (here.depth >= kCycleCapacity) error_raise(ErrCat::Internal, "too-deep");
    ComposeRun pending(d);
    for (uint32_t i = src->data1; i < cell_count(src->data2); i++) {
        Cell c = cells_of(src->data2)[i];
        Cell* top = g_stack.top;
        if (c.is(TYPE_BLOCK)) {
            Cell* part = stack_push(&c);
            if (deep && !here.holds(c.data2)) {
                pending.flush();
                Cell* inner = stack_push_cell();
                block_make_at(inner, series_length(part));
                if (!compose_block(part, Dest{inner, true}, deep, only, &here)) return false;
                inner->header |= c.header & CELL_NEW_LINE;
                part = inner;
            }
            pending.add(part);
        } else if (c.is(TYPE_PAREN)) {
            if (c.data1 >= cell_count(c.data2)) continue;
            // Putting the run in allocates, and a collection may move the
            // paren's node: its cell is read again.
            pending.flush();
            c = cells_of(src->data2)[i];
            mark_hidden(g_stack.anon_symbol);
            interp_eval_block(&c, true);
            if (exit_pending()) return false;
            stack_unwind();
            Cell* v = top;
            if (v->is(TYPE_BLOCK) && !only) {
                if (!series_at_tail_q(v)) dest_add(d, v, true);
            } else if (!v->is(TYPE_UNSET)) {
                dest_add(d, v, false);
            }
        } else {
            pending.add(stack_push(&c));
        }
        g_stack.top = top;
    }
    pending.finish();
    return true;
}

// ---- do ---------------------------------------------------------------------------------------------

// The value a global word names, which must be a function of some kind.
const Cell* library_function(const char* name) {
    Cell word = natives_global_word(name);
    const Cell* v = word_get_any(&word);
    if (v->is(TYPE_UNSET)) error_raise(ErrCat::Script, "no-value", &word);
    if (!callable_type(v->type())) error_raise(ErrCat::Script, "invalid-arg", v);
    return v;
}

// do/expand: the preprocessor's `expand` expands the block's directives.
bool expand_directives(const Cell* block) {
    Cell code;
    block_from_text("preprocessor/expand", &code);
    Cell path = cells_of(code.data2)[0];
    Cell* fn = stack_push_cell();
    if (!interp_path_access(&path, nullptr, false, fn)) return false;
    if (!callable_type(fn->type())) error_raise(ErrCat::Script, "invalid-arg", fn);
    Cell args[3] = {*block, {TYPE_NONE, 0, 0, 0}, {TYPE_LOGIC, 0, 0, 0}};
    if (!natives_call_positional(fn, args, 3)) return false;
    stack_pop(2);
    return true;
}

// Raises an error! value again, as it was made.
[[noreturn]] void raise_error_value(const Cell* error) {
    KelThrow t;
    t.code = EXIT_ERROR;
    copy_cell(error, &t.value);
    uint32_t type = error_get_type(error), id = error_get_id(error);
    if (type && id) {
        int category = error_catalog_find_category(symbol_name(symbol_resolve(type)));
        t.category = category >= 0 ? static_cast<ErrCat>(category) : ErrCat::User;
        t.id = std::string(symbol_name(id));
        for (uint32_t i = 0; i < 3; i++) copy_cell(error_field(error, static_cast<ErrorField>(ERR_ARG1 + i)), &t.args[i]);
        copy_cell(error_field(error, ERR_WHERE), &t.where);
    } else {
        // A bare error! cell: the category and the id's symbol in its payload.
        t.category = static_cast<ErrCat>(error->data2);
        t.id = error->data3 ? std::string(symbol_name(error->data3)) : std::string("invalid-error");
        for (Cell& c : t.args) cell_set_unset(&c);
    }
    t.frame_depth = stack_depth();
    throw t;
}

// The block forms: evaluated whole, or one expression with /next.
bool do_block(const int32_t* refs) {
    Cell* a = stack_arguments();
    uint32_t n = cell_count(a->data2);
    if (a->data1 > n) a->data1 = n;
    if (refs[0] >= 0 && !expand_directives(a)) return false;
    if (refs[2] >= 0) {
        Cell* block = stack_push(a);
        uint32_t pos = interp_eval_next_at(block);
        if (exit_pending()) return false;
        block->data1 = pos;
        Cell word = a[refs[2]];
        word_set(&word, block);
        stack_keep();
        return true;
    }
    Cell block = *a;
    interp_eval_block(&block, true);
    if (exit_pending()) return false;
    stack_keep();
    return true;
}

bool do_value(const int32_t* refs) {
    Cell* a = stack_arguments();
    switch (a->type()) {
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH:
        return do_block(refs);
    case TYPE_STRING: {
        Cell* loaded = stack_push_cell();
        lexer_load_string(loaded, a, -1, false, true, true, false, nullptr, nullptr, nullptr);
        copy_cell(loaded, a);
        stack_pop(1);
        return do_block(refs);
    }
    case TYPE_FILE:
    case TYPE_URL: {
        // do-file takes the script, a trace callback (none here) and the
        // /args value.
        const Cell* fn = library_function("do-file");
        Cell* callable = stack_push(fn);
        Cell args[3] = {*a, {TYPE_NONE, 0, 0, 0}, {TYPE_NONE, 0, 0, 0}};
        if (refs[1] >= 0) copy_cell(a + refs[1], &args[2]);
        if (!natives_call_positional(callable, args, 3)) return false;
        copy_cell(stack_top(), a);
        stack_keep();
        return true;
    }
    case TYPE_ERROR:
        raise_error_value(a);
    default: {
        Cell value = *a;
        if (!eval_single(&value)) return false;
        stack_keep();
        return true;
    }
    }
}

// do/trace: the callback sees the events of this evaluation only.
struct TraceSession {
    bool started = false;
    Cell saved_callback{TYPE_NONE, 0, 0, 0};
    uint32_t saved_mask = 0;
    GcRootCell root{&saved_callback};

    void start(const Cell* callback) {
        saved_callback = g_interp.callback;
        saved_mask = g_interp.mask;
        g_interp.callback = *callback;
        g_interp.mask = interp_trace_mask(callback);
        g_interp.on = true;
        started = true;
        interp_trace_hook(TRACE_INIT, nullptr, -1, nullptr, nullptr);
    }
    // Sends `end` (only when the evaluation came back normally or with a
    // fast-path exit: after an error the stacks are not fit for a callback)
    // and puts the trace state back, also when the callback raises an error.
    void finish(bool send_end) {
        if (!started) return;
        started = false;
        struct Reset {
            TraceSession* session;
            ~Reset() {
                g_interp.on = false;
                g_interp.callback = session->saved_callback;
                g_interp.mask = session->saved_mask;
            }
        } reset{this};
        if (send_end) {
            uint32_t thrown = g_thrown, target = g_thrown_target;
            g_thrown = 0;
            interp_trace_hook(TRACE_END, nullptr, -1, nullptr, thrown ? nullptr : stack_arguments());
            g_thrown = thrown;
            g_thrown_target = target;
        }
    }
    ~TraceSession() { finish(false); }
};

// ---- print ----------------------------------------------------------------------------------------

// Cuts the shared buffer back to `cut` cells and its head to `head`.
struct PrintBufferGuard {
    uint32_t cut, head;
    ~PrintBufferGuard() {
        block_set_tail(&g_print_buffer, cut);
        g_print_buffer.data1 = head;
    }
};

// ---- set -----------------------------------------------------------------------------------------

bool any_word(uint32_t t) { return t >= TYPE_WORD && t <= TYPE_GET_WORD; }

// set [words] value: element by element from a block value, else the value
// to every word; /some leaves the words whose value would be none!.
void set_words(Cell* words, Cell* value, bool any, bool only, bool some) {
    Off wnode = words->data2;
    for (uint32_t i = words->data1; i < cell_count(wnode); i++) {
        Cell w = cells_of(wnode)[i];
        if (!any_word(w.type())) error_raise(ErrCat::Script, "invalid-arg", &w);
    }
    Cell* top = g_stack.top;
    mark_hidden(g_stack.anon_symbol);
    bool spread = value->is(TYPE_BLOCK) && !only;
    Cell* item = stack_push_cell();
    for (uint32_t i = words->data1, k = 0; i < cell_count(words->data2); i++, k++) {
        if (spread) {
            uint32_t at = value->data1 + k;
            if (at < cell_count(value->data2)) copy_cell(cells_of(value->data2) + at, item);
            else cell_set(item, TYPE_NONE);
        } else {
            copy_cell(value, item);
        }
        // Setting a field may run its object's on-change*, which may change
        // the block of words: each cell is checked again as it is reached.
        Cell w = cells_of(words->data2)[i];
        if (!any_word(w.type())) error_raise(ErrCat::Script, "invalid-arg", &w);
        if (some && item->is(TYPE_NONE)) continue;
        if (!any && item->is(TYPE_UNSET)) error_raise(ErrCat::Script, "need-value", &w);
        word_set(&w, item);
    }
    unwind_to(top);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------

void native_do(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(20, refs);
    TraceSession trace;
    if (refs[3] >= 0 && !g_interp.on) trace.start(stack_arguments() + refs[3]);
    do_value(refs);
    trace.finish(true);
}

void native_get(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(21, refs);
    Cell* a = stack_arguments();
    bool any = refs[0] >= 0, case_ = refs[1] >= 0;
    uint32_t t = a->type();
    if (t >= TYPE_PATH && t <= TYPE_GET_PATH) {
        Cell out;
        if (!interp_path_access(a, nullptr, case_, &out)) return;
        copy_cell(&out, a);
    } else if (t == TYPE_OBJECT) {
        copy_cell(object_reflect(a, static_cast<int32_t>(symbol_make("values"))), a);
    } else if (word_type_q(t)) {
        const Cell* v = word_get_any(a);
        if (v->is(TYPE_UNSET) && !any) error_raise(ErrCat::Script, "no-value", a);
        copy_cell(v, a);
    } else {
        natives_raise_expect_arg(a, "word");
    }
    stack_keep();
}

void native_set(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(22, refs);
    Cell* a = stack_arguments();
    bool any = refs[0] >= 0, case_ = refs[1] >= 0, only = refs[2] >= 0, some = refs[3] >= 0;
    if (!any && a[1].is(TYPE_UNSET)) error_raise(ErrCat::Script, "need-value", a);
    uint32_t t = a->type();
    if (word_type_q(t)) {
        word_set(a, &a[1]);
        copy_cell(&a[1], a);
    } else if (t >= TYPE_PATH && t <= TYPE_GET_PATH) {
        Cell out;
        if (!interp_path_access(a, &a[1], case_, &out)) return;
        copy_cell(&out, a);
    } else if (t == TYPE_OBJECT) {
        object_set_all(a, &a[1], any, some, only);
        copy_cell(&a[1], a);
    } else if (t == TYPE_BLOCK) {
        set_words(a, &a[1], any, only, some);
        copy_cell(&a[1], a);
    } else {
        natives_raise_expect_arg(a, "word");
    }
    stack_keep();
}

void natives_print_value(bool newline) {
    Cell* a = stack_arguments();
    PrintBufferGuard guard{cell_count(g_print_buffer.data2), g_print_buffer.data1};
    if (a->is(TYPE_BLOCK)) {
        g_print_buffer.data1 = guard.cut;
        Cell* buffer = stack_push(&g_print_buffer);
        if (!reduce_block_into(a, Dest{buffer, true})) return;
        copy_cell(buffer, a);
    }
    Cell* text = stack_push_cell();
    if (a->is(TYPE_STRING)) {
        copy_cell(a, text);
        int32_t total = series_length_total(text);
        if (series_index(text) > total) series_set_index(text, total);
    } else {
        string_make(text, 16);
        actions_form_call(a, text, nullptr, kNoPartLimit);
    }
    output_hooks_call(text, newline);
    g_print_newline_flag = newline;
    cell_set_unset(a);
    stack_keep();
}

void native_print(int32_t, const int32_t*) { natives_print_value(true); }
void native_prin(int32_t, const int32_t*) { natives_print_value(false); }

void native_reduce(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(35, refs);
    Cell* a = stack_arguments();
    Cell* out = refs[0] >= 0 ? a + refs[0] : nullptr;
    if (a->is(TYPE_BLOCK)) {
        Cell* dest = out;
        if (!dest) {
            dest = stack_push_cell();
            block_make_at(dest, series_length(a));
        }
        Dest d = out ? dest_for(dest) : Dest{dest, true};
        if (!fill_dest(a, out, d, [a](const Dest& to) { return reduce_block_into(a, to); })) return;
        copy_cell(dest, a);
        return stack_keep();
    }
    if (callable_type(a->type())) return stack_keep();
    Cell value = *a;
    if (!eval_single(&value)) return;
    if (out) {
        Dest d = dest_for(out);
        uint32_t old_len = static_cast<uint32_t>(series_length_total(out));
        Cell* v = stack_push(a);
        dest_add(d, v, false);
        if (d.append) owner_before(out, OwnerEvent::Insert, nullptr, static_cast<int32_t>(old_len), 1);
        copy_cell(out, a);
    }
    stack_keep();
}

void native_compose(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(36, refs);
    Cell* a = stack_arguments();
    if (!a->is(TYPE_BLOCK)) {
        Cell want, got;
        datatype_set(&want, TYPE_BLOCK);
        datatype_set(&got, a->type());
        error_raise(ErrCat::Script, "expect-val", &want, &got);
    }
    bool deep = refs[0] >= 0, only = refs[1] >= 0;
    Cell* out = refs[2] >= 0 ? a + refs[2] : nullptr;
    Cell* dest = out;
    if (!dest) {
        dest = stack_push_cell();
        block_make_at(dest, series_length(a));
    }
    Dest d = out ? dest_for(dest) : Dest{dest, true};
    int32_t old_len = series_length_total(dest);
    bool same_buffer = out && out->data2 == a->data2;  // reported by the gathering step
    if (!fill_dest(a, out, d, [=](const Dest& to) { return compose_block(a, to, deep, only, nullptr); })) return;
    // Appending reports the change to the owner of the block, as reduce does
    // (a paren may have cut the block meanwhile: then nothing is reported).
    int32_t added = series_length_total(dest) - old_len;
    if (out && d.append && !same_buffer && added > 0) owner_before(dest, OwnerEvent::Insert, nullptr, old_len, added);
    copy_cell(dest, a);
    stack_keep();
}

namespace {

// The context a bind or in argument stands for: a word's own, an object's,
// a function's.
Off context_of(const Cell* v) {
    if (!v->data1) word_raise_unbound(v);
    return v->data1;
}

// Every series type, for copies that leave nothing shared.
Cell all_series_types() {
    Cell types{TYPE_TYPESET, 0, 0, 0};
    for (uint32_t t = 1; t <= static_cast<uint32_t>(kTypeCount); t++)
        if (type_series(t)) typeset_set_bit(&types, t);
    return types;
}

}  // namespace

void native_bind(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(38, refs);
    Cell* a = stack_arguments();
    Off ctx = context_of(&a[1]);
    GcRootNode keep_ctx(&ctx);  // the /copy allocates
    bool self = a[1].is(TYPE_OBJECT);
    if (a->is(TYPE_BLOCK)) {
        if (refs[0] >= 0) {
            Cell* copy = stack_push_cell();
            Cell types = all_series_types();
            block_copy(a, copy, nullptr, true, &types);
            copy_cell(copy, a);
        }
        context_bind_block(a, ctx, self);
    } else if (word_type_q(a->type())) {
        context_bind_word(ctx, a);
    } else {
        natives_raise_expect_arg(a, "word");
    }
    stack_keep();
}

void native_in(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(39, refs);
    Cell* a = stack_arguments();
    uint32_t t = a->type();
    Off ctx;
    if (object_type(t) || t == TYPE_FUNCTION || t == TYPE_ROUTINE) {
        ctx = a->data1;
    } else if (t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP) {
        Cell spec{TYPE_BLOCK, 0, a->data2, 0};
        ctx = context_make_from_spec(&spec, true, false, CTX_FUNCTION);
    } else {
        natives_raise_expect_arg(a, "object");
    }
    if (!word_type_q(a[1].type())) natives_raise_expect_arg(&a[1], "word");
    Cell word = a[1];
    if (!ctx || context_bind_word(ctx, &word) < 0) return result_none();
    if (word.is(TYPE_REFINEMENT)) cell_set_type(&word, TYPE_WORD);
    copy_cell(&word, a);
    stack_keep();
}

}  // namespace kel
