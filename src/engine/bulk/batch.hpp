// Batch fetch of 1000 regions or more on the worker pool. The caller plans each region and gives
// it a home for its bases (a host string, or a slice of one arena); the workers extract into those
// homes, starting on the first regions while the caller still plans the rest.
#pragma once

#include <algorithm>
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/fasta/engine.hpp"
#include "engine/fetch/fetch.hpp"
#include "engine/parallel/first_failure.hpp"
#include "engine/parallel/worker_pool.hpp"

namespace sekva {

inline constexpr std::size_t PARALLEL_THRESHOLD = 1000;

// One region of a batch.
struct BatchItem {
    RegionPlan plan{RegionPlan::Kind::Error, nullptr, 0, 0, 0};
    Coords coords;                // what the fetched Sequence carries
    std::uint64_t capacity = 0;   // room the bases need (Extract only)
    char* out = nullptr;          // where they go: set by the caller before the item is published
    std::uint64_t length = 0;     // written by the worker
    bool ascii = true;            // false means: not proven ASCII, check
};

// Plans one region as the batch workers' fetch does (silent clamping, or strict checks) and sizes
// its output; false when no memory could hold it.
bool plan_batch_item(const Engine& engine, const ByteSource& src, const IndexEntry* entry, std::uint64_t start,
                     std::uint64_t end, BatchItem& item);

// Runs the extraction of a batch whose items the caller plans and publishes in input order. With
// `reverse_complement` each result is reverse-complemented in place (coordinates are the caller's).
class BatchFetch {
public:
    BatchFetch(const Engine& engine, BatchItem* items, std::size_t count, bool reverse_complement);
    // Items [0, ready) are planned and have their `out`. Over a source read in file order (BGZF)
    // nothing starts before finish(): the regions are then taken in file order, so each block is
    // inflated once.
    void publish(std::size_t ready) {
        if (!bytes_->ordered_reads()) job_.publish(ready);
    }
    // Waits for every published item (publishing the rest), then reports the first failure in input
    // order among the items [0, planned): a region the plan refused (named by `name_of`, with
    // its requested coordinates from `request_of`) or one whose extraction failed. Needs no host lock.
    template <class NameOf, class RequestOf>
    std::optional<JobFailure> finish(std::size_t planned, NameOf name_of, RequestOf request_of);
    // Gives up on the items not yet published (the caller failed while planning): waits only for
    // the published ones, whose homes must stay valid until this returns.
    void abandon() { job_.finish_published(); }
    const ByteSource& source() const { return *bytes_; }

private:
    std::optional<JobFailure> run_to_end(std::size_t planned);
    void extract(std::size_t i, const Reader& from);

    const Engine& engine_;
    std::shared_ptr<const ByteSource> bytes_;  // kept alive for every worker
    Reader reader_;
    BatchItem* items_;
    std::size_t count_;
    bool reverse_complement_;
    FirstFailure failures_;  // of the extraction
    ParallelJob job_;
};

template <class NameOf, class RequestOf>
std::optional<JobFailure> BatchFetch::finish(std::size_t planned, NameOf name_of, RequestOf request_of) {
    std::optional<JobFailure> failed = run_to_end(planned);
    if (failed && failed->kind != JobFailure::Kind::Item) return failed;
    // A region refused by its plan fails the batch where it comes before any failed extraction.
    const std::size_t failed_at = failed ? std::min(failed->index, planned) : planned;
    for (std::size_t i = 0; i < failed_at; ++i) {
        const BatchItem& item = items_[i];
        if (item.plan.kind != RegionPlan::Kind::Error) continue;
        auto [start, end] = request_of(i);
        return JobFailure::item(i, plan_error(item.plan, name_of(i), start, end));
    }
    if (failed_at < planned) return failed;
    return std::nullopt;
}

// Regions a caller fetches one by one, in its own order, from a source that stages its reads (a
// remote file): their spans are handed to the source a round at a time (STAGED_ROUND bytes), before
// the round's first region is fetched. Over other sources it does nothing.
class OneByOneStaging {
public:
    // Region i's record (nullptr: none) and its start and end as asked.
    struct Request {
        const IndexEntry* entry;
        std::uint64_t start, end;
    };
    OneByOneStaging(const Engine& engine, std::size_t count, std::function<Request(std::size_t)> request)
        : engine_(engine), count_(count), request_(std::move(request)), active_(engine.bytes().stages_reads()) {}
    // Whether region i is the first of a round: round(i) is then called, without the host lock.
    bool starts_round(std::size_t i) const { return active_ && i == next_; }
    void round(std::size_t i);

private:
    const Engine& engine_;
    std::size_t count_;
    std::function<Request(std::size_t)> request_;
    bool active_;
    std::size_t next_ = 0;
    std::unique_ptr<StagedReads> staged_;
};

// Memory for the bases of a whole batch where they cannot go straight into their final home; a
// large one is mapped with its pages made present up front, so the workers do not take a page
// fault for every 4 KiB they write.
class Arena {
public:
    Arena() = default;
    explicit Arena(std::uint64_t size);  // throws bad_alloc
    Arena(Arena&& o) noexcept;
    Arena& operator=(Arena&& o) noexcept;
    ~Arena();
    char* data() const { return data_; }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
};

}  // namespace sekva
