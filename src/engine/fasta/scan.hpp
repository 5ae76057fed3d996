// The index scan: FASTA or FASTQ text in, index entries out, fed in pieces of any size so that a
// file never has to be in memory (or mapped) as a whole.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/error.hpp"
#include "engine/fasta/index_file.hpp"
#include "engine/fasta/record_name.hpp"

namespace sekva {

// What a stretch of whole body lines of a FASTA file holds, found without the scan's state: runs of
// lines of one geometry, in file order. Workers digest the pieces of a large file at once; the
// scanner then takes the digests in order as if fed the bytes.
struct LineDigest {
    struct Item {
        std::uint64_t count = 0;  // lines in the run
        std::uint64_t bases = 0;  // of each line of the run
        std::uint64_t bytes = 0;  // of each line of the run, line break included
    };
    std::vector<Item> items;
    std::uint64_t begin = 0, end = 0;  // the stretch's offsets in the file
};

// Digests [p, q), whole lines (q just past a line break) starting at file offset `at`. False where
// the stretch holds a header line (`header` then points at its '>', from where a scanner of its
// own can take the text) or what only the scan itself judges (bytes that are not ASCII, body lines
// too varied for any record): those bytes are fed instead.
bool digest_lines(const char* p, const char* q, std::uint64_t at, LineDigest& out, const char** header);

// Builds the entries of a FASTA file from its bytes, given in order. Every record's lines but the
// last must have the length of its first line (the five columns cannot describe anything else),
// and no sequence line may follow an empty one; such a record fails with an Indexing error
// naming it and the line. Text that is not UTF-8 fails with Io "stream did not contain valid
// UTF-8". After a failure the scanner takes no more input.
//
// Text whose first byte other than line breaks is '@' is FASTQ, read line by line by the rules
// samtools indexes it with: a read is its '@' name line, bases on lines of the first line's
// length but the last, a '+' line, and qualities on lines of the same geometry until there are
// as many as bases; blank lines may only come between reads. What samtools refuses is refused
// here, and so are lines holding bytes other than printable ASCII (and a CR before the LF), whose
// entries samtools writes but which no line geometry can describe. Entries then carry the offset
// of their qualities.
class FastaScanner {
public:
    Status feed(const char* data, std::size_t size);
    // End of input; the entries are complete after this succeeds.
    Status finish();
    std::vector<NamedEntry>& entries() { return entries_; }
    // Text in which no line starts with ">" is no FASTA file (an empty one is an empty genome).
    bool no_header_in_text() const { return format_ != Format::Fastq && !saw_header_ && pos_ > 0; }
    bool is_fastq() const { return format_ == Format::Fastq; }
    bool is_fasta() const { return format_ == Format::Fasta; }
    // Whether a digest of the lines from file offset `at` on can stand for their bytes: the text is
    // FASTA, and the input so far ends a line there.
    bool takes_digest(std::uint64_t at) const;
    // Takes the digest as the bytes it stands for; the same errors, in the same order.
    Status feed_digest(const LineDigest& digest);

    // A scanner of FASTQ text that starts at file offset `at` with a read's '@' line: what the scan
    // in order finds from there on when a read ends just before, worked out on another thread.
    static FastaScanner fastq_from(std::uint64_t at);
    // A scanner of FASTA text that starts at file offset `at` with a header line: what the scan in
    // order finds from there on (a line that starts with '>' is always a header), worked out on
    // another thread.
    static FastaScanner fasta_from(std::uint64_t at);
    // Takes what `ahead` (made by fastq_from or fasta_from) found as if fed its bytes: where this
    // scanner has fed the bytes up to where `ahead` began and is between two reads there (FASTQ) or
    // at the start of a line of a record's body (FASTA), and `ahead` did not fail. Otherwise changes
    // nothing and returns false; the bytes are then to be fed.
    bool take_ahead(FastaScanner&& ahead);
    // Room for the entries of a text of `size` bytes, judged from those of the bytes fed so far.
    void expect_size(std::uint64_t size);
    // How many entries a text of `size` bytes holds, judged from those of the bytes fed so far.
    std::size_t expected_entries(std::uint64_t size) const;
    // The caller takes the entries as they come and drops later reads of a name itself: finish()
    // leaves them be.
    void leave_repeated_reads() { leave_repeats_ = true; }

private:
    // The body of a record (or the lines before the first header, or of a header without a
    // name, which belong to no record and are only checked for UTF-8).
    struct Body {
        bool named = false;
        RecordName name;
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
    Status end_lines(std::uint64_t bases, std::uint64_t bytes, std::uint64_t count);
    Status end_header();
    void begin_body(RecordName name);
    void close_body();
    FaidxError line_error(const char* what, std::uint64_t line) const;
    // The offset of the first byte that breaks UTF-8, or n.
    std::size_t utf8(const char* p, std::size_t n);

    Status feed_fasta(const char* data, std::size_t size);
    bool take_fasta_ahead(FastaScanner&& ahead);

    Status finish_fasta();

    // FASTQ, one whole line at a time ([b, e) without its LF; `lf` says whether it had one).
    Status feed_fastq(const char* data, std::size_t size);
    Status fastq_line(const char* b, const char* e, bool lf);
    Status fastq_name(const char* b, const char* e, bool lf, std::uint64_t after);
    Status fastq_count(const char* b, const char* e, std::uint64_t line, std::uint64_t& bases);
    FaidxError read_error(const std::string& what) const;
    void close_read();
    void drop_repeated_reads();

    enum class Format { Unknown, Fasta, Fastq } format_ = Format::Unknown;
    // A scanner of text of this format from file offset `at` on, for fasta_from and fastq_from.
    static FastaScanner starting_at(Format format, std::uint64_t at);
    // Takes the entries another scanner made of the text after this one's.
    void append_entries(std::vector<NamedEntry>&& more);
    std::string lead_;  // line breaks before the first other byte, which decides the format
    enum class FqState { OutRead, InSeq, SeqEnd, InQual } fq_ = FqState::OutRead;
    struct Read {
        RecordName name;
        bool done = false;  // as many qualities as bases
        std::uint64_t offset = 0, qual = 0, bases = 0, quals = 0, lenc = 0, lenb = 0;
    } read_;
    bool have_read_ = false;
    bool leave_repeats_ = false;
    std::string carry_;  // a FASTQ line cut by the end of a piece

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
    std::uint64_t began_ = 0;  // the offset of the first byte fed
    std::vector<NamedEntry> entries_;
};

// What is said of a later record of a name seen before (a FASTQ index leaves such a read out).
std::string repeated_read_warning(std::string_view name, std::uint64_t offset);
// Says each entry whose name an earlier entry has, in order; true at each of them.
std::vector<bool> say_repeated_names(const std::vector<NamedEntry>& entries);
// The name a FASTA header line (its UTF-8 text after ">") gives its record: the text, trimmed, up
// to its first white space.
std::string_view header_name(std::string_view header);

// The entries of a whole file held in memory.
Result<std::vector<NamedEntry>> scan_fasta(std::string_view data);

}  // namespace sekva
