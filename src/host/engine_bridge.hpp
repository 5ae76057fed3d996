// What Faidx, Fasta and the records share on their way into and out of the engine: the seventeen
// opening arguments and the conversion of fetch results into host objects.
#pragma once

#include <Python.h>

#include <array>
#include <iterator>
#include <memory>

#include "engine/fasta/engine.hpp"
#include "engine/fetch/fetch.hpp"
#include "host/args.hpp"
#include "host/ref.hpp"
#include "host/text.hpp"

namespace sekva::host {

// The opening options in the engine's order, which is also the order of the Faidx constructor.
// Each is declared once, in engine_bridge.cpp (its converter and its value for pickling, checked
// against this list at compile time); a constructor with another order derives its map from names.
inline constexpr const char* ENGINE_PARAM_NAMES[] = {
    "filename",      "indexname",       "as_raw",           "strict_bounds", "sequence_always_upper", "rebuild",
    "build_index",   "one_based_attributes", "default_seq", "mutable",       "key_function",          "split_char",
    "filt_function", "read_long_names", "duplicate_action", "read_ahead",    "warn_to",
};
inline constexpr int ENGINE_PARAMS = static_cast<int>(std::size(ENGINE_PARAM_NAMES));
using EngineOrder = std::array<int, ENGINE_PARAMS>;

constexpr bool same_name(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// For a constructor whose parameters are `names`, the engine position of each: a compile-time
// error unless `names` lists every option exactly once.
constexpr EngineOrder engine_order(const char* const (&names)[ENGINE_PARAMS]) {
    EngineOrder order{};
    bool taken[ENGINE_PARAMS] = {};
    for (int i = 0; i < ENGINE_PARAMS; ++i) {
        int found = -1;
        for (int k = 0; k < ENGINE_PARAMS; ++k)
            if (same_name(names[i], ENGINE_PARAM_NAMES[k])) found = k;
        if (found < 0 || taken[found]) throw "a constructor parameter that is no option, or one given twice";
        taken[found] = true;
        order[i] = found;
    }
    return order;
}

// What the docstrings of Faidx and Fasta say about the opening options, after the signature.
#define SEKVA_OPENING_OPTIONS_DOC                                                                         \
    "key_function(name) gives each record's key and filt_function(key) whether it is listed; "           \
    "read_long_names=True keys records by their whole header line. duplicate_action says which record " \
    "of a key is kept: 'stop' (the default, written ...) and 'last' keep the later one, 'first', "        \
    "'longest' and 'shortest' what they say, 'drop' none of them. warn_to='stderr' writes each warning "  \
    "as a 'WARNING: ' line to descriptor 2; warn_to='python' issues the same line through warnings.warn " \
    "as a UserWarning instead."

struct OpenedEngine {
    std::unique_ptr<Engine> engine;
    Ref key_function;   // called once per record while the engine opens, and kept
    Ref filt_function;
};

// Converts the arguments (slots in engine order, nullptr when absent), visiting parameters in
// `conversion_order` so that the first failure is the first in the caller's own signature,
// then opens the engine. Returns false with the host error set.
// `wanted`, where given, names the only records to list (see Naming).
bool open_engine(PyObject* const* slots, const EngineOrder& conversion_order, OpenedEngine& out,
                 const NameTable* wanted = nullptr);
// _build_index(filename, indexname): builds the index where indexname (or the default) says, whatever
// lies there, and returns whether the file is FASTQ; its warnings go through warnings.warn.
PyObject* build_index_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The state Faidx and Fasta share: one engine and what the constructor was given.
struct EngineHolder {
    PyObject_HEAD
    Engine* engine;           // first: set only by the constructor (see entry.hpp)
    PyObject* filename;       // as the caller gave it: a str, or the str its os.PathLike gave
    PyObject* key_function;   // what the engine's keys were made with, kept for pickling
    PyObject* filt_function;
};

// tp_new of Faidx and Fasta: binds the call to `sig` (seventeen parameters in the class's own
// order), converts in that order, opens the engine and allocates an object of `type`, whose
// layout starts with EngineHolder. `to_engine[i]` is the engine position of parameter i.
PyObject* new_engine_holder(PyTypeObject* type, PyObject* args, PyObject* kwargs, const Signature& sig,
                            const EngineOrder& to_engine, const NameTable* wanted = nullptr);
int engine_holder_traverse(PyObject* o, visitproc visit, void* arg);
// __reduce__ of Faidx and Fasta: the class and the seventeen arguments that open the same file with
// the same options again, in the class's own order (`to_engine` as for new_engine_holder).
PyObject* reduce_engine_holder(PyObject* o, const EngineOrder& to_engine);
// tp_clear: drops the two held callables, which are what can close a reference cycle. The engine
// stays, so records that reach it through the object keep working until it is freed.
int engine_holder_clear(PyObject* o);
// Releases everything the holder owns; the caller then frees the object.
void release_engine_holder(PyObject* o);

// Runs a fetch whose bases land in a new host string and returns the host Sequence named
// `name` (borrowed), or nullptr with the error set. `call` takes the OutputBuffer.
template <class Call>
PyObject* fetch_to_host(PyObject* name, std::string_view record, Call call);
PyObject* region_to_host(RegionResult&& result, StrOutput& out, PyObject* name, std::string_view record,
                         bool comp = false);
// Raises the host exception for a failed fetch.
[[gnu::cold]] void raise_fetch_failure(FetchFailure& failure);

template <class Call>
PyObject* fetch_to_host(PyObject* name, std::string_view record, Call call) {
    StrOutput out;
    return region_to_host(call(out), out, name, record);
}

// The checked single fetch (start and end 1-based, inclusive) as a host Sequence named `name`
// (a str whose UTF-8 form is `record`): the common case in one pass straight into the final str,
// everything else through fetch_into.
PyObject* fetch_sequence(const Engine& engine, PyObject* name, std::string_view record, std::uint64_t start,
                         std::uint64_t end);
// The same for a caller that already looked the record up (`entry` may be nullptr: not found).
PyObject* fetch_sequence_at(const Engine& engine, PyObject* name, std::string_view record, const IndexEntry* entry,
                            std::uint64_t start, std::uint64_t end);

// A new list of the engine's record names.
PyObject* keys_list(const Engine& engine);

}  // namespace sekva::host
