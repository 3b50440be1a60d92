// Local files and directories: POSIX paths given as UTF-8 bytes.
//
// Nothing here raises: every routine reports failure in its result and the
// caller turns it into the value or error the language asks for. Reads take
// one pass into a growing buffer, so files of unknown size (pipes, FIFOs,
// /proc entries) are read whole and only once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kel {

enum class FileKind : uint8_t { Missing, File, Directory, Other };

struct FileInfo {
    FileKind kind = FileKind::Missing;
    int64_t size = 0;          // bytes; 0 for directories
    int64_t modified_sec = 0;  // seconds since 1970-01-01 UTC
    int32_t modified_nsec = 0;
};

// A path that names a directory by its spelling: it ends in '/' or '\', or
// is "." or "..".
bool files_path_is_dir(const std::string& path);

FileInfo files_query(const std::string& path);

// Size in bytes of a regular file opened for reading; -1 when it cannot be
// opened or sized.
int64_t files_size(const std::string& path);

// Reads from byte [offset] at most [limit] bytes (-1: to the end), appending
// to [out]. False when the file cannot be opened or read.
bool files_read(const std::string& path, std::vector<uint8_t>& out, int64_t offset = 0, int64_t limit = -1);

// Writes [n] bytes: replacing the file, appending, or (offset >= 0) over the
// existing contents from that byte on. False on any failure.
bool files_write(const std::string& path, const uint8_t* data, size_t n, bool append = false,
                 int64_t offset = -1);

// The entries of a directory, sorted by byte order, without "." and "..";
// directories carry a trailing '/'. False when it cannot be listed.
bool files_list_dir(const std::string& path, std::vector<std::string>& names);

// Removes a file or an empty directory.
bool files_delete(const std::string& path);
// Renames a file or directory; false, changing nothing, when [to] exists.
bool files_rename(const std::string& from, const std::string& to);
bool files_make_dir(const std::string& path);

// The current directory, ending in '/'; "" when it cannot be read.
std::string files_current_dir();
bool files_change_dir(const std::string& path);

}  // namespace kel
