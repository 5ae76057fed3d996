// fetch_array, fetch_onehot and fetch_ragged: every region is read and checked on the calling thread
// before anything is written; then the workers fill the array with the interpreter lock released.
#include "host/arrays.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "engine/bulk/array_fill.hpp"
#include "host/args.hpp"
#include "host/regions.hpp"
#include "host/entry.hpp"
#include "host/errors.hpp"
#include "host/lock_turns.hpp"
#include "host/ref.hpp"

namespace sekva::host {

namespace {

// Width of the rows: given (each window centred on its region), or that of every region alike.
bool settle_width(PyObject* given, Regions& regions, std::uint64_t& width) {
    if (given && given != Py_None) {
        std::int64_t w;
        if (!to_i64(given, "width", w)) return false;
        if (w < 1) {
            PyErr_SetString(PyExc_ValueError, "argument 'width': expected a positive number of bases");
            return false;
        }
        width = static_cast<std::uint64_t>(w);
        for (std::size_t i = 0; i < regions.count(); ++i)
            if (!centred_window(regions.starts[i], regions.ends[i], width, regions.windows[i].first))
                return bad_region(PyExc_ValueError, i, "its window lies beyond every position a record can have");
        return true;
    }
    width = 0;
    for (std::size_t i = 0; i < regions.count(); ++i) {
        auto length = static_cast<std::uint64_t>(regions.ends[i] - regions.starts[i]) + 1;
        if (i == 0) {
            width = length;
        } else if (length != width) {
            return bad_region(PyExc_ValueError, i,
                              std::to_string(length) + " bases where region 0 has " + std::to_string(width) +
                                  "; give width= to cut windows of one size");
        }
    }
    return true;
}

// --- the arrays ---------------------------------------------------------------------------------

Ref numpy_module(const char* callable) {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy && PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "%s() makes numpy arrays, and numpy is not installed: pip install numpy",
                     callable);
    }
    return numpy;
}

Ref new_array(const char* callable, PyObject* shape, const char* dtype) {
    Ref numpy = numpy_module(callable);
    if (!numpy) return Ref();
    return Ref::steal(PyObject_CallMethod(numpy.get(), "empty", "Os", shape, dtype));
}

// A writable C-contiguous buffer of the expected shape and item type, held for the fill.
class Target {
public:
    ~Target() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool open(PyObject* array, const std::vector<Py_ssize_t>& shape, const char* format, const char* dtype) {
        if (PyObject_GetBuffer(array, &view_, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
            PyErr_Clear();
            return refuse(shape, dtype);
        }
        held_ = true;
        const char* f = view_.format ? view_.format : "B";
        if (*f == '@' || *f == '=' || *f == '<' || *f == '|') ++f;
        if (std::strcmp(f, format) != 0 || view_.ndim != static_cast<int>(shape.size())) return refuse(shape, dtype);
        for (std::size_t d = 0; d < shape.size(); ++d)
            if (view_.shape[d] != shape[d]) return refuse(shape, dtype);
        return true;
    }

    char* data() const { return static_cast<char*>(view_.buf); }

private:
    [[gnu::cold]] static bool refuse(const std::vector<Py_ssize_t>& shape, const char* dtype) {
        std::string text = "argument 'out': expected a writable C-contiguous array of shape (";
        for (std::size_t d = 0; d < shape.size(); ++d) text += (d ? ", " : "") + std::to_string(shape[d]);
        text += std::string(shape.size() == 1 ? ",)" : ")") + " and dtype " + dtype;
        PyErr_SetString(PyExc_ValueError, text.c_str());
        return false;
    }

    Py_buffer view_{};
    bool held_ = false;
};

Ref shape_tuple(const std::vector<Py_ssize_t>& shape) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    if (!t) return t;
    for (std::size_t d = 0; d < shape.size(); ++d) {
        PyObject* v = PyLong_FromSsize_t(shape[d]);
        if (!v) return Ref();
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(d), v);
    }
    return t;
}

// The caller's `out`, checked, or a new array; `target` then holds its buffer.
Ref output_array(const char* callable, PyObject* out, const std::vector<Py_ssize_t>& shape, const char* format,
                 const char* dtype, Target& target) {
    Ref array;
    if (out && out != Py_None) {
        array = Ref::borrow(out);
    } else {
        Ref t = shape_tuple(shape);
        if (!t) return Ref();
        array = new_array(callable, t.get(), dtype);
        if (!array) return Ref();
    }
    if (!target.open(array.get(), shape, format, dtype)) return Ref();
    return array;
}

bool check_size(std::uint64_t a, std::uint64_t b, std::uint64_t c = 1) {
    std::uint64_t r;
    if (__builtin_mul_overflow(a, b, &r) || __builtin_mul_overflow(r, c, &r) ||
        r > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}


// Runs the fill with the interpreter lock released and hands back the array, or raises.
template <class Fill>
PyObject* filled(Ref& array, Fill fill) {
    std::optional<JobFailure> failure = without_lock(fill);
    if (failure) return raise_fill_failure(*failure);
    return array.release();
}

bool single_ascii_letter(PyObject* o, const char* param, char& out) {
    std::string_view text;
    if (!to_text(o, param, text)) return false;
    if (text.size() != 1 || static_cast<unsigned char>(text[0]) >= 0x80) {
        PyErr_Format(PyExc_ValueError, "argument '%s': expected one ASCII character", param);
        return false;
    }
    out = text[0];
    return true;
}

struct DType {
    const char* name;
    const char* format;
    OneHotType type;
    std::uint64_t size;
};

// The alphabet and dtype of one-hot rows, into `layout` (channels and codes) and `type`.
bool read_onehot_layout(const char* callable, PyObject* alphabet_arg, PyObject* dtype_arg, OneHotLayout& layout,
                        const DType*& type) {
    layout.code.fill(255);
    std::string_view alphabet = "ACGT";
    if (alphabet_arg && !to_text(alphabet_arg, "alphabet", alphabet)) return false;
    if (alphabet.empty() || alphabet.size() > 254) {
        PyErr_SetString(PyExc_ValueError, "argument 'alphabet': expected 1 to 254 ASCII letters");
        return false;
    }
    for (std::size_t c = 0; c < alphabet.size(); ++c) {
        auto letter = static_cast<unsigned char>(alphabet[c]);
        if (letter >= 0x80 || letter == 0) {
            PyErr_SetString(PyExc_ValueError, "argument 'alphabet': letters must be ASCII");
            return false;
        }
        unsigned char upper = letter >= 'a' && letter <= 'z' ? letter - 32 : letter;
        unsigned char lower = upper >= 'A' && upper <= 'Z' ? upper + 32 : upper;
        if (layout.code[upper] != 255) {
            PyErr_Format(PyExc_ValueError, "argument 'alphabet': letter '%c' is repeated", alphabet[c]);
            return false;
        }
        layout.code[upper] = layout.code[lower] = static_cast<unsigned char>(c);
    }
    layout.channels = static_cast<unsigned>(alphabet.size());

    static constexpr DType types[] = {{"uint8", "B", OneHotType::UInt8, 1}, {"bool", "?", OneHotType::Bool, 1},
                                      {"float16", "e", OneHotType::Float16, 2}, {"float32", "f", OneHotType::Float32, 4}};
    type = &types[0];
    if (dtype_arg) {
        Ref text = PyUnicode_Check(dtype_arg) ? Ref::borrow(dtype_arg) : Ref();
        if (!text) {  // a numpy dtype or scalar type: its name
            Ref numpy = numpy_module(callable);
            Ref dtype = numpy ? Ref::steal(PyObject_CallMethod(numpy.get(), "dtype", "O", dtype_arg)) : Ref();
            text = dtype ? Ref::steal(PyObject_GetAttrString(dtype.get(), "name")) : Ref();
            if (!text) {
                if (PyErr_ExceptionMatches(PyExc_ImportError)) return false;
                PyErr_Clear();
            }
        }
        std::string_view name;
        if (!text || !utf8_view(text.get(), name)) name = "?";
        type = nullptr;
        for (const DType& t : types)
            if (name == t.name) type = &t;
        if (!type) {
            Ref shown = Ref::steal(PyObject_Repr(dtype_arg));
            PyErr_Format(PyExc_ValueError, "argument 'dtype': unknown dtype %S; expected one of uint8, float32, float16, bool",
                         shown ? shown.get() : dtype_arg);
            return false;
        }
    }
    layout.type = type->type;
    return true;
}

// The options of fetch_variants and fetch_haplotypes that say what a row holds: width (0 when
// absent and allowed to be), onehot with alphabet and dtype, pad and check_ref.
struct RowOptions {
    bool onehot = false, check_ref = true;
    char pad = 'N';
    std::uint64_t width = 0;
    OneHotLayout layout{};
    const DType* type = nullptr;

    bool read(const char* callable, PyObject* width_arg, PyObject* onehot_arg, PyObject* alphabet, PyObject* dtype,
              PyObject* pad_arg, PyObject* check_ref_arg, bool width_required) {
        std::int64_t w = 0;
        const bool given = width_arg && width_arg != Py_None;
        if ((given || width_required) && !to_i64(width_arg ? width_arg : Py_None, "width", w)) return false;
        if ((given || width_required) && (w < 1 || w > (INT64_C(1) << 40))) {
            PyErr_SetString(PyExc_ValueError, "argument 'width': expected a positive number of bases");
            return false;
        }
        width = static_cast<std::uint64_t>(w);
        if ((onehot_arg && !to_bool(onehot_arg, "onehot", onehot)) || (pad_arg && !single_ascii_letter(pad_arg, "pad", pad)) ||
            (check_ref_arg && !to_bool(check_ref_arg, "check_ref", check_ref)))
            return false;
        if (onehot && !width) {
            PyErr_SetString(PyExc_ValueError, "onehot=True needs width=: one-hot rows are of one width");
            return false;
        }
        layout.width = width;
        layout.channels_last = true;
        if (!read_onehot_layout(callable, alphabet, dtype, layout, type)) return false;
        if (!onehot && type->type != OneHotType::UInt8) {
            PyErr_SetString(PyExc_ValueError, "argument 'dtype': rows of ASCII codes are uint8; one-hot ones take others");
            return false;
        }
        return true;
    }
    std::tuple<bool, bool, char, std::uint64_t, const DType*> plain() const { return {onehot, check_ref, pad, width, type}; }
};

// Raises what checking or filling variant windows failed with: a REF that does not match is a
// ValueError naming the variant and where it lies (`record_of(k)`: the name of variant k's record).
template <class RecordOf>
PyObject* raise_variant_failure(JobFailure& failure, const std::vector<VariantRow>& rows, RecordOf record_of) {
    if (failure.kind != JobFailure::Kind::Item || failure.error.kind != ErrorKind::InvalidRegion)
        return raise_fill_failure(failure);
    Ref name = record_of(failure.index);
    if (!name) return nullptr;
    Ref message = Ref::steal(PyUnicode_FromFormat("variant %zu: %s at %S:%lld", failure.index, failure.error.payload.c_str(),
                                                  name.get(), static_cast<long long>(rows[failure.index].pos)));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
}

constexpr const char* ARRAY_PARAMS[] = {"regions", "names", "starts", "ends", "width", "rc", "pad", "upper", "out"};
constexpr const char* ONEHOT_PARAMS[] = {"regions", "names",  "starts",         "ends", "width",
                                         "rc",      "alphabet", "dtype", "channels_last", "out"};
constexpr const char* RAGGED_PARAMS[] = {"regions", "names", "starts", "ends", "rc", "upper"};
constexpr const char* HAPLOTYPE_PARAMS[] = {"regions", "names",    "starts",    "ends",  "variant_offsets",
                                            "positions", "refs",   "alts",      "width", "rc",
                                            "onehot",  "alphabet", "dtype",     "pad",   "check_ref"};
constexpr const char* VARIANT_PARAMS[] = {"names", "positions", "refs", "alts", "width", "rc", "onehot",
                                          "alphabet", "dtype", "pad", "check_ref", "out"};

}  // namespace

PyObject* fetch_array(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    const Signature sig = {callable, ARRAY_PARAMS, 9, 0, 1};
    PyObject* slot[9];
    if (!bind_fastcall(sig, args, nargs, kwnames, slot)) return nullptr;
    Regions regions;
    std::uint64_t width;
    char pad = 'N';
    bool upper = false;
    if (!read_regions(engine, slot[0], slot[1], slot[2], slot[3], regions) || !settle_width(slot[4], regions, width) ||
        !read_strands(slot[5], regions) || (slot[6] && !single_ascii_letter(slot[6], "pad", pad)) ||
        (slot[7] && !to_bool(slot[7], "upper", upper)) || !check_size(regions.count(), width))
        return nullptr;
    upper = upper || engine.options().sequence_always_upper;
    Target target;
    std::vector<Py_ssize_t> shape = {static_cast<Py_ssize_t>(regions.count()), static_cast<Py_ssize_t>(width)};
    Ref array = output_array(callable, slot[8], shape, "B", "uint8", target);
    if (!array) return nullptr;
    return filled(array, [&] { return fill_codes(engine, regions.windows, width, pad, upper, target.data()); });
}

PyObject* fetch_onehot(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    const Signature sig = {callable, ONEHOT_PARAMS, 10, 0, 1};
    PyObject* slot[10];
    if (!bind_fastcall(sig, args, nargs, kwnames, slot)) return nullptr;
    Regions regions;
    std::uint64_t width;
    if (!read_regions(engine, slot[0], slot[1], slot[2], slot[3], regions) || !settle_width(slot[4], regions, width) ||
        !read_strands(slot[5], regions))
        return nullptr;

    OneHotLayout layout{};
    layout.width = width;
    const DType* type = nullptr;
    if (!read_onehot_layout(callable, slot[6], slot[7], layout, type)) return nullptr;
    layout.channels_last = true;
    if (slot[8] && !to_bool(slot[8], "channels_last", layout.channels_last)) return nullptr;
    if (!check_size(regions.count(), width, layout.channels * type->size)) return nullptr;

    Target target;
    auto n = static_cast<Py_ssize_t>(regions.count()), w = static_cast<Py_ssize_t>(width),
         k = static_cast<Py_ssize_t>(layout.channels);
    std::vector<Py_ssize_t> shape = layout.channels_last ? std::vector<Py_ssize_t>{n, w, k} : std::vector<Py_ssize_t>{n, k, w};
    Ref array = output_array(callable, slot[9], shape, type->format, type->name, target);
    if (!array) return nullptr;
    return filled(array, [&] { return fill_onehot(engine, regions.windows, layout, target.data()); });
}

PyObject* fetch_variants(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    const Signature sig = {callable, VARIANT_PARAMS, 12, 5, 4};
    PyObject* slot[12];
    if (!bind_fastcall(sig, args, nargs, kwnames, slot)) return nullptr;
    Variants variants;
    if (!read_variants(engine, slot[0], slot[1], slot[2], slot[3], variants) ||
        !read_strands(slot[5], variants.count(), "variants",
                      [&](std::size_t i, bool reverse) { variants.rows[i].reverse = reverse; }))
        return nullptr;
    RowOptions options;
    if (!options.read(callable, slot[4], slot[6], slot[7], slot[8], slot[9], slot[10], true)) return nullptr;
    const auto [onehot, check_ref, pad, width, type] = options.plain();
    OneHotLayout& layout = options.layout;
    const std::uint64_t channels = onehot ? layout.channels : 1;
    if (!check_size(variants.count(), width, channels * type->size)) return nullptr;
    std::vector<Py_ssize_t> shape = {static_cast<Py_ssize_t>(variants.count()), static_cast<Py_ssize_t>(width)};
    if (onehot) shape.push_back(static_cast<Py_ssize_t>(layout.channels));

    PyObject* outs[2] = {nullptr, nullptr};
    if (slot[11] && slot[11] != Py_None) {
        if (!PyTuple_Check(slot[11]) || PyTuple_GET_SIZE(slot[11]) != 2) {
            PyErr_SetString(PyExc_TypeError, "argument 'out': expected a pair (ref_out, alt_out) of arrays");
            return nullptr;
        }
        outs[0] = PyTuple_GET_ITEM(slot[11], 0);
        outs[1] = PyTuple_GET_ITEM(slot[11], 1);
    }
    Target ref_target, alt_target;
    Ref ref_array = output_array(callable, outs[0], shape, type->format, type->name, ref_target);
    if (!ref_array) return nullptr;
    Ref alt_array = output_array(callable, outs[1], shape, type->format, type->name, alt_target);
    if (!alt_array) return nullptr;
    if (ref_target.data() == alt_target.data() && variants.count() && width) {
        PyErr_SetString(PyExc_ValueError, "argument 'out': the two arrays must not share memory");
        return nullptr;
    }

    const bool upper = engine.options().sequence_always_upper;
    std::optional<JobFailure> failure = without_lock([&]() -> std::optional<JobFailure> {
        // Every REF is checked before anything is written into the caller's arrays; arrays of our
        // own are only handed out when every row was filled, so the rows check themselves.
        const bool given = outs[0] != nullptr;
        if (check_ref && given)
            if (auto bad = check_variant_refs(engine, variants.rows)) return bad;
        const VariantWindows how{width,        pad, upper, check_ref && !given, onehot ? &layout : nullptr,
                                 ref_target.data(), alt_target.data()};
        return fill_variants(engine, variants.rows, how);
    });
    if (failure) return raise_variant_failure(*failure, variants.rows, [&](std::size_t k) {
        return Ref::borrow(PyTuple_GET_ITEM(variants.names.get(), static_cast<Py_ssize_t>(k)));
    });
    return Py_BuildValue("(OO)", ref_array.get(), alt_array.get());
}

PyObject* fetch_haplotypes(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    const Signature sig = {callable, HAPLOTYPE_PARAMS, 15, 0, 1};
    PyObject* slot[15];
    if (!bind_fastcall(sig, args, nargs, kwnames, slot)) return nullptr;
    Regions regions;
    Variants variants;
    std::vector<std::size_t> offsets;
    if (!read_regions(engine, slot[0], slot[1], slot[2], slot[3], regions)) return nullptr;
    if (!slot[4]) {
        PyErr_SetString(PyExc_TypeError, "give all of variant_offsets=, positions=, refs= and alts=");
        return nullptr;
    }
    const std::size_t n = regions.count();
    if (!read_variants(engine, Py_None, slot[5], slot[6], slot[7], variants) ||
        !read_offsets(slot[4], "variant_offsets", n, variants.count(), offsets))
        return nullptr;
    std::vector<HaplotypeRow> rows(n);
    for (std::size_t i = 0; i < n; ++i) {
        HaplotypeRow& row = rows[i];
        row = HaplotypeRow{regions.windows[i].entry, regions.starts[i], regions.ends[i], offsets[i], offsets[i + 1], false};
        std::int64_t free_from = row.start;  // where the next variant may begin
        for (std::size_t k = row.first; k < row.last; ++k) {
            VariantRow& v = variants.rows[k];
            v.entry = row.entry;
            auto variant = [&] { return "variant " + std::to_string(k) + " at " + std::to_string(v.pos); };
            if (v.pos < row.start || v.pos > row.end) {
                bad_region(PyExc_ValueError, i, variant() + " lies outside the region " + std::to_string(row.start) + "-" +
                                                    std::to_string(row.end));
                return nullptr;
            }
            if (v.pos < free_from) {
                bad_region(PyExc_ValueError, i,
                           variant() + " overlaps the one before it, or the variants are not sorted by position");
                return nullptr;
            }
            free_from = v.pos + static_cast<std::int64_t>(v.ref.size());
        }
    }
    if (!read_strands(slot[9], n, "regions", [&](std::size_t i, bool reverse) { rows[i].reverse = reverse; }))
        return nullptr;
    RowOptions options;
    if (!options.read(callable, slot[8], slot[10], slot[11], slot[12], slot[13], slot[14], false)) return nullptr;
    const auto [onehot, check_ref, pad, width, type] = options.plain();
    const bool fixed = width != 0;
    OneHotLayout& layout = options.layout;
    // Where each row goes: one width for all, or each haplotype's own length.
    std::vector<std::uint64_t> at(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i)
        if (__builtin_add_overflow(at[i], fixed ? width : haplotype_length(rows[i], variants.rows), &at[i + 1]))
            return PyErr_NoMemory();
    if (!check_size(at[n], onehot ? layout.channels * type->size : 1)) return nullptr;

    Target target, bounds_view;
    Ref data, bounds;
    if (fixed) {
        std::vector<Py_ssize_t> shape = {static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(width)};
        if (onehot) shape.push_back(static_cast<Py_ssize_t>(layout.channels));
        data = output_array(callable, nullptr, shape, type->format, type->name, target);
    } else {
        data = output_array(callable, nullptr, {static_cast<Py_ssize_t>(at[n])}, "B", "uint8", target);
        if (data) bounds = output_array(callable, nullptr, {static_cast<Py_ssize_t>(n + 1)}, "l", "int64", bounds_view);
        if (!bounds) return nullptr;
        for (std::size_t i = 0; i <= n; ++i)
            reinterpret_cast<std::int64_t*>(bounds_view.data())[i] = static_cast<std::int64_t>(at[i]);
    }
    if (!data) return nullptr;
    const bool upper = engine.options().sequence_always_upper;
    std::optional<JobFailure> failure = without_lock([&]() -> std::optional<JobFailure> {
        const HaplotypeFill how{pad, upper, check_ref, onehot ? &layout : nullptr};
        return fill_haplotypes(engine, rows, variants.rows, at, how, target.data());
    });
    if (failure) return raise_variant_failure(*failure, variants.rows, [&](std::size_t k) {
        // The record of variant k is that of the row whose offsets hold it.
        const auto row = static_cast<std::size_t>(std::upper_bound(offsets.begin(), offsets.end(), k) - offsets.begin()) - 1;
        return Ref::borrow(regions.names[row]);
    });
    if (fixed) return data.release();
    return Py_BuildValue("(OO)", data.get(), bounds.get());
}

PyObject* fetch_ragged(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    const Signature sig = {callable, RAGGED_PARAMS, 6, 0, 1};
    PyObject* slot[6];
    bool upper = false;
    if (!bind_fastcall(sig, args, nargs, kwnames, slot) || (slot[5] && !to_bool(slot[5], "upper", upper)))
        return nullptr;
    return ragged_arrays(engine, callable, slot, slot[4], upper, 0);
}

PyObject* ragged_arrays(const Engine& engine, const char* callable, PyObject* const* given, PyObject* rc, bool upper,
                        unsigned char less) {
    Regions regions;
    if (!read_regions(engine, given[0], given[1], given[2], given[3], regions) || !read_strands(rc, regions))
        return nullptr;
    const std::size_t n = regions.count();
    std::vector<RegionPlan> plans(n);
    std::vector<std::uint64_t> offsets(n + 1, 0), capacities(n), lengths(n);
    std::vector<bool> reverse(n);
    auto clamp_low = [](std::int64_t v) { return v < 0 ? std::uint64_t{0} : static_cast<std::uint64_t>(v); };
    LockTurns turns;
    for (std::size_t i = 0; i < n; ++i) {
        turns.step();
        std::uint64_t start = clamp_low(regions.starts[i]), end = clamp_low(regions.ends[i]);
        plans[i] = plan_region(engine, regions.windows[i].entry, start, end);
        if (plans[i].kind == RegionPlan::Kind::Error) {
            std::string_view name;
            utf8_view(regions.names[i], name);
            bad_region(PyExc_ValueError, i, plan_error(plans[i], name, start, end).display());
            return nullptr;
        }
        if (!ragged_capacity(engine, plans[i], capacities[i]) ||
            __builtin_add_overflow(offsets[i], capacities[i], &offsets[i + 1]))
            return PyErr_NoMemory();
        reverse[i] = regions.windows[i].reverse;
    }
    if (!check_size(offsets[n], 1)) return nullptr;
    Ref numpy = numpy_module(callable);
    if (!numpy) return nullptr;
    Ref data = Ref::steal(PyObject_CallMethod(numpy.get(), "empty", "ns", static_cast<Py_ssize_t>(offsets[n]), "uint8"));
    Ref bounds = Ref::steal(PyObject_CallMethod(numpy.get(), "empty", "ns", static_cast<Py_ssize_t>(n + 1), "int64"));
    if (!data || !bounds) return nullptr;
    Target data_view, bounds_view;
    if (!data_view.open(data.get(), {static_cast<Py_ssize_t>(offsets[n])}, "B", "uint8") ||
        !bounds_view.open(bounds.get(), {static_cast<Py_ssize_t>(n + 1)}, "l", "int64"))
        return nullptr;
    char* out = data_view.data();
    std::optional<JobFailure> failure =
        without_lock([&] { return fill_ragged(engine, plans, offsets, capacities, reverse, upper, out, lengths); });
    if (failure) return raise_fill_failure(*failure);
    // Regions a short file left shorter than planned close up; the data then ends early.
    auto* bound = reinterpret_cast<std::int64_t*>(bounds_view.data());
    std::uint64_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        turns.step();
        bound[i] = static_cast<std::int64_t>(at);
        if (at != offsets[i]) std::memmove(out + at, out + offsets[i], static_cast<std::size_t>(lengths[i]));
        at += lengths[i];
    }
    bound[n] = static_cast<std::int64_t>(at);
    if (less) {
        auto* byte = reinterpret_cast<unsigned char*>(out);
        for (std::uint64_t i = 0; i < at; ++i) byte[i] = static_cast<unsigned char>(byte[i] - less);
    }
    if (at != offsets[n]) {
        Ref cut = Ref::steal(PySlice_New(nullptr, Ref::steal(PyLong_FromUnsignedLongLong(at)).get(), nullptr));
        if (!cut) return nullptr;
        data = Ref::steal(PyObject_GetItem(data.get(), cut.get()));
        if (!data) return nullptr;
    }
    return Py_BuildValue("(OO)", data.get(), bounds.get());
}

const char* const FETCH_ARRAY_DOC =
    "fetch_array($self, regions=None, *, names=None, starts=None, ends=None, width=None, rc=None, pad='N', "
    "upper=False, out=None)\n--\n\n"
    "Windows of many regions as one numpy uint8 array of ASCII codes, shape (n, width).\n\n"
    "Regions are regions=[(name, start, end), ...] as fetch_many takes them, or names=, starts= and\n"
    "ends= (sequences or integer arrays, e.g. columns of a pandas DataFrame). Coordinates are 1-based\n"
    "and inclusive: BED starts need + 1. Without width, every region must have the same length; with\n"
    "width, each row is the window of width bases centred on its region (start + (length - width) // 2).\n"
    "Positions outside the record hold pad. rc is None/False, True, or one bool or '+'/'-'/'.' per region:\n"
    "reversed rows are reverse-complemented. upper=True (or sequence_always_upper) upper-cases.\n"
    "out= fills a caller's writable C-contiguous uint8 array of that shape and returns it.";

const char* const FETCH_ONEHOT_DOC =
    "fetch_onehot($self, regions=None, *, names=None, starts=None, ends=None, width=None, rc=None, "
    "alphabet='ACGT', dtype='uint8', channels_last=True, out=None)\n--\n\n"
    "The same windows as fetch_array, one-hot encoded: shape (n, width, len(alphabet)), or\n"
    "(n, len(alphabet), width) with channels_last=False; dtype 'uint8', 'float32', 'float16' or 'bool'.\n\n"
    "Lower case counts as upper case; letters not in the alphabet (N, IUPAC codes) and positions\n"
    "outside the record are all zeros. A reverse-complemented row is the one-hot of the\n"
    "reverse-complemented window. Coordinates are 1-based and inclusive: BED starts need + 1.\n"
    "out= fills a caller's writable C-contiguous array of that shape and dtype and returns it.";

const char* const FETCH_VARIANTS_DOC =
    "fetch_variants($self, names, positions, refs, alts, *, width, rc=None, onehot=False, alphabet='ACGT', "
    "dtype='uint8', pad='N', check_ref=True, out=None)\n--\n\n"
    "Reference and alternate windows of many variants: (ref, alt), two arrays of shape (n, width)\n"
    "(ASCII codes) or (n, width, len(alphabet)) with onehot=True (encoded as fetch_onehot does).\n\n"
    "Columns are sequences or arrays (pandas columns too): names, positions (VCF POS: 1-based, the\n"
    "first base of REF), refs and alts (IUPAC letters; symbolic alleles such as '<DEL>' or '*' are a\n"
    "ValueError naming the row). The variant's first base sits at column width // 2 of both windows.\n"
    "The reference window is the genome around it (pad outside the record); the alternate window\n"
    "holds the same bases left of that column, then ALT, then the genome after REF, so both are\n"
    "exactly width long. check_ref=True compares REF with the genome (case aside) first: a mismatch\n"
    "is a ValueError naming the row, before anything is written. rc is one flag for all or one per\n"
    "row ('+'/'-'/'.' too): both windows are reverse-complemented after the allele is applied.\n"
    "out=(ref_out, alt_out) fills two writable C-contiguous arrays of that shape and dtype.";

const char* const FETCH_HAPLOTYPES_DOC =
    "fetch_haplotypes($self, regions=None, *, names=None, starts=None, ends=None, variant_offsets, positions, "
    "refs, alts, width=None, rc=None, onehot=False, alphabet='ACGT', dtype='uint8', pad='N', check_ref=True)"
    "\n--\n\n"
    "Regions with variants applied: row i is region i (1-based, inclusive, given as fetch_array takes\n"
    "regions) with the variants variant_offsets[i]:variant_offsets[i + 1] of positions (VCF POS),\n"
    "refs and alts applied (CSR layout: n + 1 offsets from 0; a row's variants sorted by position,\n"
    "each inside its region, none overlapping another, else a ValueError naming the row).\n\n"
    "With width, each row starts at its region's start and is cut or carried on with the genome\n"
    "after the region to exactly width (pad past the record): an array (n, width), or one-hot\n"
    "(n, width, len(alphabet)) with onehot=True. Without width, (data, offsets) as fetch_ragged\n"
    "gives, with each haplotype's own length. check_ref and rc as in fetch_variants.";

const char* const FETCH_RAGGED_DOC =
    "fetch_ragged($self, regions=None, *, names=None, starts=None, ends=None, rc=None, upper=False)\n--\n\n"
    "All regions' bases back to back: (data, offsets), data a flat numpy uint8 array and offsets an\n"
    "int64 array of n + 1 offsets; region i is data[offsets[i]:offsets[i + 1]] (the Arrow layout).\n\n"
    "Bases and clamping are those of fetch_many on a large batch. Regions are given as for\n"
    "fetch_array (1-based, inclusive: BED starts need + 1); an unknown name is a KeyError and a start\n"
    "greater than its end a ValueError, naming the region. rc reverse-complements regions as in\n"
    "fetch_array; upper=True upper-cases.";

}  // namespace sekva::host
