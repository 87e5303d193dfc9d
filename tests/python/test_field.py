"""GF(2^8) arithmetic and S-box generation, including unbounded Python ints."""
import random

import pytest

import qoxcrypto.crypto as crypto
from aes_model import mul as model_mul, ror8 as model_ror8, xtime as model_xtime


rng = random.Random(2024)
INTS = ([0, 1, 2, 0x57, 0x80, 0xFF, 0x100, 300, -1, -2, -255, -256, 2**31, 2**32 - 1,
         2**39, 2**40 + 0x80, 2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64 + 7, -(2**70) - 3]
        + [rng.randint(-2**90, 2**90) for _ in range(40)])


@pytest.mark.parametrize("a, expected", [(0x57, 0xAE), (0x80, 0x1B), (0xFF, 0xE5), (0, 0)])
def test_xtime_vectors(a, expected):
    assert crypto._xtime(a) == expected


@pytest.mark.parametrize("a, b, expected", [
    (0x57, 0x83, 0xC1), (0x57, 0x13, 0xFE), (0, 0x57, 0), (0x57, 0, 0), (300, 1, 300),
])
def test_mul_vectors(a, b, expected):
    assert crypto._mul(a, b) == expected


@pytest.mark.parametrize("w, expected", [
    (0x01020304, 0x04010203), (0x80, 0x80000000), (0xFFFFFFFF, 0xFFFFFFFF),
])
def test_ror8_vectors(w, expected):
    assert crypto._ror8(w) == expected


def test_results_match_the_written_expressions_for_any_int():
    for value in INTS:
        assert crypto._xtime(value) == model_xtime(value), value
        assert crypto._ror8(value) == model_ror8(value), value
    for a in INTS:
        for b in INTS + [2**200 + 2**64 + 5]:
            if b >= 0:
                assert crypto._mul(a, b) == model_mul(a, b), (a, b)


def test_four_rotations_restore_a_word():
    for _ in range(100):
        w = rng.getrandbits(32)
        assert crypto._ror8(crypto._ror8(crypto._ror8(crypto._ror8(w)))) == w


def test_mul_refuses_negative_multiplier_instead_of_looping():
    with pytest.raises(ValueError, match="must be non-negative"):
        crypto._mul(3, -1)
    with pytest.raises(ValueError):
        crypto._mul(3, -2**100)


def test_mul_goes_through_the_xtime_global(monkeypatch):
    calls = []

    def counting_xtime(a):
        calls.append(a)
        return model_xtime(a) ^ 1  # a visibly different multiply

    monkeypatch.setattr(crypto, "_xtime", counting_xtime)
    for a, b in [(0x57, 0x83), (300, 5), (-7, 2**70 + 3)]:
        expected = model_mul(a, b, counting_xtime)
        calls.clear()
        assert crypto._mul(a, b) == expected
        assert len(calls) == b.bit_length()


def test_mul_reports_a_missing_xtime_global(monkeypatch):
    monkeypatch.delattr(crypto, "_xtime")
    with pytest.raises(NameError, match="name '_xtime' is not defined"):
        crypto._mul(1, 1)
    assert crypto._mul(5, 0) == 0  # the loop body never runs


def test_build_sbox_returns_fresh_fips197_boxes():
    sbox, inv = crypto._build_sbox()
    assert type(sbox) is bytes and type(inv) is bytes
    assert (sbox[0], sbox[1], sbox[3], sbox[0x53]) == (0x63, 0x7C, 0x7B, 0xED)
    assert (inv[0], inv[0x63]) == (0x52, 0)
    assert sorted(sbox) == sorted(inv) == list(range(256))
    assert all(inv[sbox[x]] == x for x in range(256))
    assert (sbox, inv) == (crypto._SBOX, crypto._INV_SBOX)
    assert sbox is not crypto._SBOX


def test_sbox_is_the_affine_image_of_the_field_inverse():
    def inverse(x):
        return next(y for y in range(1, 256) if model_mul(x, y) == 1) if x else 0

    for x in range(256):
        q = inverse(x)
        s = q
        for i in range(1, 5):
            s ^= ((q << i) | (q >> (8 - i))) & 0xFF
        assert crypto._SBOX[x] == s ^ 0x63
