"""Why a container does not open. All are ValueError, as QOXStringCrypto's own failures are."""


class ContainerError(ValueError):
    """The data is not a container this key opens; one of the three subclasses says why."""


class NotAContainerError(ContainerError):
    """No QOX1 header, or a container version this package does not know."""


class TagMismatchError(ContainerError):
    """The HMAC tag does not match the ciphertext: a wrong key, or the data was changed."""


class DamagedError(ContainerError):
    """The length fits no container, or the padding is wrong (without a tag: maybe a wrong key)."""


class TaggedContainerError(ContainerError):
    """Read without a tag, but the container carries one that this key verifies."""


class UntaggedContainerError(TagMismatchError):
    """Read with the tag, none verifies, and without one the data reads whole as UTF-8 text
    with valid padding: most likely written without the tag (tag=False reads it, unverified).
    Only that evidence gives this class; a tag that fails over binary data stays a plain
    TagMismatchError, since a changed file and a wrong key look the same there."""
