// Replacing a file whole: what the .fai and .gzi writers share.
#pragma once

#include <string>
#include <string_view>

#include "engine/base/error.hpp"

namespace sekva {

// Replaces the file at `path` (or at the end of the symbolic links it starts) with `text`: a
// temporary file in the same directory, given the old file's mode, is renamed over it. Where no
// file can be made beside it, it is rewritten in place under an exclusive lock, which readers of
// an index wait for. A file the process may not write is refused, as a truncating open would.
Status write_file_replacing(const std::string& path, std::string_view text);

}  // namespace sekva
