// Binding a vectorcall's arguments to parameter names, for the entry points
// of lumora_ld.  One binder serves every entry point, driven by a constexpr
// table of parameters per function: positional-or-keyword parameters first
// (required ones before those with a default), then keyword-only ones.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>

namespace lumora::ld::binding {

struct Parameter {
    std::string_view name;
    bool required;      // no default: must be given
    bool keyword_only;  // after the `*` of the signature
};

struct Signature {
    std::string_view function;
    std::span<const Parameter> parameters;
};

// Fills slots[i] with a borrowed reference to the argument of parameter i,
// or null where a parameter with a default was not given.  On failure a
// TypeError is set and false returned.  The checks run in the
// interpreter's order: too many positional arguments, then each keyword in
// the order given (unexpected, multiple values), then missing parameters.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          std::span<PyObject*> slots);

}  // namespace lumora::ld::binding
