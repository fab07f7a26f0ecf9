#include "module/errors.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "module/once.hpp"
#include "module/py_ref.hpp"

namespace lumora::errors {
namespace {

ProcessCache panic_exception_type;
ProcessCache add_note_name;

constexpr const char* panic_doc =
    "Raised when lumora's native code hits an internal failure (a broken\n"
    "precondition).  Like SystemExit it derives from BaseException, not\n"
    "Exception, so that it normally propagates up the whole stack and ends\n"
    "the interpreter instead of being swallowed by `except Exception`.";

void set_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

// The pending exception, normalised into an instance (null if none), and
// its way back.  Before 3.12 the traceback travels on the instance.
py_ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return py_ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    py_ref type_ref = py_ref::steal(type);
    py_ref traceback_ref = py_ref::steal(traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    return py_ref::steal(value);
#endif
}

void restore_exception(py_ref exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

std::string callee(std::string_view function) { return std::string(function) + "()"; }

void raise_panic(const char* message) {
    PyObject* type = panic_exception_type.get([] {
        return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                         PyExc_BaseException, nullptr);
    });
    if (type == nullptr) return;  // the class could not be made; its error is pending
    py_ref text = py_ref::steal(PyUnicode_FromString(message));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

}  // namespace

void too_many_positional(std::string_view function, std::size_t parameters, std::size_t given) {
    set_type_error(callee(function) + " takes " + std::to_string(parameters) +
                   " positional arguments but " + std::to_string(given) + " " + "were" + " given");
}

void multiple_values(std::string_view function, std::string_view parameter) {
    set_type_error(callee(function) + " got multiple values for argument '" +
                   std::string(parameter) + "'");
}

void unexpected_keyword(std::string_view function, PyObject* keyword) {
    std::string prefix = callee(function) + " got an unexpected keyword argument '";
    // %S renders the keyword with str(), whatever its text holds.
    PyErr_Format(PyExc_TypeError, "%s%S'", prefix.c_str(), keyword);
}

void missing_arguments(std::string_view function, std::span<const std::string_view> names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                list += " and ";
            } else {
                list += i + 1 == names.size() ? ", and " : ", ";
            }
        }
        list += "'" + std::string(names[i]) + "'";
    }
    set_type_error(callee(function) + " missing " + std::to_string(names.size()) + " required " +
                   "positional" + " " + (names.size() == 1 ? "argument" : "arguments") + ": " +
                   list);
}

void type_error(std::string_view message) { set_type_error(std::string(message)); }

void add_conversion_note(std::string_view parameter) {
    // Take the conversion's exception first: nothing below may run with it
    // pending, and whatever fails below must leave it as it was.
    py_ref exception = take_exception();
    if (!exception) return;
    PyObject* name = add_note_name.get([] { return PyUnicode_InternFromString("add_note"); });
    const std::string note = "while processing '" + std::string(parameter) + "'";
    py_ref text = py_ref::steal(
        name != nullptr ? PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())) : nullptr);
    py_ref result =
        py_ref::steal(text ? PyObject_CallMethodOneArg(exception.get(), name, text.get()) : nullptr);
    if (!result) PyErr_Clear();  // the note is lost, the exception is not
    restore_exception(std::move(exception));
}

void model_error(EllipticError error) {
    py_ref text = py_ref::steal(PyUnicode_FromString(error.message));
    if (!text) return;
    PyErr_SetObject(PyExc_RuntimeError, text.get());
}

void internal_failure(const InternalFailure& failure) {
    const std::source_location& where = failure.where();
    std::fprintf(stderr, "thread '%s' panicked at %s:%u:%u:\n%s\n", failure.thread(),
                 where.file_name(), static_cast<unsigned>(where.line()),
                 static_cast<unsigned>(where.column()), failure.what());
    std::fflush(stderr);
    raise_panic(failure.what());
}

void internal_failure_without_message() {
    constexpr const char* message = "lumora's native code failed without a message";
    std::fprintf(stderr, "thread '<unknown>' panicked:\n%s\n", message);
    std::fflush(stderr);
    raise_panic(message);
}

std::string take_pending_description() {
    py_ref cause = take_exception();
    py_ref text = py_ref::steal(cause ? PyObject_Repr(cause.get()) : nullptr);
    Py_ssize_t size = 0;
    const char* description = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (description == nullptr) {
        PyErr_Clear();
        return "<unknown error>";
    }
    return std::string(description, static_cast<std::size_t>(size));
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const InternalFailure& failure) {
        internal_failure(failure);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();  // memory ran out: not a broken precondition
    } catch (const std::exception& failure) {
        internal_failure(InternalFailure(failure.what()));
    } catch (...) {
        internal_failure_without_message();
    }
}

}  // namespace lumora::errors
