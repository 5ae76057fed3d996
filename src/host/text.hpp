// Host strings for sequence text: ASCII only, built without a decoding pass where the host allows.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "engine/fetch/fetch.hpp"
#include "host/interp.hpp"

namespace sekva::host {

// A new str of n ASCII bytes, written by the caller before finish(): straight into the string
// object where TEXT_WRITTEN_IN_PLACE, elsewhere through a scratch buffer.
class AsciiBuilder {
public:
    explicit AsciiBuilder(Py_ssize_t n);
    ~AsciiBuilder();
    AsciiBuilder(const AsciiBuilder&) = delete;
    AsciiBuilder& operator=(const AsciiBuilder&) = delete;
    // nullptr (with MemoryError set) when the allocation failed.
    char* data() { return data_; }
    PyObject* finish();  // new reference, or nullptr with the error set

private:
    PyObject* obj_ = nullptr;
    char* data_ = nullptr;
    Py_ssize_t n_ = 0;
    std::string scratch_;  // where text is not written in place
};

// Fetched bases written straight into a new host string (where TEXT_WRITTEN_IN_PLACE) or a
// scratch buffer. A large
// fetch lets other threads run while its bases are copied: reserve() releases the interpreter lock
// once the string exists, and resume() (or finish(), or the destructor) takes it back before
// anything touches a host object again.
class StrOutput final : public OutputBuffer {
public:
    static constexpr std::uint64_t RELEASE_LOCK_ABOVE = 1 << 20;

    StrOutput() = default;
    ~StrOutput() override;
    StrOutput(const StrOutput&) = delete;
    StrOutput& operator=(const StrOutput&) = delete;
    char* reserve(std::uint64_t capacity) override;
    void resume();
    char* data() { return data_; }
    // The str of the first `length` bytes; ValueError naming `record` when they are not ASCII.
    // `known_ascii` skips the check when the extraction already proved it.
    PyObject* finish(std::uint64_t length, std::string_view record, bool known_ascii);

private:
    PyObject* obj_ = nullptr;
    char* data_ = nullptr;
    PyThreadState* released_ = nullptr;
    std::string scratch_;  // where text is not written in place
};

// str from bytes already known to be ASCII.
PyObject* ascii_str(const char* p, std::size_t n);
// str from fetched bytes; raises ValueError naming the record when they are not ASCII.
PyObject* fetched_str(const char* p, std::size_t n, std::string_view record);

}  // namespace sekva::host
