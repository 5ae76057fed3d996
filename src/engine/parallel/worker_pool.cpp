// Worker threads, their job hand-off, and the pool size rules.
#include "engine/parallel/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace sekva {

namespace {

thread_local bool is_pool_worker = false;

// An optional "+" and decimal digits, nothing else.
std::optional<std::size_t> parse_count(const char* text) {
    if (!text) return std::nullopt;
    std::string_view s(text);
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::size_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, static_cast<std::size_t>(c - '0'), &v))
            return std::nullopt;
    }
    return v;
}

// CPU limit of a cgroup directory and its ancestors: the smallest quota / period, at least 1.
std::optional<std::size_t> quota_under(const std::string& root, std::string path, bool v2) {
    std::optional<std::size_t> best;
    for (;;) {
        std::string dir = root + path;
        long long quota = -1, period = 0;
        if (v2) {
            std::ifstream f(dir + "/cpu.max");
            std::string q;
            if (f >> q >> period && q != "max") quota = std::atoll(q.c_str());
        } else {
            std::ifstream fq(dir + "/cpu.cfs_quota_us"), fp(dir + "/cpu.cfs_period_us");
            if (!(fq >> quota && fp >> period)) quota = -1;
        }
        if (quota > 0 && period > 0) {
            std::size_t cpus = std::max<long long>(1, quota / period);
            best = best ? std::min(*best, cpus) : cpus;
        }
        if (path.empty() || path == "/") break;
        std::size_t slash = path.find_last_of('/');
        path = slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
    }
    return best;
}

std::optional<std::size_t> cgroup_cpu_limit() {
    std::ifstream f("/proc/self/cgroup");
    std::string line;
    std::optional<std::size_t> best;
    auto take = [&](std::optional<std::size_t> v) {
        if (v) best = best ? std::min(*best, *v) : v;
    };
    while (std::getline(f, line)) {
        std::size_t a = line.find(':'), b = line.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        std::string controllers = line.substr(a + 1, b - a - 1), path = line.substr(b + 1);
        if (line.compare(0, a, "0") == 0 && controllers.empty()) {
            take(quota_under("/sys/fs/cgroup", path, true));
        } else if (("," + controllers + ",").find(",cpu,") != std::string::npos) {
            take(quota_under("/sys/fs/cgroup/cpu,cpuacct", path, false));
            take(quota_under("/sys/fs/cgroup/cpu", path, false));
        }
    }
    return best;
}

}  // namespace

// The process-wide pool. Workers take ranges from any job with ready items, oldest job first, so
// several threads may run batches at once.
class WorkerPool {
public:
    explicit WorkerPool(std::size_t size) {
        // Workers start with every signal blocked but the faults a thread raises itself (SIGBUS
        // from a shrunken map): a signal for the process (Ctrl-C, an alarm) then reaches a thread
        // of the host, whose blocking write or wait it interrupts so that the handler runs.
        sigset_t blocked, saved;
        sigfillset(&blocked);
        for (int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) sigdelset(&blocked, fault);
        const bool masked = pthread_sigmask(SIG_BLOCK, &blocked, &saved) == 0;
        for (std::size_t i = 0; i < size; ++i) {
            try {
                std::thread([this] { work(); }).detach();
                ++size_;
            } catch (...) {
                break;  // fewer workers; with none the calling thread runs each job itself
            }
        }
        if (masked) pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    }

    std::size_t size() const { return size_; }

    void add(ParallelJob* job) {
        std::lock_guard lock(mutex_);
        jobs_.push_back(job);
    }

    void remove(ParallelJob* job) {
        std::lock_guard lock(mutex_);
        jobs_.erase(std::find(jobs_.begin(), jobs_.end(), job));
    }

    void wake() {
        std::lock_guard lock(mutex_);
        if (idle_) wake_.notify_all();
    }

private:
    void work() {
        is_pool_worker = true;
        std::unique_lock lock(mutex_);
        for (;;) {
            ParallelJob* job = nullptr;
            std::size_t first = 0, last = 0;
            for (ParallelJob* j : jobs_)
                if (j->take(first, last)) {
                    job = j;
                    break;
                }
            if (!job) {
                ++idle_;
                wake_.wait(lock);
                --idle_;
                continue;
            }
            // The job stays registered until every range taken from it has run.
            lock.unlock();
            job->run_range(first, last);
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<ParallelJob*> jobs_;
    std::size_t size_ = 0;
    std::size_t idle_ = 0;
};

namespace {

// Never destroyed: detached workers may still be waiting on it when the process exits.
std::atomic<WorkerPool*> pool{nullptr};
std::mutex pool_creation;

void forget_pool_in_child() { pool.store(nullptr); }  // the parent's threads do not exist here

WorkerPool& the_pool() {
    WorkerPool* p = pool.load();
    if (p) return *p;
    std::lock_guard lock(pool_creation);
    if (!(p = pool.load())) {
        static bool registered = (pthread_atfork(nullptr, nullptr, forget_pool_in_child), true);
        (void)registered;
        p = new WorkerPool(pool_workers_from_environment());
        pool.store(p);
    }
    return *p;
}

}  // namespace

std::size_t available_processors() {
    std::size_t cpus = 0;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) cpus = static_cast<std::size_t>(CPU_COUNT(&set));
    if (cpus == 0) cpus = std::thread::hardware_concurrency();
    if (auto limit = cgroup_cpu_limit()) cpus = cpus ? std::min(cpus, *limit) : *limit;
    return cpus ? cpus : 1;
}

std::size_t pool_size_from_environment() {
    // These variable names are kept for compatibility: deployments already set them.
    auto threads = parse_count(std::getenv("RAYON_NUM_THREADS"));
    if (threads && *threads > 0) return *threads;
    if (!threads) {
        auto cpus = parse_count(std::getenv("RAYON_RS_NUM_CPUS"));
        if (cpus && *cpus > 0) return *cpus;
    }
    return available_processors();
}

bool on_pool_worker() { return is_pool_worker; }

std::size_t job_threads() { return the_pool().size() + 1; }

std::size_t pool_workers_from_environment() { return pool_size_from_environment() - 1; }

ParallelJob::ParallelJob(std::size_t count, Body body) : body_(std::move(body)), count_(count) {
    pool_ = &the_pool();
    // Ranges long enough that handing them out costs nothing beside the work, short enough that a
    // job published piece by piece reaches the workers early.
    std::size_t parts = (pool_->size() + 1) * 8;
    grain_ = std::clamp<std::size_t>(count / parts, 1, 1024);
    pool_->add(this);
}

ParallelJob::~ParallelJob() {
    if (pool_) finish_published();
}

void ParallelJob::publish(std::size_t ready) {
    ready = std::min(ready, count_);
    if (ready <= ready_.load(std::memory_order_relaxed)) return;
    ready_.store(ready, std::memory_order_release);
    pool_->wake();
}

bool ParallelJob::take(std::size_t& first, std::size_t& last) {
    std::size_t claimed = claimed_.load(std::memory_order_relaxed);
    for (;;) {
        std::size_t ready = ready_.load(std::memory_order_acquire);
        if (claimed >= ready) return false;
        std::size_t end = std::min(ready, claimed + grain_);
        if (claimed_.compare_exchange_weak(claimed, end, std::memory_order_acq_rel)) {
            first = claimed;
            last = end;
            return true;
        }
    }
}

void ParallelJob::run_range(std::size_t first, std::size_t last) {
    JobOutcome failure;
    try {
        body_(first, last);
    } catch (const std::bad_alloc&) {
        failure = {JobStatus::NoMemory, {}};
    } catch (const std::exception& e) {
        failure = {JobStatus::Failed, e.what()};
    } catch (...) {
        failure = {JobStatus::Failed, "unknown failure in a worker thread"};
    }
    // The owner may destroy the job as soon as the count is complete: nothing of it is touched
    // after this lock is released.
    std::lock_guard lock(mutex_);
    if (failure.status != JobStatus::Done && outcome_.status == JobStatus::Done) outcome_ = std::move(failure);
    done_ += last - first;
    if (done_ == count_) finished_.notify_all();
}

JobOutcome ParallelJob::finish_published() {
    {
        std::lock_guard lock(mutex_);
        count_ = ready_.load();
    }
    return finish();
}

JobOutcome ParallelJob::finish() {
    if (!pool_) return std::move(outcome_);
    publish(count_);
    std::size_t first, last;
    while (take(first, last)) run_range(first, last);
    {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [&] { return done_ == count_; });
    }
    pool_->remove(this);
    pool_ = nullptr;
    return std::move(outcome_);
}

JobOutcome run_parallel(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body) {
    try {
        ParallelJob job(count, body);
        return job.finish();
    } catch (const std::bad_alloc&) {
        return {JobStatus::NoMemory, {}};
    } catch (const std::exception& e) {
        return {JobStatus::Failed, e.what()};
    }
}

}  // namespace sekva
