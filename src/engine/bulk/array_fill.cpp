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

// Loads the bases of a window a few rows ahead while this one is copied (mapped files only).
void prefetch_window(const Reader& src, const Window& w, std::uint64_t width) {
    std::int64_t first = std::max<std::int64_t>(w.first, 1);
    if (static_cast<std::uint64_t>(first) <= w.entry->rlen) prefetch_region(src, *w.entry, static_cast<std::uint64_t>(first), width);
}

void prefetch_window(const Reader& src, const std::vector<Window>& windows, std::size_t i, std::uint64_t width) {
    if (i + PREFETCH_AHEAD < windows.size()) prefetch_window(src, windows[i + PREFETCH_AHEAD], width);
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

// The bytes a window of `width` positions reads (the positions inside its record), for taking
// windows in file order over a compressed or remote file.
ByteSpan window_span(const Window& w, std::uint64_t width, std::uint64_t size) {
    const IndexEntry& e = *w.entry;
    const __int128 first = w.first, last = first + static_cast<__int128>(width) - 1;
    const __int128 lo = std::max<__int128>(first, 1), hi = std::min<__int128>(last, e.rlen);
    if (lo > hi) return NO_SPAN;
    return region_span(e, static_cast<std::uint64_t>(lo), static_cast<std::uint64_t>(hi - lo + 1), size);
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

// The one-hot rows of a layout, from window bytes in which NUL marks the positions outside the
// record (all zeros whatever the alphabet holds). A reversed row reads its bytes backwards
// through the complement.
class OneHotCodes {
public:
    explicit OneHotCodes(const OneHotLayout& layout) : layout_(layout), forward_(layout.code) {
        for (int b = 0; b < 256; ++b) reverse_[b] = layout.code[COMPLEMENT_TABLE[b]];
        forward_[0] = reverse_[0] = 255;
        static constexpr std::size_t item_size[] = {1, 1, 2, 4};
        const std::size_t item = item_size[static_cast<int>(layout.type)];
        row_bytes = layout.width * layout.channels * item;
        // Four channels last, the common case: each position is one store of its whole pattern.
        if (layout.channels_last && layout.channels == 4) {
            pattern_ = 4 * item;
            patterns_.assign(2 * 256 * pattern_, 0);
            for (int side = 0; side < 2; ++side)
                for (int b = 0; b < 256; ++b) {
                    const unsigned c = (side ? reverse_ : forward_)[b];
                    if (c == 255) continue;
                    unsigned char* at = &patterns_[(side * 256 + b) * pattern_ + c * item];
                    switch (layout.type) {
                        case OneHotType::UInt8:
                        case OneHotType::Bool: *at = 1; break;
                        case OneHotType::Float16: store(at, std::uint16_t{0x3C00}); break;
                        case OneHotType::Float32: store(at, 1.0f); break;
                    }
                }
        }
    }

    void encode(char* row, const unsigned char* bytes, bool reverse) const {
        if (pattern_) {
            const unsigned char* patterns = &patterns_[(reverse ? 256 : 0) * pattern_];
            switch (pattern_) {
                case 4: return put_patterns<4>(row, patterns, bytes, reverse);
                case 8: return put_patterns<8>(row, patterns, bytes, reverse);
                default: return put_patterns<16>(row, patterns, bytes, reverse);
            }
        }
        const unsigned char* codes = reverse ? reverse_.data() : forward_.data();
        switch (layout_.type) {
            case OneHotType::UInt8:
            case OneHotType::Bool: put_ones<std::uint8_t>(row, layout_, codes, bytes, reverse, 1); break;
            case OneHotType::Float16: put_ones<std::uint16_t>(row, layout_, codes, bytes, reverse, 0x3C00); break;
            case OneHotType::Float32: put_ones<float>(row, layout_, codes, bytes, reverse, 1.0f); break;
        }
    }

    std::size_t row_bytes;

private:
    template <class T>
    static void store(unsigned char* at, T value) {
        std::memcpy(at, &value, sizeof value);
    }

    template <std::size_t P>
    void put_patterns(char* row, const unsigned char* patterns, const unsigned char* bytes, bool reverse) const {
        const std::uint64_t width = layout_.width;
        if (reverse) {
            for (std::uint64_t j = 0; j < width; ++j) std::memcpy(row + j * P, patterns + bytes[width - 1 - j] * P, P);
        } else {
            for (std::uint64_t j = 0; j < width; ++j) std::memcpy(row + j * P, patterns + bytes[j] * P, P);
        }
    }

    const OneHotLayout& layout_;
    std::array<unsigned char, 256> forward_, reverse_{};
    std::size_t pattern_ = 0;  // bytes of one position's pattern, when patterns are used
    std::vector<unsigned char> patterns_;  // forward then reverse, 256 patterns each
};

// A scratch buffer of at least `size` bytes, one per thread that fills rows.
unsigned char* thread_scratch(std::size_t size) {
    thread_local std::vector<unsigned char> scratch;
    if (scratch.size() < size) scratch.resize(size);
    return scratch.data();
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
    const std::uint64_t size = engine.bytes().size();
    JobOutcome outcome = run_regions(
        engine.reader(), windows.size(), [&](std::size_t i) { return window_span(windows[i], width, size); },
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
    const std::uint64_t size = engine.bytes().size();
    const OneHotCodes codes(layout);
    // One scratch row per thread that fills rows.
    const std::size_t scratch_size = static_cast<std::size_t>(layout.width ? layout.width : 1);
    JobOutcome outcome = run_regions(
        engine.reader(), windows.size(), [&](std::size_t i) { return window_span(windows[i], layout.width, size); },
        [&](std::size_t i, const Reader& src) {
            unsigned char* scratch = thread_scratch(scratch_size);
            prefetch_window(src, windows, i, layout.width);
            char* bytes = reinterpret_cast<char*>(scratch);
            if (Status err = window_bytes(src, windows[i], layout.width, '\0', bytes)) {
                failures.add(i, std::move(*err));
                return;
            }
            codes.encode(out + i * codes.row_bytes, scratch, windows[i].reverse);
        });
    return failures.finish(std::move(outcome));
}

namespace {

// What a variant's REF is checked against: the genome from its position on (`genome`, pad
// outside the record), or nothing when they agree (case aside).
std::optional<FaidxError> ref_differs(const VariantRow& v, const char* genome) {
    const std::uint64_t n = v.ref.size();
    if (static_cast<std::uint64_t>(v.pos) - 1 + n > v.entry->rlen)
        return FaidxError{ErrorKind::InvalidRegion, "REF '" + std::string(v.ref) +
                                                        "' reaches past the end of its record (" +
                                                        std::to_string(v.entry->rlen) + " bases)"};
    for (std::size_t k = 0; k < n; ++k) {
        const char a = static_cast<char>(v.ref[k] | 0x20), b = static_cast<char>(genome[k] | 0x20);
        if (a != b || b < 'a' || b > 'z')
            return FaidxError{ErrorKind::InvalidRegion, "REF '" + std::string(v.ref) + "' does not match the genome's '" +
                                                            std::string(genome, n) + "'"};
    }
    return std::nullopt;
}

// Rows longer than this are read piece by piece rather than through one scratch span.
constexpr std::uint64_t LONGEST_SPAN = 1 << 22;

// Failures of rows (I/O) and of variants (REF) are kept apart, as their indexes count different
// things; a row's failure is reported first.
struct RowAndVariantFailures {
    FirstFailure rows, variants;
    std::optional<JobFailure> finish(JobOutcome outcome) {
        if (auto row = rows.finish(std::move(outcome))) return row;
        return variants.finish(JobOutcome{});
    }
};

}  // namespace

std::optional<JobFailure> check_variant_refs(const Engine& engine, const std::vector<VariantRow>& rows) {
    FirstFailure failures;
    const std::uint64_t size = engine.bytes().size();
    auto span = [&](std::size_t i) { return window_span(Window{rows[i].entry, rows[i].pos, false}, rows[i].ref.size(), size); };
    JobOutcome outcome = run_regions(engine.reader(), rows.size(), span, [&](std::size_t i, const Reader& src) {
        const VariantRow& v = rows[i];
        const std::uint64_t n = v.ref.size();
        char* genome = reinterpret_cast<char*>(thread_scratch(static_cast<std::size_t>(n)));
        if (Status err = window_bytes(src, Window{v.entry, v.pos, false}, n, '\0', genome))
            return failures.add(i, std::move(*err));
        if (auto bad = ref_differs(v, genome)) failures.add(i, std::move(*bad));
    });
    return failures.finish(std::move(outcome));
}

std::optional<JobFailure> fill_variants(const Engine& engine, const std::vector<VariantRow>& rows,
                                        const VariantWindows& how) {
    FirstFailure failures;
    const std::uint64_t width = how.width, centre = width / 2;
    std::optional<OneHotCodes> codes;
    if (how.onehot) codes.emplace(*how.onehot);
    // Positions outside the record: the pad letter, or NUL for one-hot rows (all zeros).
    const char pad = how.onehot ? '\0' : how.pad;
    const std::uint64_t size = engine.bytes().size();
    auto span = [&](std::size_t i) {
        return window_span(Window{rows[i].entry, rows[i].pos - static_cast<std::int64_t>(centre), false},
                           width + rows[i].ref.size(), size);
    };
    JobOutcome outcome = run_regions(engine.reader(), rows.size(), span, [&](std::size_t i, const Reader& src) {
        const VariantRow& v = rows[i];
        if (i + PREFETCH_AHEAD < rows.size()) {
            const VariantRow& ahead = rows[i + PREFETCH_AHEAD];
            prefetch_window(src, Window{ahead.entry, ahead.pos - static_cast<std::int64_t>(centre), false}, width);
        }
        // One read of the genome for both windows: the reference window and REF's length more.
        const std::uint64_t span = width + v.ref.size();
        char* genome = reinterpret_cast<char*>(thread_scratch(static_cast<std::size_t>(span + 2 * width)));
        char* ref = how.onehot ? genome + span : how.ref_out + i * width;
        char* alt = how.onehot ? genome + span + width : how.alt_out + i * width;
        if (Status err = window_bytes(src, Window{v.entry, v.pos - static_cast<std::int64_t>(centre), false}, span, pad, genome))
            return failures.add(i, std::move(*err));
        if (how.check_ref)
            if (auto bad = ref_differs(v, genome + centre)) return failures.add(i, std::move(*bad));
        // The alternate window: the same bases left of the variant, ALT from its first base on,
        // and the genome after REF for the rest.
        std::memcpy(ref, genome, static_cast<std::size_t>(width));
        std::memcpy(alt, genome, static_cast<std::size_t>(centre));
        const std::uint64_t shown = std::min<std::uint64_t>(v.alt.size(), width - centre);
        std::memcpy(alt + centre, v.alt.data(), static_cast<std::size_t>(shown));
        std::memcpy(alt + centre + shown, genome + centre + v.ref.size(), static_cast<std::size_t>(width - centre - shown));
        if (how.upper) {
            ascii_upper_in_place(ref, static_cast<std::size_t>(width));
            ascii_upper_in_place(alt, static_cast<std::size_t>(width));
        }
        if (codes) {
            codes->encode(how.ref_out + i * codes->row_bytes, reinterpret_cast<const unsigned char*>(ref), v.reverse);
            codes->encode(how.alt_out + i * codes->row_bytes, reinterpret_cast<const unsigned char*>(alt), v.reverse);
        } else if (v.reverse) {
            reverse_complement_in_place(ref, static_cast<std::size_t>(width));
            reverse_complement_in_place(alt, static_cast<std::size_t>(width));
        }
    });
    return failures.finish(std::move(outcome));
}

std::uint64_t haplotype_length(const HaplotypeRow& row, const std::vector<VariantRow>& variants) {
    std::uint64_t length = static_cast<std::uint64_t>(row.end - row.start) + 1;
    for (std::size_t k = row.first; k < row.last; ++k) {
        const VariantRow& v = variants[k];
        const std::int64_t covered_end = std::min<std::int64_t>(v.pos + static_cast<std::int64_t>(v.ref.size()) - 1, row.end);
        length = length - static_cast<std::uint64_t>(covered_end - v.pos + 1) + v.alt.size();
    }
    return length;
}

std::optional<JobFailure> fill_haplotypes(const Engine& engine, const std::vector<HaplotypeRow>& rows,
                                          const std::vector<VariantRow>& variants,
                                          const std::vector<std::uint64_t>& offsets, const HaplotypeFill& how,
                                          char* out) {
    RowAndVariantFailures failures;
    std::optional<OneHotCodes> codes;
    if (how.onehot) codes.emplace(*how.onehot);
    const char fill = how.onehot ? '\0' : how.pad;
    const std::uint64_t size = engine.bytes().size();
    auto span = [&](std::size_t i) {
        std::uint64_t reads = offsets[i + 1] - offsets[i];
        for (std::size_t k = rows[i].first; k < rows[i].last; ++k) reads += variants[k].ref.size();
        return window_span(Window{rows[i].entry, rows[i].start, false}, reads, size);
    };
    JobOutcome outcome = run_regions(engine.reader(), rows.size(), span, [&](std::size_t i, const Reader& src) {
        const HaplotypeRow& row = rows[i];
        const std::uint64_t width = offsets[i + 1] - offsets[i];
        if (i + PREFETCH_AHEAD < rows.size()) {
            const HaplotypeRow& ahead = rows[i + PREFETCH_AHEAD];
            prefetch_window(src, Window{ahead.entry, ahead.start, false}, offsets[i + PREFETCH_AHEAD + 1] - offsets[i + PREFETCH_AHEAD]);
        }
        // The genome the row reads: its own length, and the bases its variants' REF take out.
        std::uint64_t span = width;
        for (std::size_t k = row.first; k < row.last; ++k) span += variants[k].ref.size();
        // A row without variants is read straight where it goes, as fetch_array reads it.
        const bool spanned = span <= LONGEST_SPAN && row.first != row.last;
        auto* scratch = reinterpret_cast<char*>(
            thread_scratch(static_cast<std::size_t>((spanned ? span : 0) + (how.onehot ? width : 0))));
        char* genome = scratch;
        char* bytes = how.onehot ? scratch + (spanned ? span : 0) : out + offsets[i];
        if (spanned)
            if (Status err = window_bytes(src, Window{row.entry, row.start, false}, span, fill, genome))
                return failures.rows.add(i, std::move(*err));
        // The genome from `at` for n bases, from the span or read for the purpose.
        std::uint64_t done = 0;
        std::int64_t at = row.start;
        auto take_genome = [&](std::uint64_t n) -> bool {
            n = std::min(n, width - done);
            if (spanned) {
                std::memcpy(bytes + done, genome + (at - row.start), static_cast<std::size_t>(n));
            } else if (Status err = window_bytes(src, Window{row.entry, at, false}, n, fill, bytes + done)) {
                failures.rows.add(i, std::move(*err));
                return false;
            }
            done += n;
            return true;
        };
        for (std::size_t k = row.first; k < row.last; ++k) {
            const VariantRow& v = variants[k];
            if (how.check_ref) {
                // A variant past the end of a cut row lies beyond the span: read on its own.
                std::string piece;
                const char* there = genome + (v.pos - row.start);
                if (!spanned || static_cast<std::uint64_t>(v.pos - row.start) + v.ref.size() > span) {
                    piece.resize(v.ref.size());
                    if (Status err = window_bytes(src, Window{row.entry, v.pos, false}, piece.size(), '\0', piece.data()))
                        return failures.rows.add(i, std::move(*err));
                    there = piece.data();
                }
                if (auto bad = ref_differs(v, there)) return failures.variants.add(k, std::move(*bad));
            }
            if (done == width) continue;
            if (!take_genome(static_cast<std::uint64_t>(v.pos - at))) return;
            const std::uint64_t shown = std::min<std::uint64_t>(v.alt.size(), width - done);
            std::memcpy(bytes + done, v.alt.data(), static_cast<std::size_t>(shown));
            done += shown;
            at = v.pos + static_cast<std::int64_t>(v.ref.size());
        }
        if (done < width && !take_genome(width - done)) return;
        if (how.upper) ascii_upper_in_place(bytes, static_cast<std::size_t>(width));
        if (codes) {
            codes->encode(out + i * codes->row_bytes, reinterpret_cast<const unsigned char*>(bytes), row.reverse);
        } else if (row.reverse) {
            reverse_complement_in_place(bytes, static_cast<std::size_t>(width));
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
    const std::uint64_t size = engine.bytes().size();
    auto span = [&](std::size_t i) { return plan_span(plans[i], size); };
    JobOutcome outcome = run_regions(engine.reader(), plans.size(), span, [&](std::size_t i, const Reader& src) {
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
