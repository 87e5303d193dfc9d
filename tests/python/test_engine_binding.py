"""qoxcrypto._engine, the package layer's binding: its contexts make and open the module's containers."""
import os

import pytest

from conftest import KEYS, crypto
from qoxcrypto import _engine as engine

IV = bytes(range(16, 32))


def module_container(key, plain, tag, monkeypatch):
    monkeypatch.setattr(os, "urandom", lambda size: IV)
    try:
        return crypto.QOXStringCrypto(key, tag).encrypt(plain)
    finally:
        monkeypatch.undo()


def pieces(data, step):
    return [data[i:i + step] for i in range(0, len(data), step)] or [b""]


@pytest.mark.parametrize("tag", [True, False], ids=["tag", "no-tag"])
@pytest.mark.parametrize("size,step", [(0, 1), (15, 4), (64, 64), (65, 7), (1000, 63),
                                       (70000, 33333)])
def test_contexts_make_and_open_the_modules_container(monkeypatch, tag, size, step):
    key = KEYS[16 + 8 * (size % 3)]
    plain = bytes((i * 13 + size) % 256 for i in range(size))
    encrypt = engine.EncryptContext(key, IV, tag)
    body = b"".join(encrypt.update(piece) for piece in pieces(plain, step)) + encrypt.finish()
    header = engine.MAGIC + bytes([engine.VERSION]) + IV
    assert header + encrypt.tag + body == module_container(key, plain, tag, monkeypatch)
    tags = engine.TagContext(key)
    for piece in pieces(body, step):
        tags.update(piece)
    assert engine.compare_digest(tags.digest(), encrypt.tag) == tag
    decrypt = engine.DecryptContext(key, IV)
    assert b"".join(decrypt.update(p) for p in pieces(body, step)) + decrypt.finish() == plain


@pytest.mark.parametrize("last_plain_block,opens", [
    (bytes(15) + b"\x01", True), (b"\x10" * 16, True), (bytes(16), False),
    (b"\x11" * 16, False), (bytes(13) + b"\x02\x03\x03", False), (b"\xff" * 16, False)])
def test_the_padding_is_checked_whatever_its_count(last_plain_block, opens):
    key = KEYS[32]
    raw = crypto._aes_cbc(crypto._get_key(key)[0], key, IV, last_plain_block, True)
    decrypt = engine.DecryptContext(key, IV)
    assert decrypt.update(raw) == b""
    if opens:
        assert decrypt.finish() == last_plain_block[:16 - last_plain_block[-1]]
    else:
        with pytest.raises(ValueError, match="padding"):
            decrypt.finish()


def test_misuse_raises_instead_of_guessing():
    with pytest.raises(ValueError, match="not 20"):
        engine.EncryptContext(bytes(20), IV)
    with pytest.raises(ValueError, match="not 15"):
        engine.DecryptContext(KEYS[16], IV[:15])
    encrypt = engine.EncryptContext(KEYS[16], IV)
    with pytest.raises(ValueError, match="finish"):
        encrypt.tag
    encrypt.finish()
    with pytest.raises(ValueError, match="finished"):
        encrypt.update(b"x")
    decrypt = engine.DecryptContext(KEYS[16], IV)
    decrypt.update(bytes(17))
    with pytest.raises(ValueError, match="whole"):
        decrypt.finish()
    assert not engine.compare_digest(b"ab", b"abc") and engine.compare_digest(b"", bytearray())
