"""The engine's Python definitions in plain Python: the model the module must agree with.

Every function takes the objects the module would read from its globals as
arguments, so a test can run the model on rebound objects too.
"""
import struct


def xtime(a):
    a <<= 1
    if a & 0x100:
        a ^= 0x11B
    return a & 0xFF


def mul(a, b, xtime=xtime):
    r = 0
    while b:
        if b & 1:
            r ^= a
        a = xtime(a)
        b >>= 1
    return r


def ror8(w):
    return ((w >> 8) | (w << 24)) & 0xFFFFFFFF


def build_sbox():
    sbox = bytearray(256)
    p = q = 1
    while True:
        p = (p ^ ((p << 1) ^ (0x1B if p & 0x80 else 0))) & 0xFF
        q ^= q << 1
        q &= 0xFF
        q ^= q << 2
        q &= 0xFF
        q ^= q << 4
        q &= 0xFF
        if q & 0x80:
            q ^= 0x09
        x = q
        for i in (1, 2, 3, 4):
            x ^= ((q << i) | (q >> (8 - i))) & 0xFF
        sbox[p] = (x ^ 0x63) & 0xFF
        if p == 1:
            break
    sbox[0] = 0x63
    inv = bytearray(256)
    for i, v in enumerate(sbox):
        inv[v] = i
    return bytes(sbox), bytes(inv)


SBOX, INV_SBOX = build_sbox()


def build_tables(sbox=SBOX, inv_sbox=INV_SBOX, xtime=xtime, mul=mul, ror8=ror8):
    te0, tf0 = [], []
    for x in range(256):
        s = sbox[x]
        s2 = xtime(s)
        s3 = s2 ^ s
        te0.append((s2 << 24) | (s << 16) | (s << 8) | s3)
        tf0.append(s << 24)
    tf1 = [s << 16 for s in sbox]
    tf2 = [s << 8 for s in sbox]
    tf3 = list(sbox)
    te1 = [ror8(v) for v in te0]
    te2 = [ror8(v) for v in te1]
    te3 = [ror8(v) for v in te2]
    td0, tg0 = [], []
    for x in range(256):
        t = inv_sbox[x]
        td0.append((mul(14, t) << 24) | (mul(9, t) << 16) | (mul(13, t) << 8) | mul(11, t))
        tg0.append(t << 24)
    tg1 = [t << 16 for t in inv_sbox]
    tg2 = [t << 8 for t in inv_sbox]
    tg3 = list(inv_sbox)
    td1 = [ror8(v) for v in td0]
    td2 = [ror8(v) for v in td1]
    td3 = [ror8(v) for v in td2]
    return (te0, te1, te2, te3, tf0, tf1, tf2, tf3, td0, td1, td2, td3, tg0, tg1, tg2, tg3)


def inv_mix_word(w, mul=mul):
    a0, a1, a2, a3 = (w >> 24) & 0xFF, (w >> 16) & 0xFF, (w >> 8) & 0xFF, w & 0xFF
    r0 = mul(14, a0) ^ mul(11, a1) ^ mul(13, a2) ^ mul(9, a3)
    r1 = mul(9, a0) ^ mul(14, a1) ^ mul(11, a2) ^ mul(13, a3)
    r2 = mul(13, a0) ^ mul(9, a1) ^ mul(14, a2) ^ mul(11, a3)
    r3 = mul(11, a0) ^ mul(13, a1) ^ mul(9, a2) ^ mul(14, a3)
    return (r0 << 24) | (r1 << 16) | (r2 << 8) | r3


def to_rounds(w, nr):
    return [(w[4 * r], w[4 * r + 1], w[4 * r + 2], w[4 * r + 3]) for r in range(nr + 1)]


def expand_words(key, sbox=SBOX):
    nk = len(key) // 4
    nr = nk + 6
    w = [int.from_bytes(key[i:i + 4], "big") for i in range(0, len(key), 4)]

    def sub(t):
        return ((sbox[(t >> 24) & 0xFF] << 24) | (sbox[(t >> 16) & 0xFF] << 16)
                | (sbox[(t >> 8) & 0xFF] << 8) | sbox[t & 0xFF])

    rcon = 1
    for i in range(nk, 4 * (nr + 1)):
        t = w[i - 1]
        if i % nk == 0:
            t = ((t << 8) | (t >> 24)) & 0xFFFFFFFF
            t = sub(t)
            t ^= rcon << 24
            rcon = ((rcon << 1) ^ 0x1B) & 0xFF if rcon & 0x80 else rcon << 1
        elif nk > 6 and i % nk == 4:
            t = sub(t)
        w.append(w[i - nk] ^ t)
    return w


def expand_key(key, sbox=SBOX, inv_mix_word=inv_mix_word, to_rounds=to_rounds):
    nr = len(key) // 4 + 6
    w = expand_words(key, sbox)
    dw = list(w)
    for r in range(1, nr):
        for j in range(4):
            dw[4 * r + j] = inv_mix_word(w[4 * r + j])
    enc_r = to_rounds(w, nr)
    dec_r = to_rounds(dw, nr)
    return ((nr, enc_r[0], enc_r[1:nr], enc_r[nr]),
            (nr, dec_r[nr], dec_r[nr - 1:0:-1], dec_r[0]))


TABLES = build_tables()


def _round(t, k, w0, w1, w2, w3, inverse):
    t0, t1, t2, t3 = t
    if inverse:
        return (t0[w0 >> 24] ^ t1[(w3 >> 16) & 255] ^ t2[(w2 >> 8) & 255] ^ t3[w1 & 255] ^ k[0],
                t0[w1 >> 24] ^ t1[(w0 >> 16) & 255] ^ t2[(w3 >> 8) & 255] ^ t3[w2 & 255] ^ k[1],
                t0[w2 >> 24] ^ t1[(w1 >> 16) & 255] ^ t2[(w0 >> 8) & 255] ^ t3[w3 & 255] ^ k[2],
                t0[w3 >> 24] ^ t1[(w2 >> 16) & 255] ^ t2[(w1 >> 8) & 255] ^ t3[w0 & 255] ^ k[3])
    return (t0[w0 >> 24] ^ t1[(w1 >> 16) & 255] ^ t2[(w2 >> 8) & 255] ^ t3[w3 & 255] ^ k[0],
            t0[w1 >> 24] ^ t1[(w2 >> 16) & 255] ^ t2[(w3 >> 8) & 255] ^ t3[w0 & 255] ^ k[1],
            t0[w2 >> 24] ^ t1[(w3 >> 16) & 255] ^ t2[(w0 >> 8) & 255] ^ t3[w1 & 255] ^ k[2],
            t0[w3 >> 24] ^ t1[(w0 >> 16) & 255] ^ t2[(w1 >> 8) & 255] ^ t3[w2 & 255] ^ k[3])


def cbc(sched, iv, data, encrypt, tables=TABLES):
    """Both loops; `mid` is iterated afresh for every block, as the loops do."""
    _, first, mid, last = sched
    middle, final = (tables[0:4], tables[4:8]) if encrypt else (tables[8:12], tables[12:16])
    p = struct.unpack(">4I", iv)
    n = len(data) // 16
    words = struct.unpack(">%dI" % (4 * n), data)
    out = [0] * (4 * n)
    for j in range(0, 4 * n, 4):
        c = words[j:j + 4]
        w = tuple(x ^ pi ^ a for x, pi, a in zip(c, p, first)) if encrypt else \
            tuple(x ^ a for x, a in zip(c, first))
        for k in mid:
            w = _round(middle, tuple(k), *w, inverse=not encrypt)
        w = _round(final, tuple(last), *w, inverse=not encrypt)
        if encrypt:
            out[j:j + 4] = w
            p = w
        else:
            out[j:j + 4] = [x ^ pi for x, pi in zip(w, p)]
            p = c
    return struct.pack(">%dI" % (4 * n), *out)
