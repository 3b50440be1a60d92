// The interpreter.
//
// Invariants:
//  - a pointer into a code block, a spec cache or a context's values is
//    re-read after any step that may allocate or evaluate;
//  - when an evaluation step returns with an exit pending, every caller up to
//    the lander returns at once and leaves both stacks alone (the lander puts
//    them in order);
//  - each expression leaves exactly one new cell (push mode) or the frame's
//    result slot alone (otherwise).
#include "runtime/interpreter.h"

#include <pthread.h>

#include <cstring>
#include <exception>

#include "runtime/dispatch.h"
#include "runtime/error.h"
#include "runtime/eval_deps.h"
#include "runtime/exits.h"
#include "runtime/datatypes/function.h"
#include "runtime/natives.h"
#include "runtime/stack.h"
#include "runtime/typecheck.h"

namespace kel {

TraceState g_interp;

namespace {

struct Symbols {
    uint32_t local = 0, body = 0, anon = 0, set_path = 0, system = 0, system_global = 0, return_ = 0;
};
Symbols sym;

inline Cell* code_at(Off node, uint32_t pos) { return arena_at<Cell>(node_buffer(node)->head) + pos; }
inline uint32_t code_tail(Off node) {
    SeriesBuf* b = node_buffer(node);
    return (b->tail - b->head) >> 4;
}

inline bool is_callable(uint32_t t) {
    return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}

inline const Cell* word_value(const Cell* word) {
    const Cell* v = word_peek(word);
    return v ? v : word_get_any(word);
}

Cell anon_name() { return Cell{TYPE_WORD, 0, sym.anon, 0xFFFFFFFFu}; }

// Saves the code position cell and puts it back on every exit.
struct CodePositionGuard {
    Cell saved = g_interp.code_position;
    ~CodePositionGuard() { g_interp.code_position = saved; }
};

// Elements of a path after its head, used as refinements of a call.
struct PathRefs {
    Off node;
    uint32_t pos;
    uint32_t tail;
};

uint32_t eval_code(const Cell& callable, Off node, uint32_t pos, const Cell& name, const PathRefs* path,
                   uint32_t owner, bool infix);
uint32_t eval_path(const Cell& path, Off node, uint32_t pos, int mode);
enum PathMode { PATH_EVAL = 0, PATH_SET = 1, PATH_GET = 2 };
// Case-sensitive field and key matching for the path being evaluated (get
// and set with /case); false for every path the interpreter meets itself.
bool path_case = false;

[[noreturn]] void raise_expect_arg(const Cell& name, const Cell* value, const Cell* callable, uint32_t entry) {
    Cell dt;
    datatype_set(&dt, value->type());
    Cell word = interp_spec_word(callable, entry);
    error_raise(ErrCat::Script, "expect-arg", &name, &dt, &word);
}

// Fetches one argument of mode `mode` at `pos`; returns the position after it.
uint32_t fetch_one(Off node, uint32_t pos, uint32_t tail, uint32_t mode, bool no_infix, const Cell* entry,
                   const Cell& name, const Cell* callable, uint32_t entry_index) {
    if (pos >= tail) {
        if (mode == ARG_QUOTED && typeset_has(entry, TYPE_UNSET)) {
            stack_push_cell();
            return pos;
        }
        Cell word = interp_spec_word(callable, entry_index);
        error_raise(ErrCat::Script, "no-arg", &name, &word);
    }
    if (mode == ARG_EVAL) return interp_eval_expression(node, pos, no_infix, true, false);
    Cell c = *code_at(node, pos);
    if (mode == ARG_QUOTED) {
        if (c.is(TYPE_PAREN)) {
            Cell anon = anon_name();
            stack_mark(&anon, FRAME_INTERP);
            interp_eval_block(&c, true);
            if (exit_pending()) return pos;
            stack_unwind();
            return pos + 1;
        }
        if (c.is(TYPE_GET_WORD)) {
            stack_push(word_get_any(&c));
            return pos + 1;
        }
        if (c.is(TYPE_GET_PATH)) {
            eval_path(c, node, pos + 1, PATH_GET);
            return pos + 1;
        }
    }
    stack_push(&c);
    return pos + 1;
}

// Positions of a function's refinement cells in its frame, from its spec
// cache: the cell index of the refinement whose cache entry is `entry`.
uint32_t function_cell_of_entry(Off desc, uint32_t entry) {
    uint32_t cell = 0;
    Cell* d = arena_at<Cell>(node_buffer(desc)->head);
    for (uint32_t i = 0; i < entry; i++) {
        if (d[i].is(TYPE_TYPESET) && ((d[i].header & ARG_MODE_MASK) >> ARG_MODE_SHIFT) == ARG_RETURN) continue;
        if (d[i].is(TYPE_TYPESET) || d[i].is(TYPE_REFINEMENT)) cell++;
    }
    return cell;
}

// Looks a path element up among the refinements of the cache; returns its
// entry index or -1.
int32_t find_refinement(Off desc, uint32_t symbol) {
    SeriesBuf* b = node_buffer(desc);
    Cell* d = arena_at<Cell>(b->head);
    uint32_t n = (b->tail - b->head) >> 4;
    uint32_t canon = symbol_resolve(symbol);
    for (uint32_t i = 0; i < n; i++)
        if (d[i].is(TYPE_REFINEMENT) && symbol_resolve(d[i].data2) == canon) return static_cast<int32_t>(i);
    return -1;
}

// Fills the current frame with the arguments of `callable` and returns the
// position after them; `refs` receives a native's refinement positions.
uint32_t fetch_args(const Cell& callable, Off node, uint32_t pos, const Cell& name, const PathRefs* path,
                    bool infix, int32_t* refs) {
    Off desc = interp_spec_cache(&callable);
    bool is_func = callable.is(TYPE_FUNCTION) || callable.is(TYPE_ROUTINE);
    uint32_t tail = code_tail(node);
    uint32_t n = code_tail(desc);
    uint32_t i = 0;
    bool first = true;
    // Fixed arguments.
    for (; i < n; i++) {
        const Cell* e = code_at(desc, i);
        if (!e->is(TYPE_TYPESET)) break;
        uint32_t mode = (e->header & ARG_MODE_MASK) >> ARG_MODE_SHIFT;
        if (mode == ARG_RETURN) continue;
        if (infix && first) {
            g_stack.top++;  // the left operand already sits in the result slot
        } else {
            pos = fetch_one(node, pos, tail, mode, infix, e, name, &callable, i);
            if (exit_pending()) return pos;
            tail = code_tail(node);
            e = code_at(desc, i);
        }
        first = false;
        const Cell* got = g_stack.top - 1;
        if (!typeset_has(e, got->type())) raise_expect_arg(name, got, &callable, i);
    }
    // Refinements, arguments of absent refinements and locals.
    if (is_func) {
        for (; i < n; i++) {
            const Cell* e = code_at(desc, i);
            if (e->is(TYPE_REFINEMENT)) cell_set(stack_push_cell(), TYPE_LOGIC, 0);
            else if (e->is(TYPE_TYPESET)) {
                if (((e->header & ARG_MODE_MASK) >> ARG_MODE_SHIFT) != ARG_RETURN) cell_set(stack_push_cell(), TYPE_NONE);
            } else if (e->is(TYPE_INTEGER)) {
                function_init_locals(e->data2);
            }
        }
    } else {
        for (uint32_t r = 0; r < kMaxRefinements; r++) refs[r] = -1;
    }
    if (!path) return pos;
    // Refinements named by the path, in the order written.
    for (uint32_t p = path->pos; p < path->tail; p++) {
        Cell el = *code_at(path->node, p);
        bool active = true;
        if (el.is(TYPE_GET_WORD)) {
            const Cell* v = word_get_any(&el);
            active = !(v->is(TYPE_NONE) || (v->is(TYPE_LOGIC) && !v->data1));
        } else if (!el.is(TYPE_WORD)) {
            error_raise(ErrCat::Script, "bad-refine", &el);
        }
        int32_t entry = find_refinement(desc, el.data2);
        if (entry < 0) {
            cell_set_type(&el, TYPE_REFINEMENT);
            error_raise(ErrCat::Script, "no-refine", &name, &el);
        }
        uint32_t ord = code_at(desc, static_cast<uint32_t>(entry))->data3;
        if (is_func) {
            Cell* flag = g_stack.args + function_cell_of_entry(desc, static_cast<uint32_t>(entry));
            if (flag->is(TYPE_LOGIC) && flag->data1) {
                cell_set_type(&el, TYPE_REFINEMENT);
                error_raise(ErrCat::Script, "dup-refine", &el);
            }
            if (active) flag->data1 = 1;
            Cell* saved_top = g_stack.top;
            g_stack.top = flag + 1;
            for (uint32_t k = static_cast<uint32_t>(entry) + 1; k < code_tail(desc); k++) {
                const Cell* e = code_at(desc, k);
                if (!e->is(TYPE_TYPESET)) break;
                uint32_t mode = (e->header & ARG_MODE_MASK) >> ARG_MODE_SHIFT;
                if (mode == ARG_RETURN) break;
                pos = fetch_one(node, pos, code_tail(node), mode, infix, e, name, &callable, k);
                if (exit_pending()) return pos;
                e = code_at(desc, k);
                const Cell* got = g_stack.top - 1;
                if (!typeset_has(e, got->type())) raise_expect_arg(name, got, &callable, k);
                if (!active) cell_set(g_stack.top - 1, TYPE_NONE);
            }
            g_stack.top = saved_top;
        } else {
            if (ord == 0 || ord > kMaxRefinements) error_raise(ErrCat::Script, "bad-refine", &el);
            if (refs[ord - 1] >= 0) {
                cell_set_type(&el, TYPE_REFINEMENT);
                error_raise(ErrCat::Script, "dup-refine", &el);
            }
            int32_t position = static_cast<int32_t>(g_stack.top - g_stack.args);
            bool has_args = false;
            for (uint32_t k = static_cast<uint32_t>(entry) + 1; k < code_tail(desc); k++) {
                const Cell* e = code_at(desc, k);
                if (!e->is(TYPE_TYPESET)) break;
                uint32_t mode = (e->header & ARG_MODE_MASK) >> ARG_MODE_SHIFT;
                if (mode == ARG_RETURN) break;
                pos = fetch_one(node, pos, code_tail(node), mode, infix, e, name, &callable, k);
                if (exit_pending()) return pos;
                e = code_at(desc, k);
                const Cell* got = g_stack.top - 1;
                if (!typeset_has(e, got->type())) raise_expect_arg(name, got, &callable, k);
                has_args = true;
            }
            (void)has_args;
            if (active) refs[ord - 1] = position;
        }
    }
    return pos;
}

uint32_t eval_code(const Cell& callable, Off node, uint32_t pos, const Cell& name, const PathRefs* path,
                   uint32_t owner, bool infix) {
    if (g_interp.on) {
        // In infix mode the left operand sits just above the top: keep it.
        if (infix) g_stack.top++;
        interp_trace_hook(TRACE_OPEN, nullptr, -1, &name, &callable);
        if (infix) g_stack.top--;
    }
    Cell* base = g_stack.top;
    if (!infix) stack_push(&callable);
    uint32_t t = callable.type();
    if (t == TYPE_NATIVE || t == TYPE_ACTION) {
        stack_mark(&name, FRAME_INTERP);
        int32_t refs[kMaxRefinements];
        pos = fetch_args(callable, node, pos, name, path, infix, refs);
        if (exit_pending()) return pos;
        if (g_interp.on) interp_trace_hook(TRACE_CALL, nullptr, -1, &name, &callable);
        if (t == TYPE_NATIVE) {
            NativeFn fn = native_entry(callable.data1);
            if (!fn) error_raise(ErrCat::Internal, "not-done");
            fn(0, refs);
        } else {
            DispatchFn fn = action_dispatcher(callable.data1);
            if (!fn) error_raise(ErrCat::Internal, "not-done");
            fn(refs);
        }
        if (exit_pending()) return pos;
        stack_unwind();
    } else if (t == TYPE_FUNCTION || t == TYPE_ROUTINE) {
        uint32_t ctx = callable.data1;
        if (!owner) {
            const Cell* m = arena_at<Cell>(node_buffer(callable.data3)->head) + 4;
            if (t == TYPE_FUNCTION && m->is(TYPE_INTEGER)) owner = m->data2;
        }
        if (!owner) owner = name.data1;
        stack_mark_interp_func_ctx(name.data2, name.data1, t == TYPE_FUNCTION ? ctx : 0);
        pos = fetch_args(callable, node, pos, name, path, infix, nullptr);
        if (exit_pending()) return pos;
        if (g_interp.on) interp_trace_hook(TRACE_CALL, nullptr, -1, &name, &callable);
        if (t == TYPE_FUNCTION) interp_call_function(&callable, owner, &name, 0);
        else routine_exec(&callable);
        if (exit_pending()) return pos;
        stack_unwind();
    } else {
        fatal_runtime_error(101);
    }
    if (g_interp.on) interp_trace_hook(TRACE_RETURN, nullptr, -1, &name, g_stack.top - 1);
    if (!infix) {
        copy_cell(g_stack.top - 1, base);
        g_stack.top = base + 1;
    }
    return pos;
}

// Resolves a path element: get-words give their value, parens their result.
void path_element(const Cell& el, Cell* out) {
    if (el.is(TYPE_GET_WORD)) {
        copy_cell(word_get_any(&el), out);
    } else if (el.is(TYPE_PAREN)) {
        Cell anon = anon_name();
        stack_mark(&anon, FRAME_INTERP);
        interp_eval_block(&el, true);
        if (exit_pending()) return;
        copy_cell(g_stack.args, out);
        stack_unwind_drop();
    } else {
        copy_cell(&el, out);
    }
}

// Evaluates a path (evaluate, set with the value in the current frame's
// second cell, or get); pushes the value and returns the code position.
uint32_t eval_path(const Cell& path, Off node, uint32_t pos, int mode) {
    Off pnode = path.data2;
    uint32_t head = path.data1;
    uint32_t ptail = code_tail(pnode);
    if (head >= ptail) error_raise(ErrCat::Script, "empty-path");
    Cell first = *code_at(pnode, head);
    if (!first.is(TYPE_WORD)) error_raise(ErrCat::Script, "word-first", &path);
    const Cell* v = word_value(&first);
    if (v->is(TYPE_UNSET)) error_raise(ErrCat::Script, "unset-path", &first, &path);
    if (is_callable(v->type())) {
        if (mode == PATH_GET) error_raise(ErrCat::Script, "invalid-path-get", &path);
        if (mode == PATH_SET) error_raise(ErrCat::Script, "invalid-path-set", &path);
        Cell callable = *v;
        PathRefs refs{pnode, head + 1, ptail};
        return eval_code(callable, node, pos, first, &refs, 0, false);
    }
    // The walk keeps the current value, its parent and the element that
    // selected it on the stack, so the collector sees them.
    Cell* cur = stack_push(v);
    Cell* parent = stack_push_cell();
    Cell* element = stack_push_cell();
    Cell* set_value = mode == PATH_SET ? g_stack.args + 1 : nullptr;
    for (uint32_t i = head + 1; i < ptail; i++) {
        Cell el = *code_at(pnode, i);
        path_element(el, element);
        if (exit_pending()) return pos;
        bool last = i + 1 == ptail;
        EvalPathFn fn = reinterpret_cast<EvalPathFn>(action_entry(cur->type(), ACT_EVAL_PATH));
        if (!fn) {
            Cell dt;
            datatype_set(&dt, cur->type());
            error_raise(ErrCat::Script, "bad-path-type", &path, &dt);
        }
        EvalPathArgs args;
        args.path = const_cast<Cell*>(&path);
        args.gparent = parent;
        args.index = static_cast<int32_t>(i - head);
        args.get = mode == PATH_GET;
        args.tail = last;
        args.case_ = path_case;
        copy_cell(cur, parent);
        Cell* next = fn(parent, element, last ? set_value : nullptr, args);
        if (!next) error_raise(ErrCat::Script, "invalid-path", &path, element);
        copy_cell(next, cur);
        if (mode == PATH_EVAL && is_callable(cur->type()) && !last) {
            // A function reached inside the path takes the rest as refinements.
            Cell callable = *cur;
            Cell name = el;
            g_stack.top = cur;
            PathRefs refs{pnode, i + 1, ptail};
            uint32_t owner = parent->is(TYPE_OBJECT) ? parent->data1 : 0;
            return eval_code(callable, node, pos, name, &refs, owner, false);
        }
        if (mode == PATH_EVAL && is_callable(cur->type()) && last) {
            Cell callable = *cur;
            Cell name = el;
            uint32_t owner = parent->is(TYPE_OBJECT) ? parent->data1 : 0;
            g_stack.top = cur;
            return eval_code(callable, node, pos, name, nullptr, owner, false);
        }
    }
    g_stack.top = cur + 1;
    return pos;
}

}  // namespace

uint32_t interp_eval_expression(Off node, uint32_t pos, bool no_infix, bool push, bool literal_callables) {
    Cell* start = g_stack.top;
    Cell* cell = code_at(node, pos);
    if (g_interp.on) interp_trace_hook(TRACE_FETCH, nullptr, static_cast<int32_t>(pos), nullptr, cell);
    switch (cell->type()) {
    case TYPE_WORD: {
        const Cell* v = word_value(cell);
        uint32_t t = v->type();
        if (is_callable(t)) {
            Cell callable = *v;
            Cell name = *cell;
            pos = eval_code(callable, node, pos + 1, name, nullptr, 0, false);
            if (exit_pending()) return pos;
        } else if (t == TYPE_UNSET) {
            error_raise(ErrCat::Script, "no-value", cell);
        } else if (t == TYPE_OP) {
            error_raise(ErrCat::Script, "no-op-arg", cell);
        } else {
            stack_push(v);
            pos++;
        }
        break;
    }
    case TYPE_SET_WORD: {
        Cell name = *cell;
        stack_mark(&name, FRAME_INTERP);
        stack_push(&name);
        if (pos + 1 >= code_tail(node)) error_raise(ErrCat::Script, "need-value", &name);
        pos = interp_eval_expression(node, pos + 1, false, true, false);
        if (exit_pending()) return pos;
        Cell* value = g_stack.args + 1;
        if (g_interp.on) interp_trace_hook(TRACE_SET, nullptr, -1, &name, value);
        if (value->is(TYPE_UNSET)) error_raise(ErrCat::Script, "need-value", &name);
        word_set(g_stack.args, value);
        copy_cell(value, g_stack.args);
        stack_unwind();
        break;
    }
    case TYPE_LIT_WORD: {
        Cell* c = stack_push(cell);
        cell_set_type(c, TYPE_WORD);
        pos++;
        break;
    }
    case TYPE_GET_WORD:
        stack_push(word_get_any(cell));
        pos++;
        break;
    case TYPE_PAREN: {
        Cell paren = *cell;
        Cell body{TYPE_WORD, 0, sym.body, 0xFFFFFFFFu};
        stack_mark(&body, FRAME_INTERP);
        interp_eval_block(&paren, true);
        if (exit_pending()) return pos;
        stack_unwind();
        pos++;
        break;
    }
    case TYPE_ISSUE: {
        uint32_t canon = symbol_resolve(cell->data2);
        if (pos + 1 < code_tail(node) && code_at(node, pos + 1)->is(TYPE_BLOCK) &&
            (canon == sym.system || canon == sym.system_global))
            error_raise(ErrCat::Internal, "kel-system");
        stack_push(cell);
        pos++;
        break;
    }
    case TYPE_NATIVE:
    case TYPE_ACTION:
    case TYPE_FUNCTION:
    case TYPE_ROUTINE:
        if (literal_callables) {
            stack_push(cell);
            pos++;
        } else {
            Cell callable = *cell;
            pos = eval_code(callable, node, pos + 1, anon_name(), nullptr, 0, false);
            if (exit_pending()) return pos;
        }
        break;
    case TYPE_OP:
        error_raise(ErrCat::Internal, "not-done");
    case TYPE_PATH: {
        Cell path = *cell;
        pos = eval_path(path, node, pos + 1, PATH_EVAL);
        if (exit_pending()) return pos;
        break;
    }
    case TYPE_LIT_PATH: {
        Cell* c = stack_push(cell);
        cell_set_type(c, TYPE_PATH);
        c->data3 = 0;
        pos++;
        break;
    }
    case TYPE_SET_PATH: {
        Cell path = *cell;
        if (pos + 1 >= code_tail(node)) error_raise(ErrCat::Script, "need-value", &path);
        Cell name{TYPE_WORD, 0, sym.set_path, 0xFFFFFFFFu};
        stack_mark(&name, FRAME_INTERP);
        stack_push(&path);
        pos = interp_eval_expression(node, pos + 1, false, true, false);
        if (exit_pending()) return pos;
        if (g_interp.on) interp_trace_hook(TRACE_SET, nullptr, -1, &path, g_stack.args + 1);
        eval_path(path, node, pos, PATH_SET);
        if (exit_pending()) return pos;
        copy_cell(g_stack.args + 1, g_stack.args);
        stack_keep();
        stack_unwind();
        break;
    }
    case TYPE_GET_PATH: {
        Cell path = *cell;
        eval_path(path, node, pos + 1, PATH_GET);
        if (exit_pending()) return pos;
        pos++;
        break;
    }
    default:
        stack_push(cell);
        pos++;
        break;
    }
    if (g_interp.on) interp_trace_hook(TRACE_PUSH, nullptr, -1, nullptr, g_stack.top - 1);

    // Operator lookahead: strictly left to right.
    if (!no_infix) {
        for (;;) {
            const SeriesBuf* b = node_buffer(node);
            if (pos >= (b->tail - b->head) >> 4) break;
            const Cell* next = arena_at<Cell>(b->head) + pos;
            if (!next->is(TYPE_WORD)) break;
            const Cell* v = word_peek(next);
            if (!v || !v->is(TYPE_OP)) break;
            if (g_interp.on) interp_trace_hook(TRACE_FETCH, nullptr, static_cast<int32_t>(pos), nullptr, next);
            Cell op = *v;
            cell_set(&op, (op.header >> 16) & 0xFF, op.data1, op.data2, op.data3);
            Cell name = *next;
            g_stack.top = start;
            pos = eval_code(op, node, pos + 1, name, nullptr, 0, true);
            if (exit_pending()) return pos;
        }
    }
    if (!push) {
        copy_cell(start, g_stack.args);
        g_stack.top = g_stack.args + 1;
        if (g_interp.on) interp_trace_hook(TRACE_EXPR, nullptr, -1, nullptr, g_stack.args);
    }
    return pos;
}

void interp_eval_block(const Cell* block, bool chain) {
    CodePositionGuard guard;
    Cell code = *block;
    Cell body{TYPE_WORD, 0, sym.body, 0xFFFFFFFFu};
    stack_mark(&body, FRAME_EVAL);
    if (g_interp.on) interp_trace_hook(TRACE_ENTER, &code, static_cast<int32_t>(code.data1), nullptr, nullptr);
    Off node = code.data2;
    uint32_t pos = code.data1;
    if (pos >= code_tail(node)) {
        cell_set_unset(g_stack.args);
        g_stack.top = g_stack.args + 1;
    } else {
        g_interp.code_position = code;
        while (pos < code_tail(node)) {
            g_interp.code_position.data1 = pos;
            pos = interp_eval_expression(node, pos, false, false, false);
            if (exit_pending()) return;
            if (pos < code_tail(node)) stack_reset();
        }
    }
    if (g_interp.on) interp_trace_hook(TRACE_EXIT, &code, -1, nullptr, g_stack.args);
    if (chain) stack_unwind_last();
    else stack_unwind();
}

uint32_t interp_eval_next(Off node, uint32_t pos, uint32_t tail, bool push) {
    (void)tail;
    Cell body{TYPE_WORD, 0, sym.body, 0xFFFFFFFFu};
    stack_mark(&body, FRAME_INTERP);
    pos = interp_eval_expression(node, pos, false, false, false);
    if (exit_pending()) return pos;
    if (push) stack_unwind();
    else stack_unwind_last();
    return pos;
}

uint32_t interp_eval_next_at(const Cell* block) {
    Off node = block->data2;
    uint32_t pos = block->data1;
    if (pos >= code_tail(node)) {
        cell_set_unset(g_stack.args);
        return pos;
    }
    return interp_eval_next(node, pos, code_tail(node), false);
}

void interp_call_function(const Cell* function, uint32_t owner_ctx, const Cell* name, uint32_t event_mask) {
    (void)owner_ctx;
    (void)name;
    (void)event_mask;
    // The function's words read the frame's cells while the body runs.
    Off ctx = function->data1;
    Off more = function->data3;
    struct ValuesGuard {
        Off ctx;
        uint32_t saved;
        bool trace;
        ~ValuesGuard() {
            arena_at<Cell>(node_buffer(ctx)->head)->data2 = saved;
            g_interp.on = trace;
        }
    };
    Cell* cc = arena_at<Cell>(node_buffer(ctx)->head);
    ValuesGuard guard{ctx, cc->data2, g_interp.on};
    cc->data2 = arena_off(g_stack.args);
    if (function->header & FUNC_FLAG_NO_TRACE) g_interp.on = false;
    CallFrame* frame = stack_current_frame();
    frame->header |= FRAME_BODY_FLAG;
    Cell body = *arena_at<Cell>(node_buffer(more)->head);
    if (g_interp.on) interp_trace_hook(TRACE_PROLOG, &body, -1, name, nullptr);
    if (!body.is(TYPE_BLOCK)) {
        cell_set_unset(g_stack.args);
        g_stack.top = g_stack.args + 1;
    } else {
        try {
            interp_eval_block(&body, true);
        } catch (const KelThrow& t) {
            if (!exits_land_caught(t, frame, EXIT_EXIT, EXIT_RETURN)) throw;
        }
        if (exit_pending() && !exits_land_pending(frame, EXIT_EXIT, EXIT_RETURN)) return;
    }
    if (g_interp.on) interp_trace_hook(TRACE_EPILOG, &body, -1, name, g_stack.args);
    frame->header &= ~FRAME_BODY_FLAG;
    g_stack.top = g_stack.args + 1;
}

void interp_init() {
    sym.local = symbol_resolve(symbol_make("local"));
    sym.body = symbol_make("<body>");
    sym.anon = symbol_make("<anon>");
    sym.set_path = symbol_make("set-path");
    sym.system = symbol_resolve(symbol_make("system"));
    sym.system_global = symbol_resolve(symbol_make("system-global"));
    sym.return_ = symbol_resolve(symbol_make("return"));
    stack_set_label_symbols(sym.body, sym.anon);
    Cell nf{TYPE_WORD, 0, 0, 0};
    word_make_global_at(symbol_make("<not-found>"), &nf);
    stack_set_not_found_word(nf);
    g_interp.on = false;
    cell_set_unset(&g_interp.code_position);
    cell_set(&g_interp.callback, TYPE_NONE);
    g_error_id_symbol = [](const char* id) { return symbol_make(id); };
    g_error_trace_hook = [](const KelThrow& t) {
        if (!g_interp.on) return;
        uint32_t saved = g_thrown;
        g_thrown = 0;
        Cell err;
        error_value_from_throw(t, &err);
        interp_trace_hook(TRACE_ERROR, nullptr, -1, nullptr, &err);
        g_thrown = saved;
    };
}

// ---------------------------------------------------------------------------
// The argument descriptor.

Off interp_spec_cache(const Cell* callable) {
    Off more = callable->data3;
    Cell* slot = arena_at<Cell>(node_buffer(more)->head) + 1;
    if (slot->is(TYPE_BLOCK)) return slot->data2;
    bool builtin = callable->is(TYPE_NATIVE) || callable->is(TYPE_ACTION);
    Off desc = spec_cache_build(callable->data2, builtin);
    slot = arena_at<Cell>(node_buffer(more)->head) + 1;
    cell_set(slot, TYPE_BLOCK, 0, desc, 0);
    return desc;
}

Cell interp_spec_word(const Cell* callable, uint32_t n) {
    return spec_cache_entry_word(callable->data2, n);
}

// ---------------------------------------------------------------------------
// Tracing.

uint32_t interp_trace_mask(const Cell* callback) {
    if (!callback->is(TYPE_FUNCTION)) return kTraceDefaultMask;
    Cell body = *arena_at<Cell>(node_buffer(callback->data3)->head);
    if (!body.is(TYPE_BLOCK) || body.data1 >= code_tail(body.data2)) return kTraceDefaultMask;
    Cell* first = code_at(body.data2, body.data1);
    if (!first->is(TYPE_BLOCK)) return kTraceDefaultMask;
    static const char* const kEvents[] = {"init", "end", "prolog", "epilog", "enter", "exit", "open", "return",
                                          "fetch", "push", "set", "call", "error", "throw", "catch", "expr"};
    uint32_t mask = 0;
    Off node = first->data2;
    for (uint32_t i = first->data1; i < code_tail(node); i++) {
        Cell* w = code_at(node, i);
        if (!w->is(TYPE_WORD)) continue;
        uint32_t canon = symbol_resolve(w->data2);
        for (uint32_t k = 0; k < 16; k++)
            if (symbol_resolve(symbol_make(kEvents[k])) == canon) mask |= 1u << k;
    }
    return mask;
}

void interp_trace_hook(uint32_t event, const Cell* code, int32_t position, const Cell* ref, const Cell* value) {
    if (!g_interp.on || !(g_interp.mask & event) || !g_interp.callback.is(TYPE_FUNCTION)) return;
    static const char* const kEvents[] = {"init", "end", "prolog", "epilog", "enter", "exit", "open", "return",
                                          "fetch", "push", "set", "call", "error", "throw", "catch", "expr"};
    uint32_t bit = static_cast<uint32_t>(__builtin_ctz(event));
    // The callback runs in a frame above everything; the stacks are put back
    // as they were whatever happens inside it.
    struct Restore {
        Cell* args = g_stack.args;
        Cell* top = g_stack.top;
        CallFrame* frame = g_stack.frame_top;
        ~Restore() {
            g_interp.on = true;
            g_stack.frame_top = frame;
            g_stack.top = top;
            g_stack.args = args;
        }
    } restore;
    Cell callback = g_interp.callback;
    Cell code_cell = code ? *code : Cell{TYPE_NONE, 0, 0, 0};
    Cell value_cell = value && value->type() != 0 ? *value : Cell{TYPE_NONE, 0, 0, 0};
    Cell ref_cell = ref ? *ref : Cell{TYPE_NONE, 0, 0, 0};
    int32_t frame_pos = static_cast<int32_t>(g_stack.args - g_stack.data_bottom);
    int32_t frame_len = static_cast<int32_t>(g_stack.top - g_stack.data_bottom);
    stack_push_cell();
    Cell name{TYPE_WORD, 0, 0, 0};
    word_make_global_at(symbol_make("<interp-callback>"), &name);
    stack_mark_interp_func_ctx(name.data2, name.data1, callback.data1);
    Cell* ev = stack_push_cell();
    word_make_global_at(symbol_make(kEvents[bit]), ev);
    stack_push(&code_cell);
    cell_set(stack_push_cell(), TYPE_INTEGER, 0, static_cast<uint32_t>(position));
    stack_push(&value_cell);
    stack_push(&ref_cell);
    Cell* pair = stack_push_cell();
    cell_set(pair, TYPE_PAIR, static_cast<uint32_t>(frame_pos), static_cast<uint32_t>(frame_len));
    g_interp.on = false;
    interp_call_function(&callback, 0, &name, 0);
    if (exit_pending()) exits_throw_pending();
}

// ---------------------------------------------------------------------------
// Running at the top level.

void interp_do_block(const Cell* block, Cell* out) {
    StackGuard guard;
    Cell code = *block;
    Cell name{TYPE_WORD, 0, sym.anon, 0xFFFFFFFFu};
    stack_mark(&name, FRAME_INTERP);
    interp_eval_block(&code, true);
    if (exit_pending()) exits_throw_pending();
    copy_cell(g_stack.args, out);
}

bool interp_path_access(const Cell* path, const Cell* value, bool case_, Cell* out) {
    struct CaseGuard {
        bool saved = path_case;
        ~CaseGuard() { path_case = saved; }
    } guard;
    path_case = case_;
    Cell p = *path;
    Cell name{TYPE_WORD, 0, sym.anon, 0xFFFFFFFFu};
    stack_mark(&name, FRAME_INTERP);
    stack_push(&p);
    if (value) stack_push(value);
    eval_path(p, p.data2, p.data1, value ? PATH_SET : PATH_GET);
    path_case = guard.saved;
    if (exit_pending()) return false;
    copy_cell(g_stack.top - 1, out);
    stack_unwind_drop();
    return true;
}

void interp_run_on_big_stack(const std::function<void()>& fn) {
    struct Job {
        const std::function<void()>* fn;
        std::exception_ptr error;
    } job{&fn, nullptr};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, size_t(512) << 20);
    pthread_t thread;
    auto body = [](void* p) -> void* {
        Job* j = static_cast<Job*>(p);
        try {
            (*j->fn)();
        } catch (...) {
            j->error = std::current_exception();
        }
        return nullptr;
    };
    if (pthread_create(&thread, &attr, body, &job) != 0) {
        pthread_attr_destroy(&attr);
        fn();
        return;
    }
    pthread_attr_destroy(&attr);
    pthread_join(thread, nullptr);
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace kel
