// Shared helpers of the C++ tests: a matrix assertion that prints both
// matrices, a basis given by explicit tables, and recording routines.
#pragma once

#include <gtest/gtest.h>
#include <omp.h>

#include <Eigen/Dense>
#include <atomic>
#include <cmath>
#include <memory>
#include <sstream>
#include <vector>

#include "core/ansatz.h"
#include "lpa/callbacks.h"

namespace lpa_test {

template <typename A, typename B>
::testing::AssertionResult matrix_near(const char* a_expr, const char* b_expr, const char*,
                                       const Eigen::MatrixBase<A>& a, const Eigen::MatrixBase<B>& b,
                                       double tol) {
    if (a.rows() == b.rows() && a.cols() == b.cols() &&
        (a.size() == 0 || (a - b).cwiseAbs().maxCoeff() <= tol))
        return ::testing::AssertionSuccess();
    std::ostringstream os;
    os << a_expr << " (" << a.rows() << " x " << a.cols() << ") differs from " << b_expr << " ("
       << b.rows() << " x " << b.cols() << ") beyond " << tol << "\n"
       << a_expr << " =\n"
       << a << "\n"
       << b_expr << " =\n"
       << b;
    if (a.rows() == b.rows() && a.cols() == b.cols())
        os << "\nlargest difference " << (a - b).cwiseAbs().maxCoeff();
    return ::testing::AssertionFailure() << os.str();
}

#define EXPECT_MATRIX_NEAR(a, b, tol) EXPECT_PRED_FORMAT3(::lpa_test::matrix_near, a, b, tol)
#define EXPECT_MATRIX_EQ(a, b) EXPECT_PRED_FORMAT3(::lpa_test::matrix_near, a, b, 0.0)

// A basis whose values and derivatives are whatever the test puts in its
// tables; counts its evaluations.
class TableAnsatz : public vexal::core::Ansatz {
public:
    explicit TableAnsatz(int n) : Ansatz(n) {}
    void evaluate_basis(const Eigen::MatrixXd&, Eigen::MatrixXd& values,
                        std::vector<Eigen::MatrixXd>& first,
                        std::vector<Eigen::MatrixXd>& second) const override {
        ++calls;
        values = vals;
        first = firsts;
        second = seconds;
    }
    Eigen::MatrixXd vals;
    std::vector<Eigen::MatrixXd> firsts, seconds;
    mutable int calls = 0;
};

// m x n random tables for d coordinates.
inline std::shared_ptr<TableAnsatz> random_ansatz(int m, int n, int d, unsigned seed = 1) {
    std::srand(seed);
    auto a = std::make_shared<TableAnsatz>(n);
    a->vals = Eigen::MatrixXd::Random(m, n);
    for (int j = 0; j < d; ++j) a->firsts.push_back(Eigen::MatrixXd::Random(m, n));
    for (int e = 0; e < d * d; ++e) a->seconds.push_back(Eigen::MatrixXd::Random(m, n));
    return a;
}

template <typename Fn>
vexal::lpa::CallbackAddress address_of(Fn f) {
    return static_cast<vexal::lpa::CallbackAddress>(reinterpret_cast<std::uintptr_t>(f));
}

}  // namespace lpa_test
