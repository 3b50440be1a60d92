// do-file: runs a script file for `do`. Reads the file, finds its header,
// loads the text from there on and evaluates the values after the header
// block with the script's directory as the current directory. The directory
// is restored on every exit, errors included.
#include "library/do_file.h"

#include <vector>

#include "console/script.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/exits.h"
#include "runtime/gc.h"
#include "runtime/platform/files.h"
#include "runtime/spec_text.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"

namespace kel {

namespace {

Cell g_do_file_result = {TYPE_UNSET, 0, 0, 0};

class DirectoryGuard {
public:
    explicit DirectoryGuard(const std::string& dir) : saved_(files_current_dir()) {
        if (!dir.empty()) files_change_dir(dir);
    }
    ~DirectoryGuard() { files_change_dir(saved_); }
    DirectoryGuard(const DirectoryGuard&) = delete;
    DirectoryGuard& operator=(const DirectoryGuard&) = delete;

private:
    std::string saved_;
};

// Runs the script behind a try/all frame, so that a break, continue,
// return, exit or throw at its top level becomes an error there instead of
// leaving through the caller's loops, functions and catches; a throw named
// `console` ends the script with the thrown value.
void run_isolated(const std::string& text, const std::string& path) {
    Cell other{TYPE_NONE, 0, 0, 0};
    GcRootCell keep(&other);
    Cell console{TYPE_WORD, 0, 0, 0}, name{TYPE_WORD, 0, 0, 0};
    word_from_cstring(&console, "console");
    word_from_cstring(&name, "do-file");
    bool uncaught = false;
    {
        StackGuard guard;
        stack_mark(&name, FRAME_TRY_ALL);
        stack_mark(&name, FRAME_CATCH);
        uint32_t catcher = stack_frame_index(stack_current_frame());
        try {
            script_do_text(text, path, &g_do_file_result);
        } catch (const KelThrow& t) {
            if (t.code != EXIT_THROW || t.target != catcher) throw;
            // Nothing here allocates: the exception's cells are not roots.
            if (t.name.is(TYPE_WORD) && symbol_resolve(t.name.data2) == symbol_resolve(console.data2)) {
                g_do_file_result = t.value;
            } else {
                other = t.value;
                uncaught = true;
            }
        }
    }
    if (uncaught) error_raise(ErrCat::Throw, "throw", &other);
}

const Cell* do_file_code(Cell* const* args, uint32_t) {
    const Cell* file = args[0];
    if (!file->is(TYPE_FILE)) error_raise(ErrCat::Internal, "not-done");
    std::string path = file_os_path(file);
    std::vector<uint8_t> bytes;
    // A name the platform cannot hold (a NUL in it) would open another file.
    if (!file_os_path_usable(path) || !file_read_bytes(path, bytes)) error_raise(ErrCat::Access, "cannot-open", file);
    std::string text(bytes.begin(), bytes.end());
    if (script_find_header(text) < 0) error_raise(ErrCat::Syntax, "no-header", file);
    size_t slash = path.rfind('/');
    DirectoryGuard in_script_dir(slash == std::string::npos ? std::string() : path.substr(0, slash + 1));
    cell_set_unset(&g_do_file_result);
    run_isolated(text, path);
    return &g_do_file_result;
}

}  // namespace

void do_file_define() {
    static bool rooted = false;
    if (!rooted) {
        rooted = true;
        gc_add_root_callback([] { gc_mark_cells(&g_do_file_result, &g_do_file_result + 1); });
    }
    Cell spec;
    block_from_text("\"Internal Use Only\" file [file! url!] callback [function! none!] do-args", &spec);
    GcRootCell keep(&spec);
    uint32_t code = routine_register_cells(do_file_code);
    routine_push(&spec, nullptr, code, -1, true);
    Cell routine = *stack_top();
    stack_pop(1);
    Cell word{TYPE_WORD, 0, 0, 0};
    word_from_cstring(&word, "do-file");
    word_set(&word, &routine);
}

}  // namespace kel
