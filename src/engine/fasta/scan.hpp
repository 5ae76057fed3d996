// The index scan: FASTA text in, index entries out, fed in pieces of any size so that a file
// never has to be in memory (or mapped) as a whole.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/error.hpp"
#include "engine/fasta/index_file.hpp"

namespace sekva {

// Builds the entries of a FASTA file from its bytes, given in order. Every record's lines but the
// last must have the length of its first line (the five columns cannot describe anything else),
// and no sequence line may follow an empty one; such a record fails with an Indexing error
// naming it and the line. Text that is not UTF-8 fails with Io "stream did not contain valid
// UTF-8". After a failure the scanner takes no more input.
class FastaScanner {
public:
    Status feed(const char* data, std::size_t size);
    // End of input; the entries are complete after this succeeds.
    Status finish();
    std::vector<NamedEntry>& entries() { return entries_; }
    // Text in which no line starts with ">" is no FASTA file (an empty one is an empty genome).
    bool no_header_in_text() const { return !saw_header_ && pos_ > 0; }

private:
    // The body of a record (or the lines before the first header, or of a header without a
    // name, which belong to no record and are only checked for UTF-8).
    struct Body {
        bool named = false;
        std::string name;
        std::uint64_t offset = 0;
        std::uint64_t rlen = 0;
        bool first_done = false;   // the first line has ended
        std::uint64_t lenc = 0;    // bases of the first line
        std::uint64_t lenb = 0;    // bytes of the first line, terminator included
        std::uint64_t odd_line = 0;    // a line unlike the first: it must be the last one
        std::uint64_t blank_line = 0;  // an empty line: only empty lines may follow
        std::uint64_t part_bytes = 0;  // the line in progress: bytes so far
        std::uint64_t part_cr = 0;     // and the run of CR at its end
    };

    Status body_segment(const char* p, const char* q, bool final, std::uint64_t lf, std::uint64_t cr,
                        bool ascii);
    bool fast_segment(const char* p, const char* q, bool final, std::uint64_t lf);
    Status walk_lines(const char* p, const char* q, bool first_line_only, const char** stop);
    Status end_line(std::uint64_t bases, std::uint64_t bytes);
    Status end_header();
    void close_body();
    FaidxError line_error(const char* what, std::uint64_t line) const;
    // The offset of the first byte that breaks UTF-8, or n.
    std::size_t utf8(const char* p, std::size_t n);

    enum class Where { Body, Header } where_ = Where::Body;
    std::uint64_t pos_ = 0;   // offset of the next byte fed
    std::uint64_t line_ = 1;  // 1-based number of the line in progress
    bool at_line_start_ = true;  // the last byte fed ended a line
    std::string header_;      // header line so far, without ">"
    bool saw_header_ = false;
    Body body_;
    // An unfinished UTF-8 sequence: continuation bytes still due, and the range of the next one.
    unsigned utf8_due_ = 0;
    unsigned char utf8_lo_ = 0x80, utf8_hi_ = 0xBF;
    bool failed_ = false;
    std::vector<NamedEntry> entries_;
};

// The entries of a whole file held in memory.
Result<std::vector<NamedEntry>> scan_fasta(std::string_view data);

}  // namespace sekva
