"""The CBC loops and their entry _aes_cbc: vectors, CBC properties, checks in their order, rebound
tables, the native backend and its fallback, hardware and table paths, a reference cipher."""
import os
import random
import struct
import subprocess
import sys

import pytest

import aes_model as model
import qoxcrypto.crypto as crypto
from conftest import ROOT

KEY = bytes(range(32))
ENC, DEC = model.expand_key(KEY)
IV = bytes(16)
PLAIN = bytes.fromhex("00112233445566778899aabbccddeeff")
CIPHER = bytes.fromhex("8ea2b7ca516745bfeafc49904b496089")
TABLE_NAMES = ["_TE0", "_TE1", "_TE2", "_TE3", "_TF0", "_TF1", "_TF2", "_TF3",
               "_TD0", "_TD1", "_TD2", "_TD3", "_TG0", "_TG1", "_TG2", "_TG3"]


@pytest.fixture(autouse=True)
def fresh_cache(monkeypatch):
    monkeypatch.setattr(crypto, "_KEY_CACHE", {})


def struct_error(fmt, buffer):
    with pytest.raises(struct.error) as info:
        struct.unpack(fmt, buffer)
    return str(info.value)


def as_lists(sched):
    nr, first, mid, last = sched
    return [nr, list(first), [list(k) for k in mid], list(last)]


def test_fips_197_c3():
    enc, dec = crypto._get_key(KEY)
    assert crypto._cbc_encrypt(enc, bytes(16), PLAIN) == CIPHER
    assert crypto._cbc_decrypt(dec, bytes(16), CIPHER) == PLAIN
    # Without a native backend _aes_cbc answers with the pure loops.
    assert crypto._NATIVE_AES is None
    assert crypto._aes_cbc(ENC, KEY, IV, PLAIN, True) == CIPHER
    assert crypto._aes_cbc(DEC, KEY, IV, CIPHER, False) == PLAIN
    assert crypto._aes_cbc(ENC, KEY, IV, b"", True) == b""


@pytest.mark.parametrize("function, sched", [(crypto._cbc_encrypt, ENC), (crypto._cbc_decrypt, DEC)])
def test_empty_data(function, sched):
    result = function(sched, bytes(16), b"")
    assert result == b"" and type(result) is bytes


def test_chaining():
    iv = bytes(range(16, 32))
    ct = crypto._cbc_encrypt(ENC, iv, PLAIN * 2)
    assert ct[:16] != ct[16:]
    assert crypto._cbc_decrypt(DEC, ct[:16], ct[16:]) == PLAIN
    assert crypto._cbc_decrypt(DEC, iv, ct) == PLAIN * 2


def test_iv_change_flips_the_plaintext_by_the_iv_difference():
    iv1, iv2 = bytes(16), bytes(range(100, 116))
    p1, p2 = crypto._cbc_decrypt(DEC, iv1, CIPHER), crypto._cbc_decrypt(DEC, iv2, CIPHER)
    assert bytes(a ^ b for a, b in zip(p1, p2)) == bytes(a ^ b for a, b in zip(iv1, iv2))


@pytest.mark.parametrize("shape", ["tuples", "lists", "mid tuple"])
def test_schedules_as_lists_or_tuples(shape):
    enc, dec = {"tuples": (ENC, DEC), "lists": (as_lists(ENC), as_lists(DEC)),
                "mid tuple": ((14, ENC[1], tuple(ENC[2]), ENC[3]), (14, DEC[1], tuple(DEC[2]), DEC[3]))}[shape]
    assert crypto._cbc_encrypt(enc, bytes(16), PLAIN) == CIPHER
    assert crypto._cbc_decrypt(dec, bytes(16), CIPHER) == PLAIN


def test_mid_is_iterated_again_for_every_block():
    data = bytes(range(64))
    one_shot = (14, ENC[1], iter(ENC[2]), ENC[3])
    expected = model.cbc((14, ENC[1], iter(ENC[2]), ENC[3]), bytes(16), data, True)
    assert crypto._cbc_encrypt(one_shot, bytes(16), data) == expected
    # Round keys given by arbitrary iterables work as well.
    gen_keys = (14, ENC[1], [iter(k) for k in ENC[2]], ENC[3])
    with pytest.raises(ValueError, match=r"^need more than 0 values to unpack$"):
        crypto._cbc_encrypt(gen_keys, bytes(16), data)       # exhausted in the second block
    assert crypto._cbc_encrypt(gen_keys[:2] + ([iter(k) for k in ENC[2]],) + gen_keys[3:],
                               bytes(16), data[:16]) == model.cbc(ENC, bytes(16), data[:16], True)


def test_middle_round_keys_changed_in_place_are_read_again():
    """The schedule's list of middle rounds is the one part that can change under a cached schedule."""
    enc, dec = crypto._get_key(bytes(range(100, 132)))
    data = bytes(range(48))
    for function, sched in ((crypto._cbc_encrypt, enc), (crypto._cbc_decrypt, dec)):
        before = function(sched, bytes(16), data)
        assert function(sched, bytes(16), data) == before
        mid, saved = sched[2], list(sched[2])
        try:
            for change in (lambda: mid.__setitem__(3, mid[4]), lambda: mid.pop(),
                           lambda: mid.__setitem__(0, tuple(list(mid[0])))):
                change()
                fresh = (sched[0], sched[1], list(mid), sched[3])
                assert function(sched, bytes(16), data) == function(fresh, bytes(16), data)
                assert model.cbc(fresh, bytes(16), data, function is crypto._cbc_encrypt) == \
                    function(sched, bytes(16), data)
        finally:
            mid[:] = saved
        assert function(sched, bytes(16), data) == before


@pytest.mark.parametrize("iv_len", [0, 15, 17])
@pytest.mark.parametrize("data", [b"", PLAIN])
def test_iv_of_wrong_length_is_struct_error(iv_len, data):
    iv = bytes(iv_len)
    for function, sched in [(crypto._cbc_encrypt, ENC), (crypto._cbc_decrypt, DEC)]:
        with pytest.raises(struct.error) as info:
            function(sched, iv, data)
        assert str(info.value) == struct_error(">4I", iv)


@pytest.mark.parametrize("length", [1, 15, 17, 31, 33])
def test_data_of_partial_block_is_struct_error(length):
    data = bytes(length)
    for function, sched in [(crypto._cbc_encrypt, ENC), (crypto._cbc_decrypt, DEC)]:
        with pytest.raises(struct.error) as info:
            function(sched, bytes(16), data)
        assert str(info.value) == struct_error(">%dI" % (4 * (length // 16)), data)


@pytest.mark.parametrize("sched, error, message", [
    ((14, ENC[1], ENC[2]), ValueError, r"^need more than 3 values to unpack$"),
    (ENC + (0,), ValueError, r"^too many values to unpack \(expected 4\)$"),
    ((14, ENC[1][:3], ENC[2], ENC[3]), ValueError, r"^need more than 3 values to unpack$"),
    ((14, ENC[1], ENC[2], ENC[3] + (0,)), ValueError, r"^too many values to unpack \(expected 4\)$"),
    ((14, (1,), ENC[2], ENC[3]), ValueError, r"^need more than 1 value to unpack$"),
    (None, TypeError, r"NoneType"),
    ((14, 5, ENC[2], ENC[3]), TypeError, r"int"),
])
def test_schedule_unpacking_comes_before_the_length_checks(sched, error, message):
    with pytest.raises(error, match=message):
        crypto._cbc_encrypt(sched, bytes(3), bytes(5))


def test_middle_round_keys_are_only_read_for_blocks():
    broken = (14, ENC[1], [(1, 2, 3)], ENC[3])
    assert crypto._cbc_encrypt(broken, bytes(16), b"") == b""
    with pytest.raises(ValueError, match=r"^need more than 3 values to unpack$"):
        crypto._cbc_encrypt(broken, bytes(16), PLAIN)
    assert crypto._cbc_encrypt((14, ENC[1], 42, ENC[3]), bytes(16), b"") == b""
    with pytest.raises(TypeError, match="int"):
        crypto._cbc_encrypt((14, ENC[1], 42, ENC[3]), bytes(16), PLAIN)


@pytest.mark.parametrize("arg, type_name", [
    (bytearray(16), "bytearray"), (None, "NoneType"), (type("Sub", (bytes,), {})(16), "Sub"), (memoryview(bytes(16)), "memoryview"),
])
def test_iv_and_data_must_be_exactly_bytes(arg, type_name):
    for function in (crypto._cbc_encrypt, crypto._cbc_decrypt):
        # Checked before the schedule is looked at.
        with pytest.raises(TypeError, match=r"^Argument 'iv' has incorrect type \(expected bytes, got %s\)" % type_name):
            function(None, arg, b"")
        with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected bytes, got %s\)" % type_name):
            function(None, bytes(16), arg)
    with pytest.raises(TypeError, match=r"^_cbc_encrypt\(\) takes exactly 3 positional arguments \(2 given\)$"):
        crypto._cbc_encrypt(ENC, bytes(16))


def test_keywords_and_interface():
    assert crypto._cbc_encrypt(data=PLAIN, iv=bytes(16), sched=ENC) == CIPHER
    for function, word in [(crypto._cbc_encrypt, "加密"), (crypto._cbc_decrypt, "解密")]:
        assert function.__doc__ == "AES-CBC %s（data 长度必须是 16 的倍数）" % word
        assert function.__annotations__ == {"iv": "bytes", "data": "bytes", "return": "bytes"}


# --- tables read at call time -----------------------------------------------

def test_tables_are_read_after_the_schedule_and_before_the_lengths(monkeypatch):
    monkeypatch.delattr(crypto, "_TF2")
    with pytest.raises(ValueError, match="unpack"):
        crypto._cbc_encrypt((1, 2, 3), bytes(3), b"")
    with pytest.raises(NameError, match=r"^name '_TF2' is not defined$"):
        crypto._cbc_encrypt((14, (1,), ENC[2], ENC[3]), bytes(3), b"")
    # Decryption reads only the _TD and _TG tables.
    assert crypto._cbc_decrypt(DEC, bytes(16), CIPHER) == PLAIN


@pytest.mark.parametrize("name", ["_TE0", "_TE3", "_TF1", "_TD2", "_TG0", "_TG3"])
def test_rebound_table_is_used(monkeypatch, name):
    table = list(getattr(crypto, name))
    table[0x63] ^= 0x01020304
    table[0x52] ^= 0x80808080
    monkeypatch.setattr(crypto, name, table)
    tables = [getattr(crypto, n) for n in TABLE_NAMES]
    data = bytes(range(48))
    assert crypto._cbc_encrypt(ENC, bytes(16), data) == model.cbc(ENC, bytes(16), data, True, tables)
    assert crypto._cbc_decrypt(DEC, bytes(16), data) == model.cbc(DEC, bytes(16), data, False, tables)


@pytest.mark.parametrize("replacement", [list, tuple, lambda t: dict(enumerate(t)), lambda t: list(t) + [0, 0]])
def test_table_of_equal_content_gives_the_same_result(monkeypatch, replacement):
    monkeypatch.setattr(crypto, "_TE1", replacement(crypto._TE1))
    monkeypatch.setattr(crypto, "_TG2", replacement(crypto._TG2))
    assert crypto._cbc_encrypt(ENC, bytes(16), PLAIN) == CIPHER
    assert crypto._cbc_decrypt(DEC, bytes(16), CIPHER) == PLAIN


class OwnXor(int):
    def __xor__(self, other):
        raise LookupError("own __xor__")

    __rxor__ = __xor__


Z = (0, 0, 0, 0)


def outcome(function, *args):
    try:
        return "ok", function(*args)
    except Exception as exc:
        return type(exc), str(exc)


# Schedules and tables outside the contract: the written steps' results and
# errors, in the order the loop meets them (here all-zero IV and block, so
# a zero schedule indexes entry 0 only).
@pytest.mark.parametrize("sched, tables, expected", [
    ((14, (2**40, 0, 0, 0), [], Z), {}, IndexError),          # w >> 24 beyond the table
    ((14, Z, [(2**64, 0, 0, 0)], Z), {}, IndexError),
    ((14, Z, [], (2**32, 0, 0, 0)), {}, struct.error),         # packing the output
    ((14, Z, [], (-1, 0, 0, 0)), {}, struct.error),
    ((14, (-1, 0, 0, 0), [], Z), {}, (14, (2**32 - 1, 0, 0, 0), [], Z)),  # index from the end
    ((14, (1.5, 0, 0, 0), [], Z), {}, "unsupported operand type(s) for ^: 'int' and 'float'"),
    ((14, Z, ["abcd"], Z), {}, "unsupported operand type(s) for ^: 'int' and 'str'"),
    ((14, (0, None, 0, 0), [], Z), {}, "unsupported operand type(s) for ^: 'int' and 'NoneType'"),
    ((14, (2**40, 0, 0, 0), [(1, 2, 3)], Z), {}, ValueError),  # unpacked before any lookup
    ((14, Z, [(2**40, 0, 0, 0), Z, (1, 2, 3)], Z), {}, IndexError),
    ((14, (OwnXor(5), 0, 0, 0), [], Z), {}, LookupError),
    ((14, Z, [], Z), {"_TF1": [1.5] * 256}, "unsupported operand type(s) for ^: 'int' and 'float'"),
    ((14, Z, [], Z), {"_TF2": [-1] * 256}, struct.error),
    ((14, Z, [], Z), {"_TF1": [2**40] * 256}, struct.error),
    ((14, Z, [Z], Z), {"_TE0": [2**33] * 256}, IndexError),
    ((14, Z, [Z], Z), {"_TE1": {0: 5}, "_TF3": [0] * 10}, "ok"),  # never indexed past entry 0
])
def test_out_of_contract_inputs_follow_the_written_steps(monkeypatch, sched, tables, expected):
    for name, table in tables.items():
        monkeypatch.setattr(crypto, name, table)
    found = [getattr(crypto, n) for n in TABLE_NAMES]
    got = outcome(crypto._cbc_encrypt, sched, bytes(16), bytes(16))
    assert got == outcome(model.cbc, sched, bytes(16), bytes(16), True, found)
    if isinstance(expected, type):
        assert got[0] is expected
    elif isinstance(expected, tuple):
        assert got == ("ok", crypto._cbc_encrypt(expected, bytes(16), bytes(16)))
    else:
        assert got == (("ok", got[1]) if expected == "ok" else (TypeError, expected))


def test_missing_struct_global(monkeypatch):
    monkeypatch.delattr(crypto, "struct")
    with pytest.raises(NameError, match=r"^name 'struct' is not defined$"):
        crypto._cbc_encrypt(ENC, bytes(16), PLAIN)


def test_no_references_leak():
    iv, data = bytes(range(16)), os.urandom(64)
    before = [sys.getrefcount(o) for o in (iv, data, ENC, ENC[2][0][0])]
    for _ in range(100):
        crypto._cbc_encrypt(ENC, iv, data)
        crypto._cbc_decrypt(DEC, iv, data)
        with pytest.raises(struct.error):
            crypto._cbc_encrypt(ENC, iv, data[:-1])
    assert [sys.getrefcount(o) for o in (iv, data, ENC, ENC[2][0][0])] == before


# --- against an independent implementation -----------------------------------

def test_matches_a_reference_cipher(reference_cbc):
    rng = random.Random(97)
    for key_len in (16, 24, 32):
        for _ in range(6):
            key = bytes(rng.getrandbits(8) for _ in range(key_len))
            iv = bytes(rng.getrandbits(8) for _ in range(16))
            data = bytes(rng.getrandbits(8) for _ in range(16 * rng.randint(0, 64)))
            enc, dec = crypto._get_key(key)
            assert crypto._cbc_encrypt(enc, iv, data) == reference_cbc(key, iv, data, True)
            assert crypto._cbc_decrypt(dec, iv, data) == reference_cbc(key, iv, data, False)


def test_large_input_matches_a_reference_cipher(reference_cbc):
    key, iv, data = os.urandom(32), os.urandom(16), os.urandom(1 << 20)
    enc, dec = crypto._get_key(key)
    ct = crypto._cbc_encrypt(enc, iv, data)
    assert ct == reference_cbc(key, iv, data, True)
    assert crypto._cbc_decrypt(dec, iv, ct) == data


# --- hardware and table paths ------------------------------------------------

# Computes a digest of many CBC results; run on each path the switch names.
WORKLOAD = r"""
import hashlib, json, random, sys
import qoxcrypto.crypto as crypto
rng = random.Random(1234)
digest = hashlib.sha256()
for case in range(60):
    key = bytes(rng.getrandbits(8) for _ in range(rng.choice((16, 24, 32))))
    enc, dec = crypto._expand_key(key)
    if case % 3 == 0:  # a schedule with a non-standard number of middle rounds
        enc = (enc[0], enc[1], enc[2][: rng.randint(0, len(enc[2]))], enc[3])
        dec = (dec[0], dec[1], dec[2][: rng.randint(0, len(dec[2]))], dec[3])
    iv = bytes(rng.getrandbits(8) for _ in range(16))
    data = bytes(rng.getrandbits(8) for _ in range(16 * rng.randint(1, 300)))
    digest.update(crypto._cbc_encrypt(enc, iv, data))
    digest.update(crypto._cbc_decrypt(dec, iv, data))
big = bytes(range(256)) * 4096  # 1 MiB: runs with the GIL released
enc, dec = crypto._get_key(bytes(32))
digest.update(crypto._cbc_encrypt(enc, bytes(16), big) + crypto._cbc_decrypt(dec, bytes(16), big))
print(digest.hexdigest())
"""


def run_workload(path):
    env = dict(os.environ)
    env.pop("QOX_AES_PATH", None)
    if path:
        env["QOX_AES_PATH"] = path
    result = subprocess.run([sys.executable, "-c", WORKLOAD], cwd=ROOT, env=env,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_every_path_agrees_with_the_table_path():
    reference = run_workload("table")
    for path in (None, "vperm", "bitsliced"):
        assert run_workload(path) == reference, path


# --- the unified entry _aes_cbc: native backend first, the pure loops after any ordinary failure

class FakeNative:
    def __init__(self, behaviour):
        self.behaviour, self.calls = behaviour, []

    def crypt(self, key, iv, data, encrypt):
        self.calls.append((key, iv, data, encrypt))
        return self.behaviour()


def raising(exc):
    def behaviour():
        raise exc
    return behaviour


@pytest.fixture
def native(monkeypatch):
    """Installs a fake backend; monkeypatch puts the original _NATIVE_AES back."""
    def install(behaviour):
        fake = FakeNative(behaviour)
        monkeypatch.setattr(crypto, "_NATIVE_AES", fake)
        return fake
    return install


@pytest.mark.parametrize("result", [b"whatever length", b"", None])
def test_backend_result_is_returned_unchanged(native, result):
    fake = native(lambda: result)
    assert crypto._aes_cbc(ENC, KEY, IV, PLAIN, True) is result
    assert fake.calls == [(KEY, IV, PLAIN, True)] and crypto._NATIVE_AES is fake


@pytest.mark.parametrize("behaviour", [
    raising(OSError("CNG failed")), raising(ValueError()), raising(struct.error()),
    lambda: "not bytes", lambda: bytearray(16), lambda: 0,
])
@pytest.mark.parametrize("encrypt, sched, data, expected", [(True, ENC, PLAIN, CIPHER), (False, DEC, CIPHER, PLAIN)])
def test_ordinary_failure_falls_back_and_disables_the_backend(native, behaviour, encrypt, sched, data, expected):
    fake = native(behaviour)
    assert crypto._aes_cbc(sched, KEY, IV, data, encrypt) == expected
    assert crypto._NATIVE_AES is None and len(fake.calls) == 1
    assert crypto._aes_cbc(sched, KEY, IV, data, encrypt) == expected
    assert len(fake.calls) == 1                            # never tried again


@pytest.mark.parametrize("backend", [object(), 0, False, ""])
def test_backend_without_crypt_is_an_ordinary_failure(monkeypatch, backend):
    # An identity test against None, not a truth test: falsy objects are tried.
    monkeypatch.setattr(crypto, "_NATIVE_AES", backend)
    assert crypto._aes_cbc(ENC, KEY, IV, PLAIN, True) == CIPHER
    assert crypto._NATIVE_AES is None


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_interrupts_propagate_and_keep_the_backend(native, exc):
    fake = native(raising(exc()))
    with pytest.raises(exc):
        crypto._aes_cbc(ENC, KEY, IV, PLAIN, True)
    assert crypto._NATIVE_AES is fake


def test_discarded_failure_is_not_attached_as_context(native):
    native(raising(OSError("native")))
    with pytest.raises(struct.error) as info:
        crypto._aes_cbc(ENC, KEY, bytes(15), PLAIN, True)
    assert info.value.__context__ is None and info.value.__cause__ is None
    assert crypto._NATIVE_AES is None


@pytest.mark.parametrize("encrypt, flag", [
    (1, True), ("x", True), ([0], True), (0, False), ("", False), (None, False), ([], False), (0.0, False),
])
def test_flag_is_the_truth_value(native, encrypt, flag):
    fake = native(lambda: b"ok")
    crypto._aes_cbc(ENC, KEY, IV, PLAIN, encrypt)
    assert fake.calls[0][3] is flag


@pytest.mark.parametrize("encrypt, sched, data, expected", [(1, ENC, PLAIN, CIPHER), ("", DEC, CIPHER, PLAIN)])
def test_pure_path_direction_follows_the_truth_value(encrypt, sched, data, expected):
    assert crypto._aes_cbc(sched, KEY, IV, data, encrypt) == expected


def test_pure_loops_are_called_through_their_globals(monkeypatch):
    seen = []
    monkeypatch.setattr(crypto, "_cbc_encrypt", lambda *args: seen.append(args) or b"E")
    monkeypatch.setattr(crypto, "_cbc_decrypt", lambda *args: seen.append(args) or None)
    assert crypto._aes_cbc("sched", KEY, IV, PLAIN, True) == b"E"
    assert crypto._aes_cbc("sched", KEY, IV, PLAIN, False) is None
    assert seen == [("sched", IV, PLAIN)] * 2
    monkeypatch.setattr(crypto, "_cbc_encrypt", lambda *args: "text")
    with pytest.raises(TypeError, match=r"^Expected bytes, got str$"):
        crypto._aes_cbc("sched", KEY, IV, PLAIN, True)


@pytest.mark.parametrize("name", ["_NATIVE_AES", "_cbc_encrypt"])
def test_missing_globals(monkeypatch, name):
    monkeypatch.delattr(crypto, name)
    with pytest.raises(NameError, match="^name '%s' is not defined$" % name):
        crypto._aes_cbc(ENC, KEY, IV, PLAIN, True)


def test_argument_checks():
    class Untestable:
        def __bool__(self):
            raise ZeroDivisionError("truth")

    # The truth test comes first, then key, iv and data must be exactly bytes.
    with pytest.raises(ZeroDivisionError, match="truth"):
        crypto._aes_cbc(ENC, None, None, None, Untestable())
    for position, name in [(1, "key"), (2, "iv"), (3, "data")]:
        args = [ENC, KEY, IV, PLAIN, True]
        args[position] = bytearray(16)
        with pytest.raises(TypeError, match=r"^Argument '%s' has incorrect type \(expected bytes, got bytearray\)$"
                           % name):
            crypto._aes_cbc(*args)
    with pytest.raises(TypeError, match=r"^_aes_cbc\(\) takes exactly 5 positional arguments \(4 given\)$"):
        crypto._aes_cbc(ENC, KEY, IV, PLAIN)


def test_interface():
    f = crypto._aes_cbc
    assert f.__doc__ == "AES-CBC 统一入口：优先走系统原生实现，异常自动回落纯 Python"
    assert f.__annotations__ == {"key": "bytes", "iv": "bytes", "data": "bytes", "encrypt": "bool",
                                 "return": "bytes"}
    assert crypto._aes_cbc(data=PLAIN, encrypt=True, iv=IV, key=KEY, sched=ENC) == CIPHER
