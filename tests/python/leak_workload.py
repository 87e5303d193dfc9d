"""Every public operation of qoxcrypto.crypto and of the package layer's binding
(qoxcrypto._engine), error paths included, as a loop for leak checks.

`measure(rounds)` runs the loop twice after a warm-up and reports how the
traced Python memory, the resident set and (on a debug interpreter) the total
reference count moved across each run. Run as a script it prints those figures:

    /usr/bin/python3 tests/python/leak_workload.py [rounds] [--untraced]

--untraced leaves tracemalloc off, for runs under LeakSanitizer: while it
traces, every allocation passes through tracemalloc's own frames.
"""
import ctypes
import gc
import json
import os
import struct
import sys
import tempfile
import tracemalloc

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE_ROOT = os.path.abspath(os.environ.get("QOX_PACKAGE_ROOT") or ROOT)
if sys.path[:1] != [PACKAGE_ROOT]:
    sys.path.insert(0, PACKAGE_ROOT)
sys.path.insert(1, os.path.dirname(os.path.abspath(__file__)))
import cng_support  # noqa: E402
import qoxcrypto.crypto as crypto  # noqa: E402
from qoxcrypto import _engine  # noqa: E402

KEYS = [bytes(range(n)) for n in (16, 24, 32)]
# More distinct keys than the cache holds, so that every few rounds flush it.
FLUSH_KEYS = [bytes([i]) * 32 for i in range(40)]
IV = bytes(range(16))


class Hostile(Exception):
    """Raised by the objects below from the hooks the calling convention runs."""


class BadTruth:
    def __bool__(self):
        raise Hostile("truth")


class BadIndex:
    def __index__(self):
        raise Hostile("index")


def expect(error, function, *args, **kwargs):
    """Calls `function` and insists that it raises `error` (None: that it returns)."""
    try:
        result = function(*args, **kwargs)
    except BaseException as exc:  # checked right here
        if error is None or not isinstance(exc, error):
            raise AssertionError("%r raised %r" % (function, exc)) from exc
        return None
    if error is not None:
        raise AssertionError("%r did not raise %s" % (function, error.__name__))
    return result


def container_errors(box, good):
    """decrypt over a well-formed container and each way of spoiling it."""
    expect(None, box.decrypt, good)
    # (No one-byte bytes objects made from random values: the interpreter
    # keeps each of those for good the first time it makes it.)
    flipped_last = good[:-1] + (b"\x00" if good[-1] else b"\x01")
    for spoiled in (b"", good[:20], b"QOX2" + good[4:], good[:4] + b"\x02" + good[5:],
                    good[:-1], flipped_last, good + b"x"):
        expect(ValueError, box.decrypt, spoiled)
    expect(TypeError, box.decrypt, bytearray(good))


def string_crypto_round(round_number, folder):
    key = KEYS[round_number % 3]
    for use_hmac in (True, False):
        box = crypto.QOXStringCrypto(key, use_hmac)
        good = box.encrypt("héllo wörld" * (round_number % 5))
        container_errors(box, good)
        expect(UnicodeDecodeError, box.decrypt, box.encrypt(b"\xff\xfe"))
        expect(UnicodeEncodeError, box.encrypt, "\ud800")
        expect(TypeError, box.encrypt, 42)
    box = crypto.QOXStringCrypto(key)
    expect(ValueError, crypto.QOXStringCrypto, b"short")
    expect(TypeError, crypto.QOXStringCrypto, "key")
    expect(Hostile, crypto.QOXStringCrypto, key, BadTruth())
    # Dictionaries, JSON and files.
    settings = {"theme": "dark", "n": [1, 2.5, None], "文字": True}
    sealed = box.encrypt_dict(settings)
    expect(None, box.decrypt_to_dict, sealed)
    expect(None, box.load_json, sealed)
    expect(None, box.load_json, json.dumps(settings))
    expect(None, box.load_json, b"[1, 2]")
    expect(ValueError, box.load_json, None)
    expect(ValueError, box.load_json, b"\xef\xbb\xbf{}")
    expect(TypeError, box.load_json, bytearray(b"not json"))
    expect(ValueError, box.encrypt_dict, {"s": {1, 2}})
    circular = {}
    circular["self"] = circular
    expect(ValueError, box.encrypt_dict, circular)
    del circular["self"]
    expect(ValueError, box.decrypt_to_dict, box.encrypt("[1]"))
    expect(ValueError, box.decrypt_to_dict, box.encrypt("not json"))
    path = os.path.join(folder, "settings.qox")
    box.encrypt_dict_to_file(settings, path)
    expect(None, box.decrypt_file_to_dict, path)
    expect(FileNotFoundError, box.decrypt_file_to_dict, path + ".missing")
    expect(IsADirectoryError, box.decrypt_file_to_dict, folder)
    expect(TypeError, box.encrypt_dict_to_file, settings, b"bytes path")


def engine_round(round_number):
    expect(None, crypto._xtime, 0x80)
    expect(None, crypto._mul, 2**70 + 3, 0x1F3)
    expect(ValueError, crypto._mul, 3, -1)
    expect(TypeError, crypto._xtime, "1")
    expect(Hostile, crypto._xtime, BadIndex())
    expect(None, crypto._ror8, -(2**45))
    expect(None, crypto._inv_mix_word, 0x046681E5)
    expect(None, crypto._to_rounds, list(range(8)), 1)
    expect(IndexError, crypto._to_rounds, list(range(7)), 1)
    expect(TypeError, crypto._to_rounds, tuple(range(8)), 1)
    expect(None, crypto._expand_key, bytes(range(21)))
    expect(IndexError, crypto._expand_key, b"")
    expect(ZeroDivisionError, crypto._expand_key, b"abc")
    if round_number % 10 == 0:
        expect(None, crypto._build_tables)
        expect(None, crypto._build_sbox)
    expect(None, crypto._get_key, FLUSH_KEYS[round_number % len(FLUSH_KEYS)])
    enc, dec = crypto._get_key(KEYS[round_number % 3])
    data = bytes(range(48))
    sealed = expect(None, crypto._cbc_encrypt, enc, IV, data)
    expect(None, crypto._cbc_decrypt, dec, IV, sealed)
    expect(None, crypto._aes_cbc, enc, KEYS[round_number % 3], IV, data, 1)
    # The loops on schedules in other shapes: lists, and a middle that is a generator.
    expect(None, crypto._cbc_encrypt, [enc[0], list(enc[1]), enc[2], enc[3]], IV, data)
    expect(None, crypto._cbc_encrypt, (enc[0], enc[1], (k for k in enc[2]), enc[3]), IV, data)
    expect(struct.error, crypto._cbc_encrypt, enc, IV[:15], data)
    expect(struct.error, crypto._cbc_decrypt, dec, IV, data[:17])
    expect(ValueError, crypto._cbc_encrypt, enc[:3], IV, data)
    expect(ValueError, crypto._cbc_encrypt, (enc[0], enc[1], [(1, 2, 3)], enc[3]), IV, data)
    # Words outside 0..2**32-1: the loop on the objects as found.
    expect(None, crypto._cbc_encrypt, (enc[0], (-1, 0, 0, 0), enc[2], enc[3]), IV, data)
    expect(IndexError, crypto._cbc_encrypt, (enc[0], enc[1], [(1, 2, 3, 2**40)], enc[3]), IV, data)
    expect(struct.error, crypto._cbc_decrypt, (dec[0], dec[1], dec[2], (2**32, 0, 0, 0)), IV, data)
    expect(TypeError, crypto._cbc_encrypt, None, IV, data)
    expect(None, crypto._pkcs7_unpad, crypto._pkcs7_pad(data))
    expect(ValueError, crypto._pkcs7_unpad, data[:15])
    expect(ValueError, crypto._pkcs7_unpad, bytes(16))
    expect(OSError, crypto._NativeAES._checked, -1)
    expect(AttributeError, crypto._NativeAES)
    expect(None, crypto._init_native_backend)
    # The calling convention's own errors.
    expect(TypeError, crypto._xtime)
    expect(TypeError, crypto._xtime, 1, 2)
    expect(TypeError, crypto._xtime, a=1, b=2)
    expect(TypeError, crypto._mul, 1, a=2)
    expect(TypeError, crypto._build_sbox, x=1)
    expect(TypeError, crypto._expand_key, **{"key": bytearray(16)})
    expect(None, repr, crypto._aes_cbc)
    expect(None, getattr, crypto.QOXStringCrypto.__init__, "__signature__")


def rebound_globals_round():
    """The general paths, taken while a global the engine stands in for is rebound."""
    saved = {name: getattr(crypto, name) for name in ("_SBOX", "_TE0", "_xtime")}
    try:
        crypto._SBOX = bytes(saved["_SBOX"])  # equal content: still the engine
        crypto._TE0 = list(saved["_TE0"])      # another list: converted per call
        enc, _ = crypto._expand_key(KEYS[2])
        expect(None, crypto._cbc_encrypt, enc, IV, bytes(32))
        crypto._TE0 = saved["_TE0"][:10]
        expect(IndexError, crypto._cbc_encrypt, enc, IV, bytes(32))
        crypto._SBOX = list(saved["_SBOX"])    # the general road of _expand_key
        expect(None, crypto._expand_key, KEYS[0])
        crypto._xtime = lambda a: ((a << 1) ^ (0x1B if a & 0x80 else 0)) & 0xFF
        expect(None, crypto._mul, 7, 0x53)
        expect(None, crypto._inv_mix_word, 0xDEADBEEF)
    finally:
        for name, value in saved.items():
            setattr(crypto, name, value)


class NativeBackend:
    """_NativeAES over the CNG stand-in, set up once: each instance opens a
    provider that, by contract, is never closed."""

    def __init__(self):
        self.backend = self.knobs = None
        if cng_support.standin_path() is None:
            return
        import ctypes as host_ctypes
        saved = (sys.platform, getattr(host_ctypes, "WinDLL", None))
        path = cng_support.standin_path()
        host_ctypes.WinDLL = lambda name, *args, **kwargs: host_ctypes.CDLL(path)
        sys.platform = "win32"
        try:
            self.backend = crypto._NativeAES()
        finally:
            sys.platform = saved[0]
            if saved[1] is None:
                del host_ctypes.WinDLL
            else:
                host_ctypes.WinDLL = saved[1]
        self.knobs = cng_support.Knobs(ctypes.CDLL(path))

    def round(self):
        if self.backend is None:
            return
        key = KEYS[2]
        sealed = expect(None, self.backend.crypt, key, IV, bytes(64), True)
        expect(None, self.backend.crypt, key, IV, sealed, False)
        expect(OSError, self.backend.crypt, key, IV, bytes(17), True)
        expect(ValueError, self.backend.crypt, key, bytes(17), bytes(16), True)
        # _aes_cbc's native path, then its fallback after a failure.
        saved = crypto._NATIVE_AES
        try:
            enc, _ = crypto._get_key(key)
            crypto._NATIVE_AES = self.backend
            expect(None, crypto._aes_cbc, enc, key, IV, bytes(32), True)
            self.knobs.fail_next("BCryptEncrypt", -0x3FFFFFF3)
            expect(None, crypto._aes_cbc, enc, key, IV, bytes(32), True)
        finally:
            crypto._NATIVE_AES = saved
            self.knobs.reset()


def binding_round(round_number):
    key = KEYS[round_number % 3]
    for encrypt, hashed in ((True, True), (False, True), (True, False)):
        context = _engine.CbcContext(key, IV, encrypt, hashed)
        expect(None, context.update, bytes(16 * (round_number % 9)))
        expect(None, context.update, bytearray(48))
        expect(ValueError, context.update, bytes(15))
        expect(None if hashed else ValueError, context.digest)
    tags = _engine.TagContext(key)
    expect(None, tags.update, memoryview(bytes(100)))
    expect(None, tags.digest)
    expect(ValueError, _engine.CbcContext, b"short", IV, True, True)
    expect(TypeError, _engine.TagContext, "key")
    expect(None, _engine.unpad, _engine.pad(bytes(round_number % 40)))
    expect(ValueError, _engine.unpad, bytes(32))
    expect(None, _engine.compare_digest, key, bytearray(key))
    expect(TypeError, _engine.compare_digest, key)


def run_rounds(rounds, native, folder):
    for round_number in range(rounds):
        string_crypto_round(round_number, folder)
        engine_round(round_number)
        binding_round(round_number)
        rebound_globals_round()
        native.round()


def resident_bytes():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def snapshot():
    """Traced bytes (0 untraced), resident bytes and total references (None
    without a debug build)."""
    crypto._KEY_CACHE.clear()  # its fill level depends on where the loop stopped
    gc.collect()
    total_refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    return tracemalloc.get_traced_memory()[0], resident_bytes(), total_refs


def measure(rounds, warmup=200, traced=True):
    """Runs `warmup` rounds, then `rounds` more twice, with a snapshot after
    each run. A leak grows both measured runs alike; the interpreter's own
    caches (frame free lists, small objects it keeps for good) settle during
    the first, so the second is the one to judge."""
    native = NativeBackend()
    with tempfile.TemporaryDirectory() as folder:
        if traced:
            tracemalloc.start()
        try:
            # One call site for every run, so that all of them use the same frames.
            snapshots = [run_rounds(count, native, folder) or snapshot()
                         for count in (warmup, rounds, rounds)]
        finally:
            tracemalloc.stop()
    traced_bytes, resident, total_refs = zip(*snapshots)
    return {"rounds": rounds, "traced": traced_bytes, "rss": resident,
            "refcount": None if total_refs[0] is None else total_refs,
            "native": native.backend is not None}


def growth(figures, key):
    """Growth of a figure over the first and over the second measured run."""
    values = figures[key]
    return values[1] - values[0], values[2] - values[1]


def describe(figures):
    """One line of figures, for people."""
    traced, rss = growth(figures, "traced"), growth(figures, "rss")
    refs = "n/a" if figures["refcount"] is None else "%+d, %+d" % growth(figures, "refcount")
    return ("%s: twice %d rounds: traced %+d, %+d bytes (%d at the start); RSS %+d, %+d KiB "
            "(%d KiB at the start); total refcount %s; native path %s" % (
                sys.executable, figures["rounds"], traced[0], traced[1], figures["traced"][0],
                rss[0] // 1024, rss[1] // 1024, figures["rss"][0] // 1024, refs,
                "on" if figures["native"] else "off"))


def main():
    arguments = [argument for argument in sys.argv[1:] if argument != "--untraced"]
    rounds = int(arguments[0]) if arguments else 1000
    print(describe(measure(rounds, traced="--untraced" not in sys.argv[1:])))


if __name__ == "__main__":
    main()
