"""The container built in place equals the one the written steps build, byte for byte."""
import os
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


def test_cached_schedule_outside_the_contract_runs_the_written_loop(monkeypatch, fixed_iv):
    box = crypto.QOXStringCrypto(KEYS[32])
    text = "x" * 40
    fast = box.encrypt(text)
    # Words of an int subclass: the loop computes with them as found, which
    # here gives the same bytes, encrypting in place and decrypting.
    word = type("Word", (int,), {})
    monkeypatch.setitem(crypto._KEY_CACHE, KEYS[32], tuple(
        (s[0], tuple(map(word, s[1])), s[2], tuple(map(word, s[3]))) for s in crypto._get_key(KEYS[32])))
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
