// Fuzz target for record text from BED text: a header template and BED bytes from the input, read
// by BedText against a small fixed FASTA file and held to a plain model of the documented rules:
// the same lines refused, and for accepted text the same bytes, head, separator and wrapped bases.
//
// Input layout: a flags byte (bit 0 stranded, bits 1-2 the line width: 0, 1, 7 or 60), the
// template (text of up to 48 bytes), then the BED text (the rest).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/bulk/bed_text.hpp"
#include "engine/fasta/engine.hpp"
#include "engine/fetch/sequence.hpp"
#include "fixed_genome.hpp"
#include "model.hpp"

namespace {

using namespace sekva;

const fuzz::Records RECORDS = {
    {"chr1", "ACGTACGTNNacgtRYKMacgtACGTTTTGGGCCCAAA"},
    {"chr2", "GATTACA"},
    {"c", "A"},
};

// The FASTA text of RECORDS, opened once for the whole run.
const Engine& engine() {
    static const std::unique_ptr<Engine> opened = fuzz::open_fixed_genome(RECORDS, " description");
    return *opened;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    for (;;) {
        std::size_t at = s.find(sep);
        out.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return out;
        s.remove_prefix(at + 1);
    }
}

bool plain(std::string_view s) {
    return !s.empty() && s.size() <= 18 && (s[0] != '0' || s.size() == 1) &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The template applied to a line, or nothing when the template is malformed.
std::optional<std::string> expand(std::string_view t, std::string_view line, const std::vector<std::string_view>& f) {
    static const char* const names[] = {"chrom", "start", "end", "name", "score", "strand"};
    std::string out;
    for (std::size_t i = 0; i < t.size(); ++i) {
        if ((t[i] == '{' || t[i] == '}') && i + 1 < t.size() && t[i + 1] == t[i]) {
            out += t[i++];
        } else if (t[i] == '}') {
            return std::nullopt;
        } else if (t[i] == '{') {
            std::size_t close = t.find('}', i);
            if (close == std::string_view::npos) return std::nullopt;
            std::string_view slot = t.substr(i + 1, close - i - 1);
            bool known = slot == "line";
            if (known) out += line;
            for (std::size_t k = 0; k < 6; ++k)
                if (slot == names[k]) {
                    known = true;
                    if (k < f.size()) out += f[k];
                }
            if (!known) return std::nullopt;
            i = close;
        } else {
            out += t[i];
        }
    }
    return out;
}

// The model's text for the BED text, or nothing when some line is refused.
std::optional<std::string> model(std::string_view t, std::string_view bed, bool stranded, std::uint64_t width) {
    std::string out;
    std::size_t columns = 0;
    std::vector<std::string_view> lines = split(bed, '\n');
    if (!bed.empty() && bed.back() == '\n') lines.pop_back();
    if (bed.empty()) lines.clear();
    for (std::string_view line : lines) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line[0] == '#' || line.starts_with("track") || line.starts_with("browser")) continue;
        std::vector<std::string_view> f = split(line, '\t');
        if (f.size() < 3 || std::find(f.begin(), f.end(), "") != f.end()) return std::nullopt;
        if (!columns) columns = f.size();
        if (f.size() != columns || !plain(f[1]) || !plain(f[2])) return std::nullopt;
        auto record = RECORDS.find(f[0]);
        std::uint64_t start = std::stoull(std::string(f[1])), end = std::stoull(std::string(f[2]));
        if (record == RECORDS.end() || start >= end || end > record->second.size()) return std::nullopt;
        std::string bases = record->second.substr(start, end - start);
        if (stranded && f.size() >= 6 && f[5] == "-") {
            std::reverse(bases.begin(), bases.end());
            for (char& c : bases) c = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(c)]);
        }
        out += *expand(t, line, f);
        out += "\n";
        std::size_t step = width ? width : bases.size();
        for (std::size_t i = 0; i < bases.size(); i += step) out += bases.substr(i, step) + "\n";
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    std::uint8_t flags = in.byte();
    const bool stranded = flags & 1;
    constexpr std::uint64_t widths[] = {0, 1, 7, 60};
    TextLayout layout;
    layout.width = widths[(flags >> 1) & 3];
    layout.sep = "\n";
    layout.complement = COMPLEMENT_TABLE;
    std::string t = in.text(48);
    std::string bed = in.text(in.left());

    auto head = HeadTemplate::parse(t);
    FUZZ_CHECK(head.ok() == expand(t, "", {}).has_value(), "template " + fuzz::shown(t) + " judged otherwise");
    if (!head.ok()) return 0;
    std::optional<std::string> expected = model(t, bed, stranded, layout.width);
    auto text = BedText::read(engine(), bed, std::move(head.value()), layout, stranded);
    FUZZ_CHECK(text.ok() == expected.has_value(),
               "BED text " + fuzz::shown(bed) + (text.ok() ? " accepted" : " refused: " + text.error().what));
    if (!text.ok()) {
        FUZZ_CHECK(text.error().line >= 1, "a refusal names no line");
        return 0;
    }
    FUZZ_CHECK(text.value().size() == expected->size(), "size " + std::to_string(text.value().size()) + " for " +
                                                            fuzz::shown(*expected));
    // Each piece in memory of exactly its size, so a write past it is seen.
    std::string got;
    auto outcome = text.value().write(
        [&](std::size_t n) { return static_cast<char*>(std::malloc(n ? n : 1)); },
        [&](const char* p, std::size_t n) {
            got.append(p, n);
            std::free(const_cast<char*>(p));
            return 0;
        });
    FUZZ_CHECK(!outcome.failure && !outcome.consumer_error, "writing failed");
    FUZZ_CHECK(got == *expected, "wrote " + fuzz::shown(got) + ", model has " + fuzz::shown(*expected));
    return 0;
}
