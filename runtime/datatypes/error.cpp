// error!: making errors from codes, blocks and strings, the report form,
// and the builder that gives every raised error its value.
#include "runtime/datatypes/error.h"

#include <cstring>

#include "runtime/cycles.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/gc.h"
#include "runtime/interpreter.h"
#include "runtime/output.h"
#include "runtime/platform/console.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"

namespace kel {

Cell g_error_catalog = {TYPE_NONE, 0, 0, 0};
int32_t (*g_error_stack_trace_level)() = nullptr;
bool (*g_error_source_files)(Cell* out) = nullptr;

namespace {

Cell g_error_proto = {TYPE_NONE, 0, 0, 0};

// The newest raised errors, kept alive while their exceptions travel.
constexpr uint32_t kInFlight = 16;
Cell g_in_flight[kInFlight];
uint32_t g_in_flight_next = 0;

const char* const kFieldNames[kErrorFieldCount] = {"code", "type", "id", "arg1", "arg2",
                                                   "arg3", "near", "where", "stack", "files"};

struct StackTop {
    Cell* saved = g_stack.top;
    ~StackTop() { g_stack.top = saved; }
};

inline Cell* field(const Cell* error, uint32_t i) { return context_value_at(error->data1, i); }
inline void set_field(const Cell* error, uint32_t i, const Cell* value) {
    Cell v = *value;
    v.header &= ~CELL_NEW_LINE;
    *field(error, i) = v;
}

// A new error with the prototype's fields (all none!) written into `out`.
void error_new(Cell* out) {
    object_duplicate(&g_error_proto, out, false, nullptr, false);
    object_make_at(out, out->data1, kErrorClassId, 0, TYPE_ERROR);
}

// The category index of a word in the catalogue, or -1.
int32_t find_category(const Cell* word) {
    if (!word->is(TYPE_WORD) && !word->is(TYPE_LIT_WORD)) return -1;
    return context_find_word(g_error_catalog.data1, word->data2, true);
}

// The category object of index `cat`.
Cell category_object(int32_t cat) { return *context_value_at(g_error_catalog.data1, static_cast<uint32_t>(cat)); }

// The field position of an id word in a category (2 and up), or -1.
int32_t find_id(int32_t cat, const Cell* word) {
    if (!word->is(TYPE_WORD) && !word->is(TYPE_LIT_WORD)) return -1;
    Cell category = category_object(cat);
    if (!category.is(TYPE_OBJECT)) return -1;
    int32_t pos = context_find_word(category.data1, word->data2, true);
    return pos >= 2 ? pos : -1;
}

// Sets code, type and id from a category index and an id position.
void set_identity(const Cell* error, int32_t cat, int32_t pos) {
    if (cat < 0 || pos < 2) return;  // a catalogue without the fallback entry
    Cell code{TYPE_INTEGER, 0, static_cast<uint32_t>(cat * 100 + pos - 2), 0};
    set_field(error, ERR_CODE, &code);
    Cell type = *context_word_cell_at(g_error_catalog.data1, static_cast<uint32_t>(cat));
    type.header = TYPE_WORD;
    set_field(error, ERR_TYPE, &type);
    Cell category = category_object(cat);
    Cell id = *context_word_cell_at(category.data1, static_cast<uint32_t>(pos));
    id.header = TYPE_WORD;
    set_field(error, ERR_ID, &id);
}

void set_near(const Cell* error) {
    const Cell& pos = g_interp.code_position;
    if (type_block_family(pos.type()) && pos.data2) set_field(error, ERR_NEAR, &pos);
}

void set_arguments(const Cell* error, const Cell* a1, const Cell* a2, const Cell* a3) {
    const Cell* args[3] = {a1, a2, a3};
    for (uint32_t i = 0; i < 3; i++)
        if (args[i] && !args[i]->is(TYPE_UNSET)) set_field(error, ERR_ARG1 + i, args[i]);
}

[[noreturn]] void raise_spec_field(const Cell* value) { error_raise(ErrCat::Script, "invalid-spec-field", value); }

// Fills code, type and id of an error made from a block.
void identity_from_block(const Cell* error, const Cell* spec) {
    if (series_length(spec) < 1) error_raise(ErrCat::Internal, "invalid-error", spec);
    Cell first = *block_cell_at(spec, spec->data1);
    if (first.is(TYPE_WORD)) {
        int32_t cat = find_category(&first);
        if (cat < 0) raise_spec_field(&first);
        Cell second = series_length(spec) > 1 ? *block_cell_at(spec, spec->data1 + 1) : Cell{TYPE_NONE, 0, 0, 0};
        if (!second.is(TYPE_WORD)) error_raise(ErrCat::Script, "invalid-arg", &second);
        int32_t pos = find_id(cat, &second);
        if (pos < 0) raise_spec_field(&second);
        set_identity(error, cat, pos);
        return;
    }
    if (!first.is(TYPE_SET_WORD)) error_raise(ErrCat::Internal, "invalid-error", &first);
    // An object body: evaluated in the error's context.
    StackTop scope;
    Cell* code = stack_push(spec);
    context_bind_block(code, error->data1, true);
    Cell* value = stack_push_cell();
    interp_do_block(code, value);
    Cell type = *field(error, ERR_TYPE), id = *field(error, ERR_ID);
    int32_t cat = find_category(&type);
    if (cat < 0) raise_spec_field(&type);
    int32_t pos = find_id(cat, &id);
    if (pos < 0) raise_spec_field(&id);
    set_identity(error, cat, pos);
}

// ---- the report ---------------------------------------------------------------

// Appends the characters of a string! value from its head.
void append_string(Cell* buffer, const Cell* str, uint32_t max = 0xFFFFFFFFu) {
    StackTop scope;
    const Cell* s = stack_push(str);
    uint32_t n = string_length(s);
    if (n > max) n = max;
    for (uint32_t i = 0; i < n; i++) {
        const SeriesBuf* buf = node_buffer(s->data2);
        uint32_t cp = string_unit_at(buf->head_ptr(), buf->unit(), s->data1 + i);
        string_append_char(buffer, cp);
    }
}

// Molds (or forms) a value into a scratch string and appends at most `max`
// characters of it.
void append_value(Cell* buffer, const Cell* value, bool mold, bool only, bool flat, uint32_t max) {
    StackTop scope;
    Cell* v = stack_push(value);
    Cell* scratch = stack_push_cell();
    string_make(scratch, 64, 1);
    int32_t limit = static_cast<int32_t>(max < 0x7FFFFFFF ? max : kNoPartLimit);
    Cell part{TYPE_INTEGER, 0, static_cast<uint32_t>(limit), 0};
    const Cell* part_arg = max < 0x7FFFFFFF ? &part : nullptr;
    if (mold) actions_mold_call(v, scratch, only, false, flat, part_arg, limit, 0);
    else actions_form_call(v, scratch, part_arg, limit);
    append_string(buffer, scratch, max);
}

void append_ascii(Cell* buffer, const char* text) { string_append_ascii(buffer, text, std::strlen(text)); }

// The category object and template of an error, falling back to internal
// invalid-error (with the unknown word as arg1) when either is missing.
bool lookup_template(const Cell* error, Cell* category, Cell* message) {
    for (int attempt = 0; attempt < 2; attempt++) {
        Cell type = *field(error, ERR_TYPE), id = *field(error, ERR_ID);
        int32_t cat = find_category(&type);
        int32_t pos = cat < 0 ? -1 : find_id(cat, &id);
        if (pos >= 0) {
            *category = category_object(cat);
            *message = *context_value_at(category->data1, static_cast<uint32_t>(pos));
            if (message->is(TYPE_WORD)) {
                int32_t at = context_find_word(error->data1, message->data2, true);
                if (at >= 0) *message = *field(error, static_cast<uint32_t>(at));
            }
            return true;
        }
        set_field(error, ERR_ARG1, cat < 0 ? &type : &id);
        set_identity(error, static_cast<int32_t>(ErrCat::Internal),
                     find_id(static_cast<int32_t>(ErrCat::Internal), &g_words.invalid_error));
    }
    return false;
}

void form_message(const Cell* error, const Cell* message, Cell* buffer, bool syntax) {
    StackTop scope;
    const Cell* block = stack_push(message);
    uint32_t n = static_cast<uint32_t>(series_length(block));
    for (uint32_t i = 0; i < n; i++) {
        if (i > 0) string_append_char(buffer, ' ');
        Cell piece = *block_cell_at(block, block->data1 + i);
        if (type_string_family(piece.type())) {
            append_string(buffer, &piece);
        } else if (piece.is(TYPE_WORD) || piece.is(TYPE_GET_WORD)) {
            int32_t at = context_find_word(error->data1, piece.data2, true);
            Cell v = at < 0 ? Cell{TYPE_NONE, 0, 0, 0} : *field(error, static_cast<uint32_t>(at));
            if (v.type() == 0) cell_set_unset(&v);
            if (syntax) append_value(buffer, &v, false, false, false, 80);
            else append_value(buffer, &v, true, false, false, 0xFFFFFFFFu);
        } else {
            append_value(buffer, &piece, false, false, false, 0xFFFFFFFFu);
        }
    }
}

struct CallListState {
    Cell* buffer;
};

void form_report(const Cell* error, Cell* buffer) {
    append_ascii(buffer, "*** ");
    Cell category{TYPE_NONE, 0, 0, 0}, message{TYPE_NONE, 0, 0, 0};
    GcRootCell keep_category(&category), keep_message(&message);
    if (lookup_template(error, &category, &message)) {
        const Cell* title = context_value_at(category.data1, 1);
        if (title && type_string_family(title->type())) {
            Cell t = *title;
            append_string(buffer, &t);
        }
    }
    append_ascii(buffer, ": ");
    if (type_string_family(message.type())) {
        append_string(buffer, &message);
    } else if (message.is(TYPE_BLOCK)) {
        bool syntax = find_category(field(error, ERR_TYPE)) == static_cast<int32_t>(ErrCat::Syntax);
        form_message(error, &message, buffer, syntax);
    } else {
        Cell type = *field(error, ERR_TYPE);
        set_field(error, ERR_ARG1, &type);
        set_identity(error, static_cast<int32_t>(ErrCat::Internal),
                     find_id(static_cast<int32_t>(ErrCat::Internal), &g_words.invalid_error));
    }
    append_ascii(buffer, "\n*** Where: ");
    Cell where = *field(error, ERR_WHERE);
    if (word_type_q(where.type())) append_value(buffer, &where, false, false, false, 0xFFFFFFFFu);
    else if (where.is(TYPE_STRING)) append_string(buffer, &where);
    else append_ascii(buffer, "???");
    append_ascii(buffer, "\n*** Near : ");
    Cell near = *field(error, ERR_NEAR);
    append_value(buffer, &near, true, true, true, 40);
    int32_t level = g_error_stack_trace_level ? g_error_stack_trace_level() : 0;
    Cell stack = *field(error, ERR_STACK);
    if (level > 0 && stack.is(TYPE_INTEGER)) {
        append_ascii(buffer, "\n*** Stack: ");
        uint32_t depth = stack.data2;
        CallListState state{buffer};
        stack_list_calls(depth <= stack_depth() ? g_stack.frame_bottom + depth : nullptr,
                         [](void* s, const CallFrame& f) {
                             Cell word{TYPE_WORD, f.word_ctx, f.symbol, kWordUnresolved};
                             Cell* buf = static_cast<CallListState*>(s)->buffer;
                             append_value(buf, &word, false, false, false, 0xFFFFFFFFu);
                             string_append_char(buf, ' ');
                         },
                         &state);
    } else if (level > 0 && stack.is(TYPE_BLOCK)) {
        append_ascii(buffer, "\n*** Stack: ");
        append_value(buffer, &stack, false, false, false, 0xFFFFFFFFu);
    }
    Cell files = *field(error, ERR_FILES);
    if (files.is(TYPE_BLOCK)) {
        append_ascii(buffer, "\n*** Files: ");
        append_value(buffer, &files, true, true, true, 40);
    }
}

// ---- the builder behind error_raise -----------------------------------------------------

const char* exit_id(uint32_t code) {
    switch (code) {
    case EXIT_BREAK: return "break";
    case EXIT_CONTINUE: return "continue";
    case EXIT_RETURN: case EXIT_EXIT: return "return";
    default: return "throw";
    }
}

bool g_building = false;

void build_thrown_error(const KelThrow& t, Cell* out) {
    if (g_building || !g_error_catalog.data1) {
        // No catalogue yet, or an error while building one: a bare error!
        // without fields that the error actions know to handle.
        cell_set(out, TYPE_ERROR, 0, static_cast<uint32_t>(t.category), 0);
        return;
    }
    g_building = true;
    struct Reset {
        ~Reset() { g_building = false; }
    } reset;
    Cell* slot = &g_in_flight[g_in_flight_next++ % kInFlight];
    try {
        if (t.code == EXIT_ERROR) {
            error_create_named(t.category, t.id.c_str(), &t.args[0], &t.args[1], &t.args[2], slot);
        } else {
            error_create_named(ErrCat::Throw, exit_id(t.code), t.code == EXIT_THROW ? &t.value : nullptr, nullptr,
                               nullptr, slot);
        }
        if (word_type_q(t.where.type())) set_field(slot, ERR_WHERE, &t.where);
        if (t.frame_depth > 0) {
            Cell depth{TYPE_INTEGER, 0, t.frame_depth, 0};
            set_field(slot, ERR_STACK, &depth);
        }
        copy_cell(slot, out);
    } catch (const KelThrow&) {
        cell_set(out, TYPE_ERROR, 0, static_cast<uint32_t>(t.category), 0);
    }
}

void mark_roots() {
    gc_mark_cells(&g_error_catalog, &g_error_catalog + 1);
    gc_mark_cells(&g_error_proto, &g_error_proto + 1);
    gc_mark_cells(g_in_flight, g_in_flight + kInFlight);
}

bool bare(const Cell* error) { return error->data1 == 0; }

}  // namespace

// ---- making ------------------------------------------------------------------------

Cell* error_field(const Cell* error, ErrorField f) { return field(error, f); }

Cell* error_create(const Cell* category, const Cell* id, const Cell* arg1, const Cell* arg2, const Cell* arg3,
                   Cell* out) {
    Cell c = *category, i = *id;
    int32_t cat = find_category(&c);
    if (cat < 0) raise_spec_field(&c);
    int32_t pos = find_id(cat, &i);
    if (pos < 0) raise_spec_field(&i);
    Cell a[3] = {};
    GcRootCell keep0(&a[0]), keep1(&a[1]), keep2(&a[2]);
    const Cell* args[3] = {arg1, arg2, arg3};
    for (int k = 0; k < 3; k++)
        if (args[k]) a[k] = *args[k];
    error_new(out);
    set_identity(out, cat, pos);
    set_arguments(out, arg1 ? &a[0] : nullptr, arg2 ? &a[1] : nullptr, arg3 ? &a[2] : nullptr);
    set_near(out);
    return out;
}

Cell* error_create_named(ErrCat category, const char* id, const Cell* arg1, const Cell* arg2, const Cell* arg3,
                         Cell* out) {
    Cell a[3] = {};
    GcRootCell keep0(&a[0]), keep1(&a[1]), keep2(&a[2]);
    const Cell* args[3] = {arg1, arg2, arg3};
    for (int k = 0; k < 3; k++)
        if (args[k]) a[k] = *args[k];
    int32_t cat = static_cast<int32_t>(category);
    Cell word{TYPE_WORD, 0, 0, 0};
    GcRootCell keep_word(&word);
    word_from_cstring(&word, id);
    int32_t pos = find_id(cat, &word);
    error_new(out);
    if (pos < 0) {
        set_identity(out, static_cast<int32_t>(ErrCat::Internal),
                     find_id(static_cast<int32_t>(ErrCat::Internal), &g_words.invalid_error));
        set_field(out, ERR_ARG1, &word);
    } else {
        set_identity(out, cat, pos);
        set_arguments(out, arg1 ? &a[0] : nullptr, arg2 ? &a[1] : nullptr, arg3 ? &a[2] : nullptr);
    }
    set_near(out);
    return out;
}

void error_set_where(const Cell* error, const Cell* value) {
    if (!bare(error) && field(error, ERR_WHERE)->is(TYPE_NONE)) set_field(error, ERR_WHERE, value);
}

uint32_t error_get_type(const Cell* error) {
    if (bare(error)) return 0;
    const Cell* w = field(error, ERR_TYPE);
    return word_type_q(w->type()) ? w->data2 : 0;
}

uint32_t error_get_id(const Cell* error) {
    if (bare(error)) return 0;
    const Cell* w = field(error, ERR_ID);
    return word_type_q(w->type()) ? w->data2 : 0;
}

void error_list_calls(uint32_t depth, Cell* out) {
    StackTop scope;
    Cell* calls = block_push_only(20);
    struct State {
        Cell* block;
    } state{calls};
    stack_list_calls(depth <= stack_depth() ? g_stack.frame_bottom + depth : nullptr,
                     [](void* s, const CallFrame& f) {
                         Cell word{TYPE_WORD, f.word_ctx, f.symbol, kWordUnresolved};
                         block_append_value(static_cast<State*>(s)->block, &word);
                     },
                     &state);
    copy_cell(calls, out);
}

void error_set_stack(const Cell* error_in, const Cell* calls_in) {
    if (!error_in->is(TYPE_ERROR) || bare(error_in) || !field(error_in, ERR_STACK)->is(TYPE_INTEGER)) return;
    StackTop scope;
    Cell* error = stack_push(error_in);
    Cell* calls = stack_push_cell();
    if (calls_in) copy_cell(calls_in, calls);
    else error_list_calls(field(error, ERR_STACK)->data2, calls);
    set_field(error, ERR_STACK, calls);
    if (g_error_source_files) {
        Cell* files = stack_push_cell();
        if (g_error_source_files(files) && !files->is(TYPE_NONE)) {
            Cell* copy = block_clone(files, false, false);
            set_field(error, ERR_FILES, copy);
        }
    }
}

Cell* error_make(Cell* proto, Cell* spec_in, int32_t type) {
    (void)proto;
    (void)type;
    Cell* result = stack_push_cell();
    Cell* spec = stack_push(spec_in);
    error_new(result);
    switch (spec->type()) {
    case TYPE_INTEGER: {
        int32_t code = static_cast<int32_t>(spec->data2);
        int32_t cat = code / 100;
        uint32_t categories = context_words_count(g_error_catalog.data1);
        if (code < 0 || static_cast<uint32_t>(cat) >= categories) error_raise(ErrCat::Script, "out-of-range", spec);
        int32_t pos = code % 100 + 2;
        Cell category = category_object(cat);
        if (!category.is(TYPE_OBJECT) || static_cast<uint32_t>(pos) >= context_words_count(category.data1))
            error_raise(ErrCat::Script, "out-of-range", spec);
        set_identity(result, cat, pos);
        break;
    }
    case TYPE_BLOCK:
        identity_from_block(result, spec);
        break;
    case TYPE_STRING: {
        Cell s = *spec;
        int32_t user = static_cast<int32_t>(ErrCat::User);
        set_identity(result, user, 2);
        set_field(result, ERR_ARG1, &s);
        break;
    }
    default: {
        Cell dt;
        datatype_set(&dt, TYPE_ERROR);
        error_raise(ErrCat::Script, "bad-make-arg", &dt, spec);
    }
    }
    set_near(result);
    g_stack.top = result + 1;
    return result;
}

// ---- actions -------------------------------------------------------------------------

int32_t error_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit) {
    (void)part;
    uint32_t before = string_length(buffer);
    StackTop scope;
    Cell* error = stack_push(value);
    if (bare(error)) {
        append_ascii(buffer, "*** ");
        append_ascii(buffer, error_catalog_category(static_cast<int>(error->data2 % kErrorCategoryCount)).title);
        append_ascii(buffer, ": ");
        append_ascii(buffer, "(no details)");
    } else {
        form_report(error, buffer);
    }
    return limit - static_cast<int32_t>(string_length(buffer) - before);
}

int32_t error_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                   int32_t indent) {
    if (!bare(value) && cycles_find(value->data1)) {
        string_append_ascii(buffer, "make error! [...]", 17);
        return limit - 17;
    }
    if (!only) {
        string_append_ascii(buffer, "make error! [", 13);
        limit -= 13;
    }
    if (!bare(value)) limit = object_mold_fields(value, buffer, only, all, flat, part, limit, true, indent + 1, true);
    if (!flat && indent >= 1 && !only) limit = mold_indent(buffer, indent, limit);
    if (!only) {
        string_append_char(buffer, ']');
        limit--;
    }
    return limit;
}

Cell* error_eval_path(Cell* parent, Cell* element, Cell* value, const EvalPathArgs& args) {
    if (bare(parent)) error_raise(ErrCat::Script, "invalid-path", args.path ? args.path : element, element);
    return object_eval_path(parent, element, value, args);
}

int32_t error_compare(const Cell* value1, const Cell* value2, int32_t op) {
    if (!value2->is(TYPE_ERROR)) return kCompareIncomparable;
    if (bare(value1) || bare(value2)) return value1->data2 == value2->data2 ? 0 : 1;
    return object_compare(value1, value2, op);
}

void error_print(const Cell* value) {
    StackTop scope;
    Cell* error = stack_push(value);
    Cell* text = stack_push_cell();
    string_make(text, 256, 1);
    try {
        error_form(error, text, nullptr, kNoPartLimit);
    } catch (const KelThrow&) {
        // A value in the report that has no mold or form (a tag! in the
        // near block): the report keeps what stood before it. Raising here
        // would escape every handler and end the process.
        string_append_char(text, '?');
    }
    if (g_print_hooks.count) {
        output_hooks_call(text, true);
    } else {
        const SeriesBuf* buf = node_buffer(text->data2);
        console_write_units(buf->head_ptr(), buf->used_bytes(), buf->unit(), true);
    }
}

int error_report_uncaught(const KelThrow& t) {
    StackTop scope;
    Cell* error = stack_push_cell();
    if (t.code == EXIT_ERROR) error_value_from_throw(t, error);
    else build_thrown_error(t, error);
    error_print(error);
    return kUncaughtErrorStatus;
}

// ---- start-up ---------------------------------------------------------------------------

void error_init() {
    TypeRow(TYPE_ERROR)
        .set<ACT_MAKE>(error_make)
        .set<ACT_FORM>(error_form)
        .set<ACT_MOLD>(error_mold)
        .set<ACT_EVAL_PATH>(error_eval_path)
        .set<ACT_COMPARE>(error_compare)
        .inherit({ACT_REFLECT, ACT_COPY, ACT_FIND, ACT_SELECT})
        .commit();
    gc_set_type_marker(TYPE_ERROR, object_gc_mark);
    gc_add_root_callback(mark_roots);
}

void error_catalog_init() {
    error_catalog_make(&g_error_catalog);
    Cell* proto = &g_error_proto;
    object_make_from_context(proto, kErrorFieldCount);
    Cell none{TYPE_NONE, 0, 0, 0};
    for (uint32_t i = 0; i < kErrorFieldCount; i++) {
        Cell word{TYPE_WORD, 0, 0, 0};
        context_set_or_append(proto->data1, word_from_cstring(&word, kFieldNames[i]), &none);
    }
    object_make_at(proto, proto->data1, kErrorClassId, 0, TYPE_ERROR);
    g_error_value_builder = build_thrown_error;
}

void error_catalog_use(const Cell* errors) {
    if (errors->is(TYPE_OBJECT)) g_error_catalog = *errors;
}

}  // namespace kel
