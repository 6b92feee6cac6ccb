// Collocation solver for the fixed-point equation of a flow.
//
// The potential u = sum_b a_b phi_b is expanded in the basis of an Ansatz; the
// flow equation, compiled by the host, is imposed at the rows of `coll_grid`
// and Newton (Gauss-Newton when there are more points than coefficients)
// iterates on the coefficients a. The solver is read-only after construction;
// every run keeps its changing state in its own SolverWorkspace, so runs may
// share one solver across threads.
#pragma once

#include <Eigen/Dense>
#include <memory>
#include <vector>

#include "core/ansatz.h"
#include "lpa/callbacks.h"
#include "lpa/interrupt.h"
#include "lpa/optimize_result.h"
#include "lpa/workspace.h"

namespace vexal::lpa {

// Thresholds of the Jacobian path choice.
inline constexpr int kMinCoeffsChainRule = 16;         // chain rule from n >= 16
inline constexpr int kMinCoeffsBatched = 64;           // batched differences from n >= 64
inline constexpr long long kMaxBatchEntries = 500000;  // 2*m*n at most for the batch
inline constexpr int kMinCoeffsParallelFd = 256;       // parallel loop from n >= 256
inline constexpr int kMinPointsParallelSens = 512;     // sens_par_cfunc_ptr from m >= 512

// Finite-difference step of a coefficient c: h = max(|c|, 1) * 1e-6.
inline double fd_step(double c) { return (std::abs(c) > 1.0 ? std::abs(c) : 1.0) * 1e-6; }

// Solves J s = rhs: FullPivLU when J is square, ColPivHouseholderQR (least
// squares) when it is tall. The choice depends on the shape alone.
Eigen::VectorXd solve_step(const Eigen::MatrixXd& jacobian, const Eigen::VectorXd& rhs);

class LPACollSolver_cpp {
public:
    // Copies the grid, shares the Ansatz, evaluates the basis once and stores
    // the value and derivative tables. Throws std::invalid_argument for an
    // underdetermined system and for inputs that cannot be served (no Ansatz,
    // a zero flow routine, a negative inv_dim, sizes beyond 32 bits, a basis
    // evaluation of the wrong shape), std::bad_alloc when a table cannot be
    // allocated.
    LPACollSolver_cpp(const Eigen::MatrixXd& coll_grid, std::shared_ptr<core::Ansatz> ansatz,
                      CallbackAddress cfunc_ptr, CallbackAddress batch_cfunc_ptr,
                      CallbackAddress sens_cfunc_ptr, CallbackAddress sens_par_cfunc_ptr,
                      int inv_dim, int param_dim);

    // Residual at `coeffs`: fills the workspace's vals, grads, hess (table
    // times coefficients) and residual (one call of cfunc_ptr).
    void evaluate_residual(const Eigen::VectorXd& coeffs, SolverWorkspace& ws,
                           const Eigen::VectorXd& flow_params) const;

    // Jacobian of the residual at the last evaluation into ws.jacobian, by the
    // chain rule, batched or per-coefficient central differences.
    void evaluate_jacobian(const Eigen::VectorXd& coeffs, SolverWorkspace& ws,
                           const Eigen::VectorXd& flow_params, bool multithread) const;
    void jacobian_from_sensitivities(SolverWorkspace& ws, const Eigen::VectorXd& flow_params,
                                     bool multithread) const;
    void jacobian_batched_fd(const Eigen::VectorXd& coeffs, SolverWorkspace& ws,
                             const Eigen::VectorXd& flow_params) const;
    void jacobian_parallel_fd(const Eigen::VectorXd& coeffs, SolverWorkspace& ws,
                              const Eigen::VectorXd& flow_params, bool multithread) const;

    // One Newton correction s with J s = -r at the last evaluation.
    Eigen::VectorXd newton_step(const Eigen::VectorXd& coeffs, SolverWorkspace& ws,
                                const Eigen::VectorXd& flow_params, bool multithread) const;

    // The drivers. With a RunControl they ask it between Newton iterations,
    // starts and path points whether to stop, and throw Interrupted if so.

    // Newton until tol >= |r| or maxiter corrections.
    OptimizeResult local_optimize(const Eigen::VectorXd& init_coeffs, int maxiter, double tol,
                                  const Eigen::VectorXd& flow_params, bool multithread,
                                  RunControl* control = nullptr) const;
    // Exactly num_iter corrections, then the residual of the result.
    OptimizeResult local_optimize_fixed_iterations(const Eigen::VectorXd& init_coeffs, int num_iter,
                                                   const Eigen::VectorXd& flow_params,
                                                   bool multithread,
                                                   RunControl* control = nullptr) const;
    // One local_optimize per path point, each from the last successful solution.
    std::vector<OptimizeResult> param_path_following(
        const Eigen::VectorXd& init_coeffs, int maxiter, double tol,
        const std::vector<Eigen::VectorXd>& flow_params_path, bool multithread,
        RunControl* control = nullptr) const;
    // One serial run per start, spread over the OpenMP threads.
    std::vector<OptimizeResult> multistart_optimize(
        const std::vector<Eigen::VectorXd>& init_coeffs_list, int maxiter, double tol,
        const Eigen::VectorXd& flow_params, RunControl* control = nullptr) const;

    // Throws std::invalid_argument unless the vectors have the lengths the
    // routines and tables rely on: n_coeffs entries for a start vector, at
    // least param_dim for the flow parameters.
    void check_start(const Eigen::VectorXd& init_coeffs) const;
    void check_flow_params(const Eigen::VectorXd& flow_params) const;

    Eigen::MatrixXd coll_grid;
    RowMatrixXd coll_grid_rowmajor;
    std::shared_ptr<core::Ansatz> ansatz;
    CallbackAddress cfunc_ptr;
    CallbackAddress batch_cfunc_ptr;
    CallbackAddress sens_cfunc_ptr;
    CallbackAddress sens_par_cfunc_ptr;
    int inv_dim;
    int param_dim;
    int n_points;
    int n_coeffs;
    Eigen::MatrixXd basis_vals;   // m x n
    Eigen::MatrixXd basis_grads;  // (d*m) x n, row p*d + a
    Eigen::MatrixXd basis_hess;   // (d*d*m) x n, row p*d*d + e
};

}  // namespace vexal::lpa
