// Replacing a file whole, so that readers never see it half-written.
#include "engine/io/replace_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <random>

#include "engine/io/fs.hpp"

namespace sekva {

namespace {

// The file a write must end up in: the last target of a chain of symbolic links, even when that
// target does not exist yet (a dangling link is written through, not replaced).
std::string link_target(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX), '\0');
        ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n < 0) return current;
        target.resize(static_cast<std::size_t>(n));
        if (target.empty() || target[0] != '/') {
            std::size_t slash = current.rfind('/');
            if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
        }
        current = std::move(target);
    }
    return current;  // a loop: the open below reports it
}

std::string temporary_name(const std::string& target) {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    return target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(rng());
}

// How a text goes into a file: into an empty regular file, or as a stream (a FIFO, a device).
struct Writer {
    const std::function<Status(int)>& regular;
    const std::function<Status(int)>& stream;
};

// Rewrites a file that cannot be replaced by a rename (no temporary file can be made beside it,
// or it is a device): truncated and written under an exclusive lock, which every reader of an
// index waits for, so none reads it half-written. Never blocks on a FIFO without a reader.
Status write_in_place(const std::string& path, const Writer& text) {
    auto file = open_file(path, O_WRONLY | O_CREAT | O_NONBLOCK);
    if (!file.ok()) return file.error();
    int fd = file.value().get();
    struct stat st;
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular) {
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        if (::ftruncate(fd, 0) != 0) return io_error_from_errno(errno);
        return text.regular(fd);
    }
    return text.stream(fd);
}

Status replace_file(const std::string& path, const Writer& text) {
    std::string in_place;
    auto begun = Replacement::begin(path, in_place);
    if (!begun.ok()) return begun.error();
    if (!begun.value()) return write_in_place(in_place, text);
    Replacement& file = *begun.value();
    if (Status err = text.regular(file.descriptor())) return err;
    return file.commit();
}

}  // namespace

Result<std::optional<Replacement>> Replacement::begin(const std::string& path, std::string& in_place) {
    if (has_nul(path)) return io_error("file name contains a NUL byte");
    struct stat st;
    std::string target;
    bool exists = ::stat(path.c_str(), &st) == 0;
    in_place = path;
    if (exists) {
        // Devices, pipes and the like cannot be replaced by a rename; they are written as they are.
        if (!S_ISREG(st.st_mode)) return std::optional<Replacement>();
        // The file at the end of any links, when it has a name of its own; a file reached only
        // through /proc (deleted, or anonymous) is written as it is.
        std::unique_ptr<char, void (*)(void*)> real(::realpath(path.c_str(), nullptr), std::free);
        struct stat found;
        if (!real || ::stat(real.get(), &found) != 0 || found.st_dev != st.st_dev || found.st_ino != st.st_ino)
            return std::optional<Replacement>();
        target = real.get();
        // A file the process may not write is not replaced behind its owner's back.
        auto probe = open_file(target, O_WRONLY | O_NONBLOCK);
        if (!probe.ok()) return probe.error();
    } else {
        target = link_target(path);  // a dangling link is written through to where it points
    }
    in_place = target;

    Replacement made;
    made.temp_ = temporary_name(target);
    // 0666 before the umask, like any newly created file; a replaced file keeps its own mode.
    auto file = open_file(made.temp_, O_WRONLY | O_CREAT | O_EXCL);
    if (!file.ok()) return std::optional<Replacement>();  // no file can be made beside it
    made.file_ = std::move(file.value());
    made.target_ = std::move(target);
    if (exists && ::fchmod(made.file_.get(), st.st_mode & 07777) != 0) return io_error_from_errno(errno);
    return std::optional<Replacement>(std::move(made));
}

Status Replacement::commit() {
    Status err;
    if (file_.close() != 0) err = io_error_from_errno(errno);
    if (!err && ::rename(temp_.c_str(), target_.c_str()) != 0) err = io_error_from_errno(errno);
    if (err) ::unlink(temp_.c_str());
    temp_.clear();
    return err;
}

Replacement::~Replacement() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

Status write_file_replacing(const std::string& path, std::string_view text) {
    const std::function<Status(int)> put = [text](int fd) { return write_all(fd, text.data(), text.size()); };
    return replace_file(path, Writer{put, put});
}

Status write_file_replacing(const std::string& path, const PartedText& text) {
    const std::function<Status(int)> stream = [&text](int fd) {
        const std::string whole = text.whole();
        return write_all(fd, whole.data(), whole.size());
    };
    return replace_file(path, Writer{text.put, stream});
}

Status write_all_at(int fd, const char* p, std::size_t n, std::uint64_t offset) {
    while (n > 0) {
        const ssize_t put = ::pwrite(fd, p, n, static_cast<off_t>(offset));
        if (put < 0) {
            if (errno == EINTR) continue;
            return io_error_from_errno(errno);
        }
        if (put == 0) return io_error_from_errno(EIO);
        p += put;
        n -= static_cast<std::size_t>(put);
        offset += static_cast<std::uint64_t>(put);
    }
    return std::nullopt;
}

}  // namespace sekva
