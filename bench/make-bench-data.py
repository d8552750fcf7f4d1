#!/usr/bin/env python3
"""Writes benchmark inputs for the patcher.

  make-bench-data.py input SIZE_MB OUT
      a file of mixed data as an update download holds it: text, real shared
      libraries of this machine, tables of numbers, random (incompressible)
      bytes and zero-filled stretches, in chunks of 64 KiB to 1 MiB.
  make-bench-data.py mutate IN OUT
      a "next release" of IN: bytes changed, runs inserted and deleted, blocks
      moved, and 32-bit little-endian words shifted by a constant in places, as
      relinked code does to its addresses.

Both are deterministic for a given machine (fixed seeds); only the choice of
shared libraries depends on what is installed.
"""
import glob
import os
import random
import struct
import sys


def words(rng):
    letters = "etaoinshrdlcumwfgypbvkjxqz"
    vocab = []
    for _ in range(3000):
        n = rng.randint(2, 10)
        vocab.append("".join(rng.choices(letters, weights=range(26, 0, -1), k=n)))
    weights = [1.0 / (i + 1) for i in range(len(vocab))]
    return vocab, weights


def text_chunk(rng, vocab, weights, size):
    out = []
    total = 0
    while total < size:
        line = " ".join(rng.choices(vocab, weights=weights, k=rng.randint(4, 16))) + ".\n"
        out.append(line)
        total += len(line)
    return "".join(out).encode()[:size]


def table_chunk(rng, size):
    rows = []
    key = rng.randint(0, 1 << 20)
    for _ in range(size // 16 + 1):
        key += rng.randint(1, 9)
        rows.append(struct.pack("<IIf4s", key, rng.randint(0, 5000), rng.random() * 100.0,
                                rng.choice([b"USD\0", b"EUR\0", b"GBP\0", b"JPY\0"])))
    return b"".join(rows)[:size]


def library_stream():
    paths = sorted(glob.glob("/usr/lib/x86_64-linux-gnu/*.so*"))
    paths = [p for p in paths if os.path.isfile(p) and not os.path.islink(p)]
    while True:
        for p in paths:
            try:
                with open(p, "rb") as f:
                    data = f.read()
            except OSError:
                continue
            if data:
                yield data


def make_input(size, out_path):
    rng = random.Random(20240611)
    vocab, weights = words(rng)
    libs = library_stream()
    lib_buffer = b""
    with open(out_path, "wb") as out:
        written = 0
        while written < size:
            n = min(size - written, rng.choice([1 << 16, 1 << 18, 1 << 20]))
            kind = rng.choices(["text", "code", "table", "random", "zero"], weights=[30, 35, 15, 10, 10])[0]
            if kind == "text":
                chunk = text_chunk(rng, vocab, weights, n)
            elif kind == "code":
                while len(lib_buffer) < n:
                    lib_buffer += next(libs)
                chunk, lib_buffer = lib_buffer[:n], lib_buffer[n:]
            elif kind == "table":
                chunk = table_chunk(rng, n)
            elif kind == "random":
                chunk = rng.randbytes(n)
            else:
                chunk = bytearray(n)
                for _ in range(n // 4096):
                    chunk[rng.randrange(n)] = rng.randrange(256)
                chunk = bytes(chunk)
            out.write(chunk)
            written += len(chunk)


def mutate(in_path, out_path):
    rng = random.Random(7)
    data = bytearray(open(in_path, "rb").read())
    n = len(data)
    edits = max(8, n // 20000)
    # relocated addresses: many words shifted by the same constant
    for _ in range(edits * 4):
        if n < 8:
            break
        at = rng.randrange(n - 4) & ~3
        (v,) = struct.unpack_from("<I", data, at)
        struct.pack_into("<I", data, at, (v + 0x40) & 0xFFFFFFFF)
    for _ in range(edits):
        op = rng.choice(["change", "insert", "delete", "move"])
        at = rng.randrange(len(data) + 1)
        if op == "change" and data:
            for i in range(rng.randint(1, 16)):
                if at + i < len(data):
                    data[at + i] = rng.randrange(256)
        elif op == "insert":
            data[at:at] = rng.randbytes(rng.randint(1, 512))
        elif op == "delete":
            del data[at:at + rng.randint(1, 512)]
        elif op == "move" and len(data) > 70000:
            length = rng.randint(1024, 65536)
            start = rng.randrange(len(data) - length)
            block = data[start:start + length]
            del data[start:start + length]
            dest = rng.randrange(len(data) + 1)
            data[dest:dest] = block
    open(out_path, "wb").write(data)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "input":
        make_input(int(float(sys.argv[2]) * 1024 * 1024), sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "mutate":
        mutate(sys.argv[2], sys.argv[3])
    else:
        sys.stderr.write(__doc__)
        sys.exit(2)


if __name__ == "__main__":
    main()
