// url!: registration, mold, building from blocks, path joining, and the
// percent-encoding routines that enhex, dehex and the lexer use.
#include "runtime/datatypes/url.h"

#include <algorithm>
#include <vector>

#include "runtime/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/natives/sys_values.h"
#include "runtime/number_convert.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel {

namespace {

constexpr const char* kUrlPunct = "!#$&'()*+,-./:=?@_~";
constexpr const char* kUnreservedPunct = "-._~";

bool in_set(uint32_t byte, const char* set) {
    for (const char* p = set; *p; p++)
        if (static_cast<uint8_t>(*p) == byte) return true;
    return false;
}

// Hex digit value of an ASCII code, or -1.
int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Length of a well-formed UTF-8 sequence at [p] (shortest form, no
// surrogates, at most U+10FFFF), else 0.
size_t utf8_sequence_length(const uint8_t* p, size_t n) {
    if (n == 0) return 0;
    uint8_t c = p[0];
    if (c < 0x80) return 1;
    size_t len = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || len > n) return 0;
    uint32_t cp = c & (0xFF >> (len + 1));
    for (size_t k = 1; k < len; k++) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (p[k] & 0x3F);
    }
    static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return 0;
    return len;
}

void append_codepoint_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The UTF-8 text of an any-string from its head.
std::string text_of(const Cell* value) { return string_to_utf8(value); }

// The cell at position [i] from the head of a block; stale after the next
// allocation.
const Cell* block_at(const Cell* block, uint32_t i) {
    SeriesBuf* buf = node_buffer(block->data2);
    return arena_at<Cell>(buf->head) + block->data1 + i;
}

uint32_t block_length(const Cell* block) {
    SeriesBuf* buf = node_buffer(block->data2);
    uint32_t n = buf->used_bytes() / 16;
    return block->data1 >= n ? 0 : n - block->data1;
}

// Forms a copy of [value] at the tail of [target]. A string's form is its
// characters from the head.
void form_into(const Cell* value, Cell* target) {
    if (any_string_type_q(value->type())) {
        string_append_utf8_own(target, text_of(value));
        return;
    }
    Cell copy = *value;
    GcRootCell root(&copy);
    actions_form_call(&copy, target, nullptr, kNoPartLimit);
}

Cell* string_make_or_to(int slot, Cell* proto, Cell* spec, int32_t type) {
    auto fn = reinterpret_cast<MakeFn>(action_entry(TYPE_STRING, slot));
    if (!fn) action_unsupported(type, slot);
    return fn(proto, spec, type);
}

// Builds scheme://host[:port][/path...] from the block given to make into [out].
Cell* url_from_block(Cell* out, const Cell* spec) {
    if (block_length(spec) == 0) {
        Cell dt;
        datatype_set(&dt, TYPE_URL);
        error_raise(ErrCat::Script, "bad-to-arg", &dt, spec);
    }
    Cell block = *spec, url{TYPE_NONE, 0, 0, 0};
    GcRootCell root_block(&block), root_url(&url);
    string_make(&url, 16, 1, TYPE_URL);
    form_into(block_at(&block, 0), &url);
    string_append_ascii(&url, "://");
    uint32_t n = block_length(&block);
    uint32_t i = 1;
    if (i < n) form_into(block_at(&block, i++), &url);
    if (i < n && block_at(&block, i)->is(TYPE_INTEGER)) {
        string_append_ascii(&url, ":");
        form_into(block_at(&block, i++), &url);
    }
    if (i < n) {
        string_append_ascii(&url, "/");
        for (bool first = true; i < n; i++, first = false) {
            if (!first) string_append_ascii(&url, block_at(&block, i)->is(TYPE_ISSUE) ? "#" : "/");
            form_into(block_at(&block, i), &url);
        }
    }
    return copy_cell(&url, out);
}

Cell* url_make_or_to(int slot, Cell* proto, Cell* spec, int32_t type) {
    if (type == TYPE_URL && (spec->is(TYPE_BLOCK) || spec->is(TYPE_PAREN) || spec->is(TYPE_HASH)))
        return url_from_block(proto, spec);
    return string_make_or_to(slot, proto, spec, type);
}

}  // namespace

bool url_byte_unescaped_q(uint32_t mode, uint32_t byte) {
    if (byte >= 0x80) return false;
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9')) return true;
    return in_set(byte, mode == URL_MODE_UNRESERVED ? kUnreservedPunct : kUrlPunct);
}

uint32_t url_escape_byte(uint32_t mode, uint8_t byte, char out[3]) {
    if (url_byte_unescaped_q(mode, byte)) {
        out[0] = static_cast<char>(byte);
        return 1;
    }
    static const char* kDigits = "0123456789ABCDEF";
    out[0] = '%';
    out[1] = kDigits[byte >> 4];
    out[2] = kDigits[byte & 15];
    return 3;
}

bool url_hex_pair_decode(const uint8_t* p, size_t available, uint8_t& byte) {
    if (available < 3 || p[0] != '%') return false;
    int hi = hex_value(p[1]), lo = hex_value(p[2]);
    if (hi < 0 || lo < 0) return false;
    byte = static_cast<uint8_t>(hi << 4 | lo);
    return true;
}

std::string url_encode_text(std::string_view utf8, uint32_t mode) {
    std::string out;
    out.reserve(utf8.size());
    char esc[3];
    for (char c : utf8) out.append(esc, url_escape_byte(mode, static_cast<uint8_t>(c), esc));
    return out;
}

// An escape whose byte begins a sequence of n bytes takes the next n - 1
// escapes with it when all are there (else its "%" is a plain character);
// when they do not form a well-formed character, the first escape stands
// alone as the code point of its byte, as an escape of an ASCII byte, a
// continuation byte or a byte that begins no character does ("%FF" gives
// U+00FF). No byte of the input is lost. The escaped three-byte form of a
// lone surrogate, which is how one is encoded, is kept as that form, so
// decoding undoes encoding for every string.
std::string url_decode_text(std::string_view text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    size_t n = text.size();
    std::string out;
    out.reserve(n);
    size_t i = 0;
    while (i < n) {
        uint8_t b;
        if (!url_hex_pair_decode(p + i, n - i, b)) {
            size_t len = utf8_sequence_length(p + i, n - i);
            if (len == 0) len = 1;  // not from a string's own encoding; copied as it is
            out.append(text.substr(i, len));
            i += len;
            continue;
        }
        // C0, C1 and F5 to FF never begin a character: they stand alone.
        size_t len = b >= 0xF5 ? 0 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
        if (len >= 2) {
            uint8_t seq[4] = {b};
            bool all = true;
            for (size_t k = 1; k < len && all; k++) all = url_hex_pair_decode(p + i + 3 * k, n - i - 3 * k, seq[k]);
            if (!all) {
                out += '%';
                i += 1;
                continue;
            }
            if (utf8_sequence_length(seq, len) == len || (len == 3 && unicode_surrogate_form_q(seq))) {
                out.append(reinterpret_cast<const char*>(seq), len);
                i += 3 * len;
                continue;
            }
        }
        append_codepoint_utf8(out, b);
        i += 3;
    }
    return out;
}

void url_encode(const Cell* source, Cell* target, uint32_t mode) {
    string_append_bytes(target, url_encode_text(text_of(source), mode));
}

void url_decode(const Cell* source, Cell* target) {
    string_append_utf8_own(target, url_decode_text(text_of(source)));
}

std::string url_join_text(std::string_view url, std::string_view element) {
    bool url_slash = !url.empty() && url.back() == '/';
    bool element_slash = !element.empty() && element.front() == '/';
    std::string out(url);
    if (url_slash && element_slash) element.remove_prefix(1);
    else if (!url_slash && !element_slash) out += '/';
    out.append(element);
    return out;
}

Cell* url_make(Cell* proto, Cell* spec, int32_t type) { return url_make_or_to(ACT_MAKE, proto, spec, type); }
Cell* url_to(Cell* proto, Cell* spec, int32_t type) { return url_make_or_to(ACT_TO, proto, spec, type); }

int32_t url_mold(const Cell* value, Cell* buffer, bool, bool, bool, const Cell* part, int32_t limit, int32_t) {
    // Each byte of the UTF-8 text through the URL table, with two departures
    // so that the text reads back as this URL: "(" and ")" may stand in a
    // URL but end a url token, so they are escaped too; and before the
    // first ":" the lexer reads a word, where "%" cannot stand, so every
    // character there is written as itself but those that would end the
    // word or make it a file (controls, the space, and `"%;[]{}\()`).
    std::string utf8 = text_of(value);
    // The word ends at the first ":", except one right after a leading
    // sign, which the lexer reads as part of the word ("+:a:b").
    bool signed_word = utf8.size() > 1 && (utf8[0] == '+' || utf8[0] == '-') && utf8[1] == ':';
    size_t scheme_end = utf8.find(':', signed_word ? 2 : 0);
    if (scheme_end == std::string::npos) scheme_end = 0;  // no scheme: all of it escaped
    std::vector<uint32_t> chars;
    chars.reserve(utf8.size());
    char esc[3];
    for (size_t i = 0; i < utf8.size(); i++) {
        auto byte = static_cast<uint8_t>(utf8[i]);
        if (i < scheme_end && byte > ' ' && !in_set(byte, "\"%;[]{}\\()")) {
            if (byte < 0x80) {
                chars.push_back(byte);
                continue;
            }
            int32_t cp;
            const auto* p = reinterpret_cast<const uint8_t*>(utf8.data()) + i;
            const uint8_t* next = unicode_fast_decode_utf8_char(p, p + (scheme_end - i), &cp);
            if (cp >= 0) {
                chars.push_back(static_cast<uint32_t>(cp));
                i += static_cast<size_t>(next - p) - 1;
                continue;
            }
        }
        if (byte == '(' || byte == ')') {
            chars.insert(chars.end(), {'%', '2', byte == '(' ? uint32_t('8') : uint32_t('9')});
            continue;
        }
        size_t n = url_escape_byte(URL_MODE_URL, byte, esc);
        for (size_t k = 0; k < n; k++) chars.push_back(static_cast<uint8_t>(esc[k]));
    }
    if (part && limit >= 0 && chars.size() > static_cast<size_t>(limit)) chars.resize(static_cast<size_t>(limit));
    if (part && limit < 0) chars.clear();
    string_append_codepoints(buffer, chars.data(), static_cast<uint32_t>(chars.size()));
    return limit - static_cast<int32_t>(chars.size());
}

Cell* url_eval_path(Cell* parent, Cell* element, Cell* value, const EvalPathArgs& args) {
    if (value) error_raise(ErrCat::Script, "bad-path-set", args.path ? args.path : parent, element);
    Cell el = *element;
    GcRootCell root_el(&el);
    if (el.is(TYPE_GET_WORD)) {
        el = *word_get(element);
        stack_pop(1);
    }
    Cell formed;
    string_make(&formed, 16, 1);
    GcRootCell root_formed(&formed);
    form_into(&el, &formed);
    std::string joined = url_join_text(text_of(parent), text_of(&formed));
    Cell out;
    string_make(&out, series_count_checked(joined.size()), 1, parent->type());
    GcRootCell root_out(&out);
    string_append_utf8_own(&out, joined);
    return copy_cell(&out, parent);
}

// Ports and the HTTP client are not part of the runtime yet.
Cell* url_open(Cell*, const OpenArgs&) { error_raise(ErrCat::Internal, "not-done"); }
Cell* url_read(Cell*, const ReadArgs&) { error_raise(ErrCat::Internal, "not-done"); }
Cell* url_write(Cell*, Cell*, const WriteArgs&) { error_raise(ErrCat::Internal, "not-done"); }

void url_init() {
    TypeRow(TYPE_URL)
        .set<ACT_MAKE>(url_make)
        .set<ACT_TO>(url_to)
        .set<ACT_MOLD>(url_mold)
        .set<ACT_EVAL_PATH>(url_eval_path)
        .set<ACT_OPEN>(url_open)
        .set<ACT_READ>(url_read)
        .set<ACT_WRITE>(url_write)
        .inherit({ACT_FORM, ACT_COMPARE, ACT_APPEND, ACT_AT, ACT_BACK, ACT_CHANGE, ACT_CLEAR, ACT_COPY, ACT_FIND,
                  ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK,
                  ACT_POKE, ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP, ACT_SWAP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE,
                  ACT_MODIFY})
        .commit();
}

}  // namespace kel
