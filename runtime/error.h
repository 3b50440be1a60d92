// Raising errors and the non-local exits that travel as C++ exceptions.
//
// Every failure ends in error_raise: nothing in the runtime returns an error
// code. Errors are named by a category and the id word of the error
// catalogue ("no-memory", "expect-arg", ...); up to three argument values go
// with them. Catch points restore their state with RAII guards, so an
// exception thrown anywhere leaves the runtime consistent.
#pragma once
#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "runtime/cell.h"

namespace kel {

enum class ErrCat : uint8_t {
    Throw = 0, Note, Syntax, Script, Math, Access, Reserved1, Reserved2, User, Internal
};

// Non-local exit codes; a catch point stops every code not above its threshold.
constexpr uint32_t EXIT_ERROR = 0x7FFFFFFF;
constexpr uint32_t EXIT_BREAK = 0x7FFFFFFE;
constexpr uint32_t EXIT_CONTINUE = 0x7FFFFFFD;
constexpr uint32_t EXIT_RETURN = 0x7FFFFFFC;
constexpr uint32_t EXIT_EXIT = 0x7FFFFFFB;
constexpr uint32_t EXIT_THROW = 0x7FFFFFFA;

// The one exception type of the runtime. For errors, `category`/`id` name the
// catalogue entry and `args` hold copies of the argument cells (unset! when
// absent); the error! value itself is built by the error machinery. `where`
// is the word of the innermost visible call when the error was raised and
// `frame_depth` the frame-stack depth then (the call chain of try/keep).
// For the other exits `target` is the frame-stack index of the frame where
// the exit lands; `value` and `name` carry a thrown value and its name.
struct KelThrow : std::exception {
    uint32_t code = EXIT_ERROR;
    ErrCat category = ErrCat::Internal;
    std::string id;
    Cell args[3] = {};
    Cell value = {TYPE_UNSET, 0, 0, 0};
    Cell name = {TYPE_UNSET, 0, 0, 0};
    Cell where = {TYPE_NONE, 0, 0, 0};
    uint32_t frame_depth = 0;
    uint32_t target = 0;
    const char* what() const noexcept override { return id.c_str(); }
};

[[noreturn]] void error_raise(ErrCat cat, const char* id, const Cell* arg1 = nullptr,
                              const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);

// Runs `f`; the host heap running out inside it (a builtin's scratch table
// for a huge series, say) raises no-memory as the arena does, which a script
// can catch. A refusal outside every builtin reaches the edge of the
// evaluation and is the fatal out-of-memory stop there.
template <class F> inline void with_host_heap_errors(F&& f) {
    try {
        f();
    } catch (const std::bad_alloc&) {
        error_raise(ErrCat::Internal, "no-memory");
    }
}

// Builds the error! value of an exception into `out`. The error! module
// installs the builder once the catalogue exists; error_raise then calls it
// before throwing, so `value` carries the error. Until then (and when
// building fails) a minimal error! cell without a context is written whose
// data2 is the category (data3 the symbol of the id, or 0).
extern void (*g_error_value_builder)(const KelThrow& t, Cell* out);
void error_value_from_throw(const KelThrow& t, Cell* out);
// Interns an error id for the minimal error! cell (set by the start-up).
extern uint32_t (*g_error_id_symbol)(const char* id);
// Sees every raised error before it is thrown (the interpreter's trace).
extern void (*g_error_trace_hook)(const KelThrow& t);

// Fatal system error: prints the runtime error report and ends the process.
[[noreturn]] void fatal_runtime_error(int code);

}  // namespace kel
