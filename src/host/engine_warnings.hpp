// Warning lines of engine calls, shown through Python's warnings module for engines opened with
// warn_to="python".
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/base/error.hpp"
#include "engine/fasta/engine.hpp"

namespace sekva::host {

// Lives around a call into an engine that may warn. For an engine whose option says so, the lines
// the calling thread writes meanwhile are collected and issued by issue(); for any other, they go
// to descriptor 2 as always, even inside another engine's collection (a __del__ run by a release
// can fetch from a second engine).
class EngineWarnings {
public:
    explicit EngineWarnings(OpenOptions::WarnTo to)
        : redirect_(std::in_place, to == OpenOptions::WarnTo::Caller ? &lines_ : nullptr) {}
    explicit EngineWarnings(const Engine& engine) : EngineWarnings(engine.options().warn_to) {}
    EngineWarnings(const EngineWarnings&) = delete;
    EngineWarnings& operator=(const EngineWarnings&) = delete;
    // Lines never issued (the call ended by a C++ exception) are written to descriptor 2.
    ~EngineWarnings() {
        redirect_.reset();
        if (!issued_) write_warning_lines(lines_);
    }

    // With the lock held, once the engine has returned: ends the collection and issues each line,
    // in order, through warnings.warn as a UserWarning. `result` is the call's outcome (nullptr
    // with the error set when it failed) and is returned as it is, unless issuing a line raised (a
    // filter that turns warnings into errors): then that exception is the outcome, as it would be
    // for Python code that warned, and `result` and any later lines are dropped.
    PyObject* issue(PyObject* result) {
        redirect_.reset();
        issued_ = true;
        return lines_.empty() ? result : issue_lines(result);
    }

private:
    [[gnu::cold]] PyObject* issue_lines(PyObject* result);

    std::vector<std::string> lines_;
    std::optional<WarningRedirect> redirect_;  // after lines_, so that it ends first
    bool issued_ = false;
};

// Runs `call` (returns a new reference, or nullptr with the error set) with the engine's warnings
// collected, and returns its outcome once they are issued.
template <class Call>
PyObject* with_engine_warnings(const Engine& engine, Call&& call) {
    EngineWarnings warnings(engine);
    return warnings.issue(call());
}

}  // namespace sekva::host
