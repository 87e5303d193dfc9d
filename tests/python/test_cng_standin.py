"""The CNG stand-in honours the contract the native backend relies on.

It is driven here exactly as _NativeAES drives bcrypt.dll: the same ctypes
declarations, c_wchar_p strings, byref handles, a key object sized by
"ObjectLength" and the ChainingMode value with its UTF-16 byte count 32.
"""
import ctypes
import os
import sys
import threading

import pytest
from reference_aes import reference_cbc

from cng_support import (STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_BUFFER_SIZE, STATUS_INVALID_HANDLE,
                         STATUS_INVALID_PARAMETER, STATUS_NOT_FOUND, STATUS_NOT_SUPPORTED, install_standin,
                         load_standin, require_standin)

ulong, vp, wstr, cstr = ctypes.c_ulong, ctypes.c_void_p, ctypes.c_wchar_p, ctypes.c_char_p
PLAINTEXT = bytes.fromhex("00112233445566778899aabbccddeeff")
FIPS197_APPENDIX_C = [  # C.1, C.2, C.3
    (bytes(range(16)), "69c4e0d86a7b0430d8cdb78070b4c55a"),
    (bytes(range(24)), "dda97ca4864cdfe06eaf70a0ec0d7191"),
    (bytes(range(32)), "8ea2b7ca516745bfeafc49904b496089"),
]


def signed(status):
    return status - (1 << 32)


@pytest.fixture
def knobs():
    knobs = load_standin()
    knobs.reset()
    yield knobs
    knobs.reset()


@pytest.fixture
def dll(knobs):
    lib = ctypes.CDLL(require_standin())
    p = ctypes.POINTER
    lib.BCryptOpenAlgorithmProvider.argtypes = [p(vp), wstr, wstr, ulong]
    lib.BCryptGetProperty.argtypes = [vp, wstr, vp, ulong, p(ulong), ulong]
    lib.BCryptSetProperty.argtypes = [vp, wstr, vp, ulong, ulong]
    lib.BCryptGenerateSymmetricKey.argtypes = [vp, p(vp), cstr, ulong, cstr, ulong, ulong]
    for name in ("BCryptOpenAlgorithmProvider", "BCryptGetProperty", "BCryptSetProperty",
                 "BCryptGenerateSymmetricKey", "BCryptEncrypt", "BCryptDecrypt"):
        getattr(lib, name).restype = ctypes.c_long
    for name in ("BCryptEncrypt", "BCryptDecrypt"):
        getattr(lib, name).argtypes = [vp, cstr, ulong, vp, cstr, ulong, cstr, ulong, p(ulong), ulong]
    return lib


def check(status):
    if status < 0:
        raise OSError("BCrypt call failed: 0x%08X" % (status & 0xFFFFFFFF))


class Provider:
    """An AES provider opened and configured the way _NativeAES.__init__ does."""

    def __init__(self, dll, mode="ChainingModeCBC"):
        self.dll, self.alg = dll, vp()
        check(dll.BCryptOpenAlgorithmProvider(ctypes.byref(self.alg), "AES", None, 0))
        obj_len, got = ulong(0), ulong(0)
        check(dll.BCryptGetProperty(self.alg, "ObjectLength", ctypes.byref(obj_len), ctypes.sizeof(obj_len),
                                    ctypes.byref(got), 0))
        self.obj_len = obj_len.value
        if mode is not None:
            check(dll.BCryptSetProperty(self.alg, "ChainingMode", mode, (len(mode) + 1) * 2, 0))

    def crypt(self, key, iv, data, encrypt, out_len=None, cb_iv=16, flags=0, obj_short=0):
        """One key, one call, key destroyed: (status, output, IV buffer after)."""
        key_obj, hkey = ctypes.create_string_buffer(self.obj_len), vp()
        status = self.dll.BCryptGenerateSymmetricKey(self.alg, ctypes.byref(hkey), key_obj,
                                                     self.obj_len - obj_short, key, len(key), 0)
        if status < 0:
            return status, None, None
        try:
            out = ctypes.create_string_buffer(len(data) if out_len is None else out_len)
            written, iv_buf = ulong(0), ctypes.create_string_buffer(bytes(iv), 16)
            fn = self.dll.BCryptEncrypt if encrypt else self.dll.BCryptDecrypt
            status = fn(hkey, data, len(data), None, iv_buf, cb_iv, out, len(out), ctypes.byref(written), flags)
            return status, out.raw[:written.value], iv_buf.raw
        finally:
            self.dll.BCryptDestroyKey(hkey)


def reference(key, iv, data, encrypt, mode="CBC"):
    if reference_cbc is None:
        pytest.skip("no independent AES-CBC on this interpreter")
    if mode == "CBC":
        return reference_cbc(key, iv, data, encrypt)
    # ECB: every block on its own, i.e. CBC with a zero IV block by block.
    return b"".join(reference_cbc(key, bytes(16), data[i:i + 16], encrypt)
                    for i in range(0, len(data), 16))


@pytest.mark.parametrize("key, ct_hex", FIPS197_APPENDIX_C)
def test_fips197_known_answers_both_ways(dll, key, ct_hex):
    aes = Provider(dll)
    assert aes.crypt(key, bytes(16), PLAINTEXT, True)[:2] == (0, bytes.fromhex(ct_hex))
    assert aes.crypt(key, bytes(16), bytes.fromhex(ct_hex), False)[:2] == (0, PLAINTEXT)


@pytest.mark.parametrize("key_len", [16, 24, 32])
@pytest.mark.parametrize("blocks", [0, 1, 5])
@pytest.mark.parametrize("encrypt", [True, False])
def test_cbc_matches_reference_and_leaves_last_ciphertext_block_as_iv(dll, knobs, key_len, blocks, encrypt):
    key, iv, data = os.urandom(key_len), os.urandom(16), os.urandom(16 * blocks)
    status, out, iv_after = Provider(dll).crypt(key, iv, data, encrypt)
    assert (status, out) == (0, reference(key, iv, data, encrypt))
    ciphertext = out if encrypt else data
    assert iv_after == (ciphertext[-16:] if blocks else iv)
    assert knobs.live_keys() == 0


@pytest.mark.parametrize("mode", [None, "ChainingModeECB"])
def test_keys_chain_in_the_mode_the_provider_had(dll, mode):
    key, iv, data = os.urandom(32), os.urandom(16), os.urandom(48)
    out = Provider(dll, mode).crypt(key, iv, data, True)[1]
    assert out == reference(key, iv, data, True, "ECB") != reference(key, iv, data, True)


@pytest.mark.parametrize("call, expected", [
    pytest.param(dict(data=bytes(17)), STATUS_INVALID_BUFFER_SIZE, id="17-byte-data"),
    pytest.param(dict(key=bytes(15)), STATUS_INVALID_PARAMETER, id="15-byte-key"),
    pytest.param(dict(key=bytes(33)), STATUS_INVALID_PARAMETER, id="33-byte-key"),
    pytest.param(dict(key=b""), STATUS_INVALID_PARAMETER, id="empty-key"),
    pytest.param(dict(cb_iv=8), STATUS_INVALID_PARAMETER, id="8-byte-iv"),
    pytest.param(dict(out_len=16), STATUS_BUFFER_TOO_SMALL, id="short-output"),
    pytest.param(dict(flags=2), STATUS_INVALID_PARAMETER, id="unknown-flag"),
    pytest.param(dict(obj_short=1), STATUS_BUFFER_TOO_SMALL, id="short-key-object"),
])
@pytest.mark.parametrize("encrypt", [True, False])
def test_crypt_rejections_arrive_negative_and_leave_no_key(dll, knobs, call, expected, encrypt):
    args = dict(key=bytes(32), data=bytes(32), encrypt=encrypt, iv=bytes(16))
    args.update(call)
    assert Provider(dll).crypt(**args)[0] == signed(expected)
    assert knobs.live_keys() == 0


@pytest.mark.parametrize("function, args, expected", [
    ("OpenAlgorithmProvider", lambda a, h, n: (ctypes.byref(h), "DES", None, 0), STATUS_NOT_FOUND),
    ("OpenAlgorithmProvider", lambda a, h, n: (ctypes.byref(h), "AES", "other", 0), STATUS_NOT_FOUND),
    ("OpenAlgorithmProvider", lambda a, h, n: (ctypes.byref(h), "AES", None, 1), STATUS_INVALID_PARAMETER),
    ("OpenAlgorithmProvider", lambda a, h, n: (None, "AES", None, 0), STATUS_INVALID_PARAMETER),
    ("GetProperty", lambda a, h, n: (a, "BlockLength", ctypes.byref(n), 8, ctypes.byref(n), 0), STATUS_NOT_SUPPORTED),
    ("GetProperty", lambda a, h, n: (a, "ObjectLength", ctypes.byref(n), 2, ctypes.byref(n), 0),
     STATUS_BUFFER_TOO_SMALL),
    ("GetProperty", lambda a, h, n: (ctypes.addressof(h), "ObjectLength", ctypes.byref(n), 8, ctypes.byref(n), 0),
     STATUS_INVALID_HANDLE),
    ("SetProperty", lambda a, h, n: (a, "ChainingMode", "ChainingModeGCM", 32, 0), STATUS_INVALID_PARAMETER),
    ("SetProperty", lambda a, h, n: (a, "ChainingMode", "ChainingModeCBC", 30, 0), STATUS_INVALID_PARAMETER),
    ("SetProperty", lambda a, h, n: (a, "KeyLength", "ChainingModeCBC", 32, 0), STATUS_NOT_SUPPORTED),
    ("DestroyKey", lambda a, h, n: (a,), STATUS_INVALID_HANDLE),
])
def test_provider_level_rejections(dll, function, args, expected):
    call_args = args(Provider(dll).alg, vp(), ulong())
    assert getattr(dll, "BCrypt" + function)(*call_args) == signed(expected)


def test_key_lives_in_the_caller_buffer_and_is_wiped_on_destroy(dll, knobs):
    aes, key = Provider(dll), os.urandom(32)
    key_obj, hkey = ctypes.create_string_buffer(aes.obj_len), vp()
    check(dll.BCryptGenerateSymmetricKey(aes.alg, ctypes.byref(hkey), key_obj, aes.obj_len, key, 32, 0))
    assert hkey.value == ctypes.addressof(key_obj) and key in key_obj.raw and knobs.live_keys() == 1
    assert dll.BCryptDestroyKey(hkey) == 0
    assert key not in key_obj.raw and knobs.live_keys() == 0
    args = (hkey, bytes(16), 16, None, ctypes.create_string_buffer(16), 16, ctypes.create_string_buffer(16), 16,
            ctypes.byref(ulong()), 0)
    assert dll.BCryptEncrypt(*args) == signed(STATUS_INVALID_HANDLE)
    assert dll.BCryptDestroyKey(hkey) == signed(STATUS_INVALID_HANDLE)


@pytest.mark.parametrize("function", ["BCryptOpenAlgorithmProvider", "BCryptGetProperty", "BCryptSetProperty",
                                      "BCryptGenerateSymmetricKey", "BCryptEncrypt"])
def test_injected_failure_hits_only_the_next_calls(dll, knobs, function):
    knobs.fail_next(function, 0xC0000001, 2)
    for _ in range(2):
        with pytest.raises(OSError, match="0xC0000001"):
            status = Provider(dll).crypt(bytes(16), bytes(16), PLAINTEXT, True)[0]
            check(status)
    assert Provider(dll).crypt(bytes(16), bytes(16), PLAINTEXT, True)[0] == 0
    assert knobs.calls(function) == 3 and knobs.live_keys() == 0


def test_knob_controls(dll, knobs):
    key, data = bytes(range(32)), bytes(64)
    good = Provider(dll).crypt(key, bytes(16), data, True)[1]
    knobs.corrupt_output()
    spoiled = bytearray(Provider(dll).crypt(key, bytes(16), data, True)[1])
    spoiled[0] ^= 1
    assert bytes(spoiled) == good
    knobs.fail_next("BCryptDecrypt", 0xC0000001, -1)
    assert all(Provider(dll).crypt(key, bytes(16), data, False)[0] < 0 for _ in range(3))
    knobs.fail_next("", 0, 0)
    assert Provider(dll).crypt(key, bytes(16), data, False)[0] == 0
    with pytest.raises(ValueError):
        knobs.fail_next("BCryptEncrpyt", 0xC0000001)


def test_concurrent_calls_stay_correct_and_release_every_key(dll, knobs):
    aes, failures = Provider(dll), []

    def worker():
        for _ in range(200):
            key, iv, data = os.urandom(32), os.urandom(16), os.urandom(16 * (1 + os.urandom(1)[0] % 8))
            status, out, _ = aes.crypt(key, iv, data, True)
            if status != 0 or aes.crypt(key, iv, out, False)[1] != data:
                failures.append(status)

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == [] and knobs.live_keys() == 0
    assert knobs.calls("BCryptGenerateSymmetricKey") == knobs.calls("BCryptDestroyKey") == 3200


def test_install_standin_makes_the_host_look_like_windows(monkeypatch):
    install_standin(monkeypatch)
    assert sys.platform == "win32"
    first, second = ctypes.WinDLL("bcrypt"), ctypes.WinDLL("bcrypt")
    # A return type no default can be (c_long is c_int on 32-bit Linux).
    first.BCryptEncrypt.restype = ctypes.c_double
    assert first is not second and second.BCryptEncrypt.restype is ctypes.c_int
    with pytest.raises(OSError):
        ctypes.WinDLL("kernel32")
