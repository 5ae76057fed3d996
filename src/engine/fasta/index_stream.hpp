// The index of a large FASTQ file written while it is scanned, never held whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/error.hpp"
#include "engine/fasta/index_file.hpp"
#include "engine/io/byte_source.hpp"
#include "engine/io/replace_file.hpp"

namespace sekva {

// Takes the entries of a FASTQ scan as they come, in file order: each later read of a name seen
// before is dropped (and said, as the scan says it), the others are formatted and written at once.
// Of the reads seen only their names' hashes and their offsets are kept; where a hash matches,
// the earlier read's name is read back from the file and compared. Memory for millions of reads
// is then a tenth of what their entries take.
class FastqIndexStream {
public:
    // The index that will replace the file at `path`, for the FASTQ text `data` (read back for
    // names); nothing where that file cannot be replaced by a rename (write_index then writes it).
    static Result<std::optional<FastqIndexStream>> begin(const std::string& path, const ByteSource& data);
    FastqIndexStream(FastqIndexStream&&) noexcept = default;

    // Room for about this many reads, before the first are taken.
    void expect(std::size_t reads);
    // Takes the entries scanned since the last call, leaving the list empty (its room kept).
    Status take(std::vector<NamedEntry>& entries);
    // After the last entries: says each dropped read, then replaces the index.
    Status finish();

private:
    FastqIndexStream(Replacement file, const ByteSource& data) : file_(std::move(file)), data_(&data) {}
    // Whether the read whose bases start at `offset` has this name, read back from its '@' line.
    Result<bool> named_at(std::uint64_t offset, std::string_view name) const;

    Replacement file_;
    const ByteSource* data_;
    std::uint64_t written_ = 0;  // bytes of index text so far
    std::vector<std::uint64_t> slots_;  // of the reads kept, as in hash_slots.hpp
    std::vector<std::uint64_t> hashes_, offsets_;  // of each read kept, by its number
    std::vector<std::uint64_t> round_;             // the hashes of the entries being taken
    std::vector<std::string> dropped_;
};

}  // namespace sekva
