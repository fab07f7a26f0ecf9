// The extension module `lumora`: definition, exec slot and the eight entry
// points.  Each entry point binds its arguments, converts them in parameter
// order (the first failure ends the call), calls the model and builds the
// result; one catch-all at the end keeps every C++ exception inside.
#include <Python.h>

#include <array>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "models/flux_map.hpp"
#include "models/heyrovsky.hpp"
#include "models/integrated.hpp"
#include "models/witt_mao_maps.hpp"
#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/once.hpp"
#include "module/py_ref.hpp"

namespace lumora {
namespace {

using binding::Signature;

constexpr std::string_view l_re_rstar[] = {"l", "re", "rstar"};
constexpr std::string_view ring_parameters[] = {"l", "r", "re", "rstar"};
constexpr std::string_view flux_map_parameters[] = {"l", "re", "rstar", "bl", "bf"};

// ---- argument conversion shared by the entry points ---------------------

struct SeparationArguments {
    std::vector<double> l;
    double re;
    double rstar;
};

struct FluxMapArguments {
    std::vector<double> l;
    double re;
    double rstar;
    std::vector<double> bl;
    std::vector<double> bf;
};

std::optional<SeparationArguments> convert_separation_arguments(std::string_view function,
                                                                PyObject* const* args,
                                                                Py_ssize_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, 3> slots{};
    if (!binding::bind(Signature{function, l_re_rstar}, args, nargsf, kwnames, slots)) return std::nullopt;
    auto l = binding::to_vector(slots[0], "l");
    if (!l) return std::nullopt;
    auto re = binding::to_double(slots[1], "re");
    if (!re) return std::nullopt;
    auto rstar = binding::to_double(slots[2], "rstar");
    if (!rstar) return std::nullopt;
    return SeparationArguments{std::move(*l), *re, *rstar};
}

std::optional<FluxMapArguments> convert_flux_map_arguments(std::string_view function, PyObject* const* args,
                                                           Py_ssize_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, 5> slots{};
    if (!binding::bind(Signature{function, flux_map_parameters}, args, nargsf, kwnames, slots)) {
        return std::nullopt;
    }
    auto l = binding::to_vector(slots[0], "l");
    if (!l) return std::nullopt;
    auto re = binding::to_double(slots[1], "re");
    if (!re) return std::nullopt;
    auto rstar = binding::to_double(slots[2], "rstar");
    if (!rstar) return std::nullopt;
    auto bl = binding::to_vector(slots[3], "bl");
    if (!bl) return std::nullopt;
    auto bf = binding::to_vector(slots[4], "bf");
    if (!bf) return std::nullopt;
    return FluxMapArguments{std::move(*l), *re, *rstar, std::move(*bl), std::move(*bf)};
}

// ---- entry points -------------------------------------------------------

constexpr char witt_mao_name[] = "witt_mao_magnification";
constexpr char integrated_witt_mao_name[] = "integrated_witt_mao_magnification";
constexpr char integrated_flux_map_witt_mao_name[] = "integrated_flux_map_witt_mao_magnification";
constexpr char integrated_heyrovsky_name[] = "integrated_heyrovsky_magnification";
constexpr char integrated_flux_map_heyrovsky_name[] = "integrated_flux_map_heyrovsky_magnification";
constexpr char discrete_flux_map_heyrovsky_name[] = "discrete_flux_map_heyrovsky_magnification";

// The functions of (l, re, rstar) that return one value per separation.
template <const char* Name, auto Model>
PyObject* separation_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = convert_separation_arguments(Name, args, nargsf, kwnames);
    if (!a) return nullptr;
    return binding::to_list(Model(std::move(a->l), a->re, a->rstar)).release();
}

// The integrated flux maps, functions of (l, re, rstar, bl, bf).
template <const char* Name, auto Model>
PyObject* flux_map_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = convert_flux_map_arguments(Name, args, nargsf, kwnames);
    if (!a) return nullptr;
    return binding::to_list(Model(std::move(a->l), std::move(a->bl), std::move(a->bf), a->re, a->rstar)).release();
}

PyObject* multi_witt_mao_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, 3> slots{};
    if (!binding::bind(Signature{"multi_witt_mao_magnification", l_re_rstar}, args, nargsf, kwnames, slots)) {
        return nullptr;
    }
    auto l = binding::to_vector(slots[0], "l");
    if (!l) return nullptr;
    auto re = binding::to_vector(slots[1], "re");
    if (!re) return nullptr;
    auto rstar = binding::to_vector(slots[2], "rstar");
    if (!rstar) return nullptr;
    return binding::to_list_of_lists(multi_witt_mao_magnification(*l, *re, *rstar)).release();
}

PyObject* heyrovsky_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, 4> slots{};
    if (!binding::bind(Signature{"heyrovsky_magnification", ring_parameters}, args, nargsf, kwnames, slots)) {
        return nullptr;
    }
    std::array<double, 4> values{};
    for (std::size_t i = 0; i < values.size(); ++i) {
        auto value = binding::to_double(slots[i], ring_parameters[i]);
        if (!value) return nullptr;
        values[i] = *value;
    }
    const EllipticResult magnification = heyrovsky_magnification(values[0], values[1], values[2], values[3]);
    if (!magnification) {
        errors::model_error(magnification.error());
        return nullptr;
    }
    return binding::to_float(*magnification).release();
}

PyObject* discrete_flux_map_heyrovsky_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = convert_flux_map_arguments(discrete_flux_map_heyrovsky_name, args, nargsf, kwnames);
    if (!a) return nullptr;
    auto result = discrete_flux_map_heyrovsky_magnification(std::move(a->l), std::move(a->bl), std::move(a->bf),
                                                            a->re, a->rstar);
    if (!result) {
        errors::model_error(result.error());
        return nullptr;
    }
    return binding::to_list(*result).release();
}

// The catch-all around every entry point: no C++ exception reaches the
// interpreter.  An internal failure becomes PanicException.
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

constexpr int call_flags = METH_FASTCALL | METH_KEYWORDS;

// Registration order is the order of __all__.  Each docstring is the text
// signature alone, so __text_signature__ is set and __doc__ is None.
PyMethodDef functions[] = {
    {witt_mao_name, fast_call<separation_body<witt_mao_name, witt_mao_magnification>>(), call_flags,
     "witt_mao_magnification(l, re, rstar)\n--\n\n"},
    {integrated_witt_mao_name,
     fast_call<separation_body<integrated_witt_mao_name, integrated_witt_mao_magnification>>(), call_flags,
     "integrated_witt_mao_magnification(l, re, rstar)\n--\n\n"},
    {integrated_flux_map_witt_mao_name,
     fast_call<flux_map_body<integrated_flux_map_witt_mao_name, integrated_flux_map_witt_mao_magnification>>(),
     call_flags, "integrated_flux_map_witt_mao_magnification(l, re, rstar, bl, bf)\n--\n\n"},
    {"multi_witt_mao_magnification", fast_call<multi_witt_mao_body>(), call_flags,
     "multi_witt_mao_magnification(l, re, rstar)\n--\n\n"},
    {"heyrovsky_magnification", fast_call<heyrovsky_body>(), call_flags,
     "heyrovsky_magnification(l, r, re, rstar)\n--\n\n"},
    {integrated_heyrovsky_name,
     fast_call<separation_body<integrated_heyrovsky_name, integrated_heyrovsky_magnification>>(), call_flags,
     "integrated_heyrovsky_magnification(l, re, rstar)\n--\n\n"},
    {integrated_flux_map_heyrovsky_name,
     fast_call<flux_map_body<integrated_flux_map_heyrovsky_name, integrated_flux_map_heyrovsky_magnification>>(),
     call_flags, "integrated_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)\n--\n\n"},
    {discrete_flux_map_heyrovsky_name, fast_call<discrete_flux_map_heyrovsky_body>(), call_flags,
     "discrete_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)\n--\n\n"},
};

ProcessCache name_attribute;
ProcessCache all_attribute;

// Adds one function to the module and its name to __all__.
int add_function(PyObject* module, PyObject* module_name, PyMethodDef* record) {
    PyObject* name_key = name_attribute.get([] { return PyUnicode_InternFromString("__name__"); });
    PyObject* all_key = all_attribute.get([] { return PyUnicode_InternFromString("__all__"); });
    if (name_key == nullptr || all_key == nullptr) return -1;

    py_ref function = py_ref::steal(PyCMethod_New(record, module, module_name, nullptr));
    if (!function) return -1;
    py_ref name = py_ref::steal(PyObject_GetAttr(function.get(), name_key));
    if (!name) return -1;
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "function __name__ is not a str");
        return -1;
    }
    py_ref all = py_ref::steal(PyObject_GetAttr(module, all_key));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = py_ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_key, all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ is not a list");
        return -1;
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        throw InternalFailure("could not append __name__ to __all__: " + errors::take_pending_description());
    }
    return PyObject_SetAttr(module, name.get(), function.get());
}

int exec_module(PyObject* module) noexcept {
    try {
        if (!PyModule_Check(module)) {
            PyErr_SetString(PyExc_TypeError, "the exec slot needs a module object");
            return -1;
        }
        // The slot below refuses isolated sub-interpreters, but the import
        // machinery lets a legacy one (shared GIL, no extension check) load
        // the module anyway; it would share the process-wide caches too.
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
            PyErr_SetString(PyExc_ImportError, "module lumora does not support loading in subinterpreters");
            return -1;
        }
        py_ref module_name = py_ref::steal(PyModule_GetNameObject(module));
        if (!module_name) return -1;
        for (PyMethodDef& record : functions) {
            if (add_function(module, module_name.get(), &record) < 0) return -1;
        }
        return 0;
    } catch (...) {
        errors::raise_current_exception();
    }
    return -1;
}

// The process-wide caches (PanicException, collections.abc.Sequence, the
// interned names) hold objects of the interpreter that first filled them,
// so the module refuses to load in any sub-interpreter (ImportError there).
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
    "lumora",
    "A Python module implemented in native code: finite-source magnification by a point-mass lens.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace lumora

PyMODINIT_FUNC PyInit_lumora() { return PyModuleDef_Init(&lumora::definition); }
