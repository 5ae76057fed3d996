// Array filling on the worker pool: each range of rows is extracted straight into its place in
// the caller's array, padded, upper-cased, reverse-complemented and, for one-hot rows, encoded
// through a scratch row of that range.
#include "engine/bulk/array_fill.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/base/bytes.hpp"
#include "engine/fetch/sequence.hpp"
#include "engine/parallel/worker_pool.hpp"

namespace sekva {

namespace {

constexpr std::size_t PREFETCH_AHEAD = 3;

// Loads the bases of the window a few rows ahead while this one is copied (mapped files only).
void prefetch_window(const Reader& src, const std::vector<Window>& windows, std::size_t i, std::uint64_t width) {
    if (i + PREFETCH_AHEAD >= windows.size()) return;
    const Window& w = windows[i + PREFETCH_AHEAD];
    std::int64_t first = std::max<std::int64_t>(w.first, 1);
    if (static_cast<std::uint64_t>(first) <= w.entry->rlen) prefetch_region(src, *w.entry, static_cast<std::uint64_t>(first), width);
}

// The window's bytes in `row` (width bytes): the bases the file holds for the positions inside the
// record, `pad` everywhere else.
Status window_bytes(const Reader& src, const Window& w, std::uint64_t width, char pad, char* row) {
    const IndexEntry& e = *w.entry;
    const __int128 first = w.first, last = first + static_cast<__int128>(width) - 1;
    const __int128 lo = std::max<__int128>(first, 1), hi = std::min<__int128>(last, e.rlen);
    if (lo > hi) {
        std::memset(row, pad, width);
        return std::nullopt;
    }
    const auto lead = static_cast<std::uint64_t>(lo - first), n = static_cast<std::uint64_t>(hi - lo + 1);
    std::memset(row, pad, lead);
    auto got = extract_into(src, e, static_cast<std::uint64_t>(lo), n, row + lead, n);
    if (!got.ok()) return std::move(got.error());
    std::memset(row + lead + got.value(), pad, width - lead - got.value());
    return std::nullopt;
}

// Where a window's reads begin, for taking windows in file order over a compressed file.
std::uint64_t window_position(const Window& w) {
    std::int64_t first = std::max<std::int64_t>(w.first, 1);
    return static_cast<std::uint64_t>(first) <= w.entry->rlen ? region_position(*w.entry, static_cast<std::uint64_t>(first))
                                                             : UINT64_MAX;
}

template <class T>
void put_ones(char* out, const OneHotLayout& layout, const unsigned char* codes, const unsigned char* bytes,
              bool reverse, T one) {
    const std::uint64_t width = layout.width;
    const unsigned k = layout.channels;
    T* row = reinterpret_cast<T*>(out);
    std::memset(out, 0, width * k * sizeof(T));
    for (std::uint64_t j = 0; j < width; ++j) {
        unsigned char b = reverse ? bytes[width - 1 - j] : bytes[j];
        unsigned c = codes[b];
        if (c == 255) continue;
        if (layout.channels_last)
            row[j * k + c] = one;
        else
            row[c * width + j] = one;
    }
}

}  // namespace

bool centred_window(std::int64_t start, std::int64_t end, std::uint64_t width, std::int64_t& first) {
    __int128 length = static_cast<__int128>(end) - start + 1;
    __int128 slack = length - static_cast<__int128>(width);
    // Floor division, also for windows wider than their region.
    __int128 half = slack >= 0 ? slack / 2 : -((-slack + 1) / 2);
    __int128 f = start + half;
    if (f < INT64_MIN || f > INT64_MAX) return false;
    first = static_cast<std::int64_t>(f);
    return true;
}

std::optional<JobFailure> fill_codes(const Engine& engine, const std::vector<Window>& windows, std::uint64_t width,
                                       char pad, bool upper, char* out) {
    FirstFailure failures;
    JobOutcome outcome = run_regions(
        engine.reader(), windows.size(), [&](std::size_t i) { return window_position(windows[i]); },
        [&](std::size_t i, const Reader& src) {
            prefetch_window(src, windows, i, width);
            char* row = out + i * width;
            if (Status err = window_bytes(src, windows[i], width, pad, row)) {
                failures.add(i, std::move(*err));
                return;
            }
            if (upper) ascii_upper_in_place(row, static_cast<std::size_t>(width));
            if (windows[i].reverse) reverse_complement_in_place(row, static_cast<std::size_t>(width));
        });
    return failures.finish(std::move(outcome));
}

std::optional<JobFailure> fill_onehot(const Engine& engine, const std::vector<Window>& windows,
                                        const OneHotLayout& layout, char* out) {
    FirstFailure failures;
    // A reversed row reads its window backwards through the complement; NUL marks the positions
    // outside the record, which stay zero whatever the alphabet holds.
    std::array<unsigned char, 256> forward = layout.code, reverse{};
    for (int b = 0; b < 256; ++b) reverse[b] = layout.code[COMPLEMENT_TABLE[b]];
    forward[0] = reverse[0] = 255;
    static constexpr std::size_t item_size[] = {1, 1, 2, 4};
    const std::size_t row_bytes = layout.width * layout.channels * item_size[static_cast<int>(layout.type)];
    // One scratch row per thread that fills rows.
    const std::size_t scratch_size = static_cast<std::size_t>(layout.width ? layout.width : 1);
    JobOutcome outcome = run_regions(
        engine.reader(), windows.size(), [&](std::size_t i) { return window_position(windows[i]); },
        [&](std::size_t i, const Reader& src) {
            thread_local std::vector<unsigned char> scratch_row;
            if (scratch_row.size() < scratch_size) scratch_row.resize(scratch_size);
            unsigned char* scratch = scratch_row.data();
            prefetch_window(src, windows, i, layout.width);
            char* bytes = reinterpret_cast<char*>(scratch);
            if (Status err = window_bytes(src, windows[i], layout.width, '\0', bytes)) {
                failures.add(i, std::move(*err));
                return;
            }
            const unsigned char* codes = windows[i].reverse ? reverse.data() : forward.data();
            char* row = out + i * row_bytes;
            switch (layout.type) {
                case OneHotType::UInt8:
                case OneHotType::Bool:
                    put_ones<std::uint8_t>(row, layout, codes, scratch, windows[i].reverse, 1);
                    break;
                case OneHotType::Float16:
                    put_ones<std::uint16_t>(row, layout, codes, scratch, windows[i].reverse, 0x3C00);
                    break;
                case OneHotType::Float32:
                    put_ones<float>(row, layout, codes, scratch, windows[i].reverse, 1.0f);
                    break;
            }
        });
    return failures.finish(std::move(outcome));
}

bool ragged_capacity(const Engine& engine, const RegionPlan& plan, std::uint64_t& room) {
    return plan_capacity(engine.options(), engine.bytes(), plan, room);
}

std::optional<JobFailure> fill_ragged(const Engine& engine, const std::vector<RegionPlan>& plans,
                                        const std::vector<std::uint64_t>& offsets,
                                        const std::vector<std::uint64_t>& capacities, const std::vector<bool>& reverse,
                                        bool upper, char* out, std::vector<std::uint64_t>& lengths) {
    FirstFailure failures;
    const OpenOptions& opt = engine.options();
    auto position = [&](std::size_t i) { return plan_position(plans[i]); };
    JobOutcome outcome = run_regions(engine.reader(), plans.size(), position, [&](std::size_t i, const Reader& src) {
        if (i + PREFETCH_AHEAD < plans.size() && plans[i + PREFETCH_AHEAD].kind == RegionPlan::Kind::Extract) {
            const RegionPlan& ahead = plans[i + PREFETCH_AHEAD];
            prefetch_region(src, *ahead.entry, ahead.s, ahead.n);
        }
        lengths[i] = 0;
        if (plans[i].kind != RegionPlan::Kind::Extract) return;
        char* bases = out + offsets[i];
        bool ascii = false;
        auto got = fetch_planned(opt, plans[i], src, bases, capacities[i], ascii);
        if (!got.ok()) {
            failures.add(i, std::move(got.error()));
            return;
        }
        auto n = static_cast<std::size_t>(got.value());
        if (upper) ascii_upper_in_place(bases, n);
        if (reverse[i]) reverse_complement_in_place(bases, n);
        lengths[i] = got.value();
    });
    return failures.finish(std::move(outcome));
}

}  // namespace sekva
