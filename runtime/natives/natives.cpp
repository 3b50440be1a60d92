// The natives table: one registration list, in index order.
#include "runtime/natives.h"

#include "runtime/actions.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/native.h"
#include "runtime/dispatch.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/lexer.h"
#include "runtime/eval_deps.h"
#include "runtime/natives/natives_impl.h"
#include "runtime/natives/sys_natives.h"
#include "runtime/natives/value_natives.h"
#include "runtime/parse.h"
#include "runtime/spec_text.h"
#include "runtime/typecheck.h"

namespace kel {

NativeFn g_natives_table[kNativeTableSize] = {};
Cell g_print_buffer = {TYPE_NONE, 0, 0, 0};

namespace {

const NativeInfo kNatives[kNativeCount + 1] = {
    {"", ""},
#define X(index, name, text) {name, text},
#include "runtime/natives/native_specs.def"
#undef X
};
static_assert(sizeof kNatives / sizeof kNatives[0] == kNativeCount + 1);

// The implementations built so far; every other index is not-done.
struct Registration {
    int index;
    NativeFn fn;
};
const Registration kRegistrations[] = {
    {1, native_if},
    {2, native_unless},
    {3, native_either},
    {4, native_any},
    {5, native_all},
    {6, native_while},
    {7, native_until},
    {8, native_loop},
    {9, native_repeat},
    {10, native_forever},
    {11, native_foreach},
    {12, native_forall},
    {13, native_remove_each},
    {14, native_func},
    {15, native_function},
    {16, native_does},
    {17, native_has},
    {18, native_switch},
    {19, native_case},
    {25, native_equal_q},
    {26, native_not_equal_q},
    {27, native_strict_equal_q},
    {28, native_lesser_q},
    {29, native_greater_q},
    {30, native_lesser_or_equal_q},
    {31, native_greater_or_equal_q},
    {32, native_same_q},
    {33, native_not},
    // Evaluation, words and printing.
    {20, native_do},
    {21, native_get},
    {22, native_set},
    {23, native_print},
    {24, native_prin},
    {34, native_type_q},
    {35, native_reduce},
    {36, native_compose},
    {38, native_bind},
    {39, native_in},
    // Set operations and predicates.
    {41, native_union},
    {42, native_intersect},
    {43, native_unique},
    {44, native_difference},
    {45, native_exclude},
    {46, native_complement_q},
    {49, native_negative_q},
    {50, native_positive_q},
    {62, native_nan_q},
    {97, native_sign_q},
    {100, native_zero_q},
    // Words, contexts, list markers and value building.
    {68, native_construct},
    {69, native_value_q},
    {71, native_uppercase},
    {72, native_lowercase},
    {73, native_as_pair},
    {74, native_as_point2d},
    {75, native_as_point3d},
    {76, native_as_money},
    {83, native_extend},
    {88, native_unset},
    {89, native_new_line},
    {90, native_new_line_q},
    {92, native_context_q},
    {98, native_as},
    {107, native_apply},
    // PARSE.
    {40, native_parse},
    {70, native_try},
    {77, native_break},
    {78, native_continue},
    {79, native_exit},
    {80, native_return},
    {81, native_throw},
    {82, native_catch},
    // Math, encoding, checksum and system natives.
    {37, native_stats},
    {47, native_dehex},
    {48, native_enhex},
    {51, native_max},
    {52, native_min},
    {53, native_shift},
    {54, native_to_hex},
    {55, native_sine},
    {56, native_cosine},
    {57, native_tangent},
    {58, native_arcsine},
    {59, native_arccosine},
    {60, native_arctangent},
    {61, native_arctangent2},
    {63, native_log_2},
    {64, native_log_10},
    {65, native_log_e},
    {66, native_exp},
    {67, native_square_root},
    {85, native_to_local_file},
    {86, native_wait},
    {87, native_checksum},
    {93, native_set_env},
    {94, native_get_env},
    {95, native_list_env},
    {96, native_now},
    {99, native_call},
    {101, native_size_q},
    {102, native_browse},
    {105, native_recycle},
    {106, native_transcode},
};

// Descriptor blocks of the natives' registered interface blocks, for the check flag.
Off g_check_specs[kNativeCount + 1] = {};

}  // namespace

const NativeInfo& native_info(int index) { return kNatives[index >= 1 && index <= kNativeCount ? index : 0]; }

void native_not_done(int32_t, const int32_t*) { error_raise(ErrCat::Internal, "not-done"); }

// The print buffer and the argument-check descriptors are collector roots.
static void mark_natives_roots() {
    gc_mark_cells(&g_print_buffer, &g_print_buffer + 1);
    for (Off& desc : g_check_specs)
        if (desc) gc_mark_node_cells(&desc);
}

void natives_init() {
    for (int i = 0; i < kNativeCount; i++) g_natives_table[i] = native_not_done;
    for (const Registration& r : kRegistrations) g_natives_table[r.index - 1] = r.fn;
    g_sort_comparator_call = natives_sort_comparator;
    static bool rooted = false;
    if (!rooted) gc_add_root_callback(mark_natives_roots);
    rooted = true;
    Off node = alloc_cells_unset(32);
    cell_set(&g_print_buffer, TYPE_BLOCK, 0, node, 0);
}

Cell* native_value_make(int index, Cell* out) {
    Cell* arg = stack_push_cell();
    Cell spec{TYPE_NONE, 0, 0, 0};
    GcRootCell keep_spec(&spec);
    block_from_text(native_info(index).spec, &spec);
    Off node = alloc_cells(2);
    cell_set(arg, TYPE_BLOCK, 0, node, 0);
    copy_cell(&spec, block_buffer_append_slot(node_buffer(node)));
    cell_set(block_buffer_append_slot(node_buffer(node)), TYPE_INTEGER, 0, static_cast<uint32_t>(index));
    Cell proto;
    datatype_set(&proto, TYPE_NATIVE);
    native_make(&proto, arg, TYPE_NATIVE);
    copy_cell(arg, out);
    stack_pop(1);
    return out;
}

// action! values are made the same way from the slot's interface block.
static Cell* action_value_make(int slot, Cell* out) {
    Cell* arg = stack_push_cell();
    Cell spec{TYPE_NONE, 0, 0, 0};
    GcRootCell keep_spec(&spec);
    block_from_text(action_spec_text(slot), &spec);
    Off node = alloc_cells(2);
    cell_set(arg, TYPE_BLOCK, 0, node, 0);
    copy_cell(&spec, block_buffer_append_slot(node_buffer(node)));
    cell_set(block_buffer_append_slot(node_buffer(node)), TYPE_INTEGER, 0, static_cast<uint32_t>(slot));
    Cell proto;
    datatype_set(&proto, TYPE_ACTION);
    native_make(&proto, arg, TYPE_ACTION);
    copy_cell(arg, out);
    stack_pop(1);
    return out;
}

void natives_define_words() {
    for (int i = 1; i <= kNativeCount; i++) {
        Cell value{TYPE_NONE, 0, 0, 0};
        GcRootCell keep(&value);
        native_value_make(i, &value);
        Cell word{TYPE_WORD, 0, 0, 0};
        word_make_global_at(symbol_make(native_info(i).name), &word);
        word_set(&word, &value);
    }
    for (int slot = 1; slot <= kActionCount; slot++) {
        if (!action_dispatcher(static_cast<uint32_t>(slot)) || !*action_spec_text(slot)) continue;
        Cell value{TYPE_NONE, 0, 0, 0};
        GcRootCell keep(&value);
        action_value_make(slot, &value);
        Cell word{TYPE_WORD, 0, 0, 0};
        word_make_global_at(symbol_make(action_name(slot)), &word);
        word_set(&word, &value);
    }
}

void natives_check_args(int index, const int32_t* refs) {
    Cell spec{TYPE_NONE, 0, 0, 0};
    GcRootCell keep_spec(&spec);
    block_from_text(native_info(index).spec, &spec);
    if (!g_check_specs[index]) g_check_specs[index] = spec_cache_build(spec.data2, true);
    // Nothing allocates below until an error is raised.
    Off desc = g_check_specs[index];
    SeriesBuf* b = node_buffer(desc);
    const Cell* d = arena_at<Cell>(b->head);
    uint32_t n = (b->tail - b->head) >> 4;
    uint32_t cell = 0;
    uint32_t i = 0;
    Cell callable{TYPE_NATIVE, static_cast<uint32_t>(index), 0, 0};
    callable.data2 = spec.data2;
    for (; i < n && d[i].is(TYPE_TYPESET); i++) {
        if (((d[i].header & ARG_MODE_MASK) >> ARG_MODE_SHIFT) == ARG_RETURN) continue;
        error_typecheck(&d[i], &callable, stack_arguments() + cell++, i);
    }
    for (; i < n; i++) {
        if (!d[i].is(TYPE_REFINEMENT)) continue;
        int32_t pos = refs[d[i].data3 - 1];
        uint32_t k = i + 1;
        for (uint32_t a = 0; k < n && d[k].is(TYPE_TYPESET); k++, a++)
            if (pos >= 0) error_typecheck(&d[k], &callable, stack_arguments() + pos + a, k);
    }
}

}  // namespace kel
