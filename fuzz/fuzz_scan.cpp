// Fuzz target for the index scan. The first byte picks the mode: even, the rest is FASTA as it
// comes (no crash, text names, an index that reads back, irregular records refused); odd, the rest
// drives a generator of well-formed FASTA whose five columns must match the line-by-line model.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>

#include "engine/index_file.hpp"
#include "engine/name_table.hpp"
#include "engine/scan.hpp"
#include "model.hpp"

namespace {

using namespace sekva;

// The written .fai text must give back, for every name, its last record.
void check_round_trip(const std::vector<NamedEntry>& entries) {
    std::string text = format_index(entries);
    NameTable table;
    Status err = parse_index_text(text, table);
    FUZZ_CHECK(!err, "the scan's index does not read back: " + err->display() + " in " + fuzz::shown(text));
    std::map<std::string_view, const IndexEntry*> last;
    for (const auto& e : entries) last[e.name] = &e.entry;
    FUZZ_CHECK(table.size() == last.size(), "index read back with " + std::to_string(table.size()) + " names, " +
                                                std::to_string(last.size()) + " written: " + fuzz::shown(text));
    for (const auto& [name, entry] : last) {
        const IndexEntry* got = table.find(name);
        FUZZ_CHECK(got && fuzz::same_entry(*got, *entry), "index read back wrong for " + fuzz::shown(name));
    }
}

bool has_graphic(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

// A named record none of whose line positions can be computed from its first line: after a line
// that differs from the first (in bases or bytes), another line with bases follows. Only lines
// that samtools too would refuse count; a longer last line or trailing blank lines do not.
std::optional<std::string> irregular_record(std::string_view d) {
    std::size_t pos = 0;
    bool in_named = false, have_first = false, differed = false;
    std::size_t first_bases = 0, first_bytes = 0;
    std::string name;
    while (pos < d.size()) {
        std::size_t nl = d.find('\n', pos);
        std::size_t next = nl == std::string_view::npos ? d.size() : nl + 1;
        std::string_view line = d.substr(pos, next - pos);
        pos = next;
        if (line[0] == '>') {
            auto header = line.substr(1);
            while (!header.empty() && (header.back() == '\n' || header.back() == '\r')) header.remove_suffix(1);
            if (!fuzz::valid_utf8(header)) return std::nullopt;  // the scan fails on it anyway
            std::string_view t = fuzz::trim(header);
            in_named = !t.empty();
            name = std::string(t.substr(0, std::min(t.find_first_of(" \t"), t.size())));
            have_first = differed = false;
            continue;
        }
        if (!in_named) continue;
        std::size_t bases = line.size();
        while (bases > 0 && (line[bases - 1] == '\n' || line[bases - 1] == '\r')) --bases;
        if (!have_first) {
            have_first = true;
            first_bases = bases;
            first_bytes = line.size();
            continue;
        }
        if (differed && bases > 0 && has_graphic(line)) return name;
        if (bases != first_bases || line.size() != first_bytes) differed = true;
    }
    return std::nullopt;
}

void arbitrary(std::string_view d) {
    auto scanned = scan_fasta(d);
    bool text = fuzz::valid_utf8(d);
    if (!scanned.ok()) {
        const FaidxError& err = scanned.error();
        FUZZ_CHECK(err.kind == ErrorKind::Io || err.kind == ErrorKind::Indexing, "error of another kind: " + err.display());
        if (err.kind == ErrorKind::Io && err.payload == "stream did not contain valid UTF-8")
            FUZZ_CHECK(!text, "valid UTF-8 refused as invalid: " + fuzz::shown(d));
        return;
    }
    FUZZ_CHECK(text, "scan took bytes that are not UTF-8: " + fuzz::shown(d));
    for (const auto& e : scanned.value()) {
        FUZZ_CHECK(!e.name.empty(), "empty name from " + fuzz::shown(d));
        FUZZ_CHECK(fuzz::valid_utf8(e.name), "name is not UTF-8: " + fuzz::shown(e.name));
        FUZZ_CHECK(!fuzz::has_space(e.name), "name holds white space: " + fuzz::shown(e.name));
        FUZZ_CHECK(e.entry.offset <= d.size() && e.entry.lenb <= d.size() - e.entry.offset &&
                       e.entry.lenc <= e.entry.lenb && e.entry.rlen <= d.size() - e.entry.offset,
                   "entry " + fuzz::shown(e.name) + " " + fuzz::entry_text(e.entry) + " reaches past the file " +
                       fuzz::shown(d));
    }
    check_round_trip(scanned.value());
    auto irregular = irregular_record(d);
    FUZZ_CHECK(!irregular, "record " + fuzz::shown(*irregular) + " has lines of unequal length, yet was indexed: " +
                               fuzz::shown(d, 400));
}

void well_formed(fuzz::Input& in) {
    fuzz::WellFormed w = fuzz::well_formed_fasta(in);
    std::vector<fuzz::ModelRecord> model = fuzz::checked_model(w);
    auto scanned = scan_fasta(w.text);
    FUZZ_CHECK(scanned.ok(), "well-formed FASTA refused: " + scanned.error().display() + " " + fuzz::shown(w.text));
    const auto& got = scanned.value();
    FUZZ_CHECK(got.size() == model.size(), std::to_string(got.size()) + " entries, model has " +
                                               std::to_string(model.size()) + ": " + fuzz::shown(w.text));
    for (std::size_t i = 0; i < got.size(); ++i)
        FUZZ_CHECK(got[i].name == model[i].name && fuzz::same_entry(got[i].entry, model[i].entry),
                   "entry " + std::to_string(i) + " is " + fuzz::shown(got[i].name) + " " +
                       fuzz::entry_text(got[i].entry) + ", model has " + fuzz::shown(model[i].name) + " " +
                       fuzz::entry_text(model[i].entry) + " in " + fuzz::shown(w.text, 400));
    check_round_trip(got);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if (data[0] & 1) {
        fuzz::Input in(data + 1, size - 1);
        well_formed(in);
    } else {
        arbitrary(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    }
    return 0;
}
