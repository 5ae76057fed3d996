// The decompressor behind Inflater: libdeflate when the build found it, else zlib, else none.
#include "engine/codec/inflate.hpp"

#include <memory>
#include <new>

#if defined(SEKVA_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#elif defined(SEKVA_HAVE_ZLIB)
#include <zlib.h>
#endif

namespace sekva {

namespace {

thread_local std::unique_ptr<Inflater> this_thread;

}  // namespace

const char* inflate_backend() {
#if defined(SEKVA_HAVE_LIBDEFLATE)
    return "libdeflate";
#elif defined(SEKVA_HAVE_ZLIB)
    return "zlib";
#else
    return nullptr;
#endif
}

Inflater* Inflater::for_this_thread(InflateStatus& status) {
    if (Inflater* d = this_thread.get()) {
        status = InflateStatus::Ok;
        return d;
    }
    if (!inflate_backend()) {
        status = InflateStatus::NoDecompressor;
        return nullptr;
    }
    std::unique_ptr<Inflater> made(new (std::nothrow) Inflater());
    if (!made || !made->init()) {
        status = InflateStatus::NoMemory;
        return nullptr;
    }
    this_thread = std::move(made);
    status = InflateStatus::Ok;
    return this_thread.get();
}

#if defined(SEKVA_HAVE_LIBDEFLATE)

bool Inflater::init() {
    state_ = libdeflate_alloc_decompressor();
    return state_ != nullptr;
}

Inflater::~Inflater() {
    if (state_) libdeflate_free_decompressor(static_cast<libdeflate_decompressor*>(state_));
}

InflateStatus Inflater::inflate(const unsigned char* in, std::size_t n, char* out, std::size_t expect) {
    std::size_t produced = 0;
    // Asking for the produced size makes libdeflate accept a stream that ends early; it is
    // compared with `expect` here instead, so the two cases get their own status.
    char none;
    auto r = libdeflate_deflate_decompress(static_cast<libdeflate_decompressor*>(state_), in, n,
                                           expect ? out : &none, expect, &produced);
    if (r == LIBDEFLATE_SUCCESS) return produced == expect ? InflateStatus::Ok : InflateStatus::TooShort;
    if (r == LIBDEFLATE_INSUFFICIENT_SPACE) return InflateStatus::TooLong;
    return InflateStatus::BadData;
}

std::uint32_t crc32_of(const char* p, std::size_t n) { return libdeflate_crc32(0, p, n); }

#elif defined(SEKVA_HAVE_ZLIB)

bool Inflater::init() {
    auto* z = new (std::nothrow) z_stream();
    if (!z) return false;
    // Negative window bits: a raw deflate stream, with no zlib or gzip wrapper around it.
    if (inflateInit2(z, -15) != Z_OK) {
        delete z;
        return false;
    }
    state_ = z;
    return true;
}

Inflater::~Inflater() {
    if (auto* z = static_cast<z_stream*>(state_)) {
        inflateEnd(z);
        delete z;
    }
}

InflateStatus Inflater::inflate(const unsigned char* in, std::size_t n, char* out, std::size_t expect) {
    auto* z = static_cast<z_stream*>(state_);
    // Every block is one whole stream, so the window never needs to carry over: a reset suffices
    // and keeps the allocation. A stream abandoned half way (a fault while reading the map) is
    // reset here too.
    if (inflateReset(z) != Z_OK) return InflateStatus::BadData;
    // BGZF blocks are at most 64 KiB each way, far below uInt's range; larger inputs are cut,
    // which makes the stream look short, never read past n.
    char none;
    z->next_in = const_cast<Bytef*>(in);
    z->avail_in = static_cast<uInt>(n > 0xFFFFFFFFu ? 0xFFFFFFFFu : n);
    z->next_out = reinterpret_cast<Bytef*>(expect ? out : &none);
    z->avail_out = static_cast<uInt>(expect > 0xFFFFFFFFu ? 0xFFFFFFFFu : expect);
    int r = ::inflate(z, Z_FINISH);
    if (r == Z_STREAM_END) return z->total_out == expect ? InflateStatus::Ok : InflateStatus::TooShort;
    if (r == Z_MEM_ERROR) return InflateStatus::NoMemory;
    // All output room used and the stream not at its end: it holds more than expected.
    if (r == Z_BUF_ERROR && z->avail_out == 0) return InflateStatus::TooLong;
    return InflateStatus::BadData;
}

std::uint32_t crc32_of(const char* p, std::size_t n) {
    return static_cast<std::uint32_t>(crc32_z(0, reinterpret_cast<const Bytef*>(p), n));
}

#else

bool Inflater::init() { return false; }

Inflater::~Inflater() = default;

InflateStatus Inflater::inflate(const unsigned char*, std::size_t, char*, std::size_t) {
    return InflateStatus::NoDecompressor;
}

// Never reached: without a decompressor no block gets as far as its CRC check.
std::uint32_t crc32_of(const char*, std::size_t) { return 0; }

#endif

}  // namespace sekva
