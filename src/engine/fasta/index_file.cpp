// Reading and writing .fai files.
#include "engine/fasta/index_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <random>

#include "engine/base/bytes.hpp"
#include "engine/io/fs.hpp"
#include "engine/fasta/name_table.hpp"

namespace sekva {

namespace {

// An optional "+", then one or more ASCII digits, at most 2^64 - 1.
bool parse_u64(std::string_view s, std::uint64_t& out) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, static_cast<std::uint64_t>(c - '0'), &v))
            return false;
    }
    out = v;
    return true;
}

// One line of the index, already without its "\n". Lines of other than five columns are skipped.
Status parse_line(std::string_view line, NameTable& table) {
    if (!is_valid_utf8(line.data(), line.size())) return io_error("stream did not contain valid UTF-8");
    line = trim_unicode(line);
    std::string_view cols[5];
    std::size_t count = 0, from = 0;
    for (;;) {
        std::size_t tab = line.find('\t', from);
        std::string_view col = line.substr(from, tab == std::string_view::npos ? std::string_view::npos : tab - from);
        if (count == 5) return std::nullopt;  // six or more columns
        cols[count++] = col;
        if (tab == std::string_view::npos) break;
        from = tab + 1;
    }
    if (count != 5) return std::nullopt;
    static constexpr const char* invalid[] = {"Invalid rlen", "Invalid offset", "Invalid lenc", "Invalid lenb"};
    std::uint64_t v[4];
    for (int i = 0; i < 4; ++i)
        if (!parse_u64(cols[i + 1], v[i])) return FaidxError{ErrorKind::Indexing, invalid[i]};
    table.insert(cols[0], IndexEntry{v[0], v[1], v[2], v[3]});
    return std::nullopt;
}

void append_u64(std::string& out, std::uint64_t v) {
    char buf[20];
    int n = 0;
    do {
        buf[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    while (n) out += buf[--n];
}

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
    std::string out = target + ".tmp." + std::to_string(::getpid()) + ".";
    append_u64(out, rng());
    return out;
}

// Rewrites a file that cannot be replaced by a rename (no temporary file can be made beside it,
// or it is a device): truncated and written under an exclusive lock, which every reader of an
// index waits for, so none reads it half-written. Never blocks on a FIFO without a reader.
Status write_in_place(const std::string& path, const std::string& text) {
    auto file = open_file(path, O_WRONLY | O_CREAT | O_NONBLOCK);
    if (!file.ok()) return file.error();
    int fd = file.value().get();
    struct stat st;
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular) {
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        if (::ftruncate(fd, 0) != 0) return io_error_from_errno(errno);
    }
    return write_all(fd, text.data(), text.size());
}

}  // namespace

Status parse_index_text(std::string_view text, NameTable& table) {
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (Status err = parse_line(line, table)) return err;
    }
    return std::nullopt;
}

Status read_index(const std::string& path, NameTable& table) {
    // Never blocks in the open: an index path that is a FIFO reads as what is in it now.
    auto file = open_file(path, O_RDONLY | O_NONBLOCK);
    if (!file.ok()) return FaidxError{ErrorKind::IndexNotFound, path};
    // A writer that cannot replace the file rewrites it in place under an exclusive lock.
    while (::flock(file.value().get(), LOCK_SH) != 0 && errno == EINTR) {
    }
    auto text = read_all(file.value().get());
    if (!text.ok()) return text.error();
    return parse_index_text(text.value(), table);
}

std::string format_index(const std::vector<NamedEntry>& entries) {
    std::string out;
    out.reserve(entries.size() * 48);
    for (const auto& [name, e] : entries) {
        out += name;
        for (std::uint64_t v : {e.rlen, e.offset, e.lenc, e.lenb}) {
            out += '\t';
            append_u64(out, v);
        }
        out += '\n';
    }
    return out;
}

Status write_index(const std::string& path, const std::vector<NamedEntry>& entries) {
    return write_file_replacing(path, format_index(entries));
}

Status write_file_replacing(const std::string& path, const std::string& text) {
    if (has_nul(path)) return io_error("file name contains a NUL byte");
    struct stat st;
    std::string target;
    bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists) {
        // Devices, pipes and the like cannot be replaced by a rename; they are written as they are.
        if (!S_ISREG(st.st_mode)) return write_in_place(path, text);
        // The file at the end of any links, when it has a name of its own; a file reached only
        // through /proc (deleted, or anonymous) is written as it is.
        std::unique_ptr<char, void (*)(void*)> real(::realpath(path.c_str(), nullptr), std::free);
        struct stat found;
        if (!real || ::stat(real.get(), &found) != 0 || found.st_dev != st.st_dev || found.st_ino != st.st_ino)
            return write_in_place(path, text);
        target = real.get();
        // A file the process may not write is not replaced behind its owner's back.
        auto probe = open_file(target, O_WRONLY | O_NONBLOCK);
        if (!probe.ok()) return probe.error();
    } else {
        target = link_target(path);  // a dangling link is written through to where it points
    }

    std::string temp = temporary_name(target);
    // 0666 before the umask, like any newly created file; a replaced file keeps its own mode.
    auto file = open_file(temp, O_WRONLY | O_CREAT | O_EXCL);
    if (!file.ok()) return write_in_place(target, text);  // no file can be made beside it
    int fd = file.value().get();
    Status err;
    if (exists && ::fchmod(fd, st.st_mode & 07777) != 0) err = io_error_from_errno(errno);
    if (!err) err = write_all(fd, text.data(), text.size());
    if (file.value().close() != 0 && !err) err = io_error_from_errno(errno);
    if (!err && ::rename(temp.c_str(), target.c_str()) != 0) err = io_error_from_errno(errno);
    if (err) ::unlink(temp.c_str());
    return err;
}

}  // namespace sekva
