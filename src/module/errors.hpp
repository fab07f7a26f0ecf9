// Failure reporting: the one place that raises Python exceptions.
//
//   binding error     TypeError with a fixed message
//   conversion error  the conversion's own exception, with a note naming
//                     the parameter ("while processing 'l'")
//   model error       RuntimeError whose single argument is the message of
//                     the elliptic routine that failed
//   internal failure  pyo3_runtime.PanicException (derives from
//                     BaseException), plus a short report on stderr
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "numerics/expected.hpp"
#include "pool/internal_failure.hpp"

namespace lumora::errors {

// Binding errors.  `function` is the bare function name.
void too_many_positional(std::string_view function, std::size_t parameters, std::size_t given);
void multiple_values(std::string_view function, std::string_view parameter);
void unexpected_keyword(std::string_view function, PyObject* keyword);
void missing_arguments(std::string_view function, std::span<const std::string_view> names);

// A TypeError with a message of the module's own.
void type_error(std::string_view message);

// Adds the conversion note to the pending exception.  A failure while
// adding it is discarded and the exception stays as it was.
void add_conversion_note(std::string_view parameter);

void model_error(EllipticError error);
void internal_failure(const InternalFailure& failure);
// An internal failure that carries no message of its own.
void internal_failure_without_message();

// Takes the pending exception and describes it (its repr) for the message
// of an internal failure.
std::string take_pending_description();

// Raises the C++ exception being handled as a Python exception; call it
// only inside a catch block.  InternalFailure (and any other exception)
// becomes PanicException, std::bad_alloc MemoryError.
void raise_current_exception() noexcept;

}  // namespace lumora::errors
