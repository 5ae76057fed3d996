// Sharing the interpreter lock during long calls: LockTurns for loops that need it, a list kept
// out of reach while they fill it, and freeing large buffers without the lock.
#pragma once

#include <Python.h>

#include <chrono>
#include <utility>
#include <vector>

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

// The items of a list that a long loop makes, kept where Python cannot reach them until all are
// made (a list being filled can be reached, through gc.get_objects(), while other threads run),
// and released unless handed out as a list.
class PendingList {
public:
    PendingList() = default;
    PendingList(const PendingList&) = delete;
    PendingList& operator=(const PendingList&) = delete;
    ~PendingList() {
        for (PyObject* o : items_) Py_XDECREF(o);
    }
    void resize(std::size_t count) { items_.resize(count, nullptr); }
    PyObject*& operator[](std::size_t i) { return items_[i]; }
    PyObject* to_list() {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(items_.size()));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < items_.size(); ++i)
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), std::exchange(items_[i], nullptr));
        return list;
    }

private:
    std::vector<PyObject*> items_;
};

// Empties each owner (a vector, a unique_ptr) with the lock released: giving back the pages of
// tens of megabytes takes milliseconds.
template <class... Owners>
void free_without_lock(Owners&... owners) {
    without_lock([&] { (std::exchange(owners, Owners{}), ...); });
}

}  // namespace sekva::host
