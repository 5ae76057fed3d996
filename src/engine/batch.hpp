// Batch fetch of 1000 regions or more on the worker pool: regions are planned on the calling
// thread, extracted by the workers into one pre-sized arena, and handed back in input order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.hpp"
#include "engine/fetch.hpp"

namespace sekva {

inline constexpr std::size_t PARALLEL_THRESHOLD = 1000;

struct BatchRequest {
    std::string_view name;      // must stay valid for the call
    const IndexEntry* entry;    // nullptr when the name is not in the table
    std::uint64_t start;
    std::uint64_t end;
};

// One result: bytes [offset, offset + length) of the arena.
struct BatchSlot {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    Coords coords;
    bool ascii = false;  // known ASCII; false means: check
};

// Memory for all results of one batch; a large one is mapped with its pages made present up
// front, so the workers do not take a page fault for every 4 KiB they write.
class Arena {
public:
    Arena() = default;
    explicit Arena(std::uint64_t size);  // throws bad_alloc
    Arena(Arena&& o) noexcept;
    Arena& operator=(Arena&& o) noexcept;
    ~Arena();
    char* data() const { return data_; }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
};

struct BatchOutput {
    Arena arena;
    std::vector<BatchSlot> slots;
};

struct BatchFailure {
    enum class Kind { Region, NoMemory, Worker } kind;
    std::size_t position = 0;  // for Region: the first failed region in input order
    FaidxError error{ErrorKind::Fetch, {}};
    std::string message;  // for Worker
};

// Every region is fetched as fetch_single_optimized would (silent clamping, or strict checks),
// then the first failure in input order, if any, is reported. With `reverse_complement` each
// result is reverse-complemented in place (coordinates swapped by the caller).
Result<BatchOutput, BatchFailure> fetch_batch(const Engine& engine, const std::vector<BatchRequest>& requests,
                                              bool reverse_complement);

}  // namespace sekva
