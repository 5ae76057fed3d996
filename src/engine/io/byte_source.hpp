// Byte sources: where the bytes of a file come from (a map, a descriptor, memory, or a decoder over
// another source), behind one small interface that everything above reads through.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "engine/base/error.hpp"
#include "engine/io/fs.hpp"

namespace sekva {

// A reader of consecutive windows for one thread: a source that reads in blocks (BGZF) keeps the
// blocks of the last window, so that a worker walking ranges in file order decodes each block once.
class SourceCursor {
public:
    virtual ~SourceCursor() = default;
    // Bytes [offset, offset + n), cut at the end of the source, as one view valid until the next
    // call.
    virtual Result<std::string_view> view(std::uint64_t offset, std::uint64_t n) = 0;
};

// Bytes [begin, end) of a source. A span that reads nothing has begin == end.
struct ByteSpan {
    std::uint64_t begin = 0, end = 0;
};

// What a source holds of the ranges a job told it it would read: kept until the job drops it.
class StagedReads {
public:
    virtual ~StagedReads() = default;
};

// The bytes of one file as they were when it was opened. Any number of threads may read at once.
class ByteSource : public std::enable_shared_from_this<ByteSource> {
public:
    explicit ByteSource(std::string name) : name_(std::move(name)) {}
    virtual ~ByteSource() = default;
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    // The file's path, for messages.
    const std::string& name() const { return name_; }
    // How many bytes the source held when it was opened; no read goes past it.
    virtual std::uint64_t size() const = 0;
    // Reads at most n bytes at `offset` into out and returns how many. Fewer than n may come (a
    // short read); 0 means nothing is left: `offset` is at or past size(), or the bytes ended
    // early (read_at tells that apart).
    virtual Result<std::size_t> read_some(std::uint64_t offset, std::size_t n, char* out) const = 0;

    // The bytes themselves in memory ([direct(), direct() + size())), when the source offers them:
    // a map, read without a copy. Reads of a file's map go through guarded_read: the file may shrink.
    virtual const char* direct() const { return nullptr; }
    // Whether the file now holds fewer bytes than size(): asked after a failed read, to call it a
    // file that shrank rather than a corrupt one.
    virtual bool shrank() const { return false; }
    // Whether ranges are better read in file order, each thread through a cursor of its own.
    virtual bool ordered_reads() const { return false; }
    virtual std::unique_ptr<SourceCursor> cursor() const { return nullptr; }
    // How many bytes a long range is read in at once (and below which a cursor's window is used).
    virtual std::size_t piece_bytes() const { return 1 << 20; }
    // One long read by a thread that may use the worker pool: a decoder fans its blocks out.
    virtual Result<std::uint64_t> read_long(std::uint64_t offset, std::uint64_t n, char* out) const;
    // Offsets past this one cannot be asked for at all: a descriptor seeks no further than 2^63 - 1
    // (EINVAL, as lseek fails); other sources just read nothing there.
    virtual std::uint64_t offset_limit() const { return UINT64_MAX; }
    // What a NUL byte among a FASTA file's bases means. No FASTA file holds one; the page past the
    // end of a file that shrank while mapped reads as zeros, so by default the file shrank.
    virtual FaidxError nul_error() const { return file_shrank_error(); }
    // A source for one pass over many ranges whose pages need not stay in this process: a mapped
    // file read through a descriptor. Most sources are that already.
    virtual std::shared_ptr<const ByteSource> for_one_pass() const { return shared_from_this(); }
    // Whether every read costs a round trip (a remote file): a job that knows its ranges then
    // hands them to stage() first, rather than reading them one by one.
    virtual bool stages_reads() const { return false; }
    // Reads `spans` (sorted by begin, not overlapping) ahead, in as few requests as it takes and
    // many at once; until the returned handle is dropped, reads inside them cost no request (a
    // span that could not be read keeps its error for the reads that reach it). Nothing when the
    // source reads no ahead.
    virtual std::unique_ptr<StagedReads> stage(std::span<const ByteSpan> spans) const {
        (void)spans;
        return nullptr;
    }
    // Closes what only shrank() needs: a map read as plain text is never asked, and an open file
    // should cost no descriptor.
    virtual void release_spare_descriptor() {}
    // For a map: takes the pages read so far out of the process, as a job that read many ranges
    // through it does when done, so that its size stays that of its own memory.
    virtual void drop_pages() const {}

private:
    std::string name_;
};

// The one loop over short reads: min(n, size() - offset) bytes at `offset` (0 from size() on), or
// an error; a source whose bytes end before size() fails with "the file shrank".
Result<std::uint64_t> read_at(const ByteSource& source, std::uint64_t offset, std::uint64_t n, char* out);

// A whole file mapped read-only. The descriptor, when kept, answers shrank(); `path` reopens the
// file for for_one_pass() (an absolute path: the working directory may change).
class MapSource final : public ByteSource {
public:
    MapSource(std::string name, std::string path, std::shared_ptr<const MappedFile> map, FileHandle fd);
    std::uint64_t size() const override { return map_->size(); }
    Result<std::size_t> read_some(std::uint64_t offset, std::size_t n, char* out) const override;
    const char* direct() const override { return map_->data(); }
    bool shrank() const override;
    std::shared_ptr<const ByteSource> for_one_pass() const override;
    void release_spare_descriptor() override { fd_.close(); }
    void drop_pages() const override { map_->drop_pages(); }

private:
    std::string path_;
    std::shared_ptr<const MappedFile> map_;
    FileHandle fd_;
};

// Memory for reads the kernel copies (pread): aligned to a cache line, since its copy runs several
// times slower on some processors into memory 16 bytes off one, which is where new char[] may
// put it. read_buffer throws std::bad_alloc as new does.
struct ReadBufferDelete {
    void operator()(char* p) const { ::operator delete[](p, std::align_val_t{64}); }
};
using ReadBuffer = std::unique_ptr<char[], ReadBufferDelete>;
inline ReadBuffer read_buffer(std::size_t n) { return ReadBuffer(static_cast<char*>(::operator new[](n, std::align_val_t{64}))); }

// A file read through its descriptor with positional reads, so threads never share a file position.
// A stream (a pipe, a device) is read in order with read(2) instead and has no size: it is read
// until it ends.
class DescriptorSource : public ByteSource {
public:
    static constexpr std::uint64_t STREAM = UINT64_MAX;
    // `on_signal`, when given, is asked after a read that a signal interrupted: an error stops the
    // read with it (a user's Ctrl-C during a long wait on a pipe), else the read is made again.
    DescriptorSource(std::string name, FileHandle fd, std::uint64_t size, std::function<Status()> on_signal = {});
    std::uint64_t size() const override { return size_; }
    // The one EINTR-safe loop: a read interrupted by a signal is simply made again.
    Result<std::size_t> read_some(std::uint64_t offset, std::size_t n, char* out) const override;
    // The same for a thread other than the one that opened the source: a read that a signal
    // interrupted is made again without asking `on_signal`, which may only run on that one.
    Result<std::size_t> read_some_elsewhere(std::uint64_t offset, std::size_t n, char* out) const;
    bool shrank() const override;
    std::uint64_t offset_limit() const override { return static_cast<std::uint64_t>(INT64_MAX); }
    int descriptor() const { return fd_.get(); }

protected:
    // One read as pread(2) makes it (or read(2) for a stream): bytes read, or -1 with errno set.
    virtual ssize_t read_once(char* out, std::size_t n, std::uint64_t offset) const;

private:
    Result<std::size_t> read_retrying(std::uint64_t offset, std::size_t n, char* out, bool ask) const;

    FileHandle fd_;
    std::uint64_t size_;
    std::function<Status()> on_signal_;
};

// Bytes already in memory, offered directly: what tests and fuzz targets read. The memory must
// outlive the source.
class MemorySource final : public ByteSource {
public:
    MemorySource(std::string name, const char* data, std::uint64_t size)
        : ByteSource(std::move(name)), data_(data), size_(size) {}
    std::uint64_t size() const override { return size_; }
    Result<std::size_t> read_some(std::uint64_t offset, std::size_t n, char* out) const override;
    const char* direct() const override { return data_; }

private:
    const char* data_;
    std::uint64_t size_;
};

// A file opened for reading as a byte source: mapped when `map` is asked and the file can be mapped,
// else through its descriptor. Opens without blocking (a FIFO without a writer must not hang) and
// then reads blocking. A map keeps its descriptor until release_spare_descriptor().
struct OpenedFile {
    std::shared_ptr<ByteSource> source;
    bool regular = false;  // a regular file, not a pipe or a device
};
Result<OpenedFile> open_file_source(const std::string& path, const std::string& absolute, bool writable, bool map);
// A file opened to be read once from start to end, with its size when opened (a stream for pipes
// and devices); see DescriptorSource for `on_signal`.
struct StreamFile {
    std::unique_ptr<DescriptorSource> source;
    bool regular = false;
};
Result<StreamFile> open_stream_source(const std::string& path, std::function<Status()> on_signal);

}  // namespace sekva
