// Stopping runs on SIGINT: the handler chain, the confirm hook, every driver,
// and runs without a control left as they were. Each test runs in its own
// process (ctest), so signal dispositions do not leak between tests.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "core/bases.h"
#include "lpa/coll_solver.h"
#include "lpa/interrupt.h"
#include "test_support.h"

using Eigen::MatrixXd;
using Eigen::VectorXd;
using vexal::lpa::Interrupted;
using vexal::lpa::LPACollSolver_cpp;
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

// The host's handler, then ours in front of it, as importing the Python
// module does.
void install_host_handler_and_watch() {
    install_host_handler();
    ASSERT_TRUE(vexal::lpa::watch_sigint());
    ASSERT_FALSE(vexal::lpa::watch_sigint());  // once is enough
}

// u - x = 0 per point, slowly: each call naps, and call number g_raise_at
// (counted over all threads) raises SIGINT.
std::atomic<int> g_calls{0};
int g_raise_at = -1;
void slow_flow(const double* x, const double* v, const double*, const double*, const double*,
               double* out, int m, int) {
    const int call = ++g_calls;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    if (call == g_raise_at) raise(SIGINT);
    for (int p = 0; p < m; ++p) out[p] = v[p] - x[p] + 1.0;  // never solved exactly by tol < 0
}

LPACollSolver_cpp make_solver() {
    const VectorXd x = VectorXd::LinSpaced(8, 0.0, 1.0);
    auto basis = std::make_shared<vexal::core::PolynomialAnsatz>(1, 2);
    return LPACollSolver_cpp(x, basis, lpa_test::address_of(&slow_flow), 0, 0, 0, 1, 0);
}

int g_confirms = 0;
bool confirm_stop(void*) { return ++g_confirms > 0; }
bool confirm_go_on(void*) {
    ++g_confirms;
    return false;
}

const VectorXd kNoParams(0);

}  // namespace

TEST(Interrupt, EveryDriverStopsAndTheSolverStaysUsable) {
    install_host_handler_and_watch();
    const LPACollSolver_cpp s = make_solver();
    const VectorXd start = VectorXd::Zero(3);
    const auto reference = s.local_optimize(start, 4, -1.0, kNoParams, false);

    // Each driver runs for seconds unless stopped; SIGINT comes after about
    // 60 routine calls (30 ms), once the handler is in place.
    const std::vector<std::pair<const char*, std::function<void(RunControl*)>>> drivers = {
        {"local_optimize",
         [&](RunControl* c) { s.local_optimize(start, 100000, -1.0, kNoParams, false, c); }},
        {"local_optimize_fixed_iterations",
         [&](RunControl* c) {
             s.local_optimize_fixed_iterations(start, 100000, kNoParams, false, c);
         }},
        {"param_path_following",
         [&](RunControl* c) {
             s.param_path_following(start, 1000, -1.0, std::vector<VectorXd>(100, kNoParams), true,
                                    c);
         }},
        {"multistart_optimize",
         [&](RunControl* c) {
             s.multistart_optimize(std::vector<VectorXd>(64, start), 1000, -1.0, kNoParams, c);
         }},
    };
    for (const auto& [name, run] : drivers) {
        SCOPED_TRACE(name);
        g_calls = 0;
        g_raise_at = 60;
        g_confirms = 0;
        const int host_calls = g_host_handler_calls;
        RunControl control(&confirm_stop, nullptr);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_THROW(run(&control), Interrupted);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_LT(seconds, 5.0);  // the uninterrupted runs take minutes
        EXPECT_EQ(g_confirms, 1);
        EXPECT_EQ(g_host_handler_calls, host_calls + 1);  // the host saw its signal
        g_raise_at = -1;
        const auto again = s.local_optimize(start, 4, -1.0, kNoParams, false);
        EXPECT_MATRIX_EQ(again.coeffs, reference.coeffs);
    }
}

TEST(Interrupt, AHostThatDeclinesLetsTheRunFinish) {
    install_host_handler_and_watch();
    const LPACollSolver_cpp s = make_solver();
    g_calls = 0;
    g_raise_at = 60;
    g_confirms = 0;
    RunControl control(&confirm_go_on, nullptr);
    const auto r = s.local_optimize(VectorXd::Zero(3), 40, -1.0, kNoParams, false, &control);
    EXPECT_EQ(r.iterations, 40);
    EXPECT_EQ(g_confirms, 1);
    EXPECT_FALSE(control.stopped());
}

TEST(Interrupt, OnlyTheCallingThreadAsksTheHost) {
    install_host_handler_and_watch();
    g_confirms = 0;
    RunControl control(&confirm_stop, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_FALSE(control.stop_requested());  // arms the handler
    raise(SIGINT);
    bool seen_elsewhere = true;
    std::thread([&] { seen_elsewhere = control.stop_requested(); }).join();
    EXPECT_FALSE(seen_elsewhere);
    EXPECT_EQ(g_confirms, 0);
    EXPECT_TRUE(control.stop_requested());
    EXPECT_EQ(g_confirms, 1);
    bool stop_seen_elsewhere = false;
    std::thread([&] { stop_seen_elsewhere = control.stop_requested(); }).join();
    EXPECT_TRUE(stop_seen_elsewhere);
}

TEST(Interrupt, IgnoredOrDefaultSigintIsLeftAlone) {
    for (auto disposition : {SIG_IGN, SIG_DFL}) {
        signal(SIGINT, disposition);
        RunControl control;
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        EXPECT_FALSE(control.stop_requested());
        struct sigaction now;
        sigaction(SIGINT, nullptr, &now);
        EXPECT_FALSE(now.sa_flags & SA_SIGINFO);
        EXPECT_EQ(now.sa_handler, disposition);
    }
}

TEST(Interrupt, ACallPutsBackAReplacedHandlerAndAsksOnce) {
    install_host_handler_and_watch();
    install_host_handler();  // the host replaced ours
    g_confirms = 0;
    RunControl control(&confirm_go_on, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_FALSE(control.stop_requested());
    EXPECT_EQ(g_confirms, 1);                  // a SIGINT may have slipped through meanwhile
    EXPECT_FALSE(vexal::lpa::watch_sigint());  // back in place
    EXPECT_FALSE(control.stop_requested());
    EXPECT_EQ(g_confirms, 1);
}

TEST(Interrupt, ShortCallsNeverTouchTheHandler) {
    install_host_handler();
    const LPACollSolver_cpp s = make_solver();
    g_raise_at = -1;
    RunControl control(&confirm_stop, nullptr);
    s.local_optimize(VectorXd::Zero(3), 1, -1.0, kNoParams, false, &control);  // ~4 ms
    struct sigaction now;
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, &host_handler);
}
