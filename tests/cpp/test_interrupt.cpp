// The SIGINT side of RunControl: the handler chain, who asks the host, and
// dispositions left alone. (The drivers' stopping is tested from Python,
// with real signals.) Each test runs in its own process (ctest), so signal
// dispositions do not leak between tests.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "lpa/interrupt.h"
#include "test_support.h"

using vexal::lpa::RunControl;

namespace {

// The host's own SIGINT handler, which ours must keep calling.
std::atomic<int> g_host_handler_calls{0};
void host_handler(int) { ++g_host_handler_calls; }

void install_host_handler() {
    struct sigaction a = {};
    a.sa_handler = &host_handler;
    sigemptyset(&a.sa_mask);
    sigaction(SIGINT, &a, nullptr);
}

int g_confirms = 0;
bool confirm_stop(void*) { return ++g_confirms > 0; }
bool confirm_go_on(void*) { return ++g_confirms < 0; }

// Lets a control run past its arming delay, then polls it once.
bool poll_after_arming(RunControl& control) {
    std::this_thread::sleep_for(RunControl::kArmDelay * 2);
    return control.stop_requested();
}

}  // namespace

TEST(Interrupt, OursChainsToTheHostsHandlerAndOnlyTheCallingThreadAsks) {
    install_host_handler();
    ASSERT_TRUE(vexal::lpa::watch_sigint());
    ASSERT_FALSE(vexal::lpa::watch_sigint());  // once is enough
    RunControl control(&confirm_stop, nullptr);
    EXPECT_FALSE(poll_after_arming(control));
    raise(SIGINT);
    EXPECT_EQ(g_host_handler_calls, 1);  // the host saw its signal
    bool seen_elsewhere = true;
    std::thread([&] { seen_elsewhere = control.stop_requested(); }).join();
    EXPECT_FALSE(seen_elsewhere);
    EXPECT_EQ(g_confirms, 0);
    EXPECT_TRUE(control.stop_requested());
    EXPECT_EQ(g_confirms, 1);
    std::thread([&] { seen_elsewhere = control.stop_requested(); }).join();
    EXPECT_TRUE(seen_elsewhere);  // once stopped, every thread sees it
}

TEST(Interrupt, AHostThatDeclinesIsAskedOncePerSignal) {
    install_host_handler();
    vexal::lpa::watch_sigint();
    RunControl control(&confirm_go_on, nullptr);
    raise(SIGINT);
    EXPECT_FALSE(control.stop_requested());
    EXPECT_FALSE(control.stop_requested());
    EXPECT_EQ(g_confirms, 1);
    EXPECT_FALSE(control.stopped());
}

TEST(Interrupt, ACallPutsBackAReplacedHandlerAndAsksOnce) {
    install_host_handler();
    vexal::lpa::watch_sigint();
    install_host_handler();  // the host replaced ours
    RunControl control(&confirm_go_on, nullptr);
    EXPECT_FALSE(control.stop_requested());  // too early to check the handler
    EXPECT_EQ(g_confirms, 0);
    EXPECT_FALSE(poll_after_arming(control));
    EXPECT_EQ(g_confirms, 1);                  // a SIGINT may have slipped through meanwhile
    EXPECT_FALSE(vexal::lpa::watch_sigint());  // back in place
    EXPECT_FALSE(control.stop_requested());
    EXPECT_EQ(g_confirms, 1);
}

TEST(Interrupt, IgnoredOrDefaultSigintIsLeftAlone) {
    for (auto disposition : {SIG_IGN, SIG_DFL}) {
        signal(SIGINT, disposition);
        EXPECT_FALSE(vexal::lpa::watch_sigint());
        RunControl control;
        EXPECT_FALSE(poll_after_arming(control));
        struct sigaction now;
        sigaction(SIGINT, nullptr, &now);
        EXPECT_FALSE(now.sa_flags & SA_SIGINFO);
        EXPECT_EQ(now.sa_handler, disposition);
    }
}
