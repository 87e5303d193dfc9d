"""The per-chunk work of the layer, in one place: CBC over whole blocks with the chain
carried from chunk to chunk, the tag's hash over the ciphertext, the constant-time
comparison and the padding. Everything above this file calls only these names, so a
faster engine (one pass for AES and SHA-256) can take them over here alone.
"""
import hashlib
import hmac
from types import ModuleType

BLOCK_SIZE = 16


def _engine() -> ModuleType:
    """The extension module, imported at first use so the command line starts without it."""
    import qoxcrypto.crypto
    return qoxcrypto.crypto


class TagHash:
    """HMAC-SHA256 of the ciphertext under the key, fed in pieces."""

    def __init__(self, key: bytes):
        self._mac = hmac.new(key, digestmod=hashlib.sha256)

    def update(self, data: bytes) -> None:
        self._mac.update(data)

    def digest(self) -> bytes:
        return self._mac.digest()

    def matches(self, tag: bytes) -> bool:
        """Whether the hash so far equals tag, compared in constant time."""
        return tags_equal(self._mac.digest(), tag)


class CbcContext:
    """CBC over whole blocks, one chunk after another (each chunk's IV is the last
    ciphertext block before it); with hashed, the ciphertext also feeds a TagHash."""

    def __init__(self, key: bytes, iv: bytes, *, encrypt: bool, hashed: bool):
        engine = _engine()
        self._key, self._encrypt, self._chain = key, encrypt, iv
        self._schedule = engine._get_key(key)[0 if encrypt else 1]
        self._aes_cbc = engine._aes_cbc
        self.tag = TagHash(key) if hashed else None

    def update(self, blocks: bytes) -> bytes:
        """The other side of blocks (a multiple of 16 bytes): ciphertext or plaintext."""
        if not blocks:
            return b""
        out = self._aes_cbc(self._schedule, self._key, self._chain, blocks,
                            self._encrypt)  # type: bytes
        ciphertext = out if self._encrypt else blocks
        self._chain = ciphertext[-BLOCK_SIZE:]
        if self.tag is not None:
            self.tag.update(ciphertext)
        return out


def tags_equal(found: bytes, expected: bytes) -> bool:
    return hmac.compare_digest(found, expected)


def pad(data: bytes) -> bytes:
    """data with PKCS#7 padding to whole blocks."""
    padded = _engine()._pkcs7_pad(data)  # type: bytes
    return padded


def unpad(block: bytes) -> bytes:
    """The last block without its padding; ValueError when the padding is wrong."""
    plain = _engine()._pkcs7_unpad(block)  # type: bytes
    return plain
