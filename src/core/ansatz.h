// The basis expansion of a potential: u(x) = sum_b a_b * phi_b(x).
#pragma once

#include <Eigen/Dense>
#include <vector>

namespace vexal::core {

// Base class of every basis. A basis knows its coefficient count and evaluates
// its functions, with first and second derivatives, at a set of points.
class Ansatz {
public:
    explicit Ansatz(int n_coeffs) : n_coeffs(n_coeffs) {}
    virtual ~Ansatz() = default;

    Ansatz(const Ansatz&) = default;
    Ansatz& operator=(const Ansatz&) = default;

    // Number of basis functions (coefficients of the expansion).
    int n_coeffs;

    // Evaluate every basis function at every row of `grid` (m points, one
    // column per coordinate; d coordinates).
    //   values:             m x n, (i, b) = phi_b(x_i)
    //   first_derivatives:  d matrices m x n, matrix j holds d phi_b / d x_j
    //   second_derivatives: d*d matrices m x n, matrix j*d + k holds
    //                       d^2 phi_b / (d x_j d x_k)
    // A solver with inv_dim coordinates reads the first inv_dim and inv_dim^2
    // of the lists.
    virtual void evaluate_basis(const Eigen::MatrixXd& grid, Eigen::MatrixXd& values,
                                std::vector<Eigen::MatrixXd>& first_derivatives,
                                std::vector<Eigen::MatrixXd>& second_derivatives) const = 0;
};

}  // namespace vexal::core
