// string! mold and form.
//
// Mold writes text the lexer reads back as the same string: double quotes
// for short single-line text, braces for text that is long (50 characters
// or more from the head), holds a double quote or three line feeds or more;
// always double quotes for an item of a path.
// Inside braces, '{' and '}' stay as they are while they pair up; an
// unpaired one is written with a caret, so the braces always balance.
// Characters are gathered in small batches and appended to the output in
// one step each.
#include <algorithm>
#include <vector>

#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_impl.h"
#include "runtime/unicode.h"

namespace kel {

using namespace strimpl;

namespace {

// Caret letters of the characters 0-31.
constexpr char kCaretLetters[] = "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]^_";

// Batches code points for the output string.
class Out {
public:
    explicit Out(Cell* buffer) : buffer_(buffer) {}
    void put(uint32_t c) {
        batch_[n_++] = c;
        count_++;
        if (n_ == kBatch) flush();
    }
    void ascii(const char* s) {
        while (*s) put(static_cast<uint8_t>(*s++));
    }
    void flush() {
        string_append_codepoints(buffer_, batch_, n_);
        n_ = 0;
    }
    uint32_t count() const { return count_; }

private:
    static constexpr uint32_t kBatch = 256;
    Cell* buffer_;
    uint32_t batch_[kBatch];
    uint32_t n_ = 0;
    uint32_t count_ = 0;
};

void put_hex_escape(Out& out, uint32_t cp) {
    out.ascii("^(");
    int digits = 1;
    while (digits < 8 && (cp >> (4 * digits)) != 0) digits++;
    for (int i = digits - 1; i >= 0; i--) out.put(static_cast<uint8_t>("0123456789ABCDEF"[(cp >> (4 * i)) & 15]));
    out.put(')');
}

void put_escaped(Out& out, uint32_t cp, int32_t mode, bool all) {
    if (cp == 0x1E || (cp >= 0x80 && cp <= 0x9F) || unicode_surrogate_q(cp) || (all && cp > 0x7F)) {
        put_hex_escape(out, cp);
        return;
    }
    if (mode == kStringEscapeMode) {
        char letter = cp < 32 ? kCaretLetters[cp] : cp == '"' ? '"' : cp == '^' ? '^' : cp == 0x7F ? '~' : 0;
        if (letter) {
            out.put('^');
            out.put(static_cast<uint8_t>(letter));
            return;
        }
    }
    out.put(cp);
}

// For each '{' of the run, whether a '}' closes it before the end (nesting
// counted); empty when the run holds no '{'.
std::vector<bool> paired_opening_braces(const Run& r) {
    std::vector<bool> paired;
    std::vector<uint32_t> open;
    for (uint32_t i = 0; i < r.len; i++) {
        uint32_t c = r.at(i);
        if (c == '{') {
            if (paired.empty()) paired.assign(r.len, false);
            open.push_back(i);
        } else if (c == '}' && !open.empty()) {
            paired[open.back()] = true;
            open.pop_back();
        }
    }
    return paired;
}

}  // namespace

uint32_t string_append_escaped_char(Cell* buffer, uint32_t cp, int32_t mode, bool all) {
    Out out(buffer);
    put_escaped(out, cp, mode, all);
    out.flush();
    return out.count();
}

int32_t string_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit) {
    Pin pin(value);
    StringSource src = string_source_of(value);
    uint32_t length = src.count;
    if (part) src.count = std::min<uint32_t>(src.count, uint32_t(std::max(limit, 0)));
    string_splice(buffer, string_length_total(buffer), 0, src, 1);
    return int32_t(int64_t(limit) - length);
}

namespace {

// Mold with the delimiters chosen as above, or always double quotes when
// [quoted] (a path item cannot be a braced string).
int32_t mold_text(const Cell* value, Cell* buffer, bool all, const Cell* part, int32_t limit, bool quoted) {
    // Everything is read before the first append: the output may be the
    // value's own buffer only through a copy, but appending may move it.
    Run full = run_of(value);
    uint32_t range = part ? std::min<uint32_t>(full.len, uint32_t(std::max(limit, 0))) : full.len;
    std::vector<uint32_t> chars(range);
    uint32_t quotes = 0, line_feeds = 0;
    for (uint32_t i = 0; i < range; i++) {
        uint32_t c = full.at(i);
        chars[i] = c;
        quotes += c == '"';
        line_feeds += c == '\n';
    }
    bool braces = !quoted && (line_feeds >= 3 || quotes > 0 || full.len >= 50);
    Out out(buffer);
    if (!braces) {
        out.put('"');
        for (uint32_t c : chars) put_escaped(out, c, kStringEscapeMode, all);
        out.put('"');
    } else {
        std::vector<bool> paired = paired_opening_braces(Run{reinterpret_cast<const uint8_t*>(chars.data()), 4, range});
        bool balanced = true;
        uint32_t depth = 0;
        out.put('{');
        for (uint32_t i = 0; i < range; i++) {
            uint32_t c = chars[i];
            if (c == '{') {
                if (balanced && paired[i]) {
                    depth++;
                    out.put('{');
                } else {
                    balanced = false;
                    out.ascii("^{");
                }
            } else if (c == '}') {
                if (depth == 0) {
                    out.ascii("^}");
                } else {
                    depth--;
                    out.put('}');
                }
            } else if (c == '"') {
                out.put('"');
            } else {
                put_escaped(out, c, kStringEscapeMode, all);
            }
        }
        out.put('}');
    }
    out.flush();
    return int32_t(int64_t(limit) - out.count());
}

}  // namespace

int32_t string_mold(const Cell* value, Cell* buffer, bool, bool all, bool, const Cell* part, int32_t limit,
                    int32_t) {
    return mold_text(value, buffer, all, part, limit, false);
}

int32_t string_mold_quoted(const Cell* value, Cell* buffer, bool all, const Cell* part, int32_t limit) {
    return mold_text(value, buffer, all, part, limit, true);
}

}  // namespace kel
