"""The module object: what importing lumora defines, and the function objects."""

import importlib.util
import math
import pickle
import types

import pytest

import lumora

# Registration order, with each function's text signature.
SIGNATURES = {
    "witt_mao_magnification": "(l, re, rstar)",
    "integrated_witt_mao_magnification": "(l, re, rstar)",
    "integrated_flux_map_witt_mao_magnification": "(l, re, rstar, bl, bf)",
    "multi_witt_mao_magnification": "(l, re, rstar)",
    "heyrovsky_magnification": "(l, r, re, rstar)",
    "integrated_heyrovsky_magnification": "(l, re, rstar)",
    "integrated_flux_map_heyrovsky_magnification": "(l, re, rstar, bl, bf)",
    "discrete_flux_map_heyrovsky_magnification": "(l, re, rstar, bl, bf)",
}

# Attributes that the import machinery sets on an extension module.
IMPORT_ATTRIBUTES = {"__name__", "__doc__", "__spec__", "__loader__", "__package__", "__file__"}


def fresh_module(*preset_all):
    """A second module object built from lumora's definition, its exec slot run
    (after setting `__all__` to the one optional argument)."""
    module = importlib.util.module_from_spec(lumora.__spec__)
    if preset_all:
        (module.__all__,) = preset_all
    lumora.__spec__.loader.exec_module(module)
    return module


class TestModuleAttributes:
    def test_all_lists_the_eight_functions_in_registration_order(self):
        assert type(lumora.__all__) is list
        assert lumora.__all__ == list(SIGNATURES)

    def test_no_attributes_beyond_all_and_the_functions(self):
        assert set(vars(lumora)) == IMPORT_ATTRIBUTES | {"__all__"} | set(SIGNATURES)

    def test_panic_exception_is_not_exported(self):
        assert not hasattr(lumora, "PanicException")


@pytest.mark.parametrize("name", SIGNATURES)
class TestFunctionObjects:
    def test_is_a_builtin_function_bound_to_the_module(self, name):
        function = getattr(lumora, name)
        assert type(function) is types.BuiltinFunctionType
        assert function.__self__ is lumora
        assert function.__module__ == "lumora"
        assert function.__name__ == name

    def test_pickles_by_qualified_name(self, name):
        # What process pools and Dask send to their workers.
        function = getattr(lumora, name)
        assert pickle.loads(pickle.dumps(function)) is function

    def test_docstring_is_only_the_text_signature(self, name):
        function = getattr(lumora, name)
        assert function.__text_signature__ == SIGNATURES[name]
        assert function.__doc__ is None


class TestExecSlot:
    def test_a_new_module_object_gets_its_own_functions(self):
        module = fresh_module()
        assert module is not lumora
        assert module.__all__ == list(SIGNATURES)
        for name in SIGNATURES:
            function = getattr(module, name)
            assert function is not getattr(lumora, name)
            assert function.__self__ is module
        assert module.witt_mao_magnification([0.5], 1.0, 0.1) == lumora.witt_mao_magnification([0.5], 1.0, 0.1)

    def test_an_existing_all_list_is_extended(self):
        assert fresh_module(["earlier"]).__all__ == ["earlier", *SIGNATURES]

    @pytest.mark.parametrize("preset", [("a",), None], ids=["tuple", "none"])
    def test_an_all_that_is_not_a_list_fails_the_exec(self, preset):
        with pytest.raises(TypeError):
            fresh_module(preset)


FLUX_TABLE = ([0.0, 0.5, 1.0], [1.0, 0.8, 0.5])


class TestResultTypes:
    @pytest.mark.parametrize(("name", "args", "length"), [
        pytest.param("witt_mao_magnification", ([0.2, 1.5, 3.0], 1.0, 0.1), 3, id="witt_mao"),
        pytest.param("witt_mao_magnification", ([], 1.0, 0.1), 0, id="witt_mao-empty"),
        pytest.param("integrated_witt_mao_magnification", ([0.2, 1.5], 1.0, 0.1), 2, id="integrated_witt_mao"),
        pytest.param("integrated_flux_map_witt_mao_magnification", ([0.2, 1.5], 1.0, 0.1, *FLUX_TABLE), 2,
                     id="integrated_flux_map_witt_mao"),
        pytest.param("heyrovsky_magnification", (1.0, 0.5, 1.0, 0.1), None, id="heyrovsky"),
        pytest.param("integrated_heyrovsky_magnification", ([0.2, 1.5], 1.0, 0.1), 2, id="integrated_heyrovsky"),
        pytest.param("integrated_flux_map_heyrovsky_magnification", ([0.2], 1.0, 0.1, *FLUX_TABLE), 1,
                     id="integrated_flux_map_heyrovsky"),
        pytest.param("discrete_flux_map_heyrovsky_magnification", ([0.2, 1.5], 1.0, 0.1, *FLUX_TABLE), 2,
                     id="discrete_flux_map_heyrovsky"),
    ])
    def test_a_list_of_floats_one_per_separation_or_a_float(self, name, args, length):
        result = getattr(lumora, name)(*args)
        values = [result] if length is None else result
        assert type(result) is (float if length is None else list)
        assert len(values) == (1 if length is None else length)
        assert all(type(value) is float and math.isfinite(value) for value in values)

    def test_multi_gives_one_list_per_pair_re_outer_rstar_inner(self):
        l, re, rstar = [0.2, 1.5], [1.0, 2.0], [0.1, 0.05, 0.2]
        result = lumora.multi_witt_mao_magnification(l, re, rstar)
        assert type(result) is list and all(type(inner) is list for inner in result)
        assert result == [lumora.witt_mao_magnification(l, e, s) for e in re for s in rstar]

    @pytest.mark.parametrize(("l", "re", "rstar", "expected"), [
        pytest.param([1.0], [], [0.1], [], id="no-re"),
        pytest.param([1.0], [1.0], [], [], id="no-rstar"),
        pytest.param([], [1.0, 2.0], [0.1], [[], []], id="no-separation"),
    ])
    def test_multi_with_an_empty_sequence(self, l, re, rstar, expected):
        assert lumora.multi_witt_mao_magnification(l, re, rstar) == expected
