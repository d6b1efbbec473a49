#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/ (run once; the files
are committed). Inputs follow each target's decoding (see the *_fuzzer.cpp files)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
COMMANDS = 127  # entries of the command table


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# request_fuzzer: library mask, then per request: command selector, tag pick, argument form,
# argument count, and per argument: key class, key index, value kind, value bytes.
for index in range(COMMANDS):
    # No arguments, then every key class with an interesting value.
    write("request", f"command-{index:03d}-bare", bytes([0, index, 1, 3, 0]))
    args = bytes([0, 0, 0, 5,          # an integer key, an interesting integer (100)
                  2, 3, 9, 3, 0x41, 0, 0xFF,   # a text key, a short text "A\0\xff"
                  3, 8, 6, 0x20, 0x00, 0x2F,   # a path key, 33 slashes
                  1, 0, 2, 7, 0, 1])     # a float key, a number with a fraction
    write("request", f"command-{index:03d}-args", bytes([3, *([1] * 30), index, 1, 3, 4]) + args)
for i, text in enumerate([
        b'{"FuncName":"camGetDevCount","tag":"x"}',
        b'{"FuncName":"camOpenDev","argument":{"devIndex":1,"width":1920,"height":1080}}',
        b'{"FuncName":"PreZoneSize","argument":{"width":640.5}} // comment',
        b'[{"FuncName":"camGetDevCount"}]', b'null', b'"camGetDevCount"', b'{"FuncName":7}',
        b'{"FuncName":"otrGetTemplateCount"}', b'{"FuncName":"OtrRecog ","argument":{"index":0}}',
        b'{"a":' * 64, b'{"FuncName":"camGetDevCount","argument":{"devIndex":99999999999999999999}}']):
    write("request", f"raw-{i:02d}", bytes([0, 0xFF]) + text)

# text_encoding_fuzzer: mode byte (0 wire UTF-8, 1 internal to wire, 2 UTF-16, 3 valid text).
texts = ["plain ASCII", "中文 名字", "e\u0301 \U0001F600", "a\0b"]
for mode in range(4):
    for i, text in enumerate(texts):
        data = text.encode("utf-16-le") if mode == 2 else text.encode("utf-8")
        write("text_encoding", f"mode{mode}-{i}", bytes([mode]) + data)
write("text_encoding", "invalid-utf8", bytes([0]) + b"\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82")
write("text_encoding", "gbk", bytes([1]) + "中文".encode("gbk") + b"\x81")
write("text_encoding", "lone-surrogates", bytes([2]) + b"\x00\xd8A\x00\x00\xdc")

# base64_fuzzer: mode byte (0 round trip, 1 decode with a length, 2 replaceAll).
write("base64", "roundtrip-empty", bytes([0]))
write("base64", "roundtrip-57", bytes([0]) + bytes(range(57)))
write("base64", "roundtrip-200", bytes([0]) + bytes(range(200)))
write("base64", "decode-lines", bytes([1]) + struct.pack("<H", 200) +
      b"QUJD\r\nREVG\r\n=\r\nR0g=ab*c")
write("base64", "decode-short", bytes([1]) + struct.pack("<H", 3) + b"QUJDREVG")
write("base64", "replace", bytes([2, 5]) + b"aXbXc" + bytes([1]) + b"X" + bytes([2]) + b"XX")

# id_card_reader_fuzzer: mode byte (0 frames in short pieces, 1 a card read over a line whose
# pieces are a length byte and a byte that adds 256 times itself modulo 4, then that many
# bytes, 2 a card's text).
def sam_frame(body):
    length = len(body) + 1
    head = bytes([length >> 8, length & 0xFF]) + body
    check = 0
    for b in head:
        check ^= b
    return b"\xaa\xaa\xaa\x96\x69" + head + bytes([check])


def ucs2(text, width):
    data = text.encode("utf-16-le")
    return (data + b" \x00" * width)[:width]


resident = (ucs2("张三", 30) + ucs2("1", 2) + ucs2("01", 4) + ucs2("19900307", 16) +
            ucs2("北京市东城区示例街1号", 70) + ucs2("110101199003071233", 36) +
            ucs2("北京市公安局东城分局", 30) + ucs2("20200101", 16) + ucs2("长期", 16) +
            ucs2("", 36))
base = sam_frame(b"\x00\x00\x90\x01\x00\x04\x00\x02\x00" + resident + bytes(1024) + bytes(512))
replies = [sam_frame(b"\x00\x00\x9f\x00\x00\x00\x00"), sam_frame(b"\x00\x00\x90" + bytes(8)), base,
           sam_frame(b"\x00\x00\x91")]
line = b"".join(bytes([len(r[at:at + 200]), 0]) + r[at:at + 200]
               for r in replies for at in range(0, len(r), 200))
write("id_card_reader", "read-whole", bytes([1]) + line)
write("id_card_reader", "frames", bytes([0]) + b"".join(bytes([len(r[:255])]) + r[:255] for r in replies))
write("id_card_reader", "no-card", bytes([1, 11, 0]) + sam_frame(b"\x00\x00\x80"))
write("id_card_reader", "text-resident", bytes([2]) + resident)
write("id_card_reader", "text-foreign", bytes([2]) + resident[:248] + ucs2("I", 2) + bytes(6))
