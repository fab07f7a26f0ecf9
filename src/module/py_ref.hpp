// py_ref: the one owner of a Python reference.
//
// Move-only; destruction and move-assignment release the held object.
// release() hands ownership back to the interpreter, get() lends it.  This
// header is the only place in the project that decrements a reference
// count, so an early return on any error path cannot leak.  A py_ref never
// sits where a pool worker can reach it: workers see doubles only.
#pragma once

#include <Python.h>

#include <utility>

namespace lumora {

class py_ref {
public:
    py_ref() noexcept = default;
    py_ref(const py_ref&) = delete;
    py_ref& operator=(const py_ref&) = delete;
    py_ref(py_ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    py_ref& operator=(py_ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);  // the old object goes first
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~py_ref() { Py_XDECREF(object_); }

    // Takes over a new reference (which may be null after a failed call).
    static py_ref steal(PyObject* object) noexcept { return py_ref(object); }
    // Adds a reference of its own to a borrowed object.
    static py_ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return py_ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit py_ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace lumora
