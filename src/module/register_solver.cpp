#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <utility>

#include "core/ansatz.h"
#include "lpa/coll_solver.h"
#include "lpa/interrupt.h"
#include "module/bindings.h"
#include "module/require_initialised.h"

namespace py = pybind11;

namespace vexal::lpa::bindings {

namespace {

// Identity of the interpreter's main thread, the only one that runs Python's
// signal handlers.
unsigned long g_main_thread = 0;

// Lets a RunControl ask the interpreter whether a SIGINT should stop the
// call: runs the pending signal handlers with the GIL and keeps the exception
// one of them raised.
struct SignalCheck {
    std::optional<py::error_already_set> error;

    static bool confirm(void* context) noexcept {
        auto* self = static_cast<SignalCheck*>(context);
        try {
            py::gil_scoped_acquire gil;
            if (PyErr_CheckSignals() == 0) return false;  // handled, nothing raised
            self->error.emplace();                        // fetches the exception
        } catch (...) {
            // Stop anyway; raise_pending() reports KeyboardInterrupt.
        }
        return true;
    }

    [[noreturn]] void raise_pending() {
        if (error) throw std::move(*error);
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }
};

// Runs `run(control)` with the GIL released. From the main thread the run
// gets a RunControl, so that Ctrl-C stops it and raises here what Python's
// SIGINT handler raised (KeyboardInterrupt by default); from any other
// thread it gets none and runs to its end.
template <typename Run>
auto interruptible(Run&& run) {
    if (PyThread_get_thread_ident() != g_main_thread) {
        py::gil_scoped_release release;
        return run(nullptr);
    }
    SignalCheck check;
    RunControl control(&SignalCheck::confirm, &check);
    try {
        py::gil_scoped_release release;
        return run(&control);
    } catch (const Interrupted&) {
        check.raise_pending();  // the GIL is held again here
    }
}

}  // namespace

void register_solver(py::module_& m) {
    using Solver = LPACollSolver_cpp;
    using Eigen::MatrixXd;
    using Eigen::VectorXd;
    using vexal::bindings::require_initialised;
    g_main_thread =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    watch_sigint();

    py::class_<Solver>(m, "LPACollSolver_cpp")
        // Construction calls the Ansatz, which may be Python code: keep the GIL.
        .def(py::init<const MatrixXd&, std::shared_ptr<core::Ansatz>, CallbackAddress,
                      CallbackAddress, CallbackAddress, CallbackAddress, int, int>(),
             py::arg("coll_grid"), py::arg("ansatz").none(true), py::arg("cfunc_ptr"),
             py::arg("batch_cfunc_ptr"), py::arg("sens_cfunc_ptr"), py::arg("sens_par_cfunc_ptr"),
             py::arg("inv_dim"), py::arg("param_dim"))
        .def(
            "local_optimize",
            [](const Solver& self, const VectorXd& init_coeffs, int maxiter, double tol,
               const VectorXd& flow_params, bool multithread) {
                return interruptible([&](RunControl* control) {
                    return self.local_optimize(init_coeffs, maxiter, tol, flow_params, multithread,
                                               control);
                });
            },
            py::arg("init_coeffs"), py::arg("maxiter"), py::arg("tol"), py::arg("flow_params"),
            py::arg("multithread") = false, require_initialised())
        .def(
            "local_optimize_fixed_iterations",
            [](const Solver& self, const VectorXd& init_coeffs, int num_iter,
               const VectorXd& flow_params, bool multithread) {
                return interruptible([&](RunControl* control) {
                    return self.local_optimize_fixed_iterations(init_coeffs, num_iter, flow_params,
                                                                multithread, control);
                });
            },
            py::arg("init_coeffs"), py::arg("num_iter"), py::arg("flow_params"),
            py::arg("multithread") = false, require_initialised())
        .def(
            "param_path_following",
            [](const Solver& self, const VectorXd& init_coeffs, int maxiter, double tol,
               const std::vector<VectorXd>& flow_params_path, bool multithread) {
                return interruptible([&](RunControl* control) {
                    return self.param_path_following(init_coeffs, maxiter, tol, flow_params_path,
                                                     multithread, control);
                });
            },
            py::arg("init_coeffs"), py::arg("maxiter"), py::arg("tol"), py::arg("flow_params_path"),
            py::arg("multithread") = true, require_initialised())
        .def(
            "multistart_optimize",
            [](const Solver& self, const std::vector<VectorXd>& init_coeffs_list, int maxiter,
               double tol, const VectorXd& flow_params) {
                return interruptible([&](RunControl* control) {
                    return self.multistart_optimize(init_coeffs_list, maxiter, tol, flow_params,
                                                    control);
                });
            },
            py::arg("init_coeffs_list"), py::arg("maxiter"), py::arg("tol"), py::arg("flow_params"),
            require_initialised());
}

}  // namespace vexal::lpa::bindings
