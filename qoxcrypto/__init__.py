"""qoxcrypto: the .qox container (AES-CBC, PKCS#7, optional HMAC-SHA256 tag).

qoxcrypto.crypto holds QOXStringCrypto for text and dictionaries. This package adds
bytes to bytes (encrypt, decrypt), file objects (encrypt_stream, decrypt_stream) and
file to file (encrypt_file, decrypt_file) for data of any size in constant memory,
with failures that say why (ContainerError and its subclasses, all ValueError), key
files, raw or protected by a passphrase (generate_key, load_key, save_key), and the
command line (python3 -m qoxcrypto).
"""
from qoxcrypto.exceptions import (ContainerError, DamagedError, KeyFileError, NotAContainerError,
                                  TaggedContainerError, TagMismatchError, WrongPassphraseError)
from qoxcrypto.files import decrypt_file, encrypt_file
from qoxcrypto.keyfile import generate_key, load_key, save_key
from qoxcrypto.stream import Decryptor, Encryptor, decrypt, decrypt_stream, encrypt, encrypt_stream

__version__ = "1.1.0"  # the one place the version is written
__all__ = ["ContainerError", "DamagedError", "KeyFileError", "NotAContainerError",
           "TagMismatchError", "TaggedContainerError", "WrongPassphraseError", "Decryptor",
           "Encryptor", "decrypt", "decrypt_file", "decrypt_stream", "encrypt", "encrypt_file",
           "encrypt_stream", "generate_key", "load_key", "save_key"]
