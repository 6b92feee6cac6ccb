// Construction of the solver: the basis tables, the stored fields and the
// inputs it refuses.
#include <climits>
#include <functional>
#include <stdexcept>
#include <string>

#include "lpa/coll_solver.h"
#include "test_support.h"

using lpa_test::random_ansatz;
using lpa_test::TableAnsatz;
using vexal::lpa::LPACollSolver_cpp;

namespace {

void noop_flow(const double*, const double*, const double*, const double*, const double*,
               double* out, int n_points, int) {
    for (int p = 0; p < n_points; ++p) out[p] = 0.0;
}
const auto kFlow = lpa_test::address_of(&noop_flow);

std::string message_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "(no std::invalid_argument thrown)";
}

}  // namespace

TEST(Construction, TablesAreCopiedPointMajorForOneCoordinate) {
    auto a = random_ansatz(7, 4, 1);
    LPACollSolver_cpp s(Eigen::MatrixXd::Random(7, 1), a, kFlow, 0, 0, 0, 1, 0);
    EXPECT_MATRIX_EQ(s.basis_vals, a->vals);
    EXPECT_MATRIX_EQ(s.basis_grads, a->firsts[0]);
    EXPECT_MATRIX_EQ(s.basis_hess, a->seconds[0]);
    EXPECT_EQ(s.n_points, 7);
    EXPECT_EQ(s.n_coeffs, 4);
}

TEST(Construction, TablesInterleaveCoordinatesPerPointForTwoCoordinates) {
    const int m = 5, n = 3;
    auto a = random_ansatz(m, n, 2);
    LPACollSolver_cpp s(Eigen::MatrixXd::Random(m, 2), a, kFlow, 0, 0, 0, 2, 0);
    ASSERT_EQ(s.basis_grads.rows(), 2 * m);
    ASSERT_EQ(s.basis_hess.rows(), 4 * m);
    for (int p = 0; p < m; ++p) {
        for (int j = 0; j < 2; ++j)
            EXPECT_MATRIX_EQ(s.basis_grads.row(2 * p + j), a->firsts[j].row(p));
        // Per point: (0,0), (0,1), (1,0), (1,1).
        for (int e = 0; e < 4; ++e)
            EXPECT_MATRIX_EQ(s.basis_hess.row(4 * p + e), a->seconds[e].row(p));
    }
}

TEST(Construction, NoCoordinatesGiveEmptyDerivativeTables) {
    auto a = std::make_shared<TableAnsatz>(2);
    a->vals = Eigen::MatrixXd::Random(3, 2);  // derivative lists left empty
    LPACollSolver_cpp s(Eigen::MatrixXd::Random(3, 1), a, kFlow, 0, 0, 0, 0, 0);
    EXPECT_EQ(s.basis_grads.rows(), 0);
    EXPECT_EQ(s.basis_hess.rows(), 0);
    EXPECT_EQ(s.basis_grads.cols(), 2);
}

TEST(Construction, RowMajorGridHoldsRowsOneAfterAnother) {
    Eigen::MatrixXd grid(2, 3);
    grid << 1, 2, 3, 4, 5, 6;
    auto a = random_ansatz(2, 1, 3);
    LPACollSolver_cpp s(grid, a, kFlow, 0, 0, 0, 3, 0);
    const double* p = s.coll_grid_rowmajor.data();
    for (int i = 0; i < 6; ++i) EXPECT_EQ(p[i], i + 1.0);
    EXPECT_MATRIX_EQ(s.coll_grid, grid);
}

TEST(Construction, StoresAddressesAndParamDimUnchanged) {
    auto a = random_ansatz(2, 2, 1);
    const vexal::lpa::CallbackAddress big = ~0ULL;
    LPACollSolver_cpp s(Eigen::MatrixXd::Random(2, 1), a, kFlow, 0, big, 12345, 1, -7);
    EXPECT_EQ(s.cfunc_ptr, kFlow);
    EXPECT_EQ(s.batch_cfunc_ptr, 0u);
    EXPECT_EQ(s.sens_cfunc_ptr, big);
    EXPECT_EQ(s.sens_par_cfunc_ptr, 12345u);
    EXPECT_EQ(s.param_dim, -7);
    EXPECT_EQ(s.inv_dim, 1);
}

TEST(Construction, SharesTheAnsatzForItsLifetime) {
    auto a = random_ansatz(4, 4, 1);  // as many points as coefficients
    EXPECT_EQ(a.use_count(), 1);
    {
        LPACollSolver_cpp s(Eigen::MatrixXd::Random(4, 1), a, kFlow, 0, 0, 0, 1, 0);
        EXPECT_EQ(a.use_count(), 2);
        EXPECT_EQ(a->calls, 1);
    }
    EXPECT_EQ(a.use_count(), 1);
}

TEST(Construction, UnderdeterminedSystemIsRefusedBeforeTheBasisIsAsked) {
    auto a = random_ansatz(3, 5, 1);
    const std::string msg = message_of(
        [&] { LPACollSolver_cpp(Eigen::MatrixXd::Random(3, 1), a, kFlow, 0, 0, 0, 1, 0); });
    EXPECT_EQ(msg,
              "The number of collocation points (3) is smaller than the number of coefficients "
              "(5)! The system is underdetermined.");
    EXPECT_EQ(a->calls, 0);
    EXPECT_EQ(a.use_count(), 1);  // the failed solver released its share
}

TEST(Construction, RefusesInputsItCannotServe) {
    auto a = random_ansatz(4, 2, 1);
    const Eigen::MatrixXd grid = Eigen::MatrixXd::Random(4, 1);
    EXPECT_NE(
        message_of([&] { LPACollSolver_cpp(grid, nullptr, kFlow, 0, 0, 0, 1, 0); }).find("ansatz"),
        std::string::npos);
    EXPECT_NE(message_of([&] { LPACollSolver_cpp(grid, a, 0, 0, 0, 0, 1, 0); }).find("cfunc_ptr"),
              std::string::npos);
    EXPECT_NE(message_of([&] {
                  LPACollSolver_cpp(grid, a, kFlow, 0, 0, 0, -1, 0);
              }).find("inv_dim must be 0 or more, got -1"),
              std::string::npos);
    // 50000^2 * 4 points is beyond 32 bits.
    EXPECT_NE(
        message_of([&] { LPACollSolver_cpp(grid, a, kFlow, 0, 0, 0, 50000, 0); }).find("32-bit"),
        std::string::npos);
    EXPECT_EQ(a->calls, 0);
}

TEST(Construction, RefusesABasisEvaluationThatWouldBeReadPastItsEnd) {
    const Eigen::MatrixXd grid = Eigen::MatrixXd::Random(4, 2);
    {
        auto a = random_ansatz(4, 3, 2);
        a->seconds.pop_back();  // 3 of the 4 second-derivative matrices
        EXPECT_NE(message_of([&] {
                      LPACollSolver_cpp(grid, a, kFlow, 0, 0, 0, 2, 0);
                  }).find("3 second-derivative matrices, expected at least 4"),
                  std::string::npos);
    }
    {
        auto a = random_ansatz(4, 3, 2);
        a->firsts[1] = Eigen::MatrixXd::Random(3, 3);  // a row short
        EXPECT_NE(message_of([&] {
                      LPACollSolver_cpp(grid, a, kFlow, 0, 0, 0, 2, 0);
                  }).find("first-derivative matrix 1 of shape 3 x 3, expected 4 x 3"),
                  std::string::npos);
    }
    {
        auto a = random_ansatz(4, 3, 2);
        a->vals = Eigen::MatrixXd::Random(4, 2);  // a column short
        EXPECT_NE(message_of([&] {
                      LPACollSolver_cpp(grid, a, kFlow, 0, 0, 0, 2, 0);
                  }).find("value matrix of shape 4 x 2, expected 4 x 3"),
                  std::string::npos);
    }
    {
        auto a = random_ansatz(4, 3, 2);  // more matrices than needed are fine
        a->firsts.push_back(Eigen::MatrixXd::Zero(1, 1));
        EXPECT_NO_THROW(LPACollSolver_cpp(grid, a, kFlow, 0, 0, 0, 2, 0));
    }
}
