// Fuzz target for the .fai reader: any bytes give a table or an Io/Indexing error that agree with
// the line-by-line model, and a table survives being written out and read again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/base/bytes.hpp"
#include "engine/fasta/index_file.hpp"
#include "engine/fasta/name_table.hpp"
#include "model.hpp"

namespace {

using namespace sekva;

std::string table_text(const NameTable& table) {
    std::vector<NamedEntry> entries;
    for (std::string_view name : table.keys()) entries.push_back({std::string(name), *table.find(name)});
    // The table's own order changes with its hash seed; sorted, failures reproduce.
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name.view() < b.name.view(); });
    return format_index(entries);
}

void check_same_table(const NameTable& table, const fuzz::ModelIndex& model, std::string_view input) {
    FUZZ_CHECK(table.size() == model.entries.size(),
               std::to_string(table.size()) + " names read, model has " + std::to_string(model.entries.size()) +
                   " from " + fuzz::shown(input));
    for (const auto& [name, entry] : model.entries) {
        const IndexEntry* got = table.find(name);
        FUZZ_CHECK(got, "name " + fuzz::shown(name) + " missing after reading " + fuzz::shown(input));
        FUZZ_CHECK(fuzz::same_entry(*got, entry), "name " + fuzz::shown(name) + " read as " + fuzz::entry_text(*got) +
                                                      ", model has " + fuzz::entry_text(entry));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    NameTable table;
    Status status = parse_index_text(input, table);
    fuzz::ModelIndex model = fuzz::model_index(input);

    if (status) {
        FUZZ_CHECK(status->kind == ErrorKind::Io || status->kind == ErrorKind::Indexing,
                   "error of another kind: " + status->display());
        FUZZ_CHECK(model.error, "reader failed with " + status->display() + ", model read it all: " + fuzz::shown(input));
        FUZZ_CHECK(status->kind == model.error->kind && status->payload == model.error->payload,
                   "reader failed with " + status->display() + ", model with " + model.error->display());
    } else {
        FUZZ_CHECK(!model.error, "reader took it, model failed with " + model.error->display() + ": " +
                                     fuzz::shown(input));
    }
    // Lines read before an error stay in the table, so it is compared either way.
    check_same_table(table, model, input);

    for (std::string_view name : table.keys()) {
        FUZZ_CHECK(!name.empty(), "empty name from " + fuzz::shown(input));
        FUZZ_CHECK(is_valid_utf8(name.data(), name.size()) && fuzz::valid_utf8(name),
                   "name is not UTF-8: " + fuzz::shown(name));
    }
    if (status) return 0;

    std::string text = table_text(table);
    NameTable again;
    Status reread = parse_index_text(text, again);
    FUZZ_CHECK(!reread, "written index does not read back: " + reread->display() + " in " + fuzz::shown(text));
    FUZZ_CHECK(again.size() == table.size(), "round trip lost names: " + fuzz::shown(text));
    for (std::string_view name : table.keys()) {
        const IndexEntry* got = again.find(name);
        FUZZ_CHECK(got && fuzz::same_entry(*got, *table.find(name)), "round trip changed " + fuzz::shown(name));
    }
    return 0;
}
