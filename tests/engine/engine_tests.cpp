// The engine driven through a byte source that misbehaves on purpose (short reads, EINTR, errors at
// chosen offsets, slow reads): what a remote source will do to extraction, batches and BGZF. Each
// result is held to the same read through memory. Exits 1 naming every failed check.
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bgzf_writer.hpp"
#include "engine/bulk/batch.hpp"
#include "engine/codec/bgzf.hpp"
#include "engine/fasta/engine.hpp"
#include "engine/fasta/index_file.hpp"
#include "engine/fasta/record_name.hpp"
#include "engine/fasta/scan.hpp"
#include "engine/fasta/scan_pieces.hpp"
#include "engine/fetch/fetch.hpp"
#include "engine/io/byte_source.hpp"
#include "engine/io/http_source.hpp"
#include <mutex>

using namespace sekva;

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    if (ok) return;
    ++failures;
    std::fprintf(stderr, "FAILED: %s\n", what.c_str());
}

// How the fake source misbehaves. Every read goes through the descriptor source's own loop.
struct Faults {
    std::size_t most = SIZE_MAX;              // no read returns more than this (short reads)
    int eintr_every = 0;                      // every k-th read fails with EINTR first
    std::uint64_t fail_at = UINT64_MAX;       // a read touching this offset fails with EIO
    std::chrono::microseconds delay{0};       // each read waits this long first
    std::uint64_t ends_at = UINT64_MAX;       // the bytes end here (the file shrank)
};

class FaultySource final : public DescriptorSource {
public:
    FaultySource(std::string bytes, Faults faults)
        : DescriptorSource("fake.fa", FileHandle(), bytes.size()), bytes_(std::move(bytes)), faults_(faults) {}
    mutable std::atomic<int> reads{0}, interrupted{0};

protected:
    ssize_t read_once(char* out, std::size_t n, std::uint64_t offset) const override {
        int k = ++reads;
        if (faults_.delay.count()) std::this_thread::sleep_for(faults_.delay);
        if (faults_.eintr_every && k % faults_.eintr_every == 0) {
            ++interrupted;
            errno = EINTR;
            return -1;
        }
        const std::uint64_t end = std::min<std::uint64_t>(bytes_.size(), faults_.ends_at);
        if (offset >= end) return 0;
        n = static_cast<std::size_t>(std::min<std::uint64_t>({n, end - offset, faults_.most}));
        if (faults_.fail_at >= offset && faults_.fail_at < offset + n) {
            errno = EIO;
            return -1;
        }
        std::memcpy(out, bytes_.data() + offset, n);
        return static_cast<ssize_t>(n);
    }

private:
    std::string bytes_;
    Faults faults_;
};

// A FASTA text of seeded random records with assorted line widths and CRLF or LF breaks, and its
// bases per record.
struct Genome {
    std::string text;
    std::vector<std::string> names, bases;
    NameTable table;
};

Genome make_genome(unsigned seed, int records) {
    std::mt19937 rng(seed);
    Genome g;
    for (int r = 0; r < records; ++r) {
        std::string name = "r" + std::to_string(r), seq;
        const std::size_t len = rng() % 3000, width = 1 + rng() % 80;
        const char* eol = rng() % 3 == 0 ? "\r\n" : "\n";
        for (std::size_t i = 0; i < len; ++i) seq += "ACGTNacgtn"[rng() % 10];
        g.text += ">" + name + "\n";
        for (std::size_t i = 0; i < len; i += width) g.text += seq.substr(i, width) + eol;
        g.names.push_back(name);
        g.bases.push_back(seq);
    }
    FastaScanner scanner;
    check(!scanner.feed(g.text.data(), g.text.size()) && !scanner.finish(), "the genome scans");
    for (const NamedEntry& e : scanner.entries()) g.table.insert(e.name, e.entry);
    return g;
}

std::string extract(const Reader& from, const IndexEntry& e, std::uint64_t p, std::uint64_t n, std::string* error) {
    std::string out(static_cast<std::size_t>(extraction_capacity(*from.bytes, e, p, n)), '\0');
    auto got = extract_into(from, e, p, n, out.data(), out.size());
    if (!got.ok()) {
        if (error) *error = got.error().display();
        return {};
    }
    out.resize(static_cast<std::size_t>(got.value()));
    return out;
}

struct Region {
    std::size_t record;
    std::uint64_t start, end;  // 1-based, inclusive, inside the record
};

std::vector<Region> random_regions(const Genome& g, unsigned seed, std::size_t count) {
    std::mt19937 rng(seed);
    std::vector<Region> out;
    while (out.size() < count) {
        std::size_t r = rng() % g.names.size();
        std::uint64_t len = g.bases[r].size();
        if (!len) continue;
        std::uint64_t s = 1 + rng() % len, e = s + rng() % (len - s + 1);
        out.push_back({r, s, e});
    }
    return out;
}

// ---- Extraction ----

void extraction_survives_short_reads_and_signals() {
    const Genome g = make_genome(1, 12);
    for (Faults f : {Faults{.most = 1}, Faults{.most = 7, .eintr_every = 2}, Faults{.eintr_every = 1 + 1},
                     Faults{.most = 4096, .eintr_every = 3}}) {
        FaultySource src(g.text, f);
        const Reader from{&src, nullptr, true};
        for (const Region& r : random_regions(g, 2, 200)) {
            std::string error;
            std::string got = extract(from, *g.table.find(g.names[r.record]), r.start, r.end - r.start + 1, &error);
            std::string want = g.bases[r.record].substr(r.start - 1, r.end - r.start + 1);
            check(error.empty() && got == want, "extraction through short reads and EINTR: " + g.names[r.record] + ":" +
                                                    std::to_string(r.start) + "-" + std::to_string(r.end) + " " + error);
        }
        check(f.eintr_every == 0 || src.interrupted > 0, "the fake source was interrupted at all");
    }
}

void extraction_reports_errors_where_they_happen() {
    const Genome g = make_genome(3, 4);
    const IndexEntry& e = *g.table.find("r1");
    const std::uint64_t n = std::min<std::uint64_t>(e.rlen, 500);
    if (n == 0) return;
    // An error inside the region's bytes fails the read with that error; one outside it is never met.
    FaultySource inside(g.text, Faults{.most = 64, .fail_at = e.offset + n / 2});
    std::string error;
    std::string got = extract(Reader(&inside, nullptr, false), e, 1, n, &error);
    check(got.empty() && error == "IO error: Input/output error (os error 5)", "an EIO inside the region: " + error);

    FaultySource outside(g.text, Faults{.most = 64, .fail_at = e.offset == 0 ? g.text.size() - 1 : 0});
    error.clear();
    got = extract(Reader(&outside, nullptr, false), e, 1, n, &error);
    check(error.empty() && got == g.bases[1].substr(0, n), "an EIO outside the region is never read: " + error);

    // Bytes that end before the size the source was opened with: the file shrank, not fewer bases.
    FaultySource shrunk(g.text, Faults{.ends_at = e.offset + 3});
    error.clear();
    got = extract(Reader(&shrunk, nullptr, false), e, 1, n, &error);
    check(got.empty() && error.find("shrank") != std::string::npos, "a source that ends early: " + error);
}

// ---- Index scans in pieces ----

// The scan of `text` read in pieces on the pool through `src`, the rest (if any) fed in order: the
// entries, or the error, as one display string per entry, then the warnings.
std::string scan_through(const DescriptorSource& src, const std::string& text, const PieceSizes& sizes) {
    std::vector<std::string> warnings;
    WarningRedirect redirect(&warnings);
    FastaScanner scanner;
    auto fed = scan_in_pieces(src, text.size(), scanner, [] { return success; }, sizes);
    Status err = fed.ok() ? scanner.feed(text.data() + fed.value(), text.size() - fed.value()) : Status(fed.error());
    if (!err) err = scanner.finish();
    std::string out = err ? err->display() : format_index(scanner.entries());
    for (const std::string& line : warnings) out += line + "\n";
    return out;
}

std::string scan_in_order(const std::string& text) {
    std::vector<std::string> warnings;
    WarningRedirect redirect(&warnings);
    auto scanned = scan_fasta(text);
    std::string out = scanned.ok() ? format_index(scanned.value()) : scanned.error().display();
    for (const std::string& line : warnings) out += line + "\n";
    return out;
}

// Reads of four lines (and every seventh over several lines), qualities often starting with '@' and
// names often repeated; a blank line between some reads.
std::string make_reads(unsigned seed, int reads) {
    std::mt19937 rng(seed);
    std::string t;
    for (int i = 0; i < reads; ++i) {
        const std::size_t n = 1 + rng() % 150;
        std::string bases, quals;
        for (std::size_t k = 0; k < n; ++k) {
            bases += "ACGTN"[rng() % 5];
            quals += static_cast<char>(rng() % 3 ? '@' + rng() % 10 : '!' + rng() % 90);
        }
        t += "@r" + std::to_string(rng() % 50 ? i : i / 2) + (rng() % 2 ? " more" : "") + "\n";
        if (i % 7 == 3 && n > 4) {
            const std::size_t w = n / 2 + 1;
            for (std::size_t k = 0; k < n; k += w) t += bases.substr(k, w) + "\n";
            t += "+\n";
            for (std::size_t k = 0; k < n; k += w) t += quals.substr(k, w) + "\n";
        } else {
            t += bases + "\n+\n" + quals + "\n";
        }
        if (rng() % 20 == 0) t += "\n";
    }
    return t;
}

void scans_in_pieces_match_the_scan_in_order() {
    const std::string base = make_genome(5, 40).text;
    auto line_after = [&](std::size_t pos) { return base.find('\n', pos) + 1; };
    auto inserted = [&](std::size_t pos, const std::string& what) {
        std::string t = base;
        return t.insert(line_after(pos), what);
    };
    std::string sharp = base;
    sharp[line_after(base.size() / 3) + 1] = '>';
    std::string header = base;
    header.replace(header.find(">r20\n"), 5, ">r20 \xc3\xa9 \r\n");
    const std::string reads = make_reads(7, 3000);
    auto reads_with = [&](std::size_t pos, const std::string& what) {  // before the read after pos
        std::string t = reads;
        return t.insert(t.find("\n@r", pos) + 1, what);
    };
    std::vector<std::string> texts = {
        base,
        make_genome(6, 40).text,
        inserted(base.size() / 2, std::string(200, 'A') + "\n"),  // a line longer than its record's first
        inserted(base.size() / 2, "\n"),                          // a blank line inside a record
        inserted(base.size() * 3 / 4, "AC\xff\n"),                // a line that is not UTF-8
        inserted(0, "text before any header\nmore\n"),           // lines of no record
        sharp,                                                   // ">" inside a line is a base
        header,                                                  // UTF-8 and CR in a header
        base.substr(0, base.size() - 1),                         // no line break at the end
        "\n\n@q1\nACGT\n+\nIIII\n@q2\nAC\n+\nII\n",                // FASTQ, tiny
        reads,
        reads.substr(0, reads.size() - 1),                       // no line break at the end
        reads.substr(0, reads.size() / 2 + 3),                   // a read cut short
        reads_with(reads.size() / 3, "+\n"),                        // a line where a read's '@' line goes
        reads_with(reads.size() / 2, "@x\nAC\n+\nII\n"),              // a read of its own
        reads_with(reads.size() / 2, "@x\nAC\n+\nI\n"),               // too few qualities
        reads_with(reads.size() * 2 / 3, "@x\nAC\n+\nIII\n"),          // too many
        reads_with(reads.size() / 4, "@x\nAC\xff\n+\nII\n"),          // not a base
        reads_with(reads.size() / 4, "@x \xc3\n"),                  // a name line that is not UTF-8
    };
    int refused = 0;
    for (const std::string& text : texts) {
        const std::string want = scan_in_order(text);
        refused += want.find("Indexing") != std::string::npos || want.find("UTF-8") != std::string::npos;
        for (std::size_t piece : {1, 7, 64, 1000, 65536})
            for (Faults f : {Faults{}, Faults{.most = 13, .eintr_every = 3}}) {
                FaultySource src(text, f);
                const std::string got = scan_through(src, text, PieceSizes{piece, 0, 1});
                check(got == want, "scanned in pieces of " + std::to_string(piece) + ": " + got.substr(0, 200) +
                                       "; in order: " + want.substr(0, 200));
            }
    }
    check(refused >= 3, "some texts are refused by the scan: " + std::to_string(refused));

    // A read error in a piece stops the scan with it, unless the text fails before it; a file that
    // ends early leaves the rest to the caller, which finds it shorter than its size.
    FaultySource failing(base, Faults{.most = 100, .fail_at = base.size() / 2});
    FastaScanner scanner;
    auto fed = scan_in_pieces(failing, base.size(), scanner, [] { return success; }, PieceSizes{1000, 0, 1});
    check(!fed.ok() && fed.error().display() == "IO error: Input/output error (os error 5)", "a failed read in a piece");
    FaultySource shorter(base, Faults{.ends_at = base.size() / 2});
    FastaScanner rest;
    fed = scan_in_pieces(shorter, base.size(), rest, [] { return success; }, PieceSizes{1000, 0, 1});
    check(fed.ok() && fed.value() == base.size() / 2, "a file that ends early is fed up to its end");
    // Asked between rounds: an interruption stops the scan.
    int rounds = 0;
    FaultySource src(base, Faults{});
    FastaScanner stopped;
    fed = scan_in_pieces(src, base.size(), stopped, [&]() -> Status {
        if (++rounds == 3) return interrupted_error();
        return success;
    }, PieceSizes{64, 0, 1});
    check(!fed.ok() && is_interruption(fed.error()), "an interruption between rounds stops the scan");
}

void read_at_takes_what_is_there() {
    const std::string bytes = "0123456789";
    FaultySource src(bytes, Faults{.most = 3, .eintr_every = 2});
    char out[16] = {};
    auto got = read_at(src, 4, 100, out);
    check(got.ok() && got.value() == 6 && std::string(out, 6) == "456789", "read_at clamps to the size");
    got = read_at(src, 10, 5, out);
    check(got.ok() && got.value() == 0, "read_at at the end reads nothing");
    got = read_at(src, UINT64_MAX - 1, 5, out);
    check(got.ok() && got.value() == 0, "read_at far past the end reads nothing");
}

// ---- Batches ----

struct BatchOutcome {
    std::vector<std::string> seqs;
    std::optional<JobFailure> failure;
};

BatchOutcome run_batch(const Engine& engine, const Genome& g, const std::vector<Region>& regions) {
    BatchOutcome out;
    std::vector<BatchItem> items(regions.size());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const Region& r = regions[i];
        check(plan_batch_item(engine, engine.bytes(), engine.names().find(g.names[r.record]), r.start, r.end, items[i]),
              "plan_batch_item");
        total += items[i].capacity;
    }
    std::string arena(static_cast<std::size_t>(total) + 1, '\0');
    BatchFetch batch(engine, items.data(), items.size(), false);
    std::uint64_t at = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        items[i].out = arena.data() + at;
        at += items[i].capacity;
        batch.publish(i + 1);
    }
    out.failure = batch.finish(
        items.size(), [&](std::size_t i) { return g.names[regions[i].record]; },
        [&](std::size_t i) { return std::pair{regions[i].start, regions[i].end}; });
    for (const BatchItem& item : items) out.seqs.emplace_back(item.out, static_cast<std::size_t>(item.length));
    return out;
}

OpenOptions options_for(const char* name) {
    OpenOptions opt;
    opt.filename = name;
    return opt;
}

void batches_survive_a_slow_misbehaving_source() {
    const Genome g = make_genome(5, 20);
    auto src = std::make_shared<FaultySource>(
        g.text, Faults{.most = 333, .eintr_every = 5, .delay = std::chrono::microseconds(50)});
    auto engine = Engine::over(options_for("fake.fa"), src, g.table);
    const auto regions = random_regions(g, 6, 600);
    BatchOutcome out = run_batch(*engine, g, regions);
    check(!out.failure, "a batch over a slow source with short reads and EINTR fails");
    for (std::size_t i = 0; i < regions.size() && !out.failure; ++i) {
        const Region& r = regions[i];
        check(out.seqs[i] == g.bases[r.record].substr(r.start - 1, r.end - r.start + 1),
              "batch region " + std::to_string(i));
    }
}

void a_batch_reports_its_first_failed_region() {
    const Genome g = make_genome(7, 6);
    const auto regions = random_regions(g, 8, 400);
    // The byte the error sits at: region 150's first. The failure named must be the first region
    // (in input order) whose read meets it, whichever worker met it first. A region is read from
    // its first base through the window the index gives it: its bases, a terminator allowance per
    // line, and one more line.
    const Region& target = regions[150];
    const IndexEntry& e = *g.table.find(g.names[target.record]);
    const std::uint64_t bad = region_position(e, target.start);
    auto src = std::make_shared<FaultySource>(g.text, Faults{.fail_at = bad});
    auto engine = Engine::over(options_for("fake.fa"), src, g.table);
    BatchOutcome out = run_batch(*engine, g, regions);
    std::size_t first = regions.size();
    for (std::size_t i = 0; i < regions.size() && first == regions.size(); ++i) {
        const IndexEntry& ei = *g.table.find(g.names[regions[i].record]);
        const std::uint64_t from = region_position(ei, regions[i].start), n = regions[i].end - regions[i].start + 1;
        const std::uint64_t lines = n / ei.lenc + (n % ei.lenc != 0);
        const std::uint64_t to = std::min<std::uint64_t>(from + n + lines * (ei.lenb - ei.lenc) + ei.lenb, g.text.size());
        if (from <= bad && bad < to) first = i;
    }
    check(out.failure && out.failure->kind == JobFailure::Kind::Item && out.failure->index == first,
          "the batch names region " + std::to_string(first) + ", not " +
              (out.failure ? std::to_string(out.failure->index) : std::string("none")));
    check(out.failure && out.failure->error.display() == "IO error: Input/output error (os error 5)",
          "the batch's error is the source's");
}

// ---- BGZF over a misbehaving source ----

std::string bgzf_of(const std::string& text, std::size_t block) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out, body;
    for (std::size_t at = 0; at < text.size(); at += block) {
        std::string_view part(text.data() + at, std::min(block, text.size() - at));
        fuzz::deflate_body(z, part, body);
        out += fuzz::block_around(body, part);
    }
    deflateEnd(&z);
    return out + std::string(fuzz::EOF_BLOCK);
}

void bgzf_reads_through_a_misbehaving_source() {
    const Genome g = make_genome(9, 30);
    const std::string compressed = bgzf_of(g.text, 5000);
    for (Faults f : {Faults{.most = 17, .eintr_every = 3}, Faults{.most = 1000, .delay = std::chrono::microseconds(20)}}) {
        auto raw = std::make_shared<FaultySource>(compressed, f);
        auto table = scan_block_table("fake.fa.gz", *raw);
        check(table.ok(), "the block table scans through short reads");
        if (!table.ok()) continue;
        auto file = BgzfFile::open("fake.fa.gz", raw, std::move(table.value()));
        check(file.ok() && file.value()->size() == g.text.size(), "the BGZF file opens with its full size");
        if (!file.ok()) continue;
        std::string whole(g.text.size(), '\0');
        auto got = file.value()->read_long(0, whole.size(), whole.data());
        check(got.ok() && whole == g.text, "a long parallel read of the whole file");

        auto engine = Engine::over(options_for("fake.fa.gz"), file.value(), g.table);
        const auto regions = random_regions(g, 10, 500);
        BatchOutcome out = run_batch(*engine, g, regions);
        check(!out.failure, "a BGZF batch through short reads fails");
        for (std::size_t i = 0; i < regions.size() && !out.failure; ++i) {
            const Region& r = regions[i];
            check(out.seqs[i] == g.bases[r.record].substr(r.start - 1, r.end - r.start + 1),
                  "BGZF batch region " + std::to_string(i));
        }
        for (std::size_t i = 0; i < 50; ++i) {
            const Region& r = regions[i];
            auto single = fetch(*engine, g.names[r.record], r.start, r.end);
            check(single.ok() && single.value().seq == g.bases[r.record].substr(r.start - 1, r.end - r.start + 1),
                  "BGZF single fetch " + std::to_string(i));
        }
    }
}

void bgzf_errors_name_the_block_never_give_wrong_bases() {
    const Genome g = make_genome(11, 10);
    const std::string compressed = bgzf_of(g.text, 3000);
    auto clean = std::make_shared<MemorySource>("fake.fa.gz", compressed.data(), compressed.size());
    auto table = scan_block_table("fake.fa.gz", *clean);
    if (!table.ok() || table.value().blocks.size() < 3) return check(false, "a table of at least 3 blocks");
    // An error inside block 2's compressed bytes: every read that needs that block fails; the
    // others read right.
    const BlockTable t = table.value();
    const std::uint64_t bad = t.blocks[2].coffset + 20;
    auto raw = std::make_shared<FaultySource>(compressed, Faults{.most = 500, .fail_at = bad});
    auto file = BgzfFile::open("fake.fa.gz", raw, t);
    if (!file.ok()) return check(false, "the BGZF file opens");
    const std::uint64_t b2 = t.blocks[2].uoffset, b3 = t.blocks[3].uoffset;
    std::string out(g.text.size(), '\0');
    auto before = file.value()->read_some(0, static_cast<std::size_t>(b2), out.data());
    check(before.ok() && before.value() == b2 && out.compare(0, b2, g.text, 0, b2) == 0, "blocks before the bad one");
    auto hit = file.value()->read_some(b2 + 1, 10, out.data());
    check(!hit.ok() && hit.error().display() == "IO error: Input/output error (os error 5)",
          "a read of the bad block fails with the source's error");
    auto after = read_at(*file.value(), b3, g.text.size() - b3, out.data());
    check(after.ok() && out.compare(0, g.text.size() - b3, g.text, b3, std::string::npos) == 0,
          "blocks after the bad one");
}


// ---- Staged reads: what a remote source is told before a job reads ----

void requests_bridge_narrow_gaps_within_the_bytes_bound() {
    std::mt19937 rng(21);
    for (int round = 0; round < 200; ++round) {
        std::vector<ByteSpan> spans;
        std::uint64_t at = rng() % 1000;
        const int n = 1 + static_cast<int>(rng() % 60);
        for (int i = 0; i < n; ++i) {
            const std::uint64_t len = 1 + rng() % 5000;
            spans.push_back({at, at + len});
            at += (rng() % 4 == 0 ? 0 : rng() % 20000) + (rng() % 3 == 0 ? 0 : len);  // overlaps too
        }
        std::sort(spans.begin(), spans.end(), [](const ByteSpan& a, const ByteSpan& b) { return a.begin < b.begin; });
        const std::uint64_t longest = 1 + rng() % 30000, widest = rng() % 8000;
        const auto requests = plan_requests(spans, longest, widest);
        // Every span's bytes are asked for, by requests in order, apart, none longer than `longest`,
        // moving at most 1.25 times the spans' own bytes.
        std::vector<ByteSpan> own;
        for (const ByteSpan& s : spans) {
            if (!own.empty() && s.begin <= own.back().end) own.back().end = std::max(own.back().end, s.end);
            else own.push_back(s);
        }
        std::uint64_t own_bytes = 0, moved = 0;
        for (const ByteSpan& s : own) own_bytes += s.end - s.begin;
        bool ordered = true;
        for (std::size_t i = 0; i < requests.size(); ++i) {
            moved += requests[i].end - requests[i].begin;
            ordered &= requests[i].begin < requests[i].end && requests[i].end - requests[i].begin <= longest;
            if (i) ordered &= requests[i - 1].end <= requests[i].begin;
        }
        check(ordered, "requests are ordered, apart and bounded");
        check(moved <= own_bytes + own_bytes / 4, "requests move at most 1.25 times the spans' bytes");
        bool covered = true;
        for (const ByteSpan& s : own)
            for (std::uint64_t b = s.begin; b < s.end; b += 97) {
                bool in = false;
                for (const ByteSpan& r : requests) in |= r.begin <= b && b < r.end;
                covered &= in;
            }
        check(covered, "every byte of the spans is asked for");
    }
    // Gaps wider than the widest bridged are never bridged; narrow ones are, smallest first.
    const std::vector<ByteSpan> spans{{0, 1000}, {1010, 2000}, {2500, 3500}, {9000, 10000}};
    const auto r = plan_requests(spans, 1 << 20, 1000);
    check(r.size() == 2 && r[0].begin == 0 && r[0].end == 3500 && r[1].begin == 9000, "narrow gaps are bridged");
    const auto cut = plan_requests(std::vector<ByteSpan>{{0, 2500}}, 1000, 0);
    check(cut.size() == 3 && cut[2].begin == 2000 && cut[2].end == 2500, "a long span is cut into requests");
}

// A source that says each read is a round trip: it keeps what it was told to stage and counts
// the reads that fall outside it.
class StagingSource final : public ByteSource {
public:
    explicit StagingSource(std::string bytes) : ByteSource("remote.fa"), bytes_(std::move(bytes)) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool ordered_reads() const override { return true; }
    bool stages_reads() const override { return true; }
    Result<std::size_t> read_some(std::uint64_t offset, std::size_t n, char* out) const override {
        if (offset >= bytes_.size()) return std::size_t{0};
        n = static_cast<std::size_t>(std::min<std::uint64_t>(n, bytes_.size() - offset));
        {
            std::lock_guard lock(mutex_);
            bool inside = false;
            for (const ByteSpan& s : staged_) inside |= s.begin <= offset && offset + n <= s.end;
            if (!inside) ++misses;
        }
        std::memcpy(out, bytes_.data() + offset, n);
        return n;
    }
    struct Held final : StagedReads {
        const StagingSource& source;
        std::vector<ByteSpan> spans;
        Held(const StagingSource& s, std::vector<ByteSpan> v) : source(s), spans(std::move(v)) {}
        ~Held() override {
            std::lock_guard lock(source.mutex_);
            for (const ByteSpan& s : spans)
                for (auto it = source.staged_.begin(); it != source.staged_.end(); ++it)
                    if (it->begin == s.begin && it->end == s.end) {
                        source.staged_.erase(it);
                        break;
                    }
        }
    };
    std::unique_ptr<StagedReads> stage(std::span<const ByteSpan> spans) const override {
        std::lock_guard lock(mutex_);
        // What a live staging holds is not asked for again, as a remote source skips it.
        std::vector<ByteSpan> v;
        for (const ByteSpan& s : spans) {
            bool held = false;
            for (const ByteSpan& h : staged_) held |= h.begin <= s.begin && s.end <= h.end;
            if (!held) v.push_back(s);
        }
        if (v.empty()) return nullptr;
        for (std::size_t i = 0; i < v.size(); ++i) {
            sorted &= v[i].begin < v[i].end && (i == 0 || v[i - 1].end < v[i].begin);
            held_bytes = std::max<std::uint64_t>(held_bytes, v[i].end - v[i].begin);
        }
        staged_.insert(staged_.end(), v.begin(), v.end());
        ++stagings;
        return std::make_unique<Held>(*this, std::move(v));
    }
    mutable std::size_t misses = 0, stagings = 0;
    mutable std::uint64_t held_bytes = 0;
    mutable bool sorted = true;

private:
    std::string bytes_;
    mutable std::mutex mutex_;
    mutable std::vector<ByteSpan> staged_;
};

void batches_read_only_what_they_staged() {
    const Genome g = make_genome(13, 40);
    const auto regions = random_regions(g, 14, 700);
    for (bool compressed : {false, true}) {
        const std::string z = compressed ? bgzf_of(g.text, 4000) : std::string();
        auto raw = std::make_shared<StagingSource>(compressed ? z : g.text);
        std::shared_ptr<const ByteSource> bytes = raw;
        if (compressed) {
            MemorySource plain("scan", z.data(), z.size());
            auto table = scan_block_table("remote.fa.gz", plain);
            auto file = table.ok() ? BgzfFile::open("remote.fa.gz", raw, std::move(table.value()))
                                   : Result<std::shared_ptr<BgzfFile>>(table.error());
            if (!file.ok()) return check(false, "the staged BGZF file opens");
            bytes = file.value();
        }
        auto engine = Engine::over(options_for(compressed ? "remote.fa.gz" : "remote.fa"), bytes, g.table);
        BatchOutcome out = run_batch(*engine, g, regions);
        check(!out.failure, "a staged batch fails");
        for (std::size_t i = 0; i < regions.size() && !out.failure; ++i) {
            const Region& r = regions[i];
            check(out.seqs[i] == g.bases[r.record].substr(r.start - 1, r.end - r.start + 1),
                  "staged batch region " + std::to_string(i));
        }
        check(raw->stagings == 1 && raw->sorted, "the batch staged sorted spans apart, in one round: " +
                                                     std::to_string(raw->stagings));
        check(raw->misses == 0, std::string("every read of a staged batch was staged (") + (compressed ? "BGZF" : "plain") +
                                    "): " + std::to_string(raw->misses) + " were not");
    }
}

}  // namespace

// Names in place and on the heap, either side of the boundary, survive copies, moves and
// assignments from a part of themselves.
void record_names_keep_their_text() {
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, RecordName::IN_PLACE - 1, RecordName::IN_PLACE,
                          RecordName::IN_PLACE + 1, std::size_t{300}}) {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) text += static_cast<char>('a' + i % 26);
        RecordName name(text);
        RecordName copy = name, moved = std::move(copy);
        copy = moved;  // a name moved from takes a new text
        check(name == text && moved == text && copy == text && name.size() == n, "name of " + std::to_string(n));
        RecordName part = moved;
        part.assign(part.view().substr(n / 2));
        check(part == text.substr(n / 2), "name assigned a part of itself, " + std::to_string(n));
        RecordName& same = moved;
        moved = std::move(same);
        check(moved == text, "name moved onto itself, " + std::to_string(n));
        std::vector<RecordName> grown;
        for (int i = 0; i < 100; ++i) grown.push_back(name);
        check(grown.front() == text && grown.back() == text, "names moved as a list grows, " + std::to_string(n));
    }
}

// An index of many entries is written in parts, on the pool, each at its offset: the file holds
// the text format_index gives in one piece.
void large_index_is_written_as_formatted() {
    std::vector<NamedEntry> entries;
    std::mt19937_64 rng(22);
    std::uint64_t offset = 0;
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t len = 1 + rng() % 300;
        std::string name = "read" + std::to_string(i) + std::string(rng() % 60, 'x');
        const std::uint64_t bases = offset + name.size() + 2;
        entries.push_back(NamedEntry{RecordName(name), IndexEntry{len, bases, len, len + 1, bases + len + 3}});
        offset += 2 * len + name.size() + 6;
    }
    char dir[] = "/tmp/sekva-engine-XXXXXX";
    check(::mkdtemp(dir) != nullptr, "a temporary folder");
    const std::string path = std::string(dir) + "/r.fq.fai";
    check(!write_index(path, entries), "write of a large index");
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[1 << 16];
        for (std::size_t got; (got = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, got);
        std::fclose(f);
    }
    check(text == format_index(entries), "a large index written in parts reads as formatted whole");
    std::vector<NamedEntry> back;
    check(!read_index(path, back) && back.size() == entries.size() && back.back().name == entries.back().name,
          "a large index reads back");
    std::remove(path.c_str());
    ::rmdir(dir);
}

// Index lines carry their numbers in decimal at every digit count.
void index_numbers_are_written_in_decimal() {
    std::vector<std::uint64_t> values{0, UINT64_MAX - 1, UINT64_MAX};
    for (std::uint64_t p = 1; p && p <= UINT64_MAX / 10; p *= 10)
        for (std::uint64_t v : {p - 1, p, p + 1, 2 * p - 1}) values.push_back(v);
    std::vector<NamedEntry> entries;
    std::string expected;
    for (std::uint64_t v : values) {
        entries.push_back(NamedEntry{RecordName("r"), IndexEntry{v, v / 3, v / 7, v ^ 1, v == UINT64_MAX ? 5 : v}});
        expected += "r\t" + std::to_string(v) + "\t" + std::to_string(v / 3) + "\t" + std::to_string(v / 7) + "\t" +
                    std::to_string(v ^ 1) + "\t" + std::to_string(v == UINT64_MAX ? 5 : v) + "\n";
    }
    check(format_index(entries) == expected, "index numbers in decimal");
}

int main() {
    index_numbers_are_written_in_decimal();
    record_names_keep_their_text();
    large_index_is_written_as_formatted();
    extraction_survives_short_reads_and_signals();
    extraction_reports_errors_where_they_happen();
    read_at_takes_what_is_there();
    batches_survive_a_slow_misbehaving_source();
    a_batch_reports_its_first_failed_region();
    bgzf_reads_through_a_misbehaving_source();
    bgzf_errors_name_the_block_never_give_wrong_bases();
    requests_bridge_narrow_gaps_within_the_bytes_bound();
    batches_read_only_what_they_staged();
    scans_in_pieces_match_the_scan_in_order();
    if (failures) {
        std::fprintf(stderr, "%d engine checks failed\n", failures);
        return 1;
    }
    std::puts("engine tests passed");
    return 0;
}
