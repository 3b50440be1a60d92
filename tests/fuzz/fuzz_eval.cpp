// Fuzz target for the evaluator, the natives and the actions: the input
// bytes drive a generator of small Kel programs built from the words the
// runtime defines at start-up (every native and action with its interface
// read from the tables, the operators, the logic words), with arguments of
// every type the loader makes, half of them values of a type the callee's
// interface accepts, refinements attached at random (known ones
// with their arguments, unknown ones, too few arguments), set-words and
// set-paths, functions made by func/function/does/has, objects, and the
// control and exit natives. Each program is loaded and run through
// interp_do_block on the interpreter's big stack, as the kel program runs a
// script. Errors are expected; nothing may crash, hang, leave frames or
// cells behind, or leave an exit pending.
//
// Termination: every loop body, `while` condition and function body the
// generator writes starts with `fz-guard`, which counts and raises an error
// once the run's budget is spent, so that after the budget every loop and
// call ends at its next step, even inside `try`. Loop natives are called only
// in those shapes. Recursion without a base case ends in stack-overflow or at
// the budget. Traced runs go through do/trace with a callback that spends the
// same budget on every event.
//
// Size: the arena is capped a little above what start-up uses, so a program
// that grows a series without bound meets no-memory as a script error.
//
// Reproducibility: after each run every global word gets back the value it
// had after start-up (words made since become unset), and the random
// generator is seeded by the program.
#include <fcntl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/actions.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/word.h"
#include "runtime/dispatch.h"
#include "runtime/exits.h"
#include "runtime/gc.h"
#include "tests/fuzz/fuzz_gen.h"
#include "tests/fuzz/fuzz_run.h"
#include "tests/fuzz/fuzz_globals.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/natives.h"
#include "runtime/platform/console.h"
#include "runtime/platform/vm.h"
#include "runtime/stack.h"
#include "runtime/startup.h"

using namespace kel;

namespace {

using fuzz::Gen;

// A word the generator may call, with its arguments' accepted types read
// from its interface text (an empty list for an argument with no type block).
using Types = std::vector<std::string>;
struct Refinement {
    std::string name;
    std::vector<Types> args;
};
struct Callable {
    std::string name;
    std::vector<Types> args;
    std::vector<Refinement> refinements;
};
std::vector<Callable> g_callables;

// Reads an interface text: words before the first refinement are arguments,
// words after one belong to it; a type block after an argument gives its
// types; doc strings, return: and its block are skipped.
Callable read_interface(const char* name, const char* text) {
    Callable c{name, {}, {}};
    std::string s(text);
    Types* last = nullptr;  // the argument a following type block belongs to
    size_t i = 0;
    while (i < s.size()) {
        char ch = s[i];
        if (ch == ' ') { i++; continue; }
        if (ch == '[') {
            size_t start = i + 1;
            int depth = 0;
            do {
                if (s[i] == '[') depth++;
                if (s[i] == ']') depth--;
                i++;
            } while (i < s.size() && depth > 0);
            if (last) {
                std::string inner = s.substr(start, i - 1 - start), word;
                for (char k : inner + " ") {
                    if (k != ' ') word += k;
                    else if (!word.empty()) last->push_back(word), word.clear();
                }
            }
            last = nullptr;
            continue;
        }
        if (ch == '"') {
            i = s.find('"', i + 1);
            i = i == std::string::npos ? s.size() : i + 1;
            continue;
        }
        size_t end = s.find_first_of(" [", i);
        if (end == std::string::npos) end = s.size();
        std::string token = s.substr(i, end - i);
        i = end;
        last = nullptr;
        if (token.back() == ':') continue;  // return:
        if (token[0] == '/') c.refinements.push_back({token.substr(1), {}});
        else {
            std::vector<Types>& args = c.refinements.empty() ? c.args : c.refinements.back().args;
            args.emplace_back();
            last = &args.back();
        }
    }
    return c;
}

// Words left out of the generic calls: those that reach outside the process
// (files, processes, the environment, the clock's sleep), the loops, which
// the generator writes only in guarded shapes, and recycle, which it writes
// behind fz-collect (a full collection in every loop step makes a run slow).
bool excluded(const std::string& name) {
    static const char* const kOut[] = {"call",   "browse", "wait",   "set-env", "create", "close",  "delete",
                                       "open",   "open?",  "query",  "read",    "rename", "update", "write",
                                       "while",  "until",  "loop",   "repeat",  "forever", "foreach", "forall",
                                       "remove-each", "recycle"};
    for (const char* w : kOut)
        if (name == w) return true;
    return false;
}

void setup() {
    runtime_boot();
    for (int i = 1; i <= kNativeCount; i++) {
        const NativeInfo& info = native_info(i);
        if (info.name && *info.name && !excluded(info.name)) g_callables.push_back(read_interface(info.name, info.spec));
    }
    for (int slot = 1; slot <= kActionCount; slot++) {
        if (!action_dispatcher(static_cast<uint32_t>(slot)) || !*action_spec_text(slot)) continue;
        if (!excluded(action_name(slot))) g_callables.push_back(read_interface(action_name(slot), action_spec_text(slot)));
    }
    fuzz::quiet_output();
}

using fuzz::GlobalSnapshot;

// ---- values ------------------------------------------------------------------------------------

const char* const kVars[] = {"a", "b", "c", "d", "f", "g", "o", "s", "x", "y"};

const char* const kLiterals[] = {
    // integers, at and near the 32-bit edges
    "0", "1", "2", "3", "-1", "7", "255", "65536", "2147483647", "-2147483648", "2147483646", "-2147483647",
    "0FFh", "1'000",
    // floats, huge, tiny, signed zero, infinities and NaN
    "0.0", "-0.0", "1.5", "-2.5", "0.1", "1e308", "-1e308", "1.7976931348623157e308", "5e-324", "1e-310",
    "2.2250738585072014e-308", "2147483648.0", "-2147483649.0", "4294967296", "1.#INF", "-1.#INF", "1.#NaN",
    // chars
    "#\"a\"", "#\"Z\"", "#\"^(01)\"", "#\"^/\"", "#\" \"", "#\"^(E9)\"", "#\"^(FFFF)\"", "#\"^(10FFFF)\"", "#\"0\"",
    // strings
    "\"\"", "\"a\"", "\"ab\"", "\"abc\"", "\"A b\"", "\"^(E9)^(20AC)^(1D11E)\"", "\"x^/y\"", "\"1\"",
    "\"1.5\"", "\"[a b]\"", "\"a/b\"", "\"%41%\"", "\"a b c d e f g h\"", "{br {ace}}", "\"^(10FFFF)\"",
    // other strings and word-like values
    "#a", "#123", "%no-such-file", "%dir/", "http://x.y/z", "a@b.c", "<a>", "/part", "/x",
    // words of every kind
    "a", "'a", ":a", "'b", "'x", "'zz", "b", "x", "none", "true", "false", "#(none)", "#(true)", "#(false)",
    "#(unset!)", "'none", "'self",
    // paths
    "'a/b", "'x/1", "'o/a", "'a/1/2",
    // datatypes
    "integer!", "float!", "string!", "block!", "paren!", "word!", "set-word!", "lit-word!", "get-word!",
    "refinement!", "path!", "object!", "function!", "none!", "logic!", "char!", "issue!", "file!", "map!",
    "hash!", "bitset!", "typeset!", "error!", "datatype!", "unset!", "native!", "action!", "op!", "vector!",
    "binary!", "tag!", "url!", "email!", "symbol!", "context!", "image!", "pair!", "tuple!", "date!", "money!",
    // blocks and parens as data
    "[]", "[1 2 3]", "[a b c]", "[[1] [2 [3]]]", "[a: 1 b: 2]", "[a 1 b 2]", R"~(["a" "b"])~", "[x/y :z 'w /r]",
    "[1 + 2]", "[integer! string!]", "(1)", "(a)", "()", "[none]", "[3 1 2]",
    // source text for do, load and transcode
    "\"1 + 2\"", "\"[a\"", "\"a: 5 a * 2\"", "\"f: does [fz-guard f] f\"", "\"#(none) 'x /y\"",
    "{<t> a@b %f http://x #i /r 'l :g s: a/b/c 'a/b :a/b a/b: 1.5e3 #\"c\" {s} [b] (p) ; c^/}",
    "{#(true) #(integer!) #(unset!) ^^\"e^^(41)^^^^\" 1x2 1.2.3 $1 10% 1:2 2020-1-1 #{00} @r}",
};

// Integer counts for /dup, make and the like: allocation stays small.
const char* const kCounts[] = {"0", "1", "2", "3", "-1", "5"};

const char* const kOps[] = {"+", "-", "*", "/", "//", "%", "=", "<>", "==", "=?", "<", ">", "<=", ">=", "**",
                            "and", "or", "xor"};

const char* const kSpecs[] = {
    "[]", "[p]", "[p q]", "[p [integer!] q [string! block!]]", "[p /r q]", "[p /local q]", "['p :q]",
    "[p [any-type!]]", "[return: [integer!] p]", "[p /r /s q]", "[\"doc\" p [block!] \"arg doc\"]", "[/local p q]",
};

// Values by the type names interfaces use, for arguments written to fit
// their interface: mutable ones are copied, so that a native that changes
// its argument sees a fresh series each time the code runs.
struct TypedValues {
    const char* type;
    std::vector<const char*> values;
};
const TypedValues kTyped[] = {
    {"integer!", {"0", "1", "2", "3", "-1", "5", "16", "64", "255", "2147483647", "-2147483648"}},
    {"float!", {"0.0", "-0.0", "1.5", "-2.5", "0.1", "1e308", "5e-324", "1.#INF", "1.#NaN"}},
    {"char!", {"#\"a\"", "#\"Z\"", "#\" \"", "#\"^/\"", "#\"^(E9)\"", "#\"^(10FFFF)\"", "#\"0\""}},
    {"string!", {"copy \"\"", "copy \"abc\"", "s", "copy \"a b c a b c\"", "copy \"^(E9)^(20AC)^(1D11E)\"",
                 "copy \"  a^/b ^-c  \"", "copy \"ABC abc\"", "copy \"^(10FFFF)x\"", "\"[a 1]\"", "\"%41%20\"",
                 // long enough for the block-wise scans and the merging sort, one, two and four bytes a character
                 "append/dup copy \"\" \"zb^(E9)A\" 24", "append/dup copy \"\" \"b^(20AC)aZ\" 24",
                 "append/dup copy \"\" \"^(1D11E)y\" 40"}},
    {"file!", {"%no-such-file", "%dir/", "%a/b.c", "copy %x"}},
    {"url!", {"http://x.y/z", "copy http://a"}},
    {"tag!", {"<a>"}},
    {"email!", {"a@b.c"}},
    {"block!", {"copy []", "copy [1 2 3]", "b", "x", "copy [3 1 2]", "copy [a: 1 b: 2]", "copy [c b a]",
                "copy [\"b\" \"a\" \"B\"]", "copy/deep [1 [2 [3]]]", "copy [a 1 b 2]", "copy [1 none 2.5 #\"a\"]",
                "append/dup copy [] [3 1 2 0] 20", "append/dup copy [] [\"b\" 2 a \"A\" 1.5] 16"}},
    {"paren!", {"first [(1 2)]", "to paren! [a 1]"}},
    {"path!", {"'a/b", "'o/a", "'x/1"}},
    {"word!", {"'a", "'x", "'b", "'zz", "'self", "'none", "'md5", "'sha1", "'sha256", "'sha384", "'sha512", "'crc32",
               "'adler32", "'tcp", "'hash"}},
    {"set-word!", {"first [a:]"}},
    {"get-word!", {"first [:a]"}},
    {"refinement!", {"/part", "/x"}},
    {"issue!", {"#a"}},
    {"logic!", {"true", "false"}},
    {"none!", {"none"}},
    {"object!", {"o", "make object! [a: 1 b: [2]]", "make o [a: 2]"}},
    {"error!", {"make error! \"boom\"", "try [1 / 0]"}},
    {"function!", {":o/f", "func [p q] [fz-guard p]", "does [fz-guard 1]", "func [p [integer!] /r] [fz-guard p]"}},
    {"native!", {":add", ":append", ":lesser?", ":greater?", ":print", ":if"}},
    {"datatype!", {"integer!", "string!", "block!", "word!", "object!", "none!", "float!", "char!", "file!", "url!",
                   "logic!", "typeset!", "paren!", "path!", "error!", "datatype!", "set-word!", "binary!"}},
    {"typeset!", {"make typeset! [integer! string!]", "make typeset! [block! paren! word!]"}},
    {"binary!", {"to binary! \"ab\""}},
};
// The type families, by the member types they stand for.
const TypedValues kFamilies[] = {
    {"number!", {"integer!", "float!"}},
    {"scalar!", {"integer!", "float!", "char!"}},
    {"series!", {"string!", "block!", "file!", "paren!"}},
    {"any-string!", {"string!", "file!", "url!", "tag!", "email!"}},
    {"any-list!", {"block!", "paren!"}},
    {"any-block!", {"block!", "paren!", "path!"}},
    {"any-path!", {"path!"}},
    {"any-word!", {"word!", "set-word!", "get-word!", "refinement!", "issue!"}},
    {"all-word!", {"word!", "set-word!", "refinement!"}},
    {"any-object!", {"object!", "error!"}},
    {"any-function!", {"function!", "native!"}},
    {"action!", {"native!"}},
    {"op!", {"native!"}},
};

const TypedValues* typed_values(const std::string& type) {
    for (const TypedValues& t : kTyped)
        if (type == t.type) return &t;
    return nullptr;
}

struct Writer {
    Gen& g;
    std::string& out;

    void put(const char* s) { out += s; }
    void put(const std::string& s) { out += s; }
    void space() { out += ' '; }

    void var() { put(g.from(kVars)); }

    void literal() { put(g.from(kLiterals)); }

    // A value-making expression for the types the loader cannot write.
    void made_value(int depth) {
        switch (g.pick(12)) {
        case 0: put("make object! ["); object_body(depth + 1); put("]"); return;
        case 1: put("make map! [a 1 b \"x\" 3 [c]]"); return;
        case 2: put("make hash! [a 1 b 2 a 3]"); return;
        case 3: put("make bitset! \"abc\""); return;
        case 4: put("make typeset! [integer! string!]"); return;
        case 5: put("make error! \"boom\""); return;
        case 6: put("copy \"text\""); return;
        case 7: put("copy [1 \"two\" [3] four]"); return;
        case 8: function_maker(depth + 1); return;
        case 9: put("to binary! \"ab\""); return;
        case 10: put("make string! "); put(g.from(kCounts)); return;
        default: put("make block! "); put(g.from(kCounts)); return;
        }
    }

    void args(int n, int depth) {
        for (int k = 0; k < n; k++) {
            space();
            expr(depth + 1);
        }
    }

    // An argument: half of the time a value of a type its interface
    // accepts (when that type has values here), else any expression.
    void argument(const Types& types, int depth) {
        if (!types.empty() && g.pick(2)) {
            std::string t = types[g.pick(static_cast<uint32_t>(types.size()))];
            for (const TypedValues& f : kFamilies)
                if (t == f.type) t = f.values[g.pick(static_cast<uint32_t>(f.values.size()))];
            if (const TypedValues* v = typed_values(t)) {
                put(v->values[g.pick(static_cast<uint32_t>(v->values.size()))]);
                return;
            }
        }
        expr(depth + 1);
    }

    // name/ref/ref args..., with the refinements' arguments in order.
    void call(int depth) {
        const Callable& c = g_callables[g.pick_wide(static_cast<uint32_t>(g_callables.size()))];
        put(c.name);
        std::vector<const Types*> types;
        for (const Types& t : c.args) types.push_back(&t);
        uint32_t refs = c.refinements.empty() ? 0 : g.pick(3);
        for (uint32_t k = 0; k < refs; k++) {
            if (g.pick(16) == 0) {
                put("/zz");
                continue;
            }
            const Refinement& r = c.refinements[g.pick(static_cast<uint32_t>(c.refinements.size()))];
            put("/");
            put(r.name);
            for (const Types& t : r.args) types.push_back(&t);
        }
        size_t n = types.size();
        if (n > 0 && g.pick(24) == 0) n--;  // one argument short
        bool counted = c.name == "make" || c.name == "append" || c.name == "insert" || c.name == "change";
        for (size_t k = 0; k < n; k++) {
            space();
            if (counted && k > 0 && g.pick(2)) put(g.from(kCounts));
            else argument(*types[k], depth);
        }
    }

    // Statements, each optionally assigned to a variable or through a path.
    // At the top some are wrapped in try, so that one error does not end
    // the whole program.
    void stmts(int depth, uint32_t most) {
        uint32_t count = g.pick(most + 1);
        for (uint32_t k = 0; k < count && g.more(); k++) {
            space();
            if (depth == 0 && g.pick(2)) {
                put("try [");
                stmts(1, 1 + g.pick(2));
                put("]");
                continue;
            }
            switch (g.pick(8)) {
            case 0: case 1: var(); put(":"); space(); break;
            case 2: put(g.from({"o/a:", "b/1:", "x/2:", "o/b:", "s/1:", "a/b:"})); space(); break;
            default: break;
            }
            expr(depth);
        }
    }

    void block(int depth, uint32_t most) {
        put("[");
        stmts(depth + 1, most);
        put("]");
    }

    void guarded(int depth) {
        put("[fz-guard");
        stmts(depth + 1, 3);
        put("]");
    }

    void object_body(int depth) {
        uint32_t n = g.pick(4);
        for (uint32_t k = 0; k < n; k++) {
            put(g.from({"a: ", "b: ", "f: ", "self: ", "x: "}));
            if (g.pick(3) == 0) function_maker(depth + 1);
            else expr(depth + 1);
            space();
        }
    }

    void function_maker(int depth) {
        switch (g.pick(4)) {
        case 0: put("func "); put(g.from(kSpecs)); break;
        case 1: put("function "); put(g.from(kSpecs)); break;
        case 2: put("does"); break;
        default: put("has [p q]"); break;
        }
        space();
        put("[fz-guard");
        stmts(depth + 1, 4);
        put("]");
    }

    void control(int depth) {
        switch (g.pick(26)) {
        case 0: put("if "); expr(depth + 1); space(); block(depth, 3); return;
        case 1: put("either "); expr(depth + 1); space(); block(depth, 3); space(); block(depth, 3); return;
        case 2: put("unless "); expr(depth + 1); space(); block(depth, 3); return;
        case 3: put(g.pick(2) ? "any " : "all "); block(depth, 4); return;
        case 4:
            put(g.pick(2) ? "case/all [" : "case [");
            for (uint32_t k = g.pick(4); k > 0; k--) {
                expr(depth + 1);
                space();
                block(depth + 1, 2);
                space();
            }
            put("]");
            return;
        case 5:
        {
            bool fallback = g.pick(3) == 0;
            put(fallback ? "switch/default " : "switch ");
            expr(depth + 1);
            put(" [");
            for (uint32_t k = g.pick(4); k > 0; k--) {
                literal();
                space();
                block(depth + 1, 2);
                space();
            }
            put("]");
            if (fallback) space(), block(depth, 2);
            return;
        }
        case 6: put(g.from({"try ", "try/all ", "try/keep "})); block(depth, 4); return;
        case 7: put("catch "); block(depth, 4); return;
        case 8: put("catch/name "); block(depth, 4); put(g.from({" 'a", " 'b", " [a b]"})); return;
        case 9: put("throw "); expr(depth + 1); return;
        case 10: put(g.from({"throw/name ", "throw/name "})); expr(depth + 1); put(g.from({" 'a", " 'b", " 'zz"})); return;
        case 11: put(g.from({"break", "break/return 5", "continue", "exit", "return 1", "return"})); return;
        case 12: put("loop "); expr(depth + 1); space(); guarded(depth); return;
        case 13: put("repeat "); var(); space(); expr(depth + 1); space(); guarded(depth); return;
        case 14: put("while [fz-guard "); expr(depth + 1); put("] "); guarded(depth); return;
        case 15: put("until [fz-guard"); stmts(depth + 1, 3); space(); expr(depth + 1); put("]"); return;
        case 16: put("forever "); guarded(depth); return;
        case 17: put("foreach "); put(g.from({"a", "[a b]", "x"})); space(); expr(depth + 1); space(); guarded(depth); return;
        case 18: put("forall "); var(); space(); guarded(depth); return;
        case 19: put("remove-each "); put(g.from({"a", "[a b]"})); space(); expr(depth + 1); space(); guarded(depth); return;
        case 20: put(g.from({"do ", "reduce ", "compose ", "compose/deep "})); block(depth, 4); return;
        case 21: function_maker(depth); return;
        case 22: put("make object! ["); object_body(depth + 1); put("]"); return;
        case 23: put("apply "); put(g.from({":f", ":append", "'g", ":add"})); space(); block(depth, 3); return;
        case 24: put(g.from({"if fz-collect [recycle]", "if fz-collect [recycle/off]", "recycle/on", "fz-guard"})); return;
        default: put("do/trace "); block(depth, 3); put(" :fz-trace"); return;
        }
    }

    void expr(int depth) {
        uint32_t kind = g.pick(depth >= 4 ? 3 : 14);
        switch (kind) {
        case 0: literal(); return;
        case 1: put(g.from({"", ":", "'"})); var(); return;
        case 2: put(g.from({"o/a", "o/b", "b/1", "x/2", "s/1", "o/f", ":o/a", "a/b/c", "f/r", "b/(1)"})); return;
        case 3: case 4: case 5: call(depth); return;
        case 6: expr(depth + 1); space(); put(g.from(kOps)); space(); expr(depth + 1); return;
        case 7: case 8: control(depth); return;
        case 9: made_value(depth); return;
        case 10: put("("); expr(depth + 1); put(")"); return;
        case 11: block(depth, 3); return;
        case 12: var(); space(); args(static_cast<int>(g.pick(3)), depth); return;  // a call of a variable
        default: literal(); return;
        }
    }
};

// Loop steps, calls and trace events a run may take; runs that collect at
// every few allocations get fewer, as each collection walks the whole heap.
const uint32_t kBudget = 1500;
const uint32_t kStressBudget = 200;

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_eval: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static GlobalSnapshot snapshot;
    static bool ready = (setup(), snapshot.take(), true);
    (void)ready;
    Gen g{data, size};
    uint32_t flags = g.byte();
    bool traced = flags & 1;
    // One run in eight collects every few allocations, moving every node.
    // KEL_GC_STRESS=N in the environment (read at start-up) makes every run
    // collect at every N-th allocation instead.
    static const uint32_t env_stress = g_gc.stress_every;
    bool stress = env_stress || (flags & 14) == 14;
    uint32_t budget = stress ? kStressBudget : kBudget;
    std::string program = "random/seed 1 fz-n: 0\n";
    program += "fz-guard: func [] [fz-n: fz-n + 1 if fz-n > " + std::to_string(budget) + " [1 / 0]]\n";
    program += "fz-r: 0 fz-collect: does [fz-r: fz-r + 1 fz-r < 8]\n";
    program += "fz-trace: func [event code offset value ref frame] [fz-guard]\n";
    program += "a: 1 b: [1 2 3] o: make object! [a: 1 b: \"s\" f: does [fz-guard a]] s: copy \"str\" x: [a b c]\n";
    std::string body;
    Writer w{g, body};
    w.stmts(0, 12);
    if (traced) program += "do/trace [" + body + "\n] :fz-trace";
    else program += body;

    static const bool show = std::getenv("KEL_FUZZ_SHOW") != nullptr;  // print each program (for minimising)
    if (show) std::fprintf(stderr, "%s\n----\n", program.c_str());

    uint64_t limit = platform_vm_committed() + (uint64_t(32) << 20);
    platform_vm_set_limit(limit);
    g_gc.stress_every = env_stress ? env_stress : stress ? 31 + (flags >> 4) * 16 : 0;
    g_gc.stress_count = 0;
    interp_run_on_big_stack([&] {
        Cell block{TYPE_NONE, 0, 0, 0}, out{TYPE_NONE, 0, 0, 0};
        GcRootCell root(&block), keep(&out);
        try {
            lexer_scan_utf8(&block, reinterpret_cast<const uint8_t*>(program.data()),
                            static_cast<uint32_t>(program.size()), false, true, true, false, nullptr, nullptr,
                            nullptr, nullptr);
            interp_do_block(&block, &out);
        } catch (const KelThrow&) {
        }
    });
    g_gc.stress_every = 0;
    check(g_stack.top == g_stack.data_bottom, "cells left on the evaluation stack");
    check(g_stack.frame_top == g_stack.frame_bottom, "frames left on the frame stack");
    check(g_thrown == 0, "an exit left pending");
    check(!g_interp.on, "tracing left on");
    snapshot.restore();
    g_gc_enabled = true;
    static uint32_t runs = 0;
    if (++runs % 8 == 0) gc_collect();
    platform_vm_set_limit(0);
    return 0;
}
