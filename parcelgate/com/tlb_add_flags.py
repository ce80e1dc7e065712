#!/usr/bin/env python3
"""Adds TYPEFLAG bits to one type of an MSFT type library, in place.

    tlb_add_flags.py <file.tlb> <{GUID}> <flags>

widl turns every "dual" interface into a dispatch interface; the callback
interface of Parcelgate is published as a vtable interface on IUnknown that
still carries the dual flag, which only a fix-up of the written library can
give."""
import struct
import sys
import uuid

HEADER_SIZE = 0x54
HELPDLL_FLAG = 0x100
SEGMENTS = 15
TYPEINFO_SEGMENT = 0
GUID_SEGMENT = 5
TYPEINFO_SIZE = 0x64
POSGUID_OFFSET = 0x2C
FLAGS_OFFSET = 0x30


def main(path, guid_text, flags):
    target = uuid.UUID(guid_text).bytes_le
    data = bytearray(open(path, "rb").read())
    magic, _, _, _, _, varflags, _, _, count = struct.unpack_from("<9i", data, 0)
    if magic != 0x5446534D:
        sys.exit("%s: not an MSFT type library" % path)
    position = HEADER_SIZE + (4 if varflags & HELPDLL_FLAG else 0)
    offsets = struct.unpack_from("<%di" % count, data, position)
    segments = position + 4 * count
    seg = lambda i: struct.unpack_from("<2i", data, segments + 16 * i)
    typeinfo_base, _ = seg(TYPEINFO_SEGMENT)
    guid_base, _ = seg(GUID_SEGMENT)
    for offset in offsets:
        base = typeinfo_base + offset
        posguid, = struct.unpack_from("<i", data, base + POSGUID_OFFSET)
        if posguid < 0 or bytes(data[guid_base + posguid:guid_base + posguid + 16]) != target:
            continue
        old, = struct.unpack_from("<i", data, base + FLAGS_OFFSET)
        struct.pack_into("<i", data, base + FLAGS_OFFSET, old | flags)
        open(path, "wb").write(data)
        return 0
    sys.exit("%s: no type %s" % (path, guid_text))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], int(sys.argv[3], 0)))
