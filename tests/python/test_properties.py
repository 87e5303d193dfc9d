"""Properties over arbitrary input: whatever Python code hands the module, it raises only documented exceptions.

Needs Debian's python3-hypothesis; skipped where it cannot be imported.
"""
import math
import os
import struct

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import qoxcrypto.crypto as crypto  # noqa: E402

Q = crypto.QOXStringCrypto
SHORT, MAGIC = "无效的.qox格式（数据长度不足）", "无效的.qox格式（Magic不匹配）"
TAG, CT_LEN = "HMAC校验失败，数据可能被篡改！", "无效的.qox格式（密文长度非法）"
PAD = "填充校验失败，数据已损坏或密钥不正确"
# The ValueError texts a container can earn, whole or as a prefix.
CONTAINER_MESSAGES = {SHORT, MAGIC, TAG, CT_LEN, PAD}
CONTAINER_PREFIXES = ("不支持的版本: ", "解密后的数据不是有效JSON格式: ", "解密后的数据不是字典类型")

SETTINGS = settings(max_examples=150, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

keys = st.sampled_from([16, 24, 32]).flatmap(lambda n: st.binary(min_size=n, max_size=n))
texts = st.text(max_size=80)


def documented_container_error(exc):
    """True for what decrypt, load_json and decrypt_to_dict may raise on bad content."""
    if isinstance(exc, (UnicodeDecodeError, crypto.json.JSONDecodeError)):
        return True
    if type(exc) is not ValueError:
        return False
    message = str(exc)
    return message in CONTAINER_MESSAGES or message.startswith(CONTAINER_PREFIXES)


def read_all_ways(box, content):
    """decrypt, decrypt_to_dict and load_json of `content`: each returns or raises a documented error."""
    for read in (box.decrypt, box.decrypt_to_dict, box.load_json):
        try:
            read(content)
        except Exception as exc:  # noqa: BLE001 - the property is about which ones
            assert documented_container_error(exc), (read.__name__, repr(exc))


# 1. Containers: arbitrary, truncated, extended and bit-flipped -------------------

@SETTINGS
@given(keys, st.booleans(), st.one_of(
    st.binary(max_size=200),
    st.binary(max_size=200).map(lambda b: b"QOX1\x01" + b),
    st.binary(max_size=200).map(lambda b: b"QOX1" + b)))
def test_arbitrary_content_raises_only_container_errors(key, use_hmac, content):
    read_all_ways(Q(key, use_hmac), content)


@st.composite
def mutated_containers(draw):
    """(box, original text, container, mutated container)."""
    key, use_hmac, text = draw(keys), draw(st.booleans()), draw(texts)
    box = Q(key, use_hmac)
    container = box.encrypt(text)
    kind = draw(st.sampled_from(["truncate", "extend", "flip", "replace"]))
    if kind == "truncate":
        mutated = container[:draw(st.integers(0, len(container) - 1))]
    elif kind == "extend":
        mutated = container + draw(st.binary(min_size=1, max_size=40))
    else:
        # What is drawn must not depend on the container's random bytes (the IV):
        # a replacement is drawn as the non-zero change it makes.
        offset = draw(st.integers(0, len(container) - 1))
        change = 1 << draw(st.integers(0, 7)) if kind == "flip" else draw(st.integers(1, 255))
        mutated = container[:offset] + bytes([container[offset] ^ change]) + container[offset + 1:]
    return box, text, container, mutated


@SETTINGS
@given(mutated_containers())
def test_mutated_containers_raise_only_container_errors(case):
    box, _, _, mutated = case
    read_all_ways(box, mutated)


@SETTINGS
@given(mutated_containers())
def test_the_tag_catches_every_change_past_the_iv(case):
    box, text, container, mutated = case
    changed = [i for i in range(min(len(container), len(mutated))) if container[i] != mutated[i]]
    if not box.use_hmac or len(mutated) < 21 or (changed and changed[0] < 21):
        return
    with pytest.raises(ValueError, match="^" + TAG + "$"):
        box.decrypt(mutated)


@pytest.mark.parametrize("use_hmac", [True, False])
def test_every_bit_of_a_container_flipped(use_hmac):
    box = Q(bytes(range(32)), use_hmac)
    text = "every bit, every offset: 三十二"
    container = box.encrypt(text)
    for offset in range(len(container)):
        for bit in range(8):
            flipped = bytearray(container)
            flipped[offset] ^= 1 << bit
            try:
                result = box.decrypt(bytes(flipped))
            except ValueError as exc:
                assert documented_container_error(exc), (offset, bit, repr(exc))
                # Only the IV and, without a tag, the ciphertext go unnoticed.
                if offset < 5 or (use_hmac and offset >= 21):
                    assert str(exc) == (MAGIC if offset < 4 else
                                        "不支持的版本: %d" % flipped[4] if offset == 4 else TAG)
            else:
                assert 5 <= offset < 21 or not use_hmac, (offset, bit)
                assert result != text


# 2. Every argument of every public function, given arbitrary objects -----------

class Hostile(Exception):
    """Raised from the hooks of the objects below."""


class RaisesOnBool:
    def __bool__(self):
        raise Hostile("bool")


class RaisesOnIndex:
    def __index__(self):
        raise Hostile("index")


class RaisesOnIter:
    def __iter__(self):
        raise Hostile("iter")


class YieldsThenRaises:
    def __iter__(self):
        yield (1, 2, 3, 4)
        raise Hostile("iter")


class HugeInt(int):
    def __index__(self):
        return 2**200


BytesSub = type("BytesSub", (bytes,), {})
StrSub = type("StrSub", (str,), {})
DictSub = type("DictSub", (dict,), {})

words = st.one_of(st.integers(0, 2**32 - 1), st.integers(), st.floats(), st.none())
round_keys = st.one_of(st.tuples(words, words, words, words), st.lists(words, max_size=5))
schedules = st.one_of(
    st.tuples(st.integers(), round_keys, st.lists(round_keys, max_size=15), round_keys),
    st.lists(st.integers(0, 2**32 - 1), max_size=6))
scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=True),
    st.sampled_from([math.inf, -math.inf, 1j, Ellipsis, object(), RaisesOnBool(), RaisesOnIndex(),
                     RaisesOnIter(), YieldsThenRaises(), HugeInt(3), BytesSub(b"0" * 16),
                     StrSub("{}"), DictSub(a=1), memoryview(b"0" * 32), bytearray(32)]),
    st.binary(max_size=70), st.text(max_size=40), st.binary(max_size=40).map(bytearray))
anything = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=5), st.tuples(inner, inner, inner, inner),
    st.dictionaries(st.text(max_size=5), inner, max_size=4)), max_leaves=12)
blocks = st.integers(0, 4).flatmap(lambda n: st.binary(min_size=16 * n, max_size=16 * n))
ivs = st.one_of(st.binary(min_size=16, max_size=16), st.binary(max_size=20))

# Beyond TypeError and ValueError: the host errors the module documents for
# some inputs, and whatever the hostile objects raise from their hooks.
DOCUMENTED = (TypeError, ValueError, OverflowError, IndexError, ZeroDivisionError,
              struct.error, Hostile)
BOX = Q(bytes(range(32)))

FUNCTIONS = {
    "_xtime": (crypto._xtime, [anything]),
    "_mul": (crypto._mul, [anything, st.one_of(anything, st.integers(0, 2**70))]),
    "_ror8": (crypto._ror8, [anything]),
    "_inv_mix_word": (crypto._inv_mix_word, [anything]),
    "_to_rounds": (crypto._to_rounds, [st.one_of(anything, st.lists(words)),
                                       st.one_of(anything, st.integers(-3, 30))]),
    "_expand_key": (crypto._expand_key, [st.one_of(anything, st.binary(max_size=80))]),
    "_get_key": (crypto._get_key, [st.one_of(anything, keys)]),
    "_cbc_encrypt": (crypto._cbc_encrypt, [st.one_of(anything, schedules), ivs, blocks]),
    "_cbc_decrypt": (crypto._cbc_decrypt, [st.one_of(anything, schedules), st.one_of(anything, ivs),
                                           st.one_of(anything, blocks)]),
    "_aes_cbc": (crypto._aes_cbc, [schedules, st.one_of(anything, keys), ivs, blocks, anything]),
    "_pkcs7_pad": (crypto._pkcs7_pad, [anything]),
    "_pkcs7_unpad": (crypto._pkcs7_unpad, [st.one_of(anything, blocks)]),
    "_NativeAES._checked": (crypto._NativeAES._checked, [anything], OSError),  # negative statuses
    "QOXStringCrypto": (Q, [st.one_of(anything, keys), anything]),
    "encrypt": (BOX.encrypt, [anything]),
    "decrypt": (BOX.decrypt, [anything]),
    # An object without a decode method fails plain JSON with the host's
    # AttributeError, which is not one of the two errors that try the container.
    "load_json": (BOX.load_json, [anything], AttributeError),
    "encrypt_dict": (BOX.encrypt_dict, [anything]),
    "decrypt_to_dict": (BOX.decrypt_to_dict, [anything]),
}


@pytest.mark.parametrize("name", list(FUNCTIONS))
@SETTINGS
@given(data=st.data())
def test_arbitrary_arguments_raise_only_documented_errors(name, data):
    function, params, *extra = FUNCTIONS[name]
    args = [data.draw(param) for param in params]
    if data.draw(st.booleans()):  # fewer or more arguments than parameters
        args = args[:-1] if data.draw(st.booleans()) else args + [None]
    try:
        function(*args)
    except DOCUMENTED + tuple(extra):
        pass


@SETTINGS
@given(st.sampled_from(sorted(FUNCTIONS)), st.dictionaries(
    st.sampled_from(["a", "b", "w", "nr", "key", "sched", "iv", "data", "encrypt", "status",
                     "raw", "qox_data", "data_dict", "use_hmac", "self", "x"]), anything, max_size=4))
def test_arbitrary_keywords_raise_only_documented_errors(name, kwargs):
    function, _, *extra = FUNCTIONS[name]
    try:
        function(**kwargs)
    except DOCUMENTED + tuple(extra):
        pass


@SETTINGS
@given(anything, st.text(alphabet="abc_", max_size=8))
def test_file_methods_with_arbitrary_arguments(tmp_path_factory, value, name):
    folder = tmp_path_factory.mktemp("files")
    path = str(folder / name) if name else str(folder)
    dumps = crypto.json.dumps
    try:
        BOX.encrypt_dict_to_file(value, path)
    except (TypeError, ValueError, OSError):
        pass
    else:
        assert dumps(BOX.decrypt_file_to_dict(path)) == dumps(value)
    try:  # a str path stays inside the folder, where nothing of that name exists
        BOX.decrypt_file_to_dict(str(folder / "absent") if isinstance(value, str) else value)
    except (TypeError, ValueError, OSError):
        pass


# 3. Round trips and key material ------------------------------------------------

@SETTINGS
@given(keys, st.booleans(), st.one_of(texts, st.binary(max_size=100)))
def test_containers_round_trip(key, use_hmac, data):
    box = Q(key, use_hmac)
    raw = data.encode() if isinstance(data, str) else data
    container = box.encrypt(data)
    assert len(container) == 21 + 32 * use_hmac + 16 * (len(raw) // 16 + 1)
    try:
        expected = raw.decode("utf-8")
    except UnicodeDecodeError:
        with pytest.raises(UnicodeDecodeError):
            box.decrypt(container)
    else:
        assert box.decrypt(container) == expected


def key_traces(key):
    """Forms in which key bytes could show up in a message."""
    return {key.hex(), key.hex().upper(), repr(key)[2:-1], key.decode("latin-1")}


def messages_of(exc):
    """The texts an exception carries, down its chain. A decoding error's copy of
    the plaintext it could not decode is left out: plaintext may hold any bytes,
    the key's among them."""
    seen = []
    while exc is not None and exc not in seen:
        seen.append(exc)
        exc = exc.__context__ or exc.__cause__
    texts = []
    for e in seen:
        args = e.args
        if isinstance(e, UnicodeDecodeError):
            args = tuple("<plaintext>" if isinstance(a, (bytes, bytearray)) else a for a in args)
        texts += [str(e), type(e).__name__ + repr(args), repr(args)]
    return texts


@SETTINGS
@given(mutated_containers(), keys)
def test_no_key_material_in_error_messages(case, other_key):
    box, _, container, mutated = case
    attempts = [lambda: box.decrypt(mutated), lambda: box.load_json(mutated),
                lambda: box.decrypt_to_dict(mutated), lambda: Q(other_key, box.use_hmac).decrypt(container),
                lambda: Q(box.key[:-1]), lambda: crypto._expand_key(box.key[:3]),
                lambda: crypto._aes_cbc(crypto._get_key(box.key)[0], box.key, os.urandom(15), b"", True)]
    for attempt in attempts:
        try:
            attempt()
        except Exception as exc:  # noqa: BLE001 - every message is searched
            for text in messages_of(exc):
                for trace in key_traces(box.key) | key_traces(other_key):
                    assert trace not in text
