// The index of a large FASTA or FASTQ file written while it is scanned, never held whole.
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

// Takes the entries of a scan as they come, in file order, and formats and writes them at once.
// Each later record of a name seen before is said, as the scan says it; in FASTQ it is dropped, as
// samtools drops it, in FASTA it is kept, as every index of this library keeps it. Of the records
// seen only their names' hashes and their offsets are kept; where a hash matches, the earlier
// record's name is read back from the file and compared. Memory for millions of records is then a
// tenth of what their entries take.
class IndexStream {
public:
    // The index that will replace the file at `path`, for the text `data` (read back for names);
    // nothing where that file cannot be replaced by a rename (write_index then writes it).
    static Result<std::optional<IndexStream>> begin(const std::string& path, const ByteSource& data, bool fastq);
    IndexStream(IndexStream&&) noexcept = default;

    // Room for about this many records, before the first are taken.
    void expect(std::size_t reads);
    // Takes the entries scanned since the last call, leaving the list empty (its room kept).
    Status take(std::vector<NamedEntry>& entries);
    // After the last entries: says each later record of a name, then replaces the index.
    Status finish();

private:
    IndexStream(Replacement file, const ByteSource& data, bool fastq)
        : file_(std::move(file)), data_(&data), fastq_(fastq) {}
    // Whether the record whose bases start at `offset` has this name, read back from the line before.
    Result<bool> named_at(std::uint64_t offset, std::string_view name) const;

    Replacement file_;
    const ByteSource* data_;
    bool fastq_;
    std::uint64_t written_ = 0;  // bytes of index text so far
    std::vector<std::uint64_t> slots_;  // of the reads kept, as in hash_slots.hpp
    std::vector<std::uint64_t> hashes_, offsets_;  // of each first record of a name, by its number
    std::vector<std::uint64_t> round_;             // the hashes of the entries being taken
    std::vector<std::string> said_;
};

}  // namespace sekva
