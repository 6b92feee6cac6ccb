#include "lpa/workspace.h"

#include <algorithm>

namespace vexal::lpa {

namespace {
// A length of 0 or less gives an empty buffer.
Eigen::Index len(int n) { return std::max(n, 0); }
}  // namespace

SolverWorkspace::SolverWorkspace(int n_points, int inv_dim, int n, int n_threads)
    : n_threads(n_threads),
      vals(len(n_points)),
      grads(len(n_points * inv_dim)),
      hess(len(n_points * inv_dim * inv_dim)),
      residual(len(n_points)),
      jacobian(len(n_points), len(n)),
      sens_vals(len(n_points)),
      sens_grads(len(n_points * inv_dim)),
      sens_hess(len(n_points * inv_dim * inv_dim)) {}

void SolverWorkspace::ensure_thread_buffers(int n_points, int inv_dim, int threads) {
    if (static_cast<int>(thread_vals.size()) >= threads) return;
    const auto t = static_cast<std::size_t>(std::max(threads, 0));
    thread_vals.assign(t, Eigen::VectorXd(len(n_points)));
    thread_grads.assign(t, Eigen::VectorXd(len(n_points * inv_dim)));
    thread_hess.assign(t, Eigen::VectorXd(len(n_points * inv_dim * inv_dim)));
    thread_out.assign(t, Eigen::VectorXd(len(n_points)));
    thread_plus.assign(t, Eigen::VectorXd(len(n_points)));
    thread_minus.assign(t, Eigen::VectorXd(len(n_points)));
}

}  // namespace vexal::lpa
