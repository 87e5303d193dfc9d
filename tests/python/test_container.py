"""QOXStringCrypto's class, PKCS#7 and the .qox container: encrypt, decrypt and their failures."""
import gc
import hashlib
import hmac
import inspect
import os
import random
import sys
import tracemalloc
import types

import pytest

import qoxcrypto.crypto as crypto
from conftest import KEYS, REFERENCE_CBC, raises, reference_container, type_error

Q = crypto.QOXStringCrypto
SHORT, MAGIC = "无效的.qox格式（数据长度不足）", "无效的.qox格式（Magic不匹配）"
TAG, CT_LEN = "HMAC校验失败，数据可能被篡改！", "无效的.qox格式（密文长度非法）"
PAD, PAD_LEN = "填充校验失败，数据已损坏或密钥不正确", "密文长度非法（不是 16 字节的整数倍）"
BytesSub = type("BytesSub", (bytes,), {})

# 1. The class as the import builds it -----------------------------------------

METHODS = {
    "__init__": ({"key": "bytes", "use_hmac": "bool"}, (True,)),
    "encrypt": ({"data": "Union[str, bytes]", "return": "bytes"}, None),
    "decrypt": ({"qox_data": "bytes", "return": "str"}, None),
    "load_json": ({"raw": "Union[str, bytes]", "return": "Any"}, None),
    "encrypt_dict": ({"data_dict": "Dict[str, Any]", "return": "bytes"}, None),
    "decrypt_to_dict": ({"qox_data": "bytes", "return": "Dict[str, Any]"}, None),
    "encrypt_dict_to_file": (
        {"data_dict": "Dict[str, Any]", "file_path": "str", "return": "None"}, None),
    "decrypt_file_to_dict": ({"file_path": "str", "return": "Dict[str, Any]"}, None),
}
CONSTANTS = {"MAGIC_NUMBER": b"QOX1", "VERSION": 1, "BLOCK_SIZE": 16, "HMAC_SIZE": 32,
             "HEADER_SIZE": 21}


def test_class_namespace_and_constants():
    assert list(vars(Q)) == ["__module__", "__doc__", *CONSTANTS, *METHODS,
                             "__dict__", "__weakref__"]
    assert (Q.__module__, Q.__qualname__, Q.__bases__) == ("qoxcrypto.crypto",
                                                           "QOXStringCrypto", (object,))
    assert Q.__doc__ == "自定义.qox格式的字符串加密/解密（纯标准库实现，无第三方依赖）"
    for name, value in CONSTANTS.items():
        assert type(getattr(Q, name)) is type(value) and getattr(Q, name) == value
        assert not hasattr(crypto, name)
    for function in [crypto._pkcs7_pad, crypto._pkcs7_unpad]:
        assert function.__annotations__ == {"data": "bytes", "return": "bytes"}
        assert function.__doc__ is None


@pytest.mark.parametrize("name", list(METHODS))
def test_method_interface(name):
    annotations, defaults = METHODS[name]
    method = vars(Q)[name]
    assert (method.__name__, method.__qualname__) == (name, f"QOXStringCrypto.{name}")
    assert method.__annotations__ == annotations and method.__defaults__ == defaults
    params = list(inspect.signature(method).parameters)
    assert params[0] == "self" and set(params[1:]) == set(annotations) - {"return"}
    if method.__doc__.startswith("\n"):  # lines indented by 8 spaces, 8 spaces at the end
        assert method.__doc__.endswith("\n        ")
        assert all(line in ("", "        ") or line.startswith("        ")
                   for line in method.__doc__.split("\n"))


# 2. PKCS#7 ---------------------------------------------------------------------

@pytest.mark.parametrize("length", [0, 1, 15, 16, 17, 31, 32, 33])
def test_pad_then_unpad(length):
    data = bytes(range(length))
    padded = crypto._pkcs7_pad(data)
    n = len(padded) - length
    assert len(padded) % 16 == 0 and 1 <= n <= 16 and padded == data + bytes([n]) * n
    assert crypto._pkcs7_unpad(padded) == data


@pytest.mark.parametrize("data, result", [
    (b"a" * 14 + b"\x02\x02", b"a" * 14), (b"\x10" * 16, b""),
    (b"", PAD_LEN), (b"x" * 15, PAD_LEN), (b"x" * 33, PAD_LEN),
    (b"x" * 15 + b"\x00", PAD), (b"x" * 15 + b"\x11", PAD), (b"x" * 15 + b"\xff", PAD),
    (b"x" * 14 + b"\x01\x02", PAD), (b"x" + b"\x10" * 15, PAD),
])
def test_unpad(data, result):
    if isinstance(result, bytes):
        assert crypto._pkcs7_unpad(data) == result
    else:
        with raises(ValueError, result):
            crypto._pkcs7_unpad(data)


@pytest.mark.parametrize("value", [bytearray(16), "x" * 16, None, BytesSub(16), memoryview(b"")])
def test_padding_requires_exact_bytes(value):
    for function in [crypto._pkcs7_pad, crypto._pkcs7_unpad]:
        with type_error("data", bytes, value):
            function(value)


# 3. Construction ----------------------------------------------------------------

@pytest.mark.parametrize("size", [16, 24, 32])
@pytest.mark.parametrize("flag, stored", [(1, True), ("x", True), ([], False), (None, False)])
def test_init_stores_key_and_truth_of_use_hmac(size, flag, stored):
    box = Q(KEYS[size], flag)
    assert box.key is KEYS[size] and box.use_hmac is stored
    assert Q(key=KEYS[size]).use_hmac is True


@pytest.mark.parametrize("key", [bytes(0), bytes(15), bytes(31), bytes(33), bytes(64),
                                 bytearray(32), "k" * 32, None, BytesSub(32)])
def test_init_rejects_key(key):
    check = raises(ValueError, "密钥必须是32字节（AES-256）") if type(key) is bytes else \
        type_error("key", bytes, key)
    with check:
        Q(key)


def test_init_truth_test_comes_first_and_arguments_are_counted():
    class Unanswerable:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        Q(None, Unanswerable())
    with raises(TypeError, "__init__() takes at most 3 positional arguments (4 given)"):
        Q(KEYS[32], True, 1)


# 4. Round trips, and byte for byte against an independent implementation --------

def general_road(monkeypatch):
    """Wrappers that leave every result alone but close the module's fast roads."""
    pad, aes_cbc = crypto._pkcs7_pad, crypto._aes_cbc
    monkeypatch.setattr(crypto, "_pkcs7_pad", lambda data: pad(data))
    monkeypatch.setattr(crypto, "_aes_cbc", lambda *args: aes_cbc(*args))
    monkeypatch.setattr(crypto, "hmac", types.SimpleNamespace(
        new=crypto.hmac.new, compare_digest=crypto.hmac.compare_digest))


@pytest.mark.parametrize("size", [16, 24, 32])
@pytest.mark.parametrize("plain", ["", b"", "a", b"x" * 15, "y" * 16, b"z" * 17, "中文 ünï 🙂" * 5,
                                   b"\x00\x7f" * 40, "héllo wörld " * 40, "z" * (1 << 17)], ids=len)
def test_round_trip_on_both_roads_against_a_reference(monkeypatch, size, plain, use_hmac, fixed_iv):
    # The container built in place (fast road) equals the one the general road
    # builds, byte for byte, and both equal an independent implementation's.
    box = Q(KEYS[size], use_hmac)
    raw = plain.encode() if isinstance(plain, str) else plain
    fast = box.encrypt(plain)
    assert len(fast) == 21 + 32 * use_hmac + 16 * (len(raw) // 16 + 1)
    assert fast[:21] == b"QOX1\x01" + fixed_iv and box.decrypt(fast) == raw.decode()
    with monkeypatch.context() as patch:
        general_road(patch)
        assert box.encrypt(plain) == fast and box.decrypt(fast) == raw.decode()
    if REFERENCE_CBC is not None:
        assert fast == reference_container(KEYS[size], fixed_iv, raw, use_hmac)


def test_cached_schedule_outside_the_contract_runs_the_general_loop(monkeypatch, fixed_iv):
    box = Q(KEYS[32])
    text = "x" * 40
    fast = box.encrypt(text)
    # Words of an int subclass: the loop computes with them as found, which
    # here gives the same bytes, encrypting in place and decrypting.
    word = type("Word", (int,), {})
    monkeypatch.setitem(crypto._KEY_CACHE, KEYS[32], tuple(
        (s[0], tuple(map(word, s[1])), s[2], tuple(map(word, s[3]))) for s in crypto._get_key(KEYS[32])))
    assert box.encrypt(text) == fast
    assert box.decrypt(fast) == text


def test_roads_agree_on_random_inputs(monkeypatch, fixed_iv):
    # The engine's tag, the one-pass loops (large inputs) and the decryption
    # ahead of its step (a second decryption) give the general road's bytes.
    rng = random.Random(1)
    for _ in range(40):
        size = rng.choice([rng.randrange(64), rng.randrange(70000)])
        text = bytes(rng.randrange(32, 127) for _ in range(size)).decode()
        box = Q(os.urandom(rng.choice([16, 24, 32])), rng.choice([True, False]))
        fast = box.encrypt(text)
        assert box.decrypt(fast) == text and box.decrypt(fast) == text
        with monkeypatch.context() as patch:
            general_road(patch)
            assert box.encrypt(text) == fast and box.decrypt(fast) == text


def test_tag_is_hashlib_hmac_for_keys_of_any_length():
    # self.key may be reassigned to bytes of any length: HMAC's own key rules apply.
    rng = random.Random(2)
    box = Q(KEYS[32])
    for key_size in [4, 5, 31, 63, 64, 65, 100, 128, 129, 300]:
        box.key = bytes(rng.randrange(256) for _ in range(key_size))
        for size in (0, 17, 55, 56, 64, rng.randrange(20000)):
            blob = box.encrypt(b"q" * size)
            assert blob[21:53] == hmac.new(box.key, blob[53:], hashlib.sha256).digest()
            assert box.decrypt(blob) == "q" * size and box.decrypt(blob) == "q" * size
            with raises(ValueError, "HMAC校验失败，数据可能被篡改！"):
                box.decrypt(blob[:-1] + bytes([blob[-1] ^ 1]))


def test_decryption_ahead_is_kept_only_for_the_schedule_it_used(monkeypatch):
    def outcome(function):
        try:
            return function()
        except (ValueError, UnicodeDecodeError) as error:
            return type(error)

    box = Q(KEYS[32])
    text = "settings " * 2000
    blob = box.encrypt(text)
    assert box.decrypt(blob) == text and box.decrypt(blob) == text
    mid = crypto._get_key(KEYS[32])[1][2]
    saved = list(mid)
    mid[5], mid[6] = mid[6], mid[5]  # the same schedule, changed in place
    try:
        assert outcome(lambda: box.decrypt(blob)) != text
    finally:
        mid[:] = saved
    assert box.decrypt(blob) == text
    other = crypto._expand_key(KEYS[24] + KEYS[16][:8])
    monkeypatch.setattr(crypto, "_get_key", lambda key: other)  # another schedule
    assert outcome(lambda: box.decrypt(blob)) != text


def test_fresh_iv_and_strict_utf8(box):
    first, second = box.encrypt("same"), box.encrypt(b"same")
    assert first[5:21] != second[5:21] and box.decrypt(first) == box.decrypt(second) == "same"
    with pytest.raises(UnicodeDecodeError):
        box.decrypt(box.encrypt(b"\xff\xfe"))
    with pytest.raises(UnicodeEncodeError):
        box.encrypt("lone \ud800")


@pytest.mark.parametrize("value", [bytearray(b"x"), 5, None, BytesSub(b"x")])
def test_type_checks_of_encrypt_and_decrypt(box, value):
    with type_error("data", bytes, value):  # reported by _pkcs7_pad
        box.encrypt(value)
    with type_error("qox_data", bytes, value):
        box.decrypt(value)


# One fixed set of containers (every key size, with and without tag, lengths
# around block edges and past the engine's wide loops, text and dicts), each
# with its own known IV, held as one SHA-256: every machine and engine path
# must write these very bytes.
FIXED_SET_SHA256 = "21740c70f890650b83364f847ee4e0f62d6e1c2b0ac52c51eb8ad41272b1b077"


def test_fixed_containers_are_the_same_bytes_everywhere(monkeypatch):
    ivs = (hashlib.sha256(b"iv %d" % n).digest() for n in range(10**6))
    monkeypatch.setattr(crypto, "os", types.SimpleNamespace(urandom=lambda n: next(ivs)[:n]))
    pattern = bytes(range(251)) * 500  # 251: no block repeats within 120,000 bytes
    digest = hashlib.sha256()
    for key_len in (16, 24, 32):
        for use_hmac in (True, False):
            box = Q(KEYS[key_len], use_hmac)
            for length in (0, 1, 15, 16, 17, 31, 32, 33, 127, 128, 129, 4096, 65537, 120000):
                digest.update(box.encrypt(pattern[:length]))
            text = "Grüße, 世界 \U0001F600" * 37
            container = box.encrypt(text)
            assert box.decrypt(container) == text
            digest.update(container)
            digest.update(box.encrypt_dict({"name": "qox", "values": [1, -2.5, None, True], "ü": {}}))
    assert digest.hexdigest() == FIXED_SET_SHA256


# 5. The failure table of decrypt, and tampering -----------------------------------

def header(version=1):
    return b"QOX1" + bytes([version]) + bytes(16)


def tagged(ciphertext, key=KEYS[32]):
    return header() + hmac.new(key, ciphertext, hashlib.sha256).digest() + ciphertext


@pytest.mark.parametrize("data, with_tag, message", [
    (b"QOX1\x01" + bytes(15), None, SHORT),
    (b"QOX2" + bytes(60), None, MAGIC), (b"qox1" + bytes(60), None, MAGIC),
    (header(2) + bytes(48), None, "不支持的版本: 2"),
    (header(0) + bytes(48), None, "不支持的版本: 0"),
    (header(255) + bytes(48), None, "不支持的版本: 255"),
    (header(), True, TAG), (header(), False, CT_LEN), (header() + bytes(48), True, TAG),
    (tagged(b""), True, CT_LEN), (tagged(bytes(17)), True, CT_LEN),
    (header() + bytes(17), False, CT_LEN), (tagged(bytes(16), key=KEYS[16]), True, TAG),
])
def test_decrypt_failures(data, with_tag, message):
    for flag in [True, False] if with_tag is None else [with_tag]:
        with raises(ValueError, message):
            Q(KEYS[32], flag).decrypt(data)


def test_bad_padding_after_decryption(use_hmac, reference_cbc):
    ciphertext = reference_cbc(KEYS[32], bytes(16), bytes(16))  # plaintext ends in 0
    with raises(ValueError, PAD):
        Q(KEYS[32], use_hmac).decrypt(tagged(ciphertext) if use_hmac else header() + ciphertext)


@pytest.mark.parametrize("offset", [5, 12, 20, 21, 36, 52, 53, 60, -1])
def test_tampering(offset):
    text = "0123456789ABCDEF and more text"
    box = Q(KEYS[32])
    container = bytearray(box.encrypt(text))
    container[offset] ^= 0x01
    if 5 <= offset <= 20:  # the IV is outside the tag: the same bits flip in the text
        expected = bytearray(text.encode())
        expected[offset - 5] ^= 0x01
        assert box.decrypt(bytes(container)) == expected.decode()
    else:
        with raises(ValueError, TAG):
            box.decrypt(bytes(container))
    with raises(ValueError, TAG):  # a tag reader given a container without the tag
        box.decrypt(Q(KEYS[32], False).encrypt(text))


# 6. Attributes and module globals are read at each call ---------------------------

@pytest.mark.parametrize("name, value, message", [
    ("HEADER_SIZE", 30, None),  # the offsets 4, 5, 21 and 53 are fixed
    ("HEADER_SIZE", 1000, SHORT), ("BLOCK_SIZE", 32, CT_LEN),
    ("VERSION", 2, "不支持的版本: 1"), ("MAGIC_NUMBER", b"ABCD", MAGIC),
])
def test_shadowed_constants(name, value, message):
    box = Q(KEYS[32])
    container = box.encrypt("short")
    setattr(box, name, value)
    if message is None:
        assert box.decrypt(container) == "short"
    else:
        with raises(ValueError, message):
            box.decrypt(container)
    assert box.encrypt("")[:5] == box.MAGIC_NUMBER + bytes([box.VERSION])
    box.use_hmac = False
    assert len(box.encrypt("")) == 37


@pytest.mark.parametrize("magic", [b"QOX", b"QOX12"])
def test_shadowed_constants_of_other_sizes_are_concatenated(fixed_iv, magic):
    box = crypto.QOXStringCrypto(KEYS[16])
    box.MAGIC_NUMBER = magic
    blob = box.encrypt("text")
    assert blob[:len(magic)] == magic and blob[len(magic) + 1:len(magic) + 17] == fixed_iv
    assert len(blob) == len(magic) + 1 + 16 + 32 + 16


def test_a_rebound_tag_of_another_length_is_kept_whole(monkeypatch, fixed_iv):
    box = crypto.QOXStringCrypto(KEYS[24])
    short_mac = types.SimpleNamespace(new=lambda *args: types.SimpleNamespace(digest=lambda: b"T"),
                                      compare_digest=crypto.hmac.compare_digest)
    monkeypatch.setattr(crypto, "hmac", short_mac)
    blob = box.encrypt("abc")
    assert blob[21:22] == b"T" and len(blob) == 21 + 1 + 16


def test_hmac_sees_bytes_when_hashlib_is_rebound(monkeypatch, fixed_iv):
    seen = []
    real_sha256 = crypto.hashlib.sha256

    def sha256(data=b""):
        seen.append(type(data))
        return real_sha256(data)

    box = crypto.QOXStringCrypto(KEYS[32])
    expected = box.encrypt("abc")
    monkeypatch.setattr(crypto, "hashlib", types.SimpleNamespace(sha256=sha256))
    assert box.encrypt("abc") == expected
    assert box.decrypt(expected) == "abc"
    assert seen and set(seen) <= {bytes}


def test_engine_calls_have_the_documented_shapes(monkeypatch):
    calls = []
    for name in ["_get_key", "_pkcs7_pad", "_aes_cbc", "_pkcs7_unpad"]:
        def spy(*args, name=name, real=getattr(crypto, name)):
            calls.append((name, args, real(*args)))
            return calls[-1][2]
        monkeypatch.setattr(crypto, name, spy)
    box = Q(KEYS[32])
    container = box.encrypt(b"payload")
    assert box.decrypt(container) == "payload"
    assert [call[0] for call in calls] == ["_get_key", "_pkcs7_pad", "_aes_cbc",
                                           "_get_key", "_aes_cbc", "_pkcs7_unpad"]
    (enc, _), (_, dec), padded = calls[0][2], calls[3][2], calls[1][2]
    iv, ciphertext = container[5:21], container[53:]
    assert calls[2][1] == (enc, KEYS[32], iv, padded, True)
    assert calls[4][1] == (dec, KEYS[32], iv, ciphertext, False)


def test_rebound_or_missing_globals(monkeypatch, box):
    container = box.encrypt("text")
    monkeypatch.setattr(crypto, "_pkcs7_unpad", lambda data: b'"replaced"')
    assert box.decrypt(container) == '"replaced"'
    monkeypatch.delattr(crypto, "_pkcs7_pad")
    with raises(NameError, "name '_pkcs7_pad' is not defined"):
        box.encrypt("text")


# 7. References and memory -----------------------------------------------------------

def test_no_reference_or_memory_leak(box):
    text = "leak check 文本" * 3
    container = box.encrypt(text)

    def exercise(times):
        for _ in range(times):
            box.decrypt(box.encrypt(text))
            for bad in [container[:30], b"QOX9" + container[4:], container[:-1], None]:
                with pytest.raises((ValueError, TypeError)):
                    box.decrypt(bad)
        gc.collect()

    watched = (box.key, text, container, box)
    exercise(1)
    before = [sys.getrefcount(obj) for obj in watched]
    tracemalloc.start()
    exercise(50)
    start = tracemalloc.get_traced_memory()[0]
    exercise(1000)
    grown = tracemalloc.get_traced_memory()[0] - start
    tracemalloc.stop()
    assert [sys.getrefcount(obj) for obj in watched] == before
    assert grown < 20000  # one leaked object per call would be 1000 times its size
