// Writing BGZF in the fuzz targets: blocks laid out as bgzip writes them, their bodies deflated by
// zlib or stored, so that the engine's reader is held to files it did not write itself.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace fuzz {

inline void put_le(std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i) & 0xFF);
}

// One BGZF block around a raw deflate body that inflates to `data`: the header with the BC
// subfield, the body, CRC32 and ISIZE. Empty when the block would pass 64 KiB.
inline std::string block_around(std::string_view body, std::string_view data) {
    constexpr std::size_t header = 18, footer = 8;
    std::string b;
    if (header + body.size() + footer > 65536) return b;
    b.assign("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0", 16);
    put_le(b, header + body.size() + footer - 1, 2);
    b += body;
    put_le(b, crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())), 4);
    put_le(b, data.size(), 4);
    return b;
}

// A final stored deflate block holding `data` (at most 65535 bytes).
inline std::string stored_body(std::string_view data) {
    std::string body(1, '\x01');
    put_le(body, data.size(), 2);
    put_le(body, ~data.size() & 0xFFFF, 2);
    body += data;
    return body;
}

// `data` deflated by zlib through `z` (set up with deflateInit2 for raw deflate, windowBits -15):
// one block's body. False when zlib fails.
inline bool deflate_body(z_stream& z, std::string_view data, std::string& body) {
    if (deflateReset(&z) != Z_OK) return false;
    body.assign(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(body.data());
    z.avail_out = static_cast<uInt>(body.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) return false;
    body.resize(body.size() - z.avail_out);
    return true;
}

// The 28-byte empty block bgzip ends every file with.
inline constexpr std::string_view EOF_BLOCK("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0\x1b\0\x03\0\0\0\0\0\0\0\0\0", 28);

}  // namespace fuzz
