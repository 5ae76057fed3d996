// Opening a FASTA file: stat, open, map, then load the index or build it first.
#include "engine/fasta/engine.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <exception>
#include <functional>
#include <new>

#include "engine/codec/gzi_file.hpp"
#include "engine/fasta/headers.hpp"
#include "engine/fasta/index_file.hpp"
#include "engine/fasta/index_stream.hpp"
#include "engine/fasta/scan.hpp"
#include "engine/fasta/scan_pieces.hpp"
#include "engine/io/remote_cache.hpp"

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
Status explain_index_write(Status err, const std::string& path) {
    if (err && (err->os_errno == EACCES || err->os_errno == EROFS || err->os_errno == EPERM))
        err->payload = "cannot write the index " + path + ": " + err->payload +
                       "; pass indexname= to put the index elsewhere";
    return err;
}

Status write_index_at(const std::string& path, const std::vector<NamedEntry>& entries) {
    return explain_index_write(write_index(path, entries), path);
}

// Whether a URL has a query, which may sign it (a presigned URL): a suffix cannot name a file beside it.
bool carries_query(const std::string& url) { return url.find('?') != std::string::npos; }

FaidxError no_cache_error(const std::string& url) {
    return io_error("no cache directory to keep the index of " + url +
                    " in: set SEKVA_CACHE_DIR, or pass indexname= to put the index elsewhere");
}

}  // namespace

Engine::Engine(OpenOptions options) : options_(std::move(options)) {
    index_path_ = options_.indexname ? *options_.indexname : options_.filename + ".fai";
    // A URL reaches the same file from any working directory as it is.
    auto absolute = [](const std::string& name) { return is_remote_name(name) ? name : absolute_path(name); };
    absolute_filename_ = absolute(options_.filename);
    absolute_index_path_ = absolute(index_path_);
    if (!is_remote_name(options_.filename)) gzi_write_path_ = gzi_path();
}


// What was just written is what reading the index back would give (names are first words, which
// the reading's trim leaves as they are): a FASTQ file of millions of reads is not parsed again.
Status Engine::keep_written(std::vector<NamedEntry>& entries) {
    if (Status err = write_index_at(index_path_, entries)) return err;
    written_ = std::move(entries);
    return success;
}

Status Engine::load_index(std::vector<NamedEntry>& records) {
    if (!written_) {
        IndexParse how{wanted_};
        Status err = read_index(index_path_, records, how);
        index_six_ = how.six_columns;
        return err;
    }
    records = std::move(*written_);
    written_.reset();
    index_six_ = !records.empty() && records.front().entry.has_qualities();
    if (wanted_) std::erase_if(records, [this](const NamedEntry& r) { return !wanted_->contains(r.name); });
    return success;
}

Result<std::unique_ptr<Engine>> Engine::open(OpenOptions options, Interruption interruption, Naming naming) {
    try {
        std::unique_ptr<Engine> engine(new Engine(std::move(options)));
        const OpenOptions& opt = engine->options_;
        engine->wanted_ = naming.wanted;
        if (is_remote_name(opt.filename)) return open_remote(std::move(engine), interruption, naming);
        auto opened = engine->open_local();
        if (!opened.ok()) return opened.error();
        const bool regular = opened.value().regular;
        const std::shared_ptr<ByteSource>& file = opened.value().source;

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
        if (Status err = engine->load_index(records)) return *err;
        if (Status err = engine->check_index_fits(build, regular, file->size(), interruption, records)) return *err;
        if (Status err = engine->check_index_format(build, interruption, records)) return *err;
        if (Status err = engine->name_records(std::move(records), naming)) return *err;
        engine->wanted_ = nullptr;
        return engine;
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    } catch (const std::exception& e) {
        return io_error(e.what());
    }
}

// Mapped unless it is to be written; a pipe or a device is read through its descriptor.
Result<OpenedFile> Engine::open_local() {
    const OpenOptions& opt = options_;
    if (!stat_path(opt.filename)) return FaidxError{ErrorKind::FastaNotFound, opt.filename};
    auto opened = open_file_source(opt.filename, absolute_filename_, opt.is_mutable, !opt.is_mutable);
    if (!opened.ok()) return opened.error();
    const std::shared_ptr<ByteSource>& file = opened.value().source;
    if (Status err = open_compressed(file, opened.value().regular)) return *err;
    // A BGZF file keeps its map's descriptor to tell a file that shrank from a corrupt block.
    if (!bgzf_) file->release_spare_descriptor();
    bytes_ = bgzf_ ? std::shared_ptr<const ByteSource>(bgzf_) : file;
    reader_.emplace(bytes_.get(), nullptr, true);
    return opened;
}

Result<bool> Engine::build_only(OpenOptions options, Interruption interruption) {
    options.build_index = options.rebuild = true;
    try {
        std::unique_ptr<Engine> engine(new Engine(std::move(options)));
        if (is_remote_name(engine->options_.filename)) {
            // A remote file's index is found or built as it opens, in the cache or where named.
            auto opened = open(engine->options_, interruption);
            if (!opened.ok()) return opened.error();
            return opened.value()->fastq();
        }
        auto opened = engine->open_local();
        if (!opened.ok()) return opened.error();
        if (Status err = engine->build_index_file(interruption, true)) return *err;
        if (Status err = engine->check_compressed_table(true, interruption)) return *err;
        if (!engine->written_) return engine->built_fastq_;  // written as it was scanned
        const std::vector<NamedEntry>& written = *engine->written_;
        const bool fastq = !written.empty() && written.front().entry.has_qualities();
        // A compressed file's build is the one the library opens it with, which says nothing of them.
        if (engine->bgzf_ && !fastq) say_repeated_names(written);
        return fastq;
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
        if (!remote_ && stat_path(gzi))
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
    bool build = false;
    Result<BlockTable> table = BlockTable{};
    if (remote_) {
        table = remote_block_table(bytes, *remote_->sequential(), build);
    } else {
        auto gzi_time = modified(gzi), fasta_time = modified(opt.filename);
        build = !gzi_time || (opt.build_index && opt.rebuild && fasta_time && later(*fasta_time, *gzi_time));
        table = build ? scan_block_table(opt.filename, bytes) : read_gzi(gzi, opt.filename, bytes);
    }
    if (!table.ok() && !build && opt.build_index && !remote_) {
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
    if (!index_built) {
        auto pass = bgzf_for_one_pass();
        if (!pass.ok()) return std::move(pass.error());
        if (Status err = check_blocks(*pass.value(), [&] { return interruption(); }, interrupted_error())) return err;
    }
    table_unchecked_ = false;
    // Only an aid: a .gzi that cannot be written (a read-only directory) costs a scan and a check of
    // the blocks at the next opening, nothing more.
    if (options_.build_index && !gzi_write_path_.empty())
        static_cast<void>(write_gzi(gzi_write_path_, bgzf_->table()));
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
            // A remote index is built again into the cache, never over the URL.
            if (remote_ && is_remote_name(index_path_)) {
                index_path_ = remote_cache_path(remote_->identity(), ".fai");
                if (index_path_.empty()) return no_cache_error(options_.filename);
            }
            if (Status err = build_index_file(interruption)) return err;
            return load_index(records);
        }
        return io_error(index_path_ + " does not fit " + options_.filename + ": record '" + std::string(name) +
                        "' lies past the end of " + (bgzf_ ? "its decompressed data" : "the file") + " (" +
                        std::to_string(size) + " bytes); the file is damaged or truncated, or the index belongs to "
                        "another file");
    }
    return std::nullopt;
}

namespace {

// Whether the text is FASTQ: its first byte other than line breaks is '@' (as the scan decides).
Result<bool> text_is_fastq(const ByteSource& bytes) {
    char head[4096];
    for (std::uint64_t at = 0; at < bytes.size();) {
        auto got = read_at(bytes, at, sizeof head, head);
        if (!got.ok()) return std::move(got.error());
        if (got.value() == 0) break;
        for (std::uint64_t i = 0; i < got.value(); ++i)
            if (head[i] != '\n' && head[i] != '\r') return head[i] == '@';
        at += got.value();
    }
    return false;
}

}  // namespace

// An index of the other format (five columns for a FASTQ file, six for a FASTA one) belongs to
// another file: it is rebuilt where the index may be rebuilt, else refused.
Status Engine::check_index_format(bool index_built, const Interruption& interruption,
                                  std::vector<NamedEntry>& records) {
    const bool six = index_six_;
    if (index_built) {
        fastq_ = six;
        return success;
    }
    auto is_fastq = text_is_fastq(*bytes_);
    if (!is_fastq.ok()) return std::move(is_fastq.error());
    fastq_ = is_fastq.value();
    if (six == fastq_) return success;
    const bool local_index = !(remote_ && is_remote_name(index_path_));
    if (options_.build_index && options_.rebuild && local_index) {
        records.clear();
        if (Status err = build_index_file(interruption)) return err;
        if (Status err = load_index(records)) return err;
        fastq_ = index_six_;
        return success;
    }
    return FaidxError{ErrorKind::Indexing,
                      index_path_ + (six ? " has six columns, a FASTQ index, but " : " is a FASTA index, but ") +
                          options_.filename + (fastq_ ? " is a FASTQ file" : " is a FASTA file") +
                          "; remove the index to have it built again"};
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

const Engine* Engine::qualities() const {
    if (!fastq_) return nullptr;
    std::call_once(qualities_once_, [this] {
        OpenOptions options = options_;
        options.sequence_always_upper = false;
        options.default_seq.reset();
        NameTable table;
        table.reserve(names_.size());
        for (std::string_view name : names_.keys()) table.insert(name, names_.find(name)->qualities());
        qualities_ = over(std::move(options), bytes_, std::move(table));
    });
    return qualities_.get();
}

Result<std::string> Engine::header(std::string_view key, const IndexEntry& entry) const {
    return read_header(*bytes_, key, entry.offset, fastq_ ? '@' : '>');
}

Status Engine::build_compressed_index(const Interruption& interruption) {
    auto pass = bgzf_for_one_pass();
    if (!pass.ok()) return std::move(pass.error());
    FastaScanner scanner;
    Status err = for_each_piece(*pass.value(), 64, [&](std::string_view piece, std::uint64_t) -> Status {
        if (!interruption()) return interrupted_error();
        return scanner.feed(piece.data(), piece.size());
    });
    if (err) return err;
    if (Status end = finish_scan(scanner, options_.filename)) return end;
    return keep_written(scanner.entries());
}

// The scan reads the file through its own descriptor rather than the map, so a file truncated
// meanwhile reads short instead of faulting, and devices and pipes are read as streams: the
// scan stops at the first line that is not text, whatever follows.
Status Engine::build_index_file(const Interruption& interruption, bool stream) {
    if (bgzf_) return build_compressed_index(interruption);
    if (remote_) return build_remote_index(interruption);
    // A signal that interrupts a read (a user's Ctrl-C during a long wait on a pipe) is asked about.
    auto ask = [&]() -> Status {
        if (!interruption()) return interrupted_error();
        return success;
    };
    auto opened = open_stream_source(options_.filename, ask);
    if (!opened.ok()) return opened.error();
    const DescriptorSource& file = *opened.value().source;
    const bool regular = opened.value().regular;
    const std::uint64_t size = file.size();

    FastaScanner scanner;
    std::uint64_t total = 0;
    // An index that nothing will read from memory is written as the records are scanned, where it
    // can be (else, as for a small file, at the end; so an index that cannot be written at all
    // fails after the scan, as it always does).
    std::optional<IndexStream> streamed;
    bool stream_refused = false;
    std::function<Status()> take_records;
    if (stream)
        take_records = [&]() -> Status {
            if ((!scanner.is_fastq() && !scanner.is_fasta()) || stream_refused) return success;
            if (!streamed) {
                auto begun = IndexStream::begin(index_path_, file, scanner.is_fastq());
                if (!begun.ok() || !begun.value()) {
                    stream_refused = true;
                    scanner.expect_size(size);
                    return success;
                }
                streamed.emplace(std::move(*begun.value()));
                if (scanner.is_fastq()) scanner.leave_repeated_reads();
                streamed->expect(scanner.expected_entries(size));
            }
            return streamed->take(scanner.entries());
        };
    if (regular) {
        auto fed = scan_in_pieces(file, size, scanner, ask, {}, take_records);
        if (!fed.ok()) return std::move(fed.error());
        total = fed.value();
    }
    ReadBuffer buffer = read_buffer(SCAN_CHUNK);
    for (;;) {
        if (Status stop = ask()) return stop;
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
    built_fastq_ = scanner.is_fastq();
    if (streamed) {
        if (Status err = streamed->take(scanner.entries())) return err;
        return explain_index_write(streamed->finish(), index_path_);
    }
    // A build for the index alone says each later record of a name, as a streamed one does.
    if (stream && !built_fastq_) say_repeated_names(scanner.entries());
    return keep_written(scanner.entries());
}

// ---- Files opened by URL ----

// A remote file is read through bounded range requests. Its index is the one named by indexname=
// (a local path or a URL), else URL.fai, else the one kept in the local cache for this version of
// the object, else built there in one pass over the file.
Result<std::unique_ptr<Engine>> Engine::open_remote(std::unique_ptr<Engine> engine, const Interruption& interruption,
                                                    const Naming& naming) {
    const OpenOptions& opt = engine->options_;
    if (!remote_access_built()) return no_remote_access_error(opt.filename);
    if (opt.is_mutable) return io_error("a remote file cannot be opened to be written: " + opt.filename);
    auto opened = HttpSource::open(opt.filename, FaidxError{ErrorKind::FastaNotFound, opt.filename});
    if (!opened.ok()) return opened.error();
    engine->remote_ = std::move(opened.value());
    if (Status err = engine->open_compressed(engine->remote_, true)) return *err;
    engine->bytes_ = engine->bgzf_ ? std::shared_ptr<const ByteSource>(engine->bgzf_) : engine->remote_;
    engine->reader_.emplace(engine->bytes_.get(), nullptr, true);

    bool build = false;
    std::vector<NamedEntry> records;
    if (Status err = engine->find_remote_index(interruption, build, records)) return *err;
    if (Status err = engine->check_compressed_table(build, interruption)) return *err;
    if (Status err = engine->check_index_fits(build, true, engine->remote_->size(), interruption, records))
        return *err;
    if (Status err = engine->check_index_format(build, interruption, records)) return *err;
    if (Status err = engine->name_records(std::move(records), naming)) return *err;
    engine->wanted_ = nullptr;
    return engine;
}

// Finds (or builds) the index of a remote file and reads its records; `build` says it was built.
// A remote index older than the file (by Last-Modified) is not used where rebuilding is allowed.
Status Engine::find_remote_index(const Interruption& interruption, bool& build, std::vector<NamedEntry>& records) {
    const OpenOptions& opt = options_;
    const std::optional<std::int64_t> file_time = remote_->identity().modified_time();
    if (opt.indexname && !is_remote_name(*opt.indexname)) {
        // A local index: built where it is named when missing, rebuilt when older than the file.
        auto index_time = modified(index_path_);
        build = !index_time ? opt.build_index
                            : opt.build_index && opt.rebuild && file_time && index_time->tv_sec < *file_time;
    } else {
        RemoteIdentity index;
        // A URL with a query (a presigned one) has no index beside it: its signature is for the
        // file alone. Its index is named by indexname=, or kept in the cache.
        auto text = !opt.indexname && carries_query(opt.filename) ? Result<std::optional<std::string>>(std::nullopt)
                                                                 : fetch_remote_file(index_path_, &index);
        if (!text.ok()) return std::move(text.error());
        const auto index_time = index.modified_time();
        const bool stale = opt.build_index && opt.rebuild && file_time && index_time && *index_time < *file_time;
        if (text.value() && !stale) {
            build = false;
            IndexParse how{wanted_};
            Status err = parse_index_text(*text.value(), records, how);
            index_six_ = how.six_columns;
            return err;
        }
        if (opt.indexname && !text.value() && !opt.build_index) return FaidxError{ErrorKind::IndexNotFound, index_path_};
        const std::string cached = remote_cache_path(remote_->identity(), ".fai");
        if (!cached.empty() && stat_path(cached)) {
            index_path_ = cached;
            build = false;
        } else if (!opt.build_index) {
            return FaidxError{ErrorKind::IndexNotFound, index_path_};
        } else if (cached.empty()) {
            return no_cache_error(opt.filename);
        } else {
            index_path_ = cached;
            build = true;
        }
    }
    if (build)
        if (Status err = build_index_file(interruption)) return err;
    return load_index(records);
}

// The block table of a remote BGZF file: from URL.gzi, else from the cache, else scanned from the
// blocks (and kept in the cache once checked). `pass` reads the compressed file in large pieces
// for the scan; a .gzi's blocks are checked as they are read, not all at opening.
Result<BlockTable> Engine::remote_block_table(const ByteSource& bytes, const ByteSource& pass, bool& build) {
    const OpenOptions& opt = options_;
    const std::string gzi_url = gzi_path();
    auto text = carries_query(opt.filename) ? Result<std::optional<std::string>>(std::nullopt) : fetch_remote_file(gzi_url);
    if (!text.ok()) return std::move(text.error());
    const std::string cached = remote_cache_path(remote_->identity(), ".gzi");
    if (text.value()) {
        auto starts = parse_gzi(*text.value(), gzi_url);
        Result<BlockTable> table = starts.ok() ? table_from_gzi_starts(gzi_url, opt.filename, bytes, std::move(starts.value()), false)
                                               : Result<BlockTable>(std::move(starts.error()));
        // A .gzi that does not describe the file is built again from the blocks, as for a local one.
        if (table.ok() || !opt.build_index) {
            build = false;
            return table;
        }
    } else if (!cached.empty() && stat_path(cached)) {
        auto table = read_gzi(cached, opt.filename, bytes, false);
        if (table.ok()) {
            build = false;
            return table;
        }
    }
    gzi_write_path_ = cached;
    build = true;
    return scan_block_table(opt.filename, pass);
}

Result<std::shared_ptr<const BgzfFile>> Engine::bgzf_for_one_pass() const {
    if (!remote_) return std::shared_ptr<const BgzfFile>(bgzf_);
    auto pass = BgzfFile::open(bgzf_->path(), remote_->sequential(), bgzf_->table());
    if (!pass.ok()) return std::move(pass.error());
    return std::shared_ptr<const BgzfFile>(std::move(pass.value()));
}

// The text index of a remote file, from one pass over it in bounded pieces, never held whole.
Status Engine::build_remote_index(const Interruption& interruption) {
    const std::shared_ptr<const ByteSource> pass = remote_->sequential();
    FastaScanner scanner;
    ReadBuffer buffer = read_buffer(SCAN_CHUNK);
    for (std::uint64_t at = 0; at < pass->size();) {
        if (!interruption()) return interrupted_error();
        auto got = read_at(*pass, at, SCAN_CHUNK, buffer.get());
        if (!got.ok()) return std::move(got.error());
        if (got.value() == 0) break;
        if (Status err = scanner.feed(buffer.get(), got.value())) return err;
        at += got.value();
    }
    if (Status err = finish_scan(scanner, options_.filename)) return err;
    return keep_written(scanner.entries());
}

}  // namespace sekva
