// Record text in two passes over the worker pool: the bases of every region into one buffer, then
// each record into its place in the text, its lines cut as it is copied.
#include "engine/bulk/fasta_text.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "engine/base/bytes.hpp"
#include "engine/parallel/worker_pool.hpp"

namespace sekva {

std::uint64_t wrapped_size(std::uint64_t length, std::uint64_t width) {
    if (!length) return 0;
    return width ? length + (length + width - 1) / width : length + 1;
}

std::optional<JobFailure> TextJob::read() {
    const std::size_t n = regions_.size();
    base_at_.assign(n + 1, 0);
    lengths_.assign(n, 0);
    std::vector<std::uint64_t> room(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const RegionPlan& plan = regions_[i].plan;
        if (plan.kind == RegionPlan::Kind::Extract && !ragged_capacity(engine_, plan, room[i]))
            return JobFailure::no_memory();
        if (__builtin_add_overflow(base_at_[i], room[i], &base_at_[i + 1]))
            return JobFailure::no_memory();
    }
    bases_ = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(base_at_[n]) + 1);
    const OpenOptions& opt = engine_.options();
    // Read for one pass (a mapped file through a descriptor of its own): the pages of a whole
    // genome's regions then stay in the page cache, not in this process.
    const std::shared_ptr<const ByteSource> bytes = engine_.bytes().for_one_pass();
    const Reader src(bytes.get(), nullptr, true);
    FirstFailure failures;
    auto position = [&](std::size_t i) { return plan_position(regions_[i].plan); };
    JobOutcome outcome = run_regions(src, n, position, [&](std::size_t i, const Reader& from) {
        const TextRegion& r = regions_[i];
        if (r.plan.kind != RegionPlan::Kind::Extract) return;
        char* bases = bases_.get() + base_at_[i];
        bool ascii = false;
        auto got = fetch_planned(opt, r.plan, from, bases, room[i], ascii);
        if (!got.ok()) {
            failures.add(i, std::move(got.error()));
            return;
        }
        lengths_[i] = got.value();
        if (r.reverse) {
            char* end = bases + got.value();
            std::reverse(bases, end);
            for (char* p = bases; p < end; ++p) *p = static_cast<char>(layout_.complement[static_cast<unsigned char>(*p)]);
        }
    });
    if (auto failure = failures.finish(std::move(outcome))) return failure;
    offsets_.assign(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i)
        offsets_[i + 1] = offsets_[i] + regions_[i].head.size() + layout_.sep.size() + wrapped_size(lengths_[i], layout_.width);
    return std::nullopt;
}

void TextJob::write(char* out) const {
    run_parallel(regions_.size(), [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            char* at = out + offsets_[i];
            const std::string_view head = regions_[i].head;
            std::memcpy(at, head.data(), head.size());
            at += head.size();
            std::memcpy(at, layout_.sep.data(), layout_.sep.size());
            at += layout_.sep.size();
            const char* bases = bases_.get() + base_at_[i];
            std::uint64_t left = lengths_[i];
            const std::uint64_t width = layout_.width ? layout_.width : left;
            while (left) {
                std::uint64_t line = left < width ? left : width;
                std::memcpy(at, bases, static_cast<std::size_t>(line));
                at += line;
                *at++ = '\n';
                bases += line;
                left -= line;
            }
        }
    });
}

}  // namespace sekva
