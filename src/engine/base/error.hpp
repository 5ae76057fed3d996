// FaidxError: the engine's error value, and Result<T> to return it beside a value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace sekva {

enum class ErrorKind : std::uint8_t { FastaNotFound, IndexNotFound, Fetch, Indexing, Io, InvalidRegion };

struct FaidxError {
    ErrorKind kind;
    std::string payload;  // for Io: the I/O error's own text
    int os_errno = 0;     // for Io: the system's error number, when the system gave one

    // "Fetch error: ..." form, embedded in batch messages.
    std::string display() const;
    // "FetchError: " form, the host exception's prefix.
    const char* host_prefix() const;
};

FaidxError io_error_from_errno(int err);
FaidxError io_error(std::string message);
FaidxError not_found_error(std::string_view name);  // Fetch: "Sequence '{}' not found"
// Io: the FASTA file lost bytes after it was opened (or a read found bytes no FASTA file holds).
FaidxError file_shrank_error();
// Io "interrupted": work the user stopped (Ctrl-C). The host has raised its own exception by then.
FaidxError interrupted_error();
bool is_interruption(const FaidxError& error);

// The line "WARNING: {text}": the only logging the library does. Written with its newline to
// descriptor 2, unless a WarningRedirect on the calling thread takes it.
void write_warning(const std::string& text);

// For as long as it lives, the warning lines of the calling thread (and only that thread: other
// threads, the batch workers among them, keep their own) are appended to `lines`, without their
// newline, instead of being written; nullptr sends them to descriptor 2 again. Redirects nest: the
// previous one is back when this one ends. A line that cannot be appended (no memory) is written.

class WarningRedirect {
public:
    explicit WarningRedirect(std::vector<std::string>* lines);
    ~WarningRedirect();
    WarningRedirect(const WarningRedirect&) = delete;
    WarningRedirect& operator=(const WarningRedirect&) = delete;

private:
    std::vector<std::string>* previous_;
};

// Writes lines a redirect collected (without their newlines) to descriptor 2 after all.
void write_warning_lines(const std::vector<std::string>& lines) noexcept;

// No errors leave the engine as exceptions; this is how they travel instead.
template <class T, class E = FaidxError>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}
    bool ok() const { return v_.index() == 0; }
    T& value() { return std::get<0>(v_); }
    E& error() { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

// The outcome of a step that yields nothing else: empty on success (`return success;`), else the
// error. Dropping one unread is a compile-time warning.
class [[nodiscard]] Status : public std::optional<FaidxError> {
public:
    using std::optional<FaidxError>::optional;
};
inline constexpr std::nullopt_t success = std::nullopt;

}  // namespace sekva
