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


def pieces(data, blocks):
    """data cut into pieces of the given numbers of blocks, in turn, the rest last."""
    out, at, i = [], 0, 0
    while at < len(data):
        out.append(data[at:at + 16 * blocks[i % len(blocks)]])
        at, i = at + len(out[-1]), i + 1
    return out


# Piece sizes that start, fill and skip the tag's 64-byte buffer in every order,
# and one large enough to run without the GIL.
@pytest.mark.parametrize("size,blocks", [(0, [1]), (15, [1]), (64, [4]), (100, [1, 3, 2]),
                                         (1000, [5, 0, 7]), (70000, [3000])])
@pytest.mark.parametrize("tag", [True, False], ids=["tag", "no-tag"])
def test_contexts_make_and_open_the_modules_container(monkeypatch, tag, size, blocks):
    key = KEYS[16 + 8 * (size % 3)]
    plain = bytes((i * 13 + size) % 256 for i in range(size))
    padded = engine.pad(plain)
    encrypt = engine.CbcContext(key, IV, True, tag)
    body = b"".join(encrypt.update(piece) for piece in pieces(padded, blocks))
    tag_bytes = encrypt.digest() if tag else b""
    header = engine.MAGIC + bytes([engine.VERSION]) + IV
    assert header + tag_bytes + body == module_container(key, plain, tag, monkeypatch)
    tags = engine.TagContext(key)
    for piece in pieces(body, blocks[::-1]):
        tags.update(piece[:5])
        tags.update(piece[5:])
    assert engine.compare_digest(tags.digest(), tag_bytes) == tag
    decrypt = engine.CbcContext(key, IV, False, True)
    opened = b"".join(decrypt.update(piece) for piece in pieces(body, blocks))
    assert engine.unpad(opened) == plain and decrypt.digest() == tags.digest()


@pytest.mark.parametrize("last_block,opens", [
    (bytes(15) + b"\x01", True), (b"\x10" * 16, True), (bytes(16), False),
    (b"\x11" * 16, False), (bytes(13) + b"\x02\x03\x03", False), (b"\xff" * 16, False)])
def test_the_padding_is_checked_whatever_its_count(last_block, opens):
    if opens:
        assert engine.unpad(bytes(16) + last_block) == bytes(16) + last_block[:16 - last_block[-1]]
    else:
        with pytest.raises(ValueError, match="padding"):
            engine.unpad(bytes(16) + last_block)


def test_misuse_raises_instead_of_guessing():
    with pytest.raises(ValueError, match="not 20"):
        engine.CbcContext(bytes(20), IV, True, True)
    with pytest.raises(ValueError, match="not 15"):
        engine.CbcContext(KEYS[16], IV[:15], False, False)
    with pytest.raises(ValueError, match="not a multiple"):
        engine.CbcContext(KEYS[16], IV, True, False).update(bytes(17))
    with pytest.raises(ValueError, match="hashes nothing"):
        engine.CbcContext(KEYS[16], IV, True, False).digest()
    with pytest.raises(ValueError, match="no whole blocks"):
        engine.unpad(b"")
    assert not engine.compare_digest(b"ab", b"abc") and engine.compare_digest(b"", bytearray())
