"""The command line's view of a container: header, layouts, and why a key does not open it."""
import codecs
import collections
import json
from typing import BinaryIO, Optional

from qoxcrypto.errors import EXIT_KEY, CliError
from qoxcrypto.exceptions import (ContainerError, NotAContainerError, TaggedContainerError,
                                  UntaggedContainerError)
from qoxcrypto.stream import (BLOCK_SIZE, HEADER_SIZE, MAGIC, TAG_SIZE, VERSION,
                              plaintext_chunks)

__all__ = ["MAGIC", "VERSION", "HEADER_SIZE", "TAG_SIZE", "BLOCK_SIZE", "Header", "read_header",
           "ciphertext_size", "refusal", "Contents", "examine"]

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


def refusal(error: ContainerError, name: str, lead: str = "cannot decrypt %s: ") -> CliError:
    """The one-line failure for a container that did not open. The package's verdict is
    taken as it is: it hints at the other tag setting only on evidence."""
    if isinstance(error, NotAContainerError):
        return CliError("%s is %s" % (name, error))
    if isinstance(error, TaggedContainerError):
        return CliError("%s was written with the tag: drop --no-hmac" % name, EXIT_KEY)
    if isinstance(error, UntaggedContainerError):
        return CliError("%s was written without the tag (no tag verifies, and without one it "
                        "reads as UTF-8 text): use --no-hmac, which verifies nothing" % name,
                        EXIT_KEY)
    return CliError(lead % name + str(error), EXIT_KEY)


Contents = collections.namedtuple("Contents", "size utf8 kind")


def examine(key: bytes, source: BinaryIO, with_tag: bool) -> Contents:
    """What the container in source (seekable, read from its start) holds; raises the
    package's ContainerError when the key does not open it in that layout. With the tag,
    nothing is decoded before the tag verified. Memory stays bounded: the text is parsed
    as JSON only up to JSON_LIMIT."""
    source.seek(0)
    decoder = codecs.getincrementaldecoder("utf-8")()
    size, utf8, text = 0, True, []  # type: int, bool, Optional[list]
    pieces = plaintext_chunks(key, source, tag=with_tag)
    for plain in pieces:
        size += len(plain)
        if utf8:
            try:
                piece = decoder.decode(plain)
            except UnicodeDecodeError:
                utf8, text = False, None
            else:
                if text is not None:
                    text = None if size > JSON_LIMIT else text + [piece]
    if utf8:
        try:
            decoder.decode(b"", final=True)
        except UnicodeDecodeError:
            utf8, text = False, None
    if not utf8:
        return Contents(size, False, "")
    return Contents(size, True, _json_kind("".join(text)) if text is not None
                    else "not parsed as JSON (larger than %d MiB)" % (JSON_LIMIT >> 20))


def _json_kind(text: str) -> str:
    try:
        value = json.loads(text)
    except ValueError:
        return "not JSON"
    return "JSON object" if isinstance(value, dict) else "JSON " + type(value).__name__
