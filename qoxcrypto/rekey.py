"""Moving a container file to a new key in place, in one step, with no plaintext on disk.

The container is read once: each chunk is decrypted under the old key and at once encrypted
under the new one into the hidden temporary file that replaces the original (see
qoxcrypto.atomic: same folder, owner and mode kept). The plaintext exists only in memory,
a chunk at a time. The replacement is published only when the old container has proved
whole and genuine (tag, then padding); otherwise the file stays exactly as it was.
"""
import errno
import hmac
import os
import stat

from qoxcrypto import arguments
from qoxcrypto.atomic import Output, PathLike
from qoxcrypto.exceptions import ContainerError, TagMismatchError
from qoxcrypto.files import NamedReader
from qoxcrypto.stream import CHUNK_SIZE, HEADER_SIZE, TAG_SIZE, BytesLike, Decryptor, Encryptor


class AlreadyRekeyed(Exception):
    """The file is already a container under the new key (a second run, or a name given twice)."""


def rekey_file(old_key: BytesLike, new_key: BytesLike, path: PathLike, *,
               tag: bool = True) -> None:
    """Re-encrypts the container file at path from old_key to new_key, in place.

    tag: the layout read and written (False: containers without the tag). Raises a
    ContainerError subclass, leaving the file untouched, when old_key does not open it;
    AlreadyRekeyed when it opens under new_key instead.
    """
    old_key, new_key = arguments.key_bytes(old_key, "old_key"), arguments.key_bytes(new_key, "new_key")
    arguments.path(path, "path")
    tag = arguments.flag(tag, "tag")
    name = os.fsdecode(path)
    if not stat.S_ISREG(os.stat(path).st_mode):  # a FIFO would block open(), a device has no rename
        raise OSError(errno.EINVAL, "not a regular file (rekey replaces files)", name)
    with open(path, "rb") as handle:
        reader = NamedReader(handle, name)
        try:
            _reencrypt(reader, old_key, new_key, path, tag)
        except TagMismatchError:
            if tag and not hmac.compare_digest(old_key, new_key) and _opens(reader, new_key):
                raise AlreadyRekeyed("%s is already under the new key" % name) from None
            raise


def _reencrypt(reader: NamedReader, old_key: bytes, new_key: bytes, path: PathLike,
               tag: bool) -> None:
    # One pass: what update() gives before the verdict goes only into the hidden file.
    opened, sealed = Decryptor.unverified(old_key, tag=tag), Encryptor(new_key, tag=tag)
    with Output(path) as output:
        output.write(sealed.header + bytes(TAG_SIZE if tag else 0))
        while True:
            chunk = reader.read(CHUNK_SIZE)
            if not chunk:
                break
            output.write(sealed.update(opened.update(chunk)))
        output.write(sealed.update(opened.finish()))  # raises before anything is published
        output.write(sealed.finish())
        if tag:
            output.seek(HEADER_SIZE)
            output.write(sealed.tag)
        output.commit()


def _opens(reader: NamedReader, key: bytes) -> bool:
    """Whether key verifies the tag of the container in reader (read again from its start)."""
    reader.seek(0)
    box = Decryptor.unverified(key, tag=True)  # plaintext dropped
    try:
        while True:
            chunk = reader.read(CHUNK_SIZE)
            if not chunk:
                break
            box.update(chunk)
        box.finish()
    except ContainerError:
        return False
    return True
