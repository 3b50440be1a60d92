// Fuzz target for PARSE: the input bytes drive a small generator of Kel
// programs, each a random rule block (every rule form and keyword, nested
// blocks, counts, captures, edits, parens, errors on purpose) run by `parse`
// over a random string (of one, two or four bytes a character, with letters
// whose case partners are wider or narrower) or block. Nothing may crash, hang or leave the work
// stacks or the evaluation stack unbalanced; errors are expected.
//
// Termination: forms that may loop or grow the input for ever (`while`,
// `insert`, `change`, a rule that names itself) are generated only for runs
// with a trace callback that stops the run after a budget of events. Runs
// without it use forms that always end, over short inputs.
//
// The collector runs as it would in a program.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "runtime/gc.h"
#include "tests/fuzz/fuzz_gen.h"
#include "tests/unit/parse_support.h"

using namespace kel;

namespace {

using fuzz::Gen;

void setup() {
    test::parse_test_init();
    test::define_charset("digit", "0123456789");
    test::define_charset("latin", "a\xB5\xE9\xFF");
    test::define_charset("nondigit", "0123456789", true);
    g_gc_enabled = true;
}

const char* const kLiterals[] = {R"("a")", R"("b")", R"("ab")", R"("")", R"(#"a")", R"(#"b")", R"(#",")",
                                 "<t>", "'a", "'b", "digit", "quote 1", "quote a", "quote [a b]", "#(none)",
                                 // letters outside ASCII, with the ones whose case partner is wider or is ASCII
                                 R"~(#"^(E9)")~", R"~("^(C9)")~", R"~(#"^(FF)")~", R"~(#"^(178)")~", R"(#"s")", R"~(#"^(17F)")~",
                                 R"("k")", R"~(#"^(212A)")~", R"~(#"^(B5)")~", R"~(#"^(3BC)")~", R"~("^(1F600)")~", "latin",
                                 "nondigit"};
const char* const kAtoms[] = {"skip", "end", "none", "fail", "break", "reject", "|", "p:", ":p", "to end",
                              "thru end", "integer!", "word!", "string!", "block!", "(n: add n 1)", "(p: none)",
                              "if (true)", "if (none)", "keep (1)", "keep pick ([1 2])", "remove p", "x/y",
                              "undefined-word", "(1 / 0)", "(break)"};
const char* const kModifiers[] = {"any", "some", "opt", "not", "ahead", "to", "thru", "copy v", "set v",
                                  "collect", "collect set v", "collect into buf", "collect after sbuf", "keep",
                                  "keep pick", "remove", "into", "case c", "case d", "0", "1", "2", "0 2", "1 3"};
// Forms that may loop or grow the input: the first three take a rule (and
// change its replacement), the rest are whole.
const char* const kUnsafe[] = {"while", "change", "change only", "insert \"z\"", "insert only [z]", "insert p \"z\"",
                               "change p \"y\"", "change only p [y]", "r", "(parse \"aa\" [some \"a\"])"};

void rule(Gen& g, std::string& out, int depth, bool unsafe);

void rules(Gen& g, std::string& out, int depth, bool unsafe) {
    uint32_t count = 1 + g.pick(depth == 0 ? 8 : 4);
    for (uint32_t k = 0; k < count && g.i < g.n; k++) {
        rule(g, out, depth, unsafe);
        out += ' ';
    }
}

void rule(Gen& g, std::string& out, int depth, bool unsafe) {
    uint32_t kind = g.pick(depth >= 4 ? 2 : 5);
    switch (kind) {
    case 0: out += kLiterals[g.pick(std::size(kLiterals))]; return;
    case 1: out += kAtoms[g.pick(std::size(kAtoms))]; return;
    case 2: case 3: {
        const char* m = kModifiers[g.pick(std::size(kModifiers))];
        if (unsafe && g.pick(4) == 0) {
            m = kUnsafe[g.pick(std::size(kUnsafe))];
            out += m;
            if (std::string(m).find_first_of("\"[(") == std::string::npos && m[0] != 'r') {
                out += ' ';
                rule(g, out, depth + 1, unsafe);
                if (std::string(m).starts_with("change")) out += g.pick(2) ? R"( "y")" : " [y]";
            }
            return;
        }
        out += m;
        out += ' ';
        rule(g, out, depth + 1, unsafe);
        return;
    }
    default:
        out += '[';
        rules(g, out, depth + 1, unsafe);
        out += ']';
        return;
    }
}

std::string input_value(Gen& g) {
    if (g.pick(2)) {
        // One text in four draws from letters past ASCII too, so that the
        // input is stored two or four bytes a character as well as one.
        static const char* const kChars[] = {"a", "b", ",", "1", "<", "t", ">", " ", "A", "s", "k",
                                             "^(E9)", "^(C9)", "^(FF)", "^(B5)", "^(178)", "^(17F)",
                                             "^(212A)", "^(3BC)", "^(39C)", "^(1F600)"};
        uint32_t alphabet = g.pick(4) ? 11 : std::size(kChars);
        std::string s = "\"";
        uint32_t len = g.pick(17);
        for (uint32_t k = 0; k < len; k++) s += kChars[g.pick(alphabet)];
        return s + "\"";
    }
    static const char* const kItems[] = {"a", "b", "1", "2", R"("a")", R"("ab")", "[a b]", "[1 [2]]", R"(#"a")", "'a",
                                         R"~("^(C9)")~", R"~(#"^(17F)")~"};
    std::string b = "[";
    uint32_t len = g.pick(9);
    for (uint32_t k = 0; k < len; k++) {
        b += kItems[g.pick(std::size(kItems))];
        b += ' ';
    }
    return b + "]";
}

void check(bool ok) {
    if (!ok) std::abort();
}

// Loads and runs a program on this thread: the generated programs nest only
// a few levels, well within the fuzzer's own stack.
void run(const std::string& text) {
    Cell block{TYPE_NONE, 0, 0, 0}, out{TYPE_NONE, 0, 0, 0};
    GcRootCell root(&block);
    lexer_scan_utf8(&block, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()), false,
                    true, true, false, nullptr, nullptr, nullptr, nullptr);
    interp_do_block(&block, &out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (setup(), true);
    (void)ready;
    Gen g{data, size};
    uint32_t flags = g.byte();
    bool traced = flags & 1;
    std::string program = "n: 0 p: none v: none c: true d: false k: 0 buf: copy [] sbuf: copy \"\"\n";
    program += "cb: func [e m rr i s] [k: add k 1 lesser? k 400]\n";
    std::string input = input_value(g);
    program += "inp: " + input + "\nr: [";
    rules(g, program, 0, traced);
    program += "]\nparse";
    if (flags & 2) program += "/case";
    if (flags & 4) program += "/part";
    if (traced) program += "/trace";
    program += " inp r";
    // The /part limit: a count, or (for the top value of the bits) a position in the input.
    if (flags & 4) program += (flags >> 4) == 15 ? " next inp" : " " + std::to_string(int(flags >> 4) - 4);
    if (traced) program += " :cb";
    try {
        run(program);
    } catch (const KelThrow&) {
    }
    check(parse_rule_stack_depth() == 0 && parse_input_stack_depth() == 0);
    check(g_stack.top == g_stack.data_bottom && g_stack.frame_top == g_stack.frame_bottom);
    check(g_thrown == 0);
    return 0;
}
