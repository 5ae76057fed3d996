// Engine: one opened FASTA file with its options, name table, and the byte source it is read from.
// Built once by open() and only read afterwards, which is what lets batch workers share it
// without locks.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "engine/codec/bgzf.hpp"
#include "engine/base/error.hpp"
#include "engine/fasta/extract.hpp"
#include "engine/fasta/name_table.hpp"
#include "engine/io/http_source.hpp"

namespace sekva {

struct OpenOptions {
    std::string filename;
    std::optional<std::string> indexname;
    bool as_raw = false;
    bool strict_bounds = false;
    bool sequence_always_upper = false;
    bool rebuild = true;
    bool build_index = true;
    bool one_based_attributes = true;
    std::optional<std::string> default_seq;
    bool is_mutable = false;  // open read-write and never map
    // Keys are whole header lines (after '>'), read from the file, rather than the index's names.
    bool read_long_names = false;
    DuplicateAction duplicate_action = DuplicateAction::Stop;
    // Accepted and kept; no operation consults them.
    std::optional<std::string> split_char;
    std::optional<std::uint64_t> read_ahead;
    // Where the host shows the warning lines of calls on this engine (its own warnings, written
    // through write_warning, are the same either way): descriptor 2, or the caller's own channel.
    enum class WarnTo : std::uint8_t { Stderr, Caller } warn_to = WarnTo::Stderr;
};

// Asked between the pieces of a long index build whether to go on; the host answers false when the
// user interrupted it (and keeps the interruption to raise).
struct Interruption {
    bool (*keep_going)(void* context) = nullptr;
    void* context = nullptr;
    bool operator()() const { return !keep_going || keep_going(context); }
};

// The host's part in naming records: replaces the names of the records (in file order, long names
// already read where asked) by their keys and removes those not to be listed. Called once, on the
// opening thread, before duplicate keys are resolved.
struct Naming {
    Status (*rename)(void* context, std::vector<NamedEntry>& records) = nullptr;
    void* context = nullptr;
    // Where given, only the records of these names are listed (the rest of the index is still
    // read and checked): what a caller that asks for a few of millions of reads needs.
    const NameTable* wanted = nullptr;
};

class Engine {
public:
    // The engine constructor: checks the file, maps it (or keeps it open), and loads, builds or
    // rebuilds the index. On failure everything acquired so far is released.
    static Result<std::unique_ptr<Engine>> open(OpenOptions options, Interruption interruption = {},
                                                Naming naming = {});
    // Builds the index of the file where the options name it, whatever lies there already, and says
    // whether the file is FASTQ: what building alone costs, with no name table made and nothing kept.
    // A remote file is opened as a whole, its index found or built as opening does.
    static Result<bool> build_only(OpenOptions options, Interruption interruption = {});
    // An engine over bytes that are already open and an index already read: nothing is checked,
    // built or written. What tests drive the engine through (a source that misbehaves on purpose).
    static std::unique_ptr<Engine> over(OpenOptions options, std::shared_ptr<const ByteSource> bytes, NameTable names);

    const OpenOptions& options() const { return options_; }
    const std::string& index_path() const { return index_path_; }
    // The FASTA file and the index as absolute paths against the working directory at opening:
    // what reaches the same files from another working directory (a pickle, a reopened descriptor).
    const std::string& absolute_filename() const { return absolute_filename_; }
    const std::string& absolute_index_path() const { return absolute_index_path_; }
    const NameTable& names() const { return names_; }
    // The bytes the index describes: the uncompressed bytes of a BGZF file, else the file's own.
    // Shared, so that a batch keeps them alive for every read it makes.
    const ByteSource& bytes() const { return *bytes_; }
    std::shared_ptr<const ByteSource> bytes_holder() const { return bytes_; }
    // How the calling (host) thread reads them: long reads may use the worker pool.
    const Reader& reader() const { return *reader_; }
    // The block table and cache of a BGZF file, for tests that look inside.
    const BgzfFile* bgzf() const { return bgzf_.get(); }
    // The header line of a record (after '>', trimmed), read from the file; `key` names it in errors.
    Result<std::string> header(std::string_view key, const IndexEntry& entry) const;
    // The .gzi of a BGZF file: the FASTA path (or URL) with ".gzi" appended.
    std::string gzi_path() const { return options_.filename + ".gzi"; }
    // A FASTQ file: its index has six columns and every entry the offset of its qualities.
    bool fastq() const { return fastq_; }
    // The same FASTQ file seen through its qualities: every record's entry points at its quality
    // lines, which are read as they are (never upper-cased or padded). Shares this engine's bytes;
    // made at the first call (nullptr for a FASTA file) and then only read, like the engine.
    const Engine* qualities() const;
    // The remote object the bytes come from, when the file was opened by URL.
    const HttpSource* remote() const { return remote_.get(); }

private:
    explicit Engine(OpenOptions options);
    // Opens a local file (checking, for a compressed one, what it is) and the bytes to read from it.
    Result<OpenedFile> open_local();
    static Result<std::unique_ptr<Engine>> open_remote(std::unique_ptr<Engine> engine, const Interruption& interruption,
                                                       const Naming& naming);
    Status find_remote_index(const Interruption& interruption, bool& build, std::vector<NamedEntry>& records);
    Result<BlockTable> remote_block_table(const ByteSource& bytes, const ByteSource& pass, bool& build);
    Status build_remote_index(const Interruption& interruption);
    // The BGZF data read once from start to end: over a remote file, through large requests.
    Result<std::shared_ptr<const BgzfFile>> bgzf_for_one_pass() const;
    Status open_compressed(const std::shared_ptr<ByteSource>& file, bool regular);
    Status check_compressed_table(bool index_built, const Interruption& interruption);
    Status check_index_fits(bool index_built, bool regular, std::uint64_t file_size, const Interruption& interruption,
                            std::vector<NamedEntry>& records);
    Status name_records(std::vector<NamedEntry>&& records, const Naming& naming);
    Status check_index_format(bool index_built, const Interruption& interruption, std::vector<NamedEntry>& records);
    // With `stream`, the index alone is wanted: a large file's index is written as it is scanned and
    // not kept, and each later record of a name is said (a FASTQ index leaves it out).
    Status build_index_file(const Interruption& interruption, bool stream = false);
    // Writes the entries a build made as the index, keeping them for load_index.
    Status keep_written(std::vector<NamedEntry>& entries);
    // The records of the index: those just written, else read from the index file.
    Status load_index(std::vector<NamedEntry>& records);
    Status build_compressed_index(const Interruption& interruption);

    OpenOptions options_;
    std::string index_path_;
    std::string absolute_filename_, absolute_index_path_;
    NameTable names_;
    std::shared_ptr<const ByteSource> bytes_;
    std::optional<Reader> reader_;  // over bytes_, made once they are known
    std::shared_ptr<BgzfFile> bgzf_;  // over the file's own bytes, when it is BGZF-compressed
    std::shared_ptr<HttpSource> remote_;  // the file's own bytes, when it was opened by URL
    std::string gzi_write_path_;          // where a .gzi built from the blocks is kept; empty: nowhere
    bool table_unchecked_ = false;  // the block table came from the blocks' footers, not a .gzi
    bool binary_head_ = false;      // a file read as text whose first bytes hold a NUL
    bool fastq_ = false;
    bool built_fastq_ = false;  // the text the last build scanned in order was FASTQ
    bool index_six_ = false;  // the index's entries have six columns, as load_index found
    const NameTable* wanted_ = nullptr;  // while opening: the names to list, where not all
    std::optional<std::vector<NamedEntry>> written_;  // by the build, until load_index takes them
    mutable std::once_flag qualities_once_;
    mutable std::unique_ptr<Engine> qualities_;
};

}  // namespace sekva
