// The process-wide worker pool for large batches: plain threads that take ranges of the items of
// any running job; the thread that owns a job works on it too while it waits, so the pool holds one
// thread fewer than the job may use. Workers never touch host objects.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

namespace sekva {

// The threads one job runs on, its owner included: RAYON_NUM_THREADS if a positive number; if
// unset or not a number, RAYON_RS_NUM_CPUS by the same rule; otherwise the processors available to
// the process (affinity set limited by a cgroup CPU quota), or 1.
std::size_t pool_size_from_environment();
std::size_t available_processors();
// The workers the pool starts: one fewer than pool_size_from_environment(), because the owner of a
// job works beside them; more threads than processors would only take turns on them.
std::size_t pool_workers_from_environment();

enum class JobStatus { Done, NoMemory, Failed };

struct JobOutcome {
    JobStatus status = JobStatus::Done;
    std::string message;  // what a failing worker reported
};

class WorkerPool;

// One job: body(first, last) over contiguous ranges of the items [0, count), in any order and on
// any thread; ranges write to disjoint results, so the body needs no lock. Items become available
// as the owner publishes them, so the workers can start on the first ones while the owner still
// prepares the rest. Several threads may own jobs at once. The pool is made on first use; after
// fork() the child makes its own.
class ParallelJob {
public:
    using Body = std::function<void(std::size_t, std::size_t)>;
    ParallelJob(std::size_t count, Body body);
    ~ParallelJob();  // finishes the published items if the owner did not finish the job
    ParallelJob(const ParallelJob&) = delete;
    ParallelJob& operator=(const ParallelJob&) = delete;

    // Items below `ready` may now be processed; a smaller value than before changes nothing.
    void publish(std::size_t ready);
    // Publishes every item, runs ranges on the calling thread until none is left to take, waits
    // for the workers' ranges, and reports the first failure of any range. Needs no host lock:
    // the owner may release it around this call.
    JobOutcome finish();
    // The same for the items published so far only: the owner gives up on the rest.
    JobOutcome finish_published();

private:
    friend class WorkerPool;
    bool take(std::size_t& first, std::size_t& last);
    void run_range(std::size_t first, std::size_t last);

    Body body_;
    std::size_t count_;
    std::size_t grain_ = 1;
    WorkerPool* pool_ = nullptr;
    std::atomic<std::size_t> ready_{0}, claimed_{0};
    std::mutex mutex_;
    std::condition_variable finished_;
    std::size_t done_ = 0;  // guarded by mutex_
    JobOutcome outcome_;    // guarded by mutex_
};

// The threads a job runs on: the pool's workers and the job's owner (the pool is made if needed).
std::size_t job_threads();

// True on the pool's own threads: work that would split itself over the pool runs whole there
// instead, as its caller already has the pool busy.
bool on_pool_worker();

// A job whose items are all ready at once.
JobOutcome run_parallel(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body);

}  // namespace sekva
