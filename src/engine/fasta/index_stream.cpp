#include "engine/fasta/index_stream.hpp"

#include <cstring>
#include <functional>
#include <string_view>

#include "engine/base/memory.hpp"
#include "engine/fasta/hash_slots.hpp"
#include "engine/fasta/scan.hpp"

namespace sekva {

namespace {

bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

constexpr std::size_t AHEAD = 16;

}  // namespace

Result<std::optional<IndexStream>> IndexStream::begin(const std::string& path, const ByteSource& data, bool fastq) {
    std::string in_place;
    auto file = Replacement::begin(path, in_place);
    if (!file.ok()) return std::move(file.error());
    if (!file.value()) return std::optional<IndexStream>();
    IndexStream stream(std::move(*file.value()), data, fastq);
    assign_fresh(stream.slots_, std::size_t{1} << 16, std::uint64_t{0});
    return std::optional<IndexStream>(std::move(stream));
}

void IndexStream::expect(std::size_t reads) {
    if (!hashes_.empty()) return;
    reserve_fresh(hashes_, reads);
    reserve_fresh(offsets_, reads);
    assign_fresh(slots_, slots_for(reads, slots_.size()), std::uint64_t{0});
}

Result<bool> IndexStream::named_at(std::uint64_t offset, std::string_view name) const {
    // The '@' or '>' line ends just before the bases (a FASTA header may end the file without a
    // line break): it starts after the line break before it.
    std::string line;
    for (std::uint64_t want = 256;; want *= 4) {
        const std::uint64_t from = offset > want ? offset - want : 0;
        line.resize(static_cast<std::size_t>(offset - from));
        auto got = read_at(*data_, from, offset - from, line.data());
        if (!got.ok()) return std::move(got.error());
        if (got.value() != offset - from || line.empty()) return io_error("the file changed while its index was being built");
        if (line.back() == '\n') line.pop_back();
        const std::size_t start = line.rfind('\n');
        if (start == std::string::npos && from > 0) continue;  // a longer line: read further back
        line.erase(0, start == std::string::npos ? 0 : start + 1);
        break;
    }
    if (!fastq_) return !line.empty() && header_name(std::string_view(line).substr(1)) == name;
    std::size_t b = 1;
    while (b < line.size() && is_c_space(line[b])) ++b;
    std::size_t e = b;
    while (e < line.size() && !is_c_space(line[e])) ++e;
    return std::string_view(line).substr(b, e - b) == name;
}

Status IndexStream::take(std::vector<NamedEntry>& entries) {
    const std::size_t n = entries.size();
    if (!n) return success;
    const std::hash<std::string_view> hash;
    round_.resize(n);
    for (std::size_t i = 0; i < n; ++i) round_[i] = hash(entries[i].name);
    std::size_t kept = 0;  // the entries before it are written; a dropped one leaves a gap
    for (std::size_t i = 0; i < n; ++i) {
        // At most half full, so that probes stay short.
        if ((hashes_.size() + 1) * 2 > slots_.size()) grow_slots(slots_, hashes_);
        const std::size_t mask = slots_.size() - 1;
        if (i + AHEAD < n) __builtin_prefetch(&slots_[static_cast<std::size_t>(round_[i + AHEAD]) & mask]);
        NamedEntry& r = entries[i];
        const std::uint64_t h = round_[i], tag = slot_tag(h);
        for (std::size_t k = static_cast<std::size_t>(h) & mask;; k = (k + 1) & mask) {
            const std::uint64_t slot = slots_[k];
            if (!slot) {
                if (hashes_.size() >= UINT32_MAX - 1) return io_error("more records than an index build can tell apart");
                hashes_.push_back(h);
                offsets_.push_back(r.entry.offset);
                slots_[k] = tag | hashes_.size();
                if (kept != i) entries[kept] = std::move(r);
                ++kept;
                break;
            }
            const std::size_t at = slot_item(slot);
            if (slot_tag(slot) != tag || hashes_[at] != h) continue;
            auto same = named_at(offsets_[at], r.name);
            if (!same.ok()) return std::move(same.error());
            if (same.value()) {
                said_.push_back(repeated_read_warning(r.name, r.entry.offset));
                if (fastq_) break;
                if (kept != i) entries[kept] = std::move(r);
                ++kept;
                break;
            }
        }
    }
    entries.resize(kept);
    auto written = write_entries_at(file_.descriptor(), entries, written_);
    entries.clear();
    if (!written.ok()) return std::move(written.error());
    written_ += written.value();
    return success;
}

Status IndexStream::finish() {
    for (const std::string& line : said_) write_warning(line);
    return file_.commit();
}

}  // namespace sekva
