// Differential fuzz target for the numbers: integer!, float! and char!
// arithmetic, conversions, comparison and the numeric natives. The input
// picks operands and a short chain of operations, each applied to the value
// of the one before; the chain runs as one Kel expression through the
// interpreter (so argument type checks, refinements, operators, action
// dispatch and the interpreter's frameless number paths take part), and its
// result or error is compared with a reference computed here from first
// principles:
//
// - integer results in __int128, so a result that leaves the 32-bit range is
//   known exactly: add, subtract, multiply and power move to float!, char!
//   arithmetic raises math `overflow`, conversions raise their range errors;
// - float results by the C library on the same doubles (bit for bit, any NaN
//   matching any NaN), except rounding to a scale that is not a power of
//   two, which is checked against long double arithmetic and left unchecked
//   where the quotient lies too close to a rounding boundary to tell;
// - comparisons by the tolerant, strict and bitwise rules written out here;
// - formed floats by the C library's "%g", number text by strtod, issues as
//   hexadecimal, [mantissa exponent] blocks through the mantissa's digits;
// - random draws by a copy of the seeded generator (secure draws by their
//   range only).
//
// Operands: 32-bit integers at the edges, near them and of any bits; floats
// of any bit pattern (signed zeros, NaNs with payloads, infinities,
// subnormals, values next to the int32 and code-point bounds); chars of any
// code point (surrogates too); numbers through words or as literals; now and
// then a none!, logic!, string!, issue! or block! operand, mostly for the
// conversions and otherwise for the type errors.
//
// Any difference aborts with the expression, the operands (with their bits)
// and both results.
#include <algorithm>
#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/actions.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/stack.h"
#include "runtime/startup.h"
#include "tests/fuzz/fuzz_gen.h"

using namespace kel;

namespace {

using fuzz::Gen;
using i128 = __int128;

constexpr double kPi = 3.141592653589793;
constexpr double kEps = 2.220446049250313e-16;  // 2^-52
constexpr uint32_t kCharMax = 0x10FFFF;

// ---- operands ---------------------------------------------------------------------------------

enum class T { Int, Flt, Chr, None, Logic, Str, Issue, Block };

struct Operand {
    T t = T::Int;
    int32_t i = 0;               // Int
    double d = 0;                // Flt
    uint32_t cp = 0;             // Chr
    bool b = false;              // Logic
    std::vector<uint32_t> text;  // Str and Issue, code points
    std::vector<Operand> items;  // Block
    bool literal = false;        // Int, Flt, Chr: written in the code rather than through a word
};

bool fits32(i128 v) { return v >= INT32_MIN && v <= INT32_MAX; }

const int32_t kIntEdges[] = {0, 1, -1, 2, -2, 3, 7, 10, -10, 255, 256, 65535, 65536, -65536, 46340, 46341,
                             -46341, 0x10FFFF, 0x110000, INT32_MAX, INT32_MIN, INT32_MAX - 1, INT32_MIN + 1,
                             1 << 30, -(1 << 30), 31, 32, 33, 63, 64, 90, 180, 270, 360, -90, -180, 0xD800, 8,
                             9, 16, 17, 5, 15, 25, -15, -11, 100, 1000, 1'000'000'000, -1'000'000'000};

double nan_with(uint64_t payload, bool negative) {
    uint64_t bits = 0x7FF0000000000000u | (payload & 0xFFFFFFFFFFFFFu);
    if ((bits & 0xFFFFFFFFFFFFFu) == 0) bits |= 1;
    if (negative) bits |= 0x8000000000000000u;
    return std::bit_cast<double>(bits);
}

const double kFloatEdges[] = {
    0.0, -0.0, HUGE_VAL, -HUGE_VAL, DBL_MAX, -DBL_MAX, DBL_MIN, -DBL_MIN, 4.9406564584124654e-324,
    -4.9406564584124654e-324, 2.2250738585072009e-308, 0.5, -0.5, 1.5, -1.5, 2.5, -2.5, 3.5, 0.1, 0.2, 0.3,
    1e308, -1e308, 1e-310, 1.0, -1.0, 2.0, 3.0, 10.0, 0.25, 0.75, 0.01, 100.0, 1e15 + 0.5,
    4503599627370495.5, 0.49999999999999994, 9007199254740992.0, 9007199254740994.0, 1e16, 1e300,
    2147483647.0, 2147483648.0, -2147483648.0, -2147483649.0, 2147483647.5, 2147483647.9999998,
    -2147483648.5, -2147483648.9999998, 4294967296.0, 1114111.9, 1114112.0, 1114111.0, -0.9, 0.9,
    90.0, 180.0, 270.0, 45.0, 360.0, -90.0, -270.0, 135.0, 1e10, kPi / 2, -kPi / 2, kPi, kEps, 1e-16,
    7.0, 0.7, 17.0, 12.5, -12.5, 1234.5, 0.05, 0.125, 1e-300, 1e17, 1e-5,
};

const uint32_t kCharEdges[] = {0, 1, 9, 10, 30, 31, 32, 34, 94, 127, 0x80, 0x85, 0x9F, 0xA0, 0xE9, 0xFF,
                               0x100, 0x7FF, 0x800, 0xD7FF, 0xD800, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF,
                               0x10000, 0x1F600, 0x10FFFF, 'a', 'z', 'A', '0', '9', '"', '^', 0x10FFFE};

uint32_t u32(Gen& g) { return g.byte() << 24 | g.byte() << 16 | g.byte() << 8 | g.byte(); }
uint64_t u64(Gen& g) { return uint64_t(u32(g)) << 32 | u32(g); }

int32_t gen_int(Gen& g) {
    switch (g.pick(6)) {
    case 0: return int32_t(u32(g));
    case 1: return int32_t(g.byte()) - 128;
    case 2: return int32_t(uint32_t(kIntEdges[g.pick(sizeof kIntEdges / sizeof kIntEdges[0])]) + g.pick(5) - 2);
    default: return kIntEdges[g.pick(sizeof kIntEdges / sizeof kIntEdges[0])];
    }
}

double step_ulps(double d, int steps) {
    for (; steps > 0; steps--) d = std::nextafter(d, HUGE_VAL);
    for (; steps < 0; steps++) d = std::nextafter(d, -HUGE_VAL);
    return d;
}

double gen_float(Gen& g) {
    constexpr size_t n = sizeof kFloatEdges / sizeof kFloatEdges[0];
    switch (g.pick(10)) {
    case 0: return std::bit_cast<double>(u64(g));
    case 1: return nan_with(u64(g), g.pick(2));
    case 2: return std::numeric_limits<double>::quiet_NaN();
    case 3: return step_ulps(kFloatEdges[g.pick(n)], int(g.pick(7)) - 3);  // next to an edge
    case 4: return (int32_t(g.byte()) - 128) / 8.0;
    case 5: return double(gen_int(g)) + (int32_t(g.pick(9)) - 4) * 0.25;
    case 6: return (int32_t(g.byte() << 8 | g.byte()) - 32768) * 0.1;
    default: return kFloatEdges[g.pick(n)];
    }
}

uint32_t gen_char(Gen& g) {
    switch (g.pick(4)) {
    case 0: return u32(g) % 0x110000;
    case 1: return g.byte();
    default: return kCharEdges[g.pick(sizeof kCharEdges / sizeof kCharEdges[0])];
    }
}

// Number text for the conversions: the digits of a 64-bit value or of a
// double, with signs, separators, a decimal comma, and now and then a
// character that makes it no number (a space, a letter, a non-ASCII digit,
// a code point whose low seven bits are a digit).
std::vector<uint32_t> gen_number_text(Gen& g) {
    std::string s;
    char buf[64];
    switch (g.pick(6)) {
    case 0: {
        static const int64_t kWide[] = {INT32_MAX, INT32_MIN, int64_t(INT32_MAX) + 1, int64_t(INT32_MIN) - 1,
                                        INT64_MAX, INT64_MIN, 4294967296, -4294967296, 0, 99999999999};
        int64_t v = g.pick(2) ? int64_t(uint64_t(kWide[g.pick(10)]) + g.pick(5) - 2) : int64_t(u64(g));
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
        s = buf;
        break;
    }
    case 1: {
        double d = gen_float(g);
        if (!std::isfinite(d)) d = 1.5;
        std::snprintf(buf, sizeof buf, g.pick(2) ? "%.17g" : "%g", d);
        s = buf;
        break;
    }
    case 2:
        s = std::to_string(gen_int(g));
        break;
    case 3:
        for (uint32_t k = 1 + g.pick(25); k > 0; k--) s += char('0' + g.pick(10));
        break;
    case 4: {
        static const char* const kOdd[] = {"", "+", "-", ".", "+1", "-0", "0", "1'000", "1,5", "-1,5e3",
                                           "007", "1e400", "-1e-400", "+-1", "1.", ".5", "1e", "1'"};
        s = g.from(kOdd);
        break;
    }
    default:
        std::snprintf(buf, sizeof buf, "%d", int32_t(g.byte()) - 128);
        s = buf;
        break;
    }
    if (g.pick(3) == 0 && s.size() > 1 && !(s[0] == '+' && g.pick(2))) {
        // A separator between two digits.
        for (size_t k = 1; k < s.size(); k++)
            if (std::isdigit(uint8_t(s[k - 1])) && std::isdigit(uint8_t(s[k])) && g.pick(3) == 0) s.insert(k++, "'");
    }
    if (g.pick(4) == 0 && s.find('.') != std::string::npos) s[s.find('.')] = ',';
    if (g.pick(4) == 0 && s[0] != '-' && s[0] != '+') s.insert(0, "+");
    std::vector<uint32_t> cps(s.begin(), s.end());
    if (g.pick(5) == 0) {
        static const uint32_t kJunk[] = {' ', 'x', 0x661, 0xB1, 0xFF11, 0xB0, '.', 0x2019, 'e'};
        uint32_t at = g.pick(uint32_t(cps.size()) + 1);
        cps.insert(cps.begin() + at, kJunk[g.pick(sizeof kJunk / sizeof kJunk[0])]);
    }
    return cps;
}

// Issue text for `to integer!`, read as hexadecimal: digits, now and then
// too many of them or a letter that is no digit.
std::vector<uint32_t> gen_issue_text(Gen& g) {
    static const char kDigits[] = "0123456789abcdefABCDEF";
    std::vector<uint32_t> t(g.pick(11));
    for (uint32_t& c : t) c = kDigits[g.pick(22)];
    if (g.pick(5) == 0 && !t.empty()) {
        static const uint32_t kJunk[] = {'g', 'G', 'z', 0xE9, 0x661, 0xB1, 0xC1, 0xFF21};
        t[g.pick(uint32_t(t.size()))] = kJunk[g.pick(sizeof kJunk / sizeof kJunk[0])];
    }
    return t;
}

Operand gen_operand(Gen& g, bool often_text = false, int depth = 0);

// A block for `to float!`: [mantissa exponent] mostly, of numbers mostly.
Operand gen_block(Gen& g, int depth) {
    Operand o;
    o.t = T::Block;
    uint32_t n = g.pick(8) == 0 ? g.pick(4) : 2;
    for (uint32_t k = 0; k < n; k++) {
        Operand item = g.pick(6) == 0 ? gen_operand(g, false, depth + 1) : Operand{};
        if (item.t != T::Int && item.t != T::Flt && g.pick(6) != 0) {
            item = Operand{};
            if (k == 1 || g.pick(2)) item.t = T::Int, item.i = g.pick(4) == 0 ? gen_int(g) : int32_t(g.pick(41)) - 20;
            else item.t = T::Flt, item.d = gen_float(g);
        }
        o.items.push_back(item);
    }
    return o;
}

Operand gen_operand(Gen& g, bool often_text, int depth) {
    Operand o;
    uint32_t k = g.pick(36);
    if (often_text && k < 12) k = 30 + k % 6;
    // Operands of other types only now and then, where type errors are all
    // there is to see.
    if (!often_text && k >= 28 && g.pick(3) != 0) k %= 28;
    if (depth > 0 && k >= 33) k = 0;
    if (k < 11) {
        o.t = T::Int;
        o.i = gen_int(g);
    } else if (k < 22) {
        o.t = T::Flt;
        o.d = gen_float(g);
    } else if (k < 28) {
        o.t = T::Chr;
        o.cp = gen_char(g);
    } else if (k == 28) {
        o.t = T::None;
    } else if (k == 29) {
        o.t = T::Logic;
        o.b = g.pick(2);
    } else if (k < 33) {
        o.t = T::Str;
        o.text = gen_number_text(g);
        // Text for to char!: one character of any kind at the head.
        if (g.pick(4) == 0) {
            uint32_t c = gen_char(g);
            if (c != 0 && (c < 0xD800 || c > 0xDFFF)) o.text.insert(o.text.begin(), c);
        }
    } else if (k == 33) {
        o.t = T::Issue;
        o.text = gen_issue_text(g);
    } else {
        o = gen_block(g, depth);
    }
    // Numbers written as literals go through the loader too; a NaN has no
    // literal that keeps its payload, a surrogate none at all.
    if (g.pick(4) == 3 && (o.t == T::Int || (o.t == T::Flt && !std::isnan(o.d)) ||
                           (o.t == T::Chr && (o.cp < 0xD800 || o.cp > 0xDFFF))))
        o.literal = true;
    return o;
}

// An operand next to [a]: the same number as another type, or a few units
// in the last place away.
Operand related(Gen& g, const Operand& a) {
    Operand b;
    int steps = int(g.pick(25)) - 12;
    switch (a.t) {
    case T::Flt:
        b.t = T::Flt;
        b.d = g.pick(4) == 0 ? -a.d : step_ulps(a.d, steps);
        if (g.pick(4) == 0 && a.d >= -2147483648.0 && a.d <= 2147483647.0) b.t = T::Int, b.i = int32_t(a.d);
        break;
    case T::Int:
        b.t = T::Flt;
        b.d = step_ulps(double(a.i), steps / 4);
        if (g.pick(3) == 0 && a.i >= 0 && a.i <= int32_t(kCharMax)) b.t = T::Chr, b.cp = uint32_t(a.i);
        break;
    case T::Chr:
        b.t = g.pick(2) ? T::Int : T::Flt;
        b.i = int32_t(a.cp);
        b.d = a.cp + steps * 0.125;
        break;
    default:
        b = a;
        break;
    }
    return b;
}

bool numeric(const Operand& o) { return o.t == T::Int || o.t == T::Flt; }
double as_double(const Operand& o) { return o.t == T::Int ? double(o.i) : o.t == T::Chr ? double(o.cp) : o.d; }

std::string show_text(const std::vector<uint32_t>& cps) {
    std::string s = "\"";
    char buf[16];
    for (uint32_t c : cps) {
        if (c >= 32 && c < 127 && c != '"' && c != '^') s += char(c);
        else std::snprintf(buf, sizeof buf, "^(%X)", c), s += buf;
    }
    return s + "\"";
}

std::string show(const Operand& o);
std::string show(const Operand& o) {
    char buf[96];
    switch (o.t) {
    case T::Int: std::snprintf(buf, sizeof buf, "integer %d", o.i); break;
    case T::Flt:
        std::snprintf(buf, sizeof buf, "float %.17g (%a, bits %016llX)", o.d, o.d,
                      static_cast<unsigned long long>(std::bit_cast<uint64_t>(o.d)));
        break;
    case T::Chr: std::snprintf(buf, sizeof buf, "char U+%X", o.cp); break;
    case T::None: return "none";
    case T::Logic: return o.b ? "true" : "false";
    case T::Str: return "string " + show_text(o.text);
    case T::Issue: return "issue from " + show_text(o.text);
    case T::Block: {
        std::string s = "block [";
        for (const Operand& item : o.items) s += " " + show(item) + ";";
        return s + " ]";
    }
    }
    return std::string(buf) + (o.literal ? " (literal)" : "");
}

// ---- outcomes ---------------------------------------------------------------------------------

struct Outcome {
    enum Kind { Int, Flt, Chr, Logic, Text, Error, Skip } k = Skip;
    int64_t i = 0;
    double d = 0;
    std::string s;  // Text, or the error id
    double tolerance = 0;  // Flt: accepted relative difference (0: the same bits)
    // A value not known exactly (a secure random draw): any in lo .. hi.
    bool range = false;
    double lo = 0, hi = 0;
};

Outcome out_int(i128 v) { return {Outcome::Int, int64_t(v), 0, "", 0}; }
Outcome out_flt(double d, double tolerance = 0) { return {Outcome::Flt, 0, d, "", tolerance}; }
Outcome out_chr(uint32_t c) { return {Outcome::Chr, c, 0, "", 0}; }
Outcome out_logic(bool b) { return {Outcome::Logic, b, 0, "", 0}; }
Outcome out_text(std::string s) { return {Outcome::Text, 0, 0, std::move(s), 0}; }
Outcome err(const char* id) { return {Outcome::Error, 0, 0, id, 0}; }
Outcome skip() { return {}; }
Outcome in_range(Outcome::Kind k, double lo, double hi) {
    Outcome o;
    o.k = k;
    o.range = true;
    o.lo = std::fmin(lo, hi);
    o.hi = std::fmax(lo, hi);
    return o;
}

std::string show(const Outcome& o) {
    char buf[128];
    switch (o.k) {
    case Outcome::Int:
    case Outcome::Chr:
        if (o.range) {
            std::snprintf(buf, sizeof buf, "%s in %.17g .. %.17g", o.k == Outcome::Int ? "integer" : "char", o.lo, o.hi);
            return buf;
        }
        if (o.k == Outcome::Chr) {
            std::snprintf(buf, sizeof buf, "char U+%llX", static_cast<unsigned long long>(o.i));
            return buf;
        }
        return "integer " + std::to_string(o.i);
    case Outcome::Flt:
        if (o.range) {
            std::snprintf(buf, sizeof buf, "float in %.17g .. %.17g", o.lo, o.hi);
            return buf;
        }
        std::snprintf(buf, sizeof buf, "float %.17g (%a, bits %016llX)%s", o.d, o.d,
                      static_cast<unsigned long long>(std::bit_cast<uint64_t>(o.d)), o.tolerance ? " approx" : "");
        return buf;
    case Outcome::Logic: return o.i ? "true" : "false";
    case Outcome::Text: return "text \"" + o.s + "\"";
    case Outcome::Error: return "error " + o.s;
    case Outcome::Skip: return "(not checked)";
    }
    return "?";
}

bool same_float(double want, double got, double tolerance) {
    if (std::isnan(want) || std::isnan(got)) return std::isnan(want) && std::isnan(got);
    if (std::bit_cast<uint64_t>(want) == std::bit_cast<uint64_t>(got)) return true;
    if (tolerance == 0) return false;
    if (std::isinf(want) || std::isinf(got)) return false;
    return std::fabs(want - got) <= tolerance * std::fmax(std::fabs(want), DBL_MIN);
}

bool matches(const Outcome& want, const Outcome& got) {
    if (want.k == Outcome::Skip) return true;
    if (want.k != got.k) return false;
    if (want.range) {
        double v = want.k == Outcome::Flt ? got.d : double(got.i);
        return v >= want.lo && v <= want.hi;
    }
    switch (want.k) {
    case Outcome::Flt: return same_float(want.d, got.d, want.tolerance);
    case Outcome::Text:
    case Outcome::Error: return want.s == got.s;
    default: return want.i == got.i;
    }
}

// ---- the reference ----------------------------------------------------------------------------

enum Op {
    ADD, SUB, MUL, DIV, REM, POW, NEG, ABS, AND, OR, XOR, CPL, SHIFT, TOHEX, ROUND, EVENQ, ODDQ, ZEROQ,
    POSQ, NEGQ, SIGNQ, NANQ, MIN, MAX, CMP, SAMEQ, CONV, SIN, COS, TAN, ASIN, ACOS, ATAN, ATAN2, LOG2,
    LOG10, LOGE, EXP, SQRT, MOLD, FORM, RANDOM, OP_COUNT
};

// Comparison codes, in the order of their natives.
enum Cmp { C_EQ, C_NE, C_STRICT, C_LT, C_LE, C_GT, C_GE, C_SAME };

struct Case {
    Op op = ADD;
    Operand a, b;
    bool has_b = false;
    // Refinements and choices of the operation.
    bool infix = false;
    int cmp = 0;
    int target = 0;      // CONV: 0 integer!, 1 float!, 2 char!
    bool make = false;   // CONV: make rather than to
    bool left = false, logical = false, radians = false, all = false, size = false, secure = false;
    bool to = false, even = false, down = false, half_down = false, floor_ = false, ceiling = false,
         half_ceiling = false;
};

// Doubles in the order of their values, for counting units in the last place.
uint64_t ordered(double d) {
    uint64_t b = std::bit_cast<uint64_t>(d);
    return b >> 63 ? 0 - b : b | 0x8000000000000000u;
}

// `=` on doubles: equal, or within 2^-52 of each other, or at most 10 units
// in the last place apart with high halves at most 1 apart; an infinity is
// equal only to itself, NaN to nothing.
bool almost_equal(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return false;
    if (a == b) return true;
    if (std::isinf(a) || std::isinf(b)) return false;
    if (std::fabs(a - b) < kEps) return true;
    uint64_t x = ordered(a), y = ordered(b);
    uint64_t distance = x > y ? x - y : y - x;
    int64_t high = int64_t(x >> 32) - int64_t(y >> 32);
    return distance <= 10 && high >= -1 && high <= 1;
}

// The comparison result code for doubles: -1, 0, 1.
int float_cmp(double a, double b, int cmp) {
    switch (cmp) {
    case C_EQ:
    case C_NE: return almost_equal(a, b) ? 0 : 1;
    case C_STRICT: return a == b ? 0 : 1;
    case C_SAME: return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b) ? 0 : 1;
    default:
        if (std::isnan(a) || std::isnan(b)) return cmp == C_LT || cmp == C_LE ? 1 : -1;
        return (a > b) - (a < b);
    }
}

constexpr int kIncomparable = -2;

// The compare slot of a's type: -1, 0, 1 or kIncomparable.
int compare_code(const Operand& a, const Operand& b, int cmp) {
    bool strict = cmp == C_STRICT || cmp == C_SAME;
    switch (a.t) {
    case T::Int:
        if (cmp == C_STRICT && b.t != T::Int) return 1;
        if (b.t == T::Int || b.t == T::Chr) {
            int64_t x = a.i, y = b.t == T::Int ? b.i : int64_t(b.cp);
            return (x > y) - (x < y);
        }
        if (b.t == T::Flt) return float_cmp(double(a.i), b.d, cmp);
        return kIncomparable;
    case T::Flt:
        if (strict && b.t != T::Flt) return 1;
        if (b.t == T::Int || b.t == T::Flt) return float_cmp(a.d, as_double(b), cmp);
        return kIncomparable;
    case T::Chr:
        if (cmp == C_STRICT && b.t != T::Chr) return 1;
        if (b.t == T::Chr || b.t == T::Int) {
            int64_t x = a.cp, y = b.t == T::Chr ? int64_t(b.cp) : b.i;
            return (x > y) - (x < y);
        }
        return kIncomparable;
    default:
        return 99;  // not modelled
    }
}

Outcome compare_ref(const Case& c) {
    const Operand &a = c.a, &b = c.b;
    if (c.cmp == C_SAME) {
        if (a.t != b.t) return out_logic(false);
        switch (a.t) {
        case T::Int: return out_logic(a.i == b.i);
        case T::Chr: return out_logic(a.cp == b.cp);
        case T::Flt: return out_logic(std::bit_cast<uint64_t>(a.d) == std::bit_cast<uint64_t>(b.d));
        case T::None: return out_logic(true);
        case T::Logic: return out_logic(a.b == b.b);
        default: return skip();
        }
    }
    int r = compare_code(a, b, c.cmp);
    if (r == 99) return skip();
    if (r == kIncomparable) {
        if (c.cmp == C_EQ || c.cmp == C_STRICT) return out_logic(false);
        if (c.cmp == C_NE) return out_logic(true);
        return err("invalid-compare");
    }
    switch (c.cmp) {
    case C_EQ: case C_STRICT: return out_logic(r == 0);
    case C_NE: return out_logic(r != 0);
    case C_LT: return out_logic(r < 0);
    case C_LE: return out_logic(r <= 0);
    case C_GT: return out_logic(r > 0);
    default: return out_logic(r >= 0);
    }
}

Outcome minmax_ref(const Case& c, bool max) {
    const Operand &a = c.a, &b = c.b;
    auto series = [](const Operand& o) { return o.t == T::Str || o.t == T::Block; };
    auto scalar = [&](const Operand& o) { return o.t == T::Int || o.t == T::Flt || o.t == T::Chr || series(o); };
    if (!scalar(a) || !scalar(b)) return err("expect-arg");
    if (series(a) && series(b)) return skip();
    auto value = [](const Operand& o) {
        return o.t == T::Int ? out_int(o.i) : o.t == T::Flt ? out_flt(o.d) : o.t == T::Chr ? out_chr(o.cp) : skip();
    };
    if (a.t == T::Flt && std::isnan(a.d) && numeric(b)) return value(a);
    if (b.t == T::Flt && std::isnan(b.d) && numeric(a)) return value(b);
    int r = series(a) ? kIncomparable : compare_code(a, b, C_LT);
    if (r == kIncomparable) return err("invalid-compare");
    bool lesser = r < 0;
    return value(max == lesser ? b : a);
}

// Integer arithmetic as the int32 core does it: exact in 128 bits; what
// leaves the range is reported through [overflow].
i128 int_math(int64_t a, int64_t b, Op op, bool& overflow, const char*& error) {
    overflow = false;
    error = nullptr;
    i128 r = 0;
    switch (op) {
    case ADD: r = i128(a) + b; break;
    case SUB: r = i128(a) - b; break;
    case MUL: r = i128(a) * b; break;
    case DIV:
    case REM:
        if (b == 0) { error = "zero-divide"; return 0; }
        if (a == INT32_MIN && b == -1) { error = "overflow"; return 0; }
        r = op == DIV ? i128(a / b) : i128(a % b);
        break;
    case AND: r = int32_t(a) & int32_t(b); break;
    case OR: r = int32_t(a) | int32_t(b); break;
    case XOR: r = int32_t(a) ^ int32_t(b); break;
    default: break;
    }
    overflow = !fits32(r);
    return r;
}

double float_op(double a, double b, Op op) {
    switch (op) {
    case ADD: return a + b;
    case SUB: return a - b;
    case MUL: return a * b;
    case DIV: return a / b;
    default:  // REM
        if (std::isnan(b)) return NAN;
        if (std::isinf(b)) return std::isfinite(a) ? a : NAN;
        return std::fmod(a, b);
    }
}

Outcome arith_ref(const Case& c) {
    const Operand &a = c.a, &b = c.b;
    Op op = c.op;
    bool bitwise = op == AND || op == OR || op == XOR;
    auto allowed = [&](const Operand& o) {
        if (bitwise) return o.t == T::Int || o.t == T::Chr || o.t == T::Logic;
        return o.t == T::Int || o.t == T::Flt || o.t == T::Chr;
    };
    if (!allowed(a) || !allowed(b)) return err("expect-arg");
    if (a.t == T::Logic || b.t == T::Logic) return skip();
    if (a.t == T::Int) {
        if (b.t == T::Flt) return out_flt(float_op(double(a.i), b.d, op));
        int64_t y = b.t == T::Int ? b.i : int64_t(b.cp);
        bool overflow;
        const char* error;
        i128 r = int_math(a.i, y, op, overflow, error);
        if (error) return err(error);
        if (op == DIV && i128(a.i) % y != 0) return out_flt(double(a.i) / double(y));
        if (overflow) return out_flt(float_op(double(a.i), double(y), op));
        return out_int(r);
    }
    if (a.t == T::Flt) return out_flt(float_op(a.d, as_double(b), op));
    // char!: the other operand as an integer (a float truncated, when it
    // fits in 32 bits); every result outside the code points overflows.
    int64_t y;
    if (b.t == T::Flt) {
        if (!(b.d >= -2147483648.0 && b.d <= 2147483647.0)) return err("overflow");
        y = int64_t(b.d);
    } else {
        y = b.t == T::Int ? b.i : int64_t(b.cp);
    }
    bool overflow;
    const char* error;
    i128 r = int_math(a.cp, y, op, overflow, error);
    if (error) return err(error);
    if (overflow || r < 0 || r > kCharMax) return err("overflow");
    return out_chr(uint32_t(r));
}

Outcome power_ref(const Case& c) {
    const Operand &a = c.a, &b = c.b;
    if (!numeric(a) || !numeric(b)) return err("expect-arg");
    if (a.t == T::Int && b.t == T::Int && b.i >= 0) {
        // Exact power by repeated multiplication, stopping once the
        // magnitude passes 2^31 (|base| >= 2 gets there within 32 steps).
        i128 r = 1;
        bool overflow = false;
        if (a.i == 0) r = b.i == 0 ? 1 : 0;
        else if (a.i == 1) r = 1;
        else if (a.i == -1) r = (b.i & 1) ? -1 : 1;
        else
            for (int32_t k = 0; k < b.i; k++) {
                r *= a.i;
                if (!fits32(r)) { overflow = true; break; }
            }
        if (!overflow) return out_int(r);
    }
    return out_flt(std::pow(as_double(a), as_double(b)));
}

// Rounds [q] to a whole number by the refinements.
double round_whole(double q, const Case& c) {
    if (c.down) return std::trunc(q);
    if (c.floor_) return std::floor(q);
    if (c.ceiling) return std::ceil(q);
    double m = std::fabs(q), whole = std::trunc(m), f = m - whole;
    double r;
    if (f < 0.5) r = whole;
    else if (f > 0.5) r = whole + 1;
    else if (c.even) r = std::fmod(whole, 2.0) == 0 ? whole : whole + 1;
    else if (c.half_down) r = whole;
    else if (c.half_ceiling) return std::ceil(q);
    else r = whole + 1;
    return std::copysign(r, q);
}

// Integer rounding to a multiple of [scale] (> 0), from the two multiples
// around [n]: exact, in 128 bits.
Outcome round_int(int64_t n, int64_t scale, const Case& c) {
    i128 q = n / scale;
    if (i128(n) - q * scale != 0 && n < 0) q -= 1;  // floor division
    i128 lo = q * scale, hi = lo + scale;
    if (lo == n) return out_int(n);
    i128 toward_zero = n > 0 ? lo : hi, away = n > 0 ? hi : lo;
    i128 below = n - lo, above = hi - n;  // distances
    i128 r;
    if (c.down) r = toward_zero;
    else if (c.floor_) r = lo;
    else if (c.ceiling) r = hi;
    else if (below != above) r = below < above ? lo : hi;
    else if (c.even) r = ((lo / scale) % 2 == 0) ? lo : hi;
    else if (c.half_down) r = toward_zero;
    else if (c.half_ceiling) r = hi;
    else r = away;
    if (!fits32(r)) return err("overflow");
    return out_int(r);
}

bool power_of_two(double s) {
    int e;
    return std::isfinite(s) && s > 0 && std::frexp(s, &e) == 0.5;
}

Outcome round_ref(const Case& c) {
    const Operand &a = c.a, &b = c.b;
    if (!numeric(a) || (c.to && !numeric(b))) return err("expect-arg");
    if (a.t == T::Int && (!c.to || b.t == T::Int)) {
        int64_t scale = c.to ? std::abs(int64_t(b.i)) : 1;
        if (scale == 0) return out_int(a.i);
        return round_int(a.i, scale, c);
    }
    double v = as_double(a);
    double s = c.to ? std::fabs(as_double(b)) : 1.0;
    bool want_int = c.to && b.t == T::Int;
    auto finish = [&](double r, double tolerance) {
        if (!want_int) return out_flt(r, tolerance);
        if (!(r >= -2147483648.0 && r <= 2147483647.0)) return err("type-limit");
        return out_int(int64_t(r));
    };
    if (s == 0) return out_flt(v);
    if (s < std::fabs(v) * 0x1p-53) return want_int ? err("type-limit") : out_flt(v);
    if (std::isnan(s) || std::isinf(s) || power_of_two(s) || std::isnan(v)) {
        // The quotient and the product are exact (or the special values
        // come out the same by any route).
        double q = v / s;
        bool exact = std::isnan(s) || std::isinf(s) || std::isnan(v) || q * s == v;
        if (exact) {
            double r = round_whole(q, c) * s;
            if (s >= 1 && std::isinf(r)) return err("overflow");
            return finish(r, 0);
        }
    }
    // Any other scale: the quotient in long double. Too near a rounding
    // boundary to tell, either multiple is accepted.
    long double q = static_cast<long double>(v) / s;
    long double m = std::fabs(q), f = m - std::trunc(m);
    long double near = std::fmax(1e-9L, m * 1e-14L);
    if (f < near || f > 1 - near || std::fabs(f - 0.5L) < near) return skip();
    double qd = double(q);
    double r = double(static_cast<long double>(round_whole(qd, c)) * s);
    if (s >= 1 && std::isinf(r)) return err("overflow");
    if (std::isinf(r)) return skip();
    if (want_int && std::fabs(r - std::nearbyint(r)) < 1e-6 * std::fmax(1.0, std::fabs(r))) r = std::nearbyint(r);
    return finish(r, 4 * kEps);
}

// Degrees to radians with the argument folded into the range the function
// needs: mode 0 by half turns, 2 reflected about the quarter turn, 1 kept.
double to_radians(double deg, int mode) {
    double x = std::fmod(deg, 360.0);
    if (x > 180 || x < -180) x = x < 0 ? x + 360 : x - 360;
    if (x > 90 || x < -90) {
        if (mode == 0) x = x < 0 ? x + 180 : x - 180;
        else if (mode == 2) x = x < 0 ? -180 - x : 180 - x;
    }
    return x * kPi / 180;
}

double tiny_to_zero(double d) { return std::fabs(d) < kEps ? 0.0 : d; }

Outcome trig_ref(const Case& c) {
    const Operand& a = c.a;
    if (!numeric(a)) return err("expect-arg");
    double x = as_double(a);
    switch (c.op) {
    case SIN: return out_flt(tiny_to_zero(std::sin(c.radians ? x : to_radians(x, 2))));
    case COS: return out_flt(tiny_to_zero(std::cos(c.radians ? x : to_radians(x, 1))));
    case TAN: {
        double r = c.radians ? x : to_radians(x, 0);
        if (r == kPi / 2) return out_flt(HUGE_VAL);
        if (r == -kPi / 2) return out_flt(-HUGE_VAL);
        return out_flt(std::tan(r));
    }
    default: {
        double r = c.op == ASIN ? std::asin(x) : c.op == ACOS ? std::acos(x) : std::atan(x);
        return out_flt(c.radians ? r : r * 180.0 / kPi);
    }
    }
}

Outcome atan2_ref(const Case& c) {
    if (!numeric(c.a) || !numeric(c.b)) return err("expect-arg");
    double r = std::atan2(as_double(c.a), as_double(c.b));
    // "times 180 / pi": either grouping of the product is fine.
    return c.radians ? out_flt(r) : out_flt(r * 180.0 / kPi, 2 * kEps);
}

Outcome unary_float_ref(const Case& c) {
    if (!numeric(c.a)) return err("expect-arg");
    double x = as_double(c.a);
    switch (c.op) {
    case LOG2: return out_flt(std::log(x) / 0.6931471805599453);
    case LOG10: return out_flt(std::log10(x));
    case LOGE: return out_flt(std::log(x));
    case EXP: return out_flt(std::pow(2.718281828459045, x));
    default: return out_flt(std::sqrt(x));
    }
}

// A "'" that does not follow a digit: whether it is a separator is left
// open, and such text is not checked.
bool stray_separator(const std::vector<uint32_t>& t) {
    for (size_t k = 0; k < t.size(); k++)
        if (t[k] == '\'' && (k == 0 || t[k - 1] < '0' || t[k - 1] > '9')) return true;
    return false;
}

// The decimal reading of text by `to integer!`: a sign, then digits with
// "'" after them; out of the 32-bit range is no integer.
bool text_integer(const std::vector<uint32_t>& t, i128& out) {
    size_t k = 0;
    bool negative = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) negative = t[0] == '-', k = 1;
    i128 v = 0;
    bool digits = false;
    for (; k < t.size(); k++) {
        if (t[k] == '\'') continue;
        if (t[k] < '0' || t[k] > '9') return false;
        digits = true;
        if (v < (i128(1) << 40)) v = v * 10 + (t[k] - '0');
    }
    if (!digits) return false;
    out = negative ? -v : v;
    return fits32(out);
}

// The reading of text by `to float!`: the float syntax (signs, digits with
// "'" separators, "," or "." as the decimal mark, an exponent), read with
// correct rounding by strtod.
bool text_float(const std::vector<uint32_t>& t, double& out) {
    std::string s;
    bool exponent = false;
    for (uint32_t c : t) {
        if (c > 127) return false;
        if (c == 'e' || c == 'E') exponent = true;
        if (c == '\'' && exponent) return false;  // separators stand in the digits before the exponent
        s += c == ',' ? '.' : char(c);
    }
    // A separator just before the point or the exponent is refused too.
    for (size_t k = 0; k + 1 < s.size(); k++)
        if (s[k] == '\'' && (s[k + 1] == '.' || s[k + 1] == 'e' || s[k + 1] == 'E' || s[k + 1] == '\'')) return false;
    s.erase(std::remove(s.begin(), s.end(), '\''), s.end());
    if (s.empty() || s.size() > 300) return false;
    // Validate: [+-] digits [. digits] [e [+-] digits], with a digit before
    // or after the point.
    size_t k = 0, n = s.size();
    if (s[k] == '+' || s[k] == '-') k++;
    size_t whole = 0, frac = 0;
    while (k < n && std::isdigit(uint8_t(s[k]))) k++, whole++;
    bool point = k < n && s[k] == '.';
    if (point) {
        k++;
        while (k < n && std::isdigit(uint8_t(s[k]))) k++, frac++;
    }
    if (whole + frac == 0) return false;
    if (k < n && (s[k] == 'e' || s[k] == 'E')) {
        if (point && frac == 0) return false;  // "1.e5" is no number
        k++;
        if (k < n && (s[k] == '+' || s[k] == '-')) k++;
        size_t e = 0;
        while (k < n && std::isdigit(uint8_t(s[k]))) k++, e++;
        if (e == 0) return false;
    }
    if (k != n) return false;
    out = std::strtod(s.c_str(), nullptr);
    return true;
}

// The digits of [m], shortest that read back as [m], as "d.ddd" and the
// decimal exponent.
void shortest_digits(double m, std::string& digits, int& exponent) {
    char buf[64];
    for (int precision = 0; precision < 17; precision++) {
        std::snprintf(buf, sizeof buf, "%.*e", precision, m);
        if (std::strtod(buf, nullptr) == m) break;
    }
    char* e = std::strchr(buf, 'e');
    exponent = std::atoi(e + 1);
    digits.assign(buf, e);
}

// `to float!` of [mantissa exponent]: the mantissa's shortest digits with
// the exponent added, read with correct rounding (so [15 -1] is 1.5 as
// written, not 15 x 0.1); the exponent truncated to an integer.
Outcome float_from_block(const Operand& a) {
    if (a.items.size() != 2) return err("bad-to-arg");
    for (const Operand& item : a.items)
        if (item.t != T::Int && item.t != T::Flt) return err("bad-to-arg");
    double m = as_double(a.items[0]), e = as_double(a.items[1]);
    if (!(e >= -2147483648.0 && e <= 2147483647.0)) return err("bad-to-arg");
    if (m == 0 || !std::isfinite(m)) return out_flt(m);
    std::string digits;
    int exponent;
    shortest_digits(m, digits, exponent);
    std::string text = digits + "e" + std::to_string(int64_t(exponent) + int64_t(e));
    return out_flt(std::strtod(text.c_str(), nullptr));
}

// `to integer!` of an issue: its name as at most eight hexadecimal digits.
Outcome integer_from_issue(const Operand& a) {
    if (a.text.size() > 8) return err("invalid-data");
    uint32_t v = 0;
    for (uint32_t c : a.text) {
        uint32_t digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                         : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
        if (digit == 99) return err("invalid-data");
        v = v << 4 | digit;
    }
    return out_int(int32_t(v));
}

Outcome conv_ref(const Case& c) {
    const Operand& a = c.a;
    if (a.t == T::Issue && c.target == 0) return integer_from_issue(a);
    if (a.t == T::Block && c.target == 1) return float_from_block(a);
    switch (c.target) {
    case 0:  // integer!
        switch (a.t) {
        case T::Int: return out_int(a.i);
        case T::Chr: return out_int(a.cp);
        case T::Flt:
            if (!(a.d >= -2147483648.0 && a.d <= 2147483647.0)) return err("type-limit");
            return out_int(int64_t(a.d));
        case T::Logic: return c.make ? out_int(a.b) : err("bad-to-arg");
        case T::Str: {
            if (stray_separator(a.text)) return skip();
            i128 v;
            return text_integer(a.text, v) ? out_int(v) : err("bad-to-arg");
        }
        default: return err("bad-to-arg");
        }
    case 1:  // float!
        switch (a.t) {
        case T::Int: return out_flt(a.i);
        case T::Chr: return out_flt(a.cp);
        case T::Flt: return out_flt(a.d);
        case T::Str: {
            double d;
            if (stray_separator(a.text)) return skip();
            // Text of a zero with a minus sign reads as either zero.
            if (!text_float(a.text, d)) return err("bad-to-arg");
            return d == 0 ? out_flt(d, kEps) : out_flt(d);
        }
        default: return err("bad-to-arg");
        }
    default:  // char!
        switch (a.t) {
        case T::Int: return a.i >= 0 && uint32_t(a.i) <= kCharMax ? out_chr(a.i) : err("out-of-range");
        case T::Chr: return out_chr(a.cp);
        case T::Flt:
            if (!(a.d > -1.0 && a.d < 1114112.0)) return err("out-of-range");
            return out_chr(uint32_t(a.d));
        case T::Str: return a.text.empty() ? err("bad-to-arg") : out_chr(a.text[0]);
        default: return err("bad-to-arg");
        }
    }
}

std::string utf8(uint32_t c) {
    std::string s;
    if (c < 0x80) s += char(c);
    else if (c < 0x800) s += char(0xC0 | c >> 6), s += char(0x80 | (c & 63));
    else if (c < 0x10000) s += char(0xE0 | c >> 12), s += char(0x80 | (c >> 6 & 63)), s += char(0x80 | (c & 63));
    else
        s += char(0xF0 | c >> 18), s += char(0x80 | (c >> 12 & 63)), s += char(0x80 | (c >> 6 & 63)),
            s += char(0x80 | (c & 63));
    return s;
}

// The text of a char! literal: control characters by caret letters, the
// quote, caret and DEL escaped, C1 controls, surrogates (and with /all every
// non-ASCII character) in hexadecimal.
std::string mold_char(uint32_t c, bool all) {
    static const char kLetters[] = "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]^_";
    char buf[16];
    std::string s = "#\"";
    if (c == 30 || (c >= 0x80 && c <= 0x9F) || (c >= 0xD800 && c <= 0xDFFF) || (all && c > 0x7F)) {
        std::snprintf(buf, sizeof buf, "^(%02X)", c);
        s += buf;
    } else if (c < 32) {
        s += '^', s += kLetters[c];
    } else if (c == '"' || c == '^') {
        s += '^', s += char(c);
    } else if (c == 127) {
        s += "^~";
    } else {
        s += utf8(c);
    }
    return s + "\"";
}

// The formed text of a float: the C library's "%.16g", again with "%.14g"
// when a long text ends in representation noise ("01" or "99"), the
// exponent without "+" and leading zeros, ".0" when there is no point;
// magnitudes below 2^-52 form as "0.0".
std::string form_float(double v) {
    if (std::isnan(v)) return "1.#NaN";
    if (std::isinf(v)) return v > 0 ? "1.#INF" : "-1.#INF";
    if (std::fabs(v) < 0x1p-52) return "0.0";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.16g", v);
    std::string t = buf;
    size_t e = t.find('e');
    std::string mantissa = t.substr(0, e);
    size_t first = mantissa.find_first_of("0123456789");
    size_t limit = mantissa[first] == '0' ? 17 : 16;
    std::string tail2 = mantissa.size() >= 2 ? mantissa.substr(mantissa.size() - 2) : "";
    if (mantissa.size() > limit && (tail2 == "01" || tail2 == "99")) {
        std::snprintf(buf, sizeof buf, "%.14g", v);
        t = buf;
        e = t.find('e');
    }
    if (e != std::string::npos) {
        std::string exp = t.substr(e + 1);
        bool negative = exp[0] == '-';
        if (exp[0] == '-' || exp[0] == '+') exp.erase(0, 1);
        while (exp.size() > 1 && exp[0] == '0') exp.erase(0, 1);
        t = t.substr(0, e) + "e" + (negative ? "-" : "") + exp;
    }
    if (t.find('.') == std::string::npos) {
        e = t.find('e');
        if (e == std::string::npos) t += ".0";
        else t.insert(e, ".0");
    }
    return t;
}

Outcome text_ref(const Case& c) {
    const Operand& a = c.a;
    switch (a.t) {
    case T::Int: return out_text(std::to_string(a.i));
    case T::Chr:
        if (c.op == MOLD) return out_text(mold_char(a.cp, c.all));
        if (a.cp >= 0xD800 && a.cp <= 0xDFFF) return skip();
        return out_text(utf8(a.cp));
    case T::Flt:
        // Molded floats read back exactly: a target of their own checks that.
        return c.op == FORM ? out_text(form_float(a.d)) : skip();
    default: return skip();
    }
}

// The random generator: a 624-word twister whose right shifts copy the
// sign bit, seeded by `random/seed`; every draw is in 0 .. 2^31 - 1.
struct Twister {
    uint32_t w[624];
    int index = 624;
    static uint32_t sar(uint32_t x, int n) { return uint32_t(int32_t(x) >> n); }
    void seed(int32_t s) {
        w[0] = uint32_t(s);
        for (uint32_t i = 1; i < 624; i++) w[i] = 1812433253u * (w[i - 1] ^ sar(w[i - 1], 30)) + i;
        index = 0;
    }
    int32_t next() {
        if (index == 624) {
            for (int i = 0; i < 624; i++) {
                uint32_t y = (w[i] & 0x80000000u) | (w[(i + 1) % 624] & 0x7FFFFFFFu);
                w[i] = w[(i + 397) % 624] ^ sar(y, 1) ^ ((y & 1) ? 0x9908B0DFu : 0);
            }
            index = 0;
        }
        uint32_t y = w[index++];
        y ^= sar(y, 11);
        y ^= (y << 7) & 0x9D2C5680u;
        y ^= (y << 15) & 0xEFC60000u;
        y ^= sar(y, 18);
        return int32_t(y);
    }
};
Twister g_twister;

// A draw mapped onto 1 .. n (n .. -1 for a negative n) without bias.
int64_t random_in(int64_t n) {
    if (n == 0) return 0;
    if (n == INT32_MIN) return -1 - int64_t(g_twister.next());
    int64_t m = n < 0 ? -n : n, limit = 0x7FFFFFFF / m * m, d;
    do d = g_twister.next();
    while (d >= limit);
    return n < 0 ? -(d % m + 1) : d % m + 1;
}

Outcome random_ref(const Case& c) {
    const Operand& a = c.a;
    switch (a.t) {
    case T::Int:
        if (c.secure) return a.i == 0 ? out_int(0) : in_range(Outcome::Int, a.i < 0 ? a.i : 1, a.i < 0 ? -1 : a.i);
        return out_int(random_in(a.i));
    case T::Chr:
        if (c.secure) return a.cp == 0 ? out_chr(0) : in_range(Outcome::Chr, 1, a.cp);
        return out_chr(uint32_t(random_in(a.cp)));
    case T::Flt:
        if (c.secure) return std::isfinite(a.d) ? in_range(Outcome::Flt, 0, a.d) : skip();
        return out_flt(g_twister.next() / 2147483647.0 * a.d);
    default:
        return skip();  // series are shuffled, not drawn
    }
}

Outcome reference(const Case& c) {
    const Operand &a = c.a, &b = c.b;
    switch (c.op) {
    case ADD: case SUB: case MUL: case DIV: case REM: case AND: case OR: case XOR: return arith_ref(c);
    case POW: return power_ref(c);
    case NEG:
        if (!numeric(a)) return err("expect-arg");
        if (a.t == T::Flt) return out_flt(0.0 - a.d);
        return a.i == INT32_MIN ? err("overflow") : out_int(-int64_t(a.i));
    case ABS:
        if (a.t == T::Chr) return out_chr(a.cp);
        if (!numeric(a)) return err("expect-arg");
        if (a.t == T::Flt) return out_flt(std::fabs(a.d));
        return a.i == INT32_MIN ? err("overflow") : out_int(std::abs(int64_t(a.i)));
    case CPL:
        if (a.t == T::Logic) return skip();
        return a.t == T::Int ? out_int(~a.i) : err("expect-arg");
    case SHIFT: {
        if (a.t != T::Int || b.t != T::Int) return err("expect-arg");
        int64_t bits = b.i < 0 ? 0 : b.i;
        uint32_t u = uint32_t(a.i);
        if (c.left) return out_int(bits > 31 ? 0 : int32_t(u << bits));
        if (c.logical) return out_int(bits > 31 ? 0 : int32_t(u >> bits));
        if (bits > 31) return out_int(a.i < 0 ? -1 : 0);
        return out_int(int64_t(std::floor(double(a.i) / std::ldexp(1.0, int(bits)))));
    }
    case TOHEX: {
        if (a.t != T::Int || (c.size && b.t != T::Int)) return err("expect-arg");
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08X", uint32_t(a.i));
        if (!c.size) return out_text(std::string("#") + buf);
        if (b.i <= 0) return err("invalid-arg");
        return out_text(std::string("#") + (buf + 8 - std::min<int32_t>(b.i, 8)));
    }
    case ROUND: return round_ref(c);
    case EVENQ:
    case ODDQ: {
        bool odd;
        if (a.t == T::Int) odd = a.i & 1;
        else if (a.t == T::Chr) odd = a.cp & 1;
        else if (a.t == T::Flt)
            odd = std::isfinite(a.d) && std::fabs(a.d) < 0x1p63 && (int64_t(std::trunc(a.d)) & 1);
        else return err("expect-arg");
        return out_logic(c.op == ODDQ ? odd : !odd);
    }
    case ZEROQ:
        if (a.t == T::Int) return out_logic(a.i == 0);
        if (a.t == T::Chr) return out_logic(a.cp == 0);
        if (a.t == T::Flt) return out_logic(a.d == 0);
        return err("expect-arg");
    case POSQ:
    case NEGQ:
    case SIGNQ: {
        if (!numeric(a)) return err("expect-arg");
        double x = as_double(a);
        int sign = x > 0 ? 1 : x < 0 ? -1 : 0;
        if (c.op == SIGNQ) return out_int(sign);
        return out_logic(c.op == POSQ ? sign > 0 : sign < 0);
    }
    case NANQ:
        if (!numeric(a)) return err("expect-arg");
        return out_logic(a.t == T::Flt && std::isnan(a.d));
    case MIN: return minmax_ref(c, false);
    case MAX: return minmax_ref(c, true);
    case CMP: case SAMEQ: return compare_ref(c);
    case CONV: return conv_ref(c);
    case SIN: case COS: case TAN: case ASIN: case ACOS: case ATAN: return trig_ref(c);
    case ATAN2: return atan2_ref(c);
    case LOG2: case LOG10: case LOGE: case EXP: case SQRT: return unary_float_ref(c);
    case MOLD: case FORM: return text_ref(c);
    case RANDOM: return random_ref(c);
    default: return skip();
    }
}

// ---- the program ------------------------------------------------------------------------------

// How an operand appears in the expression: numbers through a word bound to
// them (so any bit pattern gets there), the rest as literals.
std::string literal_text(const Operand& o) {
    char buf[64];
    switch (o.t) {
    case T::Int: return std::to_string(o.i);
    case T::Chr: return mold_char(o.cp, true);
    default:
        if (std::isinf(o.d)) return o.d > 0 ? "1.#INF" : "-1.#INF";
        std::snprintf(buf, sizeof buf, "%.17g", o.d);
        if (!std::strpbrk(buf, ".e")) std::strcat(buf, ".0");
        return buf;
    }
}

std::string operand_text(const Operand& o, const std::string& word) {
    switch (o.t) {
    case T::None: return "none";
    case T::Logic: return o.b ? "true" : "false";
    case T::Str: return show_text(o.text);
    case T::Issue: return "(to issue! " + show_text(o.text) + ")";
    case T::Block: {
        std::string s = "(reduce [";
        for (size_t k = 0; k < o.items.size(); k++)
            s += (k ? " " : "") + operand_text(o.items[k], word + "-" + std::to_string(k));
        return s + "])";
    }
    default: return o.literal ? literal_text(o) : word;
    }
}

bool has_infix(Op op) { return op <= POW || op == AND || op == OR || op == XOR || op == CMP || op == SAMEQ; }
bool binary(const Case& c) {
    return has_infix(c.op) || c.op == SHIFT || c.op == MIN || c.op == MAX || c.op == ATAN2 || (c.op == ROUND && c.to) ||
           (c.op == TOHEX && c.size);
}

// The call of [c] on the expression [A] (and the operand [B]): an infix
// operator after [A], or a call with [A] as its first argument. [A_call]
// says that [A] ends in a call's argument, where an operator would bind to
// that argument: it is put in parens then.
std::string call_text(Gen& g, const Case& c, std::string A, bool A_call, const std::string& B) {
    auto ref = [&](bool on, const char* name) { return on ? std::string("/") + name : std::string(); };
    if (c.infix && has_infix(c.op)) {
        static const char* const kMath[] = {"+", "-", "*", "/", "//", "**", "", "", "and", "or", "xor"};
        static const char* const kCmp[] = {"=", "<>", "==", "<", "<=", ">", ">=", "=?"};
        const char* op = c.op == CMP || c.op == SAMEQ ? kCmp[c.cmp] : c.op == REM && g.pick(2) ? "%" : kMath[c.op];
        if (A_call) A = "(" + A + ")";
        return A + " " + op + " " + B;
    }
    if (g.pick(4) == 3) A = "(" + A + ")";
    std::string name;
    switch (c.op) {
    case ADD: case SUB: case MUL: case DIV: case REM: case POW: case AND: case OR: case XOR: {
        static const char* const kPrefix[] = {"add", "subtract", "multiply", "divide", "remainder", "power",
                                              "", "", "and~", "or~", "xor~"};
        name = kPrefix[c.op];
        break;
    }
    case NEG: name = "negate"; break;
    case ABS: name = "absolute"; break;
    case CPL: name = "complement"; break;
    case SHIFT: name = "shift" + ref(c.left, "left") + ref(c.logical, "logical"); break;
    case TOHEX: name = "to-hex" + ref(c.size, "size"); break;
    case ROUND:
        name = "round" + ref(c.to, "to") + ref(c.even, "even") + ref(c.down, "down") + ref(c.half_down, "half-down") +
               ref(c.floor_, "floor") + ref(c.ceiling, "ceiling") + ref(c.half_ceiling, "half-ceiling");
        break;
    case EVENQ: name = "even?"; break;
    case ODDQ: name = "odd?"; break;
    case ZEROQ: name = "zero?"; break;
    case POSQ: name = "positive?"; break;
    case NEGQ: name = "negative?"; break;
    case SIGNQ: name = "sign?"; break;
    case NANQ: name = "NaN?"; break;
    case MIN: name = "min"; break;
    case MAX: name = "max"; break;
    case CMP: case SAMEQ: {
        static const char* const kNative[] = {"equal?", "not-equal?", "strict-equal?", "lesser?",
                                              "lesser-or-equal?", "greater?", "greater-or-equal?", "same?"};
        name = kNative[c.cmp];
        break;
    }
    case CONV: {
        // The target as its datatype or as a value of that type.
        static const char* const kTypes[] = {"integer!", "float!", "char!"};
        static const char* const kExamples[] = {"-7", "0.5", "#\"a\""};
        name = std::string(c.make ? "make " : "to ") + (c.logical ? kExamples[c.target] : kTypes[c.target]);
        break;
    }
    case SIN: case COS: case TAN: case ASIN: case ACOS: case ATAN: {
        static const char* const kNames[] = {"sine", "cosine", "tangent", "arcsine", "arccosine", "arctangent"};
        name = std::string(kNames[c.op - SIN]) + ref(c.radians, "radians");
        break;
    }
    case ATAN2: name = "arctangent2" + ref(c.radians, "radians"); break;
    case LOG2: name = "log-2"; break;
    case LOG10: name = "log-10"; break;
    case LOGE: name = "log-e"; break;
    case EXP: name = "exp"; break;
    case SQRT: name = "square-root"; break;
    case MOLD: name = c.all ? "mold/all" : "mold"; break;
    case RANDOM: name = c.secure ? "random/secure" : "random"; break;
    default: name = "form"; break;
    }
    return name + " " + A + (binary(c) ? " " + B : "");
}

Case gen_step(Gen& g, bool first) {
    Case c;
    c.op = Op(g.pick(OP_COUNT));
    if (first) c.a = gen_operand(g, c.op == CONV);
    c.b = gen_operand(g);
    uint32_t flags = g.byte();
    c.infix = flags & 1;
    c.left = flags & 2;
    c.logical = flags & 4;
    c.radians = flags & 8;
    c.all = flags & 16;
    c.size = flags & 32;
    c.secure = flags & 32;
    c.make = flags & 64;
    c.to = flags & 128;
    // Mostly one rounding mode at a time; now and then several, for the
    // order in which they apply.
    uint32_t mode = g.pick(8), extra = g.pick(6) == 0 ? g.byte() : 0;
    c.even = mode == 1 || (extra & 1);
    c.down = mode == 2 || (extra & 2);
    c.half_down = mode == 3 || (extra & 4);
    c.floor_ = mode == 4 || (extra & 8);
    c.ceiling = mode == 5 || (extra & 16);
    c.half_ceiling = mode == 6 || (extra & 32);
    c.cmp = g.pick(8);
    c.target = g.pick(3);
    if (c.op == SAMEQ) c.cmp = C_SAME;
    if (c.op == CMP && c.cmp == C_SAME) c.op = SAMEQ;
    return c;
}

// A chain of operations, each applied to the value of the one before: the
// first operand is fz-a, the second operand of step k is fz-k. The shapes
// (infix chains, calls nested in calls, parens, a set-word in front) are
// those the interpreter evaluates without frames when it can.
struct Chain {
    std::vector<Case> steps;
    std::string program;
    Operand seed;  // for random/seed: an integer!, float! or char!
};

// The generator's seed from a seed value: an integer's or char's value, a
// float's two 32-bit halves combined by exclusive or.
int32_t seed_of(const Operand& o) {
    if (o.t == T::Flt) {
        uint64_t bits = std::bit_cast<uint64_t>(o.d);
        return int32_t(uint32_t(bits) ^ uint32_t(bits >> 32));
    }
    return o.t == T::Chr ? int32_t(o.cp) : o.i;
}

Chain gen_chain(Gen& g) {
    Chain ch;
    uint32_t n = g.pick(4) == 0 ? 2 + g.pick(3) : 1;
    for (uint32_t k = 0; k < n; k++) ch.steps.push_back(gen_step(g, k == 0));
    // Operands close to the first: the interesting rules are there.
    Case& first = ch.steps[0];
    uint32_t relation = g.pick(8);
    if (relation <= 1) {
        Operand same = gen_operand(g);
        if (same.t == first.a.t) first.b = same;
    } else if (relation == 2) {
        first.b = related(g, first.a);
    }
    std::string text = operand_text(first.a, "fz-a");
    bool call = false;
    for (uint32_t k = 0; k < n; k++) {
        Case& c = ch.steps[k];
        text = call_text(g, c, text, call, operand_text(c.b, "fz-" + std::to_string(k)));
        call = !(c.infix && has_infix(c.op));
    }
    uint32_t shape = g.pick(8);
    if (shape == 7) text = "fz-r: " + text;
    else if (shape == 6) text = "(" + text + ")";
    uint32_t seed_kind = g.pick(4);
    ch.seed.t = seed_kind == 1 ? T::Flt : seed_kind == 2 ? T::Chr : T::Int;
    ch.seed.i = g.pick(2) ? gen_int(g) : int32_t(g.byte());
    ch.seed.d = gen_float(g);
    ch.seed.cp = gen_char(g);
    for (const Case& c : ch.steps)
        if (c.op == RANDOM) {
            text = "random/seed fz-s " + text;
            break;
        }
    ch.program = text;
    return ch;
}

// The value of an outcome as the next step's operand; false when it is not
// one this reference follows further.
bool operand_of(const Outcome& o, Operand& out) {
    out = Operand{};
    switch (o.k) {
    case Outcome::Int: out.t = T::Int, out.i = int32_t(o.i); return true;
    case Outcome::Chr: out.t = T::Chr, out.cp = uint32_t(o.i); return true;
    case Outcome::Logic: out.t = T::Logic, out.b = o.i != 0; return true;
    case Outcome::Flt: out.t = T::Flt, out.d = o.d; return o.tolerance == 0;
    default: return false;
    }
}

Outcome chain_reference(const Chain& ch) {
    g_twister.seed(seed_of(ch.seed));
    Case c = ch.steps[0];
    Outcome o = reference(c);
    for (size_t k = 1; k < ch.steps.size(); k++) {
        if (o.k == Outcome::Error) return o;
        Operand next;
        if (o.range || !operand_of(o, next)) return skip();
        c = ch.steps[k];
        c.a = next;
        o = reference(c);
    }
    return o;
}

// ---- running ----------------------------------------------------------------------------------

void bind_operand(const std::string& name, const Operand& o) {
    Cell value{TYPE_NONE, 0, 0, 0};
    switch (o.t) {
    case T::Int: cell_set(&value, TYPE_INTEGER, 0, uint32_t(o.i), 0); break;
    case T::Chr: cell_set(&value, TYPE_CHAR, 0, o.cp, 0); break;
    case T::Flt: {
        uint64_t bits = std::bit_cast<uint64_t>(o.d);
        cell_set(&value, TYPE_FLOAT, 0, uint32_t(bits), uint32_t(bits >> 32));
        break;
    }
    case T::Block:
        for (size_t k = 0; k < o.items.size(); k++) bind_operand(name + "-" + std::to_string(k), o.items[k]);
        return;
    default: return;
    }
    Cell word{TYPE_WORD, 0, 0, 0};
    word_from_cstring(&word, name.c_str());
    word_set(&word, &value);
}

std::string mold_text(const Cell* v) {
    Cell buf{TYPE_NONE, 0, 0, 0};
    GcRootCell keep(&buf);
    string_make(&buf, 16, 1);
    actions_mold_call(v, &buf, false, false, false, nullptr, kNoPartLimit, 0);
    return string_to_utf8(&buf);
}

Outcome outcome_of(const Cell* v) {
    switch (v->type()) {
    case TYPE_INTEGER: return out_int(int32_t(v->data2));
    case TYPE_CHAR: return out_chr(v->data2);
    case TYPE_FLOAT: return out_flt(std::bit_cast<double>(uint64_t(v->data3) << 32 | v->data2));
    case TYPE_LOGIC: return out_logic(v->data1 != 0);
    case TYPE_STRING: return out_text(string_to_utf8(v));
    case TYPE_ISSUE: return out_text(mold_text(v));
    default: return out_text("value of type " + std::to_string(v->type()) + ": " + mold_text(v));
    }
}

[[noreturn]] void fail(const Chain& ch, const Outcome& want, const Outcome& got, const char* what) {
    std::fprintf(stderr, "fuzz_numbers: %s\n  expression: %s\n", what, ch.program.c_str());
    std::fprintf(stderr, "  fz-a: %s\n", show(ch.steps[0].a).c_str());
    std::fprintf(stderr, "  fz-s: %s\n", show(ch.seed).c_str());
    for (size_t k = 0; k < ch.steps.size(); k++)
        if (binary(ch.steps[k])) std::fprintf(stderr, "  fz-%zu: %s\n", k, show(ch.steps[k].b).c_str());
    std::fprintf(stderr, "  expected %s, got %s\n", show(want).c_str(), show(got).c_str());
    std::abort();
}

void run_chain(const Chain& ch) {
    Outcome want = chain_reference(ch);
    bind_operand("fz-a", ch.steps[0].a);
    bind_operand("fz-s", ch.seed);
    for (size_t k = 0; k < ch.steps.size(); k++) bind_operand("fz-" + std::to_string(k), ch.steps[k].b);
    Outcome got;
    Cell block{TYPE_NONE, 0, 0, 0}, out{TYPE_NONE, 0, 0, 0};
    GcRootCell keep_block(&block), keep_out(&out);
    try {
        lexer_scan_utf8(&block, reinterpret_cast<const uint8_t*>(ch.program.data()),
                        static_cast<uint32_t>(ch.program.size()), false, true, true, false, nullptr, nullptr,
                        nullptr, nullptr);
        interp_do_block(&block, &out);
        got = outcome_of(&out);
    } catch (const KelThrow& t) {
        got = err(t.id.c_str());
    }
    if (g_stack.top != g_stack.data_bottom || g_stack.frame_top != g_stack.frame_bottom)
        fail(ch, want, got, "the stacks were left unbalanced");
    if (!matches(want, got)) fail(ch, want, got, "result differs from the reference");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (runtime_boot(), true);
    (void)ready;
    if (size == 0 || size > 512) return 0;
    Gen g{data, size};
    std::vector<Chain> chains;
    do chains.push_back(gen_chain(g));
    while (g.more() && chains.size() < 16);
    // One expression deep: the fuzzer's own stack is enough.
    GcEnabledScope collecting;
    for (const Chain& ch : chains) run_chain(ch);
    return 0;
}
