// Opening a FASTA file: stat, open, map, then load the index or build it first.
#include "engine/fasta/engine.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <exception>
#include <new>

#include "engine/codec/gzi_file.hpp"
#include "engine/fasta/headers.hpp"
#include "engine/fasta/index_file.hpp"
#include "engine/fasta/scan.hpp"

namespace sekva {

namespace {

constexpr std::size_t SCAN_CHUNK = 1 << 20;

// Modification time, when it can be read.
std::optional<struct timespec> modified(const std::string& path) {
    auto st = stat_path(path);
    if (!st) return std::nullopt;
    return st->st_mtim;
}

bool later(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// Ends a build: text with no header line at all is refused rather than indexed as an empty genome.
Status finish_scan(FastaScanner& scanner, const std::string& filename) {
    if (Status end = scanner.finish()) return end;
    if (scanner.no_header_in_text())
        return FaidxError{ErrorKind::Indexing, filename + ": no line starts with '>', so it is not a FASTA file"};
    return std::nullopt;
}

// An index that cannot be written where it belongs (a read-only directory, say) names its path and
// the option that puts it elsewhere.
Status write_index_at(const std::string& path, const std::vector<NamedEntry>& entries) {
    Status err = write_index(path, entries);
    if (err && (err->os_errno == EACCES || err->os_errno == EROFS || err->os_errno == EPERM))
        err->payload = "cannot write the index " + path + ": " + err->payload +
                       "; pass indexname= to put the index elsewhere";
    return err;
}

}  // namespace

Engine::Engine(OpenOptions options) : options_(std::move(options)) {
    index_path_ = options_.indexname ? *options_.indexname : options_.filename + ".fai";
    absolute_filename_ = absolute_path(options_.filename);
    absolute_index_path_ = absolute_path(index_path_);
}

FaidxError interrupted_error() { return io_error("interrupted"); }

Result<std::unique_ptr<Engine>> Engine::open(OpenOptions options, Interruption interruption, Naming naming) {
    try {
        std::unique_ptr<Engine> engine(new Engine(std::move(options)));
        const OpenOptions& opt = engine->options_;
        if (!stat_path(opt.filename)) return FaidxError{ErrorKind::FastaNotFound, opt.filename};

        // Mapped unless it is to be written; a pipe or a device is read through its descriptor.
        auto opened = open_file_source(opt.filename, engine->absolute_filename_, opt.is_mutable, !opt.is_mutable);
        if (!opened.ok()) return opened.error();
        std::shared_ptr<ByteSource> file = std::move(opened.value().source);
        const bool regular = opened.value().regular;
        if (Status err = engine->open_compressed(file, regular)) return *err;
        // A BGZF file keeps its map's descriptor to tell a file that shrank from a corrupt block.
        if (!engine->bgzf_) file->release_spare_descriptor();
        engine->bytes_ = engine->bgzf_ ? std::shared_ptr<const ByteSource>(engine->bgzf_) : file;
        engine->reader_.emplace(engine->bytes_.get(), nullptr, true);

        bool build = false;
        if (!modified(engine->index_path_)) {
            build = opt.build_index;
        } else if (opt.build_index && opt.rebuild) {
            auto fasta_time = modified(opt.filename);
            auto index_time = modified(engine->index_path_);
            build = fasta_time && index_time && later(*fasta_time, *index_time);
        }
        if (build)
            if (Status err = engine->build_index_file(interruption)) return *err;
        if (Status err = engine->check_compressed_table(build, interruption)) return *err;
        std::vector<NamedEntry> records;
        if (Status err = read_index(engine->index_path_, records)) return *err;
        if (Status err = engine->check_index_fits(build, regular, file->size(), interruption, records)) return *err;
        if (Status err = engine->name_records(std::move(records), naming)) return *err;
        return engine;
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    } catch (const std::exception& e) {
        return io_error(e.what());
    }
}

std::unique_ptr<Engine> Engine::over(OpenOptions options, std::shared_ptr<const ByteSource> bytes, NameTable names) {
    std::unique_ptr<Engine> engine(new Engine(std::move(options)));
    engine->bytes_ = std::move(bytes);
    engine->reader_.emplace(engine->bytes_.get(), nullptr, true);
    engine->names_ = std::move(names);
    return engine;
}

// A compressed file is told by its first bytes, before any index is written: BGZF is read through
// its block table (from the .gzi, or built from the block headers and checked before it is written
// beside it); any other compression allows no random access and is refused.
Status Engine::open_compressed(const std::shared_ptr<ByteSource>& file, bool regular) {
    if (!regular) return std::nullopt;  // a pipe or device is read as text
    const ByteSource& bytes = *file;
    auto head = file_head(bytes);
    if (!head.ok()) return head.error();
    const Compression kind = detect_compression(head.value());
    const OpenOptions& opt = options_;
    const std::string gzi = gzi_path();
    if (kind == Compression::None) {
        // A BGZF file whose first bytes were damaged would otherwise be read as text through the
        // index of its uncompressed data, giving compressed bytes as bases.
        if (damaged_bgzf_head(head.value()))
            return io_error(opt.filename + " is a BGZF file whose first bytes are damaged");
        if (stat_path(gzi))
            return io_error(opt.filename + " is not BGZF-compressed, but the block index " + gzi +
                            " lies beside it: the file is damaged or was replaced; remove the .gzi to read it as "
                            "uncompressed text");
        binary_head_ = head.value().find('\0') != std::string::npos;
        return std::nullopt;
    }
    if (kind != Compression::Bgzf) return no_random_access_error(opt.filename, kind);
    if (!can_inflate()) return no_decompressor_error(opt.filename);
    if (!has_eof_marker(bytes))
        write_warning(opt.filename + ": EOF marker is absent; the BGZF file is probably truncated");
    auto gzi_time = modified(gzi), fasta_time = modified(opt.filename);
    bool build = !gzi_time || (opt.build_index && opt.rebuild && fasta_time && later(*fasta_time, *gzi_time));
    Result<BlockTable> table = build ? scan_block_table(opt.filename, bytes) : read_gzi(gzi, opt.filename, bytes);
    if (!table.ok() && !build && opt.build_index) {
        // A .gzi that does not describe the file is built again from the blocks.
        build = true;
        table = scan_block_table(opt.filename, bytes);
    }
    if (!table.ok()) return table.error();
    auto opened = BgzfFile::open(opt.filename, file, std::move(table.value()));
    if (!opened.ok()) return opened.error();
    bgzf_ = std::move(opened.value());
    table_unchecked_ = build;
    return std::nullopt;
}

// A table built from the blocks' footers is only as good as every ISIZE in it: one damaged size
// shifts all later blocks. Every block is inflated against it once before it is used or written as
// the .gzi: by the index build, which reads all the data anyway, or else by a pass of its own.
Status Engine::check_compressed_table(bool index_built, const Interruption& interruption) {
    if (!bgzf_ || !table_unchecked_) return std::nullopt;
    if (!index_built)
        if (Status err = check_blocks(*bgzf_, [&] { return interruption(); }, interrupted_error())) return err;
    table_unchecked_ = false;
    // Only an aid: a .gzi that cannot be written (a read-only directory) costs a scan and a check of
    // the blocks at the next opening, nothing more.
    if (options_.build_index) static_cast<void>(write_gzi(gzi_path(), bgzf_->table()));
    return std::nullopt;
}

namespace {

// The byte past a record's last base (its first base's offset when it has none); false when that
// lies beyond 2^64.
bool record_end(const IndexEntry& e, std::uint64_t& end) {
    end = e.offset;
    if (e.rlen == 0) return true;
    std::uint64_t lines;
    return e.lenc != 0 && !__builtin_mul_overflow((e.rlen - 1) / e.lenc, e.lenb, &lines) &&
           !__builtin_add_overflow(end, lines, &end) && !__builtin_add_overflow(end, (e.rlen - 1) % e.lenc + 1, &end);
}

}  // namespace

// An index read from disk must fit the data it indexes. A BGZF file cut at a block boundary still
// reads as a whole, shorter file, so an index with records past its end is rebuilt (or refused
// where it may not be rebuilt). A plain file whose index puts a record's start past its end is
// most likely a compressed file read as text through the index of its uncompressed data: refused
// when the file holds the NUL bytes every gzip header has and no text has. (A text file with an
// index that lies is left to the reads, which fail where the bytes are missing.)
Status Engine::check_index_fits(bool index_built, bool regular, std::uint64_t file_size,
                                const Interruption& interruption, std::vector<NamedEntry>& records) {
    if (index_built || !regular || (!bgzf_ && !binary_head_)) return std::nullopt;
    const std::uint64_t size = bgzf_ ? bgzf_->size() : file_size;
    for (const auto& [name, e] : records) {
        std::uint64_t end;
        if (bgzf_ ? record_end(e, end) && end <= size : e.offset <= size) continue;
        if (bgzf_ && options_.build_index && options_.rebuild) {
            records.clear();
            if (Status err = build_index_file(interruption)) return err;
            return read_index(index_path_, records);
        }
        return io_error(index_path_ + " does not fit " + options_.filename + ": record '" + std::string(name) +
                        "' lies past the end of " + (bgzf_ ? "its decompressed data" : "the file") + " (" +
                        std::to_string(size) + " bytes); the file is damaged or truncated, or the index belongs to "
                        "another file");
    }
    return std::nullopt;
}

// Keys: the index's names or whole header lines, then the host's keys, then one record per key.
Status Engine::name_records(std::vector<NamedEntry>&& records, const Naming& naming) {
    if (options_.read_long_names)
        for (NamedEntry& r : records) {
            auto line = header(r.name, r.entry);
            if (!line.ok()) return std::move(line.error());
            r.name = std::move(line.value());
        }
    if (naming.rename)
        if (Status err = naming.rename(naming.context, records)) return err;
    names_ = NameTable::of_records(std::move(records), options_.duplicate_action);
    return std::nullopt;
}

Result<std::string> Engine::header(std::string_view key, const IndexEntry& entry) const {
    return read_header(*bytes_, key, entry.offset);
}

Status Engine::build_compressed_index(const Interruption& interruption) {
    FastaScanner scanner;
    Status err = for_each_piece(*bgzf_, 64, [&](std::string_view piece, std::uint64_t) -> Status {
        if (!interruption()) return interrupted_error();
        return scanner.feed(piece.data(), piece.size());
    });
    if (err) return err;
    if (Status end = finish_scan(scanner, options_.filename)) return end;
    return write_index_at(index_path_, scanner.entries());
}

// The scan reads the file through its own descriptor rather than the map, so a file truncated
// meanwhile reads short instead of faulting, and devices and pipes are read as streams: the
// scan stops at the first line that is not text, whatever follows.
Status Engine::build_index_file(const Interruption& interruption) {
    if (bgzf_) return build_compressed_index(interruption);
    // A signal that interrupts a read (a user's Ctrl-C during a long wait on a pipe) is asked about.
    auto opened = open_stream_source(options_.filename, [&]() -> Status {
        if (!interruption()) return interrupted_error();
        return success;
    });
    if (!opened.ok()) return opened.error();
    const DescriptorSource& file = *opened.value().source;
    const bool regular = opened.value().regular;
    const std::uint64_t size = file.size();

    FastaScanner scanner;
    std::unique_ptr<char[]> buffer(new char[SCAN_CHUNK]);
    std::uint64_t total = 0;
    for (;;) {
        if (!interruption()) return interrupted_error();
        auto got = file.read_some(total, SCAN_CHUNK, buffer.get());
        if (!got.ok()) return std::move(got.error());
        if (got.value() == 0) break;
        total += got.value();
        if (Status err = scanner.feed(buffer.get(), got.value())) return err;
    }
    if (regular) {
        struct stat after;
        if (::fstat(file.descriptor(), &after) != 0) return io_error_from_errno(errno);
        if (total < size || static_cast<std::uint64_t>(after.st_size) < size) return file_shrank_error();
        // Bytes added after the scan read its last ones would be missing from an index that is
        // newer than the file, and so never rebuilt.
        if (static_cast<std::uint64_t>(after.st_size) != total)
            return io_error("the FASTA file changed while its index was being built; open it again");
    }
    if (Status err = finish_scan(scanner, options_.filename)) return err;
    return write_index_at(index_path_, scanner.entries());
}

}  // namespace sekva
