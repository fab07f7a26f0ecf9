// The extension module `lumora_ld`: definition, exec slot and its entry
// points magnification(u, rho, law, coefficients, *, rtol, out, workers) and
// magnification_and_gradient(u, rho, law, coefficients, *, rtol, workers).
// The only code of lumora_ld that sees Python and NumPy: it binds the
// arguments, converts them in parameter order (the first failure ends the
// call, before any work), broadcasts u and rho by NumPy's rules into
// contiguous float64 arrays, runs the model with the interpreter released
// (on the worker pool when the input is large) and returns float64 of the
// broadcast shape.  One catch-all per entry point keeps every C++
// exception inside.
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#include <numpy/arrayobject.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "ld/models/magnification.hpp"
#include "ld/models/profile.hpp"
#include "ld/module/binding.hpp"
#include "ld/module/errors.hpp"
#include "module/py_ref.hpp"
#include "pool/pool.hpp"

namespace lumora::ld {
namespace {

using binding::Parameter;
using binding::Signature;

// Values per chunk of the worker pool's loop.  A call of at most this many
// values runs on the calling thread and wakes no worker; a larger one is cut
// into chunks that the workers claim one at a time (a value costs 0.03 to
// 2 µs, so a chunk 8 µs to 0.5 ms: long against the claim, short enough to
// keep two or more workers busy to the end).
constexpr std::size_t chunk_values = 256;

// ---- the laws ---------------------------------------------------------------

struct LawName {
    std::string_view name;
    Law law;
    std::string_view coefficients;  // their names, as the documentation gives them
};

constexpr LawName law_names[] = {
    {"uniform", Law::uniform, ""},
    {"linear", Law::linear, " (a)"},
    {"quadratic", Law::quadratic, " (a, b)"},
    {"square_root", Law::square_root, " (c, d)"},
    {"logarithmic", Law::logarithmic, " (c, d)"},
    {"power2", Law::power2, " (c, alpha)"},
    {"claret4", Law::claret4, " (a1, a2, a3, a4)"},
};

std::string known_laws() {
    std::string list;
    for (const LawName& entry : law_names) list += "'" + std::string(entry.name) + "', ";
    return list + "or a pair (mu, intensity)";
}

// ---- conversion -------------------------------------------------------------

// `object` as an aligned, native, C-contiguous float64 array of its own
// shape.  Booleans, integers and floats convert; an object array converts
// if each of its items does; anything else (strings, complex, dates) is a
// TypeError naming the parameter.  NumPy's own errors (a ragged list, a
// failed conversion of an item) pass through as NumPy raised them.
py_ref to_real_array(PyObject* object, std::string_view parameter) {
    py_ref any = py_ref::steal(PyArray_FromAny(object, nullptr, 0, 0, 0, nullptr));
    if (!any) return any;
    auto* array = reinterpret_cast<PyArrayObject*>(any.get());
    const char kind = PyArray_DESCR(array)->kind;
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f' && kind != 'O') {
        py_ref dtype = py_ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
        const char* text = dtype ? PyUnicode_AsUTF8(dtype.get()) : nullptr;
        if (text == nullptr) return {};
        errors::type_error(std::string(parameter) + " must be real numbers, not an array_like of dtype " + text);
        return {};
    }
    // Objects go through float() item by item (a cast NumPy calls unsafe).
    const int flags = NPY_ARRAY_IN_ARRAY | (kind == 'O' ? NPY_ARRAY_FORCECAST : 0);
    py_ref converted = py_ref::steal(PyArray_FROM_OTF(any.get(), NPY_DOUBLE, flags));
    if (!converted && kind == 'O' && PyErr_ExceptionMatches(PyExc_ValueError)) {
        // An item that float() refuses (a str in a list of numbers): a
        // problem of the argument's type.
        PyErr_Clear();
        errors::type_error(std::string(parameter) + " must be real numbers");
    }
    return converted;
}

PyArrayObject* as_array(const py_ref& array) noexcept { return reinterpret_cast<PyArrayObject*>(array.get()); }

std::size_t size_of(const py_ref& array) noexcept { return static_cast<std::size_t>(PyArray_SIZE(as_array(array))); }

const double* data_of(const py_ref& array) noexcept { return static_cast<const double*>(PyArray_DATA(as_array(array))); }

// The checked profile of `law` and `coefficients`, converted in that order
// (ValueError naming the problem, TypeError for arguments of the wrong type).
std::optional<Profile> convert_profile(PyObject* law, PyObject* coefficients) {
    Law chosen = Law::uniform;
    bool tabulated = false;
    std::string_view name = "uniform";
    std::array<py_ref, 2> columns;  // (mu, intensity) of a tabulated profile
    if (law != nullptr && PyUnicode_Check(law)) {
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(law, &length);
        if (text == nullptr) return std::nullopt;
        name = std::string_view(text, static_cast<std::size_t>(length));
        const std::optional<Law> known = law_from_name(name);
        if (!known) {
            errors::value_error("unknown law '" + std::string(name) + "': expected " + known_laws());
            return std::nullopt;
        }
        chosen = *known;
    } else if (law != nullptr && PySequence_Check(law) && !PyBytes_Check(law) && PySequence_Size(law) == 2) {
        tabulated = true;
        constexpr std::string_view column_names[] = {"mu", "intensity"};
        for (std::size_t k = 0; k < 2; ++k) {
            py_ref item = py_ref::steal(PySequence_GetItem(law, static_cast<Py_ssize_t>(k)));
            if (!item) return std::nullopt;
            const std::string what = "the tabulated profile's " + std::string(column_names[k]);
            columns[k] = to_real_array(item.get(), what);
            if (!columns[k]) return std::nullopt;
            if (PyArray_NDIM(as_array(columns[k])) != 1) {
                errors::value_error(what + " must be one-dimensional");
                return std::nullopt;
            }
        }
        if (size_of(columns[0]) != size_of(columns[1])) {
            errors::value_error("the tabulated profile's mu and intensity differ in length (" +
                                std::to_string(size_of(columns[0])) + " and " + std::to_string(size_of(columns[1])) +
                                ")");
            return std::nullopt;
        }
    } else if (law != nullptr) {
        if (PyErr_Occurred()) return std::nullopt;  // PySequence_Size failed
        PyErr_Format(PyExc_TypeError, "law must be a law name (str) or a pair (mu, intensity), not %s",
                     Py_TYPE(law)->tp_name);
        return std::nullopt;
    }

    py_ref values;
    std::size_t given = 0;
    if (coefficients != nullptr) {
        values = to_real_array(coefficients, "coefficients");
        if (!values) return std::nullopt;
        if (PyArray_NDIM(as_array(values)) != 1) {
            errors::type_error("coefficients must be a one-dimensional sequence of numbers");
            return std::nullopt;
        }
        given = size_of(values);
    }

    std::expected<Profile, ProfileError> profile = std::unexpected(ProfileError{});
    if (tabulated) {
        if (given != 0) {
            errors::value_error("a tabulated profile (mu, intensity) takes no coefficients, got " +
                                std::to_string(given));
            return std::nullopt;
        }
        profile = make_tabulated_profile(std::span(data_of(columns[0]), size_of(columns[0])),
                                         std::span(data_of(columns[1]), size_of(columns[1])));
    } else {
        const std::size_t wanted = coefficient_count(chosen);
        if (given != wanted) {
            std::string_view names;
            for (const LawName& entry : law_names) {
                if (entry.law == chosen) names = entry.coefficients;
            }
            const std::string takes =
                wanted == 0 ? std::string("no coefficients")
                            : std::to_string(wanted) + (wanted == 1 ? " coefficient" : " coefficients") +
                                  std::string(names);
            errors::value_error("law '" + std::string(name) + "' takes " + takes + ", got " + std::to_string(given));
            return std::nullopt;
        }
        profile = make_profile(chosen, std::span(given > 0 ? data_of(values) : nullptr, given));
    }
    if (!profile) {
        errors::value_error(profile.error().message);
        return std::nullopt;
    }
    return std::move(*profile);
}

std::optional<double> convert_rtol(PyObject* object) {
    if (object == nullptr) return 1e-8;
    const double rtol = PyFloat_AsDouble(object);
    if (rtol == -1.0 && PyErr_Occurred()) return std::nullopt;
    // Written so that NaN fails the test and is refused with the others.
    if (!(rtol >= smallest_rtol && rtol <= largest_rtol)) {
        py_ref text = py_ref::steal(PyObject_Repr(object));
        const char* shown = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (shown == nullptr) return std::nullopt;
        errors::value_error(std::string("rtol must be between 1e-12 and 0.01, got ") + shown);
        return std::nullopt;
    }
    return rtol;
}

// The most threads a call may use.  None leaves the bound to the pool,
// whose size is one thread per online processor (unless RAYON_NUM_THREADS
// sets it when the pool starts); asking the system for the processor count
// here would cost a file read per call.
std::optional<std::size_t> convert_workers(PyObject* object) {
    if (object == nullptr || object == Py_None) return pool::max_thread_count;
    if (!PyLong_Check(object)) {
        PyErr_Format(PyExc_TypeError, "workers must be an int or None, not %s", Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    int overflow = 0;
    const long long workers = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (workers == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow > 0) return pool::max_thread_count;
    if (overflow < 0 || workers < 1) {
        py_ref text = py_ref::steal(PyObject_Repr(object));
        const char* shown = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (shown == nullptr) return std::nullopt;
        errors::value_error(std::string("workers must be at least 1 (or None for every processor), got ") + shown);
        return std::nullopt;
    }
    return static_cast<std::size_t>(workers);
}

// A shape as Python prints a tuple: (), (3,), (2, 3).
std::string shape_text(int ndim, const npy_intp* dims) {
    std::string text = "(";
    for (int i = 0; i < ndim; ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(dims[i]);
    }
    return text + (ndim == 1 ? ",)" : ")");
}

// u and rho broadcast together: both C-contiguous float64 arrays of the
// broadcast shape (an input of that shape already is one; any other is
// copied out to it once per call).
struct Broadcast {
    py_ref u, rho;
    int ndim = 0;
    std::array<npy_intp, NPY_MAXDIMS> dims{};
};

std::optional<Broadcast> broadcast(py_ref u, py_ref rho) {
    PyArrayObject* a = as_array(u);
    PyArrayObject* b = as_array(rho);
    Broadcast result;
    result.ndim = std::max(PyArray_NDIM(a), PyArray_NDIM(b));
    // NumPy's rule, from the trailing axis: equal lengths, or one of them 1.
    for (int axis = 1; axis <= result.ndim; ++axis) {
        const npy_intp x = axis <= PyArray_NDIM(a) ? PyArray_DIMS(a)[PyArray_NDIM(a) - axis] : 1;
        const npy_intp y = axis <= PyArray_NDIM(b) ? PyArray_DIMS(b)[PyArray_NDIM(b) - axis] : 1;
        if (x != y && x != 1 && y != 1) {
            // NumPy's own error and message for shapes that clash.
            py_ref iterator = py_ref::steal(PyArray_MultiIterNew(2, u.get(), rho.get()));
            if (iterator) throw InternalFailure("NumPy broadcast shapes that lumora_ld found incompatible");
            return std::nullopt;
        }
        result.dims[static_cast<std::size_t>(result.ndim - axis)] = x == 1 ? y : x;
    }
    std::array<py_ref*, 2> inputs = {&u, &rho};
    for (py_ref* input : inputs) {
        PyArrayObject* array = as_array(*input);
        if (PyArray_NDIM(array) == result.ndim &&
            std::equal(result.dims.begin(), result.dims.begin() + result.ndim, PyArray_DIMS(array))) {
            continue;  // the right shape, and C-contiguous from to_real_array
        }
        py_ref full = py_ref::steal(PyArray_SimpleNew(result.ndim, result.dims.data(), NPY_DOUBLE));
        if (!full) return std::nullopt;
        if (PyArray_SIZE(array) == 1) {  // the common case of one value: a fill
            const double value = *static_cast<const double*>(PyArray_DATA(array));
            auto* data = static_cast<double*>(PyArray_DATA(as_array(full)));
            std::fill(data, data + PyArray_SIZE(as_array(full)), value);
        } else if (PyArray_CopyInto(as_array(full), array) < 0) {
            return std::nullopt;
        }
        *input = std::move(full);
    }
    result.u = std::move(u);
    result.rho = std::move(rho);
    return result;
}

// Checks `out` against the broadcast shape, the way NumPy's functions do.
bool check_out(PyObject* out, const Broadcast& shape) {
    if (!PyArray_Check(out)) {
        PyErr_Format(PyExc_TypeError, "out must be a numpy.ndarray, not %s", Py_TYPE(out)->tp_name);
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(out);
    if (PyArray_TYPE(array) != NPY_DOUBLE) {
        PyErr_Format(PyExc_TypeError, "out must have dtype float64, not %S",
                     reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
        return false;
    }
    if (PyArray_NDIM(array) != shape.ndim ||
        !std::equal(shape.dims.begin(), shape.dims.begin() + shape.ndim, PyArray_DIMS(array))) {
        errors::value_error("non-broadcastable output operand with shape " +
                            shape_text(PyArray_NDIM(array), PyArray_DIMS(array)) +
                            " doesn't match the broadcast shape " + shape_text(shape.ndim, shape.dims.data()));
        return false;
    }
    if (!PyArray_ISWRITEABLE(array)) {
        errors::value_error("output array is read-only");
        return false;
    }
    return true;
}

// True if [a, a + n) and [b, b + n) share a double.
bool overlap(const double* a, const double* b, std::size_t n) noexcept {
    return n > 0 && a < b + n && b < a + n;
}

// out[i] = A(u[i], rho[i]) for i < n, with the interpreter released: on
// this thread for at most chunk_values values or one worker, else in
// chunks on at most `workers` threads of the pool.  Each value depends on
// its own inputs alone, so the bits are the same for any split.
void compute(const Profile& profile, double rtol, const double* u, const double* rho, double* out, std::size_t n,
             std::size_t workers) {
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        pool::parallel_for(n, chunk_values, workers, [&](std::size_t first, std::size_t last) {
            magnification(profile, rtol, u + first, rho + first, out + first, last - first);
        });
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);
}

// The same for the gradient: value i's outputs at index i of each array.
void compute_gradient(const Profile& profile, double rtol, const double* u, const double* rho, GradientOutput out,
                      std::size_t n, std::size_t workers) {
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        pool::parallel_for(n, chunk_values, workers, [&](std::size_t first, std::size_t last) {
            GradientOutput part{out.a + first, out.du + first, out.drho + first, out.dcoefficients + first, out.stride};
            magnification_and_gradient(profile, rtol, u + first, rho + first, part, last - first);
        });
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);
}

// ---- entry points -----------------------------------------------------------

constexpr Parameter magnification_parameters[] = {
    {"u", true, false},     {"rho", true, false}, {"law", false, false},    {"coefficients", false, false},
    {"rtol", false, true},  {"out", false, true}, {"workers", false, true},
};

// The arguments every entry point shares, converted in parameter order
// (u, rho, law, coefficients, rtol, workers; the first failure ends the
// call) and then broadcast: everything a model call needs but its outputs.
struct CommonArguments {
    Broadcast inputs;
    Profile profile;
    double rtol;
    std::size_t workers;
};

std::optional<CommonArguments> convert_common(PyObject* u_argument, PyObject* rho_argument, PyObject* law,
                                              PyObject* coefficients, PyObject* rtol_argument,
                                              PyObject* workers_argument) {
    py_ref u = to_real_array(u_argument, "u");
    if (!u) return std::nullopt;
    py_ref rho = to_real_array(rho_argument, "rho");
    if (!rho) return std::nullopt;
    std::optional<Profile> profile = convert_profile(law, coefficients);
    if (!profile) return std::nullopt;
    const std::optional<double> rtol = convert_rtol(rtol_argument);
    if (!rtol) return std::nullopt;
    const std::optional<std::size_t> workers = convert_workers(workers_argument);
    if (!workers) return std::nullopt;
    std::optional<Broadcast> inputs = broadcast(std::move(u), std::move(rho));
    if (!inputs) return std::nullopt;
    return CommonArguments{std::move(*inputs), std::move(*profile), *rtol, *workers};
}

PyObject* magnification_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, std::size(magnification_parameters)> slots{};
    if (!binding::bind(Signature{"magnification", magnification_parameters}, args, nargsf, kwnames, slots)) {
        return nullptr;
    }
    std::optional<CommonArguments> call = convert_common(slots[0], slots[1], slots[2], slots[3], slots[4], slots[6]);
    if (!call) return nullptr;
    const Broadcast* inputs = &call->inputs;
    PyObject* out = slots[5] != Py_None ? slots[5] : nullptr;
    if (out != nullptr && !check_out(out, *inputs)) return nullptr;

    // The model writes a fresh array, or `out` itself when it is aligned,
    // native, C-contiguous and shares no memory with the inputs it reads.
    const std::size_t n = size_of(inputs->u);
    py_ref target;
    if (out != nullptr) {
        auto* array = reinterpret_cast<PyArrayObject*>(out);
        const auto* data = static_cast<const double*>(PyArray_DATA(array));
        if (PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array) && PyArray_ISNOTSWAPPED(array) &&
            !overlap(data, data_of(inputs->u), n) && !overlap(data, data_of(inputs->rho), n)) {
            target = py_ref::borrow(out);
        }
    }
    if (!target) {
        target = py_ref::steal(PyArray_SimpleNew(inputs->ndim, inputs->dims.data(), NPY_DOUBLE));
        if (!target) return nullptr;
    }
    compute(call->profile, call->rtol, data_of(inputs->u), data_of(inputs->rho),
            static_cast<double*>(PyArray_DATA(as_array(target))), n, call->workers);
    if (out == nullptr) return PyArray_Return(reinterpret_cast<PyArrayObject*>(target.release()));
    if (target.get() != out && PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(out), as_array(target)) < 0) {
        return nullptr;
    }
    return Py_NewRef(out);
}

constexpr Parameter gradient_parameters[] = {
    {"u", true, false},    {"rho", true, false},     {"law", false, false},
    {"coefficients", false, false}, {"rtol", false, true}, {"workers", false, true},
};

double* data_out(const py_ref& array) noexcept { return static_cast<double*>(PyArray_DATA(as_array(array))); }

PyObject* gradient_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, std::size(gradient_parameters)> slots{};
    if (!binding::bind(Signature{"magnification_and_gradient", gradient_parameters}, args, nargsf, kwnames, slots)) {
        return nullptr;
    }
    std::optional<CommonArguments> call = convert_common(slots[0], slots[1], slots[2], slots[3], slots[4], slots[5]);
    if (!call) return nullptr;
    const Broadcast& inputs = call->inputs;
    const std::size_t n = size_of(inputs.u);
    const std::size_t coefficients = call->profile.coefficient_count();
    // One block of shape (3 + coefficients,) + shape: A, dA/du, dA/drho and
    // the coefficients' rows, returned as views of it.  One allocation
    // rather than four: the allocator keeps a block this size for the next
    // call instead of handing fresh pages back each time (which cost more
    // than the far series' derivatives).
    std::array<npy_intp, NPY_MAXDIMS + 1> dims{};
    dims[0] = static_cast<npy_intp>(3 + coefficients);
    std::copy(inputs.dims.begin(), inputs.dims.begin() + inputs.ndim, dims.begin() + 1);
    py_ref block = py_ref::steal(PyArray_SimpleNew(inputs.ndim + 1, dims.data(), NPY_DOUBLE));
    if (!block) return nullptr;
    double* data = data_out(block);
    const GradientOutput out{data, data + n, data + 2 * n, data + 3 * n, n};
    compute_gradient(call->profile, call->rtol, data_of(inputs.u), data_of(inputs.rho), out, n, call->workers);
    // block[k] is a view (or, for scalar inputs, a NumPy float64), block[3:]
    // the coefficients' rows.
    std::array<py_ref, 4> returned;
    for (Py_ssize_t k = 0; k < 3; ++k) {
        returned[static_cast<std::size_t>(k)] = py_ref::steal(PySequence_GetItem(block.get(), k));
        if (!returned[static_cast<std::size_t>(k)]) return nullptr;
    }
    returned[3] = py_ref::steal(PySequence_GetSlice(block.get(), 3, static_cast<Py_ssize_t>(3 + coefficients)));
    if (!returned[3]) return nullptr;
    return PyTuple_Pack(4, returned[0].get(), returned[1].get(), returned[2].get(), returned[3].get());
}

// The catch-all around every entry point: no C++ exception reaches the
// interpreter.
template <PyObject* (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* entry_point(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    try {
        return Body(args, nargsf, kwnames);
    } catch (...) {
        errors::raise_current_exception();
    }
    return nullptr;
}

template <PyObject* (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
constexpr PyCFunction fast_call() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry_point<Body>));
}

PyMethodDef functions[] = {
    {"magnification", fast_call<magnification_body>(), METH_FASTCALL | METH_KEYWORDS,
     "magnification(u, rho, law='uniform', coefficients=(), *, rtol=1e-08, out=None, workers=None)\n--\n\n"
     "Magnification of a limb-darkened source of radius rho by a point lens at\n"
     "separation u (both in Einstein radii), each value within rtol relative of\n"
     "the truth.  See the stubs (lumora_ld-stubs) for the laws and conventions."},
    {"magnification_and_gradient", fast_call<gradient_body>(), METH_FASTCALL | METH_KEYWORDS,
     "magnification_and_gradient(u, rho, law='uniform', coefficients=(), *, rtol=1e-08, workers=None)\n--\n\n"
     "(A, dA_du, dA_drho, dA_dcoefficients): the magnification exactly as\n"
     "magnification gives it and its derivatives with respect to u, rho and\n"
     "each coefficient of the law (shape (len(coefficients),) + the broadcast\n"
     "shape).  See the stubs (lumora_ld-stubs) for the conventions."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept {
    try {
        // NumPy's C API table is process-wide (one per extension), and
        // NumPy itself loads in the main interpreter only: a legacy
        // sub-interpreter, which the slot below does not stop, is refused
        // here, as lumora does.
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
            PyErr_SetString(PyExc_ImportError, "module lumora_ld does not support loading in subinterpreters");
            return -1;
        }
        if (PyArray_ImportNumPyAPI() < 0) return -1;
        if (PyModule_AddFunctions(module, functions) < 0) return -1;
        py_ref all = py_ref::steal(Py_BuildValue("[ss]", "magnification", "magnification_and_gradient"));
        if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
        return 0;
    } catch (...) {
        errors::raise_current_exception();
    }
    return -1;
}

// Shared state: the NumPy API table (written once by exec, read-only after)
// and the worker pool (thread-safe, no Python objects).  The entry point
// holds no state of its own between calls, so it runs without the GIL in a
// free-threaded interpreter.
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "lumora_ld",
    "Magnification of a limb-darkened source by a point lens, for any law, to a stated tolerance.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace lumora::ld

PyMODINIT_FUNC PyInit_lumora_ld() { return PyModuleDef_Init(&lumora::ld::definition); }
