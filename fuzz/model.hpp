// Plain reference models the fuzz targets hold the engine to, and the input reader they share.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fasta/index_file.hpp"

namespace fuzz {

// Failed checks abort, so libFuzzer keeps the input; the text says what the engine got wrong.
[[noreturn]] inline void check_failed(const char* file, int line, const char* condition, const std::string& detail) {
    std::fprintf(stderr, "\n%s:%d: check failed: %s\n  %s\n", file, line, condition, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(condition, detail)                                                \
    do {                                                                             \
        if (!(condition)) ::fuzz::check_failed(__FILE__, __LINE__, #condition, (detail)); \
    } while (0)

// Printable form of bytes for failure messages, quoted, and with their count when asked.
inline std::string shown(std::string_view s, std::size_t limit = 200, bool counted = true) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size() && i < limit; ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    if (s.size() > limit) out += "...";
    out += "\"";
    return counted ? out + " (" + std::to_string(s.size()) + " bytes)" : out;
}

// Reads the fuzz input front to back; past its end every draw is zero, so any input is usable.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : p_(data), left_(size) {}
    std::size_t left() const { return left_; }
    std::uint8_t byte() {
        if (!left_) return 0;
        --left_;
        return *p_++;
    }
    bool flag() { return byte() & 1; }
    std::uint64_t u64() {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(byte()) << (8 * i);
        return v;
    }
    // A draw in [0, n), from as few bytes as the range needs; 0 when n is 0.
    std::uint64_t below(std::uint64_t n) {
        if (n == 0) return 0;
        std::uint64_t v;
        if (n <= 0x100)
            v = byte();
        else if (n <= 0x10000)
            v = byte() | static_cast<std::uint64_t>(byte()) << 8;
        else
            v = u64();
        return v % n;
    }
    // A length drawn with below(max + 1), then that many bytes.
    std::string text(std::size_t max) {
        std::size_t n = std::min<std::size_t>(below(max + 1), left_);
        std::string out(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        left_ -= n;
        return out;
    }

private:
    const std::uint8_t* p_;
    std::size_t left_;
};

// A 64-bit generator for bulk bytes, so a long record does not eat one input byte per base.
struct SplitMix {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
};

// ---- Text: UTF-8 decoded one code point at a time, Unicode white space ----

struct CodePoint {
    char32_t value;
    std::size_t at, size;  // byte offset and byte length in the text
};

// The code points of valid UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
inline std::optional<std::vector<CodePoint>> decode_utf8(std::string_view s) {
    std::vector<CodePoint> out;
    std::size_t i = 0;
    while (i < s.size()) {
        auto lead = static_cast<unsigned char>(s[i]);
        std::size_t size;
        char32_t value, least;
        if (lead < 0x80) {
            size = 1, value = lead, least = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            size = 2, value = lead & 0x1F, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            size = 3, value = lead & 0x0F, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            size = 4, value = lead & 0x07, least = 0x10000;
        } else {
            return std::nullopt;
        }
        if (s.size() - i < size) return std::nullopt;
        for (std::size_t k = 1; k < size; ++k) {
            auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return std::nullopt;
            value = value << 6 | (c & 0x3F);
        }
        if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
        out.push_back({value, i, size});
        i += size;
    }
    return out;
}

inline bool valid_utf8(std::string_view s) { return decode_utf8(s).has_value(); }

// Unicode's White_Space property.
inline bool is_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

inline bool has_space(std::string_view s) {
    auto cps = decode_utf8(s);
    return cps && std::any_of(cps->begin(), cps->end(), [](const CodePoint& c) { return is_space(c.value); });
}

// White space removed at both ends; s must be valid UTF-8.
inline std::string_view trim(std::string_view s) {
    auto cps = decode_utf8(s).value();
    std::size_t a = 0, b = cps.size();
    while (a < b && is_space(cps[a].value)) ++a;
    while (b > a && is_space(cps[b - 1].value)) --b;
    if (a == b) return s.substr(0, 0);
    return s.substr(cps[a].at, cps[b - 1].at + cps[b - 1].size - cps[a].at);
}

// ---- The .fai text, read line by line ----

struct ModelIndex {
    std::optional<sekva::FaidxError> error;
    std::vector<sekva::NamedEntry> entries;  // each name once, at its latest values
};

// "+" at most once, then one or more digits, at most 18446744073709551615.
inline std::optional<std::uint64_t> model_u64(std::string_view s) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
    std::string_view digits = s.substr(std::min(s.find_first_not_of('0'), s.size()));
    constexpr std::string_view max = "18446744073709551615";
    if (digits.size() > max.size() || (digits.size() == max.size() && digits > max)) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : digits) v = v * 10 + static_cast<std::uint64_t>(c - '0');
    return v;
}

inline void model_insert(ModelIndex& m, std::string_view name, const sekva::IndexEntry& e) {
    for (auto& x : m.entries)
        if (x.name == name) {
            x.entry = e;
            return;
        }
    m.entries.push_back({std::string(name), e});
}

// Lines end at "\n"; a line that is not UTF-8 stops the read with Io, a bad number with Indexing;
// lines without five or six tab-separated columns (after trimming white space) are skipped, and so
// are six-column lines whose sixth is no offset below 2^64 - 1. Six columns are a FASTQ read (the
// sixth is where its qualities start); a line of the other layout than the first line taken stops
// the read with Indexing.
inline ModelIndex model_index(std::string_view text) {
    ModelIndex m;
    static constexpr const char* invalid[] = {"Invalid rlen", "Invalid offset", "Invalid lenc", "Invalid lenb"};
    std::optional<bool> first_fastq;  // the layout of the first line taken
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (!valid_utf8(line)) {
            m.error = sekva::FaidxError{sekva::ErrorKind::Io, "stream did not contain valid UTF-8"};
            return m;
        }
        line = trim(line);
        std::vector<std::string_view> cols;
        for (std::size_t from = 0;;) {
            std::size_t tab = line.find('\t', from);
            cols.push_back(line.substr(from, tab == std::string_view::npos ? std::string_view::npos : tab - from));
            if (tab == std::string_view::npos) break;
            from = tab + 1;
        }
        if (cols.size() != 5 && cols.size() != 6) continue;
        std::uint64_t qual = sekva::IndexEntry::NO_QUALITIES;
        if (cols.size() == 6) {
            auto q = model_u64(cols[5]);
            if (!q || *q == sekva::IndexEntry::NO_QUALITIES) continue;
            qual = *q;
        }
        std::uint64_t v[4];
        for (int i = 0; i < 4; ++i) {
            auto x = model_u64(cols[i + 1]);
            if (!x) {
                m.error = sekva::FaidxError{sekva::ErrorKind::Indexing, invalid[i]};
                return m;
            }
            v[i] = *x;
        }
        const bool fastq = qual != sekva::IndexEntry::NO_QUALITIES;
        if (!first_fastq) first_fastq = fastq;
        if (*first_fastq != fastq) {
            m.error = sekva::FaidxError{sekva::ErrorKind::Indexing,
                                        "the index mixes five-column (FASTA) and six-column (FASTQ) lines, at record '" +
                                            std::string(cols[0]) + "'"};
            return m;
        }
        model_insert(m, cols[0], {v[0], v[1], v[2], v[3], qual});
    }
    return m;
}

inline bool same_entry(const sekva::IndexEntry& a, const sekva::IndexEntry& b) {
    return a.rlen == b.rlen && a.offset == b.offset && a.lenc == b.lenc && a.lenb == b.lenb && a.qual == b.qual;
}

inline std::string entry_text(const sekva::IndexEntry& e) {
    return std::to_string(e.rlen) + "\t" + std::to_string(e.offset) + "\t" + std::to_string(e.lenc) + "\t" +
           std::to_string(e.lenb) + (e.has_qualities() ? "\t" + std::to_string(e.qual) : std::string());
}

// ---- Well-formed FASTA: generated from the input, then read back line by line ----

struct ModelRecord {
    std::string name;
    std::string bases;
    sekva::IndexEntry entry;
};

// The records of FASTA text whose header names are separated by ASCII white space: name = first
// word of the header; offset = the byte after the header line; rlen = bases; lenc/lenb = bases
// and bytes of the first sequence line. A CR just before a line's LF is not a base.
inline std::vector<ModelRecord> model_fasta(std::string_view text) {
    std::vector<ModelRecord> out;
    bool in_record = false, first_line = false;
    std::size_t pos = 0;
    auto ascii_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::size_t next = nl == std::string_view::npos ? text.size() : nl + 1;
        std::string_view line = text.substr(pos, next - pos);
        std::string_view content = line.substr(0, line.size() - (nl == std::string_view::npos ? 0 : 1));
        if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
        if (line[0] == '>') {
            std::string_view header = content.substr(1);
            std::size_t a = 0;
            while (a < header.size() && ascii_space(header[a])) ++a;
            std::size_t b = a;
            while (b < header.size() && !ascii_space(header[b])) ++b;
            out.push_back({std::string(header.substr(a, b - a)), {}, {0, next, 0, 0}});
            in_record = first_line = true;
        } else if (in_record) {
            ModelRecord& r = out.back();
            if (first_line) {
                r.entry.lenc = content.size();
                r.entry.lenb = line.size();
                first_line = false;
            }
            r.bases += content;
            r.entry.rlen += content.size();
        }
        pos = next;
    }
    return out;
}

struct WellFormed {
    std::string text;
    std::vector<ModelRecord> records;  // what the generator wrote, offsets left out
};

// Records with one line width each and a shorter last line, LF or CRLF per record, names with
// non-ASCII letters, repeated names, optional descriptions and an optional final newline.
inline WellFormed well_formed_fasta(Input& in) {
    static constexpr std::string_view preambles[] = {"", "; produced by hand\n", "\xEF\xBB\xBF>bom\nACGT\n", "\n"};
    static constexpr std::string_view name_pieces[] = {
        "a", "b", "c", "x", "y", "Z", "Q", "0", "1", "7", "_", ".", "|", ":", "-", "=", ">", "chr", "\xC3\xA9",
        "\xD0\xB6", "\xE4\xB8\xAD", "\xF0\x9F\xA7\xAC"};
    static constexpr std::string_view alphabet = "ACGTNacgtnRYKMSWBDHVXrykmswbdhvx*-";
    WellFormed out;
    out.text = preambles[in.below(std::size(preambles))];
    SplitMix rng{in.u64()};
    std::size_t count = in.below(9);
    for (std::size_t r = 0; r < count; ++r) {
        const char* eol = in.flag() ? "\r\n" : "\n";
        std::string name;
        if (r > 0 && in.below(4) == 0) {
            name = out.records[in.below(r)].name;
        } else {
            std::size_t len = 1 + in.below(6);
            for (std::size_t i = 0; i < len; ++i) name += name_pieces[in.below(std::size(name_pieces))];
        }
        std::uint8_t shape = in.byte();
        std::string header = ">";
        if (shape & 1) header += shape & 2 ? "\t" : " ";
        header += name;
        if (shape & 4) {
            header += shape & 8 ? "\t" : " ";
            std::size_t len = in.below(24);
            for (std::size_t i = 0; i < len; ++i) header += static_cast<char>(0x20 + rng.next() % 0x5F);
        }
        if (shape & 16) header += " ";
        out.text += header + eol;

        std::size_t width = 1 + in.below(shape & 32 ? 4 : 80);
        std::size_t total = in.below(shape & 64 ? 3000 : 200);
        std::string bases;
        for (std::size_t i = 0; i < total; ++i) bases += alphabet[rng.next() % alphabet.size()];
        for (std::size_t i = 0; i < total; i += width) out.text += bases.substr(i, width) + eol;
        out.records.push_back({name, bases, {}});
    }
    // The file may end without a line terminator.
    if (count && in.flag())
        while (out.text.back() == '\n' || out.text.back() == '\r') out.text.pop_back();
    return out;
}

// The generator and the line model must agree before either is trusted with the engine.
inline std::vector<ModelRecord> checked_model(const WellFormed& w) {
    std::vector<ModelRecord> model = model_fasta(w.text);
    FUZZ_CHECK(model.size() == w.records.size(), "model found " + std::to_string(model.size()) + " records in " +
                                                   shown(w.text));
    for (std::size_t i = 0; i < model.size(); ++i)
        FUZZ_CHECK(model[i].name == w.records[i].name && model[i].bases == w.records[i].bases,
                   "model misread record " + std::to_string(i) + " of " + shown(w.text));
    return model;
}

// ---- Strands ----

// Complement pairs of the IUPAC letters, both cases; anything else pairs with N.
inline char model_complement(char c) {
    static constexpr std::string_view from = "ACGTMKRYWSBVDHNXacgtmkrywsbvdhnx";
    static constexpr std::string_view to = "TGCAKMYRWSVBHDNXtgcakmyrwsvbhdnx";
    std::size_t at = from.find(c);
    return at == std::string_view::npos ? 'N' : to[at];
}

inline std::string model_reverse_complement(std::string_view s) {
    std::string out;
    for (std::size_t i = s.size(); i-- > 0;) out += model_complement(s[i]);
    return out;
}

inline std::string model_upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

}  // namespace fuzz
