// Replacing a file whole: what the .fai and .gzi writers share.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine/base/error.hpp"
#include "engine/io/fs.hpp"

namespace sekva {

// Replaces the file at `path` (or at the end of the symbolic links it starts) with `text`: a
// temporary file in the same directory, given the old file's mode, is renamed over it. Where no
// file can be made beside it, it is rewritten in place under an exclusive lock, which readers of
// an index wait for. A file the process may not write is refused, as a truncating open would.
Status write_file_replacing(const std::string& path, std::string_view text);

// A text too large to be held whole cheaply, written in parts: `put(fd)` writes it into the empty
// regular file open on `fd`, each part at its own offset (from any thread); `whole()` gives the
// text for a file that is written as a stream (a FIFO, a device).
struct PartedText {
    std::function<Status(int fd)> put;
    std::function<std::string()> whole;
};
Status write_file_replacing(const std::string& path, const PartedText& text);

// A file being written beside the one it replaces, renamed over it once complete; removed when
// dropped before then. What write_file_replacing does, for a writer that cannot hold its text whole.
class Replacement {
public:
    // The empty file beside `path` (or beside the end of the symbolic links it starts), given the
    // old file's mode. Nothing where the file cannot be replaced by a rename (a device, a FIFO, a
    // file reached only through /proc, a directory where no file can be made): it is then to be
    // rewritten in place at `in_place`, as write_file_replacing does. A file the process may not
    // write is refused.
    static Result<std::optional<Replacement>> begin(const std::string& path, std::string& in_place);
    Replacement(Replacement&& o) noexcept
        : file_(std::move(o.file_)), temp_(std::exchange(o.temp_, {})), target_(std::move(o.target_)) {}
    Replacement& operator=(Replacement&&) = delete;
    ~Replacement();

    int descriptor() const { return file_.get(); }
    // Closes the file and renames it over the old one; on failure the new file is removed.
    Status commit();

private:
    Replacement() = default;
    FileHandle file_;
    std::string temp_, target_;
};

// Writes all n bytes at `offset` of the file open on `fd`.
Status write_all_at(int fd, const char* p, std::size_t n, std::uint64_t offset);

}  // namespace sekva
