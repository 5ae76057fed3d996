// Replacing a file whole: what the .fai and .gzi writers share.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/base/error.hpp"

namespace sekva {

// Replaces the file at `path` (or at the end of the symbolic links it starts) with `text`: a
// temporary file in the same directory, given the old file's mode, is renamed over it. Where no
// file can be made beside it, it is rewritten in place under an exclusive lock, which readers of
// an index wait for. A file the process may not write is refused, as a truncating open would.
Status write_file_replacing(const std::string& path, std::string_view text);

// A text too large to be held whole cheaply, written in parts: `put(fd)` writes all `size` bytes
// into the empty regular file open on `fd`, each part at its own offset (from any thread); `whole()`
// gives the text for a file that is written as a stream (a FIFO, a device).
struct PartedText {
    std::uint64_t size = 0;
    std::function<Status(int fd)> put;
    std::function<std::string()> whole;
};
Status write_file_replacing(const std::string& path, const PartedText& text);

// Writes all n bytes at `offset` of the file open on `fd`.
Status write_all_at(int fd, const char* p, std::size_t n, std::uint64_t offset);

}  // namespace sekva
