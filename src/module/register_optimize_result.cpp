#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>

#include "lpa/optimize_result.h"
#include "module/bindings.h"
#include "module/require_initialised.h"

namespace py = pybind11;

namespace vexal::lpa::bindings {

namespace {

// A read-only data member whose getter carries the member's name, so that an
// assignment fails with "property 'coeffs' of 'OptimizeResult' object has no
// setter". The getter returns a reference into the result, kept alive by it.
template <typename T>
void def_readonly_named(py::class_<OptimizeResult>& cls, const char* name,
                        T OptimizeResult::* member) {
    cls.def_property_readonly(
        name,
        py::cpp_function([member](const OptimizeResult& r) -> const T& { return r.*member; },
                         py::name(name), py::is_method(cls),
                         vexal::bindings::require_initialised()),
        py::return_value_policy::reference_internal);
}

}  // namespace

void register_optimize_result(py::module_& m) {
    // No constructor: results only come out of the solver. `coeffs` is a
    // read-only view of the result's own storage that keeps the result alive.
    py::class_<OptimizeResult> cls(m, "OptimizeResult");
    def_readonly_named(cls, "coeffs", &OptimizeResult::coeffs);
    def_readonly_named(cls, "success", &OptimizeResult::success);
    def_readonly_named(cls, "iterations", &OptimizeResult::iterations);
    def_readonly_named(cls, "error", &OptimizeResult::error);
}

}  // namespace vexal::lpa::bindings
