// Console output through write(2), as UTF-8.
#include "runtime/platform/console.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/error.h"
#include "runtime/output.h"

namespace kel {

namespace {

int g_out_fd = 1;

// Room for one encoded code point beyond the flush threshold.
constexpr size_t kWorkBytes = 1024;
constexpr size_t kFlushAt = kWorkBytes - 4;

struct Utf8Writer {
    char buf[kWorkBytes];
    size_t n = 0;

    void flush() {
        console_write_raw(buf, n);
        n = 0;
    }
    void put(uint32_t cp) {
        if (n >= kFlushAt) flush();
        if ((cp >= 0xD800 && cp < 0xE000) || cp > 0x10FFFF) cp = 0xFFFD;
        if (cp < 0x80) {
            buf[n++] = static_cast<char>(cp);
        } else if (cp < 0x800) {
            buf[n++] = static_cast<char>(0xC0 | cp >> 6);
            buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            buf[n++] = static_cast<char>(0xE0 | cp >> 12);
            buf[n++] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            buf[n++] = static_cast<char>(0xF0 | cp >> 18);
            buf[n++] = static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            buf[n++] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
};

}  // namespace

void console_set_output_fd(int fd) { g_out_fd = fd; }
int console_output_fd() { return g_out_fd; }

void console_write_raw(const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = ::write(g_out_fd, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd pfd{g_out_fd, POLLOUT, 0};
            if (::poll(&pfd, 1, -1) < 0 && errno != EINTR) return;
        } else {
            return;  // the descriptor is gone: the text is lost
        }
    }
}

void console_write_units(const uint8_t* data, uint32_t bytes, uint32_t unit, bool line_end) {
    if (unit != 1 && unit != 2 && unit != 4) fatal_runtime_error(101);
    Utf8Writer out;
    uint32_t count = bytes / unit;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t cp;
        if (unit == 1) {
            cp = data[i];
        } else if (unit == 2) {
            cp = uint32_t(data[2 * i]) | uint32_t(data[2 * i + 1]) << 8;
            // A surrogate pair stored as two units still names one character.
            if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < count) {
                uint32_t low = uint32_t(data[2 * i + 2]) | uint32_t(data[2 * i + 3]) << 8;
                if (low >= 0xDC00 && low < 0xE000) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    i++;
                }
            }
        } else {
            std::memcpy(&cp, data + 4 * i, 4);
        }
        out.put(cp);
    }
    if (line_end) out.put('\n');
    out.flush();
}

void console_write_latin1(const uint8_t* data, uint32_t bytes) { console_write_units(data, bytes, 1, false); }
void console_write_latin1_line(const uint8_t* data, uint32_t bytes) { console_write_units(data, bytes, 1, true); }
void console_write_utf16(const uint8_t* data, uint32_t bytes) { console_write_units(data, bytes, 2, false); }
void console_write_utf16_line(const uint8_t* data, uint32_t bytes) { console_write_units(data, bytes, 2, true); }
void console_write_ucs4(const uint8_t* data, uint32_t bytes) { console_write_units(data, bytes, 4, false); }
void console_write_ucs4_line(const uint8_t* data, uint32_t bytes) { console_write_units(data, bytes, 4, true); }

const char* console_print_cstring(const char* text) {
    size_t n = std::strlen(text);
    console_write_raw(text, n);
    output_listeners_call(text, static_cast<uint32_t>(n), 0);
    return text;
}

}  // namespace kel
