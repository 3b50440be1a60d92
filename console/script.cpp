// Scripts and the first console loop.
//
// A script is UTF-8 text whose header is "Kel" followed by blanks and "[";
// the text before the header is ignored. The loop collects lines until the
// lexer no longer reports an open block, paren or braced string, then loads
// and evaluates them and prints the result.
#include "console/script.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

#include "runtime/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/natives/sys_values.h"
#include "runtime/output.h"
#include "runtime/platform/console.h"
#include "runtime/platform/files.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"
#include "runtime/unicode.h"

namespace kel {

namespace {

bool blank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

void print_line(const std::string& text) {
    std::string line = text + "\n";
    console_write_raw(line.data(), static_cast<uint32_t>(line.size()));
}

// Loads UTF-8 text into a block (syntax errors propagate).
void load_text(const std::string& text, Cell* block) {
    lexer_scan_utf8(block, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()),
                    false, true, true, false, nullptr, nullptr, nullptr, nullptr);
}

bool has_system_header(const std::string& text) {
    for (size_t i = 0; i + 10 <= text.size(); i++)
        if (strncasecmp(text.c_str() + i, "Kel/System", 10) == 0) return true;
    return false;
}

// The cell after the word Kel (exact spelling) when it is a block, else null.
const Cell* header_block(const Cell* block) {
    Off node = block->data2;
    SeriesBuf* buf = node_buffer(node);
    const Cell* first = arena_at<Cell>(buf->head) + block->data1;
    const Cell* end = arena_at<Cell>(buf->tail);
    if (first + 1 >= end || !first->is(TYPE_WORD)) return nullptr;
    if (symbol_name(first->data2) != "Kel") return nullptr;
    return first[1].is(TYPE_BLOCK) ? first + 1 : nullptr;
}

void print_error_value(const Cell* error) { error_print(error); }

// Prints what reached the top level: an error's report, or a note for an
// exit that found no catching frame.
void report(const KelThrow& t) {
    if (t.value.is(TYPE_ERROR)) {
        print_error_value(&t.value);
    } else {
        error_report_uncaught(t);
    }
}

}  // namespace

long script_find_header(const std::string& text) {
    size_t pos = 0;
    while ((pos = text.find("Kel", pos)) != std::string::npos) {
        size_t i = pos + 3;
        if (text.compare(i, 7, "/System") == 0) i += 7;
        while (i < text.size() && blank(text[i])) i++;
        if (i < text.size() && text[i] == '[') return static_cast<long>(pos);
        pos++;
    }
    return -1;
}

void script_do_text(const std::string& text, const std::string& name, Cell* out) {
    long at = script_find_header(text);
    if (at < 0) error_raise(ErrCat::Syntax, "no-header");
    Cell code{TYPE_NONE, 0, 0, 0};
    GcRootCell keep(&code);
    load_text(text.substr(static_cast<size_t>(at)), &code);
    if (!header_block(&code)) {
        (void)name;
        if (has_system_header(text)) error_raise(ErrCat::Internal, "kel-system");
        error_raise(ErrCat::Syntax, "no-header");
    }
    code.data1 += 2;  // the values after the word Kel and its header block
    interp_do_block(&code, out);
}

int script_run_file(const std::string& path) {
    std::vector<uint8_t> bytes;
    // Read one byte past what a value holds, so that a device without end
    // (such as /dev/zero) is refused instead of filling memory.
    bool read = files_read(path, bytes, 0, static_cast<int64_t>(kSeriesMaxBytes) + 1);
    // The script runs in its own directory, so that the files it names by
    // relative paths are found wherever the program was started; with
    // --catch the loop stays there.
    size_t slash = path.rfind('/');
    if (slash != std::string::npos) files_change_dir(path.substr(0, slash + 1));
    if (!read) {
        print_line("*** Access Error: cannot open: %" + path);
        return 1;
    }
    if (bytes.size() > kSeriesMaxBytes) {
        print_line("*** Internal Error: not enough memory");
        return 1;
    }
    std::string text(bytes.begin(), bytes.end());
    long at = script_find_header(text);
    if (at < 0) {
        print_line("*** Error: Kel header not found!");
        return 1;
    }
    int status = 0;
    interp_run_on_big_stack([&] {
        Cell code{TYPE_NONE, 0, 0, 0};
        GcRootCell keep(&code);
        try {
            with_host_heap_errors([&] { load_text(text.substr(static_cast<size_t>(at)), &code); });
        } catch (const KelThrow& t) {
            report(t);
            status = 1;
            return;
        }
        if (!header_block(&code)) {
            print_line(has_system_header(text) ? "*** Error: contains Kel/System code which requires compilation!"
                                               : "*** Error: not a Kel program!");
            status = 1;
            return;
        }
        code.data1 += 2;
        Cell result{TYPE_UNSET, 0, 0, 0};
        GcRootCell keep_result(&result);
        try {
            interp_do_block(&code, &result);
        } catch (const KelThrow& t) {
            report(t);
            status = 1;
        }
    });
    return status;
}

namespace {

// When the input ended inside an open block, paren or braced string (more
// lines may complete it), the innermost open delimiter; else 0.
char incomplete_input(const KelThrow& t) {
    if (t.category != ErrCat::Syntax || !lexer_error_at_input_end()) return 0;
    if (t.id == "missing") {
        const Cell* want = &t.args[1];
        if (!want->is(TYPE_CHAR)) return 0;
        return want->data2 == ']' ? '[' : want->data2 == ')' ? '(' : 0;
    }
    if (t.id == "invalid") {
        const Cell* type = &t.args[1];
        const Cell* text = &t.args[2];
        if (type->is(TYPE_DATATYPE) && type->data1 == TYPE_STRING && text->is(TYPE_STRING) &&
            string_to_utf8(text).rfind('{', 0) == 0)
            return '{';
    }
    return 0;
}

void print_result(const Cell* result, bool interactive) {
    if (result->is(TYPE_UNSET)) return;
    Cell text;
    string_make(&text, 64, 1);
    GcRootCell keep(&text);
    int32_t width = 80;
    int32_t limit = width - 3;
    if (result->is(TYPE_FLOAT)) actions_form_call(result, &text, nullptr, interactive ? limit + 5 : kNoPartLimit);
    else actions_mold_call(result, &text, false, false, false, nullptr, interactive ? limit + 5 : kNoPartLimit, 0);
    if (interactive) console_fit_to_columns(&text, limit);
    print_line("== " + string_to_utf8(&text));
}

// Loads and evaluates one complete input. When more lines are needed, gives
// the innermost open delimiter (else 0).
char eval_input(const std::string& buffer, bool at_end, bool interactive) {
    char open = 0;
    interp_run_on_big_stack([&] {
        Cell code{TYPE_NONE, 0, 0, 0};
        GcRootCell keep(&code);
        try {
            with_host_heap_errors([&] { load_text(buffer, &code); });
        } catch (const KelThrow& t) {
            if (!at_end && (open = incomplete_input(t)) != 0) return;
            report(t);
            return;
        }
        Cell result{TYPE_UNSET, 0, 0, 0};
        GcRootCell keep_result(&result);
        try {
            interp_do_block(&code, &result);
        } catch (const KelThrow& t) {
            report(t);
            if (interactive) print_line("");
            return;
        }
        // Molding may fail too (a block nested too deep to mold, a value too
        // big for the host's memory): the error is reported in place of the
        // result.
        try {
            StackGuard guard;
            with_host_heap_errors([&] { print_result(&result, interactive); });
        } catch (const KelThrow& t) {
            report(t);
        }
    });
    return open;
}

}  // namespace

void console_fit_to_columns(Cell* text, int32_t limit) {
    const SeriesBuf* b = node_buffer(text->data2);
    uint32_t n = string_length(text);
    int32_t used = 0;
    uint32_t keep = 0;
    for (uint32_t i = 0; i < n; i++) {
        used += unicode_char_width(string_get_char_at(b, i));
        if (used > limit) {
            string_truncate(text, keep);
            string_append_ascii(text, "...");
            return;
        }
        if (used <= limit - 3) keep = i + 1;
    }
}

int console_first_loop(bool interactive, bool banner) {
    if (interactive && banner) {
        print_line("--== Kel " KEL_VERSION " ==--");
        print_line("Type HELP for starting information.");
        print_line("");
    }
    std::string buffer;
    std::string line;
    // While an input is open, the prompt is its innermost open delimiter
    // and four spaces.
    char open = 0;
    bool first_line = true;
    for (;;) {
        if (interactive) {
            std::string prompt = open ? std::string(1, open) + "    " : ">> ";
            console_write_raw(prompt.data(), prompt.size());
        }
        if (!std::getline(std::cin, line)) break;
        // Text saved with a UTF-8 byte-order mark reads as if it were absent.
        if (first_line && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        first_line = false;
        if (buffer.empty() && line.find_first_not_of(" \t\r") == std::string::npos) continue;
        buffer += line;
        buffer += '\n';
        open = eval_input(buffer, false, interactive);
        if (!open) buffer.clear();
    }
    // Input ended inside an open block: report it as the lexer sees it.
    if (!buffer.empty()) eval_input(buffer, true, interactive);
    return 0;
}

}  // namespace kel
