"""File to file, in constant memory, through safe outputs (see qoxcrypto.atomic)."""
import os
from typing import BinaryIO, Optional

from qoxcrypto.atomic import Output, PathLike, named
from qoxcrypto.stream import (CHUNK_SIZE, BytesLike, Progress, decrypt_stream,
                              decrypt_stream_unverified, encrypt_stream)


class NamedReader:
    """A binary file whose read errors name it (a plain read() error carries no file name)."""

    def __init__(self, handle: BinaryIO, name: str):
        self.handle, self.name = handle, name

    def read(self, size: int = -1) -> bytes:
        try:
            return self.handle.read(size)
        except OSError as error:
            raise named(error, self.name) from None

    def seekable(self) -> bool:
        return self.handle.seekable()

    def tell(self) -> int:
        try:
            return self.handle.tell()
        except OSError as error:
            raise named(error, self.name) from None

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        try:
            return self.handle.seek(offset, whence)
        except OSError as error:
            raise named(error, self.name) from None


def encrypt_file(key: BytesLike, source: PathLike, target: PathLike, *, tag: bool = True,
                 progress: Optional[Progress] = None) -> None:
    """Encrypts the file source into a container at target (which may be source itself).

    A regular target is replaced in one step, keeping its mode, owner and group; a
    device or FIFO is written in place; nothing is left behind on failure.
    """
    with open(source, "rb") as handle, Output(target) as output:
        encrypt_stream(key, NamedReader(handle, _name(source)), output,  # type: ignore[arg-type]
                       tag=tag, progress=progress, chunk_size=CHUNK_SIZE)
        output.commit()


def decrypt_file(key: BytesLike, source: PathLike, target: PathLike, *, tag: bool = True,
                 progress: Optional[Progress] = None) -> None:
    """Decrypts the container file source into target (which may be source itself).

    Nothing reaches target before the tag and the padding are verified. A regular
    target gets the plaintext in a hidden temporary file beside it, in one pass, and the
    file is renamed into place only then; a device or FIFO is written in place once the
    tag has verified (see decrypt_stream; without a tag, as the plaintext comes). Raises
    a ContainerError subclass when the container does not open.
    """
    with open(source, "rb") as handle, Output(target) as output:
        # A regular target's plaintext waits unseen in the hidden file: one pass will do.
        decrypt = decrypt_stream_unverified if output.seekable() else decrypt_stream
        decrypt(key, NamedReader(handle, _name(source)), output,  # type: ignore[arg-type]
                tag=tag, progress=progress, chunk_size=CHUNK_SIZE)
        output.commit()


def _name(path: PathLike) -> str:
    return os.fsdecode(path)
