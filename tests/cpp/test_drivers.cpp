// Drivers: the thread-count guard, allocation inside the Newton loop,
// convergence, and multistart's spread over threads and its exceptions.
#include <bitset>
#include <new>

#include "core/bases.h"
#include "lpa/coll_solver.h"
#include "test_support.h"

using Eigen::MatrixXd;
using Eigen::VectorXd;
using vexal::lpa::LPACollSolver_cpp;
using vexal::lpa::OptimizeResult;
using vexal::lpa::SolverWorkspace;
using vexal::lpa::ThreadCountGuard;

namespace {

// Per point: u^2 + u'' - x = 0, with its sensitivities; nonlinear, local.
std::atomic<int> g_calls{0};
std::atomic<unsigned long long> g_threads{0};
double g_throw_above = 1e300;  // the flow routine throws when u(point 0) exceeds this

void flow(const double* x, const double* v, const double*, const double* h, const double*,
          double* out, int m, int) {
    ++g_calls;
    g_threads.fetch_or(1ULL << (omp_get_thread_num() % 64));
    if (v[0] > g_throw_above) throw std::bad_alloc();
    for (int p = 0; p < m; ++p) out[p] = v[p] * v[p] + h[p] - x[p];
}
void sens(const double*, const double* v, const double*, const double*, const double*, double* sv,
          double* sg, double* sh, int m) {
    for (int p = 0; p < m; ++p) sv[p] = 2.0 * v[p], sg[p] = 0.0, sh[p] = 1.0;
}

LPACollSolver_cpp make_solver(int m, int n, bool with_sens) {
    // Chebyshev nodes of [1, 2] and the Chebyshev basis of degree n - 1.
    VectorXd x(m);
    for (int i = 0; i < m; ++i) x[i] = 1.5 - 0.5 * std::cos(M_PI * (i + 0.5) / m);
    auto basis = std::make_shared<vexal::core::ChebyshevAnsatz>(1, n - 1, std::vector<double>{1.0},
                                                                std::vector<double>{2.0});
    return LPACollSolver_cpp(x, basis, lpa_test::address_of(&flow), 0,
                             with_sens ? lpa_test::address_of(&sens) : 0, 0, 1, 0);
}

VectorXd sqrt_start(int n) {
    VectorXd c = VectorXd::Zero(n);
    c[0] = 1.0;  // u = T_0 = 1, near sqrt(x) on [1, 2]
    return c;
}

}  // namespace

TEST(ThreadCountGuard, PinsAndRestoresEigensSetting) {
    Eigen::setNbThreads(0);
    const int before = Eigen::nbThreads();
    EXPECT_EQ(before, omp_get_max_threads());
    {
        ThreadCountGuard g(false);
        EXPECT_EQ(g.saved_threads, before);
        EXPECT_EQ(Eigen::nbThreads(), 1);
    }
    EXPECT_EQ(Eigen::nbThreads(), before);
    Eigen::setNbThreads(1);
    {
        ThreadCountGuard g(true);
        EXPECT_EQ(g.saved_threads, 1);
        EXPECT_EQ(Eigen::nbThreads(), omp_get_max_threads());
    }
    EXPECT_EQ(Eigen::nbThreads(), 1);
}

TEST(ThreadCountGuard, LeavesTheSettingAloneInsideAParallelRegion) {
    if (omp_get_max_threads() < 2) GTEST_SKIP() << "needs two OpenMP threads";
    Eigen::setNbThreads(1);
    int saved = 0, inside = 0;
#pragma omp parallel num_threads(2)
    {
#pragma omp single
        {
            ThreadCountGuard g(true);
            saved = g.saved_threads;
            inside = Eigen::nbThreads();
        }
    }
    EXPECT_EQ(saved, -1);
    EXPECT_EQ(inside, 1);
    EXPECT_EQ(Eigen::nbThreads(), 1);
}

TEST(ThreadCountGuard, ARunRestoresTheSettingItFound) {
    Eigen::setNbThreads(0);
    const int before = Eigen::nbThreads();
    auto s = make_solver(20, 6, false);
    s.local_optimize(sqrt_start(6), 3, 0.0, VectorXd(), true);
    EXPECT_EQ(Eigen::nbThreads(), before);
    s.multistart_optimize({sqrt_start(6), sqrt_start(6)}, 3, 0.0, VectorXd());
    EXPECT_EQ(Eigen::nbThreads(), before);
}

// Each path's second iteration: residual and Jacobian allocate nothing.
TEST(NewtonLoop, ResidualAndJacobianAllocateNothingAfterTheFirstIteration) {
    for (bool with_sens : {true, false}) {
        auto s = make_solver(40, 16, with_sens);
        VectorXd c = sqrt_start(16);
        SolverWorkspace ws(s.n_points, s.inv_dim, s.n_coeffs, 1);
        const VectorXd fp;
        s.evaluate_residual(c, ws, fp);
        c += s.newton_step(c, ws, fp, false);

        Eigen::internal::set_is_malloc_allowed(false);
        s.evaluate_residual(c, ws, fp);
        s.evaluate_jacobian(c, ws, fp, false);
        Eigen::internal::set_is_malloc_allowed(true);
        EXPECT_TRUE(ws.jacobian.allFinite());
    }
}

TEST(LocalOptimize, ConvergesQuadratically) {
    auto s = make_solver(16, 16, true);  // square: the collocation solution is exact
    std::vector<double> errors;
    for (int k = 1; k <= 6; ++k)
        errors.push_back(s.local_optimize(sqrt_start(16), k, 0.0, VectorXd(), false).error);
    // errors[k-1] is the norm before correction k; each error is about the
    // square of the one before until rounding (about 1e-12 here) takes over.
    ASSERT_LT(errors[3], 1e-10);
    for (int k = 1; k < 5; ++k)
        if (errors[k] > 1e-10) {
            EXPECT_LT(errors[k], 10.0 * errors[k - 1] * errors[k - 1]) << k;
        }
    const OptimizeResult r = s.local_optimize(sqrt_start(16), 20, 1e-10, VectorXd(), false);
    EXPECT_TRUE(r.success);
    EXPECT_LE(r.iterations, 4);
}

TEST(Multistart, EntryIIsLocalOptimizeOfStartIBitForBit) {
    auto s = make_solver(30, 16, true);
    std::vector<VectorXd> starts;
    for (int i = 0; i < 9; ++i) starts.push_back(sqrt_start(16) + 0.05 * i * VectorXd::Ones(16));
    g_threads = 0;
    const auto results = s.multistart_optimize(starts, 8, 1e-10, VectorXd());
    if (omp_get_max_threads() > 1) {
        EXPECT_EQ(static_cast<int>(std::bitset<64>(g_threads).count()), omp_get_max_threads());
    }
    ASSERT_EQ(results.size(), starts.size());
    for (size_t i = 0; i < starts.size(); ++i) {
        const OptimizeResult one = s.local_optimize(starts[i], 8, 1e-10, VectorXd(), false);
        EXPECT_EQ(results[i].coeffs, one.coeffs) << i;
        EXPECT_EQ(results[i].iterations, one.iterations) << i;
        EXPECT_EQ(results[i].error, one.error) << i;
        EXPECT_EQ(results[i].success, one.success) << i;
    }
}

TEST(Multistart, AnExceptionInOneRunReachesTheCallerAfterTheOthersFinish) {
    auto s = make_solver(20, 4, true);
    std::vector<VectorXd> starts(8, sqrt_start(4));
    starts[5][0] = 500.0;  // u(point 0) = 500: the routine throws in this run
    g_throw_above = 100.0;
    g_calls = 0;
    EXPECT_THROW(s.multistart_optimize(starts, 3, 0.0, VectorXd()), std::bad_alloc);
    // The seven other runs each made three residual evaluations (and their
    // finite-difference Jacobians).
    EXPECT_GE(g_calls.load(), 7 * 3);
    g_throw_above = 1e300;
    EXPECT_NO_THROW(s.multistart_optimize(starts, 3, 0.0, VectorXd()));
    // The same exception from a single run and from the per-coefficient loop.
    g_throw_above = 100.0;
    EXPECT_THROW(s.local_optimize(starts[5], 3, 0.0, VectorXd(), true), std::bad_alloc);
    g_throw_above = 1e300;
}

TEST(Drivers, ABasisWithoutCoefficientsTakesEmptySteps) {
    // Built with Eigen's assertions: a decomposition of the empty Jacobian
    // would abort here.
    auto none = std::make_shared<lpa_test::TableAnsatz>(0);
    none->vals = MatrixXd(5, 0);
    none->firsts = {MatrixXd(5, 0)};
    none->seconds = {MatrixXd(5, 0)};
    VectorXd x = VectorXd::LinSpaced(5, 1.0, 2.0);
    const LPACollSolver_cpp s(x, none, lpa_test::address_of(&flow), 0, 0, 0, 1, 0);
    const VectorXd fp(0);
    const OptimizeResult r = s.local_optimize(VectorXd(0), 3, 1e-12, fp, true);
    EXPECT_EQ(r.coeffs.size(), 0);
    EXPECT_EQ(r.iterations, 3);
    EXPECT_FALSE(r.success);
    // residual u^2 + u'' - x with u = 0: -x
    EXPECT_NEAR(r.error, x.norm(), 1e-14);
}

TEST(Drivers, WrongLengthsAreRefusedBeforeAnyRoutineIsCalled) {
    auto s = make_solver(10, 4, false);
    s.param_dim = 2;
    g_calls = 0;
    EXPECT_THROW(s.local_optimize(VectorXd::Zero(3), 5, 0.0, VectorXd::Zero(2), false),
                 std::invalid_argument);
    EXPECT_THROW(s.local_optimize(VectorXd::Zero(4), 5, 0.0, VectorXd::Zero(1), false),
                 std::invalid_argument);
    EXPECT_THROW(s.local_optimize_fixed_iterations(VectorXd::Zero(5), 1, VectorXd::Zero(2), false),
                 std::invalid_argument);
    EXPECT_THROW(
        s.param_path_following(VectorXd::Zero(4), 5, 0.0, {VectorXd::Zero(2), VectorXd()}, false),
        std::invalid_argument);
    EXPECT_THROW(
        s.multistart_optimize({VectorXd::Zero(4), VectorXd::Zero(2)}, 5, 0.0, VectorXd::Zero(2)),
        std::invalid_argument);
    EXPECT_EQ(g_calls.load(), 0);
    // A longer flow_params is accepted.
    EXPECT_NO_THROW(s.local_optimize(sqrt_start(4), 1, 0.0, VectorXd::Zero(3), false));
}
