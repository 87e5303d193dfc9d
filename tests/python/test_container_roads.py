"""The container built in place equals the one the written steps build, byte for byte."""
import hashlib
import hmac
import os
import random
import types

import pytest

import qoxcrypto.crypto as crypto
from conftest import KEYS

TEXTS = ["", "a", "x" * 15, "y" * 16, "héllo wörld " * 40, "z" * (1 << 17)]


def written_road(monkeypatch):
    """Wrappers that leave every result alone but take the module's fast roads away."""
    pad, aes_cbc = crypto._pkcs7_pad, crypto._aes_cbc
    monkeypatch.setattr(crypto, "_pkcs7_pad", lambda data: pad(data))
    monkeypatch.setattr(crypto, "_aes_cbc", lambda *args: aes_cbc(*args))
    monkeypatch.setattr(crypto, "hmac", types.SimpleNamespace(
        new=crypto.hmac.new, compare_digest=crypto.hmac.compare_digest))


@pytest.mark.parametrize("use_hmac", [True, False])
@pytest.mark.parametrize("text", TEXTS, ids=len)
def test_in_place_container_matches_the_written_steps(monkeypatch, fixed_iv, use_hmac, text):
    box = crypto.QOXStringCrypto(KEYS[32], use_hmac)
    fast = box.encrypt(text)
    assert box.decrypt(fast) == text
    with monkeypatch.context() as patch:
        written_road(patch)
        assert box.encrypt(text) == fast
        assert box.decrypt(fast) == text


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


def random_cases(seed, count, max_size):
    rng = random.Random(seed)
    for _ in range(count):
        size = rng.choice([rng.randrange(64), rng.randrange(max_size)])
        yield rng.choice([16, 24, 32]), rng.choice([True, False]), \
            bytes(rng.randrange(32, 127) for _ in range(size)).decode()


def test_roads_agree_on_random_inputs(monkeypatch, fixed_iv):
    """The engine's tag, the one-pass loops and the decryption ahead give the written steps' bytes."""
    for key_size, use_hmac, text in random_cases(1, 40, 70000):
        box = crypto.QOXStringCrypto(os.urandom(key_size), use_hmac)
        fast = box.encrypt(text)
        assert box.decrypt(fast) == text and box.decrypt(fast) == text  # the second may run ahead
        with monkeypatch.context() as patch:
            written_road(patch)
            assert box.encrypt(text) == fast
            assert box.decrypt(fast) == text


def test_tag_is_hashlib_hmac_for_keys_of_any_length():
    """self.key may be reassigned to bytes of any length: HMAC's own key rules apply."""
    rng = random.Random(2)
    box = crypto.QOXStringCrypto(KEYS[32])
    for key_size in [4, 5, 31, 63, 64, 65, 100, 128, 129, 300]:
        box.key = bytes(rng.randrange(256) for _ in range(key_size))
        for size in (0, 17, 55, 56, 64, rng.randrange(20000)):
            blob = box.encrypt(b"q" * size)
            assert blob[21:53] == hmac.new(box.key, blob[53:], hashlib.sha256).digest()
            assert box.decrypt(blob) == "q" * size and box.decrypt(blob) == "q" * size
            with pytest.raises(ValueError, match="^HMAC校验失败"):
                box.decrypt(blob[:-1] + bytes([blob[-1] ^ 1]))


def outcome(function):
    try:
        return function()
    except (ValueError, UnicodeDecodeError) as error:
        return type(error)


def test_decryption_ahead_is_dropped_when_the_schedule_it_used_is_not_the_one_read(monkeypatch):
    box = crypto.QOXStringCrypto(KEYS[32])
    text = "settings " * 2000
    blob = box.encrypt(text)
    assert box.decrypt(blob) == text and box.decrypt(blob) == text
    mid, saved = crypto._get_key(KEYS[32])[1][2], list(crypto._get_key(KEYS[32])[1][2])
    mid[5], mid[6] = mid[6], mid[5]           # the same schedule, changed in place
    try:
        assert outcome(lambda: box.decrypt(blob)) != text
    finally:
        mid[:] = saved
    assert box.decrypt(blob) == text
    other = crypto._expand_key(KEYS[24] + KEYS[16][:8])
    monkeypatch.setattr(crypto, "_get_key", lambda key: other)  # another schedule
    assert outcome(lambda: box.decrypt(blob)) != text
