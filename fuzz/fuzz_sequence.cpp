// Fuzz target for the Sequence byte transforms: slices and indices against Python's own rules,
// strand transforms against plain loops, GC measures within [0, 1].
//
// Input layout (fuzz::Input): a byte of None flags (bit 0 start, 1 stop, 2 step, 3 no coordinate
// start, 4 no coordinate end), the bytes (text of up to 256), slice start, stop and step, an index,
// the coordinates' start and end.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "engine/fetch/sequence.hpp"
#include "model.hpp"

namespace {

using namespace sekva;
using i128 = __int128;

// A Python int that fits in Py_ssize_t, or None.
using Field = std::optional<std::int64_t>;

struct Resolved {
    std::int64_t start, stop, step;  // after PySlice_Unpack and PySlice_AdjustIndices
};

// CPython's PySlice_Unpack: defaults for None, and a step of -2^63 taken as -(2^63 - 1) so that
// negating it cannot overflow. A zero step is a ValueError: nullopt.
std::optional<Resolved> unpack(Field start, Field stop, Field step) {
    Resolved r;
    r.step = step.value_or(1);
    if (r.step == 0) return std::nullopt;
    if (r.step < -INT64_MAX) r.step = -INT64_MAX;
    r.start = start ? *start : r.step < 0 ? INT64_MAX : 0;
    r.stop = stop ? *stop : r.step < 0 ? INT64_MIN : INT64_MAX;
    return r;
}

// CPython's PySlice_AdjustIndices, returning the slice length.
std::int64_t adjust(std::int64_t length, Resolved& r) {
    auto clamp = [&](std::int64_t& v) {
        if (v < 0) {
            v += length;
            if (v < 0) v = r.step < 0 ? -1 : 0;
        } else if (v >= length) {
            v = r.step < 0 ? length - 1 : length;
        }
    };
    clamp(r.start);
    clamp(r.stop);
    if (r.step < 0) return r.stop < r.start ? (r.start - r.stop - 1) / (-r.step) + 1 : 0;
    return r.start < r.stop ? (r.stop - r.start - 1) / r.step + 1 : 0;
}

std::int64_t index_value(fuzz::Input& in, std::int64_t n) {
    switch (in.byte() % 16) {
        case 0: return INT64_MIN;
        case 1: return INT64_MIN + 1;
        case 2: return -(std::int64_t{1} << 62);
        case 3: return -n - 1;
        case 4: return -n;
        case 5: return -n + 1;
        case 6: return -1;
        case 7: return 0;
        case 8: return 1;
        case 9: return n - 1;
        case 10: return n;
        case 11: return n + 1;
        case 12: return std::int64_t{1} << 62;
        case 13: return INT64_MAX - in.byte();
        case 14: return static_cast<std::int8_t>(in.byte());
        default: return static_cast<std::int64_t>(in.u64());
    }
}

std::uint64_t coordinate(fuzz::Input& in) {
    switch (in.byte() % 6) {
        case 0: return 0;
        case 1: return 1 + in.byte();
        case 2: return UINT64_MAX - in.byte();
        case 3: return std::uint64_t{1} << 63;
        default: return in.u64();
    }
}

std::optional<std::uint64_t> sum(std::uint64_t a, i128 b) {
    i128 v = static_cast<i128>(a) + b;
    if (v < 0 || v > static_cast<i128>(UINT64_MAX)) return std::nullopt;
    return static_cast<std::uint64_t>(v);
}

std::string coords_text(const Coords& c) {
    auto one = [](const std::optional<std::uint64_t>& v) { return v ? std::to_string(*v) : std::string("None"); };
    return one(c.start) + "-" + one(c.end);
}

void check_slice(const std::string& seq, Field start, Field stop, Field step, const Coords& coords) {
    auto r = unpack(start, stop, step);
    if (!r) return;
    const auto n = static_cast<std::int64_t>(seq.size());
    Resolved host = *r;
    adjust(n, host);  // what the host hands to select_slice
    Resolved model = host;
    // The library's one departure from Python: a negative-step slice whose start lies before the
    // first base reads from the last base (Python selects nothing).
    if (model.step < 0 && n > 0 && model.start < 0) model.start = n - 1;
    std::int64_t count = model.step < 0 ? (model.stop < model.start ? (model.start - model.stop - 1) / -model.step + 1 : 0)
                                        : (model.start < model.stop ? (model.stop - model.start - 1) / model.step + 1 : 0);
    std::string expected;
    for (std::int64_t k = 0; k < count; ++k) expected += seq[static_cast<std::size_t>(model.start + static_cast<i128>(k) * model.step)];

    const std::string what = "slice(" + (start ? std::to_string(*start) : "None") + ", " +
                             (stop ? std::to_string(*stop) : "None") + ", " + (step ? std::to_string(*step) : "None") +
                             ") of " + std::to_string(n) + " bytes";
    SliceSelection sel = select_slice(seq.size(), host.start, host.stop, host.step);
    FUZZ_CHECK(sel.count == static_cast<std::size_t>(count),
               what + ": select_slice takes " + std::to_string(sel.count) + " bytes, Python " + std::to_string(count));
    char* out = static_cast<char*>(std::malloc(sel.count));
    gather_slice(seq.data(), sel, out);
    std::string got(out, sel.count);
    std::free(out);
    FUZZ_CHECK(got == expected, what + ": gathered " + fuzz::shown(got) + ", Python gives " + fuzz::shown(expected));

    // The covered range [lo, hi) holds every byte taken; with a positive step it is [start, stop).
    if (count > 0) {
        std::int64_t last = model.start + (count - 1) * model.step;
        FUZZ_CHECK(sel.lo <= static_cast<std::uint64_t>(std::min(model.start, last)) &&
                       static_cast<std::uint64_t>(std::max(model.start, last)) < sel.hi &&
                       sel.hi <= static_cast<std::uint64_t>(n),
                   what + ": covered range " + std::to_string(sel.lo) + "-" + std::to_string(sel.hi));
    }
    if (model.step > 0)
        FUZZ_CHECK(sel.lo == static_cast<std::uint64_t>(model.start) && sel.hi == static_cast<std::uint64_t>(model.stop),
                   what + ": covered range " + std::to_string(sel.lo) + "-" + std::to_string(sel.hi));

    Coords c = slice_coords(coords, sel);
    if (!coords.both()) {
        FUZZ_CHECK(!c.start && !c.end, what + ": coordinates from nothing: " + coords_text(c));
        return;
    }
    FUZZ_CHECK(c.start == sum(*coords.start, sel.lo), what + ": start " + coords_text(c) + " from " + coords_text(coords));
    if (c.end) FUZZ_CHECK(c.end == sum(*coords.start, static_cast<i128>(sel.hi) - 1), what + ": end " + coords_text(c));
    if (count > 0 && c.start && c.end) FUZZ_CHECK(*c.start <= *c.end, what + ": inverted " + coords_text(c));
}

void check_index(const std::string& seq, std::int64_t index, const Coords& coords) {
    const auto n = static_cast<i128>(seq.size());
    i128 at = index < 0 ? index + n : index;
    bool in_range = at >= 0 && at < n;
    std::size_t offset = 0;
    bool ok = select_index(seq.size(), index, offset);
    FUZZ_CHECK(ok == in_range, "index " + std::to_string(index) + " of " + std::to_string(seq.size()) + " bytes");
    if (!ok) return;
    FUZZ_CHECK(static_cast<i128>(offset) == at, "index " + std::to_string(index) + " gave offset " + std::to_string(offset));
    Coords c = index_coords(coords, offset);
    if (!coords.start) {
        FUZZ_CHECK(!c.start && !c.end, "index coordinates from nothing");
        return;
    }
    auto want = sum(*coords.start, at);
    FUZZ_CHECK(c.start == want && c.end == want, "index coordinates " + coords_text(c) + " from " + coords_text(coords));
}

void check_strands(const std::string& seq, const Coords& coords) {
    const std::size_t n = seq.size();
    std::string comp(n, '\0'), back(n, '\0'), rev(n, '\0'), rc(n, '\0');
    complement_bytes(seq.data(), n, comp.data());
    complement_bytes(comp.data(), n, back.data());
    std::string expected_rc = fuzz::model_reverse_complement(seq);
    for (std::size_t i = 0; i < n; ++i) {
        FUZZ_CHECK(comp[i] == fuzz::model_complement(seq[i]), "complement of " + fuzz::shown(seq.substr(i, 1)));
        // Twice complemented: the letter itself, or N for a byte outside the IUPAC pairs.
        FUZZ_CHECK(back[i] == (fuzz::model_complement(seq[i]) == 'N' ? 'N' : seq[i]),
                   "complement is not an involution on " + fuzz::shown(seq.substr(i, 1)));
    }
    reverse_bytes(seq.data(), n, rev.data());
    std::string twice(n, '\0');
    reverse_bytes(rev.data(), n, twice.data());
    FUZZ_CHECK(twice == seq && std::equal(rev.rbegin(), rev.rend(), seq.begin()), "reverse of " + fuzz::shown(seq));
    reverse_complement_bytes(seq.data(), n, rc.data());
    FUZZ_CHECK(rc == expected_rc, "reverse complement " + fuzz::shown(rc) + " of " + fuzz::shown(seq));
    std::string in_place = seq;
    reverse_complement_in_place(in_place.data(), n);
    FUZZ_CHECK(in_place == expected_rc, "in-place reverse complement " + fuzz::shown(in_place) + " of " + fuzz::shown(seq));
    Coords s = swapped(coords);
    FUZZ_CHECK(coords.both() ? s.start == coords.end && s.end == coords.start : s.start == coords.start && s.end == coords.end,
               "swapped " + coords_text(coords) + " gave " + coords_text(s));
}

void check_gc(const std::string& seq) {
    std::uint64_t gc = 0, at = 0;
    for (char ch : seq) {
        char u = static_cast<char>(ch & ~0x20);
        gc += u == 'G' || u == 'C';
        at += u == 'A' || u == 'T';
    }
    double all = gc_fraction(seq), strict = gc_strict_fraction(seq), iupac = gc_iupac_fraction(seq);
    for (double v : {all, strict, iupac})
        FUZZ_CHECK(!std::isnan(v) && v >= 0.0 && v <= 1.0, "GC measure " + std::to_string(v) + " of " + fuzz::shown(seq));
    FUZZ_CHECK(all == (seq.empty() ? 0.0 : static_cast<double>(gc) / static_cast<double>(seq.size())),
               "gc of " + fuzz::shown(seq));
    FUZZ_CHECK(strict == (gc + at ? static_cast<double>(gc) / static_cast<double>(gc + at) : 0.0),
               "gc_strict of " + fuzz::shown(seq));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    std::uint8_t none = in.byte();
    std::string seq = in.text(256);
    const auto n = static_cast<std::int64_t>(seq.size());
    Field start = index_value(in, n), stop = index_value(in, n), step = index_value(in, n);
    if (none & 1) start.reset();
    if (none & 2) stop.reset();
    if (none & 4) step.reset();
    std::int64_t index = index_value(in, n);
    Coords coords{coordinate(in), coordinate(in)};
    if (none & 8) coords.start.reset();
    if (none & 16) coords.end.reset();

    check_slice(seq, start, stop, step, coords);
    check_index(seq, index, coords);
    check_strands(seq, coords);
    check_gc(seq);
    return 0;
}
