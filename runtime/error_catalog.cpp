// The error catalogue as data, and the catalogue object built from it.
//
// Positions are codes: never reorder or insert, only append at the end of a
// category. A few entries exist only to keep the positions that scripts
// rely on (syntax `bad-header`, internal `bad-path`, `not-here`,
// `feature-na`); nothing raises them yet.
#include "runtime/error_catalog.h"

#include <cstring>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/stack.h"

namespace kel {

namespace {

const ErrorIdEntry kThrowIds[] = {
    {"break", "no loop to break"},
    {"return", "return or exit not in function"},
    {"throw", "no catch for throw: :arg1"},
    {"continue", "no loop to continue"},
    {"while-cond", "BREAK/CONTINUE cannot be used in WHILE condition block"},
};

const ErrorIdEntry kSyntaxIds[] = {
    {"invalid", ":arg1 invalid :arg2 at :arg3"},
    {"missing", ":arg1 missing :arg2 at :arg3"},
    {"no-header", "script is missing a Kel header: :arg1"},
    {"bad-header", "script header is not valid: :arg1"},
    {"bad-char", ":arg1 invalid character at :arg2"},
    {"malconstruct", ":arg1 invalid construction spec at :arg2"},
};

const ErrorIdEntry kScriptIds[] = {
    {"no-value", ":arg1 has no value"},                                          // 300
    {"need-value", ":arg1 needs a value"},
    {"not-defined", ":arg1 word is not bound to a context"},
    {"not-in-context", "context for :arg1 is not available"},
    {"no-arg", ":arg1 is missing its :arg2 argument"},
    {"expect-arg", ":arg1 does not allow :arg2 for its :arg3 argument"},       // 305
    {"expect-val", "expected :arg1 not :arg2"},
    {"missing-arg", "missing a required argument or refinement"},
    {"cannot-use", "cannot use :arg1 on :arg2 value"},
    {"invalid-arg", "invalid argument: :arg1"},
    {"invalid-type", ":arg1 type is not allowed here"},                          // 310
    {"invalid-type-spec", "invalid type specifier: :arg1"},
    {"invalid-compare", "cannot compare :arg1 with :arg2"},
    {"invalid-part", "invalid /part count: :arg1"},
    {"no-op-arg", ":arg1 operator is missing an argument"},
    {"no-return", "block did not return a value"},                               // 315
    {"invalid-data", "data not in correct format: :arg1"},
    {"invalid-char", "invalid character in: :arg1"},
    {"not-same-type", "values must be of the same type"},
    {"not-same-class", "cannot coerce :arg1 to :arg2"},
    {"not-related", "incompatible argument for :arg1 of :arg2"},                 // 320
    {"bad-func-def", "invalid function definition: :arg1"},
    {"bad-func-arg", "function argument :arg1 is not valid"},
    {"bad-func-extern", "invalid /extern value: :arg1"},
    {"no-refine", ":arg1 has no refinement called :arg2"},
    {"bad-refines", "incompatible or invalid refinements"},                     // 325
    {"bad-refine", "invalid refinement value: :arg1"},
    {"dup-refine", "duplicate refinement usage in: :arg1"},
    {"word-first", "path must start with a word: :arg1"},
    {"empty-path", "cannot evaluate an empty path value"},
    {"unset-path", ":arg2 is unset in path :arg1"},                              // 330
    {"invalid-path", "cannot access :arg2 in path :arg1"},
    {"invalid-path-set", "unsupported type in :arg1 set-path"},
    {"invalid-path-get", "unsupported type in :arg1 get-path"},
    {"bad-path-type", "path :arg1 is not valid for :arg2 type"},
    {"bad-path-type2", ":arg1 is not valid for :arg2 type"},                     // 335
    {"bad-path-set", "cannot set :arg2 in path :arg1"},
    {"bad-field-set", "cannot set :arg2 field to :arg1 datatype"},
    {"dup-vars", "duplicate variable specified: :arg1"},
    {"past-end", "out of range or past end"},
    {"too-long", "content too long"},                                            // 340
    {"out-of-range", "value out of range: :arg1"},
    {"invalid-chars", "contains invalid characters"},
    {"invalid-key-type", "datatype not allowed as key: :arg1"},
    {"protected", "protected value or series - cannot modify"},
    {"invalid-refine-arg", "invalid :arg1 argument: :arg2"},                     // 345
    {"type-limit", ":arg1 overflow/underflow"},
    {"invalid-obj-evt", "invalid object event handler: :arg1"},
    {"bad-op-spec", "making an op! requires a function with only 2 arguments"},
    {"bad-loop-series", "loop series changed to invalid value: :arg1"},
    {"move-bad", "cannot MOVE elements from :arg2 to :arg1"},                    // 350
    {"bad-denom", "invalid denomination: :arg1"},
    {"kb-invalid-record", "Kelbin: invalid record at position :arg1"},
    {"bad-make-arg", "cannot MAKE :arg1 from: :arg2"},
    {"bad-to-arg", "cannot MAKE/TO :arg1 from: :arg2"},
    {"invalid-months", "invalid system/locale/month list"},                      // 355
    {"invalid-spec-field", "invalid :arg1 field in spec block"},
    {"parse-rule", "PARSE - invalid rule or usage of rule: :arg1"},
    {"parse-end", "PARSE - unexpected end of rule after: :arg1"},
    {"parse-invalid-ref", "PARSE - get-word refers to a different series! :arg1"},
    {"parse-block", "PARSE - input must be of any-block! type: :arg1"},          // 360
    {"parse-unsupported", "PARSE - matching by datatype not supported for any-string! input"},
    {"wrong-denom", ":arg1 not same denomination as :arg2"},
    {"parse-keep", "PARSE - KEEP is used without a wrapping COLLECT"},
    {"parse-into-bad", "PARSE - COLLECT INTO/AFTER cannot use the input series as target"},
    {"parse-into-type", "PARSE - COLLECT INTO/AFTER expects a series! of compatible datatype"},  // 365
    {"parse-stack", "PARSE - stack limit reached"},
    {"not-linked", "VIEW - face not linked to a window"},
    {"react-bad-func", "REACT - /LINK option requires a function! as argument"},
    {"react-not-enough", "REACT - reactive functions must accept at least 2 arguments"},
    {"react-no-match", "REACT - objects block length must match reaction function arg count"},  // 370
    {"react-bad-obj", "REACT - target can only contain object values"},
    {"react-gctx", "REACT - word :arg1 is not a reactor's field"},
    {"face-type", "VIEW - invalid face type: :arg1"},
    {"not-window", "VIEW - expected a window root face"},
    {"draw-invalid", "DRAW - invalid input at: :arg1"},                          // 375
    {"draw-infinite", "DRAW - infinite recursion at: :arg1"},
    {"invalid-facet-type", "VIEW - invalid rate value: :arg1"},
    {"bad-window", "VIEW - a window face cannot be nested in another window"},
    {"vid-invalid-syntax", "VID - invalid syntax at: :arg1"},
    {"rtd-invalid-syntax", "RTD - invalid syntax at: :arg1"},                    // 380
    {"rtd-no-match", "RTD - opening/closing tag not matching for: :arg1"},
    {"not-event-type", "VIEW - not a valid event type :arg1"},
};

const ErrorIdEntry kMathIds[] = {
    {"zero-divide", "attempt to divide by zero"},
    {"overflow", "math or number overflow"},
};

const ErrorIdEntry kAccessIds[] = {
    {"cannot-open", "cannot open: :arg1"},
    {"no-create", "cannot create: :arg1"},
    {"no-connect", "cannot connect: :arg1"},
    {"no-scheme", "missing port scheme: :arg1"},
    {"unknown-scheme", "scheme is unknown: :arg1"},
    {"invalid-port", "invalid port object (invalid field values)"},
    {"invalid-actor", "invalid port actor (must be handle or object)"},
    {"no-codec", "cannot decode or encode (no codec): :arg1"},
    {"bad-media", "bad media data (corrupt image, sound, video)"},
    {"invalid-utf8", "invalid UTF-8 encoding: :arg1"},
    {"no-port-action", "this port does not support that action"},
};

const ErrorIdEntry kUserIds[] = {
    {"message", ":arg1"},
};

const ErrorIdEntry kInternalIds[] = {
    {"bad-path", "bad path: :arg1"},
    {"not-here", ":arg1 not supported on your system"},
    {"no-memory", "not enough memory"},
    {"no-cycle", "circular reference not allowed"},
    {"stack-overflow", "stack overflow"},
    {"wrong-mem", "failed to release memory"},
    {"too-deep", "block or paren series is too deep to process"},
    {"deprecated", ":arg1 is DEPRECATED, please use :arg2 instead"},
    {"routines", "routines require compilation, from OS shell: `kel -r <script.kel>`"},
    {"not-done", "reserved for future use (or not yet implemented)"},
    {"invalid-error", "invalid error object field value: :arg1"},
    {"feature-na", "feature not available"},
    {"kel-system", "contains Kel/System code which requires compilation"},
};

template <size_t N> constexpr uint32_t count_of(const ErrorIdEntry (&)[N]) { return N; }

const ErrorCategoryEntry kCategories[kErrorCategoryCount] = {
    {"throw", "Throw Error", kThrowIds, count_of(kThrowIds)},
    {"note", "note", nullptr, 0},
    {"syntax", "Syntax Error", kSyntaxIds, count_of(kSyntaxIds)},
    {"script", "Script Error", kScriptIds, count_of(kScriptIds)},
    {"math", "Math Error", kMathIds, count_of(kMathIds)},
    {"access", "Access Error", kAccessIds, count_of(kAccessIds)},
    {"reserved1", "Reserved1 Error", nullptr, 0},
    {"reserved2", "Reserved2 Error", nullptr, 0},
    {"user", "User Error", kUserIds, count_of(kUserIds)},
    {"internal", "Internal Error", kInternalIds, count_of(kInternalIds)},
};

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// The argument number of a token ":arg1" .. ":arg3" at `p` (ended by a
// blank or the end), or 0.
int arg_token(const char* p) {
    if (p[0] != ':' || std::strncmp(p + 1, "arg", 3) != 0) return 0;
    if (p[4] < '1' || p[4] > '3') return 0;
    return p[5] == '\0' || blank(p[5]) ? p[4] - '0' : 0;
}

Cell* append_text(Cell* block, std::string_view text) {
    Cell s;
    string_make(&s, static_cast<uint32_t>(text.size() + 1), 1);
    Cell* slot = block_append_value(block, &s);
    Cell str = *slot;
    string_append_utf8(&str, text.data(), text.size());
    return slot;
}

// The template value of a message: a string!, or a block! of strings and
// get-words. Written into `out`, which must be rooted.
void make_template(const char* message, Cell* out) {
    ErrorMessagePiece pieces[16];
    bool has_args = false;
    uint32_t n = error_message_pieces(message, pieces, 16, &has_args);
    if (!has_args) {
        string_make(out, static_cast<uint32_t>(std::strlen(message) + 1), 1);
        string_append_utf8(out, message, std::strlen(message));
        return;
    }
    block_make_at(out, static_cast<int32_t>(n));
    for (uint32_t i = 0; i < n; i++) {
        if (pieces[i].arg) {
            char name[5] = {'a', 'r', 'g', static_cast<char>('0' + pieces[i].arg), 0};
            word_append_cstring(out, name, TYPE_GET_WORD);
        } else {
            append_text(out, pieces[i].text);
        }
    }
}

}  // namespace

const ErrorCategoryEntry& error_catalog_category(int index) { return kCategories[index]; }

int error_catalog_find_category(std::string_view word) {
    for (int i = 0; i < kErrorCategoryCount; i++)
        if (word == kCategories[i].word) return i;
    return -1;
}

int error_catalog_find_id(int category, std::string_view id) {
    if (category < 0 || category >= kErrorCategoryCount) return -1;
    const ErrorCategoryEntry& c = kCategories[category];
    for (uint32_t i = 0; i < c.count; i++)
        if (id == c.ids[i].id) return static_cast<int>(i);
    return -1;
}

int32_t error_catalog_code(ErrCat category, std::string_view id) {
    int cat = static_cast<int>(category);
    int pos = error_catalog_find_id(cat, id);
    return pos < 0 ? -1 : cat * 100 + pos;
}

uint32_t error_message_pieces(const char* message, ErrorMessagePiece* out, uint32_t max, bool* has_args) {
    uint32_t n = 0;
    *has_args = false;
    const char* p = message;
    const char* text = nullptr;  // start of the current text run
    const char* text_end = nullptr;
    auto flush = [&] {
        if (text && n < max) out[n++] = {std::string_view(text, static_cast<size_t>(text_end - text)), 0};
        text = nullptr;
    };
    while (*p) {
        if (blank(*p)) {
            p++;
            continue;
        }
        if (int arg = arg_token(p)) {
            flush();
            if (n < max) out[n++] = {std::string_view(), arg};
            *has_args = true;
            p += 5;
            continue;
        }
        const char* word_end = p;
        while (*word_end && !blank(*word_end)) word_end++;
        if (!text) text = p;
        text_end = word_end;
        p = word_end;
    }
    flush();
    return n;
}

Cell* error_catalog_make(Cell* out) {
    // Every object under construction stays on the evaluation stack.
    Cell* catalog = stack_push_cell();
    object_make_from_context(catalog, kErrorCategoryCount);
    catalog->data2 = object_new_id();
    Cell* category = stack_push_cell();
    Cell* value = stack_push_cell();
    for (int c = 0; c < kErrorCategoryCount; c++) {
        const ErrorCategoryEntry& entry = kCategories[c];
        object_make_from_context(category, entry.count + 2);
        category->data2 = object_new_id();
        Cell w{TYPE_WORD, 0, 0, 0};
        cell_set(value, TYPE_INTEGER, 0, static_cast<uint32_t>(c * 100));
        context_set_or_append(category->data1, word_from_cstring(&w, "code"), value);
        string_make(value, 16, 1);
        string_append_ascii(value, entry.title);
        context_set_or_append(category->data1, word_from_cstring(&w, "type"), value);
        for (uint32_t i = 0; i < entry.count; i++) {
            make_template(entry.ids[i].message, value);
            context_set_or_append(category->data1, word_from_cstring(&w, entry.ids[i].id), value);
        }
        object_make_at(category, category->data1, category->data2, 0);
        context_set_or_append(catalog->data1, word_from_cstring(&w, entry.word), category);
    }
    object_make_at(catalog, catalog->data1, catalog->data2, 0);
    copy_cell(catalog, out);
    stack_pop(3);
    return out;
}

}  // namespace kel
