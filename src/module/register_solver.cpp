#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "core/ansatz.h"
#include "lpa/coll_solver.h"
#include "module/bindings.h"

namespace py = pybind11;

namespace vexal::lpa::bindings {

void register_solver(py::module_& m) {
    using Solver = LPACollSolver_cpp;
    using Eigen::MatrixXd;
    using Eigen::VectorXd;
    const auto release = py::call_guard<py::gil_scoped_release>();

    py::class_<Solver>(m, "LPACollSolver_cpp")
        // Construction calls the Ansatz, which may be Python code: keep the GIL.
        .def(py::init<const MatrixXd&, std::shared_ptr<core::Ansatz>, CallbackAddress,
                      CallbackAddress, CallbackAddress, CallbackAddress, int, int>(),
             py::arg("coll_grid"), py::arg("ansatz").none(true), py::arg("cfunc_ptr"),
             py::arg("batch_cfunc_ptr"), py::arg("sens_cfunc_ptr"), py::arg("sens_par_cfunc_ptr"),
             py::arg("inv_dim"), py::arg("param_dim"))
        .def("local_optimize", &Solver::local_optimize, py::arg("init_coeffs"), py::arg("maxiter"),
             py::arg("tol"), py::arg("flow_params"), py::arg("multithread") = false, release)
        .def("local_optimize_fixed_iterations", &Solver::local_optimize_fixed_iterations,
             py::arg("init_coeffs"), py::arg("num_iter"), py::arg("flow_params"),
             py::arg("multithread") = false, release)
        .def("param_path_following", &Solver::param_path_following, py::arg("init_coeffs"),
             py::arg("maxiter"), py::arg("tol"), py::arg("flow_params_path"),
             py::arg("multithread") = true, release)
        .def("multistart_optimize", &Solver::multistart_optimize, py::arg("init_coeffs_list"),
             py::arg("maxiter"), py::arg("tol"), py::arg("flow_params"), release);
}

}  // namespace vexal::lpa::bindings
