#!/usr/bin/env python3
"""make_large_package.py SIGNED OUT SIZE

Writes OUT, a package of about SIZE bytes made of the signed package SIGNED:
its bytes before the certificate table, then zeros (a hole in the file, so
that OUT takes almost no disk), then its certificate table, ending at SIZE
rounded down to 8 bytes; the security directory points at the table, and a
CheckSum that was set is computed for OUT. The zeros lie behind the
installer's image, where Windows reads nothing; the signature no longer
matches the image, which only a signature check would notice."""
import struct
import sys

DOS_NT_OFFSET = 0x3C  # e_lfanew
CHECKSUM = 88  # OptionalHeader.CheckSum, from the NT headers
SECURITY_DIRECTORY = 152  # DataDirectory[4]: offset, size


def word_sum(data):
    """The sum of data's little-endian 16-bit words (data has an even length)."""
    return sum(struct.unpack_from("<%dH" % (len(data) // 2), data))


def main():
    signed_path, out_path, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
    with open(signed_path, "rb") as f:
        data = f.read()
    nt = struct.unpack_from("<I", data, DOS_NT_OFFSET)[0]
    offset, table_size = struct.unpack_from("<II", data, nt + SECURITY_DIRECTORY)
    prefix, table = bytearray(data[:offset]), data[offset:]
    assert offset % 8 == 0 and len(table) == table_size
    new_offset = (size - len(table)) // 8 * 8
    struct.pack_into("<I", prefix, nt + SECURITY_DIRECTORY, new_offset)
    stored = struct.unpack_from("<I", prefix, nt + CHECKSUM)[0]
    struct.pack_into("<I", prefix, nt + CHECKSUM, 0)
    if stored:
        total = word_sum(prefix) + word_sum(table)  # the zeros add nothing
        while total > 0xFFFF:
            total = (total & 0xFFFF) + (total >> 16)
        struct.pack_into("<I", prefix, nt + CHECKSUM, (total + new_offset + len(table)) & 0xFFFFFFFF)
    with open(out_path, "wb") as f:
        f.write(prefix)
        f.seek(new_offset)
        f.write(table)


if __name__ == "__main__":
    main()
