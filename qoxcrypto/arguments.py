"""What the package's public functions accept: each check names the parameter it refuses.

`bytes(value)` alone would take a str with an encoding error that names nothing, an int as
that many zero bytes and a list of ints as bytes; open() would take an int as a file
descriptor. These checks turn such calls into a TypeError that says which argument is
wrong ("key must be bytes-like, not str"), as the standard library does.
"""
import os
from typing import Any, Callable, Optional, Tuple, Union

from qoxcrypto._engine import KEY_SIZES  # AES-128, AES-192, AES-256

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def bytes_like(value: Any, name: str) -> bytes:
    """A copy of a bytes-like value (anything with the buffer protocol)."""
    if type(value) is bytes:
        return value  # immutable: no copy needed
    try:
        view = memoryview(value)
    except TypeError:
        raise TypeError("%s must be bytes-like, not %s" % (name, _type_name(value))) from None
    with view:
        return view.tobytes()


def key_bytes(value: Any, name: str = "key") -> bytes:
    """A key: bytes-like, of 16, 24 or 32 bytes."""
    key = bytes_like(value, name)
    if len(key) not in KEY_SIZES:
        raise ValueError("%s must have 16, 24 or 32 bytes, not %d" % (name, len(key)))
    return key


def optional_bytes(value: Any, name: str) -> Optional[bytes]:
    return None if value is None else bytes_like(value, name)


def path(value: Any, name: str) -> PathLike:
    """A file system path: str, bytes or os.PathLike (an int would open a descriptor)."""
    if isinstance(value, (str, bytes)) or hasattr(type(value), "__fspath__"):
        return value  # type: ignore[no-any-return]
    raise TypeError("%s must be a path (str, bytes or os.PathLike), not %s"
                    % (name, _type_name(value)))


def flag(value: Any, name: str) -> bool:
    """True or False only: tag="no" would otherwise be true."""
    if isinstance(value, bool):
        return value
    raise TypeError("%s must be True or False, not %s" % (name, _type_name(value)))


def size(value: Any, name: str, choices: Optional[Tuple[int, ...]] = None) -> int:
    """A positive int, one of choices when given."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, _type_name(value)))
    if value <= 0 or (choices is not None and value not in choices):
        wanted = "one of %s" % ", ".join(map(str, choices)) if choices else "positive"
        raise ValueError("%s must be %s, not %d" % (name, wanted, value))
    return value


def optional_callable(value: Any, name: str) -> Optional[Callable[..., Any]]:
    if value is None or callable(value):
        return value  # type: ignore[no-any-return]
    raise TypeError("%s must be callable or None, not %s" % (name, _type_name(value)))


def binary_file(value: Any, name: str, method: str) -> Any:
    """A file object with that method (read or write)."""
    if callable(getattr(value, method, None)):
        return value
    raise TypeError("%s must be a binary file object with %s(), not %s"
                    % (name, method, _type_name(value)))


def _type_name(value: Any) -> str:
    return "None" if value is None else type(value).__name__
