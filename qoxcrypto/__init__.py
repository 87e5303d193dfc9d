"""qoxcrypto: the .qox container (AES-CBC, PKCS#7, optional HMAC-SHA256 tag).

qoxcrypto.crypto holds QOXStringCrypto for text and dictionaries. This package adds
bytes to bytes (encrypt, decrypt), file objects (encrypt_stream, decrypt_stream) and
file to file (encrypt_file, decrypt_file) for data of any size in constant memory,
with failures that say why (ContainerError and its subclasses, all ValueError), and
the command line (python3 -m qoxcrypto). Nothing here hands out plaintext of a tagged
container before its tag verified, unless its name says "unverified".
"""

__version__ = "1.0.0"
__all__ = ["ContainerError", "DamagedError", "NotAContainerError", "TagMismatchError",
           "TaggedContainerError", "UntaggedContainerError", "Decryptor",
           "Encryptor", "decrypt", "decrypt_file", "decrypt_stream", "decrypt_stream_unverified",
           "encrypt", "encrypt_file", "encrypt_stream"]

# The module each public name comes from. Python runs this file before any submodule,
# qoxcrypto.crypto included, so the layer is imported at the first use of one of its
# names (PEP 562) rather than here: `import qoxcrypto.crypto` costs only the extension.
_HOMES = {
    "ContainerError": "qoxcrypto.exceptions",
    "DamagedError": "qoxcrypto.exceptions",
    "NotAContainerError": "qoxcrypto.exceptions",
    "TagMismatchError": "qoxcrypto.exceptions",
    "TaggedContainerError": "qoxcrypto.exceptions",
    "UntaggedContainerError": "qoxcrypto.exceptions",
    "Decryptor": "qoxcrypto.stream",
    "Encryptor": "qoxcrypto.stream",
    "decrypt": "qoxcrypto.stream",
    "decrypt_stream": "qoxcrypto.stream",
    "decrypt_stream_unverified": "qoxcrypto.stream",
    "encrypt": "qoxcrypto.stream",
    "encrypt_stream": "qoxcrypto.stream",
    "decrypt_file": "qoxcrypto.files",
    "encrypt_file": "qoxcrypto.files",
}

TYPE_CHECKING = False  # what typing.TYPE_CHECKING is at run time, without importing typing
if TYPE_CHECKING:
    from qoxcrypto.exceptions import (ContainerError, DamagedError, NotAContainerError,
                                      TaggedContainerError, TagMismatchError,
                                      UntaggedContainerError)
    from qoxcrypto.files import decrypt_file, encrypt_file
    from qoxcrypto.stream import (Decryptor, Encryptor, decrypt, decrypt_stream,
                                  decrypt_stream_unverified, encrypt, encrypt_stream)


def __getattr__(name: str) -> object:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError("module 'qoxcrypto' has no attribute %r" % name)
    from importlib import import_module
    value = getattr(import_module(home), name)
    globals()[name] = value  # later lookups find it without coming here
    return value


def __dir__() -> list:
    return sorted(set(globals()) | set(__all__))
