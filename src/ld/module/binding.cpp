#include "ld/module/binding.hpp"

#include <array>
#include <cstddef>

#include "ld/module/errors.hpp"
#include "pool/internal_failure.hpp"

namespace lumora::ld::binding {

bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          std::span<PyObject*> slots) {
    const std::span<const Parameter> parameters = signature.parameters;
    assert_equal(parameters.size(), slots.size());
    std::size_t positional = 0, required_positional = 0;
    for (const Parameter& parameter : parameters) {
        if (parameter.keyword_only) continue;
        ++positional;
        if (parameter.required) ++required_positional;
    }
    const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    if (given > positional) {
        errors::too_many_positional(signature.function, required_positional, positional, given);
        return false;
    }
    for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = i < given ? args[i] : nullptr;

    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t match = parameters.size();
        for (std::size_t i = 0; i < parameters.size(); ++i) {
            const std::string_view name = parameters[i].name;
            // The names are NUL-terminated ASCII literals (the signature tables).
            if (PyUnicode_CompareWithASCIIString(keyword, name.data()) == 0) {
                match = i;
                break;
            }
        }
        if (match == parameters.size()) {
            errors::unexpected_keyword(signature.function, keyword);
            return false;
        }
        if (slots[match] != nullptr) {
            errors::multiple_values(signature.function, parameters[match].name);
            return false;
        }
        slots[match] = args[given + static_cast<std::size_t>(k)];
    }

    std::array<std::string_view, 8> missing{};
    std::size_t missing_count = 0;
    for (std::size_t i = 0; i < parameters.size() && missing_count < missing.size(); ++i) {
        if (parameters[i].required && slots[i] == nullptr) missing[missing_count++] = parameters[i].name;
    }
    if (missing_count > 0) {
        errors::missing_arguments(signature.function, std::span(missing.data(), missing_count));
        return false;
    }
    return true;
}

}  // namespace lumora::ld::binding
