#!/usr/bin/env python3
"""Generates the STAND-IN firmware image that the demo and the tests carry:
firmware/image/zembrax-hd-3.01-STAND-IN-test-image.hex.

The image has the exact shape of the zembrax HD 3.01 firmware image (the
header line, Intel HEX records, CR-only line ends, 206,545 bytes, 2,866
lines), but its data bytes are pseudo-random filler. It contains no firmware
at all and must never be sent to a real unit: the unit would erase its flash
and be left with garbage.

Deterministic: running it again writes the same bytes. Standard library only.
Run from the repo root:  python3 tools/make-firmware-image.py
After writing, the file is read back and every property below is asserted.
"""
import hashlib
import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
IMAGE = os.path.join(REPO, "firmware", "image",
                     "zembrax-hd-3.01-STAND-IN-test-image.hex")

CR = b"\r"
HEADER = b"ZF030103122200000000(c)Kermaveld"   # 32 characters
EOF_RECORD = b":00000001FF"

TOTAL_SIZE = 206545          # bytes of the whole file
DATA_RECORDS = 2862          # type 00
ELA_RECORDS = 2              # type 04
MAX_DATA_BYTES = 150         # longest record line: 11 + 2 * 150 = 311 characters
SEED = b"zembrax-hd-3.01 stand-in image, filler only"

# How the size comes out exactly
# ------------------------------
# A record with n data bytes is 11 + 2n characters (":", count, address,
# type, n data bytes and the checksum, two hex digits each), plus its CR.
#
#   header + CR                    33
#   2,862 data records             2,862 * 12 + 2 * D     (D = all data bytes)
#   2 extended-linear-address      2 * (15 + 1) = 32
#   end-of-file record + CR        12
#
#   206,545 = 33 + 34,344 + 2D + 32 + 12   =>   D = 86,062 data bytes.
#
# Layout of the 86,062 bytes (a record never straddles a 64 KiB boundary):
#
#   Region A at 0x0000446F: 350 records of 16 bytes            5,600 bytes
#     (upper address 0x0000 implied, so the first line is a data record
#      beginning ":10446F00")
#   ELA 0x0001 (region change)
#   Region B at 0x00010000, the remaining 80,462 bytes:
#     one 150-byte record (the longest line, 311 characters),
#     then 32-byte records; the one that reaches 0x00020000 is cut to
#     10 bytes (65,536 - 150 = 2,043 * 32 + 10)                2,044 records
#   ELA 0x0002 (64 KiB boundary crossed)
#     then 32-byte records for the last 14,926 bytes, the last
#     one cut to 14 bytes (14,926 = 466 * 32 + 14)               467 records
#   End-of-file record
#
#   Records: 350 + 1 + 2,044 + 467 = 2,862 data records; the script checks it.
REGION_A_START = 0x0000446F
REGION_A_RECORDS = 350
REGION_A_RECORD_BYTES = 16
REGION_B_START = 0x00010000
REGION_B_FIRST_RECORD_BYTES = MAX_DATA_BYTES
REGION_B_RECORD_BYTES = 32


def filler(length):
    """Pseudo-random bytes: SHA-256 of SEED and a block counter."""
    out = bytearray()
    block = 0
    while len(out) < length:
        out += hashlib.sha256(SEED + block.to_bytes(4, "big")).digest()
        block += 1
    return bytes(out[:length])


def record(rtype, address16, data):
    body = bytes([len(data), address16 >> 8, address16 & 0xFF, rtype]) + data
    checksum = (-sum(body)) & 0xFF
    return b":" + (body + bytes([checksum])).hex().upper().encode("ascii")


def chunk_sizes(start, length, first, normal):
    """Record sizes for `length` bytes from `start`: the first record has
    `first` bytes, the others `normal`; a record is cut short where it would
    cross a 64 KiB boundary and at the end of the region."""
    sizes = []
    address = start
    end = start + length
    while address < end:
        n = min(first if not sizes else normal, end - address,
                0x10000 - (address & 0xFFFF))
        sizes.append(n)
        address += n
    return sizes


def build():
    data_bytes = (TOTAL_SIZE - (len(HEADER) + 1) - DATA_RECORDS * 12
                  - ELA_RECORDS * 16 - (len(EOF_RECORD) + 1))
    assert data_bytes % 2 == 0
    data_bytes //= 2                                   # 86,062
    region_a = REGION_A_RECORDS * REGION_A_RECORD_BYTES
    region_b = data_bytes - region_a
    assert REGION_A_START + region_a <= REGION_B_START

    payload = filler(data_bytes)
    pos = 0
    lines = [HEADER]
    upper = 0
    regions = [
        (REGION_A_START, chunk_sizes(REGION_A_START, region_a,
                                     REGION_A_RECORD_BYTES, REGION_A_RECORD_BYTES)),
        (REGION_B_START, chunk_sizes(REGION_B_START, region_b,
                                     REGION_B_FIRST_RECORD_BYTES, REGION_B_RECORD_BYTES)),
    ]
    for start, sizes in regions:
        address = start
        for n in sizes:
            if address >> 16 != upper:
                upper = address >> 16
                lines.append(record(0x04, 0, upper.to_bytes(2, "big")))
            lines.append(record(0x00, address & 0xFFFF, payload[pos:pos + n]))
            pos += n
            address += n
    assert pos == data_bytes
    lines.append(EOF_RECORD)
    return b"".join(line + CR for line in lines)


def check(image):
    """Every property the image must have, asserted on the bytes read back."""
    assert len(image) == TOTAL_SIZE, len(image)
    assert b"\n" not in image
    assert b"\xff" not in image
    assert image.endswith(CR)
    lines = image[:-1].split(CR)
    assert len(lines) == 1 + DATA_RECORDS + ELA_RECORDS + 1 == 2866
    assert image.count(CR) == 2866
    assert lines[0] == HEADER and len(HEADER) == 32
    records = lines[1:]
    assert records[0].startswith(b":10446F00")
    assert records[-1] == EOF_RECORD
    types = {0: 0, 1: 0, 4: 0}
    hexdigits = set(b"0123456789ABCDEF")
    for i, line in enumerate(records, start=2):
        assert 11 <= len(line) <= 311, (i, len(line))
        assert line[:1] == b":" and len(line) % 2 == 1, i
        assert set(line[1:]) <= hexdigits, i          # upper-case hex only
        body = bytes.fromhex(line[1:].decode("ascii"))
        assert len(line) == 11 + 2 * body[0], i
        assert sum(body) & 0xFF == 0, i
        assert body[3] in types, i
        types[body[3]] += 1
        if body[3] == 0:
            assert (body[1] << 8 | body[2]) + body[0] <= 0x10000, i
    assert types == {0: DATA_RECORDS, 1: 1, 4: ELA_RECORDS}, types
    assert records.index(EOF_RECORD) == len(records) - 1
    assert max(len(r) for r in records) == 311
    assert min(len(r) for r in records) == 11


def main():
    image = build()
    os.makedirs(os.path.dirname(IMAGE), exist_ok=True)
    with open(IMAGE, "wb") as f:
        f.write(image)
    with open(IMAGE, "rb") as f:
        written = f.read()
    assert written == image
    check(written)
    print("%s: %d bytes, %d lines, sha256 %s" % (
        os.path.relpath(IMAGE, REPO), len(written), written.count(CR),
        hashlib.sha256(written).hexdigest()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
