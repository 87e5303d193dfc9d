"""Atomic file replacement: a path holds either its old content or the complete new one."""
import os
import stat


def atomic_write(path, write, mode=None):
    """Writes path through write(handle), handle being a binary file, in one atomic step.

    The data goes to a temporary file in the target's folder, is flushed and fsynced,
    and only then renamed over the target, so a failure or a crash at any point leaves
    the old file (or no file) rather than a part of the new one. On error the temporary
    file is removed and the error propagates.

    mode: the permission bits of the result. None keeps those of the file replaced, or
    gives a new file the usual 0o666 less the umask. A symbolic link is followed: the
    file it points to is replaced and the link stays.
    """
    target = os.path.realpath(path)
    folder = os.path.dirname(target)
    if mode is None:
        try:
            mode = stat.S_IMODE(os.stat(target).st_mode)
        except FileNotFoundError:
            pass
    temporary = os.path.join(folder, ".%s.%s.tmp" % (os.path.basename(target), os.urandom(6).hex()))
    # O_EXCL: never write through a file or link someone else put at that name.
    try:
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL,
                             0o600 if mode is not None else 0o666)
    except OSError as error:
        # Name the file asked for, not the temporary one (a missing or read-only folder).
        raise OSError(error.errno, error.strerror, path) from None
    try:
        with os.fdopen(descriptor, "wb") as handle:
            if mode is not None:
                os.fchmod(handle.fileno(), mode)  # exact bits: the umask does not apply
            write(handle)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    _sync_folder(folder)


def _sync_folder(folder):
    """Makes the rename itself durable; folders that cannot be synced are skipped."""
    try:
        descriptor = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)
