// Header lines read back from the file: the index keeps only where a record's bases begin, and
// its header line is the line that ends there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/base/error.hpp"
#include "engine/io/byte_source.hpp"

namespace sekva {

// The longest header line read back; a longer one is refused rather than read whole.
inline constexpr std::uint64_t LONGEST_HEADER = 1 << 20;

// The text of the header line of record `name` (for messages), whose first base is at `offset`:
// after its '>' (`mark`: '@' for a FASTQ read), without white space at either end. An error when
// no header line ends there (an index of another file) or its text is not UTF-8.
Result<std::string> read_header(const ByteSource& bytes, std::string_view name, std::uint64_t offset,
                                char mark = '>');

// What follows a header's first word, without the white space around it ("" when nothing does).
std::string_view header_description(std::string_view header);

}  // namespace sekva
