// Natives that read or change words and contexts, set new-line markers,
// change letter case, build composite numbers, coerce series and apply
// functions: construct, value?, uppercase, lowercase, as-pair, as-point2D,
// as-point3D, as-money, extend, unset, new-line, new-line?, context?, as,
// apply.
//
// `apply` and natives_call_positional share one calling engine: it lays out
// the callee's frame as the interpreter does (fixed arguments, then for a
// function each refinement's flag and arguments, then its locals; for a
// native the refinement positions) and takes the values from a source. Each
// value is produced at the top of the stack and then moved into its cell, so
// evaluating an argument never overwrites cells of the frame being built.
#include <cmath>
#include <cstring>
#include <vector>

#include "runtime/actions.h"
#include "runtime/case_fold.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/series.h"
#include "runtime/dispatch.h"
#include "runtime/error.h"
#include "runtime/eval_deps.h"
#include "runtime/exits.h"
#include "runtime/gc.h"
#include "runtime/interpreter.h"
#include "runtime/natives.h"
#include "runtime/natives/natives_impl.h"
#include "runtime/natives/value_natives.h"
#include "runtime/stack.h"
#include "runtime/typecheck.h"

namespace kel {

ValueNativeServices g_value_services;

namespace {

inline Cell* cells_of(Off node) { return arena_at<Cell>(node_buffer(node)->head); }
inline uint32_t cell_count(Off node) {
    SeriesBuf* b = node_buffer(node);
    return (b->tail - b->head) >> 4;
}

void logic_result(bool value) {
    cell_set(stack_arguments(), TYPE_LOGIC, value ? 1u : 0u);
    stack_keep();
}

bool callable_type(uint32_t t) {
    return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP || t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}

[[noreturn]] void not_built() { error_raise(ErrCat::Internal, "not-done"); }

// A value of a type whose module is not built in would meet a type without
// actions or name: refuse to make one until the type is registered.
void require_registered(uint32_t type) {
    if (!g_type_names[type].name) not_built();
}

// ---- the calling engine -------------------------------------------------------------------------

uint32_t entry_mode(const Cell* e) { return (e->header & ARG_MODE_MASK) >> ARG_MODE_SHIFT; }

struct ArgEntry {
    uint32_t entry;  // index in the descriptor
    uint32_t mode;
    uint32_t cell;   // frame cell (functions)
};

struct RefinementEntry {
    uint32_t entry;
    uint32_t ordinal;
    uint32_t cell;  // the flag's frame cell (functions)
    uint32_t symbol;
    std::vector<ArgEntry> args;
};

// The frame layout a descriptor describes.
struct Layout {
    std::vector<ArgEntry> fixed;
    std::vector<RefinementEntry> refinements;
    uint32_t locals = 0;
};

// A function's integer! entry counts its local cells; a native's counts its
// refinements and is not a frame cell.
Layout layout_of(Off desc, bool is_func) {
    Layout l;
    uint32_t cell = 0;
    const Cell* d = cells_of(desc);
    for (uint32_t i = 0, n = cell_count(desc); i < n; i++) {
        const Cell& e = d[i];
        if (e.is(TYPE_TYPESET)) {
            uint32_t mode = entry_mode(&e);
            if (mode == ARG_RETURN) continue;
            ArgEntry a{i, mode, cell++};
            if (l.refinements.empty()) l.fixed.push_back(a);
            else l.refinements.back().args.push_back(a);
        } else if (e.is(TYPE_REFINEMENT)) {
            l.refinements.push_back(RefinementEntry{i, e.data3, cell++, symbol_resolve(e.data2), {}});
        } else if (e.is(TYPE_INTEGER) && is_func) {
            l.locals = e.data2;
        }
    }
    return l;
}

// Where the arguments come from.
class ArgSource {
public:
    virtual ~ArgSource() = default;
    virtual bool at_end() const = 0;
    // Pushes the next argument as an argument of `mode` is fetched; with
    // `single` only the next cell is evaluated. False on a pending exit.
    virtual bool fetch(uint32_t mode, bool single) = 0;
    // Passes over the next cell without evaluating it.
    virtual void skip() = 0;
};

// A block of argument expressions (apply).
class BlockSource : public ArgSource {
public:
    explicit BlockSource(Cell* block) : block_(block), pos_(block->data1) {}
    bool at_end() const override { return pos_ >= cell_count(block_->data2); }
    void skip() override { pos_++; }
    bool fetch(uint32_t mode, bool single) override {
        Cell c = cells_of(block_->data2)[pos_];
        if (mode == ARG_AS_IS || (mode == ARG_QUOTED && !c.is(TYPE_PAREN) && !c.is(TYPE_GET_WORD) &&
                                  !c.is(TYPE_GET_PATH))) {
            stack_push(&c);
            pos_++;
            return true;
        }
        if (mode == ARG_QUOTED && c.is(TYPE_GET_WORD)) {
            stack_push(word_get_any(&c));
            pos_++;
            return true;
        }
        if (mode == ARG_QUOTED && c.is(TYPE_GET_PATH)) {
            Cell* out = stack_push_cell();
            pos_++;
            return interp_path_access(&c, nullptr, false, out);
        }
        if (!single) {
            pos_ = interp_eval_next(block_->data2, pos_, cell_count(block_->data2), true);
            return !exit_pending();
        }
        // The one cell alone, so that nothing after it is taken.
        Cell* value = stack_push_cell();
        Cell* code = stack_push_cell();
        cell_set(code, TYPE_BLOCK, 0, alloc_cells(1), 0);
        copy_cell(cells_of(block_->data2) + pos_, block_buffer_append_slot(node_buffer(code->data2)));
        pos_++;
        interp_eval_next(code->data2, 0, 1, true);
        if (exit_pending()) return false;
        copy_cell(g_stack.top - 1, value);
        g_stack.top = value + 1;
        return true;
    }

private:
    Cell* block_;
    uint32_t pos_;
};

// Values given as they are.
class ValuesSource : public ArgSource {
public:
    ValuesSource(const Cell* values, uint32_t count) : values_(values), count_(count) {}
    bool at_end() const override { return next_ >= count_; }
    void skip() override { next_++; }
    bool fetch(uint32_t, bool) override {
        stack_push(values_ + next_++);
        return true;
    }

private:
    const Cell* values_;
    uint32_t count_;
    uint32_t next_ = 0;
};

struct CallMode {
    bool all = false;    // every argument in interface block order, refinements by a logic! each
    bool safer = false;  // single cells; inactive refinements' arguments skipped
};

class Call {
public:
    Call(Cell* callable, const Cell& name, ArgSource& src, CallMode mode)
        : callable_(callable), name_(name), src_(src), mode_(mode) {}

    // Builds the frame, calls and leaves the value in the callable's cell.
    // `path` (a stack cell or null) names refinements from its second
    // element on. False on a pending exit.
    bool run(const Cell* path) {
        uint32_t t = callable_->type();
        is_func_ = t == TYPE_FUNCTION || t == TYPE_ROUTINE;
        layout_ = layout_of(interp_spec_cache(callable_), is_func_);
        if (is_func_) stack_mark_interp_func_ctx(name_.data2, name_.data1, t == TYPE_FUNCTION ? callable_->data1 : 0);
        else stack_mark(&name_, FRAME_INTERP);
        frame_ = g_stack.args;
        for (int32_t& r : refs_) r = -1;
        for (const ArgEntry& a : layout_.fixed) {
            if (!fetch_value(a, mode_.all)) return false;
            check_type(g_stack.top - 1, a.entry);
        }
        if (is_func_) push_function_cells();
        std::vector<bool> named(layout_.refinements.size(), false);
        std::vector<bool> named_active(layout_.refinements.size(), false);
        std::vector<uint32_t> order;
        if (path) path_refinements(path, named, named_active, order);
        if (mode_.all) {
            for (uint32_t r = 0; r < layout_.refinements.size(); r++) {
                bool active = false;
                if (!src_.at_end()) {
                    if (!src_.fetch(ARG_EVAL, mode_.safer)) return false;
                    const Cell* flag = g_stack.top - 1;
                    if (!flag->is(TYPE_LOGIC)) raise_expect_arg(flag, layout_.refinements[r].entry);
                    active = flag->data1 != 0;
                    stack_pop(1);
                }
                if (!refinement(r, active || named_active[r])) return false;
            }
        } else {
            for (uint32_t r : order)
                if (!refinement(r, named_active[r])) return false;
        }
        return call();
    }

private:
    [[noreturn]] void raise_expect_arg(const Cell* value, uint32_t entry) {
        Cell dt;
        datatype_set(&dt, value->type());
        Cell word = interp_spec_word(callable_, entry);
        error_raise(ErrCat::Script, "expect-arg", &name_, &dt, &word);
    }

    void check_type(const Cell* value, uint32_t entry) {
        const Cell* e = cells_of(interp_spec_cache(callable_)) + entry;
        if (!typeset_has(e, value->type())) raise_expect_arg(value, entry);
    }

    // Fetches one argument onto the top of the stack; an argument the source
    // lacks is none! when tail-completing, else `no-arg`.
    bool fetch_value(const ArgEntry& a, bool complete) {
        if (src_.at_end()) {
            const Cell* e = cells_of(interp_spec_cache(callable_)) + a.entry;
            if (a.mode == ARG_QUOTED && typeset_has(e, TYPE_UNSET)) {
                stack_push_cell();
                return true;
            }
            if (!complete) {
                Cell word = interp_spec_word(callable_, a.entry);
                error_raise(ErrCat::Script, "no-arg", &name_, &word);
            }
            cell_set(stack_push_cell(), TYPE_NONE);
            return true;
        }
        return src_.fetch(a.mode, mode_.safer);
    }

    void place(const ArgEntry& a) {
        if (!is_func_ || frame_ + a.cell == g_stack.top - 1) return;
        copy_cell(g_stack.top - 1, frame_ + a.cell);
        stack_pop(1);
    }

    // A function's frame holds every refinement flag (false), every
    // refinement argument (none!) and its locals from the start.
    void push_function_cells() {
        for (const RefinementEntry& r : layout_.refinements) {
            cell_set(stack_push_cell(), TYPE_LOGIC, 0);
            for (size_t i = 0; i < r.args.size(); i++) cell_set(stack_push_cell(), TYPE_NONE);
        }
        function_init_locals(layout_.locals);
    }

    void path_refinements(const Cell* path, std::vector<bool>& named, std::vector<bool>& active,
                          std::vector<uint32_t>& order) {
        for (uint32_t p = path->data1 + 1; p < cell_count(path->data2); p++) {
            Cell el = cells_of(path->data2)[p];
            bool on = true;
            if (el.is(TYPE_GET_WORD)) on = !value_false_q(word_get_any(&el));
            else if (!el.is(TYPE_WORD)) error_raise(ErrCat::Script, "bad-refine", &el);
            uint32_t canon = symbol_resolve(el.data2);
            uint32_t r = 0;
            while (r < layout_.refinements.size() && layout_.refinements[r].symbol != canon) r++;
            cell_set_type(&el, TYPE_REFINEMENT);
            if (r == layout_.refinements.size()) error_raise(ErrCat::Script, "no-refine", &name_, &el);
            if (named[r]) error_raise(ErrCat::Script, "dup-refine", &el);
            named[r] = true;
            active[r] = on;
            order.push_back(r);
        }
    }

    bool refinement(uint32_t r, bool active) {
        const RefinementEntry& ref = layout_.refinements[r];
        if (active) {
            if (is_func_) cell_set(frame_ + ref.cell, TYPE_LOGIC, 1);
            else if (ref.ordinal >= 1 && ref.ordinal <= kMaxRefinements)
                refs_[ref.ordinal - 1] = static_cast<int32_t>(g_stack.top - frame_);
        }
        for (const ArgEntry& a : ref.args) {
            if (!active) {
                // Inactive: the argument is passed over (/safer) or evaluated
                // and dropped; the function's cell keeps none!.
                if (src_.at_end()) continue;
                if (mode_.safer) src_.skip();
                else if (!src_.fetch(a.mode, false)) return false;
                else stack_pop(1);
                continue;
            }
            if (!fetch_value(a, mode_.all)) return false;
            check_type(g_stack.top - 1, a.entry);
            place(a);
        }
        return true;
    }

    bool call() {
        uint32_t t = callable_->type();
        if (t == TYPE_NATIVE || t == TYPE_ACTION) {
            interp_call_builtin(callable_, refs_);
        } else if (t == TYPE_FUNCTION) {
            interp_call_function(callable_, name_.data1, &name_, 0);
        } else {
            routine_exec(callable_);
        }
        if (exit_pending()) return false;
        stack_unwind();
        copy_cell(frame_, callable_);
        g_stack.top = callable_ + 1;
        return true;
    }

    Cell* callable_;
    Cell name_;
    GcRootCell keep_name_{&name_};  // the name outlives evaluations of the arguments
    ArgSource& src_;
    CallMode mode_;
    bool is_func_ = false;
    Layout layout_;
    Cell* frame_ = nullptr;
    int32_t refs_[kMaxRefinements];
};

// An op! calls the function it wraps.
void unwrap_op(Cell* callable) {
    if (callable->is(TYPE_OP)) cell_set_type(callable, (callable->header >> 16) & 0xFF);
}

Cell anon_name() { return Cell{TYPE_WORD, 0, g_stack.anon_symbol, kWordUnresolved}; }

// ---- number building ---------------------------------------------------------------------------

// An integer coordinate: an integer!, or a float! truncated toward zero that
// must be finite and within the 32-bit range.
int32_t int_coordinate(const Cell* v, const char* arg) {
    if (v->is(TYPE_INTEGER)) return static_cast<int32_t>(v->data2);
    if (!v->is(TYPE_FLOAT)) natives_raise_expect_arg(v, arg);
    double d = std::trunc(cell_get_float(v));
    if (!(d >= -2147483648.0 && d <= 2147483647.0)) error_raise(ErrCat::Script, "invalid-arg", v);
    return static_cast<int32_t>(d);
}

uint32_t float32_coordinate(const Cell* v, const char* arg) {
    float f;
    if (v->is(TYPE_INTEGER)) f = static_cast<float>(static_cast<int32_t>(v->data2));
    else if (v->is(TYPE_FLOAT)) f = static_cast<float>(cell_get_float(v));
    else natives_raise_expect_arg(v, arg);
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// ---- words -------------------------------------------------------------------------------------

// The value of a word, or null when it has none to give (no context, a
// function context outside a call, a name the context lacks). An unresolved
// `self` reads as its context's owner, as it does when evaluated.
const Cell* word_value_or_null(const Cell* w) {
    Off ctx = w->data1;
    if (ctx && w->data3 == kWordUnresolved && symbol_resolve(w->data2) == symbol_resolve(g_sym.self))
        return context_owner_cell(ctx);
    if (!ctx || !context_cell(ctx)->data2) return nullptr;
    if (w->data3 != kWordUnresolved) return word_get_any(w);
    int32_t i = context_find_word(ctx, w->data2, true);
    return i < 0 ? nullptr : context_value_at(ctx, static_cast<uint32_t>(i));
}

bool block_list_type(uint32_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || (t >= TYPE_PATH && t <= TYPE_GET_PATH); }

int family_of(uint32_t t) { return block_list_type(t) ? 1 : type_string_family(t) ? 2 : 0; }

}  // namespace

bool natives_call_positional(const Cell* callable, const Cell* values, uint32_t count, const Cell* name) {
    GcRootCell keep_values(const_cast<Cell*>(values), count);  // the caller's cells, read as the frame fills
    Cell* fn = stack_push(callable);
    unwrap_op(fn);
    ValuesSource src(values, count);
    CallMode mode;
    mode.all = true;
    return Call(fn, name ? *name : anon_name(), src, mode).run(nullptr);
}

void natives_sort_comparator(const Cell* fn, const Cell* a, const Cell* b, Cell* result) {
    const Cell values[2] = {*a, *b};
    Cell* base = g_stack.top;
    if (!natives_call_positional(fn, values, 2, &g_words.compare_callback)) exits_throw_pending();
    *result = *base;
    g_stack.top = base;
}

void native_construct(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(68, refs);
    Cell* a = stack_arguments();
    copy_cell(object_construct(a, refs[0] >= 0 ? a + refs[0] : nullptr, refs[1] >= 0), a);
    stack_keep();
}

void native_value_q(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(69, refs);
    const Cell* a = stack_arguments();
    uint32_t t = a->type();
    if (t >= TYPE_WORD && t <= TYPE_GET_WORD) {
        const Cell* v = word_value_or_null(a);
        return logic_result(v && !v->is(TYPE_UNSET));
    }
    logic_result(!a->is(TYPE_UNSET));
}

namespace {

void change_case(int index, int mode, int32_t check, const int32_t* refs) {
    if (check) natives_check_args(index, refs);
    Cell* a = stack_arguments();
    Cell* part = refs[0] >= 0 ? a + refs[0] : nullptr;
    if (part && part->is(TYPE_FLOAT)) cell_set(part, TYPE_INTEGER, 0, static_cast<uint32_t>(value_get_int32(part)));
    if (!a->is(TYPE_CHAR) && !type_string_family(a->type())) natives_raise_expect_arg(a, "string");
    case_change_string(a, part, mode);
    stack_keep();
}

}  // namespace

void native_uppercase(int32_t check, const int32_t* refs) { change_case(71, CASE_UPPER, check, refs); }
void native_lowercase(int32_t check, const int32_t* refs) { change_case(72, CASE_LOWER, check, refs); }

void native_as_pair(int32_t, const int32_t*) {
    require_registered(TYPE_PAIR);
    Cell* a = stack_arguments();
    int32_t x = int_coordinate(&a[0], "x"), y = int_coordinate(&a[1], "y");
    cell_set(a, TYPE_PAIR, 0, static_cast<uint32_t>(x), static_cast<uint32_t>(y));
    stack_keep();
}

void native_as_point2d(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(74, refs);
    require_registered(TYPE_POINT2D);
    Cell* a = stack_arguments();
    uint32_t x = float32_coordinate(&a[0], "x"), y = float32_coordinate(&a[1], "y");
    cell_set(a, TYPE_POINT2D, x, y, 0);
    stack_keep();
}

void native_as_point3d(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(75, refs);
    require_registered(TYPE_POINT3D);
    Cell* a = stack_arguments();
    uint32_t x = float32_coordinate(&a[0], "x"), y = float32_coordinate(&a[1], "y"),
             z = float32_coordinate(&a[2], "z");
    cell_set(a, TYPE_POINT3D, x, y, z);
    stack_keep();
}

void native_as_money(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(76, refs);
    if (!g_value_services.money_find_currency || !g_value_services.money_from_number) not_built();
    Cell* a = stack_arguments();
    if (!a[0].is(TYPE_WORD)) natives_raise_expect_arg(a, "currency");
    if (!a[1].is(TYPE_INTEGER) && !a[1].is(TYPE_FLOAT)) natives_raise_expect_arg(&a[1], "amount");
    int32_t index = g_value_services.money_find_currency(a);
    if (index < 0) error_raise(ErrCat::Script, "bad-denom", a);
    Cell* out = stack_push_cell();
    g_value_services.money_from_number(out, &a[1], index);
    copy_cell(out, a);
    stack_keep();
}

void native_extend(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(83, refs);
    Cell* a = stack_arguments();
    if (!a->is(TYPE_MAP)) not_built();
    if (!g_value_services.map_extend) not_built();
    g_value_services.map_extend(a, &a[1], refs[0] >= 0);
    stack_keep();
}

void native_unset(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(88, refs);
    Cell* a = stack_arguments();
    Cell unset{TYPE_UNSET, 0, 0, 0};
    if (a->is(TYPE_WORD)) {
        word_set(a, &unset);
    } else if (a->is(TYPE_BLOCK)) {
        for (uint32_t i = a->data1; i < cell_count(a->data2); i++) {
            Cell w = cells_of(a->data2)[i];
            if (w.is(TYPE_WORD)) word_set(&w, &unset);
        }
    } else {
        natives_raise_expect_arg(a, "word");
    }
    cell_set_unset(a);
    stack_keep();
}

void native_new_line(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(89, refs);
    Cell* a = stack_arguments();
    bool on = !value_false_q(&a[1]);
    uint32_t first = a->data1, tail = cell_count(a->data2);
    if (refs[0] < 0 && refs[1] < 0) {
        if (first < tail) {
            Cell* c = cells_of(a->data2) + first;
            c->header = on ? c->header | CELL_NEW_LINE : c->header & ~CELL_NEW_LINE;
        }
        return stack_keep();
    }
    int32_t size = 1;
    if (refs[1] >= 0) {
        const Cell* s = a + refs[1];
        size = s->is(TYPE_INTEGER) ? static_cast<int32_t>(s->data2) : 0;
        if (size <= 0) error_raise(ErrCat::Script, "out-of-range", s);
    }
    Cell* cells = cells_of(a->data2);
    for (uint32_t i = first, k = 0; i < tail; i++, k++) {
        bool marked = (size == 1 || k % static_cast<uint32_t>(size) == 0) == on;
        cells[i].header = marked ? cells[i].header | CELL_NEW_LINE : cells[i].header & ~CELL_NEW_LINE;
    }
    stack_keep();
}

void native_new_line_q(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(90, refs);
    const Cell* a = stack_arguments();
    logic_result(a->data1 < cell_count(a->data2) && (cells_of(a->data2)[a->data1].header & CELL_NEW_LINE));
}

void native_context_q(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(92, refs);
    Cell* a = stack_arguments();
    Off ctx = a->data1;
    const Cell* owner = ctx ? context_owner_cell(ctx) : nullptr;
    uint32_t t = owner ? owner->type() : 0;
    if (t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_PORT || t == TYPE_FUNCTION || t == TYPE_ROUTINE)
        copy_cell(owner, a);
    else cell_set(a, TYPE_NONE);
    stack_keep();
}

void native_as(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(98, refs);
    Cell* a = stack_arguments();
    uint32_t target = a[0].is(TYPE_DATATYPE) ? a[0].data1 : static_cast<uint32_t>(a[0].type());
    uint32_t from = a[1].type();
    if (family_of(target) == 0 || family_of(target) != family_of(from)) {
        Cell d1, d2;
        datatype_set(&d1, static_cast<int32_t>(from));
        datatype_set(&d2, static_cast<int32_t>(target));
        error_raise(ErrCat::Script, "not-same-class", &d1, &d2);
    }
    require_registered(target);
    copy_cell(&a[1], a);
    cell_set_type(a, target);
    stack_keep();
}

void native_apply(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(107, refs);
    stack_set_interp_flag();
    Cell* a = stack_arguments();
    Cell name = anon_name();
    const Cell* path = nullptr;
    Cell* fn = stack_push(a);
    if (word_type_q(a->type())) {
        name = *a;
        cell_set_type(&name, TYPE_WORD);
        copy_cell(word_get_any(a), fn);
    } else if (a->type() >= TYPE_PATH && a->type() <= TYPE_GET_PATH) {
        const Cell* head = a->data1 < cell_count(a->data2) ? cells_of(a->data2) + a->data1 : nullptr;
        if (!head || !word_type_q(head->type())) error_raise(ErrCat::Script, "invalid-arg", a);
        name = *head;
        cell_set_type(&name, TYPE_WORD);
        copy_cell(word_get_any(&name), fn);
        path = a;
    }
    if (!callable_type(fn->type())) error_raise(ErrCat::Script, "invalid-arg", a);
    unwrap_op(fn);
    BlockSource src(a + 1);
    CallMode mode;
    mode.all = refs[0] >= 0;
    mode.safer = refs[1] >= 0;
    if (!Call(fn, name, src, mode).run(path)) return;
    copy_cell(fn, a);
    stack_keep();
}

}  // namespace kel
