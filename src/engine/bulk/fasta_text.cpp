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
    OpenOptions as_is = opt;
    as_is.sequence_always_upper = false;
    as_is.default_seq.reset();
    // Read for one pass (a mapped file through a descriptor of its own): the pages of a whole
    // genome's regions then stay in the page cache, not in this process. Or, where the layout
    // asks, through the map, whose pages are handed back when the regions are read.
    const std::shared_ptr<const ByteSource> bytes =
        layout_.mapped && engine_.bytes().direct() ? nullptr : engine_.bytes().for_one_pass();
    const Reader src(bytes ? bytes.get() : &engine_.bytes(), nullptr, true);
    FirstFailure failures;
    auto span = [&](std::size_t i) { return plan_span(regions_[i].plan, src.size); };
    JobOutcome outcome = run_regions(src, n, span, [&](std::size_t i, const Reader& from) {
        const TextRegion& r = regions_[i];
        if (r.plan.kind != RegionPlan::Kind::Extract) return;
        char* bases = bases_.get() + base_at_[i];
        bool ascii = false;
        auto got = fetch_planned(r.verbatim ? as_is : opt, r.plan, from, bases, room[i], ascii);
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
    if (!bytes) engine_.bytes().drop_pages();
    if (auto failure = failures.finish(std::move(outcome))) return failure;
    firsts_.clear();
    offsets_.assign(1, 0);
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i + 1;
        std::uint64_t length = shown(i);
        while (j < n && regions_[j].continues) length += shown(j++);
        firsts_.push_back(i);
        offsets_.push_back(offsets_.back() + regions_[i].head.size() + layout_.sep.size() +
                           wrapped_size(length, layout_.width));
        i = j;
    }
    firsts_.push_back(n);
    return std::nullopt;
}

std::uint64_t TextJob::shown(std::size_t i) const {
    const TextRegion& region = regions_[i];
    if (!region.pieces) return lengths_[i];
    std::uint64_t total = 0;
    for (std::uint32_t q = 0; q < region.piece_count; ++q) {
        const TextPiece& p = region.pieces[q];
        if (p.at < lengths_[i]) total += std::min(p.size, lengths_[i] - p.at);
    }
    return total;
}

void TextJob::write(char* out) const {
    run_parallel(firsts_.size() - 1, [&](std::size_t first, std::size_t last) {
        for (std::size_t r = first; r < last; ++r) {
            const std::size_t begin = firsts_[r], end = firsts_[r + 1];
            char* at = out + offsets_[r];
            const std::string_view head = regions_[begin].head;
            std::memcpy(at, head.data(), head.size());
            at += head.size();
            std::memcpy(at, layout_.sep.data(), layout_.sep.size());
            at += layout_.sep.size();
            std::uint64_t total = 0;
            for (std::size_t i = begin; i < end; ++i) total += shown(i);
            const std::uint64_t width = layout_.width ? layout_.width : total;
            // The blocks' bases as one sequence (each block was reversed on its own), cut into lines.
            std::uint64_t column = 0;
            const bool reverse = regions_[begin].reverse;
            auto put = [&](const char* bases, std::uint64_t left) {
                while (left) {
                    const std::uint64_t line = std::min(left, width - column);
                    std::memcpy(at, bases, static_cast<std::size_t>(line));
                    at += line;
                    bases += line;
                    left -= line;
                    column += line;
                    if (column == width) {
                        *at++ = '\n';
                        column = 0;
                    }
                }
            };
            for (std::size_t k = 0; k < end - begin; ++k) {
                const std::size_t i = reverse ? end - 1 - k : begin + k;
                const TextRegion& region = regions_[i];
                const char* bases = bases_.get() + base_at_[i];
                const std::uint64_t read = lengths_[i];
                if (!region.pieces) {
                    put(bases, read);
                    continue;
                }
                // A reversed region was reverse-complemented whole: its pieces lie mirrored.
                for (std::uint32_t q = 0; q < region.piece_count; ++q) {
                    const TextPiece& p = region.pieces[reverse ? region.piece_count - 1 - q : q];
                    if (p.at >= read) continue;
                    const std::uint64_t size = std::min(p.size, read - p.at);
                    put(bases + (reverse ? read - p.at - size : p.at), size);
                }
            }
            if (column) *at++ = '\n';
        }
    });
}

}  // namespace sekva
