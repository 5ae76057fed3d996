// Worker threads, their job hand-off, and the pool size rules.
#include "engine/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>

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

struct Job {
    const std::function<void(std::size_t, std::size_t)>* body = nullptr;
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    std::atomic<std::size_t> next{0};
    std::size_t finished = 0;  // guarded by the pool mutex
    JobOutcome outcome;        // guarded by the pool mutex
};

class WorkerPool {
public:
    explicit WorkerPool(std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            try {
                threads_.emplace_back([this] { work(); });
            } catch (...) {
                break;  // fewer workers; with none the caller runs the job itself
            }
        }
        for (auto& t : threads_) t.detach();
    }

    std::size_t size() const { return threads_.size(); }

    JobOutcome run(Job& job) {
        std::unique_lock lock(mutex_);
        job_ = &job;
        ++generation_;
        wake_.notify_all();
        done_.wait(lock, [&] { return job.finished == job.ranges.size(); });
        job_ = nullptr;
        return std::move(job.outcome);
    }

private:
    void work() {
        std::uint64_t seen = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return generation_ != seen && job_; });
            seen = generation_;
            Job& job = *job_;
            for (;;) {
                std::size_t i = job.next.fetch_add(1);
                if (i >= job.ranges.size()) break;
                lock.unlock();
                JobOutcome failure = run_range(job, i);
                lock.lock();
                if (failure.status != JobStatus::Done && job.outcome.status == JobStatus::Done)
                    job.outcome = std::move(failure);
                if (++job.finished == job.ranges.size()) done_.notify_all();
            }
        }
    }

    static JobOutcome run_range(Job& job, std::size_t i) {
        try {
            (*job.body)(job.ranges[i].first, job.ranges[i].second);
            return {};
        } catch (const std::bad_alloc&) {
            return {JobStatus::NoMemory, {}};
        } catch (const std::exception& e) {
            return {JobStatus::Failed, e.what()};
        } catch (...) {
            return {JobStatus::Failed, "unknown failure in a worker thread"};
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, done_;
    Job* job_ = nullptr;
    std::uint64_t generation_ = 0;
    std::vector<std::thread> threads_;
};

// Never destroyed: detached workers may still be waiting on it when the process exits.
WorkerPool* pool = nullptr;

void forget_pool_in_child() { pool = nullptr; }  // the parent's threads do not exist here

WorkerPool& the_pool() {
    if (!pool) {
        static bool registered = (pthread_atfork(nullptr, nullptr, forget_pool_in_child), true);
        (void)registered;
        pool = new WorkerPool(pool_size_from_environment());
    }
    return *pool;
}

void halve(std::size_t first, std::size_t last, std::size_t grain, std::vector<std::pair<std::size_t, std::size_t>>& out) {
    std::size_t len = last - first;
    if (len <= grain) {
        out.emplace_back(first, last);
        return;
    }
    halve(first, first + len / 2, grain, out);
    halve(first + len / 2, last, grain, out);
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
    auto threads = parse_count(std::getenv("RAYON_NUM_THREADS"));
    if (threads && *threads > 0) return *threads;
    if (!threads) {
        auto cpus = parse_count(std::getenv("RAYON_RS_NUM_CPUS"));
        if (cpus && *cpus > 0) return *cpus;
    }
    return available_processors();
}

JobOutcome run_parallel(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body) {
    try {
        WorkerPool& workers = the_pool();
        Job job;
        job.body = &body;
        // About eight ranges per worker: long sequential runs, yet room to even out the load.
        std::size_t grain = std::max<std::size_t>(1, count / (std::max<std::size_t>(workers.size(), 1) * 8));
        halve(0, count, grain, job.ranges);
        if (workers.size() == 0) {
            body(0, count);
            return {};
        }
        return workers.run(job);
    } catch (const std::bad_alloc&) {
        return {JobStatus::NoMemory, {}};
    } catch (const std::exception& e) {
        return {JobStatus::Failed, e.what()};
    }
}

}  // namespace sekva
