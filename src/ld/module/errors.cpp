#include "ld/module/errors.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <string>

namespace lumora::ld::errors {
namespace {

void set(PyObject* type, const std::string& message) { PyErr_SetString(type, message.c_str()); }

std::string callee(std::string_view function) { return std::string(function) + "()"; }

void internal(const char* message, const char* thread) {
    std::fprintf(stderr, "lumora_ld: internal failure on thread '%s':\n%s\n", thread, message);
    std::fflush(stderr);
    set(PyExc_SystemError, std::string("lumora_ld internal failure: ") + message);
}

}  // namespace

void too_many_positional(std::string_view function, std::size_t least, std::size_t most, std::size_t given) {
    const std::string takes = least == most ? std::to_string(most)
                                            : "from " + std::to_string(least) + " to " + std::to_string(most);
    set(PyExc_TypeError, callee(function) + " takes " + takes + " positional arguments but " +
                             std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

void multiple_values(std::string_view function, std::string_view parameter) {
    set(PyExc_TypeError, callee(function) + " got multiple values for argument '" + std::string(parameter) + "'");
}

void unexpected_keyword(std::string_view function, PyObject* keyword) {
    const std::string prefix = callee(function) + " got an unexpected keyword argument '";
    PyErr_Format(PyExc_TypeError, "%s%S'", prefix.c_str(), keyword);  // %S: str() of the keyword
}

void missing_arguments(std::string_view function, std::span<const std::string_view> names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        list += "'" + std::string(names[i]) + "'";
    }
    set(PyExc_TypeError, callee(function) + " missing " + std::to_string(names.size()) + " required positional " +
                             (names.size() == 1 ? "argument" : "arguments") + ": " + list);
}

void type_error(std::string_view message) { set(PyExc_TypeError, std::string(message)); }

void value_error(std::string_view message) { set(PyExc_ValueError, std::string(message)); }

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const InternalFailure& failure) {
        internal(failure.what(), failure.thread());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        internal(failure.what(), "<unknown>");
    } catch (...) {
        internal("a failure without a message", "<unknown>");
    }
}

}  // namespace lumora::ld::errors
