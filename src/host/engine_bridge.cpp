// Conversions between host objects and the engine's opening options and fetch results.
#include "host/engine_bridge.hpp"

#include "engine/base/bytes.hpp"
#include "engine/fetch/fetch.hpp"
#include "host/args.hpp"
#include "host/engine_warnings.hpp"
#include "host/errors.hpp"
#include "host/interp.hpp"
#include "host/sequence_type.hpp"
#include "host/text.hpp"

namespace sekva::host {

namespace {

bool convert_text(PyObject* o, const char* param, std::string& out) {
    std::string_view view;
    if (!to_text(o, param, view)) return false;
    out.assign(view);
    return true;
}

bool convert_path(PyObject* o, const char* param, std::string& out) {
    Ref path;
    return to_path(o, param, path) && convert_text(path.get(), param, out);
}

bool convert_optional_path(PyObject* o, const char* param, std::optional<std::string>& out) {
    if (!o || o == Py_None) return true;
    out.emplace();
    return convert_path(o, param, *out);
}

bool convert_optional_text(PyObject* o, const char* param, std::optional<std::string>& out) {
    std::optional<std::string_view> view;
    if (!to_optional_text(o, param, view)) return false;
    if (view) out.emplace(*view);
    return true;
}

// default_seq becomes bases, so it must be ASCII like every sequence text; refused up front rather
// than by every fetch that pads.
bool convert_padding(PyObject* o, const char* param, std::optional<std::string>& out) {
    if (!convert_optional_text(o, param, out)) return false;
    if (out && !is_ascii(out->data(), out->size())) {
        PyErr_Format(PyExc_ValueError, "argument '%s': padding text must be ASCII, one byte per base", param);
        return false;
    }
    return true;
}

bool convert_flag(PyObject* o, const char* param, bool& out) { return !o || to_bool(o, param, out); }

bool convert_object(PyObject* o, Ref& out) {
    if (o && o != Py_None) out = Ref::borrow(o);
    return true;
}

// Where warning lines go; anything but the two names (another type included) is refused naming them.
bool convert_warn_to(PyObject* o, const char* param, OpenOptions::WarnTo& out) {
    if (!o) return true;
    if (PyUnicode_Check(o)) {
        if (PyUnicode_CompareWithASCIIString(o, "stderr") == 0) {
            out = OpenOptions::WarnTo::Stderr;
            return true;
        }
        if (PyUnicode_CompareWithASCIIString(o, "python") == 0) {
            out = OpenOptions::WarnTo::Caller;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "argument '%s': expected 'stderr' or 'python', got %R", param, o);
    return false;
}

// Which of the records sharing a key is kept: one of the action names, or a ValueError naming them.
bool convert_duplicate_action(PyObject* o, const char* param, DuplicateAction& out) {
    if (!o) return true;
    std::string_view text;
    if (!to_text(o, param, text)) return false;
    if (auto action = duplicate_action_named(text)) {
        out = *action;
        return true;
    }
    std::string names;
    for (const char* name : DUPLICATE_ACTION_NAMES) names += std::string(names.empty() ? "" : ", ") + "'" + name + "'";
    PyErr_Format(PyExc_ValueError, "argument '%s': expected one of %s, got %R", param, names.c_str(), o);
    return false;
}

PyObject* optional_str(const std::optional<std::string>& text) {
    if (!text) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "strict");
}

PyObject* flag(bool b) { return new_ref(b ? Py_True : Py_False); }
PyObject* object(PyObject* o) { return new_ref(o ? o : Py_None); }

// One opening option: its name, its converter into the options, and its value for pickling.
struct Option {
    const char* name;
    bool (*convert)(PyObject* o, const char* name, OpenOptions& opt, OpenedEngine& out);
    PyObject* (*value)(const EngineHolder& self, const OpenOptions& opt);
};

#define SEKVA_FLAG_OPTION(param, field)                                                                   \
    Option {                                                                                             \
        param, [](PyObject* o, const char* n, OpenOptions& opt, OpenedEngine&) { return convert_flag(o, n, opt.field); }, \
            [](const EngineHolder&, const OpenOptions& opt) { return flag(opt.field); }                   \
    }
#define SEKVA_TEXT_OPTION(param, field)                                                                   \
    Option {                                                                                             \
        param, [](PyObject* o, const char* n, OpenOptions& opt, OpenedEngine&) { return convert_optional_text(o, n, opt.field); }, \
            [](const EngineHolder&, const OpenOptions& opt) { return optional_str(opt.field); }           \
    }

constexpr Option OPTIONS[] = {
    {"filename", [](PyObject* o, const char* n, OpenOptions& opt, OpenedEngine&) { return convert_path(o, n, opt.filename); },
     [](const EngineHolder& self, const OpenOptions&) { return new_ref(self.filename); }},
    {"indexname", [](PyObject* o, const char* n, OpenOptions& opt, OpenedEngine&) { return convert_optional_path(o, n, opt.indexname); },
     [](const EngineHolder&, const OpenOptions& opt) { return optional_str(opt.indexname); }},
    SEKVA_FLAG_OPTION("as_raw", as_raw),
    SEKVA_FLAG_OPTION("strict_bounds", strict_bounds),
    SEKVA_FLAG_OPTION("sequence_always_upper", sequence_always_upper),
    SEKVA_FLAG_OPTION("rebuild", rebuild),
    SEKVA_FLAG_OPTION("build_index", build_index),
    SEKVA_FLAG_OPTION("one_based_attributes", one_based_attributes),
    {"default_seq", [](PyObject* o, const char* n, OpenOptions& opt, OpenedEngine&) { return convert_padding(o, n, opt.default_seq); },
     [](const EngineHolder&, const OpenOptions& opt) { return optional_str(opt.default_seq); }},
    SEKVA_FLAG_OPTION("mutable", is_mutable),
    {"key_function", [](PyObject* o, const char*, OpenOptions&, OpenedEngine& out) { return convert_object(o, out.key_function); },
     [](const EngineHolder& self, const OpenOptions&) { return object(self.key_function); }},
    SEKVA_TEXT_OPTION("split_char", split_char),
    {"filt_function", [](PyObject* o, const char*, OpenOptions&, OpenedEngine& out) { return convert_object(o, out.filt_function); },
     [](const EngineHolder& self, const OpenOptions&) { return object(self.filt_function); }},
    SEKVA_FLAG_OPTION("read_long_names", read_long_names),
    {"duplicate_action", [](PyObject* o, const char* n, OpenOptions& opt, OpenedEngine&) { return convert_duplicate_action(o, n, opt.duplicate_action); },
     [](const EngineHolder&, const OpenOptions& opt) { return PyUnicode_FromString(name_of(opt.duplicate_action)); }},
    {"read_ahead", [](PyObject* o, const char* n, OpenOptions& opt, OpenedEngine&) { return to_optional_u64(o, n, opt.read_ahead); },
     [](const EngineHolder&, const OpenOptions& opt) -> PyObject* {
         if (!opt.read_ahead) Py_RETURN_NONE;
         return PyLong_FromUnsignedLongLong(*opt.read_ahead);
     }},
    {"warn_to", [](PyObject* o, const char* n, OpenOptions& opt, OpenedEngine&) { return convert_warn_to(o, n, opt.warn_to); },
     [](const EngineHolder&, const OpenOptions& opt) {
         return PyUnicode_FromString(opt.warn_to == OpenOptions::WarnTo::Caller ? "python" : "stderr");
     }},
};
#undef SEKVA_FLAG_OPTION
#undef SEKVA_TEXT_OPTION

constexpr bool options_follow_names() {
    if (std::size(OPTIONS) != std::size(ENGINE_PARAM_NAMES)) return false;
    for (std::size_t i = 0; i < std::size(OPTIONS); ++i)
        if (!same_name(OPTIONS[i].name, ENGINE_PARAM_NAMES[i])) return false;
    return true;
}
static_assert(options_follow_names(), "OPTIONS must declare the options of ENGINE_PARAM_NAMES in its order");

// The interpreter lock while an engine opens: released, and taken back for a moment between
// pieces of an index build (to see whether the user interrupted it) and to call the caller's key
// and filter functions.
struct OpeningLock {
    PyThreadState* saved;
    PyObject* key_function;
    PyObject* filt_function;

    static bool keep_going(void* self) {
        auto* lock = static_cast<OpeningLock*>(self);
        PyEval_RestoreThread(lock->saved);
        bool go = PyErr_CheckSignals() == 0;
        lock->saved = PyEval_SaveThread();
        return go;
    }
    static Status rename(void* self, std::vector<NamedEntry>& records) {
        auto* lock = static_cast<OpeningLock*>(self);
        PyEval_RestoreThread(lock->saved);
        bool ok = lock->rename_with_lock(records);
        lock->saved = PyEval_SaveThread();
        // The host error is already set; the engine only needs to stop.
        if (!ok) return io_error("naming the records failed");
        return std::nullopt;
    }

    // key_function(name) gives each record's key, filt_function(key) whether it is kept.
    bool rename_with_lock(std::vector<NamedEntry>& records) const {
        std::size_t kept = 0;
        for (NamedEntry& r : records) {
            Ref key = Ref::steal(PyUnicode_DecodeUTF8(r.name.data(), static_cast<Py_ssize_t>(r.name.size()), "strict"));
            if (!key) return false;
            if (key_function) {
                key = Ref::steal(PyObject_CallFunctionObjArgs(key_function, key.get(), nullptr));
                if (!key) return false;
                if (!PyUnicode_Check(key.get())) {
                    PyErr_Format(PyExc_TypeError, "key_function must return str, not %.200s", Py_TYPE(key.get())->tp_name);
                    return false;
                }
                std::string_view text;
                if (!to_text(key.get(), "key_function", text)) return false;
                r.name.assign(text);
            }
            if (filt_function) {
                Ref keep = Ref::steal(PyObject_CallFunctionObjArgs(filt_function, key.get(), nullptr));
                if (!keep) return false;
                const int truth = PyObject_IsTrue(keep.get());
                if (truth < 0) return false;
                if (!truth) continue;
            }
            if (&records[kept] != &r) records[kept] = std::move(r);
            ++kept;
        }
        records.resize(kept);
        return true;
    }
};

// Options kept only to be read back warn that they change nothing, once per opening.
bool warn_unused_options(const OpenOptions& opt) {
    if (opt.split_char &&
        PyErr_WarnEx(PyExc_UserWarning, "split_char has no effect: names end at the first white space", 1) < 0)
        return false;
    if (opt.read_ahead &&
        PyErr_WarnEx(PyExc_UserWarning, "read_ahead has no effect: every fetch reads just the bytes it needs", 1) < 0)
        return false;
    return true;
}

}  // namespace

bool open_engine(PyObject* const* slots, const EngineOrder& conversion_order, OpenedEngine& out,
                 const NameTable* wanted) {
    OpenOptions opt;
    for (int index : conversion_order)
        if (!OPTIONS[index].convert(slots[index], OPTIONS[index].name, opt, out)) return false;
    // Opening may build an index over gigabytes (or read an endless stream): other threads run
    // meanwhile. Opening warns too (a BGZF file without its end-of-file marker), as the option says.
    EngineWarnings warnings(opt.warn_to);
    OpeningLock lock{nullptr, out.key_function.get(), out.filt_function.get()};
    Naming naming;
    if (lock.key_function || lock.filt_function) naming = Naming{&OpeningLock::rename, &lock};
    naming.wanted = wanted;
    lock.saved = PyEval_SaveThread();
    Result<std::unique_ptr<Engine>> opened =
        Engine::open(std::move(opt), Interruption{&OpeningLock::keep_going, &lock}, naming);
    PyEval_RestoreThread(lock.saved);
    if (!opened.ok()) {
        // An interruption, or an error of the key or filter function, is already raised.
        if (!PyErr_Occurred()) raise_faidx_error(opened.error());
        warnings.issue(nullptr);
        return false;
    }
    if (!Ref::steal(warnings.issue(new_ref(Py_None)))) return false;
    if (!warn_unused_options(opened.value()->options())) return false;
    out.engine = std::move(opened.value());
    return true;
}

PyObject* build_index_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"filename", "indexname"};
    static const Signature sig = {"_build_index", params, 2, 2};
    PyObject* slot[2];
    if (!bind_fastcall(sig, args, nargs, kwnames, slot)) return nullptr;
    OpenOptions opt;
    if (!convert_path(slot[0], "filename", opt.filename) || !convert_optional_path(slot[1], "indexname", opt.indexname))
        return nullptr;
    opt.warn_to = OpenOptions::WarnTo::Caller;
    EngineWarnings warnings(opt.warn_to);
    OpeningLock lock{nullptr, nullptr, nullptr};
    lock.saved = PyEval_SaveThread();
    Result<bool> built = Engine::build_only(std::move(opt), Interruption{&OpeningLock::keep_going, &lock});
    PyEval_RestoreThread(lock.saved);
    if (!built.ok()) {
        if (!PyErr_Occurred()) raise_faidx_error(built.error());
        return warnings.issue(nullptr);
    }
    return warnings.issue(new_ref(built.value() ? Py_True : Py_False));
}

PyObject* new_engine_holder(PyTypeObject* type, PyObject* args, PyObject* kwargs, const Signature& sig,
                            const EngineOrder& to_engine, const NameTable* wanted) {
    PyObject* given[ENGINE_PARAMS];
    if (!bind_tuple(sig, args, kwargs, given)) return nullptr;
    PyObject* engine_slots[ENGINE_PARAMS];
    for (int i = 0; i < ENGINE_PARAMS; ++i) engine_slots[to_engine[i]] = given[i];
    OpenedEngine opened;
    if (!open_engine(engine_slots, to_engine, opened, wanted)) return nullptr;
    // The file name as a str, whatever os.PathLike gave it.
    Ref filename;
    if (!to_path(given[0], "filename", filename)) return nullptr;
    auto* self = reinterpret_cast<EngineHolder*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->engine = opened.engine.release();
    self->filename = filename.release();
    self->key_function = opened.key_function.release();
    self->filt_function = opened.filt_function.release();
    return reinterpret_cast<PyObject*>(self);
}

namespace {

}  // namespace

PyObject* reduce_engine_holder(PyObject* o, const EngineOrder& to_engine) {
    auto* self = reinterpret_cast<EngineHolder*>(o);
    Ref args = Ref::steal(PyTuple_New(ENGINE_PARAMS));
    if (!args) return nullptr;
    // The files as absolute paths: a process with another working directory opens the same files.
    auto absolute = [](const std::string& path) {
        return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
    };
    const Engine& engine = *self->engine;
    for (int i = 0; i < ENGINE_PARAMS; ++i) {
        PyObject* value = to_engine[i] == 0 ? absolute(engine.absolute_filename())
                          : to_engine[i] == 1 && engine.options().indexname ? absolute(engine.absolute_index_path())
                                                                            : OPTIONS[to_engine[i]].value(*self, engine.options());
        if (!value) return nullptr;
        PyTuple_SET_ITEM(args.get(), i, value);
    }
    return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(Py_TYPE(o)), args.get());
}

int engine_holder_traverse(PyObject* o, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<EngineHolder*>(o);
    return visit_all(visit, arg, {self->key_function, self->filt_function, reinterpret_cast<PyObject*>(Py_TYPE(o))});
}

int engine_holder_clear(PyObject* o) {
    auto* self = reinterpret_cast<EngineHolder*>(o);
    Py_CLEAR(self->key_function);
    Py_CLEAR(self->filt_function);
    return 0;
}

void release_engine_holder(PyObject* o) {
    engine_holder_clear(o);
    auto* self = reinterpret_cast<EngineHolder*>(o);
    Py_CLEAR(self->filename);
    delete self->engine;
    self->engine = nullptr;
}

void raise_fetch_failure(FetchFailure& failure) {
    switch (failure.kind) {
        case FetchFailure::Kind::Engine:
            raise_faidx_error(failure.error);
            return;
        case FetchFailure::Kind::Bounds:
            raise_text(PyExc_IndexError, failure.message);
            return;
        case FetchFailure::Kind::NoMemory:
            PyErr_NoMemory();
            return;
    }
}

PyObject* region_to_host(RegionResult&& result, StrOutput& out, PyObject* name, std::string_view record,
                         bool comp) {
    out.resume();
    if (!result.ok()) {
        raise_fetch_failure(result.error());
        return nullptr;
    }
    PyObject* seq = out.finish(result.value().length, record, result.value().ascii);
    if (!seq) return nullptr;
    return new_sequence(name, seq, result.value().coords, comp);
}

PyObject* fetch_sequence(const Engine& engine, PyObject* name, std::string_view record, std::uint64_t start,
                         std::uint64_t end) {
    return fetch_sequence_at(engine, name, record, engine.names().find(record), start, end);
}

PyObject* fetch_sequence_at(const Engine& engine, PyObject* name, std::string_view record, const IndexEntry* entry,
                            std::uint64_t start, std::uint64_t end) {
    // Inside the record, from the map, and small enough not to be worth letting other threads run.
    if (entry && start >= 1 && start <= end && end <= entry->rlen && engine.reader().direct &&
        end - start < StrOutput::RELEASE_LOCK_ABOVE) {
        const std::uint64_t n = end - start + 1;
        bool ascii = false;
        if constexpr (TEXT_WRITTEN_IN_PLACE) {
            char* out = nullptr;
            PyObject* text = new_str_to_fill(static_cast<Py_ssize_t>(n), out);
            if (!text) return nullptr;
            auto got = fetch_inside(engine, *entry, start, n, out, ascii);
            if (got.ok() && got.value() == n && (ascii || is_ascii(out, static_cast<std::size_t>(n))))
                return new_sequence(name, text, result_coords(engine.options(), start, end), false);
            Py_DECREF(text);  // the general path pads, reports, or raises what went wrong
        } else {
            char buffer[4096];
            if (n <= sizeof buffer) {
                auto got = fetch_inside(engine, *entry, start, n, buffer, ascii);
                if (got.ok() && got.value() == n && (ascii || is_ascii(buffer, n))) {
                    PyObject* text = ascii_str(buffer, static_cast<std::size_t>(n));
                    return text ? new_sequence(name, text, result_coords(engine.options(), start, end), false)
                                : nullptr;
                }
            }
        }
    }
    return with_engine_warnings(engine, [&] {
        return fetch_to_host(name, record, [&](StrOutput& out) { return fetch_into(engine, record, start, end, out); });
    });
}

PyObject* keys_list(const Engine& engine) {
    auto keys = engine.names().keys();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(keys.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        PyObject* key = PyUnicode_DecodeUTF8(keys[i].data(), static_cast<Py_ssize_t>(keys[i].size()), "strict");
        if (!key) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), key);
    }
    return list.release();
}

}  // namespace sekva::host
