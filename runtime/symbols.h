// The symbol table, context word slots, the owners table and the fixed words.
//
// Symbols: one symbol! cell per distinct spelling, numbered from 1, kept in
// the symbol block (symbol n is cell n - 1) with a words-kind hash table over
// it. A spelling that differs from an earlier one only in ASCII letter case is
// a new symbol whose alias is the id of that earlier one; the canonical id
// (the alias when positive, else the own id) is what case-insensitive
// comparison and lookup use, while strict comparison uses the exact id.
//
//   symbol cell: header 13 | data1 alias (-1: none) | data2 node of the name
//                as a string!, 0 until needed | data3 node of the UTF-8 name
//                bytes followed by a NUL that the tail excludes
//
// Context slots: a context's words table is a words-kind hash table whose
// block holds the word cells in slot order: position i holds the word cell
// {word!, context node, symbol id, value index}; the value index equals i,
// except in the global context where a new spelling of a known name shares
// that name's value index. Keys hash by the identity hash of the canonical id.
//
// Owners table: node-keyed entries of three value cells (the owned value, the
// owner object, the owner's field word) for every series that an object field
// holds while the object tracks changes. An owned series carries the buffer
// flag SERIES_OWNED; an owned image! carries CELL_OWNED_IMAGE in its cell; an
// object whose fields are tracked carries CONTEXT_TRACKED on its context cell.
#pragma once
#include <cstdint>
#include <string_view>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

constexpr uint32_t kSymbolBlockInitial = 4000;
constexpr uint32_t kOwnersInitial = 1000;
constexpr uint32_t CELL_OWNED_IMAGE = 0x10000;
constexpr uint32_t kSymbolNoAlias = 0xFFFFFFFFu;

extern Cell g_symbol_block;  // block! of symbol! cells (the table's block)
extern Off g_symbol_table;   // words-kind hash table over it
extern Off g_owners_table;   // owners-kind table, 3 value cells an entry

// Makes the symbol block and its table (idempotent) and registers them with
// the collector.
void symbols_init(uint32_t size = kSymbolBlockInitial);
// Points the hash engine's seams at the symbol table (canonical ids) and the
// collector (marking, remapping, roots, node evacuation).
void symbols_seams_init();
bool symbols_ready();
// Number of symbols interned.
uint32_t symbols_count();

// Finds or adds a symbol; returns its id. With `twin`, any spelling equal
// ignoring ASCII case is returned as it is and nothing is added for it.
uint32_t symbol_intern(Off table, const uint8_t* name, uint32_t length, bool twin);
// The name with A-Z lowered, in a shared scratch buffer (valid until the next
// call).
const uint8_t* symbol_fold_ascii(const uint8_t* name, uint32_t length);
// 0 when the `length` bytes are equal: exactly, or ignoring ASCII case.
int symbol_compare(const uint8_t* a, const uint8_t* b, uint32_t length, bool exact);

// The symbol cell of id (1-based); stale after the next allocation.
inline Cell* symbol_cell(uint32_t id) { return arena_at<Cell>(node_buffer(g_symbol_block.data2)->head) + (id - 1); }
// The canonical id: the alias when positive, else the id itself.
inline uint32_t symbol_resolve(uint32_t id) {
    int32_t alias = static_cast<int32_t>(symbol_cell(id)->data1);
    return alias > 0 ? static_cast<uint32_t>(alias) : id;
}
// The UTF-8 name; stale after the next allocation.
std::string_view symbol_name(uint32_t id);

// Keeps a hash table (record, bucket arrays and block) alive and its node
// current while C++ code holds it in `*slot` across allocations.
class GcRootTable {
public:
    explicit GcRootTable(Off* slot);
    ~GcRootTable();
    GcRootTable(const GcRootTable&) = delete;
    GcRootTable& operator=(const GcRootTable&) = delete;
};

// ---- context slots ----------------------------------------------------------

// Finds the word cell of `symbol` in a words table (canonical ids compared
// when `nocase`, exact ids otherwise). Found: returns its position and, when
// `out` is given, writes it there. Absent: -1; when `context` is given the
// word {word!, context, symbol, n} is appended at position n (the block's
// length), `out` gets n, and the result is still -1 (newly added). The caller
// grows the context's values.
int32_t context_add_slot(Off table, uint32_t symbol, bool nocase, Off context, int32_t* out);
// The word cell of `symbol` in a words table, or null; never allocates. Stale
// after the next allocation.
const Cell* context_find_slot(Off table, uint32_t symbol, bool nocase);
// The words table of a context, its words block node and the word cell at
// position i (stale after the next allocation).
Off context_words_table(Off context);
Off context_words_node(Off context);
SeriesBuf* context_words_buffer(Off context);
Cell* context_word_cell_at(Off context, uint32_t i);
uint32_t context_words_count(Off context);

// ---- ownership --------------------------------------------------------------

// Called to fire an owner object's on-deep-change*; supplied by object!.
extern void (*g_owner_fire_deep_change)(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                                        const Cell* value, int32_t index, int32_t part);

void symctx_owners_init();
// Records that `value` and every series inside it belong to `owner`'s field
// `word`. Self-containing values stop at the repeated series.
void symctx_owner_set(Cell* value, const Cell* owner, const Cell* word);
// The same, then marks the owner's context as tracked.
void symctx_owner_set_flagged(Cell* value, const Cell* owner, const Cell* word);
void symctx_owner_clear(Cell* value);
// The owner object cell of a series node's entry, or null.
Cell* symctx_owner_find(Off node);
// Fires the owner's on-deep-change* when `target` is owned and its owner
// keeps change information; returns whether it fired.
bool symctx_owner_get(const Cell* target, const Cell* action, const Cell* value, int32_t index, int32_t part);

// ---- fixed words --------------------------------------------------------------

// X(c_name, "spelling"): symbols interned at start-up. `code` appears twice
// (event field and money field); both name the same symbol.
#define KEL_FIXED_SYMBOLS(X)                                                                                       \
    X(spec, "spec") X(body, "body") X(words, "words") X(class_, "class")                                        \
    X(logic_t, "logic!") X(integer_t, "integer!") X(char_t, "char!") X(float_t, "float!")                       \
    X(percent_t, "percent!") X(any_type_t, "any-type!")                                                          \
    X(exit, "exit") X(return_, "return")                                                                         \
    X(windows, "Windows") X(syllable, "Syllable") X(macos, "macOS") X(linux_, "Linux") X(netbsd, "NetBSD")      \
    X(repeat, "repeat") X(foreach, "foreach") X(map_each, "map-each") X(remove_each, "remove-each")             \
    X(any, "any") X(break_, "break") X(copy, "copy") X(end, "end") X(fail, "fail") X(into, "into")              \
    X(opt, "opt") X(not_, "not") X(quote, "quote") X(case_, "case") X(reject, "reject") X(set, "set")           \
    X(skip, "skip") X(some, "some") X(thru, "thru") X(to, "to") X(none, "none") X(bar, "|") X(dash, "-")        \
    X(if_, "if") X(remove, "remove") X(while_, "while") X(insert, "insert") X(only, "only")                     \
    X(collect, "collect") X(keep, "keep") X(pick, "pick") X(ahead, "ahead") X(after, "after")                   \
    X(x, "x") X(y, "y") X(z, "z")                                                                                \
    X(self, "self") X(values, "values") X(owner, "owner") X(owned, "owned") X(events_q, "events?")              \
    X(true_, "true") X(false_, "false") X(yes, "yes") X(no, "no") X(on, "on") X(off, "off")                     \
    X(type, "type") X(face, "face") X(window, "window") X(offset, "offset") X(key, "key") X(flag, "flag")       \
    X(code, "code") X(picked, "picked") X(flags, "flags") X(away_q, "away?") X(ctrl_q, "ctrl?")                 \
    X(shift_q, "shift?") X(down_q, "down?") X(mid_down_q, "mid-down?") X(alt_down_q, "alt-down?")              \
    X(aux_down_q, "aux-down?") X(orientation, "orientation")                                                     \
    X(get, "get") X(put, "put") X(post, "post") X(head, "head")                                                  \
    X(size, "size") X(rgb, "rgb") X(alpha, "alpha") X(argb, "argb")                                              \
    X(date, "date") X(year, "year") X(month, "month") X(day, "day") X(zone, "zone") X(isoweek, "isoweek")       \
    X(week, "week") X(weekday, "weekday") X(yearday, "yearday") X(julian, "julian") X(time, "time")             \
    X(hour, "hour") X(minute, "minute") X(second, "second") X(timezone, "timezone")                              \
    X(money_code, "code") X(amount, "amount") X(user, "user") X(host, "host")                                    \
    X(system, "system") X(system_global, "system-global") X(stack, "stack") X(trace, "trace")                   \
    X(no_trace, "no-trace")

// X(c_name, "spelling"): global words made at start-up. `throw` appears twice
// (trace event and error category); both are the same word.
#define KEL_FIXED_WORDS(X)                                                                                         \
    X(at, "at") X(back, "back") X(find, "find") X(head, "head") X(head_q, "head?") X(index_q, "index?")         \
    X(length_q, "length?") X(next, "next") X(pick, "pick") X(skip, "skip") X(select, "select") X(tail, "tail")  \
    X(tail_q, "tail?") X(change, "change") X(changed, "changed") X(clear, "clear") X(cleared, "cleared")        \
    X(set_path, "set-path") X(append, "append") X(appended, "appended") X(move, "move") X(moved, "moved")       \
    X(poke, "poke") X(poked, "poked") X(put, "put") X(put_ed, "put-ed") X(removed, "removed")                  \
    X(random, "random") X(randomized, "randomized") X(reverse, "reverse") X(reversed, "reversed")              \
    X(sort, "sort") X(sorted, "sorted") X(swap, "swap") X(swaped, "swaped") X(take, "take") X(taken, "taken")   \
    X(trim, "trim") X(trimmed, "trimmed") X(inserted, "inserted") X(uppercase, "uppercase")                      \
    X(lowercase, "lowercase") X(checksum, "checksum")                                                            \
    X(push, "push") X(pop, "pop") X(fetch, "fetch") X(match, "match") X(iterate, "iterate") X(paren, "paren")   \
    X(anon, "<anon>") X(body_marker, "<body>") X(not_found, "<not-found>")                                       \
    X(add, "add") X(subtract, "subtract") X(divide, "divide")                                                    \
    X(on_parse_event, "on-parse-event") X(on_change, "on-change*") X(on_deep_change, "on-deep-change*")         \
    X(type, "type") X(id, "id") X(try_, "try") X(catch_, "catch") X(name, "name") X(multiply, "multiply")       \
    X(browse, "browse") X(open, "open") X(create, "create") X(close, "close") X(delete_, "delete")              \
    X(modify, "modify") X(query, "query") X(read, "read") X(rename, "rename") X(update, "update")              \
    X(write, "write")                                                                                            \
    X(prescan, "prescan") X(scan, "scan") X(load, "load") X(error, "error") X(comment, "comment")               \
    X(init, "init") X(exec, "exec") X(call, "call") X(return_, "return") X(enter, "enter") X(exit, "exit")      \
    X(prolog, "prolog") X(epilog, "epilog") X(throw_, "throw") X(expr, "expr")                                  \
    X(interp_callback, "<interp-callback>") X(lexer_callback, "<lexer-callback>")                               \
    X(parse_callback, "<parse-callback>") X(compare_callback, "<compare-callback>")                             \
    X(throw_category, "throw") X(note, "note") X(syntax, "syntax") X(script, "script") X(math, "math")          \
    X(access, "access") X(user, "user") X(internal, "internal")                                                  \
    X(invalid_error, "invalid-error") X(local, "local") X(applied, "<applied>")

struct FixedSymbols {
#define X(cname, text) uint32_t cname;
    KEL_FIXED_SYMBOLS(X)
#undef X
};
struct FixedWords {
#define X(cname, text) Cell cname;
    KEL_FIXED_WORDS(X)
#undef X
};
struct FixedRefinements {
    Cell local, extern_, compare, part, skip, with;
};

extern FixedSymbols g_sym;
extern FixedWords g_words;
extern FixedRefinements g_refinements;
extern Cell g_issue_ooo;  // #ooo

// Run once after the symbol table and the global context exist.
void words_init();
void words_init_refinements();
void words_init_issue();

}  // namespace kel
