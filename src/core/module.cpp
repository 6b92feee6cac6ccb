// Python bindings of the bases: the abstract Ansatz, which Python code can
// subclass, and the polynomial and Chebyshev product bases.
//
// Every class uses the smart holder, so another extension can take a
// std::shared_ptr<vexal::core::Ansatz> from any of them; for a Python subclass
// that pointer keeps the Python object alive.
#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <Eigen/Dense>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/ansatz.h"
#include "core/bases.h"
#include "module/require_initialised.h"

namespace py = pybind11;

namespace {

using vexal::core::Ansatz;
using vexal::core::ChebyshevAnsatz;
using vexal::core::PolynomialAnsatz;
using vexal::core::ProductAnsatz;

constexpr const char* kReturnShape =
    "evaluate_basis must return (values, first_derivatives, second_derivatives): an m x n "
    "array and two lists of m x n arrays";

std::string type_name(py::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

// One array of an override's result as a matrix; a failed conversion becomes a
// TypeError naming the item.
Eigen::MatrixXd to_matrix(py::handle item, const std::string& what) {
    try {
        return item.cast<Eigen::MatrixXd>();
    } catch (const py::cast_error&) {
        throw py::type_error(std::string(kReturnShape) + "; " + what +
                             " is not convertible to a 2-D float array (got " + type_name(item) +
                             ")");
    }
}

std::vector<Eigen::MatrixXd> to_matrices(py::handle items, const std::string& what) {
    if (!(py::isinstance<py::list>(items) || py::isinstance<py::tuple>(items))) {
        throw py::type_error(std::string(kReturnShape) + "; " + what + " must be a list (got " +
                             type_name(items) + ")");
    }
    const auto seq = py::reinterpret_borrow<py::sequence>(items);
    std::vector<Eigen::MatrixXd> out;
    out.reserve(seq.size());
    for (std::size_t i = 0; i < seq.size(); ++i) {
        out.push_back(to_matrix(seq[i], what + "[" + std::to_string(i) + "]"));
    }
    return out;
}

// Lets Python subclasses implement evaluate_basis(self, grid), returning
// (values, first_derivatives, second_derivatives). Only the types are checked
// here; whoever uses the basis checks the shapes it needs.
class PyAnsatz : public Ansatz, public py::trampoline_self_life_support {
public:
    using Ansatz::Ansatz;

    void evaluate_basis(const Eigen::MatrixXd& grid, Eigen::MatrixXd& values,
                        std::vector<Eigen::MatrixXd>& first_derivatives,
                        std::vector<Eigen::MatrixXd>& second_derivatives) const override {
        py::gil_scoped_acquire gil;
        py::function override =
            py::get_override(static_cast<const Ansatz*>(this), "evaluate_basis");
        if (!override) {
            // Also reached from an override that calls the base method.
            PyErr_SetString(PyExc_NotImplementedError,
                            "Ansatz.evaluate_basis is abstract: a subclass must define "
                            "evaluate_basis(self, grid)");
            throw py::error_already_set();
        }
        py::object result = override(py::cast(grid, py::return_value_policy::copy));
        if (!(py::isinstance<py::tuple>(result) || py::isinstance<py::list>(result)) ||
            py::len(result) != 3) {
            throw py::type_error(std::string(kReturnShape) + " (got " + type_name(result) +
                                 (py::isinstance<py::sequence>(result)
                                      ? " of length " + std::to_string(py::len(result))
                                      : std::string()) +
                                 ")");
        }
        const auto triple = py::reinterpret_borrow<py::sequence>(result);
        Eigen::MatrixXd new_values = to_matrix(triple[0], "values");
        std::vector<Eigen::MatrixXd> new_first = to_matrices(triple[1], "first_derivatives");
        std::vector<Eigen::MatrixXd> new_second = to_matrices(triple[2], "second_derivatives");
        // The outputs change only once everything converted.
        values = std::move(new_values);
        first_derivatives = std::move(new_first);
        second_derivatives = std::move(new_second);
    }
};

Eigen::MatrixXd grid_matrix(const py::array_t<double, py::array::forcecast>& grid) {
    Eigen::MatrixXd out;
    if (grid.ndim() == 1) {
        const auto g = grid.unchecked<1>();
        out.resize(g.shape(0), 1);
        for (py::ssize_t i = 0; i < g.shape(0); ++i) out(i, 0) = g(i);
    } else if (grid.ndim() == 2) {
        const auto g = grid.unchecked<2>();
        out.resize(g.shape(0), g.shape(1));
        for (py::ssize_t j = 0; j < g.shape(1); ++j) {
            for (py::ssize_t i = 0; i < g.shape(0); ++i) out(i, j) = g(i, j);
        }
    } else {
        throw std::invalid_argument(
            "evaluate_basis: grid must be an m x q array of points (or a 1-D array of m points "
            "when q = 1), got an array with " +
            std::to_string(grid.ndim()) + " dimensions");
    }
    return out;
}

// Methods and properties refuse objects whose __init__ never completed.
constexpr vexal::bindings::require_initialised initialised{};

py::tuple evaluate(const Ansatz& self, const py::array_t<double, py::array::forcecast>& grid) {
    const Eigen::MatrixXd points = grid_matrix(grid);
    Eigen::MatrixXd values;
    std::vector<Eigen::MatrixXd> first;
    std::vector<Eigen::MatrixXd> second;
    {
        // A Python subclass takes the GIL back in its trampoline.
        py::gil_scoped_release release;
        self.evaluate_basis(points, values, first, second);
    }
    py::list first_list;
    for (auto& d : first) first_list.append(py::cast(std::move(d)));
    py::list second_list;
    for (auto& d : second) second_list.append(py::cast(std::move(d)));
    return py::make_tuple(py::cast(std::move(values)), first_list, second_list);
}

py::list exponent_list(const ProductAnsatz& basis) {
    py::list out;
    for (const auto& e : basis.exponents()) {
        py::tuple t(e.size());
        for (std::size_t j = 0; j < e.size(); ++j) t[j] = py::int_(e[j]);
        out.append(std::move(t));
    }
    return out;
}

py::tuple as_tuple(const std::vector<double>& v) {
    py::tuple t(v.size());
    for (std::size_t j = 0; j < v.size(); ++j) t[j] = py::float_(v[j]);
    return t;
}

// A read-only property. The getter carries the property's name, so that an
// assignment fails with "property 'name' of ... has no setter".
template <typename Class, typename Getter>
void def_readonly(Class& cls, const char* name, Getter&& getter, const char* doc) {
    cls.def_property_readonly(
        name, py::cpp_function(std::forward<Getter>(getter), py::name(name), initialised), doc);
}

// The attributes both product bases share.
template <typename Class>
void def_product_attributes(Class& cls) {
    using Basis = typename Class::type;
    def_readonly(
        cls, "inv_dim", [](const Basis& b) { return b.inv_dim(); }, "Number of variables q.");
    def_readonly(
        cls, "degree", [](const Basis& b) { return b.degree(); },
        "Largest total degree of a basis function.");
    def_readonly(
        cls, "exponents", [](const Basis& b) { return exponent_list(b); },
        "Exponent tuple of every basis function, in coefficient order (graded "
        "lexicographic: total degree ascending, then the first variable's exponent "
        "descending, and so on).");
}

}  // namespace

PYBIND11_MODULE(_core_cpp, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Basis expansions (Ansatz) for the vexal LPA solver";

    py::class_<Ansatz, PyAnsatz, py::smart_holder> ansatz(
        m, "Ansatz",
        "Base class of the bases u(x) = sum_b a_b phi_b(x).\n\n"
        "Subclass it in Python by calling Ansatz.__init__(self, n_coeffs) and defining\n"
        "evaluate_basis(self, grid) that returns (values, first_derivatives,\n"
        "second_derivatives) for an m x q grid: values is m x n with n = n_coeffs,\n"
        "first_derivatives holds q arrays m x n (d/dx_j) and second_derivatives holds\n"
        "q*q arrays m x n, item j*q + k being d^2/(dx_j dx_k).");
    ansatz
        .def(py::init([](int n_coeffs) {
                 if (n_coeffs < 0) {
                     throw std::invalid_argument("n_coeffs must be >= 0, got " +
                                                 std::to_string(n_coeffs));
                 }
                 return std::make_unique<PyAnsatz>(n_coeffs);
             }),
             py::arg("n_coeffs"))
        .def("evaluate_basis", &evaluate, py::arg("grid"),
             "Evaluate the basis functions and their derivatives at the rows of grid.\n\n"
             "grid is an m x q float array, or a 1-D array of m points when q = 1.\n"
             "Returns (values, first_derivatives, second_derivatives): an m x n array,\n"
             "a list of q arrays m x n (item j: d/dx_j) and a list of q*q arrays m x n\n"
             "(item j*q + k: d^2/(dx_j dx_k)).",
             initialised);
    def_readonly(
        ansatz, "n_coeffs", [](const Ansatz& a) { return a.n_coeffs; },
        "Number of basis functions (coefficients).");

    py::class_<PolynomialAnsatz, Ansatz, py::smart_holder> polynomial(
        m, "PolynomialAnsatz", py::is_final(),
        "Monomials x_1^e_1 ... x_q^e_q of total degree <= degree, in graded\n"
        "lexicographic order (for q = 2, degree = 2: 1, x, y, x^2, xy, y^2).");
    polynomial.def(py::init<int, int>(), py::arg("inv_dim"), py::arg("degree"))
        .def(
            "__repr__",
            [](const PolynomialAnsatz& b) {
                return "PolynomialAnsatz(inv_dim=" + std::to_string(b.inv_dim()) +
                       ", degree=" + std::to_string(b.degree()) + ")";
            },
            initialised);
    def_product_attributes(polynomial);

    py::class_<ChebyshevAnsatz, Ansatz, py::smart_holder> chebyshev(
        m, "ChebyshevAnsatz", py::is_final(),
        "Products T_e_1(t_1) ... T_e_q(t_q) of Chebyshev polynomials of total degree\n"
        "<= degree, same order as PolynomialAnsatz, with t_j mapping [lower[j], upper[j]]\n"
        "onto [-1, 1]. Derivatives are with respect to x.");
    chebyshev
        .def(py::init<int, int, std::vector<double>, std::vector<double>>(), py::arg("inv_dim"),
             py::arg("degree"), py::arg("lower"), py::arg("upper"))
        .def(
            "__repr__",
            [](const ChebyshevAnsatz& b) {
                return "ChebyshevAnsatz(inv_dim=" + std::to_string(b.inv_dim()) +
                       ", degree=" + std::to_string(b.degree()) +
                       ", lower=" + std::string(py::repr(as_tuple(b.lower()))) +
                       ", upper=" + std::string(py::repr(as_tuple(b.upper()))) + ")";
            },
            initialised);
    def_product_attributes(chebyshev);
    def_readonly(
        chebyshev, "lower", [](const ChebyshevAnsatz& b) { return as_tuple(b.lower()); },
        "Lower end of each variable's interval.");
    def_readonly(
        chebyshev, "upper", [](const ChebyshevAnsatz& b) { return as_tuple(b.upper()); },
        "Upper end of each variable's interval.");
}
