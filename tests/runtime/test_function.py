"""The function object: argument binding and its errors, exact-type checks, binding to
instances, and what introspection (inspect, asyncio, pydoc, functools) sees, compared with
functions written in Python."""

import annotationlib
import asyncio
import builtins
import collections
import copy
import functools
import gc
import inspect
import pickle
import pydoc
import sys
import types
import typing
import warnings

import pytest

import _pyrt_testmod as m
from conftest import PUBLIC_PATHS

from .twins import NATIVE, differential, drive, outcome

pytestmark = pytest.mark.leakcheck

Py_TPFLAGS_HAVE_VECTORCALL = 1 << 11


class Holder:
    bound_pair = m.bound_pair
    operation = m.await_value


class NativeHolder:
    bound_pair = NATIVE.bound_pair
    operation = NATIVE.await_value


def holder_of(impl):
    return Holder if impl is m else NativeHolder


def test_arguments_bind_by_position_or_keyword():
    assert type(m.add).__flags__ & Py_TPFLAGS_HAVE_VECTORCALL

    def scenario(impl):
        return [
            impl.add(1, 2),
            impl.add(1, right=20),
            impl.add(left=100, right=2),
            impl.add(right=2, left=3),
            impl.add(*(4, 5)),
            impl.add(**{"left": 6, "right": 7}),
            drive(impl.typed(text="t", data={})),
        ]

    assert differential(scenario) == [3, 21, 102, 5, 9, 13, ("t", {})]


CALLS = {
    "missing one": lambda f: f.add(1),
    "missing all": lambda f: f.add(),
    "missing three": lambda f: f.handle_then_await(),
    "missing before keyword": lambda f: f.add(right=1),
    "surplus": lambda f: f.add(1, 2, 3),
    "surplus to one": lambda f: f.return_value(1, 2),
    "unknown keyword": lambda f: f.add(1, 2, x=3),
    "unknown keyword with hint": lambda f: f.add(lefft=1, right=2),
    "unknown keyword before surplus": lambda f: f.add(1, 2, 3, x=4),
    "duplicate": lambda f: f.add(1, left=2),
    "duplicate before surplus": lambda f: f.add(1, 2, 3, right=4),
    "non-string keyword": lambda f: f.add(1, **{1: 2}),
    "bound surplus": lambda f: holder_of(f)().bound_pair(1, 2),
    "bound missing": lambda f: holder_of(f)().bound_pair(),
}


@pytest.mark.parametrize("call", sorted(CALLS))
def test_argument_errors_are_worded_as_python_words_them(call):
    if PUBLIC_PATHS and call.endswith("with hint"):
        pytest.skip("the hint is the interpreter's own engine's, a private path (test_compat compares)")
    result = differential(lambda impl: outcome(lambda: CALLS[call](impl)))
    assert result[:2] == ("raised", TypeError)


class Text(str):
    pass


@pytest.mark.parametrize(
    "arguments, message",
    [
        ((1, {}), "Argument 'text' has incorrect type (expected str, got int)"),
        ((Text("t"), {}), "Argument 'text' has incorrect type (expected str, got Text)"),
        (
            ("t", collections.OrderedDict()),
            "Argument 'data' has incorrect type (expected dict, got collections.OrderedDict)",
        ),
        (("t", None), "Argument 'data' has incorrect type (expected dict, got NoneType)"),
    ],
    ids=["int", "str-subclass", "dict-subclass", "none"],
)
def test_exact_type_checks_fail_the_call_before_a_coroutine_exists(arguments, message):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError) as raised:
            m.typed(*arguments)
        with pytest.raises(TypeError) as by_keyword:
            m.typed(text=arguments[0], data=arguments[1])
        gc.collect()
    assert str(raised.value) == str(by_keyword.value) == message
    assert caught == []


def test_binds_like_a_python_function():
    def scenario(impl):
        holder_type = holder_of(impl)
        holder = holder_type()
        bound = holder.bound_pair
        return [
            holder_type.bound_pair is impl.bound_pair,
            type(bound) is types.MethodType,
            bound.__self__ is holder,
            bound.__func__ is impl.bound_pair,
            bound(1) == (holder, 1),
            bound(value=2) == (holder, 2),
            holder_type.bound_pair(holder, 3) == (holder, 3),
            impl.bound_pair.__get__(None, holder_type) is impl.bound_pair,
            type(holder.operation) is types.MethodType,
        ]

    assert all(differential(scenario))


def test_attributes_describe_the_function():
    def scenario(impl):
        return [
            (f.__name__, f.__qualname__, f.__doc__, f.__annotations__)
            for f in (impl.await_value, impl.add, impl.typed, impl.bound_pair)
        ]

    differential(scenario)
    assert m.add.__module__ == "_pyrt_testmod"
    assert m.typed.__annotations__ == {"text": "str", "data": "dict[str, Any]", "return": "tuple"}


def test_attributes_are_writable_like_a_python_function():
    def scenario(impl):
        function = impl.add
        saved = function.__qualname__, function.__doc__
        own_annotate = function.__annotate__
        try:
            function.marker = "set"
            function.__qualname__ = "Calculator.add"
            function.__doc__ = "Changed."
            after = [vars(function).get("marker"), function.__qualname__, function.__doc__]
            after.append(outcome(lambda: impl.add()))
            after.append(outcome(lambda: setattr(function, "__qualname__", 3)))

            @functools.wraps(function)
            def wrapper(*args, **kwargs):
                return function(*args, **kwargs)

            after += [wrapper.__qualname__, wrapper.__doc__, wrapper.marker]
            after.append(wrapper.__wrapped__ is function)
            after.append(str(inspect.signature(wrapper)))
            # wraps() carries the annotations over through __annotate__.
            after += [wrapper.__annotations__, typing.get_type_hints(wrapper)]
            function.__annotate__ = lambda format: {"left": "str"}
            after.append(function.__annotations__)
            function.__annotations__ = {"right": "bytes"}
            after += [function.__annotate__, str(inspect.signature(function))]
            for value in (1, "no"):
                after.append(outcome(lambda: setattr(function, "__annotate__", value)))
            after.append(outcome(lambda: delattr(function, "__annotate__")))
        finally:
            del function.marker
            function.__qualname__, function.__doc__ = saved
            function.__annotate__ = own_annotate
        after.append(hasattr(function, "marker"))
        return after

    after = differential(scenario)
    assert after[:3] == ["set", "Calculator.add", "Changed."]
    assert after[3][2] == (
        "Calculator.add() missing 2 required positional arguments: 'left' and 'right'"
    )


def test_namespace_attributes_resolve_string_annotations():
    def scenario(impl):
        described = []
        for f in (impl.add, impl.typed, impl.await_value):
            described.append([
                f.__globals__ is vars(sys.modules[f.__module__]),
                f.__builtins__ is vars(builtins),
                (f.__type_params__, f.__defaults__, f.__kwdefaults__, f.__closure__),
                typing.get_type_hints(f),
                inspect.get_annotations(f, eval_str=True),
                outcome(lambda: setattr(f, "__globals__", {}))[:2],
                outcome(lambda: setattr(f, "__type_params__", [])),
                f.__annotate__ is f.__annotate__,
                f.__annotate__(annotationlib.Format.VALUE) == f.__annotations__,
                outcome(lambda: f.__annotate__(annotationlib.Format.FORWARDREF))[:2],
            ])
        T = typing.TypeVar("T")
        impl.add.__type_params__ = (T,)
        try:
            described.append(impl.add.__type_params__ == (T,))
        finally:
            impl.add.__type_params__ = ()
        return described

    described = differential(scenario)
    assert described[1][3] == {"text": str, "data": dict[str, typing.Any], "return": tuple}


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_functions_pickle_and_copy_by_reference(protocol):
    def scenario(impl):
        kept = [
            [
                pickle.loads(pickle.dumps(f, protocol)) is f,
                copy.copy(f) is f,
                copy.deepcopy({"f": f})["f"] is f,
            ]
            for f in (impl.add, impl.await_value)
        ]
        coroutine = impl.return_value(None)
        refused = [outcome(lambda: pickle.dumps(coroutine, protocol))[:2]]
        refused.append(outcome(lambda: copy.copy(coroutine))[:2])
        coroutine.close()
        renamed = impl.add
        renamed.__qualname__ = "elsewhere"
        try:
            refused.append(outcome(lambda: pickle.dumps(renamed, protocol))[:2])
        finally:
            renamed.__qualname__ = "add"
        return kept, refused

    kept, refused = differential(scenario)
    assert kept == [[True, True, True]] * 2
    assert refused[0] == ("raised", TypeError)


@pytest.mark.parametrize("where", ["function", "class attribute", "bound method"])
def test_coroutine_functions_are_recognised(where):
    def targets(impl):
        holder_type = holder_of(impl)
        return {
            "function": (impl.await_value, impl.add),
            "class attribute": (holder_type.operation, holder_type.bound_pair),
            "bound method": (holder_type().operation, holder_type().bound_pair),
        }[where]

    def kinds(impl):
        with warnings.catch_warnings():  # asyncio's own test is deprecated, and still asked
            warnings.simplefilter("ignore", DeprecationWarning)
            return [(inspect.iscoroutinefunction(f), asyncio.iscoroutinefunction(f)) for f in targets(impl)]

    assert differential(kinds) == [(True, True), (False, False)]


def test_signature_has_the_string_annotations():
    def scenario(impl):
        holder = holder_of(impl)()
        return [
            inspect.signature(f)
            for f in (impl.add, impl.typed, impl.await_value, impl.bound_pair, holder.bound_pair)
        ]

    signatures = differential(scenario)
    assert str(signatures[1]) == "(text: 'str', data: 'dict[str, Any]') -> 'tuple'"
    assert signatures[1].parameters["data"].annotation == "dict[str, Any]"


def test_help_shows_the_signature_and_the_docstring():
    def body(target):
        # The title names the kind of object ("function" for a Python function); the rest must
        # match.
        title, _, rest = pydoc.render_doc(target, renderer=pydoc.plaintext).partition("\n")
        return rest.replace("NativeHolder", "Holder")

    def scenario(impl):
        holder = holder_of(impl)()
        return [body(impl.typed), body(impl.add), body(holder.operation)]

    rendered = differential(scenario)
    assert "async typed(text: str, data: dict[str, Any]) -> tuple" in rendered[0]
    assert "add(left: int, right: int) -> int\n    Add two numbers." in rendered[1]
