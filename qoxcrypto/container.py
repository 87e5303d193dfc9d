"""The command line's view of a container: header, layouts, and why a key does not open it."""
import codecs
import collections
import json
from typing import BinaryIO, Optional

from qoxcrypto.errors import EXIT_KEY, CliError
from qoxcrypto.exceptions import ContainerError, NotAContainerError, TaggedContainerError
from qoxcrypto.stream import (BLOCK_SIZE, CHUNK_SIZE, HEADER_SIZE, MAGIC, TAG_SIZE, VERSION,
                              Decryptor)

__all__ = ["MAGIC", "VERSION", "HEADER_SIZE", "TAG_SIZE", "BLOCK_SIZE", "Header", "read_header",
           "ciphertext_size", "refusal", "Contents", "examine", "opens_without_tag"]

JSON_LIMIT = 16 << 20  # larger plaintexts are not parsed by inspect

Header = collections.namedtuple("Header", "size version iv")


def read_header(head: bytes, size: int, name: str) -> Header:
    """The header fields, from the first bytes of a container of that size."""
    if size < HEADER_SIZE or head[:4] != MAGIC:
        raise CliError("%s is not a .qox container (no QOX1 header)" % name)
    if head[4] != VERSION:
        raise CliError("%s is a .qox container of version %d; only version %d is known"
                       % (name, head[4], VERSION))
    return Header(size, head[4], head[5:HEADER_SIZE])


def ciphertext_size(size: int, with_tag: bool) -> Optional[int]:
    """Bytes of ciphertext in a container of that size, or None when the size cannot be."""
    rest = size - HEADER_SIZE - (TAG_SIZE if with_tag else 0)
    return rest if rest >= BLOCK_SIZE and rest % BLOCK_SIZE == 0 else None


def refusal(error: ContainerError, name: str, key: bytes, with_tag: bool,
            source: Optional[BinaryIO]) -> CliError:
    """The one-line failure for a container that did not open.

    source: the container again, to see whether a container that the tag does not
    match opens without one, so that the message does not blame the key for that.
    """
    if isinstance(error, NotAContainerError):
        return CliError("%s is %s" % (name, error))
    if isinstance(error, TaggedContainerError):
        return CliError("%s was written with the tag: drop --no-hmac" % name, EXIT_KEY)
    if with_tag and source is not None and opens_without_tag(key, source):
        return CliError("%s was written without the tag: use --no-hmac" % name, EXIT_KEY)
    return CliError("cannot decrypt %s: %s" % (name, error), EXIT_KEY)


Contents = collections.namedtuple("Contents", "size utf8 kind")


def examine(key: bytes, source: BinaryIO, with_tag: bool) -> Optional[Contents]:
    """What the container in source holds (read from its start), or None when the key
    does not open it in that layout. Memory stays bounded: the text is parsed as JSON
    only up to JSON_LIMIT."""
    source.seek(0)
    box = Decryptor(key, tag=with_tag)
    decoder = codecs.getincrementaldecoder("utf-8")()
    size, utf8, text = 0, True, []  # type: int, bool, Optional[list]
    try:
        while True:
            chunk = source.read(CHUNK_SIZE)
            plain = box.update(chunk) if chunk else box.finish()
            size += len(plain)
            if utf8:
                try:
                    piece = decoder.decode(plain, final=not chunk)
                except UnicodeDecodeError:
                    utf8, text = False, None
                else:
                    if text is not None:
                        text = None if size > JSON_LIMIT else text + [piece]
            if not chunk:
                break
    except ContainerError:
        return None
    if not utf8:
        return Contents(size, False, "")
    return Contents(size, True, _json_kind("".join(text)) if text is not None
                    else "not parsed as JSON (larger than %d MiB)" % (JSON_LIMIT >> 20))


def opens_without_tag(key: bytes, source: BinaryIO) -> Optional[Contents]:
    """examine() without the tag, for a container whose tag did not match, when the
    opening is more than chance: garbage from a wrong key or a changed file has a valid
    one-byte padding once in 256, but is practically never UTF-8 text nor padded with
    two or more equal bytes."""
    contents = examine(key, source, False)
    if contents is None:
        return None
    size = source.seek(0, 2)
    padding = size - HEADER_SIZE - contents.size
    return contents if contents.utf8 or padding >= 2 else None


def _json_kind(text: str) -> str:
    try:
        value = json.loads(text)
    except ValueError:
        return "not JSON"
    return "JSON object" if isinstance(value, dict) else "JSON " + type(value).__name__
