// Fuzz target for whole BGZF files opened through Engine::open: FASTA text cut into blocks of drawn
// sizes and compression levels (stored and empty blocks among them), maybe damaged or cut, beside
// a .gzi that is right, missing, stale, damaged, shifted or another layout's, and a .fai that is
// given or built. Every read and every fetch path either fails with an Io error or gives exactly
// the bytes zlib's own decompression of the same file gives (the text written, where zlib stops at
// damage the engine may read around with a .gzi).
//
// Input layout (fuzz::Input, front to back): a flags byte (bits 0-2 the .gzi: right, missing,
// stale, damaged, shifted, another layout's, drawn bytes, empty; bit 3 a .fai is given; bit 4
// build_index; bit 5 rebuild; bit 6 no end-of-file marker; bit 7 damage), a second byte (bit 0
// the file shrinks after opening, bit 1 batch reverse-complements), fuzz::well_formed_fasta's
// draws, the block layout (a block size, then one byte per block: level, size and a leading empty
// block), the .gzi's own draws, up to three damages, and last the requests.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/bulk/array_fill.hpp"
#include "engine/bulk/batch.hpp"
#include "engine/codec/bgzf.hpp"
#include "engine/fasta/engine.hpp"
#include "engine/bulk/fasta_text.hpp"
#include "engine/fetch/fetch.hpp"
#include "engine/codec/gzi_file.hpp"
#include "engine/fasta/index_file.hpp"
#include "engine/fasta/name_table.hpp"
#include "bgzf_writer.hpp"
#include "model.hpp"

namespace {

using namespace sekva;

// `level` 0-9 is zlib's; 10 and above is one stored deflate block. Empty when it does not fit.
std::string make_block(std::string_view data, int level) {
    if (level > 9) return data.size() > 0xFFFF ? std::string() : fuzz::block_around(fuzz::stored_body(data), data);
    z_stream z{};
    FUZZ_CHECK(deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK, "deflateInit2 failed");
    std::string body;
    const bool deflated = fuzz::deflate_body(z, data, body);
    deflateEnd(&z);
    FUZZ_CHECK(deflated, "deflate did not finish");
    return fuzz::block_around(body, data);
}

const std::string& eof_marker() {
    static const std::string marker = make_block("", 6);
    return marker;
}

struct Layout {
    std::string bytes;
    std::vector<BlockStart> data_blocks;  // blocks that hold data
    std::vector<std::uint64_t> all_blocks;  // every block's compressed offset
};

// The text in blocks of drawn sizes and levels, with empty blocks among them.
Layout make_layout(std::string_view text, fuzz::Input& in, bool eof) {
    Layout out;
    // Not smaller than this by default: an input that runs out would cut the text byte by byte.
    const std::uint64_t unit = 64 + (in.flag() ? in.below(BGZF_MAX_BLOCK - 64) : in.below(2048));
    std::uint64_t u = 0;
    while (u < text.size()) {
        const std::uint8_t draw = in.byte();
        if ((draw >> 4 & 3) == 3) {
            out.all_blocks.push_back(out.bytes.size());
            out.bytes += make_block("", (draw & 1) ? 10 : 6);
        }
        std::uint64_t size = unit;
        switch (draw >> 6) {
            case 1: size = unit / 2 + 1; break;
            case 2: size = 1 + in.byte(); break;
            case 3: size = BGZF_MAX_BLOCK; break;
        }
        size = std::min<std::uint64_t>(size, text.size() - u);
        std::string block;
        // Incompressible text at level 0 does not fit a full-size block: smaller ones then.
        while ((block = make_block(text.substr(u, size), draw & 15)).empty()) size = size / 2 + 1;
        out.all_blocks.push_back(out.bytes.size());
        out.data_blocks.push_back({out.bytes.size(), u});
        out.bytes += block;
        u += size;
    }
    if (eof) {
        out.all_blocks.push_back(out.bytes.size());
        out.bytes += eof_marker();
    }
    return out;
}

std::string gzi_of(const Layout& layout, std::uint64_t usize) {
    BlockTable table;
    table.blocks = layout.data_blocks;
    table.usize = usize;
    return format_gzi(table);
}

// zlib's decompression of the whole file as gzip members one after another, with their CRCs and
// sizes checked: `whole` says whether it reached the end of the file without a fault.
struct Inflated {
    std::string text;
    bool whole = false;
};

Inflated zlib_inflate(std::string_view file) {
    Inflated out;
    z_stream z{};
    FUZZ_CHECK(inflateInit2(&z, 15 + 16) == Z_OK, "inflateInit2 failed");
    std::size_t at = 0;
    std::string member;
    char buffer[1 << 16];
    bool fault = false;
    while (at < file.size() && !fault) {
        inflateReset(&z);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(file.data() + at));
        z.avail_in = static_cast<uInt>(file.size() - at);
        member.clear();
        for (;;) {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            int r = inflate(&z, Z_NO_FLUSH);
            member.append(buffer, sizeof buffer - z.avail_out);
            if (r == Z_STREAM_END) break;
            if (r != Z_OK) {  // a fault, or the file ends inside the member (Z_BUF_ERROR)
                fault = true;
                break;
            }
        }
        if (fault) break;
        at = file.size() - z.avail_in;
        out.text += member;
    }
    inflateEnd(&z);
    out.whole = !fault;
    return out;
}

// The per-process directory the files are written in (memory-backed where there is one), removed
// with what is in it when the process exits.
struct WorkDir {
    std::string path;
    WorkDir() {
        char shm[] = "/dev/shm/sekva-fuzz-bgzf.XXXXXX", tmp[] = "/tmp/sekva-fuzz-bgzf.XXXXXX";
        const char* made = ::mkdtemp(shm);
        if (!made) made = ::mkdtemp(tmp);
        FUZZ_CHECK(made, "mkdtemp failed");
        path = made;
    }
    ~WorkDir() {
        for (const char* name : {"/g.fa.gz", "/g.fa.gz.gzi", "/g.fa.gz.fai"}) ::unlink((path + name).c_str());
        ::rmdir(path.c_str());
    }
};

const std::string& work_dir() {
    static const WorkDir dir;
    return dir.path;
}

void write_file(const std::string& path, std::string_view bytes, std::int64_t mtime) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0, "cannot create " + path);
    for (std::size_t at = 0; at < bytes.size();) {
        ssize_t put = ::write(fd, bytes.data() + at, bytes.size() - at);
        FUZZ_CHECK(put > 0, "cannot write " + path);
        at += static_cast<std::size_t>(put);
    }
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    FUZZ_CHECK(::futimens(fd, times) == 0, "futimens failed");
    ::close(fd);
}

// What every successful read is held to.
struct Truth {
    std::string data;                           // the decompressed bytes
    std::map<std::string, std::string> bases;   // per record name, a later record winning
    std::map<std::string, IndexEntry> entries;  // as an index of `data` holds them
};

Truth truth_of(std::string data) {
    Truth t;
    for (auto& r : fuzz::model_fasta(data)) {
        t.bases[r.name] = r.bases;
        t.entries[r.name] = r.entry;
    }
    t.data = std::move(data);
    return t;
}

bool same_entry(const IndexEntry& a, const IndexEntry& b) {
    return a.rlen == b.rlen && a.offset == b.offset && (a.rlen == 0 || (a.lenc == b.lenc && a.lenb == b.lenb));
}

class Buffer final : public OutputBuffer {
public:
    char* reserve(std::uint64_t capacity) override {
        data.assign(static_cast<std::size_t>(std::min<std::uint64_t>(capacity, 1 << 22)), '\0');
        return capacity > (1 << 22) ? nullptr : data.data();
    }
    std::string data;
};

struct Checker {
    const Engine& engine;
    const Truth& truth;
    bool must_work;  // nothing may fail: an intact file that still has its bytes

    void failed(const FaidxError& e, const std::string& where) const {
        FUZZ_CHECK(e.kind == ErrorKind::Io, where + " failed with " + e.display());
        FUZZ_CHECK(!must_work, where + " failed on an intact file: " + e.display());
    }
    void same(std::string_view got, std::string_view want, const std::string& where) const {
        FUZZ_CHECK(got == want, where + " gave " + fuzz::shown(got) + ", zlib's decompression holds " + fuzz::shown(want));
    }

    // Reads of the uncompressed data itself, whole and in parts, through every reader.
    void reads(fuzz::Input& in) const {
        const BgzfFile& f = *engine.bgzf();
        std::string out(static_cast<std::size_t>(f.size()), '\0');
        auto whole = f.read_parallel(0, f.size(), out.data());
        if (whole.ok()) {
            // Where zlib stopped at damage, the engine may only have read around it to the text written.
            same(out, truth.data, "the whole read");
        } else {
            failed(whole.error(), "the whole read");
        }
        BgzfCursor cursor(f);
        for (std::size_t k = 0, n = in.below(6); k < n; ++k) {
            std::uint64_t at = in.below(f.size() + 2), len = in.below(in.flag() ? 200000 : 300);
            std::uint64_t expect = at >= f.size() ? 0 : std::min(len, f.size() - at);
            std::string part(static_cast<std::size_t>(expect) + 1, '\0');
            const int how = in.below(4);
            Result<std::uint64_t> got = std::uint64_t{0};
            if (how == 3) {
                auto view = cursor.view(at, len);
                if (view.ok()) got = std::uint64_t{view.value().size()}, part.assign(view.value());
                else got = view.error();
            } else {
                got = how == 0 ? f.read(at, len, part.data())
                               : how == 1 ? f.read_parallel(at, len, part.data()) : cursor.read(at, len, part.data());
            }
            const std::string where = "read " + std::to_string(how) + " of " + std::to_string(len) + " bytes at " +
                                      std::to_string(at);
            if (!got.ok()) {
                failed(got.error(), where);
                continue;
            }
            FUZZ_CHECK(got.value() == expect, where + ": " + std::to_string(got.value()) + " bytes");
            if (!expect) continue;
            FUZZ_CHECK(at + expect <= truth.data.size(), where + ": bytes past the end of zlib's decompression");
            same(std::string_view(part.data(), static_cast<std::size_t>(expect)),
                 std::string_view(truth.data).substr(static_cast<std::size_t>(at), static_cast<std::size_t>(expect)),
                 where);
        }
    }

    // The index must be the one of the data, unless the data cannot be read in full.
    bool index_is_the_data() const {
        for (std::string_view name : engine.names().keys()) {
            auto it = truth.entries.find(std::string(name));
            if (it == truth.entries.end() || !same_entry(*engine.names().find(name), it->second)) return false;
        }
        return engine.names().size() == truth.entries.size();
    }

    void fetches(fuzz::Input& in, bool reverse_batch) const {
        std::vector<std::string> names;
        for (const auto& [name, bases] : truth.bases) names.push_back(name);
        if (names.empty()) return;
        struct Request {
            std::string name;
            std::uint64_t s, e;
        };
        std::vector<Request> requests;
        for (std::size_t k = 0, n = 1 + in.below(12); k < n; ++k) {
            const std::string& name = names[in.below(names.size())];
            const std::uint64_t len = truth.bases.at(name).size();
            if (len == 0) continue;
            std::uint64_t s = 1 + in.below(len), e = s + in.below(len - s + 1);
            requests.push_back({name, s, e});
        }
        auto want = [&](const Request& r) { return truth.bases.at(r.name).substr(r.s - 1, r.e - r.s + 1); };
        std::vector<BatchItem> items(requests.size());
        std::uint64_t total = 0;
        const Reader src = engine.reader();
        for (std::size_t i = 0; i < requests.size(); ++i) {
            const Request& r = requests[i];
            const std::string where = r.name + ":" + std::to_string(r.s) + "-" + std::to_string(r.e);
            Buffer buf;
            auto got = fetch_into(engine, r.name, r.s, r.e, buf);
            if (got.ok()) same(buf.data.substr(0, got.value().length), want(r), "fetch_into " + where);
            else failed(got.error().error, "fetch_into " + where);

            Buffer whole;
            auto entire = fetch_entire_into(engine, r.name, whole);
            if (entire.ok()) same(whole.data.substr(0, entire.value().length), truth.bases.at(r.name), "fetch_entire_into");
            else failed(entire.error().error, "fetch_entire_into " + r.name);

            const IndexEntry* entry = engine.names().find(r.name);
            RegionPlan plan = plan_region(engine, entry, r.s, r.e);
            FUZZ_CHECK(plan.kind == RegionPlan::Kind::Extract, "plan_region " + where);
            std::uint64_t room;
            FUZZ_CHECK(padded_capacity(engine.options(), extraction_capacity(*src.bytes, *entry, plan.s, plan.n), plan.n, room),
                       "padded_capacity " + where);
            std::string out(static_cast<std::size_t>(room) + 1, '\0');
            bool ascii = false;
            auto single = fetch_planned(engine.options(), plan, src, out.data(), room, ascii);
            if (single.ok()) same(out.substr(0, single.value()), want(r), "fetch_planned " + where);
            else failed(single.error(), "fetch_planned " + where);

            FUZZ_CHECK(plan_batch_item(engine, *src.bytes, entry, r.s, r.e, items[i]), "plan_batch_item " + where);
            total += items[i].capacity;
        }

        // The batch workers, through their cursors.
        std::string arena(static_cast<std::size_t>(total) + 1, '\0');
        for (std::size_t i = 0, at = 0; i < items.size(); at += static_cast<std::size_t>(items[i].capacity), ++i)
            items[i].out = arena.data() + at;
        BatchFetch batch(engine, items.data(), items.size(), reverse_batch);
        batch.publish(items.size());
        auto failure = batch.finish(items.size(), [&](std::size_t i) { return std::string_view(requests[i].name); },
                                    [&](std::size_t i) { return std::pair(requests[i].s, requests[i].e); });
        if (failure) {
            FUZZ_CHECK(failure->kind == JobFailure::Kind::Item, "the batch failed: " + failure->message);
            failed(failure->error, "the batch");
        } else {
            for (std::size_t i = 0; i < items.size(); ++i) {
                std::string expect = want(requests[i]);
                if (reverse_batch) expect = fuzz::model_reverse_complement(expect);
                bool ascii = std::all_of(expect.begin(), expect.end(), [](char c) { return !(c & 0x80); });
                if (reverse_batch && !ascii) continue;  // non-ASCII results are not reverse-complemented
                same(std::string_view(items[i].out, static_cast<std::size_t>(items[i].length)), expect, "batch region");
            }
        }

        // Array rows (windows may hang over the record's ends) and record text.
        const std::uint64_t width = 1 + in.below(40);
        std::vector<Window> windows;
        std::vector<std::string> rows;
        std::vector<TextRegion> text;
        std::string expect_text;
        for (const Request& r : requests) {
            const std::string& bases = truth.bases.at(r.name);
            const auto first = static_cast<std::int64_t>(r.s) - static_cast<std::int64_t>(in.below(width));
            windows.push_back({engine.names().find(r.name), first, false});
            std::string row;
            for (std::int64_t p = first; p < first + static_cast<std::int64_t>(width); ++p)
                row += p >= 1 && p <= static_cast<std::int64_t>(bases.size()) ? bases[static_cast<std::size_t>(p - 1)] : '.';
            rows.push_back(row);
            text.push_back({plan_region(engine, engine.names().find(r.name), r.s, r.e), "> ", false});
            std::string b = want(r);
            expect_text += "> \n";
            for (std::size_t at = 0; at < b.size(); at += width) expect_text += b.substr(at, width) + "\n";
        }
        std::string codes(windows.size() * width, '\0');
        if (auto fail = fill_codes(engine, windows, width, '.', false, codes.data())) {
            FUZZ_CHECK(fail->kind == JobFailure::Kind::Item, "fill_codes: " + fail->message);
            failed(fail->error, "fill_codes");
        } else {
            for (std::size_t i = 0; i < rows.size(); ++i) same(codes.substr(i * width, width), rows[i], "fill_codes row");
        }
        TextLayout layout;
        layout.width = width;
        layout.sep = "\n";
        TextJob job(engine, std::move(text), layout);
        if (auto fail = job.read()) {
            FUZZ_CHECK(fail->kind == JobFailure::Kind::Item, "TextJob: " + fail->message);
            failed(fail->error, "TextJob");
        } else {
            std::string written(static_cast<std::size_t>(job.size()), '\0');
            job.write(written.data());
            same(written, expect_text, "TextJob");
        }
    }
};

// Edits of drawn bytes: at most `count`, each a byte set to a drawn value.
void scribble(std::string& s, fuzz::Input& in, std::size_t count) {
    for (std::size_t k = 0; k < count && !s.empty(); ++k) s[in.below(s.size())] = static_cast<char>(in.byte());
}

void damage(std::string& file, const Layout& layout, fuzz::Input& in) {
    for (std::size_t k = 0, n = 1 + in.below(3); k < n && !file.empty(); ++k) {
        const std::uint64_t block = layout.all_blocks[in.below(layout.all_blocks.size())];
        const std::uint64_t next = [&] {
            auto it = std::upper_bound(layout.all_blocks.begin(), layout.all_blocks.end(), block);
            return it == layout.all_blocks.end() ? layout.bytes.size() : *it;
        }();
        switch (in.below(6)) {
            case 0: scribble(file, in, 1 + in.below(4)); break;
            case 1:  // a zeroed footer
                if (next <= file.size()) std::memset(file.data() + next - 8, 0, 8);
                break;
            case 2:  // an ISIZE a little off
                if (next <= file.size()) {
                    auto* p = reinterpret_cast<unsigned char*>(file.data() + next - 4);
                    std::uint32_t isize = p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
                    isize += static_cast<std::uint32_t>(static_cast<std::int8_t>(in.byte()));
                    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(isize >> (8 * i));
                }
                break;
            case 3: file.resize(static_cast<std::size_t>(std::min<std::uint64_t>(block, file.size()))); break;
            case 4: file.resize(static_cast<std::size_t>(in.below(file.size()))); break;
            default:  // a byte of a header
                if (block + 18 <= file.size()) file[block + in.below(18)] ^= static_cast<char>(1 + in.below(255));
                break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t flags = in.byte(), more = in.byte();
    const int gzi_mode = flags & 7;
    const bool fai_given = flags & 8, damaged = flags & 128, eof = !(flags & 64);
    OpenOptions opt;
    opt.build_index = flags & 16;
    opt.rebuild = flags & 32;

    fuzz::WellFormed w = fuzz::well_formed_fasta(in);
    const Layout layout = make_layout(w.text, in, eof);
    std::string file = layout.bytes;

    const std::string dir = work_dir(), path = dir + "/g.fa.gz", gzi = path + ".gzi", fai = path + ".fai";
    ::unlink(gzi.c_str());
    ::unlink(fai.c_str());
    std::string gzi_bytes = gzi_of(layout, w.text.size());
    switch (gzi_mode) {
        case 3: scribble(gzi_bytes, in, 1 + in.below(4)); break;
        case 4: {  // every uncompressed offset one off
            const std::uint64_t delta = in.flag() ? 1 : UINT64_MAX;
            for (std::size_t at = 16; at + 8 <= gzi_bytes.size(); at += 16)
                for (int i = 0, carry = 0; i < 8; ++i) {
                    unsigned v = static_cast<unsigned char>(gzi_bytes[at + i]) + (delta >> (8 * i) & 0xFF) + carry;
                    gzi_bytes[at + i] = static_cast<char>(v & 0xFF);
                    carry = v >> 8;
                }
            break;
        }
        case 5: {  // the .gzi of the same text in other blocks
            Layout other = make_layout(w.text, in, eof);
            gzi_bytes = gzi_of(other, w.text.size());
            break;
        }
        case 6: gzi_bytes = in.text(64); break;
        case 7: gzi_bytes = std::string("\xff\xff\xff\xff\xff\xff\xff\xff", 8); break;
    }
    if (damaged) damage(file, layout, in);
    // The FASTA file at time 1000; indexes newer, or older when stale.
    write_file(path, file, 1000);
    if (gzi_mode != 1) write_file(gzi, gzi_bytes, gzi_mode == 2 ? 500 : 2000);
    if (fai_given) {
        std::vector<NamedEntry> entries;
        for (const auto& r : fuzz::model_fasta(w.text)) entries.push_back({r.name, r.entry});
        write_file(fai, format_index(entries), 2000);
    }
    opt.filename = path;

    const Inflated z = zlib_inflate(file);
    // zlib must read back what was written when nothing was damaged; where it stops at damage,
    // what it did read is the start of the text.
    FUZZ_CHECK(damaged || (z.whole && z.text == w.text), "zlib does not read back the file made here");
    FUZZ_CHECK(w.text.compare(0, z.text.size(), z.text) == 0 || z.whole, "zlib read other text before a fault");

    auto opened = Engine::open(opt);
    const bool intact = !damaged;
    if (!opened.ok()) {
        const FaidxError& e = opened.error();
        FUZZ_CHECK(e.kind == ErrorKind::Io || e.kind == ErrorKind::Indexing || e.kind == ErrorKind::IndexNotFound,
                   "open failed with " + e.display());
        // An intact file opens whenever its index may be built, or the indexes given are right.
        const bool indexes_usable = (gzi_mode <= 2 || opt.build_index) && (fai_given || opt.build_index);
        FUZZ_CHECK(!intact || !indexes_usable || w.records.empty(),
                   "an intact file did not open: " + e.display());
        return 0;
    }
    const Engine& engine = *opened.value();
    if (!engine.bgzf()) {
        // Read as text: only a file too damaged to be told from text (or an empty one).
        FUZZ_CHECK(file.empty() || (damaged && !z.whole), "a BGZF file was opened as text");
        return 0;
    }
    if (more & 1) {
        ::truncate(path.c_str(), static_cast<off_t>(in.below(file.size() + 1)));
    }
    // zlib's text when it read the whole file; else the text written, which reads around the
    // damage (a .gzi) may still give.
    Truth truth = truth_of(z.whole ? z.text : w.text);
    Checker check{engine, truth, intact && !(more & 1)};
    check.reads(in);
    if (check.index_is_the_data()) check.fetches(in, more & 2);
    else FUZZ_CHECK(!check.must_work, "the index is not the data's");
    return 0;
}
