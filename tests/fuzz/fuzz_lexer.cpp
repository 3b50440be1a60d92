// Fuzz target for the lexer: any bytes, in every mode, must scan without a
// crash, an out-of-bounds read or a hang; bad text may only raise syntax
// errors; what loads is a well-formed tree of values and the consumed length
// never passes the input.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/datatype.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/register.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/lexer.h"
#include "runtime/lexer_values.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"

using namespace kel;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// Constructors that write plain cells of the literal's type, so that every
// loader runs to its end.
void install_constructors() {
    LexerConstructors& k = g_lexer_constructors;
    k.make_date = [](Cell* out, const LexerDate& d) {
        check(d.year >= -9999 && d.year <= 9999);
        cell_set(out, TYPE_DATE);
    };
    k.make_time = [](Cell* out, double) { cell_set(out, TYPE_TIME); };
    k.make_money = [](Cell* out, const LexerMoney& m) {
        check(m.whole_len <= 17 && m.fraction_len <= 5);
        cell_set(out, TYPE_MONEY);
        return true;
    };
    k.make_tuple = [](Cell* out, const uint8_t*, uint32_t n) {
        check(n >= 3 && n <= 12);
        cell_set(out, TYPE_TUPLE);
    };
    k.make_pair = [](Cell* out, int32_t, int32_t) { cell_set(out, TYPE_PAIR); };
    k.make_point = [](Cell* out, uint32_t n, const float*) {
        check(n == 2 || n == 3);
        cell_set(out, n == 3 ? TYPE_POINT3D : TYPE_POINT2D);
    };
    k.make_percent = [](Cell* out, double) { cell_set(out, TYPE_PERCENT); };
    k.make_binary = [](Cell* out, const uint8_t*, uint32_t) { cell_set(out, TYPE_BINARY); };
    k.make_map = [](Cell* out, const Cell* block) {
        check(node_buffer(block->data2)->used_bytes() % 32 == 0);
        cell_set(out, TYPE_MAP);
    };
}

// The memory the runtime needs, made again after everything was freed.
void runtime_up() {
    if (!g_memory.node_frames_head) node_frame_make(kNodeFrameCapacity);
    if (!g_memory.series_frames_head) series_frame_make();
    symbols_init();
    context_global_init();
    typenames_init(word_global_symbol);
    words_init();
    words_init_refinements();
    words_init_issue();
    symctx_owners_init();
}

void runtime_reset() {
    memory_free_all();
    g_symbol_table = 0;
    g_global_context = 0;
    g_owners_table = 0;
    runtime_up();
}

// Every loaded value is a real type; blocks nest properly.
void walk(const Cell* block, int depth) {
    check(depth < 100000);
    SeriesBuf* b = node_buffer(block->data2);
    check(b->unit() == 16 && b->used_bytes() % 16 == 0);
    for (const Cell* c = arena_at<Cell>(b->head); c < arena_at<Cell>(b->tail); c++) {
        uint32_t t = c->type();
        check(t >= TYPE_DATATYPE && t <= kTypeCount && t != TYPE_TRIPLE);
        if (t == TYPE_BLOCK || t == TYPE_PAREN || (t >= TYPE_PATH && t <= TYPE_GET_PATH)) walk(c, depth + 1);
        if (t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL || t == TYPE_REF)
            check(node_buffer(c->data2)->unit() <= 4);
    }
}

void expect_syntax(const KelThrow& t) { check(t.category == ErrCat::Syntax); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = false;
    if (!ready) {
        memory_init();
        stack_init();
        datatypes_register_core();
        runtime_up();
        lexer_init();
        install_constructors();
        ready = true;
    }
    if (size > (1u << 16)) return 0;
    // No collector here: drop everything now and then.
    static uint32_t runs = 0;
    if (++runs % 256 == 0) runtime_reset();

    // Exact-size copy so that any read past the input trips the sanitizer.
    std::vector<uint8_t> copy(data, data + size);
    const uint8_t* bytes = copy.data();
    uint32_t n = static_cast<uint32_t>(size);

    Cell out{TYPE_NONE, 0, 0, 0};
    uint32_t used = 0;
    try {
        lexer_scan_utf8(&out, bytes, n, false, true, true, false, &used, nullptr, nullptr, nullptr);
        check(out.is(TYPE_BLOCK) && used <= n);
        walk(&out, 0);
    } catch (const KelThrow& t) {
        expect_syntax(t);
    }
    check(lexer_active_scans() == 0);

    // Value by value with /next: each step moves on, and the steps end.
    uint32_t at = 0;
    for (int steps = 0; at < n && steps < 100000; steps++) {
        try {
            used = 0;
            lexer_scan_utf8(&out, bytes + at, n - at, true, true, true, false, &used, nullptr, nullptr, nullptr);
        } catch (const KelThrow& t) {
            expect_syntax(t);
            break;
        }
        check(used <= n - at);
        if (used == 0) break;
        at += used;
    }

    // Classifying never raises.
    for (bool prescan : {false, true}) {
        used = 0;
        int32_t t = lexer_scan_utf8(&out, bytes, n, !prescan, !prescan, prescan, false, &used, nullptr, nullptr,
                                    nullptr);
        check(t >= 0 && t <= kTypeCount && used <= n);
    }

    // The same text as a string value (invalid UTF-8 became U+FFFD).
    Cell str;
    string_make(&str, n ? n : 1, 1);
    string_append_utf8(&str, reinterpret_cast<const char*>(bytes), n);
    try {
        used = 0;
        lexer_load_string(&out, &str, -1, false, true, true, false, &used, nullptr, nullptr);
        check(used <= string_length(&str));
        walk(&out, 0);
    } catch (const KelThrow& t) {
        expect_syntax(t);
    }
    check(lexer_active_scans() == 0);
    return 0;
}
