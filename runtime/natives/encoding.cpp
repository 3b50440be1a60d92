// dehex, enhex and checksum.
#include <string>
#include <vector>

#include "runtime/checksum.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/url.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/natives.h"
#include "runtime/natives/sys_natives.h"
#include "runtime/natives/sys_values.h"
#include "runtime/number_convert.h"
#include "runtime/platform/console.h"
#include "runtime/stack.h"

namespace kel {

namespace {

// Unit width of a string value's buffer.
uint32_t unit_of(const Cell* s) { return node_buffer(s->data2)->unit(); }

void string_result_from(const std::string& utf8, uint32_t unit, uint32_t capacity) {
    Cell out;
    string_make(&out, capacity, unit);
    GcRootCell root(&out);
    string_append_utf8_own(&out, utf8);
    copy_cell(&out, stack_arguments());
    stack_keep();
}

enum : int32_t { METHOD_ADLER32 = 100, METHOD_HASH = 101, METHOD_NONE = -1 };

int32_t method_of(const Cell* word) {
    static const struct {
        const char* name;
        int32_t method;
    } kMethods[] = {
        {"tcp", CHECKSUM_TCP},       {"md5", CHECKSUM_MD5},       {"sha1", CHECKSUM_SHA1},
        {"crc32", CHECKSUM_CRC32},   {"adler32", METHOD_ADLER32}, {"sha256", CHECKSUM_SHA256},
        {"sha384", CHECKSUM_SHA384}, {"sha512", CHECKSUM_SHA512}, {"hash", METHOD_HASH},
    };
    if (!word_type_q(word->type())) return METHOD_NONE;
    for (const auto& m : kMethods)
        if (word_is(word, m.name)) return m.method;
    return METHOD_NONE;
}

[[noreturn]] void raise_refine(const Cell* with_arg) {
    Cell with;
    word_from_cstring(&with, "with");
    error_raise(ErrCat::Script, "invalid-refine-arg", &with, with_arg);
}

// The bytes the data argument contributes; a file! is read whole.
std::string checksum_data(const Cell* data) {
    if (data->is(TYPE_FILE)) {
        std::string path = file_os_path(data);
        std::vector<uint8_t> bytes;
        if (!file_os_path_usable(path) || !file_read_bytes(path, bytes)) error_raise(ErrCat::Access, "cannot-open", data);
        return std::string(bytes.begin(), bytes.end());
    }
    if (data->is(TYPE_STRING) || data->is(TYPE_BINARY)) return value_bytes(data);
    error_raise(ErrCat::Script, "invalid-arg", data);
}

void binary_result(const Digest& d) {
    binary_make_bytes(stack_arguments(), d.bytes, d.size);
    stack_keep();
}

}  // namespace

void native_dehex(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(47, refs);
    const Cell* v = stack_arguments();
    std::string decoded = url_decode_text(string_to_utf8(v));
    string_result_from(decoded, unit_of(v), string_length(v));
}

void native_enhex(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(48, refs);
    const Cell* v = stack_arguments();
    uint32_t mode = v->is(TYPE_STRING) ? URL_MODE_UNRESERVED : URL_MODE_URL;
    std::string encoded = url_encode_text(string_to_utf8(v), mode);
    string_result_from(encoded, unit_of(v), string_length(v));
}

void native_checksum(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(87, refs);
    Cell* a = stack_arguments();
    std::string data = checksum_data(&a[0]);
    const Cell* method_word = &a[1];
    int32_t method = method_of(method_word);
    if (method == METHOD_NONE) error_raise(ErrCat::Script, "invalid-arg", method_word);
    const Cell* spec = refs[0] >= 0 ? &a[refs[0]] : nullptr;
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    bool plain = method == CHECKSUM_CRC32 || method == CHECKSUM_TCP || method == METHOD_ADLER32;
    if (plain) {
        if (spec) raise_refine(method_word);
        uint32_t sum = method == CHECKSUM_CRC32   ? checksum_crc32(bytes, data.size())
                       : method == METHOD_ADLER32 ? checksum_adler32(bytes, data.size())
                                                  : checksum_tcp(bytes, data.size());
        cell_set(a, TYPE_INTEGER, 0, sum, 0);
        stack_keep();
        return;
    }
    if (!spec) {
        if (method == METHOD_HASH) raise_refine(method_word);
        return binary_result(checksum_crypto_hash(bytes, data.size(), method));
    }
    if (spec->is(TYPE_INTEGER)) {
        const char* line = "** /hash support not yet implemented; algorithm TBD.\n";
        console_write_raw(line, std::char_traits<char>::length(line));
        cell_set(a, TYPE_INTEGER, 0, 0, 0);
        stack_keep();
        return;
    }
    // The key is a string! or binary!; file!, url! and the other text types
    // name something else and are refused.
    if (!spec->is(TYPE_BINARY) && !spec->is(TYPE_STRING)) error_raise(ErrCat::Script, "invalid-arg", spec);
    if (method == METHOD_HASH) raise_refine(spec);
    std::string key = value_bytes(spec);
    binary_result(checksum_hmac(bytes, data.size(), reinterpret_cast<const uint8_t*>(key.data()), key.size(), method));
}

}  // namespace kel
