// Engine: one opened FASTA file with its options, name table, and map or descriptor.
// Built once by open() and only read afterwards, which is what lets batch workers share it
// without locks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/codec/bgzf.hpp"
#include "engine/base/error.hpp"
#include "engine/fasta/extract.hpp"
#include "engine/io/fs.hpp"
#include "engine/fasta/name_table.hpp"

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
    // Accepted and kept; no operation consults them.
    std::optional<std::string> split_char;
    bool read_long_names = false;
    std::string duplicate_action = "stop";
    std::optional<std::uint64_t> read_ahead;
};

// Asked between the pieces of a long index build whether to go on; the host answers false when the
// user interrupted it (and keeps the interruption to raise).
struct Interruption {
    bool (*keep_going)(void* context) = nullptr;
    void* context = nullptr;
    bool operator()() const { return !keep_going || keep_going(context); }
};

// The error a build stopped by an Interruption ends with.
FaidxError interrupted_error();

class Engine {
public:
    // The engine constructor: checks the file, maps it (or keeps it open), and loads, builds or
    // rebuilds the index. On failure everything acquired so far is released.
    static Result<std::unique_ptr<Engine>> open(OpenOptions options, Interruption interruption = {});

    const OpenOptions& options() const { return options_; }
    const std::string& index_path() const { return index_path_; }
    // The FASTA file and the index as absolute paths against the working directory at opening:
    // what reaches the same files from another working directory (a pickle, a reopened descriptor).
    const std::string& absolute_filename() const { return absolute_filename_; }
    const std::string& absolute_index_path() const { return absolute_index_path_; }
    const NameTable& names() const { return names_; }
    // Where reads go now: the uncompressed bytes of a BGZF file, or the map of a plain one, or its
    // descriptor (whose file size is read afresh).
    Source source() const {
        if (bgzf_) return Source{nullptr, -1, 0, bgzf_.get(), nullptr, true};
        return {map_.get(), fd_.get(), map_ ? 0 : file_size(fd_.get())};
    }
    // Shared by batch workers so the map outlives every read of a batch.
    std::shared_ptr<const MappedFile> map_holder() const { return map_; }
    // The map of a plain (uncompressed) file, if it is mapped.
    const MappedFile* map() const { return bgzf_ ? nullptr : map_.get(); }
    // The uncompressed bytes of a BGZF-compressed file.
    const BgzfFile* bgzf() const { return bgzf_.get(); }
    // The .gzi of a BGZF file: the FASTA path with ".gzi" appended.
    std::string gzi_path() const { return options_.filename + ".gzi"; }

private:
    explicit Engine(OpenOptions options);
    Status open_compressed(const FileBytes& bytes, bool regular);
    Status check_compressed_table(bool index_built, const Interruption& interruption);
    Status check_index_fits(bool index_built, bool regular, std::uint64_t file_size, const Interruption& interruption);
    Status build_index_file(const Interruption& interruption);
    Status build_compressed_index(const Interruption& interruption);

    OpenOptions options_;
    std::string index_path_;
    std::string absolute_filename_, absolute_index_path_;
    NameTable names_;
    std::shared_ptr<const MappedFile> map_;
    FileHandle fd_;  // reads of an unmapped file; beside a BGZF file's map, tells whether it shrank
    std::unique_ptr<BgzfFile> bgzf_;
    bool table_unchecked_ = false;  // the block table came from the blocks' footers, not a .gzi
    bool binary_head_ = false;      // a file read as text whose first bytes hold a NUL
};

}  // namespace sekva
