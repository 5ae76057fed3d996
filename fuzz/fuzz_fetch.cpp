// Fuzz target for fetching: a FASTA file and options from the input, opened through
// Engine::open as /proc/self/fd/N of memfd files, then single fetches, whole records, the batch
// workers' single-region path and fetch_batch over arbitrary 64-bit coordinates.
//
// Input layout (fuzz::Input, front to back): an options byte (bit 0 well-formed mode, 1 mutable,
// 2 strict_bounds, 3 sequence_always_upper, 4 as_raw, 5 one_based_attributes, 6 default_seq
// given, 7 shrink the file after opening), a second byte (bit 0 batch reverse-complements, bit 1
// index built from drawn numbers instead of raw text, bit 2 FASTA bytes repeated over three
// pages), default_seq (text of up to 4 bytes), then
//  - lying-index mode: the FASTA bytes (text, up to 4096), the index (raw text, or a few
//    entries of drawn numbers), the shrunk size when bit 7 is set;
//  - well-formed mode: fuzz::well_formed_fasta's draws; the engine builds the index itself;
// and last up to 16 requests: a name choice and two coordinates each.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/bulk/batch.hpp"
#include "engine/fasta/engine.hpp"
#include "engine/fetch/fetch.hpp"
#include "engine/fasta/index_file.hpp"
#include "model.hpp"

namespace {

using namespace sekva;

// Nothing a request asks for may need more than this; larger requests are refused or skipped.
constexpr std::uint64_t LIMIT = 4 << 20;

// Exactly the bytes asked for, so AddressSanitizer sees a write past them; large ones refused.
class Buffer final : public OutputBuffer {
public:
    ~Buffer() override { std::free(data_); }
    char* reserve(std::uint64_t capacity) override {
        FUZZ_CHECK(!reserved, "reserve() called twice for one fetch");
        reserved = true;
        this->capacity = capacity;
        if (capacity > LIMIT) return nullptr;
        data_ = static_cast<char*>(std::malloc(static_cast<std::size_t>(capacity)));
        return data_;
    }
    std::string_view bytes(std::uint64_t n) const { return {data_, static_cast<std::size_t>(n)}; }

    bool reserved = false;
    std::uint64_t capacity = 0;

private:
    char* data_ = nullptr;
};

// A file in memory that the engine opens by path, like any other file.
class MemFile {
public:
    explicit MemFile(std::string_view bytes) : fd(memfd_create("sekva-fuzz", MFD_CLOEXEC)) {
        FUZZ_CHECK(fd >= 0, "memfd_create failed");
        for (std::size_t at = 0; at < bytes.size();) {
            ssize_t put = ::write(fd, bytes.data() + at, bytes.size() - at);
            FUZZ_CHECK(put > 0, "writing a memfd failed");
            at += static_cast<std::size_t>(put);
        }
    }
    ~MemFile() { ::close(fd); }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd); }
    std::string contents() const {
        std::string out(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
        FUZZ_CHECK(::pread(fd, out.data(), out.size(), 0) == static_cast<ssize_t>(out.size()), "reading a memfd failed");
        return out;
    }
    const int fd;
};

struct Request {
    std::string name;
    std::uint64_t start, end;
};

// What the bounds rules make of a request: bases s..e to extract, nothing, or a refusal.
struct Expected {
    enum class Kind { NotFound, Refused, Empty, Extract } kind;
    std::uint64_t s = 0, e = 0;
};

bool strict_violation(std::uint64_t len, std::uint64_t start, std::uint64_t end) {
    return start == 0 || end == 0 || start > len || end > len || start > end;
}

// fetch_into: lenient requests are clamped to the record, with nothing left for a start past its
// end, a zero, or an inverted range.
Expected fetch_rules(const IndexEntry* entry, bool strict, std::uint64_t start, std::uint64_t end) {
    using K = Expected::Kind;
    if (!entry) return {K::NotFound};
    const std::uint64_t len = entry->rlen;
    if (strict) return strict_violation(len, start, end) ? Expected{K::Refused} : Expected{K::Extract, start, end};
    if (start > len) return {K::Empty};
    std::uint64_t s = std::min(start, len), e = std::min(end, len);
    if (s == 0 || e == 0 || e < s) return {K::Empty};
    return {K::Extract, s, e};
}

// plan_region: lenient requests treat 0 as 1 before clamping.
Expected plan_rules(const IndexEntry* entry, bool strict, std::uint64_t start, std::uint64_t end) {
    using K = Expected::Kind;
    if (!entry) return {K::NotFound};
    const std::uint64_t len = entry->rlen;
    if (strict) return strict_violation(len, start, end) ? Expected{K::Refused} : Expected{K::Extract, start, end};
    std::uint64_t s = std::min(len, std::max<std::uint64_t>(start, 1));
    std::uint64_t e = std::min(len, std::max<std::uint64_t>(end, 1));
    if (std::max<std::uint64_t>(end, 1) < s) return {K::Empty};
    return {K::Extract, s, e};
}

// Where the index puts base p, or nothing when that is past 2^64.
std::optional<std::uint64_t> base_offset(const IndexEntry& e, std::uint64_t p) {
    if (e.lenc == 0 || p == 0) return std::nullopt;
    unsigned __int128 at = static_cast<unsigned __int128>(e.offset) + (p - 1) % e.lenc +
                           static_cast<unsigned __int128>((p - 1) / e.lenc) * e.lenb;
    if (at > UINT64_MAX) return std::nullopt;
    return static_cast<std::uint64_t>(at);
}

struct Case {
    explicit Case(const Engine& e) : engine(e) {}
    const Engine& engine;
    std::vector<std::string> names;    // sorted, so a draw picks the same name on every run
    std::array<bool, 256> allowed{};   // bytes a result may hold: the file's, default_seq's
    const std::map<std::string, std::string>* truth = nullptr;  // bases per name, when known
    bool reverse_complement = false;

    const OpenOptions& opt() const { return engine.options(); }
    std::string request_text(const Request& r) const {
        return fuzz::shown(r.name, 40, false) + ":" + std::to_string(r.start) + "-" + std::to_string(r.end);
    }
    // Bases s..e of a record as a fetch must return them.
    std::string truth_of(const std::string& name, std::uint64_t s, std::uint64_t e) const {
        std::string bases = truth->at(name).substr(s - 1, e - s + 1);
        return opt().sequence_always_upper ? fuzz::model_upper(bases) : bases;
    }
    // A record no byte of which can lie at a file offset: pread cannot reach 2^63 and more, so the
    // descriptor path must report an error rather than return nothing.
    bool unreadable(const IndexEntry& e, std::uint64_t p, std::uint64_t n) const {
        if (!opt().is_mutable || n == 0 || e.rlen == 0) return false;
        auto at = base_offset(e, p);
        return at && *at > static_cast<std::uint64_t>(INT64_MAX);
    }
};

void check_bytes(const Case& c, std::string_view out, bool ascii, const char* path, const Request& r) {
    for (char ch : out) {
        auto b = static_cast<unsigned char>(ch);
        FUZZ_CHECK(b != '\n' && b != '\r', std::string(path) + " returned a line break for " + c.request_text(r) +
                                               ": " + fuzz::shown(out));
        FUZZ_CHECK(c.allowed[b], std::string(path) + " returned a byte that is not in the file for " +
                                     c.request_text(r) + ": " + fuzz::shown(out));
        FUZZ_CHECK(!ascii || b < 0x80, std::string(path) + " called non-ASCII bytes ASCII: " + fuzz::shown(out));
    }
}

void check_fetch_into(const Case& c, const Request& r) {
    const IndexEntry* entry = c.engine.names().find(r.name);
    Expected want = fetch_rules(entry, c.opt().strict_bounds, r.start, r.end);
    Buffer buf;
    auto got = fetch_into(c.engine, r.name, r.start, r.end, buf);
    const std::string where = "fetch_into " + c.request_text(r);
    if (!got.ok()) {
        const FetchFailure& f = got.error();
        switch (want.kind) {
            case Expected::Kind::NotFound:
                FUZZ_CHECK(f.kind == FetchFailure::Kind::Engine && f.error.kind == ErrorKind::Fetch, where);
                return;
            case Expected::Kind::Refused:
                FUZZ_CHECK(f.kind == FetchFailure::Kind::Bounds, where + ": wrong failure for a strict violation");
                return;
            case Expected::Kind::Empty:
                FUZZ_CHECK(false, where + ": failed where nothing was to be read");
                return;
            case Expected::Kind::Extract:
                FUZZ_CHECK(f.kind == FetchFailure::Kind::NoMemory ||
                               (f.kind == FetchFailure::Kind::Engine && f.error.kind == ErrorKind::Io),
                           where + ": failed with " + f.error.display() + f.message);
                FUZZ_CHECK(!c.truth || f.kind == FetchFailure::Kind::NoMemory,
                           where + ": a well-formed file failed with " + f.error.display());
                return;
        }
    }
    const FetchedRegion& region = got.value();
    FUZZ_CHECK(want.kind == Expected::Kind::Empty || want.kind == Expected::Kind::Extract,
               where + ": a fetch that must fail returned " + std::to_string(region.length) + " bytes");
    if (want.kind == Expected::Kind::Empty) {
        FUZZ_CHECK(region.length == 0, where + ": bases for an empty region");
        return;
    }
    FUZZ_CHECK(buf.reserved && region.length <= buf.capacity,
               where + ": " + std::to_string(region.length) + " bytes, room for " + std::to_string(buf.capacity));
    std::string_view out = buf.bytes(region.length);
    check_bytes(c, out, region.ascii, "fetch_into", r);
    std::uint64_t n = want.e - want.s + 1;
    std::uint64_t fill = c.opt().default_seq ? std::max<std::size_t>(c.opt().default_seq->size(), 1) : 1;
    FUZZ_CHECK(region.length <= static_cast<unsigned __int128>(n) * fill,
               where + ": longer than the bases asked for, padded");
    FUZZ_CHECK(!c.unreadable(*entry, want.s, n), where + ": a region past the largest file offset read as " +
                                                     fuzz::shown(out) + " instead of failing");
    if (c.truth) {
        std::string expected = c.truth_of(r.name, want.s, want.e);
        FUZZ_CHECK(out == expected, where + ": got " + fuzz::shown(out) + ", the file holds " + fuzz::shown(expected));
    }
}

void check_entire(const Case& c, const Request& r) {
    const IndexEntry* entry = c.engine.names().find(r.name);
    Buffer buf;
    auto got = fetch_entire_into(c.engine, r.name, buf);
    const std::string where = "fetch_entire_into " + fuzz::shown(r.name);
    if (!got.ok()) {
        const FetchFailure& f = got.error();
        if (!entry) {
            FUZZ_CHECK(f.kind == FetchFailure::Kind::Engine && f.error.kind == ErrorKind::Fetch, where);
            return;
        }
        FUZZ_CHECK(f.kind == FetchFailure::Kind::NoMemory ||
                       (f.kind == FetchFailure::Kind::Engine && f.error.kind == ErrorKind::Io),
                   where + ": failed with " + f.error.display());
        FUZZ_CHECK(!c.truth, where + ": a well-formed file failed with " + f.error.display());
        return;
    }
    FUZZ_CHECK(entry, where + ": an unknown name was fetched");
    const FetchedRegion& region = got.value();
    FUZZ_CHECK(buf.reserved && region.length <= buf.capacity && region.length <= entry->rlen,
               where + ": " + std::to_string(region.length) + " bytes, room for " + std::to_string(buf.capacity));
    std::string_view out = buf.bytes(region.length);
    check_bytes(c, out, region.ascii, "fetch_entire_into", r);
    FUZZ_CHECK(!c.unreadable(*entry, 1, entry->rlen), where + ": a record past the largest file offset read as " +
                                                          fuzz::shown(out) + " instead of failing");
    if (c.truth) {
        std::string expected = c.truth_of(r.name, 1, entry->rlen);
        FUZZ_CHECK(out == expected, where + ": got " + fuzz::shown(out) + ", the file holds " + fuzz::shown(expected));
    }
}

// The batch workers' path for one region, as fetch_batch runs it.
struct Single {
    RegionPlan plan;
    bool fits = true;           // padded_capacity found room
    std::uint64_t room = 0;
    std::optional<std::string> bases;  // when extraction succeeded
    std::optional<FaidxError> error;   // when it failed
};

Single check_single(const Case& c, const Request& r) {
    Single one;
    const IndexEntry* entry = c.engine.names().find(r.name);
    one.plan = plan_region(c.engine, entry, r.start, r.end);
    const std::string where = "plan_region/fetch_planned " + c.request_text(r);
    Expected want = plan_rules(entry, c.opt().strict_bounds, r.start, r.end);
    using K = RegionPlan::Kind;
    switch (want.kind) {
        case Expected::Kind::NotFound:
        case Expected::Kind::Refused:
            FUZZ_CHECK(one.plan.kind == K::Error, where + ": not planned as an error");
            return one;
        case Expected::Kind::Empty:
            FUZZ_CHECK(one.plan.kind == K::Empty, where + ": not planned as empty");
            return one;
        case Expected::Kind::Extract:
            // A record of no bases is planned as one base at position 0; padding then gives one
            // default_seq, which fetch_into never does. Only the lengths below are checked for it.
            if (entry->rlen != 0)
                FUZZ_CHECK(one.plan.kind == K::Extract && one.plan.s == want.s && one.plan.e == want.e &&
                               one.plan.n == want.e - want.s + 1,
                           where + ": planned as " + std::to_string(one.plan.s) + "-" + std::to_string(one.plan.e));
            if (one.plan.kind != K::Extract) return one;
            break;
    }
    const Reader src = c.engine.reader();
    one.fits = padded_capacity(c.opt(), extraction_capacity(*src.bytes, *entry, one.plan.s, one.plan.n), one.plan.n, one.room);
    if (!one.fits || one.room > LIMIT) return one;
    char* out = static_cast<char*>(std::malloc(static_cast<std::size_t>(one.room)));
    bool ascii = false;
    auto got = fetch_planned(c.opt(), one.plan, src, out, one.room, ascii);
    if (!got.ok()) {
        std::free(out);
        FUZZ_CHECK(got.error().kind == ErrorKind::Io, where + ": failed with " + got.error().display());
        FUZZ_CHECK(!c.truth, where + ": a well-formed file failed with " + got.error().display());
        one.error = got.error();
        return one;
    }
    std::string bases(out, static_cast<std::size_t>(std::min(got.value(), one.room)));
    std::free(out);
    FUZZ_CHECK(got.value() <= one.room, where + ": " + std::to_string(got.value()) + " bytes, room for " +
                                            std::to_string(one.room));
    check_bytes(c, bases, ascii, "fetch_planned", r);
    FUZZ_CHECK(!c.unreadable(*entry, one.plan.s, one.plan.n),
               where + ": a region past the largest file offset read as " + fuzz::shown(bases) + " instead of failing");
    if (c.truth && entry->rlen != 0) {
        std::string expected = c.truth_of(r.name, want.s, want.e);
        FUZZ_CHECK(bases == expected, where + ": got " + fuzz::shown(bases) + ", the file holds " + fuzz::shown(expected));
    }
    one.bases = std::move(bases);
    return one;
}

// A batch (BatchFetch over planned items) must agree with the single-region path, region by region.
void check_batch(const Case& c, const std::vector<Request>& requests, const std::vector<Single>& singles) {
    std::vector<BatchItem> items(requests.size());
    std::uint64_t total = 0;
    std::size_t limit = requests.size();
    const Reader src = c.engine.reader();
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const Request& r = requests[i];
        if (!plan_batch_item(c.engine, *src.bytes, c.engine.names().find(r.name), r.start, r.end, items[i])) {
            FUZZ_CHECK(!singles[i].fits, "plan_batch_item: no room for a region the single path fits");
            return;
        }
        if (items[i].plan.kind == RegionPlan::Kind::Error) {
            limit = i + 1;
            break;
        }
        if (__builtin_add_overflow(total, items[i].capacity, &total) || total > LIMIT) return;  // too large to run here
    }
    std::vector<char> arena(static_cast<std::size_t>(total) + 1);
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < limit; ++i) {
        items[i].out = arena.data() + offset;
        offset += items[i].capacity;
    }
    BatchFetch fetch(c.engine, items.data(), requests.size(), c.reverse_complement);
    fetch.publish(limit / 2);
    auto failure = fetch.finish(limit, [&](std::size_t i) { return std::string_view(requests[i].name); },
                                [&](std::size_t i) { return std::pair(requests[i].start, requests[i].end); });
    std::size_t first_failure = singles.size();
    for (std::size_t i = 0; i < singles.size(); ++i)
        if (singles[i].plan.kind == RegionPlan::Kind::Error || singles[i].error) {
            first_failure = i;
            break;
        }
    if (failure) {
        FUZZ_CHECK(failure->kind == JobFailure::Kind::Item, "batch failed: " + failure->error.display() + failure->message);
        FUZZ_CHECK(failure->index == first_failure, "batch failed at region " + std::to_string(failure->index) +
                                                           ", the first failing region is " + std::to_string(first_failure));
        return;
    }
    FUZZ_CHECK(first_failure == singles.size(),
               "batch succeeded though region " + std::to_string(first_failure) + " fails on its own");
    for (std::size_t i = 0; i < singles.size(); ++i) {
        const BatchItem& item = items[i];
        const std::string where = "batch region " + std::to_string(i) + " " + c.request_text(requests[i]);
        if (singles[i].plan.kind != RegionPlan::Kind::Extract) {
            FUZZ_CHECK(item.length == 0, where + ": bases for an empty region");
            continue;
        }
        FUZZ_CHECK(item.length <= item.capacity && item.capacity == singles[i].room, where + ": bases outside their room");
        std::string_view bases(item.out, static_cast<std::size_t>(item.length));
        std::string expected = *singles[i].bases;
        bool ascii = std::all_of(expected.begin(), expected.end(), [](char ch) { return !(ch & 0x80); });
        if (c.reverse_complement && ascii) expected = fuzz::model_reverse_complement(expected);
        FUZZ_CHECK(bases == expected, where + ": got " + fuzz::shown(bases) + ", alone it gives " + fuzz::shown(expected));
        FUZZ_CHECK(!item.ascii || ascii, where + ": non-ASCII bytes called ASCII");
    }
}

// Coordinates near the edges of the record and of the 64-bit range, or anywhere.
std::uint64_t coordinate(fuzz::Input& in, std::uint64_t rlen) {
    switch (in.byte() % 16) {
        case 0: return 0;
        case 1: return 1;
        case 2: return 2;
        case 3: return rlen ? rlen - 1 : 0;
        case 4: return rlen;
        case 5: return rlen + 1;
        case 6: return static_cast<std::uint64_t>(INT64_MAX);
        case 7: return static_cast<std::uint64_t>(INT64_MAX) + 1;
        case 8: return UINT64_MAX;
        case 9: return UINT64_MAX - in.byte();
        case 14: return in.byte();
        case 15: return in.u64();
        default: return 1 + in.below(rlen + (rlen < UINT64_MAX));
    }
}

// Index numbers near the file size and the 64-bit edges.
std::uint64_t index_number(fuzz::Input& in, std::uint64_t file_size) {
    switch (in.byte() % 12) {
        case 0: return in.byte() % 8;
        case 1: return file_size;
        case 2: return file_size + 1 + in.byte();
        case 3: return std::uint64_t{1} << 32;
        case 4: return std::uint64_t{1} << 40;
        case 5: return static_cast<std::uint64_t>(INT64_MAX);
        case 6: return static_cast<std::uint64_t>(INT64_MAX) + 1 + in.byte();
        case 7: return UINT64_MAX - in.byte();
        case 8: return in.u64();
        default: return in.below(file_size + 1);
    }
}

void run_requests(Case& c, fuzz::Input& in) {
    std::vector<Request> requests;
    std::size_t count = in.below(17);
    for (std::size_t i = 0; i < count; ++i) {
        Request r;
        std::uint8_t pick = in.byte();
        r.name = pick < 0xF0 && !c.names.empty() ? c.names[pick % c.names.size()] : in.text(4);
        const IndexEntry* entry = c.engine.names().find(r.name);
        std::uint64_t rlen = entry ? entry->rlen : 0;
        r.start = coordinate(in, rlen);
        r.end = coordinate(in, rlen);
        requests.push_back(std::move(r));
    }
    std::vector<Single> singles;
    for (const Request& r : requests) {
        check_fetch_into(c, r);
        check_entire(c, r);
        singles.push_back(check_single(c, r));
    }
    check_batch(c, requests, singles);
}

void allow(Case& c, std::string_view bytes) {
    for (char ch : bytes) {
        auto b = static_cast<unsigned char>(ch);
        c.allowed[b] = true;
        if (c.opt().sequence_always_upper && b >= 'a' && b <= 'z') c.allowed[b - 'a' + 'A'] = true;
    }
}

// A FASTA file and an index that may lie about it: huge offsets, lengths and line widths.
void lying_index(fuzz::Input& in, OpenOptions opt, std::uint8_t more, bool shrink) {
    std::string fasta = in.text(4096);
    // Past one page, a shrunk mapped file faults instead of reading zeros: both must be handled.
    if ((more & 4) && !fasta.empty())
        while (fasta.size() < 3 * 4096) fasta += fasta.substr(0, 3 * 4096 - fasta.size());
    std::string index;
    if (more & 2) {
        std::size_t entries = in.below(5);
        for (std::size_t i = 0; i < entries; ++i) {
            index += in.flag() ? std::string(1, static_cast<char>('a' + in.below(4))) : in.text(6);
            for (int k = 0; k < 4; ++k) index += "\t" + std::to_string(index_number(in, fasta.size()));
            index += "\n";
        }
    } else {
        index = in.text(512);
    }
    MemFile fa(fasta), fai(index);
    opt.filename = fa.path();
    opt.indexname = fai.path();
    opt.build_index = false;
    auto opened = Engine::open(opt);
    if (!opened.ok()) {
        ErrorKind kind = opened.error().kind;
        FUZZ_CHECK(kind == ErrorKind::Io || kind == ErrorKind::Indexing, "open failed: " + opened.error().display());
        return;
    }
    // A file that shrinks after it was opened: what is gone must not come back as bytes.
    if (shrink) {
        std::size_t keep = static_cast<std::size_t>(in.below(fasta.size() + 1));
        FUZZ_CHECK(::ftruncate(fa.fd, static_cast<off_t>(keep)) == 0, "ftruncate failed");
        fasta.resize(keep);
    }
    Case c(*opened.value());
    for (std::string_view name : c.engine.names().keys()) c.names.emplace_back(name);
    std::sort(c.names.begin(), c.names.end());
    allow(c, fasta);
    if (opt.default_seq) allow(c, *opt.default_seq);
    c.reverse_complement = more & 1;
    run_requests(c, in);
}

// A well-formed file whose index the engine builds: every fetch gives the file's own bases.
void well_formed_file(fuzz::Input& in, OpenOptions opt, std::uint8_t more) {
    fuzz::WellFormed w = fuzz::well_formed_fasta(in);
    std::vector<fuzz::ModelRecord> model = fuzz::checked_model(w);
    MemFile fa(w.text), fai("");
    // An index older than the FASTA file is rebuilt; it is written in place (no rename in /proc).
    const struct timespec old[2] = {{1, 0}, {1, 0}};
    FUZZ_CHECK(::futimens(fai.fd, old) == 0, "futimens failed");
    opt.filename = fa.path();
    opt.indexname = fai.path();
    opt.build_index = opt.rebuild = true;
    auto opened = Engine::open(opt);
    // Text of no record but a preamble has no line starting with '>' and is refused; an empty file
    // is an empty genome.
    if (!opened.ok() && model.empty() && !w.text.empty() && opened.error().kind == ErrorKind::Indexing) return;
    FUZZ_CHECK(opened.ok(), "a well-formed file did not open: " + opened.error().display() + " " + fuzz::shown(w.text));
    std::vector<NamedEntry> entries;
    std::map<std::string, std::string> truth;
    for (const auto& m : model) {
        entries.push_back({m.name, m.entry});
        truth[m.name] = m.bases;  // a repeated name is the later record
    }
    std::string written = fai.contents(), expected = format_index(entries);
    FUZZ_CHECK(written == expected, "index written as " + fuzz::shown(written) + ", model has " + fuzz::shown(expected));

    Case c(*opened.value());
    for (const auto& [name, bases] : truth) c.names.push_back(name);
    c.truth = &truth;
    allow(c, w.text);
    if (opt.default_seq) allow(c, *opt.default_seq);
    c.reverse_complement = more & 1;
    run_requests(c, in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    std::uint8_t flags = in.byte(), more = in.byte();
    OpenOptions opt;
    opt.is_mutable = flags & 2;
    opt.strict_bounds = flags & 4;
    opt.sequence_always_upper = flags & 8;
    opt.as_raw = flags & 16;
    opt.one_based_attributes = flags & 32;
    std::string fill = in.text(4);
    // A line break in default_seq would be the caller's own; the engine adds none.
    std::erase_if(fill, [](char ch) { return ch == '\n' || ch == '\r'; });
    if (flags & 64) opt.default_seq = fill;
    if (flags & 1)
        well_formed_file(in, opt, more);
    else
        lying_index(in, opt, more, flags & 128);
    return 0;
}
