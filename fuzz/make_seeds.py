#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are small, readable cases laid out as each target reads its input
(see the target sources); the compressed ones are made with Python's zlib and
the zstd command-line tool. Run it again after changing a target's input
layout: it replaces every seed file it writes (python3 fuzz/make_seeds.py).
"""
import gzip
import os
import shutil
import struct
import subprocess
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

# The engine target's fixed query list, by position (engine_differential_fuzz.cpp).
QUERIES = ["", "a", "b", "a.b", "[*]", "[*].a", "*", "**", "**.a", "a[0]", "[1:3]", "[2:]", "a?",
           "(a|b)", "(a|b).[0]", "(a.b)*", "a.*.c", '"long key"', "[0][1]", "*.[*]", "a.**", "[*].*",
           "c[0:2].b", "(a|[0])*", "**.[1]", "[:]", "a.b?.c", '""']
KINDS = ["count", "count_unique", "value_counts", "exists", "values", "values_unique", "keyed_values",
         "min", "max", "sum", "mean", "product", "mode", "types"]


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def u16(v):
    return struct.pack("<H", v)


# ---- query_compile: the text itself; 0xff separates the texts of a group ----

def query_seeds():
    singles = {
        "path": b"a.b",
        "wildcards": b"[*].a.*",
        "descent": b"**.a[0]",
        "group_step": b"(a|b).[0]",
        "star": b"(a.b)*",
        "quoted": b'"a b"."\\u00e9"',
        "ranges": b"[3:7].[2:].[:4]",
        "optional": b"x?.y",
        "bad_syntax": b"x?*",
        "regex": b"/x/",
        "whole": b" ",
    }
    for name, text in singles.items():
        write("query_compile", name, text)
    write("query_compile", "group", b"\xff".join([b"a", b"a.b", b"[*]", b"**.c", b""]))
    write("query_compile", "group_overlap", b"\xff".join([b"(a|b)*", b"a.*", b"[1:3].a", b"[2]"]))


# ---- engine_differential ----

def engine_seed(queries, doc, cuts=(), stream=True, raw=False, batched=8, pipelined=2):
    """queries: (query index or text, [kind names], limit or None)."""
    out = bytearray([(len(queries) - 1) | (0 if stream else 4) | (8 if raw else 0)])
    for q, kinds, limit in queries:
        if isinstance(q, int):
            out.append(q)
        else:
            text = q.encode()
            out += bytes([0xe0, len(text)]) + text
        mask = 0
        for k in kinds:
            mask |= 1 << KINDS.index(k)
        out += u16(mask)
        out.append(0 if limit is None else 0x80 | limit)
    out += bytes([batched, pipelined, len(cuts)])
    for c in cuts:
        out += u16(c)
    return bytes(out) + doc


def engine_seeds():
    ndjson = b"".join(b'{"a": %d, "b": "%s", "c": [%d, {"b": null}]}\n' % (i, b"xyz"[i % 3:], i * 7)
                      for i in range(6))
    write("engine_differential", "ndjson", engine_seed(
        [(1, ["values", "sum", "min", "max", "mean"], None), (2, ["value_counts", "types"], None)],
        ndjson, cuts=(17, 64, 65, 130)))
    nested = (b'[{"a": {"b": [1, 2, {"c": true}]}, "long key": "v"},'
              b' {"a": [[], {}], "b": {"a": {"b": "deep"}}}, [0, [1, 2, 3]], "x"]')
    write("engine_differential", "nested", engine_seed(
        [(5, ["values", "keyed_values"], None), (7, ["count"], None), (3, ["exists"], 1), (18, ["values"], None)],
        nested, cuts=(1, 40, 63, 64), raw=True))
    strings = ('{"long key": "q\\"uo\\\\te\\u00e9", "a": "\\ud83d\\ude00", "b": "' + "x" * 70 + '",'
               ' "long key": "q\\"uo\\\\te\\u00e9", "c": "\\\\\\\\\\"\\\\"}').encode()
    write("engine_differential", "strings", engine_seed(
        [(17, ["values_unique", "mode", "count_unique"], None), (6, ["values", "types"], None)],
        strings, cuts=(30, 95, 96, 97)))
    numbers = b"[0, -0, 1.0, 10e-1, 12345678901234567890, -1.5e300, 1e400, 2.5E-3, -7, 0.1, \"3\", null]"
    write("engine_differential", "numbers", engine_seed(
        [(4, ["sum", "product", "mean", "min", "max", "values", "value_counts"], None)],
        numbers, cuts=(5, 33)))
    write("engine_differential", "malformed", engine_seed(
        [(1, ["count", "values"], None)], b'{"a": [1, 2}, "b": tru}\n{"a": 3}', cuts=(9,)))
    write("engine_differential", "incomplete", engine_seed(
        [(0, ["count"], None), (9, ["values"], None)], b'{"a": ["unterminated \\" string', cuts=(20,)))
    write("engine_differential", "limits", engine_seed(
        [(1, ["values"], 2), (4, ["count"], 1), (13, ["exists"], None), ("b[*]", ["values"], 3)],
        ndjson + b'{"a": ]', cuts=(50, 100), pipelined=0))
    write("engine_differential", "scalars", engine_seed(
        [(0, ["values", "types"], None)], b'1 "two" [3] {"four": 4} null true', stream=False))


# ---- decoder ----

def decoder_seed(payload, zstd=False, fail_at_end=False, input_len=65536, reads=(), asks=(65535,),
                 buffer_len=4095):
    out = bytearray([int(zstd) | (2 if fail_at_end else 0)])
    out += u16(input_len - 1)
    out.append(len(reads))
    for r in reads:
        out += u16(r - 1)
    out.append(len(asks) - 1)
    for a in asks:
        out += u16(a - 1)
    out += u16(buffer_len - 1)
    return bytes(out) + payload


def gzip_member(data, name=None, comment=None, extra=None, header_crc=False):
    flags = (0x02 if header_crc else 0) | (0x04 if extra else 0) | (0x08 if name else 0) | (0x10 if comment else 0)
    head = bytearray(b"\x1f\x8b\x08" + bytes([flags]) + b"\0\0\0\0\0\x03")
    if extra:
        head += u16(len(extra)) + extra
    if name:
        head += name + b"\0"
    if comment:
        head += comment + b"\0"
    if header_crc:
        head += u16(zlib.crc32(head) & 0xffff)
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    body = c.compress(data) + c.flush()
    return bytes(head) + body + struct.pack("<II", zlib.crc32(data), len(data) & 0xffffffff)


def zstd_frame(data, *args):
    return subprocess.run(["zstd", "-q", "-c", *args], input=data, capture_output=True, check=True).stdout


def decoder_seeds():
    doc = b'{"a": 1, "b": [true, null, "x"]}\n' * 40
    write("decoder", "gzip", decoder_seed(gzip.compress(doc, mtime=0), reads=(1,), asks=(7,), buffer_len=100))
    fancy = gzip_member(doc[:300], name=b"data.json", comment=b"c", extra=b"XY\x02\x00ab", header_crc=True)
    write("decoder", "gzip_members", decoder_seed(fancy + gzip_member(b"") + gzip_member(doc[:50]), reads=(3, 17),
                                                  input_len=40))
    packed = gzip.compress(doc, mtime=0)
    write("decoder", "gzip_truncated", decoder_seed(packed[: len(packed) // 2], reads=(5,), buffer_len=64))
    damaged = bytearray(packed)
    damaged[len(damaged) // 3] ^= 0x55
    write("decoder", "gzip_damaged", decoder_seed(bytes(damaged), asks=(1, 100)))
    write("decoder", "gzip_reader_fails", decoder_seed(gzip_member(doc[:100]), fail_at_end=True, reads=(9,)))
    if not shutil.which("zstd"):
        print("zstd tool not found: zstd seeds skipped", file=sys.stderr)
        return
    write("decoder", "zstd", decoder_seed(zstd_frame(doc, "--check"), zstd=True, reads=(3, 1000), asks=(13,)))
    skippable = b"\x50\x2a\x4d\x18\x03\x00\x00\x00xyz"
    write("decoder", "zstd_frames", decoder_seed(zstd_frame(doc[:200]) + skippable + zstd_frame(b"", "--no-check"),
                                                 zstd=True, reads=(1,), buffer_len=50, input_len=30))
    # an RLE block longer than the frame's 1 KiB window: refused by streaming
    write("decoder", "zstd_block_beyond_window", decoder_seed(
        bytes.fromhex("28b52ffd00001202010000000000000019000000001e"), zstd=True, input_len=3))
    # an empty compressed block: refused in one shot, taken when fed in pieces
    write("decoder", "zstd_empty_compressed_block", decoder_seed(
        bytes.fromhex("28b52ffd2000050000"), zstd=True, input_len=2))
    write("decoder", "zstd_reported", decoder_seed(
        bytes.fromhex("28b52ffd81810000000100010000000100010036100032b942d776"), zstd=True, reads=(1,)))
    frame = bytearray(zstd_frame(doc, "--check"))
    frame[-1] ^= 1
    write("decoder", "zstd_checksum", decoder_seed(bytes(frame), zstd=True, reads=(2,)))
    write("decoder", "zstd_truncated", decoder_seed(bytes(frame[: len(frame) // 2]), zstd=True, asks=(1,)))


if __name__ == "__main__":
    query_seeds()
    engine_seeds()
    decoder_seeds()
