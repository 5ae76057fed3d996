// Raw deflate decompression and CRC32 over libdeflate, else zlib, with one decompressor per thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sekva {

enum class InflateStatus : std::uint8_t {
    Ok,
    BadData,         // not a valid deflate stream, or one that ends early
    TooLong,         // the stream holds more bytes than expected
    TooShort,        // the stream ends before the expected number of bytes
    NoMemory,        // the decompressor could not be allocated
    NoDecompressor,  // built with neither libdeflate nor zlib
};

// "libdeflate", "zlib", or nullptr when sekva was built with neither.
const char* inflate_backend();

// One thread's decompressor, made on first use and reused for every block that thread inflates,
// so the hot path allocates nothing. Not to be shared between threads.
class Inflater {
public:
    // This thread's decompressor; nullptr when it cannot be made (see `status` for why).
    static Inflater* for_this_thread(InflateStatus& status);

    // Inflates the raw deflate stream [in, in + n) into exactly `expect` bytes at out. Bytes after
    // the end of the stream are ignored, as zlib and htslib ignore them.
    InflateStatus inflate(const unsigned char* in, std::size_t n, char* out, std::size_t expect);

    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    ~Inflater();

private:
    Inflater() = default;
    bool init();
    void* state_ = nullptr;  // libdeflate_decompressor* or z_stream*
};

std::uint32_t crc32_of(const char* p, std::size_t n);

}  // namespace sekva
