// Reading a header line backwards from the first base of its record.
#include "engine/fasta/headers.hpp"

#include <algorithm>

#include "engine/base/bytes.hpp"

namespace sekva {

namespace {

FaidxError no_header_error(std::string_view name, std::uint64_t offset) {
    return io_error("record '" + std::string(name) + "': no header line ends at byte " + std::to_string(offset) +
                    ", where the index says its bases begin; the index belongs to another file or is damaged");
}

}  // namespace

Result<std::string> read_header(const ByteSource& bytes, std::string_view name, std::uint64_t offset, char mark) {
    if (offset == 0 || offset > bytes.size()) return no_header_error(name, offset);
    // The line ends just before `offset` with its "\n", or at the end of a file whose last line
    // is the header.
    std::string window;
    for (std::uint64_t width = 256;; width *= 4) {
        const std::uint64_t from = offset - std::min(width, offset);
        window.resize(static_cast<std::size_t>(offset - from));
        auto got = read_at(bytes, from, window.size(), window.data());
        if (!got.ok()) return std::move(got.error());
        if (got.value() != window.size()) return no_header_error(name, offset);
        std::string_view line(window);
        if (line.back() == '\n') {
            line.remove_suffix(1);
        } else if (offset != bytes.size()) {
            return no_header_error(name, offset);
        }
        const std::size_t nl = line.rfind('\n');
        if (nl != std::string_view::npos || from == 0) {
            line.remove_prefix(nl == std::string_view::npos ? 0 : nl + 1);
            if (line.empty() || line.front() != mark) return no_header_error(name, offset);
            line.remove_prefix(1);
            if (!is_valid_utf8(line.data(), line.size())) return io_error("stream did not contain valid UTF-8");
            return std::string(trim_unicode(line));
        }
        if (width >= LONGEST_HEADER)
            return io_error("record '" + std::string(name) + "': its header line is longer than " +
                            std::to_string(LONGEST_HEADER) + " bytes");
    }
}

std::string_view header_description(std::string_view header) {
    header = trim_unicode(header);
    return trim_unicode(header.substr(find_unicode_space(header)));
}

}  // namespace sekva
