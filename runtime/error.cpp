// error_raise and the fatal stop.
#include "runtime/error.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "runtime/stack.h"

namespace kel {

void (*g_error_value_builder)(const KelThrow&, Cell*) = nullptr;
uint32_t (*g_error_id_symbol)(const char* id) = nullptr;
void (*g_error_trace_hook)(const KelThrow& t) = nullptr;

void error_value_from_throw(const KelThrow& t, Cell* out) {
    if (t.value.is(TYPE_ERROR)) {
        copy_cell(&t.value, out);
    } else if (g_error_value_builder) {
        g_error_value_builder(t, out);
    } else {
        uint32_t sym = g_error_id_symbol ? g_error_id_symbol(t.id.c_str()) : 0;
        cell_set(out, TYPE_ERROR, 0, static_cast<uint32_t>(t.category), sym);
    }
}

void error_raise(ErrCat cat, const char* id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    KelThrow t;
    t.code = EXIT_ERROR;
    t.category = cat;
    t.id = id;
    const Cell* args[3] = {arg1, arg2, arg3};
    for (int i = 0; i < 3; i++) {
        if (args[i]) copy_cell(args[i], &t.args[i]);
        else cell_set_unset(&t.args[i]);
    }
    if (stack_ready() && stack_depth() > 0) {
        t.where = stack_get_call();
        t.frame_depth = stack_depth();
    }
    // The error! value travels with the exception (the builder, once the
    // catalogue exists, makes it and keeps it alive until it is caught).
    if (g_error_value_builder) g_error_value_builder(t, &t.value);
    if (g_error_trace_hook) g_error_trace_hook(t);
    throw t;
}

static const char* fatal_message(int code) {
    switch (code) {
    case 94: return "out of memory";
    case 95: return "no CATCH for THROW";
    case 98: return "assertion failed";
    case 99: return "unknown error";
    case 100: return "no value matched in CASE";
    case 101: return "no value matched in SWITCH";
    default: return nullptr;
    }
}

void fatal_runtime_error(int code) {
    const char* msg = fatal_message(code);
    char line[160];
    int n = msg ? std::snprintf(line, sizeof line, "\n*** Runtime Error %d: %s\n*** at: %08Xh\n", code, msg, 0u)
                : std::snprintf(line, sizeof line, "\nunknown error code!\n");
    (void)!write(1, line, static_cast<size_t>(n));
    std::_Exit(code);
}

}  // namespace kel
