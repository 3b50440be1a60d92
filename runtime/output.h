// Output hooks: every value that print and prin emit goes to the print
// hooks, every chunk of raw text the console writers print goes to the output
// listeners, so a front end (console, GUI) can take over or watch the output.
//
// Each list is a heap array with a count and a capacity: 5 at start, growing
// by 5. Callbacks run in registration order. The runtime registers one print
// hook of its own, output_print_string.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// (string! value, line end follows)
using PrintHook = void (*)(const Cell* value, bool line);
// (text, length in bytes, value passed through by the writer)
using OutputListener = void (*)(const char* text, uint32_t length, int32_t extra);

template <class Fn> struct HookList {
    Fn* items = nullptr;
    uint32_t count = 0;
    uint32_t capacity = 0;
};
constexpr uint32_t kHookListStep = 5;

extern HookList<PrintHook> g_print_hooks;
extern HookList<OutputListener> g_output_listeners;

// Set by the text-mode interface while it is active: it steps aside for plain
// printing and takes the screen back afterwards.
extern void (*g_tui_suspend_for_print)();
extern void (*g_tui_resume_after_print)();

// Makes both lists (capacity 5; earlier lists are released) and registers
// output_print_string.
void output_init();
// Appends each non-null callback to its list.
void output_hooks_register(PrintHook hook, OutputListener listener);
// Removes each from its list; null or absent callbacks change nothing.
void output_hooks_unregister(PrintHook hook, OutputListener listener);
// Removes the first entry equal to `callback`, moving later entries down.
void output_hook_remove(PrintHook callback, HookList<PrintHook>& list);
void output_hook_remove(OutputListener callback, HookList<OutputListener>& list);
void output_hooks_call(const Cell* value, bool line);
void output_listeners_call(const char* text, uint32_t length, int32_t extra);

// The default print hook: writes the string from its head index to its tail
// to the console, with a line end when `line` is set.
void output_print_string(const Cell* value, bool line);

}  // namespace kel
