// The runtime's initialisation order. Every step uses what the steps before
// it made; the boot words come last.
#include "runtime/startup.h"

#include "library/do_file.h"
#include "runtime/case_fold.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/register.h"
#include "runtime/datatypes/url.h"
#include "runtime/datatypes/word.h"
#include "runtime/evaluator.h"
#include "runtime/externals.h"
#include "runtime/gc.h"
#include "runtime/lexer.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/output.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"

namespace kel {

namespace {

bool initialised = false;
bool booted = false;

void set_global(const char* name, const Cell* value) {
    Cell word{TYPE_WORD, 0, 0, 0};
    word_from_cstring(&word, name);
    word_set(&word, value);
}

// The operators: each word names an op! made from an action or native.
void define_operators() {
    static const char* const kOps[][2] = {
        {"+", "add"},          {"-", "subtract"},       {"*", "multiply"},          {"/", "divide"},
        {"//", "remainder"},   {"%", "remainder"},      {"=", "equal?"},            {"<>", "not-equal?"},
        {"==", "strict-equal?"}, {"=?", "same?"},       {"<", "lesser?"},           {">", "greater?"},
        {"<=", "lesser-or-equal?"}, {">=", "greater-or-equal?"}, {"**", "power"},   {"and", "and~"},
        {"or", "or~"},         {"xor", "xor~"},
    };
    for (const auto& op : kOps) {
        Cell source{TYPE_WORD, 0, 0, 0};
        word_from_cstring(&source, op[1]);
        Cell value = *word_get_any(&source);
        if (value.is(TYPE_UNSET)) continue;
        op_make(nullptr, &value, TYPE_OP);
        set_global(op[0], &value);
    }
}

void define_datatype_words() {
    for (int32_t t = 1; t <= g_datatype_max_id; t++) {
        if (!g_type_names[t].name || t == TYPE_SERIES) continue;  // series! is a typeset
        Cell dt;
        datatype_set(&dt, t);
        set_global(datatype_name(t), &dt);
    }
}

void define_logic_words() {
    Cell yes{TYPE_LOGIC, 1, 0, 0}, no{TYPE_LOGIC, 0, 0, 0}, none{TYPE_NONE, 0, 0, 0};
    for (const char* name : {"true", "yes", "on"}) set_global(name, &yes);
    for (const char* name : {"false", "no", "off"}) set_global(name, &no);
    set_global("none", &none);
}

}  // namespace

bool runtime_ready() { return booted; }

void runtime_init() {
    if (initialised) return;
    initialised = true;
    output_init();
    random_init();
    memory_init();
    externals_init();
    node_frame_make(kNodeFrameCapacity);
    series_frame_make();
    stack_init();
    datatypes_register_core();
    evaluator_register_types();
    url_init();
    file_init();
    object_init();
    error_init();
    symbols_init();
    context_global_init();
    case_init();
    typenames_init(word_global_symbol);
    words_init();
    words_init_refinements();
    words_init_issue();
    symctx_owners_init();
    evaluator_init();
    lexer_init();
    valslots_init();
    error_catalog_init();
    gc_reset_counters();
}

void runtime_boot() {
    if (booted) return;
    runtime_init();
    natives_define_words();
    define_operators();
    define_datatype_words();
    define_logic_words();
    do_file_define();
    booted = true;
    g_gc_enabled = true;
}

}  // namespace kel
