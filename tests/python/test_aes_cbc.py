"""The unified CBC entry: native backend first, the pure loops after any ordinary failure."""
import struct

import pytest

import aes_model as model
import qoxcrypto.crypto as crypto

KEY = bytes(range(32))
ENC, DEC = model.expand_key(KEY)
IV = bytes(16)
PLAIN = bytes.fromhex("00112233445566778899aabbccddeeff")
CIPHER = bytes.fromhex("8ea2b7ca516745bfeafc49904b496089")


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


def test_pure_path_when_no_backend():
    assert crypto._NATIVE_AES is None
    assert crypto._aes_cbc(ENC, KEY, IV, PLAIN, True) == CIPHER
    assert crypto._aes_cbc(DEC, KEY, IV, CIPHER, False) == PLAIN
    assert crypto._aes_cbc(ENC, KEY, IV, b"", True) == b""


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
