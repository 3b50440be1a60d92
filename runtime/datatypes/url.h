// url!: a string that holds a URL, and the percent-encoding of the system.
//
// Cell: the string! layout (header type 9, data1 head index in units, data2
// node, data3 0). The characters are held decoded (a space is a space);
// escaping happens only when molding or encoding.
//
// Two tables say which ASCII bytes stand unescaped: the unreserved table
// (mode URL_MODE_UNRESERVED: letters, digits and "-._~") and the URL table
// (every other mode: letters, digits and "!#$&'()*+,-./:=?@_~"). Bytes 0x80
// and above are always escaped.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/actions.h"
#include "runtime/cell.h"

namespace kel {

constexpr uint32_t URL_MODE_UNRESERVED = 0xFE;
constexpr uint32_t URL_MODE_URL = 0xFF;

// True when [byte] stands unescaped in [mode]'s table.
bool url_byte_unescaped_q(uint32_t mode, uint32_t byte);
// Writes [byte] as it stands (1 byte) or as "%XX" with upper-case digits
// (3 bytes) to [out]; returns the length.
uint32_t url_escape_byte(uint32_t mode, uint8_t byte, char out[3]);
// When [p] (with [available] bytes) starts with "%" and two hexadecimal
// digits: true and the byte value in [byte].
bool url_hex_pair_decode(const uint8_t* p, size_t available, uint8_t& byte);

// Percent-encoding and -decoding of UTF-8 text.
std::string url_encode_text(std::string_view utf8, uint32_t mode);
std::string url_decode_text(std::string_view utf8);

// The same between string cells: [source] from its head, appended to
// [target].
void url_encode(const Cell* source, Cell* target, uint32_t mode);
void url_decode(const Cell* source, Cell* target);

// Joins a path element's text to a URL's text with exactly one "/".
std::string url_join_text(std::string_view url, std::string_view element);

// Action implementations (slot signatures of runtime/actions.h).
Cell* url_make(Cell* proto, Cell* spec, int32_t type);
Cell* url_to(Cell* proto, Cell* spec, int32_t type);
int32_t url_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                 int32_t indent);
Cell* url_eval_path(Cell* parent, Cell* element, Cell* value, const EvalPathArgs& args);
Cell* url_open(Cell* port, const OpenArgs& args);
Cell* url_read(Cell* source, const ReadArgs& args);
Cell* url_write(Cell* destination, Cell* data, const WriteArgs& args);

// Registers url! (after string!, whose actions it inherits).
void url_init();

}  // namespace kel
