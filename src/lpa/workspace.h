// Scratch space of one Newton run: every buffer that the residual, the
// Jacobian and the step write. One workspace per run, never shared.
#pragma once

#include <Eigen/Dense>
#include <vector>

namespace vexal::lpa {

using RowMatrixXd = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// m = n_points, d = inv_dim, n = number of coefficients. Derivative buffers
// are point-major: entry p*d + a of grads, p*d*d + e of hess.
struct SolverWorkspace {
    // Allocates the fixed-size buffers (contents undefined); the per-thread
    // lists, batch matrices and fd_steps start empty.
    SolverWorkspace(int n_points, int inv_dim, int n, int n_threads);

    // Makes each per-thread list hold at least `threads` entries, sized for
    // m points and d coordinates. Never shrinks; a list that is large enough
    // is left exactly as it is. Call outside parallel regions only.
    void ensure_thread_buffers(int n_points, int inv_dim, int threads);

    int n_threads;  // per-thread buffer sets a parallel Jacobian may use

    // State of the last residual evaluation.
    Eigen::VectorXd vals;      // m
    Eigen::VectorXd grads;     // m*d
    Eigen::VectorXd hess;      // m*d*d
    Eigen::VectorXd residual;  // m

    // Per-coefficient finite differences, entry t for OpenMP thread t.
    std::vector<Eigen::VectorXd> thread_vals;   // m
    std::vector<Eigen::VectorXd> thread_grads;  // m*d
    std::vector<Eigen::VectorXd> thread_hess;   // m*d*d
    std::vector<Eigen::VectorXd> thread_out;    // m
    std::vector<Eigen::VectorXd> thread_plus;   // m
    std::vector<Eigen::VectorXd> thread_minus;  // m

    Eigen::MatrixXd jacobian;  // m x n

    // Outputs of the sensitivity routine (chain-rule Jacobian).
    Eigen::VectorXd sens_vals;   // m
    Eigen::VectorXd sens_grads;  // m*d
    Eigen::VectorXd sens_hess;   // m*d*d

    // Batched finite differences: m x 2n, column s < n forward along s,
    // column n + s backward along s.
    RowMatrixXd batch_vals;
    RowMatrixXd batch_grads;
    RowMatrixXd batch_hess;
    RowMatrixXd batch_out;
    Eigen::VectorXd fd_steps;  // n
};

}  // namespace vexal::lpa
