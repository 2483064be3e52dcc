#!/usr/bin/env python3
"""Reads PE images from their files and checks that each has a load config
directory through which the loader finds the /GS cookie: the directory's
size and the structure's Size field agree and cover SecurityCookie, which
points at a writable word of the image that holds the published default,
the one value the loader replaces.

usage: check_load_config.py IMAGE...
"""
import struct
import sys

# Optional header magic: (default cookie, pointer size, offset of
# SecurityCookie, end of the SafeSEH fields).
LAYOUTS = {
    0x10B: (0xBB40E64E, 4, 60, 72),
    0x20B: (0x00002B992DDFA232, 8, 88, 112),
}
LOAD_CONFIG = 10
SCN_MEM_WRITE = 0x80000000


def sections(data, pe):
    count, = struct.unpack_from("<H", data, pe + 6)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    table = pe + 24 + optional_size
    for i in range(count):
        vsize, rva, raw_size, raw_at = struct.unpack_from(
            "<4I", data, table + 40 * i + 8)
        flags, = struct.unpack_from("<I", data, table + 40 * i + 36)
        yield rva, max(vsize, raw_size), raw_at, raw_size, flags


def at_rva(data, pe, rva, size):
    """The file offset of size bytes at rva and the section's flags."""
    for start, length, raw_at, raw_size, flags in sections(data, pe):
        if start <= rva and rva + size <= start + length:
            if rva + size > start + raw_size:
                return None, flags  # in the zero-filled tail
            return raw_at + rva - start, flags
    raise ValueError(f"RVA 0x{rva:X} is in no section")


def check(path):
    data = open(path, "rb").read()
    pe, = struct.unpack_from("<I", data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        return "not a PE image"
    optional = pe + 24
    magic, = struct.unpack_from("<H", data, optional)
    default, ptr, cookie_field, end = LAYOUTS[magic]
    if magic == 0x10B:
        image_base, = struct.unpack_from("<I", data, optional + 28)
        directories = optional + 96
    else:
        image_base, = struct.unpack_from("<Q", data, optional + 24)
        directories = optional + 112
    rva, size = struct.unpack_from("<II", data, directories + 8 * LOAD_CONFIG)
    if not rva:
        return "no load config directory"
    config, _ = at_rva(data, pe, rva, end)
    field_size, = struct.unpack_from("<I", data, config)
    if field_size != size or size < end:
        return (f"load config of {size} bytes, Size field {field_size}: "
                f"both must be the same and at least {end}")
    va, = struct.unpack_from("<I" if ptr == 4 else "<Q", data,
                             config + cookie_field)
    if not va:
        return "SecurityCookie is null"
    cookie_at, flags = at_rva(data, pe, va - image_base, ptr)
    if not flags & SCN_MEM_WRITE:
        return f"the cookie at 0x{va:X} is in a read-only section"
    value = 0 if cookie_at is None else int.from_bytes(
        data[cookie_at:cookie_at + ptr], "little")
    if value != default:
        return (f"the cookie at 0x{va:X} holds 0x{value:X}, not the default "
                f"0x{default:X} the loader replaces")
    print(f"{path}: load config of {size} bytes, cookie at 0x{va:X}")
    return None


def main(images):
    failures = 0
    for path in images:
        problem = check(path)
        if problem:
            print(f"{path}: {problem}")
            failures += 1
    return 1 if failures or not images else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
