// Stopping a call early when the user presses Ctrl-C (SIGINT).
//
// A long call (thousands of starts, a long path, many Newton iterations) is
// made interruptible by giving its drivers a RunControl. The drivers ask it
// stop_requested() between Newton iterations, starts and path points; that
// is one relaxed atomic load (plus, on the calling thread during the first
// moments of the call, one read of a coarse clock), so it costs nothing
// measurable. A run that is told to stop throws Interrupted once every thread
// has left its parallel region; the solver itself is never changed.
//
// How a SIGINT reaches it: SIGINT is caught by a handler that raises a
// process-wide flag and then calls whichever handler was installed before it
// (for a Python host, the interpreter's own, so the interpreter sees every
// signal exactly as without it). On the calling thread, stop_requested() sees the flag and
// asks the `confirm` hook whether to stop: the Python bindings run the
// interpreter's signal handlers there and stop only if one raised
// (KeyboardInterrupt by default), keeping the exception for the caller.
//
// The handler is put in place by watch_sigint() (the Python bindings call it
// when the module is imported) and stays as long as nobody replaces it.
// Installing it is a system call, too slow for every short call, so a call
// checks that it is still in place (and puts it back) only once it has run
// for kArmDelay. A call that has to put it back asks `confirm` once, since
// a SIGINT may have come in unseen before that. SIGINT that is ignored or
// left at its default action is left alone. A SIGINT that arrives between
// calls leaves the flag raised; the next call then asks `confirm` once,
// which finds nothing to do and lets the call go on.
//
// One RunControl per call, made and destroyed on the calling thread; only
// one call at a time should be interruptible (the Python bindings make one
// only for calls from the interpreter's main thread, the only thread that
// runs Python's signal handlers).
#pragma once

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace vexal::lpa {

// Thrown by a driver whose RunControl asked it to stop.
class Interrupted : public std::runtime_error {
public:
    Interrupted() : std::runtime_error("the call was interrupted") {}
};

class RunControl {
public:
    // confirm(context) runs on the calling thread after a SIGINT arrived; it
    // returns true to stop the call. A null confirm always stops.
    using Confirm = bool (*)(void* context);

    // How long a call runs before the SIGINT handler is checked and put in
    // place.
    static constexpr std::chrono::milliseconds kArmDelay{20};

    explicit RunControl(Confirm confirm = nullptr, void* context = nullptr);
    RunControl(const RunControl&) = delete;
    RunControl& operator=(const RunControl&) = delete;

    // True once the call should stop. Any thread may ask; only the thread
    // that made the control runs `confirm`.
    bool stop_requested() noexcept;

    // True if the call was told to stop.
    bool stopped() const noexcept { return stop_.load(std::memory_order_relaxed); }

private:
    bool poll_owner() noexcept;

    Confirm confirm_;
    void* context_;
    std::thread::id owner_;
    long long started_ns_;  // coarse monotonic clock
    bool armed_ = false;    // owner only
    std::atomic<bool> stop_{false};
};

// Puts the SIGINT handler described above in front of the current one,
// unless it is there already or SIGINT is ignored or at its default action.
// Returns true if it installed the handler.
bool watch_sigint() noexcept;

// Polls a possibly null control.
inline bool stop_requested(RunControl* control) noexcept {
    return control != nullptr && control->stop_requested();
}

}  // namespace vexal::lpa
