// Differential fuzz target for PARSE: the input builds a short input and a
// random rule, runs `parse` through the interpreter, and compares its result,
// the words that `copy`, `set` and `collect set` filled, and the input after
// any `remove`, with a plain backtracking matcher written here.
//
// Inputs: text of a few letters (often with case partners, some wider than a
// byte, with partners of another width, or folding to ASCII; one above
// U+FFFF), or a block of a few integers, words, strings and nested blocks;
// from its head or another index. Options: /case, /part (a count, a position
// in the input, rarely a position in another series).
// Rules: char! and string! literals, lit-words, `quote` of a word, integer,
// string or block, datatypes, skip, end, none, fail, sub-blocks with
// alternatives, any, some, opt, while, counts `n` and `n m`, break and reject
// inside them, to and thru (a literal, end or a rule), not, ahead, copy, set,
// into, case, collect (plain or set), keep (plain or pick), remove (of the
// outer input only: nested series are shared with what was captured). A rule
// may name what the input cannot hold (a datatype over text, `into` over
// text, a searched word in text, `keep` outside `collect`): the matcher
// names the error it must raise.
//
// The matcher follows these conventions of the engine:
//  - a round of a repetition that matches without moving the input or
//    changing its length ends the repetition, which then succeeds whatever
//    its minimum (the round would match again the same way); `while` with no
//    paren in its rule does the same;
//  - `to` and `thru` over a rule try it at the head, then at every following
//    position up to the end included;
//  - a failed rule leaves the words it would have set as they were; a `copy`
//    or `set` whose own rule matched keeps its value when a later rule fails;
//  - a nested plain `collect` gives its block to the enclosing one only when
//    its rule matched; `break` or `reject` passing through a collect lets it
//    give what it gathered.
#include <fcntl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/parse.h"
#include "runtime/platform/console.h"
#include "runtime/stack.h"
#include "runtime/startup.h"
#include "tests/fuzz/fuzz_gen.h"
#include "tests/fuzz/fuzz_run.h"
#include "tests/fuzz/fuzz_text.h"

using namespace kel;

namespace {

using fuzz::fold;
using fuzz::Gen;

// ---- values -------------------------------------------------------------------------------------

enum class VK { None, Logic, Int, Word, Str, Char, Block };

struct Val {
    VK k = VK::None;
    int64_t i = 0;          // integer, code point, logic flag
    std::u32string s;       // text, or a word's name
    std::vector<Val> kids;  // a block's elements
};

Val make_int(int64_t i) { return Val{VK::Int, i, {}, {}}; }
Val make_word(const char32_t* name) { return Val{VK::Word, 0, name, {}}; }
Val make_str(std::u32string s) { return Val{VK::Str, 0, std::move(s), {}}; }
Val make_char(uint32_t c) { return Val{VK::Char, c, {}, {}}; }
Val make_block(std::vector<Val> kids) { return Val{VK::Block, 0, {}, std::move(kids)}; }

bool same_char(uint32_t a, uint32_t b, bool strict) { return a == b || (!strict && fold(a) == fold(b)); }

bool same_text(const std::u32string& a, const std::u32string& b, bool strict) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (!same_char(a[i], b[i], strict)) return false;
    return true;
}

// equal? (strict: strict-equal?) over the values the inputs and literals hold.
// A char! compares with the case of its letter, and equals the integer of
// its code point.
bool equal(const Val& a, const Val& b, bool strict) {
    if ((a.k == VK::Char && b.k == VK::Int) || (a.k == VK::Int && b.k == VK::Char)) return !strict && a.i == b.i;
    if (a.k != b.k) return false;
    switch (a.k) {
    case VK::Int: case VK::Char: case VK::Logic: return a.i == b.i;
    case VK::Word: case VK::Str: return same_text(a.s, b.s, strict);
    case VK::Block:
        if (a.kids.size() != b.kids.size()) return false;
        for (size_t i = 0; i < a.kids.size(); i++)
            if (!equal(a.kids[i], b.kids[i], strict)) return false;
        return true;
    case VK::None: return true;
    }
    return false;
}

std::string utf8(const std::u32string& s) {
    std::string out;
    for (char32_t c : s) out += char(c);  // names are ASCII
    return out;
}

void put_char(std::string& out, uint32_t c) {
    char buf[16];
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '^') {
        out += char(c);
    } else {
        std::snprintf(buf, sizeof buf, "^(%X)", c);
        out += buf;
    }
}

// Kel source text for a value. At the top of a `reduce` list a word is
// written as a lit-word and none as the word none, so that both evaluate to
// themselves.
std::string source(const Val& v, bool top) {
    std::string out;
    switch (v.k) {
    case VK::None: return top ? "none" : "#(none)";
    case VK::Logic: return v.i ? "true" : "false";
    case VK::Int: return std::to_string(v.i);
    case VK::Word: return (top ? "'" : "") + utf8(v.s);
    case VK::Char: out = "#\""; put_char(out, uint32_t(v.i)); return out + "\"";
    case VK::Str:
        out = "\"";
        for (char32_t c : v.s) put_char(out, c);
        return out + "\"";
    case VK::Block:
        out = "[";
        for (size_t i = 0; i < v.kids.size(); i++) out += (i ? " " : "") + source(v.kids[i], false);
        return out + "]";
    }
    return "?";
}

// ---- rules --------------------------------------------------------------------------------------

enum class RK { Lit, Type, Skip, End, None, Fail, Break, Reject, Block, Rep, To, Thru, Not, Ahead, Copy, Set, Into, Case,
                Collect, Keep, Remove };
enum class Form { Bare, LitWord, Quote };

struct Rule {
    RK k = RK::None;
    Val lit;                 // Lit
    Form form = Form::Bare;  // Lit: as it is written
    VK type = VK::Int;       // Type
    std::vector<std::vector<Rule>> alts;  // Block; Into's block
    std::vector<Rule> sub;   // the rule a modifier governs
    int min = 0, max = 0;    // Rep (max -1: no bound)
    int rep_form = 0;        // any, some, opt, while, `n`, `n m`
    int var = 0;             // Copy, Set, Collect: v1..v3 (Collect: 0 for a plain collect)
    bool pick = false;       // Keep
    bool strict = false;     // Case: the word is c (true) or d (false)
};

std::string source(const Rule& r);

std::string source(const std::vector<std::vector<Rule>>& alts) {
    std::string out = "[";
    for (size_t a = 0; a < alts.size(); a++) {
        if (a) out += " |";
        for (const Rule& x : alts[a]) out += (out.size() > 1 ? " " : "") + source(x);
    }
    return out + "]";
}

std::string source(const Rule& r) {
    static const char* const kTypes[] = {"none!", "logic!", "integer!", "word!", "string!", "char!", "block!"};
    static const char* const kReps[] = {"any ", "some ", "opt ", "while "};
    switch (r.k) {
    case RK::Lit:
        if (r.form == Form::LitWord) return "'" + utf8(r.lit.s);
        return (r.form == Form::Quote ? "quote " : "") + source(r.lit, false);
    case RK::Type: return kTypes[int(r.type)];
    case RK::Skip: return "skip";
    case RK::End: return "end";
    case RK::None: return "none";
    case RK::Fail: return "fail";
    case RK::Break: return "break";
    case RK::Reject: return "reject";
    case RK::Block: return source(r.alts);
    case RK::Rep:
        if (r.rep_form < 4) return kReps[r.rep_form] + source(r.sub[0]);
        if (r.rep_form == 4) return std::to_string(r.min) + " " + source(r.sub[0]);
        return std::to_string(r.min) + " " + std::to_string(r.max) + " " + source(r.sub[0]);
    case RK::To: return "to " + source(r.sub[0]);
    case RK::Thru: return "thru " + source(r.sub[0]);
    case RK::Not: return "not " + source(r.sub[0]);
    case RK::Ahead: return "ahead " + source(r.sub[0]);
    case RK::Copy: return "copy v" + std::to_string(r.var) + " " + source(r.sub[0]);
    case RK::Set: return "set v" + std::to_string(r.var) + " " + source(r.sub[0]);
    case RK::Into: return "into " + source(r.alts);
    case RK::Case: return std::string(r.strict ? "case c " : "case d ") + source(r.sub[0]);
    case RK::Collect:
        return (r.var ? "collect set v" + std::to_string(r.var) + " " : std::string("collect ")) + source(r.sub[0]);
    case RK::Keep: return (r.pick ? "keep pick " : "keep ") + source(r.sub[0]);
    case RK::Remove: return "remove " + source(r.sub[0]);
    }
    return "?";
}

// ---- generator ----------------------------------------------------------------------------------

// Letters with case partners: ASCII, Latin-1 with partners in Latin-1 or
// wider (micro sign and mu, y with diaeresis, sharp s), letters whose upper
// case is ASCII (dotless i, long s) or that no ASCII letter folds to (the
// Kelvin sign), the three sigmas, and one letter above U+FFFF.
const uint32_t kNarrow[] = {'a', 'A', 'b', 'B', 'a', 'b'};
const uint32_t kWide[] = {'a',   'A',   'b',   0xE9,  0xC9,   0xB5, 0x39C, 0x3BC, 0xFF,  0x178, 0xDF,
                          0x1E9E, 'i',  0x131, 's',   0x17F,  'k',  0x212A, 0x3C3, 0x3A3, 0x3C2, 0x1F600};

uint32_t letter(Gen& g, bool wide) {
    return wide ? kWide[g.pick(std::size(kWide))] : kNarrow[g.pick(std::size(kNarrow))];
}

std::u32string text(Gen& g, uint32_t most, bool wide) {
    std::u32string s;
    for (uint32_t n = g.pick(most + 1); n > 0; n--) s += char32_t(letter(g, wide));
    return s;
}

Val element(Gen& g, int depth) {
    static const char32_t* const kWords[] = {U"a", U"A", U"b"};
    switch (g.pick(depth < 2 ? 5 : 4)) {
    case 0: return make_int(1 + g.pick(2));
    case 1: return make_word(kWords[g.pick(3)]);
    case 2: case 3: return make_str(text(g, 2, g.pick(4) == 0));
    default: {
        std::vector<Val> kids;
        for (uint32_t n = g.pick(4); n > 0; n--) kids.push_back(element(g, depth + 1));
        return make_block(std::move(kids));
    }
    }
}

struct Setup {
    Gen& g;
    bool wide;          // text letters past ASCII
    int into_depth = 0; // `remove` edits only the outer input (nested series are shared with captures)
};

Rule literal(Setup& s, bool text_rules) {
    Gen& g = s.g;
    Rule r;
    r.k = RK::Lit;
    static const char32_t* const kWords[] = {U"a", U"A", U"b"};
    if (text_rules && g.pick(8) != 0) {
        if (g.pick(2)) {
            r.lit = make_char(letter(g, s.wide));
        } else {
            r.lit = make_str(text(g, 3, s.wide));
            if (g.pick(8) == 0) r.form = Form::Quote;
        }
        return r;
    }
    switch (g.pick(6)) {
    case 0: r.lit = make_word(kWords[g.pick(3)]); r.form = Form::LitWord; break;
    case 1: r.lit = make_word(kWords[g.pick(3)]); r.form = Form::Quote; break;
    case 2: r.lit = make_int(1 + g.pick(2)); r.form = Form::Quote; break;
    case 3: case 4: r.lit = make_str(text(g, 2, g.pick(4) == 0)); break;
    default: r.lit = element(g, 1); r.form = Form::Quote; break;
    }
    return r;
}

Rule rule(Setup& s, bool text_rules, int depth, bool in_rep);

std::vector<std::vector<Rule>> alternatives(Setup& s, bool text_rules, int depth, bool in_rep) {
    std::vector<std::vector<Rule>> alts(1 + (s.g.pick(3) == 0 ? 1 + s.g.pick(2) : 0));
    for (auto& alt : alts)
        for (uint32_t n = s.g.pick(4) + (alts.size() == 1 ? 1 : 0); n > 0 && s.g.more(); n--)
            alt.push_back(rule(s, text_rules, depth + 1, in_rep));
    return alts;
}

// `in_rep`: the rule runs inside a repetition, so `break` and `reject` may
// end it.
Rule rule(Setup& s, bool text_rules, int depth, bool in_rep) {
    static const VK kTypes[] = {VK::Int, VK::Word, VK::Str, VK::Block};
    static const RK kAtoms[] = {RK::Skip, RK::Skip, RK::End, RK::None, RK::Fail};
    Gen& g = s.g;
    Rule r;
    uint32_t kind = g.pick(depth >= 4 ? 6 : 20);
    switch (kind) {
    case 0: case 1: case 2: return literal(s, text_rules);
    case 3:
        if (text_rules && g.pick(8) != 0) return literal(s, text_rules);
        r.k = RK::Type;
        r.type = kTypes[g.pick(4)];
        return r;
    case 4: r.k = kAtoms[g.pick(5)]; return r;
    case 5:
        r.k = in_rep && g.pick(2) ? (g.pick(2) ? RK::Break : RK::Reject) : RK::Skip;
        return r;
    case 6: case 7: r.k = RK::Block; r.alts = alternatives(s, text_rules, depth, in_rep); return r;
    case 8: case 9: {
        r.k = RK::Rep;
        r.rep_form = int(g.pick(6));
        static const int kMin[] = {0, 1, 0, 0}, kMax[] = {-1, -1, 1, -1};
        if (r.rep_form < 4) {
            r.min = kMin[r.rep_form];
            r.max = kMax[r.rep_form];
        } else {
            r.min = int(g.pick(4));
            r.max = r.rep_form == 4 ? r.min : r.min + int(g.pick(3));
        }
        Rule x = rule(s, text_rules, depth + 1, true);
        // A count whose rule is a count would read as `n m rule`.
        if (r.rep_form >= 4 && x.k == RK::Rep && x.rep_form >= 4) {
            Rule b;
            b.k = RK::Block;
            b.alts.push_back({std::move(x)});
            x = std::move(b);
        }
        r.sub.push_back(std::move(x));
        return r;
    }
    case 10: {
        r.k = g.pick(2) ? RK::To : RK::Thru;
        uint32_t what = g.pick(4);
        Rule x;
        if (what == 0) x.k = RK::End;
        else if (what == 3) x = rule(s, text_rules, depth + 1, in_rep);
        else x = literal(s, text_rules);
        r.sub.push_back(std::move(x));
        return r;
    }
    case 11:
        r.k = g.pick(2) ? RK::Not : RK::Ahead;
        r.sub.push_back(rule(s, text_rules, depth + 1, in_rep));
        return r;
    case 12: case 13:
        r.k = g.pick(3) ? RK::Copy : RK::Set;
        r.var = 1 + int(g.pick(3));
        r.sub.push_back(rule(s, text_rules, depth + 1, in_rep));
        return r;
    case 14:
        if (!text_rules || g.pick(8) == 0) {
            r.k = RK::Into;
            // The element entered may be a string or a block.
            s.into_depth++;
            r.alts = alternatives(s, g.pick(2) != 0, depth, in_rep);
            s.into_depth--;
            return r;
        }
        r.k = RK::Fail;
        return r;
    case 16:
        r.k = RK::Collect;
        r.var = g.pick(3) ? 0 : 1 + int(g.pick(3));
        r.sub.push_back(rule(s, text_rules, depth + 1, in_rep));
        // `collect set word` and `collect into word` name a target.
        if (r.sub[0].k == RK::Set || r.sub[0].k == RK::Into) {
            Rule b;
            b.k = RK::Block;
            b.alts.push_back({std::move(r.sub[0])});
            r.sub[0] = std::move(b);
        }
        return r;
    case 17:
        r.k = RK::Keep;
        r.pick = g.pick(3) == 0;
        r.sub.push_back(rule(s, text_rules, depth + 1, in_rep));
        return r;
    case 18:
        if (s.into_depth > 0) return literal(s, text_rules);
        r.k = RK::Remove;
        r.sub.push_back(rule(s, text_rules, depth + 1, in_rep));
        return r;
    case 15:
        r.k = RK::Case;
        r.strict = g.pick(2);
        r.sub.push_back(rule(s, text_rules, depth + 1, in_rep));
        return r;
    default: r.k = RK::Fail; return r;
    }
}

// ---- the matcher --------------------------------------------------------------------------------

struct ModelError {
    std::string id;
};

// `break` or `reject` on its way to the innermost repetition, with the
// input position it left (in that repetition's input).
struct Stop {
    bool is_break;
    size_t pos;
};

size_t length(const Val& v) { return v.k == VK::Str ? v.s.size() : v.kids.size(); }

struct Input {
    Val* v;  // a Str or a Block
    bool has_limit = false;
    int64_t limit = 0;  // /part, in units of the input
    bool text() const { return v->k == VK::Str; }
    size_t total() const { return length(*v); }
    size_t end() const {
        size_t t = total();
        return has_limit && limit < int64_t(t) ? size_t(std::max<int64_t>(limit, 0)) : t;
    }
    size_t clamp(size_t p) const { return std::min(p, total()); }
    // Removes [from, to); the limit keeps covering the same stretch of input.
    void remove(size_t from, size_t to) {
        if (text()) v->s.erase(from, to - from);
        else v->kids.erase(v->kids.begin() + long(from), v->kids.begin() + long(to));
        if (!has_limit || limit <= int64_t(from)) return;
        limit = limit >= int64_t(to) ? limit - int64_t(to - from) : int64_t(from);
    }
};

struct Matcher {
    bool strict = false;
    Val vars[4];
    // The collects running, innermost last, each with the block it fills;
    // the block a top-level plain collect gave.
    struct Collect {
        Val block = make_block({});
        int var;
    };
    std::vector<Collect*> collects;
    Val result;
    bool has_result = false;

    Val element(const Input& in, size_t i) const { return in.text() ? make_char(in.v->s[i]) : in.v->kids[i]; }

    // A collect ends: a plain one gives its block to the enclosing collect
    // (when its rule matched) or to parse (when it matched, or when no
    // collect has given one yet); `collect set` gives it to its word.
    void deliver(const Collect& c, bool matched) {
        if (c.var) vars[c.var] = c.block;
        else if (!collects.empty()) {
            if (matched) collects.back()->block.kids.push_back(c.block);
        } else if (matched || !has_result) {
            result = c.block;
            has_result = true;
        }
    }

    // How far the literal matches at h: -1 when it does not.
    int match_literal(const Rule& r, const Input& in, size_t h) const {
        const Val& lit = r.lit;
        if (in.text()) {
            if (h >= in.end()) return lit.k == VK::Str && lit.s.empty() ? 0 : -1;
            if (lit.k == VK::Char) return same_char(in.v->s[h], uint32_t(lit.i), strict) ? 1 : -1;
            if (lit.k != VK::Str || lit.s.size() > in.end() - h) return -1;
            return same_text(in.v->s.substr(h, lit.s.size()), lit.s, strict) ? int(lit.s.size()) : -1;
        }
        if (h >= in.end()) return -1;
        const Val& el = in.v->kids[h];
        if (r.form == Form::LitWord) return el.k == VK::Word && same_text(el.s, lit.s, strict) ? 1 : -1;
        return equal(lit, el, strict) ? 1 : -1;
    }

    Val slice(const Input& in, size_t from, size_t to) const {
        if (in.text()) return make_str(in.v->s.substr(from, to - from));
        return make_block(std::vector<Val>(in.v->kids.begin() + long(from), in.v->kids.begin() + long(to)));
    }

    bool block(const std::vector<std::vector<Rule>>& alts, Input& in, size_t& pos) {
        size_t start = pos;
        for (const auto& alt : alts) {
            pos = in.clamp(start);
            bool ok = true;
            for (const Rule& x : alt)
                if (!rule(x, in, pos)) {
                    ok = false;
                    break;
                }
            if (ok) return true;
        }
        pos = in.clamp(start);
        return false;
    }

    bool rule(const Rule& r, Input& in, size_t& pos) {
        size_t start = pos;
        switch (r.k) {
        case RK::Lit: {
            int n = match_literal(r, in, pos);
            if (n < 0) return false;
            pos += size_t(n);
            return true;
        }
        case RK::Type:
            if (in.text()) throw ModelError{"parse-unsupported"};
            if (pos >= in.end() || in.v->kids[pos].k != r.type) return false;
            pos++;
            return true;
        case RK::Skip:
            if (pos >= in.end()) return false;
            pos++;
            return true;
        case RK::End: return pos >= in.end();
        case RK::None: return true;
        case RK::Fail: return false;
        case RK::Break: throw Stop{true, pos};
        case RK::Reject: throw Stop{false, pos};
        case RK::Block: return block(r.alts, in, pos);
        case RK::Rep: {
            // A round that neither moved nor resized the input would match
            // the same way again.
            int count = 0;
            while (r.max < 0 || count < r.max) {
                size_t round = pos, round_total = in.total();
                try {
                    if (!rule(r.sub[0], in, pos)) {
                        pos = in.clamp(round);
                        break;
                    }
                } catch (const Stop& stop) {
                    // break: the round it ends counts; reject: it fails.
                    bool ok = stop.is_break ? count + 1 >= r.min : count >= r.min;
                    pos = in.clamp(!ok ? start : stop.is_break ? stop.pos : round);
                    return ok;
                }
                count++;
                if (pos == round && in.total() == round_total) return true;
            }
            if (count >= r.min) return true;
            pos = in.clamp(start);
            return false;
        }
        case RK::To: case RK::Thru: {
            const Rule& x = r.sub[0];
            if (x.k == RK::Lit) {
                // A literal is searched for; only text can be looked for in text.
                if (in.text() && x.lit.k != VK::Char && x.lit.k != VK::Str) throw ModelError{"parse-rule"};
                for (size_t i = start;; i++) {
                    int n = match_literal(x, in, i);
                    if (n >= 0) {
                        pos = r.k == RK::To ? i : i + size_t(n);
                        return true;
                    }
                    if (i + 1 > in.end()) break;
                }
                return false;
            }
            // Tried at the head, then at each position up to the end
            // included (a head past a /part limit is tried once).
            for (size_t i = start;; i++) {
                pos = i;
                if (rule(x, in, pos)) {
                    if (r.k == RK::To) pos = in.clamp(i);
                    return true;
                }
                if (i + 1 > in.end()) break;
            }
            pos = in.clamp(start);
            return false;
        }
        case RK::Not: {
            bool ok = rule(r.sub[0], in, pos);
            pos = in.clamp(start);
            return !ok;
        }
        case RK::Ahead: {
            bool ok = rule(r.sub[0], in, pos);
            pos = in.clamp(start);
            return ok;
        }
        case RK::Copy: case RK::Set:
            if (!rule(r.sub[0], in, pos)) return false;
            if (r.k == RK::Copy) vars[r.var] = slice(in, in.clamp(start), in.clamp(std::max(pos, start)));
            else if (pos <= start || start >= in.total()) vars[r.var] = Val{};
            else vars[r.var] = element(in, start);
            return true;
        case RK::Into: {
            if (in.text()) throw ModelError{"parse-block"};
            if (pos >= in.end()) return false;
            Val& el = in.v->kids[pos];
            if (el.k != VK::Str && el.k != VK::Block) return false;
            Input inner{&el};
            size_t p = 0;
            try {
                if (!block(r.alts, inner, p) || p < inner.end()) return false;
            } catch (const Stop& stop) {
                throw Stop{stop.is_break, start};  // the outer input, at the element
            }
            pos++;
            return true;
        }
        case RK::Collect: {
            Collect c{make_block({}), r.var};
            collects.push_back(&c);
            bool ok;
            try {
                ok = rule(r.sub[0], in, pos);
            } catch (const Stop&) {
                // break and reject pass through a collect that delivers what it has
                collects.pop_back();
                deliver(c, true);
                throw;
            } catch (...) {
                collects.pop_back();
                throw;
            }
            collects.pop_back();
            deliver(c, ok);
            return ok;
        }
        case RK::Keep: {
            if (collects.empty()) throw ModelError{"parse-keep"};
            if (!rule(r.sub[0], in, pos)) return false;
            std::vector<Val>& into = collects.back()->block.kids;
            size_t end = in.clamp(pos);
            if (end <= start) {
                if (!r.pick) into.push_back(Val{});
            } else if (end - start == 1 || r.pick) {
                for (size_t i = start; i < end; i++) into.push_back(element(in, i));
            } else {
                into.push_back(slice(in, start, end));
            }
            return true;
        }
        case RK::Remove: {
            if (!rule(r.sub[0], in, pos)) return false;
            size_t from = in.clamp(start), to = in.clamp(pos);
            if (to > from) in.remove(from, to);
            pos = in.clamp(start);
            return true;
        }
        case RK::Case: {
            bool saved = strict;
            strict = r.strict;
            try {
                bool ok = rule(r.sub[0], in, pos);
                strict = saved;
                return ok;
            } catch (...) {
                strict = saved;
                throw;
            }
        }
        }
        return false;
    }
};

// ---- running Kel code ---------------------------------------------------------------------------

Cell* global(const char* name) {
    static Cell word;
    word_from_cstring(&word, name);
    return word_get_any(&word);
}

// Runs `code`; the error id, or "" when none.
std::string run_code(const std::string& code) {
    Cell block{TYPE_NONE, 0, 0, 0}, out{TYPE_NONE, 0, 0, 0};
    GcRootCell root(&block), keep(&out);
    try {
        fuzz::load_and_do(code, &block, &out);
    } catch (const KelThrow& t) {
        return t.id.empty() ? "?" : t.id;
    }
    return "";
}

[[noreturn]] void fail(const std::string& what, const std::string& program, const std::string& detail) {
    std::fprintf(stderr, "fuzz_parsediff: %s\n--- program:\nKel []\n%sprint mold reduce [r v1 v2 v3 inp]\n--- %s\n",
                 what.c_str(), program.c_str(), detail.c_str());
    std::abort();
}

void run_input(const uint8_t* data, size_t size) {
    Gen g{data, size};
    uint32_t flags = g.byte();
    bool strict = flags & 1, part = (flags & 6) == 6;
    bool text_input = (flags & 8) == 0;
    Setup s{g, (flags & 0x30) == 0x30};
    Val input = text_input ? make_str(text(g, 7, s.wide)) : make_block({});
    if (!text_input)
        for (uint32_t n = g.pick(7); n > 0; n--) input.kids.push_back(element(g, 0));
    // The input from a head index; /part a count from it, a position in the
    // input, or (rarely) a position in another series.
    uint32_t len = uint32_t(length(input));
    uint32_t head = flags & 0x40 ? g.pick(len + 1) : 0;
    bool part_at = flags & 0x80, part_other = part_at && g.pick(16) == 0;
    int64_t count = part_at ? 0 : int64_t(g.pick(len + 3)) - 1;
    uint32_t at = part_at ? g.pick(len + 1) : 0;
    int64_t limit = part_at ? int64_t(at) : head + count;
    Rule top;
    top.k = RK::Block;
    top.alts = alternatives(s, text_input, 0, false);

    std::string program = "v1: none v2: none v3: none c: true d: false\ninp: " + source(input, false) + "\nr: parse";
    if (strict) program += "/case";
    if (part) program += "/part";
    program += " skip inp " + std::to_string(head) + " " + source(top.alts);
    if (part && part_at) program += std::string(part_other ? " skip copy inp " : " skip inp ") + std::to_string(at);
    else if (part) program += " " + std::to_string(count);
    program += "\n";

    Matcher m;
    m.strict = strict;
    std::string want_error;
    Val result{VK::Logic, 0, {}, {}};
    try {
        if (part && part_other) {
            want_error = "invalid-refine-arg";
        } else if (part && limit <= 0) {
            result.i = head == len;
        } else {
            Val edited = input;
            Input in{&edited, part, limit};
            size_t pos = head;
            result.i = m.block(top.alts, in, pos) && pos >= in.end();
            input = edited;
            if (m.has_result) result = m.result;
        }
    } catch (const ModelError& e) {
        want_error = e.id;
    }

    static const bool show = std::getenv("KEL_FUZZ_SHOW") != nullptr;  // for minimising
    if (show) std::fprintf(stderr, "%s", program.c_str());
    std::string got_error = run_code(program);
    if (parse_rule_stack_depth() != 0 || parse_input_stack_depth() != 0) fail("work stacks left", program, "");
    if (got_error != want_error)
        fail("errors differ", program, "expected " + (want_error.empty() ? "no error" : want_error) + ", got " +
                                           (got_error.empty() ? "no error" : got_error));
    if (!want_error.empty()) return;
    std::string expected = source(result, true);
    for (int v = 1; v <= 3; v++) expected += " " + source(m.vars[v], true);
    expected += " " + source(input, true);
    std::string check = "ok: strict-equal? reduce [r v1 v2 v3 inp] reduce [" + expected + "]\n";
    std::string err = run_code(check);
    if (!err.empty()) fail("the check raised " + err, program, check);
    Cell* ok = global("ok");
    if (!ok->is(TYPE_LOGIC) || ok->data1 == 0) fail("results differ", program, "expected [" + expected + "]");
    if (show) std::fprintf(stderr, "== [%s]\n", expected.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::boot_quiet_once();
    if (size == 0 || size > 512) return 0;
    Cell* top = g_stack.top;
    CallFrame* frame = g_stack.frame_top;
    interp_run_on_big_stack([&] { run_input(data, size); });
    if (g_stack.top != top || g_stack.frame_top != frame) std::abort();
    return 0;
}
