// Failure reporting of lumora_ld: the one place that raises its Python
// exceptions (NumPy's own conversion and broadcasting errors pass through
// as NumPy raised them).
//
//   binding error      TypeError with the interpreter's own wording
//   bad argument type  TypeError naming the parameter
//   bad argument value ValueError naming the problem (unknown law, wrong
//                      number of coefficients, the profile's own check,
//                      rtol or workers out of range, out of the wrong shape)
//   internal failure   SystemError with the failure's message, plus a short
//                      report on stderr
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

#include "pool/internal_failure.hpp"

namespace lumora::ld::errors {

// Binding errors.  `function` is the bare function name.
void too_many_positional(std::string_view function, std::size_t least, std::size_t most, std::size_t given);
void multiple_values(std::string_view function, std::string_view parameter);
void unexpected_keyword(std::string_view function, PyObject* keyword);
void missing_arguments(std::string_view function, std::span<const std::string_view> names);

void type_error(std::string_view message);
void value_error(std::string_view message);

// Raises the C++ exception being handled as a Python exception; call it
// only inside a catch block.  std::bad_alloc becomes MemoryError, anything
// else SystemError.
void raise_current_exception() noexcept;

}  // namespace lumora::ld::errors
