"""Arithmetic in AES's field GF(2^8) (x^8 + x^4 + x^3 + x + 1) and the S-box
built from it after FIPS-197, for the generators in this folder."""


def mul(a, b):
    r = 0
    while b:
        if b & 1:
            r ^= a
        a <<= 1
        if a & 0x100:
            a ^= 0x11B
        b >>= 1
    return r


def power(a, n):
    r = 1
    for _ in range(n):
        r = mul(r, a)
    return r


def inv(a):
    return power(a, 254) if a else 0


def affine(b):
    """The linear part of the S-box's affine map."""
    r = 0
    for i in range(8):
        bit = 0
        for s in (0, 4, 5, 6, 7):
            bit ^= (b >> ((i + s) % 8)) & 1
        r |= bit << i
    return r


SBOX = [affine(inv(x)) ^ 0x63 for x in range(256)]
INV_SBOX = [0] * 256
for _x, _y in enumerate(SBOX):
    INV_SBOX[_y] = _x
