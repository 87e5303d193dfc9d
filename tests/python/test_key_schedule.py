"""Key expansion: published schedules, odd key lengths, _inv_mix_word, _to_rounds, rebound globals."""
import random

import pytest

import aes_model as model
import qoxcrypto.crypto as crypto

# FIPS-197 Appendix A.1 (AES-128) and A.3 (AES-256): every expanded word.
A1_WORDS = [int(w, 16) for w in """
2b7e1516 28aed2a6 abf71588 09cf4f3c a0fafe17 88542cb1 23a33939 2a6c7605 f2c295f2 7a96b943 5935807a 7359f67f
3d80477d 4716fe3e 1e237e44 6d7a883b ef44a541 a8525b7f b671253b db0bad00 d4d1c6f8 7c839d87 caf2b8bc 11f915bc
6d88a37a 110b3efd dbf98641 ca0093fd 4e54f70e 5f5fc9f3 84a64fb2 4ea6dc4f ead27321 b58dbad2 312bf560 7f8d292f
ac7766f3 19fadc21 28d12941 575c006e d014f9a8 c9ee2589 e13f0cc8 b6630ca6""".split()]
A3_WORDS = [int(w, 16) for w in """
603deb10 15ca71be 2b73aef0 857d7781 1f352c07 3b6108d7 2d9810a3 0914dff4 9ba35411 8e6925af a51a8b5f 2067fcde
a8b09c1a 93d194cd be49846e b75d5b9a d59aecb8 5bf3c917 fee94248 de8ebe96 b5a9328a 2678a647 98312229 2f6c79b3
812c81ad dadf48ba 24360af2 fab8b464 98c5bfc9 bebd198e 268c3ba7 09e04214 68007bac b2df3316 96e939e4 6c518d80
c814e204 76a9fb8a 5025c02d 59c58239 de136967 6ccc5a71 fa256395 9674ee15 5886ca5d 2e2f31d7 7e0af1fa 27cf73c3
749c47ab 18501dda e2757e4f 7401905a cafaaae3 e4d59b34 9adf6ace bd10190d fe4890d1 e6188d0b 046df344 706c631e
""".split()]


def host_message(expression):
    try:
        eval(expression)
    except Exception as exc:  # noqa: BLE001 - the text is what matters
        return str(exc)
    raise AssertionError("no error")


@pytest.fixture(autouse=True)
def fresh_cache(monkeypatch):
    monkeypatch.setattr(crypto, "_KEY_CACHE", {})


@pytest.mark.parametrize("words, nr", [(A1_WORDS, 10), (A3_WORDS, 14)])
def test_published_schedules_through_get_key(words, nr):
    nk = nr - 6
    key = b"".join(w.to_bytes(4, "big") for w in words[:nk])
    enc, dec = crypto._get_key(key)
    rounds = [tuple(words[4 * r:4 * r + 4]) for r in range(nr + 1)]
    assert enc == (nr, rounds[0], rounds[1:nr], rounds[nr])
    assert type(enc) is tuple and type(enc[2]) is list and all(type(k) is tuple for k in enc[2])
    assert len(enc[2]) == nr - 1
    # Decryption: outer keys swapped, middle keys reversed through InvMixColumns.
    assert dec[0] == nr and dec[1] == rounds[nr] and dec[3] == rounds[0]
    assert dec[2] == [tuple(model.inv_mix_word(w) for w in k) for k in reversed(rounds[1:nr])]


@pytest.mark.parametrize("length", list(range(4, 41)) + [48, 64, 100, 257])
def test_any_key_length_gives_the_written_schedule(length):
    rng = random.Random(length)
    key = bytes(rng.getrandbits(8) for _ in range(length))
    assert crypto._expand_key(key) == model.expand_key(key)


def test_short_keys_fail_as_the_steps_do():
    with pytest.raises(IndexError, match=r"^list index out of range$"):
        crypto._expand_key(b"")
    for key in (b"\x01", b"ab", b"xyz"):
        with pytest.raises(ZeroDivisionError) as info:
            crypto._expand_key(key)
        assert str(info.value) == host_message("0 % 0")
    assert crypto._KEY_CACHE == {}


@pytest.mark.parametrize("arg, type_name", [
    (bytearray(16), "bytearray"), (memoryview(bytes(16)), "memoryview"), ("k" * 16, "str"),
    (None, "NoneType"), (type("Sub", (bytes,), {})(16), "Sub"),
])
@pytest.mark.parametrize("function", ["_expand_key", "_get_key"])
def test_key_must_be_exactly_bytes(function, arg, type_name):
    with pytest.raises(TypeError, match=r"^Argument 'key' has incorrect type \(expected bytes, got %s\)"
                       % type_name):
        getattr(crypto, function)(arg)
    assert crypto._KEY_CACHE == {}


# --- _inv_mix_word ----------------------------------------------------------

@pytest.mark.parametrize("w, expected", [(0x046681E5, 0xD4BF5D30), (0, 0)])
def test_inv_mix_word_vectors(w, expected):
    assert crypto._inv_mix_word(w) == expected


def test_inv_mix_word_masks_like_python():
    rng = random.Random(7)
    values = [-1, -2**31, 2**32, 2**40 + 5, -(2**70) - 3] + [rng.randint(-2**80, 2**80) for _ in range(50)]
    for w in values:
        assert crypto._inv_mix_word(w) == model.inv_mix_word(w), w
    assert crypto._inv_mix_word(True) == model.inv_mix_word(1)
    assert crypto._inv_mix_word(2.9) == model.inv_mix_word(2)
    with pytest.raises(TypeError, match=r"expected int, got str"):
        crypto._inv_mix_word("1")


# --- _to_rounds -------------------------------------------------------------

def test_to_rounds_cuts_four_words_per_round():
    assert crypto._to_rounds([0, 1, 2, 3, 4, 5, 6, 7], 1) == [(0, 1, 2, 3), (4, 5, 6, 7)]
    items = [object() for _ in range(9)]
    rounds = crypto._to_rounds(items, 1)
    assert rounds[1][3] is items[7]            # items go in unchanged, extras ignored
    assert crypto._to_rounds(list("abcd"), 0.9) == [("a", "b", "c", "d")]


@pytest.mark.parametrize("nr", [-1, -5, -10**30])
def test_to_rounds_negative_nr_is_empty(nr):
    assert crypto._to_rounds([1, 2, 3, 4], nr) == []


@pytest.mark.parametrize("w, nr", [([], 0), ([1, 2, 3], 0), (list(range(7)), 1), ([0] * 8, 10**18),
                                   ([0] * 8, 10**40)])
def test_to_rounds_short_list_is_an_index_error(w, nr):
    with pytest.raises(IndexError, match=r"^list index out of range$"):
        crypto._to_rounds(w, nr)


def test_to_rounds_argument_checks():
    with pytest.raises(TypeError, match=r"^Argument 'w' has incorrect type \(expected list, got tuple\)$"):
        crypto._to_rounds((0, 1, 2, 3), 0)
    # nr is converted and checked before w's type.
    with pytest.raises(TypeError, match=r"^Argument 'nr' has incorrect type \(expected int, got str\)$"):
        crypto._to_rounds((0, 1, 2, 3), "0")


def test_interfaces():
    assert crypto._inv_mix_word.__doc__ == "对单个列字做 InvMixColumns（用于生成解密轮密钥）"
    assert crypto._inv_mix_word.__annotations__ == {"w": "int", "return": "int"}
    assert crypto._to_rounds.__doc__ == "把扁平轮密钥按轮切成 (w0,w1,w2,w3) 元组，省掉内层循环的索引运算"
    assert crypto._to_rounds.__annotations__ == {
        "w": "List[int]", "nr": "int", "return": "List[Tuple[int, int, int, int]]"}
    assert crypto._expand_key.__doc__ == (
        "密钥扩展，返回（加密调度, 解密调度）。\n\n"
        "    调度结构统一为 ``(nr, 首轮密钥, 中间各轮密钥, 末轮密钥)``，\n"
        "    解密的中间轮已按倒序排好并预先做过 InvMixColumns。\n    ")
    assert crypto._expand_key.__annotations__ == {"key": "bytes", "return": "Tuple[tuple, tuple]"}


# --- rebound globals --------------------------------------------------------

OTHER_BOX = bytes((5 * x + 1) % 256 for x in range(256))
KEYS = [bytes(range(16)), bytes(range(24)), bytes(range(32)), bytes(range(5)), bytes(range(30))]


@pytest.mark.parametrize("key", KEYS, ids=len)
def test_rebound_sbox(monkeypatch, key):
    monkeypatch.setattr(crypto, "_SBOX", OTHER_BOX)
    assert crypto._expand_key(key) == model.expand_key(key, sbox=OTHER_BOX)
    monkeypatch.setattr(crypto, "_SBOX", list(model.SBOX))
    assert crypto._expand_key(key) == model.expand_key(key)


@pytest.mark.parametrize("key", KEYS, ids=len)
def test_rebound_inv_mix_word_and_to_rounds(monkeypatch, key):
    seen = []

    def to_rounds(w, nr):
        seen.append((type(w), nr))
        return model.to_rounds(w, nr)

    monkeypatch.setattr(crypto, "_inv_mix_word", lambda w: w ^ 0xFFFFFFFF)
    monkeypatch.setattr(crypto, "_to_rounds", to_rounds)
    assert crypto._expand_key(key) == model.expand_key(key, inv_mix_word=lambda w: w ^ 0xFFFFFFFF)
    nr = len(key) // 4 + 6
    assert seen == [(list, nr), (list, nr)]


def test_rebound_mul_is_called_for_every_middle_word(monkeypatch):
    calls = []

    def mul(a, b):
        calls.append(a)
        return model.mul(a, b)

    monkeypatch.setattr(crypto, "_mul", mul)
    key = bytes(range(32))
    assert crypto._expand_key(key) == model.expand_key(key)
    assert len(calls) == 52 * 16 and calls[:4] == [14, 11, 13, 9]
    assert crypto._inv_mix_word(0x046681E5) == 0xD4BF5D30


@pytest.mark.parametrize("name", ["_SBOX", "_inv_mix_word", "_to_rounds"])
def test_missing_global(monkeypatch, name):
    monkeypatch.delattr(crypto, name)
    with pytest.raises(NameError, match="^name '%s' is not defined$" % name):
        crypto._expand_key(bytes(16))
    # Short keys fail before any global is read.
    with pytest.raises(IndexError):
        crypto._expand_key(b"")
