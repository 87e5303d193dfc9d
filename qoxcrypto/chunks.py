"""The per-chunk work of the layer, in one place: CBC over whole blocks with the chain
carried from chunk to chunk, the tag's hash over the ciphertext, the constant-time
comparison and the padding. It all runs in the engine's binding (qoxcrypto._engine):
CBC and the tag in one pass over the data, without the GIL for large chunks.
"""
from qoxcrypto import _engine

BLOCK_SIZE = _engine.BLOCK_SIZE


class TagHash:
    """HMAC-SHA256 of the ciphertext under the key, fed in pieces."""

    def __init__(self, key: bytes):
        self._hash = _engine.TagContext(key)

    def update(self, data: bytes) -> None:
        self._hash.update(data)

    def digest(self) -> bytes:
        digest = self._hash.digest()  # type: bytes
        return digest

    def matches(self, tag: bytes) -> bool:
        """Whether the hash so far equals tag, compared in constant time."""
        return tags_equal(self.digest(), tag)


class _CiphertextHash(TagHash):
    """The tag a CbcContext computes in the same pass as its blocks: read-only, since
    the context's own update() is the CBC step."""

    def __init__(self, context: _engine.CbcContext):
        self._hash = context  # type: ignore[assignment]

    def update(self, data: bytes) -> None:
        raise TypeError("the ciphertext's hash is fed by its CbcContext")


class CbcContext:
    """CBC over whole blocks, one chunk after another (each chunk's IV is the last
    ciphertext block before it); with hashed, the ciphertext also feeds .tag."""

    def __init__(self, key: bytes, iv: bytes, *, encrypt: bool, hashed: bool):
        self._context = _engine.CbcContext(key, iv, encrypt, hashed)
        self.tag = _CiphertextHash(self._context) if hashed else None

    def update(self, blocks: bytes) -> bytes:
        """The other side of blocks (a multiple of 16 bytes): ciphertext or plaintext."""
        out = self._context.update(blocks)  # type: bytes
        return out


def tags_equal(found: bytes, expected: bytes) -> bool:
    same = _engine.compare_digest(found, expected)  # type: bool
    return same


def pad(data: bytes) -> bytes:
    """data with PKCS#7 padding to whole blocks."""
    padded = _engine.pad(data)  # type: bytes
    return padded


def unpad(block: bytes) -> bytes:
    """The last block without its padding; ValueError when the padding is wrong."""
    plain = _engine.unpad(block)  # type: bytes
    return plain
