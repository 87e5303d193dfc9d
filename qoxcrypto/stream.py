"""Containers of any size: bytes to bytes, and file objects streamed in chunks.

The output is byte for byte what QOXStringCrypto writes for the same key, IV and
plaintext, and QOXStringCrypto reads it (as text, when the plaintext is UTF-8). The
per-chunk work is in qoxcrypto.chunks: CBC runs chunk by chunk, each chunk's IV being
the last ciphertext block of the one before, and the HMAC follows the ciphertext, so
memory does not grow with the data.

Reading a container with the tag releases no plaintext before the tag has verified:
the container is read twice, a tag pass and then the decryption pass (which hashes
again, so bytes changed between the two are caught). A source that cannot seek back
is first copied, ciphertext only, into a private spool. Without the tag nothing can be
verified: the plaintext streams in one pass and only the padding is checked.
"""
import codecs
import contextlib
import io
import os
import tempfile
from typing import Any, BinaryIO, Callable, Iterator, Optional, Union

from qoxcrypto.chunks import BLOCK_SIZE, CbcContext, TagHash, pad, unpad
from qoxcrypto.exceptions import (ContainerError, DamagedError, NotAContainerError,
                                  TaggedContainerError, TagMismatchError,
                                  UntaggedContainerError)

# The stored format (QOXStringCrypto carries the same values).
MAGIC = b"QOX1"
VERSION = 1
HEADER_SIZE = 21  # magic, version byte, 16-byte IV
TAG_SIZE = 32     # HMAC-SHA256 of the ciphertext, present when written with a tag
KEY_SIZES = (16, 24, 32)

CHUNK_SIZE = 1 << 20
SPOOL_IN_MEMORY = 8 << 20  # a spool larger than this goes to an unnamed temporary file

BytesLike = Union[bytes, bytearray, memoryview]
Progress = Callable[[int], None]

_MISMATCH = "the tag does not match: wrong key, or the file was changed"
_MISMATCH_OR_UNTAGGED = ("the tag does not match: wrong key, the file was changed, or it was "
                         "written without the tag (binary data cannot tell these apart)")
_UNTAGGED_TEXT = ("no tag verifies, and read without one the whole data is UTF-8 text: "
                  "written without the tag")
_SHORT_OR_UNTAGGED = ("%d bytes is no container length with the tag, and without one it reads as "
                      "binary data: damaged, or written without the tag (binary data cannot "
                      "tell)")
_CHANGED_WHILE_READ = "the file changed while it was read: the tag no longer matches"


def _key_bytes(key: BytesLike) -> bytes:
    key = bytes(key)
    if len(key) not in KEY_SIZES:
        raise ValueError("a key has 16, 24 or 32 bytes, not %d" % len(key))
    return key


class Encryptor:
    """One container, written piece by piece: header, then every update(), then finish().

    With a tag, the tag field sits between header and ciphertext but is known only
    after finish(): write TAG_SIZE placeholder bytes and fill them in with .tag then.
    """

    def __init__(self, key: BytesLike, *, tag: bool = True, iv: Optional[BytesLike] = None):
        key = _key_bytes(key)
        self.iv = os.urandom(BLOCK_SIZE) if iv is None else bytes(iv)
        if len(self.iv) != BLOCK_SIZE:
            raise ValueError("an IV has 16 bytes, not %d" % len(self.iv))
        self.header = MAGIC + bytes([VERSION]) + self.iv
        self._cbc = CbcContext(key, self.iv, encrypt=True, hashed=tag)
        self._pending = b""  # less than a block, waiting for more
        self._finished = False

    def update(self, data: BytesLike) -> bytes:
        """The ciphertext of the whole blocks available so far."""
        if self._finished:
            raise ValueError("update() after finish()")
        data = self._pending + bytes(data)
        whole = len(data) - len(data) % BLOCK_SIZE
        self._pending = data[whole:]
        return self._cbc.update(data[:whole] if whole < len(data) else data)

    def finish(self) -> bytes:
        """The last ciphertext: the pending bytes with their padding."""
        if self._finished:
            raise ValueError("finish() called twice")
        self._finished = True
        return self._cbc.update(pad(self._pending))

    @property
    def tag(self) -> bytes:
        """The HMAC tag (empty without a tag); complete once finish() has returned."""
        return b"" if self._cbc.tag is None else self._cbc.tag.digest()


class _Framing:
    """Splits a container's bytes into its head (header, and the tag field when read
    with one) and whole ciphertext blocks, checking magic and version on arrival."""

    def __init__(self, head_size: int):
        self.head_size = head_size
        self.head = b""
        self.rest = b""  # ciphertext short of a block
        self.size = 0    # container bytes seen
        self.blocks = 0  # ciphertext bytes handed out

    def feed(self, data: bytes) -> bytes:
        self.size += len(data)
        if len(self.head) < self.head_size:
            take = self.head_size - len(self.head)
            self.head += data[:take]
            data = data[take:]
            _check_header(self.head)
            if len(self.head) < self.head_size:
                return b""
        data = self.rest + data
        whole = len(data) - len(data) % BLOCK_SIZE
        self.rest = data[whole:]
        self.blocks += whole
        return data[:whole] if whole < len(data) else data

    def check_whole(self, tagged: bool) -> None:
        """Raises unless what was fed is a complete container's length."""
        if len(self.head) < HEADER_SIZE:
            raise NotAContainerError("not a .qox container (shorter than its %d-byte header)"
                                     % HEADER_SIZE)
        if self.rest or not self.blocks or len(self.head) < self.head_size:
            raise DamagedError("damaged: %d bytes is no valid container length %s the tag"
                               % (self.size, "with" if tagged else "without"))


def _check_header(head: bytes) -> None:
    if head[:4] != MAGIC[:len(head)]:
        raise NotAContainerError("not a .qox container (no QOX1 header)")
    if len(head) > 4 and head[4] != VERSION:
        error = NotAContainerError("a .qox container of version %d; only version %d is known"
                                   % (head[4], VERSION))
        error.version = head[4]  # type: ignore[attr-defined]
        raise error


_CHECKING, _DECRYPTING, _FINISHED = "checking", "decrypting", "finished"


class Decryptor:
    """One container, read piece by piece; no plaintext of a tagged one before its tag verified.

    With the tag (the default) the container goes through twice, from its first byte
    each time::

        box = Decryptor(key)
        for piece in pieces: box.check(piece)        # the tag pass: nothing comes out
        box.verify()                                  # raises unless the tag matches
        for piece in pieces: out.write(box.update(piece))   # the same bytes again
        out.write(box.finish())                       # raises if they were not the same

    update() before verify() raises. Without the tag (tag=False) there is nothing to
    verify: update() gives plaintext at once and finish() checks the padding only.
    Decryptor.unverified() reads a tagged container in one pass, handing out plaintext
    that finish() verifies only afterwards; its caller must discard all of it when
    finish() raises. After finish(), or once any call has raised, every call raises.
    """

    def __init__(self, key: BytesLike, *, tag: bool = True):
        self._key = _key_bytes(key)
        self._tagged = tag
        self._verified_head = None  # type: Optional[bytes]
        self._state = _CHECKING if tag else _DECRYPTING
        self._framing = _Framing(HEADER_SIZE + (TAG_SIZE if tag else 0))
        self._tag_pass = TagHash(self._key)
        self._cbc = None  # type: Optional[CbcContext]
        self._last = b""  # the last plaintext block, held back for the padding
        # Read without a tag, the first 32 ciphertext bytes may still be one: a tagged
        # container's last blocks decrypt and unpad fine, so only the tag can tell.
        self._seen_tag = b""
        self._rest_hash = TagHash(self._key)
        self._look_for_tag = not tag

    @classmethod
    def unverified(cls, key: BytesLike, *, tag: bool = True) -> "Decryptor":
        """A one-pass reader whose update() gives plaintext before the tag is checked."""
        box = cls(key, tag=tag)
        box._state = _DECRYPTING
        return box

    @property
    def size(self) -> int:
        """Container bytes seen in the current pass."""
        return self._framing.size

    def check(self, data: BytesLike) -> None:
        """The tag pass: the container's bytes in order, nothing released."""
        with self._step(_CHECKING, "check() belongs to the tag pass, before verify()"):
            self._tag_pass.update(self._framing.feed(bytes(data)))

    def verify(self) -> None:
        """Ends the tag pass: raises unless the container is whole and its tag matches;
        then update() takes the same bytes again from the first."""
        with self._step(_CHECKING, "verify() ends the tag pass, once"):
            self._framing.check_whole(True)
            if not self._tag_pass.matches(self._framing.head[HEADER_SIZE:]):
                raise TagMismatchError(_MISMATCH)
            self._verified_head = self._framing.head
            self._framing = _Framing(self._framing.head_size)
            self._state = _DECRYPTING

    def update(self, data: BytesLike) -> bytes:
        """The plaintext of the blocks available so far, but the last (kept for the padding)."""
        with self._step(_DECRYPTING, "update() gives plaintext only after verify() "
                                     "(Decryptor.unverified() reads in one pass)"):
            blocks = self._framing.feed(bytes(data))
            if self._cbc is None and len(self._framing.head) == self._framing.head_size:
                self._start_decrypting()
            if not blocks:
                return b""
            if self._look_for_tag and len(self._seen_tag) < TAG_SIZE:
                take = TAG_SIZE - len(self._seen_tag)
                self._seen_tag += blocks[:take]
                self._rest_hash.update(blocks[take:])
            elif self._look_for_tag:
                self._rest_hash.update(blocks)
            plain = self._cbc.update(blocks)  # type: ignore[union-attr]
            out = b"".join((self._last, memoryview(plain)[:-BLOCK_SIZE]))
            self._last = plain[-BLOCK_SIZE:]
            return out

    def finish(self) -> bytes:
        """The rest of the plaintext, once the container proved whole and, with a tag, genuine."""
        with self._step(_DECRYPTING, "finish() after update()"):
            self._state = _FINISHED
            framing = self._framing
            framing.check_whole(self._tagged)
            if self._tagged and not self._cbc.tag.matches(  # type: ignore[union-attr]
                    framing.head[HEADER_SIZE:]):
                raise TagMismatchError(_CHANGED_WHILE_READ if self._verified_head is not None
                                       else _MISMATCH)
            if (self._look_for_tag and len(self._seen_tag) == TAG_SIZE
                    and framing.size > HEADER_SIZE + TAG_SIZE
                    and self._rest_hash.matches(self._seen_tag)):
                raise TaggedContainerError("written with the tag, read without it")
            try:
                return unpad(self._last)
            except ValueError:
                if self._tagged:  # only a writer that padded wrongly gets here
                    raise DamagedError("the padding is wrong behind a matching tag") from None
                raise DamagedError("the padding is wrong: wrong key, or the file is "
                                   "damaged") from None

    def _start_decrypting(self) -> None:
        head = self._framing.head
        if self._verified_head is not None and head != self._verified_head:
            raise TagMismatchError(_CHANGED_WHILE_READ)  # the IV is not under the tag
        self._cbc = CbcContext(self._key, head[5:HEADER_SIZE], encrypt=False,
                               hashed=self._tagged)

    @contextlib.contextmanager
    def _step(self, state: str, misuse: str) -> Iterator[None]:
        if self._state != state:
            finished, self._state = self._state == _FINISHED, _FINISHED
            raise ValueError("Decryptor: " + ("finished (finish() returned or a call raised)"
                                              if finished else misuse))
        try:
            yield
        except BaseException:
            self._state = _FINISHED
            raise


def encrypt(key: BytesLike, data: BytesLike, *, tag: bool = True,
            iv: Optional[BytesLike] = None) -> bytes:
    """The container of data. iv: None draws a fresh random one (give one only for tests)."""
    box = Encryptor(key, tag=tag, iv=iv)
    body = box.update(data) + box.finish()
    return box.header + box.tag + body


def decrypt(key: BytesLike, container: BytesLike, *, tag: bool = True) -> bytes:
    """The plaintext of a container, any bytes, after its tag verified. Raises a
    ContainerError subclass."""
    source = io.BytesIO(bytes(container))
    return b"".join(plaintext_chunks(key, source, tag=tag, chunk_size=max(CHUNK_SIZE,
                                                                           len(container))))


def encrypt_stream(key: BytesLike, source: BinaryIO, target: BinaryIO, *, tag: bool = True,
                   iv: Optional[BytesLike] = None, progress: Optional[Progress] = None,
                   chunk_size: int = CHUNK_SIZE) -> int:
    """Encrypts everything source.read() gives into target; returns the container's size.

    The tag precedes the ciphertext, so with a tag a target that cannot seek back (a
    pipe, a terminal, a file opened for appending) gets the container from a private
    spool (see seekable_source) once it is complete. progress(n) hears of every n
    plaintext bytes read.
    """
    if tag and not _can_seek_back(target):
        with _Spool() as spool:
            size = _encrypt_seekable(key, source, spool, tag, iv,  # type: ignore[arg-type]
                                     progress, chunk_size)
            spool.copy_to(target, chunk_size)
        return size
    return _encrypt_seekable(key, source, target, tag, iv, progress, chunk_size)


def decrypt_stream(key: BytesLike, source: BinaryIO, target: BinaryIO, *, tag: bool = True,
                   progress: Optional[Progress] = None, chunk_size: int = CHUNK_SIZE) -> int:
    """Decrypts the container source.read() gives into target; returns the plaintext size.

    With the tag, target receives nothing before the tag verified: source is read twice
    (tag pass, decryption pass), or copied first into a private spool when it cannot
    seek back (ciphertext only, see seekable_source). Without the tag nothing can be
    verified: the plaintext streams as it is decrypted, and on an exception what target
    received must be thrown away (decrypt_file does that). progress(n) hears of every
    n container bytes read, in each pass.
    """
    size = 0
    with seekable_source(source, chunk_size=chunk_size, progress=progress) as readable:
        for plain in plaintext_chunks(key, readable, tag=tag, chunk_size=chunk_size,
                                      progress=progress):
            target.write(plain)
            size += len(plain)
    return size


def decrypt_stream_unverified(key: BytesLike, source: BinaryIO, target: BinaryIO, *,
                              tag: bool = True, progress: Optional[Progress] = None,
                              chunk_size: int = CHUNK_SIZE) -> int:
    """decrypt_stream in one pass, for a target nobody sees before the verdict (such as
    the hidden temporary file that decrypt_file renames into place): the plaintext
    reaches target BEFORE the tag is checked at the end, so on an exception everything
    target received must be thrown away. A source that can seek back gets the same
    verdicts as with decrypt_stream."""
    start = source.tell() if _can_seek(source) else None
    box = Decryptor.unverified(key, tag=tag)
    size = 0
    try:
        for chunk in _chunks(source, chunk_size, progress,
                             HEADER_SIZE + (TAG_SIZE if tag else 0)):
            plain = box.update(chunk)
            target.write(plain)
            size += len(plain)
        plain = box.finish()
    except (TagMismatchError, DamagedError) as error:
        if not tag or start is None:
            raise
        raise _verdict(_key_bytes(key), source, start, error, chunk_size) from None
    target.write(plain)
    return size + len(plain)


def plaintext_chunks(key: BytesLike, source: BinaryIO, *, tag: bool = True,
                     chunk_size: int = CHUNK_SIZE,
                     progress: Optional[Progress] = None) -> Iterator[bytes]:
    """The plaintext of the container in source, which must seek back (read from where it
    stands), in chunks; with the tag none comes before the tag verified. A tag that fails
    gets the verdict the evidence allows (UntaggedContainerError only for whole text)."""
    start = source.tell()
    box = Decryptor(key, tag=tag)
    head = HEADER_SIZE + (TAG_SIZE if tag else 0)
    if tag:
        for chunk in _chunks(source, chunk_size, progress, head):
            box.check(chunk)
        try:
            box.verify()
        except (TagMismatchError, DamagedError) as error:
            raise _verdict(key, source, start, error, chunk_size) from None
        source.seek(start)
    else:
        # Nothing to verify, but the wrong settings show before any plaintext goes out:
        # a wrong key in the padding (255 times in 256), a tag in its first 32 bytes.
        if _untagged_padding(key, source, start) is False:
            raise DamagedError("the padding is wrong: wrong key, or the file is damaged")
        if _carries_tag(key, source, start, chunk_size, progress):
            raise TaggedContainerError("written with the tag, read without it")
        box._look_for_tag = False
    for chunk in _chunks(source, chunk_size, progress, head):
        plain = box.update(chunk)
        if plain:
            yield plain
    yield box.finish()


def _verdict(key: bytes, source: BinaryIO, start: int, error: ContainerError,
             chunk_size: int) -> ContainerError:
    """What a failed tag pass means. Read without a tag, a tagged container always has
    valid padding (only its first three blocks are misread), so opening that way proves
    nothing; whole UTF-8 text does (48 random bytes are practically never UTF-8)."""
    reading = _untagged_reading(key, source, start, chunk_size)
    if reading == "text":
        return UntaggedContainerError(_UNTAGGED_TEXT)
    if reading == "binary" and isinstance(error, TagMismatchError):
        return TagMismatchError(_MISMATCH_OR_UNTAGGED)
    size = source.seek(0, os.SEEK_END) - start
    source.seek(start)
    ciphertext = size - HEADER_SIZE - TAG_SIZE
    if reading == "binary" and (ciphertext < BLOCK_SIZE or ciphertext % BLOCK_SIZE):
        return DamagedError(_SHORT_OR_UNTAGGED % size)
    return error


def _untagged_reading(key: bytes, source: BinaryIO, start: int, chunk_size: int) -> str:
    """"text", "binary" or "none": how the container reads without a tag. Text from
    byte 48 on behind garbage is a tagged text container's look (its tag misread as two
    blocks, and the third block garbled by it): no sign of a missing tag, so "none"
    (when at least a block of it shows: a few random bytes are UTF-8 by chance)."""
    if not _untagged_padding(key, source, start):
        return "none"
    box = Decryptor(key, tag=False)
    whole, tail = _TextCheck(0), _TextCheck(TAG_SIZE + BLOCK_SIZE)
    try:
        for chunk in _chunks(source, chunk_size, None, HEADER_SIZE):
            plain = box.update(chunk)
            whole.feed(plain)
            tail.feed(plain)
            if not whole.text and not tail.text:
                return "binary"
        plain = box.finish()
        whole.feed(plain, final=True)
        tail.feed(plain, final=True)
    except ContainerError:
        return "none"
    finally:
        source.seek(start)
    return "text" if whole.text else "none" if tail.text and tail.seen >= BLOCK_SIZE else "binary"


class _TextCheck:
    """Whether the plaintext from byte `skip` on is UTF-8 (a character cut at that
    point is forgiven: up to three continuation bytes)."""

    def __init__(self, skip: int):
        self.skip, self.text, self.seen = skip, True, 0  # seen: bytes checked
        self._decoder = codecs.getincrementaldecoder("utf-8")()

    def feed(self, plain: bytes, final: bool = False) -> None:
        if self.skip:
            cut = min(self.skip, len(plain))
            plain, self.skip = plain[cut:], self.skip - cut
            if not self.skip and plain:
                plain = plain[len(plain[:3]) - len(plain[:3].lstrip(_CONTINUATION)):]
        self.seen += len(plain)
        try:
            if self.text:
                self._decoder.decode(plain, final)
        except UnicodeDecodeError:
            self.text = False


_CONTINUATION = bytes(range(0x80, 0xC0))


def _carries_tag(key: bytes, source: BinaryIO, start: int, chunk_size: int,
                 progress: Optional[Progress]) -> bool:
    """Whether the container, read without a tag, begins with one that verifies the rest."""
    framing, candidate, rest = _Framing(HEADER_SIZE), b"", TagHash(key)
    for chunk in _chunks(source, chunk_size, progress, HEADER_SIZE + TAG_SIZE):
        blocks = framing.feed(chunk)
        take = TAG_SIZE - len(candidate)
        candidate += blocks[:take]
        rest.update(blocks[take:] if take > 0 else blocks)
    source.seek(start)
    return (len(candidate) == TAG_SIZE and framing.blocks > TAG_SIZE and not framing.rest
            and rest.matches(candidate))


def _untagged_padding(key: bytes, source: BinaryIO, start: int) -> Optional[bool]:
    """Whether the last block, read without a tag, has valid padding (None: the length
    fits no container without a tag). Reads two blocks; leaves source at start."""
    end = source.seek(0, os.SEEK_END)
    ciphertext = end - start - HEADER_SIZE
    try:
        if ciphertext < BLOCK_SIZE or ciphertext % BLOCK_SIZE:
            return None
        source.seek(start + 5 if ciphertext == BLOCK_SIZE else end - 2 * BLOCK_SIZE)
        chain, last = source.read(BLOCK_SIZE), source.read(BLOCK_SIZE)
        if len(chain) != BLOCK_SIZE or len(last) != BLOCK_SIZE:
            return None  # the source shrank meanwhile: the full read reports it
        try:
            unpad(CbcContext(key, chain, encrypt=False, hashed=False).update(last))
        except ValueError:
            return False
        return True
    finally:
        source.seek(start)


@contextlib.contextmanager
def seekable_source(source: BinaryIO, *, chunk_size: int = CHUNK_SIZE,
                    progress: Optional[Progress] = None) -> Iterator[BinaryIO]:
    """source itself when it can seek back; else a private copy of everything it gives.

    The copy holds what source gives (a container: ciphertext, never plaintext): up to
    8 MiB in memory, beyond in an unnamed file of mode 0600 in tempfile.gettempdir()
    ($TMPDIR), which no exit path or signal leaves behind. An OSError there (disk full)
    names that folder.
    """
    if _can_seek(source):
        yield source
        return
    with _Spool() as spool:
        for chunk in _chunks(source, chunk_size, progress):
            spool.write(chunk)
        spool.seek(0)
        yield spool  # type: ignore[misc]


class _Spool:
    """A private spool for ciphertext whose write errors name its folder."""

    def __init__(self) -> None:
        self._file = tempfile.SpooledTemporaryFile(SPOOL_IN_MEMORY)

    def write(self, data: bytes) -> int:
        try:
            return self._file.write(data)
        except OSError as error:
            folder = tempfile.gettempdir()
            raise OSError(error.errno, "%s (the spool of the ciphertext; TMPDIR chooses its "
                                       "folder)" % (error.strerror or error), folder) from None

    def seekable(self) -> bool:
        return True

    def copy_to(self, target: BinaryIO, chunk_size: int) -> None:
        self._file.seek(0)
        for chunk in _chunks(self._file, chunk_size, None):  # type: ignore[arg-type]
            target.write(chunk)

    def __getattr__(self, name: str) -> Any:  # read, seek, tell, seekable, close
        return getattr(self._file, name)

    def __enter__(self) -> "_Spool":
        return self

    def __exit__(self, *exc: object) -> None:
        self._file.close()


def _encrypt_seekable(key: BytesLike, source: BinaryIO, target: BinaryIO, tag: bool,
                      iv: Optional[BytesLike], progress: Optional[Progress],
                      chunk_size: int) -> int:
    box = Encryptor(key, tag=tag, iv=iv)
    start = target.tell() if tag else 0
    target.write(box.header + bytes(TAG_SIZE if tag else 0))
    size = HEADER_SIZE + (TAG_SIZE if tag else 0)
    for chunk in _chunks(source, chunk_size, progress):
        out = box.update(chunk)
        target.write(out)
        size += len(out)
    out = box.finish()
    target.write(out)
    if tag:
        target.seek(start + HEADER_SIZE)
        target.write(box.tag)
        target.seek(0, os.SEEK_END)
    return size + len(out)


def _chunks(source: BinaryIO, chunk_size: int, progress: Optional[Progress],
            first: int = 0) -> Iterator[bytes]:
    """source's bytes in chunks; first: the size of a first, short read (a container's
    head), so that every later chunk is whole blocks and nothing needs copying."""
    size = first or chunk_size
    while True:
        chunk = source.read(size)
        size = chunk_size
        if not chunk:
            return
        if progress is not None:
            progress(len(chunk))
        yield chunk


def _can_seek(source: Any) -> bool:
    try:
        if not source.seekable():
            return False
        source.tell()
    except (AttributeError, ValueError, OSError):
        return False
    return True


def _can_seek_back(target: Any) -> bool:
    try:
        if not target.seekable():
            return False
    except (AttributeError, ValueError):
        return False
    return "a" not in getattr(target, "mode", "")
