"""Reading a .qox container with the command line's messages: header, layout, decryption."""
import collections

from qoxcrypto.errors import EXIT_KEY, CliError

# The stored format: these never change (QOXStringCrypto carries the same values).
MAGIC = b"QOX1"
VERSION = 1
HEADER_SIZE = 21  # magic, version byte, 16-byte IV
TAG_SIZE = 32     # HMAC-SHA256, present when written with use_hmac=True
BLOCK_SIZE = 16

Header = collections.namedtuple("Header", "size version iv")


def read_header(data, name):
    """The header fields of data, or the reason why it is not a container we can read."""
    if len(data) < HEADER_SIZE or data[:4] != MAGIC:
        raise CliError("%s is not a .qox container (no QOX1 header)" % name)
    if data[4] != VERSION:
        raise CliError("%s is a .qox container of version %d; only version %d is known"
                       % (name, data[4], VERSION))
    return Header(len(data), data[4], data[5:HEADER_SIZE])


def ciphertext_size(size, with_tag):
    """Bytes of ciphertext in a container of that size, or None when the size cannot be."""
    rest = size - HEADER_SIZE - (TAG_SIZE if with_tag else 0)
    return rest if rest >= BLOCK_SIZE and rest % BLOCK_SIZE == 0 else None


def decrypt(crypto, key, data, with_tag, name):
    """The text of a container; a failure says what went wrong without revealing anything.

    When the container does not open as asked but opens in the other layout, the message
    says so (a file written with or without the tag) instead of blaming the key.
    """
    read_header(data, name)
    try:
        return _open(crypto, key, data, with_tag, name)
    except CliError as failure:
        if try_open(crypto, key, data, not with_tag) is None:
            raise failure
    if with_tag:
        raise CliError("%s was written without the tag: use --no-hmac" % name, EXIT_KEY)
    raise CliError("%s was written with the tag: drop --no-hmac" % name, EXIT_KEY)


def try_open(crypto, key, data, with_tag):
    """The text of the container in that layout, or None when the key does not open it."""
    try:
        return _open(crypto, key, data, with_tag, "")
    except CliError:
        return None


def _open(crypto, key, data, with_tag, name):
    if ciphertext_size(len(data), with_tag) is None:
        raise CliError("%s is damaged: %d bytes is no valid container length %s the tag"
                       % (name, len(data), "with" if with_tag else "without"), EXIT_KEY)
    box = crypto.QOXStringCrypto(key, with_tag)
    try:
        return box.decrypt(data)
    except UnicodeDecodeError:
        reason = "the decrypted data is not UTF-8 text: wrong key, or the file is damaged"
    except ValueError:
        # The length is checked above, so this is the tag comparison (with the tag; a
        # padding error behind a matching tag would take a writer that padded wrongly)
        # or the padding check (without it).
        if with_tag:
            reason = "the tag does not match: wrong key, or the file was changed"
        else:
            reason = "the padding is wrong: wrong key, or the file is damaged"
    raise CliError("cannot decrypt %s: %s" % (name, reason), EXIT_KEY)
