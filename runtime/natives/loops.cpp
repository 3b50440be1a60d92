// Loops: while, until, loop, repeat, forever, foreach, forall, remove-each,
// and the iteration steps they share.
//
// Every loop marks a loop frame labelled <body>; break and continue land on
// it (fast path or exception alike, see runtime/exits.h). Before each round
// the stack is reset to the loop frame's arguments. The cells a loop keeps
// in variables (its body, words, series) are rooted for the loop's life.
#include <algorithm>
#include <cmath>

#include "runtime/actions.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/series.h"
#include "runtime/error.h"
#include "runtime/eval_deps.h"
#include "runtime/exits.h"
#include "runtime/gc.h"
#include "runtime/interpreter.h"
#include "runtime/natives.h"
#include "runtime/natives/natives_impl.h"
#include "runtime/stack.h"

namespace kel {

namespace {

inline Cell* cells_of(Off node) { return arena_at<Cell>(node_buffer(node)->head); }
inline uint32_t cell_count(Off node) {
    SeriesBuf* b = node_buffer(node);
    return (b->tail - b->head) >> 4;
}

enum class Round { Done, Break, Continue, Leave };

// Runs `work` under the loop's catch point: break and continue aimed at
// `frame` land here; every other exit goes on.
template <class Work> Round under_loop_catch(CallFrame* frame, Work&& work) {
    try {
        work();
    } catch (const KelThrow& t) {
        if (exits_land_caught(t, frame, EXIT_BREAK, EXIT_BREAK)) return Round::Break;
        if (exits_land_caught(t, frame, EXIT_CONTINUE, EXIT_CONTINUE)) return Round::Continue;
        throw;
    }
    if (!g_thrown) return Round::Done;
    if (g_thrown == EXIT_BREAK && exits_land_pending(frame, EXIT_BREAK, EXIT_BREAK)) return Round::Break;
    if (exits_land_pending(frame, EXIT_CONTINUE, EXIT_CONTINUE)) return Round::Continue;
    return Round::Leave;
}

// One round: `block` evaluated (chain as given) under the loop's catch point.
Round loop_round(const Cell& block, bool chain, CallFrame* frame) {
    return under_loop_catch(frame, [&] { interp_eval_block(&block, chain); });
}

// The steps that set the loop word(s) or remove elements may run an object's
// change handler; its break or continue lands on the loop, so they run under
// the same catch point as the body.
Round loop_step(CallFrame* frame, bool& more, uint32_t n) {
    more = false;
    return under_loop_catch(frame, [&] { more = natives_foreach_step(n); });
}

// The rounds of foreach and remove-each: the words set from the next n
// elements, the body, then `after` (remove-each's removal), each under the
// loop's catch point. False when an exit leaves past the loop.
template <class After> bool stepped_rounds(CallFrame* frame, uint32_t n, const Cell& body, After&& after) {
    for (bool more = true;;) {
        Round r = loop_step(frame, more, n);
        if (r == Round::Leave) return false;
        if (r == Round::Break) return true;
        if (r == Round::Continue) continue;
        if (!more) return true;
        stack_reset();
        r = loop_round(body, false, frame);
        if (r == Round::Leave) return false;
        if (r == Round::Break) return true;
        if (r == Round::Continue) continue;
        r = under_loop_catch(frame, after);
        if (r == Round::Leave) return false;
        if (r == Round::Break) return true;
    }
}

CallFrame* mark_loop() {
    Cell body{TYPE_WORD, 0, 0, 0};
    word_make_global_at(symbol_make("<body>"), &body);
    stack_mark(&body, FRAME_LOOP);
    cell_set_unset(stack_push_cell());
    return stack_current_frame();
}

// Before a loop raises an error of its own (a condition without a value, a
// break in a while condition, a series replaced under forall), its frame
// goes: the error, and a break, continue or throw made by the error event's
// trace callback, then start below this loop as from its caller.
void leave_loop() { stack_unwind_drop(); }
[[noreturn]] void leave_loop_unset() {
    leave_loop();
    value_truth_unset();
}

// Ends the loop with its result slot as the native's result.
void end_loop() {
    stack_unwind_last();
    stack_keep();
}

bool is_any_block(uint32_t t) {
    return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH || t == TYPE_PATH || t == TYPE_LIT_PATH ||
           t == TYPE_SET_PATH || t == TYPE_GET_PATH;
}

bool is_series(uint32_t t) {
    return is_any_block(t) || t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG ||
           t == TYPE_EMAIL || t == TYPE_REF || t == TYPE_BINARY || t == TYPE_VECTOR || t == TYPE_IMAGE;
}

// A loop count from an integer! or float! (truncated toward zero); a float
// outside the integer range or NaN raises script `type-limit`.
int32_t count_of(const Cell* v) {
    if (v->is(TYPE_INTEGER)) return static_cast<int32_t>(v->data2);
    double d = std::trunc(cell_get_float(v));
    if (std::isnan(d) || d > 2147483647.0 || d < -2147483648.0) {
        Cell dt;
        datatype_set(&dt, TYPE_INTEGER);
        error_raise(ErrCat::Script, "type-limit", &dt);
    }
    return static_cast<int32_t>(d);
}

// The number of loop words in `words` (a rooted block! cell), which is
// replaced by a private copy of them: the step reads n words on every round,
// and a body that clears or changes the caller's block must not make it read
// cells past the block's tail. An empty block raises script `invalid-arg`.
uint32_t loop_words_snapshot(Cell* words) {
    uint32_t n = cell_count(words->data2) > words->data1 ? cell_count(words->data2) - words->data1 : 0;
    if (n == 0) error_raise(ErrCat::Script, "invalid-arg", words);
    RootedCell copy;
    series_copy_range(words, static_cast<int32_t>(words->data1), static_cast<int32_t>(n), copy.get(), TYPE_BLOCK);
    *words = *copy;
    return n;
}

// Element `i` (0-based from the head) of a series as pick gives it.
void series_element(Cell* series, uint32_t i, Cell* out) {
    if (is_any_block(series->type())) {
        uint32_t at = series->data1 + i;
        if (at < cell_count(series->data2)) copy_cell(cells_of(series->data2) + at, out);
        else cell_set(out, TYPE_NONE);
        return;
    }
    // pick writes its result over the cell it is given: hand it a copy so the
    // loop's series cell keeps its position.
    Cell scratch = *series;
    Cell index{TYPE_INTEGER, 0, i + 1, 0};
    Cell* got = action_fn<ACT_PICK>(series->type())(&scratch, static_cast<int32_t>(i + 1), &index);
    copy_cell(got, out);
}

}  // namespace

// ---------------------------------------------------------------------------
// Iteration steps.

bool natives_series_has_more(const Cell* series) {
    if (series->is(TYPE_IMAGE) || series->is(TYPE_MAP)) error_raise(ErrCat::Internal, "not-done");
    SeriesBuf* b = node_buffer(series->data2);
    uint32_t unit = b->unit() ? b->unit() : 1;
    return b->head + uint64_t(series->data1) * unit < b->tail;
}

bool natives_foreach_step(uint32_t n) {
    Cell* words = stack_arguments() - 1;
    Cell* series = stack_arguments() - 2;
    if (n == 0 || !natives_series_has_more(series)) return false;
    // The loop moves past these elements before any word is set: a change
    // handler's continue then goes on with the next ones, not these again.
    Cell at = *series;
    series->data1 += n;
    Cell value{TYPE_NONE, 0, 0, 0};
    GcRootCell keep_value(&value);
    if (words->is(TYPE_BLOCK)) {
        Off wnode = words->data2;
        GcRootNode keep_words(&wnode);
        uint32_t first = words->data1;
        // Every series kind checks the words: setting through a cell that is
        // not a word would read its fields as a binding.
        for (uint32_t i = 0; i < n; i++) {
            Cell w = cells_of(wnode)[first + i];
            uint32_t t = w.type();
            if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD)
                error_raise(ErrCat::Script, "invalid-arg", &w);
        }
        for (uint32_t i = 0; i < n; i++) {
            series_element(&at, i, &value);
            Cell w = cells_of(wnode)[first + i];
            if (value.is(TYPE_UNSET)) error_raise(ErrCat::Script, "need-value", &w);
            word_set(&w, &value);
        }
    } else {
        series_element(&at, 0, &value);
        if (value.is(TYPE_UNSET)) error_raise(ErrCat::Script, "need-value", words);
        word_set(words, &value);
    }
    return true;
}

bool natives_loop_step() { return natives_foreach_step(1); }

void natives_remove_each_step(uint32_t n) {
    if (value_false_q(stack_arguments())) return;
    // The data stack never moves: this cell outlives any handler the
    // removal runs.
    Cell* series = stack_arguments() - 2;
    uint32_t visited_end = series->data1;
    int32_t length_before = series_length_total(series);
    series->data1 = visited_end >= n ? visited_end - n : 0;
    Cell part{TYPE_INTEGER, 0, n, 0};
    try {
        Cell* result = action_fn<ACT_REMOVE>(series->type())(series, n > 1 ? &part : nullptr, nullptr);
        series->data1 = result->data1;
    } catch (...) {
        // A change handler left the removal (before or after it happened):
        // go on after the visited elements, less whatever was removed.
        int32_t length_now = series_length_total(series);
        uint32_t removed = length_before > length_now ? uint32_t(length_before - length_now) : 0;
        uint32_t at = visited_end > removed ? visited_end - removed : 0;
        series->data1 = std::min(at, uint32_t(length_now));
        throw;
    }
}

void natives_loop_count_to_integer() {
    Cell* count = stack_arguments();
    if (count->is(TYPE_FLOAT)) cell_set(count, TYPE_INTEGER, 0, static_cast<uint32_t>(count_of(count)));
}

// ---------------------------------------------------------------------------
// The loop natives.

void native_while(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(6, refs);
    Cell cond = stack_arguments()[0];
    Cell body = stack_arguments()[1];
    GcRootCell keep_cond(&cond), keep_body(&body);
    stack_keep();
    CallFrame* frame = mark_loop();
    for (;;) {
        stack_reset();
        Round r = loop_round(cond, true, frame);
        if (r == Round::Leave) return;
        if (r == Round::Break || r == Round::Continue) {
            leave_loop();
            error_raise(ErrCat::Throw, "while-cond");
        }
        if (stack_arguments()->is(TYPE_UNSET)) leave_loop_unset();
        if (value_false_q(stack_arguments())) break;
        stack_reset();
        r = loop_round(body, true, frame);
        if (r == Round::Leave) return;
        // The break's value (its /return value, else unset!) is the result.
        if (r == Round::Break) return end_loop();
    }
    // A loop that ran out gives unset!, not the false condition.
    cell_set_unset(stack_arguments());
    end_loop();
}

void native_until(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(7, refs);
    Cell body = stack_arguments()[0];
    GcRootCell keep_body(&body);
    stack_keep();
    CallFrame* frame = mark_loop();
    for (;;) {
        stack_reset();
        Round r = loop_round(body, true, frame);
        if (r == Round::Leave) return;
        if (r == Round::Break) break;
        if (r == Round::Continue) continue;
        if (stack_arguments()->is(TYPE_UNSET)) leave_loop_unset();
        if (!value_false_q(stack_arguments())) break;
    }
    end_loop();
}

void native_loop(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(8, refs);
    natives_loop_count_to_integer();
    int32_t count = static_cast<int32_t>(stack_arguments()->data2);
    Cell body = stack_arguments()[1];
    GcRootCell keep_body(&body);
    if (count <= 0) {
        cell_set(stack_arguments(), TYPE_NONE);
        return stack_keep();
    }
    stack_keep();
    CallFrame* frame = mark_loop();
    for (int32_t i = 0; i < count; i++) {
        stack_reset();
        Round r = loop_round(body, true, frame);
        if (r == Round::Leave) return;
        if (r == Round::Break) break;
    }
    end_loop();
}

void native_repeat(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(9, refs);
    Cell* a = stack_arguments();
    int32_t count = count_of(a + 1);
    if (count <= 0) {
        cell_set(a, TYPE_NONE);
        return stack_keep();
    }
    cell_set(a + 1, TYPE_INTEGER, 0, 1);
    Cell body = a[2];
    GcRootCell keep_body(&body);
    g_stack.top = a + 2;  // the word and the counter stay below the loop frame
    CallFrame* frame = mark_loop();
    Cell* word = stack_arguments() - 2;
    Cell* counter = stack_arguments() - 1;
    for (int32_t left = count; left > 0; left--) {
        stack_reset();
        Round r = under_loop_catch(frame, [&] { word_set(word, counter); });
        if (r == Round::Leave) return;
        if (r == Round::Break) break;
        if (r == Round::Done) r = loop_round(body, true, frame);
        if (r == Round::Leave) return;
        if (r == Round::Break) break;
        counter->data2++;
    }
    end_loop();
}

void native_forever(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(10, refs);
    Cell body = stack_arguments()[0];
    GcRootCell keep_body(&body);
    stack_keep();
    CallFrame* frame = mark_loop();
    for (;;) {
        stack_reset();
        Round r = loop_round(body, false, frame);
        if (r == Round::Leave) return;
        if (r == Round::Break) break;
    }
    end_loop();
}

void native_foreach(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(11, refs);
    Cell* a = stack_arguments();
    Cell words = a[0], series = a[1], body = a[2];
    GcRootCell keep_words(&words), keep_series(&series), keep_body(&body);
    uint32_t n = 1;
    if (words.is(TYPE_BLOCK)) {
        n = loop_words_snapshot(&words);
    } else if (series.is(TYPE_MAP)) {
        error_raise(ErrCat::Script, "invalid-arg", &words);
    }
    stack_keep();
    stack_push(&series);
    stack_push(&words);
    CallFrame* frame = mark_loop();
    if (!stepped_rounds(frame, n, body, [] {})) return;
    end_loop();
}

void native_forall(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(12, refs);
    Cell word = stack_arguments()[0];
    Cell body = stack_arguments()[1];
    Cell original = *word_get_any(&word);
    GcRootCell keep_word(&word), keep_body(&body), keep_original(&original);
    if (!is_series(original.type())) {
        Cell where = stack_get_call();
        Cell dt;
        datatype_set(&dt, original.type());
        Cell arg{TYPE_WORD, 0, 0, 0};
        word_make_global_at(symbol_make("word"), &arg);
        error_raise(ErrCat::Script, "expect-arg", &where, &dt, &arg);
    }
    stack_keep();
    stack_push(&original);
    stack_push(&word);
    CallFrame* frame = mark_loop();
    bool broke = false;
    while (natives_series_has_more(word_get_any(&word))) {
        stack_reset();
        Round r = loop_round(body, false, frame);
        if (r == Round::Leave) return;
        if (r == Round::Break) {
            broke = true;
            break;
        }
        Cell* current = word_get_any(&word);
        if (!is_series(current->type()) || current->data2 != original.data2) {
            Cell bad = *current;
            GcRootCell keep_bad(&bad);
            leave_loop();
            error_raise(ErrCat::Script, "bad-loop-series", &bad);
        }
        current->data1++;
    }
    if (!broke && under_loop_catch(frame, [&] { word_set(&word, &original); }) == Round::Leave) return;
    end_loop();
}

void native_remove_each(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(13, refs);
    Cell* a = stack_arguments();
    Cell words = a[0], data = a[1], body = a[2];
    GcRootCell keep_words(&words), keep_data(&data), keep_body(&body);
    uint32_t n = 1;
    if (words.is(TYPE_BLOCK)) n = loop_words_snapshot(&words);
    stack_keep();
    cell_set(stack_push_cell(), TYPE_INTEGER, 0, n);
    stack_push(&data);
    stack_push(&words);
    CallFrame* frame = mark_loop();
    if (!stepped_rounds(frame, n, body, [&] { natives_remove_each_step(n); })) return;
    // The result is the series at the position it was given.
    copy_cell(&data, stack_arguments());
    end_loop();
}

}  // namespace kel
