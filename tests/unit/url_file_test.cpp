// url! and file!: percent-encoding, mold, building and joining, local paths
// and the file actions.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/url.h"
#include "runtime/gc.h"
#include "runtime/natives/sys_values.h"
#include "runtime/platform/files.h"
#include "runtime_fixture.h"

using namespace kel;

namespace {

struct UrlFile : ::testing::Test {
    void SetUp() override {
        test::runtime_core_init();
        test::stack_clear_all();
        integer_init();
    }
    static Cell text(const std::string& s, uint32_t type = TYPE_STRING) {
        Cell c;
        return *string_make_utf8(&c, s, type);
    }
    static std::string molded(const Cell& v, int32_t part = -1) {
        Cell buf;
        string_make(&buf, 16, 1);
        Cell limit = test::integer(part);
        if (v.is(TYPE_FILE)) file_mold(&v, &buf, false, false, false, part >= 0 ? &limit : nullptr, part, 0);
        else url_mold(&v, &buf, false, false, false, part >= 0 ? &limit : nullptr, part, 0);
        return string_to_utf8(&buf);
    }
    // "type! text|" for each string-like item of a block.
    static std::string items(const Cell* block) {
        std::string out;
        SeriesBuf* buf = node_buffer(block->data2);
        const Cell* c = arena_at<Cell>(buf->head);
        for (uint32_t i = block->data1; i < buf->used_bytes() / 16; i++)
            out += std::string(datatype_name(c[i].type())) + " " + string_to_utf8(&c[i]) + "|";
        return out;
    }
};

}  // namespace

TEST_F(UrlFile, PercentDecoding) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"%41%20b", "A b"},
        {"%C3%A9t%C3%A9", "\xC3\xA9t\xC3\xA9"},         // two-byte sequences
        {"%E2%82%AC", "\xE2\x82\xAC"},                   // three bytes
        {"%F0%9F%98%80", "\xF0\x9F\x98\x80"},            // four bytes
        {"%C3x", "%C3x"},                                // incomplete: the % is plain
        {"%C3%4", "%C3%4"},                              // the second escape is cut short
        {"%FF", "\xC3\xBF"},                             // a lone byte is its code point
        {"%C3%41", "\xC3\x83" "A"},                      // not well formed: nothing is lost
        {"%ED%A0%80", "\xED\xA0\x80"},                   // a lone surrogate keeps its three-byte form
        {"%zz%", "%zz%"},
        {"caf\xC3\xA9%21", "caf\xC3\xA9!"},              // plain non-ASCII characters pass
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(url_decode_text(c.in), c.out) << c.in;
}

TEST_F(UrlFile, PercentEncodingModes) {
    EXPECT_EQ(url_encode_text("a b/c?d=\xC3\xA9~", URL_MODE_UNRESERVED), "a%20b%2Fc%3Fd%3D%C3%A9~");
    EXPECT_EQ(url_encode_text("a b/c?d=\xC3\xA9~", URL_MODE_URL), "a%20b/c?d=%C3%A9~");
    // Decoding undoes encoding for text holding every kind of character.
    std::string all;
    for (uint32_t b = 1; b < 0x80; b++) all += static_cast<char>(b);
    all += "\xC2\x80\xC3\xBF\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF%C3%";
    for (uint32_t mode : {URL_MODE_URL, URL_MODE_UNRESERVED}) EXPECT_EQ(url_decode_text(url_encode_text(all, mode)), all);
    for (const char* c : {" ", "\"", "%", ";", "<", ">", "[", "\\", "]", "^", "`", "{", "|", "}", "\x7F", "\x01"})
        EXPECT_FALSE(url_byte_unescaped_q(URL_MODE_URL, static_cast<uint8_t>(*c))) << int(*c);
    uint8_t byte;
    const uint8_t cut[] = {'%', 'A'};
    EXPECT_FALSE(url_hex_pair_decode(cut, 2, byte));  // never reads past the end
}

TEST_F(UrlFile, UrlMold) {
    EXPECT_EQ(molded(text("http://h/a b", TYPE_URL)), "http://h/a%20b");
    EXPECT_EQ(molded(text("http://h/\xC3\xA9", TYPE_URL)), "http://h/%C3%A9");
    EXPECT_EQ(molded(text("http://h/\xC3\xA9", TYPE_URL), 10), "http://h/%");
    // Parens end a url token; before the first ":" the lexer reads a word,
    // so its characters stand as themselves there.
    EXPECT_EQ(molded(text("http://h/(a)", TYPE_URL)), "http://h/%28a%29");
    EXPECT_EQ(molded(text("\xC3\xA9`<>:\xC3\xA9`<>", TYPE_URL)), "\xC3\xA9`<>:%C3%A9%60%3C%3E");
    EXPECT_EQ(molded(text("+:`:`", TYPE_URL)), "+:`:%60");  // after a sign the first ":" is the word's
    EXPECT_EQ(molded(text("\xC3\xA9", TYPE_URL)), "%C3%A9");
}

TEST_F(UrlFile, BuildFromBlock) {
    auto built = [](std::initializer_list<Cell> items) {
        Cell spec = test::block_of(items);
        Cell proto;
        datatype_set(&proto, TYPE_URL);
        Cell* r = url_make(&proto, &spec, TYPE_URL);
        EXPECT_TRUE(r->is(TYPE_URL));
        return string_to_utf8(r);
    };
    Cell http = test::word("http");
    Cell port;
    integer_set_cell(&port, 8080);
    EXPECT_EQ(built({http, text("host"), port, text("a"), text("b")}), "http://host:8080/a/b");
    EXPECT_EQ(built({http, text("host"), port}), "http://host:8080");
    EXPECT_EQ(built({http, text("host"), text("a")}), "http://host/a");
    Cell issue;
    issue_make_at(&issue, "frag");
    EXPECT_EQ(built({http, text("host"), text("a"), issue}), "http://host/a#frag");
    EXPECT_EQ(built({http}), "http://");
    EXPECT_EQ(test::raised([&] { built({}); }), "bad-to-arg");
}

TEST_F(UrlFile, PathJoinsWithOneSlash) {
    struct Case {
        const char* url;
        const char* element;
        const char* joined;
    };
    const Case cases[] = {
        {"http://h", "a", "http://h/a"},
        {"http://h/", "a", "http://h/a"},
        {"http://h/", "/a", "http://h/a"},
        {"http://h", "/a", "http://h/a"},
    };
    for (const Case& c : cases) EXPECT_EQ(url_join_text(c.url, c.element), c.joined);
    Cell url = text("http://h", TYPE_URL), original = url;
    Cell element = text("x");
    EvalPathArgs args;
    Cell* r = url_eval_path(&url, &element, nullptr, args);
    EXPECT_TRUE(r->is(TYPE_URL));
    EXPECT_EQ(string_to_utf8(r), "http://h/x");
    EXPECT_EQ(string_to_utf8(&original), "http://h");  // the parent's series is untouched
    Cell file = text("dir", TYPE_FILE);
    r = url_eval_path(&file, &element, nullptr, args);
    EXPECT_TRUE(r->is(TYPE_FILE));
    EXPECT_EQ(string_to_utf8(r), "dir/x");
    Cell value = test::integer(1);
    EXPECT_EQ(test::raised([&] { url_eval_path(&url, &element, &value, args); }), "bad-path-set");
}

// Every file name molds into text that reads back as the same characters:
// quotes when a character would end a bare token, and escapes inside them.
TEST_F(UrlFile, FileMold) {
    struct Case {
        const char* path;
        const char* mold;
    };
    const Case cases[] = {
        {"abc.txt", "%abc.txt"},
        {"my file.txt", "%\"my file.txt\""},
        {"", "%\"\""},
        {"caf\xC3\xA9", "%caf\xC3\xA9"},
        {"a\"b", "%\"a^(22)b\""},  // a quoted file token ends at any double quote
        {"a\x7F", "%\"a^~\""},
        {"a^b", "%\"a^^b\""},
        {"tab\there", "%\"tab^-here\""},
        {"x%41", "%\"x%41\""},  // a bare % would be percent-decoded on reading
        {"2:6", "%\"2:6\""},    // a bare file ends at ( ) : and @
        {"a(b)", "%\"a(b)\""},
        {"a@b", "%\"a@b\""},
    };
    for (const Case& c : cases) EXPECT_EQ(molded(text(c.path, TYPE_FILE)), c.mold) << c.path;
    EXPECT_EQ(molded(text("abcdef", TYPE_FILE), 3), "%abc");
    Cell surrogate = text("a", TYPE_FILE);
    string_append_char(&surrogate, 0xDC00);
    EXPECT_EQ(molded(surrogate), "%\"a^(DC00)\"");
}

TEST_F(UrlFile, LocalForm) {
    auto local = [](const char* path, bool full) {
        Cell f = text(path, TYPE_FILE), out;
        string_make(&out, 16, 1);
        file_to_local_string(&f, &out, full);
        return string_to_utf8(&out);
    };
    EXPECT_EQ(local("/usr/lib/", false), "/usr/lib/");
    EXPECT_EQ(local("a/b", false), "a/b");
    EXPECT_EQ(local("a/b", true), files_current_dir() + "a/b");
    EXPECT_EQ(local("/abs", true), "/abs");
}

TEST_F(UrlFile, FileActions) {
    char name[] = "/tmp/kel_file_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    std::string dir = std::string(name) + "/";
    Cell f = text(dir + "t.txt", TYPE_FILE), data = text("line one\r\nl\xC3\xA9ne two\n");
    Cell dest = f;
    file_write(&dest, &data, WriteArgs{});
    EXPECT_TRUE(dest.is(TYPE_UNSET));
    Cell src = f;
    EXPECT_EQ(string_to_utf8(file_read(&src, ReadArgs{})), "line one\nl\xC3\xA9ne two\n");
    ReadArgs lines;
    lines.lines = true;
    src = f;
    Cell* block = file_read(&src, lines);
    ASSERT_TRUE(block->is(TYPE_BLOCK));
    EXPECT_EQ(items(block), "string! line one|string! l\xC3\xA9ne two|");
    ReadArgs bin;
    bin.binary = true;
    Cell part = test::integer(4), seek = test::integer(5);
    integer_set_cell(&part, 4);
    integer_set_cell(&seek, 5);
    bin.part = &part;
    bin.seek = &seek;
    src = f;
    Cell* b = file_read(&src, bin);
    ASSERT_TRUE(b->is(TYPE_BINARY));
    EXPECT_EQ(value_bytes(b), "one\r");

    WriteArgs append;
    append.append = true;
    Cell more = text("3");
    dest = f;
    file_write(&dest, &more, append);
    EXPECT_EQ(files_size(dir + "t.txt"), 21);

    src = text(dir, TYPE_FILE);
    Cell* listing = file_read(&src, ReadArgs{});
    ASSERT_TRUE(listing->is(TYPE_BLOCK));
    EXPECT_EQ(items(listing), "file! t.txt|");

    Cell from = f, to = text(dir + "u.txt", TYPE_FILE);
    EXPECT_EQ(file_rename(&from, &to)->data1, 1u);
    Cell gone = f;
    EXPECT_TRUE(file_query(&gone)->is(TYPE_NONE));
    Cell del = to;
    EXPECT_EQ(file_delete(&del)->data1, 1u);
    del = to;
    EXPECT_EQ(file_delete(&del)->data1, 0u);
    src = f;
    EXPECT_EQ(test::raised([&] { file_read(&src, ReadArgs{}); }), "cannot-open");
    Cell nul = text(std::string("a\0b", 3), TYPE_FILE);
    EXPECT_EQ(test::raised([&] { file_read(&nul, ReadArgs{}); }), "cannot-open");
    ReadArgs as;
    as.as = &part;
    src = f;
    EXPECT_EQ(test::raised([&] { file_read(&src, as); }), "not-done");
    EXPECT_EQ(rmdir(name), 0);
}

// A byte-order mark is dropped only at the start of the file: read/lines
// keeps one that starts a later line, as a whole read does.
TEST_F(UrlFile, ReadLinesDropsOnlyTheFilesOwnByteOrderMark) {
    char name[] = "/tmp/kel_file_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    std::string path = std::string(name) + "/bom.txt";
    const char bytes[] = "\xEF\xBB\xBF" "a\n\xEF\xBB\xBF" "b\r\n\xEF\xBB\xBF\nc";
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes, 1, sizeof bytes - 1, f);
    std::fclose(f);
    Cell src = text(path, TYPE_FILE);
    EXPECT_EQ(string_to_utf8(file_read(&src, ReadArgs{})), "a\n\xEF\xBB\xBF" "b\n\xEF\xBB\xBF\nc");
    ReadArgs lines;
    lines.lines = true;
    src = text(path, TYPE_FILE);
    EXPECT_EQ(items(file_read(&src, lines)), "string! a|string! \xEF\xBB\xBF" "b|string! \xEF\xBB\xBF|string! c|");
    std::remove(path.c_str());
    rmdir(name);
}

// Reads stop one byte past what a value can hold, so a device that never
// ends raises no-memory instead of exhausting the process; read and checksum
// take their bytes through this with the series ceiling as the bound.
TEST_F(UrlFile, ReadsStopPastWhatAValueHolds) {
    std::vector<uint8_t> out;
    EXPECT_EQ(test::raised([&] { file_read_bytes("/dev/zero", out, 0, -1, 4096); }), "no-memory");
    out.clear();
    ASSERT_TRUE(file_read_bytes("/dev/zero", out, 0, 4096, 4096));
    EXPECT_EQ(out.size(), 4096u);
    char name[] = "/tmp/kel_bound_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    std::vector<uint8_t> five(5, 'x');
    ASSERT_TRUE(files_write(name, five.data(), five.size()));
    out.clear();
    ASSERT_TRUE(file_read_bytes(name, out, 0, -1, 5));
    EXPECT_EQ(out.size(), 5u);
    out.clear();
    EXPECT_EQ(test::raised([&] { file_read_bytes(name, out, 0, -1, 4); }), "no-memory");
    out.clear();
    ASSERT_TRUE(file_read_bytes(name, out, 1, -1, 4));  // from byte 1 only four remain
    EXPECT_EQ(out.size(), 4u);
    EXPECT_EQ(unlink(name), 0);
}

// Text read from a file: CR LF and a leading byte-order mark go, a lone CR
// stays, the three-byte form that writing gives a lone high surrogate reads
// back as it, and bytes that are not UTF-8 (a low surrogate's form among them,
// or a sequence the end cuts off) raise invalid-utf8 instead of reading as
// other characters.
TEST_F(UrlFile, ReadDecodesTextStrictly) {
    char name[] = "/tmp/kel_text_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    std::string path = std::string(name) + "/t.txt";
    struct Case {
        std::string bytes, text, lines;  // lines: each line's text and "|"
    } cases[] = {
        {"\xEF\xBB\xBF" "a\r\nb\rc\r\n", "a\nb\rc\n", "a|b\rc|"},
        {"\r\n\r\n", "\n\n", "||"},
        {"x\xED\xA0\x80y", "x\xED\xA0\x80y", "x\xED\xA0\x80y|"},
        {"a\xFF" "b", "invalid-utf8", "invalid-utf8"},
        {"a\xED\xB0\x80", "invalid-utf8", "invalid-utf8"},
        {"ok\n\xC3", "invalid-utf8", "invalid-utf8"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(files_write(path, reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), false, -1));
        std::string text, lines;
        Cell src = UrlFile::text(path, TYPE_FILE);
        std::string err = test::raised([&] { text = string_to_utf8(file_read(&src, ReadArgs{})); });
        if (!err.empty()) text = err;
        ReadArgs by_lines;
        by_lines.lines = true;
        src = UrlFile::text(path, TYPE_FILE);
        err = test::raised([&] {
            Cell* block = file_read(&src, by_lines);
            for (int32_t i = 0; i < series_length(block); i++) lines += string_to_utf8(block_cell_at(block, i)) + "|";
        });
        if (!err.empty()) lines = err;
        EXPECT_EQ(text, c.text) << c.bytes;
        EXPECT_EQ(lines, c.lines) << c.bytes;
    }
    EXPECT_EQ(unlink(path.c_str()), 0);
    EXPECT_EQ(rmdir(name), 0);
}

// A file whose name holds a lone surrogate is listed under that name again,
// and the listed name opens it.
TEST_F(UrlFile, DirectoryListsNamesWithLoneSurrogates) {
    char name[] = "/tmp/kel_names_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    std::string dir = std::string(name) + "/";
    Cell f = text(dir + "a", TYPE_FILE), data = text("x");
    string_append_char(&f, 0xD800);
    Cell dest = f;
    file_write(&dest, &data, WriteArgs{});
    Cell src = text(dir, TYPE_FILE);
    Cell* listing = file_read(&src, ReadArgs{});
    ASSERT_TRUE(listing->is(TYPE_BLOCK));
    ASSERT_EQ(series_length(listing), 1);
    Cell listed = *block_cell_at(listing, listing->data1);
    ASSERT_EQ(string_length(&listed), 2u);
    EXPECT_EQ(string_get_char_at(node_buffer(listed.data2), 1), 0xD800u);
    Cell path = text(dir, TYPE_FILE);
    string_append(&path, &listed, -1, false, 1, true);
    EXPECT_EQ(string_to_utf8(file_read(&path, ReadArgs{})), "x");
    Cell del = f;
    EXPECT_EQ(file_delete(&del)->data1, 1u);
    EXPECT_EQ(rmdir(name), 0);
}

// write/lines forms each item that is not text into a new buffer; the item
// must stay reachable, and its node current, across that allocation. Run in
// a child process with a collection at every allocation, node evacuation
// included.
[[noreturn]] void write_lines_under_stress(const std::string& path) {
    RootedCell keep, block, inner, dest;
    block_make_at(keep.get(), 1000);
    for (int i = 0; i < 30000; i++) {  // sparse node frames, which the collector evacuates
        Cell s;
        string_make(&s, 1);
        if (i % 50 == 0) block_append_value(keep.get(), &s);
    }
    block_make_at(block.get(), 40);
    for (int i = 0; i < 20; i++) {
        block_make_at(inner.get(), 2);
        Cell n = test::integer(0);
        integer_set_cell(&n, i);
        block_append_value(inner.get(), &n);
        block_append_value(block.get(), inner.get());
    }
    string_make_utf8(dest.get(), path, TYPE_FILE);
    uint32_t evacuations = g_gc.nodes_cycles;
    g_gc.stress_every = 1;
    g_gc_enabled = true;
    WriteArgs lines;
    lines.lines = true;
    file_write(dest.get(), block.get(), lines);
    g_gc_enabled = false;
    g_gc.stress_every = 0;
    std::vector<uint8_t> bytes;
    std::string want;
    for (int i = 0; i < 20; i++) want += std::to_string(i) + "\n";
    bool read = files_read(path, bytes);
    std::string got(bytes.begin(), bytes.end());
    if (g_gc.nodes_cycles == evacuations) std::fprintf(stderr, "no evacuation\n");
    if (!read || got != want) std::fprintf(stderr, "wrote \"%s\"\n", got.c_str());
    std::exit(g_gc.nodes_cycles != evacuations && read && got == want ? 0 : 1);
}

TEST_F(UrlFile, WriteLinesFormsItemsAcrossCollections) {
    char name[] = "/tmp/kel_lines_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    std::string path = std::string(name) + "/lines.txt";
    EXPECT_EXIT(write_lines_under_stress(path), ::testing::ExitedWithCode(0), "");
    std::remove(path.c_str());
    EXPECT_EQ(rmdir(name), 0);
}

// The rows are checked in a child process, where registering url! and
// file! without string! cannot disturb the other tests' registry.
TEST_F(UrlFile, RegistrationRows) {
    EXPECT_EXIT(
        {
            url_init();
            file_init();
            bool ok = datatype_parent(TYPE_FILE) == TYPE_URL && datatype_parent(TYPE_URL) == TYPE_STRING &&
                      action_entry(TYPE_URL, ACT_MOLD) && action_entry(TYPE_FILE, ACT_MOLD) &&
                      action_entry(TYPE_FILE, ACT_MOLD) != action_entry(TYPE_URL, ACT_MOLD) &&
                      action_entry(TYPE_FILE, ACT_EVAL_PATH) == action_entry(TYPE_URL, ACT_EVAL_PATH) &&
                      !action_entry(TYPE_FILE, ACT_SORT) && !action_entry(TYPE_FILE, ACT_TRIM) &&
                      !action_entry(TYPE_URL, ACT_DELETE) && action_entry(TYPE_FILE, ACT_DELETE);
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
