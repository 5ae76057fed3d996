// Fuzz target for the array fills: one FASTA text opened mapped, through its descriptor and as BGZF,
// then fill_codes, fill_onehot and fill_ragged with every cell held to a model of the text.
//
// The text is written to a per-process temporary directory twice: as it is, and as BGZF blocks of
// random sizes (zlib's raw deflate at a drawn level, the BC extra field, CRC32 and ISIZE, the EOF
// block). Engine::open opens the plain file mapped and with is_mutable (never mapped) and the BGZF
// file compressed, building each index itself. Regions are turned into windows the way the host
// does it (centred_window for a given width, plan_region and ragged_capacity for ragged fills), so
// the engine is called as Python calls it. The three sources must give the model's arrays. When
// asked, the plain file then shrinks and every fill runs again: each either fails with an Io error
// or gives the model's bases where the file still holds them and padding where it does not.
//
// Input layout (fuzz::Input, front to back): an options byte (bit 0 default_seq given, 1
// strict_bounds, 2 sequence_always_upper, 3 shrink the plain file after the first round, 4 size
// ragged regions before the shrink, 5 empty BGZF blocks among the others), default_seq (text of up
// to 3 bytes), the deflate level, a block size class and a seed for the block sizes, the FASTA
// draws (the record count, a seed for the bases, then per record a shape byte, a line width and a
// length), the size the plain file shrinks to (a fraction of the text in 65535ths), and last up to
// 6 fills: a kind byte, an options byte, the pad, alphabet or row width, and a count byte: below
// 0xE0, up to 24 regions drawn one by one follow; from there on, a count and a seed for 48 to 147.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/bulk/array_fill.hpp"
#include "engine/fasta/engine.hpp"
#include "engine/fetch/fetch.hpp"
#include "bgzf_writer.hpp"
#include "model.hpp"

namespace {

using namespace sekva;

// ---- Files ----

// Removes every file in `dir`: the target's, and the indexes and temporary files the engine wrote.
void empty_dir(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        std::string_view name = e->d_name;
        if (name != "." && name != "..") ::unlink((dir + "/" + e->d_name).c_str());
    }
    ::closedir(d);
}

std::string* the_workdir = nullptr;  // never freed: the exit handler reads it

void remove_workdir() {
    empty_dir(*the_workdir);
    ::rmdir(the_workdir->c_str());
}

// One directory per process, so that parallel fuzzing jobs never share files; removed at exit.
const std::string& workdir() {
    if (!the_workdir) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/sekva-fuzz-array.XXXXXX";
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr, "mkdtemp failed for " + pattern);
        the_workdir = new std::string(pattern);
        std::atexit(remove_workdir);
    }
    return *the_workdir;
}

void write_file(const std::string& path, std::string_view bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0, "cannot create " + path);
    for (std::size_t at = 0; at < bytes.size();) {
        ssize_t put = ::write(fd, bytes.data() + at, bytes.size() - at);
        FUZZ_CHECK(put > 0, "writing " + path + " failed");
        at += static_cast<std::size_t>(put);
    }
    ::close(fd);
}

// ---- BGZF, written as bgzip writes it ----

class BgzfWriter {
public:
    // A small hash table (memLevel 2): a block's deflateReset clears it, and the reader cannot tell.
    explicit BgzfWriter(int level) {
        FUZZ_CHECK(deflateInit2(&z_, level, Z_DEFLATED, -15, 2, Z_DEFAULT_STRATEGY) == Z_OK, "deflateInit2 failed");
    }
    ~BgzfWriter() { deflateEnd(&z_); }
    BgzfWriter(const BgzfWriter&) = delete;
    BgzfWriter& operator=(const BgzfWriter&) = delete;

    // One block holding `data` (at most 65280 bytes, as bgzip keeps them).
    void block(std::string_view data) {
        std::string packed;
        FUZZ_CHECK(fuzz::deflate_body(z_, data, packed), "deflate did not finish a block");
        std::string b = fuzz::block_around(packed, data);
        FUZZ_CHECK(!b.empty(), "a BGZF block came out larger than 64 KiB");
        out += b;
    }
    std::string finish() {
        out += fuzz::EOF_BLOCK;
        return std::move(out);
    }

private:
    z_stream z_{};
    std::string out;
};

// The text in blocks of random sizes up to `largest` bytes, with empty blocks among them when asked.
std::string bgzf_compress(std::string_view text, int level, std::size_t largest, std::uint64_t seed, bool empties) {
    BgzfWriter w(level);
    fuzz::SplitMix rng{seed};
    // Not more than about 150 blocks whatever the class asks for, so that an input stays quick.
    const std::size_t least = std::min<std::size_t>(largest, text.size() / 150 + 1);
    for (std::size_t at = 0; at < text.size();) {
        if (empties && rng.next() % 6 == 0) w.block({});
        std::size_t size = least + rng.next() % (largest - least + 1);
        size = std::min(size, text.size() - at);
        w.block(text.substr(at, size));
        at += size;
    }
    return w.finish();
}

// ---- The FASTA text and its model ----

struct Generated {
    std::string text;
    std::vector<std::string> names;  // in file order, repeats included
    std::vector<std::string> bases;
};

// Records of their own line widths (a shorter last line, or a full one), LF or CRLF, soft-masked
// runs and IUPAC codes, empty records, repeated names, and an optional final line terminator.
Generated fasta_text(fuzz::Input& in) {
    static constexpr std::string_view letters[] = {"ACGT", "acgt", "NNNN", "RYKMSWBDHVNX", "rykmswbdhvnx",
                                                   "ACGTUu*-.", "ACGTNacgtn"};
    Generated g;
    std::size_t count = in.below(9);
    fuzz::SplitMix rng{in.u64()};
    for (std::size_t r = 0; r < count; ++r) {
        std::uint8_t shape = in.byte();
        const char* eol = shape & 1 ? "\r\n" : "\n";
        std::string name = r > 0 && (shape & 2) && (shape & 4) ? g.names[in.below(r)] : "s" + std::to_string(r);
        g.text += ">" + name + (shape & 8 ? " description\tof it" : "") + eol;
        std::size_t width;
        switch (shape >> 4 & 3) {
            case 0: width = 1 + in.below(4); break;
            case 1: width = 50 + in.below(71); break;
            default: width = 1 + in.below(80); break;
        }
        std::size_t length;
        switch (shape >> 6) {
            case 0: length = in.flag() ? 0 : in.below(8); break;
            case 1: length = width * (1 + in.below(6)); break;  // a full last line
            case 2: length = in.below(400); break;
            default: length = in.below(3000); break;
        }
        std::string bases;
        std::string_view run = letters[0];
        for (std::size_t i = 0; i < length; ++i) {
            if (rng.next() % 16 == 0) run = letters[rng.next() % std::size(letters)];
            bases += run[rng.next() % run.size()];
        }
        for (std::size_t i = 0; i < length; i += width) g.text += bases.substr(i, width) + eol;
        g.names.push_back(std::move(name));
        g.bases.push_back(std::move(bases));
    }
    if (count && in.flag())
        while (g.text.back() == '\n' || g.text.back() == '\r') g.text.pop_back();
    return g;
}

struct Record {
    std::string bases;
    IndexEntry entry;
};

struct Model {
    std::map<std::string, Record> records;  // a repeated name is its last record, as in the index
    std::vector<std::string> names;         // sorted, so a draw picks the same record on every run
};

Model model_of(const Generated& g) {
    std::vector<fuzz::ModelRecord> read = fuzz::model_fasta(g.text);
    FUZZ_CHECK(read.size() == g.names.size(), "model found " + std::to_string(read.size()) + " records in " +
                                                  fuzz::shown(g.text));
    Model m;
    for (std::size_t i = 0; i < read.size(); ++i) {
        FUZZ_CHECK(read[i].name == g.names[i] && read[i].bases == g.bases[i],
                   "model misread record " + std::to_string(i) + " of " + fuzz::shown(g.text));
        m.records[read[i].name] = {read[i].bases, read[i].entry};
    }
    for (const auto& [name, record] : m.records) m.names.push_back(name);
    return m;
}

// What a source holds: all of the text, or (a plain file that shrank) its first `keep` bytes.
struct Holding {
    const Model* model;
    std::optional<std::uint64_t> keep;

    // The base at 1-based position p, or nothing outside the record or past the end of the file.
    std::optional<char> base(const Record& r, __int128 p) const {
        if (p < 1 || p > static_cast<__int128>(r.bases.size())) return std::nullopt;
        if (keep) {
            const auto q = static_cast<std::uint64_t>(p - 1);
            const IndexEntry& e = r.entry;
            if (e.offset + q / e.lenc * e.lenb + q % e.lenc >= *keep) return std::nullopt;
        }
        return r.bases[static_cast<std::size_t>(p - 1)];
    }
};

std::string upper(std::string s) { return fuzz::model_upper(std::move(s)); }

// fuzz::model_complement as a table: rows of many windows are complemented cell by cell.
char complement(char b) {
    static const std::array<char, 256> table = [] {
        std::array<char, 256> t{};
        for (int c = 0; c < 256; ++c) t[c] = fuzz::model_complement(static_cast<char>(c));
        return t;
    }();
    return table[static_cast<unsigned char>(b)];
}

std::string reverse_complement(std::string_view s) {
    std::string out(s.size(), '\0');
    for (std::size_t i = 0; i < s.size(); ++i) out[i] = complement(s[s.size() - 1 - i]);
    return out;
}

// ---- What the fills are asked for ----

struct Region {
    std::string name;
    std::int64_t start, end;  // as the host reads them: any 64-bit values, start <= end
    bool reverse;
};

struct Call {
    enum class Kind { Codes, OneHot, Ragged } kind;
    std::vector<Region> regions;
    std::optional<std::uint64_t> width;  // given, or that of every region alike
    char pad = 'N';
    bool upper = false;
    std::string alphabet;
    OneHotType type = OneHotType::UInt8;
    bool channels_last = true;
};

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    return __builtin_add_overflow(a, b, &r) ? (b > 0 ? INT64_MAX : INT64_MIN) : r;
}

// Positions near the record's ends, before it, far past it, at the 64-bit edges, or anywhere.
std::int64_t position(fuzz::Input& in, std::uint64_t rlen) {
    const auto len = static_cast<std::int64_t>(rlen);
    switch (in.byte() % 16) {
        case 0: return 0;
        case 1: return 1;
        case 2: return -static_cast<std::int64_t>(in.byte());
        case 3: return len - static_cast<std::int64_t>(in.below(4));
        case 4: return len + static_cast<std::int64_t>(in.below(4));
        case 5: return len + static_cast<std::int64_t>(in.below(400));
        case 6: return 1 - static_cast<std::int64_t>(in.below(400));
        case 7: return INT64_MAX - static_cast<std::int64_t>(in.byte());
        case 8: return INT64_MIN + static_cast<std::int64_t>(in.byte());
        case 9: return static_cast<std::int64_t>(in.u64());
        default: return 1 + static_cast<std::int64_t>(in.below(rlen + 1));
    }
}

std::uint64_t width_draw(fuzz::Input& in) {
    static constexpr std::uint64_t edges[] = {1, 2, 3, 15, 16, 17, 31, 32, 33, 64, 100, 255};
    std::uint8_t b = in.byte();
    if (b < 0x80) return edges[b % std::size(edges)];
    return 1 + in.below(b < 0xF0 ? 300 : 1000);
}

std::string alphabet_draw(fuzz::Input& in) {
    static constexpr std::string_view common[] = {"ACGT", "ACGTN", "acgt", "TGCA", "A", "N", "ACGU", "RYKMSWBDHV",
                                                  "ACGT-*", "aCgTn."};
    std::uint8_t b = in.byte();
    if (b < 0xC0) return std::string(common[b % std::size(common)]);
    // Any ASCII letters but NUL, once each whatever their case, as the host accepts them.
    std::string out;
    std::array<bool, 256> taken{};
    for (std::size_t n = 1 + in.below(24); n > 0; --n) {
        auto c = static_cast<unsigned char>(1 + in.below(127));
        unsigned char folded = c >= 'a' && c <= 'z' ? c - 32 : c;
        if (taken[folded]) continue;
        taken[folded] = true;
        out += static_cast<char>(c);
    }
    return out;
}

Call call_draw(fuzz::Input& in, const Model& m) {
    Call c;
    std::uint8_t kind = in.byte();
    c.kind = kind % 3 == 0 ? Call::Kind::Codes : kind % 3 == 1 ? Call::Kind::OneHot : Call::Kind::Ragged;
    std::uint8_t opts = in.byte();
    c.upper = opts & 1;
    c.channels_last = opts & 2;
    c.type = static_cast<OneHotType>(opts >> 2 & 3);
    bool given_width = opts & 16;
    std::uint64_t length = 0;  // of every region, when no width is given
    if (c.kind == Call::Kind::Codes) c.pad = static_cast<char>(in.flag() ? in.below(128) : "N-.n"[in.below(4)]);
    if (c.kind == Call::Kind::OneHot) c.alphabet = alphabet_draw(in);
    if (c.kind != Call::Kind::Ragged) {
        if (given_width)
            c.width = width_draw(in);
        else
            length = width_draw(in);
    }
    const std::uint8_t how_many = m.names.empty() ? 0 : in.byte();
    if (how_many >= 0xE0) {
        // Many regions near the records, from a seed: the pool hands a thread a range of several
        // windows only from (workers + 1) * 8 windows on (two workers: LLVMFuzzerInitialize), and
        // only then do windows share a BGZF cursor.
        std::size_t count = 48 + in.below(100);
        fuzz::SplitMix rng{in.u64()};
        // Short rows, so that an input still takes milliseconds.
        if (c.width) c.width = 1 + (*c.width - 1) % 100;
        if (length) length = 1 + (length - 1) % 100;
        for (std::size_t i = 0; i < count; ++i) {
            Region r;
            r.name = m.names[rng.next() % m.names.size()];
            const auto rlen = static_cast<std::int64_t>(m.records.at(r.name).bases.size());
            r.reverse = rng.next() & 1;
            r.start = static_cast<std::int64_t>(rng.next() % static_cast<std::uint64_t>(rlen + 200)) - 100;
            r.end = r.start + (c.kind != Call::Kind::Ragged && !given_width ? static_cast<std::int64_t>(length) - 1
                                                                            : static_cast<std::int64_t>(rng.next() % 100));
            c.regions.push_back(std::move(r));
        }
    }
    for (std::size_t count = how_many < 0xE0 ? how_many % 25 : 0; count > 0; --count) {
        Region r;
        r.name = m.names[in.below(m.names.size())];
        const std::uint64_t rlen = m.records.at(r.name).bases.size();
        r.reverse = in.flag();
        r.start = position(in, rlen);
        if (c.kind != Call::Kind::Ragged && !given_width) {
            // Rows of one length: an end past the 64-bit range cannot be asked for.
            if (__builtin_add_overflow(r.start, static_cast<std::int64_t>(length - 1), &r.end)) continue;
        } else if (in.flag()) {
            r.end = saturating_add(r.start, static_cast<std::int64_t>(in.below(400)));
        } else {
            r.end = position(in, rlen);
            if (r.end < r.start) std::swap(r.start, r.end);
        }
        c.regions.push_back(std::move(r));
    }
    if (c.kind != Call::Kind::Ragged && !given_width) c.width = c.regions.empty() ? 0 : length;
    return c;
}

// ---- The sources ----

struct Opened {
    const char* what;  // "map", "descriptor", "BGZF"
    std::unique_ptr<Engine> engine;
    bool plain;        // reads the plain file, which may shrink
};

std::string region_text(const Region& r) {
    return fuzz::shown(r.name, 20, false) + ":" + std::to_string(r.start) + "-" + std::to_string(r.end) +
           (r.reverse ? " reversed" : "");
}

std::string window_text(const Region& r, std::int64_t first, std::uint64_t width) {
    return region_text(r) + ", window from " + std::to_string(first) + " of width " + std::to_string(width);
}

// Failures are allowed only where the plain file shrank, and then only as the read error they are.
void check_failure(const std::optional<JobFailure>& f, std::size_t rows, const Opened& src, bool shrunk,
                   const std::string& where) {
    if (!f) return;
    FUZZ_CHECK(f->kind == JobFailure::Kind::Item,
               where + " on the " + src.what + ": no memory, or a worker failed: " + f->message);
    FUZZ_CHECK(src.plain && shrunk, where + " on the " + src.what + " failed at row " + std::to_string(f->index) +
                                        " of a file that did not change: " + f->error.display());
    FUZZ_CHECK(f->error.kind == ErrorKind::Io && f->index < rows,
               where + " on the " + src.what + " failed at row " + std::to_string(f->index) + " of " +
                   std::to_string(rows) + " with " + f->error.display());
}

// The host's windows: centred on their regions for a given width, else starting at the start.
// False where the host refuses the call (a window beyond every 64-bit position).
bool windows_of(const Call& c, std::vector<std::int64_t>& firsts) {
    firsts.clear();
    for (const Region& r : c.regions) {
        std::int64_t first = r.start;
        __int128 want = r.start;
        bool fits = true;
        // first = start + floor((length - width) / 2), by the plain definition.
        __int128 slack = static_cast<__int128>(r.end) - r.start + 1 - static_cast<__int128>(*c.width);
        want = r.start + (slack >= 0 ? slack / 2 : -((-slack + 1) / 2));
        fits = want >= INT64_MIN && want <= INT64_MAX;
        bool ok = centred_window(r.start, r.end, *c.width, first);
        FUZZ_CHECK(ok == fits && (!ok || first == want),
                   "centred_window(" + std::to_string(r.start) + ", " + std::to_string(r.end) + ", " +
                       std::to_string(*c.width) + ") gave " + (ok ? std::to_string(first) : "no window"));
        if (!ok) return false;
        firsts.push_back(first);
    }
    return true;
}

void run_codes(const Call& c, const Opened& src, const Holding& h, bool shrunk, const std::vector<std::int64_t>& firsts) {
    const Engine& engine = *src.engine;
    const std::uint64_t width = *c.width;
    const bool up = c.upper || engine.options().sequence_always_upper;
    std::vector<Window> windows;
    for (std::size_t i = 0; i < c.regions.size(); ++i)
        windows.push_back({engine.names().find(c.regions[i].name), firsts[i], c.regions[i].reverse});
    const std::size_t size = static_cast<std::size_t>(windows.size() * width);
    // Exactly the array's bytes, so AddressSanitizer sees a write past it; a pattern no fill writes.
    std::unique_ptr<char[]> out(new char[size ? size : 1]);
    std::memset(out.get(), 0xA5, size);
    auto failure = fill_codes(engine, windows, width, c.pad, up, out.get());
    check_failure(failure, windows.size(), src, shrunk, "fill_codes");
    if (failure) return;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const Region& r = c.regions[i];
        const Record& rec = h.model->records.at(r.name);
        std::string want(width, c.pad);
        for (std::uint64_t j = 0; j < width; ++j)
            if (auto b = h.base(rec, static_cast<__int128>(firsts[i]) + j)) want[j] = *b;
        if (up) want = upper(want);
        if (r.reverse) want = reverse_complement(want);
        std::string_view got(out.get() + i * width, static_cast<std::size_t>(width));
        FUZZ_CHECK(got == want, std::string("fill_codes on the ") + src.what + ", row " + std::to_string(i) + " " +
                                    window_text(r, firsts[i], width) + " pad " + fuzz::shown({&c.pad, 1}, 4, false) +
                                    (up ? " upper" : "") + ": got " + fuzz::shown(got) + ", want " + fuzz::shown(want));
    }
}

void run_onehot(const Call& c, const Opened& src, const Holding& h, bool shrunk, const std::vector<std::int64_t>& firsts) {
    const Engine& engine = *src.engine;
    OneHotLayout layout{};
    layout.width = *c.width;
    layout.channels = static_cast<unsigned>(c.alphabet.size());
    layout.channels_last = c.channels_last;
    layout.type = c.type;
    layout.code.fill(255);
    // The host's table: each letter in both cases.
    for (std::size_t k = 0; k < c.alphabet.size(); ++k) {
        auto letter = static_cast<unsigned char>(c.alphabet[k]);
        unsigned char up = letter >= 'a' && letter <= 'z' ? letter - 32 : letter;
        unsigned char low = up >= 'A' && up <= 'Z' ? up + 32 : up;
        layout.code[up] = layout.code[low] = static_cast<unsigned char>(k);
    }
    static constexpr std::size_t item_size[] = {1, 1, 2, 4};
    const std::size_t item = item_size[static_cast<int>(c.type)];
    const std::uint64_t width = layout.width, k = layout.channels;
    const std::size_t row_bytes = static_cast<std::size_t>(width * k * item);
    std::vector<Window> windows;
    for (std::size_t i = 0; i < c.regions.size(); ++i)
        windows.push_back({engine.names().find(c.regions[i].name), firsts[i], c.regions[i].reverse});
    const std::size_t size = windows.size() * row_bytes;
    std::unique_ptr<char[]> out(new char[size ? size : 1]);
    std::memset(out.get(), 0xA5, size);
    auto failure = fill_onehot(engine, windows, layout, out.get());
    check_failure(failure, windows.size(), src, shrunk, "fill_onehot");
    if (failure) return;

    char one[4] = {};
    switch (c.type) {
        case OneHotType::UInt8:
        case OneHotType::Bool: one[0] = 1; break;
        case OneHotType::Float16: std::memcpy(one, "\x00\x3c", 2); break;
        case OneHotType::Float32: {
            float f = 1.0f;
            std::memcpy(one, &f, 4);
            break;
        }
    }
    std::string want(row_bytes, '\0');
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const Region& r = c.regions[i];
        const Record& rec = h.model->records.at(r.name);
        std::fill(want.begin(), want.end(), '\0');
        std::string letters;  // the row's letters for messages, '.' where nothing is
        for (std::uint64_t j = 0; j < width; ++j) {
            // A reversed row is the one-hot of the reverse complement of the window.
            std::uint64_t from = r.reverse ? width - 1 - j : j;
            auto b = h.base(rec, static_cast<__int128>(firsts[i]) + from);
            char letter = b ? (r.reverse ? complement(*b) : *b) : '.';
            letters += letter;
            if (!b) continue;
            unsigned channel = layout.code[static_cast<unsigned char>(letter)];
            if (channel == 255) continue;
            std::size_t cell = c.channels_last ? j * k + channel : channel * width + j;
            std::memcpy(want.data() + cell * item, one, item);
        }
        std::string_view got(out.get() + i * row_bytes, row_bytes);
        if (got == want) continue;
        std::size_t at = 0;
        while (got[at] == want[at]) ++at;
        std::size_t cell = at / item;
        std::uint64_t j = c.channels_last ? cell / k : cell % width, channel = c.channels_last ? cell % k : cell / width;
        FUZZ_CHECK(false, std::string("fill_onehot on the ") + src.what + ", row " + std::to_string(i) + " " +
                              window_text(r, firsts[i], width) + ", alphabet " + fuzz::shown(c.alphabet, 40, false) +
                              (c.channels_last ? " channels last" : " channels first") + ", type " +
                              std::to_string(static_cast<int>(c.type)) + ": position " + std::to_string(j) +
                              " channel " + std::to_string(channel) + " is wrong; the row reads " +
                              fuzz::shown(letters));
    }
}

// What plan_region must make of a region: the host's lenient clamping (0 read as 1, nothing for an
// end before the clamped start) or the strict checks. A record of no bases is planned as one base
// at position 0, which default_seq then pads, as the batch workers do.
struct Planned {
    RegionPlan::Kind kind;
    std::uint64_t s = 0, e = 0, n = 0;
};

Planned plan_model(bool strict, std::uint64_t rlen, std::uint64_t start, std::uint64_t end) {
    using K = RegionPlan::Kind;
    if (strict) {
        if (start == 0 || end == 0 || start > rlen || end > rlen || start > end) return {K::Error};
        return {K::Extract, start, end, end - start + 1};
    }
    std::uint64_t s = std::min(rlen, std::max<std::uint64_t>(start, 1));
    std::uint64_t e = std::min(rlen, std::max<std::uint64_t>(end, 1));
    if (std::max<std::uint64_t>(end, 1) < s) return {K::Empty, s, e, 0};
    return {K::Extract, s, e, e - s + 1};
}

// shrink_fd >= 0: the file behind it shrinks to h.keep during this call, before the regions are
// sized or between sizing and filling.
void run_ragged(const Call& c, const Opened& src, const Holding& h, bool shrunk, int shrink_fd, bool size_first) {
    const Engine& engine = *src.engine;
    const OpenOptions& opt = engine.options();
    std::vector<RegionPlan> plans;
    std::vector<const Region*> asked;
    for (const Region& r : c.regions) {
        // The host reads negative coordinates as 0.
        auto low = [](std::int64_t v) { return v < 0 ? std::uint64_t{0} : static_cast<std::uint64_t>(v); };
        const IndexEntry* entry = engine.names().find(r.name);
        RegionPlan plan = plan_region(engine, entry, low(r.start), low(r.end));
        Planned want = plan_model(opt.strict_bounds, entry->rlen, low(r.start), low(r.end));
        FUZZ_CHECK(plan.kind == want.kind && plan.entry == entry &&
                       (plan.kind != RegionPlan::Kind::Extract ||
                        (plan.s == want.s && plan.e == want.e && plan.n == want.n)),
                   "plan_region " + region_text(r) + " planned " + std::to_string(static_cast<int>(plan.kind)) +
                       " " + std::to_string(plan.s) + "-" + std::to_string(plan.e) + " n " + std::to_string(plan.n));
        // The host refuses a call holding an error; the rest make a call of their own.
        if (plan.kind == RegionPlan::Kind::Error) continue;
        plans.push_back(plan);
        asked.push_back(&r);
    }
    const std::size_t n = plans.size();
    std::vector<std::uint64_t> offsets(n + 1, 0), capacities(n), lengths(n, UINT64_MAX);
    std::vector<bool> reverse(n);
    // The host sizes every region before the fill; a file may shrink in between.
    auto size_all = [&] {
        for (std::size_t i = 0; i < n; ++i) {
            FUZZ_CHECK(ragged_capacity(engine, plans[i], capacities[i]), "ragged_capacity found no room for a small region");
            FUZZ_CHECK(!__builtin_add_overflow(offsets[i], capacities[i], &offsets[i + 1]), "offsets overflow");
            reverse[i] = asked[i]->reverse;
        }
    };
    if (shrink_fd < 0 || size_first) size_all();
    if (shrink_fd >= 0) FUZZ_CHECK(::ftruncate(shrink_fd, static_cast<off_t>(*h.keep)) == 0, "ftruncate failed");
    if (shrink_fd >= 0 && !size_first) size_all();
    std::unique_ptr<char[]> out(new char[offsets[n] ? offsets[n] : 1]);
    std::memset(out.get(), 0xA5, static_cast<std::size_t>(offsets[n]));
    auto failure = fill_ragged(engine, plans, offsets, capacities, reverse, c.upper, out.get(), lengths);
    check_failure(failure, n, src, shrunk, "fill_ragged");
    if (failure) return;
    const std::string fill = opt.default_seq ? *opt.default_seq : std::string();
    for (std::size_t i = 0; i < n; ++i) {
        const Region& r = *asked[i];
        const Record& rec = h.model->records.at(r.name);
        std::string want;
        if (plans[i].kind == RegionPlan::Kind::Extract) {
            // The bases the source holds, then one default_seq for each base it does not.
            std::uint64_t got = 0;
            for (std::uint64_t p = plans[i].s; p <= plans[i].e && p >= 1; ++p) {
                auto b = h.base(rec, p);
                if (!b) break;
                want += *b;
                ++got;
            }
            for (std::uint64_t missing = plans[i].n - got; missing > 0 && !fill.empty(); --missing) want += fill;
            if (opt.sequence_always_upper || c.upper) want = upper(want);
            if (r.reverse) want = reverse_complement(want);
        }
        FUZZ_CHECK(lengths[i] <= capacities[i], std::string("fill_ragged on the ") + src.what + ", region " +
                                                    std::to_string(i) + ": " + std::to_string(lengths[i]) +
                                                    " bytes in room for " + std::to_string(capacities[i]));
        std::string_view got(out.get() + offsets[i], static_cast<std::size_t>(lengths[i]));
        FUZZ_CHECK(got == want, std::string("fill_ragged on the ") + src.what + ", region " + std::to_string(i) + " " +
                                    region_text(r) + (c.upper ? " upper" : "") + ": got " + fuzz::shown(got) +
                                    ", want " + fuzz::shown(want));
    }
}

void run_call(const Call& c, const Opened& src, const Holding& h, bool shrunk, int shrink_fd = -1,
              bool size_first = true) {
    if (c.kind == Call::Kind::Ragged) return run_ragged(c, src, h, shrunk, shrink_fd, size_first);
    std::vector<std::int64_t> firsts;
    if (!windows_of(c, firsts)) return;
    if (c.kind == Call::Kind::Codes)
        run_codes(c, src, h, shrunk, firsts);
    else
        run_onehot(c, src, h, shrunk, firsts);
}


// One input, its files in `dir`.
void run(fuzz::Input& in, const std::string& dir) {
    const std::uint8_t flags = in.byte();
    OpenOptions opt;
    opt.strict_bounds = flags & 2;
    opt.sequence_always_upper = flags & 4;
    std::string fill = in.text(3);
    std::erase_if(fill, [](char ch) { return ch == '\n' || ch == '\r'; });
    if (flags & 1) opt.default_seq = fill;
    const bool shrink = flags & 8, size_first = flags & 16, empties = flags & 32;
    const int level = static_cast<int>(in.below(10));
    static constexpr std::size_t largest[] = {1, 7, 64, 500, 4096, 65280};
    const std::size_t block_size = largest[in.below(std::size(largest))];
    const std::uint64_t block_seed = in.u64();

    Generated g = fasta_text(in);
    Model model = model_of(g);
    // A fraction of the text in 1/65535ths, so the draw does not depend on the text's size.
    const std::uint64_t keep = g.text.size() * in.below(0x10000) / 0xFFFF;
    std::vector<Call> calls;
    for (std::size_t n = in.below(7); n > 0; --n) calls.push_back(call_draw(in, model));

    const std::string plain = dir + "/plain.fa", packed = dir + "/packed.fa.gz";
    write_file(plain, g.text);
    write_file(packed, bgzf_compress(g.text, level, block_size, block_seed, empties));

    Opened sources[3] = {{"map", nullptr, true}, {"descriptor", nullptr, true}, {"BGZF", nullptr, false}};
    for (Opened& src : sources) {
        OpenOptions o = opt;
        o.filename = src.plain ? plain : packed;
        o.is_mutable = std::string_view(src.what) == "descriptor";
        auto opened = Engine::open(o);
        if (!opened.ok()) {
            // Text with no header at all is refused; anything else opens.
            FUZZ_CHECK(model.records.empty(), std::string("the ") + src.what + " did not open: " +
                                                  opened.error().display() + " " + fuzz::shown(g.text));
            return;
        }
        src.engine = std::move(opened.value());
        FUZZ_CHECK(src.engine->names().size() == model.records.size(),
                   std::string("the ") + src.what + " index holds " + std::to_string(src.engine->names().size()) +
                       " names, the text " + std::to_string(model.records.size()));
        for (const auto& [name, record] : model.records) {
            const IndexEntry* e = src.engine->names().find(name);
            FUZZ_CHECK(e && fuzz::same_entry(*e, record.entry),
                       std::string("the ") + src.what + " index has " + (e ? fuzz::entry_text(*e) : "nothing") +
                           " for " + name + ", the text " + fuzz::entry_text(record.entry));
        }
    }
    FUZZ_CHECK(sources[0].engine->bytes().direct() != nullptr && sources[1].engine->bytes().direct() == nullptr &&
                   sources[2].engine->bgzf() != nullptr,
               "the plain file was not mapped, the mutable one was, or the compressed one was not read as BGZF");

    const Holding whole{&model, std::nullopt};
    for (const Call& c : calls)
        for (const Opened& src : sources) run_call(c, src, whole, false);
    if (!shrink) return;

    // The plain file loses its end while both engines hold it; the BGZF file is untouched.
    int fd = ::open(plain.c_str(), O_WRONLY | O_CLOEXEC);
    FUZZ_CHECK(fd >= 0, "cannot open " + plain + " to shrink it");
    const Holding shrunk{&model, keep};
    bool truncated = false;
    for (const Call& c : calls)
        for (const Opened& src : sources) {
            if (!truncated && src.plain && c.kind == Call::Kind::Ragged) {
                // The first ragged fill shrinks the file itself, between sizing and filling or before.
                run_call(c, src, shrunk, true, fd, size_first);
                truncated = true;
                continue;
            }
            if (!truncated) {
                FUZZ_CHECK(::ftruncate(fd, static_cast<off_t>(keep)) == 0, "ftruncate failed");
                truncated = true;
            }
            run_call(c, src, src.plain ? shrunk : whole, src.plain);
        }
    ::close(fd);
}

}  // namespace

// Two workers unless asked otherwise, so that an input splits into the same ranges of windows on
// every machine and a finding reproduces.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("RAYON_NUM_THREADS", "2", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::string& dir = workdir();
    run(in, dir);
    // The engines are closed by now; nothing of this input stays behind.
    empty_dir(dir);
    return 0;
}
