// A small FASTA file of fixed records in memory, opened once by the targets that fetch from one.
#pragma once

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "engine/fasta/engine.hpp"
#include "model.hpp"

namespace fuzz {

using Records = std::map<std::string, std::string, std::less<>>;

// The records as FASTA text, each header followed by `description`, lines of 7 bases, and an index
// the engine builds beside it (both memfd files).
inline std::unique_ptr<sekva::Engine> open_fixed_genome(const Records& records, const std::string& description) {
    std::string text;
    for (const auto& [name, bases] : records) {
        text += ">" + name + description + "\n";
        for (std::size_t i = 0; i < bases.size(); i += 7) text += bases.substr(i, 7) + "\n";
    }
    int fa = memfd_create("sekva-fuzz-fa", 0), fai = memfd_create("sekva-fuzz-fai", 0);
    FUZZ_CHECK(fa >= 0 && fai >= 0, "memfd_create failed");
    FUZZ_CHECK(::write(fa, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "writing a memfd failed");
    const struct timespec old[2] = {{1, 0}, {1, 0}};
    FUZZ_CHECK(::futimens(fai, old) == 0, "futimens failed");
    sekva::OpenOptions opt;
    opt.filename = "/proc/self/fd/" + std::to_string(fa);
    opt.indexname = "/proc/self/fd/" + std::to_string(fai);
    auto got = sekva::Engine::open(opt);
    FUZZ_CHECK(got.ok(), "the fixed FASTA file did not open: " + got.error().display());
    return std::move(got.value());
}

}  // namespace fuzz
