// file!: registration, mold, local paths and the file actions.
#include "runtime/datatypes/file.h"

#include <vector>

#include "runtime/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/url.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/natives/sys_values.h"
#include "runtime/platform/files.h"
#include "runtime/unicode.h"

namespace kel {

namespace {

[[noreturn]] void raise_cannot_open(const Cell* file) { error_raise(ErrCat::Access, "cannot-open", file); }

// Characters a URL may hold bare that still end a bare file token: the
// lexer reads "%a:b" as the file a and then more text.
bool ends_bare_file(uint32_t cp) { return cp == '(' || cp == ')' || cp == ':' || cp == '@'; }

// The escape of a character inside a quoted file name, as strings escape
// theirs, so that the lexer reads back exactly this character; "" when it
// stands as itself.
std::string quoted_escape(uint32_t cp) {
    static const char* kCaret = "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]^_";
    static const char* kDigits = "0123456789ABCDEF";
    if (cp == 0x1E || (cp >= 0x80 && cp <= 0x9F)) {
        return std::string("^(") + kDigits[cp >> 4] + kDigits[cp & 15] + ")";
    }
    if (unicode_surrogate_q(cp)) {
        return std::string("^(") + kDigits[cp >> 12] + kDigits[(cp >> 8) & 15] + kDigits[(cp >> 4) & 15] +
               kDigits[cp & 15] + ")";
    }
    if (cp < 0x20) return std::string("^") + kCaret[cp];
    // Not "^\"": a quoted file token ends at the first double quote.
    if (cp == '"') return "^(22)";
    if (cp == '^') return "^^";
    if (cp == 0x7F) return "^~";
    return "";
}

// Part and seek arguments of read and write: non-negative integers.
int64_t position_arg(const Cell* arg, int64_t absent) {
    if (!arg) return absent;
    if (!arg->is(TYPE_INTEGER)) error_raise(ErrCat::Script, "invalid-arg", arg);
    int32_t n = static_cast<int32_t>(arg->data2);
    return n < 0 ? 0 : n;
}

// The first [count] code points of UTF-8 [text].
std::string utf8_prefix(const std::string& text, int64_t count) {
    size_t i = 0;
    for (int64_t k = 0; k < count && i < text.size(); k++) {
        i++;
        while (i < text.size() && (static_cast<uint8_t>(text[i]) & 0xC0) == 0x80) i++;
    }
    return text.substr(0, i);
}

// The text a value writes: a string's characters, a binary's bytes, any
// other value molded.
std::string written_text(const Cell* value) {
    if (value->is(TYPE_STRING) || value->is(TYPE_BINARY)) return value_bytes(value);
    Cell buf;
    string_make(&buf, 64, 1);
    GcRootCell root(&buf);
    Cell copy = *value;
    GcRootCell root_copy(&copy);
    actions_mold_call(&copy, &buf, false, false, false, nullptr, kNoPartLimit, 0);
    return string_to_utf8(&buf);
}

// The lines of [text] (LF or CR LF ends; a final line end adds no line).
std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        size_t stop = end == std::string::npos ? text.size() : end;
        size_t len = stop - start;
        if (len && text[stop - 1] == '\r') len--;
        lines.push_back(text.substr(start, len));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

// A block of new values, one per item, made by [make] into each slot.
template <class Items, class Make> Cell* block_of_items(Cell* out, const Items& items, Make make) {
    Cell block;
    block_make_empty(&block, static_cast<uint32_t>(items.size()));
    GcRootCell root(&block);
    for (const auto& item : items) {
        Cell v{TYPE_NONE, 0, 0, 0};
        GcRootCell keep(&v);  // the append may collect
        make(&v, item);
        copy_cell(&v, block_append_slot(&block));
    }
    return copy_cell(&block, out);
}

Cell* read_directory(Cell* source, const std::string& path) {
    std::vector<std::string> names;
    if (!files_list_dir(path, names)) raise_cannot_open(source);
    // A name holding the three-byte form that file_os_path gives a lone
    // surrogate reads back as that surrogate, so it names the same file.
    return block_of_items(source, names, [](Cell* v, const std::string& name) {
        string_make(v, series_count_checked(name.size()), 1, TYPE_FILE);
        string_append_utf8_own(v, name);
    });
}

}  // namespace

std::string file_os_path(const Cell* file) { return string_to_utf8(file); }

bool file_os_path_usable(const std::string& path) {
    return !path.empty() && path.find('\0') == std::string::npos;
}

bool file_read_bytes(const std::string& path, std::vector<uint8_t>& out, int64_t offset, int64_t part, size_t max) {
    int64_t over = static_cast<int64_t>(max) + 1;
    if (!files_read(path, out, offset, part < 0 || part > over ? over : part)) return false;
    if (out.size() > max) error_raise(ErrCat::Internal, "no-memory");
    return true;
}

void file_to_local_string(const Cell* file, Cell* target, bool full) {
    std::string path = file_os_path(file);
    if (full && (path.empty() || path[0] != '/')) path = files_current_dir() + path;
    string_append_utf8_own(target, path);
}

// Quotes when a character up to DEL would not stand in a bare file token;
// inside quotes the characters the lexer decodes are escaped, so mold then
// load gives the same file.
int32_t file_mold(const Cell* value, Cell* buffer, bool, bool, bool, const Cell* part, int32_t limit, int32_t) {
    SeriesBuf* buf = node_buffer(value->data2);
    uint32_t unit = buf->unit();
    uint32_t units = buf->used_bytes() / unit;
    uint32_t head = value->data1 < units ? value->data1 : units;
    uint32_t end = units;
    if (part) end = limit < 0 ? head : static_cast<uint32_t>(std::min<int64_t>(units, int64_t(head) + limit));
    std::vector<uint32_t> chars;
    chars.reserve(end - head);
    bool quote = head == end;
    for (uint32_t i = head; i < end; i++) {
        uint32_t cp = string_unit_at(buf->head_ptr(), unit, i);
        chars.push_back(cp);
        if (cp <= 0x7F ? !url_byte_unescaped_q(URL_MODE_URL, cp) || ends_bare_file(cp) : unicode_surrogate_q(cp)) quote = true;
    }
    // From here on [buf] may be stale: appending allocates.
    string_append_ascii(buffer, quote ? "%\"" : "%");
    for (uint32_t cp : chars) {
        std::string esc = quote ? quoted_escape(cp) : std::string();
        if (esc.empty()) string_append_char(buffer, cp);
        else string_append_ascii(buffer, esc);
    }
    if (quote) string_append_ascii(buffer, "\"");
    return limit - static_cast<int32_t>(chars.size()) - 1;
}

Cell* file_delete(Cell* value) {
    std::string path = file_os_path(value);
    bool done = file_os_path_usable(path) && files_delete(path);
    cell_set(value, TYPE_LOGIC, done ? 1u : 0u);
    return value;
}

Cell* file_query(Cell* value) {
    std::string path = file_os_path(value);
    if (!file_os_path_usable(path) || files_query(path).kind == FileKind::Missing) {
        cell_set(value, TYPE_NONE);
        return value;
    }
    // The answer carries the modification date!, which is not built yet.
    error_raise(ErrCat::Internal, "not-done");
}

Cell* file_rename(Cell* from, Cell* to) {
    std::string a = file_os_path(from), b = value_bytes(to);
    bool done = file_os_path_usable(a) && file_os_path_usable(b) && files_rename(a, b);
    cell_set(from, TYPE_LOGIC, done ? 1u : 0u);
    return from;
}

Cell* file_read(Cell* source, const ReadArgs& args) {
    if (args.as) error_raise(ErrCat::Internal, "not-done");
    std::string path = file_os_path(source);
    if (!file_os_path_usable(path)) raise_cannot_open(source);
    if (files_path_is_dir(path) || files_query(path).kind == FileKind::Directory) return read_directory(source, path);
    std::vector<uint8_t> bytes;
    if (!file_read_bytes(path, bytes, position_arg(args.seek, 0), position_arg(args.part, -1))) raise_cannot_open(source);
    if (args.binary) return binary_make_bytes(source, bytes.data(), bytes.size());
    std::string text(bytes.begin(), bytes.end());
    std::vector<uint8_t>().swap(bytes);
    // Text is UTF-8 with LF or CR LF line ends; a byte-order mark is dropped.
    // Bytes that are not UTF-8 raise invalid-utf8 rather than turn into other
    // characters: read/binary gives them as they are.
    // A byte-order mark can stand only at the start of the file: one at the
    // start of a later line is the character U+FEFF.
    bool first = true;
    auto decode = [&first](Cell* v, const std::string& t) {
        string_from_utf8_checked(reinterpret_cast<const uint8_t*>(t.data()), t.size(), v, first);
        first = false;
    };
    if (args.lines) return block_of_items(source, split_lines(text), decode);
    size_t kept = 0;
    for (size_t i = 0; i < text.size(); i++)
        if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') text[kept++] = text[i];
    text.resize(kept);
    Cell out{TYPE_NONE, 0, 0, 0};
    GcRootCell root(&out);
    decode(&out, text);
    return copy_cell(&out, source);
}

Cell* file_write(Cell* destination, Cell* data, const WriteArgs& args) {
    if (args.allow || args.as) error_raise(ErrCat::Internal, "not-done");
    std::string path = file_os_path(destination);
    if (!file_os_path_usable(path)) raise_cannot_open(destination);
    std::string out;
    if (args.lines && data->is(TYPE_BLOCK)) {
        SeriesBuf* buf = node_buffer(data->data2);
        uint32_t n = buf->used_bytes() / 16;
        for (uint32_t i = data->data1; i < n; i++) {
            // A copy of the item: rooted before the buffer's allocation, which
            // may move the node it refers to.
            Cell item = arena_at<Cell>(node_buffer(data->data2)->head)[i];
            GcRootCell root_item(&item);
            if (item.is(TYPE_STRING) || item.is(TYPE_BINARY)) {
                out += value_bytes(&item);
            } else {
                Cell buf_cell{TYPE_NONE, 0, 0, 0};
                GcRootCell root(&buf_cell);
                string_make(&buf_cell, 32, 1);
                actions_form_call(&item, &buf_cell, nullptr, kNoPartLimit);
                out += string_to_utf8(&buf_cell);
            }
            out += '\n';
        }
    } else {
        out = written_text(data);
        if (args.part) {
            int64_t n = position_arg(args.part, 0);
            out = data->is(TYPE_BINARY) ? out.substr(0, static_cast<size_t>(std::min<int64_t>(n, out.size())))
                                        : utf8_prefix(out, n);
        }
        if (args.lines) out += '\n';
    }
    int64_t seek = args.seek ? position_arg(args.seek, 0) : -1;
    if (!files_write(path, reinterpret_cast<const uint8_t*>(out.data()), out.size(), args.append, seek))
        raise_cannot_open(destination);
    cell_set_unset(destination);
    return destination;
}

void file_init() {
    TypeRow(TYPE_FILE)
        .set<ACT_MOLD>(file_mold)
        .set<ACT_DELETE>(file_delete)
        .set<ACT_QUERY>(file_query)
        .set<ACT_READ>(file_read)
        .set<ACT_RENAME>(file_rename)
        .set<ACT_WRITE>(file_write)
        .inherit({ACT_MAKE, ACT_TO, ACT_FORM, ACT_EVAL_PATH, ACT_COMPARE, ACT_APPEND, ACT_AT, ACT_BACK, ACT_CHANGE,
                  ACT_CLEAR, ACT_COPY, ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q, ACT_MOVE,
                  ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP, ACT_SWAP, ACT_TAIL,
                  ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY})
        .commit();
}

}  // namespace kel
