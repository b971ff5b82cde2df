#!/usr/bin/env python3
"""Prints the version record of a Windows executable's raw VERSION resource:
the fixed numbers, then every string table and its strings, one per line,
then the translations the record declares (Explorer shows the strings of
the table a translation names, so the two must agree)."""
import struct
import sys


def align4(offset):
    return (offset + 3) & ~3


def read_block(data, offset):
    """Returns (key, value bytes, wType, children, end) of the block at offset."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    key_start = offset + 6
    key_end = key_start
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[key_start:key_end].decode("utf-16-le")
    value_start = align4(key_end + 2)
    value_size = value_length * 2 if value_type == 1 else value_length
    value = data[value_start:value_start + value_size]
    children = []
    child = align4(value_start + value_size)
    while child < end:
        block = read_block(data, child)
        children.append(block)
        child = align4(block[4])
    return key, value, value_type, children, end


def main():
    data = open(sys.argv[1], "rb").read()
    key, value, _, children, _ = read_block(data, 0)
    assert key == "VS_VERSION_INFO", key
    fields = struct.unpack_from("<13I", value)
    assert fields[0] == 0xFEEF04BD, hex(fields[0])
    def version(ms, ls):
        return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    print(f"FileVersion#={version(fields[2], fields[3])}")
    print(f"ProductVersion#={version(fields[4], fields[5])}")
    for child_key, _, _, tables, _ in children:
        if child_key != "StringFileInfo":
            continue
        for table_key, _, _, strings, _ in tables:
            print(f"table={table_key}")
            for name, text, value_type, _, _ in strings:
                # Text, ending in its NUL, as VerQueryValue hands it out.
                assert value_type == 1 and text.endswith(b"\0\0"), name
                print(f"{name}={text.decode('utf-16-le').rstrip(chr(0))}")
    for child_key, _, _, entries, _ in children:
        if child_key != "VarFileInfo":
            continue
        for name, value, _, _, _ in entries:
            for offset in range(0, len(value) - 3, 4):
                language, code_page = struct.unpack_from("<HH", value, offset)
                print(f"{name.lower()}={language:04X}{code_page:04X}")


main()
