#include "module/binding.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "module/errors.hpp"
#include "module/once.hpp"

namespace lumora::binding {
namespace {

ProcessCache sequence_class;

constexpr std::string_view unknown_type_name = "<failed to extract type name>";

std::string qualified_name(PyTypeObject* type) {
    py_ref name = py_ref::steal(PyType_GetQualName(type));
    Py_ssize_t size = 0;
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return std::string(unknown_type_name);
    }
    return std::string(text, static_cast<std::size_t>(size));
}

// The qualified name of collections.abc.Sequence, the type a float-sequence
// argument must behave as.
std::string sequence_name() {
    PyObject* sequence = sequence_class.get([]() -> PyObject* {
        py_ref abc = py_ref::steal(PyImport_ImportModule("collections.abc"));
        if (!abc) return nullptr;
        return PyObject_GetAttrString(abc.get(), "Sequence");
    });
    if (sequence == nullptr || !PyType_Check(sequence)) {
        PyErr_Clear();
        return std::string(unknown_type_name);
    }
    return qualified_name(reinterpret_cast<PyTypeObject*>(sequence));
}

void refuse_non_sequence(PyObject* object) {
    std::string target = sequence_name();
    if (object == Py_None) {
        errors::type_error("'None' is not an instance of '" + target + "'");
    } else {
        errors::type_error("'" + qualified_name(Py_TYPE(object)) + "' object is not an instance of '" +
                           target + "'");
    }
}

bool read_double(PyObject* object, double& value) {
    if (Py_IS_TYPE(object, &PyFloat_Type)) {  // exactly float: no call needed
        value = PyFloat_AS_DOUBLE(object);
        return true;
    }
    value = PyFloat_AsDouble(object);
    // -1.0 is an error only if one is pending; otherwise it is the value.
    return !(value == -1.0 && PyErr_Occurred());
}

// The next item of an iterator: 1 with a new reference, 0 when exhausted,
// -1 with an exception set.
int next_item(PyObject* iterator, py_ref& item) {
#if PY_VERSION_HEX >= 0x030E0000
    PyObject* raw = nullptr;
    int status = PyIter_NextItem(iterator, &raw);
    item = py_ref::steal(raw);
    return status;
#else
    item = py_ref::steal(PyIter_Next(iterator));
    if (item) return 1;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// True if `type` is the object `attribute` of the module `module` as it
// already sits in sys.modules; nothing is imported.  A lookup that fails
// counts as false (the caller then takes the general path).
bool is_module_attribute(PyTypeObject* type, const char* module, const char* attribute) {
    py_ref name = py_ref::steal(PyUnicode_FromString(module));
    py_ref imported = name ? py_ref::steal(PyImport_GetModule(name.get())) : py_ref();
    py_ref object = imported ? py_ref::steal(PyObject_GetAttrString(imported.get(), attribute)) : py_ref();
    if (!object) PyErr_Clear();
    return object.get() == reinterpret_cast<PyObject*>(type);
}

// The containers whose buffer is read directly: exactly memoryview,
// array.array and numpy.ndarray.  Subclasses may iterate differently from
// their buffer (numpy.ma.MaskedArray, an array.array with its own __iter__),
// so they take the general path.  NumPy is recognised by its static type's
// name and its entry in sys.modules, never imported.
bool reads_buffer_directly(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyMemoryView_Type) return true;
    const std::string_view name = type->tp_name;
    if (name == "array.array") return is_module_attribute(type, "array", "array");
    if (name == "numpy.ndarray") {
        return (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) == 0 && is_module_attribute(type, "numpy", "ndarray");
    }
    return false;
}

// The buffer of an argument, held for the conversion and released on every
// path.
class BufferGuard {
public:
    BufferGuard() = default;
    BufferGuard(const BufferGuard&) = delete;
    BufferGuard& operator=(const BufferGuard&) = delete;
    ~BufferGuard() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Takes the buffer of `object` if it is a one-dimensional, C-contiguous
    // array of native IEEE float64 ("d", "@d", "=d", and "<d" on a
    // little-endian machine).  Anything else (no buffer, another format or
    // byte order, strides, 0-d or 2-D) returns false with no exception set.
    bool take_float64(PyObject* object) {
        static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == 8);
        if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) < 0) {
            PyErr_Clear();  // no buffer of this kind: the general path decides
            return false;
        }
        held_ = true;
        if (view_.ndim != 1 || view_.itemsize != 8 || view_.format == nullptr || view_.shape == nullptr) {
            return false;
        }
        const std::string_view format = view_.format;
        const bool native = format == "d" || format == "@d" || format == "=d" ||
                            (std::endian::native == std::endian::little && format == "<d");
        return native && PyBuffer_IsContiguous(&view_, 'C') == 1;
    }

    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.shape[0]); }
    const void* data() const noexcept { return view_.buf; }

private:
    Py_buffer view_{};
    bool held_ = false;  // view_ must be released
};

}  // namespace

bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
          PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t parameters = signature.parameters.size();
    const auto positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    for (PyObject*& slot : slots) slot = nullptr;
    for (std::size_t i = 0; i < positional && i < parameters; ++i) slots[i] = args[i];
    if (positional > parameters) {
        errors::too_many_positional(signature.function, parameters, positional);
        return false;
    }
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
        std::size_t match = parameters;
        if (text == nullptr) {
            PyErr_Clear();  // not encodable: it names no parameter
        } else {
            const std::string_view name(text, static_cast<std::size_t>(size));
            for (std::size_t i = 0; i < parameters; ++i) {
                if (name == signature.parameters[i]) {
                    match = i;
                    break;
                }
            }
        }
        if (match == parameters) {
            errors::unexpected_keyword(signature.function, keyword);
            return false;
        }
        if (slots[match] != nullptr) {
            errors::multiple_values(signature.function, signature.parameters[match]);
            return false;
        }
        slots[match] = args[positional + static_cast<std::size_t>(k)];
    }
    if (positional < parameters) {
        std::array<std::string_view, 8> missing{};
        std::size_t count = 0;
        for (std::size_t i = positional; i < parameters; ++i) {
            if (slots[i] == nullptr) missing[count++] = signature.parameters[i];
        }
        if (count > 0) {
            errors::missing_arguments(signature.function, std::span(missing.data(), count));
            return false;
        }
    }
    return true;
}

std::optional<double> to_double(PyObject* object, std::string_view parameter) {
    double value = 0.0;
    if (!read_double(object, value)) {
        errors::add_conversion_note(parameter);
        return std::nullopt;
    }
    return value;
}

std::optional<std::vector<double>> to_vector(PyObject* object, std::string_view parameter) {
    auto fail = [&]() -> std::optional<std::vector<double>> {
        errors::add_conversion_note(parameter);
        return std::nullopt;
    };
    if (PyUnicode_Check(object)) {
        errors::type_error("Can't extract `str` to `Vec`");
        return fail();
    }
    if (!PySequence_Check(object)) {
        refuse_non_sequence(object);
        return fail();
    }
    std::vector<double> values;
    // Fast path: a float64 buffer holds exactly the values iteration would
    // give (each item is a float of the same bits), so it is copied whole.
    // memcpy, not a typed read: a NumPy buffer need not be aligned.
    if (reads_buffer_directly(object)) {
        BufferGuard buffer;
        if (buffer.take_float64(object)) {
            try {
                values.resize(buffer.size());
            } catch (const std::exception&) {
                PyErr_NoMemory();
                return fail();
            }
            if (!values.empty()) std::memcpy(values.data(), buffer.data(), values.size() * sizeof(double));
            return values;
        }
    }
    const Py_ssize_t size = PyObject_Size(object);
    if (size < 0) {
        PyErr_Clear();  // only a hint for the reservation
    } else {
        try {
            values.reserve(static_cast<std::size_t>(size));
        } catch (const std::exception&) {
            // A length no vector can hold (length_error) or memory that ran
            // out (bad_alloc): the same answer list() gives.
            PyErr_NoMemory();
            return fail();
        }
    }
    py_ref iterator = py_ref::steal(PyObject_GetIter(object));
    if (!iterator) return fail();
    py_ref item;
    for (;;) {
        const int status = next_item(iterator.get(), item);
        if (status < 0) return fail();
        if (status == 0) break;
        double value = 0.0;
        if (!read_double(item.get(), value)) return fail();
        try {
            values.push_back(value);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return fail();
        }
    }
    return values;
}

py_ref to_float(double value) { return py_ref::steal(PyFloat_FromDouble(value)); }

py_ref to_list(std::span<const double> values) {
    py_ref list = py_ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < values.size(); ++i) {
        py_ref number = to_float(values[i]);
        if (!number) return number;  // the partly filled list is released
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number.release());
    }
    return list;
}

}  // namespace lumora::binding
