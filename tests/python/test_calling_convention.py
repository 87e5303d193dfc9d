"""The calling convention every function of the module shows its callers."""
import fractions
import functools
import inspect
import sys

import pytest

import qoxcrypto.crypto as crypto


def raises_type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


# 1. Argument counts and keywords -------------------------------------------

COUNT_AND_KEYWORD_CASES = [
    (lambda: crypto._xtime(), "_xtime() takes exactly 1 positional argument (0 given)"),
    (lambda: crypto._xtime(1, 2), "_xtime() takes exactly 1 positional argument (2 given)"),
    (lambda: crypto._xtime(b=1), "_xtime() takes exactly 1 positional argument (0 given)"),
    (lambda: crypto._xtime(1, a=2), "_xtime() got multiple values for keyword argument 'a'"),
    (lambda: crypto._xtime(1, b=2), "_xtime() got an unexpected keyword argument 'b'"),
    (lambda: crypto._mul(1), "_mul() takes exactly 2 positional arguments (1 given)"),
    (lambda: crypto._mul(1, 2, 3), "_mul() takes exactly 2 positional arguments (3 given)"),
    # A missing required parameter is reported before a keyword problem.
    (lambda: crypto._mul(1, c=3), "_mul() takes exactly 2 positional arguments (1 given)"),
    (lambda: crypto._mul(a=1), "_mul() takes exactly 2 positional arguments (1 given)"),
    (lambda: crypto._mul(b=1), "_mul() takes exactly 2 positional arguments (0 given)"),
    (lambda: crypto._mul(1, 2, c=3), "_mul() got an unexpected keyword argument 'c'"),
    (lambda: crypto._mul(1, b=2, a=3), "_mul() got multiple values for keyword argument 'a'"),
    (lambda: crypto._mul(1, b=2, c=3, a=4), "_mul() got an unexpected keyword argument 'c'"),
    (lambda: crypto._build_sbox(1), "_build_sbox() takes no arguments (1 given)"),
    (lambda: crypto._build_sbox(1, 2), "_build_sbox() takes no arguments (2 given)"),
    (lambda: crypto._build_sbox(x=1), "_build_sbox() takes no keyword arguments"),
    (lambda: crypto._build_sbox(1, x=1), "_build_sbox() takes no keyword arguments"),
]


@pytest.mark.parametrize("call, message", COUNT_AND_KEYWORD_CASES)
def test_count_and_keyword_messages(call, message):
    assert raises_type_error(call) == message


@pytest.mark.skipif(not hasattr(crypto, "QOXStringCrypto"), reason="class not built")
@pytest.mark.parametrize("args, message", [
    ((), "__init__() takes at least 2 positional arguments (1 given)"),
    ((b"k" * 32, True, 1), "__init__() takes at most 3 positional arguments (4 given)"),
])
def test_defaulted_parameter_counts_include_self(args, message):
    assert raises_type_error(lambda: crypto.QOXStringCrypto(*args)) == message


@pytest.mark.parametrize("call, expected", [
    (lambda: crypto._xtime(a=0x57), 0xAE),
    (lambda: crypto._mul(b=0x83, a=0x57), 0xC1),
    (lambda: crypto._mul(0x57, b=0x83), 0xC1),
    (lambda: crypto._mul(*[0x57], **{"b": 0x83}), 0xC1),
])
def test_keywords_bind_by_name(call, expected):
    assert call() == expected


# 2. Int conversion before exact-type checks ---------------------------------

class IndexOnly:
    def __index__(self):
        return 3


@pytest.mark.parametrize("value, as_int", [
    (True, 1), (False, 0), (2.9, 2), (-2.9, -2), (fractions.Fraction(7, 2), 3),
    (IndexOnly(), 3), (2**100 + 1, 2**100 + 1),
])
def test_numbers_are_converted_with_int(value, as_int):
    assert crypto._xtime(value) == crypto._xtime(as_int)
    assert crypto._ror8(w=value) == crypto._ror8(as_int)


@pytest.mark.parametrize("value, type_name", [
    (None, "NoneType"), ("1", "str"), (b"1", "bytes"), (bytearray(b"1"), "bytearray"),
    ([1], "list"), (object(), "object"),
])
def test_non_numbers_are_refused_for_int_parameters(value, type_name):
    message = raises_type_error(lambda: crypto._mul(1, value))
    assert message == ("Argument 'b' has incorrect type (expected int, got %s)" % type_name)


@pytest.mark.parametrize("value", [1j, float("nan"), float("inf")])
def test_conversion_errors_are_the_hosts_own(value):
    with pytest.raises(Exception) as expected:
        int(value)
    with pytest.raises(type(expected.value)) as got:
        crypto._xtime(value)
    assert str(got.value) == str(expected.value)


@pytest.mark.skipif(not hasattr(crypto, "_to_rounds"), reason="key schedule not built")
def test_int_parameter_is_checked_before_exact_types():
    message = raises_type_error(lambda: crypto._to_rounds(None, None))
    assert message == "Argument 'nr' has incorrect type (expected int, got NoneType)"


@pytest.mark.skipif(not hasattr(crypto, "_expand_key"), reason="key schedule not built")
@pytest.mark.parametrize("value, type_name", [
    (bytearray(32), "bytearray"), (None, "NoneType"), (memoryview(bytes(32)), "memoryview"),
    ("k" * 32, "str"),
])
def test_bytes_parameters_require_exact_bytes(value, type_name):
    message = raises_type_error(lambda: crypto._expand_key(value))
    assert message == ("Argument 'key' has incorrect type (expected bytes, got %s)" % type_name)


@pytest.mark.skipif(not hasattr(crypto, "_expand_key"), reason="key schedule not built")
def test_subclass_of_builtin_type_is_refused_with_a_note():
    class Key(bytes):
        pass
    message = raises_type_error(lambda: crypto._expand_key(Key(32)))
    prefix = "Argument 'key' has incorrect type (expected bytes, got Key). "
    assert message.startswith(prefix) and "subclass" in message[len(prefix):]


# 3. Function objects behave like host functions -----------------------------

def test_function_binds_as_a_method():
    class Plain:
        xtime = crypto._xtime

    class Number(int):
        mul = crypto._mul

    assert Plain.xtime(0x57) == 0xAE
    assert Number(0x57).mul(0x83) == 0xC1
    assert raises_type_error(lambda: Plain().xtime()) == (
        "Argument 'a' has incorrect type (expected int, got Plain)")
    assert raises_type_error(lambda: Plain().xtime(1)) == (
        "_xtime() takes exactly 1 positional argument (2 given)")
    assert crypto._xtime.__get__(None, Plain) is crypto._xtime


@pytest.mark.parametrize("func, annotations, doc, signature", [
    (crypto._xtime, {"a": "int", "return": "int"}, "GF(2^8) 上乘以 0x02", "(a: 'int') -> 'int'"),
    (crypto._mul, {"a": "int", "b": "int", "return": "int"}, "GF(2^8) 乘法",
     "(a: 'int', b: 'int') -> 'int'"),
    (crypto._build_sbox, {"return": "Tuple[bytes, bytes]"},
     "生成 AES S 盒与其逆盒（乘法逆元 + 仿射变换）", "() -> 'Tuple[bytes, bytes]'"),
    (crypto._ror8, {"w": "int", "return": "int"}, None, "(w: 'int') -> 'int'"),
])
def test_function_attributes(func, annotations, doc, signature):
    name = signature and func.__name__
    assert func.__qualname__ == name and func.__module__ == "qoxcrypto.crypto"
    assert func.__doc__ == doc and func.__defaults__ is None
    assert func.__annotations__ == annotations
    assert str(inspect.signature(func)) == signature
    assert repr(func).startswith("<function %s at 0x" % name)


def test_functools_wraps_keeps_annotations():
    @functools.wraps(crypto._mul)
    def wrapper(*args):
        return crypto._mul(*args)
    assert wrapper.__annotations__ == {"a": "int", "b": "int", "return": "int"}


def test_attribute_setters_keep_their_invariants():
    func = crypto._ror8
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        func.__name__ = 1
    with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
        func.__defaults__ = [1]
    func.note = "x"
    try:
        assert func.__dict__ == {"note": "x"}
    finally:
        del func.note
    assert func.__dict__ == {}


# 4. No reference leaks on any call shape ------------------------------------

@pytest.mark.parametrize("call", [case[0] for case in COUNT_AND_KEYWORD_CASES] + [
    lambda: crypto._mul(BIG, BIG),
    lambda: crypto._xtime(BIG_FLOAT),
    lambda: crypto._mul(BIG, "x"),
    lambda: crypto._mul(BIG, -BIG),
])
def test_calls_do_not_leak_references(call):
    def run():
        for _ in range(200):
            try:
                call()
            except (TypeError, ValueError):
                pass
    run()
    before = sys.getrefcount(BIG), sys.getrefcount(BIG_FLOAT)
    run()
    assert (sys.getrefcount(BIG), sys.getrefcount(BIG_FLOAT)) == before


BIG = 2**200 + 12345
BIG_FLOAT = 1e30
