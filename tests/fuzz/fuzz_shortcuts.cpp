// Differential fuzz target for the interpreter's shortcuts: each generated
// program runs twice in the same process from the same global state, once as
// it is and once with every shortcut off, and the two runs must agree on
// everything a program could observe: the value (or the error, with its
// category, id, arguments, near, where and stack depth, or the exit that
// escaped), what it printed, and every global word it left changed.
//
// The reference run switches tracing on with an empty event mask and no
// callback: the interpreter then takes its general path everywhere, and no
// trace event runs any code. The error trace hook, which would build an
// error! value for every raise before finding no callback, is taken away
// for that run, so that both runs allocate alike.
//
// The programs lean on the shapes the shortcuts take and on their edges:
// set-words, words, integer and float arithmetic at the 32-bit edges,
// comparisons, operators and number natives whose words are rebound between
// runs of the same code (to other operators, functions, natives, plain
// values, or unset), parens, calls of functions made by func, function, does
// and has with refinements and locals, natives and actions with arguments of
// the wrong type, the conditionals with every kind of condition and branch,
// return and exit at every depth, break and continue, functions redefined
// and code blocks edited while they run, recursion to stack-overflow, errors
// inside arguments, and try, catch and throw.
//
// Termination: every loop body, `while` condition and generated function
// body starts with `fz-guard`, which counts and raises an error once the
// run's budget is spent. It calls only words the generator never rebinds.
// The recursions without a guard (r, r2, r3) end in stack-overflow.
//
// Reproducibility: before each run every global word gets back the value it
// had after start-up (words made since become unset), and the random
// generator is seeded by the program. The program is loaded anew for each
// run, as it may edit its own code.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/actions.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/exits.h"
#include "runtime/gc.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/platform/console.h"
#include "runtime/platform/vm.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"
#include "runtime/startup.h"
#include "tests/fuzz/fuzz_gen.h"
#include "tests/fuzz/fuzz_globals.h"

using namespace kel;

namespace {

using fuzz::Gen;

// ---- the program -------------------------------------------------------------------------------

// Words holding plain values, functions, and the operators and number
// natives whose words get rebound.
const char* const kVars[] = {"a", "b", "c", "n", "x", "y", "v"};
const char* const kFuncs[] = {"f", "g", "h", "k", "o/f"};
const char* const kOps[] = {"+", "-", "*", "=", "<>", "<", ">", "<=", ">=", "==", "//", "/"};
const char* const kNamed[] = {"add", "subtract", "multiply", "remainder", "lesser?", "greater?", "equal?",
                              "not-equal?", "lesser-or-equal?", "greater-or-equal?", "strict-equal?", "negate",
                              "divide", "max", "pick", "append", "odd?"};
const char* const kInts[] = {"0", "1", "2", "3", "-1", "7", "46341", "65536", "2147483647", "-2147483648",
                             "2147483646", "-2147483647", "1000"};
const char* const kFloats[] = {"0.0", "-0.0", "1.5", "-2.5", "1e308", "2147483648.0", "5e-324"};
const char* const kOthers[] = {"none", "true", "false", "\"\"", "\"a\"", "[]", "[1 2]", "'w", "#\"a\"",
                               "integer!", "%f", "#i", "[p + 1]", "'+"};
// What a rebound operator or number native becomes.
const char* const kRebinds[] = {
    "make op! :subtract", "make op! :multiply", "make op! :add", "make op! :remainder", "make op! :lesser?",
    "make op! :equal?", "make op! :greater-or-equal?", "make op! :append", "make op! func [p q] [fz-guard p]",
    "make op! func [p [integer!] q] [fz-guard q]", "make op! :fz-op-div", ":add", ":subtract", ":multiply",
    ":remainder", ":lesser?", ":negate", ":print", ":fz-op-add", ":fz-op-lt", "func [p q] [fz-guard q]",
    "func [p] [fz-guard p]", "does [fz-guard 9]", "5", "none", "[1]", "\"s\"", "'w",
};
const char* const kSpecs[] = {
    "[]", "[p]", "[p q]", "[p [integer!]]", "[p [integer!] q [integer! float!]]", "[p /r]", "[p /r q]",
    "[p /local q]", "[/local p q]", "['p]", "[:p]", "[return: [integer!] p]", "[p [any-type!]]",
};
const char* const kConds[] = {"true", "false", "none", "0", "1", "\"\"", "[]", "'w", "a", "x", "c", "#\"a\"",
                              "integer!", "(none)", "(1 < 2)", "a < b", "n = 0", "x > 0"};

struct Writer {
    Gen& g;
    std::string& out;
    int fn_depth = 0;  // inside a generated function body
    int loop_depth = 0;

    void put(const char* s) { out += s; }
    void put(const std::string& s) { out += s; }
    // A separator; a line break marks the next value's cell, a mark that
    // values computed from it may or may not carry.
    void sp() { out += g.pick(8) ? ' ' : '\n'; }

    void term(int depth) {
        switch (g.pick(depth >= 3 ? 5 : 12)) {
        case 0: put(g.from(kInts)); return;
        case 1: put(g.from({"0", "1", "2", "-1", "a", "b"})); return;
        case 2: put(g.from(kVars)); return;
        case 3: put(fn_depth ? g.from({"p", "q", "p", "a"}) : g.from(kVars)); return;
        case 4: put(g.from(kFloats)); return;
        case 5: put("("); expr(depth + 1); put(")"); return;
        case 6: put(g.from(kOthers)); return;
        case 7: call(depth); return;
        case 8: named(depth); return;
        case 9: conditional(depth); return;
        case 10: put(g.from({":a", ":f", ":+", "o/a", "y/1", "y/(a)", "print a", "k", "f/r a"})); return;
        default: put("("); stmts(depth + 1, 3); put(")"); return;
        }
    }

    // A plain right operand: often the left one again or one next to it,
    // for the edges of the comparisons and of overflow.
    void operand(const std::string& left) {
        switch (g.pick(6)) {
        case 0: put(left.size() < 24 ? left : std::string("a")); return;
        case 1: put(g.from({"0", "1", "2", "-1"})); return;
        case 2: case 3: put(g.from(kVars)); return;
        case 4: put(g.from(kInts)); return;
        default: put(g.from(kFloats)); return;
        }
    }

    // A term and the operators after it, right operands plain most of the time.
    void expr(int depth) {
        size_t from = out.size();
        term(depth + 1);
        std::string left = out.substr(from);
        for (uint32_t k = g.pick(4); k > 0 && g.more(); k--) {
            sp();
            put(g.from(kOps));
            sp();
            if (g.pick(4)) operand(left);
            else term(depth + 1);
        }
    }

    void named(int depth) {
        const char* w = g.from(kNamed);
        put(w);
        int n = std::string(w) == "negate" || std::string(w) == "odd?" ? 1 : 2;
        for (int i = 0; i < n; i++) sp(), expr(depth + 1);
    }

    void call(int depth) {
        put(g.from(kFuncs));
        if (g.pick(4) == 0) put(g.from({"/r", "/zz", "/local"}));
        for (uint32_t k = g.pick(3); k > 0; k--) sp(), expr(depth + 1);
    }

    void branch(int depth) {
        switch (g.pick(8)) {
        case 0: put(g.from({"1", "x", "(a)", "'w", ":f", "none"})); return;
        case 1: put("[]"); return;
        default: block(depth); return;
        }
    }

    void conditional(int depth) {
        uint32_t kind = g.pick(3);
        put(kind == 0 ? "if " : kind == 1 ? "unless " : "either ");
        bool either = kind == 2;
        if (g.pick(2)) put(g.from(kConds));
        else expr(depth + 1);
        sp();
        branch(depth + 1);
        if (either) sp(), branch(depth + 1);
    }

    void block(int depth) {
        put("[");
        stmts(depth + 1, 3);
        put("]");
    }

    void guarded(int depth) {
        loop_depth++;
        put("[fz-guard");
        stmts(depth + 1, 3);
        put("]");
        loop_depth--;
    }

    void body(int depth) {
        fn_depth++;
        int saved = loop_depth;
        loop_depth = 0;
        put("[fz-guard");
        stmts(depth + 1, 4);
        put("]");
        loop_depth = saved;
        fn_depth--;
    }

    void maker(int depth) {
        switch (g.pick(5)) {
        case 0: case 1: put("func "); put(g.from(kSpecs)); break;
        case 2: put("function "); put(g.from(kSpecs)); break;
        case 3: put("does"); break;
        default: put("has [p q]"); break;
        }
        sp();
        body(depth);
    }

    void exit_word() {
        put(g.from({"return", "return", "exit", "return 1", "return a", "return a + 1", "return (1)", "break",
                    "continue", "break/return 5", "return x * 2", "return none", "return f 1"}));
    }

    // A call after a set-word (what may give unset! is the edge).
    void set_call(int depth) {
        switch (g.pick(6)) {
        case 0: call(depth); return;
        case 1: named(depth); return;
        case 2: conditional(depth); return;
        case 3: put("print "); operand("a"); return;
        case 4: put(g.from({"k", "h 2", "o/f a", "f/r a", "g a b", "g a (b)"})); return;
        default: put("either "); put(g.from(kConds)); put(" [exit] [print a]"); return;
        }
    }

    void statement(int depth) {
        if ((fn_depth || loop_depth) && g.pick(6) == 0) {
            // an exit where it may land, wrapped in what it must pass through
            static const char* const kWraps[] = {"try/all [", "try [", "catch [", "(", "do [", "if true [",
                                                 "loop 1 [", "either a [", ""};
            const char* wrap = g.from(kWraps);
            put(wrap);
            exit_word();
            if (*wrap) put(*wrap == '(' ? ")" : "]");
            if (wrap[0] == 'e') put(" []");
            return;
        }
        switch (g.pick(depth >= 4 ? 6 : 26)) {
        case 0: put(g.from(kVars)); put(": "); expr(depth + 1); return;
        case 1: put(g.from(kVars)); put(": "); set_call(depth); return;
        case 2: expr(depth + 1); return;
        case 3: put(fn_depth ? g.from({"p: ", "q: "}) : "a: "); expr(depth + 1); return;
        case 4: call(depth); return;
        case 5: conditional(depth); return;
        case 6:
        {
            std::string w = g.pick(2) ? g.from(kOps) : g.from(kNamed);
            if (g.pick(8) == 0) {
                put("unset '" + w);
                return;
            }
            put(w == "=" ? "set '= " : w + ": ");  // `=:` is no set-word
            put(g.from(kRebinds));
            return;
        }
        case 7: put(g.from({"f", "g", "h", "k"})); put(": "); maker(depth); return;
        case 8: put("print "); expr(depth + 1); return;
        case 9: exit_word(); return;
        case 10: put("loop "); put(g.from({"0", "1", "2", "3", "b"})); sp(); guarded(depth); return;
        case 11: put("repeat v "); put(g.from({"0", "2", "3", "a"})); sp(); guarded(depth); return;
        case 12: put("while [fz-guard "); expr(depth + 1); put("] "); guarded(depth); return;
        case 13: put("foreach v "); put(g.from({"[1 2]", "y", "[a 2147483647 1.5]"})); sp(); guarded(depth); return;
        case 14:
            if (g.pick(5) == 0) put("catch/name "), block(depth), put(g.from({" 'a", " 'b", " [a b]"}));
            else put(g.from({"try ", "try ", "try/all ", "catch "})), block(depth);
            return;
        case 15:
            if (g.pick(2)) put("throw "), expr(depth + 1);
            else put("throw/name "), expr(depth + 1), put(g.from({" 'a", " 'b"}));
            return;
        case 16: put(g.from({"error? try ", "attempt "})); block(depth); return;
        case 17:
            // code edited while it runs
            put(g.from({"append blk ", "append reflect :f 'body ", "change blk ", "insert blk ",
                        "append reflect :g 'body "}));
            put("[fz-guard ");
            stmts(depth + 1, 2);
            put("]");
            return;
        case 18: put(g.from({"clear blk", "clear reflect :f 'body", "clear next blk", "remove blk",
                             "clear reflect :g 'body"}));
            return;
        case 19: put(g.from({"do blk", "do blk", "do reflect :f 'body"})); return;
        case 20: put("blk: "); block(depth); return;
        case 21:
            // recursion to stack-overflow costs a deep machine stack: rarely
            put(g.pick(6) ? g.from({"h 3", "h 40", "h a", "h -1"}) : g.from({"r 1", "r2 1", "r3 1"}));
            return;
        case 22: put("do "); block(depth); return;
        case 23: put("("); stmts(depth + 1, 3); put(")"); return;
        case 24: put(g.from({"o/a: ", "y/1: ", "o/f: "})); expr(depth + 1); return;
        default: put(g.from(kVars)); put(": "); named(depth); return;
        }
    }

    void stmts(int depth, uint32_t most) {
        uint32_t count = g.pick(most + 1);
        for (uint32_t k = 0; k < count && g.more(); k++) {
            sp();
            if (depth == 0 && g.pick(8)) {
                // kept apart, its value or error logged
                put("fz-keep try [");
                stmts(1, 3);
                put("]");
                continue;
            }
            statement(depth);
        }
    }
};

// ---- running ----------------------------------------------------------------------------------

using fuzz::GlobalSnapshot;

const uint32_t kBudget = 600;
const uint32_t kStressBudget = 120;
const uint32_t kMoldLimit = 4000;

int g_out_fd = -1;

// The mold (/all) of a value, at most kMoldLimit characters.
std::string mold_of(const Cell* v) {
    Cell buf{TYPE_NONE, 0, 0, 0}, value = *v;
    GcRootCell keep(&buf), keep_value(&value);
    string_make(&buf, 64, 1);
    Cell part{TYPE_INTEGER, 0, kMoldLimit, 0};
    actions_mold_call(&value, &buf, false, true, false, &part, kMoldLimit, 0);
    return string_to_utf8(&buf);
}

std::string read_output() {
    std::string s;
    off_t end = lseek(g_out_fd, 0, SEEK_CUR);
    if (end > 0) {
        s.resize(static_cast<size_t>(end));
        ssize_t got = pread(g_out_fd, s.data(), s.size(), 0);
        s.resize(got > 0 ? static_cast<size_t>(got) : 0);
    }
    return s;
}

// What one run of `program` gives, everything a program could observe.
std::string run(const std::string& program, bool general, uint32_t stress_every, const GlobalSnapshot& snapshot) {
    snapshot.restore();
    if (ftruncate(g_out_fd, 0) != 0 || lseek(g_out_fd, 0, SEEK_SET) != 0) std::abort();
    std::string outcome;
    auto saved_hook = g_error_trace_hook;
    interp_run_on_big_stack([&] {
        Cell block{TYPE_NONE, 0, 0, 0}, out{TYPE_NONE, 0, 0, 0};
        GcRootCell root(&block), keep(&out);
        try {
            lexer_scan_utf8(&block, reinterpret_cast<const uint8_t*>(program.data()),
                            static_cast<uint32_t>(program.size()), false, true, true, false, nullptr, nullptr, nullptr,
                            nullptr);
        } catch (const KelThrow& t) {
            std::fprintf(stderr, "fuzz_shortcuts: the generator wrote a program that does not load (%s)\n%s\n",
                         t.id.c_str(), program.c_str());
            std::abort();
        }
        if (general) {
            g_interp.mask = 0;
            g_interp.on = true;
            g_error_trace_hook = nullptr;
        }
        g_gc.stress_every = stress_every;
        g_gc.stress_count = 0;
        try {
            interp_do_block(&block, &out);
            outcome = "value " + mold_of(&out);
        } catch (const KelThrow& t) {
            g_gc.stress_every = 0;
            g_interp.on = false;
            // The exception's cells are no roots: molding allocates.
            Cell cells[6] = {t.where, t.value, t.name, t.args[0], t.args[1], t.args[2]};
            GcRootCell keep_cells(cells, 6);
            outcome = "exit " + std::to_string(t.code) + " " + t.id + " depth " + std::to_string(t.frame_depth);
            for (const Cell& c : cells) outcome += " " + mold_of(&c);
        }
        g_gc.stress_every = 0;
        g_interp.on = false;
        g_interp.mask = kTraceDefaultMask;
        g_error_trace_hook = saved_hook;
        outcome += "\n--- output\n" + read_output() + "\n--- globals\n";
        uint32_t n = context_values_count(g_global_context);
        for (uint32_t k = 0; k < n; k++) {
            const Cell* slot = context_value_at(g_global_context, k);
            if (!slot || snapshot.same(k, slot)) continue;
            Cell pair[2] = {*context_word_cell_at(g_global_context, k), *slot};
            GcRootCell keep_pair(pair, 2);
            outcome += mold_of(&pair[0]) + ": " + mold_of(&pair[1]) + "\n";
        }
    });
    g_error_trace_hook = saved_hook;
    g_interp.on = false;
    g_interp.mask = kTraceDefaultMask;
    return outcome;
}

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_shortcuts: %s\n", what);
    std::abort();
}

void setup() {
    runtime_boot();
    g_out_fd = memfd_create("fuzz-shortcuts-output", 0);
    check(g_out_fd >= 0, "no memfd");
    console_set_output_fd(g_out_fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static GlobalSnapshot snapshot;
    static bool ready = (setup(), snapshot.take(), true);
    (void)ready;
    Gen g{data, size};
    uint32_t flags = g.byte();
    bool general_first = flags & 1;
    static const uint32_t env_stress = g_gc.stress_every;
    bool stress = env_stress || (flags & 14) == 14;
    uint32_t budget = stress ? kStressBudget : kBudget;
    uint32_t stress_every = env_stress ? env_stress : stress ? 31 + (flags >> 4) * 16 : 0;

    std::string program = "random/seed 1 fz-n: 0\n";
    program += "fz-add: :add fz-gt: :greater? fz-if: :if fz-div: :divide\n";
    program += "fz-guard: func [] [fz-n: fz-add fz-n 1 fz-if fz-gt fz-n " + std::to_string(budget) +
               " [fz-div 1 0]]\n";
    program += "fz-log: copy [] fz-append: :append fz-either: :either fz-value?: :value?\n";
    program += "fz-keep: func [v [any-type!]] [fz-append/only fz-log fz-either fz-value? 'v [:v] [#unset]]\n";
    program += "fz-op-add: :+ fz-op-lt: :< fz-op-div: :divide\n";
    program += "a: 1 b: 2 c: 2147483647 n: 0 x: 1.5 y: [1 2 3] v: none\n";
    program += "o: make object! [a: 1 f: func [p] [fz-guard p + a]]\n";
    program += "f: func [p] [fz-guard p + 1] g: func [p q] [fz-guard p * q] k: does [fz-guard a]\n";
    program += "h: func [p] [fz-guard either p > 0 [h p - 1] [return p]]\n";
    program += "r: func [p] [r p + 1] r2: func [p] [1 + r2 p] r3: func [p] [if p [r3 (p + 1)]]\n";
    program += "blk: [n: n + 1 fz-guard a: a * 2]\n";
    std::string body;
    Writer w{g, body};
    w.stmts(0, 12);
    program += body;

    static const bool show = std::getenv("KEL_FUZZ_SHOW") != nullptr;  // print each program (for minimising)
    if (show) std::fprintf(stderr, "%s\n----\n", program.c_str());

    platform_vm_set_limit(platform_vm_committed() + (uint64_t(64) << 20));
    std::string first = run(program, general_first, stress_every, snapshot);
    std::string second = run(program, !general_first, stress_every, snapshot);
    platform_vm_set_limit(0);
    if (show) std::fprintf(stderr, "%s\n====\n", first.c_str());
    check(g_stack.top == g_stack.data_bottom, "cells left on the evaluation stack");
    check(g_stack.frame_top == g_stack.frame_bottom, "frames left on the frame stack");
    check(g_thrown == 0, "an exit left pending");
    // A run that met the memory cap may have met it at a different point.
    bool memory = first.find("no-memory") != std::string::npos || second.find("no-memory") != std::string::npos;
    if (first != second && !memory) {
        const std::string& shortcut = general_first ? second : first;
        const std::string& general = general_first ? first : second;
        std::fprintf(stderr, "fuzz_shortcuts: the shortcuts and the general path differ\nprogram:\n%s\n"
                             "=== with shortcuts:\n%s\n=== general path:\n%s\n",
                     program.c_str(), shortcut.c_str(), general.c_str());
        std::abort();
    }
    snapshot.restore();
    g_gc_enabled = true;
    static uint32_t runs = 0;
    if (++runs % 8 == 0) gc_collect();
    return 0;
}
