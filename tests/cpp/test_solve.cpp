// Residual, Jacobian paths and the Newton step, checked against a residual
// that is linear in (u, grad u, hess u) so that its Jacobian is known exactly.
#include <algorithm>
#include <bitset>
#include <cmath>
#include <limits>

#include "lpa/coll_solver.h"
#include "test_support.h"

using Eigen::MatrixXd;
using Eigen::VectorXd;
using lpa_test::random_ansatz;
using lpa_test::TableAnsatz;
using vexal::lpa::LPACollSolver_cpp;
using vexal::lpa::SolverWorkspace;

namespace {

// out[p] = a_p u + sum_a b_pa u_a + sum_e c_e u_e - flow_params[0] with
// a_p = 1 + x_p, b_pa = (a + 1) x_p, c_e = 0.3 (e + 1); x_p the first coordinate.
int g_dim = 1;   // the sensitivity routine is not told d
int g_cols = 1;  // grid columns
double coef_a(double x) { return 1.0 + x; }
double coef_b(double x, int a) { return (a + 1) * x; }
double coef_c(int e) { return 0.3 * (e + 1); }

struct Record {
    std::atomic<int> flow{0}, batch{0}, sens{0}, sens_par{0};
    std::atomic<int> n_points{-1}, n_batch{-1}, inv_dim{-1};
    std::atomic<unsigned long long> threads{0};
    const double* flow_params = reinterpret_cast<const double*>(1);
    void reset() {
        flow = batch = sens = sens_par = 0;
        n_points = n_batch = inv_dim = -1;
        threads = 0;
    }
} rec;

void note_thread() { rec.threads.fetch_or(1ULL << (omp_get_thread_num() % 64)); }

double linear_point(const double* points, const double* v, const double* g, const double* h,
                    const double* fp, int p, int d, int stride) {
    const double x = points[p * g_cols];
    double r = coef_a(x) * v[p * stride];
    for (int a = 0; a < d; ++a) r += coef_b(x, a) * g[(p * d + a) * stride];
    for (int e = 0; e < d * d; ++e) r += coef_c(e) * h[(p * d * d + e) * stride];
    return r - (fp ? fp[0] : 0.0);
}

void flow(const double* points, const double* v, const double* g, const double* h, const double* fp,
          double* out, int m, int d) {
    ++rec.flow;
    rec.n_points = m;
    rec.inv_dim = d;
    rec.flow_params = fp;
    note_thread();
    for (int p = 0; p < m; ++p) out[p] = linear_point(points, v, g, h, fp, p, d, 1);
}

void batch(const double* points, const double* v, const double* g, const double* h,
           const double* fp, double* out, int m, int nb, int d) {
    ++rec.batch;
    rec.n_points = m;
    rec.n_batch = nb;
    rec.inv_dim = d;
    for (int s = 0; s < nb; ++s)
        for (int p = 0; p < m; ++p)
            out[p * nb + s] = linear_point(points, v + s, g + s, h + s, fp, p, d, nb);
}

void sens_common(const double* points, double* sv, double* sg, double* sh, int m) {
    const int d = g_dim;
    rec.n_points = m;
    for (int p = 0; p < m; ++p) {
        const double x = points[p * g_cols];
        sv[p] = coef_a(x);
        for (int a = 0; a < d; ++a) sg[p * d + a] = coef_b(x, a);
        for (int e = 0; e < d * d; ++e) sh[p * d * d + e] = coef_c(e);
    }
}
void sens(const double* points, const double*, const double*, const double*, const double*,
          double* sv, double* sg, double* sh, int m) {
    ++rec.sens;
    sens_common(points, sv, sg, sh, m);
}
void sens_par(const double* points, const double*, const double*, const double*, const double*,
              double* sv, double* sg, double* sh, int m) {
    ++rec.sens_par;
    sens_common(points, sv, sg, sh, m);
}

const auto kFlow = lpa_test::address_of(&flow);
const auto kBatch = lpa_test::address_of(&batch);
const auto kSens = lpa_test::address_of(&sens);
const auto kSensPar = lpa_test::address_of(&sens_par);

struct Problem {
    std::shared_ptr<TableAnsatz> ansatz;
    MatrixXd grid;
    Problem(int m, int n, int d) : ansatz(random_ansatz(m, n, d)), grid(MatrixXd::Random(m, d)) {
        g_dim = d;
        g_cols = static_cast<int>(grid.cols());
        if (d == 0) grid = MatrixXd::Random(m, 1), g_cols = 1;
    }
    // Exact Jacobian from the Ansatz's own matrices.
    MatrixXd exact_jacobian() const {
        const int d = g_dim;
        MatrixXd j = ansatz->vals;
        for (Eigen::Index p = 0; p < j.rows(); ++p) {
            const double x = grid(p, 0);
            j.row(p) *= coef_a(x);
            for (int a = 0; a < d; ++a) j.row(p) += coef_b(x, a) * ansatz->firsts[a].row(p);
            for (int e = 0; e < d * d; ++e) j.row(p) += coef_c(e) * ansatz->seconds[e].row(p);
        }
        return j;
    }
    LPACollSolver_cpp solver(vexal::lpa::CallbackAddress b, vexal::lpa::CallbackAddress s,
                             vexal::lpa::CallbackAddress sp) const {
        return LPACollSolver_cpp(grid, ansatz, kFlow, b, s, sp, g_dim, 1);
    }
};

// Runs one residual evaluation and one Jacobian; returns the workspace.
SolverWorkspace jacobian_of(const LPACollSolver_cpp& s, const VectorXd& c, bool multithread) {
    SolverWorkspace ws(s.n_points, s.inv_dim, s.n_coeffs, multithread ? omp_get_max_threads() : 1);
    const VectorXd fp = VectorXd::Constant(1, 0.25);
    s.evaluate_residual(c, ws, fp);
    rec.reset();
    s.evaluate_jacobian(c, ws, fp, multithread);
    return ws;
}

}  // namespace

TEST(Workspace, CreationSizesFollowPointsAndCoordinates) {
    for (int d : {0, 1, 2}) {
        SolverWorkspace ws(5, d, 3, 2);
        EXPECT_EQ(ws.vals.size(), 5);
        EXPECT_EQ(ws.grads.size(), 5 * d);
        EXPECT_EQ(ws.hess.size(), 5 * d * d);
        EXPECT_EQ(ws.sens_grads.size(), 5 * d);
        EXPECT_EQ(ws.sens_hess.size(), 5 * d * d);
        EXPECT_EQ(ws.jacobian.rows(), 5);
        EXPECT_EQ(ws.jacobian.cols(), 3);
        EXPECT_TRUE(ws.thread_vals.empty());
        EXPECT_EQ(ws.batch_vals.size(), 0);
        EXPECT_EQ(ws.fd_steps.size(), 0);
    }
}

TEST(Workspace, ThreadBuffersGrowButNeverShrink) {
    SolverWorkspace ws(4, 2, 3, 3);
    ws.ensure_thread_buffers(4, 2, 3);
    ASSERT_EQ(ws.thread_vals.size(), 3u);
    EXPECT_EQ(ws.thread_grads[2].size(), 8);
    EXPECT_EQ(ws.thread_hess[2].size(), 16);
    EXPECT_EQ(ws.thread_minus.size(), 3u);
    const double* kept = ws.thread_vals[0].data();
    ws.ensure_thread_buffers(4, 2, 1);
    EXPECT_EQ(ws.thread_vals.size(), 3u);
    EXPECT_EQ(ws.thread_vals[0].data(), kept);
}

TEST(Residual, ProductsOfTablesReachTheRoutineOnce) {
    for (int d : {0, 1, 2}) {
        Problem pr(6, 4, d);
        auto s = pr.solver(0, 0, 0);
        const VectorXd c = VectorXd::Random(4);
        SolverWorkspace ws(6, d, 4, 1);
        rec.reset();
        s.evaluate_residual(c, ws, VectorXd::Constant(1, 0.5));
        EXPECT_EQ(rec.flow, 1);
        EXPECT_EQ(rec.n_points, 6);
        EXPECT_EQ(rec.inv_dim, d);
        // Independent: the linear equation applied to the Ansatz's own matrices.
        const VectorXd want = pr.exact_jacobian() * c - VectorXd::Constant(6, 0.5);
        EXPECT_MATRIX_NEAR(ws.residual, want, 1e-12);
        EXPECT_MATRIX_NEAR(ws.vals, pr.ansatz->vals * c, 1e-14);
    }
}

TEST(Residual, EmptyFlowParamsArriveAsNull) {
    Problem pr(3, 2, 1);
    auto s = pr.solver(0, 0, 0);
    SolverWorkspace ws(3, 1, 2, 1);
    s.evaluate_residual(VectorXd::Zero(2), ws, VectorXd());
    EXPECT_EQ(rec.flow_params, nullptr);
    // Zero coefficients: the zero potential.
    EXPECT_MATRIX_EQ(ws.vals, VectorXd::Zero(3));
}

TEST(Jacobian, EveryPathGivesTheExactJacobianOfALinearResidual) {
    Problem pr(120, 64, 1);
    const MatrixXd want = pr.exact_jacobian();
    const VectorXd c = 3.0 * VectorXd::Random(64);
    {
        auto ws = jacobian_of(pr.solver(0, kSens, 0), c, false);
        EXPECT_EQ(rec.sens, 1);
        EXPECT_MATRIX_NEAR(ws.jacobian, want, 1e-13);
    }
    {
        auto ws = jacobian_of(pr.solver(kBatch, 0, 0), c, true);
        EXPECT_EQ(rec.batch, 1);
        EXPECT_EQ(rec.n_batch, 128);
        EXPECT_EQ(rec.flow, 0);
        EXPECT_MATRIX_NEAR(ws.jacobian, want, 1e-7);
    }
    {
        auto ws = jacobian_of(pr.solver(0, 0, 0), c, false);
        EXPECT_EQ(rec.flow, 128);
        EXPECT_MATRIX_NEAR(ws.jacobian, want, 1e-7);
    }
}

TEST(Jacobian, ChainRuleAndDifferencesAgreeWithTwoCoordinates) {
    Problem pr(30, 16, 2);
    const MatrixXd want = pr.exact_jacobian();
    const VectorXd c = VectorXd::Random(16);
    EXPECT_MATRIX_NEAR(jacobian_of(pr.solver(0, kSens, 0), c, false).jacobian, want, 1e-13);
    EXPECT_MATRIX_NEAR(jacobian_of(pr.solver(kBatch, 0, 0), c, true).jacobian, want, 1e-7);
    EXPECT_EQ(rec.batch, 0);  // never batched with two coordinates
}

TEST(Jacobian, ChainRuleFromSixteenCoefficients) {
    for (int n : {15, 16}) {
        Problem pr(20, n, 1);
        jacobian_of(pr.solver(0, kSens, kSensPar), VectorXd::Zero(n), true);
        EXPECT_EQ(rec.sens + rec.sens_par, n == 16 ? 1 : 0) << "n = " << n;
        EXPECT_EQ(rec.flow, n == 16 ? 0 : 2 * n) << "n = " << n;
    }
}

TEST(Jacobian, ParallelSensitivityRoutineFromFiveHundredTwelvePointsWhenMultithreaded) {
    for (int m : {511, 512}) {
        Problem pr(m, 16, 1);
        auto s = pr.solver(0, kSens, kSensPar);
        jacobian_of(s, VectorXd::Zero(16), true);
        EXPECT_EQ(rec.sens_par, m == 512 ? 1 : 0) << "m = " << m;
        EXPECT_EQ(rec.sens, m == 512 ? 0 : 1) << "m = " << m;
        jacobian_of(s, VectorXd::Zero(16), false);
        EXPECT_EQ(rec.sens, 1);
        // Inside a parallel region the serial routine is taken.
        rec.reset();
        SolverWorkspace ws(m, 1, 16, 1);
#pragma omp parallel num_threads(2)
        {
#pragma omp single
            {
                s.evaluate_residual(VectorXd::Zero(16), ws, VectorXd::Zero(1));
                s.evaluate_jacobian(VectorXd::Zero(16), ws, VectorXd::Zero(1), true);
            }
        }
        if (omp_get_max_threads() > 1) {
            EXPECT_EQ(rec.sens, 1);
        }
    }
    // Only the parallel variant given: it serves every chain-rule Jacobian.
    Problem pr(40, 16, 1);
    jacobian_of(pr.solver(0, 0, kSensPar), VectorXd::Zero(16), false);
    EXPECT_EQ(rec.sens_par, 1);
}

TEST(Jacobian, BatchedPathBoundsItsMatricesToHalfAMillionEntries) {
    struct Case {
        int m, n, d;
        bool multithread, batched;
    };
    for (const Case& k : {Case{3906, 64, 1, true, true}, Case{3907, 64, 1, true, false},
                          Case{200, 63, 1, true, false}, Case{200, 64, 1, false, false}}) {
        Problem pr(k.m, k.n, k.d);
        jacobian_of(pr.solver(kBatch, 0, 0), VectorXd::Zero(k.n), k.multithread);
        EXPECT_EQ(rec.batch, k.batched ? 1 : 0) << "m = " << k.m << ", n = " << k.n;
        if (k.batched) {
            EXPECT_EQ(rec.n_batch, 2 * k.n);
            EXPECT_EQ(rec.inv_dim, 1);
            EXPECT_EQ(rec.n_points, k.m);
        }
    }
}

TEST(Jacobian, PerCoefficientLoopRunsOnEveryThreadFromTwoHundredFiftySixCoefficients) {
    const int threads = omp_get_max_threads();
    for (int n : {255, 256}) {
        Problem pr(n + 4, n, 1);
        auto s = pr.solver(0, 0, 0);
        SolverWorkspace ws(s.n_points, 1, n, threads);
        const VectorXd c = VectorXd::Random(n);
        s.evaluate_residual(c, ws, VectorXd::Zero(1));
        rec.reset();
        s.evaluate_jacobian(c, ws, VectorXd::Zero(1), true);
        const bool par = n == 256;
        EXPECT_EQ(ws.thread_vals.size(), par ? static_cast<size_t>(threads) : 1u);
        EXPECT_EQ(static_cast<int>(std::bitset<64>(rec.threads).count()), par ? threads : 1);
        EXPECT_EQ(rec.flow, 2 * n);
        EXPECT_MATRIX_NEAR(ws.jacobian, pr.exact_jacobian(), 1e-7);
        // A second Jacobian reuses the buffers as they are.
        const double* kept = ws.thread_vals[0].data();
        s.evaluate_jacobian(c, ws, VectorXd::Zero(1), true);
        EXPECT_EQ(ws.thread_vals[0].data(), kept);
        EXPECT_EQ(ws.thread_vals.size(), par ? static_cast<size_t>(threads) : 1u);
    }
}

TEST(Jacobian, StepIsRelativeAboveOneAndAbsoluteBelow) {
    EXPECT_EQ(vexal::lpa::fd_step(0.0), 1e-6);
    EXPECT_EQ(vexal::lpa::fd_step(0.5), 1e-6);
    EXPECT_EQ(vexal::lpa::fd_step(-3.0), 3.0 * 1e-6);
    EXPECT_EQ(vexal::lpa::fd_step(250.0), 250.0 * 1e-6);
}

TEST(Jacobian, EveryEntryIsRewritten) {
    Problem pr(10, 4, 1);
    auto s = pr.solver(0, 0, 0);
    SolverWorkspace ws(10, 1, 4, 1);
    ws.jacobian.setConstant(std::nan(""));
    s.evaluate_residual(VectorXd::Zero(4), ws, VectorXd::Zero(1));
    s.evaluate_jacobian(VectorXd::Zero(4), ws, VectorXd::Zero(1), false);
    EXPECT_MATRIX_NEAR(ws.jacobian, pr.exact_jacobian(), 1e-7);
}

TEST(Step, SquareSystemsAreSolvedExactly) {
    const MatrixXd j = MatrixXd::Random(6, 6) + 6.0 * MatrixXd::Identity(6, 6);
    const VectorXd r = VectorXd::Random(6);
    EXPECT_MATRIX_NEAR(j * vexal::lpa::solve_step(j, r), r, 1e-13);
    EXPECT_MATRIX_EQ(vexal::lpa::solve_step(MatrixXd::Zero(3, 3), VectorXd::Ones(3)),
                     VectorXd::Zero(3));
}

TEST(Step, ZeroTinyAndEmptyJacobiansGiveFiniteSteps) {
    // The zero Jacobian has rank 0 whatever its shape.
    EXPECT_MATRIX_EQ(vexal::lpa::solve_step(MatrixXd::Zero(5, 3), VectorXd::Ones(5)),
                     VectorXd::Zero(3));
    // A tiny tall Jacobian gives the step a well-scaled one would.
    MatrixXd tiny(3, 2);
    tiny << 1, 0, 1, 0, 0, 0;
    const Eigen::Vector3d r(1, 2, 1);
    // Below 2^-1022 the factor that brings the entries to order one is
    // itself beyond the double range.
    for (double scale : {1.0, 1e-140, 1e-150, 1e-300, std::ldexp(1.0, -1040),
                         std::ldexp(1.0, -1060), std::numeric_limits<double>::denorm_min()}) {
        EXPECT_MATRIX_NEAR(vexal::lpa::solve_step(scale * tiny, scale * r), Eigen::Vector2d(1.5, 0),
                           1e-15)
            << "scale " << scale;
    }
    // No coefficients: the empty step, without an empty decomposition.
    EXPECT_EQ(vexal::lpa::solve_step(MatrixXd(5, 0), VectorXd::Ones(5)).size(), 0);
    EXPECT_EQ(vexal::lpa::solve_step(MatrixXd(0, 0), VectorXd(0)).size(), 0);
    // NaN entries are not mistaken for zeros: they pass into the step.
    EXPECT_TRUE(
        vexal::lpa::solve_step(MatrixXd::Constant(5, 3, std::nan("")), VectorXd::Ones(5)).hasNaN());
}

// Routines that return without writing anything, as a failed host callback
// does. Whatever their output buffers held before must not be read.
void silent_flow(const double*, const double*, const double*, const double*, const double*, double*,
                 int, int) {}
void silent_batch(const double*, const double*, const double*, const double*, const double*,
                  double*, int, int, int) {}
void silent_sens(const double*, const double*, const double*, const double*, const double*, double*,
                 double*, double*, int) {}

TEST(UnwrittenOutputs, ReadAsNaNOnEveryPath) {
    const int m = 300, n = 256;
    const Problem pr(m, n, 1);
    const VectorXd c = VectorXd::Random(n);
    const VectorXd fp = VectorXd::Constant(1, 0.25);
    const auto silent = [&](vexal::lpa::CallbackAddress flow, vexal::lpa::CallbackAddress batch,
                            vexal::lpa::CallbackAddress sens) {
        return LPACollSolver_cpp(pr.grid, pr.ansatz, flow, batch, sens, 0, 1, 1);
    };
    const auto kSilentFlow = lpa_test::address_of(&silent_flow);

    {  // residual: a stale zero residual would read as converged
        const auto s = silent(kSilentFlow, 0, 0);
        SolverWorkspace ws(m, 1, n, 1);
        ws.residual.setZero();
        s.evaluate_residual(c, ws, fp);
        EXPECT_TRUE(ws.residual.array().isNaN().all());
        const auto r = s.local_optimize(c, 5, 1e-8, fp, false);
        EXPECT_FALSE(r.success);
        EXPECT_TRUE(std::isnan(r.error));
    }
    struct Case {
        const char* path;
        vexal::lpa::CallbackAddress batch, sens;
        bool multithread;
    };
    for (const Case& k : {Case{"chain rule", 0, lpa_test::address_of(&silent_sens), false},
                          Case{"batched differences", lpa_test::address_of(&silent_batch), 0, true},
                          Case{"per-coefficient differences", 0, 0, true}}) {
        SCOPED_TRACE(k.path);
        // The residual routine works; only the Jacobian's routine is silent.
        const bool fd_silent = k.batch == 0 && k.sens == 0;
        const auto s = silent(fd_silent ? kSilentFlow : kFlow, k.batch, k.sens);
        SolverWorkspace ws(m, 1, n, omp_get_max_threads());
        pr.solver(0, 0, 0).evaluate_residual(c, ws, fp);
        // Stale finite values everywhere a routine writes.
        ws.sens_vals.setOnes();
        ws.sens_grads.setOnes();
        ws.sens_hess.setOnes();
        ws.batch_out.setOnes(m, 2 * n);
        ws.ensure_thread_buffers(m, 1, std::max(ws.n_threads, 1));
        for (auto& out : ws.thread_out) out.setOnes();
        s.evaluate_jacobian(c, ws, fp, k.multithread);
        EXPECT_TRUE(ws.jacobian.array().isNaN().all());
    }
}

TEST(Step, TallSystemsGiveTheLeastSquaresSolution) {
    const MatrixXd j = MatrixXd::Random(9, 4);
    const VectorXd r = VectorXd::Random(9);
    const VectorXd s = vexal::lpa::solve_step(j, r);
    // Normal equations: J^T (J s - r) = 0.
    EXPECT_MATRIX_NEAR(j.transpose() * (j * s - r), VectorXd::Zero(4), 1e-13);
    // A rank-deficient tall Jacobian still gives a finite basic solution.
    MatrixXd k = j;
    k.col(3) = k.col(0);
    EXPECT_TRUE(vexal::lpa::solve_step(k, r).allFinite());
}

TEST(Step, NewtonStepLeavesResidualAndJacobianAsAssembled) {
    Problem pr(12, 5, 1);
    auto s = pr.solver(0, 0, 0);
    SolverWorkspace ws(12, 1, 5, 1);
    const VectorXd c = VectorXd::Random(5), fp = VectorXd::Constant(1, 2.0);
    s.evaluate_residual(c, ws, fp);
    const VectorXd r = ws.residual;
    const VectorXd step = s.newton_step(c, ws, fp, false);
    EXPECT_MATRIX_EQ(ws.residual, r);
    EXPECT_MATRIX_NEAR(ws.jacobian, pr.exact_jacobian(), 1e-7);
    // For a linear residual one step lands on the least-squares solution.
    const MatrixXd j = pr.exact_jacobian();
    const VectorXd best = j.colPivHouseholderQr().solve(VectorXd::Constant(12, 2.0));
    EXPECT_MATRIX_NEAR(c + step, best, 1e-7);
}
