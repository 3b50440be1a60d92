// The PARSE engine: one loop over a few states and two work stacks, no
// machine recursion for nested rules (runtime/parse_internal.h).
//
// Invariants:
//  - the rule stack holds, from this run's base up, the bottom block entry
//    then any mix of block and modifier entries; a modifier entry on top
//    means its rule is the one that just finished (or is about to run);
//  - `rules` is the block of the topmost block entry and `pos` the rule about
//    to run in it; every rule moves `pos` past itself before it finishes;
//  - a block entry's `start` is where every alternative of the block begins;
//  - nothing holds an entry by reference across a call that may run Kel code
//    (parens, the trace callback, owner notifications): entries are read
//    again by index, cells held across allocations are the run's own rooted
//    cells.
#include <algorithm>

#include "runtime/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/exits.h"
#include "runtime/gc.h"
#include "runtime/interpreter.h"
#include "runtime/natives.h"
#include "runtime/parse_internal.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"
#include "runtime/typecheck.h"

namespace kel::parse {

std::vector<Entry> g_rule_stack;
std::vector<InputEntry> g_input_stack;

namespace {

std::vector<Run*> g_runs;

// ---- symbols ----------------------------------------------------------------------

struct Names {
    Off symbol_table = 0;  // the table these ids belong to
    std::vector<uint8_t> keyword;  // canonical symbol id -> Keyword
    uint32_t events[EV_COUNT] = {};
    uint32_t callback_name = 0;
    uint32_t anon = 0;
    uint32_t keep = 0;
};
Names g_names;

struct KeywordName {
    const char* name;
    Keyword kw;
};
const KeywordName kKeywords[] = {
    {"|", KW_BAR},         {"ahead", KW_AHEAD},   {"any", KW_ANY},     {"break", KW_BREAK},
    {"case", KW_CASE},     {"change", KW_CHANGE}, {"collect", KW_COLLECT}, {"copy", KW_COPY},
    {"end", KW_END},       {"fail", KW_FAIL},     {"if", KW_IF},       {"insert", KW_INSERT},
    {"into", KW_INTO},     {"keep", KW_KEEP},     {"none", KW_NONE},   {"not", KW_NOT},
    {"opt", KW_OPT},       {"quote", KW_QUOTE},   {"reject", KW_REJECT}, {"remove", KW_REMOVE},
    {"set", KW_SET},       {"skip", KW_SKIP},     {"some", KW_SOME},   {"thru", KW_THRU},
    {"to", KW_TO},         {"while", KW_WHILE},   {"only", KW_ONLY},   {"pick", KW_PICK},
    {"after", KW_AFTER},
};
const char* const kEventNames[EV_COUNT] = {"push", "pop", "fetch", "match", "iterate", "paren", "end"};

// Interns the names once per symbol table (tests may start a new one).
void names_init() {
    if (g_names.symbol_table == g_symbol_table && g_symbol_table) return;
    g_names.keyword.clear();
    for (const KeywordName& k : kKeywords) {
        uint32_t canon = symbol_resolve(symbol_make(k.name));
        if (canon >= g_names.keyword.size()) g_names.keyword.resize(canon + 1, KW_NO);
        g_names.keyword[canon] = k.kw;
    }
    for (int i = 0; i < EV_COUNT; i++) {
        g_names.events[i] = symbol_make(kEventNames[i]);
        Cell w;
        word_make_global_at(g_names.events[i], &w);  // the word exists before any callback
    }
    g_names.callback_name = symbol_make("<parse-callback>");
    g_names.anon = symbol_make("<anon>");
    g_names.keep = symbol_make("keep");
    g_names.symbol_table = g_symbol_table;
}

// ---- collector roots ---------------------------------------------------------------

Cell Run::*const kRunCells[] = {&Run::input, &Run::rules,    &Run::item, &Run::value,
                                &Run::result, &Run::callback, &Run::temp, &Run::temp2};

void mark_roots() {
    for (Entry& e : g_rule_stack) {
        gc_mark_cells(&e.word, &e.word + 1);
        gc_mark_cells(&e.aux, &e.aux + 1);
    }
    for (InputEntry& i : g_input_stack) gc_mark_cells(&i.input, &i.input + 1);
    for (Run* r : g_runs)
        for (Cell Run::*m : kRunCells) gc_mark_cells(&(r->*m), &(r->*m) + 1);
}

void roots_init() {
    static bool done = false;
    if (done) return;
    done = true;
    gc_add_root_callback(mark_roots);
}

inline Cell none_cell() { return Cell{TYPE_NONE, 0, 0, 0}; }
inline uint32_t buffer_cells(Off node) {
    SeriesBuf* b = node_buffer(node);
    return (b->tail - b->head) >> 4;
}

[[noreturn]] void raise_rule(const Cell* item) { error_raise(ErrCat::Script, "parse-rule", item); }
[[noreturn]] void raise_end(const Cell* keyword) { error_raise(ErrCat::Script, "parse-end", keyword); }

}  // namespace

uint8_t keyword_of(const Cell* word) {
    uint32_t canon = symbol_resolve(word->data2);
    return canon < g_names.keyword.size() ? g_names.keyword[canon] : uint8_t(KW_NO);
}

bool is_keyword(const Cell* word) {
    uint8_t kw = keyword_of(word);
    return kw != KW_NO && kw < kFirstContextual;
}

// ---- run set-up -----------------------------------------------------------------------

Run::Run(const Cell* in, const Cell* rule_block, const ParseOptions& options) {
    input = *in;
    rules = *rule_block;
    item = value = result = temp = temp2 = none_cell();
    callback = options.trace ? *options.trace : none_cell();
    trace = options.trace && options.trace->is(TYPE_FUNCTION);
    mode = options.case_sensitive ? COMP_STRICT_EQUAL : COMP_EQUAL;
    has_limit = options.has_limit;
    limit = options.limit;
    base = static_cast<uint32_t>(g_rule_stack.size());
    input_base = static_cast<uint32_t>(g_input_stack.size());
    g_runs.push_back(this);
}

Run::~Run() {
    g_rule_stack.resize(base);
    g_input_stack.resize(input_base);
    g_runs.pop_back();
}

void Run::need_room(bool input_stack) const {
    size_t used = input_stack ? g_input_stack.size() : g_rule_stack.size();
    if (used >= kParseStackLimit) error_raise(ErrCat::Script, "parse-stack");
}

void Run::push_entry(int32_t kind, uint32_t rule_pos) {
    need_room(false);
    Entry e;
    e.word = none_cell();
    e.aux = none_cell();
    e.kind = kind;
    e.flags = 0;
    e.rule_pos = rule_pos;
    e.start = e.round = head();
    e.round_len = in_total();
    e.min = e.max = e.count = 0;
    g_rule_stack.push_back(e);
}

// ---- rule access ------------------------------------------------------------------------

uint32_t Run::rules_tail() const { return buffer_cells(rules.data2); }
Cell* Run::rule_at(uint32_t i) const { return arena_at<Cell>(node_buffer(rules.data2)->head) + i; }

bool Run::load_item(uint32_t i) {
    if (i >= rules_tail()) return false;
    item = *rule_at(i);
    return true;
}

void Run::word_rule_value(const Cell* word, Cell* out) const {
    Cell w = *word;
    const Cell* v = word_get_any(&w);
    if (v->is(TYPE_UNSET) || v->is(TYPE_WORD)) raise_rule(&w);
    *out = *v;
}

uint32_t Run::peek_literal(uint32_t i) {
    uint32_t tail = rules_tail();
    if (i >= tail) return 0;
    Cell c = *rule_at(i);
    if (c.is(TYPE_WORD)) {
        uint8_t kw = keyword_of(&c);
        if (kw == KW_QUOTE) {
            if (i + 1 >= tail) return 0;
            value = *rule_at(i + 1);
            return 2;
        }
        if (kw && kw < kFirstContextual) return 0;
        word_rule_value(&c, &value);
        return is_rule_type(value.type()) ? 0 : 1;
    }
    if (is_rule_type(c.type())) return 0;
    value = c;
    return 1;
}

// The extent of one rule, for `0 rule`: a keyword takes its arguments and
// the rule it governs. Chains of modifiers are followed by a loop; `extra`
// counts the values that `change` rules take after their rule.
uint32_t Run::rule_end(uint32_t i) const {
    uint32_t tail = rules_tail();
    uint32_t extra = 0;
    auto done = [&](uint32_t after) { return std::min(after + extra, tail); };
    auto word_at = [&](uint32_t k) { return k < tail && rule_at(k)->is(TYPE_WORD); };
    auto is_kw = [&](uint32_t k, uint8_t want) { return word_at(k) && keyword_of(rule_at(k)) == want; };
    auto holds_position = [&](uint32_t k) {
        if (!word_at(k) || is_keyword(rule_at(k))) return false;
        Cell w = *rule_at(k);
        const Cell* v = word_get_any(&w);
        return v->type() == input.type() && v->data2 == input.data2;
    };
    for (;;) {
        if (i >= tail) return tail;
        Cell c = *rule_at(i);
        if (c.is(TYPE_INTEGER)) {
            i++;
            if (i < tail) {
                Cell n = *rule_at(i);
                if (n.is(TYPE_INTEGER)) i++;
                else if (n.is(TYPE_WORD) && !is_keyword(&n) && word_get_any(&n)->is(TYPE_INTEGER)) i++;
            }
            continue;
        }
        if (!c.is(TYPE_WORD)) return done(i + 1);
        switch (keyword_of(&c)) {
        case KW_ANY: case KW_SOME: case KW_OPT: case KW_WHILE: case KW_NOT: case KW_AHEAD: case KW_INTO:
            i++;
            continue;
        case KW_REMOVE:
            if (holds_position(i + 1)) return done(i + 2);
            i++;
            continue;
        case KW_TO: case KW_THRU:
            if (is_kw(i + 1, KW_END)) return done(i + 2);
            i++;
            continue;
        case KW_COPY: case KW_SET: case KW_CASE:
            i += 2;
            continue;
        case KW_IF: case KW_QUOTE: return done(i + 2);
        case KW_COLLECT:
            i++;
            if (is_kw(i, KW_SET) || is_kw(i, KW_INTO) || is_kw(i, KW_AFTER)) i += 2;
            continue;
        case KW_KEEP:
            i++;
            if (is_kw(i, KW_PICK)) i++;
            continue;
        case KW_INSERT:
            i++;
            if (is_kw(i, KW_ONLY)) i++;
            return done(holds_position(i) ? i + 2 : i + 1);
        case KW_CHANGE:
            i++;
            if (is_kw(i, KW_ONLY)) i++;
            if (holds_position(i)) return done(i + 2);
            extra++;
            continue;
        default: return done(i + 1);
        }
    }
}

// ---- Kel calls --------------------------------------------------------------------------

bool Run::eval_paren(const Cell* paren, Cell* out) {
    temp = *paren;
    if (trace && !emit(EV_PAREN)) return false;
    Cell* base_cell = g_stack.top;
    Cell name{TYPE_WORD, 0, g_names.anon, 0xFFFFFFFFu};
    stack_mark(&name, FRAME_INTERP);
    interp_eval_block(&temp, true);
    if (exit_pending()) {
        halt = S_EXIT;
        return false;
    }
    stack_unwind();
    *out = *base_cell;
    g_stack.top = base_cell;
    clamp_input();
    return true;
}

bool Run::emit(Event ev) { return !trace || call_trace(ev); }

// The stack argument of the trace callback: three cells per entry of this
// run, as the entries read (a none!, or the word or the bounds, then the
// positions as a triple!, then the block or the kind as a pair!).
static void stack_block(uint32_t base, Cell* out) {
    uint32_t n = static_cast<uint32_t>(g_rule_stack.size()) - base;
    block_make_at(out, static_cast<int32_t>(3 * n + 1));
    for (uint32_t i = base; i < base + n; i++) {
        Cell c[3];
        const Entry& e = g_rule_stack[i];
        if (e.kind == K_BLOCK) {
            c[0] = none_cell();
            cell_set(&c[1], TYPE_TRIPLE, e.rule_pos, e.start, e.round_len);
            c[2] = e.aux;
        } else {
            if (e.kind == K_COPY || e.kind == K_SET || (e.kind == K_COLLECT && e.word.is(TYPE_WORD))) c[0] = e.word;
            else cell_set(&c[0], TYPE_TRIPLE, static_cast<uint32_t>(e.min), static_cast<uint32_t>(e.max),
                          static_cast<uint32_t>(e.count));
            cell_set(&c[1], TYPE_TRIPLE, e.rule_pos, e.start, e.round_len);
            cell_set(&c[2], TYPE_PAIR, 0, static_cast<uint32_t>(e.kind), e.flags & F_PICK);
        }
        for (Cell& x : c) block_append_value(out, &x);
    }
}

bool Run::call_trace(Event ev) {
    // The frame is filled as the arguments are made, so that each is rooted
    // on the evaluation stack before the next allocation.
    Cell* base_cell = g_stack.top;
    stack_push(&callback);
    Cell name{TYPE_WORD, 0, g_names.callback_name, 0xFFFFFFFFu};
    stack_mark_interp_func_ctx(name.data2, name.data1, callback.data1);
    Cell* first = g_stack.top;
    word_make_global_at(g_names.events[ev], stack_push_cell());
    cell_set(stack_push_cell(), TYPE_LOGIC, match ? 1 : 0);
    Cell* rule = stack_push(&rules);
    rule->data1 = std::min(pos, rules_tail());
    stack_push(&input);
    stack_block(base, stack_push_cell());
    Off desc = interp_spec_cache(&callback);
    uint32_t n = buffer_cells(desc), i = 0, fixed = 0;
    for (; i < n; i++) {
        const Cell* d = arena_at<Cell>(node_buffer(desc)->head) + i;
        if (!d->is(TYPE_TYPESET)) break;
        if (((d->header & ARG_MODE_MASK) >> ARG_MODE_SHIFT) == ARG_RETURN) continue;
        if (++fixed > 5) cell_set(stack_push_cell(), TYPE_NONE);
    }
    if (fixed < 5) g_stack.top = first + fixed;
    for (; i < n; i++) {
        const Cell* d = arena_at<Cell>(node_buffer(desc)->head) + i;
        if (d->is(TYPE_REFINEMENT)) cell_set(stack_push_cell(), TYPE_LOGIC, 0);
        else if (d->is(TYPE_TYPESET)) {
            if (((d->header & ARG_MODE_MASK) >> ARG_MODE_SHIFT) != ARG_RETURN) cell_set(stack_push_cell(), TYPE_NONE);
        } else if (d->is(TYPE_INTEGER)) {
            function_init_locals(d->data2);
        }
    }
    interp_call_function(&callback, 0, &name, 0);
    if (exit_pending()) {
        halt = S_EXIT;
        return false;
    }
    bool go_on = value_truthy(g_stack.args);
    stack_unwind();
    g_stack.top = base_cell;
    clamp_input();
    if (!go_on) halt = S_STOP;
    return go_on;
}

bool Run::read_value(uint32_t i, Cell* out) {
    Cell c = *rule_at(i);
    switch (c.type()) {
    case TYPE_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH: raise_rule(&c);
    case TYPE_WORD: {
        const Cell* v = word_get_any(&c);
        if (v->is(TYPE_UNSET)) error_raise(ErrCat::Script, "no-value", &c);
        *out = *v;
        return true;
    }
    case TYPE_PAREN: return eval_paren(&c, out);
    default: *out = c; return true;
    }
}

// ---- the loop -------------------------------------------------------------------------------

State Run::execute() {
    clamp_input();
    item = rules;
    pos = rules.data1;
    State s = S_PUSH_BLOCK;
    for (;;) {
        switch (s) {
        case S_PUSH_BLOCK: s = push_block(); break;
        case S_BLOCK_END: s = block_end(); break;
        case S_APPLY: s = apply(); break;
        case S_AFTER: s = after(); break;
        case S_DISPATCH: s = dispatch(); break;
        case S_NEXT: s = next(); break;
        case S_KEYWORD: s = keyword(); break;
        case S_FAIL: s = fail(); break;
        case S_END: s = end(); break;
        case S_STOP: return S_STOP;
        case S_EXIT: return S_EXIT;
        case S_DONE: return S_DONE;
        default: fatal_runtime_error(101);
        }
    }
}

// `item` is the block; `pos` the rule that named it (the bottom block has
// no enclosing rule).
State Run::push_block() {
    bool bottom = g_rule_stack.size() == base;
    push_entry(K_BLOCK, bottom ? 0 : pos + 1);
    Entry& e = g_rule_stack.back();
    e.word = bottom ? none_cell() : rules;
    e.aux = item;
    rules = item;
    pos = item.data1;
    match = true;
    if (!emit(EV_PUSH)) return halt;
    return S_NEXT;
}

State Run::next() {
    if (pos < rules_tail()) {
        if (trace && !emit(EV_FETCH)) return halt;
        if (!load_item(pos)) return S_NEXT;  // the callback shortened the rules
        return S_DISPATCH;
    }
    return g_rule_stack.back().kind == K_BLOCK ? S_BLOCK_END : S_APPLY;
}

State Run::after() {
    if (g_rule_stack.back().kind != K_BLOCK) return S_APPLY;
    return match ? S_NEXT : S_FAIL;
}

// Failure in the current block: back to where its alternatives start, then
// on after the next `|`, or the block fails.
State Run::fail() {
    input.data1 = g_rule_stack.back().start;
    clamp_input();
    uint32_t tail = rules_tail();
    for (uint32_t i = pos; i < tail; i++) {
        Cell* c = rule_at(i);
        if (c->is(TYPE_WORD) && keyword_of(c) == KW_BAR) {
            pos = i + 1;
            match = true;
            return S_NEXT;
        }
    }
    pos = tail;
    match = false;
    return S_BLOCK_END;
}

State Run::block_end() {
    if (!emit(EV_POP)) return halt;
    if (g_rule_stack.size() - 1 == base) return S_END;
    Entry& e = g_rule_stack.back();
    rules = e.word;
    pos = e.rule_pos;
    g_rule_stack.pop_back();
    return S_AFTER;
}

State Run::end() {
    if (pos < rules_tail()) match = false;
    if (match && !at_end()) match = false;
    if (!emit(EV_END)) return halt;
    return S_DONE;
}

// ---- dispatch by type -------------------------------------------------------------------------

State Run::dispatch() {
    if (item.is(TYPE_WORD)) {
        uint8_t kw = keyword_of(&item);
        if (kw && kw < kFirstContextual) return S_KEYWORD;
        word_rule_value(&item, &value);
        item = value;
    }
    switch (item.type()) {
    case TYPE_BLOCK: return S_PUSH_BLOCK;
    case TYPE_PAREN:
        if (!eval_paren(&item, &value)) return halt;
        pos++;
        match = true;
        return S_AFTER;
    case TYPE_SET_WORD:
        word_set(&item, &input);
        pos++;
        match = true;
        return S_AFTER;
    case TYPE_GET_WORD: {
        const Cell* v = word_get_any(&item);
        if (v->type() != input.type() || v->data2 != input.data2) error_raise(ErrCat::Script, "parse-invalid-ref", &item);
        input.data1 = v->data1;
        clamp_input();
        pos++;
        match = true;
        return S_AFTER;
    }
    case TYPE_INTEGER: return count_rule();
    case TYPE_DATATYPE: case TYPE_TYPESET:
        match = match_type(&item);
        pos++;
        return S_AFTER;
    case TYPE_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH: case TYPE_WORD: case TYPE_UNSET: raise_rule(&item);
    default: {
        value = item;
        int32_t advance = match_literal(&value);
        match = advance >= 0;
        if (match) input.data1 += static_cast<uint32_t>(advance);
        pos++;
        if (trace && !emit(EV_MATCH)) return halt;
        return S_AFTER;
    }
    }
}

// `n rule` or `n m rule`; `item` holds n.
State Run::count_rule() {
    Cell first = item;
    int32_t n = static_cast<int32_t>(first.data2);
    if (n < 0) error_raise(ErrCat::Script, "out-of-range", &first);
    int32_t m = n;
    uint32_t p = pos + 1;
    uint32_t tail = rules_tail();
    if (p < tail) {
        Cell c = *rule_at(p);
        if (c.is(TYPE_WORD) && !is_keyword(&c)) {
            const Cell* v = word_get_any(&c);
            if (v->is(TYPE_INTEGER)) c = *v;
        }
        if (c.is(TYPE_INTEGER)) {
            m = static_cast<int32_t>(c.data2);
            if (m < 0) error_raise(ErrCat::Script, "out-of-range", &c);
            p++;
        }
    }
    if (m < n || p >= tail) raise_rule(&first);
    if (m == 0) {
        pos = rule_end(p);
        match = true;
        return S_AFTER;
    }
    pos = p;
    return start_repeat(n, m, K_REPEAT);
}

// A repetition of the rule at `pos`: literals and `skip` in one inner loop,
// anything else round by round under a modifier entry.
State Run::start_repeat(int32_t min, int32_t max, int32_t kind) {
    if (uint32_t span = peek_literal(pos)) {
        repeat_literal(&value, min, max);
        pos += span;
        return S_AFTER;
    }
    Cell* c = rule_at(pos);
    if (c->is(TYPE_WORD) && keyword_of(c) == KW_SKIP) {
        repeat_skip(min, max);
        pos++;
        return S_AFTER;
    }
    push_entry(kind, pos);
    Entry& e = g_rule_stack.back();
    e.min = min;
    e.max = max;
    if (!emit(EV_PUSH)) return halt;
    if (!load_item(pos)) return S_APPLY;
    return S_DISPATCH;
}

// Pushes a modifier over the rule at `rule_pos` and runs that rule.
State Run::modifier(int32_t kind, uint32_t rule_pos, const Cell* word, uint32_t flags) {
    push_entry(kind, rule_pos);
    Entry& e = g_rule_stack.back();
    if (word) e.word = *word;
    e.flags = flags;
    pos = rule_pos;
    if (!emit(EV_PUSH)) return halt;
    if (!load_item(pos)) return S_APPLY;
    return S_DISPATCH;
}

// ---- keywords ---------------------------------------------------------------------------------

State Run::keyword() {
    Cell kw_word = item;
    uint8_t kw = keyword_of(&kw_word);
    uint32_t tail = rules_tail();
    uint32_t p = pos + 1;
    auto need_rule = [&] {
        if (p >= tail) raise_end(&kw_word);
    };
    switch (kw) {
    case KW_BAR:
        pos = tail;
        match = true;
        return S_AFTER;
    case KW_SKIP:
        pos = p;
        match = !at_end();
        if (match) input.data1++;
        return S_AFTER;
    case KW_END:
        pos = p;
        match = at_end();
        return S_AFTER;
    case KW_NONE:
        pos = p;
        match = true;
        return S_AFTER;
    case KW_FAIL:
        pos = p;
        match = false;
        return S_AFTER;
    case KW_BREAK:
        pos = p;
        return stop_repetition(true);
    case KW_REJECT:
        pos = p;
        return stop_repetition(false);
    case KW_ANY: need_rule(); pos = p; return start_repeat(0, -1, K_REPEAT);
    case KW_SOME: need_rule(); pos = p; return start_repeat(1, -1, K_REPEAT);
    case KW_OPT: need_rule(); pos = p; return start_repeat(0, 1, K_REPEAT);
    case KW_WHILE: need_rule(); pos = p; return start_repeat(0, -1, K_WHILE);
    case KW_NOT: need_rule(); return modifier(K_NOT, p, nullptr, 0);
    case KW_AHEAD: need_rule(); return modifier(K_AHEAD, p, nullptr, 0);
    case KW_TO: case KW_THRU: need_rule(); return kw_to(kw == KW_THRU);
    case KW_COPY: case KW_SET: {
        if (p >= tail || !rule_at(p)->is(TYPE_WORD)) raise_end(&kw_word);
        Cell word = *rule_at(p);
        p++;
        need_rule();
        return modifier(kw == KW_COPY ? K_COPY : K_SET, p, &word, 0);
    }
    case KW_IF: {
        if (p >= tail || !rule_at(p)->is(TYPE_PAREN)) raise_end(&kw_word);
        Cell paren = *rule_at(p);
        if (!eval_paren(&paren, &value)) return halt;
        match = value_truthy(&value);
        pos = p + 1;
        return S_AFTER;
    }
    case KW_QUOTE: {
        need_rule();
        value = *rule_at(p);
        int32_t advance = match_literal(&value);
        match = advance >= 0;
        if (match) input.data1 += static_cast<uint32_t>(advance);
        pos = p + 1;
        if (trace && !emit(EV_MATCH)) return halt;
        return S_AFTER;
    }
    case KW_CASE: {
        if (p >= tail || !rule_at(p)->is(TYPE_WORD)) raise_end(&kw_word);
        Cell word = *rule_at(p);
        const Cell* v = word_get_any(&word);
        if (v->is(TYPE_UNSET)) error_raise(ErrCat::Script, "no-value", &word);
        int32_t wanted = value_truthy(v) ? COMP_STRICT_EQUAL : COMP_EQUAL;
        p++;
        need_rule();
        uint32_t saved = static_cast<uint32_t>(mode) << F_CASE_SHIFT;
        mode = wanted;
        return modifier(K_CASE, p, nullptr, saved);
    }
    case KW_INTO: need_rule(); return kw_into();
    case KW_COLLECT: need_rule(); return kw_collect();
    case KW_KEEP: return kw_keep();
    case KW_INSERT: need_rule(); return kw_insert();
    case KW_CHANGE: need_rule(); return kw_change();
    case KW_REMOVE: need_rule(); return kw_remove();
    default: fatal_runtime_error(101);
    }
}

State Run::kw_to(bool thru) {
    uint32_t p = pos + 1;
    Cell* c = rule_at(p);
    if (c->is(TYPE_WORD) && keyword_of(c) == KW_END) {
        input.data1 = std::max(head(), in_end());
        pos = p + 1;
        match = true;
        return S_AFTER;
    }
    if (uint32_t span = peek_literal(p)) {
        search_literal(&value, thru);
        pos = p + span;
        return S_AFTER;
    }
    return modifier(thru ? K_THRU : K_TO, p, nullptr, 0);
}

State Run::kw_into() {
    Cell kw_word = item;
    if (!in_block()) error_raise(ErrCat::Script, "parse-block", &input);
    uint32_t p = pos + 1;
    Cell rule = *rule_at(p);
    if (rule.is(TYPE_WORD) && !is_keyword(&rule)) rule = *word_get_any(&rule);
    if (!rule.is(TYPE_BLOCK)) raise_end(&kw_word);
    match = false;
    if (!at_end()) {
        const Cell* el = arena_at<Cell>(node_buffer(input.data2)->head) + head();
        uint32_t t = el->type();
        match = type_series(t) && t != TYPE_VECTOR && t != TYPE_IMAGE;
    }
    if (!match) {
        pos = p + 1;
        return S_AFTER;
    }
    if (arena_at<Cell>(node_buffer(input.data2)->head)[head()].is(TYPE_BINARY))
        error_raise(ErrCat::Internal, "not-done");
    need_room(true);
    need_room(false);
    push_entry(K_INTO, p);
    if (!emit(EV_PUSH)) return halt;
    g_input_stack.push_back(InputEntry{input, limit, has_limit});
    Cell el = arena_at<Cell>(node_buffer(input.data2)->head)[g_rule_stack.back().start];
    input = el;
    cell_clear_newline(&input);
    has_limit = false;
    clamp_input();
    item = rule;
    pos = p;
    return S_PUSH_BLOCK;
}

State Run::kw_collect() {
    Cell kw_word = item;
    uint32_t p = pos + 1;
    uint32_t tail = rules_tail();
    uint32_t flags = F_COLLECT_PLAIN;
    Cell word = none_cell();
    Cell* c = rule_at(p);
    if (c->is(TYPE_WORD)) {
        uint8_t kw = keyword_of(c);
        if (kw == KW_SET || kw == KW_INTO || kw == KW_AFTER) {
            if (p + 1 >= tail || !rule_at(p + 1)->is(TYPE_WORD)) raise_end(&kw_word);
            flags = kw == KW_SET ? F_COLLECT_SET : kw == KW_INTO ? F_COLLECT_INTO : F_COLLECT_AFTER;
            word = *rule_at(p + 1);
            p += 2;
            if (p >= tail) raise_end(&kw_word);
        }
    }
    if (flags == F_COLLECT_INTO || flags == F_COLLECT_AFTER) collect_target(&word, &temp);
    else block_make_at(&temp, 8);
    push_entry(K_COLLECT, p);
    Entry& e = g_rule_stack.back();
    e.word = word;
    e.aux = temp;
    e.flags = flags;
    pos = p;
    if (!emit(EV_PUSH)) return halt;
    if (!load_item(pos)) return S_APPLY;
    return S_DISPATCH;
}

State Run::kw_keep() {
    Cell kw_word = item;
    if (innermost_collect(static_cast<uint32_t>(g_rule_stack.size())) < 0) {
        Cell keep{TYPE_WORD, 0, 0, 0};
        word_make_global_at(g_names.keep, &keep);
        error_raise(ErrCat::Script, "parse-keep", &keep);
    }
    uint32_t p = pos + 1;
    uint32_t tail = rules_tail();
    uint32_t flags = 0;
    if (p < tail && rule_at(p)->is(TYPE_WORD) && keyword_of(rule_at(p)) == KW_PICK) {
        flags = F_PICK;
        p++;
    }
    if (p >= tail) raise_end(&kw_word);
    if (rule_at(p)->is(TYPE_PAREN)) {
        Cell paren = *rule_at(p);
        if (!eval_paren(&paren, &value)) return halt;
        int32_t into = innermost_collect(static_cast<uint32_t>(g_rule_stack.size()));
        if (into < 0) error_raise(ErrCat::Script, "parse-keep", &kw_word);
        collect_add(static_cast<uint32_t>(into), &value, (flags & F_PICK) && type_block_family(value.type()));
        pos = p + 1;
        match = true;
        return S_AFTER;
    }
    return modifier(K_KEEP, p, nullptr, flags);
}

// Whether rule i is a word holding a position in the current input; the
// position goes to `temp`.
static bool position_word(Run& r, uint32_t i) {
    if (i >= r.rules_tail()) return false;
    Cell c = *r.rule_at(i);
    if (!c.is(TYPE_WORD) || is_keyword(&c)) return false;
    const Cell* v = word_get_any(&c);
    if (v->type() != r.input.type() || v->data2 != r.input.data2) return false;
    r.temp = *v;
    return true;
}

State Run::kw_insert() {
    Cell kw_word = item;
    uint32_t p = pos + 1;
    uint32_t tail = rules_tail();
    bool only = false;
    if (rule_at(p)->is(TYPE_WORD) && keyword_of(rule_at(p)) == KW_ONLY) {
        only = true;
        if (++p >= tail) raise_end(&kw_word);
    }
    uint32_t at = head();
    if (position_word(*this, p)) {
        at = std::min(temp.data1, in_total());
        if (++p >= tail) raise_rule(&kw_word);
    }
    if (!read_value(p, &value)) return halt;
    uint32_t n = insert_at(at, &value, only);
    if (head() >= at) input.data1 += n;
    pos = p + 1;
    match = true;
    return S_AFTER;
}

State Run::kw_change() {
    Cell kw_word = item;
    uint32_t p = pos + 1;
    uint32_t tail = rules_tail();
    uint32_t flags = 0;
    if (rule_at(p)->is(TYPE_WORD) && keyword_of(rule_at(p)) == KW_ONLY) {
        flags = F_ONLY;
        if (++p >= tail) raise_end(&kw_word);
    }
    if (position_word(*this, p)) {
        if (p + 1 >= tail) raise_rule(&kw_word);
        uint32_t at = std::min(temp.data1, in_total());
        if (!read_value(p + 1, &value)) return halt;
        uint32_t from = std::min(at, head()), to = std::max(at, head());
        input.data1 = change_part(from, to, &value, flags & F_ONLY);
        pos = p + 2;
        match = true;
        return S_AFTER;
    }
    return modifier(K_CHANGE, p, &kw_word, flags);
}

State Run::kw_remove() {
    uint32_t p = pos + 1;
    Cell* c = rule_at(p);
    if (c->is(TYPE_PATH) || c->is(TYPE_SET_PATH) || c->is(TYPE_GET_PATH)) raise_rule(c);
    if (position_word(*this, p)) {
        uint32_t at = std::min(temp.data1, in_total());
        uint32_t from = std::min(at, head()), to = std::max(at, head());
        remove_part(from, to);
        input.data1 = from;
        pos = p + 1;
        match = true;
        return S_AFTER;
    }
    return modifier(K_REMOVE, p, nullptr, 0);
}

// break (is_break) and reject: end the innermost repetition of this run.
State Run::stop_repetition(bool is_break) {
    int32_t rep = -1;
    for (uint32_t i = static_cast<uint32_t>(g_rule_stack.size()); i-- > base;) {
        int32_t k = g_rule_stack[i].kind;
        if (k == K_REPEAT || k == K_WHILE) {
            rep = static_cast<int32_t>(i);
            break;
        }
    }
    if (rep < 0) {
        if (!is_break) {
            match = false;
            return S_AFTER;
        }
        pos = rules_tail();
        match = true;
        return S_AFTER;
    }
    // Drop what runs above the repetition: the lowest dropped block entry
    // knows where the repetition's own block goes on; `into` gives its
    // input back; collects deliver what they gathered.
    while (g_rule_stack.size() > static_cast<size_t>(rep) + 1) {
        Entry e = g_rule_stack.back();
        switch (e.kind) {
        case K_BLOCK:
            rules = e.word;
            pos = e.rule_pos;
            g_rule_stack.pop_back();
            break;
        case K_INTO: {
            InputEntry outer = g_input_stack.back();
            g_input_stack.pop_back();
            input = outer.input;
            limit = outer.limit;
            has_limit = outer.has_limit;
            input.data1 = e.start;
            clamp_input();
            g_rule_stack.pop_back();
            break;
        }
        case K_CASE:
            mode = static_cast<int32_t>(e.flags >> F_CASE_SHIFT);
            g_rule_stack.pop_back();
            break;
        case K_COLLECT:
            collect_done();
            break;
        default: g_rule_stack.pop_back(); break;
        }
    }
    Entry& r = g_rule_stack.back();
    if (is_break) {
        match = r.count + 1 >= r.min;
    } else {
        input.data1 = r.round;
        match = r.count >= r.min;
    }
    if (!match) input.data1 = r.start;
    clamp_input();
    g_rule_stack.pop_back();
    return S_AFTER;
}

// ---- modifiers ----------------------------------------------------------------------------

State Run::apply() {
    uint32_t top = static_cast<uint32_t>(g_rule_stack.size()) - 1;
    Entry e = g_rule_stack[top];
    switch (e.kind) {
    case K_REPEAT: case K_WHILE: return repeat_apply();
    case K_TO: case K_THRU:
        if (match) {
            if (e.kind == K_TO) input.data1 = e.round;
            g_rule_stack.pop_back();
            return S_AFTER;
        }
        if (e.round + 1 > in_end()) {
            input.data1 = e.start;
            clamp_input();
            g_rule_stack.pop_back();
            return S_AFTER;
        }
        g_rule_stack[top].round = e.round + 1;
        input.data1 = e.round + 1;
        pos = e.rule_pos;
        match = true;
        if (!emit(EV_ITERATE)) return halt;
        return load_item(pos) ? S_DISPATCH : S_APPLY;
    case K_COPY: case K_SET:
        g_rule_stack.pop_back();
        if (match) {
            temp2 = e.word;
            if (e.kind == K_COPY) copy_part(e.start, head(), &temp);
            else first_element(e.start, head(), &temp);
            word_set(&temp2, &temp);
        }
        return S_AFTER;
    case K_NOT:
        g_rule_stack.pop_back();
        match = !match;
        input.data1 = e.start;
        clamp_input();
        return S_AFTER;
    case K_AHEAD:
        g_rule_stack.pop_back();
        input.data1 = e.start;
        clamp_input();
        return S_AFTER;
    case K_INTO: {
        bool ok = match && at_end();
        InputEntry outer = g_input_stack.back();
        g_input_stack.pop_back();
        input = outer.input;
        limit = outer.limit;
        has_limit = outer.has_limit;
        input.data1 = e.start + (ok ? 1 : 0);
        clamp_input();
        g_rule_stack.pop_back();
        match = ok;
        return S_AFTER;
    }
    case K_REMOVE:
        g_rule_stack.pop_back();
        if (match) {
            remove_part(e.start, head());
            input.data1 = e.start;
            clamp_input();
        }
        return S_AFTER;
    case K_KEEP:
        g_rule_stack.pop_back();
        if (match) keep_part(e.start, head(), e.flags & F_PICK);
        return S_AFTER;
    case K_COLLECT: return collect_done();
    case K_CASE:
        g_rule_stack.pop_back();
        mode = static_cast<int32_t>(e.flags >> F_CASE_SHIFT);
        return S_AFTER;
    case K_CHANGE: {
        g_rule_stack.pop_back();
        if (pos >= rules_tail()) raise_rule(&e.word);
        uint32_t value_pos = pos++;
        if (!match) return S_AFTER;
        if (!read_value(value_pos, &value)) return halt;
        input.data1 = change_part(e.start, std::max(e.start, head()), &value, e.flags & F_ONLY);
        return S_AFTER;
    }
    default: fatal_runtime_error(101);
    }
}

// A round of a repetition finished. A round that matched without moving
// the input (and without the input growing) would match the same way again:
// the repetition stops there and counts as satisfied, so `any`/`some` never
// spin and `n rule` with a rule that matches nothing is not refused. `while`
// goes on as long as its rule matches.
State Run::repeat_apply() {
    uint32_t top = static_cast<uint32_t>(g_rule_stack.size()) - 1;
    Entry& e = g_rule_stack[top];
    bool ok;
    if (match) {
        e.count++;
        uint32_t total = in_total();
        bool progressed = head() != e.round || total > e.round_len;
        bool more = e.max < 0 || e.count < e.max;
        if (more && (progressed || e.kind == K_WHILE)) {
            e.round = head();
            e.round_len = total;
            pos = e.rule_pos;
            if (!emit(EV_ITERATE)) return halt;
            return load_item(pos) ? S_DISPATCH : S_APPLY;
        }
        ok = e.count >= e.min || !progressed;
    } else {
        input.data1 = e.round;
        ok = e.count >= e.min;
    }
    if (!ok) input.data1 = e.start;
    clamp_input();
    g_rule_stack.pop_back();
    match = ok;
    return S_AFTER;
}

// The collect on top ends: its block goes to the enclosing collect (when
// its rule matched), to the run's result (top level: when it matched, or
// when no collect has given a result yet), or to its word.
State Run::collect_done() {
    uint32_t top = static_cast<uint32_t>(g_rule_stack.size()) - 1;
    Entry e = g_rule_stack[top];
    g_rule_stack.pop_back();
    temp = e.aux;
    temp2 = e.word;
    switch (e.flags & F_COLLECT_MASK) {
    case F_COLLECT_PLAIN: {
        int32_t outer = innermost_collect(top);
        if (outer >= 0) {
            if (match) collect_add(static_cast<uint32_t>(outer), &temp, false);
        } else if (match || !has_result) {
            result = temp;
            has_result = true;
        }
        break;
    }
    case F_COLLECT_SET: word_set(&temp2, &temp); break;
    case F_COLLECT_AFTER: word_set(&temp2, &temp); break;
    default: break;
    }
    return S_AFTER;
}

}  // namespace kel::parse

// ---- entry points ------------------------------------------------------------------------------

namespace kel {

using namespace parse;

bool parse_run(const Cell* input, const Cell* rules, const ParseOptions& options, Cell* out) {
    names_init();
    roots_init();
    if (input->is(TYPE_BINARY)) error_raise(ErrCat::Internal, "not-done");
    Cell* saved_top = g_stack.top;
    Run run(input, rules, options);
    State s = run.execute();
    if (s == S_EXIT) return false;
    g_stack.top = saved_top;
    if (s == S_DONE && run.has_result) *out = run.result;
    else cell_set(out, TYPE_LOGIC, run.match ? 1 : 0);
    return true;
}

uint32_t parse_rule_stack_depth() { return static_cast<uint32_t>(g_rule_stack.size()); }
uint32_t parse_input_stack_depth() { return static_cast<uint32_t>(g_input_stack.size()); }

void native_parse(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(40, refs);
    Cell* args = stack_arguments();
    ParseOptions options;
    options.case_sensitive = refs[0] >= 0;
    if (refs[1] >= 0) {
        const Cell* part = args + refs[1];
        int64_t limit;
        if (type_series(part->type())) {
            if (part->type() != args[0].type() || part->data2 != args[0].data2) raise_invalid_refine(g_refinements.part, part);
            limit = part->data1;
        } else {
            limit = int64_t(args[0].data1) + value_get_int32(part);
        }
        if (limit <= 0) {
            cell_set(args, TYPE_LOGIC, series_length(args) == 0 ? 1 : 0);
            return;
        }
        options.has_limit = true;
        options.limit = limit;
    }
    if (refs[2] >= 0) options.trace = args + refs[2];
    Cell out;
    if (!parse_run(args, args + 1, options, &out)) return;
    copy_cell(&out, args);
}

}  // namespace kel
