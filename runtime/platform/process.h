// Child processes: a command line run with its standard streams redirected
// to memory or files.
//
// The command is split into words as a POSIX shell splits a simple command
// (blanks separate; single quotes, double quotes and backslashes quote; no
// expansions) and the first word is found on PATH. With `shell`, the whole
// line goes to /bin/sh -c instead, so pipes, redirections and variables work.
//
// Captured streams are read through pipes by one poll loop that also feeds
// the input, so a child that writes more than a pipe holds, or that reads
// and writes at once, never deadlocks against us. SIGPIPE from a child that
// stops reading is contained; the child itself starts with default signal
// handling.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

struct ProcessStream {
    enum Kind : uint8_t {
        Inherit,  // the parent's own stream (the console)
        Null,     // /dev/null
        Memory,   // input: `bytes`; output: appended to `captured`
        File,     // `path`: read from, or replaced with the output
    };
    Kind kind = Null;
    std::string_view bytes;         // Memory input
    std::string* captured = nullptr;  // Memory output
    std::string path;               // File
};

struct ProcessRequest {
    std::string command;
    bool wait = false;
    bool shell = false;
    ProcessStream input, output, error;
    // A Memory output keeps at most this many bytes; the rest is still read
    // (so the child never blocks on a full pipe) and dropped.
    size_t capture_limit = SIZE_MAX;
};

// Runs the command. Waiting (asked, or implied by a Memory output): the exit
// status (128 + the signal number when a signal ended it). Not waiting: the
// child's process id; the child is reaped later. -1 when it could not be
// started (empty command, program not found, a file that cannot be opened).
int32_t process_call(const ProcessRequest& request);

// The words of a command line as the splitter sees them (false when a quote
// is left open).
bool process_split_command(const std::string& command, std::vector<std::string>& words);

}  // namespace kel
