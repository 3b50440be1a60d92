// Natives for memory figures, file sizes, local paths, sleeping, the
// environment, the clock, child processes, the browser and the collector.
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "runtime/datatypes/file.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/natives/sys_natives.h"
#include "runtime/natives/sys_values.h"
#include "runtime/number_convert.h"
#include "runtime/platform/env.h"
#include "runtime/platform/files.h"
#include "runtime/platform/process.h"
#include "runtime/platform/time.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"

namespace kel {

namespace {

Cell* arg(uint32_t i) { return stack_arguments() + i; }
bool has(const int32_t* refs, int i) { return refs[i] >= 0; }

void result_none() {
    cell_set(stack_arguments(), TYPE_NONE);
    stack_keep();
}

void result_unset() {
    cell_set_unset(stack_arguments());
    stack_keep();
}

void result_integer(int32_t n) {
    cell_set(stack_arguments(), TYPE_INTEGER, 0, static_cast<uint32_t>(n), 0);
    stack_keep();
}

// A count as an integer! while it fits, else a float!.
Cell* set_count(Cell* c, double n) {
    if (n <= 2147483647.0) return cell_set(c, TYPE_INTEGER, 0, static_cast<uint32_t>(static_cast<int32_t>(n)), 0), c;
    return float_set_cell(c, n);
}

void append_count(Cell* block, double n) {
    Cell v;
    set_count(&v, n);
    copy_cell(&v, block_append_slot(block));
}

// Appends a block of three counts, marked to mold on a new line.
void append_triple(Cell* block, double a, double b, double c) {
    Cell entry;
    block_make_empty(&entry, 3);
    GcRootCell root(&entry);
    append_count(&entry, a);
    append_count(&entry, b);
    append_count(&entry, c);
    entry.header |= CELL_NEW_LINE;
    copy_cell(&entry, block_append_slot(block));
}

// The words of a big buffer's block header: next block, 0, data bytes.
uint32_t big_word(Off block, int i) { return arena_at<uint32_t>(block)[i]; }

// The text of a variable name: a string's characters or a word's spelling.
std::string env_name(const Cell* var) {
    if (word_type_q(var->type())) return std::string(symbol_name(var->data2));
    if (any_string_type_q(var->type())) return string_to_utf8(var);
    error_raise(ErrCat::Script, "invalid-arg", var);
}

// A shell word that stands for [text] exactly.
std::string shell_quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The process stream for a /input, /output or /error argument.
ProcessStream stream_for(const Cell* v, bool input, std::string* sink, bool console) {
    ProcessStream s;
    s.kind = console ? ProcessStream::Inherit : ProcessStream::Null;
    if (!v) return s;
    if (v->is(TYPE_FILE)) {
        s.kind = ProcessStream::File;
        s.path = file_os_path(v);
    } else {
        s.kind = ProcessStream::Memory;
        s.captured = input ? nullptr : sink;
    }
    return s;
}

// Appends captured output to the string or binary given for it.
void deliver(Cell* target, const std::string& bytes) {
    if (!target || bytes.empty() || target->is(TYPE_FILE)) return;
    if (target->is(TYPE_BINARY)) {
        uint8_t* at = series_reserve_bytes(node_buffer(target->data2), series_count_checked(bytes.size()));
        std::memcpy(at, bytes.data(), bytes.size());
    } else {
        string_append_utf8(target, bytes.data(), bytes.size());
    }
}

}  // namespace

double runtime_memory_stats(int mode, Cell* block) {
    bool was_enabled = g_gc_enabled;
    g_gc_enabled = false;
    struct Restore {
        bool v;
        ~Restore() { g_gc_enabled = v; }
    } restore{was_enabled};
    double in_use = 0, heap = 0;
    for (Off f = g_memory.node_frames_head; f; f = arena_at<NodeFrame>(f)->next)
        in_use += 4.0 * arena_at<NodeFrame>(f)->in_use;
    for (Off f = g_memory.series_frames_head; f; f = arena_at<SeriesFrame>(f)->next) {
        const SeriesFrame* s = arena_at<SeriesFrame>(f);
        in_use += s->top - s->data_start();
    }
    for (Off b = g_memory.big_buffers_head; b; b = big_word(b, 0)) in_use += big_word(b, 2);
    for (Off buf : memory_fixed_buffers()) heap += 20.0 + arena_at<SeriesBuf>(buf)->size;
    if (mode != 2 || !block) return in_use;

    // The figures are gathered before any block is made, so the blocks
    // themselves do not change what they report.
    struct Triple {
        double a, b, c;
    };
    std::vector<Triple> nodes, series;
    std::vector<double> bigs;
    for (Off f = g_memory.node_frames_head; f; f = arena_at<NodeFrame>(f)->next) {
        const NodeFrame* n = arena_at<NodeFrame>(f);
        nodes.push_back({double(n->capacity - n->in_use), double(n->in_use), double(n->capacity)});
    }
    for (Off f = g_memory.series_frames_head; f; f = arena_at<SeriesFrame>(f)->next) {
        const SeriesFrame* s = arena_at<SeriesFrame>(f);
        series.push_back({double(s->end - s->top), double(s->top - s->data_start()), double(s->end - s->data_start())});
    }
    for (Off b = g_memory.big_buffers_head; b; b = big_word(b, 0)) bigs.push_back(big_word(b, 2));
    double reserved = g_memory.total + heap;

    g_gc_enabled = false;
    Cell list;
    block_make_empty(&list, static_cast<uint32_t>(nodes.size()));
    {
        GcRootCell root(&list);
        for (const Triple& t : nodes) append_triple(&list, t.a, t.b, t.c);
        list.header |= CELL_NEW_LINE;
        copy_cell(&list, block_append_slot(block));
        block_make_empty(&list, static_cast<uint32_t>(series.size()));
        for (const Triple& t : series) append_triple(&list, t.a, t.b, t.c);
        list.header |= CELL_NEW_LINE;
        copy_cell(&list, block_append_slot(block));
        block_make_empty(&list, static_cast<uint32_t>(bigs.size()));
        for (double b : bigs) append_count(&list, b);
        list.header |= CELL_NEW_LINE;
        copy_cell(&list, block_append_slot(block));
    }
    append_count(block, reserved);
    append_count(block, heap);
    return in_use;
}

void native_stats(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(37, refs);
    // /show prints through the standard library, which is not loaded yet.
    if (has(refs, 0)) error_raise(ErrCat::Internal, "not-done");
    if (has(refs, 1)) {
        Cell block;
        block_make_empty(&block, 5);
        GcRootCell root(&block);
        runtime_memory_stats(2, &block);
        copy_cell(&block, stack_arguments());
        stack_keep();
        return;
    }
    set_count(stack_arguments(), runtime_memory_stats(1, nullptr));
    stack_keep();
}

void native_size_q(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(101, refs);
    std::string path = file_os_path(arg(0));
    int64_t size = file_os_path_usable(path) && !files_path_is_dir(path) ? files_size(path) : -1;
    if (size < 0) return result_none();
    set_count(stack_arguments(), static_cast<double>(size));
    stack_keep();
}

void native_to_local_file(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(85, refs);
    Cell out;
    string_make(&out, string_length(arg(0)) + 1, 1);
    GcRootCell root(&out);
    file_to_local_string(arg(0), &out, has(refs, 0));
    copy_cell(&out, stack_arguments());
    stack_keep();
}

void native_wait(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(86, refs);
    const Cell* v = arg(0);
    double seconds;
    if (v->is(TYPE_INTEGER)) seconds = integer_get(v);
    else if (v->is(TYPE_FLOAT) || v->is(TYPE_TIME)) seconds = float_get(v);
    else error_raise(ErrCat::Script, "invalid-arg", v);
    time_sleep(seconds);
    result_none();
}

void native_set_env(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(93, refs);
    std::string name = env_name(arg(0));
    const Cell* v = arg(1);
    bool done;
    if (v->is(TYPE_NONE)) {
        done = env_set(name, nullptr);
    } else if (v->is(TYPE_STRING)) {
        std::string value = string_to_utf8(v);
        done = env_set(name, &value);
    } else {
        error_raise(ErrCat::Script, "invalid-arg", v);
    }
    // The environment holds no empty name, no "=" in a name and no NUL
    // anywhere; such a request leaves the variable as it was, so it fails
    // instead of answering as if it had been set.
    if (!done) {
        bool bad_name = name.empty() || name.find_first_of(std::string("=\0", 2)) != std::string::npos;
        error_raise(ErrCat::Script, "invalid-arg", bad_name ? arg(0) : v);
    }
    copy_cell(v, stack_arguments());
    stack_keep();
}

void native_get_env(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(94, refs);
    std::optional<std::string> value = env_get(env_name(arg(0)));
    if (!value || value->empty()) return result_none();
    // set-env wrote the value as string_to_utf8 gives it, so a lone
    // surrogate comes back as that surrogate, not as three U+FFFD.
    Cell out;
    string_make(&out, series_count_checked(value->size()), 1);
    GcRootCell root(&out);
    string_append_utf8_own(&out, *value);
    copy_cell(&out, stack_arguments());
    stack_keep();
}

// The answer is a map!, which is not built yet.
void native_list_env(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(95, refs);
    error_raise(ErrCat::Internal, "not-done");
}

void native_now(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(96, refs);
    enum { YEAR, MONTH, DAY, TIME, ZONE, DATE, WEEKDAY, YEARDAY, PRECISE, UTC };
    int given = 0;
    for (int i = YEAR; i <= PRECISE; i++) given += has(refs, i);
    if (given > 1 && !(given == 2 && has(refs, TIME) && has(refs, PRECISE))) {
        Cell where;
        word_of_current_call(&where);
        error_raise(ErrCat::Script, "bad-refines", &where);
    }
    ClockReading r = time_now(has(refs, UTC));
    if (has(refs, YEAR)) return result_integer(r.year);
    if (has(refs, MONTH)) return result_integer(r.month);
    if (has(refs, DAY)) return result_integer(r.day);
    if (has(refs, WEEKDAY)) return result_integer(r.weekday);
    if (has(refs, YEARDAY)) return result_integer(r.yearday);
    if (has(refs, TIME)) {
        double t = r.hour * 3600.0 + r.minute * 60.0 + r.second;
        if (has(refs, PRECISE)) t += r.nanos * 1e-9;
        float_set_cell(stack_arguments(), t);
        cell_set_type(stack_arguments(), TYPE_TIME);
        stack_keep();
        return;
    }
    if (has(refs, ZONE)) {
        float_set_cell(stack_arguments(), time_zone_quarters(r) * 900.0);
        cell_set_type(stack_arguments(), TYPE_TIME);
        stack_keep();
        return;
    }
    // The whole date (and /date, /precise alone) is a date!, not built yet.
    error_raise(ErrCat::Internal, "not-done");
}

void native_call(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(99, refs);
    enum { WAIT, SHOW, CONSOLE, SHELL, INPUT, OUTPUT, ERROR };
    const Cell* cmd = arg(0);
    if (string_length(cmd) == 0) return result_integer(0);
    ProcessRequest req;
    req.command = cmd->is(TYPE_FILE) ? shell_quote(file_os_path(cmd)) : string_to_utf8(cmd);
    req.wait = has(refs, WAIT);
    req.shell = has(refs, SHELL);
    bool console = has(refs, CONSOLE);
    Cell* in = has(refs, INPUT) ? arg(static_cast<uint32_t>(refs[INPUT])) : nullptr;
    Cell* out = has(refs, OUTPUT) ? arg(static_cast<uint32_t>(refs[OUTPUT])) : nullptr;
    Cell* err = has(refs, ERROR) ? arg(static_cast<uint32_t>(refs[ERROR])) : nullptr;
    // A file the platform cannot name fails the call as an unopenable one does.
    for (const Cell* f : {in, out, err})
        if (f && f->is(TYPE_FILE) && !file_os_path_usable(file_os_path(f))) return result_integer(-1);
    std::string input_bytes = in && !in->is(TYPE_FILE) ? value_bytes(in) : std::string();
    std::string out_bytes, err_bytes;
    req.input = stream_for(in, true, nullptr, console);
    req.input.bytes = input_bytes;
    req.output = stream_for(out, false, &out_bytes, console);
    req.error = stream_for(err, false, &err_bytes, console);
    // One byte past what a value holds tells that the output did not fit.
    req.capture_limit = kSeriesMaxBytes + 1;
    int32_t status = process_call(req);
    series_count_checked(out_bytes.size());
    series_count_checked(err_bytes.size());
    deliver(out, out_bytes);
    deliver(err, err_bytes);
    result_integer(status);
}

void native_browse(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(102, refs);
    ProcessRequest req;
    req.command = "xdg-open " + shell_quote(string_to_utf8(arg(0)));
    process_call(req);  // the opener's answer is not examined
    result_unset();
}

void native_recycle(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(105, refs);
    if (has(refs, 0) || has(refs, 1)) {
        g_gc_enabled = has(refs, 0);
        return result_unset();
    }
    gc_collect();
    set_count(stack_arguments(), runtime_memory_stats(1, nullptr));
    stack_keep();
}

}  // namespace kel
