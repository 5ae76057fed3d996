// Opening a FASTA file: stat, open, map, then load the index or build it first.
#include "engine/engine.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <new>

#include "engine/index_file.hpp"
#include "engine/scan.hpp"

namespace sekva {

namespace {

// Modification time, when it can be read.
std::optional<struct timespec> modified(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return st.st_mtim;
}

bool later(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

}  // namespace

Engine::Engine(OpenOptions options) : options_(std::move(options)) {
    index_path_ = options_.indexname ? *options_.indexname : options_.filename + ".fai";
}

Result<std::unique_ptr<Engine>> Engine::open(OpenOptions options) {
    try {
        std::unique_ptr<Engine> engine(new Engine(std::move(options)));
        const OpenOptions& opt = engine->options_;
        struct stat st;
        if (::stat(opt.filename.c_str(), &st) != 0) return FaidxError{ErrorKind::FastaNotFound, opt.filename};

        // Non-blocking, so that a FIFO without a writer cannot hang the open.
        auto file = open_file(opt.filename, (opt.is_mutable ? O_RDWR : O_RDONLY) | O_NONBLOCK);
        if (!file.ok()) return file.error();
        if (!opt.is_mutable) engine->map_.reset(MappedFile::map(file.value().get()));
        // Without a map the descriptor stays open for reads; with one it is closed here.
        if (!engine->map_) engine->fd_ = std::move(file.value());

        bool build = false;
        if (!modified(engine->index_path_)) {
            build = opt.build_index;
        } else if (opt.build_index && opt.rebuild) {
            auto fasta_time = modified(opt.filename);
            auto index_time = modified(engine->index_path_);
            build = fasta_time && index_time && later(*fasta_time, *index_time);
        }
        if (build)
            if (Status err = engine->build_index_file()) return *err;
        if (Status err = read_index(engine->index_path_, engine->names_)) return *err;
        return engine;
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    }
}

Status Engine::build_index_file() {
    auto file = open_file(options_.filename, O_RDONLY | O_NONBLOCK);
    if (!file.ok()) return file.error();
    std::unique_ptr<MappedFile> own_map;
    std::string text;
    std::string_view data;
    if (map_) {
        data = std::string_view(map_->data(), map_->size());
    } else if ((own_map.reset(MappedFile::map(file.value().get())), own_map)) {
        data = std::string_view(own_map->data(), own_map->size());
    } else {
        auto read = read_all(file.value().get());
        if (!read.ok()) return read.error();
        text = std::move(read.value());
        data = text;
    }
    // Read-ahead for the one sequential pass; the shared map goes back to normal afterwards.
    bool mapped = !data.empty() && text.empty();
    if (mapped) ::madvise(const_cast<char*>(data.data()), data.size(), MADV_SEQUENTIAL);
    auto entries = scan_fasta(data);
    if (mapped && map_) ::madvise(const_cast<char*>(data.data()), data.size(), MADV_NORMAL);
    if (!entries.ok()) return entries.error();
    return write_index(index_path_, entries.value());
}

}  // namespace sekva
