"""Where the command line gets its key: a key file of raw bytes or hex text in QOX_KEY_HEX."""
import os
import stat
import string
import sys

from qoxcrypto._engine import KEY_SIZES  # AES-128, AES-192, AES-256
from qoxcrypto.cli.exits import EXIT_USAGE, CliError

KEY_ENV = "QOX_KEY_HEX"
_HEX_TEXT = frozenset(string.hexdigits + string.whitespace)


def load_key(key_file, environ):
    """The key from key_file when given, else from the environment; never echoed anywhere."""
    if key_file is not None:
        return read_key_file(key_file)
    text = environ.get(KEY_ENV)
    if text is None:
        raise CliError("no key: give --key-file FILE or set %s" % KEY_ENV, EXIT_USAGE)
    return parse_hex_key(text)


def parse_hex_key(text):
    """Bytes of a hex key text; whitespace between the digits is allowed."""
    try:
        key = bytes.fromhex(text.strip())
    except ValueError:
        raise CliError("%s is not a hex string" % KEY_ENV, EXIT_USAGE) from None
    _check_size(key, KEY_ENV)
    return key


def read_key_file(path):
    """The raw bytes of a key file, with a warning when others may read it."""
    with open(path, "rb") as handle:
        key = handle.read(max(KEY_SIZES) * 4)
        shared = os.name == "posix" and stat.S_IMODE(os.fstat(handle.fileno()).st_mode) & 0o077
    # Random key bytes are practically never all hex digits; hex text of a 16-byte
    # key would otherwise pass as a 32-byte key of ASCII characters.
    if key and all(chr(b) in _HEX_TEXT for b in key):
        raise CliError("key file %s holds hex text; a key file holds the raw key bytes "
                       "(hex keys go in %s)" % (path, KEY_ENV), EXIT_USAGE)
    _check_size(key, "key file %s" % path)
    if shared:
        print("qoxcrypto: warning: key file %s can be read by other users (chmod 600 it)" % path,
              file=sys.stderr)
    return key


def new_key(size):
    """A fresh random key from the operating system's generator."""
    return os.urandom(size)


def _check_size(key, source):
    if len(key) not in KEY_SIZES:
        raise CliError("%s holds %d bytes; a key has 16, 24 or 32 bytes" % (source, len(key)),
                       EXIT_USAGE)
