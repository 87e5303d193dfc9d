"""The CNG backend class, its import-time probe, and the native path of _aes_cbc.

The stand-in library from tests/support plays bcrypt.dll, so the class's real
ctypes code runs here on Linux.
"""
import os
import random
import subprocess
import sys
import threading
import types

import pytest

import cng_support
import qoxcrypto.crypto as crypto
from conftest import PACKAGE_ROOT

KEY = bytes(range(32))
PLAIN = bytes.fromhex("00112233445566778899aabbccddeeff")
CIPHER = bytes.fromhex("8ea2b7ca516745bfeafc49904b496089")
STATUS_INVALID_PARAMETER = -0x3FFFFFF3  # 0xC000000D as a signed status


@pytest.fixture
def knobs(monkeypatch):
    knobs = cng_support.install_standin(monkeypatch)
    live_before = knobs.live_keys()
    # Key handles still alive that this test created.
    knobs.leaked = lambda: knobs.live_keys() - live_before
    return knobs


@pytest.fixture
def backend(knobs):
    return crypto._NativeAES()


# 1. The class without a platform library -----------------------------------

def test_class_namespace_and_methods():
    cls = crypto._NativeAES
    assert [k for k in vars(cls) if not k.startswith("__") or k in ("__init__",)] == [
        "name", "__init__", "_checked", "crypt"]
    assert cls.name == "bcrypt.dll" and cls.__module__ == "qoxcrypto.crypto"
    assert cls.__doc__ == "Windows bcrypt.dll 的 AES-CBC 封装（只做单块链式的裸 CBC，不含填充）"
    assert isinstance(vars(cls)["_checked"], staticmethod)
    assert cls.crypt.__qualname__ == "_NativeAES.crypt" and cls.crypt.__doc__ is None
    assert cls.crypt.__annotations__ == {"key": "bytes", "iv": "bytes", "data": "bytes",
                                         "encrypt": "bool", "return": "bytes"}


@pytest.mark.parametrize("status", [0, 5, 2**40])
def test_checked_passes_non_negative_statuses(status):
    assert crypto._NativeAES._checked(status) == status


@pytest.mark.parametrize("status, text", [(-1, "FFFFFFFF"), (-0x3FFFFDFA, "C0000206"),
                                          (-2**32 - 1, "FFFFFFFF")])
def test_checked_reports_negative_statuses(status, text):
    with pytest.raises(OSError) as info:
        crypto._NativeAES._checked(status)
    assert info.value.args == ("BCrypt 调用失败: 0x" + text,)


def test_import_leaves_the_backend_off_outside_windows():
    code = "import qoxcrypto.crypto as c; print(c._NATIVE_AES, c._init_native_backend())"
    result = subprocess.run([sys.executable, "-c", code], cwd=PACKAGE_ROOT, capture_output=True, text=True)
    assert result.stdout.split() == ["None", "None"], result.stderr


def test_construction_needs_winDLL():
    with pytest.raises(AttributeError):
        crypto._NativeAES()


@pytest.mark.parametrize("error", [OSError("no dll"), AttributeError("x"), ValueError("y")])
def test_probe_turns_ordinary_errors_into_none(monkeypatch, error):
    def failing():
        raise error
    monkeypatch.setattr(sys, "platform", "win32")
    monkeypatch.setattr(crypto, "_NativeAES", failing)
    assert crypto._init_native_backend() is None


def test_probe_lets_interrupts_through(monkeypatch):
    def interrupted():
        raise KeyboardInterrupt
    monkeypatch.setattr(sys, "platform", "win32")
    monkeypatch.setattr(crypto, "_NativeAES", interrupted)
    with pytest.raises(KeyboardInterrupt):
        crypto._init_native_backend()


# 2. The class and the probe over the stand-in ------------------------------

def test_instance_attributes_in_order(backend):
    assert list(vars(backend)) == ["_ctypes", "_dll", "_alg", "_obj_len"]
    assert backend._obj_len > 0 and backend._alg.value


def test_known_answer_both_ways(backend, knobs):
    assert backend.crypt(KEY, bytes(16), PLAIN, True) == CIPHER
    assert backend.crypt(KEY, bytes(16), CIPHER, encrypt=0) == PLAIN
    assert knobs.leaked() == 0


def test_multi_block_matches_the_engine_and_keeps_the_callers_iv(backend):
    rng = random.Random(7)
    for key_size in (16, 24, 32):
        key = bytes(rng.getrandbits(8) for _ in range(key_size))
        iv = bytes(rng.getrandbits(8) for _ in range(16))
        data = bytes(rng.getrandbits(8) for _ in range(16 * 9))
        enc, dec = crypto._get_key(key)
        ciphertext = backend.crypt(key, iv, data, True)
        assert ciphertext == crypto._cbc_encrypt(enc, iv, data)
        assert backend.crypt(key, iv, ciphertext, False) == data
        assert iv == bytes(iv)  # unchanged object content


@pytest.mark.parametrize("key, iv, data, error, text", [
    (KEY, bytes(16), bytes(17), OSError, "BCrypt 调用失败: 0xC0000206"),
    (bytes(20), bytes(16), bytes(16), OSError, "BCrypt 调用失败: 0x"),
    (KEY, bytes(17), bytes(16), ValueError, ""),
])
def test_failures_leave_no_live_key(backend, knobs, key, iv, data, error, text):
    with pytest.raises(error) as info:
        backend.crypt(key, iv, data, True)
    assert str(info.value).startswith(text)
    assert knobs.leaked() == 0


def test_short_iv_is_padded_with_zeros(backend):
    iv = b"\x01" * 8
    data = bytes(range(32))
    assert backend.crypt(KEY, iv, data, True) == backend.crypt(KEY, iv + bytes(8), data, True)


def test_wrong_argument_types_fail_before_any_platform_call(backend, knobs):
    knobs.reset()
    with pytest.raises(TypeError, match="expected bytes, got bytearray"):
        backend.crypt(bytearray(KEY), bytes(16), PLAIN, True)
    assert knobs.calls("BCryptGenerateSymmetricKey") == 0


def test_cleanup_error_replaces_the_error_in_flight(backend, knobs):
    knobs.fail_next("BCryptEncrypt", STATUS_INVALID_PARAMETER)
    backend._dll.BCryptDestroyKey = None  # the cleanup itself now fails
    with pytest.raises(TypeError) as info:
        backend.crypt(KEY, bytes(16), PLAIN, True)
    assert isinstance(info.value.__context__, OSError)


def test_probe_returns_a_working_backend(knobs):
    backend = crypto._init_native_backend()
    assert type(backend) is crypto._NativeAES
    assert backend.crypt(KEY, bytes(16), PLAIN, True) == CIPHER


@pytest.mark.parametrize("sabotage, decrypt_calls", [
    (lambda k: k.fail_next("BCryptOpenAlgorithmProvider", STATUS_INVALID_PARAMETER), 0),
    (lambda k: k.fail_next("BCryptSetProperty", STATUS_INVALID_PARAMETER), 0),
    (lambda k: k.corrupt_output(True), 0),   # wrong ciphertext: decryption never tried
    (lambda k: k.fail_next("BCryptDecrypt", STATUS_INVALID_PARAMETER), 1),
])
def test_probe_rejects_a_failing_backend(knobs, sabotage, decrypt_calls):
    sabotage(knobs)
    assert crypto._init_native_backend() is None
    assert knobs.calls("BCryptDecrypt") == decrypt_calls


def test_threads_share_one_backend(backend, knobs):
    errors = []

    def work(seed):
        rng = random.Random(seed)
        try:
            for _ in range(100):
                data = bytes(rng.getrandbits(8) for _ in range(16 * rng.randint(1, 8)))
                iv = bytes(rng.getrandbits(8) for _ in range(16))
                assert backend.crypt(KEY, iv, backend.crypt(KEY, iv, data, True), False) == data
        except Exception as exc:  # collected for the main thread
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == [] and knobs.leaked() == 0


# 3. The native path of _aes_cbc and the container ---------------------------

@pytest.fixture
def native_on(monkeypatch, backend):
    monkeypatch.setattr(crypto, "_NATIVE_AES", backend)
    return backend


def test_aes_cbc_prefers_the_backend_then_falls_back_for_good(native_on, knobs):
    enc, _ = crypto._get_key(KEY)
    data = bytes(range(64))
    expected = crypto._cbc_encrypt(enc, bytes(16), data)
    knobs.reset()
    assert crypto._aes_cbc(enc, KEY, bytes(16), data, True) == expected
    assert knobs.calls("BCryptEncrypt") == 1 and crypto._NATIVE_AES is native_on
    knobs.fail_next("BCryptEncrypt", STATUS_INVALID_PARAMETER, -1)
    assert crypto._aes_cbc(enc, KEY, bytes(16), data, True) == expected
    assert crypto._NATIVE_AES is None and knobs.leaked() == 0


def test_containers_cross_between_native_and_own_engine(monkeypatch, native_on):
    rng = random.Random(11)
    for use_hmac in (True, False):
        for length in (0, 15, 16, 17, 100):
            text = "".join(chr(rng.randint(32, 0x4E00)) for _ in range(length))
            iv = bytes(rng.getrandbits(8) for _ in range(16))
            box = crypto.QOXStringCrypto(KEY, use_hmac)
            monkeypatch.setattr(crypto, "os", types.SimpleNamespace(urandom=lambda n: iv,
                                                                    path=os.path))
            monkeypatch.setattr(crypto, "_NATIVE_AES", native_on)
            native_container = box.encrypt(text)
            monkeypatch.setattr(crypto, "_NATIVE_AES", None)
            assert box.encrypt(text) == native_container
            assert box.decrypt(native_container) == text
            monkeypatch.setattr(crypto, "_NATIVE_AES", native_on)
            assert box.decrypt(native_container) == text
