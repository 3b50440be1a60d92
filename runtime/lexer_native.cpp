// The `transcode` native and the lexer's calls into the evaluator: running
// an event callback and reading the event words at the head of its body.
#include <cstring>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/function.h"
#include "runtime/error.h"
#include "runtime/exits.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/number_convert.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"
#include "runtime/typecheck.h"

namespace kel {

namespace {

inline bool has(const int32_t* refs, int i) { return refs[i] >= 0; }

// Runs a function! or routine! callback with the five event arguments; the
// stacks are put back as they were whatever happens inside it.
bool call_callback(const Cell* callback_in, Cell* args) {
    struct Restore {
        Cell* args = g_stack.args;
        Cell* top = g_stack.top;
        CallFrame* frame = g_stack.frame_top;
        ~Restore() {
            g_stack.frame_top = frame;
            g_stack.top = top;
            g_stack.args = args;
        }
    } restore;
    Cell* callback = stack_push(callback_in);
    Cell name = g_words.lexer_callback;
    bool is_function = callback->is(TYPE_FUNCTION);
    stack_mark_interp_func_ctx(name.data2, name.data1, is_function ? callback->data1 : 0);
    Cell* frame = g_stack.args;
    Cell* first = g_stack.top;
    for (uint32_t i = 0; i < 5; i++) stack_push(&args[i]);
    interp_callback_frame(callback, first, 5);
    bool has_input_arg = g_stack.top > frame + 1;
    if (is_function) interp_call_function(callback, 0, &name, 0);
    else routine_exec(callback);
    if (exit_pending()) exits_throw_pending();
    // The result sits in the frame's first cell; the callback's `input`
    // (its second argument) in the one after it.
    if (has_input_arg) args[1] = frame[1];
    const Cell* result = frame;
    return !(result->is(TYPE_NONE) || (result->is(TYPE_LOGIC) && result->data1 == 0));
}

bool callback_body(const Cell* callback, Cell* body) {
    if (!callback->is(TYPE_FUNCTION)) return false;
    *body = *arena_at<Cell>(node_buffer(callback->data3)->head);
    return true;
}

// A block of the two given values (stack cells: they are read after the
// block is made).
Cell* make_pair_block(Cell* out, const Cell* a, const Cell* b) {
    block_make_at(out, 2);
    SeriesBuf* buf = node_buffer(out->data2);
    Cell* c = arena_at<Cell>(buf->tail);
    c[0] = *a;
    c[1] = *b;
    c[0].header &= ~CELL_NEW_LINE;
    c[1].header &= ~CELL_NEW_LINE;
    buf->tail += 2 * sizeof(Cell);
    return out;
}

}  // namespace

void lexer_install_evaluator_hooks() {
    if (!g_lexer_callback_call) g_lexer_callback_call = call_callback;
    if (!g_lexer_callback_body) g_lexer_callback_body = callback_body;
}

// transcode src /next /one /prescan /scan /part length /into dst /trace callback
void native_transcode(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(106, refs);
    lexer_init();
    Cell* args = stack_arguments();
    Cell* src = args;
    bool is_binary = src->is(TYPE_BINARY);
    if (!is_binary && !any_string_type_q(src->type())) error_raise(ErrCat::Script, "invalid-arg", src);
    bool next = has(refs, 0), one = has(refs, 1), prescan = has(refs, 2), scan = has(refs, 3);
    if (is_binary) {
        // A UTF-8 byte-order mark is skipped: the source's head moves past it.
        SeriesBuf* b = node_buffer(src->data2);
        if (b->used_bytes() >= src->data1 + 3 && std::memcmp(b->head_ptr() + src->data1, "\xEF\xBB\xBF", 3) == 0)
            src->data1 += 3;
    }
    int32_t length = -1;
    if (has(refs, 4)) {
        const Cell* part = args + refs[4];
        if (part->is(TYPE_INTEGER)) {
            int32_t n = static_cast<int32_t>(part->data2);
            length = n < 0 ? 0 : n;
        } else if (part->type() == src->type()) {
            int64_t d = int64_t(part->data1) - int64_t(src->data1);
            length = d < 0 ? 0 : static_cast<int32_t>(d);
        } else if (part->is(TYPE_BINARY) || any_string_type_q(part->type())) {
            error_raise(ErrCat::Script, "not-same-type");
        } else {
            error_raise(ErrCat::Script, "invalid-arg", part);
        }
    }
    Cell* into = has(refs, 5) ? args + refs[5] : nullptr;
    const Cell* callback = has(refs, 6) ? args + refs[6] : nullptr;
    bool one_value = next || one || scan;
    bool load = !prescan;
    bool not_scan = !scan;

    Cell* out = stack_push_cell();
    cell_set(out, TYPE_NONE);
    uint32_t consumed = 0;
    int32_t type = is_binary ? lexer_load_binary(out, src, length, one_value, load, not_scan, false, &consumed,
                                                 callback, into)
                             : lexer_load_string(out, src, length, one_value, load, not_scan, false, &consumed,
                                                 callback, into);
    args = stack_arguments();
    src = args;
    if (prescan || scan) {
        if (type > 0) cell_set(out, TYPE_DATATYPE, static_cast<uint32_t>(type));
        else cell_set(out, TYPE_NONE);
    }
    if (next) {
        Cell* result = stack_push_cell();
        make_pair_block(result, out, src);  // reads both cells after allocating
        Cell* rest = block_cell_at(result, 1);
        rest->data1 += consumed;
        copy_cell(result, args);
    } else {
        copy_cell(out, args);
    }
    stack_keep();
}

}  // namespace kel
