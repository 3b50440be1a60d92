// error!: an object of ten fixed fields describing one failure, and the
// report an uncaught error prints.
//
// Cell: as object! (object.h) with header 34, class id 1 and no change
// information. The fields, in order:
//   0 code   integer!: category index x 100 + the id's position
//   1 type   word!: the category, bound to the catalogue object
//   2 id     word!: the id, bound to its category object
//   3-5 arg1 arg2 arg3
//   6 near   the interpreter's code position when the error was made
//   7 where  the word of the call that raised it, else none!
//   8 stack  integer!: the frame-stack depth when raised (a block! of call
//            words once listed)
//   9 files  block! of the source files being run, else none!
//
// Every raised error is built here: error_raise (runtime/error.h) builds the
// value as soon as the catalogue exists and the exception carries it. The
// newest errors are kept alive by the collector until they are caught.
#pragma once
#include <cstdint>

#include "runtime/actions.h"
#include "runtime/cell.h"
#include "runtime/error.h"

namespace kel {

constexpr uint32_t kErrorClassId = 1;
enum ErrorField : uint32_t {
    ERR_CODE = 0, ERR_TYPE, ERR_ID, ERR_ARG1, ERR_ARG2, ERR_ARG3, ERR_NEAR, ERR_WHERE, ERR_STACK, ERR_FILES,
};
constexpr uint32_t kErrorFieldCount = 10;
constexpr uint32_t error_stack_field_index = ERR_STACK;

// The catalogue object errors are made from (system/catalog/errors).
extern Cell g_error_catalog;
// The listing level of the report's stack line (system/state/stack-trace);
// the start-up supplies it. Null or a result below 1: no stack line.
extern int32_t (*g_error_stack_trace_level)();
// The source files being run (system/state/source-files) into `out`, or
// false when there are none; the start-up supplies it.
extern bool (*g_error_source_files)(Cell* out);

// Registers error! (after object!).
void error_init();
// Builds the catalogue object and the prototype error, and lets error_raise
// build the error! values it throws. Needs the fixed words.
void error_catalog_init();
// Makes errors from another catalogue object from now on (the start-up's
// system/catalog/errors).
void error_catalog_use(const Cell* errors);

// A new error of the category and id words with copies of the given
// arguments (null: none!), written into `out` (which must be rooted).
// Raises `invalid-spec-field` for a category or id the catalogue lacks.
Cell* error_create(const Cell* category, const Cell* id, const Cell* arg1, const Cell* arg2, const Cell* arg3,
                   Cell* out);
// The same from a category and an id name; an id the catalogue lacks gives
// internal `invalid-error` with the id as its argument.
Cell* error_create_named(ErrCat category, const char* id, const Cell* arg1, const Cell* arg2, const Cell* arg3,
                         Cell* out);
// The field cell of an error (stale after the next allocation).
Cell* error_field(const Cell* error, ErrorField field);
// Stores `value` in `where` when `where` is none!.
void error_set_where(const Cell* error, const Cell* value);
// Symbol ids of the `type` and `id` words (0 when not words).
uint32_t error_get_type(const Cell* error);
uint32_t error_get_id(const Cell* error);
// Writes to `out` a new block of the words of the calls standing from the
// bottom frame up to frame-stack depth `depth` (all of them when deeper).
void error_list_calls(uint32_t depth, Cell* out);
// Replaces an integer! `stack` by the block of call words up to that frame
// (or by `calls` when given, listed while those frames still stood), and
// fills `files`.
void error_set_stack(const Cell* error, const Cell* calls = nullptr);

// Actions.
Cell* error_make(Cell* proto, Cell* spec, int32_t type);
int32_t error_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit);
int32_t error_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                   int32_t indent);
Cell* error_eval_path(Cell* parent, Cell* element, Cell* value, const EvalPathArgs& args);
int32_t error_compare(const Cell* value1, const Cell* value2, int32_t op);

// Prints the report of an error (its form) with a line end, through the
// print hooks when there are any, else straight to the console.
void error_print(const Cell* error);
// Prints the report of an exception that reached no catch point and returns
// the process exit status for it (254).
int error_report_uncaught(const KelThrow& t);
constexpr int kUncaughtErrorStatus = 254;

}  // namespace kel
