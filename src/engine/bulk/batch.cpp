// Planning and parallel extraction of a batch, and the arena for hosts that need one.
#include "engine/bulk/batch.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "engine/base/bytes.hpp"
#include "engine/fetch/sequence.hpp"
#include "engine/parallel/worker_pool.hpp"

namespace sekva {

namespace {

constexpr std::size_t PREFETCH_AHEAD = 8;
constexpr std::uint64_t MAPPED_ARENA = 1 << 20;

}  // namespace

bool plan_batch_item(const Engine& engine, const ByteSource& src, const IndexEntry* entry, std::uint64_t start,
                     std::uint64_t end, BatchItem& item) {
    const OpenOptions& opt = engine.options();
    item.plan = plan_region(engine, entry, start, end);
    item.ascii = true;
    item.length = 0;
    if (item.plan.kind == RegionPlan::Kind::Extract) {
        std::uint64_t room;
        if (!plan_capacity(opt, src, item.plan, room)) return false;
        item.capacity = room;
        item.coords = result_coords(opt, item.plan.s, item.plan.e);
    } else if (item.plan.kind == RegionPlan::Kind::Empty) {
        item.capacity = 0;
        item.coords = Coords{item.plan.s, item.plan.e};
    }
    return true;
}

BatchFetch::BatchFetch(const Engine& engine, BatchItem* items, std::size_t count, bool reverse_complement)
    : engine_(engine),
      bytes_(engine.bytes_holder()),
      reader_(engine.reader()),
      items_(items),
      count_(count),
      reverse_complement_(reverse_complement),
      job_(count, [this](std::size_t first, std::size_t last) {
          for (std::size_t i = first; i < last; ++i) extract(i, reader_);
      }) {}

void BatchFetch::extract(std::size_t i, const Reader& from) {
    // Regions of a BED file are scattered over the genome: start loading a few ahead.
    if (i + PREFETCH_AHEAD < count_ && items_[i + PREFETCH_AHEAD].plan.kind == RegionPlan::Kind::Extract) {
        const RegionPlan& ahead = items_[i + PREFETCH_AHEAD].plan;
        prefetch_region(from, *ahead.entry, ahead.s, ahead.n);
    }
    BatchItem& item = items_[i];
    if (item.plan.kind != RegionPlan::Kind::Extract || !item.out) return;
    auto got = fetch_planned(engine_.options(), item.plan, from, item.out, item.capacity, item.ascii);
    if (!got.ok()) {
        failures_.add(i, std::move(got.error()));
        return;
    }
    item.length = got.value();
    auto length = static_cast<std::size_t>(item.length);
    // Bytes that are not ASCII stay as they are, for the caller to report.
    if (reverse_complement_ && (item.ascii || is_ascii(item.out, length))) {
        reverse_complement_in_place(item.out, length);
        item.ascii = true;
    }
}

std::optional<JobFailure> BatchFetch::run_to_end(std::size_t planned) {
    // Over a source read in file order nothing was published: the regions run now, in that order.
    const bool ordered = bytes_->ordered_reads();
    JobOutcome outcome = ordered ? job_.finish_published() : job_.finish();
    if (ordered && outcome.status == JobStatus::Done) {
        auto span = [&](std::size_t i) { return plan_span(items_[i].plan, reader_.size); };
        outcome = run_regions(reader_, planned, span, [&](std::size_t i, const Reader& from) { extract(i, from); });
    }
    return failures_.finish(std::move(outcome));
}

void OneByOneStaging::round(std::size_t i) {
    staged_.reset();  // what the last round holds is not skipped as held
    try {
        std::vector<ByteSpan> spans;
        std::uint64_t bytes = 0;
        const std::uint64_t size = engine_.bytes().size();
        for (next_ = i; next_ < count_; ++next_) {
            const Request r = request_(next_);
            if (!r.entry) continue;
            const ByteSpan s = plan_span(plan_region(engine_, r.entry, r.start, r.end), size);
            if (s.begin >= s.end) continue;
            if (bytes && bytes + (s.end - s.begin) > STAGED_ROUND) break;
            bytes += s.end - s.begin;
            spans.push_back(s);
        }
        std::sort(spans.begin(), spans.end(), [](const ByteSpan& a, const ByteSpan& b) { return a.begin < b.begin; });
        std::vector<ByteSpan> merged;
        for (const ByteSpan& s : spans) {
            if (!merged.empty() && s.begin <= merged.back().end)
                merged.back().end = std::max(merged.back().end, s.end);
            else
                merged.push_back(s);
        }
        staged_ = engine_.bytes().stage(merged);
    } catch (const std::bad_alloc&) {
        next_ = count_;  // the rest are read one by one
    }
    if (next_ == i) next_ = i + 1;
}

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

}  // namespace sekva
