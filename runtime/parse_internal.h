// Internals shared by the PARSE engine (runtime/parse_engine.cpp), its
// keywords (runtime/parse_keywords.cpp) and its matcher
// (runtime/parse_match.cpp).
//
// Work stacks. The rule stack holds one entry per rule block being run and
// one per modifier (a repetition, `to`, `copy`, `collect`, ...) whose rule is
// running; the input stack holds the outer inputs of `into`. Both are global
// and shared by nested runs (a paren may call `parse`): a run uses the
// entries from its `base` up and truncates back to it on every exit, normal
// or not. Entries are plain C++ records whose cells a collector root marks,
// so no entry is ever reached by pointer across a call that may run Kel code
// (a nested run may grow, and so move, the vectors): always by index.
//
// Positions are indexes from the first unit of a buffer: `pos` into the
// current rule block, `input.data1` into the input. A paren may shorten
// either, so every read checks against the tail of the moment.
#pragma once
#include <cstdint>
#include <vector>

#include "runtime/cell.h"
#include "runtime/memory.h"
#include "runtime/parse.h"

namespace kel::parse {

// Entry kinds: 0 a rule block, negative a modifier.
enum Kind : int32_t {
    K_BLOCK = 0,
    K_REPEAT = -1,  // any, some, opt and integer counts
    K_TO = -2,
    K_THRU = -3,
    K_COPY = -4,
    K_SET = -5,
    K_NOT = -6,
    K_INTO = -7,
    K_REMOVE = -9,
    K_WHILE = -11,
    K_COLLECT = -12,
    K_KEEP = -13,
    K_AHEAD = -16,
    K_CHANGE = -17,
    K_CHANGE_ONLY = -18,  // only as the trace shows it: the entry is K_CHANGE with F_ONLY
    K_CASE = -19,
};

// Entry flags.
constexpr uint32_t F_PICK = 1;          // keep pick
constexpr uint32_t F_ONLY = 2;          // change only
constexpr uint32_t F_COLLECT_MASK = 12; // collect: plain, set, into, after
constexpr uint32_t F_COLLECT_PLAIN = 0;
constexpr uint32_t F_COLLECT_SET = 4;
constexpr uint32_t F_COLLECT_INTO = 8;
constexpr uint32_t F_COLLECT_AFTER = 12;
constexpr uint32_t F_CASE_SHIFT = 8;    // case: the comparison mode to restore

struct Entry {
    // The two cells come first: the collector marks [word, aux].
    Cell word;  // block: the enclosing rule block (none! at the bottom);
                // copy, set, collect set/into/after: the word; change: the keyword
    Cell aux;   // block: its own rule block; collect: the block being filled or
                // the target series at its insertion point
    int32_t kind;
    uint32_t flags;
    uint32_t rule_pos;   // block: where the enclosing block goes on; modifier: its rule
    uint32_t start;      // input head when pushed
    uint32_t round;      // repetition: head at the round's start; to/thru: position tried
    uint32_t round_len;  // repetition: input length at the round's start
    int32_t min, max, count;  // repetition bounds (max -1: no bound) and rounds matched
    uint64_t round_parens;    // repetition: the run's `parens` at the round's start
};

struct InputEntry {
    Cell input;  // the outer input, at the element `into` descended into
    int64_t limit;
    bool has_limit;
};

extern std::vector<Entry> g_rule_stack;
extern std::vector<InputEntry> g_input_stack;

// Keywords, recognised by canonical symbol (any spelling case). The last
// three are words with a meaning only after another keyword.
enum Keyword : uint8_t {
    KW_NO = 0,
    KW_BAR, KW_AHEAD, KW_ANY, KW_BREAK, KW_CASE, KW_CHANGE, KW_COLLECT, KW_COPY, KW_END, KW_FAIL, KW_IF,
    KW_INSERT, KW_INTO, KW_KEEP, KW_NONE, KW_NOT, KW_OPT, KW_QUOTE, KW_REJECT, KW_REMOVE, KW_SET, KW_SKIP,
    KW_SOME, KW_THRU, KW_TO, KW_WHILE,
    KW_ONLY, KW_PICK, KW_AFTER,
};
constexpr uint8_t kFirstContextual = KW_ONLY;
uint8_t keyword_of(const Cell* word);
// A keyword that is a rule of its own (not one of the contextual words).
bool is_keyword(const Cell* word);

// States of the engine loop.
enum State : uint8_t {
    S_PUSH_BLOCK,  // push the block in `item` and run it
    S_BLOCK_END,   // the current block ended (match or not)
    S_APPLY,       // the rule under the top modifier finished: apply the modifier
    S_AFTER,       // a rule finished: to its modifier, or on in its block
    S_DISPATCH,    // dispatch `item` (the rule at `pos`) by type
    S_NEXT,        // go to the rule at `pos`
    S_KEYWORD,     // `item` is a keyword
    S_FAIL,        // failure: next alternative or block failure
    S_END,         // the rules ended: compute the result
    S_STOP,        // the trace callback stopped the run: the match flag is the result
    S_EXIT,        // an exit is pending: leave at once
    S_DONE,
};

enum Event : uint8_t { EV_PUSH, EV_POP, EV_FETCH, EV_MATCH, EV_ITERATE, EV_PAREN, EV_END, EV_COUNT };

// One run of `parse`. Its cells are collector roots for its lifetime.
struct Run {
    // Cells (kept together: the collector marks [input, temp2]).
    Cell input;     // the current input position
    Cell rules;     // the current rule block; its head is the block's start
    Cell item;      // the rule being dispatched
    Cell value;     // a word's value, a paren's result, a literal
    Cell result;    // the block of a top-level plain collect
    Cell callback;  // the trace callback, or none!
    Cell temp;
    Cell temp2;

    uint32_t pos = 0;
    uint64_t parens = 0;      // parens this run has evaluated
    uint32_t base = 0;        // this run's bottom entry on the rule stack
    uint32_t input_base = 0;  // this run's first entry on the input stack
    int64_t limit = 0;
    bool has_limit = false;
    int32_t mode = 0;  // comparison operator: 0 equal?, 2 strict-equal?
    bool match = true;
    bool trace = false;
    bool has_result = false;
    State halt = S_EXIT;  // where a helper that returned false wants the loop to go

    Run(const Cell* in, const Cell* rule_block, const ParseOptions& options);
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    State execute();

    // ---- input (parse_match.cpp) -------------------------------------------------
    bool in_block() const;
    uint32_t in_total() const;  // units in the input's buffer
    uint32_t in_end() const;    // the tail, or the limit when nearer
    uint32_t head() const { return input.data1; }
    bool at_end() const { return input.data1 >= in_end(); }
    void clamp_input();         // a head past the tail moves back to it

    // Advance of the literal `lit` matched at the head, or -1.
    int32_t match_literal(const Cell* lit);
    // One element of a datatype! or typeset!; advances on success.
    bool match_type(const Cell* type);
    // Fast paths: `lit` repeated from min to max times (-1: no bound), `skip`
    // repeated, and `to`/`thru` a literal. Each sets `match` and moves the
    // input on success.
    void repeat_literal(const Cell* lit, int32_t min, int32_t max);
    void repeat_skip(int32_t min, int32_t max);
    void search_literal(const Cell* lit, bool thru);

    // Captures and edits of [start, end) of the current input.
    void copy_part(uint32_t start, uint32_t end, Cell* out);
    void first_element(uint32_t start, uint32_t end, Cell* out);
    void remove_part(uint32_t start, uint32_t end);
    // Replaces [start, end) by `value` (rooted); returns the index after it.
    uint32_t change_part(uint32_t start, uint32_t end, Cell* value, bool only);
    // Inserts `value` (rooted) at `at`; returns the units inserted.
    uint32_t insert_at(uint32_t at, Cell* value, bool only);
    // Moves the /part limit after [start, end) was replaced by `inserted` units.
    void edited(uint32_t start, uint32_t end, uint32_t inserted);
    // Keeps [start, end) in the innermost collect.
    void keep_part(uint32_t start, uint32_t end, bool pick);
    // Adds `v` (rooted) to the collect entry `index`; `splice` adds a
    // block's elements one by one.
    void collect_add(uint32_t index, Cell* v, bool splice);
    // The innermost collect entry of this run, or -1.
    int32_t innermost_collect(uint32_t below) const;
    // Checks a `collect into`/`after` target held by `word`; writes it to `out`.
    void collect_target(const Cell* word, Cell* out);

    // ---- engine (parse_engine.cpp; the keyword and modifier states in
    // parse_keywords.cpp) ------------------------------------------------------------
    uint32_t rules_tail() const;
    Cell* rule_at(uint32_t i) const;  // stale after the next allocation
    bool load_item(uint32_t i);       // item := rule i; false at the tail
    void need_room(bool input_stack) const;
    // A word's value as a rule: unset! or a word! raise `parse-rule`.
    void word_rule_value(const Cell* word, Cell* out) const;
    // A literal at rule i (directly, through a word, or after `quote`):
    // writes it into `value` and returns the rules it spans, else 0.
    uint32_t peek_literal(uint32_t i);
    // The position after the complete rule starting at i.
    uint32_t rule_end(uint32_t i) const;

    bool emit(Event ev);
    bool eval_paren(const Cell* paren, Cell* out);
    bool call_trace(Event ev);
    // A value after insert/change at rule i: literal, word's value or paren result.
    bool read_value(uint32_t i, Cell* out);

    void push_entry(int32_t kind, uint32_t rule_pos);
    State push_block();
    State block_end();
    State after();
    State fail();
    State next();
    State dispatch();
    State keyword();
    State apply();
    State end();
    State count_rule();
    State start_repeat(int32_t min, int32_t max, int32_t kind);
    State modifier(int32_t kind, uint32_t rule_pos, const Cell* word, uint32_t flags);
    State repeat_apply();
    State stop_repetition(bool is_break);
    State kw_to(bool thru);
    State kw_into();
    State kw_collect();
    State kw_keep();
    State kw_insert();
    State kw_change();
    State kw_remove();
    State collect_done();
};

inline Cell none_cell() { return Cell{TYPE_NONE, 0, 0, 0}; }
inline uint32_t buffer_cells(Off node) {
    SeriesBuf* b = node_buffer(node);
    return (b->tail - b->head) >> 4;
}
[[noreturn]] void raise_rule(const Cell* item);   // parse-rule with the item
[[noreturn]] void raise_end(const Cell* keyword);  // parse-end with the keyword
[[noreturn]] void raise_keep();                    // parse-keep with the word keep

inline bool value_truthy(const Cell* v) {
    return !(v->is(TYPE_NONE) || (v->is(TYPE_LOGIC) && v->data1 == 0));
}

// Rules whose items dispatch by type rather than match as literals.
inline bool is_rule_type(uint32_t t) {
    switch (t) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_WORD: case TYPE_SET_WORD: case TYPE_GET_WORD: case TYPE_INTEGER:
    case TYPE_DATATYPE: case TYPE_TYPESET: case TYPE_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH: case TYPE_UNSET:
        return true;
    default: return false;
    }
}

}  // namespace kel::parse
