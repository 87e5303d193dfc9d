"""Python code run in the middle of encrypt and decrypt (a rebound tag
function, a finalizer, a shadowed constant) sees no unfinished buffer and no
other key's pads, and no partial block passes a check the steps make."""
import hashlib
import hmac
import struct
import sys

import pytest

import qoxcrypto.crypto as crypto

KEY = bytes(range(32))


def rebind_tag_function(monkeypatch, which, seen, tail=b""):
    """hmac.new or hashlib.sha256 on the real modules, wrapped: each message
    is recorded with a copy of the object holding it (a view's .obj) at call
    time, and passed on concatenated with `tail` (as it is when None)."""
    def record(message):
        seen.append((message, bytes(getattr(message, "obj", message))))
        return message if tail is None else message + tail

    if which == "hmac.new":
        real_new = hmac.new
        monkeypatch.setattr(hmac, "new", lambda key, msg, mod: real_new(key, record(msg), mod))
        return
    real_sha256 = hashlib.sha256

    class Sha256:
        digest_size, block_size = 32, 64

        def __init__(self, data=b"", state=None):
            self.hash = state or real_sha256(data)

        def update(self, data):
            self.hash.update(record(data))

        def copy(self):
            return Sha256(state=self.hash.copy())

        def digest(self):
            return self.hash.digest()
    monkeypatch.setattr(hashlib, "sha256", Sha256)


@pytest.mark.parametrize("which", ["hmac.new", "hashlib.sha256"])
@pytest.mark.parametrize("size", [0, 5000])
def test_a_rebound_tag_function_gets_the_ciphertext_as_bytes(monkeypatch, which, size):
    seen = []
    rebind_tag_function(monkeypatch, which, seen)
    box = crypto.QOXStringCrypto(KEY)
    blob = box.encrypt(bytes(size))
    assert box.decrypt(blob) == "\0" * size
    ciphertexts = [m for m, _ in seen if len(m) == len(blob) - 53]
    assert ciphertexts and all(type(m) is bytes and m == blob[53:] for m in ciphertexts)


@pytest.mark.parametrize("which", ["hmac.new", "hashlib.sha256"])
def test_b_a_rebound_tag_function_never_sees_the_unfinished_container(monkeypatch, which):
    # Whatever object the message lies in, its bytes are the ones the finished
    # container holds: encrypt hands nothing out before it is written.
    seen = []
    rebind_tag_function(monkeypatch, which, seen, tail=None)
    box = crypto.QOXStringCrypto(KEY)
    for size in (0, 40, 5000):
        seen.clear()
        blob = box.encrypt(b"\xa5" * size)
        owners = [owner for _, owner in seen if len(owner) not in (32, 64)]  # pads, inner hash
        assert owners and all(owner in (blob, blob[53:]) for owner in owners)


def test_c_a_finalizer_run_by_the_pad_cache_cannot_swap_keys():
    # The decryption schedule remembered for one key holds (in its round-key
    # list) an object whose finalizer encrypts under four other keys. When the
    # pad cache drops that schedule to make room for a new key, the
    # finalizer's calls take every slot; the new key's tag must still be its own.
    boxes = [crypto.QOXStringCrypto(bytes([n]) * 32) for n in range(1, 10)]
    first = boxes[0]
    first.decrypt(first.encrypt(bytes(8192)))  # large: the schedule is remembered
    ran = []

    class Finalizer:
        def __del__(self):
            ran.append(True)
            for box in boxes[1:5]:
                box.encrypt(b"finalizer")
    crypto._KEY_CACHE[first.key][1][2].append(Finalizer())
    crypto._KEY_CACHE.clear()
    # Eight other schedules push the first key's out of the schedule cache;
    # untagged, they leave the pad cache alone.
    for box in boxes[1:9]:
        crypto.QOXStringCrypto(box.key, use_hmac=False).encrypt(b"x")
    for box in boxes[5:8]:  # three keys, so that the next new one evicts the first
        box.encrypt(b"x")
    newcomer = crypto.QOXStringCrypto(bytes(range(32, 64)))
    blob = newcomer.encrypt(b"kept")
    assert ran == [True]
    assert newcomer.decrypt(blob) == "kept"
    assert blob[21:53] == hmac.new(newcomer.key, blob[53:], hashlib.sha256).digest()


@pytest.mark.parametrize("unpad", ["own", "rebound"])
def test_d_a_shadowed_block_size_lets_no_partial_block_through(monkeypatch, unpad):
    seen = []
    if unpad == "rebound":
        monkeypatch.setattr(crypto, "_pkcs7_unpad", lambda data: seen.append(data) or b"")
    box = crypto.QOXStringCrypto(KEY, use_hmac=False)
    blob = box.encrypt(bytes(40)) + bytes(8)  # 48 + 8 bytes of ciphertext
    box.BLOCK_SIZE = 8
    # The CBC loop fails converting the data, before any block is decrypted.
    with pytest.raises(struct.error):
        box.decrypt(blob)
    assert seen == []


@pytest.mark.skipif(sys.maxsize >= 2**32, reason="lengths near the largest bytes object")
def test_e_encrypt_near_the_largest_bytes_object_fails_as_padding_does():
    # The first step that cannot finish decides the exception: the padding's
    # OverflowError when the padded data cannot be a bytes object, otherwise
    # MemoryError, as for any copy of a half-address-space buffer.
    box = crypto.QOXStringCrypto(KEY, use_hmac=False)
    largest = sys.maxsize - sys.getsizeof(b"")  # a bytes object's header
    for size in range(largest - 80, largest + 1):
        try:
            data = bytes(size)
        except MemoryError:
            pytest.skip("no room for the plaintext itself")
        try:
            crypto._pkcs7_pad(data)
        except (OverflowError, MemoryError) as error:
            expected = type(error)
        else:
            continue
        with pytest.raises(expected):
            box.encrypt(data)
        del data
