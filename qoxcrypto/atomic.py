"""Safe outputs: a regular file holds either its old content or the complete new one.

A regular file (or a name not yet taken) is written to a hidden temporary file in the
same folder and renamed over the target only by commit(). On Linux the temporary file
is anonymous (O_TMPFILE) until that moment, so not even kill -9 leaves one behind;
elsewhere it is named ".NAME.PID.qoxtmp", created 0600, removed when the work fails
or is interrupted by an exception, and the ones of processes that no longer run are
removed by the next output to the same target.

Anything else (a character or block device, a FIFO, a socket, stdout) is opened and
written in place, never replaced; with spool=True the data waits in a temporary spool
until commit(), so nothing reaches it before the result is known to be good.
A directory is refused. Every OSError names the user's file, not a temporary one.
"""
import errno
import os
import re
import shutil
import stat
import tempfile
from typing import BinaryIO, Callable, Optional, Union

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
TEMPORARY_SUFFIX = ".qoxtmp"
_SPOOL_IN_MEMORY = 8 << 20
_COPY_CHUNK = 1 << 20


class Output:
    """A binary file to write a result into; published by commit(), dropped otherwise.

    Use as a context manager: leaving it without commit() discards the result.
    mode: the permission bits of a new or replaced regular file; None keeps those of the
    file replaced (and its owner and group, where permitted), or gives a new file 0666
    less the umask. A symbolic link is followed: the file it points to is replaced.
    """

    def __init__(self, path: PathLike, *, mode: Optional[int] = None, spool: bool = False):
        self.name = os.fsdecode(path)  # the user's spelling, for messages
        self._path = os.path.realpath(os.fsdecode(path))
        self._final = None  # type: Optional[BinaryIO]
        self._named = ""  # the temporary file's name, once it has one
        self._anonymous = False
        self._owns_final = True
        self._done = self._closed = False
        with self._naming():
            try:
                found = os.stat(self._path)  # type: Optional[os.stat_result]
            except FileNotFoundError:
                found = None
            if found is not None and stat.S_ISDIR(found.st_mode):
                raise IsADirectoryError(errno.EISDIR, "is a directory, give a file name")
            if found is not None and not stat.S_ISREG(found.st_mode):
                # Written in place: no O_CREAT (a vanished device must not become a file).
                self._final = open(os.open(self._path, os.O_WRONLY), "wb", buffering=0)
                self._file = _spool() if spool else self._final
                return
            self._owner = None if found is None else (found.st_uid, found.st_gid)
            self._mode = mode if mode is not None else (
                stat.S_IMODE(found.st_mode) if found is not None else 0o666 & ~_umask())
            self._folder = os.path.dirname(self._path)
            base = os.path.basename(self._path)
            remove_stale(self._folder, base)
            self._named = os.path.join(self._folder, ".%s.%d%s" % (base, os.getpid(),
                                                                    TEMPORARY_SUFFIX))
            anonymous = _anonymous(self._folder)
            self._anonymous = anonymous is not None
            self._file = anonymous if anonymous is not None else self._create_named()

    @classmethod
    def stream(cls, handle: BinaryIO, name: str, *, spool: bool = False) -> "Output":
        """An already open stream (stdout), written in place."""
        self = cls.__new__(cls)
        self.name, self._named, self._anonymous = name, "", False
        self._done = self._closed = False
        self._final, self._owns_final = handle, False
        self._file = _spool() if spool else handle
        return self

    def write(self, data: bytes) -> int:
        with self._naming():
            return self._file.write(data)

    def seekable(self) -> bool:
        """Whether the data can be rewritten before commit(): not on a device written directly."""
        return self._file is not self._final

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        with self._naming():
            return self._file.seek(offset, whence)

    def tell(self) -> int:
        with self._naming():
            return self._file.tell()

    def flush(self) -> None:
        with self._naming():
            self._file.flush()

    def commit(self) -> None:
        """Publishes the result: renames it over a regular target, or copies the spool out."""
        with self._naming():
            if self._final is not None:
                if self._file is not self._final:
                    self._file.seek(0)
                    shutil.copyfileobj(self._file, self._final, _COPY_CHUNK)
                self._final.flush()
            else:
                self._publish()
        self._done = True
        self.close()

    def close(self) -> None:
        """Drops the result unless committed; closes what this object opened."""
        if self._closed:
            return
        self._closed = True
        for handle in (self._file, self._final):
            if handle is not None and (handle is not self._final or self._owns_final):
                try:
                    handle.close()
                except OSError:
                    pass
        if self._named and not self._done:
            _unlink(self._named)

    def __enter__(self) -> "Output":
        return self

    def __exit__(self, *exc: object) -> None:
        if not self._done:
            self.close()

    def _create_named(self) -> BinaryIO:
        _unlink(self._named)  # left by a process that had our pid before
        descriptor = os.open(self._named, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
        return open(descriptor, "w+b")

    def _publish(self) -> None:
        handle = self._file
        handle.flush()
        descriptor = handle.fileno()
        if self._owner is not None and hasattr(os, "fchown"):
            _keep_owner(descriptor, *self._owner)
        if hasattr(os, "fchmod"):
            os.fchmod(descriptor, self._mode)  # after fchown, which may clear set-id bits
        os.fsync(descriptor)
        if self._anonymous:
            _unlink(self._named)
            _link_anonymous(descriptor, self._named)
        try:
            os.replace(self._named, self._path)
        except BaseException:
            _unlink(self._named)
            raise
        if not hasattr(os, "fchmod"):
            os.chmod(self._path, self._mode)
        _sync_folder(self._folder)

    def _naming(self) -> "_Naming":
        return _Naming(self.name)


class _Naming:
    """Gives an OSError the user's file name (disk full, a directory, a temporary's name)."""

    def __init__(self, name: str):
        self.name = name

    def __enter__(self) -> None:
        return None

    def __exit__(self, kind: object, error: Optional[BaseException], trace: object) -> None:
        if isinstance(error, OSError) and error.filename != self.name:
            raise named(error, self.name) from None


def named(error: OSError, name: str) -> OSError:
    """The same failure (its class and errno) about the file called name."""
    if error.errno is None:
        return OSError("%s: %s" % (name, error))
    return OSError(error.errno, error.strerror, name)


def atomic_write(path: PathLike, write: Callable[[BinaryIO], object],
                 mode: Optional[int] = None) -> None:
    """Writes path through write(handle) in one step (see Output for the rules)."""
    with Output(path, mode=mode) as output:
        write(output)  # type: ignore[arg-type]
        output.commit()


def remove_stale(folder: str, base: str) -> None:
    """Removes the temporary files of target base left by processes that no longer run."""
    pattern = re.compile(r"\.%s\.(\d+)%s\Z" % (re.escape(base), re.escape(TEMPORARY_SUFFIX)))
    try:
        names = os.listdir(folder or ".")
    except OSError:
        return
    for entry in names:
        match = pattern.match(entry)
        if match and int(match.group(1)) != os.getpid() and not _running(int(match.group(1))):
            _unlink(os.path.join(folder, entry))


def _anonymous(folder: str) -> Optional[BinaryIO]:
    """A nameless file in folder (Linux O_TMPFILE), or None where there is none."""
    if not hasattr(os, "O_TMPFILE") or not os.path.isdir("/proc/self/fd"):
        return None
    try:
        descriptor = os.open(folder or ".", os.O_TMPFILE | os.O_RDWR, 0o600)
    except OSError:
        return None  # a filesystem without it; the named file reports real errors
    return open(descriptor, "w+b")


def _link_anonymous(descriptor: int, path: str) -> None:
    """Gives an O_TMPFILE file the name path: linkat of its /proc link, following it.

    A folder descriptor is passed on purpose: without one os.link calls link(), which
    does not follow the /proc link and fails with EXDEV.
    """
    folder = os.open(os.path.dirname(path), os.O_RDONLY)
    try:
        os.link("/proc/self/fd/%d" % descriptor, path, src_dir_fd=folder, dst_dir_fd=folder,
                follow_symlinks=True)
    finally:
        os.close(folder)


def _spool() -> BinaryIO:
    return tempfile.SpooledTemporaryFile(_SPOOL_IN_MEMORY)  # type: ignore[return-value]


def _keep_owner(descriptor: int, uid: int, gid: int) -> None:
    """The replaced file's owner and group, or at least its group, as far as permitted."""
    for owner in ((uid, gid), (-1, gid)):
        try:
            os.fchown(descriptor, *owner)
            return
        except OSError:
            pass


def _running(pid: int) -> bool:
    if os.name != "posix":
        return False  # Windows refuses to remove a file another process holds open
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # another user's process
    return True


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _unlink(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _sync_folder(folder: str) -> None:
    """Makes the rename itself durable; folders that cannot be synced are skipped."""
    try:
        descriptor = os.open(folder or ".", os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)
