// The SIGBUS handler behind guarded_read: installed once, jumps back into the guarded read on this
// thread, and hands faults it does not own to whoever handled SIGBUS before.
#include "engine/io/bus_guard.hpp"

#include <setjmp.h>
#include <signal.h>

#include <atomic>
#include <mutex>

namespace sekva::detail {

namespace {

thread_local sigjmp_buf* active_guard = nullptr;
struct sigaction previous_action;
std::once_flag installed;

void on_bus_error(int sig, siginfo_t* info, void* context) {
    if (sigjmp_buf* guard = active_guard) {
        active_guard = nullptr;
        siglongjmp(*guard, 1);
    }
    if (previous_action.sa_flags & SA_SIGINFO) {
        if (previous_action.sa_sigaction) previous_action.sa_sigaction(sig, info, context);
        return;
    }
    if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
        previous_action.sa_handler(sig);
        return;
    }
    // Nobody else wants it: the default action, when the faulting read runs again on return.
    signal(SIGBUS, SIG_DFL);
}

void install() {
    struct sigaction action = {};
    action.sa_sigaction = on_bus_error;
    // NODEFER: the jump out of the handler must not leave SIGBUS blocked on this thread.
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previous_action);
}

}  // namespace

bool run_guarded(void (*fn)(void*), void* arg) {
    static std::atomic<bool> ready{false};
    if (!ready.load(std::memory_order_acquire)) {
        std::call_once(installed, install);
        ready.store(true, std::memory_order_release);
    }
    // One lookup of this thread's slot: in a loaded library each one is a call.
    sigjmp_buf** volatile slot = &active_guard;
    sigjmp_buf guard;
    sigjmp_buf* volatile outer = *slot;
    if (sigsetjmp(guard, 0) != 0) {
        *slot = outer;
        return false;
    }
    *slot = &guard;
    fn(arg);
    *slot = outer;
    return true;
}

}  // namespace sekva::detail
