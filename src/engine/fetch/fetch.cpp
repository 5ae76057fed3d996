// Single-region fetches and the bounds rules that tell them apart.
#include "engine/fetch/fetch.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "engine/base/bytes.hpp"

namespace sekva {

namespace {

FetchFailure engine_failure(FaidxError error) { return {FetchFailure::Kind::Engine, std::move(error), {}}; }
FetchFailure bounds_failure(std::string message) {
    return {FetchFailure::Kind::Bounds, FaidxError{ErrorKind::Fetch, {}}, std::move(message)};
}
FetchFailure no_memory() { return {FetchFailure::Kind::NoMemory, FaidxError{ErrorKind::Fetch, {}}, {}}; }

std::string out_of_bounds_text(std::string_view name, std::uint64_t start, std::uint64_t end, std::uint64_t len) {
    return "coordinates " + std::to_string(start) + "-" + std::to_string(end) + " are out of bounds for sequence '" +
           std::string(name) + "' of length " + std::to_string(len);
}

std::string inverted_text(std::uint64_t start, std::uint64_t end) {
    return "start coordinate " + std::to_string(start) + " is greater than end coordinate " + std::to_string(end);
}

constexpr const char* ZERO_TEXT = "coordinates cannot be 0 (1-based indexing)";

FetchedRegion empty_region(std::uint64_t s, std::uint64_t e) { return FetchedRegion{Coords{s, e}, 0, true}; }

// Extracts bases s..e (n = e - s + 1), then pads and upper-cases them in the caller's buffer.
RegionResult extract_region(const Engine& engine, const IndexEntry& entry, std::uint64_t s, std::uint64_t e,
                            OutputBuffer& out) {
    const OpenOptions& opt = engine.options();
    const Reader& src = engine.reader();
    std::uint64_t n = e - s + 1;
    std::uint64_t room;
    if (!padded_capacity(opt, extraction_capacity(*src.bytes, entry, s, n), n, room)) return no_memory();
    char* buf = out.reserve(room);
    if (!buf) return no_memory();
    bool ascii = false;
    auto got = extract_into(src, entry, s, n, buf, room, &ascii);
    if (!got.ok()) return engine_failure(std::move(got.error()));
    std::uint64_t length = finish_bases(opt, buf, got.value(), n);
    // Padding may add bytes the extraction never saw.
    if (length != got.value()) ascii = false;
    return FetchedRegion{result_coords(opt, s, e), length, ascii};
}

// An OutputBuffer that is a std::string.
class StringBuffer final : public OutputBuffer {
public:
    char* reserve(std::uint64_t capacity) override {
        text.resize(static_cast<std::size_t>(capacity));
        return text.data();
    }
    std::string text;
};

FetchResult to_sequence(RegionResult&& r, std::string_view name, StringBuffer& buf) {
    if (!r.ok()) return std::move(r.error());
    buf.text.resize(static_cast<std::size_t>(r.value().length));
    return Sequence{std::string(name), std::move(buf.text), r.value().coords, false};
}

}  // namespace

Coords result_coords(const OpenOptions& opt, std::uint64_t s, std::uint64_t e) {
    if (opt.as_raw) return {};
    // A zero-length record under zero-based attributes has no start below 0; it stays 0.
    return Coords{opt.one_based_attributes ? s : (s ? s - 1 : 0), e};
}

ByteSpan plan_span(const RegionPlan& plan, std::uint64_t size) {
    return plan.kind == RegionPlan::Kind::Extract ? region_span(*plan.entry, plan.s, plan.n, size) : NO_SPAN;
}

bool plan_capacity(const OpenOptions& opt, const ByteSource& src, const RegionPlan& plan, std::uint64_t& room) {
    room = 0;
    if (plan.kind != RegionPlan::Kind::Extract) return true;
    return padded_capacity(opt, extraction_capacity(src, *plan.entry, plan.s, plan.n), plan.n, room);
}

bool padded_capacity(const OpenOptions& opt, std::uint64_t extract_capacity, std::uint64_t n, std::uint64_t& out) {
    out = extract_capacity;
    if (opt.default_seq && !opt.default_seq->empty()) {
        std::uint64_t padded;
        if (__builtin_mul_overflow(n, opt.default_seq->size(), &padded)) return false;
        out = std::max(out, padded);
    }
    return out <= static_cast<std::uint64_t>(PTRDIFF_MAX);
}

std::uint64_t finish_bases(const OpenOptions& opt, char* buf, std::uint64_t got, std::uint64_t n) {
    std::uint64_t len = got;
    // An empty default_seq pads nothing: no loop over the missing bases at all.
    if (got < n && opt.default_seq && !opt.default_seq->empty()) {
        const std::string& fill = *opt.default_seq;
        for (std::uint64_t i = got; i < n; ++i, len += fill.size()) std::memcpy(buf + len, fill.data(), fill.size());
    }
    if (opt.sequence_always_upper) ascii_upper_in_place(buf, static_cast<std::size_t>(len));
    return len;
}

RegionResult fetch_into(const Engine& engine, std::string_view name, std::uint64_t start, std::uint64_t end,
                        OutputBuffer& out) {
    try {
        const IndexEntry* entry = engine.names().find(name);
        if (!entry) return engine_failure(not_found_error(name));
        const std::uint64_t len = entry->rlen;
        const bool strict = engine.options().strict_bounds;
        if (start > len || end > len) {
            std::string text = out_of_bounds_text(name, start, end, len);
            if (strict) return bounds_failure(std::move(text));
            write_warning(text);
            if (start > len) return empty_region(start, start);
        } else if (strict) {
            if (start == 0 || end == 0) return bounds_failure(ZERO_TEXT);
            if (start > end) return bounds_failure(inverted_text(start, end));
            return extract_region(engine, *entry, start, end, out);
        }
        std::uint64_t s = std::min(start, len), e = std::min(end, len);
        if (s == 0 || e == 0) {
            write_warning(ZERO_TEXT);
            return empty_region(s, e);
        }
        if (e < s) {
            write_warning(inverted_text(s, e));
            return empty_region(s, e);
        }
        return extract_region(engine, *entry, s, e, out);
    } catch (const std::bad_alloc&) {
        return no_memory();
    }
}

RegionResult fetch_entire_into(const Engine& engine, std::string_view name, OutputBuffer& out) {
    try {
        const IndexEntry* entry = engine.names().find(name);
        if (!entry) return engine_failure(not_found_error(name));
        const OpenOptions& opt = engine.options();
        const Reader& src = engine.reader();
        std::uint64_t n = entry->rlen;
        FetchedRegion region;
        if (!opt.as_raw) region.coords = Coords{opt.one_based_attributes ? 1u : 0u, n};
        std::uint64_t room = extraction_capacity(*src.bytes, *entry, 1, n);
        char* buf = out.reserve(room);
        if (!buf) return no_memory();
        auto got = extract_into(src, *entry, 1, n, buf, room, &region.ascii);
        if (!got.ok()) return engine_failure(std::move(got.error()));
        region.length = got.value();
        if (opt.sequence_always_upper) ascii_upper_in_place(buf, static_cast<std::size_t>(region.length));
        return region;
    } catch (const std::bad_alloc&) {
        return no_memory();
    }
}

Result<std::uint64_t> fetch_inside(const Engine& engine, const IndexEntry& entry, std::uint64_t start,
                                   std::uint64_t n, char* out, bool& ascii) {
    if (!engine.reader().direct) return std::uint64_t{0};
    auto got = extract_into(engine.reader(), entry, start, n, out, n, &ascii);
    if (got.ok() && got.value() == n && engine.options().sequence_always_upper)
        ascii_upper_in_place(out, static_cast<std::size_t>(n));
    return got;
}

FetchResult fetch(const Engine& engine, std::string_view name, std::uint64_t start, std::uint64_t end) {
    try {
        StringBuffer buf;
        return to_sequence(fetch_into(engine, name, start, end, buf), name, buf);
    } catch (const std::bad_alloc&) {
        return no_memory();
    }
}

RegionPlan plan_region(const Engine& engine, const IndexEntry* entry, std::uint64_t start, std::uint64_t end) {
    if (!entry) return {RegionPlan::Kind::Error, nullptr, 0, 0, 0};
    const std::uint64_t len = entry->rlen;
    if (engine.options().strict_bounds) {
        if (start > len || start == 0 || start > end || end == 0 || end > len)
            return {RegionPlan::Kind::Error, entry, 0, 0, 0};
        return {RegionPlan::Kind::Extract, entry, start, end, end - start + 1};
    }
    std::uint64_t s = std::min(len, std::max<std::uint64_t>(start, 1));
    std::uint64_t e = std::min(len, std::max<std::uint64_t>(end, 1));
    if (std::max<std::uint64_t>(end, 1) < s) return {RegionPlan::Kind::Empty, entry, s, e, 0};
    return {RegionPlan::Kind::Extract, entry, s, e, e - s + 1};
}

FaidxError plan_error(const RegionPlan& plan, std::string_view name, std::uint64_t start, std::uint64_t end) {
    if (!plan.entry) return not_found_error(name);
    return FaidxError{ErrorKind::InvalidRegion, "Invalid region " + std::string(name) + ":" + std::to_string(start) +
                                                    "-" + std::to_string(end) +
                                                    " (sequence length: " + std::to_string(plan.entry->rlen) + ")"};
}

Result<std::uint64_t> fetch_planned(const OpenOptions& opt, const RegionPlan& plan, const Reader& src,
                                    char* out, std::uint64_t capacity, bool& ascii) {
    auto got = extract_into(src, *plan.entry, plan.s, plan.n, out, capacity, &ascii);
    if (!got.ok()) return got;
    std::uint64_t length = finish_bases(opt, out, got.value(), plan.n);
    // Padding may add bytes the extraction never saw.
    if (length != got.value()) ascii = false;
    return length;
}

}  // namespace sekva
