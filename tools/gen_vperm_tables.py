#!/usr/bin/env python3
"""Writes src/engine/aes/vperm_tables.h: the 16-entry shuffle tables of the
vector-permute AES path, and checks every byte of both S-boxes through them.

The S-box is computed in GF(2^8) seen as GF(16)[t]/(t^2 + t + lam). A byte x
is carried in a changed basis whose high nibble is i = lam*h and low nibble
k = l, where x = h*t + l. With a = 1/lam and j = i + k, the two values
  io = j + 1/(1/i + a/k)        jo = i + 1/(1/j + a/k)
satisfy 1/x = (1/io)*((1 + lam)*t + 1) + (1/jo)*(lam*t), so every step is a
16-entry lookup of one nibble. "1/0" is the marker 0x80: a shuffle returns 0
for an index with its top bit set, which is what 1/infinity needs, and the
marker survives XOR with a nibble. Run: python3 tools/gen_vperm_tables.py
"""
import sys

from gf256 import INV_SBOX, SBOX, affine, inv, mul, power

# GF(16) inside GF(2^8): beta = 3^17 generates its units; nibble n stands
# for sum(n_m * beta^m).
beta = power(3, 17)
gf16 = [0] * 16
for n in range(16):
    v = 0
    for m in range(4):
        if n >> m & 1:
            v ^= power(beta, m)
    gf16[n] = v
assert len(set(gf16)) == 16 and all(power(v, 16) == v for v in gf16)
nibble_of = {v: n for n, v in enumerate(gf16)}

# The first t outside GF(16) whose t^2 + t lies in it.
t = next(c for c in range(2, 256) if c not in nibble_of and mul(c, c) ^ c in nibble_of)
lam = mul(t, t) ^ t
a = inv(lam)

# The basis change: byte x -> (i << 4) | k, a GF(2)-linear map.
to_vp = [0] * 256
for i in range(16):
    for k in range(16):
        h = mul(gf16[i], a)
        to_vp[mul(h, t) ^ gf16[k]] = (i << 4) | k
assert sorted(to_vp) == list(range(256))
for x in range(256):
    for y in (1, 2, 4, 8, 16, 32, 64, 128):
        assert to_vp[x ^ y] == to_vp[x] ^ to_vp[y]

def split(f):  # a linear byte map as its low-nibble and high-nibble tables
    return [f(n) for n in range(16)], [f(n << 4) for n in range(16)]

INF = 0x80
inv16 = [INF] + [nibble_of[inv(gf16[n])] for n in range(1, 16)]
a_over = [INF] + [nibble_of[mul(a, inv(gf16[n]))] for n in range(1, 16)]
u = mul(1 ^ lam, t) ^ 1
v = mul(lam, t)

def out_tables(f):  # f(inverse part) for io and for jo, 1/0 -> 0
    return ([0] + [f(mul(u, inv(gf16[n]))) for n in range(1, 16)],
            [0] + [f(mul(v, inv(gf16[n]))) for n in range(1, 16)])

def shuffle(table, idx):
    return 0 if idx & 0x80 else table[idx & 15]

def core(y):
    """(io, jo) of the byte y carried in the changed basis."""
    i, k = y >> 4, y & 15
    j = i ^ k
    iak = shuffle(inv16, i) ^ shuffle(a_over, k)
    jak = shuffle(inv16, j) ^ shuffle(a_over, k)
    return shuffle(inv16, iak) ^ j, shuffle(inv16, jak) ^ i

def through(tables, y):
    io, jo = core(y)
    return shuffle(tables[0], io) ^ shuffle(tables[1], jo)

inv_affine = [0] * 256
for x in range(256):
    inv_affine[affine(x)] = x

L = lambda x: to_vp[x]
Ld = lambda x: to_vp[inv_affine[x]]  # decryption's carried basis
tables = {
    "kInv": inv16,
    "kAOver": a_over,
}
tables["kEncInLo"], tables["kEncInHi"] = split(L)
tables["kDecInLo"], tables["kDecInHi"] = split(Ld)
enc1 = out_tables(lambda w: L(affine(w)))
enc2 = out_tables(lambda w: L(mul(2, affine(w))))
enc_last = out_tables(affine)
enc3 = out_tables(lambda w: L(mul(3, affine(w))))
# Encryption keeps the two nibbles of its state in two vectors (no shift
# and mask on the chain from one round to the next): each table comes as
# its low-nibble half and its high-nibble half moved down.
for name, pair in (("S", enc1), ("D", enc2), ("T", enc3)):
    for part, table in zip(("Io", "Jo"), pair):
        tables[f"kEnc{name}{part}Lo"] = [v & 15 for v in table]
        tables[f"kEnc{name}{part}Hi"] = [v >> 4 for v in table]
tables["kEncLastIo"], tables["kEncLastJo"] = enc_last
dec_m = {}
for c in (9, 11, 13, 14):
    dec_m[c] = out_tables(lambda w, c=c: Ld(mul(c, w)))
    tables[f"kDec{c}Io"], tables[f"kDec{c}Jo"] = dec_m[c]
dec_last = out_tables(lambda w: w)
tables["kDecLastIo"], tables["kDecLastJo"] = dec_last

# Every byte, both directions, against the S-boxes.
for x in range(256):
    assert through(enc1, L(x)) ^ L(0x63) == L(SBOX[x])
    assert through(enc2, L(x)) ^ L(mul(2, 0x63)) == L(mul(2, SBOX[x]))
    assert through(enc3, L(x)) ^ L(mul(3, 0x63)) == L(mul(3, SBOX[x]))
    assert through(enc_last, L(x)) ^ 0x63 == SBOX[x]
    y = Ld(x) ^ L(0x05)  # 0x05 = A^-1(0x63): the constant the carried state holds
    assert through(dec_last, y) == INV_SBOX[x]
    for c in (9, 11, 13, 14):
        assert through(dec_m[c], y) == Ld(mul(c, INV_SBOX[x]))
consts = {"kEncConst": L(0x63), "kDecConst": L(0x05)}

# Byte permutations of the 16-byte state (column-major, byte 4*c + r), as
# shuffle masks m with out[p] = in[m[p]].
def sr(p):      # ShiftRows: row r of column c comes from column c + r
    c, r = divmod(p, 4)
    return 4 * ((c + r) % 4) + r
def isr(p):
    c, r = divmod(p, 4)
    return 4 * ((c - r) % 4) + r
def rot(k):
    return lambda p: 4 * (p // 4) + (p % 4 + k) % 4

def frames(shift):
    """The shuffles of the rounds in the frame the state is carried in.
    A round without a ShiftRows of its own leaves the state in frame
    pi' = shift^-1 . pi (stored[p] = true[pi(p)]); frames repeat after 4.
    For each frame: the masks that bring row+1, row+2, row+3 of each mixed
    column to p, the mask carrying a true-frame round key into the next
    frame, and the mask bringing the state to the true frame after a final
    round's shift."""
    inv_shift = [0] * 16
    for p in range(16):
        inv_shift[shift(p)] = p
    pi = list(range(16))
    out = []
    for _ in range(4):
        pi_inv = [0] * 16
        for p in range(16):
            pi_inv[pi[p]] = p
        nxt = [inv_shift[pi[p]] for p in range(16)]
        mix = [[pi_inv[shift(rot(k)(nxt[p]))] for p in range(16)] for k in (1, 2, 3)]
        final = [pi_inv[shift(q)] for q in range(16)]
        out.append((mix, nxt, final))
        pi = nxt
    assert pi == list(range(16))
    return out

def c_array(vals):
    return "{" + ", ".join(f"0x{x:02X}" for x in vals) + "}"

lines = [
    "// Generated by tools/gen_vperm_tables.py; do not edit. The shuffle tables",
    "// of the vector-permute AES path: nibble tables of the S-box through",
    "// GF(16) inversion in a changed basis, and the byte permutations of the",
    "// rounds in each of the four frames the state is carried in.",
    "#pragma once",
    "",
    "#include <cstdint>",
    "",
    "namespace qox::aes::vperm {",
    "",
    f"// x = h*t + l over GF(16) = <0x{beta:02X}>, t = 0x{t:02X}, t^2 + t = 0x{lam:02X}.",
]
for name, vals in tables.items():
    lines.append(f"alignas(16) constexpr uint8_t {name}[16] = {c_array(vals)};")
lines.append("")
for name, val in consts.items():
    lines.append(f"constexpr uint8_t {name} = 0x{val:02X};")
lines.append("")
lines.append("struct Frame {")
lines.append("  uint8_t mix[3][16];  // row + 1, + 2, + 3 of each mixed column")
lines.append("  uint8_t next[16];    // a true-frame round key into the next frame")
lines.append("  uint8_t final[16];   // the state to the true frame after the last round")
lines.append("};")
for name, shift in (("kEncFrames", sr), ("kDecFrames", isr)):
    lines.append(f"alignas(16) constexpr Frame {name}[4] = {{")
    for mix, nxt, final in frames(shift):
        lines.append("    {{" + ", ".join(c_array(m) for m in mix) + "},")
        lines.append("     " + c_array(nxt) + ",")
        lines.append("     " + c_array(final) + "},")
    lines.append("};")
lines += ["", "}  // namespace qox::aes::vperm", ""]
out = sys.argv[1] if len(sys.argv) > 1 else "src/engine/aes/vperm_tables.h"
with open(out, "w") as f:
    f.write("\n".join(lines))
