"""Binding a call's arguments to parameters, and converting them to doubles."""

import array
import math
import struct

import pytest

import lumora

try:
    import numpy
except ImportError:  # numpy is a test dependency; without it its row is dropped
    numpy = None

W = lumora.witt_mao_magnification
H = lumora.heyrovsky_magnification
FLUX = lumora.integrated_flux_map_witt_mao_magnification

F, S = "float", "sequence"  # the two parameter kinds
PARAMETERS = {
    "witt_mao_magnification": (("l", S), ("re", F), ("rstar", F)),
    "integrated_witt_mao_magnification": (("l", S), ("re", F), ("rstar", F)),
    "integrated_flux_map_witt_mao_magnification": (("l", S), ("re", F), ("rstar", F), ("bl", S), ("bf", S)),
    "multi_witt_mao_magnification": (("l", S), ("re", S), ("rstar", S)),
    "heyrovsky_magnification": (("l", F), ("r", F), ("re", F), ("rstar", F)),
    "integrated_heyrovsky_magnification": (("l", S), ("re", F), ("rstar", F)),
    "integrated_flux_map_heyrovsky_magnification": (("l", S), ("re", F), ("rstar", F), ("bl", S), ("bf", S)),
    "discrete_flux_map_heyrovsky_magnification": (("l", S), ("re", F), ("rstar", F), ("bl", S), ("bf", S)),
}
VALID = {"l": 0.7, "r": 0.4, "re": 1.0, "rstar": 0.1, "bl": [0.0, 0.5, 1.0], "bf": [1.0, 0.8, 0.5]}


def valid_arguments(name):
    """Working arguments of `name` by parameter name (a scalar becomes a
    one-element list where the function wants a sequence)."""
    return {
        parameter: [VALID[parameter]] if kind == S and type(VALID[parameter]) is float else VALID[parameter]
        for parameter, kind in PARAMETERS[name]
    }


def interpreter_error(value):
    """The exception of the interpreter's own float conversion of `value`
    (math.isnan converts its argument the same way)."""
    with pytest.raises(BaseException) as info:
        math.isnan(value)
    return info.value


def raises_like(expected, call, note):
    """`call` raises an exception of exactly the type and arguments of `expected`, with `note`."""
    with pytest.raises(type(expected)) as info:
        call()
    assert type(info.value) is type(expected) and info.value.args == expected.args
    assert info.value.__notes__ == [note]


BINDING_CASES = [
    pytest.param(lambda: W([1.0], 1.0, 0.1, 4.0),
                 "witt_mao_magnification() takes 3 positional arguments but 4 were given", id="too-many"),
    pytest.param(lambda: FLUX([1.0], 1, 1, [0], [1], 6, rho=1),
                 "integrated_flux_map_witt_mao_magnification() takes 5 positional arguments but 6 were given",
                 id="too-many-before-bad-keyword"),
    pytest.param(lambda: W([1.0], 1.0, 0.1, re=2.0),
                 "witt_mao_magnification() got multiple values for argument 're'", id="repeated"),
    pytest.param(lambda: lumora.multi_witt_mao_magnification([1.0], [1.0], [0.1], rho=1.0),
                 "multi_witt_mao_magnification() got an unexpected keyword argument 'rho'", id="unexpected"),
    pytest.param(lambda: W(l=[1.0], rho=1.0),
                 "witt_mao_magnification() got an unexpected keyword argument 'rho'", id="unexpected-before-missing"),
    pytest.param(lambda: W([1.0], 1.0, 0.1, rho=1.0, re=2.0),
                 "witt_mao_magnification() got an unexpected keyword argument 'rho'", id="keyword-order-unexpected"),
    pytest.param(lambda: W([1.0], 1.0, 0.1, re=2.0, rho=1.0),
                 "witt_mao_magnification() got multiple values for argument 're'", id="keyword-order-repeated"),
    pytest.param(lambda: W([1.0], 1.0, RSTAR=0.1),
                 "witt_mao_magnification() got an unexpected keyword argument 'RSTAR'", id="case-sensitive"),
    pytest.param(lambda: W([1.0], 1.0, 0.1, **{"r\udc80": 1.0}),
                 "witt_mao_magnification() got an unexpected keyword argument 'r\udc80'", id="keyword-not-utf8"),
    pytest.param(lambda: H(1.0, 0.5, 1.0),
                 "heyrovsky_magnification() missing 1 required positional argument: 'rstar'", id="missing-one"),
    pytest.param(lambda: H(1.0, 0.5),
                 "heyrovsky_magnification() missing 2 required positional arguments: 're' and 'rstar'",
                 id="missing-two"),
    pytest.param(lambda: W(),
                 "witt_mao_magnification() missing 3 required positional arguments: 'l', 're', and 'rstar'",
                 id="missing-three"),
    pytest.param(lambda: FLUX(re=1.0),
                 "integrated_flux_map_witt_mao_magnification() missing 4 required positional arguments: "
                 "'l', 'rstar', 'bl', and 'bf'", id="missing-around-a-keyword"),
]


class TestBinding:
    @pytest.mark.parametrize(("call", "message"), BINDING_CASES)
    def test_message(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError and info.value.args == (message,)
        assert not hasattr(info.value, "__notes__")

    @pytest.mark.parametrize("name", PARAMETERS)
    def test_keywords_in_any_order_equal_the_positional_call(self, name):
        function = getattr(lumora, name)
        arguments = valid_arguments(name)
        positional = function(*arguments.values())
        first, *rest = arguments
        assert function(**dict(reversed(arguments.items()))) == positional
        assert function(arguments[first], **{key: arguments[key] for key in reversed(rest)}) == positional

    @pytest.mark.parametrize(
        ("name", "parameter", "kind"),
        [pytest.param(name, parameter, kind, id=f"{name}-{parameter}")
         for name, parameters in PARAMETERS.items() for parameter, kind in parameters],
    )
    def test_each_parameter_has_its_kind_and_is_named_in_the_note(self, name, parameter, kind):
        arguments = valid_arguments(name) | {parameter: "x"}
        expected = TypeError("Can't extract `str` to `Vec`") if kind == S else interpreter_error("x")
        raises_like(expected, lambda: getattr(lumora, name)(**arguments), f"while processing '{parameter}'")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


MinusOne = type("MinusOne", (), {"__float__": lambda self: -1.0})
Real = type("Real", (float,), {})


class Raises:
    """__float__ raises a new `error_type(message)` on every call."""

    def __init__(self, error_type, message):
        self.error_type, self.message = error_type, message

    def __float__(self):
        raise self.error_type(self.message)


class NoteRefused(ValueError):
    def add_note(self, note):
        raise RuntimeError("no notes")


class Indexed:
    """Items by __getitem__ only; index `fail_at` raises LookupError."""

    def __init__(self, items, length=None, fail_at=None):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __getitem__(self, index):
        if index == self.fail_at:
            raise LookupError(f"item {index} is broken")
        return self.items[index]


class Sized(Indexed):
    """Indexed with a __len__ that reports `length`, or raises when it is None."""

    def __len__(self):
        if self.length is None:
            raise RuntimeError("no length")
        return self.length


class Mutating(list):
    """A list that changes itself while the module iterates over it."""

    def __init__(self, values, action):
        super().__init__(values)
        self.action = action

    def __iter__(self):
        for i, value in enumerate(list.__iter__(self)):
            if self.action == "clear" and i == 1:
                self.clear()
            elif self.action == "grow" and i < 50:
                self.append(value)
            elif self.action == "shrink" and len(self) > 1:
                self.pop()
            yield value


class Holder:
    class Iterable:
        def __iter__(self):
            return iter([1.0])


class TestFloatArgument:
    """`re` of witt_mao_magnification, compared with the call on the plain float."""

    @pytest.mark.parametrize(("value", "expected"), [
        pytest.param(2, 2.0, id="int"),
        pytest.param(True, 1.0, id="bool"),
        pytest.param(Real(0.5), 0.5, id="float-subclass"),
        pytest.param(Index(3), 3.0, id="index"),
        pytest.param(MinusOne(), -1.0, id="float-returns-minus-one"),
    ])
    def test_accepted(self, value, expected):
        assert repr(W([0.5, 2.0], value, 0.1)) == repr(W([0.5, 2.0], expected, 0.1))

    @pytest.mark.parametrize("value", [
        pytest.param("1.0", id="str"),
        pytest.param(None, id="none"),
        pytest.param([1.0], id="list"),
        pytest.param(10**400, id="int-too-large"),
        pytest.param(Raises(ZeroDivisionError, "from __float__"), id="float-raises"),
    ])
    def test_refused_with_the_interpreters_exception(self, value):
        raises_like(interpreter_error(value), lambda: W([0.5], value, 0.1), "while processing 're'")


SEQUENCES_ACCEPTED = [
    pytest.param((0.5, 1.5), [0.5, 1.5], id="tuple"),
    pytest.param(range(3), [0.0, 1.0, 2.0], id="range"),
    pytest.param(b"\x01\x02", [1.0, 2.0], id="bytes"),
    pytest.param(bytearray(b"\x03"), [3.0], id="bytearray"),
    pytest.param(array.array("d", [0.25, 4.0]), [0.25, 4.0], id="array"),
    pytest.param([1, 2, 3], [1.0, 2.0, 3.0], id="ints"),
    pytest.param([True, Index(2), Real(2.5), MinusOne()], [1.0, 2.0, 2.5, -1.0], id="mixed-numbers"),
    pytest.param(Sized([0.5, 1.5], length=2), [0.5, 1.5], id="getitem-and-len"),
    pytest.param(Indexed([0.5, 1.5]), [0.5, 1.5], id="getitem-only"),
    pytest.param(Sized([0.5, 1.5]), [0.5, 1.5], id="len-raises"),
    pytest.param(Sized([0.5, 1.5], length=1000), [0.5, 1.5], id="len-overstates"),
    pytest.param(Sized([0.5, 1.5, 2.5], length=1), [0.5, 1.5, 2.5], id="len-understates"),
] + ([pytest.param(numpy.array([0.5, 1.5]), [0.5, 1.5], id="numpy-1d")] if numpy is not None else [])

SEQUENCES_REFUSED = [
    pytest.param("0.5", "Can't extract `str` to `Vec`", id="str"),
    pytest.param(type("Text", (str,), {})("0.5"), "Can't extract `str` to `Vec`", id="str-subclass"),
    pytest.param(5.0, "'float' object is not an instance of 'Sequence'", id="float"),
    pytest.param(None, "'None' is not an instance of 'Sequence'", id="none"),
    pytest.param({0: 1.0}, "'dict' object is not an instance of 'Sequence'", id="dict"),
    pytest.param({1.0}, "'set' object is not an instance of 'Sequence'", id="set"),
    pytest.param((x for x in [1.0]), "'generator' object is not an instance of 'Sequence'", id="generator"),
    pytest.param(iter([1.0]), "'list_iterator' object is not an instance of 'Sequence'", id="iterator"),
    pytest.param(Holder.Iterable(), "'Holder.Iterable' object is not an instance of 'Sequence'", id="qualname"),
]


class TestSequenceArgument:
    """`l` of witt_mao_magnification, compared with the call on a list of floats."""

    @pytest.mark.parametrize(("value", "expected"), SEQUENCES_ACCEPTED)
    def test_accepted(self, value, expected):
        assert repr(W(value, 1.0, 0.1)) == repr(W(expected, 1.0, 0.1))

    @pytest.mark.parametrize(("value", "message"), SEQUENCES_REFUSED)
    def test_refused(self, value, message):
        raises_like(TypeError(message), lambda: W(value, 1.0, 0.1), "while processing 'l'")

    @pytest.mark.parametrize("element", [
        pytest.param("0.5", id="str"),
        pytest.param(10**400, id="int-too-large"),
        pytest.param(Raises(ArithmeticError, "from __float__"), id="float-raises"),
    ])
    def test_a_bad_element_raises_the_interpreters_exception(self, element):
        raises_like(interpreter_error(element), lambda: W([0.5, element, 1.5], 1.0, 0.1), "while processing 'l'")

    @pytest.mark.parametrize("value", [
        pytest.param(Indexed([0.5, 1.5, 2.5], fail_at=1), id="getitem-only"),
        pytest.param(Sized([0.5, 1.5], length=2, fail_at=1), id="getitem-and-len"),
    ])
    def test_an_error_while_iterating_is_raised_unchanged(self, value):
        raises_like(LookupError("item 1 is broken"), lambda: W(value, 1.0, 0.1), "while processing 'l'")

    # Whatever the sequence does to itself while it is read, the call
    # returns floats and does not crash.
    @pytest.mark.parametrize("action", ["clear", "grow", "shrink"])
    @pytest.mark.parametrize("name", ["witt_mao_magnification", "integrated_heyrovsky_magnification",
                                      "discrete_flux_map_heyrovsky_magnification"])
    def test_a_sequence_that_changes_while_read(self, name, action):
        arguments = valid_arguments(name) | {"l": Mutating([0.5, 1.0, 1.5, 2.0], action)}
        result = getattr(lumora, name)(**arguments)
        assert result and all(isinstance(x, float) for x in result)

    # Regression: the reservation from len() used to escape as PanicException.
    @pytest.mark.address_space
    @pytest.mark.parametrize("value", [
        pytest.param(range(10**18), id="range"),
        pytest.param(Sized([0.5, 1.5], length=2**62), id="len-2**62"),
        pytest.param(Sized([0.5, 1.5], length=2**63 - 1), id="len-2**63-1"),
    ])
    def test_a_length_no_vector_can_hold_is_a_memory_error(self, value):
        with pytest.raises(MemoryError) as info:
            W(value, 1.0, 0.1)
        assert info.value.__notes__ == ["while processing 'l'"]


def outcome(call):
    """What `call` gives: the bits of its floats, or its exception's type, args and notes."""
    try:
        result = call()
    except Exception as error:
        return type(error), error.args, getattr(error, "__notes__", None)
    flat = [x for item in result for x in (item if isinstance(item, list) else [item])]
    return struct.pack(f"{len(flat)}d", *flat)


def generic_outcome(value):
    """The outcome of witt_mao_magnification on list(value), or, when list()
    itself fails, that failure with the conversion note."""
    try:
        items = list(value)
    except Exception as error:
        return type(error), error.args, ["while processing 'l'"]
    return outcome(lambda: W(items, 1.0, 0.1))


# Values with every special case a buffer could garble: signed zero, NaN,
# infinities, the smallest subnormal, the largest finite double.
SPECIAL = [0.7, -0.0, math.nan, math.inf, -math.inf, 5e-324, 1.7976931348623157e308, -2.0, 1.5]


def released_memoryview():
    view = memoryview(array.array("d", [0.5]))
    view.release()
    return view


class ArrayIter(array.array):
    def __iter__(self):
        return (2 * x for x in super().__iter__())


class ArrayGetitem(array.array):
    def __getitem__(self, index):
        return 2 * super().__getitem__(index)


CONTAINERS = [
    pytest.param(tuple, id="tuple"),
    pytest.param(lambda items: array.array("d", items), id="array"),
    pytest.param(lambda items: memoryview(array.array("d", items)), id="memoryview"),
] + ([
    pytest.param(lambda items: numpy.array(items, dtype=numpy.float64), id="numpy-float64"),
    pytest.param(lambda items: numpy.array(items, dtype="<f8"), id="numpy-little-endian"),
    pytest.param(lambda items: numpy.frombuffer(b"\0" + numpy.array(items).tobytes(), offset=1), id="numpy-unaligned"),
] if numpy is not None else [])

# Containers the buffer must not be read from: each gives what its list() gives.
GENERIC = [
    pytest.param(lambda: ArrayIter("d", [0.5, 1.5]), id="array-subclass-iter"),
    pytest.param(lambda: ArrayGetitem("d", [0.5, 1.5]), id="array-subclass-getitem"),
    pytest.param(lambda: array.array("f", [0.1, 1.5]), id="array-float32"),
    pytest.param(lambda: memoryview(array.array("d", [0.5, 1.5, 2.5]))[::2], id="memoryview-strided"),
    pytest.param(lambda: memoryview(array.array("q", [1, 2])), id="memoryview-int64"),
    pytest.param(released_memoryview, id="memoryview-released"),
] + ([
    pytest.param(lambda: numpy.arange(0.5, 3.0)[::2], id="numpy-non-contiguous"),
    pytest.param(lambda: numpy.arange(0.5, 3.0)[::-1], id="numpy-reversed"),
    pytest.param(lambda: numpy.array(SPECIAL, dtype=">f8"), id="numpy-byte-swapped"),
    pytest.param(lambda: numpy.array([0.1, 1.5], dtype=numpy.float32), id="numpy-float32"),
    pytest.param(lambda: numpy.array([1, 2], dtype=numpy.int64), id="numpy-int64"),
    pytest.param(lambda: numpy.array([0.5, Index(2)], dtype=object), id="numpy-object"),
    pytest.param(lambda: numpy.array([0.5, "x"], dtype=object), id="numpy-object-bad-item"),
    pytest.param(lambda: numpy.array([[0.5, 1.5]]), id="numpy-2d"),
    pytest.param(lambda: numpy.array(0.5), id="numpy-0d"),
    pytest.param(lambda: numpy.ma.array([0.5, 1.5, 2.5], mask=[False, True, False]), id="numpy-masked"),
    pytest.param(lambda: type("Sub", (numpy.ndarray,), {"__iter__": lambda self: iter([9.0])})(2),
                 id="numpy-subclass-iter"),
] if numpy is not None else [])


class TestContainers:
    @pytest.mark.parametrize("container", CONTAINERS)
    @pytest.mark.parametrize("name", [name for name, parameters in PARAMETERS.items() if (S in dict(parameters).values())])
    def test_every_container_gives_the_bits_of_a_list(self, name, container):
        arguments = valid_arguments(name) | ({"l": SPECIAL} if dict(PARAMETERS[name])["l"] == S else {})
        function = getattr(lumora, name)
        converted = {key: container(value) if dict(PARAMETERS[name])[key] == S else value
                     for key, value in arguments.items()}
        assert outcome(lambda: function(**converted)) == outcome(lambda: function(**arguments))

    @pytest.mark.parametrize("make", GENERIC)
    def test_other_buffers_take_the_general_path(self, make):
        assert outcome(lambda: W(make(), 1.0, 0.1)) == generic_outcome(make())


class TestConversionNote:
    def test_only_the_first_failing_parameter_is_reported(self):
        raises_like(TypeError("Can't extract `str` to `Vec`"), lambda: FLUX("x", None, 0.1, 5.0, [1.0]),
                    "while processing 'l'")

    def test_a_refused_note_leaves_the_exception_unchanged(self):
        with pytest.raises(NoteRefused) as info:
            W([Raises(NoteRefused, "bad element")], 1.0, 0.1)
        assert info.value.args == ("bad element",)
        assert not hasattr(info.value, "__notes__")
