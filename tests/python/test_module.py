"""The module's face: attributes, argument binding and its exact messages, str input."""
import ast
import gc
import inspect
import pathlib
import subprocess
import sys
import types

import pytest

import quillet
import quillet_tree


class Outer:
    class Inner:
        pass


class Text(str):
    pass


def test_module_attributes():
    assert quillet.__all__ == ["parse"]
    assert quillet.__doc__ == ""
    assert isinstance(quillet.parse, types.BuiltinFunctionType)
    assert quillet.parse.__self__ is quillet
    assert quillet.parse.__module__ == "quillet"
    assert {name for name in dir(quillet) if not name.startswith("__")} == {"parse"}


def test_importing_warns_of_nothing():
    # A C API version the interpreter does not know, say, only warns.
    out = subprocess.run([sys.executable, "-W", "error", "-c", "import quillet, quillet_tree"],
                         capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stderr) == (0, "")


BINDING_ERRORS = [
    ((), {}, "parse() missing 1 required positional argument: 'input'"),
    (("a", "b"), {}, "parse() takes 1 positional arguments but 2 were given"),
    (("a", "b", "c"), {}, "parse() takes 1 positional arguments but 3 were given"),
    # the positional count is checked before any keyword
    (("a", "b"), {"text": "c"}, "parse() takes 1 positional arguments but 2 were given"),
    (("a",), {"input": "b"}, "parse() got multiple values for argument 'input'"),
    ((), {"text": "a"}, "parse() got an unexpected keyword argument 'text'"),
    (("a",), {"Input": "b"}, "parse() got an unexpected keyword argument 'Input'"),
    # keywords are checked in the order the call gives them
    ((), {"input": "a", "text": "b"}, "parse() got an unexpected keyword argument 'text'"),
    ((), {"text": "b", "input": "a"}, "parse() got an unexpected keyword argument 'text'"),
    (("a",), {"text": "b", "input": "c"}, "parse() got an unexpected keyword argument 'text'"),
    (("a",), {"input": "b", "text": "c"}, "parse() got multiple values for argument 'input'"),
    # binding comes before the type check of the argument
    ((1, 2), {}, "parse() takes 1 positional arguments but 2 were given"),
    ((), {"text": 1}, "parse() got an unexpected keyword argument 'text'"),
]


@pytest.mark.parametrize("args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        quillet.parse(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "value, qualname",
    [
        (1, "int"),
        (None, "NoneType"),
        (b"x", "bytes"),
        (bytearray(b"x"), "bytearray"),
        (["x"], "list"),
        (Outer.Inner(), "Outer.Inner"),
        (Outer, "type"),
    ],
)
@pytest.mark.parametrize("by_keyword", [False, True])
def test_non_str_argument(value, qualname, by_keyword):
    with pytest.raises(TypeError) as info:
        quillet.parse(input=value) if by_keyword else quillet.parse(value)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'input': '{qualname}' object cannot be converted to 'PyString'"


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", None),
        ("hello", ["hello"]),
        (Text("hello"), ["hello"]),
        ("h\u00e9llo \u4e16\u754c \U0001f600", ["h\u00e9llo \u4e16\u754c \U0001f600"]),
        ("a\x00b", ["a\x00b"]),
    ],
)
def test_plain_text(text, expected):
    assert quillet.parse(text) == expected
    assert quillet.parse(input=text) == expected


def test_str_subclass_comes_back_as_plain_str():
    (out,) = quillet.parse(Text("hello"))
    assert type(out) is str


# Surrogates in 2- and 4-byte storage (an emoji widens the str), at the
# edges of the blocks the check tests at once and in the scalar tail.
SURROGATE_TEXTS = ["\udc80", "a\ud800b", "<p>\udfff</p>"] + [
    prefix * n + "\udfff" + "x" * tail
    for prefix in ("a", "\U0001F600")
    for n in (0, 63, 64, 65, 200)
    for tail in (0, 70)
]


@pytest.mark.parametrize("text", SURROGATE_TEXTS)
def test_lone_surrogate_raises_the_encoders_error(text):
    with pytest.raises(UnicodeEncodeError) as info:
        quillet.parse(text)
    assert info.value.encoding == "utf-8"
    assert info.value.reason == "surrogates not allowed"
    assert quillet.parse("after") == ["after"]


@pytest.mark.parametrize("text", ["x" * 300, "\u00e9" * 300, "\u0100" * 300, "\U0001F600" * 300])
def test_no_surrogate_in_any_width_parses(text):
    assert quillet.parse(text) == [text]


# A text run longer than one copy, plain ASCII, where the input holds a
# wider character before or after it: the run is that slice of the input.
@pytest.mark.parametrize("before, after", [("\u00e9", ""), ("", "\u00e9"), ("\u4e2d", ""), ("\U0001F600", "")])
def test_a_long_ascii_run_beside_a_wider_character(before, after):
    run = "a" * ((1 << 22) + 3)
    text = before + "<b></b>" + run + "<b></b>" + after
    tree = quillet.parse(text)
    assert tree[tree.index(run)] == text[len(before) + 7:len(before) + 7 + len(run)]



def legacy_str(text):
    """A str made through the wide-character API of Python 3.11 and earlier,
    whose characters are not in their canonical storage until it is made ready."""
    import ctypes
    import warnings

    api = ctypes.pythonapi
    api.PyUnicode_FromUnicode.restype = ctypes.py_object
    api.PyUnicode_FromUnicode.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
    api.PyUnicode_AsUnicode.restype = ctypes.c_void_p
    api.PyUnicode_AsUnicode.argtypes = [ctypes.py_object]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        made = api.PyUnicode_FromUnicode(None, len(text))
        size = len(text) * ctypes.sizeof(ctypes.c_wchar)
        ctypes.memmove(api.PyUnicode_AsUnicode(made), ctypes.create_unicode_buffer(text), size)
    return made


MARKUP = '<p id="i" class="a b">\u00e9 \U0001f600 <br/></p> tail'


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="the wide-character API is gone from 3.12 on")
@pytest.mark.parametrize(
    "call, text",
    [
        (quillet.parse, MARKUP),
        (quillet_tree.from_json, '{"k": [1, "\\u00e9", "\u00e9\U0001f600"]}'),
        (quillet_tree.to_json, MARKUP),
        (lambda s: quillet_tree.equal([s], [MARKUP]), MARKUP),
        (lambda s: quillet_tree.to_markup([{**quillet.parse(MARKUP)[0], "id": s, "title": s}]),
         "a\u00e9\U0001f600"),
    ],
    ids=["parse", "from_json", "to_json", "equal", "to_markup"],
)
def test_str_from_the_wide_character_api_is_read(call, text):
    assert call(legacy_str(text)) == call(text)


# The stubs installed beside the module (a copy of the tests run against a
# wheel has none of its own), else the checkout's.
STUBS = next((path for path in (pathlib.Path(quillet.__file__).parent / "quillet-stubs" / "__init__.pyi",
                                pathlib.Path(__file__).resolve().parents[2] / "quillet-stubs" / "__init__.pyi")
              if path.is_file()), None)


@pytest.mark.skipif(STUBS is None, reason="no quillet-stubs installed or in the checkout")
def test_signature_and_docstring_are_the_stubs():
    stub = next(node for node in ast.parse(STUBS.read_text()).body
                if isinstance(node, ast.FunctionDef) and node.name == "parse")
    assert quillet.parse.__doc__ == ast.get_docstring(stub, clean=True)
    signature = inspect.signature(quillet.parse)
    assert [(p.name, p.kind) for p in signature.parameters.values()] == [
        (arg.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD) for arg in stub.args.args]
    # The signature binds what parse binds, and refuses what it refuses.
    signature.bind("a")
    signature.bind(input="a")
    for args, kwargs, _ in BINDING_ERRORS:
        with pytest.raises(TypeError):
            signature.bind(*args, **kwargs)


TREE_INIT = pathlib.Path(quillet_tree.__file__)


@pytest.mark.parametrize("name", ["copy", "equal"])
def test_the_c_functions_of_quillet_tree_have_their_stubs_signature(name):
    # quillet_tree.copy and equal are the C functions themselves, typed for
    # checkers by stubs under TYPE_CHECKING: their text signatures agree.
    stub = next(node for node in ast.walk(ast.parse(TREE_INIT.read_text()))
                if isinstance(node, ast.FunctionDef) and node.name == name)
    parameters = inspect.signature(getattr(quillet_tree, name)).parameters.values()
    assert [(p.name, p.kind) for p in parameters] == [
        (arg.arg, inspect.Parameter.POSITIONAL_ONLY) for arg in stub.args.posonlyargs]
    assert not stub.args.args and stub.args.posonlyargs
