// Texts of the engine's error kinds, and its warning lines.
#include "engine/base/error.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>

#include "engine/base/redact.hpp"

namespace sekva {

std::string FaidxError::display() const {
    // Kept word for word for compatibility: programs match on these leads (tests pin them).
    static constexpr std::string_view lead[] = {"FASTA file not found: ", "Index file not found: ",
                                                "Fetch error: ",          "Indexing error: ",
                                                "IO error: ",             "Invalid region: "};
    std::string out(lead[static_cast<int>(kind)]);
    out += payload;
    return out;
}

const char* FaidxError::host_prefix() const {
    // Kept for compatibility: the prefix names the error class programs expect in the message.
    static constexpr const char* prefix[] = {"FastaNotFoundError: ", "IndexNotFoundError: ",
                                             "FetchError: ",         "FastaIndexingError: ",
                                             "IOError: ",            "RegionError: "};
    return prefix[static_cast<int>(kind)];
}

FaidxError io_error_from_errno(int err) {
    char buf[256];
    // GNU strerror_r may return a static string rather than fill buf. The "(os error N)" tail is
    // kept for compatibility with messages programs already match.
    const char* text = strerror_r(err, buf, sizeof buf);
    return {ErrorKind::Io, std::string(text) + " (os error " + std::to_string(err) + ")", err};
}

FaidxError io_error(std::string message) { return {ErrorKind::Io, std::move(message)}; }

FaidxError not_found_error(std::string_view name) {
    std::string text = "Sequence '";
    text.append(name);
    text += "' not found";
    return {ErrorKind::Fetch, std::move(text)};
}

FaidxError interrupted_error() { return io_error("interrupted"); }

bool is_interruption(const FaidxError& error) { return error.kind == ErrorKind::Io && error.payload == "interrupted" && !error.os_errno; }

FaidxError file_shrank_error() {
    return io_error("the FASTA file shrank while it was open; bases past its new end cannot be read");
}

namespace {

// Where the calling thread's warning lines go; nullptr: descriptor 2.
thread_local std::vector<std::string>* warning_lines = nullptr;

void write_line(std::string_view line) noexcept {
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t put = ::write(2, p, left);
        if (put < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere left to report a failing stderr
        }
        p += put;
        left -= static_cast<std::size_t>(put);
    }
}

}  // namespace

void write_warning(const std::string& text) {
    std::string line = "WARNING: " + redact_urls(text);
    if (std::vector<std::string>* lines = warning_lines) {
        try {
            lines->push_back(line);
            return;
        } catch (const std::bad_alloc&) {
            // Written instead: a warning is never dropped.
        }
    }
    write_line(line + '\n');
}

void write_warning_lines(const std::vector<std::string>& lines) noexcept {
    // Two writes a line, where one would need memory that may be what ran out.
    for (const std::string& line : lines) {
        write_line(line);
        write_line("\n");
    }
}

WarningRedirect::WarningRedirect(std::vector<std::string>* lines) : previous_(warning_lines) { warning_lines = lines; }

WarningRedirect::~WarningRedirect() { warning_lines = previous_; }

}  // namespace sekva
