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

}  // namespace

void raise_rule(const Cell* item) { error_raise(ErrCat::Script, "parse-rule", item); }
void raise_end(const Cell* keyword) { error_raise(ErrCat::Script, "parse-end", keyword); }
void raise_keep() {
    Cell keep{TYPE_WORD, 0, 0, 0};
    word_make_global_at(g_names.keep, &keep);
    error_raise(ErrCat::Script, "parse-keep", &keep);
}

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
    e.round_parens = parens;
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
    parens++;
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
            // A repetition shows the round it is in (from 1); `count` holds
            // the rounds already matched. `change only` has a kind of its own.
            bool repeats = e.kind == K_REPEAT || e.kind == K_WHILE;
            int32_t kind = e.kind == K_CHANGE && (e.flags & F_ONLY) ? K_CHANGE_ONLY : e.kind;
            if (e.kind == K_COPY || e.kind == K_SET || (e.kind == K_COLLECT && e.word.is(TYPE_WORD))) c[0] = e.word;
            else cell_set(&c[0], TYPE_TRIPLE, static_cast<uint32_t>(e.min), static_cast<uint32_t>(e.max),
                          static_cast<uint32_t>(repeats ? e.count + 1 : e.count));
            cell_set(&c[1], TYPE_TRIPLE, e.rule_pos, e.start, e.round_len);
            cell_set(&c[2], TYPE_PAIR, 0, static_cast<uint32_t>(kind), e.flags & F_PICK);
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
    interp_callback_frame(&callback, first, 5);
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
        if (c->is(TYPE_WORD) && keyword_of(c) == KW_QUOTE) {
            i++;  // a quoted `|` is a literal
            continue;
        }
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
        if (trace && !emit(EV_MATCH)) return halt;  // the callback sees the literal
        pos++;
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
