// One failure type for every bulk job on the worker pool, and the one helper that keeps the first
// failure by input position, whichever worker meets it first.
#pragma once

#include <cerrno>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "engine/base/error.hpp"
#include "engine/parallel/worker_pool.hpp"

namespace sekva {

struct JobFailure {
    enum class Kind { Item, NoMemory, Worker };
    Kind kind = Kind::Item;
    std::size_t index = 0;                // Item: input position of the first failed item
    FaidxError error{ErrorKind::Io, {}};  // Item: what it failed with
    std::string message;                  // Worker: what a worker threw

    static JobFailure item(std::size_t index, FaidxError error) { return {Kind::Item, index, std::move(error), {}}; }
    static JobFailure no_memory() { return {Kind::NoMemory, 0, FaidxError{ErrorKind::Io, {}}, {}}; }
    // The job's outcome when the pool itself failed it (no memory, a worker threw); nothing otherwise.
    static std::optional<JobFailure> of(JobOutcome outcome) {
        if (outcome.status == JobStatus::NoMemory) return no_memory();
        if (outcome.status == JobStatus::Failed)
            return JobFailure{Kind::Worker, 0, FaidxError{ErrorKind::Io, {}}, std::move(outcome.message)};
        return std::nullopt;
    }
    // As one engine error, for callers that report nothing else.
    FaidxError as_error() const {
        if (kind == Kind::NoMemory) return io_error_from_errno(ENOMEM);
        if (kind == Kind::Worker) return io_error(message);
        return error;
    }
};

class FirstFailure {
public:
    void add(std::size_t index, FaidxError error) {
        std::lock_guard lock(mutex_);
        if (!first_ || index < first_->index) first_ = JobFailure::item(index, std::move(error));
    }
    // After the job: the pool's own failure first, else the first item's, else nothing.
    std::optional<JobFailure> finish(JobOutcome outcome) {
        if (auto pool = JobFailure::of(std::move(outcome))) return pool;
        std::lock_guard lock(mutex_);
        return std::move(first_);
    }

private:
    std::mutex mutex_;
    std::optional<JobFailure> first_;
};

}  // namespace sekva
