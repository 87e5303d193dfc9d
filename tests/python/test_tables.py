"""Round lookup tables: contents, the import binding, and _build_tables on rebound globals."""
import pytest

import aes_model as model
import qoxcrypto.crypto as crypto

NAMES = ["_TE0", "_TE1", "_TE2", "_TE3", "_TF0", "_TF1", "_TF2", "_TF3",
         "_TD0", "_TD1", "_TD2", "_TD3", "_TG0", "_TG1", "_TG2", "_TG3"]


def test_bound_tables_are_the_written_ones_in_order():
    for name, expected in zip(NAMES, model.TABLES):
        table = getattr(crypto, name)
        assert type(table) is list and table == expected, name
        assert all(type(v) is int and 0 <= v <= 0xFFFFFFFF for v in table), name


def test_last_round_tables_pack_the_box():
    # Anchors the model: _TF/_TG words pack S-box bytes, byte 0 first.
    for base, box in [("_TF", crypto._SBOX), ("_TG", crypto._INV_SBOX)]:
        t = [getattr(crypto, base + str(r)) for r in range(4)]
        assert t[0][0x53] | t[1][0xFF] | t[2][0x10] | t[3][7] == int.from_bytes(
            bytes([box[0x53], box[0xFF], box[0x10], box[7]]), "big")


@pytest.mark.parametrize("name, value", [
    ("_TE0", 0xC66363A5), ("_TE1", 0xA5C66363), ("_TE3", 0x6363A5C6),
    ("_TD0", 0x51F4A750), ("_TF0", 0x63000000), ("_TG0", 0x52000000),
])
def test_first_entries(name, value):
    assert getattr(crypto, name)[0] == value


def test_each_call_builds_new_lists():
    first, second = crypto._build_tables(), crypto._build_tables()
    assert type(first) is tuple and len(first) == 16
    assert list(first) == list(second) == list(model.TABLES)
    for a, b, bound in zip(first, second, NAMES):
        assert a is not b and a is not getattr(crypto, bound)


def test_interface():
    f = crypto._build_tables
    assert f.__doc__ == "构造加密/解密用的 4 张表 + 末轮用的 4 张表"
    assert f.__annotations__ == {}
    with pytest.raises(TypeError, match=r"^_build_tables\(\) takes no arguments \(1 given\)$"):
        f(1)
    with pytest.raises(TypeError, match=r"^_build_tables\(\) takes no keyword arguments$"):
        f(x=1)


# --- rebound globals: the general road on the objects found -----------------

OTHER_BOX = bytes((7 * x + 3) % 256 for x in range(256))


@pytest.mark.parametrize("name, value, expected", [
    ("_SBOX", OTHER_BOX, lambda: model.build_tables(sbox=OTHER_BOX)),
    ("_INV_SBOX", OTHER_BOX, lambda: model.build_tables(inv_sbox=OTHER_BOX)),
    ("_SBOX", list(model.SBOX), lambda: model.TABLES),           # equal content, other type
    ("_SBOX", bytearray(model.SBOX), lambda: model.TABLES),
    ("_ror8", lambda w: w ^ 1, lambda: model.build_tables(ror8=lambda w: w ^ 1)),
    # The module's _mul reads the rebound _xtime as well.
    ("_xtime", lambda a: 0, lambda: model.build_tables(
        xtime=lambda a: 0, mul=lambda a, b: model.mul(a, b, xtime=lambda a: 0))),
])
def test_rebound_globals_are_used(monkeypatch, name, value, expected):
    monkeypatch.setattr(crypto, name, value)
    assert list(crypto._build_tables()) == list(expected())


def test_rebound_functions_are_called_as_written(monkeypatch):
    calls = {"_xtime": 0, "_mul": 0, "_ror8": 0}

    def counting(name, function):
        def wrapper(*args):
            calls[name] += 1
            return function(*args)
        return wrapper

    for name, function in [("_xtime", model.xtime), ("_mul", model.mul), ("_ror8", model.ror8)]:
        monkeypatch.setattr(crypto, name, counting(name, function))
    assert list(crypto._build_tables()) == list(model.TABLES)
    # _xtime: 256 direct calls; the model's _mul does not go through the global.
    assert calls == {"_xtime": 256, "_mul": 1024, "_ror8": 1536}


@pytest.mark.parametrize("name", ["_SBOX", "_INV_SBOX", "_xtime", "_mul", "_ror8"])
def test_missing_global_is_a_name_error(monkeypatch, name):
    monkeypatch.delattr(crypto, name)
    with pytest.raises(NameError, match="^name '%s' is not defined$" % name):
        crypto._build_tables()


def test_error_of_a_rebound_function_propagates(monkeypatch):
    def broken(w):
        raise ArithmeticError("from _ror8")
    monkeypatch.setattr(crypto, "_ror8", broken)
    with pytest.raises(ArithmeticError, match="from _ror8"):
        crypto._build_tables()
