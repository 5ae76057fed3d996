// Reads from a mapped file that another process truncates fault with SIGBUS. Reads run through
// guarded_read turn that fault into an error instead of ending the process.
#pragma once

namespace sekva {

// Runs fn() with SIGBUS caught on this thread; false when the fault happened. fn must only read
// and write plain memory: nothing with a destructor may be alive in it when it faults.
template <class Fn>
bool guarded_read(Fn&& fn);

namespace detail {
bool run_guarded(void (*fn)(void*), void* arg);
}

template <class Fn>
bool guarded_read(Fn&& fn) {
    return detail::run_guarded([](void* f) { (*static_cast<Fn*>(f))(); }, &fn);
}

}  // namespace sekva
