// The interpreter.
//
// Invariants:
//  - a pointer into a code block, a descriptor cache or a context's values is
//    re-read after any step that may allocate or evaluate;
//  - a node or a cell that a function keeps in a C++ variable across such a
//    step (the callable and its name, a descriptor) is held in a collector
//    root scope, which repoints it when the collector moves nodes; the code
//    block's node is rooted once where a block's evaluation starts and passed
//    down by reference (`const Off& node`), so every level reads its current
//    value;
//  - when an evaluation step returns with an exit pending, every caller up to
//    the lander returns at once and leaves both stacks alone (the lander puts
//    them in order);
//  - each expression leaves exactly one new cell (push mode) or the frame's
//    result slot alone (otherwise).
//
// Shortcuts, taken only while not tracing, each giving exactly what the
// general path gives and skipping only what nothing could observe:
//  - a callable's descriptor is summarised in one word (see SUM_*), so a call
//    whose arguments are all evaluated skips the descriptor walk;
//  - an integer operator (+ - * and the comparisons, recognised by the
//    native or action behind the op!, never by its word) with two integer
//    operands, or + - * with integer! and float! operands, the right one a
//    plain value, is computed in place without its frame and call;
//  - statements made only of plain values, such operators, set-words and
//    `return` run without pushes or code-position updates ("frameless");
//  - a statement that calls a function!, native or action with such
//    arguments (see fast_call) marks the frames the general path would but
//    skips its argument fetching; such an argument may also be a number
//    operation called by name, or a paren holding one such expression (see
//    nested_term), computed in place;
//  - a block marks no frame of its own (nothing lands on one); a statement
//    the shortcuts refuse goes the general way, and the next one tries them
//    again.
#include "runtime/interpreter.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

#include "runtime/dispatch.h"
#include "runtime/error.h"
#include "runtime/eval_deps.h"
#include "runtime/exits.h"
#include "runtime/gc.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/native.h"
#include "runtime/natives.h"
#include "runtime/natives/natives_impl.h"
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

// ---------------------------------------------------------------------------
// Descriptor summary: a 32-bit digest of a callable's argument descriptor,
// kept in data3 of the descriptor's cache cell (cell [1] of the callable's
// extra block) so that a call reads one word instead of decoding the block.
//
// A "simple" callable takes only evaluated arguments, at descriptor entries
// 0 .. nargs-1, and (for a function!) pushes nothing after them but its
// locals; every other callable takes the general path.
constexpr uint32_t SUM_VALID = 0x80000000u;
constexpr uint32_t SUM_SIMPLE = 0x40000000u;
constexpr uint32_t SUM_NARGS_MASK = 0xFF;        // bits 0-7
constexpr uint32_t SUM_LOCALS_SHIFT = 8;         // bits 8-19: local cells
constexpr uint32_t SUM_LOCALS_MASK = 0xFFF;
constexpr uint32_t SUM_FASTOP_SHIFT = 20;        // bits 20-23: FastOp
constexpr uint32_t SUM_FASTOP_MASK = 0xF;
constexpr uint32_t SUM_ANY = 0x20000000u;        // every argument takes every type but unset!

// Operations computed inline when both operands are integer!: the result is
// the one the native or action gives, and nothing they do is observable
// otherwise (no error, no allocation).
enum FastOp : uint32_t {
    FAST_NONE = 0, FAST_ADD, FAST_SUB, FAST_MUL, FAST_EQ, FAST_NE, FAST_LT, FAST_LE, FAST_GT, FAST_GE,
    FAST_LAST_OP = FAST_GE,
    // remainder, computed in place only where it is called by name inside a
    // frameless expression (see nested_term), and only when it cannot fail.
    FAST_REM,
    FAST_RETURN,  // the return native: a frameless statement can take the exit itself
    // The conditional natives: a call evaluates the chosen block itself, in
    // the native's frame, without calling the native.
    FAST_IF, FAST_UNLESS, FAST_EITHER,
};

// The fast operation of a native or action whose implementation is one of
// the integer-aware ones, else FAST_NONE.
uint32_t fast_op_of(const Cell& callable) {
    uint32_t n = callable.data1;
    if (callable.is(TYPE_ACTION)) {
        AnyAction impl = n >= 1 && n <= static_cast<uint32_t>(kActionCount) && action_dispatcher(n)
                             ? action_entry(TYPE_INTEGER, static_cast<int32_t>(n))
                             : nullptr;
        AnyAction fimpl = impl ? action_entry(TYPE_FLOAT, static_cast<int32_t>(n)) : nullptr;
        if (n == ACT_ADD && impl == reinterpret_cast<AnyAction>(integer_add) &&
            fimpl == reinterpret_cast<AnyAction>(float_add))
            return FAST_ADD;
        if (n == ACT_SUBTRACT && impl == reinterpret_cast<AnyAction>(integer_subtract) &&
            fimpl == reinterpret_cast<AnyAction>(float_subtract))
            return FAST_SUB;
        if (n == ACT_MULTIPLY && impl == reinterpret_cast<AnyAction>(integer_multiply) &&
            fimpl == reinterpret_cast<AnyAction>(float_multiply))
            return FAST_MUL;
        if (n == ACT_REMAINDER && impl == reinterpret_cast<AnyAction>(integer_remainder)) return FAST_REM;
        return FAST_NONE;
    }
    if (!callable.is(TYPE_NATIVE)) return FAST_NONE;
    NativeFn fn = native_entry(n);
    if (fn == native_equal_q || fn == native_strict_equal_q) return FAST_EQ;
    if (fn == native_not_equal_q) return FAST_NE;
    if (fn == native_lesser_q) return FAST_LT;
    if (fn == native_lesser_or_equal_q) return FAST_LE;
    if (fn == native_greater_q) return FAST_GT;
    if (fn == native_greater_or_equal_q) return FAST_GE;
    return FAST_NONE;
}

uint32_t summarize(const Cell& callable, Off desc) {
    bool is_func = callable.is(TYPE_FUNCTION) || callable.is(TYPE_ROUTINE);
    const SeriesBuf* b = node_buffer(desc);
    const Cell* d = arena_at<Cell>(b->head);
    uint32_t n = (b->tail - b->head) >> 4;
    uint32_t nargs = 0, locals = 0, i = 0;
    bool simple = true, seen_return = false;
    for (; i < n && d[i].is(TYPE_TYPESET); i++) {
        uint32_t mode = (d[i].header & ARG_MODE_MASK) >> ARG_MODE_SHIFT;
        if (mode == ARG_RETURN) {
            seen_return = true;
            continue;
        }
        if (mode != ARG_EVAL || seen_return) simple = false;
        nargs++;
    }
    for (; i < n; i++) {
        if (d[i].is(TYPE_REFINEMENT) && is_func) simple = false;
        else if (d[i].is(TYPE_INTEGER) && is_func) locals = d[i].data2;
    }
    if (nargs > SUM_NARGS_MASK || locals > SUM_LOCALS_MASK) simple = false;
    uint32_t sum = SUM_VALID;
    if (!simple) return sum;
    sum |= SUM_SIMPLE | nargs | (locals << SUM_LOCALS_SHIFT);
    if (!is_func && nargs == 2 && typeset_has(&d[0], TYPE_INTEGER) && typeset_has(&d[1], TYPE_INTEGER))
        sum |= fast_op_of(callable) << SUM_FASTOP_SHIFT;
    if (callable.is(TYPE_NATIVE)) {
        NativeFn fn = native_entry(callable.data1);
        if (nargs == 1 && fn == native_return) sum |= FAST_RETURN << SUM_FASTOP_SHIFT;
        else if (nargs == 2 && fn == native_if) sum |= FAST_IF << SUM_FASTOP_SHIFT;
        else if (nargs == 2 && fn == native_unless) sum |= FAST_UNLESS << SUM_FASTOP_SHIFT;
        else if (nargs == 3 && fn == native_either) sum |= FAST_EITHER << SUM_FASTOP_SHIFT;
    }
    bool any = true;
    for (uint32_t k = 0; k < nargs; k++) {
        Cell all = d[k];
        typeset_set_bit(&all, TYPE_UNSET);
        if (all.data1 != ~0u || all.data2 != ~0u || all.data3 != ~0u) any = false;
    }
    if (any) sum |= SUM_ANY;
    return sum;
}

// The fast operation of an op! cell whose descriptor is already built, else
// FAST_NONE (the first call goes the general way and builds it).
inline uint32_t op_fast_code(const Cell* op) {
    const Cell* slot = arena_at<Cell>(node_buffer(op->data3)->head) + 1;
    if (!slot->is(TYPE_BLOCK)) return FAST_NONE;
    uint32_t code = (slot->data3 >> SUM_FASTOP_SHIFT) & SUM_FASTOP_MASK;
    return code <= FAST_LAST_OP ? code : FAST_NONE;
}

// `left op right` on two integers, written into `left` as the native or
// action writes its result slot: sums, differences and products keep the
// left cell's header flags and overflow to float!; comparisons give logic!.
inline void fast_int_op(uint32_t op, Cell* left, int32_t b) {
    int32_t a = static_cast<int32_t>(left->data2), r;
    if (op <= FAST_MUL) {
        bool overflow = op == FAST_ADD   ? __builtin_add_overflow(a, b, &r)
                        : op == FAST_SUB ? __builtin_sub_overflow(a, b, &r)
                                         : __builtin_mul_overflow(a, b, &r);
        if (__builtin_expect(overflow, 0)) {
            double x = a, y = b;
            float_set_cell(left, op == FAST_ADD ? x + y : op == FAST_SUB ? x - y : x * y);
        } else {
            left->data2 = static_cast<uint32_t>(r);  // the left cell's header flags stay
        }
        return;
    }
    bool v;
    switch (op) {
    case FAST_EQ: v = a == b; break;
    case FAST_NE: v = a != b; break;
    case FAST_LT: v = a < b; break;
    case FAST_LE: v = a <= b; break;
    case FAST_GT: v = a > b; break;
    default: v = a >= b; break;
    }
    left->header = TYPE_LOGIC;
    left->data1 = v;
    left->data2 = 0;
    left->data3 = 0;
}

// `left op right` where either operand may be a float! and the other an
// integer! or float!: what fast_int_op does for two integers, and for sums,
// differences and products with a float what the float action gives (a
// float! result, no error possible). False, with nothing changed, for any
// other pair.
__attribute__((noinline)) bool fast_float_op(uint32_t op, Cell* left, const Cell* right) {
    uint32_t lt = left->type(), rt = right->type();
    if (op > FAST_MUL || (lt != TYPE_FLOAT && lt != TYPE_INTEGER) || (rt != TYPE_FLOAT && rt != TYPE_INTEGER))
        return false;
    double a = lt == TYPE_FLOAT ? float_get(left) : double(static_cast<int32_t>(left->data2));
    double b = rt == TYPE_FLOAT ? float_get(right) : double(static_cast<int32_t>(right->data2));
    float_set_cell(left, op == FAST_ADD ? a + b : op == FAST_SUB ? a - b : a * b);
    return true;
}
__attribute__((always_inline)) inline bool fast_num_op(uint32_t op, Cell* left, const Cell* right) {
    if (__builtin_expect(left->is(TYPE_INTEGER) && right->is(TYPE_INTEGER), 1)) {
        fast_int_op(op, left, static_cast<int32_t>(right->data2));
        return true;
    }
    return fast_float_op(op, left, right);
}

// What the general path may mark and push, beyond what a shortcut marks and
// pushes itself, for the work the shortcut does in place: a set-word's
// frame, an operator's frame and right operand, a return's frame, number
// operations nested in arguments. Closer than this to the end of either
// stack the shortcuts stand aside, so that stack-overflow is raised at the
// very push or frame mark, with the `where` and `near`, that the general
// path raises it at.
constexpr uint32_t kShortcutFrames = 16;
constexpr uint32_t kShortcutCells = 48;
inline bool shortcut_room() {
    return g_stack.frame_top + kShortcutFrames < g_stack.frame_end && g_stack.top + kShortcutCells < g_stack.data_end;
}

const int32_t kNoRefinements[kMaxRefinements] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

// Saves the code position cell and puts it back on every exit.
struct CodePositionGuard {
    Cell saved = g_interp.code_position;
    GcRootCell keep{&saved};
    CodePositionGuard() = default;
    // Also sets the position to `pos` of `block`, whose node is now `node`.
    CodePositionGuard(const Cell* block, Off node, uint32_t pos) {
        g_interp.code_position = *block;
        g_interp.code_position.data1 = pos;
        g_interp.code_position.data2 = node;
    }
    ~CodePositionGuard() { g_interp.code_position = saved; }
};

// Elements of a path after its head, used as refinements of a call: those
// before `tail` that the path still holds when each is read.
struct PathRefs {
    Off node;
    uint32_t pos;
    uint32_t tail;
};

inline uint32_t eval_code(const Cell& callable, const Off& node, uint32_t pos, const Cell& name, const PathRefs* path,
                          uint32_t owner, bool infix);
// `case_`: case-sensitive field and key matching for this path's own
// elements (get and set with /case); paths evaluated by its parens match
// without case, as every path the interpreter meets itself.
uint32_t eval_path(const Cell& path, const Off& node, uint32_t pos, int mode, bool case_ = false);
enum PathMode { PATH_EVAL = 0, PATH_SET = 1, PATH_GET = 2 };
inline uint32_t eval_push(const Off& node, uint32_t pos, bool no_infix);
void eval_block_impl(const Cell* block, bool chain, bool paren, bool body = false);

// Parens being evaluated: a paren marks no frame, so without this count a
// paren that holds itself would recurse until the machine stack ran out.
uint32_t g_paren_depth = 0;

// Evaluates a paren term, its value pushed. Each paren under evaluation
// takes the room of one frame, so the nesting ends in stack-overflow where
// nested calls would.
void eval_paren(const Cell* cell) {
    struct Level {
        Level() {
            if (g_paren_depth >= uint32_t(g_stack.frame_end - g_stack.frame_top)) stack_overflow_frames();
            g_paren_depth++;
        }
        ~Level() { g_paren_depth--; }
    } level;
    Cell paren = *cell;
    eval_block_impl(&paren, true, true);
}

uint32_t call_word(const Off& node, uint32_t pos, const Cell* word, const Cell* v);
inline uint32_t eval_infix(const Off& node, uint32_t pos, Cell* start);

[[noreturn]] void raise_expect_arg(const Cell& name, const Cell* value, const Cell* callable, uint32_t entry) {
    Cell dt;
    datatype_set(&dt, value->type());
    Cell word = interp_spec_word(callable, entry);
    error_raise(ErrCat::Script, "expect-arg", &name, &dt, &word);
}

// Fetches one argument of mode `mode` at `pos`; returns the position after it.
uint32_t fetch_one(const Off& node, uint32_t pos, uint32_t tail, uint32_t mode, bool no_infix, const Cell* entry,
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

// Positions of a function's refinement cells in its frame, from its interface block
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

// Pushes and checks the arguments of the refinement at descriptor entry
// `entry` (rooted by the caller); `blank` makes each none! once fetched, as
// the arguments of a refinement that is not active. Returns the position
// after them.
uint32_t fetch_refinement_args(const Off& node, uint32_t pos, const Off& desc, uint32_t entry, bool infix,
                               const Cell& name, const Cell& callable, bool blank) {
    for (uint32_t k = entry + 1; k < code_tail(desc); k++) {
        const Cell* e = code_at(desc, k);
        if (!e->is(TYPE_TYPESET)) break;
        uint32_t mode = (e->header & ARG_MODE_MASK) >> ARG_MODE_SHIFT;
        if (mode == ARG_RETURN) break;
        pos = fetch_one(node, pos, code_tail(node), mode, infix, e, name, &callable, k);
        if (exit_pending()) return pos;
        e = code_at(desc, k);
        const Cell* got = g_stack.top - 1;
        if (!typeset_has(e, got->type())) raise_expect_arg(name, got, &callable, k);
        if (blank) cell_set(g_stack.top - 1, TYPE_NONE);
    }
    return pos;
}

// Fills the current frame with the arguments of `callable` and returns the
// position after them; `refs` receives a native's refinement positions.
uint32_t fetch_args(const Cell& callable, const Off& node, uint32_t pos, const Cell& name, const PathRefs* path,
                    bool infix, int32_t* refs) {
    // Building the descriptor may collect: an infix call's left operand,
    // just above the top, must be inside the marked stack meanwhile.
    if (infix) g_stack.top++;
    Off desc = interp_spec_cache(&callable);
    if (infix) g_stack.top--;
    GcRootNode keep_desc(&desc);
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
    // An argument's evaluation may shorten the path: its length is read anew.
    for (uint32_t p = path->pos; p < std::min(path->tail, code_tail(path->node)); p++) {
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
            // The arguments are evaluated above the whole frame, then moved
            // to their cells after the flag: an expression evaluated in
            // place would use the cells of later refinements and locals as
            // its scratch space and leave its leftovers there.
            Cell* saved_top = g_stack.top;
            pos = fetch_refinement_args(node, pos, desc, static_cast<uint32_t>(entry), infix, name, callable, !active);
            if (exit_pending()) return pos;
            std::memmove(flag + 1, saved_top, size_t(g_stack.top - saved_top) * sizeof(Cell));
            g_stack.top = saved_top;
        } else {
            if (ord == 0 || ord > kMaxRefinements) error_raise(ErrCat::Script, "bad-refine", &el);
            if (refs[ord - 1] >= 0) {
                cell_set_type(&el, TYPE_REFINEMENT);
                error_raise(ErrCat::Script, "dup-refine", &el);
            }
            int32_t position = static_cast<int32_t>(g_stack.top - g_stack.args);
            pos = fetch_refinement_args(node, pos, desc, static_cast<uint32_t>(entry), infix, name, callable, false);
            if (exit_pending()) return pos;
            if (active) refs[ord - 1] = position;
        }
    }
    return pos;
}

// Checks the argument `got` against entry `i` of a simple callable's
// descriptor, unless its summary says every argument takes it.
inline void check_arg(const Cell* callable, const Cell& name, uint32_t i, const Cell* got) {
    const Cell* slot = arena_at<Cell>(node_buffer(callable->data3)->head) + 1;
    if ((slot->data3 & SUM_ANY) && got->type() != TYPE_UNSET) return;
    if (!typeset_has(code_at(slot->data2, i), got->type())) raise_expect_arg(name, got, callable, i);
}

// Fetches the evaluated arguments `from` .. `nargs` - 1 of a simple callable
// (rooted) into the current frame and checks them; false when an exit is
// pending. `no_infix` for an infix call's right operand.
bool fetch_rest(const Off& node, uint32_t* p, const Cell* callable, const Cell& name, uint32_t from, uint32_t nargs,
                bool no_infix) {
    for (uint32_t i = from; i < nargs; i++) {
        if (*p >= code_tail(node)) {
            Cell word = interp_spec_word(callable, i);
            error_raise(ErrCat::Script, "no-arg", &name, &word);
        }
        *p = eval_push(node, *p, no_infix);
        if (exit_pending()) return false;
        check_arg(callable, name, i, g_stack.top - 1);
    }
    return true;
}

// Calls a native's or action's implementation, its arguments in the current
// frame.
inline void call_builtin(const Cell* callable, const int32_t* refs) {
    with_host_heap_errors([&] {
        if (callable->is(TYPE_NATIVE)) {
            NativeFn fn = native_entry(callable->data1);
            if (!fn) error_raise(ErrCat::Internal, "not-done");
            fn(0, refs);
        } else {
            DispatchFn fn = action_dispatcher(callable->data1);
            if (!fn) error_raise(ErrCat::Internal, "not-done");
            fn(refs);
        }
    });
}

// A simple native's or action's work (a number operator's inline), its
// arguments in the current frame.
inline void run_builtin(const Cell* callable, uint32_t op, Cell* args) {
    if (op && op <= FAST_LAST_OP && fast_num_op(op, args, args + 1)) return;
    call_builtin(callable, kNoRefinements);
}

// What the conditional natives (if, unless, either) do, their arguments in
// the current frame and checked: the chosen block's value, or none!, in the
// result slot.
inline void run_conditional(uint32_t op, Cell* args) {
    const Cell* branch = nullptr;
    if (op == FAST_EITHER) branch = value_true_checked(args) ? args + 1 : args + 2;
    else if (value_false_q(args) == (op == FAST_UNLESS)) branch = args + 1;
    g_stack.top = args + 1;
    if (!branch) {
        cell_set(args, TYPE_NONE);
    } else {
        Cell block = *branch;
        eval_block_impl(&block, true, false);
    }
}

// Runs a function!'s body with its arguments in the current frame, which is
// the function's call frame; return and exit land here.
__attribute__((always_inline)) inline void run_function(const Cell* function, const Cell* name) {
    // The function's words read the frame's cells while the body runs.
    // `function` is a rooted cell (the caller's, or the evaluation stack's):
    // its context and extra block are read through it after the body ran,
    // when the collector may have moved their nodes.
    // The context node is restored through a rooted copy: a break or
    // continue thrown from the body writes the loop's result slot, which
    // may be the very stack cell holding `function`.
    Off ctx = function->data1;
    GcRootNode keep_ctx(&ctx);
    Off more = function->data3;
    struct ValuesGuard {
        const Off& ctx;
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
    if (g_interp.on) {
        interp_trace_hook(TRACE_PROLOG, &body, -1, name, nullptr);
        body = *arena_at<Cell>(node_buffer(function->data3)->head);
    }
    if (!body.is(TYPE_BLOCK)) {
        cell_set_unset(g_stack.args);
        g_stack.top = g_stack.args + 1;
    } else {
        try {
            eval_block_impl(&body, true, false, true);
        } catch (const KelThrow& t) {
            if (!exits_land_caught(t, frame, EXIT_EXIT, EXIT_RETURN)) throw;
        }
        if (exit_pending() && !exits_land_pending(frame, EXIT_EXIT, EXIT_RETURN)) return;
    }
    if (g_interp.on) {
        body = *arena_at<Cell>(node_buffer(function->data3)->head);
        interp_trace_hook(TRACE_EPILOG, &body, -1, name, g_stack.args);
    }
    frame->header &= ~FRAME_BODY_FLAG;
    g_stack.top = g_stack.args + 1;
}

// A call of a native, action or function! with a simple descriptor, while
// not tracing and without path refinements: the general path below without
// the decoding of the descriptor.
__attribute__((noinline)) uint32_t eval_code_simple(const Cell& callable, const Off& node, uint32_t pos,
                                                    const Cell& name, bool infix, uint32_t sum) {
    Cell* base = g_stack.top;
    if (!infix) stack_push(&callable);
    uint32_t nargs = sum & SUM_NARGS_MASK;
    if (callable.is(TYPE_FUNCTION)) {
        Off ctx = callable.data1;
        if (g_stack.frame_top >= g_stack.frame_end) stack_overflow_frames();
        uint32_t saved_values = arena_at<Cell>(node_buffer(ctx)->head)->data2;
        *g_stack.frame_top++ =
            CallFrame{FRAME_INTERP_FUNC, name.data2, arena_off(g_stack.args), name.data1, ctx, saved_values};
        g_stack.args = g_stack.top;
    } else {
        stack_mark(name.data2, name.data1, FRAME_INTERP);
    }
    if (infix && nargs > 0) {
        g_stack.top++;  // the left operand already sits in the result slot
        check_arg(&callable, name, 0, g_stack.args);
    }
    if (!fetch_rest(node, &pos, &callable, name, infix ? 1 : 0, nargs, infix)) return pos;
    if (callable.is(TYPE_FUNCTION)) {
        if (sum & (SUM_LOCALS_MASK << SUM_LOCALS_SHIFT))
            function_init_locals((sum >> SUM_LOCALS_SHIFT) & SUM_LOCALS_MASK);
        run_function(&callable, &name);
    } else {
        uint32_t op = (sum >> SUM_FASTOP_SHIFT) & SUM_FASTOP_MASK;
        if (op >= FAST_IF) run_conditional(op, g_stack.args);
        else run_builtin(&callable, op, g_stack.args);
    }
    if (exit_pending()) return pos;
    stack_unwind();
    if (!infix) {
        copy_cell(g_stack.top - 1, base);
        g_stack.top = base + 1;
    }
    return pos;
}

// The general call: tracing, path refinements, routines and callables whose
// descriptor is not simple.
__attribute__((noinline)) uint32_t eval_code_general(const Cell& callable, const Off& node, uint32_t pos, const Cell& name,
                                                     const PathRefs* path, uint32_t owner, bool infix) {
    // The trace callback may collect; the path's node is read as refinements
    // are fetched.
    Off path_node = path ? path->node : 0;
    GcRootNode keep_path(path ? const_cast<Off*>(&path->node) : &path_node);
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
        call_builtin(&callable, refs);
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

inline uint32_t eval_code(const Cell& callable, const Off& node, uint32_t pos, const Cell& name, const PathRefs* path,
                          uint32_t owner, bool infix) {
    // The callable and its name are the caller's variables (or temporaries).
    GcRootCell keep_callable(const_cast<Cell*>(&callable)), keep_name(const_cast<Cell*>(&name));
    if (!g_interp.on && !path && !callable.is(TYPE_ROUTINE)) {
        const Cell* slot = arena_at<Cell>(node_buffer(callable.data3)->head) + 1;
        if (!slot->is(TYPE_BLOCK) || !(slot->data3 & SUM_VALID)) {
            if (infix) g_stack.top++;  // the left operand stays marked while the descriptor is built
            interp_spec_cache(&callable);
            if (infix) g_stack.top--;
            slot = arena_at<Cell>(node_buffer(callable.data3)->head) + 1;
        }
        if (slot->data3 & SUM_SIMPLE)
            return eval_code_simple(callable, node, pos, name, infix, slot->data3);
    }
    return eval_code_general(callable, node, pos, name, path, owner, infix);
}

// Resolves a path element: get-words give their value, parens their result.
void path_element(const Cell& el, Cell* out) {
    if (el.is(TYPE_GET_WORD)) {
        copy_cell(word_get_any(&el), out);
    } else if (el.is(TYPE_PAREN)) {
        // Dropping the paren's frame lowers the top to the enclosing frame's
        // arguments; the cells the path walk pushed above them (the current
        // value, its parent, the element) must stay below the top, where the
        // collector sees them.
        Cell* top = g_stack.top;
        Cell anon = anon_name();
        stack_mark(&anon, FRAME_INTERP);
        interp_eval_block(&el, true);
        if (exit_pending()) return;
        copy_cell(g_stack.args, out);
        stack_unwind_drop();
        g_stack.top = top;
    } else {
        copy_cell(&el, out);
    }
}

// Evaluates a path (evaluate, set with the value in the current frame's
// second cell, or get); pushes the value and returns the code position.
uint32_t eval_path(const Cell& path, const Off& node, uint32_t pos, int mode, bool case_) {
    Off pnode = path.data2;
    GcRootCell keep_path(const_cast<Cell*>(&path));
    GcRootNode keep_pnode(&pnode);
    uint32_t head = path.data1;
    uint32_t ptail = code_tail(pnode);
    if (head >= ptail) error_raise(ErrCat::Script, "empty-path");
    Cell first = *code_at(pnode, head);
    if (!first.is(TYPE_WORD)) error_raise(ErrCat::Script, "word-first", &path);
    if (mode == PATH_SET && head + 1 == ptail) {
        // Nothing to walk: the word itself is the target, set as its
        // set-word would set it (an object field notifies its owner).
        GcRootCell keep_first(&first);
        word_set(&first, g_stack.args + 1);
        stack_push(g_stack.args + 1);
        return pos;
    }
    if (g_interp.on) {
        // The callback may change the path: what follows reads it afresh.
        interp_trace_hook(TRACE_ENTER, &path, static_cast<int32_t>(head), nullptr, nullptr);
        for (uint32_t i = head; i < std::min(ptail, code_tail(pnode)); i++) {
            Cell el = *code_at(pnode, i);
            interp_trace_hook(TRACE_FETCH, &path, static_cast<int32_t>(i), nullptr, &el);
        }
        ptail = std::min(ptail, code_tail(pnode));
        if (head >= ptail) error_raise(ErrCat::Script, "empty-path");
        first = *code_at(pnode, head);
        if (!first.is(TYPE_WORD)) error_raise(ErrCat::Script, "word-first", &path);
    }
    const Cell* v = word_value(&first);
    // The path, then the element without a value: the order of every other
    // path error, which the message template reads.
    if (v->is(TYPE_UNSET)) error_raise(ErrCat::Script, "unset-path", &path, &first);
    if (is_callable(v->type())) {
        if (mode == PATH_GET) error_raise(ErrCat::Script, "invalid-path-get", &path);
        if (mode == PATH_SET) error_raise(ErrCat::Script, "invalid-path-set", &path);
        Cell callable = *v;
        PathRefs refs{pnode, head + 1, ptail};
        Cell* result = g_stack.top;
        pos = eval_code(callable, node, pos, first, &refs, 0, false);
        if (g_interp.on && !exit_pending()) interp_trace_hook(TRACE_EXIT, &path, -1, nullptr, result);
        return pos;
    }
    // The walk keeps the current value, its parent and the element that
    // selected it on the stack, so the collector sees them.
    Cell* cur = stack_push(v);
    if (g_interp.on) interp_trace_hook(TRACE_PUSH, &path, -1, nullptr, cur);
    Cell* parent = stack_push_cell();
    Cell* element = stack_push_cell();
    Cell* set_value = mode == PATH_SET ? g_stack.args + 1 : nullptr;
    // A paren element may change the path itself. The walk covers at most
    // the elements the path had when it began, and never the cells that a
    // shortening left past its tail (stale, their series maybe collected).
    for (uint32_t i = head + 1; i < ptail; i++) {
        Cell el = *code_at(pnode, i);
        GcRootCell keep_el(&el);
        path_element(el, element);
        if (exit_pending()) return pos;
        ptail = std::min(ptail, code_tail(pnode));
        bool last = i + 1 >= ptail;
        EvalPathFn fn = reinterpret_cast<EvalPathFn>(action_entry(cur->type(), ACT_EVAL_PATH));
        if (!fn) {
            // The third argument is the path up to and including the element
            // that found no way into the value.
            Cell dt, walked{TYPE_NONE, 0, 0, 0};
            GcRootCell keep_walked(&walked);
            datatype_set(&dt, cur->type());
            // A paren element may have shortened the path meanwhile.
            int64_t total = series_length_total(&path);
            int64_t from = std::min<int64_t>(head, total);
            int64_t count = std::min<int64_t>(int64_t(i) - head + 1, total - from);
            series_copy_range(&path, static_cast<int32_t>(from), static_cast<int32_t>(count), &walked, path.type());
            error_raise(ErrCat::Script, "bad-path-type", &path, &dt, &walked);
        }
        EvalPathArgs args;
        args.path = const_cast<Cell*>(&path);
        args.gparent = parent;
        args.index = static_cast<int32_t>(i - head);
        args.get = mode == PATH_GET;
        args.tail = last;
        args.case_ = case_;
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

namespace {

// Types whose cells evaluate to themselves.
constexpr bool inert_type(uint32_t t) {
    switch (t) {
    case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_PAREN: case TYPE_ISSUE:
    case TYPE_NATIVE: case TYPE_ACTION: case TYPE_FUNCTION: case TYPE_ROUTINE: case TYPE_OP: case TYPE_PATH:
    case TYPE_LIT_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH:
        return false;
    default:
        return true;
    }
}
struct InertTable {
    bool of[256];
    constexpr InertTable() : of() {
        for (uint32_t t = 0; t < 256; t++) of[t] = inert_type(t);
    }
};
constexpr InertTable kInert;

// A word's value that is pushed as it is (no call, no error).
inline bool plain_value_type(uint32_t t) { return !is_callable(t) && t != TYPE_UNSET && t != TYPE_OP; }

// Sets a bound word's value in place when its context is the global one or a
// running function's, and through word_set (resolution, object fields and
// their change notification, errors) otherwise.
__attribute__((always_inline)) inline bool try_store_word(const Cell* word, const Cell* value) {
    uint32_t ctx = word->data1, index = word->data3;
    if (!ctx || index == kWordUnresolved) return false;
    const Cell* cc = arena_at<Cell>(node_buffer(ctx)->head);
    if (!cc->data2) return false;
    if (cc->header & CONTEXT_ON_STACK) {
        copy_cell(value, arena_at<Cell>(cc->data2) + index);
        return true;
    }
    if (((cc->header & CONTEXT_KIND_MASK) >> CONTEXT_KIND_SHIFT) == CTX_OBJECT) return false;
    const SeriesBuf* vb = node_buffer(cc->data2);
    if (index >= (vb->tail - vb->head) >> 4) return false;
    copy_cell(value, arena_at<Cell>(vb->head) + index);
    return true;
}
inline void set_word_value(Cell* word, const Cell* value) {
    if (!try_store_word(word, value)) word_set(word, value);
}

// ---------------------------------------------------------------------------
// Frameless evaluation. An expression made of a plain term (a value that
// evaluates to itself, or a word whose value is pushed as it is) followed by
// number operators whose right operands are plain numbers (see fast_num_op)
// can neither fail, allocate, run Kel code nor look at the stacks; a set-word
// in front of it stores into a global or running function's context without
// notification. Evaluated while not tracing, such an expression needs none of
// the frames, pushes and code-position updates the general path makes, since
// nothing could observe them. Anything else is left untouched to the general
// path.

// The arena base held in a register across the frameless path (the global is
// otherwise re-read after every store that might alias it); the arena never
// moves.
struct Arena {
    uint8_t* base;
    template <class T> T* at(Off off) const { return reinterpret_cast<T*>(base + off); }
    const SeriesBuf* buffer(Off node) const { return at<SeriesBuf>(*at<uint32_t>(node)); }
    // word_peek with the base at hand.
    const Cell* peek(const Cell* word) const {
        uint32_t ctx = word->data1;
        int32_t index = static_cast<int32_t>(word->data3);
        if (!ctx || index < 0) return nullptr;
        const Cell* cc = at<Cell>(buffer(ctx)->head);
        uint32_t values = cc->data2;
        if (!values) return nullptr;
        if (cc->header & kCtxValuesOnStack) return at<Cell>(values) + index;
        const SeriesBuf* vb = buffer(values);
        if (static_cast<uint32_t>(index) >= (vb->tail - vb->head) >> 4) return nullptr;
        return at<Cell>(vb->head) + index;
    }
};

inline bool plain_term(const Arena& ar, const Cell* c, Cell* out) {
    uint32_t t = c->type();
    if (kInert.of[t]) {
        *out = *c;
        return true;
    }
    if (t != TYPE_WORD) return false;
    const Cell* v = ar.peek(c);
    if (!v || !plain_value_type(v->type())) return false;
    *out = *v;
    return true;
}

// The operators after a term whose value is in `out`, from `pos` of `cells`
// (tail `tail`); false when they need the general path.
inline bool fast_operators(const Arena& ar, const Cell* cells, uint32_t pos, uint32_t tail, Cell* out,
                           uint32_t* next) {
    for (; pos < tail; pos += 2) {
        const Cell* w = cells + pos;
        if (!w->is(TYPE_WORD)) break;
        const Cell* v = ar.peek(w);
        if (!v || !v->is(TYPE_OP)) break;
        if (pos + 1 >= tail) return false;
        const Cell* slot = ar.at<Cell>(ar.buffer(v->data3)->head) + 1;
        uint32_t op = slot->is(TYPE_BLOCK) ? (slot->data3 >> SUM_FASTOP_SHIFT) & SUM_FASTOP_MASK : FAST_NONE;
        const Cell* right = w + 1;
        if (right->is(TYPE_WORD)) right = ar.peek(right);
        if (op == FAST_NONE || op > FAST_LAST_OP || !right || !fast_num_op(op, out, right)) return false;
    }
    *next = pos;
    return true;
}

// The expression at `pos` of `cells` (tail `tail`) into `out`; false when it
// needs the general path.
inline bool fast_expression(const Arena& ar, const Cell* cells, uint32_t pos, uint32_t tail, Cell* out,
                            uint32_t* next) {
    return plain_term(ar, cells + pos, out) && fast_operators(ar, cells, pos + 1, tail, out, next);
}

bool nested_expression(const Arena& ar, const Cell* cells, uint32_t pos, uint32_t tail, Cell* out, uint32_t* next,
                       int depth);

// fast_expression, or one whose term is a nested one (see nested_term) down to
// `depth` levels.
inline bool deep_expression(const Arena& ar, const Cell* cells, uint32_t pos, uint32_t tail, Cell* out,
                            uint32_t* next, int depth) {
    return fast_expression(ar, cells, pos, tail, out, next) ||
           (depth > 0 && nested_expression(ar, cells, pos, tail, out, next, depth));
}

// Terms that hold frameless expressions one level down, at most `depth`
// levels deep (a bound on the recursion whatever the code's nesting): a
// number operation called by its name with two arguments, `remainder i 1000`,
// and a paren holding exactly one expression, `(remainder i 1000)`. Neither
// can fail, allocate or run code, so the operation's frame and the paren's
// evaluation that the general path makes could not be observed.
__attribute__((noinline)) bool nested_term(const Arena& ar, const Cell* cells, uint32_t pos, uint32_t tail, Cell* out,
                                           uint32_t* next, int depth) {
    const Cell* c = cells + pos;
    if (c->is(TYPE_PAREN)) {
        const SeriesBuf* b = ar.buffer(c->data2);
        uint32_t ptail = (b->tail - b->head) >> 4, end;
        if (c->data1 >= ptail ||
            !deep_expression(ar, ar.at<Cell>(b->head), c->data1, ptail, out, &end, depth - 1) || end != ptail)
            return false;
        *next = pos + 1;
        return true;
    }
    if (!c->is(TYPE_WORD) || pos + 2 >= tail) return false;
    const Cell* v = ar.peek(c);
    if (!v || !(v->is(TYPE_NATIVE) || v->is(TYPE_ACTION))) return false;
    const Cell* slot = ar.at<Cell>(ar.buffer(v->data3)->head) + 1;
    if (!slot->is(TYPE_BLOCK)) return false;
    uint32_t sum = slot->data3, op = (sum >> SUM_FASTOP_SHIFT) & SUM_FASTOP_MASK;
    if (!(sum & SUM_SIMPLE) || (sum & SUM_NARGS_MASK) != 2 || (op > FAST_LAST_OP && op != FAST_REM) ||
        op == FAST_NONE)
        return false;
    Cell right;
    uint32_t p;
    if (!deep_expression(ar, cells, pos + 1, tail, out, &p, depth - 1) || p >= tail ||
        !deep_expression(ar, cells, p, tail, &right, next, depth - 1))
        return false;
    if (op != FAST_REM) return fast_num_op(op, out, &right);
    // The remainder of two integers as the action gives it (the left cell's
    // header flags stay), unless it would raise an error.
    int32_t r;
    if (!out->is(TYPE_INTEGER) || !right.is(TYPE_INTEGER) ||
        !integer_remainder_defined(integer_get(out), integer_get(&right), &r))
        return false;
    integer_put(out, r);
    return true;
}

// A nested term and the operators after it (kept out of line: the plain
// terms are the common case).
__attribute__((noinline, cold)) bool nested_expression(const Arena& ar, const Cell* cells, uint32_t pos,
                                                       uint32_t tail, Cell* out, uint32_t* next, int depth) {
    uint32_t p;
    return nested_term(ar, cells, pos, tail, out, &p, depth) && fast_operators(ar, cells, p, tail, out, next);
}

// try_store_word with the base at hand.
inline bool fast_store(const Arena& ar, const Cell* word, const Cell* value) {
    uint32_t ctx = word->data1, index = word->data3;
    if (!ctx || index == kWordUnresolved) return false;
    const Cell* cc = ar.at<Cell>(ar.buffer(ctx)->head);
    if (!cc->data2) return false;
    if (cc->header & CONTEXT_ON_STACK) {
        ar.at<Cell>(cc->data2)[index] = *value;
        return true;
    }
    if (((cc->header & CONTEXT_KIND_MASK) >> CONTEXT_KIND_SHIFT) == CTX_OBJECT) return false;
    const SeriesBuf* vb = ar.buffer(cc->data2);
    if (index >= (vb->tail - vb->head) >> 4) return false;
    ar.at<Cell>(vb->head)[index] = *value;
    return true;
}

// Whether the return native `callable` takes `value` as its argument.
inline bool return_takes(const Cell* callable, const Cell* value) {
    Off desc = arena_at<Cell>(node_buffer(callable->data3)->head)[1].data2;
    return typeset_has(code_at(desc, 0), value->type());
}

// `return` with a frameless value: the exit is taken as the return native
// takes it, the search for the function's frame starting at the innermost
// frame (neither the block's frame nor the native's would be a target). When
// there is none the general path raises the error with its frames in place.
bool fast_return(const Cell* callable, const Cell* value) {
    if (!return_takes(callable, value) || stack_depth() == 0) return false;
    CallFrame* target = nullptr;
    for (CallFrame* f = stack_current_frame(); f >= g_stack.frame_bottom; f--) {
        if (f->type() == (FRAME_TRY_ALL & FRAME_TYPE_MASK)) return false;
        if (f->header & FRAME_BODY_FLAG) {
            target = f;
            break;
        }
    }
    if (!target) return false;
    copy_cell(value, stack_frame_args(target));
    g_thrown = EXIT_RETURN;
    g_thrown_target = stack_frame_index(target);
    return true;
}

enum class Fast { No, Done, Exit, Return };

// One statement of a block (an expression, a set-word and its expression, or
// `return` and its expression); No, with nothing changed, when it needs the
// general path; Exit when it took a return. When the statement starts with a
// word whose value is to be called (after a set-word or not), `*callee` is
// that value (valid until the next allocation), so the general path need not
// look it up again.
//
// `body` is set for the statements of a function's body itself (not of a
// block or paren inside it), whose frame is then the innermost: a `return`
// there lands on that frame at once, so instead of taking the exit it gives
// Return, its value in `out`, and the body ends with that value as if it
// were its last statement's (the landing would leave the frame's result
// slot and stacks just so).
__attribute__((always_inline)) inline Fast fast_statement(Off node, uint32_t pos, Cell* out, uint32_t* next, const Cell** callee,
                           bool body = false) {
    const Arena ar{g_arena_base};
    const SeriesBuf* b = ar.buffer(node);
    const Cell* cells = ar.at<Cell>(b->head);
    uint32_t tail = (b->tail - b->head) >> 4;
    const Cell* c = cells + pos;
    if (c->is(TYPE_SET_WORD)) {
        if (pos + 1 >= tail) return Fast::No;
        const Cell* e = c + 1;
        if (e->is(TYPE_WORD)) {
            const Cell* v = ar.peek(e);
            if (!v) return Fast::No;
            if (is_callable(v->type())) {
                *callee = v;
                return Fast::No;
            }
            if (!plain_value_type(v->type())) return Fast::No;
            *out = *v;
        } else if (kInert.of[e->type()]) {
            *out = *e;
        } else {
            return Fast::No;
        }
        return fast_operators(ar, cells, pos + 2, tail, out, next) && fast_store(ar, c, out) ? Fast::Done
                                                                                              : Fast::No;
    }
    uint32_t t = c->type();
    if (kInert.of[t]) {
        *out = *c;
        return fast_operators(ar, cells, pos + 1, tail, out, next) ? Fast::Done : Fast::No;
    }
    if (t != TYPE_WORD) return Fast::No;
    const Cell* v = ar.peek(c);
    if (!v) return Fast::No;
    if (plain_value_type(v->type())) {
        *out = *v;
        return fast_operators(ar, cells, pos + 1, tail, out, next) ? Fast::Done : Fast::No;
    }
    if (!is_callable(v->type())) return Fast::No;
    *callee = v;
    if (!v->is(TYPE_NATIVE) || pos + 1 >= tail) return Fast::No;
    const Cell* slot = ar.at<Cell>(ar.buffer(v->data3)->head) + 1;
    if (!slot->is(TYPE_BLOCK) || ((slot->data3 >> SUM_FASTOP_SHIFT) & SUM_FASTOP_MASK) != FAST_RETURN)
        return Fast::No;
    if (!fast_expression(ar, cells, pos + 1, tail, out, next)) return Fast::No;
    if (body && return_takes(v, out) && stack_depth() > 0 && (stack_current_frame()->header & FRAME_BODY_FLAG))
        return Fast::Return;
    return fast_return(v, out) ? Fast::Exit : Fast::No;
}

// A statement that calls a function!, native or action with a simple
// descriptor, `[set-word] word arg ...`. The call marks the frames and pushes
// the cells the general path would (the set-word's frame and name, the
// callable, the call frame and arguments), so that what runs inside sees the
// same stacks. The leading arguments that are frameless expressions are
// computed first, which nothing could observe; the call is decided at the
// first argument that is not (it and the rest are then evaluated as the
// general path evaluates them) or after the last: before that, No leaves
// everything as it was. When every argument was frameless, nothing between
// the statement's start and a function's or a conditional's first expression
// can fail, so the code position (the `near` of an error) is set only for the
// other natives and actions, and for arguments evaluated the general way.
// Done gives the statement's value in `out`; Exit means an exit is pending.
struct ShortCall {
    const Cell* block;   // the code block, whose node is *node
    Off* node;           // rooted while the call runs
    uint32_t pos;        // the statement
    uint32_t p;          // after the arguments read so far
    uint32_t fast_args;  // arguments already in place
    uint32_t nargs;
    uint32_t locals;
    uint32_t op;
    bool set;
    Cell* base;          // the statement's first cell on the stack
    Cell* args;
    const Cell* callee;  // valid until the call is committed
};

// The set-word's frame and name and the callable, as the general path
// pushes them; returns the callable's cell.
inline Cell* short_commit(const ShortCall& c) {
    if (c.set) {
        const Cell* sw = code_at(*c.node, c.pos);
        *g_stack.frame_top++ = CallFrame{FRAME_INTERP, sw->data2, arena_off(g_stack.args), sw->data1, 0, 0};
        g_stack.args = c.base;
        c.base[0] = *sw;
    }
    Cell* callable = c.base + c.set;
    *callable = *c.callee;
    return callable;
}

// The call's frame marked above the committed cells.
inline void short_mark(const ShortCall& c, uint32_t header, const Cell& name, Off ctx, uint32_t saved_values) {
    *g_stack.frame_top++ = CallFrame{header, name.data2, arena_off(g_stack.args), name.data1, ctx, saved_values};
    g_stack.args = c.args;
}

// The set-word's store of a short call's value, then the end of its frame.
__attribute__((always_inline)) inline void short_store(const ShortCall& c, Cell* out) {
    const Cell* word = code_at(*c.node, c.pos);
    if (out->is(TYPE_UNSET) || !try_store_word(word, out)) {
        // What the general path does, with its frame still marked and the
        // statement's position (put back once the block ends there).
        CodePositionGuard guard(c.block, *c.node, c.pos);
        Cell w = *word;
        GcRootCell keep_w(&w);
        if (out->is(TYPE_UNSET)) error_raise(ErrCat::Script, "need-value", &w);
        Cell* value = stack_push(out);  // rooted while word_set runs
        word_set(&w, value);
        *out = *value;
    }
    stack_unwind();  // the set-word's frame
}

// Whether the cell at `p` is a word whose value is an op!.
inline bool op_at(const Off& node, uint32_t p) {
    if (p >= code_tail(node)) return false;
    const Cell* w = code_at(node, p);
    if (!w->is(TYPE_WORD)) return false;
    const Cell* v = word_peek(w);
    return v && v->is(TYPE_OP);
}

// Operator lookahead from `p` on the value at `at` (the top just above it),
// as the general path runs it after a term, with the statement as the code
// position.
uint32_t short_infix(const ShortCall& c, uint32_t p, Cell* at) {
    CodePositionGuard guard(c.block, *c.node, c.pos);
    g_stack.top = at + 1;
    return eval_infix(*c.node, p, at);
}

// short_finish when a word follows the call. The shortcut found no operator
// there before the call, but the call, or the set-word's store, may have
// made one: it takes the call's value before the store, or the stored value
// after it.
__attribute__((noinline)) Fast short_finish_word(const ShortCall& c, Cell* out, uint32_t* next) {
    uint32_t p = c.p;
    Cell* at = c.base + c.set;  // the callable's cell, where the general path leaves the value
    *at = *c.args;
    if (op_at(*c.node, p)) {
        p = short_infix(c, p, at);
        if (exit_pending()) return Fast::Exit;
    }
    *out = *at;
    if (c.set) {
        short_store(c, out);
        if (op_at(*c.node, p)) {
            *c.base = *out;
            p = short_infix(c, p, c.base);
            if (exit_pending()) return Fast::Exit;
            *out = *c.base;
        }
    }
    g_stack.top = c.base;
    *next = p;
    return Fast::Done;
}

// After the call: its frame ends, its value goes to `out` and, through the
// set-word, to its word.
__attribute__((always_inline)) inline Fast short_finish(const ShortCall& c, Cell* out, uint32_t* next) {
    stack_unwind();  // the call's frame
    if (c.p < code_tail(*c.node) && code_at(*c.node, c.p)->is(TYPE_WORD)) [[unlikely]]
        return short_finish_word(c, out, next);
    *out = *c.args;
    if (c.set) short_store(c, out);
    g_stack.top = c.base;
    *next = c.p;
    return Fast::Done;
}

// A function! whose arguments are all in place (inlined into fast_call, as
// is short_if: the two common performers cost no call of their own).
__attribute__((always_inline)) inline Fast short_function(const ShortCall& c, Cell* out, uint32_t* next) {
    Cell name = *code_at(*c.node, c.pos + c.set);
    GcRootCell keep_name(&name);
    Cell* callable = short_commit(c);
    Off ctx = callable->data1;
    short_mark(c, FRAME_INTERP_FUNC, name, ctx, arena_at<Cell>(node_buffer(ctx)->head)->data2);
    g_stack.top = c.args + c.nargs;
    if (c.locals) function_init_locals(c.locals);
    run_function(callable, &name);
    if (exit_pending()) return Fast::Exit;
    return short_finish(c, out, next);
}

// A native or action whose arguments are all in place; the code position is
// the statement's while it runs.
__attribute__((noinline)) Fast short_native(const ShortCall& c, Cell* out, uint32_t* next) {
    CodePositionGuard guard(c.block, *c.node, c.pos);
    Cell name = *code_at(*c.node, c.pos + c.set);
    Cell* callable = short_commit(c);
    short_mark(c, FRAME_INTERP, name, 0, 0);
    g_stack.top = c.args + c.nargs;
    run_builtin(callable, c.op, c.args);
    if (exit_pending()) return Fast::Exit;
    return short_finish(c, out, next);
}

// if, unless or either whose arguments are all in place.
__attribute__((always_inline)) inline Fast short_if(const ShortCall& c, Cell* out, uint32_t* next) {
    Cell name = *code_at(*c.node, c.pos + c.set);
    short_commit(c);
    short_mark(c, FRAME_INTERP, name, 0, 0);
    run_conditional(c.op, c.args);
    if (exit_pending()) return Fast::Exit;
    return short_finish(c, out, next);
}

// Any short call with arguments left for the general path.
__attribute__((noinline)) Fast short_mixed(ShortCall& c, Cell* out, uint32_t* next) {
    Cell name = *code_at(*c.node, c.pos + c.set);
    GcRootCell keep_name(&name);
    CodePositionGuard guard(c.block, *c.node, c.pos);
    Cell* callable = short_commit(c);
    bool is_func = callable->is(TYPE_FUNCTION);
    if (is_func) {
        Off ctx = callable->data1;
        short_mark(c, FRAME_INTERP_FUNC, name, ctx, arena_at<Cell>(node_buffer(ctx)->head)->data2);
    } else {
        short_mark(c, FRAME_INTERP, name, 0, 0);
    }
    g_stack.top = c.args + c.fast_args;
    if (!fetch_rest(*c.node, &c.p, callable, name, c.fast_args, c.nargs, false)) return Fast::Exit;
    if (is_func) {
        if (c.locals) function_init_locals(c.locals);
        run_function(callable, &name);
    } else if (c.op >= FAST_IF) {
        run_conditional(c.op, c.args);
    } else {
        run_builtin(callable, c.op, c.args);
    }
    if (exit_pending()) return Fast::Exit;
    return short_finish(c, out, next);
}

// Decides a short call (see above) and hands it to its performer. `node` is
// the node of the code block `block`, rooted while the callee runs.
__attribute__((noinline)) Fast fast_call(const Cell* block, Off& node, uint32_t pos, Cell* out, uint32_t* next,
                                         const Cell* callee) {
    const Arena ar{g_arena_base};
    const Cell* slot = ar.at<Cell>(ar.buffer(callee->data3)->head) + 1;
    if (!slot->is(TYPE_BLOCK)) return Fast::No;
    uint32_t sum = slot->data3;
    bool is_func = callee->is(TYPE_FUNCTION);
    if (!(sum & SUM_SIMPLE) || !(is_func || callee->is(TYPE_NATIVE) || callee->is(TYPE_ACTION))) return Fast::No;
    // The call's fields are filled in before the arguments are read: held in
    // memory, they cost no spills around the argument loop's calls.
    ShortCall c;
    c.block = block;
    c.node = &node;
    c.pos = pos;
    c.callee = callee;
    c.nargs = sum & SUM_NARGS_MASK;
    c.locals = (sum >> SUM_LOCALS_SHIFT) & SUM_LOCALS_MASK;
    c.op = (sum >> SUM_FASTOP_SHIFT) & SUM_FASTOP_MASK;
    if (g_stack.top + c.nargs + c.locals + kShortcutCells >= g_stack.data_end ||
        g_stack.frame_top + kShortcutFrames >= g_stack.frame_end)
        return Fast::No;
    const SeriesBuf* b = ar.buffer(node);
    const Cell* cells = ar.at<Cell>(b->head);
    uint32_t tail = (b->tail - b->head) >> 4;
    c.set = cells[pos].is(TYPE_SET_WORD);
    // The arguments go into the cells they will occupy, above the top until
    // the call is decided.
    c.base = g_stack.top;
    c.args = c.base + c.set + 1;
    c.p = pos + c.set + 1;
    const Cell* desc = (sum & SUM_ANY) ? nullptr : ar.at<Cell>(ar.buffer(slot->data2)->head);
    uint32_t i = 0;
    for (; i < c.nargs; i++) {
        if (c.p >= tail) return Fast::No;
        if (!deep_expression(ar, cells, c.p, tail, c.args + i, &c.p, 2)) {
            if (i == 0 && !is_func) return Fast::No;  // the general path costs no more
            break;
        }
        if (desc && !typeset_has(desc + i, c.args[i].type())) return Fast::No;
    }
    // An operator after the last argument applies to the call's value. After
    // a frameless argument there is none: its expression took every operator
    // that followed it.
    if (c.nargs == 0 && c.p < tail && cells[c.p].is(TYPE_WORD)) {
        const Cell* v = ar.peek(cells + c.p);
        if (v && v->is(TYPE_OP)) return Fast::No;
    }
    // Decided: from here on it is the call the general path makes.
    c.fast_args = i;
    GcRootNode keep_node(&node);
    if (i < c.nargs) return short_mixed(c, out, next);
    if (is_func) return short_function(c, out, next);
    if (c.op < FAST_IF) return short_native(c, out, next);
    return short_if(c, out, next);
}

// Runs the statements of `node` from `*pos` frameless while they allow it.
// Done when the block was finished that way (its value in `out`; for a
// function's body, `body`, also by a return landing on its frame), Exit when
// a return was taken; otherwise `*pos` is the first statement that needs the
// general path.
__attribute__((always_inline)) inline Fast fast_statements(const Cell* block, Off& node, uint32_t* pos, Cell* out,
                                                          const Cell** callee, bool body) {
    if (g_interp.on || *pos >= code_tail(node) || !shortcut_room()) return Fast::No;
    uint32_t next;
    for (;;) {
        Fast f = fast_statement(node, *pos, out, &next, callee, body);
        if (f == Fast::Return) return Fast::Done;
        if (f == Fast::No && *callee) {
            f = fast_call(block, node, *pos, out, &next, *callee);
            if (f == Fast::Done) {
                *callee = nullptr;
                if (g_interp.on && next < code_tail(node)) {  // the callee started tracing
                    *pos = next;
                    return Fast::No;
                }
            }
        }
        if (f != Fast::Done) return f;
        *pos = next;
        if (next >= code_tail(node)) return Fast::Done;
    }
}

void eval_block_impl(const Cell* block, bool chain, bool paren, bool body);

// The set-word at `pos` and the expression after it; `callee`, when given,
// is the value of the word after the set-word, to be called.
uint32_t eval_set_word(const Off& node, uint32_t pos, const Cell* callee) {
    Cell name = *code_at(node, pos);
    GcRootCell keep_name(&name);
    stack_mark(&name, FRAME_INTERP);
    stack_push(&name);
    if (pos + 1 >= code_tail(node)) error_raise(ErrCat::Script, "need-value", &name);
    if (callee) {
        Cell* start = g_stack.top;
        pos = call_word(node, pos + 1, code_at(node, pos + 1), callee);
        if (!exit_pending()) pos = eval_infix(node, pos, start);
    } else {
        pos = interp_eval_expression(node, pos + 1, false, true, false);
    }
    if (exit_pending()) return pos;
    Cell* value = g_stack.args + 1;
    if (g_interp.on) interp_trace_hook(TRACE_SET, nullptr, -1, &name, value);
    if (value->is(TYPE_UNSET)) error_raise(ErrCat::Script, "need-value", &name);
    set_word_value(g_stack.args, value);
    copy_cell(value, g_stack.args);
    stack_unwind();
    return pos;
}

// Evaluates the term at `pos` (an expression without its operators), pushes
// its value and returns the position after it.
__attribute__((noinline)) uint32_t eval_term_general(const Off& node, uint32_t pos, bool literal_callables) {
    Cell* cell = code_at(node, pos);
    if (g_interp.on) {
        interp_trace_hook(TRACE_FETCH, nullptr, static_cast<int32_t>(pos), nullptr, cell);
        cell = code_at(node, pos);  // the callback may have moved the block
    }
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
    case TYPE_SET_WORD:
        pos = eval_set_word(node, pos, nullptr);
        if (exit_pending()) return pos;
        break;
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
        eval_paren(cell);
        if (exit_pending()) return pos;
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
        GcRootCell keep_path(&path);
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
    return pos;
}

// Calls the callable value `v` of the word at `pos`.
__attribute__((noinline)) uint32_t call_word(const Off& node, uint32_t pos, const Cell* word, const Cell* v) {
    Cell callable = *v;
    Cell name = *word;
    return eval_code(callable, node, pos + 1, name, nullptr, 0, false);
}

// The common terms without tracing: a value that evaluates to itself and a
// word whose value is pushed as it is.
inline uint32_t eval_term(const Off& node, uint32_t pos, bool literal_callables) {
    if (!g_interp.on) {
        const Cell* cell = code_at(node, pos);
        uint32_t t = cell->type();
        if (kInert.of[t]) {
            stack_push(cell);
            return pos + 1;
        }
        if (t == TYPE_WORD) {
            const Cell* v = word_peek(cell);
            if (v) {
                uint32_t vt = v->type();
                if (plain_value_type(vt)) {
                    stack_push(v);
                    return pos + 1;
                }
                if (is_callable(vt)) return call_word(node, pos, cell, v);
            }
        } else if (t == TYPE_PAREN) {
            eval_paren(cell);
            if (exit_pending()) return pos;
            if (g_interp.on) interp_trace_hook(TRACE_PUSH, nullptr, -1, nullptr, g_stack.top - 1);
            return pos + 1;
        }
    }
    return eval_term_general(node, pos, literal_callables);
}

// Calls the operator `op` (the value of the word at `pos`) with the value at
// `start` as its left operand.
__attribute__((noinline)) uint32_t eval_infix_call(const Off& node, uint32_t pos, Cell* start, const Cell* next,
                                                   const Cell* v) {
    Cell op = *v;
    Cell name = *next;
    if (g_interp.on) {
        // The callback may collect (eval_code roots its own copies).
        GcRootCell keep_op(&op), keep_name(&name);
        interp_trace_hook(TRACE_FETCH, nullptr, static_cast<int32_t>(pos), nullptr, &name);
    }
    cell_set(&op, (op.header >> 16) & 0xFF, op.data1, op.data2, op.data3);
    g_stack.top = start;
    return eval_code(op, node, pos + 1, name, nullptr, 0, true);
}

// An operator with a fast operation, an integer on its left and a right
// operand that is not a plain value (a paren, a call): the operand is
// evaluated with the operator's frame marked, as the general path does; two
// numbers are then combined in place, any other pair is checked and passed to
// the operator's native or action.
__attribute__((noinline)) uint32_t eval_infix_operand(const Off& node, uint32_t pos, Cell* start, const Cell* next,
                                                      const Cell* v) {
    Cell op = *v;
    cell_set(&op, (op.header >> 16) & 0xFF, op.data1, op.data2, op.data3);
    Cell name = *next;
    GcRootCell keep_op(&op), keep_name(&name);
    g_stack.top = start;
    stack_mark(name.data2, name.data1, FRAME_INTERP);
    g_stack.top = start + 1;  // the left operand, in the result slot
    pos = eval_push(node, pos + 1, true);
    if (exit_pending()) return pos;
    if (!fast_num_op(op_fast_code(&op), start, start + 1)) {
        for (uint32_t i = 0; i < 2; i++) check_arg(&op, name, i, start + i);
        call_builtin(&op, kNoRefinements);
        if (exit_pending()) return pos;
    }
    stack_unwind();
    return pos;
}

// Operator lookahead after a term whose value sits at `start`: strictly left
// to right.
inline uint32_t eval_infix(const Off& node, uint32_t pos, Cell* start) {
    for (;;) {
        const SeriesBuf* b = node_buffer(node);
        uint32_t tail = (b->tail - b->head) >> 4;
        if (pos >= tail) return pos;
        const Cell* next = arena_at<Cell>(b->head) + pos;
        if (!next->is(TYPE_WORD)) return pos;
        const Cell* v = word_peek(next);
        if (!v || !v->is(TYPE_OP)) return pos;
        if (!g_interp.on && pos + 1 < tail) {
            // Both operands numbers and the right one a plain value: the
            // operator's frame and call would have no visible effect.
            uint32_t op = op_fast_code(v);
            if (op) {
                const Cell* right = next + 1;
                if (right->is(TYPE_WORD)) right = word_peek(right);
                if (right && (right->is(TYPE_INTEGER) || right->is(TYPE_FLOAT)) && shortcut_room() &&
                    fast_num_op(op, start, right)) {
                    pos += 2;
                    continue;
                }
                if (start->is(TYPE_INTEGER)) {
                    pos = eval_infix_operand(node, pos, start, next, v);
                    if (exit_pending()) return pos;
                    continue;
                }
            }
        }
        pos = eval_infix_call(node, pos, start, next, v);
        if (exit_pending()) return pos;
    }
}

// One expression, its value pushed.
inline uint32_t eval_push(const Off& node, uint32_t pos, bool no_infix) {
    Cell* start = g_stack.top;
    pos = eval_term(node, pos, false);
    if (no_infix || exit_pending()) return pos;
    return eval_infix(node, pos, start);
}

}  // namespace

uint32_t interp_eval_expression(Off node, uint32_t pos, bool no_infix, bool push, bool literal_callables) {
    GcRootNode keep_node(&node);
    Cell* start = g_stack.top;
    pos = eval_term(node, pos, literal_callables);
    if (exit_pending()) return pos;
    if (!no_infix) {
        pos = eval_infix(node, pos, start);
        if (exit_pending()) return pos;
    }
    if (!push) {
        copy_cell(start, g_stack.args);
        g_stack.top = g_stack.args + 1;
        if (g_interp.on) interp_trace_hook(TRACE_EXPR, nullptr, -1, nullptr, g_stack.args);
    }
    return pos;
}

namespace {

void eval_block_framed(const Cell* block, Off node, bool chain, bool paren, uint32_t pos, const Cell* callee);

// Evaluates a block: its statements without pushes while they allow it, the
// rest on the stack. The value is left as a new top cell; a block (not a
// paren) with `chain` also copies it into the caller's result slot.
void eval_block_impl(const Cell* block, bool chain, bool paren, bool body) {
    uint32_t pos = block->data1;
    // The value of the word at `pos` when the frameless path found one to
    // call (valid until the next allocation).
    const Cell* callee = nullptr;
    Cell value;
    Off node = block->data2;
    Fast f = fast_statements(block, node, &pos, &value, &callee, body);
    if (f == Fast::Exit) return;
    if (f == Fast::Done) {
        Cell* out = stack_push(&value);
        if (chain && !paren) copy_cell(out, g_stack.args);
        return;
    }
    eval_block_framed(block, node, chain, paren, pos, callee);
}

// The statements of a block from `pos`, each one's value at the same new top
// cell (kept apart from the frameless path, whose variables then stay in
// registers). A block marks no frame of its own: nothing lands on one, and
// call listings and error reports would skip it.
__attribute__((noinline)) void eval_block_framed(const Cell* block, Off node, bool chain, bool paren, uint32_t pos,
                                                 const Cell* callee) {
    CodePositionGuard guard;
    Cell code = *block;  // its node is `node`, rooted: code.data2 is refreshed from it after calls
    code.data2 = node;
    GcRootNode keep_node(&node);
    Cell* start = g_stack.top;
    if (g_interp.on) {
        interp_trace_hook(TRACE_ENTER, &code, static_cast<int32_t>(code.data1), nullptr, nullptr);
        code.data2 = node;
    }
    if (pos >= code_tail(node)) {
        stack_push_cell();
    } else {
        g_interp.code_position = code;
        // Every statement starts at the same depth of both stacks.
        bool room = shortcut_room();
        for (;;) {
            g_interp.code_position.data1 = pos;
            g_stack.top = start;
            if (!callee && !g_interp.on && room) {
                // A later statement may again be one the shortcuts take.
                uint32_t next;
                Fast f = fast_statement(node, pos, start, &next, &callee);
                if (f == Fast::No && callee) f = fast_call(&code, node, pos, start, &next, callee);
                if (f == Fast::Exit) return;
                if (f == Fast::Done) {
                    callee = nullptr;
                    g_stack.top = start + 1;
                    pos = next;
                    if (pos >= code_tail(node)) break;
                    continue;
                }
            }
            if (callee) {
                const Cell* c = code_at(node, pos);
                pos = c->is(TYPE_SET_WORD) ? eval_set_word(node, pos, callee) : call_word(node, pos, c, callee);
                callee = nullptr;
                if (!exit_pending()) pos = eval_infix(node, pos, start);
            } else {
                pos = eval_push(node, pos, false);
            }
            if (exit_pending()) return;
            g_stack.top = start + 1;
            if (g_interp.on) interp_trace_hook(TRACE_EXPR, nullptr, -1, nullptr, start);
            if (pos >= code_tail(node)) break;
        }
    }
    if (g_interp.on) {
        code.data2 = node;
        interp_trace_hook(TRACE_EXIT, &code, -1, nullptr, start);
    }
    if (chain && !paren) copy_cell(start, g_stack.args);
}

}  // namespace

void interp_eval_block(const Cell* block, bool chain) { eval_block_impl(block, chain, false); }

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
    (void)event_mask;
    run_function(function, name);
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

// The body of a function reads its arguments and locals through the words
// of its context, made from the interface block when the function was made;
// the frame is laid out by the descriptor, built from the interface block as
// it is at the first call. An interface block changed in between (it is the
// caller's block, not a copy) must still give one frame cell per word, or
// the body would read cells past its frame.
void check_frame_fits_context(const Cell& callable, Off desc) {
    const SeriesBuf* b = node_buffer(desc);
    const Cell* d = arena_at<Cell>(b->head);
    uint32_t n = (b->tail - b->head) >> 4, cells = 0;
    for (uint32_t i = 0; i < n; i++) {
        if (d[i].is(TYPE_REFINEMENT)) cells++;
        else if (d[i].is(TYPE_INTEGER)) cells += d[i].data2;
        else if (((d[i].header & ARG_MODE_MASK) >> ARG_MODE_SHIFT) != ARG_RETURN) cells++;
    }
    if (cells != context_words_count(callable.data1)) {
        Cell spec{TYPE_BLOCK, 0, callable.data2, 0};
        error_raise(ErrCat::Script, "bad-func-def", &spec);
    }
}

Off interp_spec_cache(const Cell* callable) {
    Off more = callable->data3;
    Cell* slot = arena_at<Cell>(node_buffer(more)->head) + 1;
    if (slot->is(TYPE_BLOCK)) {
        if (!(slot->data3 & SUM_VALID)) slot->data3 = summarize(*callable, slot->data2);
        return slot->data2;
    }
    // An op! is called as its source, whose cell it copies.
    uint32_t t = callable_source_type(callable);
    bool builtin = t == TYPE_NATIVE || t == TYPE_ACTION;
    if (builtin) native_check_spec_fits(callable);
    Off desc = spec_cache_build(callable->data2, builtin);
    if (!builtin) check_frame_fits_context(*callable, desc);
    uint32_t sum = summarize(*callable, desc);
    slot = arena_at<Cell>(node_buffer(callable->data3)->head) + 1;  // the build may have moved the node
    cell_set(slot, TYPE_BLOCK, 0, desc, sum);
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
    GcRootNode keep_node(&node);
    for (uint32_t i = first->data1; i < code_tail(node); i++) {
        Cell* w = code_at(node, i);
        if (!w->is(TYPE_WORD)) continue;
        uint32_t canon = symbol_resolve(w->data2);
        for (uint32_t k = 0; k < 16; k++)
            if (symbol_resolve(symbol_make(kEvents[k])) == canon) mask |= 1u << k;
    }
    return mask;
}

namespace {

constexpr uint32_t kTraceArgs = 6;  // event, code, offset, value, ref, frame

}  // namespace

void interp_callback_frame(const Cell* callback, Cell* first, uint32_t given) {
    Off desc = interp_spec_cache(callback);
    uint32_t n = static_cast<uint32_t>(node_buffer(desc)->used_bytes() / sizeof(Cell)), i = 0, fixed = 0;
    for (; i < n; i++) {
        const Cell* d = arena_at<Cell>(node_buffer(desc)->head) + i;
        if (!d->is(TYPE_TYPESET)) break;
        if (((d->header & ARG_MODE_MASK) >> ARG_MODE_SHIFT) == ARG_RETURN) continue;
        if (++fixed > given) cell_set(stack_push_cell(), TYPE_NONE);
    }
    if (fixed < given) g_stack.top = first + fixed;
    for (; i < n; i++) {
        const Cell* d = arena_at<Cell>(node_buffer(desc)->head) + i;
        if (d->is(TYPE_REFINEMENT)) cell_set(stack_push_cell(), TYPE_LOGIC, 0);
        else if (d->is(TYPE_TYPESET)) {
            if (((d->header & ARG_MODE_MASK) >> ARG_MODE_SHIFT) != ARG_RETURN) cell_set(stack_push_cell(), TYPE_NONE);
        } else if (d->is(TYPE_INTEGER)) {
            function_init_locals(d->data2);
        }
    }
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
    // Off from here on, not only while the callback runs: the frame and
    // cells made for it may overflow the stacks, and the error that raises
    // must not come back here for its own `error` event.
    g_interp.on = false;
    Cell callback = g_interp.callback;
    Cell code_cell = code ? *code : Cell{TYPE_NONE, 0, 0, 0};
    Cell value_cell = value && value->type() != 0 ? *value : Cell{TYPE_NONE, 0, 0, 0};
    Cell ref_cell = ref ? *ref : Cell{TYPE_NONE, 0, 0, 0};
    GcRootCell keep_callback(&callback), keep_code(&code_cell), keep_value(&value_cell), keep_ref(&ref_cell);
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
    cell_set(pair, TYPE_PAIR, 0, static_cast<uint32_t>(frame_pos), static_cast<uint32_t>(frame_len));
    interp_callback_frame(&callback, ev, kTraceArgs);
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
    Cell p = *path;
    GcRootCell keep(&p);  // its node goes down by reference
    // The caller's cells above its frame's arguments (`out` among them)
    // stay: only this walk's frame and cells are dropped.
    Cell* top = g_stack.top;
    Cell name{TYPE_WORD, 0, sym.anon, 0xFFFFFFFFu};
    stack_mark(&name, FRAME_INTERP);
    stack_push(&p);
    if (value) stack_push(value);
    eval_path(p, p.data2, p.data1, value ? PATH_SET : PATH_GET, case_);
    if (exit_pending()) return false;
    copy_cell(g_stack.top - 1, out);
    stack_unwind_drop();
    g_stack.top = top;
    return true;
}

namespace {

// Runs the evaluation; the process heap refusing memory (a scratch table or
// buffer of the runtime's own) is the runtime's fatal out-of-memory stop, as
// for a fixed buffer, never an unhandled exception.
void run_heap_checked(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::bad_alloc&) {
        fatal_runtime_error(94);
    }
}

}  // namespace

void interp_call_builtin(const Cell* callable, const int32_t* refs) { call_builtin(callable, refs); }

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
            run_heap_checked(*j->fn);
        } catch (...) {
            j->error = std::current_exception();
        }
        return nullptr;
    };
    if (pthread_create(&thread, &attr, body, &job) != 0) {
        pthread_attr_destroy(&attr);
        run_heap_checked(fn);
        return;
    }
    pthread_attr_destroy(&attr);
    pthread_join(thread, nullptr);
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace kel
