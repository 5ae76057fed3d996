// Small RAII owners of OS resources: a file descriptor and a read-only file mapping.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "engine/base/error.hpp"

namespace sekva {

class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(FileHandle&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    FileHandle& operator=(FileHandle&& o) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    int get() const { return fd_; }
    // Closes now and reports the result; the handle is empty afterwards.
    int close();
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A whole file mapped read-only and shared; an empty file is mapped with one byte and has size 0.
class MappedFile {
public:
    static MappedFile* map(int fd);  // nullptr when the size query or the mapping fails
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    const char* data() const { return data_; }
    std::uint64_t size() const { return size_; }
    // Whether `fd` is open on the file that was mapped.
    bool same_file(int fd) const;
    // Takes the pages read so far out of the process (they stay in the page cache); a later read
    // maps them again. Safe beside readers on other threads: the file's bytes never change here.
    void drop_pages() const;

private:
    MappedFile(const char* data, std::uint64_t size, std::size_t mapped, dev_t dev, ino_t ino)
        : data_(data), size_(size), mapped_(mapped), dev_(dev), ino_(ino) {}
    const char* data_;
    std::uint64_t size_;
    std::size_t mapped_;
    dev_t dev_;
    ino_t ino_;
};

// No file has a name holding a NUL byte; such a path names nothing, whatever comes before the NUL.
bool has_nul(const std::string& path);
// The path as an absolute one, against the working directory of this moment (links are kept, not
// resolved); the path itself when it is absolute or the working directory cannot be read.
std::string absolute_path(const std::string& path);
// Metadata of a path, following links; nothing when it cannot be read.
std::optional<struct stat> stat_path(const std::string& path);

// A path with a NUL byte fails with Io "file name contains a NUL byte".
Result<FileHandle> open_file(const std::string& path, int flags, unsigned mode = 0666);
// Clears O_NONBLOCK: files are opened without blocking (a FIFO without a writer must not hang the
// open) and then read like any other file.
void make_blocking(int fd);
// Reads a whole file through its descriptor.
Result<std::string> read_all(int fd);
// Writes all n bytes (through short writes and EINTR); 0, or the error number that stopped it.
int write_fully(int fd, const char* p, std::size_t n);
// The same, failing with Io.
Status write_all(int fd, const char* p, std::size_t n);

}  // namespace sekva
