#!/usr/bin/env python3
"""Looks, reading only, for the KAVRO driver's entry in DASYLab.ini of one
Wine prefix, where and as kavro-register would find it. deploy/linux.yml runs
it before and after the program, to predict a change in check mode and to
tell a real change from none.

    kavro-probe.py PREFIX USER

Prints one JSON object:
    path        DASYLab.ini on this host, or null where the install
                directory is missing
    usable      whether kavro-register run by USER would use the prefix at
                all (like Wine, it uses only a prefix its user owns)
    directory   whether C:\\Program Files\\DASYLab 8.0\\ exists there
    registered  whether both profile readers, Windows' and Wine's, read the
                driver's value from the file
    checksum    SHA-1 of the file's content, or null when there is no file

The file is found as the program finds it: drive C: is PREFIX/dosdevices/c:
where that exists (none where it leads to no directory), else
PREFIX/drive_c, and each name on the way is matched exactly first, else
without regard to ASCII case. The entry is read as both readers read it
(src/platform/edit/profile_rules.h): lines end at CR, LF or CRLF; the first
[Hardware] section (any case) counts, and in it the first MKAVRO.DLL key
line (any case), whose value, trimmed and with one pair of quotes dropped,
must be "KAVRO DAQ Cards Driver". Windows trims blanks and tabs and ends a
header's name at its first ']' (or the line's end); Wine trims all ASCII
whitespace and Ctrl-Z, ends the name at the last ']', takes a line without
one for a key, and ends a trimmed name or value at a NUL. (Windows' ';'
comments need no rule here: such a line names no key the driver's.) The
encoding is told by the byte order mark: UTF-16 (either order), UTF-8 (the
mark skipped) or 8-bit.

An approximation where the program knows more: it runs as root where the
program runs as USER, so it reads what USER might not; an odd-length UTF-16
file, which the program refuses, counts as not registered; a record of a
write cut short, which the next run finishes first, is not looked at.
"""
import hashlib
import io
import json
import os
import pwd
import sys

SECTION, KEY, VALUE = "Hardware", "MKAVRO.DLL", "KAVRO DAQ Cards Driver"
INSTALL_PATH = ["Program Files", "DASYLab 8.0", "DASYLab.ini"]


def fold(name):
    """The name with ASCII letters in upper case, and no other change."""
    return "".join(chr(ord(c) - 32) if "a" <= c <= "z" else c for c in name)


def find_entry(directory, name):
    """The entry of directory called name, as the program picks it."""
    if os.path.exists(os.path.join(directory, name)):
        return name
    try:
        names = os.listdir(directory)
    except OSError:
        return None
    return next((n for n in names if fold(n) == fold(name)), None)


def find_file(prefix):
    """DASYLab.ini's path, or None where a directory on the way is missing."""
    dosdevice = os.path.join(prefix, "dosdevices", "c:")
    if os.path.lexists(dosdevice) and not os.path.isdir(dosdevice):
        return None  # Wine's drive C: leads nowhere, and drive_c is not it
    host = dosdevice if os.path.isdir(dosdevice) else os.path.join(prefix, "drive_c")
    if not os.path.isdir(host):
        return None
    for i, component in enumerate(INSTALL_PATH):
        last = i == len(INSTALL_PATH) - 1
        name = find_entry(host, component)
        if name is None and not last:
            return None
        host = os.path.join(host, name or component)
        if not last and not os.path.isdir(host):
            return None
    return host


class Reader:
    """One profile reader, looking for the entry line by line."""

    def __init__(self, blanks, name_to_last_bracket, nul_ends):
        self.blanks = blanks
        self.name_to_last_bracket = name_to_last_bracket
        self.nul_ends = nul_ends
        self.in_section = False
        self.done = False
        self.value_set = False

    def kept(self, text):
        """A name or value trimmed, and cut at a NUL where the reader keeps
        it as a C string."""
        text = text.strip(self.blanks)
        return text.split("\0")[0] if self.nul_ends else text

    def take(self, line):
        text = line.lstrip(self.blanks)
        if not text:
            return
        if text.startswith("["):
            end = text.rfind("]") if self.name_to_last_bracket else text.find("]")
            if end >= 0 or not self.name_to_last_bracket:
                name = text[1:end] if end >= 0 else text[1:]
                if self.in_section:
                    self.done = True  # past the end of the first [Hardware]
                elif fold(self.kept(name)) == fold(SECTION):
                    self.in_section = True
                return
        if not self.in_section:
            return
        key, equals, value = text.partition("=")
        if fold(self.kept(key)) != fold(KEY):
            return
        self.done = True  # only the first line of the key counts
        value = self.kept(value)
        if len(value) >= 2 and value[0] in "\"'" and value[-1] == value[0]:
            value = value[1:-1]
        self.value_set = bool(equals) and value == VALUE


def registered(path):
    """Whether both readers read the driver's value from the file."""
    with open(path, "rb") as raw:
        head = raw.read(3)
        if head[:2] in (b"\xff\xfe", b"\xfe\xff"):
            if os.fstat(raw.fileno()).st_size % 2:
                return False
            encoding, start = ("utf-16-le" if head[:2] == b"\xff\xfe" else "utf-16-be"), 2
        else:
            encoding, start = "latin-1", 3 if head == b"\xef\xbb\xbf" else 0
        raw.seek(start)
        readers = [Reader(" \t", False, False), Reader(" \t\n\v\f\r\x1a", True, True)]
        # newline="": lines end at CR, LF or CRLF, and keep their ending.
        text = io.TextIOWrapper(raw, encoding=encoding, errors="surrogatepass", newline="")
        for line in text:
            line = line.rstrip("\r\n")
            for reader in readers:
                if not reader.done:
                    reader.take(line)
            if all(reader.done for reader in readers):
                break
        return all(reader.value_set for reader in readers)


def checksum(path):
    digest = hashlib.sha1()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 16), b""):
            digest.update(block)
    return digest.hexdigest()


def main():
    prefix, user = sys.argv[1], sys.argv[2]
    try:
        usable = os.stat(prefix).st_uid == pwd.getpwnam(user).pw_uid
    except (OSError, KeyError):
        usable = False
    path = find_file(prefix)
    is_file = path is not None and os.path.isfile(path)
    print(json.dumps({
        "path": path,
        "usable": usable,
        "directory": path is not None,
        "registered": is_file and registered(path),
        "checksum": checksum(path) if is_file else None,
    }))


main()
