// Reading and writing .fai files.
#include "engine/index_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <random>

#include "engine/bytes.hpp"
#include "engine/fs.hpp"
#include "engine/name_table.hpp"

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

// The file a rename must replace: the target of a symbolic link rather than the link.
std::string replace_target(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved) {
            std::string out(resolved);
            std::free(resolved);
            return out;
        }
    }
    return path;
}

std::string temporary_name(const std::string& target) {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    std::string out = target + ".tmp." + std::to_string(::getpid()) + ".";
    append_u64(out, rng());
    return out;
}

Status write_in_place(const std::string& path, const std::string& text) {
    auto file = open_file(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (!file.ok()) return file.error();
    return write_all(file.value().get(), text.data(), text.size());
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
    auto file = open_file(path, O_RDONLY);
    if (!file.ok()) return FaidxError{ErrorKind::IndexNotFound, path};
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
    std::string text = format_index(entries);
    std::string target = replace_target(path);
    struct stat st;
    // Devices, pipes and the like cannot be replaced by a rename; they are written as they are.
    if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return write_in_place(target, text);

    std::string temp = temporary_name(target);
    // 0666 before the umask, like any newly created file.
    auto file = open_file(temp, O_WRONLY | O_CREAT | O_EXCL);
    if (!file.ok()) {
        // An unwritable directory: report the error the index path itself gives.
        Status direct = write_in_place(target, text);
        return direct ? direct : std::nullopt;
    }
    Status err = write_all(file.value().get(), text.data(), text.size());
    if (file.value().close() != 0 && !err) err = io_error_from_errno(errno);
    if (!err && ::rename(temp.c_str(), target.c_str()) != 0) err = io_error_from_errno(errno);
    if (err) ::unlink(temp.c_str());
    return err;
}

}  // namespace sekva
