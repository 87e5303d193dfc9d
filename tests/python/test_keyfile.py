"""Key files, raw and passphrase-protected: scrypt's known answers, round trips, refusals."""
import os
import stat
import unicodedata

import pytest

import qoxcrypto
from qoxcrypto import keyfile

CHEAP = keyfile.ScryptCost(10, 8, 1)  # 1 MiB, milliseconds: the format, not the cost, is tested


# RFC 7914, section 12 (the fourth vector needs 1 GiB and is left out).
@pytest.mark.parametrize("passphrase, salt, log2_n, r, p, expected", [
    (b"", b"", 4, 1, 1,
     "77d6576238657b203b19ca42c18a0497f16b4844e3074ae8dfdffa3fede21442"
     "fcd0069ded0948f8326a753a0fc81f17e8d3e0fb2e0d3628cf35e20c38d18906"),
    (b"password", b"NaCl", 10, 8, 16,
     "fdbabe1c9d3472007856e7190d01e9fe7c6ad7cbc8237830e77376634b373162"
     "2eaf30d92e22a3886ff109279d9830dac727afb94a83ee6d8360cbdfa2cc0640"),
    (b"pleaseletmein", b"SodiumChloride", 14, 8, 1,
     "7023bdcb3afd7348461c06cd81fd38ebfda8fbba904f8e3ea9b543f6545da1f2"
     "d5432955613f0fcf62d49705242a9af9e61e85dc0d651e40dfcf017b45575887"),
])
def test_rfc7914_vectors_through_the_derivation_key_files_use(passphrase, salt, log2_n, r, p,
                                                              expected):
    cost = keyfile.ScryptCost(log2_n, r, p)
    assert keyfile.derive_key(passphrase, salt, cost, 64).hex() == expected


@pytest.mark.parametrize("size", [16, 24, 32])
def test_round_trip_of_both_kinds_and_what_the_file_holds(tmp_path, size):
    key = qoxcrypto.generate_key(size)
    raw, wrapped = tmp_path / "raw.key", tmp_path / "wrapped.key"
    qoxcrypto.save_key(raw, key)
    qoxcrypto.save_key(str(wrapped), key, "Grüße aus Köln", cost=CHEAP)
    for path in (raw, wrapped):
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    assert raw.read_bytes() == key
    content = wrapped.read_bytes()
    assert content[:9] == b"QOXK\x01\x01\x0a\x08\x01"
    assert key not in content
    # A str passphrase is NFC-normalised; a callable is asked only for a protected file.
    asked = []
    decomposed = unicodedata.normalize("NFD", "Grüße aus Köln")
    assert qoxcrypto.load_key(wrapped, lambda: asked.append(1) or decomposed) == key
    assert qoxcrypto.load_key(raw, lambda: asked.append(2) or "unused") == key
    assert asked == [1]
    # A second file under the same passphrase has a fresh salt and IV.
    qoxcrypto.save_key(wrapped, key, "Grüße aus Köln", overwrite=True, cost=CHEAP)
    assert wrapped.read_bytes()[9:] != content[9:]
    with pytest.raises(FileExistsError):
        qoxcrypto.save_key(wrapped, key)


def test_a_wrong_passphrase_or_a_changed_file_is_a_tag_mismatch(tmp_path):
    path = tmp_path / "k"
    qoxcrypto.save_key(path, bytes(32), b"right", cost=CHEAP)
    content = path.read_bytes()
    with pytest.raises(qoxcrypto.WrongPassphraseError, match="wrong passphrase for key file"):
        qoxcrypto.load_key(path, "wrong")
    for offset in (6, 12, len(content) - 1):  # the cost, the salt, the wrapped key
        path.write_bytes(content[:offset] + bytes([content[offset] ^ 1]) + content[offset + 1:])
        with pytest.raises(qoxcrypto.TagMismatchError):
            qoxcrypto.load_key(path, b"right")


@pytest.mark.parametrize("content, message", [
    (b"QOXK\x02" + bytes(100), "format version 2; this qoxcrypto reads version 1"),
    (b"QOXK\x01\x02" + bytes(100), "key derivation 2"),
    (b"QOXK\x01\x01\x16\x08\x01" + bytes(100), "asks for 4096 MiB"),  # a hostile cost
    (b"QOXK\x01\x01\x0a\x08\x00" + bytes(100), "out of range"),
    (b"QOXK\x01\x01\x0a\x08\x01" + bytes(16) + b"QOX1", "damaged"),
    (b"00112233445566778899aabbccddeeff", "holds hex text"),
    (bytes(range(200, 231)), "holds 31 bytes"),
], ids=["version", "kdf", "memory", "parallelism", "short", "hex", "size"])
def test_what_is_no_key_file_is_refused_before_any_work(tmp_path, content, message):
    path = tmp_path / "k"
    path.write_bytes(content)
    with pytest.raises(qoxcrypto.KeyFileError, match=message):
        qoxcrypto.load_key(path, "any")


def test_a_protected_file_without_a_passphrase(tmp_path):
    path = tmp_path / "k"
    qoxcrypto.save_key(path, bytes(16), "p", cost=CHEAP)
    with pytest.raises(qoxcrypto.KeyFileError, match="protected by a passphrase; none was given"):
        qoxcrypto.load_key(path)
    with pytest.raises(ValueError, match="passphrase is empty"):
        qoxcrypto.save_key(tmp_path / "other", bytes(16), "")
