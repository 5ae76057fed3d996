// Reading and writing .gzi files, the block index of a BGZF file, as bgzip -r and samtools faidx
// write them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/codec/bgzf.hpp"
#include "engine/base/error.hpp"

namespace sekva {

// A .gzi is a little-endian uint64 count, then count pairs of uint64 (compressed offset,
// uncompressed offset): one pair for every block holding data except the first, whose (0, 0) is
// left implicit. htslib stores the count as "blocks with data - 1", so a file without data has
// count 2^64 - 1 and no pairs; that is read back and written the same way.

// The block starts a .gzi lists, the implicit first one included (none for a file without data).
// Checks the size against the count and that both offsets strictly increase by at most 65536
// uncompressed bytes a block. `gzi_path` names the file in messages.
Result<std::vector<BlockStart>> parse_gzi(std::string_view bytes, const std::string& gzi_path);

// Completes the starts from a .gzi into the table of the BGZF file at `path` by reading three
// blocks' headers and footers at most: the first block may follow empty ones (the implicit start
// is then moved onto it) and the last one's ISIZE gives the uncompressed size. Fails when an offset
// lies outside the file or the blocks found disagree with the .gzi. With `check_steps`, every
// block's footer is read too, so that a shifted offset is found at opening; without it (a remote
// file, where that reads the whole file) each block is still checked against the table when it is
// inflated, so a wrong .gzi fails a read rather than giving bases from the wrong place.
Result<BlockTable> table_from_gzi_starts(const std::string& gzi_path, const std::string& path,
                                         const ByteSource& bytes, std::vector<BlockStart> starts,
                                         bool check_steps = true);

// Reads the .gzi at `gzi_path` for the BGZF file at `path` (IndexNotFound when it cannot be
// opened) and returns the file's block table.
Result<BlockTable> read_gzi(const std::string& gzi_path, const std::string& path, const ByteSource& bytes,
                            bool check_steps = true);

// The bytes of the .gzi for a table, identical to what bgzip -r writes for the same file.
std::string format_gzi(const BlockTable& table);

// Writes the .gzi so that readers only ever see a complete file: a temporary file in the same
// directory is renamed over `gzi_path`.
Status write_gzi(const std::string& gzi_path, const BlockTable& table);

}  // namespace sekva
