// PARSE: matches an input series against a block of grammar rules.
//
// The dialect (what each rule item and keyword matches, how far it moves the
// input, captures and edits) is carried out by a state machine over two work
// stacks (runtime/parse_engine.cpp); the keywords and the modifiers they push
// are in runtime/parse_keywords.cpp; literal matching, the fast repetition
// and search paths and the edits of the input in runtime/parse_match.cpp. Nested rules cost work-stack entries, never
// machine stack, so rule depth is bounded by the stacks (`parse-stack`), not
// by the C++ stack.
//
// A paren inside the rules may run any Kel code, including `parse` itself:
// the engine keeps every value it holds across such a call in collector
// roots and reads buffers again afterwards.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// Entries each work stack may hold: a push beyond it raises `parse-stack`.
constexpr uint32_t kParseStackLimit = 10000;

struct ParseOptions {
    bool case_sensitive = false;  // /case: strict comparison
    bool has_limit = false;       // /part given
    int64_t limit = 0;            // absolute end index of the input when has_limit
    const Cell* trace = nullptr;  // /trace callback (a function!), or null
};

// Runs `rules` over `input` and writes the result (logic!, or the block of a
// top-level collect) into `out`, which must not lie in a series buffer.
// Returns false when a break, continue, return or exit left a paren or the
// trace callback: the exit is then pending (runtime/exits.h) and `out` is
// untouched. Errors and throws travel as exceptions; the work stacks are put
// back as they were in either case.
bool parse_run(const Cell* input, const Cell* rules, const ParseOptions& options, Cell* out);

// Entries on the rule stack and the input stack (all runs), for tests.
uint32_t parse_rule_stack_depth();
uint32_t parse_input_stack_depth();

// The native (index 40).
void native_parse(int32_t check, const int32_t* refs);

}  // namespace kel
