"""Many threads at once on the engine, the key cache and the native backend: every result right, no crash.

Inputs are large as well as small, so the tests hold once the engine runs
large inputs without the interpreter lock.
"""
import os
import threading

import pytest

import cng_support
import qoxcrypto.crypto as crypto

THREADS = 8
LARGE = 1 << 20
# More distinct keys than the cache keeps (33), of every length: the cache is
# flushed again and again while other threads read from it.
KEYS = [bytes([n]) * (16, 24, 32)[n % 3] for n in range(40)]
SIZES = [0, 15, 16, 1000, LARGE]


def run_threads(work):
    """Runs work(index) in THREADS threads started together; re-raises the first failure."""
    barrier = threading.Barrier(THREADS)
    failures = []

    def body(index):
        try:
            barrier.wait()
            work(index)
        except BaseException as exc:  # handed to the main thread
            failures.append(exc)

    threads = [threading.Thread(target=body, args=(index,)) for index in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]


@pytest.fixture(scope="module")
def expected():
    """Single-threaded answers: CBC of each data size under each key, zero IV."""
    datas = {size: os.urandom(size - size % 16) for size in SIZES}
    answers = {}
    for key in KEYS:
        enc, _ = crypto._expand_key(key)
        for size, data in datas.items():
            answers[key, size] = (data, crypto._cbc_encrypt(enc, bytes(16), data))
    return answers


def test_engine_and_key_cache_from_many_threads(expected):
    def work(index):
        for step in range(12):
            key = KEYS[(index * 5 + step) % len(KEYS)]
            data, sealed = expected[key, SIZES[(index + step) % len(SIZES)]]
            enc, dec = crypto._get_key(key)
            assert crypto._aes_cbc(enc, key, bytes(16), data, True) == sealed
            assert crypto._aes_cbc(dec, key, bytes(16), sealed, False) == data
            assert len(crypto._KEY_CACHE) <= 33

    run_threads(work)


@pytest.mark.parametrize("use_hmac", [True, False])
def test_containers_from_many_threads(use_hmac):
    text = "þræðir " * (LARGE // 8)

    def work(index):
        for step in range(6):
            box = crypto.QOXStringCrypto(KEYS[(index * 3 + step) % len(KEYS)], use_hmac)
            sample = text if step % 3 == 0 else text[: index * 977 + step * 131]
            assert box.decrypt(box.encrypt(sample)) == sample
            settings = {"thread": index, "step": step, "text": sample[:100]}
            assert box.decrypt_to_dict(box.encrypt_dict(settings)) == settings

    run_threads(work)


@pytest.fixture
def native(monkeypatch):
    """_NativeAES over the CNG stand-in, bound as _NATIVE_AES."""
    knobs = cng_support.install_standin(monkeypatch)
    backend = crypto._NativeAES()
    monkeypatch.setattr(crypto, "_NATIVE_AES", backend)
    live_before = knobs.live_keys()
    yield knobs
    knobs.reset()  # the failures injected here must not reach later tests in this process
    assert knobs.live_keys() == live_before  # every key handle destroyed


def test_native_backend_and_its_fallback_from_many_threads(expected, native):
    # Half-way through, the stand-in starts failing: the first thread to see
    # it switches the backend off for good while others are inside CNG.
    halfway = threading.Barrier(THREADS)

    def work(index):
        for step in range(10):
            if step == 5:
                if halfway.wait() == 0:
                    native.fail_next("BCryptEncrypt", cng_support.STATUS_INVALID_PARAMETER, -1)
                halfway.wait()
            key = KEYS[(index + step) % len(KEYS)]
            data, sealed = expected[key, SIZES[(index * 2 + step) % len(SIZES)]]
            enc, dec = crypto._get_key(key)
            assert crypto._aes_cbc(enc, key, bytes(16), data, True) == sealed
            assert crypto._aes_cbc(dec, key, bytes(16), sealed, False) == data

    run_threads(work)
    assert crypto._NATIVE_AES is None
