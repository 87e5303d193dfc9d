"""Types of qoxcrypto.crypto, the .qox container: AES-CBC, PKCS#7, optional HMAC-SHA256 tag.

Layout: MAGIC(4B) | VERSION(1B) | IV(16B) | HMAC(32B) | ENCRYPTED_DATA; the tag field is
absent when the object was made with use_hmac=False. Arguments typed bytes, str or Dict
must be exactly that type at run time (subclasses are refused with TypeError).
"""
from typing import Any, ClassVar, Dict, Union

class QOXStringCrypto:
    """Encrypts text, bytes and JSON dictionaries into .qox containers and back."""

    MAGIC_NUMBER: ClassVar[bytes]
    """b"QOX1", the first four bytes of every container."""
    VERSION: ClassVar[int]
    """1, the container version written and accepted."""
    BLOCK_SIZE: ClassVar[int]
    """16, the AES block size."""
    HMAC_SIZE: ClassVar[int]
    """32, the length of the HMAC-SHA256 tag."""
    HEADER_SIZE: ClassVar[int]
    """21: magic, version byte and IV; the shortest input decrypt looks into."""

    key: bytes
    use_hmac: bool

    def __init__(self, key: bytes, use_hmac: bool = True) -> None:
        """key: 32 bytes for AES-256 (16 and 24 select AES-128 and AES-192); it keys the tag too.
        use_hmac: write and require the tag; reader and writer must agree.
        Raises ValueError for another key length."""
    def encrypt(self, data: Union[str, bytes]) -> bytes:
        """Returns a new container for data (a str is encoded as UTF-8), with a fresh random IV."""
    def decrypt(self, qox_data: bytes) -> str:
        """Returns the text of a container. Raises ValueError for a short or foreign
        container, an unknown version, a tag mismatch or bad padding, and
        UnicodeDecodeError when the plaintext is not UTF-8."""
    def load_json(self, raw: Union[str, bytes]) -> Any:
        """Parses raw as plain JSON if it is, else as a container holding JSON.
        Raises ValueError("内容为空，无法解析") for None and the container's errors otherwise."""
    def encrypt_dict(self, data_dict: Dict[str, Any]) -> bytes:
        """Returns a container of json.dumps(data_dict, ensure_ascii=False).
        Raises ValueError when the dictionary cannot be serialised."""
    def decrypt_to_dict(self, qox_data: bytes) -> Dict[str, Any]:
        """Returns the dictionary in a container. Raises ValueError when the text is not
        JSON or not a JSON object."""
    def encrypt_dict_to_file(self, data_dict: Dict[str, Any], file_path: str) -> None:
        """Writes one container of data_dict to file_path (not atomically; see the
        command line for an atomic writer)."""
    def decrypt_file_to_dict(self, file_path: str) -> Dict[str, Any]:
        """Reads a whole file as one container and returns its dictionary.
        Raises FileNotFoundError for a missing file."""
