"""The command line: encrypt, decrypt, inspect and keygen for .qox files."""
import argparse
import json
import os
import sys

from qoxcrypto import __version__
from qoxcrypto import container
from qoxcrypto.atomic import atomic_write
from qoxcrypto.errors import EXIT_FAILURE, EXIT_KEY, EXIT_USAGE, CliError
from qoxcrypto.keys import KEY_ENV, KEY_SIZES, load_key, new_key

_KEY_HELP = ("The key comes from --key-file (the raw 16, 24 or 32 key bytes, as keygen writes "
             "them) or, without it, from the environment variable %s (hex). It is never taken "
             "from the command line, where shell history and process lists would show it." % KEY_ENV)
_EXIT_HELP = ("Exit status: 0 success, 1 a file is missing, unreadable or not what the command "
              "needs, 2 wrong usage or key setting, 3 the key does not open the container "
              "(wrong key, damaged or changed file).")


def main(argv=None, prog="qoxcrypto", environ=None):
    """Runs one command; returns the exit status instead of raising."""
    args = build_parser(prog).parse_args(argv)
    try:
        return args.run(args, os.environ if environ is None else environ)
    except CliError as error:
        return _fail(str(error), error.code)
    except OSError as error:
        return _fail(_describe_os_error(error), EXIT_FAILURE)
    except KeyboardInterrupt:
        return _fail("interrupted", 130)


def build_parser(prog):
    parser = argparse.ArgumentParser(
        prog=prog, description="Encrypt, decrypt and inspect .qox containers.",
        epilog=_KEY_HELP + " " + _EXIT_HELP)
    parser.add_argument("--version", action="version", version="qoxcrypto " + __version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    keyed = argparse.ArgumentParser(add_help=False)
    keyed.add_argument("--key-file", metavar="FILE", help="file holding the raw key bytes")
    keyed.add_argument("--no-hmac", action="store_true",
                       help="the container has no HMAC tag (written with use_hmac=False); "
                            "inspect with a key finds this out by itself")

    written = argparse.ArgumentParser(add_help=False)
    target = written.add_mutually_exclusive_group()
    target.add_argument("-o", "--output", metavar="FILE", help="write the result to FILE ('-': stdout)")
    target.add_argument("--in-place", action="store_true", help="replace INPUT with the result")
    written.add_argument("--backup", action="store_true",
                         help="with --in-place, keep the old INPUT as INPUT.bak")
    written.add_argument("--force", action="store_true", help="replace an existing output file")

    encrypt = commands.add_parser(
        "encrypt", parents=[keyed, written], help="encrypt a JSON or text file into a container",
        description="Encrypt a UTF-8 JSON file (or any UTF-8 text with --text) into a .qox "
                    "container, byte for byte, so that decrypt gives the same file back.",
        epilog=_KEY_HELP)
    encrypt.add_argument("input", metavar="INPUT", help="the plain file")
    encrypt.add_argument("--text", action="store_true", help="accept text that is not JSON")
    encrypt.set_defaults(run=run_encrypt)

    decrypt = commands.add_parser(
        "decrypt", parents=[keyed, written], help="decrypt a container to stdout or a file",
        description="Decrypt a .qox container; the text goes to stdout unless -o or "
                    "--in-place is given.", epilog=_KEY_HELP)
    decrypt.add_argument("input", metavar="INPUT", help="the container")
    decrypt.add_argument("--pretty", action="store_true",
                         help="reformat the JSON text with an indent of two spaces")
    decrypt.set_defaults(run=run_decrypt)

    inspect = commands.add_parser(
        "inspect", parents=[keyed], help="show a container's header and sizes",
        description="Show the header fields and sizes of a .qox container. With a key (from "
                    "--key-file or %s) also whether the tag is present and the plaintext size; "
                    "no key or plaintext is ever printed." % KEY_ENV)
    inspect.add_argument("input", metavar="INPUT", help="the container")
    inspect.set_defaults(run=run_inspect)

    keygen = commands.add_parser(
        "keygen", help="write a new random key file (mode 0600)",
        description="Write a new random key to FILE, readable by its owner only.")
    keygen.add_argument("output", metavar="FILE", help="the key file to create")
    keygen.add_argument("--size", type=int, choices=KEY_SIZES, default=32,
                        help="key length in bytes (default: 32, AES-256)")
    keygen.add_argument("--force", action="store_true", help="replace an existing key file")
    keygen.set_defaults(run=run_keygen)
    return parser


def run_encrypt(args, environ):
    _check_target(args, needs_file=True)
    key = load_key(args.key_file, environ)
    data = _read(args.input)
    if data[:5] == container.MAGIC + bytes([container.VERSION]):
        raise CliError("%s is already a .qox container" % args.input)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise CliError("%s is not UTF-8 text" % args.input) from None
    if not args.text:
        try:
            json.loads(text)
        except ValueError as error:
            raise CliError("%s is not JSON (%s); use --text for other text"
                           % (args.input, error)) from None
    box = _crypto().QOXStringCrypto(key, not args.no_hmac)
    result = box.encrypt(data)
    where = _write(args, result, data, binary=True)
    _note("encrypted %s (%d bytes) into %s (%d bytes, %s)" % (
        args.input, len(data), where, len(result), "without tag" if args.no_hmac else "with tag"))
    return 0


def run_decrypt(args, environ):
    _check_target(args, needs_file=False)
    key = load_key(args.key_file, environ)
    data = _read(args.input)
    text = container.decrypt(_crypto(), key, data, not args.no_hmac, args.input)
    if args.pretty:
        try:
            value = json.loads(text)
        except ValueError:
            raise CliError("the text in %s is not JSON; drop --pretty" % args.input) from None
        text = json.dumps(value, ensure_ascii=False, indent=2) + "\n"
    where = _write(args, text.encode("utf-8"), data, binary=False)
    if where != "stdout":
        _note("decrypted %s into %s" % (args.input, where))
    return 0


def run_inspect(args, environ):
    data = _read(args.input)
    header = container.read_header(data, args.input)
    key = None
    if args.key_file is not None or KEY_ENV in environ:
        key = load_key(args.key_file, environ)
    tagged = container.ciphertext_size(header.size, True)
    untagged = container.ciphertext_size(header.size, False)
    lines = [("file", args.input), ("size", "%d bytes" % header.size),
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
        crypto = _crypto()
        text = container.try_open(crypto, key, data, True)
        with_tag = text is not None
        if not with_tag:
            text = container.try_open(crypto, key, data, False)
        if text is None:
            lines.append(("layout", _layouts(tagged, untagged)))
            failure = CliError("the key does not open %s: wrong key, or the file was changed or "
                               "damaged" % args.input, EXIT_KEY)
        else:
            lines += [("layout", _layouts(tagged, None) if with_tag else _layouts(None, untagged)),
                      ("tag", "present, verified with the key" if with_tag else
                       "none: nothing protects this file against changes"),
                      ("plaintext", "%d bytes of UTF-8 text, %s"
                       % (len(text.encode("utf-8")), _json_kind(text)))]
    width = max(len(name) for name, _ in lines) + 2
    for name, value in lines:
        print((name + ":").ljust(width) + value)
    if failure is not None:
        raise failure
    return 0


def run_keygen(args, environ):
    if os.path.lexists(args.output) and not args.force:
        raise CliError("%s exists; use --force to replace it (files encrypted with the old key "
                       "can then no longer be read)" % args.output)
    key = new_key(args.size)
    atomic_write(args.output, lambda handle: handle.write(key), mode=0o600)
    _note("wrote a new %d-byte key to %s (mode 0600); without it the files encrypted with it "
          "cannot be read" % (args.size, args.output))
    return 0


def _check_target(args, needs_file):
    if args.backup and not args.in_place:
        raise CliError("--backup works with --in-place only", EXIT_USAGE)
    if needs_file and args.output is None and not args.in_place:
        raise CliError("give -o OUTPUT or --in-place", EXIT_USAGE)


def _write(args, data, original, binary):
    """Writes the result where the options say and returns where that was.

    original: the input's content, kept as INPUT.bak by --in-place --backup.
    """
    if args.in_place:
        if args.backup:
            atomic_write(args.input + ".bak", lambda handle: handle.write(original),
                         mode=os.stat(args.input).st_mode & 0o7777)
        atomic_write(args.input, lambda handle: handle.write(data))
        return args.input
    if args.output in (None, "-"):
        if binary and sys.stdout.isatty():
            raise CliError("refusing to write a binary container to a terminal; use -o FILE")
        stdout = getattr(sys.stdout, "buffer", None)
        if stdout is None:  # a text-only stand-in for stdout
            sys.stdout.write(data.decode("utf-8", "replace"))
        else:
            stdout.write(data)
        sys.stdout.flush()
        return "stdout"
    if os.path.lexists(args.output) and not args.force:
        raise CliError("%s exists; use --force to replace it" % args.output)
    atomic_write(args.output, lambda handle: handle.write(data))
    return args.output


def _read(path):
    with open(path, "rb") as handle:
        return handle.read()


def _crypto():
    """The extension module, imported only by the commands that need it."""
    import qoxcrypto.crypto
    return qoxcrypto.crypto


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


def _json_kind(text):
    try:
        value = json.loads(text)
    except ValueError:
        return "not JSON"
    return "JSON object" if isinstance(value, dict) else "JSON " + type(value).__name__


def _note(message):
    print("qoxcrypto: " + message, file=sys.stderr)


def _fail(message, code):
    print("qoxcrypto: error: " + message, file=sys.stderr)
    return code


def _describe_os_error(error):
    """One line for a failed file operation, naming the file."""
    reason = error.strerror or str(error)
    if error.filename is None:
        return reason
    return "%s: %s" % (error.filename, reason)
