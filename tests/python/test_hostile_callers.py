"""Callers that pull the rug: Python code that rebinds what a call is using, and exhausted memory.

Each case once crashed the interpreter or read freed memory (the sanitizer
run reports the latter); now it completes or raises, like Python code would.
"""
import gc
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import qoxcrypto.crypto as crypto
from conftest import PACKAGE_ROOT

KEY = bytes(range(32))


@pytest.fixture
def restore_defaults():
    functions = [crypto.QOXStringCrypto.__init__, crypto._mul, crypto.QOXStringCrypto.decrypt]
    saved = [function.__defaults__ for function in functions]
    yield
    for function, defaults in zip(functions, saved):
        function.__defaults__ = defaults


class DropsDefaults:
    """Rebinds `function.__defaults__` from inside the hook the call runs."""

    def __init__(self, function, result):
        self.function, self.result = function, result

    def drop(self):
        self.function.__defaults__ = None
        return self.result

    __bool__ = drop
    __index__ = drop


def test_defaults_dropped_by_the_truth_test(restore_defaults):
    init = crypto.QOXStringCrypto.__init__
    # The key exists only in the defaults tuple that the truth test drops.
    init.__defaults__ = (bytes(range(32)), DropsDefaults(init, True))
    box = crypto.QOXStringCrypto()
    assert box.key == KEY and box.use_hmac is True


def test_defaults_dropped_by_an_int_conversion(restore_defaults):
    crypto._mul.__defaults__ = (DropsDefaults(crypto._mul, 3), int("7"))
    assert crypto._mul() == crypto._mul(3, 7)


def test_defaults_dropped_by_the_body(restore_defaults):
    class Box(crypto.QOXStringCrypto):
        @property
        def HEADER_SIZE(self):
            crypto.QOXStringCrypto.decrypt.__defaults__ = None
            return 21

    box = Box(KEY)
    decrypt = crypto.QOXStringCrypto.decrypt
    decrypt.__defaults__ = (box.encrypt("still here " * 3),)
    assert box.decrypt() == "still here " * 3


def test_signature_while_building_parameters_drops_the_defaults(monkeypatch, restore_defaults):
    init = crypto.QOXStringCrypto.__init__

    class Parameter(inspect.Parameter):
        def __init__(self, *args, **kwargs):
            init.__defaults__ = None
            super().__init__(*args, **kwargs)

    init.__defaults__ = (False,)
    monkeypatch.setattr(inspect, "Parameter", Parameter)
    assert str(init.__signature__) == "(self, key: 'bytes', use_hmac: 'bool' = False)"


MEMORY_LIMITED = """
    import resource, sys
    import qoxcrypto.crypto as crypto
    size = 16 * 2**20
    argument = {argument}
    with open("/proc/self/statm") as statm:
        address_space = int(statm.read().split()[0]) * resource.getpagesize()
    # Room for one more copy of the argument, not for two.
    limit = address_space + size * 3 // 2
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        crypto.{call}
    except MemoryError:
        print("MemoryError")
    else:
        print("returned")
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves address space and reports failed allocations itself")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc")
@pytest.mark.parametrize("argument, call, outcomes", [
    ("bytes(size)", "_expand_key(argument)", {"MemoryError"}),
    ("1 << (8 * size - 1)", "_mul(3, argument)", {"MemoryError", "returned"}),
])
def test_exhausted_memory_raises_memory_error(argument, call, outcomes):
    code = textwrap.dedent(MEMORY_LIMITED).format(argument=argument, call=call)
    result = subprocess.run([sys.executable, "-c", code], cwd=PACKAGE_ROOT,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() in outcomes


@pytest.fixture
def finalizer_at_next_allocation():
    """Leaves one finalizer in cyclic garbage and makes the collector run at
    the next allocation of a tracked object: the finalizer runs inside the
    call under test, wherever that allocates (as the collector does on
    CPython before 3.12; later ones run it between bytecodes)."""
    saved = gc.get_threshold()
    gc.collect()
    ran = []

    def leave(action):
        class Cycle:
            def __del__(self):
                if not ran:
                    ran.append(action())
        cycle = Cycle()
        cycle.me = cycle
        gc.set_threshold(1)
    yield leave, ran
    gc.set_threshold(*saved)


def test_to_rounds_with_its_list_shrunk_by_a_finalizer(finalizer_at_next_allocation):
    leave, ran = finalizer_at_next_allocation
    words = [10**20 + i for i in range(60)]
    expected = [tuple(words[4 * r:4 * r + 4]) for r in range(15)]
    leave(lambda: words.__setitem__(slice(None), [7] * 4))
    try:
        rounds = crypto._to_rounds(words, 14)
    except IndexError:
        pass
    else:  # the collector ran only after the call
        assert rounds == expected
    gc.collect()
    assert ran


def test_schedule_cache_keeps_no_round_keys_changed_while_it_copies_them(
        finalizer_at_next_allocation):
    leave, ran = finalizer_at_next_allocation
    enc, _ = crypto._expand_key(KEY)
    sched = (enc[0], enc[1], list(enc[2]), enc[3])
    leave(lambda: sched[2].__setitem__(0, (1, 2, 3, 4)))
    crypto._cbc_encrypt(sched, bytes(16), bytes(32))
    gc.collect()
    assert ran
    copy = (sched[0], sched[1], list(sched[2]), sched[3])
    assert (crypto._cbc_encrypt(sched, bytes(16), bytes(32)) ==
            crypto._cbc_encrypt(copy, bytes(16), bytes(32)))
