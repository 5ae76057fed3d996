// Planning, arena layout and parallel extraction of a batch.
#include "engine/batch.hpp"

#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "engine/bytes.hpp"
#include "engine/sequence.hpp"
#include "engine/worker_pool.hpp"

namespace sekva {

namespace {

constexpr std::size_t PREFETCH_AHEAD = 4;
constexpr std::uint64_t MAPPED_ARENA = 1 << 20;

struct Planned {
    RegionPlan plan;
    std::uint64_t capacity;       // extraction room
    const char* first = nullptr;  // first mapped byte, for prefetching
};

// Extraction errors are rare (descriptor reads only); they are kept aside, not in every slot.
class FailedRegions {
public:
    void add(std::size_t position, FaidxError error) {
        std::lock_guard lock(mutex_);
        if (!first_ || position < first_->first) first_.emplace(position, std::move(error));
    }
    std::optional<std::pair<std::size_t, FaidxError>>& first() { return first_; }

private:
    std::mutex mutex_;
    std::optional<std::pair<std::size_t, FaidxError>> first_;
};

const char* first_mapped_byte(const Source& src, const IndexEntry& e, std::uint64_t p) {
    if (!src.map || e.lenc == 0 || p == 0) return nullptr;
    std::uint64_t i = p - 1, at;
    if (__builtin_mul_overflow(e.lenb, i / e.lenc, &at) || __builtin_add_overflow(at, e.offset + i % e.lenc, &at) ||
        at >= src.map->size())
        return nullptr;
    return src.map->data() + at;
}

BatchFailure out_of_memory() { return BatchFailure{BatchFailure::Kind::NoMemory, 0, FaidxError{ErrorKind::Fetch, {}}, {}}; }

BatchFailure region_failure(std::size_t position, FaidxError error) {
    return BatchFailure{BatchFailure::Kind::Region, position, std::move(error), {}};
}

// Plans every region on the calling thread and lays the results out in the arena; false when
// the results cannot fit in memory at all. `total` is the arena size.
bool plan_batch(const Engine& engine, const Source& src, const std::vector<BatchRequest>& requests,
                std::vector<Planned>& planned, std::vector<BatchSlot>& slots, std::uint64_t& total) {
    const OpenOptions& opt = engine.options();
    total = 0;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const BatchRequest& r = requests[i];
        Planned& p = planned[i];
        BatchSlot& slot = slots[i];
        p.plan = plan_region(engine, r.entry, r.start, r.end);
        if (p.plan.kind == RegionPlan::Kind::Extract) {
            std::uint64_t room;
            if (!padded_capacity(opt, extraction_capacity(src, *p.plan.entry, p.plan.s, p.plan.n), p.plan.n, room))
                return false;
            p.capacity = room;
            p.first = first_mapped_byte(src, *p.plan.entry, p.plan.s);
            slot.offset = total;
            slot.coords = result_coords(opt, p.plan.s, p.plan.e);
            if (__builtin_add_overflow(total, room, &total)) return false;
        } else if (p.plan.kind == RegionPlan::Kind::Empty) {
            slot.coords = Coords{p.plan.s, p.plan.e};
            slot.ascii = true;
        }
    }
    return total <= static_cast<std::uint64_t>(PTRDIFF_MAX);
}

}  // namespace

Arena::Arena(std::uint64_t size) : size_(static_cast<std::size_t>(size ? size : 1)) {
    if (size >= MAPPED_ARENA) {
        void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
            // Huge pages where the kernel offers them, all pages made present in one go: the
            // workers then write without taking a page fault every 4 KiB. Both are only hints.
            ::madvise(p, size_, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
            if (::madvise(p, size_, MADV_POPULATE_WRITE) != 0)
#endif
                std::memset(p, 0, size_);
            data_ = static_cast<char*>(p);
            mapped_ = true;
            return;
        }
        throw std::bad_alloc();  // the kernel refused: so would the heap
    }
    data_ = new char[size_];
}

Arena::Arena(Arena&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), mapped_(std::exchange(o.mapped_, false)) {}

Arena& Arena::operator=(Arena&& o) noexcept {
    if (this != &o) {
        this->~Arena();
        data_ = std::exchange(o.data_, nullptr);
        size_ = std::exchange(o.size_, 0);
        mapped_ = std::exchange(o.mapped_, false);
    }
    return *this;
}

Arena::~Arena() {
    if (mapped_)
        ::munmap(data_, size_);
    else
        delete[] data_;
}

Result<BatchOutput, BatchFailure> fetch_batch(const Engine& engine, const std::vector<BatchRequest>& requests,
                                              bool reverse_complement) {
    try {
        const OpenOptions& opt = engine.options();
        // The map holder keeps the mapping alive for every worker until the batch is over.
        std::shared_ptr<const MappedFile> map = engine.map_holder();
        Source src = engine.source();
        src.map = map.get();
        const std::size_t count = requests.size();
        std::vector<Planned> planned(count);
        BatchOutput out;
        out.slots.resize(count);

        std::uint64_t total;
        if (!plan_batch(engine, src, requests, planned, out.slots, total)) return out_of_memory();
        out.arena = Arena(total);

        char* arena = out.arena.data();
        FailedRegions failed;
        auto work = [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) {
                // Regions of a BED file are scattered over the genome: start loading one ahead.
                if (i + PREFETCH_AHEAD < last && planned[i + PREFETCH_AHEAD].first)
                    __builtin_prefetch(planned[i + PREFETCH_AHEAD].first);
                Planned& p = planned[i];
                if (p.plan.kind != RegionPlan::Kind::Extract) continue;
                BatchSlot& slot = out.slots[i];
                char* buf = arena + slot.offset;
                auto got = fetch_single_optimized(opt, p.plan, src, buf, p.capacity, slot.ascii);
                if (!got.ok()) {
                    failed.add(i, std::move(got.error()));
                    continue;
                }
                slot.length = got.value();
                auto length = static_cast<std::size_t>(slot.length);
                // Bytes that are not ASCII stay as they are, for the caller to report.
                if (reverse_complement && (slot.ascii || is_ascii(buf, length))) {
                    reverse_complement_in_place(buf, length);
                    slot.ascii = true;
                }
            }
        };
        JobOutcome outcome = run_parallel(count, work);
        if (outcome.status == JobStatus::NoMemory) return out_of_memory();
        if (outcome.status == JobStatus::Failed)
            return BatchFailure{BatchFailure::Kind::Worker, 0, FaidxError{ErrorKind::Fetch, {}}, std::move(outcome.message)};

        auto& extraction_failure = failed.first();
        std::size_t failed_at = extraction_failure ? extraction_failure->first : count;
        for (std::size_t i = 0; i < failed_at; ++i) {
            const Planned& p = planned[i];
            if (p.plan.kind == RegionPlan::Kind::Error)
                return region_failure(i, plan_error(p.plan, requests[i].name, requests[i].start, requests[i].end));
        }
        if (extraction_failure) return region_failure(failed_at, std::move(extraction_failure->second));
        return out;
    } catch (const std::bad_alloc&) {
        return out_of_memory();
    }
}

}  // namespace sekva
