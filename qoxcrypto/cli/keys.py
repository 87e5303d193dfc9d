"""Where the command line gets its keys: a key file (raw, or protected by a passphrase) or hex
text in QOX_KEY_HEX; and where it gets passphrases: a file, the environment, or the terminal."""
import getpass
import os
import stat
import sys

from qoxcrypto import keyfile
from qoxcrypto.cli.exits import EXIT_KEY, EXIT_USAGE, CliError
from qoxcrypto.exceptions import KeyFileError, WrongPassphraseError

KEY_ENV = "QOX_KEY_HEX"
PASSPHRASE_ENV = "QOX_PASSPHRASE"          # for --key-file, and keygen --passphrase
NEW_PASSPHRASE_ENV = "QOX_NEW_PASSPHRASE"  # for rekey's --new-key-file
KEY_SIZES = keyfile.KEY_SIZES


class PassphraseSource:
    """Where one key file's passphrase comes from: --passphrase-file, else the environment
    variable, else the terminal; asked at most once, and only when a file needs it."""

    def __init__(self, passphrase_file, environ, variable):
        self.passphrase_file, self.environ, self.variable = passphrase_file, environ, variable

    def given(self):
        """The passphrase from the file or the environment, or None."""
        if self.passphrase_file is not None:
            return read_passphrase_file(self.passphrase_file)
        return self.environ.get(self.variable)

    def asker(self, name):
        """A function that returns the passphrase for the key file `name`."""
        def ask():
            found = self.given()
            if found is not None:
                return found
            return prompt("passphrase for %s: " % name, "%s needs a passphrase" % name, self)
        return ask

    def new(self, name):
        """A passphrase for a new key file: given, or typed twice on the terminal."""
        found = self.given()
        if found is None:
            found = prompt("passphrase for the new key file %s: " % name,
                           "a passphrase for %s" % name, self)
            if prompt("the same passphrase again: ", "", self) != found:
                raise CliError("the two passphrases differ; nothing was written", EXIT_USAGE)
        if not found:
            raise CliError("the passphrase is empty; nothing was written", EXIT_USAGE)
        return found


def load_key(key_file, environ, passphrases=None):
    """The key from key_file when given, else from the environment; never echoed anywhere."""
    if key_file is not None:
        if passphrases is None:
            passphrases = PassphraseSource(None, environ, PASSPHRASE_ENV)
        return read_key_file(key_file, passphrases)
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
    if len(key) not in KEY_SIZES:
        raise CliError("%s holds %d bytes; a key has 16, 24 or 32 bytes" % (KEY_ENV, len(key)),
                       EXIT_USAGE)
    return key


def read_key_file(path, passphrases):
    """The key of a key file of either kind, with a warning when others may read a raw one."""
    try:
        key = keyfile.load_key(path, passphrases.asker(path))
        protected = keyfile.is_protected(path)
    except WrongPassphraseError as error:  # as a wrong key: the tag does not match
        raise CliError(str(error), EXIT_KEY) from None
    except KeyFileError as error:
        raise CliError(str(error), EXIT_USAGE) from None
    if not protected and os.name == "posix" and stat.S_IMODE(os.stat(path).st_mode) & 0o077:
        print("qoxcrypto: warning: key file %s can be read by other users (chmod 600 it)" % path,
              file=sys.stderr)
    return key


def read_passphrase_file(path):
    """The first line of a passphrase file, without its line break."""
    with open(path, "rb") as handle:
        line = handle.readline(4096)
    text = line.rstrip(b"\r\n")
    try:
        return text.decode("utf-8")
    except UnicodeDecodeError:
        return text  # bytes as they are: scrypt takes any


def prompt(question, need, source):
    """A line typed on the terminal without echo; refused without a terminal."""
    if not _has_terminal():
        raise CliError("%s and there is no terminal to ask on: give %s or set %s"
                       % (need, "--passphrase-file FILE" if source.variable == PASSPHRASE_ENV
                          else "--new-passphrase-file FILE", source.variable), EXIT_USAGE)
    return getpass.getpass(question, stream=sys.stderr)


def _has_terminal():
    # getpass reads /dev/tty, and without one falls back to stdin, which may be the data.
    if os.name != "posix":
        return sys.stdin is not None and sys.stdin.isatty()
    try:
        os.close(os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY))
    except OSError:
        return False
    return True


def new_key(size):
    """A fresh random key from the operating system's generator."""
    return keyfile.generate_key(size)
