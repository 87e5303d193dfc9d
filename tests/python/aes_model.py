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


def unpack4(obj):
    """`a, b, c, d = obj` with the module's unpacking messages."""
    items = []
    for item in obj:
        if len(items) == 4:
            raise ValueError("too many values to unpack (expected 4)")
        items.append(item)
    if len(items) < 4:
        raise ValueError("need more than %d value%s to unpack" % (len(items), "" if len(items) == 1 else "s"))
    return items


def cbc(sched, iv, data, encrypt, tables=TABLES, struct=struct):
    """_cbc_encrypt or _cbc_decrypt, step by step as written, on any objects."""
    nr, first, mid, last = unpack4(sched)
    if encrypt:
        t0, t1, t2, t3 = tables[0:4]
        f0, f1, f2, f3 = tables[4:8]
    else:
        t0, t1, t2, t3 = tables[8:12]
        f0, f1, f2, f3 = tables[12:16]
    a0, a1, a2, a3 = unpack4(first)
    b0, b1, b2, b3 = unpack4(last)
    p0, p1, p2, p3 = struct.unpack(">4I", iv)
    n = len(data) // 16
    words = struct.unpack(">%dI" % (4 * n), data)
    out = [0] * (4 * n)
    for i in range(n):
        j = 4 * i
        c0, c1, c2, c3 = words[j], words[j + 1], words[j + 2], words[j + 3]
        if encrypt:
            w0, w1, w2, w3 = c0 ^ p0 ^ a0, c1 ^ p1 ^ a1, c2 ^ p2 ^ a2, c3 ^ p3 ^ a3
            for k in mid:
                k0, k1, k2, k3 = unpack4(k)
                n0 = t0[w0 >> 24] ^ t1[(w1 >> 16) & 255] ^ t2[(w2 >> 8) & 255] ^ t3[w3 & 255] ^ k0
                n1 = t0[w1 >> 24] ^ t1[(w2 >> 16) & 255] ^ t2[(w3 >> 8) & 255] ^ t3[w0 & 255] ^ k1
                n2 = t0[w2 >> 24] ^ t1[(w3 >> 16) & 255] ^ t2[(w0 >> 8) & 255] ^ t3[w1 & 255] ^ k2
                n3 = t0[w3 >> 24] ^ t1[(w0 >> 16) & 255] ^ t2[(w1 >> 8) & 255] ^ t3[w2 & 255] ^ k3
                w0, w1, w2, w3 = n0, n1, n2, n3
            c0 = f0[w0 >> 24] ^ f1[(w1 >> 16) & 255] ^ f2[(w2 >> 8) & 255] ^ f3[w3 & 255] ^ b0
            c1 = f0[w1 >> 24] ^ f1[(w2 >> 16) & 255] ^ f2[(w3 >> 8) & 255] ^ f3[w0 & 255] ^ b1
            c2 = f0[w2 >> 24] ^ f1[(w3 >> 16) & 255] ^ f2[(w0 >> 8) & 255] ^ f3[w1 & 255] ^ b2
            c3 = f0[w3 >> 24] ^ f1[(w0 >> 16) & 255] ^ f2[(w1 >> 8) & 255] ^ f3[w2 & 255] ^ b3
            out[j], out[j + 1], out[j + 2], out[j + 3] = c0, c1, c2, c3
            p0, p1, p2, p3 = c0, c1, c2, c3
        else:
            w0, w1, w2, w3 = c0 ^ a0, c1 ^ a1, c2 ^ a2, c3 ^ a3
            for k in mid:
                k0, k1, k2, k3 = unpack4(k)
                n0 = t0[w0 >> 24] ^ t1[(w3 >> 16) & 255] ^ t2[(w2 >> 8) & 255] ^ t3[w1 & 255] ^ k0
                n1 = t0[w1 >> 24] ^ t1[(w0 >> 16) & 255] ^ t2[(w3 >> 8) & 255] ^ t3[w2 & 255] ^ k1
                n2 = t0[w2 >> 24] ^ t1[(w1 >> 16) & 255] ^ t2[(w0 >> 8) & 255] ^ t3[w3 & 255] ^ k2
                n3 = t0[w3 >> 24] ^ t1[(w2 >> 16) & 255] ^ t2[(w1 >> 8) & 255] ^ t3[w0 & 255] ^ k3
                w0, w1, w2, w3 = n0, n1, n2, n3
            d0 = f0[w0 >> 24] ^ f1[(w3 >> 16) & 255] ^ f2[(w2 >> 8) & 255] ^ f3[w1 & 255] ^ b0
            d1 = f0[w1 >> 24] ^ f1[(w0 >> 16) & 255] ^ f2[(w3 >> 8) & 255] ^ f3[w2 & 255] ^ b1
            d2 = f0[w2 >> 24] ^ f1[(w1 >> 16) & 255] ^ f2[(w0 >> 8) & 255] ^ f3[w3 & 255] ^ b2
            d3 = f0[w3 >> 24] ^ f1[(w2 >> 16) & 255] ^ f2[(w1 >> 8) & 255] ^ f3[w0 & 255] ^ b3
            out[j], out[j + 1], out[j + 2], out[j + 3] = d0 ^ p0, d1 ^ p1, d2 ^ p2, d3 ^ p3
            p0, p1, p2, p3 = c0, c1, c2, c3
    return struct.pack(">%dI" % (4 * n), *out)
