// Polynomial and Chebyshev product bases over the invariants of a potential.
//
// Both bases hold every product phi_e(x) = prod_j p_{e_j}(x_j) whose total
// degree e_1 + ... + e_q is at most `degree`, with p_k the monomial x^k or the
// Chebyshev polynomial T_k of a rescaled coordinate. The products are listed in
// graded lexicographic order: total degree ascending and, within one total
// degree, exponent tuples in descending lexicographic order, so that the first
// variable's exponent decreases first. For two variables and degree 2 the
// order is 1, x, y, x^2, xy, y^2.
#pragma once

#include <Eigen/Dense>
#include <vector>

#include "core/ansatz.h"

namespace vexal::core {

// Number of products of total degree <= degree in inv_dim variables,
// C(inv_dim + degree, degree). Throws std::invalid_argument when an argument is
// negative or the count does not fit in an int.
int product_basis_size(int inv_dim, int degree);

// The exponent tuples of those products, in graded lexicographic order.
std::vector<std::vector<int>> graded_lex_exponents(int inv_dim, int degree);

// Shared machinery of the product bases: the exponent table and the assembly of
// values and derivatives from one-variable tables. Subclasses only provide the
// one-variable polynomials p_0 ... p_degree and their derivatives.
class ProductAnsatz : public Ansatz {
public:
    int inv_dim() const { return inv_dim_; }
    int degree() const { return degree_; }
    // exponents()[b][j] is the power (or Chebyshev index) of variable j in
    // basis function b.
    const std::vector<std::vector<int>>& exponents() const { return exponents_; }

    // Throws std::invalid_argument when grid.cols() != inv_dim().
    void evaluate_basis(const Eigen::MatrixXd& grid, Eigen::MatrixXd& values,
                        std::vector<Eigen::MatrixXd>& first_derivatives,
                        std::vector<Eigen::MatrixXd>& second_derivatives) const override;

protected:
    ProductAnsatz(int inv_dim, int degree);

    // Fill p[k], dp[k] and d2p[k] for k = 0 ... degree() with the k-th
    // one-variable polynomial of variable `var` and its first and second
    // derivatives with respect to x, evaluated at x.
    virtual void univariate_table(int var, double x, double* p, double* dp, double* d2p) const = 0;

private:
    int inv_dim_;
    int degree_;
    std::vector<std::vector<int>> exponents_;
};

// Monomials x_1^{e_1} ... x_q^{e_q}.
class PolynomialAnsatz final : public ProductAnsatz {
public:
    PolynomialAnsatz(int inv_dim, int degree);

protected:
    void univariate_table(int var, double x, double* p, double* dp, double* d2p) const override;
};

// Products T_{e_1}(t_1) ... T_{e_q}(t_q) of Chebyshev polynomials of the first
// kind, where t_j = (2 x_j - lower[j] - upper[j]) / (upper[j] - lower[j]) maps
// [lower[j], upper[j]] onto [-1, 1]. Derivatives are taken with respect to x.
// The polynomials come from the three-term recurrences, which stay accurate for
// degrees in the hundreds, at the interval ends included.
class ChebyshevAnsatz final : public ProductAnsatz {
public:
    // Throws std::invalid_argument unless lower and upper have inv_dim entries,
    // all finite, with lower[j] < upper[j].
    ChebyshevAnsatz(int inv_dim, int degree, std::vector<double> lower, std::vector<double> upper);

    const std::vector<double>& lower() const { return lower_; }
    const std::vector<double>& upper() const { return upper_; }

protected:
    void univariate_table(int var, double x, double* p, double* dp, double* d2p) const override;

private:
    std::vector<double> lower_;
    std::vector<double> upper_;
};

}  // namespace vexal::core
