#!/usr/bin/env python3
"""Prints the body of inv_sbox_linear for src/engine/aes/portable/bitsliced_sbox.h:
the inverse S-box of y ^ 0x63 as one circuit, checked on all 256 inputs.

InvS(y) = inv(A^-1(y ^ 0x63)), with A^-1 the linear part of the inverse affine
map. The forward circuit (sbox_linear, read from the header) is top layer T,
nonlinear core, bottom layer B with B(core(T(x))) = A(inv(x)). So the inverse
is A^-1 . B . core . T . A^-1: the linear forms that feed the core are
composed with A^-1 on the input side, the outputs with A^-1 on the output
side, and each linear layer is re-synthesised as an XOR program by Paar's
greedy elimination (pair the two signals most targets share; random ties,
best of many seeds). Run: python3 tools/gen_inv_sbox_circuit.py [seeds]
"""
import random
import re
import sys

from gf256 import INV_SBOX

HEADER = 'src/engine/aes/portable/bitsliced_sbox.h'


def inv_affine_form(forms, i):
    """Bit i of A^-1 applied to bits given as forms: bits i+2, i+5, i+7."""
    return forms[(i + 2) % 8] ^ forms[(i + 5) % 8] ^ forms[(i + 7) % 8]


def forward_circuit():
    text = open(HEADER).read()
    body = text[text.index('sbox_linear(W (&x)[8]) {'):text.index('// The S-box: the circuit')]
    stmts = re.findall(r'(\w+) = (\w+) ([\^&]) (\w+)', body)
    outs = {int(k): (a, b) for k, a, b in re.findall(r'x\[(\d)\] = (\w+) \^ (\w+);', body)}
    return stmts, outs


def paar(targets, inputs, seed):
    """XOR program computing each target (a bitmask over inputs) from the inputs."""
    rng = random.Random(seed)
    rows = dict(targets)
    signals, program = inputs, []
    while True:
        live = [r for r in rows.values() if r & (r - 1)]
        if not live:
            return program, rows
        best, pairs = 0, []
        for i in range(signals):
            for j in range(i + 1, signals):
                both = (1 << i) | (1 << j)
                count = sum(1 for r in live if r & both == both)
                if count > best:
                    best, pairs = count, [(i, j)]
                elif count == best:
                    pairs.append((i, j))
        i, j = rng.choice(pairs)
        program.append((signals, i, j))
        both = (1 << i) | (1 << j)
        for k, r in rows.items():
            if r & both == both:
                rows[k] = (r & ~both) | (1 << signals)
        signals += 1


def best_paar(targets, inputs, seeds):
    return min((paar(targets, inputs, s) for s in range(seeds)), key=lambda pr: len(pr[0]))


def main():
    seeds = int(sys.argv[1]) if len(sys.argv) > 1 else 1500
    stmts, outs = forward_circuit()
    core_start = next(i for i, s in enumerate(stmts) if s[0] == 'm1')
    bottom_start = next(i for i, s in enumerate(stmts) if s[0] == 'l0')
    top, core, bottom = stmts[:core_start], stmts[core_start:bottom_start], stmts[bottom_start:]

    # Top: u_k = x[7 - k], x = A^-1(y); forms over the eight y bits.
    x_forms = [inv_affine_form([1 << b for b in range(8)], i) for i in range(8)]
    form = {f'u{k}': x_forms[7 - k] for k in range(8)}
    for name, a, _, b in top:
        form[name] = form[a] ^ form[b]
    fed = []
    for _, a, _, b in core:
        fed += [v for v in (a, b) if v[0] in 'tu' and v not in fed]
    top_prog, top_rows = best_paar({v: form[v] for v in fed}, 8, seeds)

    # Bottom: forms over the core's last products m46..m63, then A^-1.
    products = [name for name, *_ in core if int(name[1:]) >= 46]
    bform = {m: 1 << i for i, m in enumerate(products)}
    for name, a, _, b in bottom:
        bform[name] = bform[a] ^ bform[b]
    circuit_out = [bform[outs[i][0]] ^ bform[outs[i][1]] for i in range(8)]
    bot_prog, bot_rows = best_paar({i: inv_affine_form(circuit_out, i) for i in range(8)},
                                   len(products), seeds)

    ins = [f'y{i}' for i in range(8)]
    name_of = lambda prefix, names, idx: names[idx] if idx < len(names) else f'{prefix}{idx - len(names)}'
    lines = [(name_of('a', ins, n), name_of('a', ins, i), '^', name_of('a', ins, j))
             for n, i, j in top_prog]
    alias = {v: name_of('a', ins, r.bit_length() - 1) for v, r in top_rows.items()}
    lines += [(n, alias.get(a, a), op, alias.get(b, b)) for n, a, op, b in core]
    lines += [(name_of('b', products, n), name_of('b', products, i), '^', name_of('b', products, j))
              for n, i, j in bot_prog]
    result = [name_of('b', products, bot_rows[i].bit_length() - 1) for i in range(8)]

    # Check: every input byte at once, one bit per input value.
    env = {f'y{i}': sum((((z ^ 0x63) >> i) & 1) << z for z in range(256)) for i in range(8)}
    for n, a, op, b in lines:
        env[n] = env[a] ^ env[b] if op == '^' else env[a] & env[b]
    expect = INV_SBOX
    for z in range(256):
        got = sum(((env[result[i]] >> z) & 1) << i for i in range(8))
        if got != expect[z]:
            sys.exit(f'circuit wrong at {z:#04x}')

    def emit(group, title):
        print(f'  // {title}')
        for k in range(0, len(group), 5):
            print('  const W ' + ', '.join(f'{n} = {a} {op} {b}' for n, a, op, b in group[k:k + 5]) + ';')
    print('  const W ' + ', '.join(f'y{i} = x[{i}]' for i in range(8)) + ';')
    emit(lines[:len(top_prog)], f'Top linear layer with the inverse affine map folded in ({len(top_prog)} XORs).')
    emit(lines[len(top_prog):len(top_prog) + len(core)], 'Inversion, as in sbox_linear.')
    emit(lines[len(top_prog) + len(core):], f'Bottom linear layer of the bare inversion ({len(bot_prog)} XORs).')
    for i in range(8):
        print(f'  x[{i}] = {result[i]};')


if __name__ == '__main__':
    main()
