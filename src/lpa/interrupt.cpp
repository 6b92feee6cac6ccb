#include "lpa/interrupt.h"

#include <signal.h>
#include <time.h>

#include <cerrno>

namespace vexal::lpa {

namespace {

// Raised by the handler, lowered by the thread that acts on it.
std::atomic<bool> g_sigint{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the SIGINT flag is set in a handler");

// The handler that was in place before ours; ours passes every signal on to
// it. Written only while ours is not installed.
struct sigaction g_previous;

extern "C" void on_sigint(int sig, siginfo_t* info, void* ucontext) {
    const int saved_errno = errno;
    g_sigint.store(true, std::memory_order_relaxed);
    if (g_previous.sa_flags & SA_SIGINFO) {
        if (g_previous.sa_sigaction != nullptr) g_previous.sa_sigaction(sig, info, ucontext);
    } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(sig);
    }
    errno = saved_errno;
}

bool is_ours(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == &on_sigint;
}

}  // namespace

bool watch_sigint() noexcept {
    struct sigaction current;
    if (sigaction(SIGINT, nullptr, &current) != 0 || is_ours(current)) return false;
    if (!(current.sa_flags & SA_SIGINFO) &&
        (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN))
        return false;
    g_previous = current;
    struct sigaction mine = {};
    mine.sa_sigaction = &on_sigint;
    mine.sa_mask = current.sa_mask;
    mine.sa_flags = SA_SIGINFO | (current.sa_flags & (SA_ONSTACK | SA_RESTART));
    return sigaction(SIGINT, &mine, nullptr) == 0;
}

namespace {

// Monotonic time in nanoseconds from the coarse clock: a few nanoseconds to
// read, a few milliseconds of resolution, which is all the arming needs.
long long coarse_now_ns() noexcept {
    timespec ts;
#ifdef CLOCK_MONOTONIC_COARSE
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
#else
    clock_gettime(CLOCK_MONOTONIC, &ts);
#endif
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

RunControl::RunControl(Confirm confirm, void* context)
    : confirm_(confirm),
      context_(context),
      owner_(std::this_thread::get_id()),
      started_ns_(coarse_now_ns()) {}

bool RunControl::stop_requested() noexcept {
    if (stop_.load(std::memory_order_relaxed)) return true;
    if (std::this_thread::get_id() != owner_) return false;
    return poll_owner();
}

bool RunControl::poll_owner() noexcept {
    if (!armed_) {
        const long long delay_ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(kArmDelay).count();
        if (coarse_now_ns() - started_ns_ >= delay_ns) {
            // Put back after someone replaced it: a SIGINT may have come in
            // since, unseen by the flag, so ask once.
            if (watch_sigint()) g_sigint.store(true, std::memory_order_relaxed);
            armed_ = true;
        }
    }
    if (!g_sigint.load(std::memory_order_relaxed)) return false;
    g_sigint.store(false, std::memory_order_relaxed);
    if (confirm_ != nullptr && !confirm_(context_)) return false;
    stop_.store(true, std::memory_order_relaxed);
    return true;
}

}  // namespace vexal::lpa
