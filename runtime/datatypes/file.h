// file!: a string that names a file or directory as a POSIX path.
//
// Cell: the string! layout (header type 8, data1 head index in units, data2
// node, data3 0). '/' separates names; a directory's name ends in '/'. The
// local form of a path is the path itself, made absolute on request by
// prefixing the current directory. file! inherits most actions from url!.
#pragma once
#include <string>
#include <vector>

#include "runtime/actions.h"
#include "runtime/cell.h"
#include "runtime/natives/sys_values.h"

namespace kel {

// The path from the file's head as UTF-8, for the platform calls.
std::string file_os_path(const Cell* file);
// False for a path the platform cannot name (empty, or holding NUL, which
// would silently shorten it).
bool file_os_path_usable(const std::string& path);

// Reads into the empty [out] the bytes of a file from byte [offset], at
// most [part] of them (-1: to the end). A file longer than [max] bytes, more
// than any value holds (a device that never ends, such as /dev/zero), raises
// internal `no-memory` once max + 1 bytes are read, instead of growing the
// buffer until the process dies. False when the file cannot be read.
bool file_read_bytes(const std::string& path, std::vector<uint8_t>& out, int64_t offset = 0, int64_t part = -1,
                     size_t max = kSeriesMaxBytes);

// Appends the local form of [file] to [target]; with [full], a relative
// path is prefixed with the current directory (ending in '/').
void file_to_local_string(const Cell* file, Cell* target, bool full);

// Action implementations (slot signatures of runtime/actions.h).
int32_t file_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                  int32_t indent);
Cell* file_delete(Cell* value);
Cell* file_query(Cell* value);
Cell* file_read(Cell* source, const ReadArgs& args);
Cell* file_rename(Cell* from, Cell* to);
Cell* file_write(Cell* destination, Cell* data, const WriteArgs& args);

// Registers file! (after url!).
void file_init();

}  // namespace kel
