"""Puts the CNG stand-in library in place of bcrypt.dll for tests on Linux.

The stand-in (tests/support/lib/libcng_standin.so, built by CMake when
OpenSSL's libcrypto is present) exports the BCrypt functions the native
backend calls plus a few Standin* knobs. Every CDLL of the same path shares
one loaded copy, so the knobs act on whatever the backend has loaded.
"""
import ctypes
import os
import sys

import pytest

_LIB_PATH = os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support", "lib", "libcng_standin.so")

STATUS_INVALID_HANDLE = 0xC0000008
STATUS_INVALID_PARAMETER = 0xC000000D
STATUS_BUFFER_TOO_SMALL = 0xC0000023
STATUS_NOT_SUPPORTED = 0xC00000BB
STATUS_INVALID_BUFFER_SIZE = 0xC0000206
STATUS_NOT_FOUND = 0xC0000225


def standin_path():
    """The stand-in's path, or None when it has not been built."""
    return _LIB_PATH if os.path.isfile(_LIB_PATH) else None


def require_standin():
    """The stand-in's path; skips the calling test when it is missing."""
    path = standin_path()
    if path is None:
        pytest.skip("CNG stand-in not built (needs OpenSSL libcrypto): " + _LIB_PATH)
    return path


class Knobs:
    """The stand-in's test controls, with names checked on the way in."""

    def __init__(self, dll):
        self._dll = dll
        dll.StandinLiveKeys.argtypes = []
        dll.StandinLiveKeys.restype = ctypes.c_int
        dll.StandinFailNext.argtypes = [ctypes.c_char_p, ctypes.c_int32, ctypes.c_int]
        dll.StandinFailNext.restype = ctypes.c_int
        dll.StandinCorruptOutput.argtypes = [ctypes.c_int]
        dll.StandinCorruptOutput.restype = None
        dll.StandinCalls.argtypes = [ctypes.c_char_p]
        dll.StandinCalls.restype = ctypes.c_int
        dll.StandinReset.argtypes = []
        dll.StandinReset.restype = None

    def live_keys(self):
        return self._dll.StandinLiveKeys()

    def fail_next(self, function_name, status, count=1):
        """The next `count` calls (-1: all) of the function return `status`."""
        signed = status - (1 << 32) if status >= 1 << 31 else status
        if self._dll.StandinFailNext(function_name.encode(), signed, count) != 0:
            raise ValueError("the stand-in exports no function " + repr(function_name))

    def corrupt_output(self, on=True):
        self._dll.StandinCorruptOutput(1 if on else 0)

    def calls(self, function_name):
        count = self._dll.StandinCalls(function_name.encode())
        if count < 0:
            raise ValueError("the stand-in exports no function " + repr(function_name))
        return count

    def reset(self):
        """Cancels injected failures and corruption, zeroes the call counts."""
        self._dll.StandinReset()


def load_standin():
    """The stand-in's knobs; skips the calling test when it is missing."""
    return Knobs(ctypes.CDLL(require_standin()))


def install_standin(monkeypatch):
    """Makes the host look like Windows with the stand-in as bcrypt.dll.

    ctypes.WinDLL("bcrypt") then returns a fresh CDLL of the stand-in, so each
    caller declares its own function attributes, as with the real WinDLL;
    other library names fail the way a missing DLL does. The knobs are reset
    and returned.
    """
    path = require_standin()

    def win_dll(name, *args, **kwargs):
        if os.path.basename(name).lower() in ("bcrypt", "bcrypt.dll"):
            return ctypes.CDLL(path, *args, **kwargs)
        raise OSError("Could not find module '%s' (stand-in provides only bcrypt)" % name)

    monkeypatch.setattr(ctypes, "WinDLL", win_dll, raising=False)
    monkeypatch.setattr(sys, "platform", "win32")
    knobs = load_standin()
    knobs.reset()
    return knobs
