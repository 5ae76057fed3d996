// Sharing the interpreter lock during long calls: LockTurns for loops that need it, and freeing
// large buffers without it.
#pragma once

#include <Python.h>

#include <chrono>
#include <utility>

#include "host/entry.hpp"

namespace sekva::host {

// The steps of a loop over many items that needs the interpreter lock (reading the caller's
// regions, making one host object per region). Every `check_every` steps the clock is read, and
// once the lock has been held for a turn, a thread waiting for it gets it: however many items a
// call is given, another thread of the process (a data loader's prefetcher, an event loop) waits a
// few milliseconds at most, as it would beside a loop of Python code.
//
// Other threads run inside step(): call it only where nothing half-made is reachable from Python
// (a list being filled is, through gc.get_objects()) and nothing the loop still reads can be
// changed by them (read a tuple, not the caller's list).
class LockTurns {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration TURN = std::chrono::milliseconds(2);
    // Held no longer than this even after another thread kept the lock for longer.
    static constexpr Clock::duration LONGEST_TURN = std::chrono::milliseconds(5);

    // A look at the clock costs some 20 ns: steps of a microsecond or more can afford one each.
    explicit LockTurns(unsigned check_every = 64) : check_every_(check_every), due_(Clock::now() + TURN) {}

    void step() {
        if (++steps_ < check_every_) return;
        steps_ = 0;
        if (Clock::now() >= due_) [[unlikely]]
            give_turn();
    }

private:
    void give_turn();

    unsigned check_every_;
    unsigned steps_ = 0;
    Clock::time_point due_;
};

// Empties each owner (a vector, a unique_ptr) with the lock released: giving back the pages of
// tens of megabytes takes milliseconds.
template <class... Owners>
void free_without_lock(Owners&... owners) {
    without_lock([&] { (std::exchange(owners, Owners{}), ...); });
}

}  // namespace sekva::host
