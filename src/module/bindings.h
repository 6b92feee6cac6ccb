// Registration functions of the _lpa_cpp module, one per area.
#pragma once

#include <pybind11/pybind11.h>

namespace vexal::lpa::bindings {

void register_optimize_result(pybind11::module_& m);
void register_solver(pybind11::module_& m);

}  // namespace vexal::lpa::bindings
