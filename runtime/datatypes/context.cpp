// context!: creation, adding words, setting words, binding.
#include "runtime/datatypes/context.h"

#include "runtime/cycles.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/hashtable.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"

namespace kel {

Off g_global_context = 0;
void (*g_context_on_change)(const Cell*, const Cell*, const Cell*, const Cell*) = nullptr;

namespace {

uint32_t values_get(uint32_t ctx) { return context_cell(ctx)->data2; }
void values_set(uint32_t ctx, uint32_t values) { context_cell(ctx)->data2 = values; }

bool block_like(uint32_t type) {
    switch (type) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH:
    case TYPE_HASH:
        return true;
    default:
        return false;
    }
}

// The collector's view of a context: its words table and its values (a
// stack context's values are marked with the stack).
void mark_context_cell(Cell* c) {
    if (c->data1) hashtable_mark(&c->data1);
    if (!(c->header & CONTEXT_ON_STACK) && c->data2) gc_mark_node_cells(&c->data2);
}

void mark_context_node(uint32_t* slot) {
    if (*slot) gc_mark_node_cells(slot);
}

// Marks an object's field as assigned.
void mark_field_changed(Off ctx, uint32_t index) {
    if (context_kind(ctx) == CTX_OBJECT && index < context_words_count(ctx))
        context_word_cell_at(ctx, index)->header |= WORD_FIELD_CHANGED;
}

}  // namespace

uint32_t context_values_count(Off ctx) {
    const Cell* c = context_cell(ctx);
    if (!c->data2) return 0;
    if (c->header & CONTEXT_ON_STACK) return context_words_count(ctx);
    return node_buffer(c->data2)->used_bytes() / sizeof(Cell);
}

Cell* context_value_at(Off ctx, uint32_t index) {
    const Cell* c = context_cell(ctx);
    if (!c->data2) return nullptr;
    if (c->header & CONTEXT_ON_STACK) return arena_at<Cell>(c->data2) + index;
    const SeriesBuf* values = node_buffer(c->data2);
    if (index >= values->used_bytes() / sizeof(Cell)) return nullptr;
    return arena_at<Cell>(values->head) + index;
}

// Grows a heap context's values with unset! cells to at least `count`.
void context_values_ensure(Off ctx, uint32_t count) {
    GcRootNode keep(&ctx);
    if (context_on_stack(ctx) || !context_cell(ctx)->data2) return;
    while (context_values_count(ctx) < count) {
        Cell* c = block_buffer_append_slot(node_buffer(context_cell(ctx)->data2));
        cell_set_unset(c);
    }
}

void context_global_init(uint32_t size) {
    if (!g_global_context) g_global_context = context_make(size, false, false, 0, CTX_GLOBAL);
}

Off context_make(uint32_t n, bool on_stack, bool flag24, Off source, uint32_t kind) {
    if (n == 0) n = 1;
    GcRootNode keep_source(&source);
    Off table = source ? hashtable_copy(context_words_table(source)) : hashtable_make(n, nullptr, HASH_KIND_WORDS, 0);
    GcRootTable keep_table(&table);
    Off values = on_stack ? 0 : alloc_cells_unset(n);
    GcRootNode keep_values(&values);
    Off node = alloc_cells(2);
    SeriesBuf* buf = node_buffer(node);
    Cell* cells = arena_at<Cell>(buf->head);
    uint32_t header = TYPE_CONTEXT | (kind << CONTEXT_KIND_SHIFT & CONTEXT_KIND_MASK) |
                      (on_stack ? CONTEXT_ON_STACK : 0) | (flag24 ? CONTEXT_FLAG24 : 0);
    cell_set(&cells[0], header, table, values, 0);
    cell_set_unset(&cells[1]);
    buf->tail = buf->head + 2 * sizeof(Cell);
    return node;
}

Off context_make_from_spec(const Cell* spec_in, bool on_stack, bool flag24, uint32_t kind) {
    Cell spec = *spec_in;
    GcRootCell keep_spec(&spec);
    uint32_t n = node_buffer(spec.data2)->used_bytes() / sizeof(Cell);
    Off ctx = context_make(n, on_stack, flag24, 0, kind);
    GcRootNode keep_ctx(&ctx);
    uint32_t seen = 0;
    for (uint32_t i = 0; i < n; i++) {
        const Cell* c = arena_at<Cell>(node_buffer(spec.data2)->head) + i;
        switch (c->type()) {
        case TYPE_WORD: case TYPE_GET_WORD: case TYPE_LIT_WORD: case TYPE_REFINEMENT: {
            int32_t out;
            context_find_or_add_word(ctx, c->data2, true, &out);
            seen++;
            break;
        }
        default: break;
        }
    }
    if (!on_stack) context_values_ensure(ctx, seen);
    return ctx;
}

Off context_duplicate(Cell* value, uint32_t kind) {
    Off old = value->data1;
    GcRootNode keep_old(&old);
    uint32_t n = context_words_count(old);
    Off ctx = context_make(n, context_on_stack(old), true, old, kind);
    for (uint32_t i = 0; i < context_words_count(ctx); i++) context_word_cell_at(ctx, i)->data1 = ctx;
    value->data1 = ctx;
    return ctx;
}

int32_t context_find_word(Off ctx, uint32_t symbol, bool nocase) {
    const Cell* word = context_find_slot(context_words_table(ctx), symbol, nocase);
    return word ? static_cast<int32_t>(word->data3) : -1;
}

int32_t context_find_or_add_word(Off ctx, uint32_t symbol, bool nocase, int32_t* out) {
    GcRootNode keep(&ctx);
    int32_t pos = -1;
    if (context_add_slot(context_words_table(ctx), symbol, nocase, ctx, &pos) < 0) {
        *out = pos;
        return -1;
    }
    int32_t index = static_cast<int32_t>(context_word_cell_at(ctx, static_cast<uint32_t>(pos))->data3);
    *out = index;
    return index;
}

int32_t context_add_word(Off ctx, const Cell* word) {
    GcRootNode keep(&ctx);
    int32_t index;
    if (context_find_or_add_word(ctx, word->data2, true, &index) < 0) context_values_ensure(ctx, index + 1);
    return index;
}

Cell* context_add_word_value(Off ctx, const Cell* word, const Cell* value) {
    if (context_find_word(ctx, word->data2, true) >= 0) return nullptr;
    Cell v = *value;
    GcRootCell keep_value(&v);
    GcRootNode keep(&ctx);
    int32_t index = context_add_word(ctx, word);
    Cell* slot = context_value_at(ctx, static_cast<uint32_t>(index));
    if (!slot) return nullptr;
    *slot = v;
    return slot;
}

Cell* context_set_or_append(Off ctx, const Cell* word_in, const Cell* value) {
    Cell v = *value, word = *word_in;
    GcRootCell keep_value(&v), keep_word(&word);
    GcRootNode keep(&ctx);
    int32_t index = context_add_word(ctx, &word);
    Cell* slot = context_value_at(ctx, static_cast<uint32_t>(index));
    if (!slot) error_raise(ErrCat::Script, "not-defined", &word);
    return copy_cell(&v, slot);
}

Cell* context_find_value(uint32_t symbol, Off ctx) {
    if (context_on_stack(ctx)) ctx = g_global_context;
    int32_t index = context_find_word(ctx, symbol, true);
    return index < 0 ? nullptr : context_value_at(ctx, static_cast<uint32_t>(index));
}

Cell* context_global_value(uint32_t symbol) { return context_find_value(symbol, g_global_context); }

Cell* context_global_get(uint32_t symbol, Cell* out) {
    Cell word;
    context_add_global(&word, symbol, true, false);
    return copy_cell(context_value_at(g_global_context, word.data3), out);
}

Cell* context_set_in(Cell* word, const Cell* value, Off ctx, bool notify) {
    Cell v = *value;
    GcRootCell keep_value(&v);
    GcRootNode keep(&ctx);
    if (word->data3 == kWordUnresolved) {
        int32_t index = context_find_word(ctx, word->data2, false);
        word->data3 = static_cast<uint32_t>(index);
        if (index < 0) {
            Cell w = *word;
            word->data3 = static_cast<uint32_t>(context_add_word(ctx, &w));
        }
    }
    uint32_t index = word->data3;
    if (!context_cell(ctx)->data2) error_raise(ErrCat::Script, "not-defined", word);
    if (context_on_stack(ctx)) {
        Cell* slot = arena_at<Cell>(context_cell(ctx)->data2) + index;
        *slot = v;
        return slot;
    }
    context_values_ensure(ctx, index + 1);
    if (context_kind(ctx) == CTX_OBJECT) {
        mark_field_changed(ctx, index);
        const Cell* owner = context_owner_cell(ctx);
        if (notify && owner->data3 && g_context_on_change) {
            Cell o = *owner, w = *word;
            Cell old = *context_value_at(ctx, index);
            *context_value_at(ctx, index) = v;
            g_context_on_change(&o, &w, &old, &v);
            return context_value_at(ctx, index);
        }
    }
    Cell* slot = context_value_at(ctx, index);
    *slot = v;
    return slot;
}

void word_set_int_payload(Cell* word, int32_t n) {
    if (!word->data1) return;
    if (word->data3 == kWordUnresolved) {
        int32_t index = context_find_word(word->data1, word->data2, false);
        if (index < 0) return;
        word->data3 = static_cast<uint32_t>(index);
    }
    if (Cell* slot = context_value_at(word->data1, word->data3)) slot->data2 = static_cast<uint32_t>(n);
}

int32_t context_bind_word(Off ctx, Cell* word) {
    int32_t index = context_find_word(ctx, word->data2, true);
    if (index >= 0) {
        word->data1 = ctx;
        word->data3 = static_cast<uint32_t>(index);
    }
    return index;
}

Cell* context_bind_block(Cell* block, Off ctx, bool self) {
    Off node = block->data2;
    if (cycles_find(node)) return block;
    CycleGuard guard(node);
    uint32_t self_symbol = g_sym.self ? symbol_resolve(g_sym.self) : 0;
    uint32_t n = node_buffer(node)->used_bytes() / sizeof(Cell);
    for (uint32_t i = block->data1; i < n; i++) {
        Cell* c = arena_at<Cell>(node_buffer(node)->head) + i;
        uint32_t type = c->type();
        if (block_like(type)) {
            context_bind_block(c, ctx, self);
        } else if (type >= TYPE_WORD && type <= TYPE_REFINEMENT) {
            if (self && type == TYPE_WORD && self_symbol && symbol_resolve(c->data2) == self_symbol) {
                c->data1 = ctx;
                c->data3 = kWordUnresolved;
            } else {
                context_bind_word(ctx, c);
            }
        }
    }
    return block;
}

bool context_collect_set_words(Off ctx, const Cell* block_in) {
    Cell block = *block_in;
    GcRootCell keep_block(&block);
    GcRootNode keep(&ctx);
    uint32_t before = context_words_count(ctx);
    uint32_t n = node_buffer(block.data2)->used_bytes() / sizeof(Cell);
    for (uint32_t i = block.data1 < n ? block.data1 : n; i < n; i++) {
        Cell c = arena_at<Cell>(node_buffer(block.data2)->head)[i];
        if (c.is(TYPE_SET_WORD)) context_add_word(ctx, &c);
    }
    return context_words_count(ctx) > before;
}

void context_init() {
    g_context_values_get = values_get;
    g_context_values_set = values_set;
    g_gc_mark_context = mark_context_node;
    gc_set_type_marker(TYPE_CONTEXT, mark_context_cell);
    TypeRow(TYPE_CONTEXT).commit();
}

}  // namespace kel
