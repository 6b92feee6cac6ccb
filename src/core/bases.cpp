#include "core/bases.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>

namespace vexal::core {

namespace {

// Shortest text that reads back as x.
std::string format_double(double x) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), x);
    return std::string(buffer, result.ptr);
}

void check_dimensions(int inv_dim, int degree) {
    if (inv_dim < 0) {
        throw std::invalid_argument("inv_dim must be >= 0, got " + std::to_string(inv_dim));
    }
    if (degree < 0) {
        throw std::invalid_argument("degree must be >= 0, got " + std::to_string(degree));
    }
}

// Appends every tuple of q = current.size() exponents that sums to `total`,
// the first variable's exponent largest first, then the second's, and so on
// (for q = 3, total = 2: 200, 110, 101, 020, 011, 002). Iterative, so that
// thousands of variables cannot exhaust the stack: from one tuple the next
// takes one unit from the last nonzero exponent before the final one, and
// moves everything after it, that unit included, to the variable right
// after it.
void append_exponents(int total, std::vector<int>& current, std::vector<std::vector<int>>& out) {
    const std::size_t q = current.size();
    std::fill(current.begin(), current.end(), 0);
    current[0] = total;
    while (true) {
        out.push_back(current);
        if (q < 2) return;
        std::size_t i = q - 1;
        while (i > 0 && current[i - 1] == 0) --i;
        if (i == 0) return;  // everything sits in the last variable
        const int tail = current[q - 1];
        current[i - 1] -= 1;
        current[q - 1] = 0;
        current[i] = tail + 1;
    }
}

}  // namespace

int product_basis_size(int inv_dim, int degree) {
    check_dimensions(inv_dim, degree);
    // C(hi + lo, lo) built up as C(hi + i, i) for i = 1 ... lo. Each step's
    // division is exact, and since c <= INT_MAX and hi + i < 2^32 before it,
    // the product cannot overflow 64 bits.
    const unsigned long long hi = static_cast<unsigned long long>(std::max(inv_dim, degree));
    const unsigned long long lo = static_cast<unsigned long long>(std::min(inv_dim, degree));
    unsigned long long count = 1;
    for (unsigned long long i = 1; i <= lo; ++i) {
        count = count * (hi + i) / i;
        if (count > static_cast<unsigned long long>(INT_MAX)) {
            throw std::invalid_argument(
                "a basis in " + std::to_string(inv_dim) + " variables of degree <= " +
                std::to_string(degree) + " has more than " + std::to_string(INT_MAX) +
                " functions, which is more than the number of coefficients an int can count");
        }
    }
    return static_cast<int>(count);
}

std::vector<std::vector<int>> graded_lex_exponents(int inv_dim, int degree) {
    const int n = product_basis_size(inv_dim, degree);
    // The table holds n * inv_dim exponents; beyond a gigabyte of them the
    // basis could never be evaluated anyway (that takes inv_dim^2 matrices).
    constexpr unsigned long long kMaxExponents = 1ULL << 28;
    if (static_cast<unsigned long long>(n) * static_cast<unsigned long long>(inv_dim) >
        kMaxExponents) {
        throw std::invalid_argument(
            "a basis in " + std::to_string(inv_dim) +
            " variables of degree <= " + std::to_string(degree) + " has " + std::to_string(n) +
            " functions of " + std::to_string(inv_dim) + " exponents each, more than the " +
            std::to_string(kMaxExponents) + " exponents a basis can tabulate");
    }
    std::vector<std::vector<int>> out;
    out.reserve(static_cast<std::size_t>(n));
    if (inv_dim == 0) {
        out.emplace_back();  // the constant, whatever the degree
        return out;
    }
    std::vector<int> current(static_cast<std::size_t>(inv_dim), 0);
    for (int total = 0; total <= degree; ++total) {
        append_exponents(total, current, out);
    }
    return out;
}

ProductAnsatz::ProductAnsatz(int inv_dim, int degree)
    : Ansatz(product_basis_size(inv_dim, degree)),
      inv_dim_(inv_dim),
      degree_(degree),
      exponents_(graded_lex_exponents(inv_dim, degree)) {}

void ProductAnsatz::evaluate_basis(const Eigen::MatrixXd& grid, Eigen::MatrixXd& values,
                                   std::vector<Eigen::MatrixXd>& first_derivatives,
                                   std::vector<Eigen::MatrixXd>& second_derivatives) const {
    const int q = inv_dim_;
    if (grid.cols() != q) {
        throw std::invalid_argument("evaluate_basis: the grid has " + std::to_string(grid.cols()) +
                                    " columns but the basis has " + std::to_string(q) +
                                    " variables (inv_dim)");
    }
    const Eigen::Index m = grid.rows();
    const Eigen::Index n = static_cast<Eigen::Index>(exponents_.size());
    const std::size_t nq = static_cast<std::size_t>(q);

    // resize() keeps the storage of outputs that already have the right shape.
    values.resize(m, n);
    first_derivatives.resize(nq);
    for (auto& d : first_derivatives) d.resize(m, n);
    second_derivatives.resize(nq * nq);
    for (auto& d : second_derivatives) d.resize(m, n);

    // One-variable tables at the current point: entry j * width + k holds the
    // k-th polynomial of variable j (or its derivative).
    const std::size_t width = static_cast<std::size_t>(degree_) + 1;
    std::vector<double> p(nq * width), dp(nq * width), d2p(nq * width);
    // The factors of the current basis function, one per variable.
    std::vector<double> f(nq), df(nq), d2f(nq);

    for (Eigen::Index i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < nq; ++j) {
            univariate_table(static_cast<int>(j), grid(i, static_cast<Eigen::Index>(j)),
                             &p[j * width], &dp[j * width], &d2p[j * width]);
        }
        for (Eigen::Index b = 0; b < n; ++b) {
            const std::vector<int>& e = exponents_[static_cast<std::size_t>(b)];
            double value = 1.0;
            for (std::size_t j = 0; j < nq; ++j) {
                const std::size_t at = j * width + static_cast<std::size_t>(e[j]);
                f[j] = p[at];
                df[j] = dp[at];
                d2f[j] = d2p[at];
                value *= f[j];
            }
            values(i, b) = value;

            // No division by the factors: they may vanish. For the small
            // inv_dim of a potential the direct products are cheap.
            for (std::size_t j = 0; j < nq; ++j) {
                double d = df[j];
                double djj = d2f[j];
                for (std::size_t l = 0; l < nq; ++l) {
                    if (l != j) {
                        d *= f[l];
                        djj *= f[l];
                    }
                }
                first_derivatives[j](i, b) = d;
                second_derivatives[j * nq + j](i, b) = djj;
                for (std::size_t k = j + 1; k < nq; ++k) {
                    double djk = df[j] * df[k];
                    for (std::size_t l = 0; l < nq; ++l) {
                        if (l != j && l != k) djk *= f[l];
                    }
                    second_derivatives[j * nq + k](i, b) = djk;
                    second_derivatives[k * nq + j](i, b) = djk;
                }
            }
        }
    }
}

PolynomialAnsatz::PolynomialAnsatz(int inv_dim, int degree) : ProductAnsatz(inv_dim, degree) {}

void PolynomialAnsatz::univariate_table(int /*var*/, double x, double* p, double* dp,
                                        double* d2p) const {
    // p_k = x^k, p_k' = k x^(k-1), p_k'' = k (k-1) x^(k-2), from the powers so
    // that x = 0 gives exact zeros and ones.
    const int deg = degree();
    p[0] = 1.0;
    dp[0] = 0.0;
    d2p[0] = 0.0;
    for (int k = 1; k <= deg; ++k) {
        const double dk = static_cast<double>(k);
        p[k] = p[k - 1] * x;
        dp[k] = dk * p[k - 1];
        d2p[k] = k >= 2 ? dk * (dk - 1.0) * p[k - 2] : 0.0;
    }
}

ChebyshevAnsatz::ChebyshevAnsatz(int inv_dim, int degree, std::vector<double> lower,
                                 std::vector<double> upper)
    : ProductAnsatz(inv_dim, degree), lower_(std::move(lower)), upper_(std::move(upper)) {
    const std::size_t q = static_cast<std::size_t>(inv_dim);
    if (lower_.size() != q || upper_.size() != q) {
        throw std::invalid_argument(
            "ChebyshevAnsatz: lower and upper need inv_dim = " + std::to_string(inv_dim) +
            " entries each, got " + std::to_string(lower_.size()) + " and " +
            std::to_string(upper_.size()));
    }
    for (std::size_t j = 0; j < q; ++j) {
        if (!std::isfinite(lower_[j]) || !std::isfinite(upper_[j]) || !(lower_[j] < upper_[j])) {
            throw std::invalid_argument(
                "ChebyshevAnsatz: variable " + std::to_string(j) +
                " needs finite bounds with lower < upper, got lower = " + format_double(lower_[j]) +
                ", upper = " + format_double(upper_[j]));
        }
    }
}

void ChebyshevAnsatz::univariate_table(int var, double x, double* p, double* dp,
                                       double* d2p) const {
    const std::size_t j = static_cast<std::size_t>(var);
    const double lo = lower_[j];
    const double hi = upper_[j];
    const double length = hi - lo;
    // Written this way t is exactly -1 at x = lo and exactly +1 at x = hi.
    const double t = ((x - lo) - (hi - x)) / length;
    const double scale = 2.0 / length;  // dt/dx

    // T_{k+1} = 2 t T_k - T_{k-1}, differentiated once and twice in t.
    const int deg = degree();
    p[0] = 1.0;
    dp[0] = 0.0;
    d2p[0] = 0.0;
    if (deg >= 1) {
        p[1] = t;
        dp[1] = 1.0;
        d2p[1] = 0.0;
    }
    for (int k = 1; k < deg; ++k) {
        p[k + 1] = 2.0 * t * p[k] - p[k - 1];
        dp[k + 1] = 2.0 * p[k] + 2.0 * t * dp[k] - dp[k - 1];
        d2p[k + 1] = 4.0 * dp[k] + 2.0 * t * d2p[k] - d2p[k - 1];
    }
    // From derivatives in t to derivatives in x.
    const double scale2 = scale * scale;
    for (int k = 1; k <= deg; ++k) {
        dp[k] *= scale;
        d2p[k] *= scale2;
    }
}

}  // namespace vexal::core
