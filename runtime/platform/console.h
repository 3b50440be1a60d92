// Console output: text of any string unit width written to standard output
// as UTF-8.
//
// Every writer converts its units to UTF-8 in a small work buffer and hands
// full buffers to write(2), looping over partial writes and interruptions, so
// nothing is lost when the descriptor is a pipe or a slow terminal. Escape
// sequences pass through unchanged: the terminal interprets them. A line end
// is a single LF. Failed writes drop their text silently (there is nowhere to
// report them). The writers do not go through C stdio.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel {

// The descriptor the writers use (1 at start; tests point it at a pipe).
void console_set_output_fd(int fd);
int console_output_fd();

// Writes bytes as they are, looping until all are written or the descriptor
// fails.
void console_write_raw(const void* data, size_t n);

// (first unit, byte length): unit 1 Latin-1, unit 2 UCS-2, unit 4 code points.
// Units that are no code point (lone surrogates, values above U+10FFFF) are
// written as U+FFFD so the output stays valid UTF-8.
void console_write_latin1(const uint8_t* data, uint32_t bytes);
void console_write_latin1_line(const uint8_t* data, uint32_t bytes);
void console_write_utf16(const uint8_t* data, uint32_t bytes);
void console_write_utf16_line(const uint8_t* data, uint32_t bytes);
void console_write_ucs4(const uint8_t* data, uint32_t bytes);
void console_write_ucs4_line(const uint8_t* data, uint32_t bytes);
// The common path of the six writers; any unit other than 1, 2 or 4 is an
// internal fault (fatal runtime error 101).
void console_write_units(const uint8_t* data, uint32_t bytes, uint32_t unit, bool line_end);

// Writes a NUL-terminated byte string as it is, then offers it to the output
// listeners with its length and 0. Returns the string.
const char* console_print_cstring(const char* text);

}  // namespace kel
