// The one-pass scan that turns FASTA text into index entries.
#pragma once

#include <string_view>
#include <vector>

#include "engine/error.hpp"
#include "engine/index_file.hpp"

namespace sekva {

// Entries in file order, one per named record, duplicates included. Fails with Io
// "stream did not contain valid UTF-8" when any byte of the file is not valid UTF-8.
Result<std::vector<NamedEntry>> scan_fasta(std::string_view data);

}  // namespace sekva
