// Descriptors, mappings and whole-file reads and writes.
#include "engine/io/fs.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sekva {

FileHandle& FileHandle::operator=(FileHandle&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
}

int FileHandle::close() {
    int fd = std::exchange(fd_, -1);
    return fd >= 0 ? ::close(fd) : 0;
}

FileHandle::~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
}

MappedFile* MappedFile::map(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size < 0) return nullptr;
    auto size = static_cast<std::uint64_t>(st.st_size);
    std::size_t length = size == 0 ? 1 : static_cast<std::size_t>(size);
    void* p = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return nullptr;
    return new (std::nothrow) MappedFile(static_cast<const char*>(p), size, length, st.st_dev, st.st_ino);
}

MappedFile::~MappedFile() { ::munmap(const_cast<char*>(data_), mapped_); }

void MappedFile::drop_pages() const { ::madvise(const_cast<char*>(data_), mapped_, MADV_DONTNEED); }

bool MappedFile::same_file(int fd) const {
    struct stat st;
    return ::fstat(fd, &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
}

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

std::string absolute_path(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    std::string dir(4096, '\0');
    while (!::getcwd(dir.data(), dir.size())) {
        if (errno != ERANGE || dir.size() > (1u << 20)) return path;
        dir.resize(dir.size() * 2);
    }
    dir.resize(std::char_traits<char>::length(dir.c_str()));
    if (dir.back() != '/') dir += '/';
    return dir + path;
}

std::optional<struct stat> stat_path(const std::string& path) {
    struct stat st;
    if (has_nul(path) || ::stat(path.c_str(), &st) != 0) return std::nullopt;
    return st;
}

Result<FileHandle> open_file(const std::string& path, int flags, unsigned mode) {
    if (has_nul(path)) return io_error("file name contains a NUL byte");
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return io_error_from_errno(errno);
    return FileHandle(fd);
}

void make_blocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

Result<std::string> read_all(int fd) {
    std::string out;
    // A regular file is read into room for its size at once: a .fai of millions of reads is tens
    // of megabytes, which growing a string piece by piece would copy over and over.
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        out.resize(static_cast<std::size_t>(st.st_size));
        std::size_t have = 0;
        while (have < out.size()) {
            ssize_t got = ::read(fd, out.data() + have, out.size() - have);
            if (got < 0) {
                if (errno == EINTR) continue;
                return io_error_from_errno(errno);
            }
            if (got == 0) break;
            have += static_cast<std::size_t>(got);
        }
        if (have < out.size()) {
            out.resize(have);
            return out;
        }
    }
    char buf[65536];
    for (;;) {
        ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0) {
            if (errno == EINTR) continue;
            return io_error_from_errno(errno);
        }
        if (got == 0) return out;
        out.append(buf, static_cast<std::size_t>(got));
    }
}

int write_fully(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t put = ::write(fd, p, n);
        if (put < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return 0;
}

Status write_all(int fd, const char* p, std::size_t n) {
    if (int err = write_fully(fd, p, n)) return io_error_from_errno(err);
    return std::nullopt;
}

}  // namespace sekva
