// A method attribute that refuses to run on an object whose __init__ never
// completed (made with cls.__new__(cls), or after __init__ raised).
//
// pybind11 hands such an object's methods a block of uninitialised memory in
// place of the C++ object. With `require_initialised()` among a method's or
// property getter's extras, the call raises TypeError instead, before the
// function body runs; the signature and docstring stay as they are.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace vexal::bindings {

struct require_initialised {};

}  // namespace vexal::bindings

namespace pybind11::detail {

template <>
struct process_attribute<vexal::bindings::require_initialised>
    : process_attribute_default<vexal::bindings::require_initialised> {
    // Runs after the arguments converted, so args[0] is an instance of the
    // bound class.
    static void precall(function_call& call) {
        handle self = call.args[0];
        auto* inst = reinterpret_cast<instance*>(self.ptr());
        if (!inst->get_value_and_holder().holder_constructed()) {
            const std::string name = Py_TYPE(self.ptr())->tp_name;
            throw type_error(name + " object was never initialised (made with " + name +
                             ".__new__, or its __init__ failed)");
        }
    }
};

}  // namespace pybind11::detail
