"""The command line with passphrase-protected key files, and rekey."""
import os
import pty
import sys
import tempfile

import pytest

from test_cli import run_module
import qoxcrypto
from qoxcrypto import cli, keyfile

CHEAP = keyfile.ScryptCost(10, 8, 1)
PLAIN = b'{"theme": "dark"}\n'


@pytest.fixture
def keys(tmp_path):
    """old.key protected by "old secret", new.key by "new secret"; the passphrase files."""
    old, new = qoxcrypto.generate_key(), qoxcrypto.generate_key(16)
    qoxcrypto.save_key(tmp_path / "old.key", old, "old secret", cost=CHEAP)
    qoxcrypto.save_key(tmp_path / "new.key", new, "new secret", cost=CHEAP)
    (tmp_path / "old.pass").write_text("old secret\n")
    (tmp_path / "new.pass").write_text("new secret\n")
    (tmp_path / "plain.json").write_bytes(PLAIN)
    return old, new


@pytest.mark.parametrize("source", ["file", "environment"])
def test_a_protected_key_file_through_every_command(tmp_path, keys, source):
    old, new = keys
    if source == "file":
        given, env = ["--passphrase-file", "old.pass"], {}
        new_given = ["--new-passphrase-file", "new.pass"]
    else:
        given, new_given = [], []
        env = {"QOX_PASSPHRASE": "old secret", "QOX_NEW_PASSPHRASE": "new secret"}
    keyed = ["--key-file", "old.key"] + given
    assert run_module("encrypt", "plain.json", "-o", "c.qox", *keyed, env=env,
                      cwd=tmp_path).returncode == 0
    assert qoxcrypto.decrypt(old, (tmp_path / "c.qox").read_bytes()) == PLAIN
    inspected = run_module("inspect", "c.qox", *keyed, env=env, cwd=tmp_path)
    assert b"verified with the key" in inspected.stdout
    assert run_module("decrypt", "c.qox", *keyed, env=env, cwd=tmp_path).stdout == PLAIN
    moved = run_module("rekey", "c.qox", *keyed, "--new-key-file", "new.key", *new_given,
                       env=env, cwd=tmp_path)
    assert moved.returncode == 0, moved.stderr
    assert qoxcrypto.decrypt(new, (tmp_path / "c.qox").read_bytes()) == PLAIN


@pytest.mark.parametrize("args", [
    ["encrypt", "plain.json", "-o", "c.qox"], ["decrypt", "c.qox"], ["inspect", "c.qox"],
    ["rekey", "c.qox", "--new-key-file", "new.key", "--new-passphrase-file", "new.pass"],
], ids=lambda args: args[0])
def test_a_wrong_passphrase_is_the_tag_mismatch_status(tmp_path, keys, args):
    (tmp_path / "c.qox").write_bytes(qoxcrypto.encrypt(keys[0], PLAIN))
    before = (tmp_path / "c.qox").read_bytes()
    run = run_module(*args, "--key-file", "old.key", env={"QOX_PASSPHRASE": "wrong"},
                     cwd=tmp_path)
    assert run.returncode == 3
    assert run.stderr.decode().endswith(
        "error: wrong passphrase for key file old.key (or the file was changed)\n")
    assert (tmp_path / "c.qox").read_bytes() == before and not (tmp_path / "c.qox.bak").exists()


def test_no_passphrase_and_no_terminal_is_a_usage_error(tmp_path, keys):
    (tmp_path / "c.qox").write_bytes(qoxcrypto.encrypt(keys[0], PLAIN))
    run = run_module("decrypt", "c.qox", "--key-file", "old.key", cwd=tmp_path)
    assert run.returncode == 2
    assert b"old.key needs a passphrase and there is no terminal" in run.stderr


def on_terminal(tmp_path, args, typed):
    """Runs the command line in a child whose terminal gets the lines typed; (status, output)."""
    try:
        pid, terminal = pty.fork()
    except OSError as error:  # a chroot without /dev/pts
        pytest.skip("no pseudo-terminal here: %s" % error)
    if pid == 0:  # the child: its controlling terminal is the pty; it never returns
        status = 99
        try:
            os.chdir(str(tmp_path))
            sys.stdout = sys.stderr = open(1, "w", closefd=False)  # not pytest's capture
            status = cli.main(args)
            sys.stdout.flush()
        finally:
            os._exit(status)
    output = b""
    for line in typed:
        while b": " not in output.rsplit(b"\n", 1)[-1]:  # the prompt
            output += os.read(terminal, 1024)
        os.write(terminal, line + b"\n")
        output += os.read(terminal, 1024)
    while True:
        try:
            chunk = os.read(terminal, 1024)
        except OSError:  # the child closed its end
            break
        if not chunk:
            break
        output += chunk
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), output


@pytest.mark.skipif(not hasattr(os, "waitstatus_to_exitcode"), reason="Python 3.9 and later")
def test_keygen_asks_twice_and_decrypt_once_on_the_terminal(tmp_path, monkeypatch):
    monkeypatch.setattr(keyfile, "DEFAULT_COST", CHEAP)  # the child inherits the patch
    status, output = on_terminal(tmp_path, ["keygen", "--passphrase", "k"], [b"one", b"two"])
    assert status == 2 and b"the two passphrases differ" in output
    assert not (tmp_path / "k").exists()
    status, output = on_terminal(tmp_path, ["keygen", "--passphrase", "k"], [b"tw\xc3\xb6", b"tw\xc3\xb6"])
    assert status == 0 and b"tw" not in output  # no echo
    key = qoxcrypto.load_key(tmp_path / "k", "twö")
    (tmp_path / "c.qox").write_bytes(qoxcrypto.encrypt(key, PLAIN))
    status, output = on_terminal(tmp_path, ["decrypt", "c.qox", "--key-file", "k"], [b"tw\xc3\xb6"])
    assert status == 0 and output.count(b"passphrase for k: ") == 1 and PLAIN.strip() in output


def test_rekey_of_100_files_with_one_corrupted(tmp_path, keys):
    old, new = keys
    (tmp_path / "data").mkdir()
    names = ["data/%03d.qox" % number for number in range(100)]
    for number, name in enumerate(names):
        (tmp_path / name).write_bytes(qoxcrypto.encrypt(old, b"file %d " % number * number))
        os.chmod(str(tmp_path / name), 0o600 if number % 2 else 0o644)
        if os.geteuid() == 0:
            os.chown(str(tmp_path / name), 1000 + number, 2000 + number)
    broken = tmp_path / names[57]
    content = bytearray(broken.read_bytes())
    content[-1] ^= 1
    broken.write_bytes(bytes(content))
    before = [os.stat(str(tmp_path / name)) for name in names]
    run = run_module("rekey", *names, "--key-file", "old.key", "--passphrase-file", "old.pass",
                     "--new-key-file", "new.key", "--new-passphrase-file", "new.pass",
                     "-q", cwd=tmp_path)
    assert run.returncode == 1
    assert run.stderr.decode().splitlines() == [
        "qoxcrypto: error: cannot rekey data/057.qox: the tag does not match: wrong key, or "
        "the file was changed; left as it was",
        "qoxcrypto: 99 of 100 files moved to the new key; 1 failed, left as they were"]
    assert broken.read_bytes() == bytes(content)
    for number, (name, old_stat) in enumerate(zip(names, before)):
        new_stat = os.stat(str(tmp_path / name))
        assert (new_stat.st_mode, new_stat.st_uid, new_stat.st_gid) == (
            old_stat.st_mode, old_stat.st_uid, old_stat.st_gid)
        if number != 57:
            assert qoxcrypto.decrypt(new, (tmp_path / name).read_bytes()) == (
                b"file %d " % number * number)
    assert sorted(os.listdir(str(tmp_path / "data"))) == sorted(n[5:] for n in names)


def test_rekey_writes_no_temporary_outside_the_files_folder(tmp_path, keys, monkeypatch,
                                                              capsys):
    def refused(*args, **kwargs):
        raise AssertionError("a temporary file outside the file's folder")
    for name in ("mkstemp", "mkdtemp", "TemporaryFile", "NamedTemporaryFile",
                 "SpooledTemporaryFile"):
        monkeypatch.setattr(tempfile, name, refused)
    big = os.urandom(3 << 20)  # several chunks
    (tmp_path / "c.qox").write_bytes(qoxcrypto.encrypt(keys[0], big))
    monkeypatch.chdir(tmp_path)
    assert cli.main(["rekey", "c.qox", "--key-file", "old.key", "--passphrase-file", "old.pass",
                     "--new-key-file", "new.key", "--new-passphrase-file", "new.pass"],
                    environ={}) == 0
    assert qoxcrypto.decrypt(keys[1], (tmp_path / "c.qox").read_bytes()) == big
