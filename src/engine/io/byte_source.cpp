// The byte sources over files and memory, the loop over short reads, and the opening of a file as
// a source: the one place that decides between a map and a descriptor.
#include "engine/io/byte_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "engine/io/bus_guard.hpp"

namespace sekva {

namespace {

bool shorter_than(int fd, std::uint64_t size) {
    struct stat st;
    return fd >= 0 && ::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) < size;
}

}  // namespace

Result<std::uint64_t> ByteSource::read_long(std::uint64_t offset, std::uint64_t n, char* out) const {
    return read_at(*this, offset, n, out);
}

Result<std::uint64_t> read_at(const ByteSource& source, std::uint64_t offset, std::uint64_t n, char* out) {
    const std::uint64_t size = source.size();
    if (offset >= size) return std::uint64_t{0};
    const std::uint64_t want = std::min(n, size - offset);
    std::uint64_t got = 0;
    while (got < want) {
        const auto ask = static_cast<std::size_t>(std::min<std::uint64_t>(want - got, SIZE_MAX));
        auto r = source.read_some(offset + got, ask, out + got);
        if (!r.ok()) return std::move(r.error());
        if (r.value() == 0) {
            if (size == DescriptorSource::STREAM) break;  // a stream ends where it ends
            return file_shrank_error();
        }
        got += r.value();
    }
    return got;
}

// ---- MapSource ----

MapSource::MapSource(std::string name, std::string path, std::shared_ptr<const MappedFile> map, FileHandle fd)
    : ByteSource(std::move(name)), path_(std::move(path)), map_(std::move(map)), fd_(std::move(fd)) {}

Result<std::size_t> MapSource::read_some(std::uint64_t offset, std::size_t n, char* out) const {
    if (offset >= size()) return std::size_t{0};
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(n, size() - offset));
    const char* from = map_->data() + offset;
    if (!guarded_read([&] { std::memcpy(out, from, want); })) return file_shrank_error();
    return want;
}

bool MapSource::shrank() const { return shorter_than(fd_.get(), size()); }

std::shared_ptr<const ByteSource> MapSource::for_one_pass() const {
    // The same file, not whatever now has its name; anything else keeps to the map.
    auto file = open_file(path_, O_RDONLY | O_NONBLOCK);
    if (!file.ok() || !map_->same_file(file.value().get())) return shared_from_this();
    make_blocking(file.value().get());
    try {
        // The size the map was made with: a file found shorter than that shrank after opening.
        return std::make_shared<DescriptorSource>(name(), std::move(file.value()), size());
    } catch (const std::bad_alloc&) {
        return shared_from_this();
    }
}

// ---- DescriptorSource ----

DescriptorSource::DescriptorSource(std::string name, FileHandle fd, std::uint64_t size,
                                   std::function<Status()> on_signal)
    : ByteSource(std::move(name)), fd_(std::move(fd)), size_(size), on_signal_(std::move(on_signal)) {}

ssize_t DescriptorSource::read_once(char* out, std::size_t n, std::uint64_t offset) const {
    if (size_ == STREAM) return ::read(fd_.get(), out, n);
    return ::pread(fd_.get(), out, n, static_cast<off_t>(offset));
}

Result<std::size_t> DescriptorSource::read_some(std::uint64_t offset, std::size_t n, char* out) const {
    return read_retrying(offset, n, out, true);
}

Result<std::size_t> DescriptorSource::read_some_elsewhere(std::uint64_t offset, std::size_t n, char* out) const {
    return read_retrying(offset, n, out, false);
}

Result<std::size_t> DescriptorSource::read_retrying(std::uint64_t offset, std::size_t n, char* out, bool ask) const {
    if (offset > offset_limit()) return io_error_from_errno(EINVAL);
    if (offset >= size_) return std::size_t{0};
    n = static_cast<std::size_t>(std::min<std::uint64_t>({n, size_ - offset, offset_limit() - offset + 1}));
    for (;;) {
        ssize_t r = read_once(out, n, offset);
        if (r >= 0) return static_cast<std::size_t>(r);
        if (errno != EINTR) return io_error_from_errno(errno);
        if (ask && on_signal_)
            if (Status stop = on_signal_()) return std::move(*stop);
    }
}

bool DescriptorSource::shrank() const { return size_ != STREAM && shorter_than(fd_.get(), size_); }

// ---- MemorySource ----

Result<std::size_t> MemorySource::read_some(std::uint64_t offset, std::size_t n, char* out) const {
    if (offset >= size_) return std::size_t{0};
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - offset));
    std::memcpy(out, data_ + offset, want);
    return want;
}

// ---- Opening ----

Result<OpenedFile> open_file_source(const std::string& path, const std::string& absolute, bool writable, bool map) {
    try {
        auto file = open_file(path, (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK);
        if (!file.ok()) return file.error();
        const int fd = file.value().get();
        make_blocking(fd);
        struct stat st;
        OpenedFile opened;
        opened.regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        std::shared_ptr<const MappedFile> mapped(map ? MappedFile::map(fd) : nullptr);
        if (mapped) {
            opened.source = std::make_shared<MapSource>(path, absolute, std::move(mapped), std::move(file.value()));
        } else {
            // A pipe or a device has no size to read up to: it is read as nothing.
            const auto size = opened.regular ? static_cast<std::uint64_t>(st.st_size) : 0;
            opened.source = std::make_shared<DescriptorSource>(path, std::move(file.value()), size);
        }
        return opened;
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    }
}

Result<StreamFile> open_stream_source(const std::string& path, std::function<Status()> on_signal) {
    try {
        auto file = open_file(path, O_RDONLY | O_NONBLOCK);
        if (!file.ok()) return file.error();
        const int fd = file.value().get();
        make_blocking(fd);
        struct stat st;
        if (::fstat(fd, &st) != 0) return io_error_from_errno(errno);
        StreamFile opened;
        opened.regular = S_ISREG(st.st_mode);
        if (opened.regular) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        const auto size = opened.regular ? static_cast<std::uint64_t>(st.st_size) : DescriptorSource::STREAM;
        opened.source = std::make_unique<DescriptorSource>(path, std::move(file.value()), size, std::move(on_signal));
        return opened;
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    }
}

}  // namespace sekva
