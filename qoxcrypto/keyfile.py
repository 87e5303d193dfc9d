"""Key files: the raw key bytes, or the key wrapped under a passphrase.

A raw key file holds exactly the 16, 24 or 32 key bytes. A passphrase key file, format
version 1, is (offsets in bytes; the README shows the same table):

    0   4  magic b"QOXK"
    4   1  format version, 1
    5   1  key derivation, 1 = scrypt (RFC 7914)
    6   1  log2 of scrypt's cost N
    7   1  scrypt's block size r
    8   1  scrypt's parallelism p
    9  16  salt, random for every file written
   25   .  a tagged .qox container holding the key, under the 32-byte key that scrypt
           derives from the passphrase (str as NFC-normalised UTF-8) and the salt

A wrong passphrase derives another key, so the container's tag does not match: that is
how a wrong passphrase is told, and a changed header field (cost, salt) fails the same way.
"""
import hashlib
import os
import string
import unicodedata
from typing import Callable, NamedTuple, Optional, Tuple, Union

from qoxcrypto import arguments
from qoxcrypto.arguments import KEY_SIZES, PathLike
from qoxcrypto.atomic import atomic_write
from qoxcrypto.exceptions import ContainerError, KeyFileError, TagMismatchError, WrongPassphraseError
from qoxcrypto.stream import BytesLike, decrypt, encrypt

MAGIC = b"QOXK"
FORMAT_VERSION = 1
KDF_SCRYPT = 1
SALT_SIZE = 16
HEADER_SIZE = 9 + SALT_SIZE
DERIVED_KEY_SIZE = 32  # the wrapping container is AES-256 with its HMAC


class ScryptCost(NamedTuple):
    """scrypt's cost: N = 2**log2_n, memory 128 * r * N bytes, p passes over it."""
    log2_n: int
    r: int
    p: int


# About 0.5 s and 64 MiB (128 * r * N bytes) on a current x86-64 core.
DEFAULT_COST = ScryptCost(16, 8, 1)
# A key file names its own cost; one asking for more than this is refused unread,
# since a changed file could otherwise make every load take gigabytes and minutes.
MAX_MEMORY = 1 << 30
MAX_PARALLELISM = 16

_LONGEST_FILE = 4096
_HEX_TEXT = frozenset((string.hexdigits + string.whitespace).encode("ascii"))

Passphrase = Union[str, bytes]
PassphraseSource = Union[None, str, bytes, Callable[[], Passphrase]]


def generate_key(size: int = 32) -> bytes:
    """A new random key of size bytes (32: AES-256; 16 and 24 also work)."""
    return os.urandom(arguments.size(size, "size", KEY_SIZES))


def load_key(path: PathLike, passphrase: PassphraseSource = None) -> bytes:
    """The key in a key file of either kind.

    passphrase: str, bytes, or a function returning one, called only when the file is
    passphrase-protected (a raw key file needs none and ignores it). Raises
    WrongPassphraseError (a TagMismatchError) when the passphrase does not open the file,
    KeyFileError when the file is no key file this version reads or no passphrase was given.
    """
    arguments.path(path, "path")
    if not (passphrase is None or callable(passphrase)):
        _passphrase_bytes(passphrase)  # the type error now, not only for protected files
    name = os.fsdecode(path)
    with open(path, "rb") as handle:
        content = handle.read(_LONGEST_FILE + 1)
    if content[:4] != MAGIC:
        return _raw_key(content, name)
    if passphrase is None:
        raise KeyFileError("key file %s is protected by a passphrase; none was given" % name)
    cost, salt, wrapped = _parse(content, name)
    given = passphrase() if callable(passphrase) else passphrase
    wrapping_key = derive_key(_passphrase_bytes(given), salt, cost)
    try:
        key = decrypt(wrapping_key, wrapped)
    except TagMismatchError:
        raise WrongPassphraseError("wrong passphrase for key file %s (or the file was changed)"
                                   % name) from None
    except ContainerError as error:
        raise KeyFileError("key file %s is damaged: %s" % (name, error)) from None
    if len(key) not in KEY_SIZES:
        raise KeyFileError("key file %s holds a %d-byte key" % (name, len(key)))
    return key


def save_key(path: PathLike, key: BytesLike, passphrase: Optional[Passphrase] = None, *,
             overwrite: bool = False, cost: Optional[ScryptCost] = None) -> None:
    """Writes key to a new key file readable by its owner only (mode 0600), in one step.

    passphrase: None writes the raw key bytes; a str or bytes wraps the key under it.
    overwrite: replace an existing file (files encrypted under the old key are then lost
    unless it is kept elsewhere). cost: scrypt's (log2_n, r, p), DEFAULT_COST when None.
    """
    arguments.path(path, "path")
    key = arguments.key_bytes(key)
    arguments.flag(overwrite, "overwrite")
    if passphrase is None:
        content = key
    else:
        secret = _passphrase_bytes(passphrase)
        if not secret:
            raise ValueError("passphrase is empty")
        cost = _checked_cost(DEFAULT_COST if cost is None else cost, "cost")
        salt = os.urandom(SALT_SIZE)
        wrapped = encrypt(derive_key(secret, salt, cost), key, tag=True)
        content = (MAGIC + bytes([FORMAT_VERSION, KDF_SCRYPT, cost.log2_n, cost.r, cost.p])
                   + salt + wrapped)
    if not overwrite and os.path.lexists(path):
        raise FileExistsError("%s exists (pass overwrite=True to replace it)" % os.fsdecode(path))
    atomic_write(path, lambda handle: handle.write(content), mode=0o600)


def derive_key(passphrase: bytes, salt: bytes, cost: ScryptCost,
               length: int = DERIVED_KEY_SIZE) -> bytes:
    """scrypt(passphrase, salt, N = 2**log2_n, r, p) of length bytes, through hashlib."""
    if not hasattr(hashlib, "scrypt"):  # a Python built against OpenSSL before 1.1
        raise KeyFileError("passphrase key files need hashlib.scrypt, which this Python lacks")
    n = 1 << cost.log2_n
    # OpenSSL counts 128 * r * (N + p + 2) bytes; hashlib's default ceiling is 32 MiB.
    memory = 128 * cost.r * (n + cost.p + 2) + (1 << 20)
    return hashlib.scrypt(passphrase, salt=salt, n=n, r=cost.r, p=cost.p, maxmem=memory,
                          dklen=length)


def is_protected(path: PathLike) -> bool:
    """Whether the key file at path needs a passphrase."""
    with open(arguments.path(path, "path"), "rb") as handle:
        return handle.read(len(MAGIC)) == MAGIC


def _raw_key(content: bytes, name: str) -> bytes:
    # Random key bytes are practically never all hex digits; hex text of a 16-byte key
    # would otherwise pass as a 32-byte key of ASCII characters.
    if content and all(byte in _HEX_TEXT for byte in content):
        raise KeyFileError("key file %s holds hex text; a key file holds the raw key bytes"
                           % name)
    if len(content) not in KEY_SIZES:
        raise KeyFileError("key file %s holds %s bytes; a key has 16, 24 or 32 bytes" % (
            name, len(content) if len(content) <= _LONGEST_FILE else "more than %d"
            % _LONGEST_FILE))
    return content


def _parse(content: bytes, name: str) -> Tuple[ScryptCost, bytes, bytes]:
    """(cost, salt, wrapped container) of a passphrase key file's content."""
    if len(content) < HEADER_SIZE or len(content) > _LONGEST_FILE:
        raise KeyFileError("key file %s is damaged: %d bytes" % (name, len(content)))
    version, kdf, log2_n, r, p = content[4:9]
    if version != FORMAT_VERSION:
        raise KeyFileError("key file %s has format version %d; this qoxcrypto reads version %d"
                           % (name, version, FORMAT_VERSION))
    if kdf != KDF_SCRYPT:
        raise KeyFileError("key file %s names key derivation %d; only 1 (scrypt) is known"
                           % (name, kdf))
    cost = _checked_cost(ScryptCost(log2_n, r, p), "key file %s" % name, KeyFileError)
    return cost, content[9:HEADER_SIZE], content[HEADER_SIZE:]


def _checked_cost(cost: object, what: str, error: type = ValueError) -> ScryptCost:
    values = tuple(cost) if isinstance(cost, tuple) else ()
    if len(values) != 3 or not all(type(value) is int for value in values):
        raise TypeError("cost must be a (log2_n, r, p) tuple of ints, not %r" % (cost,))
    checked = ScryptCost(*values)
    log2_n, r, p = checked
    if not (1 <= log2_n <= 24 and 1 <= r <= 255 and 1 <= p <= MAX_PARALLELISM):
        raise error("%s: scrypt cost log2_n=%d r=%d p=%d out of range (log2_n 1-24, r 1-255, "
                    "p 1-%d)" % (what, log2_n, r, p, MAX_PARALLELISM))
    if 128 * r << log2_n > MAX_MEMORY:
        raise error("%s: scrypt cost log2_n=%d r=%d asks for %d MiB; at most %d MiB"
                    % (what, log2_n, r, (128 * r << log2_n) >> 20, MAX_MEMORY >> 20))
    return checked


def _passphrase_bytes(passphrase: object) -> bytes:
    if isinstance(passphrase, str):
        # The same characters typed on another system may arrive decomposed (NFD).
        return unicodedata.normalize("NFC", passphrase).encode("utf-8")
    if isinstance(passphrase, bytes):
        return passphrase
    raise TypeError("passphrase must be str or bytes, not %s"
                    % ("None" if passphrase is None else type(passphrase).__name__))
