// Print hooks and output listeners.
#include "runtime/output.h"

#include <cstdio>

#include "runtime/memory.h"
#include "runtime/platform/console.h"

namespace kel {

HookList<PrintHook> g_print_hooks;
HookList<OutputListener> g_output_listeners;
void (*g_tui_suspend_for_print)() = nullptr;
void (*g_tui_resume_after_print)() = nullptr;

namespace {

template <class Fn> void list_reset(HookList<Fn>& list) {
    delete[] list.items;
    list.items = new Fn[kHookListStep]();
    list.count = 0;
    list.capacity = kHookListStep;
}

template <class Fn> void list_append(HookList<Fn>& list, Fn fn) {
    if (list.count == list.capacity) {
        Fn* grown = new Fn[list.capacity + kHookListStep]();
        for (uint32_t i = 0; i < list.count; i++) grown[i] = list.items[i];
        delete[] list.items;
        list.items = grown;
        list.capacity += kHookListStep;
    }
    list.items[list.count++] = fn;
}

// A callback may register or remove callbacks while its list is being
// called, and may print, which walks the list again from inside the walk.
// Each running walk is on this chain; a removal at or before a walk's
// position moves that position back with the entries, so the walk neither
// skips the entry after a removed one nor calls one twice.
struct Walk {
    const void* list;
    int64_t position;  // index of the entry being called
    Walk* outer;
};
Walk* g_walks = nullptr;

template <class Fn, class... Args> void list_call(HookList<Fn>& list, Args... args) {
    Walk walk{&list, 0, g_walks};
    g_walks = &walk;
    struct Pop {
        Walk* w;
        ~Pop() { g_walks = w->outer; }
    } pop{&walk};
    for (; walk.position < int64_t(list.count); walk.position++) list.items[walk.position](args...);
}

template <class Fn> void list_remove(HookList<Fn>& list, Fn fn) {
    if (!fn) return;
    for (uint32_t i = 0; i < list.count; i++) {
        if (list.items[i] != fn) continue;
        for (uint32_t j = i + 1; j < list.count; j++) list.items[j - 1] = list.items[j];
        list.count--;
        for (Walk* w = g_walks; w; w = w->outer)
            if (w->list == &list && int64_t(i) <= w->position) w->position--;
        return;
    }
}

// Writes the decimal digits of n (no locale, no printf).
void write_decimal(uint32_t n) {
    char digits[10];
    int i = 10;
    do {
        digits[--i] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n);
    console_write_raw(digits + i, static_cast<size_t>(10 - i));
}

}  // namespace

void output_init() {
    list_reset(g_print_hooks);
    list_reset(g_output_listeners);
    output_hooks_register(output_print_string, nullptr);
}

void output_hooks_register(PrintHook hook, OutputListener listener) {
    if (hook) list_append(g_print_hooks, hook);
    if (listener) list_append(g_output_listeners, listener);
}

void output_hooks_unregister(PrintHook hook, OutputListener listener) {
    output_hook_remove(hook, g_print_hooks);
    output_hook_remove(listener, g_output_listeners);
}

void output_hook_remove(PrintHook callback, HookList<PrintHook>& list) { list_remove(list, callback); }
void output_hook_remove(OutputListener callback, HookList<OutputListener>& list) { list_remove(list, callback); }

void output_hooks_call(const Cell* value, bool line) { list_call(g_print_hooks, value, line); }

void output_listeners_call(const char* text, uint32_t length, int32_t extra) {
    list_call(g_output_listeners, text, length, extra);
}

void output_print_string(const Cell* value, bool line) {
    if (g_tui_suspend_for_print) g_tui_suspend_for_print();
    SeriesBuf* buf = node_buffer(value->data2);
    uint32_t unit = buf->unit();
    if (unit == 1 || unit == 2 || unit == 4) {
        uint64_t start = uint64_t(buf->head) + uint64_t(value->data1) * unit;
        uint32_t bytes = start < buf->tail ? static_cast<uint32_t>(buf->tail - start) : 0;
        const uint8_t* text = bytes ? arena_ptr(static_cast<Off>(start)) : nullptr;
        console_write_units(text, bytes, unit, line);
    } else {
        static const char msg[] = "Error: unknown string encoding: ";
        console_write_raw(msg, sizeof msg - 1);
        write_decimal(unit);
        console_write_raw("\n", 1);
    }
    std::fflush(nullptr);
    if (g_tui_resume_after_print) g_tui_resume_after_print();
}

}  // namespace kel
