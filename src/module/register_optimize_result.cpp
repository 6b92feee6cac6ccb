#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>

#include "lpa/optimize_result.h"
#include "module/bindings.h"

namespace py = pybind11;

namespace vexal::lpa::bindings {

void register_optimize_result(py::module_& m) {
    // No constructor: results only come out of the solver. `coeffs` is a
    // read-only view of the result's own storage that keeps the result alive.
    py::class_<OptimizeResult>(m, "OptimizeResult")
        .def_readonly("coeffs", &OptimizeResult::coeffs)
        .def_readonly("success", &OptimizeResult::success)
        .def_readonly("iterations", &OptimizeResult::iterations)
        .def_readonly("error", &OptimizeResult::error);
}

}  // namespace vexal::lpa::bindings
