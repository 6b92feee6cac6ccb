// The _lpa_cpp extension module: wires the registration functions together.
// Importing it under an interpreter other than the 3.14 series fails with
// ImportError; sub-interpreters are not supported.
#include <pybind11/pybind11.h>

#include "module/bindings.h"

PYBIND11_MODULE(_lpa_cpp, m, pybind11::multiple_interpreters::not_supported()) {
    m.doc() = "C++ backend for the vexal LPA module";
    // The Ansatz class is registered by the core module; importing it first
    // lets the generated signatures name it. Without it the solver still
    // works with any Ansatz registered later.
    try {
        pybind11::module_::import("_core_cpp");
    } catch (const pybind11::error_already_set&) {
        PyErr_Clear();
    }
    vexal::lpa::bindings::register_optimize_result(m);
    vexal::lpa::bindings::register_solver(m);
}
