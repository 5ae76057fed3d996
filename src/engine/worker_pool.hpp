// The process-wide worker pool for large batches: plain threads, one job at a time, the calling
// thread blocked until the job is done. Workers never touch host objects.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace sekva {

// Size rule: RAYON_NUM_THREADS if a positive number; if unset or not a number, RAYON_RS_NUM_CPUS
// by the same rule; otherwise the processors available to the process (affinity set limited by a
// cgroup CPU quota), or 1.
std::size_t pool_size_from_environment();
std::size_t available_processors();

enum class JobStatus { Done, NoMemory, Failed };

struct JobOutcome {
    JobStatus status = JobStatus::Done;
    std::string message;  // what a failing worker reported
};

// Runs body(first, last) over contiguous ranges of [0, count). The ranges come from halving
// [0, count) repeatedly (the left half of len items is len / 2), so each worker gets a few long
// runs; idle workers take ranges nobody has started. Ranges write to disjoint results, so the
// body needs no lock. Creates the pool on first use; after fork() the child makes its own.
JobOutcome run_parallel(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body);

}  // namespace sekva
