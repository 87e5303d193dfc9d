"""The package's public functions name the argument they refuse (not qoxcrypto.crypto's)."""
import io

import pytest

import qoxcrypto

KEY = bytes(32)
CONTAINER = qoxcrypto.encrypt(KEY, b"x")


@pytest.mark.parametrize("call, error, message", [
    (lambda: qoxcrypto.encrypt("k" * 32, b"x"), TypeError, "key must be bytes-like, not str"),
    (lambda: qoxcrypto.encrypt(KEY, "text"), TypeError, "data must be bytes-like, not str"),
    (lambda: qoxcrypto.encrypt(KEY, 5), TypeError, "data must be bytes-like, not int"),
    (lambda: qoxcrypto.encrypt(KEY, b"", tag="no"), TypeError, "tag must be True or False, not str"),
    (lambda: qoxcrypto.encrypt(KEY, b"", iv="x" * 16), TypeError, "iv must be bytes-like, not str"),
    (lambda: qoxcrypto.encrypt(KEY, b"", iv=bytes(8)), ValueError, "iv must have 16 bytes, not 8"),
    (lambda: qoxcrypto.encrypt(bytes(31), b""), ValueError, "key must have 16, 24 or 32 bytes, not 31"),
    (lambda: qoxcrypto.decrypt(KEY, None), TypeError, "container must be bytes-like, not None"),
    (lambda: qoxcrypto.decrypt(None, CONTAINER), TypeError, "key must be bytes-like, not None"),
    (lambda: qoxcrypto.Encryptor(KEY).update("x"), TypeError, "data must be bytes-like, not str"),
    (lambda: qoxcrypto.Decryptor(KEY).check(["x"]), TypeError, "data must be bytes-like, not list"),
    (lambda: qoxcrypto.encrypt_stream(KEY, b"plain", io.BytesIO()), TypeError,
     "source must be a binary file object with read(), not bytes"),
    (lambda: qoxcrypto.decrypt_stream(KEY, io.BytesIO(CONTAINER), "out"), TypeError,
     "target must be a binary file object with write(), not str"),
    (lambda: qoxcrypto.encrypt_stream(KEY, io.BytesIO(), io.BytesIO(), progress=1), TypeError,
     "progress must be callable or None, not int"),
    (lambda: qoxcrypto.encrypt_stream(KEY, io.BytesIO(), io.BytesIO(), chunk_size=0), ValueError,
     "chunk_size must be positive, not 0"),
    (lambda: qoxcrypto.encrypt_file(KEY, 0, "out"), TypeError,  # not stdin's descriptor
     "source must be a path (str, bytes or os.PathLike), not int"),
    (lambda: qoxcrypto.decrypt_file("k", "in", "out"), TypeError, "key must be bytes-like, not str"),
    (lambda: qoxcrypto.generate_key(33), ValueError, "size must be one of 16, 24, 32, not 33"),
    (lambda: qoxcrypto.save_key("k", KEY, 5), TypeError, "passphrase must be str or bytes, not int"),
    (lambda: qoxcrypto.load_key(None), TypeError,
     "path must be a path (str, bytes or os.PathLike), not None"),
])
def test_errors_name_the_parameter(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message
