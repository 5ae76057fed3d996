// BED text to record text: one strict pass over the lines, then pieces of records through TextJob.
#include "engine/bulk/bed_text.hpp"

#include <algorithm>
#include <cstring>

namespace sekva {

namespace {

constexpr std::size_t SLOT_FIELDS = 6;  // chrom, start, end, name, score, strand
constexpr std::string_view SLOTS[SLOT_FIELDS] = {"chrom", "start", "end", "name", "score", "strand"};
// The fields a line is split into: those of the slots, and BED12's blockCount, blockSizes and
// blockStarts (fields 10 to 12).
constexpr std::size_t FIELDS = 12;

// A piece ends after this many records or this many bytes of text, whichever comes first.
constexpr std::size_t PIECE_RECORDS = 8192;
constexpr std::uint64_t PIECE_BYTES = 4 << 20;

// Splits a line at tabs: the first FIELDS fields (empty beyond the line's own), and the count of
// all of them; `empty` is set when any field is empty.
std::size_t split_fields(std::string_view line, std::string_view* fields, bool& empty) {
    std::size_t count = 0;
    empty = false;
    const char* p = line.data();
    const char* end = p + line.size();
    for (;;) {
        const void* tab = std::memchr(p, '\t', static_cast<std::size_t>(end - p));
        const char* stop = tab ? static_cast<const char*>(tab) : end;
        if (stop == p) empty = true;
        if (count < FIELDS) fields[count] = std::string_view(p, static_cast<std::size_t>(stop - p));
        ++count;
        if (!tab) break;
        p = stop + 1;
    }
    for (std::size_t i = count; i < FIELDS; ++i) fields[i] = {};
    return count;
}

// A coordinate in plain decimal digits: no sign, no leading zero, at most 18 digits.
bool plain_number(std::string_view text, std::uint64_t& out) {
    if (text.empty() || text.size() > 18 || (text[0] == '0' && text.size() > 1)) return false;
    out = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        out = out * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

// A comma-separated list of plain numbers, with or without a final comma.
bool number_list(std::string_view text, std::vector<std::uint64_t>& out) {
    out.clear();
    if (!text.empty() && text.back() == ',') text.remove_suffix(1);
    for (;;) {
        const std::size_t comma = text.find(',');
        std::uint64_t v;
        if (!plain_number(text.substr(0, comma), v)) return false;
        out.push_back(v);
        if (comma == std::string_view::npos) return true;
        text.remove_prefix(comma + 1);
    }
}

bool skipped(std::string_view line) {
    return line.empty() || line[0] == '#' || line.starts_with("track") || line.starts_with("browser");
}

std::string quoted(std::string_view text) {
    constexpr std::size_t most = 60;
    std::string out = "'";
    out.append(text.substr(0, most));
    if (text.size() > most) out += "...";
    return out + "'";
}

}  // namespace

Result<HeadTemplate, std::string> HeadTemplate::parse(std::string_view text) {
    HeadTemplate t;
    if (text.size() > UINT32_MAX) return std::string("the template is too long");
    auto literal = [&](std::string_view s) {
        if (s.empty()) return;
        if (!t.pieces_.empty() && t.pieces_.back().field == LITERAL) {
            t.pieces_.back().size += static_cast<std::uint32_t>(s.size());
        } else {
            t.pieces_.push_back({LITERAL, static_cast<std::uint32_t>(t.literals_.size()), static_cast<std::uint32_t>(s.size())});
        }
        t.literals_.append(s);
    };
    for (std::size_t i = 0; i < text.size();) {
        std::size_t brace = text.find_first_of("{}", i);
        if (brace == std::string_view::npos) {
            literal(text.substr(i));
            break;
        }
        literal(text.substr(i, brace - i));
        if (brace + 1 < text.size() && text[brace + 1] == text[brace]) {
            literal(text.substr(brace, 1));
            i = brace + 2;
            continue;
        }
        if (text[brace] == '}') return std::string("a single '}' (write '}}' for a brace)");
        std::size_t close = text.find('}', brace);
        if (close == std::string_view::npos) return std::string("a '{' without its '}' (write '{{' for a brace)");
        std::string_view slot = text.substr(brace + 1, close - brace - 1);
        std::uint8_t field = slot == "line" ? LINE : LITERAL;
        for (std::size_t k = 0; k < SLOT_FIELDS; ++k)
            if (slot == SLOTS[k]) field = static_cast<std::uint8_t>(k);
        if (field == LITERAL)
            return "unknown field {" + std::string(slot) +
                   "}; the fields are {chrom}, {start}, {end}, {name}, {score}, {strand} and {line}";
        t.pieces_.push_back({field});
        i = close + 1;
    }
    return t;
}

std::size_t HeadTemplate::size(std::string_view line, const std::string_view* fields) const {
    std::size_t n = 0;
    for (const Piece& p : pieces_)
        n += p.field == LITERAL ? p.size : p.field == LINE ? line.size() : fields[p.field].size();
    return n;
}

char* HeadTemplate::write(char* out, std::string_view line, const std::string_view* fields) const {
    for (const Piece& p : pieces_) {
        std::string_view s = p.field == LITERAL ? std::string_view(literals_).substr(p.at, p.size)
                             : p.field == LINE  ? line
                                                : fields[p.field];
        if (s.empty()) continue;  // an absent field has no bytes to copy from
        std::memcpy(out, s.data(), s.size());
        out += s.size();
    }
    return out;
}

std::uint64_t BedText::record_size(const Line& line) const {
    std::string_view fields[FIELDS];
    bool empty;
    split_fields(line.text, fields, empty);
    std::uint64_t length = line.end - line.start;
    if (line.blocks) {
        length = 0;
        for (std::size_t b = line.first_block; b < line.first_block + line.blocks; ++b) length += blocks_[b].size;
    }
    return head_.size(line.text, fields) + layout_.sep.size() + wrapped_size(length, layout_.width);
}

Result<BedText, BedProblem> BedText::read(const Engine& engine, std::string_view bed, HeadTemplate head,
                                          TextLayout layout, bool stranded, bool split) {
    BedText text(engine, std::move(head), layout);
    std::size_t columns = 0;
    std::uint64_t number = 0;
    const NameTable& names = engine.names();
    for (std::size_t pos = 0; pos < bed.size();) {
        const void* nl = std::memchr(bed.data() + pos, '\n', bed.size() - pos);
        std::size_t stop = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - bed.data()) : bed.size();
        std::string_view line = bed.substr(pos, stop - pos);
        pos = stop + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (skipped(line)) continue;
        std::string_view fields[FIELDS];
        bool empty;
        std::size_t count = split_fields(line, fields, empty);
        auto problem = [&](std::string what) { return BedProblem{number, std::move(what)}; };
        if (count < 3) return problem("fewer than 3 tab-separated fields");
        if (empty) return problem("an empty field");
        if (!columns) columns = count;
        if (count != columns)
            return problem(std::to_string(count) + " fields where the first line has " + std::to_string(columns));
        Line l{line, names.find(fields[0]), 0, 0, false, 0, 0};
        if (!plain_number(fields[1], l.start)) return problem("start " + quoted(fields[1]) + " is not a plain number");
        if (!plain_number(fields[2], l.end)) return problem("end " + quoted(fields[2]) + " is not a plain number");
        if (!l.entry) return problem("no record named " + quoted(fields[0]));
        if (l.start >= l.end) return problem("start " + std::string(fields[1]) + " is not below end " + std::string(fields[2]));
        if (l.end > l.entry->rlen)
            return problem("end " + std::string(fields[2]) + " is past the end of " + quoted(fields[0]) + " (" +
                           std::to_string(l.entry->rlen) + " bases)");
        l.reverse = stranded && fields[5] == "-";
        if (split && count >= 12)
            if (auto bad = text.read_blocks(l, fields)) return problem(std::move(*bad));
        text.size_ += text.record_size(l);
        text.lines_.push_back(l);
    }
    return text;
}

// BED12's blocks of a line: blockCount plain-number sizes and starts (relative to the line's
// start), each block at least one base and inside the record.
std::optional<std::string> BedText::read_blocks(Line& line, const std::string_view* fields) {
    std::uint64_t count;
    if (!plain_number(fields[9], count) || count == 0) return "blockCount " + quoted(fields[9]) + " is not a number of blocks";
    thread_local std::vector<std::uint64_t> sizes, starts;
    if (!number_list(fields[10], sizes) || !number_list(fields[11], starts) || sizes.size() != count ||
        starts.size() != count)
        return "blockSizes " + quoted(fields[10]) + " and blockStarts " + quoted(fields[11]) + " are not " +
               std::to_string(count) + " plain numbers each";
    line.first_block = blocks_.size();
    line.blocks = static_cast<std::uint32_t>(count);
    for (std::size_t b = 0; b < count; ++b) {
        const std::uint64_t start = line.start + starts[b], end = start + sizes[b];
        if (sizes[b] == 0 || end > line.entry->rlen)
            return "block " + std::to_string(b + 1) + " (" + std::to_string(start) + "-" + std::to_string(end) +
                   ") is empty or past the end of its record (" + std::to_string(line.entry->rlen) + " bases)";
        blocks_.push_back(Block{start, sizes[b]});
    }
    return std::nullopt;
}

BedWriteOutcome BedText::write(const std::function<char*(std::size_t)>& place,
                               const std::function<int(const char*, std::size_t)>& consume) const {
    std::string heads;
    std::vector<std::size_t> head_ends;
    for (std::size_t first = 0; first < lines_.size();) {
        // The records of this piece, their headers back to back in `heads`.
        std::size_t last = first;
        std::uint64_t bytes = 0;
        heads.clear();
        head_ends.clear();
        while (last < lines_.size() && last - first < PIECE_RECORDS && (bytes < PIECE_BYTES || last == first)) {
            const Line& l = lines_[last++];
            std::string_view fields[FIELDS];
            bool empty;
            split_fields(l.text, fields, empty);
            std::size_t at = heads.size();
            heads.resize(at + head_.size(l.text, fields));
            head_.write(heads.data() + at, l.text, fields);
            head_ends.push_back(heads.size());
            bytes += record_size(l);
        }
        // One region per line. A spliced line whose blocks lie close together is one region over
        // them all, showing only its blocks (one read instead of one per block); one whose blocks
        // lie far apart (long introns) is a region per block. line_of maps regions back to lines.
        std::vector<TextRegion> regions;
        std::vector<std::size_t> line_of;
        std::vector<TextPiece> pieces;
        std::size_t block_total = 0;
        for (std::size_t i = first; i < last; ++i) block_total += lines_[i].blocks;
        pieces.reserve(block_total);  // never moves: regions point into it
        for (std::size_t i = 0; i < last - first; ++i) {
            const Line& l = lines_[first + i];
            std::size_t begin = i ? head_ends[i - 1] : 0;
            const std::string_view head = std::string_view(heads).substr(begin, head_ends[i] - begin);
            const Block* blocks = l.blocks ? &blocks_[l.first_block] : nullptr;
            std::uint64_t low = l.start, high = l.end, shown = 0;
            if (blocks) {
                low = UINT64_MAX;
                high = 0;
                for (std::size_t b = 0; b < l.blocks; ++b) {
                    low = std::min(low, blocks[b].start);
                    high = std::max(high, blocks[b].start + blocks[b].size);
                    shown += blocks[b].size;
                }
            }
            const bool whole = !blocks || high - low <= 2 * shown + 4096;
            const std::size_t parts = whole ? 1 : l.blocks;
            for (std::size_t b = 0; b < parts; ++b) {
                TextRegion r;
                r.head = b ? std::string_view() : head;
                r.reverse = l.reverse;
                r.continues = b > 0;
                std::uint64_t s = low, e = high;
                if (!whole) {
                    s = blocks[b].start;
                    e = s + blocks[b].size;
                } else if (blocks) {
                    r.pieces = pieces.data() + pieces.size();
                    r.piece_count = l.blocks;
                    for (std::size_t k = 0; k < l.blocks; ++k) pieces.push_back({blocks[k].start - low, blocks[k].size});
                }
                r.plan = plan_region(*engine_, l.entry, s + 1, e);
                if (r.plan.kind != RegionPlan::Kind::Extract) {
                    std::string_view fields[FIELDS];
                    bool empty;
                    split_fields(l.text, fields, empty);
                    return {JobFailure::item(first + i, plan_error(r.plan, fields[0], s + 1, e))};
                }
                regions.push_back(r);
                line_of.push_back(first + i);
            }
        }
        TextJob job(*engine_, std::move(regions), layout_);
        if (auto failure = job.read()) {
            if (failure->kind == JobFailure::Kind::Item) failure->index = line_of[failure->index];
            return {std::move(failure)};
        }
        // The lengths were checked against the index: fewer bytes mean the file lost some.
        if (job.size() != bytes) return {JobFailure::item(first, file_shrank_error())};
        char* out = place(static_cast<std::size_t>(bytes));
        if (!out) return {JobFailure::no_memory()};
        job.write(out);
        if (int err = consume(out, static_cast<std::size_t>(bytes))) return {std::nullopt, err};
        first = last;
    }
    return {};
}

}  // namespace sekva
