// Handing the interpreter lock to a waiting thread in the middle of a long loop.
#include "host/lock_turns.hpp"

#include <time.h>

#include <algorithm>

#include "host/interp.hpp"

namespace sekva::host {

void LockTurns::give_turn() {
    if (!others_may_wait_for_lock()) {
        due_ = Clock::now() + TURN;
        return;
    }
    PyThreadState* saved = PyEval_SaveThread();
    // Released and taken straight back, the lock would stay here: the waiting thread, woken, finds
    // it taken again and starts its wait over, so a loop that gives it up often would starve it.
    // Sleeping a moment (some 50 us, the timer's slack) lets it take the lock first.
    struct timespec moment = {0, 1000};
    nanosleep(&moment, nullptr);
    const Clock::time_point asked = Clock::now();
    PyEval_RestoreThread(saved);
    const Clock::time_point now = Clock::now();
    // A thread that kept the lock until the interpreter's switch interval took it back is running
    // Python code: turns of the same length share the lock evenly with it.
    due_ = now + std::clamp<Clock::duration>(now - asked, TURN, LONGEST_TURN);
}

}  // namespace sekva::host
