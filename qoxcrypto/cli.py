"""The command line: encrypt, decrypt, inspect and keygen for .qox files, any bytes, any size."""
import argparse
import codecs
import contextlib
import errno
import io
import json
import os
import shutil
import signal
import stat
import sys

from qoxcrypto import __version__
from qoxcrypto import container
from qoxcrypto.atomic import Output, atomic_write
from qoxcrypto.errors import EXIT_FAILURE, EXIT_USAGE, CliError
from qoxcrypto.exceptions import ContainerError, UntaggedContainerError
from qoxcrypto.files import NamedReader
from qoxcrypto.keys import KEY_ENV, KEY_SIZES, load_key, new_key
from qoxcrypto.progress import Progress
from qoxcrypto.stream import (CHUNK_SIZE, decrypt_stream, decrypt_stream_unverified,
                              encrypt_stream, seekable_source)

_KEY_HELP = ("The key comes from --key-file (the raw 16, 24 or 32 key bytes, as keygen writes "
             "them) or, without it, from the environment variable %s (hex). It is never taken "
             "from the command line, where shell history and process lists would show it." % KEY_ENV)
_EXIT_HELP = ("Exit status: 0 success, 1 a file is missing, unreadable, unwritable (disk full) or "
              "not what the command needs, 2 wrong usage or key setting, 3 the key does not open "
              "the container (wrong key, damaged or changed file, wrong --no-hmac setting), 128+N "
              "stopped by signal N (130 Ctrl-C, 141 the reader of the output went away).")
_STOPPING_SIGNALS = ("SIGTERM", "SIGHUP")
_SIGPIPE = getattr(signal, "SIGPIPE", 13)


class Stopped(BaseException):
    """A terminating signal, raised where the program is so that cleanups run."""

    def __init__(self, number):
        BaseException.__init__(self, number)
        self.number = number


def main(argv=None, prog="qoxcrypto", environ=None):
    """Runs one command; returns the exit status instead of raising."""
    args = build_parser(prog).parse_args(argv)
    previous = _catch_signals()
    try:
        return args.run(args, os.environ if environ is None else environ)
    except CliError as error:
        return _fail(str(error), error.code)
    except OSError as error:
        if error.errno == errno.EPIPE:  # the reader went away, as for cat: no message
            _silence_stdout()
            return 128 + _SIGPIPE
        return _fail(_describe_os_error(error), EXIT_FAILURE)
    except KeyboardInterrupt:
        return _fail("interrupted", 128 + signal.SIGINT)
    except Stopped as stop:
        return _fail("stopped by %s" % signal.Signals(stop.number).name, 128 + stop.number)
    finally:
        _restore_signals(previous)


def build_parser(prog):
    parser = argparse.ArgumentParser(
        prog=prog, description="Encrypt, decrypt and inspect .qox containers.",
        epilog=_KEY_HELP + " " + _EXIT_HELP)
    parser.add_argument("--version", action="version", version="qoxcrypto " + __version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    keyed = argparse.ArgumentParser(add_help=False)
    keyed.add_argument("--key-file", metavar="FILE", help="file holding the raw key bytes")
    keyed.add_argument("--no-hmac", action="store_true",
                       help="the container has no HMAC tag (written with use_hmac=False), so "
                            "nothing is verified; encrypt warns about it")

    written = argparse.ArgumentParser(add_help=False)
    target = written.add_mutually_exclusive_group()
    target.add_argument("-o", "--output", metavar="FILE",
                        help="write the result to FILE ('-': stdout, the default)")
    target.add_argument("--in-place", action="store_true", help="replace INPUT with the result")
    written.add_argument("--backup", action="store_true",
                         help="with --in-place, keep the old INPUT as INPUT.bak (an existing "
                              "one is replaced only with --force)")
    written.add_argument("--force", action="store_true",
                         help="replace an existing output file or INPUT.bak (devices and FIFOs "
                              "are written in place without it)")
    written.add_argument("-q", "--quiet", action="store_true",
                         help="no progress line, notes or warnings on stderr, errors only")
    written.add_argument("-v", "--verbose", action="store_true",
                         help="a note on stderr when done, also when it is not a terminal")
    checks = written.add_mutually_exclusive_group()
    checks.add_argument("--json", action="store_true", help="refuse a plaintext that is not JSON")
    checks.add_argument("--text", action="store_true",
                        help="refuse a plaintext that is not UTF-8 text")

    encrypt = commands.add_parser(
        "encrypt", parents=[keyed, written], help="encrypt any file into a container",
        description="Encrypt any file (INPUT '-': stdin) into a .qox container, byte for byte, "
                    "so that decrypt gives the same bytes back. The container goes to stdout "
                    "unless -o or --in-place is given, and never to a terminal.",
        epilog=_KEY_HELP)
    encrypt.add_argument("input", metavar="INPUT", help="the plain file, '-' for stdin")
    encrypt.set_defaults(run=run_encrypt)

    decrypt = commands.add_parser(
        "decrypt", parents=[keyed, written], help="decrypt a container to stdout or a file",
        description="Decrypt a .qox container (INPUT '-': stdin); the plaintext goes to stdout "
                    "unless -o or --in-place is given. With the tag, no plaintext goes out before "
                    "the tag has verified: a file gets it in a hidden temporary file beside it, "
                    "renamed into place then; for stdout the container is read twice, a tag pass "
                    "first (a pipe is first copied, ciphertext only, to a private spool in "
                    "$TMPDIR). Without the tag nothing can be verified.", epilog=_KEY_HELP)
    decrypt.add_argument("input", metavar="INPUT", help="the container, '-' for stdin")
    decrypt.add_argument("--pretty", action="store_true",
                         help="reformat the JSON text with an indent of two spaces (reads the "
                              "whole text into memory)")
    decrypt.set_defaults(run=run_decrypt)

    inspect = commands.add_parser(
        "inspect", parents=[keyed], help="show a container's header and sizes",
        description="Show the header fields and sizes of a .qox container (INPUT '-': stdin). "
                    "With a key (from --key-file or %s) also whether the tag verifies, and the "
                    "plaintext's size and kind; a tag that does not verify ends with status 3. "
                    "No key or plaintext is ever printed." % KEY_ENV)
    inspect.add_argument("input", metavar="INPUT", help="the container, '-' for stdin")
    inspect.set_defaults(run=run_inspect)

    keygen = commands.add_parser(
        "keygen", help="write a new random key file (mode 0600)",
        description="Write a new random key to FILE, readable by its owner only. There is no "
                    "'-' for stdout: a key belongs in a file created 0600, not in a pipe or "
                    "a file the shell creates with the umask.")
    keygen.add_argument("output", metavar="FILE", help="the key file to create")
    keygen.add_argument("--size", type=int, choices=KEY_SIZES, default=32,
                        help="key length in bytes (default: 32, AES-256)")
    keygen.add_argument("--force", action="store_true", help="replace an existing key file")
    keygen.set_defaults(run=run_keygen)
    return parser


def run_encrypt(args, environ):
    _check_target(args)
    key = load_key(args.key_file, environ)
    if args.no_hmac and not args.quiet:
        print("qoxcrypto: warning: --no-hmac: the container gets no tag and will not detect "
              "changes; decrypting it verifies nothing", file=sys.stderr)
    with _input(args.input) as (source, name, size):
        check = _Check(args, name)
        progress = _ProgressLine(args, "encrypting " + name, size)
        reader = _Tap(source, [_refuse_container(name), check.feed, progress])
        with _output(args, spool=check.active, binary=True) as output:
            written = encrypt_stream(key, reader, output, tag=not args.no_hmac)
            progress.close()
            check.finish()
            with _backup(args):
                output.commit()
    _note(args, "encrypted %s (%d bytes) into %s (%d bytes, %s)" % (
        name, reader.done, output.name, written, "without tag" if args.no_hmac else "with tag"))
    return 0


def run_decrypt(args, environ):
    _check_target(args)
    key = load_key(args.key_file, environ)
    tagged = not args.no_hmac
    with _input(args.input) as (source, name, size), seekable_source(source) as readable:
        start = readable.tell()
        check = _Check(args, "the plaintext of " + name)
        with _output(args, spool=False, binary=False) as output:
            # A file's plaintext waits unseen in its hidden temporary file (and --pretty's
            # in memory) until the verdict: one pass. A stream (stdout, a device) gets it
            # as it comes, so the tag is checked by a pass before, and so are --json and
            # --text, by a pass of their own.
            unseen = output.seekable() or args.pretty
            early = check.active and not unseen
            passes = (1 if unseen or not tagged else 2) * (2 if early else 1)
            progress = _ProgressLine(args, "decrypting " + name, size and size * passes)
            sink = io.BytesIO() if args.pretty else output  # --pretty parses it all anyway
            decrypt = decrypt_stream_unverified if unseen else decrypt_stream
            try:
                if early:
                    decrypt_stream(key, _Tap(readable, [progress]), _Tap(_Discard(),
                                   [check.feed]), tag=tagged)
                    check.finish()
                    readable.seek(start)
                decrypt(key, _Tap(readable, [progress]),
                        sink if early else _Tap(sink, [check.feed]), tag=tagged)
            except ContainerError as error:
                raise container.refusal(error, name) from None
            finally:
                progress.close()
            check.finish()
            if args.pretty:
                try:
                    value = json.loads(sink.getvalue().decode("utf-8"))
                except ValueError:
                    raise CliError("the text in %s is not JSON; drop --pretty" % name) from None
                output.write(json.dumps(value, ensure_ascii=False, indent=2).encode("utf-8")
                             + b"\n")
            with _backup(args):
                output.commit()
    if output.name != "stdout":
        _note(args, "decrypted %s into %s" % (name, output.name))
    return 0


def run_inspect(args, environ):
    with _input(args.input) as (source, name, _), seekable_source(source) as source:
        size = source.seek(0, os.SEEK_END)
        source.seek(0)
        header = container.read_header(source.read(container.HEADER_SIZE), size, name)
        key = None
        if args.key_file is not None or KEY_ENV in environ:
            key = load_key(args.key_file, environ)
        tagged = container.ciphertext_size(size, True)
        untagged = container.ciphertext_size(size, False)
        lines = [("file", name), ("size", "%d bytes" % size),
                 ("magic", container.MAGIC.decode("ascii")), ("version", str(header.version)),
                 ("iv", header.iv.hex())]
        failure = None
        if key is None and args.no_hmac:
            lines += [("layout", _layouts(None, untagged)), ("tag", "none (--no-hmac)")]
        elif key is None:
            # 21 + 16k and 53 + 16k overlap for k >= 3: only the key can tell them apart.
            lines += [("layout", _layouts(tagged, untagged)),
                      ("tag", "unknown without the key (the length alone cannot tell)")]
        else:
            with_tag, evidence = not args.no_hmac, ""
            try:
                contents = container.examine(key, source, with_tag)
            except UntaggedContainerError:
                with_tag, evidence = False, " (no tag verifies; without one it is all UTF-8 text)"
                contents = container.examine(key, source, False)
            except ContainerError as error:
                contents = None
                failure = container.refusal(error, name, "the key does not open %s: ")
            if contents is None:
                lines += [("layout", _layouts(tagged, untagged)),
                          ("tag", "does not verify" if with_tag else "none (--no-hmac)")]
            else:
                lines += [("layout", _layouts(tagged, None) if with_tag
                           else _layouts(None, untagged)),
                          ("tag", "present, verified with the key" if with_tag else
                           "none: nothing protects this file against changes, nor proves "
                           "the key" + evidence),
                          ("plaintext", _plaintext(contents))]
    width = max(len(label) for label, _ in lines) + 2
    for label, value in lines:
        print((label + ":").ljust(width) + value)
    if failure is not None:
        raise failure
    return 0


def run_keygen(args, environ):
    if args.output == "-":
        raise CliError("keygen writes a key file (mode 0600), not stdout: give a file name",
                       EXIT_USAGE)
    if os.path.lexists(args.output) and not args.force:
        raise CliError("%s exists; use --force to replace it (files encrypted with the old key "
                       "can then no longer be read)" % args.output)
    key = new_key(args.size)
    atomic_write(args.output, lambda handle: handle.write(key), mode=0o600)
    print("qoxcrypto: wrote a new %d-byte key to %s (mode 0600); without it the files encrypted "
          "with it cannot be read" % (args.size, args.output), file=sys.stderr)
    return 0


class _Tap:
    """A file passed through: every chunk read or written is shown to the listeners."""

    def __init__(self, handle, listeners):
        self.handle, self.listeners, self.done = handle, listeners, 0

    def read(self, size=-1):
        chunk = self.handle.read(size)
        self._tell(chunk)
        return chunk

    def write(self, data):
        self._tell(data)
        return self.handle.write(data)

    def __getattr__(self, name):  # seek, tell, seekable: the file's own
        return getattr(self.handle, name)

    def _tell(self, chunk):
        self.done += len(chunk)
        for listener in self.listeners:
            listener(chunk)


class _Check:
    """--json and --text: whether the plaintext is JSON or UTF-8, decided before publishing."""

    def __init__(self, args, what):
        self.what, self.json = what, args.json
        self.active = args.json or args.text
        self._decoder = codecs.getincrementaldecoder("utf-8")()
        self._text = []

    def feed(self, chunk):
        if self.active:
            self._text.append(self._decode(chunk, False))

    def finish(self):
        if not self.active:
            return
        text = "".join(self._text) + self._decode(b"", True)
        if self.json:
            try:
                json.loads(text)
            except ValueError as error:
                raise CliError("%s is not JSON (%s)" % (self.what, error)) from None

    def _decode(self, chunk, final):
        try:
            text = self._decoder.decode(chunk, final)
        except UnicodeDecodeError:
            raise CliError("%s is not UTF-8 text" % self.what) from None
        return text if self.json else ""  # --text keeps nothing


def _refuse_container(name):
    first = []

    def check(chunk):
        if not first and chunk:
            first.append(True)
            if chunk[:5] == container.MAGIC + bytes([container.VERSION]):
                raise CliError("%s is already a .qox container" % name)
    return check


class _ProgressLine:
    """A progress line fed with chunks; silent with --quiet or when stderr is no terminal."""

    def __init__(self, args, label, total):
        self.meter = Progress(label, total, enabled=not args.quiet)

    def __call__(self, chunk):
        self.meter(len(chunk))

    def close(self):
        self.meter.close()


@contextlib.contextmanager
def _input(path):
    """(readable binary file, name for messages, size or None) for a path or '-'."""
    if path == "-":
        yield NamedReader(sys.stdin.buffer, "stdin"), "stdin", None
        return
    with open(path, "rb") as handle:
        found = os.fstat(handle.fileno())
        if stat.S_ISDIR(found.st_mode):
            raise IsADirectoryError(errno.EISDIR, "is a directory", path)
        yield (NamedReader(handle, path), path,
               found.st_size if stat.S_ISREG(found.st_mode) else None)


def _output(args, spool, binary):
    """Where the result goes: INPUT with --in-place, -o FILE, or stdout (not a terminal
    for a container)."""
    if args.in_place:
        return Output(args.input, spool=spool)
    if args.output not in (None, "-"):
        if _holds_data(args.output) and not args.force:
            raise CliError("%s exists; use --force to replace it" % args.output)
        return Output(args.output, spool=spool)
    if binary and sys.stdout.isatty():
        raise CliError("refusing to write a binary container to a terminal; give -o FILE or "
                       "--in-place, or redirect stdout", EXIT_USAGE)
    return Output.stream(sys.stdout.buffer, "stdout", spool=spool)


def _holds_data(path):
    """A regular file or block device is there (devices that are streams are not)."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return os.path.lexists(path)  # a dangling link
    return stat.S_ISREG(mode) or stat.S_ISBLK(mode)


@contextlib.contextmanager
def _backup(args):
    """With --backup, copies INPUT to INPUT.bak (same mode) right before INPUT is replaced
    in the with-block; if that is interrupted or fails, the copy is removed again."""
    if not args.backup:
        yield
        return
    path = args.input + ".bak"
    with open(args.input, "rb") as old, Output(
            path, mode=stat.S_IMODE(os.fstat(old.fileno()).st_mode)) as copy:
        found = os.fstat(old.fileno())
        shutil.copyfileobj(old, copy, CHUNK_SIZE)
        copy.commit()
    try:
        yield
    except BaseException:
        with contextlib.suppress(OSError):
            now = os.stat(args.input)
            if (now.st_dev, now.st_ino) == (found.st_dev, found.st_ino):  # not yet replaced
                os.unlink(path)
        raise


class _Discard:
    """A sink that keeps nothing."""

    def write(self, data):
        return len(data)


def _check_target(args):
    if args.backup and not args.in_place:
        raise CliError("--backup works with --in-place only", EXIT_USAGE)
    if args.in_place and args.input == "-":
        raise CliError("--in-place needs a file, not stdin", EXIT_USAGE)
    if args.backup and os.path.lexists(args.input + ".bak") and not args.force:
        raise CliError("%s.bak exists; use --force to replace it" % args.input)


def _plaintext(contents):
    """inspect's line about the plaintext: a verified tag over binary data is no wrong key."""
    if contents.utf8:
        return "%d bytes of UTF-8 text, %s" % (contents.size, contents.kind)
    return ("%d bytes, not UTF-8 text (binary data; QOXStringCrypto.decrypt cannot return it "
            "as text)" % contents.size)


def _layouts(tagged, untagged):
    """The layout(s) a container length allows, with their ciphertext sizes."""
    fits = []
    if tagged is not None:
        fits.append("with tag, %d bytes of ciphertext" % tagged)
    if untagged is not None:
        fits.append("without tag, %d bytes of ciphertext" % untagged)
    if not fits:
        return "damaged: the length fits no layout"
    return " or ".join(fits)


def _catch_signals():
    """SIGTERM and SIGHUP end the command as Ctrl-C does: cleanups run, nothing is left."""
    previous = {}
    for name in _STOPPING_SIGNALS:
        number = getattr(signal, name, None)
        if number is None:
            continue
        try:
            previous[number] = signal.signal(number, _stop)
        except (ValueError, OSError):  # not the main thread
            pass
    return previous


def _restore_signals(previous):
    for number, handler in previous.items():
        signal.signal(number, handler)


def _stop(number, frame):
    signal.signal(number, signal.SIG_IGN)  # a second one must not cut the cleanup short
    raise Stopped(number)


def _note(args, message):
    """A success note: for a person at a terminal, or asked for with -v (not for cron logs)."""
    if not args.quiet and (args.verbose or _is_terminal(sys.stderr)):
        print("qoxcrypto: " + message, file=sys.stderr)


def _is_terminal(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _fail(message, code):
    print("qoxcrypto: error: " + message, file=sys.stderr)
    return code


def _describe_os_error(error):
    """One line for a failed file operation, naming the file."""
    reason = error.strerror or str(error)
    if error.filename is None:
        return reason
    return "%s: %s" % (error.filename, reason)


def _silence_stdout():
    try:
        descriptor = os.open(os.devnull, os.O_WRONLY)
        os.dup2(descriptor, sys.stdout.fileno())
        os.close(descriptor)
    except (OSError, ValueError, AttributeError):
        pass
