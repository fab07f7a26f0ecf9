// Binding a call's arguments to parameter names, and converting them into
// doubles and vectors of doubles (and results back into Python objects).
//
// One binder serves every entry point, driven by a constexpr table of
// parameter names per function: every parameter is required and may be
// given by position or by keyword.
#pragma once

#include <Python.h>

#include <array>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "module/py_ref.hpp"

namespace lumora::binding {

struct Signature {
    std::string_view function;
    std::span<const std::string_view> parameters;
};

// Fills slots[i] with a borrowed reference to the argument of parameter i.
// On failure a TypeError is set and false returned.  The checks run in this
// order: too many positional arguments, then each keyword in the order
// given (multiple values, unexpected), then missing parameters.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
          PyObject* kwnames, std::span<PyObject*> slots);

// A float argument: an exact float is read directly; anything else goes
// through PyFloat_AsDouble.  On failure the exception carries the
// conversion note naming `parameter`.
std::optional<double> to_double(PyObject* object, std::string_view parameter);

// A float-sequence argument, converted item by item in iteration order.  A
// memoryview, array.array or numpy.ndarray (exactly those types) whose
// buffer is one-dimensional, C-contiguous native float64 is copied from its
// buffer instead: the same values, and no failure but MemoryError.
std::optional<std::vector<double>> to_vector(PyObject* object, std::string_view parameter);

// Result objects.  Lists are created at their final length and filled by
// direct item stores.  On failure (memory ran out) the returned reference
// is null with the interpreter's MemoryError pending, and whatever was
// built so far is released.
py_ref to_float(double value);
py_ref to_list(std::span<const double> values);

// A list of lists of floats, one inner list per row, in row order.
template <class Rows>
py_ref to_list_of_lists(const Rows& rows) {
    py_ref list = py_ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        py_ref row = to_list(std::span<const double>(rows[i]));
        if (!row) return row;  // the partly filled outer list is released
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row.release());
    }
    return list;
}

}  // namespace lumora::binding
