#include "lpa/coll_solver.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace vexal::lpa {

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;

// Exceptions must not leave an OpenMP region. The first one thrown inside is
// kept (claimed through an atomic flag, so no lock and no allocation) and
// rethrown after the join; the other iterations run on.
class ParallelExceptions {
public:
    template <typename F>
    void run(F&& f) noexcept {
        try {
            f();
        } catch (...) {
            if (!claimed_.exchange(true, std::memory_order_acq_rel))
                first_ = std::current_exception();
        }
    }

    void rethrow_first() const {
        if (first_) std::rethrow_exception(first_);
    }

private:
    std::atomic<bool> claimed_{false};
    std::exception_ptr first_;
};

// What every routine output holds before the call. A routine that returns
// without writing an entry (a failed Python callback, say) leaves NaN there,
// which can only ever read as a failure, never as a stale or zero residual.
constexpr double kUnwritten = std::numeric_limits<double>::quiet_NaN();

std::string shape(Eigen::Index rows, Eigen::Index cols) {
    return std::to_string(rows) + " x " + std::to_string(cols);
}

// What evaluate_basis delivered must cover every row and column the solver
// reads; anything else is rejected before a single entry is copied.
void check_basis_output(const MatrixXd& values, const std::vector<MatrixXd>& first,
                        const std::vector<MatrixXd>& second, int m, int n, int d) {
    const std::string want = shape(m, n);
    if (values.rows() != m || values.cols() != n)
        throw std::invalid_argument("evaluate_basis returned a value matrix of shape " +
                                    shape(values.rows(), values.cols()) + ", expected " + want +
                                    " (points x coefficients)");
    const auto check_list = [&](const std::vector<MatrixXd>& list, long long needed,
                                const char* what) {
        if (static_cast<long long>(list.size()) < needed)
            throw std::invalid_argument("evaluate_basis returned " + std::to_string(list.size()) +
                                        " " + what + " matrices, expected at least " +
                                        std::to_string(needed));
        for (long long i = 0; i < needed; ++i) {
            const MatrixXd& mat = list[static_cast<std::size_t>(i)];
            if (mat.rows() != m || mat.cols() != n)
                throw std::invalid_argument("evaluate_basis returned " + std::string(what) +
                                            " matrix " + std::to_string(i) + " of shape " +
                                            shape(mat.rows(), mat.cols()) + ", expected " + want);
        }
    };
    check_list(first, d, "first-derivative");
    check_list(second, static_cast<long long>(d) * d, "second-derivative");
}

// Euclidean norm as the square root of the plain sum of squares. That sum
// overflows for entries above about 1e154 and loses digits once it falls
// below the smallest normal double; there, and only when every entry is
// finite, the norm is taken with rescaling instead, so a finite residual never
// reports an infinite or zero error.
double residual_norm(const VectorXd& r) {
    const double sum = r.squaredNorm();
    if ((std::isinf(sum) || sum < std::numeric_limits<double>::min()) && r.allFinite())
        return r.stableNorm();
    return std::sqrt(sum);
}

// One column of the chain-rule Jacobian for D coordinates, the terms of each
// entry added in the same order as in the loop for any d. With D fixed the
// compiler unrolls the inner sums and vectorises across points, which it does
// not for a run-time d.
template <int D>
void chain_rule_column(int m, const double* sv, const double* sg, const double* sh,
                       const double* bv, const double* bg, const double* bh, double* out) {
    for (int p = 0; p < m; ++p) {
        double acc = sv[p] * bv[p];
        for (int a = 0; a < D; ++a) acc += sg[p * D + a] * bg[p * D + a];
        for (int e = 0; e < D * D; ++e) acc += sh[p * D * D + e] * bh[p * D * D + e];
        out[p] = acc;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction

LPACollSolver_cpp::LPACollSolver_cpp(const MatrixXd& coll_grid_in,
                                     std::shared_ptr<core::Ansatz> ansatz_in,
                                     CallbackAddress cfunc_ptr_in,
                                     CallbackAddress batch_cfunc_ptr_in,
                                     CallbackAddress sens_cfunc_ptr_in,
                                     CallbackAddress sens_par_cfunc_ptr_in, int inv_dim_in,
                                     int param_dim_in)
    : coll_grid(coll_grid_in),
      ansatz(std::move(ansatz_in)),
      cfunc_ptr(cfunc_ptr_in),
      batch_cfunc_ptr(batch_cfunc_ptr_in),
      sens_cfunc_ptr(sens_cfunc_ptr_in),
      sens_par_cfunc_ptr(sens_par_cfunc_ptr_in),
      inv_dim(inv_dim_in),
      param_dim(param_dim_in),
      n_points(0),
      n_coeffs(0) {
    if (!ansatz) throw std::invalid_argument("ansatz must be an Ansatz object, got None");
    if (cfunc_ptr == 0)
        throw std::invalid_argument(
            "cfunc_ptr is 0: the flow routine's address is required (a nonzero integer)");
    if (inv_dim < 0)
        throw std::invalid_argument("inv_dim must be 0 or more, got " + std::to_string(inv_dim));
    // rows * inv_dim * inv_dim must fit in an int; divide rather than
    // multiply so that a huge inv_dim cannot overflow the check itself.
    const long long rows = coll_grid.rows();
    const long long dims = inv_dim;
    if (rows > INT_MAX || (dims > 0 && (dims > INT_MAX / dims || rows > INT_MAX / (dims * dims))))
        throw std::invalid_argument(
            "inv_dim * inv_dim * n_points must stay within 32-bit int range (at most " +
            std::to_string(INT_MAX) + "), got " + std::to_string(inv_dim) + " * " +
            std::to_string(inv_dim) + " * " + std::to_string(rows));

    const auto q = coll_grid.cols();
    coll_grid_rowmajor.resize(coll_grid.rows(), q);
    for (Eigen::Index i = 0; i < coll_grid.rows(); ++i)
        for (Eigen::Index j = 0; j < q; ++j) coll_grid_rowmajor(i, j) = coll_grid(i, j);

    n_points = static_cast<int>(rows);
    n_coeffs = ansatz->n_coeffs;
    if (n_points < n_coeffs)
        throw std::invalid_argument("The number of collocation points (" +
                                    std::to_string(n_points) +
                                    ") is smaller than the number of coefficients (" +
                                    std::to_string(n_coeffs) + ")! The system is underdetermined.");
    if (n_coeffs < 0)
        throw std::invalid_argument("the Ansatz reports a negative number of coefficients (" +
                                    std::to_string(n_coeffs) + ")");

    std::vector<MatrixXd> first, second;
    ansatz->evaluate_basis(coll_grid, basis_vals, first, second);
    check_basis_output(basis_vals, first, second, n_points, n_coeffs, inv_dim);

    const int d = inv_dim;
    basis_grads.resize(static_cast<Eigen::Index>(d) * n_points, n_coeffs);
    for (int i = 0; i < n_points; ++i)
        for (int j = 0; j < d; ++j) basis_grads.row(i * d + j) = first[j].row(i);

    basis_hess.resize(static_cast<Eigen::Index>(d) * d * n_points, n_coeffs);
    for (int i = 0; i < n_points; ++i)
        for (int j = 0; j < d; ++j)
            for (int k = 0; k < d; ++k)
                basis_hess.row(i * d * d + j * d + k) = second[j * d + k].row(i);
}

void LPACollSolver_cpp::check_start(const VectorXd& init_coeffs) const {
    if (init_coeffs.size() != n_coeffs)
        throw std::invalid_argument("init_coeffs has " + std::to_string(init_coeffs.size()) +
                                    " entries, expected n_coeffs = " + std::to_string(n_coeffs));
}

void LPACollSolver_cpp::check_flow_params(const VectorXd& flow_params) const {
    if (flow_params.size() < param_dim)
        throw std::invalid_argument(
            "flow_params has " + std::to_string(flow_params.size()) +
            " entries, expected at least param_dim = " + std::to_string(param_dim));
}

// ---------------------------------------------------------------------------
// Residual

void LPACollSolver_cpp::evaluate_residual(const VectorXd& coeffs, SolverWorkspace& ws,
                                          const VectorXd& flow_params) const {
    // resize() is a no-op when the length already matches.
    ws.vals.resize(basis_vals.rows());
    ws.vals.noalias() = basis_vals * coeffs;
    ws.grads.resize(basis_grads.rows());
    ws.grads.noalias() = basis_grads * coeffs;
    ws.hess.resize(basis_hess.rows());
    ws.hess.noalias() = basis_hess * coeffs;
    ws.residual.fill(kUnwritten);
    callback_from_address<FlowCallback>(cfunc_ptr)(
        coll_grid_rowmajor.data(), ws.vals.data(), ws.grads.data(), ws.hess.data(),
        flow_params.data(), ws.residual.data(), n_points, inv_dim);
}

// ---------------------------------------------------------------------------
// Jacobian

void LPACollSolver_cpp::evaluate_jacobian(const VectorXd& coeffs, SolverWorkspace& ws,
                                          const VectorXd& flow_params, bool multithread) const {
    const int n = static_cast<int>(coeffs.size());
    if ((sens_cfunc_ptr != 0 || sens_par_cfunc_ptr != 0) && n >= kMinCoeffsChainRule) {
        jacobian_from_sensitivities(ws, flow_params, multithread);
        return;
    }
    const long long batch_entries = 2LL * n_points * n_coeffs;
    if (multithread && batch_cfunc_ptr != 0 && inv_dim == 1 && n_coeffs >= kMinCoeffsBatched &&
        batch_entries <= kMaxBatchEntries && !omp_in_parallel()) {
        jacobian_batched_fd(coeffs, ws, flow_params);
        return;
    }
    jacobian_parallel_fd(coeffs, ws, flow_params, multithread);
}

void LPACollSolver_cpp::jacobian_from_sensitivities(SolverWorkspace& ws,
                                                    const VectorXd& flow_params,
                                                    bool multithread) const {
    CallbackAddress sens;
    if (multithread && !omp_in_parallel() && n_points >= kMinPointsParallelSens &&
        sens_par_cfunc_ptr != 0)
        sens = sens_par_cfunc_ptr;
    else if (sens_cfunc_ptr != 0)
        sens = sens_cfunc_ptr;
    else
        sens = sens_par_cfunc_ptr;
    ws.sens_vals.fill(kUnwritten);
    ws.sens_grads.fill(kUnwritten);
    ws.sens_hess.fill(kUnwritten);
    callback_from_address<SensitivityCallback>(sens)(
        coll_grid_rowmajor.data(), ws.vals.data(), ws.grads.data(), ws.hess.data(),
        flow_params.data(), ws.sens_vals.data(), ws.sens_grads.data(), ws.sens_hess.data(),
        n_points);

    // J(p, j) = sv[p] B(p, j) + sum_a sg[p*d + a] G(p*d + a, j)
    //           + sum_e sh[p*d*d + e] H(p*d*d + e, j), terms added in this order.
    const int m = n_points;
    const int d = inv_dim;
    const int dd = d * d;
    const double* sv = ws.sens_vals.data();
    const double* sg = ws.sens_grads.data();
    const double* sh = ws.sens_hess.data();
    for (int j = 0; j < n_coeffs; ++j) {
        const double* bv = basis_vals.col(j).data();
        const double* bg = basis_grads.col(j).data();
        const double* bh = basis_hess.col(j).data();
        double* out = ws.jacobian.col(j).data();
        switch (d) {
            case 1:
                chain_rule_column<1>(m, sv, sg, sh, bv, bg, bh, out);
                continue;
            case 2:
                chain_rule_column<2>(m, sv, sg, sh, bv, bg, bh, out);
                continue;
            case 3:
                chain_rule_column<3>(m, sv, sg, sh, bv, bg, bh, out);
                continue;
            default:
                break;
        }
        for (int p = 0; p < m; ++p) {
            double acc = sv[p] * bv[p];
            const int g0 = p * d;
            for (int a = 0; a < d; ++a) acc += sg[g0 + a] * bg[g0 + a];
            const int h0 = p * dd;
            for (int e = 0; e < dd; ++e) acc += sh[h0 + e] * bh[h0 + e];
            out[p] = acc;
        }
    }
}

void LPACollSolver_cpp::jacobian_batched_fd(const VectorXd& coeffs, SolverWorkspace& ws,
                                            const VectorXd& flow_params) const {
    const int n = static_cast<int>(coeffs.size());
    const int m = n_points;
    ws.fd_steps.resize(n);
    for (int j = 0; j < n; ++j) ws.fd_steps[j] = fd_step(coeffs[j]);

    ws.batch_vals.resize(m, 2 * n);
    ws.batch_grads.resize(m, 2 * n);
    ws.batch_hess.resize(m, 2 * n);
    // Point by point, so that each row of a (row-major) batch matrix is
    // written in one sweep rather than one entry per column.
    const auto fill = [&](RowMatrixXd& batch, const VectorXd& base, const MatrixXd& table) {
        for (int p = 0; p < m; ++p) {
            double* row = batch.row(p).data();
            for (int j = 0; j < n; ++j) {
                const double h = ws.fd_steps[j];
                row[j] = h * table(p, j) + base[p];
                row[n + j] = base[p] - h * table(p, j);
            }
        }
    };
    fill(ws.batch_vals, ws.vals, basis_vals);
    fill(ws.batch_grads, ws.grads, basis_grads);
    fill(ws.batch_hess, ws.hess, basis_hess);
    ws.batch_out.resize(m, 2 * n);
    ws.batch_out.fill(kUnwritten);

    callback_from_address<BatchFlowCallback>(batch_cfunc_ptr)(
        coll_grid_rowmajor.data(), ws.batch_vals.data(), ws.batch_grads.data(),
        ws.batch_hess.data(), flow_params.data(), ws.batch_out.data(), m, 2 * n, inv_dim);

    // Eight columns at a time: the row-major output and the column-major
    // Jacobian are both read and written in short runs instead of strides.
    constexpr int kTile = 8;
    for (int j0 = 0; j0 < n; j0 += kTile) {
        const int j1 = std::min(j0 + kTile, n);
        for (int p = 0; p < m; ++p)
            for (int j = j0; j < j1; ++j) {
                const double h = ws.fd_steps[j];
                ws.jacobian(p, j) = (ws.batch_out(p, j) - ws.batch_out(p, n + j)) / (h + h);
            }
    }
}

void LPACollSolver_cpp::jacobian_parallel_fd(const VectorXd& coeffs, SolverWorkspace& ws,
                                             const VectorXd& flow_params, bool multithread) const {
    const int n = static_cast<int>(coeffs.size());
    const bool par = multithread && n >= kMinCoeffsParallelFd;
    ws.ensure_thread_buffers(n_points, inv_dim, par ? std::max(ws.n_threads, 1) : 1);
    const auto flow = callback_from_address<FlowCallback>(cfunc_ptr);
    const double* points = coll_grid_rowmajor.data();
    const double* params = flow_params.data();
    // The team never outgrows the per-thread buffers, even if the OpenMP
    // thread count was raised after the run began.
    const int team = static_cast<int>(ws.thread_vals.size());
    ParallelExceptions errors;
#pragma omp parallel if (par) num_threads(team)
    {
        const int t = par ? omp_get_thread_num() : 0;
        VectorXd& tv = ws.thread_vals[t];
        VectorXd& tg = ws.thread_grads[t];
        VectorXd& th = ws.thread_hess[t];
        VectorXd& out = ws.thread_out[t];
        VectorXd& plus = ws.thread_plus[t];
        VectorXd& minus = ws.thread_minus[t];
        // Each iteration catches its own exceptions: a thread that left the
        // loop early would never reach the loop's closing barrier. The
        // assignments below resize a buffer only if its length differs.
#pragma omp for schedule(static)
        for (int j = 0; j < n; ++j) {
            errors.run([&] {
                const double h = fd_step(coeffs[j]);
                tv.noalias() = h * basis_vals.col(j) + ws.vals;
                tg.noalias() = h * basis_grads.col(j) + ws.grads;
                th.noalias() = h * basis_hess.col(j) + ws.hess;
                out.fill(kUnwritten);
                flow(points, tv.data(), tg.data(), th.data(), params, out.data(), n_points,
                     inv_dim);
                plus = out;
                tv.noalias() = ws.vals - h * basis_vals.col(j);
                tg.noalias() = ws.grads - h * basis_grads.col(j);
                th.noalias() = ws.hess - h * basis_hess.col(j);
                out.fill(kUnwritten);
                flow(points, tv.data(), tg.data(), th.data(), params, out.data(), n_points,
                     inv_dim);
                minus = out;
                ws.jacobian.col(j) = (plus - minus) / (h + h);
            });
        }
    }
    errors.rethrow_first();
}

// ---------------------------------------------------------------------------
// Newton step

VectorXd solve_step(const MatrixXd& jacobian, const VectorXd& rhs) {
    // No coefficients: the step is empty. The decompositions must not see an
    // empty matrix (their pivot searches read its first entry).
    if (jacobian.cols() == 0) return VectorXd(0);
    if (jacobian.rows() == jacobian.cols()) return Eigen::FullPivLU<MatrixXd>(jacobian).solve(rhs);
    // The QR's rank threshold, (largest column norm * eps)^2 / m, underflows
    // to zero when every entry is below about 1e-146, and its solve would then
    // divide by zero pivots. Such a Jacobian is solved scaled by a power of
    // two, which is exact and leaves the step as it is. Below 2^-1022 the
    // factor 2^-exponent itself overflows, so it is applied in two halves,
    // each finite (every scaled entry stays at most 1 in magnitude).
    const double largest = jacobian.lpNorm<Eigen::Infinity>();
    if (largest > 0.0 && largest < 1e-140) {
        int exponent = 0;
        std::frexp(largest, &exponent);
        if (-exponent <= std::numeric_limits<double>::max_exponent - 1) {
            const double scale = std::ldexp(1.0, -exponent);
            return solve_step(jacobian * scale, rhs * scale);
        }
        const double half = std::ldexp(1.0, -exponent / 2);
        const double rest = std::ldexp(1.0, -exponent - (-exponent / 2));
        return solve_step((jacobian * half) * rest, (rhs * half) * rest);
    }
    const Eigen::ColPivHouseholderQR<MatrixXd> qr(jacobian);
    // For an all-zero matrix the threshold is zero too and every pivot counts
    // as nonzero; rank 0 gives the zero step, as it does for LU. (A largest
    // pivot of 0 also comes from NaN entries, which pass on.)
    if (qr.maxPivot() == 0.0 && jacobian.allFinite()) return VectorXd::Zero(jacobian.cols());
    return qr.solve(rhs);
}

VectorXd LPACollSolver_cpp::newton_step(const VectorXd& coeffs, SolverWorkspace& ws,
                                        const VectorXd& flow_params, bool multithread) const {
    evaluate_jacobian(coeffs, ws, flow_params, multithread);
    const VectorXd rhs = -ws.residual;
    return solve_step(ws.jacobian, rhs);
}

// ---------------------------------------------------------------------------
// Drivers

OptimizeResult LPACollSolver_cpp::local_optimize(const VectorXd& init_coeffs, int maxiter,
                                                 double tol, const VectorXd& flow_params,
                                                 bool multithread, RunControl* control) const {
    check_start(init_coeffs);
    check_flow_params(flow_params);
    ThreadCountGuard guard(multithread);
    VectorXd coeffs = init_coeffs;
    const int n_threads = multithread ? omp_get_max_threads() : 1;
    double error = 1e9;
    int i = 0;
    {
        SolverWorkspace ws(n_points, inv_dim, static_cast<int>(coeffs.size()), n_threads);
        while (i < maxiter) {
            if (stop_requested(control)) throw Interrupted();
            evaluate_residual(coeffs, ws, flow_params);
            error = residual_norm(ws.residual);
            if (tol >= error) break;
            coeffs += newton_step(coeffs, ws, flow_params, multithread);
            ++i;
        }
    }
    OptimizeResult result;
    result.coeffs = std::move(coeffs);
    result.success = tol >= error;
    result.iterations = i;
    result.error = error;
    return result;
}

OptimizeResult LPACollSolver_cpp::local_optimize_fixed_iterations(const VectorXd& init_coeffs,
                                                                  int num_iter,
                                                                  const VectorXd& flow_params,
                                                                  bool multithread,
                                                                  RunControl* control) const {
    check_start(init_coeffs);
    check_flow_params(flow_params);
    ThreadCountGuard guard(multithread);
    VectorXd coeffs = init_coeffs;
    const int n_threads = multithread ? omp_get_max_threads() : 1;
    double error;
    {
        SolverWorkspace ws(n_points, inv_dim, static_cast<int>(coeffs.size()), n_threads);
        for (int i = 0; i < num_iter; ++i) {
            if (stop_requested(control)) throw Interrupted();
            evaluate_residual(coeffs, ws, flow_params);
            coeffs += newton_step(coeffs, ws, flow_params, multithread);
        }
        evaluate_residual(coeffs, ws, flow_params);
        error = residual_norm(ws.residual);
    }
    OptimizeResult result;
    result.coeffs = std::move(coeffs);
    result.success = std::isfinite(error);
    result.iterations = num_iter > 0 ? num_iter : 0;
    result.error = error;
    return result;
}

std::vector<OptimizeResult> LPACollSolver_cpp::param_path_following(
    const VectorXd& init_coeffs, int maxiter, double tol,
    const std::vector<VectorXd>& flow_params_path, bool multithread, RunControl* control) const {
    check_start(init_coeffs);
    for (const auto& p : flow_params_path) check_flow_params(p);
    std::vector<OptimizeResult> results;
    results.reserve(flow_params_path.size());
    VectorXd start = init_coeffs;
    for (const auto& flow_params : flow_params_path) {
        if (stop_requested(control)) throw Interrupted();
        OptimizeResult result =
            local_optimize(start, maxiter, tol, flow_params, multithread, control);
        if (result.success) start = result.coeffs;
        results.push_back(std::move(result));
    }
    return results;
}

std::vector<OptimizeResult> LPACollSolver_cpp::multistart_optimize(
    const std::vector<VectorXd>& init_coeffs_list, int maxiter, double tol,
    const VectorXd& flow_params, RunControl* control) const {
    for (const auto& start : init_coeffs_list) check_start(start);
    check_flow_params(flow_params);
    ThreadCountGuard guard(false);
    const int n = static_cast<int>(init_coeffs_list.size());
    std::vector<OptimizeResult> results(static_cast<std::size_t>(n));
    ParallelExceptions errors;
    // Runs a stopped control catches as Interrupted, like any other
    // exception; the remaining starts then stop at their first poll.
    std::atomic<int> finished{0};
#pragma omp parallel
    {
#pragma omp for schedule(static) nowait
        for (int i = 0; i < n; ++i) {
            errors.run([&] {
                results[i] =
                    local_optimize(init_coeffs_list[i], maxiter, tol, flow_params, false, control);
            });
            finished.fetch_add(1, std::memory_order_release);
        }
        // The calling thread keeps watching for an interrupt while the others
        // finish their starts, instead of waiting at the barrier.
        if (control != nullptr && omp_get_thread_num() == 0) {
            while (finished.load(std::memory_order_acquire) < n && !control->stop_requested())
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    errors.rethrow_first();
    return results;
}

}  // namespace vexal::lpa
