// Polynomial and Chebyshev product bases: size and order of the basis, values
// and derivatives against finite differences and closed forms, input checks.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/bases.h"

namespace {

using Eigen::MatrixXd;
using vexal::core::Ansatz;
using vexal::core::ChebyshevAnsatz;
using vexal::core::PolynomialAnsatz;

struct Evaluation {
    MatrixXd values;
    std::vector<MatrixXd> first;
    std::vector<MatrixXd> second;
};

Evaluation evaluate(const Ansatz& basis, const MatrixXd& grid) {
    Evaluation e;
    basis.evaluate_basis(grid, e.values, e.first, e.second);
    return e;
}

// C(a + b, b) from Pascal's triangle.
long long binomial(int a, int b) {
    std::vector<std::vector<long long>> c(a + b + 1);
    for (int r = 0; r <= a + b; ++r) {
        c[r].assign(r + 1, 1);
        for (int k = 1; k < r; ++k) c[r][k] = c[r - 1][k - 1] + c[r - 1][k];
    }
    return c[a + b][b];
}

int total(const std::vector<int>& e) {
    int s = 0;
    for (int x : e) s += x;
    return s;
}

TEST(Bases, CountAndOrder) {
    for (int q = 0; q <= 4; ++q) {
        for (int p = 0; p <= 7; ++p) {
            SCOPED_TRACE("inv_dim " + std::to_string(q) + ", degree " + std::to_string(p));
            const PolynomialAnsatz poly(q, p);
            const ChebyshevAnsatz cheb(q, p, std::vector<double>(q, -1.0),
                                       std::vector<double>(q, 2.0));
            ASSERT_EQ(poly.n_coeffs, binomial(q, p));
            ASSERT_EQ(poly.exponents().size(), static_cast<std::size_t>(poly.n_coeffs));
            EXPECT_EQ(cheb.n_coeffs, poly.n_coeffs);
            EXPECT_EQ(cheb.exponents(), poly.exponents());
            // Graded lexicographic: each tuple comes strictly after the one
            // before it, by total degree and then by descending exponents.
            const auto& ex = poly.exponents();
            for (std::size_t b = 0; b < ex.size(); ++b) {
                ASSERT_EQ(ex[b].size(), static_cast<std::size_t>(q));
                EXPECT_LE(total(ex[b]), p);
                if (b == 0) continue;
                const int t0 = total(ex[b - 1]);
                const int t1 = total(ex[b]);
                EXPECT_TRUE(t0 < t1 || (t0 == t1 && std::lexicographical_compare(
                                                        ex[b].begin(), ex[b].end(),
                                                        ex[b - 1].begin(), ex[b - 1].end())))
                    << "basis functions " << b - 1 << " and " << b << " are out of order";
            }
        }
    }

    using E = std::vector<std::vector<int>>;
    EXPECT_EQ(PolynomialAnsatz(2, 2).exponents(),
              (E{{0, 0}, {1, 0}, {0, 1}, {2, 0}, {1, 1}, {0, 2}}));
    EXPECT_EQ(PolynomialAnsatz(3, 2).exponents(), (E{{0, 0, 0},
                                                     {1, 0, 0},
                                                     {0, 1, 0},
                                                     {0, 0, 1},
                                                     {2, 0, 0},
                                                     {1, 1, 0},
                                                     {1, 0, 1},
                                                     {0, 2, 0},
                                                     {0, 1, 1},
                                                     {0, 0, 2}}));
}

TEST(Bases, NoVariablesGiveTheConstant) {
    const PolynomialAnsatz basis(0, 5);
    ASSERT_EQ(basis.n_coeffs, 1);
    const Evaluation e = evaluate(basis, MatrixXd(4, 0));
    EXPECT_EQ(e.values, MatrixXd::Ones(4, 1));
    EXPECT_TRUE(e.first.empty());
    EXPECT_TRUE(e.second.empty());
}

// x^e and its first and second derivatives, from std::pow.
double power(double x, int e, int order) {
    double factor = 1.0;
    for (int i = 0; i < order; ++i) factor *= e - i;
    return e < order ? 0.0 : factor * std::pow(x, e - order);
}

TEST(Bases, PolynomialMatchesMonomials) {
    const int q = 3;
    const PolynomialAnsatz basis(q, 4);
    MatrixXd grid(4, q);
    grid << 0.0, 0.0, 0.0,  //
        1.5, -0.5, 2.0,     //
        -1.25, 0.0, 0.75,   //
        0.3, 1.1, -2.2;
    const Evaluation e = evaluate(basis, grid);
    // orders[j] = how often variable j is differentiated.
    auto monomial = [&](Eigen::Index i, int b, const std::vector<int>& orders) {
        double r = 1.0;
        for (int j = 0; j < q; ++j) r *= power(grid(i, j), basis.exponents()[b][j], orders[j]);
        return r;
    };
    for (Eigen::Index i = 0; i < grid.rows(); ++i) {
        for (int b = 0; b < basis.n_coeffs; ++b) {
            SCOPED_TRACE("point " + std::to_string(i) + ", basis function " + std::to_string(b));
            const double v = monomial(i, b, {0, 0, 0});
            EXPECT_NEAR(e.values(i, b), v, 1e-14 * (1.0 + std::abs(v)));
            for (int j = 0; j < q; ++j) {
                std::vector<int> oj(q, 0);
                ++oj[j];
                const double d1 = monomial(i, b, oj);
                EXPECT_NEAR(e.first[j](i, b), d1, 1e-14 * (1.0 + std::abs(d1)));
                for (int k = 0; k < q; ++k) {
                    std::vector<int> ojk = oj;
                    ++ojk[k];
                    const double d2 = monomial(i, b, ojk);
                    EXPECT_NEAR(e.second[j * q + k](i, b), d2, 1e-14 * (1.0 + std::abs(d2)));
                }
            }
        }
    }
}

// Central differences of the values give the first derivatives, and central
// differences of the first derivatives give the second; both have error
// O(h^2), well below the tolerance for these low degrees.
void expect_derivatives_match_differences(const Ansatz& basis, const MatrixXd& grid) {
    const int q = static_cast<int>(grid.cols());
    const Evaluation e = evaluate(basis, grid);
    ASSERT_EQ(e.values.rows(), grid.rows());
    ASSERT_EQ(e.values.cols(), basis.n_coeffs);
    ASSERT_EQ(e.first.size(), static_cast<std::size_t>(q));
    ASSERT_EQ(e.second.size(), static_cast<std::size_t>(q * q));
    const double h = 1e-5;
    for (int k = 0; k < q; ++k) {
        MatrixXd plus = grid, minus = grid;
        plus.col(k).array() += h;
        minus.col(k).array() -= h;
        const Evaluation ep = evaluate(basis, plus);
        const Evaluation em = evaluate(basis, minus);

        const MatrixXd d_values = (ep.values - em.values) / (2 * h);
        const double scale1 = 1.0 + e.first[k].cwiseAbs().maxCoeff();
        EXPECT_LT((d_values - e.first[k]).cwiseAbs().maxCoeff(), 1e-7 * scale1) << "d/dx_" << k;

        for (int j = 0; j < q; ++j) {
            const MatrixXd d_first = (ep.first[j] - em.first[j]) / (2 * h);
            const MatrixXd& exact = e.second[j * q + k];
            ASSERT_EQ(exact.rows(), grid.rows());
            ASSERT_EQ(exact.cols(), basis.n_coeffs);
            const double scale2 = 1.0 + exact.cwiseAbs().maxCoeff();
            EXPECT_LT((d_first - exact).cwiseAbs().maxCoeff(), 1e-7 * scale2)
                << "d2/dx_" << j << " dx_" << k;
        }
    }
}

TEST(Bases, DerivativesMatchFiniteDifferences) {
    MatrixXd grid(5, 3);
    grid << 0.0, 0.0, 0.0,  //
        0.7, -1.3, 0.4,     //
        -0.9, 0.2, 1.6,     //
        1.2, 1.1, -0.6,     //
        0.05, -0.35, 0.9;
    {
        SCOPED_TRACE("polynomial, 1 variable");
        expect_derivatives_match_differences(PolynomialAnsatz(1, 6), grid.leftCols(1));
    }
    {
        SCOPED_TRACE("polynomial, 3 variables");
        expect_derivatives_match_differences(PolynomialAnsatz(3, 4), grid);
    }
    {
        // Points inside [-1, 2] x [-1.5, 1.5] x [-0.8, 1.8].
        SCOPED_TRACE("Chebyshev, 3 variables");
        expect_derivatives_match_differences(
            ChebyshevAnsatz(3, 5, {-1.0, -1.5, -0.8}, {2.0, 1.5, 1.8}), grid);
    }
    {
        SCOPED_TRACE("Chebyshev, 2 variables");
        expect_derivatives_match_differences(ChebyshevAnsatz(2, 7, {-2.0, -1.5}, {1.5, 0.5}),
                                             grid.leftCols(2));
    }
}

TEST(Bases, OutputsAreResized) {
    const ChebyshevAnsatz basis(2, 3, {0.0, 0.0}, {1.0, 1.0});
    MatrixXd grid(3, 2);
    grid << 0.1, 0.2, 0.3, 0.4, 0.5, 0.6;
    MatrixXd values = MatrixXd::Constant(7, 1, 9.0);
    std::vector<MatrixXd> first(5, MatrixXd::Constant(2, 2, 9.0));
    std::vector<MatrixXd> second(1);
    basis.evaluate_basis(grid, values, first, second);
    const Evaluation fresh = evaluate(basis, grid);
    EXPECT_EQ(values, fresh.values);
    EXPECT_EQ(first, fresh.first);
    EXPECT_EQ(second, fresh.second);
    EXPECT_EQ(first.size(), 2u);
    EXPECT_EQ(second.size(), 4u);
}

// High degrees, one variable, against the closed forms with t = cos(theta):
// T_k = cos(k theta), T_k' = k sin(k theta) / sin(theta) and, from
// (1 - t^2) T'' - t T' + k^2 T = 0, T_k'' = (t T_k' - k^2 T_k) / (1 - t^2).
TEST(Bases, ChebyshevHighDegreeInterior) {
    const double lower = -1.0, upper = 3.0;  // x = 1 + 2 t, so d/dx = d/dt / 2
    for (int degree : {255, 300}) {
        const ChebyshevAnsatz basis(1, degree, {lower}, {upper});
        std::vector<double> ts;
        for (double t = -0.95; t <= 0.95; t += 0.0731) ts.push_back(t);
        MatrixXd grid(static_cast<Eigen::Index>(ts.size()), 1);
        for (std::size_t i = 0; i < ts.size(); ++i) grid(i, 0) = 1.0 + 2.0 * ts[i];
        const Evaluation e = evaluate(basis, grid);
        for (std::size_t i = 0; i < ts.size(); ++i) {
            const double t = ts[i];
            const double theta = std::acos(t);
            for (int k = 0; k <= degree; ++k) {
                SCOPED_TRACE("degree " + std::to_string(degree) + ", t = " + std::to_string(t) +
                             ", k = " + std::to_string(k));
                const double kk = static_cast<double>(k);
                const double value = std::cos(kk * theta);
                const double d1 = kk * std::sin(kk * theta) / std::sin(theta);
                const double d2 = (t * d1 - kk * kk * value) / (1.0 - t * t);
                // Scales: |T_k| <= 1, |T_k'| <= k^2, |T_k''| <= k^2 (k^2 - 1) / 3.
                const double s1 = 1.0 + kk * kk;
                const double s2 = 1.0 + kk * kk * (kk * kk - 1.0) / 3.0;
                // The reference itself is off by about k eps / sin(theta).
                ASSERT_NEAR(e.values(i, k), value, 1e-12);
                ASSERT_NEAR(e.first[0](i, k), d1 / 2.0, 1e-13 * s1);
                ASSERT_NEAR(e.second[0](i, k), d2 / 4.0, 1e-13 * s2);
            }
        }
    }
}

// At the interval ends: T_k(+-1) = (+-1)^k, T_k'(+-1) = (+-1)^(k+1) k^2,
// T_k''(+-1) = (+-1)^k k^2 (k^2 - 1) / 3. The ends map exactly onto t = +-1,
// and the recurrences stay in integers there, so the results are exact, even
// for bounds that are not exact binary fractions.
TEST(Bases, ChebyshevHighDegreeEnds) {
    const double lower = 0.1, upper = 0.7;
    const double dt = 2.0 / (upper - lower);
    for (int degree : {255, 300}) {
        const ChebyshevAnsatz basis(1, degree, {lower}, {upper});
        MatrixXd grid(2, 1);
        grid << lower, upper;
        const Evaluation e = evaluate(basis, grid);
        for (int k = 0; k <= degree; ++k) {
            SCOPED_TRACE("degree " + std::to_string(degree) + ", k = " + std::to_string(k));
            const double kk = static_cast<double>(k);
            const double sign = k % 2 == 0 ? 1.0 : -1.0;  // (-1)^k
            const double d1 = kk * kk;
            const double d2 = kk * kk * (kk * kk - 1.0) / 3.0;
            EXPECT_DOUBLE_EQ(e.values(1, k), 1.0);
            EXPECT_DOUBLE_EQ(e.values(0, k), sign);
            EXPECT_DOUBLE_EQ(e.first[0](1, k), d1 * dt);
            EXPECT_DOUBLE_EQ(e.first[0](0, k), -sign * d1 * dt);
            EXPECT_DOUBLE_EQ(e.second[0](1, k), d2 * dt * dt);
            EXPECT_DOUBLE_EQ(e.second[0](0, k), sign * d2 * dt * dt);
        }
    }
}

TEST(Bases, RejectsInvalidInput) {
    EXPECT_THROW(PolynomialAnsatz(-1, 2), std::invalid_argument);
    EXPECT_THROW(PolynomialAnsatz(2, -1), std::invalid_argument);
    EXPECT_THROW(ChebyshevAnsatz(-1, 2, {}, {}), std::invalid_argument);
    EXPECT_THROW(ChebyshevAnsatz(1, -2, {0.0}, {1.0}), std::invalid_argument);
    // More basis functions than an int counts: C(40 + 40, 40) and C(1 + d, d)
    // with d = INT_MAX.
    EXPECT_THROW(PolynomialAnsatz(40, 40), std::invalid_argument);
    EXPECT_THROW(PolynomialAnsatz(1, 2147483647), std::invalid_argument);
    // A million variables: one constant, its exponents listed without
    // recursing once per variable. A table of n * inv_dim exponents beyond
    // what could ever be evaluated is refused.
    EXPECT_EQ(PolynomialAnsatz(1000000, 0).exponents()[0].size(), 1000000u);
    EXPECT_THROW(PolynomialAnsatz(300000, 1), std::invalid_argument);
    EXPECT_THROW(PolynomialAnsatz(20000, 2), std::invalid_argument);
    // Bounds: wrong lengths, empty, reversed or non-finite intervals.
    EXPECT_THROW(ChebyshevAnsatz(2, 3, {0.0}, {1.0, 1.0}), std::invalid_argument);
    EXPECT_THROW(ChebyshevAnsatz(2, 3, {0.0, 0.0}, {1.0}), std::invalid_argument);
    EXPECT_THROW(ChebyshevAnsatz(1, 3, {1.0}, {1.0}), std::invalid_argument);
    EXPECT_THROW(ChebyshevAnsatz(1, 3, {2.0}, {1.0}), std::invalid_argument);
    EXPECT_THROW(ChebyshevAnsatz(1, 3, {0.0}, {INFINITY}), std::invalid_argument);
    EXPECT_THROW(ChebyshevAnsatz(1, 3, {NAN}, {1.0}), std::invalid_argument);

    const PolynomialAnsatz basis(2, 3);
    MatrixXd values;
    std::vector<MatrixXd> first, second;
    try {
        basis.evaluate_basis(MatrixXd::Zero(4, 3), values, first, second);
        FAIL() << "a 3-column grid for a 2-variable basis was accepted";
    } catch (const std::invalid_argument& err) {
        const std::string what = err.what();
        EXPECT_NE(what.find('3'), std::string::npos) << what;
        EXPECT_NE(what.find('2'), std::string::npos) << what;
    }
}

}  // namespace
