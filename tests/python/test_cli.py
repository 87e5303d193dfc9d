"""python3 -m qoxcrypto: round trips, every failure's status and message, atomic writes."""
import json
import os
import signal
import stat
import subprocess
import sys
import threading

import pytest

from conftest import KEYS, ROOT, crypto
import qoxcrypto
from qoxcrypto import atomic, cli, container

EXAMPLE = os.path.join(ROOT, "examples", "settings.json")
KEY = KEYS[32]
OTHER_KEY = bytes(range(32))
PLAIN = '{"theme": "dark", "名前": "張偉"}\n'.encode("utf-8")


def run_module(*args, env=None, cwd, input=None):
    """python -m qoxcrypto in a child process, with the in-tree package first on its path."""
    child_env = {name: value for name, value in os.environ.items() if name != "QOX_KEY_HEX"}
    child_env.update(env or {})
    child_env["PYTHONPATH"] = os.pathsep.join(filter(None, [ROOT, os.environ.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-m", "qoxcrypto"] + list(args), cwd=str(cwd),
                          env=child_env, capture_output=True, input=input)


def snapshot(folder):
    return {name: (folder / name).read_bytes() if (folder / name).is_file() else None
            for name in sorted(os.listdir(str(folder)))}


def untagged_container():
    """PLAIN without the tag, in a container whose padding OTHER_KEY gets wrong: under a random
    IV the wrong key finds valid padding about once in 200 containers, and opens it."""
    while True:
        sealed = crypto.QOXStringCrypto(KEY, False).encrypt(PLAIN)
        try:
            crypto.QOXStringCrypto(OTHER_KEY, False).decrypt(sealed)
        except ValueError as exc:  # a UnicodeDecodeError means the padding was valid
            if type(exc) is ValueError:
                return sealed


@pytest.fixture
def folder(tmp_path):
    for name, content in [("key", KEY), ("other", OTHER_KEY), ("plain.json", PLAIN),
                          ("tagged.qox", crypto.QOXStringCrypto(KEY).encrypt(PLAIN)),
                          ("untagged.qox", untagged_container())]:
        (tmp_path / name).write_bytes(content)
    (tmp_path / "key").chmod(0o600)
    (tmp_path / "other").chmod(0o600)
    return tmp_path


def test_header_constants_are_the_modules():
    box = crypto.QOXStringCrypto
    assert (container.MAGIC, container.VERSION, container.HEADER_SIZE, container.TAG_SIZE,
            container.BLOCK_SIZE) == (box.MAGIC_NUMBER, box.VERSION, box.HEADER_SIZE,
                                      box.HMAC_SIZE, box.BLOCK_SIZE)


# Round trips through the real command line.

@pytest.mark.parametrize("no_hmac", [[], ["--no-hmac"]], ids=["tag", "no-tag"])
@pytest.mark.parametrize("size", [16, 24, 32])
def test_keygen_encrypt_inspect_decrypt(tmp_path, no_hmac, size):
    assert run_module("keygen", "k", "--size", str(size), cwd=tmp_path).returncode == 0
    key = (tmp_path / "k").read_bytes()
    assert len(key) == size and stat.S_IMODE(os.stat(str(tmp_path / "k")).st_mode) == 0o600
    run = run_module("encrypt", EXAMPLE, "-o", "s.qox", "--key-file", "k", *no_hmac, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    blob = (tmp_path / "s.qox").read_bytes()
    # The file is a real container: the module reads it with the same key and layout.
    box = crypto.QOXStringCrypto(key, not no_hmac)
    with open(EXAMPLE, "rb") as handle:
        original = handle.read()
    assert box.decrypt(blob) == original.decode("utf-8")

    env = {"QOX_KEY_HEX": key.hex().upper()}  # the key from the environment
    shown = run_module("inspect", "s.qox", cwd=tmp_path, env=env).stdout.decode()
    assert "iv:" in shown and blob[5:21].hex() in shown and "%d bytes" % len(blob) in shown
    assert ("present, verified" if not no_hmac else "none: nothing protects") in shown
    assert "%d bytes of UTF-8 text, JSON object" % len(original) in shown
    assert key.hex() not in shown.lower()

    plain = run_module("decrypt", "s.qox", *no_hmac, cwd=tmp_path, env=env)
    assert plain.returncode == 0 and plain.stdout == original
    pretty = run_module("decrypt", "s.qox", "--pretty", *no_hmac, cwd=tmp_path, env=env)
    expected = json.dumps(json.loads(original), ensure_ascii=False, indent=2) + "\n"
    assert pretty.stdout.decode("utf-8") == expected


def test_in_place_round_trip_keeps_bytes_backup_mode_and_owner(folder):
    path = folder / "plain.json"
    path.chmod(0o640)
    owner = (1234, 1234) if os.geteuid() == 0 else (os.getuid(), os.getgid())
    os.chown(str(path), *owner)
    assert run_module("encrypt", "plain.json", "--in-place", "--backup", "--key-file", "key",
                      cwd=folder).returncode == 0
    assert (folder / "plain.json.bak").read_bytes() == PLAIN
    assert crypto.QOXStringCrypto(KEY).load_json(path.read_bytes()) == json.loads(PLAIN)
    assert run_module("decrypt", "plain.json", "--in-place", "--key-file", "key",
                      cwd=folder).returncode == 0
    found = path.stat()
    assert path.read_bytes() == PLAIN and stat.S_IMODE(found.st_mode) == 0o640
    assert (found.st_uid, found.st_gid) == owner


@pytest.mark.parametrize("no_hmac", [[], ["--no-hmac"]], ids=["tag", "no-tag"])
def test_any_bytes_round_trip_through_stdin_and_stdout(folder, no_hmac):
    data = os.urandom(3 << 20) + b"\xff\x00QOX1\x01"
    sealed = run_module("encrypt", "-", "--key-file", "key", *no_hmac, cwd=folder, input=data)
    assert sealed.returncode == 0, sealed.stderr
    assert qoxcrypto.decrypt(KEY, sealed.stdout, tag=not no_hmac) == data
    opened = run_module("decrypt", "-", "--key-file", "key", *no_hmac, cwd=folder,
                        input=sealed.stdout)
    assert opened.returncode == 0 and opened.stdout == data
    # inspect: a verified tag over binary data is not a key that fails to open it; without
    # the tag, binary data gives no evidence of the layout, so --no-hmac must say it.
    shown = run_module("inspect", "-", "--key-file", "key", *no_hmac, cwd=folder,
                       input=sealed.stdout)
    assert shown.returncode == 0 and b"%d bytes, not UTF-8 text" % len(data) in shown.stdout
    assert (b"present, verified" in shown.stdout) == (not no_hmac)
    refused = run_module("inspect", "-", "--key-file", "other", cwd=folder, input=sealed.stdout)
    assert refused.returncode == 3 and b"the key does not open stdin" in refused.stderr


@pytest.mark.parametrize("kind", ["device", "fifo"])
def test_devices_and_fifos_are_written_in_place(folder, kind):
    sink = folder / "sink"
    if kind == "device":
        try:
            os.mknod(str(sink), 0o666 | stat.S_IFCHR, os.makedev(1, 3))  # a null device
        except PermissionError:
            pytest.skip("making a device node takes root")
    else:
        os.mkfifo(str(sink))
    names = set(os.listdir(str(folder)))
    received = []

    def drain():
        if kind == "fifo":
            with open(str(sink), "rb") as handle:
                received.append(handle.read())
    for args in (["encrypt", "plain.json"], ["decrypt", "tagged.qox"]):
        reader = threading.Thread(target=drain)
        reader.start()
        run = run_module(*args, "-o", "sink", "--force", "--key-file", "key", cwd=folder)
        reader.join(5)
        if reader.is_alive():  # the command never opened the FIFO: release the reader
            os.close(os.open(str(sink), os.O_WRONLY | os.O_NONBLOCK))
            reader.join()
        assert run.returncode == 0, run.stderr
        assert stat.S_IFMT(sink.lstat().st_mode) == (stat.S_IFCHR if kind == "device" else
                                                     stat.S_IFIFO)
    assert set(os.listdir(str(folder))) == names
    if kind == "fifo":
        assert qoxcrypto.decrypt(KEY, received[0]) == PLAIN and received[1] == PLAIN


@pytest.mark.parametrize("temporary", ["anonymous", "named"])
def test_sigterm_in_an_in_place_decrypt_leaves_nothing(folder, monkeypatch, temporary):
    if temporary == "named":  # where O_TMPFILE is missing: a named file, cleaned up
        monkeypatch.setattr(atomic, "_anonymous", lambda folder: None)
        gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                              capture_output=True).stdout.strip().decode()
        (folder / (".tagged.qox.%s.qoxtmp" % gone)).write_bytes(b"left by a killed run")
    real = cli.decrypt_stream_unverified  # a file's road: one pass into the hidden file

    def killed_midway(key, source, target, **options):
        target.write(b"partial plaintext")
        os.kill(os.getpid(), signal.SIGTERM)
        return real(key, source, target, **options)
    monkeypatch.setattr(cli, "decrypt_stream_unverified", killed_midway)
    monkeypatch.chdir(str(folder))
    before = {name: content for name, content in snapshot(folder).items()
              if not name.endswith(".qoxtmp")}

    def unhandled(number, frame):  # the command line did not take the signal over
        raise AssertionError("SIGTERM reached the test")
    previous = signal.signal(signal.SIGTERM, unhandled)
    try:
        assert cli.main(["decrypt", "tagged.qox", "--in-place", "--key-file", "key"]) == 128 + 15
        assert signal.getsignal(signal.SIGTERM) is unhandled  # and gave it back
    finally:
        signal.signal(signal.SIGTERM, previous)
    assert snapshot(folder) == before


def test_text_and_stdout_container(folder):
    (folder / "note.txt").write_bytes("not json — ünïcode".encode("utf-8"))
    run = run_module("encrypt", "note.txt", "--text", "-o", "-", "--key-file", "key", cwd=folder)
    assert crypto.QOXStringCrypto(KEY).decrypt(run.stdout) == "not json — ünïcode"


# Failures: status, one line on stderr, nothing written, no secret shown.
FAILURES = [
    (["decrypt", "tagged.qox", "--key-file", "other"], {}, 3, "the tag does not match"),
    (["decrypt", "untagged.qox", "--no-hmac", "--key-file", "other"], {}, 3, "wrong key"),
    (["decrypt", "tampered.qox", "--key-file", "key"], {}, 3, "the file was changed"),
    (["decrypt", "short.qox", "--key-file", "key"], {}, 3, "damaged: 100 bytes"),
    (["decrypt", "tagged.qox", "--no-hmac", "--key-file", "key"], {}, 3, "drop --no-hmac"),
    (["decrypt", "untagged.qox", "--key-file", "key"], {}, 3, "use --no-hmac"),
    (["inspect", "tagged.qox", "--key-file", "other"], {}, 3, "the key does not open"),
    (["inspect", "tampered.qox", "--key-file", "key"], {}, 3, "the key does not open"),
    (["decrypt", "plain.json", "--key-file", "key"], {}, 1, "not a .qox container"),
    (["inspect", "v2.qox"], {}, 1, "version 2; only version 1"),
    (["decrypt", "missing.qox", "--key-file", "key"], {}, 1, "missing.qox: No such file"),
    (["decrypt", "tagged.qox", "--key-file", "missing"], {}, 1, "missing: No such file"),
    (["decrypt", "tagged.qox"], {}, 2, "no key: give --key-file FILE or set QOX_KEY_HEX"),
    (["decrypt", "tagged.qox"], {"QOX_KEY_HEX": "zz"}, 2, "QOX_KEY_HEX is not a hex string"),
    (["decrypt", "tagged.qox"], {"QOX_KEY_HEX": "00" * 31}, 2, "holds 31 bytes"),
    (["decrypt", "tagged.qox", "--key-file", "hexkey"], {}, 2, "holds hex text"),
    (["decrypt", "tagged.qox", "--key-file", "plain.json"], {}, 2, "holds 38 bytes"),
    (["decrypt", "text.qox", "--pretty", "--key-file", "key"], {}, 1, "not JSON; drop --pretty"),
    (["decrypt", "tagged.qox", "-o", "plain.json", "--key-file", "key"], {}, 1, "plain.json exists"),
    (["decrypt", "binary.qox", "--text", "--key-file", "key"], {}, 1, "of binary.qox is not UTF-8"),
    (["encrypt", "note.txt", "-o", "n.qox", "--json", "--key-file", "key"], {}, 1,
     "note.txt is not JSON (Expecting"),
    (["encrypt", "latin1.json", "-o", "n.qox", "--text", "--key-file", "key"], {}, 1,
     "latin1.json is not UTF-8 text"),
    (["encrypt", "tagged.qox", "--in-place", "--key-file", "key"], {}, 1, "already a .qox"),
    (["encrypt", "plain.json", "-o", "sub", "--force", "--key-file", "key"], {}, 1,
     "sub: is a directory"),
    (["encrypt", "-", "--in-place", "--key-file", "key"], {}, 2, "--in-place needs a file"),
    (["encrypt", "plain.json", "-o", "x", "--backup", "--key-file", "key"], {}, 2, "--in-place only"),
    (["keygen", "key"], {}, 1, "key exists; use --force"),
    (["keygen", "nodir/k"], {}, 1, "nodir/k: No such file"),
    (["keygen", "-"], {}, 2, "not stdout"),
]


@pytest.mark.parametrize("args, env, code, message", FAILURES,
                         ids=[" ".join(args[:2]) + ": " + message for args, _, _, message in FAILURES])
def test_failure(folder, capsys, monkeypatch, args, env, code, message):
    tagged = (folder / "tagged.qox").read_bytes()
    # Changed so that, read without the tag, the last block ends in a valid padding byte
    # (10 becomes 1): that alone must not make it pass for a container without the tag.
    (folder / "tampered.qox").write_bytes(
        tagged[:-17] + bytes([tagged[-17] ^ 10 ^ 1]) + tagged[-16:])
    (folder / "short.qox").write_bytes(tagged[:-1])
    (folder / "v2.qox").write_bytes(tagged[:4] + b"\x02" + tagged[5:])
    (folder / "hexkey").write_text(KEY.hex() + "\n")
    (folder / "note.txt").write_text("plain words")
    (folder / "text.qox").write_bytes(crypto.QOXStringCrypto(KEY).encrypt("plain words"))
    (folder / "latin1.json").write_bytes('{"a": "é"}'.encode("latin-1"))
    (folder / "binary.qox").write_bytes(crypto.QOXStringCrypto(KEY).encrypt(b"\xff\xfe"))
    (folder / "sub").mkdir()
    before = snapshot(folder)
    monkeypatch.chdir(str(folder))
    assert cli.main(args, environ=env) == code
    out, err = capsys.readouterr()
    assert err.count("\n") == 1 and err.startswith("qoxcrypto: error: ") and message in err
    assert KEY.hex() not in (out + err).lower() and "dark" not in out + err
    assert snapshot(folder) == before


@pytest.mark.parametrize("args, code", [
    ([], 2), (["frobnicate"], 2), (["decrypt"], 2), (["decrypt", "x", "-o", "y", "--in-place"], 2),
    (["--help"], 0), (["encrypt", "--help"], 0), (["decrypt", "--help"], 0),
    (["inspect", "--help"], 0), (["keygen", "--help"], 0)])
def test_usage_and_help(folder, args, code):
    run = run_module(*args, cwd=folder)
    assert run.returncode == code and b"usage: python3 -m qoxcrypto" in (run.stdout + run.stderr)
    if code == 0:
        assert (b"QOX_KEY_HEX" in run.stdout) == (args[0] != "keygen")


# The atomic writer: the old file survives any failure, and no temporary file is left,
# with an anonymous temporary file (Linux) and with a named one (elsewhere).

@pytest.fixture(params=["anonymous", "named"])
def temporaries(request, monkeypatch):
    if request.param == "named":
        monkeypatch.setattr(atomic, "_anonymous", lambda folder: None)

class Interrupted(Exception):
    pass


def half_then_fail(handle):
    handle.write(b"partial")
    handle.flush()
    raise Interrupted()


@pytest.mark.parametrize("existing", [True, False], ids=["replace", "create"])
@pytest.mark.parametrize("breaking", ["writer", "fsync", "replace"])
def test_failed_write_leaves_the_old_file(tmp_path, monkeypatch, temporaries, existing, breaking):
    target = tmp_path / "settings.json"
    if existing:
        target.write_bytes(PLAIN)
    write = half_then_fail if breaking == "writer" else (lambda handle: handle.write(b"new"))
    if breaking != "writer":
        def broken(*args):
            raise Interrupted()
        monkeypatch.setattr(atomic.os, breaking, broken)
    with pytest.raises(Interrupted):
        atomic.atomic_write(str(target), write)
    assert os.listdir(str(tmp_path)) == (["settings.json"] if existing else [])
    assert not existing or target.read_bytes() == PLAIN


def test_data_and_rename_reach_the_disk_in_order(tmp_path, monkeypatch, temporaries):
    events = []
    real_fsync, real_replace = atomic.os.fsync, atomic.os.replace
    monkeypatch.setattr(atomic.os, "fsync", lambda fd: events.append("fsync") or real_fsync(fd))
    monkeypatch.setattr(atomic.os, "replace", lambda *a: events.append("replace") or real_replace(*a))
    atomic.atomic_write(str(tmp_path / "f"), lambda handle: handle.write(b"data"))
    # The file, then the rename, then the folder holding the new name.
    assert events == ["fsync", "replace", "fsync"] and (tmp_path / "f").read_bytes() == b"data"


def test_symlink_keeps_pointing_at_the_new_content(tmp_path):
    (tmp_path / "real").write_bytes(b"old")
    os.symlink("real", str(tmp_path / "link"))
    atomic.atomic_write(str(tmp_path / "link"), lambda handle: handle.write(b"new"))
    assert os.path.islink(str(tmp_path / "link")) and (tmp_path / "real").read_bytes() == b"new"


# Verdicts: a tagged container that was changed, or is read with another key, is refused
# with status 3 and no plaintext; the hint to drop the tag needs a whole-text reading.
TEXT = ("réglages " * 40).encode("utf-8")
PAYLOADS = {"text": TEXT, "json": json.dumps({"k": TEXT.decode()}).encode(),
            "binary": bytes(range(256)) * 2}
HINT, NEUTRAL = "use --no-hmac", "or it was written without the tag"


@pytest.mark.parametrize("payload", sorted(PAYLOADS))
@pytest.mark.parametrize("case", ["tag flipped", "ciphertext flipped", "other key", "untagged"])
def test_tamper_verdicts(folder, capsysbinary, monkeypatch, payload, case):
    sealed = bytearray(crypto.QOXStringCrypto(KEY, case != "untagged").encrypt(PAYLOADS[payload]))
    if case.endswith("flipped"):
        sealed[40 if case == "tag flipped" else len(sealed) // 2] ^= 4
    (folder / "c.qox").write_bytes(sealed)
    monkeypatch.chdir(str(folder))
    key = "other" if case == "other key" else "key"
    hinted = case == "untagged" and payload != "binary"
    for args in (["decrypt", "c.qox"], ["decrypt", "c.qox", "-o", "out"], ["inspect", "c.qox"]):
        status = cli.main(args + ["--key-file", key])
        out, err = capsysbinary.readouterr()
        if args[0] == "inspect":
            assert status == (0 if hinted else 3)
            assert (b"none: nothing protects" in out) == hinted
            continue
        assert status == 3 and out == b"" and not (folder / "out").exists()
        assert (HINT.encode() in err) == hinted, err
        assert NEUTRAL.encode() in err or case != "untagged" or hinted, err


def test_a_reader_that_goes_away_ends_it_quietly(folder):
    (folder / "big.qox").write_bytes(qoxcrypto.encrypt(KEY, bytes(4 << 20)))
    child_env = dict(os.environ, PYTHONPATH=ROOT)
    child = subprocess.Popen([sys.executable, "-m", "qoxcrypto", "decrypt", "big.qox",
                              "--key-file", "key"], cwd=str(folder), env=child_env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert child.stdout.read(10) == bytes(10)
    child.stdout.close()  # as head -c 10 does
    assert child.wait() == 128 + signal.SIGPIPE and child.stderr.read() == b""


@pytest.mark.parametrize("moment", ["encrypting", "replacing INPUT"])
def test_ctrl_c_leaves_no_backup_and_an_old_one_stays(folder, monkeypatch, capsys, moment):
    monkeypatch.chdir(str(folder))
    before = snapshot(folder)
    if moment == "encrypting":
        def interrupted(*args, **options):
            raise KeyboardInterrupt
        monkeypatch.setattr(cli, "encrypt_stream", interrupted)
    else:
        real = os.replace

        def interrupted(source, target, *args, **options):
            if os.path.basename(target) == "plain.json":
                raise KeyboardInterrupt
            return real(source, target, *args, **options)
        monkeypatch.setattr(atomic.os, "replace", interrupted)
    command = ["encrypt", "plain.json", "--in-place", "--backup", "--key-file", "key"]
    assert cli.main(command) == 130 and snapshot(folder) == before
    monkeypatch.undo()
    monkeypatch.chdir(str(folder))
    (folder / "plain.json.bak").write_bytes(b"an older backup")
    assert cli.main(command, environ={}) == 1
    assert "plain.json.bak exists; use --force" in capsys.readouterr().err
    assert (folder / "plain.json.bak").read_bytes() == b"an older backup"


@pytest.mark.parametrize("options, said", [
    ([], ""), (["-v"], "qoxcrypto: encrypted plain.json"),
    (["--no-hmac"], "qoxcrypto: warning: --no-hmac: the container gets no tag and will not detect"),
    (["--no-hmac", "-q"], "")])
def test_stderr_carries_warnings_and_notes_only_when_wanted(folder, capsys, monkeypatch,
                                                            options, said):
    monkeypatch.chdir(str(folder))  # stderr is no terminal here, as in a cron job
    assert cli.main(["encrypt", "plain.json", "-o", "p.qox", "--key-file", "key"] + options) == 0
    err = capsys.readouterr().err
    assert err.startswith(said) and err.count("\n") == (1 if said else 0)
