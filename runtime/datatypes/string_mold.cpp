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
        flushes_++;
    }
    uint32_t count() const { return count_; }
    // Bumped by every append to the output: an append may collect, and
    // pointers into any buffer read before it are stale after it.
    uint32_t flushes() const { return flushes_; }

private:
    static constexpr uint32_t kBatch = 256;
    Cell* buffer_;
    uint32_t batch_[kBatch];
    uint32_t n_ = 0;
    uint32_t count_ = 0;
    uint32_t flushes_ = 0;
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

// The index of the first '{' of the first n units that no later '}' closes
// (nesting counted), or n when every one is closed. Scanning from the end, a
// '{' is closed exactly when a '}' after it is still unclaimed: the same
// pairs as matching from the front, without a stack of open positions.
uint32_t first_unpaired_brace(const Run& r, uint32_t n) {
    uint32_t first = n;
    uint64_t closers = 0;
    for (uint32_t i = n; i-- > 0;) {
        uint32_t c = r.at(i);
        if (c == '}') {
            closers++;
        } else if (c == '{') {
            if (closers) closers--;
            else first = i;
        }
    }
    return first;
}

// The units of a string being molded, read again after every append to the
// output (which may move the string's buffer). The cell is a rooted copy,
// so the caller's cell may live anywhere.
class Source {
public:
    explicit Source(const Cell* value) : cell_(*value), root_(&cell_), run_(run_of(&cell_)) {}
    uint32_t length() const { return run_.len; }
    uint32_t at(uint32_t i, const Out& out) {
        if (out.flushes() != seen_) {
            run_ = run_of(&cell_);
            seen_ = out.flushes();
        }
        return run_.at(i);
    }
    const Run& run() const { return run_; }

private:
    Cell cell_;
    GcRootCell root_;
    Run run_;
    uint32_t seen_ = 0;
};

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
    // The string is read in place: no scratch copy proportional to its
    // length, so molding a huge string fails as the output's growth does.
    Out out(buffer);
    Source src(value);
    uint32_t range = part ? std::min<uint32_t>(src.length(), uint32_t(std::max(limit, 0))) : src.length();
    uint32_t quotes = 0, line_feeds = 0;
    for (uint32_t i = 0; i < range; i++) {
        uint32_t c = src.run().at(i);
        quotes += c == '"';
        line_feeds += c == '\n';
    }
    bool braces = !quoted && (line_feeds >= 3 || quotes > 0 || src.length() >= 50);
    if (!braces) {
        out.put('"');
        for (uint32_t i = 0; i < range; i++) put_escaped(out, src.at(i, out), kStringEscapeMode, all);
        out.put('"');
    } else {
        uint32_t unpaired = first_unpaired_brace(src.run(), range);
        bool balanced = true;
        uint32_t depth = 0;
        out.put('{');
        for (uint32_t i = 0; i < range; i++) {
            uint32_t c = src.at(i, out);
            if (c == '{') {
                if (balanced && i < unpaired) {
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
