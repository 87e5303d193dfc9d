"""Shared fixtures: the in-tree build of qoxcrypto.crypto, keys, a fixed IV and a reference AES."""
import hashlib
import hmac
import os
import re
import sys
import types

import pytest

# The extension is built into the repository's qoxcrypto/ package. A build kept
# out of the tree (the sanitizer build) names the directory holding its
# qoxcrypto/ package in QOX_PACKAGE_ROOT; subprocesses import from PACKAGE_ROOT.
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE_ROOT = os.path.abspath(os.environ.get("QOX_PACKAGE_ROOT") or ROOT)
if sys.path[:1] != [PACKAGE_ROOT]:
    sys.path.insert(0, PACKAGE_ROOT)
import qoxcrypto.crypto as crypto  # noqa: E402

KEYS = {16: bytes(range(16)), 24: bytes(range(100, 124)), 32: bytes(range(200, 232))}


def raises(error, message):
    """pytest.raises for exactly this message."""
    return pytest.raises(error, match="^" + re.escape(message) + "$")


def type_error(param, expected, value):
    """The argument-type error, with the note for subclasses of the expected type."""
    note = ". Note" if isinstance(value, expected) else ""
    return pytest.raises(TypeError, match="^" + re.escape(
        f"Argument '{param}' has incorrect type (expected {expected.__name__}, "
        f"got {type(value).__name__}){note}"))


from reference_aes import reference_cbc as REFERENCE_CBC  # noqa: E402


@pytest.fixture(params=[True, False], ids=["tag", "no-tag"])
def use_hmac(request):
    return request.param


@pytest.fixture
def box(use_hmac):
    return crypto.QOXStringCrypto(KEYS[32], use_hmac)


@pytest.fixture
def fixed_iv(monkeypatch):
    """Rebinds the module's `os` global so that urandom returns a known IV."""
    iv = bytes(range(0xA0, 0xB0))
    monkeypatch.setattr(crypto, "os", types.SimpleNamespace(urandom=lambda n: iv[:n], path=os.path))
    return iv


@pytest.fixture
def reference_cbc():
    if REFERENCE_CBC is None:
        pytest.skip("no independent AES-CBC on this interpreter")
    return REFERENCE_CBC


def reference_container(key, iv, plaintext, with_tag):
    """A .qox container built without the module: PKCS#7, AES-CBC, HMAC-SHA256.
    Needs REFERENCE_CBC (see the reference_cbc fixture)."""
    n = 16 - len(plaintext) % 16
    ciphertext = REFERENCE_CBC(key, iv, plaintext + bytes([n]) * n)
    tag = hmac.new(key, ciphertext, hashlib.sha256).digest() if with_tag else b""
    return b"QOX1\x01" + iv + tag + ciphertext


# Lines that tests hand in for the end of the run (the leak figures).
SUMMARY_LINES = []


def pytest_terminal_summary(terminalreporter):
    for line in SUMMARY_LINES:
        terminalreporter.write_line(line)
