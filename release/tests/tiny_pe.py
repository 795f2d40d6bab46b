"""Writes the smallest 32-bit Windows program osslsigncode signs: headers and
one section whose code returns. The signing tests sign it where no Windows
build is at hand.

    tiny_pe.py OUTPUT
"""
import struct
import sys

FILE_ALIGNMENT = 0x200
SECTION_RVA = 0x1000

dos_header = b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40)
coff_header = struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, 0xE0, 0x0102)
optional_header = struct.pack(
    "<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII",
    0x10B, 1, 0, FILE_ALIGNMENT, 0, 0, SECTION_RVA, SECTION_RVA, 0x2000, 0x400000,
    SECTION_RVA, FILE_ALIGNMENT, 4, 0, 0, 0, 4, 0, 0, 0x2000, FILE_ALIGNMENT, 0, 3, 0,
    0x100000, 0x1000, 0x100000, 0x1000, 0, 16) + bytes(16 * 8)
section = struct.pack("<8sIIIIIIHHI", b".text", FILE_ALIGNMENT, SECTION_RVA, FILE_ALIGNMENT,
                      FILE_ALIGNMENT, 0, 0, 0, 0, 0x60000020)
headers = dos_header + b"PE\0\0" + coff_header + optional_header + section
image = headers.ljust(FILE_ALIGNMENT, b"\0") + b"\xC3".ljust(FILE_ALIGNMENT, b"\0")
open(sys.argv[1], "wb").write(image)
