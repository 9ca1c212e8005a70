#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into corpus/<target>/seed-*.

The seeds are the protocol's own cases, so that fuzzing starts from inputs
that reach deep: a valid identity answer, each way the main window rejects
a packet, split and joined reads, an image with and without a version block.
Inputs the fuzzer found worth keeping are merged into the same folders
(scripts/fuzz.sh --merge); they are not made here.

FuzzedDataProvider takes whole-byte choices from the end of the input and
byte runs from the front, which is why the read lengths go at the end.
"""
import os
import pathlib
import random

HERE = pathlib.Path(__file__).resolve().parent


def checksum(data):
    return (-sum(data)) & 0xFF


def field(text, width):
    raw = text.encode("latin-1")[: width - 1]
    return raw + bytes(width - len(raw))


def info(manufacturer="Orvanta", model="Vantor 3", version="5.60", suffix="", h2=0, h3=0, bad_sum=False):
    payload = field(manufacturer, 24) + field(model, 16) + field(version, 6) + field(suffix, 2)
    head = bytes([0x80, 0x30, h2, h3]) + payload
    return head + bytes([(checksum(head) + (1 if bad_sum else 0)) & 0xFF])


def extended(kind, payload):
    head = bytes([kind, len(payload), 0, 0]) + payload
    return head + bytes([checksum(head)])


def reads(*chunks):
    """Bytes that make the packet-stream target deliver `chunks` as reads of those sizes."""
    body = b"".join(chunks)
    # Lengths are consumed last byte first: the first read's length is the last byte.
    lengths = bytes(len(c) - 1 for c in reversed(chunks))
    return body + lengths


def write(target, name, data):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / f"seed-{name}").write_bytes(data)


def main():
    rng = random.Random(2417)
    key = bytes([0x01, 0x02, 0x00, 0x10])
    write("packet_stream", "info", reads(info()))
    write("packet_stream", "info-suffix", reads(info(suffix="b")))
    write("packet_stream", "info-no-maker", reads(info(manufacturer="")))
    write("packet_stream", "info-qx-model", reads(info(model="qx display")))
    write("packet_stream", "bad-checksum", reads(info(bad_sum=True)))
    write("packet_stream", "unknown-type", reads(extended(0x81, bytes(48))))
    write("packet_stream", "bad-header", reads(info(h2=1)))
    write("packet_stream", "keys-then-info", reads(key + key + info()))
    write("packet_stream", "info-split", reads(info()[:30], info()[30:]))
    write("packet_stream", "oversize-then-info", reads(bytes([0x80, 0xFF, 0, 0]) + bytes(252), bytes(4), info()))
    write("packet_stream", "header-cut-short", reads(b"\x80\x30", info()))
    write("packet_stream", "short-flood", reads(*([key * 64] * 8), info()))
    write("packet_stream", "two-infos", reads(info() + info(version="5.71")))

    shipped = HERE.parents[1] / "build" / "normal" / "resources" / "bin_update.bin"
    write("image", "marker", b"header, build 2417 ORVANTA 5.71 tail")
    write("image", "no-marker", b"firmware without a version block 1.23")
    write("image", "malformed", b"ORVANTA 5.x1")
    write("image", "marker-at-end", b"xxORVANTA 5.7")
    write("image", "two-markers", b"ORVANTA 4.05 ORVANTA 5.71")
    write("image", "big", bytes(rng.randrange(256) for _ in range(70000)) + b"ORVANTA 5.71")
    if shipped.exists():
        write("image", "shipped", shipped.read_bytes())

    for n in (1, 100, 1024, 1025, 1500):
        write("hand_off", f"chunk-{n}", bytes(rng.randrange(256) for _ in range(n + 40)))
    write("hand_off", "many-small", bytes(range(256)) * 2)

    for n, size in enumerate((8, 32, 64, 128, 256)):
        write("download", f"random-{n}", bytes(rng.randrange(256) for _ in range(size)))
    write("download", "zeros", bytes(64))
    write("download", "ones", b"\xff" * 64)

    # The parsers alone take the same inputs as the whole paths above them.
    for seed in sorted((HERE / "corpus" / "packet_stream").glob("seed-*")):
        write("packet_frames", seed.name[len("seed-"):], seed.read_bytes())
    for seed in sorted((HERE / "corpus" / "image").glob("seed-*")):
        if seed.name != "seed-big" and seed.name != "seed-shipped":
            write("version_block", seed.name[len("seed-"):], seed.read_bytes())
    write("version_block", "digits-before-marker", b"1.23 ORVANTA x 5.71")
    write("version_block", "marker-cut", b"ORVANT")

    # Status bytes, then the end of what was sent (big-endian 32 bits).
    def status(code, offset, flag, sent):
        return bytes([code, offset >> 16 & 0xFF, offset >> 8 & 0xFF, offset & 0xFF, 0, flag]) + sent.to_bytes(4, "big")

    write("status", "resume-inside", status(0, 7936, 1, 12288))
    write("status", "resume-at-sent-end", status(0, 12288, 1, 12288))
    write("status", "resume-past-sent", status(0, 49904, 1, 8192))
    write("status", "error-code", status(1, 4096, 1, 8192))
    write("status", "no-flag", status(0, 4096, 0, 8192))
    write("status", "short", bytes([0, 0, 0x10]))

    # History lines as the program writes them, and lines an edit may leave.
    head = '{"time":"2026-12-08T17:05:21Z","maker":"Orvanta","model":"Vantor 3","serial":null,'
    write("history_line", "done", (head + '"version_before":"5.60","version_after":"5.71","image":"5.71",'
                                   '"result":"done"}').encode())
    write("history_line", "failed", (head + '"version_before":"5.60","version_after":null,"image":"5.71",'
                                     '"result":"failed","step":"chunk","offset":8192,"status":"010020000001"}').encode())
    writing = (head + '"version_before":"5.60","version_after":null,"image":"5.71","result":"writing",'
               '"offset":%d,"attempt":"a1"}\n')
    write("history_line", "interrupted", "".join(writing % n for n in (0, 16384, 28672)).encode())
    write("history_line", "ended", (writing % 0 + head + '"version_before":"5.60","version_after":"5.71",'
                                    '"image":"5.71","result":"done","attempt":"a1"}\n').encode())
    write("history_line", "escapes", b'{"time":"\\u001b[2J","maker":"Or\\"\\ud83d\\ude00","model":"V\xe9\xff",'
                                     b'"serial":"\\u0000","result":"not back","offset":true}')
    write("history_line", "hostile", b'{"time":"t","result":"done","step":{"a":[1,2,{"b":-1.5e3}]}}')


if __name__ == "__main__":
    main()
