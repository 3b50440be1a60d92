// The 62 action slots and the implementation signature of each.
//
// Every datatype fills a row of 62 entries (runtime/datatype.h). The entry
// of slot k is called with the argument list fixed for k below. Conventions:
//  - argument cells come first, in interface block order; a refinement without argument
//    is a bool, a refinement with an argument is a `const Cell*` that is null
//    when the refinement is absent;
//  - implementations that return `Cell*` return the result cell (often one of
//    their arguments); the dispatcher copies it into the frame's result slot;
//  - the nineteen frame actions (absolute, add, divide, multiply, power,
//    remainder, subtract, and~, or~, xor~, at, back, head, head?, index?, next,
//    skip, tail, tail?) take no machine arguments: they read their arguments
//    from the current frame (stack_arguments()) and write the result slot.
// Form and mold append to a string! buffer and return the part limit minus the
// characters appended (the limit is 2147483647 without /part).
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

enum ActionSlot : uint8_t {
#define X(slot, cname, word) ACT_##cname = slot,
#include "runtime/action_slots.def"
#undef X
};
constexpr int kActionCount = 62;
static_assert(ACT_WRITE == kActionCount);

// Comparison operator codes of the compare slot.
enum CompareOp : int32_t {
    COMP_EQUAL = 0,
    COMP_NOT_EQUAL = 1,
    COMP_STRICT_EQUAL = 2,
    COMP_LESSER = 3,
    COMP_LESSER_EQUAL = 4,
    COMP_GREATER = 5,
    COMP_GREATER_EQUAL = 6,
    COMP_SORT = 7,
    COMP_CASE_SORT = 8,
    COMP_SAME = 9,
    COMP_FIND_WORD = 10,       // word and lit-word of one exact spelling match
    COMP_FIND_WORD_CASE = 11,  // ... ignoring case
    COMP_FIND = 12,            // equality of find, select, put and remove
};
constexpr int32_t kCompareIncomparable = -2;

// Arithmetic operator codes shared by the numeric math routines.
enum MathOp : int32_t {
    OP_ADD = 0, OP_SUB, OP_MUL, OP_DIV, OP_REM, OP_OR, OP_AND, OP_XOR,
    OP_UNIQUE, OP_UNION, OP_INTERSECT, OP_EXCLUDE, OP_DIFFERENCE,
};

constexpr int32_t kNoPartLimit = 2147483647;

// Extra arguments of path evaluation (the eval-path slot).
struct EvalPathArgs {
    Cell* path = nullptr;     // the whole path, for error reports; null when none
    Cell* gparent = nullptr;  // the parent's parent
    Cell* p_item = nullptr;   // the element that selected the parent
    int32_t index = -1;       // position of `element` in the path
    bool case_ = false;
    bool get = false;         // get-path semantics
    bool tail = false;        // `element` is the last of the path
};

// Options of find and select (select ignores `tail` and `match`).
struct FindArgs {
    const Cell* part = nullptr;
    bool only = false, case_ = false, same = false, any = false;
    const Cell* with = nullptr;
    const Cell* skip = nullptr;
    bool last = false, reverse = false, tail = false, match = false;
};

// Options of round.
struct RoundArgs {
    const Cell* to = nullptr;
    bool even = false, down = false, half_down = false, floor = false, ceiling = false, half_ceiling = false;
};

struct WriteArgs {
    bool binary = false, lines = false, info = false, append = false;
    const Cell* part = nullptr;
    const Cell* seek = nullptr;
    const Cell* allow = nullptr;
    const Cell* as = nullptr;
};

struct ReadArgs {
    const Cell* part = nullptr;
    const Cell* seek = nullptr;
    bool binary = false, lines = false, info = false;
    const Cell* as = nullptr;
};

struct OpenArgs {
    bool new_ = false, read = false, write = false, seek = false;
    const Cell* allow = nullptr;
};

struct SortArgs {
    bool case_ = false;
    const Cell* skip = nullptr;
    const Cell* compare = nullptr;
    const Cell* part = nullptr;
    bool all = false, reverse = false, stable = false;
};

struct TrimArgs {
    bool head = false, tail = false, auto_ = false, lines = false, all = false;
    const Cell* with = nullptr;
};

using FrameActionFn = void (*)();
using MakeFn = Cell* (*)(Cell* proto, Cell* spec, int32_t type);  // make and to
using RandomFn = Cell* (*)(Cell* value, bool seed, bool secure, bool only);
using ReflectFn = Cell* (*)(Cell* value, int32_t field_symbol);
using FormFn = int32_t (*)(const Cell* value, Cell* buffer, const Cell* part, int32_t limit);
using MoldFn = int32_t (*)(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                           int32_t limit, int32_t indent);
using EvalPathFn = Cell* (*)(Cell* parent, Cell* element, Cell* value, const EvalPathArgs& args);
using CompareFn = int32_t (*)(const Cell* value1, const Cell* value2, int32_t op);
using UnaryFn = Cell* (*)(Cell* value);  // negate, complement, clear, create, close, delete, open?, query, update
using RoundFn = Cell* (*)(Cell* value, const RoundArgs& args);
using PredicateFn = bool (*)(const Cell* value);  // even?, odd?
// append (is_append true) and insert; part -1 means everything.
using InsertFn = Cell* (*)(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool is_append);
using ChangeFn = Cell* (*)(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
using CopyFn = Cell* (*)(Cell* value, Cell* dest, const Cell* part, bool deep, const Cell* types);
using FindFn = Cell* (*)(Cell* series, Cell* value, const FindArgs& args);  // find and select
using LengthFn = int32_t (*)(const Cell* value);  // -1: no length (none!)
using MoveFn = Cell* (*)(Cell* origin, Cell* target, const Cell* part);
using PickFn = Cell* (*)(Cell* series, int32_t index, const Cell* index_cell);
using PokeFn = Cell* (*)(Cell* series, int32_t index, Cell* value, const Cell* index_cell);
using PutFn = Cell* (*)(Cell* series, Cell* key, Cell* value, bool case_);
using RemoveFn = Cell* (*)(Cell* series, const Cell* part, const Cell* key);
using ReverseFn = Cell* (*)(Cell* series, const Cell* part, const Cell* skip);
using SortFn = Cell* (*)(Cell* series, const SortArgs& args);
using SwapFn = Cell* (*)(Cell* series1, Cell* series2);  // also rename
using TakeFn = Cell* (*)(Cell* series, const Cell* part, bool deep, bool last);
using TrimFn = Cell* (*)(Cell* series, const TrimArgs& args);
using ModifyFn = Cell* (*)(Cell* target, Cell* field, Cell* value, bool case_);
using OpenFn = Cell* (*)(Cell* port, const OpenArgs& args);
using ReadFn = Cell* (*)(Cell* source, const ReadArgs& args);
using WriteFn = Cell* (*)(Cell* destination, Cell* data, const WriteArgs& args);

// The signature of each slot, for typed registration and typed calls.
template <int Slot> struct ActionSig;
#define KEL_ACTION_SIG(slot, type) template <> struct ActionSig<slot> { using Fn = type; }
KEL_ACTION_SIG(ACT_MAKE, MakeFn);
KEL_ACTION_SIG(ACT_RANDOM, RandomFn);
KEL_ACTION_SIG(ACT_REFLECT, ReflectFn);
KEL_ACTION_SIG(ACT_TO, MakeFn);
KEL_ACTION_SIG(ACT_FORM, FormFn);
KEL_ACTION_SIG(ACT_MOLD, MoldFn);
KEL_ACTION_SIG(ACT_EVAL_PATH, EvalPathFn);
KEL_ACTION_SIG(ACT_RESERVED, FrameActionFn);
KEL_ACTION_SIG(ACT_COMPARE, CompareFn);
KEL_ACTION_SIG(ACT_ABSOLUTE, FrameActionFn);
KEL_ACTION_SIG(ACT_ADD, FrameActionFn);
KEL_ACTION_SIG(ACT_DIVIDE, FrameActionFn);
KEL_ACTION_SIG(ACT_MULTIPLY, FrameActionFn);
KEL_ACTION_SIG(ACT_NEGATE, UnaryFn);
KEL_ACTION_SIG(ACT_POWER, FrameActionFn);
KEL_ACTION_SIG(ACT_REMAINDER, FrameActionFn);
KEL_ACTION_SIG(ACT_ROUND, RoundFn);
KEL_ACTION_SIG(ACT_SUBTRACT, FrameActionFn);
KEL_ACTION_SIG(ACT_EVEN_Q, PredicateFn);
KEL_ACTION_SIG(ACT_ODD_Q, PredicateFn);
KEL_ACTION_SIG(ACT_AND_T, FrameActionFn);
KEL_ACTION_SIG(ACT_COMPLEMENT, UnaryFn);
KEL_ACTION_SIG(ACT_OR_T, FrameActionFn);
KEL_ACTION_SIG(ACT_XOR_T, FrameActionFn);
KEL_ACTION_SIG(ACT_APPEND, InsertFn);
KEL_ACTION_SIG(ACT_AT, FrameActionFn);
KEL_ACTION_SIG(ACT_BACK, FrameActionFn);
KEL_ACTION_SIG(ACT_CHANGE, ChangeFn);
KEL_ACTION_SIG(ACT_CLEAR, UnaryFn);
KEL_ACTION_SIG(ACT_COPY, CopyFn);
KEL_ACTION_SIG(ACT_FIND, FindFn);
KEL_ACTION_SIG(ACT_HEAD, FrameActionFn);
KEL_ACTION_SIG(ACT_HEAD_Q, FrameActionFn);
KEL_ACTION_SIG(ACT_INDEX_Q, FrameActionFn);
KEL_ACTION_SIG(ACT_INSERT, InsertFn);
KEL_ACTION_SIG(ACT_LENGTH_Q, LengthFn);
KEL_ACTION_SIG(ACT_MOVE, MoveFn);
KEL_ACTION_SIG(ACT_NEXT, FrameActionFn);
KEL_ACTION_SIG(ACT_PICK, PickFn);
KEL_ACTION_SIG(ACT_POKE, PokeFn);
KEL_ACTION_SIG(ACT_PUT, PutFn);
KEL_ACTION_SIG(ACT_REMOVE, RemoveFn);
KEL_ACTION_SIG(ACT_REVERSE, ReverseFn);
KEL_ACTION_SIG(ACT_SELECT, FindFn);
KEL_ACTION_SIG(ACT_SORT, SortFn);
KEL_ACTION_SIG(ACT_SKIP, FrameActionFn);
KEL_ACTION_SIG(ACT_SWAP, SwapFn);
KEL_ACTION_SIG(ACT_TAIL, FrameActionFn);
KEL_ACTION_SIG(ACT_TAIL_Q, FrameActionFn);
KEL_ACTION_SIG(ACT_TAKE, TakeFn);
KEL_ACTION_SIG(ACT_TRIM, TrimFn);
KEL_ACTION_SIG(ACT_CREATE, UnaryFn);
KEL_ACTION_SIG(ACT_CLOSE, UnaryFn);
KEL_ACTION_SIG(ACT_DELETE, UnaryFn);
KEL_ACTION_SIG(ACT_MODIFY, ModifyFn);
KEL_ACTION_SIG(ACT_OPEN, OpenFn);
KEL_ACTION_SIG(ACT_OPEN_Q, UnaryFn);
KEL_ACTION_SIG(ACT_QUERY, UnaryFn);
KEL_ACTION_SIG(ACT_READ, ReadFn);
KEL_ACTION_SIG(ACT_RENAME, SwapFn);
KEL_ACTION_SIG(ACT_UPDATE, UnaryFn);
KEL_ACTION_SIG(ACT_WRITE, WriteFn);
#undef KEL_ACTION_SIG

const char* action_name(int slot);

}  // namespace kel

namespace kel {

// Raises script `expect-arg` for a type without an implementation of `slot`.
[[noreturn]] void action_unsupported(int32_t type, int32_t slot);

// The implementation of `Slot` for `type`; raises when the entry is empty.
template <int Slot> typename ActionSig<Slot>::Fn action_fn(int32_t type);

// Typed calls used across the runtime.
int32_t actions_form_call(const Cell* value, Cell* buffer, const Cell* part, int32_t limit);
int32_t actions_mold_call(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                          int32_t limit, int32_t indent);
// The raw comparison integer: 0 equal, <0 less, >0 greater, -2 incomparable.
int32_t actions_compare_values(const Cell* value1, const Cell* value2, int32_t op);
// The comparison under an operator code as a truth value; ordering two values
// that cannot be compared raises script `invalid-compare`.
bool actions_compare_call(const Cell* value1, const Cell* value2, int32_t op);

}  // namespace kel
